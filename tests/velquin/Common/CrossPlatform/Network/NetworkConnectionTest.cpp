#include <gtest/gtest.h>

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <thread>

#include "ConnectionTestSupport.h"
#include "support/TestPorts.h"

using namespace ConnectionTest;
using RawPeer::RawFrame;
using Callbacker = LNetworkConnection::LCallbacker;
using Job = LNetworkConnection::LCallbacker::LCallBackThreadWorker;

namespace
{

const LNetworkConnection::ConnectionType kControl = LNetworkConnection::CONNECTION_CONTROL_SOCKET;
const LNetworkConnection::ConnectionType kData = LNetworkConnection::CONNECTION_DATA_SOCKET;

// Answers every request on channel 1 with its payload reversed, numbered from 100.
std::vector<RawFrame> ReverseOnChannel1(const RawFrame& request)
{
    if (request.channel != 1)
    {
        return {};
    }
    Bytes reversed(request.payload.rbegin(), request.payload.rend());
    return {RawFrame::Plain(1, 100 + request.sequenceID, reversed)};
}

} // namespace

TEST(NetworkConnection, OpensEitherSlotWithTheClientHello)
{
    for (LNetworkConnection::ConnectionType type : {kControl, kData})
    {
        Linked link(type);
        ASSERT_TRUE(link.accepted) << "type " << type;
        EXPECT_TRUE(link.peer.HelloIsClientCookie()) << "type " << type;
        EXPECT_TRUE(link.connection->IsConnectionActive());
        EXPECT_EQ(!link.connection->GetNetworkSocket(true), type == kData);
        EXPECT_EQ(!link.connection->GetNetworkSocket(false), type == kControl);
        for (std::uint32_t channel = 0; channel < 7; ++channel)
        {
            EXPECT_FALSE(!link.connection->GetSendSocket(static_cast<NetworkChannelNumber>(channel)));
        }
    }
}

TEST(NetworkConnection, ConnectSocketSendsTheHelloItIsGiven)
{
    RawPeer::RawTcpPeer::Options options;
    options.helloSize = 5;
    RawPeer::RawTcpPeer peer(options);
    KT::RCPtr<LNetworkSocket> socket = LNetworkConnection::ConnectSocket(
        kLoopback, peer.Port(), NETWORK_SOCKET_TCP, BufferOf({1, 2, 3, 4, 5}));
    ASSERT_FALSE(!socket);
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(peer.WaitForHello());
    EXPECT_EQ(peer.Hello(), Bytes({1, 2, 3, 4, 5}));

    // A connection built on it sends on it.
    KT::RCPtr<LNetworkConnection> connection =
        LNetworkConnection::Create(socket, KT::RCPtr<LNetworkSocket>(), kData);
    ASSERT_FALSE(!connection);
    EXPECT_EQ(connection->SendMessage(BufferOf({7}), NETWORK_CHANNEL_3), NETWORK_NO_ERROR);
    ASSERT_TRUE(peer.WaitForFrames(1));
    EXPECT_EQ(peer.Frames()[0].payload, Bytes({7}));
}

