#include "velquin/Common/CrossPlatform/Network/NetworkConnectionReceiver.h"

#include <cstring>
#include <new>
#include <utility>

#include "Platform/ByteOrder.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnection.h"

namespace
{
using Wire = NetworkWireFormat;
} // namespace

NetworkConnectionReceiver::NetworkConnectionReceiver(LNetworkConnection& connection, bool controlSocket,
                                                     const NetworkReceiverTargets& targets)
    : mConnection(connection), mControlSocket(controlSocket), mTargets(targets)
{
}

NetworkConnectionReceiver::~NetworkConnectionReceiver()
{
    // Here, not at the end of Run, so that a run that threw counts too.
    mTargets.receiveBuffers.fetch_sub(mPool.size());
}

KT::RCPtr<LNetworkSocket> NetworkConnectionReceiver::LoadSocket()
{
    return mConnection.GetNetworkSocket(mControlSocket);
}

int NetworkConnectionReceiver::Run()
{
    KT::RCPtr<LNetworkSocket> socket = LoadSocket();
    if (!socket)
    {
        return 0;
    }
    mDatagrams = socket->GetSocketType() == NETWORK_SOCKET_UDP;
    mPoolStartSize = mControlSocket ? kControlBuffers : kDataBuffers;
    for (std::size_t i = 0; i < mPoolStartSize; ++i)
    {
        // Grows or throws: there is no result to look at.
        mPool.push_back(LNetworkConnectionSendBuffer::CreateUnfilled(Wire::kMaxPartPayloadSize));
    }
    mTargets.receiveBuffers.fetch_add(mPool.size());
    if (mDatagrams)
    {
        mScratch = LNetworkConnectionSendBuffer::CreateUnfilled(Wire::kMaxPartPayloadSize);
    }

    NetworkError error = NETWORK_NO_ERROR;
    while (socket.GetRaw() != nullptr)
    {
        if (error != NETWORK_NO_ERROR)
        {
            HandOver();
            mConnection.ReceiverFailed(mControlSocket, error);
            break;
        }
        if (!mCurrent)
        {
            // A stream is read no further while what was read and not yet
            // delivered is at the bound: the peer's sends then wait in TCP.
            // What is complete goes on first, or nothing would bring the
            // backlog down. The socket slot is looked at after every wait.
            if (!mDatagrams && !HasRoom())
            {
                HandOver();
                static_cast<void>(mTargets.registrations.GetBacklog().WaitForRoom(kPollMicroseconds / 1000));
                socket = LoadSocket();
                continue;
            }
            if (mDatagrams && Chunked() == 0)
            {
                // A datagram's messages go on before the next is read: a
                // buffer the hand-over frees can then be taken again.
                HandOver();
            }
            // A datagram read while the backlog is at the bound is dropped:
            // it is read into the scratch block, so the pool does not grow
            // for it, and only its control packets are taken.
            mDropping = mDatagrams && !HasRoom();
            mCurrent = mDropping ? mScratch : TakeBuffer();
            mHeld = 0;
            mSearch.Reset();
            mInPayload = false;
        }
        if (TakeWhole() || Advance())
        {
            // A registration's thread that has run out of messages gets more
            // before a long chunk is through.
            if (mCompleted.size() >= kMostHandedOver)
            {
                HandOver();
            }
            continue;
        }
        if (mDatagrams && Chunked() == 0)
        {
            DropIncomplete();
        }
        if (Chunked() == 0)
        {
            // While a stream has more bytes at once, they are read before what
            // is complete is handed over, up to a bound: the registrations'
            // threads then wake once for many messages.
            if (!mDatagrams && !mCompleted.empty() && mCompleted.size() < kMostHandedOver)
            {
                const std::size_t held = mHeld;
                error = Fill(*socket);
                // Taken again after every read: a peer that never pauses
                // must not keep a closed connection's receiver reading.
                socket = LoadSocket();
                if (error != NETWORK_NO_ERROR || mHeld > held)
                {
                    continue;
                }
            }
            // Everything read so far goes on before the receiver waits. Bytes
            // that complete nothing (part of a header, say) are no reason to go
            // on: wait for more, taking the socket again after every poll so
            // that CloseConnection ends the receiver within one.
            HandOver();
            ShrinkPool();
            socket = LoadSocket();
            if (!socket)
            {
                break;
            }
            if (!socket->ReceiveHasBytesReady(kPollMicroseconds))
            {
                mTargets.millisecondsSinceLastReceive.fetch_add(kIdlePollMilliseconds);
                socket = LoadSocket();
                continue;
            }
        }
        if (mDatagrams && Chunked() == 0)
        {
            // Decided again as the datagram is read: the backlog may have
            // drained, or filled, while the receiver waited for it.
            ChooseDatagramBlock();
            error = FillDatagram(*socket);
        }
        else
        {
            error = Fill(*socket);
        }
        if (error != NETWORK_NO_ERROR)
        {
            // After CloseConnection the slot is empty and the error, most
            // likely its consequence, goes unreported.
            socket = LoadSocket();
        }
    }
    HandOver();
    return 1;
}

