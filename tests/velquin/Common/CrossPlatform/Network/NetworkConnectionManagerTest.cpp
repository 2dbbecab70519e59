// The accepting side: hellos over TCP, dual sockets and UDP from raw clients,
// the port the manager takes, stopping and releasing it, and the host's
// primary MAC address.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "ConnectionTestSupport.h"
#include "Platform/NetworkInterfaces.h"
#include "support/RawUdpPeer.h"
#include "support/TestPorts.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnectionManager.h"

namespace
{

using ConnectionTest::Bytes;
using ConnectionTest::kLoopback;
using RawPeer::kBound;
using namespace std::chrono_literals;

// Records the connections the manager hands over; optionally drops the last
// outside reference to the manager from inside the callback.
class LConnections : public LNetworkConnectionReceivedCallbackInterface
{
public:
    static KT::RCPtr<LConnections> Create() { return KT::RCPtr<LConnections>(new LConnections); }

    void ReceivedConnectionCallback(const KT::RCPtr<LNetworkConnection>& connection) override
    {
        KT::RCPtr<LNetworkConnectionManager> released;
        std::lock_guard<std::mutex> guard(mLock);
        mConnections.push_back(connection);
        mThread = std::this_thread::get_id();
        released.SwapReference(mReleaseInCallback);
        mChanged.notify_all();
    }

    bool WaitFor(std::size_t count, std::chrono::milliseconds bound = kBound)
    {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, bound, [&] { return mConnections.size() >= count; });
    }
    std::size_t Count()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mConnections.size();
    }
    KT::RCPtr<LNetworkConnection> At(std::size_t index)
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mConnections.at(index);
    }
    void ReleaseInCallback(KT::RCPtr<LNetworkConnectionManager>& manager)
    {
        std::lock_guard<std::mutex> guard(mLock);
        mReleaseInCallback.SwapReference(manager);
    }
    // Closes what was handed over, so that the connections end.
    void CloseAll()
    {
        std::vector<KT::RCPtr<LNetworkConnection>> connections;
        {
            std::lock_guard<std::mutex> guard(mLock);
            connections.swap(mConnections);
        }
        for (const KT::RCPtr<LNetworkConnection>& connection : connections)
        {
            connection->CloseConnection();
        }
    }
    ~LConnections() override { CloseAll(); }

private:
    std::mutex mLock;
    std::condition_variable mChanged;
    std::vector<KT::RCPtr<LNetworkConnection>> mConnections;
    std::thread::id mThread;
    KT::RCPtr<LNetworkConnectionManager> mReleaseInCallback;
};

// A manager on a free loopback port.
struct Served
{
    Served()
    {
        callback = LConnections::Create();
        port = TestPorts::BindOnFreePort(
            [&](unsigned short candidate)
            {
                manager = LNetworkConnectionManager::Create(
                    KT::RCPtr<LNetworkConnectionReceivedCallbackInterface>(callback.Get()), kLoopback,
                    candidate, false);
                return manager.GetRaw() != nullptr;
            });
    }
    ~Served()
    {
        manager.SetNull();
        callback->CloseAll();
    }

    KT::RCPtr<LConnections> callback;
    KT::RCPtr<LNetworkConnectionManager> manager;
    unsigned short port = 0;
};

Bytes ClientCookie()
{
    return Bytes(RawPeer::kClientCookie.begin(), RawPeer::kClientCookie.end());
}

Bytes DualHello(std::uint16_t udpPort)
{
    Bytes hello(RawPeer::kClientCookieDualSockets.begin(), RawPeer::kClientCookieDualSockets.end());
    hello.push_back(static_cast<std::uint8_t>(udpPort));
    hello.push_back(static_cast<std::uint8_t>(udpPort >> 8));
    return hello;
}

