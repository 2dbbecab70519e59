#include "velquin/Common/DeviceLocal.h"

#include <cstring>

#include "KTFramework/Defs/Result.h"
#include "Platform/ByteOrder.h"
#include "velquin/Common/CrossPlatform/DeviceMessageSerializer.h"

using namespace MacLocalProtocol;

namespace
{

using DeviceLock = KT::AutolockT<KT::Mutex>;

// The outgoing message buffer: granule and slack of 2048 bytes, made with 2048
// zeroed bytes.
using MessageBuffer = KT::LBufferT<2048, 2048>;
constexpr std::size_t MESSAGE_BUFFER_SIZE = 2048;
// Buffers that hold one received message exactly.
using ReceivedBuffer = KT::LBufferT<1, 0>;

KT::RCPtr<KT::LIBuffer> CopyToBuffer(const std::vector<unsigned char>& bytes)
{
    KT::RCPtr<KT::LIBuffer> buffer = ReceivedBuffer::Create(bytes.size(), 0, false);
    if (!bytes.empty())
    {
        std::memcpy(buffer->GetRawPtr(), bytes.data(), bytes.size());
    }
    return buffer;
}

} // namespace

KT::RCPtr<LDeviceBase> LDeviceLocal::Create(const KT::DeviceIdentifier& identifier)
{
    KT::RCPtr<LDeviceLocal> device(new LDeviceLocal(identifier));
    if (!device->mConnector)
    {
        return KT::RCPtr<LDeviceBase>();
    }
    return device;
}

LDeviceLocal::LDeviceLocal(const KT::DeviceIdentifier& identifier)
    : LDeviceBase(identifier), mConnector(LMacLocalConnector::GetTheMacLocalConnector()),
      mMessageBuffer(MessageBuffer::Create(MESSAGE_BUFFER_SIZE, 0, true))
{
}

LDeviceLocal::~LDeviceLocal()
{
    (void)LDeviceLocal::DisconnectDevice();
}

bool LDeviceLocal::IsConnected(bool, std::uint32_t)
{
    return mConnected.load();
}

// --- Device name and requests

bool LDeviceLocal::GetDeviceName()
{
    DeviceLock lock(mMutex);
    return GetDeviceNameLocked();
}

bool LDeviceLocal::GetDeviceNameLocked()
{
    if (!mHelperDeviceID.empty())
    {
        return true;
    }
    const KT::Variant deviceID = GetDeviceID();
    const std::uint32_t size = KT::Variant::GetSerializedSize(deviceID);
    Bytes record(size);
    if (size == 0 || KT::Variant::Serialize(deviceID, record.data(), record.size()) != static_cast<int>(size))
    {
        return false;
    }
    std::optional<Bytes> reply;
    if (mConnector->SendMessageToServer(LocalRequestGetDeviceID, &record, &reply) != 0 || !reply)
    {
        return false;
    }
    // Only a non-empty string can name the device's notifications and its
    // requests.
    std::string name;
    const KT::Platform::Plist answer = KT::Platform::Plist::FromBytes(*reply);
    if (!answer.GetRoot().GetString(name) || name.empty())
    {
        return false;
    }
    mHelperDeviceID = name;
    return true;
}

bool LDeviceLocal::MakeRequest(const KT::RCPtr<KT::LIBuffer>* message, Bytes& request)
{
    using KT::Platform::Plist;
    // The helper reads the client ID as a signed 32-bit number.
    const auto clientID = static_cast<std::int32_t>(static_cast<std::uint32_t>(mClientID));
    Plist dictionary = Plist::NewDictionary();
    if (!dictionary.SetItem(kDeviceIDKey, Plist::NewString(mHelperDeviceID)) ||
        !dictionary.SetItem(kClientIDKey, Plist::NewInteger(clientID)))
    {
        return false;
    }
    if (message != nullptr)
    {
        const KT::RCPtr<KT::LIBuffer>& buffer = *message;
        if (!buffer || buffer->GetSizeBytes() == 0 ||
            !dictionary.SetItem(kParameterDataKey,
                                Plist::NewData(buffer->GetPtr<unsigned char>(), buffer->GetSizeBytes())))
        {
            return false;
        }
    }
    return dictionary.ToXml(request);
}

int LDeviceLocal::SendParamMessage(std::optional<Bytes>* reply)
{
    Bytes request;
    if (!MakeRequest(&mMessageBuffer, request))
    {
        return QVRX_RESULT_FAILED;
    }
    return mConnector->SendMessageToServer(LocalRequestParamMessage, &request, reply) == 0
               ? 0
               : QVRX_RESULT_FAILED;
}

