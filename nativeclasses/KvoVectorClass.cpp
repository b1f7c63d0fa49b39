// The class Vector: a vector object whose elements are the KvoVector in the member _vec. The
// modifying methods change that vector in place and return the receiver, so calls chain; the
// methods that make a new Vector (+, slice) make it of the receiver's own class, which may be a
// script class derived from Vector.
//
// Only script vectors (KVT_VECTOR and its reference twin) count as vectors here: a function
// value is also a KvoVector inside (its code and literals), but it is one element like any
// other value, never a source of elements. Every index is checked against the size before it
// is used, and the vector grows geometrically, so push_back and insert at the end take
// amortised constant time.
//
// Sizes: a vector that a method builds or grows holds at most the library's bound on one result
// (16 Mi elements, 256 MiB): the new size is checked before anything is allocated, and a larger
// one fails with "count too large", which a script can catch. Growth stops at the bound as well,
// so no call asks for a larger block than that.
#include <cstdint>
#include <iterator>
#include <utility>
#include <vector>

#include "nativeclasses/KvoMethodCall.h"
#include "nativeclasses/KvoNativeClassBuilder.h"
#include "stdlib/KvoLibLimits.h"

namespace {

constexpr KvoChar VECTOR_CLASS_NAME[] = u"Vector";

// Member slot, cached when the class is registered.
std::int32_t s_vecIndex = -1;

// The most elements that one method gives a vector: the library's bound on one new vector.
constexpr std::uint32_t MAX_ELEMENTS = kvoLibMaxCount(sizeof(KvoValue));

// The script vector a value holds, or null (functions and other kinds).
KvoVector* scriptVector(const KvoValue& value)
{
    const KvoValueType type = value.getType();
    return (type == KVT_VECTOR || type == KVT_VECTORREF) ? value.getVector() : nullptr;
}


// The vector whose elements x stands for in v + x and x + v: a script vector, or the vector of
// an object of the class Vector or a class derived from it; null when x is one element.
KvoVector* elementSource(KvoMethodCall& call, const KvoValue& x)
{
    if (KvoVector* vector = scriptVector(x))
        return vector;
    if (!KvoMethodCall::isObjectOf(x, call.findClass(VECTOR_CLASS_NAME)))
        return nullptr;
    const KvoValue* slot = KvoMethodCall::memberOf(x.getObject(), s_vecIndex);
    return slot ? scriptVector(*slot) : nullptr;
}

// Reads a count or capacity argument: negative acts as 0; false after "count too large" when
// it passes the library's bound on one allocation.
bool readCount(KvoMethodCall& call, int i, std::uint32_t& count)
{
    std::int32_t value = 0;
    if (!call.integerArg(i, value))
        return false;
    if (value <= 0) {
        count = 0;
        return true;
    }
    if (!call.countFits(static_cast<std::uint32_t>(value), sizeof(KvoValue)))
        return false;
    count = static_cast<std::uint32_t>(value);
    return true;
}

// Makes room in vector for size elements: false after "count too large" when size passes the
// bound. The capacity grows geometrically, as push_back grows it, but never past the bound: near
// it, doubling alone would ask for up to twice the bound in one block.
bool roomFor(KvoMethodCall& call, KvoVector& vector, std::uint64_t size)
{
    if (!call.countFits(size, sizeof(KvoValue)))
        return false;
    if (size <= vector.capacity())
        return true;
    std::uint64_t capacity = vector.capacity() < 2 ? 2 : vector.capacity();
    while (capacity < size)
        capacity *= 2;
    vector.setCapacity(static_cast<std::uint32_t>(capacity < MAX_ELEMENTS ? capacity : MAX_ELEMENTS));
    return true;
}

// Completes call with a new object of the receiver's class wrapping vector (takes ownership).
bool doneWithNewVector(KvoMethodCall& call, KvoVector* vector)
{
    KvoValue held(vector);
    KvoObject* object = call.newOfOwnClass(s_vecIndex, held);
    if (!object)
        return call.badType(KVT_NULL, KVT_VECTOR);
    return call.done(KvoValue(object));
}

// The range start [, count] of slice and erase: the integer arguments, then the receiver's
// vector (in that order), then 0 <= start < size ("subscript out of range"); a negative count
// or one past the end means to the end.
KvoVector* readRange(KvoMethodCall& call, std::uint32_t& start, std::uint32_t& count)
{
    std::int32_t first = 0;
    std::int32_t requested = -1;
    if (!call.integerArg(1, first) || (call.count() == 2 && !call.integerArg(2, requested)))
        return nullptr;
    KvoVector* vector = call.memberVector(s_vecIndex);
    if (!vector)
        return nullptr;
    if (first < 0 || static_cast<std::uint32_t>(first) >= vector->size()) {
        call.fail(KV2_SUBSCRIPT_RANGE);
        return nullptr;
    }
    start = static_cast<std::uint32_t>(first);
    const std::uint32_t available = vector->size() - start;
    count = (requested < 0 || static_cast<std::uint32_t>(requested) > available) ? available
                                                                               : static_cast<std::uint32_t>(requested);
    return vector;
}

// new Vector(), new Vector(source), new Vector(n [, sized]).
bool vectorConstruct(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 2))
        return false;
    if (!call.member(s_vecIndex))
        return call.badType(KVT_NULL, KVT_VECTOR);
    KvoVector* vector = nullptr;
    const KvoVector* source = nullptr;
    if (call.count() == 1) {
        source = scriptVector(call.arg(1));
        // An object of the receiver's class (or one derived from it) is copied too.
        if (!source && KvoMethodCall::isObjectOf(call.arg(1), call.self()->getClass())) {
            const KvoValue* slot = KvoMethodCall::memberOf(call.arg(1).getObject(), s_vecIndex);
            source = slot ? scriptVector(*slot) : nullptr;
        }
    }
    if (call.count() == 0) {
        vector = new KvoVector();
    } else if (source) {
        vector = new KvoVector(*source);
    } else {
        // Vector(n) is empty with room for n elements; Vector(n, sized) holds n nulls when sized
        // is not 0.
        std::uint32_t capacity = 0;
        if (!readCount(call, 1, capacity))
            return false;
        const bool sized = call.count() == 2 && call.arg(2).getLong() != 0;
        vector = new KvoVector(capacity, sized);
    }
    *call.member(s_vecIndex) = KvoValue(vector);
    return call.doneThis();
}

