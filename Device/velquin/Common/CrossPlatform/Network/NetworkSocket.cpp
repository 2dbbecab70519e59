#include "velquin/Common/CrossPlatform/Network/NetworkSocket.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "KTFramework/Utilities/Storage/Array.h"
#include "Platform/MonotonicClock.h"
#include "Platform/NetworkInterfaces.h"
#include "Platform/Socket.h"

KT::AtomicCounter LNetworkSocket::smSocketCount;

namespace
{

using KT::Platform::SocketStatus;
using KT::Platform::SocketTransfer;

constexpr unsigned int kLastPort = 65535;
constexpr std::uint64_t kNanosecondsPerMicrosecond = 1000;

KT::Platform::SocketWaitFor ToWaitFor(LNetworkSocket::WaitType type)
{
    switch (type)
    {
    case LNetworkSocket::WAIT_READ:
        return KT::Platform::SocketWaitFor::kReadable;
    case LNetworkSocket::WAIT_WRITE:
        return KT::Platform::SocketWaitFor::kWritable;
    case LNetworkSocket::WAIT_CONNECT:
        break;
    }
    return KT::Platform::SocketWaitFor::kConnected;
}

// The result of a send or receive that failed with status. A connected
// datagram socket hears of its peer only when the peer's host answers that
// nothing listens on its port: the peer's socket is gone, as a stream's is
// when it closes.
NetworkError FailureOf(NetworkSocketType type, SocketStatus status, NetworkError otherwise)
{
    return status == SocketStatus::kRefused && type == NETWORK_SOCKET_UDP ? NETWORK_CONNECTION_CLOSED
                                                                          : otherwise;
}

} // namespace

KT::StringT<char, unsigned short> NetworkMACAddressToString(NetworkMACAddress address)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    char text[18];
    char* out = text;
    for (std::size_t i = 0; i < sizeof(address.mBytes); ++i)
    {
        if (i > 0)
        {
            *out++ = ':';
        }
        *out++ = kDigits[address.mBytes[i] >> 4];
        *out++ = kDigits[address.mBytes[i] & 0xF];
    }
    *out = '\0';
    return KT::StringT<char, unsigned short>(text);
}

// ---------------------------------------------------------------------------
// Creation and destruction

LNetworkSocket::LNetworkSocket(NetworkSocketType type)
    : mSocket(type == NETWORK_SOCKET_TCP   ? KT::Platform::OpenSocket(KT::Platform::SocketProtocol::kTcp)
              : type == NETWORK_SOCKET_UDP ? KT::Platform::OpenSocket(KT::Platform::SocketProtocol::kUdp)
                                           : -1),
      mSocketType(type)
{
    if (mSocket != -1)
    {
        smSocketCount.Increment();
        SetIgnoreBrokenPipe();
    }
}

LNetworkSocket::LNetworkSocket(int descriptor, std::uint32_t peerAddress, std::uint16_t peerPort)
    : mSocket(descriptor), mSocketType(NETWORK_SOCKET_TCP), mIPAddress(peerAddress), mPort(peerPort),
      mConnected(true)
{
    if (mSocket != -1)
    {
        smSocketCount.Increment();
    }
}

LNetworkSocket::~LNetworkSocket()
{
    if (mSocket == -1)
    {
        return;
    }
    KT::Platform::CloseSocket(mSocket);
    int count = smSocketCount.GetValue();
    while (count > 0 && !smSocketCount.CompareAndSwap(count, count - 1))
    {
        count = smSocketCount.GetValue();
    }
}

KT::RCPtr<LNetworkSocket> LNetworkSocket::Create(NetworkSocketType type)
{
    return KT::RCPtr<LNetworkSocket>(new LNetworkSocket(type));
}

void LNetworkSocket::SetIgnoreBrokenPipe()
{
    static std::once_flag sOnce;
    std::call_once(sOnce, [] { KT::Platform::IgnoreBrokenPipeSignal(); });
}

int LNetworkSocket::GetLastSocketError()
{
    return KT::Platform::GetLastSystemError();
}