LDeviceLocal::ReplyOutcome LDeviceLocal::SendGet(KT::Variant& payload)
{
    std::optional<Bytes> reply;
    if (SendParamMessage(&reply) != 0)
    {
        return ReplyOutcome::NotSent;
    }
    if (!reply)
    {
        return ReplyOutcome::NoReply;
    }
    std::uint32_t messageID = 0;
    DeviceInterfaceMessageType kind = DEVICE_MESSAGE_NONE;
    const int decoded =
        DeviceMessageSerializer::DecodeMessage(CopyToBuffer(*reply), 0, messageID, payload, kind);
    if (KT::Result::Failed(decoded) || kind != DEVICE_MESSAGE_PARAM_VALUES)
    {
        return ReplyOutcome::Unusable;
    }
    return ReplyOutcome::Decoded;
}

int LDeviceLocal::RequestParamValuesOrRanges(std::uint32_t messageID, const KT::Variant& request)
{
    DeviceLock lock(mMutex);
    if (!mConnected.load())
    {
        return QVRX_RESULT_NOT_CONNECTED;
    }
    if (KT::Result::Failed(
            DeviceMessageSerializer::CreateRequestParamMessage(messageID, request, mMessageBuffer)))
    {
        return QVRX_RESULT_FAILED;
    }
    return SendParamMessage(nullptr);
}

int LDeviceLocal::SetParamValue(const KT::ParamDescriptor& descriptor, const KT::Variant& value)
{
    DeviceLock lock(mMutex);
    if (!mConnected.load())
    {
        return QVRX_RESULT_NOT_CONNECTED;
    }
    KT::ParamValues entry;
    (void)entry.SetOne(descriptor, value);
    if (KT::Result::Failed(DeviceMessageSerializer::CreateSetParamMessage(
            static_cast<std::uint32_t>(MESSAGE_ID_PARAM_VALUES), entry, mMessageBuffer)))
    {
        return QVRX_RESULT_FAILED;
    }
    return SendParamMessage(nullptr);
}

int LDeviceLocal::GetParamValue(const KT::ParamDescriptor& descriptor, KT::Variant& value)
{
    DeviceLock lock(mMutex);
    return GetParamValueLocked(descriptor, value);
}

int LDeviceLocal::GetParamValueLocked(const KT::ParamDescriptor& descriptor, KT::Variant& value)
{
    if (!mConnected.load())
    {
        return QVRX_RESULT_NOT_CONNECTED;
    }
    if (KT::Result::Failed(DeviceMessageSerializer::CreateGetParamMessage(
            descriptor.GetParamID(), descriptor.GetDescriptor(), mMessageBuffer)))
    {
        return QVRX_RESULT_FAILED;
    }
    KT::ParamValues reply;
    switch (SendGet(reply))
    {
    case ReplyOutcome::NotSent:
        return QVRX_RESULT_FAILED;
    case ReplyOutcome::NoReply:
        value.Clear();
        return QVRX_RESULT_UNKNOWN_DEVICE;
    case ReplyOutcome::Unusable:
        break;
    case ReplyOutcome::Decoded:
        if (reply.GetCount() == 1)
        {
            KT::Variant entry;
            unsigned int paramID = 0;
            KT::Variant entryDescriptor;
            if (reply.GetValue(0, entry, paramID, entryDescriptor) == 0)
            {
                value.Set(entry);
                return 0;
            }
        }
        break;
    }
    value.Clear();
    return QVRX_RESULT_FAILED;
}

int LDeviceLocal::GetParamRanges(const KT::ParamRanges& ranges, KT::ParamValues& values)
{
    DeviceLock lock(mMutex);
    return GetParamListLocked(MESSAGE_ID_PARAM_RANGES, ranges, values);
}

int LDeviceLocal::GetParamValues(const KT::ParamDescriptors& descriptors, KT::ParamValues& values)
{
    DeviceLock lock(mMutex);
    return GetParamListLocked(MESSAGE_ID_PARAM_DESCRIPTORS, descriptors, values);
}

int LDeviceLocal::GetParamListLocked(std::int32_t messageID, const KT::Variant& request,
                                     KT::ParamValues& values)
{
    if (!mConnected.load())
    {
        return QVRX_RESULT_NOT_CONNECTED;
    }
    if (KT::Result::Failed(DeviceMessageSerializer::CreateGetParamMessage(
            static_cast<std::uint32_t>(messageID), request, mMessageBuffer)))
    {
        return QVRX_RESULT_FAILED;
    }
    // Decoded apart, so that the host's list is never left half written.
    KT::ParamValues reply;
    switch (SendGet(reply))
    {
    case ReplyOutcome::NotSent:
        return QVRX_RESULT_FAILED;
    case ReplyOutcome::NoReply:
        return QVRX_RESULT_UNKNOWN_DEVICE;
    case ReplyOutcome::Unusable:
        values.Clear();
        return QVRX_RESULT_FAILED;
    case ReplyOutcome::Decoded:
        break;
    }
    values.Set(reply);
    return 0;
}

