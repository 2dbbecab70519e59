// LNetworkSocket on the loopback interface. Every socket binds 127.0.0.1 on a
// kernel-chosen port (support/TestPorts.h); the tests named "DefaultPort" search
// from 51000 and run under their own CTest resource lock.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "KTFramework/Utilities/Storage/Buffer.h"
#include "Platform/Socket.h"
#include "support/TestPorts.h"
#include "velquin/Common/CrossPlatform/Network/NetworkSocket.h"
#include "velquin/Common/CrossPlatform/Network/NetworkWireFormat.h"

namespace
{

using Socket = KT::RCPtr<LNetworkSocket>;
using Clock = std::chrono::steady_clock;

constexpr unsigned int kLoopback = TestPorts::kLoopback;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A socket bound on 127.0.0.1 at a free port, with the hello a UDP server expects.
Socket BoundSocket(NetworkSocketType type, unsigned short& port,
                   const KT::RCPtr<KT::LIBuffer>& hello = KT::RCPtr<KT::LIBuffer>())
{
    Socket socket = LNetworkSocket::Create(type);
    port = TestPorts::BindOnFreePort(
        [&](unsigned short candidate)
        { return socket->Bind(kLoopback, candidate, false, hello) == NETWORK_NO_ERROR; });
    return socket;
}

struct TcpPair
{
    Socket listener;
    Socket client;
    Socket server; // the accepted end
    unsigned short port = 0;
};

TcpPair MakeTcpPair()
{
    TcpPair pair;
    pair.listener = BoundSocket(NETWORK_SOCKET_TCP, pair.port);
    EXPECT_NE(pair.port, 0);
    EXPECT_EQ(pair.listener->Listen(), NETWORK_NO_ERROR);
    pair.client = LNetworkSocket::Create(NETWORK_SOCKET_TCP);
    EXPECT_EQ(pair.client->Connect(kLoopback, pair.port, true, 0), NETWORK_NO_ERROR);
    EXPECT_EQ(pair.listener->Accept(pair.server, true), NETWORK_NO_ERROR);
    EXPECT_NE(pair.server.Get(), nullptr);
    return pair;
}

KT::RCPtr<KT::LIBuffer> Hello()
{
    KT::RCPtr<KT::LIBuffer> hello = KT::LBufferT<1, 0>::Create(16, 0, true);
    std::memcpy(hello->GetRawPtr(), NetworkWireFormat::CLIENT_COOKIE.mBytes, 16);
    return hello;
}

std::string ReceiveText(const Socket& socket, unsigned int capacity = 64)
{
    std::vector<char> buffer(capacity);
    unsigned int received = 0;
    EXPECT_EQ(socket->Receive(buffer.data(), capacity, received, true), NETWORK_NO_ERROR);
    return std::string(buffer.data(), received);
}

void SendText(const Socket& socket, const std::string& text)
{
    unsigned int sent = 0;
    EXPECT_EQ(socket->Send(text.data(), static_cast<unsigned int>(text.size()), sent), NETWORK_NO_ERROR);
    EXPECT_EQ(sent, text.size());
}

} // namespace

