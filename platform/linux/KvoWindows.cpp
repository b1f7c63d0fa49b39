// The in-process window system (see KvoWindows.h): the atom table behind registered messages and
// class names, the class table and the window table, creation and destruction, text and window
// values, all in the process-wide state of KvoWindowState.h guarded by one lock. Geometry, painting
// and the queues live in KvoWindowGeometry.cpp, KvoWindowPaint.cpp and KvoWindowQueue.cpp.
// The lock protects only the tables: it is taken, the record is read or changed, and it is
// released before any window procedure is called. Code that calls a procedure therefore keeps
// handles, never record pointers, across the call and looks the handle up again afterwards, since
// the procedure may have destroyed the window (or any other).
//
// Sent messages are delivered by calling the procedure on the sending thread. Each window remembers
// the thread that created it, whose queue receives the messages posted to the window.
#include "platform/KvoWindows.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/KvoGdi.h"
#include "platform/KvoText.h"
#include "platform/linux/KvoWindowInternal.h"
#include "platform/linux/KvoWindowState.h"
#include "platform/linux/KvoX11.h"

namespace {
// Registers a class into state (defined below); 0 when the record is refused. A system class
// cannot be unregistered.
ATOM registerClassLocked(kvowin::WindowSystem& state, const WNDCLASSW* wndClass, bool system);
} // namespace

namespace kvowin {

WindowSystem& windowSystem()
{
    // The system classes exist before anything can look a class up or register one of that name.
    static WindowSystem* const state = [] {
        auto* created = new WindowSystem;
        std::size_t count = 0;
        const WNDCLASSW* classes = kvoSystemWindowClasses(count);
        for (std::size_t i = 0; i < count; ++i) {
            registerClassLocked(*created, &classes[i], true);
        }
        return created;
    }();
    return *state;
}

WindowRecord* findWindowLocked(WindowSystem& state, HWND hwnd)
{
    auto found = state.windows.find(reinterpret_cast<std::uintptr_t>(hwnd));
    return found == state.windows.end() ? nullptr : found->second.get();
}

std::vector<HWND>& siblingsLocked(WindowSystem& state, const WindowRecord& window)
{
    if (WindowRecord* parent = findWindowLocked(state, window.parent)) {
        return parent->children;
    }
    return state.topLevel;
}

} // namespace kvowin

namespace {

using namespace kvowin;

// Puts the name in the form used as a key into folded: each unit mapped to lower case, as the
// case-insensitive compare kvoStrICmp does. False when the name is null, empty or longer than
// MAX_ATOM_NAME_LENGTH.
bool foldName(const KvoChar* name, std::u16string& folded)
{
    if (name == nullptr || name[0] == 0) {
        return false;
    }
    folded.clear();
    for (const KvoChar* p = name; *p != 0; ++p) {
        if (folded.size() == MAX_ATOM_NAME_LENGTH) {
            return false;
        }
        folded.push_back(kvoToLower(*p));
    }
    return true;
}

// The atom of a folded name, created when create is set. 0 when absent or the range is used up.
ATOM findAtomLocked(WindowSystem& state, const std::u16string& folded, bool create)
{
    auto found = state.atoms.find(folded);
    if (found != state.atoms.end()) {
        return found->second;
    }
    if (!create || state.nextAtom > LAST_REGISTERED_MESSAGE) {
        return 0;
    }
    const ATOM atom = static_cast<ATOM>(state.nextAtom++);
    state.atoms.emplace(folded, atom);
    return atom;
}

// The class named by text or atom, or null.
ClassRecord* findClassLocked(WindowSystem& state, const KvoChar* className)
{
    ATOM atom = 0;
    if (IS_INTATOM(className)) {
        atom = static_cast<ATOM>(reinterpret_cast<std::uintptr_t>(className));
    } else {
        std::u16string folded;
        if (!foldName(className, folded)) {
            return nullptr;
        }
        atom = findAtomLocked(state, folded, false);
    }
    auto found = state.classes.find(atom);
    return found == state.classes.end() ? nullptr : found->second.get();
}

ATOM registerClassLocked(WindowSystem& state, const WNDCLASSW* wndClass, bool system)
{
    if (wndClass == nullptr || wndClass->lpfnWndProc == nullptr || wndClass->cbClsExtra < 0 ||
        wndClass->cbClsExtra > MAX_EXTRA_BYTES || wndClass->cbWndExtra < 0 ||
        wndClass->cbWndExtra > MAX_EXTRA_BYTES || IS_INTATOM(wndClass->lpszClassName)) {
        return 0;
    }
    std::u16string folded;
    if (!foldName(wndClass->lpszClassName, folded)) {
        return 0;
    }
    auto record = std::make_unique<ClassRecord>();
    record->style = wndClass->style;
    record->procedure = wndClass->lpfnWndProc;
    record->classExtraCount = wndClass->cbClsExtra;
    record->windowExtraCount = wndClass->cbWndExtra;
    record->instance = wndClass->hInstance;
    record->icon = wndClass->hIcon;
    record->cursor = wndClass->hCursor;
    record->background = wndClass->hbrBackground;
    if (IS_INTATOM(wndClass->lpszMenuName)) {
        record->menuResource = wndClass->lpszMenuName;
    } else {
        record->menuText = wndClass->lpszMenuName;
        record->hasMenuText = true;
    }
    record->classExtra.assign(static_cast<std::size_t>(wndClass->cbClsExtra), 0);
    record->system = system;

    const ATOM atom = findAtomLocked(state, folded, true);
    if (atom == 0 || state.classes.find(atom) != state.classes.end()) {
        return 0;
    }
    record->atom = atom;
    state.classes.emplace(atom, std::move(record));
    return atom;
}

// The next handle value that names no live window.
HWND newHandleLocked(WindowSystem& state)
{
    const std::uintptr_t value = nextFreeHandle(
        state.nextHandle, [&state](std::uintptr_t candidate) { return state.windows.count(candidate) != 0; });
    return reinterpret_cast<HWND>(value);
}

// Takes charge of the children of hwnd that no other destruction has claimed: marks them and
// returns them in creation order.
std::vector<HWND> claimChildren(HWND hwnd)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    std::vector<HWND> claimed;
    WindowRecord* window = findWindowLocked(state, hwnd);
    if (window == nullptr) {
        return claimed;
    }
    for (HWND child : window->children) {
        WindowRecord* childWindow = findWindowLocked(state, child);
        if (childWindow != nullptr && !childWindow->destroying) {
            childWindow->destroying = true;
            claimed.push_back(child);
        }
    }
    return claimed;
}

