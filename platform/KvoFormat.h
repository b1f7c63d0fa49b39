// The printf engine over UTF-16 formats. Every formatted text of the runtime goes through it.
// Conventions: %s and %c take UTF-16 text (const KvoChar*) and a KvoChar (passed as int);
// %S and %C take UTF-8 text (const char*) and a char; %hs/%hc are 8-bit and %ls/%lc/%ws/%wc are
// UTF-16. Size prefixes: none, h and l are 32-bit (so %ld takes an int32_t; %hd still prints a
// short, %hhd a char); ll and I64 are 64-bit; I32 is 32-bit; I, z, t and j are pointer-sized.
// %p prints upper-case hexadecimal with at least 8 digits. Floating conversions (e f g a E F G A)
// use the C library's formatting. %n stores the count so far (int*). Flags - + space # 0, width,
// precision and * work as in C. A null %s/%S argument prints "(null)". An unknown conversion is
// printed as it stands.
#pragma once

#include <cstdarg>
#include <string>

#include "platform/KvoTypes.h"

// Receives formatted output in pieces; the engine never allocates for the sink.
using KvoFormatSink = void (*)(void* context, const KvoChar* text, std::size_t length);

// Formats to a sink. Returns the number of code units produced, or -1 when fmt is null.
KVO_API int kvoFormatV(KvoFormatSink sink, void* context, const KvoChar* fmt, va_list args);

// Counts the units that formatting would produce without writing them (_vscwprintf).
// Returns -1 when fmt is null.
KVO_API int kvoFormatCountV(const KvoChar* fmt, va_list args);
KVO_API int kvoFormatCount(const KvoChar* fmt, ...);

// Formats into buffer (capacity units, terminator included); the output is cut to fit and always
// terminated when capacity > 0. Returns the full length that the text would have.
KVO_API int kvoFormatToBufferV(KvoChar* buffer, std::size_t capacity, const KvoChar* fmt, va_list args);
KVO_API int kvoFormatToBuffer(KvoChar* buffer, std::size_t capacity, const KvoChar* fmt, ...);

// Formats into a new string (empty when fmt is null).
KVO_API std::u16string kvoFormatStringV(const KvoChar* fmt, va_list args);
KVO_API std::u16string kvoFormatString(const KvoChar* fmt, ...);

// Counts the bytes of an 8-bit printf (_vscprintf): the C library's own formatting.
KVO_API int kvoFormatCount8V(const char* fmt, va_list args);
