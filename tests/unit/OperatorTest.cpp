// Tests of the operators as the instruction loop runs them: integer wrapping and division
// guards, type promotion between integers, floats and doubles, the zero-divisor rule, string
// concatenation and its NULL operands, shifts, comparison and equality of every kind, indexing of
// each container, unary operators, reference making and DELETE, and operator overloading by
// native and by script methods (including the reversed messages). Every test checks that the
// number of live heap objects returns to where it started.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "KvoAssembler.h"
#include "values/KvoBuffer.h"
#include "values/KvoCharBuffer.h"
#include "values/KvoDictionary.h"
#include "values/KvoObject.h"
#include "vm/KvoInterpreter.h"
#include "vm/KvoOpCode.h"

namespace {

// The "value" member (slot 1) of an object, or the integer itself.
std::int32_t numberOf(const KvoValue& value)
{
    KvoObject* object = value.getObject();
    return object ? (*object->getMemberData())[1].getLong() : value.getLong();
}

// Native operator methods of class Num; this is args[-argc+1], the operand args[-argc+2].
bool numAdd(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnValue(argc, args, KvoValue(numberOf(args[-argc + 1]) + numberOf(args[-argc + 2])));
}
bool numAddReversed(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnValue(argc, args, KvoValue(numberOf(args[-argc + 2]) * 1000 + numberOf(args[-argc + 1])));
}
bool numNegate(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnValue(argc, args, KvoValue(-numberOf(args[-argc + 1])));
}
bool numIncrement(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnValue(argc, args, KvoValue(numberOf(args[-argc + 1]) + 1));
}
bool numIndexRead(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnValue(argc, args, KvoValue(numberOf(args[-argc + 2]) * 2));
}
bool numIndexWrite(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnValue(argc, args, KvoValue(numberOf(args[-argc + 2]) + numberOf(args[-argc + 3])));
}
bool numCompare(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnValue(argc, args, KvoValue(numberOf(args[-argc + 1]) - numberOf(args[-argc + 2])));
}
bool numEquals(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnValue(argc, args, KvoValue(std::int32_t(numberOf(args[-argc + 1]) == numberOf(args[-argc + 2]))));
}
bool badCompare(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnValue(argc, args, KvoValue(new KvoString(u"not a number")));
}

class OperatorTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_liveAtStart = KvoRefObject::liveObjects();
        m_machine = std::make_unique<KvoTestMachine>();
    }
    void TearDown() override
    {
        m_machine.reset();
        EXPECT_EQ(KvoRefObject::liveObjects(), m_liveAtStart) << "live heap objects changed";
    }

    KvoVirtualMachine& vm() { return m_machine->vm(); }

    // Runs main and returns its result; on failure the result is NULL and lastError() the text
    // without its newline.
    KvoValue runMain(KvoAssembler& main)
    {
        main.op(RETURN);
        m_machine->define(u"main", main);
        m_error.clear();
        if (m_machine->run())
            return m_machine->result();
        m_error = m_machine->errors();
        if (!m_error.empty() && m_error.back() == u'\n')
            m_error.pop_back();
        return KvoValue();
    }
    KvoValue binary(const KvoValue& left, std::uint8_t op, const KvoValue& right)
    {
        KvoAssembler main(u"main");
        main.prologue().load(left).op(PUSH).load(right).op(op);
        return runMain(main);
    }
    KvoValue unary(const KvoValue& operand, std::uint8_t op)
    {
        KvoAssembler main(u"main");
        main.prologue().load(operand).op(op);
        return runMain(main);
    }
    // The error text of a binary operation that must fail.
    std::u16string binaryError(const KvoValue& left, std::uint8_t op, const KvoValue& right)
    {
        KvoValue result = binary(left, op, right);
        EXPECT_FALSE(m_error.empty()) << "succeeded with " << KvoString(textOf(result).c_str()).a_str();
        return m_error;
    }
    std::u16string lastError() const { return m_error; }

    // Class Num with one data member and the given native methods.
    KvoClass* makeNumClass()
    {
        auto* c = new KvoClass(vm(), nullptr, nullptr);
        EXPECT_TRUE(vm().registerNativeClass(u"Num", c));
        EXPECT_TRUE(c->addDataMember(u"value"));
        c->fixupDataDefs();
        return c;
    }
    KvoValue makeNum(KvoClass* c, std::int32_t value)
    {
        KvoValue object(new KvoObject(c));
        (*object.getObject()->getMemberData())[1] = KvoValue(value);
        return object;
    }

    static KvoValue i(std::int32_t v) { return KvoValue(v); }
    static KvoValue f(float v) { return KvoValue(v); }
    static KvoValue d(double v) { return KvoValue(v); }
    static KvoValue s(const KvoChar* text) { return KvoValue(new KvoString(text)); }

