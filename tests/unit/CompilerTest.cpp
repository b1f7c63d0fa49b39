// Tests of KvoCompiler: diagnostics (exact texts, the error limit, recovery), the generated code
// of the designed idioms (read back with a small decoder and through KvoDebugger listings),
// declarations, classes and directives entered into the machine, the results of compiled programs
// run by the interpreter, literal expressions, and robustness against deep nesting and garbage.
// Every test checks that the number of live heap objects returns to where it started.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "compiler/KvoCompiler.h"
#include "compiler/KvoCompilerMessages.h"
#include "host/KvoStringPrinter.h"
#include "host/KvoVirtualMachine.h"
#include "platform/KvoFormat.h"
#include "values/KvoBuffer.h"
#include "values/KvoClass.h"
#include "values/KvoDictionary.h"
#include "values/KvoString.h"
#include "values/KvoVector.h"
#include "vm/KvoDebugger.h"
#include "vm/KvoInterpreter.h"
#include "vm/KvoOpCode.h"
#include "vm/KvoProcedure.h"

namespace {

std::u16string g_out;

std::string utf8(const std::u16string& text)
{
    return KvoString(text.c_str()).a_str();
}

std::u16string u16(const std::string& text)
{
    return KvoString(text.c_str()).c_str();
}

std::u16string textOf(const KvoValue& value)
{
    KvoString s;
    appendPrintText(s, value);
    return s.c_str();
}

// out(values...): appends the print text of each value.
bool nativeOut(KvoVirtualMachine*, int argc, ValPtr& args)
{
    for (int i = -argc + 1; i <= 0; ++i)
        g_out += textOf(args[i]);
    args -= argc;
    args[0] = KvoValue();
    return true;
}

// sp(): the interpreter's stack index, to see that statements leave the stack balanced.
bool nativeStackIndex(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    std::int32_t index = vm->interpreter()->getSP().current() - argc;
    args -= argc;
    args[0] = KvoValue(index);
    return true;
}

// Decodes a procedure's code into "MNEMONIC operand ..." words; address operands as "@offset".
std::string decode(const KvoValue& procedure)
{
    KvoVector* proc = procedure.getVector();
    if (!proc || proc->size() <= PROC_CODE)
        return "<no procedure>";
    KvoBuffer* code = (*proc)[PROC_CODE].getBuffer();
    std::string out;
    unsigned width = 1;
    for (std::uint32_t pc = 0; pc < code->size();) {
        const std::uint8_t op = (*code)[pc++];
        if (!out.empty())
            out += ' ';
        out += utf8(getOpcodeMnemonic(op));
        switch (getOperandKind(op)) {
        case KvoOperandKind::WIDTH:
            width = getWidthOf(op);
            break;
        case KvoOperandKind::INDEXED:
            out += ' ' + std::to_string(readOperand(code->data() + pc, width));
            pc += width;
            break;
        case KvoOperandKind::ADDRESS:
            out += " @" + std::to_string(readAddress(code->data() + pc));
            pc += 4;
            break;
        case KvoOperandKind::NONE:
            break;
        }
    }
    return out;
}

// A string printer that calls a hook once, after the first text it printed: a host's callback
// running while the compiler prints.
class HookPrinter : public KvoStringPrinter
{
public:
    explicit HookPrinter(std::function<void()> hook) : m_hook(std::move(hook)) {}
    int vprint(const KvoChar* fmt, va_list args) override
    {
        const int n = KvoStringPrinter::vprint(fmt, args);
        if (m_hook) {
            auto hook = std::move(m_hook);
            m_hook = nullptr;
            hook();
        }
        return n;
    }

private:
    std::function<void()> m_hook;
};

// Global functions f0 .. f<count - 1>, each returning its number.
std::u16string manyFunctions(int count)
{
    std::u16string src;
    for (int i = 0; i < count; ++i) {
        const std::u16string n = u16(std::to_string(i));
        src += u"f" + n + u"() { return " + n + u"; }\n";
    }
    return src;
}

// The designed prologue for a function with count temporaries.
std::string prologue(unsigned count)
{
    return "RDWORD TSPACE " + std::to_string(count) + " RBYTE PUSH";
}

class CompilerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_out.clear();
        m_liveAtStart = KvoRefObject::liveObjects();
        m_vm = std::make_unique<KvoVirtualMachine>(&m_printer);
        ASSERT_TRUE(m_vm->registerNativeFunction(u"out", &nativeOut));
        ASSERT_TRUE(m_vm->registerNativeFunction(u"sp", &nativeStackIndex));
    }
    void TearDown() override
    {
        dropMachine();
        EXPECT_EQ(KvoRefObject::liveObjects(), m_liveAtStart) << "live heap objects changed";
    }

    void dropMachine()
    {
        // Compiled methods hold their class (procedure element 1): break those cycles.
        for (KvoDictionaryEntry* e = m_vm->classes().getFirst(); e; e = e->getNext()) {
            if (KvoClass* c = e->getValue().getClass()) {
                c->funcMembers().clear();
                c->dataMembers().clear();
            }
        }
        m_vm.reset();
    }
    // Starts again with an empty machine.
    void freshMachine()
    {
        dropMachine();
        m_vm = std::make_unique<KvoVirtualMachine>(&m_printer);
        ASSERT_TRUE(m_vm->registerNativeFunction(u"out", &nativeOut));
        ASSERT_TRUE(m_vm->registerNativeFunction(u"sp", &nativeStackIndex));
    }

    KvoVirtualMachine& vm() { return *m_vm; }

    // Compiles src as source "test" into the machine; the printer collects the diagnostics.
    bool compile(const std::u16string& src, bool lineInfo = false, bool localVarInfo = false)
    {
        KvoCompiler compiler(vm(), &m_printer);
        compiler.setGenerateLineInfo(lineInfo);
        compiler.setGenerateLocalVarInfo(localVarInfo);
        bool ok = compiler.compile(src.c_str(), u"test");
        m_lastErrorCount = compiler.getErrorCount();
        return ok;
    }

    // Everything printed so far.
    std::string printed() { return m_printer.a_str(); }

    // The message parts of the diagnostics printed so far ("--> message \n...").
    std::vector<std::string> messages()
    {
        std::vector<std::string> result;
        const std::string text = printed();
        for (std::size_t at = text.find("--> "); at != std::string::npos; at = text.find("--> ", at + 4)) {
            std::size_t end = text.find(" \nin ", at);
            result.push_back(text.substr(at + 4, end - at - 4));
        }
        return result;
    }
    std::string firstMessage()
    {
        auto all = messages();
        return all.empty() ? std::string("<none>") : all.front();
    }

    const KvoValue& symbol(const KvoChar* name)
    {
        static const KvoValue none;
        KvoDictionaryEntry* e = vm().symbols().find(name);
        return e ? e->getValue() : none;
    }
    std::string code(const KvoChar* name) { return decode(symbol(name)); }
    // The code after the prologue.
    std::string body(const KvoChar* name)
    {
        std::string all = code(name);
        std::size_t at = all.find(" RBYTE PUSH");
        return at == std::string::npos ? all : all.substr(at + 11 + (all.size() > at + 11 ? 1 : 0));
    }

    // Runs a global function; false after an uncaught exception (its text is printed).
    bool run(const KvoChar* name = u"main") { return vm().execute(name, 0, nullptr); }
    const KvoValue& result() { return vm().getResult(); }

    // Compiles src (expecting success), runs main (expecting success) and returns its result's
    // print text.
    std::string eval(const std::u16string& src)
    {
        if (!compile(src))
            return "compile failed: " + printed();
        if (!run())
            return "run failed: " + printed();
        return utf8(textOf(result()));
    }

    KvoClass* classNamed(const KvoChar* name)
    {
        KvoDictionaryEntry* e = vm().classes().find(name);
        return e ? e->getValue().getClass() : nullptr;
    }

    KvoStringPrinter m_printer;
    std::unique_ptr<KvoVirtualMachine> m_vm;
    int m_lastErrorCount = 0;
    std::int64_t m_liveAtStart = 0;
};

// ---- top level and diagnostics ----------------------------------------------------------------

TEST_F(CompilerTest, EmptySourceCompilesAndDefinesNothing)
{
    const std::uint32_t before = vm().symbols().count();
    EXPECT_TRUE(compile(u""));
    EXPECT_TRUE(compile(u"  // only a comment\n"));
    EXPECT_EQ(vm().symbols().count(), before);
    EXPECT_EQ(printed(), "");
}

TEST_F(CompilerTest, NullSourcesAreRefused)
{
    KvoCompiler compiler(vm(), &m_printer);
    EXPECT_FALSE(compiler.compile(static_cast<const KvoChar*>(nullptr), u"x"));
    EXPECT_FALSE(compiler.compile(static_cast<std::FILE*>(nullptr), u"x"));
    EXPECT_EQ(printed(), utf8(KVO_CMSG_INVALID_SOURCE) + utf8(KVO_CMSG_INVALID_FILE));
}

