#include <gtest/gtest.h>

#include "Platform/Uninstaller/Authorization.h"
#include "Platform/Uninstaller/RightsDatabase.h"
#include "Uninstaller/SharedUninstaller/Common.h"
#include "Uninstaller/SharedUninstaller/HelperTool.h"
#include "Uninstaller/SharedUninstaller/HelperToolClient.h"
#include "support/Uninstaller/TestAuthorization.h"
#include "support/Uninstaller/TestProcesses.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

using namespace Uninstaller;
using namespace Uninstaller::Platform;
using namespace UninstallerTest;

namespace
{

std::string Describe(const HelperReply& reply)
{
    if (reply.error)
    {
        return reply.error->domain + " " + std::to_string(reply.error->code);
    }
    return std::string(reply.end == ScriptEnd::Signalled ? "signal " : "exit ") +
           std::to_string(reply.status) + ": " + reply.output.value_or("<no output>");
}

// A temporary root whose rights database holds the helper's right with rule.
void RegisterRight(const TempRoot& root, const char* rule)
{
    ASSERT_EQ(RightsDatabase(root.Path()).Store("uninstallhelper.runUninstallScript", {rule, "", "Common"}),
              errAuthorizationSuccess);
}

FileDescriptor Listen(const std::string& path)
{
    FileDescriptor listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    EXPECT_EQ(::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener.Get(), 8), 0);
    return listener;
}

} // namespace

TEST(HelperTool, ScriptOutputTextIsLossyCappedAndMarked)
{
    const auto bytes = [](const std::string& text)
    { return std::vector<unsigned char>(text.begin(), text.end()); };
    EXPECT_EQ(ScriptOutputText(bytes("ok\xFF\n"), false, 100), "ok\xEF\xBF\xBD\n");
    EXPECT_EQ(ScriptOutputText(bytes("abc"), true, 100), "abc\n[output truncated]\n");
    // Four bad bytes decode to twelve: held to the limit at a character boundary.
    EXPECT_EQ(ScriptOutputText(bytes("\xFF\xFF\xFF\xFF"), false, 7),
              "\xEF\xBF\xBD\xEF\xBF\xBD\n[output truncated]\n");
}

TEST(HelperTool, RequestsAreRefusedBeforeAnythingRuns)
{
    UNINSTALLER_REQUIRE_ROOT();
    TempRoot root;
    RegisterRight(root, "allow");
    const std::string marker = root / "marker";
    WriteFile(root / "script.sh", "#!/bin/sh\necho ran > " + marker + "\n", 0755);
    HelperToolOptions options;
    options.root = root.Path();
    const HelperTool tool(-1, options);
    const std::vector<unsigned char> form = OwnForm();
    std::vector<unsigned char> shortForm(form.begin(), form.end() - 1);
    const PeerCredentials parent{::getppid(), 0, 0};

    struct Row
    {
        const char* name;
        HelperRequest request;
        PeerCredentials peer;
        std::string expected;
    };
    const std::string command = kRunUninstallScriptCommand;
    const Row rows[] = {
        {"unauthorised user",
         {command, root / "script.sh", form},
         Self(kNobody),
         "NSOSStatusErrorDomain -60005"},
        {"unknown command", {"removeEverything:", root / "script.sh", form}, Self(), "NSPOSIXErrorDomain 95"},
        {"no authorization",
         {command, root / "script.sh", std::nullopt},
         Self(),
         "NSOSStatusErrorDomain -50"},
        {"31 bytes", {command, root / "script.sh", shortForm}, Self(), "NSOSStatusErrorDomain -50"},
        {"another process's form",
         {command, root / "script.sh", form},
         parent,
         "NSOSStatusErrorDomain -60002"},
        {"no path", {command, std::nullopt, form}, Self(), "NSPOSIXErrorDomain 22"},
        {"relative path", {command, "script.sh", form}, Self(), "NSPOSIXErrorDomain 22"},
    };
    for (const Row& row : rows)
    {
        EXPECT_EQ(Describe(tool.HandleRequest(row.request, row.peer)), row.expected) << row.name;
        EXPECT_FALSE(std::filesystem::exists(marker)) << row.name;
    }
    EXPECT_EQ(Describe(tool.HandleRequest({command, root / "script.sh", form}, Self())), "exit 0: ");
    EXPECT_TRUE(std::filesystem::exists(marker));
}

