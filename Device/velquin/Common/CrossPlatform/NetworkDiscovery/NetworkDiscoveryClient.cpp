#include "velquin/Common/CrossPlatform/NetworkDiscovery/NetworkDiscoveryClient.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "KTFramework/System/TimeUtils.h"
#include "KTFramework/Utilities/Storage/GUID.h"
#include "velquin/Common/CrossPlatform/NetworkDiscovery/DiscoveryTimeouts.h"

using Lock = KT::AutolockT<KT::Mutex>;
using KT::Platform::DnsResolvedService;
using KT::Platform::DnsService;
using KT::Platform::DnsServiceBrowser;

namespace
{

using String = KT::DeviceIdentifier::String;

// Lengths of the TXT values that carry fixed-size fields: a GUID is 32
// hexadecimal digits, a location six pairs with a separator between each two.
constexpr std::size_t kGuidTextLength = 32;
constexpr std::size_t kLocationTextLength = 17;
constexpr std::size_t kLocationBytes = 6;
constexpr std::size_t kIndexBytes = 2;

// The same browsed service: the same report of the browser.
bool IsSameService(const DnsService& a, const DnsService& b)
{
    return a.interfaceIndex == b.interfaceIndex && a.protocol == b.protocol && a.name == b.name &&
           a.type == b.type && a.domain == b.domain;
}

struct TxtValue
{
    const unsigned char* bytes;
    std::size_t length;
};

bool KeyIs(const unsigned char* key, std::size_t length, const char* name)
{
    return std::strlen(name) == length && std::memcmp(key, name, length) == 0;
}

unsigned char Digit(unsigned char c)
{
    return KT::GUIDText::HexDigitValue(static_cast<char>(c));
}

unsigned char Pair(const unsigned char* at)
{
    return static_cast<unsigned char>((Digit(at[0]) << 4) | Digit(at[1]));
}

String Text(const TxtValue& value)
{
    return String(std::string(reinterpret_cast<const char*>(value.bytes), value.length).c_str());
}

// The first 32 characters as 16 bytes, the first pair the first byte. False
// for a shorter value, which does not carry a GUID.
bool ReadGuid(const TxtValue& value, KT::DeviceIdentifier::GuidBytes& guid)
{
    if (value.length < kGuidTextLength)
    {
        return false;
    }
    for (std::size_t i = 0; i < sizeof(guid); ++i)
    {
        guid[i] = Pair(value.bytes + 2 * i);
    }
    return true;
}

// The last 17 characters, read pair by pair from the end in steps of three:
// the last pair is the most significant byte, the first the least.
bool ReadLocation(const TxtValue& value, unsigned long long& location)
{
    if (value.length < kLocationTextLength)
    {
        return false;
    }
    const unsigned char* window = value.bytes + value.length - kLocationTextLength;
    location = 0;
    for (std::size_t k = 0; k < kLocationBytes; ++k)
    {
        const std::size_t end = kLocationTextLength - 3 * k;
        location |= static_cast<unsigned long long>(Pair(window + end - 2)) << (8 * (kLocationBytes - 1 - k));
    }
    return true;
}

// At most two pairs from the end, each only while two characters remain: the
// last pair is the low byte.
unsigned short ReadIndex(const TxtValue& value)
{
    unsigned int index = 0;
    std::size_t remaining = value.length;
    for (std::size_t k = 0; k < kIndexBytes && remaining >= 2; ++k)
    {
        index |= static_cast<unsigned int>(Pair(value.bytes + remaining - 2)) << (8 * k);
        remaining -= 2;
    }
    return static_cast<unsigned short>(index);
}

} // namespace

// ---------------------------------------------------------------------------
// LDiscoveredDevice

KT::RCPtr<LNetworkDiscoveryClient::LDiscoveredDevice>
LNetworkDiscoveryClient::LDiscoveredDevice::Create(const DnsService& service)
{
    return KT::RCPtr<LDiscoveredDevice>(new LDiscoveredDevice(service));
}

bool LNetworkDiscoveryClient::LDiscoveredDevice::ResolveServiceCallback(const DnsResolvedService& resolved)
{
    if (resolved.txt.empty())
    {
        return false;
    }
    if (resolved.ipv4)
    {
        mIdentifier.SetCurrentNetworkPort(resolved.port);
        mIdentifier.SetCurrentNetworkAddress(ntohl(resolved.addressNetworkOrder));
    }
    ParseTXTRecords(static_cast<unsigned>(resolved.txt.size()), resolved.txt.data());
    return true;
}

