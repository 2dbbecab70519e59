// NetworkConnectionReceiver: one receiver of a connection, which turns the
// bytes of one socket slot into messages, each in a pool buffer that is then
// delivered. A stream is read in large chunks, from which every message is
// copied once into its buffer; a large payload is read straight into its
// buffer, and a datagram whole into one. It sequences the reliable channels' packets with
// their NetworkReliableChannel, reassembles multi-part messages and hands the
// complete messages of each read together to the connection's registrations,
// then a receive error, which ends it. While the messages read and not yet
// delivered are at the bound of the registrations' backlog, a stream receiver
// reads no further, so that TCP slows the peer, and a datagram receiver reads
// what comes into a scratch block and drops it; while a reply is awaited both
// read on, and a stream receiver also while the acknowledgements it carries
// are (NetworkReceiveBacklog holds that policy). The copies of small messages
// held behind a backlog are packed into shared blocks (NetworkPayloadPacks).
// Once the backlog has drained, the pool gives back the buffers a burst made.
//
// Threads: made and run by one receiver thread of the connection, for that
// thread's run; nothing else touches it. It reads its socket slot through the
// connection's GetNetworkSocket after every poll and every read error, so that
// CloseConnection ends it within one poll.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "velquin/Common/CrossPlatform/Network/NetworkCallbackRegistration.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnectionSendBuffer.h"
#include "velquin/Common/CrossPlatform/Network/NetworkHeaderSearch.h"
#include "velquin/Common/CrossPlatform/Network/NetworkPayloadPacks.h"
#include "velquin/Common/CrossPlatform/Network/NetworkRegistrations.h"
#include "velquin/Common/CrossPlatform/Network/NetworkReliableChannel.h"
#include "velquin/Common/CrossPlatform/Network/NetworkSocket.h"
#include "velquin/Common/CrossPlatform/Network/NetworkWireFormat.h"

class LNetworkConnection;

// What a receiver hands its work to; its connection owns all of it.
struct NetworkReceiverTargets
{
    NetworkRegistrations& registrations;
    // Per channel: its reliable channel, or null for an ordinary channel.
    NetworkReliableChannel* reliable[NetworkWireFormat::kChannelCount];
    // Grows by the poll time for every poll that finds nothing; 0 after a byte.
    std::atomic<std::uint64_t>& millisecondsSinceLastReceive;
    // The buffers the receivers' pools hold.
    std::atomic<std::size_t>& receiveBuffers;
};

class NetworkConnectionReceiver
{
public:
    // How long a receiver waits for bytes before it looks at its socket slot
    // again and counts the time as idle.
    static constexpr std::uint32_t kPollMicroseconds = 500000;
    static constexpr std::uint32_t kIdlePollMilliseconds = kPollMicroseconds / 1000;
    // Receive buffers made when a receiver starts: the control socket carries
    // little, the data socket the bulk.
    static constexpr std::uint32_t kControlBuffers = 10;
    static constexpr std::uint32_t kDataBuffers = 50;
    // The most messages read before they are handed over together.
    static constexpr std::size_t kMostHandedOver = 256;
    // A stream is read this much at a time; a payload of at least
    // kStraightReadBytes still to come is read straight into its buffer.
    static constexpr std::size_t kChunkBytes = 65536;
    static constexpr std::size_t kStraightReadBytes = 4096;
    // Pool buffers looked at, from the cursor on, before a new one is made.
    static constexpr std::size_t kTakeProbes = 16;

    NetworkConnectionReceiver(LNetworkConnection& connection, bool controlSocket,
                              const NetworkReceiverTargets& targets);

    ~NetworkConnectionReceiver();
    NetworkConnectionReceiver(const NetworkConnectionReceiver&) = delete;
    NetworkConnectionReceiver& operator=(const NetworkConnectionReceiver&) = delete;

    // The receiver loop, until its socket slot is empty or a receive error has
    // been reported; returns 1.
    int Run();

private:
    using MessageHeader = NetworkWireFormat::MessageHeader;

    // A multi-part message of one channel under reassembly.
    struct Multipart
    {
        KT::RCPtr<LNetworkConnectionSendBuffer> message;
        std::uint32_t count = 0;
        std::uint32_t nextIndex = 0;
    };

