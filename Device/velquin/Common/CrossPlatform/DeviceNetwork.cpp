#include "velquin/Common/CrossPlatform/DeviceNetwork.h"

#include <vector>

#include "KTFramework/Defs/Result.h"
#include "KTFramework/System/TimeUtils.h"
#include "Platform/ByteOrder.h"
#include "velquin/Common/CrossPlatform/DeferredDeviceWork.h"
#include "velquin/Common/CrossPlatform/DeviceIdentifiersRetriever.h"
#include "velquin/Common/CrossPlatform/DeviceMessageSerializer.h"
#include "velquin/Common/CrossPlatform/Network/NetworkSocket.h"

namespace
{

using StateLock = KT::AutolockT<KT::FastMutex>;
using IdentifierLock = KT::AutolockT<KT::FastMutex>;

// A network device whose identifier carries this location ID takes the
// identifier of any device found at its address and port.
constexpr unsigned long long PLACEHOLDER_LOCATION_ID = 1;

std::uint32_t ReplyTimeout()
{
    return DeviceNetworkTimeouts::Get(DeviceNetworkTimeoutList::REPLY);
}

} // namespace

std::atomic<std::uint32_t> LDeviceNetwork::smKeepAliveCounter{0};
std::atomic<LDeviceNetwork::ReachabilityCheck> LDeviceNetwork::smReachabilityCheck{nullptr};

KT::RCPtr<LDeviceNetwork> LDeviceNetwork::Create(const KT::DeviceIdentifier& identifier)
{
    return KT::RCPtr<LDeviceNetwork>(new LDeviceNetwork(identifier));
}

LDeviceNetwork::LDeviceNetwork(const KT::DeviceIdentifier& identifier)
    : LDeviceBase(identifier), mSendBuffer(LNetworkConnectionSendBuffer::Create(kSendBufferSize)),
      mReplyEvent(KT::LEvent::Create(true)), mLastReceiveTime(Now()), mLastSendTime(Now())
{
    KT::AutolockT<KT::Mutex> lock(mReceiveMutex);
    for (std::int32_t& last : mLastSequenceIDs)
    {
        last = -1;
    }
}

LDeviceNetwork::~LDeviceNetwork()
{
    // While registrations hold this device it is not destroyed, so a
    // connection still here has none: closing it is all there is to do.
    KT::RCPtr<LNetworkConnection> connection;
    {
        StateLock lock(mStateLock);
        connection.SwapReference(mConnection);
    }
    if (!!connection)
    {
        connection->CloseConnection();
    }
}

std::int64_t LDeviceNetwork::Now()
{
    return KT::TimeUtils::GetMillisecondCounter();
}

KT::RCPtr<LNetworkConnection> LDeviceNetwork::LoadConnection() const
{
    StateLock lock(mStateLock);
    return mConnection;
}

bool LDeviceNetwork::IsCurrent(const KT::RCPtr<LNetworkConnection>& connection) const
{
    StateLock lock(mStateLock);
    return !!connection && connection == mConnection;
}

void LDeviceNetwork::Detach(const KT::RCPtr<LNetworkConnection>& expected)
{
    KT::RCPtr<LNetworkConnection> connection;
    {
        StateLock lock(mStateLock);
        if (!mConnection || (!!expected && expected != mConnection))
        {
            return;
        }
        connection.SwapReference(mConnection);
    }
    // Closed at once: the receivers stop, sends fail, and deliveries still
    // queued find the connection no longer the device's; nothing of its
    // handshake reaches the host any more.
    connection->CloseConnection();
    mAcceptance.CancelHandshake();
    // Removing a registration waits for its callback in progress, which may
    // be the host's, calling back into this device: that waits until the
    // caller holds no lock. A connecting thread may be handing the host what
    // it took before the connection went: the receive mutex it holds for that
    // is waited for too, so that no callback follows the disconnect. A thread
    // that holds it already is the one calling the host, and goes on.
    KT::RCPtr<LDeviceNetwork> self(this);
    DeferredDeviceWork::Run(
        [self, connection]()
        {
            DeviceAcceptance::RunHook(DeviceAcceptance::Step::Disconnecting, nullptr);
            const KT::RCPtr<LNetworkConnectionCallbackInterface> callback(self.GetRaw());
            static_cast<void>(connection->RemoveCallback(callback, NETWORK_CHANNEL_0));
            static_cast<void>(connection->RemoveCallback(callback, NETWORK_CHANNEL_2));
            KT::AutolockT<KT::Mutex> receive(self->mReceiveMutex);
        });
}

