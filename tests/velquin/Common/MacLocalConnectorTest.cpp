#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Command.h"
#include "Platform/PropertyList.h"
#include "support/FakeMessagePorts.h"
#include "support/FakeTicks.h"
#include "velquin/Common/MacLocalConnector.h"

// Result codes that a test does not judge (set-up steps, and calls whose effect
// it checks another way) are cast to void.

using KT::Platform::Plist;
using KT::Platform::PortStatus;
using PlatformTesting::FakeCommandRunner;
using PlatformTesting::FakeMessagePorts;
using PlatformTesting::FakeTicks;

namespace
{

const std::vector<std::string> kLaunchCommands{
    "launchctl load -F /Library/LaunchAgents/com.korvane.lumetraworks.wirebridge.helper.plist",
    "launchctl start com.korvane.lumetraworks.wirebridge.helper"};

constexpr std::int32_t kGetDeviceList = 0x4774444C;

// Every test starts without a connector and with fakes for the port, the
// ticks and the commands.
class MacLocalConnectorTest : public ::testing::Test
{
protected:
    MacLocalConnectorTest() { LMacLocalConnector::Release(); }
    ~MacLocalConnectorTest() override { LMacLocalConnector::Release(); }

    FakeMessagePorts mPorts{"com.korvanelabs.device.{9E0C3419-93E1-4E92-B8E3-79141B049228}"};
    FakeTicks mTicks;
    FakeCommandRunner mCommands;
};

KT::Variant DeviceID(int seed, std::size_t words = 12)
{
    std::vector<KT::Variant> elements;
    for (std::size_t i = 0; i < words; ++i)
    {
        elements.emplace_back(static_cast<int>(seed * 100 + i));
    }
    KT::Variant id;
    id.SetArray(elements.data(), elements.size());
    return id;
}

std::vector<unsigned char> Record(const KT::Variant& value)
{
    std::vector<unsigned char> bytes(KT::Variant::GetSerializedSize(value));
    EXPECT_GT(KT::Variant::Serialize(value, bytes.data(), bytes.size()), 0);
    return bytes;
}

std::vector<unsigned char> PairRecord(const KT::Variant& first, const KT::Variant& second)
{
    const KT::Variant items[2] = {first, second};
    KT::Variant pair;
    pair.SetArray(items, 2);
    return Record(pair);
}

KT::Variant Text(const char* text)
{
    KT::Variant value;
    value.Set(text);
    return value;
}

std::vector<unsigned char> Xml(Plist&& list)
{
    std::vector<unsigned char> xml;
    EXPECT_TRUE(list.ToXml(xml));
    return xml;
}

Plist DataArray(const std::vector<std::vector<unsigned char>>& elements)
{
    Plist array = Plist::NewArray();
    for (const auto& element : elements)
    {
        EXPECT_TRUE(array.Append(Plist::NewData(element.data(), element.size())));
    }
    return array;
}

} // namespace

TEST_F(MacLocalConnectorTest, APresentPortNeedsNoCommandAndNoWait)
{
    mPorts.SetPresent(true);
    EXPECT_FALSE(!LMacLocalConnector::GetTheMacLocalConnector());
    EXPECT_TRUE(LMacLocalConnector::GetTheMacLocalConnector()->MessagePortValid());
    EXPECT_TRUE(mCommands.Commands().empty());
    EXPECT_EQ(mTicks.DelayCalls(), 0u);
    EXPECT_EQ(mPorts.LookUps(), 1) << "a port found is kept";
}

TEST_F(MacLocalConnectorTest, AnAbsentPortRunsBothCommandsAndWaits7200TicksOnEveryCall)
{
    auto connector = LMacLocalConnector::GetTheMacLocalConnector();
    ASSERT_FALSE(!connector);
    EXPECT_EQ(mCommands.Commands(), kLaunchCommands);
    EXPECT_EQ(mTicks.Elapsed(), 7200u);
    EXPECT_FALSE(connector->MessagePortValid());
    std::optional<std::vector<unsigned char>> reply;
    EXPECT_EQ(connector->SendMessageToServer(kGetDeviceList, nullptr, &reply), -1);

    EXPECT_EQ(LMacLocalConnector::GetTheMacLocalConnector(), connector);
    EXPECT_EQ(mCommands.Commands().size(), 4u);
    EXPECT_EQ(mTicks.Elapsed(), 14400u);
}

