// Update rectangles and scrolling (see KvoWindows.h), and what the drawing layer asks of the
// window system (KvoWindowInternal.h): where a client area lies on its top-level window's surface
// and which part of it shows.
//
// An update rectangle is the bounding box of everything invalidated since the window last
// painted, so it never loses an invalidated pixel; validating removes only what leaves a
// rectangle behind.
#include <algorithm>
#include <mutex>

#include "platform/KvoGdi.h"
#include "platform/linux/KvoWindowInternal.h"
#include "platform/linux/KvoWindowState.h"
#include "platform/linux/KvoX11.h"

namespace kvowin {

void invalidateLocked(WindowSystem& state, WindowRecord& window, const RECT* rect, bool erase)
{
    const RECT client{0, 0, clientWidth(window), clientHeight(window)};
    const RECT area = rect != nullptr ? intersection(*rect, client) : intersection(client, client);
    if (isEmpty(area)) {
        return;
    }
    window.update = boundingBox(window.update, area);
    window.erase = window.erase || erase;
    if (ThreadQueue* queue = windowQueueLocked(state, window)) {
        queue->wake.notify_all();
        kvoX11Wake();
    }
    // A parent paints over its children unless it clips them, so they repaint what lies under.
    if ((window.style & WS_CLIPCHILDREN) != 0) {
        return;
    }
    for (HWND child : window.children) {
        if (WindowRecord* childWindow = findWindowLocked(state, child)) {
            const Placement placement = placementLocked(*childWindow);
            const RECT childArea = offsetRect(area, -placement.clientX, -placement.clientY);
            invalidateLocked(state, *childWindow, &childArea, erase);
        }
    }
}

void invalidateTreeLocked(WindowSystem& state, WindowRecord& window)
{
    invalidateLocked(state, window, nullptr, true);
    for (HWND child : window.children) {
        if (WindowRecord* childWindow = findWindowLocked(state, child)) {
            invalidateTreeLocked(state, *childWindow);
        }
    }
}

void invalidateBeneathLocked(WindowSystem& state, const WindowRecord& window, int x, int y, int width, int height)
{
    if (WindowRecord* parent = findWindowLocked(state, window.parent)) {
        const RECT area{x, y, x + width, y + height};
        invalidateLocked(state, *parent, &area, true);
    }
}

} // namespace kvowin

namespace {

using namespace kvowin;

// Cuts rect out of every piece.
void subtractFromAll(std::vector<RECT>& pieces, const RECT& rect)
{
    if (isEmpty(rect)) {
        return;
    }
    std::vector<RECT> remaining;
    remaining.reserve(pieces.size() + 3);
    for (const RECT& piece : pieces) {
        subtractRect(piece, rect, remaining);
    }
    pieces.swap(remaining);
}

// The window rectangle of a window in the coordinates of a surface whose origin is on the screen
// at surfaceOrigin.
RECT surfaceRectLocked(WindowSystem& state, const WindowRecord& window, const POINT& surfaceOrigin)
{
    const POINT origin = windowScreenOriginLocked(state, window);
    const int left = origin.x - surfaceOrigin.x;
    const int top = origin.y - surfaceOrigin.y;
    return RECT{left, top, left + window.width, top + window.height};
}

// The client rectangle of a window in surface coordinates.
RECT surfaceClientRectLocked(WindowSystem& state, const WindowRecord& window, const POINT& surfaceOrigin)
{
    const POINT origin = clientScreenOriginLocked(state, window);
    const int left = origin.x - surfaceOrigin.x;
    const int top = origin.y - surfaceOrigin.y;
    return RECT{left, top, left + clientWidth(window), top + clientHeight(window)};
}

// The part of the rectangle (client coordinates) that the uncovered strips of a scroll by dx, dy
// span: the whole area when both move or the move is at least as large as the area.
RECT uncoveredArea(const RECT& area, int dx, int dy)
{
    if (isEmpty(area) || (dx == 0 && dy == 0)) {
        return RECT{};
    }
    const long long width = static_cast<long long>(area.right) - area.left;
    const long long height = static_cast<long long>(area.bottom) - area.top;
    if ((dx != 0 && dy != 0) || std::abs(static_cast<long long>(dx)) >= width ||
        std::abs(static_cast<long long>(dy)) >= height) {
        return area;
    }
    if (dx > 0) {
        return RECT{area.left, area.top, area.left + dx, area.bottom};
    }
    if (dx < 0) {
        return RECT{area.right + dx, area.top, area.right, area.bottom};
    }
    if (dy > 0) {
        return RECT{area.left, area.top, area.right, area.top + dy};
    }
    return RECT{area.left, area.bottom + dy, area.right, area.bottom};
}

} // namespace

