// Monotonic millisecond and microsecond counters read from the platform's
// monotonic clock (Platform/MonotonicClock.h, which tests may replace with a
// fake), and the stopwatch KT::Timer. The counters start at an arbitrary
// origin: only differences between two readings mean anything.
#pragma once

#include <cstdint>

namespace KT
{

class TimeUtils
{
public:
    static std::int64_t GetMillisecondCounter();
    static std::int64_t GetMicrosecondCounter();

    // The counters' conversions of a tick count under a time base of
    // numer/denom nanoseconds per tick. Milliseconds go through one double
    // factor, truncated; microseconds are exact integer divisions of a 128-bit
    // product, which cannot wrap. denom is never 0.
    static std::int64_t TicksToMilliseconds(std::uint64_t ticks, std::uint32_t numer,
                                            std::uint32_t denom) noexcept;
    static std::int64_t TicksToMicroseconds(std::uint64_t ticks, std::uint32_t numer,
                                            std::uint32_t denom) noexcept;
};

// A stopwatch in microseconds, for one thread.
class Timer
{
public:
    Timer() = default;

    void StartTimer();
    void StopTimer();
    // Running: from the start to now; stopped: from the start to the stop.
    std::int64_t GetTimeMks() const;

private:
    std::int64_t mStart = 0;
    std::int64_t mStop = 0;
    bool mRunning = false;
};

} // namespace KT
