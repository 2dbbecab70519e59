#include "KTFramework/Utilities/Threading/EventData.h"

#include <bit>

namespace KT
{

namespace
{
bool IsSatisfied(std::uint64_t word, std::uint64_t mask, bool any) noexcept
{
    return any ? (word & mask) != 0 : (word & mask) == mask;
}
} // namespace

LEventData::LEventData() noexcept = default;

LEventData::~LEventData() = default;

// Sleepers on one data may wait for different bits, or several for one
// manual-reset bit: every one of them has to look at the new word, so a change
// wakes them all rather than one that may not be the one it concerns.
bool LEventData::Release(std::uint64_t mask) noexcept
{
    if (mask == 0)
    {
        return false;
    }
    mMutex.Lock();
    mSignaled.fetch_or(mask, std::memory_order_release);
    mCondition.Broadcast();
    mMutex.Unlock();
    return true;
}

bool LEventData::Reset(std::uint64_t mask) noexcept
{
    if (mask == 0)
    {
        return false;
    }
    mMutex.Lock();
    mSignaled.fetch_and(~mask, std::memory_order_release);
    mCondition.Broadcast();
    mMutex.Unlock();
    return true;
}

// The one read of the word without the lock, which its atomicity allows.
bool LEventData::IsSignaled(std::uint64_t mask, bool any) const noexcept NO_THREAD_SAFETY_ANALYSIS
{
    return IsSatisfied(mSignaled.load(std::memory_order_acquire), mask, any);
}

void LEventData::Lock() noexcept
{
    mMutex.Lock();
}

void LEventData::Unlock() noexcept
{
    mMutex.Unlock();
}

unsigned int LEventData::Wait(std::uint64_t mask, EventWaitType type, unsigned int milliseconds) noexcept
{
    if (mask == 0)
    {
        return Wait::EMPTY_WAIT;
    }
    const bool any = type == WAIT_ANY_RESET;
    mMutex.Lock();
    // A wait that is satisfied at once does not read the clock.
    if (!IsSatisfied(mSignaled.load(std::memory_order_relaxed), mask, any))
    {
        const Platform::MonotonicDeadline deadline =
            Platform::AddMilliseconds(Platform::GetMonotonicNow(), milliseconds);
        int waitResult = 0;
        do
        {
            waitResult = mCondition.WaitUntil(mMutex, deadline);
        } while (waitResult == 0 && !IsSatisfied(mSignaled.load(std::memory_order_relaxed), mask, any));
        // A time-out wins even over bits set in the same instant; they stay set
        // for the next wait.
        if (waitResult != 0)
        {
            mMutex.Unlock();
            return Wait::TIMED_OUT;
        }
    }

    const std::uint64_t word = mSignaled.load(std::memory_order_relaxed);
    unsigned int result = 0;
    switch (static_cast<std::int32_t>(type))
    {
    case WAIT_ALL_RESET:
    case 3:
        mSignaled.store(word & ~mask, std::memory_order_release);
        break;
    case WAIT_ANY_RESET:
    {
        // Bits outside the mask are neither reported nor cleared.
        result = static_cast<unsigned int>(std::countr_zero(word & mask));
        mSignaled.store(word & ~(std::uint64_t{1} << result), std::memory_order_release);
        break;
    }
    default:
        break;
    }
    mMutex.Unlock();
    return result;
}

} // namespace KT