TEST(NetworkSocket, TcpPairConnectsSendsAndReceives)
{
    const int socketsBefore = LNetworkSocket::GetSocketCount();
    {
        TcpPair pair = MakeTcpPair();
        EXPECT_EQ(LNetworkSocket::GetSocketCount(), socketsBefore + 3);
        EXPECT_TRUE(pair.client->IsConnected());
        EXPECT_EQ(pair.client->GetIPAddress(), kLoopback);
        EXPECT_EQ(pair.client->GetPort(), pair.port);
        EXPECT_TRUE(pair.listener->IsListening());

        unsigned int clientAddress = 0;
        unsigned short clientPort = 0;
        EXPECT_EQ(pair.client->GetSockName(clientAddress, clientPort), 0);
        EXPECT_EQ(clientAddress, kLoopback);
        EXPECT_TRUE(pair.server->IsConnected());
        EXPECT_TRUE(pair.server->IsBlocking());
        EXPECT_EQ(pair.server->GetSocketType(), NETWORK_SOCKET_TCP);
        EXPECT_EQ(pair.server->GetIPAddress(), kLoopback);
        EXPECT_EQ(pair.server->GetPort(), clientPort);

        EXPECT_FALSE(pair.server->ReceiveHasBytesReady(0));
        SendText(pair.client, "ping");
        EXPECT_TRUE(pair.server->ReceiveHasBytesReady(1000000));
        EXPECT_EQ(ReceiveText(pair.server), "ping");
        SendText(pair.server, "pong");
        EXPECT_EQ(ReceiveText(pair.client), "pong");

        const int one = 1;
        EXPECT_EQ(pair.client->SetOption(KT::Platform::kSocketLevelTcp, KT::Platform::kSocketOptionTcpNoDelay,
                                         reinterpret_cast<const char*>(&one), sizeof(one)),
                  NETWORK_NO_ERROR);
        struct sigaction current
        {
        };
        sigaction(SIGPIPE, nullptr, &current);
        EXPECT_EQ(current.sa_handler, SIG_IGN) << "the first socket made SIGPIPE ignored";
        EXPECT_EQ(pair.client->SetOption(KT::Platform::kSocketLevelTcp, -1,
                                         reinterpret_cast<const char*>(&one), sizeof(one)),
                  NETWORK_SOCKET_NOT_SET_CORRECTLY);
    }
    EXPECT_EQ(LNetworkSocket::GetSocketCount(), socketsBefore);
}

// A receiver thread blocked in Receive holds only the receive lock: another
// thread still sends on the same socket, switches nothing, and the receive ends
// with the answer.
TEST(NetworkSocket, BlockingReceiveLeavesSendingFree)
{
    TcpPair pair = MakeTcpPair();
    std::string answer;
    std::thread receiver([&] { answer = ReceiveText(pair.server); });
    for (int i = 0; i < 20; ++i)
    {
        SendText(pair.server, "s");
        EXPECT_EQ(ReceiveText(pair.client, 1), "s");
    }
    pair.server->AcquireSendMutex();
    SendText(pair.server, "held");
    pair.server->ReleaseSendMutex();
    EXPECT_EQ(ReceiveText(pair.client), "held");
    SendText(pair.client, "answer");
    receiver.join();
    EXPECT_EQ(answer, "answer");
}

TEST(NetworkSocket, EachRoleRefusesWhatItsStateForbids)
{
    TcpPair pair = MakeTcpPair();
    unsigned short udpPort = 0;
    Socket boundUdp = BoundSocket(NETWORK_SOCKET_UDP, udpPort);
    unsigned short tcpPort = 0;
    Socket boundTcp = BoundSocket(NETWORK_SOCKET_TCP, tcpPort);
    Socket fresh = LNetworkSocket::Create(NETWORK_SOCKET_TCP);
    Socket noDescriptor = LNetworkSocket::Create(static_cast<NetworkSocketType>(7));
    const char byte = 'x';
    unsigned int count = 99;
    unsigned int ip = 0;
    unsigned short port = 0;
    Socket accepted;

    struct Row
    {
        const char* name;
        NetworkError result;
        NetworkError expected;
    };
    const Row rows[] = {
        {"connect when connected", pair.client->Connect(kLoopback, pair.port, true, 0),
         NETWORK_ALREADY_CONNECTED},
        {"connect a bound TCP socket", boundTcp->Connect(kLoopback, pair.port, true, 0),
         NETWORK_ALREADY_BINDED},
        {"bind twice", boundTcp->Bind(kLoopback, 0, false, nullptr), NETWORK_ALREADY_BINDED},
        {"bind when connected", pair.client->Bind(kLoopback, 0, false, nullptr), NETWORK_ALREADY_CONNECTED},
        {"bind without descriptor", noDescriptor->Bind(kLoopback, 0, false, nullptr), NETWORK_BIND_FAILED},
        {"listen unbound", fresh->Listen(), NETWORK_SOCKET_NOT_SET_CORRECTLY},
        {"listen connected", pair.server->Listen(), NETWORK_SOCKET_NOT_SET_CORRECTLY},
        {"listen twice", pair.listener->Listen(), NETWORK_ALREADY_LISTENING},
        {"listen bound UDP", boundUdp->Listen(), NETWORK_NO_ERROR},
        {"send unconnected", fresh->Send(&byte, 1, count), NETWORK_SOCKET_NOT_SET_CORRECTLY},
        {"send nothing unconnected", fresh->Send(&byte, 0, count), NETWORK_SEND_FAILED},
        {"send nothing connected", pair.client->Send(&byte, 0, count), NETWORK_SEND_FAILED},
        {"send to on TCP", pair.client->SendTo(kLoopback, 1, &byte, 1, count),
         NETWORK_SOCKET_NOT_SET_CORRECTLY},
        {"receive unconnected", fresh->Receive(&count, 4, count, false), NETWORK_SOCKET_NOT_SET_CORRECTLY},
        {"receive from on TCP", pair.client->ReceiveFrom(&count, 4, count, ip, port, false),
         NETWORK_SOCKET_NOT_SET_CORRECTLY},
        {"accept unbound", fresh->Accept(accepted, false), NETWORK_SOCKET_NOT_SET_CORRECTLY},
        {"accept connected", pair.server->Accept(accepted, false), NETWORK_SOCKET_NOT_SET_CORRECTLY},
        {"accept bound, not listening", boundTcp->Accept(accepted, false), NETWORK_ACCEPT_FAILED},
        // A bound UDP socket may connect.
        {"connect a bound UDP socket", boundUdp->Connect(kLoopback, pair.port, true, 0), NETWORK_NO_ERROR},
    };
    for (const Row& row : rows)
    {
        EXPECT_EQ(row.result, row.expected) << row.name;
    }
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(accepted.Get(), nullptr);
    EXPECT_FALSE(boundUdp->IsListening());
    EXPECT_TRUE(boundUdp->IsConnected());
    EXPECT_TRUE(boundTcp->IsBound());
    EXPECT_FALSE(boundTcp->IsConnected());
    EXPECT_EQ(pair.client->GetPort(), pair.port);

    // What cannot be read reads as zero, never as stale bytes.
    unsigned int address = 0xFFFFFFFF;
    unsigned short local = 0xFFFF;
    EXPECT_EQ(noDescriptor->GetSockName(address, local), 0);
    EXPECT_EQ(address, 0u);
    EXPECT_EQ(local, 0);
    EXPECT_FALSE(noDescriptor->CallSelect(0, LNetworkSocket::WAIT_READ));
}

