// Tests of the message queues: the order GetMessageW takes messages in, the end when nothing can
// arrive, timers, posts across threads, what destroying a window takes with it, keyboard state,
// characters, focus and accelerators.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "platform/KvoKernel.h"
#include "platform/KvoWindows.h"

namespace {

constexpr UINT MSG_FIRST = WM_APP + 1;
constexpr UINT MSG_SECOND = WM_APP + 2;
constexpr UINT MSG_DESTROY_SELF = WM_APP + 3; // the procedure destroys its window
constexpr UINT MSG_NESTED = WM_APP + 4;       // the procedure takes and dispatches the next message

struct Received {
    HWND hwnd;
    UINT msg;
    WPARAM wParam;
};
std::vector<Received> received;

LRESULT queueProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    received.push_back({hwnd, msg, wParam});
    if (msg == MSG_DESTROY_SELF) {
        DestroyWindow(hwnd);
    } else if (msg == MSG_NESTED) {
        MSG next{};
        if (GetMessageW(&next, nullptr, 0, 0) > 0) {
            DispatchMessageW(&next);
        }
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

int timerCalls;
void timerProc(HWND, UINT, UINT_PTR, DWORD)
{
    ++timerCalls;
}

class QueueTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        received.clear();
        WNDCLASSW wc{};
        wc.lpfnWndProc = queueProc;
        wc.lpszClassName = u"KvoTestQueue";
        ASSERT_NE(RegisterClassW(&wc), 0);
    }

    void TearDown() override
    {
        for (HWND hwnd : m_created) {
            DestroyWindow(hwnd);
        }
        EXPECT_TRUE(UnregisterClassW(u"KvoTestQueue", nullptr));
    }

    HWND create(DWORD style = 0)
    {
        m_created.push_back(
            CreateWindowExW(0, u"KvoTestQueue", u"", style, 0, 0, 50, 50, nullptr, nullptr, nullptr, nullptr));
        return m_created.back();
    }

    static bool wasReceived(HWND hwnd, UINT msg, WPARAM wParam)
    {
        for (const Received& r : received) {
            if (r.hwnd == hwnd && r.msg == msg && r.wParam == wParam) {
                return true;
            }
        }
        return false;
    }

    std::vector<HWND> m_created;
};

TEST_F(QueueTest, PostedThenQuitThenPaintThenTimerThenTheEnd)
{
    HWND hwnd = create(WS_VISIBLE); // shown, so it needs painting
    ASSERT_NE(SetTimer(hwnd, 5, 10, nullptr), 0u);
    PostQuitMessage(7);
    ASSERT_TRUE(PostMessageW(hwnd, MSG_FIRST, 1, 2));
    MSG msg{};
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, MSG_FIRST);
    EXPECT_EQ(msg.hwnd, hwnd);
    EXPECT_EQ(msg.lParam, 2);
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), FALSE);
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(msg.wParam, 7u);
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, WM_PAINT);
    EXPECT_EQ(msg.hwnd, hwnd);
    DispatchMessageW(&msg); // the default painting validates
    // The timer comes once it is due; GetMessageW waits for it.
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, WM_TIMER);
    EXPECT_EQ(msg.wParam, 5u);
    EXPECT_TRUE(KillTimer(hwnd, 5));
    EXPECT_FALSE(KillTimer(hwnd, 5));
    SetLastError(0);
    EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), -1) << "nothing can arrive any more";
    EXPECT_EQ(GetLastError(), ERROR_NO_MESSAGE);
    EXPECT_EQ(GetMessageW(nullptr, nullptr, 0, 0), -1);

    // Filters by message range and window; PM_NOREMOVE leaves the message.
    HWND other = create();
    PostMessageW(hwnd, MSG_FIRST, 0, 0);
    PostMessageW(other, MSG_SECOND, 0, 0);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_REMOVE));
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, MSG_SECOND, MSG_SECOND, PM_NOREMOVE));
    ASSERT_TRUE(PeekMessageW(&msg, other, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, MSG_SECOND);
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, MSG_FIRST);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    DestroyWindow(other);
    EXPECT_EQ(GetMessageW(&msg, other, 0, 0), -1) << "a stale window filter";
}

