// Tests of the system controls driven by messages, as a program or a display would drive them:
// the notifications a parent hears, check and radio states, the edit control's keys, selection,
// clipboard and limit, mouse capture, focus, and what the controls draw.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/KvoControls.h"
#include "platform/KvoGdi.h"

namespace {

constexpr KvoChar PARENT_CLASS[] = u"KvoControlsTestParent";

struct Command {
    WORD id;
    WORD code;
    HWND control;
};
std::vector<Command> g_commands;

LRESULT parentProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_COMMAND) {
        g_commands.push_back({static_cast<WORD>(wParam & 0xFFFF), static_cast<WORD>((wParam >> 16) & 0xFFFF),
                              reinterpret_cast<HWND>(lParam)});
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

LPARAM point(int x, int y)
{
    return static_cast<LPARAM>((static_cast<DWORD>(x) & 0xFFFF) | ((static_cast<DWORD>(y) & 0xFFFF) << 16));
}

HMENU idOf(int id)
{
    return reinterpret_cast<HMENU>(static_cast<std::intptr_t>(id));
}

class ControlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        WNDCLASSW wndClass{};
        wndClass.lpfnWndProc = parentProc;
        wndClass.lpszClassName = PARENT_CLASS;
        ASSERT_NE(RegisterClassW(&wndClass), 0);
    }
    static void TearDownTestSuite() { UnregisterClassW(PARENT_CLASS, nullptr); }

    void SetUp() override
    {
        g_commands.clear();
        KvoSetClipboardText(nullptr);
        parent = CreateWindowExW(0, PARENT_CLASS, u"", WS_POPUP | WS_VISIBLE, 0, 0, 300, 200, nullptr, nullptr,
                                 nullptr, nullptr);
        ASSERT_NE(parent, nullptr);
    }
    void TearDown() override
    {
        DestroyWindow(parent);
        pump();
    }

    HWND control(const KvoChar* className, const KvoChar* text, DWORD style, int id, int x = 10, int y = 10,
                 int width = 100, int height = 24)
    {
        return CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height, parent,
                               idOf(id), nullptr, nullptr);
    }

    // Delivers everything posted, as a program's loop would.
    static void pump()
    {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }

    // Key presses as a keyboard delivers them (down, then up), through the loop.
    static void keys(HWND target, std::initializer_list<int> virtualKeys)
    {
        for (int key : virtualKeys) {
            PostMessageW(target, WM_KEYDOWN, static_cast<WPARAM>(key), 1);
            PostMessageW(target, WM_KEYUP, static_cast<WPARAM>(key), 1);
        }
        pump();
    }
    static void hold(HWND target, int key, bool down)
    {
        PostMessageW(target, down ? WM_KEYDOWN : WM_KEYUP, static_cast<WPARAM>(key), 1);
        pump();
    }
    static void type(HWND target, const char* text)
    {
        for (const char* c = text; *c != 0; ++c) {
            PostMessageW(target, WM_CHAR, static_cast<WPARAM>(*c), 1);
        }
        pump();
    }

    static std::u16string text(HWND hwnd)
    {
        KvoChar buffer[256];
        const int length = GetWindowTextW(hwnd, buffer, 256);
        return std::u16string(buffer, static_cast<std::size_t>(length));
    }
    static std::pair<DWORD, DWORD> selection(HWND edit)
    {
        DWORD start = 0;
        DWORD end = 0;
        SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
        return {start, end};
    }
    static std::u16string clipboard()
    {
        KvoChar buffer[256];
        KvoGetClipboardText(buffer, 256);
        return buffer;
    }
    std::size_t count(WORD code) const
    {
        std::size_t n = 0;
        for (const Command& command : g_commands) {
            n += command.code == code ? 1 : 0;
        }
        return n;
    }

    HWND parent = nullptr;
};

// ---- Classes ------------------------------------------------------------------------------------

TEST_F(ControlsTest, SystemClassesAreRegisteredForGoodUnderAnyCaseOfTheirNames)
{
    WNDCLASSW info{};
    for (const KvoChar* name : {u"static", u"Button", u"EDIT"}) {
        EXPECT_TRUE(GetClassInfoW(nullptr, name, &info));
    }
    WNDCLASSW mine{};
    mine.lpfnWndProc = parentProc;
    mine.lpszClassName = u"Edit";
    EXPECT_EQ(RegisterClassW(&mine), 0);
    EXPECT_FALSE(UnregisterClassW(u"STATIC", nullptr));
    EXPECT_TRUE(GetClassInfoW(nullptr, u"static", &info));
}