// ---- Reachability and the keep-alive

bool LDeviceNetwork::IsReachable(const KT::DeviceIdentifier& identifier)
{
    KT::RCPtr<LNetworkSocket> socket = LNetworkSocket::Create(NETWORK_SOCKET_TCP);
    if (!socket)
    {
        return false;
    }
    const std::uint32_t timeoutMicroseconds =
        DeviceNetworkTimeouts::Get(DeviceNetworkTimeoutList::REACHABLE) * 1000u;
    return socket->Connect(identifier.GetCurrentNetworkAddress(),
                           static_cast<unsigned short>(identifier.GetCurrentNetworkPort()), false,
                           timeoutMicroseconds) == NETWORK_NO_ERROR;
}

bool LDeviceNetwork::CheckReachable(const KT::DeviceIdentifier& identifier)
{
    const ReachabilityCheck check = smReachabilityCheck.load();
    return check != nullptr ? check(identifier) : IsReachable(identifier);
}

LDeviceNetwork::ReachabilityCheck LDeviceNetwork::ExchangeReachabilityCheck(ReachabilityCheck check)
{
    return smReachabilityCheck.exchange(check);
}

std::uint32_t LDeviceNetwork::GetKeepAliveCount()
{
    return smKeepAliveCounter.load();
}

std::uint32_t LDeviceNetwork::GetTimeSinceLastComm() const
{
    const std::int64_t lastReceive = mLastReceiveTime.load();
    const std::int64_t lastSend = mLastSendTime.load();
    const std::int64_t latest = lastReceive <= lastSend ? lastSend : lastReceive;
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(Now() - latest));
}

bool LDeviceNetwork::IsConnected(bool probe, std::uint32_t idleMs)
{
    KT::RCPtr<LNetworkConnection> connection = LoadConnection();
    if (!connection)
    {
        return false;
    }
    if (!probe || GetTimeSinceLastComm() <= idleMs)
    {
        return true;
    }
    DeferredDeviceWork deferred;
    mLastSendTime.store(Now());
    bool passed = false;
    if (connection->IsConnectionActive())
    {
        const std::uint32_t probes = smKeepAliveCounter.fetch_add(1) + 1;
        if (probes % kKeepAliveInterval == 0)
        {
            KT::ConstRCPtr<KT::LIBuffer> reply;
            KT::AutolockT<KT::FastMutex> request(mRequestMutex);
            passed = connection->SendMessageWithReply(KT::ConstRCPtr<KT::LIBuffer>(), NETWORK_CHANNEL_2,
                                                      reply, NETWORK_CHANNEL_4, ReplyTimeout(),
                                                      mReplyEvent) == NETWORK_NO_ERROR;
        }
        else
        {
            const KT::DeviceIdentifier identifier = GetDeviceIdentifier();
            passed = CheckReachable(identifier) || CheckReachable(identifier);
        }
    }
    if (passed)
    {
        mLastReceiveTime.store(Now());
        return true;
    }
    Detach(connection);
    return false;
}

// ---- Connecting

int LDeviceNetwork::ConnectDevice(DeviceParamCallback callback, void* context)
{
    DeferredDeviceWork deferred;
    KT::RCPtr<LNetworkConnection> connection;
    int result;
    {
        KT::AutolockT<KT::Mutex> connect(mConnectMutex);
        result = ConnectLocked(callback, context, connection);
    }
    // An acceptance that came before the token, and what followed it, go to
    // the host under the receive mutex (which goes before the connect mutex),
    // in their order, and ahead of anything the device sends later.
    if (mAcceptance.HasNext())
    {
        KT::AutolockT<KT::Mutex> receive(mReceiveMutex);
        HandOut(connection);
    }
    return result;
}

