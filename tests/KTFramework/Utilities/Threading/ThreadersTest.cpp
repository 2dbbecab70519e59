#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "KTFramework/Utilities/Threading/EventGatedThreader.h"
#include "KTFramework/Utilities/Threading/RetriggerableThreader.h"
#include "KTFramework/Utilities/Threading/ThreadWorkerProxy.h"
#include "Platform/NativeThread.h"
#include "ThreadingTestSupport.h"

// Result codes that a test does not judge (set-up steps, and calls whose effect
// it checks another way) are cast to void.

using namespace KT;
using namespace ThreadingTest;

namespace
{

using Clock = std::chrono::steady_clock;

// A worker that runs a test-supplied body and reports its own destruction.
class LTestWorker : public LThreadWorker
{
public:
    explicit LTestWorker(std::function<void()> body, Tally* destroyed = nullptr)
        : mBody(std::move(body)), mDestroyed(destroyed)
    {
    }
    ~LTestWorker() override
    {
        if (mDestroyed != nullptr)
        {
            mDestroyed->Add();
        }
    }
    int RunWorker(const RCPtr<LRefCountedObject>&) override
    {
        mBody();
        runs.Add();
        return 0;
    }

    Tally runs;

private:
    std::function<void()> mBody;
    Tally* mDestroyed;
};

RCPtr<LTestWorker> MakeWorker(
    std::function<void()> body = [] {}, Tally* destroyed = nullptr)
{
    return RCPtr<LTestWorker>(new LTestWorker(std::move(body), destroyed));
}

StringT<char, unsigned short> Name(const char* text)
{
    return StringT<char, unsigned short>(text);
}

// ---- RetriggerableThreader

TEST(RetriggerableThreader, RefusesASecondJobUntilTheFirstIsDone)
{
    RetriggerableThreader threader(Name("worker"));
    EXPECT_STREQ("worker", threader.ToString().CStr());
    Gate release;
    RCPtr<LTestWorker> first = MakeWorker([&] { release.WaitOpen(); });
    RCPtr<LTestWorker> second = MakeWorker();
    RCPtr<LEvent> done = LEvent::Create(true);

    ASSERT_EQ(0, threader.Run(first, RCPtr<LRefCountedObject>(), done, Thread::PRIORITY_NORMAL));
    EXPECT_TRUE(threader.IsRunning());
    EXPECT_EQ(RESULT_FAILED, threader.Run(second, RCPtr<LRefCountedObject>(), Thread::PRIORITY_NORMAL));
    release.Open();
    ASSERT_EQ(0u, done->Wait(5000));
    // Running is cleared before the done event is released.
    EXPECT_FALSE(threader.IsRunning());
    EXPECT_EQ(1, first->runs.Get());
    EXPECT_EQ(0, second->runs.Get());

    ASSERT_EQ(0, threader.Run(second, RCPtr<LRefCountedObject>(), done, Thread::PRIORITY_NORMAL));
    ASSERT_EQ(0u, done->Wait(5000));
    EXPECT_EQ(1, second->runs.Get());
}

TEST(RetriggerableThreader, ResetsASignalledDoneEventBeforeTheJob)
{
    RetriggerableThreader threader(Name("worker"));
    Gate release;
    RCPtr<LEvent> done = LEvent::Create(true);
    done->Release();
    ASSERT_EQ(0, threader.Run(MakeWorker([&] { release.WaitOpen(); }), RCPtr<LRefCountedObject>(), done, 0));
    EXPECT_EQ(Wait::TIMED_OUT, done->Wait(0));
    release.Open();
    EXPECT_EQ(0u, done->Wait(5000));
}

TEST(RetriggerableThreader, KillRacingRunReleasesEveryAcceptedJob)
{
    // A job may be accepted after the loop's last run but before it looks at
    // the kill: it must still be dropped, not kept by the threader.
    for (int round = 0; round < 20; ++round)
    {
        RetriggerableThreader threader(Name("worker"));
        Tally created;
        Tally destroyed;
        std::atomic<bool> stop{false};
        std::vector<std::thread> producers;
        for (int p = 0; p < 3; ++p)
        {
            producers.emplace_back(
                [&]
                {
                    while (!stop.load())
                    {
                        created.Add();
                        static_cast<void>(threader.Run(MakeWorker([] {}, &destroyed),
                                                       RCPtr<LRefCountedObject>(), Thread::PRIORITY_NORMAL));
                    }
                });
        }
        ASSERT_TRUE(created.WaitFor(50)) << "round " << round;
        threader.Kill();
        stop.store(true);
        for (auto& producer : producers)
        {
            producer.join();
        }
        ASSERT_EQ(created.Get(), destroyed.Get()) << "round " << round;
    }
}

TEST(RetriggerableThreader, KillOfAnIdleThreaderReturnsAndRefusesLaterJobs)
{
    RetriggerableThreader threader(Name("idle"));
    auto start = Clock::now();
    threader.Kill();
    EXPECT_LT(ElapsedMs(start), kPromptMs);
    RCPtr<LTestWorker> worker = MakeWorker();
    EXPECT_EQ(RESULT_FAILED, threader.Run(worker, RCPtr<LRefCountedObject>(), 0));
    EXPECT_FALSE(threader.IsRunning());
}

TEST(RetriggerableThreader, ThreaderWhoseThreadNeverStartedIsNotRunningAndRefusesJobs)
{
    Platform::SetThreadStartGate([] { return false; });
    RetriggerableThreader threader(Name("stillborn"));
    Platform::SetThreadStartGate(nullptr);
    EXPECT_FALSE(threader.IsRunning());
    EXPECT_EQ(RESULT_FAILED, threader.Run(MakeWorker(), RCPtr<LRefCountedObject>(), 0));
}

TEST(RetriggerableThreader, KillFromInsideItsOwnJobDoesNotWaitForItself)
{
    RetriggerableThreader threader(Name("self"));
    std::atomic<std::int64_t> killMs{-1};
    RCPtr<LEvent> done = LEvent::Create(true);
    ASSERT_EQ(0, threader.Run(MakeWorker(
                                  [&]
                                  {
                                      auto start = Clock::now();
                                      threader.Kill();
                                      killMs = ElapsedMs(start);
                                  }),
                              RCPtr<LRefCountedObject>(), done, 0));
    ASSERT_EQ(0u, done->Wait(5000));
    EXPECT_GE(killMs.load(), 0);
    EXPECT_LT(killMs.load(), kPromptMs);
}

TEST(RetriggerableThreader, JobThatDestroysItsThreaderLeavesTheLoopOnLiveMemory)
{
    auto* threader = new RetriggerableThreader(Name("doomed"));
    Tally workerGone;
    RCPtr<LEvent> done = LEvent::Create(true);
    auto start = Clock::now();
    {
        RCPtr<LTestWorker> worker = MakeWorker([&] { delete threader; }, &workerGone);
        ASSERT_EQ(0, threader->Run(worker, RCPtr<LRefCountedObject>(), done, 0));
    }
    // The loop goes on after the job: it drops the worker and releases the done
    // event, all from the core that outlives the threader.
    EXPECT_EQ(0u, done->Wait(5000));
    EXPECT_TRUE(workerGone.WaitFor(1));
    EXPECT_LT(ElapsedMs(start), kPromptMs);
}

// ---- LEventGatedThreader

TEST(LEventGatedThreader, RunsTheWorkerAfterEveryTimedOutWait)
{
    RCPtr<LEvent> gate = LEvent::Create(true);
    RCPtr<LTestWorker> worker = MakeWorker();
    RCPtr<LEventGatedThreader> threader =
        LEventGatedThreader::Create(gate, worker, RCPtr<LRefCountedObject>(), Thread::PRIORITY_TIME_CRITICAL);
    // A release on top of the time-out changes nothing: the worker runs after
    // every wait, released or timed out.
    threader->SetWaitTimeout(10);
    gate->Release();
    EXPECT_TRUE(worker->runs.WaitFor(4));
    threader->Kill();
    const int runs = worker->runs.Get();
    gate->Release();
    EXPECT_EQ(runs, worker->runs.Get());
}

TEST(LEventGatedThreader, AShorterTimeOutTakesEffectInTheWaitAlreadyInProgress)
{
    RCPtr<LEvent> gate = LEvent::Create(true);
    RCPtr<LTestWorker> worker = MakeWorker();
    RCPtr<LEventGatedThreader> threader =
        LEventGatedThreader::Create(gate, worker, RCPtr<LRefCountedObject>(), Thread::PRIORITY_TIME_CRITICAL);
    // The thread is in its first wait, with the infinite time-out it found, as
    // it may be when its creator sets the time-out right after Create.
    auto start = Clock::now();
    while (gate->GetWaitingCount() != 1)
    {
        ASSERT_LT(ElapsedMs(start), kBound.count()) << "the thread never waited on its gate";
        std::this_thread::yield();
    }
    threader->SetWaitTimeout(10);
    // Nothing releases the gate: the wake-up and then the timed-out waits run
    // the worker.
    EXPECT_TRUE(worker->runs.WaitFor(2, std::chrono::milliseconds(10000)));
    threader->Kill();
}

TEST(LEventGatedThreader, RunsOnceForEachGateRelease)
{
    RCPtr<LEvent> gate = LEvent::Create(true);
    RCPtr<LTestWorker> worker = MakeWorker();
    RCPtr<LEventGatedThreader> threader =
        LEventGatedThreader::Create(gate, worker, RCPtr<LRefCountedObject>(), Thread::PRIORITY_NORMAL);
    for (int i = 1; i <= 3; ++i)
    {
        gate->Release();
        ASSERT_TRUE(worker->runs.WaitFor(i)) << "release " << i;
    }
    threader->Kill();
    EXPECT_EQ(3, worker->runs.Get());
}

TEST(LEventGatedThreader, KillThatTimesOutLeavesTheRunningWorkerIntact)
{
    RCPtr<LEvent> gate = LEvent::Create(true);
    Gate release;
    Tally entered;
    Tally workerGone;
    RCPtr<LEventGatedThreader> threader;
    {
        RCPtr<LTestWorker> worker = MakeWorker(
            [&]
            {
                entered.Add();
                release.WaitOpen();
            },
            &workerGone);
        threader = LEventGatedThreader::Create(gate, worker, RCPtr<LRefCountedObject>(), 0, 50);
    }
    gate->Release();
    ASSERT_TRUE(entered.WaitFor(1));
    threader->Kill();
    // The threader no longer holds the worker, but the run in progress does.
    EXPECT_EQ(0, workerGone.Get());
    release.Open();
    EXPECT_TRUE(workerGone.WaitFor(1));
}

TEST(LEventGatedThreader, LastReleaseOnItsOwnThreadReturnsPromptly)
{
    RCPtr<LEvent> gate = LEvent::Create(true);
    Tally workerGone;
    RCPtr<LEventGatedThreader> threader;
    std::atomic<LEventGatedThreader*> held{nullptr};
    RCPtr<LTestWorker> worker = MakeWorker(
        [&]
        {
            // Drops the only reference, from the threader's own thread.
            LEventGatedThreader* raw = held.exchange(nullptr);
            if (raw != nullptr)
            {
                raw->RemoveReference();
            }
        },
        &workerGone);
    threader = LEventGatedThreader::Create(gate, worker, RCPtr<LRefCountedObject>(), 0);
    threader->AddReference();
    held = threader.GetRaw();
    threader.SetNull();
    worker.SetNull();
    auto start = Clock::now();
    gate->Release();
    EXPECT_TRUE(workerGone.WaitFor(1));
    EXPECT_LT(ElapsedMs(start), kPromptMs);
}

// ---- LThreadWorkerProxy

class LOwner : public virtual LRefCountedObject
{
public:
    explicit LOwner(Tally* destroyed) : mDestroyed(destroyed) {}
    ~LOwner() override { mDestroyed->Add(); }

