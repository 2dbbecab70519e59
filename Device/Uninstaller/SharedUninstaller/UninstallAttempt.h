// One uninstall attempt as the application runs it on a worker thread:
// install the helper, send it the request to run the uninstall script, wait
// for the answer until the deadline, and turn what came back into the
// attempt's result code, logging the script's output and every failure.
//
// Run blocks for the whole attempt and never touches the user interface; log
// lines go to the given function on the calling thread. Cancel on the
// connection (from any thread) ends the wait at once.
#pragma once

#include "Uninstaller/SharedUninstaller/HelperInstaller.h"
#include "Uninstaller/SharedUninstaller/HelperToolClient.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Uninstaller
{

// Result codes of an attempt besides 0 (success) and the codes the installer
// or the helper report.
inline constexpr int kUninstallSucceeded = 0;
inline constexpr int kUninstallHelperNotInstalled = 9000; // installer code 2 (I/O)
inline constexpr int kUninstallNoAnswer = 9002;           // nothing came back within the wait
inline constexpr int kUninstallScriptFailed = 9003;       // the script exited non-zero or died by a signal
// Installer code 4: this process lacks the rights to install the helper. No
// prompt asks for them, so unlike a refused prompt this is shown.
inline constexpr int kUninstallNotPermitted = 9004;
inline constexpr int kUninstallCancelledByUser = -60006; // the user refused the authorization

inline constexpr std::chrono::milliseconds kUninstallWait{30000};

// The application's channel to the helper for one attempt; the tests' fakes
// stand in for the socket client.
class IHelperConnection
{
public:
    virtual ~IHelperConnection() = default;
    virtual HelperCallResult
    RunUninstallScript(const std::optional<std::string>& path,
                       const std::optional<std::vector<unsigned char>>& authorization,
                       Platform::Deadline deadline) = 0;
    // Thread-safe; ends a pending call and makes later ones end at once.
    virtual void Cancel() noexcept = 0;
};

// The real channel: the helper's socket below an install root.
class HelperSocketConnection final : public IHelperConnection
{
public:
    // Null when the client cannot be made.
    static std::shared_ptr<HelperSocketConnection> Create(const std::string& root);

    HelperCallResult RunUninstallScript(const std::optional<std::string>& path,
                                        const std::optional<std::vector<unsigned char>>& authorization,
                                        Platform::Deadline deadline) override;
    void Cancel() noexcept override;

private:
    explicit HelperSocketConnection(std::unique_ptr<HelperToolClient> client) : mClient(std::move(client)) {}

    const std::unique_ptr<HelperToolClient> mClient;
};

struct UninstallAttemptSettings
{
    std::shared_ptr<IHelperInstaller> installer;
    std::string root = "/";
    std::string helperPath;
    std::optional<std::string> scriptPath;
    std::optional<std::vector<unsigned char>> authorization;
    std::chrono::milliseconds wait = kUninstallWait;
};

class UninstallAttempt
{
public:
    using LogFunction = std::function<void(const std::string& line)>;

    UninstallAttempt() = delete;

    // The attempt's result code.
    static int Run(const UninstallAttemptSettings& settings, IHelperConnection& connection,
                   const LogFunction& log);

    // What an answer of the helper means for the attempt, logging as it goes.
    static int JudgeAnswer(const HelperCallResult& answer, const LogFunction& log);
};

} // namespace Uninstaller
