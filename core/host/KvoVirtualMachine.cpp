// The machine's construction and teardown, execution of global functions, registration of
// native functions and classes, object-death notification and the debugging hooks.
#include "host/KvoVirtualMachine.h"

#include "host/KvoDummyPrinter.h"
#include "host/KvoMessages.h"
#include "platform/KvoText.h"
#include "platform/KvoWindows.h"
#include "vm/KvoDebugger.h"
#include "vm/KvoInterpreter.h"

KvoVirtualMachine::KvoVirtualMachine(IKvoPrinter* printer)
    : m_printer(printer ? printer : new KvoDummyPrinter), m_ownsPrinter(printer == nullptr)
{
    m_classes.addRef();
    m_symbols.addRef();
    m_modules.addRef();
    m_currentSource.addRef();
}

KvoVirtualMachine::~KvoVirtualMachine()
{
    m_result.dispose();
    m_classes.clear();
    m_symbols.clear();
    m_modules.clear();
    if (m_ownsPrinter)
        delete m_printer;
}

void KvoVirtualMachine::setInterpreter(KvoInterpreter* interpreter)
{
    std::lock_guard<std::mutex> lock(m_interpreterLock);
    m_interpreter = interpreter;
}

bool KvoVirtualMachine::execute(const KvoChar* name, int argc, const KvoChar** argv, bool trace,
                                IKvoPrinter* errorPrinter, IKvoPrinter* tracePrinter)
{
    if (!name)
        return false;
    auto* interpreter = new KvoInterpreter(*this, m_symbols, m_classes, this);
    if (m_breakRequestProc.load() || m_dbgWindow.load())
        interpreter->setAllowBreakRequest(true);
    KvoDebugger debugger(this, tracePrinter ? tracePrinter : m_printer);
    debugger.setTrace(trace);
    interpreter->setDebugger(&debugger);
    setInterpreter(interpreter);

    bool ok = interpreter->execute(name, argc, argv);
    ValPtr sp = interpreter->getSP();
    m_result = sp.get() ? *sp.get() : KvoValue();
    if (!ok) {
        IKvoPrinter& out = errorPrinter ? *errorPrinter : *m_printer;
        out(u"%s", interpreter->errors().c_str());
    }

    // Objects still on the stack die while the interpreter can run their destructors.
    interpreter->shutdown();
    interpreter->setDebugger(nullptr);
    setInterpreter(nullptr);
    delete interpreter;
    return ok;
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
}
