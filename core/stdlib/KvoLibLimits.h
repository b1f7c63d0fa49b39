// Limits of the standard library's constructors and block transfers. A script count comes from a
// 32-bit integer; without a bound, one call could ask for gigabytes (or, through the payload bits
// of a non-numeric value, for an arbitrary amount), and the runtime heap ends the process when an
// allocation fails. Larger requests fail with the script error "count too large" instead.
#pragma once

#include <cstdint>

// Bytes that one library call may allocate for a new string, buffer or vector, or add to a
// buffer in one read.
inline constexpr std::uint32_t KVO_LIB_MAX_BLOCK_BYTES = 256u * 1024u * 1024u;

// The largest element count of a new block whose elements take elementSize bytes.
constexpr std::uint32_t kvoLibMaxCount(std::uint32_t elementSize)
{
    return KVO_LIB_MAX_BLOCK_BYTES / elementSize;
}
