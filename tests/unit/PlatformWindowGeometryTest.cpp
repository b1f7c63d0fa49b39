// Tests of the window system's geometry: non-client sizes and parent-relative positions, z-order,
// show states, update rectangles and what the drawing layer is told, scroll bars and scrolling.
#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "platform/KvoWindows.h"
#include "platform/KvoGdi.h"

// Found by argument-dependent lookup, so at global scope; internal to this file.
static bool operator==(const RECT& a, const RECT& b)
{
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

static std::ostream& operator<<(std::ostream& out, const RECT& r)
{
    return out << '(' << r.left << ", " << r.top << ", " << r.right << ", " << r.bottom << ')';
}

namespace {

struct Received {
    HWND hwnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<Received> received;

LRESULT geometryProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    received.push_back({hwnd, msg, wParam, lParam});
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

class GeometryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        received.clear();
        WNDCLASSW wc{};
        wc.lpfnWndProc = geometryProc;
        wc.lpszClassName = u"KvoTestGeometry";
        ASSERT_NE(RegisterClassW(&wc), 0);
    }

    void TearDown() override
    {
        for (HWND hwnd : m_created) {
            DestroyWindow(hwnd);
        }
        EXPECT_TRUE(UnregisterClassW(u"KvoTestGeometry", nullptr));
    }

    HWND create(DWORD style, int x, int y, int width, int height, HWND parent = nullptr)
    {
        HWND hwnd = CreateWindowExW(0, u"KvoTestGeometry", u"", style, x, y, width, height, parent, nullptr,
                                    nullptr, nullptr);
        m_created.push_back(hwnd);
        return hwnd;
    }

    static RECT windowRect(HWND hwnd)
    {
        RECT rect{-1, -1, -1, -1};
        GetWindowRect(hwnd, &rect);
        return rect;
    }
    static RECT clientRect(HWND hwnd)
    {
        RECT rect{-1, -1, -1, -1};
        GetClientRect(hwnd, &rect);
        return rect;
    }
    static RECT updateRect(HWND hwnd)
    {
        RECT rect{-1, -1, -1, -1};
        GetUpdateRect(hwnd, &rect, FALSE);
        return rect;
    }
    // The messages msg received by hwnd since the last clear, as their parameters.
    static std::vector<Received> messages(HWND hwnd, UINT msg)
    {
        std::vector<Received> result;
        for (const Received& r : received) {
            if (r.hwnd == hwnd && r.msg == msg) {
                result.push_back(r);
            }
        }
        return result;
    }

    std::vector<HWND> m_created;
};

TEST_F(GeometryTest, FramesCaptionsScrollBarsAndParentRelativePositions)
{
    HWND frame = create(WS_OVERLAPPEDWINDOW, 10, 20, 200, 150);
    EXPECT_EQ(windowRect(frame), (RECT{10, 20, 210, 170}));
    // A thick frame of 3 on each side and a caption of 20.
    EXPECT_EQ(clientRect(frame), (RECT{0, 0, 194, 124}));

    HWND child = create(WS_CHILD | WS_BORDER | WS_VSCROLL | WS_HSCROLL, 5, 7, 60, 50, frame);
    EXPECT_EQ(windowRect(child), (RECT{18, 50, 78, 100}));
    EXPECT_EQ(clientRect(child), (RECT{0, 0, 60 - 2 - 16, 50 - 2 - 16}));
    POINT point{0, 0};
    ASSERT_TRUE(ClientToScreen(child, &point));
    EXPECT_EQ(point.x, 19);
    EXPECT_EQ(point.y, 51);
    ASSERT_TRUE(ScreenToClient(frame, &point));
    EXPECT_EQ(point.x, 6);
    EXPECT_EQ(point.y, 8);

    POINT points[2] = {{0, 0}, {-1, 2}};
    const int offsets = MapWindowPoints(child, frame, points, 2);
    EXPECT_EQ(offsets, 6 | (8 << 16));
    EXPECT_EQ(points[1].x, 5);
    EXPECT_EQ(points[1].y, 10);
    EXPECT_EQ(MapWindowPoints(frame, child, points, 0), static_cast<int>(0xFFFAu | (0xFFF8u << 16)));

    // Moving the parent moves the child on the screen, not in its parent.
    ASSERT_TRUE(MoveWindow(frame, 0, 0, 200, 150, FALSE));
    EXPECT_EQ(windowRect(child), (RECT{8, 30, 68, 80}));

    // A client area never goes negative; sizes default for top-level windows only.
    HWND tiny = create(WS_CAPTION, 0, 0, 10, 10);
    EXPECT_EQ(clientRect(tiny), (RECT{0, 0, 4, 0}));
    HWND defaulted = create(0, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0);
    EXPECT_EQ(windowRect(defaulted), (RECT{0, 0, DEFAULT_WINDOW_WIDTH, DEFAULT_WINDOW_HEIGHT}));
    EXPECT_EQ(clientRect(create(WS_CHILD, 0, 0, CW_USEDEFAULT, 0, frame)), (RECT{0, 0, 0, 0}));

    HWND stale = create(0, 0, 0, 1, 1);
    DestroyWindow(stale);
    RECT rect{};
    EXPECT_FALSE(GetWindowRect(stale, &rect));
    EXPECT_FALSE(ClientToScreen(stale, &point));
    EXPECT_EQ(MapWindowPoints(stale, nullptr, points, 1), 0);
}

TEST_F(GeometryTest, MoveAndSizeAreToldOnlyWhenTheyChange)
{
    HWND parent = create(0, 0, 0, 100, 100);
    HWND child = create(WS_CHILD | WS_BORDER, 5, 6, 30, 40, parent);
    std::vector<UINT> sequence;
    for (const Received& r : received) {
        if (r.hwnd == child) {
            sequence.push_back(r.msg);
        }
    }
    EXPECT_EQ(sequence, (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_SIZE, WM_MOVE}));
    ASSERT_EQ(messages(child, WM_SIZE).size(), 1u);
    EXPECT_EQ(messages(child, WM_SIZE)[0].lParam, 28 | (38 << 16));
    EXPECT_EQ(messages(child, WM_MOVE)[0].lParam, 6 | (7 << 16));

    received.clear();
    EXPECT_TRUE(MoveWindow(child, 5, 6, 30, 40, TRUE));
    EXPECT_TRUE(received.empty());
    EXPECT_TRUE(MoveWindow(child, 8, 6, 30, 40, TRUE));
    EXPECT_EQ(messages(child, WM_MOVE).size(), 1u);
    EXPECT_TRUE(messages(child, WM_SIZE).empty());
    received.clear();
    EXPECT_TRUE(SetWindowPos(child, nullptr, 99, 99, 50, -4, SWP_NOMOVE | SWP_NOZORDER));
    EXPECT_TRUE(messages(child, WM_MOVE).empty());
    ASSERT_EQ(messages(child, WM_SIZE).size(), 1u);
    EXPECT_EQ(messages(child, WM_SIZE)[0].lParam, 48) << "a negative height counts as 0";
    EXPECT_EQ(clientRect(child), (RECT{0, 0, 48, 0}));

    // WS_VISIBLE at creation shows the window after WM_CREATE, invalidated for its first paint.
    received.clear();
    HWND shown = create(WS_VISIBLE, 0, 0, 20, 10);
    ASSERT_EQ(messages(shown, WM_SHOWWINDOW).size(), 1u);
    EXPECT_EQ(messages(shown, WM_SHOWWINDOW)[0].wParam, static_cast<WPARAM>(TRUE));
    EXPECT_TRUE(IsWindowVisible(shown));
    EXPECT_EQ(updateRect(shown), (RECT{0, 0, 20, 10}));
}

