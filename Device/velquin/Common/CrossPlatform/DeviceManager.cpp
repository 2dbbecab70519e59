#include "velquin/Common/CrossPlatform/DeviceManager.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "KTFramework/Utilities/Storage/ParamValue.h"
#include "velquin/Common/CrossPlatform/DeferredDeviceWork.h"
#include "velquin/Common/CrossPlatform/DeviceMessageSerializer.h"
#include "velquin/Common/CrossPlatform/DeviceSources.h"

namespace
{

using Lock = KT::AutolockT<KT::FastMutex>;

// Idle times that IsConnected may take as recent enough to skip a probe.
constexpr std::uint32_t SEARCH_PROBE_IDLE_MS = 500;
constexpr std::uint32_t CONNECT_PROBE_IDLE_MS = 100;
constexpr std::size_t DEVICE_INFO_TEXT_SIZE = 64;

// The process-wide manager. Never destroyed: the release at exit takes the
// manager out, and a call made later in the exit sequence (from an exit
// handler registered before the library was loaded) must still find the slot
// and read null. The lock makes taking a reference and taking the manager out
// one step each, so no caller can add a reference to a manager being released.
struct TheDeviceManager
{
    KT::FastMutex lock;
    KT::RCPtr<LDeviceManager> manager GUARDED_BY(lock);
};

TheDeviceManager& GetSlot()
{
    static TheDeviceManager* const slot = new TheDeviceManager();
    return *slot;
}

void CopyText(char (&field)[DEVICE_INFO_TEXT_SIZE], const KT::StringT<char, unsigned short>& text)
{
    // At most 63 bytes of text, every byte after it zero, the last always 0.
    KT::StringT<char, unsigned short>::StrCopy(field, DEVICE_INFO_TEXT_SIZE, text.CStr(),
                                               KT::StringT<char, unsigned short>::kWholeText);
}

} // namespace

template <class Work>
void LDeviceManager::UseDeviceList(DeviceLocation location, Work&& work)
{
    if (location == DEVICE_LOCATION_LOCAL)
    {
        KT::AutolockT<KT::FastMutex> lock(mLocalListLock);
        work(mLocalDevices);
    }
    else
    {
        KT::AutolockT<KT::FastMutex> lock(mRemoteListLock);
        work(mRemoteDevices);
    }
}

KT::RCPtr<LDeviceManager> LDeviceManager::Create(const KT::RCPtr<LDeviceSources>& sources)
{
    if (!sources)
    {
        return KT::RCPtr<LDeviceManager>();
    }
    return KT::RCPtr<LDeviceManager>(new LDeviceManager(sources));
}

LDeviceManager::LDeviceManager(const KT::RCPtr<LDeviceSources>& sources) : mSources(sources) {}

LDeviceManager::~LDeviceManager()
{
    ReleaseAll();
}

KT::RCPtr<LDeviceManager> LDeviceManager::GetTheDeviceManager()
{
    TheDeviceManager& slot = GetSlot();
    Lock lock(slot.lock);
    return slot.manager;
}

KT::RCPtr<LDeviceManager> LDeviceManager::ExchangeTheDeviceManager(const KT::RCPtr<LDeviceManager>& manager)
{
    TheDeviceManager& slot = GetSlot();
    // previous keeps the old manager alive past the lock: its last release,
    // which runs ReleaseAll, happens in the caller.
    KT::RCPtr<LDeviceManager> previous;
    {
        Lock lock(slot.lock);
        previous = slot.manager;
        slot.manager = manager;
    }
    return previous;
}

// Look-ups.

KT::RCPtr<LDeviceBase> LDeviceManager::FindInList(const DeviceList& list, const KT::Variant& deviceID)
{
    for (std::size_t i = static_cast<std::size_t>(list.GetCount()); i-- > 0;)
    {
        const KT::RCPtr<LDeviceBase>& device = list[i];
        if (!!device && device->IsDeviceID(deviceID))
        {
            return device;
        }
    }
    return KT::RCPtr<LDeviceBase>();
}

