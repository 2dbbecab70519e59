// LNetworkConnection: one message connection to a device over IPv4. Users
// open it with Create, send with SendMessage and SendMessageWithReply, and
// receive a channel's messages and the connection's errors through
// registrations made with SetCallback. Owned through RCPtr; every callback
// registration holds the connection too, so a connection with registrations
// lives until they are removed.
//
// It holds the sockets and the threads and sends; its other jobs have classes
// of their own: NetworkRegistrations (the callback registrations,
// LNetworkCallbackRegistration, and the reply waiter of the exchange in
// progress, NetworkReplyWaiter), NetworkConnectionReceiver (one per socket
// slot) and NetworkReliableChannel (one per reliable channel). The bytes on the
// wire are NetworkWireFormat's.
//
// Threads:
// - Users' threads: Create, sends, request and reply, registrations, close.
// - Two receiver threads, one per socket slot, started by the first
//   SetCallback, SendMessageWithReply or send on a reliable channel (which
//   needs its acknowledgements read): each runs a NetworkConnectionReceiver,
//   which hands what it reads to the registrations and the reliable channels.
//   The registrations hold what is read before the first SetCallback or
//   SendMessageWithReply for it.
//   Each holds a counted reference to the connection for its run, counted as a
//   contained reference: the last outside release closes the connection, the
//   receivers end within one poll and the last of them frees it.
// - The acknowledgement threader, from Create on; on connections without
//   reliable channels (every TCP connection) each run does nothing. Its worker
//   holds a contained reference that RemoveContainedReferences drops. Over a
//   UDP data socket it runs each reliable channel's Service.
// - One delivery thread per callback registration (a one-thread pool), which
//   runs the registration's callbacks one at a time in the order received.
// Flow control: the messages read and not yet delivered to the callback
// registrations are bounded (NetworkReceiveBacklog). At the bound a stream
// receiver stops reading until deliveries bring the backlog down, so that TCP
// slows the peer; nothing is dropped and a slow callback never disconnects. A
// datagram receiver cannot slow its peer and drops what it reads meanwhile
// (a reliable channel's sender sends it again). A reply never waits behind the
// backlog read before it. What a reliable channel keeps for acknowledgement is
// bounded too (NetworkSendBacklog): at the bound a send waits for room.
// The reliable channels end, releasing what they keep, once their peer is
// gone: the receiver that carries their acknowledgements failed, or the data
// socket found the peer's port refused (reported once, as
// NETWORK_CONNECTION_CLOSED); and when the connection closes.
// Locks, in order: mRequestReplyLock (a whole request/reply exchange), then the
// registrations' lock (short moments), or mRequestReplyLock, then mScratchLock,
// then a socket's send mutex, then a reliable channel's send/resend lock (a
// reliable send takes no scratch lock, and waits for room holding none of
// them). A send that finds the peer gone ends the reliable channels and tells
// the registrations holding at most mRequestReplyLock and mScratchLock.
// mConnectionMutex guards the socket slots and the started flag and is taken
// alone. The sequence counters and the idle counter are atomics.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/Buffer.h"
#include "KTFramework/Utilities/Threading/Event.h"
#include "KTFramework/Utilities/Threading/EventGatedThreader.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "KTFramework/Utilities/Threading/Thread.h"
#include "KTFramework/Utilities/Threading/ThreadWorkerProxy.h"
#include "Platform/ThreadAnnotations.h"
#include "velquin/Common/CrossPlatform/Network/NetworkCallbackRegistration.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnectionCallbackInterface.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnectionReceiver.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnectionSendBuffer.h"
#include "velquin/Common/CrossPlatform/Network/NetworkError.h"
#include "velquin/Common/CrossPlatform/Network/NetworkReceiveBacklog.h"
#include "velquin/Common/CrossPlatform/Network/NetworkRegistrations.h"
#include "velquin/Common/CrossPlatform/Network/NetworkReliableChannel.h"
#include "velquin/Common/CrossPlatform/Network/NetworkSocket.h"
#include "velquin/Common/CrossPlatform/Network/NetworkWireFormat.h"

class LNetworkConnection : public virtual KT::LRefCountedObject
{
public:
    // The bytes a connection puts on the wire, and the names a connection's
    // users know them by.
    using WireFormat = NetworkWireFormat;
    using MessageHeader = WireFormat::MessageHeader;
    static constexpr const GUID& MESSAGE_COOKIE = WireFormat::MESSAGE_COOKIE;
    static constexpr const GUID& CLIENT_COOKIE = WireFormat::CLIENT_COOKIE;
    static constexpr const GUID& CLIENT_COOKIE_DUAL_SOCKETS = WireFormat::CLIENT_COOKIE_DUAL_SOCKETS;
    static constexpr std::uint32_t kHelloSize = WireFormat::kHelloSize;

