// LNetworkConnection: one message connection to a device over IPv4. Users
// open it with Create, send with SendMessage and SendMessageWithReply, and
// receive a channel's messages and the connection's errors through
// registrations made with SetCallback. Owned through RCPtr; every registration
// (and every pending reply waiter) holds the connection too, so a connection
// with registrations lives until they are removed.
//
// Threads:
// - Users' threads: Create, sends, request and reply, registrations, close.
// - Two receivers (KT::Thread each), one per socket slot, started by the first
//   SetCallback or SendMessageWithReply: they read messages and hand them to
//   the registrations of their channel (NetworkConnectionReceiver.cpp). Each
//   holds a counted reference to the connection for its run, counted as a
//   contained reference: the last outside release closes the connection, the
//   receivers end within one poll and the last of them frees it.
// - The acknowledgement threader, from Create on; on connections without
//   reliable channels (every TCP connection) each run does nothing. Its worker
//   holds a contained reference that RemoveContainedReferences drops. Over a
//   UDP data socket it acknowledges, asks for resends and resends
//   (NetworkConnectionReliable.cpp).
// - One delivery thread per callback registration (a one-thread pool), which
//   runs the registration's callbacks one at a time in the order received.
// Locks, in order: mRequestReplyLock (a whole request/reply exchange), then
// mConnectionMutex (short moments), or mRequestReplyLock, then a socket's send
// mutex. mConnectionMutex guards the socket slots, the registrations and the
// started flag; delivery under it only stores a reply or queues a job, and no
// user code and no release of a user's object runs under it. The sequence and
// receive counters and the idle counter are atomics.
// Reliable channels (0 and 1 over a UDP data socket): mScratchLock, then the
// sending socket's send mutex, then mSendResendLock, which guards the
// unacknowledged messages and the spare send buffers. Last progress and the
// acknowledgement template belong to the acknowledgement worker alone.
#pragma once

#include <atomic>
#include <cstdint>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/Buffer.h"
#include "KTFramework/Utilities/Storage/RCPtrArray.h"
#include "KTFramework/Utilities/Storage/StringT.h"
#include "KTFramework/Utilities/Threading/Event.h"
#include "KTFramework/Utilities/Threading/EventGatedThreader.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "KTFramework/Utilities/Threading/Thread.h"
#include "KTFramework/Utilities/Threading/ThreadPool.h"
#include "KTFramework/Utilities/Threading/ThreadWorker.h"
#include "KTFramework/Utilities/Threading/ThreadWorkerProxy.h"
#include "Platform/ThreadAnnotations.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnectionCallbackInterface.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnectionSendBuffer.h"
#include "velquin/Common/CrossPlatform/Network/NetworkError.h"
#include "velquin/Common/CrossPlatform/Network/NetworkSocket.h"
#include "velquin/Common/CrossPlatform/Network/NetworkWireFormat.h"

class LNetworkConnection : public virtual KT::LRefCountedObject, public NetworkWireFormat
{
public:
    // Which socket slots a connection uses. Slot A is the data socket, slot B
    // the control socket.
    enum ConnectionType : std::uint32_t
    {
        CONNECTION_CONTROL_SOCKET = 0, // one TCP socket in slot B, used by every channel
        CONNECTION_DATA_SOCKET = 1,    // one socket in slot A, used by every channel
        CONNECTION_DUAL_SOCKETS = 2,   // UDP in slot A for channels 0 and 1, TCP in slot B for the rest
    };

    // How long a receiver waits for bytes before it looks at its socket slot
    // again and counts the time as idle.
    static constexpr std::uint32_t kReceivePollMicroseconds = 500000;
    static constexpr std::uint32_t kIdlePollMilliseconds = kReceivePollMicroseconds / 1000;
    // The acknowledgement worker runs at least this often.
    static constexpr std::uint32_t kAckWaitMilliseconds = 500;
    // Receive buffers made when a receiver starts: the control socket carries
    // little, the data socket the bulk.
    static constexpr std::uint32_t kControlReceiveBuffers = 10;
    static constexpr std::uint32_t kDataReceiveBuffers = 50;
    // Reliable channels: the most unacknowledged messages a send carries
    // along, the spare send buffers made up front, and how long without
    // progress before the acknowledgement worker resends. A resend sets the
    // last progress back by less than that, so that without progress the next
    // run resends again.
    static constexpr std::uint32_t kReliableWindow = 20;
    static constexpr std::uint32_t kSpareSendBuffers = 512;
    static constexpr std::int64_t kResendAfterMilliseconds = 300;
    static constexpr std::int64_t kResendProgressMilliseconds = 250;

