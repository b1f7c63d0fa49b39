// The in-process window system: registered message names, window classes, windows with their
// procedures, text, styles and parent/child links, and synchronous message sending. It has no
// display; everything is a model in memory, exported from libkvolib with C linkage and Win32 names
// so that scripts and hosts can call it by name.
//
// Invariants: a window handle is an opaque number (positive, below 2^31, so a script can hold it
// as an integer) that is never dereferenced and is not reused for a new window until some two
// billion windows later, so a stale handle is not taken for a newer window. Every call validates a
// handle against the table of live windows before use. The tables are guarded by one lock that is
// never held while a window procedure runs, so a procedure may create, destroy and send to windows
// (its own included) freely.
#pragma once

#include "platform/KvoWinTypes.h"

// A window procedure: receives every message sent to the windows of its class (or subclass).
using WNDPROC = LRESULT (*)(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Message numbers.
constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
// lParam: the client area's new top-left corner in the parent's client coordinates (x low word).
constexpr UINT WM_MOVE = 0x0003;
// wParam: SIZE_RESTORED, SIZE_MINIMIZED or SIZE_MAXIMIZED; lParam: new client width (low word)
// and height (high word).
constexpr UINT WM_SIZE = 0x0005;
constexpr UINT WM_ACTIVATE = 0x0006;
constexpr UINT WM_SETFOCUS = 0x0007;
constexpr UINT WM_KILLFOCUS = 0x0008;
constexpr UINT WM_SETTEXT = 0x000C;
constexpr UINT WM_GETTEXT = 0x000D;
constexpr UINT WM_GETTEXTLENGTH = 0x000E;
constexpr UINT WM_PAINT = 0x000F;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
// wParam: the device context to erase; reply non-zero when the background was erased.
constexpr UINT WM_ERASEBKGND = 0x0014;
// wParam: TRUE when shown, FALSE when hidden.
constexpr UINT WM_SHOWWINDOW = 0x0018;
constexpr UINT WM_NCCREATE = 0x0081;
constexpr UINT WM_NCDESTROY = 0x0082;
constexpr UINT WM_KEYDOWN = 0x0100;
constexpr UINT WM_KEYUP = 0x0101;
constexpr UINT WM_CHAR = 0x0102;
constexpr UINT WM_SYSKEYDOWN = 0x0104;
constexpr UINT WM_SYSKEYUP = 0x0105;
constexpr UINT WM_SYSCHAR = 0x0106;
// wParam: command id (low word) and source (high word: 1 for an accelerator, 0 for a menu,
// else the control's notification code); lParam: the control's window, or 0.
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_SYSCOMMAND = 0x0112;
// wParam: the timer id; lParam: the TIMERPROC given to SetTimer, or 0.
constexpr UINT WM_TIMER = 0x0113;
// wParam: scroll code (low word) and, for SB_THUMBPOSITION/SB_THUMBTRACK, the position (high word).
constexpr UINT WM_HSCROLL = 0x0114;
constexpr UINT WM_VSCROLL = 0x0115;
constexpr UINT WM_MOUSEMOVE = 0x0200;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_LBUTTONUP = 0x0202;
constexpr UINT WM_LBUTTONDBLCLK = 0x0203;
constexpr UINT WM_RBUTTONDOWN = 0x0204;
constexpr UINT WM_RBUTTONUP = 0x0205;
constexpr UINT WM_RBUTTONDBLCLK = 0x0206;
constexpr UINT WM_MOUSEWHEEL = 0x020A;
// First message number free for a window class's private messages.
constexpr UINT WM_USER = 0x0400;
// First message number free for an application's private messages.
constexpr UINT WM_APP = 0x8000;
// Range of the numbers handed out by RegisterWindowMessageW (and of class atoms).
constexpr UINT FIRST_REGISTERED_MESSAGE = 0xC000;
constexpr UINT LAST_REGISTERED_MESSAGE = 0xFFFF;
// Longest message or class name, in UTF-16 units; a longer name is refused.
constexpr std::size_t MAX_ATOM_NAME_LENGTH = 255;

// Indexes for GetWindowLongPtrW/SetWindowLongPtrW. A non-negative index addresses the window's
// extra bytes (WNDCLASSW::cbWndExtra); index + sizeof(LONG_PTR) must not exceed their count.
constexpr int GWLP_WNDPROC = -4;
constexpr int GWLP_HINSTANCE = -6;
constexpr int GWLP_HWNDPARENT = -8;
constexpr int GWLP_ID = -12;
constexpr int GWL_STYLE = -16;
constexpr int GWL_EXSTYLE = -20;
constexpr int GWLP_USERDATA = -21;

// Position or size that lets the system choose.
constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000u);

