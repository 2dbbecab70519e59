#include <gtest/gtest.h>

#include "Platform/Uninstaller/RightsDatabase.h"
#include "Uninstaller/SharedUninstaller/HelperInstaller.h"
#include "support/Uninstaller/TestProcesses.h"

#include <sys/stat.h>

using namespace Uninstaller;
using namespace Uninstaller::Platform;
using namespace UninstallerTest;

namespace
{

const char kExpectedSocketUnit[] = "[Unit]\n"
                                   "Description=Uninstall helper socket\n"
                                   "\n"
                                   "[Socket]\n"
                                   "ListenStream=/run/uninstallhelper.sock\n"
                                   "SocketMode=0600\n"
                                   "Accept=no\n"
                                   "\n"
                                   "[Install]\n"
                                   "WantedBy=sockets.target\n";
const char kExpectedServiceUnit[] = "[Unit]\n"
                                    "Description=Uninstall helper\n"
                                    "Requires=uninstallhelper.socket\n"
                                    "\n"
                                    "[Service]\n"
                                    "ExecStart=/usr/libexec/uninstallhelper\n"
                                    "SuccessExitStatus=1\n";

// An installer whose command runner only records, with the service manager
// taken to be running.
struct RecordingInstaller
{
    std::vector<std::vector<std::string>> commands;
    HelperInstaller installer{[this](const std::vector<std::string>& argv)
                              {
                                  commands.push_back(argv);
                                  return 0;
                              },
                              "/"};
};

void ExpectOwnedFile(const std::string& path, mode_t mode, const std::string& content)
{
    struct stat info
    {
    };
    ASSERT_EQ(::lstat(path.c_str(), &info), 0) << path;
    EXPECT_TRUE(S_ISREG(info.st_mode)) << path;
    EXPECT_EQ(info.st_uid, 0u) << path;
    EXPECT_EQ(info.st_gid, 0u) << path;
    EXPECT_EQ(info.st_mode & 07777, mode) << path;
    EXPECT_TRUE(ReadFile(path) == content) << path << " holds other bytes";
}

} // namespace

TEST(HelperInstaller, InstallsTheHelperUnitsAndRightsBelowARoot)
{
    UNINSTALLER_REQUIRE_ROOT();
    TempRoot root;
    RecordingInstaller recording;
    ASSERT_EQ(recording.installer.Install(root.Path(), UNINSTALLHELPER_PATH), kInstallSucceeded);

    ExpectOwnedFile(root / "usr/libexec/uninstallhelper", 0755, ReadFile(UNINSTALLHELPER_PATH));
    ExpectOwnedFile(root / "etc/systemd/system/uninstallhelper.socket", 0644, kExpectedSocketUnit);
    ExpectOwnedFile(root / "etc/systemd/system/uninstallhelper.service", 0644, kExpectedServiceUnit);
    for (const char* folder :
         {"usr", "usr/libexec", "etc", "etc/systemd", "etc/systemd/system", "etc/uninstallhelper"})
    {
        struct stat info
        {
        };
        ASSERT_EQ(::lstat((root / folder).c_str(), &info), 0) << folder;
        EXPECT_EQ(info.st_mode & 07777, 0755u) << folder;
        EXPECT_EQ(info.st_uid, 0u) << folder;
    }
    EXPECT_EQ(AuthorizationRightGet(RightsDatabase(root.Path()), "uninstallhelper.runUninstallScript"),
              errAuthorizationSuccess);
    EXPECT_TRUE(recording.commands.empty()) << "the service manager is told only about the running system";

    // Installing again replaces the helper and keeps the registered right.
    ASSERT_EQ(recording.installer.Install(root.Path(), UNINSTALLHELPER_PATH), kInstallSucceeded);
    ExpectOwnedFile(root / "usr/libexec/uninstallhelper", 0755, ReadFile(UNINSTALLHELPER_PATH));
}

TEST(HelperInstaller, LocksOfAnotherUserOnTheRightsFolderDoNotHoldTheInstallBack)
{
    UNINSTALLER_REQUIRE_ROOT();
    TempRoot root;
    MakeFolder(root / "etc/uninstallhelper", 0755); // holding no rights file yet
    const auto installed = RunWhileNobodyHoldsLocks(
        {root / "etc/uninstallhelper"}, std::chrono::seconds(10),
        [&] { return RecordingInstaller().installer.Install(root.Path(), UNINSTALLHELPER_PATH); });
    EXPECT_EQ(installed, kInstallSucceeded) << "a lock of nobody held the install back";
}