KT::RCPtr<LDeviceBase> LDeviceManager::GetDevice(const KT::Variant& deviceID)
{
    DeviceLocation location;
    return GetDevice(deviceID, location);
}

KT::RCPtr<LDeviceBase> LDeviceManager::GetDevice(const KT::Variant& deviceID, DeviceLocation& location)
{
    KT::RCPtr<LDeviceBase> device;
    {
        Lock lock(mLocalListLock);
        device = FindInList(mLocalDevices, deviceID);
    }
    if (!!device)
    {
        location = DEVICE_LOCATION_LOCAL;
        return device;
    }
    {
        Lock lock(mRemoteListLock);
        device = FindInList(mRemoteDevices, deviceID);
    }
    if (!!device)
    {
        location = DEVICE_LOCATION_REMOTE;
    }
    return device;
}

// Searches.

int LDeviceManager::FindDevices(KT::Variant& deviceList)
{
    RemoveUnconnectedLocalDevices();
    FindLocalDevices();
    KT::Array<KT::Variant> deviceIDs;
    {
        Lock lock(mLocalListLock);
        CreateDeviceIDList(mLocalDevices, deviceIDs, false);
    }
    SetDeviceList(deviceIDs, deviceList);
    return 0;
}

void LDeviceManager::RemoveUnconnectedLocalDevices()
{
    // The devices are asked outside the lock; whether to drop one is decided
    // again under it, where a connect marks its device before it starts. The
    // devices that leave the list are released only after the lock, since a
    // device's last release disconnects it.
    std::vector<KT::RCPtr<LDeviceBase>> asked;
    std::uint64_t serial = 0;
    {
        Lock lock(mLocalListLock);
        serial = mConnectSerial;
        for (std::size_t i = static_cast<std::size_t>(mLocalDevices.GetCount()); i-- > 0;)
        {
            if (!!mLocalDevices[i] && !IsConnecting(mLocalDevices[i].GetRaw(), serial))
            {
                asked.push_back(mLocalDevices[i]);
            }
        }
    }
    std::vector<KT::RCPtr<LDeviceBase>> unconnected;
    for (const KT::RCPtr<LDeviceBase>& device : asked)
    {
        if (!device->IsConnected(true, SEARCH_PROBE_IDLE_MS))
        {
            unconnected.push_back(device);
        }
    }
    std::vector<KT::RCPtr<LDeviceBase>> removed(unconnected.size());
    Lock lock(mLocalListLock);
    for (std::size_t i = 0; i < unconnected.size(); ++i)
    {
        const std::size_t index = mLocalDevices.GetIndexOf(unconnected[i]);
        if (index != KT::kContainerNotFound && !IsConnecting(unconnected[i].GetRaw(), serial))
        {
            static_cast<void>(mLocalDevices.RemoveItem(index, removed[i])); // the index was just found
            ForgetMark(removed[i].GetRaw());
        }
    }
}

bool LDeviceManager::IsConnecting(const LDeviceBase* device, std::uint64_t serial) const
{
    const auto mark = mConnectMarks.find(device);
    return mark != mConnectMarks.end() && (mark->second.connecting != 0 || mark->second.lastBegun > serial);
}

void LDeviceManager::ForgetMark(const LDeviceBase* device)
{
    const auto mark = mConnectMarks.find(device);
    if (mark != mConnectMarks.end() && mark->second.connecting == 0)
    {
        mConnectMarks.erase(mark);
    }
}