    class LCallbacker;

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
    // one exchange per connection at a time. reply is written only under the
    // connection mutex and always agrees with the result: the reply and 0, or
    // null and the failure (NETWORK_RECEIVE_TIMEOUT when none came).
    [[nodiscard]] NetworkError SendMessageWithReply(const KT::ConstRCPtr<KT::LIBuffer>& payload,
                                                    NetworkChannelNumber channel,
                                                    KT::ConstRCPtr<KT::LIBuffer>& reply,
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
    // Drops both sockets: every send then returns -1, SetCallback fails, and
    // the receivers end within one poll.
    void CloseConnection();
    // The socket in slot B (true) or A (false), or null.
    KT::RCPtr<LNetworkSocket> GetNetworkSocket(bool controlSocket);
    // The socket that carries the channel, or null.
    KT::RCPtr<LNetworkSocket> GetSendSocket(NetworkChannelNumber channel);

    // Grows by the poll time for every poll that finds nothing; 0 after a byte.
    std::uint64_t GetMillisecondsSinceLastReceive() const;
    void ClearMillisecondsSinceLastReceive();

    std::uint32_t GetID() const { return mID; }
    ConnectionType GetConnectionType() const { return mConnectionType; }

    int RemoveContainedReferences() override;
    // The acknowledgement worker, run after every wake of the acknowledgement
    // event and every kAckWaitMilliseconds without one: per reliable channel it
    // acknowledges what arrived, asks for a resend after a gap, drops what the
    // peer acknowledged and resends what stays unacknowledged. 0, or
    // RESULT_FAILED after a send error, which the registrations are told of.
    virtual int AckProcessingThreadWorker(const KT::RCPtr<KT::LRefCountedObject>& parameter);

    // Drops the unacknowledged messages of a reliable channel up to and
    // including sequenceID, returning them to the spare send buffers; how
    // many. RESULT_INVALID_ARGUMENT for a channel above 6 or not reliable.
    int RemoveFromSequenceMsgArray(std::uint32_t channel, std::int32_t sequenceID);
    // Unacknowledged messages of the channel; 0 for a channel above 6.
    std::uint32_t GetPreviousSequenceMsgCount(std::uint32_t channel);
    // Channels 0 and 1 over a UDP data socket.
    bool IsChannelReliable(std::uint32_t channel) const;

    // Entry points of the two receiver threads; the argument is the connection.
    static void* ConnectionThreadWorkerData(void* connection);
    static void* ConnectionThreadWorkerControl(void* connection);

    ~LNetworkConnection() override;

private:
    class Receiver;
    friend class Receiver;
    using AckWorker = KT::LThreadWorkerProxy<LNetworkConnection>;

    LNetworkConnection(const KT::RCPtr<LNetworkSocket>& socketA, const KT::RCPtr<LNetworkSocket>& socketB,
                       ConnectionType type);

    // The receivers' common entry: runs one with the reference handed to it.
    static void* RunReceiver(void* connection, bool controlSocket);
    // The receiver loop; returns 1 when it ends.
    int ConnectionThreadWorker(bool controlSocket);

    static KT::RCPtr<LNetworkSocket> ConnectUdpSocket(std::uint32_t ipAddress, std::uint16_t port);
    static KT::RCPtr<LNetworkConnection> CreateDualSockets(std::uint32_t ipAddress, std::uint16_t port);

    // Starts both receivers once; mConnectionMutex held.
    void StartReceiversLocked() REQUIRES(mConnectionMutex);
    void StartReceiver(KT::Thread& receiver);
    KT::RCPtr<LNetworkSocket> LoadSocket(bool controlSocket);
    KT::RCPtr<LNetworkSocket> LoadSendSocket(NetworkChannelNumber channel);
    // Sends header and payload under the socket's send mutex. A failure after
    // part of the message went out shuts the socket down both ways.
    // The header is written here, numbered; a payload that follows it in the
    // same block goes out in the same call.
    NetworkError SendOnSocket(const KT::RCPtr<LNetworkSocket>& socket, NetworkChannelNumber channel,
                              unsigned char* header, const unsigned char* payload, std::size_t payloadSize);

    // Sends a message in a send buffer on the channel's socket: reliably on a
    // reliable channel, else header and payload in one call.
    NetworkError SendBuffer(const KT::RCPtr<LNetworkSocket>& socket, NetworkChannelNumber channel,
                            LNetworkConnectionSendBuffer& buffer);
    // The reliable send of a message in a send buffer, entered with the
    // socket's send mutex held: numbers and splits it into parts, keeps them
    // until acknowledged and sends the newest unacknowledged messages. An
    // empty payload is NETWORK_SEND_FAILED; NETWORK_OBJECT_OUT_OF_MEMORY, with
    // nothing numbered or kept, when the parts' buffers cannot all be had.
    NetworkError SendReliable(LNetworkSocket& socket, std::uint32_t channel,
                              LNetworkConnectionSendBuffer& message);
    // Sends the count newest unacknowledged messages of the channel, oldest
    // first, as chunks of up to kMaxPartPayloadSize payload bytes; a part of a
    // multi-part message goes alone. The socket's send mutex held.
    NetworkError SendUnacknowledged(LNetworkSocket& socket, std::uint32_t channel, std::size_t count)
        REQUIRES(mSendResendLock);
    // One acknowledgement or resend-request packet about a reliable channel.
    NetworkError SendControlPacket(NetworkChannelNumber kind, std::uint32_t channel, std::int32_t sequence);
    // One reliable channel's turn of the acknowledgement worker.
    NetworkError ProcessReliableChannel(std::uint32_t channel);

    // Hands a message or an error to the registrations, last to first, under
    // mConnectionMutex.
    void DeliverMessage(const KT::RCPtr<LNetworkConnectionSendBuffer>& message, std::uint32_t channel);
    void DeliverError(NetworkError error);
    void AddIdleTime(std::uint32_t milliseconds);
    void MarkReceived();

    static KT::AtomicCounter smNextID;

    KT::Mutex mConnectionMutex;
    KT::RCPtrArray<LCallbacker, 1, 0> mRegistrations GUARDED_BY(mConnectionMutex);
    KT::RCPtr<LNetworkSocket> mSocketA GUARDED_BY(mConnectionMutex);
    KT::RCPtr<LNetworkSocket> mSocketB GUARDED_BY(mConnectionMutex);
    KT::Thread mDataReceiver;
    KT::Thread mControlReceiver;
    bool mReceiversStarted GUARDED_BY(mConnectionMutex) = false;
    const std::uint32_t mID;
    std::atomic<std::uint64_t> mMillisecondsSinceLastReceive{0};

    // Per channel: the sequence ID of the next message sent, the highest
    // received, and what acknowledgement and resend-request packets reported.
    std::atomic<std::int32_t> mNextSequenceID[kChannelCount];
    std::atomic<std::int32_t> mLastReceived[kChannelCount];
    std::atomic<std::int32_t> mPeerAcknowledged[kChannelCount];
    std::atomic<std::int32_t> mResendRequestReceived[kChannelCount];
    // Reliable channels: what the acknowledgement worker last sent and
    // handled, the first sequence ID this side wants again, and whether a
    // duplicate arrived (its sender missed an acknowledgement, which is sent
    // again).
    std::atomic<std::int32_t> mLastAcknowledgementSent[kChannelCount];
    std::atomic<std::int32_t> mResendRequestSent[kChannelCount];
    std::atomic<std::int32_t> mResendWanted[kChannelCount];
    std::atomic<std::int32_t> mResendRequestHandled[kChannelCount];
    std::atomic<bool> mDuplicateReceived[kChannelCount];
    std::atomic<std::uint32_t> mWindow[kChannelCount];
    bool mReliable[kChannelCount];                        // fixed at construction
    std::int64_t mLastProgress[kChannelCount];            // the acknowledgement worker's
    KT::RCPtr<LNetworkConnectionSendBuffer> mAckTemplate; // the acknowledgement worker's

    KT::FastMutex mScratchLock;
    KT::RCPtr<LNetworkConnectionSendBuffer> mScratchSendBuffer GUARDED_BY(mScratchLock);
    KT::FastMutex mSendResendLock;
    // Per channel, newest at index 0: messages and parts sent and not yet
    // acknowledged.
    KT::RCPtrArray<LNetworkConnectionSendBuffer, 1, 0>
        mUnacknowledged[kChannelCount] GUARDED_BY(mSendResendLock);
    KT::RCPtrArray<LNetworkConnectionSendBuffer, 1, 0> mSpareSendBuffers GUARDED_BY(mSendResendLock);

    KT::RCPtr<KT::LEventGatedThreader> mAckThreader;
    KT::RCPtr<KT::LEvent> mAckEvent;
    KT::RCPtr<AckWorker> mAckWorker;
    std::atomic<bool> mAckWorkerCounted{false};

    KT::FastMutex mRequestReplyLock ACQUIRED_BEFORE(mConnectionMutex);
    const ConnectionType mConnectionType;
};

// One entry of a connection's registrations: a callback registration, with
// its own one-thread delivery pool, or a reply waiter of SendMessageWithReply.
// Its fields are fixed at creation, except the reply slot and the replied flag,
// which the owner's mConnectionMutex guards.
class LNetworkConnection::LCallbacker : public virtual KT::LRefCountedObject
{
public:
    class LCallBackThreadWorker;
    // How an error travels to a delivery job.
    using ErrorParameter = KT::LWrapper<KT::Wrapper<NetworkError>, KT::LRefCountedObject>;

