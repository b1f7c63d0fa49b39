// Window geometry, z-order, visibility and scroll bars (see KvoWindows.h). A window keeps its
// rectangle relative to its parent's client area; screen positions are summed up the parent chain
// on demand, so moving a window moves its descendants with it. The non-client area (frame, caption,
// shown scroll bars) follows from the style alone, so a style change made with SetWindowLongPtrW
// changes the client area at once.
//
// Changes are made under the lock and told afterwards: WM_SHOWWINDOW before a change of
// visibility, WM_MOVE and WM_SIZE after a change of the client area's position or size.
#include <algorithm>
#include <mutex>

#include "platform/KvoKernel.h"
#include "platform/linux/KvoWindowInternal.h"
#include "platform/linux/KvoWindowState.h"

namespace kvowin {

bool isEmpty(const RECT& rect)
{
    return rect.right <= rect.left || rect.bottom <= rect.top;
}

RECT intersection(const RECT& a, const RECT& b)
{
    const RECT result{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
                      std::min(a.bottom, b.bottom)};
    return isEmpty(result) ? RECT{} : result;
}

RECT boundingBox(const RECT& a, const RECT& b)
{
    if (isEmpty(a)) {
        return isEmpty(b) ? RECT{} : b;
    }
    if (isEmpty(b)) {
        return a;
    }
    return RECT{std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
                std::max(a.bottom, b.bottom)};
}

RECT offsetRect(const RECT& rect, int dx, int dy)
{
    return RECT{rect.left + dx, rect.top + dy, rect.right + dx, rect.bottom + dy};
}

void subtractRect(const RECT& piece, const RECT& cut, std::vector<RECT>& out)
{
    const RECT common = intersection(piece, cut);
    if (isEmpty(common)) {
        out.push_back(piece);
        return;
    }
    // Bands above and below the cut span the piece's width; the side parts fill the cut's rows.
    const RECT parts[] = {{piece.left, piece.top, piece.right, common.top},
                          {piece.left, common.bottom, piece.right, piece.bottom},
                          {piece.left, common.top, common.left, common.bottom},
                          {common.right, common.top, piece.right, common.bottom}};
    for (const RECT& part : parts) {
        if (!isEmpty(part)) {
            out.push_back(part);
        }
    }
}

RECT nonClientLocked(const WindowRecord& window)
{
    int frame = 0;
    if ((window.style & (WS_DLGFRAME | WS_THICKFRAME)) != 0) {
        frame = FRAME_WIDTH;
    } else if ((window.style & WS_BORDER) != 0) {
        frame = BORDER_WIDTH;
    }
    RECT insets{frame, frame, frame, frame};
    if ((window.style & WS_CAPTION) == WS_CAPTION) {
        insets.top += CAPTION_HEIGHT;
    }
    if ((window.style & WS_VSCROLL) != 0) {
        insets.right += SCROLLBAR_SIZE;
    }
    if ((window.style & WS_HSCROLL) != 0) {
        insets.bottom += SCROLLBAR_SIZE;
    }
    return insets;
}

int clientWidth(const WindowRecord& window)
{
    const RECT insets = nonClientLocked(window);
    return std::max(0, window.width - insets.left - insets.right);
}

int clientHeight(const WindowRecord& window)
{
    const RECT insets = nonClientLocked(window);
    return std::max(0, window.height - insets.top - insets.bottom);
}

POINT windowScreenOriginLocked(WindowSystem& state, const WindowRecord& window)
{
    POINT origin{window.x, window.y};
    if (const WindowRecord* parent = findWindowLocked(state, window.parent)) {
        const POINT parentOrigin = clientScreenOriginLocked(state, *parent);
        origin.x += parentOrigin.x;
        origin.y += parentOrigin.y;
    }
    return origin;
}

POINT clientScreenOriginLocked(WindowSystem& state, const WindowRecord& window)
{
    const POINT origin = windowScreenOriginLocked(state, window);
    const RECT insets = nonClientLocked(window);
    return POINT{origin.x + insets.left, origin.y + insets.top};
}

bool isVisibleLocked(WindowSystem& state, const WindowRecord& window)
{
    for (const WindowRecord* current = &window; current != nullptr;
         current = findWindowLocked(state, current->parent)) {
        if ((current->style & WS_VISIBLE) == 0) {
            return false;
        }
    }
    return true;
}

Placement placementLocked(const WindowRecord& window)
{
    const RECT insets = nonClientLocked(window);
    Placement placement;
    placement.clientX = window.x + insets.left;
    placement.clientY = window.y + insets.top;
    placement.clientWidth = clientWidth(window);
    placement.clientHeight = clientHeight(window);
    placement.state = window.showState;
    return placement;
}

void reportPlacement(HWND hwnd, const Placement& before, const Placement& after)
{
    if (before.clientX != after.clientX || before.clientY != after.clientY) {
        SendMessageW(hwnd, WM_MOVE, 0, makeLParam(after.clientX, after.clientY));
    }
    if (before.clientWidth != after.clientWidth || before.clientHeight != after.clientHeight ||
        before.state != after.state) {
        const WPARAM kind = after.state == ShowState::Maximized   ? SIZE_MAXIMIZED
                            : after.state == ShowState::Minimized ? SIZE_MINIMIZED
                                                                  : SIZE_RESTORED;
        // A minimized window has no client area to speak of on this device.
        const LPARAM size =
            after.state == ShowState::Minimized ? 0 : makeLParam(after.clientWidth, after.clientHeight);
        SendMessageW(hwnd, WM_SIZE, kind, size);
    }
}

} // namespace kvowin

