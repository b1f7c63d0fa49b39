// The system window classes (see KvoControls.h): their registration, the state table of live
// controls, the STATIC and BUTTON procedures, mouse capture, GetDlgItem and the clipboard. The
// EDIT procedure is in KvoControlsEdit.cpp, the message box window in KvoControlsMessageBox.cpp.
//
// A control's procedure keeps no record pointer across a call out (a notification to the parent,
// SetFocus, SetCapture): the parent may destroy the control while it handles the notification, so
// the procedure changes its state first and notifies last; the state itself is held by a
// shared_ptr for the length of the call.
#include "platform/KvoControls.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/KvoGdi.h"
#include "platform/linux/KvoControlsInternal.h"
#include "platform/linux/KvoWindowInternal.h"
#include "platform/linux/KvoWindowState.h"

LRESULT kvoMessageBoxProcedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
extern const KvoChar KVO_MESSAGE_BOX_CLASS[];

namespace {

// The side of a check box's square and a radio button's circle.
constexpr int MARK_SIZE = 13;
// Space between the mark and the text.
constexpr int MARK_GAP = 4;

struct ControlTable {
    std::mutex lock;
    std::unordered_map<std::uintptr_t, std::shared_ptr<KvoControlState>> controls;
    std::u16string clipboard;
};

ControlTable& controlTable()
{
    static ControlTable* const table = new ControlTable;
    return *table;
}

HBRUSH systemBrush(int index)
{
    return reinterpret_cast<HBRUSH>(static_cast<std::uintptr_t>(index + 1));
}

DWORD styleOf(HWND hwnd)
{
    return static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_STYLE));
}

std::u16string windowText(HWND hwnd)
{
    const int length = GetWindowTextLengthW(hwnd);
    std::u16string text(static_cast<std::size_t>(length) + 1, u'\0');
    const int copied = GetWindowTextW(hwnd, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(copied));
    return text;
}

// Creates the control's state at WM_NCCREATE, drops it at WM_NCDESTROY; the rest as the kind says.
template <KvoControlKind Kind>
bool lifetime(HWND hwnd, UINT msg)
{
    if (msg == WM_NCCREATE) {
        kvoControlCreate(hwnd, Kind);
    } else if (msg == WM_NCDESTROY) {
        kvoControlDestroy(hwnd);
        return true;
    }
    return false;
}

// A context with the controls' font and transparent text, for painting hwnd.
class ControlPaint
{
public:
    explicit ControlPaint(HWND hwnd) : m_hwnd(hwnd)
    {
        m_hdc = BeginPaint(hwnd, &m_paint);
        if (m_hdc != nullptr) {
            SelectObject(m_hdc, GetStockObject(DEFAULT_GUI_FONT));
            SetBkMode(m_hdc, TRANSPARENT);
            GetClientRect(hwnd, &m_client);
        }
    }
    ~ControlPaint()
    {
        if (m_hdc != nullptr) {
            EndPaint(m_hwnd, &m_paint);
        }
    }
    ControlPaint(const ControlPaint&) = delete;
    ControlPaint& operator=(const ControlPaint&) = delete;

    HDC dc() const noexcept { return m_hdc; }
    const RECT& client() const noexcept { return m_client; }

private:
    HWND m_hwnd;
    HDC m_hdc = nullptr;
    PAINTSTRUCT m_paint{};
    RECT m_client{};
};

void drawLine(HDC hdc, int x1, int y1, int x2, int y2)
{
    MoveToEx(hdc, x1, y1, nullptr);
    LineTo(hdc, x2, y2);
}

// A raised (or, pressed, sunken) edge around rect.
void drawEdge(HDC hdc, const RECT& rect, bool sunken)
{
    HPEN light = CreatePen(PS_SOLID, 1, GetSysColor(sunken ? COLOR_BTNSHADOW : COLOR_BTNHIGHLIGHT));
    HPEN dark = CreatePen(PS_SOLID, 1, GetSysColor(sunken ? COLOR_BTNHIGHLIGHT : COLOR_BTNSHADOW));
    HGDIOBJ old = SelectObject(hdc, light);
    drawLine(hdc, rect.left, rect.bottom - 1, rect.left, rect.top);
    LineTo(hdc, rect.right - 1, rect.top);
    SelectObject(hdc, dark);
    drawLine(hdc, rect.right - 1, rect.top, rect.right - 1, rect.bottom - 1);
    LineTo(hdc, rect.left - 1, rect.bottom - 1);
    SelectObject(hdc, old);
    DeleteObject(light);
    DeleteObject(dark);
}

