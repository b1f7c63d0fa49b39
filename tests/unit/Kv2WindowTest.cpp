// Tests of the plug-in's window classes that no script can reach: what happens to the windows
// when a machine goes and when the plug-in is unmapped, the refusal to attach without the window
// class, and the debugger's hold on messages.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

#include "host/KvoStringPrinter.h"
#include "host/KvoVirtualMachine.h"
#include "platform/KvoWindows.h"
#include "values/KvoString.h"
#include "values/ValPtr.h"

#include "KvoTestSupport.h"

namespace {

using Kv2WindowTest = LiveObjectCheck;

constexpr UINT PROBE = WM_APP;

// A window class of the test's own, whose windows the plug-in subclasses.
LRESULT testProcedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    return msg == PROBE ? 7 : DefWindowProcW(hwnd, msg, wParam, lParam);
}

// The script's windows answer PROBE with 42. makeWindow creates a window of the named class (the
// plug-in subclasses one of the test's class), probe sends PROBE from the script, inDbg from
// within a debugging hook.
constexpr KvoChar SCRIPT[] = u"#import \"kv2class\"\n"
                             u"class W : WinBase { W(); handleMessage(h, m, w, l); };\n"
                             u"W::W() { this->BC_WinBase(); }\n"
                             u"W::handleMessage(h, m, w, l) {\n"
                             u"    if (m == 0x8000) return 42;\n"
                             u"    return this->BC_handleMessage(h, m, w, l);\n"
                             u"}\n"
                             u"#defvar windows 0\n"
                             u"#defvar count 0\n"
                             u"makeWindow(className; w) {\n"
                             u"    w = new W();\n"
                             u"    w->create(className);\n"
                             u"    if (count == 0) windows = newvector(8);\n"
                             u"    windows[count++] = w;\n"
                             u"    return w->getHandle();\n"
                             u"}\n"
                             u"probe(h) {\n"
                             u"    return CallLibFunc(GetUser32Func(\"SendMessage?\"), int(h), 0x8000, 0, 0);\n"
                             u"}\n"
                             u"inDbg(h) { return t_sendInDbg(int(h)); }\n";

HWND handleOf(const KvoValue& value)
{
    return reinterpret_cast<HWND>(static_cast<std::intptr_t>(value.getLong()));
}

// Runs function on vm with one argument (a host passes text) and returns the result's integer.
std::int32_t call(KvoVirtualMachine& vm, const KvoChar* function, const KvoString& argument)
{
    const KvoChar* argv[] = {argument.c_str()};
    EXPECT_TRUE(vm.execute(function, 1, argv));
    return vm.getResult().getLong();
}

HWND makeWindow(KvoVirtualMachine& vm, const KvoChar* className)
{
    return reinterpret_cast<HWND>(static_cast<std::intptr_t>(call(vm, u"makeWindow", KvoString(className))));
}

std::int32_t probe(KvoVirtualMachine& vm, HWND hwnd, const KvoChar* function = u"probe")
{
    return call(vm, function, KvoString::format(u"%d", static_cast<int>(reinterpret_cast<std::intptr_t>(hwnd))));
}

// t_sendInDbg(hwnd): sends PROBE while the machine waits in a debugging hook.
bool sendInDbg(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    ValPtr base = args;
    base -= argc;
    vm->setInDbg(true);
    const LRESULT answer = SendMessageW(handleOf(base[1]), PROBE, 0, 0);
    vm->setInDbg(false);
    base[0] = KvoValue(static_cast<std::int32_t>(answer));
    args = base;
    return true;
}

bool prepare(KvoVirtualMachine& vm, KvoStringPrinter& out)
{
    return vm.registerNativeFunction(u"t_sendInDbg", &sendInDbg) && vm.compileText(SCRIPT) && !out.a_str()[0];
}

} // namespace