namespace {

using namespace kvowin;

// The deepest nesting below the window: 0 for a window without children.
int subtreeHeightLocked(WindowSystem& state, const WindowRecord& window)
{
    int height = 0;
    for (HWND child : window.children) {
        if (const WindowRecord* childWindow = findWindowLocked(state, child)) {
            height = std::max(height, 1 + subtreeHeightLocked(state, *childWindow));
        }
    }
    return height;
}

void setDepthLocked(WindowSystem& state, WindowRecord& window, int depth)
{
    window.depth = depth;
    for (HWND child : window.children) {
        if (WindowRecord* childWindow = findWindowLocked(state, child)) {
            setDepthLocked(state, *childWindow, depth + 1);
        }
    }
}

// The area a maximized window fills: its parent's client area, or the screen.
RECT maximizedAreaLocked(WindowSystem& state, const WindowRecord& window)
{
    if (const WindowRecord* parent = findWindowLocked(state, window.parent)) {
        return RECT{0, 0, clientWidth(*parent), clientHeight(*parent)};
    }
    return RECT{0, 0, SCREEN_WIDTH, SCREEN_HEIGHT};
}

// Moves and sizes the window record; the rectangle before goes to the restore rectangle when the
// window is in its normal state, so that a later restore finds it.
void placeLocked(WindowRecord& window, int x, int y, int width, int height)
{
    window.x = clampCoordinate(x);
    window.y = clampCoordinate(y);
    window.width = clampSize(width);
    window.height = clampSize(height);
}

void saveRestoreRectLocked(WindowRecord& window)
{
    if (window.showState == ShowState::Normal) {
        window.restoreX = window.x;
        window.restoreY = window.y;
        window.restoreWidth = window.width;
        window.restoreHeight = window.height;
    }
}

// Moves the window within its siblings: to the top (after null), to the bottom (after
// HWND_BOTTOM), or just below the sibling after. False when after is neither.
bool reorderLocked(WindowSystem& state, WindowRecord& window, HWND after)
{
    std::vector<HWND>& siblings = siblingsLocked(state, window);
    const auto self = std::find(siblings.begin(), siblings.end(), window.handle);
    if (self == siblings.end()) {
        return false;
    }
    if (after != HWND_TOP && after != HWND_BOTTOM &&
        std::find(siblings.begin(), siblings.end(), after) == siblings.end()) {
        return false;
    }
    if (after == window.handle) {
        return true;
    }
    siblings.erase(self);
    if (after == HWND_TOP) {
        siblings.insert(siblings.begin(), window.handle);
    } else if (after == HWND_BOTTOM) {
        siblings.push_back(window.handle);
    } else {
        siblings.insert(std::find(siblings.begin(), siblings.end(), after) + 1, window.handle);
    }
    return true;
}

void raiseTopLevelLocked(WindowSystem& state, WindowRecord& window)
{
    if (window.parent == nullptr) {
        reorderLocked(state, window, HWND_TOP);
    }
}

// What a ShowWindow command does on this device.
enum class ShowAction { Invalid, Hide, Show, Restore, Minimize, Maximize };

ShowAction showAction(int command)
{
    switch (command) {
    case SW_HIDE:
        return ShowAction::Hide;
    case SW_SHOWNORMAL:
    case SW_SHOWNOACTIVATE:
    case SW_RESTORE:
    case 10: // SW_SHOWDEFAULT
    case SW_RESTORE_DEVICE:
        return ShowAction::Restore;
    case SW_SHOW:
    case SW_SHOWNA:
        return ShowAction::Show;
    case SW_SHOWMINIMIZED:
    case SW_MINIMIZE:
    case SW_SHOWMINNOACTIVE:
        return ShowAction::Minimize;
    case SW_SHOWMAXIMIZED:
    case SW_SHOWMAXIMIZED_DEVICE:
    case SW_MAXIMIZE:
        return ShowAction::Maximize;
    default:
        return ShowAction::Invalid;
    }
}

// Changes the visibility flag, invalidating what the change exposes or hides.
void setVisibleLocked(WindowSystem& state, WindowRecord& window, bool visible)
{
    const bool wasVisible = (window.style & WS_VISIBLE) != 0;
    if (visible == wasVisible) {
        return;
    }
    if (visible) {
        window.style |= WS_VISIBLE;
        raiseTopLevelLocked(state, window);
        invalidateTreeLocked(state, window);
    } else {
        window.style &= ~WS_VISIBLE;
        invalidateBeneathLocked(state, window, window.x, window.y, window.width, window.height);
    }
}

// Applies a move, a size and a z-order change under the lock and tells the changes afterwards.
// Invalidates the old and new areas when redraw is set and something moved.
BOOL changeWindowPos(HWND hwnd, HWND after, int x, int y, int width, int height, UINT flags)
{
    WindowSystem& state = windowSystem();
    Placement before;
    Placement after_;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        WindowRecord* window = findWindowLocked(state, hwnd);
        if (window == nullptr) {
            return FALSE;
        }
        before = placementLocked(*window);
        const int oldX = window->x;
        const int oldY = window->y;
        const int oldWidth = window->width;
        const int oldHeight = window->height;
        if ((flags & SWP_NOZORDER) == 0) {
            // The desktop's topmost markers (-1, -2) count as the top here.
            const auto value = reinterpret_cast<std::intptr_t>(after);
            if (!reorderLocked(state, *window, value == -1 || value == -2 ? HWND_TOP : after)) {
                return FALSE;
            }
        }
        placeLocked(*window, (flags & SWP_NOMOVE) != 0 ? oldX : x, (flags & SWP_NOMOVE) != 0 ? oldY : y,
                    (flags & SWP_NOSIZE) != 0 ? oldWidth : width, (flags & SWP_NOSIZE) != 0 ? oldHeight : height);
        const bool moved = window->x != oldX || window->y != oldY || window->width != oldWidth ||
                           window->height != oldHeight;
        const bool restacked = (flags & SWP_NOZORDER) == 0 || (flags & SWP_FRAMECHANGED) != 0;
        if ((flags & SWP_NOREDRAW) == 0 && (window->style & WS_VISIBLE) != 0 && (moved || restacked)) {
            if (moved) {
                invalidateBeneathLocked(state, *window, oldX, oldY, oldWidth, oldHeight);
            }
            invalidateTreeLocked(state, *window);
        }
        if ((flags & SWP_SHOWWINDOW) != 0) {
            setVisibleLocked(state, *window, true);
        } else if ((flags & SWP_HIDEWINDOW) != 0) {
            setVisibleLocked(state, *window, false);
        }
        after_ = placementLocked(*window);
    }
    reportPlacement(hwnd, before, after_);
    return TRUE;
}

