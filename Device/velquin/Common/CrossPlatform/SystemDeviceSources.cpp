#include "velquin/Common/CrossPlatform/SystemDeviceSources.h"

#include "velquin/Common/DeviceLocal.h"
#include "velquin/Common/MacLocalConnector.h"

KT::RCPtr<LDeviceSources> LSystemDeviceSources::Create()
{
    return KT::RCPtr<LDeviceSources>(new LSystemDeviceSources());
}

void LSystemDeviceSources::ListAttachedDevices(KT::Array<KT::DeviceIdentifier>& identifiers)
{
    // A helper that cannot list its devices leaves the list empty; the manager
    // then keeps only its connected devices.
    static_cast<void>(LMacLocalConnector::GetTheMacLocalConnector()->FindDevices(identifiers));
}

KT::RCPtr<LDeviceBase> LSystemDeviceSources::CreateLocalDevice(const KT::DeviceIdentifier& identifier)
{
    return LDeviceLocal::Create(identifier);
}

void LSystemDeviceSources::FindNetworkDevices(LDeviceManager&, LDeviceManager::DeviceLocation,
                                              const NetworkSearchRequest&)
{
}

int LSystemDeviceSources::RefreshDeviceIdentifier(const KT::RCPtr<LDeviceBase>&, KT::DeviceIdentifier&)
{
    return RESULT_NOT_A_NETWORK_DEVICE;
}

void LSystemDeviceSources::ReleaseNetworkSearch() {}