// Window styles. A window created with a parent is always a child of it (WS_CHILD or not).
constexpr DWORD WS_OVERLAPPED = 0x00000000;
constexpr DWORD WS_POPUP = 0x80000000;
constexpr DWORD WS_CHILD = 0x40000000;
constexpr DWORD WS_MINIMIZE = 0x20000000;
constexpr DWORD WS_VISIBLE = 0x10000000;
constexpr DWORD WS_DISABLED = 0x08000000;
constexpr DWORD WS_CLIPSIBLINGS = 0x04000000;
constexpr DWORD WS_CLIPCHILDREN = 0x02000000;
constexpr DWORD WS_MAXIMIZE = 0x01000000;
constexpr DWORD WS_CAPTION = 0x00C00000; // WS_BORDER | WS_DLGFRAME
constexpr DWORD WS_BORDER = 0x00800000;
constexpr DWORD WS_DLGFRAME = 0x00400000;
constexpr DWORD WS_VSCROLL = 0x00200000;
constexpr DWORD WS_HSCROLL = 0x00100000;
constexpr DWORD WS_SYSMENU = 0x00080000;
constexpr DWORD WS_THICKFRAME = 0x00040000;
constexpr DWORD WS_OVERLAPPEDWINDOW = 0x00CF0000;

// The non-client area, in pixels: a frame on each side (WS_BORDER: BORDER_WIDTH; WS_DLGFRAME or
// WS_THICKFRAME: FRAME_WIDTH), a caption row at the top (WS_CAPTION), and a scroll bar on the
// right (WS_VSCROLL) and at the bottom (WS_HSCROLL) while shown. The client area is what remains
// (never negative).
constexpr int BORDER_WIDTH = 1;
constexpr int FRAME_WIDTH = 3;
constexpr int CAPTION_HEIGHT = 20;
constexpr int SCROLLBAR_SIZE = 16;
// The virtual screen: the area of top-level windows, also what a maximized top-level window fills.
constexpr int SCREEN_WIDTH = 800;
constexpr int SCREEN_HEIGHT = 600;
// The size of a top-level window created with CW_USEDEFAULT as its width.
constexpr int DEFAULT_WINDOW_WIDTH = 640;
constexpr int DEFAULT_WINDOW_HEIGHT = 480;

// ShowWindow commands; both the device's and the desktop's numbers of maximize and restore.
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOWMINIMIZED = 2;
constexpr int SW_SHOWMAXIMIZED = 3;
constexpr int SW_SHOWNOACTIVATE = 4;
constexpr int SW_SHOW = 5;
constexpr int SW_MINIMIZE = 6;
constexpr int SW_SHOWMINNOACTIVE = 7;
constexpr int SW_SHOWNA = 8;
constexpr int SW_RESTORE = 9;
constexpr int SW_SHOWMAXIMIZED_DEVICE = 11;
constexpr int SW_MAXIMIZE = 12;
constexpr int SW_RESTORE_DEVICE = 13;

// WM_SIZE kinds.
constexpr WPARAM SIZE_RESTORED = 0;
constexpr WPARAM SIZE_MINIMIZED = 1;
constexpr WPARAM SIZE_MAXIMIZED = 2;

// SetWindowPos.
constexpr UINT SWP_NOSIZE = 0x0001;
constexpr UINT SWP_NOMOVE = 0x0002;
constexpr UINT SWP_NOZORDER = 0x0004;
constexpr UINT SWP_NOREDRAW = 0x0008;
constexpr UINT SWP_NOACTIVATE = 0x0010;
constexpr UINT SWP_FRAMECHANGED = 0x0020;
constexpr UINT SWP_SHOWWINDOW = 0x0040;
constexpr UINT SWP_HIDEWINDOW = 0x0080;
inline HWND const HWND_TOP = nullptr;
inline HWND const HWND_BOTTOM = reinterpret_cast<HWND>(1);

