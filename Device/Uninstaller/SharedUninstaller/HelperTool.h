// The privileged helper: serves the application's one command on a listening
// local socket, running the uninstall script as root for an authorised peer
// and replying with its output and how it ended.
//
// One connection is served at a time, on the thread that calls Run. A
// connection must deliver its whole request within the request time-out and
// take the whole reply within the same time again; a silent or slow peer is
// dropped and the next one served. The script itself runs to its end. Run
// returns once a reply has been sent in full.
#pragma once

#include "Platform/Uninstaller/Authorization.h"
#include "Platform/Uninstaller/ScriptRunner.h"
#include "Platform/Uninstaller/UnixSocket.h"
#include "Uninstaller/SharedUninstaller/HelperToolProtocol.h"

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <sys/types.h>
#include <vector>

namespace Uninstaller
{

inline constexpr char kOutputTruncatedMarker[] = "\n[output truncated]\n";

struct HelperToolOptions
{
    // Install root under which the rights database lives ("/" when installed).
    std::string root = "/";
    std::chrono::milliseconds requestTimeout{10000};
    // Users whose requests are considered at all; others are denied outright.
    std::vector<uid_t> authorizedUids{0};
    Platform::ScriptLimits scriptLimits;
};

class HelperTool
{
public:
    // listener stays owned by the caller and must outlive Run.
    HelperTool(int listener, HelperToolOptions options);

    // Serves connections until one reply has been sent whole (0), or accepting
    // fails for good (its errno).
    [[nodiscard]] int Run();

    // The reply to one request from peer; never fails, every problem becomes
    // the reply's error.
    HelperReply HandleRequest(const HelperRequest& request, const Platform::PeerCredentials& peer) const;

    // Nothing when peer's authorization holds the right guarding command.
    std::optional<HelperError>
    CheckAuthorization(const std::optional<std::vector<unsigned char>>& authorization,
                       const std::string& command, const Platform::PeerCredentials& peer) const;

    HelperReply RunUninstallScript(const std::optional<std::string>& path,
                                   const std::optional<std::vector<unsigned char>>& authorization,
                                   const Platform::PeerCredentials& peer) const;

private:
    // True when the reply to this connection's request was sent whole.
    bool ServeConnection(int connection) const;

    int mListener;
    HelperToolOptions mOptions;
};

// The reply text for a script's raw output: decoded lossily, at most the limit
// long, and ending with the truncation marker when anything was dropped.
std::string ScriptOutputText(std::span<const unsigned char> output, bool truncated, std::size_t limit);

} // namespace Uninstaller
