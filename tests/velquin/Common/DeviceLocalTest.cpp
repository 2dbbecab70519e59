// An attached device against the test device helper: the connect handshake as
// the helper sees it, the acceptance and the notifications that reach the
// host, the requests' bytes and the replies' shapes, disconnection. A helper
// script on a fake port stands in where a reply must take a shape the helper
// never gives.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Command.h"
#include "Platform/DistributedNotificationCenter.h"
#include "Platform/PropertyList.h"
#include "support/FakeHelper.h"
#include "support/FakeMessagePorts.h"
#include "support/ScopedRuntimeDirectory.h"
#include "velquin/Common/CrossPlatform/DeviceMessageSerializer.h"
#include "velquin/Common/DeviceLocal.h"
#include "velquin/Common/DeviceLocalTesting.h"
#include "velquin/Common/MacLocalConnector.h"

using namespace DeviceLocalTesting;
using namespace HelperTesting;
using KT::Platform::PortStatus;
using PlatformTesting::FakeCommandRunner;
using PlatformTesting::FakeMessagePorts;
using PlatformTesting::ScopedRuntimeDirectory;

namespace
{

constexpr std::int64_t kToken = 0x1122334455667788;

// Golden device messages, each with an empty descriptor or list (the Empty
// record 0C 00 00 00 01 00 00 00 00 00 00 00).
const Bytes kGetToken = {0x18, 0, 0, 0, 2, 0, 0, 0, 0xFD, 0xFF, 0xFF, 0xFF,
                         0x0C, 0, 0, 0, 1, 0, 0, 0, 0,    0,    0,    0};
const Bytes kGetState = {0x18, 0, 0, 0, 2, 0, 0, 0, 0xFC, 0xFF, 0xFF, 0xFF,
                         0x0C, 0, 0, 0, 1, 0, 0, 0, 0,    0,    0,    0};
const Bytes kGetParam7 = {0x18, 0, 0, 0, 2, 0, 0, 0, 0x07, 0, 0, 0, 0x0C, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
const Bytes kGetValues = {0x18, 0, 0, 0, 2, 0, 0, 0, 0xF9, 0xFF, 0xFF, 0xFF,
                          0x0C, 0, 0, 0, 1, 0, 0, 0, 0,    0,    0,    0};
const Bytes kGetRanges = {0x18, 0, 0, 0, 2, 0, 0, 0, 0xFB, 0xFF, 0xFF, 0xFF,
                          0x0C, 0, 0, 0, 1, 0, 0, 0, 0,    0,    0,    0};
const Bytes kRequestValues = {0x18, 0, 0, 0, 1, 0, 0, 0, 0xF9, 0xFF, 0xFF, 0xFF,
                              0x0C, 0, 0, 0, 1, 0, 0, 0, 0,    0,    0,    0};
const Bytes kRequestRanges = {0x18, 0, 0, 0, 1, 0, 0, 0, 0xFB, 0xFF, 0xFF, 0xFF,
                              0x0C, 0, 0, 0, 1, 0, 0, 0, 0,    0,    0,    0};
// Set of parameter 7 to Int32 5: one entry [Int32 5, Int32 7, Empty].
const Bytes kSetParam7To5 = {0x50, 0, 0, 0, 0,    0, 0, 0, 0xFA, 0xFF, 0xFF, 0xFF, 0x44, 0, 0, 0,
                             1,    0, 0, 0, 0x10, 0, 0, 0, 0x38, 0,    0,    0,    1,    0, 0, 0,
                             0x10, 0, 0, 0, 0x10, 0, 0, 0, 1,    0,    0,    0,    6,    0, 0, 0,
                             5,    0, 0, 0, 0x10, 0, 0, 0, 1,    0,    0,    0,    6,    0, 0, 0,
                             7,    0, 0, 0, 0x0C, 0, 0, 0, 1,    0,    0,    0,    0,    0, 0, 0};

std::vector<std::string> Codes(const std::vector<LoggedRequest>& log)
{
    std::vector<std::string> codes;
    for (const LoggedRequest& request : log)
    {
        codes.push_back(request.Code);
    }
    return codes;
}

KT::RCPtr<LDeviceBase> MakeDevice(int seed)
{
    return LDeviceLocal::Create(KT::DeviceIdentifier(DeviceID(seed)));
}

// Every test has its own runtime directory, a fresh connector, and no
// launchctl: a helper that is not there stays away.
class DeviceLocalTest : public ::testing::Test
{
protected:
    DeviceLocalTest()
    {
        LMacLocalConnector::Release();
        mCommands.SetStatus(KT::Platform::kCommandNotFound);
        EXPECT_TRUE(mHelper.Start());
    }
    ~DeviceLocalTest() override { LMacLocalConnector::Release(); }

    // Disconnects a connected device and waits until the helper has its 'DCnt'.
    void Disconnect(const KT::RCPtr<LDeviceBase>& device)
    {
        const std::size_t sent = RequestsOf(mHelper.Requests(), "DCnt").size();
        EXPECT_EQ(0, device->DisconnectDevice());
        EXPECT_TRUE(WaitForCode(mHelper, "DCnt", sent + 1));
    }

    // Connects device seed (helper device index) and has the device accept.
    KT::RCPtr<LDeviceBase> ConnectAccepted(int seed, std::size_t index)
    {
        KT::RCPtr<LDeviceBase> device = MakeDevice(seed);
        EXPECT_EQ(0, device->ConnectDevice(&Recorder::Callback, &mRecorder));
        const std::size_t before = mRecorder.Calls().size();
        EXPECT_TRUE(mHelper.PostAcceptance(index, kToken, true, FakeHelper::AcceptanceForm::Array));
        EXPECT_TRUE(mRecorder.WaitForCalls(before + 1));
        return device;
    }

    ScopedRuntimeDirectory mRuntime;
    FakeCommandRunner mCommands;
    FakeHelper mHelper{{Device(1), Device(2, false)}};
    Recorder mRecorder;
};

TEST_F(DeviceLocalTest, ConnectAsksTheNameOnceThenTheClientIDConnectsAndReadsTokenAndState)
{
    const struct
    {
        int seed;
        int expected; // the device's answer to the access-state get decides it
    } rows[] = {{1, 0}, {2, QVRX_CONNECTED_AWAITING_ACCEPTANCE}};
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.seed);
        mHelper.ClearRequests();
        KT::RCPtr<LDeviceBase> device = MakeDevice(row.seed);
        EXPECT_FALSE(device->IsConnected(true, 500));
        EXPECT_TRUE(mHelper.Requests().empty()) << "IsConnected sends nothing";

        ASSERT_EQ(row.expected, device->ConnectDevice(&Recorder::Callback, &mRecorder));
        EXPECT_TRUE(device->IsConnected(true, 500));
        std::vector<LoggedRequest> log = mHelper.Requests();
        ASSERT_EQ((std::vector<std::string>{"GtDI", "GtCI", "Cnct", "SPrM", "SPrM"}), Codes(log));
        EXPECT_EQ(Records::DeviceID(Words(row.seed)), log[0].Data.value_or(Bytes()));
        EXPECT_TRUE(log[0].ReplyWanted);
        EXPECT_FALSE(log[1].Data.has_value());
        EXPECT_TRUE(log[1].ReplyWanted);
        const std::string helperId = "helper-" + std::to_string(row.seed);
        const std::int64_t clientId = static_cast<std::int32_t>(mHelper.LastClientId());
        for (std::size_t i = 2; i < 5; ++i)
        {
            EXPECT_EQ(helperId, log[i].DeviceId) << i;
            EXPECT_EQ(clientId, log[i].ClientId.value_or(0)) << i;
        }
        EXPECT_FALSE(log[2].ReplyWanted);
        EXPECT_EQ(kGetToken, ParameterData(log[3].Data));
        EXPECT_EQ(kGetState, ParameterData(log[4].Data));
        EXPECT_TRUE(log[3].ReplyWanted && log[4].ReplyWanted);

        EXPECT_EQ(QVRX_RESULT_ALREADY_CONNECTED, device->ConnectDevice(&Recorder::Callback, &mRecorder));
        EXPECT_EQ(5u, mHelper.Requests().size()) << "a second connect sends nothing";

        Disconnect(device);
        mHelper.ClearRequests();
        EXPECT_EQ(row.expected, device->ConnectDevice(&Recorder::Callback, &mRecorder));
        EXPECT_EQ((std::vector<std::string>{"GtCI", "Cnct", "SPrM", "SPrM"}), Codes(mHelper.Requests()))
            << "the helper's name of the device is asked once per device object";
        Disconnect(device);
    }
    EXPECT_TRUE(mRecorder.Calls().empty()) << "neither device has accepted";
}