// A one-pixel frame in a system colour.
void drawFrame(HDC hdc, const RECT& rect, int colorIndex)
{
    HPEN pen = CreatePen(PS_SOLID, 1, GetSysColor(colorIndex));
    HGDIOBJ oldPen = SelectObject(hdc, pen);
    HGDIOBJ oldBrush = SelectObject(hdc, GetStockObject(NULL_BRUSH));
    Rectangle(hdc, rect.left, rect.top, rect.right, rect.bottom);
    SelectObject(hdc, oldBrush);
    SelectObject(hdc, oldPen);
    DeleteObject(pen);
}

// ---- STATIC -------------------------------------------------------------------------------------

void paintStatic(HWND hwnd)
{
    ControlPaint paint(hwnd);
    if (paint.dc() == nullptr) {
        return;
    }
    RECT client = paint.client();
    FillRect(paint.dc(), &client, systemBrush(COLOR_BTNFACE));
    const DWORD style = styleOf(hwnd);
    const DWORD align = style & SS_TYPEMASK;
    const UINT format = DT_WORDBREAK | (align == SS_CENTER ? DT_CENTER : align == SS_RIGHT ? DT_RIGHT : DT_LEFT);
    SetTextColor(paint.dc(), GetSysColor(IsWindowEnabled(hwnd) ? COLOR_BTNTEXT : COLOR_GRAYTEXT));
    const std::u16string text = windowText(hwnd);
    DrawTextW(paint.dc(), text.c_str(), static_cast<int>(text.size()), &client, format);
}

