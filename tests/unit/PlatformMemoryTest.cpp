// Tests of the runtime heap: while the low arena serves, every block lies below 2 GiB; contents
// survive resizing; freed memory is reused, so the arena never runs out under churn; blocks pass
// freely between threads, also after the allocating thread has exited; failure ends the process
// with the requested exit code.
#include "platform/KvoMemory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

// A live block whose bytes all hold one value, so an overlap with another block or a lost byte
// after resizing shows up as a wrong byte.
struct FilledBlock
{
    unsigned char* m_data = nullptr;
    std::size_t m_size = 0;
    unsigned char m_value = 0;
};

FilledBlock allocFilled(std::size_t size, unsigned char value)
{
    FilledBlock block{static_cast<unsigned char*>(allocmem(size)), size, value};
    std::memset(block.m_data, value, size);
    return block;
}

// True when the first count bytes of the block still hold its value.
bool holdsValue(const FilledBlock& block, std::size_t count)
{
    return std::all_of(block.m_data, block.m_data + count,
                       [&](unsigned char byte) { return byte == block.m_value; });
}

// True when the whole block lies where a script may see its address.
bool isLow(const void* block, std::size_t size)
{
    return kvoFitsScriptAddress(static_cast<const unsigned char*>(block) + size - 1);
}

// Sizes weighted towards small objects: mostly up to 256 bytes, some up to 4 KB and one in a
// thousand up to 1 MB.
std::size_t randomSize(std::mt19937& random)
{
    const std::uint32_t kind = random() % 1000;
    if (kind == 0)
        return 1 + random() % (1u << 20);
    if (kind < 100)
        return 1 + random() % 4096;
    return 1 + random() % 256;
}

TEST(PlatformMemory, ArenaSelectionMatchesBuild)
{
#if defined(KIVO_SYSTEM_MALLOC)
    EXPECT_FALSE(kvoLowArenaActive());
#else
    EXPECT_TRUE(kvoLowArenaActive()) << "the low arena could not be reserved on this machine";
#endif
}

TEST(PlatformMemory, MixedWorkloadStaysLowAndKeepsContents)
{
    // The system allocator (sanitizer builds) only needs the contents checked, at less cost.
    const bool checkAddresses = kvoLowArenaActive();
    const int operations = checkAddresses ? 1000000 : 200000;
    constexpr std::size_t SLOTS = 4096;
    std::mt19937 random(20240611);
    std::vector<FilledBlock> slots(SLOTS);
    for (int operation = 0; operation < operations; ++operation) {
        FilledBlock& slot = slots[random() % SLOTS];
        const auto value = static_cast<unsigned char>(operation);
        if (slot.m_data == nullptr) {
            slot = allocFilled(randomSize(random), value);
        } else if (random() % 2 == 0) {
            ASSERT_TRUE(holdsValue(slot, slot.m_size)) << "operation " << operation;
            freemem(slot.m_data);
            slot = FilledBlock{};
            continue;
        } else {
            const std::size_t newSize = randomSize(random);
            slot.m_data = static_cast<unsigned char*>(reallocmem(slot.m_data, newSize));
            ASSERT_TRUE(holdsValue(slot, std::min(slot.m_size, newSize))) << "operation " << operation;
            slot.m_size = newSize;
            slot.m_value = value;
            std::memset(slot.m_data, value, newSize);
        }
        if (checkAddresses) {
            ASSERT_TRUE(isLow(slot.m_data, slot.m_size)) << static_cast<void*>(slot.m_data);
        }
    }
    for (FilledBlock& slot : slots) {
        if (slot.m_data != nullptr) {
            EXPECT_TRUE(holdsValue(slot, slot.m_size));
            freemem(slot.m_data);
        }
    }
}

