#include "Uninstaller/SharedUninstaller/HelperToolClient.h"

#include "Platform/Uninstaller/RightsDatabase.h"

#include <cerrno>

namespace Uninstaller
{

using namespace Platform;

namespace
{

HelperCallResult Failure(int error)
{
    HelperCallResult result;
    result.error = error;
    if (error == ETIMEDOUT)
    {
        result.outcome = HelperCallOutcome::TimedOut;
    }
    else if (error == ECANCELED)
    {
        result.outcome = HelperCallOutcome::Cancelled;
    }
    return result;
}

} // namespace

std::unique_ptr<HelperToolClient> HelperToolClient::Create(HelperToolClientOptions options)
{
    FileDescriptor cancel;
    if (MakeCancelEvent(cancel) != 0)
    {
        return nullptr;
    }
    return std::unique_ptr<HelperToolClient>(new HelperToolClient(std::move(options), std::move(cancel)));
}

HelperToolClient::HelperToolClient(HelperToolClientOptions options, FileDescriptor cancel)
    : mOptions(std::move(options)), mCancel(std::move(cancel))
{
}

std::string HelperToolClient::SocketPathForRoot(const std::string& root)
{
    return PathBelowRoot(root, kHelperSocketPath);
}

void HelperToolClient::Cancel() noexcept
{
    SignalCancelEvent(mCancel.Get());
}

HelperCallResult
HelperToolClient::RunUninstallScript(const std::optional<std::string>& path,
                                     const std::optional<std::vector<unsigned char>>& authorization,
                                     Deadline deadline)
{
    HelperRequest request;
    request.command = kRunUninstallScriptCommand;
    request.path = path;
    request.authorization = authorization;
    return Call(request, deadline);
}

HelperCallResult HelperToolClient::Call(const HelperRequest& request, Deadline deadline)
{
    if (IsCancelEventSignalled(mCancel.Get()))
    {
        return Failure(ECANCELED);
    }
    const std::optional<std::vector<unsigned char>> frame = EncodeRequestFrame(request);
    if (!frame)
    {
        return Failure(EMSGSIZE);
    }
    FileDescriptor socket;
    if (const int error = ConnectUnixSocket(mOptions.socketPath, deadline, mCancel.Get(), socket); error != 0)
    {
        return Failure(error);
    }
    // Only a server run by the expected user may see the request.
    PeerCredentials server;
    if (const int error = GetPeerCredentials(socket.Get(), server); error != 0)
    {
        return Failure(error);
    }
    if (server.uid != mOptions.serverUid)
    {
        return Failure(EPERM);
    }
    if (const int error = SendAll(socket.Get(), frame->data(), frame->size(), deadline, mCancel.Get());
        error != 0)
    {
        return Failure(error);
    }
    std::vector<unsigned char> payload;
    if (const int error =
            ReceiveFramePayload(socket.Get(), kMaxReplyPayload, deadline, mCancel.Get(), payload);
        error != 0)
    {
        return Failure(error);
    }
    const std::optional<HelperReply> reply = DecodeReplyPayload(payload);
    if (!reply)
    {
        return Failure(EBADMSG);
    }
    HelperCallResult result;
    result.outcome = HelperCallOutcome::Replied;
    result.reply = *reply;
    return result;
}

} // namespace Uninstaller