TEST_F(ControlsTest, AMessageBoxWindowCannotBeMadeOutsideTheMessageBox)
{
    // Caught: the box took any creation parameter for its run record and wrote answers into it.
    int notARun = 0;
    EXPECT_EQ(CreateWindowExW(0, u"KvoMessageBox", u"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, &notARun),
              nullptr);
    EXPECT_EQ(notARun, 0);
}

// ---- BUTTON -------------------------------------------------------------------------------------

TEST_F(ControlsTest, ClickingAPushButtonTellsTheParent)
{
    HWND button = control(BUTTON_CLASS, u"Go", BS_PUSHBUTTON, 41);
    SendMessageW(button, BM_CLICK, 0, 0);
    ASSERT_EQ(g_commands.size(), 1u);
    EXPECT_EQ(g_commands[0].id, 41);
    EXPECT_EQ(g_commands[0].code, BN_CLICKED);
    EXPECT_EQ(g_commands[0].control, button);

    // The mouse: pressed (and holding the capture) while down, clicked on release inside.
    SendMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, point(5, 5));
    EXPECT_EQ(SendMessageW(button, BM_GETSTATE, 0, 0) & BST_PUSHED, BST_PUSHED);
    EXPECT_EQ(GetCapture(), button);
    EXPECT_EQ(GetFocus(), button);
    SendMessageW(button, WM_LBUTTONUP, 0, point(6, 6));
    EXPECT_EQ(SendMessageW(button, BM_GETSTATE, 0, 0) & BST_PUSHED, 0);
    EXPECT_EQ(GetCapture(), nullptr);
    EXPECT_EQ(g_commands.size(), 2u);

    // Released outside: no click; moving out and back in shows the press again.
    SendMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, point(5, 5));
    SendMessageW(button, WM_MOUSEMOVE, MK_LBUTTON, point(150, 5));
    EXPECT_EQ(SendMessageW(button, BM_GETSTATE, 0, 0) & BST_PUSHED, 0);
    SendMessageW(button, WM_MOUSEMOVE, MK_LBUTTON, point(5, 5));
    EXPECT_EQ(SendMessageW(button, BM_GETSTATE, 0, 0) & BST_PUSHED, BST_PUSHED);
    SendMessageW(button, WM_LBUTTONUP, 0, point(-3, 5));
    EXPECT_EQ(g_commands.size(), 2u);

    // The space key clicks the focused button when it is released.
    hold(button, VK_SPACE, true);
    EXPECT_EQ(g_commands.size(), 2u);
    hold(button, VK_SPACE, false);
    EXPECT_EQ(g_commands.size(), 3u);
}

TEST_F(ControlsTest, ADisabledButtonIgnoresClicks)
{
    HWND button = control(BUTTON_CLASS, u"Go", BS_PUSHBUTTON, 1);
    EnableWindow(button, FALSE);
    SendMessageW(button, BM_CLICK, 0, 0);
    SendMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, point(5, 5));
    SendMessageW(button, WM_LBUTTONUP, 0, point(5, 5));
    EXPECT_TRUE(g_commands.empty());
}

TEST_F(ControlsTest, LosingTheCaptureAbandonsThePress)
{
    HWND button = control(BUTTON_CLASS, u"Go", BS_PUSHBUTTON, 1);
    HWND other = control(BUTTON_CLASS, u"Other", BS_PUSHBUTTON, 2, 10, 40);
    SendMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, point(5, 5));
    EXPECT_EQ(SetCapture(other), button);
    EXPECT_EQ(SendMessageW(button, BM_GETSTATE, 0, 0) & BST_PUSHED, 0);
    SendMessageW(button, WM_LBUTTONUP, 0, point(5, 5));
    EXPECT_TRUE(g_commands.empty());
    // A destroyed window gives the capture up.
    DestroyWindow(other);
    EXPECT_EQ(GetCapture(), nullptr);
    EXPECT_FALSE(ReleaseCapture());
}

