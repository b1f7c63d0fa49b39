// Virtual size and scrolling of WinBase windows. With virtual size on, _virtualRect holds the
// drawing area in client coordinates: left and top are zero or negative (how far the contents
// are scrolled), right - left and bottom - top the area's size. Scrolling moves the window's
// contents and children and the rectangle together; the scroll bars show the visible part.
//
// Every method that calls back into the script (applyScrollBars, scrollHorizontal, and the
// window system, whose WM_SIZE reaches handleMessage) reads the rectangle again afterwards.
#include <algorithm>
#include <cstdint>

#include "nativeclasses/KvoWindowClasses.h"

namespace {

constexpr UINT SCROLL_FLAGS = SW_SCROLLCHILDREN | SW_INVALIDATE | SW_ERASE;

struct RectFields {
    std::int32_t left;
    std::int32_t top;
    std::int32_t right;
    std::int32_t bottom;
};

RectFields readRect(const KvoBuffer& record)
{
    return RectFields{static_cast<std::int32_t>(record.getDW(0)), static_cast<std::int32_t>(record.getDW(4)),
                      static_cast<std::int32_t>(record.getDW(8)), static_cast<std::int32_t>(record.getDW(12))};
}

void writeRect(KvoBuffer& record, const RectFields& rect)
{
    record.setDW(0, static_cast<std::uint32_t>(rect.left));
    record.setDW(4, static_cast<std::uint32_t>(rect.top));
    record.setDW(8, static_cast<std::uint32_t>(rect.right));
    record.setDW(12, static_cast<std::uint32_t>(rect.bottom));
}

// Script arithmetic wraps at 32 bits.
std::int32_t wrapped(std::int64_t value)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(value)));
}

std::int32_t extent(std::int32_t low, std::int32_t high)
{
    return wrapped(std::int64_t{high} - low);
}

bool virtualSizeOn(const KvoMethodCall& call)
{
    return kv2MemberInteger(call.self(), g_winBaseSlots.useVirtualSize) != 0;
}

SIZE clientSize(HWND hwnd)
{
    RECT client{};
    GetClientRect(hwnd, &client);
    return SIZE{client.right - client.left, client.bottom - client.top};
}

bool invokeOnSelf(KvoMethodCall& call, const KvoChar* method, std::initializer_list<KvoValue> args)
{
    KvoValue ignored;
    return kv2Invoke(call, call.self(), method, args, ignored);
}

bool doneInteger(KvoMethodCall& call, std::int32_t value)
{
    return call.done(KvoValue(value));
}

// scrollHorizontal(dx) / scrollVertical(dy): scrolls by the delta, bounded so that the virtual
// area never leaves the client area's edge: a negative delta at most to where the far edge meets
// the client edge, a positive one at most back to the origin. A delta never changes its sign (an
// area smaller than the client area does not scroll forward). Returns the delta applied.
template <bool vertical>
bool scroll(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::int32_t requested = 0;
    if (!call.needThis() || !call.countBetween(1, 1) || !call.integerArg(1, requested))
        return false;
    HWND hwnd = kv2LiveWindowOf(call.self());
    if (!hwnd || !virtualSizeOn(call))
        return doneInteger(call, 0);
    KvoBuffer* record = kv2VirtualRect(call);
    if (!record)
        return false;
    RectFields rect = readRect(*record);
    const SIZE client = clientSize(hwnd);
    std::int32_t& low = vertical ? rect.top : rect.left;
    std::int32_t& high = vertical ? rect.bottom : rect.right;
    const std::int32_t clientExtent = vertical ? client.cy : client.cx;
    std::int64_t delta = requested;
    if (delta < 0)
        delta = std::max<std::int64_t>(delta, std::min<std::int64_t>(0, std::int64_t{clientExtent} - high));
    else if (delta > 0)
        delta = std::min<std::int64_t>(delta, std::max<std::int64_t>(0, -std::int64_t{low}));
    const auto applied = static_cast<std::int32_t>(delta);
    if (applied != 0)
        ScrollWindowEx(hwnd, vertical ? 0 : applied, vertical ? applied : 0, nullptr, nullptr, nullptr, nullptr,
                       SCROLL_FLAGS);
    low = wrapped(std::int64_t{low} + applied);
    high = wrapped(std::int64_t{high} + applied);
    writeRect(*record, rect);
    if (!invokeOnSelf(call, u"applyScrollBars", {}))
        return false;
    if (HWND live = kv2LiveWindowOf(call.self())) {
        InvalidateRect(live, nullptr, TRUE);
        UpdateWindow(live);
    }
    return doneInteger(call, applied);
}