void NetworkConnectionReceiver::HandOver()
{
    if (mCompleted.empty())
    {
        return;
    }
    mTargets.registrations.Deliver(mCompleted.data(), mCompleted.size());
    mCompleted.clear();
    mCompletedBytes = 0;
}

bool NetworkConnectionReceiver::HasRoom() const
{
    const NetworkReceiveBacklog& backlog = mTargets.registrations.GetBacklog();
    if (backlog.HasRoom(mCompleted.size(), mCompletedBytes))
    {
        return true;
    }
    // A stream may carry the acknowledgements of reliable channels (those of
    // a connection of two sockets): while one is awaited it is read on, as for
    // a reply. A datagram receiver takes control packets even at the bound,
    // and so reads no further than the bound for them.
    return !mDatagrams && AwaitsAcknowledgement() &&
           backlog.HasRoom(mCompleted.size(), mCompletedBytes, true);
}

bool NetworkConnectionReceiver::AwaitsAcknowledgement() const
{
    for (NetworkReliableChannel* reliable : mTargets.reliable)
    {
        if (reliable != nullptr && reliable->GetUnacknowledgedCount() != 0)
        {
            return true;
        }
    }
    return false;
}

void NetworkConnectionReceiver::ChooseDatagramBlock()
{
    const bool drop = !HasRoom();
    if (drop == mDropping)
    {
        return;
    }
    mDropping = drop;
    mCurrent = drop ? mScratch : TakeBuffer();
    DropIncomplete();
}

KT::RCPtr<LNetworkConnectionSendBuffer> NetworkConnectionReceiver::TakeBuffer()
{
    // The buffer handed out last comes back first when its message was
    // dropped, or copied out of it: then it is taken again, and the pool does
    // not grow past the buffers still held.
    const std::size_t count = mPool.size();
    if (count != 0)
    {
        const std::size_t last = (mNextPoolIndex + count - 1) % count;
        if (mPool[last]->GetReferenceCount() == 1)
        {
            KT::RCPtr<LNetworkConnectionSendBuffer> again = mPool[last];
            if (again->GetReferenceCount() == 2)
            {
                again->SetSizeBytes(Wire::kMaxPartPayloadSize);
                return again;
            }
        }
    }
    // Buffers come back in about the order they were handed out, so the one
    // at the cursor, handed out a whole round ago, is the likeliest to be
    // free. Only a few are looked at: when they are all held, so is nearly
    // every other one, and a scan of the whole pool per message would make a
    // backlog of held buffers cost its length again for every message read.
    const std::size_t probes = count < kTakeProbes ? count : kTakeProbes;
    for (std::size_t n = 0; n < probes; ++n)
    {
        const std::size_t index = (mNextPoolIndex + n) % count;
        if (mPool[index]->GetReferenceCount() != 1)
        {
            continue;
        }
        // The copy's increment is an atomic read-modify-write: it orders this
        // thread after the last release of whichever thread used the buffer.
        KT::RCPtr<LNetworkConnectionSendBuffer> candidate = mPool[index];
        if (candidate->GetReferenceCount() == 2)
        {
            mNextPoolIndex = (index + 1) % count;
            candidate->SetSizeBytes(Wire::kMaxPartPayloadSize);
            return candidate;
        }
    }
    // The new buffer goes in just before the cursor, which stays on the
    // oldest buffer handed out: the pool's order stays the order in which its
    // buffers were handed out, and so the order in which they come back.
    KT::RCPtr<LNetworkConnectionSendBuffer> grown =
        LNetworkConnectionSendBuffer::CreateUnfilled(Wire::kMaxPartPayloadSize);
    const std::size_t at = count == 0 ? 0 : mNextPoolIndex % count;
    mPool.insert(mPool.begin() + static_cast<std::ptrdiff_t>(at), grown); // grows or throws
    mTargets.receiveBuffers.fetch_add(1);
    mPoolGrown = true;
    mNextPoolIndex = at + 1;
    return grown;
}

