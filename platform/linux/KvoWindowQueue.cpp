// The message queue of each thread (see KvoWindows.h): posted messages, the quit request, painting
// and timers in the order GetMessageW takes them, keyboard state and focus, and accelerator
// tables.
//
// A queue is registered in the window system's table by its thread's first call and removed when
// the thread ends, so a post to a window whose thread is gone fails instead of piling up. Queues
// share the window system's lock; GetMessageW sleeps on its queue's condition variable until the
// next timer is due or another thread posts, invalidates or sets a timer for it.
#include <algorithm>
#include <chrono>
#include <mutex>

#include "platform/KvoClock.h"
#include "platform/KvoKernel.h"
#include "platform/linux/KvoWindowInternal.h"
#include "platform/linux/KvoWindowState.h"
#include "platform/linux/KvoX11.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_NOT_ENOUGH_QUOTA = 1816;
// The elapse bounds of SetTimer, as on the desktop.
constexpr UINT MIN_TIMER_ELAPSE = 10;
constexpr UINT MAX_TIMER_ELAPSE = 0x7fffffff;
constexpr int MAX_ACCELERATORS_PER_TABLE = 32767;
// Bit 29 of a key message's lParam: the Alt key was down.
constexpr LPARAM KEY_CONTEXT_ALT = 1 << 29;

// The calling thread's hold on its queue; the destructor takes the queue out of the table when
// the thread ends.
struct QueueOwner {
    std::shared_ptr<kvowin::ThreadQueue> queue;
    ~QueueOwner()
    {
        if (queue != nullptr) {
            kvowin::WindowSystem& state = kvowin::windowSystem();
            std::lock_guard<std::mutex> guard(state.lock);
            state.queues.erase(std::this_thread::get_id());
        }
    }
};
thread_local QueueOwner currentOwner;

} // namespace

namespace kvowin {

ThreadQueue& currentQueueLocked(WindowSystem& state)
{
    if (currentOwner.queue == nullptr) {
        currentOwner.queue = std::make_shared<ThreadQueue>();
        state.queues[std::this_thread::get_id()] = currentOwner.queue;
    }
    return *currentOwner.queue;
}

ThreadQueue* windowQueueLocked(WindowSystem& state, const WindowRecord& window)
{
    auto found = state.queues.find(window.thread);
    return found == state.queues.end() ? nullptr : found->second.get();
}

void forgetWindowLocked(WindowSystem& state, const WindowRecord& window)
{
    ThreadQueue* queue = windowQueueLocked(state, window);
    if (queue == nullptr) {
        return;
    }
    const HWND hwnd = window.handle;
    std::erase_if(queue->posted, [hwnd](const MSG& msg) { return msg.hwnd == hwnd; });
    std::erase_if(queue->timers, [hwnd](const Timer& timer) { return timer.hwnd == hwnd; });
    if (queue->focus == hwnd) {
        queue->focus = nullptr;
    }
    if (queue->capture == hwnd) {
        queue->capture = nullptr;
    }
}

} // namespace kvowin

namespace {

using namespace kvowin;

bool inFilter(UINT message, UINT minFilter, UINT maxFilter)
{
    return (minFilter == 0 && maxFilter == 0) || (message >= minFilter && message <= maxFilter);
}

bool isKeyMessage(UINT message)
{
    return message >= WM_KEYDOWN && message <= WM_SYSCHAR;
}

MSG makeMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    return MSG{hwnd, message, wParam, lParam, GetTickCount(), POINT{0, 0}};
}

// Records a retrieved key message in the thread's key state.
void noteKeyLocked(ThreadQueue& queue, const MSG& msg)
{
    if (msg.wParam >= 256) {
        return;
    }
    BYTE& key = queue.keys[msg.wParam];
    if (msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN) {
        if ((key & 0x80) == 0) {
            key ^= 0x01;
        }
        key |= 0x80;
    } else if (msg.message == WM_KEYUP || msg.message == WM_SYSKEYUP) {
        key &= static_cast<BYTE>(~0x80);
    }
}

bool isKeyDownLocked(WindowSystem& state, int virtualKey)
{
    return (currentQueueLocked(state).keys[virtualKey] & 0x80) != 0;
}

