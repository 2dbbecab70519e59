// SimulatedDevice: a network device for the tests of device control. It
// listens on a loopback address through the library's connection manager,
// serves any number of TCP, dual-socket and UDP clients at once, records
// every message they send, answers the channels as a device does, sends
// notification bursts with chosen sequence IDs, and misbehaves on request.
// Payloads are bytes chosen by the test (a device message is the test's to
// encode); the device looks at none of them.
//
// Channels, as the device plays them:
//   0  notifications: SendNotifications (chosen sequence IDs, older copies,
//      parts) or Send.
//   1  requests: each is answered by the script (SetScript), a function of the
//      request's bytes giving zero or more replies, each with its own channel
//      and delay. No script, or no replies: no answer (a client's time-out).
//   2  keep-alive: an empty message is answered with an empty message on 4
//      (SetAnswerKeepAlive, on by default). SendKeepAlive sends the device's
//      own, whose channel-4 answers are recorded like every message.
//   3  identify: answered with the payload given to SetIdentify; none by
//      default.
//
// Clients are numbered from 1 in the order the manager hands them over.
// Toward TCP clients the device reads and writes the socket itself, with a
// frame writer and reader of its own (support/RawFrame.h), its frames going
// out whole under the socket's send lock, however long a host that reads
// slowly makes them wait; this is what the fault switches act on.
// Dual-socket and UDP clients run on the library's connection (channels 0
// and 1 reliable over UDP): they are recorded and answered the same way, but
// the write faults, SetReading, SendNotifications and SendRaw do not reach
// them.
//
// Threads: the test's thread calls everything below; the manager's thread
// hands over clients; one reader thread per TCP client and the connections'
// delivery threads record and answer; one scheduler thread sends replies
// when they are due. mLock guards the clients, the record and the switches.
// Stop (and the destructor) stops all of them in about half a second. Every
// wait is bounded.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "support/RawFrame.h"

class LNetworkConnection;
class LNetworkConnectionManager;
class LNetworkSocket;

namespace TestDevice
{

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kLoopback = 0x7F000001;
// A loopback address no interface lists: a device there counts as remote.
constexpr std::uint32_t kRemoteLoopback = 0x7F000002;
constexpr std::chrono::milliseconds kBound{10000};

class SimulatedDevice
{
public:
    struct Options
    {
        std::uint32_t address = kLoopback;
        // 0: a free port found by support/TestPorts.h.
        std::uint16_t port = 0;
        // The send buffer of each TCP client's socket, as a device's small
        // stack would have it; 0 keeps the system's, which grows to megabytes
        // on the loopback interface.
        int sendBufferBytes = 0;
    };

    enum class ClientKind
    {
        kTcp,         // one TCP socket (what device control opens)
        kDualSockets, // UDP for channels 0 and 1, TCP for the rest
        kUdp          // one UDP socket from the UDP hello
    };

    // One message read from a client.
    struct Message
    {
        std::size_t client = 0;
        std::uint32_t channel = 0;
        std::int32_t sequenceID = 0;
        // previousSequenceMsgCount, or 1 - the part count of a message
        // reassembled from parts.
        std::int32_t count = 0;
        Bytes payload;
    };

    // A reply of the script: payload on channel, sent delay after the request
    // arrived. Replies of one request go out in order of their delays.
    struct Reply
    {
        std::uint32_t channel = 1;
        Bytes payload;
        std::chrono::milliseconds delay{0};
    };
    using Script = std::function<std::vector<Reply>(const Bytes& request)>;

    // One notification of a burst on channel 0 (TCP clients).
    struct Notification
    {
        std::int32_t sequenceID = 0;
        Bytes payload;
        // Copies of older messages appended after the payload, newest first;
        // their number goes out as the count (previousSequenceMsgCount).
        std::vector<Bytes> older;
        // Above 1: the payload goes out as that many parts of one message, with
        // consecutive sequence IDs from sequenceID.
        std::uint32_t parts = 1;
    };

    // How the device spoils the frames it writes to TCP clients.
    enum class WriteFault
    {
        kNone,
        kGarbageBefore,              // garbage bytes before every frame
        kTruncatedHeaderThenSilence, // the next frame stops after 20 header bytes; nothing more follows
        kTruncatedHeaderThenClose,   // the same, then the connection is closed cleanly
        kWrongCookie,                // every frame's cookie is one byte off
        kBadHeader,                  // every frame gives version 3, which fails the checks
    };

    using Predicate = std::function<bool(const std::vector<Message>&)>;

    // Starts listening; IsListening tells whether it could.
    SimulatedDevice();
    explicit SimulatedDevice(const Options& options);
    ~SimulatedDevice();
    SimulatedDevice(const SimulatedDevice&) = delete;
    SimulatedDevice& operator=(const SimulatedDevice&) = delete;

