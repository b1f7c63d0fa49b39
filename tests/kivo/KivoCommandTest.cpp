// Tests of what the kivo command builds on: the machine's call-chain record and exit request
// through the host interface, the prompt's test for an unfinished input and its value display.
#include <gtest/gtest.h>

#include <string>

#include "KivoRepl.h"
#include "KivoValueFormat.h"
#include "host/KvoStringPrinter.h"
#include "host/KvoVirtualMachine.h"
#include "platform/KvoText.h"
#include "values/KvoDictionary.h"
#include "values/KvoString.h"
#include "values/KvoVector.h"
#include "values/ValPtr.h"

namespace {

// Runs the script function "inner" as a nested execute and returns 1 when it succeeded.
bool nativeExecuteInner(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    const bool ran = vm->execute(u"inner", 0, nullptr);
    args -= argc;
    args[0] = KvoValue(static_cast<std::int32_t>(ran ? 1 : 0));
    return true;
}

std::string chainOf(const KvoVirtualMachine& vm)
{
    const std::u16string text = vm.callChain().format();
    return kvoToUtf8(text.data(), text.size());
}

class CallChainTest : public ::testing::Test
{
protected:
    CallChainTest() : m_vm(&m_output)
    {
        m_vm.setGenerateLineInfo(true);
        m_vm.setRecordCallChain(true);
    }

    bool compile(const char16_t* text) { return m_vm.compileText(text); }

