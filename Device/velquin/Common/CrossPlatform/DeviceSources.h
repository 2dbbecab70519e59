// LDeviceSources: what the device manager learns from outside itself, in one
// object handed to LDeviceManager::Create. The attached-device work fills the
// first pair (the device helper's list and the attached-device factory), the
// network-device work the rest (the network search and the identity refresh).
// LSystemDeviceSources is the library's own; tests give the manager fakes.
// Held by RCPtr by the manager for its whole life.
//
// Threads: every operation is called on a host thread, possibly on several at
// once; which manager locks are held is said at each operation. None is ever
// called with a list lock held.
#pragma once

#include <cstdint>

#include "DeviceControl/CommonInc/DeviceIdentifier.h"
#include "KTFramework/Defs/Result.h"
#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/Array.h"
#include "velquin/Common/CrossPlatform/DeviceBase.h"
#include "velquin/Common/CrossPlatform/DeviceLists.h"

// The arguments of one network search, as the host gave them to
// QVRX_FindRemoteDevices.
struct NetworkSearchRequest
{
    // Identify every listed network device again, dropping those that fail.
    bool verify;
    // IPv4 addresses to probe, in host byte order; null for none.
    const std::uint32_t* addresses;
    std::uint32_t addressCount;
    std::uint32_t maxDevices;
    std::uint32_t portCount;
    std::uint32_t firstPort;
};

// RefreshDeviceIdentifier's answer for a device that cannot identify itself
// over the network.
constexpr int RESULT_NOT_A_NETWORK_DEVICE = KT::RESULT_INVALID_ARGUMENT;

class LDeviceSources : public virtual KT::LRefCountedObject
{
public:
    // --- Attached devices

    // Fills identifiers with the devices attached to this computer, in the
    // order the device helper reports them (empty when it cannot). No
    // manager lock is held; it may block.
    virtual void ListAttachedDevices(KT::Array<KT::DeviceIdentifier>& identifiers) = 0;
    // A new, unconnected device for an attached device's identifier; null when
    // none can be made. No manager lock is held (making one may start the
    // device helper and wait for it); the manager adds it to the local list
    // unless a concurrent search added that device ID first.
    virtual KT::RCPtr<LDeviceBase> CreateLocalDevice(const KT::DeviceIdentifier& identifier) = 0;

    // --- Network devices

    // One network search into the list of location, with the manager's search
    // lock held (so one search runs at a time) and no list lock. It merges what
    // it finds into that list through lists. True when it changed the list or
    // the identity of a device in it: the manager then raises the list's
    // revision (and sorts the list after every search).
    [[nodiscard]] virtual bool FindNetworkDevices(IDeviceLists& lists, IDeviceLists::DeviceLocation location,
                                                  const NetworkSearchRequest& request) = 0;
    // Has a device of the remote list identify itself again
    // (QVRX_GetDeviceInfo with refresh); no manager lock is held. identifier
    // receives the identity it reported. 0: new or changed, or validated for
    // the first time (whatever tracks the announced devices has been told);
    // 1: unchanged; negative: failed, RESULT_NOT_A_NETWORK_DEVICE for a device
    // that is not a network device. The manager raises the remote revision
    // on 0.
    [[nodiscard]] virtual int RefreshDeviceIdentifier(const KT::RCPtr<LDeviceBase>& device,
                                                      KT::DeviceIdentifier& identifier) = 0;
    // Drops what the network search keeps between searches (such as its
    // discovery of announced devices); the next search starts afresh. Called
    // by ReleaseAll with no manager lock held, possibly while a search runs.
    virtual void ReleaseNetworkSearch() = 0;

    ~LDeviceSources() override = default;
};