// A raw TCP client of the manager: connects, then sends what the test says.
int ConnectRaw(unsigned short port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
    {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendRaw(int fd, const Bytes& bytes)
{
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// Reads what arrives within the bound: up to size bytes, or less when the
// stream ends; the flag tells whether it ended.
Bytes ReadRaw(int fd, std::size_t size, bool& ended, std::chrono::milliseconds bound = kBound)
{
    timeval limit{static_cast<time_t>(bound.count() / 1000),
                  static_cast<suseconds_t>(bound.count() % 1000 * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    Bytes bytes(size);
    std::size_t held = 0;
    ended = false;
    while (held < size)
    {
        const ssize_t got = ::recv(fd, bytes.data() + held, size - held, 0);
        if (got <= 0)
        {
            ended = got == 0 || errno == ECONNRESET;
            break;
        }
        held += static_cast<std::size_t>(got);
    }
    bytes.resize(held);
    return bytes;
}

// The TCP_NODELAY setting of this process's socket connected from localPort
// to remotePort, found among its descriptors; -1 when there is none.
int NoDelayOfSocket(unsigned short localPort, unsigned short remotePort)
{
    for (int fd = 0; fd < 4096; ++fd)
    {
        sockaddr_in local{};
        sockaddr_in remote{};
        socklen_t length = sizeof(local);
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
            local.sin_family != AF_INET)
        {
            continue;
        }
        length = sizeof(remote);
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &length) != 0 ||
            ntohs(local.sin_port) != localPort || ntohs(remote.sin_port) != remotePort)
        {
            continue;
        }
        int value = 0;
        length = sizeof(value);
        if (::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &length) == 0)
        {
            return value;
        }
    }
    return -1;
}

unsigned short LocalPort(int fd)
{
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

TEST(NetworkConnectionManager, ATcpHelloWithinTheWindowGivesOneConnectionWithNoDelay)
{
    Served served;
    ASSERT_NE(served.port, 0);
    const int client = ConnectRaw(served.port);
    ASSERT_GE(client, 0);
    // The hello in two pieces, and the client's first message in the segment
    // of the second: the manager gathers the one and leaves the other.
    const Bytes cookie = ClientCookie();
    Bytes rest(cookie.begin() + 8, cookie.end());
    const Bytes message = RawPeer::RawFrame::Plain(3, 0, {9, 8, 7}).Encode();
    rest.insert(rest.end(), message.begin(), message.end());
    ASSERT_TRUE(SendRaw(client, Bytes(cookie.begin(), cookie.begin() + 8)));
    std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(SendRaw(client, rest));

    ASSERT_TRUE(served.callback->WaitFor(1));
    KT::RCPtr<LNetworkConnection> connection = served.callback->At(0);
    EXPECT_EQ(connection->GetConnectionType(), LNetworkConnection::CONNECTION_DATA_SOCKET);
    KT::RCPtr<LNetworkSocket> socket = connection->GetNetworkSocket(false);
    ASSERT_FALSE(!socket);
    EXPECT_EQ(socket->GetSocketType(), NETWORK_SOCKET_TCP);
    EXPECT_EQ(NoDelayOfSocket(served.port, LocalPort(client)), 1);

    KT::RCPtr<ConnectionTest::LRecordingCallback> recorder = ConnectionTest::LRecordingCallback::Create();
    ASSERT_EQ(connection->SetCallback(KT::RCPtr<LNetworkConnectionCallbackInterface>(recorder.Get()),
                                      NETWORK_CHANNEL_3),
              0);
    ASSERT_TRUE(recorder->WaitFor(1));
    EXPECT_EQ(recorder->Deliveries()[0].payload, Bytes({9, 8, 7}));
    EXPECT_EQ(connection->RemoveCallback(KT::RCPtr<LNetworkConnectionCallbackInterface>(recorder.Get()),
                                         NETWORK_CHANNEL_3),
              0);
    ::close(client);
    EXPECT_EQ(served.callback->Count(), 1u);
}

TEST(NetworkConnectionManager, LateWrongOrShortHellosAreDroppedWithoutACallback)
{
    Served served;
    ASSERT_NE(served.port, 0);
    struct Case
    {
        const char* name;
        Bytes hello;
        bool late; // stay silent until the manager gives up on the client, then send
    };
    const Bytes cookie = ClientCookie();
    Bytes wrong = cookie;
    wrong[15] = 0x13;
    const Case cases[] = {
        {"after the window", cookie, true},
        {"wrong cookie", wrong, false},
        {"fifteen bytes", Bytes(cookie.begin(), cookie.end() - 1), false},
        {"dual hello without its port",
         Bytes(RawPeer::kClientCookieDualSockets.begin(), RawPeer::kClientCookieDualSockets.end()), false},
        {"dual hello naming port 0", DualHello(0), false},
    };
    for (const Case& c : cases)
    {
        const int client = ConnectRaw(served.port);
        ASSERT_GE(client, 0) << c.name;
        bool ended = false;
        if (c.late)
        {
            // A silent client is closed once its hello window has passed; a
            // hello sent after that must make no connection. Waiting for the
            // close, rather than a fixed delay, keeps this true under load.
            const Bytes nothing = ReadRaw(client, 1, ended);
            EXPECT_TRUE(ended) << c.name;
            EXPECT_TRUE(nothing.empty()) << c.name;
        }
        // The send may fail on a socket the manager already closed.
        static_cast<void>(SendRaw(client, c.hello));
        // The manager closes a refused client's socket.
        const Bytes answer = ReadRaw(client, 1, ended);
        EXPECT_TRUE(ended) << c.name;
        EXPECT_TRUE(answer.empty()) << c.name;
        ::close(client);
    }
    EXPECT_EQ(served.callback->Count(), 0u);
}

TEST(NetworkConnectionManager, ADualHelloIsAnsweredWithTheNewUdpPortAndGivesADualConnection)
{
    Served served;
    ASSERT_NE(served.port, 0);
    RawPeer::RawUdpPeer udp;
    const int client = ConnectRaw(served.port);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(SendRaw(client, DualHello(udp.Port())));

    bool ended = false;
    const Bytes answer = ReadRaw(client, 18, ended);
    ASSERT_EQ(answer.size(), 18u);
    EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 16),
              Bytes(RawPeer::kClientCookieDualSockets.begin(), RawPeer::kClientCookieDualSockets.end()));
    const std::uint16_t serverUdpPort = static_cast<std::uint16_t>(answer[16] | answer[17] << 8);
    EXPECT_NE(serverUdpPort, 0);
    EXPECT_NE(serverUdpPort, served.port);

    ASSERT_TRUE(served.callback->WaitFor(1));
    KT::RCPtr<LNetworkConnection> connection = served.callback->At(0);
    EXPECT_EQ(connection->GetConnectionType(), LNetworkConnection::CONNECTION_DUAL_SOCKETS);
    EXPECT_EQ(connection->GetNetworkSocket(false)->GetSocketType(), NETWORK_SOCKET_UDP);
    EXPECT_EQ(connection->GetNetworkSocket(true)->GetSocketType(), NETWORK_SOCKET_TCP);
    EXPECT_EQ(NoDelayOfSocket(served.port, LocalPort(client)), 1);

    // Channel 1 runs reliably over UDP from the new port; its acknowledgement
    // comes back over TCP.
    KT::RCPtr<ConnectionTest::LRecordingCallback> recorder = ConnectionTest::LRecordingCallback::Create();
    ASSERT_EQ(connection->SetCallback(KT::RCPtr<LNetworkConnectionCallbackInterface>(recorder.Get()),
                                      NETWORK_CHANNEL_1),
              0);
    ASSERT_TRUE(udp.ConnectTo(serverUdpPort));
    RawPeer::RawFrame frame = RawPeer::RawFrame::Plain(1, 0, {5, 6});
    frame.multipartMsgCount = 1;
    ASSERT_TRUE(udp.Send(frame));
    ASSERT_TRUE(recorder->WaitFor(1));
    EXPECT_EQ(recorder->Deliveries()[0].payload, Bytes({5, 6}));
    const Bytes ack = ReadRaw(client, 60, ended);
    EXPECT_EQ(ack, RawPeer::ControlFrame(5, 1, 0).Encode());
    EXPECT_EQ(connection->RemoveCallback(KT::RCPtr<LNetworkConnectionCallbackInterface>(recorder.Get()),
                                         NETWORK_CHANNEL_1),
              0);
    ::close(client);
}

