// Low trampolines on Linux (see kvoLowTrampoline in KvoLibrary.h). Trampolines live in blocks of
// two pages mapped together below 2 GiB: a code page holding one stub per slot, and right after
// it a data page holding each slot's target address. A stub is "jmp qword ptr [rip + offset]"
// aimed at its own slot, so the code page is written once, when the block is made, and is then
// read-only and executable for good; handing out a new trampoline only stores its target in the
// data page, which is never executable. No page is ever both writable and executable, and a page
// that other threads may be running through never changes its protection.
//
// Blocks are never unmapped: a script may keep an address as long as the process lives.
#include "platform/KvoLibrary.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include <sys/mman.h>
#include <unistd.h>

namespace {

#if defined(__x86_64__)

// Every byte of a block must lie below this address, so every stub address fits a positive
// 32-bit integer.
constexpr std::uintptr_t LOW_LIMIT = 0x80000000;
// Start addresses tried for a new block, from the highest down: the low arena of the heap takes
// its range from 0x10000000 upwards, and this keeps clear of it. The highest one also stays below
// the end of the low application range of the address sanitizer (0x7fff8000).
constexpr std::uintptr_t HIGHEST_HINT = 0x7ff00000;
constexpr std::uintptr_t LOWEST_HINT = 0x01000000;
constexpr std::uintptr_t HINT_STEP = 0x00010000;

// One stub: FF 25 disp32 is "jmp qword ptr [rip + disp32]"; int3 fills the rest, so a jump into
// the padding stops at once. Stubs are 16 bytes apart, the usual alignment of a function.
constexpr std::size_t STUB_SIZE = 16;
constexpr unsigned char JUMP_OPCODE[] = {0xFF, 0x25};
constexpr std::size_t JUMP_SIZE = 6; // the opcode and its 32-bit displacement
constexpr unsigned char BREAKPOINT = 0xCC;

struct TrampolineTable {
    std::mutex lock;
    // Target address -> stub address.
    std::unordered_map<std::uintptr_t, std::uintptr_t> stubs;
    // The block being filled: its code page, and the slots used in it.
    unsigned char* code = nullptr;
    std::size_t used = 0;
    std::size_t pageSize = 0;
    // Where the search for the next block starts; below LOWEST_HINT no more blocks are made.
    std::uintptr_t nextHint = HIGHEST_HINT;
};

// Created on first use and never destroyed, like the blocks it describes.
TrampolineTable& trampolineTable()
{
    static TrampolineTable* const table = [] {
        auto* created = new TrampolineTable;
        created->pageSize = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        return created;
    }();
    return *table;
}

std::size_t slotsPerBlock(const TrampolineTable& table)
{
    // The data page holds 8 bytes per slot, the code page STUB_SIZE bytes: the code page is full
    // first.
    return table.pageSize / STUB_SIZE;
}

// Maps two pages at exactly hint; null when the range is taken or cannot be mapped (errno EEXIST
// for a taken range).
unsigned char* mapBlockAt(std::uintptr_t hint, std::size_t size)
{
    void* wanted = reinterpret_cast<void*>(hint);
    void* block = mmap(wanted, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (block == MAP_FAILED)
        return nullptr;
    // A kernel without MAP_FIXED_NOREPLACE takes the address as a hint and may map elsewhere.
    if (block != wanted) {
        munmap(block, size);
        errno = EEXIST;
        return nullptr;
    }
    return static_cast<unsigned char*>(block);
}

// Makes a new block and writes all its stubs, each aimed at its slot in the data page. Null when
// no low range is left or the protection cannot be set.
unsigned char* makeBlock(TrampolineTable& table)
{
    const std::size_t size = 2 * table.pageSize;
    while (table.nextHint >= LOWEST_HINT) {
        const std::uintptr_t hint = table.nextHint;
        table.nextHint -= HINT_STEP;
        if (hint + size > LOW_LIMIT)
            continue;
        unsigned char* code = mapBlockAt(hint, size);
        if (!code) {
            if (errno == EEXIST)
                continue;
            return nullptr; // out of address space or map count: trying lower will not help
        }
        unsigned char* data = code + table.pageSize;
        std::memset(code, BREAKPOINT, table.pageSize);
        for (std::size_t slot = 0; slot < slotsPerBlock(table); ++slot) {
            unsigned char* stub = code + slot * STUB_SIZE;
            const auto displacement =
                static_cast<std::int32_t>((data + slot * sizeof(std::uint64_t)) - (stub + JUMP_SIZE));
            std::memcpy(stub, JUMP_OPCODE, sizeof(JUMP_OPCODE));
            std::memcpy(stub + sizeof(JUMP_OPCODE), &displacement, sizeof(displacement));
        }
        if (mprotect(code, table.pageSize, PROT_READ | PROT_EXEC) != 0) {
            munmap(code, size);
            return nullptr;
        }
        // The next block goes right below this one.
        table.nextHint = hint - size;
        return code;
    }
    return nullptr;
}

#endif

} // namespace

FARPROC kvoLowTrampoline(FARPROC function)
{
    if (!function)
        return nullptr;
#if defined(__x86_64__)
    const auto target = reinterpret_cast<std::uintptr_t>(function);
    TrampolineTable& table = trampolineTable();
    std::lock_guard<std::mutex> guard(table.lock);
    if (const auto found = table.stubs.find(target); found != table.stubs.end())
        return reinterpret_cast<FARPROC>(found->second);
    if (!table.code || table.used == slotsPerBlock(table)) {
        // errno is the script's last error: a search that maps and unmaps must not change it.
        const int savedErrno = errno;
        unsigned char* block = makeBlock(table);
        errno = savedErrno;
        if (!block)
            return nullptr;
        table.code = block;
        table.used = 0;
    }
    const std::size_t slot = table.used++;
    // The slot is stored before the stub's address leaves this function, and nobody jumps
    // through a stub before having its address.
    const std::uint64_t slotValue = target;
    std::memcpy(table.code + table.pageSize + slot * sizeof(slotValue), &slotValue, sizeof(slotValue));
    const auto stub = reinterpret_cast<std::uintptr_t>(table.code + slot * STUB_SIZE);
    table.stubs.emplace(target, stub);
    return reinterpret_cast<FARPROC>(stub);
#else
    // No stub code for this processor: scripts get no function addresses.
    return nullptr;
#endif
}