TEST_F(ControlsTest, CheckBoxesKeepTheirStateAndOnlyTheAutoKindTogglesItself)
{
    HWND automatic = control(BUTTON_CLASS, u"Auto", BS_AUTOCHECKBOX, 1);
    HWND manual = control(BUTTON_CLASS, u"Manual", BS_CHECKBOX, 2, 10, 40);
    HWND push = control(BUTTON_CLASS, u"Push", BS_PUSHBUTTON, 3, 10, 70);
    EXPECT_EQ(SendMessageW(automatic, BM_GETCHECK, 0, 0), static_cast<LRESULT>(BST_UNCHECKED));
    SendMessageW(automatic, BM_CLICK, 0, 0);
    EXPECT_EQ(SendMessageW(automatic, BM_GETCHECK, 0, 0), static_cast<LRESULT>(BST_CHECKED));
    SendMessageW(automatic, BM_CLICK, 0, 0);
    EXPECT_EQ(SendMessageW(automatic, BM_GETCHECK, 0, 0), static_cast<LRESULT>(BST_UNCHECKED));

    SendMessageW(manual, BM_CLICK, 0, 0);
    EXPECT_EQ(SendMessageW(manual, BM_GETCHECK, 0, 0), static_cast<LRESULT>(BST_UNCHECKED));
    SendMessageW(manual, BM_SETCHECK, BST_CHECKED, 0);
    EXPECT_EQ(SendMessageW(manual, BM_GETCHECK, 0, 0), static_cast<LRESULT>(BST_CHECKED));

    SendMessageW(push, BM_SETCHECK, BST_CHECKED, 0);
    EXPECT_EQ(SendMessageW(push, BM_GETCHECK, 0, 0), static_cast<LRESULT>(BST_UNCHECKED));
    EXPECT_EQ(count(BN_CLICKED), 3u);
}

