// The instruction loop. One call of run() executes the current frame and every frame that
// CALL, SEND and operator methods push on top of it, until the frame that started the run ends.
//
// Hot state lives in locals: the running frame, its code, the instruction pointer, the operand
// width and the frame positions as pointers into the stack. SPILL() writes it back before
// anything that can observe it (a native call, an operator that may send, a hook, an error, the
// deletion of an object); LOAD() reads it again afterwards, since such a call may push or pop
// frames and may reallocate the stack or the code. No local is used across a call, so that the
// compiler can keep them all in registers: stores that may delete an object leave the deletion
// to a path that saves the state first (STORE, CLEAR).
//
// Calls and returns between script procedures stay inside the loop: the usual call, send and
// return are carried out in the handlers themselves, with the locals set directly for the
// entered or resumed frame; the others go through enterScript and leaveProcedure. Frames live
// in the interpreter's frame stack, not on the native stack. Those routines, unwinding and the
// out-of-line parts of instructions are in KvoInterpreterCalls.cpp; this file holds run() only.
//
// Every operand, jump target, literal index and frame slot is checked against the code, the
// procedure and the frame before use; a violation raises "invalid bytecode". The checks are
// compares against values already in registers.
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "stdlib/KvoLibLimits.h"
#include "stdlib/KvoLibMessages.h"
#include "values/KvoDictionary.h"
#include "vm/KvoDebugger.h"
#include "vm/KvoErrors.h"
#include "vm/KvoInterpreter.h"
#include "vm/KvoOpCode.h"
#include "vm/KvoProcedure.h"
#include "vm/KvoValueViews.h"

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

bool isProcedureValue(const KvoValue& value) noexcept
{
    return value.hasType(KVT_BYTECODE) || value.hasType(KVT_BYTECODEREF);
}
// A string value that has its string (a string value without one is an error for ADD).
bool isTextValue(const KvoValue& value) noexcept
{
    return objectOfKinds<KvoString>(value, KVT_STRING, KVT_STRINGREF) != nullptr;
}
// Whether two zero-terminated texts are equal.
bool equalTexts(const KvoChar* a, const KvoChar* b) noexcept
{
    for (; *a == *b; ++a, ++b) {
        if (!*a)
            return true;
    }
    return false;
}

} // namespace

// The dispatch below jumps straight from one handler to the next: each handler ends in its own
// indirect jump (through a table of label addresses), which branch predictors follow far
// better than the single jump of a switch. Compilers without label addresses, and builds with
// KIVO_SWITCH_DISPATCH (the CMake option of that name, which CI builds and tests), select the
// handler with a switch over the same opcode list instead; the handlers are the same.
#if defined(__GNUC__) && !defined(KIVO_SWITCH_DISPATCH)
#define KVO_LABEL_DISPATCH 1
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"

namespace {
// A table of handler addresses, one per byte value. The addresses exist only inside run(), so
// the table is filled there, once, from the handlers of the opcode list.
struct HandlerTable {
    const void* entries[256];

    // Every byte value leads to the one handler.
    explicit HandlerTable(const void* every) noexcept
    {
        for (const void*& entry : entries)
            entry = every;
    }
    // opcodeHandlers holds the handlers in the order of KVO_OPCODES; other byte values lead to
    // unknown.
    HandlerTable(const void* const* opcodeHandlers, const void* unknown) noexcept : HandlerTable(unknown)
    {
        for (int i = 0; i < KVO_OPCODE_COUNT; ++i)
            entries[KVO_OPCODE_LIST[i]] = opcodeHandlers[i];
    }
};
} // namespace
#else
#define KVO_LABEL_DISPATCH 0
#endif

