// Tests of the machine facade: construction with the standard library, reinit and cloneSymbols,
// compiling files and texts, execute (results, failures, a nested run), native modules, the
// input channel, and the environment and search services over the per-user store.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "host/KvoFileStreamInput.h"
#include "host/KvoStringPrinter.h"
#include "host/KvoVirtualMachine.h"
#include "platform/KvoText.h"
#include "values/ValPtr.h"
#include "vm/KvoInterpreter.h"

namespace fs = std::filesystem;

namespace {

bool returnInteger(int argc, ValPtr& args, std::int32_t value)
{
    args -= argc;
    args[0] = KvoValue(value);
    return true;
}

bool nativeSeven(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnInteger(argc, args, 7);
}

bool nativeEight(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnInteger(argc, args, 8);
}

// Runs the script function "inner" from inside a running script, then reports whether the
// machine still knows the outer run's interpreter (1) or not (0).
bool nativeRunInner(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoInterpreter* outer = vm->interpreter();
    const bool ran = vm->execute(u"inner", 0, nullptr);
    return returnInteger(argc, args, ran && vm->interpreter() == outer && outer ? 1 : 0);
}

// Runs the script function "inner" as a nested execute (what a host does from a callback of the
// running script) and returns its result, or -1 when the run failed.
bool nativeExecuteInner(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    const bool ran = vm->execute(u"inner", 0, nullptr);
    return returnInteger(argc, args, ran ? vm->getResult().getLong() : -1);
}

// Enters the interpreter again from native code (a native re-entry): calls the script function
// "reenter" with the argument; fails with the inner run's error when that run fails.
bool nativeReenter(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoValue depth = args[0];
    KvoValue result;
    KvoValue arguments(new KvoVector(1, false));
    arguments.getVector()->push_back(depth);
    if (!vm->interpreter()->invoke(result, u"reenter", arguments.getVector()))
        return false;
    args -= argc;
    args[0] = result;
    return true;
}

// Tries to leave untrusted mode from inside a running script; returns whether it could.
bool nativeTrustAgain(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return returnInteger(argc, args, vm->setUntrusted(false) ? 1 : 0);
}

// Tries to reset the machine from inside a running script; returns 1.
bool nativeReinit(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    vm->reinit();
    KvoVirtualMachine other;
    vm->cloneSymbols(other);
    return returnInteger(argc, args, 1);
}

// A fresh directory that XDG_CONFIG_HOME points at for the test's lifetime.
class ScopedStore
{
public:
    ScopedStore()
    {
        std::string pattern = (fs::temp_directory_path() / "kvovmXXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
        if (const char* old = std::getenv("XDG_CONFIG_HOME"))
            m_old = old;
        setenv("XDG_CONFIG_HOME", m_root.c_str(), 1);
    }
    ~ScopedStore()
    {
        if (m_old)
            setenv("XDG_CONFIG_HOME", m_old->c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        fs::remove_all(m_root);
    }
    ScopedStore(const ScopedStore&) = delete;
    ScopedStore& operator=(const ScopedStore&) = delete;
    const fs::path& root() const { return m_root; }

private:
    fs::path m_root;
    std::optional<std::string> m_old;
};

class VirtualMachine : public ::testing::Test
{
protected:
    std::string printed() const { return m_out.a_str(); }

    // Compiles source and runs main; the result's integer, or -999 when either step failed.
    std::int32_t run(const KvoChar* source)
    {
        if (!m_vm.compileText(source) || !m_vm.execute(u"main", 0, nullptr))
            return -999;
        return m_vm.getResult().getLong();
    }

    KvoStringPrinter m_out;
    KvoVirtualMachine m_vm{&m_out};
};

TEST_F(VirtualMachine, ConstructionRegistersTheSystemVariablesAndPrint)
{
    for (const KvoChar* name : {u"stdin", u"stdout", u"stderr", u"__OSTYPE__", u"__UNICODE__"}) {
        KvoDictionaryEntry* entry = m_vm.symbols().find(name);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->getSymbolType(), SYM_VARIABLE);
    }
    EXPECT_EQ(m_vm.symbols().find(u"stdout")->getValue().getFile(), static_cast<void*>(stdout));
    EXPECT_EQ(m_vm.symbols().find(u"__UNICODE__")->getValue().getLong(), 1);
    EXPECT_EQ(m_vm.symbols().find(u"print")->getSymbolType(), SYM_FUNCTION);
    EXPECT_EQ(m_vm.symbols().find(u"fopen")->getSymbolType(), SYM_FUNCTION);
    EXPECT_EQ(m_vm.symbols().find(u"LoadLibrary")->getSymbolType(), SYM_FUNCTION);
    EXPECT_EQ(m_vm.symbols().find(u"GetCoreFunc")->getSymbolType(), SYM_FUNCTION);
    EXPECT_EQ(run(u"main() { print(1, 2.5, \"x\", null); return 0; }"), 0);
    EXPECT_EQ(printed(), "12.500000x(KVT_NULL:00000000)");
}

TEST_F(VirtualMachine, RegisteringANameTwiceKeepsTheFirstFunction)
{
    EXPECT_TRUE(m_vm.registerNativeFunction(u"seven", &nativeSeven));
    EXPECT_FALSE(m_vm.registerNativeFunction(u"seven", &nativeEight));
    EXPECT_FALSE(m_vm.registerNativeFunction(u"print", &nativeEight));
    EXPECT_FALSE(m_vm.registerNativeFunction(u"", &nativeEight));
    EXPECT_FALSE(m_vm.registerNativeFunction(u"eight", nullptr));
    EXPECT_EQ(run(u"main() { return seven(); }"), 7);
}

TEST_F(VirtualMachine, ReinitForgetsTheProgramAndRestoresTheLibrary)
{
    m_vm.setGenerateLineInfo(true);
    ASSERT_EQ(run(u"class C { x; } f() { return 1; } main() { __UNICODE__ = 9; return 0; }"), 0);
    EXPECT_EQ(m_vm.symbols().find(u"__UNICODE__")->getValue().getLong(), 9);
    m_vm.reinit();
    EXPECT_EQ(m_vm.symbols().find(u"f"), nullptr);
    EXPECT_EQ(m_vm.symbols().find(u"main"), nullptr);
    EXPECT_EQ(m_vm.classes().getFirst(), nullptr);
    EXPECT_EQ(m_vm.symbols().find(u"__UNICODE__")->getValue().getLong(), 1);
    EXPECT_EQ(m_vm.getResult().getType(), KVT_NULL);
    EXPECT_EQ(m_vm.getCurrentLine(), -1);
    EXPECT_TRUE(m_vm.getGenerateLineInfo()); // switches stay
    EXPECT_EQ(run(u"main() { print(\"again\"); return 3; }"), 3);
    EXPECT_EQ(printed(), "again");
}

TEST_F(VirtualMachine, CompileFileReportsAFileThatDoesNotOpen)
{
    EXPECT_FALSE(m_vm.compileFile(nullptr));
    EXPECT_EQ(printed(), "");
    EXPECT_FALSE(m_vm.compileFile(u"/nonexistent/dir/prog.kvo"));
    EXPECT_EQ(printed(), "error opening file /nonexistent/dir/prog.kvo\n");
    EXPECT_FALSE(m_vm.compileText(nullptr));
}

TEST_F(VirtualMachine, CompileFileEntersTheProgramAndSendsDiagnosticsToTheGivenPrinter)
{
    ScopedStore directory;
    const fs::path good = directory.root() / "good.kvo";
    const fs::path bad = directory.root() / "bad.kvo";
    std::ofstream(good) << "answer() { return 42; }\n";
    std::ofstream(bad) << "broken() { return 1 }\n";
    ASSERT_TRUE(m_vm.compileFile(good.u16string().c_str()));
    ASSERT_TRUE(m_vm.execute(u"answer", 0, nullptr));
    EXPECT_EQ(m_vm.getResult().getLong(), 42);

    KvoStringPrinter diagnostics;
    EXPECT_FALSE(m_vm.compileFile(bad.u16string().c_str(), false, false, &diagnostics));
    EXPECT_EQ(printed(), "");
    const std::string text = diagnostics.a_str();
    EXPECT_NE(text.find("--> "), std::string::npos) << text;
    EXPECT_NE(text.find(bad.string() + " line 1"), std::string::npos) << text;
}

TEST_F(VirtualMachine, DebugListingGoesToTheDebugPrinter)
{
    KvoStringPrinter listing;
    ASSERT_TRUE(m_vm.compileText(u"f() { return 1; }", false, true, nullptr, &listing));
    EXPECT_NE(std::string(listing.a_str()).find("RETURN"), std::string::npos) << listing.a_str();
    EXPECT_EQ(printed(), "");
    KvoStringPrinter none;
    ASSERT_TRUE(m_vm.compileText(u"g() { return 1; }", false, false, nullptr, &none));
    EXPECT_EQ(std::string(none.a_str()), "");
}

TEST_F(VirtualMachine, ExecuteKeepsTheResultAndClearsTheInterpreter)
{
    ASSERT_TRUE(m_vm.registerNativeFunction(u"seven", &nativeSeven));
    ASSERT_TRUE(m_vm.execute(u"seven", 0, nullptr)); // a native function runs directly
    EXPECT_EQ(m_vm.getResult().getLong(), 7);
    EXPECT_EQ(m_vm.interpreter(), nullptr);
    EXPECT_FALSE(m_vm.execute(u"nothing", 0, nullptr));
    EXPECT_EQ(m_vm.interpreter(), nullptr);
    EXPECT_FALSE(m_vm.execute(nullptr, 0, nullptr));

    const KvoChar* argv[] = {u"first", u"second"};
    ASSERT_TRUE(m_vm.compileText(u"pick(a, b) { return b; }"));
    ASSERT_TRUE(m_vm.execute(u"pick", 2, argv));
    ASSERT_NE(m_vm.getResult().getString(), nullptr);
    EXPECT_EQ(std::u16string(m_vm.getResult().getString()->c_str()), u"second");
}

TEST_F(VirtualMachine, ANestedRunLeavesTheOuterInterpreterInPlace)
{
    ASSERT_TRUE(m_vm.registerNativeFunction(u"runInner", &nativeRunInner));
    EXPECT_EQ(run(u"inner() { return 5; } main() { return runInner(); }"), 1);
    EXPECT_EQ(m_vm.interpreter(), nullptr);
}

// Native re-entries of a script reach depth() deep before "stack overflow" stops them.
constexpr const KvoChar* REENTRY_SCRIPT = u"#defvar deepest 0\n"
                                          u"reenter(n) { deepest = n; return reenterNative(n + 1); }\n"
                                          u"depth() { try { reenter(0); } catch (e) { return strcmp(e, \"stack overflow\") == 0 ? deepest : -2; } "
                                          u"return -3; }\n"
                                          u"inner() { return depth(); }\n"
                                          u"main() { return runInner(); }\n";

TEST_F(VirtualMachine, ANestedExecuteCountsTowardTheLimitOfNestedRuns)
{
    ASSERT_TRUE(m_vm.registerNativeFunction(u"reenterNative", &nativeReenter));
    ASSERT_TRUE(m_vm.registerNativeFunction(u"runInner", &nativeExecuteInner));
    ASSERT_TRUE(m_vm.compileText(REENTRY_SCRIPT));
    ASSERT_TRUE(m_vm.execute(u"depth", 0, nullptr));
    const std::int32_t topLevel = m_vm.getResult().getLong();
    EXPECT_GT(topLevel, 50);
    // Inside a nested execute the same recursion is caught as "stack overflow" too, but the
    // nested run already stands on the outer run and its own entry (2 more).
    ASSERT_TRUE(m_vm.execute(u"main", 0, nullptr));
    EXPECT_EQ(m_vm.getResult().getLong(), topLevel - 2);
    EXPECT_EQ(m_vm.interpreter(), nullptr);
}

// Runs "again" as a nested execute without end: each run calls this function once more.
bool nativeExecuteAgain(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    const bool ran = vm->execute(u"again", 0, nullptr);
    return returnInteger(argc, args, ran ? vm->getResult().getLong() + 1 : 0);
}

TEST_F(VirtualMachine, NestedExecutesPastTheLimitAreRefusedWithStackOverflow)
{
    ASSERT_TRUE(m_vm.registerNativeFunction(u"executeAgain", &nativeExecuteAgain));
    ASSERT_TRUE(m_vm.compileText(u"again() { return executeAgain(); }"));
    // Each level is one nested entry plus the run inside it. The script whose callback was
    // refused gets "stack overflow"; uncaught, its run fails (printing the error once) and every
    // level above returns normally.
    ASSERT_TRUE(m_vm.execute(u"again", 0, nullptr));
    EXPECT_EQ(m_vm.getResult().getLong(), KVO_MAX_NESTED_RUNS / 2 - 2);
    EXPECT_EQ(printed(), "stack overflow\n");
}

// Regression: a refused nested execute only printed its error; the script that caused it could
// not catch it.
TEST_F(VirtualMachine, TheScriptCatchesTheRefusalOfANestedExecute)
{
    ASSERT_TRUE(m_vm.registerNativeFunction(u"executeAgain", &nativeExecuteAgain));
    ASSERT_TRUE(m_vm.compileText(u"again() { try { return executeAgain(); } catch (e) { caught = e; return 1000; } }"));
    ASSERT_TRUE(m_vm.execute(u"again", 0, nullptr));
    EXPECT_EQ(m_vm.getResult().getLong(), 1000 + KVO_MAX_NESTED_RUNS / 2 - 1);
    const KvoString* caught = m_vm.symbols().find(u"caught")->getValue().getString();
    ASSERT_NE(caught, nullptr);
    EXPECT_EQ(std::string(caught->a_str()).rfind("stack overflow", 0), 0u);
    EXPECT_EQ(printed(), "");
}

TEST_F(VirtualMachine, ARunningScriptKeepsItsProgramWhenItAsksForAReset)
{
    ASSERT_TRUE(m_vm.registerNativeFunction(u"reset", &nativeReinit));
    EXPECT_EQ(run(u"helper() { return 10; } main() { reset(); return helper() + reset(); }"), 11);
    EXPECT_NE(m_vm.symbols().find(u"helper"), nullptr);
}

TEST_F(VirtualMachine, FailedRunPrintsTheErrorTextToTheErrorPrinter)
{
    KvoStringPrinter errors;
    ASSERT_TRUE(m_vm.compileText(u"main() { throw \"boom\"; }"));
    EXPECT_FALSE(m_vm.execute(u"main", 0, nullptr, false, &errors));
    EXPECT_EQ(std::string(errors.a_str()), "boom\n");
    EXPECT_EQ(printed(), "");
    EXPECT_FALSE(m_vm.execute(u"main", 0, nullptr));
    EXPECT_EQ(printed(), "boom\n");
}

TEST_F(VirtualMachine, NativeModuleIsFoundBesideTheRuntimeAndRegisteredOnce)
{
    ASSERT_TRUE(m_vm.loadNativeModule(u"kvotestmod*le"));
    KvoDictionaryEntry* entry = m_vm.modules().find(u"kvotestmodule");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->getValue().getType(), KVT_INTEGER);
    EXPECT_GT(entry->getValue().getLong(), 0);
    EXPECT_EQ(m_vm.modules().count(), 1u);
    EXPECT_EQ(run(u"main() { return moduleAnswer(); }"), 42);
    const std::int32_t loads = run(u"main() { return moduleLoads(); }");
    ASSERT_TRUE(m_vm.loadNativeModule(u"kvotestmodule"));
    EXPECT_EQ(run(u"main() { return moduleLoads(); }"), loads); // not loaded again
    EXPECT_EQ(m_vm.modules().count(), 1u);