TEST_F(DeviceLocalTest, AConnectThatCannotStartFailsWithMinusSixAndLeavesNothingBehind)
{
    std::vector<FakeDevice> unnamed = {Device(1), Device(2, false)};
    unnamed[0].HelperId.clear();
    const struct
    {
        const char* name;
        Fault fault;
        bool emptyName;
        std::vector<std::string> sent;
    } rows[] = {
        {"no name", Fault::NullReply, false, {"GtDI"}},
        {"a name that is no property list", Fault::MalformedPlist, false, {"GtDI"}},
        {"a name that is no string", Fault::WrongRootType, false, {"GtDI"}},
        {"an empty name", Fault::None, true, {"GtDI"}},
        {"a client ID of 6 bytes", Fault::ClientId6Bytes, false, {"GtDI", "GtCI"}},
        {"no client ID", Fault::EmptyReply, false, {"GtDI"}},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        mHelper.SetDevices(row.emptyName ? unnamed : std::vector<FakeDevice>{Device(1), Device(2, false)});
        mHelper.SetFault(row.fault);
        mHelper.ClearRequests();
        KT::RCPtr<LDeviceBase> device = MakeDevice(1);
        EXPECT_EQ(QVRX_RESULT_CONNECTION_FAILED, device->ConnectDevice(&Recorder::Callback, &mRecorder));
        EXPECT_FALSE(device->IsConnected(false, 0));
        EXPECT_EQ(row.sent, Codes(mHelper.Requests()));

        // The same device connects once the helper answers.
        mHelper.SetDevices({Device(1), Device(2, false)});
        mHelper.SetFault(Fault::None);
        EXPECT_EQ(0, device->ConnectDevice(&Recorder::Callback, &mRecorder));
        Disconnect(device);
    }
}

