#include "velquin/Common/CrossPlatform/Network/NetworkConnection.h"

#include <cstring>
#include <new>

#include "KTFramework/System/TimeUtils.h"
#include "Platform/Socket.h"
#include "velquin/Common/CrossPlatform/Network/NetworkTimeouts.h"

namespace
{

using Wire = NetworkWireFormat;

// What a send answers when the channel has no socket.
constexpr NetworkError kNoSocket = static_cast<NetworkError>(-1);

bool IsChannel(std::uint32_t channel)
{
    return channel < Wire::kChannelCount;
}

} // namespace

KT::AtomicCounter LNetworkConnection::smNextID;

// ---- Opening and building

KT::RCPtr<LNetworkSocket> LNetworkConnection::ConnectSocket(std::uint32_t ipAddress, std::uint16_t port,
                                                            NetworkSocketType type,
                                                            const KT::RCPtr<KT::LIBuffer>& hello)
{
    if (type == NETWORK_SOCKET_UDP)
    {
        return ConnectUdpSocket(ipAddress, port);
    }
    if (type != NETWORK_SOCKET_TCP)
    {
        return KT::RCPtr<LNetworkSocket>();
    }
    KT::RCPtr<LNetworkSocket> socket = LNetworkSocket::Create(type);
    if (!socket || socket->Connect(ipAddress, port, false, LNetworkSocket::kConnectTimeoutMicroseconds) !=
                       NETWORK_NO_ERROR)
    {
        return KT::RCPtr<LNetworkSocket>();
    }
    const unsigned char* helloBytes = Wire::CLIENT_COOKIE.mBytes;
    std::size_t helloSize = Wire::kHelloSize;
    if (hello.GetRaw() != nullptr && hello->GetSizeBytes() > 0)
    {
        helloBytes = static_cast<const unsigned char*>(hello->GetRawPtr());
        helloSize = hello->GetSizeBytes();
    }
    unsigned int sent = 0;
    if (socket->Send(helloBytes, static_cast<unsigned int>(helloSize), sent) != NETWORK_NO_ERROR ||
        sent < helloSize)
    {
        return KT::RCPtr<LNetworkSocket>();
    }
    // Messages go out as header and payload in two sends; without this the
    // payload would wait for the peer's delayed acknowledgement of the header.
    // SO_SNDBUF stays as it is: Linux turns 0 into its minimum, which would
    // stall every large message.
    const int noDelay = 1;
    static_cast<void>(socket->SetOption(KT::Platform::kSocketLevelTcp, KT::Platform::kSocketOptionTcpNoDelay,
                                        reinterpret_cast<const char*>(&noDelay), sizeof(noDelay)));
    return socket;
}

KT::RCPtr<LNetworkSocket> LNetworkConnection::ConnectUdpSocket(std::uint32_t ipAddress, std::uint16_t port)
{
    KT::RCPtr<LNetworkSocket> socket = LNetworkSocket::Create(NETWORK_SOCKET_UDP);
    // Where Connect would go for the same values.
    const std::uint32_t address = ipAddress != 0 ? ipAddress : LNetworkSocket::kLoopbackAddress;
    const std::uint16_t serverPort = port != 0 ? port : LNetworkSocket::kDefaultPort;
    unsigned int sent = 0;
    if (socket->SendTo(address, serverPort, Wire::CLIENT_COOKIE.mBytes, Wire::kHelloSize, sent) !=
            NETWORK_NO_ERROR ||
        sent != Wire::kHelloSize)
    {
        return KT::RCPtr<LNetworkSocket>();
    }
    // The answer comes from the socket the server made for this client. One
    // byte of room beyond the cookie shows a longer datagram.
    unsigned char answer[Wire::kHelloSize + 1] = {};
    unsigned int received = 0;
    unsigned int sourceAddress = 0;
    unsigned short sourcePort = 0;
    if (!socket->ReceiveHasBytesReady(NetworkTimeouts::Get(NetworkTimeoutList::HELLO_ANSWER) * 1000u) ||
        socket->ReceiveFrom(answer, sizeof(answer), received, sourceAddress, sourcePort, false) !=
            NETWORK_NO_ERROR ||
        received != Wire::kHelloSize ||
        std::memcmp(answer, Wire::CLIENT_COOKIE.mBytes, Wire::kHelloSize) != 0 ||
        socket->Connect(sourceAddress, sourcePort, true, 0) != NETWORK_NO_ERROR)
    {
        return KT::RCPtr<LNetworkSocket>();
    }
    return socket;
}

