#include "KTFramework/Utilities/Threading/RetriggerableThreader.h"

#include <atomic>

#include "KTFramework/Utilities/Threading/Mutex.h"

namespace KT
{

// What the loop touches; held by the threader and by its thread.
class RetriggerableThreader::LCore : public LRefCountedObject
{
public:
    void Loop();

    Event trigger{true};
    std::atomic<bool> running{false};
    std::atomic<bool> killed{false};
    FastMutex jobLock; // also orders the job fields with killed
    RCPtr<LEvent> doneEvent GUARDED_BY(jobLock);
    RCPtr<LThreadWorker> worker GUARDED_BY(jobLock);
    RCPtr<LRefCountedObject> parameter GUARDED_BY(jobLock);
    std::atomic<int> result{0};
};

void RetriggerableThreader::LCore::Loop()
{
    while (!killed.load())
    {
        // Ends only when the trigger is released; the flags say why.
        static_cast<void>(trigger.Wait(Wait::INFINITE_WAIT));
        RCPtr<LThreadWorker> job;
        RCPtr<LRefCountedObject> argument;
        {
            AutolockT<FastMutex> guard(jobLock);
            job.SwapReference(worker);
            argument.SwapReference(parameter);
        }
        if (!killed.load() && job.GetRaw() != nullptr)
        {
            result.store(job->RunWorker(argument));
        }
        // Either release may be the last reference to this threader's owner;
        // from here on only the core is touched.
        argument.SetNull();
        job.SetNull();
        RCPtr<LEvent> done;
        {
            AutolockT<FastMutex> guard(jobLock);
            done.SwapReference(doneEvent);
            running.store(false);
        }
        if (done.GetRaw() != nullptr)
        {
            done->Release();
        }
    }
    // A job accepted after the last run but before the kill was never taken:
    // drop it, or the core would keep its worker (often this threader's owner)
    // alive for ever; its completion event is released so no waiter hangs.
    RCPtr<LThreadWorker> job;
    RCPtr<LRefCountedObject> argument;
    RCPtr<LEvent> done;
    {
        AutolockT<FastMutex> guard(jobLock);
        job.SwapReference(worker);
        argument.SwapReference(parameter);
        done.SwapReference(doneEvent);
        running.store(false);
    }
    argument.SetNull();
    job.SetNull();
    if (done.GetRaw() != nullptr)
    {
        done->Release();
    }
}

RetriggerableThreader::RetriggerableThreader(const StringT<char, unsigned short>& name,
                                             std::uint32_t stopTimeoutMs)
    : mCore(new LCore), mThread(&RetriggerableThreader::ThreadProc, mCore.GetRaw(), stopTimeoutMs),
      mName(name), mStopTimeoutMs(stopTimeoutMs)
{
    mThread.SetAutoPriorityBoostEnable(true);
    // The thread's own reference: given up here and taken over by ThreadProc,
    // or taken back and dropped at once when the thread could not start.
    LCore* const threadReference = RCPtr<LCore>(mCore).LeakRef();
    if (!mThread.Execute())
    {
        static_cast<void>(AdoptRef(threadReference));
    }
}

RetriggerableThreader::~RetriggerableThreader()
{
    Kill();
}

void* RetriggerableThreader::ThreadProc(void* core)
{
    // Takes over the reference the constructor gave up for this thread.
    const RCPtr<LCore> held = AdoptRef(static_cast<LCore*>(core));
    held->Loop();
    return nullptr;
}

int RetriggerableThreader::Run(const RCPtr<LThreadWorker>& worker, const RCPtr<LRefCountedObject>& parameter,
                               int priority)
{
    return Accept(worker, parameter, nullptr, priority);
}

int RetriggerableThreader::Run(const RCPtr<LThreadWorker>& worker, const RCPtr<LRefCountedObject>& parameter,
                               const RCPtr<LEvent>& doneEvent, int priority)
{
    return Accept(worker, parameter, &doneEvent, priority);
}

int RetriggerableThreader::Accept(const RCPtr<LThreadWorker>& worker,
                                  const RCPtr<LRefCountedObject>& parameter, const RCPtr<LEvent>* doneEvent,
                                  int priority)
{
    LCore& core = *mCore;
    RCPtr<LThreadWorker> previousWorker;
    RCPtr<LRefCountedObject> previousParameter;
    RCPtr<LEvent> previousDone;
    {
        AutolockT<FastMutex> guard(core.jobLock);
        if (core.killed.load())
        {
            return RESULT_FAILED;
        }
        if (mThread.IsDead())
        {
            // Nobody would ever run the job or release its completion event.
            core.running.store(false);
            return RESULT_FAILED;
        }
        if (core.running.load())
        {
            return RESULT_FAILED;
        }
        mThread.SetPriority(priority);
        previousWorker = core.worker;
        previousParameter = core.parameter;
        previousDone = core.doneEvent;
        core.worker = worker;
        core.parameter = parameter;
        core.doneEvent = doneEvent != nullptr ? *doneEvent : RCPtr<LEvent>::Null;
        if (doneEvent != nullptr && doneEvent->GetRaw() != nullptr)
        {
            (*doneEvent)->Reset();
        }
        core.running.store(true);
    }
    // References left from before are dropped outside the lock; their owners'
    // teardown may do anything.
    return core.trigger.Release() ? 0 : RESULT_FAILED;
}

bool RetriggerableThreader::IsRunning() const
{
    if (mCore->running.load() && mThread.IsDead())
    {
        mCore->running.store(false);
    }
    return mCore->running.load();
}

void RetriggerableThreader::Kill()
{
    {
        AutolockT<FastMutex> guard(mCore->jobLock);
        mCore->killed.store(true);
    }
    mCore->trigger.Release();
    mThread.WaitForDeath(mStopTimeoutMs);
}

void RetriggerableThreader::SetName(const StringT<char, unsigned short>& name)
{
    AutolockT<FastMutex> guard(mNameLock);
    mName = name;
    mDeferredName = DeferredName();
}

void RetriggerableThreader::SetName(const DeferredName& name)
{
    AutolockT<FastMutex> guard(mNameLock);
    mDeferredName = name;
}

StringT<char, unsigned short> RetriggerableThreader::ToString() const
{
    DeferredName deferred;
    {
        AutolockT<FastMutex> guard(mNameLock);
        if (mDeferredName.IsEmpty())
        {
            return mName;
        }
        deferred = mDeferredName;
    }
    return deferred.ToString();
}

} // namespace KT
