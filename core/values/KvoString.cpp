// String text management, search and edit operations, and the two formatting paths: the
// printf-style format() for the runtime's own messages and the script formatting constructor.
#include "values/KvoString.h"

#include <algorithm>
#include <iterator>
#include <cstring>
#include <string>
#include <utility>

#include "platform/KvoFormat.h"
#include "platform/KvoMemory.h"
#include "platform/KvoText.h"
#include "values/KvoBuffer.h"
#include "values/KvoCharBuffer.h"
#include "values/ValPtr.h"

namespace {

// The longest text a string holds; one more unit is the terminating zero.
constexpr std::size_t MAX_STRING_LENGTH = 0xFFFFFFFEu;

// A block for capacity characters and the terminating zero.
KvoChar* allocateText(std::size_t capacity)
{
    if (capacity > MAX_STRING_LENGTH)
        errorExit(1);
    return static_cast<KvoChar*>(allocmem((capacity + 1) * sizeof(KvoChar)));
}

KvoChar* copyText(const KvoChar* text, std::size_t length)
{
    KvoChar* block = allocateText(length);
    if (length)
        std::memcpy(block, text, length * sizeof(KvoChar));
    block[length] = 0;
    return block;
}

// The characters before the first zero among the first length ones.
std::uint32_t textLength(const KvoChar* text, std::size_t length) noexcept
{
    const KvoChar* zero = std::char_traits<KvoChar>::find(text, length, 0);
    return static_cast<std::uint32_t>(zero ? static_cast<std::size_t>(zero - text) : length);
}

void appendToString(void* context, const KvoChar* text, std::size_t length)
{
    static_cast<std::u16string*>(context)->append(text, length);
}

} // namespace

KvoString::KvoString(const KvoChar* text)
{
    if (text)
        assignText(text, kvoStrLen(text));
}

KvoString::KvoString(const KvoChar* text, std::size_t length)
{
    // The block keeps all length units, as given; the text ends at the first zero among them.
    std::uint32_t count = textLength(text, length);
    adopt(copyText(text, length), count, static_cast<std::uint32_t>(length));
}

KvoString::KvoString(const char* text)
{
    if (text) {
        std::u16string wide = kvoFromUtf8(text);
        assignText(wide.data(), textLength(wide.data(), wide.size()));
    }
}

KvoString::KvoString(const KvoString& other) : KvoRefObject(other)
{
    if (other.m_text)
        assignText(other.m_text, other.length());
    // The copy has the same text, so it has the same hash.
    m_hash = other.m_hash;
    m_hashed = other.m_hashed;
}

KvoString::KvoString(KvoString&& other) noexcept
    : m_text(other.m_text), m_length(other.length()), m_capacity(other.m_capacity), m_hash(other.m_hash),
      m_hashed(other.m_hashed), m_exposed(other.m_exposed)
{
    other.m_text = nullptr;
    other.m_length = 0;
    other.m_capacity = 0;
    other.textChanged();
    other.m_exposed = false;
}

KvoString::~KvoString()
{
    freemem(m_text);
}

void KvoString::adopt(KvoChar* block, std::uint32_t length, std::uint32_t capacity) noexcept
{
    // block is always a new block (or none): an address handed out for the old one says nothing
    // about it. A move that hands a block over restores its state afterwards.
    freemem(m_text);
    m_text = block;
    m_length = length;
    m_capacity = capacity;
    m_recount = false;
    textChanged();
    m_exposed = false;
}

std::uint32_t KvoString::computeHash() const noexcept
{
    std::uint32_t hash = hashText(c_str());
    if (!m_exposed) {
        m_hash = hash;
        m_hashed = true;
    }
    return hash;
}

void KvoString::recount() const noexcept
{
    m_length = m_text ? textLength(m_text, m_length) : 0;
    m_recount = false;
}

void KvoString::assignText(const KvoChar* text, std::size_t length)
{
    // Copy first: text may point into the block being replaced.
    auto count = static_cast<std::uint32_t>(length);
    adopt(copyText(text, length), count, count);
}