KT::RCPtr<LNetworkConnection> LNetworkConnection::Create(std::uint32_t ipAddress, std::uint16_t port,
                                                         ConnectionType type)
{
    KT::RCPtr<LNetworkSocket> socket;
    switch (type)
    {
    case CONNECTION_CONTROL_SOCKET:
        socket = ConnectSocket(ipAddress, port, NETWORK_SOCKET_TCP, KT::RCPtr<KT::LIBuffer>());
        return !socket ? KT::RCPtr<LNetworkConnection>() : Create(KT::RCPtr<LNetworkSocket>(), socket, type);
    case CONNECTION_DATA_SOCKET:
        socket = ConnectSocket(ipAddress, port, NETWORK_SOCKET_TCP, KT::RCPtr<KT::LIBuffer>());
        return !socket ? KT::RCPtr<LNetworkConnection>() : Create(socket, KT::RCPtr<LNetworkSocket>(), type);
    case CONNECTION_DUAL_SOCKETS:
        return CreateDualSockets(ipAddress, port);
    default:
        return KT::RCPtr<LNetworkConnection>();
    }
}

KT::RCPtr<LNetworkConnection> LNetworkConnection::CreateDualSockets(std::uint32_t ipAddress,
                                                                    std::uint16_t port)
{
    // A port the UDP socket does not hold would be announced to the server.
    KT::RCPtr<LNetworkSocket> udpSocket = LNetworkSocket::Create(NETWORK_SOCKET_UDP);
    if (udpSocket->Bind(0, 0, true, KT::RCPtr<KT::LIBuffer>()) != NETWORK_NO_ERROR)
    {
        return KT::RCPtr<LNetworkConnection>();
    }
    KT::RCPtr<KT::LIBuffer> hello = KT::LBufferT<16, 0>::Create(Wire::kDualHelloSize, 0, true);
    Wire::WriteDualSocketHello(static_cast<unsigned char*>(hello->GetRawPtr()), udpSocket->GetPort());
    KT::RCPtr<LNetworkSocket> tcpSocket = ConnectSocket(ipAddress, port, NETWORK_SOCKET_TCP, hello);
    if (!tcpSocket)
    {
        return KT::RCPtr<LNetworkConnection>();
    }
    // All 18 bytes of the answer, however they arrive, and none of the
    // server's first message behind them.
    unsigned char answer[Wire::kDualHelloSize] = {};
    std::uint16_t serverPort = 0;
    if (!tcpSocket->ReceiveExactly(answer, Wire::kDualHelloSize,
                                   NetworkTimeouts::Get(NetworkTimeoutList::HELLO_ANSWER) * 1000u) ||
        !Wire::ReadDualSocketHello(answer, sizeof(answer), serverPort) || serverPort == 0 ||
        udpSocket->Connect(tcpSocket->GetIPAddress(), serverPort, true, 0) != NETWORK_NO_ERROR)
    {
        return KT::RCPtr<LNetworkConnection>();
    }
    return Create(udpSocket, tcpSocket, CONNECTION_DUAL_SOCKETS);
}

