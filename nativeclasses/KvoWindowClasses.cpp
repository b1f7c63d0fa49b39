// The window classes WinMsgHandler and WinBase: a script class derives from WinBase, creates a
// window (of the module's class Kv2Window or any other), receives the window's messages in
// handleMessage, lets WinMsgHandler objects see them first, and runs the message loop with the
// static method mainLoop. The module state they share is in KvoWindowTable.cpp, the virtual size
// and scrolling methods in KvoWindowScrolling.cpp.
//
// Every WinBase method runs inside a handler-error scope (kv2Scoped): an error that a script's
// handleMessage raises while the window procedure delivers a message caused by the method fails
// the method, instead of vanishing in the procedure's fallback to the default handling.
#include <climits>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <utility>
#include <vector>

#include "nativeclasses/KvoNativeClassBuilder.h"
#include "nativeclasses/KvoWindowClasses.h"
#include "platform/KvoGdi.h"
#include "platform/KvoLibrary.h"

namespace {

constexpr KvoChar POINT_CLASS[] = u"POINT";
constexpr KvoChar SIZE_CLASS[] = u"SIZE";
constexpr KvoChar RECT_CLASS[] = u"RECT";
constexpr KvoChar MSG_CLASS[] = u"MSG";
constexpr KvoChar ACCEL_CLASS[] = u"ACCEL";
constexpr std::uint32_t MSG_RECORD_SIZE = 28;
constexpr std::uint32_t ACCEL_RECORD_SIZE = 8;

// Defaults of create.
constexpr int MAX_CREATE_ARGUMENTS = 10;
constexpr std::int32_t DEFAULT_EXTENT = 100;
// Colours are 0x00BBGGRR.
constexpr std::uint32_t COLOR_BITS = 0x00FFFFFF;
// Most children getChildrenHandles follows (a bound against a damaged sibling chain).
constexpr std::uint32_t MAX_CHILDREN = 1u << 20;
// The longest window text getWindowText reads.
constexpr int MAX_WINDOW_TEXT = 1 << 24;
// Accelerator tables hold at most this many entries.
constexpr std::size_t MAX_ACCELERATORS = 32767;

// ---- Static methods' call bookkeeping ----------------------------------------------------------

// The arguments of a static method: base[1] .. base[argc], no receiver.
class StaticCall
{
public:
    StaticCall(KvoVirtualMachine* vm, int argc, ValPtr& args) noexcept
        : m_vm(vm), m_argc(argc), m_args(args), m_base(args)
    {
        m_base -= argc;
    }
    KvoVirtualMachine* vm() const noexcept { return m_vm; }
    KvoInterpreter* interpreter() const noexcept { return m_vm ? m_vm->interpreter() : nullptr; }
    int count() const noexcept { return m_argc; }
    KvoValue& arg(int i) const noexcept { return m_base[i]; }
    bool countBetween(int min, int max)
    {
        if (m_argc < min)
            return fail(KVO_LIB_TOO_FEW_ARGS);
        if (m_argc > max)
            return fail(KVO_LIB_TOO_MANY_ARGS);
        return true;
    }
    bool integerArg(int i, std::int32_t& value)
    {
        KvoInterpreter* running = interpreter();
        if (!running || !running->checkType(arg(i), KVT_INTEGER))
            return false;
        value = arg(i).getLong();
        return true;
    }
    bool fail(const KvoChar* text, const KvoChar* detail = nullptr)
    {
        KvoInterpreter* running = interpreter();
        return running ? running->returnError(text, detail) : false;
    }
    bool failFormatted(const KvoString& text)
    {
        KvoInterpreter* running = interpreter();
        return running ? running->returnError(KvoValue(new KvoString(text))) : false;
    }
    bool done(KvoValue value)
    {
        m_base[0] = std::move(value);
        m_args = m_base;
        return true;
    }

private:
    KvoVirtualMachine* m_vm;
    int m_argc;
    ValPtr& m_args;
    ValPtr m_base;
};

// The class variable name of WinBase; null after "Class WinBase not found." or "Member
// WinBase::<name> not found." (createID: classMissing for the member).
KvoDictionaryEntry* staticMember(StaticCall& call, const KvoChar* name, const KvoChar* memberMissing = nullptr)
{
    const KvoDictionaryEntry* classEntry = call.vm()->classes().find(KV2_WINBASE_CLASS_NAME);
    KvoClass* c = classEntry ? classEntry->getValue().getClass() : nullptr;
    if (!c) {
        call.failFormatted(KvoString::format(KV2_CLASS_NOT_FOUND_FORMAT, KV2_WINBASE_CLASS_NAME));
        return nullptr;
    }
    KvoDictionaryEntry* member = c->findMember(name, true);
    if (!member || member->getSymbolType() != SYM_VARIABLE) {
        if (memberMissing)
            call.fail(memberMissing);
        else
            call.failFormatted(KvoString::format(KV2_MEMBER_NOT_FOUND_FORMAT, KV2_WINBASE_CLASS_NAME, name));
        return nullptr;
    }
    return member;
}

// ---- Shared checks --------------------------------------------------------------------------------

KvoClass* winBaseClass(const KvoMethodCall& call)
{
    return call.findClass(KV2_WINBASE_CLASS_NAME);
}

// The receiver's live window; null after "Invalid window handle.".
HWND needWindow(KvoMethodCall& call)
{
    HWND hwnd = kv2LiveWindowOf(call.self());
    if (!hwnd)
        call.fail(KV2_INVALID_WINDOW);
    return hwnd;
}

bool doneInteger(KvoMethodCall& call, std::int32_t value)
{
    return call.done(KvoValue(value));
}

bool doneFlag(KvoMethodCall& call, bool flag)
{
    return call.done(KvoValue(std::int32_t{flag ? 1 : 0}));
}

// The receiver's vector member at slot; null after error when the member is not a vector.
KvoVector* vectorMember(KvoMethodCall& call, std::int32_t slot, const KvoChar* error)
{
    const KvoValue* value = call.member(slot);
    if (!value || (value->getType() != KVT_VECTOR && value->getType() != KVT_VECTORREF)) {
        call.fail(error);
        return nullptr;
    }
    call.hold(*value);
    return value->getVector();
}

std::int32_t clampToInt(std::int64_t value)
{
    return value > INT32_MAX ? INT32_MAX : value < INT32_MIN ? INT32_MIN : static_cast<std::int32_t>(value);
}

void writeMsgRecord(KvoBuffer& record, const MSG& msg)
{
    record.setDW(0, static_cast<std::uint32_t>(kv2IntegerOf(msg.hwnd)));
    record.setDW(4, msg.message);
    record.setDW(8, static_cast<std::uint32_t>(msg.wParam));
    record.setDW(12, static_cast<std::uint32_t>(msg.lParam));
    record.setDW(16, msg.time);
    record.setDW(20, static_cast<std::uint32_t>(msg.pt.x));
    record.setDW(24, static_cast<std::uint32_t>(msg.pt.y));
}

MSG readMsgRecord(const KvoBuffer& record)
{
    MSG msg{};
    msg.hwnd = kv2WindowOf(static_cast<std::int32_t>(record.getDW(0)));
    msg.message = record.getDW(4);
    msg.wParam = record.getDW(8);
    msg.lParam = static_cast<std::int32_t>(record.getDW(12));
    msg.time = record.getDW(16);
    msg.pt.x = static_cast<std::int32_t>(record.getDW(20));
    msg.pt.y = static_cast<std::int32_t>(record.getDW(24));
    return msg;
}

// ---- WinMsgHandler --------------------------------------------------------------------------------

// An owner must be a WinBase object or null. The handler keeps it through a non-owning
// reference: the window owns its handlers (through _handlerList), so an owning reference back
// would make every window with a handler a cycle that is never freed.
bool storeOwner(KvoMethodCall& call, int i)
{
    const KvoValue& owner = call.arg(i);
    KvoValue* slot = call.member(g_handlerOwnerSlot);
    if (!slot)
        return call.fail(KV2_BAD_MEMBER_DATA);
    if (owner.isNull()) {
        slot->dispose();
        return true;
    }
    if (!KvoMethodCall::isObjectOf(owner, winBaseClass(call)))
        return call.fail(KV2_WINDOW_REFERENCE_EXPECTED);
    *slot = KvoValue(owner.getObject(), true);
    return true;
}

bool handlerConstruct(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 1))
        return false;
    if (call.count() == 1 && !storeOwner(call, 1))
        return false;
    return call.doneThis();
}