bool KvoInterpreter::run()
{
    NestGuard guard(*this);

#if KVO_LABEL_DISPATCH
    // The handler of every opcode, in the order of KVO_OPCODES, spread out to one entry per byte
    // value; byte values without an instruction are no-ops.
#define KVO_HANDLER_ADDRESS(name, code, kind) &&op_##name,
    static const void* const OPCODE_HANDLERS[] = {KVO_OPCODES(KVO_HANDLER_ADDRESS)};
#undef KVO_HANDLER_ADDRESS
    static_assert(sizeof OPCODE_HANDLERS / sizeof OPCODE_HANDLERS[0] == KVO_OPCODE_COUNT, "one handler per opcode");
    static const HandlerTable HANDLERS(OPCODE_HANDLERS, &&op_UNKNOWN);
    static const HandlerTable POLL_HANDLERS(&&pollFirst);
    const void* const* handlers = HANDLERS.entries;
#endif

    KvoProcInfo* frame;       // the running frame
    KvoVector* procedure;     // its procedure vector
    const std::uint8_t* code; // its first code byte
    const std::uint8_t* end;  // one past its last code byte
    const std::uint8_t* ip;   // the next code byte to read
    unsigned width;           // the operand width
    KvoValue* sp;             // the stack top
    KvoValue* bp;             // the frame's called slot
    KvoValue* fp;             // the slot below the frame's temporaries
    KvoValue* last;           // the last slot of the stack vector
    // The opcode being dispatched. Handlers that need it read it back from the code (ip[-1],
    // before reading an operand), so that op is dead after each dispatch and leaves its
    // register to the state above.
    std::uint8_t op;
    std::uint32_t operand;
    KvoVector* callee;        // the procedure that CALL or SEND enters
    int calleeArgs;           // its number of arguments

// Reads the hot state of the current frame into the locals, and writes it back. Macros rather
// than lambdas: a lambda that the compiler declines to inline would pin every local in memory.
#define LOAD()                                                                                  \
    {                                                                                           \
        frame = m_frame;                                                                        \
        procedure = frame->m_procedure;                                                         \
        KvoBuffer* buffer = frame->m_codeBuffer;                                                \
        code = buffer->data();                                                                  \
        end = code + buffer->size();                                                            \
        ip = frame->m_pc <= buffer->size() ? code + frame->m_pc : end;                          \
        width = frame->m_width;                                                                 \
        KvoValue* stack = data();                                                               \
        last = stack + (size() - 1);                                                            \
        bp = stack + frame->m_bp.current();                                                     \
        fp = stack + frame->m_fp.current();                                                     \
        sp = stack + m_sp.current();                                                            \
    }
#define SPILL()                                                    \
    {                                                              \
        frame->m_pc = static_cast<std::uint32_t>(ip - code);       \
        frame->m_width = static_cast<std::uint8_t>(width);         \
        m_sp = ValPtr(this, static_cast<int>(sp - data()));        \
    }
#define INDEX_OF(slot) static_cast<int>((slot) - data())

// Instruction fetch and dispatch. NEXT() runs the next instruction through `handlers`: the
// table of the instructions themselves, or, while something wants attention before every
// instruction (tracing, stepping, break requests), a table that leads every byte value to the
// host polls first. Other host requests (a cancel, queued destructors) are looked at by
// CHECKED_NEXT(): at backward jumps, calls and returns, after out-of-line operations and after
// any deletion. So every loop and every recursion passes a check, and a destructor still runs
// before the next instruction.
#if KVO_LABEL_DISPATCH
#define JUMP_TO_HANDLER() goto* handlers[op]
#define JUMP_DIRECT() goto* HANDLERS.entries[op]
#define CHECK_BEFORE_NEXT() handlers = POLL_HANDLERS.entries
#define NO_CHECK_BEFORE_NEXT() handlers = HANDLERS.entries
#else
    bool pollNext = false;
#define JUMP_TO_HANDLER() goto selectHandler
#define JUMP_DIRECT() goto selectDirect
#define CHECK_BEFORE_NEXT() pollNext = true
#define NO_CHECK_BEFORE_NEXT() pollNext = false
#endif
#define NEXT()                   \
    {                            \
        if (ip >= end)           \
            goto endOfCode;      \
        op = *ip++;              \
        JUMP_TO_HANDLER();       \
    }
#define CHECKED_NEXT()                                          \
    {                                                           \
        if (m_attention.load(std::memory_order_relaxed))        \
            goto attention;                                     \
        NEXT();                                                 \
    }

// Control transfers of the loop. RAISE continues at a handler of this run or leaves the run.
#define RAISE()                      \
    {                                \
        if (!unwindToHandler())      \
            return false;            \
        LOAD();                      \
        CHECKED_NEXT();              \
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
        CHECKED_NEXT();                        \
    }
#define READ_INDEX(variable)                           \
    if (width == 1) [[likely]] {                       \
        if (ip >= end)                                 \
            INVALID();                                 \
        variable = *ip++;                              \
    } else {                                           \
        if (static_cast<unsigned>(end - ip) < width)   \
            INVALID();                                 \
        variable = readOperand(ip, width);             \
        ip += width;                                   \
    }
#define READ_ADDRESS(variable)                                      \
    if (end - ip < static_cast<std::ptrdiff_t>(KVO_ADDRESS_SIZE))   \
        INVALID();                                                  \
    variable = readAddress(ip);                                     \
    ip += KVO_ADDRESS_SIZE;                                         \
    if (variable >= static_cast<std::uint32_t>(end - code))         \
        INVALID();
// The instruction drops n slots: it must not pop below the frame's called slot.
#define NEED(n)                 \
    if (sp - (n) < bp)          \
        INVALID();
// Makes room for n more slots above the top.
#define ROOM(n)                                   \
    if (sp + (n) > last) {                        \
        SPILL();                                  \
        if (!growStack(INDEX_OF(sp) + (n)))       \
            RAISE();                              \
        LOAD();                                   \
    }

    LOAD();
    CHECKED_NEXT();

attention:
    SPILL();
    if (!serviceAttention()) {
        leaveCancelledRun();
        return true;
    }
    LOAD();
    // The instruction itself; the one after it polls again while tracing, stepping or break
    // requests need every instruction.
    if (m_attention.load(std::memory_order_relaxed) & ATTN_HOOKS)
        CHECK_BEFORE_NEXT();
    else
        NO_CHECK_BEFORE_NEXT();
    if (ip >= end)
        goto endOfCode;
    op = *ip++;
    JUMP_DIRECT();

#if KVO_LABEL_DISPATCH
pollFirst:
    // The poll table sends every instruction here: undo the fetch and poll.
    --ip;
    goto attention;
#endif

endOfCode:
    INVALID();

#if !KVO_LABEL_DISPATCH
selectHandler:
    if (pollNext) {
        // Undo the fetch and poll first.
        --ip;
        goto attention;
    }
selectDirect:
    switch (op) {
#define KVO_SELECT_HANDLER(name, number, kind) \
    case name:                                 \
        goto op_##name;
        KVO_OPCODES(KVO_SELECT_HANDLER)
#undef KVO_SELECT_HANDLER
    default:
        goto op_UNKNOWN;
    }
#endif

// Stores and clears that may drop the last reference to an object: the deletion (a call that
// may run anything) happens with the state saved, so that no local lives across a call.
#define STORE(target, source)                                                \
    {                                                                        \
        if (KvoRefObject* dropped = (target).assignDeferred(source)) {       \
            SPILL();                                                         \
            dropped->finishRelease();                                        \
            LOAD();                                                          \
            if (m_attention.load(std::memory_order_relaxed))                 \
                CHECK_BEFORE_NEXT();                                         \
        }                                                                    \
    }
#define CLEAR(target)                                                        \
    {                                                                        \
        if (KvoRefObject* dropped = (target).disposeDeferred()) {            \
            SPILL();                                                         \
            dropped->finishRelease();                                        \
            LOAD();                                                          \
            if (m_attention.load(std::memory_order_relaxed))                 \
                CHECK_BEFORE_NEXT();                                         \
        }                                                                    \
    }
// The top as an integer (conditions): inline for integers, else through the conversion.
#define TOP_AS_INTEGER(variable)                                             \
    if (sp->hasType(KVT_INTEGER)) {                                      \
        variable = sp->rawInteger();                                         \
    } else {                                                                 \
        SPILL();                                                             \
        variable = topAsInteger();                                           \
        LOAD();                                                              \
    }

op_NOP:
op_UNKNOWN:
    // Byte values that are no opcode execute as one-byte instructions without effect.
    NEXT();
op_SWITCH:
    // No run-time effect; the operand (the end of the switch) is checked all the same.
    READ_ADDRESS(operand);
    NEXT();
op_BRT: {
    READ_ADDRESS(operand);
    std::int32_t condition;
    TOP_AS_INTEGER(condition);
    if (condition != 0) {
        bool backward = code + operand < ip;
        ip = code + operand;
        if (backward)
            CHECKED_NEXT();
    }
    NEXT();
}
op_BRF: {
    READ_ADDRESS(operand);
    std::int32_t condition;
    TOP_AS_INTEGER(condition);
    if (condition == 0) {
        bool backward = code + operand < ip;
        ip = code + operand;
        if (backward)
            CHECKED_NEXT();
    }
    NEXT();
}
op_BR: {
    READ_ADDRESS(operand);
    bool backward = code + operand < ip;
    ip = code + operand;
    if (backward)
        CHECKED_NEXT();
    NEXT();
}
op_NIL:
    CLEAR(*sp);
    NEXT();
op_PUSH:
    ROOM(1);
    ++sp;
    NEXT();
op_NOT: {
    std::int32_t condition;
    TOP_AS_INTEGER(condition);
    CLEAR(*sp);
    sp->setIntegerUnowned(condition == 0);
    NEXT();
}
op_NEG:
op_INC:
op_DEC:
op_PINC:
op_PDEC:
    if (sp->hasType(KVT_INTEGER)) {
        std::int32_t v = sp->rawInteger();
        if (ip[-1] == NEG)
            v = wrapSub(0, v);
        else
            v = (ip[-1] == INC || ip[-1] == PINC) ? wrapAdd(v, 1) : wrapSub(v, 1);
        sp->setIntegerUnowned(v);
        NEXT();
    }
    RUN_FLOW(unaryOperator(ip[-1], false));
op_BNOT:
    if (sp->hasType(KVT_INTEGER)) {
        sp->setIntegerUnowned(~sp->rawInteger());
        NEXT();
    }
    RUN_FLOW(unaryOperator(ip[-1], false));

// Binary operators: the fast path takes two integers; everything else (other types, operator
// methods, errors) goes through the operator functions.
#define INTEGER_OPERANDS() (sp[-1].hasType(KVT_INTEGER) && sp->hasType(KVT_INTEGER))
#define INTEGER_RESULT(expression)                       \
    {                                                    \
        std::int32_t a = sp[-1].rawInteger();            \
        std::int32_t b = sp->rawInteger();               \
        sp[-1].setIntegerUnowned(std::int32_t(expression)); \
        *sp = KvoValue();                                \
        --sp;                                            \
        (void)a;                                         \
        (void)b;                                         \
        NEXT();                                      \
    }
op_ADD:
    NEED(1);
    if (INTEGER_OPERANDS())
        INTEGER_RESULT(wrapAdd(a, b));
    if (isTextValue(sp[-1]) && isTextValue(*sp))
        RUN_FLOW(concatenateTop());
    RUN_FLOW(arithmetic(ip[-1], false));
op_SUB:
    NEED(1);
    if (INTEGER_OPERANDS())
        INTEGER_RESULT(wrapSub(a, b));
    RUN_FLOW(arithmetic(ip[-1], false));
op_MUL:
    NEED(1);
    if (INTEGER_OPERANDS())
        INTEGER_RESULT(wrapMul(a, b));
    RUN_FLOW(arithmetic(ip[-1], false));
op_DIV:
op_REM:
    NEED(1);
    if (INTEGER_OPERANDS() && sp->rawInteger() != 0) {
        // INT_MIN / -1 wraps instead of trapping.
        if (ip[-1] == DIV)
            INTEGER_RESULT(b == -1 ? wrapSub(0, a) : a / b);
        INTEGER_RESULT(b == -1 ? 0 : a % b);
    }
    RUN_FLOW(arithmetic(ip[-1], false));
op_BAND:
op_BOR:
op_XOR:
op_SHL:
op_SHR:
    NEED(1);
    if (INTEGER_OPERANDS())
        INTEGER_RESULT(integerBitwise(ip[-1], a, b));
    RUN_FLOW(bitwise(ip[-1], false));
op_LT:
    NEED(1);
    if (INTEGER_OPERANDS())
        INTEGER_RESULT(a < b);
    RUN_FLOW(compareValues(RA_LT, false));
op_LE:
    NEED(1);
    if (INTEGER_OPERANDS())
        INTEGER_RESULT(a <= b);
    RUN_FLOW(compareValues(RA_LE, false));
op_GE:
    NEED(1);
    if (INTEGER_OPERANDS())
        INTEGER_RESULT(a >= b);
    RUN_FLOW(compareValues(RA_GE, false));
op_GT:
    NEED(1);
    if (INTEGER_OPERANDS())
        INTEGER_RESULT(a > b);
    RUN_FLOW(compareValues(RA_GT, false));
op_EQ:
    NEED(1);
    if (INTEGER_OPERANDS())
        INTEGER_RESULT(a == b);
    RUN_FLOW(equalsValues(false, false));
op_NE:
    NEED(1);
    if (INTEGER_OPERANDS())
        INTEGER_RESULT(a != b);
    RUN_FLOW(equalsValues(true, false));
#undef INTEGER_OPERANDS
#undef INTEGER_RESULT

op_LIT:
op_SREF:
    READ_INDEX(operand);
    if (operand >= procedure->size())
        INVALID();
    STORE(*sp, (*procedure)[operand]);
    NEXT();
op_SSET:
    READ_INDEX(operand);
    // The fixed elements (the code among them) are not static variables.
    if (operand < PROC_FIRST_LITERAL || operand >= procedure->size())
        INVALID();
    STORE((*procedure)[operand], *sp);
    NEXT();
// REF and SET: the global variable that literal `operand` refers to as `variable`.
#define GLOBAL_VARIABLE(variable)                                                                         \
    READ_INDEX(operand);                                                                                  \
    if (operand >= procedure->size())                                                                     \
        INVALID();                                                                                        \
    const KvoValue& literal = (*procedure)[operand];                                                      \
    if (!literal.hasType(KVT_VAR) || !literal.ptr())                                                   \
        FAIL_WITH(returnError(KVO_ERR_INVALID_VARIABLE, getValueTypeName(literal.getType())));            \
    KvoValue& variable = static_cast<KvoDictionaryEntry*>(literal.ptr())->getValue();
op_REF: {
    GLOBAL_VARIABLE(variable);
    STORE(*sp, variable);
    NEXT();
}
op_SET: {
    GLOBAL_VARIABLE(variable);
    STORE(variable, *sp);
    NEXT();
}
#undef GLOBAL_VARIABLE
op_AREF:
    READ_INDEX(operand);
    if (operand >= static_cast<std::uint32_t>(frame->m_nargs))
        FAIL_WITH(returnError(KVO_ERR_TOO_FEW_ARGUMENTS));
    if (bp + 1 + operand > sp)
        INVALID();
    STORE(*sp, bp[1 + operand]);
    NEXT();
op_ASET:
    READ_INDEX(operand);
    if (operand >= static_cast<std::uint32_t>(frame->m_nargs))
        FAIL_WITH(returnError(KVO_ERR_TOO_FEW_ARGUMENTS));
    if (bp + 1 + operand > sp)
        INVALID();
    STORE(bp[1 + operand], *sp);
    NEXT();
op_TREF:
    READ_INDEX(operand);
    if (fp + 1 + operand > sp)
        INVALID();
    STORE(*sp, fp[1 + operand]);
    NEXT();
op_TSET:
    READ_INDEX(operand);
    if (fp + 1 + operand > sp)
        INVALID();
    STORE(fp[1 + operand], *sp);
    NEXT();
// MREF and MSET: the data member `operand` of the object `this` (argument 0) as `member`.
#define MEMBER_OF_THIS(member)                                                                 \
    READ_INDEX(operand);                                                                       \
    KvoObject* object = frame->m_nargs >= 1 && bp + 1 <= sp ? objectOf(bp[1]) : nullptr;       \
    if (!object)                                                                               \
        FAIL_WITH(returnError(KVO_ERR_OBJECT_EXPECTED));                                       \
    KvoVector* members = object->getMemberData();                                              \
    if (!members)                                                                              \
        FAIL_WITH(returnError(KVO_ERR_MEMBER_DATA_EXPECTED));                                  \
    /* Slot 0 holds the class; data members are numbered from 1. */                            \
    if (operand == 0 || operand >= members->size())                                           \
        INVALID();                                                                             \
    KvoValue& member = (*members)[operand];
op_MREF: {
    MEMBER_OF_THIS(member);
    STORE(*sp, member);
    NEXT();
}
op_MSET: {
    MEMBER_OF_THIS(member);
    STORE(member, *sp);
    NEXT();
}
#undef MEMBER_OF_THIS
op_TSPACE: {
    READ_INDEX(operand);
    fp = sp;
    frame->m_fp = ValPtr(this, INDEX_OF(fp));
    if (operand > 0) {
        if (std::int64_t(INDEX_OF(sp)) + operand >= std::int64_t(KVO_MAX_STACK_SLOTS))
            FAIL_WITH(stackOverflow());
        ROOM(static_cast<int>(operand));
        for (std::uint32_t i = 1; i <= operand; ++i)
            CLEAR(sp[i]);
        sp += operand;
    }
    CHECKED_NEXT();
}
op_CALL: {
    READ_INDEX(operand);
    if (operand > static_cast<std::uint32_t>(sp - bp))
        INVALID();
    KvoValue* called = sp - operand;
    if (isProcedureValue(*called)) {
        // The called slot keeps the procedure alive until the frame has taken its own reference.
        callee = payloadAs<KvoVector>(*called);
        calleeArgs = static_cast<int>(operand);
        goto enterCallee;
    }
    RUN_FLOW(callValue(INDEX_OF(called), static_cast<int>(operand), false));
}
op_SEND: {
    READ_INDEX(operand);
    if (operand < 1 || operand > static_cast<std::uint32_t>(sp - bp))
        INVALID();
    {
        // A method name sent to an object whose class and name the send cache remembers
        // (lookupMethod's test for a selector without prefix) with a bytecode method: the
        // method is entered without the lookup call.
        KvoValue* receiver = sp - operand;
        KvoObject* object = objectOf(receiver[0]);
        KvoString* selectorString = objectOfKinds<KvoString>(receiver[1], KVT_STRING, KVT_STRINGREF);
        KvoVector* members = object ? object->getMemberData() : nullptr;
        if (members && members->size() > 0 && selectorString) {
            const KvoValue& classValue = (*members)[0];
            const KvoChar* selector = selectorString->c_str();
            if (auto* receiverClass = objectOfKinds<KvoClass>(classValue, KVT_CLASS, KVT_CLASSREF)) {
                const SendCacheEntry& cached = sendCacheSlot(receiverClass, selector);
                if (receiverClass && cached.receiverClass == receiverClass && cached.selectorKey == selector &&
                    cached.prefix == 0 && cached.version == KvoDictionary::memberVersion() &&
                    equalTexts(cached.entry->getKey()->c_str(), selector)) {
                    const KvoValue& implementation = cached.entry->getValue();
                    if (auto* method = objectOfKinds<KvoVector>(implementation, KVT_BYTECODE, KVT_BYTECODEREF)) {
                        callee = method;
                        calleeArgs = static_cast<int>(operand);
                        // The receiver becomes argument 0 (this) in place of the selector.
                        STORE(receiver[1], receiver[0]);
                        goto enterCallee;
                    }
                }
            }
        }
    }
    SPILL();
    // A method procedure found for the selector is entered here; every other case (native
    // methods, missing methods, errors) goes through sendMessage.
    KvoDictionaryEntry* found;
    if (KvoVector* method = findScriptMethod(sp[-static_cast<int>(operand)], sp[1 - static_cast<int>(operand)], found)) {
        // The receiver becomes argument 0 (this) in place of the selector.
        // The lookup ran no script code: the locals still hold.
        KvoValue* receiver = sp - operand;
        callee = method;
        calleeArgs = static_cast<int>(operand);
        STORE(receiver[1], receiver[0]);
        goto enterCallee;
    }
    RUN_FLOW(sendMessage(static_cast<int>(operand), nullptr, false, RA_NONE, found));
}
op_RETURN: {
    // The top is the result; it replaces the called value and everything above goes. The usual
    // return (to a script caller of this run that takes the result as it is, no handler left,
    // nothing wanting attention) happens here; a release that deletes an object, or the end of
    // the procedure or code vector, continues out of line.
    if (sp > bp && !frame->m_isEntry && !frame->m_handlers && frame->m_resultAction == RA_NONE &&
        m_attention.load(std::memory_order_relaxed) == 0) {
        KvoRefObject* dropped = bp->disposeDeferred();
        *bp = static_cast<KvoValue&&>(*sp);
        KvoValue* slot = sp - 1;
        while (!dropped && slot > bp) {
            dropped = slot->disposeDeferred();
            --slot;
        }
        sp = bp;
        if (dropped) {
            int calledSlot = INDEX_OF(bp);
            int from = INDEX_OF(slot);
            SPILL();
            releaseSlotsFrom(calledSlot, from, dropped);
            popFrame();
            LOAD();
            CHECKED_NEXT();
        }
        KvoProcInfo* parent = frame->m_parent;
        KvoBuffer* frameCode = frame->m_codeBuffer;
        std::int32_t codeReferences = frameCode->getRefCnt();
        std::int32_t procedureReferences = procedure->getRefCnt();
        if (codeReferences <= 1 || procedureReferences <= 1) {
            SPILL();
            popFrame();
            LOAD();
            CHECKED_NEXT();
        }
        // The frame's own references are not the last ones: dropping them deletes nothing.
        frameCode->setRefCnt(codeReferences - 1);
        procedure->setRefCnt(procedureReferences - 1);
        m_frame = parent;
        --m_depth;
        frame = parent;
        procedure = frame->m_procedure;
        KvoBuffer* buffer = frame->m_codeBuffer;
        code = buffer->data();
        end = code + buffer->size();
        ip = frame->m_pc <= buffer->size() ? code + frame->m_pc : end;
        width = frame->m_width;
        KvoValue* stack = data();
        bp = stack + frame->m_bp.current();
        fp = stack + frame->m_fp.current();
        NEXT();
    }
    SPILL();
    bool entry;
    std::uint8_t action = leaveProcedure(entry);
    if (entry)
        return true;
    LOAD();
    if (action != RA_NONE && !applyResultAction(action))
        RAISE();
    CHECKED_NEXT();
}
op_VREF:
    NEED(1);
    RUN_FLOW(indexRead(false));
op_VSET:
    NEED(2);
    RUN_FLOW(indexWrite(false));
op_DUP2:
    NEED(1);
    ROOM(2);
    STORE(sp[1], sp[-1]);
    STORE(sp[2], sp[0]);
    sp += 2;
    NEXT();
op_DUP:
    ROOM(1);
    STORE(sp[1], sp[0]);
    ++sp;
    NEXT();
op_POP:
    NEED(1);
    CLEAR(*sp);
    --sp;
    NEXT();
op_NEW:
    RUN_FLOW(newObject());
op_DELETE:
    RUN_FLOW(deleteTop());
op_MKREF:
    RUN_FLOW((doOP_MKREF(), Flow::DONE));
op_TRY: {
    READ_ADDRESS(operand);
    int saved = INDEX_OF(sp);
    SPILL();
    m_frame->pushErrorHandler(operand, ValPtr(this, saved));
    LOAD();
    CHECKED_NEXT();
}
op_ENDTRY:
    READ_ADDRESS(operand);
    ip = code + operand;
    SPILL();
    m_frame->popErrorHandler();
    LOAD();
    CHECKED_NEXT();
op_THROW:
    FAIL_WITH(returnError(*sp));
op_ENDCATCH:
    if (fp + 1 <= sp)
        CLEAR(fp[1]);
    NEXT();
op_TRON:
op_TRSTEP:
    SPILL();
    traceOn(ip[-1] == TRSTEP);
    LOAD();
    CHECKED_NEXT();
op_TROFF:
    SPILL();
    if (m_trace) {
        m_trace = false;
        followFrameInDebugger(true);
    }
    updateHookAttention();
    LOAD();
    CHECKED_NEXT();
op_NEWLINE:
    READ_INDEX(operand);
    NEED(1);
    SPILL();
    notifyLine(operand);
    LOAD();
    CLEAR(*sp);
    --sp;
    CHECKED_NEXT();
op_RBYTE:
    width = 1;
    NEXT();

enterCallee: {
    // Enters callee with the calleeArgs values above the called slot. The usual call (a
    // well-formed procedure given all its parameters, starting with the prologue RDWORD,
    // TSPACE n, RBYTE, PUSH, room on the stack, a frame slot ready, nothing wanting attention)
    // happens here, prologue included; anything else goes through enterScript.
    constexpr std::uint32_t PROLOGUE_SIZE = 8;
    auto depth = static_cast<std::size_t>(m_depth); // never negative
    if (!callee || callee->size() <= PROC_DEFAULTS || m_depth >= KVO_MAX_CALL_DEPTH ||
        m_attention.load(std::memory_order_relaxed) != 0 || depth / FRAMES_PER_CHUNK >= m_frameChunks.size())
        goto enterSlow;
    const KvoValue& codeValue = (*callee)[PROC_CODE];
    if (!codeValue.hasType(KVT_BUFFER) && !codeValue.hasType(KVT_BUFFERREF))
        goto enterSlow;
    KvoBuffer* calleeCode = payloadAs<KvoBuffer>(codeValue);
    if (!calleeCode || calleeCode->size() < PROLOGUE_SIZE)
        goto enterSlow;
    const KvoValue& defaultsValue = (*callee)[PROC_DEFAULTS];
    if (!defaultsValue.isNull()) {
        if (!defaultsValue.hasType(KVT_VECTOR) && !defaultsValue.hasType(KVT_VECTORREF))
            goto enterSlow;
        KvoVector* defaults = payloadAs<KvoVector>(defaultsValue);
        if (defaults && static_cast<std::uint32_t>(calleeArgs) < defaults->size() &&
            !((*defaults)[static_cast<std::uint32_t>(calleeArgs)].getFlags() & KvoNoDefault))
            goto enterSlow;
    }
    const std::uint8_t* bytes = calleeCode->data();
    // The eight prologue bytes in one little-endian word: the four opcodes, then the count.
    std::uint64_t prologue;
    std::memcpy(&prologue, bytes, sizeof prologue);
    constexpr std::uint64_t PROLOGUE_OPCODES = std::uint64_t(RDWORD) | std::uint64_t(TSPACE) << 8 |
                                               std::uint64_t(RBYTE) << 48 | std::uint64_t(PUSH) << 56;
    constexpr std::uint64_t PROLOGUE_OPCODE_MASK = 0xFFFF'0000'0000'FFFFull;
    if ((prologue & PROLOGUE_OPCODE_MASK) != PROLOGUE_OPCODES)
        goto enterSlow;
    auto count = static_cast<std::uint32_t>(prologue >> 16);
    if (count >= KVO_MAX_STACK_SLOTS || static_cast<std::uint32_t>(last - sp) <= count)
        goto enterSlow;
    // The temporaries: slots above the top are NULL, unless native code left something.
    for (std::uint32_t i = 1; i <= count; ++i) {
        if (!sp[i].isNull())
            goto enterSlow;
    }
    // The caller resumes after the CALL or SEND.
    frame->m_pc = static_cast<std::uint32_t>(ip - code);
    frame->m_width = static_cast<std::uint8_t>(width);
    int spIndex = INDEX_OF(sp);
    void* frameSlot = m_frameChunks[depth / FRAMES_PER_CHUNK]->slot(static_cast<int>(depth % FRAMES_PER_CHUNK));
    auto* entered = new (frameSlot) KvoProcInfo(*this, this, callee, calleeCode, calleeArgs, spIndex - calleeArgs, spIndex);
    entered->m_parent = frame;
    entered->m_pc = PROLOGUE_SIZE;
    m_frame = entered;
    ++m_depth;
    frame = entered;
    procedure = callee;
    code = bytes;
    end = bytes + calleeCode->size();
    ip = bytes + PROLOGUE_SIZE;
    width = 1;
    bp = sp - calleeArgs;
    fp = sp;
    sp += count + 1;
    NEXT();
}
enterSlow:
    SPILL();
    if (!enterScript(callee, calleeArgs, RA_NONE))
        RAISE();
    LOAD();
    CHECKED_NEXT();
op_RWORD:
    width = 2;
    NEXT();
op_RDWORD:
    width = 4;
    NEXT();

#undef LOAD
#undef SPILL
#undef INDEX_OF
#undef JUMP_TO_HANDLER
#undef JUMP_DIRECT
#undef NO_CHECK_BEFORE_NEXT
#undef NEXT
#undef CHECKED_NEXT
#undef CHECK_BEFORE_NEXT
#undef RAISE
#undef INVALID
#undef FAIL_WITH
#undef RUN_FLOW
#undef READ_INDEX
#undef READ_ADDRESS
#undef NEED
#undef ROOM
#undef STORE
#undef CLEAR
#undef TOP_AS_INTEGER
}

#if KVO_LABEL_DISPATCH
#pragma GCC diagnostic pop
#endif
#undef KVO_LABEL_DISPATCH