TEST_F(GeometryTest, ShowStates)
{
    HWND parent = create(WS_VISIBLE, 50, 50, 300, 200);
    HWND child = create(WS_CHILD, 10, 10, 40, 30, parent);
    EXPECT_FALSE(IsWindowVisible(child));
    EXPECT_FALSE(ShowWindow(child, SW_SHOW));
    EXPECT_TRUE(IsWindowVisible(child));
    EXPECT_TRUE(ShowWindow(parent, SW_HIDE));
    EXPECT_FALSE(IsWindowVisible(child)) << "a hidden parent hides its children";
    EXPECT_FALSE(ShowWindow(parent, SW_SHOW));

    received.clear();
    EXPECT_TRUE(ShowWindow(child, SW_MAXIMIZE));
    EXPECT_TRUE(IsZoomed(child));
    EXPECT_EQ(windowRect(child), (RECT{50, 50, 350, 250}));
    ASSERT_EQ(messages(child, WM_SIZE).size(), 1u);
    EXPECT_EQ(messages(child, WM_SIZE)[0].wParam, SIZE_MAXIMIZED);
    EXPECT_EQ(messages(child, WM_SIZE)[0].lParam, 300 | (200 << 16));

    received.clear();
    EXPECT_TRUE(ShowWindow(child, SW_MINIMIZE));
    EXPECT_TRUE(IsIconic(child));
    EXPECT_FALSE(IsZoomed(child));
    EXPECT_FALSE(IsWindowVisible(child)) << "minimized windows are hidden on this device";
    EXPECT_EQ(messages(child, WM_SHOWWINDOW).size(), 1u);
    ASSERT_EQ(messages(child, WM_SIZE).size(), 1u);
    EXPECT_EQ(messages(child, WM_SIZE)[0].wParam, SIZE_MINIMIZED);

    // Restoring from minimized goes back to the rectangle before maximizing.
    EXPECT_FALSE(ShowWindow(child, SW_RESTORE_DEVICE));
    EXPECT_FALSE(IsIconic(child));
    EXPECT_TRUE(IsWindowVisible(child));
    EXPECT_EQ(windowRect(child), (RECT{60, 60, 100, 90}));

    EXPECT_TRUE(ShowWindow(parent, SW_SHOWMAXIMIZED_DEVICE));
    EXPECT_EQ(windowRect(parent), (RECT{0, 0, SCREEN_WIDTH, SCREEN_HEIGHT}));
    EXPECT_TRUE(ShowWindow(parent, SW_RESTORE));
    EXPECT_EQ(windowRect(parent), (RECT{50, 50, 350, 250}));
    EXPECT_FALSE(ShowWindow(parent, 99));
    EXPECT_TRUE(IsWindowVisible(parent));

    // Showing a top-level window raises it above the others.
    HWND other = create(WS_VISIBLE, 0, 0, 10, 10);
    EXPECT_EQ(GetWindow(parent, GW_HWNDPREV), other);
    ShowWindow(parent, SW_SHOW);
    EXPECT_EQ(GetWindow(parent, GW_HWNDFIRST), parent);
    EXPECT_EQ(GetWindow(parent, GW_HWNDNEXT), other);
}