void NetworkConnectionReceiver::ShrinkPool()
{
    if (!mPoolGrown || mTargets.registrations.GetBacklog().GetMessages() != 0)
    {
        return;
    }
    // A buffer that a callback still keeps, or that holds the message being
    // read or one under reassembly, stays, and is looked at again next time.
    // The order of those that stay is kept.
    std::size_t kept = 0;
    bool grown = false;
    for (std::size_t index = 0; index < mPool.size(); ++index)
    {
        KT::RCPtr<LNetworkConnectionSendBuffer> buffer;
        buffer.SwapReference(mPool[index]);
        // Now this is the only reference of a free buffer: the swap takes it
        // without a count, so 1 means nothing else holds it.
        const bool free = buffer->GetReferenceCount() == 1;
        const std::size_t left = mPool.size() - index;
        if (free && kept + left > mPoolStartSize)
        {
            continue; // released here
        }
        if (free && buffer->GetAllocatedSize() > Wire::kMaxPartPayloadSize)
        {
            buffer = LNetworkConnectionSendBuffer::CreateUnfilled(Wire::kMaxPartPayloadSize);
        }
        grown = grown || buffer->GetAllocatedSize() > Wire::kMaxPartPayloadSize;
        mPool[kept++].SwapReference(buffer);
    }
    mTargets.receiveBuffers.fetch_sub(mPool.size() - kept);
    mPool.resize(kept);
    mPoolGrown = grown || kept > mPoolStartSize;
    mNextPoolIndex = 0;
}

NetworkError NetworkConnectionReceiver::Fill(LNetworkSocket& socket)
{
    if (Chunked() == 0)
    {
        const bool straight = mInPayload && mNeeded >= kStraightReadBytes;
        if (!straight && mChunk.empty())
        {
            mChunk.resize(kChunkBytes); // grows or throws
        }
        unsigned char* const into = straight ? Bytes() + mHeld : mChunk.data();
        const std::size_t capacity = straight ? mNeeded : mChunk.size();
        unsigned int received = 0;
        const NetworkError error = socket.Receive(into, static_cast<unsigned int>(capacity), received, false);
        if (error != NETWORK_NO_ERROR || received == 0)
        {
            return error;
        }
        mTargets.millisecondsSinceLastReceive.store(0);
        if (straight)
        {
            mHeld += received;
            return NETWORK_NO_ERROR;
        }
        mChunkAt = 0;
        mChunkEnd = received;
    }
    const std::size_t take = mNeeded < Chunked() ? mNeeded : Chunked();
    std::memcpy(Bytes() + mHeld, mChunk.data() + mChunkAt, take);
    mHeld += take;
    mChunkAt += take;
    return NETWORK_NO_ERROR;
}

