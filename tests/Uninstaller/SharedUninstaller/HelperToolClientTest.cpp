#include <gtest/gtest.h>

#include "Uninstaller/SharedUninstaller/HelperToolClient.h"
#include "support/Uninstaller/TestProcesses.h"

#include <future>
#include <sys/socket.h>
#include <sys/un.h>

using namespace Uninstaller;
using namespace Uninstaller::Platform;
using namespace UninstallerTest;

namespace
{

using namespace std::chrono_literals;

class ClientTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        mPath = mRoot / "helper.sock";
        mListener.Reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", mPath.c_str());
        ASSERT_EQ(::bind(mListener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(mListener.Get(), 8), 0);
    }

    std::unique_ptr<HelperToolClient> Client(uid_t serverUid = ::geteuid())
    {
        return HelperToolClient::Create({mPath, serverUid});
    }

    static Deadline In(std::chrono::milliseconds time) { return std::chrono::steady_clock::now() + time; }

    FileDescriptor Accept()
    {
        FileDescriptor connection;
        EXPECT_EQ(AcceptConnection(mListener.Get(), In(10s), connection), 0);
        return connection;
    }

    // Everything the client sent until it closed.
    static std::size_t BytesUntilClosed(const FileDescriptor& connection)
    {
        std::size_t total = 0;
        unsigned char byte;
        while (ReceiveExactly(connection.Get(), &byte, 1, In(10s), -1) == 0)
        {
            ++total;
        }
        return total;
    }

    TempRoot mRoot;
    std::string mPath;
    FileDescriptor mListener;
};

const std::vector<unsigned char> kForm(32, 0x5A);

} // namespace

TEST_F(ClientTest, SendsNothingToAServerOfAnotherUser)
{
    auto client = Client(::geteuid() + 1);
    const HelperCallResult result = client->RunUninstallScript("/x", kForm, In(10s));
    EXPECT_EQ(result.outcome, HelperCallOutcome::Failed);
    EXPECT_EQ(result.error, EPERM);
    EXPECT_EQ(BytesUntilClosed(Accept()), 0u);
}

TEST_F(ClientTest, TheDeadlineGivesATimeOut)
{
    auto client = Client();
    const auto started = std::chrono::steady_clock::now();
    const HelperCallResult result = client->RunUninstallScript("/x", kForm, In(100ms));
    EXPECT_EQ(result.outcome, HelperCallOutcome::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 100ms);

    FileDescriptor absent;
    EXPECT_EQ(ConnectUnixSocket(mRoot / "absent.sock", In(10s), -1, absent), ENOENT);
}

TEST_F(ClientTest, CancelEndsAPendingCallAtOnce)
{
    auto client = Client();
    auto call =
        std::async(std::launch::async, [&] { return client->RunUninstallScript("/x", kForm, In(60s)); });
    // Once the request has arrived the client is waiting for a reply.
    const FileDescriptor connection = Accept();
    std::vector<unsigned char> payload;
    ASSERT_EQ(ReceiveFramePayload(connection.Get(), kMaxRequestPayload, In(10s), -1, payload), 0);
    client->Cancel();
    ASSERT_EQ(call.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(call.get().outcome, HelperCallOutcome::Cancelled);

    // A cancelled client stays cancelled and connects no more.
    EXPECT_EQ(client->RunUninstallScript("/x", kForm, In(60s)).outcome, HelperCallOutcome::Cancelled);
    FileDescriptor none;
    EXPECT_EQ(AcceptConnection(mListener.Get(), In(0ms), none), EAGAIN);
}

TEST_F(ClientTest, BadRepliesAreErrors)
{
    struct Row
    {
        const char* name;
        std::vector<unsigned char> reply;
        int expected;
    };
    const Row rows[] = {
        {"malformed", {2, 0, 0, 0, 0x55, 0x55}, EBADMSG},
        {"over 2 MiB", {0x01, 0x00, 0x20, 0x00}, EMSGSIZE},
        {"cut", {9, 0, 0, 0, 0x13}, ECONNRESET},
    };
    for (const Row& row : rows)
    {
        auto client = Client();
        auto call = std::async(std::launch::async, [&]
                               { return client->RunUninstallScript(std::nullopt, std::nullopt, In(10s)); });
        {
            const FileDescriptor connection = Accept();
            std::vector<unsigned char> payload;
            ASSERT_EQ(ReceiveFramePayload(connection.Get(), kMaxRequestPayload, In(10s), -1, payload), 0);
            const auto request = DecodeRequestPayload(payload);
            ASSERT_TRUE(request);
            EXPECT_EQ(request->command, kRunUninstallScriptCommand);
            EXPECT_FALSE(request->path);
            EXPECT_FALSE(request->authorization);
            ASSERT_EQ(SendAll(connection.Get(), row.reply.data(), row.reply.size(), In(10s), -1), 0);
        }
        const HelperCallResult result = call.get();
        EXPECT_EQ(result.outcome, HelperCallOutcome::Failed) << row.name;
        EXPECT_EQ(result.error, row.expected) << row.name;
    }
    EXPECT_EQ(HelperToolClient::SocketPathForRoot("/"), "/run/uninstallhelper.sock");
    EXPECT_EQ(HelperToolClient::SocketPathForRoot("/tmp/r/"), "/tmp/r/run/uninstallhelper.sock");
}
