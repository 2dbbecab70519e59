// The monotonic tick counter behind the framework's time counters, with the
// ratio of its ticks to nanoseconds. Ticks count from an arbitrary origin, so
// only differences between readings mean anything.
#pragma once

#include <cstdint>

namespace KT::Platform
{

// nanoseconds = ticks x Numer / Denom
struct TimeBase
{
    std::uint32_t Numer;
    std::uint32_t Denom;
};

std::uint64_t GetAbsoluteTicks() noexcept;
TimeBase GetTimeBase() noexcept;

} // namespace KT::Platform
