// LDeviceNetwork: a device on the local network, reached over one TCP message
// connection to its identifier's address and port. Every operation is a device
// message on a fixed channel: 1 gets, sets and requests (replies on 1), 2 and
// 4 the keep-alive, 3 the identify exchange; notifications arrive on 0 and
// reach the host's callback once the device has accepted this client. Made by
// Create, held by RCPtr by the manager's remote list; while connected, the
// connection's registrations (channels 0 and 2) hold it too, until a
// disconnect takes them off.
//
// Threads:
// - Host threads run the device operations (and the manager's search and
//   refresh, UpdateDeviceIdentifier and IsConnected).
// - The channel-0 registration's delivery thread runs ReceivedMessageCallback
//   for notifications and calls the host's callback with mReceiveMutex held;
//   the callback may call any exported function, on this device too.
// - The channel-2 registration's delivery thread answers keep-alives and,
//   like the channel-0 one, is told of connection errors; it takes no device
//   lock.
// Locks, in the order they may be taken: mReceiveMutex (one notification at
// a time, the host's callback inside it), mConnectMutex (connect and
// disconnect), mRequestMutex (one exchange at a time: encode into
// mSendBuffer, send, wait on mReplyEvent), then the leaf locks mStateLock (the
// connection pointer, the host's callback and context) and the base's
// mIdentifierLock, never together.
// A thread that holds any device lock never waits for a delivery thread: a
// disconnect takes the connection out and closes it at once, and removes the
// registrations (which waits for a callback in progress) through
// DeferredDeviceWork once the caller's locks are released, then takes
// mReceiveMutex once, so that a host call in progress on another thread ends
// before the disconnect returns. The acceptance (token, held messages, what is
// queued for the host, accepted flag) guards itself; the validated flag, the
// times and the keep-alive counter are atomics. Every notification is decided
// by the acceptance in arrival order and what it queues for the host is
// handed out under mReceiveMutex, by the delivery thread or, for what the
// connect's token let through (an acceptance that came before the token and
// the values behind it), by the connecting thread once its other locks are
// released; so the grant stays ahead of later notifications. Meanwhile the
// delivery thread waits for that call, as it would for its own: this
// device's later notifications must follow it anyway, and no other device's
// wait behind it.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "DeviceControl/CommonInc/DeviceIdentifier.h"
#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/Buffer.h"
#include "KTFramework/Utilities/Threading/Event.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "Platform/ThreadAnnotations.h"
#include "velquin/Common/CrossPlatform/DeviceBase.h"
#include "velquin/Common/CrossPlatform/DeviceNetworkTimeouts.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnection.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnectionCallbackInterface.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnectionSendBuffer.h"

class LDeviceNetwork : public LDeviceBase, public LNetworkConnectionCallbackInterface
{
public:
    // The reachability check of IsConnected and of the search's probing.
    using ReachabilityCheck = bool (*)(const KT::DeviceIdentifier& identifier);

    // The send buffer's first size; it grows for larger messages.
    static constexpr std::size_t kSendBufferSize = 2048;
    // Every this many probes of all network devices together, the check is a
    // keep-alive exchange instead of a reachability check.
    static constexpr std::uint32_t kKeepAliveInterval = 150;

    static KT::RCPtr<LDeviceNetwork> Create(const KT::DeviceIdentifier& identifier);

    // Slot operations. Results of connect and the parameter operations follow
    // the exported functions.
    // Connected; with probe, when nothing was sent or received within idleMs,
    // the connection is checked (a failed check disconnects: false).
    bool IsConnected(bool probe, std::uint32_t idleMs) override;
    // 0 accepted, 1 awaiting acceptance (a notification reports it), -5
    // already connected, -6 failed (the device is left disconnected).
    int ConnectDevice(DeviceParamCallback callback, void* context) override;
    // Always 0. The token, the flags and the host's callback stay. Once it
    // returns, the host's callback does not run for this connection any more;
    // called from inside that callback, it ends the delivery with the call in
    // progress.
    int DisconnectDevice() override;
    int RequestParamValuesOrRanges(std::uint32_t messageID, const KT::Variant& request) override;
    int GetParamRanges(const KT::ParamRanges& ranges, KT::ParamValues& values) override;
    int GetParamValues(const KT::ParamDescriptors& descriptors, KT::ParamValues& values) override;
    // The reply's length (positive) with value set, or -1/-3 with value
    // cleared.
    int GetParamValue(const KT::ParamDescriptor& descriptor, KT::Variant& value) override;
    int SetParamValue(const KT::ParamDescriptor& descriptor, const KT::Variant& value) override;
    // Same device ID; or same address and port, and then a device whose
    // location ID is 1 takes identifier as its own.
    bool IsDeviceEqual(const KT::DeviceIdentifier& identifier) override;
    bool HasBeenValidated() const override;

    void ReceivedMessageCallback(const KT::RCPtr<LNetworkConnection>& connection,
                                 const KT::ConstRCPtr<KT::LIBuffer>& payload, std::uint32_t channel,
                                 std::int32_t sequenceID, std::int32_t count) override;
    // Closes the connection; the next probe or send finds it inactive and
    // disconnects the device.
    void ConnectionErrorCallback(const KT::RCPtr<LNetworkConnection>& connection,
                                 NetworkError error) override;

