// The interpreter outside its instruction loop: construction, frames, calls and message sends,
// the entry points for hosts and native functions, errors, debugger control and the destructor
// queue.
//
// Re-entry: every entry point that native code may use while a script runs builds its call
// above the highest slot of the stack vector, so it never overwrites a slot of a suspended
// activation, and cuts the vector back afterwards. Script destructors never run in the middle
// of an instruction: a dying object with a destructor is queued and its destructor runs at the
// next instruction boundary (or when the outermost call ends).
#include "vm/KvoInterpreter.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/KvoMemory.h"
#include "values/KvoDictionary.h"
#include "vm/KvoDebugger.h"
#include "vm/KvoErrors.h"
#include "vm/KvoProcedure.h"
#include "vm/KvoTraceback.h"

namespace {

constexpr std::uint32_t INITIAL_STACK_CAPACITY = 256;

constexpr const KvoChar* RESERVED_NAME_TEXTS[] = {
    u"OP_ADD",   u"OP_SUB",   u"OP_MUL",   u"OP_DIV",    u"OP_REM",   u"OP_BAND",  u"OP_BOR",
    u"OP_XOR",   u"OP_SHL",   u"OP_SHR",   u"OP_ADD_R",  u"OP_SUB_R", u"OP_MUL_R", u"OP_DIV_R",
    u"OP_REM_R", u"OP_BAND_R", u"OP_BOR_R", u"OP_XOR_R", u"OP_SHL_R", u"OP_SHR_R", u"OP_NEG",
    u"OP_BNOT",  u"OP_INC",   u"OP_DEC",   u"OP_PINC",   u"OP_PDEC",  u"OP_VREF",  u"OP_VSET",
    u"OP_CALL",  u"equals",   u"compare",  u"toString",  u"dtor",
};

// The native function of a KVT_CODE or KVT_CODEREF value (the payload holds it either way).
KvoNativeFunc nativeOf(const KvoValue& value) noexcept
{
    KvoNativeFunc function = nullptr;
    void* bits = value.ptr();
    static_assert(sizeof function == sizeof bits, "function and data pointers have one size");
    std::memcpy(&function, &bits, sizeof function);
    return function;
}

bool startsWith(const KvoChar* text, const KvoChar* prefix) noexcept
{
    for (; *prefix; ++text, ++prefix) {
        if (*text != *prefix)
            return false;
    }
    return true;
}

bool sameText(const KvoChar* a, const KvoChar* b) noexcept
{
    for (; *a == *b; ++a, ++b) {
        if (!*a)
            return true;
    }
    return false;
}

// A selector that names the destructor, directly or through the base-class prefix.
bool isDestructorSelector(const KvoChar* selector) noexcept
{
    return sameText(selector, u"dtor") || sameText(selector, u"BC_dtor") || sameText(selector, u"DC_dtor");
}

} // namespace

static_assert(sizeof RESERVED_NAME_TEXTS / sizeof RESERVED_NAME_TEXTS[0] == 33, "one text per reserved name");

// ---- Construction -------------------------------------------------------------------------------

KvoInterpreter::KvoInterpreter(KvoVirtualMachine& vm, KvoDictionary& symbols, KvoDictionary& classes,
                               IKvoDebugHooks* hooks)
    : KvoVector(INITIAL_STACK_CAPACITY, false), m_vm(vm), m_symbols(symbols), m_classes(classes), m_hooks(hooks)
{
    // Values that refer to the interpreter or its error text never count as their owner.
    addRef();
    m_errors.addRef();
    growToIndex(0);
    m_sp = ValPtr(this, 0);
}

KvoInterpreter::~KvoInterpreter()
{
    // Objects dying from here on are deleted without a destructor call.
    m_closing = true;
    m_debugger = nullptr;
    while (m_frame)
        popFrame();
    for (KvoObject* object : m_finalizers)
        object->release();
    m_finalizers.clear();
    truncate(0);
    while (KvoErrorHandler* handler = m_freeHandlers) {
        m_freeHandlers = handler->m_next;
        delete handler;
    }
    for (KvoString*& name : m_reservedNames) {
        if (name)
            name->release();
        name = nullptr;
    }
    for (SendCacheEntry& cached : m_sendCache) {
        if (cached.selector)
            cached.selector->release();
        cached.selector = nullptr;
    }
}

void KvoInterpreter::reset()
{
    truncate(0);
    growToIndex(0);
    m_sp = ValPtr(this, 0);
    m_errors.clear();
    m_exception.dispose();
    m_cancelled.store(false);
    m_attention.fetch_and(~ATTN_CANCEL);
}

