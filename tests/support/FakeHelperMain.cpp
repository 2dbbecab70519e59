// velquin_fake_helper: the test device helper as a process of its own.
//   --device W1,...,W12/NAME/HELPERID[/wait]  a device (wait: it accepts later)
//   --fault NAME[:MS]      slow, null, empty, malformed, wrong-root, client-id-4,
//                          client-id-6, die, garbage, truncated
//   --accept-after-handshake   posts acceptance after a get of -4 answered false
//   --value ID=KIND:TEXT   a parameter of the device given last; KIND is int,
//                          int64, bool (0 or 1) or text
//   --notify ID:MS         every MS ms (never for 0), posts for each device
//                          parameter ID with a count that rises by one each time
//   --control              reads commands on stdin, one a line, answering each
//                          with "ok" or "error" on stdout, and ends at the end
//                          of its input:
//                            fault NAME[:MS]   as --fault; "none" clears it
//                            burst N           N notifications as --notify's,
//                                              back to back
//   --log FILE             one line per request
//   --idle-ms N            ends after N ms without a request (default 60000)
// It serves in the runtime directory that XDG_RUNTIME_DIR names and ends when
// that directory goes, when it has died on purpose, or when idle too long.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "Platform/RuntimeDirectory.h"
#include "support/FakeHelper.h"

using namespace HelperTesting;