TEST_F(CompilerTest, DiagnosticQuotesSourceLineAndPosition)
{
    EXPECT_FALSE(compile(u"f() {}\nx;\n"));
    EXPECT_EQ(printed(), "--> function declaration expected \nin test line 2 pos 2 \nx;\n\n");
}

TEST_F(CompilerTest, VarMarkerIntroducesAFunction)
{
    EXPECT_TRUE(compile(u"var f() { return 1; } null g() { return 2; }"));
    EXPECT_EQ(vm().symbols().find(u"f")->getSymbolType(), SYM_FUNCTION);
    EXPECT_EQ(symbol(u"g").getType(), KVT_BYTECODE);
    EXPECT_FALSE(compile(u"var x;"));
    EXPECT_EQ(firstMessage(), "function declaration expected");
}

TEST_F(CompilerTest, ShowInformationLines)
{
    KvoCompiler compiler(vm(), &m_printer);
    compiler.setShowInfo(true);
    ASSERT_TRUE(compiler.compile(u"class A; class B : A { m(); } class C { } f() { } B::m() { }", u"t"));
    EXPECT_EQ(printed(), "class A forward declaration\nclass B : A\nclass C\nfunction f\nmember function B::m\n");
}

TEST_F(CompilerTest, ErrorLimitStopsAtTenDiagnostics)
{
    EXPECT_FALSE(compile(u"1 2 3 4 5 6 7 8 9 10 11 12 13"));
    EXPECT_EQ(messages().size(), 10u);
    EXPECT_EQ(m_lastErrorCount, MAX_COMPILE_ERRORS);
    for (const std::string& m : messages())
        EXPECT_EQ(m, "declaration expected");
}

TEST_F(CompilerTest, EveryFailedCheckIsReportedAndParsingGoesOn)
{
    // A failed token check takes the token it found: the ";" taken by the missing ")" leaves
    // "return" to the statement's own check, and "0;" is a statement of its own.
    EXPECT_FALSE(compile(u"main() {\n x = ;\n y = 1 2;\n z = (3;\n return 0;\n}\n"));
    std::vector<std::string> expected = {"primary expression expected", "expected ';', found '<long>'",
                                         "expected ')', found ';'", "expected ';', found 'return'"};
    EXPECT_EQ(messages(), expected);
    EXPECT_EQ(m_lastErrorCount, 4);
}

TEST_F(CompilerTest, AMissingBodyBraceStillCompilesTheBlock)
{
    // A head without "{" takes the tokens that follow as its body, up to the "}" that ends it:
    // here the whole of main, whose "{" fails the check of its call statement.
    EXPECT_FALSE(compile(u"f();\nmain() { return 3; }"));
    std::vector<std::string> expected = {"expected '{', found ';'", "expected ';', found '{'"};
    EXPECT_EQ(messages(), expected);
    EXPECT_EQ(symbol(u"f").getType(), KVT_BYTECODE);
    EXPECT_NE(vm().symbols().find(u"main")->getSymbolType(), SYM_FUNCTION);
    // At the end of the source the block meets "<eof>" and reports it.
    m_printer.clear();
    EXPECT_FALSE(compile(u"g()"));
    expected = {"expected '{', found '<eof>'", "unexpected EOF in block"};
    EXPECT_EQ(messages(), expected);
}

TEST_F(CompilerTest, TokenCheckNamesExpectedAndFoundTokens)
{
    EXPECT_FALSE(compile(u"main() { if x) return 1; }"));
    EXPECT_EQ(firstMessage(), "expected '(', found '<ident>'");
    m_printer.clear();
    EXPECT_FALSE(compile(u"main() { return 1 }"));
    EXPECT_EQ(firstMessage(), "expected ';', found '}'");
    m_printer.clear();
    EXPECT_FALSE(compile(u"main() { do x(); until (1); }"));
    EXPECT_EQ(firstMessage(), "expected 'while', found '<ident>'");
}

TEST_F(CompilerTest, ExpressionDiagnostics)
{
    struct Case {
        const char16_t* src;
        const char* message;
    } cases[] = {
        {u"main() { 1 = x; }", "lvalue expected"},
        {u"main() { f() = 2; }", "lvalue expected"},
        {u"main() { 3++; }", "lvalue expected"},
        {u"main() { return - -x; }", "primary expression expected"},
        {u"main() { return; }", "primary expression expected"},
        {u"main() { for (;;) ; }", "primary expression expected"},
        {u"main() { else; }", "primary expression expected"},
        {u"main() { return new Nope(); }", "undefined class"},
        {u"class P { P(); m(); x; } main() { return P::q; }", "not a class member"},
        {u"class P { P(); m(); x; } main() { return P::x; }", "not a static class member"},
        {u"class P { P(); m(); x; } main() { return P::m(); }", "not a static class member"},
        {u"main() { return Q::x; }", "undefined class"},
        {u"main() { break; }", "break outside of loop found"},
        {u"main() { switch (1) { case 1: continue; } }", "continue outside of loop found"},
        {u"main() { switch (1) { x(); case 1: ; } }", "'case' or 'default' expected"},
        {u"main() { switch (1) { default: ; default: ; } }", "multiple 'default' branches not allowed"},
        {u"main() { throw; }", "primary expression expected"},
        {u"main() { x();", "unexpected EOF in block"},
        {u"main() { var a; var a; }", "Local variable of name 'a' already defined"},
        {u"main(a) { var a; }", "Argument of name 'a' already defined"},
        {u"main() { static s; var s; }", "Static variable of name 's' already defined"},
        {u"main(a, a) { }", "Duplicated identifier found"},
        {u"main() { static s = x; }", "literal expected"},
        {u"main() { return [1 2]; }", "',' or ']' expected"},
        {u"main() { return {\"a\": 1 \"b\": 2}; }", "',' or '}' expected"},
        {u"main() { return {1: 2}; }", "expected '<string>', found '<long>'"},
        {u"main() { return #(1 / 0); }", "divide 0 error in literal expression"},
    };
    for (const Case& c : cases) {
        m_printer.clear();
        freshMachine();
        EXPECT_FALSE(compile(c.src)) << utf8(c.src);
        EXPECT_EQ(firstMessage(), c.message) << utf8(c.src);
    }
}

TEST_F(CompilerTest, ScannerErrorsArePrintedOnce)
{
    EXPECT_FALSE(compile(u"main() { return 'a; }"));
    EXPECT_EQ(firstMessage(), "closing single quote expected");
    EXPECT_EQ(messages().size(), 1u) << printed();
}

TEST_F(CompilerTest, CancelStopsACompilationAtTheNextToken)
{
    // The information line of f0 comes before its body is read: a host's cancel from there ends
    // the compilation with one diagnostic, and what follows is never compiled.
    HookPrinter printer([this] { vm().cancel(); });
    KvoCompiler compiler(vm(), &printer);
    compiler.setShowInfo(true);
    EXPECT_FALSE(compiler.compile(manyFunctions(20000).c_str(), u"big"));
    EXPECT_EQ(compiler.getErrorCount(), 1);
    const std::string text = printer.a_str();
    EXPECT_TRUE(text.starts_with("function f0\n--> compilation cancelled \nin big line 1 pos ")) << text;
    EXPECT_EQ(vm().symbols().find(u"f1"), nullptr);

    // The cancel belonged to that compilation: the next one runs to its end, and so does one
    // after a cancel given while nothing compiled.
    EXPECT_TRUE(compile(u"g() { return 1; }"));
    vm().cancel();
    EXPECT_TRUE(compile(manyFunctions(100)));
    EXPECT_NE(vm().symbols().find(u"f99"), nullptr);
}

TEST_F(CompilerTest, CancelFromAnotherThreadStopsACompilation)
{
    // The compiler's first printed line waits until the other thread's cancel() has returned, so
    // the cancel surely arrives while the compilation runs.
    std::mutex lock;
    std::condition_variable changed;
    bool started = false;
    bool cancelled = false;
    HookPrinter printer([&] {
        std::unique_lock<std::mutex> guard(lock);
        started = true;
        changed.notify_all();
        changed.wait(guard, [&] { return cancelled; });
    });
    std::thread host([&] {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return started; });
        vm().cancel();
        cancelled = true;
        changed.notify_all();
    });
    EXPECT_FALSE(vm().compileText(manyFunctions(20000).c_str(), true, false, &printer));
    host.join();
    EXPECT_NE(std::string(printer.a_str()).find("--> compilation cancelled "), std::string::npos);
    EXPECT_EQ(vm().symbols().find(u"f19999"), nullptr);
}

// ---- recovery: every failed check reported, the error limit between declarations ---------------