// ---------------------------------------------------------------------------
// Waits

LNetworkSocket::WaitOutcome LNetworkSocket::Wait(unsigned int timeoutMicroseconds, WaitType type)
{
    if (type != WAIT_READ && type != WAIT_WRITE && type != WAIT_CONNECT)
    {
        return WaitOutcome::kFailed;
    }
    switch (KT::Platform::WaitForSocket(mSocket, ToWaitFor(type), timeoutMicroseconds))
    {
    case KT::Platform::SocketWaitResult::kReady:
        return WaitOutcome::kReady;
    case KT::Platform::SocketWaitResult::kTimedOut:
        return WaitOutcome::kTimedOut;
    case KT::Platform::SocketWaitResult::kFailed:
        break;
    }
    return WaitOutcome::kFailed;
}

bool LNetworkSocket::CallSelect(unsigned int timeoutMicroseconds, WaitType type)
{
    return Wait(timeoutMicroseconds, type) == WaitOutcome::kReady;
}

bool LNetworkSocket::ReceiveHasBytesReady(unsigned int timeoutMicroseconds)
{
    if ((mConnected && !mBound) || mSocketType == NETWORK_SOCKET_UDP)
    {
        return CallSelect(timeoutMicroseconds, WAIT_READ);
    }
    return false;
}

bool LNetworkSocket::ConnectionsReadyToAccept(unsigned int timeoutMicroseconds)
{
    if (!mBound || mConnected)
    {
        return false;
    }
    return CallSelect(timeoutMicroseconds, WAIT_READ);
}

bool LNetworkSocket::ConnectionsReadyToAccept(const SocketList& sockets, unsigned int timeoutMicroseconds,
                                              SocketList& ready)
{
    if (ready.SetCount(0) != 0)
    {
        return false;
    }
    const std::size_t count = static_cast<std::size_t>(sockets.GetCount());
    if (count == 0)
    {
        return false;
    }
    std::unique_ptr<int[]> descriptors(new (std::nothrow) int[count]);
    std::unique_ptr<bool[]> readable(new (std::nothrow) bool[count]);
    if (descriptors == nullptr || readable == nullptr)
    {
        return false;
    }
    for (std::size_t i = 0; i < count; ++i)
    {
        const KT::RCPtr<LNetworkSocket>& socket = sockets[i];
        descriptors[i] = socket.Get() != nullptr ? socket->mSocket : -1;
    }
    if (!KT::Platform::WaitForReadableSockets(descriptors.get(), readable.get(), count, timeoutMicroseconds))
    {
        return false;
    }
    for (std::size_t i = 0; i < count; ++i)
    {
        if (readable[i] && ready.AppendItem(sockets[i]) < 0)
        {
            (void)ready.SetCount(0);
            return false;
        }
    }
    return ready.GetCount() > 0;
}

// ---------------------------------------------------------------------------
// Modes and options

void LNetworkSocket::SetBlockingInternal(bool blocking)
{
    if (blocking == mBlocking)
    {
        return;
    }
    if (KT::Platform::SetSocketNonBlocking(mSocket, !blocking))
    {
        mBlocking = blocking;
    }
}

void LNetworkSocket::SetBlocking(bool blocking)
{
    KT::AutolockT<KT::FastMutex> lock(mReceiveMutex);
    SetBlockingInternal(blocking);
}

void LNetworkSocket::Shutdown()
{
    if (mSocket != -1)
    {
        KT::Platform::ShutdownSocket(mSocket);
    }
}

NetworkError LNetworkSocket::SetOption(int level, int name, const char* value, int length)
{
    switch (KT::Platform::SetSocketOption(mSocket, level, name, value, length))
    {
    case SocketStatus::kOk:
        return NETWORK_NO_ERROR;
    case SocketStatus::kNetworkDown:
        return NETWORK_CONNECTION_CLOSED;
    default:
        break;
    }
    return NETWORK_SOCKET_NOT_SET_CORRECTLY;
}

