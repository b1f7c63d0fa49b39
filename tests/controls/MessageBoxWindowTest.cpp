// Tests of the message box as a window, driven headless by messages posted once the box is shown:
// every button of every button set, Enter and Escape, closing, the owner's disabling, and the
// ends of its loop (nothing more to come, a quit request).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/KvoControls.h"
#include "platform/linux/KvoMessageBoxInternal.h"

namespace {

// What the test does to the box once it is up.
struct Script {
    std::vector<int> clicks;       // ids of buttons to post BM_CLICK to
    std::vector<WPARAM> keys;      // keys pressed on the focused button
    bool close = false;            // post WM_CLOSE to the box
    bool quit = false;             // post a quit request
    HWND box = nullptr;            // the box, as it was shown
    std::u16string caption;
    std::u16string text;
    std::vector<std::u16string> labels;
    bool ownerEnabled = true;
    HWND owner = nullptr;
};

std::u16string textOf(HWND hwnd)
{
    KvoChar buffer[256];
    const int length = GetWindowTextW(hwnd, buffer, 256);
    return std::u16string(buffer, static_cast<std::size_t>(length));
}

void drive(HWND box, void* context)
{
    auto& script = *static_cast<Script*>(context);
    script.box = box;
    script.caption = textOf(box);
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        if (GetWindowLongPtrW(child, GWLP_ID) == 0xFFFF) {
            script.text = textOf(child);
        } else {
            script.labels.push_back(textOf(child));
        }
    }
    if (script.owner != nullptr) {
        script.ownerEnabled = IsWindowEnabled(script.owner) != FALSE;
    }
    for (int id : script.clicks) {
        PostMessageW(GetDlgItem(box, id), BM_CLICK, 0, 0);
    }
    for (WPARAM key : script.keys) {
        PostMessageW(nullptr, WM_KEYDOWN, key, 1);
        PostMessageW(nullptr, WM_KEYUP, key, 1);
    }
    if (script.close) {
        PostMessageW(box, WM_CLOSE, 0, 0);
    }
    if (script.quit) {
        PostQuitMessage(3);
    }
}

int run(UINT style, Script& script, HWND owner = nullptr)
{
    script.owner = owner;
    return kvoMessageBoxWindow(owner, u"Save the changes?", u"Notes", style, drive, &script);
}

TEST(MessageBoxWindow, EachButtonOfEachSetGivesItsAnswer)
{
    const struct {
        UINT style;
        std::vector<int> ids;
        std::vector<std::u16string> labels;
    } sets[] = {
        {MB_OK, {IDOK}, {u"OK"}},
        {MB_OKCANCEL, {IDOK, IDCANCEL}, {u"OK", u"Cancel"}},
        {MB_ABORTRETRYIGNORE, {IDABORT, IDRETRY, IDIGNORE}, {u"Abort", u"Retry", u"Ignore"}},
        {MB_YESNOCANCEL, {IDYES, IDNO, IDCANCEL}, {u"Yes", u"No", u"Cancel"}},
        {MB_YESNO, {IDYES, IDNO}, {u"Yes", u"No"}},
        {MB_RETRYCANCEL, {IDRETRY, IDCANCEL}, {u"Retry", u"Cancel"}},
    };
    for (const auto& set : sets) {
        for (int id : set.ids) {
            Script script;
            script.clicks = {id};
            EXPECT_EQ(run(set.style, script), id) << "style " << set.style;
            EXPECT_EQ(script.labels, set.labels);
            EXPECT_EQ(script.caption, u"Notes");
            EXPECT_EQ(script.text, u"Save the changes?");
            EXPECT_FALSE(IsWindow(script.box));
        }
    }
}