    // A callback registration, as the connection's users have known it.
    using LCallbacker = LNetworkCallbackRegistration;

    // Which socket slots a connection uses. Slot A is the data socket, slot B
    // the control socket.
    enum ConnectionType : std::uint32_t
    {
        CONNECTION_CONTROL_SOCKET = 0, // one TCP socket in slot B, used by every channel
        CONNECTION_DATA_SOCKET = 1,    // one socket in slot A, used by every channel
        CONNECTION_DUAL_SOCKETS = 2,   // UDP in slot A for channels 0 and 1, TCP in slot B for the rest
    };

    static constexpr std::uint32_t kReceivePollMicroseconds = NetworkConnectionReceiver::kPollMicroseconds;
    static constexpr std::uint32_t kIdlePollMilliseconds = NetworkConnectionReceiver::kIdlePollMilliseconds;
    // The acknowledgement worker runs at least this often, and while a
    // reliable channel has messages pending also when their resend falls due.
    static constexpr std::uint32_t kAckWaitMilliseconds = 500;
    static constexpr std::uint32_t kControlReceiveBuffers = NetworkConnectionReceiver::kControlBuffers;
    static constexpr std::uint32_t kDataReceiveBuffers = NetworkConnectionReceiver::kDataBuffers;
    // Reliable channels: the most unacknowledged messages a send carries
    // along, the spare send buffers made up front (shared out among the
    // reliable channels), and the resend timing (NetworkReliableChannel).
    static constexpr std::uint32_t kReliableWindow = NetworkReliableChannel::kWindow;
    static constexpr std::uint32_t kSpareSendBuffers = 512;
    static constexpr std::int64_t kResendAfterMilliseconds = NetworkReliableChannel::kResendAfterMilliseconds;
    static constexpr std::int64_t kResendProgressMilliseconds =
        NetworkReliableChannel::kResendProgressMilliseconds;

    // Opens the sockets of the type with their hello, then builds the
    // connection; null when any step fails or for another type. Types 0 and 1
    // open one TCP socket. Type 2 binds a UDP socket (any address, a port from
    // 51000), sends the dual-socket hello with its port over TCP, and connects
    // the UDP socket to the port of the server's 18-byte answer.
    static KT::RCPtr<LNetworkConnection> Create(std::uint32_t ipAddress, std::uint16_t port,
                                                ConnectionType type);
    // Builds a connection on sockets already connected; null for a type other
    // than 0, 1 and 2. A UDP data socket (slot A) makes channels 0 and 1
    // reliable.
    static KT::RCPtr<LNetworkConnection> Create(const KT::RCPtr<LNetworkSocket>& socketA,
                                                const KT::RCPtr<LNetworkSocket>& socketB,
                                                ConnectionType type);
    // One connected socket with its hello done; null on failure. TCP: the hello
    // sent (the given bytes, or the single-socket client cookie when none) and
    // TCP_NODELAY set. UDP: the client cookie sent to ipAddress:port and
    // answered with exactly the cookie within the hello time-out; the socket
    // is then connected to the answer's source.
    static KT::RCPtr<LNetworkSocket> ConnectSocket(std::uint32_t ipAddress, std::uint16_t port,
                                                   NetworkSocketType type,
                                                   const KT::RCPtr<KT::LIBuffer>& hello);

    // Sends one message; a null payload sends an empty one. -1 when the channel
    // has no socket (closed, not used by the type, or above 6).
    [[nodiscard]] NetworkError SendMessage(const KT::ConstRCPtr<KT::LIBuffer>& payload,
                                           NetworkChannelNumber channel);
    // Sends a message already in a send buffer, writing its header.
    [[nodiscard]] NetworkError SendMessage(const KT::ConstRCPtr<LNetworkConnectionSendBuffer>& message,
                                           NetworkChannelNumber channel);
    // Sends and waits up to timeoutMs for the next message on replyChannel,
    // one exchange per connection at a time; the time-out also bounds a
    // reliable send's wait for room (NETWORK_OBJECT_OUT_OF_MEMORY when none
    // came in time). reply is written only under the registrations' lock and
    // always agrees with the result: the reply and 0, or null and the failure
    // (NETWORK_RECEIVE_TIMEOUT when no reply came).
    [[nodiscard]] NetworkError SendMessageWithReply(const KT::ConstRCPtr<KT::LIBuffer>& payload,
                                                    NetworkChannelNumber channel,
                                                    KT::ConstRCPtr<KT::LIBuffer>& reply,
                                                    std::uint32_t replyChannel, std::uint32_t timeoutMs,
                                                    const KT::RCPtr<KT::LEvent>& event);
    // The same with a message already in a send buffer, sent as such.
    [[nodiscard]] NetworkError
    SendMessageWithReply(const KT::ConstRCPtr<LNetworkConnectionSendBuffer>& message,
                         NetworkChannelNumber channel, KT::ConstRCPtr<KT::LIBuffer>& reply,
                         std::uint32_t replyChannel, std::uint32_t timeoutMs,
                         const KT::RCPtr<KT::LEvent>& event);

