// The module-wide window state of the plug-in (see KvoWindowClasses.h): the window table, the
// pending object, the windows that run the module's window procedure, the window procedure
// itself, and the module's attach and detach.
//
// Attach and detach: the runtime's loader calls KvoModuleAttach when it maps the plug-in (once per
// process, however many machines load it); it registers the window class Kv2Window. A machine
// that frees the plug-in first calls UnregisterNativeModule, which cuts that machine's objects
// off their windows. When the plug-in is unmapped, the detach destructor hands every window that
// still runs the module's procedure back to code that stays (the procedure it replaced, or
// DefWindowProcW), destroys the Kv2Window windows and unregisters the class: no window, class or
// timer may call into the unmapped code afterwards.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "nativeclasses/KvoWindowClasses.h"
#include "platform/KvoLibrary.h"
#include "platform/KvoMessageBox.h"

namespace {

// The window table: room for 10 entries first, 10 more each time it is full.
constexpr std::size_t TABLE_GROWTH = 10;

// Kv2Window: redrawn on horizontal and vertical size changes, the arrow cursor (resource 32512,
// given as its number), the system colour 12 (application workspace) as background.
constexpr UINT KV2_WINDOW_STYLE = 3;
constexpr std::uintptr_t ARROW_CURSOR = 32512;
constexpr std::uintptr_t KV2_WINDOW_BACKGROUND = 0x4000000C;
constexpr KvoChar REGISTRATION_FAILED[] = u"Error registering class Kv2Window";
constexpr KvoChar REGISTRATION_FAILED_CAPTION[] = u"Error";

struct TableEntry {
    HWND hwnd;
    KvoValue object; // non-owning (KVT_OBJECTREF): reads as null once the object has died
    KvoVirtualMachine* vm;
};

// A window that runs the module's procedure: a Kv2Window window (saved null), or a window the
// module subclassed, with the procedure it replaced.
struct OwnedWindow {
    HWND hwnd;
    WNDPROC saved;
};

// A message the window procedure is delivering to a script now.
struct InFlightMessage {
    HWND hwnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};

struct ModuleState {
    HINSTANCE instance = nullptr;
    bool classRegistered = false;
    std::vector<TableEntry> table;
    KvoValue pending; // non-owning, as the table's entries
    std::vector<OwnedWindow> ownedWindows;
    std::vector<InFlightMessage> inFlight;
    std::vector<HACCEL> accelerators;
};

// Created on first use and deleted by the detach destructor (never a static object, whose
// destruction order against that destructor the loader does not promise).
ModuleState* g_state = nullptr;
Kv2HandlerErrorScope* g_innermostScope = nullptr;

ModuleState& state()
{
    if (!g_state)
        g_state = new ModuleState;
    return *g_state;
}

std::vector<TableEntry>::iterator findEntry(std::vector<TableEntry>& table, HWND hwnd)
{
    const auto key = reinterpret_cast<std::uintptr_t>(hwnd);
    return std::lower_bound(table.begin(), table.end(), key, [](const TableEntry& entry, std::uintptr_t value) {
        return reinterpret_cast<std::uintptr_t>(entry.hwnd) < value;
    });
}

// An entry that still serves: its object lives and its window exists. Others are dropped as
// soon as they are met.
bool entryLives(const TableEntry& entry)
{
    return entry.object.getObject() != nullptr && IsWindow(entry.hwnd);
}

std::vector<OwnedWindow>::iterator findOwned(HWND hwnd)
{
    std::vector<OwnedWindow>& owned = state().ownedWindows;
    return std::find_if(owned.begin(), owned.end(), [hwnd](const OwnedWindow& w) { return w.hwnd == hwnd; });
}

void noteOwned(HWND hwnd, WNDPROC saved)
{
    auto found = findOwned(hwnd);
    if (found != state().ownedWindows.end())
        found->saved = saved;
    else
        state().ownedWindows.push_back(OwnedWindow{hwnd, saved});
}

void forgetOwned(HWND hwnd)
{
    auto found = findOwned(hwnd);
    if (found != state().ownedWindows.end())
        state().ownedWindows.erase(found);
}

LONG_PTR procedureValue(WNDPROC procedure)
{
    return reinterpret_cast<LONG_PTR>(procedure);
}

WNDPROC currentProcedure(HWND hwnd)
{
    return reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd, GWLP_WNDPROC));
}