private:
    std::int64_t m_liveAtStart = 0;
    std::unique_ptr<KvoTestMachine> m_machine;
    std::u16string m_error;
};

constexpr std::int32_t INT_MIN32 = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t INT_MAX32 = std::numeric_limits<std::int32_t>::max();

TEST_F(OperatorTest, IntegerArithmeticWrapsAndTruncates)
{
    EXPECT_EQ(binary(i(7), DIV, i(2)).getLong(), 3);
    EXPECT_EQ(binary(i(-7), REM, i(2)).getLong(), -1);
    EXPECT_EQ(binary(i(-7), DIV, i(2)).getLong(), -3);
    EXPECT_EQ(binary(i(7), SUB, i(10)).getLong(), -3);
    EXPECT_EQ(binary(i(INT_MAX32), ADD, i(1)).getLong(), INT_MIN32);
    EXPECT_EQ(binary(i(65536), MUL, i(65536)).getLong(), 0);
    EXPECT_EQ(binary(i(INT_MIN32), DIV, i(-1)).getLong(), INT_MIN32);
    EXPECT_EQ(binary(i(INT_MIN32), REM, i(-1)).getLong(), 0);
}

TEST_F(OperatorTest, MixedNumbersPromote)
{
    KvoValue r = binary(i(7), DIV, d(2.0));
    EXPECT_EQ(r.getType(), KVT_DOUBLE);
    EXPECT_DOUBLE_EQ(r.getDouble(), 3.5);
    r = binary(f(7.5f), DIV, i(2));
    EXPECT_EQ(r.getType(), KVT_FLOAT);
    EXPECT_FLOAT_EQ(r.getFloat(), 3.75f);
    r = binary(i(1), ADD, f(0.5f));
    EXPECT_EQ(r.getType(), KVT_FLOAT);
    EXPECT_FLOAT_EQ(r.getFloat(), 1.5f);
    r = binary(f(0.5f), ADD, d(1.0));
    EXPECT_EQ(r.getType(), KVT_DOUBLE);
    EXPECT_DOUBLE_EQ(r.getDouble(), 1.5);
    r = binary(f(7.5f), REM, i(2));
    EXPECT_EQ(r.getType(), KVT_FLOAT);
    EXPECT_FLOAT_EQ(r.getFloat(), 1.5f);
    r = binary(i(7), REM, d(2.5));
    EXPECT_EQ(r.getType(), KVT_DOUBLE);
    EXPECT_DOUBLE_EQ(r.getDouble(), 2.0);
    r = binary(d(1.0), DIV, d(2.0)); // low 32 bits of 2.0 are zero, yet it is no zero divisor
    EXPECT_DOUBLE_EQ(r.getDouble(), 0.5);
}

