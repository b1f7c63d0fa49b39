// The interpreter's execution form of procedure code: internal instructions for common
// sequences, the end marker, and rebuilding after the code changes.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "KvoAssembler.h"
#include "vm/KvoExecutionForm.h"
#include "vm/KvoOpCode.h"

namespace {

std::vector<std::uint8_t> translate(const std::vector<std::uint8_t>& code)
{
    std::vector<std::uint8_t> form(code.size() + 1);
    kvoTranslateCode(code.data(), static_cast<std::uint32_t>(code.size()), form.data());
    return form;
}

// The code buffer of the global function name.
KvoBuffer* codeOf(KvoTestMachine& machine, const KvoChar* name)
{
    KvoValue procedure = machine.global(name);
    return (*procedure.getVector())[PROC_CODE].getBuffer();
}

// main calls f(40) and returns its result.
void defineCallOfF(KvoTestMachine& machine)
{
    KvoAssembler main(u"main");
    main.prologue().op(REF, main.literal(machine.var(u"f"))).op(PUSH).load(KvoValue(std::int32_t(40)));
    main.op(CALL, 1).op(RETURN);
    machine.define(u"main", main);
}

std::int64_t runMain(KvoTestMachine& machine)
{
    EXPECT_TRUE(machine.run()) << KvoString(machine.errors().c_str()).a_str();
    return machine.result().getLong();
}

} // namespace

