// KT::LThreadPool: runs jobs (a thread worker, a parameter and a priority) on a
// fixed set of worker threads. Queued jobs run by priority, then arrival, and a
// new job starts at once only when it finds an idle worker and no queued job
// (it never overtakes them). A worker that ends a job takes the next queued one
// itself; the dispatcher, run on mQueueThreader, hands queued jobs to workers as
// they end their runs for as long as jobs are queued and some worker does not
// take them (it is ending its run, or idle in the moment before the dispatcher
// reaches it), so that no job waits while a thread of the pool is idle.
// Created through Create, held by RCPtr; its owner calls Kill before dropping
// it.
//
// Threads: Queue, Run and Kill may be called on any thread. A worker's thread
// runs its LWorkerLoop: the job handed to it, then queued jobs until the queue
// is empty; the dispatcher (RunWorker) runs on mQueueThreader's thread. mLock
// guards the queue, the workers' taking flags and handed jobs and
// the dispatching flag: it is held while a job is offered to a worker, while
// jobs are queued, while a worker takes the next one, while Queue waits for
// the queue-idle event and starts the dispatcher, and during each dispatch;
// never while a job runs or is released. It also guards what ReleaseWhenIdle
// keeps. The thread count is atomic. A
// worker's run and a dispatcher run each hold a reference to the pool, so the
// pool may end on either thread, or on a worker whose job held the last
// reference: none waits for itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/StringT.h"
#include "KTFramework/Utilities/Threading/Event.h"
#include "KTFramework/Utilities/Threading/EventPool.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "KTFramework/Utilities/Threading/RetriggerableThreader.h"
#include "KTFramework/Utilities/Threading/ThreadWorker.h"
#include "Platform/ThreadAnnotations.h"

namespace KT
{

class LThreadPool : public LThreadWorker
{
public:
    // One job as Queue takes it.
    struct Job
    {
        RCPtr<LThreadWorker> worker;
        RCPtr<LRefCountedObject> parameter;
        int priority = 0;
    };

    // Starts threadCount workers and the dispatcher's threader; null for more
    // than KT::Wait::MAX_WAIT_OBJECTS workers (one completion event each).
    // stopTimeoutMs bounds every wait for a thread to end; tests pass a short one.
    static RCPtr<LThreadPool> Create(std::uint64_t threadCount, int queuePriority,
                                     std::uint32_t stopTimeoutMs = Thread::GetStopTimeoutMs());

    // Starts the job now or queues it; dropped without a trace once the pool is
    // killed or when it has no threads.
    void Queue(const RCPtr<LThreadWorker>& worker, const RCPtr<LRefCountedObject>& parameter, int priority);
    // Queues count jobs as that many calls of Queue in their order would, under
    // one hold of the lock, so that a worker taking queued jobs finds them all
    // rather than ending its run between two of them. The jobs taken are moved
    // out of the array; those dropped stay in it for the caller to release.
    void Queue(Job* jobs, std::size_t count);
    // Starts the job on an idle worker and returns its index; -1 when no worker
    // is idle or while jobs are queued.
    [[nodiscard]] long Run(const RCPtr<LThreadWorker>& worker, const RCPtr<LRefCountedObject>& parameter,
                           int priority);
    // Accepts no more jobs, drops the queued ones and waits for the dispatcher
    // and the workers (not for the calling thread, when it is one of them).
    void Kill();
    // Keeps object referenced until no worker runs jobs any more, then
    // releases it; at once when none does. One object at a time: a later call
    // lets go of the earlier one. An owner whose jobs use it without
    // a reference of their own hands itself over after Kill, which cannot wait
    // for a job that runs on the calling thread or outlives the stop time-out.
    void ReleaseWhenIdle(const RCPtr<LRefCountedObject>& object);
    // The dispatcher: hands the first queued job to each worker that ends its
    // run, until the queue is empty or every worker takes queued jobs.
    int RunWorker(const RCPtr<LRefCountedObject>& parameter) override;
    StringT<char, unsigned short> ToString() const override;
    // What worker index is called: the name of the job it runs or ran last.
    StringT<char, unsigned short> GetWorkerName(std::size_t index) const;