    // A callback registration; null when its delivery pool cannot be made.
    static KT::RCPtr<LCallbacker> Create(const KT::RCPtr<LNetworkConnectionCallbackInterface>& callback,
                                         std::uint32_t channel, const KT::RCPtr<LNetworkConnection>& owner);
    // A reply waiter that stores the first message of its channel in *replySlot
    // and releases replyEvent.
    static KT::RCPtr<LCallbacker> Create(const KT::RCPtr<KT::LEvent>& replyEvent,
                                         KT::ConstRCPtr<KT::LIBuffer>* replySlot, std::uint32_t channel,
                                         const KT::RCPtr<LNetworkConnection>& owner);

    bool IsMatch(const KT::RCPtr<LNetworkConnectionCallbackInterface>& callback, std::uint32_t channel) const;
    bool IsMatch(const KT::RCPtr<KT::LEvent>& replyEvent, std::uint32_t channel) const;
    std::uint32_t GetChannel() const { return mChannel; }

    // Called under the owner's mConnectionMutex. A waiter stores the message
    // and returns 0; a registration queues a delivery job.
    int ReceivedMessage(const KT::RCPtr<LNetworkConnectionSendBuffer>& message);
    // A registration queues a delivery job; waiters ignore errors.
    int ConnectionError(NetworkError error);
    // A waiter has stored a reply; owner's mConnectionMutex held.
    bool HasReply() const { return mReplied; }
    // Stops the delivery pool (not waiting for the calling thread).
    void KillThreads();

