#include <gtest/gtest.h>

#include <atomic>

#include "KTFramework/Utilities/Threading/Event.h"
#include "KTFramework/Utilities/Threading/ThreadOwnerBase.h"
#include "ThreadingTestSupport.h"

// Result codes that a test does not judge (set-up steps, and calls whose effect
// it checks another way) are cast to void.

using namespace KT;
using namespace ThreadingTest;

namespace
{

// A worker that sleeps on an event until it sees the kill request; wakeOnFlush
// false plays a worker that FlushThread cannot reach.
class SleepingOwner : public ThreadOwnerBase
{
public:
    explicit SleepingOwner(bool wakeOnFlush, std::uint32_t stopTimeoutMs = Thread::STOP_TIMEOUT_MS)
        : ThreadOwnerBase(stopTimeoutMs), mWakeOnFlush(wakeOnFlush)
    {
    }
    ~SleepingOwner() override
    {
        mWake.Release();
        KillThread();
    }

    void* ThreadWorker() override
    {
        mRunning.Open();
        do
        {
            static_cast<void>(mWake.Wait(Wait::INFINITE_WAIT));
        } while (GetThreadState() != STATE_KILL_REQUESTED);
        return reinterpret_cast<void*>(std::intptr_t{5});
    }
    void InitThread() override { ++mInits; }
    void FlushThread() override
    {
        ++mFlushes;
        if (mWakeOnFlush)
        {
            mWake.Release();
        }
    }
    void WakeByHand() { mWake.Release(); }
    std::int64_t ExitCode() const { return GetThread().GetExitCode(); }

    Gate mRunning;
    std::atomic<int> mInits{0};
    std::atomic<int> mFlushes{0};

private:
    bool mWakeOnFlush;
    Event mWake{true};
};

TEST(ThreadOwnerBase, KillBeforeRunNeitherFlushesNorWaits)
{
    SleepingOwner owner(true);
    EXPECT_EQ(ThreadOwnerBase::STATE_NOT_STARTED, owner.GetThreadState());
    EXPECT_TRUE(owner.KillThread());
    EXPECT_EQ(0, owner.mFlushes.load());
}

TEST(ThreadOwnerBase, RunsOnceAndKillWakesTheWorkerAndWaits)
{
    SleepingOwner owner(true);
    EXPECT_TRUE(owner.RunThread(Thread::PRIORITY_NORMAL));
    EXPECT_FALSE(owner.RunThread(Thread::PRIORITY_NORMAL));
    ASSERT_TRUE(owner.mRunning.WaitOpen());
    EXPECT_EQ(ThreadOwnerBase::STATE_RUNNING, owner.GetThreadState());
    EXPECT_TRUE(owner.KillThread());
    EXPECT_EQ(ThreadOwnerBase::STATE_DEAD, owner.GetThreadState());
    EXPECT_EQ(1, owner.mFlushes.load());
    EXPECT_EQ(1, owner.mInits.load());
    EXPECT_EQ(5, owner.ExitCode());
    EXPECT_TRUE(owner.KillThread());
    EXPECT_EQ(1, owner.mFlushes.load());
}

TEST(ThreadOwnerBase, KillThatTimesOutStaysRequestedAndCanBeRepeated)
{
    SleepingOwner owner(false, 50);
    ASSERT_TRUE(owner.RunThread(Thread::PRIORITY_NORMAL));
    ASSERT_TRUE(owner.mRunning.WaitOpen());
    EXPECT_FALSE(owner.KillThread());
    EXPECT_EQ(ThreadOwnerBase::STATE_KILL_REQUESTED, owner.GetThreadState());
    owner.WakeByHand();
    EXPECT_TRUE(owner.KillThread());
    EXPECT_EQ(ThreadOwnerBase::STATE_DEAD, owner.GetThreadState());
    EXPECT_EQ(1, owner.mFlushes.load());
}

} // namespace
