// The string, character-buffer, buffer and vector functions of the standard library: the
// constructors newvector, newstring, newbuffer, newcbuffer and CBuf, the string queries and the
// in-place string modifiers, and vecsize. The work is done by the container classes; these
// functions fix the argument forms, the dispatch on argument types and the messages.
//
// Counts and result sizes are bounded (stdlib/KvoLibLimits.h): a negative count means none, and
// a count or a result computed from the arguments (a conversion, an insertion, a replacement, a
// format, a split) that passes the bound fails with "count too large" before anything is
// allocated, so no script call can ask for a giant block.
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "platform/KvoText.h"
#include "stdlib/KvoDefaultFunctions.h"
#include "stdlib/KvoLibCall.h"
#include "stdlib/KvoLibLimits.h"
#include "values/KvoBuffer.h"
#include "values/KvoCharBuffer.h"
#include "values/KvoString.h"
#include "values/KvoVector.h"

namespace {

// The blank that newstring(n) repeats.
constexpr KvoChar DEFAULT_FILL_CHARACTER = u' ';

// Reads a count for a new block of elements of elementSize bytes into count: negative counts
// give 0; false after "count too large" when the count passes the library's bound.
bool readCount(KvoLibCall& call, std::int32_t value, std::uint32_t elementSize, std::uint32_t& count)
{
    if (value <= 0) {
        count = 0;
        return true;
    }
    if (static_cast<std::uint32_t>(value) > kvoLibMaxCount(elementSize))
        return call.fail(KVO_LIB_COUNT_TOO_LARGE);
    count = static_cast<std::uint32_t>(value);
    return true;
}

// False after "count too large" when a new block of count elements of elementSize bytes passes
// the library's bound.
bool checkFits(KvoLibCall& call, std::uint64_t count, std::uint32_t elementSize)
{
    if (!kvoLibCountFits(count, elementSize))
        return call.fail(KVO_LIB_COUNT_TOO_LARGE);
    return true;
}

// The most characters of one new string.
constexpr std::uint32_t MAX_STRING_CHARACTERS = kvoLibMaxCount(sizeof(KvoChar));

// True for the kinds whose value is a number: the payload of any other kind is no count.
bool isNumber(const KvoValue& value)
{
    KvoValueType type = value.getType();
    return type == KVT_NULL || type == KVT_INTEGER || type == KVT_FLOAT || type == KVT_DOUBLE;
}

// The character code that an argument stands for: the low 16 bits of a number. Any other kind
// gives 0 rather than bits of its payload, which would make the character depend on an address.
KvoChar characterOf(const KvoValue& value)
{
    if (!isNumber(value))
        return 0;
    return static_cast<KvoChar>(value.getLong() & 0xFFFF);
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

// A new owning value holding a new string with the given text.
KvoValue newStringValue(const KvoChar* text, std::size_t length)
{
    return KvoValue(new KvoString(text, length));
}

// The number of tokens that strsplit makes of text: the runs of characters outside delimiters.
std::uint64_t countTokens(const KvoString& text, const KvoChar* delimiters)
{
    std::uint64_t tokens = 0;
    bool inToken = false;
    const KvoChar* characters = text.c_str();
    for (std::uint32_t i = 0, length = text.length(); i < length; ++i) {
        bool delimiter = kvoStrChr(delimiters, characters[i]) != nullptr;
        if (!delimiter && !inToken)
            ++tokens;
        inToken = !delimiter;
    }
    return tokens;
}

// strcmp and stricmp: two strings, compared by order (a KvoString comparison).
bool compareStrings(KvoLibCall&& call, int (KvoString::*order)(const KvoString&) const noexcept)
{
    if (!call.countBetween(2, 2))
        return false;
    const KvoString* left = call.arg(1).getString();
    const KvoString* right = call.arg(2).getString();
    if (!left || !right)
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    return call.done(KvoValue(static_cast<std::int32_t>((left->*order)(*right))));
}

} // namespace

bool KvoDefaultFunctions::Kvo_newvector(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(0, 2))
        return false;
    if (argc == 0)
        return call.done(KvoValue(new KvoVector()));
    if (!isNumber(call.arg(1)))
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    std::uint32_t count = 0;
    if (!readCount(call, call.arg(1).getLong(), sizeof(KvoValue), count))
        return false;
    bool sized = argc < 2 || call.arg(2).getLong() != 0;
    return call.done(KvoValue(new KvoVector(count, sized)));
}

