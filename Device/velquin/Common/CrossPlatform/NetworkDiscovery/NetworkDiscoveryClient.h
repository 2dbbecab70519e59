// LNetworkDiscoveryClient: finds devices on the local network by DNS-SD. It
// browses for the service type "_korvane-device._tcp." in the default domain,
// resolves every service reported (a failed resolution again after a pause,
// for as long as the service is browsed), reads the service's IPv4 address,
// port and TXT record into a KT::DeviceIdentifier and keeps the services whose
// product GUID is in its product filter. The device manager's network search
// creates one, reads the list of discovered identifiers, writes refreshed
// identifiers back and asks for a service to be resolved again when its device
// no longer answers. Held by RCPtr; the manager's references are its only
// ones.
//
// Threads:
// - The client thread (a KT::Thread) runs the browser's event loop; the
//   browser's reports (services added and removed, resolutions) run there with
//   the browser's lock (the engine lock) held, and so do the retries of failed
//   resolutions, which it starts when due after each pass of the loop.
// - Host threads: GetDiscoveryList, UpdateDeviceInfo, ReResolve.
// Locks, in order: the engine lock, then the list mutex, which guards both
// lists and the identifiers of the devices in them. ReResolve takes both;
// GetDiscoveryList and UpdateDeviceInfo the list mutex alone.
// Ownership: the browser, the lists and the stop flag live in an engine object
// that the client and its thread share, so a thread that outlives the
// destructor's wait (CLIENT_STOP, 1000 ms) keeps everything it still uses and
// frees it when it ends; the browser's engine objects go before the lists
// they report to. The thread never holds a reference to the client itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "DeviceControl/CommonInc/DeviceIdentifier.h"
#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/Iterable.h"
#include "KTFramework/Utilities/Storage/RCPtrArray.h"
#include "KTFramework/Utilities/Storage/StringArrayT.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "KTFramework/Utilities/Threading/Thread.h"
#include "Platform/DnsServiceBrowser.h"
#include "Platform/ThreadAnnotations.h"

class LNetworkDiscoveryClient : public KT::LRefCountedObject
{
public:
    class LDiscoveredDevice;
    using DeviceList = KT::RCPtrArray<LDiscoveredDevice, 1, 0>;
    using ProductFilter = KT::StringArrayT<char, unsigned short>;

    // The DNS-SD service type of the devices.
    static constexpr const char* kServiceType = "_korvane-device._tcp.";

    enum class Backend
    {
        // The system's mDNS daemon when one answers, else an engine of its own.
        Automatic,
        System,
        Embedded,
    };

    // A running client that keeps the services whose product GUID text (32
    // upper-case hexadecimal digits) is one of productFilter's. Null when no
    // browser could be had or started.
    static KT::RCPtr<LNetworkDiscoveryClient> Create(const ProductFilter& productFilter,
                                                     Backend backend = Backend::Automatic);
    // The same on a browser made elsewhere (tests give a fake).
    static KT::RCPtr<LNetworkDiscoveryClient>
    Create(const ProductFilter& productFilter, std::unique_ptr<KT::Platform::DnsServiceBrowser> browser);

    // out := the identifiers of all discovered devices, in the order they were
    // resolved.
    void GetDiscoveryList(KT::Array<KT::DeviceIdentifier>& out);
    // The first discovered device with identifier's device ID takes a copy of
    // it; false when there is none.
    bool UpdateDeviceInfo(const KT::DeviceIdentifier& identifier);
    // Every discovered device with identifier's device ID, address and port
    // leaves the list and is resolved again.
    void ReResolve(const KT::DeviceIdentifier& identifier);

    // Stops the thread (waiting at most CLIENT_STOP) and lets go of the engine.
    ~LNetworkDiscoveryClient() override;

    // The thread routine; argument is the engine the thread shares. Returns 1.
    static void* DiscoveryClientThreadWorker(void* argument);

private:
    class Engine;

    explicit LNetworkDiscoveryClient(const ProductFilter& productFilter);

    // Makes the browser for backend (unless one was given) and starts
    // browsing: 0, or KT::RESULT_FAILED.
    [[nodiscard]] int StartDiscoveryClient(Backend backend);
    static KT::RCPtr<LNetworkDiscoveryClient> Start(KT::RCPtr<LNetworkDiscoveryClient> client,
                                                    Backend backend);

    std::shared_ptr<Engine> mEngine;
    // The thread's own reference to the engine until the thread takes it over;
    // freed here when the thread never starts.
    std::shared_ptr<Engine>* mThreadEngine;
    bool mThreadStarted = false;
    KT::Thread mThread;
};

// One browsed service with the identifier built from it. Its identifier is
// guarded by its client's list mutex, its resolution number and retry state by
// the engine lock.
class LNetworkDiscoveryClient::LDiscoveredDevice : public virtual KT::LRefCountedObject
{
public:
    static KT::RCPtr<LDiscoveredDevice> Create(const KT::Platform::DnsService& service);

    KT::DeviceIdentifier GetDiscoveredDeviceIdentifier() const { return mIdentifier; }
    bool IsDeviceIDEqual(const KT::Variant& deviceID) const { return mIdentifier.IsDeviceIDEqual(deviceID); }
    void SetDeviceIdentifier(const KT::DeviceIdentifier& identifier) { mIdentifier = identifier; }
    const KT::Platform::DnsService& GetService() const { return mService; }
    const std::string& GetServiceName() const { return mService.name; }
    const std::string& GetServiceType() const { return mService.type; }
    const std::string& GetServiceDomain() const { return mService.domain; }

    // The resolution under way (0: none).
    std::uint64_t GetResolveID() const { return mResolveID; }
    void SetResolveID(std::uint64_t resolveID) { mResolveID = resolveID; }

    // How a resolution that failed is tried again.
    struct RetryState
    {
        // Its service has not been reported gone.
        bool browsed = true;
        bool planned = false;
        // When the planned retry is due, on KT::TimeUtils's millisecond counter.
        std::int64_t dueMs = 0;
        // The pause before the latest retry planned; 0 before the first.
        std::uint32_t pauseMs = 0;
    };
    RetryState& GetRetryState() { return mRetry; }

    // Takes what resolving found: an IPv4 address and its port, then the TXT
    // record. False (and nothing taken) without TXT data.
    bool ResolveServiceCallback(const KT::Platform::DnsResolvedService& resolved);
    // Reads a TXT record in its wire form into the identifier. Never fails:
    // cut-off or zero-length entries end it, other bad entries are skipped.
    void ParseTXTRecords(unsigned length, const unsigned char* data);

    ~LDiscoveredDevice() override = default;

private:
    explicit LDiscoveredDevice(const KT::Platform::DnsService& service) : mService(service) {}

    KT::DeviceIdentifier mIdentifier;
    KT::Platform::DnsService mService;
    std::uint64_t mResolveID = 0;
    RetryState mRetry;
};
