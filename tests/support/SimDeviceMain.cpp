// velquin_sim_device: a network device on a loopback address, as a program of
// its own (the demonstration and the host tests run it beside a host).
//   --address A.B.C.D   where it listens (default 127.0.0.1)
//   --port N            its port (default: one the kernel picks, never the
//                       protocol's default range)
//   --name NAME         its user-defined name (default "Simulated device")
//   --index N           its instance index (default 1)
//   --notify ID:MS      every MS ms, parameter ID (an Int32) rises by one and
//                       goes to every client as a notification (default 5:100)
//   --send-buffer N     each TCP client's socket sends from N bytes of buffer
//                       (default: the system's)
//   --control           reads commands on stdin, one a line, answering each
//                       with "ok" or "error" on stdout:
//                         fault none|garbage|truncate-silent|truncate-close|
//                               wrong-cookie|bad-header
//                         silent 0|1         answer nothing (but keep reading)
//                         notify-ms MS       the interval; 0 stops them
//                         burst N            N notifications back to back
//                         close-clients      resets every client's stream
//                         die-on-request     the next request on channel 1
//                                            ends the program unanswered
//                       and ending at the end of its input.
// Prints "listening on A.B.C.D:PORT" once it listens; ends on SIGTERM or
// SIGINT. Parameters: 1 gain (Int32 10), 2 serial (Int64 2^40 + 7), 3 muted
// (Bool false), 4 label (String "simulated"), and the notified one (Int32
// from 0). Gets of ID -7 or -5 answer all of them; sets of any ID are kept;
// asynchronous requests are answered on channel 0 with all of them. The
// connect handshake answers token and state, then reports acceptance on
// channel 0, so the host sees notifications at once.
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/DeviceMessageBytes.h"
#include "support/SimulatedDevice.h"

using namespace DeviceMessageBytes;
using TestDevice::SimulatedDevice;

namespace
{

constexpr std::int64_t kToken = 0x5EC0DE5EC0DE;
constexpr std::uint32_t kProductGuidWords[4] = {0x04030201, 0x6B5E, 0x2C71, 0xADFBCADE};
constexpr std::int32_t kAccessToken = -3;
constexpr std::int32_t kAccessState = -4;
constexpr std::int32_t kRangesID = -5;
constexpr std::int32_t kDescriptorsID = -7;

// A record at the start of bytes: its kind and whole length, when it holds.
struct RecordView
{
    std::uint32_t kind = 0;
    std::size_t length = 0;
};

std::optional<RecordView> ReadRecord(const Bytes& bytes, std::size_t at)
{
    if (bytes.size() < at + 12)
    {
        return std::nullopt;
    }
    const std::uint32_t length = GetLE32(bytes, at);
    if (length < 12 || length > bytes.size() - at)
    {
        return std::nullopt;
    }
    return RecordView{GetLE32(bytes, at + 8), length};
}

// The element records of an Array record at the start of bytes.
std::vector<Bytes> Elements(const Bytes& record)
{
    std::vector<Bytes> elements;
    const auto outer = ReadRecord(record, 0);
    if (!outer || outer->kind != kArray)
    {
        return elements;
    }
    for (std::size_t at = 12; at < outer->length;)
    {
        const auto inner = ReadRecord(Bytes(record.begin(), record.begin() + outer->length), at);
        if (!inner)
        {
            break;
        }
        elements.emplace_back(record.begin() + at, record.begin() + at + inner->length);
        at += inner->length;
    }
    return elements;
}

class Parameters
{
public:
    Parameters(std::int32_t notifiedID) : mNotifiedID(notifiedID)
    {
        mValues[1] = Int32(10);
        mValues[2] = Int64((std::int64_t{1} << 40) + 7);
        mValues[3] = Bool(false);
        mValues[4] = String("simulated");
        mValues[notifiedID] = Int32(0);
    }

