// The library's extensions: functions that scripts reach for first and that the designed
// vocabulary lacks. Case mapping (strupper, strlower), joining and splitting at a separator
// (strjoin, strsplitat), sorting a vector (vecsort), the smallest and largest of numbers (min, max),
// rounding to integers (floor, ceil, round), reading a whole text file (readfile) and ending the
// program with a status (exit). Their names
// collide with no designed function, keyword or predefined literal; a script's own function of
// the same name replaces them like any global.
//
// Results are bounded like every library result (stdlib/KvoLibLimits.h). vecsort calls back into
// the script for its compare function: it sorts a private copy of the elements with a merge sort
// that stays within its arrays whatever the compare function answers, and stores the result back
// only when the vector still has its size.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/KvoFile.h"
#include "platform/KvoText.h"
#include "host/KvoVirtualMachine.h"
#include "stdlib/KvoDefaultFunctions.h"
#include "stdlib/KvoLibCall.h"
#include "stdlib/KvoLibLimits.h"
#include "values/KvoCharBuffer.h"
#include "values/KvoString.h"
#include "values/KvoVector.h"
#include "vm/KvoErrors.h"

namespace {

// The error texts of the extensions (in the style of stdlib/KvoLibMessages.h).
constexpr KvoChar SORT_MIXED_KINDS[] = u"elements must be all numbers or all strings";
constexpr KvoChar SORT_BAD_ORDER[] = u"compare function must return a number";
constexpr KvoChar SORT_VECTOR_CHANGED[] = u"vector changed size during sort";
constexpr KvoChar OUT_OF_INTEGER_RANGE[] = u"number out of integer range";
constexpr KvoChar EMPTY_SEPARATOR[] = u"invalid argument - empty separator";
constexpr KvoChar ZERO_BYTE_IN_TEXT[] = u"file holds a zero byte (read binary files with fread)";

// The most characters of one new string.
constexpr std::uint32_t MAX_STRING_CHARACTERS = kvoLibMaxCount(sizeof(KvoChar));
// Bytes read from a file per block.
constexpr std::size_t READ_BLOCK_BYTES = 64 * 1024;

bool isNumber(const KvoValue& value) noexcept
{
    const KvoValueType type = value.getType();
    return type == KVT_INTEGER || type == KVT_FLOAT || type == KVT_DOUBLE;
}

// Only script vectors: the other vector kinds (bytecode, local-variable information) are the
// interpreter's own data, which a sort or a join must not touch.
bool isScriptVector(const KvoValue& value) noexcept
{
    const KvoValueType type = value.getType();
    return (type == KVT_VECTOR || type == KVT_VECTORREF) && value.getVector();
}

// The library function that a code value (owning or reference) holds, or null for any other
// value. A reference carries the function's address in its payload as the owning kind does.
KvoNativeFunc nativeFunctionOf(const KvoValue& value) noexcept
{
    const KvoValueType type = value.getType();
    if (type != KVT_CODE && type != KVT_CODEREF)
        return nullptr;
    KvoNativeFunc function = nullptr;
    void* bits = value.ptr();
    static_assert(sizeof function == sizeof bits, "function and data pointers have one size");
    std::memcpy(&function, &bits, sizeof function);
    return function;
}

// A value the sort can call: a library function or a script function (bytecode).
bool isFunction(const KvoValue& value) noexcept
{
    const KvoValueType type = value.getType();
    return nativeFunctionOf(value) || ((type == KVT_BYTECODE || type == KVT_BYTECODEREF) && value.getVector());
}

// strupper and strlower: a new string with every character mapped.
bool mapCase(KvoLibCall&& call, KvoChar (*map)(KvoChar))
{
    if (!call.countBetween(1, 1))
        return false;
    const KvoString* text = call.arg(1).getString();
    if (!text)
        return call.fail(KVO_LIB_STRING_EXPECTED);
    std::u16string mapped(text->c_str(), text->length());
    for (KvoChar& c : mapped)
        c = map(c);
    return call.done(KvoValue(new KvoString(mapped.data(), mapped.size())));
}

// min and max: integers stay integers; with a float or a double among them every argument is
// compared as a double and the result is a double. A NaN argument makes the result NaN.
bool extreme(KvoLibCall&& call, bool largest)
{
    if (!call.countBetween(1, -1))
        return false;
    bool integers = true;
    for (int i = 1; i <= call.count(); ++i) {
        if (!isNumber(call.arg(i)))
            return call.fail(KVO_LIB_BAD_ARG_TYPE);
        integers = integers && call.arg(i).getType() == KVT_INTEGER;
    }
    if (integers) {
        std::int32_t best = call.arg(1).getLong();
        for (int i = 2; i <= call.count(); ++i) {
            const std::int32_t x = call.arg(i).getLong();
            if (largest ? x > best : x < best)
                best = x;
        }
        return call.done(KvoValue(best));
    }
    double best = call.arg(1).getDouble();
    for (int i = 2; i <= call.count() && !std::isnan(best); ++i) {
        const double x = call.arg(i).getDouble();
        if (std::isnan(x) || (largest ? x > best : x < best))
            best = x;
    }
    return call.done(KvoValue(best));
}

// floor, ceil and round: an integer stays as it is; a float or a double is rounded by rounding
// and must then fit a script integer.
bool toInteger(KvoLibCall&& call, double (*rounding)(double))
{
    if (!call.countBetween(1, 1))
        return false;
    const KvoValue& x = call.arg(1);
    if (x.getType() == KVT_INTEGER)
        return call.done(KvoValue(x.getLong()));
    if (!isNumber(x))
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    const double rounded = rounding(x.getDouble());
    // The negated test also refuses NaN.
    if (!(rounded >= std::numeric_limits<std::int32_t>::min() && rounded <= std::numeric_limits<std::int32_t>::max()))
        return call.fail(OUT_OF_INTEGER_RANGE);
    return call.done(KvoValue(static_cast<std::int32_t>(rounded)));
}

// Appends value to out as string() shows it. False (nothing raised) for a value that string()
// refuses; an object's toString runs in the interpreter.
bool appendAsString(KvoInterpreter* interpreter, const KvoValue& value, std::u16string& out)
{
    switch (value.getType()) {
    case KVT_INTEGER:
        out += KvoString::decimal(value.getLong()).c_str();
        return true;
    case KVT_FLOAT:
    case KVT_DOUBLE:
        out += KvoString::format(u"%f", value.getDouble()).c_str();
        return true;
    case KVT_CHARBUFFER:
    case KVT_CHARBUFFERREF:
        if (const KvoCharBuffer* buffer = value.getCharBuffer()) {
            // A zero character ends a string's text, as it does in string().
            const KvoString text(buffer->data(), buffer->size());
            out.append(text.c_str(), text.length());
            return true;
        }
        return false;
    default:
        break;
    }
    if (const KvoString* text = value.getString()) {
        out.append(text->c_str(), text->length());
        return true;
    }
    const KvoString* converted = interpreter ? interpreter->getStringFromValue(value) : nullptr;
    if (!converted)
        return false;
    out.append(converted->c_str(), converted->length());
    return true;
}

// The order of two elements: negative when left comes first, zero when they are equal, positive
// when right comes first. False when an error was raised.
class ElementOrder
{
public:
    virtual ~ElementOrder() = default;
    virtual bool compare(const KvoValue& left, const KvoValue& right, int& order) = 0;
};

// The default order: numbers by value (NaN after every other number), strings as strcmp orders
// them. The kinds were checked before sorting, so compare never fails.
class NaturalOrder final : public ElementOrder
{
public:
    explicit NaturalOrder(bool numbers) : m_numbers(numbers) {}

