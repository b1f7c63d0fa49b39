// The printf engine over UTF-16 formats. One routine (formatCore) walks the format and hands
// each piece to an Output, which either counts it, copies it into a caller's buffer or passes it
// to a sink; the count, buffer and string forms are thin wrappers around it. Integers, text and
// padding are produced here without touching the heap; floating conversions are printed by the
// C library (in the "C" locale, whatever the host's locale) into a stack buffer and widened.
// Invariant: the count never exceeds INT_MAX; output that would pass it stops and the call
// returns -1, as the C library's printf does.
#include "platform/KvoFormat.h"

#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <locale.h>
#include <memory>

#include "platform/KvoText.h"

namespace {

// Units widened or padded per sink call.
constexpr std::size_t CHUNK_UNITS = 64;
// Narrow buffer that holds any double printed with the default precision ("%f" of 1e308 needs
// about 320 characters); longer results (large precision, long double) take the heap.
constexpr std::size_t FLOAT_STACK_BYTES = 512;
// Longest digit string of a 64-bit integer (octal).
constexpr std::size_t MAX_INTEGER_DIGITS = 22;
// Digits that %p prints at least: 8 for an address that fits in 32 bits, 16 otherwise.
constexpr int POINTER_DIGITS_32 = 8;
constexpr int POINTER_DIGITS_64 = 16;

using Chunk = std::array<KvoChar, CHUNK_UNITS>;

// A chunk of one repeated unit, the source of padding.
constexpr Chunk filledChunk(KvoChar fill)
{
    Chunk chunk{};
    for (KvoChar& unit : chunk)
        unit = fill;
    return chunk;
}

constexpr Chunk SPACES = filledChunk(u' ');
constexpr Chunk ZEROS = filledChunk(u'0');
constexpr KvoChar NULL_TEXT[] = u"(null)";
constexpr std::size_t NULL_TEXT_LENGTH = 6;

// Where formatted units go: a sink, a caller's buffer (cut to its room), or nowhere (counting).
struct Output {
    KvoFormatSink sink = nullptr;
    void* context = nullptr;
    KvoChar* buffer = nullptr;
    std::size_t room = 0;    // units the buffer can still take, terminator excluded
    std::size_t written = 0; // units stored in the buffer
    std::int64_t count = 0;  // units produced so far
    bool failed = false;     // count would pass INT_MAX, or the C library failed

    // Reserves n units of the count; false (and failed set) when the total would pass INT_MAX.
    bool reserve(std::size_t n)
    {
        if (failed)
            return false;
        if (n > static_cast<std::size_t>(INT_MAX) - static_cast<std::size_t>(count)) {
            failed = true;
            return false;
        }
        count += static_cast<std::int64_t>(n);
        return true;
    }

    // Copies what fits of text[0..n) into the buffer.
    void store(const KvoChar* text, std::size_t n)
    {
        std::size_t take = n < room ? n : room;
        std::memcpy(buffer + written, text, take * sizeof(KvoChar));
        written += take;
        room -= take;
    }

    void emit(const KvoChar* text, std::size_t n)
    {
        if (n == 0 || !reserve(n))
            return;
        if (sink)
            sink(context, text, n);
        else if (buffer)
            store(text, n);
    }

    // Emits n copies of the unit that fill holds (SPACES or ZEROS).
    void emitRepeated(const Chunk& fill, std::size_t n)
    {
        if (n == 0 || !reserve(n))
            return;
        if (sink) {
            for (; n > CHUNK_UNITS; n -= CHUNK_UNITS)
                sink(context, fill.data(), CHUNK_UNITS);
            sink(context, fill.data(), n);
        } else if (buffer) {
            // Only what fits is stored, so a huge width costs no more than the buffer.
            std::size_t take = n < room ? n : room;
            for (std::size_t i = 0; i < take; ++i)
                buffer[written + i] = fill[0];
            written += take;
            room -= take;
        }
    }