void LNetworkDiscoveryClient::LDiscoveredDevice::ParseTXTRecords(unsigned length, const unsigned char* data)
{
    TxtValue vendor{nullptr, 0};
    TxtValue product{nullptr, 0};
    std::size_t position = 0;
    while (position < length)
    {
        const std::size_t entryLength = data[position++];
        if (entryLength == 0 || entryLength > length - position)
        {
            break;
        }
        const unsigned char* entry = data + position;
        position += entryLength;
        const auto* equals = static_cast<const unsigned char*>(std::memchr(entry, '=', entryLength));
        if (equals == nullptr)
        {
            continue;
        }
        const std::size_t keyLength = static_cast<std::size_t>(equals - entry);
        // The value is bounded by its entry, whatever a field would read.
        const TxtValue value{equals + 1, entryLength - keyLength - 1};
        KT::DeviceIdentifier::GuidBytes guid;
        unsigned long long location = 0;
        if (KeyIs(entry, keyLength, "device-name"))
        {
            mIdentifier.SetUserDefinedName(Text(value));
        }
        else if (KeyIs(entry, keyLength, "device-product-guid"))
        {
            if (ReadGuid(value, guid))
            {
                mIdentifier.SetProductGuid(guid);
            }
        }
        else if (KeyIs(entry, keyLength, "device-vendor-id"))
        {
            vendor = value;
        }
        else if (KeyIs(entry, keyLength, "device-product-id"))
        {
            product = value;
        }
        else if (KeyIs(entry, keyLength, "device-instance-guid"))
        {
            if (ReadGuid(value, guid))
            {
                mIdentifier.SetInstanceGuid(guid);
            }
        }
        else if (KeyIs(entry, keyLength, "device-instance-location"))
        {
            if (ReadLocation(value, location))
            {
                mIdentifier.SetInstanceLocationID(location);
            }
        }
        else if (KeyIs(entry, keyLength, "device-instance-index"))
        {
            mIdentifier.SetInstanceIndex(ReadIndex(value));
        }
    }
    if (vendor.length != 0)
    {
        mIdentifier.SetVendorName(Text(vendor));
    }
    if (product.length != 0)
    {
        mIdentifier.SetProductName(Text(product));
    }
}

// ---------------------------------------------------------------------------
// The engine the client shares with its thread

class LNetworkDiscoveryClient::Engine final : public KT::Platform::IDnsServiceBrowserClient
{
public:
    explicit Engine(const ProductFilter& productFilter) : mProductFilter(productFilter) {}
    // The browser's engine objects go before the lists they report to.
    ~Engine() { mBrowser.reset(); }

    // The browser's reports, on the client thread with the engine lock held.
    void ServiceAdded(const DnsService& service) override;
    void ServiceRemoved(const DnsService& service) override { DiscoveredDeviceRemoved(service); }
    void ServiceResolved(std::uint64_t resolveID, const DnsResolvedService& resolved) override;
    // A failed resolution is tried again later, while the service is browsed.
    void ResolveFailed(std::uint64_t resolveID) override;

    void GetDiscoveryList(KT::Array<KT::DeviceIdentifier>& out);
    bool UpdateDeviceInfo(const KT::DeviceIdentifier& identifier);
    void ReResolve(const KT::DeviceIdentifier& identifier);
    void Run();
    void Stop();

    const ProductFilter mProductFilter;
    std::atomic<bool> mStop{false};
    // Set before the thread starts, then never changed.
    std::unique_ptr<DnsServiceBrowser> mBrowser;

private:
    // Starts resolving the device at resolvingIndex.
    void StartResolve(std::size_t resolvingIndex) REQUIRES(mListMutex);
    // A resolution of the device at resolvingIndex has failed or could not
    // start: it is planned again after a pause that doubles with each failure,
    // from RESOLVE_RETRY_FIRST to RESOLVE_RETRY_MAX. A device whose service
    // is gone leaves the resolving list instead.
    void ResolutionEnded(std::size_t resolvingIndex) REQUIRES(mListMutex);
    // After each pass of the loop: starts the retries that are due.
    void StartDueRetries();
    void DiscoveredDeviceResolved(const KT::RCPtr<LDiscoveredDevice>& device, std::size_t resolvingIndex)
        REQUIRES(mListMutex);
    void DiscoveredDeviceRemoved(const DnsService& service);