int LDeviceManager::FindLocalDevices(const KT::Variant* connectTo, KT::RCPtr<LDeviceBase>* connecting)
{
    KT::Array<KT::DeviceIdentifier> identifiers;
    mSources->ListAttachedDevices(identifiers);

    KT::Array<KT::DeviceIdentifier> missing;
    {
        Lock lock(mLocalListLock);
        for (std::size_t i = 0; i < static_cast<std::size_t>(identifiers.GetCount()); ++i)
        {
            // An ID the helper reports twice gets one device.
            bool listed = !!FindInList(mLocalDevices, identifiers[i]);
            for (std::size_t j = 0; j < static_cast<std::size_t>(missing.GetCount()) && !listed; ++j)
            {
                listed = missing[j].IsDeviceIDEqual(identifiers[i]);
            }
            if (!listed)
            {
                static_cast<void>(missing.AppendItem(identifiers[i])); // grows or throws
            }
        }
    }

    // Made with no lock held: making an attached device may start the device
    // helper and wait for it.
    std::vector<KT::RCPtr<LDeviceBase>> created;
    for (std::size_t i = 0; i < static_cast<std::size_t>(missing.GetCount()); ++i)
    {
        KT::RCPtr<LDeviceBase> device = mSources->CreateLocalDevice(missing[i]);
        if (!!device)
        {
            created.push_back(device);
        }
    }

    Lock lock(mLocalListLock);
    for (const KT::RCPtr<LDeviceBase>& device : created)
    {
        // Another search may have added the device meanwhile; the one made
        // here is then released with created, after the lock.
        if (!FindInList(mLocalDevices, device->GetDeviceID()))
        {
            static_cast<void>(mLocalDevices.AppendItem(device)); // grows or throws
        }
    }
    if (connectTo != nullptr && connecting != nullptr)
    {
        *connecting = FindInList(mLocalDevices, *connectTo);
        if (!!*connecting)
        {
            MarkConnecting(connecting->GetRaw());
        }
    }
    return 0;
}

int LDeviceManager::FindRemoteDevices(KT::Variant& deviceList, bool verify, const std::uint32_t* addresses,
                                      std::uint32_t addressCount, std::uint32_t maxDevices,
                                      std::uint32_t portCount, std::uint32_t firstPort)
{
    FindNetworkDevices(DEVICE_LOCATION_REMOTE, verify, addresses, addressCount, maxDevices, portCount,
                       firstPort);
    KT::Array<KT::Variant> deviceIDs;
    {
        Lock lock(mRemoteListLock);
        CreateDeviceIDList(mRemoteDevices, deviceIDs, true);
    }
    SetDeviceList(deviceIDs, deviceList);
    return GetRevision(DEVICE_LOCATION_REMOTE);
}

void LDeviceManager::FindNetworkDevices(DeviceLocation location, bool verify, const std::uint32_t* addresses,
                                        std::uint32_t addressCount, std::uint32_t maxDevices,
                                        std::uint32_t portCount, std::uint32_t firstPort)
{
    if (location != DEVICE_LOCATION_LOCAL && location != DEVICE_LOCATION_REMOTE)
    {
        return;
    }
    const NetworkSearchRequest request{verify, addresses, addressCount, maxDevices, portCount, firstPort};
    // Devices the search disconnects finish disconnecting once the search
    // lock is released: that may wait for a host callback, which may search.
    DeferredDeviceWork deferred;
    Lock lock(mSearchLock);
    const bool changed = mSources->FindNetworkDevices(*this, location, request);
    UseDeviceList(location, [](DeviceList& list) { SortDeviceList(list); });
    if (changed)
    {
        RaiseRevision(location);
    }
}

IDeviceLists::Devices LDeviceManager::CopyDevices(DeviceLocation location)
{
    Devices devices;
    UseDeviceList(location,
                  [&devices](DeviceList& list)
                  {
                      for (std::size_t i = 0; i < static_cast<std::size_t>(list.GetCount()); ++i)
                      {
                          devices.push_back(list[i]);
                      }
                  });
    return devices;
}