    // The replies to one request on channel 1.
    std::vector<SimulatedDevice::Reply> Answer(const Bytes& request)
    {
        std::lock_guard<std::mutex> guard(mLock);
        if (mDieOnRequest)
        {
            // Every socket closes with the process, none answered.
            std::_Exit(3);
        }
        if (request.size() < 12 || GetLE32(request, 0) != request.size())
        {
            return {};
        }
        const std::uint32_t kind = GetLE32(request, 4);
        const auto id = static_cast<std::int32_t>(GetLE32(request, 8));
        const Bytes record(request.begin() + 12, request.end());
        if (kind == kParamValues)
        {
            for (const Bytes& entry : Elements(record))
            {
                const std::vector<Bytes> parts = Elements(entry);
                if (parts.size() == 3 && parts[1].size() == 16 && GetLE32(parts[1], 8) == kInt32)
                {
                    mValues[static_cast<std::int32_t>(GetLE32(parts[1], 12))] = parts[0];
                }
            }
            return {};
        }
        if (kind == kRequest)
        {
            return {{0, AllLocked(), std::chrono::milliseconds(0)}};
        }
        if (kind != kGet)
        {
            return {};
        }
        if (id == kAccessToken)
        {
            return {{1, Values({Entry(Int64(kToken), kAccessToken)}), std::chrono::milliseconds(0)}};
        }
        if (id == kAccessState)
        {
            return {{1, Values({Entry(Bool(true), kAccessState)}), std::chrono::milliseconds(0)},
                    {0, Values({Entry(Array({Int64(kToken), Bool(true)}), kAccessState)}),
                     std::chrono::milliseconds(1)}};
        }
        if (id == kRangesID || id == kDescriptorsID)
        {
            return {{1, AllLocked(), std::chrono::milliseconds(0)}};
        }
        const auto value = mValues.find(id);
        return {
            {1,
             value != mValues.end() ? Values({Entry(value->second, id)}) : Message(0, kValuesID, Array({})),
             std::chrono::milliseconds(0)}};
    }

    void DieOnRequest()
    {
        std::lock_guard<std::mutex> guard(mLock);
        mDieOnRequest = true;
    }

    // The next notification: the notified parameter one higher.
    Bytes Next()
    {
        std::lock_guard<std::mutex> guard(mLock);
        ++mCount;
        mValues[mNotifiedID] = Int32(mCount);
        return Values({Entry(Int32(mCount), mNotifiedID)});
    }

private:
    Bytes AllLocked()
    {
        std::vector<Bytes> entries;
        for (const auto& [id, value] : mValues)
        {
            entries.push_back(Entry(value, id));
        }
        return Message(kParamValues, kValuesID, Array(entries));
    }

    std::mutex mLock;
    const std::int32_t mNotifiedID;
    std::int32_t mCount = 0;               // guarded by mLock
    bool mDieOnRequest = false;            // guarded by mLock
    std::map<std::int32_t, Bytes> mValues; // guarded by mLock
};

// The identify answer: [device ID, name]. The device ID carries the supported
// product's GUID and a location made of the address and port, which makes it
// a network device.
Bytes IdentifyRecord(std::uint32_t address, std::uint16_t port, std::uint16_t index, const std::string& name)
{
    const std::uint64_t location = (std::uint64_t{address} << 16) | port;
    unsigned char instance[16] = {};
    for (int i = 0; i < 6; ++i)
    {
        instance[8 + i] = static_cast<unsigned char>(location >> (8 * (5 - i)));
    }
    instance[14] = static_cast<unsigned char>(index >> 8);
    instance[15] = static_cast<unsigned char>(index);
    std::vector<std::int32_t> words(kProductGuidWords, kProductGuidWords + 4);
    words.push_back(0);
    words.push_back(0);
    for (int w = 0; w < 4; ++w)
    {
        const unsigned char* p = instance + 4 * w;
        words.push_back(
            static_cast<std::int32_t>(p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24)));
    }
    words.push_back(static_cast<std::int32_t>(static_cast<std::uint32_t>(location)));
    words.push_back(
        static_cast<std::int32_t>(((static_cast<std::uint32_t>(location >> 32) & 0xFFFF) << 16) | index));
    return Array({DeviceIDRecord(words), String(name)});
}

void NotifyAll(SimulatedDevice& device, Parameters& parameters)
{
    const Bytes notification = parameters.Next();
    for (std::size_t client = 1; client <= device.ClientCount(); ++client)
    {
        (void)device.Send(client, 0, notification);
    }
}