    KT::Mutex mListMutex;
    DeviceList mDiscovered GUARDED_BY(mListMutex);
    DeviceList mResolving GUARDED_BY(mListMutex);
    // Some device in mResolving has a retry planned.
    bool mRetriesPlanned GUARDED_BY(mListMutex) = false;
};

// Called with the engine lock held (a report of the browser, a retry, or
// ReResolve).
void LNetworkDiscoveryClient::Engine::StartResolve(std::size_t resolvingIndex)
{
    DnsServiceBrowser& browser = *mBrowser;
    browser.AssertHeld();
    LDiscoveredDevice& device = *mResolving[resolvingIndex];
    device.SetResolveID(browser.Resolve(device.GetService()));
    if (device.GetResolveID() == 0)
    {
        // Could not start: tried again as a failed one is.
        ResolutionEnded(resolvingIndex);
    }
}

void LNetworkDiscoveryClient::Engine::ResolutionEnded(std::size_t resolvingIndex)
{
    LDiscoveredDevice& device = *mResolving[resolvingIndex];
    LDiscoveredDevice::RetryState& retry = device.GetRetryState();
    if (!retry.browsed)
    {
        KT::RCPtr<LDiscoveredDevice> removed;
        static_cast<void>(mResolving.RemoveItem(resolvingIndex, removed));
        return;
    }
    const std::uint64_t doubled = std::uint64_t{retry.pauseMs} * 2;
    const std::uint64_t pause = std::min<std::uint64_t>(
        retry.pauseMs == 0 ? DiscoveryTimeouts::Get(DiscoveryTimeoutList::RESOLVE_RETRY_FIRST) : doubled,
        DiscoveryTimeouts::Get(DiscoveryTimeoutList::RESOLVE_RETRY_MAX));
    retry.pauseMs = static_cast<std::uint32_t>(pause);
    retry.dueMs = KT::TimeUtils::GetMillisecondCounter() + static_cast<std::int64_t>(pause);
    retry.planned = true;
    mRetriesPlanned = true;
}

void LNetworkDiscoveryClient::Engine::StartDueRetries()
{
    Lock lock(mListMutex);
    if (!mRetriesPlanned)
    {
        return;
    }
    mRetriesPlanned = false;
    const std::int64_t now = KT::TimeUtils::GetMillisecondCounter();
    // A retry that cannot start is planned anew for a later pass: the scan
    // has gone past it.
    for (std::size_t i = static_cast<std::size_t>(mResolving.GetCount()); i-- > 0;)
    {
        LDiscoveredDevice::RetryState& retry = mResolving[i]->GetRetryState();
        if (!retry.planned)
        {
            continue;
        }
        if (now < retry.dueMs)
        {
            mRetriesPlanned = true;
            continue;
        }
        retry.planned = false;
        StartResolve(i);
    }
}

void LNetworkDiscoveryClient::Engine::ServiceAdded(const DnsService& service)
{
    KT::RCPtr<LDiscoveredDevice> device = LDiscoveredDevice::Create(service);
    Lock lock(mListMutex);
    static_cast<void>(mResolving.AppendItem(device));
    StartResolve(static_cast<std::size_t>(mResolving.GetCount()) - 1);
}

void LNetworkDiscoveryClient::Engine::ServiceResolved(std::uint64_t resolveID,
                                                      const DnsResolvedService& resolved)
{
    Lock lock(mListMutex);
    for (std::size_t i = static_cast<std::size_t>(mResolving.GetCount()); i-- > 0;)
    {
        const KT::RCPtr<LDiscoveredDevice> device = mResolving[i];
        if (device->GetResolveID() != resolveID)
        {
            continue;
        }
        device->SetResolveID(0);
        if (device->ResolveServiceCallback(resolved))
        {
            DiscoveredDeviceResolved(device, i);
        }
        return;
    }
}

void LNetworkDiscoveryClient::Engine::ResolveFailed(std::uint64_t resolveID)
{
    Lock lock(mListMutex);
    for (std::size_t i = static_cast<std::size_t>(mResolving.GetCount()); i-- > 0;)
    {
        if (mResolving[i]->GetResolveID() == resolveID)
        {
            mResolving[i]->SetResolveID(0);
            ResolutionEnded(i);
            return;
        }
    }
}