TEST_F(OperatorTest, ZeroDivisors)
{
    EXPECT_EQ(binaryError(i(5), DIV, i(0)), u"divide 0 error");
    EXPECT_EQ(binaryError(i(5), REM, i(0)), u"divide 0 error");
    EXPECT_EQ(binaryError(i(5), DIV, f(0.0f)), u"divide 0 error");
    EXPECT_EQ(binaryError(d(5.0), DIV, d(0.0)), u"divide 0 error");
    EXPECT_EQ(binaryError(i(5), DIV, KvoValue()), u"divide 0 error"); // before the type error
    EXPECT_EQ(binaryError(s(u"x"), DIV, i(0)), u"divide 0 error");
    // Negative zeros are not zero payloads: the division gives an infinity.
    EXPECT_TRUE(std::isinf(binary(i(5), DIV, d(-0.0)).getDouble()));
    EXPECT_TRUE(std::isinf(binary(i(5), DIV, f(-0.0f)).getFloat()));
}

TEST_F(OperatorTest, ArithmeticTypeErrors)
{
    EXPECT_EQ(binaryError(s(u"x"), MUL, i(2)), u"invalid value type KVT_STRING, KVT_INTEGER expected");
    EXPECT_EQ(binaryError(i(2), ADD, KvoValue()), u"invalid value type KVT_NULL, KVT_INTEGER expected");
    EXPECT_EQ(binaryError(f(1.5f), ADD, s(u"a")), u"invalid value type KVT_STRING, KVT_FLOAT expected");
    EXPECT_EQ(binaryError(d(1.5), SUB, KvoValue()), u"invalid value type KVT_NULL, KVT_DOUBLE expected");
    EXPECT_EQ(binaryError(KvoValue(), ADD, i(1)), u"invalid value type KVT_NULL, KVT_INTEGER expected");
}

TEST_F(OperatorTest, StringConcatenation)
{
    EXPECT_EQ(textOf(binary(i(65), ADD, s(u"BC"))), u"ABC");
    EXPECT_EQ(textOf(binary(s(u"AB"), ADD, i(67))), u"ABC");
    EXPECT_EQ(textOf(binary(s(u"ab"), ADD, s(u"cd"))), u"abcd");
    EXPECT_EQ(textOf(binary(KvoValue(new KvoString()), ADD, s(u"x"))), u"x"); // no text is ""
    EXPECT_EQ(textOf(binary(s(u"x"), ADD, KvoValue(new KvoString()))), u"x");
    EXPECT_EQ(binaryError(s(u"s"), ADD, f(1.5f)), u"invalid value type KVT_FLOAT, KVT_STRING expected");
    KvoValue nullString(static_cast<KvoString*>(nullptr));
    ASSERT_EQ(nullString.getType(), KVT_STRING);
    EXPECT_EQ(binaryError(nullString, ADD, s(u"x")), u"left string operand is NULL");
    EXPECT_EQ(binaryError(s(u"x"), ADD, nullString), u"right string operand is NULL");
    EXPECT_EQ(binaryError(i(65), ADD, nullString), u"right string operand is NULL");

    // Concatenation makes a new string; the operands stay as they were.
    KvoValue left = s(u"left");
    EXPECT_EQ(textOf(binary(left, ADD, s(u"+"))), u"left+");
    EXPECT_EQ(textOf(left), u"left");
}

TEST_F(OperatorTest, BitwiseAndShifts)
{
    EXPECT_EQ(binary(i(1), SHL, i(32)).getLong(), 0);
    EXPECT_EQ(binary(i(-8), SHR, i(40)).getLong(), -1);
    EXPECT_EQ(binary(i(8), SHR, i(40)).getLong(), 0);
    EXPECT_EQ(binary(i(1), SHL, i(257)).getLong(), 2); // only the low 8 bits of the count
    EXPECT_EQ(binary(i(-8), SHR, i(1)).getLong(), -4);
    EXPECT_EQ(binary(i(1), SHL, i(31)).getLong(), INT_MIN32);
    EXPECT_EQ(binary(i(6), BAND, i(3)).getLong(), 2);
    EXPECT_EQ(binary(i(6), BOR, i(3)).getLong(), 7);
    EXPECT_EQ(binary(i(6), XOR, i(3)).getLong(), 5);
    EXPECT_EQ(unary(i(0), BNOT).getLong(), -1);
    EXPECT_EQ(binaryError(d(1.0), BAND, i(1)), u"invalid value type KVT_DOUBLE, KVT_INTEGER expected");
    EXPECT_EQ(binaryError(i(1), BOR, f(1.0f)), u"invalid value type KVT_FLOAT, KVT_INTEGER expected");
    unary(s(u"x"), BNOT);
    EXPECT_EQ(lastError(), u"invalid value type KVT_STRING, KVT_INTEGER expected");
}

