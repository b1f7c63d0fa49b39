// Drawing into windows: the subset of the Win32 drawing calls that scripts reach through
// GetGdi32Func/GetUser32Func and CallLibFunc, drawn with Cairo.
//
// Each top-level window owns a pixel surface the size of its window rectangle (32-bit RGB, kept
// when the window is resized as far as it still fits, the rest filled with the window colour). A
// device context draws into the surface of its window's top-level window, at the window's client
// origin, clipped to the part of the client area that is visible: inside every ancestor's client
// area, outside siblings above it in z-order (and outside its children when it has
// WS_CLIPCHILDREN); a hidden window's context draws nothing. A context from BeginPaint is also
// clipped to the update rectangle it took.
//
// Handles: device contexts, pens, brushes and fonts are entries of one process-wide handle table,
// numbers below 2^30 that carry a generation, so a handle stays invalid after DeleteObject or
// ReleaseDC even when its entry is reused. Every call validates its handles and fails as Win32
// does (0, null, FALSE or CLR_INVALID) for a stale, foreign or wrong-kind handle; none is ever
// dereferenced. Stock objects and the system-colour brushes are permanent entries: deleting one
// does nothing and returns TRUE.
//
// System-colour brushes: a class background or FillRect brush whose value is a colour index plus
// one (1 .. COLOR_MAX + 1, the desktop convention) or SYS_COLOR_INDEX_FLAG | index (the device's)
// stands for that system colour.
#pragma once

#include "platform/KvoWinTypes.h"
#include "platform/KvoWindows.h"

// Colours.
constexpr COLORREF CLR_INVALID = 0xFFFFFFFF;
inline constexpr COLORREF RGB(BYTE r, BYTE g, BYTE b)
{
    return static_cast<COLORREF>(r) | (static_cast<COLORREF>(g) << 8) | (static_cast<COLORREF>(b) << 16);
}

// System colour indexes (GetSysColor) and the device's system-colour brush flag.
constexpr int COLOR_SCROLLBAR = 0;
constexpr int COLOR_BACKGROUND = 1;
constexpr int COLOR_ACTIVECAPTION = 2;
constexpr int COLOR_INACTIVECAPTION = 3;
constexpr int COLOR_MENU = 4;
constexpr int COLOR_WINDOW = 5;
constexpr int COLOR_WINDOWFRAME = 6;
constexpr int COLOR_MENUTEXT = 7;
constexpr int COLOR_WINDOWTEXT = 8;
constexpr int COLOR_CAPTIONTEXT = 9;
constexpr int COLOR_ACTIVEBORDER = 10;
constexpr int COLOR_INACTIVEBORDER = 11;
constexpr int COLOR_APPWORKSPACE = 12;
constexpr int COLOR_HIGHLIGHT = 13;
constexpr int COLOR_HIGHLIGHTTEXT = 14;
constexpr int COLOR_BTNFACE = 15;
constexpr int COLOR_BTNSHADOW = 16;
constexpr int COLOR_GRAYTEXT = 17;
constexpr int COLOR_BTNTEXT = 18;
constexpr int COLOR_INACTIVECAPTIONTEXT = 19;
constexpr int COLOR_BTNHIGHLIGHT = 20;
constexpr int COLOR_MAX = 30;
constexpr DWORD SYS_COLOR_INDEX_FLAG = 0x40000000;

// Stock objects (GetStockObject).
constexpr int WHITE_BRUSH = 0;
constexpr int LTGRAY_BRUSH = 1;
constexpr int GRAY_BRUSH = 2;
constexpr int DKGRAY_BRUSH = 3;
constexpr int BLACK_BRUSH = 4;
constexpr int NULL_BRUSH = 5;
constexpr int HOLLOW_BRUSH = NULL_BRUSH;
constexpr int WHITE_PEN = 6;
constexpr int BLACK_PEN = 7;
constexpr int NULL_PEN = 8;
constexpr int SYSTEM_FONT = 13;
constexpr int DEFAULT_GUI_FONT = 17;

// Pen styles (CreatePen).
constexpr int PS_SOLID = 0;
constexpr int PS_DASH = 1;
constexpr int PS_DOT = 2;
constexpr int PS_NULL = 5;

// Background modes.
constexpr int TRANSPARENT = 1;
constexpr int OPAQUE = 2;

// DrawTextW formats.
constexpr UINT DT_TOP = 0x0000;
constexpr UINT DT_LEFT = 0x0000;
constexpr UINT DT_CENTER = 0x0001;
constexpr UINT DT_RIGHT = 0x0002;
constexpr UINT DT_VCENTER = 0x0004;
constexpr UINT DT_BOTTOM = 0x0008;
constexpr UINT DT_WORDBREAK = 0x0010;
constexpr UINT DT_SINGLELINE = 0x0020;
constexpr UINT DT_NOCLIP = 0x0100;
constexpr UINT DT_CALCRECT = 0x0400;

