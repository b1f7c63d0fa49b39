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
// Opcodes are read from the code's execution form (vm/KvoExecutionForm.h), operands from the
// code itself. The form marks the end of the code and every opcode whose operand would run past
// it, so neither the fetch nor a one-byte operand needs a length test, and it puts internal
// instructions at the start of common sequences; their handlers, after the designed ones, do
// the whole sequence or else go to the handler of its first instruction. Hooks that follow
// single instructions see the designed opcodes only.
//
// Every operand, literal index and frame slot is checked against the code, the procedure and
// the frame before use, and every jump target when the form is made (a jump whose target lies
// outside the code keeps its check for when it runs); a violation raises "invalid bytecode".
// The checks are compares against values already in registers.
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "stdlib/KvoLibLimits.h"
#include "stdlib/KvoLibMessages.h"
#include "values/KvoBuffer.h"
#include "values/KvoCharBuffer.h"
#include "values/KvoDictionary.h"
#include "vm/KvoDebugger.h"
#include "vm/KvoErrors.h"
#include "vm/KvoExecutionForm.h"
#include "vm/KvoInterpreter.h"
#include "vm/KvoNumberRules.h"
#include "vm/KvoOpCode.h"
#include "vm/KvoProcedure.h"

// The helpers of the handlers below are inlined into run() when the compiler optimizes: that
// keeps the loop's state in registers. Without optimization (debug and sanitizer builds) they
// stay calls, so that run()'s frame, which every nested run puts on the native stack again,
// holds one handler's locals and not the sum of every inlined helper's (measured: a debug
// sanitizer build ran out of native stack before the limit of nested runs).
#if defined(__OPTIMIZE__)
#define KVO_LOOP_INLINE gnu::always_inline
#else
#define KVO_LOOP_INLINE
#endif

