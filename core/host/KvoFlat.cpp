// The flat exported interface (kvo.h): plain functions with C linkage that forward to
// KvoVirtualMachine and the channel classes, for hosts that cannot use the classes. The embedding
// functions (host functions, globals, typed calls, the last error) are in KvoFlatApi.cpp.
//
// Handles are the objects themselves, so a stale or mistaken pointer would reach freed memory or
// an object of another kind. Every handle this file creates is therefore entered in a
// process-wide table of live handles with its kind, and every function looks its handles up
// there before it touches them: a pointer that is not live with the right kind gets the
// function's failure value and no call. The table also counts uses. A machine counts the calls of
// this interface in progress on it (a callback of its script is inside one): it is not released
// or reset under them. A printer or input counts the machines it is attached to and the calls in
// progress that were handed it, and a callback channel knows when its own callback runs: it is
// not released while any of these hold.
//
// Quick functions do their work under the table's lock, so another thread (Kvo_Cancel,
// Kvo_SetDbgWindow and the procedure setters may be called from one) never sees a handle released
// between the look-up and the call. Functions that may call back into the host (compiling,
// running, module files, reset) hold their handles counted instead and run without the lock.
//
// No C++ exception leaves these functions: whatever is thrown inside one (an allocation failing
// in a container, say) ends it with its failure value.
#include <array>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "host/KvoCallbackInput.h"
#include "host/KvoCallbackPrinter.h"
#include "host/KvoFlatInternal.h"
#include "host/KvoFileStreamPrinter.h"
#include "host/KvoMessages.h"
#include "host/KvoVirtualMachine.h"
#include "host/KvoWinMsgInput.h"
#include "host/KvoWinMsgPrinter.h"
#include "host/kvo.h"
#include "platform/KvoText.h"

// The C header spells the library's types in C; they must be the very same types.
static_assert(sizeof(KvoWChar) == sizeof(KvoChar));
static_assert(std::is_same_v<KvoDbgProc, KvoVirtualMachine::DbgProc>);
static_assert(std::is_same_v<KvoLineChangedProc, KvoVirtualMachine::LineChangedProc>);

namespace {

// What a live handle of the table is; one bit each, so a look-up can accept several kinds.
enum HandleKind : unsigned {
    KIND_MACHINE = 1,
    KIND_PRINTER = 2,          // console and window printers
    KIND_CALLBACK_PRINTER = 4,
    KIND_CALLBACK_INPUT = 8,
    KIND_WINDOW_INPUT = 16,
};
constexpr unsigned ANY_PRINTER = KIND_PRINTER | KIND_CALLBACK_PRINTER;
constexpr unsigned ANY_INPUT = KIND_CALLBACK_INPUT | KIND_WINDOW_INPUT;

struct HandleRecord {
    HandleKind kind;
    // A machine: calls of this interface in progress on it. A channel: the machines it is
    // attached to plus the calls in progress that were handed it.
    int uses = 0;
    // A machine's printer and installed input when they are handles of this table (each counted
    // in that handle's uses); null otherwise.
    const void* printer = nullptr;
    const void* input = nullptr;
};

// The live handles created here, by address. Every member but hold() expects the lock held.
class HandleTable
{
public:
    std::unique_lock<std::mutex> hold() { return std::unique_lock<std::mutex>(m_lock); }

