// LSystemDeviceSources: the sources of the library's own device manager, made
// at load. Attached devices come from the device helper (the process's
// LMacLocalConnector lists them, LDeviceLocal stands for each); network
// devices from the network search, which until it is built in finds nothing
// and answers a refresh with RESULT_NOT_A_NETWORK_DEVICE. Keeps no state, so
// any thread may call it.
#pragma once

#include "velquin/Common/CrossPlatform/DeviceSources.h"

class LSystemDeviceSources : public LDeviceSources
{
public:
    static KT::RCPtr<LDeviceSources> Create();

    void ListAttachedDevices(KT::Array<KT::DeviceIdentifier>& identifiers) override;
    KT::RCPtr<LDeviceBase> CreateLocalDevice(const KT::DeviceIdentifier& identifier) override;
    void FindNetworkDevices(LDeviceManager& manager, LDeviceManager::DeviceLocation location,
                            const NetworkSearchRequest& request) override;
    int RefreshDeviceIdentifier(const KT::RCPtr<LDeviceBase>& device,
                                KT::DeviceIdentifier& identifier) override;
    void ReleaseNetworkSearch() override;

    ~LSystemDeviceSources() override = default;

private:
    LSystemDeviceSources() = default;
};
