// KvoVirtualMachine: the object a host deals with. It owns the global state of a script program:
// the dictionaries of classes, global symbols and loaded native modules, the output and input
// channels and the result of the last execution. It compiles source files and texts into its
// dictionaries, runs global functions through a fresh interpreter per execution, loads native
// modules, and offers the debugging hooks (line change, single-step wait, break request) as host
// procedures or registered window messages. It also holds the environment and file-search
// services that the driver, the compiler and the standard library share.
// The dictionaries live inside the machine and carry one extra reference each, so that no
// reference handed out can ever delete them. A machine belongs to one thread; only cancel(), the
// hook setters and setDbgWindow() may be called from another thread while a script runs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>

#include "host/IKvoInput.h"
#include "host/IKvoPrinter.h"
#include "host/KvoFileStreamInput.h"
#include "values/KvoClass.h"
#include "values/KvoDictionary.h"
#include "values/KvoObject.h"
#include "vm/IKvoDebugHooks.h"
#include "vm/KvoTraceback.h"

class KvoInterpreter;

class KVO_API KvoVirtualMachine : public IKvoDebugHooks
{
public:
    // Host procedures for the debugging hooks: the debugger wait and the break request take no
    // arguments; the line-changed procedure gets the UTF-8 source name and the line.
    using DbgProc = bool (*)();
    using LineChangedProc = bool (*)(const char* source, std::int32_t line);

    // printer: the output channel (borrowed); null creates a printer that prints nothing, owned
    // by the machine. The standard functions and system variables are registered last.
    explicit KvoVirtualMachine(IKvoPrinter* printer = nullptr);
    KvoVirtualMachine(const KvoVirtualMachine&) = delete;
    KvoVirtualMachine& operator=(const KvoVirtualMachine&) = delete;
    // Clears classes and symbols, then frees every loaded module, then deletes an owned printer.
    ~KvoVirtualMachine() override;

    // Returns the machine to its state after construction: classes, symbols, result and current
    // position cleared, modules freed, standard functions registered again. Printer, input
    // channel, switches, arguments and debugging procedures stay. Nothing happens while a script
    // runs on this machine, whose code and classes it would pull away.
    void reinit();
    // Makes this machine's program a copy of other's: clears symbols and classes, frees the
    // modules, loads each of other's modules by name, then appends every entry of other's
    // symbols and then of its classes under the same key object. Values are shared, not copied.
    // Nothing happens when other is this machine or while a script runs on this machine.
    void cloneSymbols(const KvoVirtualMachine& other);

    // Compiled code carries source-line records.
    bool getGenerateLineInfo() const noexcept { return m_generateLineInfo; }
    void setGenerateLineInfo(bool on) noexcept { m_generateLineInfo = on; }
    // Compiled procedures carry the names of their local variables.
    bool getGenerateLocalVarInfo() const noexcept { return m_generateLocalVarInfo; }
    void setGenerateLocalVarInfo(bool on) noexcept { m_generateLocalVarInfo = on; }

    // When on, a run records the chain of active calls at the moment an error starts unwinding,
    // and forgets it when a handler catches the error; callChain() then holds the chain of the
    // last run's uncaught error. Off by default: runs record nothing.
    bool getRecordCallChain() const noexcept { return m_recordCallChain; }
    void setRecordCallChain(bool on) noexcept { m_recordCallChain = on; }
    // The chain of the uncaught error of the last outermost run (empty when none was recorded).
    const KvoTraceback& callChain() const noexcept { return m_callChain; }

    // The library's exit(): remembers status and stops the running script (every run of it
    // returns at its next instruction, as after cancel(); no script handler sees it). The host
    // asks after execute() whether the script asked to end and with which status. A new
    // outermost execute() forgets the request.
    void requestExit(int status);
    bool exitRequested() const noexcept { return m_exitRequested; }
    int exitStatus() const noexcept { return m_exitStatus; }

    // Untrusted mode, for scripts the host did not write. The library functions that reach
    // beyond the machine stay defined but raise UNTRUSTED_FUNCTION_MESSAGE: the native library
    // calls (LoadLibrary, FreeLibrary, GetProcAddress, CallLibFunc and the Get...Func lookups),
    // every function on files (fopen ... fputws, freadval, fwriteval, getc with a file, compile of
    // a file), loadmodule and setenv. The console stays: print, gets and getc(). The compiler
    // refuses #import, #use and #include with UNTRUSTED_DIRECTIVE_MESSAGE, and the machine loads
    // no native module any more (not even one named by a module file the host reads); modules
    // loaded before the switch stay. Set it before compiling the untrusted source; it survives
    // reinit. False (nothing changes) while a script runs on this machine.
    bool setUntrusted(bool on);
    bool isUntrusted() const noexcept { return m_untrusted; }
    static constexpr const KvoChar* UNTRUSTED_FUNCTION_MESSAGE = u"function not available in untrusted mode";
    static constexpr const KvoChar* UNTRUSTED_DIRECTIVE_MESSAGE = u"directive not available in untrusted mode";

