#include <gtest/gtest.h>

#include "Uninstaller/SharedUninstaller/Common.h"
#include "support/Uninstaller/TestProcesses.h"

#include <latch>
#include <sys/stat.h>
#include <thread>

using namespace Uninstaller;
using namespace Uninstaller::Platform;
using namespace UninstallerTest;

namespace
{

Authorization AnyAuthorization()
{
    return Authorization(::getpid(), 1, ::geteuid(), {});
}

} // namespace

TEST(Common, KnowsItsOneCommandOnly)
{
    const Common::CommandInfoTable& table = Common::CommandInfo();
    ASSERT_EQ(table.size(), 1u);
    const CommandRight& right = table.at("runUninstallScript:authorization:withReply:");
    EXPECT_EQ(right.authRightName, "uninstallhelper.runUninstallScript");
    EXPECT_EQ(right.authRightDefault, "allow");
    EXPECT_EQ(right.authRightDescription,
              "Lumetra Works WireBridge Uninstaller wants to perform the uninstall.");

    EXPECT_EQ(Common::AuthorizationRightForCommand("runUninstallScript:authorization:withReply:"),
              "uninstallhelper.runUninstallScript");
    for (const char* other : {"", "runUninstallScript:", "runUninstallScript:authorization:withReply",
                              "uninstallhelper.runUninstallScript"})
    {
        EXPECT_EQ(Common::AuthorizationRightForCommand(other), std::nullopt) << other;
    }

    std::vector<std::string> seen;
    Common::EnumerateRightsUsingBlock(
        [&](const std::string& name, const std::string& rule, const std::string& text)
        { seen.push_back(name + "|" + rule + "|" + text); });
    EXPECT_EQ(seen,
              std::vector<std::string>{"uninstallhelper.runUninstallScript|allow|Lumetra Works WireBridge "
                                       "Uninstaller wants to perform the uninstall."});
}

TEST(Common, TheTableIsBuiltOnceUnderConcurrentFirstCalls)
{
    constexpr int kThreads = 8;
    std::latch start(kThreads);
    std::vector<const Common::CommandInfoTable*> tables(kThreads);
    std::vector<std::thread> threads;
    for (int index = 0; index < kThreads; ++index)
    {
        threads.emplace_back(
            [&, index]
            {
                start.arrive_and_wait();
                tables[static_cast<std::size_t>(index)] = &Common::CommandInfo();
            });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    for (const Common::CommandInfoTable* table : tables)
    {
        EXPECT_EQ(table, tables.front());
    }
    EXPECT_EQ(tables.front()->size(), 1u);
}

TEST(Common, SetupRegistersAbsentRightsOnceAndLeavesTheFileAlone)
{
    UNINSTALLER_REQUIRE_ROOT();
    TempRoot root;
    const RightsDatabase database(root.Path());
    const Authorization authorization = AnyAuthorization();
    EXPECT_EQ(Common::SetupAuthorizationRights(nullptr, database), errAuthorizationInvalidRef);

    ASSERT_EQ(Common::SetupAuthorizationRights(&authorization, database), errAuthorizationSuccess);
    RightDefinition definition;
    ASSERT_EQ(database.Lookup("uninstallhelper.runUninstallScript", definition), errAuthorizationSuccess);
    EXPECT_EQ(definition.rule, "allow");
    EXPECT_EQ(definition.description, "Lumetra Works WireBridge Uninstaller wants to perform the uninstall.");
    EXPECT_EQ(definition.table, "Common");

    struct stat before
    {
    };
    ASSERT_EQ(::stat(database.FilePath().c_str(), &before), 0);
    const std::string bytes = ReadFile(database.FilePath());
    ASSERT_EQ(Common::SetupAuthorizationRights(&authorization, database), errAuthorizationSuccess);
    struct stat after
    {
    };
    ASSERT_EQ(::stat(database.FilePath().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the file was replaced";
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(ReadFile(database.FilePath()), bytes);

    // A right that an administrator changed keeps its rule.
    ASSERT_EQ(database.Store("uninstallhelper.runUninstallScript", {"deny", "", ""}),
              errAuthorizationSuccess);
    ASSERT_EQ(Common::SetupAuthorizationRights(&authorization, database), errAuthorizationSuccess);
    ASSERT_EQ(database.Lookup("uninstallhelper.runUninstallScript", definition), errAuthorizationSuccess);
    EXPECT_EQ(definition.rule, "deny");
}

TEST(Common, SetupLeavesADamagedFileByteForByte)
{
    UNINSTALLER_REQUIRE_ROOT();
    TempRoot root;
    MakeFolder(root / "etc/uninstallhelper", 0755);
    const std::string damaged = "<plist><dict><key>uninstallhelper.runUninstallScript</key>";
    WriteFile(root / "etc/uninstallhelper/rights.plist", damaged, 0644);
    const Authorization authorization = AnyAuthorization();
    EXPECT_EQ(Common::SetupAuthorizationRights(&authorization, RightsDatabase(root.Path())),
              errAuthorizationSuccess);
    EXPECT_EQ(ReadFile(root / "etc/uninstallhelper/rights.plist"), damaged);
}

TEST(Common, AFailedRegistrationIsReturned)
{
    UNINSTALLER_REQUIRE_ROOT();
    TempRoot root;
    // The right is absent because the install root is, and so it cannot be written either.
    const Authorization authorization = AnyAuthorization();
    EXPECT_EQ(Common::SetupAuthorizationRights(&authorization, RightsDatabase(root / "missing")),
              errAuthorizationInternal);
}