// Checks a scroll bar number for the calls that take one bar.
bool isOneBar(int bar)
{
    return bar == SB_HORZ || bar == SB_VERT;
}

// Puts the bar back within its invariant after a change.
void normalizeBar(ScrollBar& bar)
{
    bar.maximum = std::max(bar.maximum, bar.minimum);
    const long long span = static_cast<long long>(bar.maximum) - bar.minimum + 1;
    bar.page = static_cast<UINT>(std::min<long long>(bar.page, span));
    const long long highest = std::max<long long>(bar.minimum, bar.maximum - std::max<long long>(bar.page - 1LL, 0));
    bar.position = static_cast<int>(std::clamp<long long>(bar.position, bar.minimum, highest));
}

// Moves point from hwnd's client coordinates to the screen (direction 1) or back (-1).
BOOL shiftByClientOrigin(HWND hwnd, POINT* point, int direction)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    const WindowRecord* window = findWindowLocked(state, hwnd);
    if (window == nullptr || point == nullptr) {
        return FALSE;
    }
    const POINT origin = clientScreenOriginLocked(state, *window);
    point->x += direction * origin.x;
    point->y += direction * origin.y;
    return TRUE;
}

} // namespace

extern "C" {

BOOL GetWindowRect(HWND hwnd, RECT* rect)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    const WindowRecord* window = findWindowLocked(state, hwnd);
    if (window == nullptr || rect == nullptr) {
        return FALSE;
    }
    const POINT origin = windowScreenOriginLocked(state, *window);
    *rect = RECT{origin.x, origin.y, origin.x + window->width, origin.y + window->height};
    return TRUE;
}