TEST(HelperInstaller, PlantedFilesAreReplacedNeverWrittenThrough)
{
    UNINSTALLER_REQUIRE_ROOT();
    struct Row
    {
        const char* name;
        bool link;
    };
    for (const Row row : {Row{"a link", true}, Row{"nobody's 0777 file", false}})
    {
        TempRoot root;
        MakeFolder(root / "usr/libexec", 0755);
        MakeFolder(root / "etc/systemd/system", 0755);
        WriteFile(root / "victim", "keep me", 0644);
        if (row.link)
        {
            ASSERT_EQ(::symlink((root / "victim").c_str(), (root / "usr/libexec/uninstallhelper").c_str()),
                      0);
            ASSERT_EQ(::symlink((root / "victim").c_str(),
                                (root / "etc/systemd/system/uninstallhelper.socket").c_str()),
                      0);
        }
        else
        {
            WriteFile(root / "usr/libexec/uninstallhelper", "planted", 0777, kNobody, kNobody);
            WriteFile(root / "etc/systemd/system/uninstallhelper.socket", "planted", 0777, kNobody, kNobody);
        }
        RecordingInstaller recording;
        ASSERT_EQ(recording.installer.Install(root.Path(), UNINSTALLHELPER_PATH), kInstallSucceeded)
            << row.name;
        ExpectOwnedFile(root / "usr/libexec/uninstallhelper", 0755, ReadFile(UNINSTALLHELPER_PATH));
        ExpectOwnedFile(root / "etc/systemd/system/uninstallhelper.socket", 0644, kExpectedSocketUnit);
        EXPECT_EQ(ReadFile(root / "victim"), "keep me") << row.name;
    }
}

TEST(HelperInstaller, RefusesHelpersThatDoNotNameThemselves)
{
    TempRoot root;
    const std::string helper = ReadFile(UNINSTALLHELPER_PATH);
    struct Row
    {
        const char* name;
        std::string from;
        std::string to;
    };
    const Row rows[] = {
        {"identifier", "<string>uninstallhelper</string>\n\t<key>CFBundleInfoDictionaryVersion",
         "<string>uninstallhelpeX</string>\n\t<key>CFBundleInfoDictionaryVersion"},
        {"client", "wirebridge.uninstaller\"", "wirebridge.uninstalleX\""},
        {"label", "<key>Label</key>\n\t<string>uninstallhelper",
         "<key>Label</key>\n\t<string>uninstallhelpeX"},
        {"service", "<true/>", "<fals/>"},
        {"section name", ".uninstallhelper.info_plist", ".uninstallhelper.info_plisX"},
    };
    for (const Row& row : rows)
    {
        std::string copy = helper;
        const std::size_t at = copy.rfind(row.from);
        ASSERT_NE(at, std::string::npos) << row.name;
        copy.replace(at, row.from.size(), row.to);
        ASSERT_EQ(copy.size(), helper.size()) << row.name;
        WriteFile(root / "helper", copy, 0755);
        EXPECT_EQ(HelperInstaller().Install(root / "target", root / "helper"), kInstallInvalidHelper)
            << row.name;
    }
    WriteFile(root / "helper", "#!/bin/sh\n", 0755);
    EXPECT_EQ(HelperInstaller().Install(root / "target", root / "helper"), kInstallInvalidHelper);
    EXPECT_EQ(HelperInstaller().Install(root / "target", root / "absent"), kInstallIOError);
    EXPECT_FALSE(std::filesystem::exists(root / "target"));
}

TEST(HelperInstaller, RefusesAHelperFileOthersCouldHaveChanged)
{
    UNINSTALLER_REQUIRE_ROOT();
    const std::string helper = ReadFile(UNINSTALLHELPER_PATH);
    struct Row
    {
        const char* name;
        const char* file; // written with the helper's bytes
        mode_t mode;
        uid_t owner;
        const char* installed;
    };
    for (const Row row :
         {Row{"a link", "helper", 0755, 0, "link"}, Row{"world-writable", "helper", 0777, 0, "helper"},
          Row{"nobody's", "helper", 0755, kNobody, "helper"},
          Row{"in an open folder", "open/helper", 0755, 0, "open/helper"}})
    {
        TempRoot root;
        MakeFolder(root / "target", 0755);
        MakeFolder(root / "open", 0777);
        WriteFile(root / row.file, helper, row.mode, row.owner, row.owner);
        ASSERT_EQ(::symlink((root / "helper").c_str(), (root / "link").c_str()), 0);
        EXPECT_EQ(RecordingInstaller().installer.Install(root / "target", root / row.installed),
                  kInstallInvalidHelper)
            << row.name;
        EXPECT_FALSE(std::filesystem::exists(root / "target/usr")) << row.name;
    }
}

TEST(HelperInstaller, ANobodyProcessIsNotPermitted)
{
    UNINSTALLER_REQUIRE_ROOT();
    TempRoot root;
    // The helper is readable by nobody, so the refusal is about who installs.
    WriteFile(root / "helper", ReadFile(UNINSTALLHELPER_PATH), 0755);
    MakeFolder(root / "target", 0777);
    const ProcessResult result = RunProgram({UNINSTALLER_TEST_CLIENT_PATH, "--uid", std::to_string(kNobody),
                                             "install", root / "target", root / "helper"});
    EXPECT_EQ(result.exitStatus, kInstallNotPermitted);
    EXPECT_FALSE(std::filesystem::exists(root / "target/usr"));
}

TEST(HelperInstaller, OnlyTheRunningSystemIsActivated)
{
    TempRoot root;
    struct Row
    {
        std::string root;
        std::string serviceManager;
        bool expected;
    };
    const Row rows[] = {
        {"/", root.Path(), true},          {"//", root.Path(), true},
        {"/.", root.Path(), true},         {"/", root / "absent", false},
        {root.Path(), root.Path(), false}, {root.Path() + "/..", root.Path(), false},
    };
    for (const Row& row : rows)
    {
        EXPECT_EQ(HelperInstaller::ShouldActivate(row.root, row.serviceManager), row.expected)
            << row.root << " with " << row.serviceManager;
    }
}