bool KvoDefaultFunctions::Kvo_newstring(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(1, -1))
        return false;
    const KvoValue& first = call.arg(1);
    KvoValueType type = first.getType();
    if (type == KVT_INTEGER) {
        if (argc > 2)
            return call.fail(KVO_LIB_TOO_MANY_ARGS);
        std::uint32_t count = 0;
        if (!readCount(call, first.getLong(), sizeof(KvoChar), count))
            return false;
        KvoChar fill = argc == 2 ? characterOf(call.arg(2)) : DEFAULT_FILL_CHARACTER;
        // Zero characters would only end the text: they give an empty string.
        auto* text = new KvoString(u"");
        KvoValue result(text);
        if (fill)
            text->insert(0, fill, count);
        return call.done(std::move(result));
    }
    if (isStringType(type)) {
        const KvoString* text = first.getString();
        if (!text)
            return call.done(KvoValue(new KvoString(u"")));
        if (argc == 1)
            return call.done(KvoValue(new KvoString(*text)));
        // The remaining arguments are the values of the format: a cursor at the second one.
        ValPtr values = args;
        values -= argc - 2;
        auto* formatted = new KvoString();
        KvoValue result(formatted);
        if (!KvoString::formatScript(*formatted, text->c_str(), static_cast<unsigned>(argc - 1), values,
                                     MAX_STRING_CHARACTERS))
            return call.fail(KVO_LIB_COUNT_TOO_LARGE);
        return call.done(std::move(result));
    }
    if (isCharBufferType(type)) {
        if (argc > 1)
            return call.fail(KVO_LIB_TOO_MANY_ARGS);
        const KvoCharBuffer* buffer = first.getCharBuffer();
        if (!buffer)
            return call.done(KvoValue(new KvoString(u"")));
        if (!checkFits(call, buffer->size(), sizeof(KvoChar)))
            return false;
        return call.done(newStringValue(buffer->data(), buffer->size()));
    }
    if (isBufferType(type)) {
        if (argc > 1)
            return call.fail(KVO_LIB_TOO_MANY_ARGS);
        const KvoBuffer* buffer = first.getBuffer();
        std::u16string text;
        if (buffer && !checkFits(call, buffer->size(), sizeof(KvoChar)))
            return false;
        if (buffer)
            text.assign(buffer->data(), buffer->data() + buffer->size());
        return call.done(newStringValue(text.data(), text.size()));
    }
    return call.fail(KVO_LIB_BAD_VALUE_TYPE);
}

bool KvoDefaultFunctions::Kvo_newbuffer(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(1, 2))
        return false;
    const KvoValue& first = call.arg(1);
    KvoValueType type = first.getType();
    if (type == KVT_INTEGER) {
        std::uint32_t count = 0;
        if (!readCount(call, first.getLong(), 1, count))
            return false;
        auto fill = static_cast<std::uint8_t>(argc == 2 ? call.arg(2).getLong() & 0xFF : 0);
        auto* buffer = new KvoBuffer(count);
        buffer->setSize(count);
        if (fill)
            std::memset(buffer->data(), fill, count);
        return call.done(KvoValue(buffer));
    }
    if (isStringType(type)) {
        // Each character's low byte, then the terminator and one more zero byte.
        const KvoString* text = first.getString();
        if (!text)
            return call.done(KvoValue(new KvoBuffer()));
        std::uint32_t length = text->length();
        if (!checkFits(call, std::uint64_t(length) + 2, 1))
            return false;
        auto* buffer = new KvoBuffer(length + 2);
        buffer->setSize(length + 2);
        const KvoChar* characters = text->c_str();
        for (std::uint32_t i = 0; i < length; ++i)
            (*buffer)[i] = static_cast<std::uint8_t>(characters[i]);
        return call.done(KvoValue(buffer));
    }
    if (isCharBufferType(type)) {
        const KvoCharBuffer* source = first.getCharBuffer();
        std::uint32_t length = source ? source->size() : 0;
        if (!checkFits(call, length, 1))
            return false;
        auto* buffer = new KvoBuffer(length);
        buffer->setSize(length);
        for (std::uint32_t i = 0; i < length; ++i)
            (*buffer)[i] = static_cast<std::uint8_t>((*source)[i]);
        return call.done(KvoValue(buffer));
    }
    if (isBufferType(type)) {
        const KvoBuffer* source = first.getBuffer();
        if (source && !checkFits(call, source->size(), 1))
            return false;
        return call.done(KvoValue(source ? new KvoBuffer(*source) : new KvoBuffer()));
    }
    return call.fail(KVO_LIB_BAD_VALUE_TYPE);
}