TEST_F(QueueTest, TimerProceduresAreCalledOnlyForTheirTimers)
{
    HWND hwnd = create();
    timerCalls = 0;
    const UINT_PTR id = SetTimer(nullptr, 0, 10, timerProc);
    ASSERT_NE(id, 0u);
    MSG msg{};
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, WM_TIMER);
    EXPECT_EQ(msg.hwnd, nullptr);
    EXPECT_EQ(msg.wParam, id);
    DispatchMessageW(&msg);
    EXPECT_EQ(timerCalls, 1);

    // A posted WM_TIMER naming a procedure of no such timer reaches the window, not the address.
    const MSG forged{hwnd, WM_TIMER, id + 1, reinterpret_cast<LPARAM>(&timerProc), 0, {0, 0}};
    DispatchMessageW(&forged);
    const MSG wild{hwnd, WM_TIMER, id, 0x1234, 0, {0, 0}};
    DispatchMessageW(&wild);
    EXPECT_EQ(timerCalls, 1);
    EXPECT_TRUE(wasReceived(hwnd, WM_TIMER, id));
    EXPECT_TRUE(KillTimer(nullptr, id));
}

TEST_F(QueueTest, DestroyedWindowsTakeTheirTimersAndPostsWithThem)
{
    HWND hwnd = create();
    ASSERT_NE(SetTimer(hwnd, 1, 10, nullptr), 0u);
    ASSERT_TRUE(PostMessageW(hwnd, MSG_FIRST, 0, 0));
    DestroyWindow(hwnd);
    MSG msg{};
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), -1);
    EXPECT_FALSE(PostMessageW(hwnd, MSG_FIRST, 0, 0));
    EXPECT_EQ(SetTimer(hwnd, 1, 10, nullptr), 0u);

    // A procedure destroys its window while handling a posted message; one takes the next
    // message itself, re-entering the loop.
    HWND dying = create();
    HWND nesting = create();
    PostMessageW(dying, MSG_DESTROY_SELF, 0, 0);
    PostMessageW(dying, MSG_FIRST, 0, 0);
    PostMessageW(nesting, MSG_NESTED, 0, 0);
    PostMessageW(nesting, MSG_SECOND, 0, 0);
    std::vector<UINT> seen;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        seen.push_back(msg.message);
        DispatchMessageW(&msg);
    }
    EXPECT_EQ(seen, (std::vector<UINT>{MSG_DESTROY_SELF, MSG_NESTED}));
    EXPECT_FALSE(IsWindow(dying));
    EXPECT_TRUE(wasReceived(nesting, MSG_SECOND, 0));
    EXPECT_FALSE(wasReceived(dying, MSG_FIRST, 0));
}