bool handlerSetOwner(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    return call.needThis() && call.countBetween(1, 1) && storeOwner(call, 1) && call.doneNull();
}

bool handlerGetOwner(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    const KvoValue* slot = call.member(g_handlerOwnerSlot);
    KvoObject* owner = slot ? slot->getObject() : nullptr;
    return call.done(owner ? KvoValue(owner) : KvoValue());
}

// The default handler passes every message on.
bool handlerHandleMessage(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    return call.needThis() && call.countBetween(5, 5) && doneInteger(call, 1);
}

bool handlerEquals(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    return call.needThis() && call.countBetween(1, 1) && doneFlag(call, call.arg(1).getObject() == call.self());
}

const KvoMethodRegistration HANDLER_METHODS[] = {
    {u"WinMsgHandler", &handlerConstruct},
    {u"setOwner", &handlerSetOwner},
    {u"getOwner", &handlerGetOwner},
    {u"handleMessage", &handlerHandleMessage},
    {u"equals", &handlerEquals},
};

// ---- WinBase: life and creation ---------------------------------------------------------------

bool winConstruct(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    KvoClass* rectClass = call.findClass(RECT_CLASS);
    KvoValue rect;
    if (!rectClass || !rectClass->getIsNative())
        return call.fail(KV2_NOT_INITIALIZED);
    if (!call.interpreter()->createObject(rect, rectClass, nullptr))
        return false;
    KvoObject* self = call.self();
    const Kv2WinBaseSlots& s = g_winBaseSlots;
    for (std::int32_t slot : {s.hwnd, s.savedWndProc, s.useVirtualSize, s.scrollBarMode, s.lifeScroll, s.backBrush,
                              s.haccel})
        kv2SetMemberInteger(self, slot, 0);
    kv2SetMemberInteger(self, s.sx, 10);
    kv2SetMemberInteger(self, s.sy, 10);
    kv2SetMemberInteger(self, s.foreColor, -1);
    kv2SetMemberInteger(self, s.backColor, -1);
    for (std::int32_t slot : {s.handlerList, s.accelArray}) {
        if (KvoValue* value = call.member(slot))
            *value = KvoValue(new KvoVector());
    }
    if (KvoValue* value = call.member(s.virtualRect))
        *value = rect;
    return call.doneThis();
}

// The object's accelerator table goes with it; the window stays (it may outlive the object, and
// then its messages get the default handling).
bool winDestruct(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    KvoObject* self = call.self();
    kv2DestroyAccelerator(kv2HandleOf(kv2MemberInteger(self, g_winBaseSlots.haccel)));
    kv2SetMemberInteger(self, g_winBaseSlots.haccel, 0);
    kv2TableRemove(kv2WindowOf(kv2MemberInteger(self, g_winBaseSlots.hwnd)), self);
    return call.doneNull();
}

// Subclasses hwnd unless it runs the module's procedure already; the replaced procedure is kept
// by the module (a script could write anything into _savedWndProc), the member shows its address.
void adoptProcedure(KvoObject* self, HWND hwnd)
{
    if (WNDPROC previous = kv2Subclass(hwnd)) {
        FARPROC shown = kvoLowTrampoline(reinterpret_cast<FARPROC>(previous));
        const std::int32_t value = shown ? kv2IntegerOf(reinterpret_cast<void*>(shown)) : 1;
        kv2SetMemberInteger(self, g_winBaseSlots.savedWndProc, value);
    }
}

// create(class [, parent, x, y, width, height, style, exStyle, id, title])
bool winCreate(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, MAX_CREATE_ARGUMENTS))
        return false;
    if (call.arg(1).getType() != KVT_STRING && call.arg(1).getType() != KVT_STRINGREF)
        return call.badType(call.arg(1).getType(), KVT_STRING);
    const KvoString* className = call.textArg(1);
    const KvoString* title = call.count() >= 10 ? call.textArg(10) : nullptr;
    if (!className || (call.count() >= 10 && !title))
        return false;
    HWND parent = nullptr;
    if (call.count() >= 2 && !call.arg(2).isNull()) {
        if (call.arg(2).getObject()) {
            if (!KvoMethodCall::isObjectOf(call.arg(2), winBaseClass(call)))
                return call.fail(KV2_WINDOW_EXPECTED);
            parent = kv2WindowOf(kv2MemberInteger(call.arg(2).getObject(), g_winBaseSlots.hwnd));
        } else {
            std::int32_t handle = 0;
            if (!call.integerArg(2, handle))
                return false;
            parent = kv2WindowOf(handle);
        }
    }
    std::int32_t numbers[] = {CW_USEDEFAULT, CW_USEDEFAULT, DEFAULT_EXTENT, DEFAULT_EXTENT, 0, 0, 0};
    for (int i = 3; i <= call.count() && i <= 9; ++i) {
        if (!call.integerArg(i, numbers[i - 3]))
            return false;
    }
    // A negative extent stands for its absolute value (the most negative one for the largest).
    for (std::int32_t* extent : {&numbers[2], &numbers[3]}) {
        if (*extent < 0)
            *extent = *extent == INT32_MIN ? INT32_MAX : -*extent;
    }
    KvoObject* self = call.self();
    kv2SetPending(self);
    HWND hwnd = CreateWindowExW(static_cast<DWORD>(numbers[5]), className->c_str(), title ? title->c_str() : u"",
                                static_cast<DWORD>(numbers[4]), numbers[0], numbers[1], numbers[2], numbers[3], parent,
                                reinterpret_cast<HMENU>(static_cast<std::intptr_t>(numbers[6])), kv2ModuleInstance(),
                                self);
    kv2ClearPending();
    // A handler may have destroyed the window while it was being created.
    if (!hwnd || !IsWindow(hwnd))
        return call.fail(KV2_CREATION_FAILED);
    kv2SetMemberInteger(self, g_winBaseSlots.hwnd, kv2IntegerOf(hwnd));
    adoptProcedure(self, hwnd);
    kv2TableInsert(hwnd, self);
    return doneFlag(call, kv2TableFind(hwnd) == self);
}

