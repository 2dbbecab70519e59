#include <gtest/gtest.h>

#include "Uninstaller/SharedUninstaller/UninstallAttempt.h"
#include "Uninstaller/SharedUninstaller/UninstallerTexts.h"

#include <cerrno>

using namespace Uninstaller;

namespace
{

HelperCallResult Reply(std::optional<std::string> output, int status, ScriptEnd end = ScriptEnd::Exited)
{
    HelperCallResult answer;
    answer.outcome = HelperCallOutcome::Replied;
    answer.reply.output = std::move(output);
    answer.reply.status = status;
    answer.reply.end = end;
    return answer;
}

HelperCallResult ErrorReply(const std::string& domain, int code)
{
    HelperCallResult answer;
    answer.outcome = HelperCallOutcome::Replied;
    answer.reply.error = HelperError{domain, code};
    return answer;
}

HelperCallResult Outcome(HelperCallOutcome outcome, int error = 0)
{
    HelperCallResult answer;
    answer.outcome = outcome;
    answer.error = error;
    return answer;
}

class RecordingInstaller final : public IHelperInstaller
{
public:
    explicit RecordingInstaller(int result) : mResult(result) {}
    int Install(const std::string& root, const std::string& helperPath) override
    {
        calls.push_back(root + "|" + helperPath);
        return mResult;
    }
    std::vector<std::string> calls;

private:
    int mResult;
};

class RecordingConnection final : public IHelperConnection
{
public:
    HelperCallResult RunUninstallScript(const std::optional<std::string>& path,
                                        const std::optional<std::vector<unsigned char>>& authorization,
                                        Uninstaller::Platform::Deadline deadline) override
    {
        ++calls;
        lastPath = path;
        lastAuthorization = authorization;
        lastDeadline = deadline;
        return Reply("done\n", 0);
    }
    void Cancel() noexcept override {}

    int calls = 0;
    std::optional<std::string> lastPath;
    std::optional<std::vector<unsigned char>> lastAuthorization;
    Uninstaller::Platform::Deadline lastDeadline{};
};

} // namespace

TEST(UninstallAttempt, JudgesEveryAnswerAndLogsIt)
{
    struct Row
    {
        const char* name;
        HelperCallResult answer;
        int result;
        std::string log;
    };
    const Row rows[] = {
        {"output and status 0", Reply("removed\n", 0), kUninstallSucceeded, "removed\n"},
        {"no output", Reply(std::nullopt, 0), kUninstallSucceeded, ""},
        {"non-zero exit", Reply("half\n", 3), kUninstallScriptFailed,
         "half\nuninstall script exited with status 3\n"},
        {"signal", Reply(std::nullopt, 9, ScriptEnd::Signalled), kUninstallScriptFailed,
         "uninstall script ended by signal 9\n"},
        {"helper's error", ErrorReply("NSPOSIXErrorDomain", 1), 1, "error NSPOSIXErrorDomain / 1\n"},
        {"authorization error", ErrorReply("NSOSStatusErrorDomain", -60005), -60005,
         "error NSOSStatusErrorDomain / -60005\n"},
        {"error with code 0 still fails", ErrorReply("NSPOSIXErrorDomain", 0), kUninstallScriptFailed,
         "error NSPOSIXErrorDomain / 0\n"},
        {"no answer in time", Outcome(HelperCallOutcome::TimedOut), kUninstallNoAnswer, ""},
        {"wrong server", Outcome(HelperCallOutcome::Failed, EPERM), EPERM, "error NSPOSIXErrorDomain / 1\n"},
        {"failure without errno", Outcome(HelperCallOutcome::Failed, 0), EIO,
         "error NSPOSIXErrorDomain / 5\n"},
        {"cancelled", Outcome(HelperCallOutcome::Cancelled), ECANCELED, "error NSPOSIXErrorDomain / 125\n"},
    };
    for (const Row& row : rows)
    {
        std::string log;
        EXPECT_EQ(UninstallAttempt::JudgeAnswer(row.answer, [&log](const std::string& line) { log += line; }),
                  row.result)
            << row.name;
        EXPECT_EQ(log, row.log) << row.name;
    }
}

TEST(UninstallAttempt, MapsInstallerFailuresAndAsksOnlyAnInstalledHelper)
{
    const struct
    {
        int installed;
        int result;
    } rows[] = {{kInstallIOError, kUninstallHelperNotInstalled},
                {kInstallNotPermitted, kUninstallNotPermitted},
                {kInstallInvalidHelper, kInstallInvalidHelper},
                {kInstallSucceeded, kUninstallSucceeded}};
    for (const auto& row : rows)
    {
        auto installer = std::make_shared<RecordingInstaller>(row.installed);
        RecordingConnection connection;
        UninstallAttemptSettings settings;
        settings.installer = installer;
        settings.root = "/r";
        settings.helperPath = "/bin/helper";
        settings.scriptPath = "/s/uninstall.ss";
        settings.authorization = std::vector<unsigned char>(32, 7);
        settings.wait = std::chrono::milliseconds(300);
        const auto before = std::chrono::steady_clock::now();
        EXPECT_EQ(UninstallAttempt::Run(settings, connection, [](const std::string&) {}), row.result)
            << row.installed;
        EXPECT_EQ(installer->calls, std::vector<std::string>{"/r|/bin/helper"});
        EXPECT_EQ(connection.calls, row.installed == kInstallSucceeded ? 1 : 0) << row.installed;
        if (connection.calls == 1)
        {
            EXPECT_EQ(connection.lastPath, "/s/uninstall.ss");
            EXPECT_EQ(connection.lastAuthorization, settings.authorization);
            EXPECT_GE(connection.lastDeadline, before + settings.wait);
            EXPECT_LE(connection.lastDeadline, std::chrono::steady_clock::now() + settings.wait);
        }
    }
}

TEST(UninstallerTexts, PutsTheCodeIntoTheFirstIntegerConversionOnly)
{
    const struct
    {
        const char* errorTemplate;
        int code;
        const char* title;
    } rows[] = {
        {"Error %d.", 3, "Error 3."}, {"Fehler %i (%d) 100%%", -5, "Fehler -5 (%d) 100%"},
        {"%ld%ld", 9002, "9002%ld"},  {"%@ %s %n %x %", 7, "%@ %s %n %x %"},
        {"no code", 1, "no code"},    {"errorTemplate", 1, "errorTemplate"},
    };
    for (const auto& row : rows)
    {
        EXPECT_EQ(FormatErrorTemplate(row.errorTemplate, row.code), row.title) << row.errorTemplate;
    }
}