// GetWindow. Siblings are in z-order, the topmost first; a new window goes to the bottom of its
// siblings (so creation order is z-order), a shown or activated top-level window to the top.
constexpr UINT GW_HWNDFIRST = 0;
constexpr UINT GW_HWNDLAST = 1;
constexpr UINT GW_HWNDNEXT = 2;
constexpr UINT GW_HWNDPREV = 3;
constexpr UINT GW_OWNER = 4;
constexpr UINT GW_CHILD = 5;

// Scroll bars: which bar, what SCROLLINFO carries, the scroll codes of WM_HSCROLL/WM_VSCROLL.
constexpr int SB_HORZ = 0;
constexpr int SB_VERT = 1;
constexpr int SB_CTL = 2;
constexpr int SB_BOTH = 3;
constexpr UINT SIF_RANGE = 0x0001;
constexpr UINT SIF_PAGE = 0x0002;
constexpr UINT SIF_POS = 0x0004;
constexpr UINT SIF_DISABLENOSCROLL = 0x0008;
constexpr UINT SIF_TRACKPOS = 0x0010;
constexpr UINT SIF_ALL = 0x0017;
constexpr WORD SB_LINEUP = 0;
constexpr WORD SB_LINEDOWN = 1;
constexpr WORD SB_PAGEUP = 2;
constexpr WORD SB_PAGEDOWN = 3;
constexpr WORD SB_THUMBPOSITION = 4;
constexpr WORD SB_THUMBTRACK = 5;
constexpr WORD SB_TOP = 6;
constexpr WORD SB_BOTTOM = 7;
constexpr WORD SB_ENDSCROLL = 8;

// ScrollWindowEx flags.
constexpr UINT SW_SCROLLCHILDREN = 0x0001;
constexpr UINT SW_INVALIDATE = 0x0002;
constexpr UINT SW_ERASE = 0x0004;

// Accelerator flags (ACCEL::fVirt) and the virtual keys of the modifiers.
constexpr BYTE FVIRTKEY = 0x01;
constexpr BYTE FNOINVERT = 0x02;
constexpr BYTE FSHIFT = 0x04;
constexpr BYTE FCONTROL = 0x08;
constexpr BYTE FALT = 0x10;
constexpr int VK_SHIFT = 0x10;
constexpr int VK_CONTROL = 0x11;
constexpr int VK_MENU = 0x12;

// GetQueueStatus/PeekMessageW.
constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;

// GetSystemMetrics.
constexpr int SM_CXSCREEN = 0;
constexpr int SM_CYSCREEN = 1;
constexpr int SM_CXVSCROLL = 2;
constexpr int SM_CYHSCROLL = 3;
constexpr int SM_CYCAPTION = 4;
constexpr int SM_CXBORDER = 5;
constexpr int SM_CYBORDER = 6;
constexpr int SM_CXDLGFRAME = 7;
constexpr int SM_CYDLGFRAME = 8;

// Geometry records, laid out as the scripts' record classes lay them out (32-bit fields).
struct POINT {
    LONG x;
    LONG y;
};
struct SIZE {
    LONG cx;
    LONG cy;
};
struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

// A queued message as GetMessageW returns it (this platform's layout: handle and parameters are
// pointer-sized; the scripts' MSG record class translates).
struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time; // GetTickCount() when the message was posted (or generated)
    POINT pt;   // the cursor position on the virtual screen (headless: 0, 0)
};

// Scroll bar state (28 bytes, as in the scripts' records).
struct SCROLLINFO {
    UINT cbSize; // sizeof(SCROLLINFO); another size is refused
    UINT fMask;
    int nMin;
    int nMax;
    UINT nPage;
    int nPos;
    int nTrackPos;
};

// One accelerator (6 bytes: fVirt, padding, key, cmd).
struct ACCEL {
    BYTE fVirt;
    WORD key;
    WORD cmd;
};

// InitCommonControlsEx's record (8 bytes).
struct INITCOMMONCONTROLSEX {
    DWORD dwSize;
    DWORD dwICC;
};

// A timer callback given to SetTimer: called by DispatchMessageW for the timer's WM_TIMER.
using TIMERPROC = void (*)(HWND hwnd, UINT msg, UINT_PTR id, DWORD time);