bool winCreateFromHandle(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::int32_t handle = 0;
    if (!call.needThis() || !call.countBetween(1, 1) || !call.integerArg(1, handle))
        return false;
    HWND hwnd = kv2WindowOf(handle);
    KvoObject* self = call.self();
    if (handle == 0 || !IsWindow(hwnd) || kv2TableFind(hwnd) || kv2LiveWindowOf(self))
        return doneFlag(call, false);
    kv2SetMemberInteger(self, g_winBaseSlots.hwnd, handle);
    adoptProcedure(self, hwnd);
    kv2TableInsert(hwnd, self);
    return doneFlag(call, true);
}

bool winGetHandle(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    return call.needThis() && call.countBetween(0, 0) &&
           doneInteger(call, kv2MemberInteger(call.self(), g_winBaseSlots.hwnd));
}

bool winGetParent(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    HWND hwnd = needWindow(call);
    if (!hwnd)
        return false;
    KvoObject* parent = kv2TableFind(GetParent(hwnd));
    return call.done(parent ? KvoValue(parent) : KvoValue());
}

bool winAddChild(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    HWND hwnd = needWindow(call);
    if (!hwnd)
        return false;
    HWND child = KvoMethodCall::isObjectOf(call.arg(1), winBaseClass(call)) ? kv2LiveWindowOf(call.arg(1).getObject())
                                                                            : nullptr;
    if (!child)
        return call.fail(KV2_WINDOW_EXPECTED);
    SetParent(child, hwnd);
    return doneFlag(call, GetParent(child) == hwnd);
}

bool winGetChildrenHandles(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    HWND hwnd = needWindow(call);
    if (!hwnd)
        return false;
    KvoValue result(new KvoVector());
    std::uint32_t count = 0;
    for (HWND child = GetWindow(hwnd, GW_CHILD); child && count < MAX_CHILDREN; child = GetWindow(child, GW_HWNDNEXT)) {
        result.getVector()->push_back(KvoValue(kv2IntegerOf(child)));
        ++count;
    }
    return call.done(std::move(result));
}

// ---- WinBase: geometry ------------------------------------------------------------------------

enum class Geometry : std::uint8_t {
    POS_X, POS_Y, CLIENT_POS_X, CLIENT_POS_Y, WIDTH, HEIGHT, CLIENT_WIDTH, CLIENT_HEIGHT,
    POSITION, CLIENT_POSITION, SIZE, CLIENT_SIZE, WINDOW_RECT, CLIENT_RECT,
};

template <Geometry what>
bool winGeometry(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    HWND hwnd = needWindow(call);
    RECT window{};
    RECT client{};
    if (!hwnd)
        return false;
    if (!kv2WindowRectInParent(hwnd, window) || !kv2ClientRectInWindow(hwnd, client))
        return call.fail(KV2_INVALID_WINDOW);
    const std::int32_t width = clampToInt(std::int64_t{window.right} - window.left);
    const std::int32_t height = clampToInt(std::int64_t{window.bottom} - window.top);
    const std::int32_t clientWidth = clampToInt(std::int64_t{client.right} - client.left);
    const std::int32_t clientHeight = clampToInt(std::int64_t{client.bottom} - client.top);
    switch (what) {
    case Geometry::POS_X:
        return doneInteger(call, window.left);
    case Geometry::POS_Y:
        return doneInteger(call, window.top);
    case Geometry::CLIENT_POS_X:
        return doneInteger(call, client.left);
    case Geometry::CLIENT_POS_Y:
        return doneInteger(call, client.top);
    case Geometry::WIDTH:
        return doneInteger(call, width);
    case Geometry::HEIGHT:
        return doneInteger(call, height);
    case Geometry::CLIENT_WIDTH:
        return doneInteger(call, clientWidth);
    case Geometry::CLIENT_HEIGHT:
        return doneInteger(call, clientHeight);
    case Geometry::POSITION:
        return kv2DoneWithRecord(call, POINT_CLASS, {window.left, window.top});
    case Geometry::CLIENT_POSITION:
        return kv2DoneWithRecord(call, POINT_CLASS, {client.left, client.top});
    case Geometry::SIZE:
        return kv2DoneWithRecord(call, SIZE_CLASS, {width, height});
    case Geometry::CLIENT_SIZE:
        return kv2DoneWithRecord(call, SIZE_CLASS, {clientWidth, clientHeight});
    case Geometry::WINDOW_RECT:
        return kv2DoneWithRecord(call, RECT_CLASS, {window.left, window.top, window.right, window.bottom});
    case Geometry::CLIENT_RECT:
        return kv2DoneWithRecord(call, RECT_CLASS, {client.left, client.top, client.right, client.bottom});
    }
    return false;
}

// Reads a (POINT or SIZE) record argument through its two getters, or two integers. Returns the
// number of arguments used (1 or 2), 0 after raising.
int pairArgument(KvoMethodCall& call, const KvoChar* className, const KvoChar* getFirst, const KvoChar* getSecond,
                 const KvoChar* expected, std::int32_t& first, std::int32_t& second)
{
    if (call.arg(1).getObject()) {
        if (!KvoMethodCall::isObjectOf(call.arg(1), call.findClass(className))) {
            call.fail(expected);
            return 0;
        }
        if (call.count() > 2) {
            call.fail(KVO_LIB_TOO_MANY_ARGS);
            return 0;
        }
        KvoObject* record = call.arg(1).getObject();
        KvoValue a;
        KvoValue b;
        if (!kv2Invoke(call, record, getFirst, {}, a) || !kv2Invoke(call, record, getSecond, {}, b))
            return 0;
        first = a.getLong();
        second = b.getLong();
        return 1;
    }
    if (call.count() < 2) {
        call.fail(KVO_LIB_TOO_FEW_ARGS);
        return 0;
    }
    return call.integerArg(1, first) && call.integerArg(2, second) ? 2 : 0;
}

// setPosition(POINT [, repaint]) / setPosition(x, y [, repaint]); setSize likewise with SIZE.
template <bool position>
bool winPlace(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 3))
        return false;
    std::int32_t first = 0;
    std::int32_t second = 0;
    const int used =
        position ? pairArgument(call, POINT_CLASS, u"getX", u"getY", KV2_POINT_ARGUMENT_EXPECTED, first, second)
                 : pairArgument(call, SIZE_CLASS, u"getW", u"getH", KV2_SIZE_ARGUMENT_EXPECTED, first, second);
    std::int32_t repaint = 1;
    if (used == 0 || (call.count() > used && !call.integerArg(used + 1, repaint)))
        return false;
    // The getters may have run script code: the window is read afterwards.
    HWND hwnd = needWindow(call);
    RECT rect{};
    if (!hwnd)
        return false;
    if (!kv2WindowRectInParent(hwnd, rect))
        return doneFlag(call, false);
    const std::int32_t x = position ? first : rect.left;
    const std::int32_t y = position ? second : rect.top;
    const std::int32_t width = position ? clampToInt(std::int64_t{rect.right} - rect.left) : first;
    const std::int32_t height = position ? clampToInt(std::int64_t{rect.bottom} - rect.top) : second;
    return doneFlag(call, MoveWindow(hwnd, x, y, width, height, repaint) != FALSE);
}

// ---- WinBase: styles and visibility -------------------------------------------------------------

enum class StyleOp : std::uint8_t { GET, HAS, SET, ADD, REMOVE };