bool LDeviceManager::HoldsDeviceAt(DeviceLocation location, std::uint32_t address, std::uint32_t port)
{
    bool held = false;
    UseDeviceList(location,
                  [&](DeviceList& list)
                  {
                      for (std::size_t i = static_cast<std::size_t>(list.GetCount()); i-- > 0 && !held;)
                      {
                          if (!!list[i])
                          {
                              // Address and port read together.
                              const KT::DeviceIdentifier at = list[i]->GetDeviceIdentifier();
                              held = at.GetCurrentNetworkAddress() == address &&
                                     at.GetCurrentNetworkPort() == port;
                          }
                      }
                  });
    return held;
}

bool LDeviceManager::AddDevices(DeviceLocation location, const Devices& devices)
{
    bool added = false;
    UseDeviceList(location,
                  [&](DeviceList& list)
                  {
                      for (const KT::RCPtr<LDeviceBase>& device : devices)
                      {
                          if (!!device && !FindInList(list, device->GetDeviceID()))
                          {
                              static_cast<void>(list.AppendItem(device)); // grows or throws
                              added = true;
                          }
                      }
                  });
    return added;
}

bool LDeviceManager::RemoveDevices(DeviceLocation location, const std::vector<KT::Variant>& deviceIDs)
{
    // Released after the lock: a device's last release disconnects it.
    std::vector<KT::RCPtr<LDeviceBase>> removed;
    UseDeviceList(location,
                  [&](DeviceList& list)
                  {
                      for (std::size_t i = static_cast<std::size_t>(list.GetCount()); i-- > 0;)
                      {
                          bool drop = false;
                          for (const KT::Variant& deviceID : deviceIDs)
                          {
                              drop = drop || (!!list[i] && list[i]->IsDeviceID(deviceID));
                          }
                          if (drop)
                          {
                              removed.emplace_back();
                              static_cast<void>(list.RemoveItem(i, removed.back())); // i lies below the count
                          }
                      }
                  });
    // A connect still under way on one of them finds it gone and forgets its
    // mark itself.
    if (location == DEVICE_LOCATION_LOCAL)
    {
        Lock lock(mLocalListLock);
        for (const KT::RCPtr<LDeviceBase>& device : removed)
        {
            ForgetMark(device.GetRaw());
        }
    }
    return !removed.empty();
}

void LDeviceManager::CreateDeviceIDList(const DeviceList& list, KT::Array<KT::Variant>& deviceIDs,
                                        bool validatedOnly)
{
    for (std::size_t i = 0; i < static_cast<std::size_t>(list.GetCount()); ++i)
    {
        const KT::RCPtr<LDeviceBase>& device = list[i];
        if (!!device && (!validatedOnly || device->HasBeenValidated()))
        {
            static_cast<void>(deviceIDs.AppendItem(device->GetDeviceID())); // grows or throws
        }
    }
}

void LDeviceManager::SetDeviceList(const KT::Array<KT::Variant>& deviceIDs, KT::Variant& deviceList)
{
    deviceList.SetArray(deviceIDs.GetPtr(), static_cast<std::size_t>(deviceIDs.GetCount()));
}

void LDeviceManager::SortDeviceList(DeviceList& list)
{
    const std::size_t count = static_cast<std::size_t>(list.GetCount());
    if (count < 2)
    {
        return;
    }
    // Each device's key is read once, under its own lock: an identity that
    // changes during the sort cannot make the order inconsistent.
    struct Entry
    {
        LDeviceBase::SortKey key;
        KT::RCPtr<LDeviceBase> device;
    };
    std::vector<Entry> entries;
    entries.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
    {
        const KT::RCPtr<LDeviceBase>& device = list[i];
        entries.push_back(Entry{!!device ? device->GetSortKey()
                                         : LDeviceBase::SortKey{false, KT::Variant(), false, INT64_MIN},
                                device});
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.key < b.key; });
    for (std::size_t i = 0; i < count; ++i)
    {
        list[i] = entries[i].device;
    }
}

