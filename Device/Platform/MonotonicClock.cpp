#include "Platform/MonotonicClock.h"

#include <time.h>

#include <atomic>

namespace KT::Platform
{

namespace
{
class SystemMonotonicClock final : public IMonotonicClock
{
public:
    constexpr SystemMonotonicClock() noexcept = default;

    std::uint64_t GetAbsoluteTicks() noexcept override
    {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
    }

    TimeBase GetTimeBase() noexcept override { return TimeBase{1, 1}; }
};

// Null while the system's clock is in force. Readers may run during static
// construction and destruction, so neither this nor the system clock needs a
// constructor or destructor to run.
constinit std::atomic<IMonotonicClock*> sInstalledClock{nullptr};
} // namespace

IMonotonicClock& GetSystemMonotonicClock() noexcept
{
    static constinit SystemMonotonicClock sSystemClock;
    return sSystemClock;
}

IMonotonicClock& GetMonotonicClock() noexcept
{
    IMonotonicClock* const installed = sInstalledClock.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : GetSystemMonotonicClock();
}

std::uint64_t GetAbsoluteTicks() noexcept
{
    return GetMonotonicClock().GetAbsoluteTicks();
}

TimeBase GetTimeBase() noexcept
{
    return GetMonotonicClock().GetTimeBase();
}

IMonotonicClock* SetMonotonicClock(IMonotonicClock* clock) noexcept
{
    return sInstalledClock.exchange(clock, std::memory_order_acq_rel);
}

} // namespace KT::Platform
