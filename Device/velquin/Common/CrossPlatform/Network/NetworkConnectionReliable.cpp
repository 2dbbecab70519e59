// The reliable channels of LNetworkConnection (0 and 1 over a UDP data
// socket): numbering and splitting on send, the copies kept until the peer
// acknowledges them, and the acknowledgement worker that acknowledges, asks
// for resends and resends.
#include <cstring>
#include <new>
#include <vector>

#include "KTFramework/System/TimeUtils.h"
#include "Platform/ByteOrder.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnection.h"

bool LNetworkConnection::IsChannelReliable(std::uint32_t channel) const
{
    return channel < kChannelCount && mReliable[channel];
}

std::uint32_t LNetworkConnection::GetPreviousSequenceMsgCount(std::uint32_t channel)
{
    if (channel >= kChannelCount)
    {
        return 0;
    }
    KT::AutolockT<KT::FastMutex> guard(mSendResendLock);
    return static_cast<std::uint32_t>(mUnacknowledged[channel].GetCount());
}

int LNetworkConnection::RemoveFromSequenceMsgArray(std::uint32_t channel, std::int32_t sequenceID)
{
    if (!IsChannelReliable(channel))
    {
        return KT::RESULT_INVALID_ARGUMENT;
    }
    KT::AutolockT<KT::FastMutex> guard(mSendResendLock);
    KT::RCPtrArray<LNetworkConnectionSendBuffer, 1, 0>& pending = mUnacknowledged[channel];
    const std::int64_t count = pending.GetCount();
    const std::int64_t next = mNextSequenceID[channel].load();
    const std::int64_t oldest = next - count;
    if (count == 0 || sequenceID < oldest || sequenceID >= next)
    {
        return 0;
    }
    const std::int64_t removed = sequenceID - oldest + 1;
    for (std::int64_t i = 0; i < removed; ++i)
    {
        KT::RCPtr<LNetworkConnectionSendBuffer> buffer;
        static_cast<void>(pending.RemoveLast(buffer));
        static_cast<void>(mSpareSendBuffers.AppendItem(buffer));
    }
    return static_cast<int>(removed);
}

// ---- Sending

NetworkError LNetworkConnection::SendReliable(LNetworkSocket& socket, std::uint32_t channel,
                                              LNetworkConnectionSendBuffer& message)
{
    const std::size_t size = message.GetSizeBytes();
    if (size == 0)
    {
        return NETWORK_SEND_FAILED;
    }
    const NetworkMultipartSplit split(size);
    const std::uint32_t partCount = split.GetPartCount();
    const unsigned char* payload = static_cast<const unsigned char*>(message.GetRawPtr());

    KT::AutolockT<KT::FastMutex> guard(mSendResendLock);
    KT::RCPtrArray<LNetworkConnectionSendBuffer, 1, 0>& pending = mUnacknowledged[channel];
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
        if (pending.Insert(0, partCount) < 0)
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

    for (std::uint32_t i = 0; i < partCount; ++i)
    {
        LNetworkConnectionSendBuffer& part = *parts[i];
        const std::size_t partSize = split.GetPartSize(i);
        unsigned char* header = part.GetMessageHeader();
        const std::uint32_t sequenceID = static_cast<std::uint32_t>(mNextSequenceID[channel].load());
        static_cast<void>(WriteMessageHeader(header, channel, partSize, sequenceID));
        KT::WriteLE32(header + kOffsetMultipartMsgCount, partCount);
        KT::WriteLE32(header + kOffsetMultipartMsgIndex, i);
        std::memcpy(part.GetRawPtr(), payload + split.GetPartOffset(i), partSize);
        // Newest at index 0: the last part is the newest.
        pending[partCount - 1 - i] = parts[i];
        mNextSequenceID[channel].fetch_add(1);
    }

    // The newest messages go out together, the older ones again with them,
    // so that a lost packet is made good by the next send.
    std::size_t count = static_cast<std::size_t>(pending.GetCount());
    const std::size_t window = mWindow[channel].load();
    if (count > window)
    {
        count = window;
    }
    if (count < partCount)
    {
        count = partCount;
    }
    return SendUnacknowledged(socket, channel, count);
}

