// One job handed to a one-thread pool and its completion awaited, the path of
// every callback delivery of a connection, beside the same hand-off done with a
// plain std::thread and a condition variable as the floor; and a burst of jobs
// queued behind a busy worker, as a connection's receiver hands over the
// messages of one read, beside a plain locked queue drained by one thread.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "KTFramework/Utilities/Threading/ThreadPool.h"

// Result codes that a measurement does not judge are cast to void.

namespace
{

// Signals a completion event when run.
class LSignalWorker : public KT::LThreadWorker
{
public:
    explicit LSignalWorker(KT::RCPtr<KT::LEvent> done) : mDone(std::move(done)) {}
    int RunWorker(const KT::RCPtr<KT::LRefCountedObject>&) override
    {
        mDone->Release();
        return 0;
    }

private:
    KT::RCPtr<KT::LEvent> mDone;
};

void BM_OneThreadPoolHandOff(benchmark::State& state)
{
    KT::RCPtr<KT::LThreadPool> pool = KT::LThreadPool::Create(1, KT::Thread::PRIORITY_HIGHEST);
    KT::RCPtr<KT::LEvent> done = KT::LEvent::Create(true);
    KT::RCPtr<KT::LThreadWorker> worker(new LSignalWorker(done));
    const KT::RCPtr<KT::LRefCountedObject> noParameter;
    for (auto _ : state)
    {
        pool->Queue(worker, noParameter, KT::Thread::PRIORITY_ABOVE_NORMAL);
        static_cast<void>(done->Wait(KT::Wait::INFINITE_WAIT));
    }
    pool->Kill();
}
BENCHMARK(BM_OneThreadPoolHandOff)->UseRealTime();

// A worker thread that waits for a job in a one-slot mailbox and reports its
// completion through a second condition.
class PlainHandOff
{
public:
    PlainHandOff() : mThread([this] { Serve(); }) {}
    ~PlainHandOff()
    {
        {
            std::lock_guard<std::mutex> guard(mMutex);
            mStop = true;
        }
        mPosted.notify_one();
        mThread.join();
    }

    void RunAndWait(std::function<void()> job)
    {
        std::unique_lock<std::mutex> guard(mMutex);
        mJob = std::move(job);
        mFinished = false;
        mPosted.notify_one();
        mDone.wait(guard, [this] { return mFinished; });
    }

private:
    void Serve()
    {
        std::unique_lock<std::mutex> guard(mMutex);
        for (;;)
        {
            mPosted.wait(guard, [this] { return mStop || mJob; });
            if (mStop)
            {
                return;
            }
            std::function<void()> job = std::move(mJob);
            mJob = nullptr;
            guard.unlock();
            job();
            guard.lock();
            mFinished = true;
            mDone.notify_one();
        }
    }

    std::mutex mMutex;
    std::condition_variable mPosted;
    std::condition_variable mDone;
    std::function<void()> mJob;
    bool mFinished = false;
    bool mStop = false;
    std::thread mThread;
};

void BM_PlainThreadHandOff(benchmark::State& state)
{
    PlainHandOff handOff;
    int runs = 0;
    for (auto _ : state)
    {
        handOff.RunAndWait([&runs] { ++runs; });
    }
    benchmark::DoNotOptimize(runs);
}
BENCHMARK(BM_PlainThreadHandOff)->UseRealTime();

constexpr int kBurst = 1000;

// Holds the worker until opened, so that a burst queues up behind it.
class LHoldWorker : public KT::LThreadWorker
{
public:
    explicit LHoldWorker(KT::RCPtr<KT::LEvent> open) : mOpen(std::move(open)) {}
    int RunWorker(const KT::RCPtr<KT::LRefCountedObject>&) override
    {
        static_cast<void>(mOpen->Wait(KT::Wait::INFINITE_WAIT));
        return 0;
    }

private:
    KT::RCPtr<KT::LEvent> mOpen;
};

// Counts its runs and signals at the end of each burst.
class LCountWorker : public KT::LThreadWorker
{
public:
    explicit LCountWorker(KT::RCPtr<KT::LEvent> done) : mDone(std::move(done)) {}
    int RunWorker(const KT::RCPtr<KT::LRefCountedObject>&) override
    {
        if (++mRuns % kBurst == 0)
        {
            mDone->Release();
        }
        return 0;
    }

private:
    KT::RCPtr<KT::LEvent> mDone;
    int mRuns = 0;
};

void BM_OneThreadPoolBurst(benchmark::State& state)
{
    KT::RCPtr<KT::LThreadPool> pool = KT::LThreadPool::Create(1, KT::Thread::PRIORITY_HIGHEST);
    KT::RCPtr<KT::LEvent> open = KT::LEvent::Create(true);
    KT::RCPtr<KT::LEvent> done = KT::LEvent::Create(true);
    KT::RCPtr<KT::LThreadWorker> hold(new LHoldWorker(open));
    KT::RCPtr<KT::LThreadWorker> count(new LCountWorker(done));
    const KT::RCPtr<KT::LRefCountedObject> noParameter;
    for (auto _ : state)
    {
        pool->Queue(hold, noParameter, KT::Thread::PRIORITY_ABOVE_NORMAL);
        for (int i = 0; i < kBurst; ++i)
        {
            pool->Queue(count, noParameter, KT::Thread::PRIORITY_ABOVE_NORMAL);
        }
        open->Release();
        static_cast<void>(done->Wait(KT::Wait::INFINITE_WAIT));
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
    pool->Kill();
}
BENCHMARK(BM_OneThreadPoolBurst)->UseRealTime();

// A locked queue of jobs drained by one thread, which sleeps on a condition
// while the queue is empty.
class PlainQueue
{
public:
    PlainQueue() : mThread([this] { Drain(); }) {}
    ~PlainQueue()
    {
        Push(nullptr);
        mThread.join();
    }

    void Push(std::function<void()> job)
    {
        std::lock_guard<std::mutex> guard(mMutex);
        mJobs.push_back(std::move(job));
        mPosted.notify_one();
    }

private:
    void Drain()
    {
        std::unique_lock<std::mutex> guard(mMutex);
        for (;;)
        {
            mPosted.wait(guard, [this] { return !mJobs.empty(); });
            std::function<void()> job = std::move(mJobs.front());
            mJobs.pop_front();
            if (!job)
            {
                return;
            }
            guard.unlock();
            job();
            guard.lock();
        }
    }

    std::mutex mMutex;
    std::condition_variable mPosted;
    std::deque<std::function<void()>> mJobs;
    std::thread mThread;
};

void BM_PlainQueueBurst(benchmark::State& state)
{
    PlainQueue queue;
    std::mutex lock;
    std::condition_variable changed;
    bool open = false;
    long bursts = 0;
    int runs = 0; // the draining thread's
    for (auto _ : state)
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            open = false;
        }
        queue.Push(
            [&]
            {
                std::unique_lock<std::mutex> guard(lock);
                changed.wait(guard, [&] { return open; });
            });
        for (int i = 0; i < kBurst; ++i)
        {
            queue.Push(
                [&]
                {
                    if (++runs == kBurst)
                    {
                        runs = 0;
                        std::lock_guard<std::mutex> guard(lock);
                        ++bursts;
                        changed.notify_all();
                    }
                });
        }
        std::unique_lock<std::mutex> guard(lock);
        open = true;
        const long target = bursts + 1;
        changed.notify_all();
        changed.wait(guard, [&] { return bursts >= target; });
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_PlainQueueBurst)->UseRealTime();

} // namespace