KT::AtomicCounter& LDeviceManager::Revision(DeviceLocation location)
{
    return location == DEVICE_LOCATION_LOCAL ? mLocalRevision : mRemoteRevision;
}

int LDeviceManager::RaiseRevision(DeviceLocation location)
{
    KT::AtomicCounter& revision = Revision(location);
    for (;;)
    {
        const int current = revision.GetValue();
        const int raised = current < 0 || current == INT_MAX ? 1 : current + 1;
        if (revision.CompareAndSwap(current, raised))
        {
            return raised;
        }
    }
}

int LDeviceManager::GetRevision(DeviceLocation location) const
{
    return location == DEVICE_LOCATION_LOCAL ? mLocalRevision.GetValue() : mRemoteRevision.GetValue();
}

// Per-device calls: the device is looked up, then called with no manager lock
// held.

int LDeviceManager::ConnectDevice(const KT::Variant& deviceID, DeviceParamCallback callback, void* context)
{
    DeviceLocation location = DEVICE_LOCATION_LOCAL;
    KT::RCPtr<LDeviceBase> device = BeginConnect(deviceID, location);
    if (!device && !deviceID.IsEmpty())
    {
        // A device not yet listed is searched for where its ID says it lives:
        // the network (announced devices only) or this computer.
        KT::Variant scratch;
        if (KT::DeviceIdentifier(deviceID).IsRemoteDevice())
        {
            // The revision it returns is the host's to poll; the look-up
            // below tells whether the device was found.
            static_cast<void>(FindRemoteDevices(scratch, false, nullptr, 0, 0, 0, 0));
        }
        else
        {
            // The search's own look-up marks the device it made before the
            // lock goes: another search could otherwise drop it, unconnected,
            // before this connect begins.
            RemoveUnconnectedLocalDevices();
            static_cast<void>(FindLocalDevices(&deviceID, &device));
        }
        if (!!device)
        {
            location = DEVICE_LOCATION_LOCAL;
        }
        else
        {
            device = BeginConnect(deviceID, location);
        }
    }
    if (!device)
    {
        return QVRX_RESULT_UNKNOWN_DEVICE;
    }
    const int result = device->IsConnected(true, CONNECT_PROBE_IDLE_MS)
                           ? QVRX_RESULT_ALREADY_CONNECTED
                           : device->ConnectDevice(callback, context);
    const bool listed = EndConnect(device, location);
    if (KT::Result::Succeeded(result) && !listed)
    {
        // The device left the lists while it connected (ReleaseAll, or a
        // network search that could not identify it, which disconnect what
        // they take out before or after this connect): nothing could
        // disconnect it any more, and its connection would keep it, its
        // threads and the host's callback going.
        static_cast<void>(device->DisconnectDevice());
        return QVRX_RESULT_CONNECTION_FAILED;
    }
    if (KT::Result::Succeeded(result) && device->IsRemoteDevice())
    {
        RaiseRevision(DEVICE_LOCATION_REMOTE);
    }
    return result;
}

KT::RCPtr<LDeviceBase> LDeviceManager::BeginConnect(const KT::Variant& deviceID, DeviceLocation& location)
{
    {
        Lock lock(mLocalListLock);
        KT::RCPtr<LDeviceBase> device = FindInList(mLocalDevices, deviceID);
        if (!!device)
        {
            MarkConnecting(device.GetRaw());
            location = DEVICE_LOCATION_LOCAL;
            return device;
        }
    }
    Lock lock(mRemoteListLock);
    KT::RCPtr<LDeviceBase> device = FindInList(mRemoteDevices, deviceID);
    if (!!device)
    {
        location = DEVICE_LOCATION_REMOTE;
    }
    return device;
}

void LDeviceManager::MarkConnecting(const LDeviceBase* device)
{
    ConnectMark& mark = mConnectMarks[device];
    ++mark.connecting;
    mark.lastBegun = ++mConnectSerial;
}