TEST_F(ControlsTest, AnAutoRadioButtonUnchecksTheOthersOfItsGroupOnly)
{
    HWND a = control(BUTTON_CLASS, u"A", BS_AUTORADIOBUTTON | WS_GROUP, 1, 10, 10);
    HWND b = control(BUTTON_CLASS, u"B", BS_AUTORADIOBUTTON, 2, 10, 40);
    HWND c = control(BUTTON_CLASS, u"C", BS_RADIOBUTTON, 3, 10, 70);
    HWND d = control(BUTTON_CLASS, u"D", BS_AUTORADIOBUTTON | WS_GROUP, 4, 10, 100);
    SendMessageW(a, BM_CLICK, 0, 0);
    SendMessageW(d, BM_CLICK, 0, 0);
    SendMessageW(c, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageW(b, WM_LBUTTONDOWN, MK_LBUTTON, point(3, 3));
    SendMessageW(b, WM_LBUTTONUP, 0, point(3, 3));
    EXPECT_EQ(SendMessageW(a, BM_GETCHECK, 0, 0), static_cast<LRESULT>(BST_UNCHECKED));
    EXPECT_EQ(SendMessageW(b, BM_GETCHECK, 0, 0), static_cast<LRESULT>(BST_CHECKED));
    EXPECT_EQ(SendMessageW(c, BM_GETCHECK, 0, 0), static_cast<LRESULT>(BST_UNCHECKED));
    EXPECT_EQ(SendMessageW(d, BM_GETCHECK, 0, 0), static_cast<LRESULT>(BST_CHECKED));
    // A plain radio button leaves the state to its program.
    SendMessageW(c, BM_CLICK, 0, 0);
    EXPECT_EQ(SendMessageW(c, BM_GETCHECK, 0, 0), static_cast<LRESULT>(BST_UNCHECKED));
    EXPECT_EQ(SendMessageW(b, BM_GETCHECK, 0, 0), static_cast<LRESULT>(BST_CHECKED));
}

TEST_F(ControlsTest, AParentMayDestroyTheButtonWhileHearingItsClick)
{
    // The click is told last, so nothing of the button is used after the parent's reply.
    HWND button = control(BUTTON_CLASS, u"Bye", BS_AUTOCHECKBOX, 7);
    SetWindowLongPtrW(parent, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(+[](HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
                          if (msg == WM_COMMAND) {
                              DestroyWindow(reinterpret_cast<HWND>(l));
                          }
                          return parentProc(hwnd, msg, w, l);
                      }));
    SendMessageW(button, BM_CLICK, 0, 0);
    EXPECT_FALSE(IsWindow(button));
    EXPECT_EQ(g_commands.size(), 1u);
}

// ---- STATIC and drawing ---------------------------------------------------------------------------

// Whether a pixel is the colour, or near it (the edges of text are blended with the background).
bool nearColor(COLORREF pixel, COLORREF color)
{
    if (pixel == CLR_INVALID) {
        return false;
    }
    for (int shift = 0; shift < 24; shift += 8) {
        const int a = static_cast<int>((pixel >> shift) & 0xFF);
        const int b = static_cast<int>((color >> shift) & 0xFF);
        if (a - b > 0x50 || b - a > 0x50) {
            return false;
        }
    }
    return true;
}

// The leftmost column of the control that holds a pixel of text colour, or -1.
int firstTextColumn(HWND hwnd, COLORREF textColor)
{
    HDC hdc = GetDC(hwnd);
    RECT client{};
    GetClientRect(hwnd, &client);
    int found = -1;
    for (int x = 0; x < client.right && found < 0; ++x) {
        for (int y = 0; y < client.bottom; ++y) {
            if (nearColor(GetPixel(hdc, x, y), textColor)) {
                found = x;
                break;
            }
        }
    }
    ReleaseDC(hwnd, hdc);
    return found;
}

TEST_F(ControlsTest, StaticTextIsPlacedAsItsStyleSaysAndRepaintsOnNewText)
{
    HWND left = control(STATIC_CLASS, u"Hi", SS_LEFT, 1, 0, 0, 120, 20);
    HWND center = control(STATIC_CLASS, u"Hi", SS_CENTER, 2, 0, 30, 120, 20);
    HWND right = control(STATIC_CLASS, u"Hi", SS_RIGHT, 3, 0, 60, 120, 20);
    UpdateWindow(parent);
    const COLORREF ink = GetSysColor(COLOR_BTNTEXT);
    const int l = firstTextColumn(left, ink);
    const int c = firstTextColumn(center, ink);
    const int r = firstTextColumn(right, ink);
    EXPECT_GE(l, 0);
    EXPECT_LT(l, 5);
    EXPECT_GT(c, 40);
    EXPECT_LT(c, 60);
    EXPECT_GT(r, 95);
    // The face is the button-face colour.
    HDC hdc = GetDC(left);
    EXPECT_EQ(GetPixel(hdc, 110, 2), GetSysColor(COLOR_BTNFACE));
    ReleaseDC(left, hdc);

    SetWindowTextW(left, u"");
    EXPECT_TRUE(GetUpdateRect(left, nullptr, FALSE));
    UpdateWindow(left);
    EXPECT_EQ(firstTextColumn(left, ink), -1);
}

TEST_F(ControlsTest, ACheckedBoxDrawsItsMarkAndAPressedButtonItsSunkenEdge)
{
    HWND box = control(BUTTON_CLASS, u"", BS_AUTOCHECKBOX, 1, 0, 0, 60, 20);
    HWND push = control(BUTTON_CLASS, u"", BS_PUSHBUTTON, 2, 0, 30, 60, 20);
    UpdateWindow(parent);
    const COLORREF mark = GetSysColor(COLOR_WINDOWTEXT);
    EXPECT_EQ(firstTextColumn(box, mark), -1);
    SendMessageW(box, BM_CLICK, 0, 0);
    UpdateWindow(box);
    EXPECT_GE(firstTextColumn(box, mark), 0);

    HDC hdc = GetDC(push);
    UpdateWindow(push);
    EXPECT_EQ(GetPixel(hdc, 0, 0), GetSysColor(COLOR_BTNHIGHLIGHT));
    SendMessageW(push, WM_LBUTTONDOWN, MK_LBUTTON, point(5, 5));
    UpdateWindow(push);
    // Focused and pressed: a frame, then the edge with its shadow at the top left.
    EXPECT_EQ(GetPixel(hdc, 1, 1), GetSysColor(COLOR_BTNSHADOW));
    ReleaseDC(push, hdc);
    SendMessageW(push, WM_LBUTTONUP, 0, point(5, 5));
}

// ---- EDIT ---------------------------------------------------------------------------------------

TEST_F(ControlsTest, TypingEditsTheTextAndEveryChangeIsTold)
{
    HWND edit = control(EDIT_CLASS, u"", 0, 9, 10, 10, 200, 24);
    SetFocus(edit);
    keys(edit, {'H', 'E', 'L', 'L', 'O'}); // through TranslateMessage: lower-case characters
    EXPECT_EQ(text(edit), u"hello");
    EXPECT_EQ(count(EN_CHANGE), 5u);
    EXPECT_EQ(g_commands.back().id, 9);
    EXPECT_EQ(g_commands.back().control, edit);

    keys(edit, {VK_BACK, VK_HOME, VK_DELETE});
    EXPECT_EQ(text(edit), u"ell");
    EXPECT_EQ(count(EN_CHANGE), 7u);
    // Keys that change nothing tell nothing; control characters are no text.
    keys(edit, {VK_HOME, VK_BACK, VK_RETURN, VK_ESCAPE, VK_TAB});
    EXPECT_EQ(text(edit), u"ell");
    EXPECT_EQ(count(EN_CHANGE), 7u);

    keys(edit, {VK_END, VK_LEFT});
    type(edit, "!");
    EXPECT_EQ(text(edit), u"el!l");

    // WM_SETTEXT replaces the text without a notification and puts the caret at its start.
    SetWindowTextW(edit, u"new");
    EXPECT_EQ(text(edit), u"new");
    EXPECT_EQ(GetWindowTextLengthW(edit), 3);
    EXPECT_EQ(count(EN_CHANGE), 8u);
    EXPECT_EQ(selection(edit), std::make_pair(DWORD{0}, DWORD{0}));
}

TEST_F(ControlsTest, ShiftWithArrowsAndEmSetSelSelect)
{
    HWND edit = control(EDIT_CLASS, u"abcdef", 0, 1, 10, 10, 200, 24);
    SetFocus(edit);
    keys(edit, {VK_HOME, VK_RIGHT});
    hold(edit, VK_SHIFT, true);
    keys(edit, {VK_RIGHT, VK_RIGHT});
    EXPECT_EQ(selection(edit), std::make_pair(DWORD{1}, DWORD{3}));
    keys(edit, {VK_END});
    EXPECT_EQ(selection(edit), std::make_pair(DWORD{1}, DWORD{6}));
    hold(edit, VK_SHIFT, false);
    // An arrow without Shift ends the selection at its side.
    keys(edit, {VK_LEFT});
    EXPECT_EQ(selection(edit), std::make_pair(DWORD{1}, DWORD{1}));

    SendMessageW(edit, EM_SETSEL, 4, 2);
    EXPECT_EQ(selection(edit), std::make_pair(DWORD{2}, DWORD{4}));
    EXPECT_EQ(SendMessageW(edit, EM_GETSEL, 0, 0), (4 << 16) | 2);
    type(edit, "X");
    EXPECT_EQ(text(edit), u"abXef");
    SendMessageW(edit, EM_SETSEL, 0, static_cast<LPARAM>(-1));
    EXPECT_EQ(selection(edit), std::make_pair(DWORD{0}, DWORD{5}));
    SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(-1), 0);
    EXPECT_EQ(selection(edit), std::make_pair(DWORD{5}, DWORD{5}));
    // Bounds past the end are the end.
    SendMessageW(edit, EM_SETSEL, 99, 1000);
    EXPECT_EQ(selection(edit), std::make_pair(DWORD{5}, DWORD{5}));
}

