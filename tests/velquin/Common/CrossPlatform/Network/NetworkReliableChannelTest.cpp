// Connections over a UDP data socket against a raw UDP peer, byte for byte:
// the UDP hello, datagrams framed alone, acknowledgements, resend requests,
// resends, coalesced chunks and parts of the reliable channels; and dual-socket
// connections against the manager and a raw TCP peer.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "ConnectionTestSupport.h"
#include "Platform/ByteOrder.h"
#include "Platform/FakeMonotonicClock.h"
#include "support/RawUdpPeer.h"
#include "support/TestPorts.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnectionManager.h"
#include "velquin/Common/CrossPlatform/Network/NetworkTimeouts.h"

namespace
{

using ConnectionTest::BufferOf;
using ConnectionTest::Bytes;
using ConnectionTest::Eventually;
using ConnectionTest::kLoopback;
using ConnectionTest::LRecordingCallback;
using RawPeer::kBound;
using RawPeer::RawFrame;
using RawPeer::RawUdpPeer;
using namespace std::chrono_literals;

constexpr LNetworkConnection::ConnectionType kData = LNetworkConnection::CONNECTION_DATA_SOCKET;

Bytes ClientCookie()
{
    return Bytes(RawPeer::kClientCookie.begin(), RawPeer::kClientCookie.end());
}

// A frame as a reliable sender writes it: a whole message has part count 1.
RawFrame Reliable(std::uint32_t channel, std::uint32_t sequenceID, Bytes payload, std::uint32_t older = 0)
{
    RawFrame frame = RawFrame::Plain(channel, sequenceID, std::move(payload));
    frame.previousSequenceMsgCount = older;
    frame.multipartMsgCount = 1;
    return frame;
}

std::vector<RawUdpPeer::Datagram> CopiesIn(const std::vector<RawUdpPeer::Datagram>& datagrams,
                                           std::uint32_t channel, std::uint32_t sequenceID)
{
    std::vector<RawUdpPeer::Datagram> copies;
    for (const RawUdpPeer::Datagram& datagram : datagrams)
    {
        if (datagram.isFrame && datagram.frame.channel == channel && datagram.frame.sequenceID == sequenceID)
        {
            copies.push_back(datagram);
        }
    }
    return copies;
}

// The library's side connected to a raw UDP peer through the UDP hello, with
// a recorder on channels 0 to 3.
struct UdpLinked
{
    UdpLinked()
    {
        std::future<bool> answered = std::async(std::launch::async, [this] { return peer.AnswerHello(); });
        socket = LNetworkConnection::ConnectSocket(kLoopback, peer.Port(), NETWORK_SOCKET_UDP,
                                                   KT::RCPtr<KT::LIBuffer>());
        linked = answered.get() && socket.GetRaw() != nullptr;
        if (linked)
        {
            connection = LNetworkConnection::Create(socket, KT::RCPtr<LNetworkSocket>(), kData);
            for (std::uint32_t channel = 0; channel <= 3; ++channel)
            {
                linked = linked && connection->SetCallback(Interface(),
                                                           static_cast<NetworkChannelNumber>(channel)) == 0;
            }
        }
    }
    ~UdpLinked()
    {
        if (connection.GetRaw() != nullptr)
        {
            for (std::uint32_t channel = 0; channel <= 3; ++channel)
            {
                static_cast<void>(
                    connection->RemoveCallback(Interface(), static_cast<NetworkChannelNumber>(channel)));
            }
            connection->CloseConnection();
        }
    }
    KT::RCPtr<LNetworkConnectionCallbackInterface> Interface()
    {
        return KT::RCPtr<LNetworkConnectionCallbackInterface>(recorder.Get());
    }
    // The datagrams of the channel whose sequence ID is sequenceID.
    std::vector<RawUdpPeer::Datagram> Copies(std::uint32_t channel, std::uint32_t sequenceID)
    {
        return CopiesIn(peer.Datagrams(), channel, sequenceID);
    }