NetworkError NetworkConnectionReceiver::FillDatagram(LNetworkSocket& socket)
{
    unsigned int size = 0;
    NetworkError error = socket.PeekDatagramSize(size);
    if (error != NETWORK_NO_ERROR)
    {
        return error;
    }
    if (size > Capacity() && !mDropping)
    {
        mCurrent->SetSizeBytes(size - Wire::kHeaderSize);
        mPoolGrown = true;
    }
    unsigned int received = 0;
    error = socket.ReceiveDatagram(Bytes(), static_cast<unsigned int>(Capacity()), received, size, false);
    if (error != NETWORK_NO_ERROR || received < size)
    {
        return error;
    }
    if (received > 0)
    {
        mTargets.millisecondsSinceLastReceive.store(0);
        mHeld = received;
    }
    return NETWORK_NO_ERROR;
}

void NetworkConnectionReceiver::DropIncomplete()
{
    mHeld = 0;
    mSearch.Reset();
    mInPayload = false;
}

bool NetworkConnectionReceiver::Advance()
{
    for (;;)
    {
        const NetworkHeaderSearch::Outcome outcome = mSearch.Advance(Bytes(), mHeld);
        switch (outcome.step)
        {
        case NetworkHeaderSearch::kDrop:
            std::memmove(Bytes(), Bytes() + outcome.count, mHeld - outcome.count);
            mHeld -= outcome.count;
            break;
        case NetworkHeaderSearch::kNeedMore:
            mNeeded = outcome.count;
            return false;
        case NetworkHeaderSearch::kHeaderAccepted:
        {
            // A reader uses only the first 52 bytes of a longer header.
            const std::size_t extra = outcome.count;
            std::memmove(Bytes() + Wire::kHeaderSize, Bytes() + Wire::kHeaderSize + extra,
                         mHeld - Wire::kHeaderSize - extra);
            mHeld -= extra;
            const std::size_t payloadSize = mSearch.GetPayloadSize();
            if (mDatagrams && payloadSize > mHeld - Wire::kHeaderSize + Chunked())
            {
                // A datagram is framed alone: a message longer than what is
                // left of it never completes. It goes now, with the rest of
                // the datagram. The block is not grown for a size a header
                // only claims: the next datagram is read into the same block,
                // and its message would count that size against the
                // backlog's bound.
                mChunkAt = mChunkEnd;
                DropIncomplete();
                return false;
            }
            mInPayload = true;
            if (payloadSize > mCurrent->GetSizeBytes())
            {
                mCurrent->ResizeBytes(payloadSize);
                mPoolGrown = true;
            }
            break;
        }
        case NetworkHeaderSearch::kMessageComplete:
            CompleteMessage(mSearch.GetHeader(), mSearch.GetPayloadSize(), outcome.count);
            return true;
        }
    }
}

bool NetworkConnectionReceiver::TakeWhole()
{
    if (mDatagrams || mHeld != 0 || Chunked() < Wire::kHeaderSize)
    {
        return false;
    }
    // Read where the bytes are already in the cache, not from the copy, whose
    // lines are still on their way from the thread that last used the buffer.
    const unsigned char* const bytes = mChunk.data() + mChunkAt;
    if (std::memcmp(bytes, Wire::MESSAGE_COOKIE.mBytes, sizeof(Wire::MESSAGE_COOKIE.mBytes)) != 0 ||
        !NetworkHeaderSearch::IsAcceptable(bytes))
    {
        return false;
    }
    const MessageHeader header = MessageHeader::Read(bytes);
    if (header.headerSize != Wire::kHeaderSize || header.totalSize > Chunked() ||
        header.totalSize > Capacity())
    {
        return false;
    }
    const std::size_t payloadSize = header.totalSize - Wire::kHeaderSize;
    // A small message held behind others goes from the chunk straight into
    // its packed copy; the current block is read into again. Only a whole
    // message of an ordinary channel goes this way: the rest takes Dispatch.
    if (header.channel < Wire::kChannelCount && header.channel != NETWORK_CHANNEL_ACKNOWLEDGE &&
        header.channel != NETWORK_CHANNEL_RESEND_REQUEST && mTargets.reliable[header.channel] == nullptr &&
        header.multipartMsgCount <= 1 &&
        mTargets.registrations.GetBacklog().ShouldCompact(payloadSize, mCompleted.size()))
    {
        if (!HasRoom())
        {
            // As before a message read into a new block, the bound is looked
            // at first: the block, empty, goes back, and the loop waits.
            mCurrent.SetNull();
            return true;
        }
        mChunkAt += header.totalSize;
        mMultipart[header.channel] = Multipart();
        Hold(mPacks.Copy(bytes + Wire::kHeaderSize, payloadSize), header.channel,
             static_cast<std::int32_t>(header.sequenceID),
             static_cast<std::int32_t>(header.previousSequenceMsgCount));
        return true;
    }
    std::memcpy(Bytes(), bytes, header.totalSize);
    mChunkAt += header.totalSize;
    CompleteMessage(header, payloadSize, 0);
    return true;
}

