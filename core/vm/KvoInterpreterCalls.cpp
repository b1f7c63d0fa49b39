// The interpreter's calls, frames and unwinding, and the out-of-line parts of instructions: the
// routines that run() (KvoInterpreterLoop.cpp) calls with its state saved. The usual call, send
// and return are carried out inside run() itself; what is here takes the general path.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

#include "stdlib/KvoLibLimits.h"
#include "stdlib/KvoLibMessages.h"
#include "values/KvoDictionary.h"
#include "vm/KvoDebugger.h"
#include "vm/KvoErrors.h"
#include "vm/KvoExecutionForm.h"
#include "vm/KvoInterpreter.h"
#include "vm/KvoOpCode.h"
#include "vm/KvoProcedure.h"
#include "vm/KvoTraceback.h"

// ---- Unwinding ------------------------------------------------------------------------------------

bool KvoInterpreter::unwindToHandler()
{
    if (m_traceback)
        m_traceback->recordIfNew(m_frame);
    for (;;) {
        KvoProcInfo* frame = m_frame;
        if (KvoErrorHandler* handler = frame->m_handlers) {
            // Continue at the catch block with the stack cut back to where the handler was
            // installed; the exception value waits in temporary 0.
            std::uint32_t address = handler->m_address;
            int saved = handler->m_sp.current();
            frame->popErrorHandler();
            if (m_traceback)
                m_traceback->clear(); // caught: this error is never reported
            if (saved + 1 < static_cast<int>(size()))
                truncate(static_cast<std::uint32_t>(saved) + 1);
            else
                growToIndex(static_cast<std::uint32_t>(saved));
            m_sp = ValPtr(this, saved);
            int slot = frame->m_fp.current() + 1;
            if (slot <= saved)
                (*this)[static_cast<std::uint32_t>(slot)] = m_exception;
            frame->m_pc = address;
            // Compiled code restores width 1 after every wide instruction, so every jump target
            // starts at width 1; the instruction that failed may have been a wide one.
            frame->m_width = 1;
            return true;
        }
        int bp = frame->m_bp.current();
        if (KvoProcInfo* parent = frame->m_parent) {
            int slot = parent->m_fp.current() + 1;
            if (slot < bp)
                (*this)[static_cast<std::uint32_t>(slot)] = m_exception;
        }
        cutBackTo(bp);
        bool entry = frame->m_isEntry;
        popFrame();
        if (entry)
            return false;
    }
}

void KvoInterpreter::leaveCancelledRun()
{
    for (;;) {
        bool entry = m_frame->m_isEntry;
        int bp = m_frame->m_bp.current();
        if (entry)
            cutBackTo(bp);
        popFrame();
        if (entry)
            return;
    }
}

// ---- Frames ---------------------------------------------------------------------------------------

KvoProcInfo* KvoInterpreter::pushFrame(KvoVector* procedure, KvoBuffer* code, int nargs, int bp, int fp)
{
    auto chunk = static_cast<std::size_t>(m_depth / FRAMES_PER_CHUNK);
    if (chunk == m_frameChunks.size()) {
        m_frameChunks.push_back(std::make_unique<FrameChunk>());
        m_readyFrames = static_cast<int>(std::min<std::size_t>(m_frameChunks.size() * FRAMES_PER_CHUNK, KVO_MAX_CALL_DEPTH));
    }
    void* slot = m_frameChunks[chunk]->slot(m_depth % FRAMES_PER_CHUNK);
    auto* frame = new (slot) KvoProcInfo(*this, this, procedure, code, nargs, bp, fp);
    frame->m_parent = m_frame;
    m_frame = frame;
    ++m_depth;
    if (m_debugger && (m_trace || m_step))
        m_debugger->setCurrentProc(procedure, nargs);
    return frame;
}

void KvoInterpreter::popFrame()
{
    KvoProcInfo* frame = m_frame;
    m_frame = frame->m_parent;
    --m_depth;
    if (m_debugger && (m_trace || m_step))
        m_debugger->setCurrentProc(m_frame ? m_frame->m_procedure : nullptr, m_frame ? m_frame->m_nargs : 0);
    frame->~KvoProcInfo();
}

void KvoInterpreter::collectInto(int calledSlot, int top)
{
    if (top > calledSlot) {
        KvoValue* stack = data();
        KvoRefObject* dropped = stack[calledSlot].disposeDeferred();
        stack[calledSlot] = static_cast<KvoValue&&>(stack[top]);
        releaseSlotsFrom(calledSlot, top - 1, dropped);
    }
    m_sp = ValPtr(this, calledSlot);
}