TEST(ExecutionFormTest, SequencesEndsAndForeignBytes)
{
    // PUSH TREF 1 ADD, PUSH LIT 2 LT, then TREF 3 INC TSET 3 and TSET 4 BR 0.
    std::vector<std::uint8_t> code = {PUSH, TREF, 1, ADD, PUSH, LIT, 2, LT, TREF, 3, INC, TSET, 3,
                                      TSET, 4,    BR, 0,   0,    0,   0};
    std::vector<std::uint8_t> form = translate(code);
    EXPECT_EQ(form[0], PUSH_TREF_ADD);
    EXPECT_EQ(form[4], PUSH_LIT_LT);
    EXPECT_EQ(form[8], TREF_INC_TSET);
    EXPECT_EQ(form[13], TSET_BR);
    EXPECT_EQ(form[20], END_OF_CODE);
    // Only the first opcode of a sequence changes; the bytes after it keep their meaning.
    EXPECT_EQ(form[1], TREF);
    EXPECT_EQ(form[3], ADD);
    for (std::size_t at : {0u, 4u, 8u, 13u})
        EXPECT_EQ(designedOpcodeOf(form[at]), code[at]) << at;

    // A step between two different temporaries is no counter; a sequence cut off by the end
    // of the code is none either.
    EXPECT_EQ(translate({TREF, 3, INC, TSET, 4, RETURN})[0], TREF);
    EXPECT_EQ(translate({PUSH, TREF, 1})[0], PUSH_TREF);
    EXPECT_EQ(translate({PUSH, TREF})[0], PUSH);
    // Four instructions: an element of a global vector.
    std::vector<std::uint8_t> element = translate({REF, 7, PUSH, TREF, 2, VREF, PUSH, REF, 7});
    EXPECT_EQ(element[0], REF_PUSH_TREF_VREF);
    EXPECT_EQ(element[2], PUSH_TREF_VREF);
    EXPECT_EQ(element[6], PUSH_REF);
    // A global function about to be called with n - 1: the longer sequence after REF, PUSH wins.
    std::vector<std::uint8_t> call = translate({REF, 7, PUSH, AREF, 0, PUSH, LIT, 1, SUB, CALL, 1});
    EXPECT_EQ(call[0], REF_PUSH);
    EXPECT_EQ(call[3], AREF_PUSH_LIT_SUB);
    // An element store: the value's PUSH and load go with the VSET, not with the index's PUSH.
    std::vector<std::uint8_t> store = translate({TREF, 1, PUSH, TREF, 2, PUSH, LIT, 3, VSET, PUSH, TREF, 4, VSET});
    EXPECT_EQ(store[2], PUSH_TREF);
    EXPECT_EQ(store[5], PUSH_LIT_VSET);
    EXPECT_EQ(store[9], PUSH_TREF_VSET);
    // From the container's load on, the six instructions of `v[i] = 0` are one.
    EXPECT_EQ(store[0], TREF_PUSH_TREF_PUSH_LIT_VSET);
    EXPECT_EQ(translate({TREF, 1, PUSH, TREF, 2, PUSH, TREF, 3, VSET})[0], TREF_PUSH_TREF_PUSH_TREF_VSET);
    EXPECT_EQ(translate({TREF, 1, PUSH, TREF, 2, VREF, BRF, 0, 0, 0, 0})[0], TREF_PUSH_TREF_VREF);
    // A container and an index pushed before the value is worked out; with a literal or a
    // temporary as the value, the whole store is one.
    EXPECT_EQ(translate({REF, 1, PUSH, TREF, 2, PUSH, TREF, 3, PUSH, LIT, 4, SUB, VSET})[0], REF_PUSH_TREF_PUSH);
    EXPECT_EQ(translate({TREF, 1, PUSH, TREF, 2, PUSH, TREF, 3, PUSH, LIT, 4, SUB, VSET})[0], TREF_PUSH_TREF_PUSH);
    EXPECT_EQ(translate({TREF, 1, PUSH, TREF, 2, PUSH, TREF, 3, VSET})[0], TREF_PUSH_TREF_PUSH_TREF_VSET);
    // A top combined with an inner operator's result, or with an element of a global vector.
    EXPECT_EQ(translate({PUSH, TREF, 1, PUSH, TREF, 2, MUL, ADD})[0], PUSH_TREF_PUSH_TREF_MUL_ADD);
    EXPECT_EQ(translate({PUSH, TREF, 1, PUSH, LIT, 2, REM, ADD})[0], PUSH_TREF_PUSH_LIT_REM_ADD);
    EXPECT_EQ(translate({PUSH, TREF, 1, PUSH, LIT, 2, REM, SUB})[0], PUSH_TREF);
    EXPECT_EQ(translate({PUSH, REF, 1, PUSH, TREF, 2, VREF, SUB})[0], PUSH_REF_PUSH_TREF_VREF_SUB);
    // A data member changed by a literal; a method sent to a temporary, with a literal argument.
    EXPECT_EQ(translate({MREF, 1, PUSH, LIT, 2, ADD, MSET, 1})[0], MREF_PUSH_LIT_ADD);
    EXPECT_EQ(translate({TREF, 1, PUSH, LIT, 2, SEND, 1})[0], TREF_PUSH_LIT_SEND);
    EXPECT_EQ(translate({TREF, 1, PUSH, LIT, 2, PUSH, LIT, 3, SEND, 2})[0], TREF_PUSH_LIT_PUSH_LIT_SEND);
    // A loop's step by a temporary or a literal and the jump back; a sum stored elsewhere is
    // no step.
    EXPECT_EQ(translate({TREF, 1, PUSH, TREF, 2, ADD, TSET, 1, BR, 0, 0, 0, 0})[0], TREF_PUSH_TREF_ADD_TSET_BR);
    EXPECT_EQ(translate({TREF, 1, PUSH, LIT, 2, ADD, TSET, 1, BR, 0, 0, 0, 0})[0], TREF_PUSH_LIT_ADD_TSET_BR);
    EXPECT_EQ(translate({TREF, 1, PUSH, TREF, 2, ADD, TSET, 3, BR, 0, 0, 0, 0})[0], TREF_PUSH_TREF_ADD);
    // A variable stored and read back at once; another variable's read is no part of the store.
    EXPECT_EQ(translate({MSET, 1, MREF, 1, RETURN})[0], MSET_MREF);
    EXPECT_EQ(translate({MSET, 1, MREF, 2, RETURN})[0], MSET);
    EXPECT_EQ(translate({TSET, 3, TREF, 3, RETURN})[0], TSET_TREF);
    EXPECT_EQ(translate({TSET, 3, TREF, 4, RETURN})[0], TSET);
    // Two loads and an operator; the sequence from the PUSH on is marked too.
    std::vector<std::uint8_t> operands = translate({AREF, 0, PUSH, LIT, 1, SUB, TREF, 1, PUSH, TREF, 2, LT});
    EXPECT_EQ(operands[0], AREF_PUSH_LIT_SUB);
    EXPECT_EQ(operands[2], PUSH_LIT_SUB);
    EXPECT_EQ(operands[6], TREF_PUSH_TREF_LT);

    // Opcodes whose operand would run past the end become END_OF_CODE; byte values that are
    // internal instructions are no opcode in stored code and become NOP.
    EXPECT_EQ(translate({NOP, LIT})[1], END_OF_CODE);
    EXPECT_EQ(translate({BR, 0, 0, 0})[0], END_OF_CODE);
    EXPECT_EQ(translate({BR, 5, 0, 0, 0})[0], BR);
    EXPECT_EQ(translate({PUSH_TREF_ADD, RETURN})[0], NOP);
    EXPECT_EQ(translate({END_OF_CODE})[0], NOP);
}