namespace {

using namespace kvo_numbers;

// Fast paths of the binary instructions. Each one either carries out the instruction on the two
// operands at sp[-1] and sp, leaving the result at sp[-1] and moving sp down, and answers true,
// or changes nothing and answers false: then the general operator function decides, with every
// rule and error of its own (objects, strings, floats, zero divisors, type errors). Numbers hold
// no reference, so their slots are overwritten without a release.

// Each fast path below combines a left operand, which receives the result, with a right one,
// and answers true, or changes nothing and answers false. The left operand holds a number, so
// it is overwritten without a release.

// ADD, SUB, MUL, DIV and REM: two integers by the integer rules, an integer or a double with a
// double by the double rules; a zero divisor is left to the general path, which raises.
template <std::uint8_t OP>
[[KVO_LOOP_INLINE]] inline bool numberArithmetic(KvoValue& left, const KvoValue& right) noexcept
{
    constexpr bool DIVIDES = OP == DIV || OP == REM;
    if (left.isInteger() && right.isInteger()) [[likely]] {
        std::int32_t divisor = right.rawInteger();
        if (DIVIDES && divisor == 0)
            return false;
        left.setIntegerUnowned(integerArithmetic(OP, left.rawInteger(), divisor));
        return true;
    }
    if (!left.isIntegerOrDouble() || !right.isIntegerOrDouble())
        return false;
    double divisor = right.integerOrDoubleAsDouble();
    if (DIVIDES && isZeroDouble(divisor))
        return false;
    left.setDoubleUnowned(doubleArithmetic(OP, left.integerOrDoubleAsDouble(), divisor));
    return true;
}

// Whether OP is one of the bitwise instructions, which take integers only.
constexpr bool isBitwise(std::uint8_t op)
{
    return op == BAND || op == BOR || op == XOR || op == SHL || op == SHR;
}

// Arithmetic or bitwise instruction OP on two integers, the divisor of DIV and REM not zero.
template <std::uint8_t OP>
[[KVO_LOOP_INLINE]] inline std::int32_t integerResult(std::int32_t a, std::int32_t b) noexcept
{
    if constexpr (isBitwise(OP))
        return kvo_numbers::integerBitwise(OP, a, b);
    else
        return integerArithmetic(OP, a, b);
}

// BAND, BOR, XOR, SHL and SHR of two integers.
template <std::uint8_t OP>
[[KVO_LOOP_INLINE]] inline bool bitwiseIntegers(KvoValue& left, const KvoValue& right) noexcept
{
    if (!left.isInteger() || !right.isInteger())
        return false;
    left.setIntegerUnowned(kvo_numbers::integerBitwise(OP, left.rawInteger(), right.rawInteger()));
    return true;
}

// LT, LE, GE, GT, EQ and NE of two numbers, integers or doubles.
template <std::uint8_t OP>
[[KVO_LOOP_INLINE]] inline bool numberComparison(KvoValue& left, const KvoValue& right) noexcept
{
    if (left.isInteger() && right.isInteger()) [[likely]] {
        left.setIntegerUnowned(integersCompare(OP, left.rawInteger(), right.rawInteger()));
        return true;
    }
    if (!left.isIntegerOrDouble() || !right.isIntegerOrDouble())
        return false;
    int comparison = compareAsDoubles(left.integerOrDoubleAsDouble(), right.integerOrDoubleAsDouble());
    left.setIntegerUnowned(comparisonHolds(OP, comparison));
    return true;
}

// The fast path of binary instruction OP.
template <std::uint8_t OP>
[[KVO_LOOP_INLINE]] inline bool numberOperation(KvoValue& left, const KvoValue& right) noexcept
{
    if constexpr (OP == ADD || OP == SUB || OP == MUL || OP == DIV || OP == REM)
        return numberArithmetic<OP>(left, right);
    else if constexpr (isBitwise(OP))
        return bitwiseIntegers<OP>(left, right);
    else
        return numberComparison<OP>(left, right);
}

// Binary instruction OP on the two operands at sp[-1] and sp: the result is left at sp[-1]
// and sp moves down; false, with nothing changed, when the general path must decide.
template <std::uint8_t OP>
[[KVO_LOOP_INLINE]] inline bool numbersOnStack(KvoValue*& sp) noexcept
{
    if (!numberOperation<OP>(sp[-1], *sp))
        return false;
    sp->setNullUnowned();
    --sp;
    return true;
}

// The operand that the load of an internal PUSH, load, operate instruction reads, or null when
// the designed load would not simply read it. ip is just past the PUSH, on the load opcode;
// the top is still where PUSH finds it.
template <std::uint8_t LOAD>
[[KVO_LOOP_INLINE]] inline const KvoValue* pushedOperand(const std::uint8_t* ip, const KvoVector* procedure,
                                                            const KvoProcInfo* frame, const KvoValue* bp,
                                                            const KvoValue* fp, const KvoValue* sp) noexcept
{
    std::uint32_t index = ip[1];
    if constexpr (LOAD == TREF)
        return fp + index <= sp ? fp + 1 + index : nullptr;
    else if constexpr (LOAD == AREF)
        return index < static_cast<std::uint32_t>(frame->getNargs()) && bp + index <= sp ? bp + 1 + index : nullptr;
    else
        return index < procedure->size() ? &(*procedure)[index] : nullptr;
}

// Whether the designed PUSH would open the slot above the top without growing the stack or
// finding anything in it, from a top that lies inside the frame: what the internal PUSH, load,
// operate instructions ask before they work on the top in place.
[[KVO_LOOP_INLINE]] inline bool pushesPlainly(const KvoValue* sp, const KvoValue* bp, const KvoValue* last) noexcept
{
    // bp <= sp < last in one unsigned comparison of the distances from bp.
    auto above = reinterpret_cast<std::uintptr_t>(sp) - reinterpret_cast<std::uintptr_t>(bp);
    auto room = reinterpret_cast<std::uintptr_t>(last) - reinterpret_cast<std::uintptr_t>(bp);
    return above < room && sp[1].storedType() == KVT_NULL;
}

// Reads an index operand of the current width at ip into operand and moves ip past it; false
// when the code ends first. A one-byte operand is always there: the execution form has
// END_OF_CODE for an opcode at the last byte.
[[KVO_LOOP_INLINE]] inline bool readIndex(const std::uint8_t*& ip, const std::uint8_t* end, unsigned width,
                                             std::uint32_t& operand) noexcept
{
    if (width == 1) [[likely]] {
        operand = *ip++;
        return true;
    }
    if (static_cast<unsigned>(end - ip) < width)
        return false;
    operand = readOperand(ip, width);
    ip += width;
    return true;
}

// Reads an address operand at ip into target and moves ip past it; false when the address lies
// outside the code. The operand itself is always there, as with readIndex.
[[KVO_LOOP_INLINE]] inline bool readJumpTarget(const std::uint8_t*& ip, const std::uint8_t* code,
                                                  const std::uint8_t* end, std::uint32_t& target) noexcept
{
    target = readAddress(ip);
    ip += KVO_ADDRESS_SIZE;
    return target < static_cast<std::uint32_t>(end - code);
}

// Moves ip to code offset target; true when that is a backward jump (a loop), after which the
// loop looks at host requests.
[[KVO_LOOP_INLINE]] inline bool jumpsBack(const std::uint8_t*& ip, const std::uint8_t* code,
                                             std::uint32_t target) noexcept
{
    const std::uint8_t* destination = code + target;
    bool backward = destination < ip;
    ip = destination;
    return backward;
}

// The form that the loop reads at operand width `width`: the execution form for one-byte
// operands, else the plain form, in which no internal instruction runs.
[[KVO_LOOP_INLINE]] inline const std::uint8_t* formAtWidth(const std::uint8_t* form, std::uint32_t size,
                                                           unsigned width) noexcept
{
    return width == 1 ? form : form + kvoPlainFormDistance(size);
}

// The distance from a code byte to its byte in the code's execution form, and that byte. The
// form is a block of its own: the distance is taken between addresses, not pointers.
[[KVO_LOOP_INLINE]] inline std::uintptr_t formDistance(const std::uint8_t* code, const std::uint8_t* form) noexcept
{
    return reinterpret_cast<std::uintptr_t>(form) - reinterpret_cast<std::uintptr_t>(code);
}
[[KVO_LOOP_INLINE]] inline std::uint8_t formByte(const std::uint8_t* at, std::uintptr_t toForm) noexcept
{
    return *reinterpret_cast<const std::uint8_t*>(reinterpret_cast<std::uintptr_t>(at) + toForm);
}

// Whether a backward jump whose target the form has checked follows at ip, which then moves
// past its opcode: a loop body that ends in a store or a step jumps back without a dispatch.
// Only internal instructions ask: a designed one may run while a host follows single
// instructions, which must see the jump by itself.
[[KVO_LOOP_INLINE]] inline bool jumpBackFollows(const std::uint8_t*& ip, std::uintptr_t toForm) noexcept
{
    if (formByte(ip, toForm) != BR_BACK)
        return false;
    ++ip;
    return true;
}

// Whether a value holds no reference, counted or not: overwriting it releases nothing. One
// range test covers both reference ranges (6..14 and 17..24); the two kinds between them
// (variable entries and native function references) hold none either but answer false, which
// only sends them down the general path.
[[KVO_LOOP_INLINE]] inline bool holdsNoReference(const KvoValue& value) noexcept
{
    static_assert(isObjectType(KVT_BYTECODE) && isObjectType(KVT_DICTIONARYREF) && !isObjectType(KVT_BYTECODE - 1) &&
                      !isObjectType(KVT_DICTIONARYREF + 1),
                  "the kinds that hold a reference lie between the bytecode kind and the dictionary reference");
    return static_cast<unsigned>(value.storedType()) - KVT_BYTECODE > unsigned(KVT_DICTIONARYREF - KVT_BYTECODE);
}

// Copies an integer or a double into a slot that holds no reference: numbers hold none, so the
// bits are taken as they are and nothing is released.
[[KVO_LOOP_INLINE]] inline void setNumberUnowned(KvoValue& slot, const KvoValue& number) noexcept
{
    if (number.isInteger())
        slot.setIntegerUnowned(number.rawInteger());
    else
        slot.setDoubleUnowned(number.rawDouble());
}

// The code of element `at` of a string, buffer or character buffer value, when at lies inside it.
inline bool readElementCode(const KvoValue& container, std::uint32_t at, std::int32_t& code) noexcept
{
    if (const KvoString* string = container.as<KvoString>()) {
        if (at >= string->length())
            return false;
        code = string->c_str()[at];
        return true;
    }
    if (const KvoBuffer* buffer = container.as<KvoBuffer>()) {
        if (at >= buffer->size())
            return false;
        code = (*buffer)[at];
        return true;
    }
    if (const KvoCharBuffer* chars = container.as<KvoCharBuffer>()) {
        if (at >= chars->size())
            return false;
        code = (*chars)[at];
        return true;
    }
    return false;
}
// Writes value into element `at` of a string (which changes in place, for every value sharing
// it), buffer or character buffer, when at lies inside it; code is what the element now holds.
inline bool writeElementCode(const KvoValue& container, std::uint32_t at, std::int32_t value, std::int32_t& code) noexcept
{
    if (KvoString* string = container.as<KvoString>()) {
        if (at >= string->length())
            return false;
        auto unit = static_cast<KvoChar>(value);
        (*string)[at] = unit;
        code = unit;
        return true;
    }
    if (KvoBuffer* buffer = container.as<KvoBuffer>()) {
        if (at >= buffer->size())
            return false;
        auto byte = static_cast<std::uint8_t>(value);
        (*buffer)[at] = byte;
        code = byte;
        return true;
    }
    if (KvoCharBuffer* chars = container.as<KvoCharBuffer>()) {
        if (at >= chars->size())
            return false;
        auto unit = static_cast<KvoChar>(value);
        (*chars)[at] = unit;
        code = unit;
        return true;
    }
    return false;
}
// The vector of a vector value (not a procedure) with an element at, else null.
[[KVO_LOOP_INLINE]] inline KvoVector* vectorWithElement(const KvoValue& container, std::uint32_t at) noexcept
{
    KvoVector* vector = container.objectOfKinds<KvoVector>(KVT_VECTOR, KVT_VECTORREF);
    return vector && at < vector->size() ? vector : nullptr;
}
// The element of a vector value (not a procedure) at the integer that index holds, when index
// is given, holds an integer and the element exists; else null. A negative index becomes a
// large one: out of range either way.
[[KVO_LOOP_INLINE]] inline KvoValue* elementAtIndex(const KvoValue& container, const KvoValue* index) noexcept
{
    if (!index || !index->isInteger())
        return nullptr;
    auto at = static_cast<std::uint32_t>(index->rawInteger());
    KvoVector* vector = vectorWithElement(container, at);
    return vector ? &(*vector)[at] : nullptr;
}

// PUSH, load LOAD and binary instruction OP carried out on numbers: the top is combined in
// place with the loaded operand and ip moves past the sequence; false, with nothing changed,
// when the single instructions must decide. ip is just past the PUSH.
template <std::uint8_t LOAD, std::uint8_t OP>
[[KVO_LOOP_INLINE]] inline bool pushedOperated(const std::uint8_t*& ip, const KvoVector* procedure,
                                                  const KvoProcInfo* frame, const KvoValue* bp, const KvoValue* fp,
                                                  KvoValue* sp, const KvoValue* last) noexcept
{
    if (!pushesPlainly(sp, bp, last))
        return false;
    const KvoValue* operand = pushedOperand<LOAD>(ip, procedure, frame, bp, fp, sp);
    if (!operand || !numberOperation<OP>(*sp, *operand))
        return false;
    ip += 3;
    return true;
}

// PUSH, a load (TREF, LIT or AREF, at ip[0]) and VREF: the element of the vector on the top at
// the loaded integer index, or null when the single instructions must decide.
[[KVO_LOOP_INLINE]] inline const KvoValue* pushedElement(const std::uint8_t* ip, const KvoVector* procedure,
                                                           const KvoProcInfo* frame, const KvoValue* bp,
                                                           const KvoValue* fp, const KvoValue* sp,
                                                           const KvoValue* last) noexcept
{
    if (!pushesPlainly(sp, bp, last))
        return nullptr;
    const KvoValue* index = ip[0] == TREF  ? pushedOperand<TREF>(ip, procedure, frame, bp, fp, sp)
                            : ip[0] == LIT ? pushedOperand<LIT>(ip, procedure, frame, bp, fp, sp)
                                           : pushedOperand<AREF>(ip, procedure, frame, bp, fp, sp);
    return elementAtIndex(*sp, index);
}

// PUSH, a load (TREF or LIT, at ip[0]) and VSET with a number to store: the element of the
// vector below the top at the integer index on the top, with value pointing at the number; null
// when the single instructions must decide.
[[KVO_LOOP_INLINE]] inline KvoValue* pushedStoreTarget(const std::uint8_t* ip, const KvoVector* procedure,
                                                         const KvoProcInfo* frame, const KvoValue* bp,
                                                         const KvoValue* fp, const KvoValue* sp,
                                                         const KvoValue* last,
                                                         const KvoValue*& value) noexcept
{
    if (!pushesPlainly(sp, bp, last) || sp - 1 < bp || !sp->isInteger())
        return nullptr;
    value = ip[0] == TREF ? pushedOperand<TREF>(ip, procedure, frame, bp, fp, sp)
                          : pushedOperand<LIT>(ip, procedure, frame, bp, fp, sp);
    if (!value || !value->isIntegerOrDouble())
        return nullptr;
    return elementAtIndex(sp[-1], sp);
}

// The global variable that the literal of a REF or SET names, or null when it names none.
inline KvoValue* globalVariableOf(const KvoValue& literal) noexcept
{
    if (literal.storedType() != KVT_VAR || !literal.storedPointer())
        return nullptr;
    return &static_cast<KvoDictionaryEntry*>(literal.storedPointer())->getValue();
}

// Whether two pushes from the top would open the two slots above it without growing the stack
// or finding anything in them.
[[KVO_LOOP_INLINE]] inline bool pushesTwicePlainly(const KvoValue* sp, const KvoValue* last) noexcept
{
    return last - sp >= 2 && sp[1].storedType() == KVT_NULL && sp[2].storedType() == KVT_NULL;
}

// The element, at the integer that index holds, of the vector in the global variable that
// literal `literal` of the procedure names; null when there is none.
[[KVO_LOOP_INLINE]] inline KvoValue* elementOfGlobal(const KvoVector* procedure, std::uint32_t literal,
                                                     const KvoValue* index) noexcept
{
    if (literal >= procedure->size())
        return nullptr;
    const KvoValue* variable = globalVariableOf((*procedure)[literal]);
    return variable ? elementAtIndex(*variable, index) : nullptr;
}

// Whether temporary index lies strictly below the top: a load after the sequence's first load
// (which overwrites the top) reads it as the designed instructions would.
[[KVO_LOOP_INLINE]] inline const KvoValue* temporaryBelowTop(std::uint32_t index, const KvoValue* fp,
                                                                const KvoValue* sp) noexcept
{
    const KvoValue* variable = fp + 1 + index;
    return variable < sp ? variable : nullptr;
}

// TREF v, PUSH, TREF i, PUSH, a load of the value (LIT or TREF, at ip[5]) and VSET, with ip
// just past the first opcode: the element i of the vector in temporary v, with value pointing
// at the number to store; null when the single instructions must decide. The two pushes must
// find room and empty slots, and the top, which the first load overwrites, no reference.
[[KVO_LOOP_INLINE]] inline KvoValue* storedElementOfTemporaries(const std::uint8_t* ip, const KvoVector* procedure,
                                                                  const KvoValue* fp, const KvoValue* sp,
                                                                  const KvoValue* last,
                                                                  const KvoValue*& value) noexcept
{
    if (!pushesTwicePlainly(sp, last) || !holdsNoReference(*sp) || fp + 1 + ip[0] > sp)
        return nullptr;
    if (ip[5] == LIT)
        value = ip[6] < procedure->size() ? &(*procedure)[ip[6]] : nullptr;
    else
        value = temporaryBelowTop(ip[6], fp, sp);
    if (!value || !value->isIntegerOrDouble())
        return nullptr;
    return elementAtIndex(fp[1 + ip[0]], temporaryBelowTop(ip[3], fp, sp));
}

// PUSH, TREF a, PUSH, a load b (TREF or LIT), OP1 and OP2 on numbers: the top combined by OP2
// with a OP1 b (`e + dx * dx`, `h + (i & 255)`); ip moves past the sequence. False, with
// nothing changed, when the single instructions must decide. ip is just past the first PUSH.
template <std::uint8_t SECOND, std::uint8_t OP1, std::uint8_t OP2>
[[KVO_LOOP_INLINE]] inline bool pushedPairOperated(const std::uint8_t*& ip, const KvoVector* procedure,
                                                      const KvoValue* fp, KvoValue* sp, const KvoValue* last) noexcept
{
    // TREF a at ip[0], ip[1]; PUSH; the second load at ip[3], ip[4]; OP1; OP2. The loads read
    // what lies at or below the top, which the designed pushes leave as it is.
    if (!pushesTwicePlainly(sp, last))
        return false;
    const KvoValue* left = fp + 1 + ip[1];
    const KvoValue* right;
    if constexpr (SECOND == TREF)
        right = fp + 1 + ip[4] <= sp ? fp + 1 + ip[4] : nullptr;
    else
        right = ip[4] < procedure->size() ? &(*procedure)[ip[4]] : nullptr;
    if (left > sp || !right || !left->isIntegerOrDouble())
        return false;
    // Three integers, or three doubles, are combined without the inner result leaving the
    // registers; the rules are numberOperation's.
    if (left->isInteger() && right->isInteger() && sp->isInteger()) {
        std::int32_t divisor = right->rawInteger();
        if ((OP1 == DIV || OP1 == REM) && divisor == 0)
            return false;
        std::int32_t inner = integerResult<OP1>(left->rawInteger(), divisor);
        sp->setIntegerUnowned(integerResult<OP2>(sp->rawInteger(), inner));
        ip += 7;
        return true;
    }
    if constexpr (!isBitwise(OP1) && !isBitwise(OP2)) {
        if (left->isDouble() && right->isDouble() && sp->isDouble()) {
            double divisor = right->rawDouble();
            if ((OP1 == DIV || OP1 == REM) && isZeroDouble(divisor))
                return false;
            double inner = doubleArithmetic(OP1, left->rawDouble(), divisor);
            sp->setDoubleUnowned(doubleArithmetic(OP2, sp->rawDouble(), inner));
            ip += 7;
            return true;
        }
    }
    // Otherwise the inner result is worked out in the empty slot above the top, which is empty
    // again afterwards; numbers hold no reference.
    KvoValue& inner = sp[1];
    setNumberUnowned(inner, *left);
    bool done = numberOperation<OP1>(inner, *right) && numberOperation<OP2>(*sp, inner);
    inner.setNullUnowned();
    if (!done)
        return false;
    ip += 7;
    return true;
}

// PUSH, REF g, PUSH, TREF i, VREF and OP on numbers: the top combined by OP with element i of
// the vector in global g (`x[i] - x[j]`); ip moves past the sequence. False, with nothing
// changed, when the single instructions must decide. ip is just past the first PUSH.
template <std::uint8_t OP>
[[KVO_LOOP_INLINE]] inline bool pushedGlobalElementOperated(const std::uint8_t*& ip, const KvoVector* procedure,
                                                               const KvoValue* fp, KvoValue* sp,
                                                               const KvoValue* last) noexcept
{
    // REF g at ip[0], ip[1]; PUSH; TREF i at ip[3], ip[4]; VREF; OP. The top stays as it is
    // until OP, so the index may be read from it.
    if (!pushesTwicePlainly(sp, last) || fp + 1 + ip[4] > sp)
        return false;
    const KvoValue* element = elementOfGlobal(procedure, ip[1], fp + 1 + ip[4]);
    if (!element || !numberOperation<OP>(*sp, *element))
        return false;
    ip += 7;
    return true;
}

// The data members of the object `this` (argument 0 of the frame whose called slot is bp), or
// null with the error to raise.
inline KvoVector* membersOfThis(const KvoProcInfo* frame, const KvoValue* bp, const KvoValue* sp,
                                const KvoChar*& error) noexcept
{
    KvoObject* object = frame->getNargs() >= 1 && bp + 1 <= sp ? bp[1].as<KvoObject>() : nullptr;
    if (!object) {
        error = KVO_ERR_OBJECT_EXPECTED;
        return nullptr;
    }
    KvoVector* members = object->getMemberData();
    if (!members)
        error = KVO_ERR_MEMBER_DATA_EXPECTED;
    return members;
}

// A load (TREF, AREF or MREF), PUSH, a second load (TREF, LIT or AREF) and binary instruction OP, carried
// out on numbers into the top, which must hold no reference (the first load overwrites it);
// ip moves past the sequence. False, with the top possibly holding the first operand, when the
// single instructions must decide. ip is just past the first opcode.
template <std::uint8_t FIRST, std::uint8_t SECOND, std::uint8_t OP>
[[KVO_LOOP_INLINE]] inline bool loadsOperated(const std::uint8_t*& ip, const KvoVector* procedure,
                                                 const KvoProcInfo* frame, const KvoValue* bp, const KvoValue* fp,
                                                 KvoValue* sp, const KvoValue* last) noexcept
{
    if (!pushesPlainly(sp, bp, last) || !holdsNoReference(*sp))
        return false;
    std::uint32_t index = ip[0];
    const KvoValue* left;
    if constexpr (FIRST == TREF) {
        if (fp + 1 + index > sp)
            return false;
        left = fp + 1 + index;
    } else if constexpr (FIRST == AREF) {
        if (index >= static_cast<std::uint32_t>(frame->getNargs()) || bp + 1 + index > sp)
            return false;
        left = bp + 1 + index;
    } else {
        const KvoChar* error = nullptr;
        KvoVector* members = membersOfThis(frame, bp, sp, error);
        if (!members || index == 0 || index >= members->size())
            return false;
        left = &(*members)[index];
    }
    // The second load's opcode is at ip[2], its operand at ip[3].
    const KvoValue* right = pushedOperand<SECOND>(ip + 2, procedure, frame, bp, fp, sp);
    if (!right || !left->isIntegerOrDouble())
        return false;
    setNumberUnowned(*sp, *left);
    if (!numberOperation<OP>(*sp, *right))
        return false;
    ip += 5;
    return true;
}

// Appends the text of right to the string of left, which the variable holds too, when the two
// hold its only references and the result fits the bound of one string: then nobody else sees
// the string change, and the variable's next assignment from left stores what it holds.
inline bool extendsInPlace(const KvoValue& variable, const KvoValue& left, const KvoValue& right) noexcept
{
    if (left.storedType() != KVT_STRING || variable.storedType() != KVT_STRING ||
        variable.storedPointer() != left.storedPointer() || right.storedPointer() == left.storedPointer())
        return false;
    auto* string = left.payloadAs<KvoString>();
    if (string->getRefCnt() != 2 || string->getWeakRefCnt() != 0)
        return false;
    const KvoString& tail = *right.payloadAs<KvoString>();
    if (!kvoLibCountFits(std::uint64_t(string->length()) + tail.length(), sizeof(KvoChar)))
        return false;
    *string += tail;
    return true;
}

} // namespace