TEST_F(ControlsTest, TheClipboardKeysCopyCutAndPaste)
{
    HWND edit = control(EDIT_CLASS, u"one two", 0, 1, 10, 10, 200, 24);
    SetFocus(edit);
    SendMessageW(edit, EM_SETSEL, 0, 3);
    hold(edit, VK_CONTROL, true);
    keys(edit, {'C'});
    EXPECT_EQ(clipboard(), u"one");
    EXPECT_EQ(text(edit), u"one two");
    SendMessageW(edit, EM_SETSEL, 3, 7);
    keys(edit, {'X'});
    EXPECT_EQ(clipboard(), u" two");
    EXPECT_EQ(text(edit), u"one");
    SendMessageW(edit, EM_SETSEL, 0, 0);
    keys(edit, {'V'});
    hold(edit, VK_CONTROL, false);
    EXPECT_EQ(text(edit), u" twoone");
    EXPECT_EQ(count(EN_CHANGE), 2u);

    // The messages do the same; a pasted text stops at its first line break.
    KvoSetClipboardText(u"ab\ncd");
    SendMessageW(edit, WM_PASTE, 0, 0);
    EXPECT_EQ(text(edit), u" twoabone");
    SendMessageW(edit, EM_SETSEL, 0, 4);
    SendMessageW(edit, WM_CUT, 0, 0);
    EXPECT_EQ(text(edit), u"abone");
    EXPECT_EQ(clipboard(), u" two");
    SendMessageW(edit, EM_SETSEL, 0, 2);
    SendMessageW(edit, WM_COPY, 0, 0);
    EXPECT_EQ(clipboard(), u"ab");
}

