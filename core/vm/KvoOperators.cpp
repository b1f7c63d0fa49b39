// The operators: arithmetic with its type promotion, string concatenation, bitwise and shift
// operators, comparison and equality, indexing of the built-in containers, reference making and
// operator overloading. Every operator first looks for a script object among its operands and,
// if there is one, sends it the operator's message (the reversed message to a right operand
// when the left one is no object). The instruction loop carries out the common cases itself
// (numbers, elements at an index inside their container, dictionary reads) by the same rules
// (KvoNumberRules.h) and calls these for everything else; the public doOP_* forms run operator
// methods to completion.
#include <cmath>
#include <cstring>
#include <utility>

#include "platform/KvoText.h"
#include "stdlib/KvoLibLimits.h"
#include "stdlib/KvoLibMessages.h"
#include "values/KvoBuffer.h"
#include "values/KvoCharBuffer.h"
#include "values/KvoDictionary.h"
#include "vm/KvoErrors.h"
#include "vm/KvoInterpreter.h"
#include "vm/KvoNumberRules.h"
#include "vm/KvoOpCode.h"

namespace {

using namespace kvo_numbers;

bool isStringType(KvoValueType type) noexcept
{
    return type == KVT_STRING || type == KVT_STRINGREF;
}

// A zero divisor: a double whose 64 bits are all zero, any other value whose payload is zero
// (integer 0, float +0.0, NULL, a null reference).
bool isZeroDivisor(const KvoValue& value) noexcept
{
    switch (value.getType()) {
    case KVT_INTEGER:
        return value.getLong() == 0;
    case KVT_FLOAT:
        return isZeroFloat(value.getFloat());
    case KVT_DOUBLE:
        return isZeroDouble(value.getDouble());
    default:
        return value.ptr() == nullptr;
    }
}

// True when a concatenation of length characters stays within the bound of one new string (the
// standard library's bound); otherwise raises "count too large" before anything is allocated.
bool concatenationFits(KvoInterpreter& interpreter, std::uint64_t length)
{
    if (kvoLibCountFits(length, sizeof(KvoChar)))
        return true;
    return interpreter.returnError(KVO_LIB_COUNT_TOO_LARGE);
}

// Checks an integer index into a buffer, character buffer, vector or string, raising the
// designed errors. True with the element's position in at.
bool elementPosition(KvoInterpreter& interpreter, const KvoValue& container, const KvoValue& index, std::uint32_t& at)
{
    std::uint32_t length;
    KvoValueType type = container.getType();
    switch (type) {
    case KVT_BUFFER:
    case KVT_BUFFERREF:
        length = container.getBuffer() ? container.getBuffer()->size() : 0;
        break;
    case KVT_CHARBUFFER:
    case KVT_CHARBUFFERREF:
        length = container.getCharBuffer() ? container.getCharBuffer()->size() : 0;
        break;
    case KVT_VECTOR:
    case KVT_VECTORREF:
        length = container.getVector() ? container.getVector()->size() : 0;
        break;
    case KVT_STRING:
    case KVT_STRINGREF:
        length = container.getString() ? container.getString()->length() : 0;
        break;
    default:
        return interpreter.badType(type, KVT_OBJECT);
    }
    if (index.getType() != KVT_INTEGER)
        return interpreter.badType(index.getType(), KVT_INTEGER);
    std::int32_t i = index.getLong();
    if (i < 0 || static_cast<std::uint32_t>(i) >= length)
        return interpreter.returnError(KVO_ERR_SUBSCRIPT);
    at = static_cast<std::uint32_t>(i);
    return true;
}

} // namespace

KvoInterpreter::Flow KvoInterpreter::replaceOperands(int count, KvoValue&& result)
{
    int sp = m_sp.current();
    (*this)[static_cast<std::uint32_t>(sp - count)] = static_cast<KvoValue&&>(result);
    for (int i = sp; i > sp - count; --i)
        (*this)[static_cast<std::uint32_t>(i)].dispose();
    m_sp = ValPtr(this, sp - count);
    return Flow::DONE;
}