KT::RCPtr<LNetworkConnection> LNetworkConnection::Create(const KT::RCPtr<LNetworkSocket>& socketA,
                                                         const KT::RCPtr<LNetworkSocket>& socketB,
                                                         ConnectionType type)
{
    if (type != CONNECTION_CONTROL_SOCKET && type != CONNECTION_DATA_SOCKET &&
        type != CONNECTION_DUAL_SOCKETS)
    {
        return KT::RCPtr<LNetworkConnection>();
    }
    KT::RCPtr<LNetworkConnection> connection(new LNetworkConnection(socketA, socketB, type));

    connection->mAckWorker = AckWorker::Create(connection, &LNetworkConnection::AckProcessingThreadWorker);
    if (connection->mAckWorker.GetRaw() != nullptr)
    {
        connection->ModifyNumContainedReferences(1);
        connection->mAckWorkerCounted.store(true);
    }
    connection->mAckThreader = KT::LEventGatedThreader::Create(
        connection->mAckEvent, KT::RCPtr<KT::LThreadWorker>(connection->mAckWorker),
        KT::RCPtr<KT::LRefCountedObject>(), KT::Thread::PRIORITY_TIME_CRITICAL);
    connection->mAckThreader->SetWaitTimeout(kAckWaitMilliseconds);
    return connection;
}

LNetworkConnection::LNetworkConnection(const KT::RCPtr<LNetworkSocket>& socketA,
                                       const KT::RCPtr<LNetworkSocket>& socketB, ConnectionType type)
    : mSocketA(socketA), mSocketB(socketB),
      mDataReceiver(&LNetworkConnection::ConnectionThreadWorkerData, this),
      mControlReceiver(&LNetworkConnection::ConnectionThreadWorkerControl, this),
      mID(static_cast<std::uint32_t>(smNextID.Increment())), mAckEvent(KT::LEvent::Create(true)),
      mConnectionType(type)
{
    const bool reliable = socketA.GetRaw() != nullptr && socketA->GetSocketType() == NETWORK_SOCKET_UDP;
    for (std::uint32_t channel = 0; channel < Wire::kChannelCount; ++channel)
    {
        mNextSequenceID[channel].store(0);
        if (reliable && channel <= NETWORK_CHANNEL_1)
        {
            mReliable[channel].reset(
                new NetworkReliableChannel(channel, kSpareSendBuffers / (NETWORK_CHANNEL_1 + 1), mAckEvent));
        }
    }
    mDataReceiver.SetPriority(KT::Thread::PRIORITY_TIME_CRITICAL);
    mControlReceiver.SetPriority(KT::Thread::PRIORITY_TIME_CRITICAL);
}

LNetworkConnection::~LNetworkConnection()
{
    CloseConnection();
    // The receivers held references until they ended, so they are ending now;
    // on a receiver's own thread the wait returns at once.
    if (mConnectionType == CONNECTION_CONTROL_SOCKET)
    {
        mControlReceiver.WaitForDeath(KT::Thread::GetStopTimeoutMs());
    }
    else if (mConnectionType == CONNECTION_DATA_SOCKET)
    {
        mDataReceiver.WaitForDeath(KT::Thread::GetStopTimeoutMs());
    }
    else
    {
        mDataReceiver.WaitForDeath(KT::Thread::GetStopTimeoutMs());
        mControlReceiver.WaitForDeath(KT::Thread::GetStopTimeoutMs());
    }
}

int LNetworkConnection::RemoveContainedReferences()
{
    // The last outside holder is letting go: the receivers end at their next
    // poll and drop their references, the last of them freeing the connection.
    CloseConnection();
    if (mAckWorkerCounted.exchange(false))
    {
        mAckThreader->Kill();
        mAckWorker->DropOwnerReference();
        ModifyNumContainedReferences(-1);
    }
    return LRefCountedObject::RemoveContainedReferences();
}

// ---- Sockets and state

bool LNetworkConnection::IsConnectionActive()
{
    KT::AutolockT<KT::Mutex> guard(mConnectionMutex);
    return mSocketA.GetRaw() != nullptr ||
           (mConnectionType == CONNECTION_CONTROL_SOCKET && mSocketB.GetRaw() != nullptr);
}

