// LSystemDeviceSources: the sources of the library's own device manager, made
// at load. Attached devices come from the device helper (the process's
// LMacLocalConnector lists them, an LDeviceLocal stands for each); network
// devices from its LNetworkDeviceSearch, which also runs the identity refresh.
// Any thread may call it: the search object, fixed at creation, guards its own
// state.
#pragma once

#include "velquin/Common/CrossPlatform/DeviceSources.h"
#include "velquin/Common/CrossPlatform/NetworkDeviceSearch.h"

class LSystemDeviceSources : public LDeviceSources
{
public:
    static KT::RCPtr<LDeviceSources> Create();

    void ListAttachedDevices(KT::Array<KT::DeviceIdentifier>& identifiers) override;
    KT::RCPtr<LDeviceBase> CreateLocalDevice(const KT::DeviceIdentifier& identifier) override;
    bool FindNetworkDevices(IDeviceLists& lists, IDeviceLists::DeviceLocation location,
                            const NetworkSearchRequest& request) override;
    int RefreshDeviceIdentifier(const KT::RCPtr<LDeviceBase>& device,
                                KT::DeviceIdentifier& identifier) override;
    void ReleaseNetworkSearch() override;

    ~LSystemDeviceSources() override = default;

private:
    explicit LSystemDeviceSources(const KT::RCPtr<LNetworkDeviceSearch>& networkSearch);

    const KT::RCPtr<LNetworkDeviceSearch> mNetworkSearch;
};