// Hands hwnd back to code that outlives the module: a subclassed window gets the procedure it
// had; a Kv2Window window gets DefWindowProcW when it still runs the module's procedure. Returns
// true for a Kv2Window window.
bool releaseWindow(const OwnedWindow& window)
{
    if (!IsWindow(window.hwnd))
        return false;
    const bool ours = currentProcedure(window.hwnd) == &kv2WindowProcedure;
    if (window.saved) {
        if (ours)
            SetWindowLongPtrW(window.hwnd, GWLP_WNDPROC, procedureValue(window.saved));
        return false;
    }
    if (ours)
        SetWindowLongPtrW(window.hwnd, GWLP_WNDPROC, procedureValue(&DefWindowProcW));
    return true;
}

// The default handling of a message the module does not give to a script.
LRESULT passOn(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (WNDPROC saved = kv2SavedProcedure(hwnd))
        return CallWindowProcW(saved, hwnd, msg, wParam, lParam);
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

bool isAddressMessage(std::int32_t msg)
{
    return msg == static_cast<std::int32_t>(WM_NCCREATE) || msg == static_cast<std::int32_t>(WM_CREATE) ||
           msg == static_cast<std::int32_t>(WM_SETTEXT) || msg == static_cast<std::int32_t>(WM_GETTEXT);
}

// Delivers one message to object's handleMessage. False when the script cannot run or failed;
// result is the script's answer otherwise.
bool deliver(KvoObject* object, bool creating, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    KvoClass* c = object->getClass();
    if (!c)
        return false;
    KvoVirtualMachine& vm = c->getVM();
    // A debugger holds the script: nothing may run it now (the creation of a window excepted,
    // which the script itself started).
    if (!creating && vm.isInDbg()) {
        result = 0;
        return true;
    }
    KvoInterpreter* interpreter = vm.interpreter();
    if (!interpreter)
        return false;
    KvoValue held(object);
    KvoValue argumentsValue(new KvoVector(4, false));
    KvoVector* arguments = argumentsValue.getVector();
    arguments->push_back(KvoValue(kv2IntegerOf(hwnd)));
    arguments->push_back(KvoValue(static_cast<std::int32_t>(msg)));
    arguments->push_back(KvoValue(static_cast<std::int32_t>(wParam)));
    arguments->push_back(KvoValue(static_cast<std::int32_t>(lParam)));
    state().inFlight.push_back(InFlightMessage{hwnd, msg, wParam, lParam});
    KvoValue answer;
    const bool ok = interpreter->invokeMember(answer, object, u"handleMessage", arguments);
    state().inFlight.pop_back();
    if (!ok) {
        Kv2HandlerErrorScope::report(vm, *interpreter);
        return false;
    }
    result = answer.getLong();
    return true;
}

} // namespace

Kv2WinBaseSlots g_winBaseSlots;
std::int32_t g_handlerOwnerSlot = -1;

HINSTANCE kv2ModuleInstance() noexcept
{
    return g_state ? g_state->instance : nullptr;
}

void kv2SetModuleInstance(HINSTANCE instance) noexcept
{
    state().instance = instance;
}

void kv2TableInsert(HWND hwnd, KvoObject* object)
{
    std::vector<TableEntry>& table = state().table;
    KvoVirtualMachine* vm = object && object->getClass() ? &object->getClass()->getVM() : nullptr;
    auto found = findEntry(table, hwnd);
    if (found != table.end() && found->hwnd == hwnd) {
        found->object = KvoValue(object, true);
        found->vm = vm;
        return;
    }
    if (table.size() == table.capacity()) {
        const std::size_t index = static_cast<std::size_t>(found - table.begin());
        table.reserve(table.capacity() + TABLE_GROWTH);
        found = table.begin() + static_cast<std::ptrdiff_t>(index);
    }
    table.insert(found, TableEntry{hwnd, KvoValue(object, true), vm});
}

bool kv2TableRemove(HWND hwnd, const KvoObject* owner)
{
    std::vector<TableEntry>& table = state().table;
    auto found = findEntry(table, hwnd);
    if (found == table.end() || found->hwnd != hwnd)
        return false;
    const KvoObject* object = found->object.getObject();
    if (owner && object != owner)
        return false;
    table.erase(found);
    return object != nullptr;
}

KvoObject* kv2TableFind(HWND hwnd)
{
    if (!g_state)
        return nullptr;
    std::vector<TableEntry>& table = g_state->table;
    auto found = findEntry(table, hwnd);
    if (found == table.end() || found->hwnd != hwnd)
        return nullptr;
    if (!entryLives(*found)) {
        table.erase(found);
        return nullptr;
    }
    return found->object.getObject();
}

