// LNetworkDeviceSearch: the network search of the library's device sources.
// It probes the IPv4 addresses the host gives (a TCP reachability check, then
// the identify exchange through LDeviceIdentifiersRetriever), merges what it
// finds with what discovery of announced devices reports (LDeviceDiscovery,
// when there is one) into the manager's device list, which it reads and edits
// only through IDeviceLists, optionally has every listed device identify
// itself again, and tells the manager whether the list changed. It also runs
// the identity refresh of QVRX_GetDeviceInfo. Made by the sources, held by
// RCPtr for their life.
//
// Threads: host threads. FindNetworkDevices runs with the manager's search
// lock held (one search at a time) inside a DeferredDeviceWork scope that the
// manager opens; RefreshDeviceIdentifier and Release may run meanwhile.
// mClientLock guards the discovery client pointer, copied out before each use
// and never held while it is called. No list lock is held while a device is
// asked or told anything.
#pragma once

#include <cstdint>

#include "DeviceControl/CommonInc/DeviceIdentifier.h"
#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/Array.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "Platform/ThreadAnnotations.h"
#include "velquin/Common/CrossPlatform/DeviceBase.h"
#include "velquin/Common/CrossPlatform/DeviceDiscovery.h"
#include "velquin/Common/CrossPlatform/DeviceLists.h"
#include "velquin/Common/CrossPlatform/DeviceSources.h"

class LNetworkDeviceSearch : public virtual KT::LRefCountedObject
{
public:
    // Probing of given addresses without a port: the protocol's default port
    // and the three after it.
    static constexpr std::uint32_t kDefaultFirstPort = 51000;
    static constexpr std::uint32_t kDefaultPortCount = 4;
    static constexpr std::uint32_t kLastPort = 65535;
    // The idle time within which the search takes a device as connected
    // without checking.
    static constexpr std::uint32_t kConnectedIdleMs = 500;

    static KT::RCPtr<LNetworkDeviceSearch> Create();

    // One search into the list of location (LDeviceSources::FindNetworkDevices):
    // whether the list or a listed device's identity changed.
    bool FindNetworkDevices(IDeviceLists& lists, IDeviceLists::DeviceLocation location,
                            const NetworkSearchRequest& request);
    // Probes each address on ports firstPort to firstPort + portCount - 1 (not
    // past 65535), skipping the rest of an address once a listed device is
    // found at one of its ports; found receives the identifiers of the devices
    // that answered. At most maxDevices over all addresses together. True when
    // any was found.
    bool FindRemoteDevicesByIP(IDeviceLists& lists, KT::Array<KT::DeviceIdentifier>& found,
                               const KT::Array<std::uint32_t>& addresses, std::uint32_t maxDevices,
                               std::uint32_t portCount, std::uint32_t firstPort);
    // LDeviceSources::RefreshDeviceIdentifier.
    int RefreshDeviceIdentifier(const KT::RCPtr<LDeviceBase>& device, KT::DeviceIdentifier& identifier);
    // Drops the discovery client; the next search makes a new one.
    void Release();

    ~LNetworkDeviceSearch() override = default;

protected:
    LNetworkDeviceSearch() = default;

    // The discovery of announced devices (DNS-SD, LDnsSdDeviceDiscovery),
    // made at the first search after Create or Release; null when none could
    // start, and the search then merges probed devices only (the next search
    // tries again).
    virtual KT::RCPtr<LDeviceDiscovery> CreateNetworkDiscoveryClient();

private:
    KT::RCPtr<LDeviceDiscovery> GetClient();
    // The discovered devices at this computer's own addresses (location 0) or
    // at any other (location 1); empty without a client.
    static void GetDiscoveredNetworkDevices(const KT::RCPtr<LDeviceDiscovery>& client,
                                            IDeviceLists::DeviceLocation location,
                                            KT::Array<KT::DeviceIdentifier>& discovered);
    // Has each listed network device identify itself again; those that fail
    // are disconnected and dropped. Whether the list changed.
    bool VerifyDevices(IDeviceLists& lists, IDeviceLists::DeviceLocation location,
                       const KT::RCPtr<LDeviceDiscovery>& client);

    KT::FastMutex mClientLock;
    KT::RCPtr<LDeviceDiscovery> mClient GUARDED_BY(mClientLock);
};
