// The Win32 kernel functions that scripts of the original platform call through the core library
// (GetCoreFunc, CallLibFunc): waiting, the wide string functions lstrlenW, lstrcpyW, lstrcmpW and
// lstrcmpiW over UTF-16 text, and the thread's last error, which is the C library's errno.
//
// The string functions take null pointers as Win32 does, without touching memory: a null string
// has length 0, compares below every other string (two nulls are equal), and a copy from or to
// null copies nothing and returns null.
#pragma once

#include "platform/KvoWinTypes.h"

extern "C" {

// Suspends the calling thread for at least milliseconds ms; 0 gives up the rest of the thread's
// time slice. The last error is left as it was.
KVO_API void Sleep(DWORD milliseconds);

// The number of UTF-16 units of text before its terminating zero; 0 for null.
KVO_API int lstrlenW(const KvoChar* text);

// Copies source with its terminating zero into destination, which must have room, and returns
// destination; null (and nothing copied) when either is null.
KVO_API KvoChar* lstrcpyW(KvoChar* destination, const KvoChar* source);

// Compares two texts unit by unit as unsigned numbers: -1 when first sorts before second, 0 when
// they are equal, 1 when it sorts after.
KVO_API int lstrcmpW(const KvoChar* first, const KvoChar* second);

// As lstrcmpW after mapping every unit to lower case.
KVO_API int lstrcmpiW(const KvoChar* first, const KvoChar* second);

// The calling thread's last error: the C library's errno.
KVO_API DWORD GetLastError();

// Sets the calling thread's last error (errno) to code.
KVO_API void SetLastError(DWORD code);

} // extern "C"