[[KVO_LOOP_INLINE]] inline KvoVector* KvoInterpreter::cachedScriptMethod(const KvoValue& receiver,
                                                                       const KvoValue& selector) noexcept
{
    KvoObject* object = receiver.as<KvoObject>();
    KvoString* name = selector.as<KvoString>();
    KvoVector* members = object ? object->getMemberData() : nullptr;
    if (!members || members->size() == 0 || !name)
        return nullptr;
    // KvoObject::getClass, without its call.
    auto* receiverClass = (*members)[0].as<KvoClass>();
    if (!receiverClass)
        return nullptr;
    const SendCacheEntry& cached = sendCacheSlot(receiverClass, name);
    if (!cached.holds(receiverClass, name) || cached.prefix != 0)
        return nullptr;
    return cached.entry->getValue().objectOfKinds<KvoVector>(KVT_BYTECODE, KVT_BYTECODEREF);
}

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
    // opcodeHandlers holds the handlers in the order of KVO_OPCODES, fusedHandlers those of
    // KVO_FUSED_OPCODES; other byte values lead to unknown.
    HandlerTable(const void* const* opcodeHandlers, const void* const* fusedHandlers, const void* unknown) noexcept
        : HandlerTable(unknown)
    {
        for (int i = 0; i < KVO_OPCODE_COUNT; ++i)
            entries[KVO_OPCODE_LIST[i]] = opcodeHandlers[i];
        for (int i = 0; i < KVO_FUSED_OPCODE_COUNT; ++i)
            entries[KVO_FUSED_LIST[i].code] = fusedHandlers[i];
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
    // The handler of every opcode and internal instruction, spread out to one entry per byte
    // value; byte values without an instruction are no-ops.
#define KVO_HANDLER_ADDRESS(name, code, kind) &&op_##name,
    static const void* const OPCODE_HANDLERS[] = {KVO_OPCODES(KVO_HANDLER_ADDRESS)};
#undef KVO_HANDLER_ADDRESS
    static_assert(sizeof OPCODE_HANDLERS / sizeof OPCODE_HANDLERS[0] == KVO_OPCODE_COUNT, "one handler per opcode");
#define KVO_FUSED_HANDLER_ADDRESS(name, ...) &&op_##name,
    static const void* const FUSED_HANDLERS[] = {KVO_FUSED_OPCODES(KVO_FUSED_HANDLER_ADDRESS)};
#undef KVO_FUSED_HANDLER_ADDRESS
    static_assert(sizeof FUSED_HANDLERS / sizeof FUSED_HANDLERS[0] == KVO_FUSED_OPCODE_COUNT, "one handler each");
    static const HandlerTable HANDLERS(OPCODE_HANDLERS, FUSED_HANDLERS, &&op_UNKNOWN);
    static const HandlerTable POLL_HANDLERS(&&pollFirst);
    const void* const* handlers = HANDLERS.entries;
#endif

    KvoProcInfo* frame;       // the running frame
    KvoVector* procedure;     // its procedure vector
    const std::uint8_t* code; // its first code byte
    std::uintptr_t toForm;    // from a code byte to its byte in the code's execution form
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
    KvoValue* readBack;       // the variable that a store and read back stores

// Reads the hot state of the current frame into the locals, and writes it back. Macros rather
// than lambdas: a lambda that the compiler declines to inline would pin every local in memory.
// Every macro below is one complete statement.
#define LOAD()                                                                                  \
    do {                                                                                        \
        frame = m_frame;                                                                        \
        procedure = frame->m_procedure;                                                         \
        KvoBuffer* buffer = frame->m_codeBuffer;                                                \
        code = static_cast<const KvoBuffer*>(buffer)->data();                                   \
        width = frame->m_width;                                                                 \
        toForm = formDistance(code, formAtWidth(kvoExecutableCode(*buffer), buffer->size(), width)); \
        end = code + buffer->size();                                                            \
        ip = frame->m_pc <= buffer->size() ? code + frame->m_pc : end;                          \
        KvoValue* stack = data();                                                               \
        last = stack + (size() - 1);                                                            \
        bp = stack + frame->m_bp.current();                                                     \
        fp = stack + frame->m_fp.current();                                                     \
        sp = stack + m_sp.current();                                                            \
    } while (false)
#define SPILL()                                                    \
    do {                                                           \
        frame->m_pc = static_cast<std::uint32_t>(ip - code);       \
        frame->m_width = static_cast<std::uint8_t>(width);         \
        m_sp = ValPtr(this, static_cast<int>(sp - data()));        \
    } while (false)
#define INDEX_OF(slot) static_cast<int>((slot) - data())

// While something wants attention before every instruction (tracing, stepping, break
// requests), `handlers` leads every byte value to the host polls first (CHECK_BEFORE_NEXT);
// otherwise to the instructions themselves (NO_CHECK_BEFORE_NEXT). In the switch dispatch a
// flag does the same.
#if KVO_LABEL_DISPATCH
#define CHECK_BEFORE_NEXT() handlers = POLL_HANDLERS.entries
#define NO_CHECK_BEFORE_NEXT() handlers = HANDLERS.entries
#else
    bool pollNext = false;
#define CHECK_BEFORE_NEXT() pollNext = true
#define NO_CHECK_BEFORE_NEXT() pollNext = false
#endif
    Flow flow; // the outcome of an out-of-line operation, for afterFlow

// ---- Dispatch and the loop's own control transfers -----------------------------------------
// The two dispatch macros are the only macros here that jump. NEXT() runs the next
// instruction: its opcode comes from the execution form, which ends in END_OF_CODE, so running
// off the end needs no test. It is a macro, expanded in every handler, so that each handler
// ends in its own indirect jump, which branch predictors follow far better than one shared
// jump; a shared `next:` label is not copied back into the handlers by the compiler (measured:
// two indirect jumps left in run(), and counting loops 60 % slower). CHECKED_NEXT() looks at
// host requests (a cancel, queued destructors) first: at backward jumps, calls and returns,
// after out-of-line operations and after any deletion. So every loop and every recursion
// passes a check, and a destructor still runs before the next instruction.
#if KVO_LABEL_DISPATCH
#define NEXT()                       \
    do {                             \
        op = formByte(ip, toForm);   \
        ++ip;                        \
        goto* handlers[op];          \
    } while (false)
#else
#define NEXT()                       \
    do {                             \
        op = formByte(ip, toForm);   \
        ++ip;                        \
        goto selectHandler;          \
    } while (false)
#endif
#define CHECKED_NEXT()                                          \
    do {                                                        \
        if (m_attention.load(std::memory_order_relaxed))        \
            goto attention;                                     \
        NEXT();                                                 \
    } while (false)

    LOAD();
    CHECKED_NEXT();

// Handlers end in NEXT() or CHECKED_NEXT(), or go to one of these:
//   afterFlow  after an out-of-line operation that may have pushed a frame (an operator method)
//              or failed: its outcome is in `flow`;
//   invalid    raises "invalid bytecode";
//   raise      continues at an error handler of this run, or leaves the run.
afterFlow:
    if (flow == Flow::FAIL)
        goto raise;
    LOAD();
    CHECKED_NEXT();

invalid:
    SPILL();
    invalidBytecode();
    goto raise;

raise:
    if (!unwindToHandler())
        return false;
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
    // One designed instruction: an internal one stands for the first of its sequence here.
    op = designedOpcodeOf(formByte(ip, toForm));
    ++ip;
#if KVO_LABEL_DISPATCH
    goto* HANDLERS.entries[op];
#else
    goto selectDirect;
#endif

#if KVO_LABEL_DISPATCH
pollFirst:
    // The poll table sends every instruction here: undo the fetch and poll.
    --ip;
    goto attention;
#endif

endOfCode:
op_END_OF_CODE:
    goto invalid;

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
#define KVO_SELECT_FUSED_HANDLER(name, ...) \
    case name:                              \
        goto op_##name;
        KVO_FUSED_OPCODES(KVO_SELECT_FUSED_HANDLER)
#undef KVO_SELECT_FUSED_HANDLER
    default:
        goto op_UNKNOWN;
    }
