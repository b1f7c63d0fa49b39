// Limits of the results that the standard library and the operators build from script data. A
// script count comes from a 32-bit integer and a result size may come from several operands
// (a concatenation, a replacement, a format); without a bound, one call could ask for gigabytes
// (or, through the payload bits of a non-numeric value, for an arbitrary amount), and the runtime
// ends the process when memory runs out. Every such size is checked against the bound before
// anything is allocated; a larger request fails with the script error "count too large".
#pragma once

#include <cstdint>

// Bytes that one library call or operator may allocate for a new string, buffer or vector, or
// add to a buffer in one read.
inline constexpr std::uint32_t KVO_LIB_MAX_BLOCK_BYTES = 256u * 1024u * 1024u;

// The largest element count of a new block whose elements take elementSize bytes.
constexpr std::uint32_t kvoLibMaxCount(std::uint32_t elementSize)
{
    return KVO_LIB_MAX_BLOCK_BYTES / elementSize;
}

// True when a block of count elements of elementSize bytes stays within the bound. The count is
// 64 bits wide so that a sum or product of 32-bit sizes can be checked before it could wrap.
constexpr bool kvoLibCountFits(std::uint64_t count, std::uint32_t elementSize)
{
    return count <= kvoLibMaxCount(elementSize);
}
