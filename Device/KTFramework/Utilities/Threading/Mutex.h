// The framework's locks and their scope guard. KT::Mutex is a recursive lock on
// the platform's mutex; KT::FastMutex is a non-recursive lock on one atomic
// state word whose contenders park on an auto-reset KT::Event; KT::AutolockT
// holds either for the lifetime of a block. All three carry the lock
// annotations that clang's -Wthread-safety checks.
//
// FastMutex does not know its holder: it must not be taken twice by one thread,
// and only its holder releases it. Mutex may be taken again by its holder; the
// analysis does not model that, so a function that relies on it says so.
#pragma once

#include <atomic>
#include <cstdint>

#include "KTFramework/Utilities/Threading/Event.h"
#include "Platform/NativeMutex.h"
#include "Platform/ThreadAnnotations.h"

namespace KT
{

class CAPABILITY("mutex") Mutex
{
public:
    Mutex() noexcept;
    virtual ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // Each Acquire, also a nested one on the holding thread, needs its Release.
    // Defined in the library, which alone reaches the platform's mutex.
    void Acquire() noexcept ACQUIRE();
    void Release() noexcept RELEASE();
    void Lock() noexcept ACQUIRE();
    void Unlock() noexcept RELEASE();

private:
    Platform::NativeMutex mMutex;
};

class CAPABILITY("mutex") FastMutex
{
public:
    FastMutex();
    ~FastMutex() = default;
    FastMutex(const FastMutex&) = delete;
    FastMutex& operator=(const FastMutex&) = delete;

    // The lock itself, which the analysis takes on trust (see Mutex.cpp).
    void Acquire() ACQUIRE();
    void Release() RELEASE();
    void Lock() ACQUIRE() { Acquire(); }
    void Unlock() RELEASE() { Release(); }

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
class SCOPED_CAPABILITY AutolockT
{
public:
    explicit AutolockT(M& lock) ACQUIRE(lock) : mLock(lock) { mLock.Lock(); }
    ~AutolockT() RELEASE() { mLock.Unlock(); }
    AutolockT(const AutolockT&) = delete;
    AutolockT& operator=(const AutolockT&) = delete;

private:
    M& mLock;
};

} // namespace KT
