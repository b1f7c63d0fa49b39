// UTF-16 text services on Linux. The string functions are plain loops over char16_t that never
// allocate. Character classes and case mapping ask the C library through a private C.UTF-8
// locale object (ASCII units take a table-free shortcut with identical results); number parsing
// reads ASCII digits itself, and doubles go through strtod_l with a private "C" locale so that
// '.' is the decimal point whatever the process locale is. The process locale is never changed.
#include "platform/KvoText.h"

#include <cstdlib>
#include <locale.h>
#include <stdlib.h>
#include <wctype.h>

namespace {

// Longest number text converted on the stack; longer runs go through a heap buffer.
constexpr std::size_t NUMBER_BUFFER_UNITS = 128;
// Code point written in place of an unpaired surrogate or a code point that cannot be encoded.
constexpr std::uint32_t REPLACEMENT_CHARACTER = 0xFFFD;
constexpr std::uint32_t MAX_CODE_POINT = 0x10FFFF;

// The C.UTF-8 locale for character classes, created on first use; null when the system lacks it,
// in which case every unit follows the ASCII rules.
locale_t utf8Locale()
{
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    return locale;
}

// The "C" locale for strtod_l, created on first use; null only when newlocale fails.
locale_t numericLocale()
{
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t{});
    return locale;
}

// True when the unit is handled by the ASCII rules: below 0x80 (where C.UTF-8 agrees with them)
// or when the C.UTF-8 locale is missing.
bool useAscii(KvoChar c)
{
    return c < 0x80 || utf8Locale() == locale_t{};
}

bool asciiIsUpper(KvoChar c) { return c >= u'A' && c <= u'Z'; }
bool asciiIsLower(KvoChar c) { return c >= u'a' && c <= u'z'; }
bool asciiIsDigit(KvoChar c) { return c >= u'0' && c <= u'9'; }
bool asciiIsAlpha(KvoChar c) { return asciiIsUpper(c) || asciiIsLower(c); }
bool asciiIsCntrl(KvoChar c) { return c < 0x20 || c == 0x7F; }
bool asciiIsGraph(KvoChar c) { return c > 0x20 && c < 0x7F; }

// Value of an ASCII digit or letter as a digit of bases up to 36; 36 or more for anything else.
unsigned digitValue(KvoChar c)
{
    if (asciiIsDigit(c))
        return c - u'0';
    if (asciiIsLower(c))
        return c - u'a' + 10u;
    if (asciiIsUpper(c))
        return c - u'A' + 10u;
    return 36;
}

// Narrows a case mapping result: a mapping that leaves the BMP keeps the unit as it is.
KvoChar narrowMapped(wint_t mapped, KvoChar original)
{
    return mapped <= 0xFFFF ? static_cast<KvoChar>(mapped) : original;
}

// The parts of an integer shared by kvoStrToL and kvoStrToUL.
struct ScannedInteger
{
    const KvoChar* end;  // after the last digit used, or null when there is no number
    std::uint32_t magnitude;
    bool negative;
    bool tooBig;  // the magnitude exceeds 32 bits; magnitude is then meaningless
};

// integer -> space* [+-] ("0x" hexdigits | digits-of-base). Base 0 picks 16 after 0x/0X, 8 after a
// leading 0, else 10. As in C, "0x" without a hex digit after it reads as the number 0 ending
// before the 'x'. Digits after an overflow are still consumed.
ScannedInteger scanInteger(const KvoChar* s, int base)
{
    ScannedInteger result{nullptr, 0, false, false};
    if (base != 0 && (base < 2 || base > 36))
        return result;
    const KvoChar* p = s;
    while (kvoIsSpace(*p))
        ++p;
    if (*p == u'+' || *p == u'-') {
        result.negative = *p == u'-';
        ++p;
    }
    if ((base == 0 || base == 16) && p[0] == u'0' && (p[1] == u'x' || p[1] == u'X')) {
        if (digitValue(p[2]) >= 16) {
            result.end = p + 1;
            return result;
        }
        p += 2;
        base = 16;
    }
    else if (base == 0) {
        base = *p == u'0' ? 8 : 10;
    }
    const KvoChar* digits = p;
    const auto radix = static_cast<unsigned>(base);
    std::uint64_t value = 0;
    for (unsigned digit; (digit = digitValue(*p)) < radix; ++p) {
        value = value * radix + digit;
        if (value > UINT32_MAX) {
            // Clamping keeps value * 36 + 35 far from 64-bit overflow on the next digits.
            result.tooBig = true;
            value = UINT32_MAX;
        }
    }
    if (p == digits)
        return result;
    result.end = p;
    result.magnitude = static_cast<std::uint32_t>(value);
    return result;
}