    KT::RCPtr<LNetworkSocket> LoadSocket();
    // Whether one more message may be read: the backlog, with what is
    // complete and not yet handed over, is below its bound.
    bool HasRoom() const;
    // A reliable channel of the connection has a message not yet acknowledged.
    bool AwaitsAcknowledgement() const;
    KT::RCPtr<LNetworkConnectionSendBuffer> TakeBuffer();
    // Before a datagram is read: the scratch block while the backlog is at
    // its bound, else a pool buffer.
    void ChooseDatagramBlock();
    // Once nothing read waits for delivery: lets go of the free buffers beyond
    // as many as were made at the start, and of the blocks grown for a large
    // message.
    void ShrinkPool();
    // Adds to the current buffer, without waiting: from the chunk while it
    // holds bytes, exactly what the search asked for; else from the socket,
    // into the chunk or, for a large payload, straight into the buffer.
    NetworkError Fill(LNetworkSocket& socket);
    std::size_t Chunked() const noexcept { return mChunkEnd - mChunkAt; }
    // Reads the next datagram whole into the current buffer, grown to hold it;
    // one cut by the system is dropped whole.
    NetworkError FillDatagram(LNetworkSocket& socket);
    // What a datagram left incomplete is dropped: a datagram is framed alone,
    // never completed from the next one.
    void DropIncomplete();
    // Frames the bytes held until a message is complete (true) or the search
    // needs more (false).
    bool Advance();
    // A whole message with a 52-byte header that starts the chunk, checked
    // there and copied into the current buffer in one step, or straight into
    // its packed copy: true when there was one. Anything else takes the
    // byte-by-byte way of Advance.
    bool TakeWhole();
    void CompleteMessage(const MessageHeader& header, std::size_t payloadSize, std::size_t surplus);
    void Dispatch(KT::RCPtr<LNetworkConnectionSendBuffer>&& message, const MessageHeader& header);
    void DispatchPart(KT::RCPtr<LNetworkConnectionSendBuffer>&& message, const MessageHeader& header);
    // A message complete for delivery: handed over in its block, or, while a
    // backlog builds, as a copy of its own size so that the block is read
    // into again at once (NetworkReceiveBacklog::ShouldCompact).
    void Complete(KT::RCPtr<LNetworkConnectionSendBuffer>&& block, std::uint32_t channel,
                  std::int32_t sequenceID, std::int32_t count);
    // Keeps a message's payload to be handed over with the others.
    void Hold(KT::RCPtr<KT::LIBuffer>&& payload, std::uint32_t channel, std::int32_t sequenceID,
              std::int32_t count);
    // Hands the messages completed since the last time to the registrations.
    void HandOver();

    unsigned char* Bytes() { return mCurrent->GetMessageHeader(); }
    std::size_t Capacity() const { return NetworkWireFormat::kHeaderSize + mCurrent->GetSizeBytes(); }

    LNetworkConnection& mConnection;
    const bool mControlSocket;
    const NetworkReceiverTargets mTargets;
    bool mDatagrams = false;

    // Grows by steps and goes in one pass: a backlog may make it thousands
    // of buffers long.
    std::vector<KT::RCPtr<LNetworkConnectionSendBuffer>> mPool;
    std::size_t mPoolStartSize = 0;
    std::size_t mNextPoolIndex = 0;
    bool mPoolGrown = false; // beyond its start size, or a block beyond one receive block
    KT::RCPtr<LNetworkConnectionSendBuffer> mCurrent;
    // A datagram receiver's block for the datagrams it drops at the bound:
    // mCurrent is it while mDropping.
    KT::RCPtr<LNetworkConnectionSendBuffer> mScratch;
    bool mDropping = false;
    std::size_t mHeld = 0; // bytes held from the start of mCurrent
    NetworkHeaderSearch mSearch;
    std::size_t mNeeded = 0; // what the search last asked for
    bool mInPayload = false;

    // Bytes read and not yet taken into a message: [mChunkAt, mChunkEnd) of
    // mChunk. A datagram's bytes past its message land here too.
    std::vector<unsigned char> mChunk;
    std::size_t mChunkAt = 0;
    std::size_t mChunkEnd = 0;

    Multipart mMultipart[NetworkWireFormat::kChannelCount];
    // The messages completed since the last hand-over, and the memory they
    // hold; its room is reused.
    std::vector<NetworkReceivedMessage> mCompleted;
    std::size_t mCompletedBytes = 0;
    // Where the copies of small held messages are made.
    NetworkPayloadPacks mPacks;
};
