// LDnsSdDeviceDiscovery: the network search's discovery of announced devices
// (LDeviceDiscovery) over DNS-SD: it keeps one LNetworkDiscoveryClient that
// looks for the supported products and hands the search's questions to it.
// Made by LNetworkDeviceSearch at its first search and dropped when the
// manager releases everything; dropping the last reference stops the client.
//
// Threads: host threads, possibly at once; the client serialises what it keeps.
#pragma once

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "velquin/Common/CrossPlatform/DeviceDiscovery.h"
#include "velquin/Common/CrossPlatform/NetworkDiscovery/NetworkDiscoveryClient.h"

class LDnsSdDeviceDiscovery : public LDeviceDiscovery
{
public:
    // A discovery whose client looks for every supported product (their
    // product GUIDs as 32 upper-case hexadecimal digits); null when no client
    // could start.
    static KT::RCPtr<LDeviceDiscovery>
    Create(LNetworkDiscoveryClient::Backend backend = LNetworkDiscoveryClient::Backend::Automatic);
    // The filter of the supported products.
    static LNetworkDiscoveryClient::ProductFilter SupportedProducts();

    void GetDiscoveryList(KT::Array<KT::DeviceIdentifier>& identifiers) override;
    void UpdateDeviceInfo(const KT::DeviceIdentifier& identifier) override;
    void ReResolve(const KT::DeviceIdentifier& identifier) override;

    ~LDnsSdDeviceDiscovery() override = default;

private:
    explicit LDnsSdDeviceDiscovery(const KT::RCPtr<LNetworkDiscoveryClient>& client) : mClient(client) {}

    const KT::RCPtr<LNetworkDiscoveryClient> mClient;
};