TEST(HelperTool, RightsFollowTheirRuleForEachAuthorisedUser)
{
    UNINSTALLER_REQUIRE_ROOT();
    TempRoot root;
    WriteFile(root / "script.sh", "#!/bin/sh\necho hello\n", 0755);
    HelperToolOptions options;
    options.root = root.Path();
    options.authorizedUids = {0, kNobody};
    const HelperTool tool(-1, options);
    const HelperRequest request{kRunUninstallScriptCommand, root / "script.sh", OwnForm()};

    EXPECT_EQ(Describe(tool.HandleRequest(request, Self(0))), "NSOSStatusErrorDomain -60005")
        << "no right yet";
    RegisterRight(root, "root");
    EXPECT_EQ(Describe(tool.HandleRequest(request, Self(0))), "exit 0: hello\n");
    EXPECT_EQ(Describe(tool.HandleRequest(request, Self(kNobody))), "NSOSStatusErrorDomain -60005");
    RegisterRight(root, "deny");
    EXPECT_EQ(Describe(tool.HandleRequest(request, Self(0))), "NSOSStatusErrorDomain -60005");
    RegisterRight(root, "allow");
    EXPECT_EQ(Describe(tool.HandleRequest(request, Self(kNobody))), "exit 0: hello\n");
    ::chmod((root / "etc/uninstallhelper/rights.plist").c_str(), 0666);
    EXPECT_EQ(Describe(tool.HandleRequest(request, Self(0))), "NSOSStatusErrorDomain -60008")
        << "unsafe database";
}

TEST(HelperTool, RepliesCarryOutputAndHowTheScriptEnded)
{
    UNINSTALLER_REQUIRE_ROOT();
    TempRoot root;
    RegisterRight(root, "allow");
    HelperToolOptions options;
    options.root = root.Path();
    options.scriptLimits.outputLimit = 64;
    options.scriptLimits.drainTime = std::chrono::milliseconds(100);
    const HelperTool tool(-1, options);
    struct Row
    {
        const char* body;
        std::string expected;
    };
    const Row rows[] = {
        {"echo out\necho err >&2\nexit 3\n", "exit 3: out\nerr\n"},
        {"printf 'bad \\377\\300 bytes'\n", "exit 0: bad \xEF\xBF\xBD\xEF\xBF\xBD bytes"},
        {"kill -KILL $$\n", "signal 9: "},
        {"head -c 100 /dev/zero | tr '\\0' x\n",
         "exit 0: " + std::string(64, 'x') + "\n[output truncated]\n"},
        {"\n", "exit 0: "},
    };
    for (const Row& row : rows)
    {
        WriteFile(root / "script.sh", std::string("#!/bin/sh\n") + row.body, 0755);
        const HelperRequest request{kRunUninstallScriptCommand, root / "script.sh", OwnForm()};
        EXPECT_EQ(Describe(tool.HandleRequest(request, Self())), row.expected) << row.body;
    }
}

TEST(HelperTool, SilentAndMalformedConnectionsAreDroppedAndTheNextServed)
{
    UNINSTALLER_REQUIRE_ROOT();
    TempRoot root;
    RegisterRight(root, "allow");
    WriteFile(root / "script.sh", "#!/bin/sh\necho served\n", 0755);
    const std::string socketPath = root / "helper.sock";
    const FileDescriptor listener = Listen(socketPath);
    HelperToolOptions options;
    options.root = root.Path();
    options.requestTimeout = std::chrono::milliseconds(150);

    // Queued before the helper runs: a silent client, a malformed frame, an oversized one, then a good
    // client.
    FileDescriptor silent;
    ASSERT_EQ(ConnectUnixSocket(socketPath, NoDeadline(), -1, silent), 0);
    FileDescriptor malformed;
    ASSERT_EQ(ConnectUnixSocket(socketPath, NoDeadline(), -1, malformed), 0);
    const unsigned char garbage[] = {3, 0, 0, 0, 0x77, 0, 0};
    ASSERT_EQ(SendAll(malformed.Get(), garbage, sizeof garbage, NoDeadline(), -1), 0);
    FileDescriptor oversized;
    ASSERT_EQ(ConnectUnixSocket(socketPath, NoDeadline(), -1, oversized), 0);
    const unsigned char huge[] = {0x01, 0x00, 0x01, 0x00};
    ASSERT_EQ(SendAll(oversized.Get(), huge, sizeof huge, NoDeadline(), -1), 0);

    int served = -1;
    std::thread helper([&] { served = HelperTool(listener.Get(), options).Run(); });
    auto client = HelperToolClient::Create({socketPath, 0});
    ASSERT_NE(client, nullptr);
    const HelperCallResult result = client->RunUninstallScript(
        root / "script.sh", OwnForm(), std::chrono::steady_clock::now() + std::chrono::seconds(20));
    helper.join();
    EXPECT_EQ(served, 0);
    ASSERT_EQ(result.outcome, HelperCallOutcome::Replied) << result.error;
    EXPECT_EQ(Describe(result.reply), "exit 0: served\n");

    // The dropped connections were closed without a reply.
    for (const FileDescriptor* dropped : {&silent, &malformed, &oversized})
    {
        unsigned char byte;
        EXPECT_EQ(ReceiveExactly(dropped->Get(), &byte, 1, NoDeadline(), -1), ECONNRESET);
    }
}
