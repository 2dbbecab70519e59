// Concurrency of the connection: meant for the sanitizer builds as much as for
// their assertions.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "ConnectionTestSupport.h"

using namespace ConnectionTest;
using RawPeer::RawFrame;

namespace
{

std::size_t PayloadSize(std::uint32_t channel, std::uint32_t i)
{
    return (i * 977u + channel * 131u) % 20000u;
}

// Sends count frames on each of the channels, interleaved, from its own thread.
std::future<bool> StreamFrom(RawPeer::RawTcpPeer& peer, std::vector<std::uint32_t> channels,
                             std::uint32_t count)
{
    return std::async(
        std::launch::async,
        [&peer, channels, count]
        {
            for (std::uint32_t i = 0; i < count; ++i)
            {
                for (std::uint32_t channel : channels)
                {
                    const std::size_t size = PayloadSize(channel, i) % 3000;
                    if (!peer.Send(RawFrame::Plain(
                            channel, i, RawPeer::PatternPayload(size, static_cast<std::uint8_t>(i)))))
                    {
                        return false;
                    }
                }
            }
            return true;
        });
}

// Sends frames on channel 0 from its own thread until told to stop or the
// connection ends.
std::future<void> StreamUntil(RawPeer::RawTcpPeer& peer, std::atomic<bool>& stop)
{
    return std::async(std::launch::async,
                      [&peer, &stop]
                      {
                          for (std::uint32_t i = 0; !stop.load(); ++i)
                          {
                              if (!peer.Send(RawFrame::Plain(0, i, RawPeer::PatternPayload(i % 300))))
                              {
                                  return;
                              }
                          }
                      });
}

} // namespace

// A send waits only briefly for the socket to take more bytes, and the raw
// peer's reader may lag far behind on a loaded machine. So each message takes
// a ticket and is sent once all but kUnread - 1 of the messages ticketed
// before it have been read: at most kUnread messages (about 80 KB) are ever
// unread, which the loopback socket's buffers hold however long the peer's
// reader stalls, while the four senders still send at once.
TEST(NetworkConnectionStress, FourSendersAndTwoIncomingStreamsStayWholeAndInOrder)
{
    Linked link;
    ASSERT_TRUE(link.accepted);
    constexpr std::uint32_t kSent = 200;
    constexpr std::uint32_t kStreamed = 300;
    constexpr std::uint32_t kUnread = 4;
    std::atomic<std::uint32_t> tickets{0};
    KT::RCPtr<LRecordingCallback> incoming[2] = {LRecordingCallback::Create(), LRecordingCallback::Create()};
    ASSERT_EQ(link.connection->SetCallback(incoming[0], NETWORK_CHANNEL_0), 0);
    ASSERT_EQ(link.connection->SetCallback(incoming[1], NETWORK_CHANNEL_1), 0);

    std::future<bool> stream = StreamFrom(link.peer, {0, 1}, kStreamed);
    std::vector<std::future<bool>> senders;
    for (std::uint32_t channel = 1; channel <= 4; ++channel)
    {
        senders.push_back(std::async(
            std::launch::async,
            [&link, &tickets, channel]
            {
                for (std::uint32_t i = 0; i < kSent; ++i)
                {
                    const std::uint32_t ticket = tickets.fetch_add(1);
                    if (ticket >= kUnread && !link.peer.WaitForFrames(ticket - kUnread + 1))
                    {
                        return false;
                    }
                    const KT::RCPtr<KT::LIBuffer> payload = BufferOf(RawPeer::PatternPayload(
                        PayloadSize(channel, i), static_cast<std::uint8_t>(channel + i)));
                    if (link.connection->SendMessage(payload, static_cast<NetworkChannelNumber>(channel)) !=
                        NETWORK_NO_ERROR)
                    {
                        return false;
                    }
                }
                return true;
            }));
    }
    for (std::future<bool>& sender : senders)
    {
        EXPECT_TRUE(sender.get());
    }
    EXPECT_TRUE(stream.get());

    ASSERT_TRUE(link.peer.WaitForFrames(4 * kSent));
    EXPECT_FALSE(link.peer.Broken());
    std::uint32_t next[5] = {};
    for (const RawFrame& frame : link.peer.Frames())
    {
        ASSERT_GE(frame.channel, 1u);
        ASSERT_LE(frame.channel, 4u);
        const std::uint32_t i = next[frame.channel]++;
        ASSERT_EQ(frame.sequenceID, i) << "channel " << frame.channel;
        ASSERT_TRUE(frame.payload == RawPeer::PatternPayload(PayloadSize(frame.channel, i),
                                                             static_cast<std::uint8_t>(frame.channel + i)))
            << "channel " << frame.channel << ", message " << i;
    }
    for (std::uint32_t channel = 0; channel < 2; ++channel)
    {
        ASSERT_TRUE(incoming[channel]->WaitFor(kStreamed));
        const std::vector<Delivery> deliveries = incoming[channel]->Deliveries();
        for (std::uint32_t i = 0; i < kStreamed; ++i)
        {
            ASSERT_EQ(deliveries[i].sequenceID, static_cast<std::int32_t>(i)) << "channel " << channel;
            ASSERT_TRUE(deliveries[i].payload ==
                        RawPeer::PatternPayload(PayloadSize(channel, i) % 3000, static_cast<std::uint8_t>(i)))
                << "channel " << channel << ", message " << i;
        }
        EXPECT_EQ(incoming[channel]->Overlaps(), 0);
        EXPECT_EQ(
            link.connection->RemoveCallback(incoming[channel], static_cast<NetworkChannelNumber>(channel)),
            0);
    }
}