    ~LCallbacker() override;

private:
    LCallbacker(std::uint32_t channel, const KT::RCPtr<LNetworkConnection>& owner);

    const std::uint32_t mChannel;
    KT::RCPtr<LNetworkConnection> mOwner;
    KT::RCPtr<LNetworkConnectionCallbackInterface> mCallback;
    KT::RCPtr<KT::LEvent> mReplyEvent;
    KT::RCPtr<KT::LThreadPool> mPool;
    KT::ConstRCPtr<KT::LIBuffer>* mReplySlot = nullptr; // what it points to: owner's mConnectionMutex
    bool mReplied = false;                              // guarded by the owner's mConnectionMutex
};

// One delivery: a message or an error for one registration, run on the
// registration's pool. Its storage comes from a shared block pool, since
// steady traffic makes and frees one per message.
class LNetworkConnection::LCallbacker::LCallBackThreadWorker : public KT::LThreadWorker
{
public:
    // The job's name, "LCallBackThreadWorker #<n> for NetworkConnection <id>,
    // channel <c>", counts every job made in the process.
    static KT::RCPtr<LCallBackThreadWorker>
    Create(const KT::RCPtr<LNetworkConnection>& connection,
           const KT::RCPtr<LNetworkConnectionCallbackInterface>& callback, std::uint32_t channel);
    // Makes a job for the registration and queues it on its pool.
    static void QueueThread(LCallbacker& registration, const KT::RCPtr<KT::LRefCountedObject>& parameter);

    // A send buffer parameter goes to ReceivedMessageCallback, a wrapped
    // NetworkError to ConnectionErrorCallback; returns 0.
    int RunWorker(const KT::RCPtr<KT::LRefCountedObject>& parameter) override;
    KT::StringT<char, unsigned short> ToString() const override { return mName; }

    static void* operator new(std::size_t size);
    static void operator delete(void* block) noexcept;

    // Jobs made so far in the process.
    static std::atomic<std::uint32_t> smCount;

    ~LCallBackThreadWorker() override = default;

private:
    LCallBackThreadWorker(const KT::RCPtr<LNetworkConnection>& connection,
                          const KT::RCPtr<LNetworkConnectionCallbackInterface>& callback,
                          std::uint32_t channel);

    KT::RCPtr<LNetworkConnection> mConnection;
    KT::RCPtr<LNetworkConnectionCallbackInterface> mCallback;
    const std::uint32_t mChannel;
    KT::StringT<char, unsigned short> mName;
};