void LNetworkConnection::CloseConnection()
{
    // Released after the mutex: a socket's last release closes its descriptor.
    KT::RCPtr<LNetworkSocket> socketA;
    KT::RCPtr<LNetworkSocket> socketB;
    {
        KT::AutolockT<KT::Mutex> guard(mConnectionMutex);
        socketA.SwapReference(mSocketA);
        socketB.SwapReference(mSocketB);
    }
    // A receiver held back at the backlog's bound ends now, not a poll later,
    // and so does a reliable send waiting for room.
    mRegistrations.GetBacklog().Close();
    EndReliableChannels(NETWORK_CONNECTION_CLOSED);
}

void LNetworkConnection::EndReliableChannels(NetworkError error)
{
    for (const std::unique_ptr<NetworkReliableChannel>& reliable : mReliable)
    {
        if (reliable)
        {
            reliable->End(error);
        }
    }
}

void LNetworkConnection::PeerGone(NetworkError error)
{
    // Ended before it is told: a callback that hears of it finds every
    // reliable send failing.
    EndReliableChannels(error);
    if (!mPeerGoneReported.exchange(true))
    {
        mRegistrations.DeliverError(error);
    }
}

void LNetworkConnection::ReceiverFailed(bool controlSocket, NetworkError error)
{
    // The data socket is a datagram socket exactly when there are reliable
    // channels; a read of it that the peer's port refused is a departure.
    if (!controlSocket && error == NETWORK_CONNECTION_CLOSED && IsChannelReliable(NETWORK_CHANNEL_0))
    {
        PeerGone(error);
        return;
    }
    // Nothing can be acknowledged any more: the channels' sends would wait,
    // and their resends go on, for ever.
    const bool carriesAcknowledgements = controlSocket == (mConnectionType != CONNECTION_DATA_SOCKET);
    if (carriesAcknowledgements)
    {
        EndReliableChannels(error);
    }
    mRegistrations.DeliverError(error);
}

KT::RCPtr<LNetworkSocket> LNetworkConnection::GetNetworkSocket(bool controlSocket)
{
    return LoadSocket(controlSocket);
}

KT::RCPtr<LNetworkSocket> LNetworkConnection::GetSendSocket(NetworkChannelNumber channel)
{
    return LoadSendSocket(channel);
}

KT::RCPtr<LNetworkSocket> LNetworkConnection::LoadSocket(bool controlSocket)
{
    KT::AutolockT<KT::Mutex> guard(mConnectionMutex);
    return controlSocket ? mSocketB : mSocketA;
}

KT::RCPtr<LNetworkSocket> LNetworkConnection::LoadSendSocket(NetworkChannelNumber channel)
{
    if (!IsChannel(channel))
    {
        return KT::RCPtr<LNetworkSocket>();
    }
    switch (mConnectionType)
    {
    case CONNECTION_CONTROL_SOCKET:
        return LoadSocket(true);
    case CONNECTION_DATA_SOCKET:
        return LoadSocket(false);
    case CONNECTION_DUAL_SOCKETS:
        return LoadSocket(channel > NETWORK_CHANNEL_1);
    default:
        return KT::RCPtr<LNetworkSocket>();
    }
}

std::uint64_t LNetworkConnection::GetMillisecondsSinceLastReceive() const
{
    return mMillisecondsSinceLastReceive.load();
}

void LNetworkConnection::ClearMillisecondsSinceLastReceive()
{
    mMillisecondsSinceLastReceive.store(0);
}

// ---- Sending

NetworkError LNetworkConnection::SendOnSocket(const KT::RCPtr<LNetworkSocket>& socket,
                                              NetworkChannelNumber channel, unsigned char* header,
                                              const unsigned char* payload, std::size_t payloadSize)
{
    const bool contiguous = payload == header + Wire::kHeaderSize;
    LNetworkSocket::SendLock sending(*socket);
    // Numbered under the send mutex, so that sequence order is wire order.
    const std::uint32_t sequenceID = static_cast<std::uint32_t>(mNextSequenceID[channel].fetch_add(1));
    static_cast<void>(Wire::WriteMessageHeader(header, channel, payloadSize, sequenceID));
    unsigned int sent = 0;
    unsigned int payloadSent = 0;
    NetworkError result;
    if (contiguous)
    {
        result = socket->Send(header, static_cast<unsigned int>(Wire::kHeaderSize + payloadSize), sent);
    }
    else
    {
        result = socket->Send(header, Wire::kHeaderSize, sent);
        if (result == NETWORK_NO_ERROR && payloadSize > 0)
        {
            result = socket->Send(payload, static_cast<unsigned int>(payloadSize), payloadSent);
        }
    }
    if (result != NETWORK_NO_ERROR && sent + payloadSent > 0)
    {
        // The peer holds part of a message and would read the next one's bytes
        // as its rest: end the stream instead, so that later sends fail and
        // both sides see the connection close.
        socket->Shutdown();
    }
    return result;
}

