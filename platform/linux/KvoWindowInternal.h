// What the window system and the drawing layer tell each other inside the platform layer (not
// exported). Neither side holds its own lock while it calls the other, so the two locks are never
// nested.
#pragma once

#include <string>
#include <vector>

#include "platform/KvoWindows.h"

// Where a window's client area lies on the surface of its top-level window.
struct KvoDrawingArea {
    HWND topLevel = nullptr;
    // The top-level window's size: the size its surface must have.
    int surfaceWidth = 0;
    int surfaceHeight = 0;
    // The client area's top-left corner in surface coordinates.
    int originX = 0;
    int originY = 0;
    // The visible part of the client area in surface coordinates, as disjoint rectangles: inside
    // every ancestor's client area and the surface, outside siblings above the window and above
    // each ancestor, outside the window's children when it has WS_CLIPCHILDREN. Empty when the
    // window or an ancestor is hidden.
    std::vector<RECT> visible;
};

// Provided by the controls (KvoControls.h): the system window classes, registered when the window
// system's state is created.
const WNDCLASSW* kvoSystemWindowClasses(std::size_t& count);

// Provided by the window system.
// True when top-level windows are shown on a display (an X server was reached and KIVO_HEADLESS
// is not set); false when everything runs in memory only.
bool kvoDisplayActive();
// Fills area for hwnd's client area; false for an invalid window.
bool kvoWindowDrawingArea(HWND hwnd, KvoDrawingArea& area);
// Takes the window's update rectangle (client coordinates) and erase flag, leaving both cleared;
// false for an invalid window. An empty rectangle is (0, 0, 0, 0).
bool kvoTakeUpdateRect(HWND hwnd, RECT& rect, bool& erase);
// The class background brush of the window (null for none or an invalid window).
HBRUSH kvoClassBackground(HWND hwnd);

// For the display back end (KvoX11Windows.cpp).
// A top-level window as the display shows it.
struct KvoTopLevelView {
    HWND hwnd = nullptr;
    bool shown = false; // visible and not minimized
    // The window rectangle on the screen.
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    // The frame and caption on each side: the part of the window the display's own decoration
    // stands for. The display window shows the rest, scroll bars included.
    RECT frame{};
    std::u16string text;
};
// The live top-level windows, topmost first.
void kvoTopLevelViews(std::vector<KvoTopLevelView>& out);
// A scroll bar to draw on a top-level window's surface.
struct KvoScrollBarView {
    HWND hwnd = nullptr;
    int bar = 0;          // SB_HORZ or SB_VERT
    RECT rect{};          // surface coordinates
    std::vector<RECT> clip; // the visible part of the window rectangle, surface coordinates
    int minimum = 0;
    int maximum = 0;
    UINT page = 0;
    int position = 0;     // the track position while the thumb is dragged
};
// The scroll bars of the shown windows of a top-level window's family, bottom to top.
void kvoScrollBarViews(HWND topLevel, std::vector<KvoScrollBarView>& out);
// What lies under a point of a top-level window's surface: the deepest shown, enabled window
// (a disabled child lets the point through to its parent; null when the top-level window itself
// is disabled or the point is outside it), the point in that window's client coordinates, and the
// scroll bar the point is on (-1: none) with the bar's rectangle in surface coordinates.
struct KvoHit {
    HWND hwnd = nullptr;
    POINT client{};
    int bar = -1;
    RECT barRect{};
};
bool kvoHitTest(HWND topLevel, POINT surfacePoint, KvoHit& hit);
// True when the window's class asks for double clicks (CS_DBLCLKS).
bool kvoWantsDoubleClicks(HWND hwnd);
// The client area's top-left corner of hwnd on its top-level window's surface; false for an
// invalid window.
bool kvoClientOriginOnSurface(HWND hwnd, HWND& topLevel, POINT& origin);
// Invalidates, with erase, what lies under a rectangle of a top-level window's surface in the
// window and every descendant.
void kvoInvalidateSurfaceArea(HWND topLevel, const RECT& surfaceRect);
// Marks a scroll bar's thumb as dragged to trackPosition (GetScrollInfo's SIF_TRACKPOS), or as
// released when tracking is false.
void kvoSetScrollTrack(HWND hwnd, int bar, bool tracking, int trackPosition);
// The window that takes key messages for a top-level window: the focus of its thread when it lies
// in the top-level window's family, else the top-level window itself.
HWND kvoKeyTarget(HWND topLevel);
// Posts an input message to the queue of the window's thread, with the cursor position in pt and,
// for a key press, the text it types (taken by TranslateMessage). A mouse move replaces one still
// waiting at the end of the queue. False when the window or its thread is gone or the queue full.
bool kvoPostInput(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, POINT pt, const std::u16string* keyText);

// Provided by the drawing layer.
// The window is being destroyed (called before it leaves the table): its contexts become invalid,
// and its surface is freed when it is a top-level window.
void kvoGdiWindowDestroyed(HWND hwnd);
// The window stopped being a top-level window (SetParent): its surface is freed.
void kvoGdiReleaseSurface(HWND hwnd);
// Moves the pixels of area (client coordinates of hwnd) by dx, dy, within the visible part of the
// client area; what moves outside area is dropped. Called by ScrollWindowEx.
void kvoGdiScrollPixels(HWND hwnd, int dx, int dy, const RECT& area);