void KvoInterpreter::releaseSlotsFrom(int calledSlot, int from, KvoRefObject* dropped)
{
    // Releases that delete an object may run anything, the stack may move: the slots are
    // addressed afresh after each.
    KvoValue* stack = data();
    if (dropped) {
        dropped->finishRelease();
        stack = data();
    }
    for (int i = from; i > calledSlot; --i) {
        if (KvoRefObject* last = stack[i].disposeDeferred()) {
            last->finishRelease();
            stack = data();
        }
    }
    m_sp = ValPtr(this, calledSlot);
}

[[gnu::flatten]] std::uint8_t KvoInterpreter::leaveProcedure(bool& entry)
{
    KvoProcInfo* frame = m_frame;
    collectInto(frame->m_bp.current(), m_sp.current());
    entry = frame->m_isEntry;
    std::uint8_t action = frame->m_resultAction;
    popFrame();
    return action;
}

void KvoInterpreter::cutBackTo(int calledSlot)
{
    int top = m_sp.vector() == this ? m_sp.current() : calledSlot;
    if (top > calledSlot && top < static_cast<int>(size()))
        (*this)[static_cast<std::uint32_t>(calledSlot)] = static_cast<KvoValue&&>((*this)[static_cast<std::uint32_t>(top)]);
    truncate(static_cast<std::uint32_t>(calledSlot) + 1);
    m_sp = ValPtr(this, calledSlot);
}

// ---- Entering procedures from the loop -------------------------------------------------------------

[[gnu::flatten]] bool KvoInterpreter::enterScript(KvoVector* procedure, int nargs, std::uint8_t action)
{
    // The common case: a well-formed procedure called with all its parameters, below the depth
    // limit. Anything else (defaults to fill, errors) takes the general path.
    KvoBuffer* code = nullptr;
    if (procedure && procedure->size() > PROC_DEFAULTS && m_depth < KVO_MAX_CALL_DEPTH) {
        const KvoValue& codeValue = (*procedure)[PROC_CODE];
        if (codeValue.hasType(KVT_BUFFER) || codeValue.hasType(KVT_BUFFERREF))
            code = codeValue.payloadAs<KvoBuffer>();
        const KvoValue& defaultsValue = (*procedure)[PROC_DEFAULTS];
        if (defaultsValue.hasType(KVT_VECTOR) || defaultsValue.hasType(KVT_VECTORREF)) {
            KvoVector* defaults = defaultsValue.payloadAs<KvoVector>();
            if (defaults && static_cast<std::uint32_t>(nargs) < defaults->size() &&
                !((*defaults)[static_cast<std::uint32_t>(nargs)].getFlags() & KvoNoDefault))
                code = nullptr;
        } else if (!defaultsValue.isNull()) {
            code = nullptr;
        }
    }
    if (!code)
        return enterProcedure(procedure, nargs, false, action) != Flow::FAIL;

    int sp = m_sp.current();
    KvoProcInfo* frame = pushFrame(procedure, code, nargs, sp - nargs, sp);
    frame->setEnding(false, action);

    // The usual prologue is carried out here at once, with the same effect, unless the host
    // watches single instructions.
    if (m_attention.load(std::memory_order_relaxed) == 0) {
        // Read through the const view: the writable one counts a change, which would make the
        // next run translate the code again.
        const KvoBuffer& bytes = *code;
        std::uint32_t count = kvoUsualPrologue(bytes.data(), bytes.size());
        // Only when the stack already has the room (else the loop grows it).
        if (count < KVO_MAX_STACK_SLOTS && std::int64_t(sp) + count + 1 < std::int64_t(size())) {
            KvoValue* stack = data();
            for (int i = sp + 1; i <= sp + static_cast<int>(count); ++i) {
                // Slots above the top are NULL already, unless native code left something.
                if (!stack[i].isNull())
                    stack[i].dispose();
            }
            frame->m_fp = ValPtr(this, sp);
            m_sp = ValPtr(this, sp + static_cast<int>(count) + 1);
            frame->m_pc = KVO_PROLOGUE_SIZE;
        }
    }
    return true;
}