// --- Connection

int LDeviceLocal::ConnectDevice(DeviceParamCallback callback, void* context)
{
    RemovedObserver removed;
    int result;
    {
        DeviceLock lock(mMutex);
        result = ConnectLocked(callback, context, removed);
    }
    // A failed connect's observer goes with no lock held: a delivery in
    // flight may be inside a host callback that waits for mMutex.
    RemoveObserver(removed);
    return result;
}

int LDeviceLocal::ConnectLocked(DeviceParamCallback callback, void* context, RemovedObserver& removed)
{
    if (mConnected.load())
    {
        return QVRX_RESULT_ALREADY_CONNECTED;
    }
    if (!GetDeviceNameLocked())
    {
        return QVRX_RESULT_CONNECTION_FAILED;
    }
    std::optional<Bytes> reply;
    if (mConnector->SendMessageToServer(LocalRequestGetClientID, nullptr, &reply) != 0 || !reply)
    {
        return QVRX_RESULT_CONNECTION_FAILED;
    }
    if (reply->size() == 8)
    {
        mClientID = KT::ReadLE(reply->data(), 8);
    }
    else if (reply->size() == 4)
    {
        const auto narrow = static_cast<std::int32_t>(KT::ReadLE32(reply->data()));
        mClientID = static_cast<std::uint64_t>(static_cast<std::int64_t>(narrow));
    }
    else
    {
        return QVRX_RESULT_CONNECTION_FAILED;
    }

    mConnected.store(true);
    if (!RegisterCallback(callback, context))
    {
        mConnected.store(false);
        return QVRX_RESULT_CONNECTION_FAILED;
    }
    Bytes request;
    if (!MakeRequest(nullptr, request) ||
        mConnector->SendMessageToServer(LocalRequestConnect, &request, nullptr) != 0)
    {
        UnRegisterCallback(removed);
        mConnected.store(false);
        return QVRX_RESULT_CONNECTION_FAILED;
    }

    // The handshake: the device's token for this client, then whether the
    // device has accepted it already.
    int result = QVRX_RESULT_CONNECTION_FAILED;
    KT::Variant answer;
    if (KT::Result::Succeeded(GetParamValueLocked(
            KT::ParamDescriptor(static_cast<unsigned int>(PARAM_ID_ACCESS_TOKEN)), answer)))
    {
        // An acceptance that came before the token, and what followed it, go
        // to the host from the delivery thread, in their order: the
        // connecting thread never calls the host, so no delivery waits for it.
        mLink->Acceptance.StoreToken(answer.GetInt64());
        if (mLink->Acceptance.HasNext())
        {
            static_cast<void>(KT::Platform::DistributedNotificationCenter::Get().Nudge(mRegistration));
        }
        if (KT::Result::Succeeded(GetParamValueLocked(
                KT::ParamDescriptor(static_cast<unsigned int>(PARAM_ID_ACCESS_STATE)), answer)))
        {
            result = answer.GetBool() ? 0 : QVRX_CONNECTED_AWAITING_ACCEPTANCE;
        }
    }
    if (KT::Result::Failed(result))
    {
        // The helper has been told 'Cnct': it keeps no client that nobody
        // will disconnect.
        (void)mConnector->SendMessageToServer(LocalRequestDisconnect, &request, nullptr);
        UnRegisterCallback(removed);
        mConnected.store(false);
    }
    return result;
}

int LDeviceLocal::DisconnectDevice()
{
    RemovedObserver removed;
    int result;
    {
        DeviceLock lock(mMutex);
        result = DisconnectLocked(removed);
    }
    // With no lock held: a delivery in flight may be inside a host callback
    // that calls this device and waits for mMutex.
    RemoveObserver(removed);
    return result;
}

int LDeviceLocal::DisconnectLocked(RemovedObserver& removed)
{
    UnRegisterCallback(removed);
    if (!mConnected.load())
    {
        return QVRX_RESULT_NOT_CONNECTED;
    }
    Bytes request;
    if (!MakeRequest(nullptr, request))
    {
        return QVRX_RESULT_FAILED;
    }
    const int result = mConnector->SendMessageToServer(LocalRequestDisconnect, &request, nullptr) == 0
                           ? 0
                           : QVRX_RESULT_FAILED;
    mConnected.store(false);
    return result;
}