TEST_F(GeometryTest, ZOrderParentsAndHitTesting)
{
    HWND parent = create(0, 0, 0, 100, 100);
    HWND a = create(WS_CHILD, 0, 0, 50, 50, parent);
    HWND b = create(WS_CHILD, 25, 25, 50, 50, parent);
    HWND c = create(WS_CHILD, 60, 60, 10, 10, parent);
    const auto order = [parent] {
        std::vector<HWND> result;
        for (HWND hwnd = GetWindow(parent, GW_CHILD); hwnd != nullptr; hwnd = GetWindow(hwnd, GW_HWNDNEXT)) {
            result.push_back(hwnd);
        }
        return result;
    };
    EXPECT_EQ(order(), (std::vector<HWND>{a, b, c})) << "creation order is z-order, topmost first";
    EXPECT_EQ(GetWindow(c, GW_HWNDFIRST), a);
    EXPECT_EQ(GetWindow(a, GW_HWNDLAST), c);
    EXPECT_EQ(GetWindow(a, GW_HWNDPREV), nullptr);
    EXPECT_EQ(GetWindow(a, GW_OWNER), nullptr);
    EXPECT_EQ(ChildWindowFromPoint(parent, POINT{30, 30}), a);

    const UINT keep = SWP_NOMOVE | SWP_NOSIZE;
    EXPECT_TRUE(SetWindowPos(b, HWND_TOP, 0, 0, 0, 0, keep));
    EXPECT_EQ(ChildWindowFromPoint(parent, POINT{30, 30}), b);
    EXPECT_TRUE(SetWindowPos(b, c, 0, 0, 0, 0, keep));
    EXPECT_EQ(order(), (std::vector<HWND>{a, c, b}));
    EXPECT_TRUE(SetWindowPos(a, HWND_BOTTOM, 0, 0, 0, 0, keep));
    EXPECT_EQ(order(), (std::vector<HWND>{c, b, a}));
    EXPECT_FALSE(SetWindowPos(a, parent, 0, 0, 0, 0, keep)) << "not a sibling";
    EXPECT_EQ(ChildWindowFromPoint(parent, POINT{95, 95}), parent);
    EXPECT_EQ(ChildWindowFromPoint(parent, POINT{100, 5}), nullptr);

    EXPECT_EQ(SetParent(parent, a), nullptr) << "a window cannot go below its own descendant";
    EXPECT_EQ(SetParent(c, a), parent);
    EXPECT_EQ(GetParent(c), a);
    EXPECT_EQ(GetWindow(a, GW_CHILD), c);
    EXPECT_EQ(windowRect(c), (RECT{60, 60, 70, 70})) << "the position is kept as numbers";
    EXPECT_EQ(order(), (std::vector<HWND>{b, a}));
    EXPECT_EQ(SetParent(c, nullptr), a);
    EXPECT_EQ(GetParent(c), nullptr);

    EXPECT_FALSE(EnableWindow(a, FALSE));
    EXPECT_FALSE(IsWindowEnabled(a));
    EXPECT_TRUE(EnableWindow(a, TRUE));
    EXPECT_TRUE(IsWindowEnabled(a));
}

