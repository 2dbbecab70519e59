#include "KTFramework/Utilities/Threading/EventData.h"

#include <bit>

namespace KT
{

namespace
{
constexpr unsigned int kEmptyMaskResult = 0xFFFFFFFFu;

bool IsSatisfied(std::uint64_t word, std::uint64_t mask, bool any) noexcept
{
    return any ? (word & mask) != 0 : (word & mask) == mask;
}
} // namespace

LEventData::LEventData() noexcept
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mMutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

LEventData::~LEventData()
{
    pthread_mutex_destroy(&mMutex);
}

// Sleepers on one data may wait for different bits, or several for one
// manual-reset bit: every one of them has to look at the new word, so a change
// wakes them all rather than one that may not be the one it concerns.
bool LEventData::Release(std::uint64_t mask) noexcept
{
    if (mask == 0)
    {
        return false;
    }
    pthread_mutex_lock(&mMutex);
    mSignaled.fetch_or(mask, std::memory_order_release);
    mCondition.Broadcast();
    pthread_mutex_unlock(&mMutex);
    return true;
}

bool LEventData::Reset(std::uint64_t mask) noexcept
{
    if (mask == 0)
    {
        return false;
    }
    pthread_mutex_lock(&mMutex);
    mSignaled.fetch_and(~mask, std::memory_order_release);
    mCondition.Broadcast();
    pthread_mutex_unlock(&mMutex);
    return true;
}

bool LEventData::IsSignaled(std::uint64_t mask, bool any) const noexcept
{
    return IsSatisfied(mSignaled.load(std::memory_order_acquire), mask, any);
}

void LEventData::Lock() noexcept
{
    pthread_mutex_lock(&mMutex);
}

void LEventData::Unlock() noexcept
{
    pthread_mutex_unlock(&mMutex);
}

unsigned int LEventData::Wait(std::uint64_t mask, EventWaitType type, unsigned int milliseconds) noexcept
{
    if (mask == 0)
    {
        return kEmptyMaskResult;
    }
    const bool any = type == WAIT_ANY_RESET;
    pthread_mutex_lock(&mMutex);
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
            pthread_mutex_unlock(&mMutex);
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
    pthread_mutex_unlock(&mMutex);
    return result;
}

} // namespace KT