#endif

// Stores and clears that may drop the last reference to an object: the deletion (a call that
// may run anything) happens with the state saved, so that no local lives across a call.
#define STORE(target, source)                                                \
    do {                                                                     \
        if (KvoRefObject* dropped = (target).assignDeferred(source)) {       \
            SPILL();                                                         \
            dropped->finishRelease();                                        \
            LOAD();                                                          \
            if (m_attention.load(std::memory_order_relaxed))                 \
                CHECK_BEFORE_NEXT();                                         \
        }                                                                    \
    } while (false)
#define CLEAR(target)                                                        \
    do {                                                                     \
        if (KvoRefObject* dropped = (target).disposeDeferred()) {            \
            SPILL();                                                         \
            dropped->finishRelease();                                        \
            LOAD();                                                          \
            if (m_attention.load(std::memory_order_relaxed))                 \
                CHECK_BEFORE_NEXT();                                         \
        }                                                                    \
    } while (false)

op_NOP:
op_UNKNOWN:
    // Byte values that are no opcode execute as one-byte instructions without effect.
    NEXT();
op_SWITCH:
    // No run-time effect; the operand (the end of the switch) is checked all the same.
    if (!readJumpTarget(ip, code, end, operand))
        goto invalid;
    NEXT();
// Conditions are the top's integer view: inline for integers, else through the conversion,
// with the state saved (no local lives across a call).
op_BRT: {
    if (!readJumpTarget(ip, code, end, operand))
        goto invalid;
    std::int32_t condition;
    if (sp->isInteger()) {
        condition = sp->rawInteger();
    } else {
        SPILL();
        condition = topAsInteger();
        LOAD();
    }
    if (condition != 0) {
        if (jumpsBack(ip, code, operand))
            CHECKED_NEXT();
    }
    NEXT();
}
op_BRF: {
    if (!readJumpTarget(ip, code, end, operand))
        goto invalid;
    std::int32_t condition;
    if (sp->isInteger()) {
        condition = sp->rawInteger();
    } else {
        SPILL();
        condition = topAsInteger();
        LOAD();
    }
    if (condition == 0) {
        if (jumpsBack(ip, code, operand))
            CHECKED_NEXT();
    }
    NEXT();
}
op_BR: {
    if (!readJumpTarget(ip, code, end, operand))
        goto invalid;
    if (jumpsBack(ip, code, operand))
        CHECKED_NEXT();
    NEXT();
}
// Jumps whose target the form has found inside the code, and whose direction it knows: only
// the backward ones look at host requests.
op_BR_BACK:
    ip = code + readAddress(ip);
    CHECKED_NEXT();
op_BR_AHEAD:
    ip = code + readAddress(ip);
    NEXT();
op_BRT_BACK:
op_BRF_BACK:
op_BRT_AHEAD:
op_BRF_AHEAD: {
    // The top's integer view decides, as in BRT and BRF; the conversion of other kinds reads the
    // value only.
    unsigned jump = formByte(ip - 1, toForm) - BRT_BACK;
    bool onTrue = (jump & 1) == 0;
    if ((sp->getLong() != 0) != onTrue) {
        ip += KVO_ADDRESS_SIZE;
        NEXT();
    }
    ip = code + readAddress(ip);
    if (jump < 2)
        CHECKED_NEXT();
    NEXT();
}
op_NIL:
    CLEAR(*sp);
    NEXT();
op_PUSH:
    if (sp + 1 > last) {
        SPILL();
        if (!growStack(INDEX_OF(sp) + 1))
            goto raise;
        LOAD();
    }
    ++sp;
    NEXT();
op_NOT: {
    std::int32_t condition;
    if (sp->isInteger()) {
        condition = sp->rawInteger();
    } else {
        SPILL();
        condition = topAsInteger();
        LOAD();
    }
    CLEAR(*sp);
    sp->setIntegerUnowned(condition == 0);
    NEXT();
}
op_NEG:
op_INC:
op_DEC:
op_PINC:
op_PDEC:
    if (sp->isInteger()) {
        std::int32_t v = sp->rawInteger();
        if (ip[-1] == NEG)
            v = wrapSub(0, v);
        else
            v = (ip[-1] == INC || ip[-1] == PINC) ? wrapAdd(v, 1) : wrapSub(v, 1);
        sp->setIntegerUnowned(v);
        NEXT();
    }
    SPILL();
    flow = unaryOperator(ip[-1], false);
    goto afterFlow;
op_BNOT:
    if (sp->isInteger()) {
        sp->setIntegerUnowned(~sp->rawInteger());
        NEXT();
    }
    SPILL();
    flow = unaryOperator(ip[-1], false);
    goto afterFlow;

// Binary operators: the fast paths above take numbers; everything else (other types, operator
// methods, errors) goes through the operator functions.
op_ADD:
    if (sp - 1 < bp)
        goto invalid;
    if (numbersOnStack<ADD>(sp))
        NEXT();
    if (sp[-1].as<KvoString>() && sp->as<KvoString>()) {
        // `x = x + y` extends x's string in place when nobody could tell the difference: the
        // next instruction stores the sum into the variable the left operand was read from,
        // that variable and this operand hold the only references to the string (no other
        // value, no non-owning reference), and no host watches single instructions.
        KvoValue* variable = nullptr;
        if (end - ip >= 2 && width == 1 && m_attention.load(std::memory_order_relaxed) == 0) {
            std::uint32_t target = ip[1];
            if (ip[0] == TSET && fp + 1 + target < sp - 1)
                variable = fp + 1 + target;
            else if (ip[0] == ASET && target < static_cast<std::uint32_t>(frame->getNargs()) && bp + 1 + target < sp - 1)
                variable = bp + 1 + target;
            else if (ip[0] == SET && target < procedure->size())
                variable = globalVariableOf((*procedure)[target]);
        }
        bool appended = false;
        if (variable) {
            SPILL();
            appended = extendsInPlace(*variable, sp[-1], *sp);
            LOAD();
        }
        if (appended) {
            CLEAR(*sp);
            --sp;
            NEXT();
        }
        SPILL();
        flow = concatenateTop();
        goto afterFlow;
    }
    SPILL();
    flow = arithmetic(ADD, false);
    goto afterFlow;
op_SUB:
    if (sp - 1 < bp)
        goto invalid;
    if (numbersOnStack<SUB>(sp))
        NEXT();
    SPILL();
    flow = arithmetic(SUB, false);
    goto afterFlow;
op_MUL:
    if (sp - 1 < bp)
        goto invalid;
    if (numbersOnStack<MUL>(sp))
        NEXT();
    SPILL();
    flow = arithmetic(MUL, false);
    goto afterFlow;
op_DIV:
    if (sp - 1 < bp)
        goto invalid;
    if (numbersOnStack<DIV>(sp))
        NEXT();
    SPILL();
    flow = arithmetic(DIV, false);
    goto afterFlow;
op_REM:
    if (sp - 1 < bp)
        goto invalid;
    if (numbersOnStack<REM>(sp))
        NEXT();
    SPILL();
    flow = arithmetic(REM, false);
    goto afterFlow;
op_BAND:
    if (sp - 1 < bp)
        goto invalid;
    if (numbersOnStack<BAND>(sp))
        NEXT();
    SPILL();
    flow = bitwise(BAND, false);
    goto afterFlow;
op_BOR:
    if (sp - 1 < bp)
        goto invalid;
    if (numbersOnStack<BOR>(sp))
        NEXT();
    SPILL();
    flow = bitwise(BOR, false);
    goto afterFlow;