    // Emits ASCII text, widened in chunks.
    void emitAscii(const char* text, std::size_t n)
    {
        KvoChar wide[CHUNK_UNITS];
        while (n > 0) {
            std::size_t take = n < CHUNK_UNITS ? n : CHUNK_UNITS;
            for (std::size_t i = 0; i < take; ++i)
                wide[i] = static_cast<unsigned char>(text[i]);
            emit(wide, take);
            text += take;
            n -= take;
        }
    }
};

// Lets helpers consume arguments from one va_list, whatever its type is on this ABI.
struct ArgList {
    va_list list;
};

// Size prefixes between precision and conversion.
enum class SizePrefix { NONE, CHAR, SHORT, LONG, WIDE, INT32, INT64, POINTER, LONG_DOUBLE };

// One parsed conversion: %[flags][width][.precision][size]conversion.
struct Spec {
    bool leftAlign = false; // '-'
    bool plusSign = false;  // '+'
    bool spaceSign = false; // ' '
    bool alternate = false; // '#'
    bool zeroPad = false;   // '0'
    std::size_t width = 0;
    int precision = -1;     // -1: none given
    SizePrefix size = SizePrefix::NONE;
    KvoChar conversion = 0;
};

// Emits the padding that brings length units up to the width, on the side the spec asks.
void padBefore(Output& out, const Spec& spec, std::size_t length)
{
    if (!spec.leftAlign && spec.width > length)
        out.emitRepeated(SPACES, spec.width - length);
}

void padAfter(Output& out, const Spec& spec, std::size_t length)
{
    if (spec.leftAlign && spec.width > length)
        out.emitRepeated(SPACES, spec.width - length);
}

bool isDigit(KvoChar c)
{
    return c >= u'0' && c <= u'9';
}

// Reads a run of decimal digits (a width or precision). A number past INT_MAX fails the call,
// as no output longer than that can be counted.
int readNumber(Output& out, const KvoChar*& p)
{
    std::int64_t value = 0;
    for (; isDigit(*p); ++p) {
        value = value * 10 + (*p - u'0');
        if (value > INT_MAX) {
            out.failed = true;
            value = INT_MAX;
        }
    }
    return static_cast<int>(value);
}

// Reads the integer argument of a conversion with the width its size prefix gives.
// Returns the magnitude and sets negative for signed conversions.
std::uint64_t readInteger(ArgList& args, const Spec& spec, bool isSigned, bool& negative)
{
    negative = false;
    std::int64_t signedValue = 0;
    std::uint64_t unsignedValue = 0;
    switch (spec.size) {
    case SizePrefix::CHAR: {
        int raw = va_arg(args.list, int);
        signedValue = static_cast<signed char>(raw);
        unsignedValue = static_cast<unsigned char>(raw);
        break;
    }
    case SizePrefix::SHORT: {
        int raw = va_arg(args.list, int);
        signedValue = static_cast<short>(raw);
        unsignedValue = static_cast<unsigned short>(raw);
        break;
    }
    case SizePrefix::INT64:
    case SizePrefix::LONG_DOUBLE: {
        long long raw = va_arg(args.list, long long);
        signedValue = raw;
        unsignedValue = static_cast<std::uint64_t>(raw);
        break;
    }
    case SizePrefix::POINTER: {
        std::intptr_t raw = va_arg(args.list, std::intptr_t);
        signedValue = raw;
        unsignedValue = static_cast<std::uintptr_t>(raw);
        break;
    }
    default: {
        std::int32_t raw = va_arg(args.list, std::int32_t);
        signedValue = raw;
        unsignedValue = static_cast<std::uint32_t>(raw);
        break;
    }
    }
    if (!isSigned)
        return unsignedValue;
    negative = signedValue < 0;
    // Negating through unsigned keeps INT64_MIN exact.
    return negative ? 0 - static_cast<std::uint64_t>(signedValue) : static_cast<std::uint64_t>(signedValue);
}

// Prints an integer as d, i, u, o, x or X: sign or 0x prefix, zeros up to the precision (or to the
// width under '0'), the digits, and the padding. Precision 0 prints no digit for the value 0.
void formatInteger(Output& out, const Spec& spec, std::uint64_t magnitude, bool negative)
{
    KvoChar conv = spec.conversion;
    unsigned base = conv == u'o' ? 8 : (conv == u'x' || conv == u'X') ? 16 : 10;
    const char* digitSet = conv == u'X' ? "0123456789ABCDEF" : "0123456789abcdef";

    KvoChar digits[MAX_INTEGER_DIGITS];
    std::size_t digitCount = 0;
    if (magnitude != 0 || spec.precision != 0) {
        KvoChar* end = digits + MAX_INTEGER_DIGITS;
        KvoChar* p = end;
        do {
            *--p = static_cast<unsigned char>(digitSet[magnitude % base]);
            magnitude /= base;
        } while (magnitude != 0);
        digitCount = static_cast<std::size_t>(end - p);
        std::memmove(digits, p, digitCount * sizeof(KvoChar));
    }
    bool isZero = digitCount == 0 || (digitCount == 1 && digits[0] == u'0');

    std::size_t minimumDigits = spec.precision < 0 ? 1 : static_cast<std::size_t>(spec.precision);
    std::size_t zeros = minimumDigits > digitCount ? minimumDigits - digitCount : 0;
    // '#' with o makes the first digit a 0.
    if (conv == u'o' && spec.alternate && zeros == 0 && (digitCount == 0 || digits[0] != u'0'))
        zeros = 1;

    KvoChar prefix[2];
    std::size_t prefixLength = 0;
    if (conv == u'd' || conv == u'i') {
        if (negative)
            prefix[prefixLength++] = u'-';
        else if (spec.plusSign)
            prefix[prefixLength++] = u'+';
        else if (spec.spaceSign)
            prefix[prefixLength++] = u' ';
    } else if ((conv == u'x' || conv == u'X') && spec.alternate && !isZero) {
        prefix[prefixLength++] = u'0';
        prefix[prefixLength++] = conv;
    }

    // Lengths here are bounded by INT_MAX each, so the sums cannot wrap a size_t.
    std::size_t length = prefixLength + zeros + digitCount;
    if (spec.zeroPad && !spec.leftAlign && spec.precision < 0 && spec.width > length) {
        zeros += spec.width - length;
        length = spec.width;
    }
    padBefore(out, spec, length);
    out.emit(prefix, prefixLength);
    out.emitRepeated(ZEROS, zeros);
    out.emit(digits, digitCount);
    padAfter(out, spec, length);
}

// Prints the address in upper-case hexadecimal without prefix: 8 digits when it fits in 32
// bits, 16 otherwise. Only width and '-' apply.
void formatPointer(Output& out, const Spec& spec, const void* pointer)
{
    auto value = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(pointer));
    Spec hexSpec;
    hexSpec.leftAlign = spec.leftAlign;
    hexSpec.width = spec.width;
    hexSpec.precision = value > 0xFFFFFFFFu ? POINTER_DIGITS_64 : POINTER_DIGITS_32;
    hexSpec.conversion = u'X';
    formatInteger(out, hexSpec, value, false);
}