    // The program's arguments as the host set them, for the standard functions that return them
    // (count, and an array of UTF-16 texts owned by the host, which must outlive their use). The
    // machine itself never reads them.
    int& cmdargc() noexcept { return m_cmdargc; }
    const KvoChar**& cmdargv() noexcept { return m_cmdargv; }

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

    // The input channel the console functions read (borrowed), initially the standard input.
    IKvoInput* getCurrentInput() const noexcept { return m_currentInput; }
    // Installs input (null: the standard input channel again) and returns the previous channel.
    // The machine never deletes an installed channel.
    IKvoInput* setCurrentInput(IKvoInput* input) noexcept;
    // The machine's own channel on the process's standard input (it lives as long as the machine).
    IKvoInput* standardInput() noexcept { return &m_stdinInput; }

    // Compiles the source file at path into the machine's dictionaries. showInfo prints the
    // names of what is compiled; debug lists every compiled procedure to debugPrinter (the
    // machine's printer when null). Diagnostics go to printer (the machine's printer when null).
    // False for a null path, a file that does not open ("error opening file" is printed) or a
    // source with errors; what compiled before an error stays.
    bool compileFile(const KvoChar* path, bool showInfo = false, bool debug = false,
                     IKvoPrinter* printer = nullptr, IKvoPrinter* debugPrinter = nullptr);
    // The same for source text in memory, whose name in diagnostics is empty. False for null.
    bool compileText(const KvoChar* text, bool showInfo = false, bool debug = false,
                     IKvoPrinter* printer = nullptr, IKvoPrinter* debugPrinter = nullptr);

    // Writes the machine's native modules, classes and symbols as a compiled module file
    // (KvoDictionaryIO); false for null or on failure.
    bool writeModule(const KvoChar* path);
    bool writeModule(std::FILE* file);
    // Adds the contents of a compiled module file to the machine (KvoDictionaryIO); false for
    // null or on failure.
    bool readModule(const KvoChar* path);
    bool readModule(std::FILE* file);
    // Calls the global function name with argc string arguments (argv, UTF-16) in a fresh
    // interpreter and keeps its result. trace starts tracing with the first instruction, printed
    // to tracePrinter (the machine's printer when null). After an uncaught exception the error
    // text is printed to errorPrinter (the machine's printer when null). False for a null name,
    // a name that is not a global function, or an uncaught exception. A native function may call
    // execute while a script runs: afterwards the outer run's interpreter is the running one again.
    // Such a nested run (also one a host starts from a callback of the running script) counts
    // toward the interpreter's limit of nested runs (KVO_MAX_NESTED_RUNS) as one entry plus the
    // runs inside it; past the limit it does not start and fails with "stack overflow".
    bool execute(const KvoChar* name, int argc, const KvoChar** argv, bool trace = false,
                 IKvoPrinter* errorPrinter = nullptr, IKvoPrinter* tracePrinter = nullptr);

    // Enters a native function as global symbol name. False for a null or empty name, a null
    // function, or a name that is already defined (the first definition stays).
    bool registerNativeFunction(const KvoChar* name, KvoNativeFunc function);
    // Enters a native class under name: names it, marks it native and stores it (the dictionary
    // holds a reference). False for a null or empty name, a null class or a name already defined.
    bool registerNativeClass(const KvoChar* name, KvoClass* c);

    // Loads the native module name ('*' read as 'u'; the file is found as kvoFindNativeModule
    // describes) and calls its exported entry point RegisterNativeModule(this). True at once when
    // a module of that name is loaded already. False for null, a library that does not load, or
    // a library without the entry point (it stays loaded and recorded until reinit or
    // destruction); false in untrusted mode for a module not loaded yet.
    bool loadNativeModule(const KvoChar* name);

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
    void setDbgWindow(KvoWindowHandle window);
    KvoWindowHandle getDbgWindow() const noexcept { return m_dbgWindow.load(); }
    // The registered numbers of "KvoBreakRequestMsg", "KvoDbgWaitMsg" and "KvoLineChangedMsg".
    static KvoMessageId getBreakRequestMsg();
    static KvoMessageId getDbgWaitMsg();
    static KvoMessageId getLineChangedMsg();

    // ---- Environment and file search (shared by the driver, the compiler and the library) ----
    // The per-user environment store is described in platform/KvoEnvironment.h. The results
    // below live in buffers of the calling thread, valid until its next call of the same kind.

    // The value of name from the store (else the process environment), at most
    // ENVIRONMENT_VALUE_UNITS - 1 units; "" when it is missing or name is null. Never null.
    static const KvoChar* _tgetenv(const KvoChar* name);
    // assignment has the form name=value: stores value under name, or deletes name when value
    // is empty. Returns 0 on success, -1 without '=' (or for null), else the store's error
    // number (2 when a name to delete was not stored).
    static int _tputenv(const KvoChar* assignment);
    // The first directory + '/' + file that opens for reading, trying the directories of
    // dirList (split at ':' and ';') in order; null when none does or an argument is null.
    static const KvoChar* searchDirList(const KvoChar* dirList, const KvoChar* file);
    // searchDirList over the value of the environment variable var; null for null arguments.
    static const KvoChar* searchEnv(const KvoChar* var, const KvoChar* file);
    // searchEnv along "Path", then "PATH".
    static const KvoChar* searchPath(const KvoChar* file);
    // Capacity of _tgetenv's buffer in UTF-16 units (8192 bytes).
    static constexpr std::size_t ENVIRONMENT_VALUE_UNITS = 4096;