void KvoInterpreter::shutdown()
{
    // Objects still on the stack die now, while their destructors can run.
    do {
        runFinalizers();
        truncate(0);
    } while (!m_finalizers.empty());
    growToIndex(0);
    m_sp = ValPtr(this, 0);
}

KvoString* KvoInterpreter::reservedName(ReservedName id)
{
    KvoString*& name = m_reservedNames[id];
    if (!name) {
        name = new KvoString(RESERVED_NAME_TEXTS[id]);
        name->addRef();
    }
    return name;
}

// ---- Errors -------------------------------------------------------------------------------------

bool KvoInterpreter::returnError(const KvoValue& value)
{
    KvoValue exception(value); // value may live in a slot that the text's toString call changes
    if (m_traceback)
        m_traceback->noteRaise();
    KvoString text;
    if (KvoString* s = getStringFromValue(exception))
        text = *s;
    else if (exception.getType() == KVT_INTEGER)
        text = KvoString::format(u"%d", exception.getLong());
    else if (exception.getType() == KVT_FLOAT || exception.getType() == KVT_DOUBLE)
        text = KvoString::format(u"%f", exception.getDouble());
    else
        text = KvoString::format(u"%s:%p", getValueTypeName(exception.getType()), exception.ptr());
    text += u"\n";
    m_errors = text;
    if (m_frame && m_sp.vector() == this) {
        int slot = m_frame->m_fp.current() + 1;
        if (slot <= m_sp.current() && slot < static_cast<int>(size()))
            (*this)[static_cast<std::uint32_t>(slot)] = exception;
    }
    m_exception = static_cast<KvoValue&&>(exception);
    return false;
}

bool KvoInterpreter::returnError(const KvoChar* text, const KvoChar* detail)
{
    auto* message = new KvoString(text);
    if (detail)
        *message += detail;
    return returnError(KvoValue(message));
}

bool KvoInterpreter::badType(KvoValueType actual, KvoValueType expected)
{
    return returnError(
        KvoValue(new KvoString(KvoString::format(KVO_ERR_BAD_TYPE_FORMAT, getValueTypeName(actual), getValueTypeName(expected)))));
}

bool KvoInterpreter::noMethod(const KvoChar* name)
{
    return returnError(KVO_ERR_NO_METHOD, name);
}

bool KvoInterpreter::invalidBytecode()
{
    return returnError(KVO_ERR_INVALID_BYTECODE);
}

bool KvoInterpreter::stackOverflow()
{
    return returnError(KVO_ERR_STACK_OVERFLOW);
}

bool KvoInterpreter::checkType(const KvoValue& value, KvoValueType type)
{
    KvoValueType actual = value.getType();
    if (actual == type)
        return true;
    if (type != KVT_STRING && (type == KVT_CODE || isOwningType(type)) && refTypeOf(type) != type && actual == refTypeOf(type))
        return true;
    return badType(actual, type);
}

KvoString* KvoInterpreter::getStringFromValue(const KvoValue& value)
{
    if (KvoString* s = value.getString())
        return s;
    KvoObject* object = value.getObject();
    if (!object || !hasInstanceMethod(object->getClass(), u"toString"))
        return nullptr;
    std::uint32_t savedSize = size();
    ValPtr savedSP = m_sp;
    KvoValue receiver(value);
    int base = stackHighWater() + 1;
    KvoValue text;
    if (growStack(base)) {
        (*this)[static_cast<std::uint32_t>(base)] = receiver;
        m_sp = ValPtr(this, base);
        if (sendMessage(0, reservedName(RN_TO_STRING), true, RA_NONE) == Flow::DONE)
            text = (*this)[static_cast<std::uint32_t>(m_sp.current())];
    }
    truncate(savedSize);
    m_sp = savedSP;
    if (!text.getString())
        return nullptr;
    m_stringResult = static_cast<KvoValue&&>(text);
    return m_stringResult.getString();
}

// ---- Debugger control and host polls ------------------------------------------------------------

void KvoInterpreter::setDebugger(KvoDebugger* debugger)
{
    if (debugger == m_debugger)
        return;
    if (m_debugger) {
        m_debugger->setInterpreter(nullptr);
        m_debugger->setCurrentProc(nullptr, 0);
        m_trace = false;
        m_step = false;
    }
    m_debugger = debugger;
    if (m_debugger) {
        m_debugger->setInterpreter(this);
        m_debugger->setCurrentProc(nullptr, 0);
        m_trace = m_debugger->getTrace();
        followFrameInDebugger(false);
    }
    updateHookAttention();
}

