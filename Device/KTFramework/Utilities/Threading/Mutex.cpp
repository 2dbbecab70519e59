#include "KTFramework/Utilities/Threading/Mutex.h"

namespace KT
{

Mutex::Mutex() noexcept
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mMutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

Mutex::~Mutex()
{
    pthread_mutex_destroy(&mMutex);
}

void Mutex::Acquire() noexcept
{
    pthread_mutex_lock(&mMutex);
}

void Mutex::Release() noexcept
{
    pthread_mutex_unlock(&mMutex);
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
        mEvent.Wait(Wait::INFINITE_WAIT);
    }
}

void FastMutex::Release()
{
    if (mState.exchange(kFree, std::memory_order_release) == kHeldWithWaiters)
    {
        mEvent.Release();
    }
}

} // namespace KT