TEST_F(DeviceLocalTest, AFourByteClientIDIsWidenedWithItsSignAndSentAsMinusOne)
{
    mHelper.SetFault(Fault::ClientId4Bytes);
    KT::RCPtr<LDeviceBase> device = MakeDevice(1);
    ASSERT_EQ(0, device->ConnectDevice(&Recorder::Callback, &mRecorder));
    Disconnect(device);
    const std::vector<LoggedRequest> log = mHelper.Requests();
    ASSERT_EQ((std::vector<std::string>{"GtDI", "GtCI", "Cnct", "SPrM", "SPrM", "DCnt"}), Codes(log));
    for (std::size_t i = 2; i < log.size(); ++i)
    {
        EXPECT_EQ(-1, log[i].ClientId.value_or(0)) << log[i].Code;
    }
}

TEST_F(DeviceLocalTest, RequestsCarryGoldenDeviceMessagesAndGetsReadTheReplies)
{
    std::vector<FakeDevice> devices{Device(1), Device(2, false)};
    devices[0].Values[7] = Records::Int32(1);
    mHelper.SetDevices(devices);
    KT::RCPtr<LDeviceBase> device = MakeDevice(1);

    // Not connected: nothing is sent.
    KT::Variant value(42);
    KT::ParamValues values;
    EXPECT_EQ(QVRX_RESULT_NOT_CONNECTED, device->GetParamValue(KT::ParamDescriptor(7), value));
    EXPECT_EQ(QVRX_RESULT_NOT_CONNECTED, device->GetParamValues(KT::ParamDescriptors(), values));
    EXPECT_EQ(QVRX_RESULT_NOT_CONNECTED, device->GetParamRanges(KT::ParamRanges(), values));
    EXPECT_EQ(QVRX_RESULT_NOT_CONNECTED, device->SetParamValue(KT::ParamDescriptor(7), KT::Variant(5)));
    EXPECT_EQ(QVRX_RESULT_NOT_CONNECTED,
              device->RequestParamValuesOrRanges(static_cast<std::uint32_t>(MESSAGE_ID_PARAM_RANGES),
                                                 KT::ParamRanges()));
    EXPECT_EQ(QVRX_RESULT_NOT_CONNECTED, device->DisconnectDevice());
    EXPECT_TRUE(mHelper.Requests().empty());
    EXPECT_EQ(42, value.GetInt32());

    ASSERT_EQ(0, device->ConnectDevice(&Recorder::Callback, &mRecorder));
    mHelper.ClearRequests();
    EXPECT_EQ(0, device->GetParamValue(KT::ParamDescriptor(7), value));
    EXPECT_EQ(1, value.GetInt32());
    EXPECT_EQ(0, device->SetParamValue(KT::ParamDescriptor(7), KT::Variant(5)));
    EXPECT_EQ(0, device->GetParamValue(KT::ParamDescriptor(7), value));
    EXPECT_EQ(KT::Variant::TYPE_INT32, value.GetType());
    EXPECT_EQ(5, value.GetInt32()) << "the set reached the helper";
    EXPECT_EQ(0, device->GetParamValues(KT::ParamDescriptors(), values));
    EXPECT_EQ((Call{{7, 5}, {8, 6}}), EntriesOf(values));
    EXPECT_EQ(0, device->GetParamRanges(KT::ParamRanges(), values));
    EXPECT_EQ(0, device->RequestParamValuesOrRanges(static_cast<std::uint32_t>(MESSAGE_ID_PARAM_DESCRIPTORS),
                                                    KT::ParamDescriptors()));
    EXPECT_EQ(0, device->RequestParamValuesOrRanges(static_cast<std::uint32_t>(MESSAGE_ID_PARAM_RANGES),
                                                    KT::ParamRanges()));

    ASSERT_TRUE(mHelper.WaitForRequests(7));
    const std::vector<LoggedRequest> log = mHelper.Requests();
    const struct
    {
        Bytes message;
        bool replyWanted;
    } expected[] = {{kGetParam7, true}, {kSetParam7To5, false},  {kGetParam7, true},     {kGetValues, true},
                    {kGetRanges, true}, {kRequestValues, false}, {kRequestRanges, false}};
    ASSERT_EQ(std::size(expected), log.size());
    for (std::size_t i = 0; i < log.size(); ++i)
    {
        EXPECT_EQ("SPrM", log[i].Code) << i;
        EXPECT_EQ("helper-1", log[i].DeviceId) << i;
        EXPECT_EQ(static_cast<std::int32_t>(mHelper.LastClientId()), log[i].ClientId.value_or(0)) << i;
        EXPECT_EQ(expected[i].message, ParameterData(log[i].Data)) << i;
        EXPECT_EQ(expected[i].replyWanted, log[i].ReplyWanted) << i;
    }
}