void KvoInterpreter::setStep(bool step)
{
    if (step == m_step)
        return;
    bool wasActive = m_trace || m_step;
    m_step = step;
    followFrameInDebugger(wasActive);
    updateHookAttention();
}

void KvoInterpreter::followFrameInDebugger(bool wasActive)
{
    if (!m_debugger)
        return;
    bool active = m_trace || m_step;
    if (active && !wasActive && m_frame)
        m_debugger->setCurrentProc(m_frame->m_procedure, m_frame->m_nargs);
    else if (!active && wasActive)
        m_debugger->setCurrentProc(nullptr, 0);
}

void KvoInterpreter::setAllowBreakRequest(bool allow)
{
    // May run on another thread: it only raises the attention bit; the script thread clears it
    // when nothing needs it any more.
    m_allowBreakRequest.store(allow);
    if (allow)
        m_attention.fetch_or(ATTN_HOOKS);
}

void KvoInterpreter::updateHookAttention()
{
    if (m_trace || m_step || m_allowBreakRequest.load()) {
        m_attention.fetch_or(ATTN_HOOKS);
        return;
    }
    m_attention.fetch_and(~ATTN_HOOKS);
    // A break request allowed from another thread between the test and the clearing.
    if (m_allowBreakRequest.load())
        m_attention.fetch_or(ATTN_HOOKS);
}

void KvoInterpreter::cancel() noexcept
{
    m_cancelled.store(true);
    m_attention.fetch_or(ATTN_CANCEL);
}

bool KvoInterpreter::serviceAttention()
{
    std::uint32_t bits = m_attention.load();
    if (bits & ATTN_FINALIZE)
        runFinalizers();
    if (m_cancelled.load())
        return false;
    if (!(bits & ATTN_HOOKS))
        return true;
    if (m_allowBreakRequest.load() && !m_step && m_hooks)
        setStep(m_hooks->breakRequest());
    if (m_trace || m_step) {
        KvoProcInfo* frame = m_frame;
        if (m_debugger && frame && frame->m_codeBuffer && frame->m_pc < frame->getCodeSize())
            m_debugger->traceInstruction(m_sp, frame->m_bp, frame->m_fp, frame->m_width, frame->getCode(),
                                         frame->getCodeSize(), frame->m_pc);
        if (m_step)
            setStep(m_hooks ? m_hooks->dbgWait() : false);
    }
    updateHookAttention();
    return true;
}

// ---- Destructor queue ---------------------------------------------------------------------------

void KvoInterpreter::queueFinalizer(KvoObject* object)
{
    if (!object || m_closing)
        return;
    object->addRef();
    m_finalizers.push_back(object);
    // While destructors run, the loop that runs them picks up new ones itself.
    if (!m_finalizing)
        m_attention.fetch_or(ATTN_FINALIZE);
}

void KvoInterpreter::runFinalizers()
{
    // Destructors never nest: objects that die while one runs (a chain whose destructors drop
    // the next link) wait in the queue for this loop, so a long chain needs no deep recursion.
    // Near the nesting limit the queue waits for an outer run.
    if (m_finalizing || getNesting() >= KVO_MAX_NESTED_RUNS - 1)
        return;
    m_finalizing = true;
    m_attention.fetch_and(~ATTN_FINALIZE);
    while (!m_finalizers.empty()) {
        std::vector<KvoObject*> batch;
        batch.swap(m_finalizers);
        for (KvoObject* object : batch) {
            runDestructor(object);
            // Deletes the object unless its destructor stored a reference to it somewhere.
            object->release();
        }
    }
    m_finalizing = false;
}

void KvoInterpreter::runDestructor(KvoObject* object)
{
    // The destructor runs above everything on the stack; whatever it raises stays out of the
    // running procedure's exception slot and pending exception.
    std::uint32_t savedSize = size();
    ValPtr savedSP = m_sp;
    KvoValue savedException = m_exception;
    int exceptionSlot = -1;
    KvoValue savedSlot;
    if (m_frame && m_sp.vector() == this) {
        exceptionSlot = m_frame->m_fp.current() + 1;
        if (exceptionSlot <= m_sp.current() && exceptionSlot < static_cast<int>(size()))
            savedSlot = (*this)[static_cast<std::uint32_t>(exceptionSlot)];
        else
            exceptionSlot = -1;
    }
    int base = stackHighWater() + 1;
    if (growStack(base)) {
        // `this` is an owning value, so a destructor that stores it keeps the object alive.
        (*this)[static_cast<std::uint32_t>(base)] = KvoValue(object);
        m_sp = ValPtr(this, base);
        sendMessage(0, reservedName(RN_DTOR), true, RA_NONE);
    }
    truncate(savedSize);
    m_sp = savedSP;
    m_exception = savedException;
    if (exceptionSlot >= 0 && exceptionSlot < static_cast<int>(size()))
        (*this)[static_cast<std::uint32_t>(exceptionSlot)] = savedSlot;
}

