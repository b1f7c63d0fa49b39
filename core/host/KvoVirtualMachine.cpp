// The machine's construction, reset and teardown, compilation and execution, native modules,
// registration of native functions and classes, object-death notification, the debugging hooks,
// and the environment and file-search services.
//
// Teardown order matters: the dictionaries and the result may hold functions and objects whose
// code lives in a native module, so they are emptied before any module's library is freed.
#include "host/KvoVirtualMachine.h"

#include "compiler/KvoCompiler.h"
#include "host/KvoDictionaryIO.h"
#include "host/KvoDummyPrinter.h"
#include "host/KvoMessages.h"
#include "platform/KvoEnvironment.h"
#include "platform/KvoFile.h"
#include "platform/KvoLibrary.h"
#include "platform/KvoMemory.h"
#include "platform/KvoPath.h"
#include "platform/KvoText.h"
#include "platform/KvoWindows.h"
#include "stdlib/KvoDefaultFunctions.h"
#include "stdlib/KvoFileTable.h"
#include "vm/KvoDebugger.h"
#include "vm/KvoErrors.h"
#include "vm/KvoInterpreter.h"
#include "vm/KvoProcedure.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace {

// The exported function a native module registers its classes and functions with.
constexpr KvoChar NATIVE_MODULE_ENTRY[] = u"RegisterNativeModule";
using NativeModuleEntry = void (*)(KvoVirtualMachine* vm);
// Its optional counterpart, called before the machine frees the module: the module lets go of
// whatever it keeps for this machine (objects, windows that call into them).
constexpr KvoChar NATIVE_MODULE_EXIT[] = u"UnregisterNativeModule";
using NativeModuleExit = void (*)(KvoVirtualMachine* vm);

HMODULE moduleHandleOf(const KvoValue& value)
{
    return reinterpret_cast<HMODULE>(static_cast<std::intptr_t>(value.getLong()));
}

} // namespace

KvoVirtualMachine::KvoVirtualMachine(IKvoPrinter* printer)
    : m_printer(printer ? printer : new KvoDummyPrinter), m_ownsPrinter(printer == nullptr),
      m_stdinInput(stdin, false), m_currentInput(&m_stdinInput)
{
    m_classes.addRef();
    m_symbols.addRef();
    m_modules.addRef();
    m_currentSource.addRef();
    KvoDefaultFunctions::registerFunctions(this);
}

KvoVirtualMachine::~KvoVirtualMachine()
{
    m_result.dispose();
    // Global functions hold the classes they name: drop them first, so that the classes only
    // this machine holds are recognised as such.
    m_symbols.clear();
    clearClasses();
    freeModules();
    // The files its scripts left open; other machines' files and the standard streams stay.
    KvoFileTable::closeOwnedBy(this);
    if (m_ownsPrinter)
        delete m_printer;
}

namespace {

// The script classes of a class dictionary and the counted references they hold to one another:
// base classes, the owning class element and the class literals (as in "new C()") of compiled
// methods and of the function literals only those methods hold, class values in member tables,
// and objects held only by a member table. A class whose count exceeds the references found here
// is held from outside (the host, another machine's dictionary after cloneSymbols, an object still
// alive); it and every class it reaches must stay intact.
class ClassGraph
{
public:
    explicit ClassGraph(KvoDictionary& classes)
    {
        for (KvoDictionaryEntry* e = classes.getFirst(); e; e = e->getNext()) {
            KvoClass* c = e->getValue().getType() == KVT_CLASS ? e->getValue().getClass() : nullptr;
            if (c && !c->getIsNative())
                ++m_nodes[nodeOf(c, true)].internal;
        }
        for (std::size_t i = 0; i < m_nodes.size(); ++i)
            scanClass(i);
    }