    m_vm.reinit();
    EXPECT_EQ(m_vm.modules().count(), 0u);
    EXPECT_EQ(m_vm.symbols().find(u"moduleAnswer"), nullptr);
}

TEST_F(VirtualMachine, ALibraryWithoutEntryPointStaysRecordedAndAMissingOneDoesNot)
{
    EXPECT_FALSE(m_vm.loadNativeModule(u"libm.so.6"));
    EXPECT_NE(m_vm.modules().find(u"libm.so.6"), nullptr);
    EXPECT_TRUE(m_vm.loadNativeModule(u"libm.so.6")); // recorded: loaded already
    EXPECT_FALSE(m_vm.loadNativeModule(u"kivo-no-such-module"));
    EXPECT_EQ(m_vm.modules().find(u"kivo-no-such-module"), nullptr);
    EXPECT_FALSE(m_vm.loadNativeModule(nullptr));
}

TEST_F(VirtualMachine, CloneSymbolsCopiesModulesFunctionsAndClasses)
{
    ASSERT_TRUE(m_vm.loadNativeModule(u"kvotestmodule"));
    ASSERT_TRUE(m_vm.compileText(u"class Point { x; } five() { return 5; }"));
    {
        KvoStringPrinter otherOut;
        KvoVirtualMachine other(&otherOut);
        ASSERT_TRUE(other.compileText(u"gone() { return 0; }"));
        other.cloneSymbols(m_vm);
        EXPECT_EQ(other.symbols().find(u"gone"), nullptr);
        ASSERT_NE(other.modules().find(u"kvotestmodule"), nullptr);
        ASSERT_NE(other.classes().find(u"Point"), nullptr);
        EXPECT_EQ(other.classes().find(u"Point")->getValue().getClass(),
                  m_vm.classes().find(u"Point")->getValue().getClass()); // shared, not copied
        ASSERT_TRUE(other.compileText(u"main() { return five() + moduleAnswer(); }"));
        ASSERT_TRUE(other.execute(u"main", 0, nullptr));
        EXPECT_EQ(other.getResult().getLong(), 47);
        other.cloneSymbols(other); // nothing happens
        EXPECT_NE(other.symbols().find(u"five"), nullptr);
    }
    // The source machine is untouched by the copy's life and death.
    EXPECT_EQ(run(u"main() { return five() + moduleAnswer(); }"), 47);
}

TEST_F(VirtualMachine, CurrentInputFallsBackToStandardInput)
{
    IKvoInput* standard = m_vm.getCurrentInput();
    ASSERT_NE(standard, nullptr);
    KvoFileStreamInput other(nullptr, false);
    EXPECT_EQ(m_vm.setCurrentInput(&other), standard);
    EXPECT_EQ(m_vm.getCurrentInput(), &other);
    EXPECT_EQ(m_vm.setCurrentInput(nullptr), &other);
    EXPECT_EQ(m_vm.getCurrentInput(), standard);
}

// Runs source's main in vm; its result's integer, or -999 when compiling or running failed.
std::int32_t runIn(KvoVirtualMachine& vm, const KvoChar* source)
{
    if (!vm.compileText(source) || !vm.execute(u"main", 0, nullptr))
        return -999;
    return vm.getResult().getLong();
}

// A script that calls what(args) and prints the error it raises ("none" when it raises none).
std::u16string refusalScript(const std::u16string& call)
{
    return u"main() { try { " + call + u"; print(\"none\"); } catch (e) { print(e); } return 0; }";
}

TEST_F(VirtualMachine, UntrustedModeRemovesNativeCallsFilesModulesAndSetenv)
{
    ScopedStore store;
    ASSERT_TRUE(m_vm.setUntrusted(true));
    EXPECT_TRUE(m_vm.isUntrusted());
    const std::u16string calls[] = {
        u"LoadLibrary(\"libm.so.6\")", u"FreeLibrary(1)", u"GetProcAddress(1, \"sin\")", u"CallLibFunc(1)",
        u"GetCoreFunc(\"strlen\")", u"GetUser32Func(\"x\")", u"GetKernel32Func(\"x\")", u"GetGdi32Func(\"x\")",
        u"GetShell32Func(\"x\")", u"GetOle32Func(\"x\")", u"fopen(\"/etc/hostname\", \"r\")", u"fclose(stdout)",
        u"feof(stdin)", u"getc(stdin)", u"putc(65, stdout)", u"fgets(stdin)", u"fputs(\"x\", stdout)",
        u"freadval(stdin)", u"fwriteval(1, stdout)", u"fread(newbuffer(1), stdin)", u"fwrite(newbuffer(1), stdout)",
        u"getwc(stdin)", u"putwc(65, stdout)", u"fgetws(stdin)", u"fputws(\"x\", stdout)", u"compile(stdin)",
        u"loadmodule(\"x.kvm\")", u"setenv(\"KIVO_UNTRUSTED\", \"1\")"};
    for (const std::u16string& call : calls) {
        m_out.clear();
        EXPECT_EQ(runIn(m_vm, refusalScript(call).c_str()), 0);
        EXPECT_EQ(printed(), "function not available in untrusted mode") << kvoToUtf8(call.c_str());
    }
    EXPECT_EQ(std::u16string(KvoVirtualMachine::_tgetenv(u"KIVO_UNTRUSTED")), u"");
    // The console, text compilation and the rest of the library stay.
    m_out.clear();
    KvoFileStreamInput none(nullptr, false);
    m_vm.setCurrentInput(&none);
    EXPECT_EQ(runIn(m_vm, u"main() { print(getc(), gets(), strlen(\"abc\")); "
                          u"return compile(\"later() { return 6; }\") + later(); }"),
              7);
    EXPECT_EQ(printed(), "655353");
    m_vm.setCurrentInput(nullptr);
}

TEST_F(VirtualMachine, UntrustedModeRefusesTheDirectivesThatReadFilesOrLoadCode)
{
    ASSERT_TRUE(m_vm.setUntrusted(true));
    for (const KvoChar* source : {u"#import \"kvotestmodule\"\n", u"#use \"lib.kvm\"\n", u"#include \"x.kvo\"\n",
                                  u"#include <x.kvo>\n"}) {
        m_out.clear();
        EXPECT_FALSE(m_vm.compileText(source));
        EXPECT_NE(printed().find("--> directive not available in untrusted mode"), std::string::npos) << printed();
    }
    // Nor does the host's own request load a native module any more; compile() of a text is
    // bound by the same rule.
    EXPECT_FALSE(m_vm.loadNativeModule(u"kvotestmodule"));
    EXPECT_EQ(m_vm.modules().count(), 0u);
    EXPECT_EQ(run(u"main() { return compile(\"#import \\\"kvotestmodule\\\"\\n\"); }"), 0);
    EXPECT_EQ(m_vm.modules().count(), 0u);
}

TEST_F(VirtualMachine, UntrustedModeSurvivesResetsAndCopiesAndCanBeLeftBetweenRuns)
{
    ASSERT_TRUE(m_vm.loadNativeModule(u"kvotestmodule")); // loaded before the switch: it stays
    ASSERT_TRUE(m_vm.compileText(u"fclose(f) { return 5; }")); // a script's own function of that name
    ASSERT_TRUE(m_vm.setUntrusted(true));
    EXPECT_TRUE(m_vm.loadNativeModule(u"kvotestmodule"));
    EXPECT_EQ(run(u"main() { return fclose(0) + moduleAnswer(); }"), 47);
    const std::u16string refusedFopen = refusalScript(u"fopen(\"/nonexistent\", \"r\")");

    m_vm.reinit();
    EXPECT_TRUE(m_vm.isUntrusted());
    m_out.clear();
    EXPECT_EQ(runIn(m_vm, refusedFopen.c_str()), 0);
    EXPECT_EQ(printed(), "function not available in untrusted mode");

    // A copy of a trusted machine's program brings that machine's library; it is removed again.
    KvoVirtualMachine trusted;
    m_vm.cloneSymbols(trusted);
    m_out.clear();
    EXPECT_EQ(runIn(m_vm, refusedFopen.c_str()), 0);
    EXPECT_EQ(printed(), "function not available in untrusted mode");

    // Not while a script runs; between runs the library comes back.
    ASSERT_TRUE(m_vm.registerNativeFunction(u"trustAgain", &nativeTrustAgain));
    EXPECT_EQ(run(u"main() { return trustAgain(); }"), 0);
    EXPECT_TRUE(m_vm.isUntrusted());
    ASSERT_TRUE(m_vm.setUntrusted(false));
    m_out.clear();
    EXPECT_EQ(runIn(m_vm, refusedFopen.c_str()), 0);
    EXPECT_EQ(printed(), "none");
}

TEST(VirtualMachineEnvironment, PutenvStoresAndDeletesGetenvReads)
{
    ScopedStore store;
    EXPECT_EQ(std::u16string(KvoVirtualMachine::_tgetenv(u"KVOLIB")), u"");
    EXPECT_EQ(KvoVirtualMachine::_tputenv(u"KVOLIB=/opt/kivo"), 0);
    EXPECT_EQ(std::u16string(KvoVirtualMachine::_tgetenv(u"kvolib")), u"/opt/kivo");
    EXPECT_EQ(KvoVirtualMachine::_tputenv(u"KVOLIB="), 0);
    EXPECT_EQ(std::u16string(KvoVirtualMachine::_tgetenv(u"KVOLIB")), u"");
    EXPECT_EQ(KvoVirtualMachine::_tputenv(u"KVOLIB="), 2); // not stored
    EXPECT_EQ(KvoVirtualMachine::_tputenv(u"KVOLIB"), -1);
    EXPECT_EQ(KvoVirtualMachine::_tputenv(nullptr), -1);
    EXPECT_NE(KvoVirtualMachine::_tgetenv(nullptr), nullptr);
    EXPECT_EQ(KvoVirtualMachine::_tgetenv(nullptr)[0], 0);
}

TEST(VirtualMachineEnvironment, LongValuesAreCutToTheBuffer)
{
    ScopedStore store;
    const std::u16string value(KvoVirtualMachine::ENVIRONMENT_VALUE_UNITS + 10, u'v');
    ASSERT_EQ(KvoVirtualMachine::_tputenv((u"LONGVALUE=" + value).c_str()), 0);
    EXPECT_EQ(std::u16string(KvoVirtualMachine::_tgetenv(u"LONGVALUE")).size(),
              KvoVirtualMachine::ENVIRONMENT_VALUE_UNITS - 1);
}

TEST(VirtualMachineEnvironment, SearchesFindTheFirstDirectoryHoldingTheFile)
{
    ScopedStore store;
    fs::create_directories(store.root() / "a");
    fs::create_directories(store.root() / "b");
    std::ofstream(store.root() / "b" / "m.kvm") << "x";
    const std::u16string list = (store.root() / "a").u16string() + u";" + (store.root() / "b").u16string() + u"/";
    const KvoChar* found = KvoVirtualMachine::searchDirList(list.c_str(), u"m.kvm");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::u16string(found), (store.root() / "b" / "m.kvm").u16string());
    EXPECT_EQ(KvoVirtualMachine::searchDirList(list.c_str(), u"n.kvm"), nullptr);
    EXPECT_EQ(KvoVirtualMachine::searchDirList(nullptr, u"m.kvm"), nullptr);