// True for the ASCII units that may appear in a text strtod accepts: digits, letters (hex
// digits, exponents, inf, nan and its tag), signs, the decimal point, '_' and the parentheses.
bool isNumberUnit(KvoChar c)
{
    return asciiIsDigit(c) || asciiIsAlpha(c) || c == u'+' || c == u'-' || c == u'.' || c == u'_' ||
           c == u'(' || c == u')';
}

// Appends one code point (0..0x10FFFF) as one unit or a surrogate pair.
void appendCodePoint(std::u16string& out, std::uint32_t cp)
{
    if (cp < 0x10000) {
        out.push_back(static_cast<KvoChar>(cp));
        return;
    }
    cp -= 0x10000;
    out.push_back(static_cast<KvoChar>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<KvoChar>(0xDC00 + (cp & 0x3FF)));
}

bool isHighSurrogate(std::uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(std::uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
bool isContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

} // namespace

std::size_t kvoStrLen(const KvoChar* s)
{
    const KvoChar* p = s;
    while (*p)
        ++p;
    return static_cast<std::size_t>(p - s);
}

int kvoStrCmp(const KvoChar* a, const KvoChar* b)
{
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    return static_cast<int>(*a) - static_cast<int>(*b);
}

int kvoStrNCmp(const KvoChar* a, const KvoChar* b, std::size_t n)
{
    for (; n > 0; --n, ++a, ++b) {
        if (*a != *b || *a == 0)
            return static_cast<int>(*a) - static_cast<int>(*b);
    }
    return 0;
}

int kvoStrICmp(const KvoChar* a, const KvoChar* b)
{
    for (;; ++a, ++b) {
        const KvoChar lowerA = kvoToLower(*a);
        const KvoChar lowerB = kvoToLower(*b);
        if (lowerA != lowerB || lowerA == 0)
            return static_cast<int>(lowerA) - static_cast<int>(lowerB);
    }
}

int kvoStrNICmp(const KvoChar* a, const KvoChar* b, std::size_t n)
{
    for (; n > 0; --n, ++a, ++b) {
        const KvoChar lowerA = kvoToLower(*a);
        const KvoChar lowerB = kvoToLower(*b);
        if (lowerA != lowerB || lowerA == 0)
            return static_cast<int>(lowerA) - static_cast<int>(lowerB);
    }
    return 0;
}

const KvoChar* kvoStrChr(const KvoChar* s, KvoChar c)
{
    for (;; ++s) {
        if (*s == c)
            return s;
        if (*s == 0)
            return nullptr;
    }
}

const KvoChar* kvoStrRChr(const KvoChar* s, KvoChar c)
{
    const KvoChar* found = nullptr;
    for (;; ++s) {
        if (*s == c)
            found = s;
        if (*s == 0)
            return found;
    }
}

const KvoChar* kvoStrStr(const KvoChar* s, const KvoChar* sub)
{
    const KvoChar first = *sub;
    if (first == 0)
        return s;
    for (; *s; ++s) {
        if (*s != first)
            continue;
        std::size_t i = 1;
        while (sub[i] && s[i] == sub[i])
            ++i;
        if (sub[i] == 0)
            return s;
        // s ended inside the candidate: no later start can match either.
        if (s[i] == 0)
            return nullptr;
    }
    return nullptr;
}

std::size_t kvoStrSpn(const KvoChar* s, const KvoChar* accept)
{
    const KvoChar* p = s;
    if (accept[0] && !accept[1]) {
        // One character (a tokenizer's single delimiter): no inner loop.
        while (*p == accept[0])
            ++p;
        return static_cast<std::size_t>(p - s);
    }
    for (; *p; ++p) {
        const KvoChar* a = accept;
        while (*a && *a != *p)
            ++a;
        if (*a == 0)
            break;
    }
    return static_cast<std::size_t>(p - s);
}

std::size_t kvoStrCSpn(const KvoChar* s, const KvoChar* reject)
{
    const KvoChar* p = s;
    if (reject[0] && !reject[1]) {
        while (*p && *p != reject[0])
            ++p;
        return static_cast<std::size_t>(p - s);
    }
    for (; *p; ++p) {
        const KvoChar* r = reject;
        while (*r && *r != *p)
            ++r;
        if (*r)
            break;
    }
    return static_cast<std::size_t>(p - s);
}

KvoChar* kvoStrCpy(KvoChar* dst, const KvoChar* src)
{
    KvoChar* out = dst;
    while ((*out++ = *src++) != 0) {
    }
    return dst;
}

KvoChar* kvoStrTok(KvoChar* s, const KvoChar* delims, KvoChar** state)
{
    // A null state, a finished text or null delimiters end the walk instead of crashing.
    if (state == nullptr)
        return nullptr;
    if (s == nullptr)
        s = *state;
    if (s == nullptr)
        return nullptr;
    if (delims == nullptr)
        delims = u"";
    s += kvoStrSpn(s, delims);
    if (*s == 0) {
        *state = nullptr;
        return nullptr;
    }
    KvoChar* token = s;
    s += kvoStrCSpn(s, delims);
    if (*s == 0) {
        *state = nullptr;
    }
    else {
        *s = 0;
        *state = s + 1;
    }
    return token;
}

KvoLong kvoStrToL(const KvoChar* s, const KvoChar** end, int base, bool* overflow)
{
    const ScannedInteger scanned = scanInteger(s, base);
    if (end)
        *end = scanned.end ? scanned.end : s;
    bool outOfRange = false;
    KvoLong value = 0;
    if (scanned.negative) {
        outOfRange = scanned.tooBig || scanned.magnitude > 0x80000000u;
        value = outOfRange ? INT32_MIN : static_cast<KvoLong>(-static_cast<std::int64_t>(scanned.magnitude));
    }
    else {
        outOfRange = scanned.tooBig || scanned.magnitude > static_cast<std::uint32_t>(INT32_MAX);
        value = outOfRange ? INT32_MAX : static_cast<KvoLong>(scanned.magnitude);
    }
    if (overflow)
        *overflow = outOfRange;
    return value;
}

KvoULong kvoStrToUL(const KvoChar* s, const KvoChar** end, int base, bool* overflow)
{
    const ScannedInteger scanned = scanInteger(s, base);
    if (end)
        *end = scanned.end ? scanned.end : s;
    if (overflow)
        *overflow = scanned.tooBig;
    if (scanned.tooBig)
        return UINT32_MAX;
    // As in C, "-n" is the unsigned negation of n.
    return scanned.negative ? 0u - scanned.magnitude : scanned.magnitude;
}

bool kvoScanDouble(const KvoChar* s, double* value, const KvoChar** end)
{
    const KvoChar* start = s;
    while (kvoIsSpace(*start))
        ++start;
    std::size_t length = 0;
    while (isNumberUnit(start[length]))
        ++length;

    // Each unit taken is ASCII, so byte offsets in the copy are unit offsets in s.
    char stackBuffer[NUMBER_BUFFER_UNITS + 1];
    std::string heapBuffer;
    char* text = stackBuffer;
    if (length > NUMBER_BUFFER_UNITS) {
        heapBuffer.resize(length + 1);
        text = heapBuffer.data();
    }
    for (std::size_t i = 0; i < length; ++i)
        text[i] = static_cast<char>(start[i]);
    text[length] = 0;

    char* numberEnd = text;
    double parsed = 0;
    if (length > 0) {
        const locale_t locale = numericLocale();
        // Without a locale object, plain strtod still reads '.' as long as nobody changed the
        // process locale, which this library never does.
        parsed = locale != locale_t{} ? strtod_l(text, &numberEnd, locale) : std::strtod(text, &numberEnd);
    }
    if (numberEnd == text) {
        if (end)
            *end = s;
        return false;
    }
    *value = parsed;
    if (end)
        *end = start + (numberEnd - text);
    return true;
}

bool kvoIsSpace(KvoChar c)
{
    if (useAscii(c))
        return c == u' ' || (c >= u'\t' && c <= u'\r');
    return iswspace_l(c, utf8Locale()) != 0;
}

bool kvoIsDigit(KvoChar c)
{
    if (useAscii(c))
        return asciiIsDigit(c);
    return iswdigit_l(c, utf8Locale()) != 0;
}

bool kvoIsXDigit(KvoChar c)
{
    if (useAscii(c))
        return digitValue(c) < 16;
    return iswxdigit_l(c, utf8Locale()) != 0;
}

bool kvoIsAlpha(KvoChar c)
{
    if (useAscii(c))
        return asciiIsAlpha(c);
    return iswalpha_l(c, utf8Locale()) != 0;
}

bool kvoIsAlnum(KvoChar c)
{
    if (useAscii(c))
        return asciiIsAlpha(c) || asciiIsDigit(c);
    return iswalnum_l(c, utf8Locale()) != 0;
}

bool kvoIsUpper(KvoChar c)
{
    if (useAscii(c))
        return asciiIsUpper(c);
    return iswupper_l(c, utf8Locale()) != 0;
}

bool kvoIsLower(KvoChar c)
{
    if (useAscii(c))
        return asciiIsLower(c);
    return iswlower_l(c, utf8Locale()) != 0;
}

bool kvoIsPunct(KvoChar c)
{
    if (useAscii(c))
        return asciiIsGraph(c) && !asciiIsAlpha(c) && !asciiIsDigit(c);
    return iswpunct_l(c, utf8Locale()) != 0;
}

bool kvoIsCntrl(KvoChar c)
{
    if (useAscii(c))
        return asciiIsCntrl(c);
    return iswcntrl_l(c, utf8Locale()) != 0;
}

bool kvoIsPrint(KvoChar c)
{
    if (useAscii(c))
        return c >= 0x20 && c < 0x7F;
    return iswprint_l(c, utf8Locale()) != 0;
}

bool kvoIsGraph(KvoChar c)
{
    if (useAscii(c))
        return asciiIsGraph(c);
    return iswgraph_l(c, utf8Locale()) != 0;
}

KvoChar kvoToLower(KvoChar c)
{
    if (useAscii(c))
        return asciiIsUpper(c) ? static_cast<KvoChar>(c + (u'a' - u'A')) : c;
    return narrowMapped(towlower_l(c, utf8Locale()), c);
}

KvoChar kvoToUpper(KvoChar c)
{
    if (useAscii(c))
        return asciiIsLower(c) ? static_cast<KvoChar>(c - (u'a' - u'A')) : c;
    return narrowMapped(towupper_l(c, utf8Locale()), c);
}

std::size_t kvoDecodeUtf8(const unsigned char* s, std::size_t len, std::uint32_t* cp)
{
    if (len == 0)
        return 0;
    const unsigned char lead = s[0];
    *cp = lead;
    if (lead < 0x80)
        return 1;

    // The range of the second byte excludes overlong forms, surrogates and code points past
    // U+10FFFF, so no check on the decoded value is needed afterwards.
    std::size_t count = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    std::uint32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        count = 2;
        value = lead & 0x1F;
    }
    else if (lead >= 0xE0 && lead <= 0xEF) {
        count = 3;
        value = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    }
    else if (lead >= 0xF0 && lead <= 0xF4) {
        count = 4;
        value = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    }
    else {
        return 1;
    }
    if (len < count || s[1] < low || s[1] > high)
        return 1;
    for (std::size_t i = 1; i < count; ++i) {
        if (!isContinuation(s[i]))
            return 1;
        value = (value << 6) | (s[i] & 0x3Fu);
    }
    *cp = value;
    return count;
}

