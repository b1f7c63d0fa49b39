// The class Struct: a block of native memory that a script lays out field by field, hands to a C
// function (getData) and reads back afterwards (update, getValue).
//
// _data holds the bytes: little-endian, each field at its byte offset, no alignment gaps.
// _dataDict maps each field name to its descriptor, a vector of four values:
//   [0] the byte offset in _data, [1] the script value the field mirrors,
//   [2] the width in _data, [3] 0 when the value itself lies in _data, 1 when _data holds the
//   address of the value's storage (a pointer field).
// Pointer fields are 8 bytes wide (the address, zero-extended), as this platform's C ABI lays
// out pointers; every other field has its C width (int 4, int8 1, int16 2, double 8, float 4).
//
// A derived script class can assign both members and change the descriptors, so nothing here
// trusts them: update and getValue check each descriptor against _data and against the storage
// of the value before they touch either, and skip or refuse what does not fit. An add method
// makes all its checks before it changes anything, so a failed add leaves the Struct as it was.
#include <bit>
#include <cstdint>
#include <iterator>
#include <unordered_set>
#include <vector>

#include "nativeclasses/KvoMethodCall.h"
#include "nativeclasses/KvoNativeClassBuilder.h"
#include "stdlib/KvoLibLimits.h"
#include "values/KvoCharBuffer.h"