TEST(NetworkSocket, RefusedNonBlockingConnectFailsAtOnce)
{
    // A port nobody listens on: the connect is refused.
    const unsigned short port = TestPorts::GetFreeLoopbackPort();
    ASSERT_NE(port, 0);
    Socket socket = LNetworkSocket::Create(NETWORK_SOCKET_TCP);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(socket->Connect(kLoopback, port, false, LNetworkSocket::kConnectTimeoutMicroseconds),
              NETWORK_CONNECTION_FAILED);
    EXPECT_LT(SecondsSince(start), 0.9) << "the refusal is found by the first wait";
    EXPECT_FALSE(socket->IsConnected());
    EXPECT_FALSE(socket->IsBlocking());
    unsigned int sent = 0;
    const char byte = 'x';
    EXPECT_EQ(socket->Send(&byte, 1, sent), NETWORK_SOCKET_NOT_SET_CORRECTLY);
}

TEST(NetworkSocket, ConnectThatNeverCompletesFailsAfterItsTimeout)
{
    // A listener whose queue is full and that never accepts drops further SYNs.
    const int listener = TestPorts::RawBoundSocket(SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    ASSERT_EQ(listen(listener, 0), 0);
    const unsigned short port = TestPorts::BoundPort(listener);
    Socket filler = LNetworkSocket::Create(NETWORK_SOCKET_TCP);
    ASSERT_EQ(filler->Connect(kLoopback, port, true, 0), NETWORK_NO_ERROR);
    pollfd queued{listener, POLLIN, 0};
    ASSERT_EQ(poll(&queued, 1, 5000), 1) << "the filler's connection is queued";

    Socket socket = LNetworkSocket::Create(NETWORK_SOCKET_TCP);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(socket->Connect(kLoopback, port, false, LNetworkSocket::kConnectTimeoutMicroseconds),
              NETWORK_CONNECTION_FAILED);
    const double elapsed = SecondsSince(start);
    EXPECT_GE(elapsed, 1.9);
    EXPECT_LT(elapsed, 10.0);
    EXPECT_FALSE(socket->IsConnected());
    EXPECT_FALSE(socket->IsBlocking());
    EXPECT_EQ(socket->GetIPAddress(), kLoopback);
    EXPECT_EQ(socket->GetPort(), port);
    close(listener);
}

TEST(NetworkSocket, NonBlockingSendToAPeerThatStopsReadingFails)
{
    TcpPair pair = MakeTcpPair();
    const int small = 4096;
    EXPECT_EQ(pair.client->SetOption(KT::Platform::kSocketLevelSocket, KT::Platform::kSocketOptionSendBuffer,
                                     reinterpret_cast<const char*>(&small), sizeof(small)),
              NETWORK_NO_ERROR);
    EXPECT_EQ(pair.server->SetOption(KT::Platform::kSocketLevelSocket,
                                     KT::Platform::kSocketOptionReceiveBuffer,
                                     reinterpret_cast<const char*>(&small), sizeof(small)),
              NETWORK_NO_ERROR);
    pair.client->SetBlocking(false);
    EXPECT_FALSE(pair.client->IsBlocking());

    const std::vector<char> data(16 * 1024 * 1024, 'd');
    unsigned int sent = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(pair.client->Send(data.data(), static_cast<unsigned int>(data.size()), sent),
              NETWORK_SEND_FAILED);
    EXPECT_GE(SecondsSince(start), 0.45) << "two waits of 250 ms";
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, data.size());

    // What the count says went out is what the peer can read, and no more.
    std::vector<char> buffer(64 * 1024);
    std::size_t total = 0;
    unsigned int received = 0;
    while (total < sent && pair.server->ReceiveHasBytesReady(3000000))
    {
        ASSERT_EQ(
            pair.server->Receive(buffer.data(), static_cast<unsigned int>(buffer.size()), received, false),
            NETWORK_NO_ERROR);
        total += received;
    }
    EXPECT_EQ(total, sent);
    EXPECT_EQ(pair.server->Receive(buffer.data(), 1, received, false), NETWORK_NO_ERROR);
    EXPECT_EQ(received, 0u);
}