BOOL GetClientRect(HWND hwnd, RECT* rect)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    const WindowRecord* window = findWindowLocked(state, hwnd);
    if (window == nullptr || rect == nullptr) {
        return FALSE;
    }
    *rect = RECT{0, 0, clientWidth(*window), clientHeight(*window)};
    return TRUE;
}

BOOL ClientToScreen(HWND hwnd, POINT* point)
{
    return shiftByClientOrigin(hwnd, point, 1);
}

BOOL ScreenToClient(HWND hwnd, POINT* point)
{
    return shiftByClientOrigin(hwnd, point, -1);
}

int MapWindowPoints(HWND from, HWND to, POINT* points, UINT count)
{
    // A caller's count beyond this is taken for garbage rather than for an array.
    constexpr UINT MAX_MAPPED_POINTS = 1u << 20;
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    POINT fromOrigin{0, 0};
    POINT toOrigin{0, 0};
    if (from != nullptr) {
        const WindowRecord* window = findWindowLocked(state, from);
        if (window == nullptr) {
            return 0;
        }
        fromOrigin = clientScreenOriginLocked(state, *window);
    }
    if (to != nullptr) {
        const WindowRecord* window = findWindowLocked(state, to);
        if (window == nullptr) {
            return 0;
        }
        toOrigin = clientScreenOriginLocked(state, *window);
    }
    if (count > MAX_MAPPED_POINTS || (points == nullptr && count != 0)) {
        return 0;
    }
    const int dx = fromOrigin.x - toOrigin.x;
    const int dy = fromOrigin.y - toOrigin.y;
    for (UINT i = 0; i < count; ++i) {
        points[i].x += dx;
        points[i].y += dy;
    }
    return static_cast<int>(makeLParam(dx, dy));
}

BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint)
{
    return changeWindowPos(hwnd, HWND_TOP, x, y, width, height, SWP_NOZORDER | (repaint ? 0 : SWP_NOREDRAW));
}

BOOL SetWindowPos(HWND hwnd, HWND after, int x, int y, int width, int height, UINT flags)
{
    return changeWindowPos(hwnd, after, x, y, width, height, flags);
}

