// The message box as a window (see KvoMessageBoxInternal.h): a top-level window of the system
// class KvoMessageBox holding a STATIC with the text and a row of BUTTONs, centred on the screen
// and run in a modal loop of its own.
#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/KvoControls.h"
#include "platform/KvoGdi.h"
#include "platform/KvoText.h"
#include "platform/linux/KvoMessageBoxInternal.h"

extern const KvoChar KVO_MESSAGE_BOX_CLASS[] = u"KvoMessageBox";

namespace {

constexpr int MARGIN = 12;
constexpr int BUTTON_WIDTH = 75;
constexpr int BUTTON_HEIGHT = 23;
constexpr int BUTTON_GAP = 6;
// The widest the text may make the box before its lines wrap.
constexpr int MAX_TEXT_WIDTH = 480;
constexpr int TEXT_ID = 0xFFFF;

// What one running box has to say to its loop.
struct BoxRun {
    int answer = 0;
    int stop = IDOK;
};

struct BoxTable {
    std::mutex lock;
    std::unordered_map<std::uintptr_t, BoxRun*> runs;
    // Runs whose box is being created: a window of the class with any other creation parameter
    // (a program's CreateWindowExW) is refused, so no stray pointer is ever taken for a run.
    std::vector<BoxRun*> creating;
};

BoxTable& boxTable()
{
    static BoxTable* const table = new BoxTable;
    return *table;
}

BoxRun* runOf(HWND hwnd)
{
    BoxTable& table = boxTable();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.runs.find(reinterpret_cast<std::uintptr_t>(hwnd));
    return found == table.runs.end() ? nullptr : found->second;
}

bool isInputMessage(UINT msg)
{
    return (msg >= WM_KEYDOWN && msg <= WM_SYSCHAR) || (msg >= WM_MOUSEMOVE && msg <= WM_MOUSEWHEEL);
}

bool belongsTo(HWND hwnd, HWND box)
{
    return hwnd == box || (hwnd != nullptr && GetParent(hwnd) == box);
}

// The size the text needs, wrapped at MAX_TEXT_WIDTH.
SIZE textExtent(const std::u16string& text)
{
    HDC hdc = GetDC(nullptr);
    SelectObject(hdc, GetStockObject(DEFAULT_GUI_FONT));
    RECT rect{0, 0, MAX_TEXT_WIDTH, 0};
    DrawTextW(hdc, text.c_str(), static_cast<int>(text.size()), &rect, DT_CALCRECT | DT_WORDBREAK);
    ReleaseDC(nullptr, hdc);
    return SIZE{std::min<LONG>(rect.right - rect.left, MAX_TEXT_WIDTH), rect.bottom - rect.top};
}

// The push button the Enter key chooses: the focused one, else the default one.
HWND enterTarget(HWND box, int defaultId)
{
    HWND focus = GetFocus();
    if (focus != nullptr && GetParent(focus) == box && GetWindowLongPtrW(focus, GWLP_ID) != TEXT_ID) {
        return focus;
    }
    return GetDlgItem(box, defaultId);
}

} // namespace

LRESULT kvoMessageBoxProcedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_NCCREATE: {
        auto* run = static_cast<BoxRun*>(reinterpret_cast<const CREATESTRUCTW*>(lParam)->lpCreateParams);
        BoxTable& table = boxTable();
        std::lock_guard<std::mutex> guard(table.lock);
        const auto pending = std::find(table.creating.begin(), table.creating.end(), run);
        if (run == nullptr || pending == table.creating.end()) {
            return FALSE; // only kvoMessageBoxWindow builds boxes
        }
        table.creating.erase(pending);
        table.runs[reinterpret_cast<std::uintptr_t>(hwnd)] = run;
        return TRUE;
    }
    case WM_NCDESTROY: {
        BoxTable& table = boxTable();
        std::lock_guard<std::mutex> guard(table.lock);
        table.runs.erase(reinterpret_cast<std::uintptr_t>(hwnd));
        return 0;
    }
    case WM_COMMAND:
        if (BoxRun* run = runOf(hwnd); run != nullptr && ((wParam >> 16) & 0xFFFF) == BN_CLICKED) {
            run->answer = static_cast<int>(wParam & 0xFFFF);
        }
        return 0;
    case WM_CLOSE:
        if (BoxRun* run = runOf(hwnd)) {
            run->answer = run->stop;
        }
        return 0;
    default:
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

