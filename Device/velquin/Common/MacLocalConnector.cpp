#include "velquin/Common/MacLocalConnector.h"

#include "Platform/Command.h"
#include "Platform/PropertyList.h"
#include "Platform/Ticks.h"

using namespace MacLocalProtocol;
using KT::Platform::PortStatus;

namespace
{

// The instance pointer and its lock are never destroyed: an attached device
// released at exit may still fetch the connector.
struct Instance
{
    std::mutex Lock;
    KT::RCPtr<LMacLocalConnector> Connector; // guarded by Lock
};

Instance& TheInstance()
{
    static Instance* instance = new Instance;
    return *instance;
}

std::atomic<int> sLaunchWaiters{0};

} // namespace

LMacLocalConnector::LMacLocalConnector() : mPortName(kHelperPortName) {}

LMacLocalConnector::~LMacLocalConnector() = default;

void LMacLocalConnector::Create()
{
    KT::RCPtr<LMacLocalConnector> connector;
    {
        Instance& instance = TheInstance();
        std::lock_guard<std::mutex> guard(instance.Lock);
        if (!instance.Connector)
        {
            instance.Connector = new LMacLocalConnector;
        }
        connector = instance.Connector;
    }
    connector->EnsurePort();
}

KT::RCPtr<LMacLocalConnector> LMacLocalConnector::GetTheMacLocalConnector()
{
    Create();
    Instance& instance = TheInstance();
    std::lock_guard<std::mutex> guard(instance.Lock);
    return instance.Connector;
}

void LMacLocalConnector::Release()
{
    KT::RCPtr<LMacLocalConnector> dropped;
    {
        Instance& instance = TheInstance();
        std::lock_guard<std::mutex> guard(instance.Lock);
        dropped = instance.Connector;
        instance.Connector.SetNull();
    }
}

void LMacLocalConnector::EnsurePort()
{
    if (MessagePortValid())
    {
        return;
    }
    std::unique_lock<std::mutex> guard(mLaunchLock);
    if (mLaunching)
    {
        // Another caller is starting the helper: share its attempt.
        const std::uint64_t attempt = mLaunchesEnded;
        sLaunchWaiters.fetch_add(1);
        mLaunchEnded.wait(guard, [&] { return mLaunchesEnded != attempt; });
        sLaunchWaiters.fetch_sub(1);
        return;
    }
    mLaunching = true;
    guard.unlock();
    // The previous attempt may have brought the port up meanwhile.
    if (!MessagePortValid())
    {
        LaunchAndWait();
    }
    guard.lock();
    mLaunching = false;
    ++mLaunchesEnded;
    guard.unlock();
    mLaunchEnded.notify_all();
}

void LMacLocalConnector::LaunchAndWait()
{
    const int loaded = KT::Platform::RunCommand(std::string("launchctl load -F ") + kLaunchAgentPlist);
    const int started = KT::Platform::RunCommand(std::string("launchctl start ") + kLaunchAgentLabel);
    if (MessagePortValid())
    {
        return;
    }
    if (loaded == KT::Platform::kCommandNotFound && started == KT::Platform::kCommandNotFound)
    {
        return; // no launchctl: nothing will bring the port up
    }
    const std::uint32_t deadline = KT::Platform::TickCount() + kStartupWaitTicks;
    std::uint32_t now = 0;
    do
    {
        KT::Platform::Delay(1, &now);
        if (MessagePortValid())
        {
            return;
        }
    } while (static_cast<std::int32_t>(deadline - now) > 0);
}

std::shared_ptr<KT::Platform::IRemoteMessagePort> LMacLocalConnector::CurrentPort()
{
    KT::AutolockT<KT::FastMutex> guard(mPortLock);
    if (!mPort)
    {
        mPort = KT::Platform::LookUpMessagePort(mPortName);
    }
    return mPort;
}

bool LMacLocalConnector::MessagePortValid()
{
    return CurrentPort() != nullptr;
}

int LMacLocalConnector::SendMessageToServer(std::int32_t messageId, const Bytes* request,
                                            std::optional<Bytes>* reply)
{
    if (reply != nullptr)
    {
        reply->reset();
    }
    const std::shared_ptr<KT::Platform::IRemoteMessagePort> port = CurrentPort();
    if (!port)
    {
        return -1;
    }
    const std::uint32_t replyTimeoutMs = MacLocalTimeouts::Get(
        mHasSuccessfullySentMessage.load() ? MacLocalTimeoutList::REPLY : MacLocalTimeoutList::FIRST_REPLY);
    const PortStatus status = port->SendRequest(
        messageId, request, MacLocalTimeouts::Get(MacLocalTimeoutList::SEND), replyTimeoutMs, reply);
    if (status == PortStatus::Success)
    {
        mHasSuccessfullySentMessage.store(true);
        return 0;
    }
    if (status == PortStatus::IsInvalid)
    {
        KT::AutolockT<KT::FastMutex> guard(mPortLock);
        if (mPort == port)
        {
            mPort.reset();
        }
    }
    return -1;
}

int LMacLocalConnector::FindDevices(KT::Array<KT::DeviceIdentifier>& devices)
{
    KT::AutolockT<KT::Mutex> lock(mFindMutex);
    static_cast<void>(devices.SetCount(0)); // emptying cannot fail
    std::optional<Bytes> reply;
    if (SendMessageToServer(LocalRequestGetDeviceList, nullptr, &reply) != 0)
    {
        return -1;
    }
    if (reply)
    {
        ReadDeviceList(*reply, devices);
    }
    return 0;
}

void LMacLocalConnector::ReadDeviceList(const Bytes& reply, KT::Array<KT::DeviceIdentifier>& devices)
{
    static_cast<void>(devices.SetCount(0)); // emptying cannot fail
    const KT::Platform::Plist list = KT::Platform::Plist::FromBytes(reply);
    const std::size_t count = list.GetRoot().GetArraySize(); // 0 unless the root is an array
    Bytes record;
    for (std::size_t i = 0; i < count; ++i)
    {
        KT::Variant pair;
        KT::Variant deviceID;
        KT::Variant name;
        if (!list.GetRoot().GetArrayItem(i).GetData(record) ||
            KT::Variant::Deserialize(pair, record.data(), record.size()) != 0 ||
            pair.GetType() != KT::Variant::TYPE_ARRAY || pair.GetArrayLength() != 2 ||
            pair.GetArrayElement(0, deviceID) != 0 || pair.GetArrayElement(1, name) != 0)
        {
            continue;
        }
        KT::DeviceIdentifier identifier(deviceID);
        if (!identifier.IsDeviceIDEqual(deviceID))
        {
            continue; // not a device ID: the identifier fell back to all zeros
        }
        if (name.GetType() == KT::Variant::TYPE_STRING)
        {
            identifier.SetUserDefinedName(KT::DeviceIdentifier::String(name.GetCStr()));
        }
        (void)devices.AppendItem(identifier);
    }
}

int LMacLocalConnector::GetLaunchWaitersForTesting()
{
    return sLaunchWaiters.load();
}