KvoInterpreter::Flow KvoInterpreter::sendBinary(std::uint8_t op, bool reversed, bool nested)
{
    ReservedName name;
    switch (op) {
    case ADD: name = RN_OP_ADD; break;
    case SUB: name = RN_OP_SUB; break;
    case MUL: name = RN_OP_MUL; break;
    case DIV: name = RN_OP_DIV; break;
    case REM: name = RN_OP_REM; break;
    case BAND: name = RN_OP_BAND; break;
    case BOR: name = RN_OP_BOR; break;
    case XOR: name = RN_OP_XOR; break;
    case SHL: name = RN_OP_SHL; break;
    default: name = RN_OP_SHR; break;
    }
    if (reversed) {
        // The right operand becomes the receiver and the left one its argument.
        int sp = m_sp.current();
        std::swap((*this)[static_cast<std::uint32_t>(sp - 1)], (*this)[static_cast<std::uint32_t>(sp)]);
        name = static_cast<ReservedName>(name + (RN_OP_ADD_R - RN_OP_ADD));
    }
    return sendMessage(1, reservedName(name), nested, RA_NONE);
}

KvoInterpreter::Flow KvoInterpreter::arithmetic(std::uint8_t op, bool nested)
{
    int sp = m_sp.current();
    const KvoValue& left = (*this)[static_cast<std::uint32_t>(sp - 1)];
    const KvoValue& right = (*this)[static_cast<std::uint32_t>(sp)];
    if ((op == DIV || op == REM) && isZeroDivisor(right)) {
        returnError(KVO_ERR_DIVIDE_BY_ZERO);
        return Flow::FAIL;
    }
    bool leftObject = left.isObject();
    if (!leftObject && right.isObject())
        return sendBinary(op, true, nested);
    if (leftObject)
        return sendBinary(op, false, nested);

    KvoValueType lt = left.getType();
    KvoValueType rt = right.getType();
    switch (lt) {
    case KVT_INTEGER:
        if (rt == KVT_INTEGER)
            return replaceOperands(1, KvoValue(integerArithmetic(op, left.getLong(), right.getLong())));
        if (rt == KVT_FLOAT)
            return replaceOperands(1, KvoValue(floatArithmetic(op, static_cast<float>(left.getLong()), right.getFloat())));
        if (rt == KVT_DOUBLE)
            return replaceOperands(1, KvoValue(doubleArithmetic(op, left.getLong(), right.getDouble())));
        if (op == ADD && isStringType(rt)) {
            // The character with the integer's code, followed by the string.
            KvoString* tail = right.getString();
            if (!tail) {
                returnError(KVO_ERR_RIGHT_STRING_NULL);
                return Flow::FAIL;
            }
            if (!concatenationFits(*this, std::uint64_t(tail->length()) + 1))
                return Flow::FAIL;
            auto* text = new KvoString();
            *text += static_cast<KvoChar>(left.getLong() & 0xFFFF);
            *text += *tail;
            return replaceOperands(1, KvoValue(text));
        }
        badType(rt, KVT_INTEGER);
        return Flow::FAIL;
    case KVT_FLOAT:
        if (rt == KVT_INTEGER)
            return replaceOperands(1, KvoValue(floatArithmetic(op, left.getFloat(), static_cast<float>(right.getLong()))));
        if (rt == KVT_FLOAT)
            return replaceOperands(1, KvoValue(floatArithmetic(op, left.getFloat(), right.getFloat())));
        if (rt == KVT_DOUBLE)
            return replaceOperands(1, KvoValue(doubleArithmetic(op, left.getFloat(), right.getDouble())));
        badType(rt, KVT_FLOAT);
        return Flow::FAIL;
    case KVT_DOUBLE:
        if (right.isNumber())
            return replaceOperands(1, KvoValue(doubleArithmetic(op, left.getDouble(), right.getDouble())));
        badType(rt, KVT_DOUBLE);
        return Flow::FAIL;
    case KVT_STRING:
    case KVT_STRINGREF:
        if (op != ADD)
            break;
        {
            // A string value without a string object is NULL; a string without text is "".
            KvoString* head = left.getString();
            if (!head) {
                returnError(KVO_ERR_LEFT_STRING_NULL);
                return Flow::FAIL;
            }
            if (rt == KVT_INTEGER) {
                if (!concatenationFits(*this, std::uint64_t(head->length()) + 1))
                    return Flow::FAIL;
                auto* text = new KvoString(*head);
                *text += static_cast<KvoChar>(right.getLong() & 0xFFFF);
                return replaceOperands(1, KvoValue(text));
            }
            if (isStringType(rt)) {
                KvoString* tail = right.getString();
                if (!tail) {
                    returnError(KVO_ERR_RIGHT_STRING_NULL);
                    return Flow::FAIL;
                }
                if (!concatenationFits(*this, std::uint64_t(head->length()) + tail->length()))
                    return Flow::FAIL;
                return replaceOperands(1, KvoValue(new KvoString(*head + *tail)));
            }
            badType(rt, KVT_STRING);
            return Flow::FAIL;
        }
    default:
        break;
    }
    badType(lt, KVT_INTEGER);
    return Flow::FAIL;
}