    // The record of handle when it is live with one of kinds; null otherwise (also for null).
    HandleRecord* find(const void* handle, unsigned kinds)
    {
        if (handle == nullptr)
            return nullptr;
        const auto found = m_handles.find(handle);
        return found != m_handles.end() && (found->second.kind & kinds) != 0 ? &found->second : nullptr;
    }
    HandleRecord& add(const void* handle, HandleKind kind) { return m_handles[handle] = HandleRecord{kind}; }
    void remove(const void* handle) { m_handles.erase(handle); }
    // One use of handle fewer (a handle whose uses are counted cannot have gone).
    void drop(const void* handle)
    {
        if (HandleRecord* record = find(handle, ~0u))
            --record->uses;
    }

private:
    std::mutex m_lock;
    std::unordered_map<const void*, HandleRecord> m_handles;
};

HandleTable& handleTable()
{
    // Never destroyed, so a host releasing handles from its own static destructors still finds it.
    static HandleTable* table = new HandleTable;
    return *table;
}

// The typed object behind a handle. The handle types of kvo.h are incomplete and only name the
// object; a handle is the object's address (of its IKvoPrinter or IKvoInput base for channels).
KvoVirtualMachine* machineOf(KvoVM* vm) { return reinterpret_cast<KvoVirtualMachine*>(vm); }
IKvoPrinter* printerOf(KvoPrinter* printer) { return reinterpret_cast<IKvoPrinter*>(printer); }
IKvoInput* inputOf(KvoInput* input) { return reinterpret_cast<IKvoInput*>(input); }
KvoPrinter* printerHandle(IKvoPrinter* printer) { return reinterpret_cast<KvoPrinter*>(printer); }
KvoInput* inputHandle(IKvoInput* input) { return reinterpret_cast<KvoInput*>(input); }
const KvoChar* textOf(const KvoWChar* text) { return reinterpret_cast<const KvoChar*>(text); }
const KvoWChar* wideOf(const KvoChar* text) { return reinterpret_cast<const KvoWChar*>(text); }

// Runs body and gives its result; failure when anything is thrown, so that no exception crosses
// the C interface.
template <class Result, class Body>
Result guarded(Result failure, Body body) noexcept
{
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

template <class Body>
void guarded(Body body) noexcept
{
    try {
        body();
    } catch (...) {
    }
}

// Runs body(machine) under the table's lock when vm is a live machine; failure otherwise. For
// quick work that never calls back into the host.
template <class Result, class Body>
Result withMachine(KvoVM* vm, Result failure, Body body) noexcept
{
    return guarded(failure, [&]() -> Result {
        HandleTable& table = handleTable();
        const auto lock = table.hold();
        if (!table.find(vm, KIND_MACHINE))
            return failure;
        return body(*machineOf(vm));
    });
}

template <class Body>
void withMachine(KvoVM* vm, Body body) noexcept
{
    (void)withMachine(vm, 0, [&](KvoVirtualMachine& machine) {
        body(machine);
        return 0;
    });
}

// The handles of one call that may call back into the host: the machine and the printers it was
// handed, checked and counted in use while the call runs. Valid when the machine is live and
// every printer is null or a live printer; exclusive calls also need the machine idle (no other
// call of this interface in progress on it).
class CallHandles
{
public:
    CallHandles(KvoVM* vm, std::initializer_list<KvoPrinter*> printers, bool exclusive = false)
    {
        HandleTable& table = handleTable();
        const auto lock = table.hold();
        HandleRecord* machine = table.find(vm, KIND_MACHINE);
        if (!machine || (exclusive && machine->uses > 0))
            return;
        for (KvoPrinter* printer : printers) {
            if (printer && !table.find(printer, ANY_PRINTER))
                return;
        }
        ++machine->uses;
        m_held[m_count++] = vm;
        for (KvoPrinter* printer : printers) {
            if (printer && m_count < m_held.size()) {
                ++table.find(printer, ANY_PRINTER)->uses;
                m_held[m_count++] = printer;
            }
        }
        m_valid = true;
    }
    ~CallHandles()
    {
        HandleTable& table = handleTable();
        const auto lock = table.hold();
        for (std::size_t i = 0; i < m_count; ++i)
            table.drop(m_held[i]);
    }
    CallHandles(const CallHandles&) = delete;
    CallHandles& operator=(const CallHandles&) = delete;

    bool valid() const noexcept { return m_valid; }

private:
    // The machine and the (at most two) printers of the call.
    std::array<const void*, 3> m_held{};
    std::size_t m_count = 0;
    bool m_valid = false;
};

// A new printer or input (as its interface Base) entered in the table; null when allocation fails.
template <class Base, class Channel, class... Args>
Base* newChannel(HandleKind kind, Args... args)
{
    return guarded(static_cast<Base*>(nullptr), [&]() -> Base* {
        Base* channel = new (std::nothrow) Channel(args...);
        if (channel) {
            HandleTable& table = handleTable();
            const auto lock = table.hold();
            try {
                table.add(channel, kind);
            } catch (...) {
                delete channel;
                throw;
            }
        }
        return channel;
    });
}

// Takes handle out of the table when it is a live channel of one of kinds, unused, and not
// inside its own callback; true when it did (the caller deletes the channel then).
bool takeChannel(const void* handle, unsigned kinds)
{
    HandleTable& table = handleTable();
    const auto lock = table.hold();
    const HandleRecord* record = table.find(handle, kinds);
    if (!record || record->uses > 0)
        return false;
    void* channel = const_cast<void*>(handle);
    if (record->kind == KIND_CALLBACK_PRINTER &&
        static_cast<KvoCallbackPrinter*>(static_cast<IKvoPrinter*>(channel))->inCallback())
        return false;
    if (record->kind == KIND_CALLBACK_INPUT && static_cast<KvoCallbackInput*>(static_cast<IKvoInput*>(channel))->inCallback())
        return false;
    table.remove(handle);
    return true;
}

// The UTF-16 form of a UTF-8 argument, alive for the call; get() is null for a null argument.
class WideArgument
{
public:
    explicit WideArgument(const char* text) : m_isNull(text == nullptr)
    {
        if (text)
            m_text = kvoFromUtf8(text);
    }
    const KvoChar* get() const noexcept { return m_isNull ? nullptr : m_text.c_str(); }

private:
    bool m_isNull;
    std::u16string m_text;
};

int flag(bool on) { return on ? 1 : 0; }

int compileFile(KvoVM* vm, const KvoChar* path, int showInfo, int debug, KvoPrinter* printer,
                KvoPrinter* debugPrinter)
{
    const CallHandles handles(vm, {printer, debugPrinter});
    if (!handles.valid())
        return 0;
    KvoVirtualMachine& machine = *machineOf(vm);
    KvoRecordingPrinter record(printer ? printerOf(printer) : &machine.printer());
    if (machine.compileFile(path, showInfo != 0, debug != 0, &record, printerOf(debugPrinter)))
        return 1;
    kvoFlatReportFailure(machine, record, path ? "error opening file " + kvoToUtf8(path) : "null file name");
    return 0;
}

int compileText(KvoVM* vm, const KvoChar* text, int showInfo, int debug, KvoPrinter* printer,
                KvoPrinter* debugPrinter)
{
    const CallHandles handles(vm, {printer, debugPrinter});
    if (!handles.valid())
        return 0;
    KvoVirtualMachine& machine = *machineOf(vm);
    KvoRecordingPrinter record(printer ? printerOf(printer) : &machine.printer());
    if (machine.compileText(text, showInfo != 0, debug != 0, &record, printerOf(debugPrinter)))
        return 1;
    kvoFlatReportFailure(machine, record, text ? "compilation failed" : "null source text");
    return 0;
}

// Runs the function name with copies of the given texts, as Kvo_ExecuteA/W describe. A run
// started from a callback of this machine's running script nests inside it and counts toward
// the limit of nested runs (the machine refuses it past the limit with "stack overflow").
int executeWithCopies(KvoVM* vm, const KvoChar* name, std::vector<std::u16string>& arguments, bool trace,
                      KvoPrinter* errorPrinter, KvoPrinter* tracePrinter)
{
    const CallHandles handles(vm, {errorPrinter, tracePrinter});
    if (!handles.valid())
        return 0;
    std::vector<const KvoChar*> argv;
    argv.reserve(arguments.size());
    for (const std::u16string& argument : arguments)
        argv.push_back(argument.c_str());
    KvoVirtualMachine& machine = *machineOf(vm);
    // The error text is kept for Kvo_GetLastError as it is printed.
    KvoRecordingPrinter record(errorPrinter ? printerOf(errorPrinter) : &machine.printer());
    if (machine.execute(name, static_cast<int>(argv.size()), argv.empty() ? nullptr : argv.data(), trace, &record,
                        printerOf(tracePrinter)))
        return 1;
    const KvoDictionaryEntry* entry = machine.symbols().find(name);
    kvoFlatReportFailure(machine, record,
                         (entry && entry->getSymbolType() == SYM_FUNCTION ? "the call of '" : "unknown function '") +
                             kvoToUtf8(name) + "'");
    return 0;
}

// The script arguments of Kvo_ExecuteA/W as UTF-16 copies; a null element is an empty text.
template <class Text, class Convert>
bool copyArguments(int argc, const Text* const* argv, std::vector<std::u16string>& copies, Convert convert)
{
    if (argc < 1)
        return true;
    if (argv == nullptr)
        return false;
    copies.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i)
        copies.push_back(argv[i] ? convert(argv[i]) : std::u16string());
    return true;
}

int writeModule(KvoVM* vm, const KvoChar* path)
{
    const CallHandles handles(vm, {});
    return handles.valid() ? flag(machineOf(vm)->writeModule(path)) : 0;
}

int readModule(KvoVM* vm, const KvoChar* path)
{
    const CallHandles handles(vm, {});
    return handles.valid() ? flag(machineOf(vm)->readModule(path)) : 0;
}

// Stores name=value through the machine's environment service; a null value deletes name.
void setEnvironment(const KvoChar* name, const KvoChar* value)
{
    // A name holding '=' would be split at its own '=', storing a different variable.
    if (name == nullptr || *name == 0 || kvoStrChr(name, u'=') != nullptr)
        return;
    std::u16string assignment(name);
    assignment += u'=';
    if (value)
        assignment += value;
    (void)KvoVirtualMachine::_tputenv(assignment.c_str());
}

} // namespace

