// The display back end against a real server: run by kvo_xvfb.py (scenario native) with DISPLAY
// naming a private Xvfb; skipped when the window system runs headless. A second connection looks
// at what the server holds.
// gtest comes first: Xlib's macros (None, Bool, Status) would break its templates.
#include <gtest/gtest.h>

#include <string>

#include "platform/KvoGdi.h"
#include "platform/KvoKernel.h"
#include "platform/KvoWindows.h"
#include "platform/linux/KvoWindowInternal.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

int paints = 0;

LRESULT paintingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_PAINT) {
        PAINTSTRUCT paint{};
        HDC hdc = BeginPaint(hwnd, &paint);
        RECT client{};
        GetClientRect(hwnd, &client);
        HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
        FillRect(hdc, &client, red);
        DeleteObject(red);
        EndPaint(hwnd, &paint);
        ++paints;
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// The top-level X windows titled title, with their geometry (root coordinates).
int findOnServer(Display* display, const char* title, XWindowAttributes* found)
{
    Window root = DefaultRootWindow(display);
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    int matches = 0;
    XSync(display, False);
    if (XQueryTree(display, root, &root, &parent, &children, &count) == 0) {
        return 0;
    }
    for (unsigned i = 0; i < count; ++i) {
        char* name = nullptr;
        if (XFetchName(display, children[i], &name) && name != nullptr) {
            if (std::string(name) == title) {
                ++matches;
                XGetWindowAttributes(display, children[i], found);
            }
            XFree(name);
        }
    }
    XFree(children);
    return matches;
}

void pumpUntil(bool (*done)(), int rounds = 200)
{
    for (int i = 0; i < rounds && !done(); ++i) {
        MSG msg;
        if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        } else {
            Sleep(10);
        }
    }
}

TEST(X11Display, WindowsFollowTheProgramOnTheServer)
{
    if (!kvoDisplayActive()) {
        GTEST_SKIP() << "no display";
    }
    Display* observer = XOpenDisplay(nullptr);
    ASSERT_NE(observer, nullptr);
    WNDCLASSW wc{};
    wc.lpfnWndProc = paintingProc;
    wc.lpszClassName = u"X11DisplayTest";
    ASSERT_NE(RegisterClassW(&wc), 0);
    const HWND hwnd = CreateWindowExW(0, u"X11DisplayTest", u"first", WS_OVERLAPPEDWINDOW | WS_VSCROLL | WS_VISIBLE,
                                      40, 30, 200, 150, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(hwnd, nullptr);
    pumpUntil([] { return paints > 0; });
    EXPECT_GT(paints, 0);
    XWindowAttributes attributes{};
    ASSERT_EQ(findOnServer(observer, "first", &attributes), 1);
    // Frame and caption are the server's: the X window is the rest, at the client area's place.
    EXPECT_EQ(attributes.x, 43);
    EXPECT_EQ(attributes.y, 53);
    EXPECT_EQ(attributes.width, 194);
    EXPECT_EQ(attributes.height, 124);
    EXPECT_EQ(attributes.map_state, IsViewable);

    SetWindowTextW(hwnd, u"second");
    MoveWindow(hwnd, 60, 70, 300, 250, TRUE);
    pumpUntil([] { return false; }, 5);
    EXPECT_EQ(findOnServer(observer, "first", &attributes), 0);
    ASSERT_EQ(findOnServer(observer, "second", &attributes), 1);
    EXPECT_EQ(attributes.x, 63);
    EXPECT_EQ(attributes.width, 294);
    EXPECT_EQ(attributes.height, 224);

    ShowWindow(hwnd, SW_HIDE);
    pumpUntil([] { return false; }, 5);
    ASSERT_EQ(findOnServer(observer, "second", &attributes), 1);
    EXPECT_EQ(attributes.map_state, IsUnmapped);

    // An idle loop with a timer sleeps on the connection until the timer is due.
    ShowWindow(hwnd, SW_SHOW);
    ASSERT_NE(SetTimer(hwnd, 7, 50, nullptr), 0u);
    MSG msg{};
    bool timer = false;
    for (int i = 0; i < 100 && !timer; ++i) {
        ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
        timer = msg.message == WM_TIMER && msg.wParam == 7;
        DispatchMessageW(&msg);
    }
    EXPECT_TRUE(timer);
    KillTimer(hwnd, 7);

    DestroyWindow(hwnd);
    EXPECT_EQ(findOnServer(observer, "second", &attributes), 0);
    // With no window shown and no timer, nothing can come: the loop ends instead of waiting.
    EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), -1);
    XCloseDisplay(observer);
    UnregisterClassW(u"X11DisplayTest", nullptr);
}

} // namespace
