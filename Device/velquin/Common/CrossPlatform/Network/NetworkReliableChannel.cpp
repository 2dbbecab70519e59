#include "velquin/Common/CrossPlatform/Network/NetworkReliableChannel.h"

#include <cstring>
#include <new>
#include <vector>

#include "KTFramework/System/TimeUtils.h"
#include "Platform/ByteOrder.h"
#include "velquin/Common/CrossPlatform/Network/NetworkSendFaults.h"

namespace
{
using Wire = NetworkWireFormat;
} // namespace

NetworkReliableChannel::NetworkReliableChannel(std::uint32_t channel, std::uint32_t spareBuffers,
                                               const KT::RCPtr<KT::LEvent>& wake)
    : mChannel(channel), mWake(wake),
      // Without this a message sent before the worker first found the channel
      // idle would meet a time-out test on an unset value.
      mLastProgress(KT::TimeUtils::GetMillisecondCounter()),
      mLastResend(mLastProgress - kResendRhythmMilliseconds), mMostSpareBuffers(spareBuffers),
      mUnacknowledged(0, 0), mSpareSendBuffers(0, 0)
{
    KT::AutolockT<KT::FastMutex> guard(mSendResendLock);
    for (std::uint32_t i = 0; i < spareBuffers; ++i)
    {
        // A spare short only costs an allocation when a part needs one.
        static_cast<void>(mSpareSendBuffers.AppendItem(LNetworkConnectionSendBuffer::Create(0)));
    }
}

// ---- What arrives

bool NetworkReliableChannel::Accept(std::int32_t sequenceID, std::uint32_t previousCount)
{
    const std::int64_t lastReceived = mLastReceived.load();
    if (sequenceID <= lastReceived)
    {
        // Its sender missed the acknowledgement: the worker sends it again.
        mDuplicateReceived.store(true);
        mWake->Release();
        return false;
    }
    // A packet whose oldest message follows a gap waits for the gap to be
    // resent, which the worker asks for.
    if (std::int64_t{sequenceID} - std::int64_t{previousCount} > lastReceived + 1)
    {
        const std::int32_t wanted = static_cast<std::int32_t>(lastReceived + 1);
        if (mResendWanted.load() != wanted)
        {
            mResendWanted.store(wanted);
        }
        mWake->Release();
        return false;
    }
    mLastReceived.store(sequenceID);
    mWake->Release();
    return true;
}

void NetworkReliableChannel::Acknowledged(std::int32_t sequence)
{
    mPeerAcknowledged.store(sequence);
    mWake->Release();
}

void NetworkReliableChannel::ResendRequested(std::int32_t sequence)
{
    mResendRequestReceived.store(sequence);
    mWake->Release();
}

// ---- Sending

std::uint32_t NetworkReliableChannel::GetUnacknowledgedCount()
{
    KT::AutolockT<KT::FastMutex> guard(mSendResendLock);
    return static_cast<std::uint32_t>(mUnacknowledged.GetCount());
}

int NetworkReliableChannel::RemoveAcknowledged(std::int32_t sequenceID)
{
    KT::AutolockT<KT::FastMutex> guard(mSendResendLock);
    const std::int64_t count = mUnacknowledged.GetCount();
    const std::int64_t next = mNextSequenceID.load();
    const std::int64_t oldest = next - count;
    if (count == 0 || sequenceID < oldest || sequenceID >= next)
    {
        return 0;
    }
    const std::int64_t removed = sequenceID - oldest + 1;
    std::size_t freed = 0;
    for (std::int64_t i = 0; i < removed; ++i)
    {
        KT::RCPtr<LNetworkConnectionSendBuffer> buffer;
        static_cast<void>(mUnacknowledged.RemoveLast(buffer));
        freed += NetworkSendBacklog::KeptBytes(*buffer);
        // The spares stay as many and as small as they were made: after a
        // burst they would otherwise keep its memory for good.
        if (static_cast<std::size_t>(mSpareSendBuffers.GetCount()) < mMostSpareBuffers &&
            Wire::kHeaderSize + buffer->GetAllocatedSize() <= kMostSpareBlockBytes)
        {
            static_cast<void>(mSpareSendBuffers.AppendItem(buffer));
        }
    }
    mBacklog.GiveBack(freed);
    return static_cast<int>(removed);
}

