// What ends the wait of a reliable send at its channel's bound, on a clock
// that moves only when the test moves it.
#include <gtest/gtest.h>

#include <future>

#include "ConnectionTestSupport.h"
#include "Platform/FakeMonotonicClock.h"
#include "velquin/Common/CrossPlatform/Network/NetworkSendBacklog.h"
#include "velquin/Common/CrossPlatform/Network/NetworkTimeouts.h"

namespace
{

using ConnectionTest::Eventually;
using ConnectionTest::kBound;

TEST(NetworkSendBacklog, ASendAtTheBoundWaitsWhileAcknowledgementsMayComeAndNoLonger)
{
    // A wait that meets no acknowledgement, or a close, is shown on a
    // connection (NetworkUdpConnection.ASendAtTheBound...).
    enum Meanwhile
    {
        kNothingKept,        // there is room from the start
        kSlowProgress,       // acknowledgements come, each within the limit, then room
        kOwnReceiverHeldBack // a callback of the connection sends while a receiver waits for it
    };
    const struct
    {
        const char* name;
        Meanwhile meanwhile;
        NetworkError result;
    } cases[] = {
        {"nothing kept", kNothingKept, NETWORK_NO_ERROR},
        {"acknowledgements within the limit, for longer", kSlowProgress, NETWORK_NO_ERROR},
        {"its own receiver held back", kOwnReceiverHeldBack, NETWORK_OBJECT_OUT_OF_MEMORY},
    };
    const std::uint64_t limit = NetworkTimeouts::Get(NetworkTimeoutList::SEND_ROOM);
    for (const auto& c : cases)
    {
        KT::Platform::FakeMonotonicClock clock(1000000000000ull);
        KT::Platform::ScopedMonotonicClock useClock(clock);
        NetworkSendBacklog backlog;
        constexpr std::size_t kMessage = 1000;
        if (c.meanwhile != kNothingKept)
        {
            backlog.Keep(NetworkSendBacklog::kMostBytes);
        }
        // A stream receiver waiting for deliveries that the sending callback
        // holds up.
        NetworkReceiveBacklog deliveries;
        std::future<bool> heldBack;
        if (c.meanwhile == kOwnReceiverHeldBack)
        {
            deliveries.Take(NetworkReceiveBacklog::kMostBytes);
            heldBack = std::async(std::launch::async, [&] { return deliveries.WaitForRoom(60000); });
            ASSERT_TRUE(Eventually([&] { return deliveries.IsHoldingBack(); })) << c.name;
        }
        std::future<NetworkError> send =
            std::async(std::launch::async,
                       [&]
                       {
                           return NetworkSendBacklog::Turn(backlog).WaitForRoom(
                               kMessage, c.meanwhile == kOwnReceiverHeldBack ? &deliveries : nullptr);
                       });
        const auto ended = [&]
        { return send.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
        // The wait is under way once the send has read the clock twice: once
        // to start, once in its first look.
        const auto readsAtLeast = [&](std::uint64_t reads)
        { return Eventually([&] { return clock.GetReadCount() >= reads || ended(); }); };
        ASSERT_TRUE(readsAtLeast(2)) << c.name;
        if (c.meanwhile == kSlowProgress)
        {
            // Three limits in all. A send that saw the time move past the
            // limit and looked again is still waiting.
            for (int i = 0; i < 4; ++i)
            {
                backlog.Keep(1);
                backlog.GiveBack(1);
                clock.AdvanceMilliseconds(limit * 3 / 4);
                ASSERT_TRUE(readsAtLeast(clock.GetReadCount() + 2)) << c.name;
                ASSERT_FALSE(ended()) << c.name << ", step " << i;
            }
            backlog.GiveBack(kMessage);
        }
        ASSERT_EQ(send.wait_for(kBound), std::future_status::ready) << c.name;
        EXPECT_EQ(send.get(), c.result) << c.name;
        EXPECT_EQ(backlog.GetWaitingCount(), 0u) << c.name;
        if (heldBack.valid())
        {
            deliveries.Close();
            EXPECT_TRUE(heldBack.get()) << c.name;
        }
    }
}

} // namespace
