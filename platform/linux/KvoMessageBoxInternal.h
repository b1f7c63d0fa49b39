// The message box's parts that its console form (KvoMessageBox.cpp) and its window form
// (KvoControlsMessageBox.cpp) share inside the platform layer (not exported).
#pragma once

#include "platform/KvoMessageBox.h"
#include "platform/KvoWindows.h"

struct KvoMessageBoxButton {
    int id;
    const char* name;
};
constexpr int KVO_MESSAGE_BOX_MAX_BUTTONS = 3;

// The buttons of the style's set in display order (an unknown set is MB_OK's); returns how many.
int kvoMessageBoxButtons(UINT style, KvoMessageBoxButton (&buttons)[KVO_MESSAGE_BOX_MAX_BUTTONS]);
// The answer that declines (Cancel, else No, else Abort, else OK) and the default button's.
int kvoMessageBoxStopAnswer(UINT style);
int kvoMessageBoxDefaultAnswer(UINT style);

// Called once the window box is built and shown, before its loop takes the first message: how a
// test drives the box headless (by posting clicks and keys to it and its buttons, which are its
// children with the answers as ids).
using KvoMessageBoxShown = void (*)(HWND box, void* context);

// The box as a modal window: a caption, the text in a STATIC, a BUTTON for each answer (the
// default one focused), run in its own message loop while owner (when a window) is disabled.
// Enter clicks the focused button, Escape and closing the box give the stop answer, as does a
// loop that can receive nothing more; WM_QUIT ends the box with the stop answer and is posted
// again for the caller's loop. Key and mouse messages for other windows are dropped meanwhile.
int kvoMessageBoxWindow(HWND owner, const KvoChar* text, const KvoChar* caption, UINT style,
                        KvoMessageBoxShown shown, void* context);
