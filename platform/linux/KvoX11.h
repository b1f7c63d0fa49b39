// The display back end (KvoX11.cpp): when an X server is reachable and KIVO_HEADLESS is not set,
// every shown top-level window is also an X window that presents its surface, and the server's
// events become window messages. Not exported.
//
// The connection is served by whichever thread runs a message loop (GetMessageW, PeekMessageW):
// it shows what changed, reads the server's events and turns them into posted or sent messages.
// Locking: the back end's own lock is taken last; it is never held while the window system or the
// drawing layer is called.
#pragma once

#include <cstdint>
#include <string>

#include "platform/KvoWindows.h"

// Shows what changed since the last call (windows created, moved, retitled, hidden or destroyed,
// pixels painted) and handles the server's events. When none is waiting and timeoutMs is not 0,
// first waits up to timeoutMs milliseconds (-1: without limit) for an event or a wake-up. False
// when no display is active.
bool kvoX11Pump(int timeoutMs);
// Ends a wait of kvoX11Pump in any thread (a message was posted, a window invalidated, a timer
// set). Safe to call with any lock held; does nothing without a display.
void kvoX11Wake();

// The window is being destroyed: its X window, if it has one, goes at once, so that it does not
// linger on the screen while the program goes on without a message loop. Does nothing before the
// display is first used.
void kvoX11WindowDestroyed(HWND hwnd);

// The virtual-key code of an X key symbol, or 0 when the key has none (KvoX11Keys.cpp).
unsigned kvoX11VirtualKey(unsigned long keysym);
// The character a key press types, from the symbol and the bytes the keyboard mapping gave for it
// (modifiers and layout applied): the UTF-16 units in out (empty for keys that type nothing).
void kvoX11KeyText(unsigned long keysym, const char* bytes, int count, std::u16string& out);
// The same from the UTF-8 text an input context gave for the key (any key symbol the layout has).
void kvoX11KeyTextUtf8(unsigned long keysym, const char* utf8, int count, std::u16string& out);

// A scroll bar's layout along its length (KvoX11ScrollBar.cpp): two arrow buttons of `arrow`
// pixels at the ends and, between them, the track with the thumb.
struct KvoScrollLayout {
    int length = 0;      // the bar's length in pixels
    int arrow = 0;       // each arrow button's length (shrinks when the bar is short)
    int thumbStart = 0;  // the thumb's offset from the bar's start
    int thumbLength = 0; // 0 when there is no room for a thumb or nothing to scroll
    int minimum = 0;
    int maximumPosition = 0; // the largest position the thumb can take
};
enum class KvoScrollPart { Outside, LineUp, PageUp, Thumb, PageDown, LineDown };

KvoScrollLayout kvoScrollLayout(int length, int thickness, int minimum, int maximum, UINT page, int position);
KvoScrollPart kvoScrollHit(const KvoScrollLayout& layout, int offset);
// The position the thumb stands for when its start is at thumbStart (clamped to the range).
int kvoScrollPositionAt(const KvoScrollLayout& layout, int thumbStart);