TEST_F(DeviceLocalTest, ASlowHelperFailsAGetAndTheNextOneWorks)
{
    using MacLocalProtocol::MacLocalTimeoutList;
    using MacLocalProtocol::MacLocalTimeouts;
    KT::RCPtr<LDeviceBase> device = MakeDevice(1);
    ASSERT_EQ(0, device->ConnectDevice(&Recorder::Callback, &mRecorder));
    KT::Variant value(42);
    mHelper.SetFault(Fault::SlowReply, 300);
    {
        MacLocalTimeouts::ScopedOverride shortReply(MacLocalTimeoutList::REPLY, 50);
        EXPECT_EQ(QVRX_RESULT_FAILED, device->GetParamValue(KT::ParamDescriptor(7), value));
    }
    EXPECT_EQ(42, value.GetInt32()) << "a get that was not answered leaves the output alone";
    mHelper.SetFault(Fault::None);
    EXPECT_EQ(0, device->GetParamValue(KT::ParamDescriptor(7), value));
    EXPECT_EQ(5, value.GetInt32());
}

TEST_F(DeviceLocalTest, NotificationsReachTheHostOnlyOnceTheDeviceHasAcceptedThisClient)
{
    const struct
    {
        const char* name;
        bool acceptFirst;
        std::function<void(FakeHelper&)> post;
        std::vector<Call> expected; // before the closing acceptance and values
    } rows[] = {
        {"acceptance as an array",
         false,
         [](FakeHelper& helper)
         { helper.PostAcceptance(1, kToken, true, FakeHelper::AcceptanceForm::Array); },
         {{{-2, 1}}}},
        {"acceptance as 12 bytes",
         false,
         [](FakeHelper& helper)
         { helper.PostAcceptance(1, kToken, true, FakeHelper::AcceptanceForm::Bytes12); },
         {{{-2, 1}}}},
        {"a refusal still accepts and passes the state on",
         false,
         [](FakeHelper& helper)
         { helper.PostAcceptance(1, kToken, false, FakeHelper::AcceptanceForm::Bytes12); },
         {{{-2, 0}}}},
        {"another client's token",
         false,
         [](FakeHelper& helper)
         { helper.PostAcceptance(1, kToken + 1, true, FakeHelper::AcceptanceForm::Array); },
         {}},
        {"values before acceptance",
         false,
         [](FakeHelper& helper) {
             helper.PostValues(1, {{7, Records::Int32(9)}});
         },
         {}},
        {"a one-element array",
         false,
         [](FakeHelper& helper) {
             helper.PostValues(1, {{-4, Records::Array({Records::Int64(kToken)})}});
         },
         {}},
        {"11 bytes",
         false,
         [](FakeHelper& helper) {
             helper.PostValues(1, {{-4, Records::Buffer(Bytes(11, 0x88))}});
         },
         {}},
        {"values after acceptance, every entry",
         true,
         [](FakeHelper& helper) {
             helper.PostValues(1, {{7, Records::Int32(9)}, {8, Records::Int32(10)}});
         },
         {{{7, 9}, {8, 10}}}},
        {"a request message",
         true,
         [](FakeHelper& helper) {
             helper.PostMessage(1, 1, -6, Records::ParamValues({{7, Records::Int32(9)}}));
         },
         {}},
        {"a ranges message",
         true,
         [](FakeHelper& helper) {
             helper.PostMessage(1, 0, -5, Records::ParamValues({{7, Records::Int32(9)}}));
         },
         {}},
        {"no device message",
         true,
         [](FakeHelper& helper) {
             helper.PostMessage(1, 0, -6, Bytes{1, 2, 3});
         },
         {}},
    };
    KT::RCPtr<LDeviceBase> device = MakeDevice(2);
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        Recorder recorder;
        ASSERT_EQ(QVRX_CONNECTED_AWAITING_ACCEPTANCE, device->ConnectDevice(&Recorder::Callback, &recorder));
        std::vector<Call> expected;
        if (row.acceptFirst)
        {
            ASSERT_TRUE(mHelper.PostAcceptance(1, kToken, true, FakeHelper::AcceptanceForm::Array));
            expected.push_back({{-2, 1}});
        }
        row.post(mHelper);
        expected.insert(expected.end(), row.expected.begin(), row.expected.end());
        // Deliveries keep their order: once the closing values arrive, every
        // notification before them has been handled.
        ASSERT_TRUE(mHelper.PostAcceptance(1, kToken, true, FakeHelper::AcceptanceForm::Array));
        ASSERT_TRUE(mHelper.PostValues(1, {{100, Records::Int32(100)}}));
        expected.push_back({{-2, 1}});
        expected.push_back({{100, 100}});
        ASSERT_TRUE(recorder.WaitForCalls(expected.size()));
        EXPECT_EQ(expected, recorder.Calls());
        for (const KT::Variant& id : recorder.DeviceIDs())
        {
            EXPECT_TRUE(id == DeviceID(2));
        }
        Disconnect(device);
    }
}

