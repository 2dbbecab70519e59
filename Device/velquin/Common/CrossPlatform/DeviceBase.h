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

#include <cstddef>
#include <cstdint>

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

// The acceptance handshake of a connecting client, as both device kinds keep
// it. At connect the client reads the token the device hands it; the device
// then accepts the client by a notice carrying that token, and that notice may
// arrive (on the delivery thread) before the token's reply has come back to
// the connecting thread. So a notice that arrives while the token is not yet
// known is kept, the latest one, and matched when the token is stored; one
// that arrives after is matched at once; a connect forgets the token of the
// one before, so no notice is matched against an earlier connect's token. A
// match accepts the client and gives the state to report to the host as
// PARAM_ID_ACCESS_GRANTED: at once for a notice matched on arrival, else as a
// grant that falls due when the token is stored and is handed out once, to
// whichever takes it first: the delivery, before the next notification it
// delivers, or the connecting thread, before its connect returns. Nobody waits
// for the handshake.
//
// Threads: connecting threads and delivery threads at once. mLock, a leaf,
// guards every field.
class DeviceAcceptance
{
public:
    // A connect starts: the token is unknown, notices are kept until it is
    // stored. The accepted flag stays as it was.
    void BeginHandshake();
    // The connect read the device's token. True when the kept notice carried
    // it: the client is accepted and a grant is due.
    bool StoreToken(std::int64_t token);
    // The connect failed, or the client disconnected: the kept notice and a
    // grant not yet handed out are dropped, and while no token was stored
    // notices are dropped too, until the next connect starts.
    void CancelHandshake();
    // A notice of the device: true when it accepts the client now, the state
    // to be reported at once.
    [[nodiscard]] bool ReceiveNotice(std::int64_t token, std::int32_t state);
    // Hands out the due grant once: true with its state.
    [[nodiscard]] bool TakeGrant(std::int32_t& state);
    bool HasGrant() const;
    bool IsAccepted() const;
    // Forgets the acceptance: the device must accept its client again.
    void ClearAccepted();

    // What the host is given for an acceptance: one entry,
    // PARAM_ID_ACCESS_GRANTED with the state as an Int32.
    static KT::ParamValues Granted(std::int32_t state);

private:
    enum class Phase
    {
        NoToken,    // no connect has stored a token since the last cancel
        Pending,    // a connect waits for the token: notices are kept
        TokenKnown, // notices are matched against mToken
    };

    mutable KT::FastMutex mLock;
    Phase mPhase GUARDED_BY(mLock) = Phase::NoToken;
    std::int64_t mToken GUARDED_BY(mLock) = -1;
    bool mKept GUARDED_BY(mLock) = false;
    std::int64_t mKeptToken GUARDED_BY(mLock) = 0;
    std::int32_t mKeptState GUARDED_BY(mLock) = 0;
    bool mGrantDue GUARDED_BY(mLock) = false;
    std::int32_t mGrantState GUARDED_BY(mLock) = 0;
    bool mAccepted GUARDED_BY(mLock) = false;
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
