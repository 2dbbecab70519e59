#include "KTFramework/Utilities/Threading/EventGatedThreader.h"

#include <atomic>

#include "KTFramework/Utilities/Threading/Mutex.h"

namespace KT
{

// What the loop touches; held by the threader and by its thread.
class LEventGatedThreader::LCore : public LRefCountedObject
{
public:
    void Loop();

    RCPtr<LEvent> gate;                 // set before the thread starts, then only read
    RCPtr<LRefCountedObject> parameter; // likewise
    std::atomic<bool> killed{false};
    FastMutex workerLock;
    RCPtr<LThreadWorker> worker GUARDED_BY(workerLock);
    std::atomic<std::uint32_t> waitTimeout{Wait::INFINITE_WAIT};
    std::atomic<bool> waiting{false}; // the loop is in, or about to enter, a gate wait
    std::atomic<std::uint32_t> lastWaitResult{0};
    std::atomic<bool> busy{false};
};

void LEventGatedThreader::LCore::Loop()
{
    while (!killed.load())
    {
        waiting.store(true);
        lastWaitResult.store(gate->Wait(waitTimeout.load()));
        waiting.store(false);
        if (killed.load())
        {
            break;
        }
        RCPtr<LThreadWorker> job;
        {
            AutolockT<FastMutex> guard(workerLock);
            job = worker;
        }
        if (job.GetRaw() != nullptr)
        {
            busy.store(true);
            job->RunWorker(parameter);
            busy.store(false);
        }
    }
}

RCPtr<LEventGatedThreader> LEventGatedThreader::Create(const RCPtr<LEvent>& gate,
                                                       const RCPtr<LThreadWorker>& worker,
                                                       const RCPtr<LRefCountedObject>& parameter,
                                                       int priority, std::uint32_t stopTimeoutMs)
{
    return RCPtr<LEventGatedThreader>(
        new LEventGatedThreader(gate, worker, parameter, priority, stopTimeoutMs));
}

LEventGatedThreader::LEventGatedThreader(const RCPtr<LEvent>& gate, const RCPtr<LThreadWorker>& worker,
                                         const RCPtr<LRefCountedObject>& parameter, int priority,
                                         std::uint32_t stopTimeoutMs)
    : mCore(new LCore), mThread(&LEventGatedThreader::ThreadProc, mCore.GetRaw(), stopTimeoutMs),
      mStopTimeoutMs(stopTimeoutMs)
{
    mCore->gate = gate;
    mCore->worker = worker;
    mCore->parameter = parameter;
    mThread.SetPriority(priority);
    mThread.SetAutoPriorityBoostEnable(true);
    // The thread's own reference: given up here and taken over by ThreadProc,
    // or taken back and dropped at once when the thread could not start.
    LCore* const threadReference = RCPtr<LCore>(mCore).LeakRef();
    if (!mThread.Execute())
    {
        static_cast<void>(AdoptRef(threadReference));
    }
}

LEventGatedThreader::~LEventGatedThreader()
{
    Kill();
}

void* LEventGatedThreader::ThreadProc(void* core)
{
    // Takes over the reference the constructor gave up for this thread.
    const RCPtr<LCore> held = AdoptRef(static_cast<LCore*>(core));
    if (held->gate.GetRaw() != nullptr)
    {
        held->Loop();
    }
    return nullptr;
}

void LEventGatedThreader::SetWaitTimeout(std::uint32_t milliseconds)
{
    const std::uint32_t previous = mCore->waitTimeout.exchange(milliseconds);
    if (milliseconds < previous && mCore->waiting.load() && mCore->gate.GetRaw() != nullptr)
    {
        mCore->gate->Release();
    }
}

void LEventGatedThreader::Kill()
{
    mCore->killed.store(true);
    if (mCore->gate.GetRaw() != nullptr)
    {
        mCore->gate->Release();
    }
    mThread.WaitForDeath(mStopTimeoutMs);
    RCPtr<LThreadWorker> dropped;
    AutolockT<FastMutex> guard(mCore->workerLock);
    dropped.SwapReference(mCore->worker);
}

} // namespace KT