TEST_F(DeviceLocalTest, DisconnectSendsDCntAndNoCallbackRunsAfterIt)
{
    KT::RCPtr<LDeviceBase> device = ConnectAccepted(1, 0);
    ASSERT_TRUE(mHelper.PostValues(0, {{7, Records::Int32(9)}}));
    ASSERT_TRUE(mRecorder.WaitForCalls(2));

    Sentinel sentinel("helper-1");
    mHelper.ClearRequests();
    Disconnect(device);
    EXPECT_FALSE(device->IsConnected(false, 0));
    const std::vector<LoggedRequest> log = mHelper.Requests();
    ASSERT_EQ((std::vector<std::string>{"DCnt"}), Codes(log));
    EXPECT_EQ("helper-1", log[0].DeviceId);
    EXPECT_EQ(static_cast<std::int32_t>(mHelper.LastClientId()), log[0].ClientId.value_or(0));
    EXPECT_FALSE(log[0].ReplyWanted);

    ASSERT_TRUE(mHelper.PostValues(0, {{7, Records::Int32(10)}}));
    ASSERT_TRUE(sentinel.WaitForSeen(1));
    EXPECT_EQ(2u, mRecorder.Calls().size());
    EXPECT_EQ(QVRX_RESULT_NOT_CONNECTED, device->DisconnectDevice());
    EXPECT_EQ(1u, mHelper.Requests().size());

    // A connected device that is released disconnects itself.
    KT::RCPtr<LDeviceBase> other = MakeDevice(2);
    ASSERT_EQ(QVRX_CONNECTED_AWAITING_ACCEPTANCE, other->ConnectDevice(&Recorder::Callback, &mRecorder));
    other.SetNull();
    ASSERT_TRUE(WaitForCode(mHelper, "DCnt", 2));
    EXPECT_EQ("DCnt", mHelper.Requests().back().Code);
    EXPECT_EQ("helper-2", mHelper.Requests().back().DeviceId);
}

// --- The helper scripted on a fake port

struct Outcome
{
    PortStatus status = PortStatus::Success;
    std::optional<Bytes> reply;
};

Outcome Reply(const Bytes& bytes)
{
    return Outcome{PortStatus::Success, bytes};
}

Bytes PlistString(const std::string& text)
{
    Bytes xml;
    EXPECT_TRUE(KT::Platform::Plist::NewString(text).ToXml(xml));
    return xml;
}

std::uint32_t Le32(const Bytes& bytes, std::size_t at)
{
    return static_cast<std::uint32_t>(bytes[at]) | (static_cast<std::uint32_t>(bytes[at + 1]) << 8) |
           (static_cast<std::uint32_t>(bytes[at + 2]) << 16) |
           (static_cast<std::uint32_t>(bytes[at + 3]) << 24);
}

// A helper that answers every request as a well-behaved one would unless the
// test has set another answer for its code or, for a get, its message ID. A
// hook may run first (on the requesting thread).
class HelperScript
{
public:
    std::map<std::string, Outcome> ByCode;
    std::map<std::int32_t, Outcome> ByGet;
    std::function<void(const std::string& code, std::int32_t getID)> Hook;

    FakeMessagePorts::Answer Answer()
    {
        return [this](const FakeMessagePorts::Request& request, std::optional<Bytes>* reply)
        {
            const auto code = static_cast<std::uint32_t>(request.MessageId);
            const std::string text{static_cast<char>(code >> 24), static_cast<char>(code >> 16),
                                   static_cast<char>(code >> 8), static_cast<char>(code)};
            std::int32_t getID = 0;
            bool isGet = false;
            if (text == "SPrM")
            {
                const Bytes message = ParameterData(request.Data);
                isGet = message.size() >= 12 && Le32(message, 4) == 2;
                getID = isGet ? static_cast<std::int32_t>(Le32(message, 8)) : 0;
            }
            if (Hook)
            {
                Hook(text, getID);
            }
            Outcome outcome = Default(text, isGet, getID);
            if (ByCode.count(text) != 0)
            {
                outcome = ByCode[text];
            }
            if (isGet && ByGet.count(getID) != 0)
            {
                outcome = ByGet[getID];
            }
            *reply = outcome.reply;
            return outcome.status;
        };
    }

private:
    static Outcome Default(const std::string& code, bool isGet, std::int32_t getID)
    {
        if (code == "GtDI")
        {
            return Reply(PlistString("scripted"));
        }
        if (code == "GtCI")
        {
            return Reply(Bytes{3, 0, 0, 0, 7, 0, 0, 0});
        }
        if (!isGet)
        {
            return Outcome{};
        }
        Bytes value = Records::Int32(5);
        if (getID == PARAM_ID_ACCESS_TOKEN)
        {
            value = Records::Int64(kToken);
        }
        else if (getID == PARAM_ID_ACCESS_STATE)
        {
            value = Records::Bool(false);
        }
        return Reply(Records::DeviceMessage(0, getID, Records::ParamValues({{getID, value}})));
    }
};

class DeviceLocalScriptedTest : public ::testing::Test
{
protected:
    DeviceLocalScriptedTest()
    {
        LMacLocalConnector::Release();
        mCommands.SetStatus(KT::Platform::kCommandNotFound);
        mPorts.SetPresent(true);
        mPorts.SetAnswer(mScript.Answer());
    }
    ~DeviceLocalScriptedTest() override { LMacLocalConnector::Release(); }

    std::vector<std::string> SentCodes()
    {
        std::vector<std::string> codes;
        for (const FakeMessagePorts::Request& request : mPorts.Requests())
        {
            const auto code = static_cast<std::uint32_t>(request.MessageId);
            codes.push_back({static_cast<char>(code >> 24), static_cast<char>(code >> 16),
                             static_cast<char>(code >> 8), static_cast<char>(code)});
        }
        return codes;
    }

