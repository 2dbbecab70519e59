// NetworkReliableChannel: one reliable channel of a connection (channel 0 or 1
// over a UDP data socket). It numbers and splits what is sent on the channel,
// keeps the copies until the peer acknowledges them, sequences what arrives on
// it, and keeps what the acknowledgement worker needs to acknowledge, ask for
// resends and resend. Owned by its connection, which makes one per reliable
// channel and runs the acknowledgement worker over them.
//
// What it keeps is bounded (NetworkSendBacklog holds that policy): at the
// bound a send waits for acknowledgements, holding no lock. Once its peer is
// gone, or its connection closes, the connection ends it: it releases what it
// keeps, sends and resends nothing more, and a send fails at once.
//
// Threads: Send runs on the senders' threads and takes the sending socket's
// send mutex itself once there is room; Accept on the receiver of the data
// socket, Acknowledged and ResendRequested on the receiver that carries the
// control packets; Service on the acknowledgement worker's thread; End on
// whichever thread finds the channel's end.
// mSendResendLock guards the unacknowledged messages, the spare send buffers
// and the packet a chunk is built in, and is taken after a socket's send
// mutex, never before. The counters are atomics; mLastProgress belongs to the
// acknowledgement worker alone. Whatever gives the worker something to do
// releases the wake event, its threader's gate.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "KTFramework/Utilities/Storage/RCPtrArray.h"
#include "KTFramework/Utilities/Threading/Event.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "Platform/ThreadAnnotations.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnectionSendBuffer.h"
#include "velquin/Common/CrossPlatform/Network/NetworkReceiveBacklog.h"
#include "velquin/Common/CrossPlatform/Network/NetworkSendBacklog.h"
#include "velquin/Common/CrossPlatform/Network/NetworkSocket.h"
#include "velquin/Common/CrossPlatform/Network/NetworkWireFormat.h"

class NetworkReliableChannel
{
public:
    // The most unacknowledged messages a send carries along.
    static constexpr std::uint32_t kWindow = 20;
    // How long without progress before the worker resends. A resend sets the
    // last progress back by less than that, so that without progress the next
    // run resends again.
    static constexpr std::int64_t kResendAfterMilliseconds = 300;
    static constexpr std::int64_t kResendProgressMilliseconds = 250;
    // The resend rhythm: at most one resend pass per channel this often,
    // however often the peer asks.
    static constexpr std::int64_t kResendRhythmMilliseconds =
        kResendAfterMilliseconds - kResendProgressMilliseconds;
    // An acknowledged buffer is kept as a spare only while it is this small
    // (header included), so that the spares hold little while idle.
    static constexpr std::size_t kMostSpareBlockBytes = 1024;

    // spareBuffers empty send buffers are made now, so that numbering and
    // splitting need no allocation in the common case; no more are kept
    // later.
    NetworkReliableChannel(std::uint32_t channel, std::uint32_t spareBuffers,
                           const KT::RCPtr<KT::LEvent>& wake);

    NetworkReliableChannel(const NetworkReliableChannel&) = delete;
    NetworkReliableChannel& operator=(const NetworkReliableChannel&) = delete;

    // ---- What arrives

    // A packet of this channel whose newest message is sequenceID, carrying
    // previousCount older ones: true when it follows what was received (it is
    // then the highest received); false for a duplicate, whose
    // acknowledgement is sent again, or for a packet after a gap, whose resend
    // is asked for.
    bool Accept(std::int32_t sequenceID, std::uint32_t previousCount);
    // The peer has received everything up to sequence.
    void Acknowledged(std::int32_t sequence);
    // The peer wants everything again from sequence on.
    void ResendRequested(std::int32_t sequence);

    // ---- Sending

    // Numbers the message, splits it into parts, keeps them until acknowledged
    // and sends the newest unacknowledged messages on socket. At the bound, or
    // while earlier sends of the channel wait, it first waits for its turn and
    // room (NetworkSendBacklog::Turn::WaitForRoom, which says what heldBackBy
    // and deadline are for). NETWORK_NO_ERROR once the message is numbered and
    // kept, whether or not its datagrams went out: the resends repair them. An
    // error only with nothing numbered or kept: NETWORK_SEND_FAILED for an
    // empty payload; NETWORK_OBJECT_OUT_OF_MEMORY when the parts' buffers
    // cannot all be had or no room came in time; the channel's end error, at
    // once or as soon as it ends while the send waits.
    NetworkError Send(LNetworkSocket& socket, const unsigned char* payload, std::size_t size,
                      const NetworkReceiveBacklog* heldBackBy,
                      std::int64_t deadline = NetworkSendBacklog::kNoDeadline);
    // Ends the channel for good with error (the first end counts): what it
    // keeps is released and given back to the bound, a waiting send fails, and
    // from now on every send fails at once with error, nothing is acknowledged,
    // asked for or resent, and nothing is due.
    void End(NetworkError error);
    // Once after a send of the channel found the peer's socket gone
    // (NETWORK_CONNECTION_CLOSED on a datagram socket), for the connection to
    // end its reliable channels; else NETWORK_NO_ERROR.
    NetworkError TakePeerGone() noexcept { return mPeerGone.exchange(NETWORK_NO_ERROR); }
    // What the channel keeps for acknowledgement, and its bound.
    const NetworkSendBacklog& GetBacklog() const noexcept { return mBacklog; }