TEST_F(CompilerTest, AnUnclosedCallReportsEachMissingToken)
{
    // The ")" of the call, the ";" of the statement and the "}" of the block are each missing.
    EXPECT_FALSE(compile(u"f1() { print(\"abc\""));
    const std::string line = "in test line 1 pos 19 \nf1() { print(\"abc\"\n\n";
    EXPECT_EQ(printed(), "--> expected ')', found '<eof>' \n" + line + "--> expected ';', found '<eof>' \n" + line +
                             "--> unexpected EOF in block \n" + line);
    EXPECT_EQ(m_lastErrorCount, 3);
}

TEST_F(CompilerTest, MissingTokensInEachConstruct)
{
    struct Case {
        const char16_t* src;
        std::vector<std::string> messages;
    } cases[] = {
        // The found token is taken: the rest of the text is read from the token after it.
        {u"main() { if (1 return 2; }", {"expected ')', found 'return'"}},
        {u"main(; x) { do x++; while (x < 3) return x; }", {"expected ';', found 'return'"}},
        {u"main(; v) { v = [1, 2]; return v[0 + v[1]; }", {"expected ']', found ';'", "expected ';', found '}'",
                                                           "unexpected EOF in block"}},
        // A block left open at the end of the source; one left open before the next function
        // takes that function's text as statements, up to its "}".
        {u"main() { if (1) { return 2; }", {"unexpected EOF in block"}},
        {u"f() { if (1) { return 2; }\nmain() { return 3; }", {"expected ';', found '{'"}},
        // A switch without "{" reads its cases all the same; a statement before any label is
        // reported and compiled.
        {u"main(; x) { switch (x) case 1: return 1; } return 0; }",
         {"expected '{', found 'case'", "'case' or 'default' expected", "expected ';', found ':'",
          "'case' or 'default' expected"}},
        // Every token of a catch clause is checked in turn; the catch block then takes the rest
        // of main, whose own block meets the end of the source.
        {u"main() { try { } catch (e { } return 0; }",
         {"expected ')', found '{'", "expected '{', found '}'", "unexpected EOF in block"}},
        // A message without its argument list.
        {u"main(; o) { return o->m; }",
         {"expected '(', found ';'", "primary expression expected", "expected ')', found '}'",
          "expected ';', found '<eof>'", "unexpected EOF in block"}},
        // Class bodies: a missing ";" after a data member, an operator both misprefixed and
        // invalid, a stray token and the ";" after it.
        {u"class A { x y; }", {"expected ';', found '<ident>'", "member declaration expected"}},
        {u"class B { operator R==(o); }", {"invalid operator token behind prefix", "invalid operator definition"}},
        {u"class C { 3; }", {"member declaration expected", "member declaration expected"}},
        // A parameter that is not a name is reported where it stands and by the ")" check.
        {u"g(a, 1) { return a; }", {"expected '<ident>', found '<long>'", "expected ')', found '<long>'"}},
    };
    for (const Case& c : cases) {
        m_printer.clear();
        freshMachine();
        EXPECT_FALSE(compile(c.src)) << utf8(c.src);
        EXPECT_EQ(messages(), c.messages) << utf8(c.src);
        EXPECT_EQ(m_lastErrorCount, static_cast<int>(c.messages.size())) << utf8(c.src);
    }
}

TEST_F(CompilerTest, ParsingAfterAFailedCheckCompilesTheRest)
{
    // The statements after the broken one are compiled as written: the function still runs.
    EXPECT_FALSE(compile(u"f(; x) { x = (1 + 2; ; x = x * 7; return x; }\nmain() { return f(); }"));
    EXPECT_EQ(messages(), std::vector<std::string>{"expected ')', found ';'"});
    ASSERT_TRUE(run());
    EXPECT_EQ(result().getLong(), 21);
}

TEST_F(CompilerTest, TheErrorLimitIsTestedBetweenDeclarations)
{
    // The declaration in which the count reaches the limit is compiled to its end, with every
    // diagnostic it gives; nothing after it is read.
    std::u16string src = u"f() {";
    for (int i = 0; i < 12; ++i)
        src += u" x = ;";
    src += u" }\n3\ng() { return 1; }";
    EXPECT_FALSE(compile(src));
    EXPECT_EQ(messages(), std::vector<std::string>(12, "primary expression expected"));
    EXPECT_EQ(m_lastErrorCount, 12);
    EXPECT_EQ(symbol(u"f").getType(), KVT_BYTECODE);
    EXPECT_EQ(vm().symbols().find(u"g"), nullptr);

    // Nine stray tokens, then a function with two mistakes: both are reported, and the stray
    // token after it is not.
    m_printer.clear();
    freshMachine();
    EXPECT_FALSE(compile(u"1 2 3 4 5 6 7 8 9 h() { y = ; z = ; } 10 k() { }"));
    std::vector<std::string> expected(9, "declaration expected");
    expected.insert(expected.end(), 2, "primary expression expected");
    EXPECT_EQ(messages(), expected);
    EXPECT_EQ(symbol(u"h").getType(), KVT_BYTECODE);
    EXPECT_EQ(vm().symbols().find(u"k"), nullptr);

    // Nine mistakes leave the limit unreached: the next declaration is compiled.
    m_printer.clear();
    freshMachine();
    EXPECT_FALSE(compile(u"1 2 3 4 5 6 7 8 9 m() { return 4; }"));
    EXPECT_EQ(messages().size(), 9u);
    EXPECT_EQ(symbol(u"m").getType(), KVT_BYTECODE);
}

TEST_F(CompilerTest, AFloodOfMistakesEndsTheTokenStream)
{
    // Each ")" in statement position gives two diagnostics; a declaration that never ends is
    // cut off with one more, so the output stays bounded.
    std::u16string src = u"main() {" + std::u16string(100000, u')') + u"}";
    EXPECT_FALSE(compile(src));
    const auto all = messages();
    ASSERT_EQ(all.size(), static_cast<std::size_t>(KVO_MAX_DIAGNOSTICS + 1));
    EXPECT_EQ(all.back(), "too many errors (" + std::to_string(KVO_MAX_DIAGNOSTICS) + "), compilation stopped");
    EXPECT_EQ(m_lastErrorCount, KVO_MAX_DIAGNOSTICS + 1);
    // The next compilation starts counting afresh.
    m_printer.clear();
    EXPECT_TRUE(compile(u"main() { return 5; }"));
}

// ---- classes ------------------------------------------------------------------------------------

TEST_F(CompilerTest, ClassDeclarationEntersMembers)
{
    ASSERT_TRUE(compile(u"class A; class B : A { x, y; static var n = 3; f(a, b = 2); }\n"
                        u"B::f(a, b) { return a; }"))
        << printed();
    KvoClass* a = classNamed(u"A");
    KvoClass* b = classNamed(u"B");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(b->getBaseClass(), a);
    EXPECT_EQ(b->dataMembers().find(u"x")->getSymbolType(), SYM_DATAMEMBER);
    EXPECT_EQ(b->getMemberIndex(KvoString(u"x")), 1);
    EXPECT_EQ(b->getMemberIndex(KvoString(u"y")), 2);
    EXPECT_EQ(b->getDataSize(), 2);
    KvoDictionaryEntry* n = b->dataMembers().find(u"n");
    EXPECT_EQ(n->getSymbolType(), SYM_VARIABLE);
    EXPECT_EQ(n->getValue().getLong(), 3);
    KvoDictionaryEntry* f = b->funcMembers().find(u"f");
    EXPECT_EQ(f->getSymbolType(), SYM_METHOD);
    ASSERT_EQ(f->getValue().getType(), KVT_BYTECODE);
    KvoVector* proc = f->getValue().getVector();
    EXPECT_EQ((*proc)[PROC_CLASS].getClass(), b);
    EXPECT_EQ(utf8((*proc)[PROC_NAME].getString()->c_str()), "f");
    // "this" is argument 0 with a plain null default; b has no default in the definition.
    KvoVector* defaults = (*proc)[PROC_DEFAULTS].getVector();
    ASSERT_EQ(defaults->size(), 3u);
    EXPECT_EQ((*defaults)[0].getFlags(), 0);
    EXPECT_EQ((*defaults)[1].getFlags(), KvoNoDefault);
    EXPECT_EQ(decode(f->getValue()), prologue(1) + " AREF 1 RETURN RETURN");
}

TEST_F(CompilerTest, ClassRedeclarationRules)
{
    ASSERT_TRUE(compile(u"class A { a; } class C { } class B : A { b; } class B : A { m(); }"));
    EXPECT_FALSE(compile(u"class B : C { }"));
    EXPECT_EQ(firstMessage(), "illegal redefinition of base class");
    m_printer.clear();
    EXPECT_FALSE(compile(u"class A { z; }"));
    EXPECT_EQ(firstMessage(), "classes already used as base must not define new member variables");
    m_printer.clear();
    EXPECT_TRUE(compile(u"class A { g(); static var s = 1; }")) << printed();
    EXPECT_FALSE(compile(u"class A : A { }"));
    EXPECT_EQ(firstMessage(), "class can't be its own base");
    m_printer.clear();
    // A cycle through two classes is refused the same way.
    EXPECT_FALSE(compile(u"class X; class Y : X { } class X : Y { }"));
    EXPECT_EQ(firstMessage(), "class can't be its own base");
    EXPECT_EQ(classNamed(u"X")->getBaseClass(), nullptr);
    m_printer.clear();
    // Giving a base with members to a class already used as a base would shift the derived
    // class's member slots onto the new ones.
    EXPECT_FALSE(compile(u"class F; class G : F { y; } class H { x; } class F : H { }"));
    EXPECT_EQ(firstMessage(), "classes already used as base must not define new member variables");
    EXPECT_EQ(classNamed(u"F")->getBaseClass(), nullptr);
}

