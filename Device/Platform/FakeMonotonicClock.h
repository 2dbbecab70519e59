// A monotonic clock that stands still until a test sets or advances it, for
// showing time-dependent behaviour without waiting. Ticks are nanoseconds
// (time base 1/1). Installed with ScopedMonotonicClock; any thread may read or
// move it.
#pragma once

#include <atomic>
#include <cstdint>

#include "Platform/MonotonicClock.h"

namespace KT::Platform
{

class FakeMonotonicClock final : public IMonotonicClock
{
public:
    explicit FakeMonotonicClock(std::uint64_t nanoseconds = 0) noexcept : mNanoseconds(nanoseconds) {}

    std::uint64_t GetAbsoluteTicks() noexcept override
    {
        mReads.fetch_add(1);
        return mNanoseconds.load();
    }
    TimeBase GetTimeBase() noexcept override { return TimeBase{1, 1}; }

    // A clock set backwards is no longer monotonic; tests that do so show what
    // readers make of it.
    void SetNanoseconds(std::uint64_t nanoseconds) noexcept { mNanoseconds.store(nanoseconds); }
    void AdvanceNanoseconds(std::uint64_t nanoseconds) noexcept { mNanoseconds.fetch_add(nanoseconds); }
    void AdvanceMicroseconds(std::uint64_t microseconds) noexcept { AdvanceNanoseconds(microseconds * 1000); }
    void AdvanceMilliseconds(std::uint64_t milliseconds) noexcept
    {
        AdvanceNanoseconds(milliseconds * 1000000);
    }

    // How often the clock has been read: a test that has moved it knows a
    // reader has seen the new time once the count has grown.
    std::uint64_t GetReadCount() const noexcept { return mReads.load(); }

private:
    std::atomic<std::uint64_t> mNanoseconds;
    std::atomic<std::uint64_t> mReads{0};
};

} // namespace KT::Platform
