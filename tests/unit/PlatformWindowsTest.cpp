// Tests of the in-process window system: registered message names, window classes, creation and
// destruction with their messages, subclassing, window values and text, and procedures that
// destroy windows while handling a message.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/KvoWindows.h"

namespace {

constexpr UINT MSG_ADD = WM_USER + 1;          // replies wParam + lParam
constexpr UINT MSG_DESTROY_SELF = WM_USER + 2; // destroys its own window, then replies 5
constexpr UINT MSG_SUBCLASSED = WM_APP + 3;    // answered only by the subclass procedure

struct Received {
    HWND hwnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<Received> received;
CREATESTRUCTW lastCreate{};
int refuseNcCreate; // creation parameters the recorder refuses at WM_NCCREATE / WM_CREATE
int refuseCreate;
std::map<HWND, HWND> destroyOnDestroy;     // handling WM_DESTROY, key destroys value
std::map<HWND, HWND> createChildOnDestroy; // handling WM_DESTROY, key creates a child of value
HWND childCreatedDuringDestroy;

LRESULT recorderProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    received.push_back({hwnd, msg, wParam, lParam});
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    switch (msg) {
    case WM_NCCREATE:
        return create->lpCreateParams == &refuseNcCreate ? FALSE : TRUE;
    case WM_CREATE:
        lastCreate = *create;
        return create->lpCreateParams == &refuseCreate ? -1 : 0;
    case WM_DESTROY:
        if (destroyOnDestroy.count(hwnd) != 0) {
            DestroyWindow(destroyOnDestroy[hwnd]);
        }
        if (createChildOnDestroy.count(hwnd) != 0) {
            childCreatedDuringDestroy = CreateWindowExW(0, u"KvoTestRecorder", u"", 0, 0, 0, 1, 1,
                                                        createChildOnDestroy[hwnd], nullptr, nullptr, nullptr);
        }
        return 0;
    case MSG_ADD:
        return static_cast<LRESULT>(wParam) + lParam;
    case MSG_DESTROY_SELF:
        EXPECT_TRUE(DestroyWindow(hwnd));
        EXPECT_FALSE(SetWindowTextW(hwnd, u"late"));
        EXPECT_EQ(SendMessageW(hwnd, MSG_ADD, 1, 2), 0);
        return 5;
    default:
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

WNDPROC subclassedProcedure;

LRESULT subclassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == MSG_SUBCLASSED) {
        return 77;
    }
    // Passes the rest on, MSG_ADD with a changed argument.
    return CallWindowProcW(subclassedProcedure, hwnd, msg, msg == MSG_ADD ? wParam * 10 : wParam, lParam);
}

WNDCLASSW classRecord(const KvoChar* name, WNDPROC procedure, int windowExtra = 0)
{
    WNDCLASSW wc{};
    wc.lpfnWndProc = procedure;
    wc.cbWndExtra = windowExtra;
    wc.lpszClassName = name;
    return wc;
}

// Registers the recorder class; destroys what a test leaves behind and unregisters the class.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        received.clear();
        destroyOnDestroy.clear();
        createChildOnDestroy.clear();
        const WNDCLASSW wc = classRecord(u"KvoTestRecorder", recorderProc, 16);
        m_atom = RegisterClassW(&wc);
        ASSERT_NE(m_atom, 0);
    }

    void TearDown() override
    {
        for (HWND hwnd : m_created) {
            DestroyWindow(hwnd);
        }
        EXPECT_TRUE(UnregisterClassW(u"KvoTestRecorder", nullptr)) << "a window of the class is left";
    }

    HWND create(const KvoChar* text = u"", HWND parent = nullptr, void* param = nullptr)
    {
        m_created.push_back(CreateWindowExW(0x10, u"KvoTestRecorder", text, 0x20, 1, 2, 30, 40, parent,
                                            reinterpret_cast<HMENU>(7), nullptr, param));
        return m_created.back();
    }

    // The windows that received msg, in order.
    static std::vector<HWND> receivers(UINT msg)
    {
        std::vector<HWND> result;
        for (const Received& r : received) {
            if (r.msg == msg) {
                result.push_back(r.hwnd);
            }
        }
        return result;
    }

    static long timesReceived(UINT msg, HWND hwnd)
    {
        const std::vector<HWND> windows = receivers(msg);
        return std::count(windows.begin(), windows.end(), hwnd);
    }

    ATOM m_atom = 0;
    std::vector<HWND> m_created;
};

