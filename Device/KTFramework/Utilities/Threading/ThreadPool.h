// KT::LThreadPool: runs jobs (a thread worker, a parameter and a priority) on a
// fixed set of worker threads. A job that finds an idle worker starts at once;
// otherwise it waits in a queue ordered by priority, and a dispatcher run on
// mQueueThreader hands queued jobs to workers as they become free. Created
// through Create, held by RCPtr; its owner calls Kill before dropping it.
//
// Threads: Queue, Run and Kill may be called on any thread; jobs run on the
// workers' threads, the dispatcher (RunWorker) on mQueueThreader's. mLock
// (recursive) guards the queue and the choice of workers: it is held while a
// job is offered to a worker, while a job is queued, while Queue waits for the
// queue-idle event and starts the dispatcher, and during each dispatch; never
// while a job runs. The thread count is atomic. A dispatcher run holds two
// references to the pool, so the pool may end on that thread, or on a worker
// whose job held the last reference: neither waits for itself.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/RCPtrArray.h"
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
    // One queued job. Its blocks come from a pool of their own, which outlives
    // every job: jobs are made and freed at a high rate, on many threads, and
    // may still be freed during process exit.
    class LWorkerParams : public LRefCountedObject
    {
    public:
        static RCPtr<LWorkerParams> Create(const RCPtr<LThreadWorker>& worker,
                                           const RCPtr<LRefCountedObject>& parameter, int priority);
        ~LWorkerParams() override = default;

        int GetPriority() const { return mPriority; }
        // Names the threader after the worker and offers it the job.
        [[nodiscard]] int Run(RetriggerableThreader& threader, const RCPtr<LEvent>& doneEvent);

        static void* operator new(std::size_t size);
        static void operator delete(void* block) noexcept;

    private:
        LWorkerParams(const RCPtr<LThreadWorker>& worker, const RCPtr<LRefCountedObject>& parameter,
                      int priority);

        RCPtr<LThreadWorker> mWorker;
        RCPtr<LRefCountedObject> mParameter;
        int mPriority;
    };

    // Starts threadCount workers and the dispatcher's threader; null for more
    // than KT::Wait::MAX_WAIT_OBJECTS workers (one completion event each).
    // stopTimeoutMs bounds every wait for a thread to end; tests pass a short one.
    static RCPtr<LThreadPool> Create(std::uint64_t threadCount, int queuePriority,
                                     std::uint32_t stopTimeoutMs = Thread::GetStopTimeoutMs());

    // Starts the job now or queues it; dropped without a trace once the pool is
    // killed or when it has no threads.
    void Queue(const RCPtr<LThreadWorker>& worker, const RCPtr<LRefCountedObject>& parameter, int priority);
    // Starts the job on an idle worker and returns its index, or -1.
    [[nodiscard]] long Run(const RCPtr<LThreadWorker>& worker, const RCPtr<LRefCountedObject>& parameter,
                           int priority);
    // Accepts no more jobs, drops the queued ones and waits for the dispatcher
    // and the workers (not for the calling thread, when it is one of them).
    void Kill();
    // The dispatcher: hands queued jobs to workers as they become free, until
    // the queue is empty.
    int RunWorker(const RCPtr<LRefCountedObject>& parameter) override;
    StringT<char, unsigned short> ToString() const override;

    ~LThreadPool() override;

private:
    LThreadPool(std::uint64_t threadCount, int queuePriority, std::uint32_t stopTimeoutMs);

    AtomicCounter mThreadCount;
    std::vector<std::unique_ptr<RetriggerableThreader>> mWorkers;
    std::unique_ptr<EventPool> mWorkerEvents;
    StringT<char, unsigned short> mName;
    RetriggerableThreader mQueueThreader;
    RCPtr<LEvent> mQueueIdle;
    RCPtrArray<LWorkerParams, 16, 16> mQueue GUARDED_BY(mLock); // ascending priority
    Mutex mLock;
    int mQueuePriority;
};

} // namespace KT