TEST(NetworkSocket, ReceiveTellsClosesFromEmptyReads)
{
    TcpPair pair = MakeTcpPair();
    char buffer[16];
    unsigned int received = 99;
    EXPECT_EQ(pair.server->Receive(buffer, sizeof(buffer), received, false), NETWORK_NO_ERROR);
    EXPECT_EQ(received, 0u);
    EXPECT_FALSE(pair.server->IsBlocking());

    SendText(pair.client, "ab");
    ASSERT_TRUE(pair.server->ReceiveHasBytesReady(1000000));
    // No room: nothing is read, and nothing reads as a close.
    EXPECT_EQ(pair.server->Receive(buffer, 0, received, true), NETWORK_NO_ERROR);
    EXPECT_EQ(received, 0u);
    EXPECT_TRUE(pair.server->IsBlocking());
    EXPECT_EQ(ReceiveText(pair.server), "ab");

    pair.client = nullptr;
    EXPECT_EQ(pair.server->Receive(buffer, sizeof(buffer), received, true), NETWORK_CONNECTION_CLOSED);
    EXPECT_EQ(pair.server->Receive(buffer, 0, received, true), NETWORK_NO_ERROR);
}

TEST(NetworkSocket, SendToAClosedPeerFailsAndTheProcessLives)
{
    TcpPair pair = MakeTcpPair();
    // A host may restore the default action, which ends the process on SIGPIPE.
    struct sigaction previous
    {
    };
    struct sigaction fallback
    {
    };
    fallback.sa_handler = SIG_DFL;
    ASSERT_EQ(sigaction(SIGPIPE, &fallback, &previous), 0);
    pair.server = nullptr;
    pair.listener = nullptr;
    NetworkError error = NETWORK_NO_ERROR;
    const char byte = 'x';
    for (int attempt = 0; attempt < 100 && error == NETWORK_NO_ERROR; ++attempt)
    {
        unsigned int sent = 0;
        error = pair.client->Send(&byte, 1, sent);
    }
    EXPECT_EQ(error, NETWORK_SEND_FAILED);
    sigaction(SIGPIPE, &previous, nullptr);
}

