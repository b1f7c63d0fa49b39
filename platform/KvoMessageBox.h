// Message boxes. With a display a box is a small modal window of controls (KvoControls.h); without
// one MessageBoxW writes the caption and the text to standard error and reads the answer from the
// controlling terminal. Automation answers through the variable KIVO_MSGBOX_ANSWER in both cases;
// without a terminal the box gives its "stop" answer (see MessageBoxW).
#pragma once

#include "platform/KvoWinTypes.h"

// Button sets (the low four bits of the style).
constexpr UINT MB_OK = 0x0000;
constexpr UINT MB_OKCANCEL = 0x0001;
constexpr UINT MB_ABORTRETRYIGNORE = 0x0002;
constexpr UINT MB_YESNOCANCEL = 0x0003;
constexpr UINT MB_YESNO = 0x0004;
constexpr UINT MB_RETRYCANCEL = 0x0005;
constexpr UINT MB_TYPEMASK = 0x000F;
// Icons; shown as a word before the caption.
constexpr UINT MB_ICONHAND = 0x0010;
constexpr UINT MB_ICONQUESTION = 0x0020;
constexpr UINT MB_ICONEXCLAMATION = 0x0030;
constexpr UINT MB_ICONASTERISK = 0x0040;
constexpr UINT MB_ICONERROR = MB_ICONHAND;
constexpr UINT MB_ICONSTOP = MB_ICONHAND;
constexpr UINT MB_ICONWARNING = MB_ICONEXCLAMATION;
constexpr UINT MB_ICONINFORMATION = MB_ICONASTERISK;
constexpr UINT MB_ICONMASK = 0x00F0;
// Default button: the answer to an empty line.
constexpr UINT MB_DEFBUTTON1 = 0x0000;
constexpr UINT MB_DEFBUTTON2 = 0x0100;
constexpr UINT MB_DEFBUTTON3 = 0x0200;
constexpr UINT MB_DEFMASK = 0x0F00;
// Window placement; accepted and without effect on the console.
constexpr UINT MB_APPLMODAL = 0x00000000;
constexpr UINT MB_SETFOREGROUND = 0x00010000;
constexpr UINT MB_TOPMOST = 0x00040000;

// Answers.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

extern "C" {

// Shows text under caption (either may be null) with the buttons that style asks for and returns
// the button chosen (IDOK ...). An unknown button set is taken as MB_OK. The answer is, in order:
// - KIVO_MSGBOX_ANSWER, when it names a button of the box ("ok", "cancel", "yes", "no", "abort",
//   "retry", "ignore", any case); "ok" also stands for the box's go-ahead answer (Yes, or Retry)
//   and "cancel" for its stop answer;
// - a line read from the controlling terminal (/dev/tty) naming a button or its first letter; an
//   empty line chooses the default button; anything else asks again;
// - without a terminal, or at its end of input, the stop answer: Cancel when the box offers it,
//   else No (Yes/No), Abort (Abort/Retry/Ignore) or OK (a lone OK button).
// With a display (and no automated answer) the box is a window instead: Enter chooses the focused
// (at first the default) button, Escape or closing the box the stop answer, and window, when it
// is one, is disabled while the box is up. Without a display the window is ignored: boxes are
// modal to the whole console.
KVO_API int MessageBoxW(HWND window, const KvoChar* text, const KvoChar* caption, UINT style);

} // extern "C"