TEST_F(QueueTest, PostsFromAnotherThreadWakeTheWaitingThread)
{
    std::promise<HWND> created;
    std::atomic<UINT> taken{0};
    std::thread worker([&created, &taken] {
        HWND hwnd =
            CreateWindowExW(0, u"KvoTestQueue", u"", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
        // A distant timer keeps GetMessageW waiting rather than reporting that nothing can arrive.
        const UINT_PTR timer = SetTimer(nullptr, 0, 60000, nullptr);
        created.set_value(hwnd);
        MSG msg{};
        if (GetMessageW(&msg, nullptr, 0, 0) == TRUE) {
            taken = msg.message;
        }
        KillTimer(nullptr, timer);
        DestroyWindow(hwnd);
    });
    HWND hwnd = created.get_future().get();
    EXPECT_TRUE(PostMessageW(hwnd, MSG_SECOND, 0, 0));
    worker.join();
    EXPECT_EQ(taken.load(), MSG_SECOND);

    // A window whose thread has ended takes no posts.
    HWND orphan = nullptr;
    std::thread([&orphan] {
        orphan = CreateWindowExW(0, u"KvoTestQueue", u"", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    }).join();
    m_created.push_back(orphan);
    EXPECT_FALSE(PostMessageW(orphan, MSG_FIRST, 0, 0));
}

TEST_F(QueueTest, KeysFocusCharactersAndAccelerators)
{
    HWND hwnd = create();
    HWND other = create();
    EXPECT_EQ(SetFocus(hwnd), nullptr);
    EXPECT_EQ(GetFocus(), hwnd);
    EXPECT_TRUE(wasReceived(hwnd, WM_SETFOCUS, 0));
    EXPECT_EQ(SetFocus(reinterpret_cast<HWND>(0x7ffffff0)), nullptr);
    EXPECT_EQ(GetFocus(), hwnd);

    // Keys posted to no window go to the focus; the character comes before later posts.
    PostMessageW(nullptr, WM_KEYDOWN, VK_SHIFT, 0);
    PostMessageW(nullptr, WM_KEYDOWN, 'A', 0);
    PostMessageW(nullptr, MSG_FIRST, 0, 0);
    MSG msg{};
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.hwnd, hwnd);
    EXPECT_LT(GetKeyState(VK_SHIFT), 0);
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_TRUE(TranslateMessage(&msg));
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, WM_CHAR);
    EXPECT_EQ(msg.wParam, static_cast<WPARAM>('A'));
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, MSG_FIRST);

    const ACCEL entries[] = {{FVIRTKEY | FCONTROL, 'S', 100}, {FVIRTKEY, 'S', 101}, {0, 'a', 102}, {FALT, 'x', 103}};
    HACCEL table = CreateAcceleratorTableW(entries, 4);
    ASSERT_NE(table, nullptr);
    EXPECT_LE(reinterpret_cast<std::uintptr_t>(table), 0x7fffffffu);
    MSG key{hwnd, WM_KEYDOWN, 'S', 0, 0, {0, 0}};
    EXPECT_FALSE(TranslateAcceleratorW(hwnd, table, &key)) << "no entry with Shift";
    const auto press = [&msg](UINT message, WPARAM virtualKey) {
        PostMessageW(nullptr, message, virtualKey, 0);
        GetMessageW(&msg, nullptr, 0, 0);
    };
    press(WM_KEYUP, VK_SHIFT);
    press(WM_KEYDOWN, VK_CONTROL);
    received.clear();
    EXPECT_TRUE(TranslateAcceleratorW(hwnd, table, &key));
    EXPECT_TRUE(wasReceived(hwnd, WM_COMMAND, 100 | (1 << 16)));
    press(WM_KEYUP, VK_CONTROL);
    EXPECT_TRUE(TranslateAcceleratorW(hwnd, table, &key));
    EXPECT_TRUE(wasReceived(hwnd, WM_COMMAND, 101 | (1 << 16)));
    MSG character{hwnd, WM_CHAR, 'a', 0, 0, {0, 0}};
    EXPECT_TRUE(TranslateAcceleratorW(hwnd, table, &character));
    EXPECT_TRUE(wasReceived(hwnd, WM_COMMAND, 102 | (1 << 16)));
    character.wParam = 'x';
    EXPECT_FALSE(TranslateAcceleratorW(hwnd, table, &character));
    character.message = WM_SYSCHAR;
    EXPECT_TRUE(TranslateAcceleratorW(hwnd, table, &character));
    EXPECT_TRUE(DestroyAcceleratorTable(table));
    EXPECT_FALSE(DestroyAcceleratorTable(table));
    EXPECT_FALSE(TranslateAcceleratorW(hwnd, table, &key));
    EXPECT_EQ(CreateAcceleratorTableW(entries, 0), nullptr);
    EXPECT_EQ(CreateAcceleratorTableW(entries, 40000), nullptr);
    EXPECT_EQ(CreateAcceleratorTableW(nullptr, 1), nullptr);

    received.clear();
    EXPECT_EQ(SetFocus(other), hwnd);
    EXPECT_TRUE(wasReceived(hwnd, WM_KILLFOCUS, reinterpret_cast<WPARAM>(other)));
    DestroyWindow(other);
    EXPECT_EQ(GetFocus(), nullptr);

    const INITCOMMONCONTROLSEX init{sizeof(INITCOMMONCONTROLSEX), 0xff};
    EXPECT_TRUE(InitCommonControlsEx(&init));
    const INITCOMMONCONTROLSEX wrong{4, 0};
    EXPECT_FALSE(InitCommonControlsEx(&wrong));
}

} // namespace