TEST(NetworkConnectionManager, AUdpHelloIsAnsweredFromANewPortAndOtherDatagramsAreIgnored)
{
    Served served;
    ASSERT_NE(served.port, 0);
    RawPeer::RawUdpPeer stranger;
    Bytes longer = ClientCookie();
    longer.push_back(0);
    for (const Bytes& datagram : {Bytes({1, 2, 3}), longer, RawPeer::RawFrame::Plain(1, 0, {1}).Encode()})
    {
        ASSERT_TRUE(stranger.SendTo(served.port, datagram));
    }

    RawPeer::RawUdpPeer client;
    ASSERT_TRUE(client.SendHello(served.port, ClientCookie()));
    EXPECT_EQ(client.HelloAnswer(), ClientCookie());
    EXPECT_NE(client.HelloAnswerPort(), served.port);
    ASSERT_TRUE(served.callback->WaitFor(1));
    KT::RCPtr<LNetworkConnection> connection = served.callback->At(0);
    EXPECT_EQ(connection->GetConnectionType(), LNetworkConnection::CONNECTION_DATA_SOCKET);
    EXPECT_EQ(connection->GetNetworkSocket(false)->GetSocketType(), NETWORK_SOCKET_UDP);
    EXPECT_TRUE(connection->IsChannelReliable(NETWORK_CHANNEL_0));

    // Nothing answered the stranger, and only the client got a connection.
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(stranger.Datagrams().empty());
    EXPECT_EQ(served.callback->Count(), 1u);
}

