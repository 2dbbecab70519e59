#include "Platform/MonotonicClock.h"

#include <time.h>

namespace KT::Platform
{

// Ticks are monotonic nanoseconds, hence a time base of 1/1.
std::uint64_t GetAbsoluteTicks() noexcept
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

TimeBase GetTimeBase() noexcept
{
    return TimeBase{1, 1};
}

} // namespace KT::Platform