KvoInterpreter::Flow KvoInterpreter::bitwise(std::uint8_t op, bool nested)
{
    int sp = m_sp.current();
    const KvoValue& left = (*this)[static_cast<std::uint32_t>(sp - 1)];
    const KvoValue& right = (*this)[static_cast<std::uint32_t>(sp)];
    bool leftObject = left.isObject();
    if (!leftObject && right.isObject())
        return sendBinary(op, true, nested);
    if (leftObject)
        return sendBinary(op, false, nested);
    if (left.getType() != KVT_INTEGER) {
        badType(left.getType(), KVT_INTEGER);
        return Flow::FAIL;
    }
    if (right.getType() != KVT_INTEGER) {
        badType(right.getType(), KVT_INTEGER);
        return Flow::FAIL;
    }
    std::int32_t result = integerBitwise(op, left.getLong(), right.getLong());
    return replaceOperands(1, KvoValue(result));
}

KvoInterpreter::Flow KvoInterpreter::unaryOperator(std::uint8_t op, bool nested)
{
    KvoValue& top = (*this)[static_cast<std::uint32_t>(m_sp.current())];
    if (top.isObject()) {
        ReservedName name;
        switch (op) {
        case NEG: name = RN_OP_NEG; break;
        case BNOT: name = RN_OP_BNOT; break;
        case INC: name = RN_OP_INC; break;
        case DEC: name = RN_OP_DEC; break;
        case PINC: name = RN_OP_PINC; break;
        default: name = RN_OP_PDEC; break;
        }
        return sendMessage(0, reservedName(name), nested, RA_NONE);
    }
    if (op == BNOT) {
        if (!checkType(top, KVT_INTEGER))
            return Flow::FAIL;
        top = KvoValue(~top.getLong());
        return Flow::DONE;
    }
    int delta = op == NEG ? 0 : (op == INC || op == PINC) ? 1 : -1;
    switch (top.getType()) {
    case KVT_INTEGER: {
        std::int32_t v = top.getLong();
        top = KvoValue(op == NEG ? wrapSub(0, v) : wrapAdd(v, delta));
        return Flow::DONE;
    }
    case KVT_FLOAT:
        top = KvoValue(op == NEG ? -top.getFloat() : top.getFloat() + static_cast<float>(delta));
        return Flow::DONE;
    case KVT_DOUBLE:
        top = KvoValue(op == NEG ? -top.getDouble() : top.getDouble() + delta);
        return Flow::DONE;
    default:
        badType(top.getType(), KVT_INTEGER);
        return Flow::FAIL;
    }
}

