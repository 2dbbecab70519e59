// The process's one client of the device helper: the per-user helper process
// that owns the attached devices and answers on the message port
// kHelperPortName. LMacLocalConnector finds that port, starts the helper's
// launch agent through launchctl when the port is missing and waits for it,
// sends the helper's requests with fixed time-outs and reads the helper's
// device list. Attached devices build the other requests and send them
// through SendMessageToServer.
//
// Ownership: one instance, made on first use and never destroyed by an exit-
// time destructor (an exit-time disconnect may still send through it);
// attached devices hold further references. Threads: any thread may call
// everything here. mPortLock guards mPort (the port is used outside the lock);
// mLaunchLock guards the launch state; mFindMutex serialises FindDevices and is
// taken before mPortLock. No lock is held while a request is in flight, a
// command runs or a start-up wait lasts.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "DeviceControl/CommonInc/DeviceIdentifier.h"
#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/Array.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "Platform/MessagePort.h"
#include "Platform/ThreadAnnotations.h"
#include "Platform/TimeoutTable.h"

// The helper protocol as the library uses it.
namespace MacLocalProtocol
{

// Request codes: four characters read as a big-endian number.
inline constexpr std::int32_t LocalRequestGetDeviceList =
    0x4774444C; // 'GtDL', no data; reply: array of records
inline constexpr std::int32_t LocalRequestGetDeviceID =
    0x47744449; // 'GtDI', device ID record; reply: plist string
inline constexpr std::int32_t LocalRequestGetClientID = 0x47744349; // 'GtCI', no data; reply: 8 or 4 bytes LE
inline constexpr std::int32_t LocalRequestConnect = 0x436E6374;     // 'Cnct', dictionary; one-way
inline constexpr std::int32_t LocalRequestDisconnect = 0x44436E74;  // 'DCnt', dictionary; one-way
inline constexpr std::int32_t LocalRequestParamMessage =
    0x5350724D; // 'SPrM', dictionary; raw reply for a get

// Keys of the request dictionaries (XML property lists) and of the helper's
// notifications.
inline constexpr char kDeviceIDKey[] = "DeviceIDKey";
inline constexpr char kClientIDKey[] = "ClientIDKey";
inline constexpr char kParameterDataKey[] = "ParameterDataKey";

inline constexpr char kHelperPortName[] = "com.korvanelabs.device.{9E0C3419-93E1-4E92-B8E3-79141B049228}";
inline constexpr char kLaunchAgentPlist[] =
    "/Library/LaunchAgents/com.korvane.lumetraworks.wirebridge.helper.plist";
inline constexpr char kLaunchAgentLabel[] = "com.korvane.lumetraworks.wirebridge.helper";

// The helper's start-up wait in ticks of 1/60 s.
inline constexpr std::uint32_t kStartupWaitTicks = 7200;

// Time-outs of a request; tests shorten them with
// MacLocalTimeouts::ScopedOverride.
struct MacLocalTimeoutList
{
    enum Name : unsigned
    {
        SEND,        // handing the request over
        FIRST_REPLY, // a reply, until a first request has been accepted
        REPLY,       // a reply, afterwards
        COUNT
    };
    static constexpr std::uint32_t kMilliseconds[COUNT] = {2500, 30000, 5000};
};
using MacLocalTimeouts = KT::Platform::TimeoutTable<MacLocalTimeoutList>;

} // namespace MacLocalProtocol

class LMacLocalConnector : public virtual KT::LRefCountedObject
{
public:
    using Bytes = KT::Platform::PortBytes;

    // Makes sure that the instance exists and that the helper's port can be
    // reached: when it is missing, runs "launchctl load -F <agent plist>" and
    // "launchctl start <label>", then waits up to kStartupWaitTicks for the
    // port. One start attempt runs at a time: callers that arrive during one
    // wait for it to end instead of starting the helper again. When both
    // commands report that they could not be run at all, nothing can start the
    // helper and there is no wait.
    static void Create();

    // Create, then the instance.
    static KT::RCPtr<LMacLocalConnector> GetTheMacLocalConnector();

    // Drops the process's reference to the instance (the next use makes a new
    // one). Nothing in the library calls it; tests do.
    static void Release();

    // True when the port is known; otherwise looks it up once more and keeps
    // what it finds. A port that a request found gone has been dropped.
    bool MessagePortValid();

    // Sends one request: request null for no data; reply null for a one-way
    // request, else it receives the reply (nullopt for a null reply). 0 on
    // success, -1 on any failure. A request that finds no server drops the
    // port, so the next GetTheMacLocalConnector looks for it (and starts the
    // helper) again.
    [[nodiscard]] int SendMessageToServer(std::int32_t messageId, const Bytes* request,
                                          std::optional<Bytes>* reply);

    // Fills devices with the helper's attached devices ('GtDL'): 0, or -1 when
    // the request failed (devices empty). An unreadable reply gives 0 and no
    // devices; elements that are not a record [valid device ID, anything] are
    // skipped; a name that is not a string variant is left empty.
    [[nodiscard]] int FindDevices(KT::Array<KT::DeviceIdentifier>& devices);

    // The reading of a 'GtDL' reply that FindDevices does: devices becomes the
    // reply's devices, none for an unreadable reply, with the same skipping.
    static void ReadDeviceList(const Bytes& reply, KT::Array<KT::DeviceIdentifier>& devices);

    // Test seam: callers of Create now waiting for another caller's start
    // attempt.
    static int GetLaunchWaitersForTesting();

    ~LMacLocalConnector() override;

private:
    LMacLocalConnector();

    void EnsurePort();
    void LaunchAndWait();
    std::shared_ptr<KT::Platform::IRemoteMessagePort> CurrentPort() EXCLUDES(mPortLock);

    const std::string mPortName;
    KT::Mutex mFindMutex ACQUIRED_BEFORE(mPortLock);
    KT::FastMutex mPortLock;
    std::shared_ptr<KT::Platform::IRemoteMessagePort> mPort GUARDED_BY(mPortLock);
    // Set by the first request that the port accepts; the reply time-out is
    // then the shorter one for the rest of the instance's life.
    std::atomic<bool> mHasSuccessfullySentMessage{false};
    // A standard mutex for the condition variable; the analysis does not see
    // it, so the comments say what it guards.
    std::mutex mLaunchLock;
    std::condition_variable mLaunchEnded;
    bool mLaunching = false;          // guarded by mLaunchLock
    std::uint64_t mLaunchesEnded = 0; // guarded by mLaunchLock
};