TEST_F(OperatorTest, ComparisonAndEquality)
{
    EXPECT_EQ(binaryError(i(3), EQ, KvoValue()), u"invalid value type KVT_NULL, KVT_INTEGER expected");
    EXPECT_EQ(binaryError(KvoValue(), EQ, i(3)), u"invalid value type KVT_INTEGER, KVT_VAR expected");
    EXPECT_EQ(binary(KvoValue(), EQ, KvoValue()).getLong(), 1);
    EXPECT_EQ(binary(s(u"x"), EQ, KvoValue()).getLong(), 0);
    EXPECT_EQ(binary(KvoValue(), NE, s(u"x")).getLong(), 1);
    // The sign comes from the true difference, which a 32-bit subtraction would wrap.
    EXPECT_EQ(binary(i(INT_MIN32), LT, i(1)).getLong(), 1);
    EXPECT_EQ(binary(i(INT_MAX32), GT, i(-1)).getLong(), 1);
    EXPECT_EQ(binary(i(INT_MIN32), GE, i(INT_MAX32)).getLong(), 0);
    EXPECT_EQ(binary(i(1), LT, d(1.5)).getLong(), 1);
    EXPECT_EQ(binary(f(2.5f), GE, i(2)).getLong(), 1);
    EXPECT_EQ(binary(d(2.0), LE, i(2)).getLong(), 1);
    EXPECT_EQ(binary(s(u"abc"), LT, s(u"abd")).getLong(), 1);
    EXPECT_EQ(binary(s(u"abc"), EQ, s(u"abc")).getLong(), 1);
    EXPECT_EQ(binary(s(u"b"), GT, KvoValue()).getLong(), 1);
    EXPECT_EQ(binaryError(s(u"b"), LT, i(1)), u"invalid value type KVT_INTEGER, KVT_STRING expected");
    EXPECT_EQ(binaryError(d(1.0), LT, s(u"x")), u"invalid value type KVT_STRING, KVT_FLOAT expected");
    // NaN differences have no sign, so NaN compares equal to anything numeric.
    EXPECT_EQ(binary(d(std::nan("")), EQ, d(1.0)).getLong(), 1);

    // Other kinds compare by identity.
    KvoValue vector(new KvoVector());
    EXPECT_EQ(binary(vector, EQ, vector).getLong(), 1);
    EXPECT_EQ(binary(vector, EQ, KvoValue(new KvoVector())).getLong(), 0);
    EXPECT_EQ(binary(vector, NE, KvoValue()).getLong(), 1);
    EXPECT_EQ(binaryError(vector, EQ, i(1)), u"invalid value type KVT_VECTOR, KVT_INTEGER expected");
}

