#include "KTFramework/Utilities/Threading/Mutex.h"

namespace KT
{

Mutex::Mutex() noexcept : mMutex(Platform::NativeMutex::Kind::Recursive) {}

Mutex::~Mutex() = default;

// The lock itself, which the analysis takes on trust: it sees the platform
// mutex taken, not this object.
void Mutex::Acquire() noexcept NO_THREAD_SAFETY_ANALYSIS
{
    mMutex.Lock();
}

void Mutex::Release() noexcept NO_THREAD_SAFETY_ANALYSIS
{
    mMutex.Unlock();
}

void Mutex::Lock() noexcept NO_THREAD_SAFETY_ANALYSIS
{
    mMutex.Lock();
}

void Mutex::Unlock() noexcept NO_THREAD_SAFETY_ANALYSIS
{
    mMutex.Unlock();
}

FastMutex::FastMutex() : mEvent(true)
{
    mState.store(kFree, std::memory_order_seq_cst);
}

// Uncontended, one exchange and no system call. A contender announces itself by
// writing kHeldWithWaiters, so the holder's release will wake it; a wake-up that
// finds the lock taken again (or a signal left over from a release nobody was
// parked for) just loops back to the exchange.
void FastMutex::Acquire()
{
    if (mState.exchange(kHeld, std::memory_order_acquire) == kFree)
    {
        return;
    }
    while (mState.exchange(kHeldWithWaiters, std::memory_order_acquire) != kFree)
    {
        static_cast<void>(mEvent.Wait(Wait::INFINITE_WAIT));
    }
}

void FastMutex::Release() NO_THREAD_SAFETY_ANALYSIS
{
    if (mState.exchange(kFree, std::memory_order_release) == kHeldWithWaiters)
    {
        mEvent.Release();
    }
}

} // namespace KT
