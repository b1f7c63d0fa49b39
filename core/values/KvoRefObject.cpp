// Allocation and live-instance counting for heap objects.
#include "values/KvoRefObject.h"

#include <atomic>

#include "platform/KvoMemory.h"

void* KvoRefObject::operator new(std::size_t size)
{
    return allocmem(size);
}

void KvoRefObject::operator delete(void* block) noexcept
{
    freemem(block);
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
