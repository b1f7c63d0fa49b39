// What the window system and the drawing layer tell each other inside the platform layer (not
// exported). Neither side holds its own lock while it calls the other, so the two locks are never
// nested.
#pragma once

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

// Provided by the drawing layer.
// The window is being destroyed (called before it leaves the table): its contexts become invalid,
// and its surface is freed when it is a top-level window.
void kvoGdiWindowDestroyed(HWND hwnd);
// The window stopped being a top-level window (SetParent): its surface is freed.
void kvoGdiReleaseSurface(HWND hwnd);
// Moves the pixels of area (client coordinates of hwnd) by dx, dy, within the visible part of the
// client area; what moves outside area is dropped. Called by ScrollWindowEx.
void kvoGdiScrollPixels(HWND hwnd, int dx, int dy, const RECT& area);