// The first window of the calling thread that needs painting, parents before children and
// topmost families first; hidden windows and their descendants are skipped.
HWND windowToPaintLocked(WindowSystem& state, HWND filter)
{
    const std::thread::id self = std::this_thread::get_id();
    std::vector<HWND> pending(state.topLevel.rbegin(), state.topLevel.rend());
    while (!pending.empty()) {
        const HWND hwnd = pending.back();
        pending.pop_back();
        const WindowRecord* window = findWindowLocked(state, hwnd);
        if (window == nullptr || (window->style & WS_VISIBLE) == 0) {
            continue;
        }
        if (window->thread == self && !isEmpty(window->update) && (filter == nullptr || filter == hwnd)) {
            return hwnd;
        }
        pending.insert(pending.end(), window->children.rbegin(), window->children.rend());
    }
    return nullptr;
}

// Finds the next message for the calling thread in the documented order and, when remove is set,
// takes it. When none is there, timerPending tells whether a timer may still bring one and
// nextDue when.
bool fetchLocked(WindowSystem& state, MSG& out, HWND filter, UINT minFilter, UINT maxFilter, bool remove,
                 Clock::time_point& nextDue, bool& timerPending)
{
    ThreadQueue& queue = currentQueueLocked(state);
    timerPending = false;
    for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
        if ((filter == nullptr || it->hwnd == filter) && inFilter(it->message, minFilter, maxFilter)) {
            out = *it;
            if (remove) {
                queue.posted.erase(it);
                noteKeyLocked(queue, out);
            }
            return true;
        }
    }
    // The quit request ends a loop whatever its filters.
    if (queue.quitPosted) {
        out = makeMessage(nullptr, WM_QUIT, static_cast<WPARAM>(static_cast<LPARAM>(queue.quitCode)), 0);
        if (remove) {
            queue.quitPosted = false;
        }
        return true;
    }
    if (inFilter(WM_PAINT, minFilter, maxFilter)) {
        if (HWND hwnd = windowToPaintLocked(state, filter)) {
            out = makeMessage(hwnd, WM_PAINT, 0, 0);
            return true;
        }
    }
    if (!inFilter(WM_TIMER, minFilter, maxFilter)) {
        return false;
    }
    Timer* earliest = nullptr;
    for (Timer& timer : queue.timers) {
        if ((filter == nullptr || timer.hwnd == filter) && (earliest == nullptr || timer.due < earliest->due)) {
            earliest = &timer;
        }
    }
    if (earliest == nullptr) {
        return false;
    }
    const Clock::time_point now = Clock::now();
    if (earliest->due > now) {
        timerPending = true;
        nextDue = earliest->due;
        return false;
    }
    out = makeMessage(earliest->hwnd, WM_TIMER, earliest->id, reinterpret_cast<LPARAM>(earliest->procedure));
    // A late timer fires once, not once for every period it missed.
    if (remove) {
        earliest->due = now + std::chrono::milliseconds(earliest->elapse);
    }
    return true;
}

// The queue a message for hwnd goes to (null hwnd: the calling thread's); null for an invalid
// window or one whose thread has ended.
ThreadQueue* targetQueueLocked(WindowSystem& state, HWND hwnd)
{
    if (hwnd == nullptr) {
        return &currentQueueLocked(state);
    }
    const WindowRecord* window = findWindowLocked(state, hwnd);
    return window != nullptr ? windowQueueLocked(state, *window) : nullptr;
}

// True when a shown top-level window of the calling thread is on the display.
bool showsWindowLocked(WindowSystem& state)
{
    const std::thread::id self = std::this_thread::get_id();
    for (HWND hwnd : state.topLevel) {
        const WindowRecord* window = findWindowLocked(state, hwnd);
        if (window != nullptr && window->thread == self && (window->style & WS_VISIBLE) != 0 && !window->destroying) {
            return true;
        }
    }
    return false;
}

// Finds the text the display recorded for a key press message, dropping it and every older one.
bool takeKeyTextLocked(ThreadQueue& queue, const MSG& msg, std::u16string& text)
{
    for (auto it = queue.keyTexts.begin(); it != queue.keyTexts.end(); ++it) {
        if (it->virtualKey == msg.wParam && it->lParam == msg.lParam && it->time == msg.time) {
            text = std::move(it->text);
            queue.keyTexts.erase(queue.keyTexts.begin(), it + 1);
            return true;
        }
    }
    return false;
}