template <int index, StyleOp op>
bool winStyle(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    const int expected = op == StyleOp::GET ? 0 : 1;
    std::int32_t bits = 0;
    if (!call.needThis() || !call.countBetween(expected, expected) || (expected == 1 && !call.integerArg(1, bits)))
        return false;
    HWND hwnd = needWindow(call);
    if (!hwnd)
        return false;
    const auto current = static_cast<std::uint32_t>(GetWindowLongPtrW(hwnd, index));
    const auto mask = static_cast<std::uint32_t>(bits);
    std::uint32_t next = current;
    switch (op) {
    case StyleOp::GET:
        return doneInteger(call, static_cast<std::int32_t>(current));
    case StyleOp::HAS:
        return doneFlag(call, (current & mask) != 0);
    case StyleOp::SET:
        next = mask;
        break;
    case StyleOp::ADD:
        next = current | mask;
        break;
    case StyleOp::REMOVE:
        next = current & ~mask;
        break;
    }
    const LONG_PTR previous = SetWindowLongPtrW(hwnd, index, static_cast<LONG_PTR>(static_cast<std::int32_t>(next)));
    return doneFlag(call, previous != 0);
}

enum class Visibility : std::uint8_t { MINIMIZED, VISIBLE };

template <Visibility what>
bool winVisibility(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    HWND hwnd = needWindow(call);
    if (!hwnd)
        return false;
    const bool visible = IsWindowVisible(hwnd) != FALSE;
    return doneFlag(call, what == Visibility::VISIBLE ? visible : !visible);
}

template <int command>
bool winShowCommand(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    HWND hwnd = needWindow(call);
    return hwnd && doneInteger(call, ShowWindow(hwnd, command));
}

bool winShow(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::int32_t command = SW_SHOWNORMAL;
    if (!call.needThis() || !call.countBetween(0, 1) || (call.count() == 1 && !call.integerArg(1, command)))
        return false;
    HWND hwnd = needWindow(call);
    return hwnd && doneInteger(call, ShowWindow(hwnd, command));
}

// ---- WinBase: messages ----------------------------------------------------------------------------

bool winPreprocessMessage(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    KvoObject* self = call.self();
    const auto table = static_cast<HACCEL>(kv2HandleOf(kv2MemberInteger(self, g_winBaseSlots.haccel)));
    if (table) {
        if (!KvoMethodCall::isObjectOf(call.arg(1), call.findClass(MSG_CLASS)))
            return call.fail(KV2_MSG_ARGUMENT_EXPECTED);
        const KvoBuffer* record = kv2RecordOf(call.arg(1).getObject(), u"_msg", MSG_RECORD_SIZE);
        if (!record)
            return call.fail(KV2_BAD_MSG_ARGUMENT);
        MSG msg = readMsgRecord(*record);
        HWND hwnd = kv2LiveWindowOf(self);
        if (hwnd && kv2IsAccelerator(table) && TranslateAcceleratorW(hwnd, table, &msg))
            return doneFlag(call, true);
    }
    // A window's parent sees what its child did not use (a menu's accelerators, say).
    if (!kv2LiveWindowOf(self))
        return doneFlag(call, false);
    const KvoValue message = call.arg(1);
    KvoValue parent;
    if (!kv2Invoke(call, self, u"getParent", {}, parent))
        return false;
    if (KvoObject* parentObject = parent.getObject()) {
        KvoValue handled;
        if (!kv2Invoke(call, parentObject, u"preprocessMessage", {message}, handled))
            return false;
        if (handled.getLong() != 0)
            return doneFlag(call, true);
    }
    return doneFlag(call, false);
}

// Step 1 of handleMessage: the attached handlers in list order. Returns false after raising;
// stopped is set when a handler answered 0.
bool runHandlers(KvoMethodCall& call, const std::int32_t (&message)[4], bool& stopped)
{
    stopped = false;
    const KvoValue* listValue = call.member(g_winBaseSlots.handlerList);
    const KvoVector* list = listValue && (listValue->getType() == KVT_VECTOR || listValue->getType() == KVT_VECTORREF)
                                ? listValue->getVector()
                                : nullptr;
    if (!list || list->size() == 0)
        return true;
    // The walk goes over a copy that holds every handler: a handler may remove itself or others
    // while it runs.
    std::vector<KvoValue> handlers;
    handlers.reserve(list->size());
    for (std::uint32_t i = 0; i < list->size(); ++i)
        handlers.push_back((*list)[i]);
    for (const KvoValue& handler : handlers) {
        KvoObject* object = handler.getObject();
        if (!object)
            continue;
        KvoValue result;
        if (!kv2Invoke(call, object, u"handleMessage",
                       {KvoValue(call.self()), KvoValue(message[0]), KvoValue(message[1]), KvoValue(message[2]),
                        KvoValue(message[3])},
                       result))
            return false;
        if (result.getLong() == 0) {
            stopped = true;
            return true;
        }
    }
    return true;
}

// handleMessage(hwnd, msg, wParam, lParam)
bool winHandleMessage(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(4, 4))
        return false;
    std::int32_t message[4] = {};
    for (int i = 0; i < 4; ++i) {
        if (!call.integerArg(i + 1, message[i]))
            return false;
    }
    bool stopped = false;
    if (!runHandlers(call, message, stopped))
        return false;
    if (stopped)
        return doneInteger(call, 0);
    KvoObject* self = call.self();
    HWND hwnd = kv2WindowOf(message[0]);
    const auto msg = static_cast<UINT>(message[1]);
    if (hwnd && hwnd == kv2WindowOf(kv2MemberInteger(self, g_winBaseSlots.hwnd))) {
        const bool virtualSize = kv2MemberInteger(self, g_winBaseSlots.useVirtualSize) != 0;
        const auto brush = static_cast<HBRUSH>(kv2HandleOf(kv2MemberInteger(self, g_winBaseSlots.backBrush)));
        if (msg == WM_DESTROY && brush) {
            DeleteObject(brush);
            kv2SetMemberInteger(self, g_winBaseSlots.backBrush, 0);
        } else if (msg == WM_SIZE && virtualSize) {
            if (!kv2HandleSizeMessage(call, message[3]))
                return false;
        } else if (msg == WM_ERASEBKGND && brush) {
            RECT client{};
            GetClientRect(hwnd, &client);
            FillRect(static_cast<HDC>(kv2HandleOf(message[2])), &client, brush);
            // Non-zero: the background is erased, BeginPaint need not erase it again.
            return doneInteger(call, 1);
        } else if ((msg == WM_HSCROLL || msg == WM_VSCROLL) && virtualSize) {
            if (!kv2HandleScrollMessage(call, hwnd, msg == WM_VSCROLL, message[2]))
                return false;
        }
    }
    return doneInteger(call, kv2DefaultProcedure(hwnd, message[1], message[2], message[3]));
}

// The handler argument of addMsgHandler / removeMsgHandler and the list; false after raising.
bool handlerAndList(KvoMethodCall& call, KvoVector*& list)
{
    if (!KvoMethodCall::isObjectOf(call.arg(1), call.findClass(KV2_HANDLER_CLASS_NAME)))
        return call.fail(KV2_HANDLER_EXPECTED);
    list = vectorMember(call, g_winBaseSlots.handlerList, KV2_HANDLER_LIST_MISSING);
    return list != nullptr;
}

std::int64_t indexOf(const KvoVector& list, const KvoObject* object)
{
    for (std::uint32_t i = 0; i < list.size(); ++i) {
        if (list[i].getObject() == object)
            return i;
    }
    return -1;
}

