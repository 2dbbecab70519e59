#include <gtest/gtest.h>

#include "Platform/Uninstaller/Authorization.h"
#include "Platform/Uninstaller/ProcessInfo.h"
#include "Platform/Uninstaller/RightsDatabase.h"
#include "support/Uninstaller/TestAuthorization.h"
#include "support/Uninstaller/TestProcesses.h"

#include <unistd.h>
#include <vector>

using namespace Uninstaller::Platform;
using namespace UninstallerTest;

namespace
{

const char kRightsPlist[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                            "<key>r.allow</key><dict><key>rule</key><string>allow</string></dict>"
                            "<key>r.deny</key><dict><key>rule</key><string>deny</string></dict>"
                            "<key>r.root</key><dict><key>rule</key><string>root</string></dict>"
                            "<key>r.odd</key><dict><key>rule</key><string>admin</string></dict>"
                            "<key>r.norule</key><dict><key>description</key><string>x</string></dict>"
                            "</dict></plist>\n";

} // namespace

TEST(Authorization, ExternalFormLayout)
{
    std::array<unsigned char, kAuthorizationNonceLength> nonce{};
    for (std::size_t index = 0; index < nonce.size(); ++index)
    {
        nonce[index] = static_cast<unsigned char>(0xA0 + index);
    }
    const Authorization authorization(0x01020304, 0x1122334455667788ull, 0, nonce);
    AuthorizationExternalForm form{};
    ASSERT_EQ(AuthorizationMakeExternalForm(authorization, form), errAuthorizationSuccess);
    const AuthorizationExternalForm expected = {
        'U',  'H',  'A',  'F',  0x04, 0x03, 0x02, 0x01, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,
        0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
    EXPECT_EQ(form, expected);
}

TEST(Authorization, FormsAreAcceptedOnlyFromTheProcessThatMadeThem)
{
    const std::vector<unsigned char> own = OwnForm();
    std::uint64_t startTime = 0;
    ASSERT_EQ(ReadProcessStartTime(::getpid(), startTime), 0);
    ASSERT_EQ(own[8], static_cast<unsigned char>(startTime));

    struct Row
    {
        const char* name;
        std::vector<unsigned char> bytes;
        PeerCredentials peer;
        OSStatus expected;
    };
    std::vector<unsigned char> shortForm(own.begin(), own.end() - 1);
    std::vector<unsigned char> longForm = own;
    longForm.push_back(0);
    std::vector<unsigned char> badMagic = own;
    badMagic[3] = 'G';
    std::vector<unsigned char> stale = own;
    stale[8] ^= 1;
    const PeerCredentials other{::getppid(), ::geteuid(), ::getegid()};
    const Row rows[] = {
        {"own", own, Self(), errAuthorizationSuccess},
        {"31 bytes", shortForm, Self(), errAuthorizationParameter},
        {"33 bytes", longForm, Self(), errAuthorizationParameter},
        {"empty", {}, Self(), errAuthorizationParameter},
        {"bad magic", badMagic, Self(), errAuthorizationInvalidRef},
        {"stale start time", stale, Self(), errAuthorizationInvalidRef},
        {"sent by another process", own, other, errAuthorizationInvalidRef},
        {"peer without a process", own, {0, 0, 0}, errAuthorizationInvalidRef},
    };
    for (const Row& row : rows)
    {
        AuthorizationRef rebuilt;
        EXPECT_EQ(AuthorizationCreateFromExternalForm(row.bytes, row.peer, rebuilt), row.expected)
            << row.name;
        EXPECT_EQ(rebuilt != nullptr, row.expected == errAuthorizationSuccess) << row.name;
        if (rebuilt)
        {
            EXPECT_EQ(rebuilt->Pid(), ::getpid());
            EXPECT_EQ(rebuilt->StartTime(), startTime);
            EXPECT_EQ(AuthorizationFree(rebuilt), errAuthorizationSuccess);
            EXPECT_EQ(rebuilt, nullptr);
        }
    }
}

TEST(Authorization, RightsAreGrantedByTheirRule)
{
    UNINSTALLER_REQUIRE_ROOT();
    TempRoot root;
    MakeFolder(root / "etc/uninstallhelper", 0755);
    WriteFile(root / "etc/uninstallhelper/rights.plist", kRightsPlist, 0644);
    const RightsDatabase database(root.Path());
    const std::array<unsigned char, kAuthorizationNonceLength> nonce{};
    const Authorization asRoot(::getpid(), 1, 0, nonce);
    const Authorization asNobody(::getpid(), 1, kNobody, nonce);

    struct Row
    {
        const char* right;
        OSStatus forRoot;
        OSStatus forNobody;
    };
    const Row rows[] = {
        {"r.allow", errAuthorizationSuccess, errAuthorizationSuccess},
        {"r.deny", errAuthorizationDenied, errAuthorizationDenied},
        {"r.root", errAuthorizationSuccess, errAuthorizationDenied},
        {"r.odd", errAuthorizationDenied, errAuthorizationDenied},
        {"r.absent", errAuthorizationDenied, errAuthorizationDenied},
        {"r.norule", errAuthorizationInternal, errAuthorizationInternal},
    };
    for (const Row& row : rows)
    {
        EXPECT_EQ(AuthorizationCopyRights(asRoot, database, row.right), row.forRoot) << row.right;
        EXPECT_EQ(AuthorizationCopyRights(asNobody, database, row.right), row.forNobody) << row.right;
    }
}

TEST(Authorization, UnsafeOrDamagedDatabasesGrantNothing)
{
    UNINSTALLER_REQUIRE_ROOT();
    const std::array<unsigned char, kAuthorizationNonceLength> nonce{};
    const Authorization asRoot(::getpid(), 1, 0, nonce);
    struct Row
    {
        const char* name;
        std::string content;
        mode_t fileMode;
        uid_t fileOwner;
        mode_t folderMode;
        uid_t folderOwner;
        OSStatus expected;
    };
    const Row rows[] = {
        {"safe", kRightsPlist, 0644, 0, 0755, 0, errAuthorizationSuccess},
        {"nobody's file", kRightsPlist, 0644, kNobody, 0755, 0, errAuthorizationInternal},
        {"group-writable file", kRightsPlist, 0664, 0, 0755, 0, errAuthorizationInternal},
        {"nobody's folder", kRightsPlist, 0644, 0, 0755, kNobody, errAuthorizationInternal},
        {"world-writable folder", kRightsPlist, 0644, 0, 0777, 0, errAuthorizationInternal},
        {"damaged", "<plist><dict><key>r.allow", 0644, 0, 0755, 0, errAuthorizationInternal},
        {"not a dictionary", "<plist><array/></plist>", 0644, 0, 0755, 0, errAuthorizationInternal},
    };
    for (const Row& row : rows)
    {
        TempRoot root;
        MakeFolder(root / "etc", 0755);
        MakeFolder(root / "etc/uninstallhelper", row.folderMode, row.folderOwner);
        WriteFile(root / "etc/uninstallhelper/rights.plist", row.content, row.fileMode, row.fileOwner);
        EXPECT_EQ(AuthorizationCopyRights(asRoot, RightsDatabase(root.Path()), "r.allow"), row.expected)
            << row.name;
    }
    TempRoot empty;
    EXPECT_EQ(AuthorizationCopyRights(asRoot, RightsDatabase(empty.Path()), "r.allow"),
              errAuthorizationDenied)
        << "no database holds no rights";
}