// The character a key produces, or 0.
KvoChar keyCharacter(WPARAM virtualKey, bool shift, bool control)
{
    if (virtualKey >= 'A' && virtualKey <= 'Z') {
        if (control) {
            return static_cast<KvoChar>(virtualKey - 'A' + 1);
        }
        return static_cast<KvoChar>(shift ? virtualKey : virtualKey - 'A' + 'a');
    }
    if ((virtualKey >= '0' && virtualKey <= '9') || virtualKey == ' ') {
        return static_cast<KvoChar>(virtualKey);
    }
    switch (virtualKey) {
    case 0x08: // VK_BACK
    case 0x09: // VK_TAB
    case 0x0D: // VK_RETURN
    case 0x1B: // VK_ESCAPE
        return static_cast<KvoChar>(virtualKey);
    default:
        return 0;
    }
}

} // namespace

extern "C" {

BOOL PostMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    ThreadQueue* queue = targetQueueLocked(state, hwnd);
    if (queue == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (queue->posted.size() >= MAX_POSTED_MESSAGES) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    // Key messages posted to no window go to the window with the focus.
    if (hwnd == nullptr && isKeyMessage(msg)) {
        hwnd = queue->focus;
    }
    queue->posted.push_back(makeMessage(hwnd, msg, wParam, lParam));
    queue->wake.notify_all();
    kvoX11Wake();
    return TRUE;
}

void PostQuitMessage(int exitCode)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    ThreadQueue& queue = currentQueueLocked(state);
    queue.quitPosted = true;
    queue.quitCode = exitCode;
}

BOOL GetMessageW(MSG* msg, HWND hwnd, UINT minFilter, UINT maxFilter)
{
    if (msg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    WindowSystem& state = windowSystem();
    std::unique_lock<std::mutex> lock(state.lock);
    ThreadQueue& queue = currentQueueLocked(state);
    for (;;) {
        if (hwnd != nullptr && findWindowLocked(state, hwnd) == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return -1;
        }
        Clock::time_point nextDue;
        bool timerPending = false;
        if (fetchLocked(state, *msg, hwnd, minFilter, maxFilter, true, nextDue, timerPending)) {
            return msg->message == WM_QUIT ? FALSE : TRUE;
        }
        if (kvoDisplayActive()) {
            // The display may bring a message while a window of this thread shows on it.
            if (!timerPending && !showsWindowLocked(state)) {
                SetLastError(ERROR_NO_MESSAGE);
                return -1;
            }
            int timeout = -1;
            if (timerPending) {
                const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextDue - Clock::now()).count();
                timeout = static_cast<int>(std::clamp<long long>(wait, 0, INT32_MAX));
            }
            lock.unlock();
            kvoX11Pump(timeout);
            lock.lock();
            continue;
        }
        // Without a display only a timer can be relied on to bring a message.
        if (!timerPending) {
            SetLastError(ERROR_NO_MESSAGE);
            return -1;
        }
        queue.wake.wait_until(lock, nextDue);
    }
}

BOOL PeekMessageW(MSG* msg, HWND hwnd, UINT minFilter, UINT maxFilter, UINT remove)
{
    if (msg == nullptr) {
        return FALSE;
    }
    // What the display has for the thread comes in first.
    kvoX11Pump(0);
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    if (hwnd != nullptr && findWindowLocked(state, hwnd) == nullptr) {
        return FALSE;
    }
    Clock::time_point nextDue;
    bool timerPending = false;
    return fetchLocked(state, *msg, hwnd, minFilter, maxFilter, (remove & PM_REMOVE) != 0, nextDue, timerPending)
               ? TRUE
               : FALSE;
}

