#include "Uninstaller/SharedUninstaller/UninstallAttempt.h"

#include <cerrno>

namespace Uninstaller
{

std::shared_ptr<HelperSocketConnection> HelperSocketConnection::Create(const std::string& root)
{
    HelperToolClientOptions options;
    options.socketPath = HelperToolClient::SocketPathForRoot(root);
    std::unique_ptr<HelperToolClient> client = HelperToolClient::Create(options);
    if (!client)
    {
        return nullptr;
    }
    return std::shared_ptr<HelperSocketConnection>(new HelperSocketConnection(std::move(client)));
}

HelperCallResult
HelperSocketConnection::RunUninstallScript(const std::optional<std::string>& path,
                                           const std::optional<std::vector<unsigned char>>& authorization,
                                           Platform::Deadline deadline)
{
    return mClient->RunUninstallScript(path, authorization, deadline);
}

void HelperSocketConnection::Cancel() noexcept
{
    mClient->Cancel();
}

int UninstallAttempt::Run(const UninstallAttemptSettings& settings, IHelperConnection& connection,
                          const LogFunction& log)
{
    const int installed = settings.installer->Install(settings.root, settings.helperPath);
    if (installed == kInstallIOError)
    {
        return kUninstallHelperNotInstalled;
    }
    if (installed == kInstallNotPermitted)
    {
        return kUninstallNotPermitted;
    }
    if (installed != kInstallSucceeded)
    {
        return installed;
    }
    const Platform::Deadline deadline = std::chrono::steady_clock::now() + settings.wait;
    return JudgeAnswer(connection.RunUninstallScript(settings.scriptPath, settings.authorization, deadline),
                       log);
}

int UninstallAttempt::JudgeAnswer(const HelperCallResult& answer, const LogFunction& log)
{
    const auto logError = [&log](const std::string& domain, int code)
    { log("error " + domain + " / " + std::to_string(code) + "\n"); };
    switch (answer.outcome)
    {
    case HelperCallOutcome::TimedOut:
        return kUninstallNoAnswer;
    case HelperCallOutcome::Failed:
    case HelperCallOutcome::Cancelled:
    {
        // A channel failure always fails the attempt, even without an errno.
        const int code = answer.outcome == HelperCallOutcome::Cancelled ? ECANCELED
                         : answer.error != 0                            ? answer.error
                                                                        : EIO;
        logError(kPOSIXErrorDomain, code);
        return code;
    }
    case HelperCallOutcome::Replied:
        break;
    }
    const HelperReply& reply = answer.reply;
    if (reply.error)
    {
        logError(reply.error->domain, reply.error->code);
        return reply.error->code != 0 ? reply.error->code : kUninstallScriptFailed;
    }
    if (reply.output)
    {
        log(*reply.output);
    }
    if (reply.end == ScriptEnd::Signalled)
    {
        log("uninstall script ended by signal " + std::to_string(reply.status) + "\n");
        return kUninstallScriptFailed;
    }
    if (reply.status != 0)
    {
        log("uninstall script exited with status " + std::to_string(reply.status) + "\n");
        return kUninstallScriptFailed;
    }
    return kUninstallSucceeded;
}

} // namespace Uninstaller
