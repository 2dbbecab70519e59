// The simulated device that the device-control tests talk to, against raw
// clients: what it answers on each channel, its notification bursts, each
// fault switch, the kinds of client it serves, and its stop.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "support/RawTcpPeer.h"
#include "support/RawUdpPeer.h"
#include "support/SimulatedDevice.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnection.h"

namespace
{

using RawPeer::RawFrame;
using TestDevice::Bytes;
using TestDevice::SimulatedDevice;
using namespace std::chrono_literals;

Bytes ClientCookie()
{
    return Bytes(RawPeer::kClientCookie.begin(), RawPeer::kClientCookie.end());
}

// A raw TCP client of the device whose reads give up after a bound.
struct Client
{
    explicit Client(const SimulatedDevice& device, const Bytes& hello = ClientCookie())
    {
        connected = raw.Connect(device.Port(), hello);
        SetReadBound(2000ms);
    }
    void SetReadBound(std::chrono::milliseconds bound)
    {
        const timeval limit{static_cast<time_t>(bound.count() / 1000),
                            static_cast<suseconds_t>(bound.count() % 1000 * 1000)};
        ::setsockopt(raw.Descriptor(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    }
    bool Send(const RawFrame& frame)
    {
        const Bytes bytes = frame.Encode();
        return raw.SendAll(bytes.data(), bytes.size());
    }
    // The next frame, or nullopt when none came in time or the stream broke.
    std::optional<RawFrame> Read()
    {
        Bytes bytes;
        if (!raw.ReadFrame(bytes))
        {
            return std::nullopt;
        }
        RawPeer::FrameReader reader;
        reader.Feed(bytes.data(), bytes.size());
        std::vector<RawFrame> frames = reader.TakeFrames();
        return frames.size() == 1 ? std::optional<RawFrame>(frames[0]) : std::nullopt;
    }
    Bytes ReadBytes(std::size_t count)
    {
        Bytes bytes(count);
        return raw.ReadExactly(bytes.data(), count) ? bytes : Bytes();
    }
    // 0: the stream ended; -1 with errno: failed (ECONNRESET, EAGAIN ...).
    ssize_t ReadEnd()
    {
        std::uint8_t byte = 0;
        return ::recv(raw.Descriptor(), &byte, 1, 0);
    }

    RawPeer::RawTcpClient raw;
    bool connected = false;
};

RawFrame Frame(std::uint32_t channel, std::uint32_t sequenceID, Bytes payload, std::uint32_t older = 0)
{
    RawFrame frame = RawFrame::Plain(channel, sequenceID, std::move(payload));
    frame.previousSequenceMsgCount = older;
    return frame;
}

TEST(SimulatedDevice, AnswersKeepAlivesIdentifyAndScriptedRequestsOfATcpClient)
{
    SimulatedDevice device;
    ASSERT_TRUE(device.IsListening());
    device.SetScript(
        [](const Bytes& request)
        {
            return std::vector<SimulatedDevice::Reply>{{1, Bytes(request.rbegin(), request.rend()), 30ms},
                                                       {0, {9}, 0ms}};
        });
    device.SetIdentify(Bytes{7, 7});
    Client client(device);
    ASSERT_TRUE(client.connected);
    ASSERT_TRUE(device.WaitForClient(1));
    EXPECT_EQ(device.KindOf(1), SimulatedDevice::ClientKind::kTcp);

    // A request: the replies in the order of their delays, each channel
    // numbered from 0.
    ASSERT_TRUE(client.Send(Frame(1, 0, {1, 2, 3})));
    std::optional<RawFrame> first = client.Read();
    std::optional<RawFrame> second = client.Read();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->Encode(), Frame(0, 0, {9}).Encode());
    EXPECT_EQ(second->Encode(), Frame(1, 0, {3, 2, 1}).Encode());

    // Keep-alive and identify; then neither, when switched off.
    ASSERT_TRUE(client.Send(Frame(2, 0, {})));
    std::optional<RawFrame> answer = client.Read();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->Encode(), Frame(4, 0, {}).Encode());
    ASSERT_TRUE(client.Send(Frame(3, 0, {})));
    std::optional<RawFrame> identity = client.Read();
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->Encode(), Frame(3, 0, {7, 7}).Encode());
    device.SetAnswerKeepAlive(false);
    device.SetIdentify(std::nullopt);
    ASSERT_TRUE(client.Send(Frame(2, 1, {})));
    ASSERT_TRUE(client.Send(Frame(3, 1, {})));

