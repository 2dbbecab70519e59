#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "KTFramework/Utilities/Threading/ThreadPool.h"
#include "Platform/NativeThread.h"
#include "ThreadingTestSupport.h"

using namespace KT;
using namespace ThreadingTest;

namespace
{

using Clock = std::chrono::steady_clock;

// A job that runs a test-supplied body, records its tag in a shared log and
// reports its own destruction.
class LJob : public LThreadWorker
{
public:
    LJob(std::function<void()> body, std::vector<int>* log, std::mutex* logMutex, int tag, Tally* completed,
         Tally* destroyed)
        : mBody(std::move(body)), mLog(log), mLogMutex(logMutex), mTag(tag), mCompleted(completed),
          mDestroyed(destroyed)
    {
    }
    ~LJob() override
    {
        if (mDestroyed != nullptr)
        {
            mDestroyed->Add();
        }
    }
    int RunWorker(const RCPtr<LRefCountedObject>&) override
    {
        if (mBody)
        {
            mBody();
        }
        if (mLog != nullptr)
        {
            std::lock_guard<std::mutex> guard(*mLogMutex);
            mLog->push_back(mTag);
        }
        mCompleted->Add();
        return 0;
    }
    StringT<char, unsigned short> ToString() const override { return StringT<char, unsigned short>("job"); }

private:
    std::function<void()> mBody;
    std::vector<int>* mLog;
    std::mutex* mLogMutex;
    int mTag;
    Tally* mCompleted;
    Tally* mDestroyed;
};

// The order in which jobs ran.
struct Log
{
    std::mutex mutex;
    std::vector<int> tags;
    Tally runs;

    RCPtr<LThreadWorker> Job(int tag, std::function<void()> body = nullptr, Tally* destroyed = nullptr)
    {
        return RCPtr<LThreadWorker>(new LJob(std::move(body), &tags, &mutex, tag, &runs, destroyed));
    }
    // A job that marks entered and then holds its worker until release opens.
    RCPtr<LThreadWorker> HoldingJob(int tag, Tally& entered, Gate& release)
    {
        return Job(tag,
                   [&entered, &release]
                   {
                       entered.Add();
                       release.WaitOpen();
                   });
    }
    std::vector<int> Tags()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return tags;
    }
};

const RCPtr<LRefCountedObject> kNoParameter;

// Kills the pool and stores how long the kill took.
void KillTimed(const RCPtr<LThreadPool>& pool, std::atomic<std::int64_t>& killMs)
{
    auto start = Clock::now();
    pool->Kill();
    killMs = ElapsedMs(start);
}

// The process's threads. A sanitizer's runtime may start a helper thread of its
// own at the first thread start, so a baseline is taken after one.
int CountThreads()
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    {
        ++count;
    }
    return count;
}

int BaselineThreads()
{
    std::thread([] {}).join();
    return CountThreads();
}

