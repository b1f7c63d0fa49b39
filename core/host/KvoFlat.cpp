// The flat exported interface (kvo.h): plain functions with C linkage that forward to
// KvoVirtualMachine and the channel classes, for hosts that cannot use the classes.
//
// Handles are the objects themselves. Every handle this file creates is also entered in a
// process-wide table of live handles with its kind, and the release functions and the window-input
// setters act only on a pointer that the table holds with the right kind. So releasing a handle
// twice, releasing a machine's built-in standard input (which Kvo_SetCurrentInput hands back), or
// storing a line into a callback input does nothing instead of corrupting the heap. The other
// functions only test the handle for null, as they may be called at full speed or from another
// thread (Kvo_Cancel).
//
// Nothing is thrown out of these functions: allocation failure ends the process with exit code 1,
// as it does everywhere in the runtime.
#include <cstdint>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "host/KvoCallbackInput.h"
#include "host/KvoCallbackPrinter.h"
#include "host/KvoFileStreamPrinter.h"
#include "host/KvoMessages.h"
#include "host/KvoVirtualMachine.h"
#include "host/KvoWinMsgInput.h"
#include "host/KvoWinMsgPrinter.h"
#include "host/kvo.h"
#include "platform/KvoMemory.h"
#include "platform/KvoText.h"

// The C header spells the library's types in C; they must be the very same types.
static_assert(sizeof(KvoWChar) == sizeof(KvoChar));
static_assert(std::is_same_v<KvoDbgProc, KvoVirtualMachine::DbgProc>);
static_assert(std::is_same_v<KvoLineChangedProc, KvoVirtualMachine::LineChangedProc>);

namespace {

// What a live handle of the table is.
enum class HandleKind { machine, printer, callbackInput, winMsgInput };

// The live handles created here, by address.
class HandleTable
{
public:
    void add(const void* handle, HandleKind kind)
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        try {
            m_handles.emplace(handle, kind);
        } catch (const std::bad_alloc&) {
            errorExit(1);
        }
    }
    // True when handle is live with kind.
    bool has(const void* handle, HandleKind kind)
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        const auto found = m_handles.find(handle);
        return found != m_handles.end() && found->second == kind;
    }
    // Removes handle when it is live with one of the two kinds; true when it was.
    bool remove(const void* handle, HandleKind kind, HandleKind otherKind)
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        const auto found = m_handles.find(handle);
        if (found == m_handles.end() || (found->second != kind && found->second != otherKind))
            return false;
        m_handles.erase(found);
        return true;
    }

private:
    std::mutex m_lock;
    std::unordered_map<const void*, HandleKind> m_handles;
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

// A new printer or input (as its interface Base) entered in the table; null when allocation fails.
template <class Base, class Channel, class... Args>
Base* newChannel(HandleKind kind, Args... args)
{
    Base* channel = new (std::nothrow) Channel(args...);
    if (channel)
        handleTable().add(channel, kind);
    return channel;
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

// Runs body, ending the process with exit code 1 when memory runs out inside it (as the runtime's
// own allocations do), so that no exception crosses the C interface.
template <class Body>
auto guarded(Body body) noexcept -> decltype(body())
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        errorExit(1);
    }
}