TEST(MessageBoxWindow, EnterChoosesTheFocusedButtonAtFirstTheDefault)
{
    Script first;
    first.keys = {VK_RETURN};
    EXPECT_EQ(run(MB_YESNOCANCEL, first), IDYES);
    Script second;
    second.keys = {VK_RETURN};
    EXPECT_EQ(run(MB_YESNOCANCEL | MB_DEFBUTTON2, second), IDNO);
    // Tab moves the focus on; Enter then chooses that button.
    Script tabbed;
    tabbed.keys = {VK_TAB, VK_RETURN};
    EXPECT_EQ(run(MB_YESNOCANCEL, tabbed), IDNO);
    // Space clicks the focused button too.
    Script space;
    space.keys = {VK_SPACE};
    EXPECT_EQ(run(MB_OKCANCEL | MB_DEFBUTTON2, space), IDCANCEL);
}

TEST(MessageBoxWindow, EscapeAndClosingGiveTheStopAnswer)
{
    const struct {
        UINT style;
        int stop;
    } sets[] = {
        {MB_OK, IDOK},         {MB_OKCANCEL, IDCANCEL}, {MB_YESNOCANCEL, IDCANCEL},
        {MB_YESNO, IDNO},      {MB_ABORTRETRYIGNORE, IDABORT}, {MB_RETRYCANCEL, IDCANCEL},
    };
    for (const auto& set : sets) {
        Script escape;
        escape.keys = {VK_ESCAPE};
        EXPECT_EQ(run(set.style, escape), set.stop);
        Script closed;
        closed.close = true;
        EXPECT_EQ(run(set.style, closed), set.stop);
    }
}

TEST(MessageBoxWindow, TheOwnerIsDisabledWhileTheBoxIsUpAndHearsNoInput)
{
    static int ownerKeys = 0;
    WNDCLASSW ownerClass{};
    ownerClass.lpfnWndProc = [](HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
        ownerKeys += msg == WM_KEYDOWN ? 1 : 0;
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    };
    ownerClass.lpszClassName = u"KvoBoxOwner";
    ASSERT_NE(RegisterClassW(&ownerClass), 0);
    HWND owner = CreateWindowExW(0, u"KvoBoxOwner", u"", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100, nullptr,
                                 nullptr, nullptr, nullptr);
    Script script;
    script.clicks = {IDNO};
    PostMessageW(owner, WM_KEYDOWN, 'A', 1);
    EXPECT_EQ(run(MB_YESNO, script, owner), IDNO);
    EXPECT_FALSE(script.ownerEnabled);
    EXPECT_TRUE(IsWindowEnabled(owner));
    EXPECT_EQ(ownerKeys, 0);
    DestroyWindow(owner);
    UnregisterClassW(u"KvoBoxOwner", nullptr);
}

TEST(MessageBoxWindow, ALoopThatCanReceiveNothingMoreOrIsToldToQuitStops)
{
    Script idle;
    EXPECT_EQ(run(MB_OKCANCEL, idle), IDCANCEL);
    EXPECT_FALSE(IsWindow(idle.box));

    Script quit;
    quit.quit = true;
    EXPECT_EQ(run(MB_YESNO, quit), IDNO);
    // The quit request is passed on to the caller's loop.
    MSG msg{};
    EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), FALSE);
    EXPECT_EQ(msg.wParam, 3u);
}

TEST(MessageBoxWindow, TheBoxIsCentredAndFitsItsText)
{
    Script script;
    script.clicks = {IDOK};
    RECT rect{};
    struct Probe {
        Script* script;
        RECT* rect;
    } probe{&script, &rect};
    kvoMessageBoxWindow(
        nullptr, u"A longer line of text that the box must show whole", u"Wide", MB_OK,
        [](HWND box, void* context) {
            auto* p = static_cast<Probe*>(context);
            GetWindowRect(box, p->rect);
            drive(box, p->script);
        },
        &probe);
    const int width = rect.right - rect.left;
    EXPECT_GT(width, 200);
    EXPECT_NEAR(rect.left, SCREEN_WIDTH - rect.right, 1);
    EXPECT_NEAR(rect.top, SCREEN_HEIGHT - rect.bottom, 1);
}

} // namespace
