#include "velquin/Common/CrossPlatform/DeviceBase.h"

#include "Platform/ByteOrder.h"
#include "velquin/Common/CrossPlatform/DeviceMessageSerializer.h"

namespace
{

using IdentifierLock = KT::AutolockT<KT::FastMutex>;
using AcceptanceLock = KT::AutolockT<KT::FastMutex>;

struct SupportedHardware
{
    std::uint32_t vendorID;
    std::uint32_t productID;
};

constexpr SupportedHardware SUPPORTED_HARDWARE[SUPPORTED_HARDWARE_COUNT] = {{SUPPORTED_VID, SUPPORTED_PID}};

constexpr unsigned char VID_PID_GUID_HEAD[4] = {0x01, 0x02, 0x03, 0x04};
constexpr unsigned char VID_PID_GUID_TAIL[4] = {0xDE, 0xCA, 0xFB, 0xAD};

} // namespace

std::atomic<DeviceAcceptance::Hook> DeviceAcceptance::smHook{nullptr};

bool LDeviceBase::SortKey::operator<(const SortKey& other) const
{
    if (remote != other.remote)
    {
        return remote;
    }
    if (remote)
    {
        return deviceID < other.deviceID;
    }
    if (flagged != other.flagged)
    {
        return flagged;
    }
    return key > other.key;
}

LDeviceBase::LDeviceBase(const KT::DeviceIdentifier& identifier) : mIdentifier(identifier) {}

LDeviceBase::~LDeviceBase() = default;

LDeviceBase::String LDeviceBase::GetUserDefinedName()
{
    IdentifierLock lock(mIdentifierLock);
    return mIdentifier.GetUserDefinedName();
}

LDeviceBase::String LDeviceBase::GetVendorName()
{
    IdentifierLock lock(mIdentifierLock);
    return mIdentifier.GetVendorName();
}

LDeviceBase::String LDeviceBase::GetProductName()
{
    IdentifierLock lock(mIdentifierLock);
    return mIdentifier.GetProductName();
}

std::uint32_t LDeviceBase::GetNetworkAddress()
{
    IdentifierLock lock(mIdentifierLock);
    return mIdentifier.GetCurrentNetworkAddress();
}

std::uint32_t LDeviceBase::GetNetworkPort()
{
    IdentifierLock lock(mIdentifierLock);
    return mIdentifier.GetCurrentNetworkPort();
}

void LDeviceBase::SetDeviceIdentifier(const KT::DeviceIdentifier& identifier)
{
    IdentifierLock lock(mIdentifierLock);
    mIdentifier = identifier;
}

bool LDeviceBase::IsDeviceEqual(const KT::DeviceIdentifier& identifier)
{
    IdentifierLock lock(mIdentifierLock);
    return mIdentifier.IsDeviceIDEqual(identifier);
}

bool LDeviceBase::HasBeenValidated() const
{
    return true;
}

KT::DeviceIdentifier LDeviceBase::GetDeviceIdentifier() const
{
    IdentifierLock lock(mIdentifierLock);
    return mIdentifier;
}

KT::Variant LDeviceBase::GetDeviceID() const
{
    IdentifierLock lock(mIdentifierLock);
    return KT::Variant(mIdentifier);
}

bool LDeviceBase::IsDeviceID(const KT::Variant& deviceID) const
{
    IdentifierLock lock(mIdentifierLock);
    return mIdentifier.IsDeviceIDEqual(deviceID);
}

bool LDeviceBase::IsRemoteDevice() const
{
    IdentifierLock lock(mIdentifierLock);
    return mIdentifier.IsRemoteDevice();
}

LDeviceBase::SortKey LDeviceBase::GetSortKey() const
{
    IdentifierLock lock(mIdentifierLock);
    SortKey key{mIdentifier.IsRemoteDevice(), KT::Variant(), mSortFlag,
                mSortFlag ? mFirstSortKey : mSecondSortKey};
    if (key.remote)
    {
        key.deviceID = mIdentifier;
    }
    return key;
}

bool LDeviceBase::operator<(const LDeviceBase& other) const
{
    // One device's lock at a time: two devices compared from two threads in
    // opposite order must not wait for each other.
    return GetSortKey() < other.GetSortKey();
}

std::uint32_t GetSupportedVid(std::size_t index)
{
    return index < SUPPORTED_HARDWARE_COUNT ? SUPPORTED_HARDWARE[index].vendorID : 0;
}

std::uint32_t GetSupportedPid(std::size_t index)
{
    return index < SUPPORTED_HARDWARE_COUNT ? SUPPORTED_HARDWARE[index].productID : 0;
}

void VidPidToProductGuid(std::uint32_t vendorID, std::uint32_t productID, unsigned char (&guid)[16])
{
    for (std::size_t i = 0; i < 4; ++i)
    {
        guid[i] = VID_PID_GUID_HEAD[i];
        guid[12 + i] = VID_PID_GUID_TAIL[i];
    }
    KT::WriteLE32(guid + 4, vendorID);
    KT::WriteLE32(guid + 8, productID);
}

void DeviceAcceptance::BeginHandshake()
{
    AcceptanceLock lock(mLock);
    ForgetLocked();
    mPhase = Phase::Pending;
}

void DeviceAcceptance::StoreToken(std::int64_t token)
{
    AcceptanceLock lock(mLock);
    mToken = token;
    mPhase = Phase::TokenKnown;
    for (Message& message : mHeld)
    {
        DecideLocked(message);
    }
    mHeld.clear();
    mHeldBytes = 0;
}

void DeviceAcceptance::CancelHandshake()
{
    AcceptanceLock lock(mLock);
    ForgetLocked();
    if (mPhase == Phase::Pending)
    {
        mPhase = Phase::NoToken;
    }
}

