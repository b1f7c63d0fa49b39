// The instruction loop. One call of run() executes the current frame and every frame that
// CALL, SEND and operator methods push on top of it, until the frame that started the run ends.
//
// Hot state lives in locals: the running frame, its code, the instruction offset, the operand
// width and the frame positions as stack indexes. SPILL() writes it back before anything that
// can observe it (a native call, an operator that may send, a hook, an error); LOAD() reads it
// again afterwards, since such a call may push or pop frames and may reallocate the stack or
// the code. Stack slots are always addressed through the vector's current data pointer.
//
// Every operand, jump target, literal index and frame slot is checked against the code, the
// procedure and the frame before use; a violation raises "invalid bytecode". The checks are
// compares against values already in registers.
#include <cstdint>

#include "values/KvoDictionary.h"
#include "vm/KvoDebugger.h"
#include "vm/KvoErrors.h"
#include "vm/KvoInterpreter.h"
#include "vm/KvoOpCode.h"
#include "vm/KvoProcedure.h"

namespace {

// Integer operations wrap through unsigned arithmetic.
inline std::int32_t wrapAdd(std::int32_t a, std::int32_t b)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
inline std::int32_t wrapSub(std::int32_t a, std::int32_t b)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}
inline std::int32_t wrapMul(std::int32_t a, std::int32_t b)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}
// The bitwise and shift operators on two integers, by the same rules as
// KvoInterpreter::bitwise(): shifts use the low 8 bits of the count, 32 and more shift
// everything out (SHR propagates the sign).
inline std::int32_t integerBitwise(std::uint8_t op, std::int32_t a, std::int32_t b)
{
    unsigned count = static_cast<unsigned>(b) & 0xFF;
    switch (op) {
    case BAND:
        return a & b;
    case BOR:
        return a | b;
    case XOR:
        return a ^ b;
    case SHL:
        return count >= 32 ? 0 : static_cast<std::int32_t>(static_cast<std::uint32_t>(a) << count);
    default: // SHR, sign-propagating
        return count >= 32 ? (a < 0 ? -1 : 0) : (a >> count);
    }
}
// -1, 0 or 1 by the true (64-bit) difference.
inline int compareIntegers(std::int32_t a, std::int32_t b)
{
    return (a > b) - (a < b);
}

} // namespace