    int Work(const RCPtr<LRefCountedObject>&)
    {
        calls.Add();
        if (onWork)
        {
            onWork();
        }
        return 0;
    }

    Tally calls;
    std::function<void()> onWork;

private:
    Tally* mDestroyed;
};

TEST(LThreadWorkerProxy, CallsTheOwnersMethodUntilTheReferenceIsDropped)
{
    Tally ownerGone;
    RCPtr<LOwner> owner(new LOwner(&ownerGone));
    RCPtr<LThreadWorkerProxy<LOwner>> proxy = LThreadWorkerProxy<LOwner>::Create(owner, &LOwner::Work);
    EXPECT_EQ(0, proxy->RunWorker(RCPtr<LRefCountedObject>()));
    EXPECT_EQ(1, owner->calls.Get());
    owner.SetNull();
    EXPECT_EQ(0, ownerGone.Get());
    EXPECT_TRUE(proxy->DropOwnerReference());
    EXPECT_EQ(1, ownerGone.Get());
    EXPECT_EQ(0, proxy->RunWorker(RCPtr<LRefCountedObject>()));
}

TEST(LThreadWorkerProxy, DropFromInsideTheMethodKeepsTheReference)
{
    Tally ownerGone;
    RCPtr<LOwner> owner(new LOwner(&ownerGone));
    RCPtr<LThreadWorkerProxy<LOwner>> proxy = LThreadWorkerProxy<LOwner>::Create(owner, &LOwner::Work);
    bool dropped = true;
    owner->onWork = [&] { dropped = proxy->DropOwnerReference(); };
    proxy->RunWorker(RCPtr<LRefCountedObject>());
    EXPECT_FALSE(dropped);
    owner->onWork = nullptr;
    owner.SetNull();
    EXPECT_EQ(0, ownerGone.Get());
    EXPECT_TRUE(proxy->DropOwnerReference());
    EXPECT_EQ(1, ownerGone.Get());
}

TEST(LThreadWorkerProxy, DropFromAnotherThreadWhileTheMethodRunsKeepsTheOwnerAliveUntilItReturns)
{
    Tally ownerGone;
    Gate release;
    Tally entered;
    RCPtr<LOwner> owner(new LOwner(&ownerGone));
    owner->onWork = [&]
    {
        entered.Add();
        release.WaitOpen();
    };
    RCPtr<LThreadWorkerProxy<LOwner>> proxy = LThreadWorkerProxy<LOwner>::Create(owner, &LOwner::Work);
    owner.SetNull();
    std::thread runner([&] { proxy->RunWorker(RCPtr<LRefCountedObject>()); });
    ASSERT_TRUE(entered.WaitFor(1));
    EXPECT_TRUE(proxy->DropOwnerReference());
    EXPECT_EQ(0, ownerGone.Get());
    release.Open();
    runner.join();
    EXPECT_EQ(1, ownerGone.Get());
}

} // namespace