TEST(ExecutionFormTest, JumpsInsideTheCodeKnowTheirDirection)
{
    // BRT ahead, BRF back to the start, BR ahead to the last jump, which leads past the end and
    // keeps its checks.
    std::vector<std::uint8_t> jumps = translate({BRT, 10, 0, 0, 0, BRF, 0, 0, 0, 0, BR, 15, 0, 0, 0, BR, 20, 0, 0, 0});
    EXPECT_EQ(jumps[0], BRT_AHEAD);
    EXPECT_EQ(jumps[5], BRF_BACK);
    EXPECT_EQ(jumps[10], BR_AHEAD);
    EXPECT_EQ(jumps[15], BR);
    EXPECT_EQ(designedOpcodeOf(jumps[0]), BRT);
    EXPECT_EQ(designedOpcodeOf(jumps[5]), BRF);
    EXPECT_EQ(designedOpcodeOf(jumps[10]), BR);
    // The loop counts a jump as going back when it leads before the end of its operand: to
    // itself or into its own operand (then it looks at host requests, as any loop does).
    EXPECT_EQ(translate({BR, 0, 0, 0, 0})[0], BR_BACK);
    EXPECT_EQ(translate({BRT, 4, 0, 0, 0})[0], BRT_BACK);
    EXPECT_EQ(translate({BRF, 5, 0, 0, 0, RETURN})[0], BRF_AHEAD);
    // The last byte of a step's jump back becomes part of the step.
    std::vector<std::uint8_t> step = translate({TREF, 1, PUSH, LIT, 2, ADD, TSET, 1, BR, 0, 0, 0, 0});
    EXPECT_EQ(step[0], TREF_PUSH_LIT_ADD_TSET_BR);
    EXPECT_EQ(step[8], BR_BACK);
}

TEST(ExecutionFormTest, AJumpChangedToLeaveTheCodeIsCheckedAgain)
{
    // The form found the jump's target inside the code; once the stored target leads past the
    // end, the rebuilt form leaves the jump to its checks.
    KvoTestMachine machine;
    KvoAssembler main(u"main");
    int done = main.label();
    main.prologue();
    std::uint32_t jumpAt = main.offset();
    main.jump(BR, done).load(KvoValue(std::int32_t(1))).op(RETURN);
    main.bind(done).load(KvoValue(std::int32_t(2))).op(RETURN);
    machine.define(u"main", main);
    EXPECT_EQ(runMain(machine), 2);
    KvoBuffer* code = codeOf(machine, u"main");
    (*code)[jumpAt + 2] = 0x10;
    EXPECT_FALSE(machine.run());
    EXPECT_EQ(machine.errors(), u"invalid bytecode\n");
}

TEST(ExecutionFormTest, WideOperandsAreNeverReadAsASequence)
{
    // RWORD TREF 0x0501: with one-byte operands the bytes would read TREF 1, PUSH, TREF 2, ADD,
    // which the form marks. At width two the TREF's temporary lies outside the frame.
    KvoTestMachine machine;
    KvoAssembler main(u"main");
    main.prologue(3).load(KvoValue(std::int32_t(7))).op(TSET, 1).load(KvoValue(std::int32_t(5))).op(TSET, 2);
    main.op(RWORD).op(TREF).op(1).op(PUSH).op(TREF).op(2).op(ADD).op(RBYTE).op(RETURN);
    machine.define(u"main", main);
    EXPECT_FALSE(machine.run());
    EXPECT_EQ(machine.errors(), u"invalid bytecode\n");
    // The same bytes without the width instruction are the sum.
    KvoTestMachine narrow;
    KvoAssembler sum(u"main");
    sum.prologue(3).load(KvoValue(std::int32_t(7))).op(TSET, 1).load(KvoValue(std::int32_t(5))).op(TSET, 2);
    sum.op(TREF).op(1).op(PUSH).op(TREF).op(2).op(ADD).op(RBYTE).op(RETURN);
    narrow.define(u"main", sum);
    EXPECT_EQ(runMain(narrow), 12);
}