BOOL ShowWindow(HWND hwnd, int command)
{
    const ShowAction action = showAction(command);
    WindowSystem& state = windowSystem();
    bool wasVisible = false;
    bool visible = false;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        const WindowRecord* window = findWindowLocked(state, hwnd);
        if (window == nullptr || action == ShowAction::Invalid) {
            return FALSE;
        }
        wasVisible = (window->style & WS_VISIBLE) != 0;
        visible = action != ShowAction::Hide && action != ShowAction::Minimize;
    }
    // WM_SHOWWINDOW comes before the change, so the procedure still sees the old state.
    if (visible != wasVisible) {
        SendMessageW(hwnd, WM_SHOWWINDOW, visible ? TRUE : FALSE, 0);
    }
    Placement before;
    Placement after;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        WindowRecord* window = findWindowLocked(state, hwnd);
        if (window == nullptr) {
            return wasVisible ? TRUE : FALSE;
        }
        before = placementLocked(*window);
        const int oldX = window->x;
        const int oldY = window->y;
        const int oldWidth = window->width;
        const int oldHeight = window->height;
        ShowAction effective = action;
        // A minimized window has no visible form here, so showing it restores it.
        if (action == ShowAction::Show && window->showState == ShowState::Minimized) {
            effective = ShowAction::Restore;
        }
        switch (effective) {
        case ShowAction::Restore:
            if (window->showState != ShowState::Normal) {
                placeLocked(*window, window->restoreX, window->restoreY, window->restoreWidth, window->restoreHeight);
                window->showState = ShowState::Normal;
            }
            break;
        case ShowAction::Minimize:
            saveRestoreRectLocked(*window);
            window->showState = ShowState::Minimized;
            break;
        case ShowAction::Maximize: {
            saveRestoreRectLocked(*window);
            const RECT area = maximizedAreaLocked(state, *window);
            placeLocked(*window, area.left, area.top, area.right - area.left, area.bottom - area.top);
            window->showState = ShowState::Maximized;
            break;
        }
        default:
            break;
        }
        window->style &= ~(WS_MINIMIZE | WS_MAXIMIZE);
        window->style |= window->showState == ShowState::Minimized   ? WS_MINIMIZE
                         : window->showState == ShowState::Maximized ? WS_MAXIMIZE
                                                                     : 0;
        const bool moved = window->x != oldX || window->y != oldY || window->width != oldWidth ||
                           window->height != oldHeight;
        if (moved && (window->style & WS_VISIBLE) != 0) {
            invalidateBeneathLocked(state, *window, oldX, oldY, oldWidth, oldHeight);
            invalidateTreeLocked(state, *window);
        }
        const bool shown = effective != ShowAction::Hide && effective != ShowAction::Minimize;
        setVisibleLocked(state, *window, shown);
        if (shown) {
            raiseTopLevelLocked(state, *window);
        }
        after = placementLocked(*window);
    }
    reportPlacement(hwnd, before, after);
    return wasVisible ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND hwnd)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    const WindowRecord* window = findWindowLocked(state, hwnd);
    return window != nullptr && isVisibleLocked(state, *window) ? TRUE : FALSE;
}

BOOL IsIconic(HWND hwnd)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    const WindowRecord* window = findWindowLocked(state, hwnd);
    return window != nullptr && window->showState == ShowState::Minimized ? TRUE : FALSE;
}

BOOL IsZoomed(HWND hwnd)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    const WindowRecord* window = findWindowLocked(state, hwnd);
    return window != nullptr && window->showState == ShowState::Maximized ? TRUE : FALSE;
}