    // Empties the member tables of every class that nothing outside the graph reaches, which
    // breaks the cycles through their methods.
    void breakUnreachableCycles()
    {
        std::vector<std::size_t> pending;
        for (std::size_t i = 0; i < m_nodes.size(); ++i) {
            if (m_nodes[i].c->getRefCnt() != m_nodes[i].internal) {
                m_nodes[i].kept = true;
                pending.push_back(i);
            }
        }
        while (!pending.empty()) {
            const std::size_t i = pending.back();
            pending.pop_back();
            for (std::size_t target : m_nodes[i].targets) {
                if (!m_nodes[target].kept) {
                    m_nodes[target].kept = true;
                    pending.push_back(target);
                }
            }
        }
        for (Node& node : m_nodes) {
            if (!node.kept) {
                node.c->funcMembers().clear();
                node.c->dataMembers().clear();
            }
        }
    }

private:
    struct Node {
        KvoClass* c = nullptr;
        std::int32_t internal = 0;        // references found inside the graph
        std::vector<std::size_t> targets; // the classes this one holds
        bool kept = false;
    };
    static constexpr std::size_t NONE = static_cast<std::size_t>(-1);
    // Function literals nest no deeper than the compiler allows; the bound guards hand-made code.
    static constexpr int MAX_SCAN_DEPTH = 256;

    std::size_t nodeOf(const KvoClass* c, bool add)
    {
        for (std::size_t i = 0; i < m_nodes.size(); ++i) {
            if (m_nodes[i].c == c)
                return i;
        }
        if (!add || !c)
            return NONE;
        Node node;
        node.c = const_cast<KvoClass*>(c);
        m_nodes.push_back(std::move(node));
        return m_nodes.size() - 1;
    }

    void reference(std::size_t from, const KvoClass* c)
    {
        const std::size_t target = nodeOf(c, false);
        if (target == NONE)
            return;
        ++m_nodes[target].internal;
        m_nodes[from].targets.push_back(target);
    }

    void scanValue(std::size_t from, const KvoValue& value, int depth)
    {
        switch (value.getType()) {
        case KVT_CLASS:
            reference(from, value.getClass());
            break;
        case KVT_OBJECT:
            // An object only this slot holds dies with the member tables; its class loses
            // that reference then.
            if (KvoObject* object = value.getObject(); object && object->getRefCnt() == 1)
                reference(from, object->getClass());
            break;
        case KVT_BYTECODE:
            if (KvoVector* procedure = value.getVector();
                procedure && procedure->getRefCnt() == 1 && depth < MAX_SCAN_DEPTH)
                scanProcedure(from, *procedure, depth + 1);
            break;
        default:
            break;
        }
    }

    void scanProcedure(std::size_t from, const KvoVector& procedure, int depth)
    {
        for (std::uint32_t i = PROC_CLASS; i < procedure.size(); ++i)
            scanValue(from, procedure[i], depth);
    }

    void scanClass(std::size_t i)
    {
        KvoClass* c = m_nodes[i].c;
        reference(i, c->getBaseClass());
        // A procedure entered under two names (a prefix operator serving as the postfix one
        // too) holds its references once. One held from outside as well survives the member
        // table, and so do its references: they are not counted.
        std::vector<const KvoVector*> procedures;
        for (KvoDictionaryEntry* e = c->funcMembers().getFirst(); e; e = e->getNext()) {
            const KvoValue& value = e->getValue();
            if (value.getType() == KVT_BYTECODE && value.getVector())
                procedures.push_back(value.getVector());
            else
                scanValue(i, value, 0);
        }
        for (std::size_t k = 0; k < procedures.size(); ++k) {
            const KvoVector* procedure = procedures[k];
            if (std::find(procedures.begin(), procedures.begin() + k, procedure) != procedures.begin() + k)
                continue;
            if (procedure->getRefCnt() == std::count(procedures.begin(), procedures.end(), procedure))
                scanProcedure(i, *procedure, 0);
        }
        for (KvoDictionaryEntry* e = c->dataMembers().getFirst(); e; e = e->getNext())
            scanValue(i, e->getValue(), 0);
    }

    std::vector<Node> m_nodes;
};

} // namespace

void KvoVirtualMachine::clearClasses()
{
    // A compiled method holds its class, and classes hold each other through bases and class
    // literals, so they keep each other alive. The classes that nothing outside this machine's
    // dictionary reaches any more have their member tables emptied before they are dropped; a
    // class shared with another machine or still used by the host keeps its members, and so
    // does every class it reaches.
    ClassGraph(m_classes).breakUnreachableCycles();
    m_classes.clear();
}

void KvoVirtualMachine::freeModules()
{
    for (KvoDictionaryEntry* entry = m_modules.getFirst(); entry; entry = entry->getNext()) {
        HMODULE library = moduleHandleOf(entry->getValue());
        if (FARPROC unregister = GetProcAddressW(library, NATIVE_MODULE_EXIT))
            reinterpret_cast<NativeModuleExit>(unregister)(this);
        (void)FreeLibrary(library);
    }
    m_modules.clear();
}