TEST_F(GeometryTest, UpdateRectanglesAndTheDrawingArea)
{
    HWND parent = create(WS_VISIBLE, 0, 0, 100, 100);
    HWND child = create(WS_CHILD | WS_VISIBLE, 50, 50, 40, 40, parent);
    HWND lower = create(WS_CHILD | WS_VISIBLE, 0, 0, 60, 60, parent);
    for (HWND hwnd : {parent, child, lower}) {
        EXPECT_TRUE(GetUpdateRect(hwnd, nullptr, FALSE));
        ValidateRect(hwnd, nullptr);
        EXPECT_FALSE(GetUpdateRect(hwnd, nullptr, FALSE));
    }
    RECT first{10, 10, 20, 20};
    RECT second{30, 5, 40, 15};
    InvalidateRect(parent, &first, FALSE);
    InvalidateRect(parent, &second, TRUE);
    EXPECT_EQ(updateRect(parent), (RECT{10, 5, 40, 20}));
    EXPECT_FALSE(GetUpdateRect(child, nullptr, FALSE));
    // Clipped to the client area, and passed on to the child under it in its own coordinates.
    RECT band{40, 40, 200, 60};
    InvalidateRect(parent, &band, FALSE);
    EXPECT_EQ(updateRect(parent), (RECT{10, 5, 100, 60}));
    EXPECT_EQ(updateRect(child), (RECT{0, 0, 40, 10}));

    RECT top{0, 0, 100, 30};
    ValidateRect(parent, &top);
    EXPECT_EQ(updateRect(parent), (RECT{10, 30, 100, 60}));
    RECT middle{40, 40, 60, 50};
    ValidateRect(parent, &middle);
    EXPECT_EQ(updateRect(parent), (RECT{10, 30, 100, 60})) << "a hole leaves the bounding box";
    PAINTSTRUCT paint{};
    ASSERT_NE(BeginPaint(parent, &paint), nullptr);
    EXPECT_EQ(paint.rcPaint, (RECT{10, 30, 100, 60}));
    EXPECT_TRUE(paint.fErase) << "no class background erased it";
    EndPaint(parent, &paint);
    EXPECT_FALSE(GetUpdateRect(parent, nullptr, FALSE));

    // A parent that clips its children does not invalidate them.
    SetWindowLongPtrW(parent, GWL_STYLE, GetWindowLongPtrW(parent, GWL_STYLE) | WS_CLIPCHILDREN);
    ValidateRect(child, nullptr);
    InvalidateRect(parent, nullptr, TRUE);
    EXPECT_FALSE(GetUpdateRect(child, nullptr, FALSE));

    // The lower sibling shows except where the child above it covers it; nothing shows while
    // the parent is hidden.
    HDC dc = GetDC(lower);
    ASSERT_NE(dc, nullptr);
    EXPECT_EQ(SetPixel(dc, 10, 10, RGB(1, 2, 3)), RGB(1, 2, 3));
    EXPECT_EQ(SetPixel(dc, 55, 55, RGB(1, 2, 3)), CLR_INVALID);
    EXPECT_EQ(SetPixel(dc, 45, 55, RGB(1, 2, 3)), RGB(1, 2, 3));
    ShowWindow(parent, SW_HIDE);
    EXPECT_EQ(SetPixel(dc, 10, 10, RGB(1, 2, 3)), CLR_INVALID);
    ShowWindow(parent, SW_SHOW);
    ReleaseDC(lower, dc);

    // UpdateWindow paints parents before children, and the default painting validates.
    SetWindowLongPtrW(parent, GWL_STYLE, GetWindowLongPtrW(parent, GWL_STYLE) & ~WS_CLIPCHILDREN);
    InvalidateRect(parent, nullptr, TRUE);
    received.clear();
    EXPECT_TRUE(UpdateWindow(parent));
    std::vector<HWND> painted;
    for (const Received& r : received) {
        if (r.msg == WM_PAINT) {
            painted.push_back(r.hwnd);
        }
    }
    EXPECT_EQ(painted, (std::vector<HWND>{parent, child, lower}));
    for (HWND hwnd : {parent, child, lower}) {
        EXPECT_FALSE(GetUpdateRect(hwnd, nullptr, FALSE));
    }
}