TEST_F(Kv2WindowTest, AMachineThatGoesCutsItsObjectsOffTheirWindows)
{
    KvoStringPrinter outA;
    KvoStringPrinter outB;
    auto* a = new KvoVirtualMachine(&outA);
    KvoVirtualMachine b(&outB);
    ASSERT_TRUE(prepare(*a, outA)) << outA.a_str();
    ASSERT_TRUE(prepare(b, outB)) << outB.a_str();
    HWND windowA = makeWindow(*a, u"Kv2Window");
    HWND windowB = makeWindow(b, u"Kv2Window");
    ASSERT_TRUE(IsWindow(windowA) && IsWindow(windowB));
    EXPECT_EQ(probe(*a, windowA), 42);
    // Outside a run no script can answer: the default handling does.
    EXPECT_EQ(SendMessageW(windowA, PROBE, 0, 0), 0);
    delete a;
    // The plug-in stays (b holds it): a's window lives on with the default procedure, b's
    // window still reaches b's object.
    EXPECT_TRUE(IsWindow(windowA));
    EXPECT_EQ(reinterpret_cast<WNDPROC>(GetWindowLongPtrW(windowA, GWLP_WNDPROC)), &DefWindowProcW);
    EXPECT_EQ(probe(b, windowA), 0);
    EXPECT_EQ(probe(b, windowB), 42);
}

TEST_F(Kv2WindowTest, TheModuleTakesItsWindowsAndClassAlongWhenUnmapped)
{
    WNDCLASSW testClass{};
    testClass.lpfnWndProc = &testProcedure;
    testClass.lpszClassName = u"Kv2WindowTestClass";
    ASSERT_NE(RegisterClassW(&testClass), 0);
    HWND kv2Window = nullptr;
    HWND subclassed = nullptr;
    {
        KvoStringPrinter out;
        KvoVirtualMachine vm(&out);
        ASSERT_TRUE(prepare(vm, out)) << out.a_str();
        kv2Window = makeWindow(vm, u"Kv2Window");
        subclassed = makeWindow(vm, u"Kv2WindowTestClass");
        ASSERT_TRUE(IsWindow(subclassed));
        EXPECT_NE(reinterpret_cast<WNDPROC>(GetWindowLongPtrW(subclassed, GWLP_WNDPROC)), &testProcedure);
        EXPECT_EQ(probe(vm, subclassed), 42);
        WNDCLASSW info{};
        EXPECT_TRUE(GetClassInfoW(nullptr, u"Kv2Window", &info));
    }
    // The last machine freed the plug-in: its Kv2Window windows and class are gone, the window it
    // subclassed has its own procedure back.
    EXPECT_FALSE(IsWindow(kv2Window));
    WNDCLASSW info{};
    EXPECT_FALSE(GetClassInfoW(nullptr, u"Kv2Window", &info));
    ASSERT_TRUE(IsWindow(subclassed));
    EXPECT_EQ(reinterpret_cast<WNDPROC>(GetWindowLongPtrW(subclassed, GWLP_WNDPROC)), &testProcedure);
    EXPECT_EQ(SendMessageW(subclassed, PROBE, 0, 0), 7);
    EXPECT_TRUE(DestroyWindow(subclassed));
    EXPECT_TRUE(UnregisterClassW(u"Kv2WindowTestClass", nullptr));
}

TEST_F(Kv2WindowTest, WithoutItsWindowClassThePluginDoesNotAttach)
{
    WNDCLASSW taken{};
    taken.lpfnWndProc = &testProcedure;
    taken.lpszClassName = u"Kv2Window";
    ASSERT_NE(RegisterClassW(&taken), 0);
    setenv("KIVO_MSGBOX_ANSWER", "ok", 1);
    {
        KvoStringPrinter out;
        KvoVirtualMachine vm(&out);
        EXPECT_FALSE(vm.loadNativeModule(u"kv2class"));
        EXPECT_EQ(vm.classes().find(u"WinBase"), nullptr);
    }
    unsetenv("KIVO_MSGBOX_ANSWER");
    EXPECT_TRUE(UnregisterClassW(u"Kv2Window", nullptr));
    KvoStringPrinter out;
    KvoVirtualMachine vm(&out);
    EXPECT_TRUE(vm.loadNativeModule(u"kv2class"));
}

TEST_F(Kv2WindowTest, MessagesWaitingForTheDebuggerGetZero)
{
    KvoStringPrinter out;
    KvoVirtualMachine vm(&out);
    ASSERT_TRUE(prepare(vm, out)) << out.a_str();
    HWND hwnd = makeWindow(vm, u"Kv2Window");
    EXPECT_EQ(probe(vm, hwnd), 42);
    EXPECT_EQ(probe(vm, hwnd, u"inDbg"), 0);
}