void KvoString::appendText(const KvoChar* text, std::size_t count)
{
    std::size_t oldLength = length();
    std::size_t newLength = oldLength + count;
    if (m_text && newLength <= m_capacity) {
        // text may lie inside this block, but only before its end: the ranges never overlap.
        if (count)
            std::memcpy(m_text + oldLength, text, count * sizeof(KvoChar));
        m_text[newLength] = 0;
        m_length = static_cast<std::uint32_t>(newLength);
        textChanged();
        return;
    }
    // A string that grows again gets room for more: repeated appends then cost linear time.
    std::size_t capacity = newLength;
    if (m_text) {
        std::size_t grown = std::size_t(m_capacity) + m_capacity / 2 + 8;
        if (grown > capacity)
            capacity = grown < MAX_STRING_LENGTH ? grown : MAX_STRING_LENGTH;
    }
    KvoChar* block = allocateText(capacity);
    if (oldLength)
        std::memcpy(block, m_text, oldLength * sizeof(KvoChar));
    if (count)
        std::memcpy(block + oldLength, text, count * sizeof(KvoChar));
    block[newLength] = 0;
    adopt(block, static_cast<std::uint32_t>(newLength), static_cast<std::uint32_t>(capacity));
}

KvoString& KvoString::operator=(const KvoString& other)
{
    if (this == &other)
        return *this;
    if (other.m_text)
        assignText(other.m_text, other.length());
    else
        clear();
    return *this;
}

KvoString& KvoString::operator=(KvoString&& other) noexcept
{
    if (this != &other) {
        adopt(other.m_text, other.length(), other.m_capacity);
        // The block moves with what is known about it.
        m_hash = other.m_hash;
        m_hashed = other.m_hashed;
        m_exposed = other.m_exposed;
        other.m_text = nullptr;
        other.m_length = 0;
        other.m_capacity = 0;
        other.textChanged();
        other.m_exposed = false;
    }
    return *this;
}

KvoString& KvoString::operator=(const KvoChar* text)
{
    if (!text) {
        clear();
        return *this;
    }
    if (m_text && kvoStrCmp(m_text, text) == 0)
        return *this;
    assignText(text, kvoStrLen(text));
    return *this;
}

KvoString& KvoString::operator+=(const KvoString& other)
{
    if (!m_text)
        return *this = other;
    std::uint32_t count = other.length();
    if (count)
        appendText(other.m_text, count);
    return *this;
}

KvoString& KvoString::operator+=(const KvoChar* text)
{
    if (!text)
        return *this;
    if (!m_text)
        return *this = text;
    std::size_t count = kvoStrLen(text);
    if (count)
        appendText(text, count);
    return *this;
}

KvoString& KvoString::operator+=(KvoChar c)
{
    // A zero character ends the text where it is: the text stays as it was (but a string
    // without text gets an empty one).
    if (c == 0) {
        if (!m_text)
            assignText(u"", 0);
        return *this;
    }
    appendText(&c, 1);
    return *this;
}

KvoString KvoString::operator+(const KvoString& other) const
{
    if (!m_text)
        return KvoString(other);
    // One block of the exact size for both texts.
    std::size_t headLength = length();
    std::size_t tailLength = other.length();
    KvoChar* block = allocateText(headLength + tailLength);
    std::memcpy(block, m_text, headLength * sizeof(KvoChar));
    if (tailLength)
        std::memcpy(block + headLength, other.m_text, tailLength * sizeof(KvoChar));
    block[headLength + tailLength] = 0;
    KvoString result;
    auto total = static_cast<std::uint32_t>(headLength + tailLength);
    result.adopt(block, total, total);
    return result;
}

int KvoString::compare(const KvoString& other) const noexcept
{
    return kvoStrCmp(c_str(), other.c_str());
}

int KvoString::icompare(const KvoString& other) const noexcept
{
    return kvoStrICmp(c_str(), other.c_str());
}

const char* KvoString::a_str() const
{
    thread_local std::string buffer;
    if (!m_text)
        return "";
    buffer = kvoToUtf8(m_text);
    return buffer.c_str();
}

void KvoString::clear() noexcept
{
    adopt(nullptr, 0, 0);
}

std::int32_t KvoString::find(const KvoString& s, std::uint32_t pos) const noexcept
{
    if (!m_text || pos >= length())
        return -1;
    const KvoChar* hit = kvoStrStr(m_text + pos, s.c_str());
    return hit ? static_cast<std::int32_t>(hit - m_text) : -1;
}

std::int32_t KvoString::find(KvoChar c, std::uint32_t pos) const noexcept
{
    if (!m_text || pos >= length())
        return -1;
    const KvoChar* hit = kvoStrChr(m_text + pos, c);
    return hit ? static_cast<std::int32_t>(hit - m_text) : -1;
}

KvoString KvoString::substr(std::uint32_t pos, std::int32_t count) const
{
    std::uint32_t len = length();
    if (pos >= len || count == 0)
        return KvoString(u"");
    std::uint32_t available = len - pos;
    std::uint32_t take = (count < 0 || static_cast<std::uint32_t>(count) > available) ? available
                                                                                       : static_cast<std::uint32_t>(count);
    return KvoString(m_text + pos, take);
}

