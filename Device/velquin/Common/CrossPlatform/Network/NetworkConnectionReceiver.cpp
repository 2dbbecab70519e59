// The receivers of LNetworkConnection: each turns the bytes of one socket into
// messages, read straight into the pool buffer that is then delivered, and
// hands them to the registrations of their channel.
#include <cstring>

#include "Platform/ByteOrder.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnection.h"
#include "velquin/Common/CrossPlatform/Network/NetworkHeaderSearch.h"

// One receiver's state, alive for one run of the receiver loop on its thread;
// nothing else touches it.
class LNetworkConnection::Receiver
{
public:
    Receiver(LNetworkConnection& connection, bool controlSocket)
        : mConnection(connection), mControlSocket(controlSocket)
    {
    }

    int Run();

private:
    // A multi-part message of one channel under reassembly.
    struct Multipart
    {
        KT::RCPtr<LNetworkConnectionSendBuffer> message;
        std::uint32_t count = 0;
        std::uint32_t nextIndex = 0;
    };

    KT::RCPtr<LNetworkConnectionSendBuffer> TakeBuffer();
    // Reads into the current buffer: from the carried bytes while there are
    // any, exactly what the search asked for; else from the socket without
    // waiting.
    NetworkError Fill(LNetworkSocket& socket);
    // Reads the next datagram whole into the current buffer, grown to hold it;
    // one cut by the system is dropped whole.
    NetworkError FillDatagram(LNetworkSocket& socket);
    // What a datagram left incomplete is dropped: a datagram is framed alone,
    // never completed from the next one.
    void DropIncomplete();
    // Frames the bytes held until a message is complete (true) or the search
    // needs more (false).
    bool Advance();
    void CompleteMessage(std::size_t surplus);
    void Dispatch(const KT::RCPtr<LNetworkConnectionSendBuffer>& message, const MessageHeader& header);
    void DispatchPart(const KT::RCPtr<LNetworkConnectionSendBuffer>& message, const MessageHeader& header);
    // The sequencing of a reliable channel: false for a duplicate or a packet
    // after a gap, which are dropped.
    bool AcceptReliable(const MessageHeader& header);

    unsigned char* Bytes() { return mCurrent->GetMessageHeader(); }
    std::size_t Capacity() const { return kHeaderSize + mCurrent->GetSizeBytes(); }

    LNetworkConnection& mConnection;
    const bool mControlSocket;
    bool mDatagrams = false;

    KT::RCPtrArray<LNetworkConnectionSendBuffer, 1, 0> mPool;
    std::size_t mNextPoolIndex = 0;
    KT::RCPtr<LNetworkConnectionSendBuffer> mCurrent;
    std::size_t mHeld = 0; // bytes held from the start of mCurrent
    NetworkHeaderSearch mSearch;
    std::size_t mNeeded = 0; // what the search last asked for
    bool mInPayload = false;

    // Bytes read past the end of a message: the start of the messages after
    // it, left in the delivered buffer's block beyond its payload and copied
    // out a step at a time, so each message's bytes are copied once.
    KT::RCPtr<LNetworkConnectionSendBuffer> mCarrySource;
    const unsigned char* mCarry = nullptr;
    std::size_t mCarryLength = 0;

    Multipart mMultipart[kChannelCount];
};

int LNetworkConnection::ConnectionThreadWorker(bool controlSocket)
{
    Receiver receiver(*this, controlSocket);
    return receiver.Run();
}

int LNetworkConnection::Receiver::Run()
{
    KT::RCPtr<LNetworkSocket> socket = mConnection.LoadSocket(mControlSocket);
    if (!socket)
    {
        return 0;
    }
    mDatagrams = socket->GetSocketType() == NETWORK_SOCKET_UDP;
    const std::uint32_t poolSize = mControlSocket ? kControlReceiveBuffers : kDataReceiveBuffers;
    for (std::uint32_t i = 0; i < poolSize; ++i)
    {
        // Grows or throws: there is no result to look at.
        static_cast<void>(mPool.AppendItem(LNetworkConnectionSendBuffer::Create(kMaxPartPayloadSize)));
    }

    NetworkError error = NETWORK_NO_ERROR;
    while (socket.GetRaw() != nullptr)
    {
        if (error != NETWORK_NO_ERROR)
        {
            mConnection.DeliverError(error);
            break;
        }
        if (!mCurrent)
        {
            mCurrent = TakeBuffer();
            mHeld = 0;
            mSearch.Reset();
            mInPayload = false;
        }
        if (Advance())
        {
            socket = mConnection.LoadSocket(mControlSocket);
            continue;
        }
        if (mDatagrams && mCarryLength == 0)
        {
            DropIncomplete();
        }
        // Bytes that complete nothing (part of a header, say) are no reason to
        // go on: wait for more, taking the socket again after every poll so
        // that CloseConnection ends the receiver within one.
        if (mCarryLength == 0 && !socket->ReceiveHasBytesReady(kReceivePollMicroseconds))
        {
            mConnection.AddIdleTime(kIdlePollMilliseconds);
            socket = mConnection.LoadSocket(mControlSocket);
            continue;
        }
        error = mDatagrams && mCarryLength == 0 ? FillDatagram(*socket) : Fill(*socket);
        if (error != NETWORK_NO_ERROR)
        {
            // After CloseConnection the slot is empty and the error, most
            // likely its consequence, goes unreported.
            socket = mConnection.LoadSocket(mControlSocket);
        }
    }
    return 1;
}