std::size_t kvoEncodeUtf8(std::uint32_t cp, char* out)
{
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (isHighSurrogate(cp) || isLowSurrogate(cp) || cp > MAX_CODE_POINT)
        cp = REPLACEMENT_CHARACTER;
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

std::u16string kvoFromUtf8(const char* s, std::size_t len)
{
    std::u16string out;
    out.reserve(len);
    const auto* bytes = reinterpret_cast<const unsigned char*>(s);
    std::size_t i = 0;
    while (i < len) {
        if (bytes[i] < 0x80) {
            out.push_back(bytes[i++]);
            continue;
        }
        std::uint32_t cp = 0;
        i += kvoDecodeUtf8(bytes + i, len - i, &cp);
        appendCodePoint(out, cp);
    }
    return out;
}

std::u16string kvoFromUtf8(const char* s)
{
    if (s == nullptr)
        return {};
    return kvoFromUtf8(s, std::char_traits<char>::length(s));
}

std::string kvoToUtf8(const KvoChar* s, std::size_t len)
{
    std::string out;
    out.reserve(len);
    char bytes[4];
    for (std::size_t i = 0; i < len; ++i) {
        std::uint32_t unit = s[i];
        if (unit < 0x80) {
            out.push_back(static_cast<char>(unit));
            continue;
        }
        if (isHighSurrogate(unit) && i + 1 < len && isLowSurrogate(s[i + 1])) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (s[i + 1] - 0xDC00u);
            ++i;
        }
        // Unpaired surrogates reach kvoEncodeUtf8 as they are and come out as U+FFFD.
        out.append(bytes, kvoEncodeUtf8(unit, bytes));
    }
    return out;
}

std::string kvoToUtf8(const KvoChar* s)
{
    if (s == nullptr)
        return {};
    return kvoToUtf8(s, kvoStrLen(s));
}