TEST_F(OperatorTest, IndexedReads)
{
    EXPECT_EQ(binary(s(u"abc"), VREF, i(1)).getLong(), u'b');
    EXPECT_EQ(binaryError(s(u"abc"), VREF, i(-1)), u"subscript out of range");
    EXPECT_EQ(binaryError(s(u"abc"), VREF, i(3)), u"subscript out of range");
    EXPECT_EQ(binaryError(s(u"abc"), VREF, s(u"0")), u"invalid value type KVT_STRING, KVT_INTEGER expected");

    auto* buffer = new KvoBuffer(4);
    KvoValue bufferValue(buffer);
    std::uint8_t bytes[] = {1, 200};
    buffer->append(bytes, 2);
    EXPECT_EQ(binary(bufferValue, VREF, i(1)).getLong(), 200);
    EXPECT_EQ(binaryError(bufferValue, VREF, i(2)), u"subscript out of range");

    auto* chars = new KvoCharBuffer(4);
    KvoValue charsValue(chars);
    chars->append(u"xy", 2);
    EXPECT_EQ(binary(charsValue, VREF, i(1)).getLong(), u'y');

    auto* vector = new KvoVector();
    KvoValue vectorValue(vector);
    vector->push_back(s(u"first"));
    EXPECT_EQ(textOf(binary(vectorValue, VREF, i(0))), u"first");
    EXPECT_EQ(binaryError(KvoValue(vector, false, true), VREF, i(1)), u"subscript out of range");

    auto* dictionary = new KvoDictionary();
    KvoValue dictionaryValue(dictionary);
    (*dictionary)[u"k"]->setValue(i(5));
    EXPECT_EQ(binary(dictionaryValue, VREF, s(u"k")).getLong(), 5);
    EXPECT_TRUE(binary(dictionaryValue, VREF, s(u"new")).isNull());
    EXPECT_NE(dictionary->find(u"new"), nullptr); // reading a missing key adds it
    EXPECT_EQ(binaryError(dictionaryValue, VREF, i(1)), u"invalid value type KVT_INTEGER, KVT_STRING expected");

    EXPECT_EQ(binaryError(i(5), VREF, i(0)), u"invalid value type KVT_INTEGER, KVT_OBJECT expected");
}

TEST_F(OperatorTest, IndexedWrites)
{
    auto write = [&](const KvoValue& container, const KvoValue& index, const KvoValue& value) {
        KvoAssembler main(u"main");
        main.prologue().load(container).op(PUSH).load(index).op(PUSH).load(value).op(VSET);
        return runMain(main);
    };
    auto* buffer = new KvoBuffer(2);
    KvoValue bufferValue(buffer);
    std::uint8_t zero[] = {0, 0};
    buffer->append(zero, 2);
    EXPECT_EQ(write(bufferValue, i(1), i(300)).getLong(), 44);
    EXPECT_EQ((*buffer)[1], 44);
    EXPECT_EQ(write(bufferValue, i(0), d(65.9)).getLong(), 65);

    auto* chars = new KvoCharBuffer(2);
    KvoValue charsValue(chars);
    chars->append(u"ab", 2);
    EXPECT_EQ(write(charsValue, i(0), i(0x10041)).getLong(), 0x41);
    EXPECT_EQ((*chars)[0], u'A');

    auto* vector = new KvoVector(2, true);
    KvoValue vectorValue(vector);
    EXPECT_EQ(textOf(write(vectorValue, i(1), s(u"v"))), u"v");
    EXPECT_EQ(textOf((*vector)[1]), u"v");
    write(vectorValue, i(2), i(1));
    EXPECT_EQ(lastError(), u"subscript out of range");

    // Strings change in place: every value sharing the string sees it.
    KvoValue shared = s(u"cat");
    EXPECT_EQ(write(shared, i(0), i(u'b')).getLong(), u'b');
    EXPECT_EQ(textOf(shared), u"bat");

    auto* dictionary = new KvoDictionary();
    KvoValue dictionaryValue(dictionary);
    EXPECT_EQ(write(dictionaryValue, s(u"k"), i(9)).getLong(), 9);
    EXPECT_EQ(dictionary->find(u"k")->getValue().getLong(), 9);

    write(i(1), i(0), i(0));
    EXPECT_EQ(lastError(), u"invalid value type KVT_INTEGER, KVT_OBJECT expected");
}

