#include "velquin/Common/CrossPlatform/Network/NetworkConnectionManager.h"

#include <cstring>

#include "Platform/ByteOrder.h"
#include "Platform/MonotonicClock.h"
#include "Platform/Socket.h"

namespace
{

void SetNoDelay(LNetworkSocket& socket)
{
    const int noDelay = 1;
    static_cast<void>(socket.SetOption(KT::Platform::kSocketLevelTcp, KT::Platform::kSocketOptionTcpNoDelay,
                                       reinterpret_cast<const char*>(&noDelay), sizeof(noDelay)));
}

} // namespace

// ---- Creation and stopping

KT::RCPtr<LNetworkConnectionManager>
LNetworkConnectionManager::Create(const KT::RCPtr<LNetworkConnectionReceivedCallbackInterface>& callback,
                                  unsigned int ip, unsigned short port, bool tryFollowingPorts)
{
    // The thread calls through the callback for every client it accepts.
    if (!callback)
    {
        return KT::RCPtr<LNetworkConnectionManager>();
    }
    KT::RCPtr<LNetworkSocket> tcpSocket = LNetworkSocket::Create(NETWORK_SOCKET_TCP);
    KT::RCPtr<LNetworkSocket> udpSocket = LNetworkSocket::Create(NETWORK_SOCKET_UDP);
    KT::RCPtr<KT::LIBuffer> hello = KT::LBufferT<16, 0>::Create(LNetworkConnection::kHelloSize, 0, true);
    std::memcpy(hello->GetRawPtr(), LNetworkConnection::CLIENT_COOKIE.mBytes, LNetworkConnection::kHelloSize);

    if (tcpSocket->Bind(ip, port, tryFollowingPorts, hello) != NETWORK_NO_ERROR)
    {
        return KT::RCPtr<LNetworkConnectionManager>();
    }
    // UDP takes the port TCP found, or the manager fails: clients reach both
    // on one port.
    const unsigned short tcpPort = tcpSocket->GetPort();
    if (udpSocket->Bind(ip, tcpPort, tryFollowingPorts, hello) != NETWORK_NO_ERROR ||
        udpSocket->GetPort() != tcpPort || tcpSocket->Listen() != NETWORK_NO_ERROR)
    {
        return KT::RCPtr<LNetworkConnectionManager>();
    }
    KT::RCPtr<LNetworkConnectionManager> manager(
        new LNetworkConnectionManager(callback, tcpSocket, udpSocket));
    if (!manager->Start())
    {
        return KT::RCPtr<LNetworkConnectionManager>();
    }
    return manager;
}

LNetworkConnectionManager::LNetworkConnectionManager(
    const KT::RCPtr<LNetworkConnectionReceivedCallbackInterface>& callback,
    const KT::RCPtr<LNetworkSocket>& tcpSocket, const KT::RCPtr<LNetworkSocket>& udpSocket)
    : mCallback(callback), mThread(&LNetworkConnectionManager::ConnectionThreadWorker, this)
{
    KT::AutolockT<KT::Mutex> guard(mMutex);
    mServerSockets[kTcpServer] = tcpSocket;
    mServerSockets[kUdpServer] = udpSocket;
}

LNetworkConnectionManager::~LNetworkConnectionManager()
{
    StopWaitingForConnections();
    // The thread held a reference until it ended, so it has ended or is
    // ending; on the thread itself the wait returns at once.
    mThread.WaitForDeath(KT::Thread::GetStopTimeoutMs());
}

bool LNetworkConnectionManager::Start()
{
    // The thread's own reference, given up here and taken over by the thread;
    // counted as contained so that the owner's last release still stops it.
    LNetworkConnectionManager* const threadReference = KT::RCPtr<LNetworkConnectionManager>(this).LeakRef();
    ModifyNumContainedReferences(1);
    if (!mThread.Execute())
    {
        ModifyNumContainedReferences(-1);
        static_cast<void>(KT::AdoptRef(threadReference));
        return false;
    }
    return true;
}

int LNetworkConnectionManager::RemoveContainedReferences()
{
    StopWaitingForConnections();
    // Released on the thread (from a callback), the thread ends its pass and
    // frees the manager itself; it must not wait for itself.
    if (!mThread.IsCallingThread())
    {
        mThread.WaitForDeath(KT::Thread::GetStopTimeoutMs());
    }
    return LRefCountedObject::RemoveContainedReferences();
}

void LNetworkConnectionManager::StopWaitingForConnections()
{
    // Released after the mutex: the last release closes a socket.
    KT::RCPtr<LNetworkSocket> released[kServerSocketCount];
    KT::AutolockT<KT::Mutex> guard(mMutex);
    for (int i = 0; i < kServerSocketCount; ++i)
    {
        released[i].SwapReference(mServerSockets[i]);
    }
}

bool LNetworkConnectionManager::GetServerSockets(LNetworkSocket::SocketList& sockets)
{
    if (sockets.SetCount(kServerSocketCount) < 0)
    {
        return false;
    }
    KT::AutolockT<KT::Mutex> guard(mMutex);
    for (int i = 0; i < kServerSocketCount; ++i)
    {
        sockets[i] = mServerSockets[i];
    }
    return mServerSockets[kTcpServer].GetRaw() != nullptr && mServerSockets[kUdpServer].GetRaw() != nullptr;
}

std::uint64_t LNetworkConnectionManager::GetPrimaryMacAddress() const
{
    NetworkMACAddress address{};
    if (LNetworkSocket::GetPrimaryMacAddress(address) != NETWORK_NO_ERROR)
    {
        return 0;
    }
    return KT::ReadLE(address.mBytes, sizeof(address.mBytes));
}