HWND SetParent(HWND hwnd, HWND parent)
{
    WindowSystem& state = windowSystem();
    HWND previous = nullptr;
    bool leftTopLevel = false;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        WindowRecord* window = findWindowLocked(state, hwnd);
        if (window == nullptr || window->destroying) {
            return nullptr;
        }
        WindowRecord* newParent = nullptr;
        if (parent != nullptr) {
            newParent = findWindowLocked(state, parent);
            if (newParent == nullptr || newParent->destroying) {
                return nullptr;
            }
            // The new parent must not be the window or one of its descendants.
            for (const WindowRecord* ancestor = newParent; ancestor != nullptr;
                 ancestor = findWindowLocked(state, ancestor->parent)) {
                if (ancestor == window) {
                    return nullptr;
                }
            }
            if (newParent->depth + 1 + subtreeHeightLocked(state, *window) > MAX_WINDOW_NESTING) {
                return nullptr;
            }
        }
        previous = window->parent;
        if ((window->style & WS_VISIBLE) != 0) {
            invalidateBeneathLocked(state, *window, window->x, window->y, window->width, window->height);
        }
        std::vector<HWND>& oldSiblings = siblingsLocked(state, *window);
        oldSiblings.erase(std::remove(oldSiblings.begin(), oldSiblings.end(), hwnd), oldSiblings.end());
        leftTopLevel = previous == nullptr && newParent != nullptr;
        window->parent = parent;
        if (newParent != nullptr) {
            newParent->children.push_back(hwnd);
            setDepthLocked(state, *window, newParent->depth + 1);
        } else {
            state.topLevel.push_back(hwnd);
            setDepthLocked(state, *window, 0);
        }
        if ((window->style & WS_VISIBLE) != 0) {
            invalidateTreeLocked(state, *window);
        }
    }
    if (leftTopLevel) {
        kvoGdiReleaseSurface(hwnd);
    }
    return previous;
}

HWND GetWindow(HWND hwnd, UINT command)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    const WindowRecord* window = findWindowLocked(state, hwnd);
    if (window == nullptr) {
        return nullptr;
    }
    if (command == GW_CHILD) {
        return window->children.empty() ? nullptr : window->children.front();
    }
    const std::vector<HWND>& siblings = siblingsLocked(state, *window);
    const auto self = std::find(siblings.begin(), siblings.end(), hwnd);
    if (self == siblings.end()) {
        return nullptr;
    }
    switch (command) {
    case GW_HWNDFIRST:
        return siblings.front();
    case GW_HWNDLAST:
        return siblings.back();
    case GW_HWNDNEXT:
        return self + 1 == siblings.end() ? nullptr : *(self + 1);
    case GW_HWNDPREV:
        return self == siblings.begin() ? nullptr : *(self - 1);
    default:
        return nullptr; // GW_OWNER: there are no owned windows here
    }
}

HWND ChildWindowFromPoint(HWND parent, POINT point)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    const WindowRecord* window = findWindowLocked(state, parent);
    if (window == nullptr || point.x < 0 || point.y < 0 || point.x >= clientWidth(*window) ||
        point.y >= clientHeight(*window)) {
        return nullptr;
    }
    // As on the desktop, hidden and disabled children count too.
    for (HWND child : window->children) {
        const WindowRecord* childWindow = findWindowLocked(state, child);
        if (childWindow != nullptr && point.x >= childWindow->x && point.y >= childWindow->y &&
            point.x < childWindow->x + childWindow->width && point.y < childWindow->y + childWindow->height) {
            return child;
        }
    }
    return parent;
}

BOOL EnableWindow(HWND hwnd, BOOL enable)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    WindowRecord* window = findWindowLocked(state, hwnd);
    if (window == nullptr) {
        return FALSE;
    }
    const bool wasDisabled = (window->style & WS_DISABLED) != 0;
    if (enable) {
        window->style &= ~WS_DISABLED;
    } else {
        window->style |= WS_DISABLED;
    }
    return wasDisabled ? TRUE : FALSE;
}

BOOL IsWindowEnabled(HWND hwnd)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    const WindowRecord* window = findWindowLocked(state, hwnd);
    return window != nullptr && (window->style & WS_DISABLED) == 0 ? TRUE : FALSE;
}

int GetSystemMetrics(int index)
{
    switch (index) {
    case SM_CXSCREEN:
        return SCREEN_WIDTH;
    case SM_CYSCREEN:
        return SCREEN_HEIGHT;
    case SM_CXVSCROLL:
    case SM_CYHSCROLL:
        return SCROLLBAR_SIZE;
    case SM_CYCAPTION:
        return CAPTION_HEIGHT;
    case SM_CXBORDER:
    case SM_CYBORDER:
        return BORDER_WIDTH;
    case SM_CXDLGFRAME:
    case SM_CYDLGFRAME:
        return FRAME_WIDTH;
    default:
        return 0;
    }
}