int LNetworkSocket::GetSockName(unsigned int& ip, unsigned short& port)
{
    std::uint32_t address = 0;
    std::uint16_t localPort = 0;
    if (mSocket == -1 || !KT::Platform::GetSocketName(mSocket, address, localPort))
    {
        address = 0;
        localPort = 0;
    }
    ip = address;
    port = localPort;
    return 0;
}

// ---------------------------------------------------------------------------
// Roles

NetworkError LNetworkSocket::Connect(unsigned int ip, unsigned short port, bool blocking,
                                     unsigned int timeoutMicroseconds)
{
    KT::AutolockT<KT::Mutex> sendLock(mSendMutex);
    if (mConnected)
    {
        return NETWORK_ALREADY_CONNECTED;
    }
    if (mBound && mSocketType != NETWORK_SOCKET_UDP)
    {
        return NETWORK_ALREADY_BINDED;
    }
    KT::AutolockT<KT::FastMutex> receiveLock(mReceiveMutex);
    SetBlockingInternal(blocking);
    const std::uint32_t address = ip != 0 ? ip : kLoopbackAddress;
    const std::uint16_t targetPort = port != 0 ? port : kDefaultPort;
    mIPAddress = address;
    mPort = targetPort;

    const SocketStatus status = KT::Platform::ConnectSocket(mSocket, address, targetPort);
    if (status == SocketStatus::kOk)
    {
        return CompleteConnect(address, targetPort);
    }
    if (blocking || status != SocketStatus::kInProgress)
    {
        return NETWORK_CONNECTION_FAILED;
    }
    // Reading the pending error clears it: a refused connect found by the first
    // wait must fail here, as the second wait would find the socket writable.
    const unsigned int half = timeoutMicroseconds / 2;
    WaitOutcome outcome = Wait(half, WAIT_CONNECT);
    if (outcome == WaitOutcome::kTimedOut)
    {
        outcome = Wait(half, WAIT_CONNECT);
    }
    if (outcome != WaitOutcome::kReady)
    {
        return NETWORK_CONNECTION_FAILED;
    }
    return CompleteConnect(address, targetPort);
}

NetworkError LNetworkSocket::CompleteConnect(std::uint32_t address, std::uint16_t port)
{
    // When the system picks the target port itself as the local one (a local
    // port nobody listens on, inside the ephemeral range), TCP completes a
    // simultaneous open with no peer, and a UDP hello comes back from the
    // socket itself. That is a refused connect: the connection is dissolved,
    // so the port is free for the server that belongs there.
    std::uint32_t localAddress = 0;
    std::uint16_t localPort = 0;
    if (KT::Platform::GetSocketName(mSocket, localAddress, localPort) && localAddress == address &&
        localPort == port)
    {
        KT::Platform::DisconnectSocket(mSocket);
        return NETWORK_CONNECTION_FAILED;
    }
    mConnected = true;
    return NETWORK_NO_ERROR;
}

NetworkError LNetworkSocket::Bind(unsigned int ip, unsigned short port, bool tryFollowingPorts,
                                  const KT::RCPtr<KT::LIBuffer>& expectedHello)
{
    if (mSocket == -1)
    {
        return NETWORK_BIND_FAILED;
    }
    KT::AutolockT<KT::Mutex> sendLock(mSendMutex);
    if (mConnected)
    {
        return NETWORK_ALREADY_CONNECTED;
    }
    if (mBound)
    {
        return NETWORK_ALREADY_BINDED;
    }
    if (expectedHello.Get() != nullptr)
    {
        mExpectedHello = expectedHello->CreateCopy(expectedHello->GetSizeBytes(), 0);
    }
    mIPAddress = ip;
    if (mSocketType == NETWORK_SOCKET_TCP)
    {
        // A server started again must find its port free while the connections
        // it closed first linger in TIME_WAIT there. The system still refuses
        // a second listener on a port, so the search below skips live servers.
        // Not for UDP, where the option would let two sockets share a port.
        const int reuse = 1;
        (void)KT::Platform::SetSocketOption(mSocket, KT::Platform::kSocketLevelSocket,
                                            KT::Platform::kSocketOptionReuseAddress, &reuse, sizeof(reuse));
    }
    const bool search = tryFollowingPorts || port == 0;
    unsigned int candidate = port != 0 ? port : kDefaultPort;
    mPort = static_cast<std::uint16_t>(candidate);
    unsigned int attempts = search ? kBindSearchCount : 1;
    for (;;)
    {
        const SocketStatus status =
            KT::Platform::BindSocket(mSocket, ip, static_cast<std::uint16_t>(candidate));
        if (status == SocketStatus::kOk)
        {
            mBound = true;
            return NETWORK_NO_ERROR;
        }
        // Port 0 past 65535 would let the system choose a port that mPort would
        // not name.
        if (!search || status != SocketStatus::kAddressInUse || --attempts == 0 || candidate == kLastPort)
        {
            return NETWORK_BIND_FAILED;
        }
        ++candidate;
        mPort = static_cast<std::uint16_t>(candidate);
    }
}