bool kvoFlatEnterMachine(KvoVM* vm) noexcept
{
    return guarded(false, [vm] {
        HandleTable& table = handleTable();
        const auto lock = table.hold();
        HandleRecord* record = table.find(vm, KIND_MACHINE);
        if (!record)
            return false;
        ++record->uses;
        return true;
    });
}

void kvoFlatLeaveMachine(KvoVM* vm) noexcept
{
    guarded([vm] {
        HandleTable& table = handleTable();
        const auto lock = table.hold();
        table.drop(vm);
    });
}

extern "C" {

// ---- Machines ----

KVO_API KvoVM* Kvo_CreateVM(KvoPrinter* printer)
{
    return guarded(static_cast<KvoVM*>(nullptr), [printer]() -> KvoVM* {
        HandleTable& table = handleTable();
        {
            // The printer is attached before the machine exists, so it cannot go meanwhile.
            const auto lock = table.hold();
            HandleRecord* record = table.find(printer, ANY_PRINTER);
            if (printer && !record)
                return nullptr;
            if (record)
                ++record->uses;
        }
        KvoVirtualMachine* vm = nullptr;
        try {
            vm = new (std::nothrow) KvoVirtualMachine(printerOf(printer));
            if (vm) {
                const auto lock = table.hold();
                table.add(vm, KIND_MACHINE).printer = printer;
                return reinterpret_cast<KvoVM*>(vm);
            }
        } catch (...) {
            delete vm;
        }
        const auto lock = table.hold();
        table.drop(printer);
        return nullptr;
    });
}

KVO_API int Kvo_ReleaseVM(KvoVM* vm)
{
    return guarded(0, [vm] {
        HandleTable& table = handleTable();
        const void* printer = nullptr;
        const void* input = nullptr;
        {
            const auto lock = table.hold();
            const HandleRecord* record = table.find(vm, KIND_MACHINE);
            // A callback running inside a call on this machine must not pull the machine away.
            if (!record || record->uses > 0 || machineOf(vm)->interpreter() != nullptr)
                return 0;
            printer = record->printer;
            input = record->input;
            table.remove(vm);
        }
        delete machineOf(vm);
        const auto lock = table.hold();
        table.drop(printer);
        table.drop(input);
        return 1;
    });
}

KVO_API void Kvo_Reinit(KvoVM* vm)
{
    guarded([vm] {
        const CallHandles handles(vm, {}, true);
        if (handles.valid())
            machineOf(vm)->reinit();
    });
}

KVO_API int Kvo_GetGenerateLineInfo(KvoVM* vm)
{
    return withMachine(vm, 0, [](KvoVirtualMachine& machine) { return flag(machine.getGenerateLineInfo()); });
}

KVO_API void Kvo_SetGenerateLineInfo(KvoVM* vm, int on)
{
    withMachine(vm, [on](KvoVirtualMachine& machine) { machine.setGenerateLineInfo(on != 0); });
}

KVO_API int Kvo_GetGenerateLocalVarInfo(KvoVM* vm)
{
    return withMachine(vm, 0, [](KvoVirtualMachine& machine) { return flag(machine.getGenerateLocalVarInfo()); });
}

KVO_API void Kvo_SetGenerateLocalVarInfo(KvoVM* vm, int on)
{
    withMachine(vm, [on](KvoVirtualMachine& machine) { machine.setGenerateLocalVarInfo(on != 0); });
}

KVO_API int Kvo_GetUntrusted(KvoVM* vm)
{
    return withMachine(vm, 0, [](KvoVirtualMachine& machine) { return flag(machine.isUntrusted()); });
}

KVO_API int Kvo_SetUntrusted(KvoVM* vm, int on)
{
    return guarded(0, [vm, on] {
        HandleTable& table = handleTable();
        const auto lock = table.hold();
        const HandleRecord* record = table.find(vm, KIND_MACHINE);
        // Only between calls: the functions a running script or compilation uses stay as they are.
        if (!record || record->uses > 0)
            return 0;
        return flag(machineOf(vm)->setUntrusted(on != 0));
    });
}

KVO_API int Kvo_CompileFileW(KvoVM* vm, const KvoWChar* path, int showInfo, int debug, KvoPrinter* printer,
                             KvoPrinter* debugPrinter)
{
    return guarded(0, [&] { return compileFile(vm, textOf(path), showInfo, debug, printer, debugPrinter); });
}

KVO_API int Kvo_CompileFileA(KvoVM* vm, const char* path, int showInfo, int debug, KvoPrinter* printer,
                             KvoPrinter* debugPrinter)
{
    return guarded(0, [&] {
        const WideArgument widePath(path);
        return compileFile(vm, widePath.get(), showInfo, debug, printer, debugPrinter);
    });
}

KVO_API int Kvo_CompileTextW(KvoVM* vm, const KvoWChar* text, int showInfo, int debug, KvoPrinter* printer,
                             KvoPrinter* debugPrinter)
{
    return guarded(0, [&] { return compileText(vm, textOf(text), showInfo, debug, printer, debugPrinter); });
}

KVO_API int Kvo_CompileTextA(KvoVM* vm, const char* text, int showInfo, int debug, KvoPrinter* printer,
                             KvoPrinter* debugPrinter)
{
    return guarded(0, [&] {
        const WideArgument wideText(text);
        return compileText(vm, wideText.get(), showInfo, debug, printer, debugPrinter);
    });
}

KVO_API int Kvo_ExecuteW(KvoVM* vm, const KvoWChar* name, int argc, const KvoWChar* const* argv, int trace,
                         KvoPrinter* errorPrinter, KvoPrinter* tracePrinter)
{
    if (vm == nullptr || name == nullptr)
        return 0;
    return guarded(0, [&] {
        std::vector<std::u16string> arguments;
        if (!copyArguments(argc, argv, arguments, [](const KvoWChar* text) { return std::u16string(textOf(text)); }))
            return 0;
        return executeWithCopies(vm, textOf(name), arguments, trace != 0, errorPrinter, tracePrinter);
    });
}

KVO_API int Kvo_ExecuteA(KvoVM* vm, const char* name, int argc, const char* const* argv, int trace,
                         KvoPrinter* errorPrinter, KvoPrinter* tracePrinter)
{
    if (vm == nullptr || name == nullptr)
        return 0;
    return guarded(0, [&] {
        std::vector<std::u16string> arguments;
        if (!copyArguments(argc, argv, arguments, [](const char* text) { return kvoFromUtf8(text); }))
            return 0;
        const std::u16string wideName = kvoFromUtf8(name);
        return executeWithCopies(vm, wideName.c_str(), arguments, trace != 0, errorPrinter, tracePrinter);
    });
}

KVO_API int32_t Kvo_GetIntResult(KvoVM* vm)
{
    return withMachine(vm, std::numeric_limits<std::int32_t>::min(),
                       [](KvoVirtualMachine& machine) { return machine.getResult().getLong(); });
}

KVO_API void Kvo_Cancel(KvoVM* vm)
{
    withMachine(vm, [](KvoVirtualMachine& machine) { machine.cancel(); });
}

KVO_API int Kvo_WriteModuleW(KvoVM* vm, const KvoWChar* path)
{
    return guarded(0, [&] { return writeModule(vm, textOf(path)); });
}

KVO_API int Kvo_WriteModuleA(KvoVM* vm, const char* path)
{
    return guarded(0, [&] {
        const WideArgument widePath(path);
        return writeModule(vm, widePath.get());
    });
}

KVO_API int Kvo_ReadModuleW(KvoVM* vm, const KvoWChar* path)
{
    return guarded(0, [&] { return readModule(vm, textOf(path)); });
}

KVO_API int Kvo_ReadModuleA(KvoVM* vm, const char* path)
{
    return guarded(0, [&] {
        const WideArgument widePath(path);
        return readModule(vm, widePath.get());
    });
}

KVO_API const char* Kvo_GetCurrentSourceA(KvoVM* vm)
{
    // Kept apart from the shared a_str buffer, which any later conversion would overwrite.
    thread_local std::string source;
    return withMachine(vm, static_cast<const char*>(nullptr), [](KvoVirtualMachine& machine) {
        source = kvoToUtf8(machine.getCurrentSource().c_str());
        return source.c_str();
    });
}

KVO_API const KvoWChar* Kvo_GetCurrentSourceW(KvoVM* vm)
{
    return withMachine(vm, static_cast<const KvoWChar*>(nullptr),
                       [](KvoVirtualMachine& machine) { return wideOf(machine.getCurrentSource().w_str()); });
}

KVO_API int32_t Kvo_GetCurrentLine(KvoVM* vm)
{
    return withMachine(vm, std::int32_t{-1}, [](KvoVirtualMachine& machine) { return machine.getCurrentLine(); });
}

// ---- Debugging hooks ----

KVO_API KvoDbgProc Kvo_SetDbgWaitProc(KvoVM* vm, KvoDbgProc proc)
{
    return withMachine(vm, KvoDbgProc{nullptr}, [proc](KvoVirtualMachine& machine) { return machine.setDbgWaitProc(proc); });
}

KVO_API KvoDbgProc Kvo_SetBreakRequestProc(KvoVM* vm, KvoDbgProc proc)
{
    return withMachine(vm, KvoDbgProc{nullptr},
                       [proc](KvoVirtualMachine& machine) { return machine.setBreakRequestProc(proc); });
}

KVO_API KvoLineChangedProc Kvo_SetLineChangedProc(KvoVM* vm, KvoLineChangedProc proc)
{
    return withMachine(vm, KvoLineChangedProc{nullptr},
                       [proc](KvoVirtualMachine& machine) { return machine.setLineChangedProc(proc); });
}

KVO_API void Kvo_SetDbgWindow(KvoVM* vm, HWND window)
{
    withMachine(vm, [window](KvoVirtualMachine& machine) { machine.setDbgWindow(window); });
}

KVO_API UINT Kvo_GetBreakRequestMsg(void) { return guarded(UINT{0}, [] { return KvoVirtualMachine::getBreakRequestMsg(); }); }
KVO_API UINT Kvo_GetDbgWaitMsg(void) { return guarded(UINT{0}, [] { return KvoVirtualMachine::getDbgWaitMsg(); }); }
KVO_API UINT Kvo_GetLineChangedMsg(void) { return guarded(UINT{0}, [] { return KvoVirtualMachine::getLineChangedMsg(); }); }

// ---- Printers ----

KVO_API KvoPrinter* Kvo_CreateConsolePrinter(void)
{
    return printerHandle(newChannel<IKvoPrinter, KvoFileStreamPrinter>(KIND_PRINTER, static_cast<void*>(stdout), false));
}

KVO_API KvoPrinter* Kvo_CreateCallbackPrinter(KvoPrintCallback callback)
{
    if (callback == nullptr)
        return nullptr;
    return printerHandle(newChannel<IKvoPrinter, KvoCallbackPrinter>(KIND_CALLBACK_PRINTER, callback));
}

KVO_API KvoPrinter* Kvo_CreateWinMsgPrinter(HWND window)
{
    return printerHandle(newChannel<IKvoPrinter, KvoWinMsgPrinter>(KIND_PRINTER, static_cast<void*>(window)));
}

KVO_API UINT Kvo_GetPrintStringMsg(void) { return guarded(UINT{0}, [] { return kvoPrintStringMsg(); }); }

KVO_API int Kvo_ReleasePrinter(KvoPrinter* printer)
{
    return guarded(0, [printer] {
        if (!takeChannel(printer, ANY_PRINTER))
            return 0;
        delete printerOf(printer);
        return 1;
    });
}

// ---- Input channels ----

KVO_API KvoInput* Kvo_CreateCallbackInput(KvoCharInputCallback charCallback, KvoLineInputCallback lineCallback)
{
    return inputHandle(newChannel<IKvoInput, KvoCallbackInput>(KIND_CALLBACK_INPUT, charCallback, lineCallback));
}

KVO_API KvoInput* Kvo_CreateWinMsgInput(HWND window)
{
    return inputHandle(newChannel<IKvoInput, KvoWinMsgInput>(KIND_WINDOW_INPUT, static_cast<void*>(window)));
}

KVO_API UINT Kvo_GetStringInputMsg(void) { return guarded(UINT{0}, [] { return kvoStringInputMsg(); }); }
KVO_API UINT Kvo_GetCharInputMsg(void) { return guarded(UINT{0}, [] { return kvoCharInputMsg(); }); }

} // extern "C"