bool kvoWindowDrawingArea(HWND hwnd, KvoDrawingArea& area)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    const WindowRecord* window = findWindowLocked(state, hwnd);
    if (window == nullptr) {
        return false;
    }
    // The chain from the window up to its top-level window.
    std::vector<const WindowRecord*> chain{window};
    while (const WindowRecord* parent = findWindowLocked(state, chain.back()->parent)) {
        chain.push_back(parent);
    }
    const WindowRecord& top = *chain.back();
    const POINT surfaceOrigin{top.x, top.y};
    const RECT client = surfaceClientRectLocked(state, *window, surfaceOrigin);
    area.topLevel = top.handle;
    area.surfaceWidth = top.width;
    area.surfaceHeight = top.height;
    area.originX = client.left;
    area.originY = client.top;
    area.visible.clear();
    for (const WindowRecord* link : chain) {
        if ((link->style & WS_VISIBLE) == 0) {
            return true;
        }
    }
    RECT bounds = intersection(client, RECT{0, 0, top.width, top.height});
    for (std::size_t i = 1; i < chain.size(); ++i) {
        bounds = intersection(bounds, surfaceClientRectLocked(state, *chain[i], surfaceOrigin));
    }
    if (isEmpty(bounds)) {
        return true;
    }
    std::vector<RECT> pieces{bounds};
    // Siblings above the window and above each ancestor cover it; top-level windows each have
    // their own surface.
    for (std::size_t i = 0; i + 1 < chain.size() && !pieces.empty(); ++i) {
        const WindowRecord* parent = chain[i + 1];
        for (HWND sibling : parent->children) {
            if (sibling == chain[i]->handle) {
                break;
            }
            const WindowRecord* siblingWindow = findWindowLocked(state, sibling);
            if (siblingWindow != nullptr && (siblingWindow->style & WS_VISIBLE) != 0) {
                subtractFromAll(pieces, surfaceRectLocked(state, *siblingWindow, surfaceOrigin));
            }
        }
    }
    if ((window->style & WS_CLIPCHILDREN) != 0) {
        for (HWND child : window->children) {
            const WindowRecord* childWindow = findWindowLocked(state, child);
            if (childWindow != nullptr && (childWindow->style & WS_VISIBLE) != 0) {
                subtractFromAll(pieces, surfaceRectLocked(state, *childWindow, surfaceOrigin));
            }
        }
    }
    area.visible = std::move(pieces);
    return true;
}

bool kvoTakeUpdateRect(HWND hwnd, RECT& rect, bool& erase)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    WindowRecord* window = findWindowLocked(state, hwnd);
    if (window == nullptr) {
        return false;
    }
    rect = window->update;
    erase = window->erase;
    window->update = RECT{};
    window->erase = false;
    return true;
}

HBRUSH kvoClassBackground(HWND hwnd)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    const WindowRecord* window = findWindowLocked(state, hwnd);
    return window != nullptr ? window->windowClass->background : nullptr;
}

extern "C" {

BOOL InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    WindowRecord* window = findWindowLocked(state, hwnd);
    if (window == nullptr) {
        return FALSE;
    }
    invalidateLocked(state, *window, rect, erase != FALSE);
    return TRUE;
}

BOOL ValidateRect(HWND hwnd, const RECT* rect)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    WindowRecord* window = findWindowLocked(state, hwnd);
    if (window == nullptr) {
        return FALSE;
    }
    if (rect == nullptr) {
        window->update = RECT{};
    } else if (!isEmpty(window->update)) {
        // What stays is the bounding box of the parts outside rect.
        std::vector<RECT> parts;
        subtractRect(window->update, *rect, parts);
        RECT remaining{};
        for (const RECT& part : parts) {
            remaining = boundingBox(remaining, part);
        }
        window->update = remaining;
    }
    if (isEmpty(window->update)) {
        window->erase = false;
    }
    return TRUE;
}

