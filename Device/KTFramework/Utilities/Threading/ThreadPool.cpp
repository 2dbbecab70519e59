#include "KTFramework/Utilities/Threading/ThreadPool.h"

#include <new>
#include <utility>

namespace KT
{

namespace
{
constexpr const char* kQueueThreaderName = "LThreadPool::mQueueThreader";
constexpr const char* kUnnamedPool = "Unnamed ThreadPool";
constexpr long kNoWorker = -1;
// A ring's first storage; it doubles when full.
constexpr std::size_t kFirstRingSlots = 16;
// Rings of priorities no longer queued are kept for reuse up to this many.
constexpr std::size_t kKeptRings = 8;
} // namespace

// What a worker's threader runs: the job handed to it, then queued jobs, one
// after another, until the queue is empty or the pool is killed. Its run's
// parameter is the pool, which the run holds that way.
class LThreadPool::LWorkerLoop : public LThreadWorker
{
public:
    LWorkerLoop(LThreadPool& pool, std::size_t index) : mPool(pool), mIndex(index) {}

    int RunWorker(const RCPtr<LRefCountedObject>& pool) override;

    // The job the loop starts with: set under mPool.mLock while the worker is
    // idle, and taken by the run that the hand-over starts, which the
    // threader orders after it.
    Job mHanded;

private:
    LThreadPool& mPool;
    const std::size_t mIndex;
};

int LThreadPool::LWorkerLoop::RunWorker(const RCPtr<LRefCountedObject>&)
{
    RetriggerableThreader& threader = *mPool.mWorkers[mIndex];
    Job job = std::move(mHanded);
    for (;;)
    {
        if (job.worker.GetRaw() != nullptr)
        {
            // The worker goes by the job's name while it runs it.
            DeferredName name;
            if (job.worker->GetDeferredName(name))
            {
                threader.SetName(name);
            }
            else
            {
                threader.SetName(job.worker->ToString());
            }
            static_cast<void>(job.worker->RunWorker(job.parameter));
        }
        // Released outside the lock: a job's teardown may do anything.
        job = Job();
        RCPtr<LRefCountedObject> kept;
        {
            AutolockT<FastMutex> guard(mPool.mLock);
            if (mPool.mThreadCount.GetValue() >= 1 && !mPool.mQueue.IsEmpty())
            {
                job = mPool.mQueue.Pop();
                continue;
            }
            mPool.mTaking[mIndex] = false;
            if (!mPool.AnyWorkerTakingLocked())
            {
                kept.SwapReference(mPool.mKeptUntilIdle);
            }
        }
        // From here until the threader marks the worker idle, a job queued now
        // finds it neither idle nor taking: Queue starts the dispatcher for it.
        if (mPool.mTestHook)
        {
            mPool.mTestHook(HookPoint::WorkerRunEnding, mIndex);
        }
        return 0;
    }
}

// ---- JobQueue

bool LThreadPool::JobQueue::Push(Job& job)
{
    std::size_t at = 0;
    while (at < mRings.size() && mRings[at].priority > job.priority)
    {
        ++at;
    }
    try
    {
        if (at == mRings.size() || mRings[at].priority != job.priority)
        {
            Ring ring;
            ring.priority = job.priority;
            mRings.insert(mRings.begin() + static_cast<std::ptrdiff_t>(at), std::move(ring));
        }
        Ring& ring = mRings[at];
        if (ring.count == ring.slots.size())
        {
            std::vector<Job> grown(ring.slots.empty() ? kFirstRingSlots : 2 * ring.slots.size());
            for (std::size_t i = 0; i < ring.count; ++i)
            {
                grown[i] = std::move(ring.slots[(ring.first + i) & (ring.slots.size() - 1)]);
            }
            ring.slots.swap(grown);
            ring.first = 0;
        }
        ring.slots[(ring.first + ring.count) & (ring.slots.size() - 1)] = std::move(job);
        ++ring.count;
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
    ++mCount;
    return true;
}

LThreadPool::Job LThreadPool::JobQueue::Pop()
{
    std::size_t at = 0;
    while (mRings[at].count == 0)
    {
        ++at;
    }
    Ring& ring = mRings[at];
    Job job = std::move(ring.slots[ring.first]);
    ring.first = (ring.first + 1) & (ring.slots.size() - 1);
    --ring.count;
    --mCount;
    if (ring.count == 0 && mRings.size() > kKeptRings)
    {
        mRings.erase(mRings.begin() + static_cast<std::ptrdiff_t>(at));
    }
    return job;
}

void LThreadPool::JobQueue::Swap(JobQueue& other) noexcept
{
    mRings.swap(other.mRings);
    std::swap(mCount, other.mCount);
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
      mQueueThreader(StringT<char, unsigned short>(), stopTimeoutMs), mTaking(threadCount, false),
      mQueuePriority(queuePriority)
{
    mWorkerEvents.reset(new EventPool(static_cast<std::uint32_t>(threadCount)));
    mWorkers.reserve(threadCount);
    mLoops.reserve(threadCount);
    for (std::uint64_t i = 0; i < threadCount; ++i)
    {
        mWorkers.emplace_back(new RetriggerableThreader(StringT<char, unsigned short>(), stopTimeoutMs));
        mLoops.emplace_back(new LWorkerLoop(*this, i));
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
    Job job{worker, parameter, priority};
    AutolockT<FastMutex> guard(mLock);
    return StartLocked(job);
}

long LThreadPool::StartLocked(Job& job)
{
    // A worker idle while jobs are queued is about to be handed the first of
    // them by the dispatcher; a new job goes behind them.
    if (!mQueue.IsEmpty())
    {
        return kNoWorker;
    }
    const long threads = mThreadCount.GetValue();
    for (long i = 0; i < threads && static_cast<std::size_t>(i) < mWorkers.size(); ++i)
    {
        if (HandLocked(static_cast<std::size_t>(i), job))
        {
            return i;
        }
    }
    return kNoWorker;
}

bool LThreadPool::HandLocked(std::size_t index, Job& job)
{
    RetriggerableThreader& threader = *mWorkers[index];
    if (threader.IsRunning())
    {
        return false;
    }
    LWorkerLoop& loop = *mLoops[index];
    const int priority = job.priority;
    loop.mHanded = std::move(job);
    if (threader.Run(RCPtr<LThreadWorker>(mLoops[index]), RCPtr<LRefCountedObject>(this),
                     mWorkerEvents->GetEvent(static_cast<std::uint32_t>(index)), priority) < 0)
    {
        job = std::move(loop.mHanded);
        return false;
    }
    mTaking[index] = true;
    return true;
}

bool LThreadPool::AnyWorkerTakingLocked() const
{
    for (const bool taking : mTaking)
    {
        if (taking)
        {
            return true;
        }
    }
    return false;
}

bool LThreadPool::AllWorkersTakingLocked() const
{
    for (const bool taking : mTaking)
    {
        if (!taking)
        {
            return false;
        }
    }
    return true;
}

// A worker that takes queued jobs looks at the queue again only when its job
// ends, which may be long after another worker has become idle; so only when
// every worker takes them is no dispatcher needed.
bool LThreadPool::NeedsDispatcherLocked() const
{
    return !mQueue.IsEmpty() && !AllWorkersTakingLocked();
}

void LThreadPool::Queue(const RCPtr<LThreadWorker>& worker, const RCPtr<LRefCountedObject>& parameter,
                        int priority)
{
    Job job{worker, parameter, priority};
    Queue(&job, 1);
}

void LThreadPool::Queue(Job* jobs, std::size_t count)
{
    if (count == 0 || mThreadCount.GetValue() < 1)
    {
        return;
    }
    // Declared before the guard: released after it.
    JobQueue dropped;
    AutolockT<FastMutex> guard(mLock);
    // Kill may have emptied the queue between the test above and this lock; a
    // dispatcher started now would never be stopped.
    if (mThreadCount.GetValue() < 1)
    {
        return;
    }
    for (std::size_t i = 0; i < count; ++i)
    {
        // A job that cannot be queued is dropped, as one offered to a killed
        // pool is.
        if (StartLocked(jobs[i]) < 0)
        {
            static_cast<void>(mQueue.Push(jobs[i]));
        }
    }
    if (mDispatching || !NeedsDispatcherLocked())
    {
        return;
    }
    StartDispatcherLocked(dropped);
}

void LThreadPool::StartDispatcherLocked(JobQueue& dropped)
{
    // A run that decided to end may still be returning; it releases the event
    // without the lock.
    static_cast<void>(mQueueIdle->Wait(Wait::INFINITE_WAIT)); // ends only once released
    RCPtr<LThreadWorker> self(this);
    if (mQueueThreader.Run(self, RCPtr<LRefCountedObject>(this), mQueueIdle, mQueuePriority) < 0)
    {
        if (!AnyWorkerTakingLocked())
        {
            mQueue.Swap(dropped);
        }
        mQueueIdle->Release();
        return;
    }
    mDispatching = true;
}

int LThreadPool::RunWorker(const RCPtr<LRefCountedObject>&)
{
    for (;;)
    {
        const std::uint32_t index = mWorkerEvents->Wait(Wait::INFINITE_WAIT);
        if (mTestHook)
        {
            mTestHook(HookPoint::DispatcherWoken, index);
        }
        // Declared before the guard: a refused job is released after it.
        Job job;
        AutolockT<FastMutex> guard(mLock);
        if (!NeedsDispatcherLocked())
        {
            mDispatching = false;
            return 0;
        }
        if (index >= mWorkers.size() || mWorkers[index]->IsRunning())
        {
            continue;
        }
        job = mQueue.Pop();
        // An idle threader refuses a job only once killed (the pool is then
        // being killed and drops its jobs anyway) or when its thread never
        // started; the job is dropped, as one offered to a killed pool is.
        static_cast<void>(HandLocked(index, job));
        if (!NeedsDispatcherLocked())
        {
            mDispatching = false;
            return 0;
        }
    }
}

void LThreadPool::Kill()
{
    mThreadCount.SetValue(0);
    JobQueue dropped;
    {
        AutolockT<FastMutex> guard(mLock);
        mQueue.Swap(dropped);
    }
    dropped = JobQueue();
    // A dispatcher waiting for a worker that has ended its run wakes, finds the
    // queue empty and returns, instead of holding the kill up until a job ends.
    mWorkerEvents->Release(0);
    mQueueThreader.Kill();
    for (std::uint64_t i = mWorkerEvents->GetCount(); i > 0; --i)
    {
        mWorkers[static_cast<std::size_t>(i - 1)]->Kill();
    }
    // A job handed to a worker that was killed before its loop began. A worker
    // still running after its stop time-out is in its loop, which has taken
    // its job or will, and ends taking jobs when it ends.
    std::vector<Job> handed(mLoops.size());
    RCPtr<LRefCountedObject> kept;
    AutolockT<FastMutex> guard(mLock);
    for (std::size_t i = 0; i < mLoops.size(); ++i)
    {
        if (!mWorkers[i]->IsRunning())
        {
            handed[i] = std::move(mLoops[i]->mHanded);
            mTaking[i] = false;
        }
    }
    if (!AnyWorkerTakingLocked())
    {
        kept.SwapReference(mKeptUntilIdle);
    }
}

void LThreadPool::ReleaseWhenIdle(const RCPtr<LRefCountedObject>& object)
{
    // Declared before the guard: released after it.
    RCPtr<LRefCountedObject> released(object);
    AutolockT<FastMutex> guard(mLock);
    if (AnyWorkerTakingLocked())
    {
        released.SwapReference(mKeptUntilIdle);
    }
}

StringT<char, unsigned short> LThreadPool::GetWorkerName(std::size_t index) const
{
    return index < mWorkers.size() ? mWorkers[index]->ToString() : StringT<char, unsigned short>();
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
