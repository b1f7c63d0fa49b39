// Tests of the interpreter on hand-assembled procedures: the opcode table and operand decoding,
// the three operand widths, the stack effects of the instructions, globals, arguments with
// defaults, temporaries and statics, native calls and their result conventions, exceptions across
// frames, message sends with the base-class and direct prefixes, the method cache, script
// destructors (also ones that resurrect their object), cancellation from another thread, the
// call-depth limits, malformed code, the debugging hooks and the host entry points.
// Every test checks that the number of live heap objects returns to where it started.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <thread>

#include "KvoAssembler.h"
#include "host/KvoStringPrinter.h"
#include "host/KvoVirtualMachine.h"
#include "platform/KvoWindows.h"
#include "values/KvoDictionary.h"
#include "values/KvoObject.h"
#include "vm/KvoErrors.h"
#include "vm/KvoInterpreter.h"
#include "vm/KvoOpCode.h"

namespace {

std::u16string g_log;

// log(values...): appends each value's print text, then ';'.
bool nativeLog(KvoVirtualMachine*, int argc, ValPtr& args)
{
    for (int i = -argc + 1; i <= 0; ++i)
        g_log += textOf(args[i]);
    g_log += u';';
    return returnValue(argc, args, KvoValue());
}

// sum(values...): the integer sum.
bool nativeSum(KvoVirtualMachine*, int argc, ValPtr& args)
{
    std::int32_t sum = 0;
    for (int i = -argc + 1; i <= 0; ++i)
        sum += args[i].getLong();
    return returnValue(argc, args, KvoValue(sum));
}

// Leaves 77 above its arguments instead of moving down.
bool nativeResultOnTop(KvoVirtualMachine*, int, ValPtr& args)
{
    args += 1;
    args[0] = KvoValue(std::int32_t(77));
    return true;
}

// Moves the cursor below its called slot.
bool nativeCorrupt(KvoVirtualMachine*, int argc, ValPtr& args)
{
    args -= argc + 1;
    return true;
}

// fail(text): raises text.
bool nativeFail(KvoVirtualMachine* vm, int, ValPtr& args)
{
    KvoString* text = args[0].getString();
    return vm->interpreter()->returnError(text ? text->c_str() : u"?");
}

// depth(): the number of active bytecode frames.
bool nativeDepth(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    std::int32_t n = 0;
    for (KvoProcInfo* frame = vm->interpreter()->getProcInfo(); frame; frame = frame->getCaller())
        ++n;
    return returnValue(argc, args, KvoValue(n));
}

// errorText(): the interpreter's error text.
bool nativeErrorText(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return returnValue(argc, args, KvoValue(new KvoString(vm->interpreter()->errors())));
}

// Emits a call of the global function held by the variable reference fn with literal arguments;
// the call's slot is the current top, which must be free.
void emitCall(KvoAssembler& code, const KvoValue& fn, std::initializer_list<KvoValue> args)
{
    code.op(REF, code.literal(fn));
    for (const KvoValue& arg : args)
        code.op(PUSH).load(arg);
    code.op(CALL, static_cast<std::uint32_t>(args.size()));
}

// Emits a message send of name with literal arguments to the receiver already in the top slot.
void emitSend(KvoAssembler& code, const KvoChar* name, std::initializer_list<KvoValue> args)
{
    code.op(PUSH).load(KvoValue(new KvoString(name)));
    for (const KvoValue& arg : args)
        code.op(PUSH).load(arg);
    code.op(SEND, static_cast<std::uint32_t>(args.size() + 1));
}

class InterpreterTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_log.clear();
        m_liveAtStart = KvoRefObject::liveObjects();
        m_machine = std::make_unique<KvoTestMachine>();
        ASSERT_TRUE(vm().registerNativeFunction(u"t_log", &nativeLog));
        ASSERT_TRUE(vm().registerNativeFunction(u"t_sum", &nativeSum));
    }
    void TearDown() override
    {
        m_machine.reset();
        EXPECT_EQ(KvoRefObject::liveObjects(), m_liveAtStart) << "live heap objects changed";
    }

    KvoTestMachine& machine() { return *m_machine; }
    KvoVirtualMachine& vm() { return m_machine->vm(); }
    KvoValue var(const KvoChar* name) { return m_machine->var(name); }
    void define(const KvoChar* name, KvoAssembler& code) { m_machine->define(name, code); }
    bool run(const KvoChar* name = u"main") { return m_machine->run(name); }
    const KvoValue& result() { return m_machine->result(); }
    std::u16string errors() { return m_machine->errors(); }

    // Runs a main that only executes body (after the prologue) and returns the top.
    KvoValue evaluate(KvoAssembler& main)
    {
        main.op(RETURN);
        define(u"main", main);
        EXPECT_TRUE(run()) << KvoString(errors().c_str()).a_str();
        return result();
    }

    // A class registered under name with an optional base.
    KvoClass* makeClass(const KvoChar* name, KvoClass* base = nullptr)
    {
        auto* c = new KvoClass(vm(), nullptr, base);
        EXPECT_TRUE(vm().registerNativeClass(name, c));
        return c;
    }
    // Enters an assembled method (the caller gave the assembler the class as owner).
    void addMethod(KvoClass* c, const KvoChar* name, KvoAssembler& code)
    {
        KvoDictionaryEntry* entry = c->funcMembers()[name];
        entry->setValue(code.value());
        entry->setSymbolType(SYM_METHOD);
    }

private:
    std::int64_t m_liveAtStart = 0;
    std::unique_ptr<KvoTestMachine> m_machine;
};

// ---- Instruction set ----------------------------------------------------------------------------

TEST(OpcodeTableTest, NumbersMnemonicsAndOperandKinds)
{
    EXPECT_EQ(std::u16string(getOpcodeMnemonic(SEND)), u"SEND");
    EXPECT_EQ(std::u16string(getOpcodeMnemonic(0x83)), u"NEWLINE");
    EXPECT_EQ(std::u16string(getOpcodeMnemonic(0xF2)), u"RDWORD");
    for (int code : {0x39, 0x7F, 0x84, 0xEF, 0xF3, 0xFF})
        EXPECT_EQ(std::u16string(getOpcodeMnemonic(static_cast<std::uint8_t>(code))), u"<unknown>") << code;
    int defined = 0;
    for (int code = 0; code < 256; ++code)
        defined += isOpcode(static_cast<std::uint8_t>(code));
    EXPECT_EQ(defined, 64);

    for (std::uint8_t op : {BRT, BRF, BR, TRY, ENDTRY, SWITCH})
        EXPECT_EQ(getOperandKind(op), KvoOperandKind::ADDRESS);
    for (std::uint8_t op : {LIT, CALL, REF, SET, MREF, MSET, AREF, ASET, TREF, TSET, TSPACE, SEND, SREF, SSET, NEWLINE})
        EXPECT_EQ(getOperandKind(op), KvoOperandKind::INDEXED);
    EXPECT_EQ(getOperandKind(RBYTE), KvoOperandKind::WIDTH);
    EXPECT_EQ(getOperandKind(ADD), KvoOperandKind::NONE);
    EXPECT_EQ(getWidthOf(RWORD), 2u);
    EXPECT_EQ(getWidthOf(RDWORD), 4u);
}

