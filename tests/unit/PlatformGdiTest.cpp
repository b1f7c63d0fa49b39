// Tests of the drawing layer: pixels of shapes, lines and text drawn into windows of the in-process
// window system, the handle table's refusals, clipping to visible areas and update rectangles,
// scrolling pixels and the PNG export.
#include <gtest/gtest.h>

#include <cairo.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/KvoGdi.h"

namespace {

constexpr COLORREF RED = RGB(255, 0, 0);
constexpr COLORREF GREEN = RGB(0, 255, 0);
constexpr COLORREF BLUE = RGB(0, 0, 255);
constexpr COLORREF WHITE = RGB(255, 255, 255);

HDC erasedWith; // the context of the last WM_ERASEBKGND

LRESULT paintProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_ERASEBKGND) {
        erasedWith = reinterpret_cast<HDC>(wParam);
        RECT client;
        GetClientRect(hwnd, &client);
        FillRect(erasedWith, &client, reinterpret_cast<HBRUSH>(static_cast<std::uintptr_t>(COLOR_WINDOW + 1)));
        return 1;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

class GdiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        WNDCLASSW wndClass{};
        wndClass.lpfnWndProc = paintProc;
        wndClass.lpszClassName = u"KvoGdiTest";
        ASSERT_NE(RegisterClassW(&wndClass), 0);
    }
    static void TearDownTestSuite() { UnregisterClassW(u"KvoGdiTest", nullptr); }

    void SetUp() override
    {
        // A border-less window: its client area is its whole rectangle.
        top = CreateWindowExW(0, u"KvoGdiTest", u"", WS_POPUP | WS_VISIBLE, 10, 10, 200, 150, nullptr, nullptr,
                              nullptr, nullptr);
        ASSERT_NE(top, nullptr);
        hdc = GetDC(top);
        ASSERT_NE(hdc, nullptr);
        const RECT all{0, 0, 200, 150};
        ASSERT_NE(FillRect(hdc, &all, GetStockObject(WHITE_BRUSH)), 0);
    }
    void TearDown() override
    {
        if (hdc != nullptr) {
            ReleaseDC(top, hdc);
        }
        DestroyWindow(top);
    }

    HWND child(int x, int y, int width, int height, DWORD style = WS_VISIBLE)
    {
        return CreateWindowExW(0, u"KvoGdiTest", u"", WS_CHILD | style, x, y, width, height, top, nullptr, nullptr,
                               nullptr);
    }

    // Whether some pixel of the rectangle is dark (text drawn in black).
    bool hasDarkPixel(HDC dc, int left, int top, int right, int bottom)
    {
        for (int y = top; y < bottom; ++y) {
            for (int x = left; x < right; ++x) {
                const COLORREF pixel = GetPixel(dc, x, y);
                if (pixel != CLR_INVALID && (pixel & 0xFF) < 0x80) {
                    return true;
                }
            }
        }
        return false;
    }
    // The first and last columns of the rectangle that hold a dark pixel (-1 when none).
    std::pair<int, int> darkColumns(HDC dc, int left, int top, int right, int bottom)
    {
        int first = -1;
        int last = -1;
        for (int x = left; x < right; ++x) {
            if (hasDarkPixel(dc, x, top, x + 1, bottom)) {
                first = first < 0 ? x : first;
                last = x;
            }
        }
        return {first, last};
    }

    HWND top = nullptr;
    HDC hdc = nullptr;
};