std::size_t kv2TableCount()
{
    if (!g_state)
        return 0;
    std::vector<TableEntry>& table = g_state->table;
    table.erase(std::remove_if(table.begin(), table.end(), [](const TableEntry& e) { return !entryLives(e); }),
                table.end());
    return table.size();
}

void kv2SetPending(KvoObject* object)
{
    state().pending = KvoValue(object, true);
}

void kv2ClearPending()
{
    if (g_state)
        g_state->pending.dispose();
}

WNDPROC kv2Subclass(HWND hwnd)
{
    const WNDPROC current = currentProcedure(hwnd);
    if (!current || current == &kv2WindowProcedure)
        return nullptr;
    const auto previous =
        reinterpret_cast<WNDPROC>(SetWindowLongPtrW(hwnd, GWLP_WNDPROC, procedureValue(&kv2WindowProcedure)));
    if (!previous)
        return nullptr;
    noteOwned(hwnd, previous);
    return previous;
}

WNDPROC kv2SavedProcedure(HWND hwnd) noexcept
{
    if (!g_state)
        return nullptr;
    for (const OwnedWindow& window : g_state->ownedWindows) {
        if (window.hwnd == hwnd)
            return window.saved;
    }
    return nullptr;
}

std::int32_t kv2DefaultProcedure(HWND hwnd, std::int32_t msg, std::int32_t wParam, std::int32_t lParam)
{
    const std::vector<InFlightMessage>& inFlight = state().inFlight;
    for (auto m = inFlight.rbegin(); m != inFlight.rend(); ++m) {
        if (m->hwnd == hwnd && static_cast<std::int32_t>(m->msg) == msg &&
            static_cast<std::int32_t>(m->wParam) == wParam && static_cast<std::int32_t>(m->lParam) == lParam)
            return static_cast<std::int32_t>(passOn(hwnd, m->msg, m->wParam, m->lParam));
    }
    if (isAddressMessage(msg))
        return 0;
    return static_cast<std::int32_t>(passOn(hwnd, static_cast<UINT>(msg), static_cast<std::uint32_t>(wParam), lParam));
}

void kv2RememberAccelerator(HACCEL table)
{
    if (table)
        state().accelerators.push_back(table);
}

bool kv2DestroyAccelerator(HACCEL table)
{
    if (!table || !g_state)
        return false;
    std::vector<HACCEL>& tables = g_state->accelerators;
    auto found = std::find(tables.begin(), tables.end(), table);
    if (found == tables.end())
        return false;
    tables.erase(found);
    DestroyAcceleratorTable(table);
    return true;
}

bool kv2IsAccelerator(HACCEL table) noexcept
{
    return table && g_state && std::find(g_state->accelerators.begin(), g_state->accelerators.end(), table) !=
                                   g_state->accelerators.end();
}

LRESULT kv2WindowProcedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    ModuleState& module = state();
    // Only the class procedure sees WM_NCCREATE: this is a Kv2Window window (or one of another
    // class that runs this procedure), which must be handed back before the module goes.
    if (msg == WM_NCCREATE && !kv2SavedProcedure(hwnd))
        noteOwned(hwnd, nullptr);
    KvoValue object(kv2TableFind(hwnd));
    bool creating = false;
    if (!object.getObject() && msg == WM_CREATE && module.pending.getObject()) {
        // The window of WinBase::create: from now on its messages reach the object, those sent
        // while WM_CREATE is handled included.
        object = KvoValue(module.pending.getObject());
        module.pending.dispose();
        creating = true;
        kv2TableInsert(hwnd, object.getObject());
        kv2SetMemberInteger(object.getObject(), g_winBaseSlots.hwnd, kv2IntegerOf(hwnd));
    }
    LRESULT result = 0;
    if (!object.getObject() || !deliver(object.getObject(), creating, hwnd, msg, wParam, lParam, result))
        result = passOn(hwnd, msg, wParam, lParam);
    if (msg == WM_DESTROY && object.getObject()) {
        // Also after a failed handleMessage: an entry of a destroyed window would keep mainLoop
        // running for ever. The object's handle is cleared, so its methods report the missing
        // window and create may make a new one.
        kv2TableRemove(hwnd, object.getObject());
        if (kv2MemberInteger(object.getObject(), g_winBaseSlots.hwnd) == kv2IntegerOf(hwnd))
            kv2SetMemberInteger(object.getObject(), g_winBaseSlots.hwnd, 0);
    }
    if (msg == WM_NCDESTROY) {
        kv2TableRemove(hwnd);
        forgetOwned(hwnd);
    }
    return result;
}

