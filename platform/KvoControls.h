// The system window classes STATIC, BUTTON and EDIT: child controls that scripts and hosts create
// by class name with CreateWindowExW (or WinBase::create), drawn with the system colours and the
// default GUI font, and driven entirely by messages, so they work the same with and without a
// display. They are registered with the window system before its first use and cannot be
// unregistered; a program's own class may not take their names.
//
// A control tells its parent what the user did with WM_COMMAND: wParam = MAKEWPARAM(id,
// notification), lParam = the control's window, where id is the control's GWLP_ID (the menu
// argument of CreateWindowExW).
#pragma once

#include "platform/KvoTypes.h"
#include "platform/KvoWindows.h"

// Class names.
inline constexpr KvoChar STATIC_CLASS[] = u"STATIC";
inline constexpr KvoChar BUTTON_CLASS[] = u"BUTTON";
inline constexpr KvoChar EDIT_CLASS[] = u"EDIT";

// Messages the controls understand besides the general ones.
constexpr UINT WM_CUT = 0x0300;
constexpr UINT WM_COPY = 0x0301;
constexpr UINT WM_PASTE = 0x0302;
constexpr UINT WM_CLEAR = 0x0303;
// Sent to the window that loses the mouse capture; lParam: the window that takes it (or null).
constexpr UINT WM_CAPTURECHANGED = 0x0215;

// Virtual keys the controls act on.
constexpr int VK_BACK = 0x08;
constexpr int VK_TAB = 0x09;
constexpr int VK_RETURN = 0x0D;
constexpr int VK_ESCAPE = 0x1B;
constexpr int VK_SPACE = 0x20;
constexpr int VK_END = 0x23;
constexpr int VK_HOME = 0x24;
constexpr int VK_LEFT = 0x25;
constexpr int VK_UP = 0x26;
constexpr int VK_RIGHT = 0x27;
constexpr int VK_DOWN = 0x28;
constexpr int VK_DELETE = 0x2E;

// Mouse message wParam bits.
constexpr WPARAM MK_LBUTTON = 0x0001;
constexpr WPARAM MK_SHIFT = 0x0004;
constexpr WPARAM MK_CONTROL = 0x0008;

// STATIC styles: the text's placement (the low two bits).
constexpr DWORD SS_LEFT = 0x0000;
constexpr DWORD SS_CENTER = 0x0001;
constexpr DWORD SS_RIGHT = 0x0002;
constexpr DWORD SS_TYPEMASK = 0x001F;

// BUTTON styles (the low four bits choose the kind) and messages.
constexpr DWORD BS_PUSHBUTTON = 0x0000;
constexpr DWORD BS_DEFPUSHBUTTON = 0x0001;
constexpr DWORD BS_CHECKBOX = 0x0002;
constexpr DWORD BS_AUTOCHECKBOX = 0x0003;
constexpr DWORD BS_RADIOBUTTON = 0x0004;
constexpr DWORD BS_AUTORADIOBUTTON = 0x0009;
constexpr DWORD BS_TYPEMASK = 0x000F;
// Marks the first control of a group of radio buttons (a group runs to the next WS_GROUP).
constexpr DWORD WS_GROUP = 0x00020000;
constexpr DWORD WS_TABSTOP = 0x00010000;
// Reply: BST_CHECKED or BST_UNCHECKED.
constexpr UINT BM_GETCHECK = 0x00F0;
// wParam: BST_CHECKED or BST_UNCHECKED; repaints when the state changes.
constexpr UINT BM_SETCHECK = 0x00F1;
constexpr UINT BM_GETSTATE = 0x00F2;
// Clicks the button as the mouse would: the auto kinds change their state, the parent hears
// BN_CLICKED.
constexpr UINT BM_CLICK = 0x00F5;
constexpr WPARAM BST_UNCHECKED = 0x0000;
constexpr WPARAM BST_CHECKED = 0x0001;
// BM_GETSTATE's bit while the button is shown pressed.
constexpr LRESULT BST_PUSHED = 0x0004;
constexpr LRESULT BST_FOCUS = 0x0008;
constexpr WORD BN_CLICKED = 0;

// EDIT styles, messages and notifications. The control is one line of text.
constexpr DWORD ES_LEFT = 0x0000;
constexpr DWORD ES_PASSWORD = 0x0020;
constexpr DWORD ES_AUTOHSCROLL = 0x0080;
constexpr DWORD ES_READONLY = 0x0800;
// Reply: the selection's start (low word) and end (high word); wParam and lParam, when not null,
// point at DWORDs that receive them in full.
constexpr UINT EM_GETSEL = 0x00B0;
// Selects wParam .. lParam (any order; -1 as the start removes the selection, -1 as the end
// means the end of the text). The caret goes to lParam's end.
constexpr UINT EM_SETSEL = 0x00B1;
constexpr UINT EM_REPLACESEL = 0x00C2;
// wParam: the most units the user may enter (0: the largest, 0x7FFFFFFE). Text already longer
// stays; WM_SETTEXT is not limited.
constexpr UINT EM_LIMITTEXT = 0x00C5;
constexpr UINT EM_SETLIMITTEXT = EM_LIMITTEXT;
constexpr UINT EM_GETLIMITTEXT = 0x00D5;
// The unit shown for every character of an ES_PASSWORD control (wParam; 0 shows the text).
constexpr UINT EM_SETPASSWORDCHAR = 0x00CC;
constexpr WORD EN_SETFOCUS = 0x0100;
constexpr WORD EN_KILLFOCUS = 0x0200;
// After every change the user made (typing, deleting, cut, paste); not after WM_SETTEXT.
constexpr WORD EN_CHANGE = 0x0300;
// A typed character or paste that the limit refused.
constexpr WORD EN_MAXTEXT = 0x0501;
constexpr DWORD EDIT_DEFAULT_LIMIT = 0x7FFFFFFE;

inline constexpr WPARAM MAKEWPARAM(WORD low, WORD high)
{
    return static_cast<WPARAM>(static_cast<DWORD>(low) | (static_cast<DWORD>(high) << 16));
}

extern "C" {

// Mouse capture, one window per thread: while a window holds it, mouse messages that a display
// delivers for the thread's windows go to it. SetCapture returns the previous holder and sends
// it WM_CAPTURECHANGED; ReleaseCapture gives it up (FALSE when the thread held none); a window
// loses the capture when it is destroyed.
KVO_API HWND SetCapture(HWND hwnd);
KVO_API BOOL ReleaseCapture();
KVO_API HWND GetCapture();

// The child of parent whose id (GWLP_ID) is id, or null.
KVO_API HWND GetDlgItem(HWND parent, int id);

// The process-wide clipboard's text: what WM_COPY and WM_CUT of an edit control left there.
// KvoGetClipboardText copies at most capacity - 1 units and a terminator and returns the text's
// full length (0 with nothing there); KvoSetClipboardText replaces it (null: empties it).
KVO_API int KvoGetClipboardText(KvoChar* buffer, int capacity);
KVO_API BOOL KvoSetClipboardText(const KvoChar* text);

} // extern "C"