TEST_F(GdiTest, ShapesCoverTheirBoxesWithoutRightAndBottomEdges)
{
    HBRUSH blue = CreateSolidBrush(BLUE);
    const RECT box{10, 10, 20, 30};
    EXPECT_EQ(FillRect(hdc, &box, blue), 1);
    EXPECT_EQ(GetPixel(hdc, 10, 10), BLUE);
    EXPECT_EQ(GetPixel(hdc, 19, 29), BLUE);
    EXPECT_EQ(GetPixel(hdc, 20, 15), WHITE);
    EXPECT_EQ(GetPixel(hdc, 15, 30), WHITE);

    HPEN red = CreatePen(PS_SOLID, 1, RED);
    HGDIOBJ oldPen = SelectObject(hdc, red);
    HGDIOBJ oldBrush = SelectObject(hdc, blue);
    EXPECT_EQ(oldPen, GetStockObject(BLACK_PEN));
    EXPECT_EQ(oldBrush, GetStockObject(WHITE_BRUSH));
    ASSERT_TRUE(Rectangle(hdc, 40, 10, 60, 30));
    EXPECT_EQ(GetPixel(hdc, 40, 10), RED);
    EXPECT_EQ(GetPixel(hdc, 59, 29), RED);
    EXPECT_EQ(GetPixel(hdc, 50, 29), RED);
    EXPECT_EQ(GetPixel(hdc, 41, 11), BLUE);
    EXPECT_EQ(GetPixel(hdc, 58, 28), BLUE);
    EXPECT_EQ(GetPixel(hdc, 60, 20), WHITE);
    EXPECT_EQ(GetPixel(hdc, 50, 30), WHITE);

    ASSERT_TRUE(Ellipse(hdc, 70, 10, 110, 30));
    EXPECT_EQ(GetPixel(hdc, 90, 20), BLUE);
    EXPECT_EQ(GetPixel(hdc, 70, 20), RED);
    EXPECT_EQ(GetPixel(hdc, 90, 10), RED);
    EXPECT_EQ(GetPixel(hdc, 71, 11), WHITE); // outside, in the corner of the box
    EXPECT_EQ(GetPixel(hdc, 110, 20), WHITE);

    // Null pen and brush draw nothing of their part.
    SelectObject(hdc, GetStockObject(NULL_PEN));
    ASSERT_TRUE(Rectangle(hdc, 120, 10, 140, 30));
    EXPECT_EQ(GetPixel(hdc, 120, 10), BLUE);
    SelectObject(hdc, red);
    SelectObject(hdc, GetStockObject(NULL_BRUSH));
    ASSERT_TRUE(Rectangle(hdc, 150, 10, 170, 30));
    EXPECT_EQ(GetPixel(hdc, 150, 10), RED);
    EXPECT_EQ(GetPixel(hdc, 160, 20), WHITE);

    // Lines: the start point drawn, the end point not; the position moves along.
    POINT previous{};
    ASSERT_TRUE(MoveToEx(hdc, 10, 50, nullptr));
    ASSERT_TRUE(LineTo(hdc, 40, 50));
    ASSERT_TRUE(LineTo(hdc, 40, 70));
    ASSERT_TRUE(MoveToEx(hdc, 0, 0, &previous));
    EXPECT_EQ(previous.x, 40);
    EXPECT_EQ(previous.y, 70);
    EXPECT_EQ(GetPixel(hdc, 10, 50), RED);
    EXPECT_EQ(GetPixel(hdc, 39, 50), RED);
    EXPECT_EQ(GetPixel(hdc, 40, 50), RED); // the start of the second line
    EXPECT_EQ(GetPixel(hdc, 40, 69), RED);
    EXPECT_EQ(GetPixel(hdc, 40, 70), WHITE);
    EXPECT_EQ(GetPixel(hdc, 39, 51), WHITE);
    const POINT diagonal[] = {{60, 50}, {70, 60}, {80, 50}};
    ASSERT_TRUE(Polyline(hdc, diagonal, 3));
    EXPECT_EQ(GetPixel(hdc, 65, 55), RED);
    EXPECT_EQ(GetPixel(hdc, 70, 60), RED);
    EXPECT_EQ(GetPixel(hdc, 75, 55), RED);
    EXPECT_EQ(GetPixel(hdc, 80, 50), WHITE);
    EXPECT_FALSE(Polyline(hdc, diagonal, 1));
    EXPECT_FALSE(Polyline(hdc, nullptr, 3));
    EXPECT_FALSE(Polyline(hdc, diagonal, -5));

    // A wide pen covers the line's width; huge coordinates are drawn (clamped), not looped over.
    HPEN wide = CreatePen(PS_SOLID, 5, GREEN);
    SelectObject(hdc, wide);
    ASSERT_TRUE(MoveToEx(hdc, 100, 100, nullptr));
    ASSERT_TRUE(LineTo(hdc, 150, 100));
    EXPECT_EQ(GetPixel(hdc, 125, 98), GREEN);
    EXPECT_EQ(GetPixel(hdc, 125, 102), GREEN);
    EXPECT_EQ(GetPixel(hdc, 125, 104), WHITE);
    SelectObject(hdc, red);
    ASSERT_TRUE(MoveToEx(hdc, -2000000000, 120, nullptr));
    ASSERT_TRUE(LineTo(hdc, 2000000000, 120));
    EXPECT_EQ(GetPixel(hdc, 0, 120), RED);
    EXPECT_EQ(GetPixel(hdc, 199, 120), RED);

    EXPECT_EQ(SetPixel(hdc, 5, 5, GREEN), GREEN);
    EXPECT_EQ(GetPixel(hdc, 5, 5), GREEN);
    EXPECT_EQ(GetPixel(hdc, 200, 5), CLR_INVALID);
    EXPECT_EQ(GetPixel(hdc, -1, 5), CLR_INVALID);
    EXPECT_EQ(SetPixel(hdc, 5, 150, GREEN), CLR_INVALID);

    SelectObject(hdc, oldPen);
    SelectObject(hdc, oldBrush);
    EXPECT_TRUE(DeleteObject(red));
    EXPECT_TRUE(DeleteObject(wide));
    EXPECT_TRUE(DeleteObject(blue));
}

