#include "Platform/Ticks.h"

#include <atomic>
#include <cerrno>
#include <ctime>

namespace KT::Platform
{

namespace
{

constexpr std::int64_t kNanosecondsPerSecond = 1000000000;

std::uint64_t MonotonicNanoseconds() noexcept
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * kNanosecondsPerSecond +
           static_cast<std::uint64_t>(now.tv_nsec);
}

std::uint32_t MonotonicTicks() noexcept
{
    const std::uint64_t ns = MonotonicNanoseconds();
    // Seconds and the remainder apart, so the product cannot overflow.
    const std::uint64_t ticks = (ns / kNanosecondsPerSecond) * kTicksPerSecond +
                                (ns % kNanosecondsPerSecond) * kTicksPerSecond / kNanosecondsPerSecond;
    return static_cast<std::uint32_t>(ticks);
}

void MonotonicDelay(std::uint32_t ticks, std::uint32_t* finalTicks)
{
    const std::uint64_t wake =
        MonotonicNanoseconds() + static_cast<std::uint64_t>(ticks) * kNanosecondsPerSecond / kTicksPerSecond;
    timespec until{static_cast<time_t>(wake / kNanosecondsPerSecond),
                   static_cast<long>(wake % kNanosecondsPerSecond)};
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR)
    {
    }
    if (finalTicks != nullptr)
    {
        *finalTicks = MonotonicTicks();
    }
}

std::atomic<ITickSource*> sTestSource{nullptr};

} // namespace

std::uint32_t TickCount()
{
    ITickSource* source = sTestSource.load();
    return source != nullptr ? source->TickCount() : MonotonicTicks();
}

void Delay(std::uint32_t ticks, std::uint32_t* finalTicks)
{
    ITickSource* source = sTestSource.load();
    if (source != nullptr)
    {
        source->Delay(ticks, finalTicks);
        return;
    }
    MonotonicDelay(ticks, finalTicks);
}

void SetTickSourceForTesting(ITickSource* source)
{
    sTestSource.store(source);
}

} // namespace KT::Platform
