// LDeviceDiscovery: what the network search asks of the discovery of devices
// that announce themselves on the network: the list of those found so far,
// and two ways to correct it, a fresh identifier learnt by asking the device
// and a device that no longer answers, to be looked up again. The network
// search makes one through LNetworkDeviceSearch::CreateNetworkDiscoveryClient
// at its first search and drops it when the manager releases everything.
//
// Threads: the search and the identity refresh call it from host threads,
// possibly at once; an implementation serialises what it keeps.
#pragma once

#include "DeviceControl/CommonInc/DeviceIdentifier.h"
#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/Array.h"

class LDeviceDiscovery : public virtual KT::LRefCountedObject
{
public:
    // The identifiers of the devices found so far, address and port included.
    virtual void GetDiscoveryList(KT::Array<KT::DeviceIdentifier>& identifiers) = 0;
    // The device of identifier's device ID now has identifier.
    virtual void UpdateDeviceInfo(const KT::DeviceIdentifier& identifier) = 0;
    // The device did not answer at identifier: look it up again.
    virtual void ReResolve(const KT::DeviceIdentifier& identifier) = 0;

    ~LDeviceDiscovery() override = default;
};