std::size_t NetworkReliableChannel::ExpectedKeptBytes(const NetworkMultipartSplit& split) noexcept
{
    std::size_t bytes = 0;
    for (std::uint32_t i = 0; i < split.GetPartCount(); ++i)
    {
        bytes += LNetworkConnectionSendBuffer::BlockBytes(split.GetPartSize(i)) +
                 NetworkSendBacklog::kKeptOverheadBytes;
    }
    return bytes;
}

NetworkError NetworkReliableChannel::Send(LNetworkSocket& socket, const unsigned char* payload,
                                          std::size_t size, const NetworkReceiveBacklog* heldBackBy,
                                          std::int64_t deadline)
{
    if (size == 0)
    {
        return NETWORK_SEND_FAILED;
    }
    const NetworkMultipartSplit split(size);
    const std::size_t expected = ExpectedKeptBytes(split);
    NetworkSendBacklog::Turn turn(mBacklog);
    for (;;)
    {
        NetworkError result = mEndError.load();
        if (result != NETWORK_NO_ERROR)
        {
            return result;
        }
        // Room is looked for, and taken, under the lock that keeps: two sends
        // never take the same room, and one that must wait takes its place in
        // the queue there. The end is looked at under it as well:
        // End releases what is kept under it once the channel has ended, so
        // that nothing kept stays. A send that finds no room waits holding no
        // lock, so that resends and the other senders of the socket go on.
        {
            LNetworkSocket::SendLock sending(socket);
            KT::AutolockT<KT::FastMutex> guard(mSendResendLock);
            result = mEndError.load();
            if (result != NETWORK_NO_ERROR)
            {
                return result;
            }
            if (turn.TakeRoom(expected))
            {
                return KeepAndSend(socket, payload, split);
            }
        }
        result = turn.WaitForRoom(expected, heldBackBy, deadline);
        // An end closes the backlog: the wait says only that it ended.
        const NetworkError ended = mEndError.load();
        if (ended != NETWORK_NO_ERROR)
        {
            return ended;
        }
        if (result != NETWORK_NO_ERROR)
        {
            return result;
        }
    }
}

void NetworkReliableChannel::End(NetworkError error)
{
    NetworkError open = NETWORK_NO_ERROR;
    if (!mEndError.compare_exchange_strong(open, error))
    {
        return;
    }
    std::size_t freed = 0;
    {
        KT::AutolockT<KT::FastMutex> guard(mSendResendLock);
        for (std::size_t i = 0; i < static_cast<std::size_t>(mUnacknowledged.GetCount()); ++i)
        {
            freed += NetworkSendBacklog::KeptBytes(*mUnacknowledged[i]);
        }
        static_cast<void>(mUnacknowledged.SetCount(0));
    }
    mBacklog.GiveBack(freed);
    mBacklog.Close();
    // The worker looks again, and finds nothing due.
    mWake->Release();
}

NetworkError NetworkReliableChannel::NoteSent(NetworkError result) noexcept
{
    // Only a datagram socket fails a send so: its peer's port refused one.
    if (result == NETWORK_CONNECTION_CLOSED)
    {
        mPeerGone.store(result);
    }
    return result;
}