    RawUdpPeer peer;
    KT::RCPtr<LRecordingCallback> recorder = LRecordingCallback::Create();
    KT::RCPtr<LNetworkSocket> socket;
    KT::RCPtr<LNetworkConnection> connection;
    bool linked = false;
};

TEST(NetworkUdpConnection, ConnectSocketTakesOnlyTheExactCookieAsAnswer)
{
    // Answers that are not the cookie fail at once; none fails after the
    // hello time-out, here shortened.
    NetworkTimeouts::ScopedOverride shortAnswer(NetworkTimeoutList::HELLO_ANSWER, 200);
    const Bytes cookie = ClientCookie();
    Bytes wrong = cookie;
    wrong[0] ^= 1;
    Bytes longer = cookie;
    longer.push_back(0);
    const struct
    {
        const char* name;
        bool answer;
        Bytes bytes;
        bool connects;
    } cases[] = {
        {"the cookie", true, ClientCookie(), true},
        {"a wrong byte", true, wrong, false},
        {"fifteen bytes", true, Bytes(cookie.begin(), cookie.begin() + 15), false},
        {"seventeen bytes", true, longer, false},
        {"no answer", false, Bytes(), false},
    };
    for (const auto& c : cases)
    {
        RawUdpPeer peer;
        std::future<bool> answered =
            std::async(std::launch::async, [&] { return c.answer ? peer.AnswerHello(c.bytes) : false; });
        KT::RCPtr<LNetworkSocket> socket = LNetworkConnection::ConnectSocket(
            kLoopback, peer.Port(), NETWORK_SOCKET_UDP, KT::RCPtr<KT::LIBuffer>());
        answered.get();
        EXPECT_EQ(socket.GetRaw() != nullptr, c.connects) << c.name;
        if (socket.GetRaw() != nullptr)
        {
            EXPECT_TRUE(socket->IsConnected()) << c.name;
            EXPECT_EQ(socket->GetPort(), peer.Port()) << c.name;
        }
    }
}

TEST(NetworkUdpConnection, ASocketMeasuresADatagramAndTellsWhenItCutOne)
{
    RawUdpPeer peer;
    KT::RCPtr<LNetworkSocket> socket = LNetworkSocket::Create(NETWORK_SOCKET_UDP);
    ASSERT_EQ(socket->Connect(kLoopback, peer.Port(), true, 0), NETWORK_NO_ERROR);
    unsigned int address = 0;
    unsigned short port = 0;
    socket->GetSockName(address, port);
    ASSERT_TRUE(peer.ConnectTo(port));
    ASSERT_TRUE(peer.Send(RawPeer::PatternPayload(100)));
    ASSERT_TRUE(peer.Send(Bytes({1, 2, 3})));
    ASSERT_TRUE(socket->ReceiveHasBytesReady(1000000));

    unsigned int size = 0;
    ASSERT_EQ(socket->PeekDatagramSize(size), NETWORK_NO_ERROR);
    EXPECT_EQ(size, 100u);
    // Taken cut: the rest of it is gone, and the next datagram is whole.
    std::uint8_t buffer[10] = {};
    unsigned int received = 0;
    ASSERT_EQ(socket->ReceiveDatagram(buffer, sizeof(buffer), received, size, false), NETWORK_NO_ERROR);
    EXPECT_EQ(received, 10u);
    EXPECT_EQ(size, 100u);
    ASSERT_TRUE(socket->ReceiveHasBytesReady(1000000));
    ASSERT_EQ(socket->ReceiveDatagram(buffer, sizeof(buffer), received, size, false), NETWORK_NO_ERROR);
    EXPECT_EQ(Bytes(buffer, buffer + received), Bytes({1, 2, 3}));
    EXPECT_EQ(size, 3u);
    // Nothing queued.
    EXPECT_EQ(socket->PeekDatagramSize(size), NETWORK_NO_ERROR);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(socket->ReceiveDatagram(buffer, sizeof(buffer), received, size, false), NETWORK_NO_ERROR);
    EXPECT_EQ(received, 0u);
}

TEST(NetworkUdpConnection, EachDatagramIsFramedAlone)
{
    UdpLinked link;
    ASSERT_TRUE(link.linked);
    // A datagram holding a cut message, then one whose bytes would complete
    // it: the first is dropped, the second read as a message of its own.
    const Bytes whole = RawFrame::Plain(3, 0, Bytes(40, 0xAA)).Encode();
    ASSERT_TRUE(link.peer.Send(Bytes(whole.begin(), whole.begin() + 70)));
    ASSERT_TRUE(link.peer.Send(RawFrame::Plain(3, 1, {1, 2}).Encode()));
    // Two messages in one datagram, garbage before the first; then a message
    // larger than a packet on an ordinary channel.
    Bytes two = {0xEE, 0xEE, 0xEE};
    for (std::uint32_t sequence : {2u, 3u})
    {
        const Bytes frame = RawFrame::Plain(3, sequence, {static_cast<std::uint8_t>(sequence)}).Encode();
        two.insert(two.end(), frame.begin(), frame.end());
    }
    ASSERT_TRUE(link.peer.Send(two));
    ASSERT_TRUE(link.peer.Send(RawFrame::Plain(3, 4, RawPeer::PatternPayload(20000)).Encode()));

    ASSERT_TRUE(link.recorder->WaitFor(4));
    const std::vector<ConnectionTest::Delivery> deliveries = link.recorder->Deliveries();
    ASSERT_EQ(deliveries.size(), 4u);
    EXPECT_EQ(deliveries[0].payload, Bytes({1, 2}));
    EXPECT_EQ(deliveries[1].payload, Bytes({2}));
    EXPECT_EQ(deliveries[2].payload, Bytes({3}));
    EXPECT_EQ(deliveries[3].payload, RawPeer::PatternPayload(20000));

    // An ordinary channel over UDP sends each message as one datagram.
    ASSERT_EQ(link.connection->SendMessage(BufferOf(RawPeer::PatternPayload(9000)), NETWORK_CHANNEL_3),
              NETWORK_NO_ERROR);
    ASSERT_TRUE(link.peer.WaitForFrames(3, 1));
    EXPECT_EQ(link.peer.FramesOf(3)[0].frame.payload, RawPeer::PatternPayload(9000));
}

TEST(NetworkUdpConnection, AcknowledgesEachPacketDropsDuplicatesAndAsksForWhatAGapLost)
{
    UdpLinked link;
    ASSERT_TRUE(link.linked);
    for (std::uint32_t sequence = 0; sequence <= 4; ++sequence)
    {
        ASSERT_TRUE(link.peer.Send(Reliable(1, sequence, {static_cast<std::uint8_t>(sequence)})));
        ASSERT_TRUE(link.peer.WaitForFrames(5, sequence + 1)) << sequence;
    }
    const std::vector<RawUdpPeer::Datagram> acks = link.peer.FramesOf(5);
    for (std::uint32_t sequence = 0; sequence <= 4; ++sequence)
    {
        // 60 bytes: channel 5, sequence ID 0, about channel 1 up to sequence.
        EXPECT_EQ(acks[sequence].bytes, Bytes({0x13, 0xe1, 0x5c,
                                               0x78, 0x28, 0x1e,
                                               0xb6, 0x42, 0xb3,
                                               0x3d, 0x69, 0x0f,
                                               0x16, 0xe3, 0x5c,
                                               0x7e, 0x3c, 0,
                                               0,    0,    0x34,
                                               0,    0,    0,
                                               2,    0,    0,
                                               0,    0,    0,
                                               0,    0,    5,
                                               0,    0,    0,
                                               0,    0,    0,
                                               0,    0,    0,
                                               0,    0,    0,
                                               0,    0,    0,
                                               0,    0,    0,
                                               0,    1,    0,
                                               0,    0,    static_cast<std::uint8_t>(sequence),
                                               0,    0,    0}))
            << sequence;
    }

    // Sequence 4 again: its sender missed the acknowledgement, which comes
    // again; the message is not delivered twice.
    ASSERT_TRUE(link.peer.Send(Reliable(1, 4, {4})));
    ASSERT_TRUE(link.peer.WaitForFrames(5, 6));
    EXPECT_EQ(link.peer.FramesOf(5)[5].frame.payload, Bytes({1, 0, 0, 0, 4, 0, 0, 0}));

    // 7 carrying 6 and 5 is taken whole; 9 after the gap at 8 is dropped and
    // 8 is asked for.
    ASSERT_TRUE(link.peer.Send(Reliable(1, 7, {7, 6, 5}, 2)));
    ASSERT_TRUE(link.peer.WaitForFrames(5, 7));
    EXPECT_EQ(link.peer.FramesOf(5)[6].frame.payload, Bytes({1, 0, 0, 0, 7, 0, 0, 0}));
    ASSERT_TRUE(link.peer.Send(Reliable(1, 9, {9})));
    ASSERT_TRUE(link.peer.WaitForFrames(6, 1));
    EXPECT_EQ(link.peer.FramesOf(6)[0].bytes, RawPeer::ControlFrame(6, 1, 8).Encode());

    ASSERT_TRUE(link.recorder->WaitFor(6));
    std::this_thread::sleep_for(50ms);
    const std::vector<ConnectionTest::Delivery> deliveries = link.recorder->Deliveries();
    ASSERT_EQ(deliveries.size(), 6u);
    EXPECT_EQ(deliveries[5].sequenceID, 7);
    EXPECT_EQ(deliveries[5].count, 2);
    EXPECT_EQ(deliveries[5].payload, Bytes({7, 6, 5}));

    // Control packets too short, naming no channel, or about a channel that
    // is not reliable change nothing.
    ASSERT_EQ(link.connection->SendMessage(BufferOf({1}), NETWORK_CHANNEL_0), NETWORK_NO_ERROR);
    RawFrame shortAck = RawPeer::ControlFrame(5, 0, 0);
    shortAck.payload.resize(4);
    for (const RawFrame& frame : {shortAck, RawPeer::ControlFrame(5, 9, 0), RawPeer::ControlFrame(5, 2, 0)})
    {
        ASSERT_TRUE(link.peer.Send(frame));
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(link.connection->GetPreviousSequenceMsgCount(NETWORK_CHANNEL_0), 1u);
    ASSERT_TRUE(link.peer.SendAcknowledgement(0, 0));
    EXPECT_TRUE(
        Eventually([&] { return link.connection->GetPreviousSequenceMsgCount(NETWORK_CHANNEL_0) == 0; }));
}

// A datagram receiver at the backlog's bound drops a reliable message unread
// by its channel, so that its sender resends it, reads it into no new buffer,
// and still takes control packets; once the backlog drains, the resend is
// delivered once, in order.
TEST(NetworkUdpConnection, AtTheBoundAReliableMessageIsDroppedWithoutGrowingAndDeliveredOnceWhenResent)
{
    UdpLinked link;
    ASSERT_TRUE(link.linked);
    std::mutex gateLock;
    std::condition_variable gateChanged;
    bool open = false;
    link.recorder->SetHook(
        [&](LRecordingCallback&, const KT::RCPtr<LNetworkConnection>&, const ConnectionTest::Delivery&)
        {
            std::unique_lock<std::mutex> guard(gateLock);
            // Long enough for a slow (sanitized) build to fill the backlog.
            static_cast<void>(gateChanged.wait_for(guard, std::chrono::minutes(2), [&] { return open; }));
        });
    const NetworkReceiveBacklog& backlog = link.connection->GetReceiveBacklog();
    const Bytes payload(NetworkReceiveBacklog::kCompactMostBytes, 9);
    // Whether the peer has been told that channel 0 arrived up to sequence.
    const auto acknowledged = [](std::uint32_t sequence)
    {
        return [sequence](const std::vector<RawUdpPeer::Datagram>& datagrams)
        {
            for (auto it = datagrams.rbegin(); it != datagrams.rend(); ++it)
            {
                const Bytes& about = it->frame.payload;
                if (it->isFrame && it->frame.channel == 5 && about.size() == 8 && about[0] == 0 &&
                    KT::ReadLE32(about.data() + 4) >= sequence)
                {
                    return true;
                }
            }
            return false;
        };
    };
    // In small windows, so that no datagram overflows the socket's buffer,
    // until the backlog is at its bound.
    constexpr std::uint32_t kWindow = 16;
    const std::uint32_t most = 2 * NetworkReceiveBacklog::kMostBytes / payload.size();
    std::uint32_t sequence = 0;
    while (backlog.HasRoom(0, 0) && sequence < most)
    {
        for (std::uint32_t i = 0; i < kWindow; ++i, ++sequence)
        {
            ASSERT_TRUE(link.peer.Send(Reliable(0, sequence, payload)));
        }
        ASSERT_TRUE(Eventually(
            [&] { return !backlog.HasRoom(0, 0) || acknowledged(sequence - 1)(link.peer.Datagrams()); }))
            << sequence;
    }
    ASSERT_FALSE(backlog.HasRoom(0, 0)) << sequence << " messages sent";
    // Nothing has been delivered: the backlog holds every message accepted,
    // and any later one of the last window was dropped. From here on the
    // next is dropped every time it comes. A control packet behind it is
    // taken: the acknowledgement of what the connection sent on channel 1.
    const auto dropped = static_cast<std::uint32_t>(backlog.GetMessages());
    ASSERT_TRUE(link.peer.WaitFor(acknowledged(dropped - 1)));
    ASSERT_EQ(link.connection->SendMessage(BufferOf({1}), NETWORK_CHANNEL_1), NETWORK_NO_ERROR);
    ASSERT_TRUE(link.peer.Send(Reliable(0, dropped, payload)));
    ASSERT_TRUE(link.peer.SendAcknowledgement(1, 0));
    ASSERT_TRUE(
        Eventually([&] { return link.connection->GetPreviousSequenceMsgCount(NETWORK_CHANNEL_1) == 0; }));
    EXPECT_FALSE(acknowledged(dropped)(link.peer.Datagrams()));
    // The message that reached the bound may pass it.
    EXPECT_LE(backlog.GetBytes(),
              NetworkReceiveBacklog::kMostBytes + payload.size() + NetworkReceiveBacklog::kHeldOverheadBytes);
    // Only the messages held in their receive blocks before a backlog built,
    // and those of one hand-over, keep a buffer beyond the pool's start.
    EXPECT_LE(link.connection->GetReceiveBufferCount(), LNetworkConnection::kDataReceiveBuffers +
                                                            NetworkReceiveBacklog::kCompactAfterMessages +
                                                            NetworkConnectionReceiver::kMostHandedOver);

    {
        std::lock_guard<std::mutex> guard(gateLock);
        open = true;
        gateChanged.notify_all();
    }
    ASSERT_TRUE(link.recorder->WaitFor(dropped));
    // The sender's resend, twice: delivered once.
    ASSERT_TRUE(link.peer.Send(Reliable(0, dropped, payload)));
    ASSERT_TRUE(link.peer.WaitFor(acknowledged(dropped)));
    ASSERT_TRUE(link.peer.Send(Reliable(0, dropped, payload)));
    ASSERT_TRUE(link.peer.Send(Reliable(0, dropped + 1, {1})));
    ASSERT_TRUE(link.recorder->WaitFor(dropped + 2));
    const std::vector<ConnectionTest::Delivery> deliveries = link.recorder->Deliveries();
    ASSERT_EQ(deliveries.size(), dropped + 2u);
    for (std::uint32_t i = 0; i < deliveries.size(); ++i)
    {
        ASSERT_EQ(deliveries[i].sequenceID, static_cast<std::int32_t>(i));
    }
    EXPECT_EQ(deliveries[dropped].payload, payload);
}

TEST(NetworkUdpConnection, AReassembledMessageSurvivesADuplicatePart)
{
    UdpLinked link;
    ASSERT_TRUE(link.linked);
    for (std::uint32_t index : {0u, 1u, 1u, 2u})
    {
        RawFrame part = Reliable(0, index, {static_cast<std::uint8_t>(10 + index)});
        part.multipartMsgCount = 3;
        part.multipartMsgIndex = index;
        ASSERT_TRUE(link.peer.Send(part));
    }
    ASSERT_TRUE(link.recorder->WaitFor(1));
    std::this_thread::sleep_for(50ms);
    const std::vector<ConnectionTest::Delivery> deliveries = link.recorder->Deliveries();
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].payload, Bytes({10, 11, 12}));
    EXPECT_EQ(deliveries[0].sequenceID, 2);
    EXPECT_EQ(deliveries[0].count, -2);
}