// One command of --control; false for one it does not know.
bool Command(const std::string& line, SimulatedDevice& device, Parameters& parameters, long& notifyMs)
{
    const std::size_t space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string argument = space == std::string::npos ? std::string() : line.substr(space + 1);
    using Fault = SimulatedDevice::WriteFault;
    const std::map<std::string, Fault> faults = {{"none", Fault::kNone},
                                                 {"garbage", Fault::kGarbageBefore},
                                                 {"truncate-silent", Fault::kTruncatedHeaderThenSilence},
                                                 {"truncate-close", Fault::kTruncatedHeaderThenClose},
                                                 {"wrong-cookie", Fault::kWrongCookie},
                                                 {"bad-header", Fault::kBadHeader}};
    if (verb == "fault" && faults.count(argument) != 0)
    {
        device.SetWriteFault(faults.at(argument));
    }
    else if (verb == "silent" && (argument == "0" || argument == "1"))
    {
        device.SetSilent(argument == "1");
    }
    else if (verb == "notify-ms" && !argument.empty())
    {
        notifyMs = std::strtol(argument.c_str(), nullptr, 10);
    }
    else if (verb == "burst" && !argument.empty())
    {
        for (long i = std::strtol(argument.c_str(), nullptr, 10); i > 0; --i)
        {
            NotifyAll(device, parameters);
        }
    }
    else if (verb == "die-on-request")
    {
        parameters.DieOnRequest();
    }
    else if (verb == "close-clients")
    {
        for (std::size_t client = 1; client <= device.ClientCount(); ++client)
        {
            device.CloseClient(client, true);
        }
    }
    else
    {
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    SimulatedDevice::Options options;
    std::string name = "Simulated device";
    std::uint16_t index = 1;
    std::int32_t notifiedID = 5;
    long notifyMs = 100;
    bool control = false;
    for (int i = 1; i < argc; ++i)
    {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        in_addr address{};
        if (argument == "--address" && hasValue && inet_pton(AF_INET, argv[i + 1], &address) == 1)
        {
            options.address = ntohl(address.s_addr);
            ++i;
        }
        else if (argument == "--port" && hasValue)
        {
            options.port = static_cast<std::uint16_t>(std::strtoul(argv[++i], nullptr, 10));
        }
        else if (argument == "--name" && hasValue)
        {
            name = argv[++i];
        }
        else if (argument == "--index" && hasValue)
        {
            index = static_cast<std::uint16_t>(std::strtoul(argv[++i], nullptr, 10));
        }
        else if (argument == "--notify" && hasValue && std::strchr(argv[i + 1], ':') != nullptr)
        {
            notifiedID = static_cast<std::int32_t>(std::strtol(argv[++i], nullptr, 10));
            notifyMs = std::strtol(std::strchr(argv[i], ':') + 1, nullptr, 10);
        }
        else if (argument == "--send-buffer" && hasValue)
        {
            options.sendBufferBytes = static_cast<int>(std::strtol(argv[++i], nullptr, 10));
        }
        else if (argument == "--control")
        {
            control = true;
        }
        else
        {
            std::fprintf(stderr, "velquin_sim_device: bad argument %s\n", argument.c_str());
            return 2;
        }
    }

    // The signals are taken through a descriptor, so they are blocked before
    // any thread starts.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    const int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC);

    Parameters parameters(notifiedID);
    SimulatedDevice device(options);
    if (signals < 0 || !device.IsListening())
    {
        std::fprintf(stderr, "velquin_sim_device: cannot listen\n");
        return 1;
    }
    device.SetIdentify(IdentifyRecord(device.Address(), device.Port(), index, name));
    device.SetScript([&parameters](const Bytes& request) { return parameters.Answer(request); });
    in_addr shown{htonl(device.Address())};
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &shown, dotted, sizeof(dotted));
    std::printf("listening on %s:%u\n", dotted, device.Port());
    std::fflush(stdout);

    std::string pending;
    auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(notifyMs);
    for (;;)
    {
        const auto now = std::chrono::steady_clock::now();
        if (notifyMs > 0 && now >= next)
        {
            NotifyAll(device, parameters);
            next = now + std::chrono::milliseconds(notifyMs);
        }
        const int wait =
            notifyMs > 0 ? static_cast<int>(
                               std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count()) +
                               1
                         : 1000;
        pollfd watched[2] = {{signals, POLLIN, 0}, {control ? STDIN_FILENO : -1, POLLIN, 0}};
        if (poll(watched, 2, wait) < 0 || (watched[0].revents & POLLIN) != 0)
        {
            break;
        }
        if ((watched[1].revents & (POLLIN | POLLHUP)) == 0)
        {
            continue;
        }
        char chunk[256];
        const ssize_t got = read(STDIN_FILENO, chunk, sizeof(chunk));
        if (got <= 0)
        {
            break;
        }
        pending.append(chunk, static_cast<std::size_t>(got));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
        {
            const long before = notifyMs;
            const bool known = Command(pending.substr(0, end), device, parameters, notifyMs);
            if (notifyMs != before)
            {
                next = std::chrono::steady_clock::now() + std::chrono::milliseconds(notifyMs);
            }
            std::printf("%s\n", known ? "ok" : "error");
            std::fflush(stdout);
        }
    }
    device.Stop();
    return 0;
}