TEST_F(ControlsTest, ADisabledOrReadOnlyEditKeepsItsText)
{
    HWND disabled = control(EDIT_CLASS, u"fixed", 0, 1, 10, 10, 200, 24);
    HWND readOnly = control(EDIT_CLASS, u"fixed", ES_READONLY, 2, 10, 40, 200, 24);
    EnableWindow(disabled, FALSE);
    KvoSetClipboardText(u"pasted");
    for (HWND edit : {disabled, readOnly}) {
        type(edit, "ab\b");
        keys(edit, {VK_HOME, VK_DELETE});
    }
    SendMessageW(readOnly, EM_SETSEL, 0, -1);
    SendMessageW(readOnly, WM_PASTE, 0, 0);
    SendMessageW(readOnly, WM_CUT, 0, 0);
    SendMessageW(readOnly, WM_CLEAR, 0, 0);
    EXPECT_EQ(text(disabled), u"fixed");
    EXPECT_EQ(text(readOnly), u"fixed");
    EXPECT_EQ(count(EN_CHANGE), 0u);
    // A read-only text may still be copied.
    SendMessageW(readOnly, WM_COPY, 0, 0);
    EXPECT_EQ(clipboard(), u"fixed");
}

TEST_F(ControlsTest, APasswordIsNeitherCopiedNorCut)
{
    HWND edit = control(EDIT_CLASS, u"secret", ES_PASSWORD, 1, 10, 10, 200, 24);
    KvoSetClipboardText(u"before");
    SendMessageW(edit, EM_SETSEL, 0, -1);
    SendMessageW(edit, WM_COPY, 0, 0);
    SendMessageW(edit, WM_CUT, 0, 0);
    EXPECT_EQ(clipboard(), u"before");
    EXPECT_EQ(text(edit), u"secret");
}

TEST_F(ControlsTest, TheLimitRefusesWhatTheUserWouldAddBeyondIt)
{
    HWND edit = control(EDIT_CLASS, u"", 0, 1, 10, 10, 200, 24);
    SendMessageW(edit, EM_LIMITTEXT, 4, 0);
    EXPECT_EQ(SendMessageW(edit, EM_GETLIMITTEXT, 0, 0), 4);
    type(edit, "abcdef");
    EXPECT_EQ(text(edit), u"abcd");
    EXPECT_EQ(count(EN_CHANGE), 4u);
    EXPECT_EQ(count(EN_MAXTEXT), 2u);
    // A paste takes what fits; replacing a selection makes room.
    KvoSetClipboardText(u"XYZ");
    SendMessageW(edit, EM_SETSEL, 1, 3);
    SendMessageW(edit, WM_PASTE, 0, 0);
    EXPECT_EQ(text(edit), u"aXYd");
    // The program's own text is not limited.
    SetWindowTextW(edit, u"longer than four");
    EXPECT_EQ(text(edit), u"longer than four");
    SendMessageW(edit, EM_LIMITTEXT, 0, 0);
    EXPECT_EQ(static_cast<DWORD>(SendMessageW(edit, EM_GETLIMITTEXT, 0, 0)), EDIT_DEFAULT_LIMIT);
}

TEST_F(ControlsTest, BackspaceAndArrowsTreatASurrogatePairAsOneCharacter)
{
    const std::u16string pair = u"a\U0001F600b";
    HWND edit = control(EDIT_CLASS, pair.c_str(), 0, 1, 10, 10, 200, 24);
    SetFocus(edit);
    keys(edit, {VK_END, VK_LEFT, VK_LEFT});
    EXPECT_EQ(selection(edit), std::make_pair(DWORD{1}, DWORD{1}));
    keys(edit, {VK_RIGHT, VK_BACK});
    EXPECT_EQ(text(edit), u"ab");
    // A selection bound inside a pair moves to its start.
    SetWindowTextW(edit, pair.c_str());
    SendMessageW(edit, EM_SETSEL, 2, 2);
    EXPECT_EQ(selection(edit), std::make_pair(DWORD{1}, DWORD{1}));
}