    // The device's own keep-alive, whose answer is recorded.
    ASSERT_TRUE(device.SendKeepAlive(1));
    client.SetReadBound(300ms);
    std::optional<RawFrame> keepAlive = client.Read();
    ASSERT_TRUE(keepAlive);
    EXPECT_EQ(keepAlive->Encode(), Frame(2, 0, {}).Encode());
    ASSERT_TRUE(client.Send(Frame(4, 0, {})));
    ASSERT_TRUE(device.WaitForMessage(1, 4));
    EXPECT_FALSE(client.Read());

    const std::vector<SimulatedDevice::Message> messages = device.Messages();
    ASSERT_EQ(messages.size(), 6u);
    const std::uint32_t channels[] = {1, 2, 3, 2, 3, 4};
    for (std::size_t i = 0; i < messages.size(); ++i)
    {
        EXPECT_EQ(messages[i].client, 1u);
        EXPECT_EQ(messages[i].channel, channels[i]) << i;
    }
    EXPECT_EQ(messages[0].payload, Bytes({1, 2, 3}));
    EXPECT_EQ(messages[3].sequenceID, 1);
}

TEST(SimulatedDevice, SendsNotificationBurstsWithChosenSequenceIDsCopiesAndParts)
{
    SimulatedDevice device;
    Client client(device);
    ASSERT_TRUE(client.connected && device.WaitForClient(1));
    const Bytes large = RawPeer::PatternPayload(10);
    ASSERT_TRUE(device.SendNotifications(
        1, {{5, {5}, {}, 1}, {7, {7}, {{6}, {5}}, 1}, {8, large, {}, 3}, {6, {6}, {}, 1}}));

    RawFrame part0 = Frame(0, 8, Bytes(large.begin(), large.begin() + 4));
    RawFrame part1 = Frame(0, 9, Bytes(large.begin() + 4, large.begin() + 7));
    RawFrame part2 = Frame(0, 10, Bytes(large.begin() + 7, large.end()));
    for (RawFrame* part : {&part0, &part1, &part2})
    {
        part->multipartMsgCount = 3;
    }
    part1.multipartMsgIndex = 1;
    part2.multipartMsgIndex = 2;
    // A gap (5, then 7 carrying 6 and 5), a message in three parts, then one
    // going back.
    const RawFrame expected[] = {Frame(0, 5, {5}), Frame(0, 7, {7, 6, 5}, 2), part0, part1, part2,
                                 Frame(0, 6, {6})};
    for (const RawFrame& frame : expected)
    {
        std::optional<RawFrame> read = client.Read();
        ASSERT_TRUE(read);
        EXPECT_EQ(read->Encode(), frame.Encode()) << frame.sequenceID;
    }
}