KvoInterpreter::Flow KvoInterpreter::compareValues(std::uint8_t action, bool nested)
{
    int sp = m_sp.current();
    KvoValue& left = (*this)[static_cast<std::uint32_t>(sp - 1)];
    KvoValue& right = (*this)[static_cast<std::uint32_t>(sp)];
    KvoObject* leftObject = left.getObject();
    if (leftObject && hasInstanceMethod(leftObject->getClass(), u"compare"))
        return sendMessage(1, reservedName(RN_COMPARE), nested, action);
    KvoObject* rightObject = right.getObject();
    if (rightObject && hasInstanceMethod(rightObject->getClass(), u"compare")) {
        std::swap(left, right);
        return sendMessage(1, reservedName(RN_COMPARE), nested, static_cast<std::uint8_t>(action | RA_NEGATE));
    }

    KvoValueType lt = left.getType();
    KvoValueType rt = right.getType();
    int comparison;
    switch (lt) {
    case KVT_NULL:
        if (right.isNumber()) {
            badType(rt, KVT_VAR);
            return Flow::FAIL;
        }
        comparison = rt == KVT_NULL ? 0 : -1;
        break;
    case KVT_INTEGER:
        if (rt == KVT_INTEGER) {
            // The sign of the true difference: a 32-bit difference could wrap.
            comparison = compareIntegers(left.getLong(), right.getLong());
        } else if (rt == KVT_FLOAT || rt == KVT_DOUBLE) {
            comparison = compareAsDoubles(left.getLong(), right.getDouble());
        } else {
            badType(rt, KVT_INTEGER);
            return Flow::FAIL;
        }
        break;
    case KVT_FLOAT:
    case KVT_DOUBLE:
        if (!right.isNumber()) {
            badType(rt, KVT_FLOAT);
            return Flow::FAIL;
        }
        comparison = compareAsDoubles(left.getDouble(), right.getDouble());
        break;
    case KVT_STRING:
        if (rt == KVT_NULL) {
            comparison = 1;
        } else if (rt == KVT_STRING) {
            KvoString* a = left.getString();
            KvoString* b = right.getString();
            int c = kvoStrCmp(a ? a->c_str() : u"", b ? b->c_str() : u"");
            comparison = (c > 0) - (c < 0);
        } else {
            badType(rt, KVT_STRING);
            return Flow::FAIL;
        }
        break;
    default:
        // Other kinds compare by identity of their payload.
        if (rt == KVT_NULL) {
            comparison = 1;
        } else if (rt != lt) {
            badType(lt, rt);
            return Flow::FAIL;
        } else {
            auto a = reinterpret_cast<std::uintptr_t>(left.ptr());
            auto b = reinterpret_cast<std::uintptr_t>(right.ptr());
            comparison = (a > b) - (a < b);
        }
        break;
    }
    replaceOperands(1, KvoValue(std::int32_t(comparison)));
    if (!applyResultAction(action))
        return Flow::FAIL;
    return Flow::DONE;
}

KvoInterpreter::Flow KvoInterpreter::equalsValues(bool notEqual, bool nested)
{
    int sp = m_sp.current();
    KvoValue& left = (*this)[static_cast<std::uint32_t>(sp - 1)];
    KvoValue& right = (*this)[static_cast<std::uint32_t>(sp)];
    std::uint8_t action = notEqual ? RA_EQUALS_NE : RA_EQUALS;
    KvoObject* leftObject = left.getObject();
    if (leftObject && hasInstanceMethod(leftObject->getClass(), u"equals"))
        return sendMessage(1, reservedName(RN_EQUALS), nested, action);
    KvoObject* rightObject = right.getObject();
    if (rightObject && hasInstanceMethod(rightObject->getClass(), u"equals")) {
        std::swap(left, right);
        return sendMessage(1, reservedName(RN_EQUALS), nested, action);
    }
    return compareValues(notEqual ? RA_CMP_NE : RA_CMP_EQ, nested);
}