NetworkError NetworkReliableChannel::KeepAndSend(LNetworkSocket& socket, const unsigned char* payload,
                                                 const NetworkMultipartSplit& split)
{
    const std::uint32_t partCount = split.GetPartCount();
    // Every part's buffer, and the list's room for them, before any part is
    // numbered: a shortage leaves no sequence ID used and nothing kept.
    std::vector<KT::RCPtr<LNetworkConnectionSendBuffer>> parts;
    try
    {
        parts.reserve(partCount);
        for (std::uint32_t i = 0; i < partCount; ++i)
        {
            KT::RCPtr<LNetworkConnectionSendBuffer> buffer;
            if (mSpareSendBuffers.GetCount() > 0)
            {
                static_cast<void>(mSpareSendBuffers.RemoveLast(buffer));
            }
            if (!buffer)
            {
                buffer = LNetworkConnectionSendBuffer::Create(0);
            }
            parts.push_back(buffer);
            buffer->SetSizeBytes(split.GetPartSize(i));
        }
        if (mUnacknowledged.Insert(0, partCount) < 0)
        {
            throw std::bad_alloc();
        }
    }
    catch (const std::bad_alloc&)
    {
        for (const KT::RCPtr<LNetworkConnectionSendBuffer>& buffer : parts)
        {
            static_cast<void>(mSpareSendBuffers.AppendItem(buffer));
        }
        return NETWORK_OBJECT_OUT_OF_MEMORY;
    }

    std::size_t kept = 0;
    for (std::uint32_t i = 0; i < partCount; ++i)
    {
        LNetworkConnectionSendBuffer& part = *parts[i];
        const std::size_t partSize = split.GetPartSize(i);
        unsigned char* header = part.GetMessageHeader();
        const std::uint32_t sequenceID = static_cast<std::uint32_t>(mNextSequenceID.load());
        static_cast<void>(Wire::WriteMessageHeader(header, mChannel, partSize, sequenceID));
        KT::WriteLE32(header + Wire::kOffsetMultipartMsgCount, partCount);
        KT::WriteLE32(header + Wire::kOffsetMultipartMsgIndex, i);
        std::memcpy(part.GetRawPtr(), payload + split.GetPartOffset(i), partSize);
        kept += NetworkSendBacklog::KeptBytes(part);
        // Newest at index 0: the last part is the newest.
        mUnacknowledged[partCount - 1 - i] = parts[i];
        mNextSequenceID.fetch_add(1);
    }
    mBacklog.Keep(kept);

    // The newest messages go out together, the older ones again with them,
    // so that a lost packet is made good by the next send. The message is
    // numbered and kept now: whatever of it does not go out, the resends
    // repair, and a caller that sent it again would have it twice.
    std::size_t count = static_cast<std::size_t>(mUnacknowledged.GetCount());
    const std::size_t window = mWindow.load();
    if (count > window)
    {
        count = window;
    }
    if (count < partCount)
    {
        count = partCount;
    }
    static_cast<void>(NoteSent(SendUnacknowledged(socket, count, static_cast<std::size_t>(-1))));
    return NETWORK_NO_ERROR;
}

