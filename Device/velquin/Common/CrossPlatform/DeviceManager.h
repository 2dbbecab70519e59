// LDeviceManager: the one process-wide object behind the exported functions.
// It owns two lists of devices, the attached devices (local) and the devices on
// the network (remote), runs the searches that fill them through its sources
// (LDeviceSources), keeps a revision number of the remote list that the host
// polls, finds a device by its device ID and forwards every per-device call to
// it. Created at library load by the library's composition root (beside the
// exported functions), which gives it its sources, and held in one static slot
// that is never destroyed; everything else that holds it holds its own
// reference.
//
// The manager alone changes its lists: its sources' network search reads and
// edits them through IDeviceLists, and the manager sorts the list and raises
// its revision after each search.
//
// Threads: every operation runs on a host thread. Locks, in the order they may
// be taken: mSearchLock (one network search at a time), then one list lock
// (mLocalListLock guards mLocalDevices and the connect marks, mRemoteListLock
// mRemoteDevices; the two are never held together), then a device's
// identifier lock, held only to copy or compare its identity. No manager lock
// is held while a device operation runs (connect, disconnect, gets, sets,
// IsConnected, identification) or while the host's variants are written, so a
// device's callback may call back into the manager. The revision counters are
// atomic.
// A connect marks an attached device under mLocalListLock in the same hold as
// its look-up, before the device connects; the search that drops unconnected
// attached devices decides and drops under one hold of that lock and keeps
// every device with a connect under way or begun since it asked the devices.
#pragma once

#include <cstdint>
#include <map>

#include "DeviceControl/CommonInc/DeviceIdentifier.h"
#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/Array.h"
#include "KTFramework/Utilities/Storage/ParamDescriptor.h"
#include "KTFramework/Utilities/Storage/ParamValues.h"
#include "KTFramework/Utilities/Storage/RCPtrArray.h"
#include "KTFramework/Utilities/Storage/Variant.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "Platform/ThreadAnnotations.h"
#include "velquin/Common/CrossPlatform/DeviceBase.h"
#include "velquin/Common/CrossPlatform/DeviceLists.h"
#include "velquin/Common/CrossPlatform/VelquinInterface.h"

class LDeviceSources;

class LDeviceManager : public virtual KT::LRefCountedObject, public IDeviceLists
{
public:
    using DeviceList = KT::RCPtrArray<LDeviceBase, 1, 0>;

    // A manager with empty lists, both revisions 0, finding devices through
    // sources (never null).
    static KT::RCPtr<LDeviceManager> Create(const KT::RCPtr<LDeviceSources>& sources);

    // The process-wide manager, a reference of the caller's own; null before
    // load and after the release at exit.
    static KT::RCPtr<LDeviceManager> GetTheDeviceManager();
    // Puts manager in the process-wide place and returns what was there. The
    // release at exit exchanges in null; tests put in a manager of their own.
    static KT::RCPtr<LDeviceManager> ExchangeTheDeviceManager(const KT::RCPtr<LDeviceManager>& manager);

    // Look-ups by device ID: the local list first, then the remote list, each
    // walked from its last device to its first. Null when unknown; location is
    // written only when found.
    KT::RCPtr<LDeviceBase> GetDevice(const KT::Variant& deviceID);
    KT::RCPtr<LDeviceBase> GetDevice(const KT::Variant& deviceID, DeviceLocation& location);

    // deviceList becomes an Array of the attached devices' IDs. Unconnected
    // devices are dropped and made afresh from what the sources list;
    // connected ones stay even when no longer listed. Returns 0.
    int FindDevices(KT::Variant& deviceList);
    // Adds what the sources list and the local list lacks. With connectTo, the
    // listed device of that ID is also marked as connecting, in the same hold
    // of the lock that adds it, and returned in connecting: a search beside
    // cannot drop it before its connect begins.
    int FindLocalDevices(const KT::Variant* connectTo = nullptr,
                         KT::RCPtr<LDeviceBase>* connecting = nullptr);
    // The network search, then deviceList becomes an Array of the validated
    // remote devices' IDs. Returns the remote revision.
    [[nodiscard]] int FindRemoteDevices(KT::Variant& deviceList, bool verify, const std::uint32_t* addresses,
                                        std::uint32_t addressCount, std::uint32_t maxDevices,
                                        std::uint32_t portCount, std::uint32_t firstPort);
    // Runs the sources' network search for location under the search lock,
    // then sorts the list and raises its revision when the search changed it.
    void FindNetworkDevices(DeviceLocation location, bool verify, const std::uint32_t* addresses,
                            std::uint32_t addressCount, std::uint32_t maxDevices, std::uint32_t portCount,
                            std::uint32_t firstPort);