KvoString& KvoString::erase(std::uint32_t pos, std::int32_t count)
{
    std::uint32_t len = length();
    if (count == 0 || len == 0 || pos >= len)
        return *this;
    std::uint32_t available = len - pos;
    std::uint32_t take = (count < 0 || static_cast<std::uint32_t>(count) > available) ? available
                                                                                       : static_cast<std::uint32_t>(count);
    if (take == len) {
        clear();
        return *this;
    }
    std::uint32_t rest = len - take;
    KvoChar* block = allocateText(rest);
    std::memcpy(block, m_text, pos * sizeof(KvoChar));
    std::memcpy(block + pos, m_text + pos + take, (len - pos - take) * sizeof(KvoChar));
    block[rest] = 0;
    adopt(block, rest, rest);
    return *this;
}

KvoString& KvoString::insert(std::uint32_t pos, const KvoString& s)
{
    std::uint32_t len = length();
    std::uint32_t count = s.length();
    if (count == 0 || pos > len)
        return *this;
    std::size_t total = std::size_t(len) + count;
    KvoChar* block = allocateText(total);
    if (pos)
        std::memcpy(block, m_text, pos * sizeof(KvoChar));
    std::memcpy(block + pos, s.m_text, count * sizeof(KvoChar));
    if (len > pos)
        std::memcpy(block + pos + count, m_text + pos, (len - pos) * sizeof(KvoChar));
    block[total] = 0;
    adopt(block, static_cast<std::uint32_t>(total), static_cast<std::uint32_t>(total));
    return *this;
}

KvoString& KvoString::insert(std::uint32_t pos, KvoChar c, std::uint32_t count)
{
    std::uint32_t len = length();
    if (count == 0 || pos > len)
        return *this;
    std::size_t total = std::size_t(len) + count;
    KvoChar* block = allocateText(total);
    if (pos)
        std::memcpy(block, m_text, pos * sizeof(KvoChar));
    for (std::uint32_t i = 0; i < count; ++i)
        block[pos + i] = c;
    if (len > pos)
        std::memcpy(block + pos + count, m_text + pos, (len - pos) * sizeof(KvoChar));
    block[total] = 0;
    // Inserted zero characters end the text early, as everywhere.
    adopt(block, c == 0 ? pos : static_cast<std::uint32_t>(total), static_cast<std::uint32_t>(total));
    return *this;
}

KvoString& KvoString::replace(const KvoString& from, const KvoString& to)
{
    // A result past the longest string could not be held at all: memory has run out.
    if (!replace(from, to, static_cast<std::uint32_t>(MAX_STRING_LENGTH)))
        errorExit(1);
    return *this;
}

bool KvoString::replace(const KvoString& from, const KvoString& to, std::uint32_t maxLength)
{
    std::uint32_t fromLength = from.length();
    if (fromLength == 0 || !m_text)
        return true;
    // The occurrences are counted first, so that the result's length is known, and checked,
    // before anything is allocated. The result equals the designed find/erase/insert loop, which
    // never searches inside text it has just inserted. from and to may be this very string:
    // both are read only before the new block is adopted.
    const KvoChar* pattern = from.c_str();
    std::uint64_t hits = 0;
    for (const KvoChar* hit = kvoStrStr(m_text, pattern); hit; hit = kvoStrStr(hit + fromLength, pattern))
        ++hits;
    if (hits == 0)
        return true;
    std::uint32_t textLength = length();
    std::uint32_t toLength = to.length();
    std::uint64_t total = textLength - hits * fromLength + hits * toLength;
    if (total > maxLength)
        return false;
    if (total == 0) {
        clear();
        return true;
    }
    KvoChar* block = allocateText(static_cast<std::size_t>(total));
    KvoChar* out = block;
    const KvoChar* text = m_text;
    for (std::uint64_t i = 0; i < hits; ++i) {
        const KvoChar* hit = kvoStrStr(text, pattern);
        std::size_t before = static_cast<std::size_t>(hit - text);
        std::memcpy(out, text, before * sizeof(KvoChar));
        out += before;
        if (toLength)
            std::memcpy(out, to.c_str(), toLength * sizeof(KvoChar));
        out += toLength;
        text = hit + fromLength;
    }
    std::size_t rest = static_cast<std::size_t>(m_text + textLength - text);
    std::memcpy(out, text, rest * sizeof(KvoChar));
    block[total] = 0;
    adopt(block, static_cast<std::uint32_t>(total), static_cast<std::uint32_t>(total));
    return true;
}

