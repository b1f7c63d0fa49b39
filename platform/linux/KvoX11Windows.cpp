// What the display back end asks of the window system (KvoWindowInternal.h): the top-level
// windows to show, the scroll bars to draw, what lies under the pointer, and the input it posts.
#include <algorithm>
#include <mutex>

#include "platform/KvoClock.h"
#include "platform/linux/KvoWindowInternal.h"
#include "platform/linux/KvoWindowState.h"
#include "platform/linux/KvoX11.h"

namespace {

using namespace kvowin;

// The class style that asks for double-click messages.
constexpr UINT CS_DBLCLKS = 0x0008;
// Most key texts a queue keeps for TranslateMessage; older ones belong to keys never translated.
constexpr std::size_t MAX_KEY_TEXTS = 64;

RECT windowRectOnSurface(WindowSystem& state, const WindowRecord& window, const POINT& surfaceOrigin)
{
    const POINT origin = windowScreenOriginLocked(state, window);
    return RECT{origin.x - surfaceOrigin.x, origin.y - surfaceOrigin.y, origin.x - surfaceOrigin.x + window.width,
                origin.y - surfaceOrigin.y + window.height};
}

RECT clientRectOnSurface(WindowSystem& state, const WindowRecord& window, const POINT& surfaceOrigin)
{
    const POINT origin = clientScreenOriginLocked(state, window);
    return RECT{origin.x - surfaceOrigin.x, origin.y - surfaceOrigin.y,
                origin.x - surfaceOrigin.x + clientWidth(window), origin.y - surfaceOrigin.y + clientHeight(window)};
}

const WindowRecord* topLevelOfLocked(WindowSystem& state, const WindowRecord* window)
{
    while (window != nullptr && window->parent != nullptr) {
        window = findWindowLocked(state, window->parent);
    }
    return window;
}

// The rectangles of a window's scroll bars in surface coordinates (empty when it has none).
void barRectsLocked(const WindowRecord& window, const RECT& windowRect, RECT bars[2])
{
    const RECT insets = nonClientLocked(window);
    const int frame = insets.left;
    const RECT client{windowRect.left + insets.left, windowRect.top + insets.top, windowRect.right - insets.right,
                      windowRect.bottom - insets.bottom};
    bars[SB_HORZ] = RECT{};
    bars[SB_VERT] = RECT{};
    if ((window.style & WS_HSCROLL) != 0) {
        bars[SB_HORZ] = RECT{client.left, client.bottom, client.right, windowRect.bottom - frame};
    }
    if ((window.style & WS_VSCROLL) != 0) {
        bars[SB_VERT] = RECT{client.right, client.top, windowRect.right - frame, client.bottom};
    }
}

// The visible part of a shown window's rectangle on its top-level surface: inside every
// ancestor's client area, outside the siblings above it and above each ancestor.
std::vector<RECT> visibleWindowPartLocked(WindowSystem& state, const WindowRecord& window, const POINT& surfaceOrigin,
                                          const WindowRecord& top)
{
    std::vector<RECT> pieces;
    RECT bounds = intersection(windowRectOnSurface(state, window, surfaceOrigin), RECT{0, 0, top.width, top.height});
    const WindowRecord* link = &window;
    std::vector<const WindowRecord*> chain{&window};
    while (const WindowRecord* parent = findWindowLocked(state, link->parent)) {
        bounds = intersection(bounds, clientRectOnSurface(state, *parent, surfaceOrigin));
        chain.push_back(parent);
        link = parent;
    }
    if (isEmpty(bounds)) {
        return pieces;
    }
    pieces.push_back(bounds);
    for (std::size_t i = 0; i + 1 < chain.size(); ++i) {
        for (HWND sibling : chain[i + 1]->children) {
            if (sibling == chain[i]->handle) {
                break;
            }
            const WindowRecord* above = findWindowLocked(state, sibling);
            if (above == nullptr || (above->style & WS_VISIBLE) == 0) {
                continue;
            }
            const RECT cut = windowRectOnSurface(state, *above, surfaceOrigin);
            std::vector<RECT> remaining;
            for (const RECT& piece : pieces) {
                subtractRect(piece, cut, remaining);
            }
            pieces.swap(remaining);
        }
    }
    return pieces;
}

bool contains(const RECT& rect, const POINT& point)
{
    return point.x >= rect.left && point.x < rect.right && point.y >= rect.top && point.y < rect.bottom;
}

} // namespace