    // Asks a running script to stop at its next instruction, and a running compilation (of the
    // machine's own compile calls, a KvoCompiler for this machine, or a script's compile()) to
    // stop at its next token; nothing when neither runs.
    void cancel();
    // Called by KvoCompiler around each compilation for this machine (compilations may nest):
    // a cancel() between the outermost begin and its end makes compileCancelled() true.
    void beginCompile();
    void endCompile();
    bool compileCancelled() const noexcept { return m_compileCancelled.load(std::memory_order_relaxed); }
    // True while a debugging hook is being called.
    bool isInDbg() const noexcept { return m_inDbg.load(); }
    void setInDbg(bool inDbg) noexcept { m_inDbg.store(inDbg); }
    // The position last reported through notifySourceLineChanged (line -1 before the first).
    const KvoString& getCurrentSource() const noexcept { return m_currentSource; }
    std::int32_t getCurrentLine() const noexcept { return m_currentLine; }

    // ---- Embedding layers ----
    // State that an embedding layer keeps with each machine (the flat interface's user data,
    // error text and host functions). The machine owns it and deletes it after its program.
    class HostState
    {
    public:
        virtual ~HostState() = default;
    };
    HostState* hostState() const noexcept { return m_hostState.get(); }
    void setHostState(std::unique_ptr<HostState> state) noexcept { m_hostState = std::move(state); }
    // Calls the global function name with the values of args (null: none) in a fresh
    // interpreter, as execute does (nesting and its limit included), and keeps its result.
    // Nothing is printed: after a failure errorText holds the error (without a final newline).
    bool executeValues(const KvoChar* name, KvoVector* args, KvoString& errorText);

private:
    // Makes interpreter the running one (null: none), under the lock that cancel() takes.
    void setInterpreter(KvoInterpreter* interpreter);
    // Fails a nested execute that would pass the limit of nested runs: the running script gets
    // the catchable "stack overflow" when the native function it is in returns.
    bool refuseNestedRun();
    // The run of execute and executeValues: body(interpreter) in a fresh interpreter, nested
    // inside the running one when there is one (false without calling body when that would pass
    // the limit of nested runs). tracePrinter and trace set up its debugger; recordCallChain
    // lets it record the chain of calls of an uncaught error when the machine asks for that.
    // The interpreter is shut down afterwards, and exit() inside a nested run ends the outer run.
    template <typename Body>
    bool runInNewInterpreter(IKvoPrinter* tracePrinter, bool trace, bool recordCallChain, Body&& body);
    // Loads a native module without asking about untrusted mode (cloneSymbols: the other
    // machine's program needs the code its values point into).
    bool loadNativeModuleUnchecked(const KvoChar* name);
    // Compiles file (taking ownership) or text under sourceName, as compileFile describes.
    bool compileSource(std::FILE* file, const KvoChar* text, const KvoChar* sourceName, bool showInfo, bool debug,
                       IKvoPrinter* printer, IKvoPrinter* debugPrinter);
    // Frees every loaded module's library, each after calling its optional exported
    // UnregisterNativeModule(this), and empties the module dictionary.
    void freeModules();
    // Drops every class, first breaking the class <-> method cycles of classes only this
    // machine still holds.
    void clearClasses();

    bool m_generateLineInfo = false;
    bool m_generateLocalVarInfo = false;
    bool m_untrusted = false;
    bool m_recordCallChain = false;
    bool m_exitRequested = false;
    int m_exitStatus = 0;
    KvoTraceback m_callChain;
    KvoDictionary m_classes{false};
    KvoDictionary m_symbols{false};
    KvoDictionary m_modules{false};
    IKvoPrinter* m_printer;
    bool m_ownsPrinter;
    KvoInterpreter* m_interpreter = nullptr;
    KvoValue m_result;
    int m_cmdargc = 0;
    const KvoChar** m_cmdargv = nullptr;
    std::atomic<DbgProc> m_dbgWaitProc{nullptr};
    std::atomic<DbgProc> m_breakRequestProc{nullptr};
    std::atomic<LineChangedProc> m_lineChangedProc{nullptr};
    std::atomic<KvoWindowHandle> m_dbgWindow{nullptr};
    KvoString m_currentSource;
    std::int32_t m_currentLine = -1;
    std::atomic<bool> m_inDbg{false};
    int m_compilations = 0; // compilations running (under m_interpreterLock)
    std::atomic<bool> m_compileCancelled{false};
    KvoFileStreamInput m_stdinInput;
    IKvoInput* m_currentInput;
    // Guards m_interpreter and m_compilations against another thread's cancel().
    std::mutex m_interpreterLock;
    std::unique_ptr<HostState> m_hostState;
};
