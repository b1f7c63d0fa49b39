// The record classes POINT, SIZE, RECT, MSG and ACCEL: fixed-layout records that scripts hand to
// the window classes and to native code. Each object keeps its record's bytes in one buffer
// member, little-endian, with 32-bit signed fields unless noted:
//   POINT (_pt, 8 bytes):   x at 0, y at 4
//   SIZE  (_pt, inherited from POINT): width at 0, height at 4
//   RECT  (_rect, 16 bytes): left 0, top 4, right 8, bottom 12
//   MSG   (_msg, 28 bytes):  window handle 0, message id 4, wParam 8, lParam 12, time 16,
//                            point x 20, point y 24
//   ACCEL (_accel, 8 bytes): fVirt (8 bits) at 0, key (16 bits) at 2, cmd (16 bits) at 4
// These layouts are the scripts' data, the same on every platform; native code translates them
// to and from the platform's own structures. A new record is zero bytes before its fields are
// set. A derived script class can replace the buffer member, so every method checks that the
// member is a buffer of at least the record's size before it reads or writes a field.
#include <cstdint>
#include <iterator>

#include "nativeclasses/KvoMethodCall.h"
#include "nativeclasses/KvoNativeClassBuilder.h"

namespace {

// Member slots, cached when the classes are registered (SIZE uses POINT's).
std::int32_t s_ptIndex = -1;
std::int32_t s_rectIndex = -1;
std::int32_t s_msgIndex = -1;
std::int32_t s_accelIndex = -1;

constexpr KvoChar POINT_CLASS_NAME[] = u"POINT";
constexpr KvoChar SIZE_CLASS_NAME[] = u"SIZE";
constexpr KvoChar RECT_CLASS_NAME[] = u"RECT";
constexpr KvoChar MSG_CLASS_NAME[] = u"MSG";
constexpr KvoChar ACCEL_CLASS_NAME[] = u"ACCEL";

enum class Record : std::uint8_t { POINT, RECT, MSG, ACCEL };

struct RecordLayout {
    std::int32_t* index;      // the cached slot of the buffer member
    std::uint32_t size;       // bytes
    const KvoChar* damaged;   // the error when the receiver's member is not such a buffer
    const KvoChar* className; // the class whose objects (and derived ones) carry the record
};

constexpr RecordLayout LAYOUTS[] = {
    {&s_ptIndex, 8, KV2_BAD_POINT_DATA, POINT_CLASS_NAME},
    {&s_rectIndex, 16, KV2_BAD_RECT_DATA, RECT_CLASS_NAME},
    {&s_msgIndex, 28, KV2_BAD_MSG_DATA, MSG_CLASS_NAME},
    {&s_accelIndex, 8, KV2_BAD_ACCEL_DATA, ACCEL_CLASS_NAME},
};

constexpr const RecordLayout& layoutOf(Record record)
{
    return LAYOUTS[static_cast<std::uint8_t>(record)];
}

// Field offsets.
constexpr std::uint32_t POINT_X = 0;
constexpr std::uint32_t POINT_Y = 4;
constexpr std::uint32_t RECT_LEFT = 0;
constexpr std::uint32_t RECT_TOP = 4;
constexpr std::uint32_t RECT_RIGHT = 8;
constexpr std::uint32_t RECT_BOTTOM = 12;
constexpr std::uint32_t MSG_HWND = 0;
constexpr std::uint32_t MSG_ID = 4;
constexpr std::uint32_t MSG_WPARAM = 8;
constexpr std::uint32_t MSG_LPARAM = 12;
constexpr std::uint32_t MSG_TIME = 16;
constexpr std::uint32_t MSG_POINT_X = 20;
constexpr std::uint32_t MSG_POINT_Y = 24;
constexpr std::uint32_t ACCEL_FVIRT = 0;
constexpr std::uint32_t ACCEL_KEY = 2;
constexpr std::uint32_t ACCEL_CMD = 4;

// Values of the unset fields of a new POINT and RECT.
constexpr std::int32_t UNSET = -1;

// Explicit argument i converted to an integer: integers, floats and doubles (truncated toward
// zero); anything else fails with the type error naming KVT_INTEGER, so that the address bits of
// a string or an object never become a coordinate.
bool integerValue(KvoMethodCall& call, int i, std::int32_t& value)
{
    const KvoValue& argument = call.arg(i);
    const KvoValueType type = argument.getType();
    if (type != KVT_INTEGER && type != KVT_FLOAT && type != KVT_DOUBLE)
        return call.badType(type, KVT_INTEGER);
    value = argument.getLong();
    return true;
}

// The record buffer of object, or null when its member is not a buffer of the record's size.
KvoBuffer* recordOf(const KvoObject* object, Record record)
{
    const RecordLayout& layout = layoutOf(record);
    const KvoValue* slot = KvoMethodCall::memberOf(object, *layout.index);
    KvoBuffer* buffer = slot ? slot->getBuffer() : nullptr;
    return buffer && buffer->size() >= layout.size ? buffer : nullptr;
}

// The receiver's record; null after "Invalid data (<member>)".
KvoBuffer* ownRecord(KvoMethodCall& call, Record record)
{
    KvoBuffer* buffer = recordOf(call.self(), record);
    if (!buffer) {
        call.fail(layoutOf(record).damaged);
        return nullptr;
    }
    call.hold(KvoValue(buffer));
    return buffer;
}

// True when explicit argument i is an object of the record's class or one derived from it.
bool isRecordArg(KvoMethodCall& call, int i, const KvoChar* className)
{
    return KvoMethodCall::isObjectOf(call.arg(i), call.findClass(className));
}

// The record of explicit argument i, known to be a record object; null after "invalid member
// data" when it has none.
const KvoBuffer* argumentRecord(KvoMethodCall& call, int i, Record record)
{
    const KvoBuffer* buffer = recordOf(call.arg(i).getObject(), record);
    if (!buffer)
        call.fail(KV2_BAD_MEMBER_DATA);
    return buffer;
}

// A new record of size zero bytes.
KvoBuffer* newRecord(std::uint32_t size)
{
    auto* buffer = new KvoBuffer(size);
    buffer->setSize(size);
    return buffer;
}

KvoBuffer* copyRecord(const KvoBuffer& source, std::uint32_t size)
{
    auto* buffer = new KvoBuffer(size);
    buffer->append(source.data(), size);
    return buffer;
}

std::int32_t readField(const KvoBuffer& buffer, std::uint32_t offset, std::uint32_t width)
{
    if (width == 1)
        return buffer[offset];
    if (width == 2)
        return buffer.getW(offset);
    return static_cast<std::int32_t>(buffer.getDW(offset));
}

void writeField(KvoBuffer& buffer, std::uint32_t offset, std::uint32_t width, std::int32_t value)
{
    const auto bits = static_cast<std::uint32_t>(value);
    if (width == 1)
        buffer[offset] = static_cast<std::uint8_t>(bits);
    else if (width == 2)
        buffer.setW(offset, static_cast<std::uint16_t>(bits));
    else
        buffer.setDW(offset, bits);
}

// Wrapping 32-bit arithmetic, as script integers wrap.
std::int32_t wrappingAdd(std::int32_t a, std::int32_t b)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

std::int32_t wrappingSub(std::int32_t a, std::int32_t b)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

// Stores a new record in the receiver's member: false after "Invalid data (<member>)" when the
// receiver has no such slot.
bool setOwnRecord(KvoMethodCall& call, Record record, KvoBuffer* buffer)
{
    KvoValue held(buffer);
    KvoValue* slot = call.member(*layoutOf(record).index);
    if (!slot)
        return call.fail(layoutOf(record).damaged);
    *slot = std::move(held);
    return true;
}

// Completes call with a new object of the native class className (POINT or SIZE) holding the
// point record (x, y); fails with missing when the machine has no such class.
bool doneWithPoint(KvoMethodCall& call, const KvoChar* className, const KvoChar* missing, std::int32_t x,
                   std::int32_t y)
{
    KvoClass* c = call.findClass(className);
    if (!c || !c->getIsNative())
        return call.fail(missing);
    KvoValue result(new KvoObject(c));
    KvoValue* slot = KvoMethodCall::memberOf(result.getObject(), s_ptIndex);
    if (!slot)
        return call.fail(missing);
    KvoBuffer* record = newRecord(layoutOf(Record::POINT).size);
    record->setDW(POINT_X, static_cast<std::uint32_t>(x));
    record->setDW(POINT_Y, static_cast<std::uint32_t>(y));
    *slot = KvoValue(record);
    return call.done(std::move(result));
}

// ---- Accessors shared by the classes ----------------------------------------------------------

// A getter of the field of width bytes at offset (1 and 2 byte fields are unsigned).
template <Record record, std::uint32_t offset, std::uint32_t width = 4>
bool recordGet(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    const KvoBuffer* buffer = ownRecord(call, record);
    return buffer && call.done(KvoValue(readField(*buffer, offset, width)));
}

// A setter of that field: stores the low width bytes of the integer argument; no result.
template <Record record, std::uint32_t offset, std::uint32_t width = 4>
bool recordSet(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    KvoBuffer* buffer = ownRecord(call, record);
    std::int32_t value = 0;
    if (!buffer || !integerValue(call, 1, value))
        return false;
    writeField(*buffer, offset, width, value);
    return call.doneNull();
}

// ptr(): the address of the record bytes, for native code. It must fit a script integer.
template <Record record>
bool recordAddress(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    const KvoBuffer* buffer = ownRecord(call, record);
    return buffer && call.doneWithAddress(buffer->data());
}

// equals(other): 1 when other is a record of the same class (or a derived one) with the same
// bytes, else 0. Any other value is simply not equal, so that p == null is 0.
template <Record record>
bool recordEquals(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    const KvoBuffer* own = ownRecord(call, record);
    if (!own)
        return false;
    if (!isRecordArg(call, 1, layoutOf(record).className))
        return call.done(KvoValue(std::int32_t{0}));
    const KvoBuffer* other = argumentRecord(call, 1, record);
    if (!other)
        return false;
    bool same = true;
    for (std::uint32_t offset = 0; offset < layoutOf(record).size; offset += 4)
        same = same && own->getDW(offset) == other->getDW(offset);
    return call.done(KvoValue(std::int32_t{same ? 1 : 0}));
}

// ---- POINT and SIZE -------------------------------------------------------------------------

// POINT(), POINT(x, y), POINT(point) and POINT(x); also SIZE's constructor. The missing
// coordinates are -1.
bool pointConstruct(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 2))
        return false;
    if (call.count() == 1 && isRecordArg(call, 1, POINT_CLASS_NAME)) {
        const KvoBuffer* source = argumentRecord(call, 1, Record::POINT);
        return source && setOwnRecord(call, Record::POINT, copyRecord(*source, layoutOf(Record::POINT).size)) &&
               call.doneThis();
    }
    std::int32_t x = UNSET;
    std::int32_t y = UNSET;
    if ((call.count() >= 1 && !integerValue(call, 1, x)) || (call.count() == 2 && !integerValue(call, 2, y)))
        return false;
    KvoBuffer* record = newRecord(layoutOf(Record::POINT).size);
    record->setDW(POINT_X, static_cast<std::uint32_t>(x));
    record->setDW(POINT_Y, static_cast<std::uint32_t>(y));
    return setOwnRecord(call, Record::POINT, record) && call.doneThis();
}

