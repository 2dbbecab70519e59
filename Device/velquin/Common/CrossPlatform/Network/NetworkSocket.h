// LNetworkSocket: the network layer's one IPv4 socket, TCP or UDP, as a
// reference-counted object: connecting with a time-out, binding with an optional
// search for a free port, listening, accepting (TCP, or a UDP hello answered
// from a new connected socket), sending and receiving blocking or not, and
// readiness waits in microseconds. Also the host's IPv4 and Ethernet addresses.
// Always held through KT::RCPtr<LNetworkSocket>; the descriptor closes with the
// object.
//
// No thread of its own: connections send and receive on it from their threads
// at once. mSendMutex (recursive) serialises Connect, Bind, Send and SendTo;
// callers may hold it across several sends (AcquireSendMutex). mReceiveMutex
// serialises Receive, ReceiveFrom, the TCP accept, changes of blocking mode and
// the inner part of Connect. Lock order: mSendMutex before mReceiveMutex. The
// state flags, address and port are atomics read without locks; each flag
// only ever turns from false to true.
#pragma once

#include <atomic>
#include <cstdint>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/Buffer.h"
#include "KTFramework/Utilities/Storage/Iterable.h"
#include "KTFramework/Utilities/Storage/RCPtrArray.h"
#include "KTFramework/Utilities/Storage/StringT.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "Platform/ThreadAnnotations.h"
#include "velquin/Common/CrossPlatform/Network/NetworkError.h"

enum NetworkSocketType : std::uint32_t
{
    NETWORK_SOCKET_TCP = 0,
    NETWORK_SOCKET_UDP = 1,
};

// Six bytes in the order the interface reports them.
struct NetworkMACAddress
{
    unsigned char mBytes[6];

    bool operator==(const NetworkMACAddress& other) const = default;
};
static_assert(sizeof(NetworkMACAddress) == 6, "a MAC address is its six bytes");

// "01:0A:23:B4:C5:FF": two upper-case hexadecimal digits per byte, ':' between.
KT::StringT<char, unsigned short> NetworkMACAddressToString(NetworkMACAddress address);

class LNetworkSocket : public virtual KT::LRefCountedObject
{
public:
    enum WaitType
    {
        WAIT_READ = 0,
        WAIT_WRITE = 1,
        // Writable with no pending socket error: a non-blocking connect is done.
        WAIT_CONNECT = 2,
    };

    // The protocol's default port: a connect to port 0 goes here, and a bind to
    // port 0 searches from here.
    static constexpr std::uint16_t kDefaultPort = 51000;
    // Ports a bind that searches tries, its first included.
    static constexpr unsigned int kBindSearchCount = 100;
    // An address of 0 given to Connect means the loopback address.
    static constexpr std::uint32_t kLoopbackAddress = 0x7F000001;
    static constexpr int kListenBacklog = 5;
    // Waits of a non-blocking Send (two, when the first expires) and SendTo (one)
    // for the socket to take more bytes.
    static constexpr unsigned int kSendWaitMicroseconds = 250000;
    static constexpr unsigned int kSendToWaitMicroseconds = 500000;
    // What the system's clients use: TCP non-blocking at most two 1 s waits.
    static constexpr unsigned int kConnectTimeoutMicroseconds = 2000000;

    using SocketList = KT::RCPtrArray<LNetworkSocket, 1, 0>;

    // Never null; the descriptor is -1 when the system refused a socket or the
    // type is neither TCP nor UDP.
    static KT::RCPtr<LNetworkSocket> Create(NetworkSocketType type);

    // One wait over all the sockets for any to become readable; ready receives
    // the readable ones in list order. False, with ready empty, when none is
    // within the time-out.
    static bool ConnectionsReadyToAccept(const SocketList& sockets, unsigned int timeoutMicroseconds,
                                         SocketList& ready);

    // The IPv4 addresses of the interfaces that are up, loopback included, in
    // the system's order, host byte order. NETWORK_CONNECTION_CLOSED with the
    // list empty when the interfaces cannot be read.
    [[nodiscard]] static NetworkError GetLocalIPAddresses(KT::IArray<unsigned int>& addresses);
    // The non-zero addresses of the Ethernet interfaces, one per interface, by
    // ascending interface index. NETWORK_CONNECTION_CLOSED when the interfaces
    // cannot be read.
    [[nodiscard]] static NetworkError GetMacAddresses(KT::IArray<NetworkMACAddress>& addresses);
    [[nodiscard]] static NetworkError GetPrimaryMacAddress(NetworkMACAddress& address);
    // The first of GetMacAddresses; NETWORK_SOCKET_NOT_SET_CORRECTLY with six
    // zero bytes when there is none.
    [[nodiscard]] static NetworkError GetPrimaryMacAddressFallback(NetworkMACAddress& address);