BOOL GetUpdateRect(HWND hwnd, RECT* rect, BOOL)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    const WindowRecord* window = findWindowLocked(state, hwnd);
    if (window == nullptr) {
        return FALSE;
    }
    if (rect != nullptr) {
        *rect = window->update;
    }
    return isEmpty(window->update) ? FALSE : TRUE;
}

BOOL UpdateWindow(HWND hwnd)
{
    WindowSystem& state = windowSystem();
    std::vector<HWND> order;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        const WindowRecord* window = findWindowLocked(state, hwnd);
        if (window == nullptr) {
            return FALSE;
        }
        // Parents before children, each child after its earlier siblings' families.
        std::vector<HWND> pending{hwnd};
        while (!pending.empty()) {
            const HWND current = pending.back();
            pending.pop_back();
            order.push_back(current);
            if (const WindowRecord* record = findWindowLocked(state, current)) {
                pending.insert(pending.end(), record->children.rbegin(), record->children.rend());
            }
        }
    }
    for (HWND current : order) {
        bool needsPaint = false;
        {
            std::lock_guard<std::mutex> guard(state.lock);
            const WindowRecord* window = findWindowLocked(state, current);
            needsPaint = window != nullptr && !isEmpty(window->update) && isVisibleLocked(state, *window);
        }
        if (needsPaint) {
            SendMessageW(current, WM_PAINT, 0, 0);
        }
    }
    return TRUE;
}

int ScrollWindowEx(HWND hwnd, int dx, int dy, const RECT* scroll, const RECT* clip, HRGN, RECT* update,
                   UINT flags)
{
    WindowSystem& state = windowSystem();
    RECT area{};
    {
        std::lock_guard<std::mutex> guard(state.lock);
        const WindowRecord* window = findWindowLocked(state, hwnd);
        if (window == nullptr) {
            return 0;
        }
        const RECT client{0, 0, clientWidth(*window), clientHeight(*window)};
        area = scroll != nullptr ? intersection(*scroll, client) : client;
        if (clip != nullptr) {
            area = intersection(area, *clip);
        }
    }
    // Distances beyond any window only uncover the whole area.
    dx = clampCoordinate(dx);
    dy = clampCoordinate(dy);
    if (!isEmpty(area) && (dx != 0 || dy != 0)) {
        kvoGdiScrollPixels(hwnd, dx, dy, area);
    }
    const RECT uncovered = uncoveredArea(area, dx, dy);
    std::vector<std::pair<HWND, Placement>> moved;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        WindowRecord* window = findWindowLocked(state, hwnd);
        if (window == nullptr) {
            return 0;
        }
        // What was waiting to be painted inside the area moved with the pixels.
        const RECT pending = intersection(window->update, area);
        if (!isEmpty(pending)) {
            window->update = boundingBox(window->update, intersection(offsetRect(pending, dx, dy), area));
        }
        if ((flags & SW_SCROLLCHILDREN) != 0) {
            for (HWND child : window->children) {
                WindowRecord* childWindow = findWindowLocked(state, child);
                if (childWindow == nullptr) {
                    continue;
                }
                const RECT childRect{childWindow->x, childWindow->y, childWindow->x + childWindow->width,
                                     childWindow->y + childWindow->height};
                if (scroll != nullptr && isEmpty(intersection(childRect, *scroll))) {
                    continue;
                }
                moved.emplace_back(child, placementLocked(*childWindow));
                childWindow->x = clampCoordinate(static_cast<long long>(childWindow->x) + dx);
                childWindow->y = clampCoordinate(static_cast<long long>(childWindow->y) + dy);
            }
        }
        if ((flags & SW_INVALIDATE) != 0) {
            invalidateLocked(state, *window, &uncovered, (flags & SW_ERASE) != 0);
        }
    }
    for (const auto& [child, before] : moved) {
        Placement after = before;
        {
            std::lock_guard<std::mutex> guard(state.lock);
            const WindowRecord* childWindow = findWindowLocked(state, child);
            if (childWindow == nullptr) {
                continue;
            }
            after = placementLocked(*childWindow);
        }
        reportPlacement(child, before, after);
    }
    if (update != nullptr) {
        *update = uncovered;
    }
    return isEmpty(uncovered) ? NULLREGION : SIMPLEREGION;
}

} // extern "C"