TEST_F(GdiTest, HandlesAreValidatedAndStaleOnesFail)
{
    HPEN pen = CreatePen(PS_SOLID, 1, RED);
    const auto value = reinterpret_cast<std::uintptr_t>(pen);
    EXPECT_GT(value, static_cast<std::uintptr_t>(COLOR_MAX + 1));
    EXPECT_LT(value, std::uintptr_t{1} << 30);

    // A selected object cannot be deleted; a deleted one is stale for good.
    HGDIOBJ old = SelectObject(hdc, pen);
    EXPECT_FALSE(DeleteObject(pen));
    EXPECT_EQ(SelectObject(hdc, old), pen);
    EXPECT_TRUE(DeleteObject(pen));
    EXPECT_FALSE(DeleteObject(pen));
    EXPECT_EQ(SelectObject(hdc, pen), nullptr);
    HPEN next = CreatePen(PS_SOLID, 1, GREEN); // may take the freed entry
    EXPECT_NE(next, pen);
    EXPECT_EQ(SelectObject(hdc, pen), nullptr);
    EXPECT_TRUE(DeleteObject(next));

    // Wrong kinds and invented values.
    const RECT box{0, 0, 10, 10};
    for (std::uintptr_t bogus : {std::uintptr_t{0}, std::uintptr_t{0x12345678}, std::uintptr_t{1} << 40,
                                 std::uintptr_t{0x40000000 + 200}, ~std::uintptr_t{0}}) {
        void* handle = reinterpret_cast<void*>(bogus);
        EXPECT_EQ(FillRect(hdc, &box, handle), 0);
        EXPECT_EQ(SelectObject(hdc, handle), nullptr);
        EXPECT_FALSE(DeleteObject(handle));
        EXPECT_FALSE(Rectangle(handle, 0, 0, 5, 5));
        EXPECT_EQ(GetPixel(handle, 0, 0), CLR_INVALID);
    }
    EXPECT_EQ(FillRect(hdc, &box, hdc), 0);
    EXPECT_FALSE(DeleteObject(hdc));
    EXPECT_EQ(SelectObject(hdc, hdc), nullptr);
    EXPECT_EQ(GetStockObject(9), nullptr);
    EXPECT_EQ(GetStockObject(-1), nullptr);
    EXPECT_EQ(CreatePen(99, 1, RED), nullptr);

    // Stock objects and system-colour brushes are permanent; both brush value forms fill.
    EXPECT_TRUE(DeleteObject(GetStockObject(BLACK_BRUSH)));
    EXPECT_EQ(FillRect(hdc, &box, GetStockObject(BLACK_BRUSH)), 1);
    EXPECT_EQ(GetPixel(hdc, 0, 0), RGB(0, 0, 0));
    EXPECT_EQ(FillRect(hdc, &box, reinterpret_cast<HBRUSH>(std::uintptr_t{SYS_COLOR_INDEX_FLAG | COLOR_APPWORKSPACE})),
              1);
    EXPECT_EQ(GetPixel(hdc, 0, 0), GetSysColor(COLOR_APPWORKSPACE));
    EXPECT_EQ(FillRect(hdc, &box, reinterpret_cast<HBRUSH>(std::uintptr_t{COLOR_BTNFACE + 1})), 1);
    EXPECT_EQ(GetPixel(hdc, 0, 0), GetSysColor(COLOR_BTNFACE));
    HBRUSH system = GetSysColorBrush(COLOR_WINDOWTEXT);
    EXPECT_TRUE(DeleteObject(system));
    EXPECT_EQ(FillRect(hdc, &box, system), 1);
    EXPECT_EQ(GetPixel(hdc, 0, 0), GetSysColor(COLOR_WINDOWTEXT));
    EXPECT_EQ(GetSysColorBrush(COLOR_MAX + 1), nullptr);

    // Context state calls report the previous value.
    EXPECT_EQ(SetTextColor(hdc, RED), RGB(0, 0, 0));
    EXPECT_EQ(SetTextColor(hdc, BLUE), RED);
    EXPECT_EQ(SetBkMode(hdc, TRANSPARENT), OPAQUE);
    EXPECT_EQ(SetBkMode(hdc, 7), 0);
    EXPECT_EQ(SetBkColor(hdc, GREEN), WHITE);

    // A released context, and one whose window was destroyed, are stale.
    EXPECT_EQ(WindowFromDC(hdc), top);
    EXPECT_EQ(ReleaseDC(nullptr, hdc), 0); // not the window's
    EXPECT_EQ(ReleaseDC(top, hdc), 1);
    EXPECT_EQ(ReleaseDC(top, hdc), 0);
    EXPECT_EQ(FillRect(hdc, &box, GetStockObject(BLACK_BRUSH)), 0);
    EXPECT_EQ(SetTextColor(hdc, RED), CLR_INVALID);
    EXPECT_EQ(WindowFromDC(hdc), nullptr);
    hdc = nullptr;
    HWND doomed = child(0, 0, 10, 10);
    HDC orphan = GetDC(doomed);
    HPEN selected = CreatePen(PS_SOLID, 1, RED);
    SelectObject(orphan, selected);
    ASSERT_TRUE(DestroyWindow(doomed));
    EXPECT_FALSE(Rectangle(orphan, 0, 0, 5, 5));
    EXPECT_TRUE(DeleteObject(selected)); // the destroyed context no longer holds it
    EXPECT_EQ(GetDC(doomed), nullptr);
}