bool winAddMsgHandler(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    KvoVector* list = nullptr;
    if (!call.needThis() || !call.countBetween(1, 1) || !handlerAndList(call, list))
        return false;
    const KvoValue handler = call.arg(1);
    KvoObject* handlerObject = handler.getObject();
    if (indexOf(*list, handlerObject) >= 0)
        return doneFlag(call, false);
    const KvoValue* owner = KvoMethodCall::memberOf(handlerObject, g_handlerOwnerSlot);
    if (!owner || owner->isNull()) {
        KvoValue ignored;
        if (!kv2Invoke(call, handlerObject, u"setOwner", {KvoValue(call.self())}, ignored))
            return false;
    }
    // setOwner may have replaced the list: it is read again.
    if (!handlerAndList(call, list))
        return false;
    if (indexOf(*list, handlerObject) >= 0)
        return doneFlag(call, false);
    list->push_back(handler);
    return doneFlag(call, true);
}

bool winRemoveMsgHandler(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    KvoVector* list = nullptr;
    if (!call.needThis() || !call.countBetween(1, 1) || !handlerAndList(call, list))
        return false;
    const std::int64_t index = indexOf(*list, call.arg(1).getObject());
    if (index < 0)
        return doneFlag(call, false);
    // The handler leaves the list after the elements behind it moved up (its value may be the
    // last reference, and its destructor may look at the list).
    KvoValue removed = (*list)[static_cast<std::uint32_t>(index)];
    for (auto i = static_cast<std::uint32_t>(index); i + 1 < list->size(); ++i)
        (*list)[i] = (*list)[i + 1];
    list->truncate(list->size() - 1);
    return doneFlag(call, true);
}

bool winRemoveAllMsgHandlers(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    KvoVector* list = vectorMember(call, g_winBaseSlots.handlerList, KV2_HANDLER_LIST_MISSING);
    if (!list)
        return false;
    KvoValue held(new KvoVector(*list));
    list->clear();
    return call.doneNull();
}

// ---- WinBase: accelerators --------------------------------------------------------------------

bool winGetAcceleratorArray(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    const KvoValue* value = call.member(g_winBaseSlots.accelArray);
    return call.done(value ? *value : KvoValue());
}

// Builds the accelerator table of the receiver from the ACCEL records in _accelArray. Returns 1
// when a table was built, 0 when there is none (no records, or the system refused).
bool winApplyAccelerators(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    KvoObject* self = call.self();
    KvoVector* list = vectorMember(call, g_winBaseSlots.accelArray, KV2_ACCEL_ARRAY_MISSING);
    if (!list)
        return false;
    kv2DestroyAccelerator(kv2HandleOf(kv2MemberInteger(self, g_winBaseSlots.haccel)));
    kv2SetMemberInteger(self, g_winBaseSlots.haccel, 0);
    std::vector<ACCEL> accelerators;
    for (std::uint32_t i = 0; i < list->size() && accelerators.size() < MAX_ACCELERATORS; ++i) {
        const KvoBuffer* record = kv2RecordOf((*list)[i].getObject(), u"_accel", ACCEL_RECORD_SIZE);
        if (record)
            accelerators.push_back(ACCEL{(*record)[0], record->getW(2), record->getW(4)});
    }
    if (accelerators.empty())
        return doneFlag(call, false);
    HACCEL table = CreateAcceleratorTableW(accelerators.data(), static_cast<int>(accelerators.size()));
    const auto value = reinterpret_cast<std::intptr_t>(table);
    if (!table || value <= 0 || value > INT32_MAX) {
        // A table whose handle a script integer cannot hold could never be used or freed.
        if (table)
            DestroyAcceleratorTable(table);
        return doneFlag(call, false);
    }
    kv2RememberAccelerator(table);
    kv2SetMemberInteger(self, g_winBaseSlots.haccel, kv2IntegerOf(table));
    return doneFlag(call, true);
}

// addAccelerator(fVirt [, key [, cmd]]): appends ACCEL(key, cmd, fVirt) and rebuilds the table.
bool winAddAccelerator(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 3))
        return false;
    std::int32_t fields[3] = {0, 0, 0};
    for (int i = 1; i <= call.count(); ++i) {
        if (!call.integerArg(i, fields[i - 1]))
            return false;
    }
    if (!vectorMember(call, g_winBaseSlots.accelArray, KV2_ACCEL_ARRAY_MISSING))
        return false;
    KvoClass* accelClass = call.findClass(ACCEL_CLASS);
    if (!accelClass || !accelClass->getIsNative())
        return call.fail(KV2_ACCEL_EXPECTED);
    KvoValue constructorArguments(new KvoVector());
    for (std::int32_t field : {fields[1], fields[2], fields[0]})
        constructorArguments.getVector()->push_back(KvoValue(field));
    KvoValue accel;
    if (!call.interpreter()->createObject(accel, accelClass, constructorArguments.getVector()))
        return false;
    // The constructor is native, but the array is read again all the same.
    KvoVector* list = vectorMember(call, g_winBaseSlots.accelArray, KV2_ACCEL_ARRAY_MISSING);
    if (!list)
        return false;
    list->push_back(accel);
    KvoValue result;
    if (!kv2Invoke(call, call.self(), u"applyAccelerators", {}, result))
        return false;
    return call.done(result);
}

// ---- WinBase: text and colours ------------------------------------------------------------------

bool winSetWindowText(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    const KvoString* text = call.textArg(1);
    if (!text)
        return false;
    HWND hwnd = needWindow(call);
    return hwnd && doneInteger(call, SetWindowTextW(hwnd, text->c_str()));
}

bool winGetWindowText(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    HWND hwnd = needWindow(call);
    if (!hwnd)
        return false;
    const int length = GetWindowTextLengthW(hwnd);
    if (length < 0 || length > MAX_WINDOW_TEXT)
        return call.fail(KVO_LIB_COUNT_TOO_LARGE);
    std::vector<KvoChar> buffer(static_cast<std::size_t>(length) + 1, 0);
    const int copied = GetWindowTextW(hwnd, buffer.data(), length + 1);
    return call.done(KvoValue(new KvoString(buffer.data(), static_cast<std::size_t>(copied > 0 ? copied : 0))));
}

bool winSetBackgroundBrush(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::int32_t brush = 0;
    if (!call.needThis() || !call.countBetween(1, 1) || !call.integerArg(1, brush))
        return false;
    KvoObject* self = call.self();
    const std::int32_t previous = kv2MemberInteger(self, g_winBaseSlots.backBrush);
    if (brush == 0)
        return doneFlag(call, false);
    if (brush == previous)
        return doneFlag(call, true);
    if (previous != 0)
        DeleteObject(kv2HandleOf(previous));
    kv2SetMemberInteger(self, g_winBaseSlots.backBrush, brush);
    if (HWND hwnd = kv2LiveWindowOf(self)) {
        InvalidateRect(hwnd, nullptr, TRUE);
        UpdateWindow(hwnd);
    }
    return doneFlag(call, true);
}

