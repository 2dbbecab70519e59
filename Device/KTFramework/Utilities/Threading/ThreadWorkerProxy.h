// KT::LThreadWorkerProxy<T>: a thread worker that calls a member function of an
// owner object, so that an owner can run one of its own methods on a threader.
// It holds a counted reference to the owner until DropOwnerReference.
//
// Threads: RunWorker runs on the threader's thread; DropOwnerReference on any.
// The owner field is read and replaced under mOwnerLock, and RunWorker holds a
// counted reference of its own for the whole call, so dropping the field while
// the method runs cannot free the owner under it. The running-thread field is
// atomic.
#pragma once

#include <atomic>
#include <thread>

#include "KTFramework/Utilities/Threading/Mutex.h"
#include "KTFramework/Utilities/Threading/ThreadWorker.h"
#include "Platform/ThreadAnnotations.h"

namespace KT
{

template <class T>
class LThreadWorkerProxy : public LThreadWorker
{
public:
    using Method = int (T::*)(const RCPtr<LRefCountedObject>&);

    static RCPtr<LThreadWorkerProxy> Create(const RCPtr<T>& owner, Method method)
    {
        return RCPtr<LThreadWorkerProxy>(new LThreadWorkerProxy(owner, method));
    }

    // Calls the method on the owner, if still held; returns 0.
    int RunWorker(const RCPtr<LRefCountedObject>& parameter) override;
    // Releases the owner reference and returns true, except on the thread that
    // is inside RunWorker: there the reference stays, and the result tells
    // whether it was already gone.
    virtual bool DropOwnerReference();

    ~LThreadWorkerProxy() override = default;

protected:
    LThreadWorkerProxy(const RCPtr<T>& owner, Method method)
        : mRunningThread(std::thread::id()), mMethod(method)
    {
        RCPtr<T> copy(owner);
        mOwner.SwapReference(copy);
    }

private:
    std::atomic<std::thread::id> mRunningThread;
    Method mMethod;
    RCPtr<T> mOwner GUARDED_BY(mOwnerLock);
    FastMutex mOwnerLock;
};

template <class T>
int LThreadWorkerProxy<T>::RunWorker(const RCPtr<LRefCountedObject>& parameter)
{
    mRunningThread.store(std::this_thread::get_id());
    RCPtr<T> owner;
    {
        AutolockT<FastMutex> guard(mOwnerLock);
        owner = mOwner;
    }
    if (owner.GetRaw() != nullptr)
    {
        (owner.GetRaw()->*mMethod)(parameter);
    }
    // Cleared before the local reference goes: that release may end the owner,
    // and its teardown may call DropOwnerReference from this thread.
    mRunningThread.store(std::thread::id());
    return 0;
}

template <class T>
bool LThreadWorkerProxy<T>::DropOwnerReference()
{
    RCPtr<T> dropped;
    AutolockT<FastMutex> guard(mOwnerLock);
    if (mRunningThread.load() == std::this_thread::get_id())
    {
        return mOwner.GetRaw() == nullptr;
    }
    dropped.SwapReference(mOwner);
    return true;
}

} // namespace KT
