// The class String: a mutable string object whose text is the KvoString in the member _str.
// The modifying methods change that string in place and return the receiver, so calls chain;
// the methods that make a new String (+, substr) make it of the receiver's own class, which may
// be a script class derived from String.
//
// Sizes: every text a method builds or grows follows the library's bound on one result (128 Mi
// characters): the new length is checked before anything is allocated, and a longer one fails
// with "count too large", which a script can catch, instead of asking for gigabytes.
//
// Texts: an argument read as text may be an object whose toString method runs script code that
// changes the receiver, so every method takes lengths from its string only after the last text
// read (the string itself stays alive: the call holds it). Characters are the low 16 bits of
// an integer; a zero character ends the text where it is written, as everywhere in the runtime.
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

#include "nativeclasses/KvoMethodCall.h"
#include "nativeclasses/KvoNativeClassBuilder.h"
#include "stdlib/KvoLibLimits.h"
#include "values/KvoCharBuffer.h"

namespace {

// Member slot, cached when the class is registered.
std::int32_t s_strIndex = -1;

// The longest text that one method builds: the library's bound on one new string.
constexpr std::uint32_t MAX_TEXT_LENGTH = kvoLibMaxCount(sizeof(KvoChar));

// False after "count too large" when added more characters would take text past
// MAX_TEXT_LENGTH.
bool growthFits(KvoMethodCall& call, const KvoString& text, std::uint64_t added)
{
    return call.countFits(std::uint64_t{text.length()} + added, sizeof(KvoChar));
}

KvoChar characterOf(std::int32_t code)
{
    return static_cast<KvoChar>(code & 0xFFFF);
}

// The receiver's string; null after the type error when the member holds none.
KvoString* receiverText(KvoMethodCall& call)
{
    return call.memberString(s_strIndex);
}

// Completes call with a new object of the receiver's class wrapping text (takes ownership).
bool doneWithNewString(KvoMethodCall& call, KvoString* text)
{
    KvoValue held(text);
    KvoObject* object = call.newOfOwnClass(s_strIndex, held);
    if (!object)
        return call.badType(KVT_NULL, KVT_STRING);
    return call.done(KvoValue(object));
}

// Explicit argument i as a piece of text: for an integer, its one character, built in
// character; else the text (held by the call). Null after the type error naming KVT_STRING.
const KvoString* readPiece(KvoMethodCall& call, int i, KvoString& character)
{
    if (call.arg(i).getType() == KVT_INTEGER) {
        character = u"";
        character += characterOf(call.arg(i).getLong());
        return &character;
    }
    return call.textArg(i);
}

// new String(), new String(text), new String(format, values ...).
bool stringConstruct(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, -1))
        return false;
    if (!call.member(s_strIndex))
        return call.badType(KVT_NULL, KVT_STRING);
    KvoValue text;
    if (call.count() == 0) {
        text = KvoValue(new KvoString(u""));
    } else {
        const KvoString* first = call.textArg(1);
        if (!first)
            return false;
        if (call.count() == 1) {
            text = KvoValue(new KvoString(*first));
        } else {
            // The values follow the format: a cursor at the second explicit argument, taken
            // after the text read (which may have run a toString method). The text is bounded
            // piece by piece, so a failing format never holds much more than the bound.
            ValPtr values = call.argCursor(2);
            auto* formatted = new KvoString();
            text = KvoValue(formatted);
            if (!KvoString::formatScript(*formatted, first->c_str(), static_cast<unsigned>(call.count() - 1), values,
                                         MAX_TEXT_LENGTH))
                return call.fail(KVO_LIB_COUNT_TOO_LARGE);
        }
    }
    *call.member(s_strIndex) = std::move(text);
    return call.doneThis();
}

// s + x and x + s: a new String of the receiver's text and x, in that order or reversed.
template <bool receiverFirst>
bool concatenate(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    const KvoString* text = receiverText(call);
    KvoString character;
    const KvoString* piece = text ? readPiece(call, 1, character) : nullptr;
    if (!piece || !growthFits(call, *text, piece->length()))
        return false;
    return doneWithNewString(call, new KvoString(receiverFirst ? *text + *piece : *piece + *text));
}

// The character index i of text: false after "subscript out of range" when it is outside it.
bool characterIndex(KvoMethodCall& call, const KvoString& text, std::int32_t i)
{
    if (i < 0 || static_cast<std::uint32_t>(i) >= text.length())
        return call.fail(KV2_SUBSCRIPT_RANGE);
    return true;
}

// s[i]: the character code at i.
bool stringRead(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::int32_t i = 0;
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    const KvoString* text = receiverText(call);
    if (!text || !call.integerArg(1, i) || !characterIndex(call, *text, i))
        return false;
    return call.done(KvoValue(std::int32_t{text->c_str()[i]}));
}

