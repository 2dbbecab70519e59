// Holds a container's optional lock for a scope: a null lock means the container
// was built for one thread and nothing is taken. LockT is any class with Lock
// and Unlock, given by the container's user, so that storage does not depend on
// the threading classes. The guard does not own the lock.
#pragma once

#include "Platform/ThreadAnnotations.h"

namespace KT
{

template <class LockT>
class SCOPED_CAPABILITY OptionalLockGuard
{
public:
    // Without a lock the analysis may take the single thread as holding it.
    explicit OptionalLockGuard(LockT* lock) ACQUIRE(lock) : mLock(lock)
    {
        if (mLock != nullptr)
        {
            mLock->Lock();
        }
    }
    ~OptionalLockGuard() RELEASE()
    {
        if (mLock != nullptr)
        {
            mLock->Unlock();
        }
    }
    OptionalLockGuard(const OptionalLockGuard&) = delete;
    OptionalLockGuard& operator=(const OptionalLockGuard&) = delete;

private:
    LockT* mLock;
};

} // namespace KT