void kvoTopLevelViews(std::vector<KvoTopLevelView>& out)
{
    out.clear();
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    for (HWND hwnd : state.topLevel) {
        const WindowRecord* window = findWindowLocked(state, hwnd);
        if (window == nullptr) {
            continue;
        }
        KvoTopLevelView view;
        view.hwnd = hwnd;
        view.shown = (window->style & WS_VISIBLE) != 0 && window->showState != ShowState::Minimized &&
                     !window->destroying;
        view.x = window->x;
        view.y = window->y;
        view.width = window->width;
        view.height = window->height;
        const RECT insets = nonClientLocked(*window);
        view.frame = RECT{insets.left, insets.top, insets.left, insets.left};
        view.text = window->text;
        out.push_back(std::move(view));
    }
}

void kvoScrollBarViews(HWND topLevel, std::vector<KvoScrollBarView>& out)
{
    out.clear();
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    const WindowRecord* top = findWindowLocked(state, topLevel);
    if (top == nullptr || (top->style & WS_VISIBLE) == 0) {
        return;
    }
    const POINT surfaceOrigin{top->x, top->y};
    // Parents before children, lower siblings before higher ones: later bars lie on top.
    std::vector<const WindowRecord*> pending{top};
    while (!pending.empty()) {
        const WindowRecord* window = pending.back();
        pending.pop_back();
        if ((window->style & WS_VISIBLE) == 0) {
            continue;
        }
        if ((window->style & (WS_HSCROLL | WS_VSCROLL)) != 0) {
            RECT bars[2];
            barRectsLocked(*window, windowRectOnSurface(state, *window, surfaceOrigin), bars);
            const std::vector<RECT> clip = visibleWindowPartLocked(state, *window, surfaceOrigin, *top);
            for (int bar : {SB_HORZ, SB_VERT}) {
                if (isEmpty(bars[bar]) || clip.empty()) {
                    continue;
                }
                const ScrollBar& info = window->bars[bar];
                KvoScrollBarView view;
                view.hwnd = window->handle;
                view.bar = bar;
                view.rect = bars[bar];
                view.clip = clip;
                view.minimum = info.minimum;
                view.maximum = info.maximum;
                view.page = info.page;
                view.position = info.tracking ? info.trackPosition : info.position;
                out.push_back(std::move(view));
            }
        }
        // Children are listed topmost first; the topmost must come out last.
        for (HWND child : window->children) {
            if (const WindowRecord* childWindow = findWindowLocked(state, child)) {
                pending.push_back(childWindow);
            }
        }
    }
}

bool kvoHitTest(HWND topLevel, POINT point, KvoHit& hit)
{
    hit = KvoHit{};
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    const WindowRecord* window = findWindowLocked(state, topLevel);
    if (window == nullptr || window->parent != nullptr || (window->style & WS_DISABLED) != 0) {
        return false;
    }
    const POINT surfaceOrigin{window->x, window->y};
    if (!contains(windowRectOnSurface(state, *window, surfaceOrigin), point)) {
        return false;
    }
    // Down through the children that take the point: shown, enabled, containing it.
    for (;;) {
        const RECT client = clientRectOnSurface(state, *window, surfaceOrigin);
        if (!contains(client, point)) {
            break;
        }
        const WindowRecord* next = nullptr;
        for (HWND child : window->children) {
            const WindowRecord* childWindow = findWindowLocked(state, child);
            if (childWindow != nullptr && (childWindow->style & WS_VISIBLE) != 0 &&
                (childWindow->style & WS_DISABLED) == 0 &&
                contains(windowRectOnSurface(state, *childWindow, surfaceOrigin), point)) {
                next = childWindow;
                break;
            }
        }
        if (next == nullptr) {
            break;
        }
        window = next;
    }
    const RECT client = clientRectOnSurface(state, *window, surfaceOrigin);
    hit.hwnd = window->handle;
    hit.client = POINT{point.x - client.left, point.y - client.top};
    RECT bars[2];
    barRectsLocked(*window, windowRectOnSurface(state, *window, surfaceOrigin), bars);
    for (int bar : {SB_HORZ, SB_VERT}) {
        if (!isEmpty(bars[bar]) && contains(bars[bar], point)) {
            hit.bar = bar;
            hit.barRect = bars[bar];
        }
    }
    return true;
}

