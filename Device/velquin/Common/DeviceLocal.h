// LDeviceLocal: a device attached to this computer, reached through the device
// helper process (LMacLocalConnector). Every get, set and request becomes a
// 'SPrM' request carrying a device message in an XML property-list
// dictionary; the device's notifications arrive as distributed notifications
// named by the helper's device-ID string, observed while connected and held
// back from the host until the device has accepted this client (token
// handshake). Created by the device manager's sources through Create, held by
// RCPtr in the manager's local list and by whatever call runs on it.
//
// Threads and locks:
// - mMutex (recursive) serialises the requests, the whole of ConnectDevice and
//   the sending half of DisconnectDevice; it guards the helper's device ID,
//   the client ID, the message buffer and the observer registration.
// - mNotificationLock, taken after mMutex and never before it, guards what a
//   delivery reads: the host's callback and context, the active observer link
//   and the count of grants being handed to the host by connecting threads.
//   The acceptance (token, kept notice, grant, accepted flag) guards itself
//   and is taken after mNotificationLock.
// - The connected flag is atomic, so IsConnected takes no lock.
// - Notifications arrive on the notification centre's delivery thread, which
//   every attached device shares and which never waits for a handshake: an
//   acceptance that comes before the token is known is kept and granted when
//   the connect stores the token. The delivery copies what it needs under
//   mNotificationLock, calls the host with no lock held and touches nothing of
//   the device afterwards: the host may have disconnected or released it from
//   inside the callback.
// - A grant that fell due when the token was stored goes to the host from the
//   delivery, before the notification it delivers, or from the connecting
//   thread once its locks are released; while the connecting thread hands it
//   over, the device's next delivery waits for that call to return, so the
//   host hears of the acceptance before anything that followed it.
// - An observer is removed with no lock held (DisconnectDevice, a failed
//   connect, the destructor); the removal waits for a delivery in flight
//   unless it runs on the delivery thread itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KTFramework/Utilities/Storage/Buffer.h"
#include "KTFramework/Utilities/Storage/ParamValues.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "Platform/DistributedNotificationCenter.h"
#include "Platform/MonotonicCondition.h"
#include "Platform/NativeMutex.h"
#include "Platform/PropertyList.h"
#include "Platform/ThreadAnnotations.h"
#include "velquin/Common/CrossPlatform/DeviceBase.h"
#include "velquin/Common/MacLocalConnector.h"

class LDeviceLocal : public LDeviceBase
{
public:
    // A new, unconnected device; takes the process's connector, which may
    // start the device helper and wait for it. Null when it cannot be made.
    static KT::RCPtr<LDeviceBase> Create(const KT::DeviceIdentifier& identifier);

    // The connected flag; both arguments are ignored (nothing is sent).
    bool IsConnected(bool probe, std::uint32_t idleMs) override;
    // 0 connected and accepted at once, 1 connected and waiting for the
    // device to accept, -5 already connected, -6 failed (nothing left behind:
    // no observer, and the helper told 'DCnt' when it had been told 'Cnct').
    int ConnectDevice(DeviceParamCallback callback, void* context) override;
    // Sends 'DCnt' and stops the notifications; -3 when not connected (any
    // observer is still removed). Once it returns, the host's callback does
    // not run for this connection any more, except when it is called from
    // inside that callback.
    int DisconnectDevice() override;
    int RequestParamValuesOrRanges(std::uint32_t messageID, const KT::Variant& request) override;
    // On a reply that cannot be used the output is cleared, never left half
    // written; on a failed send or no reply it is left as it was.
    int GetParamRanges(const KT::ParamRanges& ranges, KT::ParamValues& values) override;
    int GetParamValues(const KT::ParamDescriptors& descriptors, KT::ParamValues& values) override;
    int GetParamValue(const KT::ParamDescriptor& descriptor, KT::Variant& value) override;
    int SetParamValue(const KT::ParamDescriptor& descriptor, const KT::Variant& value) override;

    // Makes sure the helper's device-ID string is known, asking the helper
    // ('GtDI') only once per device object; false when it cannot be had.
    bool GetDeviceName() EXCLUDES(mNotificationLock);

    // What a helper notification carries, as a delivery reads it: the device
    // message under "ParameterDataKey", which must be parameter values with
    // message ID MESSAGE_ID_PARAM_VALUES, and whether it is the device's
    // acceptance of a client (one access-state entry) with its token and
    // state. False when it carries nothing for the host.
    struct Notification
    {
        KT::ParamValues Values;
        bool IsAcceptance = false;
        std::int64_t Token = 0;
        std::int32_t State = 0;
    };
    static bool ReadNotification(const KT::Platform::PlistNode& userInfo, Notification& notification);

