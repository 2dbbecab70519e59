#include "KTFramework/System/TimeUtils.h"

#include "Platform/MonotonicClock.h"

namespace KT
{

namespace
{
double MillisecondsPerTick(std::uint32_t numer, std::uint32_t denom) noexcept
{
    return static_cast<double>(numer) / static_cast<double>(denom) / 1000000.0;
}

std::int64_t ScaleTicks(std::uint64_t ticks, double millisecondsPerTick) noexcept
{
    return static_cast<std::int64_t>(static_cast<double>(ticks) * millisecondsPerTick);
}
} // namespace

std::int64_t TimeUtils::TicksToMilliseconds(std::uint64_t ticks, std::uint32_t numer,
                                            std::uint32_t denom) noexcept
{
    return ScaleTicks(ticks, MillisecondsPerTick(numer, denom));
}

std::int64_t TimeUtils::TicksToMicroseconds(std::uint64_t ticks, std::uint32_t numer,
                                            std::uint32_t denom) noexcept
{
    const unsigned __int128 nanoseconds = static_cast<unsigned __int128>(ticks) * numer / denom;
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(nanoseconds / 1000));
}

// Both counters read the clock in force (the system's, or one a test has
// installed), its time base included, on every call.
std::int64_t TimeUtils::GetMillisecondCounter()
{
    Platform::IMonotonicClock& clock = Platform::GetMonotonicClock();
    const Platform::TimeBase timeBase = clock.GetTimeBase();
    return TicksToMilliseconds(clock.GetAbsoluteTicks(), timeBase.Numer, timeBase.Denom);
}

std::int64_t TimeUtils::GetMicrosecondCounter()
{
    Platform::IMonotonicClock& clock = Platform::GetMonotonicClock();
    const Platform::TimeBase timeBase = clock.GetTimeBase();
    return TicksToMicroseconds(clock.GetAbsoluteTicks(), timeBase.Numer, timeBase.Denom);
}

void Timer::StartTimer()
{
    mStart = TimeUtils::GetMicrosecondCounter();
    mRunning = true;
}

void Timer::StopTimer()
{
    mStop = TimeUtils::GetMicrosecondCounter();
    mRunning = false;
}

std::int64_t Timer::GetTimeMks() const
{
    return (mRunning ? TimeUtils::GetMicrosecondCounter() : mStop) - mStart;
}

} // namespace KT
