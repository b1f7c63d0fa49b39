// The EDIT control (see KvoControls.h): one line of text with a caret and a selection, edited by
// keys, characters, the mouse and the clipboard, scrolled sideways so that the caret stays in
// view. Positions are UTF-16 indexes; the caret never stops inside a surrogate pair.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux/KvoControlsInternal.h"

namespace {

// Pixels between the frame and the text.
constexpr int MARGIN = 3;

bool isHighSurrogate(KvoChar unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool isLowSurrogate(KvoChar unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// A position inside a surrogate pair moves to the pair's start.
std::size_t snap(const std::u16string& text, std::size_t position)
{
    position = std::min(position, text.size());
    if (position > 0 && position < text.size() && isLowSurrogate(text[position]) &&
        isHighSurrogate(text[position - 1])) {
        --position;
    }
    return position;
}

std::size_t previousPosition(const std::u16string& text, std::size_t position)
{
    return position == 0 ? 0 : snap(text, position - 1);
}

std::size_t nextPosition(const std::u16string& text, std::size_t position)
{
    if (position >= text.size()) {
        return text.size();
    }
    const bool pair = isHighSurrogate(text[position]) && position + 1 < text.size() &&
                      isLowSurrogate(text[position + 1]);
    return position + (pair ? 2 : 1);
}

std::size_t selectionStart(const KvoControlState& state)
{
    return std::min(state.anchor, state.caret);
}

std::size_t selectionEnd(const KvoControlState& state)
{
    return std::max(state.anchor, state.caret);
}

bool isPassword(HWND hwnd, const KvoControlState& state)
{
    return (GetWindowLongPtrW(hwnd, GWL_STYLE) & ES_PASSWORD) != 0 && state.passwordChar != 0;
}

bool isReadOnly(HWND hwnd)
{
    return (GetWindowLongPtrW(hwnd, GWL_STYLE) & ES_READONLY) != 0;
}

// The text as shown: a password shows one mark for each character.
std::u16string shownText(HWND hwnd, const KvoControlState& state)
{
    if (!isPassword(hwnd, state)) {
        return state.text;
    }
    std::u16string shown;
    for (std::size_t i = 0; i < state.text.size(); i = nextPosition(state.text, i)) {
        shown.push_back(state.passwordChar);
    }
    return shown;
}

// The index in the shown text of a position in the text.
std::size_t shownIndex(HWND hwnd, const KvoControlState& state, std::size_t position)
{
    if (!isPassword(hwnd, state)) {
        return position;
    }
    std::size_t shown = 0;
    for (std::size_t i = 0; i < position; i = nextPosition(state.text, i)) {
        ++shown;
    }
    return shown;
}

// The x of a position, in text pixels (0 at the text's start).
int positionX(HWND hwnd, const KvoControlState& state, std::size_t position)
{
    const std::u16string shown = shownText(hwnd, state);
    return kvoControlTextWidth(shown.c_str(), shownIndex(hwnd, state, position));
}

int innerWidth(HWND hwnd)
{
    RECT client{};
    GetClientRect(hwnd, &client);
    return std::max(0, static_cast<int>(client.right) - 2 * MARGIN);
}

// The position nearest to client x.
std::size_t positionAt(HWND hwnd, const KvoControlState& state, int clientX)
{
    const int x = clientX - MARGIN + state.scroll;
    // Widths grow with the position: search for the last position at or left of x.
    std::vector<std::size_t> stops;
    for (std::size_t i = 0;; i = nextPosition(state.text, i)) {
        stops.push_back(i);
        if (i >= state.text.size()) {
            break;
        }
    }
    std::size_t low = 0;
    std::size_t high = stops.size() - 1;
    while (low < high) {
        const std::size_t middle = (low + high + 1) / 2;
        if (positionX(hwnd, state, stops[middle]) <= x) {
            low = middle;
        } else {
            high = middle - 1;
        }
    }
    // The nearer of the stop at or before x and the one after it.
    if (low + 1 < stops.size()) {
        const int left = positionX(hwnd, state, stops[low]);
        const int right = positionX(hwnd, state, stops[low + 1]);
        if (x - left > right - x) {
            return stops[low + 1];
        }
    }
    return stops[low];
}

// Scrolls so that the caret shows, and no further than the text needs.
void keepCaretVisible(HWND hwnd, KvoControlState& state)
{
    // The caret is a pixel wide: at most width - 1 from the text area's left edge.
    const int width = std::max(1, innerWidth(hwnd)) - 1;
    const int caretX = positionX(hwnd, state, state.caret);
    const int textWidth = positionX(hwnd, state, state.text.size());
    if (caretX - state.scroll > width) {
        state.scroll = caretX - width;
    }
    if (caretX < state.scroll) {
        state.scroll = caretX;
    }
    state.scroll = std::max(0, std::min(state.scroll, std::max(0, textWidth - width)));
    state.scroll = std::min(state.scroll, caretX);
}

void changed(HWND hwnd, KvoControlState& state)
{
    keepCaretVisible(hwnd, state);
    InvalidateRect(hwnd, nullptr, TRUE);
}

void setSelection(HWND hwnd, KvoControlState& state, std::size_t anchor, std::size_t caret)
{
    state.anchor = snap(state.text, anchor);
    state.caret = snap(state.text, caret);
    changed(hwnd, state);
}

// Replaces the selection with insert, as far as the limit allows (limited: the user typed or
// pasted it). Returns whether the text changed; sets refused when the limit cut something off.
bool replaceSelection(HWND hwnd, KvoControlState& state, std::u16string insert, bool limited, bool& refused)
{
    const std::size_t start = selectionStart(state);
    const std::size_t end = selectionEnd(state);
    refused = false;
    if (limited) {
        const std::size_t kept = state.text.size() - (end - start);
        const std::size_t room = kept >= state.limit ? 0 : state.limit - kept;
        if (insert.size() > room) {
            insert.resize(snap(insert, room));
            refused = true;
        }
    }
    if (start == end && insert.empty()) {
        return false;
    }
    state.text.replace(start, end - start, insert);
    state.caret = start + insert.size();
    state.anchor = state.caret;
    changed(hwnd, state);
    return true;
}

// An edit the user made: the parent hears EN_CHANGE after it, EN_MAXTEXT when the limit refused
// part of it.
void userEdit(HWND hwnd, KvoControlState& state, const std::u16string& insert)
{
    bool refused = false;
    const bool edited = replaceSelection(hwnd, state, insert, true, refused);
    if (refused) {
        kvoControlNotify(hwnd, EN_MAXTEXT);
    }
    if (edited) {
        kvoControlNotify(hwnd, EN_CHANGE);
    }
}

void copySelection(HWND hwnd, const KvoControlState& state)
{
    const std::size_t start = selectionStart(state);
    const std::size_t end = selectionEnd(state);
    // A password is never handed out.
    if (start == end || isPassword(hwnd, state)) {
        return;
    }
    const std::u16string selected = state.text.substr(start, end - start);
    KvoSetClipboardText(selected.c_str());
}

std::u16string clipboardLine()
{
    const int length = KvoGetClipboardText(nullptr, 0);
    std::u16string text(static_cast<std::size_t>(length) + 1, u'\0');
    KvoGetClipboardText(text.data(), length + 1);
    text.resize(static_cast<std::size_t>(length));
    // One line: a pasted text ends at its first line break.
    const std::size_t lineEnd = text.find_first_of(u"\r\n");
    if (lineEnd != std::u16string::npos) {
        text.resize(lineEnd);
    }
    return text;
}

// Moves the caret for a navigation key; with extend the anchor stays (the selection grows).
void navigate(HWND hwnd, KvoControlState& state, WPARAM key, bool extend)
{
    std::size_t caret = state.caret;
    const bool hasSelection = state.anchor != state.caret;
    switch (key) {
    case VK_LEFT:
        caret = !extend && hasSelection ? selectionStart(state) : previousPosition(state.text, caret);
        break;
    case VK_RIGHT:
        caret = !extend && hasSelection ? selectionEnd(state) : nextPosition(state.text, caret);
        break;
    case VK_HOME:
        caret = 0;
        break;
    case VK_END:
        caret = state.text.size();
        break;
    default:
        return;
    }
    setSelection(hwnd, state, extend ? state.anchor : caret, caret);
}

bool isWordUnit(KvoChar unit)
{
    return unit != u' ' && unit != u'\t';
}

void paintEdit(HWND hwnd, const KvoControlState& state)
{
    PAINTSTRUCT paint{};
    HDC hdc = BeginPaint(hwnd, &paint);
    if (hdc == nullptr) {
        return;
    }
    RECT client{};
    GetClientRect(hwnd, &client);
    const bool enabled = IsWindowEnabled(hwnd) != FALSE;
    const int background = enabled && !isReadOnly(hwnd) ? COLOR_WINDOW : COLOR_BTNFACE;
    FillRect(hdc, &client, GetSysColorBrush(background));
    SelectObject(hdc, GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(hdc, TRANSPARENT);

    const std::u16string shown = shownText(hwnd, state);
    const int lineHeight = kvoControlLineHeight();
    const int top = std::max(0, (static_cast<int>(client.bottom) - lineHeight) / 2);
    const int left = MARGIN - state.scroll;
    SetTextColor(hdc, GetSysColor(enabled ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT));
    TextOutW(hdc, left, top, shown.c_str(), static_cast<int>(shown.size()));

    const std::size_t start = selectionStart(state);
    const std::size_t end = selectionEnd(state);
    if (start != end && state.focused) {
        const std::size_t shownStart = shownIndex(hwnd, state, start);
        const std::size_t shownEnd = shownIndex(hwnd, state, end);
        const int x1 = left + kvoControlTextWidth(shown.c_str(), shownStart);
        const int x2 = left + kvoControlTextWidth(shown.c_str(), shownEnd);
        const RECT selected{x1, top, x2, top + lineHeight};
        FillRect(hdc, &selected, GetSysColorBrush(COLOR_HIGHLIGHT));
        SetTextColor(hdc, GetSysColor(COLOR_HIGHLIGHTTEXT));
        TextOutW(hdc, x1, top, shown.c_str() + shownStart, static_cast<int>(shownEnd - shownStart));
    } else if (state.focused) {
        const int x = left + kvoControlTextWidth(shown.c_str(), shownIndex(hwnd, state, state.caret));
        HPEN pen = CreatePen(PS_SOLID, 1, GetSysColor(COLOR_WINDOWTEXT));
        HGDIOBJ old = SelectObject(hdc, pen);
        MoveToEx(hdc, x, top, nullptr);
        LineTo(hdc, x, top + lineHeight);
        SelectObject(hdc, old);
        DeleteObject(pen);
    }

    // The margins and the frame are drawn over any text that runs into them.
    const RECT leftMargin{0, 0, std::min<LONG>(MARGIN, client.right), client.bottom};
    const RECT rightMargin{std::max<LONG>(0, client.right - MARGIN), 0, client.right, client.bottom};
    FillRect(hdc, &leftMargin, GetSysColorBrush(background));
    FillRect(hdc, &rightMargin, GetSysColorBrush(background));
    HPEN frame = CreatePen(PS_SOLID, 1, GetSysColor(COLOR_BTNSHADOW));
    HGDIOBJ oldPen = SelectObject(hdc, frame);
    HGDIOBJ oldBrush = SelectObject(hdc, GetStockObject(NULL_BRUSH));
    Rectangle(hdc, client.left, client.top, client.right, client.bottom);
    SelectObject(hdc, oldBrush);
    SelectObject(hdc, oldPen);
    DeleteObject(frame);
    EndPaint(hwnd, &paint);
}

// A selection bound given by a script or host: a 32-bit number, negative for "none"/"the end".
long long boundOf(std::uintptr_t value)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

} // namespace

LRESULT kvoEditProcedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    std::shared_ptr<KvoControlState> held = kvoControlState(hwnd);
    if (held == nullptr) {
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    KvoControlState& state = *held;
    switch (msg) {
    case WM_CREATE: {
        // The window name is the first text.
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        state.text = create != nullptr && create->lpszName != nullptr ? create->lpszName : u"";
        return 0;
    }
    case WM_SETTEXT: {
        const auto* text = reinterpret_cast<const KvoChar*>(lParam);
        state.text = text != nullptr ? text : u"";
        state.anchor = state.caret = 0;
        state.scroll = 0;
        changed(hwnd, state);
        return TRUE;
    }
    case WM_GETTEXT: {
        auto* buffer = reinterpret_cast<KvoChar*>(lParam);
        if (buffer == nullptr || wParam == 0) {
            return 0;
        }
        const std::size_t count = std::min<std::size_t>(state.text.size(), wParam - 1);
        std::copy_n(state.text.data(), count, buffer);
        buffer[count] = 0;
        return static_cast<LRESULT>(count);
    }
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(state.text.size());
    case WM_PAINT:
        paintEdit(hwnd, state);
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_SIZE:
        keepCaretVisible(hwnd, state);
        return 0;
    case WM_SETFOCUS:
        state.focused = true;
        InvalidateRect(hwnd, nullptr, TRUE);
        kvoControlNotify(hwnd, EN_SETFOCUS);
        return 0;
    case WM_KILLFOCUS:
        state.focused = false;
        state.dragging = false;
        InvalidateRect(hwnd, nullptr, TRUE);
        kvoControlNotify(hwnd, EN_KILLFOCUS);
        return 0;
    case EM_GETSEL: {
        const auto start = static_cast<DWORD>(selectionStart(state));
        const auto end = static_cast<DWORD>(selectionEnd(state));
        if (wParam != 0) {
            *reinterpret_cast<DWORD*>(wParam) = start;
        }
        if (lParam != 0) {
            *reinterpret_cast<DWORD*>(lParam) = end;
        }
        return static_cast<LRESULT>((start & 0xFFFF) | ((end & 0xFFFF) << 16));
    }
    case EM_SETSEL: {
        const long long start = boundOf(wParam);
        const long long end = boundOf(static_cast<std::uintptr_t>(lParam));
        const std::size_t size = state.text.size();
        if (start < 0) {
            // No selection: the caret stays where it is.
            setSelection(hwnd, state, state.caret, state.caret);
            return 0;
        }
        const std::size_t first = std::min<std::size_t>(static_cast<std::size_t>(start), size);
        const std::size_t last = end < 0 ? size : std::min<std::size_t>(static_cast<std::size_t>(end), size);
        setSelection(hwnd, state, first, last);
        return 0;
    }
    case EM_REPLACESEL: {
        const auto* text = reinterpret_cast<const KvoChar*>(lParam);
        userEdit(hwnd, state, text != nullptr ? text : u"");
        return 0;
    }
    case EM_LIMITTEXT:
        state.limit = wParam == 0 || wParam > EDIT_DEFAULT_LIMIT ? EDIT_DEFAULT_LIMIT : static_cast<DWORD>(wParam);
        return 0;
    case EM_GETLIMITTEXT:
        return static_cast<LRESULT>(state.limit);
    case EM_SETPASSWORDCHAR:
        state.passwordChar = static_cast<KvoChar>(wParam);
        changed(hwnd, state);
        return 0;
    case WM_COPY:
        copySelection(hwnd, state);
        return 0;
    case WM_CUT:
        if (!isReadOnly(hwnd) && !isPassword(hwnd, state) && state.anchor != state.caret) {
            copySelection(hwnd, state);
            userEdit(hwnd, state, u"");
        }
        return 0;
    case WM_PASTE:
        if (!isReadOnly(hwnd)) {
            userEdit(hwnd, state, clipboardLine());
        }
        return 0;
    case WM_CLEAR:
        if (!isReadOnly(hwnd)) {
            userEdit(hwnd, state, u"");
        }
        return 0;
    case WM_KEYDOWN: {
        if (!IsWindowEnabled(hwnd)) {
            return 0;
        }
        const bool shift = GetKeyState(VK_SHIFT) < 0;
        switch (wParam) {
        case VK_LEFT:
        case VK_RIGHT:
        case VK_HOME:
        case VK_END:
            navigate(hwnd, state, wParam, shift);
            break;
        case VK_DELETE:
            if (isReadOnly(hwnd)) {
                break;
            }
            if (state.anchor == state.caret) {
                state.anchor = nextPosition(state.text, state.caret);
            }
            userEdit(hwnd, state, u"");
            break;
        case VK_TAB:
            kvoControlTab(hwnd, shift);
            break;
        default:
            break;
        }
        return 0;
    }
    case WM_CHAR: {
        if (!IsWindowEnabled(hwnd)) {
            return 0;
        }
        const auto unit = static_cast<KvoChar>(wParam);
        switch (unit) {
        case 0x01: // Ctrl+A
            setSelection(hwnd, state, 0, state.text.size());
            return 0;
        case 0x03: // Ctrl+C
            return SendMessageW(hwnd, WM_COPY, 0, 0);
        case 0x16: // Ctrl+V
            return SendMessageW(hwnd, WM_PASTE, 0, 0);
        case 0x18: // Ctrl+X
            return SendMessageW(hwnd, WM_CUT, 0, 0);
        case 0x08: // Backspace
            if (isReadOnly(hwnd)) {
                return 0;
            }
            if (state.anchor == state.caret) {
                state.anchor = previousPosition(state.text, state.caret);
            }
            userEdit(hwnd, state, u"");
            return 0;
        default:
            break;
        }
        // Other control characters (Tab, Enter, Escape) are not text.
        if (unit < 0x20 || unit == 0x7F || isReadOnly(hwnd)) {
            return 0;
        }
        userEdit(hwnd, state, std::u16string(1, unit));
        return 0;
    }
    case WM_LBUTTONDOWN: {
        if (!IsWindowEnabled(hwnd)) {
            return 0;
        }
        const std::size_t position = positionAt(hwnd, state, static_cast<short>(lParam & 0xFFFF));
        const bool extend = (wParam & MK_SHIFT) != 0;
        setSelection(hwnd, state, extend ? state.anchor : position, position);
        state.dragging = true;
        SetCapture(hwnd);
        SetFocus(hwnd);
        return 0;
    }
    case WM_MOUSEMOVE:
        if (state.dragging) {
            const std::size_t position = positionAt(hwnd, state, static_cast<short>(lParam & 0xFFFF));
            setSelection(hwnd, state, state.anchor, position);
        }
        return 0;
    case WM_LBUTTONUP:
        if (state.dragging) {
            state.dragging = false;
            if (GetCapture() == hwnd) {
                ReleaseCapture();
            }
        }
        return 0;
    case WM_CAPTURECHANGED:
        state.dragging = false;
        return 0;
    case WM_LBUTTONDBLCLK: {
        // Selects the word (or the run of blanks) under the mouse.
        std::size_t position = positionAt(hwnd, state, static_cast<short>(lParam & 0xFFFF));
        if (position == state.text.size() && position > 0) {
            position = previousPosition(state.text, position);
        }
        if (state.text.empty()) {
            return 0;
        }
        const bool word = isWordUnit(state.text[position]);
        std::size_t first = position;
        while (first > 0 && isWordUnit(state.text[first - 1]) == word) {
            --first;
        }
        std::size_t last = position;
        while (last < state.text.size() && isWordUnit(state.text[last]) == word) {
            ++last;
        }
        setSelection(hwnd, state, first, last);
        return 0;
    }
    default:
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}