TEST_F(OperatorTest, UnaryOperatorsKeepTheType)
{
    EXPECT_EQ(unary(i(5), NEG).getLong(), -5);
    EXPECT_EQ(unary(i(INT_MIN32), NEG).getLong(), INT_MIN32);
    KvoValue r = unary(f(1.5f), NEG);
    EXPECT_EQ(r.getType(), KVT_FLOAT);
    EXPECT_FLOAT_EQ(r.getFloat(), -1.5f);
    r = unary(d(2.5), INC);
    EXPECT_EQ(r.getType(), KVT_DOUBLE);
    EXPECT_DOUBLE_EQ(r.getDouble(), 3.5);
    EXPECT_EQ(unary(i(INT_MAX32), PINC).getLong(), INT_MIN32);
    EXPECT_EQ(unary(i(0), DEC).getLong(), -1);
    EXPECT_FLOAT_EQ(unary(f(0.5f), PDEC).getFloat(), -0.5f);
    unary(s(u"x"), NEG);
    EXPECT_EQ(lastError(), u"invalid value type KVT_STRING, KVT_INTEGER expected");
    unary(KvoValue(), INC);
    EXPECT_EQ(lastError(), u"invalid value type KVT_NULL, KVT_INTEGER expected");
}

int g_deaths = 0;

// A vector that counts its destruction.
class WatchedVector : public KvoVector
{
public:
    ~WatchedVector() override { ++g_deaths; }
};

// fresh(): a new vector owned by nothing but the result.
bool nativeFresh(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnValue(argc, args, KvoValue(new WatchedVector()));
}

bool nativeSeven(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnValue(argc, args, KvoValue(std::int32_t(7)));
}

TEST_F(OperatorTest, MakeReferenceAndDelete)
{
    // MKREF gives up the value's count without destroying the object.
    KvoValue text = s(u"t");
    KvoAssembler main(u"main");
    main.prologue().load(text).op(MKREF);
    KvoValue r = runMain(main);
    EXPECT_EQ(r.getType(), refTypeOf(KVT_STRING));
    // Owners: text, the assembler's literal list and the procedure; the reference counts none.
    EXPECT_EQ(text.getString()->getRefCnt(), 3);
    r.dispose();

    EXPECT_EQ(unary(i(4), MKREF).getType(), KVT_INTEGER);
    KvoValue vectorRef = unary(KvoValue(new KvoVector(3, true)), MKREF); // the vector lives on in the literal
    EXPECT_EQ(vectorRef.getType(), KVT_VECTORREF);
    vectorRef.dispose();

    // A native function reference stays callable.
    KvoAssembler call(u"main");
    call.prologue().load(KvoValue(&nativeSeven)).op(MKREF).op(CALL, 0);
    EXPECT_EQ(runMain(call).getLong(), 7);

    // DELETE destroys an object that only references point at; an owning value is released.
    g_deaths = 0;
    ASSERT_TRUE(vm().registerNativeFunction(u"t_fresh", &nativeFresh));
    KvoDictionaryEntry* fresh = vm().symbols().find(u"t_fresh");
    KvoAssembler drop(u"main");
    drop.prologue().op(REF, drop.literal(KvoValue(fresh))).op(CALL, 0).op(MKREF).op(DELETE);
    EXPECT_TRUE(runMain(drop).isNull());
    EXPECT_EQ(g_deaths, 1);
    KvoAssembler release(u"main");
    release.prologue().op(REF, release.literal(KvoValue(fresh))).op(CALL, 0).op(DELETE);
    runMain(release);
    EXPECT_EQ(g_deaths, 2);
    // A reference to an object that still has an owner destroys nothing.
    KvoValue owned(new WatchedVector());
    KvoAssembler keep(u"main");
    keep.prologue().load(owned).op(MKREF).op(DELETE);
    runMain(keep);
    EXPECT_EQ(g_deaths, 2);
    EXPECT_EQ(owned.getVector()->getRefCnt(), 3); // owned and the literal (assembler, procedure)
}