TEST_F(GeometryTest, ScrollBarsKeepTheirPositionInRange)
{
    HWND hwnd = create(WS_BORDER, 0, 0, 100, 100);
    SCROLLINFO info{sizeof(SCROLLINFO), SIF_ALL, 0, 99, 10, 200, 0};
    EXPECT_EQ(SetScrollInfo(hwnd, SB_HORZ, &info, TRUE), 90);
    SCROLLINFO read{sizeof(SCROLLINFO), SIF_ALL, -1, -1, 0, -1, -1};
    ASSERT_TRUE(GetScrollInfo(hwnd, SB_HORZ, &read));
    EXPECT_EQ(read.nMax, 99);
    EXPECT_EQ(read.nPage, 10u);
    EXPECT_EQ(read.nPos, 90);
    EXPECT_EQ(read.nTrackPos, 90);
    info.nPage = 500;
    EXPECT_EQ(SetScrollInfo(hwnd, SB_HORZ, &info, TRUE), 0) << "a page beyond the range leaves no room to move";
    info.cbSize = 24;
    EXPECT_EQ(SetScrollInfo(hwnd, SB_VERT, &info, TRUE), 0);
    read.cbSize = 24;
    EXPECT_FALSE(GetScrollInfo(hwnd, SB_VERT, &read));
    EXPECT_EQ(SetScrollPos(hwnd, SB_CTL, 5, TRUE), 0);

    EXPECT_EQ(SetScrollPos(hwnd, SB_VERT, 40, TRUE), 0);
    EXPECT_EQ(SetScrollPos(hwnd, SB_VERT, -5, TRUE), 40);
    EXPECT_EQ(GetScrollPos(hwnd, SB_VERT), 0);
    EXPECT_TRUE(SetScrollRange(hwnd, SB_VERT, 10, 5, TRUE));
    EXPECT_EQ(GetScrollPos(hwnd, SB_VERT), 10);

    received.clear();
    EXPECT_TRUE(ShowScrollBar(hwnd, SB_BOTH, TRUE));
    EXPECT_EQ(GetWindowLongPtrW(hwnd, GWL_STYLE) & (WS_HSCROLL | WS_VSCROLL), WS_HSCROLL | WS_VSCROLL);
    EXPECT_EQ(clientRect(hwnd), (RECT{0, 0, 82, 82}));
    ASSERT_EQ(messages(hwnd, WM_SIZE).size(), 1u);
    EXPECT_EQ(messages(hwnd, WM_SIZE)[0].lParam, 82 | (82 << 16));
    EXPECT_TRUE(ShowScrollBar(hwnd, SB_VERT, TRUE));
    EXPECT_EQ(messages(hwnd, WM_SIZE).size(), 1u) << "no change, no message";
    EXPECT_TRUE(ShowScrollBar(hwnd, SB_HORZ, FALSE));
    EXPECT_EQ(clientRect(hwnd), (RECT{0, 0, 82, 98}));
}