TEST_F(MacLocalConnectorTest, AHelperThatAppearsAtTick600EndsTheWaitThen)
{
    mTicks.At(600, [&] { mPorts.SetPresent(true); });
    auto connector = LMacLocalConnector::GetTheMacLocalConnector();
    EXPECT_EQ(mCommands.Commands(), kLaunchCommands);
    EXPECT_EQ(mTicks.Elapsed(), 600u);
    EXPECT_TRUE(connector->MessagePortValid());
}

TEST_F(MacLocalConnectorTest, WithoutLaunchctlThereIsNoWait)
{
    mCommands.SetStatus(KT::Platform::kCommandNotFound);
    LMacLocalConnector::GetTheMacLocalConnector();
    EXPECT_EQ(mCommands.Commands(), kLaunchCommands);
    EXPECT_EQ(mTicks.Elapsed(), 0u);
}

TEST_F(MacLocalConnectorTest, EightThreadsShareOneStartAttempt)
{
    constexpr int kThreads = 8;
    std::atomic<bool> allWaiting{false};
    mCommands.SetHook(
        [&](const std::string& command)
        {
            if (command == kLaunchCommands[0])
            {
                // Hold the attempt until every other caller waits for it (bounded,
                // so a connector that does not share fails instead of hanging).
                const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                while (LMacLocalConnector::GetLaunchWaitersForTesting() < kThreads - 1 &&
                       std::chrono::steady_clock::now() < limit)
                {
                    std::this_thread::yield();
                }
                allWaiting = LMacLocalConnector::GetLaunchWaitersForTesting() == kThreads - 1;
            }
        });
    mTicks.At(600, [&] { mPorts.SetPresent(true); });
    std::vector<std::thread> threads;
    std::atomic<int> valid{0};
    for (int i = 0; i < kThreads; ++i)
    {
        threads.emplace_back(
            [&]
            {
                if (LMacLocalConnector::GetTheMacLocalConnector()->MessagePortValid())
                {
                    ++valid;
                }
            });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    EXPECT_TRUE(allWaiting);
    EXPECT_EQ(mCommands.Commands(), kLaunchCommands);
    EXPECT_EQ(mTicks.Elapsed(), 600u);
    EXPECT_EQ(valid.load(), kThreads);
}

TEST_F(MacLocalConnectorTest, RequestsUseTheSendTimeOutAnd30SecondsUntilAFirstSuccessThen5)
{
    mPorts.SetPresent(true);
    auto connector = LMacLocalConnector::GetTheMacLocalConnector();
    const std::vector<unsigned char> data{1, 2};
    std::optional<std::vector<unsigned char>> reply;
    mPorts.SetAnswer([](const FakeMessagePorts::Request&, std::optional<std::vector<unsigned char>>*)
                     { return PortStatus::ReceiveTimeout; });
    EXPECT_EQ(connector->SendMessageToServer(0x47744349, nullptr, &reply), -1);
    mPorts.SetAnswer(
        [](const FakeMessagePorts::Request&, std::optional<std::vector<unsigned char>>* out)
        {
            *out = std::vector<unsigned char>{9};
            return PortStatus::Success;
        });
    EXPECT_EQ(connector->SendMessageToServer(0x436E6374, &data, nullptr), 0);
    EXPECT_EQ(connector->SendMessageToServer(0x5350724D, &data, &reply), 0);
    EXPECT_EQ(reply, std::vector<unsigned char>{9});

    const auto requests = mPorts.Requests();
    ASSERT_EQ(requests.size(), 3u);
    const struct
    {
        std::int32_t id;
        std::uint32_t replyTimeout;
        bool replyWanted;
        bool hasData;
    } expected[] = {
        {0x47744349, 30000, true, false}, {0x436E6374, 30000, false, true}, {0x5350724D, 5000, true, true}};
    for (std::size_t i = 0; i < requests.size(); ++i)
    {
        EXPECT_EQ(requests[i].MessageId, expected[i].id) << i;
        EXPECT_EQ(requests[i].SendTimeoutMs, 2500u) << i;
        EXPECT_EQ(requests[i].ReplyTimeoutMs, expected[i].replyTimeout) << i;
        EXPECT_EQ(requests[i].ReplyWanted, expected[i].replyWanted) << i;
        EXPECT_EQ(requests[i].Data.has_value(), expected[i].hasData) << i;
    }
}

TEST_F(MacLocalConnectorTest, AHelperFoundGoneIsLookedForAndStartedAgain)
{
    mPorts.SetPresent(true);
    auto connector = LMacLocalConnector::GetTheMacLocalConnector();
    mPorts.SetPresent(false);
    mPorts.SetAnswer([](const FakeMessagePorts::Request&, std::optional<std::vector<unsigned char>>*)
                     { return PortStatus::IsInvalid; });
    EXPECT_EQ(connector->SendMessageToServer(0x47744349, nullptr, nullptr), -1);
    EXPECT_FALSE(connector->MessagePortValid());

    mTicks.At(30, [&] { mPorts.SetPresent(true); });
    mPorts.SetAnswer(nullptr);
    EXPECT_EQ(LMacLocalConnector::GetTheMacLocalConnector(), connector);
    EXPECT_EQ(mCommands.Commands(), kLaunchCommands) << "the helper is started again";
    EXPECT_EQ(connector->SendMessageToServer(0x47744349, nullptr, nullptr), 0);
}

TEST_F(MacLocalConnectorTest, ReadsTheDeviceListAndSkipsWhatIsNoDeviceRecord)
{
    mPorts.SetPresent(true);
    auto connector = LMacLocalConnector::GetTheMacLocalConnector();
    const auto first = PairRecord(DeviceID(1), Text("Desk"));
    const auto second = PairRecord(DeviceID(2), Text("Rack"));
    struct Row
    {
        const char* name;
        PortStatus status;
        std::optional<std::vector<unsigned char>> reply;
        int result;
        std::vector<std::pair<int, std::string>> devices; // seed, name
    };
    Plist withString = Plist::NewArray();
    EXPECT_TRUE(withString.Append(Plist::NewString("not data")));
    const std::vector<Row> rows = {
        {"two devices", PortStatus::Success, Xml(DataArray({first, second})), 0, {{1, "Desk"}, {2, "Rack"}}},
        {"request failed", PortStatus::ReceiveTimeout, std::nullopt, -1, {}},
        {"null reply", PortStatus::Success, std::nullopt, 0, {}},
        {"malformed property list", PortStatus::Success, std::vector<unsigned char>{'<', 'x'}, 0, {}},
        {"root is not an array", PortStatus::Success, Xml(Plist::NewDictionary()), 0, {}},
        {"bad second of three",
         PortStatus::Success,
         Xml(DataArray({first, Record(DeviceID(9)), second})),
         0,
         {{1, "Desk"}, {2, "Rack"}}},
        {"name that is no string",
         PortStatus::Success,
         Xml(DataArray({PairRecord(DeviceID(3), KT::Variant(7))})),
         0,
         {{3, ""}}},
        {"eleven words",
         PortStatus::Success,
         Xml(DataArray({PairRecord(DeviceID(4, 11), Text("x"))})),
         0,
         {}},
        {"element that is no data", PortStatus::Success, Xml(std::move(withString)), 0, {}},
        {"cut record",
         PortStatus::Success,
         Xml(DataArray({std::vector<unsigned char>(first.begin(), first.end() - 1), second})),
         0,
         {{2, "Rack"}}},
    };
    for (const Row& row : rows)
    {
        mPorts.SetAnswer(
            [&](const FakeMessagePorts::Request& request, std::optional<std::vector<unsigned char>>* out)
            {
                EXPECT_EQ(request.MessageId, kGetDeviceList);
                EXPECT_FALSE(request.Data.has_value());
                *out = row.reply;
                return row.status;
            });
        KT::Array<KT::DeviceIdentifier> devices;
        static_cast<void>(devices.SetCount(5));
        EXPECT_EQ(connector->FindDevices(devices), row.result) << row.name;
        ASSERT_EQ(devices.GetCount(), static_cast<std::int64_t>(row.devices.size())) << row.name;
        for (std::size_t i = 0; i < row.devices.size(); ++i)
        {
            EXPECT_TRUE(devices[i].IsDeviceIDEqual(DeviceID(row.devices[i].first))) << row.name << " " << i;
            const char* name = devices[i].GetUserDefinedName().CStr();
            EXPECT_EQ(std::string(name != nullptr ? name : ""), row.devices[i].second)
                << row.name << " " << i;
        }
    }
}