    // Whether a TCP connection to the identifier's address and port can be
    // made within the REACHABLE time-out.
    static bool IsReachable(const KT::DeviceIdentifier& identifier);
    // IsReachable, or what a test put in its place.
    static bool CheckReachable(const KT::DeviceIdentifier& identifier);
    // Test seam: puts check in place of IsReachable (null puts it back) and
    // returns what was there.
    static ReachabilityCheck ExchangeReachabilityCheck(ReachabilityCheck check);
    // Probes made by all network devices so far.
    static std::uint32_t GetKeepAliveCount();

    // The identify exchange on channel 3, over the device's connection or a
    // short one of its own. identifier receives the device's identifier with
    // the reported device ID and name. 0: validated for the first time or
    // changed (the device took it); 1: unchanged; RESULT_FAILED: no answer, a
    // malformed one, or another device's ID (the device is left unchanged).
    [[nodiscard]] int UpdateDeviceIdentifier(KT::DeviceIdentifier& identifier);
    // Milliseconds since the later of the last receive and the last send, cut
    // to 32 bits.
    std::uint32_t GetTimeSinceLastComm() const;

    // The offsets of the device messages that one notification delivery
    // (channel 0: sequenceID, and count copies of earlier messages behind the
    // message, newest first) brings to the host, in the order they go there:
    // the copies that fill the gap since lastSequenceID, oldest first, then the
    // message itself at 0. Empty when the payload does not start with a whole
    // message.
    static std::vector<std::uint64_t> FindNotificationMessages(const KT::ConstRCPtr<KT::LIBuffer>& payload,
                                                               std::int32_t sequenceID, std::int32_t count,
                                                               std::int32_t lastSequenceID);

    ~LDeviceNetwork() override;

private:
    explicit LDeviceNetwork(const KT::DeviceIdentifier& identifier);

    // ConnectDevice with mConnectMutex held; connection receives the
    // connection of a successful connect.
    int ConnectLocked(DeviceParamCallback callback, void* context, KT::RCPtr<LNetworkConnection>& connection)
        REQUIRES(mConnectMutex);
    // Hands the host, in order, what the acceptance has queued for it, while
    // connection is the device's.
    void HandOut(const KT::RCPtr<LNetworkConnection>& connection) REQUIRES(mReceiveMutex);

    // One message from mSendBuffer on channel 1, mRequestMutex held: 0, -1
    // (sending failed: the connection is taken out), -3 (no connection).
    int SendMessage(const KT::RCPtr<LNetworkConnection>& connection) REQUIRES(mRequestMutex);
    int SendMessageWithReply(const KT::RCPtr<LNetworkConnection>& connection,
                             KT::ConstRCPtr<KT::LIBuffer>& reply) REQUIRES(mRequestMutex);
    // A get of messageID with payload: 0 with the reply, -1 (the codec refused
    // the message or the exchange failed) or -3.
    int ExchangeGet(std::uint32_t messageID, const KT::Variant& payload, KT::ConstRCPtr<KT::LIBuffer>& reply);
    // Decodes a reply into values: its length, or a failure (-1 for a reply
    // that is not a parameter-values message) with values cleared.
    static int DecodeValues(const KT::ConstRCPtr<KT::LIBuffer>& reply, KT::ParamValues& values);
    // Decodes and delivers the message at offset unless connection is no
    // longer the device's; the decoder's result. mReceiveMutex held.
    int ProcessMessage(const KT::RCPtr<LNetworkConnection>& connection,
                       const KT::ConstRCPtr<KT::LIBuffer>& payload, std::uint64_t offset)
        REQUIRES(mReceiveMutex);
    void ProcessNotification(const KT::RCPtr<LNetworkConnection>& connection,
                             const KT::ConstRCPtr<KT::LIBuffer>& payload, std::int32_t sequenceID,
                             std::int32_t count);
    void CallHost(const KT::ParamValues& values) REQUIRES(mReceiveMutex);

    KT::RCPtr<LNetworkConnection> LoadConnection() const;
    bool IsCurrent(const KT::RCPtr<LNetworkConnection>& connection) const;
    // Takes the connection out (only when it is expected, unless expected is
    // null), closes it and has its registrations removed through
    // DeferredDeviceWork.
    void Detach(const KT::RCPtr<LNetworkConnection>& expected);

    static std::int64_t Now();

    const KT::RCPtr<LNetworkConnectionSendBuffer> mSendBuffer PT_GUARDED_BY(mRequestMutex);
    const KT::RCPtr<KT::LEvent> mReplyEvent;

    mutable KT::FastMutex mStateLock;
    DeviceParamCallback mHostCallback GUARDED_BY(mStateLock) = nullptr;
    void* mHostContext GUARDED_BY(mStateLock) = nullptr;
    KT::RCPtr<LNetworkConnection> mConnection GUARDED_BY(mStateLock);

    DeviceAcceptance mAcceptance;
    std::atomic<bool> mValidated{false};
    std::atomic<std::int64_t> mLastReceiveTime;
    std::atomic<std::int64_t> mLastSendTime;

    KT::Mutex mReceiveMutex ACQUIRED_BEFORE(mConnectMutex, mRequestMutex);
    KT::Mutex mConnectMutex ACQUIRED_BEFORE(mRequestMutex);
    KT::FastMutex mRequestMutex ACQUIRED_BEFORE(mStateLock);
    std::int32_t mLastSequenceIDs[NetworkWireFormat::kChannelCount] GUARDED_BY(mReceiveMutex);

    static std::atomic<std::uint32_t> smKeepAliveCounter;
    static std::atomic<ReachabilityCheck> smReachabilityCheck;
};