KT::RCPtr<LNetworkConnectionSendBuffer> LNetworkConnection::Receiver::TakeBuffer()
{
    const std::size_t count = static_cast<std::size_t>(mPool.GetCount());
    for (std::size_t n = 0; n < count; ++n)
    {
        const std::size_t index = (mNextPoolIndex + n) % count;
        // The copy's increment is an atomic read-modify-write: it orders this
        // thread after the last release of whichever thread used the buffer.
        KT::RCPtr<LNetworkConnectionSendBuffer> candidate = mPool[index];
        if (candidate->GetReferenceCount() == 2)
        {
            mNextPoolIndex = index + 1;
            candidate->SetSizeBytes(kMaxPartPayloadSize);
            return candidate;
        }
    }
    KT::RCPtr<LNetworkConnectionSendBuffer> grown = LNetworkConnectionSendBuffer::Create(kMaxPartPayloadSize);
    static_cast<void>(mPool.AppendItem(grown)); // grows or throws
    mNextPoolIndex = 0;
    return grown;
}

NetworkError LNetworkConnection::Receiver::Fill(LNetworkSocket& socket)
{
    if (mCarryLength > 0)
    {
        const std::size_t take = mNeeded < mCarryLength ? mNeeded : mCarryLength;
        std::memcpy(Bytes() + mHeld, mCarry, take);
        mHeld += take;
        mCarry += take;
        mCarryLength -= take;
        if (mCarryLength == 0)
        {
            mCarrySource.SetNull();
            mCarry = nullptr;
        }
        return NETWORK_NO_ERROR;
    }
    // Header bytes are read as far as the buffer reaches, taking the messages
    // after them along; a payload only to its end, so that a large one does
    // not drag the next message into its block.
    const std::size_t capacity = mInPayload ? mNeeded : Capacity() - mHeld;
    unsigned int received = 0;
    const NetworkError error =
        socket.Receive(Bytes() + mHeld, static_cast<unsigned int>(capacity), received, false);
    if (error == NETWORK_NO_ERROR && received > 0)
    {
        mConnection.MarkReceived();
        mHeld += received;
    }
    return error;
}

NetworkError LNetworkConnection::Receiver::FillDatagram(LNetworkSocket& socket)
{
    unsigned int size = 0;
    NetworkError error = socket.PeekDatagramSize(size);
    if (error != NETWORK_NO_ERROR)
    {
        return error;
    }
    if (size > Capacity())
    {
        mCurrent->SetSizeBytes(size - kHeaderSize);
    }
    unsigned int received = 0;
    error = socket.ReceiveDatagram(Bytes(), static_cast<unsigned int>(Capacity()), received, size, false);
    if (error != NETWORK_NO_ERROR || received < size)
    {
        return error;
    }
    if (received > 0)
    {
        mConnection.MarkReceived();
        mHeld = received;
    }
    return NETWORK_NO_ERROR;
}

void LNetworkConnection::Receiver::DropIncomplete()
{
    mHeld = 0;
    mSearch.Reset();
    mInPayload = false;
}

bool LNetworkConnection::Receiver::Advance()
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
            std::memmove(Bytes() + kHeaderSize, Bytes() + kHeaderSize + extra, mHeld - kHeaderSize - extra);
            mHeld -= extra;
            mInPayload = true;
            const std::size_t payloadSize = mSearch.GetPayloadSize();
            if (payloadSize > mCurrent->GetSizeBytes())
            {
                mCurrent->ResizeBytes(payloadSize);
            }
            break;
        }
        case NetworkHeaderSearch::kMessageComplete:
            CompleteMessage(outcome.count);
            return true;
        }
    }
}

void LNetworkConnection::Receiver::CompleteMessage(std::size_t surplus)
{
    KT::RCPtr<LNetworkConnectionSendBuffer> message;
    message.SwapReference(mCurrent);
    const MessageHeader header = mSearch.GetHeader();
    const std::size_t payloadSize = mSearch.GetPayloadSize();
    mInPayload = false;
    if (surplus > 0)
    {
        // Only socket reads leave a surplus, and only once the carried bytes
        // are used up.
        mCarrySource = message;
        mCarry = message->GetMessageHeader() + kHeaderSize + payloadSize;
        mCarryLength = surplus;
    }
    message->ResizeBytes(payloadSize);
    mHeld = 0;
    Dispatch(message, header);
}