TEST(SimulatedDevice, SpoilsItsFramesAsTheWriteFaultSays)
{
    SimulatedDevice device;
    const Bytes answer = Frame(4, 0, {}).Encode();
    Bytes wrongCookie = answer;
    wrongCookie[0] ^= 0xFF;
    Bytes badHeader = answer;
    badHeader[24] = 3;
    Bytes garbageFirst = {0x47, 0x41, 0x52, 0x42, 0x41, 0x47, 0x45};
    garbageFirst.insert(garbageFirst.end(), answer.begin(), answer.end());
    const struct
    {
        const char* name;
        SimulatedDevice::WriteFault fault;
        Bytes written;
        bool closes;
    } cases[] = {
        {"garbage before", SimulatedDevice::WriteFault::kGarbageBefore, garbageFirst, false},
        {"wrong cookie", SimulatedDevice::WriteFault::kWrongCookie, wrongCookie, false},
        {"bad header", SimulatedDevice::WriteFault::kBadHeader, badHeader, false},
        {"truncated, silence", SimulatedDevice::WriteFault::kTruncatedHeaderThenSilence,
         Bytes(answer.begin(), answer.begin() + 20), false},
        {"truncated, close", SimulatedDevice::WriteFault::kTruncatedHeaderThenClose,
         Bytes(answer.begin(), answer.begin() + 20), true},
    };
    std::size_t clients = 0;
    for (const auto& c : cases)
    {
        device.SetWriteFault(c.fault);
        Client client(device);
        ASSERT_TRUE(client.connected && device.WaitForClient(++clients)) << c.name;
        ASSERT_TRUE(client.Send(Frame(2, 0, {}))) << c.name;
        EXPECT_EQ(client.ReadBytes(c.written.size()), c.written) << c.name;
        if (c.fault == SimulatedDevice::WriteFault::kTruncatedHeaderThenSilence)
        {
            // Nothing follows, not even later answers; the stream stays open.
            ASSERT_TRUE(client.Send(Frame(2, 1, {})));
            client.SetReadBound(200ms);
            EXPECT_EQ(client.ReadEnd(), -1) << c.name;
            EXPECT_EQ(errno, EAGAIN) << c.name;
        }
        if (c.closes)
        {
            EXPECT_EQ(client.ReadEnd(), 0) << c.name;
        }
    }
}

TEST(SimulatedDevice, FallsSilentStopsReadingClosesAndDropsClientsOnRequest)
{
    SimulatedDevice device;
    Client client(device);
    ASSERT_TRUE(client.connected && device.WaitForClient(1));

    // Silent: recorded, not answered.
    device.SetSilent(true);
    ASSERT_TRUE(client.Send(Frame(2, 0, {})));
    ASSERT_TRUE(device.WaitForMessage(1, 2));
    client.SetReadBound(200ms);
    EXPECT_FALSE(client.Read());
    device.SetSilent(false);

    // Not reading: the client's sends back up until its buffers are full;
    // reading again, the device takes every frame.
    device.SetReading(false);
    const int fd = client.raw.Descriptor();
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    const Bytes frame = Frame(4, 0, RawPeer::PatternPayload(8000)).Encode();
    std::size_t whole = 0;
    bool full = false;
    while (!full && whole < 100000)
    {
        std::size_t sent = 0;
        while (sent < frame.size())
        {
            const ssize_t n = ::send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            {
                full = true;
                // The rest of this frame once there is room, to keep framing.
                pollfd writable{fd, POLLOUT, 0};
                device.SetReading(true);
                ASSERT_GT(::poll(&writable, 1, 10000), 0);
                continue;
            }
            ASSERT_GT(n, 0);
            sent += static_cast<std::size_t>(n);
        }
        ++whole;
    }
    EXPECT_TRUE(full);
    EXPECT_TRUE(device.WaitFor([&](const auto& messages) { return messages.size() == 1 + whole; }));
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);

    // Clean and abrupt closes.
    device.CloseClient(1, false);
    client.SetReadBound(2000ms);
    EXPECT_EQ(client.ReadEnd(), 0);
    Client second(device);
    ASSERT_TRUE(second.connected && device.WaitForClient(2));
    device.CloseClient(2, true);
    EXPECT_EQ(second.ReadEnd(), -1);
    EXPECT_EQ(errno, ECONNRESET);

    // Dropped at once after the hello.
    device.SetDropNewClients(true);
    Client dropped(device);
    ASSERT_TRUE(dropped.connected);
    EXPECT_LE(dropped.ReadEnd(), 0);
    EXPECT_EQ(device.DroppedClients(), 1u);
    EXPECT_EQ(device.ClientCount(), 2u);

    // A client that goes is seen going.
    device.SetDropNewClients(false);
    {
        Client leaving(device);
        ASSERT_TRUE(leaving.connected && device.WaitForClient(3));
    }
    EXPECT_TRUE(device.WaitForClientGone(3));
}

