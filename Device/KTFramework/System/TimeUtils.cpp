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

// The time bases are fetched once, on the first call of each counter; the
// static initialisations are thread-safe.
std::int64_t TimeUtils::GetMillisecondCounter()
{
    static const double sTimeBaseScale = []
    {
        const Platform::TimeBase timeBase = Platform::GetTimeBase();
        return MillisecondsPerTick(timeBase.Numer, timeBase.Denom);
    }();
    return ScaleTicks(Platform::GetAbsoluteTicks(), sTimeBaseScale);
}

std::int64_t TimeUtils::GetMicrosecondCounter()
{
    static const Platform::TimeBase sTimeBase = Platform::GetTimeBase();
    return TicksToMicroseconds(Platform::GetAbsoluteTicks(), sTimeBase.Numer, sTimeBase.Denom);
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
