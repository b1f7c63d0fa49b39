// UTF-16 text services: length, comparison, search, tokenizing, number parsing, character classes
// and case mapping, and conversion between UTF-8 and UTF-16. The C library's wide functions work
// on 32-bit wchar_t here, so none of them is used on KvoChar text. Character classes and case
// mapping use a private C.UTF-8 locale object; the process locale is never changed.
#pragma once

#include <string>

#include "platform/KvoTypes.h"

// Number of code units before the terminating zero.
KVO_API std::size_t kvoStrLen(const KvoChar* s);
// Compares code unit by code unit as unsigned values: <0, 0 or >0 (wcscmp).
KVO_API int kvoStrCmp(const KvoChar* a, const KvoChar* b);
// Compares at most n code units (wcsncmp).
KVO_API int kvoStrNCmp(const KvoChar* a, const KvoChar* b, std::size_t n);
// Compares after mapping each unit to lower case (_wcsicmp).
KVO_API int kvoStrICmp(const KvoChar* a, const KvoChar* b);
// Compares at most n units after mapping each to lower case (_wcsnicmp).
KVO_API int kvoStrNICmp(const KvoChar* a, const KvoChar* b, std::size_t n);
// First occurrence of c in s, or null; c == 0 finds the terminator (wcschr).
KVO_API const KvoChar* kvoStrChr(const KvoChar* s, KvoChar c);
// Last occurrence of c in s, or null (wcsrchr).
KVO_API const KvoChar* kvoStrRChr(const KvoChar* s, KvoChar c);
// First occurrence of sub in s, or null; an empty sub finds s itself (wcsstr).
KVO_API const KvoChar* kvoStrStr(const KvoChar* s, const KvoChar* sub);
// Length of the leading run of s made of units in accept (wcsspn) / not in reject (wcscspn).
KVO_API std::size_t kvoStrSpn(const KvoChar* s, const KvoChar* accept);
KVO_API std::size_t kvoStrCSpn(const KvoChar* s, const KvoChar* reject);
// Copies src with its terminator into dst, which must have room (wcscpy). Returns dst.
KVO_API KvoChar* kvoStrCpy(KvoChar* dst, const KvoChar* src);

// Splits s at any unit of delims, with the semantics of wcstok: runs of delimiters act as one,
// no token is empty, and the text is modified in place. Pass s for the first call and null for
// the following ones; state keeps the position between calls. Returns null when no token is left.
KVO_API KvoChar* kvoStrTok(KvoChar* s, const KvoChar* delims, KvoChar** state);

// wcstol with a 32-bit long: leading white space, optional sign, base 0 chooses 0x/0X hex,
// leading 0 octal, else decimal (bases 2..36 also accepted). Out-of-range values saturate at
// INT32_MIN/INT32_MAX and set *overflow when it is given. *end (when given) receives the position
// after the last digit used, or s itself when no conversion took place.
KVO_API KvoLong kvoStrToL(const KvoChar* s, const KvoChar** end, int base, bool* overflow = nullptr);
// Unsigned variant (wcstoul with 32-bit unsigned long).
KVO_API KvoULong kvoStrToUL(const KvoChar* s, const KvoChar** end, int base, bool* overflow = nullptr);
// Reads a double as swscanf("%lf") does: white space skipped, then the longest prefix the C
// library's strtod accepts (decimal, hexadecimal, inf, nan). Returns false when nothing matched
// (*value untouched). *end (when given) receives the position after the number.
KVO_API bool kvoScanDouble(const KvoChar* s, double* value, const KvoChar** end = nullptr);

// Character classes and case mapping of one code unit in the C.UTF-8 locale.
KVO_API bool kvoIsSpace(KvoChar c);
KVO_API bool kvoIsDigit(KvoChar c);
KVO_API bool kvoIsXDigit(KvoChar c);
KVO_API bool kvoIsAlpha(KvoChar c);
KVO_API bool kvoIsAlnum(KvoChar c);
KVO_API bool kvoIsUpper(KvoChar c);
KVO_API bool kvoIsLower(KvoChar c);
KVO_API bool kvoIsPunct(KvoChar c);
KVO_API bool kvoIsCntrl(KvoChar c);
KVO_API bool kvoIsPrint(KvoChar c);
KVO_API bool kvoIsGraph(KvoChar c);
KVO_API KvoChar kvoToLower(KvoChar c);
KVO_API KvoChar kvoToUpper(KvoChar c);

// UTF-8 to UTF-16. A byte that does not start a valid UTF-8 sequence (bad lead byte, missing or
// bad continuation, overlong form, surrogate or out-of-range code point) stands for itself as
// the code unit 0..255, and decoding goes on with the next byte. Code points above U+FFFF become
// surrogate pairs. Decodes exactly len bytes (zero bytes included).
KVO_API std::u16string kvoFromUtf8(const char* s, std::size_t len);
KVO_API std::u16string kvoFromUtf8(const char* s); // up to the terminating zero; null gives ""

// UTF-16 to UTF-8. A valid surrogate pair becomes one 4-byte sequence; an unpaired surrogate
// becomes U+FFFD. Encodes exactly len units.
KVO_API std::string kvoToUtf8(const KvoChar* s, std::size_t len);
KVO_API std::string kvoToUtf8(const KvoChar* s); // up to the terminating zero; null gives ""

// Decodes one UTF-8 character from s[0..len): returns the number of bytes used (1 to 4, at least 1
// when len > 0, 0 when len == 0) and stores the code point (0..0x10FFFF) in *cp, with the same
// rule for invalid bytes as kvoFromUtf8. Lets streams read one character at a time.
KVO_API std::size_t kvoDecodeUtf8(const unsigned char* s, std::size_t len, std::uint32_t* cp);
// Encodes a code point as UTF-8 into out (room for 4 bytes); returns the byte count.
// Surrogate code points (unpaired) encode U+FFFD.
KVO_API std::size_t kvoEncodeUtf8(std::uint32_t cp, char* out);
