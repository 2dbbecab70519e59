// The framework's locks and their scope guard. KT::Mutex is a recursive lock;
// KT::FastMutex is a non-recursive lock on one atomic state word whose
// contenders park on an auto-reset KT::Event; KT::AutolockT holds either for the
// lifetime of a block.
//
// FastMutex does not know its holder: it must not be taken twice by one thread,
// and only its holder releases it.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "KTFramework/Utilities/Threading/Event.h"

namespace KT
{

class Mutex
{
public:
    Mutex() noexcept;
    virtual ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // Each Acquire, also a nested one on the holding thread, needs its Release.
    void Acquire() noexcept;
    void Release() noexcept;
    void Lock() noexcept { Acquire(); }
    void Unlock() noexcept { Release(); }

private:
    pthread_mutex_t mMutex;
};

class FastMutex
{
public:
    FastMutex();
    ~FastMutex() = default;
    FastMutex(const FastMutex&) = delete;
    FastMutex& operator=(const FastMutex&) = delete;

    void Acquire();
    void Release();
    void Lock() { Acquire(); }
    void Unlock() { Release(); }

private:
    // Lets tests read the state word and look at the parking event.
    friend struct FastMutexProbe;

    enum : std::int32_t
    {
        kFree = 0,
        kHeld = 1,           // nobody has announced that it waits
        kHeldWithWaiters = 2 // one or more threads may be parked on mEvent
    };

    std::atomic<std::int32_t> mState;
    Event mEvent;
};

// Locks M (Mutex or FastMutex) from construction to destruction.
template <class M>
class AutolockT
{
public:
    explicit AutolockT(M& lock) : mLock(lock) { mLock.Lock(); }
    ~AutolockT() { mLock.Unlock(); }
    AutolockT(const AutolockT&) = delete;
    AutolockT& operator=(const AutolockT&) = delete;

private:
    M& mLock;
};

} // namespace KT
