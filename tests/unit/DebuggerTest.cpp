// Tests of KvoDebugger: the value notation, procedure listings (every operand kind, the three
// operand widths, unknown opcodes, operands cut off by the end of the code) and trace lines
// read from a hand-built stack. Code is held in blocks of exactly its size, so that a read past
// the end shows up under the sanitizers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "KvoAssembler.h"
#include "host/KvoStringPrinter.h"
#include "host/KvoVirtualMachine.h"
#include "platform/KvoFormat.h"
#include "values/KvoBuffer.h"
#include "values/KvoClass.h"
#include "values/KvoDictionary.h"
#include "values/KvoObject.h"
#include "values/KvoString.h"
#include "values/KvoVector.h"
#include "values/ValPtr.h"
#include "vm/KvoDebugger.h"
#include "vm/KvoOpCode.h"
#include "vm/KvoProcedure.h"

namespace {

std::string utf8(const std::u16string& text)
{
    return KvoString(text.c_str()).a_str();
}

// The text "%p" prints for an address.
std::string hex(const void* p)
{
    return utf8(kvoFormatString(u"%p", p));
}

bool dummyNative(KvoVirtualMachine*, int, ValPtr&)
{
    return true;
}

// Appends local-variable information to a procedure: parameter names, temporary names (null
// for an unnamed slot) and the static locals' name -> element index dictionary.
void addLocalNames(KvoVector* procedure, std::vector<const KvoChar*> parameters,
                   std::vector<const KvoChar*> temporaries, std::vector<std::pair<const KvoChar*, int>> statics = {})
{
    auto* params = new KvoVector();
    for (const KvoChar* name : parameters)
        params->push_back(KvoValue(new KvoString(name)));
    auto* temps = new KvoVector();
    for (const KvoChar* name : temporaries)
        temps->push_back(name ? KvoValue(new KvoString(name)) : KvoValue());
    if (!statics.empty()) {
        auto* dict = new KvoDictionary();
        for (auto [name, index] : statics)
            (*dict)[name]->setValue(KvoValue(std::int32_t(index)));
        temps->push_back(KvoValue(dict));
    }
    auto* info = new KvoVector();
    info->push_back(KvoValue(params));
    info->push_back(KvoValue(temps));
    KvoValue infoValue(info, true);
    ASSERT_EQ(infoValue.getType(), KVT_LOCALVARINFO);
    procedure->push_back(infoValue);
}

class DebuggerTest : public ::testing::Test
{
protected:
    void SetUp() override { m_liveAtStart = KvoRefObject::liveObjects(); }
    void TearDown() override
    {
        m_point.dispose();
        EXPECT_EQ(KvoRefObject::liveObjects(), m_liveAtStart) << "live heap objects changed";
    }

    // Everything printed since the last call.
    std::string take()
    {
        std::string text = m_out.a_str();
        m_out.clear();
        return text;
    }
    std::string listing(KvoVector* procedure)
    {
        m_debugger.decodeProcedure(procedure);
        return take();
    }
    std::string notation(const KvoValue& value, bool brief = false)
    {
        m_debugger.printValue(value, brief);
        return take();
    }
    // A class Point with data members x (slot 1) and y (slot 2).
    KvoClass* point()
    {
        if (m_point.isNull()) {
            auto* c = new KvoClass(m_vm, KvoString(u"Point"), nullptr);
            c->addDataMember(u"x");
            c->addDataMember(u"y");
            c->fixupDataDefs();
            m_point = KvoValue(c);
        }
        return m_point.getClass();
    }

    KvoVirtualMachine m_vm;
    KvoStringPrinter m_out;
    KvoDebugger m_debugger{&m_vm, &m_out};

private:
    KvoValue m_point;
    std::int64_t m_liveAtStart = 0;
};

} // namespace

// ---- value notation ---------------------------------------------------------------------------