namespace
{

bool ParseDevice(const std::string& text, FakeDevice& device)
{
    std::stringstream parts(text);
    std::string words;
    std::string wait;
    if (!std::getline(parts, words, '/') || !std::getline(parts, device.Name, '/') ||
        !std::getline(parts, device.HelperId, '/'))
    {
        return false;
    }
    std::getline(parts, wait, '/');
    device.AcceptAtOnce = wait != "wait";
    std::stringstream list(words);
    std::string word;
    while (std::getline(list, word, ','))
    {
        device.IdWords.push_back(static_cast<std::int32_t>(std::strtol(word.c_str(), nullptr, 10)));
    }
    return device.IdWords.size() == 12;
}

bool ParseFault(const std::string& text, Fault& fault, std::uint32_t& ms)
{
    const std::string name = text.substr(0, text.find(':'));
    ms = text.find(':') != std::string::npos
             ? static_cast<std::uint32_t>(std::strtoul(text.c_str() + text.find(':') + 1, nullptr, 10))
             : 0;
    const struct
    {
        const char* name;
        Fault fault;
    } names[] = {{"slow", Fault::SlowReply},
                 {"null", Fault::NullReply},
                 {"empty", Fault::EmptyReply},
                 {"malformed", Fault::MalformedPlist},
                 {"wrong-root", Fault::WrongRootType},
                 {"client-id-4", Fault::ClientId4Bytes},
                 {"client-id-6", Fault::ClientId6Bytes},
                 {"die", Fault::DieMidRequest},
                 {"garbage", Fault::GarbageReply},
                 {"truncated", Fault::TruncatedReply},
                 {"none", Fault::None}};
    for (const auto& entry : names)
    {
        if (name == entry.name)
        {
            fault = entry.fault;
            return true;
        }
    }
    return false;
}

bool ParseValue(const std::string& text, std::int32_t& id, Bytes& record)
{
    const std::size_t equals = text.find('=');
    const std::size_t colon = text.find(':', equals);
    if (equals == std::string::npos || colon == std::string::npos)
    {
        return false;
    }
    id = static_cast<std::int32_t>(std::strtol(text.c_str(), nullptr, 10));
    const std::string kind = text.substr(equals + 1, colon - equals - 1);
    const std::string value = text.substr(colon + 1);
    if (kind == "int")
    {
        record = Records::Int32(static_cast<std::int32_t>(std::strtol(value.c_str(), nullptr, 10)));
    }
    else if (kind == "int64")
    {
        record = Records::Int64(std::strtoll(value.c_str(), nullptr, 10));
    }
    else if (kind == "bool")
    {
        record = Records::Bool(value == "1");
    }
    else if (kind == "text")
    {
        record = Records::String(value);
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
    std::vector<FakeDevice> devices;
    Fault fault = Fault::None;
    std::uint32_t faultMs = 0;
    bool acceptAfterHandshake = false;
    std::string log;
    long idleMs = 60000;
    std::int32_t notifyId = 5;
    bool control = false;
    long notifyMs = 0;
    for (int i = 1; i < argc; ++i)
    {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--device" && hasValue)
        {
            FakeDevice device;
            if (!ParseDevice(argv[++i], device))
            {
                std::fprintf(stderr, "bad device: %s\n", argv[i]);
                return 2;
            }
            devices.push_back(device);
        }
        else if (argument == "--fault" && hasValue)
        {
            if (!ParseFault(argv[++i], fault, faultMs))
            {
                std::fprintf(stderr, "bad fault: %s\n", argv[i]);
                return 2;
            }
        }
        else if (argument == "--value" && hasValue)
        {
            std::int32_t id = 0;
            Bytes record;
            if (devices.empty() || !ParseValue(argv[++i], id, record))
            {
                std::fprintf(stderr, "bad value (or no device before it): %s\n", argv[i]);
                return 2;
            }
            devices.back().Values[id] = record;
        }
        else if (argument == "--notify" && hasValue)
        {
            const std::string text = argv[++i];
            notifyId = static_cast<std::int32_t>(std::strtol(text.c_str(), nullptr, 10));
            notifyMs = text.find(':') != std::string::npos
                           ? std::strtol(text.c_str() + text.find(':') + 1, nullptr, 10)
                           : 0;
            if (notifyMs < 0 || text.find(':') == std::string::npos)
            {
                std::fprintf(stderr, "bad notification: %s\n", argv[i]);
                return 2;
            }
        }
        else if (argument == "--control")
        {
            control = true;
        }
        else if (argument == "--accept-after-handshake")
        {
            acceptAfterHandshake = true;
        }
        else if (argument == "--log" && hasValue)
        {
            log = argv[++i];
        }
        else if (argument == "--idle-ms" && hasValue)
        {
            idleMs = std::strtol(argv[++i], nullptr, 10);
        }
        else
        {
            std::fprintf(stderr, "unknown argument: %s\n", argument.c_str());
            return 2;
        }
    }
    const std::string directory = KT::Platform::GetRuntimeDirectory();
    if (directory.empty())
    {
        return 1;
    }
    FakeHelper helper(devices);
    helper.SetFault(fault, faultMs);
    helper.SetAcceptAfterHandshake(acceptAfterHandshake);
    if (!log.empty())
    {
        helper.SetLogFile(log);
    }
    if (!helper.Start())
    {
        return 1;
    }
    auto lastRequest = std::chrono::steady_clock::now();
    auto nextNotification = lastRequest + std::chrono::milliseconds(notifyMs);
    std::int32_t notified = 0;
    const auto notifyAll = [&]
    {
        ++notified;
        for (std::size_t device = 0; device < devices.size(); ++device)
        {
            (void)helper.PostValues(device, {{notifyId, Records::Int32(notified)}});
        }
    };
    std::string pending;
    for (;;)
    {
        const int tickMs = static_cast<int>(notifyMs > 0 ? std::min(notifyMs, 50L) : 50L);
        pollfd input{control ? STDIN_FILENO : -1, POLLIN, 0};
        if (::poll(&input, 1, tickMs) > 0)
        {
            char chunk[256];
            const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof(chunk));
            if (got <= 0)
            {
                return 0;
            }
            pending.append(chunk, static_cast<std::size_t>(got));
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
            {
                const std::string line = pending.substr(0, end);
                bool known = false;
                if (line.rfind("fault ", 0) == 0)
                {
                    known = ParseFault(line.substr(6), fault, faultMs);
                    if (known)
                    {
                        helper.SetFault(fault, faultMs);
                    }
                }
                else if (line.rfind("burst ", 0) == 0)
                {
                    known = true;
                    for (long n = std::strtol(line.c_str() + 6, nullptr, 10); n > 0; --n)
                    {
                        notifyAll();
                    }
                }
                std::printf("%s\n", known ? "ok" : "error");
                std::fflush(stdout);
            }
        }
        if (notifyMs > 0 && std::chrono::steady_clock::now() >= nextNotification)
        {
            nextNotification += std::chrono::milliseconds(notifyMs);
            notifyAll();
        }
        // The log is only looked at here: emptied each time, it stays small
        // however long the helper runs.
        if (!helper.Requests().empty())
        {
            helper.ClearRequests();
            lastRequest = std::chrono::steady_clock::now();
        }
        if (::access(directory.c_str(), F_OK) != 0 || !helper.IsServing() ||
            std::chrono::steady_clock::now() - lastRequest > std::chrono::milliseconds(idleMs))
        {
            return 0;
        }
    }
}