    bool IsListening() const { return mPort != 0; }
    std::uint32_t Address() const { return mAddress; }
    std::uint16_t Port() const { return mPort; }

    // ---- Clients
    // Waits until at least n clients have been accepted (n from 1).
    bool WaitForClient(std::size_t n, std::chrono::milliseconds bound = kBound);
    std::size_t ClientCount();
    // The kind of client n; kTcp for one that does not exist.
    ClientKind KindOf(std::size_t client);
    // Clients closed at once by SetDropNewClients.
    std::size_t DroppedClients();
    // Waits until a TCP client's stream has ended (the client closed it).
    bool WaitForClientGone(std::size_t client, std::chrono::milliseconds bound = kBound);

    // ---- The record
    std::vector<Message> Messages();
    // Waits until the record satisfies the predicate.
    bool WaitFor(const Predicate& predicate, std::chrono::milliseconds bound = kBound);
    // The first recorded message that matches, waiting for one.
    std::optional<Message> WaitForMessage(const std::function<bool(const Message&)>& match,
                                          std::chrono::milliseconds bound = kBound);
    // The first recorded message of the client on the channel, waiting for one.
    std::optional<Message> WaitForMessage(std::size_t client, std::uint32_t channel,
                                          std::chrono::milliseconds bound = kBound);

    // ---- Answers
    void SetScript(Script script);
    void SetAnswerKeepAlive(bool answer);
    // The identify reply's payload; nullopt answers nothing.
    void SetIdentify(std::optional<Bytes> payload);

    // ---- Sending to a client; false when it is gone (or, for the TCP-only
    // ones, not a TCP client).
    // An empty message on channel 2.
    bool SendKeepAlive(std::size_t client);
    // One message on the channel, numbered by the device's counter for it.
    // Replies that are due go out first, so that a long run of sends (a
    // notification burst) does not hold a request's answer back.
    bool Send(std::size_t client, std::uint32_t channel, const Bytes& payload);
    // A burst, all its frames in one write (TCP clients).
    bool SendNotifications(std::size_t client, const std::vector<Notification>& burst);
    // Any bytes on the client's stream (TCP clients).
    bool SendRaw(std::size_t client, const Bytes& bytes);

    // ---- Faults
    void SetWriteFault(WriteFault fault);
    // Answers nothing at all (script, keep-alive, identify); still records.
    void SetSilent(bool silent);
    // False: stops reading TCP clients' sockets, so that their sends back up.
    void SetReading(bool reading);
    // New clients are closed as soon as the manager hands them over.
    void SetDropNewClients(bool drop);
    // Clean: the stream ends (FIN) after what was written. Abrupt: reset (RST).
    void CloseClient(std::size_t client, bool abrupt);
    // Stops accepting and closes every client; the destructor calls it.
    void Stop();

private:
    struct Client;
    class LAcceptor;
    class LClientCallback;
    struct Due
    {
        std::size_t client;
        std::uint32_t channel;
        Bytes payload;
    };

    void Accept(const KT::RCPtr<LNetworkConnection>& connection);
    void ReadTcp(const std::shared_ptr<Client>& client);
    // Records a message and answers it as the channel says.
    void Handle(std::size_t client, std::uint32_t channel, std::int32_t sequenceID, std::int32_t count,
                const Bytes& payload);
    void Schedule(std::size_t client, std::uint32_t channel, const Bytes& payload,
                  std::chrono::milliseconds delay);
    void RunScheduler();
    // Writes frames to a TCP client under its socket's send lock, spoiled as
    // the write fault says.
    // number: each frame gets the next sequence ID of its channel.
    bool WriteFrames(const std::shared_ptr<Client>& client, std::vector<RawPeer::RawFrame> frames,
                     bool number);
    bool SendOne(std::size_t client, std::uint32_t channel, const Bytes& payload);
    std::shared_ptr<Client> Find(std::size_t client);
    void Close(const std::shared_ptr<Client>& client, bool abrupt);

    std::uint32_t mAddress;
    std::uint16_t mPort = 0;
    const int mSendBufferBytes;
    KT::RCPtr<LAcceptor> mAcceptor;
    KT::RCPtr<LNetworkConnectionManager> mManager;

    std::mutex mLock;
    std::condition_variable mChanged;
    std::vector<std::shared_ptr<Client>> mClients;
    std::size_t mDropped = 0;
    std::vector<Message> mMessages;
    Script mScript;
    bool mAnswerKeepAlive = true;
    std::optional<Bytes> mIdentify;
    WriteFault mWriteFault = WriteFault::kNone;
    bool mSilent = false;
    bool mReading = true;
    bool mDropNewClients = false;
    bool mStopping = false;

    // Replies by when they are due; those due at once keep their order.
    std::multimap<std::chrono::steady_clock::time_point, Due> mDue;
    bool mReplying = false; // the scheduler is sending a reply
    std::thread mScheduler;
};

} // namespace TestDevice