TEST_F(DebuggerTest, NumbersAndPlainKindsPrintTheirPayload)
{
    EXPECT_EQ(notation(KvoValue()), "KVT_NULL ");
    EXPECT_EQ(notation(KvoValue(std::int32_t(-5))), "KVT_INTEGER -5 ");
    EXPECT_EQ(notation(KvoValue(std::int32_t(INT32_MIN))), "KVT_INTEGER -2147483648 ");
    EXPECT_EQ(notation(KvoValue(1.5f)), "KVT_FLOAT 1.500000 ");
    EXPECT_EQ(notation(KvoValue(-2.25)), "KVT_DOUBLE -2.250000 ");
    // brief changes nothing for numbers.
    EXPECT_EQ(notation(KvoValue(std::int32_t(7)), true), "KVT_INTEGER 7 ");

    EXPECT_EQ(notation(KvoValue(static_cast<void*>(stdin))), "KVT_FILE stdin ");
    EXPECT_EQ(notation(KvoValue(static_cast<void*>(stdout))), "KVT_FILE stdout ");
    EXPECT_EQ(notation(KvoValue(static_cast<void*>(stderr))), "KVT_FILE stderr ");
    // Any other stream prints its address, without a trailing blank.
    void* handle = reinterpret_cast<void*>(std::uintptr_t(0x1234));
    EXPECT_EQ(notation(KvoValue(handle)), "KVT_FILE 00001234");

    KvoValue code(&dummyNative);
    EXPECT_EQ(notation(code), "KVT_CODE " + hex(code.getRef()) + " ");
}

TEST_F(DebuggerTest, StringsShowCountAndAtMostTwentyCharacters)
{
    auto* exact = new KvoString(u"abcdefghijklmnopqrst"); // 20 characters
    KvoValue exactValue(exact);
    EXPECT_EQ(notation(exactValue), "KVT_STRING " + hex(exact) + " (#1) (\"abcdefghijklmnopqrst\") ");

    auto* longer = new KvoString(u"abcdefghijklmnopqrstu"); // 21 characters
    KvoValue longerValue(longer);
    KvoValue second(longer);
    EXPECT_EQ(notation(longerValue), "KVT_STRING " + hex(longer) + " (#2) (\"abcdefghijklmnopqrst...\") ");
    EXPECT_EQ(notation(longerValue, true), "KVT_STRING " + hex(longer) + " ");

    KvoValue reference(exact, true);
    EXPECT_EQ(notation(reference), "KVT_STRINGREF " + hex(exact) + " (#1) (\"abcdefghijklmnopqrst\") ");

    KvoValue empty(new KvoString());
    EXPECT_EQ(notation(empty), "KVT_STRING " + hex(empty.getRef()) + " (#1) (\"\") ");
    // Without a string object: count 0 and no text.
    EXPECT_EQ(notation(KvoValue(static_cast<KvoString*>(nullptr))), "KVT_STRING 00000000 (#0) ");
}

TEST_F(DebuggerTest, ClassesObjectsAndContainersShowCountAndNames)
{
    KvoClass* c = point();
    KvoValue classRef(c, true);
    EXPECT_EQ(notation(KvoValue(c)), "KVT_CLASS " + hex(c) + " (#2) (Point) ");
    EXPECT_EQ(notation(classRef), "KVT_CLASSREF " + hex(c) + " (#1) (Point) ");
    EXPECT_EQ(notation(classRef, true), "KVT_CLASSREF " + hex(c) + " ");

    auto* object = new KvoObject(c);
    KvoValue objectValue(object);
    EXPECT_EQ(notation(objectValue), "KVT_OBJECT " + hex(object) + " (#1) (class Point) ");
    EXPECT_EQ(notation(KvoValue(object, true), true), "KVT_OBJECTREF " + hex(object) + " ");
    auto* bare = new KvoObject(nullptr);
    KvoValue bareValue(bare);
    EXPECT_EQ(notation(bareValue), "KVT_OBJECT " + hex(bare) + " (#1) (class ) ");

    auto* vector = new KvoVector();
    KvoValue vectorValue(vector);
    EXPECT_EQ(notation(vectorValue), "KVT_VECTOR " + hex(vector) + " (#1) ");
    EXPECT_EQ(notation(KvoValue(vector, false, true)), "KVT_VECTORREF " + hex(vector) + " (#1) ");
    auto* buffer = new KvoBuffer();
    KvoValue bufferValue(buffer);
    EXPECT_EQ(notation(bufferValue, true), "KVT_BUFFER " + hex(buffer) + " ");
}