NetworkError LNetworkConnection::SendMessage(const KT::ConstRCPtr<KT::LIBuffer>& payload,
                                             NetworkChannelNumber channel)
{
    return SendBefore(payload, channel, NetworkSendBacklog::kNoDeadline);
}

NetworkError LNetworkConnection::SendMessage(const KT::ConstRCPtr<LNetworkConnectionSendBuffer>& message,
                                             NetworkChannelNumber channel)
{
    return SendBefore(message, channel, NetworkSendBacklog::kNoDeadline);
}

NetworkError LNetworkConnection::SendBefore(const KT::ConstRCPtr<KT::LIBuffer>& payload,
                                            NetworkChannelNumber channel, std::int64_t deadline)
{
    if (payload.GetRaw() != nullptr)
    {
        const auto* message = dynamic_cast<const LNetworkConnectionSendBuffer*>(payload.GetRaw());
        if (message != nullptr)
        {
            return SendBefore(KT::ConstRCPtr<LNetworkConnectionSendBuffer>(message), channel, deadline);
        }
    }
    KT::RCPtr<LNetworkSocket> socket = LoadSendSocket(channel);
    if (!socket)
    {
        return kNoSocket;
    }
    std::size_t size = 0;
    const unsigned char* bytes = nullptr;
    if (payload.GetRaw() != nullptr)
    {
        KT::IBuffer& buffer = const_cast<KT::LIBuffer&>(*payload);
        size = buffer.GetSizeBytes();
        bytes = static_cast<const unsigned char*>(buffer.GetRawPtr());
    }
    if (size > Wire::kMaxPayloadSize)
    {
        return NETWORK_SEND_FAILED;
    }
    // A reliable channel copies the payload into the parts it keeps.
    if (IsChannelReliable(channel))
    {
        return SendReliable(*socket, channel, bytes, size, deadline);
    }
    // A datagram carries a whole message: header and payload must lie in one
    // send buffer.
    if (socket->GetSocketType() == NETWORK_SOCKET_UDP)
    {
        KT::AutolockT<KT::FastMutex> scratch(mScratchLock);
        if (!mScratchSendBuffer)
        {
            mScratchSendBuffer = LNetworkConnectionSendBuffer::Create(size);
        }
        else
        {
            mScratchSendBuffer->SetSizeBytes(size);
        }
        if (size > 0)
        {
            std::memcpy(mScratchSendBuffer->GetRawPtr(), bytes, size);
        }
        return SendBuffer(socket, channel, *mScratchSendBuffer, deadline);
    }
    unsigned char header[Wire::kHeaderSize];
    return SendOnSocket(socket, channel, header, bytes, size);
}

NetworkError LNetworkConnection::SendBefore(const KT::ConstRCPtr<LNetworkConnectionSendBuffer>& message,
                                            NetworkChannelNumber channel, std::int64_t deadline)
{
    if (!message)
    {
        return SendBefore(KT::ConstRCPtr<KT::LIBuffer>(), channel, deadline);
    }
    KT::RCPtr<LNetworkSocket> socket = LoadSendSocket(channel);
    if (!socket)
    {
        return kNoSocket;
    }
    return SendBuffer(socket, channel, const_cast<LNetworkConnectionSendBuffer&>(*message), deadline);
}