// v + x and x + v: a new Vector of the receiver's elements and the elements of x (a vector, or
// a Vector object) or x itself, in that order or reversed.
template <bool receiverFirst>
bool vectorJoin(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    const KvoVector* vector = call.memberVector(s_vecIndex);
    if (!vector)
        return false;
    // The combined size is checked before the new vector is made: past the bound, its block
    // alone would be larger than one call may allocate.
    if (const KvoVector* other = elementSource(call, call.arg(1))) {
        if (!call.countFits(std::uint64_t{vector->size()} + other->size(), sizeof(KvoValue)))
            return false;
        return doneWithNewVector(call, receiverFirst ? *vector + *other : *other + *vector);
    }
    if (!call.countFits(std::uint64_t{vector->size()} + 1, sizeof(KvoValue)))
        return false;
    auto* result = new KvoVector(vector->size() + 1, false);
    if (receiverFirst)
        *result += *vector;
    result->push_back(call.arg(1));
    if (!receiverFirst)
        *result += *vector;
    return doneWithNewVector(call, result);
}

// The element index i of vector: false after "subscript out of range" when it is outside it.
bool elementIndex(KvoMethodCall& call, const KvoVector& vector, std::int32_t i)
{
    if (i < 0 || static_cast<std::uint32_t>(i) >= vector.size())
        return call.fail(KV2_SUBSCRIPT_RANGE);
    return true;
}

// v[i]: a copy of element i.
bool vectorRead(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::int32_t i = 0;
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    const KvoVector* vector = call.memberVector(s_vecIndex);
    if (!vector || !call.integerArg(1, i) || !elementIndex(call, *vector, i))
        return false;
    return call.done((*vector)[static_cast<std::uint32_t>(i)]);
}

// v[i] = x.
bool vectorWrite(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::int32_t i = 0;
    if (!call.needThis() || !call.countBetween(2, 2))
        return false;
    KvoVector* vector = call.memberVector(s_vecIndex);
    if (!vector || !call.integerArg(1, i) || !elementIndex(call, *vector, i))
        return false;
    (*vector)[static_cast<std::uint32_t>(i)] = call.arg(2);
    return call.doneNull();
}

bool vectorSize(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    const KvoVector* vector = call.memberVector(s_vecIndex);
    return vector && call.done(KvoValue(static_cast<std::int32_t>(vector->size())));
}

bool vectorCapacity(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    const KvoVector* vector = call.memberVector(s_vecIndex);
    return vector && call.done(KvoValue(static_cast<std::int32_t>(vector->capacity())));
}

// setCapacity(n): the capacity becomes n, but at least 2 and at least the size.
bool vectorSetCapacity(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::uint32_t capacity = 0;
    if (!call.needThis() || !call.countBetween(1, 1) || !readCount(call, 1, capacity))
        return false;
    KvoVector* vector = call.memberVector(s_vecIndex);
    return vector && call.done(KvoValue(static_cast<std::int32_t>(vector->setCapacity(capacity))));
}

bool vectorShrink(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    KvoVector* vector = call.memberVector(s_vecIndex);
    return vector && call.done(KvoValue(static_cast<std::int32_t>(vector->shrink())));
}

bool vectorPushBack(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    KvoVector* vector = call.memberVector(s_vecIndex);
    if (!vector || !roomFor(call, *vector, std::uint64_t{vector->size()} + 1))
        return false;
    vector->push_back(call.arg(1));
    return call.doneThis();
}

bool vectorPopBack(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    KvoVector* vector = call.memberVector(s_vecIndex);
    if (!vector)
        return false;
    if (vector->size() == 0)
        return call.fail(KV2_EMPTY_VECTOR);
    return call.done(vector->pop_back());
}

