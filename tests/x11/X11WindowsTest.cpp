// What the display back end asks of the window system, tested in memory: which window a point
// belongs to, the scroll bars it draws, the exposed areas it invalidates, and the input it posts
// (mouse moves folded together, key presses carrying the text the layout typed).
#include <gtest/gtest.h>

#include "platform/KvoWindows.h"
#include "platform/linux/KvoWindowInternal.h"

namespace {

LRESULT plainProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// Takes and handles what is waiting (painting validates, so the queue runs dry).
void drain()
{
    MSG msg;
    for (int i = 0; i < 1000 && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
        DispatchMessageW(&msg);
    }
}

class X11Windows : public ::testing::Test {
protected:
    void SetUp() override
    {
        static const ATOM atom = [] {
            WNDCLASSW wc{};
            wc.style = 3;
            wc.lpfnWndProc = plainProc;
            wc.lpszClassName = u"X11TestWindow";
            return RegisterClassW(&wc);
        }();
        ASSERT_NE(atom, 0);
        // A framed top-level window at (100, 50): 3-pixel frame, 20-pixel caption, vertical bar.
        top = CreateWindowExW(0, u"X11TestWindow", u"top", WS_OVERLAPPEDWINDOW | WS_VSCROLL | WS_VISIBLE, 100, 50,
                              300, 200, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(top, nullptr);
    }
    void TearDown() override
    {
        DestroyWindow(top);
        drain();
    }
    HWND child(int x, int y, int width, int height, DWORD style, HWND parent = nullptr)
    {
        return CreateWindowExW(0, u"X11TestWindow", u"", WS_CHILD | WS_VISIBLE | style, x, y, width, height,
                               parent != nullptr ? parent : top, nullptr, nullptr, nullptr);
    }
    // A point of the top-level surface for a point of top's client area.
    static POINT onSurface(int x, int y) { return POINT{x + 3, y + 23}; }

    HWND top = nullptr;
};

TEST_F(X11Windows, TopLevelViewsGiveFrameAndVisibility)
{
    std::vector<KvoTopLevelView> views;
    kvoTopLevelViews(views);
    const auto view = std::find_if(views.begin(), views.end(), [this](const KvoTopLevelView& v) { return v.hwnd == top; });
    ASSERT_NE(view, views.end());
    EXPECT_TRUE(view->shown);
    EXPECT_EQ(view->x, 100);
    EXPECT_EQ(view->width, 300);
    EXPECT_EQ(view->frame.left, 3);
    EXPECT_EQ(view->frame.top, 23);
    // The scroll bar is not frame: the display window shows it.
    EXPECT_EQ(view->frame.right, 3);
    EXPECT_EQ(view->text, u"top");
    ShowWindow(top, SW_MINIMIZE);
    kvoTopLevelViews(views);
    EXPECT_FALSE(std::find_if(views.begin(), views.end(), [this](const KvoTopLevelView& v) { return v.hwnd == top; })->shown);
}

TEST_F(X11Windows, HitTestingFollowsOrderVisibilityAndEnabling)
{
    const HWND lower = child(10, 10, 100, 100, 0);
    const HWND upper = child(50, 50, 100, 100, 0);
    SetWindowPos(upper, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    KvoHit hit;
    ASSERT_TRUE(kvoHitTest(top, onSurface(60, 70), hit));
    EXPECT_EQ(hit.hwnd, upper);
    EXPECT_EQ(hit.client.x, 10);
    EXPECT_EQ(hit.client.y, 20);
    EXPECT_EQ(hit.bar, -1);
    ASSERT_TRUE(kvoHitTest(top, onSurface(20, 20), hit));
    EXPECT_EQ(hit.hwnd, lower);
    // Hidden windows are not there; disabled ones let the point through to their parent.
    ShowWindow(upper, SW_HIDE);
    ASSERT_TRUE(kvoHitTest(top, onSurface(60, 70), hit));
    EXPECT_EQ(hit.hwnd, lower);
    EnableWindow(lower, FALSE);
    ASSERT_TRUE(kvoHitTest(top, onSurface(60, 70), hit));
    EXPECT_EQ(hit.hwnd, top);
    EXPECT_EQ(hit.client.x, 60);
    // A child's part outside its parent's client area is not the child's.
    const HWND inner = child(0, 0, 500, 500, 0, upper);
    ShowWindow(upper, SW_SHOW);
    ASSERT_TRUE(kvoHitTest(top, onSurface(149, 149), hit));
    EXPECT_EQ(hit.hwnd, inner);
    ASSERT_TRUE(kvoHitTest(top, onSurface(151, 151), hit));
    EXPECT_EQ(hit.hwnd, top);
    // A disabled top-level window takes nothing; outside the window nothing is hit.
    EXPECT_FALSE(kvoHitTest(top, POINT{-1, 5}, hit));
    EnableWindow(top, FALSE);
    EXPECT_FALSE(kvoHitTest(top, onSurface(5, 5), hit));
}

TEST_F(X11Windows, ScrollBarsAreFoundAndListed)
{
    // Client area 278 x 174: the vertical bar is the 16 pixels right of it.
    KvoHit hit;
    ASSERT_TRUE(kvoHitTest(top, onSurface(280, 100), hit));
    EXPECT_EQ(hit.hwnd, top);
    EXPECT_EQ(hit.bar, SB_VERT);
    EXPECT_EQ(hit.barRect.left, 3 + 278);
    EXPECT_EQ(hit.barRect.right, 3 + 278 + 16);
    EXPECT_EQ(hit.barRect.bottom, 23 + 174);
    const HWND scrolled = child(10, 10, 100, 80, WS_HSCROLL | WS_VSCROLL | WS_BORDER);
    SCROLLINFO info{sizeof(SCROLLINFO), SIF_RANGE | SIF_PAGE | SIF_POS, 0, 500, 100, 40, 0};
    SetScrollInfo(scrolled, SB_HORZ, &info, TRUE);
    std::vector<KvoScrollBarView> bars;
    kvoScrollBarViews(top, bars);
    ASSERT_EQ(bars.size(), 3u);
    EXPECT_EQ(bars[0].hwnd, top);
    EXPECT_EQ(bars[1].hwnd, scrolled);
    EXPECT_EQ(bars[1].bar, SB_HORZ);
    EXPECT_EQ(bars[1].maximum, 500);
    EXPECT_EQ(bars[1].position, 40);
    // Inside the border, below the client area, left of the vertical bar.
    EXPECT_EQ(bars[1].rect.left, 3 + 10 + 1);
    EXPECT_EQ(bars[1].rect.right, 3 + 10 + 100 - 1 - 16);
    EXPECT_EQ(bars[1].rect.bottom, 23 + 10 + 80 - 1);
    EXPECT_EQ(bars[2].bar, SB_VERT);
    // While the thumb is dragged, the bar shows and GetScrollInfo reports the track position.
    kvoSetScrollTrack(scrolled, SB_HORZ, true, 300);
    kvoScrollBarViews(top, bars);
    EXPECT_EQ(bars[1].position, 300);
    info.fMask = SIF_POS | SIF_TRACKPOS;
    ASSERT_TRUE(GetScrollInfo(scrolled, SB_HORZ, &info));
    EXPECT_EQ(info.nPos, 40);
    EXPECT_EQ(info.nTrackPos, 300);
    kvoSetScrollTrack(scrolled, SB_HORZ, false, 0);
    ASSERT_TRUE(GetScrollInfo(scrolled, SB_HORZ, &info));
    EXPECT_EQ(info.nTrackPos, 40);
    // A window above another's bar clips it.
    const HWND cover = child(0, 0, 60, 200, 0);
    SetWindowPos(cover, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    kvoScrollBarViews(top, bars);
    for (const RECT& piece : bars[1].clip) {
        EXPECT_GE(piece.left, 3 + 60);
    }
}

TEST_F(X11Windows, ExposedAreasReachClippedChildren)
{
    SetWindowLongPtrW(top, GWL_STYLE, GetWindowLongPtrW(top, GWL_STYLE) | WS_CLIPCHILDREN);
    const HWND inside = child(100, 100, 50, 50, 0);
    UpdateWindow(top);
    kvoInvalidateSurfaceArea(top, RECT{onSurface(120, 110).x, onSurface(120, 110).y, onSurface(130, 200).x,
                                       onSurface(130, 200).y});
    RECT update{};
    ASSERT_TRUE(GetUpdateRect(top, &update, FALSE));
    EXPECT_EQ(update.left, 120);
    EXPECT_EQ(update.bottom, 174); // the client area's bottom
    ASSERT_TRUE(GetUpdateRect(inside, &update, FALSE));
    EXPECT_EQ(update.left, 20);
    EXPECT_EQ(update.top, 10);
    EXPECT_EQ(update.right, 30);
    EXPECT_EQ(update.bottom, 50);
}

TEST_F(X11Windows, MouseMovesFoldAndKeyTextReachesTranslateMessage)
{
    drain();
    MSG msg;
    ASSERT_TRUE(kvoPostInput(top, WM_MOUSEMOVE, 0, 1, POINT{}, nullptr));
    ASSERT_TRUE(kvoPostInput(top, WM_MOUSEMOVE, 0, 2, POINT{}, nullptr));
    ASSERT_TRUE(kvoPostInput(top, WM_LBUTTONDOWN, 1, 2, POINT{}, nullptr));
    ASSERT_TRUE(kvoPostInput(top, WM_MOUSEMOVE, 1, 3, POINT{}, nullptr));
    const std::u16string cyrillic = u"\u0444";
    ASSERT_TRUE(kvoPostInput(top, WM_KEYDOWN, 'A', 0x260001, POINT{}, &cyrillic));
    const std::u16string nothing;
    ASSERT_TRUE(kvoPostInput(top, WM_KEYDOWN, 0x25, 0x710001, POINT{}, &nothing));
    std::vector<std::pair<UINT, WPARAM>> seen;
    for (int i = 0; i < 100 && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
        if (msg.message == WM_MOUSEMOVE) {
            seen.emplace_back(msg.message, static_cast<WPARAM>(msg.lParam));
        } else {
            seen.emplace_back(msg.message, msg.wParam);
        }
        TranslateMessage(&msg);
    }
    // One move for the two in a row; the one after the press stays; the key types its layout's
    // letter, not the US one, and the arrow types nothing.
    const std::vector<std::pair<UINT, WPARAM>> expected{
        {WM_MOUSEMOVE, 2}, {WM_LBUTTONDOWN, 1}, {WM_MOUSEMOVE, 3}, {WM_KEYDOWN, 'A'}, {WM_CHAR, 0x444}, {WM_KEYDOWN, 0x25}};
    EXPECT_EQ(seen, expected);
    // A key message a program posts itself still types the US character.
    PostMessageW(top, WM_KEYDOWN, 'A', 0x260001);
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    TranslateMessage(&msg);
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_CHAR);
    EXPECT_EQ(msg.wParam, static_cast<WPARAM>('a'));
    // Input for a window that is gone is refused.
    const HWND gone = child(0, 0, 10, 10, 0);
    DestroyWindow(gone);
    EXPECT_FALSE(kvoPostInput(gone, WM_MOUSEMOVE, 0, 0, POINT{}, nullptr));
}

TEST_F(X11Windows, DoubleClicksOnlyForClassesThatAsk)
{
    static const ATOM atom = [] {
        WNDCLASSW wc{};
        wc.style = 0x0008; // CS_DBLCLKS
        wc.lpfnWndProc = plainProc;
        wc.lpszClassName = u"X11TestDoubleClicks";
        return RegisterClassW(&wc);
    }();
    ASSERT_NE(atom, 0);
    const HWND clicks = CreateWindowExW(0, u"X11TestDoubleClicks", u"", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, top,
                                        nullptr, nullptr, nullptr);
    EXPECT_TRUE(kvoWantsDoubleClicks(clicks));
    EXPECT_FALSE(kvoWantsDoubleClicks(top));
    EXPECT_FALSE(kvoWantsDoubleClicks(nullptr));
}

TEST_F(X11Windows, KeysGoToTheFocusInsideTheWindow)
{
    const HWND edit = child(0, 0, 10, 10, 0);
    EXPECT_EQ(kvoKeyTarget(top), top);
    SetFocus(edit);
    EXPECT_EQ(kvoKeyTarget(top), edit);
    // The focus in another top-level window does not take this one's keys.
    const HWND other = CreateWindowExW(0, u"X11TestWindow", u"", WS_VISIBLE, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                                       nullptr);
    SetFocus(other);
    EXPECT_EQ(kvoKeyTarget(top), top);
    DestroyWindow(other);
    EXPECT_EQ(kvoKeyTarget(nullptr), nullptr);
}

} // namespace