TEST(NetworkSocket, DescriptorsAboveTheSelectLimitWork)
{
    constexpr rlim_t kWanted = 1300;
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < kWanted)
    {
        GTEST_SKIP() << "the hard descriptor limit is " << limit.rlim_max;
    }
    const rlimit saved = limit;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < kWanted)
    {
        limit.rlim_cur = kWanted;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    // Take every descriptor up to 1100, so the sockets get higher ones.
    std::vector<int> fillers;
    for (int descriptor = open("/dev/null", O_RDONLY | O_CLOEXEC); descriptor >= 0 && descriptor < 1100;
         descriptor = open("/dev/null", O_RDONLY | O_CLOEXEC))
    {
        fillers.push_back(descriptor);
    }
    ASSERT_FALSE(fillers.empty());
    const int probe = fillers.back() + 1;
    {
        unsigned short port = 0;
        Socket listener = BoundSocket(NETWORK_SOCKET_TCP, port);
        ASSERT_NE(port, 0);
        ASSERT_EQ(listener->Listen(), NETWORK_NO_ERROR);
        for (const int filler : fillers)
        {
            close(filler);
        }
        fillers.clear();
        Socket client = LNetworkSocket::Create(NETWORK_SOCKET_TCP);
        ASSERT_EQ(client->Connect(kLoopback, port, false, LNetworkSocket::kConnectTimeoutMicroseconds),
                  NETWORK_NO_ERROR);
        EXPECT_TRUE(listener->ConnectionsReadyToAccept(1000000));
        LNetworkSocket::SocketList servers;
        ASSERT_GE(servers.AppendItem(listener), 0);
        LNetworkSocket::SocketList ready;
        EXPECT_TRUE(LNetworkSocket::ConnectionsReadyToAccept(servers, 1000000, ready));
        EXPECT_EQ(ready.GetCount(), 1);
        Socket server;
        ASSERT_EQ(listener->Accept(server, true), NETWORK_NO_ERROR);
        EXPECT_TRUE(client->CallSelect(1000000, LNetworkSocket::WAIT_WRITE));
        SendText(client, "high");
        EXPECT_TRUE(server->ReceiveHasBytesReady(1000000));
        EXPECT_EQ(ReceiveText(server), "high");
    }
    EXPECT_GE(probe, 1100) << "the sockets above got descriptors beyond 1024";
    setrlimit(RLIMIT_NOFILE, &saved);
}

TEST(NetworkSocket, ConnectionsReadyToAcceptListsTheReadyServersInOrder)
{
    unsigned short idlePort = 0;
    unsigned short busyPort = 0;
    unsigned short udpPort = 0;
    Socket idle = BoundSocket(NETWORK_SOCKET_TCP, idlePort);
    Socket busy = BoundSocket(NETWORK_SOCKET_TCP, busyPort);
    Socket udp = BoundSocket(NETWORK_SOCKET_UDP, udpPort, Hello());
    ASSERT_EQ(idle->Listen(), NETWORK_NO_ERROR);
    ASSERT_EQ(busy->Listen(), NETWORK_NO_ERROR);
    LNetworkSocket::SocketList servers;
    ASSERT_GE(servers.AppendItem(udp), 0);
    ASSERT_GE(servers.AppendItem(idle), 0);
    ASSERT_GE(servers.AppendItem(busy), 0);
    LNetworkSocket::SocketList ready;
    EXPECT_FALSE(LNetworkSocket::ConnectionsReadyToAccept(servers, 0, ready));
    EXPECT_EQ(ready.GetCount(), 0);
    EXPECT_FALSE(LNetworkSocket::ConnectionsReadyToAccept(LNetworkSocket::SocketList(), 0, ready));

    Socket client = LNetworkSocket::Create(NETWORK_SOCKET_TCP);
    ASSERT_EQ(client->Connect(kLoopback, busyPort, true, 0), NETWORK_NO_ERROR);
    Socket sender = LNetworkSocket::Create(NETWORK_SOCKET_UDP);
    unsigned int sent = 0;
    ASSERT_EQ(sender->SendTo(kLoopback, udpPort, "x", 1, sent), NETWORK_NO_ERROR);

    ASSERT_TRUE(busy->ConnectionsReadyToAccept(1000000));
    ASSERT_TRUE(udp->ConnectionsReadyToAccept(1000000));
    EXPECT_TRUE(LNetworkSocket::ConnectionsReadyToAccept(servers, 1000000, ready));
    ASSERT_EQ(ready.GetCount(), 2);
    EXPECT_EQ(ready[0].Get(), udp.Get());
    EXPECT_EQ(ready[1].Get(), busy.Get());
    EXPECT_FALSE(idle->ConnectionsReadyToAccept(0));
    EXPECT_FALSE(client->ConnectionsReadyToAccept(0)) << "a connected socket accepts nothing";
}