bool KvoInterpreter::unwindToHandler()
{
    for (;;) {
        KvoProcInfo* frame = m_frame;
        if (KvoErrorHandler* handler = frame->m_handlers) {
            // Continue at the catch block with the stack cut back to where the handler was
            // installed; the exception value waits in temporary 0.
            std::uint32_t address = handler->m_address;
            int saved = handler->m_sp.current();
            frame->popErrorHandler();
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

bool KvoInterpreter::run()
{
    NestGuard guard(*this);

    KvoProcInfo* frame;
    KvoVector* procedure;
    const std::uint8_t* code;
    std::uint32_t codeSize;
    std::uint32_t pc;
    unsigned width;
    int sp;
    int bp;
    int fp;

// Reads the hot state of the current frame into the locals, and writes it back. Macros rather
// than lambdas: a lambda that the compiler declines to inline would pin every local in memory.
#define LOAD()                                      \
    {                                               \
        frame = m_frame;                            \
        procedure = frame->m_procedure;             \
        code = frame->m_codeBuffer->data();         \
        codeSize = frame->m_codeBuffer->size();     \
        pc = frame->m_pc;                           \
        width = frame->m_width;                     \
        bp = frame->m_bp.current();                 \
        fp = frame->m_fp.current();                 \
        sp = m_sp.current();                        \
    }
#define SPILL()                                             \
    {                                                       \
        frame->m_pc = pc;                                   \
        frame->m_width = static_cast<std::uint8_t>(width);  \
        m_sp = ValPtr(this, sp);                            \
    }
    auto slot = [this](int i) -> KvoValue& { return data()[i]; };

// Control transfers of the loop. RAISE continues at a handler of this run or leaves the run.
#define RAISE()                      \
    {                                \
        if (!unwindToHandler())      \
            return false;            \
        LOAD();                      \
        continue;                    \
    }
#define INVALID()           \
    {                       \
        SPILL();            \
        invalidBytecode();  \
        RAISE();            \
    }
#define FAIL_WITH(call) \
    {                   \
        SPILL();        \
        call;           \
        RAISE();        \
    }
// Runs an out-of-line operation that may push a frame (an operator method) or fail.
#define RUN_FLOW(expression)                   \
    {                                          \
        SPILL();                               \
        if ((expression) == Flow::FAIL)        \
            RAISE();                           \
        LOAD();                                \
        continue;                              \
    }
#define READ_INDEX(variable)                   \
    if (codeSize - pc < width)                 \
        INVALID();                             \
    variable = readOperand(code + pc, width);  \
    pc += width;
#define READ_ADDRESS(variable)                 \
    if (codeSize - pc < KVO_ADDRESS_SIZE)      \
        INVALID();                             \
    variable = readAddress(code + pc);         \
    pc += KVO_ADDRESS_SIZE;                    \
    if (variable >= codeSize)                  \
        INVALID();
// The instruction drops n slots: it must not pop below the frame's called slot.
#define NEED(n)                 \
    if (sp - (n) < bp)          \
        INVALID();

    LOAD();
    for (;;) {
        if (m_attention.load(std::memory_order_relaxed)) {
            SPILL();
            if (!serviceAttention()) {
                leaveCancelledRun();
                return true;
            }
            LOAD();
        }
        if (pc >= codeSize)
            INVALID();
        std::uint8_t op = code[pc++];
        std::uint32_t operand;
        switch (op) {
        case NOP:
            break;
        case SWITCH:
            // No run-time effect; the operand (the end of the switch) is checked all the same.
            READ_ADDRESS(operand);
            break;
        case BRT:
            READ_ADDRESS(operand);
            if (slot(sp).getLong() != 0)
                pc = operand;
            break;
        case BRF:
            READ_ADDRESS(operand);
            if (slot(sp).getLong() == 0)
                pc = operand;
            break;
        case BR:
            READ_ADDRESS(operand);
            pc = operand;
            break;
        case NIL:
            slot(sp).dispose();
            break;
        case PUSH:
            if (sp + 1 >= static_cast<int>(size())) {
                SPILL();
                if (!growStack(sp + 1))
                    RAISE();
            }
            ++sp;
            break;
        case NOT:
            slot(sp) = KvoValue(std::int32_t(slot(sp).getLong() == 0));
            break;
        case NEG:
        case INC:
        case DEC:
        case PINC:
        case PDEC: {
            KvoValue& top = slot(sp);
            if (top.getType() == KVT_INTEGER) {
                std::int32_t v = top.getLong();
                if (op == NEG)
                    v = wrapSub(0, v);
                else
                    v = (op == INC || op == PINC) ? wrapAdd(v, 1) : wrapSub(v, 1);
                top = KvoValue(v);
                break;
            }
            RUN_FLOW(unaryOperator(op, false));
        }
        case BNOT:
            if (slot(sp).getType() == KVT_INTEGER) {
                slot(sp) = KvoValue(~slot(sp).getLong());
                break;
            }
            RUN_FLOW(unaryOperator(op, false));
        case ADD:
        case SUB:
        case MUL: {
            NEED(1);
            KvoValue& left = slot(sp - 1);
            KvoValue& right = slot(sp);
            if (left.getType() == KVT_INTEGER && right.getType() == KVT_INTEGER) {
                std::int32_t a = left.getLong();
                std::int32_t b = right.getLong();
                left = KvoValue(op == ADD ? wrapAdd(a, b) : op == SUB ? wrapSub(a, b) : wrapMul(a, b));
                right = KvoValue();
                --sp;
                break;
            }
            RUN_FLOW(arithmetic(op, false));
        }
        case DIV:
        case REM: {
            NEED(1);
            KvoValue& left = slot(sp - 1);
            KvoValue& right = slot(sp);
            if (left.getType() == KVT_INTEGER && right.getType() == KVT_INTEGER && right.getLong() != 0) {
                std::int32_t a = left.getLong();
                std::int32_t b = right.getLong();
                std::int32_t r;
                if (b == -1)
                    r = op == DIV ? wrapSub(0, a) : 0; // INT_MIN / -1 wraps instead of trapping
                else
                    r = op == DIV ? a / b : a % b;
                left = KvoValue(r);
                right = KvoValue();
                --sp;
                break;
            }
            RUN_FLOW(arithmetic(op, false));
        }
        case BAND:
        case BOR:
        case XOR:
        case SHL:
        case SHR: {
            NEED(1);
            KvoValue& left = slot(sp - 1);
            KvoValue& right = slot(sp);
            if (left.getType() == KVT_INTEGER && right.getType() == KVT_INTEGER) {
                left = KvoValue(integerBitwise(op, left.getLong(), right.getLong()));
                right = KvoValue();
                --sp;
                break;
            }
            RUN_FLOW(bitwise(op, false));
        }
        case LT:
        case LE:
        case GE:
        case GT:
        case EQ:
        case NE: {
            NEED(1);
            KvoValue& left = slot(sp - 1);
            KvoValue& right = slot(sp);
            if (left.getType() == KVT_INTEGER && right.getType() == KVT_INTEGER) {
                int c = compareIntegers(left.getLong(), right.getLong());
                bool result;
                switch (op) {
                case LT: result = c < 0; break;
                case LE: result = c <= 0; break;
                case GE: result = c >= 0; break;
                case GT: result = c > 0; break;
                case EQ: result = c == 0; break;
                default: result = c != 0; break;
                }
                left = KvoValue(std::int32_t(result));
                right = KvoValue();
                --sp;
                break;
            }
            if (op == EQ || op == NE)
                RUN_FLOW(equalsValues(op == NE, false));
            std::uint8_t action = op == LT ? RA_LT : op == LE ? RA_LE : op == GE ? RA_GE : RA_GT;
            RUN_FLOW(compareValues(action, false));
        }
        case LIT:
        case SREF:
            READ_INDEX(operand);
            if (operand >= procedure->size())
                INVALID();
            slot(sp) = (*procedure)[operand];
            break;
        case SSET:
            READ_INDEX(operand);
            // The fixed elements (the code among them) are not static variables.
            if (operand < PROC_FIRST_LITERAL || operand >= procedure->size())
                INVALID();
            (*procedure)[operand] = slot(sp);
            break;
        case REF:
        case SET: {
            READ_INDEX(operand);
            if (operand >= procedure->size())
                INVALID();
            const KvoValue& literal = (*procedure)[operand];
            auto* entry = literal.getType() == KVT_VAR ? static_cast<KvoDictionaryEntry*>(literal.ptr()) : nullptr;
            if (!entry)
                FAIL_WITH(returnError(KVO_ERR_INVALID_VARIABLE, getValueTypeName(literal.getType())));
            if (op == REF)
                slot(sp) = entry->getValue();
            else
                entry->setValue(slot(sp));
            break;
        }
        case AREF:
        case ASET: {
            READ_INDEX(operand);
            if (operand >= static_cast<std::uint32_t>(frame->m_nargs))
                FAIL_WITH(returnError(KVO_ERR_TOO_FEW_ARGUMENTS));
            int argument = bp + 1 + static_cast<int>(operand);
            if (argument > sp)
                INVALID();
            if (op == AREF)
                slot(sp) = slot(argument);
            else
                slot(argument) = slot(sp);
            break;
        }
        case TREF:
        case TSET: {
            READ_INDEX(operand);
            std::int64_t temporary = std::int64_t(fp) + 1 + operand;
            if (temporary > sp)
                INVALID();
            if (op == TREF)
                slot(sp) = slot(static_cast<int>(temporary));
            else
                slot(static_cast<int>(temporary)) = slot(sp);
            break;
        }
        case MREF:
        case MSET: {
            READ_INDEX(operand);
            KvoObject* object = frame->m_nargs >= 1 && bp + 1 <= sp ? slot(bp + 1).getObject() : nullptr;
            if (!object)
                FAIL_WITH(returnError(KVO_ERR_OBJECT_EXPECTED));
            KvoVector* members = object->getMemberData();
            if (!members)
                FAIL_WITH(returnError(KVO_ERR_MEMBER_DATA_EXPECTED));
            // Slot 0 holds the class; data members are numbered from 1.
            if (operand == 0 || operand >= members->size())
                INVALID();
            if (op == MREF)
                slot(sp) = (*members)[operand];
            else
                (*members)[operand] = slot(sp);
            break;
        }
        case TSPACE: {
            READ_INDEX(operand);
            fp = sp;
            frame->m_fp = ValPtr(this, fp);
            if (operand > 0) {
                if (std::int64_t(sp) + operand >= std::int64_t(KVO_MAX_STACK_SLOTS))
                    FAIL_WITH(stackOverflow());
                int top = sp + static_cast<int>(operand);
                SPILL();
                growStack(top);
                for (int i = sp + 1; i <= top; ++i)
                    slot(i).dispose();
                sp = top;
            }
            break;
        }
        case CALL:
            READ_INDEX(operand);
            if (operand > static_cast<std::uint32_t>(sp - bp))
                INVALID();
            RUN_FLOW(callValue(sp - static_cast<int>(operand), static_cast<int>(operand), false));
        case SEND:
            READ_INDEX(operand);
            if (operand < 1 || operand > static_cast<std::uint32_t>(sp - bp))
                INVALID();
            RUN_FLOW(sendMessage(static_cast<int>(operand), nullptr, false, RA_NONE));
        case RETURN: {
            // The top is the result; it replaces the called value and everything above goes.
            collectInto(bp, sp);
            bool entry = frame->m_isEntry;
            std::uint8_t action = frame->m_resultAction;
            popFrame();
            if (entry)
                return true;
            LOAD();
            if (action != RA_NONE && !applyResultAction(action))
                RAISE();
            break;
        }
        case VREF:
            NEED(1);
            RUN_FLOW(indexRead(false));
        case VSET:
            NEED(2);
            RUN_FLOW(indexWrite(false));
        case DUP2:
            NEED(1);
            if (sp + 2 >= static_cast<int>(size())) {
                SPILL();
                if (!growStack(sp + 2))
                    RAISE();
            }
            slot(sp + 1) = slot(sp - 1);
            slot(sp + 2) = slot(sp);
            sp += 2;
            break;
        case DUP:
            if (sp + 1 >= static_cast<int>(size())) {
                SPILL();
                if (!growStack(sp + 1))
                    RAISE();
            }
            slot(sp + 1) = slot(sp);
            ++sp;
            break;
        case POP:
            NEED(1);
            slot(sp).dispose();
            --sp;
            break;
        case NEW: {
            SPILL();
            if (!checkType(slot(sp), KVT_CLASS))
                RAISE();
            KvoClass* c = slot(sp).getClass();
            if (!c)
                FAIL_WITH(badType(KVT_NULL, KVT_CLASS));
            slot(sp) = KvoValue(new KvoObject(c));
            break;
        }
        case DELETE: {
            KvoValue& top = slot(sp);
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
            break;
        }
        case MKREF:
            SPILL();
            doOP_MKREF();
            break;
        case TRY:
            READ_ADDRESS(operand);
            frame->pushErrorHandler(operand, ValPtr(this, sp));
            break;
        case ENDTRY:
            READ_ADDRESS(operand);
            frame->popErrorHandler();
            pc = operand;
            break;
        case THROW:
            FAIL_WITH(returnError(slot(sp)));
        case ENDCATCH:
            if (fp + 1 <= sp)
                slot(fp + 1).dispose();
            break;
        case TRON:
        case TRSTEP:
            if (m_debugger) {
                if (!m_trace && !m_step)
                    m_debugger->setCurrentProc(procedure, frame->m_nargs);
                if (op == TRON)
                    m_trace = true;
                else
                    m_step = true;
                updateHookAttention();
            }
            break;
        case TROFF:
            m_trace = false;
            updateHookAttention();
            break;
        case NEWLINE: {
            READ_INDEX(operand);
            NEED(1);
            KvoString* source = slot(sp).getString();
            if (source && m_hooks) {
                KvoValue hold(slot(sp));
                SPILL();
                setStep(m_hooks->notifySourceLineChanged(source->c_str(), static_cast<std::int32_t>(operand)));
                LOAD();
            }
            slot(sp).dispose();
            --sp;
            break;
        }
        case RBYTE:
            width = 1;
            break;
        case RWORD:
            width = 2;
            break;
        case RDWORD:
            width = 4;
            break;
        default:
            // Byte values that are no opcode execute as one-byte instructions without effect.
            break;
        }
    }

#undef LOAD
#undef SPILL
#undef RAISE
#undef INVALID
#undef FAIL_WITH
#undef RUN_FLOW
#undef READ_INDEX
#undef READ_ADDRESS
#undef NEED
}