BOOL TranslateMessage(const MSG* msg)
{
    if (msg == nullptr || (msg->message != WM_KEYDOWN && msg->message != WM_SYSKEYDOWN)) {
        return FALSE;
    }
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    // A key from the display types what the keyboard layout gave it; any other key message
    // types what the key's code stands for on a US layout.
    std::u16string text;
    if (!takeKeyTextLocked(currentQueueLocked(state), *msg, text)) {
        const KvoChar character =
            keyCharacter(msg->wParam, isKeyDownLocked(state, VK_SHIFT), isKeyDownLocked(state, VK_CONTROL));
        if (character != 0) {
            text.push_back(character);
        }
    }
    ThreadQueue* queue = targetQueueLocked(state, msg->hwnd);
    if (text.empty() || queue == nullptr || queue->posted.size() + text.size() > MAX_POSTED_MESSAGES) {
        return FALSE;
    }
    // The characters come next, ahead of whatever was posted after the key.
    const UINT charMessage = msg->message == WM_KEYDOWN ? WM_CHAR : WM_SYSCHAR;
    for (auto unit = text.rbegin(); unit != text.rend(); ++unit) {
        queue->posted.push_front(makeMessage(msg->hwnd, charMessage, *unit, msg->lParam));
    }
    queue->wake.notify_all();
    return TRUE;
}

LRESULT DispatchMessageW(const MSG* msg)
{
    if (msg == nullptr) {
        return 0;
    }
    if (msg->message == WM_TIMER && msg->lParam != 0) {
        // A timer procedure is called only when it belongs to a live timer of that window and id:
        // lParam of a posted message is anyone's number, not a function to jump to.
        TIMERPROC procedure = nullptr;
        {
            WindowSystem& state = windowSystem();
            std::lock_guard<std::mutex> guard(state.lock);
            if (ThreadQueue* queue = targetQueueLocked(state, msg->hwnd)) {
                for (const Timer& timer : queue->timers) {
                    if (timer.hwnd == msg->hwnd && timer.id == msg->wParam &&
                        reinterpret_cast<LPARAM>(timer.procedure) == msg->lParam) {
                        procedure = timer.procedure;
                        break;
                    }
                }
            }
        }
        if (procedure != nullptr) {
            procedure(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
            return 0;
        }
    }
    return SendMessageW(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

short GetKeyState(int virtualKey)
{
    if (virtualKey < 0 || virtualKey > 255) {
        return 0;
    }
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    const BYTE key = currentQueueLocked(state).keys[virtualKey];
    return static_cast<short>(((key & 0x80) != 0 ? 0x8000 : 0) | (key & 0x01));
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    ThreadQueue* queue = targetQueueLocked(state, hwnd);
    if (queue == nullptr) {
        return 0;
    }
    elapse = std::clamp(elapse, MIN_TIMER_ELAPSE, MAX_TIMER_ELAPSE);
    auto existing = std::find_if(queue->timers.begin(), queue->timers.end(),
                                 [hwnd, id](const Timer& timer) { return timer.hwnd == hwnd && timer.id == id; });
    if (existing == queue->timers.end()) {
        if (queue->timers.size() >= MAX_TIMERS_PER_THREAD) {
            return 0;
        }
        if (hwnd == nullptr) {
            // A thread timer gets a number of its own unless it restarts one.
            const auto taken = [queue](UINT_PTR candidate) {
                return std::any_of(queue->timers.begin(), queue->timers.end(), [candidate](const Timer& timer) {
                    return timer.hwnd == nullptr && timer.id == candidate;
                });
            };
            do {
                id = queue->nextTimerId;
                queue->nextTimerId = id >= 0x7fff ? 1 : id + 1;
            } while (taken(id));
        }
        existing = queue->timers.insert(queue->timers.end(), Timer{hwnd, id, 0, nullptr, {}});
    }
    existing->elapse = elapse;
    existing->procedure = proc;
    existing->due = Clock::now() + std::chrono::milliseconds(elapse);
    queue->wake.notify_all();
    kvoX11Wake();
    // A window's timer 0 exists too; the caller hears success as on the desktop.
    return id != 0 ? id : 1;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    ThreadQueue* queue = targetQueueLocked(state, hwnd);
    if (queue == nullptr) {
        return FALSE;
    }
    const std::size_t removed = std::erase_if(
        queue->timers, [hwnd, id](const Timer& timer) { return timer.hwnd == hwnd && timer.id == id; });
    return removed != 0 ? TRUE : FALSE;
}

HWND SetFocus(HWND hwnd)
{
    WindowSystem& state = windowSystem();
    HWND previous = nullptr;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        ThreadQueue& queue = currentQueueLocked(state);
        if (hwnd != nullptr) {
            // The focus is the calling thread's; a window of another thread cannot take it.
            const WindowRecord* window = findWindowLocked(state, hwnd);
            if (window == nullptr || window->thread != std::this_thread::get_id()) {
                return nullptr;
            }
        }
        previous = queue.focus;
        if (previous == hwnd) {
            return previous;
        }
        queue.focus = hwnd;
    }
    if (previous != nullptr) {
        SendMessageW(previous, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hwnd), 0);
    }
    if (hwnd != nullptr) {
        SendMessageW(hwnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(previous), 0);
    }
    return previous;
}

HWND GetFocus()
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    return currentQueueLocked(state).focus;
}

