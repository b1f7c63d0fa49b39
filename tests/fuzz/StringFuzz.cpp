// libFuzzer target for the script formatter and the string functions of the standard library.
// The functions are called the way the interpreter calls them (the callee slot and the arguments
// on a stack vector, the cursor at the last argument), without a machine: a failing call then
// reports nothing and returns false. Every result is compared with a model of the function's
// documented behaviour, built on std::u16string from the arguments' texts before the call, and
// every string in play must keep its stored length equal to the length of its text.
//
// The input is text, one command a line, decoded as UTF-8 (invalid bytes stand for themselves).
// In a line, "\uXXXX" stands for any UTF-16 unit (zero and unpaired surrogates included), "\n"
// for a line break and "\\" for a backslash. A line either adds a value to a pool of at most
// MAX_VALUES values or works on the pool:
//   i<number>   integer (decimal, or hexadecimal after 0x; wraps to 32 bits)
//   d<number>   double          f<number>  float           n  null
//   s<text>     string          S<text>    string held by reference (KVT_STRINGREF)
//   e           string without text        o  string value without a string object
//   R           another reference to the newest string object in the pool
//   c<text>     character buffer           C<text>  the same, held by reference
//   b<text>     byte buffer (the low byte of each unit)  B<text>  the same, held by reference
//   v<slots>    vector of the named pool values
//   %<format>   the script formatter over every pool value, directly and through newstring
//   =<name> <slots>   the library function name with the named values; the result joins the pool
//   +<slot><slot>     appends the second value to the first string (+= string or character)
//   &<slot><slot>     the two strings joined by +; the result joins the pool
// A slot is one character, '0'..'9' or 'a'..'f', taken modulo the pool's size.
//
// The work per input is bounded: at most MAX_COMMANDS commands, numbers between MAX_COUNT and
// the library's own count bound are folded below MAX_COUNT (larger ones still reach "count too
// large"), calls whose texts exceed MAX_TEXT units together are skipped, as are replacements that
// would grow past MAX_RESULT units, and the input ends once its results have produced MAX_WORK
// units.
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/KvoText.h"
#include "stdlib/KvoDefaultFunctions.h"
#include "stdlib/KvoLibLimits.h"
#include "values/KvoBuffer.h"
#include "values/KvoCharBuffer.h"
#include "values/KvoString.h"
#include "values/KvoVector.h"
#include "values/ValPtr.h"