TEST(ExecutionFormTest, CallsKeepTheFormCurrent)
{
    // Regression: a call that entered a procedure outside the loop's own path (the first call at
    // a new depth) read the code through its writable view, which counts a change, so that
    // every such call made the whole form again.
    KvoTestMachine machine;
    KvoAssembler f(u"f");
    f.param().prologue().op(AREF, 0).op(PUSH).load(KvoValue(std::int32_t(2))).op(ADD).op(RETURN);
    machine.define(u"f", f);
    defineCallOfF(machine);
    const KvoBuffer* code = codeOf(machine, u"f");
    std::uint32_t changes = code->changes();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(runMain(machine), 42);
    EXPECT_EQ(code->changes(), changes);
    EXPECT_NE(code->executionForm(), nullptr);
}

TEST(ExecutionFormTest, ACodeChangeIsSeenByTheNextCall)
{
    KvoTestMachine machine;
    KvoAssembler f(u"f");
    f.param().prologue().op(AREF, 0).op(PUSH).load(KvoValue(std::int32_t(2)));
    std::uint32_t operatorAt = f.offset();
    f.op(ADD).op(RETURN);
    machine.define(u"f", f);
    defineCallOfF(machine);
    EXPECT_EQ(runMain(machine), 42);

    // A store through the buffer's own accessors.
    KvoBuffer* code = codeOf(machine, u"f");
    (*code)[operatorAt] = SUB;
    EXPECT_EQ(runMain(machine), 38);

    // A store through an address handed out earlier, which the buffer cannot see.
    std::uint8_t* bytes = code->exposeBytes();
    EXPECT_EQ(runMain(machine), 38);
    bytes[operatorAt] = MUL;
    EXPECT_EQ(runMain(machine), 80);

    // A longer buffer: the form grows with it.
    code->setSize(operatorAt);
    code->push_back(DIV);
    code->push_back(NOP);
    code->push_back(RETURN);
    EXPECT_EQ(runMain(machine), 20);
}

TEST(ExecutionFormTest, TheUsualPrologueIsReadWithTheFormAndFollowsCodeChanges)
{
    std::vector<std::uint8_t> code = {RDWORD, TSPACE, 3, 0, 0, 0, RBYTE, PUSH, RETURN};
    EXPECT_EQ(kvoUsualPrologue(code.data(), 9), 3u);
    EXPECT_EQ(kvoUsualPrologue(code.data(), 7), KVO_NO_USUAL_PROLOGUE);
    code[6] = NOP;
    EXPECT_EQ(kvoUsualPrologue(code.data(), 9), KVO_NO_USUAL_PROLOGUE);

    // f(x) stores x in temporary 2 and returns it; then its prologue keeps one temporary only,
    // so the store is out of the frame and fails. Each change is run twice: the first call
    // after it makes the new form, the second enters through what that form says.
    KvoTestMachine machine;
    KvoAssembler f(u"f");
    f.param().prologue(2).op(AREF, 0).op(TSET, 2).op(TREF, 2).op(RETURN);
    machine.define(u"f", f);
    defineCallOfF(machine);
    EXPECT_EQ(runMain(machine), 40);
    KvoBuffer* bytes = codeOf(machine, u"f");
    EXPECT_EQ((*bytes)[2], 3);
    (*bytes)[2] = 1;
    EXPECT_FALSE(machine.run());
    EXPECT_FALSE(machine.run());
    (*bytes)[2] = 3;
    EXPECT_EQ(runMain(machine), 40);
    EXPECT_EQ(runMain(machine), 40);
}