    ~LDeviceLocal() override;

private:
    using Bytes = LMacLocalConnector::Bytes;
    using NotificationLock = KT::AutolockT<KT::Platform::NativeMutex>;

    // The context of one observer registration. A delivery through a link that
    // is no longer the active one (a registration being removed while a new
    // connection is made) is dropped.
    struct ObserverLink
    {
        LDeviceLocal* Device;
    };

    // An observer registration taken out of the device, to be removed with no
    // lock held.
    struct RemovedObserver
    {
        KT::Platform::ObserverRegistration Registration = 0;
        std::unique_ptr<ObserverLink> Link;
    };

    explicit LDeviceLocal(const KT::DeviceIdentifier& identifier);

    bool GetDeviceNameLocked() REQUIRES(mMutex);
    int ConnectLocked(DeviceParamCallback callback, void* context, RemovedObserver& removed) REQUIRES(mMutex)
        EXCLUDES(mNotificationLock);
    int DisconnectLocked(RemovedObserver& removed) REQUIRES(mMutex) EXCLUDES(mNotificationLock);
    // Stores the callback and starts observing; false when no observer could
    // be added (nothing is then registered).
    bool RegisterCallback(DeviceParamCallback callback, void* context) REQUIRES(mMutex)
        EXCLUDES(mNotificationLock);
    // Clears the callback, drops the handshake's kept notice and ends a
    // delivery's wait for a grant; the registration comes out in removed.
    void UnRegisterCallback(RemovedObserver& removed) REQUIRES(mMutex) EXCLUDES(mNotificationLock);
    static void RemoveObserver(RemovedObserver& removed);
    // Hands a grant that fell due during the connect to the host, on the
    // connecting thread, with no lock held.
    void DeliverGrant() EXCLUDES(mNotificationLock);

    // The request dictionary {"DeviceIDKey", "ClientIDKey"} and, when message
    // is given, "ParameterDataKey", as XML; false when it cannot be made.
    bool MakeRequest(const KT::RCPtr<KT::LIBuffer>* message, Bytes& request) REQUIRES(mMutex);
    // Sends the device message now in the message buffer as 'SPrM'.
    int SendParamMessage(std::optional<Bytes>* reply) REQUIRES(mMutex);
    enum class ReplyOutcome
    {
        NotSent,  // the request could not be built or sent
        NoReply,  // sent, and the helper answered with no data
        Unusable, // the reply is no device message of kind 0
        Decoded   // payload holds the reply's payload
    };
    // Sends the get whose message is in the message buffer and decodes the
    // reply into payload.
    ReplyOutcome SendGet(KT::Variant& payload) REQUIRES(mMutex);
    int GetParamValueLocked(const KT::ParamDescriptor& descriptor, KT::Variant& value) REQUIRES(mMutex);
    int GetParamListLocked(std::int32_t messageID, const KT::Variant& request, KT::ParamValues& values)
        REQUIRES(mMutex);

    static void DeviceCallBack(void* context, const std::string& name,
                               const KT::Platform::PlistNode& userInfo);
    void DeviceCallBack(ObserverLink* link, const KT::Platform::PlistNode& userInfo)
        EXCLUDES(mNotificationLock);

    const KT::RCPtr<LMacLocalConnector> mConnector;
    KT::Mutex mMutex ACQUIRED_BEFORE(mNotificationLock);
    // The helper's name of this device: its 'GtDI' answer, empty until then.
    std::string mHelperDeviceID GUARDED_BY(mMutex);
    std::uint64_t mClientID GUARDED_BY(mMutex) = 0;
    KT::RCPtr<KT::LIBuffer> mMessageBuffer GUARDED_BY(mMutex);
    KT::Platform::ObserverRegistration mRegistration GUARDED_BY(mMutex) = 0;
    std::unique_ptr<ObserverLink> mLink GUARDED_BY(mMutex);
    std::atomic<bool> mConnected{false};

    KT::Platform::NativeMutex mNotificationLock{KT::Platform::NativeMutex::Kind::Plain};
    // Signalled when a connecting thread has handed its grant to the host, or
    // the observer link stops being active.
    KT::Platform::MonotonicCondition mGrantDelivered;
    DeviceParamCallback mCallback GUARDED_BY(mNotificationLock) = nullptr;
    void* mCallbackContext GUARDED_BY(mNotificationLock) = nullptr;
    ObserverLink* mActiveLink GUARDED_BY(mNotificationLock) = nullptr;
    unsigned int mGrantsInFlight GUARDED_BY(mNotificationLock) = 0;
    DeviceAcceptance mAcceptance;
};
