// LDeviceBase: the one device abstraction behind the exported functions. The
// device manager keeps its local and remote lists as lists of LDeviceBase and
// forwards every per-device call through the virtual operations below; an
// attached device (LDeviceLocal) and a network device (LDeviceNetwork) derive
// from it. Created by a device kind's Create, held by RCPtr, owned by the
// manager's lists and by whatever call is running on it.
//
// Threads: the operations are called on the host's threads, with no manager
// lock held; each device kind serialises its own operations. The identifier may
// be replaced while other threads look the device up or sort the lists (a
// network device refreshes its identity), so mIdentifierLock guards every read
// and write of mIdentifier, and every accessor hands out copies, never a
// reference into it. mIdentifierLock is a leaf lock: nothing else is taken or
// called while it is held. The sort flag and keys are set at construction.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>

#include "DeviceControl/CommonInc/DeviceIdentifier.h"
#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/ParamDescriptor.h"
#include "KTFramework/Utilities/Storage/ParamValues.h"
#include "KTFramework/Utilities/Storage/StringT.h"
#include "KTFramework/Utilities/Storage/Variant.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "Platform/ThreadAnnotations.h"
#include "velquin/Common/CrossPlatform/VelquinInterface.h"

class LDeviceBase : public virtual KT::LRefCountedObject
{
public:
    using String = KT::StringT<char, unsigned short>;

    // The position of a device in the manager's lists, read in one piece under
    // the device's identifier lock. Devices that pass the remote test come
    // first, by the order of their device IDs; the others follow, flagged
    // before unflagged, larger keys first. A strict weak order: two keys
    // neither of which is less are equivalent.
    struct SortKey
    {
        bool remote;
        KT::Variant deviceID;
        bool flagged;
        std::int64_t key;

        bool operator<(const SortKey& other) const;
    };

    // Results of operations 1 to 7 follow the exported functions: 0 or more is
    // success, QVRXResult codes are failures.
    virtual bool IsConnected(bool probe, std::uint32_t idleMs) = 0;
    [[nodiscard]] virtual int ConnectDevice(DeviceParamCallback callback, void* context) = 0;
    [[nodiscard]] virtual int DisconnectDevice() = 0;
    // messageID is MESSAGE_ID_PARAM_RANGES or MESSAGE_ID_PARAM_DESCRIPTORS.
    [[nodiscard]] virtual int RequestParamValuesOrRanges(std::uint32_t messageID,
                                                         const KT::Variant& request) = 0;
    [[nodiscard]] virtual int GetParamRanges(const KT::ParamRanges& ranges, KT::ParamValues& values) = 0;
    [[nodiscard]] virtual int GetParamValues(const KT::ParamDescriptors& descriptors,
                                             KT::ParamValues& values) = 0;
    [[nodiscard]] virtual int GetParamValue(const KT::ParamDescriptor& descriptor, KT::Variant& value) = 0;
    [[nodiscard]] virtual int SetParamValue(const KT::ParamDescriptor& descriptor,
                                            const KT::Variant& value) = 0;
    // The identifier's fields.
    virtual String GetUserDefinedName();
    virtual String GetVendorName();
    virtual String GetProductName();
    virtual std::uint32_t GetNetworkAddress();
    virtual std::uint32_t GetNetworkPort();
    // Replaces every field of the identifier.
    virtual void SetDeviceIdentifier(const KT::DeviceIdentifier& identifier);
    // Whether this device is the one the identifier names: by default, the
    // same device ID.
    virtual bool IsDeviceEqual(const KT::DeviceIdentifier& identifier);
    // Devices that are not yet known to be what their identifier says are left
    // out of the remote device list the host sees. Called with a manager list
    // lock held: it must not block.
    virtual bool HasBeenValidated() const;
    ~LDeviceBase() override;

    KT::DeviceIdentifier GetDeviceIdentifier() const;
    KT::Variant GetDeviceID() const;
    // Whether the device ID equals deviceID (KT::Variant equality).
    bool IsDeviceID(const KT::Variant& deviceID) const;
    bool IsRemoteDevice() const;
    SortKey GetSortKey() const;
    bool operator<(const LDeviceBase& other) const;

protected:
    explicit LDeviceBase(const KT::DeviceIdentifier& identifier);

    // For device kinds that read or replace the identifier together with
    // their own state; they take mIdentifierLock around the access.
    mutable KT::FastMutex mIdentifierLock;
    KT::DeviceIdentifier mIdentifier GUARDED_BY(mIdentifierLock);
    // The order of devices that fail the remote test: nothing sets these after
    // construction.
    bool mSortFlag = false;
    std::int64_t mFirstSortKey = 0;
    std::int64_t mSecondSortKey = 0;
};