bool kvoWantsDoubleClicks(HWND hwnd)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    const WindowRecord* window = findWindowLocked(state, hwnd);
    return window != nullptr && (window->windowClass->style & CS_DBLCLKS) != 0;
}

bool kvoClientOriginOnSurface(HWND hwnd, HWND& topLevel, POINT& origin)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    const WindowRecord* window = findWindowLocked(state, hwnd);
    const WindowRecord* top = topLevelOfLocked(state, window);
    if (window == nullptr || top == nullptr) {
        return false;
    }
    const RECT client = clientRectOnSurface(state, *window, POINT{top->x, top->y});
    topLevel = top->handle;
    origin = POINT{client.left, client.top};
    return true;
}

void kvoInvalidateSurfaceArea(HWND topLevel, const RECT& surfaceRect)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    WindowRecord* top = findWindowLocked(state, topLevel);
    if (top == nullptr) {
        return;
    }
    const POINT surfaceOrigin{top->x, top->y};
    std::vector<WindowRecord*> pending{top};
    while (!pending.empty()) {
        WindowRecord* window = pending.back();
        pending.pop_back();
        const RECT client = clientRectOnSurface(state, *window, surfaceOrigin);
        const RECT area = offsetRect(intersection(surfaceRect, client), -client.left, -client.top);
        if (!isEmpty(intersection(surfaceRect, client))) {
            window->update = boundingBox(window->update, intersection(area, RECT{0, 0, clientWidth(*window),
                                                                                  clientHeight(*window)}));
            window->erase = true;
        }
        for (HWND child : window->children) {
            if (WindowRecord* childWindow = findWindowLocked(state, child)) {
                pending.push_back(childWindow);
            }
        }
    }
}

void kvoSetScrollTrack(HWND hwnd, int bar, bool tracking, int trackPosition)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    WindowRecord* window = findWindowLocked(state, hwnd);
    if (window == nullptr || (bar != SB_HORZ && bar != SB_VERT)) {
        return;
    }
    window->bars[bar].tracking = tracking;
    window->bars[bar].trackPosition = tracking ? trackPosition : window->bars[bar].position;
}

HWND kvoKeyTarget(HWND topLevel)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    const WindowRecord* top = findWindowLocked(state, topLevel);
    if (top == nullptr) {
        return nullptr;
    }
    const ThreadQueue* queue = windowQueueLocked(state, *top);
    if (queue != nullptr && queue->focus != nullptr) {
        const WindowRecord* focus = findWindowLocked(state, queue->focus);
        if (focus != nullptr && topLevelOfLocked(state, focus) == top) {
            return focus->handle;
        }
    }
    return topLevel;
}

bool kvoPostInput(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, POINT pt, const std::u16string* keyText)
{
    {
        WindowSystem& state = windowSystem();
        std::lock_guard<std::mutex> guard(state.lock);
        const WindowRecord* window = findWindowLocked(state, hwnd);
        ThreadQueue* queue = window != nullptr ? windowQueueLocked(state, *window) : nullptr;
        if (queue == nullptr) {
            return false;
        }
        const MSG msg{hwnd, message, wParam, lParam, GetTickCount(), pt};
        if (message == WM_MOUSEMOVE && !queue->posted.empty() && queue->posted.back().message == WM_MOUSEMOVE &&
            queue->posted.back().hwnd == hwnd) {
            queue->posted.back() = msg;
        } else {
            if (queue->posted.size() >= MAX_POSTED_MESSAGES) {
                return false;
            }
            queue->posted.push_back(msg);
        }
        if (keyText != nullptr) {
            if (queue->keyTexts.size() >= MAX_KEY_TEXTS) {
                queue->keyTexts.pop_front();
            }
            queue->keyTexts.push_back(ThreadQueue::KeyText{wParam, lParam, msg.time, *keyText});
        }
        queue->wake.notify_all();
    }
    kvoX11Wake();
    return true;
}
