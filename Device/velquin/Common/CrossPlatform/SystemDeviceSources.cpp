#include "velquin/Common/CrossPlatform/SystemDeviceSources.h"

#include "velquin/Common/DeviceLocal.h"
#include "velquin/Common/MacLocalConnector.h"

KT::RCPtr<LDeviceSources> LSystemDeviceSources::Create()
{
    return KT::RCPtr<LDeviceSources>(new LSystemDeviceSources(LNetworkDeviceSearch::Create()));
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

LSystemDeviceSources::LSystemDeviceSources(const KT::RCPtr<LNetworkDeviceSearch>& networkSearch)
    : mNetworkSearch(networkSearch)
{
}

bool LSystemDeviceSources::FindNetworkDevices(IDeviceLists& lists, IDeviceLists::DeviceLocation location,
                                              const NetworkSearchRequest& request)
{
    return mNetworkSearch->FindNetworkDevices(lists, location, request);
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