namespace {

// Runs body(window input) under the table's lock when input is a live window input made here.
template <class Body>
void withWindowInput(KvoInput* input, Body body) noexcept
{
    guarded([&] {
        HandleTable& table = handleTable();
        const auto lock = table.hold();
        if (table.find(input, KIND_WINDOW_INPUT))
            body(*static_cast<KvoWinMsgInput*>(inputOf(input)));
    });
}

} // namespace

extern "C" {

KVO_API void Kvo_SetWinInputStringA(KvoInput* input, const char* text)
{
    withWindowInput(input, [text](KvoWinMsgInput& channel) { channel.setString(text); });
}

KVO_API void Kvo_SetWinInputStringW(KvoInput* input, const KvoWChar* text)
{
    withWindowInput(input, [text](KvoWinMsgInput& channel) { channel.setString(textOf(text)); });
}

KVO_API void Kvo_SetWinInputCharA(KvoInput* input, char c)
{
    withWindowInput(input, [c](KvoWinMsgInput& channel) { channel.setChar(c); });
}

KVO_API void Kvo_SetWinInputCharW(KvoInput* input, KvoWChar c)
{
    withWindowInput(input, [c](KvoWinMsgInput& channel) { channel.setChar(static_cast<KvoChar>(c)); });
}

KVO_API int Kvo_ReleaseInput(KvoInput* input)
{
    return guarded(0, [input] {
        if (!takeChannel(input, ANY_INPUT))
            return 0;
        delete inputOf(input);
        return 1;
    });
}

KVO_API KvoInput* Kvo_SetCurrentInput(KvoVM* vm, KvoInput* input)
{
    return guarded(static_cast<KvoInput*>(nullptr), [vm, input]() -> KvoInput* {
        HandleTable& table = handleTable();
        const auto lock = table.hold();
        HandleRecord* machine = table.find(vm, KIND_MACHINE);
        if (!machine)
            return nullptr;
        KvoVirtualMachine& m = *machineOf(vm);
        // A live input of this interface, or the machine's own standard input (which
        // Kvo_SetCurrentInput and Kvo_GetCurrentInput hand out, so a host can put it back).
        HandleRecord* installed = table.find(input, ANY_INPUT);
        if (input && !installed && inputOf(input) != m.standardInput())
            return nullptr;
        IKvoInput* previous = m.setCurrentInput(inputOf(input));
        if (installed)
            ++installed->uses;
        table.drop(machine->input);
        machine->input = installed ? input : nullptr;
        return inputHandle(previous);
    });
}

KVO_API KvoInput* Kvo_GetCurrentInput(KvoVM* vm)
{
    return withMachine(vm, static_cast<KvoInput*>(nullptr),
                       [](KvoVirtualMachine& machine) { return inputHandle(machine.getCurrentInput()); });
}

// ---- Environment ----

KVO_API const KvoWChar* Kvo_GetEnvW(const KvoWChar* name)
{
    // _tgetenv's buffer is shared with the script functions; the value is kept apart from it.
    thread_local std::u16string value;
    guarded([name] { value = KvoVirtualMachine::_tgetenv(textOf(name)); });
    return wideOf(value.c_str());
}

KVO_API const char* Kvo_GetEnvA(const char* name)
{
    thread_local std::string value;
    guarded([name] {
        const WideArgument wideName(name);
        value = kvoToUtf8(KvoVirtualMachine::_tgetenv(wideName.get()));
    });
    return value.c_str();
}

KVO_API void Kvo_SetEnvW(const KvoWChar* name, const KvoWChar* value)
{
    guarded([=] { setEnvironment(textOf(name), textOf(value)); });
}

KVO_API void Kvo_SetEnvA(const char* name, const char* value)
{
    guarded([=] {
        const WideArgument wideName(name);
        const WideArgument wideValue(value);
        setEnvironment(wideName.get(), wideValue.get());
    });
}

} // extern "C"