// Takes a window out of the tables after its WM_NCDESTROY, with what the queues hold for it.
// Children still linked to it belong to a destruction further up the call stack; they become
// top-level and finish there.
void removeWindow(HWND hwnd)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    auto found = state.windows.find(reinterpret_cast<std::uintptr_t>(hwnd));
    if (found == state.windows.end()) {
        return;
    }
    WindowRecord& window = *found->second;
    std::vector<HWND>& siblings = siblingsLocked(state, window);
    siblings.erase(std::remove(siblings.begin(), siblings.end(), hwnd), siblings.end());
    for (HWND child : window.children) {
        if (WindowRecord* childWindow = findWindowLocked(state, child)) {
            childWindow->parent = nullptr;
            childWindow->depth = 0;
            state.topLevel.push_back(child);
        }
    }
    forgetWindowLocked(state, window);
    window.windowClass->windowCount--;
    state.windows.erase(found);
}

// Where a window value of GetWindowLongPtrW/SetWindowLongPtrW lives among the extra bytes, or
// null when the index does not address a whole value there.
unsigned char* extraSlot(WindowRecord& window, int index)
{
    if (index < 0 || window.extraBytes.size() < sizeof(LONG_PTR) ||
        static_cast<std::size_t>(index) > window.extraBytes.size() - sizeof(LONG_PTR)) {
        return nullptr;
    }
    return window.extraBytes.data() + index;
}

} // namespace

extern "C" {

UINT RegisterWindowMessageW(const KvoChar* name)
{
    std::u16string folded;
    if (!foldName(name, folded)) {
        return 0;
    }
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    return findAtomLocked(state, folded, true);
}

ATOM RegisterClassW(const WNDCLASSW* wndClass)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    return registerClassLocked(state, wndClass, false);
}

BOOL UnregisterClassW(const KvoChar* className, HINSTANCE)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    ClassRecord* windowClass = findClassLocked(state, className);
    if (windowClass == nullptr || windowClass->windowCount != 0 || windowClass->system) {
        return FALSE;
    }
    state.classes.erase(windowClass->atom);
    return TRUE;
}

