// The millisecond clock on Linux: CLOCK_MONOTONIC, cut to 32 bits.
#include "platform/KvoClock.h"

#include <ctime>

extern "C" DWORD GetTickCount()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto milliseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<DWORD>(milliseconds);
}