int SetScrollInfo(HWND hwnd, int bar, const SCROLLINFO* info, BOOL)
{
    if (info == nullptr || info->cbSize != sizeof(SCROLLINFO) || !isOneBar(bar)) {
        return 0;
    }
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    WindowRecord* window = findWindowLocked(state, hwnd);
    if (window == nullptr) {
        return 0;
    }
    ScrollBar& scrollBar = window->bars[bar];
    if ((info->fMask & SIF_RANGE) != 0) {
        scrollBar.minimum = info->nMin;
        scrollBar.maximum = info->nMax;
    }
    if ((info->fMask & SIF_PAGE) != 0) {
        scrollBar.page = info->nPage;
    }
    if ((info->fMask & SIF_POS) != 0) {
        scrollBar.position = info->nPos;
    }
    normalizeBar(scrollBar);
    return scrollBar.position;
}

BOOL GetScrollInfo(HWND hwnd, int bar, SCROLLINFO* info)
{
    if (info == nullptr || info->cbSize != sizeof(SCROLLINFO) || !isOneBar(bar)) {
        return FALSE;
    }
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    const WindowRecord* window = findWindowLocked(state, hwnd);
    if (window == nullptr) {
        return FALSE;
    }
    const ScrollBar& scrollBar = window->bars[bar];
    if ((info->fMask & SIF_RANGE) != 0) {
        info->nMin = scrollBar.minimum;
        info->nMax = scrollBar.maximum;
    }
    if ((info->fMask & SIF_PAGE) != 0) {
        info->nPage = scrollBar.page;
    }
    if ((info->fMask & SIF_POS) != 0) {
        info->nPos = scrollBar.position;
    }
    // Only a thumb dragged on the display has a track position of its own.
    if ((info->fMask & SIF_TRACKPOS) != 0) {
        info->nTrackPos = scrollBar.tracking ? scrollBar.trackPosition : scrollBar.position;
    }
    return TRUE;
}

int SetScrollPos(HWND hwnd, int bar, int position, BOOL)
{
    if (!isOneBar(bar)) {
        return 0;
    }
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    WindowRecord* window = findWindowLocked(state, hwnd);
    if (window == nullptr) {
        return 0;
    }
    ScrollBar& scrollBar = window->bars[bar];
    const int previous = scrollBar.position;
    scrollBar.position = position;
    normalizeBar(scrollBar);
    return previous;
}

int GetScrollPos(HWND hwnd, int bar)
{
    if (!isOneBar(bar)) {
        return 0;
    }
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    const WindowRecord* window = findWindowLocked(state, hwnd);
    return window != nullptr ? window->bars[bar].position : 0;
}

BOOL SetScrollRange(HWND hwnd, int bar, int minimum, int maximum, BOOL)
{
    if (!isOneBar(bar)) {
        return FALSE;
    }
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    WindowRecord* window = findWindowLocked(state, hwnd);
    if (window == nullptr) {
        return FALSE;
    }
    ScrollBar& scrollBar = window->bars[bar];
    scrollBar.minimum = minimum;
    scrollBar.maximum = maximum;
    normalizeBar(scrollBar);
    return TRUE;
}

BOOL ShowScrollBar(HWND hwnd, int bar, BOOL show)
{
    DWORD bits = 0;
    switch (bar) {
    case SB_HORZ:
        bits = WS_HSCROLL;
        break;
    case SB_VERT:
        bits = WS_VSCROLL;
        break;
    case SB_BOTH:
        bits = WS_HSCROLL | WS_VSCROLL;
        break;
    default:
        return FALSE;
    }
    WindowSystem& state = windowSystem();
    Placement before;
    Placement after;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        WindowRecord* window = findWindowLocked(state, hwnd);
        if (window == nullptr) {
            return FALSE;
        }
        before = placementLocked(*window);
        if (show) {
            window->style |= bits;
        } else {
            window->style &= ~bits;
        }
        after = placementLocked(*window);
        if (after.clientWidth != before.clientWidth || after.clientHeight != before.clientHeight) {
            invalidateTreeLocked(state, *window);
        }
    }
    reportPlacement(hwnd, before, after);
    return TRUE;
}

} // extern "C"
