// Allocation and live-instance counting for heap objects.
#include "values/KvoRefObject.h"

#include <atomic>
#include <cstring>
#include <new>
#include <vector>

#include "platform/KvoMemory.h"

void* KvoRefObject::operator new(std::size_t size)
{
    return allocmem(size);
}

void KvoRefObject::operator delete(void* block) noexcept
{
    // The destructor has run. When non-owning references remain (the destructor may have
    // dropped some itself: an object that referred to itself), the block stays as a tombstone
    // that carries them, else it goes back to the heap. The count is read from the block's
    // bytes, because the object it belonged to has ended.
    std::uint32_t weakLeft;
    std::memcpy(&weakLeft, static_cast<const unsigned char*>(block) + s_weakCountOffset, sizeof weakLeft);
    if (weakLeft != 0) {
        ::new (block) KvoRefObject(TombstoneTag{}, weakLeft);
        return;
    }
    freemem(block);
}

std::ptrdiff_t KvoRefObject::weakCountOffset() noexcept
{
    KvoRefObject probe(TombstoneTag{}, 0);
    return reinterpret_cast<const unsigned char*>(&probe.m_weakCount) - reinterpret_cast<const unsigned char*>(&probe);
}

const std::ptrdiff_t KvoRefObject::s_weakCountOffset = KvoRefObject::weakCountOffset();

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
[[gnu::tls_model("initial-exec")]] thread_local DeletionQueue t_deletions{};

} // namespace

void KvoRefObject::deleteObject(KvoRefObject* object)
{
    // Dead from now on, also while it waits: a non-owning reference reads it as null and can
    // no longer hand it to a new owner.
    object->m_refCount = DYING_COUNT;
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

void KvoRefObject::freeTombstone(KvoRefObject* tombstone) noexcept
{
    // A tombstone has nothing to destroy: its block goes back to the heap.
    freemem(tombstone);
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