    ~LNetworkSocket() override;
    LNetworkSocket(const LNetworkSocket&) = delete;
    LNetworkSocket& operator=(const LNetworkSocket&) = delete;

    // Connects to ip:port (0 means 127.0.0.1, port 0 means kDefaultPort; both
    // are stored whatever the outcome) and leaves the descriptor in the mode
    // asked. Non-blocking, a pending connect is waited for in two halves of the
    // time-out; a refused one fails at once. A socket that ends connected to
    // its own address and port is refused too: its connection is dissolved.
    [[nodiscard]] NetworkError Connect(unsigned int ip, unsigned short port, bool blocking,
                                       unsigned int timeoutMicroseconds);
    // Binds to ip:port. With port 0, or when tryFollowingPorts is set, up to
    // kBindSearchCount ports from the start (kDefaultPort for 0) are tried while
    // they are in use, never past 65535. A non-null expectedHello is copied as
    // the hello a UDP server socket accepts.
    [[nodiscard]] NetworkError Bind(unsigned int ip, unsigned short port, bool tryFollowingPorts,
                                    const KT::RCPtr<KT::LIBuffer>& expectedHello);
    [[nodiscard]] NetworkError Listen();
    // TCP: the next pending connection, as a connected blocking socket. UDP: one
    // datagram, which must equal the expected hello exactly; it is answered from
    // a new UDP socket connected to its sender, which becomes accepted. accepted
    // is null unless the result is NETWORK_NO_ERROR.
    [[nodiscard]] NetworkError Accept(KT::RCPtr<LNetworkSocket>& accepted, bool blocking);

    // Sends all size bytes; sent counts what the system took, also on failure.
    // A connected UDP socket whose peer's port refused an earlier datagram
    // fails with NETWORK_CONNECTION_CLOSED (the peer's socket is gone), as do
    // its receives; any other failure is NETWORK_SEND_FAILED.
    [[nodiscard]] NetworkError Send(const void* data, unsigned int size, unsigned int& sent);
    [[nodiscard]] NetworkError SendTo(unsigned int ip, unsigned short port, const void* data,
                                      unsigned int size, unsigned int& sent);
    // One read of at most capacity bytes. Non-blocking with nothing there:
    // NETWORK_NO_ERROR and 0 bytes; the peer's close: NETWORK_CONNECTION_CLOSED
    // (TCP; an empty UDP datagram is NETWORK_NO_ERROR and 0 bytes).
    // A capacity of 0 reads nothing and returns 0 bytes.
    [[nodiscard]] NetworkError Receive(void* buffer, unsigned int capacity, unsigned int& received,
                                       bool blocking);
    [[nodiscard]] NetworkError ReceiveFrom(void* buffer, unsigned int capacity, unsigned int& received,
                                           unsigned int& ip, unsigned short& port, bool blocking);
    // Reads exactly size bytes within the time-out, by readiness waits and
    // non-blocking reads that never ask for more than is missing, so bytes
    // that follow them stay queued. False on a time-out or an error.
    [[nodiscard]] bool ReceiveExactly(void* buffer, unsigned int size, unsigned int timeoutMicroseconds);
    // UDP: takes one datagram whole. received is what fitted in capacity and
    // datagramSize its full length: a datagram longer than capacity is taken
    // cut (received < datagramSize). Non-blocking with nothing queued:
    // NETWORK_NO_ERROR and both 0, as for an empty datagram.
    [[nodiscard]] NetworkError ReceiveDatagram(void* buffer, unsigned int capacity, unsigned int& received,
                                               unsigned int& datagramSize, bool blocking);
    // UDP: the length of the next queued datagram, which stays queued; 0 when
    // none is (or it is empty). Does not wait.
    [[nodiscard]] NetworkError PeekDatagramSize(unsigned int& datagramSize);