BOOL GetClassInfoW(HINSTANCE, const KvoChar* className, WNDCLASSW* wndClass)
{
    if (wndClass == nullptr) {
        return FALSE;
    }
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    const ClassRecord* windowClass = findClassLocked(state, className);
    if (windowClass == nullptr) {
        return FALSE;
    }
    wndClass->style = windowClass->style;
    wndClass->lpfnWndProc = windowClass->procedure;
    wndClass->cbClsExtra = windowClass->classExtraCount;
    wndClass->cbWndExtra = windowClass->windowExtraCount;
    wndClass->hInstance = windowClass->instance;
    wndClass->hIcon = windowClass->icon;
    wndClass->hCursor = windowClass->cursor;
    wndClass->hbrBackground = windowClass->background;
    wndClass->lpszMenuName =
        windowClass->hasMenuText ? windowClass->menuText.c_str() : windowClass->menuResource;
    wndClass->lpszClassName = className;
    return TRUE;
}

HWND CreateWindowExW(DWORD exStyle, const KvoChar* className, const KvoChar* windowName,
                     DWORD style, int x, int y, int width, int height, HWND parent, HMENU menu,
                     HINSTANCE instance, void* param)
{
    WindowSystem& state = windowSystem();
    HWND hwnd = nullptr;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        ClassRecord* windowClass = findClassLocked(state, className);
        if (windowClass == nullptr) {
            return nullptr;
        }
        WindowRecord* parentWindow = nullptr;
        if (parent != nullptr) {
            parentWindow = findWindowLocked(state, parent);
            // A window being destroyed takes no new children: they would outlive its destruction.
            if (parentWindow == nullptr || parentWindow->destroying ||
                parentWindow->depth >= MAX_WINDOW_NESTING) {
                return nullptr;
            }
        }
        auto window = std::make_unique<WindowRecord>();
        hwnd = newHandleLocked(state);
        window->handle = hwnd;
        window->windowClass = windowClass;
        window->procedure = windowClass->procedure;
        // The window is shown, maximized or minimized after WM_CREATE, as ShowWindow does it.
        window->style = style & ~(WS_VISIBLE | WS_MINIMIZE | WS_MAXIMIZE);
        window->exStyle = exStyle;
        window->text = windowName != nullptr ? windowName : u"";
        window->parent = parent;
        window->menu = menu;
        window->instance = instance;
        // A default position is the parent's (or the screen's) corner; a default size is
        // DEFAULT_WINDOW_WIDTH x DEFAULT_WINDOW_HEIGHT for a top-level window and empty for a child.
        if (x == CW_USEDEFAULT) {
            x = 0;
            y = 0;
        } else if (y == CW_USEDEFAULT) {
            y = 0;
        }
        if (width == CW_USEDEFAULT) {
            width = parentWindow == nullptr ? DEFAULT_WINDOW_WIDTH : 0;
            height = parentWindow == nullptr ? DEFAULT_WINDOW_HEIGHT : 0;
        } else if (height == CW_USEDEFAULT) {
            height = 0;
        }
        x = clampCoordinate(x);
        y = clampCoordinate(y);
        width = clampSize(width);
        height = clampSize(height);
        window->x = x;
        window->y = y;
        window->width = width;
        window->height = height;
        window->restoreX = x;
        window->restoreY = y;
        window->restoreWidth = width;
        window->restoreHeight = height;
        window->depth = parentWindow != nullptr ? parentWindow->depth + 1 : 0;
        window->extraBytes.assign(static_cast<std::size_t>(windowClass->windowExtraCount), 0);
        window->thread = std::this_thread::get_id();
        // The new window is at the bottom of its siblings.
        if (parentWindow != nullptr) {
            parentWindow->children.push_back(hwnd);
        } else {
            state.topLevel.push_back(hwnd);
        }
        currentQueueLocked(state);
        windowClass->windowCount++;
        state.windows.emplace(reinterpret_cast<std::uintptr_t>(hwnd), std::move(window));
    }

    CREATESTRUCTW create{};
    create.lpCreateParams = param;
    create.hInstance = instance;
    create.hMenu = menu;
    create.hwndParent = parent;
    create.cy = height;
    create.cx = width;
    create.y = y;
    create.x = x;
    create.style = static_cast<LONG>(style);
    create.lpszName = windowName;
    create.lpszClass = className;
    create.dwExStyle = exStyle;
    const LPARAM createParam = reinterpret_cast<LPARAM>(&create);

    if (SendMessageW(hwnd, WM_NCCREATE, 0, createParam) == FALSE ||
        SendMessageW(hwnd, WM_CREATE, 0, createParam) == -1) {
        DestroyWindow(hwnd);
        return nullptr;
    }
    // As on the desktop, the new window hears its size and position once, and is then shown.
    Placement placement;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        const WindowRecord* window = findWindowLocked(state, hwnd);
        if (window == nullptr) {
            return nullptr;
        }
        placement = placementLocked(*window);
    }
    SendMessageW(hwnd, WM_SIZE, SIZE_RESTORED, makeLParam(placement.clientWidth, placement.clientHeight));
    SendMessageW(hwnd, WM_MOVE, 0, makeLParam(placement.clientX, placement.clientY));
    if ((style & WS_VISIBLE) != 0) {
        ShowWindow(hwnd, (style & WS_MAXIMIZE) != 0   ? SW_SHOWMAXIMIZED
                         : (style & WS_MINIMIZE) != 0 ? SW_SHOWMINIMIZED
                                                      : SW_SHOWNORMAL);
    }
    // The procedure may have destroyed the window (or its parent) while handling creation.
    return IsWindow(hwnd) ? hwnd : nullptr;
}