// p + q and p - q: a new object of the receiver's own class; the operands stay as they are.
template <bool subtract>
bool pointArithmetic(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    const KvoBuffer* own = ownRecord(call, Record::POINT);
    if (!own)
        return false;
    if (!isRecordArg(call, 1, POINT_CLASS_NAME))
        return call.fail(KV2_POINT_EXPECTED);
    const KvoBuffer* other = argumentRecord(call, 1, Record::POINT);
    if (!other)
        return false;
    KvoBuffer* record = newRecord(layoutOf(Record::POINT).size);
    for (std::uint32_t offset : {POINT_X, POINT_Y}) {
        const auto a = static_cast<std::int32_t>(own->getDW(offset));
        const auto b = static_cast<std::int32_t>(other->getDW(offset));
        record->setDW(offset, static_cast<std::uint32_t>(subtract ? wrappingSub(a, b) : wrappingAdd(a, b)));
    }
    KvoObject* result = call.newOfOwnClass(s_ptIndex, KvoValue(record));
    if (!result)
        return call.fail(KV2_BAD_POINT_DATA);
    return call.done(KvoValue(result));
}

// ok(): 1 when width and height are both positive.
bool sizeOk(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    const KvoBuffer* record = ownRecord(call, Record::POINT);
    if (!record)
        return false;
    const bool ok = readField(*record, POINT_X, 4) > 0 && readField(*record, POINT_Y, 4) > 0;
    return call.done(KvoValue(std::int32_t{ok ? 1 : 0}));
}