bool LDeviceManager::EndConnect(const KT::RCPtr<LDeviceBase>& device, DeviceLocation location)
{
    if (location == DEVICE_LOCATION_REMOTE)
    {
        Lock lock(mRemoteListLock);
        return mRemoteDevices.GetIndexOf(device) != KT::kContainerNotFound;
    }
    Lock lock(mLocalListLock);
    --mConnectMarks[device.GetRaw()].connecting;
    const bool listed = mLocalDevices.GetIndexOf(device) != KT::kContainerNotFound;
    if (!listed)
    {
        ForgetMark(device.GetRaw());
    }
    return listed;
}

int LDeviceManager::IsDeviceConnected(const KT::Variant& deviceID, bool probe, std::uint32_t idleMs)
{
    KT::RCPtr<LDeviceBase> device = GetDevice(deviceID);
    if (!device)
    {
        return QVRX_RESULT_UNKNOWN_DEVICE;
    }
    return device->IsConnected(probe, idleMs) ? 0 : QVRX_RESULT_NOT_CONNECTED;
}

int LDeviceManager::GetDeviceInfo(const KT::Variant& deviceID, KT::DeviceInfo* info, bool refresh)
{
    if (info == nullptr)
    {
        return KT::RESULT_INVALID_ARGUMENT;
    }
    // What the ID itself tells is written whether or not the device is known.
    const KT::DeviceIdentifier identifier(deviceID);
    identifier.GetProductGuid(info->productGuid);
    info->vendorId = identifier.GetVendorID();
    info->productId = identifier.GetProductID();
    identifier.GetInstanceGuid(info->instanceGuid);
    info->instanceLocationId = identifier.GetInstanceLocationID();
    info->instanceIndex = identifier.GetInstanceIndex();

    DeviceLocation location = DEVICE_LOCATION_LOCAL;
    KT::RCPtr<LDeviceBase> device = GetDevice(deviceID, location);
    if (!device)
    {
        // The host's vendor and product names stay as they were.
        info->isRemote = identifier.IsRemoteDevice();
        std::memset(info->userDefinedName, 0, sizeof(info->userDefinedName));
        info->networkAddress = 0;
        info->networkPort = 0;
        return QVRX_DEVICE_NOT_LISTED;
    }

    int result = 0;
    info->isRemote = location == DEVICE_LOCATION_REMOTE;
    if (info->isRemote && refresh)
    {
        KT::DeviceIdentifier refreshed;
        const int refreshResult = mSources->RefreshDeviceIdentifier(device, refreshed);
        if (refreshResult == 0)
        {
            RaiseRevision(DEVICE_LOCATION_REMOTE);
        }
        else if (KT::Result::Failed(refreshResult))
        {
            result = KT::RESULT_FAILED;
        }
    }
    CopyText(info->userDefinedName, device->GetUserDefinedName().Narrow());
    CopyText(info->vendorName, device->GetVendorName().Narrow());
    CopyText(info->productName, device->GetProductName().Narrow());
    info->networkAddress = device->GetNetworkAddress();
    info->networkPort = device->GetNetworkPort();
    return result;
}

int LDeviceManager::RequestParamRanges(const KT::Variant& deviceID, const KT::ParamRanges& ranges)
{
    KT::RCPtr<LDeviceBase> device = GetDevice(deviceID);
    if (!device)
    {
        return QVRX_RESULT_UNKNOWN_DEVICE;
    }
    return device->RequestParamValuesOrRanges(static_cast<std::uint32_t>(MESSAGE_ID_PARAM_RANGES), ranges);
}

int LDeviceManager::RequestParamValues(const KT::Variant& deviceID, const KT::ParamDescriptors& descriptors)
{
    KT::RCPtr<LDeviceBase> device = GetDevice(deviceID);
    if (!device)
    {
        return QVRX_RESULT_UNKNOWN_DEVICE;
    }
    return device->RequestParamValuesOrRanges(static_cast<std::uint32_t>(MESSAGE_ID_PARAM_DESCRIPTORS),
                                              descriptors);
}