BOOL DestroyWindow(HWND hwnd)
{
    {
        WindowSystem& state = windowSystem();
        std::lock_guard<std::mutex> guard(state.lock);
        WindowRecord* window = findWindowLocked(state, hwnd);
        if (window == nullptr || window->destroying) {
            return FALSE;
        }
        window->destroying = true;
        // What the window covered in its parent shows again.
        if ((window->style & WS_VISIBLE) != 0) {
            invalidateBeneathLocked(state, *window, window->x, window->y, window->width, window->height);
        }
    }
    // WM_DESTROY in pre-order: each window before its children. A child is claimed only after its
    // parent's WM_DESTROY, so children the parent destroys itself while handling it are skipped.
    std::vector<HWND> order;
    std::vector<HWND> pending{hwnd};
    while (!pending.empty()) {
        const HWND current = pending.back();
        pending.pop_back();
        order.push_back(current);
        SendMessageW(current, WM_DESTROY, 0, 0);
        const std::vector<HWND> children = claimChildren(current);
        pending.insert(pending.end(), children.rbegin(), children.rend());
    }
    // WM_NCDESTROY in reverse visiting order, which puts every window after all its descendants.
    // Windows in `order` are marked, so no other call removes them in the meantime.
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        SendMessageW(*it, WM_NCDESTROY, 0, 0);
        kvoX11WindowDestroyed(*it);
        kvoGdiWindowDestroyed(*it);
        removeWindow(*it);
    }
    return TRUE;
}

BOOL IsWindow(HWND hwnd)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    return findWindowLocked(state, hwnd) != nullptr ? TRUE : FALSE;
}

HWND GetParent(HWND hwnd)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    const WindowRecord* window = findWindowLocked(state, hwnd);
    return window != nullptr ? window->parent : nullptr;
}

LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    WNDPROC procedure = nullptr;
    {
        WindowSystem& state = windowSystem();
        std::lock_guard<std::mutex> guard(state.lock);
        const WindowRecord* window = findWindowLocked(state, hwnd);
        if (window == nullptr) {
            return 0;
        }
        procedure = window->procedure;
    }
    return procedure(hwnd, msg, wParam, lParam);
}

LRESULT DefWindowProcW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    WindowSystem& state = windowSystem();
    switch (msg) {
    case WM_NCCREATE:
        return IsWindow(hwnd);
    case WM_SETTEXT: {
        const auto* text = reinterpret_cast<const KvoChar*>(lParam);
        std::u16string copy = text != nullptr ? text : u"";
        std::lock_guard<std::mutex> guard(state.lock);
        WindowRecord* window = findWindowLocked(state, hwnd);
        if (window == nullptr) {
            return FALSE;
        }
        window->text.swap(copy);
        return TRUE;
    }
    case WM_GETTEXT: {
        auto* buffer = reinterpret_cast<KvoChar*>(lParam);
        if (buffer == nullptr || wParam == 0) {
            return 0;
        }
        std::lock_guard<std::mutex> guard(state.lock);
        const WindowRecord* window = findWindowLocked(state, hwnd);
        if (window == nullptr) {
            return 0;
        }
        const std::size_t count = std::min<std::size_t>(window->text.size(), wParam - 1);
        std::copy_n(window->text.data(), count, buffer);
        buffer[count] = 0;
        return static_cast<LRESULT>(count);
    }
    case WM_GETTEXTLENGTH: {
        std::lock_guard<std::mutex> guard(state.lock);
        const WindowRecord* window = findWindowLocked(state, hwnd);
        return window != nullptr ? static_cast<LRESULT>(window->text.size()) : 0;
    }
    case WM_CLOSE:
        DestroyWindow(hwnd);
        return 0;
    case WM_ERASEBKGND: {
        HBRUSH background = kvoClassBackground(hwnd);
        RECT client{};
        if (background == nullptr || !GetClientRect(hwnd, &client)) {
            return 0;
        }
        FillRect(reinterpret_cast<HDC>(wParam), &client, background);
        return 1;
    }
    case WM_PAINT: {
        // Painting nothing still validates, or the loop would ask again for ever.
        PAINTSTRUCT paint{};
        if (BeginPaint(hwnd, &paint) != nullptr) {
            EndPaint(hwnd, &paint);
        }
        return 0;
    }
    default:
        return 0;
    }
}