TEST(NetworkUdpConnection, ResendsWhatStaysUnacknowledgedAndAnswersResendRequestsAtOnce)
{
    UdpLinked link;
    ASSERT_TRUE(link.linked);
    // The peer's packet makes the worker run with nothing pending, so the
    // message below starts its 300 ms from about now.
    ASSERT_TRUE(link.peer.Send(Reliable(1, 0, {1})));
    ASSERT_TRUE(link.peer.WaitForFrames(5, 1));
    ASSERT_EQ(link.connection->SendMessage(BufferOf({42}), NETWORK_CHANNEL_1), NETWORK_NO_ERROR);
    ASSERT_TRUE(
        link.peer.WaitFor([&](const auto& datagrams) { return CopiesIn(datagrams, 1, 0).size() >= 3; }));
    const std::vector<RawUdpPeer::Datagram> copies = link.Copies(1, 0);
    EXPECT_GE(copies[1].at - copies[0].at, 290ms);
    EXPECT_EQ(copies[1].bytes, copies[0].bytes);
    EXPECT_EQ(copies[0].frame.payload, Bytes({42}));

    // Acknowledged, it is no longer resent.
    ASSERT_TRUE(link.peer.SendAcknowledgement(1, 0));
    ASSERT_TRUE(
        Eventually([&] { return link.connection->GetPreviousSequenceMsgCount(NETWORK_CHANNEL_1) == 0; }));
    const std::size_t settled = link.Copies(1, 0).size();
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(link.Copies(1, 0).size(), settled);

    // A resend request is answered before any time-out could resend.
    ASSERT_EQ(link.connection->SendMessage(BufferOf({43}), NETWORK_CHANNEL_1), NETWORK_NO_ERROR);
    ASSERT_TRUE(
        link.peer.WaitFor([&](const auto& datagrams) { return CopiesIn(datagrams, 1, 1).size() == 1; }));
    const auto requested = std::chrono::steady_clock::now();
    ASSERT_TRUE(link.peer.SendResendRequest(1, 1));
    ASSERT_TRUE(
        link.peer.WaitFor([&](const auto& datagrams) { return CopiesIn(datagrams, 1, 1).size() >= 2; }));
    EXPECT_LT(link.Copies(1, 1)[1].at - requested, 250ms);
}