bool LDeviceLocal::RegisterCallback(DeviceParamCallback callback, void* context)
{
    // The link waits for the token from before the observer exists: its
    // first delivery may already be the device's acceptance.
    auto link = std::make_shared<ObserverLink>(this, callback, context);
    link->Acceptance.BeginHandshake();
    const KT::Platform::ObserverRegistration registration =
        KT::Platform::DistributedNotificationCenter::Get().AddObserver(mHelperDeviceID, &DeviceCallBack,
                                                                       link.get());
    if (registration == 0)
    {
        return false;
    }
    mRegistration = registration;
    mLink = std::move(link);
    return true;
}

void LDeviceLocal::UnRegisterCallback(RemovedObserver& removed)
{
    if (mRegistration != 0)
    {
        // Before the disconnect returns: a delivery in flight on the delivery
        // thread (the host's callback disconnecting) hands out nothing more.
        mLink->Acceptance.Close();
        removed.Registration = mRegistration;
        removed.Link = std::move(mLink);
        mRegistration = 0;
    }
}

void LDeviceLocal::RemoveObserver(RemovedObserver& removed)
{
    if (removed.Registration != 0)
    {
        // Returns once no delivery through the link is in flight (unless on
        // the delivery thread, where the delivery in flight touches the link
        // no more): only then may the link go.
        DeviceAcceptance::RunHook(DeviceAcceptance::Step::Disconnecting, nullptr);
        KT::Platform::DistributedNotificationCenter::Get().RemoveObserver(removed.Registration);
        removed.Registration = 0;
    }
    removed.Link.reset();
}

// --- Notifications

void LDeviceLocal::DeviceCallBack(void* context, const std::string&, const KT::Platform::PlistNode& userInfo)
{
    auto* link = static_cast<ObserverLink*>(context);
    if (link == nullptr)
    {
        return;
    }
    // The registration is in force, so the device and the link are here
    // until this delivery ends; the link is kept past the device, which the
    // host may release inside a call.
    const std::shared_ptr<ObserverLink> kept = link->shared_from_this();
    Notification notification;
    bool direct = false;
    if (link->Device->mConnected.load() && ReadNotification(userInfo, notification))
    {
        if (notification.IsAcceptance)
        {
            link->Acceptance.ReceiveNotice(notification.Token, notification.State);
        }
        else
        {
            direct = link->Acceptance.ReceiveValues(notification.Values, notification.Size);
        }
    }
    if (!direct && !link->Acceptance.HasNext())
    {
        return;
    }
    const KT::Variant deviceID = link->Device->GetDeviceID();
    if (direct)
    {
        link->Callback(link->Context, deviceID, notification.Values);
    }
    KT::ParamValues values;
    // A disconnect inside a call closes the link: nothing more is taken.
    while (link->Acceptance.TakeNext(values))
    {
        link->Callback(link->Context, deviceID, values);
    }
}

bool LDeviceLocal::ReadNotification(const KT::Platform::PlistNode& userInfo, Notification& notification)
{
    Bytes data;
    if (!userInfo.GetDictionaryItem(kParameterDataKey).GetData(data))
    {
        return false;
    }
    notification.Size = data.size();
    KT::ParamValues& values = notification.Values;
    std::uint32_t messageID = 0;
    DeviceInterfaceMessageType kind = DEVICE_MESSAGE_NONE;
    const int decoded =
        DeviceMessageSerializer::DecodeMessage(CopyToBuffer(data), 0, messageID, values, kind);
    if (KT::Result::Failed(decoded) || kind != DEVICE_MESSAGE_PARAM_VALUES ||
        static_cast<std::int32_t>(messageID) != MESSAGE_ID_PARAM_VALUES)
    {
        return false;
    }

    // One entry for the access state is the device's acceptance of a client.
    notification.IsAcceptance = false;
    if (values.GetCount() == 1)
    {
        KT::Variant value;
        unsigned int paramID = KT::ParamValues::NO_PARAM_ID;
        KT::Variant descriptor;
        if (values.GetValue(0, value, paramID, descriptor) == 0 &&
            static_cast<std::int32_t>(paramID) == PARAM_ID_ACCESS_STATE)
        {
            if (!ReadAcceptanceNotice(value, true, notification.Token, notification.State))
            {
                return false;
            }
            notification.IsAcceptance = true;
        }
    }
    return true;
}