void KvoVirtualMachine::reinit()
{
    if (m_interpreter)
        return;
    m_result.dispose();
    m_symbols.clear();
    clearClasses();
    m_currentLine = -1;
    m_currentSource.clear();
    freeModules();
    KvoFileTable::closeOwnedBy(this);
    KvoDefaultFunctions::registerFunctions(this);
}

void KvoVirtualMachine::cloneSymbols(const KvoVirtualMachine& other)
{
    if (&other == this || m_interpreter)
        return;
    m_symbols.clear();
    clearClasses();
    freeModules();
    for (KvoDictionaryEntry* entry = other.m_modules.getFirst(); entry; entry = entry->getNext())
        (void)loadNativeModuleUnchecked(entry->getKey()->c_str());
    for (const KvoDictionary* source : {&other.m_symbols, &other.m_classes}) {
        KvoDictionary& target = source == &other.m_symbols ? m_symbols : m_classes;
        for (KvoDictionaryEntry* entry = source->getFirst(); entry; entry = entry->getNext()) {
            if (KvoDictionaryEntry* copy = target[entry->getKey()])
                *copy = *entry;
        }
    }
    // The other machine's library functions came along; untrusted mode removes them again.
    if (m_untrusted)
        KvoDefaultFunctions::applyUntrustedMode(this);
}

bool KvoVirtualMachine::setUntrusted(bool on)
{
    if (m_interpreter)
        return false;
    if (on != m_untrusted) {
        m_untrusted = on;
        KvoDefaultFunctions::applyUntrustedMode(this);
    }
    return true;
}

IKvoInput* KvoVirtualMachine::setCurrentInput(IKvoInput* input) noexcept
{
    IKvoInput* previous = m_currentInput;
    m_currentInput = input ? input : &m_stdinInput;
    return previous;
}

// ---- Compilation --------------------------------------------------------------------------------

bool KvoVirtualMachine::compileFile(const KvoChar* path, bool showInfo, bool debug, IKvoPrinter* printer,
                                    IKvoPrinter* debugPrinter)
{
    if (!path)
        return false;
    std::FILE* file = kvoOpenFile(path, u"rt");
    if (!file) {
        (*m_printer)(u"error opening file %s\n", path);
        return false;
    }
    return compileSource(file, nullptr, path, showInfo, debug, printer, debugPrinter);
}

bool KvoVirtualMachine::compileText(const KvoChar* text, bool showInfo, bool debug, IKvoPrinter* printer,
                                    IKvoPrinter* debugPrinter)
{
    if (!text)
        return false;
    return compileSource(nullptr, text, u"", showInfo, debug, printer, debugPrinter);
}

bool KvoVirtualMachine::compileSource(std::FILE* file, const KvoChar* text, const KvoChar* sourceName, bool showInfo,
                                      bool debug, IKvoPrinter* printer, IKvoPrinter* debugPrinter)
try {
    KvoCompiler compiler(*this, printer);
    compiler.setShowInfo(showInfo);
    compiler.setGenerateLineInfo(m_generateLineInfo);
    compiler.setGenerateLocalVarInfo(m_generateLocalVarInfo);
    KvoDebugger debugger(this, debugPrinter ? debugPrinter : m_printer);
    if (debug)
        compiler.setDebugger(&debugger);
    // The compiler owns the file from here on and closes it.
    return file ? compiler.compile(file, sourceName) : compiler.compile(text, sourceName);
} catch (const std::bad_alloc&) {
    // The compiler's own tables ran out of memory: ended as every allocation of the runtime.
    errorExit(1);
}

void KvoVirtualMachine::setInterpreter(KvoInterpreter* interpreter)
{
    std::lock_guard<std::mutex> lock(m_interpreterLock);
    m_interpreter = interpreter;
}