const KvoMethodRegistration POINT_METHODS[] = {
    {u"POINT", &pointConstruct},
    {u"getX", &recordGet<Record::POINT, POINT_X>},
    {u"setX", &recordSet<Record::POINT, POINT_X>},
    {u"getY", &recordGet<Record::POINT, POINT_Y>},
    {u"setY", &recordSet<Record::POINT, POINT_Y>},
    {u"OP_ADD", &pointArithmetic<false>},
    {u"OP_SUB", &pointArithmetic<true>},
    {u"equals", &recordEquals<Record::POINT>},
    {u"ptr", &recordAddress<Record::POINT>},
};

const KvoMethodRegistration SIZE_METHODS[] = {
    {u"SIZE", &pointConstruct},
    {u"getW", &recordGet<Record::POINT, POINT_X>},
    {u"setW", &recordSet<Record::POINT, POINT_X>},
    {u"getH", &recordGet<Record::POINT, POINT_Y>},
    {u"setH", &recordSet<Record::POINT, POINT_Y>},
    {u"ok", &sizeOk},
};

// ---- RECT ---------------------------------------------------------------------------------------

// RECT(), RECT(left [, top [, right [, bottom]]]) with the missing ones -1, and RECT(rect).
bool rectConstruct(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 4))
        return false;
    const std::uint32_t size = layoutOf(Record::RECT).size;
    if (call.count() == 1 && isRecordArg(call, 1, RECT_CLASS_NAME)) {
        const KvoBuffer* source = argumentRecord(call, 1, Record::RECT);
        return source && setOwnRecord(call, Record::RECT, copyRecord(*source, size)) && call.doneThis();
    }
    std::int32_t sides[4] = {UNSET, UNSET, UNSET, UNSET};
    for (int i = 1; i <= call.count(); ++i) {
        if (!integerValue(call, i, sides[i - 1]))
            return false;
    }
    KvoBuffer* record = newRecord(size);
    for (std::uint32_t i = 0; i < 4; ++i)
        record->setDW(4 * i, static_cast<std::uint32_t>(sides[i]));
    return setOwnRecord(call, Record::RECT, record) && call.doneThis();
}

