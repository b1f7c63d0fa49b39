// The window system's shared state (see KvoWindows.h), used by its four source files: the atom,
// class and window tables, the z-order of top-level windows, the message queue of each thread and
// the accelerator tables, all guarded by one lock.
//
// Locking: every function named ...Locked expects the caller to hold WindowSystem::lock. The lock
// is never held while a window procedure, a timer procedure or the drawing layer is called; code
// that calls out keeps handles, never record pointers, across the call and looks them up again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/KvoWindows.h"

namespace kvowin {

// Positions are kept within -MAX_COORDINATE .. MAX_COORDINATE and sizes within 0 .. MAX_COORDINATE,
// so that the screen position of a window nested MAX_WINDOW_NESTING deep still fits an int.
constexpr int MAX_COORDINATE = 1000000;
// Most accelerator entries held by all live tables together.
constexpr std::size_t MAX_ACCELERATOR_ENTRIES = 1u << 22;

inline int clampCoordinate(long long value)
{
    return static_cast<int>(value < -MAX_COORDINATE   ? -MAX_COORDINATE
                            : value > MAX_COORDINATE ? MAX_COORDINATE
                                                     : value);
}
inline int clampSize(long long value)
{
    return static_cast<int>(value < 0 ? 0 : value > MAX_COORDINATE ? MAX_COORDINATE : value);
}

// Two 16-bit words in one message parameter, x (or width) in the low word, as Win32 packs them.
inline LPARAM makeLParam(int low, int high)
{
    return static_cast<LPARAM>((static_cast<DWORD>(low) & 0xFFFFu) | ((static_cast<DWORD>(high) & 0xFFFFu) << 16));
}

// A registered window class.
struct ClassRecord {
    ATOM atom = 0;
    UINT style = 0;
    WNDPROC procedure = nullptr;
    int classExtraCount = 0;
    int windowExtraCount = 0;
    HINSTANCE instance = nullptr;
    HICON icon = nullptr;
    HCURSOR cursor = nullptr;
    HBRUSH background = nullptr;
    // The menu name: text copied into menuText, or a resource number kept as given (menuResource).
    std::u16string menuText;
    const KvoChar* menuResource = nullptr;
    bool hasMenuText = false;
    std::vector<unsigned char> classExtra;
    // Live windows of the class; the class cannot be unregistered while any exist.
    std::size_t windowCount = 0;
    // A system class (KvoControls.h): registered before first use and never unregistered.
    bool system = false;
};

enum class ShowState { Normal, Minimized, Maximized };

// One scroll bar of a window. Invariant: minimum <= maximum, page <= maximum - minimum + 1, and
// position within minimum .. maximum - max(page - 1, 0).
struct ScrollBar {
    int minimum = 0;
    int maximum = 100;
    UINT page = 0;
    int position = 0;
    // While the display's user drags the thumb: where it is (GetScrollInfo's SIF_TRACKPOS).
    bool tracking = false;
    int trackPosition = 0;
};

// A live window.
struct WindowRecord {
    HWND handle = nullptr;
    ClassRecord* windowClass = nullptr; // borrowed; the class outlives its windows
    WNDPROC procedure = nullptr;
    DWORD style = 0;
    DWORD exStyle = 0;
    std::u16string text;
    HWND parent = nullptr;
    std::vector<HWND> children; // z-order, topmost first; a new child goes to the end
    HMENU menu = nullptr;
    HINSTANCE instance = nullptr;
    LONG_PTR userData = 0;
    // The window rectangle: position in the parent's client area (on the screen for a top-level
    // window) and size, all clamped as clampCoordinate/clampSize do.
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    int depth = 0; // 0 for a top-level window
    std::vector<unsigned char> extraBytes;
    // Set once DestroyWindow has taken charge of the window; it then leaves only through that call.
    bool destroying = false;
    std::thread::id thread;
    ShowState showState = ShowState::Normal;
    // The rectangle to return to from a minimized or maximized state (x, y, width, height).
    int restoreX = 0;
    int restoreY = 0;
    int restoreWidth = 0;
    int restoreHeight = 0;
    // The update rectangle in client coordinates ((0, 0, 0, 0) when empty) and the erase flag.
    RECT update{};
    bool erase = false;
    ScrollBar bars[2]; // SB_HORZ, SB_VERT
};

// A timer of a thread's queue: of a window, or of the thread itself (hwnd null).
struct Timer {
    HWND hwnd = nullptr;
    UINT_PTR id = 0;
    UINT elapse = 0;
    TIMERPROC procedure = nullptr;
    std::chrono::steady_clock::time_point due;
};

// The message queue of one thread, created on the thread's first use of the window system and
// removed when the thread ends.
struct ThreadQueue {
    std::deque<MSG> posted;
    bool quitPosted = false;
    int quitCode = 0;
    std::vector<Timer> timers;
    UINT_PTR nextTimerId = 1;
    HWND focus = nullptr;
    // The window holding the mouse capture (SetCapture), or null.
    HWND capture = nullptr;
    // Signalled (with the lock) when something arrives that a waiting GetMessageW may take.
    std::condition_variable wake;
    // Key state as the retrieved key messages left it: bit 0x80 down, bit 0x01 toggled.
    BYTE keys[256]{};
    // What the display's key presses typed, for TranslateMessage, oldest first.
    struct KeyText {
        WPARAM virtualKey = 0;
        LPARAM lParam = 0;
        DWORD time = 0;
        std::u16string text;
    };
    std::deque<KeyText> keyTexts;
};

// The process-wide tables.
struct WindowSystem {
    std::mutex lock;
    // Folded name to atom; atoms are never released, so a name keeps its number for good.
    std::unordered_map<std::u16string, ATOM> atoms;
    UINT nextAtom = FIRST_REGISTERED_MESSAGE;
    std::unordered_map<ATOM, std::unique_ptr<ClassRecord>> classes;
    std::unordered_map<std::uintptr_t, std::unique_ptr<WindowRecord>> windows;
    std::uintptr_t nextHandle = 0;
    // Top-level windows in z-order, topmost first.
    std::vector<HWND> topLevel;
    std::unordered_map<std::thread::id, std::shared_ptr<ThreadQueue>> queues;
    // Accelerator tables by handle value.
    std::unordered_map<std::uintptr_t, std::vector<ACCEL>> accelerators;
    std::size_t acceleratorEntries = 0;
    std::uintptr_t nextAccelerator = 0;
};

// The state, created on first use and never destroyed, so calls made while the process shuts
// down still find it.
WindowSystem& windowSystem();

// The live window with this handle, or null. Never dereferences the handle.
WindowRecord* findWindowLocked(WindowSystem& state, HWND hwnd);
// The list that holds the window among its siblings: its parent's children or the top-level list.
std::vector<HWND>& siblingsLocked(WindowSystem& state, const WindowRecord& window);
// The next handle value (FIRST_HANDLE .. 2^31 - 1, wrapping) for which taken is false.
template <typename Taken>
std::uintptr_t nextFreeHandle(std::uintptr_t& next, Taken taken)
{
    constexpr std::uintptr_t FIRST_HANDLE = 0x10000;
    constexpr std::uintptr_t LAST_HANDLE = 0x7fffffff;
    for (;;) {
        const std::uintptr_t value = next < FIRST_HANDLE ? FIRST_HANDLE : next;
        next = value >= LAST_HANDLE ? FIRST_HANDLE : value + 1;
        if (!taken(value)) {
            return value;
        }
    }
}

// Rectangles: empty when right <= left or bottom <= top; an empty result is (0, 0, 0, 0).
bool isEmpty(const RECT& rect);
RECT intersection(const RECT& a, const RECT& b);
// The bounding box of both (an empty one is ignored).
RECT boundingBox(const RECT& a, const RECT& b);
RECT offsetRect(const RECT& rect, int dx, int dy);
// Appends the parts of piece outside cut to out, as disjoint rectangles.
void subtractRect(const RECT& piece, const RECT& cut, std::vector<RECT>& out);

// Geometry of a window record (KvoWindowGeometry.cpp).
// The non-client widths on each side, as the style gives them.
RECT nonClientLocked(const WindowRecord& window);
int clientWidth(const WindowRecord& window);
int clientHeight(const WindowRecord& window);
// The window's top-left corner and its client area's top-left corner on the screen.
POINT windowScreenOriginLocked(WindowSystem& state, const WindowRecord& window);
POINT clientScreenOriginLocked(WindowSystem& state, const WindowRecord& window);
// True when the window and all its ancestors have WS_VISIBLE.
bool isVisibleLocked(WindowSystem& state, const WindowRecord& window);

// Where a window's client area lies and what shows, to tell a change to its procedure.
struct Placement {
    int clientX = 0; // client origin in the parent's client coordinates (or on the screen)
    int clientY = 0;
    int clientWidth = 0;
    int clientHeight = 0;
    ShowState state = ShowState::Normal;
};
Placement placementLocked(const WindowRecord& window);
// Sends WM_MOVE and WM_SIZE for what changed between before and after (without the lock).
void reportPlacement(HWND hwnd, const Placement& before, const Placement& after);

// Painting (KvoWindowPaint.cpp).
// Adds rect (client coordinates; null: the client area) to the window's update rectangle and to
// those of the descendants under it (unless the window has WS_CLIPCHILDREN), and wakes the queue
// of each window's thread.
void invalidateLocked(WindowSystem& state, WindowRecord& window, const RECT* rect, bool erase);
// Invalidates the window's whole client area and all its descendants', with erase.
void invalidateTreeLocked(WindowSystem& state, WindowRecord& window);
// Invalidates the parent's area under the window rectangle (x, y, width, height); nothing for a
// top-level window, which has nothing beneath it.
void invalidateBeneathLocked(WindowSystem& state, const WindowRecord& window, int x, int y, int width, int height);

// Queues (KvoWindowQueue.cpp).
// The calling thread's queue, created and registered on first use.
ThreadQueue& currentQueueLocked(WindowSystem& state);
// The queue of the thread that created the window, or null when that thread has ended.
ThreadQueue* windowQueueLocked(WindowSystem& state, const WindowRecord& window);
// Drops what the queues hold for a window that leaves the table: its posted messages, its
// timers and the focus.
void forgetWindowLocked(WindowSystem& state, const WindowRecord& window);

} // namespace kvowin