TEST(PlatformMemory, ReallocKeepsContentsAcrossSizeClasses)
{
    // Growing walks the block through small, large and huge allocations; shrinking walks back.
    std::size_t size = 16;
    auto* data = static_cast<unsigned char*>(allocmem(size));
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<unsigned char>(i * 7 + 3);
    auto holdsPattern = [&](std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            if (data[i] != static_cast<unsigned char>(i * 7 + 3))
                return false;
        }
        return true;
    };
    for (std::size_t newSize = 32; newSize <= (std::size_t{64} << 20); newSize *= 4) {
        data = static_cast<unsigned char*>(reallocmem(data, newSize));
        ASSERT_TRUE(holdsPattern(size)) << "grown to " << newSize;
        for (std::size_t i = size; i < newSize; ++i)
            data[i] = static_cast<unsigned char>(i * 7 + 3);
        size = newSize;
        if (kvoLowArenaActive()) {
            ASSERT_TRUE(isLow(data, size));
        }
    }
    for (std::size_t newSize : {std::size_t{100000}, std::size_t{3000}, std::size_t{3}}) {
        data = static_cast<unsigned char*>(reallocmem(data, newSize));
        ASSERT_TRUE(holdsPattern(newSize)) << "shrunk to " << newSize;
    }
    freemem(data);
}

TEST(PlatformMemory, ZeroSizesAndNullArguments)
{
    std::vector<unsigned char*> blocks;
    for (int i = 0; i < 100; ++i) {
        auto* block = static_cast<unsigned char*>(allocmem(0));
        ASSERT_NE(block, nullptr);
        *block = static_cast<unsigned char>(i);
        blocks.push_back(block);
    }
    std::vector<unsigned char*> sorted = blocks;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(*blocks[i], static_cast<unsigned char>(i));

    // Resizing to zero keeps a usable block (C realloc would free it and return null).
    blocks[0] = static_cast<unsigned char*>(reallocmem(blocks[0], 0));
    ASSERT_NE(blocks[0], nullptr);
    *blocks[0] = 1;
    // A null block resizes like a fresh allocation; freeing null does nothing.
    auto* fresh = static_cast<unsigned char*>(reallocmem(nullptr, 64));
    ASSERT_NE(fresh, nullptr);
    std::memset(fresh, 0xab, 64);
    freemem(fresh);
    freemem(nullptr);
    for (unsigned char* block : blocks)
        freemem(block);
}

TEST(PlatformMemory, FreedBlocksAreReused)
{
    // 1,000 rounds of 10,000 blocks of 1 KB move ten times more memory than the arena holds,
    // so this also fails (by running out) if freed blocks did not return to the arena.
    const bool arena = kvoLowArenaActive();
    const int rounds = arena ? 1000 : 10;
    constexpr std::size_t BLOCKS = 10000;
    std::vector<void*> blocks(BLOCKS);
    std::uintptr_t lowest = UINTPTR_MAX;
    std::uintptr_t highest = 0;
    for (int round = 0; round < rounds; ++round) {
        for (void*& block : blocks) {
            block = allocmem(1024);
            lowest = std::min(lowest, reinterpret_cast<std::uintptr_t>(block));
            highest = std::max(highest, reinterpret_cast<std::uintptr_t>(block));
        }
        for (void* block : blocks)
            freemem(block);
    }
    if (arena) {
        EXPECT_LT(highest - lowest, std::uintptr_t{64} << 20) << "the blocks spread over too much memory";
    }

    // Huge blocks go back to the arena too.
    for (int round = 0; round < 48; ++round) {
        void* block = allocmem(std::size_t{64} << 20);
        std::memset(block, round, 4096);
        if (arena) {
            ASSERT_TRUE(isLow(block, std::size_t{64} << 20));
        }
        freemem(block);
    }
}