KvoString& KvoString::replace(KvoChar from, KvoChar to) noexcept
{
    if (!m_text)
        return *this;
    textChanged();
    for (KvoChar* p = m_text; *p; ++p) {
        if (*p == from)
            *p = to;
    }
    // Replacing by zero ends the text at the first replaced character.
    if (to == 0)
        recount();
    return *this;
}

KvoString KvoString::format(const KvoChar* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    KvoString result = formatV(fmt, args);
    va_end(args);
    return result;
}

KvoString KvoString::formatV(const KvoChar* fmt, va_list args)
{
    KvoString result;
    if (!fmt)
        return result;
    std::u16string text;
    kvoFormatV(appendToString, &text, fmt, args);
    result.assignText(text.data(), textLength(text.data(), text.size()));
    return result;
}

KvoString KvoString::decimal(std::int32_t value)
{
    // The digits from the last one back; the magnitude is unsigned, so the lowest value has one.
    KvoChar digits[12];
    KvoChar* first = std::end(digits);
    std::uint32_t magnitude = value < 0 ? 0 - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
    do {
        *--first = static_cast<KvoChar>(u'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0)
        *--first = u'-';
    KvoString result;
    result.assignText(first, static_cast<std::size_t>(std::end(digits) - first));
    return result;
}

void appendPrintText(KvoString& out, const KvoValue& value)
{
    switch (value.getType()) {
    case KVT_INTEGER:
        out += KvoString::decimal(value.getLong());
        break;
    case KVT_FLOAT:
    case KVT_DOUBLE:
        out += KvoString::format(u"%f", value.getDouble());
        break;
    case KVT_STRING:
    case KVT_STRINGREF:
        if (const KvoString* s = value.getString())
            out += *s;
        break;
    default:
        out += KvoString::format(u"(%s:%p)", getValueTypeName(value.getType()), value.ptr());
        break;
    }
}

// ---- Script formatting -------------------------------------------------------------------------

namespace {

// A set of ASCII characters, tested with one look at a bit.
class AsciiSet
{
public:
    constexpr explicit AsciiSet(const char* set)
    {
        for (; *set; ++set)
            m_bits[static_cast<unsigned char>(*set) >> 6] |= std::uint64_t(1) << (*set & 63);
    }
    constexpr bool contains(KvoChar c) const noexcept { return c < 128 && (m_bits[c >> 6] >> (c & 63) & 1) != 0; }

private:
    std::uint64_t m_bits[2] = {0, 0};
};

constexpr AsciiSet FORMAT_FLAGS("+-0 #");
constexpr AsciiSet FORMAT_SIZE_PREFIXES("whlI2346FN");
constexpr AsciiSet FORMAT_CONVERSIONS("diouxXfegEGcspCSaA");

bool isDecimalDigit(KvoChar c)
{
    return c >= u'0' && c <= u'9';
}

// A script's field width or precision is cut to this many characters, so that a format such as
// "%2000000000d" cannot ask for gigabytes of padding.
constexpr std::uint32_t MAX_FIELD_SIZE = 65536;

// Copies the decimal field size at p (width or precision, possibly empty) to spec, cut to
// MAX_FIELD_SIZE, and moves p past its digits.
void appendFieldSize(std::u16string& spec, const KvoChar*& p)
{
    if (!isDecimalDigit(*p))
        return;
    std::uint32_t size = 0;
    for (; isDecimalDigit(*p); ++p)
        size = std::min<std::uint32_t>(size * 10 + static_cast<std::uint32_t>(*p - u'0'), MAX_FIELD_SIZE);
    for (KvoChar digit : std::to_string(size))
        spec.push_back(digit);
}

// The text that %s shows for a value: the characters of a string, character buffer or buffer
// (a byte buffer is read as UTF-8 up to its size or first zero), else what print writes.
void appendValueText(KvoString& out, const KvoValue& value)
{
    if (const KvoCharBuffer* chars = value.getCharBuffer()) {
        std::size_t count = 0;
        while (count < chars->size() && chars->data()[count])
            ++count;
        out += KvoString(chars->data(), count);
        return;
    }
    if (const KvoBuffer* bytes = value.getBuffer()) {
        std::size_t count = 0;
        while (count < bytes->size() && bytes->data()[count])
            ++count;
        std::u16string wide = kvoFromUtf8(reinterpret_cast<const char*>(bytes->data()), count);
        out += KvoString(wide.data(), wide.size());
        return;
    }
    appendPrintText(out, value);
}

// Appends piece to out when out stays within maxLength characters; false (out unchanged)
// otherwise.
bool appendWithin(KvoString& out, const KvoString& piece, std::uint32_t maxLength)
{
    if (std::uint64_t(out.length()) + piece.length() > maxLength)
        return false;
    out += piece;
    return true;
}

bool appendWithin(KvoString& out, const KvoChar* text, std::uint32_t maxLength)
{
    if (std::uint64_t(out.length()) + kvoStrLen(text) > maxLength)
        return false;
    out += text;
    return true;
}

// Formats one conversion and appends it to out; false (out unchanged) when out would pass
// maxLength characters. spec is "%" + flags/width/precision + the conversion letter + any
// literal text that followed it, with the size prefix already removed, so that the engine
// always reads a 32-bit integer, a double, a pointer or UTF-16 text: exactly what is passed.
bool appendConversion(KvoString& out, std::u16string& spec, std::size_t letterPos, const KvoValue& value,
                      std::uint32_t maxLength)
{
    KvoChar letter = spec[letterPos];
    switch (letter) {
    case u'd': case u'i': case u'o': case u'u': case u'x': case u'X':
        return appendWithin(out, KvoString::format(spec.c_str(), value.getLong()), maxLength);
    case u'c': case u'C':
        spec[letterPos] = u'c';
        return appendWithin(out, KvoString::format(spec.c_str(), static_cast<int>(static_cast<KvoChar>(value.getLong()))),
                            maxLength);
    case u'p':
        if (isObjectType(value.getType()) || value.getType() == KVT_FILE || value.getType() == KVT_CODE ||
            value.getType() == KVT_VAR)
            return appendWithin(out, KvoString::format(spec.c_str(), value.ptr()), maxLength);
        return appendWithin(out,
                            KvoString::format(spec.c_str(), reinterpret_cast<void*>(static_cast<std::uintptr_t>(
                                                                static_cast<std::uint32_t>(value.getLong())))),
                            maxLength);
    case u's': case u'S': {
        spec[letterPos] = u's';
        KvoString text(u"");
        appendValueText(text, value);
        // The field is at least as long as the text: a text that cannot fit is refused before
        // it is formatted (and copied once more).
        if (std::uint64_t(out.length()) + text.length() > maxLength)
            return false;
        return appendWithin(out, KvoString::format(spec.c_str(), text.c_str()), maxLength);
    }
    default: // floating conversions
        return appendWithin(out, KvoString::format(spec.c_str(), value.getDouble()), maxLength);
    }
}

} // namespace

KvoString::KvoString(const KvoChar* fmt, unsigned argc, ValPtr& args)
{
    // A text past the longest string could not be held at all: memory has run out.
    if (!formatScript(*this, fmt, argc, args, static_cast<std::uint32_t>(MAX_STRING_LENGTH)))
        errorExit(1);
}

bool KvoString::formatScript(KvoString& out, const KvoChar* fmt, unsigned argc, ValPtr& args, std::uint32_t maxLength)
{
    KvoString result;
    if (!fmt || !*fmt || argc == 0) {
        out = std::move(result);
        return true;
    }
    std::u16string copy(fmt);
    KvoChar* state = nullptr;
    unsigned consumed = 0;
    for (KvoChar* token = kvoStrTok(copy.data(), u"%", &state); token && consumed < argc;
         token = kvoStrTok(nullptr, u"%", &state)) {
        const KvoChar* p = token;
        std::u16string spec(u"%");
        if (FORMAT_FLAGS.contains(*p))
            spec.push_back(*p++);
        appendFieldSize(spec, p);
        if (*p == u'.') {
            spec.push_back(*p++);
            appendFieldSize(spec, p);
        }
        while (FORMAT_SIZE_PREFIXES.contains(*p))
            ++p;
        bool leadingText = token == copy.data();
        if (*p == u'n' && !leadingText) {
            // Never a store through a script-supplied address: the request is printed as written.
            if (!appendWithin(result, u"%", maxLength) || !appendWithin(result, token, maxLength))
                return false;
            continue;
        }
        if (!FORMAT_CONVERSIONS.contains(*p) || leadingText) {
            if (!appendWithin(result, token, maxLength))
                return false;
            continue;
        }
        std::size_t letterPos = spec.size();
        spec.append(p);
        if (!appendConversion(result, spec, letterPos, args[static_cast<int>(consumed)], maxLength))
            return false;
        ++consumed;
    }
    out = std::move(result);
    return true;
}