// s[i] = c: character i becomes c, in place (a zero ends the text there).
bool stringWrite(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::int32_t i = 0;
    std::int32_t code = 0;
    if (!call.needThis() || !call.countBetween(2, 2))
        return false;
    KvoString* text = receiverText(call);
    if (!text || !call.integerArg(1, i) || !call.integerArg(2, code) || !characterIndex(call, *text, i))
        return false;
    (*text)[static_cast<std::uint32_t>(i)] = characterOf(code);
    return call.doneNull();
}

// compare(x) and icompare(x): the order of the receiver's text and x (negative, 0, positive).
template <int (KvoString::*order)(const KvoString&) const noexcept>
bool stringOrder(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    const KvoString* text = receiverText(call);
    const KvoString* other = text ? call.textArg(1) : nullptr;
    if (!other)
        return false;
    return call.done(KvoValue(std::int32_t{(text->*order)(*other)}));
}

bool stringLength(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    const KvoString* text = receiverText(call);
    return text && call.done(KvoValue(static_cast<std::int32_t>(text->length())));
}

// The address of the characters, valid until the text changes.
bool stringAddress(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    KvoString* text = receiverText(call);
    if (!text)
        return false;
    // A string without text would show the runtime's static empty text, which lies outside the
    // heap: an empty block of its own is an address like any other.
    if (!text->hasText())
        *text = u"";
    return call.doneWithAddress(text->c_str());
}

// A new character buffer of capacity length + 1 holding the text (size: the length).
bool stringCharBuffer(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    const KvoString* text = receiverText(call);
    if (!text)
        return false;
    const std::uint32_t length = text->length();
    if (!call.countFits(std::uint64_t{length} + 1, sizeof(KvoChar)))
        return false;
    auto* buffer = new KvoCharBuffer(length + 1);
    buffer->append(text->c_str(), length);
    return call.done(KvoValue(buffer));
}

// A new byte buffer holding count bytes from bytes.
KvoBuffer* newByteBuffer(const void* bytes, std::uint32_t count)
{
    auto* buffer = new KvoBuffer(count);
    buffer->append(bytes, count);
    return buffer;
}

// A new buffer holding the 8-bit (UTF-8) form of the text and its terminating zero.
bool stringAnsiBuffer(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    const KvoString* text = receiverText(call);
    if (!text)
        return false;
    const char* narrow = text->a_str();
    const std::size_t count = std::strlen(narrow) + 1;
    if (!call.countFits(count, 1))
        return false;
    return call.done(KvoValue(newByteBuffer(narrow, static_cast<std::uint32_t>(count))));
}

// A new buffer holding the UTF-16 text (little-endian units) and its terminating zero unit.
bool stringWideBuffer(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    const KvoString* text = receiverText(call);
    if (!text)
        return false;
    const std::uint64_t count = (std::uint64_t{text->length()} + 1) * sizeof(KvoChar);
    if (!call.countFits(count, 1))
        return false;
    // c_str() always ends with a zero unit, also for a string without text.
    return call.done(KvoValue(newByteBuffer(text->c_str(), static_cast<std::uint32_t>(count))));
}

bool stringClear(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    KvoString* text = receiverText(call);
    if (!text)
        return false;
    text->clear();
    return call.doneNull();
}

// substr(start [, count]): a new String of count characters (default: to the end) from start;
// empty when start is outside the text.
bool stringSubstring(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::int32_t start = 0;
    std::int32_t count = -1;
    if (!call.needThis() || !call.countBetween(1, 2))
        return false;
    const KvoString* text = receiverText(call);
    if (!text || !call.integerArg(1, start) || (call.count() == 2 && !call.integerArg(2, count)))
        return false;
    auto* result = start < 0 ? new KvoString(u"") : new KvoString(text->substr(static_cast<std::uint32_t>(start), count));
    return doneWithNewString(call, result);
}

// find(x [, start]): the index of the first occurrence of the character or text x at or after
// start (default 0), or -1.
bool stringFind(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 2))
        return false;
    const KvoString* text = receiverText(call);
    if (!text)
        return false;
    const bool isCharacter = call.arg(1).getType() == KVT_INTEGER;
    const KvoChar character = characterOf(call.arg(1).getLong());
    const KvoString* pattern = isCharacter ? nullptr : call.textArg(1);
    std::int32_t start = 0;
    if ((!isCharacter && !pattern) || (call.count() == 2 && !call.integerArg(2, start)))
        return false;
    if (start < 0)
        return call.done(KvoValue(std::int32_t{-1}));
    const auto from = static_cast<std::uint32_t>(start);
    return call.done(KvoValue(isCharacter ? text->find(character, from) : text->find(*pattern, from)));
}