// The "C" locale, so that the decimal point is '.' whatever locale the host has set.
locale_t classicLocale()
{
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

// Prints a floating value through the C library's snprintf into dst (size bytes), with the
// flags and precision of spec. Width is applied by the caller. Returns snprintf's result.
int printFloat(char* dst, std::size_t size, const Spec& spec, bool isLong, long double longValue,
               double value)
{
    char narrow[12];
    std::size_t n = 0;
    narrow[n++] = '%';
    if (spec.plusSign)
        narrow[n++] = '+';
    if (spec.spaceSign)
        narrow[n++] = ' ';
    if (spec.alternate)
        narrow[n++] = '#';
    if (spec.precision >= 0) {
        narrow[n++] = '.';
        narrow[n++] = '*';
    }
    if (isLong)
        narrow[n++] = 'L';
    narrow[n++] = static_cast<char>(spec.conversion);
    narrow[n] = '\0';

    locale_t locale = classicLocale();
    locale_t previous = locale ? uselocale(locale) : static_cast<locale_t>(nullptr);
    int length;
    if (isLong)
        length = spec.precision >= 0 ? std::snprintf(dst, size, narrow, spec.precision, longValue)
                                     : std::snprintf(dst, size, narrow, longValue);
    else
        length = spec.precision >= 0 ? std::snprintf(dst, size, narrow, spec.precision, value)
                                     : std::snprintf(dst, size, narrow, value);
    if (locale)
        uselocale(previous);
    return length;
}

// Prints e E f F g G a A. The C library prints sign and digits; the width is applied here: '0'
// puts zeros after the sign (and after 0x for a/A) of a finite value, inf and nan get spaces.
void formatFloat(Output& out, const Spec& spec, ArgList& args)
{
    bool isLong = spec.size == SizePrefix::LONG_DOUBLE;
    long double longValue = 0;
    double value = 0;
    if (isLong)
        longValue = va_arg(args.list, long double);
    else
        value = va_arg(args.list, double);

    char stackText[FLOAT_STACK_BYTES];
    char* text = stackText;
    std::unique_ptr<char[]> heapText;
    int printed = printFloat(stackText, sizeof stackText, spec, isLong, longValue, value);
    if (printed < 0) {
        out.failed = true;
        return;
    }
    auto length = static_cast<std::size_t>(printed);
    if (length >= sizeof stackText) {
        heapText = std::make_unique<char[]>(length + 1);
        text = heapText.get();
        printFloat(text, length + 1, spec, isLong, longValue, value);
    }

    std::size_t prefixLength = 0;
    if (text[0] == '-' || text[0] == '+' || text[0] == ' ')
        prefixLength = 1;
    // Only a finite value starts with a digit (for a/A, the 0 of 0x). Tested before skipping 0x:
    // the hex digit after it may be a letter for a long double.
    bool isFinite = text[prefixLength] >= '0' && text[prefixLength] <= '9';
    if ((spec.conversion == u'a' || spec.conversion == u'A') && text[prefixLength] == '0' &&
        (text[prefixLength + 1] == 'x' || text[prefixLength + 1] == 'X'))
        prefixLength += 2;

    std::size_t zeros = 0;
    if (spec.zeroPad && !spec.leftAlign && isFinite && spec.width > length)
        zeros = spec.width - length;
    padBefore(out, spec, length + zeros);
    out.emitAscii(text, prefixLength);
    out.emitRepeated(ZEROS, zeros);
    out.emitAscii(text + prefixLength, length - prefixLength);
    padAfter(out, spec, length + zeros);
}

// Prints UTF-16 text; the precision counts code units.
void formatText16(Output& out, const Spec& spec, const KvoChar* text)
{
    std::size_t limit = spec.precision < 0 ? SIZE_MAX : static_cast<std::size_t>(spec.precision);
    std::size_t length = 0;
    if (!text) {
        text = NULL_TEXT;
        length = NULL_TEXT_LENGTH < limit ? NULL_TEXT_LENGTH : limit;
    } else {
        // Never looks past the precision: the text need not be terminated there.
        while (length < limit && text[length] != 0)
            ++length;
    }
    padBefore(out, spec, length);
    out.emit(text, length);
    padAfter(out, spec, length);
}

// Decodes the UTF-8 character at text (not at its terminator); returns the bytes it used.
std::size_t decodeCharacter(const char* text, std::uint32_t* codePoint)
{
    auto lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    }
    // A sequence is at most 4 bytes and never runs past the terminator.
    return kvoDecodeUtf8(reinterpret_cast<const unsigned char*>(text), strnlen(text, 4), codePoint);
}

