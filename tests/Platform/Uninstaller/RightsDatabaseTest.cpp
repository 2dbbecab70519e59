#include <gtest/gtest.h>

#include "Platform/Uninstaller/RightsDatabase.h"
#include "support/Uninstaller/TestProcesses.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace Uninstaller::Platform;
using namespace UninstallerTest;
using namespace std::chrono_literals;

TEST(RightsDatabase, StoresRightsRootOwnedAndReadsThemBack)
{
    UNINSTALLER_REQUIRE_ROOT();
    TempRoot root;
    const RightsDatabase database(root.Path());
    EXPECT_EQ(database.FilePath(), root.Path() + "/etc/uninstallhelper/rights.plist");
    EXPECT_EQ(RightsDatabase("/").FilePath(), "/etc/uninstallhelper/rights.plist");

    EXPECT_EQ(AuthorizationRightGet(database, "a.right"), errAuthorizationDenied);
    const std::array<unsigned char, kAuthorizationNonceLength> nonce{};
    const Authorization authorization(::getpid(), 1, 0, nonce);
    EXPECT_EQ(AuthorizationRightSet(nullptr, database, "a.right", {"allow", "d", "Common"}),
              errAuthorizationInvalidRef);
    ASSERT_EQ(
        AuthorizationRightSet(&authorization, database, "a.right", {"allow", "First <&> text", "Common"}),
        errAuthorizationSuccess);
    ASSERT_EQ(database.Store("b.right", {"deny", "", ""}), errAuthorizationSuccess);
    ASSERT_EQ(database.Store("a.right", {"root", "Replaced", "Common"}), errAuthorizationSuccess);

    RightDefinition definition;
    ASSERT_EQ(database.Lookup("a.right", definition), errAuthorizationSuccess);
    EXPECT_EQ(definition.rule, "root");
    EXPECT_EQ(definition.description, "Replaced");
    EXPECT_EQ(definition.table, "Common");
    ASSERT_EQ(database.Lookup("b.right", definition), errAuthorizationSuccess);
    EXPECT_EQ(definition.rule, "deny");

    struct stat info
    {
    };
    ASSERT_EQ(::lstat(database.FilePath().c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(info.st_gid, 0u);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    ASSERT_EQ(::lstat((root / "etc/uninstallhelper").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    ASSERT_EQ(::lstat((root / "etc/uninstallhelper/rights.lock").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root / "etc/uninstallhelper"),
                            std::filesystem::directory_iterator()),
              2)
        << "the rights and their lock, and no temporary file left behind";
}

TEST(RightsDatabase, ADamagedFileStaysByteForByte)
{
    UNINSTALLER_REQUIRE_ROOT();
    // The second was found by fuzzing: the plist library read the string with
    // a NUL inside as other bytes than it wrote back, so a store changed the
    // other rights in the file.
    const char nulInString[] = "<dict><key></key><dict><key>rule</key><string>\0<![CDATA[]]>;</string>"
                               "</dict></dict>";
    const std::string cases[] = {
        "<?xml version=\"1.0\"?><plist><dict><key>x</key><dict><key>rule",
        std::string(nulInString, sizeof(nulInString) - 1),
    };
    for (const std::string& damaged : cases)
    {
        TempRoot root;
        MakeFolder(root / "etc/uninstallhelper", 0755);
        WriteFile(root / "etc/uninstallhelper/rights.plist", damaged, 0644);
        const RightsDatabase database(root.Path());
        EXPECT_EQ(AuthorizationRightGet(database, ""), errAuthorizationInternal) << damaged;
        EXPECT_EQ(AuthorizationRightGet(database, "x"), errAuthorizationInternal) << damaged;
        EXPECT_EQ(database.Store("y", {"allow", "", ""}), errAuthorizationInternal) << damaged;
        EXPECT_EQ(ReadFile(database.FilePath()), damaged);
    }
}

TEST(RightsDatabase, ConcurrentStoresKeepEveryRight)
{
    UNINSTALLER_REQUIRE_ROOT();
    TempRoot root;
    const RightsDatabase database(root.Path());
    constexpr int kWriters = 6;
    std::vector<std::thread> writers;
    for (int index = 0; index < kWriters; ++index)
    {
        writers.emplace_back(
            [&database, index] {
                EXPECT_EQ(database.Store("right." + std::to_string(index), {"allow", "", ""}),
                          errAuthorizationSuccess);
            });
    }
    for (std::thread& writer : writers)
    {
        writer.join();
    }
    for (int index = 0; index < kWriters; ++index)
    {
        EXPECT_EQ(AuthorizationRightGet(database, "right." + std::to_string(index)), errAuthorizationSuccess)
            << index;
    }
}

TEST(RightsDatabase, OnlyAnotherRootWriterHoldsAStoreBackAndOnlyForTheWait)
{
    UNINSTALLER_REQUIRE_ROOT();
    TempRoot root;
    const RightsDatabase database(root.Path(), 50ms);
    ASSERT_EQ(database.Store("first", {"allow", "", ""}), errAuthorizationSuccess);
    std::vector<std::string> paths = {root / "etc/uninstallhelper"};
    for (const auto& entry : std::filesystem::directory_iterator(paths[0]))
    {
        paths.push_back(entry.path());
    }
    const auto stored = RunWhileNobodyHoldsLocks(paths, 10s,
                                                 [&] {
                                                     return database.Store("second", {"allow", "", ""});
                                                 });
    EXPECT_EQ(stored, errAuthorizationSuccess) << "a lock of nobody held the store back";

    const std::string before = ReadFile(database.FilePath());
    const int writer = ::open((root / "etc/uninstallhelper/rights.lock").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(writer, LOCK_EX), 0);
    EXPECT_EQ(database.Store("third", {"allow", "", ""}), errAuthorizationInternal);
    EXPECT_EQ(ReadFile(database.FilePath()), before);
    ::close(writer);
}