void LNetworkDiscoveryClient::Engine::DiscoveredDeviceResolved(const KT::RCPtr<LDiscoveredDevice>& device,
                                                               std::size_t resolvingIndex)
{
    KT::RCPtr<LDiscoveredDevice> removed;
    static_cast<void>(mResolving.RemoveItem(resolvingIndex, removed));
    const String productGuid = device->GetDiscoveredDeviceIdentifier().GetProductGuidString();
    if (mProductFilter.FindString(productGuid, true, 0) >= 0)
    {
        // No check for a duplicate: a service reported on two interfaces is
        // listed twice.
        static_cast<void>(mDiscovered.AppendItem(device));
    }
}

void LNetworkDiscoveryClient::Engine::DiscoveredDeviceRemoved(const DnsService& service)
{
    Lock lock(mListMutex);
    // A service still resolving is not tried again once it is gone; one whose
    // resolution is under way is listed if that resolution answers.
    for (std::size_t i = static_cast<std::size_t>(mResolving.GetCount()); i-- > 0;)
    {
        LDiscoveredDevice& device = *mResolving[i];
        if (!IsSameService(device.GetService(), service))
        {
            continue;
        }
        device.GetRetryState().browsed = false;
        device.GetRetryState().planned = false;
        if (device.GetResolveID() == 0)
        {
            KT::RCPtr<LDiscoveredDevice> removed;
            static_cast<void>(mResolving.RemoveItem(i, removed));
        }
    }
    for (std::size_t i = static_cast<std::size_t>(mDiscovered.GetCount()); i-- > 0;)
    {
        const LDiscoveredDevice& device = *mDiscovered[i];
        const bool present = !device.GetServiceName().empty() && !device.GetServiceType().empty() &&
                             !device.GetServiceDomain().empty();
        if (present && device.GetServiceName() == service.name && device.GetServiceType() == service.type &&
            device.GetServiceDomain() == service.domain)
        {
            KT::RCPtr<LDiscoveredDevice> removed;
            static_cast<void>(mDiscovered.RemoveItem(i, removed));
        }
    }
}

void LNetworkDiscoveryClient::Engine::GetDiscoveryList(KT::Array<KT::DeviceIdentifier>& out)
{
    static_cast<void>(out.SetCount(0));
    Lock lock(mListMutex);
    for (std::size_t i = 0; i < static_cast<std::size_t>(mDiscovered.GetCount()); ++i)
    {
        static_cast<void>(out.AppendItem(mDiscovered[i]->GetDiscoveredDeviceIdentifier()));
    }
}

bool LNetworkDiscoveryClient::Engine::UpdateDeviceInfo(const KT::DeviceIdentifier& identifier)
{
    Lock lock(mListMutex);
    for (std::size_t i = 0; i < static_cast<std::size_t>(mDiscovered.GetCount()); ++i)
    {
        if (mDiscovered[i]->IsDeviceIDEqual(identifier))
        {
            mDiscovered[i]->SetDeviceIdentifier(identifier);
            return true;
        }
    }
    return false;
}

void LNetworkDiscoveryClient::Engine::ReResolve(const KT::DeviceIdentifier& identifier)
{
    DnsServiceBrowser& browser = *mBrowser;
    {
        KT::AutolockT<DnsServiceBrowser> engineLock(browser);
        Lock lock(mListMutex);
        // The scan goes on at the next index after a move, so the device that
        // moved up into the freed place is not looked at.
        for (std::size_t i = 0; i < static_cast<std::size_t>(mDiscovered.GetCount()); ++i)
        {
            const KT::RCPtr<LDiscoveredDevice> device = mDiscovered[i];
            const KT::DeviceIdentifier known = device->GetDiscoveredDeviceIdentifier();
            if (!known.IsDeviceIDEqual(identifier) ||
                known.GetCurrentNetworkAddress() != identifier.GetCurrentNetworkAddress() ||
                known.GetCurrentNetworkPort() != identifier.GetCurrentNetworkPort())
            {
                continue;
            }
            KT::RCPtr<LDiscoveredDevice> moved;
            static_cast<void>(mDiscovered.RemoveItem(i, moved));
            moved->GetRetryState() = LDiscoveredDevice::RetryState();
            static_cast<void>(mResolving.AppendItem(moved));
            StartResolve(static_cast<std::size_t>(mResolving.GetCount()) - 1);
        }
    }
    browser.Wake();
}

void LNetworkDiscoveryClient::Engine::Run()
{
    DnsServiceBrowser& browser = *mBrowser;
    KT::AutolockT<DnsServiceBrowser> engineLock(browser);
    while (!mStop.load())
    {
        browser.RunOnce();
        StartDueRetries();
    }
}

