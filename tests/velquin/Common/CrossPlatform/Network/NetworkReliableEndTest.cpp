// How the reliable channels of a connection end: their peer leaving, the
// receiver of their acknowledgements failing, a close; and what a send whose
// first datagram fails reports.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <future>

#include "ConnectionTestSupport.h"
#include "support/RawUdpPeer.h"
#include "support/TestPorts.h"

namespace
{

using ConnectionTest::BufferOf;
using ConnectionTest::Bytes;
using ConnectionTest::Eventually;
using ConnectionTest::kLoopback;
using ConnectionTest::LRecordingCallback;

// Nothing kept, nothing due, and every reliable send fails at once with error.
void ExpectEnded(LNetworkConnection& connection, NetworkError error)
{
    for (NetworkChannelNumber channel : {NETWORK_CHANNEL_0, NETWORK_CHANNEL_1})
    {
        ASSERT_TRUE(Eventually([&] { return connection.GetSendBacklog(channel)->GetBytes() == 0; }))
            << channel;
        EXPECT_EQ(connection.SendMessage(BufferOf({2}), channel), error) << channel;
        EXPECT_EQ(connection.GetPreviousSequenceMsgCount(channel), 0u) << channel;
    }
    // Once the worker has run since: it waits as long as when idle.
    const std::uint64_t runs = connection.GetAcknowledgementRuns();
    ASSERT_TRUE(Eventually([&] { return connection.GetAcknowledgementRuns() >= runs + 2; }));
    EXPECT_EQ(connection.GetAcknowledgementWaitMilliseconds(), LNetworkConnection::kAckWaitMilliseconds);
}

// A UDP connection to a plain socket that acknowledges nothing; once that
// closes, what is sent to its port is refused. Errors are recorded.
struct SilentPeer
{
    SilentPeer() : fd(TestPorts::RawBoundSocket(SOCK_DGRAM, 0))
    {
        KT::RCPtr<LNetworkSocket> socket = LNetworkSocket::Create(NETWORK_SOCKET_UDP);
        if (fd >= 0 && socket->Connect(kLoopback, TestPorts::BoundPort(fd), true, 0) == NETWORK_NO_ERROR)
        {
            connection = LNetworkConnection::Create(socket, KT::RCPtr<LNetworkSocket>(),
                                                    LNetworkConnection::CONNECTION_DATA_SOCKET);
            linked = connection->SetCallback(receiver, NETWORK_CHANNEL_2) == 0;
        }
    }
    ~SilentPeer()
    {
        if (linked)
        {
            static_cast<void>(connection->RemoveCallback(receiver, NETWORK_CHANNEL_2));
            connection->CloseConnection();
        }
        ::close(fd);
    }

    int fd;
    KT::RCPtr<LRecordingCallback> recorder = LRecordingCallback::Create();
    KT::RCPtr<LNetworkConnectionCallbackInterface> receiver{recorder.Get()};
    KT::RCPtr<LNetworkConnection> connection;
    bool linked = false;
};

TEST(NetworkUdpConnection, APeerThatLeavesWithAMessageUnacknowledgedEndsTheReliableChannelsNotTheProcess)
{
    SilentPeer link;
    ASSERT_TRUE(link.linked);
    ASSERT_EQ(link.connection->SendMessage(BufferOf({1}), NETWORK_CHANNEL_1), NETWORK_NO_ERROR);
    ::close(link.fd);
    link.fd = -1;
    // Its resend is refused, which is told once.
    ASSERT_TRUE(link.recorder->WaitFor(1));
    ExpectEnded(*link.connection, NETWORK_CONNECTION_CLOSED);
    ASSERT_EQ(link.recorder->Deliveries().size(), 1u);
    EXPECT_EQ(link.recorder->Deliveries()[0].error, NETWORK_CONNECTION_CLOSED);
}

TEST(NetworkUdpConnection, AClosedConnectionReleasesWhatItKeptAtOnceAndItsWorkerSleeps)
{
    SilentPeer link;
    ASSERT_TRUE(link.linked);
    ASSERT_EQ(link.connection->SendMessage(BufferOf(Bytes(5000, 1)), NETWORK_CHANNEL_1), NETWORK_NO_ERROR);
    link.connection->CloseConnection();
    EXPECT_EQ(link.connection->GetSendBacklog(NETWORK_CHANNEL_1)->GetBytes(), 0u);
    ExpectEnded(*link.connection, static_cast<NetworkError>(-1));
}

// Dual sockets to raw peers that acknowledge nothing: the TCP socket carries
// the acknowledgements, and its reset ends the reliable channels over UDP.
TEST(NetworkUdpConnectionDefaultPort,
     AfterTheReceiverOfAcknowledgementsFailsReliableSendsFailAtOnceAndNothingIsResent)
{
    RawPeer::RawTcpPeer::Options options;
    options.helloSize = 18;
    RawPeer::RawTcpPeer tcp(options);
    RawPeer::RawUdpPeer udp;
    std::future<KT::RCPtr<LNetworkConnection>> created =
        std::async(std::launch::async,
                   [&] {
                       return LNetworkConnection::Create(kLoopback, tcp.Port(),
                                                         LNetworkConnection::CONNECTION_DUAL_SOCKETS);
                   });
    ASSERT_TRUE(tcp.Accept() && tcp.WaitForHello());
    Bytes answer(RawPeer::kClientCookieDualSockets.begin(), RawPeer::kClientCookieDualSockets.end());
    answer.push_back(static_cast<std::uint8_t>(udp.Port()));
    answer.push_back(static_cast<std::uint8_t>(udp.Port() >> 8));
    ASSERT_TRUE(tcp.Send(answer));
    const KT::RCPtr<LNetworkConnection> connection = created.get();
    ASSERT_FALSE(!connection);
    const Bytes hello = tcp.Hello();
    ASSERT_TRUE(udp.ConnectTo(static_cast<std::uint16_t>(hello[16] | hello[17] << 8)));
    KT::RCPtr<LRecordingCallback> recorder = LRecordingCallback::Create();
    const KT::RCPtr<LNetworkConnectionCallbackInterface> receiver(recorder.Get());
    ASSERT_EQ(connection->SetCallback(receiver, NETWORK_CHANNEL_2), 0);
    ASSERT_EQ(connection->SendMessage(BufferOf({1}), NETWORK_CHANNEL_0), NETWORK_NO_ERROR);
    ASSERT_TRUE(udp.WaitForFrames(0, 1));

    tcp.CloseAbruptly();
    ASSERT_TRUE(recorder->WaitFor(1));
    EXPECT_EQ(recorder->Deliveries()[0].error, NETWORK_RECEIVE_FAILED);
    const std::size_t seen = udp.Datagrams().size();
    ExpectEnded(*connection, NETWORK_RECEIVE_FAILED);
    EXPECT_EQ(udp.Datagrams().size(), seen);
    EXPECT_EQ(connection->RemoveCallback(receiver, NETWORK_CHANNEL_2), 0);
    connection->CloseConnection();
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

} // namespace