NetworkError LNetworkSocket::Listen()
{
    if (mConnected || !mBound)
    {
        return NETWORK_SOCKET_NOT_SET_CORRECTLY;
    }
    if (mListening)
    {
        return NETWORK_ALREADY_LISTENING;
    }
    switch (mSocketType)
    {
    case NETWORK_SOCKET_TCP:
        if (!KT::Platform::ListenOnSocket(mSocket, kListenBacklog))
        {
            return NETWORK_LISTEN_FAILED;
        }
        mListening = true;
        return NETWORK_NO_ERROR;
    case NETWORK_SOCKET_UDP:
        return NETWORK_NO_ERROR;
    }
    return NETWORK_LISTEN_FAILED;
}

NetworkError LNetworkSocket::Accept(KT::RCPtr<LNetworkSocket>& accepted, bool blocking)
{
    accepted.SetNull();
    if (!mBound || mConnected)
    {
        return NETWORK_SOCKET_NOT_SET_CORRECTLY;
    }
    switch (mSocketType)
    {
    case NETWORK_SOCKET_TCP:
        return AcceptTcp(accepted, blocking);
    case NETWORK_SOCKET_UDP:
        return AcceptUdp(accepted, blocking);
    }
    return NETWORK_ACCEPT_FAILED;
}

NetworkError LNetworkSocket::AcceptTcp(KT::RCPtr<LNetworkSocket>& accepted, bool blocking)
{
    std::uint32_t peerAddress = 0;
    std::uint16_t peerPort = 0;
    int descriptor;
    {
        KT::AutolockT<KT::FastMutex> lock(mReceiveMutex);
        SetBlockingInternal(blocking);
        descriptor = KT::Platform::AcceptOnSocket(mSocket, peerAddress, peerPort);
    }
    if (descriptor == -1)
    {
        return NETWORK_ACCEPT_FAILED;
    }
    accepted = KT::RCPtr<LNetworkSocket>(new LNetworkSocket(descriptor, peerAddress, peerPort));
    return NETWORK_NO_ERROR;
}

NetworkError LNetworkSocket::AcceptUdp(KT::RCPtr<LNetworkSocket>& accepted, bool blocking)
{
    KT::RCPtr<KT::LIBuffer> hello;
    {
        KT::AutolockT<KT::Mutex> lock(mSendMutex);
        hello = mExpectedHello;
    }
    // Without a hello every datagram would be taken for a client.
    if (hello.Get() == nullptr)
    {
        return NETWORK_ACCEPT_FAILED;
    }
    const std::size_t helloSize = hello->GetSizeBytes();
    if (helloSize == 0 || helloSize >= 0xFFFFFFFFu)
    {
        return NETWORK_ACCEPT_FAILED;
    }
    // One byte of room beyond the hello shows a longer datagram, which the
    // system would otherwise cut to a match.
    std::vector<unsigned char> datagram(helloSize + 1, 0);
    unsigned int received = 0;
    unsigned int senderAddress = 0;
    unsigned short senderPort = 0;
    const NetworkError error = ReceiveFrom(datagram.data(), static_cast<unsigned int>(datagram.size()),
                                           received, senderAddress, senderPort, blocking);
    if (error != NETWORK_NO_ERROR || received != helloSize ||
        std::memcmp(datagram.data(), hello->GetRawPtr(), helloSize) != 0)
    {
        return NETWORK_ACCEPT_FAILED;
    }
    KT::RCPtr<LNetworkSocket> answer = Create(NETWORK_SOCKET_UDP);
    if (answer->Connect(senderAddress, senderPort, true, 0) != NETWORK_NO_ERROR)
    {
        return NETWORK_ACCEPT_FAILED;
    }
    unsigned int sent = 0;
    if (answer->Send(hello->GetRawPtr(), static_cast<unsigned int>(helloSize), sent) != NETWORK_NO_ERROR ||
        sent != helloSize)
    {
        return NETWORK_ACCEPT_FAILED;
    }
    accepted = answer;
    return NETWORK_NO_ERROR;
}

