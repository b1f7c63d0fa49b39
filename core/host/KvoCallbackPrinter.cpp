// KvoCallbackPrinter: the UTF-8 text lives in a buffer of this call, not in the thread's shared
// a_str buffer, so it stays valid while the callback converts other strings.
#include "host/KvoCallbackPrinter.h"

#include <string>

#include "platform/KvoFormat.h"
#include "platform/KvoText.h"

int KvoCallbackPrinter::vprint(const KvoChar* fmt, va_list args)
{
    if (m_callback == nullptr) {
        return 0;
    }
    if (fmt == nullptr) {
        return -1;
    }
    const std::u16string text = kvoFormatStringV(fmt, args);
    if (!text.empty()) {
        const std::string utf8 = kvoToUtf8(text.data(), text.size());
        ++m_activeCalls;
        m_callback(utf8.c_str());
        --m_activeCalls;
    }
    return static_cast<int>(text.size());
}
