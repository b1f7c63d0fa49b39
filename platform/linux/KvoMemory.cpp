// The runtime's heap on Linux. On first use one process-wide arena is reserved below 2 GiB
// (anonymous, not backed by swap until touched) and handed to mimalloc as an exclusive arena;
// every thread allocates through its own mimalloc heap bound to that arena, so every block
// address fits a positive 32-bit integer. If no low range can be reserved, or the build uses
// KIVO_SYSTEM_MALLOC, blocks come from malloc instead. Which of the two serves is decided once,
// before the first block exists, and never changes, so freemem always matches allocmem.
#include "platform/KvoMemory.h"

#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#if !defined(KIVO_SYSTEM_MALLOC)
#include <cerrno>

#include <mimalloc.h>
#include <sys/mman.h>
#endif

namespace {

// A zero-byte request still gets a block of its own, and realloc never frees through a zero size.
std::size_t atLeastOneByte(std::size_t size)
{
    return size != 0 ? size : 1;
}

#if !defined(KIVO_SYSTEM_MALLOC)

// Lowest address tried for the arena: well above a non-PIE executable (0x400000) and the start
// of its brk heap, and never near address 0.
constexpr std::uintptr_t ARENA_LOWEST_ADDRESS = 0x10000000;
// Every block must end at or below this address to be a positive 32-bit integer.
constexpr std::uintptr_t ARENA_ADDRESS_LIMIT = 0x80000000;
// Distance between the start addresses tried; a multiple of mimalloc's 32 MiB segment alignment.
constexpr std::uintptr_t ARENA_HINT_STEP = 0x04000000;
// Arena sizes tried, largest first. The largest leaves 0x50000000..0x80000000 free for other
// users of low memory (MAP_32BIT mappings, the call trampolines).
constexpr std::size_t ARENA_SIZES[] = {
    std::size_t{1} << 30, std::size_t{512} << 20, std::size_t{256} << 20,
    std::size_t{128} << 20, std::size_t{64} << 20,
};

// The process-wide arena, or inactive when allocation falls back to malloc.
struct LowArena
{
    bool m_active = false;
    mi_arena_id_t m_id = 0;
};

// Reserves size bytes at exactly hint; null when the range is taken or cannot be mapped.
void* mapAt(std::uintptr_t hint, std::size_t size)
{
    void* wanted = reinterpret_cast<void*>(hint);
    void* p = mmap(wanted, size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    // A kernel that predates MAP_FIXED_NOREPLACE treats the address as a mere hint and may
    // place the mapping anywhere.
    if (p != wanted) {
        munmap(p, size);
        errno = EEXIST;
        return nullptr;
    }
    return p;
}

// Reserves the arena and registers it with mimalloc. errno is left as it was, since the first
// allocation can happen at any point and errno is what the host reads as the last error.
LowArena createLowArena()
{
    const int savedErrno = errno;
    LowArena arena;
    for (std::size_t size : ARENA_SIZES) {
        for (std::uintptr_t hint = ARENA_LOWEST_ADDRESS; hint + size <= ARENA_ADDRESS_LIMIT;
             hint += ARENA_HINT_STEP) {
            void* start = mapAt(hint, size);
            if (start == nullptr) {
                if (errno == EEXIST)
                    continue;
                break; // not enough address space or commit charge for this size: try smaller
            }
            // The mapping is fresh anonymous memory, hence zero. It is declared uncommitted so
            // that mimalloc may give pages of freed segments back to the system.
            if (mi_manage_os_memory_ex(start, size, /*is_committed=*/false, /*is_large=*/false,
                                       /*is_zero=*/true, /*numa_node=*/-1, /*exclusive=*/true,
                                       &arena.m_id)) {
                arena.m_active = true;
            } else {
                munmap(start, size);
            }
            errno = savedErrno;
            return arena;
        }
    }
    errno = savedErrno;
    return arena;
}

// The arena, created on first use. A function-local static is initialised exactly once even
// when several threads or other translation units' static initialisers race to allocate.
const LowArena& lowArena()
{
    static const LowArena arena = createLowArena();
    return arena;
}

// This thread's heap in the arena. mimalloc deletes it when the thread exits and moves the
// pages still in use to the thread's backing heap, so blocks that outlive the thread stay valid
// and can be freed from any thread; the pages stay inside the arena.
// The variable uses the initial-exec TLS model: a plain load from the thread pointer on every
// allocation instead of a call. That puts the library's whole TLS block into static TLS, so the
// block must stay small (under a kilobyte; per-thread buffers live on the heap): a library
// loaded after start (dlopen, as Python's ctypes does) fails to load when the block exceeds the
// loader's small surplus.
[[gnu::tls_model("initial-exec")]] thread_local mi_heap_t* t_arenaHeap = nullptr;

mi_heap_t* threadHeap(const LowArena& arena)
{
    mi_heap_t* heap = t_arenaHeap;
    if (heap == nullptr) {
        heap = mi_heap_new_in_arena(arena.m_id);
        if (heap == nullptr)
            errorExit(1);
        t_arenaHeap = heap;
    }
    return heap;
}

#endif // !KIVO_SYSTEM_MALLOC

} // namespace

void* allocmem(std::size_t size)
{
    size = atLeastOneByte(size);
    void* block;
#if !defined(KIVO_SYSTEM_MALLOC)
    const LowArena& arena = lowArena();
    if (arena.m_active)
        block = mi_heap_malloc(threadHeap(arena), size);
    else
#endif
        block = std::malloc(size);
    if (block == nullptr)
        errorExit(1);
    return block;
}

void* reallocmem(void* block, std::size_t size)
{
    size = atLeastOneByte(size);
    void* moved;
#if !defined(KIVO_SYSTEM_MALLOC)
    const LowArena& arena = lowArena();
    // A block that has to move is copied into this thread's heap, whichever thread allocated it,
    // so it stays inside the arena.
    if (arena.m_active)
        moved = mi_heap_realloc(threadHeap(arena), block, size);
    else
#endif
        moved = std::realloc(block, size);
    if (moved == nullptr)
        errorExit(1);
    return moved;
}

void freemem(void* block)
{
    if (block == nullptr)
        return;
#if !defined(KIVO_SYSTEM_MALLOC)
    if (lowArena().m_active) {
        mi_free(block);
        return;
    }
#endif
    std::free(block);
}

void errorExit(int code)
{
    // What the scripts wrote comes out first, then the reason. The message goes straight to the
    // descriptor: nothing on the way may need memory.
    std::fflush(nullptr);
    static constexpr char MESSAGE[] = "out of memory\n";
    ssize_t written = ::write(STDERR_FILENO, MESSAGE, sizeof MESSAGE - 1);
    (void)written;
    // Static destructors are skipped on purpose: this runs after allocation failed, when
    // destructors that allocate or touch half-built state could not finish.
    std::_Exit(code);
}

bool kvoLowArenaActive()
{
#if defined(KIVO_SYSTEM_MALLOC)
    return false;
#else
    return lowArena().m_active;
#endif
}