TEST(NetworkConnectionManager, AfterStoppingNoCallbackIsMadeOnceThePassEnds)
{
    Served served;
    ASSERT_NE(served.port, 0);
    served.manager->StopWaitingForConnections();
    LNetworkSocket::SocketList sockets(0, 0);
    EXPECT_FALSE(served.manager->GetServerSockets(sockets));
    ASSERT_EQ(sockets.GetCount(), 2);
    EXPECT_TRUE(!sockets[0] && !sockets[1]);

    // The pass under way ends within its poll; later clients find no one.
    std::this_thread::sleep_for(
        std::chrono::microseconds(LNetworkConnectionManager::kAcceptPollMicroseconds) + 100ms);
    const int client = ConnectRaw(served.port);
    if (client >= 0)
    {
        SendRaw(client, ClientCookie());
        ::close(client);
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(served.callback->Count(), 0u);
}

TEST(NetworkConnectionManager, TheOwnersLastReleaseStopsItEvenFromInsideTheCallback)
{
    // Released from the test's thread: the release waits for the thread, after
    // which the manager has let go of the callback.
    {
        Served served;
        ASSERT_NE(served.port, 0);
        EXPECT_EQ(served.callback->GetReferenceCount(), 2);
        served.manager.SetNull();
        EXPECT_EQ(served.callback->GetReferenceCount(), 1);
    }
    // Released by the callback on the manager's thread: the thread ends its
    // pass on live memory and frees the manager itself.
    Served served;
    ASSERT_NE(served.port, 0);
    served.callback->ReleaseInCallback(served.manager);
    const int client = ConnectRaw(served.port);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(SendRaw(client, ClientCookie()));
    ASSERT_TRUE(served.callback->WaitFor(1));
    EXPECT_TRUE(ConnectionTest::Eventually([&] { return served.callback->GetReferenceCount() == 1; }));
    ::close(client);
}

TEST(NetworkConnectionManager, ANullCallbackIsRefused)
{
    // Its thread would call through the callback at the first client.
    const unsigned short port = TestPorts::GetFreeLoopbackPort();
    ASSERT_NE(port, 0);
    EXPECT_TRUE(!LNetworkConnectionManager::Create(KT::RCPtr<LNetworkConnectionReceivedCallbackInterface>(),
                                                   kLoopback, port, false));
}

TEST(NetworkConnectionManagerDefaultPort, PortZeroTakesTheFirstFreeTcpPortWhichUdpMustHaveToo)
{
    KT::RCPtr<LConnections> callback = LConnections::Create();
    const KT::RCPtr<LNetworkConnectionReceivedCallbackInterface> receiver(callback.Get());
    const unsigned short expected = TestPorts::FirstFreePort(TestPorts::kDefaultRangeFirst, SOCK_STREAM);
    ASSERT_NE(expected, 0);
    {
        KT::RCPtr<LNetworkConnectionManager> manager =
            LNetworkConnectionManager::Create(receiver, kLoopback, 0, false);
        ASSERT_FALSE(!manager);
        LNetworkSocket::SocketList sockets(0, 0);
        ASSERT_TRUE(manager->GetServerSockets(sockets));
        EXPECT_EQ(sockets[0]->GetPort(), expected);
        EXPECT_EQ(sockets[1]->GetPort(), expected);
    }
    // With that port taken for UDP alone, the manager does not look further.
    const int udp = TestPorts::RawBoundSocket(SOCK_DGRAM, expected);
    ASSERT_GE(udp, 0);
    EXPECT_TRUE(!LNetworkConnectionManager::Create(receiver, kLoopback, 0, false));
    EXPECT_TRUE(!LNetworkConnectionManager::Create(receiver, kLoopback, expected, true));
    ::close(udp);
}

TEST(NetworkConnectionManager, PacksThePrimaryMacAddressLowByteFirst)
{
    static std::vector<KT::Platform::NetworkInterfaceEntry> sEntries;
    KT::Platform::SetNetworkInterfaceSource(
        [](std::vector<KT::Platform::NetworkInterfaceEntry>& entries)
        {
            entries = sEntries;
            return true;
        });
    Served served;
    ASSERT_NE(served.port, 0);
    KT::Platform::NetworkInterfaceEntry ethernet;
    ethernet.name = "eth0";
    ethernet.index = 2;
    ethernet.kind = KT::Platform::NetworkInterfaceEntry::kHardware;
    ethernet.hardwareType = KT::Platform::kHardwareTypeEthernet;
    ethernet.hardwareAddress = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    sEntries = {ethernet};
    EXPECT_EQ(served.manager->GetPrimaryMacAddress(), 0x060504030201u);
    sEntries.clear();
    EXPECT_EQ(served.manager->GetPrimaryMacAddress(), 0u);
    KT::Platform::SetNetworkInterfaceSource(nullptr);
}

} // namespace
