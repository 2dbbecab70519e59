#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "KTFramework/Utilities/Threading/EventPoolEx.h"
#include "ThreadingTestSupport.h"

// Result codes that a test does not judge (set-up steps, and calls whose effect
// it checks another way) are cast to void.

using namespace KT;
using namespace ThreadingTest;

namespace
{

// Records the events the serving thread reports; can hold the serving thread
// inside the callback until released.
struct Recorder
{
    std::mutex mutex;
    std::vector<LEvent*> seen;
    Tally calls;
    Gate* holdFirst = nullptr;
    Tally held;
    RCPtr<LEventPoolEx>* poolForReentry = nullptr;
    RCPtr<LEvent> reentrantAdd{};
    int reentrantRemove = 0;

    static void Callback(void* context, const RCPtr<LEvent>& event)
    {
        Recorder* self = static_cast<Recorder*>(context);
        if (self->poolForReentry != nullptr)
        {
            self->reentrantAdd = (*self->poolForReentry)->AddEvent();
            self->reentrantRemove = (*self->poolForReentry)->RemoveEvent(event);
        }
        {
            std::lock_guard<std::mutex> guard(self->mutex);
            self->seen.push_back(event.GetRaw());
        }
        if (self->holdFirst != nullptr)
        {
            Gate* gate = self->holdFirst;
            self->holdFirst = nullptr;
            self->held.Add();
            gate->WaitOpen();
        }
        self->calls.Add();
    }

    std::vector<LEvent*> Seen()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return seen;
    }
};

TEST(LEventPoolEx, CallsBackForEachReleasedEvent)
{
    Recorder recorder;
    RCPtr<LEventPoolEx> pool = LEventPoolEx::Create(&Recorder::Callback, &recorder);
    RCPtr<LEvent> events[3] = {pool->AddEvent(), pool->AddEvent(), pool->AddEvent()};
    for (const RCPtr<LEvent>& event : events)
    {
        ASSERT_FALSE(!event);
    }
    events[1]->Release();
    ASSERT_TRUE(recorder.calls.WaitFor(1));
    events[2]->Release();
    ASSERT_TRUE(recorder.calls.WaitFor(2));
    events[0]->Release();
    ASSERT_TRUE(recorder.calls.WaitFor(3));
    std::vector<LEvent*> expected{events[1].GetRaw(), events[2].GetRaw(), events[0].GetRaw()};
    EXPECT_EQ(expected, recorder.Seen());
}

TEST(LEventPoolEx, RemovalRenumbersTheLaterEventsWithTheirPendingSignals)
{
    Recorder recorder;
    Gate hold;
    recorder.holdFirst = &hold;
    RCPtr<LEventPoolEx> pool = LEventPoolEx::Create(&Recorder::Callback, &recorder);
    RCPtr<LEvent> first = pool->AddEvent();
    RCPtr<LEvent> second = pool->AddEvent();
    RCPtr<LEvent> third = pool->AddEvent();

    // Keep the serving thread in a callback while the third event's signal is
    // pending on bit 3 and the removal of the second (bit 2) is handed over.
    first->Release();
    ASSERT_TRUE(recorder.held.WaitFor(1));
    third->Release();
    int removed = -1;
    std::thread remover([&] { removed = pool->RemoveEvent(second); });
    hold.Open();
    remover.join();
    EXPECT_EQ(0, removed);

    ASSERT_TRUE(recorder.calls.WaitFor(2));
    EXPECT_EQ((std::vector<LEvent*>{first.GetRaw(), third.GetRaw()}), recorder.Seen());

    // The third event now answers on bit 2, the removed one on its own word.
    third->Release();
    ASSERT_TRUE(recorder.calls.WaitFor(3));
    EXPECT_EQ(third.GetRaw(), recorder.Seen().back());
    second->Release();
    EXPECT_EQ(0u, second->Wait(0));
    EXPECT_EQ(3, recorder.calls.Get());
}