    bool compare(const KvoValue& left, const KvoValue& right, int& order) override
    {
        if (!m_numbers) {
            order = left.getString()->compare(*right.getString());
            return true;
        }
        if (left.getType() == KVT_INTEGER && right.getType() == KVT_INTEGER) {
            const std::int32_t a = left.getLong();
            const std::int32_t b = right.getLong();
            order = a < b ? -1 : (a > b ? 1 : 0);
            return true;
        }
        const double a = left.getDouble();
        const double b = right.getDouble();
        if (std::isnan(a) || std::isnan(b))
            order = static_cast<int>(std::isnan(a)) - static_cast<int>(std::isnan(b));
        else
            order = a < b ? -1 : (a > b ? 1 : 0);
        return true;
    }

private:
    bool m_numbers;
};

// A script's compare function (a script function or a library function), called with the two
// elements above the interpreter's stack.
class FunctionOrder final : public ElementOrder
{
public:
    FunctionOrder(KvoInterpreter& interpreter, KvoValue function)
        : m_interpreter(interpreter), m_function(std::move(function))
    {
    }

    bool compare(const KvoValue& left, const KvoValue& right, int& order) override
    {
        KvoValue result;
        if (!call(left, right, result))
            return false;
        if (!isNumber(result))
            return m_interpreter.returnError(SORT_BAD_ORDER);
        if (result.getType() == KVT_INTEGER) {
            const std::int32_t value = result.getLong();
            order = value < 0 ? -1 : (value > 0 ? 1 : 0);
        } else {
            const double value = result.getDouble();
            order = value < 0 ? -1 : (value > 0 ? 1 : 0);
        }
        return true;
    }