    KvoStringPrinter m_output;
    KvoVirtualMachine m_vm;
};

TEST_F(CallChainTest, NothingIsRecordedUnlessAsked)
{
    m_vm.setRecordCallChain(false);
    ASSERT_TRUE(compile(u"f() { return 1 / 0; }\nmain() { f(); }"));
    EXPECT_FALSE(m_vm.execute(u"main", 0, nullptr));
    EXPECT_TRUE(m_vm.callChain().empty());
}

TEST_F(CallChainTest, UncaughtErrorKeepsEveryActiveCallInnermostFirst)
{
    ASSERT_TRUE(compile(u"class C { C(); m(); };\nC::C() { }\nC::m() {\n  return 1 / 0;\n}\n"
                        u"f(o) { return o->m(); }\nmain() {\n  f(new C());\n}"));
    EXPECT_FALSE(m_vm.execute(u"main", 0, nullptr));
    EXPECT_EQ(chainOf(m_vm), "  at C::m (:4)\n  at f (:6)\n  at main (:8)\n");
    ASSERT_NE(m_vm.callChain().innermostPosition(), nullptr);
    EXPECT_EQ(m_vm.callChain().innermostPosition()->line, 4);
}

TEST_F(CallChainTest, CaughtErrorLeavesNoChain)
{
    // Once, the chain of an error caught in a callee stayed and was reported for a successful run.
    ASSERT_TRUE(compile(u"f() { return 1 / 0; }\nmain() { try { f(); } catch (e) { } return 2; }"));
    EXPECT_TRUE(m_vm.execute(u"main", 0, nullptr));
    EXPECT_TRUE(m_vm.callChain().empty());
    // A new run forgets the chain of the previous run's error.
    ASSERT_TRUE(compile(u"g() { throw 5; }"));
    EXPECT_FALSE(m_vm.execute(u"g", 0, nullptr));
    EXPECT_FALSE(m_vm.callChain().empty());
    EXPECT_TRUE(m_vm.execute(u"main", 0, nullptr));
    EXPECT_TRUE(m_vm.callChain().empty());
}

TEST_F(CallChainTest, ErrorThroughALibraryCallbackKeepsTheInnerCalls)
{
    ASSERT_TRUE(compile(u"order(a, b) {\n  return a->size();\n}\nmain() {\n  vecsort(T(2, 1), order);\n}"));
    EXPECT_FALSE(m_vm.execute(u"main", 0, nullptr));
    EXPECT_EQ(chainOf(m_vm), "  at order (:2)\n  at main (:5)\n");
}

TEST_F(CallChainTest, ExitEndsTheRunWithItsStatusPastEveryHandler)
{
    ASSERT_TRUE(compile(u"main() { try { exit(9); } catch (e) { return 1; } return 2; }"));
    EXPECT_TRUE(m_vm.execute(u"main", 0, nullptr));
    EXPECT_TRUE(m_vm.exitRequested());
    EXPECT_EQ(m_vm.exitStatus(), 9);
    // The next run starts without the request.
    ASSERT_TRUE(compile(u"plain() { return 4; }"));
    EXPECT_TRUE(m_vm.execute(u"plain", 0, nullptr));
    EXPECT_FALSE(m_vm.exitRequested());
    EXPECT_EQ(m_vm.getResult().getLong(), 4);
}

TEST_F(CallChainTest, ExitInANestedRunEndsTheOuterRun)
{
    ASSERT_TRUE(m_vm.registerNativeFunction(u"runInner", &nativeExecuteInner));
    ASSERT_TRUE(compile(u"inner() { exit(3); }\nmain() { runInner(); print(\"after\"); return 1; }"));
    EXPECT_TRUE(m_vm.execute(u"main", 0, nullptr));
    EXPECT_TRUE(m_vm.exitRequested());
    EXPECT_EQ(m_vm.exitStatus(), 3);
    EXPECT_EQ(std::u16string(m_output.c_str()), u"");
}

TEST(KivoInput, OpenBracketsStringsAndCommentsAskForMore)
{
    EXPECT_FALSE(kivoInputIsOpen("1 + 2"));
    EXPECT_TRUE(kivoInputIsOpen("f(x) {"));
    EXPECT_TRUE(kivoInputIsOpen("T(1,\n[2, 3"));
    EXPECT_FALSE(kivoInputIsOpen("T(1,\n[2, 3])"));
    EXPECT_TRUE(kivoInputIsOpen("print(\"abc"));
    EXPECT_FALSE(kivoInputIsOpen("print(\"a{b(\\\"\")"));      // brackets and quotes inside a string
    EXPECT_FALSE(kivoInputIsOpen("x = 1; // a ( in a comment"));
    EXPECT_TRUE(kivoInputIsOpen("/* open comment"));
    EXPECT_FALSE(kivoInputIsOpen("/* ( */ 1"));
    EXPECT_FALSE(kivoInputIsOpen("1)"));                         // too many closers: an error, not more input
}

TEST(KivoValueFormat, ValuesShowAsAScriptWouldWriteThem)
{
    EXPECT_EQ(kivoFormatValue(nullptr, KvoValue()), u"null");
    EXPECT_EQ(kivoFormatValue(nullptr, KvoValue(static_cast<std::int32_t>(-7))), u"-7");
    EXPECT_EQ(kivoFormatValue(nullptr, KvoValue(2.5)), u"2.5");
    EXPECT_EQ(kivoFormatValue(nullptr, KvoValue(3.0)), u"3.0");
    EXPECT_EQ(kivoFormatValue(nullptr, KvoValue(new KvoString(u"a\"b\\\n\x01"))), u"\"a\\\"b\\\\\\n\\x01\"");

    KvoValue vector(new KvoVector(0, false));
    vector.getVector()->push_back(KvoValue(static_cast<std::int32_t>(1)));
    vector.getVector()->push_back(KvoValue(new KvoString(u"s")));
    EXPECT_EQ(kivoFormatValue(nullptr, vector), u"[1, \"s\"]");
    // A vector that holds itself stops at the depth bound instead of recursing forever.
    vector.getVector()->push_back(vector);
    const std::u16string cyclic = kivoFormatValue(nullptr, vector);
    EXPECT_NE(cyclic.find(u"[...]"), std::u16string::npos);
    vector.getVector()->pop_back(); // break the cycle

    KvoValue many(new KvoVector(0, false));
    for (int i = 0; i < 150; ++i)
        many.getVector()->push_back(KvoValue(static_cast<std::int32_t>(i)));
    EXPECT_NE(kivoFormatValue(nullptr, many).find(u", ... (50 more)]"), std::u16string::npos);

    KvoValue dictionary(new KvoDictionary(false));
    (*dictionary.getDictionary())[u"k"]->setValue(vector);
    EXPECT_EQ(kivoFormatValue(nullptr, dictionary), u"{\"k\": [1, \"s\"]}");
}

} // namespace