// getPos(): a new POINT (left, top).
bool rectGetPos(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    const KvoBuffer* rect = ownRecord(call, Record::RECT);
    return rect && doneWithPoint(call, POINT_CLASS_NAME, KV2_NO_POINT_CLASS, readField(*rect, RECT_LEFT, 4),
                                 readField(*rect, RECT_TOP, 4));
}

// getSize(): a new SIZE (right - left, bottom - top).
bool rectGetSize(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    const KvoBuffer* rect = ownRecord(call, Record::RECT);
    if (!rect)
        return false;
    const std::int32_t width = wrappingSub(readField(*rect, RECT_RIGHT, 4), readField(*rect, RECT_LEFT, 4));
    const std::int32_t height = wrappingSub(readField(*rect, RECT_BOTTOM, 4), readField(*rect, RECT_TOP, 4));
    return doneWithPoint(call, SIZE_CLASS_NAME, KV2_NO_SIZE_CLASS, width, height);
}

// setPos(point): moves the rectangle's top-left corner to the point, keeping its size.
// setSize(size): right = left + width, bottom = top + height.
template <bool moveCorner>
bool rectSetCorner(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    KvoBuffer* rect = ownRecord(call, Record::RECT);
    if (!rect)
        return false;
    if (!isRecordArg(call, 1, moveCorner ? POINT_CLASS_NAME : SIZE_CLASS_NAME))
        return call.fail(moveCorner ? KV2_POINT_EXPECTED : KV2_BAD_ARGUMENT);
    const KvoBuffer* point = argumentRecord(call, 1, Record::POINT);
    if (!point)
        return false;
    const std::int32_t x = readField(*point, POINT_X, 4);
    const std::int32_t y = readField(*point, POINT_Y, 4);
    std::int32_t left = readField(*rect, RECT_LEFT, 4);
    std::int32_t top = readField(*rect, RECT_TOP, 4);
    std::int32_t width = x;
    std::int32_t height = y;
    if (moveCorner) {
        width = wrappingSub(readField(*rect, RECT_RIGHT, 4), left);
        height = wrappingSub(readField(*rect, RECT_BOTTOM, 4), top);
        left = x;
        top = y;
    }
    writeField(*rect, RECT_LEFT, 4, left);
    writeField(*rect, RECT_TOP, 4, top);
    writeField(*rect, RECT_RIGHT, 4, wrappingAdd(left, width));
    writeField(*rect, RECT_BOTTOM, 4, wrappingAdd(top, height));
    return call.doneNull();
}