TEST(RegisteredMessageTest, OneIdPerNameIgnoringCase)
{
    const UINT first = RegisterWindowMessageW(u"KvoTestMessageOne");
    EXPECT_GE(first, FIRST_REGISTERED_MESSAGE);
    EXPECT_EQ(RegisterWindowMessageW(u"kvotestmessageONE"), first);
    EXPECT_EQ(RegisterWindowMessageW(u"\u00C4rger"), RegisterWindowMessageW(u"\u00E4RGER"));
    const UINT second = RegisterWindowMessageW(u"KvoTestMessageOne ");
    EXPECT_GE(second, FIRST_REGISTERED_MESSAGE);
    EXPECT_NE(second, first);

    EXPECT_EQ(RegisterWindowMessageW(nullptr), 0u);
    EXPECT_EQ(RegisterWindowMessageW(u""), 0u);
    EXPECT_NE(RegisterWindowMessageW(std::u16string(MAX_ATOM_NAME_LENGTH, u'm').c_str()), 0u);
    EXPECT_EQ(RegisterWindowMessageW(std::u16string(MAX_ATOM_NAME_LENGTH + 1, u'm').c_str()), 0u);
}

TEST(RegisteredMessageTest, ConcurrentRegistrationAgrees)
{
    constexpr int THREADS = 6;
    constexpr int NAMES = 64;
    std::vector<std::vector<UINT>> ids(THREADS, std::vector<UINT>(NAMES));
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&ids, t] {
            // Each thread starts at another name; odd threads use upper case.
            for (int k = 0; k < NAMES; ++k) {
                const int i = (k + t * 11) % NAMES;
                const KvoChar base = t % 2 == 0 ? u'a' : u'A';
                const std::u16string name = {u'M', static_cast<KvoChar>(base + i / 16), static_cast<KvoChar>(base + i % 16)};
                ids[t][i] = RegisterWindowMessageW(name.c_str());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int t = 1; t < THREADS; ++t) {
        EXPECT_EQ(ids[t], ids[0]);
    }
    std::vector<UINT> sorted = ids[0];
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
    EXPECT_GE(sorted.front(), FIRST_REGISTERED_MESSAGE);
}