    // Registers the interface for the channel's messages and the connection's
    // errors: 0, or RESULT_FAILED for a null interface, a channel above 6 or an
    // inactive connection. The same interface may be registered again.
    [[nodiscard]] int SetCallback(const KT::RCPtr<LNetworkConnectionCallbackInterface>& callback,
                                  NetworkChannelNumber channel);
    // Removes the latest matching registration and stops its delivery thread,
    // waiting for a callback in progress (unless called from that callback): 0,
    // or RESULT_FAILED when there is none.
    [[nodiscard]] int RemoveCallback(const KT::RCPtr<LNetworkConnectionCallbackInterface>& callback,
                                     NetworkChannelNumber channel);

    // Socket A exists, or (type 0) socket B exists.
    bool IsConnectionActive();
    // Drops both sockets: every send then returns -1 (a reliable send under
    // way NETWORK_CONNECTION_CLOSED), SetCallback fails, the receivers end
    // within one poll and the reliable channels release what they keep.
    void CloseConnection();
    // The socket in slot B (true) or A (false), or null.
    KT::RCPtr<LNetworkSocket> GetNetworkSocket(bool controlSocket);
    // The socket that carries the channel, or null.
    KT::RCPtr<LNetworkSocket> GetSendSocket(NetworkChannelNumber channel);

    // Grows by the poll time for every poll that finds nothing; 0 after a byte.
    std::uint64_t GetMillisecondsSinceLastReceive() const;
    void ClearMillisecondsSinceLastReceive();

    // The messages read and not yet delivered to the callback registrations,
    // and the bound at which the receivers stop reading.
    const NetworkReceiveBacklog& GetReceiveBacklog() { return mRegistrations.GetBacklog(); }
    // The receive buffers the receivers hold, in use or free.
    std::size_t GetReceiveBufferCount() const { return mReceiveBuffers.load(); }

    std::uint32_t GetID() const { return mID; }
    ConnectionType GetConnectionType() const { return mConnectionType; }

    int RemoveContainedReferences() override;
    // The acknowledgement worker, run after every wake of the acknowledgement
    // event, when a resend falls due and every kAckWaitMilliseconds without
    // either: each reliable channel's Service. 0, or RESULT_FAILED after a send
    // error, which the registrations are told of.
    virtual int AckProcessingThreadWorker(const KT::RCPtr<KT::LRefCountedObject>& parameter);
    // How often the acknowledgement worker has run, and how long its wait
    // after the last run lasts at most: kAckWaitMilliseconds while no resend
    // is due.
    std::uint64_t GetAcknowledgementRuns() const { return mAckRuns.load(); }
    std::uint32_t GetAcknowledgementWaitMilliseconds() const { return mAckWait.load(); }

    // Drops the unacknowledged messages of a reliable channel up to and
    // including sequenceID, making room for waiting sends; how many.
    // RESULT_INVALID_ARGUMENT for a channel above 6 or not reliable.
    int RemoveFromSequenceMsgArray(std::uint32_t channel, std::int32_t sequenceID);
    // Unacknowledged messages of the channel; 0 for a channel above 6.
    std::uint32_t GetPreviousSequenceMsgCount(std::uint32_t channel);
    // What a reliable channel keeps for acknowledgement, and its bound; null
    // for a channel that is not reliable.
    const NetworkSendBacklog* GetSendBacklog(std::uint32_t channel) const;
    // Channels 0 and 1 over a UDP data socket.
    bool IsChannelReliable(std::uint32_t channel) const;

    // Entry points of the two receiver threads; the argument is the connection.
    static void* ConnectionThreadWorkerData(void* connection);
    static void* ConnectionThreadWorkerControl(void* connection);

    ~LNetworkConnection() override;

private:
    // Tells the connection how it ended (ReceiverFailed).
    friend class NetworkConnectionReceiver;

    using AckWorker = KT::LThreadWorkerProxy<LNetworkConnection>;

    LNetworkConnection(const KT::RCPtr<LNetworkSocket>& socketA, const KT::RCPtr<LNetworkSocket>& socketB,
                       ConnectionType type);

    // The receivers' common entry: runs one with the reference handed to it.
    static void* RunReceiver(void* connection, bool controlSocket);
    // The receiver loop; returns 1 when it ends.
    int ConnectionThreadWorker(bool controlSocket);