// The record BeginPaint fills (this platform's layout: the context is pointer-sized, 72 bytes in
// all; a script allocates at least that much).
struct PAINTSTRUCT {
    HDC hdc;
    BOOL fErase;    // TRUE when the background still needs erasing (WM_ERASEBKGND returned 0)
    RECT rcPaint;   // the update rectangle taken, in client coordinates
    BOOL fRestore;
    BOOL fIncUpdate;
    BYTE rgbReserved[32];
};

extern "C" {

// Contexts. BeginPaint takes the window's update rectangle (validating it), sends WM_ERASEBKGND
// with the new context when the erase flag was set, and fills *paint; null for an invalid window
// or record. EndPaint releases the context. GetDC gives a context for the whole client area
// (null hwnd: a context of the screen, which draws nowhere but measures text); ReleaseDC frees it.
// A context left unreleased is freed when its window is destroyed.
KVO_API HDC BeginPaint(HWND hwnd, PAINTSTRUCT* paint);
KVO_API BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* paint);
KVO_API HDC GetDC(HWND hwnd);
KVO_API int ReleaseDC(HWND hwnd, HDC hdc);
// The window of a context (null for the screen's or an invalid one).
KVO_API HWND WindowFromDC(HDC hdc);

// Drawing objects. A new pen or brush is owned by the caller until DeleteObject; deleting an
// object still selected into a context fails (FALSE), as does deleting a context.
KVO_API HPEN CreatePen(int style, int width, COLORREF color);
KVO_API HBRUSH CreateSolidBrush(COLORREF color);
KVO_API HGDIOBJ GetStockObject(int index);
// Selects a pen, brush or font into the context and returns the one it replaces; null on failure.
// A system-colour brush value selects that colour's GetSysColorBrush brush.
KVO_API HGDIOBJ SelectObject(HDC hdc, HGDIOBJ object);
KVO_API BOOL DeleteObject(HGDIOBJ object);
KVO_API COLORREF GetSysColor(int index);
KVO_API HBRUSH GetSysColorBrush(int index);

// Context state: each returns the previous value (CLR_INVALID, or 0, for an invalid context).
KVO_API COLORREF SetTextColor(HDC hdc, COLORREF color);
KVO_API COLORREF SetBkColor(HDC hdc, COLORREF color);
KVO_API int SetBkMode(HDC hdc, int mode);

// Drawing, in the context's client coordinates. Rectangle and Ellipse outline with the pen and
// fill with the brush; FillRect fills with brush (right and bottom edges excluded); lines run
// from the current position, which MoveToEx sets (the previous one into *previous when not null)
// and LineTo moves; Polyline draws count - 1 segments. Text is drawn in the selected font
// (a sans-serif face, 13 pixels high by default) with its top-left corner at (x, y), on the
// background colour when the mode is OPAQUE. DrawTextW places text in rect (count -1: up to the
// terminator) as format asks and returns the text's height (with DT_VCENTER or DT_BOTTOM: the
// distance from rect's top to the text's bottom; 0 on failure). Texts longer than 2^20 units and
// negative counts (DrawTextW: below -1) fail; coordinates are clamped to -32768 .. 32767.
KVO_API int FillRect(HDC hdc, const RECT* rect, HBRUSH brush);
KVO_API BOOL Rectangle(HDC hdc, int left, int top, int right, int bottom);
KVO_API BOOL Ellipse(HDC hdc, int left, int top, int right, int bottom);
KVO_API BOOL MoveToEx(HDC hdc, int x, int y, POINT* previous);
KVO_API BOOL LineTo(HDC hdc, int x, int y);
KVO_API BOOL Polyline(HDC hdc, const POINT* points, int count);
KVO_API BOOL TextOutW(HDC hdc, int x, int y, const KvoChar* text, int count);
KVO_API int DrawTextW(HDC hdc, const KvoChar* text, int count, RECT* rect, UINT format);
KVO_API BOOL GetTextExtentPoint32W(HDC hdc, const KvoChar* text, int count, SIZE* size);
// One pixel in client coordinates: its colour, or CLR_INVALID outside the visible area.
KVO_API COLORREF GetPixel(HDC hdc, int x, int y);
// Sets a visible pixel and returns the colour set, or CLR_INVALID.
KVO_API COLORREF SetPixel(HDC hdc, int x, int y, COLORREF color);

// Writes the current image of a top-level window's surface (a child window: the part of its
// top-level window's image that the child covers) to a PNG file at path (UTF-16). TRUE on
// success; FALSE for an invalid window, a null path, or a file that cannot be written (nothing is
// left half-written at path).
KVO_API BOOL KvoSaveWindowImageW(HWND hwnd, const KvoChar* path);
// The same with a UTF-8 path, for hosts and tools.
KVO_API BOOL KvoSaveWindowImageA(HWND hwnd, const char* path);

} // extern "C"