// ok(): 1 when right > left and bottom > top.
bool rectOk(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    const KvoBuffer* rect = ownRecord(call, Record::RECT);
    if (!rect)
        return false;
    const bool ok = readField(*rect, RECT_RIGHT, 4) > readField(*rect, RECT_LEFT, 4) &&
                    readField(*rect, RECT_BOTTOM, 4) > readField(*rect, RECT_TOP, 4);
    return call.done(KvoValue(std::int32_t{ok ? 1 : 0}));
}

const KvoMethodRegistration RECT_METHODS[] = {
    {u"RECT", &rectConstruct},
    {u"getLeft", &recordGet<Record::RECT, RECT_LEFT>},
    {u"setLeft", &recordSet<Record::RECT, RECT_LEFT>},
    {u"getTop", &recordGet<Record::RECT, RECT_TOP>},
    {u"setTop", &recordSet<Record::RECT, RECT_TOP>},
    {u"getRight", &recordGet<Record::RECT, RECT_RIGHT>},
    {u"setRight", &recordSet<Record::RECT, RECT_RIGHT>},
    {u"getBottom", &recordGet<Record::RECT, RECT_BOTTOM>},
    {u"setBottom", &recordSet<Record::RECT, RECT_BOTTOM>},
    {u"getPos", &rectGetPos},
    {u"setPos", &rectSetCorner<true>},
    {u"getSize", &rectGetSize},
    {u"setSize", &rectSetCorner<false>},
    {u"ok", &rectOk},
    {u"equals", &recordEquals<Record::RECT>},
    {u"ptr", &recordAddress<Record::RECT>},
};

// ---- ACCEL --------------------------------------------------------------------------------------

// ACCEL(), ACCEL(accel), ACCEL(key, cmd [, fVirt]); fVirt keeps its low 8 bits.
bool accelConstruct(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 3))
        return false;
    const std::uint32_t size = layoutOf(Record::ACCEL).size;
    if (call.count() == 1) {
        if (!isRecordArg(call, 1, ACCEL_CLASS_NAME))
            return call.fail(KV2_ACCEL_EXPECTED);
        const KvoBuffer* source = argumentRecord(call, 1, Record::ACCEL);
        return source && setOwnRecord(call, Record::ACCEL, copyRecord(*source, size)) && call.doneThis();
    }
    std::int32_t key = 0;
    std::int32_t cmd = 0;
    std::int32_t virtualFlags = 0;
    if (call.count() >= 2 && (!integerValue(call, 1, key) || !integerValue(call, 2, cmd)))
        return false;
    if (call.count() == 3 && !integerValue(call, 3, virtualFlags))
        return false;
    KvoBuffer* record = newRecord(size);
    writeField(*record, ACCEL_FVIRT, 1, virtualFlags);
    writeField(*record, ACCEL_KEY, 2, key);
    writeField(*record, ACCEL_CMD, 2, cmd);
    return setOwnRecord(call, Record::ACCEL, record) && call.doneThis();
}

const KvoMethodRegistration ACCEL_METHODS[] = {
    {u"ACCEL", &accelConstruct},
    {u"getFVirt", &recordGet<Record::ACCEL, ACCEL_FVIRT, 1>},
    {u"setFVirt", &recordSet<Record::ACCEL, ACCEL_FVIRT, 1>},
    {u"getKey", &recordGet<Record::ACCEL, ACCEL_KEY, 2>},
    {u"setKey", &recordSet<Record::ACCEL, ACCEL_KEY, 2>},
    {u"getCmd", &recordGet<Record::ACCEL, ACCEL_CMD, 2>},
    {u"setCmd", &recordSet<Record::ACCEL, ACCEL_CMD, 2>},
    {u"ptr", &recordAddress<Record::ACCEL>},
};

// ---- MSG ----------------------------------------------------------------------------------------

// MSG() (every field zero) and MSG(msg).
bool msgConstruct(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 1))
        return false;
    const std::uint32_t size = layoutOf(Record::MSG).size;
    if (call.count() == 0)
        return setOwnRecord(call, Record::MSG, newRecord(size)) && call.doneThis();
    if (!isRecordArg(call, 1, MSG_CLASS_NAME))
        return call.fail(KV2_MSG_EXPECTED);
    const KvoBuffer* source = argumentRecord(call, 1, Record::MSG);
    return source && setOwnRecord(call, Record::MSG, copyRecord(*source, size)) && call.doneThis();
}