void DeviceAcceptance::Close()
{
    AcceptanceLock lock(mLock);
    ForgetLocked();
    mPhase = Phase::NoToken;
    mToken = -1;
    mAccepted = false;
}

void DeviceAcceptance::ForgetLocked()
{
    mHeld.clear();
    mHeldBytes = 0;
    mQueued.clear();
}

void DeviceAcceptance::ReceiveNotice(std::int64_t token, std::int32_t state)
{
    Message message;
    message.Notice = true;
    message.Token = token;
    message.State = state;
    RunHook(Step::Deciding, nullptr);
    {
        AcceptanceLock lock(mLock);
        ReceiveLocked(std::move(message));
    }
    RunHook(Step::Decided, nullptr);
}

bool DeviceAcceptance::ReceiveValues(const KT::ParamValues& values, std::size_t size)
{
    RunHook(Step::Deciding, &values);
    bool direct = false;
    {
        AcceptanceLock lock(mLock);
        // Nothing waits before them and nothing holds them back: they would
        // be queued only to be taken at once. The caller hands them out
        // itself, without the copies the queue takes.
        direct = mAccepted && mHeld.empty() && mQueued.empty();
        if (!direct)
        {
            Message message;
            message.Values = values;
            message.Size = size;
            ReceiveLocked(std::move(message));
        }
    }
    RunHook(Step::Decided, &values);
    return direct;
}

void DeviceAcceptance::ReceiveLocked(Message&& message)
{
    switch (mPhase)
    {
    case Phase::Pending:
        // Behind a held notice everything waits for the token, so that what
        // the notice lets through keeps its place behind the grant.
        if (message.Notice || !mHeld.empty())
        {
            HoldLocked(std::move(message));
        }
        else if (mAccepted)
        {
            mQueued.push_back(std::move(message.Values));
        }
        return;
    case Phase::TokenKnown:
        DecideLocked(message);
        return;
    case Phase::NoToken:
        if (!message.Notice && mAccepted)
        {
            mQueued.push_back(std::move(message.Values));
        }
        return;
    }
}

void DeviceAcceptance::HoldLocked(Message&& message)
{
    while (!mHeld.empty() &&
           (mHeld.size() >= kMostHeldMessages || mHeldBytes + message.Size > kMostHeldBytes))
    {
        auto oldest = mHeld.begin();
        while (oldest != mHeld.end() && oldest->Notice)
        {
            ++oldest;
        }
        if (oldest == mHeld.end())
        {
            oldest = mHeld.begin();
        }
        mHeldBytes -= oldest->Size;
        mHeld.erase(oldest);
    }
    mHeldBytes += message.Size;
    mHeld.push_back(std::move(message));
}

void DeviceAcceptance::DecideLocked(Message& message)
{
    if (message.Notice)
    {
        if (message.Token == mToken)
        {
            mAccepted = true;
            mQueued.push_back(Granted(message.State));
        }
        return;
    }
    if (mAccepted)
    {
        mQueued.push_back(std::move(message.Values));
    }
}

bool DeviceAcceptance::TakeNext(KT::ParamValues& values)
{
    {
        AcceptanceLock lock(mLock);
        if (mQueued.empty())
        {
            return false;
        }
        values = std::move(mQueued.front());
        mQueued.pop_front();
    }
    RunHook(Step::Handing, &values);
    return true;
}

bool DeviceAcceptance::HasNext() const
{
    AcceptanceLock lock(mLock);
    return !mQueued.empty();
}

bool DeviceAcceptance::IsAccepted() const
{
    AcceptanceLock lock(mLock);
    return mAccepted;
}

void DeviceAcceptance::ClearAccepted()
{
    AcceptanceLock lock(mLock);
    mAccepted = false;
}

DeviceAcceptance::Hook DeviceAcceptance::ExchangeHook(Hook hook)
{
    return smHook.exchange(hook);
}

void DeviceAcceptance::RunHook(Step step, const KT::ParamValues* values)
{
    if (const Hook hook = smHook.load(std::memory_order_acquire))
    {
        hook(step, values);
    }
}

KT::ParamValues DeviceAcceptance::Granted(std::int32_t state)
{
    KT::ParamValues granted;
    static_cast<void>(granted.SetOne(KT::ParamDescriptor(static_cast<unsigned int>(PARAM_ID_ACCESS_GRANTED)),
                                     KT::Variant(state))); // one entry: grows or throws
    return granted;
}

bool ReadAcceptanceNotice(const KT::Variant& value, bool textAllowed, std::int64_t& token,
                          std::int32_t& state)
{
    constexpr std::size_t kRecordSize = 12;
    if (value.GetType() == KT::Variant::TYPE_ARRAY)
    {
        KT::Variant tokenValue;
        KT::Variant stateValue;
        if (value.GetArrayElement(0, tokenValue) != 0 || value.GetArrayElement(1, stateValue) != 0)
        {
            return false;
        }
        token = tokenValue.GetInt64();
        state = stateValue.GetBool() ? 1 : 0;
        return true;
    }
    if (value.GetType() != KT::Variant::TYPE_BUFFER &&
        (!textAllowed || value.GetType() != KT::Variant::TYPE_STRING))
    {
        return false;
    }
    std::size_t size = 0;
    const auto* bytes = static_cast<const unsigned char*>(value.GetConstPointer(size));
    if (bytes == nullptr || size < kRecordSize)
    {
        return false;
    }
    token = static_cast<std::int64_t>(KT::ReadLE(bytes, 8));
    state = static_cast<std::int32_t>(KT::ReadLE32(bytes + 8));
    return true;
}
