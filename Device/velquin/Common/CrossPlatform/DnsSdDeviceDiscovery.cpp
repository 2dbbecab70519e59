#include "velquin/Common/CrossPlatform/DnsSdDeviceDiscovery.h"

#include "KTFramework/Utilities/Storage/GUID.h"
#include "velquin/Common/CrossPlatform/DeviceBase.h"

LNetworkDiscoveryClient::ProductFilter LDnsSdDeviceDiscovery::SupportedProducts()
{
    LNetworkDiscoveryClient::ProductFilter filter;
    for (std::size_t i = 0; i < SUPPORTED_HARDWARE_COUNT; ++i)
    {
        unsigned char guid[16];
        VidPidToProductGuid(GetSupportedVid(i), GetSupportedPid(i), guid);
        static_cast<void>(filter.AppendItem(KT::DeviceIdentifier::String(UUIDToSTLString(guid).c_str())));
    }
    return filter;
}

KT::RCPtr<LDeviceDiscovery> LDnsSdDeviceDiscovery::Create(LNetworkDiscoveryClient::Backend backend)
{
    KT::RCPtr<LNetworkDiscoveryClient> client = LNetworkDiscoveryClient::Create(SupportedProducts(), backend);
    if (!client)
    {
        return KT::RCPtr<LDeviceDiscovery>();
    }
    return KT::RCPtr<LDeviceDiscovery>(new LDnsSdDeviceDiscovery(client));
}

void LDnsSdDeviceDiscovery::GetDiscoveryList(KT::Array<KT::DeviceIdentifier>& identifiers)
{
    mClient->GetDiscoveryList(identifiers);
}

void LDnsSdDeviceDiscovery::UpdateDeviceInfo(const KT::DeviceIdentifier& identifier)
{
    // False when the device is no longer listed (withdrawn, or being resolved
    // again): nothing to update then.
    static_cast<void>(mClient->UpdateDeviceInfo(identifier));
}

void LDnsSdDeviceDiscovery::ReResolve(const KT::DeviceIdentifier& identifier)
{
    mClient->ReResolve(identifier);
}