    // A connected (not bound) socket, or any UDP socket, readable within the
    // time-out.
    bool ReceiveHasBytesReady(unsigned int timeoutMicroseconds);
    // A bound, unconnected socket with a connection or datagram waiting.
    bool ConnectionsReadyToAccept(unsigned int timeoutMicroseconds);
    bool CallSelect(unsigned int timeoutMicroseconds, WaitType type);

    void SetBlocking(bool blocking);
    // Ends the stream both ways (TCP): the peer sees it end, later sends fail
    // and a receive reports the close. For a stream whose framing a cut-short
    // send has broken.
    void Shutdown();
    [[nodiscard]] NetworkError SetOption(int level, int name, const char* value, int length);
    // The socket's own address and port; both 0 when they cannot be read.
    // Always 0.
    int GetSockName(unsigned int& ip, unsigned short& port);

    void AcquireSendMutex() ACQUIRE(mSendMutex) { mSendMutex.Acquire(); }
    void ReleaseSendMutex() RELEASE(mSendMutex) { mSendMutex.Release(); }

    // Holds the socket's send mutex for its lifetime, across sends that must
    // follow one another on the wire, whatever way the scope is left.
    class SCOPED_CAPABILITY SendLock
    {
    public:
        explicit SendLock(LNetworkSocket& socket) ACQUIRE(socket.mSendMutex) : mMutex(socket.mSendMutex)
        {
            mMutex.Acquire();
        }
        ~SendLock() RELEASE() { mMutex.Release(); }
        SendLock(const SendLock&) = delete;
        SendLock& operator=(const SendLock&) = delete;

    private:
        KT::Mutex& mMutex;
    };

    // The calling thread's last system error number.
    static int GetLastSocketError();

    NetworkSocketType GetSocketType() const noexcept { return mSocketType; }
    std::uint32_t GetIPAddress() const noexcept { return mIPAddress.load(); }
    std::uint16_t GetPort() const noexcept { return mPort.load(); }
    bool IsConnected() const noexcept { return mConnected.load(); }
    bool IsBound() const noexcept { return mBound.load(); }
    bool IsListening() const noexcept { return mListening.load(); }
    bool IsBlocking() const noexcept { return mBlocking.load(); }

    // Live sockets that hold a descriptor.
    static int GetSocketCount() noexcept { return smSocketCount.GetValue(); }

private:
    enum class WaitOutcome
    {
        kReady,
        kTimedOut,
        kFailed
    };

    explicit LNetworkSocket(NetworkSocketType type);
    // A socket for a descriptor that accept returned: connected, TCP, blocking.
    LNetworkSocket(int descriptor, std::uint32_t peerAddress, std::uint16_t peerPort);

    WaitOutcome Wait(unsigned int timeoutMicroseconds, WaitType type);
    // The connect reached address:port: marks the socket connected, unless
    // that is its own address and port.
    NetworkError CompleteConnect(std::uint32_t address, std::uint16_t port) REQUIRES(mSendMutex);
    void SetBlockingInternal(bool blocking) REQUIRES(mReceiveMutex);
    // One datagram read (or, with peek, looked at) on a UDP socket: the bytes
    // copied and the datagram's whole size; nothing waiting on a non-blocking
    // socket is no error and 0 bytes.
    [[nodiscard]] NetworkError ReadDatagram(void* buffer, unsigned int capacity, bool peek, bool blocking,
                                            unsigned int& received, unsigned int& datagramSize);
    NetworkError AcceptTcp(KT::RCPtr<LNetworkSocket>& accepted, bool blocking);
    NetworkError AcceptUdp(KT::RCPtr<LNetworkSocket>& accepted, bool blocking);
    // Ignores SIGPIPE once per process; sends pass MSG_NOSIGNAL as well, so a
    // host that restores the default still lives through a closed peer.
    static void SetIgnoreBrokenPipe();

    const int mSocket;
    const NetworkSocketType mSocketType;
    std::atomic<std::uint32_t> mIPAddress{0};
    std::atomic<std::uint16_t> mPort{0};
    std::atomic<bool> mConnected{false};
    std::atomic<bool> mBound{false};
    std::atomic<bool> mListening{false};
    std::atomic<bool> mBlocking{true};
    KT::Mutex mSendMutex ACQUIRED_BEFORE(mReceiveMutex);
    // Set by Bind, copied out by the UDP Accept.
    KT::RCPtr<KT::LIBuffer> mExpectedHello GUARDED_BY(mSendMutex);
    KT::FastMutex mReceiveMutex;

    static KT::AtomicCounter smSocketCount;
};