NetworkError NetworkReliableChannel::SendUnacknowledged(LNetworkSocket& socket, std::size_t count,
                                                        std::size_t mostBytes, std::size_t* left)
{
    KT::RCPtrArray<LNetworkConnectionSendBuffer, 1, 0>& pending = mUnacknowledged;
    const std::size_t held = static_cast<std::size_t>(pending.GetCount());
    std::size_t remaining = count < held ? count : held;
    std::size_t sentBytes = 0;
    NetworkError result = NETWORK_NO_ERROR;
    while (remaining > 0 && sentBytes < mostBytes)
    {
        // From the oldest not yet sent in this pass towards the newest, while
        // the payloads fit one packet; a part goes alone.
        const std::size_t last = remaining - 1;
        std::size_t first = last;
        std::size_t sum = pending[last]->GetSizeBytes();
        if (pending[last]->GetMultipartMsgCount() <= 1)
        {
            while (first > 0)
            {
                const LNetworkConnectionSendBuffer& newer = *pending[first - 1];
                if (newer.GetMultipartMsgCount() > 1 ||
                    sum + newer.GetSizeBytes() > Wire::kMaxPartPayloadSize)
                {
                    break;
                }
                sum += newer.GetSizeBytes();
                --first;
            }
        }

        // The newest of the chunk carries the older ones' payloads behind its
        // own, from the next older to the oldest. A message alone goes out of
        // its own buffer, whose header says just that.
        LNetworkConnectionSendBuffer& head = *pending[first];
        const unsigned int total = static_cast<unsigned int>(Wire::kHeaderSize + sum);
        unsigned char* bytes = head.GetMessageHeader();
        if (first != last)
        {
            std::size_t offset = Wire::kHeaderSize + head.GetSizeBytes();
            std::memcpy(mPacket.data(), bytes, offset);
            for (std::size_t k = first + 1; k <= last; ++k)
            {
                LNetworkConnectionSendBuffer& older = *pending[k];
                std::memcpy(mPacket.data() + offset, older.GetRawPtr(), older.GetSizeBytes());
                offset += older.GetSizeBytes();
            }
            bytes = mPacket.data();
            KT::WriteLE32(bytes + Wire::kOffsetTotalSize, total);
            KT::WriteLE32(bytes + Wire::kOffsetPreviousSequenceMsgCount,
                          static_cast<std::uint32_t>(last - first));
        }
        unsigned int sent = 0;
        result = NetworkSendFaults::Send(socket, NetworkSendFaults::PassSite(sentBytes == 0, first == 0),
                                         bytes, total, sent);
        sentBytes += sum;
        if (result == NETWORK_NO_ERROR && sent < total)
        {
            result = NETWORK_SEND_FAILED;
        }
        if (result != NETWORK_NO_ERROR)
        {
            break;
        }
        remaining = first;
    }
    if (left != nullptr)
    {
        *left = remaining;
    }
    return result;
}

NetworkError NetworkReliableChannel::SendControlPacket(LNetworkSocket& socket, NetworkChannelNumber kind,
                                                       std::int32_t sequence)
{
    unsigned char packet[Wire::kControlPacketSize];
    Wire::WriteControlPacket(packet, kind, mChannel, static_cast<std::uint32_t>(sequence));
    unsigned int sent = 0;
    const NetworkSendFaults::Site site = kind == NETWORK_CHANNEL_ACKNOWLEDGE
                                             ? NetworkSendFaults::ACKNOWLEDGEMENT
                                             : NetworkSendFaults::RESEND_REQUEST;
    NetworkError result =
        NoteSent(NetworkSendFaults::Send(socket, site, packet, Wire::kControlPacketSize, sent));
    if (result == NETWORK_NO_ERROR && sent < Wire::kControlPacketSize)
    {
        result = NETWORK_SEND_FAILED;
    }
    // Over TCP (dual sockets) a packet cut short would throw the peer's
    // framing off: end the stream instead.
    if (result != NETWORK_NO_ERROR && sent > 0 && socket.GetSocketType() == NETWORK_SOCKET_TCP)
    {
        socket.Shutdown();
    }
    return result;
}

// ---- The acknowledgement worker

std::int64_t NetworkReliableChannel::GetResendDueInMilliseconds()
{
    if (mEndError.load() != NETWORK_NO_ERROR || GetUnacknowledgedCount() == 0)
    {
        return kNothingDue;
    }
    const std::int64_t now = KT::TimeUtils::GetMillisecondCounter();
    std::int64_t due = mLastProgress + kResendAfterMilliseconds + 1 - now;
    if (mResendRequestReceived.load() != mResendRequestHandled.load())
    {
        const std::int64_t requestDue = mLastResend + kResendRhythmMilliseconds - now;
        due = requestDue < due ? requestDue : due;
    }
    return due < 1 ? 1 : due;
}

