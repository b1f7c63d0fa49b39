// What the window classes of the plug-in share: the module-wide window state (KvoWindowTable.cpp),
// the WinBase and WinMsgHandler methods (KvoWindowClasses.cpp) and the virtual size and scrolling
// methods (KvoWindowScrolling.cpp).
//
// The module keeps, for the whole process:
// - the window table: window handle -> script object, sorted by handle, searched by halves. An
//   entry holds its object through a non-owning reference (a window never keeps its object
//   alive) and names the machine the object belongs to. An entry whose object has died counts
//   as absent and is dropped when it is met;
// - the pending object: the WinBase object whose window is being created, until its WM_CREATE;
// - the windows that run the module's window procedure (Kv2Window windows and the windows the
//   module subclassed, with the procedure each replaced), so that every one of them can be handed
//   back to code that stays mapped before the module goes;
// - the accelerator tables that WinBase objects built (a script can write any number into
//   _haccel, so only a table from this list is ever translated against or destroyed).
// Everything runs on the thread that pumps the messages; nothing here is locked.
//
// Script code may run at every call into the interpreter: it may create and destroy windows,
// change the table and drop objects. No table entry, index or member pointer is kept across such
// a call; it is looked up again afterwards.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "nativeclasses/KvoMethodCall.h"
#include "platform/KvoWindows.h"

// ---- Error texts -----------------------------------------------------------------------------

inline constexpr KvoChar KV2_INVALID_WINDOW[] = u"Invalid window handle.";
inline constexpr KvoChar KV2_WINDOW_REFERENCE_EXPECTED[] = u"Window reference expected";
inline constexpr KvoChar KV2_CREATION_FAILED[] = u"Window creation failed.";
inline constexpr KvoChar KV2_POINT_ARGUMENT_EXPECTED[] = u"Invalid argument. POINT expected";
inline constexpr KvoChar KV2_SIZE_ARGUMENT_EXPECTED[] = u"Invalid argument. SIZE expected";
inline constexpr KvoChar KV2_VIRTUAL_SIZE_EXPECTED[] = u"Invalid argument. SIZE expected.";
inline constexpr KvoChar KV2_WINDOW_EXPECTED[] = u"Invalid argument. Window expected.";
inline constexpr KvoChar KV2_OBJECT_EXPECTED[] = u"Invalid argument. Object expected.";
inline constexpr KvoChar KV2_HANDLER_EXPECTED[] = u"Invalid argument. Message handler expected";
inline constexpr KvoChar KV2_HANDLER_LIST_MISSING[] = u"Invalid Object. Message handler list missing.";
inline constexpr KvoChar KV2_ACCEL_ARRAY_MISSING[] = u"Invalid Object. Accelerator array missing.";
inline constexpr KvoChar KV2_MSG_ARGUMENT_EXPECTED[] = u"Invalid argument. MSG expected";
inline constexpr KvoChar KV2_BAD_MSG_ARGUMENT[] = u"Invalid data (msg)";
inline constexpr KvoChar KV2_RECT_STRUCTURE_EXPECTED[] = u"Invalid object structure. RECT expected";
inline constexpr KvoChar KV2_BAD_VIRTUAL_RECT[] = u"Invalid data (_virtualRect)";
inline constexpr KvoChar KV2_NOT_INITIALIZED[] = u"Object not initialized.";
inline constexpr KvoChar KV2_INVALID_MESSAGE_OBJECT[] = u"Invalid message object.";
inline constexpr KvoChar KV2_CLASS_NOT_FOUND_FORMAT[] = u"Class %s not found.";
inline constexpr KvoChar KV2_MEMBER_NOT_FOUND_FORMAT[] = u"Member %s::%s not found.";
inline constexpr KvoChar KV2_CLASS_NOT_INITIALIZED[] = u"Class not initialized.";

inline constexpr KvoChar KV2_WINDOW_CLASS_NAME[] = u"Kv2Window";
inline constexpr KvoChar KV2_WINBASE_CLASS_NAME[] = u"WinBase";
inline constexpr KvoChar KV2_HANDLER_CLASS_NAME[] = u"WinMsgHandler";

// ---- Member slots (cached at registration) ----------------------------------------------------