void NetworkConnectionReceiver::CompleteMessage(const MessageHeader& header, std::size_t payloadSize,
                                                std::size_t surplus)
{
    KT::RCPtr<LNetworkConnectionSendBuffer> message;
    message.SwapReference(mCurrent);
    mInPayload = false;
    if (surplus > 0)
    {
        // Only a datagram leaves bytes past its message in a buffer, and only
        // once the chunk is used up: they are framed next.
        if (mChunk.size() < surplus)
        {
            mChunk.resize(surplus); // grows or throws
        }
        std::memcpy(mChunk.data(), message->GetMessageHeader() + Wire::kHeaderSize + payloadSize, surplus);
        mChunkAt = 0;
        mChunkEnd = surplus;
    }
    message->ResizeBytes(payloadSize);
    mHeld = 0;
    Dispatch(std::move(message), header);
}

void NetworkConnectionReceiver::Dispatch(KT::RCPtr<LNetworkConnectionSendBuffer>&& message,
                                         const MessageHeader& header)
{
    const std::uint32_t channel = header.channel;
    // Channels index seven-entry tables: anything beyond is read whole and
    // dropped here.
    if (channel >= Wire::kChannelCount)
    {
        return;
    }
    const std::int32_t sequenceID = static_cast<std::int32_t>(header.sequenceID);
    if (channel == NETWORK_CHANNEL_ACKNOWLEDGE || channel == NETWORK_CHANNEL_RESEND_REQUEST)
    {
        std::uint32_t reliableChannel = 0;
        std::uint32_t sequence = 0;
        // A packet too short or naming no channel is dropped; one about a
        // channel that is not reliable changes nothing.
        if (!Wire::ReadControlPacketPayload(static_cast<const unsigned char*>(message->GetRawPtr()),
                                            message->GetSizeBytes(), reliableChannel, sequence) ||
            mTargets.reliable[reliableChannel] == nullptr)
        {
            return;
        }
        NetworkReliableChannel& about = *mTargets.reliable[reliableChannel];
        if (channel == NETWORK_CHANNEL_ACKNOWLEDGE)
        {
            about.Acknowledged(static_cast<std::int32_t>(sequence));
        }
        else
        {
            about.ResendRequested(static_cast<std::int32_t>(sequence));
        }
        return;
    }

    // A datagram receiver cannot slow its peer: while what was read and not
    // yet delivered is at the bound, it drops what it reads, before a reliable
    // channel takes it in, so that its sender, never acknowledged, sends it
    // again. A message in the scratch block is always dropped: the block is
    // read into again for the next datagram.
    if (mDropping || (mDatagrams && !HasRoom()))
    {
        return;
    }
    // Ordinary channels take each message as it comes; reliable ones only in
    // sequence.
    NetworkReliableChannel* const reliable = mTargets.reliable[channel];
    if (reliable != nullptr && !reliable->Accept(sequenceID, header.previousSequenceMsgCount))
    {
        return;
    }
    if (header.multipartMsgCount > 1)
    {
        DispatchPart(std::move(message), header);
        return;
    }
    // A whole message ends only its own channel's reassembly.
    mMultipart[channel] = Multipart();
    Complete(std::move(message), channel, sequenceID,
             static_cast<std::int32_t>(header.previousSequenceMsgCount));
}