TEST_F(DebuggerTest, VariablesShowKeyAndValueAndStopOnCycles)
{
    KvoDictionary symbols;
    KvoDictionaryEntry* g = symbols[u"g"];
    g->setValue(KvoValue(std::int32_t(7)));
    EXPECT_EQ(notation(KvoValue(g)), "KVT_VAR " + hex(g) + " (key:g value:KVT_INTEGER 7 ) ");
    EXPECT_EQ(notation(KvoValue(g), true), "KVT_VAR " + hex(g) + " ");

    KvoDictionaryEntry* h = symbols[u"h"];
    h->setValue(KvoValue(g));
    EXPECT_EQ(notation(KvoValue(h)),
              "KVT_VAR " + hex(h) + " (key:h value:KVT_VAR " + hex(g) + " (key:g value:KVT_INTEGER 7 ) ) ");

    // An entry that holds a reference to itself prints a bounded nesting.
    g->setValue(KvoValue(g));
    const std::string text = notation(KvoValue(g));
    std::size_t opened = 0;
    for (std::size_t at = text.find("(key:g"); at != std::string::npos; at = text.find("(key:g", at + 1))
        ++opened;
    EXPECT_EQ(opened, 8u);
    EXPECT_EQ(text.substr(text.size() - 4), ") ) ");
}

// ---- listings ---------------------------------------------------------------------------------

TEST_F(DebuggerTest, ListingHeaderNamesClassAndProcedure)
{
    KvoValue global = KvoAssembler(u"main").op(RETURN).value();
    EXPECT_EQ(listing(global.getVector()), "::main (1 bytes)\n"
                                           "0000: 1c    RETURN \n");

    KvoValue method = KvoAssembler(u"move", point()).op(NOP).op(RETURN).value();
    EXPECT_EQ(listing(method.getVector()), "Point::move (2 bytes)\n"
                                           "0000: 00       NOP \n"
                                           "0001: 1c    RETURN \n");

    KvoValue unnamed = KvoAssembler().value();
    (*unnamed.getVector())[PROC_NAME] = KvoValue();
    EXPECT_EQ(listing(unnamed.getVector()), "::<unnamed> (0 bytes)\n");

    // Nothing for no procedure, fewer than 3 elements, or element 0 not a code buffer.
    EXPECT_EQ(listing(nullptr), "");
    KvoVector tooShort;
    tooShort.push_back(KvoValue(new KvoBuffer()));
    tooShort.push_back(KvoValue());
    EXPECT_EQ(listing(&tooShort), "");
    (*unnamed.getVector())[PROC_CODE] = KvoValue(std::int32_t(1));
    EXPECT_EQ(listing(unnamed.getVector()), "");
}