// ---------------------------------------------------------------------------
// Sending and receiving

NetworkError LNetworkSocket::Send(const void* data, unsigned int size, unsigned int& sent)
{
    KT::AutolockT<KT::Mutex> lock(mSendMutex);
    NetworkError result = NETWORK_NO_ERROR;
    if (!mConnected || (mBound && mSocketType != NETWORK_SOCKET_UDP))
    {
        result = NETWORK_SOCKET_NOT_SET_CORRECTLY;
    }
    sent = 0;
    if (static_cast<std::int32_t>(size) < 1)
    {
        result = NETWORK_SEND_FAILED;
    }
    const unsigned char* position = static_cast<const unsigned char*>(data);
    while (result == NETWORK_NO_ERROR && sent < size)
    {
        const SocketTransfer transfer = KT::Platform::SendOnSocket(mSocket, position, size - sent);
        if (transfer.status == SocketStatus::kOk)
        {
            sent += static_cast<unsigned int>(transfer.count);
            position += transfer.count;
            continue;
        }
        if (mBlocking || transfer.status != SocketStatus::kWouldBlock)
        {
            result = FailureOf(mSocketType, transfer.status, NETWORK_SEND_FAILED);
        }
        else if (!CallSelect(kSendWaitMicroseconds, WAIT_WRITE) &&
                 !CallSelect(kSendWaitMicroseconds, WAIT_WRITE))
        {
            result = NETWORK_SEND_FAILED;
        }
    }
    return result;
}

NetworkError LNetworkSocket::SendTo(unsigned int ip, unsigned short port, const void* data, unsigned int size,
                                    unsigned int& sent)
{
    if (mSocketType != NETWORK_SOCKET_UDP)
    {
        sent = 0;
        return NETWORK_SOCKET_NOT_SET_CORRECTLY;
    }
    KT::AutolockT<KT::Mutex> lock(mSendMutex);
    sent = 0;
    if (static_cast<std::int32_t>(size) < 1)
    {
        return NETWORK_SEND_FAILED;
    }
    const unsigned char* position = static_cast<const unsigned char*>(data);
    while (sent < size)
    {
        const SocketTransfer transfer =
            KT::Platform::SendToOnSocket(mSocket, ip, port, position, size - sent);
        if (transfer.status == SocketStatus::kOk)
        {
            sent += static_cast<unsigned int>(transfer.count);
            position += transfer.count;
            continue;
        }
        if (mBlocking || transfer.status != SocketStatus::kWouldBlock ||
            !CallSelect(kSendToWaitMicroseconds, WAIT_WRITE))
        {
            return NETWORK_SEND_FAILED;
        }
    }
    return NETWORK_NO_ERROR;
}