template <typename Body>
bool KvoVirtualMachine::runInNewInterpreter(IKvoPrinter* tracePrinter, bool trace, bool recordCallChain, Body&& body)
{
    // A native function may execute a script function itself, and so may a host from a callback
    // of the running script (a printer, an input, a debugging hook); the outer run's interpreter
    // is the running one again afterwards. Such a run nests on the C++ stack inside the outer
    // one: it counts as one more nested entry and starts from the outer run's nesting.
    KvoInterpreter* const outer = m_interpreter;
    const int outerNesting = outer ? outer->getNesting() + 1 : 0;
    if (outerNesting >= KVO_MAX_NESTED_RUNS)
        return refuseNestedRun();
    KvoDebugger debugger(this, tracePrinter);
    const std::unique_ptr<KvoInterpreter> interpreter(new KvoInterpreter(*this, m_symbols, m_classes, this));
    interpreter->setOuterNesting(outerNesting);
    if (!outer) {
        m_callChain.clear();
        m_exitRequested = false;
        m_exitStatus = 0;
    }
    if (recordCallChain && m_recordCallChain)
        interpreter->setTraceback(&m_callChain);
    if (m_breakRequestProc.load() || m_dbgWindow.load())
        interpreter->setAllowBreakRequest(true);
    debugger.setTrace(trace);
    interpreter->setDebugger(&debugger);
    setInterpreter(interpreter.get());
    // However the run ends (an exception from an allocation included), the machine forgets the
    // interpreter before it is deleted.
    struct RunScope {
        KvoVirtualMachine& vm;
        KvoInterpreter& run;
        KvoInterpreter* outer;
        ~RunScope()
        {
            run.setDebugger(nullptr);
            vm.setInterpreter(outer);
        }
    } scope{*this, *interpreter, outer};

    bool ok = body(*interpreter);
    // Objects still on the stack die while the interpreter can run their destructors.
    interpreter->shutdown();
    // exit() inside a nested run ends the outer run too.
    if (m_exitRequested && outer)
        outer->cancel();
    return ok;
}

bool KvoVirtualMachine::execute(const KvoChar* name, int argc, const KvoChar** argv, bool trace,
                                IKvoPrinter* errorPrinter, IKvoPrinter* tracePrinter)
try {
    if (!name)
        return false;
    return runInNewInterpreter(tracePrinter ? tracePrinter : m_printer, trace, true, [&](KvoInterpreter& interpreter) {
        bool ok = interpreter.execute(name, argc, argv);
        ValPtr sp = interpreter.getSP();
        m_result = sp.get() ? *sp.get() : KvoValue();
        if (!ok) {
            IKvoPrinter& out = errorPrinter ? *errorPrinter : *m_printer;
            out(u"%s", interpreter.errors().c_str());
        }
        return ok;
    });
} catch (const std::bad_alloc&) {
    errorExit(1);
}

void KvoVirtualMachine::requestExit(int status)
{
    m_exitRequested = true;
    m_exitStatus = status;
    if (m_interpreter)
        m_interpreter->cancel();
}

bool KvoVirtualMachine::refuseNestedRun()
{
    // The refusal reaches the script whose callback asked for the run: the running interpreter
    // raises "stack overflow" as soon as the native function it is in returns, and the script
    // may catch it. Nothing is printed here, so a printer whose callback executes again cannot
    // recurse through the report.
    m_result.dispose();
    if (m_interpreter)
        m_interpreter->raiseStackOverflowOnReturn();
    return false;
}

bool KvoVirtualMachine::registerNativeFunction(const KvoChar* name, KvoNativeFunc function)
{
    if (!name || !*name || !function)
        return false;
    KvoDictionaryEntry* entry = m_symbols[name];
    if (entry->getSymbolType() != SYM_NONE)
        return false;
    entry->setValue(KvoValue(function));
    entry->setSymbolType(SYM_FUNCTION);
    return true;
}

bool KvoVirtualMachine::registerNativeClass(const KvoChar* name, KvoClass* c)
{
    if (!name || !*name || !c)
        return false;
    KvoDictionaryEntry* entry = m_classes[name];
    if (entry->getSymbolType() != SYM_NONE)
        return false;
    c->setClassName(KvoString(name));
    c->setIsNative(true);
    entry->setValue(KvoValue(c));
    entry->setSymbolType(SYM_CLASS);
    return true;
}

bool KvoVirtualMachine::loadNativeModule(const KvoChar* name)
{
    if (!name)
        return false;
    if (m_untrusted) {
        // Only a module loaded before the switch (or by cloneSymbols) is known.
        KvoString moduleName(name);
        moduleName.replace(u'*', u'u');
        return m_modules.find(moduleName) != nullptr;
    }
    return loadNativeModuleUnchecked(name);
}