    // Connects device B, which the helper names "B", to mRecorder and has it
    // accept the host.
    void ConnectAcceptedB(KT::RCPtr<LDeviceBase>& b);

    ScopedRuntimeDirectory mRuntime;
    FakeCommandRunner mCommands;
    FakeMessagePorts mPorts{FakeHelper::kPortName};
    HelperScript mScript;
    Recorder mRecorder;
};

TEST_F(DeviceLocalScriptedTest, AHandshakeThatFailsAfterConnectTellsTheHelperToDisconnect)
{
    const Outcome timedOut{PortStatus::ReceiveTimeout, std::nullopt};
    const Bytes twoEntries = Records::DeviceMessage(
        0, -4, Records::ParamValues({{-4, Records::Bool(true)}, {7, Records::Int32(1)}}));
    const struct
    {
        const char* name;
        std::string code;
        std::int32_t get;
        Outcome outcome;
        std::vector<std::string> sent;
    } rows[] = {
        {"'Cnct' not sent",
         "Cnct",
         0,
         Outcome{PortStatus::SendTimeout, std::nullopt},
         {"GtDI", "GtCI", "Cnct"}},
        {"no token", "", PARAM_ID_ACCESS_TOKEN, timedOut, {"GtDI", "GtCI", "Cnct", "SPrM", "DCnt"}},
        {"a null token reply",
         "",
         PARAM_ID_ACCESS_TOKEN,
         Outcome{},
         {"GtDI", "GtCI", "Cnct", "SPrM", "DCnt"}},
        {"no state", "", PARAM_ID_ACCESS_STATE, timedOut, {"GtDI", "GtCI", "Cnct", "SPrM", "SPrM", "DCnt"}},
        {"a state reply of two entries",
         "",
         PARAM_ID_ACCESS_STATE,
         Reply(twoEntries),
         {"GtDI", "GtCI", "Cnct", "SPrM", "SPrM", "DCnt"}},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        mScript.ByCode.clear();
        mScript.ByGet.clear();
        if (!row.code.empty())
        {
            mScript.ByCode[row.code] = row.outcome;
        }
        else
        {
            mScript.ByGet[row.get] = row.outcome;
        }
        mPorts.SetAnswer(mScript.Answer());
        const std::size_t before = mPorts.Requests().size();
        KT::RCPtr<LDeviceBase> device = MakeDevice(1);
        EXPECT_EQ(QVRX_RESULT_CONNECTION_FAILED, device->ConnectDevice(&Recorder::Callback, &mRecorder));
        EXPECT_FALSE(device->IsConnected(false, 0));
        const std::vector<std::string> all = SentCodes();
        const std::vector<std::string> codes(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
        EXPECT_EQ(row.sent, codes);
        // Nothing stays connected: the next connect starts afresh.
        mScript.ByCode.clear();
        mScript.ByGet.clear();
        mPorts.SetAnswer(mScript.Answer());
        EXPECT_EQ(QVRX_CONNECTED_AWAITING_ACCEPTANCE, device->ConnectDevice(&Recorder::Callback, &mRecorder));
        EXPECT_EQ(0, device->DisconnectDevice());
    }
}

TEST_F(DeviceLocalScriptedTest, RepliesThatCannotBeUsedClearTheOutputAndUnansweredGetsLeaveIt)
{
    const struct
    {
        const char* name;
        Outcome outcome;
        int valueResult;
        int valuesResult;
        bool valuesCleared; // else untouched; the value is cleared unless the send failed
    } rows[] = {
        {"two entries",
         Reply(Records::DeviceMessage(
             0, 7, Records::ParamValues({{7, Records::Int32(1)}, {8, Records::Int32(2)}}))),
         QVRX_RESULT_FAILED, 0, false},
        {"a get message", Reply(Records::DeviceMessage(2, 7, Records::ParamValues({{7, Records::Int32(1)}}))),
         QVRX_RESULT_FAILED, QVRX_RESULT_FAILED, true},
        {"a cut message", Reply(Bytes{0x20, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0x0C, 0, 0, 0}),
         QVRX_RESULT_FAILED, QVRX_RESULT_FAILED, true},
        {"an empty reply", Reply(Bytes()), QVRX_RESULT_FAILED, QVRX_RESULT_FAILED, true},
        {"a null reply", Outcome{}, QVRX_RESULT_UNKNOWN_DEVICE, QVRX_RESULT_UNKNOWN_DEVICE, false},
        {"no reply in time", Outcome{PortStatus::ReceiveTimeout, std::nullopt}, QVRX_RESULT_FAILED,
         QVRX_RESULT_FAILED, false},
    };
    KT::RCPtr<LDeviceBase> device = MakeDevice(1);
    ASSERT_EQ(QVRX_CONNECTED_AWAITING_ACCEPTANCE, device->ConnectDevice(&Recorder::Callback, &mRecorder));
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        mScript.ByGet[7] = row.outcome;
        mScript.ByGet[MESSAGE_ID_PARAM_DESCRIPTORS] = row.outcome;
        mPorts.SetAnswer(mScript.Answer());
        KT::Variant value(42);
        EXPECT_EQ(row.valueResult, device->GetParamValue(KT::ParamDescriptor(7), value));
        const bool sent = row.outcome.status == PortStatus::Success;
        EXPECT_EQ(sent ? KT::Variant::TYPE_EMPTY : KT::Variant::TYPE_INT32, value.GetType());

        KT::ParamValues values;
        ASSERT_EQ(0, values.SetOne(KT::ParamDescriptor(1), KT::Variant(42)));
        EXPECT_EQ(row.valuesResult, device->GetParamValues(KT::ParamDescriptors(), values));
        if (row.valuesResult == 0)
        {
            EXPECT_EQ((Call{{7, 1}, {8, 2}}), EntriesOf(values));
        }
        else
        {
            EXPECT_EQ((row.valuesCleared ? Call{} : Call{{1, 42}}), EntriesOf(values));
        }
    }
}