op_XOR:
    if (sp - 1 < bp)
        goto invalid;
    if (numbersOnStack<XOR>(sp))
        NEXT();
    SPILL();
    flow = bitwise(XOR, false);
    goto afterFlow;
op_SHL:
    if (sp - 1 < bp)
        goto invalid;
    if (numbersOnStack<SHL>(sp))
        NEXT();
    SPILL();
    flow = bitwise(SHL, false);
    goto afterFlow;
op_SHR:
    if (sp - 1 < bp)
        goto invalid;
    if (numbersOnStack<SHR>(sp))
        NEXT();
    SPILL();
    flow = bitwise(SHR, false);
    goto afterFlow;
op_LT:
    if (sp - 1 < bp)
        goto invalid;
    if (numbersOnStack<LT>(sp))
        NEXT();
    SPILL();
    flow = compareValues(RA_LT, false);
    goto afterFlow;
op_LE:
    if (sp - 1 < bp)
        goto invalid;
    if (numbersOnStack<LE>(sp))
        NEXT();
    SPILL();
    flow = compareValues(RA_LE, false);
    goto afterFlow;
op_GE:
    if (sp - 1 < bp)
        goto invalid;
    if (numbersOnStack<GE>(sp))
        NEXT();
    SPILL();
    flow = compareValues(RA_GE, false);
    goto afterFlow;
op_GT:
    if (sp - 1 < bp)
        goto invalid;
    if (numbersOnStack<GT>(sp))
        NEXT();
    SPILL();
    flow = compareValues(RA_GT, false);
    goto afterFlow;
op_EQ:
    if (sp - 1 < bp)
        goto invalid;
    if (numbersOnStack<EQ>(sp))
        NEXT();
    SPILL();
    flow = equalsValues(false, false);
    goto afterFlow;
op_NE:
    if (sp - 1 < bp)
        goto invalid;
    if (numbersOnStack<NE>(sp))
        NEXT();
    SPILL();
    flow = equalsValues(true, false);
    goto afterFlow;

op_LIT:
op_SREF:
    if (!readIndex(ip, end, width, operand))
        goto invalid;
    if (operand >= procedure->size())
        goto invalid;
    STORE(*sp, (*procedure)[operand]);
    NEXT();
op_SSET:
    if (!readIndex(ip, end, width, operand))
        goto invalid;
    // The fixed elements (the code among them) are not static variables.
    if (operand < PROC_FIRST_LITERAL || operand >= procedure->size())
        goto invalid;
    STORE((*procedure)[operand], *sp);
    NEXT();
// REF and SET: the global variable that literal `operand` names.
op_REF: {
    if (!readIndex(ip, end, width, operand))
        goto invalid;
    if (operand >= procedure->size())
        goto invalid;
    const KvoValue& literal = (*procedure)[operand];
    KvoValue* variable = globalVariableOf(literal);
    if (!variable) {
        SPILL();
        returnError(KVO_ERR_INVALID_VARIABLE, getValueTypeName(literal.getType()));
        goto raise;
    }
    STORE(*sp, *variable);
    NEXT();
}
op_SET: {
    if (!readIndex(ip, end, width, operand))
        goto invalid;
    if (operand >= procedure->size())
        goto invalid;
    const KvoValue& literal = (*procedure)[operand];
    KvoValue* variable = globalVariableOf(literal);
    if (!variable) {
        SPILL();
        returnError(KVO_ERR_INVALID_VARIABLE, getValueTypeName(literal.getType()));
        goto raise;
    }
    STORE(*variable, *sp);
    NEXT();
}
op_AREF:
    if (!readIndex(ip, end, width, operand))
        goto invalid;
    if (operand >= static_cast<std::uint32_t>(frame->m_nargs)) {
        SPILL();
        returnError(KVO_ERR_TOO_FEW_ARGUMENTS);
        goto raise;
    }
    if (bp + 1 + operand > sp)
        goto invalid;
    STORE(*sp, bp[1 + operand]);
    NEXT();
op_ASET:
    if (!readIndex(ip, end, width, operand))
        goto invalid;
    if (operand >= static_cast<std::uint32_t>(frame->m_nargs)) {
        SPILL();
        returnError(KVO_ERR_TOO_FEW_ARGUMENTS);
        goto raise;
    }
    if (bp + 1 + operand > sp)
        goto invalid;
    STORE(bp[1 + operand], *sp);
    NEXT();
op_TREF:
    if (!readIndex(ip, end, width, operand))
        goto invalid;
    if (fp + 1 + operand > sp)
        goto invalid;
    STORE(*sp, fp[1 + operand]);
    NEXT();
op_TSET:
    if (!readIndex(ip, end, width, operand))
        goto invalid;
    if (fp + 1 + operand > sp)
        goto invalid;
    STORE(fp[1 + operand], *sp);
    NEXT();
