// A condition variable whose timed waits measure their deadlines on the
// monotonic clock, so that setting the wall clock neither stretches nor cuts a
// wait. The owner of the condition also owns the mutex passed to its waits.
// Waits always measure real time: a fake clock installed for tests does not
// reach them.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "Platform/NativeMutex.h"
#include "Platform/ThreadAnnotations.h"

namespace KT::Platform
{

// An absolute point on the monotonic clock.
struct MonotonicDeadline
{
    std::int64_t Seconds;
    std::int64_t Nanoseconds; // 0 to 999,999,999
};

// Reads the monotonic clock against which MonotonicCondition measures deadlines.
MonotonicDeadline GetMonotonicNow() noexcept;

// The point milliseconds after now. Every value is a plain count, the largest
// included: 0xFFFFFFFF puts the deadline about 49.7 days ahead.
constexpr MonotonicDeadline AddMilliseconds(const MonotonicDeadline& now, unsigned int milliseconds) noexcept
{
    constexpr std::int64_t kNanosecondsPerSecond = 1000000000;
    MonotonicDeadline deadline{now.Seconds + milliseconds / 1000,
                               now.Nanoseconds + static_cast<std::int64_t>(milliseconds % 1000) * 1000000};
    if (deadline.Nanoseconds >= kNanosecondsPerSecond)
    {
        deadline.Nanoseconds -= kNanosecondsPerSecond;
        deadline.Seconds += 1;
    }
    return deadline;
}

class MonotonicCondition
{
public:
    MonotonicCondition() noexcept;
    ~MonotonicCondition();
    MonotonicCondition(const MonotonicCondition&) = delete;
    MonotonicCondition& operator=(const MonotonicCondition&) = delete;

    void Signal() noexcept;
    void Broadcast() noexcept;

    // Releases mutex (held once by the caller) while asleep and holds it again
    // on return. 0 when woken; non-zero when the deadline passed or the wait
    // failed.
    [[nodiscard]] int WaitUntil(NativeMutex& mutex, const MonotonicDeadline& deadline) noexcept
        REQUIRES(mutex);

private:
    pthread_cond_t mCondition;
};

} // namespace KT::Platform