bool KvoVirtualMachine::loadNativeModuleUnchecked(const KvoChar* name)
{
    if (!name)
        return false;
    KvoString moduleName(name);
    moduleName.replace(u'*', u'u');
    if (m_modules.find(moduleName))
        return true;
    KvoChar path[KVO_MAX_PATH];
    if (!kvoFindNativeModule(moduleName.c_str(), path, KVO_MAX_PATH))
        return false;
    HMODULE library = LoadLibraryW(path);
    if (!library)
        return false;
    m_modules[moduleName]->setValue(KvoValue(static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(library))));
    FARPROC entry = GetProcAddressW(library, NATIVE_MODULE_ENTRY);
    if (!entry)
        return false;
    reinterpret_cast<NativeModuleEntry>(entry)(this);
    return true;
}

void KvoVirtualMachine::notifyObjDelete(KvoObject* object)
{
    if (!m_interpreter || !object)
        return;
    KvoClass* c = object->getClass();
    if (c && c->findMember(u"dtor", true))
        m_interpreter->queueFinalizer(object);
}

void kvoNotifyObjDelete(KvoVirtualMachine& vm, KvoObject* object)
{
    vm.notifyObjDelete(object);
}

// ---- Debugging hooks ----------------------------------------------------------------------------

namespace {

// Marks the machine as inside a hook for the hook's duration.
class InDbgScope
{
public:
    explicit InDbgScope(KvoVirtualMachine& vm) noexcept : m_vm(vm) { m_vm.setInDbg(true); }
    ~InDbgScope() { m_vm.setInDbg(false); }
    InDbgScope(const InDbgScope&) = delete;
    InDbgScope& operator=(const InDbgScope&) = delete;

private:
    KvoVirtualMachine& m_vm;
};

// Sends a debugging message to window; true when the reply is the message's own number.
bool askWindow(HWND window, UINT message, KvoVirtualMachine* vm, LPARAM lParam)
{
    return window && SendMessageW(window, message, reinterpret_cast<WPARAM>(vm), lParam) == static_cast<LRESULT>(message);
}

} // namespace

bool KvoVirtualMachine::dbgWait()
{
    InDbgScope scope(*this);
    if (DbgProc proc = m_dbgWaitProc.load())
        return proc();
    return askWindow(m_dbgWindow.load(), getDbgWaitMsg(), this, 0);
}

bool KvoVirtualMachine::breakRequest()
{
    InDbgScope scope(*this);
    if (DbgProc proc = m_breakRequestProc.load())
        return proc();
    return askWindow(m_dbgWindow.load(), getBreakRequestMsg(), this, 0);
}

bool KvoVirtualMachine::notifySourceLineChanged(const KvoChar* source, std::int32_t line)
{
    InDbgScope scope(*this);
    if (source && kvoStrCmp(source, m_currentSource.c_str()) != 0)
        m_currentSource = source;
    m_currentLine = line;
    bool answer = false;
    if (LineChangedProc proc = m_lineChangedProc.load())
        answer = proc(m_currentSource.a_str(), line);
    else
        answer = askWindow(m_dbgWindow.load(), getLineChangedMsg(), this, line);
    return answer || (m_interpreter && m_interpreter->getStep());
}

KvoVirtualMachine::DbgProc KvoVirtualMachine::setDbgWaitProc(DbgProc proc) noexcept
{
    return m_dbgWaitProc.exchange(proc);
}

KvoVirtualMachine::DbgProc KvoVirtualMachine::setBreakRequestProc(DbgProc proc)
{
    DbgProc previous = m_breakRequestProc.exchange(proc);
    std::lock_guard<std::mutex> lock(m_interpreterLock);
    if (m_interpreter)
        m_interpreter->setAllowBreakRequest(proc != nullptr);
    return previous;
}

KvoVirtualMachine::LineChangedProc KvoVirtualMachine::setLineChangedProc(LineChangedProc proc) noexcept
{
    return m_lineChangedProc.exchange(proc);
}

void KvoVirtualMachine::setDbgWindow(HWND window)
{
    m_dbgWindow.store(window);
    std::lock_guard<std::mutex> lock(m_interpreterLock);
    if (m_interpreter)
        m_interpreter->setAllowBreakRequest(window != nullptr);
}