int LDeviceNetwork::ConnectLocked(DeviceParamCallback callback, void* context,
                                  KT::RCPtr<LNetworkConnection>& connection)
{
    if (callback == nullptr)
    {
        return QVRX_RESULT_CONNECTION_FAILED;
    }
    if (IsConnected(true, 0))
    {
        return QVRX_RESULT_ALREADY_CONNECTED;
    }
    connection = LoadConnection();
    if (!connection)
    {
        const KT::DeviceIdentifier identifier = GetDeviceIdentifier();
        connection =
            LNetworkConnection::Create(identifier.GetCurrentNetworkAddress(),
                                       static_cast<std::uint16_t>(identifier.GetCurrentNetworkPort()),
                                       LNetworkConnection::CONNECTION_DATA_SOCKET);
        if (!connection)
        {
            return QVRX_RESULT_CONNECTION_FAILED;
        }
        StateLock lock(mStateLock);
        mConnection = connection;
    }
    {
        StateLock lock(mStateLock);
        mHostCallback = callback;
        mHostContext = context;
    }
    // From the first notification on, an acceptance and what follows it are
    // held until the token is known.
    mAcceptance.BeginHandshake();
    const KT::RCPtr<LNetworkConnectionCallbackInterface> self(this);
    static_cast<void>(connection->SetCallback(self, NETWORK_CHANNEL_0));
    static_cast<void>(connection->SetCallback(self, NETWORK_CHANNEL_2));

    // A device that does not tell the token and the state is not usable: it
    // is left disconnected, so that a retry connects afresh and the host's
    // context is not called after this failure.
    KT::Variant token;
    if (KT::Result::Failed(
            GetParamValue(KT::ParamDescriptor(static_cast<unsigned int>(PARAM_ID_ACCESS_TOKEN)), token)))
    {
        Detach(connection);
        return QVRX_RESULT_CONNECTION_FAILED;
    }
    mAcceptance.StoreToken(token.GetInt64());
    KT::Variant state;
    if (KT::Result::Failed(
            GetParamValue(KT::ParamDescriptor(static_cast<unsigned int>(PARAM_ID_ACCESS_STATE)), state)))
    {
        Detach(connection);
        return QVRX_RESULT_CONNECTION_FAILED;
    }
    mValidated.store(true);
    return state.GetBool() ? 0 : QVRX_CONNECTED_AWAITING_ACCEPTANCE;
}

int LDeviceNetwork::DisconnectDevice()
{
    DeferredDeviceWork deferred;
    KT::AutolockT<KT::Mutex> connect(mConnectMutex);
    Detach(KT::RCPtr<LNetworkConnection>());
    return 0;
}

// ---- Requests

int LDeviceNetwork::SendMessage(const KT::RCPtr<LNetworkConnection>& connection)
{
    if (!connection)
    {
        return QVRX_RESULT_NOT_CONNECTED;
    }
    mLastSendTime.store(Now());
    if (connection->SendMessage(KT::ConstRCPtr<KT::LIBuffer>(mSendBuffer.GetRaw()), NETWORK_CHANNEL_1) !=
        NETWORK_NO_ERROR)
    {
        Detach(connection);
        return QVRX_RESULT_FAILED;
    }
    return 0;
}

int LDeviceNetwork::SendMessageWithReply(const KT::RCPtr<LNetworkConnection>& connection,
                                         KT::ConstRCPtr<KT::LIBuffer>& reply)
{
    if (!connection)
    {
        return QVRX_RESULT_NOT_CONNECTED;
    }
    mLastSendTime.store(Now());
    if (connection->SendMessageWithReply(KT::ConstRCPtr<KT::LIBuffer>(mSendBuffer.GetRaw()),
                                         NETWORK_CHANNEL_1, reply, NETWORK_CHANNEL_1, ReplyTimeout(),
                                         mReplyEvent) != NETWORK_NO_ERROR)
    {
        Detach(connection);
        return QVRX_RESULT_FAILED;
    }
    mLastReceiveTime.store(Now());
    return 0;
}

int LDeviceNetwork::RequestParamValuesOrRanges(std::uint32_t messageID, const KT::Variant& request)
{
    DeferredDeviceWork deferred;
    KT::AutolockT<KT::FastMutex> lock(mRequestMutex);
    const KT::RCPtr<KT::LIBuffer> buffer(mSendBuffer.GetRaw());
    if (KT::Result::Failed(DeviceMessageSerializer::CreateRequestParamMessage(messageID, request, buffer)))
    {
        return QVRX_RESULT_FAILED;
    }
    return SendMessage(LoadConnection());
}