KvoVector* KvoInterpreter::findScriptMethod(const KvoValue& receiver, const KvoValue& selector,
                                            KvoDictionaryEntry*& found)
{
    found = nullptr;
    // Only the plain case: an object receiver and a method name (or a non-owning reference to
    // the method, the form of calls through this) that finds a bytecode method.
    KvoObject* object = receiver.as<KvoObject>();
    if (!object)
        return nullptr;
    KvoValueType selectorType = selector.getType();
    if (selectorType == KVT_BYTECODEREF)
        return selector.payloadAs<KvoVector>();
    if (selectorType != KVT_STRING && selectorType != KVT_STRINGREF)
        return nullptr;
    KvoClass* c = object->getClass();
    KvoDictionaryEntry* entry = c ? lookupMethod(c, selector.payloadAs<KvoString>()) : nullptr;
    if (!entry)
        return nullptr;
    found = entry;
    const KvoValue& implementation = entry->getValue();
    return implementation.objectOfKinds<KvoVector>(KVT_BYTECODE, KVT_BYTECODEREF);
}


// ---- Out-of-line parts of instructions ----------------------------------------------------------

std::int32_t KvoInterpreter::topAsInteger() const noexcept
{
    return (*this)[static_cast<std::uint32_t>(m_sp.current())].getLong();
}

KvoInterpreter::Flow KvoInterpreter::concatenateTop()
{
    // ADD of two strings: a new string, the left text followed by the right one.
    int sp = m_sp.current();
    KvoValue* stack = data();
    KvoString& left = *stack[sp - 1].payloadAs<KvoString>();
    const KvoString& right = *stack[sp].payloadAs<KvoString>();
    if (!kvoLibCountFits(std::uint64_t(left.length()) + right.length(), sizeof(KvoChar))) {
        returnError(KVO_LIB_COUNT_TOO_LARGE);
        return Flow::FAIL;
    }
    if (stack[sp - 1].storedType() == KVT_STRING && left.getRefCnt() == 1 && left.getWeakRefCnt() == 0 &&
        &left != &right) {
        // Only this slot holds the left string (the result of another concatenation or of a
        // call, say `f() + ":" + g()`): it takes the right text in place, which nobody can
        // tell from a new string.
        left += right;
    } else {
        KvoValue result(new KvoString(left + right));
        stack[sp - 1] = static_cast<KvoValue&&>(result);
    }
    (*this)[static_cast<std::uint32_t>(sp)].dispose();
    m_sp = ValPtr(this, sp - 1);
    return Flow::DONE;
}

KvoInterpreter::Flow KvoInterpreter::newObject()
{
    KvoValue& top = (*this)[static_cast<std::uint32_t>(m_sp.current())];
    if (!checkType(top, KVT_CLASS))
        return Flow::FAIL;
    KvoClass* c = top.getClass();
    if (!c) {
        badType(KVT_NULL, KVT_CLASS);
        return Flow::FAIL;
    }
    KvoValue object(new KvoObject(c));
    (*this)[static_cast<std::uint32_t>(m_sp.current())] = static_cast<KvoValue&&>(object);
    return Flow::DONE;
}

KvoInterpreter::Flow KvoInterpreter::deleteTop()
{
    KvoValue& top = (*this)[static_cast<std::uint32_t>(m_sp.current())];
    KvoValueType type = top.getType();
    if (type >= KVT_BYTECODEREF && type <= KVT_DICTIONARYREF) {
        // A reference can destroy its object only when no owner is left.
        auto* object = static_cast<KvoRefObject*>(top.getRef());
        top.dispose();
        if (object && object->getRefCnt() == 0) {
            object->addRef();
            object->release();
        }
    } else {
        top.dispose();
    }
    return Flow::DONE;
}

void KvoInterpreter::traceOn(bool step)
{
    if (!m_debugger)
        return;
    bool wasActive = m_trace || m_step;
    if (step)
        m_step = true;
    else
        m_trace = true;
    followFrameInDebugger(wasActive);
    updateHookAttention();
}

void KvoInterpreter::notifyLine(std::uint32_t line)
{
    KvoValue source((*this)[static_cast<std::uint32_t>(m_sp.current())]); // held through the call
    if (m_frame && source.getString()) {
        m_frame->m_sourceName = source.getString();
        m_frame->m_line = static_cast<std::int32_t>(line);
    }
    if (source.getString() && m_hooks)
        setStep(m_hooks->notifySourceLineChanged(source.getString()->c_str(), static_cast<std::int32_t>(line)));
}