struct Kv2WinBaseSlots {
    std::int32_t hwnd = -1;
    std::int32_t handlerList = -1;
    std::int32_t savedWndProc = -1;
    std::int32_t virtualRect = -1;
    std::int32_t useVirtualSize = -1;
    std::int32_t scrollBarMode = -1;
    std::int32_t sx = -1;
    std::int32_t sy = -1;
    std::int32_t lifeScroll = -1;
    std::int32_t foreColor = -1;
    std::int32_t backColor = -1;
    std::int32_t backBrush = -1;
    std::int32_t accelArray = -1;
    std::int32_t haccel = -1;
};
extern Kv2WinBaseSlots g_winBaseSlots;
extern std::int32_t g_handlerOwnerSlot;

// ---- Handles and members ----------------------------------------------------------------------

// A script integer read as a window (or other) handle: handles are numbers below 2^31, so a
// negative integer names none.
inline HWND kv2WindowOf(std::int32_t value) noexcept
{
    return reinterpret_cast<HWND>(static_cast<std::intptr_t>(value));
}
inline void* kv2HandleOf(std::int32_t value) noexcept
{
    return reinterpret_cast<void*>(static_cast<std::intptr_t>(value));
}
// A handle as a script integer (handles fit 31 bits).
inline std::int32_t kv2IntegerOf(const void* handle) noexcept
{
    return static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(handle));
}

// The integer in object's slot (0 for a missing slot or a value that is no number).
std::int32_t kv2MemberInteger(const KvoObject* object, std::int32_t slot) noexcept;
// Stores an integer in object's slot (nothing when the slot is missing).
void kv2SetMemberInteger(KvoObject* object, std::int32_t slot, std::int32_t value);
// The window of a WinBase object: its _hwnd when that names a live window, else null.
HWND kv2LiveWindowOf(const KvoObject* object) noexcept;

// The record buffer of a record object: the buffer in its member named member, when the object's
// class has that member and the buffer holds at least size bytes; else null.
KvoBuffer* kv2RecordOf(const KvoObject* object, const KvoChar* member, std::uint32_t size) noexcept;
// The receiver's virtual rectangle record (16 bytes); null after "Object not initialized." when
// _virtualRect is not an object, or after "Invalid data (_rect)" when it holds no record.
KvoBuffer* kv2VirtualRect(KvoMethodCall& call);
// Completes call with a new object of the native record class className (POINT, SIZE or RECT)
// holding the given 32-bit fields.
bool kv2DoneWithRecord(KvoMethodCall& call, const KvoChar* className, std::initializer_list<std::int32_t> fields);

// Sends method to target with the given arguments through the running interpreter. The call is
// held (so target lives through it); false when the invocation raised.
bool kv2Invoke(KvoMethodCall& call, KvoObject* target, const KvoChar* method, std::initializer_list<KvoValue> args,
               KvoValue& result);

// The window rectangle relative to the parent's client area (the screen for a top-level window)
// and the client rectangle relative to the window's top-left corner. False for an invalid window.
bool kv2WindowRectInParent(HWND hwnd, RECT& rect);
bool kv2ClientRectInWindow(HWND hwnd, RECT& rect);

// ---- Module state (KvoWindowTable.cpp) --------------------------------------------------------

HINSTANCE kv2ModuleInstance() noexcept;
void kv2SetModuleInstance(HINSTANCE instance) noexcept;
// The module's window procedure (the class procedure of Kv2Window and of subclassed windows).
LRESULT kv2WindowProcedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Enters (or replaces) hwnd -> object, remembering object's machine.
void kv2TableInsert(HWND hwnd, KvoObject* object);
// Removes hwnd; true when it was there (with a live object). With owner, only when the entry
// names that object.
bool kv2TableRemove(HWND hwnd, const KvoObject* owner = nullptr);
// The live object registered for hwnd, or null.
KvoObject* kv2TableFind(HWND hwnd);
// The number of entries with a live object.
std::size_t kv2TableCount();

// The pending object of a window creation (held without a count; cleared by clearPending).
void kv2SetPending(KvoObject* object);
void kv2ClearPending();