// Most extra bytes a class may ask for per class or per window.
constexpr int MAX_EXTRA_BYTES = 1024;
// Deepest nesting of child windows; creating a window one level deeper fails.
constexpr int MAX_WINDOW_NESTING = 100;

// A window class as given to RegisterClassW and returned by GetClassInfoW.
struct WNDCLASSW {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    const KvoChar* lpszMenuName;
    const KvoChar* lpszClassName;
};

// The creation record passed (by address, in lParam) with WM_NCCREATE and WM_CREATE. Its string
// pointers are the ones given to CreateWindowExW; the record lives only during the message.
struct CREATESTRUCTW {
    void* lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    const KvoChar* lpszName;
    const KvoChar* lpszClass;
    DWORD dwExStyle;
};

// True when a class-name argument is an atom rather than text (MAKEINTATOM).
inline bool IS_INTATOM(const KvoChar* name)
{
    return (reinterpret_cast<std::uintptr_t>(name) >> 16) == 0;
}
// Passes a class atom where a class name is expected.
inline const KvoChar* MAKEINTATOM(ATOM atom)
{
    return reinterpret_cast<const KvoChar*>(static_cast<std::uintptr_t>(atom));
}

extern "C" {

// Returns the process-wide message number for name (FIRST_REGISTERED_MESSAGE and up): the same
// number for every call with a name that differs only in letter case, from any thread. Returns 0
// for a null or empty name, a name longer than MAX_ATOM_NAME_LENGTH, or when the range is used up.
KVO_API UINT RegisterWindowMessageW(const KvoChar* name);

// Registers a window class; the texts are copied. Returns the class atom (the registered number
// of its name), or 0 when the record or its procedure or name is missing, the extra byte counts
// are negative or above MAX_EXTRA_BYTES, or a class of that name (case ignored) exists. Class
// names are process-wide; hInstance is kept but not part of the name.
KVO_API ATOM RegisterClassW(const WNDCLASSW* wndClass);
// Removes a class given by name or atom. FALSE when there is no such class or a window of the
// class still exists. hInstance is ignored.
KVO_API BOOL UnregisterClassW(const KvoChar* className, HINSTANCE hInstance);
// Copies the class record of the class given by name or atom into *wndClass. lpszClassName is set
// to className; lpszMenuName points at the class's copy, valid while the class is registered.
// FALSE when there is no such class or wndClass is null.
KVO_API BOOL GetClassInfoW(HINSTANCE hInstance, const KvoChar* className, WNDCLASSW* wndClass);

// Creates a window of the class given by name or atom, as a child of parent when parent is not
// null (appended after its existing children). The procedure first receives WM_NCCREATE and then
// WM_CREATE, both with lParam = address of a CREATESTRUCTW whose lpCreateParams is param. A reply
// of FALSE to WM_NCCREATE or -1 to WM_CREATE destroys the window again (WM_DESTROY,
// WM_NCDESTROY) and the result is null. Also null for an unknown class, an invalid parent, a
// parent being destroyed, or nesting deeper than MAX_WINDOW_NESTING.
KVO_API HWND CreateWindowExW(DWORD exStyle, const KvoChar* className, const KvoChar* windowName,
                             DWORD style, int x, int y, int width, int height, HWND parent,
                             HMENU menu, HINSTANCE instance, void* param);
// Destroys a window and its descendants: WM_DESTROY goes to the window and then to its children
// (each before its own children), WM_NCDESTROY to the children before their parent; each window
// leaves the table after its WM_NCDESTROY. FALSE for an invalid handle or a window whose
// destruction is already under way.
KVO_API BOOL DestroyWindow(HWND hwnd);
// TRUE while hwnd names a live window (also during its WM_DESTROY and WM_NCDESTROY).
KVO_API BOOL IsWindow(HWND hwnd);
// The parent window, or null for a top-level or invalid window.
KVO_API HWND GetParent(HWND hwnd);

// Calls the window's procedure on the calling thread and returns its reply; 0 (without calling
// anything) for an invalid window.
KVO_API LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Default handling: WM_NCCREATE replies TRUE; WM_SETTEXT stores the text at lParam (null is
// empty) and replies TRUE; WM_GETTEXT copies at most wParam - 1 units and a terminator to the
// buffer at lParam and replies the number copied; WM_GETTEXTLENGTH replies the text's length;
// WM_CLOSE destroys the window; every other message, and any message for an invalid window,
// replies 0.
KVO_API LRESULT DefWindowProcW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Calls proc with the message (how a subclass procedure passes messages on to the procedure it
// replaced). Returns 0 when proc is null.
KVO_API LRESULT CallWindowProcW(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Reads a window value: GWLP_WNDPROC, GWLP_HINSTANCE, GWLP_HWNDPARENT, GWLP_ID (the menu argument
// of creation), GWL_STYLE, GWL_EXSTYLE, GWLP_USERDATA, or extra bytes at a non-negative index.
// 0 for an invalid window or index.
KVO_API LONG_PTR GetWindowLongPtrW(HWND hwnd, int index);
// Replaces a window value and returns the previous one. GWLP_WNDPROC installs a new procedure
// (subclassing; a null procedure is refused); GWLP_HWNDPARENT cannot be set. 0 for an invalid
// window, index or value.
KVO_API LONG_PTR SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value);

// Sends WM_SETTEXT; TRUE when the procedure accepted the text.
KVO_API BOOL SetWindowTextW(HWND hwnd, const KvoChar* text);
// Sends WM_GETTEXT with a buffer of maxCount units; returns the number of units copied. The
// buffer is terminated whenever maxCount > 0, also for an invalid window.
KVO_API int GetWindowTextW(HWND hwnd, KvoChar* buffer, int maxCount);
// Sends WM_GETTEXTLENGTH and returns the reply.
KVO_API int GetWindowTextLengthW(HWND hwnd);

// ---- Geometry, order and visibility -------------------------------------------------------------
// Coordinates: a top-level window's position is on the virtual screen, a child's in its parent's
// client area. Every function here validates its handles; FALSE (or 0, or null) for an invalid one.

// The window's rectangle in screen coordinates.
KVO_API BOOL GetWindowRect(HWND hwnd, RECT* rect);
// The client area: (0, 0, client width, client height).
KVO_API BOOL GetClientRect(HWND hwnd, RECT* rect);
// Convert a point between the window's client coordinates and the screen.
KVO_API BOOL ClientToScreen(HWND hwnd, POINT* point);
KVO_API BOOL ScreenToClient(HWND hwnd, POINT* point);
// Converts count points from the client coordinates of from to those of to (null: the screen).
// Returns the horizontal offset in the low word and the vertical in the high word (as 16 bits).
KVO_API int MapWindowPoints(HWND from, HWND to, POINT* points, UINT count);
// Moves and sizes the window (x, y in the parent's client coordinates or on the screen), sending
// WM_MOVE and WM_SIZE when they change; repaint invalidates the old and new areas.
KVO_API BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint);
// Position, size, z-order (after: HWND_TOP, HWND_BOTTOM or a sibling to go below) and visibility
// in one call, as the SWP_ flags select. A negative size counts as 0.
KVO_API BOOL SetWindowPos(HWND hwnd, HWND after, int x, int y, int width, int height, UINT flags);
// Shows, hides, minimizes (hides, on this device), maximizes (fills the parent's client area or
// the screen) or restores the window (to its rectangle before minimizing or maximizing; SW_SHOW
// restores a minimized window too). WM_SHOWWINDOW comes before a change of visibility, WM_SIZE and
// WM_MOVE after; a window that becomes visible is invalidated with erase and, when top-level,
// raised. Returns TRUE when it was visible before; FALSE for an unknown command.
KVO_API BOOL ShowWindow(HWND hwnd, int command);
// TRUE when the window and all its ancestors have WS_VISIBLE.
KVO_API BOOL IsWindowVisible(HWND hwnd);
KVO_API BOOL IsIconic(HWND hwnd);
KVO_API BOOL IsZoomed(HWND hwnd);
// Makes parent (null: none) the window's new parent, at the bottom of its new siblings; the
// position is kept as numbers. Returns the previous parent, or null on failure (an invalid handle,
// a parent that is the window itself or one of its descendants, or too deep a nesting); null also
// when the window was top-level, so callers check GetParent.
KVO_API HWND SetParent(HWND hwnd, HWND parent);
// A related window (GW_ constants): siblings in z-order, the owner (null here), the first child.
KVO_API HWND GetWindow(HWND hwnd, UINT command);
// The topmost child (hidden ones included) whose window rectangle contains the point (client
// coordinates of parent), or parent itself; null when the point is outside parent's client area.
KVO_API HWND ChildWindowFromPoint(HWND parent, POINT point);
KVO_API BOOL EnableWindow(HWND hwnd, BOOL enable);
KVO_API BOOL IsWindowEnabled(HWND hwnd);
// Keyboard focus, one per thread: the window that receives key messages posted to no particular
// window. SetFocus sends WM_KILLFOCUS to the old focus and WM_SETFOCUS to the new one and returns
// the old; it fails (null) for a window of another thread.
KVO_API HWND SetFocus(HWND hwnd);
KVO_API HWND GetFocus();
KVO_API int GetSystemMetrics(int index);

// ---- Painting -----------------------------------------------------------------------------------
// Each window has an update rectangle (the bounding box of what was invalidated, in client
// coordinates) and an erase flag. The message loop sends WM_PAINT to a window with a non-empty
// update rectangle when nothing is posted; BeginPaint (KvoGdi.h) takes the rectangle and sends
// WM_ERASEBKGND when the flag is set. Invalidating a window also invalidates the part of its
// descendants that lies under the rectangle, since a parent paints over its children unless it
// has WS_CLIPCHILDREN.

// Adds rect (null: the whole client area) to the update rectangle; erase sets the erase flag.
KVO_API BOOL InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase);
// Removes rect (null: all) from the update rectangle.
KVO_API BOOL ValidateRect(HWND hwnd, const RECT* rect);
// Copies the update rectangle into *rect (when not null); TRUE when it is not empty. erase is
// ignored: BeginPaint erases.
KVO_API BOOL GetUpdateRect(HWND hwnd, RECT* rect, BOOL erase);
// Sends WM_PAINT at once to the window when its update rectangle is not empty, and then to each
// descendant that needs painting (parents before children).
KVO_API BOOL UpdateWindow(HWND hwnd);
// Scrolls the client area by dx, dy: the pixels of scroll (null: the whole client area), kept
// inside clip (null: the client area), move; SW_SCROLLCHILDREN moves the children too;
// SW_INVALIDATE adds the uncovered area to the update rectangle (SW_ERASE: with the erase flag),
// and update receives the uncovered area's bounding box when not null. updateRegion is ignored.
// Returns SIMPLEREGION when an area was uncovered, NULLREGION when none was (nothing moved), or
// 0 for an invalid window.
constexpr int NULLREGION = 1;
constexpr int SIMPLEREGION = 2;
KVO_API int ScrollWindowEx(HWND hwnd, int dx, int dy, const RECT* scroll, const RECT* clip,
                           HRGN updateRegion, RECT* update, UINT flags);

// ---- Scroll bars --------------------------------------------------------------------------------
// Every window has a horizontal and a vertical bar (SB_HORZ, SB_VERT), each with a range, a page
// size, a position and a track position, shown while the window has WS_HSCROLL / WS_VSCROLL.
// Positions are kept within nMin .. nMax - max(nPage - 1, 0).

// Sets what fMask selects; returns the new position. 0 for an invalid window, bar or size.
KVO_API int SetScrollInfo(HWND hwnd, int bar, const SCROLLINFO* info, BOOL redraw);
// Reads what fMask selects. FALSE for an invalid window, bar or size.
KVO_API BOOL GetScrollInfo(HWND hwnd, int bar, SCROLLINFO* info);
KVO_API int SetScrollPos(HWND hwnd, int bar, int position, BOOL redraw);
KVO_API int GetScrollPos(HWND hwnd, int bar);
KVO_API BOOL SetScrollRange(HWND hwnd, int bar, int minimum, int maximum, BOOL redraw);
// Shows or hides bar (SB_HORZ, SB_VERT or SB_BOTH) by setting WS_HSCROLL / WS_VSCROLL; the client
// area shrinks or grows and the window receives WM_SIZE when its client size changed.
KVO_API BOOL ShowScrollBar(HWND hwnd, int bar, BOOL show);

// ---- Message queue ------------------------------------------------------------------------------
// Each thread has a queue of posted messages. GetMessageW takes, in this order: a posted message,
// WM_QUIT once PostQuitMessage was called and nothing else is posted, WM_PAINT for a window of
// the thread that needs painting, WM_TIMER for a timer that is due. When none is there it waits
// for the next timer or a post from another thread; with no timer, nothing posted and nothing to
// paint it fails (returns -1, GetLastError() = ERROR_NO_MESSAGE) instead of waiting for ever,
// since without a display nothing else could arrive.
constexpr DWORD ERROR_NO_MESSAGE = 0x4000;

// Posts to the queue of the window's thread (null hwnd: the calling thread's queue; a key message
// then goes to the focus window). FALSE for an invalid window, a window whose thread has ended, or
// a full queue (MAX_POSTED_MESSAGES waiting). DestroyWindow drops the window's posted messages.
constexpr std::size_t MAX_POSTED_MESSAGES = 1000000;
KVO_API BOOL PostMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
KVO_API void PostQuitMessage(int exitCode);
// Retrieves the next message for hwnd (null: any window of the thread and thread messages) within
// minFilter .. maxFilter (both 0: all). Returns 0 for WM_QUIT (msg->wParam is the exit code), -1
// on failure (null msg, invalid hwnd, or nothing can arrive), otherwise non-zero.
KVO_API BOOL GetMessageW(MSG* msg, HWND hwnd, UINT minFilter, UINT maxFilter);
// Like GetMessageW without waiting: FALSE when no message is there; PM_REMOVE takes it.
KVO_API BOOL PeekMessageW(MSG* msg, HWND hwnd, UINT minFilter, UINT maxFilter, UINT remove);
// Posts WM_CHAR (WM_SYSCHAR for WM_SYSKEYDOWN) for a key that produces a character (letters,
// digits, space, Enter, Backspace, Escape, Tab; Shift selects upper case, Ctrl turns a letter into
// its control character), at the front of the queue so that it comes next. TRUE when it posted one.
KVO_API BOOL TranslateMessage(const MSG* msg);
// Delivers a message: WM_TIMER whose lParam is the TIMERPROC of that live timer calls it;
// everything else goes to the window's procedure. Returns the procedure's reply (0 for an
// invalid window).
KVO_API LRESULT DispatchMessageW(const MSG* msg);
// The state of a key as the retrieved key messages left it: high bit set while down.
KVO_API short GetKeyState(int virtualKey);

// Timers: WM_TIMER for hwnd (or the thread, hwnd null) every elapse milliseconds (at least 10);
// setting an existing id of the window again restarts it. Returns the id (1 for a window's id 0;
// for hwnd null a new id unless id names an existing thread timer), 0 on failure (an invalid
// window, one whose thread has ended, or MAX_TIMERS_PER_THREAD timers). A timer of a destroyed
// window is killed with it. DispatchMessageW calls a TIMERPROC only for a live timer's WM_TIMER.
constexpr std::size_t MAX_TIMERS_PER_THREAD = 10000;
KVO_API UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc);
KVO_API BOOL KillTimer(HWND hwnd, UINT_PTR id);

// ---- Accelerators -------------------------------------------------------------------------------
// Copies count records into a new table; null for a null array or a count outside 1 .. 32767.
KVO_API HACCEL CreateAcceleratorTableW(const ACCEL* accels, int count);
KVO_API BOOL DestroyAcceleratorTable(HACCEL table);
// For a WM_KEYDOWN/WM_SYSKEYDOWN (FVIRTKEY entries: key is the virtual key, the FSHIFT, FCONTROL
// and FALT bits must equal the modifier state) or WM_CHAR (other entries: key is the character)
// that an entry matches: sends WM_COMMAND (cmd, 1) to hwnd and returns TRUE; otherwise FALSE.
KVO_API int TranslateAcceleratorW(HWND hwnd, HACCEL table, MSG* msg);

// Common controls: nothing to load here. TRUE for a record of size 8.
KVO_API BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init);

// TRUE when top-level windows appear on a display, FALSE when they live in memory only: programs
// that drive themselves headless leave the driving to the user on a display.
KVO_API BOOL KvoDisplayActive(void);

} // extern "C"