NetworkError NetworkReliableChannel::Service(const KT::RCPtr<LNetworkSocket>& packetSocket,
                                             const KT::RCPtr<LNetworkSocket>& dataSocket)
{
    if (mEndError.load() != NETWORK_NO_ERROR)
    {
        return NETWORK_NO_ERROR;
    }
    // A duplicate means the peer missed an acknowledgement and resends: tell
    // it again, or it resends for ever.
    const std::int32_t lastReceived = mLastReceived.load();
    const bool duplicate = mDuplicateReceived.exchange(false);
    if (lastReceived > mLastAcknowledgementSent.load() || (duplicate && lastReceived >= 0))
    {
        if (packetSocket.GetRaw() != nullptr)
        {
            const NetworkError error =
                SendControlPacket(*packetSocket, NETWORK_CHANNEL_ACKNOWLEDGE, lastReceived);
            if (error != NETWORK_NO_ERROR)
            {
                return error;
            }
        }
        mLastAcknowledgementSent.store(lastReceived);
    }

    const std::int32_t wanted = mResendWanted.load();
    if (wanted != mResendRequestSent.load())
    {
        if (packetSocket.GetRaw() != nullptr)
        {
            const NetworkError error =
                SendControlPacket(*packetSocket, NETWORK_CHANNEL_RESEND_REQUEST, wanted);
            if (error != NETWORK_NO_ERROR)
            {
                return error;
            }
        }
        mResendRequestSent.store(wanted);
    }

    const std::uint32_t pending = GetUnacknowledgedCount();
    const std::int64_t now = KT::TimeUtils::GetMillisecondCounter();
    const std::int32_t acknowledged = mPeerAcknowledged.load();
    const int removed = RemoveAcknowledged(acknowledged);
    bool resend = false;
    if (removed > 0 || pending == 0)
    {
        mLastProgress = now;
        // The peer took the whole of a pass cut short at kMostResendBytes:
        // the rest follows at once.
        resend = mResendCut && removed > 0 && acknowledged >= mResendCutAfter;
    }
    else if (now - mLastProgress > kResendAfterMilliseconds)
    {
        resend = true;
    }
    // A request is answered by a pass on the rhythm at most, whatever the
    // peer sends; one that comes sooner waits for the rhythm, when
    // GetResendDueInMilliseconds has the worker run. With nothing kept there
    // is nothing to answer.
    const std::int32_t requested = mResendRequestReceived.load();
    if (requested != mResendRequestHandled.load())
    {
        resend = resend || now - mLastResend >= kResendRhythmMilliseconds;
        if (resend || GetUnacknowledgedCount() == 0)
        {
            mResendRequestHandled.store(requested);
        }
    }
    if (!resend)
    {
        return NETWORK_NO_ERROR;
    }
    if (dataSocket.GetRaw() != nullptr)
    {
        Resend(*dataSocket);
    }
    // A pass counts for the rhythm also when it sent nothing: the next is due
    // a rhythm later, not at once.
    mLastResend = now;
    mLastProgress = now - kResendProgressMilliseconds;
    return NETWORK_NO_ERROR;
}

void NetworkReliableChannel::Resend(LNetworkSocket& socket)
{
    // A failed resend ends only itself; the next pass tries again. The oldest
    // go first, and no more than the peer can take.
    LNetworkSocket::SendLock sending(socket);
    KT::AutolockT<KT::FastMutex> guard(mSendResendLock);
    const std::size_t held = static_cast<std::size_t>(mUnacknowledged.GetCount());
    std::size_t left = 0;
    static_cast<void>(
        NoteSent(SendUnacknowledged(socket, held, NetworkSendBacklog::kMostResendBytes, &left)));
    // A pass whose first packet failed sent nothing, and changes nothing.
    if (left < held)
    {
        mResendCut = left > 0;
        if (mResendCut)
        {
            mResendCutAfter = mUnacknowledged[left]->GetSequenceID();
        }
    }
}