// The acceptance handshake of a connecting client and the order in which a
// device's notifications reach the host, as both device kinds keep them. At
// connect the client reads the token the device hands it; the device then
// accepts the client by a notice carrying that token, and that notice, and
// values sent right behind it, may arrive (on the delivery thread) before the
// token's reply has come back to the connecting thread.
//
// Every message of the device goes through one decision, made in one hold of
// mLock, in the order the device sent it:
// - once the token is known, a notice carrying it accepts the client and puts
//   the grant (PARAM_ID_ACCESS_GRANTED with the notice's state) in the
//   device's queue for the host; values go there while the client is
//   accepted; anything else is dropped;
// - while a connect waits for the token, the first notice and everything
//   after it are held, in order, and decided as above when the token is
//   stored; values before any notice were sent before the device accepted
//   and are dropped (unless an earlier connection was accepted and not
//   forgotten);
// - a connect forgets the token of the one before, so no notice is matched
//   against an earlier connect's token.
// What is queued for the host is taken in order by one thread at a time (the
// device kind sees to that), so the grant and the values behind it reach the
// host in the order decided and nothing decided later overtakes them. Nobody
// waits for the handshake.
//
// The bound: while the token is unknown at most kMostHeldMessages messages,
// and kMostHeldBytes of their encoded size, are held, like a connection's
// receive backlog. At the bound the oldest held values are dropped (a
// device's newer values supersede them); the notices are kept, since they
// decide the acceptance, unless nothing but notices is held.
//
// Threads: connecting threads and delivery threads at once. mLock, a leaf,
// guards every field.
class DeviceAcceptance
{
public:
    static constexpr std::size_t kMostHeldMessages = 1024;
    static constexpr std::size_t kMostHeldBytes = 8u * 1024u * 1024u;

    // Test seam: points in a delivery's order at which a test forces another
    // thread's step. Deciding and Decided surround the decision on one
    // message (values is the message, or null for a notice); Handing comes
    // after a thread has taken values for the host and before it calls the
    // host; Disconnecting comes when a disconnect has stopped the deliveries
    // and is about to wait for the one in flight.
    enum class Step
    {
        Deciding,
        Decided,
        Handing,
        Disconnecting,
    };
    using Hook = void (*)(Step step, const KT::ParamValues* values);

    // A connect starts: the token is unknown, notices are held until it is
    // stored, and what was held or queued for the host is forgotten. The
    // accepted flag stays as it was.
    void BeginHandshake();
    // The connect read the device's token: what was held is decided now.
    void StoreToken(std::int64_t token);
    // The connect failed, or the client disconnected: what is held or queued
    // is dropped, and while no token was stored notices are dropped too,
    // until the next connect starts.
    void CancelHandshake();
    // The client is gone for good: as CancelHandshake, and the acceptance and
    // token are forgotten, so that nothing more is queued for the host.
    void Close();
    // A notice of the device, and values of the device of the given encoded
    // size, in the order it sent them.
    void ReceiveNotice(std::int64_t token, std::int32_t state);
    // True when the values go to the host next, ahead of anything decided
    // later, and are not queued: the caller, the one thread that hands this
    // device's values out at that moment, hands them out itself.
    [[nodiscard]] bool ReceiveValues(const KT::ParamValues& values, std::size_t size);
    // The next values for the host, in order: false when there are none.
    [[nodiscard]] bool TakeNext(KT::ParamValues& values);
    bool HasNext() const;
    bool IsAccepted() const;
    // Forgets the acceptance: the device must accept its client again.
    void ClearAccepted();

    // What the host is given for an acceptance: one entry,
    // PARAM_ID_ACCESS_GRANTED with the state as an Int32.
    static KT::ParamValues Granted(std::int32_t state);

    // Puts hook in place (null takes it away) and returns what was there.
    static Hook ExchangeHook(Hook hook);
    static void RunHook(Step step, const KT::ParamValues* values);

private:
    enum class Phase
    {
        NoToken,    // no connect has stored a token since the last cancel
        Pending,    // a connect waits for the token: notices are held
        TokenKnown, // notices are matched against mToken
    };

    // One message of the device: a notice (token and state) or values.
    struct Message
    {
        bool Notice = false;
        std::int64_t Token = 0;
        std::int32_t State = 0;
        KT::ParamValues Values;
        std::size_t Size = 0;
    };

    void ReceiveLocked(Message&& message) REQUIRES(mLock);
    void HoldLocked(Message&& message) REQUIRES(mLock);
    // Token known: queues for the host what message gives it.
    void DecideLocked(Message& message) REQUIRES(mLock);
    void ForgetLocked() REQUIRES(mLock);

    mutable KT::FastMutex mLock;
    Phase mPhase GUARDED_BY(mLock) = Phase::NoToken;
    std::int64_t mToken GUARDED_BY(mLock) = -1;
    bool mAccepted GUARDED_BY(mLock) = false;
    std::deque<Message> mHeld GUARDED_BY(mLock);
    std::size_t mHeldBytes GUARDED_BY(mLock) = 0;
    std::deque<KT::ParamValues> mQueued GUARDED_BY(mLock);

    static std::atomic<Hook> smHook;
};

// Token and state of a device's acceptance notice: an Array [token, state],
// or at least 12 bytes (token, 8 bytes little-endian, then state, 4) of a byte
// buffer or, when textAllowed, of a String. False for any other value.
bool ReadAcceptanceNotice(const KT::Variant& value, bool textAllowed, std::int64_t& token,
                          std::int32_t& state);

// The device models that discovery looks for, by USB vendor and product ID.
constexpr std::uint32_t SUPPORTED_VID = 0x6B5E;
constexpr std::uint32_t SUPPORTED_PID = 0x2C71;
constexpr std::size_t SUPPORTED_HARDWARE_COUNT = 1;

// The entry's IDs, 0 past the table.
std::uint32_t GetSupportedVid(std::size_t index);
std::uint32_t GetSupportedPid(std::size_t index);
// The product GUID of a USB device model: 01 02 03 04, the vendor ID and the
// product ID little-endian, DE CA FB AD. KT::DeviceIdentifier reads the two IDs
// back out of a GUID of this form.
void VidPidToProductGuid(std::uint32_t vendorID, std::uint32_t productID, unsigned char (&guid)[16]);