TEST_F(GdiTest, DrawingIsClippedToTheVisiblePartAndTheUpdateRectangle)
{
    HWND upper = child(20, 20, 40, 40);
    HWND lower = child(40, 40, 40, 40); // below upper in z-order, overlapping it
    HDC lowerDc = GetDC(lower);
    const RECT all{-100, -100, 1000, 1000};
    ASSERT_EQ(FillRect(lowerDc, &all, GetStockObject(BLACK_BRUSH)), 1);
    EXPECT_EQ(GetPixel(hdc, 70, 70), RGB(0, 0, 0));  // lower's own area
    EXPECT_EQ(GetPixel(hdc, 45, 45), WHITE);         // under upper
    EXPECT_EQ(GetPixel(hdc, 85, 85), WHITE);         // outside lower
    EXPECT_EQ(GetPixel(lowerDc, 5, 5), CLR_INVALID); // not visible
    EXPECT_EQ(GetPixel(lowerDc, 30, 30), RGB(0, 0, 0));

    // A hidden window draws nothing.
    ShowWindow(lower, SW_HIDE);
    ASSERT_EQ(FillRect(lowerDc, &all, GetStockObject(GRAY_BRUSH)), 1);
    EXPECT_EQ(GetPixel(hdc, 70, 70), RGB(0, 0, 0));
    EXPECT_EQ(GetPixel(lowerDc, 30, 30), CLR_INVALID);
    ReleaseDC(lower, lowerDc);

    // BeginPaint clips to the update rectangle it takes and erases through WM_ERASEBKGND.
    ValidateRect(upper, nullptr);
    const RECT part{0, 0, 10, 10};
    InvalidateRect(upper, &part, TRUE);
    PAINTSTRUCT paint{};
    erasedWith = nullptr;
    HDC paintDc = BeginPaint(upper, &paint);
    ASSERT_NE(paintDc, nullptr);
    EXPECT_EQ(erasedWith, paintDc);
    EXPECT_FALSE(paint.fErase);
    EXPECT_EQ(paint.rcPaint.right, 10);
    EXPECT_EQ(paint.rcPaint.bottom, 10);
    ASSERT_EQ(FillRect(paintDc, &all, GetStockObject(BLACK_BRUSH)), 1);
    EXPECT_EQ(GetPixel(hdc, 25, 25), RGB(0, 0, 0));
    EXPECT_EQ(GetPixel(hdc, 30, 30), WHITE);
    EXPECT_FALSE(EndPaint(top, &paint)); // not that window's
    EXPECT_TRUE(EndPaint(upper, &paint));
    EXPECT_EQ(GetPixel(paintDc, 1, 1), CLR_INVALID);
    EXPECT_EQ(BeginPaint(upper, nullptr), nullptr);

    // Scrolling moves pixels within the client area.
    const RECT mark{0, 0, 5, 5};
    HDC upperDc = GetDC(upper);
    const RECT upperArea{0, 0, 40, 40};
    FillRect(upperDc, &upperArea, GetStockObject(WHITE_BRUSH));
    FillRect(upperDc, &mark, GetStockObject(BLACK_BRUSH));
    ScrollWindowEx(upper, 10, 20, nullptr, nullptr, nullptr, nullptr, 0);
    EXPECT_EQ(GetPixel(upperDc, 12, 22), RGB(0, 0, 0));
    EXPECT_EQ(GetPixel(upperDc, 14, 24), RGB(0, 0, 0));
    EXPECT_EQ(GetPixel(upperDc, 15, 25), WHITE);
    ReleaseDC(upper, upperDc);
}