TEST_F(CompilerTest, MemberDeclarationDiagnostics)
{
    struct Case {
        const char16_t* src;
        const char* message;
    } cases[] = {
        {u"class P { static operator +(x); }", "static operators not allowed"},
        {u"class P { 5; }", "member declaration expected"},
        {u"class P { ~Q(); }", "destructor declaration expected"},
        {u"class P { static dtor(); }", "destructor can't be static"},
        {u"class P { static P(); }", "constructor can't be static"},
        {u"class P { var dtor(); }", "destructor can't return a value"},
        {u"class P { var P(); }", "constructor can't return a value"},
        {u"class P { static null s; }", "unexpected null-keyword before class variable declaration"},
        {u"class P { null s; }", "unexpected null-keyword before member variable declaration"},
        {u"class P { x; static x; }", "object member data can't be redifined as static"},
        {u"class P { x, y, x; }", "Duplicated identifier found"},
        {u"class P { x; x; }", "Duplicated identifier found"},
        {u"class P { operator Q+(x); }", "invalid operator prefix"},
        {u"class P { operator R~(); }", "invalid operator token behind prefix"},
        {u"class P { operator =(x); }", "invalid operator definition"},
        {u"class P { public: x; }", "expected ';', found ':'"},
        {u"class P { x; } P::~Q() { }", "illegal destructor definition"},
        {u"class P { x; } P::x() { }", "illegal redefinition"},
        {u"Q::f() { }", "undefined class"},
        {u"class P { x;", "unexpected EOF"},
        {u"class { }", "expected '<ident>', found '{'"},
    };
    for (const Case& c : cases) {
        m_printer.clear();
        freshMachine();
        EXPECT_FALSE(compile(c.src)) << utf8(c.src);
        EXPECT_EQ(firstMessage(), c.message) << utf8(c.src);
    }
}

TEST_F(CompilerTest, OperatorMembersGetReservedNames)
{
    ASSERT_TRUE(compile(u"class P { operator R-(x); operator -(); operator -(x); operator ++(var); operator --();"
                        u" operator [var](i, v); operator [](i); operator ()(a, b); operator ~();"
                        u" operator L<<(n); operator R>>(n); operator %(n); }"))
        << printed();
    KvoClass* p = classNamed(u"P");
    for (const char16_t* name : {u"OP_SUB_R", u"OP_NEG", u"OP_SUB", u"OP_PINC", u"OP_DEC", u"OP_VSET", u"OP_VREF",
                                 u"OP_CALL", u"OP_BNOT", u"OP_SHL", u"OP_SHR_R", u"OP_REM"}) {
        KvoDictionaryEntry* e = p->funcMembers().find(name);
        ASSERT_TRUE(e) << utf8(name);
        EXPECT_EQ(e->getSymbolType(), SYM_METHOD) << utf8(name);
    }
    // A prefix increment defined without the postfix form serves as both; a declared postfix
    // form is left to its own definition.
    ASSERT_TRUE(compile(u"class Q { operator ++(); operator --(); operator --(var); }\n"
                        u"Q::operator ++() { return 1; } Q::operator --() { return 2; }"));
    KvoClass* q = classNamed(u"Q");
    ASSERT_EQ(q->funcMembers().find(u"OP_PINC")->getValue().getType(), KVT_BYTECODE);
    EXPECT_EQ(q->funcMembers().find(u"OP_INC")->getValue().getVector(),
              q->funcMembers().find(u"OP_PINC")->getValue().getVector());
    EXPECT_EQ(q->funcMembers().find(u"OP_PDEC")->getValue().getType(), KVT_NULL);
}

TEST_F(CompilerTest, ConstructorAndDestructorEpilogues)
{
    ASSERT_TRUE(compile(u"class A { A(); ~A(); } class B : A { B(); ~B(); }\n"
                        u"A::A() { } A::~A() { } B::B() { } B::~B() { }"))
        << printed();
    auto codeOf = [&](const KvoChar* c, const KvoChar* m) {
        return decode(classNamed(c)->funcMembers().find(m)->getValue());
    };
    EXPECT_EQ(codeOf(u"A", u"A"), prologue(1) + " NIL AREF 0 RETURN");
    EXPECT_EQ(codeOf(u"A", u"dtor"), prologue(1) + " NIL RETURN");
    // The derived destructor ends by sending "BC_dtor" (the literal after the fixed elements).
    EXPECT_EQ(codeOf(u"B", u"dtor"), prologue(1) + " NIL PUSH AREF 0 PUSH LIT 5 SEND 1 RETURN");
    KvoVector* dtor = classNamed(u"B")->funcMembers().find(u"dtor")->getValue().getVector();
    EXPECT_EQ(utf8((*dtor)[5].getString()->c_str()), "BC_dtor");
}

TEST_F(CompilerTest, ClassesRunWithMembersOperatorsAndDestructors)
{
    const char16_t* src =
        u"class Counter { n; static var made = 0; Counter(start); inc(); get();\n"
        u"  operator +(x); operator R-(x); operator [](i); operator [var](i, v); operator ++(); ~Counter(); }\n"
        u"Counter::Counter(start) { n = start; made = made + 1; }\n"
        u"Counter::inc() { n = n + 1; return this; }\n"
        u"Counter::get() { return n; }\n"
        u"Counter::operator +(x) { return n + x; }\n"
        u"Counter::operator R-(x) { return x - n; }\n"
        u"Counter::operator [](i) { return n * 10 + i; }\n"
        u"Counter::operator [var](i, v) { n = v; return v; }\n"
        u"Counter::operator ++() { n = n + 100; return this; }\n"
        u"Counter::~Counter() { out(\"dtor \", n, \";\"); }\n"
        u"class Big : Counter { Big(); ~Big(); }\n"
        u"Big::Big() { n = 7; }\n"
        u"Big::~Big() { out(\"big;\"); }\n"
        u"main() {\n"
        u"  var c = new Counter(5);\n"
        u"  c->inc()->inc();\n"
        u"  out(c->get(), \",\", c + 1, \",\", 100 - c, \",\", c[3], \",\");\n"
        u"  c[0] = 42; out(c->get(), \",\");\n"
        u"  ++c; out(c->get(), \",\");\n"
        u"  out(Counter::made, \",\");\n"
        u"  var b = new Big(); out(b->get(), \",\");\n"
        u"  b = null; c = null;\n"
        u"  return 0;\n"
        u"}\n";
    ASSERT_TRUE(compile(src)) << printed();
    ASSERT_TRUE(run()) << printed();
    EXPECT_EQ(utf8(g_out), "7,8,93,73,42,142,1,7,big;dtor 7;dtor 142;");
}

// ---- directives ---------------------------------------------------------------------------------

TEST_F(CompilerTest, LiteralDirectives)
{
    EXPECT_EQ(eval(u"#deflit N 2*3+1\n#literal N 0\nmain() { return N; }"), "7");
    EXPECT_EQ(eval(u"#deflit N 1\n#undeflit N\nmain() { return N == null; }"), "1") << "N is now a global";
    EXPECT_EQ(eval(u"#literal M 4\nmain() { return M; }"), "4");
    EXPECT_EQ(eval(u"main() { return #(UNICODE ? 1 : 2) * 10 + #(MSDOS ? 1 : 2) + LINUX * 100; }"), "112");
    // Each compile starts from the predefined literals again.
    EXPECT_EQ(eval(u"main() { return N == null; }"), "1");
}

TEST_F(CompilerTest, DirectivesInsideBodies)
{
    // A directive may stand among statements, also last in a block, and among class members.
    EXPECT_EQ(eval(u"class P { #deflit W 4\n P(); } P::P() { }\n"
                   u"main(; x) { x = W;\n#deflit V 5\n if (x) {\n#deflit U 6\n}\n return x + V + U; }"),
              "15");
}