// replace(from, to): every character from becomes the character to, or every occurrence of
// the text from is replaced by the text to.
bool stringReplace(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(2, 2))
        return false;
    KvoString* text = receiverText(call);
    if (!text)
        return false;
    if (call.arg(1).getType() == KVT_INTEGER) {
        std::int32_t to = 0;
        if (!call.integerArg(2, to))
            return false;
        text->replace(characterOf(call.arg(1).getLong()), characterOf(to));
        return call.doneThis();
    }
    const KvoString* from = call.textArg(1);
    const KvoString* to = from ? call.textArg(2) : nullptr;
    if (!to)
        return false;
    // The result's length is known before anything is allocated; a longer one leaves the text
    // as it was.
    if (!text->replace(*from, *to, MAX_TEXT_LENGTH))
        return call.fail(KVO_LIB_COUNT_TOO_LARGE);
    return call.doneThis();
}

// insert(pos, c [, count]) inserts count (default 1) copies of the character c before character
// pos; insert(pos, text) inserts the text. A position outside 0 .. length changes nothing.
bool stringInsert(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(2, 3))
        return false;
    KvoString* text = receiverText(call);
    std::int32_t position = 0;
    if (!text || !call.integerArg(1, position))
        return false;
    if (call.arg(2).getType() == KVT_INTEGER) {
        const KvoChar character = characterOf(call.arg(2).getLong());
        std::int32_t requested = 1;
        if (call.count() == 3 && !call.integerArg(3, requested))
            return false;
        // The library's rule for repeat counts: negative acts as 0, and one call adds at most
        // the characters of a 256 MiB block; the text with them must stay within that bound
        // too when they go in.
        if (requested < 0)
            requested = 0;
        if (!call.countFits(static_cast<std::uint32_t>(requested), sizeof(KvoChar)))
            return false;
        if (position < 0 || requested == 0)
            return call.doneThis();
        if (character == 0) {
            // A zero character ends the text at pos; no block of zeros is built for it.
            text->erase(static_cast<std::uint32_t>(position), -1);
            return call.doneThis();
        }
        if (static_cast<std::uint32_t>(position) <= text->length() &&
            !growthFits(call, *text, static_cast<std::uint32_t>(requested)))
            return false;
        text->insert(static_cast<std::uint32_t>(position), character, static_cast<std::uint32_t>(requested));
        return call.doneThis();
    }
    if (call.count() == 3)
        return call.fail(KVO_LIB_TOO_MANY_ARGS);
    const KvoString* inserted = call.textArg(2);
    if (!inserted)
        return false;
    if (position < 0 || static_cast<std::uint32_t>(position) > text->length())
        return call.doneThis();
    if (!growthFits(call, *text, inserted->length()))
        return false;
    text->insert(static_cast<std::uint32_t>(position), *inserted);
    return call.doneThis();
}

// append(x): the character or text x is added at the end, in place. The string grows
// geometrically, so appending piece by piece takes linear time.
bool stringAppend(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    KvoString* text = receiverText(call);
    if (!text)
        return false;
    if (call.arg(1).getType() == KVT_INTEGER) {
        if (!growthFits(call, *text, 1))
            return false;
        *text += characterOf(call.arg(1).getLong());
        return call.doneThis();
    }
    const KvoString* tail = call.textArg(1);
    if (!tail || !growthFits(call, *text, tail->length()))
        return false;
    *text += *tail;
    return call.doneThis();
}

// A new string value (not a String object) holding a copy of the text.
bool stringToString(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    const KvoString* text = receiverText(call);
    return text && call.done(KvoValue(new KvoString(*text)));
}

const KvoMethodRegistration STRING_METHODS[] = {
    {u"String", &stringConstruct},
    {u"OP_ADD", &concatenate<true>},
    {u"OP_ADD_R", &concatenate<false>},
    {u"OP_VREF", &stringRead},
    {u"OP_VSET", &stringWrite},
    {u"compare", &stringOrder<&KvoString::compare>},
    {u"icompare", &stringOrder<&KvoString::icompare>},
    {u"length", &stringLength},
    {u"c_str", &stringAddress},
    {u"c_buf", &stringCharBuffer},
    {u"a_buf", &stringAnsiBuffer},
    {u"w_buf", &stringWideBuffer},
    {u"clear", &stringClear},
    {u"substr", &stringSubstring},
    {u"find", &stringFind},
    {u"replace", &stringReplace},
    {u"insert", &stringInsert},
    {u"append", &stringAppend},
    {u"toString", &stringToString},
};

} // namespace

void kv2RegisterString(KvoVirtualMachine* vm)
{
    kvoRegisterClass(vm, u"String", nullptr, {{u"_str", &s_strIndex}}, STRING_METHODS, std::size(STRING_METHODS));
}