TEST_F(ControlsTest, TheMouseFocusesPlacesTheCaretAndDragsASelection)
{
    HWND button = control(BUTTON_CLASS, u"B", BS_PUSHBUTTON, 2, 10, 50);
    HWND edit = control(EDIT_CLASS, u"mmmm mmmm", 0, 1, 10, 10, 200, 24);
    SetFocus(button);
    g_commands.clear();
    SendMessageW(edit, WM_LBUTTONDOWN, MK_LBUTTON, point(1, 5));
    EXPECT_EQ(GetFocus(), edit);
    EXPECT_EQ(count(EN_SETFOCUS), 1u);
    EXPECT_EQ(selection(edit), std::make_pair(DWORD{0}, DWORD{0}));
    SendMessageW(edit, WM_MOUSEMOVE, MK_LBUTTON, point(199, 5));
    SendMessageW(edit, WM_LBUTTONUP, 0, point(199, 5));
    EXPECT_EQ(selection(edit), std::make_pair(DWORD{0}, DWORD{9}));
    EXPECT_EQ(GetCapture(), nullptr);
    // A double click selects the word under the mouse.
    SendMessageW(edit, WM_LBUTTONDBLCLK, MK_LBUTTON, point(8, 5));
    EXPECT_EQ(selection(edit), std::make_pair(DWORD{0}, DWORD{4}));

    SetFocus(button);
    EXPECT_EQ(count(EN_KILLFOCUS), 1u);
}

TEST_F(ControlsTest, ALongTextScrollsSoThatTheCaretStaysInView)
{
    HWND edit = control(EDIT_CLASS, u"", 0, 1, 10, 10, 60, 24);
    SetFocus(edit);
    std::string typed(80, 'w');
    type(edit, typed.c_str());
    // Scrolled to the end: the box's left edge shows a late part of the text.
    SendMessageW(edit, WM_LBUTTONDOWN, MK_LBUTTON, point(4, 5));
    SendMessageW(edit, WM_LBUTTONUP, 0, point(4, 5));
    EXPECT_GT(selection(edit).first, 60u);
    // Home scrolls back to the start.
    keys(edit, {VK_HOME});
    SendMessageW(edit, WM_LBUTTONDOWN, MK_LBUTTON, point(4, 5));
    SendMessageW(edit, WM_LBUTTONUP, 0, point(4, 5));
    EXPECT_EQ(selection(edit).first, 0u);
    // The caret, a line as high as the text, is drawn inside the box at the end of the text.
    // (Caught: the caret sat on the right margin, which covered it.)
    keys(edit, {VK_END});
    UpdateWindow(edit);
    HDC hdc = GetDC(edit);
    int caretColumn = -1;
    for (int x = 40; x < 60; ++x) {
        int ink = 0;
        for (int y = 0; y < 24; ++y) {
            ink += GetPixel(hdc, x, y) == GetSysColor(COLOR_WINDOWTEXT) ? 1 : 0;
        }
        caretColumn = ink >= 10 ? x : caretColumn;
    }
    ReleaseDC(edit, hdc);
    EXPECT_GE(caretColumn, 50);
    EXPECT_LT(caretColumn, 57);
}

TEST_F(ControlsTest, TabMovesTheFocusBetweenControlsThatTakeIt)
{
    HWND edit = control(EDIT_CLASS, u"", 0, 1, 10, 10);
    control(STATIC_CLASS, u"label", 0, 2, 10, 40);
    HWND button = control(BUTTON_CLASS, u"OK", BS_PUSHBUTTON, 3, 10, 70);
    SetFocus(edit);
    keys(edit, {VK_TAB});
    EXPECT_EQ(GetFocus(), button);
    keys(button, {VK_TAB});
    EXPECT_EQ(GetFocus(), edit);
    hold(edit, VK_SHIFT, true);
    keys(edit, {VK_TAB});
    hold(edit, VK_SHIFT, false);
    EXPECT_EQ(GetFocus(), button);
}

TEST_F(ControlsTest, GetDlgItemFindsAChildById)
{
    HWND button = control(BUTTON_CLASS, u"OK", BS_PUSHBUTTON, 77);
    EXPECT_EQ(GetDlgItem(parent, 77), button);
    EXPECT_EQ(GetDlgItem(parent, 78), nullptr);
}

} // namespace