LRESULT CallWindowProcW(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    return proc != nullptr ? proc(hwnd, msg, wParam, lParam) : 0;
}

LONG_PTR GetWindowLongPtrW(HWND hwnd, int index)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    WindowRecord* window = findWindowLocked(state, hwnd);
    if (window == nullptr) {
        return 0;
    }
    switch (index) {
    case GWLP_WNDPROC:
        return reinterpret_cast<LONG_PTR>(window->procedure);
    case GWLP_HINSTANCE:
        return reinterpret_cast<LONG_PTR>(window->instance);
    case GWLP_HWNDPARENT:
        return reinterpret_cast<LONG_PTR>(window->parent);
    case GWLP_ID:
        return reinterpret_cast<LONG_PTR>(window->menu);
    case GWL_STYLE:
        return static_cast<LONG_PTR>(window->style);
    case GWL_EXSTYLE:
        return static_cast<LONG_PTR>(window->exStyle);
    case GWLP_USERDATA:
        return window->userData;
    default:
        break;
    }
    const unsigned char* slot = extraSlot(*window, index);
    if (slot == nullptr) {
        return 0;
    }
    LONG_PTR value = 0;
    std::memcpy(&value, slot, sizeof value);
    return value;
}

LONG_PTR SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    WindowRecord* window = findWindowLocked(state, hwnd);
    if (window == nullptr) {
        return 0;
    }
    LONG_PTR previous = 0;
    switch (index) {
    case GWLP_WNDPROC:
        // A null procedure would leave the window unable to receive messages.
        if (value == 0) {
            return 0;
        }
        previous = reinterpret_cast<LONG_PTR>(window->procedure);
        window->procedure = reinterpret_cast<WNDPROC>(value);
        return previous;
    case GWLP_HINSTANCE:
        previous = reinterpret_cast<LONG_PTR>(window->instance);
        window->instance = reinterpret_cast<HINSTANCE>(value);
        return previous;
    case GWLP_ID:
        previous = reinterpret_cast<LONG_PTR>(window->menu);
        window->menu = reinterpret_cast<HMENU>(value);
        return previous;
    case GWL_STYLE:
        previous = static_cast<LONG_PTR>(window->style);
        window->style = static_cast<DWORD>(value);
        return previous;
    case GWL_EXSTYLE:
        previous = static_cast<LONG_PTR>(window->exStyle);
        window->exStyle = static_cast<DWORD>(value);
        return previous;
    case GWLP_USERDATA:
        previous = window->userData;
        window->userData = value;
        return previous;
    default:
        break;
    }
    unsigned char* slot = extraSlot(*window, index);
    if (slot == nullptr) {
        return 0;
    }
    std::memcpy(&previous, slot, sizeof previous);
    std::memcpy(slot, &value, sizeof value);
    return previous;
}

BOOL SetWindowTextW(HWND hwnd, const KvoChar* text)
{
    return SendMessageW(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) != 0 ? TRUE : FALSE;
}

int GetWindowTextW(HWND hwnd, KvoChar* buffer, int maxCount)
{
    if (buffer == nullptr || maxCount <= 0) {
        return 0;
    }
    buffer[0] = 0;
    const LRESULT copied = SendMessageW(hwnd, WM_GETTEXT, static_cast<WPARAM>(maxCount),
                                        reinterpret_cast<LPARAM>(buffer));
    // A procedure's own reply is not trusted to fit the buffer the caller will read.
    return static_cast<int>(std::clamp<LRESULT>(copied, 0, maxCount - 1));
}

int GetWindowTextLengthW(HWND hwnd)
{
    const LRESULT length = SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0);
    return static_cast<int>(std::clamp<LRESULT>(length, 0, INT32_MAX));
}

} // extern "C"