TEST_F(GdiTest, TextIsDrawnInItsBoxAndPlacedAsAsked)
{
    SIZE extent{};
    ASSERT_TRUE(GetTextExtentPoint32W(hdc, u"Hello", 5, &extent));
    EXPECT_GT(extent.cx, 20);
    EXPECT_LT(extent.cx, 60);
    EXPECT_GE(extent.cy, 13);
    EXPECT_LT(extent.cy, 20);
    SIZE longer{};
    ASSERT_TRUE(GetTextExtentPoint32W(hdc, u"Hello Hello", 11, &longer));
    EXPECT_GT(longer.cx, 2 * extent.cx);
    HDC screen = GetDC(nullptr); // measures like a window's context, draws nowhere
    SIZE measured{};
    ASSERT_TRUE(GetTextExtentPoint32W(screen, u"Hello", 5, &measured));
    EXPECT_EQ(measured.cx, extent.cx);
    EXPECT_TRUE(TextOutW(screen, 0, 0, u"Hello", 5));
    EXPECT_EQ(GetPixel(screen, 0, 0), CLR_INVALID);
    EXPECT_EQ(ReleaseDC(nullptr, screen), 1);

    // TextOutW: dark pixels inside the text box, none outside it; OPAQUE fills the box.
    SetBkColor(hdc, GREEN);
    ASSERT_TRUE(TextOutW(hdc, 20, 20, u"Hello", 5));
    EXPECT_TRUE(hasDarkPixel(hdc, 20, 20, 20 + extent.cx, 20 + extent.cy));
    EXPECT_FALSE(hasDarkPixel(hdc, 0, 0, 200, 20));
    EXPECT_FALSE(hasDarkPixel(hdc, 0, 20 + extent.cy, 200, 60));
    EXPECT_FALSE(hasDarkPixel(hdc, 20 + extent.cx, 0, 200, 60));
    EXPECT_EQ(GetPixel(hdc, 20 + extent.cx - 1, 20), GREEN);
    SetBkMode(hdc, TRANSPARENT);
    ASSERT_TRUE(TextOutW(hdc, 20, 80, u"Hello", 5));
    EXPECT_EQ(GetPixel(hdc, 20 + extent.cx - 1, 80), WHITE);

    // Argument checks: negative counts, null texts, oversized counts.
    EXPECT_FALSE(TextOutW(hdc, 0, 0, u"x", -1));
    EXPECT_FALSE(TextOutW(hdc, 0, 0, nullptr, 3));
    EXPECT_TRUE(TextOutW(hdc, 0, 0, nullptr, 0));
    EXPECT_FALSE(GetTextExtentPoint32W(hdc, u"x", -1, &extent));
    EXPECT_FALSE(GetTextExtentPoint32W(hdc, u"x", 1, nullptr));
    RECT box{0, 0, 200, 150};
    EXPECT_EQ(DrawTextW(hdc, u"x", -2, &box, 0), 0);
    EXPECT_EQ(DrawTextW(hdc, u"x", (1 << 20) + 1, &box, 0), 0);
    EXPECT_EQ(DrawTextW(hdc, nullptr, -1, &box, 0), 0);
    EXPECT_EQ(DrawTextW(hdc, u"x", -1, nullptr, 0), 0);

    // DrawTextW: the right and centred lines end where the extents say.
    const RECT whole{0, 0, 200, 150};
    FillRect(hdc, &whole, GetStockObject(WHITE_BRUSH));
    RECT right{10, 10, 190, 30};
    EXPECT_EQ(DrawTextW(hdc, u"Hello", -1, &right, DT_RIGHT | DT_SINGLELINE), extent.cy);
    const auto [rightFirst, rightLast] = darkColumns(hdc, 0, 10, 200, 30);
    EXPECT_GE(rightFirst, 190 - extent.cx);
    EXPECT_LT(rightLast, 190);
    EXPECT_GT(rightLast, 190 - 5);
    RECT centre{10, 40, 190, 60};
    DrawTextW(hdc, u"Hello", 5, &centre, DT_CENTER | DT_SINGLELINE);
    const auto [centreFirst, centreLast] = darkColumns(hdc, 0, 40, 200, 60);
    EXPECT_NEAR((centreFirst + centreLast) / 2.0, 100, 4);

    // Vertical centring, line breaks and the size calculation.
    RECT middle{10, 70, 60, 150};
    DrawTextW(hdc, u"Hi", 2, &middle, DT_VCENTER | DT_SINGLELINE);
    EXPECT_FALSE(hasDarkPixel(hdc, 10, 70, 60, 100));
    EXPECT_TRUE(hasDarkPixel(hdc, 10, 100, 60, 120));
    RECT calc{0, 0, 0, 0};
    EXPECT_EQ(DrawTextW(hdc, u"Hello\r\nHello Hello\nx", -1, &calc, DT_CALCRECT), 3 * extent.cy);
    EXPECT_EQ(calc.right, longer.cx);
    EXPECT_EQ(calc.bottom, 3 * extent.cy);
    RECT wrap{0, 0, extent.cx + 5, 0};
    EXPECT_EQ(DrawTextW(hdc, u"Hello Hello Hello", -1, &wrap, DT_CALCRECT | DT_WORDBREAK), 3 * extent.cy);
    EXPECT_EQ(wrap.right, extent.cx);
}

