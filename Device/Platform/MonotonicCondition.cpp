#include "Platform/MonotonicCondition.h"

#include <time.h>

#include <new>

namespace KT::Platform
{

MonotonicDeadline GetMonotonicNow() noexcept
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return MonotonicDeadline{static_cast<std::int64_t>(now.tv_sec), static_cast<std::int64_t>(now.tv_nsec)};
}

MonotonicCondition::MonotonicCondition() noexcept
{
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&mCondition, &attributes);
    pthread_condattr_destroy(&attributes);
}

MonotonicCondition::~MonotonicCondition()
{
    pthread_cond_destroy(&mCondition);
}

void MonotonicCondition::Signal() noexcept
{
    pthread_cond_signal(&mCondition);
}

void MonotonicCondition::Broadcast() noexcept
{
    pthread_cond_broadcast(&mCondition);
}

int MonotonicCondition::WaitUntil(NativeMutex& mutex, const MonotonicDeadline& deadline) noexcept
{
    timespec until{};
    until.tv_sec = static_cast<time_t>(deadline.Seconds);
    until.tv_nsec = static_cast<long>(deadline.Nanoseconds);
    pthread_mutex_t* const native = std::launder(static_cast<pthread_mutex_t*>(mutex.GetNative()));
    return pthread_cond_timedwait(&mCondition, native, &until);
}

} // namespace KT::Platform