// Posts, under the helper's name of a device, a notification of parameter
// values: the acceptance [kToken, true] when entries are empty.
void PostScripted(const std::string& name, std::vector<std::pair<std::int32_t, Bytes>> entries = {})
{
    if (entries.empty())
    {
        entries = {{-4, Records::Array({Records::Int64(kToken), Records::Bool(true)})}};
    }
    const Bytes message = Records::DeviceMessage(0, -6, Records::ParamValues(entries));
    KT::Platform::Plist info = KT::Platform::Plist::NewDictionary();
    ASSERT_TRUE(
        info.SetItem("ParameterDataKey", KT::Platform::Plist::NewData(message.data(), message.size())));
    ASSERT_TRUE(KT::Platform::DistributedNotificationCenter::Post(name, &info));
}

void DeviceLocalScriptedTest::ConnectAcceptedB(KT::RCPtr<LDeviceBase>& b)
{
    mScript.ByCode["GtDI"] = Reply(PlistString("B"));
    mPorts.SetAnswer(mScript.Answer());
    b = MakeDevice(2);
    ASSERT_EQ(QVRX_CONNECTED_AWAITING_ACCEPTANCE, b->ConnectDevice(&Recorder::Callback, &mRecorder));
    PostScripted("B");
    ASSERT_TRUE(mRecorder.WaitForCalls(1));
}

// A device that accepts as soon as it is told 'Cnct' posts its acceptance
// while the handshake is still reading the token.
TEST_F(DeviceLocalScriptedTest, AnAcceptanceDuringTheHandshakeIsGrantedOnceTheTokenIsKnown)
{
    for (const bool tokenArrives : {true, false})
    {
        SCOPED_TRACE(tokenArrives ? "token read" : "token get fails");
        LMacLocalConnector::Release();
        Recorder recorder;
        Sentinel sentinel("scripted"); // registered before the device's observer
        mScript.ByGet.clear();
        if (!tokenArrives)
        {
            mScript.ByGet[PARAM_ID_ACCESS_TOKEN] = Outcome{PortStatus::ReceiveTimeout, std::nullopt};
        }
        mScript.Hook = [&](const std::string& code, std::int32_t getID)
        {
            if (code == "Cnct")
            {
                PostScripted("scripted");
            }
            if (code == "SPrM" && getID == PARAM_ID_ACCESS_TOKEN)
            {
                // The acceptance is being delivered: the device's observer
                // comes right after this one.
                EXPECT_TRUE(sentinel.WaitForSeen(1));
            }
        };
        mPorts.SetAnswer(mScript.Answer());
        KT::RCPtr<LDeviceBase> device = MakeDevice(1);
        int result = 0;
        RunBounded("the connect", [&] { result = device->ConnectDevice(&Recorder::Callback, &recorder); });
        if (tokenArrives)
        {
            EXPECT_EQ(QVRX_CONNECTED_AWAITING_ACCEPTANCE, result);
            ASSERT_TRUE(recorder.WaitForCalls(1));
            EXPECT_EQ((std::vector<Call>{{{-2, 1}}}), recorder.Calls());
            EXPECT_EQ(0, device->DisconnectDevice());
        }
        else
        {
            EXPECT_EQ(QVRX_RESULT_CONNECTION_FAILED, result);
            mScript.Hook = nullptr;
            mPorts.SetAnswer(mScript.Answer());
            ASSERT_TRUE(KT::Platform::DistributedNotificationCenter::Post("scripted", nullptr));
            ASSERT_TRUE(sentinel.WaitForSeen(2));
            EXPECT_TRUE(recorder.Calls().empty());
        }
        mScript.Hook = nullptr;
        mPorts.SetAnswer(mScript.Answer());
    }
}

// The device accepts while its token reply is still on the way and sends a
// value right behind the notice: both reach the device before the token is
// known. The host gets the grant, then that value, then what follows.
TEST_F(DeviceLocalScriptedTest, AValueRightBehindAnEarlyAcceptanceFollowsTheGrant)
{
    Sentinel marker("marker");
    mScript.Hook = [&](const std::string& code, std::int32_t getID)
    {
        if (code == "SPrM" && getID == PARAM_ID_ACCESS_TOKEN)
        {
            PostScripted("scripted");
            PostScripted("scripted", {{7, Records::Int32(9)}});
            // Delivered in arrival order: once the marker is seen, the device
            // has had both.
            EXPECT_TRUE(KT::Platform::DistributedNotificationCenter::Post("marker", nullptr));
            EXPECT_TRUE(marker.WaitForSeen(1));
        }
    };
    mPorts.SetAnswer(mScript.Answer());
    KT::RCPtr<LDeviceBase> device = MakeDevice(1);
    int result = 0;
    RunBounded("the connect", [&] { result = device->ConnectDevice(&Recorder::Callback, &mRecorder); });
    EXPECT_EQ(QVRX_CONNECTED_AWAITING_ACCEPTANCE, result);
    PostScripted("scripted", {{7, Records::Int32(10)}});
    ASSERT_TRUE(mRecorder.WaitForCalls(3));
    EXPECT_EQ((std::vector<Call>{{{-2, 1}}, {{7, 9}}, {{7, 10}}}), mRecorder.Calls());
    mScript.Hook = nullptr;
    mPorts.SetAnswer(mScript.Answer());
    EXPECT_EQ(0, device->DisconnectDevice());
}