TEST_F(CompilerTest, DefvarCreatesInitialisedGlobal)
{
    ASSERT_TRUE(compile(u"#defvar g [1, 2, 3]\n#defvar h \"x\" + \"y\"\n"));
    KvoDictionaryEntry* g = vm().symbols().find(u"g");
    ASSERT_TRUE(g);
    EXPECT_EQ(g->getSymbolType(), SYM_VARIABLE);
    ASSERT_EQ(g->getValue().getType(), KVT_VECTOR);
    EXPECT_EQ(g->getValue().getVector()->size(), 3u);
    EXPECT_EQ(utf8(textOf(symbol(u"h"))), "xy");
    EXPECT_EQ(eval(u"main() { return g[2] + 1; }"), "4");
}

TEST_F(CompilerTest, EndsrcEndsCompilationSuccessfully)
{
    EXPECT_TRUE(compile(u"f() { return 1; }\n#endsrc\n this is not read ("));
    EXPECT_EQ(printed(), "");
    EXPECT_EQ(symbol(u"f").getType(), KVT_BYTECODE);
}

TEST_F(CompilerTest, ImportLoadsANativeModule)
{
    EXPECT_TRUE(compile(u"#import \"kvotestmodule\"\n")) << printed();
    EXPECT_NE(vm().modules().find(u"kvotestmodule"), nullptr);
}

TEST_F(CompilerTest, DirectiveDiagnostics)
{
    EXPECT_FALSE(compile(u"#frobnicate 1\n"));
    EXPECT_EQ(firstMessage(), "undefined preprocessor symbol");
    m_printer.clear();
    EXPECT_FALSE(compile(u"#use \"lib.kvm\"\n"));
    EXPECT_EQ(firstMessage(), "library import failed");
    m_printer.clear();
    EXPECT_FALSE(compile(u"#import \"no_such_module_here\"\n"));
    EXPECT_EQ(firstMessage(), "native module import failed");
    m_printer.clear();
    EXPECT_FALSE(compile(u"#include \"no/such/file.kvo\"\nf() { }"));
    EXPECT_EQ(printed().substr(0, 36), "no/such/file.kvo --> file not found ");
    EXPECT_EQ(symbol(u"f").getType(), KVT_NULL) << "a failed include ends the compilation";
    m_printer.clear();
    EXPECT_FALSE(compile(u"#include <>\n"));
    EXPECT_EQ(firstMessage(), "include file name expected");
    m_printer.clear();
    EXPECT_FALSE(compile(u"#deflit 5 5\n"));
    EXPECT_EQ(firstMessage(), "expected '<ident>', found '<long>'");
}