// MREF and MSET: data member `operand` of the object `this` (argument 0). Slot 0 of the
// member data holds the class; data members are numbered from 1.
op_MREF: {
    if (!readIndex(ip, end, width, operand))
        goto invalid;
    const KvoChar* error = nullptr;
    KvoVector* members = membersOfThis(frame, bp, sp, error);
    if (!members) {
        SPILL();
        returnError(error);
        goto raise;
    }
    if (operand == 0 || operand >= members->size())
        goto invalid;
    STORE(*sp, (*members)[operand]);
    NEXT();
}
op_MSET: {
    if (!readIndex(ip, end, width, operand))
        goto invalid;
    const KvoChar* error = nullptr;
    KvoVector* members = membersOfThis(frame, bp, sp, error);
    if (!members) {
        SPILL();
        returnError(error);
        goto raise;
    }
    if (operand == 0 || operand >= members->size())
        goto invalid;
    STORE((*members)[operand], *sp);
    NEXT();
}
op_TSPACE: {
    if (!readIndex(ip, end, width, operand))
        goto invalid;
    fp = sp;
    frame->m_fp = ValPtr(this, INDEX_OF(fp));
    if (operand > 0) {
        if (std::int64_t(INDEX_OF(sp)) + operand >= std::int64_t(KVO_MAX_STACK_SLOTS)) {
            SPILL();
            stackOverflow();
            goto raise;
        }
        if (sp + static_cast<int>(operand) > last) {
            SPILL();
            if (!growStack(INDEX_OF(sp) + static_cast<int>(operand)))
                goto raise;
            LOAD();
        }
        for (std::uint32_t i = 1; i <= operand; ++i)
            CLEAR(sp[i]);
        sp += operand;
    }
    CHECKED_NEXT();
}
op_CALL: {
    if (!readIndex(ip, end, width, operand))
        goto invalid;
    if (operand > static_cast<std::uint32_t>(sp - bp))
        goto invalid;
    KvoValue* called = sp - operand;
    if (called->isProcedure()) {
        // The called slot keeps the procedure alive until the frame has taken its own reference.
        callee = called->payloadAs<KvoVector>();
        calleeArgs = static_cast<int>(operand);
        goto enterCallee;
    }
    if (KvoNativeFunc function = called->getCode()) {
        // A native function is called here, as callValue would call it.
        int calledSlot = INDEX_OF(called);
        SPILL();
        bool ok = invokeNative(function, static_cast<int>(operand));
        if (!collectResult(calledSlot) || !ok)
            goto raise;
        LOAD();
        CHECKED_NEXT();
    }
    SPILL();
    flow = callValue(INDEX_OF(called), static_cast<int>(operand), false);
    goto afterFlow;
}
op_SEND: {
    if (!readIndex(ip, end, width, operand))
        goto invalid;
    if (operand < 1 || operand > static_cast<std::uint32_t>(sp - bp))
        goto invalid;
    {
        // A method whose lookup the send cache remembers is entered without the lookup call.
        KvoValue* receiver = sp - operand;
        if (KvoVector* method = cachedScriptMethod(receiver[0], receiver[1])) {
            callee = method;
            calleeArgs = static_cast<int>(operand);
            // The receiver becomes argument 0 (this) in place of the selector.
            STORE(receiver[1], receiver[0]);
            goto enterCallee;
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
    SPILL();
    flow = sendMessage(static_cast<int>(operand), nullptr, false, RA_NONE, found);
    goto afterFlow;
}
op_RETURN: {
    // The top is the result; it replaces the called value and everything above goes. The usual
    // return (to a script caller of this run that takes the result as it is, no handler left,
    // nothing wanting attention) happens here; a release that deletes an object, or the end of
    // the procedure or code vector, continues out of line.
    if (sp > bp && frame->m_returnsPlainly && m_attention.load(std::memory_order_relaxed) == 0) {
        KvoRefObject* dropped = bp->disposeDeferred();
        bp->moveOverUnowned(*sp);
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
        code = static_cast<const KvoBuffer*>(buffer)->data();
        width = frame->m_width;
        toForm = formDistance(code, formAtWidth(kvoExecutableCode(*buffer), buffer->size(), width));
        end = code + buffer->size();
        ip = frame->m_pc <= buffer->size() ? code + frame->m_pc : end;
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
        goto raise;
    CHECKED_NEXT();
}
// VREF and VSET: elements of vectors, strings and buffers at an integer index inside them
// and dictionary reads with a string key are carried out here; everything else (objects,
// indexes out of range, other types) goes through indexRead and indexWrite.
op_VREF: {
    if (sp - 1 < bp)
        goto invalid;
    const KvoValue& container = sp[-1];
    if (sp->isInteger()) {
        // A negative index becomes a large one: out of range either way.
        auto at = static_cast<std::uint32_t>(sp->rawInteger());
        if (KvoVector* vector = vectorWithElement(container, at)) {
            sp->setNullUnowned();
            --sp;
            // The element is copied before the container's release, which may delete it.
            STORE(*sp, (*vector)[at]);
            NEXT();
        }
        // Strings may count their length, out of line: the state is saved around.
        std::int32_t element = 0;
        SPILL();
        bool found = readElementCode(sp[-1], at, element);
        LOAD();
        if (found) {
            sp->setNullUnowned();
            --sp;
            CLEAR(*sp);
            sp->setIntegerUnowned(element);
            NEXT();
        }
    } else if (KvoString* key = sp->as<KvoString>()) {
        if (KvoDictionary* dictionary = container.as<KvoDictionary>()) {
            KvoDictionaryEntry* entry = dictionary->findWithoutCall(*key);
            if (!entry) {
                // Reading a missing key creates its entry with a NULL value.
                SPILL();
                entry = (*dictionary)[*key];
                LOAD();
            }
            STORE(sp[-1], entry->getValue());
            CLEAR(*sp);
            --sp;
            NEXT();
        }
    }
    SPILL();
    flow = indexRead(false);
    goto afterFlow;
}
op_VSET: {
    if (sp - 2 < bp)
        goto invalid;
    const KvoValue& container = sp[-2];
    if (sp[-1].isInteger()) {
        auto at = static_cast<std::uint32_t>(sp[-1].rawInteger());
        if (KvoVector* vector = vectorWithElement(container, at)) {
            // The value is stored, and is the result in the container's slot.
            STORE((*vector)[at], *sp);
            sp[-1].setNullUnowned();
            STORE(sp[-2], *sp);
            CLEAR(*sp);
            sp -= 2;
            NEXT();
        }
        std::int32_t element = 0;
        bool written = false;
        if (sp->isInteger()) {
            SPILL();
            written = writeElementCode(sp[-2], at, sp->rawInteger(), element);
            LOAD();
        }
        if (written) {
            sp->setNullUnowned();
            sp[-1].setNullUnowned();
            sp -= 2;
            CLEAR(*sp);
            sp->setIntegerUnowned(element);
            NEXT();
        }
    }
    SPILL();
    flow = indexWrite(false);
    goto afterFlow;
}
op_DUP2:
    if (sp - 1 < bp)
        goto invalid;
    if (sp + 2 > last) {
        SPILL();
        if (!growStack(INDEX_OF(sp) + 2))
            goto raise;
        LOAD();
    }
    STORE(sp[1], sp[-1]);
    STORE(sp[2], sp[0]);
    sp += 2;
    NEXT();
op_DUP:
    if (sp + 1 > last) {
        SPILL();
        if (!growStack(INDEX_OF(sp) + 1))
            goto raise;
        LOAD();
    }
    STORE(sp[1], sp[0]);
    ++sp;
    NEXT();
op_POP:
    if (sp - 1 < bp)
        goto invalid;
    CLEAR(*sp);
    --sp;
    NEXT();
op_NEW:
    SPILL();
    flow = newObject();
    goto afterFlow;
op_DELETE:
    SPILL();
    flow = deleteTop();
    goto afterFlow;
op_MKREF:
    SPILL();
    doOP_MKREF();
    LOAD();
    CHECKED_NEXT();
op_TRY: {
    if (!readJumpTarget(ip, code, end, operand))
        goto invalid;
    int saved = INDEX_OF(sp);
    SPILL();
    m_frame->pushErrorHandler(operand, ValPtr(this, saved));
    LOAD();
    CHECKED_NEXT();
}
op_ENDTRY:
    if (!readJumpTarget(ip, code, end, operand))
        goto invalid;
    ip = code + operand;
    SPILL();
    m_frame->popErrorHandler();
    LOAD();
    CHECKED_NEXT();
op_THROW:
    SPILL();
    returnError(*sp);
    goto raise;
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
    if (!readIndex(ip, end, width, operand))
        goto invalid;
    if (sp - 1 < bp)
        goto invalid;
    SPILL();
    notifyLine(operand);
    LOAD();
    CLEAR(*sp);
    --sp;
    CHECKED_NEXT();
op_RBYTE:
    // Back from the plain form, which the wider operands read, to the execution form.
    if (width != 1)
        toForm -= kvoPlainFormDistance(static_cast<std::uint32_t>(end - code));
    width = 1;
    NEXT();

// ---- Internal instructions of the execution form (see vm/KvoExecutionForm.h) ----------------
// Each one carries out its designed sequence when the fast path applies, and otherwise goes to
// the handler of the sequence's first instruction, which finds ip where it expects it.

// PUSH, a load (TREF, LIT or AREF) and a binary instruction: the top is combined in place with
// the loaded operand, which is never copied to the stack.
op_PUSH_TREF_ADD:
    if (!pushedOperated<TREF, ADD>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_TREF_SUB:
    if (!pushedOperated<TREF, SUB>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_TREF_MUL:
    if (!pushedOperated<TREF, MUL>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_TREF_DIV:
    if (!pushedOperated<TREF, DIV>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_TREF_REM:
    if (!pushedOperated<TREF, REM>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_TREF_BAND:
    if (!pushedOperated<TREF, BAND>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_TREF_LT:
    if (!pushedOperated<TREF, LT>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    goto branchOnComparison;
op_PUSH_TREF_LE:
    if (!pushedOperated<TREF, LE>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    goto branchOnComparison;
op_PUSH_TREF_GT:
    if (!pushedOperated<TREF, GT>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    goto branchOnComparison;
op_PUSH_TREF_GE:
    if (!pushedOperated<TREF, GE>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    goto branchOnComparison;
op_PUSH_TREF_EQ:
    if (!pushedOperated<TREF, EQ>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    goto branchOnComparison;
op_PUSH_TREF_NE:
    if (!pushedOperated<TREF, NE>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    goto branchOnComparison;
op_PUSH_LIT_ADD:
    if (!pushedOperated<LIT, ADD>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_LIT_SUB:
    if (!pushedOperated<LIT, SUB>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_LIT_MUL:
    if (!pushedOperated<LIT, MUL>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_LIT_DIV:
    if (!pushedOperated<LIT, DIV>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_LIT_REM:
    if (!pushedOperated<LIT, REM>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_LIT_BAND:
    if (!pushedOperated<LIT, BAND>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_LIT_LT:
    if (!pushedOperated<LIT, LT>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    goto branchOnComparison;
op_PUSH_LIT_LE:
    if (!pushedOperated<LIT, LE>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    goto branchOnComparison;
op_PUSH_LIT_GT:
    if (!pushedOperated<LIT, GT>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    goto branchOnComparison;
op_PUSH_LIT_GE:
    if (!pushedOperated<LIT, GE>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    goto branchOnComparison;
op_PUSH_LIT_EQ:
    if (!pushedOperated<LIT, EQ>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    goto branchOnComparison;
op_PUSH_LIT_NE:
    if (!pushedOperated<LIT, NE>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    goto branchOnComparison;
op_PUSH_AREF_ADD:
    if (!pushedOperated<AREF, ADD>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_AREF_SUB:
    if (!pushedOperated<AREF, SUB>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_AREF_MUL:
    if (!pushedOperated<AREF, MUL>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_AREF_DIV:
    if (!pushedOperated<AREF, DIV>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_AREF_REM:
    if (!pushedOperated<AREF, REM>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_AREF_BAND:
    if (!pushedOperated<AREF, BAND>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_AREF_LT:
    if (!pushedOperated<AREF, LT>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    goto branchOnComparison;
op_PUSH_AREF_LE:
    if (!pushedOperated<AREF, LE>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    goto branchOnComparison;
op_PUSH_AREF_GT:
    if (!pushedOperated<AREF, GT>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    goto branchOnComparison;
op_PUSH_AREF_GE:
    if (!pushedOperated<AREF, GE>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    goto branchOnComparison;
op_PUSH_AREF_EQ:
    if (!pushedOperated<AREF, EQ>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    goto branchOnComparison;
op_PUSH_AREF_NE:
    if (!pushedOperated<AREF, NE>(ip, procedure, frame, bp, fp, sp, last))
        goto op_PUSH;
    goto branchOnComparison;
// PUSH, TREF, PUSH, a load and two binary instructions: the top combined with the result of
// the inner operator, which is never copied to the stack.
op_PUSH_TREF_PUSH_TREF_MUL_ADD:
    if (!pushedPairOperated<TREF, MUL, ADD>(ip, procedure, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_TREF_PUSH_TREF_MUL_SUB:
    if (!pushedPairOperated<TREF, MUL, SUB>(ip, procedure, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_TREF_PUSH_LIT_MUL_ADD:
    if (!pushedPairOperated<LIT, MUL, ADD>(ip, procedure, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_TREF_PUSH_LIT_BAND_ADD:
    if (!pushedPairOperated<LIT, BAND, ADD>(ip, procedure, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_TREF_PUSH_LIT_REM_ADD:
    if (!pushedPairOperated<LIT, REM, ADD>(ip, procedure, fp, sp, last))
        goto op_PUSH;
    NEXT();
// PUSH, an element of a global vector and a binary instruction.
op_PUSH_REF_PUSH_TREF_VREF_ADD:
    if (!pushedGlobalElementOperated<ADD>(ip, procedure, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_REF_PUSH_TREF_VREF_SUB:
    if (!pushedGlobalElementOperated<SUB>(ip, procedure, fp, sp, last))
        goto op_PUSH;
    NEXT();
op_PUSH_REF_PUSH_TREF_VREF_MUL:
    if (!pushedGlobalElementOperated<MUL>(ip, procedure, fp, sp, last))
        goto op_PUSH;
    NEXT();
// PUSH, a load and VREF: an element of the vector on the top.
op_PUSH_TREF_VREF:
op_PUSH_LIT_VREF:
op_PUSH_AREF_VREF:
    if (const KvoValue* element = pushedElement(ip, procedure, frame, bp, fp, sp, last)) {
        ip += 3;
        // The element is copied before the container's release, which may delete it.
        STORE(*sp, *element);
        NEXT();
    }
    goto op_PUSH;

op_PUSH_TREF_VSET:
op_PUSH_LIT_VSET: {
    const KvoValue* value = nullptr;
    if (KvoValue* element = pushedStoreTarget(ip, procedure, frame, bp, fp, sp, last, value)) {
        ip += 3;
        {
            // A number: the copy takes no reference, and it outlives a stack that the release of
            // the element's old value may move. Its block ends before the jump to the next
            // instruction.
            const KvoValue number = *value;
            STORE(*element, number);
            // The stored value is the result, in the container's slot; the index goes.
            sp->setNullUnowned();
            --sp;
            STORE(*sp, number);
        }
        if (jumpBackFollows(ip, toForm))
            goto op_BR_BACK;
        NEXT();
    }
    goto op_PUSH;
}

branchOnComparison: {
    // A comparison (or an element read) left an integer on the top: a BRT or BRF right after
    // it, whose target the form has checked, is carried out here; any other instruction runs
    // by itself.
    unsigned jump = formByte(ip, toForm) - BRT_BACK;
    if (jump > BRF_AHEAD - BRT_BACK)
        NEXT();
    if ((sp->rawInteger() != 0) != ((jump & 1) == 0)) {
        ip += 1 + KVO_ADDRESS_SIZE;
        NEXT();
    }
    ip = code + readAddress(ip + 1);
    if (jump < 2)
        CHECKED_NEXT();
    NEXT();
}


// TREF a, PUSH, TREF b or LIT k, ADD, TSET a, BR: a loop's step (`j += i`) on numbers. The sum
// goes into the top as in TREF, PUSH, load, ADD, then into a, which held a number (the first
// operand) and takes it without counts; the BR follows without a dispatch.
op_TREF_PUSH_TREF_ADD_TSET_BR:
    if (!loadsOperated<TREF, TREF, ADD>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    goto stepStored;
op_TREF_PUSH_LIT_ADD_TSET_BR:
    if (!loadsOperated<TREF, LIT, ADD>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
stepStored:
    // ip is at the TSET, whose operand is a's (the form was made for this code).
    setNumberUnowned(fp[1 + ip[1]], *sp);
    ip += 2;
    if (jumpBackFollows(ip, toForm))
        goto op_BR_BACK;
    NEXT();

// A load, PUSH, a load and a binary instruction: the two operands are combined into the top
// without being copied to the stack.
op_TREF_PUSH_TREF_ADD:
    if (!loadsOperated<TREF, TREF, ADD>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    NEXT();
op_TREF_PUSH_TREF_SUB:
    if (!loadsOperated<TREF, TREF, SUB>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    NEXT();
op_TREF_PUSH_TREF_MUL:
    if (!loadsOperated<TREF, TREF, MUL>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    NEXT();
op_TREF_PUSH_TREF_DIV:
    if (!loadsOperated<TREF, TREF, DIV>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    NEXT();
op_TREF_PUSH_TREF_REM:
    if (!loadsOperated<TREF, TREF, REM>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    NEXT();
op_TREF_PUSH_TREF_BAND:
    if (!loadsOperated<TREF, TREF, BAND>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    NEXT();
op_TREF_PUSH_TREF_LT:
    if (!loadsOperated<TREF, TREF, LT>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    goto branchOnComparison;
op_TREF_PUSH_TREF_LE:
    if (!loadsOperated<TREF, TREF, LE>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    goto branchOnComparison;
op_TREF_PUSH_TREF_GT:
    if (!loadsOperated<TREF, TREF, GT>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    goto branchOnComparison;
op_TREF_PUSH_TREF_GE:
    if (!loadsOperated<TREF, TREF, GE>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    goto branchOnComparison;
op_TREF_PUSH_TREF_EQ:
    if (!loadsOperated<TREF, TREF, EQ>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    goto branchOnComparison;
op_TREF_PUSH_TREF_NE:
    if (!loadsOperated<TREF, TREF, NE>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    goto branchOnComparison;
op_TREF_PUSH_LIT_ADD:
    if (!loadsOperated<TREF, LIT, ADD>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    NEXT();
op_TREF_PUSH_LIT_SUB:
    if (!loadsOperated<TREF, LIT, SUB>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    NEXT();
op_TREF_PUSH_LIT_MUL:
    if (!loadsOperated<TREF, LIT, MUL>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    NEXT();
op_TREF_PUSH_LIT_DIV:
    if (!loadsOperated<TREF, LIT, DIV>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    NEXT();
op_TREF_PUSH_LIT_REM:
    if (!loadsOperated<TREF, LIT, REM>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    NEXT();
op_TREF_PUSH_LIT_BAND:
    if (!loadsOperated<TREF, LIT, BAND>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    NEXT();
op_TREF_PUSH_LIT_LT:
    if (!loadsOperated<TREF, LIT, LT>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    goto branchOnComparison;
op_TREF_PUSH_LIT_LE:
    if (!loadsOperated<TREF, LIT, LE>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    goto branchOnComparison;
op_TREF_PUSH_LIT_GT:
    if (!loadsOperated<TREF, LIT, GT>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    goto branchOnComparison;
op_TREF_PUSH_LIT_GE:
    if (!loadsOperated<TREF, LIT, GE>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    goto branchOnComparison;
op_TREF_PUSH_LIT_EQ:
    if (!loadsOperated<TREF, LIT, EQ>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    goto branchOnComparison;
op_TREF_PUSH_LIT_NE:
    if (!loadsOperated<TREF, LIT, NE>(ip, procedure, frame, bp, fp, sp, last))
        goto op_TREF;
    goto branchOnComparison;
op_AREF_PUSH_TREF_ADD:
    if (!loadsOperated<AREF, TREF, ADD>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    NEXT();
op_AREF_PUSH_TREF_SUB:
    if (!loadsOperated<AREF, TREF, SUB>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    NEXT();
op_AREF_PUSH_TREF_MUL:
    if (!loadsOperated<AREF, TREF, MUL>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    NEXT();
op_AREF_PUSH_TREF_DIV:
    if (!loadsOperated<AREF, TREF, DIV>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    NEXT();
op_AREF_PUSH_TREF_REM:
    if (!loadsOperated<AREF, TREF, REM>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    NEXT();
op_AREF_PUSH_TREF_BAND:
    if (!loadsOperated<AREF, TREF, BAND>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    NEXT();
op_AREF_PUSH_TREF_LT:
    if (!loadsOperated<AREF, TREF, LT>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    goto branchOnComparison;
op_AREF_PUSH_TREF_LE:
    if (!loadsOperated<AREF, TREF, LE>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    goto branchOnComparison;
op_AREF_PUSH_TREF_GT:
    if (!loadsOperated<AREF, TREF, GT>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    goto branchOnComparison;
op_AREF_PUSH_TREF_GE:
    if (!loadsOperated<AREF, TREF, GE>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    goto branchOnComparison;
op_AREF_PUSH_TREF_EQ:
    if (!loadsOperated<AREF, TREF, EQ>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    goto branchOnComparison;
op_AREF_PUSH_TREF_NE:
    if (!loadsOperated<AREF, TREF, NE>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    goto branchOnComparison;
op_AREF_PUSH_LIT_ADD:
    if (!loadsOperated<AREF, LIT, ADD>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    NEXT();
op_AREF_PUSH_LIT_SUB:
    if (!loadsOperated<AREF, LIT, SUB>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    NEXT();
op_AREF_PUSH_LIT_MUL:
    if (!loadsOperated<AREF, LIT, MUL>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    NEXT();
op_AREF_PUSH_LIT_DIV:
    if (!loadsOperated<AREF, LIT, DIV>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    NEXT();
op_AREF_PUSH_LIT_REM:
    if (!loadsOperated<AREF, LIT, REM>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    NEXT();
op_AREF_PUSH_LIT_BAND:
    if (!loadsOperated<AREF, LIT, BAND>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    NEXT();
op_AREF_PUSH_LIT_LT:
    if (!loadsOperated<AREF, LIT, LT>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    goto branchOnComparison;
op_AREF_PUSH_LIT_LE:
    if (!loadsOperated<AREF, LIT, LE>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    goto branchOnComparison;
op_AREF_PUSH_LIT_GT:
    if (!loadsOperated<AREF, LIT, GT>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    goto branchOnComparison;
op_AREF_PUSH_LIT_GE:
    if (!loadsOperated<AREF, LIT, GE>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    goto branchOnComparison;
op_AREF_PUSH_LIT_EQ:
    if (!loadsOperated<AREF, LIT, EQ>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    goto branchOnComparison;
op_AREF_PUSH_LIT_NE:
    if (!loadsOperated<AREF, LIT, NE>(ip, procedure, frame, bp, fp, sp, last))
        goto op_AREF;
    goto branchOnComparison;

// PUSH and a load with anything else after them.
op_PUSH_TREF:
op_PUSH_LIT:
op_PUSH_AREF:
op_PUSH_REF:
    if (!pushesPlainly(sp, bp, last))
        goto op_PUSH;
    ++sp;
    op = *ip++; // the load, as the sequence was found
    if (op == TREF)
        goto op_TREF;
    if (op == LIT)
        goto op_LIT;
    if (op == REF)
        goto op_REF;
    goto op_AREF;

// REF g, PUSH, TREF i, VREF: element i of the vector in a global variable, read into a top
// that holds no reference (so that nothing is deleted before the element is read).
op_REF_PUSH_TREF_VREF: {
    if (!pushesPlainly(sp, bp, last) || !holdsNoReference(*sp))
        goto op_REF;
    // The TREF's operand is at ip[3]. A temporary at the top would hold the vector by then: the
    // designed instructions decide.
    const KvoValue* element = elementOfGlobal(procedure, ip[0], temporaryBelowTop(ip[3], fp, sp));
    if (!element)
        goto op_REF;
    ip += 5;
    sp->assignOverUnowned(*element);
    NEXT();
}

// REF g or TREF v, PUSH, TREF i, PUSH: a container and an index pushed for an element store
// whose value is worked out next (`v[i] = v[i] - d`). The top, which the first load overwrites,
// must hold no reference, the two pushes must find room and empty slots, and the index must lie
// below the top (a temporary at the top would hold the container by then); otherwise the
// designed instructions decide.
op_REF_PUSH_TREF_PUSH:
op_TREF_PUSH_TREF_PUSH: {
    if (!pushesTwicePlainly(sp, last) || !holdsNoReference(*sp))
        goto containerLoadAlone;
    const KvoValue* container;
    if (ip[-1] == REF)
        container = ip[0] < procedure->size() ? globalVariableOf((*procedure)[ip[0]]) : nullptr;
    else
        container = fp + 1 + ip[0] <= sp ? fp + 1 + ip[0] : nullptr;
    const KvoValue* index = temporaryBelowTop(ip[3], fp, sp);
    if (!container || !index)
        goto containerLoadAlone;
    // A temporary at the top holds no reference: taking it over itself changes nothing.
    sp->assignOverUnowned(*container);
    sp[1].assignOverUnowned(*index);
    sp += 2;
    ip += 5;
    NEXT();
}
containerLoadAlone:
    // The first instruction of the sequence by itself.
    if (ip[-1] == REF)
        goto op_REF;
    goto op_TREF;

// TREF v, PUSH, TREF i, VREF: element i of the vector in temporary v, read into a top that
// holds no reference; a BRT or BRF after it tests an integer element at once (`if (flags[i])`).
op_TREF_PUSH_TREF_VREF: {
    if (!pushesPlainly(sp, bp, last) || !holdsNoReference(*sp) || fp + 1 + ip[0] > sp)
        goto op_TREF;
    // The second TREF's operand is at ip[3].
    const KvoValue* element = elementAtIndex(fp[1 + ip[0]], temporaryBelowTop(ip[3], fp, sp));
    if (!element)
        goto op_TREF;
    ip += 5;
    sp->assignOverUnowned(*element);
    if (sp->isInteger())
        goto branchOnComparison;
    NEXT();
}

// TREF v, PUSH, TREF i, PUSH, LIT or TREF, VSET: a number stored into element i of the vector
// in temporary v (`flags[j] = 0`); the top receives the number.
op_TREF_PUSH_TREF_PUSH_LIT_VSET:
op_TREF_PUSH_TREF_PUSH_TREF_VSET: {
    const KvoValue* value = nullptr;
    if (KvoValue* element = storedElementOfTemporaries(ip, procedure, fp, sp, last, value)) {
        ip += 8;
        // The number goes to the top, which holds no reference, and from there into the element:
        // the top keeps it while the release of the element's old value may move the stack.
        setNumberUnowned(*sp, *value);
        STORE(*element, *sp);
        if (jumpBackFollows(ip, toForm))
            goto op_BR_BACK;
        NEXT();
    }
    goto op_TREF;
}

// A data member of `this`, PUSH, a literal or argument and ADD or SUB (`n = n + k`).
op_MREF_PUSH_LIT_ADD:
    if (!loadsOperated<MREF, LIT, ADD>(ip, procedure, frame, bp, fp, sp, last))
        goto op_MREF;
    NEXT();
op_MREF_PUSH_LIT_SUB:
    if (!loadsOperated<MREF, LIT, SUB>(ip, procedure, frame, bp, fp, sp, last))
        goto op_MREF;
    NEXT();
op_MREF_PUSH_AREF_ADD:
    if (!loadsOperated<MREF, AREF, ADD>(ip, procedure, frame, bp, fp, sp, last))
        goto op_MREF;
    NEXT();
op_MREF_PUSH_AREF_SUB:
    if (!loadsOperated<MREF, AREF, SUB>(ip, procedure, frame, bp, fp, sp, last))
        goto op_MREF;
    NEXT();

// TREF r, PUSH, LIT s and SEND, with PUSH and a literal or temporary argument before the SEND
// in the longer forms: a method call on an object in a temporary (`c->inc()`, `c->add(3)`).
// The receiver and the argument are loaded as the designed instructions load them, into a top
// that holds no reference and empty slots above it, so no load deletes anything. A method that
// the send cache remembers is entered at once, with the stack as SEND leaves it (the receiver
// also in the selector's slot, as this); otherwise the selector is loaded too and SEND runs
// without a dispatch.
op_TREF_PUSH_LIT_SEND: {
    if (!pushesPlainly(sp, bp, last) || !holdsNoReference(*sp) || fp + 1 + ip[0] > sp ||
        ip[3] >= procedure->size())
        goto op_TREF;
    const KvoValue& object = fp[1 + ip[0]];
    const KvoValue& selector = (*procedure)[ip[3]];
    sp->assignOverUnowned(object);
    ++sp;
    // SEND's operand is at ip[5].
    if (ip[5] == 1) {
        if (KvoVector* method = cachedScriptMethod(object, selector)) {
            sp->assignOverUnowned(object);
            ip += 6;
            callee = method;
            calleeArgs = 1;
            goto enterCallee;
        }
    }
    sp->assignOverUnowned(selector);
    ip += 5;
    goto op_SEND;
}
op_TREF_PUSH_LIT_PUSH_LIT_SEND:
op_TREF_PUSH_LIT_PUSH_TREF_SEND: {
    if (!pushesTwicePlainly(sp, last) || !holdsNoReference(*sp) || fp + 1 + ip[0] > sp ||
        ip[3] >= procedure->size())
        goto op_TREF;
    if (ip[5] == LIT ? ip[6] >= procedure->size() : fp + 1 + ip[6] > sp)
        goto op_TREF;
    const KvoValue& object = fp[1 + ip[0]];
    const KvoValue& selector = (*procedure)[ip[3]];
    // The argument; a temporary lies at or below the receiver's slot (checked above).
    const KvoValue& argument = ip[5] == LIT ? (*procedure)[ip[6]] : fp[1 + ip[6]];
    sp->assignOverUnowned(object);
    sp[2].assignOverUnowned(argument);
    ++sp;
    // SEND's operand is at ip[8].
    if (ip[8] == 2) {
        if (KvoVector* method = cachedScriptMethod(object, selector)) {
            sp->assignOverUnowned(object);
            ++sp;
            ip += 9;
            callee = method;
            calleeArgs = 2;
            goto enterCallee;
        }
    }
    sp->assignOverUnowned(selector);
    ++sp;
    ip += 8;
    goto op_SEND;
}

// REF and PUSH: a global's value on the top, then the PUSH itself (a function about to be
// called, a left operand).
op_REF_PUSH: {
    if (ip[0] >= procedure->size())
        goto op_REF;
    const KvoValue* variable = globalVariableOf((*procedure)[ip[0]]);
    if (!variable)
        goto op_REF;
    ip += 2;
    STORE(*sp, *variable);
    goto op_PUSH;
}

// TREF a, a step (INC, DEC, PINC or PDEC), TSET a: an integer temporary counts up or down in
// place, and the top receives its new value; a BR right after it (a loop's step) runs without
// a dispatch.
op_TREF_INC_TSET:
op_TREF_DEC_TSET:
op_TREF_PINC_TSET:
op_TREF_PDEC_TSET: {
    KvoValue* variable = fp + 1 + ip[0];
    if (variable > sp || !variable->isInteger() || !holdsNoReference(*sp))
        goto op_TREF;
    std::uint8_t step = ip[1];
    std::int32_t value = variable->rawInteger();
    value = step == INC || step == PINC ? wrapAdd(value, 1) : wrapSub(value, 1);
    variable->setIntegerUnowned(value);
    sp->setIntegerUnowned(value);
    ip += 4;
    if (jumpBackFollows(ip, toForm))
        goto op_BR_BACK;
    NEXT();
}

// TSET a, BR: the store, then the jump without a dispatch.
// ip moves past the operand before the store, as in TSET: a deletion that saves and reloads the
// state (and may change the code) resumes there.
op_TSET_BR: {
    if (fp + 1 + ip[0] > sp)
        goto op_TSET;
    KvoValue* variable = fp + 1 + ip[0];
    ++ip;
    STORE(*variable, *sp);
    if (jumpBackFollows(ip, toForm))
        goto op_BR_BACK;
    NEXT();
}

// MSET m, MREF m and TSET t, TREF t: a variable stored and read back (`n = n + 1; return n;`).
// The read would put into the top what the store left there, so it is skipped, unless the store
// deleted an object: then the read runs as usual, after whatever a destructor changed.
// ip moves past the store's operand first, as in MSET and TSET.
op_MSET_MREF: {
    const KvoChar* error = nullptr;
    KvoVector* members = membersOfThis(frame, bp, sp, error);
    if (!members || ip[0] == 0 || ip[0] >= members->size())
        goto op_MSET;
    readBack = &(*members)[ip[0]];
    goto storeAndReadBack;
}
op_TSET_TREF:
    if (fp + 1 + ip[0] > sp)
        goto op_TSET;
    readBack = fp + 1 + ip[0];
storeAndReadBack:
    ++ip;
    if (KvoRefObject* dropped = readBack->assignDeferred(*sp)) {
        SPILL();
        dropped->finishRelease();
        LOAD();
        CHECKED_NEXT();
    }
    ip += 2;
    NEXT();

enterCallee: {
    // Enters callee with the calleeArgs values above the called slot. The usual call (a
    // well-formed procedure given all its parameters, starting with the prologue RDWORD,
    // TSPACE n, RBYTE, PUSH, room on the stack, a frame slot ready, nothing wanting attention)
    // happens here, prologue included; anything else goes through enterScript.
    auto depth = static_cast<std::size_t>(m_depth); // never negative
    if (!callee || callee->size() <= PROC_DEFAULTS || m_depth >= m_readyFrames ||
        m_attention.load(std::memory_order_relaxed) != 0)
        goto enterSlow;
    const KvoValue& codeValue = (*callee)[PROC_CODE];
    if (!codeValue.hasType(KVT_BUFFER) && !codeValue.hasType(KVT_BUFFERREF))
        goto enterSlow;
    KvoBuffer* calleeCode = codeValue.payloadAs<KvoBuffer>();
    // A missing or stale execution form is made on the general path.
    const std::uint8_t* calleeForm = calleeCode ? calleeCode->executionForm() : nullptr;
    if (!calleeForm)
        goto enterSlow;
    const KvoValue& defaultsValue = (*callee)[PROC_DEFAULTS];
    if (defaultsValue.storedType() != KVT_NULL) {
        if (!defaultsValue.hasType(KVT_VECTOR) && !defaultsValue.hasType(KVT_VECTORREF))
            goto enterSlow;
        KvoVector* defaults = defaultsValue.payloadAs<KvoVector>();
        if (defaults && static_cast<std::uint32_t>(calleeArgs) < defaults->size() &&
            !((*defaults)[static_cast<std::uint32_t>(calleeArgs)].getFlags() & KvoNoDefault))
            goto enterSlow;
    }
    const std::uint8_t* bytes = static_cast<const KvoBuffer*>(calleeCode)->data();
    std::uint32_t codeSize = calleeCode->size();
    std::uint32_t count = kvoFormPrologue(calleeForm, codeSize);
    if (count >= KVO_MAX_STACK_SLOTS || static_cast<std::uint32_t>(last - sp) <= count)
        goto enterSlow;
    // The temporaries: slots above the top are NULL, unless native code left something.
    for (const KvoValue* slot = sp + count; slot > sp; --slot) {
        if (slot->storedType() != KVT_NULL)
            goto enterSlow;
    }
    // The caller resumes after the CALL or SEND.
    frame->m_pc = static_cast<std::uint32_t>(ip - code);
    frame->m_width = static_cast<std::uint8_t>(width);
    int spIndex = INDEX_OF(sp);
    void* frameSlot = m_frameChunks[depth / FRAMES_PER_CHUNK]->slot(static_cast<int>(depth % FRAMES_PER_CHUNK));
    auto* entered = new (frameSlot) KvoProcInfo(*this, this, callee, calleeCode, calleeArgs, spIndex - calleeArgs, spIndex);
    entered->m_parent = frame;
    entered->m_pc = KVO_PROLOGUE_SIZE;
    m_frame = entered;
    ++m_depth;
    frame = entered;
    procedure = callee;
    code = bytes;
    toForm = formDistance(bytes, calleeForm);
    end = bytes + codeSize;
    ip = bytes + KVO_PROLOGUE_SIZE;
    width = 1;
    bp = sp - calleeArgs;
    fp = sp;
    sp += count + 1;
    NEXT();
}
enterSlow:
    SPILL();
    if (!enterScript(callee, calleeArgs, RA_NONE))
        goto raise;
    LOAD();
    CHECKED_NEXT();
op_RWORD:
op_RDWORD:
    if (width == 1)
        toForm += kvoPlainFormDistance(static_cast<std::uint32_t>(end - code));
    width = getWidthOf(ip[-1]);
    NEXT();

#undef LOAD
#undef SPILL
#undef INDEX_OF
#undef NO_CHECK_BEFORE_NEXT
#undef NEXT
#undef CHECKED_NEXT
#undef CHECK_BEFORE_NEXT
#undef STORE
#undef CLEAR
}

#if KVO_LABEL_DISPATCH
#pragma GCC diagnostic pop
#endif
#undef KVO_LABEL_DISPATCH
#undef KVO_LOOP_INLINE
