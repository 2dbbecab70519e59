#include "velquin/Common/CrossPlatform/SystemDeviceSources.h"

KT::RCPtr<LDeviceSources> LSystemDeviceSources::Create()
{
    return KT::RCPtr<LDeviceSources>(new LSystemDeviceSources());
}

void LSystemDeviceSources::ListAttachedDevices(KT::Array<KT::DeviceIdentifier>& identifiers)
{
    static_cast<void>(identifiers.Clear()); // emptying cannot fail
}

KT::RCPtr<LDeviceBase> LSystemDeviceSources::CreateLocalDevice(const KT::DeviceIdentifier&)
{
    return KT::RCPtr<LDeviceBase>();
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