NetworkError LNetworkConnection::SendUnacknowledged(LNetworkSocket& socket, std::uint32_t channel,
                                                    std::size_t count)
{
    KT::RCPtrArray<LNetworkConnectionSendBuffer, 1, 0>& pending = mUnacknowledged[channel];
    const std::size_t held = static_cast<std::size_t>(pending.GetCount());
    std::size_t remaining = count < held ? count : held;
    NetworkError result = NETWORK_NO_ERROR;
    while (remaining > 0)
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
                if (newer.GetMultipartMsgCount() > 1 || sum + newer.GetSizeBytes() > kMaxPartPayloadSize)
                {
                    break;
                }
                sum += newer.GetSizeBytes();
                --first;
            }
        }

        // The newest of the chunk carries the older ones' payloads behind its
        // own, from the next older to the oldest.
        LNetworkConnectionSendBuffer& head = *pending[first];
        const std::size_t ownSize = head.GetSizeBytes();
        try
        {
            head.ResizeBytes(sum);
        }
        catch (const std::bad_alloc&)
        {
            return NETWORK_OBJECT_OUT_OF_MEMORY;
        }
        unsigned char* bytes = head.GetMessageHeader();
        std::size_t offset = kHeaderSize + ownSize;
        for (std::size_t k = first + 1; k <= last; ++k)
        {
            LNetworkConnectionSendBuffer& older = *pending[k];
            std::memcpy(bytes + offset, older.GetRawPtr(), older.GetSizeBytes());
            offset += older.GetSizeBytes();
        }
        const unsigned int total = static_cast<unsigned int>(kHeaderSize + sum);
        KT::WriteLE32(bytes + kOffsetTotalSize, total);
        KT::WriteLE32(bytes + kOffsetPreviousSequenceMsgCount, static_cast<std::uint32_t>(last - first));
        unsigned int sent = 0;
        result = socket.Send(bytes, total, sent);
        head.ResizeBytes(ownSize);
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
    return result;
}

NetworkError LNetworkConnection::SendControlPacket(NetworkChannelNumber kind, std::uint32_t channel,
                                                   std::int32_t sequence)
{
    KT::RCPtr<LNetworkSocket> socket = LoadSendSocket(kind);
    if (!socket)
    {
        return NETWORK_NO_ERROR;
    }
    unsigned char* bytes = mAckTemplate->GetMessageHeader();
    WriteControlPacket(bytes, kind, channel, static_cast<std::uint32_t>(sequence));
    unsigned int sent = 0;
    NetworkError result = socket->Send(bytes, kControlPacketSize, sent);
    if (result == NETWORK_NO_ERROR && sent < kControlPacketSize)
    {
        result = NETWORK_SEND_FAILED;
    }
    // Over TCP (dual sockets) a packet cut short would throw the peer's
    // framing off: end the stream instead.
    if (result != NETWORK_NO_ERROR && sent > 0 && socket->GetSocketType() == NETWORK_SOCKET_TCP)
    {
        socket->Shutdown();
    }
    return result;
}

// ---- The acknowledgement worker

int LNetworkConnection::AckProcessingThreadWorker(const KT::RCPtr<KT::LRefCountedObject>&)
{
    for (std::uint32_t channel = 0; channel < kChannelCount; ++channel)
    {
        if (!mReliable[channel])
        {
            continue;
        }
        const NetworkError error = ProcessReliableChannel(channel);
        if (error != NETWORK_NO_ERROR)
        {
            DeliverError(error);
            return KT::RESULT_FAILED;
        }
    }
    return 0;
}

NetworkError LNetworkConnection::ProcessReliableChannel(std::uint32_t channel)
{
    // A duplicate means the peer missed an acknowledgement and resends: tell
    // it again, or it resends for ever.
    const std::int32_t lastReceived = mLastReceived[channel].load();
    const bool duplicate = mDuplicateReceived[channel].exchange(false);
    if (lastReceived > mLastAcknowledgementSent[channel].load() || (duplicate && lastReceived >= 0))
    {
        const NetworkError error = SendControlPacket(NETWORK_CHANNEL_ACKNOWLEDGE, channel, lastReceived);
        if (error != NETWORK_NO_ERROR)
        {
            return error;
        }
        mLastAcknowledgementSent[channel].store(lastReceived);
    }

    const std::int32_t wanted = mResendWanted[channel].load();
    if (wanted != mResendRequestSent[channel].load())
    {
        const NetworkError error = SendControlPacket(NETWORK_CHANNEL_RESEND_REQUEST, channel, wanted);
        if (error != NETWORK_NO_ERROR)
        {
            return error;
        }
        mResendRequestSent[channel].store(wanted);
    }

    const std::uint32_t pending = GetPreviousSequenceMsgCount(channel);
    const std::int64_t now = KT::TimeUtils::GetMillisecondCounter();
    const int removed = RemoveFromSequenceMsgArray(channel, mPeerAcknowledged[channel].load());
    bool resend = false;
    if (removed > 0 || pending == 0)
    {
        mLastProgress[channel] = now;
    }
    else if (now - mLastProgress[channel] > kResendAfterMilliseconds)
    {
        resend = true;
    }
    const std::int32_t requested = mResendRequestReceived[channel].load();
    if (requested != mResendRequestHandled[channel].load())
    {
        resend = true;
        mResendRequestHandled[channel].store(requested);
    }
    if (!resend)
    {
        return NETWORK_NO_ERROR;
    }
    KT::RCPtr<LNetworkSocket> socket = LoadSendSocket(static_cast<NetworkChannelNumber>(channel));
    if (!socket)
    {
        return NETWORK_NO_ERROR;
    }
    // A failed resend ends only itself; the next run tries again.
    socket->AcquireSendMutex();
    {
        KT::AutolockT<KT::FastMutex> guard(mSendResendLock);
        static_cast<void>(SendUnacknowledged(*socket, channel, static_cast<std::size_t>(-1)));
    }
    socket->ReleaseSendMutex();
    mLastProgress[channel] = now - kResendProgressMilliseconds;
    return NETWORK_NO_ERROR;
}
