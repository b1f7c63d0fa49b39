// The Win32 kernel functions of KvoKernel.h on Linux: nanosleep for Sleep, the UTF-16 text
// services for the string functions, errno for the last error.
#include "platform/KvoKernel.h"

#include <cerrno>
#include <climits>
#include <ctime>

#include <sched.h>

#include "platform/KvoText.h"

namespace {

// -1, 0 or 1 for the sign of a comparison; the null cases first, as Win32 orders them.
int compareTexts(const KvoChar* first, const KvoChar* second, int (*compare)(const KvoChar*, const KvoChar*))
{
    if (!first || !second)
        return first == second ? 0 : (first ? 1 : -1);
    const int difference = compare(first, second);
    return (difference > 0) - (difference < 0);
}

} // namespace

extern "C" {

void Sleep(DWORD milliseconds)
{
    const int savedErrno = errno;
    if (milliseconds == 0) {
        sched_yield();
    } else {
        timespec remaining{static_cast<std::time_t>(milliseconds / 1000),
                           static_cast<long>(milliseconds % 1000) * 1000000L};
        // A signal handler interrupts the wait; the rest of it is waited for.
        while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
        }
    }
    errno = savedErrno;
}

int lstrlenW(const KvoChar* text)
{
    if (!text)
        return 0;
    const std::size_t length = kvoStrLen(text);
    return length > INT_MAX ? INT_MAX : static_cast<int>(length);
}

KvoChar* lstrcpyW(KvoChar* destination, const KvoChar* source)
{
    if (!destination || !source)
        return nullptr;
    return kvoStrCpy(destination, source);
}

int lstrcmpW(const KvoChar* first, const KvoChar* second)
{
    return compareTexts(first, second, &kvoStrCmp);
}

int lstrcmpiW(const KvoChar* first, const KvoChar* second)
{
    return compareTexts(first, second, &kvoStrICmp);
}

DWORD GetLastError()
{
    return static_cast<DWORD>(errno);
}

void SetLastError(DWORD code)
{
    errno = static_cast<int>(code);
}

} // extern "C"