    // As the exported functions of the same names. A search does not drop an
    // attached device while it connects. A connect that succeeds on a device
    // which left the lists meanwhile (ReleaseAll, or a network search that
    // verified it away) is undone: the device is disconnected again and the
    // result is -6.
    [[nodiscard]] int ConnectDevice(const KT::Variant& deviceID, DeviceParamCallback callback, void* context);
    [[nodiscard]] int IsDeviceConnected(const KT::Variant& deviceID, bool probe, std::uint32_t idleMs);
    [[nodiscard]] int GetDeviceInfo(const KT::Variant& deviceID, KT::DeviceInfo* info, bool refresh);
    [[nodiscard]] int RequestParamRanges(const KT::Variant& deviceID, const KT::ParamRanges& ranges);
    [[nodiscard]] int RequestParamValues(const KT::Variant& deviceID,
                                         const KT::ParamDescriptors& descriptors);
    [[nodiscard]] int GetParamValue(const KT::Variant& deviceID, const KT::ParamDescriptor& descriptor,
                                    KT::Variant& value);
    [[nodiscard]] int GetParamRanges(const KT::Variant& deviceID, const KT::ParamRanges& ranges,
                                     KT::ParamValues& values);
    [[nodiscard]] int GetParamValues(const KT::Variant& deviceID, const KT::ParamDescriptors& descriptors,
                                     KT::ParamValues& values);
    [[nodiscard]] int SetParamValue(const KT::Variant& deviceID, const KT::ParamDescriptor& descriptor,
                                    const KT::Variant& value);
    [[nodiscard]] int SetParamValues(const KT::Variant& deviceID, const KT::ParamValues& values);
    [[nodiscard]] int DisconnectDevice(const KT::Variant& deviceID);
    // Takes every device out of both lists and disconnects it, then has the
    // sources drop their network search state. Returns 0.
    int ReleaseAll();

    // IDeviceLists, for the sources' network search.
    Devices CopyDevices(DeviceLocation location) override;
    bool HoldsDeviceAt(DeviceLocation location, std::uint32_t address, std::uint32_t port) override;
    bool AddDevices(DeviceLocation location, const Devices& devices) override;
    bool RemoveDevices(DeviceLocation location, const std::vector<KT::Variant>& deviceIDs) override;

    // Keeps the list in device order (LDeviceBase::SortKey), devices of equal
    // rank in the order they had. The caller holds the list's lock.
    static void SortDeviceList(DeviceList& list);
    // Raises the revision of location by one in a single atomic step; past
    // the largest value it starts again at 1. Returns the new value.
    int RaiseRevision(DeviceLocation location);
    int GetRevision(DeviceLocation location) const;

    ~LDeviceManager() override;

private:
    // Lets tests set a revision near its largest value.
    friend struct DeviceManagerProbe;

    explicit LDeviceManager(const KT::RCPtr<LDeviceSources>& sources);

    // The device of list with that ID, searched from the last to the first;
    // the caller holds the list's lock.
    static KT::RCPtr<LDeviceBase> FindInList(const DeviceList& list, const KT::Variant& deviceID);
    // The connects through the manager on one attached device: how many are
    // under way and the serial of the latest one begun. Kept while the device
    // is listed or connecting.
    struct ConnectMark
    {
        unsigned int connecting = 0;
        std::uint64_t lastBegun = 0;
    };

    // The look-up of a connect: as GetDevice, and an attached device found is
    // marked as connecting in the same hold of the local list's lock.
    KT::RCPtr<LDeviceBase> BeginConnect(const KT::Variant& deviceID, DeviceLocation& location);
    void MarkConnecting(const LDeviceBase* device) REQUIRES(mLocalListLock);
    // Takes the mark of BeginConnect off; whether the device is still listed.
    bool EndConnect(const KT::RCPtr<LDeviceBase>& device, DeviceLocation location);
    // Whether an attached device has a connect under way, or one begun after
    // serial.
    bool IsConnecting(const LDeviceBase* device, std::uint64_t serial) const REQUIRES(mLocalListLock);
    // Drops the mark of a device that left the local list, unless a connect
    // on it is still under way.
    void ForgetMark(const LDeviceBase* device) REQUIRES(mLocalListLock);
    // Drops the local devices that report themselves unconnected and that no
    // connect has marked.
    void RemoveUnconnectedLocalDevices();
    // Runs work(list) with the list of location locked.
    template <class Work>
    void UseDeviceList(DeviceLocation location, Work&& work);
    // The device IDs of the list, in list order, validated devices only when
    // validatedOnly is set. The caller holds the list's lock.
    static void CreateDeviceIDList(const DeviceList& list, KT::Array<KT::Variant>& deviceIDs,
                                   bool validatedOnly);
    // deviceList becomes an Array of deviceIDs; no lock held, since the host's
    // variant allocates through its own operations.
    static void SetDeviceList(const KT::Array<KT::Variant>& deviceIDs, KT::Variant& deviceList);
    KT::AtomicCounter& Revision(DeviceLocation location);

    KT::RCPtr<LDeviceSources> mSources;
    DeviceList mLocalDevices GUARDED_BY(mLocalListLock);
    KT::AtomicCounter mLocalRevision;
    DeviceList mRemoteDevices GUARDED_BY(mRemoteListLock);
    KT::AtomicCounter mRemoteRevision;
    std::map<const LDeviceBase*, ConnectMark> mConnectMarks GUARDED_BY(mLocalListLock);
    std::uint64_t mConnectSerial GUARDED_BY(mLocalListLock) = 0;
    KT::FastMutex mLocalListLock;
    KT::FastMutex mRemoteListLock;
    KT::FastMutex mSearchLock ACQUIRED_BEFORE(mLocalListLock, mRemoteListLock);
};