TEST(NetworkConnectionStress, RemoveCallbackAndCloseRaceDeliveries)
{
    Linked link;
    ASSERT_TRUE(link.accepted);
    KT::RCPtr<LRecordingCallback> steady = LRecordingCallback::Create();
    ASSERT_EQ(link.connection->SetCallback(steady, NETWORK_CHANNEL_0), 0);
    std::atomic<bool> stop{false};
    std::future<void> stream = StreamUntil(link.peer, stop);

    for (int round = 0; round < 30; ++round)
    {
        KT::RCPtr<LRecordingCallback> passing = LRecordingCallback::Create();
        ASSERT_EQ(link.connection->SetCallback(passing, NETWORK_CHANNEL_0), 0);
        passing->WaitFor(1, std::chrono::milliseconds(20));
        ASSERT_EQ(link.connection->RemoveCallback(passing, NETWORK_CHANNEL_0), 0);
        // Removal waits for a call in progress and drops what is queued.
        const std::size_t seen = passing->Deliveries().size();
        ASSERT_TRUE(steady->WaitFor(steady->Deliveries().size() + 1));
        EXPECT_EQ(passing->Deliveries().size(), seen) << "round " << round;
    }
    link.connection->CloseConnection();
    EXPECT_EQ(link.connection->RemoveCallback(steady, NETWORK_CHANNEL_0), 0);
    stop.store(true);
    stream.get();
    EXPECT_EQ(steady->Overlaps(), 0);
}

TEST(NetworkConnectionStress, ACallbackMayRemoveItsOwnRegistration)
{
    Linked link;
    ASSERT_TRUE(link.accepted);
    KT::RCPtr<LRecordingCallback> leaving = LRecordingCallback::Create();
    KT::RCPtr<LRecordingCallback> staying = LRecordingCallback::Create();
    std::promise<int> removed;
    leaving->SetHook(
        [&removed](LRecordingCallback& self, const KT::RCPtr<LNetworkConnection>& connection,
                   const Delivery& delivery)
        {
            if (!delivery.isError && delivery.sequenceID == 0)
            {
                removed.set_value(connection->RemoveCallback(
                    KT::RCPtr<LNetworkConnectionCallbackInterface>(&self), NETWORK_CHANNEL_0));
            }
        });
    ASSERT_EQ(link.connection->SetCallback(leaving, NETWORK_CHANNEL_0), 0);
    ASSERT_EQ(link.connection->SetCallback(staying, NETWORK_CHANNEL_0), 0);
    ASSERT_TRUE(link.peer.Send(RawFrame::Plain(0, 0, {0})));
    std::future<int> result = removed.get_future();
    ASSERT_EQ(result.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);

    for (std::uint32_t i = 1; i < 5; ++i)
    {
        ASSERT_TRUE(link.peer.Send(RawFrame::Plain(0, i, {static_cast<std::uint8_t>(i)})));
    }
    ASSERT_TRUE(staying->WaitFor(5));
    EXPECT_EQ(leaving->Deliveries().size(), 1u);
    EXPECT_EQ(link.connection->RemoveCallback(staying, NETWORK_CHANNEL_0), 0);
}

TEST(NetworkConnectionStress, ACallbackMayDropTheLastReferenceToItsConnection)
{
    Linked link;
    ASSERT_TRUE(link.accepted);
    // The callback holds the only outside reference and lets it go from its
    // delivery thread, after removing its registration.
    struct Holder
    {
        std::mutex lock;
        KT::RCPtr<LNetworkConnection> connection;
    };
    auto holder = std::make_shared<Holder>();
    holder->connection = link.connection;
    KT::RCPtr<LRecordingCallback> callback = LRecordingCallback::Create();
    callback->SetHook(
        [holder](LRecordingCallback& self, const KT::RCPtr<LNetworkConnection>& connection, const Delivery&)
        {
            static_cast<void>(connection->RemoveCallback(
                KT::RCPtr<LNetworkConnectionCallbackInterface>(&self), NETWORK_CHANNEL_0));
            std::lock_guard<std::mutex> guard(holder->lock);
            holder->connection.SetNull();
        });
    ASSERT_EQ(link.connection->SetCallback(callback, NETWORK_CHANNEL_0), 0);
    link.connection.SetNull();

    ASSERT_TRUE(link.peer.Send(RawFrame::Plain(0, 0, {1})));
    ASSERT_TRUE(callback->WaitFor(1));
    // With no holder left the connection closes; its receivers end and free it.
    EXPECT_TRUE(link.peer.WaitForClientClose());
}

TEST(NetworkConnectionStress, DroppingAConnectionWhoseReceiversRunClosesIt)
{
    for (int round = 0; round < 3; ++round)
    {
        Linked link;
        ASSERT_TRUE(link.accepted);
        link.peer.SetEcho(true);
        KT::ConstRCPtr<KT::LIBuffer> reply;
        ASSERT_EQ(link.connection->SendMessageWithReply(BufferOf({1}), NETWORK_CHANNEL_1, reply, 1, 5000,
                                                        KT::RCPtr<KT::LEvent>()),
                  NETWORK_NO_ERROR);
        std::future<bool> stream = StreamFrom(link.peer, {0, 2}, 200);
        link.connection.SetNull();
        EXPECT_TRUE(link.peer.WaitForClientClose()) << "round " << round;
        stream.get();
    }
}