TEST_F(DebuggerTest, ListingDecodesEveryOperandKindWithNames)
{
    KvoDictionary symbols;
    KvoDictionaryEntry* g = symbols[u"g"];
    g->setValue(KvoValue(std::int32_t(7)));
    auto* hi = new KvoString(u"hi");

    // The assembler is gone before the listing, so literal counts are the procedure's alone.
    KvoValue procedure;
    std::uint32_t counter = 0;
    {
        KvoAssembler a(u"move", point());
        const std::uint32_t answer = a.literal(KvoValue(std::int32_t(42)));
        counter = a.literal(KvoValue(std::int32_t(0)));
        const std::uint32_t var = a.literal(KvoValue(g));
        const std::uint32_t text = a.literal(KvoValue(hi));
        const std::uint32_t real = a.literal(KvoValue(2.5));
        a.prologue(1)
            .op(LIT, answer)
            .op(REF, var)
            .op(SET, var)
            .op(MREF, 2)
            .op(MSET, 1)
            .op(MREF, 3)
            .op(AREF, 1)
            .op(ASET, 0)
            .op(AREF, 2)
            .op(TREF, 1)
            .op(TSET, 0)
            .op(SREF, counter)
            .op(SSET, real)
            .op(CALL, 2)
            .op(SEND, 1)
            .op(NEWLINE, 12)
            .op(LIT, text)
            .address(BRF, 0x2f)
            .address(SWITCH, 0x1234)
            .op(RETURN);
        procedure = a.value();
    }
    addLocalNames(procedure.getVector(), {u"this", u"dx"}, {nullptr, u"tmp1"}, {{u"count", int(counter)}});

    const std::string gText = "KVT_VAR " + hex(g) + " (key:g value:KVT_INTEGER 7 ) ";
    EXPECT_EQ(listing(procedure.getVector()), "Point::move (53 bytes)\n"
                                              "0000: f2    RDWORD \n"
                                              "0001: 28    TSPACE 2 \n"
                                              "0006: f0     RBYTE \n"
                                              "0007: 05      PUSH \n"
                                              "0008: 1b       LIT lit[5] KVT_INTEGER 42 \n"
                                              "000a: 1e       REF var[7] " + gText + "\n"
                                              "000c: 1f       SET var[7] " + gText + "\n"
                                              "000e: 22      MREF member[2] ('y') \n"
                                              "0010: 23      MSET member[1] ('x') \n"
                                              "0012: 22      MREF member[3] \n"
                                              "0014: 24      AREF arg[1] ('dx') \n"
                                              "0016: 25      ASET arg[0] ('this') \n"
                                              "0018: 24      AREF arg[2] \n"
                                              "001a: 26      TREF tmp[1] ('tmp1') \n"
                                              "001c: 27      TSET tmp[0] \n"
                                              "001e: 35      SREF svar[6] ('count') KVT_INTEGER 0 \n"
                                              "0020: 36      SSET svar[9] KVT_DOUBLE 2.500000 \n"
                                              "0022: 1d      CALL (2 arguments) \n"
                                              "0024: 29      SEND (1 arguments) \n"
                                              "0026: 83   NEWLINE line: 12 \n"
                                              "0028: 1b       LIT lit[8] KVT_STRING " + hex(hi) + " (#1) (\"hi\") \n"
                                              "002a: 02       BRF 002f \n"
                                              "002f: 34    SWITCH 1234 \n"
                                              "0034: 1c    RETURN \n");
}

TEST_F(DebuggerTest, ListingFollowsTheThreeOperandWidths)
{
    KvoAssembler a(u"wide");
    for (std::int32_t i = 5; i <= 300; ++i)
        a.literal(KvoValue(i));
    // The wide operand of LIT starts at the odd offset 3.
    a.op(NOP).op(LIT, 300).op(CALL, 0x10000).op(LIT, 5).address(BR, 0);
    KvoValue procedure = a.value();
    EXPECT_EQ(listing(procedure.getVector()), "::wide (20 bytes)\n"
                                              "0000: 00       NOP \n"
                                              "0001: f1     RWORD \n"
                                              "0002: 1b       LIT lit[300] KVT_INTEGER 300 \n"
                                              "0005: f0     RBYTE \n"
                                              "0006: f2    RDWORD \n"
                                              "0007: 1d      CALL (65536 arguments) \n"
                                              "000c: f0     RBYTE \n"
                                              "000d: 1b       LIT lit[5] KVT_INTEGER 5 \n"
                                              "000f: 03        BR 0000 \n");
}