void KvoInterpreter::finishOutermost()
{
    if (m_nesting == 0 && !m_finalizers.empty())
        runFinalizers();
}

// ---- Frames -------------------------------------------------------------------------------------

bool KvoInterpreter::collectResult(int calledSlot)
{
    // A native may have moved SP anywhere, even onto another vector.
    if (m_sp.vector() != this || m_sp.current() < calledSlot) {
        m_sp = ValPtr(this, calledSlot);
        truncate(static_cast<std::uint32_t>(calledSlot) + 1);
        return returnError(KVO_ERR_STACK_CORRUPTED);
    }
    // The result moves to the called slot and every slot above it is emptied, but the stack keeps
    // some room above the called slot (as much as it had, up to KEEP_ROOM slots): the pushes and
    // calls that follow a native call find it without growing the stack again.
    constexpr std::uint32_t KEEP_ROOM = 32;
    int top = m_sp.current();
    if (top > calledSlot && top < static_cast<int>(size()))
        (*this)[static_cast<std::uint32_t>(calledSlot)] = static_cast<KvoValue&&>((*this)[static_cast<std::uint32_t>(top)]);
    auto keep = std::min<std::uint32_t>(size(), static_cast<std::uint32_t>(calledSlot) + 1 + KEEP_ROOM);
    if (size() > keep)
        truncate(keep);
    // A release may delete an object, whose destructor may change the stack: the size is read
    // again after each.
    std::uint32_t limit = keep;
    for (auto i = static_cast<std::uint32_t>(calledSlot) + 1; i < limit; ++i) {
        KvoValue& slot = (*this)[i];
        if (slot.storedType() != KVT_NULL || slot.getFlags() != 0) {
            slot.dispose();
            limit = std::min(keep, size());
        }
    }
    m_sp = ValPtr(this, calledSlot);
    return true;
}

bool KvoInterpreter::growStack(int index)
{
    if (index < static_cast<int>(size()))
        return true;
    if (index < 0 || static_cast<std::uint32_t>(index) >= KVO_MAX_STACK_SLOTS)
        return stackOverflow();
    growToIndex(static_cast<std::uint32_t>(index));
    return true;
}

// ---- Calls --------------------------------------------------------------------------------------

KvoInterpreter::Flow KvoInterpreter::enterProcedure(KvoVector* procedure, int nargs, bool nested, std::uint8_t action)
{
    if (!procedure) {
        returnError(KVO_ERR_NO_BYTECODE, KVO_ERR_NO_BYTECODE_DETAIL);
        return Flow::FAIL;
    }
    KvoBuffer* code = procedure->size() > PROC_CODE ? (*procedure)[PROC_CODE].as<KvoBuffer>() : nullptr;
    if (!code) {
        invalidBytecode();
        return Flow::FAIL;
    }
    if (m_sp.vector() != this || nargs < 0 || nargs > m_sp.current() || m_sp.current() >= static_cast<int>(size())) {
        returnError(KVO_ERR_STACK_CORRUPTED);
        return Flow::FAIL;
    }
    if (m_depth >= KVO_MAX_CALL_DEPTH || (nested && getNesting() >= KVO_MAX_NESTED_RUNS)) {
        stackOverflow();
        return Flow::FAIL;
    }
    // Missing trailing arguments take their defaults, up to the first parameter without one.
    int sp = m_sp.current();
    KvoVector* defaults = procedure->size() > PROC_DEFAULTS ? (*procedure)[PROC_DEFAULTS].as<KvoVector>() : nullptr;
    while (defaults && static_cast<std::uint32_t>(nargs) < defaults->size() &&
           !((*defaults)[static_cast<std::uint32_t>(nargs)].getFlags() & KvoNoDefault)) {
        if (!growStack(sp + 1)) {
            m_sp = ValPtr(this, sp);
            return Flow::FAIL;
        }
        ++sp;
        (*this)[static_cast<std::uint32_t>(sp)] = (*defaults)[static_cast<std::uint32_t>(nargs)];
        ++nargs;
    }
    m_sp = ValPtr(this, sp);
    KvoProcInfo* frame = pushFrame(procedure, code, nargs, sp - nargs, sp);
    frame->setEnding(nested, action);
    if (!nested)
        return Flow::PUSHED;
    if (!run())
        return Flow::FAIL;
    if (action != RA_NONE && !applyResultAction(action))
        return Flow::FAIL;
    return Flow::DONE;
}