UINT KvoVirtualMachine::getBreakRequestMsg()
{
    return kvoBreakRequestMsg();
}

UINT KvoVirtualMachine::getDbgWaitMsg()
{
    return kvoDbgWaitMsg();
}

UINT KvoVirtualMachine::getLineChangedMsg()
{
    return kvoLineChangedMsg();
}

void KvoVirtualMachine::cancel()
{
    std::lock_guard<std::mutex> lock(m_interpreterLock);
    if (m_interpreter)
        m_interpreter->cancel();
    if (m_compilations > 0)
        m_compileCancelled.store(true);
}

void KvoVirtualMachine::beginCompile()
{
    std::lock_guard<std::mutex> lock(m_interpreterLock);
    // A cancel given while nothing compiled is not kept for the next compilation.
    if (m_compilations++ == 0)
        m_compileCancelled.store(false);
}

void KvoVirtualMachine::endCompile()
{
    std::lock_guard<std::mutex> lock(m_interpreterLock);
    --m_compilations;
}

// ---- Environment and file search ----------------------------------------------------------------

const KvoChar* KvoVirtualMachine::_tgetenv(const KvoChar* name)
{
    // Per-thread results live on the heap: the library's static thread-local block stays small
    // (hosts that load it late, such as language bindings, find little room there).
    thread_local std::u16string value;
    value.assign(ENVIRONMENT_VALUE_UNITS, u'\0');
    (void)kvoGetEnv(name, value.data(), ENVIRONMENT_VALUE_UNITS);
    return value.c_str();
}

int KvoVirtualMachine::_tputenv(const KvoChar* assignment)
{
    const KvoChar* equals = assignment ? kvoStrChr(assignment, u'=') : nullptr;
    if (!equals)
        return -1;
    const KvoString name(assignment, static_cast<std::size_t>(equals - assignment));
    return kvoSetEnv(name.c_str(), equals + 1);
}

const KvoChar* KvoVirtualMachine::searchDirList(const KvoChar* dirList, const KvoChar* file)
{
    thread_local std::u16string path;
    path.assign(KVO_MAX_PATH, u'\0');
    return kvoSearchDirList(dirList, file, path.data(), KVO_MAX_PATH) ? path.c_str() : nullptr;
}

const KvoChar* KvoVirtualMachine::searchEnv(const KvoChar* var, const KvoChar* file)
{
    thread_local std::u16string path;
    path.assign(KVO_MAX_PATH, u'\0');
    return kvoSearchEnv(var, file, path.data(), KVO_MAX_PATH) ? path.c_str() : nullptr;
}

const KvoChar* KvoVirtualMachine::searchPath(const KvoChar* file)
{
    if (const KvoChar* found = searchEnv(u"Path", file))
        return found;
    return searchEnv(u"PATH", file);
}

bool KvoVirtualMachine::writeModule(const KvoChar* path)
{
    return path && KvoDictionaryIO(this).writeModule(path);
}

bool KvoVirtualMachine::writeModule(std::FILE* file)
{
    return file && KvoDictionaryIO(this).writeModule(file);
}

bool KvoVirtualMachine::readModule(const KvoChar* path)
{
    return path && KvoDictionaryIO(this).readModule(path);
}

bool KvoVirtualMachine::readModule(std::FILE* file)
{
    return file && KvoDictionaryIO(this).readModule(file);
}

bool KvoVirtualMachine::executeValues(const KvoChar* name, KvoVector* args, KvoString& errorText)
try {
    errorText = u"";
    if (!name)
        return false;
    bool ran = false;
    bool ok = runInNewInterpreter(m_printer, false, false, [&](KvoInterpreter& interpreter) {
        ran = true;
        KvoValue result;
        const bool done = interpreter.invoke(result, name, args);
        m_result = done ? result : KvoValue();
        if (!done) {
            std::u16string text(interpreter.errors().c_str());
            while (!text.empty() && (text.back() == u'\n' || text.back() == u' '))
                text.pop_back();
            errorText = text.c_str();
        }
        return done;
    });
    if (!ran)
        errorText = KVO_ERR_STACK_OVERFLOW;
    return ok;
} catch (const std::bad_alloc&) {
    errorExit(1);
}