TEST(NetworkSocket, UdpAcceptAnswersOnlyTheExactHello)
{
    unsigned short serverPort = 0;
    Socket server = BoundSocket(NETWORK_SOCKET_UDP, serverPort, Hello());
    ASSERT_NE(serverPort, 0);
    ASSERT_EQ(server->Listen(), NETWORK_NO_ERROR);

    // The hello: answered with itself from a new socket connected to the client.
    Socket client = LNetworkSocket::Create(NETWORK_SOCKET_UDP);
    unsigned int sent = 0;
    ASSERT_EQ(client->SendTo(kLoopback, serverPort, NetworkWireFormat::CLIENT_COOKIE.mBytes, 16, sent),
              NETWORK_NO_ERROR);
    Socket accepted;
    ASSERT_EQ(server->Accept(accepted, true), NETWORK_NO_ERROR);
    ASSERT_NE(accepted.Get(), nullptr);
    EXPECT_TRUE(accepted->IsConnected());
    unsigned int clientAddress = 0;
    unsigned short clientPort = 0;
    client->GetSockName(clientAddress, clientPort);
    EXPECT_EQ(accepted->GetIPAddress(), kLoopback);
    EXPECT_EQ(accepted->GetPort(), clientPort);
    unsigned int answerAddress = 0;
    unsigned short answerPort = 0;
    accepted->GetSockName(answerAddress, answerPort);
    EXPECT_NE(answerPort, serverPort);

    unsigned char answer[32] = {};
    unsigned int received = 0;
    unsigned int from = 0;
    unsigned short fromPort = 0;
    ASSERT_TRUE(client->ReceiveHasBytesReady(1000000));
    ASSERT_EQ(client->ReceiveFrom(answer, sizeof(answer), received, from, fromPort, true), NETWORK_NO_ERROR);
    EXPECT_EQ(received, 16u);
    EXPECT_EQ(std::memcmp(answer, NetworkWireFormat::CLIENT_COOKIE.mBytes, 16), 0);
    EXPECT_EQ(from, kLoopback);
    EXPECT_EQ(fromPort, answerPort);

    // Anything else: no socket, nothing sent back.
    std::vector<unsigned char> longer(NetworkWireFormat::CLIENT_COOKIE.mBytes,
                                      NetworkWireFormat::CLIENT_COOKIE.mBytes + 16);
    longer.push_back(0);
    std::vector<unsigned char> wrong = longer;
    wrong.pop_back();
    wrong[15] = 0x12;
    const std::vector<unsigned char> shorter(longer.begin(), longer.begin() + 15);
    for (const auto& datagram : {longer, wrong, shorter})
    {
        ASSERT_EQ(client->SendTo(kLoopback, serverPort, datagram.data(),
                                 static_cast<unsigned int>(datagram.size()), sent),
                  NETWORK_NO_ERROR);
        EXPECT_EQ(server->Accept(accepted, true), NETWORK_ACCEPT_FAILED) << datagram.size() << " bytes";
        EXPECT_EQ(accepted.Get(), nullptr);
    }
    EXPECT_FALSE(client->ReceiveHasBytesReady(100000));

    // A server bound without a hello would take any datagram for a client.
    unsigned short barePort = 0;
    Socket bare = BoundSocket(NETWORK_SOCKET_UDP, barePort);
    ASSERT_EQ(client->SendTo(kLoopback, barePort, NetworkWireFormat::CLIENT_COOKIE.mBytes, 16, sent),
              NETWORK_NO_ERROR);
    EXPECT_EQ(bare->Accept(accepted, false), NETWORK_ACCEPT_FAILED);
    EXPECT_EQ(accepted.Get(), nullptr);
}