bool KvoInterpreter::invokeNative(KvoNativeFunc function, int count)
{
    // No C++ exception leaves a native function: running out of memory ends the process with
    // "out of memory" as every allocation of the runtime does, anything else is a script error.
    try {
        bool ok = function(&m_vm, count, m_sp);
        if (m_overflowPending) [[unlikely]] {
            m_overflowPending = false;
            stackOverflow();
            return false;
        }
        return ok;
    } catch (const std::bad_alloc&) {
        errorExit(1);
    } catch (...) {
        return returnError(KVO_ERR_NATIVE_FAILED);
    }
}

KvoInterpreter::Flow KvoInterpreter::callNative(KvoNativeFunc function, int calledSlot, int count, bool nested,
                                                std::uint8_t action)
{
    m_sp = ValPtr(this, calledSlot + count);
    bool ok;
    if (nested) {
        // Native code calling a native function through an entry point nests C++ frames too.
        NestGuard guard(*this);
        if (guard.tooDeep()) {
            stackOverflow();
            return Flow::FAIL;
        }
        ok = invokeNative(function, count);
    } else {
        ok = invokeNative(function, count);
    }
    if (!collectResult(calledSlot) || !ok)
        return Flow::FAIL;
    if (action != RA_NONE && !applyResultAction(action))
        return Flow::FAIL;
    return Flow::DONE;
}

KvoInterpreter::Flow KvoInterpreter::callValue(int calledSlot, int count, bool nested)
{
    const KvoValue& callee = (*this)[static_cast<std::uint32_t>(calledSlot)];
    m_sp = ValPtr(this, calledSlot + count);
    switch (callee.getType()) {
    case KVT_CODE:
    case KVT_CODEREF:
        if (KvoNativeFunc function = nativeOf(callee))
            return callNative(function, calledSlot, count, nested, RA_NONE);
        break;
    case KVT_BYTECODE:
    case KVT_BYTECODEREF:
        // The called slot keeps the procedure alive until the frame has taken its own reference.
        return enterProcedure(callee.as<KvoVector>(), count, nested, RA_NONE);
    case KVT_OBJECT:
    case KVT_OBJECTREF:
        return sendMessage(count, reservedName(RN_OP_CALL), nested, RA_NONE);
    default:
        break;
    }
    returnError(KVO_ERR_CALL_NON_PROCEDURE, getValueTypeName(callee.getType()));
    return Flow::FAIL;
}

bool KvoInterpreter::hasInstanceMethod(KvoClass* c, const KvoChar* name) noexcept
{
    for (; c; c = c->getBaseClass()) {
        if (KvoDictionaryEntry* e = c->funcMembers().find(name))
            return e->getSymbolType() == SYM_METHOD;
    }
    return false;
}

KvoDictionaryEntry* KvoInterpreter::findMethodUncached(KvoClass* receiverClass, KvoClass* frameClass,
                                                       const KvoChar* selector, std::uint8_t& prefix) const
{
    // The receiver's class is searched for the full selector. A selector "BC_name" (base-class
    // call) or "DC_name" (direct call) that it lacks continues with name from the class of the
    // running procedure, if any: "DC_" looks in that class itself, both then walk its bases.
    prefix = 0;
    const KvoChar* name = selector;
    KvoClass* c = receiverClass;
    bool first = true;
    while (c) {
        if (KvoDictionaryEntry* e = c->funcMembers().find(name))
            return e;
        if (first) {
            first = false;
            bool base = startsWith(selector, u"BC_");
            bool direct = !base && startsWith(selector, u"DC_");
            if (base || direct) {
                prefix = base ? 1 : 2;
                name = selector + 3;
                if (frameClass) {
                    c = frameClass;
                    if (direct) {
                        if (KvoDictionaryEntry* e = c->funcMembers().find(name))
                            return e;
                    }
                }
            }
        }
        c = c->getBaseClass();
    }
    return nullptr;
}