    static KT::RCPtr<LNetworkSocket> ConnectUdpSocket(std::uint32_t ipAddress, std::uint16_t port);
    static KT::RCPtr<LNetworkConnection> CreateDualSockets(std::uint32_t ipAddress, std::uint16_t port);

    // A receiver ended with error, its socket slot still set: the error goes
    // to the registrations, and the reliable channels end when it carried
    // their acknowledgements or found the peer gone.
    void ReceiverFailed(bool controlSocket, NetworkError error);
    // A send or read of the data socket found the peer's port refused: told
    // to the registrations once, whoever finds it, and the reliable channels
    // end.
    void PeerGone(NetworkError error);
    void EndReliableChannels(NetworkError error);
    // One run of the acknowledgement worker; RESULT_FAILED after a send error.
    int ServiceReliableChannels();

    // Starts both receivers once.
    void StartReceivers();
    void StartReceiver(KT::Thread& receiver);
    KT::RCPtr<LNetworkSocket> LoadSocket(bool controlSocket);
    KT::RCPtr<LNetworkSocket> LoadSendSocket(NetworkChannelNumber channel);
    // Sends header and payload under the socket's send mutex. A failure after
    // part of the message went out shuts the socket down both ways.
    // The header is written here, numbered; a payload that follows it in the
    // same block goes out in the same call.
    NetworkError SendOnSocket(const KT::RCPtr<LNetworkSocket>& socket, NetworkChannelNumber channel,
                              unsigned char* header, const unsigned char* payload, std::size_t payloadSize);
    // The two SendMessage, with a deadline (KT::TimeUtils::GetMillisecondCounter)
    // for a reliable send's wait for room.
    NetworkError SendBefore(const KT::ConstRCPtr<KT::LIBuffer>& payload, NetworkChannelNumber channel,
                            std::int64_t deadline);
    NetworkError SendBefore(const KT::ConstRCPtr<LNetworkConnectionSendBuffer>& message,
                            NetworkChannelNumber channel, std::int64_t deadline);
    // Sends a message in a send buffer on the channel's socket: reliably on a
    // reliable channel, else header and payload in one call.
    NetworkError SendBuffer(const KT::RCPtr<LNetworkSocket>& socket, NetworkChannelNumber channel,
                            LNetworkConnectionSendBuffer& buffer, std::int64_t deadline);
    // Sends a payload on a reliable channel, which keeps its own copies; it
    // may wait for room until the deadline (NetworkSendBacklog).
    NetworkError SendReliable(LNetworkSocket& socket, NetworkChannelNumber channel,
                              const unsigned char* payload, std::size_t size, std::int64_t deadline);
    // One request/reply exchange; Payload is the type the caller sends.
    template <class Payload>
    NetworkError Exchange(const KT::ConstRCPtr<Payload>& payload, NetworkChannelNumber channel,
                          KT::ConstRCPtr<KT::LIBuffer>& reply, std::uint32_t replyChannel,
                          std::uint32_t timeoutMs, const KT::RCPtr<KT::LEvent>& event);

    static KT::AtomicCounter smNextID;

    NetworkRegistrations mRegistrations;
    KT::Mutex mConnectionMutex;
    KT::RCPtr<LNetworkSocket> mSocketA GUARDED_BY(mConnectionMutex);
    KT::RCPtr<LNetworkSocket> mSocketB GUARDED_BY(mConnectionMutex);
    KT::Thread mDataReceiver;
    KT::Thread mControlReceiver;
    bool mReceiversStarted GUARDED_BY(mConnectionMutex) = false;
    const std::uint32_t mID;
    std::atomic<std::uint64_t> mMillisecondsSinceLastReceive{0};
    std::atomic<std::size_t> mReceiveBuffers{0};

    // Per ordinary channel: the sequence ID of the next message sent. A
    // reliable channel numbers its own.
    std::atomic<std::int32_t> mNextSequenceID[WireFormat::kChannelCount];

    KT::FastMutex mScratchLock;
    KT::RCPtr<LNetworkConnectionSendBuffer> mScratchSendBuffer GUARDED_BY(mScratchLock);

    // The acknowledgement threader's gate; the reliable channels release it.
    const KT::RCPtr<KT::LEvent> mAckEvent;
    // Per channel, fixed at construction: its reliable channel, or null.
    std::unique_ptr<NetworkReliableChannel> mReliable[WireFormat::kChannelCount];
    KT::RCPtr<KT::LEventGatedThreader> mAckThreader;
    KT::RCPtr<AckWorker> mAckWorker;
    std::atomic<bool> mAckWorkerCounted{false};
    std::atomic<std::uint64_t> mAckRuns{0};
    std::atomic<bool> mPeerGoneReported{false};
    std::atomic<std::uint32_t> mAckWait{kAckWaitMilliseconds};

    KT::FastMutex mRequestReplyLock;
    const ConnectionType mConnectionType;
};