int LDeviceManager::GetParamValue(const KT::Variant& deviceID, const KT::ParamDescriptor& descriptor,
                                  KT::Variant& value)
{
    KT::RCPtr<LDeviceBase> device = GetDevice(deviceID);
    if (!device)
    {
        return QVRX_RESULT_UNKNOWN_DEVICE;
    }
    return device->GetParamValue(descriptor, value);
}

int LDeviceManager::GetParamRanges(const KT::Variant& deviceID, const KT::ParamRanges& ranges,
                                   KT::ParamValues& values)
{
    KT::RCPtr<LDeviceBase> device = GetDevice(deviceID);
    if (!device)
    {
        return QVRX_RESULT_UNKNOWN_DEVICE;
    }
    return device->GetParamRanges(ranges, values);
}

int LDeviceManager::GetParamValues(const KT::Variant& deviceID, const KT::ParamDescriptors& descriptors,
                                   KT::ParamValues& values)
{
    KT::RCPtr<LDeviceBase> device = GetDevice(deviceID);
    if (!device)
    {
        return QVRX_RESULT_UNKNOWN_DEVICE;
    }
    return device->GetParamValues(descriptors, values);
}

int LDeviceManager::SetParamValue(const KT::Variant& deviceID, const KT::ParamDescriptor& descriptor,
                                  const KT::Variant& value)
{
    KT::RCPtr<LDeviceBase> device = GetDevice(deviceID);
    if (!device)
    {
        return QVRX_RESULT_UNKNOWN_DEVICE;
    }
    return device->SetParamValue(descriptor, value);
}

int LDeviceManager::SetParamValues(const KT::Variant& deviceID, const KT::ParamValues& values)
{
    KT::RCPtr<LDeviceBase> device = GetDevice(deviceID);
    if (!device)
    {
        return QVRX_RESULT_UNKNOWN_DEVICE;
    }
    int result = 0;
    const int count = values.GetCount();
    for (int i = 0; i < count; ++i)
    {
        KT::ParamValue entry(KT::ParamValues::NO_PARAM_ID);
        const int read = values.GetParamValue(static_cast<unsigned int>(i), entry);
        if (KT::Result::Failed(read))
        {
            // An entry that does not read has no parameter to set; sending it
            // would set parameter NO_PARAM_ID.
            return read;
        }
        result = device->SetParamValue(entry.GetParamDescriptor(), entry.GetValue());
        if (KT::Result::Failed(result))
        {
            break;
        }
    }
    return result;
}

int LDeviceManager::DisconnectDevice(const KT::Variant& deviceID)
{
    KT::RCPtr<LDeviceBase> device = GetDevice(deviceID);
    if (!device)
    {
        return QVRX_RESULT_UNKNOWN_DEVICE;
    }
    return device->DisconnectDevice();
}

int LDeviceManager::ReleaseAll()
{
    // The devices leave the lists first and are disconnected with no list lock
    // held: a disconnect may wait for a host callback that calls back in.
    for (DeviceLocation location : {DEVICE_LOCATION_LOCAL, DEVICE_LOCATION_REMOTE})
    {
        DeviceList released;
        UseDeviceList(location,
                      [&released](DeviceList& list)
                      {
                          released = list;
                          static_cast<void>(list.Clear()); // emptying cannot fail
                      });
        if (location == DEVICE_LOCATION_LOCAL)
        {
            Lock lock(mLocalListLock);
            for (std::size_t i = 0; i < static_cast<std::size_t>(released.GetCount()); ++i)
            {
                ForgetMark(released[i].GetRaw());
            }
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(released.GetCount()); ++i)
        {
            if (!!released[i])
            {
                // Gone from the lists whatever it answers.
                static_cast<void>(released[i]->DisconnectDevice());
            }
        }
    }
    mSources->ReleaseNetworkSearch();
    return 0;
}