NetworkError LNetworkConnection::SendBuffer(const KT::RCPtr<LNetworkSocket>& socket,
                                            NetworkChannelNumber channel,
                                            LNetworkConnectionSendBuffer& buffer, std::int64_t deadline)
{
    const std::size_t size = buffer.GetSizeBytes();
    if (size > Wire::kMaxPayloadSize)
    {
        return NETWORK_SEND_FAILED;
    }
    if (IsChannelReliable(channel))
    {
        return SendReliable(*socket, channel, static_cast<const unsigned char*>(buffer.GetRawPtr()), size,
                            deadline);
    }
    unsigned char* header = buffer.GetMessageHeader();
    const NetworkError result = SendOnSocket(socket, channel, header, header + Wire::kHeaderSize, size);
    // Only a datagram socket fails a send so (every datagram goes this way):
    // its peer's port refused an earlier one.
    if (result == NETWORK_CONNECTION_CLOSED)
    {
        PeerGone(result);
    }
    return result;
}

NetworkError LNetworkConnection::SendReliable(LNetworkSocket& socket, NetworkChannelNumber channel,
                                              const unsigned char* payload, std::size_t size,
                                              std::int64_t deadline)
{
    // Sending reliably needs no registration: the acknowledgements and resend
    // requests are read from the first reliable send on.
    StartReceivers();
    // A callback of this connection must not wait for a receiver that waits
    // for the callback's own deliveries.
    const NetworkReceiveBacklog* heldBackBy =
        LCallbacker::IsDeliveringFor(*this) ? &mRegistrations.GetBacklog() : nullptr;
    const NetworkError result = mReliable[channel]->Send(socket, payload, size, heldBackBy, deadline);
    const NetworkError gone = mReliable[channel]->TakePeerGone();
    if (gone != NETWORK_NO_ERROR)
    {
        PeerGone(gone);
    }
    // Its acknowledgement must not wait behind deliveries: a receiver held
    // back at the bound looks again.
    mRegistrations.GetBacklog().Wake();
    return result;
}

template <class Payload>
NetworkError LNetworkConnection::Exchange(const KT::ConstRCPtr<Payload>& payload,
                                          NetworkChannelNumber channel, KT::ConstRCPtr<KT::LIBuffer>& reply,
                                          std::uint32_t replyChannel, std::uint32_t timeoutMs,
                                          const KT::RCPtr<KT::LEvent>& event)
{
    KT::AutolockT<KT::FastMutex> exchange(mRequestReplyLock);
    // No waiter exists yet, so nothing else writes the reply; clearing it here
    // releases the caller's old value outside the registrations' lock.
    reply.SetNull();
    if (!IsChannel(channel) || !IsChannel(replyChannel))
    {
        return kNoSocket;
    }
    const KT::RCPtr<KT::LEvent> replyEvent = !event ? KT::LEvent::Create(true) : event;
    NetworkReplyWaiter waiter(replyChannel, replyEvent, reply);
    // Reset before the waiter can be given anything, so that no release is lost.
    replyEvent->Reset();
    // The reply must not wait behind deliveries, whoever asks: a callback of
    // this connection holds up the deliveries the backlog waits for, and any
    // other thread would wait for them. The receivers read on past the bound
    // meanwhile.
    mRegistrations.GetBacklog().BeginReplyWait();
    mRegistrations.BeginExchange(waiter);
    StartReceivers();

    // The time-out covers the whole exchange: a reliable send's wait for room
    // as well as the wait for the reply, which gets what is left.
    const std::int64_t deadline = KT::TimeUtils::GetMillisecondCounter() + std::int64_t{timeoutMs};
    NetworkError result = SendBefore(payload, channel, deadline);
    if (result == NETWORK_NO_ERROR)
    {
        const std::int64_t left = deadline - KT::TimeUtils::GetMillisecondCounter();
        static_cast<void>(replyEvent->Wait(left > 0 ? static_cast<unsigned int>(left) : 0u));
    }

    // The outcome is read once the waiter is out: a reply stored until then
    // counts, even when the wait had already timed out. Nothing writes the
    // reply after that.
    const bool replied = mRegistrations.EndExchange(waiter);
    mRegistrations.GetBacklog().EndReplyWait();
    if (result == NETWORK_NO_ERROR && !replied)
    {
        result = NETWORK_RECEIVE_TIMEOUT;
    }
    if (result != NETWORK_NO_ERROR)
    {
        reply.SetNull();
    }
    return result;
}