// Measures UTF-8 text in UTF-16 units, taking whole characters up to limit units (a character
// that needs a surrogate pair is not split). Sets bytes to the bytes those characters use.
std::size_t measureUtf8(const char* text, std::size_t limit, std::size_t& bytes)
{
    std::size_t units = 0;
    bytes = 0;
    while (text[bytes] != 0 && units < limit) {
        std::uint32_t codePoint;
        std::size_t used = decodeCharacter(text + bytes, &codePoint);
        std::size_t needed = codePoint > 0xFFFF ? 2 : 1;
        if (needed > limit - units)
            break;
        units += needed;
        bytes += used;
    }
    return units;
}

// Emits text[0..bytes) of UTF-8 as UTF-16, chunk by chunk.
void emitUtf8(Output& out, const char* text, std::size_t bytes)
{
    KvoChar wide[CHUNK_UNITS];
    std::size_t filled = 0;
    std::size_t position = 0;
    while (position < bytes) {
        if (filled + 2 > CHUNK_UNITS) {
            out.emit(wide, filled);
            filled = 0;
        }
        std::uint32_t codePoint;
        position += decodeCharacter(text + position, &codePoint);
        if (codePoint > 0xFFFF) {
            codePoint -= 0x10000;
            wide[filled++] = static_cast<KvoChar>(0xD800 + (codePoint >> 10));
            wide[filled++] = static_cast<KvoChar>(0xDC00 + (codePoint & 0x3FF));
        } else {
            wide[filled++] = static_cast<KvoChar>(codePoint);
        }
    }
    out.emit(wide, filled);
}

// Prints UTF-8 text decoded to UTF-16; width and precision count the UTF-16 units produced.
void formatText8(Output& out, const Spec& spec, const char* text)
{
    if (!text) {
        formatText16(out, spec, nullptr);
        return;
    }
    std::size_t limit = spec.precision < 0 ? SIZE_MAX : static_cast<std::size_t>(spec.precision);
    std::size_t bytes;
    std::size_t length = measureUtf8(text, limit, bytes);
    padBefore(out, spec, length);
    emitUtf8(out, text, bytes);
    padAfter(out, spec, length);
}