void LNetworkConnection::Receiver::Dispatch(const KT::RCPtr<LNetworkConnectionSendBuffer>& message,
                                            const MessageHeader& header)
{
    const std::uint32_t channel = header.channel;
    // Channels index seven-entry tables: anything beyond is read whole and
    // dropped here.
    if (channel >= kChannelCount)
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
        if (!ReadControlPacketPayload(static_cast<const unsigned char*>(message->GetRawPtr()),
                                      message->GetSizeBytes(), reliableChannel, sequence) ||
            !mConnection.IsChannelReliable(reliableChannel))
        {
            return;
        }
        mConnection.mLastReceived[channel].store(sequenceID);
        if (channel == NETWORK_CHANNEL_ACKNOWLEDGE)
        {
            mConnection.mPeerAcknowledged[reliableChannel].store(static_cast<std::int32_t>(sequence));
        }
        else
        {
            mConnection.mResendRequestReceived[reliableChannel].store(static_cast<std::int32_t>(sequence));
        }
        mConnection.mAckEvent->Release();
        return;
    }

    // Ordinary channels take each message as it comes; reliable ones only in
    // sequence.
    if (mConnection.IsChannelReliable(channel) && !AcceptReliable(header))
    {
        return;
    }
    mConnection.mLastReceived[channel].store(sequenceID);
    if (mConnection.IsChannelReliable(channel))
    {
        mConnection.mAckEvent->Release();
    }
    if (header.multipartMsgCount > 1)
    {
        DispatchPart(message, header);
        return;
    }
    // A whole message ends only its own channel's reassembly.
    mMultipart[channel] = Multipart();
    mConnection.DeliverMessage(message, channel);
}

bool LNetworkConnection::Receiver::AcceptReliable(const MessageHeader& header)
{
    const std::uint32_t channel = header.channel;
    const std::int64_t sequenceID = static_cast<std::int32_t>(header.sequenceID);
    const std::int64_t lastReceived = mConnection.mLastReceived[channel].load();
    if (sequenceID <= lastReceived)
    {
        // Its sender missed the acknowledgement: the worker sends it again.
        mConnection.mDuplicateReceived[channel].store(true);
        mConnection.mAckEvent->Release();
        return false;
    }
    // A packet whose oldest message follows a gap waits for the gap to be
    // resent, which the worker asks for.
    if (sequenceID - std::int64_t{header.previousSequenceMsgCount} > lastReceived + 1)
    {
        const std::int32_t wanted = static_cast<std::int32_t>(lastReceived + 1);
        if (mConnection.mResendWanted[channel].load() != wanted)
        {
            mConnection.mResendWanted[channel].store(wanted);
        }
        mConnection.mAckEvent->Release();
        return false;
    }
    return true;
}

void LNetworkConnection::Receiver::DispatchPart(const KT::RCPtr<LNetworkConnectionSendBuffer>& message,
                                                const MessageHeader& header)
{
    Multipart& multipart = mMultipart[header.channel];
    const std::size_t partSize = message->GetSizeBytes();
    if (header.multipartMsgIndex == 0)
    {
        // A new message starts: whatever was under way is lost. The parts are
        // joined in the first part's block, unless that block still carries
        // the bytes read after it: then in a copy, which growing cannot move
        // from under them.
        multipart.message = message;
        if (message.GetRaw() == mCarrySource.GetRaw())
        {
            multipart.message = LNetworkConnectionSendBuffer::Create(partSize);
            std::memcpy(multipart.message->GetMessageHeader(), message->GetMessageHeader(),
                        kHeaderSize + partSize);
        }
        multipart.count = header.multipartMsgCount;
        multipart.nextIndex = 1;
        return;
    }
    // Parts must follow one another with one count, and together stay within
    // what any message may carry.
    if (!multipart.message || header.multipartMsgIndex != multipart.nextIndex ||
        header.multipartMsgCount != multipart.count || header.multipartMsgIndex >= header.multipartMsgCount ||
        partSize > kMaxPayloadSize - multipart.message->GetSizeBytes())
    {
        multipart = Multipart();
        return;
    }
    const std::size_t joined = multipart.message->GetSizeBytes();
    multipart.message->ResizeBytes(joined + partSize);
    std::memcpy(static_cast<unsigned char*>(multipart.message->GetRawPtr()) + joined, message->GetRawPtr(),
                partSize);
    // The whole keeps the first part's header, with the last part's number.
    KT::WriteLE32(multipart.message->GetMessageHeader() + kOffsetSequenceID, header.sequenceID);
    ++multipart.nextIndex;
    if (header.multipartMsgIndex + 1 < header.multipartMsgCount)
    {
        return;
    }
    KT::RCPtr<LNetworkConnectionSendBuffer> whole;
    whole.SwapReference(multipart.message);
    multipart = Multipart();
    mConnection.DeliverMessage(whole, header.channel);
}
