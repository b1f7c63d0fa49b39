// Allocation and live-instance counting for heap objects.
#include "values/KvoRefObject.h"

#include <atomic>
#include <vector>

#include "platform/KvoMemory.h"

void* KvoRefObject::operator new(std::size_t size)
{
    return allocmem(size);
}

void KvoRefObject::operator delete(void* block) noexcept
{
    freemem(block);
}

namespace {

// Objects waiting for deletion while another deletion runs on this thread: a stack kept in the
// thread's storage, with room for the usual few inline and a heap vector only for long chains.
// Trivially destructible and constant-initialised, so that a deletion reaches it with one
// thread-storage lookup and no guard.
constexpr std::size_t INLINE_PENDING = 32;
struct DeletionQueue {
    bool draining;
    std::size_t count;                              // entries in inlinePending
    KvoRefObject* inlinePending[INLINE_PENDING];
    std::vector<KvoRefObject*>* morePending;        // entries pushed while inlinePending was full
};
thread_local DeletionQueue t_deletions{};

} // namespace

void KvoRefObject::deleteObject(KvoRefObject* object)
{
    // Each deletion releases the objects it holds; those that die then are queued here rather
    // than deleted inside the outer destructor, so the native stack stays flat however long the
    // chain. The outermost call drains the queue (last in, first out) before it returns.
    DeletionQueue& queue = t_deletions;
    if (queue.draining) {
        if (queue.count < INLINE_PENDING) {
            queue.inlinePending[queue.count++] = object;
        } else {
            if (!queue.morePending)
                queue.morePending = new std::vector<KvoRefObject*>();
            queue.morePending->push_back(object);
        }
        return;
    }
    queue.draining = true;
    delete object;
    for (;;) {
        KvoRefObject* next;
        if (queue.morePending && !queue.morePending->empty()) {
            next = queue.morePending->back();
            queue.morePending->pop_back();
        } else if (queue.count > 0) {
            next = queue.inlinePending[--queue.count];
        } else {
            break;
        }
        delete next;
    }
    delete queue.morePending;
    queue.morePending = nullptr;
    queue.draining = false;
}

#if defined(KIVO_COUNT_OBJECTS)
namespace {
std::atomic<std::int64_t> g_liveObjects{0};
}

void KvoRefObject::countCreated() noexcept
{
    g_liveObjects.fetch_add(1, std::memory_order_relaxed);
}

void KvoRefObject::countDestroyed() noexcept
{
    g_liveObjects.fetch_sub(1, std::memory_order_relaxed);
}

std::int64_t KvoRefObject::liveObjects() noexcept
{
    return g_liveObjects.load(std::memory_order_relaxed);
}
#else
std::int64_t KvoRefObject::liveObjects() noexcept
{
    return 0;
}
#endif