class CompilerFileTest : public CompilerTest
{
protected:
    void SetUp() override
    {
        CompilerTest::SetUp();
        m_dir = std::filesystem::temp_directory_path() / ("kvo_compiler_test_" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_dir / "inc" / "sub");
        // The environment store must not see the user's settings.
        setenv("XDG_CONFIG_HOME", m_dir.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("KVOINC");
        std::filesystem::remove_all(m_dir);
        CompilerTest::TearDown();
    }
    void write(const std::filesystem::path& path, const std::string& text) { std::ofstream(path) << text; }

    std::filesystem::path m_dir;
};

TEST_F(CompilerFileTest, IncludeByNameAndAlongKvoinc)
{
    write(m_dir / "direct.kvo", "one() { return 1; }\n");
    write(m_dir / "inc" / "sub" / "two.kvo", "two() { return 2; }\n#deflit THREE 3\n");
    setenv("KVOINC", (m_dir / "inc").c_str(), 1);
    std::u16string src = u"#include \"" + u16((m_dir / "direct.kvo").string()) +
                         u"\"\n#include <sub/two.kvo>\nmain() { return one() * 100 + two() * 10 + THREE; }";
    EXPECT_EQ(eval(src), "123");
}

TEST_F(CompilerFileTest, IncludeDiagnosticsNameTheIncludedFile)
{
    const std::string path = (m_dir / "bad.kvo").string();
    write(m_dir / "bad.kvo", "f() {\n  return ;\n}\n");
    EXPECT_FALSE(compile(u"#include \"" + u16(path) + u"\"\nmain() { return 0; }"));
    EXPECT_EQ(printed(), "--> primary expression expected \nin " + path + " line 2 pos 10 \n  return ;\n\n");
    EXPECT_EQ(symbol(u"main").getType(), KVT_BYTECODE) << "compilation goes on in the including source";
}

TEST_F(CompilerFileTest, SelfIncludeStopsAtTheDepthLimit)
{
    const std::string path = (m_dir / "self.kvo").string();
    write(m_dir / "self.kvo", "#include \"" + path + "\"\n");
    EXPECT_FALSE(compile(u"#include \"" + u16(path) + u"\"\n"));
    EXPECT_EQ(firstMessage(), "include files nested too deeply (limit is 64)");
}

TEST_F(CompilerFileTest, CompileTakesAnOpenFile)
{
    write(m_dir / "prog.kvo", "main() { return 6 * 7; }\n");
    std::FILE* file = std::fopen((m_dir / "prog.kvo").c_str(), "r");
    ASSERT_TRUE(file);
    KvoCompiler compiler(vm(), &m_printer);
    EXPECT_TRUE(compiler.compile(file, u"prog.kvo")); // closes the file
    ASSERT_TRUE(run());
    EXPECT_EQ(result().getLong(), 42);
}

TEST_F(CompilerFileTest, DirectoriesAndSpecialFilesAreReportedNotRead)
{
    // A directory as the source: its stream opens but has no text.
    const std::string dir = (m_dir / "inc").string();
    EXPECT_FALSE(vm().compileFile(u16(dir).c_str(), false, false, &m_printer));
    EXPECT_EQ(printed(), "--> Is a directory \nin " + dir + " line 1 pos 1 \n\n\n");

    // An include names the file and the directive, as for a missing file. A device or a FIFO
    // would keep the compiler reading or waiting without end: only regular files are included.
    const std::string fifo = (m_dir / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::string, std::string> cases[] = {
        {dir, "Is a directory"}, {"/dev/zero", "not a regular file"},
        {"/dev/urandom", "not a regular file"}, {fifo, "not a regular file"}};
    for (const auto& [path, message] : cases) {
        m_printer.clear();
        EXPECT_FALSE(compile(u"#include \"" + u16(path) + u"\" main() { return 0; }"));
        EXPECT_EQ(printed().substr(0, path.size() + 5 + message.size()), path + " --> " + message);
        EXPECT_EQ(m_lastErrorCount, 1);
    }
    // The same for what the search along KVOINC finds.
    setenv("KVOINC", m_dir.c_str(), 1);
    m_printer.clear();
    EXPECT_FALSE(compile(u"#include <fifo>\n"));
    EXPECT_EQ(printed().substr(0, fifo.size() + 23), fifo + " --> not a regular file");
}

// ---- generated code -----------------------------------------------------------------------------

TEST_F(CompilerTest, PrologueAndEmptyBody)
{
    ASSERT_TRUE(compile(u"f(a, b; x) { } g() { }"));
    EXPECT_EQ(code(u"f"), prologue(2) + " NIL RETURN");
    EXPECT_EQ(code(u"g"), prologue(1) + " NIL RETURN");
    KvoVector* defaults = (*symbol(u"f").getVector())[PROC_DEFAULTS].getVector();
    ASSERT_EQ(defaults->size(), 2u);
    EXPECT_EQ((*defaults)[0].getFlags(), KvoNoDefault);
    KvoVector* self = (*symbol(u"f").getVector())[PROC_SELF].getVector();
    EXPECT_EQ(self, symbol(u"f").getVector());
    EXPECT_EQ((*symbol(u"f").getVector())[PROC_SELF].getType(), KVT_BYTECODEREF);
}

TEST_F(CompilerTest, ExpressionCode)
{
    ASSERT_TRUE(compile(u"f(a, b, c) { return a + b * c; }\n"
                        u"g(a, b, c) { return a - b - c; }\n"
                        u"h(; x, y) { x = y = 3; }\n"
                        u"i(a, i) { a[i] = 3; }\n"
                        u"j(a, i) { a[i] += 1; }\n"
                        u"k(; x) { x++; }\n"
                        u"l(c) { return c ? 1 : 2; }\n"
                        u"m(o) { o->f(); }\n"
                        u"n(a) { return a || 1 || 2; }\n"));
    EXPECT_EQ(body(u"f"), "AREF 0 PUSH AREF 1 PUSH AREF 2 MUL ADD RETURN RETURN");
    EXPECT_EQ(body(u"g"), "AREF 0 PUSH AREF 1 SUB PUSH AREF 2 SUB RETURN RETURN");
    EXPECT_EQ(body(u"h"), "LIT 5 TSET 2 TSET 1 RETURN");
    EXPECT_EQ(body(u"i"), "AREF 0 PUSH AREF 1 PUSH LIT 5 VSET RETURN");
    EXPECT_EQ(body(u"j"), "AREF 0 PUSH AREF 1 DUP2 VREF PUSH LIT 5 ADD VSET RETURN");
    EXPECT_EQ(body(u"k"), "TREF 1 DUP PINC TSET 1 POP RETURN");
    EXPECT_EQ(body(u"l"), "AREF 0 BRF @22 LIT 5 BR @24 LIT 6 RETURN RETURN");
    EXPECT_EQ(body(u"m"), "AREF 0 PUSH LIT 5 SEND 1 RETURN");
    EXPECT_EQ(body(u"n"), "AREF 0 BRT @24 LIT 5 BRT @24 LIT 6 RETURN RETURN");
}

TEST_F(CompilerTest, NewAndCallCode)
{
    ASSERT_TRUE(compile(u"class P { P(a, b); } f() { return new P(1, 2); } g() { return g(1); }"));
    // LIT 5 is the class, LIT 6 the selector "P", then the two constants.
    EXPECT_EQ(body(u"f"), "LIT 5 NEW PUSH LIT 6 PUSH LIT 7 PUSH LIT 8 SEND 3 RETURN RETURN");
    EXPECT_EQ(body(u"g"), "REF 5 PUSH LIT 6 CALL 1 RETURN RETURN");
}

TEST_F(CompilerTest, WideOperands)
{
    std::u16string lits;
    for (int i = 0; i < 300; ++i)
        lits += u"x = " + u16(std::to_string(i)) + u"; ";
    std::u16string args;
    for (int i = 0; i < 300; ++i)
        args += (i ? u", " : u"") + u16(std::to_string(i));
    ASSERT_TRUE(compile(u"f(; x) { " + lits + u"} g() { return h(" + args + u"); }"));
    const std::string f = code(u"f");
    EXPECT_NE(f.find("LIT 255 TSET 1 RWORD LIT 256 RBYTE TSET 1"), std::string::npos);
    EXPECT_NE(f.find("RWORD LIT 304 RBYTE TSET 1 RETURN"), std::string::npos);
    EXPECT_NE(code(u"g").find("RWORD CALL 300 RBYTE RETURN"), std::string::npos);

    std::u16string many;
    for (int i = 0; i < 65540; ++i)
        many += u"x = 1; ";
    ASSERT_TRUE(compile(u"k(; x) { " + many + u"return x; }"));
    const std::string k = code(u"k");
    EXPECT_NE(k.find("RWORD LIT 65535 RBYTE TSET 1 RDWORD LIT 65536 RBYTE TSET 1"), std::string::npos);
    ASSERT_TRUE(run(u"k"));
    EXPECT_EQ(result().getLong(), 1);
}

TEST_F(CompilerTest, StatementCode)
{
    ASSERT_TRUE(compile(u"w(i) { while (i < 3) i = i + 1; }\n"
                        u"t() { try { x(); } catch (e) { throw; } }\n"));
    // Offsets: the prologue takes 0..7.
    EXPECT_EQ(body(u"w"), "AREF 0 PUSH LIT 5 LT BRF @32 AREF 0 PUSH LIT 6 ADD ASET 0 BR @8 RETURN");
    EXPECT_EQ(body(u"t"), "TRY @22 REF 5 CALL 0 ENDTRY @26 TREF 0 THROW ENDCATCH RETURN");
}

TEST_F(CompilerTest, JumpsOutOfTryAndSwitchCleanUp)
{
    ASSERT_TRUE(compile(u"f() { while (1) { try { break; } catch (e) { } } }\n"
                        u"g(v) { while (1) { switch (v) { case 1: continue; } } }\n"));
    EXPECT_NE(body(u"f").find("TRY @35 ENDTRY @25 BR @42"), std::string::npos) << body(u"f");
    EXPECT_NE(body(u"g").find("BRF @40 POP BR @8"), std::string::npos) << body(u"g");
}

TEST_F(CompilerTest, LineInformation)
{
    ASSERT_TRUE(compile(u"f(; a, b) {\n a = 1; b = 2;\n\n return a;\n}\n", true));
    EXPECT_EQ(body(u"f"), "PUSH LIT 5 NEWLINE 2 LIT 6 TSET 1 LIT 7 TSET 2 PUSH LIT 5 NEWLINE 4 TREF 1 RETURN RETURN");
    EXPECT_EQ(utf8((*symbol(u"f").getVector())[5].getString()->c_str()), "test");
    // Each function reports its first line, even when the one before ended on it.
    ASSERT_TRUE(compile(u"g() { return 1; } h() { return 2; }", true));
    EXPECT_EQ(body(u"h"), "PUSH LIT 5 NEWLINE 1 LIT 6 RETURN RETURN");
}

TEST_F(CompilerTest, LocalVariableInformation)
{
    ASSERT_TRUE(compile(u"class P { m(a); } P::m(a; t) { static s = 3; try { } catch (e) { } }", false, true));
    const KvoValue& method = classNamed(u"P")->funcMembers().find(u"m")->getValue();
    KvoVector* proc = method.getVector();
    const KvoValue& info = (*proc)[proc->size() - 1];
    ASSERT_EQ(info.getType(), KVT_LOCALVARINFO);
    KvoVector* args = (*info.getVector())[0].getVector();
    KvoVector* temps = (*info.getVector())[1].getVector();
    ASSERT_EQ(args->size(), 2u);
    EXPECT_EQ(utf8((*args)[0].getString()->c_str()), "this");
    EXPECT_EQ(utf8((*args)[1].getString()->c_str()), "a");
    ASSERT_EQ(temps->size(), 3u);
    EXPECT_EQ(utf8((*temps)[0].getString()->c_str()), "e");
    EXPECT_EQ(utf8((*temps)[1].getString()->c_str()), "t");
    KvoDictionary* statics = (*temps)[2].getDictionary();
    ASSERT_TRUE(statics);
    EXPECT_EQ(statics->find(u"s")->getValue().getLong(), 5);
    EXPECT_EQ((*proc)[5].getLong(), 3);
}

TEST_F(CompilerTest, DebuggerListsEveryProcedure)
{
    KvoStringPrinter listing;
    KvoDebugger debugger(&vm(), &listing);
    KvoCompiler compiler(vm(), &m_printer);
    compiler.setDebugger(&debugger);
    ASSERT_TRUE(compiler.compile(u"f(a) { return a + 1; } class P { m(); } P::m() { return 0; }", u"t"));
    const std::string text = listing.a_str();
    EXPECT_NE(text.find("::f (16 bytes)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("0000: f2    RDWORD \n0001: 28    TSPACE 1 \n"), std::string::npos) << text;
    EXPECT_NE(text.find("AREF arg[0] \n"), std::string::npos) << text;
    EXPECT_NE(text.find("LIT lit[5] KVT_INTEGER 1 \n"), std::string::npos) << text;
    EXPECT_NE(text.find("P::m ("), std::string::npos) << text;
}

// ---- running compiled programs ------------------------------------------------------------------

TEST_F(CompilerTest, ArithmeticLogicAndConditionals)
{
    EXPECT_EQ(eval(u"main() { return 2 + 3 * 4 - 10 / 3 % 2; }"), "13");
    EXPECT_EQ(eval(u"main() { return (1 << 4 | 3 & 6) ^ 1; }"), "19");
    EXPECT_EQ(eval(u"main() { return 0 || 5; }"), "5");
    EXPECT_EQ(eval(u"main() { return 3 && 0; }"), "0");
    EXPECT_EQ(eval(u"main() { return 2 && 7; }"), "7");
    EXPECT_EQ(eval(u"main() { return 1 < 2 == 1 ? -7 : 9; }"), "-7");
    EXPECT_EQ(eval(u"main() { return !0 + !5 + ~0; }"), "0");
    // The right side of "=" is a comma expression: x = (1, x + 1).
    EXPECT_EQ(eval(u"main(; x) { return (x = 4) + (x = 1, x + 1); }"), "9");
    EXPECT_EQ(eval(u"main() { return \"ab\" + \"cd\"; }"), "abcd");
    EXPECT_EQ(eval(u"main(; x) { (x) = 5; return x; }"), "5");
}

TEST_F(CompilerTest, VariablesArgumentsStaticsAndGlobals)
{
    EXPECT_EQ(eval(u"add(a, b = 5) { return a + b; } main() { return add(1) * 100 + add(1, 2); }"), "603");
    EXPECT_EQ(eval(u"f() { static n = 3; n = n + 1; return n; } main() { f(); return f(); }"), "5");
    EXPECT_EQ(eval(u"main() { g = 4; return helper(); } helper() { return g * 2; }"), "8");
    EXPECT_EQ(vm().symbols().find(u"g")->getSymbolType(), SYM_NONE);
    EXPECT_EQ(eval(u"main(; x, y) { x = y = 3; x += 2; y -= 1; return x * 10 + y; }"), "52");
    EXPECT_EQ(eval(u"main() { var a = 2, b = a * 3; for (var i = 0; i < 3; i++) a = a + b; return a; }"), "20");
    EXPECT_EQ(eval(u"fact(n) { return n <= 1 ? 1 : n * self(n - 1); } main() { return fact(5); }"), "120");
    EXPECT_EQ(eval(u"main(; x) { x = 5; x ~= 0; return x; }"), "-1");
}

TEST_F(CompilerTest, SharedSlotsAreNeverOnesAScriptCanChange)
{
    // The string constant "f" is changed in place; the selector of p->f() must not be that slot.
    EXPECT_EQ(eval(u"class P { P(); f(); g(); } P::P() { } P::f() { return 1; } P::g() { return 2; }\n"
                   u"main(; s, p) { s = \"f\"; s[0] = 'g'; p = new P(); return p->f(); }"),
              "1");
    // Nor a static local that starts with the same text.
    EXPECT_EQ(eval(u"main(; p) { static s = \"f\"; s = \"g\"; p = new P(); return p->f(); }"), "1");
    // "x ~= y" stores ~y and leaves the stack as it found it.
    EXPECT_EQ(eval(u"main(; v, a, b, i) { v = [0]; a = sp(); for (i = 0; i < 20; i++) v[0] ~= i; b = sp();"
                   u" return (b - a) * 1000 + v[0]; }"),
              "-20");
}

TEST_F(CompilerTest, IncrementAndDecrement)
{
    EXPECT_EQ(eval(u"main(; x, y) { x = 5; y = x++; return y * 100 + x; }"), "506");
    EXPECT_EQ(eval(u"main(; x, y) { x = 5; y = ++x; return y * 100 + x; }"), "606");
    EXPECT_EQ(eval(u"main(; x) { x = 5; x--; --x; return x; }"), "3");
    // Indexed elements: the element changes, the postfix form yields the old value.
    EXPECT_EQ(eval(u"main(; v, old) { v = [5, 8]; old = v[1]++; return old * 100 + v[1]; }"), "809");
    EXPECT_EQ(eval(u"main(; v, d) { v = [5, 8]; d = --v[0]; v[0]--; return d * 100 + v[0]; }"), "403");
    EXPECT_EQ(eval(u"main(; d) { d = {\"k\": 1}; d[\"k\"]++; d[\"k\"] += 10; return d[\"k\"]; }"), "12");
}

TEST_F(CompilerTest, IndexedPostIncrementKeepsTheStackBalanced)
{
    EXPECT_EQ(eval(u"main(; v, a, b, i) { v = [0]; a = sp(); for (i = 0; i < 50; i++) v[0]++; b = sp();"
                   u" return (b - a) * 1000 + v[0]; }"),
              "50");
}

TEST_F(CompilerTest, Loops)
{
    EXPECT_EQ(eval(u"main(; i, s) { i = 0; s = 0; while (i < 10) { i++; if (i % 2) continue; s += i; }"
                   u" return s; }"),
              "30");
    EXPECT_EQ(eval(u"main(; i, j, n) { n = 0; for (i = 0; i < 5; i++) for (j = 0; j < 5; j++) {"
                   u" if (j == 2) break; n++; } return n; }"),
              "10");
    // continue in a do loop restarts the body without testing the condition.
    EXPECT_EQ(eval(u"main(; i, n) { i = 0; n = 0; do { i++; if (i < 5) continue; n++; } while (i < 7);"
                   u" return i * 10 + n; }"),
              "73");
    EXPECT_EQ(eval(u"main(; i) { for (i = 0; 1; i++) if (i == 4) break; return i; }"), "4");
}

TEST_F(CompilerTest, Switch)
{
    const char16_t* sw = u"f(v; r) { r = \"\"; switch (v) { case 1: r += \"a\"; case 2: r += \"b\"; break;"
                         u" default: r += \"d\"; case 3: r += \"c\"; } return r; }\n";
    ASSERT_TRUE(compile(sw)) << printed();
    auto call = [&](int v) {
        EXPECT_TRUE(compile(u"main() { return f(" + u16(std::to_string(v)) + u"); }"));
        EXPECT_TRUE(run()) << printed();
        return utf8(textOf(result()));
    };
    EXPECT_EQ(call(1), "ab");
    EXPECT_EQ(call(2), "b");
    EXPECT_EQ(call(3), "c");
    EXPECT_EQ(call(9), "dc");
    // A default before the cases falls through into them; an unmatched value runs it once.
    ASSERT_TRUE(compile(u"g(v; r) { r = 0; switch (v) { default: r += 10; case 1: r += 1; } return r; }"));
    EXPECT_EQ(eval(u"main() { return g(1) * 100 + g(5); }"), "111");
    EXPECT_EQ(eval(u"main(; r) { r = 0; switch (4) { case 1: r = 1; } return r; }"), "0");
    EXPECT_EQ(eval(u"main() { switch (\"x\") { case \"y\": return 1; case \"x\": return 2; } return 3; }"), "2");
}

TEST_F(CompilerTest, ContinueOutOfSwitchPopsTheSwitchValue)
{
    EXPECT_EQ(eval(u"main(; i, a, b, n) { a = sp(); n = 0; for (i = 0; i < 100; i++) { switch (i % 3) {"
                   u" case 0: continue; default: n++; } } b = sp(); return (b - a) * 1000 + n; }"),
              "66");
}

TEST_F(CompilerTest, Exceptions)
{
    EXPECT_EQ(eval(u"main() { try { throw 5; } catch (e) { return e + 1; } }"), "6");
    EXPECT_EQ(eval(u"inner() { try { throw \"x\"; } catch (e) { throw; } }"
                   u" main() { try { inner(); } catch (e) { return e + \"!\"; } }"),
              "x!");
    EXPECT_EQ(eval(u"main() { try { nosuch->m(); } catch (e) { return 1; } }"), "1");
    EXPECT_EQ(eval(u"main(; r) { r = 0; try { r = 1; } catch (e) { r = 2; } return r; }"), "1");
}

TEST_F(CompilerTest, BreakAndContinueOutOfTryRemoveTheHandler)
{
    // With the handler left installed, the later throw would land in the old catch block.
    ASSERT_TRUE(compile(u"main() { while (1) { try { break; } catch (e) { return 99; } } throw 7; }"));
    EXPECT_FALSE(run());
    EXPECT_EQ(printed(), "7\n");
    m_printer.clear();
    ASSERT_TRUE(compile(u"main(; i) { for (i = 0; i < 3; i++) { try { try { continue; } catch (e) { return 98; } }"
                        u" catch (e) { return 99; } } throw 8; }"));
    EXPECT_FALSE(run());
    EXPECT_EQ(printed(), "8\n");
    m_printer.clear();
    EXPECT_EQ(eval(u"main(; i, n) { n = 0; for (i = 0; i < 3; i++) { try { throw i; } catch (e) {"
                   u" if (e == 1) continue; n += 10; } } return n; }"),
              "20");
}

TEST_F(CompilerTest, FunctionAndContainerLiterals)
{
    EXPECT_EQ(eval(u"main(; f) { f = function(x) { return x * 2; }; return f(21); }"), "42");
    EXPECT_EQ(eval(u"main(; v) { v = [1, [2, 3], {\"k\": 4},]; return v[1][1] * 10 + v[2][\"k\"]; }"), "34");
    // A container literal is one value shared by every evaluation.
    EXPECT_EQ(eval(u"f() { var v = [0]; v[0]++; return v[0]; } main() { f(); f(); return f(); }"), "3");
    // A function literal has its own names: x is a global inside it.
    EXPECT_EQ(eval(u"main(; x) { x = 1; return (function() { return x; })() == null; }"), "1");
}

TEST_F(CompilerTest, LiteralExpressions)
{
    struct Case {
        const char16_t* expr;
        const char* value;
    } cases[] = {
        {u"1/2", "0"},
        {u"1.0/2", "0.500000"},
        {u"5 % 3", "2"},
        {u"-7 % 3", "-1"},
        {u"7.5 % 2", "1.500000"},
        {u"1 << 40", "0"},
        {u"-1 >> 40", "-1"},
        {u"1 << 257", "2"},
        {u"\"ab\" + 67", "abC"},
        {u"65 + \"bc\"", "Abc"},
        {u"0 || \"x\"", "x"},
        {u"2 && 7", "7"},
        {u"0 && 7", "0"},
        {u"1 == 1.0", "1"},
        {u"null == null", "1"},
        {u"null == 0", "0"},
        {u"-(-1)", "1"},
        {u"(-2147483647 - 1) < 1", "1"},
        {u"2147483647 > -2", "1"},
        {u"(-2147483647 - 1) / -1", "-2147483648"},
        {u"2147483647 + 1", "-2147483648"},
        {u"\"b\" > \"a\"", "1"},
        {u"1.5 * 2", "3.000000"},
        {u"3 - 2 - 1", "0"},
        {u"1 + 2 * 3 == 7 && 4 >= 4", "1"},
        {u"~5 ^ 1 | 8 & 12", "-5"},
        {u"!0 + !3", "1"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(eval(u"main() { return #(" + std::u16string(c.expr) + u"); }"), c.value) << utf8(c.expr);
}

TEST_F(CompilerTest, LiteralDivisionByZeroIsReported)
{
    EXPECT_FALSE(compile(u"#deflit Z 5 % 0\nmain() { return Z; }"));
    EXPECT_EQ(firstMessage(), "divide 0 error in literal expression");
    ASSERT_TRUE(run());
    EXPECT_EQ(result().getLong(), 0);
}

TEST_F(CompilerTest, MemberNameResolution)
{
    EXPECT_EQ(eval(u"class P { v; static var k = 2; P(); m(); n(x); static s(); }\n"
                   u"P::P() { v = 5; }\n"
                   u"P::m() { return n(3) + v + k + this->n(1); }\n"
                   u"P::n(x) { return x * 10; }\n"
                   u"P::s() { return 1000; }\n"
                   u"main(; p) { p = new P(); return p->m() + P::s(); }"),
              "1047");
    // "::name" skips the class members.
    EXPECT_EQ(eval(u"#defvar v 0\nclass Q { v; Q(); m(); } Q::Q() { v = 1; ::v = 9; } Q::m() { return v * 100 + ::v; }\n"
                   u"main() { return (new Q())->m(); }"),
              "109");
}

TEST_F(CompilerTest, NameLookupFindsTheFirstDefinition)
{
    // A name defined twice is the first definition (the second is reported, and defined anyway).
    EXPECT_FALSE(compile(u"main() { var v = 1, v = 2; return v; }"));
    EXPECT_EQ(firstMessage(), "Local variable of name 'v' already defined");
    ASSERT_TRUE(run());
    EXPECT_EQ(result().getLong(), 1);
    // The catch variable is temporary 0, so inside the catch block it comes before a local of
    // the same name defined earlier ...
    EXPECT_EQ(eval(u"main(; e) { e = 5; try { throw 1; } catch (e) { return e * 10; } }"), "10");
    // ... and a later catch clause takes the name away from it again.
    EXPECT_EQ(eval(u"#defvar x 7\nmain() { try { throw 1; } catch (x) { } try { throw 2; } catch (y) { } return x; }"),
              "7");
    // Temporaries come before arguments.
    EXPECT_EQ(eval(u"f(a; a) { a = 3; return a; } main() { return f(9); }"), "3");
}

TEST_F(CompilerTest, LargeFunctionsAndClassesCompile)
{
    // Name lookups are hashed: tens of thousands of names in one function or class compile in
    // moments (a walk along the names made this quadratic). The first and the last name of each
    // list must still be found.
    const int count = 40000;
    std::u16string locals = u"locals() {";
    std::u16string params = u"params(";
    std::u16string members = u"class Big {";
    for (int i = 0; i < count; ++i) {
        const std::u16string n = u16(std::to_string(i));
        locals += u" var v" + n + u" = " + n + u";";
        params += (i ? u", a" : u"a") + n + u" = " + n;
        members += (i ? u", m" : u" m") + n;
    }
    locals += u" return v0 + v39999; }\n";
    params += u") { return a0 + a39999; }\n";
    members += u"; Big(); sum(); }\nBig::Big() { m0 = 1; m39999 = 2; }\nBig::sum() { return m0 + m39999; }\n";
    ASSERT_TRUE(compile(locals + params + members +
                        u"main() { return locals() * 10000 + params() * 10 + (new Big())->sum(); }"))
        << printed();
    ASSERT_TRUE(run());
    EXPECT_EQ(result().getLong(), 39999 * 10000 + 39999 * 10 + 3);
}

// ---- robustness ---------------------------------------------------------------------------------

TEST_F(CompilerTest, DeepNestingIsReportedNotFatal)
{
    const std::string limit = "nesting too deep (limit is " + std::to_string(KVO_MAX_NESTING_DEPTH) + ")";
    const int n = 100000;
    std::u16string parens = u"main() { return " + std::u16string(n, u'(') + u"1" + std::u16string(n, u')') + u"; }";
    EXPECT_FALSE(compile(parens));
    EXPECT_EQ(firstMessage(), limit);
    EXPECT_EQ(messages().size(), 1u);

    struct Shape {
        const char16_t* head;
        const char16_t* unit;
    } shapes[] = {
        {u"main() ", u"{"},
        {u"main() { return ", u"["},
        {u"#defvar x ", u"["},
        {u"#deflit X ", u"("},
        {u"#deflit X ", u"1 ? 2 : "},
        {u"main() { x = ", u"y = "},
        {u"main() { ", u"if (1) "},
        {u"main() { ", u"while (1) "},
        {u"main() { return ", u"function() { return "},
        {u"main() { return a", u"["},
        {u"main() { return ", u"f("},
        {u"main() { return ", u"-("},
        {u"main() { return ", u"1 ? 1 : "},
    };
    for (const Shape& shape : shapes) {
        std::u16string src = shape.head;
        for (int i = 0; i < n / 10; ++i)
            src += shape.unit;
        m_printer.clear();
        EXPECT_FALSE(compile(src)) << utf8(std::u16string(shape.head) + shape.unit);
        EXPECT_EQ(firstMessage(), limit) << utf8(std::u16string(shape.head) + shape.unit);
    }
    // Nesting just inside the limit compiles.
    std::u16string fine = u"main() { return " + std::u16string(150, u'(') + u"7" + std::u16string(150, u')') + u"; }";
    m_printer.clear();
    EXPECT_EQ(eval(fine), "7");
}

TEST_F(CompilerTest, LongElseIfChainsAndSequencesAreNotNesting)
{
    std::u16string chain = u"f(x) { if (x == 0) return 0;";
    for (int i = 1; i < 1000; ++i)
        chain += u" else if (x == " + u16(std::to_string(i)) + u") return " + u16(std::to_string(i * 2)) + u";";
    chain += u" else return -1; }\n";
    std::u16string sum = u"g() { return 0";
    for (int i = 0; i < 5000; ++i)
        sum += u" + 1";
    sum += u", 1";
    for (int i = 0; i < 5000; ++i)
        sum += u", 2";
    sum += u"; }\n";
    ASSERT_TRUE(compile(chain + sum)) << printed().substr(0, 300);
    EXPECT_EQ(eval(u"main() { return f(999) + f(5) + f(2000) + g(); }"), "2009");
}

TEST_F(CompilerTest, GarbageNeverCrashesOrHangs)
{
    static const char16_t* const pieces[] = {
        u"main", u"(", u")", u"{", u"}", u"[", u"]", u";", u",", u"=", u"+=", u"~=", u"=>", u"::", u"->", u"?", u":",
        u"++", u"--", u"x", u"1", u"2.5", u"\"s\"", u"'c'", u"'", u"class", u"static", u"var", u"null", u"if",
        u"else", u"while", u"do", u"for", u"switch", u"case", u"default", u"break", u"continue", u"return",
        u"try", u"catch", u"throw", u"new", u"delete", u"function", u"operator", u"~", u"#", u"include",
        u"deflit", u"defvar", u"endsrc", u"self", u"this", u"P", u"<", u">", u"-", u"*", u"/", u"%", u"&&", u"||",
        u"TRON", u"\n", u"@", u"/*",
    };
    std::mt19937 random(12345);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
    std::uniform_int_distribution<int> length(1, 120);
    for (int round = 0; round < 2000; ++round) {
        std::u16string src = round % 3 ? u"class P { P(); m(); x; } " : u"";
        for (int i = length(random); i > 0; --i) {
            src += pieces[pick(random)];
            src += u' ';
        }
        m_printer.clear();
        if (round % 50 == 0)
            freshMachine();
        compile(src);
        // Every counted diagnostic is printed (the limit may be passed inside the declaration
        // that reaches it, never without bound).
        EXPECT_EQ(messages().size(), static_cast<std::size_t>(m_lastErrorCount)) << utf8(src);
        EXPECT_LE(m_lastErrorCount, KVO_MAX_DIAGNOSTICS + 1) << utf8(src);
    }
}

TEST_F(CompilerTest, EveryPrefixOfAProgramCompilesSafely)
{
    const std::u16string program =
        u"#deflit K [1, {\"a\": 2}]\nclass A { x; static var s = 1; A(v); operator +(o); ~A(); }\n"
        u"A::A(v) { x = v; } A::operator +(o) { return x + o; } A::~A() { }\n"
        u"main(a, b = 2; t) { static q = #(3 * 2); var y = a ? b : -1;\n"
        u"  for (var i = 0; i < 3; i++) { switch (i) { case 0: continue; default: y += i; } }\n"
        u"  try { throw new A(1) + 2; } catch (e) { y = e; }\n"
        u"  do { y--; } while (y > 0); return y || t && function(z) { return z; }; }\n";
    for (std::size_t n = 0; n <= program.size(); ++n) {
        m_printer.clear();
        freshMachine();
        compile(program.substr(0, n));
    }
    m_printer.clear();
    freshMachine();
    EXPECT_TRUE(compile(program)) << printed();
}

} // namespace