KvoDictionaryEntry* KvoInterpreter::lookupMethod(KvoClass* receiverClass, KvoString* selector)
{
    // A remembered lookup holds while no class member dictionary changed (memberVersion), the
    // receiver class and the selector string are the same, neither that string nor the found
    // key changed its text since (strings can be changed in place) and, for a prefixed selector,
    // the class of the running procedure is the same. The entry's value is read afresh by the
    // caller. A string whose block native code may write into is looked up every time.
    if (!selector)
        return nullptr;
    SendCacheEntry& cached = sendCacheSlot(receiverClass, selector);
    // The running procedure's class matters to prefixed selectors only.
    if (cached.holds(receiverClass, selector) &&
        (cached.prefix == 0 || cached.frameClass == (m_frame ? m_frame->getClass() : nullptr)))
        return cached.entry;
    KvoClass* frameClass = m_frame ? m_frame->getClass() : nullptr;
    std::uint8_t prefix = 0;
    KvoDictionaryEntry* entry = findMethodUncached(receiverClass, frameClass, selector->c_str(), prefix);
    if (entry && entry->getKey() && !selector->isExposed() && !entry->getKey()->isExposed()) {
        selector->addRef();
        if (cached.selector)
            cached.selector->release();
        cached.receiverClass = receiverClass;
        cached.frameClass = frameClass;
        cached.selector = selector;
        cached.selectorChanges = selector->changes();
        cached.keyChanges = entry->getKey()->changes();
        cached.entry = entry;
        cached.version = KvoDictionary::memberVersion();
        cached.prefix = prefix;
    }
    return entry;
}

KvoInterpreter::Flow KvoInterpreter::sendMessage(int nargs, KvoString* name, bool nested, std::uint8_t action,
                                                 KvoDictionaryEntry* found)
{
    int sp = m_sp.current();
    int receiverSlot = sp - nargs;
    if (m_sp.vector() != this || nargs < 0 || receiverSlot < 0 || sp >= static_cast<int>(size()) || (!name && nargs < 1)) {
        returnError(KVO_ERR_STACK_CORRUPTED);
        return Flow::FAIL;
    }
    auto at = [this](int i) -> KvoValue& { return (*this)[static_cast<std::uint32_t>(i)]; };
    if (!checkType(at(receiverSlot), KVT_OBJECT))
        return Flow::FAIL;
    KvoObject* object = at(receiverSlot).getObject();
    if (!object) {
        returnError(KVO_ERR_SEND_OBJECT_EXPECTED);
        return Flow::FAIL;
    }

    int count = nargs;
    KvoValue selectorValue;   // the selector as a string value (what a native method finds in its called slot)
    KvoValue method;          // the method when the selector is the procedure itself
    if (name) {
        // The receiver stays in its slot and also becomes argument 0 (this), above it.
        if (!growStack(sp + 1))
            return Flow::FAIL;
        for (int i = sp; i >= receiverSlot; --i)
            at(i + 1) = static_cast<KvoValue&&>(at(i));
        at(receiverSlot) = at(receiverSlot + 1);
        ++sp;
        ++count;
        m_sp = ValPtr(this, sp);
        selectorValue = KvoValue(name);
    } else {
        KvoValue& selector = at(receiverSlot + 1);
        if (selector.getType() == KVT_BYTECODE || selector.getType() == KVT_BYTECODEREF) {
            method = selector;
        } else if (!checkType(selector, KVT_STRING)) {
            return Flow::FAIL;
        }
        selectorValue = selector;
        at(receiverSlot + 1) = at(receiverSlot);
    }

    if (method.isNull()) {
        KvoString* selectorString = selectorValue.getString();
        const KvoChar* selector = selectorString ? selectorString->c_str() : u"";
        KvoClass* c = object->getClass();
        KvoDictionaryEntry* entry = found ? found : c ? lookupMethod(c, selectorString) : nullptr;
        if (!entry) {
            if (isDestructorSelector(selector)) {
                cutBackTo(receiverSlot);
                return Flow::DONE;
            }
            noMethod(selector);
            return Flow::FAIL;
        }
        const KvoValue& implementation = entry->getValue();
        switch (implementation.getType()) {
        case KVT_CODE:
        case KVT_CODEREF: {
            KvoNativeFunc function = nativeOf(implementation);
            if (!function) {
                returnError(selector, KVO_ERR_NULL_NATIVE);
                return Flow::FAIL;
            }
            // One native may serve several names: it finds the selector in its called slot.
            at(receiverSlot) = selectorValue;
            return callNative(function, receiverSlot, count, nested, action);
        }
        case KVT_BYTECODE:
        case KVT_BYTECODEREF:
            if (!implementation.getVector()) {
                returnError(selector, KVO_ERR_NULL_BYTECODE);
                return Flow::FAIL;
            }
            method = implementation;
            break;
        default:
            returnError(selector, KVO_ERR_NO_IMPLEMENTATION);
            return Flow::FAIL;
        }
    }
    return enterProcedure(method.getVector(), count, nested, action);
}