NetworkError LNetworkSocket::Receive(void* buffer, unsigned int capacity, unsigned int& received,
                                     bool blocking)
{
    received = 0;
    if (!mConnected || (mBound && mSocketType != NETWORK_SOCKET_UDP))
    {
        return NETWORK_SOCKET_NOT_SET_CORRECTLY;
    }
    KT::AutolockT<KT::FastMutex> lock(mReceiveMutex);
    SetBlockingInternal(blocking);
    // recv into no room returns 0, which would read as the peer's close.
    if (capacity == 0)
    {
        return NETWORK_NO_ERROR;
    }
    const SocketTransfer transfer = KT::Platform::ReceiveOnSocket(mSocket, buffer, capacity);
    if (transfer.status == SocketStatus::kOk)
    {
        // An empty datagram is no close: only a stream ends.
        if (transfer.count == 0 && mSocketType != NETWORK_SOCKET_UDP)
        {
            return NETWORK_CONNECTION_CLOSED;
        }
        received = static_cast<unsigned int>(transfer.count);
        return NETWORK_NO_ERROR;
    }
    if (!blocking && transfer.status == SocketStatus::kWouldBlock)
    {
        return NETWORK_NO_ERROR;
    }
    return FailureOf(mSocketType, transfer.status, NETWORK_RECEIVE_FAILED);
}

NetworkError LNetworkSocket::ReceiveFrom(void* buffer, unsigned int capacity, unsigned int& received,
                                         unsigned int& ip, unsigned short& port, bool blocking)
{
    received = 0;
    if (mSocketType != NETWORK_SOCKET_UDP)
    {
        return NETWORK_SOCKET_NOT_SET_CORRECTLY;
    }
    KT::AutolockT<KT::FastMutex> lock(mReceiveMutex);
    SetBlockingInternal(blocking);
    std::uint32_t address = 0;
    std::uint16_t senderPort = 0;
    const SocketTransfer transfer =
        KT::Platform::ReceiveFromOnSocket(mSocket, buffer, capacity, address, senderPort);
    if (transfer.status == SocketStatus::kOk)
    {
        received = static_cast<unsigned int>(transfer.count);
        ip = address;
        port = senderPort;
        return NETWORK_NO_ERROR;
    }
    if (!blocking && transfer.status == SocketStatus::kWouldBlock)
    {
        return NETWORK_NO_ERROR;
    }
    return NETWORK_RECEIVE_FAILED;
}

bool LNetworkSocket::ReceiveExactly(void* buffer, unsigned int size, unsigned int timeoutMicroseconds)
{
    // Real time: a test's clock must not stretch a peer's window.
    KT::Platform::IMonotonicClock& clock = KT::Platform::GetSystemMonotonicClock();
    const std::uint64_t start = clock.GetAbsoluteTicks();
    const std::uint64_t limit = std::uint64_t{timeoutMicroseconds} * kNanosecondsPerMicrosecond;
    unsigned char* bytes = static_cast<unsigned char*>(buffer);
    unsigned int held = 0;
    while (held < size)
    {
        const std::uint64_t elapsed = clock.GetAbsoluteTicks() - start;
        if (elapsed >= limit ||
            !CallSelect(static_cast<unsigned int>((limit - elapsed) / kNanosecondsPerMicrosecond), WAIT_READ))
        {
            return false;
        }
        unsigned int received = 0;
        if (Receive(bytes + held, size - held, received, false) != NETWORK_NO_ERROR)
        {
            return false;
        }
        held += received;
    }
    return true;
}

NetworkError LNetworkSocket::ReceiveDatagram(void* buffer, unsigned int capacity, unsigned int& received,
                                             unsigned int& datagramSize, bool blocking)
{
    return ReadDatagram(buffer, capacity, false, blocking, received, datagramSize);
}

NetworkError LNetworkSocket::PeekDatagramSize(unsigned int& datagramSize)
{
    unsigned int received = 0;
    return ReadDatagram(nullptr, 0, true, false, received, datagramSize);
}