TEST(ExecutionFormTest, JumpsIntoASequenceAndOperandsThatLookLikeOne)
{
    KvoTestMachine machine;
    // 30 and 12 on the stack, temporary 1 holds 5: PUSH TREF 1 ADD from its start adds 12 and
    // 5; a jump to its TREF replaces 12 by 5 and adds 30.
    for (bool intoTheMiddle : {false, true}) {
        KvoAssembler main(u"main");
        int middle = main.label();
        main.prologue(2).load(KvoValue(std::int32_t(5))).op(TSET, 1);
        main.load(KvoValue(std::int32_t(30))).op(PUSH).load(KvoValue(std::int32_t(12)));
        if (intoTheMiddle)
            main.jump(BR, middle);
        main.op(PUSH).bind(middle).op(TREF, 1).op(ADD).op(RETURN);
        machine.define(u"main", main);
        EXPECT_EQ(runMain(machine), intoTheMiddle ? 35 : 17);
    }

    // TREF 5 TREF 1 ADD: the operand 5 is PUSH's number, so from the operand on the bytes read
    // PUSH TREF 1 ADD and the form marks that offset. The operand must still be read as 5.
    KvoAssembler main(u"main");
    main.prologue(6).load(KvoValue(std::int32_t(100))).op(TSET, 5).load(KvoValue(std::int32_t(7))).op(TSET, 1);
    std::uint32_t at = main.offset();
    main.op(PUSH).op(TREF, 5).op(TREF, 1).op(ADD).op(RETURN);
    machine.define(u"main", main);
    KvoBuffer* code = codeOf(machine, u"main");
    std::vector<std::uint8_t> bytes(code->size());
    for (std::uint32_t i = 0; i < code->size(); ++i)
        bytes[i] = static_cast<const KvoBuffer*>(code)->data()[i];
    ASSERT_EQ(translate(bytes)[at + 2], PUSH_TREF_ADD);
    EXPECT_EQ(runMain(machine), 14);
}

TEST(ExecutionFormTest, CodeCutOffInsideAnInstructionIsInvalid)
{
    KvoTestMachine machine;
    auto expectInvalid = [&](KvoAssembler& main, const char* what) {
        machine.define(u"main", main);
        EXPECT_FALSE(machine.run()) << what;
        EXPECT_EQ(machine.errors(), u"invalid bytecode\n") << what;
    };
    {
        KvoAssembler main(u"main");
        main.prologue().op(PUSH).op(LIT);
        expectInvalid(main, "a literal index cut off");
    }
    {
        KvoAssembler main(u"main");
        main.prologue().op(BR).bytes(0, 2);
        expectInvalid(main, "an address cut off");
    }
    {
        KvoAssembler main(u"main");
        main.prologue(1).op(PUSH).op(TREF, 1);
        expectInvalid(main, "a sequence's beginning, then the end");
    }
    {
        // PUSH TREF 9 ADD with temporary 9 outside the frame: the single instructions decide.
        KvoAssembler main(u"main");
        main.prologue(1).op(PUSH).op(TREF, 9).op(ADD).op(RETURN);
        expectInvalid(main, "a fused load outside the frame");
    }
}

TEST(ExecutionFormTest, LoadsAfterTheFirstSeeTheTopAsTheSingleInstructionsLeaveIt)
{
    // Regression: REF g, PUSH, TREF i, VREF read temporary i before REF had stored g into the
    // top, so with i naming the top's slot it indexed g by the top's old value instead of by g.
    KvoTestMachine machine;
    auto* vector = new KvoVector();
    vector->push_back(KvoValue(std::int32_t(10)));
    vector->push_back(KvoValue(std::int32_t(20)));
    KvoValue table(vector);
    KvoValue variable = machine.var(u"g");
    machine.vm().symbols()[u"g"]->setValue(table);
    // With two temporaries (and the exception slot, temporary 0) the top is the slot of
    // temporary 3; it holds 1 before the sequence. Temporary 1 holds the vector, which the
    // sequence reads from g or from temporary 1, indexed by temporary `index`.
    auto define = [&](bool global, std::uint32_t index) {
        KvoAssembler main(u"main");
        // Three pushes and pops first leave the stack room that the sequence asks for.
        main.prologue(2).op(PUSH).op(PUSH).op(PUSH).op(POP).op(POP).op(POP);
        main.load(table).op(TSET, 1).load(KvoValue(std::int32_t(1))).op(TSET, 2);
        if (global)
            main.op(REF, main.literal(variable));
        else
            main.op(TREF, 1);
        main.op(PUSH).op(TREF, index).op(VREF).op(RETURN);
        machine.define(u"main", main);
    };
    for (bool global : {true, false}) {
        define(global, 3);
        EXPECT_FALSE(machine.run()) << global;
        EXPECT_EQ(machine.errors(), u"invalid value type KVT_VECTOR, KVT_INTEGER expected\n") << global;
        // A temporary below the top is read as usual.
        define(global, 2);
        EXPECT_EQ(runMain(machine), 20) << global;
    }
}