TEST(RegisteredMessageDeathTest, RangeRunsOutWithZero)
{
    // In a child process: the range is process-wide and used up for good.
    EXPECT_EXIT(
        {
            const UINT known = RegisterWindowMessageW(u"KvoKnownBeforeFill");
            UINT last = 0;
            for (KvoChar i = 0;; ++i) {
                const KvoChar name[] = u"F\u4E00";
                std::u16string unique(name);
                unique[1] = static_cast<KvoChar>(unique[1] + i);
                const UINT id = RegisterWindowMessageW(unique.c_str());
                if (id == 0) {
                    break;
                }
                last = id;
            }
            const bool stillKnown = RegisterWindowMessageW(u"kvoknownbeforefill") == known;
            std::exit(last == LAST_REGISTERED_MESSAGE && stillKnown ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(WindowTest, ClassRegistration)
{
    const WNDCLASSW again = classRecord(u"kvotestrecorder", recorderProc);
    EXPECT_EQ(RegisterClassW(&again), 0) << "duplicate name in other case";
    const WNDCLASSW noProc = classRecord(u"KvoTestNoProc", nullptr);
    EXPECT_EQ(RegisterClassW(&noProc), 0);
    const WNDCLASSW badExtra = classRecord(u"KvoTestBadExtra", recorderProc, -4);
    EXPECT_EQ(RegisterClassW(&badExtra), 0);

    WNDCLASSW info{};
    ASSERT_TRUE(GetClassInfoW(nullptr, MAKEINTATOM(m_atom), &info));
    EXPECT_EQ(info.lpfnWndProc, recorderProc);
    EXPECT_EQ(info.cbWndExtra, 16);
    EXPECT_EQ(CreateWindowExW(0, u"KvoNoSuchClass", u"", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr), nullptr);

    // A class stays while it has windows; registered again, its name keeps its atom.
    HWND hwnd = create();
    EXPECT_FALSE(UnregisterClassW(u"KVOTESTRECORDER", nullptr));
    DestroyWindow(hwnd);
    EXPECT_TRUE(UnregisterClassW(u"KVOTESTRECORDER", nullptr));
    const WNDCLASSW wc = classRecord(u"KvoTestRecorder", recorderProc, 16);
    EXPECT_EQ(RegisterClassW(&wc), m_atom);
}

TEST_F(WindowTest, CreationSendsCreateWithItsParameters)
{
    int param = 0;
    HWND parent = create();
    HWND hwnd = create(u"hello", parent, &param);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(receivers(WM_NCCREATE).back(), hwnd);
    EXPECT_EQ(receivers(WM_CREATE).back(), hwnd);
    EXPECT_EQ(lastCreate.lpCreateParams, &param);
    EXPECT_EQ(lastCreate.hwndParent, parent);
    EXPECT_EQ(std::u16string(lastCreate.lpszName), u"hello");
    EXPECT_EQ(lastCreate.cx, 30);
    EXPECT_EQ(GetParent(hwnd), parent);
    EXPECT_EQ(GetWindowLongPtrW(hwnd, GWLP_ID), 7);
    EXPECT_EQ(GetWindowLongPtrW(hwnd, GWL_STYLE), 0x20);
    // Handles are positive 32-bit numbers that a script can hold, and never come back.
    EXPECT_LE(reinterpret_cast<std::uintptr_t>(hwnd), 0x7fffffffu);
    DestroyWindow(hwnd);
    EXPECT_NE(create(), hwnd);
    EXPECT_FALSE(IsWindow(hwnd));
}

TEST_F(WindowTest, RefusedCreationDestroysTheWindow)
{
    EXPECT_EQ(create(u"", nullptr, &refuseCreate), nullptr);
    ASSERT_EQ(receivers(WM_CREATE).size(), 1u);
    HWND refused = receivers(WM_CREATE)[0];
    EXPECT_EQ(receivers(WM_DESTROY), std::vector<HWND>{refused});
    EXPECT_EQ(receivers(WM_NCDESTROY), std::vector<HWND>{refused});
    EXPECT_FALSE(IsWindow(refused));

    received.clear();
    EXPECT_EQ(create(u"", nullptr, &refuseNcCreate), nullptr);
    EXPECT_TRUE(receivers(WM_CREATE).empty());
}

TEST_F(WindowTest, NestingLimit)
{
    HWND parent = create();
    for (int depth = 1; depth <= MAX_WINDOW_NESTING; ++depth) {
        parent = CreateWindowExW(0, u"KvoTestRecorder", u"", 0, 0, 0, 1, 1, parent, nullptr, nullptr, nullptr);
        ASSERT_NE(parent, nullptr) << "depth " << depth;
    }
    EXPECT_EQ(CreateWindowExW(0, u"KvoTestRecorder", u"", 0, 0, 0, 1, 1, parent, nullptr, nullptr, nullptr), nullptr);
}

TEST_F(WindowTest, MessagesSubclassingAndWindowValues)
{
    HWND hwnd = create();
    received.clear();
    EXPECT_EQ(SendMessageW(hwnd, MSG_ADD, 40, -2), 38);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].wParam, 40u);
    EXPECT_EQ(received[0].lParam, -2);

    subclassedProcedure = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(subclassProc)));
    EXPECT_EQ(subclassedProcedure, recorderProc);
    EXPECT_EQ(SendMessageW(hwnd, MSG_SUBCLASSED, 0, 0), 77);
    EXPECT_EQ(SendMessageW(hwnd, MSG_ADD, 4, 2), 42);
    EXPECT_EQ(SetWindowLongPtrW(hwnd, GWLP_WNDPROC, 0), 0) << "null procedure refused";
    EXPECT_EQ(SendMessageW(hwnd, MSG_SUBCLASSED, 0, 0), 77);
    EXPECT_EQ(SendMessageW(create(), MSG_SUBCLASSED, 0, 0), 0) << "other windows keep the class procedure";

    EXPECT_EQ(SetWindowLongPtrW(hwnd, GWLP_USERDATA, 1234), 0);
    EXPECT_EQ(SetWindowLongPtrW(hwnd, GWLP_USERDATA, -5), 1234);
    EXPECT_EQ(GetWindowLongPtrW(hwnd, GWLP_USERDATA), -5);
    // 16 extra bytes: whole values fit at 0 to 8; 9 would run past the end.
    EXPECT_EQ(SetWindowLongPtrW(hwnd, 8, 22), 0);
    EXPECT_EQ(SetWindowLongPtrW(hwnd, 9, 33), 0);
    EXPECT_EQ(GetWindowLongPtrW(hwnd, 8), 22);
    EXPECT_EQ(GetWindowLongPtrW(hwnd, 9), 0);
    EXPECT_EQ(GetWindowLongPtrW(hwnd, -100), 0);
}

TEST_F(WindowTest, TextRoundTrip)
{
    HWND hwnd = create(u"caption");
    KvoChar buffer[16];
    EXPECT_EQ(GetWindowTextLengthW(hwnd), 7);
    EXPECT_EQ(GetWindowTextW(hwnd, buffer, 16), 7);
    EXPECT_EQ(std::u16string(buffer), u"caption");
    const std::u16string text = u"\u00E9t\u00E9 \U0001F600";
    EXPECT_TRUE(SetWindowTextW(hwnd, text.c_str()));
    EXPECT_EQ(GetWindowTextW(hwnd, buffer, 16), static_cast<int>(text.size()));
    EXPECT_EQ(std::u16string(buffer), text);
    EXPECT_EQ(GetWindowTextW(hwnd, buffer, 3), 2) << "cut to fit, terminated";
    EXPECT_EQ(std::u16string(buffer), text.substr(0, 2));
    EXPECT_TRUE(SetWindowTextW(hwnd, nullptr));
    EXPECT_EQ(GetWindowTextLengthW(hwnd), 0);

    DestroyWindow(hwnd);
    buffer[0] = u'x';
    EXPECT_EQ(GetWindowTextW(hwnd, buffer, 16), 0);
    EXPECT_EQ(buffer[0], 0);
}