HACCEL CreateAcceleratorTableW(const ACCEL* accels, int count)
{
    if (accels == nullptr || count < 1 || count > MAX_ACCELERATORS_PER_TABLE) {
        return nullptr;
    }
    std::vector<ACCEL> table(accels, accels + count);
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.acceleratorEntries + table.size() > MAX_ACCELERATOR_ENTRIES) {
        return nullptr;
    }
    const std::uintptr_t handle = nextFreeHandle(
        state.nextAccelerator, [&state](std::uintptr_t candidate) { return state.accelerators.count(candidate) != 0; });
    state.acceleratorEntries += table.size();
    state.accelerators.emplace(handle, std::move(table));
    return reinterpret_cast<HACCEL>(handle);
}

BOOL DestroyAcceleratorTable(HACCEL table)
{
    WindowSystem& state = windowSystem();
    std::lock_guard<std::mutex> guard(state.lock);
    auto found = state.accelerators.find(reinterpret_cast<std::uintptr_t>(table));
    if (found == state.accelerators.end()) {
        return FALSE;
    }
    state.acceleratorEntries -= found->second.size();
    state.accelerators.erase(found);
    return TRUE;
}

int TranslateAcceleratorW(HWND hwnd, HACCEL table, MSG* msg)
{
    if (msg == nullptr) {
        return FALSE;
    }
    const bool keyDown = msg->message == WM_KEYDOWN || msg->message == WM_SYSKEYDOWN;
    const bool character = msg->message == WM_CHAR || msg->message == WM_SYSCHAR;
    if (!keyDown && !character) {
        return FALSE;
    }
    WORD command = 0;
    {
        WindowSystem& state = windowSystem();
        std::lock_guard<std::mutex> guard(state.lock);
        auto found = state.accelerators.find(reinterpret_cast<std::uintptr_t>(table));
        if (found == state.accelerators.end() || findWindowLocked(state, hwnd) == nullptr) {
            return FALSE;
        }
        BYTE modifiers = 0;
        modifiers |= isKeyDownLocked(state, VK_SHIFT) ? FSHIFT : 0;
        modifiers |= isKeyDownLocked(state, VK_CONTROL) ? FCONTROL : 0;
        modifiers |= isKeyDownLocked(state, VK_MENU) || (msg->lParam & KEY_CONTEXT_ALT) != 0 ? FALT : 0;
        bool matched = false;
        for (const ACCEL& entry : found->second) {
            if (msg->wParam != entry.key) {
                continue;
            }
            if (keyDown) {
                matched = (entry.fVirt & FVIRTKEY) != 0 && (entry.fVirt & (FSHIFT | FCONTROL | FALT)) == modifiers;
            } else {
                // A character entry with FALT answers the character typed with Alt (WM_SYSCHAR).
                matched = (entry.fVirt & FVIRTKEY) == 0 &&
                          ((entry.fVirt & FALT) != 0) == (msg->message == WM_SYSCHAR);
            }
            if (matched) {
                command = entry.cmd;
                break;
            }
        }
        if (!matched) {
            return FALSE;
        }
    }
    SendMessageW(hwnd, WM_COMMAND, static_cast<WPARAM>(command) | (static_cast<WPARAM>(1) << 16), 0);
    return TRUE;
}

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init)
{
    return init != nullptr && init->dwSize == sizeof(INITCOMMONCONTROLSEX) ? TRUE : FALSE;
}

} // extern "C"