    ~LThreadPool() override;

    // Test seam: points where a test may hold a thread of the pool to force
    // an order that threads may otherwise choose.
    enum class HookPoint
    {
        WorkerRunEnding, // on a worker that found no queued job, outside the lock, before its run ends
        DispatcherWoken  // on the dispatcher, woken by the end of worker index's run, before the lock
    };
    using TestHook = std::function<void(HookPoint point, std::size_t workerIndex)>;
    // Set before the first job is queued; called on the pool's threads.
    void SetHookForTesting(TestHook hook) { mTestHook = std::move(hook); }

private:
    class LWorkerLoop;

    // The queued jobs: one first-in, first-out ring per priority, the rings in
    // descending priority. Adding a job behind those of its priority and
    // taking the first of the highest priority move no other job; rings keep
    // their storage, so a steady flow allocates nothing.
    class JobQueue
    {
    public:
        bool IsEmpty() const noexcept { return mCount == 0; }
        // False, leaving job as it was, when the storage cannot grow.
        [[nodiscard]] bool Push(Job& job);
        // The first job of the highest priority; the queue must not be empty.
        Job Pop();
        void Swap(JobQueue& other) noexcept;

    private:
        struct Ring
        {
            int priority = 0;
            std::vector<Job> slots; // a power of two long, or empty
            std::size_t first = 0;
            std::size_t count = 0;
        };

        std::vector<Ring> mRings;
        std::size_t mCount = 0;
    };

    LThreadPool(std::uint64_t threadCount, int queuePriority, std::uint32_t stopTimeoutMs);

    // Hands the job to the first idle worker and returns its index; -1, the
    // job left as it was, when none takes it or while jobs are queued (a new
    // job never overtakes them).
    long StartLocked(Job& job) REQUIRES(mLock);
    // Starts worker index's loop with the job; false, the job left as it was,
    // when the worker is busy or refuses.
    bool HandLocked(std::size_t index, Job& job) REQUIRES(mLock);
    bool AnyWorkerTakingLocked() const REQUIRES(mLock);
    bool AllWorkersTakingLocked() const REQUIRES(mLock);
    // Jobs are queued that no worker is sure to take: a dispatcher run must
    // hand them out.
    bool NeedsDispatcherLocked() const REQUIRES(mLock);
    // Starts a dispatcher run; when none can run and no worker takes queued
    // jobs, nothing would take them, and they move to dropped.
    void StartDispatcherLocked(JobQueue& dropped) REQUIRES(mLock);

    AtomicCounter mThreadCount;
    std::vector<std::unique_ptr<RetriggerableThreader>> mWorkers;
    std::vector<RCPtr<LWorkerLoop>> mLoops; // one per worker
    std::unique_ptr<EventPool> mWorkerEvents;
    StringT<char, unsigned short> mName;
    RetriggerableThreader mQueueThreader;
    RCPtr<LEvent> mQueueIdle;
    // Taken once per job by a worker that takes queued jobs, and held only for
    // moments: the fast lock, never taken again by its holder.
    FastMutex mLock;
    JobQueue mQueue GUARDED_BY(mLock);
    // Worker i takes queued jobs before its run ends: set when it is handed a
    // job, cleared by its loop when it finds the queue empty.
    std::vector<bool> mTaking GUARDED_BY(mLock);
    bool mDispatching GUARDED_BY(mLock) = false; // a dispatcher run has not yet decided to end
    RCPtr<LRefCountedObject> mKeptUntilIdle GUARDED_BY(mLock);
    int mQueuePriority;
    TestHook mTestHook; // set before the first job, then only read
};

} // namespace KT