NetworkError LNetworkConnection::SendMessageWithReply(const KT::ConstRCPtr<KT::LIBuffer>& payload,
                                                      NetworkChannelNumber channel,
                                                      KT::ConstRCPtr<KT::LIBuffer>& reply,
                                                      std::uint32_t replyChannel, std::uint32_t timeoutMs,
                                                      const KT::RCPtr<KT::LEvent>& event)
{
    return Exchange(payload, channel, reply, replyChannel, timeoutMs, event);
}

NetworkError
LNetworkConnection::SendMessageWithReply(const KT::ConstRCPtr<LNetworkConnectionSendBuffer>& message,
                                         NetworkChannelNumber channel, KT::ConstRCPtr<KT::LIBuffer>& reply,
                                         std::uint32_t replyChannel, std::uint32_t timeoutMs,
                                         const KT::RCPtr<KT::LEvent>& event)
{
    return Exchange(message, channel, reply, replyChannel, timeoutMs, event);
}

// ---- Registrations

int LNetworkConnection::SetCallback(const KT::RCPtr<LNetworkConnectionCallbackInterface>& callback,
                                    NetworkChannelNumber channel)
{
    if (!callback || !IsChannel(channel) || !IsConnectionActive())
    {
        return KT::RESULT_FAILED;
    }
    KT::RCPtr<LCallbacker> registration =
        LCallbacker::Create(callback, channel, KT::RCPtr<LNetworkConnection>(this));
    if (!registration)
    {
        return KT::RESULT_FAILED;
    }
    mRegistrations.Add(registration);
    StartReceivers();
    return 0;
}

int LNetworkConnection::RemoveCallback(const KT::RCPtr<LNetworkConnectionCallbackInterface>& callback,
                                       NetworkChannelNumber channel)
{
    // Its pool, interface and connection references may be the last ones:
    // released here, under no lock.
    KT::RCPtr<LCallbacker> removed = mRegistrations.Remove(callback, channel);
    if (!removed)
    {
        return KT::RESULT_FAILED;
    }
    removed->KillThreads();
    return 0;
}

// ---- Receivers

void LNetworkConnection::StartReceivers()
{
    KT::AutolockT<KT::Mutex> guard(mConnectionMutex);
    if (mReceiversStarted)
    {
        return;
    }
    mReceiversStarted = true;
    StartReceiver(mControlReceiver);
    StartReceiver(mDataReceiver);
}

void LNetworkConnection::StartReceiver(KT::Thread& receiver)
{
    // The receiver's own reference, given up here and taken over by the
    // thread; counted as contained only once it is taken, so that the
    // connection never looks released in between.
    LNetworkConnection* const threadReference = KT::RCPtr<LNetworkConnection>(this).LeakRef();
    ModifyNumContainedReferences(1);
    if (!receiver.Execute())
    {
        ModifyNumContainedReferences(-1);
        static_cast<void>(KT::AdoptRef(threadReference));
    }
}

void* LNetworkConnection::ConnectionThreadWorkerData(void* connection)
{
    return RunReceiver(connection, false);
}

void* LNetworkConnection::ConnectionThreadWorkerControl(void* connection)
{
    return RunReceiver(connection, true);
}

void* LNetworkConnection::RunReceiver(void* connection, bool controlSocket)
{
    if (connection == nullptr)
    {
        return nullptr;
    }
    KT::RCPtr<LNetworkConnection> held = KT::AdoptRef(static_cast<LNetworkConnection*>(connection));
    // Everything the loop made is gone when it returns. The reference stops
    // counting as contained before it goes; its release may free the
    // connection, which is not touched after it.
    const int result = held->ConnectionThreadWorker(controlSocket);
    held->ModifyNumContainedReferences(-1);
    held.SetNull();
    return reinterpret_cast<void*>(static_cast<std::intptr_t>(result));
}

