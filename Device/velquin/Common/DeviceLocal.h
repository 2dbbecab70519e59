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
// - The connected flag is atomic, so IsConnected takes no lock.
// - Each connection has an observer link of its own: the host's callback and
//   context, fixed for the link's life, and the acceptance, which decides,
//   in the order the device sent them, what of the device's notifications
//   goes to the host and guards itself. A disconnect closes the link's
//   acceptance: nothing more is queued for the host through it.
// - Notifications arrive on the notification centre's delivery thread, which
//   every attached device shares and which never waits for a handshake or for
//   another thread: an acceptance that comes before the token is known, and
//   what follows it, are held and decided when the connect stores the token,
//   which then has the delivery thread called through this link (a nudge) to
//   hand the grant out. Only that thread calls the host, so the grant and the
//   values reach the host in the order decided; a slow callback holds up the
//   other attached devices, as the one shared thread does.
// - The delivery keeps its link alive, calls the host with no lock held and,
//   once it has called the host, touches nothing of the device: the host may
//   have disconnected or released it from inside the callback.
// - An observer is removed with no lock held (DisconnectDevice, a failed
//   connect, the destructor); the removal waits for a delivery in flight
//   unless it runs on the delivery thread itself.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KTFramework/Utilities/Storage/Buffer.h"
#include "KTFramework/Utilities/Storage/ParamValues.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "Platform/DistributedNotificationCenter.h"
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
    // not run for this connection any more; called from inside that callback,
    // it ends the delivery with the call in progress.
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
    bool GetDeviceName();

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
        // The encoded device message's size.
        std::size_t Size = 0;
    };
    static bool ReadNotification(const KT::Platform::PlistNode& userInfo, Notification& notification);

    ~LDeviceLocal() override;

private:
    using Bytes = LMacLocalConnector::Bytes;

    // The context of one observer registration: what its deliveries read.
    // Held by the device while connected and by a delivery in flight, which
    // may outlive the connection and the device.
    struct ObserverLink : std::enable_shared_from_this<ObserverLink>
    {
        ObserverLink(LDeviceLocal* device, DeviceParamCallback callback, void* context)
            : Device(device), Callback(callback), Context(context)
        {
        }

        // Looked at by a delivery only before it first calls the host.
        LDeviceLocal* const Device;
        const DeviceParamCallback Callback;
        void* const Context;
        DeviceAcceptance Acceptance;
    };

    // An observer registration taken out of the device, to be removed with no
    // lock held.
    struct RemovedObserver
    {
        KT::Platform::ObserverRegistration Registration = 0;
        std::shared_ptr<ObserverLink> Link;
    };

    explicit LDeviceLocal(const KT::DeviceIdentifier& identifier);

    bool GetDeviceNameLocked() REQUIRES(mMutex);
    int ConnectLocked(DeviceParamCallback callback, void* context, RemovedObserver& removed) REQUIRES(mMutex);
    int DisconnectLocked(RemovedObserver& removed) REQUIRES(mMutex);
    // Stores the callback and starts observing; false when no observer could
    // be added (nothing is then registered).
    bool RegisterCallback(DeviceParamCallback callback, void* context) REQUIRES(mMutex);
    // Closes the link, so that nothing more reaches the host through it; the
    // registration comes out in removed.
    void UnRegisterCallback(RemovedObserver& removed) REQUIRES(mMutex);
    static void RemoveObserver(RemovedObserver& removed);

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

    // A notification, or a nudge (no user info), through link: decides what
    // it carries and hands the host, in order, what is queued for it.
    static void DeviceCallBack(void* context, const std::string& name,
                               const KT::Platform::PlistNode& userInfo);

    const KT::RCPtr<LMacLocalConnector> mConnector;
    KT::Mutex mMutex;
    // The helper's name of this device: its 'GtDI' answer, empty until then.
    std::string mHelperDeviceID GUARDED_BY(mMutex);
    std::uint64_t mClientID GUARDED_BY(mMutex) = 0;
    KT::RCPtr<KT::LIBuffer> mMessageBuffer GUARDED_BY(mMutex);
    KT::Platform::ObserverRegistration mRegistration GUARDED_BY(mMutex) = 0;
    std::shared_ptr<ObserverLink> mLink GUARDED_BY(mMutex);
    std::atomic<bool> mConnected{false};
};