void LNetworkDiscoveryClient::Engine::Stop()
{
    mStop.store(true);
    if (mBrowser)
    {
        mBrowser->Wake();
    }
}

// ---------------------------------------------------------------------------
// LNetworkDiscoveryClient

LNetworkDiscoveryClient::LNetworkDiscoveryClient(const ProductFilter& productFilter)
    : mEngine(std::make_shared<Engine>(productFilter)), mThreadEngine(new std::shared_ptr<Engine>(mEngine)),
      // The destructor waits CLIENT_STOP itself; the thread object then lets
      // a thread still running go at once.
      mThread(&LNetworkDiscoveryClient::DiscoveryClientThreadWorker, mThreadEngine, 0)
{
}

LNetworkDiscoveryClient::~LNetworkDiscoveryClient()
{
    mEngine->Stop();
    if (mThreadStarted)
    {
        static_cast<void>(mThread.WaitForDeath(DiscoveryTimeouts::Get(DiscoveryTimeoutList::CLIENT_STOP)));
    }
    else
    {
        delete mThreadEngine;
    }
}

KT::RCPtr<LNetworkDiscoveryClient> LNetworkDiscoveryClient::Create(const ProductFilter& productFilter,
                                                                   Backend backend)
{
    return Start(KT::RCPtr<LNetworkDiscoveryClient>(new LNetworkDiscoveryClient(productFilter)), backend);
}

KT::RCPtr<LNetworkDiscoveryClient> LNetworkDiscoveryClient::Create(const ProductFilter& productFilter,
                                                                   std::unique_ptr<DnsServiceBrowser> browser)
{
    if (!browser)
    {
        return KT::RCPtr<LNetworkDiscoveryClient>();
    }
    KT::RCPtr<LNetworkDiscoveryClient> client(new LNetworkDiscoveryClient(productFilter));
    client->mEngine->mBrowser = std::move(browser);
    return Start(client, Backend::Automatic);
}

KT::RCPtr<LNetworkDiscoveryClient> LNetworkDiscoveryClient::Start(KT::RCPtr<LNetworkDiscoveryClient> client,
                                                                  Backend backend)
{
    if (client->StartDiscoveryClient(backend) != KT::RESULT_OK)
    {
        return KT::RCPtr<LNetworkDiscoveryClient>();
    }
    if (!client->mThread.Execute())
    {
        return KT::RCPtr<LNetworkDiscoveryClient>();
    }
    client->mThreadStarted = true;
    return client;
}

int LNetworkDiscoveryClient::StartDiscoveryClient(Backend backend)
{
    Engine& engine = *mEngine;
    if (!engine.mBrowser)
    {
        if (backend != Backend::Embedded)
        {
            engine.mBrowser = DnsServiceBrowser::Create(DnsServiceBrowser::Backend::System);
        }
        if (!engine.mBrowser && backend != Backend::System)
        {
            engine.mBrowser = DnsServiceBrowser::Create(DnsServiceBrowser::Backend::Embedded);
        }
        if (!engine.mBrowser)
        {
            return KT::RESULT_FAILED;
        }
    }
    DnsServiceBrowser& browser = *engine.mBrowser;
    KT::AutolockT<DnsServiceBrowser> engineLock(browser);
    return browser.Browse(kServiceType, engine) ? KT::RESULT_OK : KT::RESULT_FAILED;
}

void* LNetworkDiscoveryClient::DiscoveryClientThreadWorker(void* argument)
{
    if (argument == nullptr)
    {
        return nullptr;
    }
    std::shared_ptr<Engine> engine;
    {
        std::unique_ptr<std::shared_ptr<Engine>> handed(static_cast<std::shared_ptr<Engine>*>(argument));
        engine.swap(*handed);
    }
    engine->Run();
    // The last of the client and this thread to let go frees the engine.
    return reinterpret_cast<void*>(1);
}

void LNetworkDiscoveryClient::GetDiscoveryList(KT::Array<KT::DeviceIdentifier>& out)
{
    mEngine->GetDiscoveryList(out);
}

bool LNetworkDiscoveryClient::UpdateDeviceInfo(const KT::DeviceIdentifier& identifier)
{
    return mEngine->UpdateDeviceInfo(identifier);
}

void LNetworkDiscoveryClient::ReResolve(const KT::DeviceIdentifier& identifier)
{
    mEngine->ReResolve(identifier);
}
