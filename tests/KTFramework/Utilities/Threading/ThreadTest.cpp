#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "KTFramework/Utilities/Threading/Event.h"
#include "KTFramework/Utilities/Threading/Thread.h"
#include "Platform/NativeThread.h"
#include "ThreadingTestSupport.h"

using namespace KT;
using namespace ThreadingTest;

namespace
{

using Clock = std::chrono::steady_clock;

// Makes every thread start fail while it lives.
class RefusedThreadStarts
{
public:
    RefusedThreadStarts()
    {
        Platform::SetThreadStartGate([] { return false; });
    }
    ~RefusedThreadStarts() { Platform::SetThreadStartGate(nullptr); }
};

struct Job
{
    Gate release;
    Tally entered;
    void* result = nullptr;
};

void* BlockThenReturn(void* raw)
{
    Job* job = static_cast<Job*>(raw);
    job->entered.Add();
    job->release.WaitOpen();
    return job->result;
}

TEST(Thread, NeverExecutedIsNotDeadAndIsWaitedForAtOnce)
{
    Job job;
    auto start = Clock::now();
    {
        Thread thread(&BlockThenReturn, &job);
        EXPECT_FALSE(thread.IsDead());
        EXPECT_EQ(Thread::EXIT_CODE_NOT_STARTED, thread.GetExitCode());
        EXPECT_TRUE(thread.WaitForDeath(Wait::INFINITE_WAIT));
    }
    EXPECT_LT(ElapsedMs(start), kPromptMs);
    EXPECT_EQ(0, job.entered.Get());
}

TEST(Thread, ExitCodeIsZeroWhileRunningAndTheResultAfterTheJoin)
{
    Job job;
    job.result = reinterpret_cast<void*>(std::intptr_t{42});
    Thread thread(&BlockThenReturn, &job);
    ASSERT_TRUE(thread.Execute());
    ASSERT_TRUE(job.entered.WaitFor(1));
    EXPECT_EQ(0, thread.GetExitCode());
    EXPECT_FALSE(thread.IsDead());
    job.release.Open();
    EXPECT_TRUE(thread.WaitForDeath(Wait::INFINITE_WAIT));
    EXPECT_EQ(42, thread.GetExitCode());
    EXPECT_TRUE(thread.IsDead());
    EXPECT_TRUE(thread.WaitForDeath(0));
}

TEST(Thread, SecondExecuteStartsNothing)
{
    Job job;
    job.release.Open();
    Thread thread(&BlockThenReturn, &job);
    std::vector<std::thread> callers;
    std::atomic<int> accepted{0};
    for (int i = 0; i < 4; ++i)
    {
        callers.emplace_back([&] { accepted += thread.Execute() ? 1 : 0; });
    }
    for (auto& caller : callers)
    {
        caller.join();
    }
    EXPECT_TRUE(thread.Execute());
    EXPECT_TRUE(thread.WaitForDeath(Wait::INFINITE_WAIT));
    EXPECT_EQ(4, accepted.load());
    EXPECT_EQ(1, job.entered.Get());
}

TEST(Thread, TimedOutWaitLeavesTheThreadJoinable)
{
    Job job;
    job.result = reinterpret_cast<void*>(std::intptr_t{7});
    Thread thread(&BlockThenReturn, &job);
    ASSERT_TRUE(thread.Execute());
    auto start = Clock::now();
    EXPECT_FALSE(thread.WaitForDeath(100));
    EXPECT_GE(ElapsedMs(start), 95);
    EXPECT_FALSE(thread.IsDead());
    job.release.Open();
    EXPECT_TRUE(thread.WaitForDeath(Wait::INFINITE_WAIT));
    EXPECT_EQ(7, thread.GetExitCode());
}

TEST(Thread, IsDeadOnceTheEntryHasReturnedEvenBeforeTheJoin)
{
    Job job;
    job.release.Open();
    Thread thread(&BlockThenReturn, &job);
    ASSERT_TRUE(thread.Execute());
    auto start = Clock::now();
    while (!thread.IsDead() && ElapsedMs(start) < kBound.count())
    {
        std::this_thread::yield();
    }
    EXPECT_TRUE(thread.IsDead());
    EXPECT_EQ(0, thread.GetExitCode());
}

TEST(Thread, FailedCreationCountsAsStartedAndDead)
{
    Job job;
    Thread thread(&BlockThenReturn, &job);
    {
        RefusedThreadStarts refused;
        EXPECT_FALSE(thread.Execute());
    }
    EXPECT_TRUE(thread.IsDead());
    EXPECT_EQ(Thread::EXIT_CODE_CREATION_FAILED, thread.GetExitCode());
    EXPECT_TRUE(thread.WaitForDeath(Wait::INFINITE_WAIT));
    EXPECT_TRUE(thread.Execute()); // started once already
    EXPECT_EQ(0, job.entered.Get());
}

TEST(Thread, PrioritiesHaveNoEffect)
{
    Job job;
    Thread thread(&BlockThenReturn, &job);
    EXPECT_FALSE(thread.SetPriority(Thread::PRIORITY_TIME_CRITICAL));
    EXPECT_FALSE(thread.SetAutoPriorityBoostEnable(true));
    EXPECT_EQ(Thread::EXIT_CODE_NOT_STARTED, thread.GetExitCode());
}

struct SelfWait
{
    Thread* thread = nullptr;
    Gate started;
    std::atomic<bool> result{true};
    std::atomic<std::int64_t> elapsedMs{-1};
};

void* WaitForOwnDeath(void* raw)
{
    SelfWait* self = static_cast<SelfWait*>(raw);
    self->started.WaitOpen();
    auto start = Clock::now();
    self->result = self->thread->WaitForDeath(Wait::INFINITE_WAIT);
    self->elapsedMs = ElapsedMs(start);
    return nullptr;
}

TEST(Thread, WaitForDeathOnItsOwnThreadDoesNotWait)
{
    SelfWait self;
    Thread thread(&WaitForOwnDeath, &self);
    self.thread = &thread;
    ASSERT_TRUE(thread.Execute());
    self.started.Open();
    EXPECT_TRUE(thread.WaitForDeath(Wait::INFINITE_WAIT));
    EXPECT_FALSE(self.result.load());
    EXPECT_LT(self.elapsedMs.load(), kPromptMs);
}

struct SelfDestruct
{
    Thread* thread = nullptr;
    Gate started;
    Gate destroyed;
};

void* DestroyOwnThread(void* raw)
{
    SelfDestruct* self = static_cast<SelfDestruct*>(raw);
    self->started.WaitOpen();
    delete self->thread;
    self->destroyed.Open();
    return nullptr;
}

TEST(Thread, DestroyedOnItsOwnThreadDetachesInsteadOfWaiting)
{
    SelfDestruct self;
    // The default stop limit: waiting for itself would hold the test for 60 s.
    self.thread = new Thread(&DestroyOwnThread, &self);
    ASSERT_TRUE(self.thread->Execute());
    auto start = Clock::now();
    self.started.Open();
    EXPECT_TRUE(self.destroyed.WaitOpen());
    EXPECT_LT(ElapsedMs(start), kPromptMs);
}

struct Straggler
{
    Gate release;
    Tally entered;
    Tally finished;
};

void* Straggle(void* raw)
{
    Straggler* straggler = static_cast<Straggler*>(raw);
    straggler->entered.Add();
    straggler->release.WaitOpen();
    straggler->finished.Add();
    return nullptr;
}

TEST(Thread, DestructorThatTimesOutDetachesAndTheThreadEndsLater)
{
    Straggler straggler;
    auto start = Clock::now();
    {
        Thread thread(&Straggle, &straggler, 50);
        ASSERT_TRUE(thread.Execute());
        ASSERT_TRUE(straggler.entered.WaitFor(1));
    }
    EXPECT_GE(ElapsedMs(start), 45);
    // The thread outlived its Thread; its trampoline still records its return
    // into memory of its own.
    straggler.release.Open();
    EXPECT_TRUE(straggler.finished.WaitFor(1));
}

TEST(Thread, DefaultStopTimeoutIsTheOneInForce)
{
    EXPECT_EQ(Thread::GetStopTimeoutMs(), Thread::STOP_TIMEOUT_MS);
    Straggler straggler;
    auto start = Clock::now();
    {
        FrameworkTimeouts::ScopedOverride shortStop(FrameworkTimeoutList::THREAD_STOP, 50);
        EXPECT_EQ(Thread::GetStopTimeoutMs(), 50u);
        {
            FrameworkTimeouts::ScopedOverride noStop(FrameworkTimeoutList::THREAD_STOP, 0);
            EXPECT_EQ(Thread::GetStopTimeoutMs(), 0u);
        }
        Thread thread(&Straggle, &straggler);
        ASSERT_TRUE(thread.Execute());
        ASSERT_TRUE(straggler.entered.WaitFor(1));
    }
    // The destructor gave up after the shortened stop, not after 60 s.
    EXPECT_GE(ElapsedMs(start), 45);
    EXPECT_LT(ElapsedMs(start), kPromptMs);
    EXPECT_EQ(Thread::GetStopTimeoutMs(), 60000u);
    straggler.release.Open();
    EXPECT_TRUE(straggler.finished.WaitFor(1));
}

} // namespace