// A's acceptance came before its token, so its grant falls due as the connect
// stores the token. A grant callback that waits for device B's notification
// (sent behind A's next one) holds up nothing when it runs off the delivery
// thread; on it, it only posts them. A hears grant then value, B its value.
TEST_F(DeviceLocalScriptedTest, AGrantFallingDueAtConnectHoldsUpNoOtherDevice)
{
    KT::RCPtr<LDeviceBase> b;
    ASSERT_NO_FATAL_FAILURE(ConnectAcceptedB(b));

    Sentinel marker("marker");
    mScript.ByCode["GtDI"] = Reply(PlistString("A"));
    mScript.Hook = [&](const std::string& code, std::int32_t getID)
    {
        if (code == "SPrM" && getID == PARAM_ID_ACCESS_TOKEN)
        {
            PostScripted("A");
            EXPECT_TRUE(KT::Platform::DistributedNotificationCenter::Post("marker", nullptr));
            EXPECT_TRUE(marker.WaitForSeen(1));
        }
    };
    mPorts.SetAnswer(mScript.Answer());
    Recorder recorderA;
    std::atomic<bool> heardB{true};
    recorderA.SetAction(
        [&](const KT::Variant&, const Call& call)
        {
            if (call != Call{{-2, 1}})
            {
                return;
            }
            PostScripted("A", {{7, Records::Int32(3)}});
            PostScripted("B", {{7, Records::Int32(9)}});
            if (!KT::Platform::DistributedNotificationCenter::Get().IsDeliveryThread())
            {
                heardB.store(mRecorder.WaitForCalls(2));
            }
        });
    KT::RCPtr<LDeviceBase> a = MakeDevice(1);
    int result = 0;
    RunBounded("the connect", [&] { result = a->ConnectDevice(&Recorder::Callback, &recorderA); });
    EXPECT_EQ(QVRX_CONNECTED_AWAITING_ACCEPTANCE, result);
    ASSERT_TRUE(recorderA.WaitForCalls(2));
    ASSERT_TRUE(mRecorder.WaitForCalls(2));
    EXPECT_TRUE(heardB.load());
    EXPECT_EQ((std::vector<Call>{{{-2, 1}}, {{7, 3}}}), recorderA.Calls());
    EXPECT_EQ((std::vector<Call>{{{-2, 1}}, {{7, 9}}}), mRecorder.Calls());
    mScript.Hook = nullptr;
    mPorts.SetAnswer(mScript.Answer());
    EXPECT_EQ(0, a->DisconnectDevice());
    EXPECT_EQ(0, b->DisconnectDevice());
}

// Every attached device's notifications come through one delivery thread.
// While the helper holds device A's token reply, A's acceptance and then
// device B's values come in: B's reach the host at once, A's acceptance once
// A's token is known.
TEST_F(DeviceLocalScriptedTest, AHeldTokenReplyHoldsBackNoOtherDevicesNotifications)
{
    KT::RCPtr<LDeviceBase> b;
    ASSERT_NO_FATAL_FAILURE(ConnectAcceptedB(b));

    bool heardB = false;
    mScript.ByCode["GtDI"] = Reply(PlistString("A"));
    mScript.Hook = [&](const std::string& code, std::int32_t getID)
    {
        if (code == "SPrM" && getID == PARAM_ID_ACCESS_TOKEN)
        {
            PostScripted("A");
            PostScripted("B", {{7, Records::Int32(9)}});
            heardB = mRecorder.WaitForCalls(2);
        }
    };
    mPorts.SetAnswer(mScript.Answer());
    KT::RCPtr<LDeviceBase> a = MakeDevice(1);
    Recorder recorderA;
    int result = 0;
    RunBounded("the connect", [&] { result = a->ConnectDevice(&Recorder::Callback, &recorderA); });
    EXPECT_EQ(QVRX_CONNECTED_AWAITING_ACCEPTANCE, result);
    EXPECT_TRUE(heardB);
    EXPECT_EQ((std::vector<Call>{{{-2, 1}}, {{7, 9}}}), mRecorder.Calls());
    ASSERT_TRUE(recorderA.WaitForCalls(1));
    EXPECT_EQ((std::vector<Call>{{{-2, 1}}}), recorderA.Calls());
    mScript.Hook = nullptr;
    mPorts.SetAnswer(mScript.Answer());
    EXPECT_EQ(0, a->DisconnectDevice());
    EXPECT_EQ(0, b->DisconnectDevice());
}

} // namespace