TEST_F(WindowTest, DestroySendsItsMessagesOnce)
{
    HWND hwnd = create();
    received.clear();
    EXPECT_TRUE(DestroyWindow(hwnd));
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].msg, WM_DESTROY);
    EXPECT_EQ(received[1].msg, WM_NCDESTROY);
    EXPECT_FALSE(IsWindow(hwnd));
    received.clear();
    EXPECT_FALSE(DestroyWindow(hwnd));
    EXPECT_EQ(SendMessageW(hwnd, MSG_ADD, 1, 2), 0);
    EXPECT_TRUE(received.empty());

    HWND closed = create();
    EXPECT_EQ(SendMessageW(closed, WM_CLOSE, 0, 0), 0);
    EXPECT_FALSE(IsWindow(closed));
}

TEST_F(WindowTest, ProcedureDestroysItsOwnWindow)
{
    HWND hwnd = create();
    EXPECT_EQ(SendMessageW(hwnd, MSG_DESTROY_SELF, 0, 0), 5);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(timesReceived(WM_DESTROY, hwnd), 1);
    // Destroying itself again while handling WM_DESTROY is refused, not repeated.
    HWND other = create();
    destroyOnDestroy[other] = other;
    EXPECT_TRUE(DestroyWindow(other));
    EXPECT_EQ(timesReceived(WM_DESTROY, other), 1);
}

TEST_F(WindowTest, ChildrenAreDestroyedWithTheirParent)
{
    HWND parent = create();
    HWND first = create(u"", parent);
    HWND grandchild = create(u"", first);
    HWND second = create(u"", parent);
    HWND alone = create(u"", parent);
    EXPECT_TRUE(DestroyWindow(alone));
    received.clear();
    EXPECT_TRUE(DestroyWindow(parent));
    EXPECT_EQ(receivers(WM_DESTROY), (std::vector<HWND>{parent, first, grandchild, second}));
    const std::vector<HWND> freed = receivers(WM_NCDESTROY);
    ASSERT_EQ(freed.size(), 4u);
    const auto position = [&](HWND hwnd) { return std::find(freed.begin(), freed.end(), hwnd) - freed.begin(); };
    EXPECT_LT(position(grandchild), position(first));
    EXPECT_LT(position(first), position(parent));
    EXPECT_LT(position(second), position(parent));
    for (HWND hwnd : {parent, first, grandchild, second}) {
        EXPECT_FALSE(IsWindow(hwnd));
    }
}

TEST_F(WindowTest, ReentrantDestructionOfTheFamily)
{
    // A dying child destroys its parent; the parent takes no new child while it dies.
    HWND parent = create();
    HWND child = create(u"", parent);
    HWND sibling = create(u"", parent);
    destroyOnDestroy[child] = parent;
    createChildOnDestroy[parent] = parent;
    childCreatedDuringDestroy = sibling;
    EXPECT_TRUE(DestroyWindow(child));
    EXPECT_EQ(childCreatedDuringDestroy, nullptr);
    for (HWND hwnd : {parent, child, sibling}) {
        EXPECT_FALSE(IsWindow(hwnd));
        EXPECT_EQ(timesReceived(WM_DESTROY, hwnd), 1);
        EXPECT_EQ(timesReceived(WM_NCDESTROY, hwnd), 1);
    }
}

LRESULT addingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    return msg == MSG_ADD ? static_cast<LRESULT>(wParam) + lParam : DefWindowProcW(hwnd, msg, wParam, lParam);
}

TEST(WindowThreadTest, ConcurrentWindowsStayConsistent)
{
    const WNDCLASSW wc = classRecord(u"KvoTestAdding", addingProc);
    ASSERT_NE(RegisterClassW(&wc), 0);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&failures] {
            std::vector<HWND> mine;
            for (int i = 0; i < 200; ++i) {
                HWND hwnd = CreateWindowExW(0, u"KvoTestAdding", u"w", 0, 0, 0, 1, 1,
                                            mine.empty() ? nullptr : mine.front(), nullptr, nullptr, nullptr);
                failures += hwnd == nullptr || SendMessageW(hwnd, MSG_ADD, i, 1) != i + 1;
                mine.push_back(hwnd);
            }
            failures += !DestroyWindow(mine.front());
            failures += std::count_if(mine.begin(), mine.end(), IsWindow);
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(UnregisterClassW(u"KvoTestAdding", nullptr));
}

} // namespace