// Sets one bar's range, page and position: the position is how far the area is scrolled.
void setBar(HWND hwnd, int bar, std::int32_t low, std::int32_t virtualExtent, std::int32_t clientExtent)
{
    SCROLLINFO info{sizeof(SCROLLINFO), SIF_ALL, 0, 0, 0, 0, 0};
    if (!GetScrollInfo(hwnd, bar, &info))
        return;
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    info.nMin = 0;
    info.nMax = virtualExtent;
    info.nPage = clientExtent > 0 ? static_cast<UINT>(clientExtent) : 0;
    info.nPos = 0;
    if (clientExtent < virtualExtent)
        info.nPos = static_cast<int>(std::clamp<std::int64_t>(-std::int64_t{low}, 0,
                                                              std::int64_t{virtualExtent} - clientExtent));
    SetScrollInfo(hwnd, bar, &info, TRUE);
}

} // namespace

bool kv2EnableVirtualSize(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::int32_t flag = 0;
    if (!call.needThis() || !call.countBetween(1, 1) || !call.integerArg(1, flag))
        return false;
    HWND hwnd = kv2LiveWindowOf(call.self());
    if (!hwnd || (flag != 0) == virtualSizeOn(call))
        return doneInteger(call, 0);
    KvoBuffer* record = kv2VirtualRect(call);
    if (!record)
        return false;
    kv2SetMemberInteger(call.self(), g_winBaseSlots.useVirtualSize, flag != 0 ? 1 : 0);
    const SIZE client = clientSize(hwnd);
    writeRect(*record, RectFields{0, 0, client.cx, client.cy});
    return invokeOnSelf(call, u"applyScrollBars", {}) && doneInteger(call, 1);
}

bool kv2SetVirtualSize(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 2))
        return false;
    std::int32_t width = 0;
    std::int32_t height = 0;
    if (call.count() == 1) {
        const KvoBuffer* size = kv2RecordOf(call.arg(1).getObject(), u"_pt", 8);
        if (!size)
            return call.fail(KV2_VIRTUAL_SIZE_EXPECTED);
        width = static_cast<std::int32_t>(size->getDW(0));
        height = static_cast<std::int32_t>(size->getDW(4));
    } else if (!call.integerArg(1, width) || !call.integerArg(2, height)) {
        return false;
    }
    if (!virtualSizeOn(call))
        return doneInteger(call, 0);
    KvoBuffer* record = kv2VirtualRect(call);
    if (!record)
        return false;
    RectFields rect = readRect(*record);
    rect.right = wrapped(std::int64_t{rect.left} + width);
    rect.bottom = wrapped(std::int64_t{rect.top} + height);
    writeRect(*record, rect);
    return invokeOnSelf(call, u"applyScrollBars", {}) && doneInteger(call, 1);
}

bool kv2GetVirtualSize(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    const KvoBuffer* record = kv2VirtualRect(call);
    if (!record)
        return false;
    const RectFields rect = readRect(*record);
    return kv2DoneWithRecord(call, u"SIZE", {extent(rect.left, rect.right), extent(rect.top, rect.bottom)});
}

bool kv2GetVirtualOrigin(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    const KvoBuffer* record = kv2VirtualRect(call);
    if (!record)
        return false;
    const RectFields rect = readRect(*record);
    return kv2DoneWithRecord(call, u"POINT", {rect.left, rect.top});
}

bool kv2ScrollHorizontal(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return scroll<false>(vm, argc, args);
}

bool kv2ScrollVertical(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return scroll<true>(vm, argc, args);
}