// ---- The thread

void* LNetworkConnectionManager::ConnectionThreadWorker(void* manager)
{
    if (manager == nullptr)
    {
        return nullptr;
    }
    KT::RCPtr<LNetworkConnectionManager> held =
        KT::AdoptRef(static_cast<LNetworkConnectionManager*>(manager));
    held->RunLoop();
    // The reference stops counting as contained before it goes; its release
    // may free the manager, which is not touched after it.
    held->ModifyNumContainedReferences(-1);
    held.SetNull();
    return reinterpret_cast<void*>(static_cast<std::intptr_t>(1));
}

void LNetworkConnectionManager::RunLoop()
{
    for (;;)
    {
        LNetworkSocket::SocketList servers(0, 0);
        if (!GetServerSockets(servers))
        {
            return;
        }
        LNetworkSocket::SocketList ready(0, 0);
        if (!LNetworkSocket::ConnectionsReadyToAccept(servers, kAcceptPollMicroseconds, ready))
        {
            continue;
        }
        // From the last entry: a waiting UDP client is served before a TCP one.
        while (ready.GetCount() > 0)
        {
            KT::RCPtr<LNetworkSocket> server;
            static_cast<void>(ready.RemoveLast(server));
            if (!server)
            {
                break;
            }
            KT::RCPtr<LNetworkConnection> connection =
                AcceptClient(*server, server.GetRaw() == servers[kUdpServer].GetRaw());
            if (connection.GetRaw() != nullptr)
            {
                mCallback->ReceivedConnectionCallback(connection);
            }
        }
    }
}

KT::RCPtr<LNetworkConnection> LNetworkConnectionManager::AcceptClient(LNetworkSocket& server, bool udp)
{
    KT::RCPtr<LNetworkSocket> accepted;
    if (server.Accept(accepted, false) != NETWORK_NO_ERROR || !accepted)
    {
        return KT::RCPtr<LNetworkConnection>();
    }
    // The UDP accept has compared the hello and answered it from the new
    // socket.
    if (udp)
    {
        return LNetworkConnection::Create(accepted, KT::RCPtr<LNetworkSocket>(),
                                          LNetworkConnection::CONNECTION_DATA_SOCKET);
    }
    return AcceptTcpClient(accepted);
}

KT::RCPtr<LNetworkConnection>
LNetworkConnectionManager::AcceptTcpClient(const KT::RCPtr<LNetworkSocket>& accepted)
{
    // The whole hello within the window from the accept, split across
    // segments or not, and not a byte more: the client's first message may
    // share its segment.
    KT::Platform::IMonotonicClock& clock = KT::Platform::GetSystemMonotonicClock();
    const std::uint64_t start = clock.GetAbsoluteTicks();
    unsigned char hello[NetworkWireFormat::kDualHelloSize] = {};
    if (!accepted->ReceiveExactly(hello, NetworkWireFormat::kHelloSize, kHelloWaitMicroseconds))
    {
        return KT::RCPtr<LNetworkConnection>();
    }
    if (std::memcmp(hello, NetworkWireFormat::CLIENT_COOKIE.mBytes, NetworkWireFormat::kHelloSize) == 0)
    {
        SetNoDelay(*accepted);
        return LNetworkConnection::Create(accepted, KT::RCPtr<LNetworkSocket>(),
                                          LNetworkConnection::CONNECTION_DATA_SOCKET);
    }
    const std::uint64_t elapsedMicroseconds = (clock.GetAbsoluteTicks() - start) / 1000;
    std::uint16_t clientPort = 0;
    if (std::memcmp(hello, NetworkWireFormat::CLIENT_COOKIE_DUAL_SOCKETS.mBytes,
                    NetworkWireFormat::kHelloSize) != 0 ||
        elapsedMicroseconds >= kHelloWaitMicroseconds ||
        !accepted->ReceiveExactly(hello + NetworkWireFormat::kHelloSize,
                                  NetworkWireFormat::kDualHelloSize - NetworkWireFormat::kHelloSize,
                                  static_cast<unsigned int>(kHelloWaitMicroseconds - elapsedMicroseconds)) ||
        !NetworkWireFormat::ReadDualSocketHello(hello, sizeof(hello), clientPort) || clientPort == 0)
    {
        return KT::RCPtr<LNetworkConnection>();
    }

    // The client's UDP socket gets one of its own here; the client learns its
    // port from the answer. A client whose socket cannot be reached, or who
    // cannot be told, gets no connection.
    KT::RCPtr<LNetworkSocket> udpSocket = LNetworkSocket::Create(NETWORK_SOCKET_UDP);
    if (udpSocket->Connect(accepted->GetIPAddress(), clientPort, true, 0) != NETWORK_NO_ERROR)
    {
        return KT::RCPtr<LNetworkConnection>();
    }
    unsigned int localAddress = 0;
    unsigned short localPort = 0;
    udpSocket->GetSockName(localAddress, localPort);
    if (localPort == 0)
    {
        return KT::RCPtr<LNetworkConnection>();
    }
    NetworkWireFormat::WriteDualSocketHello(hello, localPort);
    unsigned int sent = 0;
    if (accepted->Send(hello, NetworkWireFormat::kDualHelloSize, sent) != NETWORK_NO_ERROR ||
        sent != NetworkWireFormat::kDualHelloSize)
    {
        return KT::RCPtr<LNetworkConnection>();
    }
    SetNoDelay(*accepted);
    return LNetworkConnection::Create(udpSocket, accepted, LNetworkConnection::CONNECTION_DUAL_SOCKETS);
}