bool KvoDefaultFunctions::Kvo_newcbuffer(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(1, 2))
        return false;
    const KvoValue& first = call.arg(1);
    KvoValueType type = first.getType();
    std::u16string text;
    if (type == KVT_INTEGER) {
        std::uint32_t count = 0;
        if (!readCount(call, first.getLong(), sizeof(KvoChar), count))
            return false;
        text.assign(count, argc == 2 ? characterOf(call.arg(2)) : KvoChar(0));
    } else if (isStringType(type)) {
        // The characters, then the terminator and one more zero character.
        if (const KvoString* source = first.getString()) {
            if (!checkFits(call, std::uint64_t(source->length()) + 2, sizeof(KvoChar)))
                return false;
            text.assign(source->c_str(), source->length());
            text.append(2, KvoChar(0));
        }
    } else if (isCharBufferType(type)) {
        if (const KvoCharBuffer* source = first.getCharBuffer()) {
            if (!checkFits(call, source->size(), sizeof(KvoChar)))
                return false;
            return call.done(KvoValue(new KvoCharBuffer(*source)));
        }
    } else if (isBufferType(type)) {
        if (const KvoBuffer* source = first.getBuffer()) {
            if (!checkFits(call, source->size(), sizeof(KvoChar)))
                return false;
            text.assign(source->data(), source->data() + source->size());
        }
    } else {
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    }
    auto* buffer = new KvoCharBuffer(static_cast<std::uint32_t>(text.size()));
    buffer->append(text.data(), static_cast<std::uint32_t>(text.size()));
    return call.done(KvoValue(buffer));
}

bool KvoDefaultFunctions::Kvo_CBuf(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    auto* buffer = new KvoCharBuffer(static_cast<std::uint32_t>(argc));
    KvoValue result(buffer);
    for (int i = 1; i <= argc; ++i) {
        const KvoValue& part = call.arg(i);
        KvoValueType type = part.getType();
        // Each part is checked before it is added: the parts together may pass the bound.
        std::uint64_t size = buffer->size();
        if (type == KVT_INTEGER) {
            if (!checkFits(call, size + 1, sizeof(KvoChar)))
                return false;
            buffer->push_back(characterOf(part));
        } else if (isBufferType(type)) {
            if (const KvoBuffer* bytes = part.getBuffer()) {
                if (!checkFits(call, size + bytes->size(), sizeof(KvoChar)))
                    return false;
                std::u16string widened(bytes->data(), bytes->data() + bytes->size());
                buffer->append(widened.data(), static_cast<std::uint32_t>(widened.size()));
            }
        } else if (isCharBufferType(type)) {
            if (const KvoCharBuffer* characters = part.getCharBuffer()) {
                if (!checkFits(call, size + characters->size(), sizeof(KvoChar)))
                    return false;
                *buffer += *characters;
            }
        } else if (isStringType(type)) {
            if (const KvoString* text = part.getString()) {
                if (!checkFits(call, size + text->length(), sizeof(KvoChar)))
                    return false;
                buffer->append(text->c_str(), text->length());
            }
        }
        // Every other kind is skipped.
    }
    return call.done(std::move(result));
}

bool KvoDefaultFunctions::Kvo_strlen(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(1, 1))
        return false;
    const KvoString* text = call.arg(1).getString();
    if (!text)
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    return call.done(KvoValue(static_cast<std::int32_t>(text->length())));
}

bool KvoDefaultFunctions::Kvo_strcmp(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return compareStrings(KvoLibCall(vm, argc, args), &KvoString::compare);
}

bool KvoDefaultFunctions::Kvo_stricmp(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return compareStrings(KvoLibCall(vm, argc, args), &KvoString::icompare);
}

bool KvoDefaultFunctions::Kvo_strsplit(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(2, 2))
        return false;
    const KvoString* text = call.arg(1).getString();
    const KvoString* delimiters = call.arg(2).getString();
    if (!text || !delimiters)
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    // The tokens are counted first: a long text of short tokens could otherwise fill memory
    // with strings before the vector reached its bound.
    if (!checkFits(call, countTokens(*text, delimiters->c_str()), sizeof(KvoValue)))
        return false;
    // The tokenizer writes into the text, so it works on a private copy; runs of delimiters
    // count as one and no token is empty.
    std::u16string copy(text->c_str(), text->length());
    auto* tokens = new KvoVector();
    KvoValue result(tokens);
    KvoChar* state = nullptr;
    for (KvoChar* token = kvoStrTok(copy.data(), delimiters->c_str(), &state); token;
         token = kvoStrTok(nullptr, delimiters->c_str(), &state))
        tokens->push_back(KvoValue(new KvoString(token)));
    tokens->shrink();
    return call.done(std::move(result));
}