int LDeviceNetwork::SetParamValue(const KT::ParamDescriptor& descriptor, const KT::Variant& value)
{
    KT::ParamValues values;
    values.SetOne(descriptor, value);
    DeferredDeviceWork deferred;
    KT::AutolockT<KT::FastMutex> lock(mRequestMutex);
    const KT::RCPtr<KT::LIBuffer> buffer(mSendBuffer.GetRaw());
    if (KT::Result::Failed(DeviceMessageSerializer::CreateSetParamMessage(
            static_cast<std::uint32_t>(MESSAGE_ID_PARAM_VALUES), values, buffer)))
    {
        return QVRX_RESULT_FAILED;
    }
    return SendMessage(LoadConnection());
}

int LDeviceNetwork::ExchangeGet(std::uint32_t messageID, const KT::Variant& payload,
                                KT::ConstRCPtr<KT::LIBuffer>& reply)
{
    DeferredDeviceWork deferred;
    KT::AutolockT<KT::FastMutex> lock(mRequestMutex);
    const KT::RCPtr<KT::LIBuffer> buffer(mSendBuffer.GetRaw());
    if (KT::Result::Failed(DeviceMessageSerializer::CreateGetParamMessage(messageID, payload, buffer)))
    {
        return QVRX_RESULT_FAILED;
    }
    return SendMessageWithReply(LoadConnection(), reply);
}

int LDeviceNetwork::DecodeValues(const KT::ConstRCPtr<KT::LIBuffer>& reply, KT::ParamValues& values)
{
    std::uint32_t replyID = 0;
    DeviceInterfaceMessageType kind = DEVICE_MESSAGE_NONE;
    const int decoded = DeviceMessageSerializer::DecodeMessage(reply, 0, replyID, values, kind);
    if (kind != DEVICE_MESSAGE_PARAM_VALUES)
    {
        values.Clear();
        return QVRX_RESULT_FAILED;
    }
    return decoded;
}

int LDeviceNetwork::GetParamRanges(const KT::ParamRanges& ranges, KT::ParamValues& values)
{
    KT::ConstRCPtr<KT::LIBuffer> reply;
    const int result = ExchangeGet(static_cast<std::uint32_t>(MESSAGE_ID_PARAM_RANGES), ranges, reply);
    if (result != 0)
    {
        values.Clear();
        return result;
    }
    return DecodeValues(reply, values);
}

int LDeviceNetwork::GetParamValues(const KT::ParamDescriptors& descriptors, KT::ParamValues& values)
{
    KT::ConstRCPtr<KT::LIBuffer> reply;
    const int result =
        ExchangeGet(static_cast<std::uint32_t>(MESSAGE_ID_PARAM_DESCRIPTORS), descriptors, reply);
    if (result != 0)
    {
        values.Clear();
        return result;
    }
    return DecodeValues(reply, values);
}

int LDeviceNetwork::GetParamValue(const KT::ParamDescriptor& descriptor, KT::Variant& value)
{
    KT::ConstRCPtr<KT::LIBuffer> reply;
    const int result = ExchangeGet(descriptor.GetParamID(), descriptor.GetDescriptor(), reply);
    if (result != 0)
    {
        value.Clear();
        return result;
    }
    KT::ParamValues values;
    const int decoded = DecodeValues(reply, values);
    KT::Variant descriptorVariant;
    unsigned int paramID = 0;
    if (KT::Result::Failed(decoded) || values.GetCount() != 1 ||
        values.GetValue(0, value, paramID, descriptorVariant) != 0)
    {
        value.Clear();
        return QVRX_RESULT_FAILED;
    }
    return decoded;
}

// ---- Identity

bool LDeviceNetwork::IsDeviceEqual(const KT::DeviceIdentifier& identifier)
{
    IdentifierLock lock(mIdentifierLock);
    if (mIdentifier.IsDeviceIDEqual(identifier))
    {
        return true;
    }
    if (mIdentifier.GetCurrentNetworkAddress() != identifier.GetCurrentNetworkAddress() ||
        mIdentifier.GetCurrentNetworkPort() != identifier.GetCurrentNetworkPort())
    {
        return false;
    }
    if (mIdentifier.GetInstanceLocationID() == PLACEHOLDER_LOCATION_ID)
    {
        mIdentifier = identifier;
    }
    return true;
}

