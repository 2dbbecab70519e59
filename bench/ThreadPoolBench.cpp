// One job handed to a one-thread pool and its completion awaited, the path of
// every callback delivery of a connection, beside the same hand-off done with a
// plain std::thread and a condition variable as the floor.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

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

} // namespace