// True once the process is back to the given number of threads.
bool ThreadsEndUntil(int count)
{
    auto start = Clock::now();
    while (CountThreads() > count)
    {
        if (ElapsedMs(start) > kBound.count())
        {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(LThreadPool, IsUnnamed)
{
    RCPtr<LThreadPool> pool = LThreadPool::Create(1, Thread::PRIORITY_HIGHEST);
    EXPECT_STREQ("Unnamed ThreadPool", pool->ToString().CStr());
    pool->Kill();
}

TEST(LThreadPool, RefusesMoreWorkersThanOneSignalWordServes)
{
    EXPECT_TRUE(!LThreadPool::Create(65, 0));
}

TEST(LThreadPool, OneThreadRunsHigherPriorityFirstAndEqualPrioritiesInOrder)
{
    RCPtr<LThreadPool> pool = LThreadPool::Create(1, Thread::PRIORITY_HIGHEST);
    Log log;
    Gate release;
    Tally entered;
    pool->Queue(log.HoldingJob(0, entered, release), kNoParameter, Thread::PRIORITY_NORMAL);
    ASSERT_TRUE(entered.WaitFor(1));
    pool->Queue(log.Job(41), kNoParameter, 4);
    pool->Queue(log.Job(42), kNoParameter, 4);
    pool->Queue(log.Job(5), kNoParameter, 5);
    release.Open();
    ASSERT_TRUE(log.runs.WaitFor(4));
    EXPECT_EQ((std::vector<int>{0, 5, 41, 42}), log.Tags());
    pool->Kill();
}

// Holds a pool's thread once at one hook point, for one worker, until go
// opens; reached says it got there.
struct HeldOnce
{
    Tally reached;
    Gate go;
    std::atomic<bool> held{false};

    void At(LThreadPool::HookPoint point, std::size_t index, LThreadPool::HookPoint wanted,
            std::size_t wantedIndex)
    {
        if (point == wanted && index == wantedIndex && !held.exchange(true))
        {
            reached.Add();
            go.WaitOpen();
        }
    }
};

TEST(LThreadPool, OneThreadQueuesANewJobBehindOneWaitingForTheWorkerThatJustBecameIdle)
{
    // Declared before the pool, which may call the hook until it is gone.
    HeldOnce ending;
    HeldOnce woken;
    Log log;
    RCPtr<LThreadPool> pool = LThreadPool::Create(1, Thread::PRIORITY_HIGHEST);
    pool->SetHookForTesting(
        [&](LThreadPool::HookPoint point, std::size_t index)
        {
            ending.At(point, index, LThreadPool::HookPoint::WorkerRunEnding, 0);
            woken.At(point, index, LThreadPool::HookPoint::DispatcherWoken, 0);
        });
    pool->Queue(log.Job(1), kNoParameter, 3);
    ASSERT_TRUE(ending.reached.WaitFor(1));
    // The worker is ending its run: job 2 is queued, for the dispatcher.
    pool->Queue(log.Job(2), kNoParameter, 3);
    ending.go.Open();
    // The worker is idle now, and the dispatcher has not yet handed it job 2.
    ASSERT_TRUE(woken.reached.WaitFor(1));
    pool->Queue(log.Job(3), kNoParameter, 3);
    woken.go.Open();
    ASSERT_TRUE(log.runs.WaitFor(3));
    EXPECT_EQ((std::vector<int>{1, 2, 3}), log.Tags());
    pool->Kill();
}

TEST(LThreadPool, AJobQueuedAsAWorkerEndsItsRunGoesToThatWorkerWhileAnotherIsBusy)
{
    HeldOnce ending;
    Log log;
    Gate release;
    Tally entered;
    RCPtr<LThreadPool> pool = LThreadPool::Create(2, Thread::PRIORITY_HIGHEST);
    pool->SetHookForTesting([&](LThreadPool::HookPoint point, std::size_t index)
                            { ending.At(point, index, LThreadPool::HookPoint::WorkerRunEnding, 1); });
    pool->Queue(log.HoldingJob(0, entered, release), kNoParameter, 3);
    ASSERT_TRUE(entered.WaitFor(1));
    pool->Queue(log.Job(1), kNoParameter, 3);
    ASSERT_TRUE(ending.reached.WaitFor(1));
    // Worker 0 is busy and worker 1 is ending its run: neither takes job 2 now.
    pool->Queue(log.Job(2), kNoParameter, 3);
    ending.go.Open();
    // Job 3 comes after job 2 whether or not worker 1 is idle by then.
    pool->Queue(log.Job(3), kNoParameter, 3);
    EXPECT_TRUE(log.runs.WaitFor(3)) << "a job waited for the busy worker while the other was idle";
    release.Open();
    ASSERT_TRUE(log.runs.WaitFor(4));
    EXPECT_EQ((std::vector<int>{1, 2, 3, 0}), log.Tags());
    pool->Kill();
}

TEST(LThreadPool, TwoIdleWorkersRunTwoJobsAtTheSameTime)
{
    RCPtr<LThreadPool> pool = LThreadPool::Create(2, Thread::PRIORITY_HIGHEST);
    Log log;
    Tally entered;
    std::atomic<int> met{0};
    auto meet = [&]
    {
        entered.Add();
        met += entered.WaitFor(2) ? 1 : 0;
    };
    pool->Queue(log.Job(1, meet), kNoParameter, 3);
    pool->Queue(log.Job(2, meet), kNoParameter, 3);
    ASSERT_TRUE(log.runs.WaitFor(2));
    EXPECT_EQ(2, met.load());
    pool->Kill();
}

TEST(LThreadPool, DropsJobsOnceKilledOrWithoutThreads)
{
    struct Case
    {
        const char* name;
        std::uint64_t threads;
        bool kill;
    };
    const Case cases[] = {{"killed", 2, true}, {"no threads", 0, false}};
    for (const Case& c : cases)
    {
        RCPtr<LThreadPool> pool = LThreadPool::Create(c.threads, 0);
        if (c.kill)
        {
            pool->Kill();
        }
        Log log;
        Tally gone;
        auto start = Clock::now();
        pool->Queue(log.Job(1, nullptr, &gone), kNoParameter, 3);
        EXPECT_EQ(-1, pool->Run(log.Job(2, nullptr, &gone), kNoParameter, 3)) << c.name;
        EXPECT_LT(ElapsedMs(start), kPromptMs) << c.name;
        EXPECT_EQ(2, gone.Get()) << c.name << ": the pool kept a job";
        EXPECT_EQ(0, log.runs.Get()) << c.name;
    }
}

TEST(LThreadPool, KillReleasesQueuedJobsUnrunAndLetsTheRunningOneFinish)
{
    RCPtr<LThreadPool> pool = LThreadPool::Create(1, Thread::PRIORITY_HIGHEST);
    Log log;
    Gate release;
    Tally entered;
    Tally queuedGone;
    pool->Queue(log.HoldingJob(0, entered, release), kNoParameter, 3);
    ASSERT_TRUE(entered.WaitFor(1));
    for (int i = 1; i <= 3; ++i)
    {
        pool->Queue(log.Job(i, nullptr, &queuedGone), kNoParameter, 3);
    }
    std::thread killer([&] { pool->Kill(); });
    EXPECT_TRUE(queuedGone.WaitFor(3));
    release.Open();
    killer.join();
    EXPECT_EQ((std::vector<int>{0}), log.Tags());
}

TEST(LThreadPool, OneThreadWithManyProducersLosesNothingAndKeepsEachProducersOrder)
{
    constexpr int kProducers = 4;
    constexpr int kJobsEach = 250;
    RCPtr<LThreadPool> pool = LThreadPool::Create(1, Thread::PRIORITY_HIGHEST);
    Log log;
    std::atomic<int> inFlight{0};
    std::atomic<int> overlaps{0};
    auto exclusive = [&]
    {
        if (inFlight.fetch_add(1) != 0)
        {
            ++overlaps;
        }
        inFlight.fetch_sub(1);
    };
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
    {
        producers.emplace_back(
            [&, p]
            {
                for (int i = 0; i < kJobsEach; ++i)
                {
                    pool->Queue(log.Job(p * kJobsEach + i, exclusive), kNoParameter,
                                Thread::PRIORITY_ABOVE_NORMAL);
                }
            });
    }
    for (auto& producer : producers)
    {
        producer.join();
    }
    ASSERT_TRUE(log.runs.WaitFor(kProducers * kJobsEach, std::chrono::milliseconds(20000)));
    EXPECT_EQ(0, overlaps.load());
    std::vector<int> last(kProducers, -1);
    for (int tag : log.Tags())
    {
        const int producer = tag / kJobsEach;
        EXPECT_LT(last[producer], tag) << "producer " << producer << " out of order";
        last[producer] = tag;
    }
    pool->Kill();
}

TEST(LThreadPool, KillRacingQueueFinishes)
{
    for (int round = 0; round < 20; ++round)
    {
        RCPtr<LThreadPool> pool = LThreadPool::Create(1 + round % 2, Thread::PRIORITY_HIGHEST);
        Log log;
        std::atomic<bool> stop{false};
        std::vector<std::thread> producers;
        for (int p = 0; p < 3; ++p)
        {
            producers.emplace_back(
                [&]
                {
                    while (!stop.load())
                    {
                        pool->Queue(log.Job(0), kNoParameter, 3);
                    }
                });
        }
        ASSERT_TRUE(log.runs.WaitFor(5)) << "round " << round;
        pool->Kill();
        stop.store(true);
        for (auto& producer : producers)
        {
            producer.join();
        }
        const int runs = log.runs.Get();
        pool->Queue(log.Job(0), kNoParameter, 3);
        EXPECT_EQ(runs, log.runs.Get()) << "round " << round;
    }
}

TEST(LThreadPool, KillFromInsideAJobWakesTheWaitingDispatcherAndReturnsPromptly)
{
    // The default stop limit: a dispatcher left waiting for the worker would
    // hold the kill for 60 s.
    RCPtr<LThreadPool> pool = LThreadPool::Create(1, Thread::PRIORITY_HIGHEST);
    Log log;
    Gate goKill;
    Tally entered;
    Tally queuedGone;
    std::atomic<std::int64_t> killMs{-1};
    pool->Queue(log.Job(0,
                        [&]
                        {
                            entered.Add();
                            goKill.WaitOpen();
                            KillTimed(pool, killMs);
                        }),
                kNoParameter, 3);
    ASSERT_TRUE(entered.WaitFor(1));
    pool->Queue(log.Job(1, nullptr, &queuedGone), kNoParameter, 3);
    goKill.Open();
    ASSERT_TRUE(log.runs.WaitFor(1));
    EXPECT_GE(killMs.load(), 0);
    EXPECT_LT(killMs.load(), kPromptMs);
    EXPECT_TRUE(queuedGone.WaitFor(1));
    EXPECT_EQ((std::vector<int>{0}), log.Tags());
}

// A job whose name is asked for by the dispatcher when it hands the job out.
class LNamedJob : public LThreadWorker
{
public:
    LNamedJob(std::function<void()> onName, Tally* destroyed)
        : mOnName(std::move(onName)), mDestroyed(destroyed)
    {
    }
    ~LNamedJob() override { mDestroyed->Add(); }
    int RunWorker(const RCPtr<LRefCountedObject>&) override { return 0; }
    StringT<char, unsigned short> ToString() const override
    {
        mOnName();
        return StringT<char, unsigned short>("named");
    }

private:
    std::function<void()> mOnName;
    Tally* mDestroyed;
};

TEST(LThreadPool, KillFromTheDispatcherReturnsPromptly)
{
    RCPtr<LThreadPool> pool = LThreadPool::Create(1, Thread::PRIORITY_HIGHEST);
    Log log;
    Gate release;
    Tally entered;
    Tally namedGone;
    std::atomic<std::int64_t> killMs{-1};
    pool->Queue(log.HoldingJob(0, entered, release), kNoParameter, 3);
    ASSERT_TRUE(entered.WaitFor(1));
    pool->Queue(RCPtr<LThreadWorker>(new LNamedJob([&] { KillTimed(pool, killMs); }, &namedGone)),
                kNoParameter, 3);
    release.Open();
    ASSERT_TRUE(namedGone.WaitFor(1));
    EXPECT_GE(killMs.load(), 0);
    EXPECT_LT(killMs.load(), kPromptMs);
}

std::atomic<int> sThreadStarts{0};

TEST(LThreadPool, QueueNeitherHangsNorLosesJobsTheWorkerTakesWhenTheDispatcherCouldNotStart)
{
    // The dispatcher's thread is the pool's first.
    sThreadStarts = 0;
    Platform::SetThreadStartGate([] { return sThreadStarts.fetch_add(1) != 0; });
    RCPtr<LThreadPool> pool = LThreadPool::Create(1, Thread::PRIORITY_HIGHEST);
    Platform::SetThreadStartGate(nullptr);

    Log log;
    Gate release;
    Tally entered;
    pool->Queue(log.HoldingJob(0, entered, release), kNoParameter, 3);
    ASSERT_TRUE(entered.WaitFor(1));
    auto start = Clock::now();
    for (int i = 1; i <= 3; ++i)
    {
        pool->Queue(log.Job(i), kNoParameter, 3);
    }
    EXPECT_LT(ElapsedMs(start), kPromptMs);
    // The busy worker takes the queued jobs itself: no dispatcher is needed.
    release.Open();
    ASSERT_TRUE(log.runs.WaitFor(4));
    pool->Kill();
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), log.Tags());
}

TEST(LThreadPool, LastReleaseInsideAJobEndsThePoolOnItsWorker)
{
    const int baseline = BaselineThreads();
    Log log;
    Tally jobGone;
    {
        RCPtr<LThreadPool> pool = LThreadPool::Create(1, Thread::PRIORITY_HIGHEST);
        // The job's parameter is the pool: the worker drops the last reference
        // when it lets go of the parameter after the run.
        pool->Queue(log.Job(0, nullptr, &jobGone), pool, 3);
    }
    auto start = Clock::now();
    ASSERT_TRUE(jobGone.WaitFor(1));
    EXPECT_LT(ElapsedMs(start), kPromptMs);
    EXPECT_TRUE(ThreadsEndUntil(baseline));
}

TEST(LThreadPool, LastReleaseByTheDispatcherEndsThePoolOnItsThread)
{
    const int baseline = BaselineThreads();
    Log log;
    Gate release;
    Tally entered;
    Tally lastGone;
    {
        RCPtr<LThreadPool> pool = LThreadPool::Create(1, Thread::PRIORITY_HIGHEST);
        pool->Queue(log.HoldingJob(0, entered, release), kNoParameter, 3);
        ASSERT_TRUE(entered.WaitFor(1));
        // Queued behind the busy worker: a dispatcher run starts and holds the
        // pool after this scope lets go of it.
        pool->Queue(log.Job(1, nullptr, &lastGone), kNoParameter, 3);
    }
    release.Open();
    // The teardown kills the worker that was just handed job 1: the job runs
    // only if the worker had started it by then. Either way it is let go.
    ASSERT_TRUE(lastGone.WaitFor(1));
    EXPECT_TRUE(ThreadsEndUntil(baseline));
    EXPECT_EQ(0, log.Tags().front());
}

// A job named the deferred way, as a connection's delivery jobs are, that
// records its tag and what its worker is called while it runs.
class LNamedTagJob : public LThreadWorker
{
public:
    LNamedTagJob(LThreadPool& pool, std::uint32_t tag, std::mutex& lock,
                 std::vector<std::pair<std::uint32_t, std::string>>& runs, Tally& ran)
        : mPool(pool), mTag(tag), mLock(lock), mRuns(runs), mRan(ran)
    {
    }
    int RunWorker(const RCPtr<LRefCountedObject>&) override
    {
        const std::string name = mPool.GetWorkerName(0).CStr();
        {
            std::lock_guard<std::mutex> guard(mLock);
            mRuns.emplace_back(mTag, name);
        }
        mRan.Add();
        return 0;
    }
    bool GetDeferredName(DeferredName& name) const override
    {
        name = DeferredName("job %u of %u, %u", mTag, 7, 9);
        return true;
    }

private:
    LThreadPool& mPool;
    const std::uint32_t mTag;
    std::mutex& mLock;
    std::vector<std::pair<std::uint32_t, std::string>>& mRuns;
    Tally& mRan;
};

TEST(LThreadPool, ABurstQueuedBehindABusyWorkerRunsByPriorityThenArrivalUnderItsJobsNames)
{
    RCPtr<LThreadPool> pool = LThreadPool::Create(1, Thread::PRIORITY_HIGHEST);
    Log log;
    Gate release;
    Tally entered;
    pool->Queue(log.HoldingJob(0, entered, release), kNoParameter, Thread::PRIORITY_NORMAL);
    ASSERT_TRUE(entered.WaitFor(1));

    struct Queued
    {
        std::uint32_t tag;
        int priority;
    };
    const Queued burst[] = {{1, 4}, {2, 5}, {3, 4}, {4, 6}, {5, 5}, {6, 4}, {7, 6}, {8, 3}};
    std::mutex lock;
    std::vector<std::pair<std::uint32_t, std::string>> runs;
    Tally ran;
    // Half queued one by one, half together, as a connection's receiver hands
    // over the messages of one read.
    for (std::size_t i = 0; i < 4; ++i)
    {
        pool->Queue(RCPtr<LThreadWorker>(new LNamedTagJob(*pool, burst[i].tag, lock, runs, ran)),
                    kNoParameter, burst[i].priority);
    }
    std::vector<LThreadPool::Job> together;
    for (std::size_t i = 4; i < 8; ++i)
    {
        together.push_back(
            LThreadPool::Job{RCPtr<LThreadWorker>(new LNamedTagJob(*pool, burst[i].tag, lock, runs, ran)),
                             kNoParameter, burst[i].priority});
    }
    pool->Queue(together.data(), together.size());
    release.Open();
    ASSERT_TRUE(ran.WaitFor(8));
    pool->Kill();

    const std::uint32_t expected[] = {4, 7, 2, 5, 1, 3, 6, 8};
    ASSERT_EQ(runs.size(), 8u);
    for (std::size_t i = 0; i < 8; ++i)
    {
        EXPECT_EQ(runs[i].first, expected[i]) << "run " << i;
        EXPECT_EQ(runs[i].second, "job " + std::to_string(expected[i]) + " of 7, 9") << "run " << i;
    }
}

TEST(LThreadPool, QueueKillAndTheLastReleaseRacingLoseNoJobAndEndEveryThread)
{
    const int baseline = BaselineThreads();
    constexpr int kRounds = 40;
    for (int round = 0; round < kRounds; ++round)
    {
        Log log;
        Tally made;
        Tally gone;
        RCPtr<LThreadPool> pool = LThreadPool::Create(1 + round % 2, Thread::PRIORITY_HIGHEST);
        TrafficLight start;
        std::vector<std::thread> racers;
        for (int p = 0; p < 3; ++p)
        {
            racers.emplace_back(
                [&, p, held = pool]
                {
                    static_cast<void>(start.WaitForGreenLight(kBound.count()));
                    for (int i = 0; i < 50; ++i)
                    {
                        made.Add();
                        // Some jobs hold the pool, so that the last reference
                        // may go on a worker as it ends one.
                        held->Queue(log.Job(i, nullptr, &gone),
                                    i % 7 == p ? RCPtr<LRefCountedObject>(held) : kNoParameter, 3 + i % 3);
                    }
                    if (p == round % 3)
                    {
                        held->Kill();
                    }
                });
        }
        start.SetGreenLight();
        pool.SetNull();
        for (std::thread& racer : racers)
        {
            racer.join();
        }
        // Every job ran or was dropped, and none is kept: the pool is gone.
        ASSERT_TRUE(gone.WaitFor(made.Get())) << "round " << round;
    }
    EXPECT_TRUE(ThreadsEndUntil(baseline));
}

} // namespace
