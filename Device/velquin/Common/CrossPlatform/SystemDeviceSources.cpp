#include "velquin/Common/CrossPlatform/SystemDeviceSources.h"

KT::RCPtr<LDeviceSources> LSystemDeviceSources::Create()
{
    return KT::RCPtr<LDeviceSources>(new LSystemDeviceSources(LNetworkDeviceSearch::Create()));
}

void LSystemDeviceSources::ListAttachedDevices(KT::Array<KT::DeviceIdentifier>& identifiers)
{
    static_cast<void>(identifiers.Clear()); // emptying cannot fail
}

KT::RCPtr<LDeviceBase> LSystemDeviceSources::CreateLocalDevice(const KT::DeviceIdentifier&)
{
    return KT::RCPtr<LDeviceBase>();
}

LSystemDeviceSources::LSystemDeviceSources(const KT::RCPtr<LNetworkDeviceSearch>& networkSearch)
    : mNetworkSearch(networkSearch)
{
}

void LSystemDeviceSources::FindNetworkDevices(LDeviceManager& manager,
                                              LDeviceManager::DeviceLocation location,
                                              const NetworkSearchRequest& request)
{
    mNetworkSearch->FindNetworkDevices(manager, location, request);
}

int LSystemDeviceSources::RefreshDeviceIdentifier(const KT::RCPtr<LDeviceBase>& device,
                                                  KT::DeviceIdentifier& identifier)
{
    return mNetworkSearch->RefreshDeviceIdentifier(device, identifier);
}

void LSystemDeviceSources::ReleaseNetworkSearch()
{
    mNetworkSearch->Release();
}
