// The runtime's heap. Every block of the core comes from here: allocmem/reallocmem/freemem and
// operator new/delete of every heap object. Blocks are served from one process-wide arena mapped
// below 2 GiB so that any address a script sees fits a positive 32-bit integer. When that arena
// cannot be mapped, or when the build uses KIVO_SYSTEM_MALLOC, ordinary allocation serves instead.
// Allocation never fails: running out of memory ends the process with exit code 1, after
// "out of memory" on standard error.
#pragma once

#include "platform/KvoTypes.h"

// Allocates size bytes (at least one); never returns null.
KVO_API void* allocmem(std::size_t size);
// Resizes a block from allocmem (null acts as allocmem); never returns null.
KVO_API void* reallocmem(void* block, std::size_t size);
// Frees a block from allocmem or reallocmem; null is ignored.
KVO_API void freemem(void* block);
// The runtime's end for want of memory (every caller is an allocation that failed or a size no
// block can have): flushes the standard streams, writes "out of memory" and a line feed to
// standard error, and ends the process with the given exit code (1 throughout the runtime)
// without running static destructors. Code that catches std::bad_alloc at a boundary of the
// runtime ends here too, so the process never ends silently for want of memory.
[[noreturn]] KVO_API void errorExit(int code);

// True when blocks come from the low arena, so every block address lies below 2 GiB.
KVO_API bool kvoLowArenaActive();
// True when the address can be handed to a script as a positive 32-bit integer.
inline bool kvoFitsScriptAddress(const void* p)
{
    return reinterpret_cast<std::uintptr_t>(p) <= 0x7fffffffu;
}