// getPoint(): a new POINT from the message's point.
bool msgGetPoint(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    const KvoBuffer* msg = ownRecord(call, Record::MSG);
    return msg && doneWithPoint(call, POINT_CLASS_NAME, KV2_NO_POINT_CLASS, readField(*msg, MSG_POINT_X, 4),
                                readField(*msg, MSG_POINT_Y, 4));
}

// setPoint(point): the message's point becomes a copy of the argument's.
bool msgSetPoint(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    KvoBuffer* msg = ownRecord(call, Record::MSG);
    if (!msg)
        return false;
    if (!isRecordArg(call, 1, POINT_CLASS_NAME))
        return call.fail(KV2_POINT_EXPECTED);
    const KvoBuffer* point = argumentRecord(call, 1, Record::POINT);
    if (!point)
        return false;
    msg->setDW(MSG_POINT_X, point->getDW(POINT_X));
    msg->setDW(MSG_POINT_Y, point->getDW(POINT_Y));
    return call.doneNull();
}

// The window handle is stored as it is given: this platform's handles are opaque numbers below
// 2^31, so a handle always fits the 32-bit field.
const KvoMethodRegistration MSG_METHODS[] = {
    {u"MSG", &msgConstruct},
    {u"getHwnd", &recordGet<Record::MSG, MSG_HWND>},
    {u"setHwnd", &recordSet<Record::MSG, MSG_HWND>},
    {u"getMsgId", &recordGet<Record::MSG, MSG_ID>},
    {u"setMsgId", &recordSet<Record::MSG, MSG_ID>},
    {u"getWParam", &recordGet<Record::MSG, MSG_WPARAM>},
    {u"setWParam", &recordSet<Record::MSG, MSG_WPARAM>},
    {u"getLParam", &recordGet<Record::MSG, MSG_LPARAM>},
    {u"setLParam", &recordSet<Record::MSG, MSG_LPARAM>},
    {u"getTime", &recordGet<Record::MSG, MSG_TIME>},
    {u"setTime", &recordSet<Record::MSG, MSG_TIME>},
    {u"getPoint", &msgGetPoint},
    {u"setPoint", &msgSetPoint},
    {u"getX", &recordGet<Record::MSG, MSG_POINT_X>},
    {u"setX", &recordSet<Record::MSG, MSG_POINT_X>},
    {u"getY", &recordGet<Record::MSG, MSG_POINT_Y>},
    {u"setY", &recordSet<Record::MSG, MSG_POINT_Y>},
    {u"ptr", &recordAddress<Record::MSG>},
};

} // namespace

void kv2RegisterPoint(KvoVirtualMachine* vm)
{
    kvoRegisterClass(vm, POINT_CLASS_NAME, nullptr, {{u"_pt", &s_ptIndex}}, POINT_METHODS, std::size(POINT_METHODS));
}

// SIZE derives from the machine's POINT and exists only with it: a POINT that is not the native
// record class (a script class of that name) has no record for SIZE's methods to use.
void kv2RegisterSize(KvoVirtualMachine* vm)
{
    const KvoDictionaryEntry* entry = vm->classes().find(POINT_CLASS_NAME);
    KvoClass* point = entry ? entry->getValue().getClass() : nullptr;
    if (!point || !point->getIsNative())
        return;
    kvoRegisterClass(vm, SIZE_CLASS_NAME, point, {}, SIZE_METHODS, std::size(SIZE_METHODS));
}

void kv2RegisterRect(KvoVirtualMachine* vm)
{
    kvoRegisterClass(vm, RECT_CLASS_NAME, nullptr, {{u"_rect", &s_rectIndex}}, RECT_METHODS, std::size(RECT_METHODS));
}

void kv2RegisterAccel(KvoVirtualMachine* vm)
{
    kvoRegisterClass(vm, ACCEL_CLASS_NAME, nullptr, {{u"_accel", &s_accelIndex}}, ACCEL_METHODS,
                     std::size(ACCEL_METHODS));
}

void kv2RegisterMsg(KvoVirtualMachine* vm)
{
    kvoRegisterClass(vm, MSG_CLASS_NAME, nullptr, {{u"_msg", &s_msgIndex}}, MSG_METHODS, std::size(MSG_METHODS));
}