int LNetworkConnection::ConnectionThreadWorker(bool controlSocket)
{
    NetworkReceiverTargets targets{mRegistrations, {}, mMillisecondsSinceLastReceive, mReceiveBuffers};
    for (std::uint32_t channel = 0; channel < Wire::kChannelCount; ++channel)
    {
        targets.reliable[channel] = mReliable[channel].get();
    }
    NetworkConnectionReceiver receiver(*this, controlSocket, targets);
    try
    {
        return receiver.Run();
    }
    catch (const std::bad_alloc&)
    {
        // No exception leaves the receiver's thread: it ends as after a
        // receive error, unless the connection closed meanwhile.
        if (LoadSocket(controlSocket).GetRaw() != nullptr)
        {
            ReceiverFailed(controlSocket, NETWORK_OBJECT_OUT_OF_MEMORY);
        }
        return 1;
    }
}

// ---- Reliable channels

bool LNetworkConnection::IsChannelReliable(std::uint32_t channel) const
{
    return channel < Wire::kChannelCount && mReliable[channel] != nullptr;
}

std::uint32_t LNetworkConnection::GetPreviousSequenceMsgCount(std::uint32_t channel)
{
    return IsChannelReliable(channel) ? mReliable[channel]->GetUnacknowledgedCount() : 0;
}

const NetworkSendBacklog* LNetworkConnection::GetSendBacklog(std::uint32_t channel) const
{
    return IsChannelReliable(channel) ? &mReliable[channel]->GetBacklog() : nullptr;
}

int LNetworkConnection::RemoveFromSequenceMsgArray(std::uint32_t channel, std::int32_t sequenceID)
{
    if (!IsChannelReliable(channel))
    {
        return KT::RESULT_INVALID_ARGUMENT;
    }
    return mReliable[channel]->RemoveAcknowledged(sequenceID);
}

int LNetworkConnection::AckProcessingThreadWorker(const KT::RCPtr<KT::LRefCountedObject>&)
{
    int result = KT::RESULT_FAILED;
    try
    {
        result = ServiceReliableChannels();
    }
    catch (const std::bad_alloc&)
    {
        // No exception leaves the worker's thread: told as a failed send.
        mRegistrations.DeliverError(NETWORK_OBJECT_OUT_OF_MEMORY);
    }
    mAckRuns.fetch_add(1);
    return result;
}

int LNetworkConnection::ServiceReliableChannels()
{
    std::int64_t nextRun = kAckWaitMilliseconds;
    for (std::uint32_t channel = 0; channel < Wire::kChannelCount; ++channel)
    {
        if (!mReliable[channel])
        {
            continue;
        }
        const NetworkError error =
            mReliable[channel]->Service(LoadSendSocket(NETWORK_CHANNEL_ACKNOWLEDGE),
                                        LoadSendSocket(static_cast<NetworkChannelNumber>(channel)));
        const NetworkError gone = mReliable[channel]->TakePeerGone();
        if (gone != NETWORK_NO_ERROR)
        {
            PeerGone(gone);
        }
        else if (error != NETWORK_NO_ERROR)
        {
            mRegistrations.DeliverError(error);
        }
        if (error != NETWORK_NO_ERROR)
        {
            return KT::RESULT_FAILED;
        }
        const std::int64_t due = mReliable[channel]->GetResendDueInMilliseconds();
        nextRun = due < nextRun ? due : nextRun;
    }
    // Nothing else may wake the worker when a resend falls due: it runs then
    // at the latest, and after kAckWaitMilliseconds while nothing is pending.
    if (mAckThreader.GetRaw() != nullptr)
    {
        mAckThreader->SetWaitTimeout(static_cast<std::uint32_t>(nextRun));
    }
    mAckWait.store(static_cast<std::uint32_t>(nextRun));
    return 0;
}