bool LDeviceNetwork::HasBeenValidated() const
{
    return mValidated.load();
}

int LDeviceNetwork::UpdateDeviceIdentifier(KT::DeviceIdentifier& identifier)
{
    identifier = GetDeviceIdentifier();
    KT::RCPtr<LNetworkConnection> connection = LoadConnection();
    if (!connection)
    {
        connection =
            LNetworkConnection::Create(identifier.GetCurrentNetworkAddress(),
                                       static_cast<std::uint16_t>(identifier.GetCurrentNetworkPort()),
                                       LNetworkConnection::CONNECTION_CONTROL_SOCKET);
        if (!connection)
        {
            return KT::RESULT_FAILED;
        }
    }
    KT::ConstRCPtr<KT::LIBuffer> reply;
    NetworkError exchanged;
    {
        KT::AutolockT<KT::FastMutex> lock(mRequestMutex);
        exchanged = connection->SendMessageWithReply(KT::ConstRCPtr<KT::LIBuffer>(), NETWORK_CHANNEL_3, reply,
                                                     NETWORK_CHANNEL_3, ReplyTimeout(), mReplyEvent);
    }
    if (!IsCurrent(connection))
    {
        // The short connection of this exchange.
        connection->CloseConnection();
    }
    connection.SetNull();
    if (exchanged != NETWORK_NO_ERROR)
    {
        return KT::RESULT_FAILED;
    }

    KT::Variant deviceID;
    KT::DeviceIdentifier::String name;
    if (!LDeviceIdentifiersRetriever::ReadIdentifierRecord(reply, deviceID, name))
    {
        return KT::RESULT_FAILED;
    }

    IdentifierLock lock(mIdentifierLock);
    identifier = mIdentifier;
    static_cast<KT::Variant&>(identifier).Set(deviceID);
    identifier.SetUserDefinedName(name);
    if (!mIdentifier.IsDeviceIDEqual(deviceID))
    {
        return KT::RESULT_FAILED;
    }
    const bool validatedBefore = mValidated.exchange(true);
    if (identifier == mIdentifier)
    {
        return validatedBefore ? KT::RESULT_FALSE : 0;
    }
    mIdentifier = identifier;
    return 0;
}

// ---- Receiving

void LDeviceNetwork::ReceivedMessageCallback(const KT::RCPtr<LNetworkConnection>& connection,
                                             const KT::ConstRCPtr<KT::LIBuffer>& payload,
                                             std::uint32_t channel, std::int32_t sequenceID,
                                             std::int32_t count)
{
    mLastReceiveTime.store(Now());
    if (channel == NETWORK_CHANNEL_2)
    {
        if (!!connection)
        {
            static_cast<void>(connection->SendMessage(KT::ConstRCPtr<KT::LIBuffer>(), NETWORK_CHANNEL_4));
        }
        return;
    }
    if (channel != NETWORK_CHANNEL_0 || !payload || payload->GetSizeBytes() == 0)
    {
        return;
    }
    ProcessNotification(connection, payload, sequenceID, count);
}

void LDeviceNetwork::ProcessNotification(const KT::RCPtr<LNetworkConnection>& connection,
                                         const KT::ConstRCPtr<KT::LIBuffer>& payload, std::int32_t sequenceID,
                                         std::int32_t count)
{
    // A disconnect by the host's callback takes effect when it returns and
    // this delivery has let go of the receive mutex.
    DeferredDeviceWork deferred;
    KT::AutolockT<KT::Mutex> receive(mReceiveMutex);
    std::int32_t& last = mLastSequenceIDs[NETWORK_CHANNEL_0];
    const std::vector<std::uint64_t> messages = FindNotificationMessages(payload, sequenceID, count, last);
    if (messages.empty())
    {
        return;
    }
    for (const std::uint64_t offset : messages)
    {
        static_cast<void>(ProcessMessage(connection, payload, offset));
    }
    last = sequenceID;
}

