// KvoVirtualMachine: the object a host deals with. It owns the global state of a script program:
// the dictionaries of classes, global symbols and loaded native modules, the output channel and
// the result of the last execution. It runs global functions through a fresh interpreter per
// execution and offers the debugging hooks (line change, single-step wait, break request) as host
// procedures or registered window messages.
// The dictionaries live inside the machine and carry one extra reference each, so that no
// reference handed out can ever delete them. A machine belongs to one thread; only cancel(), the
// hook setters and setDbgWindow() may be called from another thread while a script runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "host/IKvoPrinter.h"
#include "values/KvoClass.h"
#include "values/KvoDictionary.h"
#include "values/KvoObject.h"
#include "vm/IKvoDebugHooks.h"

class KvoInterpreter;

class KVO_API KvoVirtualMachine : public IKvoDebugHooks
{
public:
    // Host procedures for the debugging hooks: the debugger wait and the break request take no
    // arguments; the line-changed procedure gets the UTF-8 source name and the line.
    using DbgProc = bool (*)();
    using LineChangedProc = bool (*)(const char* source, std::int32_t line);

    // printer: the output channel (borrowed); null creates a printer that prints nothing, owned
    // by the machine.
    explicit KvoVirtualMachine(IKvoPrinter* printer = nullptr);
    KvoVirtualMachine(const KvoVirtualMachine&) = delete;
    KvoVirtualMachine& operator=(const KvoVirtualMachine&) = delete;
    // Clears classes, symbols and modules and deletes an owned printer.
    ~KvoVirtualMachine() override;

    // Class name -> SYM_CLASS entry holding the class.
    KvoDictionary& classes() noexcept { return m_classes; }
    // Global functions and variables.
    KvoDictionary& symbols() noexcept { return m_symbols; }
    // Native module name -> library handle.
    KvoDictionary& modules() noexcept { return m_modules; }
    // The output channel.
    IKvoPrinter& printer() noexcept { return *m_printer; }
    // The running interpreter, or null when no script runs.
    KvoInterpreter* interpreter() const noexcept { return m_interpreter; }
    // The value returned by the last executed function.
    const KvoValue& getResult() const noexcept { return m_result; }

    // Calls the global function name with argc string arguments (argv, UTF-16) in a fresh
    // interpreter and keeps its result. trace starts tracing with the first instruction, printed
    // to tracePrinter (the machine's printer when null). After an uncaught exception the error
    // text is printed to errorPrinter (the machine's printer when null). False for a null name,
    // a name that is not a global function, or an uncaught exception.
    bool execute(const KvoChar* name, int argc, const KvoChar** argv, bool trace = false,
                 IKvoPrinter* errorPrinter = nullptr, IKvoPrinter* tracePrinter = nullptr);

    // Enters a native function as global symbol name. False for a null or empty name, a null
    // function, or a name that is already defined (the first definition stays).
    bool registerNativeFunction(const KvoChar* name, KvoNativeFunc function);
    // Enters a native class under name: names it, marks it native and stores it (the dictionary
    // holds a reference). False for a null or empty name, a null class or a name already defined.
    bool registerNativeClass(const KvoChar* name, KvoClass* c);

    // Called when an object's count fell to 0. While a script runs and the object's class (or a
    // base) has a "dtor" member, the running interpreter takes a reference and runs the
    // destructor at its next instruction boundary; otherwise nothing happens and the object is
    // deleted. Objects that die while no script runs get no destructor call.
    void notifyObjDelete(KvoObject* object);

    // Debugging hooks (called by the interpreter).
    // Single-step wait: the debugger-wait procedure's answer, else (with a debug window) whether
    // the window answered the wait message with its own number; false otherwise.
    bool dbgWait() override;
    // Break request: the same with the break-request procedure and message.
    bool breakRequest() override;
    // Records source and line as the current position, then asks the line-changed procedure
    // (else the debug window); true when it answers so, otherwise the interpreter's step state.
    bool notifySourceLineChanged(const KvoChar* source, std::int32_t line) override;

    // Install a procedure (null removes it) and return the one installed before. Installing a
    // break-request procedure while a script runs also allows (or stops) its break requests.
    DbgProc setDbgWaitProc(DbgProc proc) noexcept;
    DbgProc setBreakRequestProc(DbgProc proc);
    LineChangedProc setLineChangedProc(LineChangedProc proc) noexcept;
    // The window that receives the debugging messages; while a script runs, break requests are
    // allowed exactly when a window is set.
    void setDbgWindow(HWND window);
    HWND getDbgWindow() const noexcept { return m_dbgWindow.load(); }
    // The registered numbers of "KvoBreakRequestMsg", "KvoDbgWaitMsg" and "KvoLineChangedMsg".
    static UINT getBreakRequestMsg();
    static UINT getDbgWaitMsg();
    static UINT getLineChangedMsg();

    // Asks a running script to stop at its next instruction; nothing when none runs.
    void cancel();
    // True while a debugging hook is being called.
    bool isInDbg() const noexcept { return m_inDbg.load(); }
    void setInDbg(bool inDbg) noexcept { m_inDbg.store(inDbg); }
    // The position last reported through notifySourceLineChanged (line -1 before the first).
    const KvoString& getCurrentSource() const noexcept { return m_currentSource; }
    std::int32_t getCurrentLine() const noexcept { return m_currentLine; }

private:
    // Makes interpreter the running one (null: none), under the lock that cancel() takes.
    void setInterpreter(KvoInterpreter* interpreter);

    KvoDictionary m_classes{false};
    KvoDictionary m_symbols{false};
    KvoDictionary m_modules{false};
    IKvoPrinter* m_printer;
    bool m_ownsPrinter;
    KvoInterpreter* m_interpreter = nullptr;
    KvoValue m_result;
    std::atomic<DbgProc> m_dbgWaitProc{nullptr};
    std::atomic<DbgProc> m_breakRequestProc{nullptr};
    std::atomic<LineChangedProc> m_lineChangedProc{nullptr};
    std::atomic<HWND> m_dbgWindow{nullptr};
    KvoString m_currentSource;
    std::int32_t m_currentLine = -1;
    std::atomic<bool> m_inDbg{false};
    // Guards m_interpreter against another thread's cancel() while execute() ends.
    std::mutex m_interpreterLock;
};
