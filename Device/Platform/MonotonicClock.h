// The monotonic clock that the framework's time counters, stopwatches and
// time-outs read, as one interface with the system's clock behind it and a
// seam through which tests install a clock of their own (FakeMonotonicClock).
// Ticks count from an arbitrary origin, so only differences between readings
// mean anything. Condition and join deadlines do not read it: they measure
// real time on the system's monotonic clock.
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

// Never destroyed through this interface: implementations are final, and the
// system's needs no destructor, so it can be read during static destruction.
class IMonotonicClock
{
public:
    // Safe to call on any thread at any time.
    virtual std::uint64_t GetAbsoluteTicks() noexcept = 0;
    virtual TimeBase GetTimeBase() noexcept = 0;

protected:
    ~IMonotonicClock() = default;
};

// The system's monotonic clock: ticks are nanoseconds, hence a time base of
// 1/1. Lives for the whole process.
IMonotonicClock& GetSystemMonotonicClock() noexcept;

// The clock in force: the one installed last, or the system's.
IMonotonicClock& GetMonotonicClock() noexcept;
// Readings of the clock in force.
std::uint64_t GetAbsoluteTicks() noexcept;
TimeBase GetTimeBase() noexcept;

// Test seam: installs clock (null puts the system's back) and returns the one
// installed before. The clock must outlive every reading made while it is
// installed; ScopedMonotonicClock keeps to that for a test's scope.
IMonotonicClock* SetMonotonicClock(IMonotonicClock* clock) noexcept;

class ScopedMonotonicClock
{
public:
    explicit ScopedMonotonicClock(IMonotonicClock& clock) noexcept : mPrevious(SetMonotonicClock(&clock)) {}
    ~ScopedMonotonicClock() { SetMonotonicClock(mPrevious); }
    ScopedMonotonicClock(const ScopedMonotonicClock&) = delete;
    ScopedMonotonicClock& operator=(const ScopedMonotonicClock&) = delete;

private:
    IMonotonicClock* mPrevious;
};

} // namespace KT::Platform