    EXPECT_EQ(KvoVirtualMachine::searchEnv(u"KVOLIB", u"m.kvm"), nullptr);
    ASSERT_EQ(KvoVirtualMachine::_tputenv((u"KVOLIB=" + list).c_str()), 0);
    ASSERT_NE(KvoVirtualMachine::searchEnv(u"KVOLIB", u"m.kvm"), nullptr);
    EXPECT_EQ(KvoVirtualMachine::searchEnv(nullptr, u"m.kvm"), nullptr);
    ASSERT_EQ(KvoVirtualMachine::_tputenv((u"Path=" + list).c_str()), 0);
    ASSERT_NE(KvoVirtualMachine::searchPath(u"m.kvm"), nullptr);
    EXPECT_EQ(std::u16string(KvoVirtualMachine::searchPath(u"m.kvm")), (store.root() / "b" / "m.kvm").u16string());
}

} // namespace

// Compiled methods hold their class; dropping the machine must still free every class, method
// and object of the program, also a base chain and an instance kept in a static member, while
// a class shared with a second machine keeps working there.
TEST(VirtualMachineLifetime, ClassesWithMethodsAreFreedWithTheMachine)
{
    std::int64_t before = KvoRefObject::liveObjects();
    {
        KvoStringPrinter out;
        KvoVirtualMachine vm(&out);
        ASSERT_TRUE(vm.compileText(u"class Base { x; get(); }\n"
                                   u"Base::get() { return x; }\n"
                                   u"class Derived : Base { static var one; y; Derived(); twice(); }\n"
                                   u"Derived::Derived() { x = 2; }\n"
                                   u"Derived::twice() { return get() * 2; }\n"
                                   u"main() { Derived::one = new Derived(); return Derived::one->twice(); }\n"))
            << out.a_str();
        ASSERT_TRUE(vm.execute(u"main", 0, nullptr)) << out.a_str();
        EXPECT_EQ(vm.getResult().getLong(), 4);
        KvoVirtualMachine copy(&out);
        copy.cloneSymbols(vm);
        vm.reinit();
        // The copy still shares the classes and can run them.
        ASSERT_TRUE(copy.compileText(u"again() { var d = new Derived(); return d->twice(); }")) << out.a_str();
        ASSERT_TRUE(copy.execute(u"again", 0, nullptr)) << out.a_str();
        EXPECT_EQ(copy.getResult().getLong(), 4);
    }
    EXPECT_EQ(KvoRefObject::liveObjects(), before);
}

// Classes that refer to one another (a base method creating the derived class, a global
// function naming a class) are freed with the machine too.
TEST(VirtualMachineLifetime, ClassesReferringToEachOtherAreFreed)
{
    std::int64_t before = KvoRefObject::liveObjects();
    {
        KvoStringPrinter out;
        KvoVirtualMachine vm(&out);
        ASSERT_TRUE(vm.compileText(u"class Shape { Shape(); make(); }\n"
                                   u"class Square : Shape { Square(); side(); }\n"
                                   u"Shape::Shape() {}\n"
                                   u"Square::Square() {}\n"
                                   u"Shape::make() { return new Square(); }\n"
                                   u"Square::side() { return 3; }\n"
                                   u"main() { var s = new Shape(); return s->make()->side(); }\n"))
            << out.a_str();
        ASSERT_TRUE(vm.execute(u"main", 0, nullptr)) << out.a_str();
        EXPECT_EQ(vm.getResult().getLong(), 3);
    }
    EXPECT_EQ(KvoRefObject::liveObjects(), before);
}
