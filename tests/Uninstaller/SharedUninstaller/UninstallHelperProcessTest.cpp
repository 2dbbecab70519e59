// The built uninstallhelper, installed below a temporary root, started as the
// service manager starts it and driven by a client in its own process.
#include <gtest/gtest.h>

#include "Platform/Uninstaller/RightsDatabase.h"
#include "Uninstaller/SharedUninstaller/HelperInstaller.h"
#include "support/Uninstaller/TestProcesses.h"

using namespace Uninstaller;
using namespace Uninstaller::Platform;
using namespace UninstallerTest;

namespace
{

using namespace std::chrono_literals;

class UninstallHelperProcess : public ::testing::Test
{
protected:
    void SetUp() override
    {
        UNINSTALLER_REQUIRE_ROOT();
        HelperInstaller installer([](const std::vector<std::string>&) { return 0; }, "/");
        ASSERT_EQ(installer.Install(mRoot.Path(), UNINSTALLHELPER_PATH), kInstallSucceeded);
        MakeFolder(mRoot / "run", 0755);
        MakeFolder(mRoot / "scripts", 0755);
        mMarker = mRoot / "marker";
        mScript = mRoot / "scripts/uninstall.sh";
        WriteFile(mScript, "#!/bin/sh\necho removing\necho ran > " + mMarker + "\necho warning >&2\nexit 3\n",
                  0755);
    }

    // Starts the installed helper, runs one client request and returns the
    // client's report; the helper must have ended with status 1 after replying.
    std::string Request(const std::string& form, const std::optional<uid_t>& uid = std::nullopt)
    {
        ActivatedHelper helper(
            mRoot / "usr/libexec/uninstallhelper", mRoot / "run/uninstallhelper.sock",
            {"--root", mRoot.Path(), "--request-timeout-ms", "2000", "--drain-timeout-ms", "200"}, 0666);
        if (!helper.Ready())
        {
            return "<no helper>";
        }
        std::vector<std::string> argv = {UNINSTALLER_TEST_CLIENT_PATH};
        if (uid)
        {
            argv.insert(argv.end(), {"--uid", std::to_string(*uid)});
        }
        argv.insert(argv.end(), {"request", mRoot / "run/uninstallhelper.sock", form, mScript});
        const ProcessResult client = RunProgram(argv);
        EXPECT_EQ(client.exitStatus, 0) << form;
        EXPECT_EQ(helper.WaitForExit(10s), 1) << "the helper ends once it has replied";
        return client.output;
    }

    TempRoot mRoot;
    std::string mMarker;
    std::string mScript;
};

} // namespace

TEST_F(UninstallHelperProcess, RunsTheScriptForAnAuthorisedClient)
{
    EXPECT_EQ(Request("own"), "reply 3 exited\nremoving\nwarning\n");
    EXPECT_EQ(ReadFile(mMarker), "ran\n");
}

TEST_F(UninstallHelperProcess, TheScriptInheritsNoSocketOfTheHelper)
{
    WriteFile(mScript, "#!/bin/sh\nexec /bin/ls -l /proc/self/fd\n", 0755);
    const std::string report = Request("own");
    ASSERT_EQ(report.rfind("reply 0 exited\n", 0), 0u) << report;
    EXPECT_EQ(report.find("socket:"), std::string::npos) << report;
    EXPECT_NE(report.find(" 3 -> " + mScript), std::string::npos) << report;
}

TEST_F(UninstallHelperProcess, RunsNothingForAnyOtherClient)
{
    struct Row
    {
        const char* name;
        const char* form;
        std::optional<uid_t> uid;
        const char* expected;
    };
    const Row rows[] = {
        {"nobody", "own", kNobody, "error NSOSStatusErrorDomain -60005\n"},
        {"another process's form", "other-pid", std::nullopt, "error NSOSStatusErrorDomain -60002\n"},
        {"bad magic", "bad-magic", std::nullopt, "error NSOSStatusErrorDomain -60002\n"},
        {"stale start time", "stale-start", std::nullopt, "error NSOSStatusErrorDomain -60002\n"},
        {"31 bytes", "short", std::nullopt, "error NSOSStatusErrorDomain -50\n"},
        {"33 bytes", "long", std::nullopt, "error NSOSStatusErrorDomain -50\n"},
        {"no authorization", "none", std::nullopt, "error NSOSStatusErrorDomain -50\n"},
    };
    for (const Row& row : rows)
    {
        EXPECT_EQ(Request(row.form, row.uid), row.expected) << row.name;
        EXPECT_FALSE(std::filesystem::exists(mMarker)) << row.name << " ran the script";
    }

    ASSERT_EQ(
        RightsDatabase(mRoot.Path()).Store("uninstallhelper.runUninstallScript", {"deny", "", "Common"}),
        errAuthorizationSuccess);
    EXPECT_EQ(Request("own"), "error NSOSStatusErrorDomain -60005\n") << "rule deny";
    EXPECT_FALSE(std::filesystem::exists(mMarker)) << "rule deny ran the script";
}

TEST_F(UninstallHelperProcess, RefusesToStartWithoutItsSocket)
{
    const ProcessResult started = RunProgram({mRoot / "usr/libexec/uninstallhelper", "--root", mRoot.Path()});
    EXPECT_EQ(started.exitStatus, 2);
    const ProcessResult badOption = RunProgram({mRoot / "usr/libexec/uninstallhelper", "--bogus", "1"});
    EXPECT_EQ(badOption.exitStatus, 2);
}
