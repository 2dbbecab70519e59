// IDeviceLists: what the device manager lets a network search do to its two
// device lists. The manager alone changes them, so that one class keeps each
// list unique by device ID, sorted after every search and its revision raised;
// a search reads copies and asks for devices to be added or taken out.
// LDeviceManager implements it and hands itself to its sources for each
// search (LDeviceSources::FindNetworkDevices).
//
// Threads: any host thread. Each operation takes the list's lock for itself
// alone and calls nothing of a device but its identity accessors; none may be
// called with a list lock held.
#pragma once

#include <cstdint>
#include <vector>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/Variant.h"
#include "velquin/Common/CrossPlatform/DeviceBase.h"

class IDeviceLists
{
public:
    // Which list: the attached devices (local) or the devices on the network
    // (remote).
    enum DeviceLocation : std::uint32_t
    {
        DEVICE_LOCATION_LOCAL = 0,
        DEVICE_LOCATION_REMOTE = 1,
    };
    using Devices = std::vector<KT::RCPtr<LDeviceBase>>;

    // The devices of the list, in list order. A copy for reading: the devices
    // may be asked and told anything, which changes no list.
    virtual Devices CopyDevices(DeviceLocation location) = 0;
    // Whether the list holds a device whose current IPv4 address and port are
    // these.
    virtual bool HoldsDeviceAt(DeviceLocation location, std::uint32_t address, std::uint32_t port) = 0;
    // Appends, in order, each device whose device ID the list does not hold
    // yet; whether any was added.
    virtual bool AddDevices(DeviceLocation location, const Devices& devices) = 0;
    // Takes every device whose device ID is one of deviceIDs out of the list;
    // whether any was. What leaves the list is released after its lock, and
    // disconnecting it is the caller's.
    virtual bool RemoveDevices(DeviceLocation location, const std::vector<KT::Variant>& deviceIDs) = 0;

    virtual ~IDeviceLists() = default;
};
