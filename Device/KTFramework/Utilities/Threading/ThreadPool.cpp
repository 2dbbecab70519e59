#include "KTFramework/Utilities/Threading/ThreadPool.h"

#include "KTFramework/Utilities/Storage/ReuseAllocator.h"

namespace KT
{

namespace
{
constexpr const char* kQueueThreaderName = "LThreadPool::mQueueThreader";
constexpr const char* kUnnamedPool = "Unnamed ThreadPool";
constexpr long kNoWorker = -1;
} // namespace

// ---- LWorkerParams

namespace
{
using WorkerParamsPool = ReuseAllocator<LThreadPool::LWorkerParams, 1, FastMutex>;
} // namespace

LThreadPool::LWorkerParams::LWorkerParams(const RCPtr<LThreadWorker>& worker,
                                          const RCPtr<LRefCountedObject>& parameter, int priority)
    : mWorker(worker), mParameter(parameter), mPriority(priority)
{
}

RCPtr<LThreadPool::LWorkerParams>
LThreadPool::LWorkerParams::Create(const RCPtr<LThreadWorker>& worker,
                                   const RCPtr<LRefCountedObject>& parameter, int priority)
{
    return RCPtr<LWorkerParams>(new LWorkerParams(worker, parameter, priority));
}

int LThreadPool::LWorkerParams::Run(RetriggerableThreader& threader, const RCPtr<LEvent>& doneEvent)
{
    if (mWorker.GetRaw() != nullptr)
    {
        threader.SetName(mWorker->ToString());
    }
    return threader.Run(mWorker, mParameter, doneEvent, mPriority);
}

void* LThreadPool::LWorkerParams::operator new(std::size_t size)
{
    void* block = WorkerParamsPool::Shared().Alloc(size);
    if (block == nullptr)
    {
        throw std::bad_alloc();
    }
    return block;
}

void LThreadPool::LWorkerParams::operator delete(void* block) noexcept
{
    if (block != nullptr)
    {
        WorkerParamsPool::Shared().Free(block);
    }
}

// ---- LThreadPool

RCPtr<LThreadPool> LThreadPool::Create(std::uint64_t threadCount, int queuePriority,
                                       std::uint32_t stopTimeoutMs)
{
    if (threadCount > Wait::MAX_WAIT_OBJECTS)
    {
        return RCPtr<LThreadPool>();
    }
    return RCPtr<LThreadPool>(new LThreadPool(threadCount, queuePriority, stopTimeoutMs));
}

LThreadPool::LThreadPool(std::uint64_t threadCount, int queuePriority, std::uint32_t stopTimeoutMs)
    : mThreadCount(static_cast<int>(threadCount)),
      mQueueThreader(StringT<char, unsigned short>(), stopTimeoutMs), mQueue(0, 0),
      mQueuePriority(queuePriority)
{
    mWorkerEvents.reset(new EventPool(static_cast<std::uint32_t>(threadCount)));
    mWorkers.reserve(threadCount);
    for (std::uint64_t i = 0; i < threadCount; ++i)
    {
        mWorkers.emplace_back(new RetriggerableThreader(StringT<char, unsigned short>(), stopTimeoutMs));
    }
    mQueueIdle = LEvent::Create(true);
    mQueueIdle->Release();
    mQueueThreader.SetName(StringT<char, unsigned short>(kQueueThreaderName));
}

LThreadPool::~LThreadPool()
{
    Kill();
    while (!mWorkers.empty())
    {
        mWorkers.pop_back();
    }
    mWorkerEvents.reset();
}

long LThreadPool::Run(const RCPtr<LThreadWorker>& worker, const RCPtr<LRefCountedObject>& parameter,
                      int priority)
{
    for (long i = 0; i < mThreadCount.GetValue(); ++i)
    {
        AutolockT<Mutex> guard(mLock);
        // In a one-thread pool a new job never overtakes queued ones, even when
        // the worker happens to be idle.
        if (!mQueue.IsEmpty() && mThreadCount.GetValue() == 1)
        {
            return kNoWorker;
        }
        RetriggerableThreader& threader = *mWorkers[static_cast<std::size_t>(i)];
        if (!threader.IsRunning())
        {
            if (worker.GetRaw() != nullptr)
            {
                threader.SetName(worker->ToString());
            }
            if (threader.Run(worker, parameter, mWorkerEvents->GetEvent(static_cast<std::uint32_t>(i)),
                             priority) >= 0)
            {
                return i;
            }
        }
    }
    return kNoWorker;
}

void LThreadPool::Queue(const RCPtr<LThreadWorker>& worker, const RCPtr<LRefCountedObject>& parameter,
                        int priority)
{
    if (Run(worker, parameter, priority) >= 0)
    {
        return;
    }
    if (mThreadCount.GetValue() < 1)
    {
        return;
    }
    RCPtr<LWorkerParams> job = LWorkerParams::Create(worker, parameter, priority);

    AutolockT<Mutex> guard(mLock);
    // Kill may have emptied the queue between the test above and this lock; a
    // dispatcher started now would never be stopped, and one still running may
    // need this lock to finish.
    if (mThreadCount.GetValue() < 1)
    {
        return;
    }
    const std::size_t queued = mQueue.GetCount();
    std::size_t at = 0;
    while (at < queued && mQueue[at]->GetPriority() < priority)
    {
        ++at;
    }
    if (Result::Failed(mQueue.InsertItem(at, job)))
    {
        return; // not queued: dropped, as a job offered to a killed pool is
    }
    if (queued > 0)
    {
        return; // a dispatcher run is in progress and will reach the job
    }
    // A run that dispatched the last job may still be returning; it releases
    // the event without the lock.
    static_cast<void>(mQueueIdle->Wait(Wait::INFINITE_WAIT)); // ends only once released
    RCPtr<LThreadWorker> self(this);
    if (mQueueThreader.Run(self, self, mQueueIdle, mQueuePriority) < 0)
    {
        // No dispatcher can run: nothing would ever take the job or release the
        // queue-idle event again.
        static_cast<void>(mQueue.Clear()); // emptying cannot fail
        mQueueIdle->Release();
    }
}

int LThreadPool::RunWorker(const RCPtr<LRefCountedObject>&)
{
    for (;;)
    {
        const std::uint32_t index = mWorkerEvents->Wait(Wait::INFINITE_WAIT);
        AutolockT<Mutex> guard(mLock);
        if (mQueue.IsEmpty())
        {
            return 0;
        }
        if (index >= mWorkers.size())
        {
            continue;
        }
        RetriggerableThreader& threader = *mWorkers[index];
        if (!threader.IsRunning())
        {
            // The last job has the highest priority and, among equals, was
            // queued first.
            RCPtr<LWorkerParams> job;
            static_cast<void>(mQueue.RemoveLast(job)); // the queue is not empty
            // An idle threader refuses a job only once killed (the pool is then
            // being killed and drops its jobs anyway) or when its thread never
            // started; the job is dropped, as one offered to a killed pool is.
            static_cast<void>(job->Run(threader, mWorkerEvents->GetEvent(index)));
            if (mQueue.IsEmpty())
            {
                return 0;
            }
        }
    }
}

void LThreadPool::Kill()
{
    mThreadCount.SetValue(0);
    {
        AutolockT<Mutex> guard(mLock);
        static_cast<void>(mQueue.Clear()); // emptying cannot fail
    }
    // A dispatcher waiting for a free worker wakes, finds the queue empty and
    // returns, instead of holding the kill up until a job ends.
    mWorkerEvents->Release(0);
    mQueueThreader.Kill();
    for (std::uint64_t i = mWorkerEvents->GetCount(); i > 0; --i)
    {
        mWorkers[static_cast<std::size_t>(i - 1)]->Kill();
    }
}

StringT<char, unsigned short> LThreadPool::ToString() const
{
    const char* name = mName.CStr();
    if (name != nullptr && name[0] != '\0')
    {
        return mName;
    }
    return StringT<char, unsigned short>(kUnnamedPool);
}

} // namespace KT