TEST_F(DebuggerTest, ListingShowsUnknownOpcodesAndIndexesPastTheLiterals)
{
    KvoAssembler a(u"odd");
    a.op(0x39).op(0x7F).op(0x84).op(0xEF).op(0xF3).op(0xFF).op(LIT, 200).op(SREF, 77);
    KvoValue procedure = a.value();
    EXPECT_EQ(listing(procedure.getVector()), "::odd (10 bytes)\n"
                                              "0000: 39 <unknown> \n"
                                              "0001: 7f <unknown> \n"
                                              "0002: 84 <unknown> \n"
                                              "0003: ef <unknown> \n"
                                              "0004: f3 <unknown> \n"
                                              "0005: ff <unknown> \n"
                                              "0006: 1b       LIT lit[200] <none> \n"
                                              "0008: 35      SREF svar[77] <none> \n");
}

// The assembler's code buffers have exactly the code's size, so a read past the end is caught
// by the sanitizers.
TEST_F(DebuggerTest, ListingMarksOperandsCutOffByTheEndOfTheCode)
{
    KvoValue byte = KvoAssembler(u"a").op(PUSH).op(LIT).value();
    EXPECT_EQ(listing(byte.getVector()), "::a (2 bytes)\n"
                                         "0000: 05      PUSH \n"
                                         "0001: 1b       LIT <truncated operand>\n");

    KvoValue word = KvoAssembler(u"b").op(RWORD).op(TREF).op(0x01).value();
    EXPECT_EQ(listing(word.getVector()), "::b (3 bytes)\n"
                                         "0000: f1     RWORD \n"
                                         "0001: 26      TREF <truncated operand>\n");

    KvoValue dword = KvoAssembler(u"c").op(RDWORD).op(CALL).bytes(0x030201, 3).value();
    EXPECT_EQ(listing(dword.getVector()), "::c (5 bytes)\n"
                                          "0000: f2    RDWORD \n"
                                          "0001: 1d      CALL <truncated operand>\n");

    KvoValue target = KvoAssembler(u"d").op(BR).bytes(0x030201, 3).value();
    EXPECT_EQ(listing(target.getVector()), "::d (4 bytes)\n"
                                           "0000: 03        BR <truncated operand>\n");
}

// ---- current procedure and trace lines --------------------------------------------------------

TEST_F(DebuggerTest, SetCurrentProcAnnouncesTheProcedure)
{
    KvoValue method = KvoAssembler(u"move", point()).value();
    m_debugger.setCurrentProc(method.getVector(), 2);
    EXPECT_EQ(take(), "-->current proc Point::move, 2 arguments\n");
    EXPECT_EQ(m_debugger.getCurrentProc(), method.getVector());
    EXPECT_EQ(m_debugger.getCurrentNargs(), 2);

    KvoValue global = KvoAssembler(u"main").value();
    m_debugger.setCurrentProc(global.getVector(), 0);
    EXPECT_EQ(take(), "-->current proc ::main, 0 arguments\n");

    (*global.getVector())[PROC_NAME] = KvoValue();
    m_debugger.setCurrentProc(global.getVector(), 1);
    EXPECT_EQ(take(), "-->current proc ::<noname>, 1 arguments\n");

    m_debugger.setCurrentProc(nullptr, 3);
    EXPECT_EQ(take(), "");
    EXPECT_EQ(m_debugger.getCurrentProc(), nullptr);
}

TEST_F(DebuggerTest, WithoutAPrinterNothingIsPrinted)
{
    KvoDebugger silent(nullptr, nullptr);
    KvoValue procedure = KvoAssembler(u"main").op(LIT, 5).op(RETURN).value();
    silent.decodeProcedure(procedure.getVector());
    silent.setCurrentProc(procedure.getVector(), 0);
    const std::uint8_t code[] = {PUSH};
    KvoVector stack;
    stack.push_back(KvoValue());
    silent.traceInstruction(ValPtr(&stack, 0), ValPtr(&stack, 0), ValPtr(&stack, 0), 1, code, 1, 0);
    EXPECT_EQ(take(), "");
}