namespace {

using KDF = KvoDefaultFunctions;
using Text = std::u16string;

constexpr std::size_t MAX_VALUES = 16;
constexpr std::size_t MAX_COMMANDS = 64;
constexpr std::int64_t MAX_COUNT = 1 << 16;
constexpr std::size_t MAX_TEXT = 1 << 14;
constexpr std::size_t MAX_RESULT = 1 << 20;
constexpr std::size_t MAX_WORK = 1 << 22;

[[noreturn]] void failed(const char* what)
{
    std::fprintf(stderr, "StringFuzz: %s\n", what);
    std::abort();
}

void require(bool condition, const char* what)
{
    if (!condition)
        failed(what);
}

// ---- Decoding the input ------------------------------------------------------------------------

int hexDigit(KvoChar c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

Text unescape(const Text& line)
{
    Text out;
    for (std::size_t i = 0; i < line.size(); ++i) {
        KvoChar c = line[i];
        if (c == u'\\' && i + 1 < line.size()) {
            KvoChar next = line[i + 1];
            if (next == u'n') {
                out.push_back(u'\n');
                ++i;
                continue;
            }
            if (next == u'\\') {
                out.push_back(u'\\');
                ++i;
                continue;
            }
            if (next == u'u' && i + 5 < line.size()) {
                int unit = 0;
                bool valid = true;
                for (std::size_t k = i + 2; k < i + 6 && valid; ++k) {
                    int digit = hexDigit(line[k]);
                    valid = digit >= 0;
                    unit = unit * 16 + digit;
                }
                if (valid) {
                    out.push_back(static_cast<KvoChar>(unit));
                    i += 5;
                    continue;
                }
            }
        }
        out.push_back(c);
    }
    return out;
}

// Numbers that a call could take as a count are kept below MAX_COUNT, unless they pass every
// bound of the library (those must fail with "count too large" without allocating).
std::int32_t foldInteger(std::int64_t value)
{
    std::int64_t magnitude = value < 0 ? -value : value;
    if (magnitude > MAX_COUNT && magnitude <= std::int64_t(kvoLibMaxCount(1)))
        value %= MAX_COUNT + 1;
    return static_cast<std::int32_t>(value);
}

double foldReal(double value)
{
    double magnitude = std::fabs(value);
    if (magnitude > double(MAX_COUNT) && magnitude <= double(kvoLibMaxCount(1)) + 1.0)
        value = std::fmod(value, double(MAX_COUNT + 1));
    return value;
}

std::int32_t parseInteger(const Text& text)
{
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+'))
        negative = text[i++] == u'-';
    int base = 10;
    if (i + 1 < text.size() && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        base = 16;
        i += 2;
    }
    std::uint64_t value = 0;
    for (; i < text.size(); ++i) {
        int digit = hexDigit(text[i]);
        if (digit < 0 || digit >= base)
            break;
        value = (value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit)) & 0xFFFFFFFFull;
    }
    auto wrapped = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    std::int64_t signedValue = negative ? -std::int64_t(wrapped) : std::int64_t(wrapped);
    return foldInteger(signedValue);
}

double parseReal(const Text& text)
{
    double value = 0;
    if (!kvoScanDouble(text.c_str(), &value))
        return 0;
    return foldReal(value);
}

float toFloat(double value)
{
    if (std::isfinite(value) && std::fabs(value) > double(FLT_MAX))
        return value < 0 ? -FLT_MAX : FLT_MAX;
    return static_cast<float>(value);
}

// ---- Reading values ----------------------------------------------------------------------------

bool isNumber(const KvoValue& value)
{
    KvoValueType type = value.getType();
    return type == KVT_NULL || type == KVT_INTEGER || type == KVT_FLOAT || type == KVT_DOUBLE;
}

bool isStringType(KvoValueType type)
{
    return type == KVT_STRING || type == KVT_STRINGREF;
}
bool isCharBufferType(KvoValueType type)
{
    return type == KVT_CHARBUFFER || type == KVT_CHARBUFFERREF;
}
bool isBufferType(KvoValueType type)
{
    return type == KVT_BUFFER || type == KVT_BUFFERREF;
}

// The text of a string object, checked for consistency: the stored length is where the text
// ends, and the block holds at least that much.
Text textOf(const KvoString& s)
{
    const std::uint32_t length = s.length();
    require(kvoStrLen(s.c_str()) == length, "a string's length differs from its text");
    require(!s.hasText() || s.capacity() >= length, "a string's capacity is below its length");
    require(s.hasText() || length == 0, "a string without text has a length");
    return Text(s.c_str(), length);
}

// Text up to the first zero: what a string made of these units holds.
Text cutAtZero(Text text)
{
    std::size_t zero = text.find(u'\0');
    if (zero != Text::npos)
        text.resize(zero);
    return text;
}

// The character code a library function reads from a value: the low 16 bits of a number; any
// other kind stands for no character.
KvoChar characterOf(const KvoValue& value)
{
    return isNumber(value) ? static_cast<KvoChar>(value.getLong() & 0xFFFF) : KvoChar(0);
}

// The count a library function reads for new elements of elementSize bytes: false when it
// passes the library's bound.
bool countOf(const KvoValue& value, std::uint32_t elementSize, std::uint32_t& count)
{
    std::int32_t n = value.getLong();
    if (n <= 0) {
        count = 0;
        return true;
    }
    if (static_cast<std::uint32_t>(n) > kvoLibMaxCount(elementSize))
        return false;
    count = static_cast<std::uint32_t>(n);
    return true;
}

int sign(int value)
{
    return (value > 0) - (value < 0);
}

// The units that a value brings to a call, for the size bound.
std::size_t sizeOf(const KvoValue& value)
{
    if (const KvoString* s = value.getString())
        return s->length();
    if (const KvoCharBuffer* c = value.getCharBuffer())
        return c->size();
    if (const KvoBuffer* b = value.getBuffer())
        return b->size();
    if (const KvoVector* v = value.getVector())
        return v->size();
    return 0;
}

// UTF-16 as it comes back from UTF-8: unpaired surrogates become U+FFFD.
Text withoutUnpairedSurrogates(const Text& text)
{
    Text out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        KvoChar c = text[i];
        bool high = c >= 0xD800 && c <= 0xDBFF;
        bool low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            out.push_back(c);
            out.push_back(text[++i]);
        } else if (high || low) {
            out.push_back(0xFFFD);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// ---- Calling the library -----------------------------------------------------------------------

struct Call {
    std::vector<KvoValue> args;
    std::vector<Text> before; // each string argument's text before the call ("" for others)
    bool ok = false;
    KvoValue result;

    std::size_t argc() const { return args.size(); }
    const KvoString* string(std::size_t i) const { return args[i].getString(); }
};

// Calls function as the interpreter does: the callee slot, then the arguments, on a stack
// vector, with the cursor at the last argument.
bool invoke(KvoNativeFunc function, const std::vector<KvoValue>& arguments, KvoValue& result)
{
    auto* stack = new KvoVector();
    KvoValue hold(stack);
    stack->push_back(KvoValue());
    for (const KvoValue& argument : arguments)
        stack->push_back(argument);
    const int argc = static_cast<int>(arguments.size());
    ValPtr cursor(stack, argc);
    const bool ok = function(nullptr, argc, cursor);
    if (ok)
        require(cursor.current() == 0, "a completed call does not leave the cursor at its callee slot");
    result = (*stack)[0];
    return ok;
}

void expectString(const Call& call, const Text& expected, const char* what)
{
    require(call.ok, what);
    require(call.result.getType() == KVT_STRING, what);
    const KvoString* s = call.result.getString();
    require(s != nullptr, what);
    require(textOf(*s) == expected, what);
}

// A modifier's result is its first argument's string object, changed in place.
void expectModified(const Call& call, const Text& expected, const char* what)
{
    require(call.ok, what);
    require(call.result.getString() == call.string(0), what);
    require(textOf(*call.string(0)) == expected, what);
}

void expectInteger(const Call& call, std::int32_t expected, const char* what)
{
    require(call.ok && call.result.getType() == KVT_INTEGER && call.result.getLong() == expected, what);
}

template <typename Buffer, typename Element>
void expectElements(const Call& call, KvoValueType type, const std::vector<Element>& expected, const char* what)
{
    require(call.ok && call.result.getType() == type, what);
    const Buffer* buffer = nullptr;
    if constexpr (std::is_same_v<Buffer, KvoBuffer>)
        buffer = call.result.getBuffer();
    else
        buffer = call.result.getCharBuffer();
    require(buffer != nullptr && buffer->size() == expected.size() && buffer->capacity() >= buffer->size(), what);
    for (std::size_t i = 0; i < expected.size(); ++i)
        require((*buffer)[static_cast<std::uint32_t>(i)] == expected[i], what);
}

Text charBufferText(const KvoCharBuffer& buffer)
{
    return Text(buffer.data(), buffer.data() + buffer.size());
}

Text bufferText(const KvoBuffer& buffer)
{
    return Text(buffer.data(), buffer.data() + buffer.size());
}

// The script formatter over values, with the cursor at the first and the vector no larger than
// the values (so that a read past the last one leaves the block).
KvoString formatDirectly(const KvoChar* fmt, const std::vector<KvoValue>& values)
{
    auto* vector = new KvoVector();
    KvoValue hold(vector);
    for (const KvoValue& value : values)
        vector->push_back(value);
    vector->shrink();
    ValPtr cursor(vector, 0);
    return KvoString(fmt, static_cast<unsigned>(values.size()), cursor);
}

void checkNewstring(const Call& call)
{
    if (call.argc() == 0)
        return require(!call.ok, "newstring() succeeds");
    const KvoValue& first = call.args[0];
    KvoValueType type = first.getType();
    if (type == KVT_INTEGER) {
        std::uint32_t count = 0;
        if (call.argc() > 2 || !countOf(first, sizeof(KvoChar), count))
            return require(!call.ok, "newstring(n) with too many arguments or too large a count succeeds");
        KvoChar fill = call.argc() == 2 ? characterOf(call.args[1]) : u' ';
        return expectString(call, fill ? Text(count, fill) : Text(), "newstring(n, ch)");
    }
    if (isStringType(type)) {
        const KvoString* format = first.getString();
        if (!format)
            return expectString(call, Text(), "newstring of a string value without a string");
        if (call.argc() == 1) {
            expectString(call, call.before[0], "newstring(s) does not copy s");
            return require(call.result.getString() != format, "newstring(s) shares s");
        }
        std::vector<KvoValue> values(call.args.begin() + 1, call.args.end());
        return expectString(call, textOf(formatDirectly(format->c_str(), values)), "newstring(format, ...)");
    }
    if (isCharBufferType(type)) {
        if (call.argc() > 1)
            return require(!call.ok, "newstring(cbuffer, x) succeeds");
        const KvoCharBuffer* buffer = first.getCharBuffer();
        return expectString(call, buffer ? cutAtZero(charBufferText(*buffer)) : Text(), "newstring(cbuffer)");
    }
    if (isBufferType(type)) {
        if (call.argc() > 1)
            return require(!call.ok, "newstring(buffer, x) succeeds");
        const KvoBuffer* buffer = first.getBuffer();
        return expectString(call, buffer ? cutAtZero(bufferText(*buffer)) : Text(), "newstring(buffer)");
    }
    require(!call.ok, "newstring of another kind succeeds");
}

void checkNewbuffer(const Call& call)
{
    if (call.argc() < 1 || call.argc() > 2)
        return require(!call.ok, "newbuffer with a wrong argument count succeeds");
    const KvoValue& first = call.args[0];
    KvoValueType type = first.getType();
    std::vector<std::uint8_t> expected;
    if (type == KVT_INTEGER) {
        std::uint32_t count = 0;
        if (!countOf(first, 1, count))
            return require(!call.ok, "newbuffer with too large a count succeeds");
        auto fill = static_cast<std::uint8_t>(call.argc() == 2 ? call.args[1].getLong() & 0xFF : 0);
        expected.assign(count, fill);
    } else if (isStringType(type)) {
        if (first.getString()) {
            for (KvoChar c : call.before[0])
                expected.push_back(static_cast<std::uint8_t>(c));
            expected.insert(expected.end(), 2, 0);
        }
    } else if (isCharBufferType(type)) {
        if (const KvoCharBuffer* source = first.getCharBuffer())
            for (KvoChar c : charBufferText(*source))
                expected.push_back(static_cast<std::uint8_t>(c));
    } else if (isBufferType(type)) {
        if (const KvoBuffer* source = first.getBuffer()) {
            expected.assign(source->data(), source->data() + source->size());
            require(call.result.getBuffer() != source, "newbuffer(buffer) shares the buffer");
        }
    } else {
        return require(!call.ok, "newbuffer of another kind succeeds");
    }
    expectElements<KvoBuffer>(call, KVT_BUFFER, expected, "newbuffer");
}

void checkNewcbuffer(const Call& call)
{
    if (call.argc() < 1 || call.argc() > 2)
        return require(!call.ok, "newcbuffer with a wrong argument count succeeds");
    const KvoValue& first = call.args[0];
    KvoValueType type = first.getType();
    std::vector<KvoChar> expected;
    if (type == KVT_INTEGER) {
        std::uint32_t count = 0;
        if (!countOf(first, sizeof(KvoChar), count))
            return require(!call.ok, "newcbuffer with too large a count succeeds");
        expected.assign(count, call.argc() == 2 ? characterOf(call.args[1]) : KvoChar(0));
    } else if (isStringType(type)) {
        if (first.getString()) {
            expected.assign(call.before[0].begin(), call.before[0].end());
            expected.insert(expected.end(), 2, 0);
        }
    } else if (isCharBufferType(type)) {
        if (const KvoCharBuffer* source = first.getCharBuffer()) {
            Text text = charBufferText(*source);
            expected.assign(text.begin(), text.end());
            require(call.result.getCharBuffer() != source, "newcbuffer(cbuffer) shares the buffer");
        }
    } else if (isBufferType(type)) {
        if (const KvoBuffer* source = first.getBuffer())
            expected.assign(source->data(), source->data() + source->size());
    } else {
        return require(!call.ok, "newcbuffer of another kind succeeds");
    }
    expectElements<KvoCharBuffer>(call, KVT_CHARBUFFER, expected, "newcbuffer");
}

void checkCBuf(const Call& call)
{
    std::vector<KvoChar> expected;
    for (std::size_t i = 0; i < call.argc(); ++i) {
        const KvoValue& part = call.args[i];
        KvoValueType type = part.getType();
        if (type == KVT_INTEGER) {
            expected.push_back(static_cast<KvoChar>(part.getLong() & 0xFFFF));
        } else if (isBufferType(type)) {
            if (const KvoBuffer* bytes = part.getBuffer())
                expected.insert(expected.end(), bytes->data(), bytes->data() + bytes->size());
        } else if (isCharBufferType(type)) {
            if (const KvoCharBuffer* chars = part.getCharBuffer())
                expected.insert(expected.end(), chars->data(), chars->data() + chars->size());
        } else if (isStringType(type)) {
            expected.insert(expected.end(), call.before[i].begin(), call.before[i].end());
        }
    }
    expectElements<KvoCharBuffer>(call, KVT_CHARBUFFER, expected, "CBuf");
}

void checkNewvector(const Call& call)
{
    if (call.argc() > 2)
        return require(!call.ok, "newvector with three arguments succeeds");
    std::uint32_t count = 0;
    if (call.argc() >= 1 && (!isNumber(call.args[0]) || !countOf(call.args[0], sizeof(KvoValue), count)))
        return require(!call.ok, "newvector with a bad count succeeds");
    bool sized = call.argc() < 2 || call.args[1].getLong() != 0;
    require(call.ok && call.result.getType() == KVT_VECTOR, "newvector fails");
    const KvoVector* vector = call.result.getVector();
    require(vector->size() == (sized ? count : 0) && vector->capacity() >= count, "newvector's size");
    for (std::uint32_t i = 0; i < vector->size(); ++i)
        require((*vector)[i].isNull(), "newvector's elements are not null");
}

// A call that needs string arguments at the given positions fails when one is no string.
bool stringsAt(const Call& call, std::initializer_list<std::size_t> positions)
{
    for (std::size_t i : positions)
        if (!call.string(i))
            return false;
    return true;
}

void checkStrlen(const Call& call)
{
    if (call.argc() != 1 || !stringsAt(call, {0}))
        return require(!call.ok, "strlen of no single string succeeds");
    expectInteger(call, static_cast<std::int32_t>(call.before[0].size()), "strlen");
}

void checkStrcmp(const Call& call)
{
    if (call.argc() != 2 || !stringsAt(call, {0, 1}))
        return require(!call.ok, "strcmp without two strings succeeds");
    require(call.ok && call.result.getType() == KVT_INTEGER, "strcmp fails");
    require(sign(call.result.getLong()) == sign(call.before[0].compare(call.before[1])), "strcmp's order");
}

Text lowered(const Text& text)
{
    Text out(text);
    for (KvoChar& c : out)
        c = kvoToLower(c);
    return out;
}

void checkStricmp(const Call& call)
{
    if (call.argc() != 2 || !stringsAt(call, {0, 1}))
        return require(!call.ok, "stricmp without two strings succeeds");
    require(call.ok && call.result.getType() == KVT_INTEGER, "stricmp fails");
    const int expected = sign(lowered(call.before[0]).compare(lowered(call.before[1])));
    require(sign(call.result.getLong()) == expected, "stricmp's order");
}

void checkStrsplit(const Call& call)
{
    if (call.argc() != 2 || !stringsAt(call, {0, 1}))
        return require(!call.ok, "strsplit without two strings succeeds");
    const Text& text = call.before[0];
    const Text& delimiters = call.before[1];
    std::vector<Text> tokens;
    std::size_t start = text.find_first_not_of(delimiters);
    while (start != Text::npos) {
        std::size_t end = text.find_first_of(delimiters, start);
        tokens.push_back(text.substr(start, end == Text::npos ? Text::npos : end - start));
        start = end == Text::npos ? end : text.find_first_not_of(delimiters, end);
    }
    require(call.ok && call.result.getType() == KVT_VECTOR, "strsplit fails");
    const KvoVector* vector = call.result.getVector();
    require(vector->size() == tokens.size(), "strsplit's token count");
    for (std::uint32_t i = 0; i < vector->size(); ++i) {
        const KvoString* token = (*vector)[i].getString();
        require((*vector)[i].getType() == KVT_STRING && token && textOf(*token) == tokens[i], "strsplit's tokens");
    }
}

void checkStrfind(const Call& call)
{
    if (call.argc() < 2 || call.argc() > 3 || !stringsAt(call, {0}))
        return require(!call.ok, "strfind without a string succeeds");
    const Text& text = call.before[0];
    auto start = static_cast<std::uint32_t>(call.argc() == 3 ? call.args[2].getLong() : 0);
    std::size_t hit = Text::npos;
    if (call.string(1)) {
        if (start < text.size())
            hit = text.find(call.before[1], start);
    } else {
        KvoChar c = characterOf(call.args[1]);
        if (c == 0)
            return require(!call.ok, "strfind of no character succeeds");
        if (start < text.size())
            hit = text.find(c, start);
    }
    expectInteger(call, hit == Text::npos ? -1 : static_cast<std::int32_t>(hit), "strfind");
}

// The characters from pos on, count of them (a negative count or one past the end: all).
std::size_t clampedCount(const Text& text, std::uint32_t pos, std::int32_t count)
{
    std::size_t available = text.size() - pos;
    return count < 0 || static_cast<std::size_t>(count) > available ? available : static_cast<std::size_t>(count);
}

void checkSubstr(const Call& call)
{
    if (call.argc() < 2 || call.argc() > 3 || !stringsAt(call, {0}) || call.args[1].getLong() < 0)
        return require(!call.ok, "substr without a string or with a negative start succeeds");
    const Text& text = call.before[0];
    auto pos = static_cast<std::uint32_t>(call.args[1].getLong());
    std::int32_t count = call.argc() == 3 ? call.args[2].getLong() : -1;
    Text expected;
    if (pos < text.size() && count != 0)
        expected = text.substr(pos, clampedCount(text, pos, count));
    expectString(call, expected, "substr");
    require(call.result.getString() != call.string(0), "substr shares its string");
}

void checkStrerase(const Call& call)
{
    if (call.argc() < 2 || call.argc() > 3 || !stringsAt(call, {0}))
        return require(!call.ok, "strerase without a string succeeds");
    Text text = call.before[0];
    auto pos = static_cast<std::uint32_t>(call.args[1].getLong());
    std::int32_t count = call.argc() == 3 ? call.args[2].getLong() : -1;
    if (count != 0 && pos < text.size())
        text.erase(pos, clampedCount(text, pos, count));
    expectModified(call, text, "strerase");
}

void checkStrinsert(const Call& call)
{
    if (call.argc() < 3 || call.argc() > 4 || !stringsAt(call, {0}) || call.args[1].getLong() < 0)
        return require(!call.ok, "strinsert without a string or at a negative position succeeds");
    Text text = call.before[0];
    auto pos = static_cast<std::uint32_t>(call.args[1].getLong());
    if (call.string(2)) {
        if (call.argc() == 4)
            return require(!call.ok, "strinsert of a string with a count succeeds");
        if (pos <= text.size())
            text.insert(pos, call.before[2]);
        return expectModified(call, text, "strinsert of a string");
    }
    std::uint32_t count = 1;
    if (call.argc() == 4 && !countOf(call.args[3], sizeof(KvoChar), count))
        return require(!call.ok, "strinsert with too large a count succeeds");
    KvoChar c = characterOf(call.args[2]);
    if (pos <= text.size() && count > 0)
        text = cutAtZero(text.insert(pos, Text(count, c)));
    expectModified(call, text, "strinsert of a character");
}

void checkStrreplace(const Call& call)
{
    if (call.argc() != 3 || !stringsAt(call, {0}))
        return require(!call.ok, "strreplace without a string succeeds");
    Text text = call.before[0];
    if (call.string(1)) {
        if (!call.string(2))
            return require(!call.ok, "strreplace of a string by no string succeeds");
        const Text& from = call.before[1];
        const Text& to = call.before[2];
        if (!from.empty()) {
            Text out;
            std::size_t p = 0;
            for (std::size_t hit = text.find(from); hit != Text::npos; hit = text.find(from, p)) {
                out.append(text, p, hit - p).append(to);
                p = hit + from.size();
            }
            text = out.append(text, p, Text::npos);
        }
        return expectModified(call, text, "strreplace of strings");
    }
    KvoChar from = characterOf(call.args[1]);
    KvoChar to = characterOf(call.args[2]);
    if (from != 0)
        for (KvoChar& c : text)
            if (c == from)
                c = to;
    expectModified(call, cutAtZero(text), "strreplace of characters");
}

void checkVecsize(const Call& call)
{
    if (call.argc() != 1 || !call.args[0].getVector())
        return require(!call.ok, "vecsize of no vector succeeds");
    expectInteger(call, static_cast<std::int32_t>(call.args[0].getVector()->size()), "vecsize");
}

struct Function {
    const char16_t* name;
    KvoNativeFunc function;
    void (*check)(const Call&);
};

const Function FUNCTIONS[] = {
    {u"newstring", &KDF::Kvo_newstring, &checkNewstring},
    {u"newbuffer", &KDF::Kvo_newbuffer, &checkNewbuffer},
    {u"newcbuffer", &KDF::Kvo_newcbuffer, &checkNewcbuffer},
    {u"CBuf", &KDF::Kvo_CBuf, &checkCBuf},
    {u"newvector", &KDF::Kvo_newvector, &checkNewvector},
    {u"strlen", &KDF::Kvo_strlen, &checkStrlen},
    {u"strcmp", &KDF::Kvo_strcmp, &checkStrcmp},
    {u"stricmp", &KDF::Kvo_stricmp, &checkStricmp},
    {u"strsplit", &KDF::Kvo_strsplit, &checkStrsplit},
    {u"strfind", &KDF::Kvo_strfind, &checkStrfind},
    {u"strerase", &KDF::Kvo_strerase, &checkStrerase},
    {u"strinsert", &KDF::Kvo_strinsert, &checkStrinsert},
    {u"strreplace", &KDF::Kvo_strreplace, &checkStrreplace},
    {u"substr", &KDF::Kvo_substr, &checkSubstr},
    {u"vecsize", &KDF::Kvo_vecsize, &checkVecsize},
};

// ---- Running one input -------------------------------------------------------------------------

class Session
{
public:
    void run(const Text& input)
    {
        std::size_t commands = 0;
        std::size_t begin = 0;
        while (begin <= input.size() && commands < MAX_COMMANDS && m_work < MAX_WORK) {
            std::size_t end = input.find(u'\n', begin);
            if (end == Text::npos)
                end = input.size();
            Text line = input.substr(begin, end - begin);
            begin = end + 1;
            if (line.empty())
                continue;
            ++commands;
            command(line[0], line.substr(1));
        }
        // Each call checked the strings it was given and made; a change through one value shows
        // in every value that shares the object, so the pool is checked once more at the end.
        checkPool();
    }

private:
    void add(KvoValue value)
    {
        if (m_pool.size() < MAX_VALUES)
            m_pool.push_back(std::move(value));
        else
            m_pool.back() = std::move(value);
    }

    // Holds the object for as long as the input runs and adds a reference value to it.
    template <typename T>
    void addReference(T* object)
    {
        m_held.push_back(KvoValue(object));
        add(KvoValue(object, true));
    }

    std::vector<KvoValue> slots(const Text& names) const
    {
        std::vector<KvoValue> values;
        if (m_pool.empty())
            return values;
        for (KvoChar c : names) {
            int index = hexDigit(c);
            if (index >= 0 && !(c >= u'A' && c <= u'F'))
                values.push_back(m_pool[static_cast<std::size_t>(index) % m_pool.size()]);
        }
        return values;
    }

    void command(KvoChar op, const Text& raw)
    {
        const Text text = unescape(raw);
        switch (op) {
        case u'i': add(KvoValue(parseInteger(text))); break;
        case u'd': add(KvoValue(parseReal(text))); break;
        case u'f': add(KvoValue(toFloat(parseReal(text)))); break;
        case u'n': add(KvoValue()); break;
        case u's': add(KvoValue(new KvoString(text.data(), text.size()))); break;
        case u'S': addReference(new KvoString(text.data(), text.size())); break;
        case u'e': add(KvoValue(new KvoString())); break;
        case u'o': add(KvoValue(static_cast<KvoString*>(nullptr))); break;
        case u'R':
            for (auto it = m_pool.rbegin(); it != m_pool.rend(); ++it) {
                if (KvoString* s = it->getString()) {
                    addReference(s);
                    break;
                }
            }
            break;
        case u'c':
        case u'C': {
            auto* buffer = new KvoCharBuffer(static_cast<std::uint32_t>(text.size()));
            buffer->append(text.data(), static_cast<std::uint32_t>(text.size()));
            if (op == u'c')
                add(KvoValue(buffer));
            else
                addReference(buffer);
            break;
        }
        case u'b':
        case u'B': {
            auto* buffer = new KvoBuffer(static_cast<std::uint32_t>(text.size()));
            for (KvoChar c : text)
                buffer->push_back(static_cast<std::uint8_t>(c));
            if (op == u'b')
                add(KvoValue(buffer));
            else
                addReference(buffer);
            break;
        }
        case u'v': {
            auto* vector = new KvoVector();
            KvoValue value(vector);
            for (const KvoValue& element : slots(text))
                vector->push_back(element);
            add(std::move(value));
            break;
        }
        case u'%': format(text); break;
        case u'=': callFunction(text); break;
        case u'+': append(text); break;
        case u'&': join(text); break;
        default: break;
        }
    }

    bool tooLarge(const std::vector<KvoValue>& values) const
    {
        std::size_t total = 0;
        for (const KvoValue& value : values)
            total += sizeOf(value);
        return total > MAX_TEXT;
    }

    void format(const Text& fmt)
    {
        if (tooLarge(m_pool) || fmt.size() > MAX_TEXT)
            return;
        const Text shown = cutAtZero(fmt);
        KvoString direct = formatDirectly(fmt.c_str(), m_pool);
        const Text result = textOf(direct);
        m_work += result.size();
        if (m_pool.empty() || shown.empty()) {
            require(!direct.hasText(), "formatting with no values or no format gives text");
            return;
        }
        if (shown.find(u'%') == Text::npos)
            require(result == shown, "a format without conversions is not its own text");
        // The text before the first conversion is always written as it is.
        const Text lead = shown.substr(0, shown.find(u'%'));
        require(result.compare(0, lead.size(), lead) == 0, "the text before the first % is lost");

        // The library's newstring(format, values...) formats the same way.
        std::vector<KvoValue> arguments{KvoValue(new KvoString(fmt.data(), fmt.size()))};
        arguments.insert(arguments.end(), m_pool.begin(), m_pool.end());
        KvoValue formatted;
        require(invoke(&KDF::Kvo_newstring, arguments, formatted), "newstring(format, ...) fails");
        require(formatted.getString() && textOf(*formatted.getString()) == result,
                "newstring(format, ...) differs from the formatter");
        checkUtf8(result);
    }

    void callFunction(const Text& text)
    {
        const std::size_t space = text.find(u' ');
        const Text name = text.substr(0, space);
        const Function* function = nullptr;
        for (const Function& f : FUNCTIONS)
            if (name == f.name)
                function = &f;
        if (!function)
            return;
        Call call;
        call.args = slots(space == Text::npos ? Text() : text.substr(space + 1));
        if (tooLarge(call.args))
            return;
        for (const KvoValue& arg : call.args)
            call.before.push_back(arg.getString() ? textOf(*arg.getString()) : Text());
        // A non-numeric count is read from the payload's low bits: keep the request bounded.
        if (function->function == &KDF::Kvo_strinsert && call.argc() == 4) {
            std::int32_t count = call.args[3].getLong();
            if (count > MAX_COUNT && static_cast<std::uint32_t>(count) <= kvoLibMaxCount(sizeof(KvoChar)))
                return;
        }
        // Replacing each of many characters by a long text multiplies the lengths.
        if (function->function == &KDF::Kvo_strreplace && call.argc() == 3 && call.string(1) && !call.before[1].empty()) {
            std::size_t hits = 0;
            for (std::size_t p = call.before[0].find(call.before[1]); p != Text::npos;
                 p = call.before[0].find(call.before[1], p + call.before[1].size()))
                ++hits;
            if (hits * call.before[2].size() > MAX_RESULT)
                return;
        }
        call.ok = invoke(function->function, call.args, call.result);
        function->check(call);
        if (call.ok) {
            m_work += sizeOf(call.result);
            if (const KvoString* s = call.result.getString())
                checkUtf8(textOf(*s));
            add(call.result);
        }
    }

    void append(const Text& text)
    {
        std::vector<KvoValue> operands = slots(text);
        if (operands.size() < 2 || !operands[0].getString() || tooLarge(operands))
            return;
        KvoString& target = *operands[0].getString();
        Text expected = textOf(target);
        if (const KvoString* tail = operands[1].getString()) {
            expected += textOf(*tail);
            target += *tail;
        } else {
            KvoChar c = characterOf(operands[1]);
            if (c)
                expected.push_back(c);
            target += c;
        }
        require(textOf(target) == expected, "+= gives the wrong text");
        m_work += expected.size();
    }

    void join(const Text& text)
    {
        std::vector<KvoValue> operands = slots(text);
        if (operands.size() < 2 || !operands[0].getString() || !operands[1].getString() || tooLarge(operands))
            return;
        const KvoString& head = *operands[0].getString();
        const KvoString& tail = *operands[1].getString();
        const Text expected = textOf(head) + textOf(tail);
        auto* joined = new KvoString(head + tail);
        KvoValue value(joined);
        require(textOf(*joined) == expected, "+ gives the wrong text");
        m_work += expected.size();
        add(std::move(value));
    }

    // The text goes to UTF-8 and back unchanged, except that unpaired surrogates become U+FFFD.
    void checkUtf8(const Text& text)
    {
        if (text.size() > 4096)
            return;
        KvoString s(text.data(), text.size());
        require(kvoFromUtf8(s.a_str()) == withoutUnpairedSurrogates(text), "a text does not survive UTF-8");
    }

    void checkPool() const
    {
        for (const KvoValue& value : m_pool)
            if (const KvoString* s = value.getString())
                (void)textOf(*s);
    }

    std::vector<KvoValue> m_pool;
    std::vector<KvoValue> m_held;
    std::size_t m_work = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Session session;
    session.run(kvoFromUtf8(reinterpret_cast<const char*>(data), size));
    return 0;
}