std::vector<std::uint64_t>
LDeviceNetwork::FindNotificationMessages(const KT::ConstRCPtr<KT::LIBuffer>& payload, std::int32_t sequenceID,
                                         std::int32_t count, std::int32_t lastSequenceID)
{
    DeviceInterfaceMessageType kind = DEVICE_MESSAGE_NONE;
    std::uint32_t messageID = 0;
    std::uint32_t length = 0;
    if (DeviceMessageSerializer::PeekParamMessage(payload, 0, kind, messageID, length) != 0 ||
        length < DeviceMessageSerializer::HEADER_SIZE)
    {
        return {};
    }

    // Copies of the messages before this one follow it, newest first. Those
    // that fill a gap since the last message are delivered first, oldest
    // first; the walk stops at the first copy that does not read as a whole
    // message, so every step advances by at least a header.
    const std::int64_t missing =
        sequenceID > lastSequenceID ? std::int64_t{sequenceID} - lastSequenceID - 1 : 0;
    const std::int64_t replay = missing == 0 || count < 1 ? 0 : (missing < count ? missing : count);
    std::vector<std::uint64_t> copies;
    const std::uint64_t size = payload->GetSizeBytes();
    for (std::uint64_t offset = length; static_cast<std::int64_t>(copies.size()) < replay && offset < size;)
    {
        std::uint32_t copyLength = 0;
        if (DeviceMessageSerializer::PeekParamMessage(payload, offset, kind, messageID, copyLength) != 0 ||
            copyLength < DeviceMessageSerializer::HEADER_SIZE)
        {
            break;
        }
        copies.push_back(offset);
        offset += copyLength;
    }
    std::vector<std::uint64_t> messages(copies.rbegin(), copies.rend());
    messages.push_back(0);
    return messages;
}

int LDeviceNetwork::ProcessMessage(const KT::RCPtr<LNetworkConnection>& connection,
                                   const KT::ConstRCPtr<KT::LIBuffer>& payload, std::uint64_t offset)
{
    KT::ParamValues values;
    std::uint32_t messageID = 0;
    DeviceInterfaceMessageType kind = DEVICE_MESSAGE_NONE;
    const int decoded = DeviceMessageSerializer::DecodeMessage(payload, offset, messageID, values, kind);
    // After a disconnect (the host's callback may have made one during this
    // delivery) nothing more reaches the host.
    if (KT::Result::Failed(decoded) || kind != DEVICE_MESSAGE_PARAM_VALUES ||
        messageID != static_cast<std::uint32_t>(MESSAGE_ID_PARAM_VALUES) || !IsCurrent(connection))
    {
        return decoded;
    }
    KT::Variant value;
    unsigned int paramID = 0;
    KT::Variant descriptor;
    if (values.GetCount() == 1 && values.GetValue(0, value, paramID, descriptor) == 0 &&
        paramID == static_cast<unsigned int>(PARAM_ID_ACCESS_STATE))
    {
        std::int64_t token = 0;
        std::int32_t state = 0;
        if (ReadAcceptanceNotice(value, false, token, state))
        {
            mAcceptance.ReceiveNotice(token, state);
        }
    }
    else if (mAcceptance.ReceiveValues(values, static_cast<std::size_t>(decoded)) && IsCurrent(connection))
    {
        CallHost(values);
    }
    HandOut(connection);
    return decoded;
}

void LDeviceNetwork::HandOut(const KT::RCPtr<LNetworkConnection>& connection)
{
    KT::ParamValues values;
    while (IsCurrent(connection) && mAcceptance.TakeNext(values))
    {
        CallHost(values);
    }
}

void LDeviceNetwork::CallHost(const KT::ParamValues& values)
{
    DeviceParamCallback callback = nullptr;
    void* context = nullptr;
    {
        StateLock lock(mStateLock);
        callback = mHostCallback;
        context = mHostContext;
    }
    if (callback != nullptr)
    {
        callback(context, GetDeviceID(), values);
    }
}

void LDeviceNetwork::ConnectionErrorCallback(const KT::RCPtr<LNetworkConnection>& connection, NetworkError)
{
    if (!!connection)
    {
        connection->CloseConnection();
    }
}