namespace {

// The stack of a method call point.move(10) in progress:
//   0 NULL (the machine's first slot)   1 the receiver (BP)   2 this   3 dx = 10 (FP)
//   4 exception slot NULL   5 tmp1 = 99   6 integer 3   7 integer 4 (SP)
class DebuggerTraceTest : public DebuggerTest
{
protected:
    void SetUp() override
    {
        DebuggerTest::SetUp();
        m_object = new KvoObject(point());
        (*m_object->getMemberData())[2] = KvoValue(std::int32_t(8));
        m_stack.push_back(KvoValue());
        m_stack.push_back(KvoValue(m_object));
        m_stack.push_back(KvoValue(m_object, true));
        m_stack.push_back(KvoValue(std::int32_t(10)));
        m_stack.push_back(KvoValue());
        m_stack.push_back(KvoValue(std::int32_t(99)));
        m_stack.push_back(KvoValue(std::int32_t(3)));
        m_stack.push_back(KvoValue(std::int32_t(4)));

        KvoAssembler a(u"move", point());
        a.literal(KvoValue(std::int32_t(42)));
        m_counter = a.literal(KvoValue(std::int32_t(0)));
        m_var = a.literal(KvoValue(m_symbols[u"g"]));
        m_procedure = a.value();
        addLocalNames(m_procedure.getVector(), {u"this", u"dx"}, {nullptr, u"tmp1"}, {{u"count", int(m_counter)}});
    }
    void TearDown() override
    {
        m_stack.clear();
        m_procedure.dispose();
        m_symbols.clear();
        DebuggerTest::TearDown();
    }

    // The trace line of one instruction given as bytes, at offset 0, with the stack above.
    std::string trace(std::initializer_list<int> bytes, int width = 1, int sp = 7)
    {
        // A heap block of exactly the code's size, so that a read past it is caught.
        auto code = std::make_unique<std::uint8_t[]>(bytes.size());
        std::transform(bytes.begin(), bytes.end(), code.get(), [](int b) { return static_cast<std::uint8_t>(b); });
        m_debugger.traceInstruction(ValPtr(&m_stack, sp), ValPtr(&m_stack, 1), ValPtr(&m_stack, 3),
                                    static_cast<std::uint8_t>(width), code.get(), std::uint32_t(bytes.size()), 0);
        return take();
    }
    void enterMove()
    {
        m_debugger.setCurrentProc(m_procedure.getVector(), 2);
        take();
    }

    KvoDictionary m_symbols;
    KvoVector m_stack;
    KvoObject* m_object = nullptr;
    KvoValue m_procedure;
    std::uint32_t m_counter = 0;
    std::uint32_t m_var = 0;
};

} // namespace