// However fast a peer asks, resend requests are answered no more often than
// the resend rhythm; those that come inside it are answered as it ends. The
// clock moves only when the test moves it.
TEST(NetworkUdpConnection, AnswersResendRequestsNoMoreOftenThanTheResendRhythm)
{
    KT::Platform::FakeMonotonicClock clock(1000000000000ull);
    KT::Platform::ScopedMonotonicClock useClock(clock);
    UdpLinked link;
    ASSERT_TRUE(link.linked);
    ASSERT_EQ(link.connection->SendMessage(BufferOf({42}), NETWORK_CHANNEL_1), NETWORK_NO_ERROR);
    for (std::uint32_t i = 0; i < 20; ++i)
    {
        // A request, then a message of the peer's: once that is acknowledged,
        // the worker has taken the request, and any answer has gone before.
        ASSERT_TRUE(link.peer.SendResendRequest(1, i + 1) && link.peer.Send(Reliable(1, i, {1})) &&
                    link.peer.WaitForFrames(5, i + 1))
            << i;
    }
    // The message and one answer; the requests since are answered once, as
    // the rhythm ends.
    EXPECT_EQ(link.Copies(1, 0).size(), 2u);
    clock.AdvanceMilliseconds(NetworkReliableChannel::kResendRhythmMilliseconds);
    ASSERT_TRUE(
        link.peer.WaitFor([&](const auto& datagrams) { return CopiesIn(datagrams, 1, 0).size() == 3; }));
}

TEST(NetworkUdpConnection, AMultipartMessageGrowsItsBlockOnceWhateverItsPartCount)
{
    UdpLinked link;
    ASSERT_TRUE(link.linked);
    constexpr std::uint32_t kParts = 40;
    constexpr std::size_t kPart = 1000;
    const Bytes whole = RawPeer::PatternPayload(kParts * kPart);
    const std::uint64_t growths = LNetworkConnectionSendBuffer::GetGrowthCount();
    for (std::uint32_t i = 0; i < kParts; ++i)
    {
        RawFrame part = Reliable(0, i, Bytes(whole.begin() + i * kPart, whole.begin() + (i + 1) * kPart));
        part.multipartMsgCount = kParts;
        part.multipartMsgIndex = i;
        ASSERT_TRUE(link.peer.Send(part));
    }
    ASSERT_TRUE(link.recorder->WaitFor(1));
    EXPECT_EQ(link.recorder->Deliveries()[0].payload, whole);
    EXPECT_LE(LNetworkConnectionSendBuffer::GetGrowthCount() - growths, 1u);
}

TEST(NetworkUdpConnection, AnAcknowledgementFreesEverythingUpToIt)
{
    UdpLinked link;
    ASSERT_TRUE(link.linked);
    for (int i = 0; i <= 12; ++i)
    {
        ASSERT_EQ(link.connection->SendMessage(BufferOf({static_cast<std::uint8_t>(i)}), NETWORK_CHANNEL_1),
                  NETWORK_NO_ERROR);
    }
    ASSERT_TRUE(link.peer.SendAcknowledgement(1, 7));
    ASSERT_TRUE(
        Eventually([&] { return link.connection->GetPreviousSequenceMsgCount(NETWORK_CHANNEL_1) == 5; }));

    // 8 to 12 pending: out of range or on no reliable channel nothing goes;
    // 10 frees 8, 9 and 10.
    const struct
    {
        std::uint32_t channel;
        std::int32_t sequenceID;
        int removed;
    } cases[] = {
        {2, 10, KT::RESULT_INVALID_ARGUMENT},
        {9, 10, KT::RESULT_INVALID_ARGUMENT},
        {1, 7, 0},
        {1, 13, 0},
        {1, 10, 3},
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(link.connection->RemoveFromSequenceMsgArray(c.channel, c.sequenceID), c.removed)
            << c.channel << " " << c.sequenceID;
    }
    EXPECT_EQ(link.connection->GetPreviousSequenceMsgCount(NETWORK_CHANNEL_1), 2u);
    EXPECT_EQ(link.connection->GetPreviousSequenceMsgCount(9), 0u);
}