LRESULT staticProcedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (lifetime<KvoControlKind::STATIC>(hwnd, msg)) {
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    switch (msg) {
    case WM_SETTEXT: {
        const LRESULT done = DefWindowProcW(hwnd, msg, wParam, lParam);
        InvalidateRect(hwnd, nullptr, TRUE);
        return done;
    }
    case WM_PAINT:
        paintStatic(hwnd);
        return 0;
    case WM_ERASEBKGND:
        return 1; // painting fills the whole client area
    default:
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

// ---- BUTTON -------------------------------------------------------------------------------------

DWORD buttonType(HWND hwnd)
{
    return styleOf(hwnd) & BS_TYPEMASK;
}

bool isCheckBox(DWORD type)
{
    return type == BS_CHECKBOX || type == BS_AUTOCHECKBOX;
}

bool isRadio(DWORD type)
{
    return type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON;
}

// The siblings of hwnd in its group, itself included: the run of siblings from the last one at
// or before it that has WS_GROUP (or the first) up to the next one with WS_GROUP.
std::vector<HWND> groupOf(HWND hwnd)
{
    std::vector<HWND> siblings;
    for (HWND sibling = GetWindow(hwnd, GW_HWNDFIRST); sibling != nullptr; sibling = GetWindow(sibling, GW_HWNDNEXT)) {
        siblings.push_back(sibling);
    }
    const auto self = std::find(siblings.begin(), siblings.end(), hwnd);
    if (self == siblings.end()) {
        return {hwnd};
    }
    auto first = self;
    while (first != siblings.begin() && (styleOf(*first) & WS_GROUP) == 0) {
        --first;
    }
    auto last = self + 1;
    while (last != siblings.end() && (styleOf(*last) & WS_GROUP) == 0) {
        ++last;
    }
    return {first, last};
}

// What a click does: the auto kinds change their state, then the parent hears of it.
void clickButton(HWND hwnd)
{
    std::shared_ptr<KvoControlState> state = kvoControlState(hwnd);
    if (state == nullptr) {
        return;
    }
    const DWORD type = buttonType(hwnd);
    if (type == BS_AUTOCHECKBOX) {
        SendMessageW(hwnd, BM_SETCHECK, state->checked ? BST_UNCHECKED : BST_CHECKED, 0);
    } else if (type == BS_AUTORADIOBUTTON) {
        for (HWND member : groupOf(hwnd)) {
            std::shared_ptr<KvoControlState> other = kvoControlState(member);
            if (member != hwnd && other != nullptr && other->kind == KvoControlKind::BUTTON &&
                isRadio(buttonType(member)) && other->checked) {
                SendMessageW(member, BM_SETCHECK, BST_UNCHECKED, 0);
            }
        }
        SendMessageW(hwnd, BM_SETCHECK, BST_CHECKED, 0);
    }
    kvoControlNotify(hwnd, BN_CLICKED);
}

void setPressed(HWND hwnd, KvoControlState& state, bool pressed)
{
    if (state.pressed != pressed) {
        state.pressed = pressed;
        InvalidateRect(hwnd, nullptr, TRUE);
    }
}

bool insideClient(HWND hwnd, LPARAM lParam)
{
    RECT client{};
    GetClientRect(hwnd, &client);
    const int x = static_cast<short>(lParam & 0xFFFF);
    const int y = static_cast<short>((lParam >> 16) & 0xFFFF);
    return x >= client.left && x < client.right && y >= client.top && y < client.bottom;
}

void paintButton(HWND hwnd, const KvoControlState& state)
{
    ControlPaint paint(hwnd);
    HDC hdc = paint.dc();
    if (hdc == nullptr) {
        return;
    }
    RECT client = paint.client();
    FillRect(hdc, &client, systemBrush(COLOR_BTNFACE));
    const bool enabled = IsWindowEnabled(hwnd) != FALSE;
    SetTextColor(hdc, GetSysColor(enabled ? COLOR_BTNTEXT : COLOR_GRAYTEXT));
    const std::u16string text = windowText(hwnd);
    const DWORD type = buttonType(hwnd);
    if (isCheckBox(type) || isRadio(type)) {
        const int top = (client.bottom - MARK_SIZE) / 2;
        const RECT mark{0, top, MARK_SIZE, top + MARK_SIZE};
        HPEN pen = CreatePen(PS_SOLID, 1, GetSysColor(COLOR_BTNSHADOW));
        HBRUSH fill = GetSysColorBrush(state.pressed ? COLOR_BTNFACE : COLOR_WINDOW);
        HGDIOBJ oldPen = SelectObject(hdc, pen);
        HGDIOBJ oldBrush = SelectObject(hdc, fill);
        if (isRadio(type)) {
            Ellipse(hdc, mark.left, mark.top, mark.right, mark.bottom);
        } else {
            Rectangle(hdc, mark.left, mark.top, mark.right, mark.bottom);
        }
        SelectObject(hdc, oldBrush);
        SelectObject(hdc, oldPen);
        DeleteObject(pen);
        if (state.checked) {
            HPEN markPen = CreatePen(PS_SOLID, 2, GetSysColor(enabled ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT));
            HBRUSH dot = CreateSolidBrush(GetSysColor(enabled ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT));
            oldPen = SelectObject(hdc, markPen);
            oldBrush = SelectObject(hdc, dot);
            if (isRadio(type)) {
                Ellipse(hdc, mark.left + 4, mark.top + 4, mark.right - 4, mark.bottom - 4);
            } else {
                drawLine(hdc, mark.left + 3, mark.top + 6, mark.left + 5, mark.top + 9);
                LineTo(hdc, mark.left + 10, mark.top + 3);
            }
            SelectObject(hdc, oldBrush);
            SelectObject(hdc, oldPen);
            DeleteObject(markPen);
            DeleteObject(dot);
        }
        RECT label{MARK_SIZE + MARK_GAP, client.top, client.right, client.bottom};
        DrawTextW(hdc, text.c_str(), static_cast<int>(text.size()), &label, DT_LEFT | DT_VCENTER | DT_SINGLELINE);
        if (state.focused) {
            drawFrame(hdc, label, COLOR_BTNSHADOW);
        }
        return;
    }
    RECT face = client;
    if (type == BS_DEFPUSHBUTTON || state.focused) {
        drawFrame(hdc, face, COLOR_WINDOWFRAME);
        face = RECT{face.left + 1, face.top + 1, face.right - 1, face.bottom - 1};
    }
    drawEdge(hdc, face, state.pressed);
    RECT label = face;
    if (state.pressed) {
        label = RECT{label.left + 1, label.top + 1, label.right + 1, label.bottom + 1};
    }
    DrawTextW(hdc, text.c_str(), static_cast<int>(text.size()), &label, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}

LRESULT buttonProcedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (lifetime<KvoControlKind::BUTTON>(hwnd, msg)) {
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    std::shared_ptr<KvoControlState> state = kvoControlState(hwnd);
    if (state == nullptr) {
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    switch (msg) {
    case WM_SETTEXT: {
        const LRESULT done = DefWindowProcW(hwnd, msg, wParam, lParam);
        InvalidateRect(hwnd, nullptr, TRUE);
        return done;
    }
    case WM_PAINT:
        paintButton(hwnd, *state);
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case BM_GETCHECK:
        return state->checked ? BST_CHECKED : BST_UNCHECKED;
    case BM_SETCHECK: {
        const DWORD type = buttonType(hwnd);
        const bool checked = wParam == BST_CHECKED && (isCheckBox(type) || isRadio(type));
        if (checked != state->checked) {
            state->checked = checked;
            InvalidateRect(hwnd, nullptr, TRUE);
        }
        return 0;
    }
    case BM_GETSTATE:
        return (state->checked ? BST_CHECKED : BST_UNCHECKED) | (state->pressed ? BST_PUSHED : 0) |
               (state->focused ? BST_FOCUS : 0);
    case BM_CLICK:
        if (IsWindowEnabled(hwnd)) {
            clickButton(hwnd);
        }
        return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
        if (!IsWindowEnabled(hwnd)) {
            return 0;
        }
        state->tracking = true;
        setPressed(hwnd, *state, true);
        SetCapture(hwnd);
        SetFocus(hwnd);
        return 0;
    case WM_MOUSEMOVE:
        if (state->tracking) {
            setPressed(hwnd, *state, insideClient(hwnd, lParam));
        }
        return 0;
    case WM_LBUTTONUP: {
        if (!state->tracking) {
            return 0;
        }
        const bool click = insideClient(hwnd, lParam);
        state->tracking = false;
        setPressed(hwnd, *state, false);
        if (GetCapture() == hwnd) {
            ReleaseCapture();
        }
        if (click) {
            clickButton(hwnd);
        }
        return 0;
    }
    case WM_CAPTURECHANGED:
        // Someone else took the mouse: the press is abandoned without a click.
        state->tracking = false;
        setPressed(hwnd, *state, state->spaceDown);
        return 0;
    case WM_KEYDOWN:
        if (wParam == VK_SPACE && IsWindowEnabled(hwnd)) {
            state->spaceDown = true;
            setPressed(hwnd, *state, true);
        } else if (wParam == VK_TAB) {
            kvoControlTab(hwnd, GetKeyState(VK_SHIFT) < 0);
        }
        return 0;
    case WM_KEYUP:
        if (wParam == VK_SPACE && state->spaceDown) {
            state->spaceDown = false;
            setPressed(hwnd, *state, false);
            clickButton(hwnd);
        }
        return 0;
    case WM_SETFOCUS:
        state->focused = true;
        InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    case WM_KILLFOCUS:
        state->focused = false;
        state->spaceDown = false;
        setPressed(hwnd, *state, state->tracking);
        InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    default:
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

LRESULT editProcedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (lifetime<KvoControlKind::EDIT>(hwnd, msg)) {
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    return kvoEditProcedure(hwnd, msg, wParam, lParam);
}

} // namespace

const WNDCLASSW* kvoSystemWindowClasses(std::size_t& count)
{
    // Built on first use: the window system may be created while other files are initialized.
    static const WNDCLASSW classes[] = {
        {0, staticProcedure, 0, 0, nullptr, nullptr, nullptr, systemBrush(COLOR_BTNFACE), nullptr, STATIC_CLASS},
        {0, buttonProcedure, 0, 0, nullptr, nullptr, nullptr, systemBrush(COLOR_BTNFACE), nullptr, BUTTON_CLASS},
        {0, editProcedure, 0, 0, nullptr, nullptr, nullptr, systemBrush(COLOR_WINDOW), nullptr, EDIT_CLASS},
        {0, kvoMessageBoxProcedure, 0, 0, nullptr, nullptr, nullptr, systemBrush(COLOR_BTNFACE), nullptr,
         KVO_MESSAGE_BOX_CLASS},
    };
    count = std::size(classes);
    return classes;
}

void kvoControlCreate(HWND hwnd, KvoControlKind kind)
{
    auto state = std::make_shared<KvoControlState>();
    state->kind = kind;
    ControlTable& table = controlTable();
    std::lock_guard<std::mutex> guard(table.lock);
    table.controls[reinterpret_cast<std::uintptr_t>(hwnd)] = std::move(state);
}

std::shared_ptr<KvoControlState> kvoControlState(HWND hwnd)
{
    ControlTable& table = controlTable();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.controls.find(reinterpret_cast<std::uintptr_t>(hwnd));
    return found == table.controls.end() ? nullptr : found->second;
}

void kvoControlDestroy(HWND hwnd)
{
    ControlTable& table = controlTable();
    std::lock_guard<std::mutex> guard(table.lock);
    table.controls.erase(reinterpret_cast<std::uintptr_t>(hwnd));
}

void kvoControlNotify(HWND hwnd, WORD code)
{
    HWND parent = GetParent(hwnd);
    if (parent == nullptr) {
        return;
    }
    const auto id = static_cast<WORD>(GetWindowLongPtrW(hwnd, GWLP_ID) & 0xFFFF);
    SendMessageW(parent, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(hwnd));
}

void kvoControlTab(HWND hwnd, bool backwards)
{
    // The siblings that take the focus: visible, enabled buttons and edits.
    std::vector<HWND> stops;
    for (HWND sibling = GetWindow(hwnd, GW_HWNDFIRST); sibling != nullptr; sibling = GetWindow(sibling, GW_HWNDNEXT)) {
        std::shared_ptr<KvoControlState> state = kvoControlState(sibling);
        if (sibling == hwnd || (state != nullptr && state->kind != KvoControlKind::STATIC &&
                                IsWindowVisible(sibling) && IsWindowEnabled(sibling))) {
            stops.push_back(sibling);
        }
    }
    const auto self = std::find(stops.begin(), stops.end(), hwnd);
    if (stops.size() < 2 || self == stops.end()) {
        return;
    }
    const std::size_t index = static_cast<std::size_t>(self - stops.begin());
    const std::size_t next = backwards ? (index + stops.size() - 1) % stops.size() : (index + 1) % stops.size();
    SetFocus(stops[next]);
}

int kvoControlTextWidth(const KvoChar* text, std::size_t count)
{
    if (count == 0) {
        return 0;
    }
    HDC hdc = GetDC(nullptr);
    SelectObject(hdc, GetStockObject(DEFAULT_GUI_FONT));
    SIZE size{};
    GetTextExtentPoint32W(hdc, text, static_cast<int>(std::min<std::size_t>(count, 1u << 20)), &size);
    ReleaseDC(nullptr, hdc);
    return size.cx;
}

int kvoControlLineHeight()
{
    HDC hdc = GetDC(nullptr);
    SelectObject(hdc, GetStockObject(DEFAULT_GUI_FONT));
    SIZE size{};
    GetTextExtentPoint32W(hdc, u"Ag", 2, &size);
    ReleaseDC(nullptr, hdc);
    return size.cy;
}

extern "C" {

HWND SetCapture(HWND hwnd)
{
    using namespace kvowin;
    WindowSystem& state = windowSystem();
    HWND previous = nullptr;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        const WindowRecord* window = findWindowLocked(state, hwnd);
        if (window == nullptr || window->thread != std::this_thread::get_id()) {
            return nullptr;
        }
        ThreadQueue& queue = currentQueueLocked(state);
        previous = queue.capture;
        queue.capture = hwnd;
    }
    if (previous != nullptr && previous != hwnd) {
        SendMessageW(previous, WM_CAPTURECHANGED, 0, reinterpret_cast<LPARAM>(hwnd));
    }
    return previous;
}

BOOL ReleaseCapture()
{
    using namespace kvowin;
    WindowSystem& state = windowSystem();
    HWND previous = nullptr;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        ThreadQueue& queue = currentQueueLocked(state);
        previous = queue.capture;
        queue.capture = nullptr;
    }
    if (previous == nullptr) {
        return FALSE;
    }
    SendMessageW(previous, WM_CAPTURECHANGED, 0, 0);
    return TRUE;
}

HWND GetCapture()
{
    using namespace kvowin;
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    return currentQueueLocked(state).capture;
}

HWND GetDlgItem(HWND parent, int id)
{
    for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        if (GetWindowLongPtrW(child, GWLP_ID) == id) {
            return child;
        }
    }
    return nullptr;
}

int KvoGetClipboardText(KvoChar* buffer, int capacity)
{
    ControlTable& table = controlTable();
    std::lock_guard<std::mutex> guard(table.lock);
    if (buffer != nullptr && capacity > 0) {
        const std::size_t count = std::min<std::size_t>(table.clipboard.size(), static_cast<std::size_t>(capacity - 1));
        std::copy_n(table.clipboard.data(), count, buffer);
        buffer[count] = 0;
    }
    return static_cast<int>(std::min<std::size_t>(table.clipboard.size(), INT32_MAX));
}

BOOL KvoSetClipboardText(const KvoChar* text)
{
    std::u16string copy = text != nullptr ? text : u"";
    ControlTable& table = controlTable();
    std::lock_guard<std::mutex> guard(table.lock);
    table.clipboard.swap(copy);
    return TRUE;
}

} // extern "C"