bool kv2FitVirtualSizeToContents(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::int32_t margin = 0;
    if (!call.needThis() || !call.countBetween(0, 1) || (call.count() == 1 && !call.integerArg(1, margin)))
        return false;
    margin = std::max(margin, 0);
    HWND hwnd = kv2LiveWindowOf(call.self());
    if (!hwnd || !virtualSizeOn(call) || !GetWindow(hwnd, GW_CHILD))
        return doneInteger(call, 0);
    const KvoBuffer* record = kv2VirtualRect(call);
    if (!record)
        return false;
    // Back to the origin first, so that the children's positions are those of the unscrolled area.
    const RectFields scrolled = readRect(*record);
    if (scrolled.left != 0 &&
        !invokeOnSelf(call, u"scrollHorizontal", {KvoValue(wrapped(-std::int64_t{scrolled.left}))}))
        return false;
    if (scrolled.top != 0 && !invokeOnSelf(call, u"scrollVertical", {KvoValue(wrapped(-std::int64_t{scrolled.top}))}))
        return false;
    hwnd = kv2LiveWindowOf(call.self());
    KvoBuffer* fitted = hwnd ? kv2VirtualRect(call) : nullptr;
    if (!fitted)
        return hwnd ? false : doneInteger(call, 0);
    RectFields rect{0, 0, 0, 0};
    for (HWND child = GetWindow(hwnd, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        RECT area{};
        if (!kv2WindowRectInParent(child, area))
            continue;
        rect.left = std::min(rect.left, area.left);
        rect.top = std::min(rect.top, area.top);
        rect.right = std::max(rect.right, area.right);
        rect.bottom = std::max(rect.bottom, area.bottom);
    }
    rect.right = wrapped(std::int64_t{rect.right} + margin);
    rect.bottom = wrapped(std::int64_t{rect.bottom} + margin);
    writeRect(*fitted, rect);
    const SIZE client = clientSize(hwnd);
    if (rect.right < client.cx &&
        !invokeOnSelf(call, u"scrollHorizontal", {KvoValue(wrapped(std::int64_t{client.cx} - rect.right))}))
        return false;
    if (rect.bottom < client.cy &&
        !invokeOnSelf(call, u"scrollVertical", {KvoValue(wrapped(std::int64_t{client.cy} - rect.bottom))}))
        return false;
    return invokeOnSelf(call, u"applyScrollBars", {}) && doneInteger(call, 1);
}

bool kv2SetScrollBarMode(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::int32_t mode = 0;
    if (!call.needThis() || !call.countBetween(1, 1) || !call.integerArg(1, mode))
        return false;
    HWND hwnd = kv2LiveWindowOf(call.self());
    if (!hwnd)
        return doneInteger(call, 0);
    if (mode != kv2MemberInteger(call.self(), g_winBaseSlots.scrollBarMode)) {
        kv2SetMemberInteger(call.self(), g_winBaseSlots.scrollBarMode, mode);
        switch (mode) {
        case 0:
            ShowScrollBar(hwnd, SB_BOTH, FALSE);
            break;
        case 1:
            ShowScrollBar(hwnd, SB_VERT, TRUE);
            ShowScrollBar(hwnd, SB_HORZ, FALSE);
            break;
        case 2:
            ShowScrollBar(hwnd, SB_HORZ, TRUE);
            ShowScrollBar(hwnd, SB_VERT, FALSE);
            break;
        case 3:
            ShowScrollBar(hwnd, SB_BOTH, TRUE);
            break;
        default:
            if (!virtualSizeOn(call))
                ShowScrollBar(hwnd, SB_BOTH, FALSE);
            break;
        }
    }
    return invokeOnSelf(call, u"applyScrollBars", {}) && doneInteger(call, 1);
}

bool kv2ApplyScrollBars(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    HWND hwnd = kv2LiveWindowOf(call.self());
    if (!hwnd)
        return call.doneNull();
    if (!virtualSizeOn(call)) {
        ShowScrollBar(hwnd, SB_BOTH, FALSE);
        return call.doneNull();
    }
    const KvoBuffer* record = kv2VirtualRect(call);
    if (!record)
        return false;
    if (kv2MemberInteger(call.self(), g_winBaseSlots.scrollBarMode) == 4) {
        const RectFields rect = readRect(*record);
        const SIZE client = clientSize(hwnd);
        const bool horizontal = client.cx < extent(rect.left, rect.right) || rect.left < 0;
        const bool vertical = client.cy < extent(rect.top, rect.bottom) || rect.top < 0;
        if (horizontal == vertical) {
            ShowScrollBar(hwnd, SB_BOTH, horizontal ? TRUE : FALSE);
        } else {
            ShowScrollBar(hwnd, SB_HORZ, horizontal ? TRUE : FALSE);
            ShowScrollBar(hwnd, SB_VERT, vertical ? TRUE : FALSE);
        }
        // A bar that came or went changed the client size, and WM_SIZE ran the script.
        hwnd = kv2LiveWindowOf(call.self());
        record = hwnd && virtualSizeOn(call) ? kv2VirtualRect(call) : nullptr;
        if (!record)
            return hwnd && virtualSizeOn(call) ? false : call.doneNull();
    }
    const RectFields rect = readRect(*record);
    const SIZE client = clientSize(hwnd);
    setBar(hwnd, SB_HORZ, rect.left, extent(rect.left, rect.right), client.cx);
    setBar(hwnd, SB_VERT, rect.top, extent(rect.top, rect.bottom), client.cy);
    return call.doneNull();
}

bool kv2HandleSizeMessage(KvoMethodCall& call, std::int32_t lParam)
{
    const KvoValue* member = call.member(g_winBaseSlots.virtualRect);
    KvoObject* rectObject = member ? member->getObject() : nullptr;
    if (!rectObject)
        return call.fail(KV2_RECT_STRUCTURE_EXPECTED);
    const KvoBuffer* record = kv2RecordOf(rectObject, u"_rect", 16);
    if (!record)
        return call.fail(KV2_BAD_VIRTUAL_RECT);
    const RectFields rect = readRect(*record);
    const auto width = static_cast<std::int32_t>(static_cast<std::uint32_t>(lParam) & 0xFFFF);
    const auto height = static_cast<std::int32_t>(static_cast<std::uint32_t>(lParam) >> 16);
    // The client area grew past the area's far edge: scroll back just enough, or to the origin
    // when the whole area fits.
    if (width > rect.right) {
        const std::int32_t dx = width < extent(rect.left, rect.right) ? wrapped(std::int64_t{width} - rect.right)
                                                                        : wrapped(-std::int64_t{rect.left});
        if (dx != 0)
            return invokeOnSelf(call, u"scrollHorizontal", {KvoValue(dx)});
    }
    if (height > rect.bottom) {
        const std::int32_t dy = height < extent(rect.top, rect.bottom) ? wrapped(std::int64_t{height} - rect.bottom)
                                                                         : wrapped(-std::int64_t{rect.top});
        if (dy != 0)
            return invokeOnSelf(call, u"scrollVertical", {KvoValue(dy)});
    }
    return invokeOnSelf(call, u"applyScrollBars", {});
}

bool kv2HandleScrollMessage(KvoMethodCall& call, HWND hwnd, bool vertical, std::int32_t wParam)
{
    const std::int32_t step = kv2MemberInteger(call.self(), vertical ? g_winBaseSlots.sy : g_winBaseSlots.sx);
    const SIZE client = clientSize(hwnd);
    const std::int32_t page = vertical ? client.cy : client.cx;
    std::int64_t delta = 0;
    switch (static_cast<std::uint32_t>(wParam) & 0xFFFF) {
    case SB_LINEUP:
        delta = step;
        break;
    case SB_LINEDOWN:
        delta = -std::int64_t{step};
        break;
    case SB_PAGEUP:
        delta = page;
        break;
    case SB_PAGEDOWN:
        delta = -std::int64_t{page};
        break;
    case SB_THUMBTRACK:
        if (kv2MemberInteger(call.self(), g_winBaseSlots.lifeScroll) == 0)
            return true;
        [[fallthrough]];
    case SB_THUMBPOSITION: {
        SCROLLINFO info{sizeof(SCROLLINFO), SIF_POS | SIF_TRACKPOS, 0, 0, 0, 0, 0};
        if (!GetScrollInfo(hwnd, vertical ? SB_VERT : SB_HORZ, &info))
            return true;
        delta = std::int64_t{info.nPos} - info.nTrackPos;
        // While the thumb is dragged, a move of less than one step waits for more.
        if ((static_cast<std::uint32_t>(wParam) & 0xFFFF) == SB_THUMBTRACK &&
            (delta < 0 ? -delta : delta) < (step < 0 ? -std::int64_t{step} : std::int64_t{step}))
            return true;
        break;
    }
    default:
        return true;
    }
    return invokeOnSelf(call, vertical ? u"scrollVertical" : u"scrollHorizontal", {KvoValue(wrapped(delta))});
}