namespace {

// Member slots, cached when the class is registered.
std::int32_t s_dataIndex = -1;
std::int32_t s_dataDictIndex = -1;

// Descriptor slots and storage flags.
constexpr std::uint32_t FIELD_OFFSET = 0;
constexpr std::uint32_t FIELD_VALUE = 1;
constexpr std::uint32_t FIELD_WIDTH = 2;
constexpr std::uint32_t FIELD_FLAG = 3;
constexpr std::uint32_t DESCRIPTOR_SIZE = 4;
constexpr std::int32_t STORED_BY_VALUE = 0;
constexpr std::int32_t STORED_BY_POINTER = 1;

// Width of every pointer field: a 64-bit address.
constexpr std::uint32_t POINTER_WIDTH = 8;

// The field kinds, one per add method.
enum class FieldKind : std::uint8_t {
    INT,
    INT_PTR,
    INT8,
    INT16,
    DOUBLE,
    DOUBLE_PTR,
    FLOAT,
    FLOAT_PTR,
    STRING,
    CBUFFER,
    BUFFER,
    STRUCT,
};

constexpr bool isPointerKind(FieldKind kind)
{
    return kind != FieldKind::INT && kind != FieldKind::INT8 && kind != FieldKind::INT16 && kind != FieldKind::DOUBLE &&
           kind != FieldKind::FLOAT;
}

constexpr std::uint32_t widthOf(FieldKind kind)
{
    switch (kind) {
    case FieldKind::INT8:
        return 1;
    case FieldKind::INT16:
        return 2;
    case FieldKind::INT:
    case FieldKind::FLOAT:
        return 4;
    case FieldKind::DOUBLE:
        return 8;
    default:
        return POINTER_WIDTH;
    }
}

constexpr bool isNumberType(KvoValueType type)
{
    return type == KVT_INTEGER || type == KVT_FLOAT || type == KVT_DOUBLE;
}

// Explicit argument i as a number; false after the type error naming expected for anything
// else (the payload bits of a string or an object are never taken for a number).
bool numberArg(KvoMethodCall& call, int i, KvoValueType expected)
{
    if (isNumberType(call.arg(i).getType()))
        return true;
    return call.badType(call.arg(i).getType(), expected);
}

// Writes the low width bytes of bits at offset, little-endian; the caller has checked the range.
void writeBytes(KvoBuffer& data, std::uint32_t offset, std::uint64_t bits, std::uint32_t width)
{
    for (std::uint32_t i = 0; i < width; ++i)
        data[offset + i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

std::uint64_t readBytes(const KvoBuffer& data, std::uint32_t offset, std::uint32_t width)
{
    std::uint64_t bits = 0;
    for (std::uint32_t i = 0; i < width; ++i)
        bits |= std::uint64_t(data[offset + i]) << (8 * i);
    return bits;
}

// Makes data hold at least size bytes (at most the library's bound on one block, which the
// caller has checked); the added bytes are zero. The block doubles, but never past the bound.
void growTo(KvoBuffer& data, std::uint32_t size)
{
    const std::uint32_t oldSize = data.size();
    if (size <= oldSize)
        return;
    if (size > data.capacity()) {
        const std::uint64_t doubled = std::uint64_t{data.capacity()} * 2;
        const std::uint64_t capacity = doubled < kvoLibMaxCount(1) ? doubled : kvoLibMaxCount(1);
        data.setCapacity(capacity > size ? static_cast<std::uint32_t>(capacity) : size);
    }
    data.setSize(size);
    for (std::uint32_t i = oldSize; i < size; ++i)
        data[i] = 0;
}

// The Struct objects whose _data a field of object points at (its by-pointer object fields).
void nestedStructs(const KvoObject* object, std::vector<const KvoObject*>& out)
{
    const KvoValue* slot = KvoMethodCall::memberOf(object, s_dataDictIndex);
    const KvoDictionary* fields = slot ? slot->getDictionary() : nullptr;
    if (!fields)
        return;
    for (const KvoDictionaryEntry* e = fields->getFirst(); e; e = e->getNext()) {
        const KvoVector* descriptor = e->getValue().getType() == KVT_VECTOR ? e->getValue().getVector() : nullptr;
        if (descriptor && descriptor->size() == DESCRIPTOR_SIZE) {
            if (const KvoObject* nested = (*descriptor)[FIELD_VALUE].getObject())
                out.push_back(nested);
        }
    }
}

// True when target is outer itself or nested in it at any depth. A Struct that held itself
// this way would keep itself alive for ever (its descriptors own the nested objects).
bool nests(const KvoObject* outer, const KvoObject* target)
{
    std::vector<const KvoObject*> pending{outer};
    std::unordered_set<const KvoObject*> seen;
    while (!pending.empty()) {
        const KvoObject* object = pending.back();
        pending.pop_back();
        if (object == target)
            return true;
        if (seen.insert(object).second)
            nestedStructs(object, pending);
    }
    return false;
}

// Checks and converts the field value (explicit argument 2) for kind into value. The text of
// a string field is shared with the script, as the C function may write into it; every object
// is held by an owning value, so the descriptor keeps what its address points at alive.
bool fieldValue(KvoMethodCall& call, FieldKind kind, const KvoString& name, KvoValue& value)
{
    switch (kind) {
    case FieldKind::INT:
    case FieldKind::INT_PTR:
        if (!numberArg(call, 2, KVT_INTEGER))
            return false;
        value = KvoValue(call.arg(2).getLong());
        return true;
    case FieldKind::INT8:
        if (!numberArg(call, 2, KVT_INTEGER))
            return false;
        value = KvoValue(std::int32_t{static_cast<std::int8_t>(call.arg(2).getLong())});
        return true;
    case FieldKind::INT16:
        if (!numberArg(call, 2, KVT_INTEGER))
            return false;
        value = KvoValue(std::int32_t{static_cast<std::int16_t>(call.arg(2).getLong())});
        return true;
    case FieldKind::DOUBLE:
    case FieldKind::DOUBLE_PTR:
        if (!numberArg(call, 2, KVT_DOUBLE))
            return false;
        value = KvoValue(call.arg(2).getDouble());
        return true;
    case FieldKind::FLOAT:
    case FieldKind::FLOAT_PTR:
        if (!numberArg(call, 2, KVT_FLOAT))
            return false;
        value = KvoValue(call.arg(2).getFloat());
        return true;
    case FieldKind::STRING: {
        KvoString* text = call.textArg(2);
        if (!text)
            return false;
        value = KvoValue(text);
        return true;
    }
    case FieldKind::CBUFFER: {
        KvoCharBuffer* buffer = call.arg(2).getCharBuffer();
        if (!buffer)
            return call.badType(call.arg(2).getType(), KVT_CHARBUFFER);
        value = KvoValue(buffer);
        return true;
    }
    case FieldKind::BUFFER: {
        KvoBuffer* buffer = call.arg(2).getBuffer();
        if (!buffer)
            return call.badType(call.arg(2).getType(), KVT_BUFFER);
        value = KvoValue(buffer);
        return true;
    }
    case FieldKind::STRUCT: {
        KvoObject* nested = call.arg(2).getObject();
        if (!nested)
            return call.badType(call.arg(2).getType(), KVT_OBJECT);
        if (!KvoMethodCall::isObjectOf(call.arg(2), call.self()->getClass()))
            return call.fail(KV2_NOT_A_STRUCT, KvoMethodCall::classNameOf(nested));
        const KvoValue* nestedData = KvoMethodCall::memberOf(nested, s_dataIndex);
        if (!nestedData || !nestedData->getBuffer())
            return call.fail(KV2_DAMAGED_ARGUMENT);
        if (nests(nested, call.self()))
            return call.fail(KV2_STRUCT_CYCLE, name.c_str());
        value = KvoValue(nested);
        return true;
    }
    }
    return false;
}

// The address that a pointer field of kind stores for the descriptor value value.
const void* fieldAddress(FieldKind kind, const KvoValue& value)
{
    if (kind == FieldKind::STRUCT) {
        const KvoValue* nestedData = KvoMethodCall::memberOf(value.getObject(), s_dataIndex);
        return nestedData->getBuffer()->data();
    }
    return value.addr();
}

// The bytes that a by-value field of kind stores for value.
std::uint64_t fieldBits(FieldKind kind, const KvoValue& value)
{
    switch (kind) {
    case FieldKind::DOUBLE:
        return std::bit_cast<std::uint64_t>(value.getDouble());
    case FieldKind::FLOAT:
        return std::bit_cast<std::uint32_t>(value.getFloat());
    default:
        return static_cast<std::uint32_t>(value.getLong());
    }
}

// addInt(name, value [, offset]) and its eleven siblings: the offset at which the field went.
bool addField(KvoVirtualMachine* vm, int argc, ValPtr& args, FieldKind kind)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(2, 3))
        return false;
    KvoDictionary* fields = call.memberDictionary(s_dataDictIndex);
    KvoBuffer* data = fields ? call.memberBuffer(s_dataIndex) : nullptr;
    const KvoString* name = data ? call.textArg(1) : nullptr;
    if (!name)
        return false;
    if (fields->find(*name))
        return call.fail(KV2_MEMBER_DEFINED, name->c_str());
    std::int32_t requested = -1;
    if (call.count() == 3 && !call.integerArg(3, requested))
        return false;
    KvoValue value;
    if (!fieldValue(call, kind, *name, value))
        return false;
    // Reading a text value may have run a script toString, which may have added this very name
    // or changed the size of the block: both are taken as they are now.
    if (fields->find(*name))
        return call.fail(KV2_MEMBER_DEFINED, name->c_str());
    const std::uint32_t size = data->size();
    const std::uint32_t offset = requested < 0 || static_cast<std::uint32_t>(requested) > size
                                     ? size
                                     : static_cast<std::uint32_t>(requested);
    const std::uint32_t width = widthOf(kind);
    // A field at the end grows the block: its new size follows the library's bound (a derived
    // class may have stored a block of any size in _data).
    const std::uint64_t end = std::uint64_t{offset} + width;
    if (end > size && !call.countFits(end, 1))
        return false;
    growTo(*data, offset + width);

    auto* descriptor = new KvoVector(DESCRIPTOR_SIZE, false);
    (*fields)[*name]->setValue(KvoValue(descriptor));
    descriptor->push_back(KvoValue(static_cast<std::int32_t>(offset)));
    descriptor->push_back(std::move(value));
    descriptor->push_back(KvoValue(static_cast<std::int32_t>(width)));
    descriptor->push_back(KvoValue(isPointerKind(kind) ? STORED_BY_POINTER : STORED_BY_VALUE));
    // The address is that of the value now in the descriptor, whose storage stays put: the
    // vector was made with room for its four values.
    const KvoValue& stored = (*descriptor)[FIELD_VALUE];
    const std::uint64_t bits = isPointerKind(kind) ? reinterpret_cast<std::uintptr_t>(fieldAddress(kind, stored))
                                                   : fieldBits(kind, stored);
    writeBytes(*data, offset, bits, width);
    return call.done(KvoValue(static_cast<std::int32_t>(offset)));
}

template <FieldKind kind>
bool structAdd(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return addField(vm, argc, args, kind);
}

// A descriptor as read back: only a vector of four values with integer offset, width and flag
// whose field lies inside data.
struct Field {
    std::uint32_t offset;
    std::uint32_t width;
    std::int32_t flag;
    KvoValue* value;
};

bool readDescriptor(const KvoValue& entryValue, const KvoBuffer& data, Field& field)
{
    KvoVector* descriptor = entryValue.getType() == KVT_VECTOR ? entryValue.getVector() : nullptr;
    if (!descriptor || descriptor->size() != DESCRIPTOR_SIZE)
        return false;
    const KvoValue& offset = (*descriptor)[FIELD_OFFSET];
    const KvoValue& width = (*descriptor)[FIELD_WIDTH];
    const KvoValue& flag = (*descriptor)[FIELD_FLAG];
    if (offset.getType() != KVT_INTEGER || width.getType() != KVT_INTEGER || flag.getType() != KVT_INTEGER)
        return false;
    if (offset.getLong() < 0 || width.getLong() <= 0 ||
        std::int64_t{offset.getLong()} + width.getLong() > std::int64_t{data.size()})
        return false;
    field = {static_cast<std::uint32_t>(offset.getLong()), static_cast<std::uint32_t>(width.getLong()), flag.getLong(),
             &(*descriptor)[FIELD_VALUE]};
    return true;
}

// Copies a by-value field back from data into its value. Only the widths that the value's kind
// is stored with are read: 1, 2 and 4 bytes for an integer (the short ones sign-extended, as
// they were stored), 4 for a float, 8 for a double. Anything else is left alone.
void copyBack(const KvoBuffer& data, const Field& field)
{
    const std::uint64_t bits = readBytes(data, field.offset, field.width);
    switch (field.value->getType()) {
    case KVT_INTEGER:
        if (field.width == 1)
            *field.value = KvoValue(std::int32_t{static_cast<std::int8_t>(bits)});
        else if (field.width == 2)
            *field.value = KvoValue(std::int32_t{static_cast<std::int16_t>(bits)});
        else if (field.width == 4)
            *field.value = KvoValue(static_cast<std::int32_t>(static_cast<std::uint32_t>(bits)));
        break;
    case KVT_FLOAT:
        if (field.width == 4)
            *field.value = KvoValue(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
        break;
    case KVT_DOUBLE:
        if (field.width == 8)
            *field.value = KvoValue(std::bit_cast<double>(bits));
        break;
    default:
        break;
    }
}

bool structConstruct(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    KvoValue* fields = call.member(s_dataDictIndex);
    if (!fields)
        return call.badType(KVT_NULL, KVT_DICTIONARY);
    KvoValue* data = call.member(s_dataIndex);
    if (!data)
        return call.badType(KVT_NULL, KVT_BUFFER);
    *fields = KvoValue(new KvoDictionary(false));
    *data = KvoValue(new KvoBuffer());
    return call.doneThis();
}

// getValue(name): the value that the field mirrors (as of the last update for a by-value field).
bool structGetValue(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    KvoDictionary* fields = call.memberDictionary(s_dataDictIndex);
    const KvoString* name = fields ? call.textArg(1) : nullptr;
    if (!name)
        return false;
    const KvoDictionaryEntry* entry = fields->find(*name);
    if (!entry)
        return call.fail(KV2_MEMBER_NOT_FOUND, name->c_str());
    const KvoValue& descriptor = entry->getValue();
    const KvoVector* vector = descriptor.getType() == KVT_VECTOR ? descriptor.getVector() : nullptr;
    if (!vector || vector->size() != DESCRIPTOR_SIZE)
        return call.fail(KV2_MEMBER_DAMAGED, name->c_str());
    return call.done((*vector)[FIELD_VALUE]);
}

// getData(): the block itself (shared), to be handed to native code.
bool structGetData(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    KvoBuffer* data = call.memberBuffer(s_dataIndex);
    return data && call.done(KvoValue(data));
}

// update(): every by-value field takes the value that its bytes in the block now hold.
bool structUpdate(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    const KvoDictionary* fields = call.memberDictionary(s_dataDictIndex);
    const KvoBuffer* data = fields ? call.memberBuffer(s_dataIndex) : nullptr;
    if (!data)
        return false;
    // Only numbers are written, over numbers: nothing is released, so no script code runs
    // while the entries are walked.
    for (const KvoDictionaryEntry* e = fields->getFirst(); e; e = e->getNext()) {
        Field field;
        if (readDescriptor(e->getValue(), *data, field) && field.flag == STORED_BY_VALUE)
            copyBack(*data, field);
    }
    return call.doneThis();
}

const KvoMethodRegistration STRUCT_METHODS[] = {
    {u"Struct", &structConstruct},
    {u"addInt", &structAdd<FieldKind::INT>},
    {u"addIntPtr", &structAdd<FieldKind::INT_PTR>},
    {u"addInt8", &structAdd<FieldKind::INT8>},
    {u"addInt16", &structAdd<FieldKind::INT16>},
    {u"addDouble", &structAdd<FieldKind::DOUBLE>},
    {u"addDoublePtr", &structAdd<FieldKind::DOUBLE_PTR>},
    {u"addFloat", &structAdd<FieldKind::FLOAT>},
    {u"addFloatPtr", &structAdd<FieldKind::FLOAT_PTR>},
    {u"addString", &structAdd<FieldKind::STRING>},
    {u"addCBuffer", &structAdd<FieldKind::CBUFFER>},
    {u"addBuffer", &structAdd<FieldKind::BUFFER>},
    {u"addStruct", &structAdd<FieldKind::STRUCT>},
    {u"getValue", &structGetValue},
    {u"getData", &structGetData},
    {u"update", &structUpdate},
};

} // namespace

void kv2RegisterStruct(KvoVirtualMachine* vm)
{
    kvoRegisterClass(vm, u"Struct", nullptr, {{u"_data", &s_dataIndex}, {u"_dataDict", &s_dataDictIndex}},
                     STRUCT_METHODS, std::size(STRUCT_METHODS));
}