TEST(SimulatedDevice, ServesTcpDualSocketAndUdpClientsAtOnce)
{
    SimulatedDevice device;
    device.SetScript(
        [](const Bytes& request) {
            return std::vector<SimulatedDevice::Reply>{{1, request, 0ms}};
        });
    Client tcp(device);
    ASSERT_TRUE(tcp.connected && device.WaitForClient(1));

    RawPeer::RawUdpPeer udp;
    ASSERT_TRUE(udp.SendHello(device.Port(), ClientCookie()));
    ASSERT_TRUE(device.WaitForClient(2));

    RawPeer::RawUdpPeer dualUdp;
    Bytes dualHello(RawPeer::kClientCookieDualSockets.begin(), RawPeer::kClientCookieDualSockets.end());
    dualHello.push_back(static_cast<std::uint8_t>(dualUdp.Port()));
    dualHello.push_back(static_cast<std::uint8_t>(dualUdp.Port() >> 8));
    Client dual(device, dualHello);
    ASSERT_TRUE(dual.connected);
    const Bytes answer = dual.ReadBytes(18);
    ASSERT_EQ(answer.size(), 18u);
    ASSERT_TRUE(device.WaitForClient(3));
    ASSERT_TRUE(dualUdp.ConnectTo(static_cast<std::uint16_t>(answer[16] | answer[17] << 8)));

    EXPECT_EQ(device.KindOf(1), SimulatedDevice::ClientKind::kTcp);
    EXPECT_EQ(device.KindOf(2), SimulatedDevice::ClientKind::kUdp);
    EXPECT_EQ(device.KindOf(3), SimulatedDevice::ClientKind::kDualSockets);

    // Requests on the reliable channel 1 over UDP come back the same way;
    // the dual client's keep-alive goes over TCP.
    RawFrame request = Frame(1, 0, {4, 2});
    request.multipartMsgCount = 1;
    ASSERT_TRUE(udp.Send(request));
    ASSERT_TRUE(dualUdp.Send(request));
    ASSERT_TRUE(dual.Send(Frame(2, 0, {})));
    for (RawPeer::RawUdpPeer* peer : {&udp, &dualUdp})
    {
        ASSERT_TRUE(peer->WaitForFrames(1, 1));
        EXPECT_EQ(peer->FramesOf(1)[0].frame.Encode(), request.Encode());
    }
    std::optional<RawFrame> keepAlive;
    do
    {
        keepAlive = dual.Read(); // acknowledgements of channel 1 come first
    } while (keepAlive && keepAlive->channel == 5);
    ASSERT_TRUE(keepAlive);
    EXPECT_EQ(keepAlive->channel, 4u);
    for (std::size_t id : {2u, 3u})
    {
        std::optional<SimulatedDevice::Message> message = device.WaitForMessage(id, 1);
        ASSERT_TRUE(message);
        EXPECT_EQ(message->payload, Bytes({4, 2}));
        EXPECT_EQ(message->count, 0);
    }
}

TEST(SimulatedDevice, ListensOnASecondLoopbackAddressAndStopsInAboutHalfASecond)
{
    SimulatedDevice::Options options;
    options.address = TestDevice::kRemoteLoopback;
    auto device = std::make_unique<SimulatedDevice>(options);
    ASSERT_TRUE(device->IsListening());
    KT::RCPtr<LNetworkConnection> connection = LNetworkConnection::Create(
        TestDevice::kRemoteLoopback, device->Port(), LNetworkConnection::CONNECTION_DATA_SOCKET);
    ASSERT_FALSE(!connection);
    ASSERT_EQ(connection->SendMessage(KT::ConstRCPtr<KT::LIBuffer>(), NETWORK_CHANNEL_3), NETWORK_NO_ERROR);
    ASSERT_TRUE(device->WaitForMessage(1, 3));

    const auto start = std::chrono::steady_clock::now();
    device.reset();
    // About the manager's half-second pass; a bound far from any 60 s stop.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    connection->CloseConnection();
}

} // namespace