// Prints one character: a UTF-16 unit, or an 8-bit char (a lone byte of 0x80 and above is not
// valid UTF-8 and so stands for itself, the decoder's rule).
void formatCharacter(Output& out, const Spec& spec, ArgList& args, bool isNarrow)
{
    int raw = va_arg(args.list, int);
    KvoChar unit = isNarrow ? static_cast<KvoChar>(static_cast<unsigned char>(raw))
                            : static_cast<KvoChar>(raw);
    padBefore(out, spec, 1);
    out.emit(&unit, 1);
    padAfter(out, spec, 1);
}

// Stores the count so far through the pointer argument, sized by the prefix.
void storeCount(const Output& out, const Spec& spec, ArgList& args)
{
    auto count = static_cast<int>(out.count);
    switch (spec.size) {
    case SizePrefix::CHAR:
        *va_arg(args.list, signed char*) = static_cast<signed char>(count);
        break;
    case SizePrefix::SHORT:
        *va_arg(args.list, short*) = static_cast<short>(count);
        break;
    case SizePrefix::INT64:
        *va_arg(args.list, long long*) = count;
        break;
    case SizePrefix::POINTER:
        *va_arg(args.list, std::intptr_t*) = count;
        break;
    default:
        *va_arg(args.list, int*) = count;
        break;
    }
}

// Whether text at p starts with the two units a, b.
bool startsWith(const KvoChar* p, KvoChar a, KvoChar b)
{
    return p[0] == a && p[1] == b;
}

// Reads the size prefix at p and moves p past it.
SizePrefix readSizePrefix(const KvoChar*& p)
{
    switch (*p) {
    case u'h':
        if (p[1] == u'h') {
            p += 2;
            return SizePrefix::CHAR;
        }
        ++p;
        return SizePrefix::SHORT;
    case u'l':
        if (p[1] == u'l') {
            p += 2;
            return SizePrefix::INT64;
        }
        ++p;
        return SizePrefix::LONG;
    case u'w':
        ++p;
        return SizePrefix::WIDE;
    case u'L':
        ++p;
        return SizePrefix::LONG_DOUBLE;
    case u'I':
        if (startsWith(p + 1, u'6', u'4')) {
            p += 3;
            return SizePrefix::INT64;
        }
        if (startsWith(p + 1, u'3', u'2')) {
            p += 3;
            return SizePrefix::INT32;
        }
        ++p;
        return SizePrefix::POINTER;
    case u'z':
    case u't':
    case u'j':
        ++p;
        return SizePrefix::POINTER;
    default:
        return SizePrefix::NONE;
    }
}

// Whether a c/C/s/S conversion takes 8-bit text: h says so, l and w say UTF-16, and without
// them the upper-case conversions are the 8-bit ones.
bool isNarrowText(const Spec& spec)
{
    if (spec.size == SizePrefix::SHORT)
        return true;
    if (spec.size == SizePrefix::LONG || spec.size == SizePrefix::WIDE)
        return false;
    return spec.conversion == u'C' || spec.conversion == u'S';
}