KvoInterpreter::Flow KvoInterpreter::indexRead(bool nested)
{
    int sp = m_sp.current();
    const KvoValue& container = (*this)[static_cast<std::uint32_t>(sp - 1)];
    const KvoValue& index = (*this)[static_cast<std::uint32_t>(sp)];
    KvoValueType type = container.getType();
    if (type == KVT_OBJECT || type == KVT_OBJECTREF)
        return sendMessage(1, reservedName(RN_OP_VREF), nested, RA_NONE);
    if (type == KVT_DICTIONARY || type == KVT_DICTIONARYREF) {
        if (!isStringType(index.getType())) {
            badType(index.getType(), KVT_STRING);
            return Flow::FAIL;
        }
        KvoDictionary* dictionary = container.getDictionary();
        if (!dictionary) {
            returnError(KVO_ERR_SUBSCRIPT);
            return Flow::FAIL;
        }
        // Reading a missing key creates its entry with a NULL value.
        KvoString* key = index.getString();
        KvoDictionaryEntry* entry = key ? (*dictionary)[*key] : (*dictionary)[u""];
        return replaceOperands(1, KvoValue(entry->getValue()));
    }
    std::uint32_t at;
    if (!elementPosition(*this, container, index, at))
        return Flow::FAIL;
    switch (type) {
    case KVT_BUFFER:
    case KVT_BUFFERREF:
        return replaceOperands(1, KvoValue(std::int32_t((*container.getBuffer())[at])));
    case KVT_CHARBUFFER:
    case KVT_CHARBUFFERREF:
        return replaceOperands(1, KvoValue(std::int32_t((*container.getCharBuffer())[at])));
    case KVT_VECTOR:
    case KVT_VECTORREF:
        return replaceOperands(1, KvoValue((*container.getVector())[at]));
    default:
        return replaceOperands(1, KvoValue(std::int32_t(container.getString()->c_str()[at])));
    }
}

KvoInterpreter::Flow KvoInterpreter::indexWrite(bool nested)
{
    int sp = m_sp.current();
    const KvoValue& container = (*this)[static_cast<std::uint32_t>(sp - 2)];
    const KvoValue& index = (*this)[static_cast<std::uint32_t>(sp - 1)];
    KvoValue value((*this)[static_cast<std::uint32_t>(sp)]);
    KvoValueType type = container.getType();
    if (type == KVT_OBJECT || type == KVT_OBJECTREF)
        return sendMessage(2, reservedName(RN_OP_VSET), nested, RA_NONE);
    if (type == KVT_DICTIONARY || type == KVT_DICTIONARYREF) {
        if (!isStringType(index.getType())) {
            badType(index.getType(), KVT_STRING);
            return Flow::FAIL;
        }
        KvoDictionary* dictionary = container.getDictionary();
        if (!dictionary) {
            returnError(KVO_ERR_SUBSCRIPT);
            return Flow::FAIL;
        }
        KvoString* key = index.getString();
        KvoDictionaryEntry* entry = key ? (*dictionary)[*key] : (*dictionary)[u""];
        entry->setValue(value);
        return replaceOperands(2, static_cast<KvoValue&&>(value));
    }
    std::uint32_t at;
    if (!elementPosition(*this, container, index, at))
        return Flow::FAIL;
    switch (type) {
    case KVT_BUFFER:
    case KVT_BUFFERREF: {
        auto byte = static_cast<std::uint8_t>(value.getLong());
        (*container.getBuffer())[at] = byte;
        return replaceOperands(2, KvoValue(std::int32_t(byte)));
    }
    case KVT_CHARBUFFER:
    case KVT_CHARBUFFERREF: {
        auto unit = static_cast<KvoChar>(value.getLong());
        (*container.getCharBuffer())[at] = unit;
        return replaceOperands(2, KvoValue(std::int32_t(unit)));
    }
    case KVT_VECTOR:
    case KVT_VECTORREF:
        (*container.getVector())[at] = value;
        return replaceOperands(2, static_cast<KvoValue&&>(value));
    default: {
        // Strings change in place: every value sharing this string sees the new character.
        auto unit = static_cast<KvoChar>(value.getLong());
        (*container.getString())[at] = unit;
        return replaceOperands(2, KvoValue(std::int32_t(unit)));
    }
    }
}

bool KvoInterpreter::doOP_MKREF()
{
    if (m_sp.vector() != this || m_sp.current() < 0 || static_cast<std::uint32_t>(m_sp.current()) >= size())
        return true;
    KvoValue& top = (*this)[static_cast<std::uint32_t>(m_sp.current())];
    KvoValueType type = top.getType();
    if (type == KVT_CODE) {
        // A native function has no count: only the kind changes.
        void* function = top.ptr();
        KvoValue reference(static_cast<KvoRefObject*>(function), KVT_CODEREF);
        reference.setFlags(top.getFlags());
        top = static_cast<KvoValue&&>(reference);
        return true;
    }
    KvoValueType refType = refTypeOf(type);
    if (!isOwningType(type) || refType == type)
        return true;
    // The value gives up its count without destroying the object, even at count 0.
    auto* object = static_cast<KvoRefObject*>(top.getRef());
    KvoValue reference(object, refType);
    reference.setFlags(top.getFlags());
    if (object)
        object->addRef();
    top = static_cast<KvoValue&&>(reference);
    if (object)
        object->setRefCnt(object->getRefCnt() - 1);
    return true;
}