NetworkError LNetworkSocket::ReadDatagram(void* buffer, unsigned int capacity, bool peek, bool blocking,
                                          unsigned int& received, unsigned int& datagramSize)
{
    received = 0;
    datagramSize = 0;
    if (mSocketType != NETWORK_SOCKET_UDP)
    {
        return NETWORK_SOCKET_NOT_SET_CORRECTLY;
    }
    KT::AutolockT<KT::FastMutex> lock(mReceiveMutex);
    SetBlockingInternal(blocking);
    std::size_t fullSize = 0;
    const SocketTransfer transfer =
        KT::Platform::ReceiveDatagramOnSocket(mSocket, buffer, capacity, peek, fullSize);
    if (transfer.status == SocketStatus::kOk)
    {
        received = static_cast<unsigned int>(transfer.count);
        datagramSize = fullSize > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<unsigned int>(fullSize);
        return NETWORK_NO_ERROR;
    }
    if (!blocking && transfer.status == SocketStatus::kWouldBlock)
    {
        return NETWORK_NO_ERROR;
    }
    return FailureOf(mSocketType, transfer.status, NETWORK_RECEIVE_FAILED);
}

// ---------------------------------------------------------------------------
// Host queries

NetworkError LNetworkSocket::GetLocalIPAddresses(KT::IArray<unsigned int>& addresses)
{
    if (addresses.SetCount(0) != 0)
    {
        return NETWORK_OBJECT_OUT_OF_MEMORY;
    }
    std::vector<KT::Platform::NetworkInterfaceEntry> entries;
    if (!KT::Platform::ListNetworkInterfaces(entries))
    {
        return NETWORK_CONNECTION_CLOSED;
    }
    for (const KT::Platform::NetworkInterfaceEntry& entry : entries)
    {
        if (entry.kind == KT::Platform::NetworkInterfaceEntry::kIPv4 && entry.up &&
            addresses.AppendItem(entry.address) < 0)
        {
            return NETWORK_OBJECT_OUT_OF_MEMORY;
        }
    }
    return NETWORK_NO_ERROR;
}

NetworkError LNetworkSocket::GetMacAddresses(KT::IArray<NetworkMACAddress>& addresses)
{
    if (addresses.SetCount(0) != 0)
    {
        return NETWORK_OBJECT_OUT_OF_MEMORY;
    }
    std::vector<KT::Platform::NetworkInterfaceEntry> entries;
    if (!KT::Platform::ListNetworkInterfaces(entries))
    {
        return NETWORK_CONNECTION_CLOSED;
    }
    struct Found
    {
        unsigned int index;
        NetworkMACAddress address;
    };
    std::vector<Found> found;
    for (const KT::Platform::NetworkInterfaceEntry& entry : entries)
    {
        if (entry.kind != KT::Platform::NetworkInterfaceEntry::kHardware || entry.loopback ||
            entry.hardwareType != KT::Platform::kHardwareTypeEthernet ||
            entry.hardwareAddress.size() != sizeof(NetworkMACAddress::mBytes))
        {
            continue;
        }
        if (std::all_of(entry.hardwareAddress.begin(), entry.hardwareAddress.end(),
                        [](unsigned char byte) { return byte == 0; }))
        {
            continue;
        }
        const bool seen = std::any_of(found.begin(), found.end(),
                                      [&](const Found& other) { return other.index == entry.index; });
        if (seen)
        {
            continue;
        }
        Found item{entry.index, {}};
        std::copy(entry.hardwareAddress.begin(), entry.hardwareAddress.end(), item.address.mBytes);
        found.push_back(item);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const Found& left, const Found& right) { return left.index < right.index; });
    for (const Found& item : found)
    {
        if (addresses.AppendItem(item.address) < 0)
        {
            return NETWORK_OBJECT_OUT_OF_MEMORY;
        }
    }
    return NETWORK_NO_ERROR;
}

NetworkError LNetworkSocket::GetPrimaryMacAddress(NetworkMACAddress& address)
{
    return GetPrimaryMacAddressFallback(address);
}

NetworkError LNetworkSocket::GetPrimaryMacAddressFallback(NetworkMACAddress& address)
{
    KT::Array<NetworkMACAddress> addresses;
    const NetworkError error = GetMacAddresses(addresses);
    if (error != NETWORK_NO_ERROR)
    {
        return error;
    }
    if (addresses.GetCount() == 0)
    {
        address = NetworkMACAddress{};
        return NETWORK_SOCKET_NOT_SET_CORRECTLY;
    }
    address = addresses[0];
    return NETWORK_NO_ERROR;
}