// ---- Handler errors -----------------------------------------------------------------------------

Kv2HandlerErrorScope::Kv2HandlerErrorScope(KvoVirtualMachine* vm) : m_vm(vm), m_outer(g_innermostScope)
{
    g_innermostScope = this;
}

Kv2HandlerErrorScope::~Kv2HandlerErrorScope()
{
    g_innermostScope = m_outer;
}

bool Kv2HandlerErrorScope::raiseKept()
{
    if (!m_hasError)
        return true;
    m_hasError = false;
    KvoInterpreter* interpreter = m_vm ? m_vm->interpreter() : nullptr;
    return interpreter ? interpreter->returnError(m_error) : false;
}

void Kv2HandlerErrorScope::report(KvoVirtualMachine& vm, KvoInterpreter& interpreter)
{
    for (Kv2HandlerErrorScope* scope = g_innermostScope; scope; scope = scope->m_outer) {
        if (scope->m_vm == &vm) {
            // The first error counts: what followed may well be its consequence.
            if (!scope->m_hasError) {
                scope->m_error = interpreter.getException();
                scope->m_hasError = true;
            }
            return;
        }
    }
    vm.printer()(u"%s", interpreter.errors().c_str());
}

// ---- Attach and detach --------------------------------------------------------------------------

extern "C" KVO_API BOOL KvoModuleAttach(HMODULE module)
{
    ModuleState& module_state = state();
    module_state.instance = module;
    module_state.table.reserve(TABLE_GROWTH);
    WNDCLASSW windowClass{};
    windowClass.style = KV2_WINDOW_STYLE;
    windowClass.lpfnWndProc = &kv2WindowProcedure;
    windowClass.hInstance = module;
    windowClass.hCursor = reinterpret_cast<HCURSOR>(ARROW_CURSOR);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(KV2_WINDOW_BACKGROUND);
    windowClass.lpszClassName = KV2_WINDOW_CLASS_NAME;
    if (RegisterClassW(&windowClass) == 0) {
        MessageBoxW(nullptr, REGISTRATION_FAILED, REGISTRATION_FAILED_CAPTION, MB_OK);
        return FALSE;
    }
    module_state.classRegistered = true;
    return TRUE;
}

// Called by a machine before it frees the plug-in: that machine's objects leave the table and
// their windows stay alive, their messages going to the procedure the module replaced or to
// DefWindowProcW.
extern "C" KVO_API void UnregisterNativeModule(KvoVirtualMachine* vm)
{
    if (!vm || !g_state)
        return;
    std::vector<HWND> released;
    std::vector<TableEntry>& table = g_state->table;
    for (auto entry = table.begin(); entry != table.end();) {
        if (entry->vm == vm) {
            released.push_back(entry->hwnd);
            entry = table.erase(entry);
        } else {
            ++entry;
        }
    }
    for (HWND hwnd : released) {
        auto owned = findOwned(hwnd);
        if (owned == g_state->ownedWindows.end())
            continue;
        // A Kv2Window window stays in the list: it is destroyed when the module goes.
        if (!releaseWindow(*owned))
            g_state->ownedWindows.erase(owned);
    }
    KvoObject* pending = g_state->pending.getObject();
    if (pending && pending->getClass() && &pending->getClass()->getVM() == vm)
        g_state->pending.dispose();
}

namespace {

__attribute__((destructor)) void kv2ModuleDetach()
{
    if (!g_state)
        return;
    const std::vector<OwnedWindow> owned = g_state->ownedWindows;
    std::vector<HWND> kv2Windows;
    for (const OwnedWindow& window : owned) {
        if (releaseWindow(window))
            kv2Windows.push_back(window.hwnd);
    }
    // Destroying a parent destroys its children: each handle is checked again.
    for (HWND hwnd : kv2Windows) {
        if (IsWindow(hwnd))
            DestroyWindow(hwnd);
    }
    if (g_state->classRegistered)
        UnregisterClassW(KV2_WINDOW_CLASS_NAME, g_state->instance);
    for (HACCEL table : g_state->accelerators)
        DestroyAcceleratorTable(table);
    delete g_state;
    g_state = nullptr;
}

} // namespace