bool winSetBackgroundColor(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::int32_t color = 0;
    if (!call.needThis() || !call.countBetween(1, 1) || !call.integerArg(1, color))
        return false;
    if ((static_cast<std::uint32_t>(color) & ~COLOR_BITS) != 0)
        return doneFlag(call, false);
    HBRUSH brush = CreateSolidBrush(static_cast<COLORREF>(color));
    const auto value = reinterpret_cast<std::intptr_t>(brush);
    if (!brush || value <= 0 || value > INT32_MAX) {
        if (brush)
            DeleteObject(brush);
        return doneFlag(call, false);
    }
    KvoValue result;
    if (!kv2Invoke(call, call.self(), u"setBackgroundBrush", {KvoValue(kv2IntegerOf(brush))}, result)) {
        DeleteObject(brush);
        return false;
    }
    if (result.getLong() != 0)
        kv2SetMemberInteger(call.self(), g_winBaseSlots.backColor, color);
    else
        DeleteObject(brush);
    return call.done(result);
}

bool winSetForegroundColor(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::int32_t color = 0;
    if (!call.needThis() || !call.countBetween(1, 1) || !call.integerArg(1, color))
        return false;
    if ((static_cast<std::uint32_t>(color) & ~COLOR_BITS) != 0)
        return doneFlag(call, false);
    kv2SetMemberInteger(call.self(), g_winBaseSlots.foreColor, color);
    return doneFlag(call, true);
}

// ---- WinBase: scrolling settings ----------------------------------------------------------------

bool winSetLifeScroll(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::int32_t flag = 0;
    if (!call.needThis() || !call.countBetween(1, 1) || !call.integerArg(1, flag))
        return false;
    kv2SetMemberInteger(call.self(), g_winBaseSlots.lifeScroll, flag);
    return call.doneNull();
}

bool winSetScrollSteps(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::int32_t steps[2] = {10, 10};
    if (!call.needThis() || !call.countBetween(0, 2))
        return false;
    for (int i = 1; i <= call.count(); ++i) {
        if (!call.integerArg(i, steps[i - 1]))
            return false;
    }
    kv2SetMemberInteger(call.self(), g_winBaseSlots.sx, steps[0]);
    kv2SetMemberInteger(call.self(), g_winBaseSlots.sy, steps[1]);
    return call.doneNull();
}

bool winGetScrollBarMode(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    return call.needThis() && call.countBetween(0, 0) &&
           doneInteger(call, kv2MemberInteger(call.self(), g_winBaseSlots.scrollBarMode));
}

const KvoMethodRegistration WINBASE_METHODS[] = {
    {u"WinBase", &kv2Scoped<winConstruct>},
    {u"dtor", &kv2Scoped<winDestruct>},
    {u"create", &kv2Scoped<winCreate>},
    {u"createFromHandle", &kv2Scoped<winCreateFromHandle>},
    {u"getHandle", &kv2Scoped<winGetHandle>},
    {u"getParent", &kv2Scoped<winGetParent>},
    {u"addChild", &kv2Scoped<winAddChild>},
    {u"getChildrenHandles", &kv2Scoped<winGetChildrenHandles>},
    {u"getWindowRect", &kv2Scoped<winGeometry<Geometry::WINDOW_RECT>>},
    {u"getClientRect", &kv2Scoped<winGeometry<Geometry::CLIENT_RECT>>},
    {u"setPosition", &kv2Scoped<winPlace<true>>},
    {u"setSize", &kv2Scoped<winPlace<false>>},
    {u"getPosition", &kv2Scoped<winGeometry<Geometry::POSITION>>},
    {u"getClientPos", &kv2Scoped<winGeometry<Geometry::CLIENT_POSITION>>},
    {u"getSize", &kv2Scoped<winGeometry<Geometry::SIZE>>},
    {u"getClientSize", &kv2Scoped<winGeometry<Geometry::CLIENT_SIZE>>},
    {u"getPosX", &kv2Scoped<winGeometry<Geometry::POS_X>>},
    {u"getPosY", &kv2Scoped<winGeometry<Geometry::POS_Y>>},
    {u"getClientPosX", &kv2Scoped<winGeometry<Geometry::CLIENT_POS_X>>},
    {u"getClientPosY", &kv2Scoped<winGeometry<Geometry::CLIENT_POS_Y>>},
    {u"getWidth", &kv2Scoped<winGeometry<Geometry::WIDTH>>},
    {u"getHeight", &kv2Scoped<winGeometry<Geometry::HEIGHT>>},
    {u"getClientWidth", &kv2Scoped<winGeometry<Geometry::CLIENT_WIDTH>>},
    {u"getClientHeight", &kv2Scoped<winGeometry<Geometry::CLIENT_HEIGHT>>},
    {u"getStyle", &kv2Scoped<winStyle<GWL_STYLE, StyleOp::GET>>},
    {u"getExtStyle", &kv2Scoped<winStyle<GWL_EXSTYLE, StyleOp::GET>>},
    {u"hasStyle", &kv2Scoped<winStyle<GWL_STYLE, StyleOp::HAS>>},
    {u"hasExtStyle", &kv2Scoped<winStyle<GWL_EXSTYLE, StyleOp::HAS>>},
    {u"setStyle", &kv2Scoped<winStyle<GWL_STYLE, StyleOp::SET>>},
    {u"setExtStyle", &kv2Scoped<winStyle<GWL_EXSTYLE, StyleOp::SET>>},
    {u"addStyle", &kv2Scoped<winStyle<GWL_STYLE, StyleOp::ADD>>},
    {u"addExtStyle", &kv2Scoped<winStyle<GWL_EXSTYLE, StyleOp::ADD>>},
    {u"removeStyle", &kv2Scoped<winStyle<GWL_STYLE, StyleOp::REMOVE>>},
    {u"removeExtStyle", &kv2Scoped<winStyle<GWL_EXSTYLE, StyleOp::REMOVE>>},
    {u"isMinimized", &kv2Scoped<winVisibility<Visibility::MINIMIZED>>},
    {u"isMaximized", &kv2Scoped<winVisibility<Visibility::VISIBLE>>},
    {u"isVisible", &kv2Scoped<winVisibility<Visibility::VISIBLE>>},
    {u"minimize", &kv2Scoped<winShowCommand<SW_MINIMIZE>>},
    {u"maximize", &kv2Scoped<winShowCommand<SW_MAXIMIZE>>},
    {u"restore", &kv2Scoped<winShowCommand<SW_RESTORE_DEVICE>>},
    {u"hide", &kv2Scoped<winShowCommand<SW_HIDE>>},
    {u"show", &kv2Scoped<winShow>},
    {u"preprocessMessage", &kv2Scoped<winPreprocessMessage>},
    {u"handleMessage", &kv2Scoped<winHandleMessage>},
    {u"addMsgHandler", &kv2Scoped<winAddMsgHandler>},
    {u"removeMsgHandler", &kv2Scoped<winRemoveMsgHandler>},
    {u"removeAllMsgHandlers", &kv2Scoped<winRemoveAllMsgHandlers>},
    {u"getAcceleratorArray", &kv2Scoped<winGetAcceleratorArray>},
    {u"addAccelerator", &kv2Scoped<winAddAccelerator>},
    {u"applyAccelerators", &kv2Scoped<winApplyAccelerators>},
    {u"setWindowText", &kv2Scoped<winSetWindowText>},
    {u"getWindowText", &kv2Scoped<winGetWindowText>},
    {u"setBackgroundColor", &kv2Scoped<winSetBackgroundColor>},
    {u"setBackgroundBrush", &kv2Scoped<winSetBackgroundBrush>},
    {u"setForegroundColor", &kv2Scoped<winSetForegroundColor>},
    {u"enableVirtualSize", &kv2Scoped<kv2EnableVirtualSize>},
    {u"setLifeScroll", &kv2Scoped<winSetLifeScroll>},
    {u"setVirtualSize", &kv2Scoped<kv2SetVirtualSize>},
    {u"getVirtualSize", &kv2Scoped<kv2GetVirtualSize>},
    {u"fitVirtualSizeToContents", &kv2Scoped<kv2FitVirtualSizeToContents>},
    {u"getVirtualOrigin", &kv2Scoped<kv2GetVirtualOrigin>},
    {u"scrollHorizontal", &kv2Scoped<kv2ScrollHorizontal>},
    {u"scrollVertical", &kv2Scoped<kv2ScrollVertical>},
    {u"setScrollBarMode", &kv2Scoped<kv2SetScrollBarMode>},
    {u"setScrollSteps", &kv2Scoped<winSetScrollSteps>},
    {u"getScrollBarMode", &kv2Scoped<winGetScrollBarMode>},
    {u"applyScrollBars", &kv2Scoped<kv2ApplyScrollBars>},
};