TEST_F(DebuggerTraceTest, StackOperandsOfSimpleInstructions)
{
    EXPECT_EQ(trace({PUSH}), "0000: 05      PUSH SP:0007 SP[0]:KVT_INTEGER 4 \n");
    EXPECT_EQ(trace({ADD}), "0000: 08       ADD SP:0007 SP[-1]:KVT_INTEGER 3 SP[0]:KVT_INTEGER 4 \n");
    EXPECT_EQ(trace({DUP2}), "0000: 2a      DUP2 SP:0007 SP[-1]:KVT_INTEGER 3 SP[0]:KVT_INTEGER 4 \n");
    EXPECT_EQ(trace({VREF}), "0000: 20      VREF SP:0007 SP[-1](src):KVT_INTEGER 3 SP[0](index:)KVT_INTEGER 4 \n");
    EXPECT_EQ(trace({VSET}), "0000: 21      VSET SP:0007 SP[-2](dest):KVT_INTEGER 99 SP[-1](index):KVT_INTEGER 3 "
                             "SP[0](val):KVT_INTEGER 4 \n");
    // Objects print brief for NIL, DUP and POP, in full elsewhere.
    const std::string obj = hex(m_object);
    EXPECT_EQ(trace({POP}, 1, 1), "0000: 2e       POP SP:0001 SP[0]:KVT_OBJECT " + obj + " \n");
    EXPECT_EQ(trace({NEW}, 1, 1), "0000: 2b       NEW SP:0001 SP[0](class):KVT_OBJECT " + obj + " (#1) (class Point) \n");
    EXPECT_EQ(trace({THROW}), "0000: 32     THROW SP:0007 \n");
    EXPECT_EQ(trace({0x99}), "0000: 99 <unknown> SP:0007 \n");
    // Slots below the stack print as missing instead of being read.
    EXPECT_EQ(trace({SUB}, 1, 0), "0000: 09       SUB SP:0000 SP[-1]:<none> SP[0]:KVT_NULL \n");
}

TEST_F(DebuggerTraceTest, BranchesShowWhetherTheyAreTaken)
{
    EXPECT_EQ(trace({BRT, 0x20, 0, 0, 0}), "0000: 01       BRT SP:0007 0020 SP[0]:KVT_INTEGER 4 \n");
    EXPECT_EQ(trace({BRF, 0x20, 0, 0, 0}), "0000: 02       BRF SP:0007 (skip) SP[0]:KVT_INTEGER 4 \n");
    EXPECT_EQ(trace({BRT, 0x20, 0, 0, 0}, 1, 0), "0000: 01       BRT SP:0000 (skip) SP[0]:KVT_NULL \n");
    EXPECT_EQ(trace({BRF, 0x20, 0, 0, 0}, 1, 0), "0000: 02       BRF SP:0000 0020 SP[0]:KVT_NULL \n");
    EXPECT_EQ(trace({BR, 0x34, 0x12, 0, 0}), "0000: 03        BR SP:0007 1234\n");
    EXPECT_EQ(trace({TRY, 0x10, 0, 0, 0}), "0000: 30       TRY SP:0007 0010\n");
}

TEST_F(DebuggerTraceTest, CallsAndSendsShowTheirCallee)
{
    EXPECT_EQ(trace({CALL, 1}), "0000: 1d      CALL SP:0007 KVT_INTEGER 3 (1 arguments)\n");
    EXPECT_EQ(trace({SEND, 2}, 1, 3),
              "0000: 29      SEND SP:0003 SP[-2](obj):KVT_OBJECT " + hex(m_object) +
                  " (#1) (class Point) SP[-1](name):KVT_OBJECTREF " + hex(m_object) +
                  " (#1) (class Point) (2 arguments)\n");
}