// A peer that never acknowledges: sends go on until the channel's copies
// reach the bound; the next waits, and fails once the limit passes without an
// acknowledgement, having numbered and kept nothing. An acknowledgement makes
// room again. With room waited for a minute: an exchange gives up within its
// own time-out; room is taken in the order it was asked for, so a message
// larger than the bound goes once what was kept before it is acknowledged;
// and a close ends a wait at once.
TEST(NetworkUdpConnection, ASendAtTheBoundWaitsForAcknowledgementsAndFailsWithoutThem)
{
    NetworkTimeouts::ScopedOverride shortWait(NetworkTimeoutList::SEND_ROOM, 200);
    UdpLinked link;
    ASSERT_TRUE(link.linked);
    const Bytes payload(1000, 7);
    const std::size_t perMessage =
        LNetworkConnectionSendBuffer::BlockBytes(payload.size()) + NetworkSendBacklog::kKeptOverheadBytes;
    const NetworkSendBacklog& kept = *link.connection->GetSendBacklog(NETWORK_CHANNEL_1);
    const auto fill = [&]
    {
        while (kept.HasRoom(perMessage))
        {
            ASSERT_EQ(link.connection->SendMessage(BufferOf(payload), NETWORK_CHANNEL_1), NETWORK_NO_ERROR);
        }
    };
    fill();
    const std::uint32_t pending = link.connection->GetPreviousSequenceMsgCount(NETWORK_CHANNEL_1);
    EXPECT_EQ(pending, NetworkSendBacklog::kMostBytes / perMessage);
    EXPECT_LE(kept.GetBytes(), NetworkSendBacklog::kMostBytes);

    EXPECT_EQ(link.connection->SendMessage(BufferOf(payload), NETWORK_CHANNEL_1),
              NETWORK_OBJECT_OUT_OF_MEMORY);
    EXPECT_EQ(link.connection->GetPreviousSequenceMsgCount(NETWORK_CHANNEL_1), pending);
    // Channel 0 has a bound of its own.
    EXPECT_EQ(link.connection->SendMessage(BufferOf(payload), NETWORK_CHANNEL_0), NETWORK_NO_ERROR);

    // Acknowledged, the copies go, and the next message takes the next number.
    ASSERT_TRUE(link.peer.SendAcknowledgement(1, pending - 1));
    ASSERT_TRUE(Eventually([&] { return kept.GetBytes() == 0; }));
    ASSERT_EQ(link.connection->SendMessage(BufferOf({9}), NETWORK_CHANNEL_1), NETWORK_NO_ERROR);
    EXPECT_TRUE(
        link.peer.WaitFor([&](const auto& datagrams) { return !CopiesIn(datagrams, 1, pending).empty(); }));

    NetworkTimeouts::ScopedOverride longWait(NetworkTimeoutList::SEND_ROOM, 60000);
    fill();
    const std::uint32_t last = pending - 1 + link.connection->GetPreviousSequenceMsgCount(NETWORK_CHANNEL_1);
    const auto send = [&](const Bytes& payload)
    {
        return std::async(std::launch::async, [&link, payload]
                          { return link.connection->SendMessage(BufferOf(payload), NETWORK_CHANNEL_1); });
    };
    const auto ready = [](std::future<NetworkError>& send)
    { return send.wait_for(0s) == std::future_status::ready; };
    KT::ConstRCPtr<KT::LIBuffer> reply;
    std::future<NetworkError> exchange = std::async(std::launch::async,
                                                    [&]
                                                    {
                                                        return link.connection->SendMessageWithReply(
                                                            BufferOf(payload), NETWORK_CHANNEL_1, reply,
                                                            NETWORK_CHANNEL_1, 100, KT::RCPtr<KT::LEvent>());
                                                    });
    if (exchange.wait_for(kBound) != std::future_status::ready)
    {
        link.connection->CloseConnection(); // ends a wait that ignored the time-out
        FAIL() << "the exchange waited for room beyond its time-out";
    }
    EXPECT_EQ(exchange.get(), NETWORK_OBJECT_OUT_OF_MEMORY);
    EXPECT_EQ(link.connection->GetPreviousSequenceMsgCount(NETWORK_CHANNEL_1), last + 1 - pending);

    std::future<NetworkError> large = send(RawPeer::PatternPayload(3u * 1024u * 1024u));
    ASSERT_TRUE(Eventually([&] { return kept.GetWaitingCount() == 1; }));
    // Room for a small message, not for the large one: the small one queues
    // behind it instead of taking it, and follows it.
    const std::size_t full = kept.GetBytes();
    ASSERT_TRUE(link.peer.SendAcknowledgement(1, pending + 9));
    ASSERT_TRUE(Eventually([&] { return kept.GetBytes() < full; }));
    std::future<NetworkError> small = send({5});
    ASSERT_TRUE(Eventually([&] { return kept.GetWaitingCount() == 2 || ready(small); }));
    ASSERT_FALSE(ready(small)) << "a later small send overtook the waiting large one";
    ASSERT_TRUE(link.peer.SendAcknowledgement(1, last));
    ASSERT_EQ(large.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(large.get(), NETWORK_NO_ERROR);
    const std::uint32_t parts = link.connection->GetPreviousSequenceMsgCount(NETWORK_CHANNEL_1);
    ASSERT_TRUE(link.peer.SendAcknowledgement(1, last + parts));
    ASSERT_EQ(small.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(small.get(), NETWORK_NO_ERROR);

    fill();
    std::future<NetworkError> waiting =
        std::async(std::launch::async,
                   [&] { return link.connection->SendMessage(BufferOf(payload), NETWORK_CHANNEL_1); });
    ASSERT_TRUE(Eventually([&] { return kept.GetWaitingCount() == 1; }));
    link.connection->CloseConnection();
    ASSERT_EQ(waiting.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(waiting.get(), NETWORK_CONNECTION_CLOSED);
}

TEST(NetworkUdpConnection, CoalescesSmallMessagesNewestFirstAndSplitsLargeOnes)
{
    UdpLinked link;
    ASSERT_TRUE(link.linked);
    for (std::uint8_t i = 0; i < 5; ++i)
    {
        ASSERT_EQ(link.connection->SendMessage(BufferOf({i, i, i}), NETWORK_CHANNEL_1), NETWORK_NO_ERROR);
    }
    ASSERT_TRUE(
        link.peer.WaitFor([&](const auto& datagrams) { return CopiesIn(datagrams, 1, 4).size() >= 1; }));
    // Sequence 4 with count 4: its payload, then those of 3, 2, 1 and 0.
    RawFrame expected = Reliable(1, 4, {4, 4, 4, 3, 3, 3, 2, 2, 2, 1, 1, 1, 0, 0, 0}, 4);
    EXPECT_EQ(link.Copies(1, 4)[0].bytes, expected.Encode());

    // An empty payload is not sent and uses no sequence ID.
    EXPECT_EQ(link.connection->SendMessage(KT::ConstRCPtr<KT::LIBuffer>(), NETWORK_CHANNEL_1),
              NETWORK_SEND_FAILED);
    EXPECT_EQ(link.connection->SendMessage(BufferOf({}), NETWORK_CHANNEL_1), NETWORK_SEND_FAILED);

    // 8141 bytes: two parts, 4071 and 4070 bytes, sequence IDs 5 and 6, each
    // in a packet of its own.
    ASSERT_TRUE(link.peer.SendAcknowledgement(1, 4));
    ASSERT_TRUE(
        Eventually([&] { return link.connection->GetPreviousSequenceMsgCount(NETWORK_CHANNEL_1) == 0; }));
    const Bytes large = RawPeer::PatternPayload(8141);
    ASSERT_EQ(link.connection->SendMessage(BufferOf(large), NETWORK_CHANNEL_1), NETWORK_NO_ERROR);
    ASSERT_TRUE(link.peer.WaitFor([&](const auto& datagrams) { return !CopiesIn(datagrams, 1, 6).empty(); }));
    const RawFrame first = link.Copies(1, 5)[0].frame;
    const RawFrame second = link.Copies(1, 6)[0].frame;
    EXPECT_EQ(first.payload, Bytes(large.begin(), large.begin() + 4071));
    EXPECT_EQ(second.payload, Bytes(large.begin() + 4071, large.end()));
    EXPECT_EQ(first.multipartMsgCount, 2u);
    EXPECT_EQ(first.multipartMsgIndex, 0u);
    EXPECT_EQ(second.multipartMsgIndex, 1u);
    EXPECT_EQ(first.previousSequenceMsgCount + second.previousSequenceMsgCount, 0u);
}

// ---- Dual sockets

using ConnectionTest::Manager;

TEST(NetworkUdpConnection, ConnectSocketOverUdpFollowsTheAnswersSource)
{
    Manager server;
    ASSERT_NE(server.port, 0);
    KT::RCPtr<LNetworkSocket> socket = LNetworkConnection::ConnectSocket(
        kLoopback, server.port, NETWORK_SOCKET_UDP, KT::RCPtr<KT::LIBuffer>());
    ASSERT_FALSE(!socket);
    KT::RCPtr<LNetworkConnection> accepted = server.accepted->Next();
    ASSERT_FALSE(!accepted);
    unsigned int address = 0;
    unsigned short answerPort = 0;
    accepted->GetNetworkSocket(false)->GetSockName(address, answerPort);
    EXPECT_NE(socket->GetPort(), server.port);
    EXPECT_EQ(socket->GetPort(), answerPort);
    accepted->CloseConnection();
}

TEST(NetworkUdpConnectionDefaultPort, DualSocketsRunChannelsZeroAndOneReliablyOverUdpAndTheRestOverTcp)
{
    Manager server;
    ASSERT_NE(server.port, 0);
    KT::RCPtr<LNetworkConnection> client =
        LNetworkConnection::Create(kLoopback, server.port, LNetworkConnection::CONNECTION_DUAL_SOCKETS);
    ASSERT_FALSE(!client);
    KT::RCPtr<LNetworkConnection> accepted = server.accepted->Next();
    ASSERT_FALSE(!accepted);
    for (std::uint32_t channel = 0; channel <= 6; ++channel)
    {
        const NetworkSocketType expected = channel <= 1 ? NETWORK_SOCKET_UDP : NETWORK_SOCKET_TCP;
        EXPECT_EQ(client->GetSendSocket(static_cast<NetworkChannelNumber>(channel))->GetSocketType(),
                  expected);
        EXPECT_EQ(client->IsChannelReliable(channel), channel <= 1) << channel;
    }

    KT::RCPtr<LRecordingCallback> atServer = LRecordingCallback::Create();
    KT::RCPtr<LRecordingCallback> atClient = LRecordingCallback::Create();
    const auto serverInterface = KT::RCPtr<LNetworkConnectionCallbackInterface>(atServer.Get());
    const auto clientInterface = KT::RCPtr<LNetworkConnectionCallbackInterface>(atClient.Get());
    for (NetworkChannelNumber channel : {NETWORK_CHANNEL_1, NETWORK_CHANNEL_2})
    {
        ASSERT_EQ(accepted->SetCallback(serverInterface, channel), 0);
    }
    for (NetworkChannelNumber channel : {NETWORK_CHANNEL_0, NETWORK_CHANNEL_4})
    {
        ASSERT_EQ(client->SetCallback(clientInterface, channel), 0);
    }
    const Bytes large = RawPeer::PatternPayload(20000);
    ASSERT_EQ(client->SendMessage(BufferOf(large), NETWORK_CHANNEL_1), NETWORK_NO_ERROR);
    ASSERT_EQ(client->SendMessage(BufferOf({2}), NETWORK_CHANNEL_2), NETWORK_NO_ERROR);
    ASSERT_EQ(accepted->SendMessage(BufferOf({0}), NETWORK_CHANNEL_0), NETWORK_NO_ERROR);
    ASSERT_EQ(accepted->SendMessage(BufferOf({4}), NETWORK_CHANNEL_4), NETWORK_NO_ERROR);
    ASSERT_TRUE(atServer->WaitFor(2));
    ASSERT_TRUE(atClient->WaitFor(2));
    for (const ConnectionTest::Delivery& delivery : atServer->Deliveries())
    {
        EXPECT_EQ(delivery.payload, delivery.channel == 1 ? large : Bytes({2}));
    }
    // Both sides' reliable messages are acknowledged over TCP.
    EXPECT_TRUE(Eventually(
        [&]
        {
            return client->GetPreviousSequenceMsgCount(NETWORK_CHANNEL_1) == 0 &&
                   accepted->GetPreviousSequenceMsgCount(NETWORK_CHANNEL_0) == 0;
        }));

    for (NetworkChannelNumber channel : {NETWORK_CHANNEL_1, NETWORK_CHANNEL_2})
    {
        EXPECT_EQ(accepted->RemoveCallback(serverInterface, channel), 0);
    }
    for (NetworkChannelNumber channel : {NETWORK_CHANNEL_0, NETWORK_CHANNEL_4})
    {
        EXPECT_EQ(client->RemoveCallback(clientInterface, channel), 0);
    }
    client->CloseConnection();
    accepted->CloseConnection();
}

// A reliable send starts the receivers; the peer's two reliable messages are
// read and acknowledged, then the peer goes. The first registration gets them
// in order, as if it had started the receivers, the peer's going last.
TEST(NetworkUdpConnectionDefaultPort, WhatIsReadBeforeTheFirstRegistrationIsHeldForIt)
{
    Manager server;
    KT::RCPtr<LNetworkConnection> client =
        LNetworkConnection::Create(kLoopback, server.port, LNetworkConnection::CONNECTION_DUAL_SOCKETS);
    KT::RCPtr<LNetworkConnection> accepted = server.accepted->Next();
    ASSERT_TRUE(client.GetRaw() != nullptr && accepted.GetRaw() != nullptr);
    ASSERT_EQ(client->SendMessage(BufferOf({1}), NETWORK_CHANNEL_1), NETWORK_NO_ERROR);
    for (const std::uint8_t i : {1, 2})
    {
        // Acknowledged before the next goes, so alone in its datagram, and read
        // before the close on the other socket.
        ASSERT_EQ(accepted->SendMessage(BufferOf({0, i}), NETWORK_CHANNEL_0), NETWORK_NO_ERROR);
        ASSERT_TRUE(
            Eventually([&] { return accepted->GetPreviousSequenceMsgCount(NETWORK_CHANNEL_0) == 0; }));
    }
    accepted->CloseConnection();
    // Both held, counted as deliveries count.
    EXPECT_TRUE(Eventually([&] { return client->GetReceiveBacklog().GetMessages() == 2; }));

    KT::RCPtr<LRecordingCallback> recorder = LRecordingCallback::Create();
    const auto receiver = KT::RCPtr<LNetworkConnectionCallbackInterface>(recorder.Get());
    ASSERT_EQ(client->SetCallback(receiver, NETWORK_CHANNEL_0), 0);
    ASSERT_TRUE(recorder->WaitFor(3));
    const std::vector<ConnectionTest::Delivery> deliveries = recorder->Deliveries();
    EXPECT_EQ(deliveries[0].payload, Bytes({0, 1}));
    EXPECT_EQ(deliveries[1].payload, Bytes({0, 2}));
    EXPECT_EQ(deliveries[2].error, NETWORK_CONNECTION_CLOSED);
    EXPECT_EQ(client->RemoveCallback(receiver, NETWORK_CHANNEL_0), 0);
    client->CloseConnection();
}

// Dual sockets to raw peers that acknowledge nothing, a message kept on
// channel 1; then the connection closes, the peer's UDP port goes (its resend
// is refused), or the TCP peer, which carries the acknowledgements, resets.
// However the reliable channels end, what they kept goes (at once on a close),
// every reliable send fails at once with why, neither numbered nor kept,
// nothing more is sent, the worker waits as long as when idle, and the peer's
// going is told once.
TEST(NetworkUdpConnectionDefaultPort, ReliableChannelsEndWithAClosePeerOrAcknowledgementsGone)
{
    enum Ending
    {
        kClose,
        kPeerLeaves,
        kAcknowledgementsEnd
    };
    const struct
    {
        const char* name;
        Ending ending;
        NetworkError error; // of the sends after it, and as told
    } cases[] = {
        {"a close", kClose, static_cast<NetworkError>(-1)},
        {"the peer's port gone", kPeerLeaves, NETWORK_CONNECTION_CLOSED},
        {"the acknowledgements' socket reset", kAcknowledgementsEnd, NETWORK_RECEIVE_FAILED},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        RawPeer::RawTcpPeer tcp(RawPeer::RawTcpPeer::Options{18});
        std::optional<RawUdpPeer> udp(std::in_place);
        std::future<KT::RCPtr<LNetworkConnection>> created =
            std::async(std::launch::async,
                       [&] {
                           return LNetworkConnection::Create(kLoopback, tcp.Port(),
                                                             LNetworkConnection::CONNECTION_DUAL_SOCKETS);
                       });
        Bytes answer(RawPeer::kClientCookieDualSockets.begin(), RawPeer::kClientCookieDualSockets.end());
        answer.push_back(static_cast<std::uint8_t>(udp->Port()));
        answer.push_back(static_cast<std::uint8_t>(udp->Port() >> 8));
        ASSERT_TRUE(tcp.Accept() && tcp.WaitForHello() && tcp.Send(answer));
        const KT::RCPtr<LNetworkConnection> connection = created.get();
        ASSERT_FALSE(!connection);
        const Bytes hello = tcp.Hello();
        ASSERT_TRUE(udp->ConnectTo(static_cast<std::uint16_t>(hello[16] | hello[17] << 8)));
        KT::RCPtr<LRecordingCallback> recorder = LRecordingCallback::Create();
        const KT::RCPtr<LNetworkConnectionCallbackInterface> receiver(recorder.Get());
        ASSERT_EQ(connection->SetCallback(receiver, NETWORK_CHANNEL_2), 0);
        ASSERT_EQ(connection->SendMessage(BufferOf(Bytes(5000, 1)), NETWORK_CHANNEL_1), NETWORK_NO_ERROR);
        ASSERT_TRUE(udp->WaitForFrames(1, 1));

        if (c.ending == kClose)
        {
            connection->CloseConnection();
        }
        else
        {
            c.ending == kPeerLeaves ? udp.reset() : tcp.CloseAbruptly();
        }
        // Released before the end is told, and at once on a close.
        ASSERT_TRUE(c.ending == kClose || recorder->WaitFor(1));
        EXPECT_EQ(connection->GetSendBacklog(NETWORK_CHANNEL_1)->GetBytes(), 0u);
        const std::size_t seen = udp ? udp->Datagrams().size() : 0;
        EXPECT_EQ(connection->SendMessage(BufferOf({2}), NETWORK_CHANNEL_1), c.error);
        EXPECT_EQ(connection->GetPreviousSequenceMsgCount(NETWORK_CHANNEL_1), 0u);
        const std::uint64_t runs = connection->GetAcknowledgementRuns();
        ASSERT_TRUE(Eventually([&] { return connection->GetAcknowledgementRuns() >= runs + 2; }));
        EXPECT_EQ(connection->GetAcknowledgementWaitMilliseconds(), LNetworkConnection::kAckWaitMilliseconds);
        EXPECT_EQ(udp ? udp->Datagrams().size() : 0, seen);
        const std::vector<ConnectionTest::Delivery> told = recorder->Deliveries();
        EXPECT_EQ(told.size(), c.ending == kClose ? 0u : 1u);
        EXPECT_TRUE(told.empty() || told[0].error == c.error);
        EXPECT_EQ(connection->RemoveCallback(receiver, NETWORK_CHANNEL_2), 0);
        connection->CloseConnection();
    }
}

// Any send error but a refusal is the resends' to repair.
TEST(NetworkReliableChannel, ASendWhoseFirstDatagramFailsIsKeptAndSucceeds)
{
    NetworkReliableChannel channel(NETWORK_CHANNEL_1, 0, KT::LEvent::Create(true));
    KT::RCPtr<LNetworkSocket> unconnected = LNetworkSocket::Create(NETWORK_SOCKET_UDP);
    const unsigned char payload[3] = {1, 2, 3};
    EXPECT_EQ(channel.Send(*unconnected, payload, sizeof(payload), nullptr), NETWORK_NO_ERROR);
    EXPECT_EQ(channel.GetUnacknowledgedCount(), 1u);
}

TEST(NetworkUdpConnectionDefaultPort, DualSocketsNeedTheWholeAnswerAndAPortOfTheirOwn)
{
    NetworkTimeouts::ScopedOverride shortAnswer(NetworkTimeoutList::HELLO_ANSWER, 300);
    // The server's answer naming the port of its UDP socket.
    const auto answerFor = [](std::uint16_t udpPort)
    {
        Bytes answer(RawPeer::kClientCookieDualSockets.begin(), RawPeer::kClientCookieDualSockets.end());
        answer.push_back(static_cast<std::uint8_t>(udpPort));
        answer.push_back(static_cast<std::uint8_t>(udpPort >> 8));
        return answer;
    };
    const Bytes first = RawFrame::Plain(2, 0, {6}).Encode();
    enum Answer
    {
        kCut,
        kSingleCookie,
        kWhole,
        kWithMessage
    };
    const struct
    {
        const char* name;
        Answer answer;
        std::vector<std::size_t> cuts;
        bool connects;
    } cases[] = {
        {"seventeen bytes, then silence", kCut, {}, false},
        {"the single-socket cookie", kSingleCookie, {}, false},
        {"in two pieces", kWhole, {9}, true},
        {"followed by the first message", kWithMessage, {}, true},
    };
    for (const auto& c : cases)
    {
        RawPeer::RawTcpPeer::Options options;
        options.helloSize = 18;
        RawPeer::RawTcpPeer peer(options);
        std::future<KT::RCPtr<LNetworkConnection>> created =
            std::async(std::launch::async,
                       [&] {
                           return LNetworkConnection::Create(kLoopback, peer.Port(),
                                                             LNetworkConnection::CONNECTION_DUAL_SOCKETS);
                       });
        ASSERT_TRUE(peer.Accept()) << c.name;
        ASSERT_TRUE(peer.WaitForHello()) << c.name;
        RawUdpPeer serverUdp;
        Bytes answer = answerFor(serverUdp.Port());
        if (c.answer == kCut)
        {
            answer.pop_back();
        }
        else if (c.answer == kSingleCookie)
        {
            answer[15] = 0x11;
        }
        else if (c.answer == kWithMessage)
        {
            answer.insert(answer.end(), first.begin(), first.end());
        }
        ASSERT_TRUE(peer.SendPieces(answer, c.cuts)) << c.name;
        KT::RCPtr<LNetworkConnection> connection = created.get();
        EXPECT_EQ(connection.GetRaw() != nullptr, c.connects) << c.name;
        if (!connection)
        {
            continue;
        }
        // The message behind the answer waits for the first registration.
        if (c.answer == kWithMessage)
        {
            KT::RCPtr<LRecordingCallback> recorder = LRecordingCallback::Create();
            const auto receiver = KT::RCPtr<LNetworkConnectionCallbackInterface>(recorder.Get());
            ASSERT_EQ(connection->SetCallback(receiver, NETWORK_CHANNEL_2), 0);
            ASSERT_TRUE(recorder->WaitFor(1)) << c.name;
            EXPECT_EQ(recorder->Deliveries()[0].payload, Bytes({6})) << c.name;
            EXPECT_EQ(connection->RemoveCallback(receiver, NETWORK_CHANNEL_2), 0);
        }
        // The client's UDP socket talks to the port of the answer.
        const Bytes hello = peer.Hello();
        ASSERT_TRUE(serverUdp.ConnectTo(static_cast<std::uint16_t>(hello[16] | hello[17] << 8))) << c.name;
        ASSERT_EQ(connection->SendMessage(BufferOf({1}), NETWORK_CHANNEL_0), NETWORK_NO_ERROR);
        EXPECT_TRUE(serverUdp.WaitFor(
            [](const std::vector<RawUdpPeer::Datagram>& datagrams) {
                return !datagrams.empty() && datagrams.back().isFrame && datagrams.back().frame.channel == 0;
            }))
            << c.name;
        connection->CloseConnection();
    }

    // With every port of the search taken, no port is announced. A port that
    // another process holds for a moment (an ephemeral port the kernel gave
    // it) is taken once it is free: a port left to the search could be freed
    // by its holder at any time.
    std::vector<int> taken;
    std::vector<unsigned short> open;
    for (unsigned int port = TestPorts::kDefaultRangeFirst; port <= TestPorts::kDefaultRangeLast; ++port)
    {
        open.push_back(static_cast<unsigned short>(port));
    }
    const bool holdsAll = Eventually(
        [&]
        {
            std::vector<unsigned short> left;
            for (unsigned short port : open)
            {
                const int fd = TestPorts::RawBoundSocket(SOCK_DGRAM, port);
                if (fd >= 0)
                {
                    taken.push_back(fd);
                }
                else
                {
                    left.push_back(port);
                }
            }
            open.swap(left);
            return open.empty();
        });
    if (!holdsAll)
    {
        for (int fd : taken)
        {
            ::close(fd);
        }
        GTEST_SKIP() << open.size() << " ports of the search stay held by another process";
    }
    RawPeer::RawTcpPeer unused;
    EXPECT_TRUE(
        !LNetworkConnection::Create(kLoopback, unused.Port(), LNetworkConnection::CONNECTION_DUAL_SOCKETS));
    EXPECT_FALSE(unused.Accept(100ms));
    for (int fd : taken)
    {
        ::close(fd);
    }
}

} // namespace