TEST_F(OperatorTest, OverloadingWithNativeMethods)
{
    KvoClass* num = makeNumClass();
    ASSERT_TRUE(num->addMethod(u"OP_ADD", &numAdd));
    ASSERT_TRUE(num->addMethod(u"OP_ADD_R", &numAddReversed));
    ASSERT_TRUE(num->addMethod(u"OP_SHL_R", &numAddReversed));
    ASSERT_TRUE(num->addMethod(u"OP_NEG", &numNegate));
    ASSERT_TRUE(num->addMethod(u"OP_PINC", &numIncrement));
    ASSERT_TRUE(num->addMethod(u"OP_BNOT", &numNegate));
    ASSERT_TRUE(num->addMethod(u"OP_VREF", &numIndexRead));
    ASSERT_TRUE(num->addMethod(u"OP_VSET", &numIndexWrite));
    ASSERT_TRUE(num->addMethod(u"compare", &numCompare));
    ASSERT_TRUE(num->addMethod(u"equals", &numEquals));
    KvoValue ten = makeNum(num, 10);

    EXPECT_EQ(binary(ten, ADD, i(5)).getLong(), 15);
    EXPECT_EQ(binary(i(5), ADD, ten).getLong(), 5010); // the reversed message gets the left operand
    EXPECT_EQ(binary(i(2), SHL, ten).getLong(), 2010);
    EXPECT_EQ(binary(ten, ADD, makeNum(num, 1)).getLong(), 11);
    EXPECT_EQ(unary(ten, NEG).getLong(), -10);
    EXPECT_EQ(unary(ten, PINC).getLong(), 11);
    EXPECT_EQ(unary(ten, BNOT).getLong(), -10);
    EXPECT_EQ(binary(ten, VREF, i(21)).getLong(), 42);
    {
        KvoAssembler main(u"main");
        main.prologue().load(ten).op(PUSH).load(i(3)).op(PUSH).load(i(4)).op(VSET);
        EXPECT_EQ(runMain(main).getLong(), 7);
    }
    EXPECT_EQ(binaryError(ten, MUL, i(2)), u"no method for name OP_MUL");
    EXPECT_EQ(binaryError(i(2), SUB, ten), u"no method for name OP_SUB_R");
    unary(ten, DEC);
    EXPECT_EQ(lastError(), u"no method for name OP_DEC");

    // compare serves the ordering tests, reversed (and negated) for a right-hand object.
    EXPECT_EQ(binary(ten, LT, i(11)).getLong(), 1);
    EXPECT_EQ(binary(ten, GT, i(11)).getLong(), 0);
    EXPECT_EQ(binary(i(11), GT, ten).getLong(), 1);
    EXPECT_EQ(binary(i(10), LE, ten).getLong(), 1);
    // equals serves EQ and NE.
    EXPECT_EQ(binary(ten, EQ, i(10)).getLong(), 1);
    EXPECT_EQ(binary(i(10), NE, ten).getLong(), 0);
    EXPECT_EQ(binary(ten, NE, i(3)).getLong(), 1);
}

TEST_F(OperatorTest, CompareWithoutEqualsAndBadResults)
{
    KvoClass* num = makeNumClass();
    ASSERT_TRUE(num->addMethod(u"compare", &numCompare));
    KvoValue ten = makeNum(num, 10);
    EXPECT_EQ(binary(ten, EQ, i(10)).getLong(), 1); // compare stands in for equals
    EXPECT_EQ(binary(i(9), NE, ten).getLong(), 1);

    auto* odd = new KvoClass(vm(), nullptr, nullptr);
    ASSERT_TRUE(vm().registerNativeClass(u"Odd", odd));
    ASSERT_TRUE(odd->addMethod(u"compare", &badCompare));
    ASSERT_TRUE(odd->addMethod(u"equals", &badCompare));
    KvoValue oddOne(new KvoObject(odd));
    EXPECT_EQ(binaryError(oddOne, LT, i(1)), u"invalid value type KVT_STRING, KVT_INTEGER expected");
    EXPECT_EQ(binaryError(i(1), EQ, oddOne), u"invalid value type KVT_STRING, KVT_INTEGER expected");

    // Two objects without compare or equals are equal only when they are one object.
    auto* plain = new KvoClass(vm(), nullptr, nullptr);
    ASSERT_TRUE(vm().registerNativeClass(u"Plain", plain));
    KvoValue a(new KvoObject(plain));
    EXPECT_EQ(binary(a, EQ, a).getLong(), 1);
    EXPECT_EQ(binary(a, EQ, KvoValue(new KvoObject(plain))).getLong(), 0);
}