TEST(NetworkConnection, RefusedPortsAndUnservedTypesGiveNoConnection)
{
    const unsigned short closedPort = TestPorts::GetFreeLoopbackPort();
    ASSERT_NE(closedPort, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(!LNetworkConnection::Create(kLoopback, closedPort, kControl));
    // A refusal ends the connect at once, not after its 2 s time-out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));

    // Dual sockets have tests of their own (NetworkReliableChannelTest.cpp).
    RawPeer::RawTcpPeer peer;
    EXPECT_TRUE(!LNetworkConnection::Create(kLoopback, peer.Port(),
                                            static_cast<LNetworkConnection::ConnectionType>(7)));
}

TEST(NetworkConnection, FramesMessagesWithSequenceIDsCountedPerChannel)
{
    Linked link;
    ASSERT_TRUE(link.accepted);
    LNetworkConnection& connection = *link.connection;
    ASSERT_EQ(connection.SendMessage(KT::ConstRCPtr<KT::LIBuffer>(), NETWORK_CHANNEL_2), NETWORK_NO_ERROR);
    ASSERT_EQ(connection.SendMessage(BufferOf({0xAA}), NETWORK_CHANNEL_0), NETWORK_NO_ERROR);
    ASSERT_EQ(connection.SendMessage(BufferOf({0xB1, 0xB2}), NETWORK_CHANNEL_1), NETWORK_NO_ERROR);
    ASSERT_EQ(connection.SendMessage(BufferOf({}), NETWORK_CHANNEL_0), NETWORK_NO_ERROR);
    const Bytes large = RawPeer::PatternPayload(8141);
    ASSERT_EQ(
        connection.SendMessage(LNetworkConnectionSendBuffer::Create(BufferOf(large)), NETWORK_CHANNEL_2),
        NETWORK_NO_ERROR);
    ASSERT_EQ(connection.SendMessage(BufferOf({0xCC}), NETWORK_CHANNEL_0), NETWORK_NO_ERROR);
    ASSERT_TRUE(link.peer.WaitForFrames(6));

    // An empty message is its 52-byte header alone.
    const Bytes golden = {0x13, 0xe1, 0x5c, 0x78, 0x28, 0x1e, 0xb6, 0x42, 0xb3, 0x3d, 0x69, 0x0f, 0x16,
                          0xe3, 0x5c, 0x7e, 0x34, 0x00, 0x00, 0x00, 0x34, 0x00, 0x00, 0x00, 0x02, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    const std::vector<RawFrame> frames = link.peer.Frames();
    EXPECT_EQ(frames[0].Encode(), golden);
    struct Expected
    {
        std::uint32_t channel;
        std::uint32_t sequenceID;
        Bytes payload;
    };
    const Expected expected[] = {{2, 0, {}}, {0, 0, {0xAA}}, {1, 0, {0xB1, 0xB2}},
                                 {0, 1, {}}, {2, 1, large},  {0, 2, {0xCC}}};
    for (std::size_t i = 0; i < 6; ++i)
    {
        EXPECT_EQ(frames[i].channel, expected[i].channel) << "message " << i;
        EXPECT_EQ(frames[i].sequenceID, expected[i].sequenceID) << "message " << i;
        EXPECT_EQ(frames[i].payload, expected[i].payload) << "message " << i;
        EXPECT_EQ(frames[i].multipartMsgCount, 0u) << "message " << i;
    }
    EXPECT_FALSE(link.peer.Broken());
}

TEST(NetworkConnection, ChannelsAboveSixAreRefusedWithoutSending)
{
    Linked link;
    ASSERT_TRUE(link.accepted);
    const auto seven = static_cast<NetworkChannelNumber>(7);
    EXPECT_EQ(link.connection->SendMessage(BufferOf({1}), seven), -1);
    EXPECT_EQ(link.connection->SendMessage(LNetworkConnectionSendBuffer::Create(1), seven), -1);
    KT::ConstRCPtr<KT::LIBuffer> reply;
    EXPECT_EQ(link.connection->SendMessageWithReply(BufferOf({1}), NETWORK_CHANNEL_1, reply, 7, 1000,
                                                    KT::RCPtr<KT::LEvent>()),
              -1);
    EXPECT_EQ(link.connection->SetCallback(LRecordingCallback::Create(), seven), KT::RESULT_FAILED);
    EXPECT_TRUE(!link.connection->GetSendSocket(seven));
    // Nothing went out: the first frame the peer sees is the next message.
    ASSERT_EQ(link.connection->SendMessage(BufferOf({2}), NETWORK_CHANNEL_0), NETWORK_NO_ERROR);
    ASSERT_TRUE(link.peer.WaitForFrames(1));
    EXPECT_EQ(link.peer.Frames()[0].payload, Bytes({2}));
}

TEST(NetworkConnection, AReplyReachesItsWaiterAndEveryRegistrationOfItsChannel)
{
    Linked link;
    ASSERT_TRUE(link.accepted);
    link.peer.SetResponder(ReverseOnChannel1);
    KT::RCPtr<LRecordingCallback> first = LRecordingCallback::Create();
    KT::RCPtr<LRecordingCallback> second = LRecordingCallback::Create();
    KT::RCPtr<LRecordingCallback> other = LRecordingCallback::Create();
    ASSERT_EQ(link.connection->SetCallback(first, NETWORK_CHANNEL_1), 0);
    ASSERT_EQ(link.connection->SetCallback(second, NETWORK_CHANNEL_1), 0);
    ASSERT_EQ(link.connection->SetCallback(other, NETWORK_CHANNEL_2), 0);

    KT::ConstRCPtr<KT::LIBuffer> reply;
    ASSERT_EQ(link.connection->SendMessageWithReply(BufferOf({1, 2, 3}), NETWORK_CHANNEL_1, reply, 1, 5000,
                                                    KT::RCPtr<KT::LEvent>()),
              NETWORK_NO_ERROR);
    EXPECT_EQ(BytesOf(reply), Bytes({3, 2, 1}));
    for (LRecordingCallback* registration : {first.Get(), second.Get()})
    {
        ASSERT_TRUE(registration->WaitFor(1));
        const Delivery delivery = registration->Deliveries()[0];
        EXPECT_EQ(delivery.payload, Bytes({3, 2, 1}));
        EXPECT_EQ(delivery.sequenceID, 100);
        EXPECT_EQ(delivery.channel, 1u);
    }
    EXPECT_TRUE(other->Deliveries().empty());
    for (LRecordingCallback* registration : {first.Get(), second.Get(), other.Get()})
    {
        EXPECT_EQ(link.connection->RemoveCallback(
                      KT::RCPtr<LNetworkConnectionCallbackInterface>(registration),
                      static_cast<NetworkChannelNumber>(registration == other.Get() ? 2 : 1)),
                  0);
    }
}

TEST(NetworkConnection, NoReplyWithinTheTimeOutGivesANullReply)
{
    Linked link;
    ASSERT_TRUE(link.accepted);
    KT::ConstRCPtr<KT::LIBuffer> reply = BufferOf({9});
    KT::RCPtr<KT::LEvent> event = KT::LEvent::Create(true);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link.connection->SendMessageWithReply(BufferOf({1}), NETWORK_CHANNEL_1, reply, 1, 200, event),
              NETWORK_RECEIVE_TIMEOUT);
    // The wait ends with the caller's time-out (a loose bound, for loaded machines).
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_TRUE(!reply);
    EXPECT_TRUE(link.peer.WaitForFrames(1));
}

TEST(NetworkConnection, ExchangesOfTwoThreadsRunOneAfterTheOther)
{
    Linked link;
    ASSERT_TRUE(link.accepted);
    auto exchange = [&](std::uint8_t tag)
    {
        KT::ConstRCPtr<KT::LIBuffer> reply;
        const NetworkError result = link.connection->SendMessageWithReply(
            BufferOf({tag}), NETWORK_CHANNEL_1, reply, 1, 20000, KT::RCPtr<KT::LEvent>());
        return std::make_pair(result, BytesOf(reply));
    };
    auto first = std::async(std::launch::async, exchange, 0xA);
    ASSERT_TRUE(link.peer.WaitForFrames(1));
    auto second = std::async(std::launch::async, exchange, 0xB);
    // The second request waits for the first exchange to end.
    EXPECT_FALSE(link.peer.WaitForFrames(2, std::chrono::milliseconds(300)));
    ASSERT_TRUE(link.peer.Send(RawFrame::Plain(1, 0, {0xA0})));
    ASSERT_TRUE(link.peer.WaitForFrames(2));
    ASSERT_TRUE(link.peer.Send(RawFrame::Plain(1, 1, {0xB0})));
    EXPECT_EQ(first.get(), std::make_pair(NETWORK_NO_ERROR, Bytes({0xA0})));
    EXPECT_EQ(second.get(), std::make_pair(NETWORK_NO_ERROR, Bytes({0xB0})));
    const std::vector<RawFrame> frames = link.peer.Frames();
    EXPECT_EQ(frames[0].payload, Bytes({0xA}));
    EXPECT_EQ(frames[1].payload, Bytes({0xB}));
}

TEST(NetworkConnection, ResultAndReplyAgreeWhenTheReplyRacesTheTimeOut)
{
    Linked link;
    ASSERT_TRUE(link.accepted);
    link.peer.SetResponder(ReverseOnChannel1);
    int replied = 0;
    for (std::uint8_t i = 0; i < 200; ++i)
    {
        KT::ConstRCPtr<KT::LIBuffer> reply;
        const NetworkError result = link.connection->SendMessageWithReply(
            BufferOf({i}), NETWORK_CHANNEL_1, reply, 1, i % 3, KT::RCPtr<KT::LEvent>());
        if (result == NETWORK_NO_ERROR)
        {
            ++replied;
            // A late answer to an earlier request may be taken for this one;
            // it never comes from the future.
            ASSERT_FALSE(!reply) << "exchange " << int(i);
            ASSERT_EQ(BytesOf(reply).size(), 1u);
            EXPECT_LE(BytesOf(reply)[0], i);
        }
        else
        {
            ASSERT_EQ(result, NETWORK_RECEIVE_TIMEOUT) << "exchange " << int(i);
            ASSERT_TRUE(!reply) << "exchange " << int(i);
        }
    }
    RecordProperty("replied", replied);
}

TEST(NetworkConnection, ARegistrationRunsOneCallAtATimeInOrderWhileOthersRunOn)
{
    Linked link;
    ASSERT_TRUE(link.accepted);
    KT::RCPtr<LRecordingCallback> slow = LRecordingCallback::Create();
    KT::RCPtr<LRecordingCallback> fast = LRecordingCallback::Create();
    std::promise<void> enter;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    slow->SetHook(
        [&enter, released](LRecordingCallback&, const KT::RCPtr<LNetworkConnection>&,
                           const Delivery& delivery)
        {
            if (!delivery.isError && delivery.sequenceID == 0)
            {
                enter.set_value();
                released.wait_for(kBound);
            }
        });
    ASSERT_EQ(link.connection->SetCallback(slow, NETWORK_CHANNEL_0), 0);
    ASSERT_EQ(link.connection->SetCallback(fast, NETWORK_CHANNEL_0), 0);

    constexpr std::int32_t kMessages = 20;
    Bytes stream;
    for (std::int32_t i = 0; i < kMessages; ++i)
    {
        const Bytes frame =
            RawFrame::Plain(0, static_cast<std::uint32_t>(i), RawPeer::PatternPayload(i, i)).Encode();
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    ASSERT_TRUE(link.peer.Send(stream));
    link.peer.CloseCleanly();

    // The fast registration finishes while the slow one is held in its first call.
    ASSERT_EQ(enter.get_future().wait_for(kBound), std::future_status::ready);
    ASSERT_TRUE(fast->WaitFor(kMessages + 1));
    EXPECT_EQ(slow->Deliveries().size(), 1u);
    release.set_value();
    ASSERT_TRUE(slow->WaitFor(kMessages + 1));

    for (LRecordingCallback* registration : {slow.Get(), fast.Get()})
    {
        const std::vector<Delivery> deliveries = registration->Deliveries();
        ASSERT_EQ(deliveries.size(), static_cast<std::size_t>(kMessages + 1));
        for (std::int32_t i = 0; i < kMessages; ++i)
        {
            EXPECT_FALSE(deliveries[i].isError);
            EXPECT_EQ(deliveries[i].sequenceID, i);
            EXPECT_EQ(deliveries[i].payload, RawPeer::PatternPayload(i, i));
        }
        EXPECT_TRUE(deliveries[kMessages].isError);
        EXPECT_EQ(deliveries[kMessages].error, NETWORK_CONNECTION_CLOSED);
        EXPECT_EQ(registration->Overlaps(), 0);
    }
    EXPECT_EQ(link.connection->RemoveCallback(slow, NETWORK_CHANNEL_0), 0);
    EXPECT_EQ(link.connection->RemoveCallback(fast, NETWORK_CHANNEL_0), 0);
}

TEST(NetworkConnection, RemoveCallbackOfATwiceRegisteredInterfaceRemovesTheLaterOne)
{
    Linked link;
    ASSERT_TRUE(link.accepted);
    KT::RCPtr<LRecordingCallback> callback = LRecordingCallback::Create();
    ASSERT_EQ(link.connection->SetCallback(callback, NETWORK_CHANNEL_0), 0);
    ASSERT_TRUE(link.peer.Send(RawFrame::Plain(0, 0, {1})));
    ASSERT_TRUE(callback->WaitFor(1));
    const std::thread::id earlierThread = callback->Deliveries()[0].thread;

    ASSERT_EQ(link.connection->SetCallback(callback, NETWORK_CHANNEL_0), 0);
    EXPECT_EQ(link.connection->RemoveCallback(callback, NETWORK_CHANNEL_1), KT::RESULT_FAILED);
    ASSERT_EQ(link.connection->RemoveCallback(callback, NETWORK_CHANNEL_0), 0);
    // Each registration delivers on its own thread: the earlier one remains.
    ASSERT_TRUE(link.peer.Send(RawFrame::Plain(0, 1, {2})));
    ASSERT_TRUE(link.peer.Send(RawFrame::Plain(0, 2, {3})));
    ASSERT_TRUE(callback->WaitFor(3));
    const std::vector<Delivery> deliveries = callback->Deliveries();
    ASSERT_EQ(deliveries.size(), 3u);
    EXPECT_EQ(deliveries[1].thread, earlierThread);
    EXPECT_EQ(deliveries[2].thread, earlierThread);

    EXPECT_EQ(link.connection->RemoveCallback(callback, NETWORK_CHANNEL_0), 0);
    EXPECT_EQ(link.connection->RemoveCallback(callback, NETWORK_CHANNEL_0), KT::RESULT_FAILED);
    EXPECT_EQ(
        link.connection->SetCallback(KT::RCPtr<LNetworkConnectionCallbackInterface>(), NETWORK_CHANNEL_0),
        KT::RESULT_FAILED);
}

TEST(NetworkConnection, AfterCloseNothingIsSentOrRegisteredAndTheReceiversEnd)
{
    Linked link;
    ASSERT_TRUE(link.accepted);
    KT::RCPtr<LRecordingCallback> callback = LRecordingCallback::Create();
    ASSERT_EQ(link.connection->SetCallback(callback, NETWORK_CHANNEL_0), 0);
    // A delivery shows the receiver at work in its loop.
    ASSERT_TRUE(link.peer.Send(RawFrame::Plain(0, 0, {})));
    ASSERT_TRUE(callback->WaitFor(1));
    link.connection->CloseConnection();

    EXPECT_FALSE(link.connection->IsConnectionActive());
    EXPECT_EQ(link.connection->SendMessage(BufferOf({1}), NETWORK_CHANNEL_0), -1);
    EXPECT_EQ(link.connection->SendMessage(LNetworkConnectionSendBuffer::Create(1), NETWORK_CHANNEL_0), -1);
    KT::ConstRCPtr<KT::LIBuffer> reply;
    EXPECT_EQ(link.connection->SendMessageWithReply(BufferOf({1}), NETWORK_CHANNEL_1, reply, 1, 1000,
                                                    KT::RCPtr<KT::LEvent>()),
              -1);
    EXPECT_EQ(link.connection->SetCallback(LRecordingCallback::Create(), NETWORK_CHANNEL_0),
              KT::RESULT_FAILED);
    // The receivers let the socket go at their next poll (every 500 ms), which
    // closes it.
    EXPECT_TRUE(link.peer.WaitForClientClose(std::chrono::milliseconds(1500)));
    // A read error that follows a close is not reported.
    EXPECT_EQ(callback->Deliveries().size(), 1u);
    EXPECT_EQ(link.connection->RemoveCallback(callback, NETWORK_CHANNEL_0), 0);
}

TEST(NetworkConnection, APeerThatGoesReportsToEveryRegistrationAndTheConnectionStaysActive)
{
    struct Case
    {
        const char* name;
        bool abrupt;
        NetworkError expected;
    };
    for (const Case& c :
         {Case{"clean close", false, NETWORK_CONNECTION_CLOSED}, Case{"reset", true, NETWORK_RECEIVE_FAILED}})
    {
        Linked link;
        ASSERT_TRUE(link.accepted) << c.name;
        std::vector<KT::RCPtr<LRecordingCallback>> registrations;
        for (std::uint32_t channel : {0u, 1u, 1u, 4u})
        {
            registrations.push_back(LRecordingCallback::Create());
            ASSERT_EQ(link.connection->SetCallback(registrations.back(),
                                                   static_cast<NetworkChannelNumber>(channel)),
                      0);
        }
        if (c.abrupt)
        {
            link.peer.CloseAbruptly();
        }
        else
        {
            link.peer.CloseCleanly();
        }
        for (const KT::RCPtr<LRecordingCallback>& registration : registrations)
        {
            ASSERT_TRUE(registration->WaitFor(1)) << c.name;
            const std::vector<Delivery> deliveries = registration->Deliveries();
            ASSERT_EQ(deliveries.size(), 1u) << c.name;
            EXPECT_TRUE(deliveries[0].isError) << c.name;
            EXPECT_EQ(deliveries[0].error, c.expected) << c.name;
        }
        EXPECT_TRUE(link.connection->IsConnectionActive()) << c.name;
        std::uint32_t index = 0;
        for (std::uint32_t channel : {0u, 1u, 1u, 4u})
        {
            EXPECT_EQ(link.connection->RemoveCallback(registrations[index++],
                                                      static_cast<NetworkChannelNumber>(channel)),
                      0);
        }
    }
}

TEST(NetworkConnection, CountsIdlePollsAndRestartsOnAByte)
{
    Linked link;
    ASSERT_TRUE(link.accepted);
    KT::RCPtr<LRecordingCallback> callback = LRecordingCallback::Create();
    ASSERT_EQ(link.connection->SetCallback(callback, NETWORK_CHANNEL_0), 0);
    ASSERT_TRUE(Eventually([&] { return link.connection->GetMillisecondsSinceLastReceive() >= 1000; }));
    EXPECT_EQ(link.connection->GetMillisecondsSinceLastReceive() % 500, 0u);

    const std::uint64_t before = link.connection->GetMillisecondsSinceLastReceive();
    ASSERT_TRUE(link.peer.Send(Bytes{0x00}));
    ASSERT_TRUE(Eventually([&] { return link.connection->GetMillisecondsSinceLastReceive() < before; }));
    link.connection->ClearMillisecondsSinceLastReceive();
    EXPECT_LT(link.connection->GetMillisecondsSinceLastReceive(), 1000u);
    EXPECT_EQ(link.connection->RemoveCallback(callback, NETWORK_CHANNEL_0), 0);
}

TEST(NetworkConnection, NamesDeliveryJobsByCountConnectionAndChannel)
{
    const std::uint32_t start = Job::smCount.load();
    // Connections without sockets only take an ID. In a fresh process the
    // linked one below becomes connection 3.
    KT::RCPtr<LNetworkConnection> unused =
        LNetworkConnection::Create(KT::RCPtr<LNetworkSocket>(), KT::RCPtr<LNetworkSocket>(), kControl);
    const bool fresh = unused->GetID() == 1;
    while (unused->GetID() < 2)
    {
        unused =
            LNetworkConnection::Create(KT::RCPtr<LNetworkSocket>(), KT::RCPtr<LNetworkSocket>(), kControl);
    }
    Linked link;
    ASSERT_TRUE(link.accepted);
    if (fresh)
    {
        EXPECT_EQ(link.connection->GetID(), 3u);
    }

    KT::RCPtr<LRecordingCallback> callback = LRecordingCallback::Create();
    ASSERT_EQ(link.connection->SetCallback(callback, NETWORK_CHANNEL_1), 0);
    for (std::uint32_t i = 0; i < 6; ++i)
    {
        ASSERT_TRUE(link.peer.Send(RawFrame::Plain(1, i, {})));
    }
    ASSERT_TRUE(callback->WaitFor(6));
    EXPECT_EQ(Job::smCount.load() - start, 6u);

    KT::RCPtr<Job> seventh = Job::Create(link.connection, callback, 1);
    const KT::StringT<char, unsigned short> expected = KT::StringT<char, unsigned short>::Format(
        "LCallBackThreadWorker #%u for NetworkConnection %u, channel 1", start + 7, link.connection->GetID());
    EXPECT_STREQ(seventh->ToString().CStr(), expected.CStr());
    EXPECT_EQ(link.connection->RemoveCallback(callback, NETWORK_CHANNEL_1), 0);
}

TEST(NetworkConnection, ASendCutShortShutsTheStreamDown)
{
    RawPeer::RawTcpPeer::Options options;
    options.receiveBufferBytes = 4096;
    Linked link(kControl, options);
    ASSERT_TRUE(link.accepted);
    KT::RCPtr<LRecordingCallback> callback = LRecordingCallback::Create();
    ASSERT_EQ(link.connection->SetCallback(callback, NETWORK_CHANNEL_0), 0);
    link.peer.StopReading();

    // Far more than the two sockets' buffers hold: part goes out, then the
    // send gives up.
    const KT::RCPtr<KT::LIBuffer> large = BufferOf(RawPeer::PatternPayload(16 * 1024 * 1024 - 1));
    EXPECT_EQ(link.connection->SendMessage(large, NETWORK_CHANNEL_2), NETWORK_SEND_FAILED);
    EXPECT_EQ(link.connection->SendMessage(BufferOf({1}), NETWORK_CHANNEL_2), NETWORK_SEND_FAILED);
    ASSERT_TRUE(callback->WaitFor(1));
    EXPECT_EQ(callback->Deliveries()[0].error, NETWORK_CONNECTION_CLOSED);

    link.peer.ResumeReading();
    EXPECT_TRUE(link.peer.WaitForClientClose());
    EXPECT_EQ(link.connection->RemoveCallback(callback, NETWORK_CHANNEL_0), 0);
}

// When the system picks the target port itself as the local one, a connect to
// a local port where nothing listens would meet itself: TCP completes a
// simultaneous open, and the UDP hello comes back from the socket itself. The
// test runs on a thread in a network namespace of its own, with lo up, whose
// ephemeral range it narrows to that port: nothing else sees the change, and
// it ends with the thread.
TEST(NetworkConnection, NeverConnectsToItsOwnAddressAndPort)
{
    std::thread(
        [&]
        {
            ifreq lo{};
            std::strcpy(lo.ifr_name, "lo");
            const int control =
                unshare(CLONE_NEWNET) == 0 ? socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1;
            const bool entered = control >= 0 && ioctl(control, SIOCGIFFLAGS, &lo) == 0 &&
                                 (lo.ifr_flags |= IFF_UP, ioctl(control, SIOCSIFFLAGS, &lo) == 0);
            if (control >= 0)
            {
                close(control);
            }
            if (!entered)
            {
                GTEST_SKIP() << "no network namespace of its own";
            }
            RawPeer::RawTcpPeer server;
            const unsigned short port = TestPorts::GetFreeLoopbackPort();
            ASSERT_TRUE(!!(std::ofstream("/proc/sys/net/ipv4/ip_local_port_range")
                           << port << ' ' << port << std::flush));
            EXPECT_TRUE(!LNetworkConnection::Create(kLoopback, port, kData));
            EXPECT_TRUE(!LNetworkConnection::ConnectSocket(kLoopback, port, NETWORK_SOCKET_UDP, {}));
            KT::RCPtr<LNetworkSocket> socket = LNetworkSocket::Create(NETWORK_SOCKET_TCP);
            EXPECT_EQ(NETWORK_CONNECTION_FAILED,
                      socket->Connect(kLoopback, port, false, LNetworkSocket::kConnectTimeoutMicroseconds));
            // The port is free for its server while the socket is still held.
            const int listener = TestPorts::RawBoundSocket(SOCK_STREAM, port);
            EXPECT_GE(listener, 0);
            close(listener);

            // From that one port, a server on another port is reached.
            KT::RCPtr<LNetworkConnection> connection =
                LNetworkConnection::Create(kLoopback, server.Port(), kData);
            ASSERT_FALSE(!connection);
            EXPECT_TRUE(server.Accept());
            unsigned int address = 0;
            unsigned short localPort = 0;
            connection->GetNetworkSocket(false)->GetSockName(address, localPort);
            EXPECT_EQ(port, localPort);
        })
        .join();
}