// push_front(x): x becomes element 0, the others move up by one.
bool vectorPushFront(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    KvoVector* vector = call.memberVector(s_vecIndex);
    if (!vector || !roomFor(call, *vector, std::uint64_t{vector->size()} + 1))
        return false;
    KvoValue value(call.arg(1));
    vector->push_back(KvoValue());
    for (std::uint32_t i = vector->size() - 1; i > 0; --i)
        (*vector)[i] = std::move((*vector)[i - 1]);
    (*vector)[0] = std::move(value);
    return call.doneThis();
}

// pop_front(): element 0 is removed and returned, the others move down by one.
bool vectorPopFront(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    KvoVector* vector = call.memberVector(s_vecIndex);
    if (!vector)
        return false;
    const std::uint32_t size = vector->size();
    if (size == 0)
        return call.fail(KV2_EMPTY_VECTOR);
    KvoValue first(std::move((*vector)[0]));
    for (std::uint32_t i = 1; i < size; ++i)
        (*vector)[i - 1] = std::move((*vector)[i]);
    vector->truncate(size - 1);
    return call.done(std::move(first));
}

bool vectorClear(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    KvoVector* vector = call.memberVector(s_vecIndex);
    if (!vector)
        return false;
    vector->clear();
    return call.doneNull();
}

// insert(pos, x1 ... xk): x1 ... xk take places pos ... pos + k - 1 and the elements from pos
// on move up by k; a position outside 0 .. size appends.
bool vectorInsert(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::int32_t requested = 0;
    if (!call.needThis() || !call.countBetween(2, -1) || !call.integerArg(1, requested))
        return false;
    KvoVector* vector = call.memberVector(s_vecIndex);
    if (!vector)
        return false;
    const std::uint32_t size = vector->size();
    const std::uint32_t position =
        (requested < 0 || static_cast<std::uint32_t>(requested) > size) ? size : static_cast<std::uint32_t>(requested);
    const auto inserted = static_cast<std::uint32_t>(call.count() - 1);
    // Grown like push_back (doubling), so that repeated inserts near the end stay linear.
    if (!roomFor(call, *vector, std::uint64_t{size} + inserted))
        return false;
    vector->growToIndex(size + inserted - 1);
    for (std::uint32_t i = size; i > position; --i)
        (*vector)[i - 1 + inserted] = std::move((*vector)[i - 1]);
    for (std::uint32_t k = 0; k < inserted; ++k)
        (*vector)[position + k] = call.arg(static_cast<int>(k) + 2);
    return call.doneThis();
}

// slice(start [, count]): a new Vector holding copies of count elements (default: to the end)
// from start.
bool vectorSlice(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::uint32_t start = 0;
    std::uint32_t count = 0;
    if (!call.needThis() || !call.countBetween(1, 2))
        return false;
    const KvoVector* vector = readRange(call, start, count);
    if (!vector)
        return false;
    auto* result = new KvoVector(count, false);
    for (std::uint32_t i = 0; i < count; ++i)
        result->push_back((*vector)[start + i]);
    return doneWithNewVector(call, result);
}

// erase(start [, count]): count elements (default: to the end) are removed from start and the
// following ones move down.
bool vectorErase(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::uint32_t start = 0;
    std::uint32_t count = 0;
    if (!call.needThis() || !call.countBetween(1, 2))
        return false;
    KvoVector* vector = readRange(call, start, count);
    if (!vector)
        return false;
    // The removed elements are released only once the vector is whole again: a release may
    // run native code that looks at the vector.
    std::vector<KvoValue> removed;
    removed.reserve(count);
    const std::uint32_t size = vector->size();
    for (std::uint32_t i = start; i < start + count; ++i)
        removed.push_back(std::move((*vector)[i]));
    for (std::uint32_t i = start + count; i < size; ++i)
        (*vector)[i - count] = std::move((*vector)[i]);
    vector->truncate(size - count);
    return call.doneThis();
}

// The wrapped vector itself (shared, not copied).
bool vectorShared(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    KvoVector* vector = call.memberVector(s_vecIndex);
    return vector && call.done(KvoValue(vector));
}

const KvoMethodRegistration VECTOR_METHODS[] = {
    {u"Vector", &vectorConstruct},
    {u"OP_ADD", &vectorJoin<true>},
    {u"OP_ADD_R", &vectorJoin<false>},
    {u"OP_VREF", &vectorRead},
    {u"OP_VSET", &vectorWrite},
    {u"size", &vectorSize},
    {u"capacity", &vectorCapacity},
    {u"setCapacity", &vectorSetCapacity},
    {u"shrink", &vectorShrink},
    {u"push_back", &vectorPushBack},
    {u"pop_back", &vectorPopBack},
    {u"push_front", &vectorPushFront},
    {u"pop_front", &vectorPopFront},
    {u"clear", &vectorClear},
    {u"insert", &vectorInsert},
    {u"slice", &vectorSlice},
    {u"erase", &vectorErase},
    {u"vec", &vectorShared},
};

} // namespace

void kv2RegisterVector(KvoVirtualMachine* vm)
{
    kvoRegisterClass(vm, VECTOR_CLASS_NAME, nullptr, {{u"_vec", &s_vecIndex}}, VECTOR_METHODS, std::size(VECTOR_METHODS));
}