bool KvoInterpreter::applyResultAction(std::uint8_t action)
{
    KvoValue& top = (*this)[static_cast<std::uint32_t>(m_sp.current())];
    if (top.getType() != KVT_INTEGER)
        return badType(top.getType(), KVT_INTEGER);
    std::int32_t value = top.getLong();
    int sign = (value > 0) - (value < 0);
    if (action & RA_NEGATE) {
        sign = -sign;
        value = static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(value));
    }
    switch (action & ~RA_NEGATE) {
    case RA_COMPARE:
    case RA_EQUALS:
        top = KvoValue(value);
        break;
    case RA_LT:
        top = KvoValue(std::int32_t(sign < 0));
        break;
    case RA_LE:
        top = KvoValue(std::int32_t(sign <= 0));
        break;
    case RA_GE:
        top = KvoValue(std::int32_t(sign >= 0));
        break;
    case RA_GT:
        top = KvoValue(std::int32_t(sign > 0));
        break;
    case RA_CMP_EQ:
        top = KvoValue(std::int32_t(sign == 0));
        break;
    case RA_CMP_NE:
        top = KvoValue(std::int32_t(sign != 0));
        break;
    case RA_EQUALS_NE:
        top = KvoValue(std::int32_t(sign == 0));
        break;
    default:
        break;
    }
    return true;
}

// ---- Entry points -------------------------------------------------------------------------------

bool KvoInterpreter::execute(const KvoChar* name, int argc, const KvoChar** argv)
{
    reset();
    KvoDictionaryEntry* entry = name ? m_symbols.find(name) : nullptr;
    if (!entry)
        return false;
    KvoValue function = entry->getValue();
    KvoValueType type = function.getType();
    if (type != KVT_CODE && type != KVT_CODEREF && type != KVT_BYTECODE && type != KVT_BYTECODEREF)
        return false;
    if (argc < 0 || (argc > 0 && !argv))
        argc = 0;
    // The called slot is the initial NULL slot; the arguments are strings above it.
    for (int i = 0; i < argc; ++i) {
        if (!growStack(i + 1))
            return false;
        (*this)[static_cast<std::uint32_t>(i + 1)] = KvoValue(new KvoString(argv[i]));
    }
    m_sp = ValPtr(this, argc);
    Flow flow;
    if (type == KVT_CODE || type == KVT_CODEREF) {
        KvoNativeFunc native = nativeOf(function);
        if (!native)
            return false;
        flow = callNative(native, 0, argc, true, RA_NONE);
    } else {
        flow = enterProcedure(function.getVector(), argc, true, RA_NONE);
    }
    finishOutermost();
    return flow != Flow::FAIL;
}

bool KvoInterpreter::call(int nargs, KvoVector* procedure)
{
    bool ok = enterProcedure(procedure, nargs, true, RA_NONE) != Flow::FAIL;
    finishOutermost();
    return ok;
}

bool KvoInterpreter::send(int nargs, KvoString* name)
{
    KvoValue holder(name); // keeps the name alive through the call
    bool ok = sendMessage(nargs, name, true, RA_NONE) != Flow::FAIL;
    finishOutermost();
    return ok;
}

bool KvoInterpreter::send(int nargs, const KvoChar* name)
{
    if (!name)
        return send(nargs, static_cast<KvoString*>(nullptr));
    KvoValue holder(new KvoString(name));
    return send(nargs, holder.getString());
}

bool KvoInterpreter::pushArguments(KvoVector* args, int& count)
{
    count = 0;
    if (!args)
        return true;
    int sp = m_sp.current();
    for (std::uint32_t i = 0; i < args->size(); ++i) {
        if (!growStack(sp + 1))
            return false;
        ++sp;
        (*this)[static_cast<std::uint32_t>(sp)] = (*args)[i];
        ++count;
        m_sp = ValPtr(this, sp);
    }
    return true;
}

bool KvoInterpreter::finishInvoke(Flow flow, KvoValue& result, std::uint32_t savedSize, const ValPtr& savedSP)
{
    bool ok = flow != Flow::FAIL;
    KvoValue value;
    if (ok && m_sp.vector() == this && m_sp.current() >= 0 && m_sp.current() < static_cast<int>(size()))
        value = (*this)[static_cast<std::uint32_t>(m_sp.current())];
    truncate(savedSize);
    m_sp = savedSP;
    if (ok)
        result = static_cast<KvoValue&&>(value);
    finishOutermost();
    return ok;
}