TEST_F(GeometryTest, ScrollWindowMovesChildrenAndInvalidatesTheUncoveredStrip)
{
    HWND parent = create(WS_VISIBLE, 0, 0, 100, 100);
    HWND a = create(WS_CHILD | WS_VISIBLE, 10, 10, 20, 20, parent);
    HWND b = create(WS_CHILD | WS_VISIBLE, 50, 60, 20, 20, parent);
    for (HWND hwnd : {parent, a, b}) {
        ValidateRect(hwnd, nullptr);
    }
    received.clear();
    RECT update{};
    EXPECT_EQ(ScrollWindowEx(parent, 0, -30, nullptr, nullptr, nullptr, &update,
                             SW_SCROLLCHILDREN | SW_INVALIDATE | SW_ERASE),
              SIMPLEREGION);
    EXPECT_EQ(update, (RECT{0, 70, 100, 100}));
    EXPECT_EQ(updateRect(parent), (RECT{0, 70, 100, 100}));
    EXPECT_EQ(windowRect(a), (RECT{10, -20, 30, 0}));
    EXPECT_EQ(windowRect(b), (RECT{50, 30, 70, 50}));
    ASSERT_EQ(messages(a, WM_MOVE).size(), 1u);
    EXPECT_EQ(messages(a, WM_MOVE)[0].lParam, static_cast<LPARAM>(10u | (0xFFECu << 16)));
    EXPECT_EQ(messages(b, WM_MOVE).size(), 1u);

    // Without the flags only the strip is reported; a move as large as the area uncovers it all.
    RECT scroll{0, 0, 40, 100};
    EXPECT_EQ(ScrollWindowEx(parent, 5, 0, &scroll, nullptr, nullptr, &update, 0), SIMPLEREGION);
    EXPECT_EQ(update, (RECT{0, 0, 5, 100}));
    EXPECT_EQ(windowRect(a), (RECT{10, -20, 30, 0}));
    EXPECT_EQ(ScrollWindowEx(parent, 0, 500, nullptr, nullptr, nullptr, &update, 0), SIMPLEREGION);
    EXPECT_EQ(update, (RECT{0, 0, 100, 100}));
    EXPECT_EQ(ScrollWindowEx(parent, 0, 0, nullptr, nullptr, nullptr, &update, SW_INVALIDATE), NULLREGION);
    EXPECT_TRUE(update == RECT{});
    EXPECT_EQ(ScrollWindowEx(nullptr, 1, 1, nullptr, nullptr, nullptr, &update, 0), 0);
}

HWND destroyTarget;
UINT destroyOnMessage;

LRESULT destroyingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (hwnd == destroyTarget && msg == destroyOnMessage) {
        DestroyWindow(hwnd);
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

TEST(GeometryDestroyTest, WindowsDestroyedWhileTheyChange)
{
    WNDCLASSW wc{};
    wc.lpfnWndProc = destroyingProc;
    wc.lpszClassName = u"KvoTestGeometryDestroy";
    ASSERT_NE(RegisterClassW(&wc), 0);
    const auto create = [] {
        return CreateWindowExW(0, u"KvoTestGeometryDestroy", u"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    };
    destroyTarget = create();
    destroyOnMessage = WM_SHOWWINDOW;
    EXPECT_FALSE(ShowWindow(destroyTarget, SW_SHOWMAXIMIZED));
    EXPECT_FALSE(IsWindow(destroyTarget));
    destroyTarget = create();
    destroyOnMessage = WM_MOVE;
    EXPECT_TRUE(MoveWindow(destroyTarget, 5, 5, 20, 20, TRUE));
    EXPECT_FALSE(IsWindow(destroyTarget));
    EXPECT_FALSE(MoveWindow(destroyTarget, 5, 5, 20, 20, TRUE));
    destroyTarget = nullptr;
    EXPECT_TRUE(UnregisterClassW(u"KvoTestGeometryDestroy", nullptr));
}

} // namespace