TEST_F(GdiTest, SavedImagesHoldTheWindowPixels)
{
    const std::filesystem::path directory =
        std::filesystem::temp_directory_path() / ("kvo_gdi_test_" + std::to_string(getpid()));
    std::filesystem::create_directories(directory);
    const RECT box{100, 50, 150, 100};
    FillRect(hdc, &box, GetStockObject(BLACK_BRUSH));
    HWND inner = child(100, 50, 60, 60);

    const std::string whole = (directory / "whole.png").string();
    const std::string part = (directory / "part.png").string();
    ASSERT_TRUE(KvoSaveWindowImageA(top, whole.c_str()));
    EXPECT_FALSE(KvoSaveWindowImageW(inner, u""));
    ASSERT_TRUE(KvoSaveWindowImageA(inner, part.c_str()));
    EXPECT_FALSE(KvoSaveWindowImageA(nullptr, part.c_str()));
    EXPECT_FALSE(KvoSaveWindowImageA(top, nullptr));
    EXPECT_FALSE(KvoSaveWindowImageA(top, (directory / "missing" / "x.png").string().c_str()));

    auto pixelAt = [](cairo_surface_t* image, int x, int y) {
        cairo_surface_flush(image);
        const unsigned char* row = cairo_image_surface_get_data(image) + y * cairo_image_surface_get_stride(image);
        return reinterpret_cast<const std::uint32_t*>(row)[x] & 0xFFFFFF;
    };
    cairo_surface_t* image = cairo_image_surface_create_from_png(whole.c_str());
    ASSERT_EQ(cairo_surface_status(image), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(image), 200);
    EXPECT_EQ(cairo_image_surface_get_height(image), 150);
    EXPECT_EQ(pixelAt(image, 120, 70), 0u);
    EXPECT_EQ(pixelAt(image, 10, 10), 0xFFFFFFu);
    cairo_surface_destroy(image);
    image = cairo_image_surface_create_from_png(part.c_str());
    ASSERT_EQ(cairo_surface_status(image), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(image), 60);
    EXPECT_EQ(pixelAt(image, 5, 5), 0u);
    EXPECT_EQ(pixelAt(image, 55, 55), 0xFFFFFFu);
    cairo_surface_destroy(image);

    // Only the two images are left: no temporary files.
    int files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) {
        ++files;
    }
    EXPECT_EQ(files, 2);
    std::filesystem::remove_all(directory);
}

} // namespace