TEST_F(DebuggerTraceTest, FrameOperandsWithACurrentProcedure)
{
    enterMove();
    const std::string obj = hex(m_object);
    EXPECT_EQ(trace({LIT, 5}), "0000: 1b       LIT SP:0007 LIT[5]:KVT_INTEGER 42 \n");
    EXPECT_EQ(trace({SET, std::int32_t(m_var)}),
              "0000: 1f       SET SP:0007 VAR[7]:KVT_VAR " + hex(m_symbols.find(u"g")) +
                  " SP[0](val):KVT_INTEGER 4 \n");
    EXPECT_EQ(trace({AREF, 1}), "0000: 24      AREF SP:0007 BP[2](arg[1] 'dx'):KVT_INTEGER 10 \n");
    EXPECT_EQ(trace({ASET, 0}), "0000: 25      ASET SP:0007 BP[1](arg[0] 'this'):KVT_OBJECTREF " + obj +
                                    " SP[0](val):KVT_INTEGER 4 \n");
    EXPECT_EQ(trace({AREF, 2}), "0000: 24      AREF SP:0007 invalid index 2\n");
    EXPECT_EQ(trace({TREF, 1}), "0000: 26      TREF SP:0007 FP[2](tmp[1] 'tmp1'):KVT_INTEGER 99 \n");
    EXPECT_EQ(trace({TSET, 0}), "0000: 27      TSET SP:0007 FP[1](tmp[0]):KVT_NULL SP[0](val):KVT_INTEGER 4 \n");
    EXPECT_EQ(trace({SREF, std::int32_t(m_counter)}), "0000: 35      SREF SP:0007 svar[6]:('count') KVT_INTEGER 0 \n");
    EXPECT_EQ(trace({NEWLINE, 12}), "0000: 83   NEWLINE SP:0007 line: 12\n");
    EXPECT_EQ(trace({MREF, 2}), "0000: 22      MREF SP:0007 BP[0](obj):KVT_OBJECT " + obj +
                                    " (#1) (class Point) member[2]:('y') KVT_INTEGER 8 \n");
    EXPECT_EQ(trace({MSET, 1}), "0000: 23      MSET SP:0007 BP[0](obj):KVT_OBJECT " + obj +
                                    " (#1) (class Point) member[1]:('x') KVT_NULL SP[0](val):KVT_INTEGER 4 \n");
    EXPECT_EQ(trace({MREF, 9}), "0000: 22      MREF SP:0007 BP[0](obj):KVT_OBJECT " + obj +
                                    " (#1) (class Point) member[9]:<none> \n");
}

TEST_F(DebuggerTraceTest, FrameOperandsWithoutACurrentProcedureLeaveOutNamesAndLiterals)
{
    EXPECT_EQ(trace({LIT, 5}), "0000: 1b       LIT SP:0007 \n");
    EXPECT_EQ(trace({AREF, 1}), "0000: 24      AREF SP:0007 \n");
    EXPECT_EQ(trace({TREF, 1}), "0000: 26      TREF SP:0007 FP[2](tmp[1]):KVT_INTEGER 99 \n");
    EXPECT_EQ(trace({SREF, 6}), "0000: 35      SREF SP:0007 \n");
    EXPECT_EQ(trace({NEWLINE, 12}), "0000: 83   NEWLINE SP:0007 \n");
    EXPECT_EQ(trace({SET, 7}), "0000: 1f       SET SP:0007 SP[0](val):KVT_INTEGER 4 \n");
}

TEST_F(DebuggerTraceTest, OperandsFollowTheGivenWidthAndStopAtTheEndOfTheCode)
{
    enterMove();
    EXPECT_EQ(trace({LIT, 5, 0}, 2), "0000: 1b       LIT SP:0007 LIT[5]:KVT_INTEGER 42 \n");
    EXPECT_EQ(trace({TSPACE, 2, 0, 0, 0}, 4), "0000: 28    TSPACE SP:0007 2 \n");
    // A width the machine never sets reads as 1.
    EXPECT_EQ(trace({LIT, 5}, 3), "0000: 1b       LIT SP:0007 LIT[5]:KVT_INTEGER 42 \n");

    EXPECT_EQ(trace({LIT}), "0000: 1b       LIT SP:0007 <truncated operand>\n");
    EXPECT_EQ(trace({LIT, 5}, 2), "0000: 1b       LIT SP:0007 <truncated operand>\n");
    EXPECT_EQ(trace({CALL, 1, 0, 0}, 4), "0000: 1d      CALL SP:0007 <truncated operand>\n");
    EXPECT_EQ(trace({BR, 1, 0}), "0000: 03        BR SP:0007 <truncated operand>\n");

    m_debugger.traceInstruction(ValPtr(&m_stack, 7), ValPtr(&m_stack, 1), ValPtr(&m_stack, 3), 1, nullptr, 0, 5);
    EXPECT_EQ(take(), "0005: <outside the code> SP:0007\n");
}