    // True once the script was asked to stop: the sort ends without finishing.
    bool cancelled() const noexcept { return m_interpreter.isCancelled(); }

private:
    bool call(const KvoValue& left, const KvoValue& right, KvoValue& result)
    {
        // A reference to a script function that has gone while the sort ran.
        if (!isFunction(m_function))
            return m_interpreter.returnError(KVO_LIB_BAD_ARG_TYPE);
        KvoValue arguments(new KvoVector(2, false));
        arguments.getVector()->push_back(left);
        arguments.getVector()->push_back(right);
        return m_interpreter.invokeValue(result, m_function, arguments.getVector()) && !cancelled();
    }

    KvoInterpreter& m_interpreter;
    KvoValue m_function;
};

// Sorts items stably (a bottom-up merge sort: an element of the right run goes first only when
// it orders strictly before the left one). Whatever order answers, every index stays inside the
// two arrays and the result is a permutation of the elements. False when order raised an error
// (items are then in no defined order); stop: asked after every comparison, ends the sort early.
bool mergeSort(std::vector<KvoValue>& items, ElementOrder& order, bool (*stop)(ElementOrder&))
{
    const std::size_t n = items.size();
    std::vector<KvoValue> merged(n);
    for (std::size_t width = 1; width < n; width *= 2) {
        for (std::size_t low = 0; low < n; low += 2 * width) {
            const std::size_t middle = std::min(low + width, n);
            const std::size_t high = std::min(low + 2 * width, n);
            std::size_t left = low;
            std::size_t right = middle;
            std::size_t out = low;
            while (left < middle && right < high) {
                int result = 0;
                if (!order.compare(items[left], items[right], result))
                    return false;
                if (stop(order))
                    return true;
                merged[out++] = std::move(result > 0 ? items[right++] : items[left++]);
            }
            while (left < middle)
                merged[out++] = std::move(items[left++]);
            while (right < high)
                merged[out++] = std::move(items[right++]);
        }
        items.swap(merged);
    }
    return true;
}

bool neverStop(ElementOrder&)
{
    return false;
}

bool stopWhenCancelled(ElementOrder& order)
{
    return static_cast<FunctionOrder&>(order).cancelled();
}

// Reads the whole stream into bytes; false on a read error. tooLarge is set (and the read
// stopped) when the stream holds more than maxBytes.
bool readAll(std::FILE* stream, std::size_t maxBytes, std::string& bytes, bool& tooLarge)
{
    std::vector<char> block(READ_BLOCK_BYTES);
    tooLarge = false;
    for (;;) {
        const std::size_t got = std::fread(block.data(), 1, block.size(), stream);
        if (bytes.size() + got > maxBytes) {
            tooLarge = true;
            return true;
        }
        bytes.append(block.data(), got);
        if (got < block.size())
            return std::ferror(stream) == 0;
    }
}

} // namespace

bool KvoDefaultFunctions::Kvo_strupper(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return mapCase(KvoLibCall(vm, argc, args), &kvoToUpper);
}

bool KvoDefaultFunctions::Kvo_strlower(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return mapCase(KvoLibCall(vm, argc, args), &kvoToLower);
}

bool KvoDefaultFunctions::Kvo_strjoin(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(1, 2))
        return false;
    if (!isScriptVector(call.arg(1)))
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    std::u16string separator;
    if (argc == 2) {
        const KvoString* given = call.arg(2).getString();
        if (!given)
            return call.fail(KVO_LIB_STRING_EXPECTED);
        separator.assign(given->c_str(), given->length());
    }
    // The elements are copied first: an element's toString may change the vector.
    KvoVector* source = call.arg(1).getVector();
    const std::vector<KvoValue> elements(source->data(), source->data() + source->size());
    std::u16string joined;
    for (std::size_t i = 0; i < elements.size(); ++i) {
        if (i > 0)
            joined += separator;
        if (!appendAsString(call.interpreter(), elements[i], joined))
            return call.fail(KVO_LIB_BAD_ARG_TYPE);
        if (joined.size() > MAX_STRING_CHARACTERS)
            return call.fail(KVO_LIB_COUNT_TOO_LARGE);
    }
    return call.done(KvoValue(new KvoString(joined.data(), joined.size())));
}

bool KvoDefaultFunctions::Kvo_strsplitat(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(2, 2))
        return false;
    const KvoString* text = call.arg(1).getString();
    const KvoString* separator = call.arg(2).getString();
    if (!text || !separator)
        return call.fail(KVO_LIB_STRING_EXPECTED);
    if (separator->length() == 0)
        return call.fail(EMPTY_SEPARATOR);
    const std::u16string_view whole(text->c_str(), text->length());
    const std::u16string_view at(separator->c_str(), separator->length());
    // n separators give n + 1 pieces; they are counted before any piece is made.
    constexpr std::size_t NONE = std::u16string_view::npos;
    std::uint64_t pieces = 1;
    for (std::size_t found = whole.find(at); found != NONE; found = whole.find(at, found + at.size()))
        ++pieces;
    if (!kvoLibCountFits(pieces, sizeof(KvoValue)))
        return call.fail(KVO_LIB_COUNT_TOO_LARGE);
    auto* result = new KvoVector(static_cast<std::uint32_t>(pieces), false);
    KvoValue holder(result);
    std::size_t start = 0;
    for (std::size_t found = whole.find(at); found != NONE; found = whole.find(at, start)) {
        result->push_back(KvoValue(new KvoString(whole.data() + start, found - start)));
        start = found + at.size();
    }
    result->push_back(KvoValue(new KvoString(whole.data() + start, whole.size() - start)));
    return call.done(std::move(holder));
}

