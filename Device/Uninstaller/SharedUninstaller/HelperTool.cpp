#include "Uninstaller/SharedUninstaller/HelperTool.h"

#include "Platform/Uninstaller/RightsDatabase.h"
#include "Uninstaller/SharedUninstaller/Common.h"
#include "Uninstaller/SharedUninstaller/LossyUTF8.h"

#include <algorithm>
#include <cerrno>

namespace Uninstaller
{

using namespace Platform;

namespace
{

HelperReply ErrorReply(const char* domain, std::int32_t code)
{
    HelperReply reply;
    reply.error = HelperError{domain, code};
    return reply;
}

} // namespace

std::string ScriptOutputText(std::span<const unsigned char> output, bool truncated, std::size_t limit)
{
    std::string text = DecodeUTF8Lossily(output);
    // Each replaced byte grows to three, so the decoded text is held to the limit too.
    const std::size_t kept = CutAtCharacterBoundary(text, limit);
    if (kept < text.size())
    {
        text.resize(kept);
        truncated = true;
    }
    if (truncated)
    {
        text += kOutputTruncatedMarker;
    }
    return text;
}

HelperTool::HelperTool(int listener, HelperToolOptions options)
    : mListener(listener), mOptions(std::move(options))
{
}

int HelperTool::Run()
{
    for (;;)
    {
        FileDescriptor connection;
        const int accepted = AcceptConnection(mListener, NoDeadline(), connection);
        if (accepted == EAGAIN || accepted == EINTR || accepted == EPROTO || accepted == ENETDOWN)
        {
            continue;
        }
        if (accepted != 0)
        {
            return accepted;
        }
        if (ServeConnection(connection.Get()))
        {
            return 0;
        }
    }
}

bool HelperTool::ServeConnection(int connection) const
{
    PeerCredentials peer;
    if (GetPeerCredentials(connection, peer) != 0)
    {
        return false;
    }
    std::vector<unsigned char> payload;
    const Deadline requestDeadline = std::chrono::steady_clock::now() + mOptions.requestTimeout;
    if (ReceiveFramePayload(connection, kMaxRequestPayload, requestDeadline, -1, payload) != 0)
    {
        return false;
    }
    const std::optional<HelperRequest> request = DecodeRequestPayload(payload);
    if (!request)
    {
        return false;
    }
    const std::optional<std::vector<unsigned char>> frame = EncodeReplyFrame(HandleRequest(*request, peer));
    if (!frame)
    {
        return false;
    }
    const Deadline replyDeadline = std::chrono::steady_clock::now() + mOptions.requestTimeout;
    return SendAll(connection, frame->data(), frame->size(), replyDeadline, -1) == 0;
}

HelperReply HelperTool::HandleRequest(const HelperRequest& request, const PeerCredentials& peer) const
{
    if (std::find(mOptions.authorizedUids.begin(), mOptions.authorizedUids.end(), peer.uid) ==
        mOptions.authorizedUids.end())
    {
        return ErrorReply(kOSStatusErrorDomain, errAuthorizationDenied);
    }
    if (request.command != kRunUninstallScriptCommand)
    {
        return ErrorReply(kPOSIXErrorDomain, ENOTSUP);
    }
    return RunUninstallScript(request.path, request.authorization, peer);
}

std::optional<HelperError>
HelperTool::CheckAuthorization(const std::optional<std::vector<unsigned char>>& authorization,
                               const std::string& command, const PeerCredentials& peer) const
{
    if (!authorization || authorization->size() != kAuthorizationExternalFormLength)
    {
        return HelperError{kOSStatusErrorDomain, errAuthorizationParameter};
    }
    AuthorizationRef rebuilt;
    if (const OSStatus status = AuthorizationCreateFromExternalForm(*authorization, peer, rebuilt);
        status != errAuthorizationSuccess)
    {
        return HelperError{kOSStatusErrorDomain, status};
    }
    const std::optional<std::string> right = Common::AuthorizationRightForCommand(command);
    if (!right)
    {
        return HelperError{kOSStatusErrorDomain, errAuthorizationDenied};
    }
    const OSStatus status = AuthorizationCopyRights(*rebuilt, RightsDatabase(mOptions.root), *right);
    AuthorizationFree(rebuilt);
    if (status != errAuthorizationSuccess)
    {
        return HelperError{kOSStatusErrorDomain, status};
    }
    return std::nullopt;
}

HelperReply HelperTool::RunUninstallScript(const std::optional<std::string>& path,
                                           const std::optional<std::vector<unsigned char>>& authorization,
                                           const PeerCredentials& peer) const
{
    if (const auto error = CheckAuthorization(authorization, kRunUninstallScriptCommand, peer))
    {
        HelperReply reply;
        reply.error = error;
        return reply;
    }
    FileDescriptor script;
    if (const int error = OpenCheckedScript(path ? path->c_str() : nullptr, script); error != 0)
    {
        return ErrorReply(kPOSIXErrorDomain, error);
    }
    ScriptRun run;
    if (const int error = RunCheckedScript(script, *path, mOptions.scriptLimits, run); error != 0)
    {
        return ErrorReply(kPOSIXErrorDomain, error);
    }
    HelperReply reply;
    reply.output = ScriptOutputText(run.output, run.truncated, mOptions.scriptLimits.outputLimit);
    reply.status = run.status;
    reply.end = run.signalled ? ScriptEnd::Signalled : ScriptEnd::Exited;
    return reply;
}

} // namespace Uninstaller