// ---- WinBase: static methods ----------------------------------------------------------------------

bool winRegisterWindow(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    StaticCall call(vm, argc, args);
    if (!call.countBetween(1, 1))
        return false;
    const KvoValue window = call.arg(1);
    KvoObject* object = window.getObject();
    if (!object)
        return call.fail(KV2_OBJECT_EXPECTED);
    const KvoDictionaryEntry* entry = vm->classes().find(KV2_WINBASE_CLASS_NAME);
    if (!KvoMethodCall::isObjectOf(window, entry ? entry->getValue().getClass() : nullptr))
        return call.fail(KV2_WINDOW_EXPECTED);
    KvoValue handle;
    KvoValue argumentsValue(new KvoVector());
    if (!call.interpreter()->invokeMember(handle, object, u"getHandle", argumentsValue.getVector()))
        return false;
    HWND hwnd = kv2WindowOf(handle.getLong());
    if (!hwnd || !IsWindow(hwnd))
        return call.done(KvoValue(std::int32_t{0}));
    kv2TableInsert(hwnd, object);
    return call.done(KvoValue(std::int32_t{1}));
}

bool winUnregisterWindow(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    StaticCall call(vm, argc, args);
    std::int32_t handle = 0;
    if (!call.countBetween(1, 1) || !call.integerArg(1, handle))
        return false;
    return call.done(KvoValue(std::int32_t{kv2TableRemove(kv2WindowOf(handle)) ? 1 : 0}));
}

bool winFindWindow(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    StaticCall call(vm, argc, args);
    std::int32_t handle = 0;
    if (!call.countBetween(1, 1) || !call.integerArg(1, handle))
        return false;
    KvoObject* object = kv2TableFind(kv2WindowOf(handle));
    return call.done(object ? KvoValue(object) : KvoValue());
}

bool winForceQuit(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    StaticCall call(vm, argc, args);
    if (!call.countBetween(0, 0))
        return false;
    const KvoDictionaryEntry* code = staticMember(call, u"_returnCode");
    if (!code)
        return false;
    PostQuitMessage(code->getValue().getLong());
    return call.done(KvoValue());
}

// setAutoQuit(flag), setReturnCode(code): store a class variable.
template <const KvoChar* name>
bool winSetStatic(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    StaticCall call(vm, argc, args);
    std::int32_t value = 0;
    if (!call.countBetween(1, 1) || !call.integerArg(1, value))
        return false;
    KvoDictionaryEntry* member = staticMember(call, name);
    if (!member)
        return false;
    member->setValue(KvoValue(value));
    return call.done(KvoValue());
}

constexpr KvoChar AUTO_QUIT[] = u"_autoQuit";
constexpr KvoChar RETURN_CODE[] = u"_returnCode";
constexpr KvoChar MAX_ID[] = u"_maxID";

bool winCreateId(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    StaticCall call(vm, argc, args);
    if (!call.countBetween(0, 0))
        return false;
    KvoDictionaryEntry* member = staticMember(call, MAX_ID, KV2_CLASS_NOT_INITIALIZED);
    if (!member)
        return false;
    const auto next = static_cast<std::int32_t>(static_cast<std::uint32_t>(member->getValue().getLong()) + 1u);
    member->setValue(KvoValue(next));
    return call.done(KvoValue(next));
}

bool winSetHInstance(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    StaticCall call(vm, argc, args);
    std::int32_t instance = 0;
    if (!call.countBetween(1, 1) || !call.integerArg(1, instance))
        return false;
    kv2SetModuleInstance(kv2HandleOf(instance));
    return call.done(KvoValue());
}

bool winGetHInstance(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    StaticCall call(vm, argc, args);
    return call.countBetween(0, 0) && call.done(KvoValue(kv2IntegerOf(kv2ModuleInstance())));
}

bool winInitCommonControls(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    StaticCall call(vm, argc, args);
    std::int32_t flags = 0;
    if (!call.countBetween(1, 1) || !call.integerArg(1, flags))
        return false;
    const INITCOMMONCONTROLSEX init{sizeof(INITCOMMONCONTROLSEX), static_cast<DWORD>(flags)};
    return call.done(KvoValue(std::int32_t{InitCommonControlsEx(&init)}));
}

// mainLoop(): runs until the quit message, a failed retrieval, or until no window is left in the
// table. A handleMessage that fails during the loop ends it, and mainLoop fails with that error:
// the window procedure gave the message the default handling, but the script must hear of it.
bool winMainLoop(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    StaticCall call(vm, argc, args);
    if (!call.countBetween(0, 0))
        return false;
    KvoInterpreter* interpreter = call.interpreter();
    KvoValue message;
    if (!interpreter || !interpreter->createObject(message, MSG_CLASS, nullptr))
        return false;
    if (!kv2RecordOf(message.getObject(), u"_msg", MSG_RECORD_SIZE))
        return call.fail(KV2_INVALID_MESSAGE_OBJECT);
    Kv2HandlerErrorScope scope(vm);
    MSG msg{};
    while (!scope.hasError() && !interpreter->isCancelled() && kv2TableCount() > 0) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1)
            break;
        if (vm->isInDbg())
            continue;
        if (kv2TableCount() == 0)
            break;
        // A window of another machine's object is left to the window procedure, which runs that
        // machine's script (this interpreter runs only this machine's code).
        KvoObject* target = kv2TableFind(msg.hwnd);
        if (target && target->getClass() && &target->getClass()->getVM() == vm) {
            const KvoValue held(target);
            KvoBuffer* record = kv2RecordOf(message.getObject(), u"_msg", MSG_RECORD_SIZE);
            if (!record)
                return call.fail(KV2_INVALID_MESSAGE_OBJECT);
            writeMsgRecord(*record, msg);
            KvoValue consumed;
            KvoValue argumentsValue(new KvoVector());
            argumentsValue.getVector()->push_back(message);
            if (!interpreter->invokeMember(consumed, target, u"preprocessMessage", argumentsValue.getVector()))
                return false;
            if (consumed.getLong() != 0)
                continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return scope.raiseKept() && call.done(KvoValue());
}

struct StaticMethod {
    const KvoChar* name;
    KvoNativeFunc function;
};