bool KvoDefaultFunctions::Kvo_vecsort(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(1, 2))
        return false;
    if (!isScriptVector(call.arg(1)))
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    // An owning value keeps the vector alive while compare functions run, even when the argument
    // is a reference.
    KvoVector* vector = call.arg(1).getVector();
    const KvoValue keep(vector);
    std::vector<KvoValue> items(vector->data(), vector->data() + vector->size());
    bool sorted;
    if (argc == 1) {
        bool numbers = true;
        bool strings = true;
        for (const KvoValue& item : items) {
            numbers = numbers && isNumber(item);
            strings = strings && item.getString() != nullptr;
        }
        if (!numbers && !strings)
            return call.fail(SORT_MIXED_KINDS);
        NaturalOrder order(numbers);
        sorted = mergeSort(items, order, &neverStop);
    } else {
        KvoInterpreter* interpreter = call.interpreter();
        if (!isFunction(call.arg(2)) || !interpreter)
            return call.fail(KVO_LIB_BAD_ARG_TYPE);
        FunctionOrder order(*interpreter, call.arg(2));
        sorted = mergeSort(items, order, &stopWhenCancelled);
        // A cancelled sort leaves the vector as it is; the script stops at its next instruction.
        if (sorted && order.cancelled())
            return call.done(keep);
    }
    if (!sorted)
        return false;
    // The compare function may have changed the vector: the sorted elements replace its
    // content only when they still fit it exactly.
    if (vector->size() != items.size())
        return call.fail(SORT_VECTOR_CHANGED);
    for (std::uint32_t i = 0; i < vector->size(); ++i)
        (*vector)[i] = std::move(items[i]);
    return call.done(keep);
}

bool KvoDefaultFunctions::Kvo_min(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return extreme(KvoLibCall(vm, argc, args), false);
}

bool KvoDefaultFunctions::Kvo_max(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return extreme(KvoLibCall(vm, argc, args), true);
}

bool KvoDefaultFunctions::Kvo_floor(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return toInteger(KvoLibCall(vm, argc, args), [](double x) { return std::floor(x); });
}

bool KvoDefaultFunctions::Kvo_ceil(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return toInteger(KvoLibCall(vm, argc, args), [](double x) { return std::ceil(x); });
}

bool KvoDefaultFunctions::Kvo_round(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return toInteger(KvoLibCall(vm, argc, args), [](double x) { return std::round(x); });
}

bool KvoDefaultFunctions::Kvo_readfile(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(1, 1))
        return false;
    const KvoString* path = call.arg(1).getString();
    if (!path)
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    std::FILE* stream = kvoOpenFile(path->c_str(), u"rb");
    if (!stream)
        return call.done(KvoValue());
    // Every byte gives at most one UTF-16 unit, so the byte bound is the string's bound.
    std::string bytes;
    bool tooLarge = false;
    const bool read = readAll(stream, MAX_STRING_CHARACTERS, bytes, tooLarge);
    kvoCloseFile(stream);
    if (tooLarge)
        return call.fail(KVO_LIB_COUNT_TOO_LARGE);
    // A directory opens but cannot be read: like a file that cannot be opened, it gives null.
    if (!read)
        return call.done(KvoValue());
    // A string's text ends at its first zero: rather than lose the rest, a binary file is refused.
    if (bytes.find('\0') != std::string::npos)
        return call.fail(ZERO_BYTE_IN_TEXT);
    const std::u16string text = kvoFromUtf8(bytes.data(), bytes.size());
    return call.done(KvoValue(new KvoString(text.data(), text.size())));
}

// exit([status]): the machine records the status and stops every run of the script at its next
// instruction, the way a host's cancel does; no handler of the script sees it. The host reads
// the status from the machine (exitRequested, exitStatus).
bool KvoDefaultFunctions::Kvo_exit(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(0, 1))
        return false;
    std::int32_t status = 0;
    if (argc == 1) {
        if (call.arg(1).getType() != KVT_INTEGER)
            return call.fail(KVO_LIB_BAD_ARG_TYPE);
        status = call.arg(1).getLong();
    }
    vm->requestExit(status);
    return call.done(KvoValue());
}
