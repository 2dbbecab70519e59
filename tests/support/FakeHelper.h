// A device helper for tests: serves the helper's message port under its real
// name in the process's runtime directory, answers the six requests from a
// list of devices the test gives, logs every request, and posts device
// notifications on demand. Written apart from the library: it reads request
// dictionaries with the plist library's own calls and device messages and
// variant records with its own byte reader and writer.
//
// Threads: the port server's thread runs the handler; the test's threads call
// the rest. mLock guards the devices, the log, the faults and the counters;
// no lock is held while a notification is posted or the server is stopped.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/MessagePortServer.h"

namespace HelperTesting
{

using Bytes = std::vector<unsigned char>;

// Serialised variant records (u32 length, u32 version 1, u32 kind, payload),
// written byte by byte.
namespace Records
{
Bytes Empty();
Bytes Bool(bool value);
Bytes Int32(std::int32_t value);
Bytes Int64(std::int64_t value);
Bytes String(const std::string& text);
Bytes Buffer(const Bytes& bytes);
Bytes Array(const std::vector<Bytes>& elements);
// A device ID: an array of twelve Int32 words.
Bytes DeviceID(const std::vector<std::int32_t>& words);
// A parameter-values list: entries [value, Int32 ID, descriptor (Empty)].
Bytes ParamValues(const std::vector<std::pair<std::int32_t, Bytes>>& entries);
// A device message: u32 total length, u32 kind, u32 message ID, the record.
Bytes DeviceMessage(std::uint32_t kind, std::int32_t messageId, const Bytes& record);

// The elements of an array record, or nullopt when the bytes are no array
// record.
std::optional<std::vector<Bytes>> ReadArray(const Bytes& record);
} // namespace Records

struct FakeDevice
{
    std::vector<std::int32_t> IdWords;    // twelve words
    std::string Name;                     // the user-defined name in the device list
    std::string HelperId;                 // the 'GtDI' answer and notification name
    std::map<std::int32_t, Bytes> Values; // parameter ID -> value record
    std::int64_t Token = 0x1122334455667788;
    bool AcceptAtOnce = true; // the answer to a get of -4
};

// One request as the helper received it.
struct LoggedRequest
{
    std::string Code; // "GtDL", "GtDI", ...
    std::optional<Bytes> Data;
    std::string DeviceId;                 // from "DeviceIDKey"
    std::optional<std::int64_t> ClientId; // from "ClientIDKey"
    std::uint32_t Kind = 3;               // of the device message under "ParameterDataKey"
    std::int32_t MessageId = 0;
    Bytes Payload; // its record
    bool ReplyWanted = false;
};

enum class Fault
{
    None,
    SlowReply,      // waits SlowMs before answering anything
    NullReply,      // gets and look-ups answer with a null reply
    EmptyReply,     // ... with an empty reply
    MalformedPlist, // 'GtDL' and 'GtDI' answer with bytes that are no property list
    WrongRootType,  // 'GtDL' answers a dictionary, 'GtDI' an integer
    ClientId4Bytes, // 'GtCI' answers 0xFFFFFFFF in 4 bytes
    ClientId6Bytes, // 'GtCI' answers 6 bytes
    DieMidRequest,  // the next request is read, then the helper goes without answering
    GarbageReply,   // gets answer with bytes that are no device message
    TruncatedReply  // gets answer with the first 8 bytes of their device message
};

class FakeHelper
{
public:
    static constexpr char kPortName[] = "com.korvanelabs.device.{9E0C3419-93E1-4E92-B8E3-79141B049228}";

    explicit FakeHelper(std::vector<FakeDevice> devices = {});
    ~FakeHelper();
    FakeHelper(const FakeHelper&) = delete;
    FakeHelper& operator=(const FakeHelper&) = delete;

    // Starts serving (false when the port cannot be made); Stop removes the port.
    bool Start();
    void Stop();
    // Quits and comes back on a new socket under the same name.
    bool Restart();
    bool IsServing();

    void SetFault(Fault fault, std::uint32_t slowMs = 0);
    // Posts acceptance [token, true] on its own after answering a get of -4 with false.
    void SetAcceptAfterHandshake(bool accept);
    void SetDevices(std::vector<FakeDevice> devices);
    std::vector<FakeDevice> Devices();

    std::vector<LoggedRequest> Requests();
    // Waits until count requests have arrived; false after timeoutMs.
    bool WaitForRequests(std::size_t count, int timeoutMs = 10000);
    void ClearRequests();

    // Notifications under the device's helper ID with "ParameterDataKey" set to
    // a device message of kind 0, message ID -6 (unless given) and the values.
    bool PostValues(std::size_t device, const std::vector<std::pair<std::int32_t, Bytes>>& entries);
    enum class AcceptanceForm
    {
        Array,  // [Int64 token, Bool state]
        Bytes12 // Buffer: token LE64, state LE32
    };
    bool PostAcceptance(std::size_t device, std::int64_t token, bool state, AcceptanceForm form);
    bool PostMessage(std::size_t device, std::uint32_t kind, std::int32_t messageId, const Bytes& record);

    // Client IDs handed out so far by 'GtCI'.
    std::int64_t LastClientId();

    // One line per request, as the executable writes to its log.
    static std::string Describe(const LoggedRequest& request);

    // Appends each request's line to path as it arrives.
    void SetLogFile(const std::string& path);

private:
    void Handle(std::int32_t messageId, const std::optional<Bytes>& request, std::optional<Bytes>* reply);
    std::optional<Bytes> Answer(LoggedRequest& logged, const std::optional<Bytes>& request,
                                bool& postAcceptance, std::size_t& acceptDevice);
    std::optional<std::size_t> FindByHelperId(const std::string& id);

    std::mutex mLock;
    std::condition_variable mChanged;
    std::vector<FakeDevice> mDevices;                // guarded by mLock
    std::vector<LoggedRequest> mRequests;            // guarded by mLock
    Fault mFault = Fault::None;                      // guarded by mLock
    std::uint32_t mSlowMs = 0;                       // guarded by mLock
    bool mAcceptAfterHandshake = false;              // guarded by mLock
    std::int64_t mNextClientId = 0x0000000100000001; // guarded by mLock
    std::int64_t mLastClientId = 0;                  // guarded by mLock
    std::string mLogFile;                            // guarded by mLock
    std::thread mDeathThread;                        // guarded by mLock: stops the server for DieMidRequest
    std::atomic<int> mStopFd{-1};                    // the server's stop descriptor, for slow answers
    std::mutex mServerLock;                          // serialises Start, Stop and Restart
    std::unique_ptr<KT::Platform::MessagePortServer> mServer; // guarded by mServerLock
};

} // namespace HelperTesting