TEST(NetworkSocket, EmptyDatagramsAreReadWithTheirSender)
{
    unsigned short port = 0;
    Socket server = BoundSocket(NETWORK_SOCKET_UDP, port);
    const int raw = TestPorts::RawBoundSocket(SOCK_DGRAM, 0);
    ASSERT_GE(raw, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl(kLoopback);
    target.sin_port = htons(port);
    ASSERT_EQ(sendto(raw, "", 0, 0, reinterpret_cast<const sockaddr*>(&target), sizeof(target)), 0);

    char buffer[8];
    unsigned int received = 99;
    unsigned int from = 0;
    unsigned short fromPort = 0;
    ASSERT_EQ(server->ReceiveFrom(buffer, sizeof(buffer), received, from, fromPort, true), NETWORK_NO_ERROR);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(from, kLoopback);
    EXPECT_EQ(fromPort, TestPorts::BoundPort(raw));

    // Nothing queued, non-blocking: 0 bytes and the sender outputs untouched.
    from = 1;
    fromPort = 1;
    EXPECT_EQ(server->ReceiveFrom(buffer, sizeof(buffer), received, from, fromPort, false), NETWORK_NO_ERROR);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(from, 1u);
    EXPECT_EQ(fromPort, 1);

    // On a connected UDP socket an empty datagram is no close.
    Socket connected = LNetworkSocket::Create(NETWORK_SOCKET_UDP);
    ASSERT_EQ(connected->Connect(kLoopback, TestPorts::BoundPort(raw), true, 0), NETWORK_NO_ERROR);
    unsigned int localAddress = 0;
    unsigned short localPort = 0;
    connected->GetSockName(localAddress, localPort);
    target.sin_port = htons(localPort);
    ASSERT_EQ(sendto(raw, "", 0, 0, reinterpret_cast<const sockaddr*>(&target), sizeof(target)), 0);
    ASSERT_TRUE(connected->ReceiveHasBytesReady(1000000));
    EXPECT_EQ(connected->Receive(buffer, sizeof(buffer), received, true), NETWORK_NO_ERROR);
    EXPECT_EQ(received, 0u);
    close(raw);
}

TEST(NetworkSocket, BindStopsWhereItMust)
{
    const int taken = TestPorts::RawBoundSocket(SOCK_STREAM, 0);
    ASSERT_GE(taken, 0);
    const unsigned short busy = TestPorts::BoundPort(taken);

    Socket single = LNetworkSocket::Create(NETWORK_SOCKET_TCP);
    EXPECT_EQ(single->Bind(kLoopback, busy, false, nullptr), NETWORK_BIND_FAILED);
    EXPECT_EQ(single->GetPort(), busy) << "one try only";
    EXPECT_FALSE(single->IsBound());

    Socket following = LNetworkSocket::Create(NETWORK_SOCKET_TCP);
    const unsigned short next = TestPorts::FirstFreePort(static_cast<unsigned short>(busy + 1), SOCK_STREAM);
    EXPECT_EQ(following->Bind(kLoopback, busy, true, nullptr), NETWORK_NO_ERROR);
    EXPECT_EQ(following->GetPort(), next);

    // Not an address of this host: the search ends at the first try.
    Socket foreign = LNetworkSocket::Create(NETWORK_SOCKET_TCP);
    EXPECT_EQ(foreign->Bind(0xC0000201, busy, true, nullptr), NETWORK_BIND_FAILED);
    EXPECT_EQ(foreign->GetPort(), busy);
    close(taken);

    // The search ends at the last port rather than going on at port 0.
    const int last = TestPorts::RawBoundSocket(SOCK_STREAM, 65535);
    if (last < 0)
    {
        GTEST_SKIP() << "port 65535 is in use";
    }
    Socket top = LNetworkSocket::Create(NETWORK_SOCKET_TCP);
    EXPECT_EQ(top->Bind(kLoopback, 65535, true, nullptr), NETWORK_BIND_FAILED);
    EXPECT_EQ(top->GetPort(), 65535);
    unsigned int address = 1;
    unsigned short port = 1;
    top->GetSockName(address, port);
    EXPECT_EQ(port, 0) << "nothing was bound";
    close(last);
}

// A server that closes its connections first leaves them in TIME_WAIT on its
// port. Started again, it binds that port at once; a second live server on it
// is still refused.
TEST(NetworkSocket, AServerBindsItsPortAgainWhileItsOldConnectionsLinger)
{
    unsigned short port = 0;
    {
        TcpPair pair = MakeTcpPair();
        port = pair.port;
        pair.server = Socket();
        pair.client = Socket();
        pair.listener = Socket();
    }
    Socket again = LNetworkSocket::Create(NETWORK_SOCKET_TCP);
    ASSERT_EQ(again->Bind(kLoopback, port, false, nullptr), NETWORK_NO_ERROR);
    ASSERT_EQ(again->Listen(), NETWORK_NO_ERROR);
    Socket second = LNetworkSocket::Create(NETWORK_SOCKET_TCP);
    EXPECT_EQ(second->Bind(kLoopback, port, false, nullptr), NETWORK_BIND_FAILED);
}

// Signals that the host's handlers catch, arriving while the socket waits,
// neither end the wait nor the receive.
TEST(NetworkSocket, SignalsDoNotEndWaitsOrReceives)
{
    static std::atomic<int> sSignals{0};
    struct sigaction handler
    {
    };
    handler.sa_handler = [](int) { sSignals.fetch_add(1); };
    sigemptyset(&handler.sa_mask);
    handler.sa_flags = 0; // no SA_RESTART: every call is interrupted
    struct sigaction previous
    {
    };
    ASSERT_EQ(sigaction(SIGALRM, &handler, &previous), 0);

    TcpPair pair = MakeTcpPair();
    // The writer blocks the signal, so it reaches the waiting thread.
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
    std::thread writer(
        [&]
        {
            for (const char* text : {"a", "b"})
            {
                const int target = sSignals.load() + 10;
                for (int waited = 0; sSignals.load() < target && waited < 10000; ++waited)
                {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                SendText(pair.client, text);
            }
        });
    pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
    itimerval every{{0, 2000}, {0, 2000}};
    setitimer(ITIMER_REAL, &every, nullptr);

    EXPECT_TRUE(pair.server->ReceiveHasBytesReady(10000000));
    EXPECT_EQ(ReceiveText(pair.server, 1), "a");
    EXPECT_EQ(ReceiveText(pair.server, 1), "b");

    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    writer.join();
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GE(sSignals.load(), 20);
}

TEST(NetworkSocketDefaultPort, BindToPortZeroSearchesFromTheDefaultPort)
{
    const unsigned short first = TestPorts::FirstFreePort(LNetworkSocket::kDefaultPort, SOCK_STREAM);
    ASSERT_NE(first, 0);
    // A live server holds the port against any bind; the port may still hold
    // connections in TIME_WAIT from earlier tests.
    const int taken = TestPorts::RawBoundSocket(SOCK_STREAM, first, true);
    ASSERT_GE(taken, 0);
    ASSERT_EQ(listen(taken, 1), 0);
    const unsigned short expected =
        TestPorts::FirstFreePort(static_cast<unsigned short>(first + 1), SOCK_STREAM);
    Socket socket = LNetworkSocket::Create(NETWORK_SOCKET_TCP);
    EXPECT_EQ(socket->Bind(kLoopback, 0, false, nullptr), NETWORK_NO_ERROR);
    EXPECT_EQ(socket->GetPort(), expected);
    unsigned int address = 0;
    unsigned short port = 0;
    socket->GetSockName(address, port);
    EXPECT_EQ(port, expected);
    close(taken);
}

TEST(NetworkSocketDefaultPort, ConnectToZeroGoesToTheDefaultPortOnLoopback)
{
    const int listener = TestPorts::RawBoundSocket(SOCK_STREAM, LNetworkSocket::kDefaultPort);
    if (listener >= 0)
    {
        ASSERT_EQ(listen(listener, 1), 0);
        Socket socket = LNetworkSocket::Create(NETWORK_SOCKET_TCP);
        EXPECT_EQ(socket->Connect(0, 0, true, 0), NETWORK_NO_ERROR);
        EXPECT_EQ(socket->GetIPAddress(), kLoopback);
        EXPECT_EQ(socket->GetPort(), LNetworkSocket::kDefaultPort);
        close(listener);
    }
    // Refused or not, the address and port used are kept.
    Socket refused = LNetworkSocket::Create(NETWORK_SOCKET_TCP);
    const NetworkError error = refused->Connect(0, 0, true, 0);
    if (listener >= 0)
    {
        EXPECT_EQ(error, NETWORK_CONNECTION_FAILED);
    }
    EXPECT_EQ(refused->GetIPAddress(), kLoopback);
    EXPECT_EQ(refused->GetPort(), LNetworkSocket::kDefaultPort);
}