bool KvoInterpreter::invoke(KvoValue& result, const KvoChar* functionName, KvoVector* args)
{
    if (!functionName || !*functionName)
        return returnError(KVO_ERR_MISSING_FUNCTION_NAME);
    KvoDictionaryEntry* entry = m_symbols.find(functionName);
    if (!entry)
        return returnError(KvoValue(new KvoString(KvoString::format(KVO_ERR_SYMBOL_NOT_FOUND_FORMAT, functionName))));
    KvoValue function = entry->getValue();
    KvoValueType type = function.getType();
    if (type != KVT_CODE && type != KVT_CODEREF && type != KVT_BYTECODE && type != KVT_BYTECODEREF)
        return badType(type, KVT_BYTECODE);
    return invokeValue(result, function, args);
}

bool KvoInterpreter::invokeValue(KvoValue& result, const KvoValue& function, KvoVector* args)
{
    std::uint32_t savedSize = size();
    ValPtr savedSP = m_sp;
    int base = stackHighWater() + 1;
    Flow flow = Flow::FAIL;
    int count = 0;
    if (growStack(base)) {
        (*this)[static_cast<std::uint32_t>(base)] = function;
        m_sp = ValPtr(this, base);
        if (pushArguments(args, count))
            flow = callValue(base, count, true);
    }
    return finishInvoke(flow, result, savedSize, savedSP);
}

bool KvoInterpreter::invokeMember(KvoValue& result, KvoObject* object, const KvoChar* methodName, KvoVector* args)
{
    if (!object)
        return returnError(KVO_ERR_MISSING_OBJECT);
    if (!methodName)
        return returnError(KVO_ERR_MISSING_FUNCTION_NAME);
    KvoValue name(new KvoString(methodName));
    std::uint32_t savedSize = size();
    ValPtr savedSP = m_sp;
    int base = stackHighWater() + 1;
    Flow flow = Flow::FAIL;
    int count = 0;
    if (growStack(base)) {
        (*this)[static_cast<std::uint32_t>(base)] = KvoValue(object);
        m_sp = ValPtr(this, base);
        if (pushArguments(args, count))
            flow = sendMessage(count, name.getString(), true, RA_NONE);
    }
    return finishInvoke(flow, result, savedSize, savedSP);
}

bool KvoInterpreter::invokeStatic(KvoValue& result, KvoClass* c, const KvoChar* name, KvoVector* args)
{
    if (!c)
        return returnError(KVO_ERR_MISSING_CLASS);
    if (!name || !*name)
        return returnError(KVO_ERR_MISSING_FUNCTION_NAME);
    const KvoChar* className = c->getClassName() ? c->getClassName()->c_str() : u"";
    KvoDictionaryEntry* entry = c->findMember(name, true);
    if (!entry)
        return returnError(KvoValue(new KvoString(KvoString::format(KVO_ERR_NOT_IN_CLASS_FORMAT, name, className))));
    if (entry->getSymbolType() != SYM_FUNCTION && entry->getSymbolType() != SYM_VARIABLE)
        return returnError(KvoValue(new KvoString(KvoString::format(KVO_ERR_NOT_STATIC_FORMAT, name, className))));
    KvoValue function = entry->getValue();
    KvoValueType type = function.getType();
    if (type != KVT_CODE && type != KVT_CODEREF && type != KVT_BYTECODE && type != KVT_BYTECODEREF)
        return badType(type, KVT_BYTECODE);
    std::uint32_t savedSize = size();
    ValPtr savedSP = m_sp;
    int base = stackHighWater() + 1;
    Flow flow = Flow::FAIL;
    int count = 0;
    if (growStack(base)) {
        (*this)[static_cast<std::uint32_t>(base)] = function;
        m_sp = ValPtr(this, base);
        if (pushArguments(args, count))
            flow = callValue(base, count, true);
    }
    return finishInvoke(flow, result, savedSize, savedSP);
}

bool KvoInterpreter::createObject(KvoValue& result, const KvoChar* className, KvoVector* args)
{
    if (!className || !*className)
        return returnError(KVO_ERR_MISSING_CLASS_NAME);
    KvoDictionaryEntry* entry = m_classes.find(className);
    KvoClass* c = entry ? entry->getValue().getClass() : nullptr;
    if (!c)
        return returnError(KvoValue(new KvoString(KvoString::format(KVO_ERR_CLASS_NOT_FOUND_FORMAT, className))));
    return createObject(result, c, args);
}

bool KvoInterpreter::createObject(KvoValue& result, KvoClass* c, KvoVector* args)
{
    if (!c)
        return returnError(KVO_ERR_NULL_CLASS);
    KvoValue object(new KvoObject(c));
    const KvoChar* constructor = c->getClassName() ? c->getClassName()->c_str() : u"";
    // On failure the new object dies with this value, unless the constructor stored it.
    return invokeMember(result, object.getObject(), constructor, args);
}