TEST(LEventPoolEx, HoldsSixtyFourEventsAtMost)
{
    Recorder recorder;
    RCPtr<LEventPoolEx> pool = LEventPoolEx::Create(&Recorder::Callback, &recorder);
    for (int i = 1; i < 64; ++i)
    {
        ASSERT_FALSE(!pool->AddEvent()) << "event " << i;
    }
    EXPECT_TRUE(!pool->AddEvent());
}

TEST(LEventPoolEx, RemoveRefusesForeignNullAndWaitedOnEvents)
{
    Recorder recorder;
    RCPtr<LEventPoolEx> pool = LEventPoolEx::Create(&Recorder::Callback, &recorder);
    RCPtr<LEventPoolEx> other = LEventPoolEx::Create(&Recorder::Callback, &recorder);
    RCPtr<LEvent> own = pool->AddEvent();
    RCPtr<LEvent> foreign = other->AddEvent();
    EXPECT_EQ(RESULT_INVALID_ARGUMENT, pool->RemoveEvent(foreign));
    EXPECT_EQ(RESULT_INVALID_ARGUMENT, pool->RemoveEvent(RCPtr<LEvent>()));

    // The serving thread competes for the event's signals, so the outside
    // waiter waits in short rounds until told to stop.
    std::atomic<bool> stop{false};
    std::thread waiter(
        [&]
        {
            while (!stop.load())
            {
                static_cast<void>(own->Wait(20));
            }
        });
    auto start = std::chrono::steady_clock::now();
    while (own->GetWaitingCount() == 0 && ElapsedMs(start) < kBound.count())
    {
        std::this_thread::yield();
    }
    EXPECT_EQ(RESULT_FAILED, pool->RemoveEvent(own));
    stop.store(true);
    waiter.join();
    EXPECT_EQ(0, pool->RemoveEvent(own));
}

TEST(LEventPoolEx, CommandsFromTheCallbackFailInsteadOfWaitingForThemselves)
{
    Recorder recorder;
    RCPtr<LEventPoolEx> pool = LEventPoolEx::Create(&Recorder::Callback, &recorder);
    RCPtr<LEvent> event = pool->AddEvent();
    recorder.poolForReentry = &pool;
    event->Release();
    ASSERT_TRUE(recorder.calls.WaitFor(1));
    EXPECT_TRUE(!recorder.reentrantAdd);
    EXPECT_EQ(RESULT_FAILED, recorder.reentrantRemove);
}

TEST(LEventPoolEx, CommandsFailOnceTheServingThreadIsStopped)
{
    Recorder recorder;
    RCPtr<LEventPoolEx> pool = LEventPoolEx::Create(&Recorder::Callback, &recorder);
    RCPtr<LEvent> event = pool->AddEvent();
    ASSERT_TRUE(pool->KillThread());
    EXPECT_TRUE(!pool->AddEvent());
    EXPECT_EQ(RESULT_FAILED, pool->RemoveEvent(event));
}

TEST(LEventPoolEx, KillWhileACommandWaitsReleasesItsCaller)
{
    Recorder recorder;
    Gate hold;
    recorder.holdFirst = &hold;
    RCPtr<LEventPoolEx> pool = LEventPoolEx::Create(&Recorder::Callback, &recorder, 200);
    RCPtr<LEvent> event = pool->AddEvent();
    event->Release();
    ASSERT_TRUE(recorder.held.WaitFor(1));
    Tally finished;
    RCPtr<LEvent> added;
    std::thread adder(
        [&]
        {
            added = pool->AddEvent();
            finished.Add();
        });
    // The serving thread is stuck in the callback: the kill times out, and the
    // waiting AddEvent gives up rather than waiting for a thread that will not
    // serve it.
    EXPECT_FALSE(pool->KillThread());
    EXPECT_TRUE(finished.WaitFor(1));
    adder.join();
    EXPECT_TRUE(!added);
    hold.Open();
    EXPECT_TRUE(pool->KillThread());
}

} // namespace