// Makes hwnd run the module's window procedure, remembering the procedure it replaces. Returns
// that procedure, or null when hwnd is invalid or already runs the module's procedure.
WNDPROC kv2Subclass(HWND hwnd);
// The procedure the module replaced on hwnd, or null when it did not subclass hwnd.
WNDPROC kv2SavedProcedure(HWND hwnd) noexcept;

// The default handling of a message that handleMessage passes on: the replaced procedure of a
// subclassed window, else DefWindowProcW. The parameters come from a script and are 32 bits; when
// they are those of a message the module's procedure is delivering now, that message's own
// (full-width) parameters are passed. Parameters of no such message are passed as numbers, except
// to the messages whose parameters are addresses (WM_NCCREATE, WM_CREATE, WM_SETTEXT, WM_GETTEXT),
// which then get 0 without any call: a number from a script is never taken for an address.
std::int32_t kv2DefaultProcedure(HWND hwnd, std::int32_t msg, std::int32_t wParam, std::int32_t lParam);

// Accelerator tables built by WinBase objects.
void kv2RememberAccelerator(HACCEL table);
// Destroys table when it is one of them; false otherwise.
bool kv2DestroyAccelerator(HACCEL table);
bool kv2IsAccelerator(HACCEL table) noexcept;

// Errors raised by handleMessage while the module's window procedure delivers a message. The
// procedure falls back to the default handling, as designed, and the error is kept in the
// innermost scope of the same machine: every WinBase method runs in one, and raises the kept
// error when it would otherwise succeed (mainLoop then ends). Outside any scope the error text is
// written to the machine's printer, so it is never lost without a word.
class Kv2HandlerErrorScope
{
public:
    explicit Kv2HandlerErrorScope(KvoVirtualMachine* vm);
    ~Kv2HandlerErrorScope();
    Kv2HandlerErrorScope(const Kv2HandlerErrorScope&) = delete;
    Kv2HandlerErrorScope& operator=(const Kv2HandlerErrorScope&) = delete;

    bool hasError() const noexcept { return m_hasError; }
    // Raises the kept error in the running interpreter (false), or true when there is none.
    bool raiseKept();
    // Called by the window procedure after a failed handleMessage of an object of vm.
    static void report(KvoVirtualMachine& vm, KvoInterpreter& interpreter);

private:
    KvoVirtualMachine* m_vm;
    Kv2HandlerErrorScope* m_outer;
    KvoValue m_error;
    bool m_hasError = false;
};

// The WinBase methods behind a scope: method runs, and a handler error kept meanwhile fails the
// call when method itself succeeded.
template <KvoNativeFunc method>
bool kv2Scoped(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    Kv2HandlerErrorScope scope(vm);
    const bool ok = method(vm, argc, args);
    return ok ? scope.raiseKept() : false;
}

// ---- Methods shared between the source files -------------------------------------------------

// Virtual size and scrolling (KvoWindowScrolling.cpp).
bool kv2EnableVirtualSize(KvoVirtualMachine* vm, int argc, ValPtr& args);
bool kv2SetVirtualSize(KvoVirtualMachine* vm, int argc, ValPtr& args);
bool kv2GetVirtualSize(KvoVirtualMachine* vm, int argc, ValPtr& args);
bool kv2FitVirtualSizeToContents(KvoVirtualMachine* vm, int argc, ValPtr& args);
bool kv2GetVirtualOrigin(KvoVirtualMachine* vm, int argc, ValPtr& args);
bool kv2ScrollHorizontal(KvoVirtualMachine* vm, int argc, ValPtr& args);
bool kv2ScrollVertical(KvoVirtualMachine* vm, int argc, ValPtr& args);
bool kv2SetScrollBarMode(KvoVirtualMachine* vm, int argc, ValPtr& args);
bool kv2ApplyScrollBars(KvoVirtualMachine* vm, int argc, ValPtr& args);

// The WM_SIZE, WM_HSCROLL and WM_VSCROLL steps of handleMessage for the receiver of call, whose
// window is hwnd (the message then goes on to the default handling). False after raising.
bool kv2HandleSizeMessage(KvoMethodCall& call, std::int32_t lParam);
bool kv2HandleScrollMessage(KvoMethodCall& call, HWND hwnd, bool vertical, std::int32_t wParam);