TEST_F(OperatorTest, ScriptOperatorMethodsRunInTheLoop)
{
    // class Chain { value; OP_ADD(n) { if (n == 0) return value; return this + (n - 1) + 1; }
    //               compare(other) { return value - other; } }
    // Adding 20000 recurses through OP_ADD 20000 times: script-to-script, so no native depth limit.
    KvoClass* chain = makeNumClass();
    KvoAssembler add(u"OP_ADD", chain);
    int recurse = add.label();
    add.param(KvoValue()).param().prologue().op(AREF, 1).op(PUSH).load(i(0)).op(EQ).jump(BRF, recurse);
    add.op(MREF, 1).op(RETURN);
    add.bind(recurse).op(AREF, 0).op(PUSH).op(AREF, 1).op(PUSH).load(i(1)).op(SUB).op(ADD);
    add.op(PUSH).load(i(1)).op(ADD).op(RETURN);
    KvoDictionaryEntry* entry = chain->funcMembers()[u"OP_ADD"];
    entry->setValue(add.value());
    entry->setSymbolType(SYM_METHOD);
    KvoAssembler compare(u"compare", chain);
    compare.param(KvoValue()).param().prologue().op(MREF, 1).op(PUSH).op(AREF, 1).op(SUB).op(RETURN);
    entry = chain->funcMembers()[u"compare"];
    entry->setValue(compare.value());
    entry->setSymbolType(SYM_METHOD);

    KvoValue five = makeNum(chain, 5);
    EXPECT_EQ(binary(five, ADD, i(20000)).getLong(), 20005);
    EXPECT_EQ(binary(five, LT, i(6)).getLong(), 1);
    EXPECT_EQ(binary(i(6), LT, five).getLong(), 0);
    EXPECT_EQ(binary(five, EQ, i(5)).getLong(), 1);
    EXPECT_EQ(binary(five, GE, i(9)).getLong(), 0);
}

// nativeAddObjects(a, b): runs the public operator entry points on its two arguments.
bool nativeAddObjects(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoInterpreter* interpreter = vm->interpreter();
    // The operands are the two arguments, already on the stack at SP-1 and SP.
    if (!interpreter->doOP_ADD())
        return false;
    KvoValue sum = interpreter->getSP()[0];
    args = interpreter->getSP();
    return returnValue(argc - 1, args, sum);
}

TEST_F(OperatorTest, PublicOperatorEntryPointsRunMethodsToCompletion)
{
    KvoClass* chain = makeNumClass();
    KvoAssembler add(u"OP_ADD", chain);
    add.param(KvoValue()).param().prologue().op(MREF, 1).op(PUSH).op(AREF, 1).op(MUL).op(RETURN);
    KvoDictionaryEntry* entry = chain->funcMembers()[u"OP_ADD"];
    entry->setValue(add.value());
    entry->setSymbolType(SYM_METHOD);
    ASSERT_TRUE(vm().registerNativeFunction(u"t_addObjects", &nativeAddObjects));
    KvoAssembler main(u"main");
    main.prologue().op(REF, main.literal(KvoValue(vm().symbols().find(u"t_addObjects"))));
    main.op(PUSH).load(makeNum(chain, 6)).op(PUSH).load(i(7)).op(CALL, 2);
    EXPECT_EQ(runMain(main).getLong(), 42);
}

} // namespace