    // ---- The acknowledgement worker

    // One run for this channel: acknowledges what arrived, asks for a resend
    // after a gap, drops what the peer acknowledged and resends what stays
    // unacknowledged, on the rhythm and when the peer asks, but no more often
    // than kResendRhythmMilliseconds. packetSocket carries acknowledgements
    // and resend requests, dataSocket the channel's messages; a null socket
    // sends nothing. A failed acknowledgement or request is returned; a failed
    // resend only ends that resend. Nothing once the channel has ended.
    NetworkError Service(const KT::RCPtr<LNetworkSocket>& packetSocket,
                         const KT::RCPtr<LNetworkSocket>& dataSocket);

    // How long from now until a resend of what stays unacknowledged falls
    // due, on the rhythm or for a request the rhythm held back, at least 1;
    // kNothingDue while nothing is (nothing kept, or the channel ended). The
    // worker's.
    static constexpr std::int64_t kNothingDue = std::int64_t{1} << 40;
    std::int64_t GetResendDueInMilliseconds();

    // Drops the unacknowledged messages up to and including sequenceID,
    // keeping small ones as spare send buffers while fewer than the start's
    // are; how many.
    int RemoveAcknowledged(std::int32_t sequenceID);
    std::uint32_t GetUnacknowledgedCount();

private:
    // What the parts of a message of the split will be counted at, as far as
    // it can be told before their buffers are chosen.
    static std::size_t ExpectedKeptBytes(const NetworkMultipartSplit& split) noexcept;
    // Numbers, keeps and sends a message for which there is room; the
    // socket's send mutex held.
    NetworkError KeepAndSend(LNetworkSocket& socket, const unsigned char* payload,
                             const NetworkMultipartSplit& split) REQUIRES(mSendResendLock);
    // Sends the count newest unacknowledged messages, oldest first, as chunks
    // of up to kMaxPartPayloadSize payload bytes, until mostBytes of payload
    // have gone; a part of a multi-part message goes alone. left, when given,
    // is how many of the count were not sent: the newest sent is at index
    // left. The socket's send mutex held.
    NetworkError SendUnacknowledged(LNetworkSocket& socket, std::size_t count, std::size_t mostBytes,
                                    std::size_t* left = nullptr) REQUIRES(mSendResendLock);
    // One acknowledgement or resend-request packet about this channel.
    NetworkError SendControlPacket(LNetworkSocket& socket, NetworkChannelNumber kind, std::int32_t sequence);
    // Notes a send's result that says the peer's socket is gone; passes it on.
    NetworkError NoteSent(NetworkError result) noexcept;
    // Resends what stays unacknowledged on socket, the oldest first and no
    // more than NetworkSendBacklog::kMostResendBytes.
    void Resend(LNetworkSocket& socket);

    const std::uint32_t mChannel;
    const KT::RCPtr<KT::LEvent> mWake;

    std::atomic<std::int32_t> mNextSequenceID{0};
    std::atomic<std::int32_t> mLastReceived{-1};
    std::atomic<std::int32_t> mPeerAcknowledged{-1};
    std::atomic<std::int32_t> mResendRequestReceived{0};
    // What the worker last sent and handled, the first sequence ID this side
    // wants again, and whether a duplicate arrived (its sender missed an
    // acknowledgement, which is sent again).
    std::atomic<std::int32_t> mLastAcknowledgementSent{-1};
    std::atomic<std::int32_t> mResendRequestSent{0};
    std::atomic<std::int32_t> mResendWanted{0};
    std::atomic<std::int32_t> mResendRequestHandled{0};
    std::atomic<bool> mDuplicateReceived{false};
    std::atomic<std::uint32_t> mWindow{kWindow};
    std::int64_t mLastProgress; // the worker's
    // When the last resend pass went, whether it stopped at kMostResendBytes
    // with messages left, and the newest it sent; the worker's.
    std::int64_t mLastResend;
    bool mResendCut = false;
    std::int32_t mResendCutAfter = 0;
    std::atomic<NetworkError> mEndError{NETWORK_NO_ERROR};
    std::atomic<NetworkError> mPeerGone{NETWORK_NO_ERROR};

    NetworkSendBacklog mBacklog;
    const std::uint32_t mMostSpareBuffers;
    KT::FastMutex mSendResendLock;
    // Messages and parts sent and not yet acknowledged, newest at index 0.
    KT::RCPtrArray<LNetworkConnectionSendBuffer, 1, 0> mUnacknowledged GUARDED_BY(mSendResendLock);
    KT::RCPtrArray<LNetworkConnectionSendBuffer, 1, 0> mSpareSendBuffers GUARDED_BY(mSendResendLock);
    // A chunk of several messages is built here, so that no kept buffer grows
    // to a packet's size for it.
    std::array<unsigned char, NetworkWireFormat::kMaxPacketSize> mPacket GUARDED_BY(mSendResendLock);
};
