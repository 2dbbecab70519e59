// NetworkReliableChannel: one reliable channel of a connection (channel 0 or 1
// over a UDP data socket). It numbers and splits what is sent on the channel,
// keeps the copies until the peer acknowledges them, sequences what arrives on
// it, and keeps what the acknowledgement worker needs to acknowledge, ask for
// resends and resend. Owned by its connection, which makes one per reliable
// channel and runs the acknowledgement worker over them.
//
// Threads: Send runs on the senders' threads, with the sending socket's send
// mutex held; Accept, Acknowledged and ResendRequested on the receiver of the
// data socket; Service on the acknowledgement worker's thread. mSendResendLock
// guards the unacknowledged messages and the spare send buffers and is taken
// after a socket's send mutex, never before. The counters are atomics;
// mLastProgress belongs to the acknowledgement worker alone. Whatever gives the
// worker something to do releases the wake event, its threader's gate.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "KTFramework/Utilities/Storage/RCPtrArray.h"
#include "KTFramework/Utilities/Threading/Event.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "Platform/ThreadAnnotations.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnectionSendBuffer.h"
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

    // spareBuffers empty send buffers are made now, so that numbering and
    // splitting need no allocation in the common case.
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
    // and sends the newest unacknowledged messages; socket's send mutex held.
    // An empty payload is NETWORK_SEND_FAILED; NETWORK_OBJECT_OUT_OF_MEMORY,
    // with nothing numbered or kept, when the parts' buffers cannot all be had.
    NetworkError Send(LNetworkSocket& socket, LNetworkConnectionSendBuffer& message);

    // ---- The acknowledgement worker

    // One run for this channel: acknowledges what arrived, asks for a resend
    // after a gap, drops what the peer acknowledged and resends what stays
    // unacknowledged. packetSocket carries acknowledgements and resend
    // requests, dataSocket the channel's messages; a null socket sends
    // nothing. A failed acknowledgement or request is returned; a failed
    // resend only ends that resend.
    NetworkError Service(const KT::RCPtr<LNetworkSocket>& packetSocket,
                         const KT::RCPtr<LNetworkSocket>& dataSocket);

    // Drops the unacknowledged messages up to and including sequenceID,
    // returning them to the spare send buffers; how many.
    int RemoveAcknowledged(std::int32_t sequenceID);
    std::uint32_t GetUnacknowledgedCount();

private:
    // Sends the count newest unacknowledged messages, oldest first, as chunks
    // of up to kMaxPartPayloadSize payload bytes; a part of a multi-part
    // message goes alone. The socket's send mutex held.
    NetworkError SendUnacknowledged(LNetworkSocket& socket, std::size_t count) REQUIRES(mSendResendLock);
    // One acknowledgement or resend-request packet about this channel.
    NetworkError SendControlPacket(LNetworkSocket& socket, NetworkChannelNumber kind, std::int32_t sequence);

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

    KT::FastMutex mSendResendLock;
    // Messages and parts sent and not yet acknowledged, newest at index 0.
    KT::RCPtrArray<LNetworkConnectionSendBuffer, 1, 0> mUnacknowledged GUARDED_BY(mSendResendLock);
    KT::RCPtrArray<LNetworkConnectionSendBuffer, 1, 0> mSpareSendBuffers GUARDED_BY(mSendResendLock);
};
