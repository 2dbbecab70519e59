// The connector against the test device helper over real message ports: in
// this process, and as a process of its own started through the fake
// launchctl.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/AttachedDeviceIds.h"
#include "support/FakeHelper.h"
#include "support/FakeMessagePorts.h"
#include "support/ScopedRuntimeDirectory.h"
#include "velquin/Common/MacLocalConnector.h"

using namespace HelperTesting;
using PlatformTesting::FakeCommandRunner;
using PlatformTesting::ScopedRuntimeDirectory;

namespace
{

std::vector<std::int32_t> Words(int seed)
{
    std::vector<std::int32_t> words;
    for (int i = 0; i < 12; ++i)
    {
        words.push_back(seed * 1000 + i);
    }
    return words;
}

FakeDevice Device(int seed, const std::string& name)
{
    FakeDevice device;
    device.IdWords = Words(seed);
    device.Name = name;
    device.HelperId = "helper-" + std::to_string(seed);
    return device;
}

KT::Variant DeviceID(int seed)
{
    return AttachedDeviceIds::DeviceIDOf(Words(seed));
}

std::string NameOf(const KT::DeviceIdentifier& identifier)
{
    const char* name = identifier.GetUserDefinedName().CStr();
    return name != nullptr ? name : "";
}

class ConnectorWithHelperTest : public ::testing::Test
{
protected:
    ConnectorWithHelperTest() { LMacLocalConnector::Release(); }
    ~ConnectorWithHelperTest() override { LMacLocalConnector::Release(); }

    ScopedRuntimeDirectory mRuntime;
};

} // namespace

TEST_F(ConnectorWithHelperTest, ListsTheDevicesOfAHelperInThisProcess)
{
    FakeHelper helper({Device(1, "Desk"), Device(2, "Rack")});
    ASSERT_TRUE(helper.Start());
    FakeCommandRunner commands;
    auto connector = LMacLocalConnector::GetTheMacLocalConnector();
    KT::Array<KT::DeviceIdentifier> devices;
    ASSERT_EQ(connector->FindDevices(devices), 0);
    ASSERT_EQ(devices.GetCount(), 2);
    EXPECT_TRUE(devices[0].IsDeviceIDEqual(DeviceID(1)));
    EXPECT_EQ(NameOf(devices[0]), "Desk");
    EXPECT_TRUE(devices[1].IsDeviceIDEqual(DeviceID(2)));
    EXPECT_EQ(NameOf(devices[1]), "Rack");
    EXPECT_TRUE(commands.Commands().empty());
    ASSERT_EQ(helper.Requests().size(), 1u);
    EXPECT_EQ(FakeHelper::Describe(helper.Requests()[0]), "GtDL");
}

TEST_F(ConnectorWithHelperTest, AHelperThatDiesMidRequestIsStartedAgainAndThenAnswers)
{
    FakeHelper helper({Device(1, "Desk")});
    ASSERT_TRUE(helper.Start());
    FakeCommandRunner commands;
    commands.SetHook(
        [&](const std::string& command)
        {
            if (command.rfind("launchctl start ", 0) == 0)
            {
                EXPECT_TRUE(helper.Restart());
            }
        });
    auto connector = LMacLocalConnector::GetTheMacLocalConnector();
    KT::Array<KT::DeviceIdentifier> devices;
    helper.SetFault(Fault::DieMidRequest);
    EXPECT_EQ(connector->FindDevices(devices), -1) << "the reply never comes";
    helper.Stop(); // returns once the helper's own stop is complete
    std::optional<std::vector<unsigned char>> reply;
    EXPECT_EQ(connector->SendMessageToServer(MacLocalProtocol::LocalRequestGetClientID, nullptr, &reply), -1)
        << "no server any more: the port is dropped";
    EXPECT_TRUE(commands.Commands().empty());

    EXPECT_EQ(LMacLocalConnector::GetTheMacLocalConnector(), connector);
    EXPECT_EQ(commands.Commands().size(), 2u) << "launchctl ran again";
    ASSERT_EQ(connector->FindDevices(devices), 0);
    EXPECT_EQ(devices.GetCount(), 1);
}

TEST_F(ConnectorWithHelperTest, ASlowHelperFailsARequestAndTheNextOneWorks)
{
    FakeHelper helper({Device(1, "Desk")});
    ASSERT_TRUE(helper.Start());
    using MacLocalProtocol::MacLocalTimeoutList;
    using MacLocalProtocol::MacLocalTimeouts;
    auto connector = LMacLocalConnector::GetTheMacLocalConnector();
    helper.SetFault(Fault::SlowReply, 300);
    std::optional<std::vector<unsigned char>> reply;
    {
        MacLocalTimeouts::ScopedOverride shortReply(MacLocalTimeoutList::FIRST_REPLY, 50);
        EXPECT_EQ(connector->SendMessageToServer(MacLocalProtocol::LocalRequestGetClientID, nullptr, &reply),
                  -1);
    }
    // The helper answers in turn: the next request waits behind the slow one.
    helper.SetFault(Fault::None);
    EXPECT_EQ(connector->SendMessageToServer(MacLocalProtocol::LocalRequestGetClientID, nullptr, &reply), 0);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->size(), 8u);
}

TEST_F(ConnectorWithHelperTest, AFirstUseStartsTheHelperProgramThroughLaunchctl)
{
    const std::string launchctlLog = mRuntime.Base() + "/launchctl.log";
    const std::string helperLog = mRuntime.Base() + "/helper.log";
    const std::string pidFile = mRuntime.Base() + "/helper.pid";
    ::setenv("XDG_RUNTIME_DIR", mRuntime.Base().c_str(), 1);
    ::setenv("VELQUIN_LAUNCHCTL_LOG", launchctlLog.c_str(), 1);
    ::setenv("VELQUIN_FAKE_HELPER_PIDFILE", pidFile.c_str(), 1);
    std::string words;
    for (std::int32_t word : Words(7))
    {
        words += (words.empty() ? "" : ",") + std::to_string(word);
    }
    const std::string arguments =
        "--device " + words + "/Studio/helper-7 --log " + helperLog + " --idle-ms 30000";
    ::setenv("VELQUIN_FAKE_HELPER_ARGS", arguments.c_str(), 1);

    auto connector = LMacLocalConnector::GetTheMacLocalConnector();
    KT::Array<KT::DeviceIdentifier> devices;
    EXPECT_EQ(connector->FindDevices(devices), 0);
    ASSERT_EQ(devices.GetCount(), 1);
    EXPECT_TRUE(devices[0].IsDeviceIDEqual(DeviceID(7)));
    EXPECT_EQ(NameOf(devices[0]), "Studio");

    std::ifstream launchctl(launchctlLog);
    std::string line;
    std::vector<std::string> lines;
    while (std::getline(launchctl, line))
    {
        lines.push_back(line);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "load -F /Library/LaunchAgents/com.korvane.lumetraworks.wirebridge.helper.plist",
                         "start com.korvane.lumetraworks.wirebridge.helper"}));
    std::ifstream requests(helperLog);
    ASSERT_TRUE(std::getline(requests, line));
    EXPECT_EQ(line, "GtDL");

    std::ifstream pid(pidFile);
    long helperPid = 0;
    ASSERT_TRUE(pid >> helperPid);
    ::kill(static_cast<pid_t>(helperPid), SIGTERM);
}
