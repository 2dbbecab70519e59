#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KTFramework/Utilities/Threading/Event.h"

using namespace KT;

namespace
{

// Bound on waits for something that should happen; never waited out when the
// code is right.
constexpr unsigned int kBoundMs = 10000;

std::uint64_t SignalWord(const LEventData& data)
{
    std::uint64_t word = 0;
    for (unsigned int bit = 0; bit < 64; ++bit)
    {
        const std::uint64_t mask = std::uint64_t{1} << bit;
        if (data.IsSignaled(mask, true))
        {
            word |= mask;
        }
    }
    return word;
}

// Spins (yielding) until done() holds or the bound passes.
template <class Predicate>
bool SpinUntil(Predicate done)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
    while (!done())
    {
        if (std::chrono::steady_clock::now() > limit)
        {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

} // namespace

TEST(LEventData, WaitTypesPassClearAndReportAsTheirTableSays)
{
    constexpr std::uint64_t kTop = std::uint64_t{1} << 63;
    struct Row
    {
        const char* name;
        std::int32_t type;
        std::uint64_t word;
        std::uint64_t mask;
        unsigned int result;
        std::uint64_t after;
    };
    const Row rows[] = {
        {"all: every bit set passes, clears nothing", LEventData::WAIT_ALL, 0b111, 0b011, 0, 0b111},
        {"all: one bit missing times out", LEventData::WAIT_ALL, 0b001, 0b011, Wait::TIMED_OUT, 0b001},
        {"all-reset: clears the mask's bits only", LEventData::WAIT_ALL_RESET, 0b111, 0b011, 0, 0b100},
        {"all-reset: one bit missing times out", LEventData::WAIT_ALL_RESET, 0b001, 0b011, Wait::TIMED_OUT,
         0b001},
        {"3 behaves as all-reset", 3, 0b111, 0b011, 0, 0b100},
        {"any-reset: lowest set bit of the mask", LEventData::WAIT_ANY_RESET, 0b110, 0b111, 1, 0b100},
        {"any-reset: bits outside the mask stay", LEventData::WAIT_ANY_RESET, 0b101, 0b100, 2, 0b001},
        {"any-reset: no bit of the mask times out", LEventData::WAIT_ANY_RESET, 0b001, 0b110, Wait::TIMED_OUT,
         0b001},
        {"any-reset: bit 63", LEventData::WAIT_ANY_RESET, kTop | 1, kTop, 63, 1},
        {"other values behave as all", 7, 0b011, 0b011, 0, 0b011},
        {"negative values behave as all", -1, 0b011, 0b010, 0, 0b011},
        {"empty mask is refused", LEventData::WAIT_ALL_RESET, 0b011, 0, 0xFFFFFFFFu, 0b011},
    };
    for (const Row& row : rows)
    {
        RCPtr<LEventData> data = LEventData::Create();
        data->Release(row.word);
        EXPECT_EQ(data->Wait(row.mask, static_cast<LEventData::EventWaitType>(row.type), 0), row.result)
            << row.name;
        EXPECT_EQ(SignalWord(*data), row.after) << row.name;
    }
}

TEST(LEventData, EmptyMaskReleaseAndResetChangeNothing)
{
    RCPtr<LEventData> data = LEventData::Create();
    data->Release(0b10);
    EXPECT_FALSE(data->Release(0));
    EXPECT_FALSE(data->Reset(0));
    EXPECT_EQ(SignalWord(*data), 0b10u);
    EXPECT_TRUE(data->Reset(0b10));
    EXPECT_EQ(SignalWord(*data), 0u);
}

TEST(LEventData, IsSignaledTellsAnyBitFromEveryBit)
{
    RCPtr<LEventData> data = LEventData::Create();
    data->Release(0b01);
    EXPECT_TRUE(data->IsSignaled(0b11, true));
    EXPECT_FALSE(data->IsSignaled(0b11, false));
    EXPECT_TRUE(data->IsSignaled(0b01, false));
}

// The deadline and the condition must be measured on the same clock, or a wait
// returns at once or never.
TEST(LEventData, TimedOutWaitLastsItsLimit)
{
    RCPtr<LEventData> data = LEventData::Create();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(data->Wait(1, LEventData::WAIT_ALL, 30), Wait::TIMED_OUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

TEST(LEventData, AnyWaitSleepsUntilItsOwnBitAndLeavesOtherBitsSet)
{
    RCPtr<LEventData> data = LEventData::Create();
    data->Release(0b001);
    EXPECT_EQ(data->Wait(0b100, LEventData::WAIT_ANY_RESET, 20), Wait::TIMED_OUT);

    unsigned int result = 0;
    std::thread waiter([&] { result = data->Wait(0b100, LEventData::WAIT_ANY_RESET, kBoundMs); });
    data->Release(0b100);
    waiter.join();
    EXPECT_EQ(result, 2u);
    EXPECT_EQ(SignalWord(*data), 0b001u);
}

// Sleepers on different bits share one condition: a release has to reach the
// one whose bit it sets, whichever of them the condition would wake first.
TEST(LEventData, ReleaseWakesTheSleeperOfEachBit)
{
    constexpr unsigned int kCount = 8;
    RCPtr<LEventData> data = LEventData::Create();
    std::vector<std::unique_ptr<Event>> events;
    for (unsigned int bit = 0; bit < kCount; ++bit)
    {
        events.push_back(std::make_unique<Event>(data, bit));
    }
    std::vector<unsigned int> results(kCount, 0xDEADu);
    std::vector<std::thread> waiters;
    for (unsigned int bit = 0; bit < kCount; ++bit)
    {
        waiters.emplace_back([&, bit] { results[bit] = events[bit]->Wait(kBoundMs); });
    }
    ASSERT_TRUE(SpinUntil(
        [&]
        {
            for (const auto& event : events)
            {
                if (event->GetWaitingCount() != 1)
                {
                    return false;
                }
            }
            return true;
        }));
    for (unsigned int bit = kCount; bit-- > 0;)
    {
        events[bit]->Release();
        waiters[bit].join();
        EXPECT_EQ(results[bit], 0u) << "bit " << bit;
    }
}

TEST(LEventData, ReleaseWakesEverySleeperOfAManualEvent)
{
    constexpr unsigned int kCount = 4;
    Event event(false);
    std::vector<unsigned int> results(kCount, 0xDEADu);
    std::vector<std::thread> waiters;
    for (unsigned int i = 0; i < kCount; ++i)
    {
        waiters.emplace_back([&, i] { results[i] = event.Wait(kBoundMs); });
    }
    ASSERT_TRUE(SpinUntil([&] { return event.GetWaitingCount() == kCount; }));
    event.Release();
    for (unsigned int i = 0; i < kCount; ++i)
    {
        waiters[i].join();
        EXPECT_EQ(results[i], 0u) << "waiter " << i;
    }
}

namespace
{
template <class E>
void CheckResetBehaviour(E& event, bool autoReset, const std::string& name)
{
    EXPECT_EQ(event.Wait(0), Wait::TIMED_OUT) << name << ": unsignalled";
    EXPECT_TRUE(event.Release()) << name;
    EXPECT_TRUE(event.Release()) << name << ": second release";
    EXPECT_EQ(event.Wait(0), 0u) << name << ": signalled";
    // Two releases before a wait count as one.
    EXPECT_EQ(event.Wait(0), autoReset ? Wait::TIMED_OUT : 0u) << name << ": after one wait";
    EXPECT_TRUE(event.Reset()) << name;
    EXPECT_EQ(event.Wait(0), Wait::TIMED_OUT) << name << ": after reset";
    EXPECT_EQ(event.GetWaitingCount(), 0u) << name;
}
} // namespace

TEST(Event, AutoResetEventsPassOneWaitPerSignalManualOnesUntilReset)
{
    for (const bool autoReset : {true, false})
    {
        const std::string kind = autoReset ? "auto" : "manual";
        Event event(autoReset);
        CheckResetBehaviour(event, autoReset, "Event " + kind);
        RCPtr<LEvent> counted = LEvent::Create(autoReset);
        CheckResetBehaviour(*counted, autoReset, "LEvent " + kind);
    }
    RCPtr<LEventData> data = LEventData::Create();
    Event shared(data, 9);
    CheckResetBehaviour(shared, true, "Event on shared data");
    RCPtr<LEvent> countedShared(new LEvent(data, 10));
    CheckResetBehaviour(*countedShared, true, "LEvent on shared data");
}

TEST(Event, EventsOnSharedDataSignalTheirOwnBits)
{
    RCPtr<LEventData> data = LEventData::Create();
    Event first(data, 0);
    Event second(data, 1);
    Event third(data, 2);
    Event last(data, 63);
    second.Release();
    third.Release();
    last.Release();
    EXPECT_EQ(SignalWord(*data), (std::uint64_t{1} << 63) | 0b110);
    EXPECT_EQ(data->Wait(0b111, LEventData::WAIT_ANY_RESET, 0), 1u);
    EXPECT_EQ(data->Wait(0b111, LEventData::WAIT_ANY_RESET, 0), 2u);
    EXPECT_EQ(first.Wait(0), Wait::TIMED_OUT);
    EXPECT_EQ(last.Wait(0), 0u);
    EXPECT_EQ(SignalWord(*data), 0u);
    EXPECT_NE(static_cast<void*>(first), static_cast<void*>(second));
}

TEST(Event, BitOfSixtyFourOrMoreIsRefusedBeforeAnythingIsTaken)
{
    const std::string expected = "Out of Range :  : Device/KTFramework/Utilities/Threading/Event : Line 15";
    RCPtr<LEventData> data = LEventData::Create();
    for (const unsigned int bit : {64u, 65u, 1000u, 0xFFFFFFFFu})
    {
        try
        {
            Event event(data, bit);
            ADD_FAILURE() << "Event accepted bit " << bit;
        }
        catch (const Exception<std::out_of_range>& error)
        {
            EXPECT_EQ(error.what(), expected) << "Event bit " << bit;
        }
        try
        {
            RCPtr<LEvent> event(new LEvent(data, bit));
            ADD_FAILURE() << "LEvent accepted bit " << bit;
        }
        catch (const Exception<std::out_of_range>& error)
        {
            EXPECT_EQ(error.what(), expected) << "LEvent bit " << bit;
        }
        EXPECT_EQ(data->GetReferenceCount(), 1) << "bit " << bit;
    }
}

TEST(Event, DestroyingAnEventHandsItsWaiterTheSignal)
{
    for (const bool autoReset : {true, false})
    {
        auto event = std::make_unique<Event>(autoReset);
        Event* raw = event.get();
        unsigned int result = 0xDEADu;
        std::thread waiter([&result, raw] { result = raw->Wait(Wait::INFINITE_WAIT); });
        ASSERT_TRUE(SpinUntil([&] { return event->GetWaitingCount() == 1; }));
        event.reset();
        waiter.join();
        EXPECT_EQ(result, 0u) << (autoReset ? "auto" : "manual");
    }
}

TEST(LEvent, UnshareMovesTheEventOntoFreshDataWithoutItsPendingSignal)
{
    RCPtr<LEventData> data = LEventData::Create();
    RCPtr<LEvent> event(new LEvent(data, 5));
    event->Release();
    event->Unshare();
    EXPECT_EQ(event->Wait(0), Wait::TIMED_OUT);
    EXPECT_EQ(SignalWord(*data), std::uint64_t{1} << 5);
    EXPECT_EQ(data->GetReferenceCount(), 1);

    event->Release();
    EXPECT_EQ(SignalWord(*data), std::uint64_t{1} << 5);
    EXPECT_EQ(event->Wait(0), 0u);
    EXPECT_EQ(event->Wait(0), Wait::TIMED_OUT);
}

TEST(TrafficLight, GreenLetsEveryWaitThroughUntilRed)
{
    TrafficLight light;
    EXPECT_FALSE(light.IsGreenLight());
    EXPECT_TRUE(light.SetGreenLight());
    EXPECT_TRUE(light.IsGreenLight());
    EXPECT_EQ(light.WaitForGreenLight(0), 0u);
    EXPECT_EQ(light.WaitForGreenLight(0), 0u);
    EXPECT_TRUE(light.SetRedLight());
    EXPECT_FALSE(light.IsGreenLight());
    EXPECT_EQ(light.WaitForGreenLight(0), Wait::TIMED_OUT);
}

TEST(TrafficLight, TellsWhetherAThreadWaitsForGreen)
{
    TrafficLight light;
    EXPECT_FALSE(light.IsThreadWaitingForGreenLight());
    unsigned int result = 0xDEADu;
    std::thread waiter([&] { result = light.WaitForGreenLight(kBoundMs); });
    ASSERT_TRUE(SpinUntil([&] { return light.IsThreadWaitingForGreenLight(); }));
    light.SetGreenLight();
    waiter.join();
    EXPECT_EQ(result, 0u);
    EXPECT_FALSE(light.IsThreadWaitingForGreenLight());
}