// Runs the function name with copies of the given texts, as Kvo_ExecuteA/W describe.
int executeWithCopies(KvoVM* vm, const KvoChar* name, std::vector<std::u16string>& arguments, bool trace,
                      KvoPrinter* errorPrinter, KvoPrinter* tracePrinter)
{
    std::vector<const KvoChar*> argv;
    argv.reserve(arguments.size());
    for (const std::u16string& argument : arguments)
        argv.push_back(argument.c_str());
    return flag(machineOf(vm)->execute(name, static_cast<int>(argv.size()), argv.empty() ? nullptr : argv.data(),
                                       trace, printerOf(errorPrinter), printerOf(tracePrinter)));
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

extern "C" {

// ---- Machines ----

KVO_API KvoVM* Kvo_CreateVM(KvoPrinter* printer)
{
    return guarded([printer] {
        auto* vm = new (std::nothrow) KvoVirtualMachine(printerOf(printer));
        if (vm)
            handleTable().add(vm, HandleKind::machine);
        return reinterpret_cast<KvoVM*>(vm);
    });
}

KVO_API int Kvo_ReleaseVM(KvoVM* vm)
{
    if (vm == nullptr)
        return 0;
    // A callback running inside this machine's script must not pull the machine away from it.
    if (!handleTable().has(vm, HandleKind::machine) || machineOf(vm)->interpreter() != nullptr ||
        !handleTable().remove(vm, HandleKind::machine, HandleKind::machine))
        return 0;
    delete machineOf(vm);
    return 1;
}

KVO_API void Kvo_Reinit(KvoVM* vm)
{
    if (vm)
        guarded([vm] { machineOf(vm)->reinit(); });
}

KVO_API int Kvo_GetGenerateLineInfo(KvoVM* vm)
{
    return vm ? flag(machineOf(vm)->getGenerateLineInfo()) : 0;
}

KVO_API void Kvo_SetGenerateLineInfo(KvoVM* vm, int on)
{
    if (vm)
        machineOf(vm)->setGenerateLineInfo(on != 0);
}

KVO_API int Kvo_GetGenerateLocalVarInfo(KvoVM* vm)
{
    return vm ? flag(machineOf(vm)->getGenerateLocalVarInfo()) : 0;
}

KVO_API void Kvo_SetGenerateLocalVarInfo(KvoVM* vm, int on)
{
    if (vm)
        machineOf(vm)->setGenerateLocalVarInfo(on != 0);
}

KVO_API int Kvo_CompileFileW(KvoVM* vm, const KvoWChar* path, int showInfo, int debug, KvoPrinter* printer,
                             KvoPrinter* debugPrinter)
{
    if (vm == nullptr)
        return 0;
    return guarded([&] {
        return flag(machineOf(vm)->compileFile(textOf(path), showInfo != 0, debug != 0, printerOf(printer),
                                               printerOf(debugPrinter)));
    });
}

KVO_API int Kvo_CompileFileA(KvoVM* vm, const char* path, int showInfo, int debug, KvoPrinter* printer,
                             KvoPrinter* debugPrinter)
{
    if (vm == nullptr)
        return 0;
    return guarded([&] {
        const WideArgument widePath(path);
        return Kvo_CompileFileW(vm, wideOf(widePath.get()), showInfo, debug, printer, debugPrinter);
    });
}

KVO_API int Kvo_CompileTextW(KvoVM* vm, const KvoWChar* text, int showInfo, int debug, KvoPrinter* printer,
                             KvoPrinter* debugPrinter)
{
    if (vm == nullptr)
        return 0;
    return guarded([&] {
        return flag(machineOf(vm)->compileText(textOf(text), showInfo != 0, debug != 0, printerOf(printer),
                                               printerOf(debugPrinter)));
    });
}

KVO_API int Kvo_CompileTextA(KvoVM* vm, const char* text, int showInfo, int debug, KvoPrinter* printer,
                             KvoPrinter* debugPrinter)
{
    if (vm == nullptr)
        return 0;
    return guarded([&] {
        const WideArgument wideText(text);
        return Kvo_CompileTextW(vm, wideOf(wideText.get()), showInfo, debug, printer, debugPrinter);
    });
}

KVO_API int Kvo_ExecuteW(KvoVM* vm, const KvoWChar* name, int argc, const KvoWChar* const* argv, int trace,
                         KvoPrinter* errorPrinter, KvoPrinter* tracePrinter)
{
    if (vm == nullptr || name == nullptr)
        return 0;
    return guarded([&] {
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
    return guarded([&] {
        std::vector<std::u16string> arguments;
        if (!copyArguments(argc, argv, arguments, [](const char* text) { return kvoFromUtf8(text); }))
            return 0;
        const std::u16string wideName = kvoFromUtf8(name);
        return executeWithCopies(vm, wideName.c_str(), arguments, trace != 0, errorPrinter, tracePrinter);
    });
}

KVO_API int32_t Kvo_GetIntResult(KvoVM* vm)
{
    if (vm == nullptr)
        return std::numeric_limits<std::int32_t>::min();
    return machineOf(vm)->getResult().getLong();
}

KVO_API void Kvo_Cancel(KvoVM* vm)
{
    if (vm)
        machineOf(vm)->cancel();
}

KVO_API int Kvo_WriteModuleW(KvoVM* vm, const KvoWChar* path)
{
    return vm ? guarded([&] { return flag(machineOf(vm)->writeModule(textOf(path))); }) : 0;
}

KVO_API int Kvo_WriteModuleA(KvoVM* vm, const char* path)
{
    if (vm == nullptr)
        return 0;
    return guarded([&] {
        const WideArgument widePath(path);
        return flag(machineOf(vm)->writeModule(widePath.get()));
    });
}

KVO_API int Kvo_ReadModuleW(KvoVM* vm, const KvoWChar* path)
{
    return vm ? guarded([&] { return flag(machineOf(vm)->readModule(textOf(path))); }) : 0;
}

KVO_API int Kvo_ReadModuleA(KvoVM* vm, const char* path)
{
    if (vm == nullptr)
        return 0;
    return guarded([&] {
        const WideArgument widePath(path);
        return flag(machineOf(vm)->readModule(widePath.get()));
    });
}

KVO_API const char* Kvo_GetCurrentSourceA(KvoVM* vm)
{
    if (vm == nullptr)
        return nullptr;
    // Kept apart from the shared a_str buffer, which any later conversion would overwrite.
    thread_local std::string source;
    guarded([vm] { source = kvoToUtf8(machineOf(vm)->getCurrentSource().c_str()); });
    return source.c_str();
}

KVO_API const KvoWChar* Kvo_GetCurrentSourceW(KvoVM* vm)
{
    return vm ? wideOf(machineOf(vm)->getCurrentSource().w_str()) : nullptr;
}

KVO_API int32_t Kvo_GetCurrentLine(KvoVM* vm)
{
    return vm ? machineOf(vm)->getCurrentLine() : -1;
}

// ---- Debugging hooks ----

KVO_API KvoDbgProc Kvo_SetDbgWaitProc(KvoVM* vm, KvoDbgProc proc)
{
    return vm ? machineOf(vm)->setDbgWaitProc(proc) : nullptr;
}

KVO_API KvoDbgProc Kvo_SetBreakRequestProc(KvoVM* vm, KvoDbgProc proc)
{
    return vm ? machineOf(vm)->setBreakRequestProc(proc) : nullptr;
}

KVO_API KvoLineChangedProc Kvo_SetLineChangedProc(KvoVM* vm, KvoLineChangedProc proc)
{
    return vm ? machineOf(vm)->setLineChangedProc(proc) : nullptr;
}

KVO_API void Kvo_SetDbgWindow(KvoVM* vm, HWND window)
{
    if (vm)
        machineOf(vm)->setDbgWindow(window);
}

KVO_API UINT Kvo_GetBreakRequestMsg(void) { return KvoVirtualMachine::getBreakRequestMsg(); }
KVO_API UINT Kvo_GetDbgWaitMsg(void) { return KvoVirtualMachine::getDbgWaitMsg(); }
KVO_API UINT Kvo_GetLineChangedMsg(void) { return KvoVirtualMachine::getLineChangedMsg(); }

// ---- Printers ----

KVO_API KvoPrinter* Kvo_CreateConsolePrinter(void)
{
    return printerHandle(
        newChannel<IKvoPrinter, KvoFileStreamPrinter>(HandleKind::printer, static_cast<void*>(stdout), false));
}

KVO_API KvoPrinter* Kvo_CreateCallbackPrinter(KvoPrintCallback callback)
{
    if (callback == nullptr)
        return nullptr;
    return printerHandle(newChannel<IKvoPrinter, KvoCallbackPrinter>(HandleKind::printer, callback));
}

KVO_API KvoPrinter* Kvo_CreateWinMsgPrinter(HWND window)
{
    return printerHandle(newChannel<IKvoPrinter, KvoWinMsgPrinter>(HandleKind::printer, static_cast<void*>(window)));
}

KVO_API UINT Kvo_GetPrintStringMsg(void) { return kvoPrintStringMsg(); }

KVO_API int Kvo_ReleasePrinter(KvoPrinter* printer)
{
    if (printer == nullptr || !handleTable().remove(printer, HandleKind::printer, HandleKind::printer))
        return 0;
    delete printerOf(printer);
    return 1;
}

// ---- Input channels ----

KVO_API KvoInput* Kvo_CreateCallbackInput(KvoCharInputCallback charCallback, KvoLineInputCallback lineCallback)
{
    return inputHandle(newChannel<IKvoInput, KvoCallbackInput>(HandleKind::callbackInput, charCallback, lineCallback));
}

KVO_API KvoInput* Kvo_CreateWinMsgInput(HWND window)
{
    return inputHandle(newChannel<IKvoInput, KvoWinMsgInput>(HandleKind::winMsgInput, static_cast<void*>(window)));
}

KVO_API UINT Kvo_GetStringInputMsg(void) { return kvoStringInputMsg(); }
KVO_API UINT Kvo_GetCharInputMsg(void) { return kvoCharInputMsg(); }

} // extern "C"

namespace {

// The window input behind input, or null when input is not a live one made here.
KvoWinMsgInput* winMsgInputOf(KvoInput* input)
{
    if (input == nullptr || !handleTable().has(input, HandleKind::winMsgInput))
        return nullptr;
    return static_cast<KvoWinMsgInput*>(inputOf(input));
}

} // namespace

extern "C" {

KVO_API void Kvo_SetWinInputStringA(KvoInput* input, const char* text)
{
    if (KvoWinMsgInput* channel = winMsgInputOf(input))
        channel->setString(text);
}

KVO_API void Kvo_SetWinInputStringW(KvoInput* input, const KvoWChar* text)
{
    if (KvoWinMsgInput* channel = winMsgInputOf(input))
        channel->setString(textOf(text));
}

KVO_API void Kvo_SetWinInputCharA(KvoInput* input, char c)
{
    if (KvoWinMsgInput* channel = winMsgInputOf(input))
        channel->setChar(c);
}

KVO_API void Kvo_SetWinInputCharW(KvoInput* input, KvoWChar c)
{
    if (KvoWinMsgInput* channel = winMsgInputOf(input))
        channel->setChar(static_cast<KvoChar>(c));
}

KVO_API int Kvo_ReleaseInput(KvoInput* input)
{
    if (input == nullptr || !handleTable().remove(input, HandleKind::callbackInput, HandleKind::winMsgInput))
        return 0;
    delete inputOf(input);
    return 1;
}

KVO_API KvoInput* Kvo_SetCurrentInput(KvoVM* vm, KvoInput* input)
{
    return vm ? inputHandle(machineOf(vm)->setCurrentInput(inputOf(input))) : nullptr;
}

KVO_API KvoInput* Kvo_GetCurrentInput(KvoVM* vm)
{
    return vm ? inputHandle(machineOf(vm)->getCurrentInput()) : nullptr;
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
