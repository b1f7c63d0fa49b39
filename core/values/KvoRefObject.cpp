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

void KvoRefObject::deleteObject(KvoRefObject* object)
{
    // Each deletion releases the objects it holds; those that die then are queued here rather
    // than deleted inside the outer destructor, so the native stack stays flat however long the
    // chain. The outermost call drains the queue before it returns.
    thread_local std::vector<KvoRefObject*> pending;
    thread_local bool draining = false;
    if (draining) {
        pending.push_back(object);
        return;
    }
    draining = true;
    delete object;
    while (!pending.empty()) {
        KvoRefObject* next = pending.back();
        pending.pop_back();
        delete next;
    }
    draining = false;
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