// ---- Public operator entry points ---------------------------------------------------------------

namespace {
// The operands an operator needs are on the stack.
bool hasOperands(const ValPtr& sp, const KvoVector* stack, int count) noexcept
{
    return sp.vector() == stack && sp.current() >= count && static_cast<std::uint32_t>(sp.current()) < stack->size();
}
} // namespace

bool KvoInterpreter::doOP_ADD()
{
    return hasOperands(m_sp, this, 1) ? finish(arithmetic(ADD, true)) : returnError(KVO_ERR_STACK_CORRUPTED);
}

bool KvoInterpreter::doOP_SUB()
{
    return hasOperands(m_sp, this, 1) ? finish(arithmetic(SUB, true)) : returnError(KVO_ERR_STACK_CORRUPTED);
}

bool KvoInterpreter::doOP_MUL()
{
    return hasOperands(m_sp, this, 1) ? finish(arithmetic(MUL, true)) : returnError(KVO_ERR_STACK_CORRUPTED);
}

bool KvoInterpreter::doOP_DIV()
{
    return hasOperands(m_sp, this, 1) ? finish(arithmetic(DIV, true)) : returnError(KVO_ERR_STACK_CORRUPTED);
}

bool KvoInterpreter::doOP_REM()
{
    return hasOperands(m_sp, this, 1) ? finish(arithmetic(REM, true)) : returnError(KVO_ERR_STACK_CORRUPTED);
}

bool KvoInterpreter::doOP_BAND()
{
    return hasOperands(m_sp, this, 1) ? finish(bitwise(BAND, true)) : returnError(KVO_ERR_STACK_CORRUPTED);
}

bool KvoInterpreter::doOP_BOR()
{
    return hasOperands(m_sp, this, 1) ? finish(bitwise(BOR, true)) : returnError(KVO_ERR_STACK_CORRUPTED);
}

bool KvoInterpreter::doOP_XOR()
{
    return hasOperands(m_sp, this, 1) ? finish(bitwise(XOR, true)) : returnError(KVO_ERR_STACK_CORRUPTED);
}

bool KvoInterpreter::doOP_SHL()
{
    return hasOperands(m_sp, this, 1) ? finish(bitwise(SHL, true)) : returnError(KVO_ERR_STACK_CORRUPTED);
}

bool KvoInterpreter::doOP_SHR()
{
    return hasOperands(m_sp, this, 1) ? finish(bitwise(SHR, true)) : returnError(KVO_ERR_STACK_CORRUPTED);
}

bool KvoInterpreter::doOP_BNOT()
{
    return hasOperands(m_sp, this, 0) ? finish(unaryOperator(BNOT, true)) : returnError(KVO_ERR_STACK_CORRUPTED);
}

bool KvoInterpreter::doOP_VREF()
{
    return hasOperands(m_sp, this, 1) ? finish(indexRead(true)) : returnError(KVO_ERR_STACK_CORRUPTED);
}

bool KvoInterpreter::doOP_VSET()
{
    return hasOperands(m_sp, this, 2) ? finish(indexWrite(true)) : returnError(KVO_ERR_STACK_CORRUPTED);
}

bool KvoInterpreter::doCompare()
{
    return hasOperands(m_sp, this, 1) ? finish(compareValues(RA_COMPARE, true)) : returnError(KVO_ERR_STACK_CORRUPTED);
}

bool KvoInterpreter::doEquals()
{
    return hasOperands(m_sp, this, 1) ? finish(equalsValues(false, true)) : returnError(KVO_ERR_STACK_CORRUPTED);
}