const StaticMethod WINBASE_STATIC_METHODS[] = {
    {u"registerWindow", &kv2Scoped<winRegisterWindow>},
    {u"unregisterWindow", &winUnregisterWindow},
    {u"findWindow", &winFindWindow},
    {u"forceQuit", &winForceQuit},
    {u"setAutoQuit", &winSetStatic<AUTO_QUIT>},
    {u"setReturnCode", &winSetStatic<RETURN_CODE>},
    {u"mainLoop", &winMainLoop},
    {u"setHInstance", &winSetHInstance},
    {u"getHInstance", &winGetHInstance},
    {u"createID", &winCreateId},
    {u"initCommonControls", &winInitCommonControls},
};

} // namespace

// ---- Helpers shared with the scrolling methods ------------------------------------------------

std::int32_t kv2MemberInteger(const KvoObject* object, std::int32_t slot) noexcept
{
    const KvoValue* value = KvoMethodCall::memberOf(object, slot);
    if (!value)
        return 0;
    const KvoValueType type = value->getType();
    return type == KVT_INTEGER || type == KVT_FLOAT || type == KVT_DOUBLE ? value->getLong() : 0;
}

void kv2SetMemberInteger(KvoObject* object, std::int32_t slot, std::int32_t value)
{
    if (KvoValue* member = KvoMethodCall::memberOf(object, slot))
        *member = KvoValue(value);
}

HWND kv2LiveWindowOf(const KvoObject* object) noexcept
{
    HWND hwnd = kv2WindowOf(kv2MemberInteger(object, g_winBaseSlots.hwnd));
    return hwnd && IsWindow(hwnd) ? hwnd : nullptr;
}

KvoBuffer* kv2RecordOf(const KvoObject* object, const KvoChar* member, std::uint32_t size) noexcept
{
    const KvoClass* c = object ? object->getClass() : nullptr;
    if (!c)
        return nullptr;
    const KvoValue* value = KvoMethodCall::memberOf(object, c->getMemberIndex(KvoString(member)));
    KvoBuffer* buffer = value ? value->getBuffer() : nullptr;
    return buffer && buffer->size() >= size ? buffer : nullptr;
}

KvoBuffer* kv2VirtualRect(KvoMethodCall& call)
{
    const KvoValue* value = call.member(g_winBaseSlots.virtualRect);
    KvoObject* rect = value ? value->getObject() : nullptr;
    if (!rect) {
        call.fail(KV2_NOT_INITIALIZED);
        return nullptr;
    }
    KvoBuffer* record = kv2RecordOf(rect, u"_rect", 16);
    if (!record) {
        call.fail(KV2_BAD_RECT_DATA);
        return nullptr;
    }
    call.hold(KvoValue(record));
    return record;
}

bool kv2DoneWithRecord(KvoMethodCall& call, const KvoChar* className, std::initializer_list<std::int32_t> fields)
{
    KvoClass* c = call.findClass(className);
    const bool rect = fields.size() == 4;
    const KvoChar* missing = rect                                        ? KV2_NOT_INITIALIZED
                             : std::u16string_view(className) == SIZE_CLASS ? KV2_NO_SIZE_CLASS
                                                                            : KV2_NO_POINT_CLASS;
    if (!c || !c->getIsNative())
        return call.fail(missing);
    KvoValue result(new KvoObject(c));
    const std::int32_t index = c->getMemberIndex(KvoString(rect ? u"_rect" : u"_pt"));
    KvoValue* slot = KvoMethodCall::memberOf(result.getObject(), index);
    if (!slot)
        return call.fail(missing);
    const auto size = static_cast<std::uint32_t>(4 * fields.size());
    auto* record = new KvoBuffer(size);
    record->setSize(size);
    std::uint32_t offset = 0;
    for (std::int32_t field : fields) {
        record->setDW(offset, static_cast<std::uint32_t>(field));
        offset += 4;
    }
    *slot = KvoValue(record);
    return call.done(std::move(result));
}

bool kv2Invoke(KvoMethodCall& call, KvoObject* target, const KvoChar* method, std::initializer_list<KvoValue> args,
               KvoValue& result)
{
    KvoInterpreter* interpreter = call.interpreter();
    if (!interpreter || !target)
        return call.fail(KV2_BAD_THIS);
    call.hold(KvoValue(target));
    KvoValue argumentsValue(new KvoVector(static_cast<std::uint32_t>(args.size()), false));
    for (const KvoValue& argument : args)
        argumentsValue.getVector()->push_back(argument);
    return interpreter->invokeMember(result, target, method, argumentsValue.getVector());
}

bool kv2WindowRectInParent(HWND hwnd, RECT& rect)
{
    if (!GetWindowRect(hwnd, &rect))
        return false;
    if (HWND parent = GetParent(hwnd)) {
        POINT origin{0, 0};
        if (!ClientToScreen(parent, &origin))
            return false;
        rect.left -= origin.x;
        rect.right -= origin.x;
        rect.top -= origin.y;
        rect.bottom -= origin.y;
    }
    return true;
}

bool kv2ClientRectInWindow(HWND hwnd, RECT& rect)
{
    RECT window{};
    POINT origin{0, 0};
    if (!GetClientRect(hwnd, &rect) || !GetWindowRect(hwnd, &window) || !ClientToScreen(hwnd, &origin))
        return false;
    const LONG dx = origin.x - window.left;
    const LONG dy = origin.y - window.top;
    rect.left += dx;
    rect.right += dx;
    rect.top += dy;
    rect.bottom += dy;
    return true;
}

// ---- Registration ---------------------------------------------------------------------------------

void kv2RegisterWinMsgHandler(KvoVirtualMachine* vm)
{
    kvoRegisterClass(vm, KV2_HANDLER_CLASS_NAME, nullptr, {{u"_owner", &g_handlerOwnerSlot}}, HANDLER_METHODS,
                     std::size(HANDLER_METHODS));
}

void kv2RegisterWinBase(KvoVirtualMachine* vm)
{
    Kv2WinBaseSlots& s = g_winBaseSlots;
    KvoClass* c = kvoRegisterClass(vm, KV2_WINBASE_CLASS_NAME, nullptr,
                                   {{u"_hwnd", &s.hwnd},
                                    {u"_handlerList", &s.handlerList},
                                    {u"_savedWndProc", &s.savedWndProc},
                                    {u"_virtualRect", &s.virtualRect},
                                    {u"_useVirtualSize", &s.useVirtualSize},
                                    {u"_scrollBarMode", &s.scrollBarMode},
                                    {u"_sx", &s.sx},
                                    {u"_sy", &s.sy},
                                    {u"_lifeScroll", &s.lifeScroll},
                                    {u"_foreColor", &s.foreColor},
                                    {u"_backColor", &s.backColor},
                                    {u"_backBrush", &s.backBrush},
                                    {u"_accelArray", &s.accelArray},
                                    {u"_haccel", &s.haccel}},
                                   WINBASE_METHODS, std::size(WINBASE_METHODS));
    if (!c)
        return;
    c->addStaticDataMember(MAX_ID, KvoValue(std::int32_t{0}));
    c->addStaticDataMember(RETURN_CODE, KvoValue(std::int32_t{0}));
    c->addStaticDataMember(AUTO_QUIT, KvoValue(std::int32_t{1}));
    for (const StaticMethod& method : WINBASE_STATIC_METHODS)
        c->addStaticMethod(method.name, method.function);
}