int kvoMessageBoxWindow(HWND owner, const KvoChar* text, const KvoChar* caption, UINT style,
                        KvoMessageBoxShown shown, void* context)
{
    KvoMessageBoxButton buttons[KVO_MESSAGE_BOX_MAX_BUTTONS];
    const int count = kvoMessageBoxButtons(style, buttons);
    BoxRun run;
    run.stop = kvoMessageBoxStopAnswer(style);
    const int defaultId = kvoMessageBoxDefaultAnswer(style);

    const std::u16string message = text != nullptr ? text : u"";
    const SIZE extent = textExtent(message);
    const int rowWidth = count * BUTTON_WIDTH + (count - 1) * BUTTON_GAP;
    const int clientWidth = std::max<int>(extent.cx, rowWidth) + 2 * MARGIN;
    const int clientHeight = MARGIN + extent.cy + MARGIN + BUTTON_HEIGHT + MARGIN;

    constexpr DWORD BOX_STYLE = WS_POPUP | WS_CAPTION | WS_SYSMENU;
    {
        BoxTable& table = boxTable();
        std::lock_guard<std::mutex> guard(table.lock);
        table.creating.push_back(&run);
    }
    HWND box = CreateWindowExW(0, KVO_MESSAGE_BOX_CLASS, caption != nullptr ? caption : u"Error", BOX_STYLE, 0, 0,
                               clientWidth, clientHeight, nullptr, nullptr, nullptr, &run);
    {
        BoxTable& table = boxTable();
        std::lock_guard<std::mutex> guard(table.lock);
        std::erase(table.creating, &run);
    }
    if (box == nullptr) {
        return run.stop;
    }
    // Grow the window by its frame so that the client area has the size computed, and centre it.
    RECT client{};
    GetClientRect(box, &client);
    const int width = clientWidth + (clientWidth - client.right);
    const int height = clientHeight + (clientHeight - client.bottom);
    MoveWindow(box, std::max(0, (SCREEN_WIDTH - width) / 2), std::max(0, (SCREEN_HEIGHT - height) / 2), width,
               height, FALSE);

    CreateWindowExW(0, STATIC_CLASS, message.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT, MARGIN, MARGIN, extent.cx,
                    extent.cy, box, reinterpret_cast<HMENU>(static_cast<std::intptr_t>(TEXT_ID)), nullptr, nullptr);
    int x = (clientWidth - rowWidth) / 2;
    const int y = clientHeight - MARGIN - BUTTON_HEIGHT;
    for (int i = 0; i < count; ++i) {
        const std::u16string label = kvoFromUtf8(buttons[i].name);
        const DWORD kind = buttons[i].id == defaultId ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
        CreateWindowExW(0, BUTTON_CLASS, label.c_str(), WS_CHILD | WS_VISIBLE | WS_TABSTOP | kind, x, y,
                        BUTTON_WIDTH, BUTTON_HEIGHT, box, reinterpret_cast<HMENU>(static_cast<std::intptr_t>(buttons[i].id)),
                        nullptr, nullptr);
        x += BUTTON_WIDTH + BUTTON_GAP;
    }

    const bool disableOwner = owner != nullptr && IsWindow(owner) && IsWindowEnabled(owner);
    if (disableOwner) {
        EnableWindow(owner, FALSE);
    }
    HWND previousFocus = GetFocus();
    ShowWindow(box, SW_SHOWNORMAL);
    SetFocus(GetDlgItem(box, defaultId));
    if (shown != nullptr) {
        shown(box, context);
    }

    bool quit = false;
    int quitCode = 0;
    MSG msg{};
    while (run.answer == 0 && IsWindow(box)) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            quit = true;
            quitCode = static_cast<int>(msg.wParam);
            break;
        }
        if (got == -1) {
            break; // nothing can arrive any more
        }
        if (isInputMessage(msg.message) && !belongsTo(msg.hwnd, box)) {
            continue; // the rest of the program waits for the box
        }
        if (msg.message == WM_KEYDOWN && msg.wParam == VK_RETURN) {
            if (HWND target = enterTarget(box, defaultId)) {
                SendMessageW(target, BM_CLICK, 0, 0);
            }
            continue;
        }
        if (msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE) {
            run.answer = run.stop;
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    const int answer = run.answer != 0 ? run.answer : run.stop;
    if (IsWindow(box)) {
        DestroyWindow(box);
    }
    if (disableOwner && IsWindow(owner)) {
        EnableWindow(owner, TRUE);
    }
    if (previousFocus != nullptr && IsWindow(previousFocus)) {
        SetFocus(previousFocus);
    }
    if (quit) {
        PostQuitMessage(quitCode);
    }
    return answer;
}
