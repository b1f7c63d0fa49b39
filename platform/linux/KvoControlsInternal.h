// What the control files share inside the platform layer (not exported): the per-window state of
// every live control, notifications to the parent, focus movement and the drawing helpers.
#pragma once

#include <memory>
#include <string>

#include "platform/KvoControls.h"
#include "platform/KvoGdi.h"

enum class KvoControlKind : std::uint8_t { STATIC, BUTTON, EDIT };

// The state of one control, from its WM_NCCREATE to its WM_NCDESTROY. It is used on the thread
// that delivers the control's messages.
struct KvoControlState {
    KvoControlKind kind = KvoControlKind::STATIC;
    bool focused = false;
    // BUTTON
    bool checked = false;
    bool pressed = false;  // shown pressed
    bool tracking = false; // the left button went down on it and is not yet up
    bool spaceDown = false;
    // EDIT: the text, the selection (anchor .. caret, in UTF-16 units), the first shown pixel.
    std::u16string text;
    std::size_t anchor = 0;
    std::size_t caret = 0;
    int scroll = 0;
    DWORD limit = EDIT_DEFAULT_LIMIT;
    KvoChar passwordChar = u'*';
    bool dragging = false;
};

// Creates the state of a new control (at WM_NCCREATE).
void kvoControlCreate(HWND hwnd, KvoControlKind kind);
// The state of a live control; null for any other window.
std::shared_ptr<KvoControlState> kvoControlState(HWND hwnd);
// Drops the state (at WM_NCDESTROY).
void kvoControlDestroy(HWND hwnd);

// Sends WM_COMMAND (the control's id, code) with the control's window to its parent.
void kvoControlNotify(HWND hwnd, WORD code);
// Moves the focus from hwnd to the next (backwards: previous) sibling control that takes it.
void kvoControlTab(HWND hwnd, bool backwards);

// The width in pixels of text drawn in the default GUI font.
int kvoControlTextWidth(const KvoChar* text, std::size_t count);
// The height of a line of the default GUI font.
int kvoControlLineHeight();

// The EDIT procedure (KvoControlsEdit.cpp).
LRESULT kvoEditProcedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