// Parses the conversion after '%' (p points past it) and prints it. Returns the position after
// the conversion; an unknown or unfinished one is printed as it stands.
const KvoChar* formatConversion(Output& out, const KvoChar* percent, ArgList& args)
{
    const KvoChar* p = percent + 1;
    Spec spec;
    for (;; ++p) {
        if (*p == u'-')
            spec.leftAlign = true;
        else if (*p == u'+')
            spec.plusSign = true;
        else if (*p == u' ')
            spec.spaceSign = true;
        else if (*p == u'#')
            spec.alternate = true;
        else if (*p == u'0')
            spec.zeroPad = true;
        else
            break;
    }
    if (*p == u'*') {
        ++p;
        int width = va_arg(args.list, int);
        // A negative width is the '-' flag with its magnitude.
        if (width < 0) {
            spec.leftAlign = true;
            spec.width = static_cast<std::size_t>(0 - static_cast<std::int64_t>(width));
        } else {
            spec.width = static_cast<std::size_t>(width);
        }
    } else {
        spec.width = static_cast<std::size_t>(readNumber(out, p));
    }
    if (*p == u'.') {
        ++p;
        if (*p == u'*') {
            ++p;
            int precision = va_arg(args.list, int);
            spec.precision = precision < 0 ? -1 : precision;
        } else {
            spec.precision = readNumber(out, p);
        }
    }
    spec.size = readSizePrefix(p);
    spec.conversion = *p;

    switch (spec.conversion) {
    case u'd':
    case u'i':
    case u'u':
    case u'o':
    case u'x':
    case u'X': {
        bool isSigned = spec.conversion == u'd' || spec.conversion == u'i';
        bool negative;
        std::uint64_t magnitude = readInteger(args, spec, isSigned, negative);
        formatInteger(out, spec, magnitude, negative);
        break;
    }
    case u'e':
    case u'E':
    case u'f':
    case u'F':
    case u'g':
    case u'G':
    case u'a':
    case u'A':
        formatFloat(out, spec, args);
        break;
    case u'c':
    case u'C':
        formatCharacter(out, spec, args, isNarrowText(spec));
        break;
    case u's':
    case u'S':
        if (isNarrowText(spec))
            formatText8(out, spec, va_arg(args.list, const char*));
        else
            formatText16(out, spec, va_arg(args.list, const KvoChar*));
        break;
    case u'p':
        formatPointer(out, spec, va_arg(args.list, const void*));
        break;
    case u'n':
        storeCount(out, spec, args);
        break;
    case u'%':
        out.emit(p, 1);
        break;
    case 0:
        // The format ends inside the conversion: print what there is.
        out.emit(percent, static_cast<std::size_t>(p - percent));
        return p;
    default:
        out.emit(percent, static_cast<std::size_t>(p + 1 - percent));
        break;
    }
    return p + 1;
}

// Walks the format: literal runs go out in one piece each, conversions one by one.
int formatCore(Output& out, const KvoChar* fmt, ArgList& args)
{
    const KvoChar* p = fmt;
    while (*p != 0 && !out.failed) {
        const KvoChar* run = p;
        while (*p != 0 && *p != u'%')
            ++p;
        out.emit(run, static_cast<std::size_t>(p - run));
        if (*p == u'%')
            p = formatConversion(out, p, args);
    }
    return out.failed ? -1 : static_cast<int>(out.count);
}

// Runs formatCore on a copy of args, so the caller's list stays usable.
int formatWith(Output& out, const KvoChar* fmt, va_list args)
{
    ArgList copy;
    va_copy(copy.list, args);
    int result = formatCore(out, fmt, copy);
    va_end(copy.list);
    return result;
}

void appendToString(void* context, const KvoChar* text, std::size_t length)
{
    static_cast<std::u16string*>(context)->append(text, length);
}

} // namespace

int kvoFormatV(KvoFormatSink sink, void* context, const KvoChar* fmt, va_list args)
{
    if (!fmt)
        return -1;
    Output out;
    out.sink = sink;
    out.context = context;
    return formatWith(out, fmt, args);
}

int kvoFormatCountV(const KvoChar* fmt, va_list args)
{
    if (!fmt)
        return -1;
    Output out;
    return formatWith(out, fmt, args);
}

int kvoFormatCount(const KvoChar* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int result = kvoFormatCountV(fmt, args);
    va_end(args);
    return result;
}

int kvoFormatToBufferV(KvoChar* buffer, std::size_t capacity, const KvoChar* fmt, va_list args)
{
    if (buffer && capacity > 0)
        buffer[0] = 0;
    if (!fmt)
        return -1;
    Output out;
    if (buffer && capacity > 0) {
        out.buffer = buffer;
        out.room = capacity - 1;
    }
    int result = formatWith(out, fmt, args);
    if (out.buffer)
        buffer[out.written] = 0;
    return result;
}

int kvoFormatToBuffer(KvoChar* buffer, std::size_t capacity, const KvoChar* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int result = kvoFormatToBufferV(buffer, capacity, fmt, args);
    va_end(args);
    return result;
}

std::u16string kvoFormatStringV(const KvoChar* fmt, va_list args)
{
    std::u16string result;
    if (!fmt)
        return result;
    Output out;
    out.sink = appendToString;
    out.context = &result;
    formatWith(out, fmt, args);
    return result;
}

std::u16string kvoFormatString(const KvoChar* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::u16string result = kvoFormatStringV(fmt, args);
    va_end(args);
    return result;
}

int kvoFormatCount8V(const char* fmt, va_list args)
{
    if (!fmt)
        return -1;
    va_list copy;
    va_copy(copy, args);
    int result = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    return result;
}
