// The in-process window system: registered message names, window classes, windows with their
// procedures, text, styles and parent/child links, and synchronous message sending. It has no
// display; everything is a model in memory, exported from libkvolib with C linkage and Win32 names
// so that scripts and hosts can call it by name.
//
// Invariants: a window handle is an opaque number (positive, below 2^31, so a script can hold it
// as an integer) that is never dereferenced and is not reused for a new window until some two
// billion windows later, so a stale handle is not taken for a newer window. Every call validates a handle against the table of live windows
// before use. The tables are guarded by one lock that is never held while a window procedure runs,
// so a procedure may create, destroy and send to windows (its own included) freely.
#pragma once

#include "platform/KvoTypes.h"

// A window procedure: receives every message sent to the windows of its class (or subclass).
using WNDPROC = LRESULT (*)(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Message numbers.
constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_SETTEXT = 0x000C;
constexpr UINT WM_GETTEXT = 0x000D;
constexpr UINT WM_GETTEXTLENGTH = 0x000E;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_NCCREATE = 0x0081;
constexpr UINT WM_NCDESTROY = 0x0082;
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

} // extern "C"