bool KvoDefaultFunctions::Kvo_strfind(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(2, 3))
        return false;
    const KvoString* text = call.arg(1).getString();
    if (!text)
        return call.fail(KVO_LIB_STRING_EXPECTED);
    // A negative start is taken as unsigned: past the end, so nothing is found.
    auto start = static_cast<std::uint32_t>(argc == 3 ? call.arg(3).getLong() : 0);
    if (const KvoString* pattern = call.arg(2).getString())
        return call.done(KvoValue(text->find(*pattern, start)));
    KvoChar character = characterOf(call.arg(2));
    if (character == 0)
        return call.fail(KVO_LIB_STRING_OR_CHAR_EXPECTED);
    return call.done(KvoValue(text->find(character, start)));
}

bool KvoDefaultFunctions::Kvo_strerase(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(2, 3))
        return false;
    KvoString* text = call.arg(1).getString();
    if (!text)
        return call.fail(KVO_LIB_STRING_EXPECTED);
    auto position = static_cast<std::uint32_t>(call.arg(2).getLong());
    std::int32_t count = argc == 3 ? call.arg(3).getLong() : -1;
    text->erase(position, count);
    return call.done(KvoValue(text));
}

bool KvoDefaultFunctions::Kvo_strinsert(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(3, 4))
        return false;
    KvoString* text = call.arg(1).getString();
    if (!text)
        return call.fail(KVO_LIB_STRING_EXPECTED);
    std::int32_t position = call.arg(2).getLong();
    if (position < 0)
        return call.fail(KVO_LIB_BAD_INSERT_POS);
    if (const KvoString* inserted = call.arg(3).getString()) {
        if (argc == 4)
            return call.fail(KVO_LIB_TOO_MANY_ARGS);
        // Only an insertion that changes the string is checked.
        if (inserted->length() > 0 && static_cast<std::uint32_t>(position) <= text->length() &&
            !checkFits(call, std::uint64_t(text->length()) + inserted->length(), sizeof(KvoChar)))
            return false;
        text->insert(static_cast<std::uint32_t>(position), *inserted);
        return call.done(KvoValue(text));
    }
    // A character repeated count times: the count is bounded like a new string's length.
    std::uint32_t count = 1;
    if (argc == 4 && !readCount(call, call.arg(4).getLong(), sizeof(KvoChar), count))
        return false;
    KvoChar character = characterOf(call.arg(3));
    if (character == 0) {
        // A zero character ends the text there: the string keeps what precedes pos, and its
        // block stays exactly as long as its text.
        if (count > 0)
            text->erase(static_cast<std::uint32_t>(position), -1);
        return call.done(KvoValue(text));
    }
    if (count > 0 && static_cast<std::uint32_t>(position) <= text->length() &&
        !checkFits(call, std::uint64_t(text->length()) + count, sizeof(KvoChar)))
        return false;
    text->insert(static_cast<std::uint32_t>(position), character, count);
    return call.done(KvoValue(text));
}

bool KvoDefaultFunctions::Kvo_strreplace(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(3, 3))
        return false;
    KvoString* text = call.arg(1).getString();
    if (!text)
        return call.fail(KVO_LIB_STRING_EXPECTED);
    if (const KvoString* from = call.arg(2).getString()) {
        const KvoString* to = call.arg(3).getString();
        if (!to)
            return call.fail(KVO_LIB_STRING_EXPECTED);
        if (!text->replace(*from, *to, MAX_STRING_CHARACTERS))
            return call.fail(KVO_LIB_COUNT_TOO_LARGE);
        return call.done(KvoValue(text));
    }
    KvoChar from = characterOf(call.arg(2));
    KvoChar to = characterOf(call.arg(3));
    if (to == 0 && from != 0) {
        // A zero character ends the text: the string keeps what precedes the first occurrence,
        // and its block stays exactly as long as its text.
        std::int32_t first = text->find(from, 0);
        if (first >= 0)
            text->erase(static_cast<std::uint32_t>(first), -1);
        return call.done(KvoValue(text));
    }
    text->replace(from, to);
    return call.done(KvoValue(text));
}

bool KvoDefaultFunctions::Kvo_substr(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(2, 3))
        return false;
    const KvoString* text = call.arg(1).getString();
    if (!text)
        return call.fail(KVO_LIB_STRING_EXPECTED);
    std::int32_t start = call.arg(2).getLong();
    if (start < 0)
        return call.fail(KVO_LIB_BAD_START_INDEX);
    std::int32_t length = argc == 3 ? call.arg(3).getLong() : -1;
    return call.done(KvoValue(new KvoString(text->substr(static_cast<std::uint32_t>(start), length))));
}

bool KvoDefaultFunctions::Kvo_vecsize(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(1, 1))
        return false;
    const KvoVector* vector = call.arg(1).getVector();
    if (!vector)
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    return call.done(KvoValue(static_cast<std::int32_t>(vector->size())));
}
