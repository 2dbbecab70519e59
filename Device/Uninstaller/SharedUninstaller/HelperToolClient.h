// The application's side of the channel to the helper: connects to the
// helper's socket, makes sure the process listening there runs as the
// expected user (root) before anything is sent, sends one request and waits
// for its reply until the caller's deadline. Cancel may be called from any
// thread; it ends a pending call at once, and every later call too.
#pragma once

#include "Platform/Uninstaller/FileDescriptor.h"
#include "Platform/Uninstaller/UnixSocket.h"
#include "Uninstaller/SharedUninstaller/HelperToolProtocol.h"

#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace Uninstaller
{

struct HelperToolClientOptions
{
    std::string socketPath = kHelperSocketPath;
    uid_t serverUid = 0;
};

enum class HelperCallOutcome
{
    Replied,   // reply holds the helper's answer
    Failed,    // error holds the errno (EPERM: the server is not the expected user)
    TimedOut,  // the deadline passed first
    Cancelled, // Cancel was called
};

struct HelperCallResult
{
    HelperCallOutcome outcome = HelperCallOutcome::Failed;
    int error = 0;
    HelperReply reply;
};

class HelperToolClient
{
public:
    // Null when the cancel event cannot be made.
    static std::unique_ptr<HelperToolClient> Create(HelperToolClientOptions options);

    // Sends the script's path (none sends no path) and the caller's authorization
    // in external form (none sends no authorization field).
    HelperCallResult RunUninstallScript(const std::optional<std::string>& path,
                                        const std::optional<std::vector<unsigned char>>& authorization,
                                        Platform::Deadline deadline);

    void Cancel() noexcept;

    // R/run/uninstallhelper.sock for install root R.
    static std::string SocketPathForRoot(const std::string& root);

private:
    HelperToolClient(HelperToolClientOptions options, Platform::FileDescriptor cancel);

    HelperCallResult Call(const HelperRequest& request, Platform::Deadline deadline);

    const HelperToolClientOptions mOptions;
    const Platform::FileDescriptor mCancel; // written by Cancel on any thread, polled by calls
};

} // namespace Uninstaller