TEST(PlatformMemory, BlocksOutliveTheThreadThatAllocatedThem)
{
    constexpr int BLOCKS = 2000;
    std::vector<FilledBlock> blocks;
    std::thread worker([&] {
        std::mt19937 random(7);
        for (int i = 0; i < BLOCKS; ++i)
            blocks.push_back(allocFilled(randomSize(random), static_cast<unsigned char>(i)));
        blocks.push_back(allocFilled(std::size_t{40} << 20, 0x5a));
    });
    worker.join();
    for (FilledBlock& block : blocks) {
        ASSERT_TRUE(holdsValue(block, block.m_size));
        if (kvoLowArenaActive()) {
            ASSERT_TRUE(isLow(block.m_data, block.m_size));
        }
    }
    // The main thread resizes half of the dead thread's blocks and frees them all.
    for (std::size_t i = 0; i < blocks.size(); i += 2) {
        FilledBlock& block = blocks[i];
        const std::size_t newSize = block.m_size * 3 + 1;
        block.m_data = static_cast<unsigned char*>(reallocmem(block.m_data, newSize));
        ASSERT_TRUE(holdsValue(block, block.m_size));
        block.m_size = newSize;
    }
    for (FilledBlock& block : blocks)
        freemem(block.m_data);
}

TEST(PlatformMemory, OtherThreadsResizeAndFreeMainThreadBlocks)
{
    std::vector<FilledBlock> blocks;
    for (int i = 0; i < 3000; ++i)
        blocks.push_back(allocFilled(1 + static_cast<std::size_t>(i) * 13 % 5000, static_cast<unsigned char>(i)));
    // Two threads at once, each owning every other block.
    auto work = [&](std::size_t first) {
        for (std::size_t i = first; i < blocks.size(); i += 2) {
            FilledBlock& block = blocks[i];
            EXPECT_TRUE(holdsValue(block, block.m_size)) << "block " << i;
            if (i % 4 < 2) {
                freemem(block.m_data);
                block.m_data = nullptr;
            } else {
                block.m_data = static_cast<unsigned char*>(reallocmem(block.m_data, block.m_size + 4096));
                std::memset(block.m_data + block.m_size, block.m_value, 4096);
                block.m_size += 4096;
            }
        }
    };
    std::thread even(work, 0);
    std::thread odd(work, 1);
    even.join();
    odd.join();
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        FilledBlock& block = blocks[i];
        if (i % 4 < 2) {
            EXPECT_EQ(block.m_data, nullptr) << "block " << i << " was not freed";
            continue;
        }
        ASSERT_TRUE(holdsValue(block, block.m_size)) << "block " << i;
        if (kvoLowArenaActive()) {
            EXPECT_TRUE(isLow(block.m_data, block.m_size));
        }
        freemem(block.m_data);
    }
}

TEST(PlatformMemory, ShortLivedThreadsDoNotExhaustTheArena)
{
    // Each thread leaves 48 MB of blocks behind for the main thread to free; 40 threads move
    // about twice what the arena holds.
    for (int round = 0; round < 40; ++round) {
        std::vector<void*> blocks;
        std::thread worker([&] {
            for (int i = 0; i < 12000; ++i)
                blocks.push_back(allocmem(4000));
        });
        worker.join();
        if (kvoLowArenaActive()) {
            ASSERT_TRUE(isLow(blocks.back(), 4000));
        }
        for (void* block : blocks)
            freemem(block);
    }
}

TEST(PlatformMemoryDeathTest, ErrorExitEndsWithCodeAfterFlushing)
{
    EXPECT_EXIT(errorExit(1), ::testing::ExitedWithCode(1), "");
    // Text still buffered in stdout (here sent to stderr, which the death test reads) appears.
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            std::fputs("buffered before exit", stdout);
            errorExit(7);
        },
        ::testing::ExitedWithCode(7), "buffered before exit");
}

TEST(PlatformMemoryDeathTest, FailedAllocationEndsWithCodeOne)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reports an impossible request itself instead of returning null";
#endif
    EXPECT_EXIT(allocmem(PTRDIFF_MAX), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(reallocmem(allocmem(16), PTRDIFF_MAX), ::testing::ExitedWithCode(1), "");
    // More than the arena holds: never served from outside the low range.
    if (kvoLowArenaActive()) {
        EXPECT_EXIT(allocmem(std::size_t{3} << 30), ::testing::ExitedWithCode(1), "");
    }
}

} // namespace