TEST(OpcodeTableTest, OperandsAreLittleEndianAtAnyOffset)
{
    const std::uint8_t bytes[] = {0xAA, 0x2C, 0x01, 0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(readOperand(bytes + 1, 1), 0x2Cu);
    EXPECT_EQ(readOperand(bytes + 1, 2), 300u);
    EXPECT_EQ(readOperand(bytes + 3, 4), 0x12345678u);
    EXPECT_EQ(readAddress(bytes + 3), 0x12345678u);
}

TEST_F(InterpreterTest, ReturnsTheTop)
{
    KvoAssembler main(u"main");
    main.prologue().load(KvoValue(std::int32_t(42)));
    EXPECT_EQ(evaluate(main).getLong(), 42);
}

TEST_F(InterpreterTest, LiteralIndexesInAllThreeWidths)
{
    KvoAssembler main(u"main");
    while (main.literal(KvoValue(std::int32_t(-1))) < 299) {
    }
    std::uint32_t wide = main.literal(KvoValue(std::int32_t(300)));
    ASSERT_EQ(wide, 300u);
    while (main.literal(KvoValue(std::int32_t(-1))) < 69999) {
    }
    std::uint32_t widest = main.literal(KvoValue(std::int32_t(70000)));
    ASSERT_EQ(widest, 70000u);

    main.prologue();
    main.op(LIT, wide); // RWORD, LIT, 0x2C 0x01, RBYTE
    main.op(PUSH).op(NOP);
    main.op(LIT, widest); // the 4-byte operand starts at an odd offset
    main.op(ADD).op(PUSH);
    main.opWidth(LIT, 7, 4); // a small index in the widest form
    main.op(ADD).op(PUSH);
    main.op(LIT, 6); // the width is 1 again
    main.op(ADD);
    {
        // The encoding the compiler uses for a 16-bit index.
        KvoAssembler probe;
        probe.op(LIT, 300);
        KvoValue built = probe.value();
        KvoBuffer* code = (*built.getVector())[PROC_CODE].getBuffer();
        ASSERT_EQ(code->size(), 5u);
        EXPECT_EQ((*code)[0], RWORD);
        EXPECT_EQ((*code)[1], LIT);
        EXPECT_EQ((*code)[2], 0x2C);
        EXPECT_EQ((*code)[3], 0x01);
        EXPECT_EQ((*code)[4], RBYTE);
    }
    // 300 + 70000 + (-1) + (-1)
    EXPECT_EQ(evaluate(main).getLong(), 70298);
}

TEST_F(InterpreterTest, WidthStaysUntilTheNextWidthInstruction)
{
    KvoAssembler main(u"main");
    std::uint32_t a = main.literal(KvoValue(std::int32_t(5)));
    std::uint32_t b = main.literal(KvoValue(std::int32_t(9)));
    main.prologue();
    main.op(RWORD).op(LIT).bytes(a, 2).op(PUSH).op(LIT).bytes(b, 2).op(RBYTE).op(SUB);
    EXPECT_EQ(evaluate(main).getLong(), -4);
}

TEST_F(InterpreterTest, StackEffects)
{
    {
        // DUP adds a copy; DUP2 duplicates the top two: [3 4] -> [3 4 3 4].
        KvoAssembler main(u"main");
        main.prologue().load(KvoValue(std::int32_t(3))).op(PUSH).load(KvoValue(std::int32_t(4)));
        main.op(DUP2).op(MUL).op(ADD).op(SUB); // 3 - (4 + 3*4)
        EXPECT_EQ(evaluate(main).getLong(), -13);
    }
    {
        KvoAssembler main(u"main");
        main.prologue().load(KvoValue(std::int32_t(5))).op(DUP).op(ADD);
        EXPECT_EQ(evaluate(main).getLong(), 10);
    }
    {
        // BRT and BRF leave the tested value on the stack.
        KvoAssembler main(u"main");
        int taken = main.label();
        main.prologue().load(KvoValue(std::int32_t(1))).jump(BRF, taken).jump(BRT, taken);
        main.load(KvoValue(std::int32_t(99))).bind(taken);
        EXPECT_EQ(evaluate(main).getLong(), 1);
    }
    {
        // NOT, NIL, POP, SWITCH and undefined byte values.
        KvoAssembler main(u"main");
        main.prologue().load(KvoValue(std::int32_t(8))).op(PUSH).load(KvoValue(new KvoString(u"x"))).op(NIL).op(NOT);
        main.op(0x39).op(0x7F).op(0x84).op(0xEF).op(0xF3).op(0xFF);
        int end = main.label();
        main.jump(SWITCH, end).bind(end);
        main.op(ADD).op(PUSH).load(KvoValue(std::int32_t(100))).op(POP); // 8 + !NULL
        EXPECT_EQ(evaluate(main).getLong(), 9);
    }
}

// ---- Globals, arguments, temporaries, statics ---------------------------------------------------

TEST_F(InterpreterTest, GlobalVariables)
{
    KvoAssembler main(u"main");
    main.prologue().load(KvoValue(std::int32_t(7))).op(SET, main.literal(var(u"x")));
    main.load(KvoValue(std::int32_t(0))).op(REF, main.literal(var(u"x"))).op(PUSH).load(KvoValue(std::int32_t(1))).op(ADD);
    EXPECT_EQ(evaluate(main).getLong(), 8);
    EXPECT_EQ(machine().global(u"x").getLong(), 7);

    KvoAssembler bad(u"main");
    bad.prologue().op(REF, bad.literal(KvoValue(std::int32_t(3)))).op(RETURN);
    define(u"main", bad);
    EXPECT_FALSE(run());
    EXPECT_EQ(errors(), u"invalid variable reference KVT_INTEGER\n");
}

TEST_F(InterpreterTest, DefaultArgumentsFillUpToTheFirstParameterWithout)
{
    // add(a, b = 5) { return a + b; }
    KvoAssembler add(u"add");
    add.param().param(KvoValue(std::int32_t(5))).prologue().op(AREF, 0).op(PUSH).op(AREF, 1).op(ADD).op(RETURN);
    define(u"add", add);

    KvoAssembler one(u"main");
    one.prologue();
    emitCall(one, var(u"add"), {KvoValue(std::int32_t(1))});
    EXPECT_EQ(evaluate(one).getLong(), 6);

    KvoAssembler two(u"main");
    two.prologue();
    emitCall(two, var(u"add"), {KvoValue(std::int32_t(1)), KvoValue(std::int32_t(2))});
    EXPECT_EQ(evaluate(two).getLong(), 3);

    KvoAssembler none(u"main");
    none.prologue();
    emitCall(none, var(u"add"), {});
    none.op(RETURN);
    define(u"main", none);
    EXPECT_FALSE(run());
    EXPECT_EQ(errors(), u"too few arguments\n");

    // f(a = 1, b, c = 3): called without arguments only a is filled in.
    KvoAssembler f(u"f");
    f.param(KvoValue(std::int32_t(1))).param().param(KvoValue(std::int32_t(3))).prologue();
    f.op(AREF, 0).op(PUSH).op(AREF, 2).op(RETURN);
    define(u"f", f);
    KvoAssembler callF(u"main");
    callF.prologue();
    emitCall(callF, var(u"f"), {});
    callF.op(RETURN);
    define(u"main", callF);
    EXPECT_FALSE(run());
    EXPECT_EQ(errors(), u"too few arguments\n");
}

TEST_F(InterpreterTest, ArgumentsTemporariesAndStatics)
{
    // counter(step) { static n; var t = step * 2; n = n + t; step = n; return step; }
    KvoAssembler counter(u"counter");
    counter.param();
    std::uint32_t n = counter.literal(KvoValue(std::int32_t(0)));
    counter.prologue(1);
    counter.op(AREF, 0).op(PUSH).load(KvoValue(std::int32_t(2))).op(MUL).op(TSET, 1);
    counter.op(SREF, n).op(PUSH).op(TREF, 1).op(ADD).op(SSET, n).op(ASET, 0).op(NIL).op(AREF, 0).op(RETURN);
    define(u"counter", counter);

    KvoAssembler main(u"main");
    main.prologue();
    for (int i = 1; i <= 3; ++i) {
        emitCall(main, var(u"counter"), {KvoValue(std::int32_t(i))});
        main.op(PUSH);
    }
    main.op(POP);
    EXPECT_EQ(evaluate(main).getLong(), 12); // 2, 2+4, 6+6
}

// ---- Native calls -------------------------------------------------------------------------------

TEST_F(InterpreterTest, NativeResultConventions)
{
    ASSERT_TRUE(vm().registerNativeFunction(u"t_onTop", &nativeResultOnTop));
    ASSERT_TRUE(vm().registerNativeFunction(u"t_corrupt", &nativeCorrupt));
    EXPECT_FALSE(vm().registerNativeFunction(u"t_sum", &nativeLog)); // the first definition stays
    EXPECT_FALSE(vm().registerNativeFunction(u"", &nativeLog));
    EXPECT_FALSE(vm().registerNativeFunction(u"x", nullptr));

    KvoAssembler main(u"main");
    main.prologue();
    emitCall(main, var(u"t_sum"), {KvoValue(std::int32_t(2)), KvoValue(std::int32_t(3)), KvoValue(std::int32_t(4))});
    main.op(PUSH);
    emitCall(main, var(u"t_onTop"), {KvoValue(std::int32_t(1)), KvoValue(std::int32_t(1))});
    main.op(ADD);
    EXPECT_EQ(evaluate(main).getLong(), 86);

    KvoAssembler corrupt(u"main");
    int handler = corrupt.label();
    corrupt.prologue().jump(TRY, handler).op(PUSH);
    emitCall(corrupt, var(u"t_corrupt"), {KvoValue(std::int32_t(1))});
    corrupt.op(RETURN).bind(handler).op(TREF, 0);
    EXPECT_EQ(textOf(evaluate(corrupt)), u"stack corrupted");
}

// join(values...): the print texts joined by '+'.
bool nativeJoin(KvoVirtualMachine*, int argc, ValPtr& args)
{
    std::u16string text;
    for (int i = -argc + 1; i <= 0; ++i)
        text += (text.empty() ? u"" : u"+") + textOf(args[i]);
    return returnValue(argc, args, KvoValue(new KvoString(text.c_str())));
}

TEST_F(InterpreterTest, ExecuteCallsANativeDirectly)
{
    ASSERT_TRUE(vm().registerNativeFunction(u"t_join", &nativeJoin));
    const KvoChar* argv[] = {u"40", u"2"};
    ASSERT_TRUE(vm().execute(u"t_join", 2, argv));
    EXPECT_EQ(textOf(vm().getResult()), u"40+2");
    EXPECT_EQ(vm().interpreter(), nullptr);
    EXPECT_FALSE(vm().execute(u"missing", 0, nullptr));
    EXPECT_FALSE(vm().execute(nullptr, 0, nullptr));
}

// ---- Exceptions ---------------------------------------------------------------------------------

TEST_F(InterpreterTest, ExceptionCrossesThreeLevels)
{
    ASSERT_TRUE(vm().registerNativeFunction(u"t_depth", &nativeDepth));
    KvoAssembler h(u"h");
    h.prologue().load(KvoValue(std::int32_t(42))).op(THROW).op(RETURN);
    define(u"h", h);
    KvoAssembler g(u"g");
    g.prologue();
    emitCall(g, var(u"h"), {});
    g.load(KvoValue(std::int32_t(-1))).op(RETURN);
    define(u"g", g);
    KvoAssembler f(u"f");
    f.prologue();
    emitCall(f, var(u"g"), {});
    f.op(RETURN);
    define(u"f", f);

    // main: try { f(); } catch (e) { return e * 100 + depth(); }
    KvoAssembler main(u"main");
    int handler = main.label();
    int after = main.label();
    main.prologue().jump(TRY, handler).op(PUSH);
    emitCall(main, var(u"f"), {});
    main.jump(ENDTRY, after).bind(handler);
    main.op(TREF, 0).op(PUSH).load(KvoValue(std::int32_t(100))).op(MUL).op(PUSH);
    emitCall(main, var(u"t_depth"), {});
    main.op(ADD).op(RETURN).bind(after).load(KvoValue(std::int32_t(-5)));
    EXPECT_EQ(evaluate(main).getLong(), 4201); // only main's frame is left
}

TEST_F(InterpreterTest, CatchAndRethrow)
{
    // f: try { throw "boom"; } catch (e) { log(e); throw; }
    KvoAssembler f(u"f");
    int handler = f.label();
    int after = f.label();
    f.prologue().jump(TRY, handler).load(KvoValue(new KvoString(u"boom"))).op(THROW).jump(ENDTRY, after);
    f.bind(handler).op(PUSH);
    emitCall(f, var(u"t_log"), {});
    f.op(POP).op(TREF, 0).op(THROW).op(ENDCATCH).bind(after).op(RETURN);
    define(u"f", f);

    KvoAssembler main(u"main");
    int outer = main.label();
    main.prologue().jump(TRY, outer).op(PUSH);
    emitCall(main, var(u"f"), {});
    main.op(RETURN).bind(outer).op(TREF, 0);
    EXPECT_EQ(textOf(evaluate(main)), u"boom");
    EXPECT_EQ(g_log, u";");
}

TEST_F(InterpreterTest, RunTimeErrorsAreCatchableAndTextEndsWithNewline)
{
    ASSERT_TRUE(vm().registerNativeFunction(u"t_errorText", &nativeErrorText));
    KvoAssembler main(u"main");
    int handler = main.label();
    main.prologue().jump(TRY, handler).load(KvoValue(std::int32_t(5))).op(PUSH).load(KvoValue(std::int32_t(0)));
    main.op(DIV).op(RETURN);
    main.bind(handler).op(PUSH);
    emitCall(main, var(u"t_errorText"), {});
    main.op(PUSH).op(TREF, 0).op(ADD); // the catch variable has no newline, errors() has one
    EXPECT_EQ(textOf(evaluate(main)), u"divide 0 error\ndivide 0 error");
}

TEST_F(InterpreterTest, HandlersStartAtWidthOne)
{
    // A wide instruction fails (AREF 300 without arguments); the catch block's operands are 1 byte.
    KvoAssembler main(u"main");
    int handler = main.label();
    main.prologue().jump(TRY, handler).op(AREF, 300).op(RETURN);
    main.bind(handler).op(TREF, 0);
    EXPECT_EQ(textOf(evaluate(main)), u"too few arguments");
}

TEST_F(InterpreterTest, NativeErrorsAreCatchable)
{
    ASSERT_TRUE(vm().registerNativeFunction(u"t_fail", &nativeFail));
    KvoAssembler main(u"main");
    int handler = main.label();
    main.prologue().jump(TRY, handler).op(PUSH);
    emitCall(main, var(u"t_fail"), {KvoValue(new KvoString(u"native says no"))});
    main.op(RETURN).bind(handler).op(TREF, 0);
    EXPECT_EQ(textOf(evaluate(main)), u"native says no");
}

TEST_F(InterpreterTest, UncaughtExceptionTexts)
{
    struct Case {
        KvoValue thrown;
        std::u16string text;
    };
    for (const Case& c : {Case{KvoValue(std::int32_t(42)), u"42\n"}, Case{KvoValue(1.5), u"1.500000\n"},
                          Case{KvoValue(new KvoString(u"oops")), u"oops\n"}}) {
        KvoAssembler main(u"main");
        main.prologue().load(c.thrown).op(THROW).op(RETURN);
        define(u"main", main);
        EXPECT_FALSE(run());
        EXPECT_EQ(errors(), c.text);
    }
    KvoAssembler main(u"main");
    main.prologue().load(KvoValue()).op(THROW).op(RETURN);
    define(u"main", main);
    EXPECT_FALSE(run());
    EXPECT_EQ(errors().substr(0, 9), u"KVT_NULL:");
}

TEST_F(InterpreterTest, CallOfANonProcedure)
{
    KvoAssembler main(u"main");
    main.prologue().load(KvoValue(std::int32_t(3))).op(CALL, 0).op(RETURN);
    define(u"main", main);
    EXPECT_FALSE(run());
    EXPECT_EQ(errors(), u"call to non-procedure, type KVT_INTEGER\n");
}

// ---- Classes, sends and methods -----------------------------------------------------------------

// name(): the selector found in the called slot, followed by this's class name.
bool nativeWhoAmI(KvoVirtualMachine*, int argc, ValPtr& args)
{
    std::u16string text = textOf(args[-argc]);
    text += u"@";
    KvoObject* self = args[-argc + 1].getObject();
    text += self && self->getClass() ? self->getClass()->getClassName()->c_str() : u"?";
    return returnValue(argc, args, KvoValue(new KvoString(text.c_str())));
}

TEST_F(InterpreterTest, NativeMethodsSeeTheirSelector)
{
    KvoClass* c = makeClass(u"Thing");
    ASSERT_TRUE(c->addMethod(u"first", &nativeWhoAmI));
    ASSERT_TRUE(c->addMethod(u"second", &nativeWhoAmI));
    KvoAssembler main(u"main");
    main.prologue().load(KvoValue(c)).op(NEW).op(SET, main.literal(var(u"t")));
    emitSend(main, u"first", {});
    main.op(PUSH).op(REF, main.literal(var(u"t")));
    emitSend(main, u"second", {});
    main.op(ADD);
    EXPECT_EQ(textOf(evaluate(main)), u"first@Thingsecond@Thing");
}

TEST_F(InterpreterTest, ConstructorsMembersAndMethods)
{
    // class Point { x; y; Point(x, y) { this.x = x; this.y = y; } sum() { return x + y; } }
    KvoClass* point = makeClass(u"Point");
    ASSERT_TRUE(point->addDataMember(u"x"));
    ASSERT_TRUE(point->addDataMember(u"y"));
    point->fixupDataDefs();
    KvoAssembler constructor(u"Point", point);
    constructor.param(KvoValue()).param().param().prologue();
    constructor.op(AREF, 1).op(MSET, 1).op(AREF, 2).op(MSET, 2).op(AREF, 0).op(RETURN);
    addMethod(point, u"Point", constructor);
    KvoAssembler sum(u"t_sum", point);
    sum.param(KvoValue()).prologue().op(MREF, 1).op(PUSH).op(MREF, 2).op(ADD).op(RETURN);
    addMethod(point, u"t_sum", sum);

    KvoAssembler main(u"main");
    main.prologue().load(KvoValue(point)).op(NEW);
    emitSend(main, u"Point", {KvoValue(std::int32_t(3)), KvoValue(std::int32_t(4))});
    emitSend(main, u"t_sum", {});
    EXPECT_EQ(evaluate(main).getLong(), 7);

    // A missing method, a send to a non-object, and a destructor send without destructor.
    KvoAssembler missing(u"main");
    missing.prologue().load(KvoValue(point)).op(NEW);
    emitSend(missing, u"dtor", {});
    missing.op(POP).op(PUSH).load(KvoValue(point)).op(NEW);
    emitSend(missing, u"nothing", {});
    missing.op(RETURN);
    define(u"main", missing);
    EXPECT_FALSE(run());
    EXPECT_EQ(errors(), u"no method for name nothing\n");

    KvoAssembler notObject(u"main");
    notObject.prologue().load(KvoValue(std::int32_t(1)));
    emitSend(notObject, u"t_sum", {});
    notObject.op(RETURN);
    define(u"main", notObject);
    EXPECT_FALSE(run());
    EXPECT_EQ(errors(), u"invalid value type KVT_INTEGER, KVT_OBJECT expected\n");
}

// A native that answers with a fixed text per class: the class name stored as a static member.
bool nativeGreet(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnValue(argc, args, KvoValue(new KvoString(u"base")));
}
bool nativeGreetDerived(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnValue(argc, args, KvoValue(new KvoString(u"derived")));
}
bool nativeGreetLeaf(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnValue(argc, args, KvoValue(new KvoString(u"leaf")));
}

TEST_F(InterpreterTest, BaseAndDirectCallPrefixes)
{
    KvoClass* base = makeClass(u"B");
    KvoClass* derived = makeClass(u"D", base);
    KvoClass* leaf = makeClass(u"E", derived);
    ASSERT_TRUE(base->addMethod(u"greet", &nativeGreet));
    ASSERT_TRUE(derived->addMethod(u"greet", &nativeGreetDerived));
    ASSERT_TRUE(leaf->addMethod(u"greet", &nativeGreetLeaf));
    // D::probe() { return this.BC_greet() + this.DC_greet() + this.greet(); }
    KvoAssembler probe(u"t_probe", derived);
    probe.param(KvoValue()).prologue().op(AREF, 0);
    emitSend(probe, u"BC_greet", {});
    for (const KvoChar* name : {u"DC_greet", u"greet"}) {
        probe.op(PUSH).op(AREF, 0);
        emitSend(probe, name, {});
        probe.op(ADD);
    }
    probe.op(RETURN);
    addMethod(derived, u"t_probe", probe);

    KvoAssembler main(u"main");
    main.prologue().load(KvoValue(leaf)).op(NEW);
    emitSend(main, u"t_probe", {});
    EXPECT_EQ(textOf(evaluate(main)), u"basederivedleaf");
}

// Adds a method "who" to class D (a native answering "D") or removes it again.
KvoClass* g_patchedClass = nullptr;
bool nativeAnswerD(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnValue(argc, args, KvoValue(new KvoString(u"D")));
}
bool nativeAnswerB(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnValue(argc, args, KvoValue(new KvoString(u"B")));
}
bool nativePatch(KvoVirtualMachine*, int argc, ValPtr& args)
{
    if (!g_patchedClass->addMethod(u"who", &nativeAnswerD))
        g_patchedClass->funcMembers().erase(KvoString(u"who"));
    return returnValue(argc, args, KvoValue());
}

TEST_F(InterpreterTest, MethodCacheFollowsClassChanges)
{
    KvoClass* base = makeClass(u"B");
    g_patchedClass = makeClass(u"D", base);
    ASSERT_TRUE(base->addMethod(u"who", &nativeAnswerB));
    ASSERT_TRUE(vm().registerNativeFunction(u"t_patch", &nativePatch));
    // log(o.who()); patch(); log(o.who()); patch(); log(o.who());
    KvoAssembler main(u"main");
    main.prologue().load(KvoValue(g_patchedClass)).op(NEW).op(SET, main.literal(var(u"o"))).op(POP);
    for (int i = 0; i < 3; ++i) {
        main.op(PUSH).op(REF, main.literal(var(u"t_log"))).op(PUSH).op(REF, main.literal(var(u"o")));
        emitSend(main, u"who", {});
        main.op(CALL, 1).op(POP);
        if (i < 2) {
            main.op(PUSH);
            emitCall(main, var(u"t_patch"), {});
            main.op(POP);
        }
    }
    main.op(PUSH);
    evaluate(main);
    EXPECT_EQ(g_log, u"B;D;B;");
}

bool nativeAnswerAb(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnValue(argc, args, KvoValue(new KvoString(u"ab")));
}
bool nativeAnswerCb(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnValue(argc, args, KvoValue(new KvoString(u"cb")));
}

TEST_F(InterpreterTest, MethodCacheFollowsSelectorsChangedInPlace)
{
    // The selector literal "ab" is changed in place to "cb" between two sends of it.
    KvoClass* c = makeClass(u"C");
    ASSERT_TRUE(c->addMethod(u"ab", &nativeAnswerAb));
    ASSERT_TRUE(c->addMethod(u"cb", &nativeAnswerCb));
    KvoAssembler main(u"main");
    std::uint32_t selector = main.literal(KvoValue(new KvoString(u"ab")));
    main.prologue(1).load(KvoValue(c)).op(NEW).op(TSET, 1);
    main.op(PUSH).op(LIT, selector).op(SEND, 1);
    main.op(PUSH).op(LIT, selector).op(PUSH).load(KvoValue(std::int32_t(0))).op(PUSH).load(KvoValue(std::int32_t(u'c')));
    main.op(VSET).op(POP);
    main.op(PUSH).op(TREF, 1).op(PUSH).op(LIT, selector).op(SEND, 1).op(ADD);
    EXPECT_EQ(textOf(evaluate(main)), u"abcb");
}

TEST_F(InterpreterTest, RememberedScriptMethodsFollowSelectorsChangedInPlace)
{
    // Script methods "ab" and "cb" answer their names. The selector literal "ab" is sent twice
    // through the load-and-send sequence, changed in place to "cb", sent through a plain SEND
    // and through the sequence again; then native code writes into its block unseen.
    KvoClass* c = makeClass(u"C");
    for (const KvoChar* name : {u"ab", u"cb"}) {
        KvoAssembler method(name, c);
        method.param().prologue().load(KvoValue(new KvoString(name)));
        method.op(RETURN);
        addMethod(c, name, method);
    }
    auto* text = new KvoString(u"ab");
    KvoValue held(text);
    auto sendFromTemporary = [](KvoAssembler& code, std::uint32_t selector) {
        code.op(TREF, 1).op(PUSH).op(LIT, selector).op(SEND, 1);
    };
    KvoAssembler main(u"main");
    std::uint32_t selector = main.literal(held);
    main.prologue(3).load(KvoValue(c)).op(NEW).op(TSET, 1);
    sendFromTemporary(main, selector);
    main.op(TSET, 2);
    sendFromTemporary(main, selector);
    main.op(TSET, 3);
    main.op(PUSH).op(LIT, selector).op(PUSH).load(KvoValue(std::int32_t(0))).op(PUSH).load(KvoValue(std::int32_t(u'c')));
    main.op(VSET).op(POP);
    // TREF, NOP, PUSH: no sequence, SEND on its own.
    main.op(TREF, 1).op(NOP).op(PUSH).op(LIT, selector).op(SEND, 1);
    main.op(PUSH).op(TREF, 2).op(ADD).op(PUSH).op(TREF, 3).op(ADD).op(TSET, 2);
    sendFromTemporary(main, selector);
    main.op(PUSH).op(TREF, 2).op(ADD);
    EXPECT_EQ(textOf(evaluate(main)), u"cbcbabab");

    // A block handed out for writing: the next lookups read the text every time.
    KvoChar* block = text->exposeText();
    block[0] = u'a';
    KvoAssembler again(u"main");
    selector = again.literal(held);
    again.prologue(1).load(KvoValue(c)).op(NEW).op(TSET, 1);
    sendFromTemporary(again, selector);
    EXPECT_EQ(textOf(evaluate(again)), u"ab");
    block[0] = u'c';
    EXPECT_EQ(textOf(evaluate(again)), u"cb");
}

TEST_F(InterpreterTest, CallingAnObjectSendsOpCall)
{
    KvoClass* c = makeClass(u"Fn");
    ASSERT_TRUE(c->addMethod(u"OP_CALL", &nativeWhoAmI));
    KvoAssembler main(u"main");
    main.prologue().load(KvoValue(c)).op(NEW).op(PUSH).load(KvoValue(std::int32_t(1))).op(CALL, 1);
    EXPECT_EQ(textOf(evaluate(main)), u"OP_CALL@Fn");
}

// ---- Destructors --------------------------------------------------------------------------------

TEST_F(InterpreterTest, DestructorRunsWhenAnObjectDiesDuringAScript)
{
    // class T { dtor() { log("dtor"); } }, derived U whose dtor calls the base destructor.
    KvoClass* t = makeClass(u"T");
    KvoAssembler dtor(u"dtor", t);
    dtor.param(KvoValue()).prologue();
    emitCall(dtor, var(u"t_log"), {KvoValue(new KvoString(u"T.dtor"))});
    dtor.op(RETURN);
    addMethod(t, u"dtor", dtor);
    KvoClass* u = makeClass(u"U", t);
    KvoAssembler derivedDtor(u"dtor", u);
    derivedDtor.param(KvoValue()).prologue();
    emitCall(derivedDtor, var(u"t_log"), {KvoValue(new KvoString(u"U.dtor"))});
    derivedDtor.op(POP).op(PUSH).op(AREF, 0);
    emitSend(derivedDtor, u"BC_dtor", {});
    derivedDtor.op(RETURN);
    addMethod(u, u"dtor", derivedDtor);
    // A class whose base has no destructor at all.
    KvoClass* plain = makeClass(u"P");
    KvoClass* child = makeClass(u"C", plain);
    KvoAssembler childDtor(u"dtor", child);
    childDtor.param(KvoValue()).prologue().op(AREF, 0);
    emitSend(childDtor, u"BC_dtor", {});
    childDtor.op(RETURN);
    addMethod(child, u"dtor", childDtor);

    KvoAssembler main(u"main");
    main.prologue();
    for (KvoClass* c : {t, u, child}) {
        main.load(KvoValue(c)).op(NEW).op(NIL).op(PUSH);
        emitCall(main, var(u"t_log"), {KvoValue(new KvoString(u"next"))});
        main.op(POP);
    }
    EXPECT_TRUE(evaluate(main).isNull());
    EXPECT_EQ(g_log, u"T.dtor;next;U.dtor;T.dtor;next;next;");
}

TEST_F(InterpreterTest, DestructorThatStoresItsObjectRunsOnce)
{
    // class R { dtor() { saved = this; log("dtor"); } }
    KvoClass* r = makeClass(u"R");
    KvoAssembler dtor(u"dtor", r);
    dtor.param(KvoValue()).prologue().op(AREF, 0).op(SET, dtor.literal(var(u"saved")));
    emitCall(dtor, var(u"t_log"), {KvoValue(new KvoString(u"dtor"))});
    dtor.op(RETURN);
    addMethod(r, u"dtor", dtor);

    KvoAssembler main(u"main");
    main.prologue().load(KvoValue(r)).op(NEW).op(NIL).op(PUSH);
    emitCall(main, var(u"t_log"), {KvoValue(new KvoString(u"after"))});
    main.op(RETURN);
    define(u"main", main);
    ASSERT_TRUE(run());
    EXPECT_EQ(g_log, u"dtor;after;");
    KvoValue saved = machine().global(u"saved");
    ASSERT_EQ(saved.getType(), KVT_OBJECT);
    EXPECT_EQ(saved.getObject()->getRefCnt(), 2); // the global and this copy
    EXPECT_TRUE(saved.getObject()->isFinalized());
    saved.dispose();

    // Dropping the last reference in a later run deletes it without a second destructor call.
    KvoAssembler drop(u"main");
    drop.prologue().load(KvoValue()).op(SET, drop.literal(var(u"saved"))).op(PUSH);
    emitCall(drop, var(u"t_log"), {KvoValue(new KvoString(u"dropped"))});
    drop.op(RETURN);
    define(u"main", drop);
    ASSERT_TRUE(run());
    EXPECT_EQ(g_log, u"dtor;after;dropped;");
}

TEST_F(InterpreterTest, ObjectsDyingOutsideAScriptGetNoDestructorCall)
{
    KvoClass* t = makeClass(u"T");
    KvoAssembler dtor(u"dtor", t);
    dtor.param(KvoValue()).prologue();
    emitCall(dtor, var(u"t_log"), {KvoValue(new KvoString(u"dtor"))});
    dtor.op(RETURN);
    addMethod(t, u"dtor", dtor);
    KvoValue object(new KvoObject(t));
    object.dispose();
    EXPECT_EQ(g_log, u"");
}

TEST_F(InterpreterTest, LongChainsOfDestructorsDoNotRecurse)
{
    // class N { next; dtor() { next = null; count = count + 1; } }: dropping the head of a
    // 5000-long chain runs every destructor.
    KvoClass* node = makeClass(u"N");
    ASSERT_TRUE(node->addDataMember(u"next"));
    node->fixupDataDefs();
    KvoAssembler dtor(u"dtor", node);
    dtor.param(KvoValue()).prologue().load(KvoValue()).op(MSET, 1);
    dtor.op(REF, dtor.literal(var(u"count"))).op(PUSH).load(KvoValue(std::int32_t(1))).op(ADD);
    dtor.op(SET, dtor.literal(var(u"count"))).op(RETURN);
    addMethod(node, u"dtor", dtor);
    machine().var(u"count");
    vm().symbols()[u"count"]->setValue(KvoValue(std::int32_t(0)));

    // The chain is built here; the script drops its head.
    KvoValue head;
    for (int i = 0; i < 5000; ++i) {
        KvoValue n(new KvoObject(node));
        (*n.getObject()->getMemberData())[1] = head;
        head = n;
    }
    vm().symbols()[u"head"]->setValue(head);
    head.dispose();
    KvoAssembler dropHead(u"main");
    dropHead.prologue().load(KvoValue()).op(SET, dropHead.literal(var(u"head"))).op(REF, dropHead.literal(var(u"count")));
    dropHead.op(RETURN);
    define(u"main", dropHead);
    ASSERT_TRUE(run());
    EXPECT_EQ(machine().global(u"count").getLong(), 5000);
}

TEST_F(InterpreterTest, DestructorErrorsStayOutOfTheRunningProcedure)
{
    // class Bad { dtor() { throw "from dtor"; } }
    KvoClass* bad = makeClass(u"Bad");
    KvoAssembler dtor(u"dtor", bad);
    dtor.param(KvoValue()).prologue().load(KvoValue(new KvoString(u"from dtor"))).op(THROW).op(RETURN);
    addMethod(bad, u"dtor", dtor);
    // main: try { throw "outer"; } catch (e) { drop a Bad; return e; }
    KvoAssembler main(u"main");
    int handler = main.label();
    main.prologue().jump(TRY, handler).load(KvoValue(new KvoString(u"outer"))).op(THROW);
    main.bind(handler).op(PUSH).load(KvoValue(bad)).op(NEW).op(NIL).op(POP).op(TREF, 0);
    EXPECT_EQ(textOf(evaluate(main)), u"outer");
}

TEST_F(InterpreterTest, MethodCallThroughTheProcedureItself)
{
    // Math::fact(n) { if (n < 2) return 1; return n * this.<fact itself>(n - 1); }
    KvoClass* math = makeClass(u"Math");
    KvoAssembler fact(u"fact", math);
    int recurse = fact.label();
    fact.param(KvoValue()).param().prologue().op(AREF, 1).op(PUSH).load(KvoValue(std::int32_t(2))).op(LT);
    fact.jump(BRF, recurse).load(KvoValue(std::int32_t(1))).op(RETURN);
    fact.bind(recurse).op(AREF, 1).op(PUSH).op(AREF, 0).op(PUSH).op(LIT, PROC_SELF);
    fact.op(PUSH).op(AREF, 1).op(PUSH).load(KvoValue(std::int32_t(1))).op(SUB).op(SEND, 2).op(MUL).op(RETURN);
    addMethod(math, u"fact", fact);
    KvoAssembler main(u"main");
    main.prologue().load(KvoValue(math)).op(NEW);
    emitSend(main, u"fact", {KvoValue(std::int32_t(10))});
    EXPECT_EQ(evaluate(main).getLong(), 3628800);
}

// frameInfo(): names from the calling frame's local-variable information.
bool nativeFrameInfo(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoProcInfo* frame = vm->interpreter()->getProcInfo();
    std::u16string text = frame->getName();
    text += u":";
    text += frame->getClass() ? frame->getClass()->getClassName()->c_str() : u"-";
    for (std::uint32_t i = 0; i < 3; ++i) {
        KvoString* name = frame->getArgumentName(i);
        text += u",";
        text += name ? name->c_str() : u"?";
    }
    KvoString* temp = frame->getLocalVarName(1);
    text += u",";
    text += temp ? temp->c_str() : u"?";
    KvoString* statics = frame->getLocalStaticVarName(PROC_FIRST_LITERAL);
    text += u",";
    text += statics ? statics->c_str() : u"?";
    text += frame->getCaller() ? u",called" : u",top";
    return returnValue(argc, args, KvoValue(new KvoString(text.c_str())));
}

TEST_F(InterpreterTest, FrameRecordsReadLocalVariableInformation)
{
    ASSERT_TRUE(vm().registerNativeFunction(u"t_frameInfo", &nativeFrameInfo));
    KvoAssembler f(u"f");
    f.literal(KvoValue(std::int32_t(0))); // the static "counter" at element 5
    f.param().param().prologue(1);
    emitCall(f, var(u"t_frameInfo"), {});
    f.op(RETURN);
    KvoValue procedure = f.value();
    auto* params = new KvoVector();
    params->push_back(KvoValue(new KvoString(u"a")));
    params->push_back(KvoValue(new KvoString(u"b")));
    auto* temps = new KvoVector();
    temps->push_back(KvoValue());
    temps->push_back(KvoValue(new KvoString(u"t")));
    auto* statics = new KvoDictionary();
    (*statics)[u"counter"]->setValue(KvoValue(std::int32_t(PROC_FIRST_LITERAL)));
    temps->push_back(KvoValue(statics));
    auto* info = new KvoVector();
    info->push_back(KvoValue(params));
    info->push_back(KvoValue(temps));
    KvoValue infoValue(info, true);
    ASSERT_EQ(infoValue.getType(), KVT_LOCALVARINFO);
    procedure.getVector()->push_back(infoValue);
    KvoDictionaryEntry* entry = vm().symbols()[u"f"];
    entry->setValue(procedure);
    entry->setSymbolType(SYM_FUNCTION);

    KvoAssembler main(u"main");
    main.prologue();
    emitCall(main, var(u"f"), {KvoValue(std::int32_t(1)), KvoValue(std::int32_t(2))});
    EXPECT_EQ(textOf(evaluate(main)), u"f:-,a,b,?,t,counter,called");
}

TEST_F(InterpreterTest, InterpreterStateBetweenRuns)
{
    KvoAssembler main(u"main");
    main.prologue().load(KvoValue(std::int32_t(11)));
    main.op(RETURN);
    define(u"main", main);
    auto* interpreter = new KvoInterpreter(vm(), vm().symbols(), vm().classes(), &vm());
    // A cancel requested before execute is cleared by its reset.
    interpreter->cancel();
    EXPECT_TRUE(interpreter->execute(u"main", 0, nullptr));
    EXPECT_EQ(interpreter->getSP()->getLong(), 11);
    EXPECT_EQ(interpreter->getProcInfo(), nullptr);
    EXPECT_EQ(interpreter->getSP().current(), 0);
    // A symbol that is no function fails without an error.
    machine().var(u"notAFunction");
    EXPECT_FALSE(interpreter->execute(u"notAFunction", 0, nullptr));
    EXPECT_EQ(std::u16string(interpreter->errors().c_str()), u"");
    EXPECT_TRUE(interpreter->badType(KVT_FLOAT, KVT_STRING) == false);
    EXPECT_EQ(std::u16string(interpreter->errors().c_str()), u"invalid value type KVT_FLOAT, KVT_STRING expected\n");
    KvoValue vector(new KvoVector());
    KvoValue string(new KvoString(u"s"));
    EXPECT_TRUE(interpreter->checkType(KvoValue(vector.getVector(), false, true), KVT_VECTOR));
    EXPECT_FALSE(interpreter->checkType(KvoValue(string.getString(), true), KVT_STRING)); // only itself
    EXPECT_FALSE(interpreter->noMethod(u"m"));
    EXPECT_EQ(std::u16string(interpreter->errors().c_str()), u"no method for name m\n");
    interpreter->reset();
    EXPECT_EQ(std::u16string(interpreter->errors().c_str()), u"");
    delete interpreter;
}

// ---- Cancellation, limits and malformed code ----------------------------------------------------

TEST_F(InterpreterTest, CancelFromAnotherThreadStopsTheScript)
{
    KvoAssembler main(u"main");
    int loop = main.label();
    main.prologue().bind(loop).load(KvoValue(std::int32_t(1))).jump(BR, loop);
    define(u"main", main);
    vm().cancel(); // no script runs: nothing to cancel, and nothing is remembered
    std::atomic<bool> started{false};
    std::thread canceller([&] {
        while (!vm().interpreter())
            std::this_thread::yield();
        started = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        vm().cancel();
    });
    EXPECT_TRUE(run());
    canceller.join();
    EXPECT_TRUE(started);
    EXPECT_EQ(vm().interpreter(), nullptr);

    KvoAssembler quick(u"main");
    quick.prologue().load(KvoValue(std::int32_t(3)));
    EXPECT_EQ(evaluate(quick).getLong(), 3); // the old request does not stop the next run
}

TEST_F(InterpreterTest, DeepRecursionRaisesStackOverflow)
{
    // rec() { return rec(); }  main: try { rec(); } catch (e) { return e; }
    KvoAssembler rec(u"rec");
    rec.prologue();
    emitCall(rec, var(u"rec"), {});
    rec.op(RETURN);
    define(u"rec", rec);
    KvoAssembler main(u"main");
    int handler = main.label();
    main.prologue().jump(TRY, handler).op(PUSH);
    emitCall(main, var(u"rec"), {});
    main.op(RETURN).bind(handler).op(TREF, 0);
    EXPECT_EQ(textOf(evaluate(main)), u"stack overflow");

    // Several thousand nested calls are fine: count(n) { if (n) return count(n - 1) + 1; return 0; }
    KvoAssembler count(u"count");
    int zero = count.label();
    count.param().prologue().op(AREF, 0).jump(BRF, zero).op(PUSH);
    count.op(REF, count.literal(var(u"count"))).op(PUSH).op(AREF, 0).op(PUSH).load(KvoValue(std::int32_t(1)));
    count.op(SUB).op(CALL, 1).op(PUSH).load(KvoValue(std::int32_t(1))).op(ADD).op(RETURN);
    count.bind(zero).op(RETURN);
    define(u"count", count);
    KvoAssembler deep(u"main");
    deep.prologue();
    emitCall(deep, var(u"count"), {KvoValue(std::int32_t(50000))});
    EXPECT_EQ(evaluate(deep).getLong(), 50000);
}

// reenter(): calls the global script function "back" through invoke.
bool nativeReenter(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoValue result;
    if (!vm->interpreter()->invoke(result, u"back", nullptr))
        return false;
    return returnValue(argc, args, result);
}

TEST_F(InterpreterTest, NativeReentryIsLimited)
{
    ASSERT_TRUE(vm().registerNativeFunction(u"t_reenter", &nativeReenter));
    KvoAssembler back(u"back");
    back.prologue();
    emitCall(back, var(u"t_reenter"), {});
    back.op(RETURN);
    define(u"back", back);
    KvoAssembler main(u"main");
    int handler = main.label();
    main.prologue().jump(TRY, handler).op(PUSH);
    emitCall(main, var(u"back"), {});
    main.op(RETURN).bind(handler).op(TREF, 0);
    EXPECT_EQ(textOf(evaluate(main)), u"stack overflow");
}

TEST_F(InterpreterTest, MalformedCodeRaisesInvalidBytecode)
{
    auto expectInvalid = [&](KvoAssembler& main, const char* what) {
        define(u"main", main);
        EXPECT_FALSE(run()) << what;
        EXPECT_EQ(errors(), u"invalid bytecode\n") << what;
    };
    {
        KvoAssembler main(u"main");
        main.prologue().address(BR, 1000);
        expectInvalid(main, "jump past the code");
    }
    {
        KvoAssembler main(u"main");
        main.prologue().op(BRT).bytes(0, 2);
        expectInvalid(main, "address cut off by the end");
    }
    {
        KvoAssembler main(u"main");
        main.prologue().op(RDWORD).op(LIT).bytes(1, 2);
        expectInvalid(main, "operand cut off by the end");
    }
    {
        KvoAssembler main(u"main");
        main.prologue().op(LIT, 40).op(RETURN);
        expectInvalid(main, "literal index outside the procedure");
    }
    {
        KvoAssembler main(u"main");
        main.prologue().op(SSET, 0).op(RETURN);
        expectInvalid(main, "store over the code element");
    }
    {
        KvoAssembler main(u"main");
        main.op(POP).op(POP).op(RETURN);
        expectInvalid(main, "pop below the frame");
    }
    {
        KvoAssembler main(u"main");
        main.prologue().op(CALL, 10).op(RETURN);
        expectInvalid(main, "call count past the frame");
    }
    {
        KvoAssembler main(u"main");
        main.prologue().op(TREF, 5).op(RETURN);
        expectInvalid(main, "temporary outside the frame");
    }
    {
        KvoAssembler main(u"main");
        main.prologue().op(NOP);
        expectInvalid(main, "running off the end of the code");
    }
    {
        // A procedure whose code element is not a buffer.
        KvoAssembler main(u"main");
        main.prologue().op(RETURN);
        KvoValue procedure = main.value();
        (*procedure.getVector())[PROC_CODE] = KvoValue(std::int32_t(1));
        KvoDictionaryEntry* entry = vm().symbols()[u"main"];
        entry->setValue(procedure);
        entry->setSymbolType(SYM_FUNCTION);
        EXPECT_FALSE(run());
        EXPECT_EQ(errors(), u"invalid bytecode\n");
    }
    {
        // A wide TSPACE asks for more slots than the stack may have.
        KvoAssembler main(u"main");
        main.opWidth(TSPACE, 0x7FFFFFFF, 4).op(RETURN);
        define(u"main", main);
        EXPECT_FALSE(run());
        EXPECT_EQ(errors(), u"stack overflow\n");
    }
}

// ---- Debugging hooks ----------------------------------------------------------------------------

int g_waits = 0;
int g_breaks = 0;
std::string g_lineSource;
std::int32_t g_line = 0;

bool countingWait()
{
    return ++g_waits < 3; // three traced instructions in single-step mode, then run on
}
bool breakOnce()
{
    return ++g_breaks == 1;
}
bool lineChanged(const char* source, std::int32_t line)
{
    g_lineSource = source;
    g_line = line;
    return false;
}

TEST_F(InterpreterTest, TraceAndLineHooks)
{
    g_waits = g_breaks = 0;
    KvoAssembler main(u"main");
    main.prologue().op(PUSH).load(KvoValue(new KvoString(u"file.kvo"))).op(NEWLINE, 12);
    main.load(KvoValue(std::int32_t(1))).op(PUSH).load(KvoValue(std::int32_t(2))).op(ADD).op(RETURN);
    define(u"main", main);

    KvoStringPrinter trace;
    EXPECT_EQ(vm().setLineChangedProc(&lineChanged), nullptr);
    ASSERT_TRUE(vm().execute(u"main", 0, nullptr, true, nullptr, &trace));
    EXPECT_EQ(vm().getResult().getLong(), 3);
    std::u16string traced = trace.c_str();
    EXPECT_NE(traced.find(u"NEWLINE"), std::u16string::npos);
    EXPECT_NE(traced.find(u"ADD"), std::u16string::npos);
    EXPECT_EQ(g_lineSource, "file.kvo");
    EXPECT_EQ(g_line, 12);
    EXPECT_EQ(std::u16string(vm().getCurrentSource().c_str()), u"file.kvo");
    EXPECT_EQ(vm().getCurrentLine(), 12);

    // A break request enters single-step mode; the wait procedure keeps it for two more steps.
    EXPECT_EQ(vm().setBreakRequestProc(&breakOnce), nullptr);
    EXPECT_EQ(vm().setDbgWaitProc(&countingWait), nullptr);
    ASSERT_TRUE(vm().execute(u"main", 0, nullptr, false, nullptr, &trace));
    EXPECT_EQ(g_waits, 3);
    EXPECT_GT(g_breaks, 1); // asked again once stepping ended
    EXPECT_EQ(vm().setBreakRequestProc(nullptr), &breakOnce);
    EXPECT_EQ(vm().setDbgWaitProc(nullptr), &countingWait);
    EXPECT_EQ(vm().setLineChangedProc(nullptr), &lineChanged);
    EXPECT_FALSE(vm().isInDbg());
}

int g_breakAt = 0;
bool breakOnCall()
{
    return ++g_breaks == g_breakAt;
}
bool stopStepping()
{
    return false;
}

// Regression: stepping that a break request started traced with the procedure the debugger had
// remembered from an earlier trace, which a compile had freed in between.
TEST_F(InterpreterTest, SteppingStartedByTheHostTracesTheRunningProcedure)
{
    ASSERT_TRUE(vm().compileText(u"old() { TRON; x = 1; TROFF; return 0; }\n"
                                 u"main(; y) { old(); compile(\"old() { return 2; }\"); y = 40; return y + 2; }\n"));
    // First, count the instructions asked about, so the break lands after the compile.
    g_breaks = 0;
    g_breakAt = -1;
    KvoStringPrinter quiet;
    EXPECT_EQ(vm().setBreakRequestProc(&breakOnCall), nullptr);
    ASSERT_TRUE(vm().execute(u"main", 0, nullptr, false, nullptr, &quiet));
    const int asked = g_breaks;
    ASSERT_TRUE(vm().compileText(u"old() { TRON; x = 1; TROFF; return 0; }\n"));

    g_breaks = 0;
    g_breakAt = asked - 3; // among main's last instructions
    KvoStringPrinter trace;
    EXPECT_EQ(vm().setDbgWaitProc(&stopStepping), nullptr);
    ASSERT_TRUE(vm().execute(u"main", 0, nullptr, false, nullptr, &trace));
    EXPECT_EQ(vm().getResult().getLong(), 42);
    std::u16string traced = trace.c_str();
    const std::size_t announced = traced.rfind(u"-->current proc ");
    ASSERT_NE(announced, std::u16string::npos) << KvoString(traced.c_str()).a_str();
    EXPECT_EQ(traced.compare(announced, 26, u"-->current proc ::main, 0 "), 0) << KvoString(traced.c_str()).a_str();
    vm().setBreakRequestProc(nullptr);
    vm().setDbgWaitProc(nullptr);
}

int g_windowWaits = 0;
int g_windowBreaks = 0;
LPARAM g_windowLine = 0;

// A debug window: starts stepping at a line change and answers two waits with "go on stepping".
LRESULT debugWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == KvoVirtualMachine::getLineChangedMsg()) {
        g_windowLine = lParam;
        return msg;
    }
    if (msg == KvoVirtualMachine::getDbgWaitMsg())
        return ++g_windowWaits < 3 ? static_cast<LRESULT>(msg) : 0;
    if (msg == KvoVirtualMachine::getBreakRequestMsg()) {
        ++g_windowBreaks;
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

TEST_F(InterpreterTest, DebugWindowMessages)
{
    g_windowWaits = g_windowBreaks = 0;
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &debugWindowProc;
    windowClass.lpszClassName = u"KvoInterpreterTestDebugWindow";
    ASSERT_NE(RegisterClassW(&windowClass), 0);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, u"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_NE(KvoVirtualMachine::getDbgWaitMsg(), KvoVirtualMachine::getLineChangedMsg());

    KvoAssembler main(u"main");
    main.prologue().op(PUSH).load(KvoValue(new KvoString(u"w.kvo"))).op(NEWLINE, 7);
    main.load(KvoValue(std::int32_t(1))).op(PUSH).load(KvoValue(std::int32_t(2))).op(ADD).op(RETURN);
    define(u"main", main);
    vm().setDbgWindow(window);
    EXPECT_EQ(vm().getDbgWindow(), window);
    ASSERT_TRUE(run());
    EXPECT_EQ(result().getLong(), 3);
    EXPECT_EQ(g_windowLine, 7);
    EXPECT_EQ(g_windowWaits, 3);
    EXPECT_GT(g_windowBreaks, 0); // a window allows break requests
    vm().setDbgWindow(nullptr);
    DestroyWindow(window);
    UnregisterClassW(windowClass.lpszClassName, nullptr);
}

TEST_F(InterpreterTest, TronStartsTracingInsideTheCode)
{
    KvoAssembler main(u"main");
    main.prologue().op(TRON).load(KvoValue(std::int32_t(5))).op(TROFF).op(PUSH).op(POP).op(RETURN);
    define(u"main", main);
    KvoStringPrinter trace;
    ASSERT_TRUE(vm().execute(u"main", 0, nullptr, false, nullptr, &trace));
    std::u16string traced = trace.c_str();
    EXPECT_NE(traced.find(u"LIT"), std::u16string::npos);
    EXPECT_NE(traced.find(u"TROFF"), std::u16string::npos);
    EXPECT_EQ(traced.find(u"POP"), std::u16string::npos); // off again
}

// ---- Host entry points --------------------------------------------------------------------------

// probe(): exercises the invoke family from inside a running script and returns a summary.
bool nativeProbe(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoInterpreter* interpreter = vm->interpreter();
    std::u16string out;
    KvoValue result;
    auto* arguments = new KvoVector();
    KvoValue holdArguments(arguments);
    arguments->push_back(KvoValue(std::int32_t(20)));
    arguments->push_back(KvoValue(std::int32_t(22)));
    if (interpreter->invoke(result, u"t_sum", arguments))
        out += textOf(result) + u";";
    if (!interpreter->invoke(result, u"nope", nullptr))
        out += textOf(interpreter->getException()) + u";";
    if (!interpreter->invoke(result, nullptr, nullptr))
        out += textOf(interpreter->getException()) + u";";
    if (!interpreter->createObject(result, u"Nowhere", nullptr))
        out += textOf(interpreter->getException()) + u";";
    if (!interpreter->createObject(result, static_cast<KvoClass*>(nullptr), nullptr))
        out += textOf(interpreter->getException()) + u";";
    if (!interpreter->invokeMember(result, nullptr, u"x", nullptr))
        out += textOf(interpreter->getException()) + u";";
    KvoClass* statics = vm->classes().find(u"S")->getValue().getClass();
    if (interpreter->invokeStatic(result, statics, u"make", arguments))
        out += textOf(result) + u";";
    if (!interpreter->invokeStatic(result, statics, u"absent", nullptr))
        out += textOf(interpreter->getException()) + u";";
    if (!interpreter->invokeStatic(result, statics, u"inst", nullptr))
        out += textOf(interpreter->getException()) + u";";
    if (interpreter->createObject(result, u"S", arguments))
        out += textOf(result).substr(0, 11) + u";";
    return returnValue(argc, args, KvoValue(new KvoString(out.c_str())));
}

TEST_F(InterpreterTest, InvokeFamilyFromANative)
{
    KvoClass* s = makeClass(u"S");
    ASSERT_TRUE(s->addStaticMethod(u"make", &nativeSum));
    ASSERT_TRUE(s->addMethod(u"inst", &nativeSum));
    ASSERT_TRUE(s->addMethod(u"S", &nativeWhoAmI));
    ASSERT_TRUE(vm().registerNativeFunction(u"t_probe", &nativeProbe));
    KvoAssembler main(u"main");
    main.prologue().load(KvoValue(std::int32_t(9))).op(PUSH);
    emitCall(main, var(u"t_probe"), {});
    EXPECT_EQ(textOf(evaluate(main)), u"42;Symbol 'nope' not found.;Missing function name;Class 'Nowhere' not found.;"
                                      u"Invalid argument (pclass == NULL).;Missing function object reference;42;"
                                      u"Symbol 'absent' not found in class 'S'.;"
                                      u"Symbol 'inst' not a static member of class 'S'.;S@S;");
}

// toString(): a text naming the object.
bool nativeToString(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnValue(argc, args, KvoValue(new KvoString(u"<a shape>")));
}

TEST_F(InterpreterTest, ThrownObjectsUseTheirToString)
{
    KvoClass* shape = makeClass(u"Shape");
    ASSERT_TRUE(shape->addMethod(u"toString", &nativeToString));
    KvoAssembler main(u"main");
    main.prologue().load(KvoValue(shape)).op(NEW).op(THROW).op(RETURN);
    define(u"main", main);
    EXPECT_FALSE(run());
    EXPECT_EQ(errors(), u"<a shape>\n");

    KvoClass* plain = makeClass(u"Plain");
    KvoAssembler other(u"main");
    other.prologue().load(KvoValue(plain)).op(NEW).op(THROW).op(RETURN);
    define(u"main", other);
    EXPECT_FALSE(run());
    EXPECT_EQ(errors().substr(0, 11), u"KVT_OBJECT:");
}

} // namespace