void NetworkConnectionReceiver::Complete(KT::RCPtr<LNetworkConnectionSendBuffer>&& block,
                                         std::uint32_t channel, std::int32_t sequenceID, std::int32_t count)
{
    const std::size_t size = block->GetSizeBytes();
    if (mTargets.registrations.GetBacklog().ShouldCompact(size, mCompleted.size()))
    {
        // Held behind others: a copy of its own size, and the block, free
        // again, is the next one read into.
        KT::RCPtr<KT::LIBuffer> copy = mPacks.Copy(block->GetRawPtr(), size);
        block.SetNull();
        Hold(std::move(copy), channel, sequenceID, count);
        return;
    }
    Hold(KT::RCPtr<KT::LIBuffer>(block.LeakRef(), KT::kAdoptReference), channel, sequenceID, count);
}

void NetworkConnectionReceiver::Hold(KT::RCPtr<KT::LIBuffer>&& payload, std::uint32_t channel,
                                     std::int32_t sequenceID, std::int32_t count)
{
    NetworkReceivedMessage received;
    received.payload = std::move(payload);
    received.channel = channel;
    received.sequenceID = sequenceID;
    received.count = count;
    mCompletedBytes += NetworkReceiveBacklog::HeldBytes(*received.payload);
    mCompleted.push_back(std::move(received)); // grows or throws
}

void NetworkConnectionReceiver::DispatchPart(KT::RCPtr<LNetworkConnectionSendBuffer>&& message,
                                             const MessageHeader& header)
{
    Multipart& multipart = mMultipart[header.channel];
    const std::size_t partSize = message->GetSizeBytes();
    if (header.multipartMsgIndex == 0)
    {
        // A new message starts: whatever was under way is lost. The parts are
        // joined in the first part's block.
        multipart.message = std::move(message);
        multipart.count = header.multipartMsgCount;
        multipart.nextIndex = 1;
        return;
    }
    // Parts must follow one another with one count, and together stay within
    // what any message may carry.
    if (!multipart.message || header.multipartMsgIndex != multipart.nextIndex ||
        header.multipartMsgCount != multipart.count || header.multipartMsgIndex >= header.multipartMsgCount ||
        partSize > Wire::kMaxPayloadSize - multipart.message->GetSizeBytes())
    {
        multipart = Multipart();
        return;
    }
    const std::size_t joined = multipart.message->GetSizeBytes();
    if (joined + partSize > multipart.message->GetAllocatedSize())
    {
        // The block grows once for the whole message, not once per part: the
        // parts still to come are taken to be as large as this one, as a
        // sender's split makes them, within what any message may carry. A
        // reservation that cannot be had leaves the block to grow by parts.
        const std::size_t rest = std::size_t{header.multipartMsgCount - header.multipartMsgIndex} * partSize;
        const std::size_t most = Wire::kMaxPayloadSize - joined;
        try
        {
            multipart.message->Reserve(joined + (rest < most ? rest : most));
        }
        catch (const std::bad_alloc&)
        {
        }
    }
    multipart.message->ResizeBytes(joined + partSize);
    mPoolGrown = true;
    std::memcpy(static_cast<unsigned char*>(multipart.message->GetRawPtr()) + joined, message->GetRawPtr(),
                partSize);
    // The whole keeps the first part's header, with the last part's number.
    KT::WriteLE32(multipart.message->GetMessageHeader() + Wire::kOffsetSequenceID, header.sequenceID);
    ++multipart.nextIndex;
    if (header.multipartMsgIndex + 1 < header.multipartMsgCount)
    {
        return;
    }
    KT::RCPtr<LNetworkConnectionSendBuffer> whole;
    whole.SwapReference(multipart.message);
    multipart = Multipart();
    Complete(std::move(whole), header.channel, static_cast<std::int32_t>(header.sequenceID),
             static_cast<std::int32_t>(1 - static_cast<std::int64_t>(header.multipartMsgCount)));
}
