#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "KTFramework/Defs/Result.h"
#include "Platform/FakeMonotonicClock.h"
#include "support/DeviceMessageBytes.h"
#include "support/VariantProbes.h"
#include "velquin/Common/CrossPlatform/DeliveryHookTesting.h"
#include "velquin/Common/CrossPlatform/DeviceMessageSerializer.h"
#include "velquin/Common/CrossPlatform/NetworkDeviceTestSupport.h"

namespace
{

using namespace NetworkDeviceTest;
using namespace DeliveryHookTesting;
namespace B = DeviceMessageBytes;

// A device connected to its peer, accepted when asked.
struct Connected
{
    explicit Connected(bool accept = true)
    {
        peer.Accepting(true);
        device = LDeviceNetwork::Create(NetworkIdentifier(peer.Port()));
        result = ConnectThroughPeer(*device, peer, host);
        if (accept)
        {
            // Numbered -1, so that the next message of any ID follows it.
            peer.Notify(0xFFFFFFFFu, B::Values({B::Entry(B::Array({B::Int64(kToken), B::Bool(true)}), -4)}));
            accepted = host.WaitFor(1);
        }
    }
    ~Connected()
    {
        if (!!device)
        {
            device->DisconnectDevice();
        }
    }

    PeerDevice peer;
    HostRecord host;
    KT::RCPtr<LDeviceNetwork> device;
    int result = 0;
    bool accepted = false;
};

TEST(DeviceNetwork, ConnectGetAndSetSendTheseBytesOnChannelOne)
{
    Connected linked(false);
    ASSERT_EQ(0, linked.result);
    linked.peer.Reply(7, OneValue(42, 7));

    KT::Variant value;
    EXPECT_EQ(80, linked.device->GetParamValue(KT::ParamDescriptor(7), value));
    EXPECT_EQ(42, value.GetInt32());
    EXPECT_EQ(0, linked.device->SetParamValue(KT::ParamDescriptor(7), KT::Variant(5)));
    ASSERT_TRUE(linked.peer.Raw().WaitForFrames(4));

    const std::vector<RawFrame> frames = linked.peer.FramesOn(1);
    ASSERT_EQ(4u, frames.size());
    EXPECT_EQ(DeviceMessageBytes::kGetAccessToken, frames[0].payload);
    EXPECT_EQ(DeviceMessageBytes::kGetAccessState, frames[1].payload);
    EXPECT_EQ(DeviceMessageBytes::kGetParam7, frames[2].payload);
    EXPECT_EQ(DeviceMessageBytes::kSetParam7To5, frames[3].payload);
    EXPECT_TRUE(linked.device->HasBeenValidated());
}

TEST(DeviceNetwork, AGetThatIsNotAnsweredWithOneValueClearsTheValue)
{
    DeviceNetworkTimeouts::ScopedOverride shortReply(DeviceNetworkTimeoutList::REPLY, 200);
    struct Case
    {
        const char* name;
        std::optional<Bytes> reply;
        bool staysConnected;
    };
    const Case cases[] = {
        {"two entries", B::Values({B::Entry(B::Int32(1), 7), B::Entry(B::Int32(2), 8)}), true},
        {"no entry", B::Values({}), true},
        {"a get instead of values", B::Message(B::kGet, 7, B::Empty()), true},
        {"not a message", Bytes{1, 2, 3}, true},
        {"no reply", std::nullopt, false},
    };
    for (const Case& c : cases)
    {
        Connected linked(false);
        ASSERT_EQ(0, linked.result) << c.name;
        if (c.reply)
        {
            linked.peer.Reply(7, *c.reply);
        }
        KT::Variant value(99);
        EXPECT_EQ(-1, linked.device->GetParamValue(KT::ParamDescriptor(7), value)) << c.name;
        EXPECT_TRUE(value.IsEmpty()) << c.name;
        EXPECT_EQ(c.staysConnected, linked.device->IsConnected(false, 0)) << c.name;
        if (!c.staysConnected)
        {
            EXPECT_TRUE(linked.peer.Raw().WaitForClientClose()) << c.name;
            EXPECT_EQ(-3, linked.device->GetParamValue(KT::ParamDescriptor(7), value)) << c.name;
        }
    }
}

TEST(DeviceNetwork, AMessageTheCodecRefusesIsNotSent)
{
    Connected linked(false);
    ASSERT_EQ(0, linked.result);
    // A pointer kind without bytes has no record.
    unsigned char anyByte = 0;
    KT::Testing::RawVariant noBytes;
    noBytes.MakeUnowned(KT::Variant::TYPE_POINTER, &anyByte, 0);
    EXPECT_EQ(-1, linked.device->RequestParamValuesOrRanges(
                      static_cast<std::uint32_t>(MESSAGE_ID_PARAM_RANGES), noBytes));
    linked.peer.Reply(8, OneValue(1, 8));
    KT::Variant value;
    EXPECT_EQ(80, linked.device->GetParamValue(KT::ParamDescriptor(8), value));
    // The handshake's two gets and the get of 8: the refused request never
    // went out.
    EXPECT_EQ(3u, linked.peer.FramesOn(1).size());
}

TEST(DeviceNetwork, ConnectReportsTheStateAndTheAcceptanceNotice)
{
    struct Case
    {
        const char* name;
        Bytes notice;
        bool granted;
    };
    const Case cases[] = {
        {"array", B::Array({B::Int64(kToken), B::Bool(true)}), true},
        {"12-byte buffer", B::Buffer({8, 7, 6, 5, 4, 3, 2, 1, 1, 0, 0, 0}), true},
        {"another token", B::Array({B::Int64(kToken + 1), B::Bool(true)}), false},
        {"11-byte buffer", B::Buffer({8, 7, 6, 5, 4, 3, 2, 1, 1, 0, 0}), false},
        {"one element", B::Array({B::Int64(kToken)}), false},
        {"a number", B::Int64(kToken), false},
    };
    for (const Case& c : cases)
    {
        PeerDevice peer;
        peer.Accepting(false);
        HostRecord host;
        KT::RCPtr<LDeviceNetwork> device = LDeviceNetwork::Create(NetworkIdentifier(peer.Port()));
        ASSERT_EQ(1, ConnectThroughPeer(*device, peer, host)) << c.name;
        // Dropped before acceptance; its sequence ID is kept.
        peer.Notify(0, Numbered(10));
        peer.Notify(1, B::Values({B::Entry(c.notice, -4)}));
        peer.Notify(2, Numbered(12));
        if (!c.granted)
        {
            // A notice that does count, and a message after it: the host
            // sees only these two, so the three before were dropped.
            peer.Notify(3, B::Values({B::Entry(B::Array({B::Int64(kToken), B::Bool(true)}), -4)}));
            peer.Notify(4, Numbered(14));
        }
        ASSERT_TRUE(host.WaitFor(2)) << c.name;
        const std::vector<std::vector<HostRecord::Entry>> calls = host.Calls();
        ASSERT_EQ(2u, calls.size()) << c.name;
        ASSERT_EQ(1u, calls[0].size()) << c.name;
        EXPECT_EQ(static_cast<std::uint32_t>(-2), calls[0][0].first) << c.name;
        EXPECT_EQ(KT::Variant::TYPE_INT32, calls[0][0].second.GetType()) << c.name;
        EXPECT_EQ(1, calls[0][0].second.GetInt32()) << c.name;
        EXPECT_EQ(std::vector<std::int32_t>{c.granted ? 12 : 14}, host.Numbers()) << c.name;
        EXPECT_TRUE(host.LastDeviceID() == device->GetDeviceID()) << c.name;
        device->DisconnectDevice();
    }
}

// A device may accept as it hands out the token: its notice comes right
// behind the token's reply, or, on a reconnect that gets a new token, ahead of
// it (this peer holds the reply until the notification it sent behind the
// notice has been decided on, which the accepted flag kept from the first
// connection does not let past the notice). The host hears of the acceptance
// either way, after what came before the notice and before what follows.
TEST(DeviceNetwork, AnAcceptanceThatComesWithTheTokenIsGranted)
{
    const auto notice = [](std::int64_t token) {
        return B::Values({B::Entry(B::Array({B::Int64(token), B::Bool(true)}), -4)});
    };
    PeerDevice first;
    first.Accepting(false);
    first.Behind(-3, {RawFrame::Plain(0, 0, notice(kToken))});
    HostRecord host;
    KT::RCPtr<LDeviceNetwork> device = LDeviceNetwork::Create(NetworkIdentifier(first.Port()));
    ASSERT_EQ(1, ConnectThroughPeer(*device, first, host));
    first.Notify(1, Numbered(1));
    ASSERT_TRUE(host.WaitFor(2));
    device->DisconnectDevice();

    PeerDevice second;
    second.Accepting(false, kToken + 1);
    second.Unscript(-3);
    Latch twoDecided;
    ScopedDeliveryHook hook(
        [&](Step step, const KT::ParamValues* values)
        {
            if (step == Step::Decided && ValueOf(values, 100) == 2)
            {
                twoDecided.Open();
            }
        });
    second.OnGet(
        [&](const Bytes&) -> std::optional<Bytes>
        {
            EXPECT_TRUE(second.Notify(0, notice(kToken + 1)));
            EXPECT_TRUE(second.Notify(1, Numbered(2)));
            EXPECT_TRUE(twoDecided.Wait());
            return B::Values({B::Entry(B::Int64(kToken + 1), -3)});
        });
    KT::DeviceIdentifier moved = device->GetDeviceIdentifier();
    moved.SetCurrentNetworkPort(second.Port());
    device->SetDeviceIdentifier(moved);
    ASSERT_EQ(1, ConnectThroughPeer(*device, second, host));
    second.Notify(2, Numbered(3));
    ASSERT_TRUE(host.WaitFor(5));
    const std::vector<std::vector<HostRecord::Entry>> calls = host.Calls();
    ASSERT_EQ(5u, calls.size());
    EXPECT_EQ(static_cast<std::uint32_t>(-2), calls[2].at(0).first) << "granted between 1 and 2";
    EXPECT_EQ((std::vector<std::int32_t>{1, 2, 3}), host.Numbers());
    device->DisconnectDevice();
}

// The device accepts while its token reply is still on the way and sends a
// value right behind the notice. That value is decided on either before the
// connect has stored the token, or while it stores it; either way the host
// gets the grant, then the value, then what follows.
TEST(DeviceNetwork, AValueRightBehindAnEarlyAcceptanceFollowsTheGrant)
{
    const struct
    {
        const char* name;
        Step waitFor;             // the step of value 1 the token reply waits for
        bool holdUntilStateAsked; // value 1's decision waits for the token
    } rows[] = {
        {"decided before the token is stored", Step::Decided, false},
        {"token stored while it is decided", Step::Deciding, true},
    };
    for (const auto& row : rows)
    {
        Latch reached;
        Latch stateAsked;
        ScopedDeliveryHook hook(
            [&](Step step, const KT::ParamValues* values)
            {
                if (ValueOf(values, 100) != 1 || step != row.waitFor)
                {
                    return;
                }
                reached.Open();
                if (row.holdUntilStateAsked)
                {
                    EXPECT_TRUE(stateAsked.Wait()) << row.name;
                }
            });
        PeerDevice peer;
        peer.OnGet(
            [&](const Bytes& request) -> std::optional<Bytes>
            {
                if (static_cast<std::int32_t>(B::GetLE32(request, 8)) == -4)
                {
                    stateAsked.Open();
                    return B::Values({B::Entry(B::Bool(false), -4)});
                }
                EXPECT_TRUE(
                    peer.Notify(0, B::Values({B::Entry(B::Array({B::Int64(kToken), B::Bool(true)}), -4)})));
                EXPECT_TRUE(peer.Notify(1, Numbered(1)));
                EXPECT_TRUE(reached.Wait()) << row.name;
                return B::Values({B::Entry(B::Int64(kToken), -3)});
            });
        HostRecord host;
        KT::RCPtr<LDeviceNetwork> device = LDeviceNetwork::Create(NetworkIdentifier(peer.Port()));
        ASSERT_EQ(1, ConnectThroughPeer(*device, peer, host)) << row.name;
        peer.Notify(2, Numbered(2));
        ASSERT_TRUE(host.WaitFor(3)) << row.name;
        const std::vector<std::vector<HostRecord::Entry>> calls = host.Calls();
        EXPECT_EQ(static_cast<std::uint32_t>(-2), calls[0].at(0).first) << row.name;
        EXPECT_EQ((std::vector<std::int32_t>{1, 2}), host.Numbers()) << row.name;
        EXPECT_EQ(0, device->DisconnectDevice());
    }
}

// A grant handed to the host races a disconnect on another thread: the
// disconnect returns only once that call has been made. Either thread may hand
// the grant out; with deliveryThreadHandsOut the delivery thread does, held
// after its decision on the notice until the connect has stored the token.
void RaceTheGrantWithADisconnect(bool deliveryThreadHandsOut)
{
    PeerDevice peer;
    peer.Accepting(false);
    peer.Unscript(-3);
    peer.Unscript(-4);
    Latch noticeDecided;
    Latch tokenStored;
    Latch disconnectWaits;
    Latch disconnected;
    std::atomic<int> late{0};
    std::atomic<std::thread::id> deliveryThread{};
    KT::RCPtr<LDeviceNetwork> device = LDeviceNetwork::Create(NetworkIdentifier(peer.Port()));
    HostRecord host;
    // Joined however the test ends, so that a failed wait fails the test.
    std::jthread disconnecter;
    ScopedDeliveryHook hook(
        [&](Step step, const KT::ParamValues* values)
        {
            if (step == Step::Decided && values == nullptr)
            {
                deliveryThread.store(std::this_thread::get_id());
                noticeDecided.Open();
                EXPECT_TRUE(!deliveryThreadHandsOut || tokenStored.Wait());
            }
            else if (step == Step::Disconnecting)
            {
                disconnectWaits.Open();
            }
            else if (step == Step::Handing && ValueOf(values, -2, 0) == 1 && !disconnecter.joinable())
            {
                EXPECT_TRUE(!deliveryThreadHandsOut || std::this_thread::get_id() == deliveryThread.load());
                disconnecter = std::jthread(
                    [&]
                    {
                        EXPECT_EQ(0, device->DisconnectDevice());
                        disconnected.Open();
                    });
                // Either the disconnect waits for this call, or it returned.
                EXPECT_TRUE(Eventually([&] { return disconnectWaits.IsOpen() || disconnected.IsOpen(); }));
            }
        });
    peer.OnGet(
        [&](const Bytes& request) -> std::optional<Bytes>
        {
            if (static_cast<std::int32_t>(B::GetLE32(request, 8)) == -4)
            {
                tokenStored.Open();
                return B::Values({B::Entry(B::Bool(false), -4)});
            }
            EXPECT_TRUE(
                peer.Notify(0, B::Values({B::Entry(B::Array({B::Int64(kToken), B::Bool(true)}), -4)})));
            EXPECT_TRUE(noticeDecided.Wait());
            return B::Values({B::Entry(B::Int64(kToken), -3)});
        });
    host.SetHook([&](const KT::Variant&, const std::vector<HostRecord::Entry>&)
                 { late.fetch_add(disconnected.IsOpen() ? 1 : 0); });
    EXPECT_EQ(1, ConnectThroughPeer(*device, peer, host));
    ASSERT_TRUE(disconnected.Wait());
    disconnecter.join();
    EXPECT_EQ(1u, host.Count());
    EXPECT_EQ(0, late.load());
}

TEST(DeviceNetwork, NoCallbackFollowsADisconnectThatRacesTheGrant)
{
    for (const bool deliveryThreadHandsOut : {false, true})
    {
        SCOPED_TRACE(deliveryThreadHandsOut ? "the delivery thread hands out" : "either thread hands out");
        RaceTheGrantWithADisconnect(deliveryThreadHandsOut);
    }
}

TEST(DeviceNetwork, ANotificationDroppedBeforeAcceptanceKeepsItsSequenceID)
{
    PeerDevice peer;
    peer.Accepting(false);
    HostRecord host;
    KT::RCPtr<LDeviceNetwork> device = LDeviceNetwork::Create(NetworkIdentifier(peer.Port()));
    ASSERT_EQ(1, ConnectThroughPeer(*device, peer, host));
    const Bytes notice = B::Values({B::Entry(B::Array({B::Int64(kToken), B::Bool(true)}), -4)});
    peer.Notify(5, Numbered(5));
    // After 5, only the newest copy fills the gap: the notice behind it is not
    // replayed (it would be had 5 not been recorded).
    peer.Notify(7, B::Concat({Numbered(7), Numbered(6), notice}), 2);
    peer.Notify(8, notice);
    peer.Notify(9, Numbered(9));
    ASSERT_TRUE(host.WaitFor(2));
    const std::vector<std::vector<HostRecord::Entry>> calls = host.Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(static_cast<std::uint32_t>(-2), calls[0][0].first);
    EXPECT_EQ(std::vector<std::int32_t>{9}, host.Numbers());
    EXPECT_EQ(0, device->DisconnectDevice());
}

TEST(DeviceNetwork, ConnectFailsAndLeavesTheDeviceDisconnected)
{
    DeviceNetworkTimeouts::ScopedOverride shortReply(DeviceNetworkTimeoutList::REPLY, 200);
    struct Case
    {
        const char* name;
        std::optional<Bytes> state;
    };
    const Case cases[] = {
        {"no state reply", std::nullopt},
        {"a state of two values", B::Values({B::Entry(B::Bool(true), -4), B::Entry(B::Bool(true), -4)})},
    };
    for (const Case& c : cases)
    {
        PeerDevice peer;
        peer.Accepting(true);
        peer.Unscript(-4);
        if (c.state)
        {
            peer.Reply(-4, *c.state);
        }
        HostRecord host;
        KT::RCPtr<LDeviceNetwork> device = LDeviceNetwork::Create(NetworkIdentifier(peer.Port()));
        EXPECT_EQ(-6, ConnectThroughPeer(*device, peer, host)) << c.name;
        EXPECT_FALSE(device->IsConnected(false, 0)) << c.name;
        EXPECT_TRUE(peer.Raw().WaitForClientClose()) << c.name;
        EXPECT_FALSE(device->HasBeenValidated()) << c.name;
    }

    // Nothing listens.
    std::uint16_t closedPort = 0;
    {
        RawPeer::RawTcpPeer gone;
        closedPort = gone.Port();
    }
    HostRecord host;
    KT::RCPtr<LDeviceNetwork> device = LDeviceNetwork::Create(NetworkIdentifier(closedPort));
    EXPECT_EQ(-6, device->ConnectDevice(&HostRecord::Callback, &host));
    EXPECT_EQ(-6, device->ConnectDevice(nullptr, &host));
}

TEST(DeviceNetwork, ConnectingAConnectedDeviceGivesMinusFiveAndAReconnectDeliversAtOnce)
{
    Connected linked;
    ASSERT_TRUE(linked.accepted);
    EXPECT_EQ(-5, linked.device->ConnectDevice(&HostRecord::Callback, &linked.host));
    linked.device->DisconnectDevice();
    ASSERT_TRUE(linked.peer.Raw().WaitForClientClose());

    // The flags survive: the new connection's notifications reach the host
    // without a new acceptance.
    PeerDevice second;
    second.Accepting(false);
    KT::DeviceIdentifier moved = linked.device->GetDeviceIdentifier();
    moved.SetCurrentNetworkPort(second.Port());
    linked.device->SetDeviceIdentifier(moved);
    ASSERT_EQ(1, ConnectThroughPeer(*linked.device, second, linked.host));
    second.Notify(0, Numbered(7));
    ASSERT_TRUE(linked.host.WaitFor(2));
    EXPECT_EQ(std::vector<std::int32_t>{7}, linked.host.Numbers());
    linked.device->DisconnectDevice();
}

TEST(DeviceNetwork, ARequestsAnswerReachesTheCallback)
{
    Connected linked;
    ASSERT_TRUE(linked.accepted);
    linked.peer.Raw().SetResponder(
        [&](const RawFrame& frame) -> std::vector<RawFrame>
        {
            if (frame.channel == 1 && B::GetLE32(frame.payload, 4) == B::kRequest)
            {
                return {
                    RawFrame::Plain(0, 1, Numbered(static_cast<std::int32_t>(B::GetLE32(frame.payload, 8))))};
            }
            return {};
        });
    EXPECT_EQ(0, linked.device->RequestParamValuesOrRanges(
                     static_cast<std::uint32_t>(MESSAGE_ID_PARAM_DESCRIPTORS), KT::Variant(3)));
    ASSERT_TRUE(linked.host.WaitFor(2));
    EXPECT_EQ(std::vector<std::int32_t>{MESSAGE_ID_PARAM_DESCRIPTORS}, linked.host.Numbers());
}

// Copies of earlier messages follow the new one; those filling a gap since the
// last message are delivered first, oldest first.
TEST(DeviceNetwork, MissedMessagesAreReplayedFromTheCopiesThatFollow)
{
    const Bytes emptyItem = {4, 0, 0, 0};
    const Bytes eight = {8, 0, 0, 0, 0, 0, 0, 0};
    const Bytes six = Numbered(6);
    const Bytes cut(six.begin(), six.begin() + 20);
    struct Case
    {
        const char* name;
        std::vector<std::uint32_t> before; // plain messages first
        std::uint32_t sequenceID;
        std::uint32_t count;
        std::vector<Bytes> copies;
        std::vector<std::int32_t> expected;
    };
    const Case cases[] = {
        {"count 5",
         {4},
         7,
         5,
         {Numbered(6), Numbered(5), Numbered(4), Numbered(3), Numbered(2)},
         {4, 5, 6, 7}},
        {"count 1", {4}, 7, 1, {Numbered(6), Numbered(5), Numbered(4), Numbered(3), Numbered(2)}, {4, 6, 7}},
        {"no gap", {6}, 7, 2, {Numbered(6), Numbered(5)}, {6, 7}},
        {"an older one, then the last moves back", {4, 3}, 5, 1, {Numbered(4)}, {4, 3, 4, 5}},
        {"a repeated one", {4, 4}, 5, 0, {}, {4, 4, 5}},
        {"an empty item ends the walk", {4}, 8, 3, {Numbered(7), emptyItem, Numbered(5)}, {4, 7, 8}},
        {"a length below a header ends the walk", {4}, 8, 3, {Numbered(7), eight, Numbered(5)}, {4, 7, 8}},
        {"a cut copy ends the walk", {4}, 8, 3, {Numbered(7), cut}, {4, 7, 8}},
        {"the largest ID after none", {}, 0x7FFFFFFF, 1, {Numbered(6)}, {6, 0x7FFFFFFF}},
    };
    for (const Case& c : cases)
    {
        Connected linked;
        ASSERT_TRUE(linked.accepted) << c.name;
        for (std::size_t i = 0; i < c.before.size(); ++i)
        {
            linked.peer.Notify(c.before[i], Numbered(static_cast<std::int32_t>(c.before[i])));
        }
        Bytes payload = Numbered(static_cast<std::int32_t>(c.sequenceID));
        for (const Bytes& copy : c.copies)
        {
            payload.insert(payload.end(), copy.begin(), copy.end());
        }
        linked.peer.Notify(c.sequenceID, payload, c.count);
        ASSERT_TRUE(linked.host.WaitFor(1 + c.expected.size())) << c.name;
        // The acceptance notice was sequence 0 of this connection.
        EXPECT_EQ(c.expected, linked.host.Numbers()) << c.name;
    }
}

TEST(DeviceNetwork, AMultiPartMessageAfterAGapIsDeliveredAlone)
{
    Connected linked;
    ASSERT_TRUE(linked.accepted);
    linked.peer.Notify(4, Numbered(4));
    // Message 7 in two parts, with a copy of 6 behind it.
    const Bytes payload = B::Concat({Numbered(7), Numbered(6)});
    const std::size_t half = payload.size() / 2;
    RawFrame first = RawFrame::Plain(0, 6, Bytes(payload.begin(), payload.begin() + half));
    first.multipartMsgCount = 2;
    first.previousSequenceMsgCount = 1;
    RawFrame second = RawFrame::Plain(0, 7, Bytes(payload.begin() + half, payload.end()));
    second.multipartMsgCount = 2;
    second.multipartMsgIndex = 1;
    second.previousSequenceMsgCount = 1;
    linked.peer.Raw().Send(first);
    linked.peer.Raw().Send(second);
    linked.peer.Notify(8, Numbered(8));
    ASSERT_TRUE(linked.host.WaitFor(4));
    EXPECT_EQ((std::vector<std::int32_t>{4, 7, 8}), linked.host.Numbers());
}

TEST(DeviceNetwork, AKeepAliveFromTheDeviceIsAnsweredOnChannelFour)
{
    Connected linked;
    ASSERT_TRUE(linked.accepted);
    linked.peer.Raw().Send(RawFrame::Plain(2, 0, {}));
    ASSERT_TRUE(Eventually([&] { return linked.peer.FramesOn(4).size() == 1; }));
    EXPECT_TRUE(linked.peer.FramesOn(4)[0].payload.empty());
}

std::atomic<int> sReachabilityChecks{0};
std::atomic<int> sFailFirstChecks{0};

bool CountingReachability(const KT::DeviceIdentifier&)
{
    sReachabilityChecks.fetch_add(1);
    return sFailFirstChecks.fetch_sub(1) <= 0;
}

struct ScopedReachability
{
    explicit ScopedReachability(LDeviceNetwork::ReachabilityCheck check)
        : previous(LDeviceNetwork::ExchangeReachabilityCheck(check))
    {
        sReachabilityChecks.store(0);
        sFailFirstChecks.store(0);
    }
    ~ScopedReachability() { LDeviceNetwork::ExchangeReachabilityCheck(previous); }
    LDeviceNetwork::ReachabilityCheck previous;
};

TEST(DeviceNetwork, EveryHundredAndFiftiethProbeOfAllDevicesIsAKeepAliveExchange)
{
    KT::Platform::FakeMonotonicClock clock(1000000000000ull);
    KT::Platform::ScopedMonotonicClock useClock(clock);
    ScopedReachability reachability(&CountingReachability);
    Connected first;
    Connected second;
    ASSERT_EQ(0, first.result);
    ASSERT_EQ(0, second.result);
    LDeviceNetwork* devices[] = {first.device.GetRaw(), second.device.GetRaw()};

    for (int i = 0; i < 300; ++i)
    {
        clock.AdvanceMilliseconds(1);
        ASSERT_TRUE(devices[i % 2]->IsConnected(true, 0)) << "probe " << i;
    }
    EXPECT_EQ(2u, first.peer.FramesOn(2).size() + second.peer.FramesOn(2).size());
    EXPECT_EQ(298, sReachabilityChecks.load());

    // Recent traffic: no check at all.
    EXPECT_TRUE(devices[0]->IsConnected(true, 1000));
    EXPECT_EQ(298, sReachabilityChecks.load());

    // A failed check is made once more before it counts.
    if ((LDeviceNetwork::GetKeepAliveCount() + 1) % LDeviceNetwork::kKeepAliveInterval == 0)
    {
        clock.AdvanceMilliseconds(1);
        ASSERT_TRUE(devices[0]->IsConnected(true, 0));
    }
    sReachabilityChecks.store(0);
    sFailFirstChecks.store(1);
    clock.AdvanceMilliseconds(1);
    EXPECT_TRUE(devices[0]->IsConnected(true, 0));
    EXPECT_EQ(2, sReachabilityChecks.load());

    // Two failures disconnect.
    if ((LDeviceNetwork::GetKeepAliveCount() + 1) % LDeviceNetwork::kKeepAliveInterval == 0)
    {
        clock.AdvanceMilliseconds(1);
        ASSERT_TRUE(devices[0]->IsConnected(true, 0));
    }
    sFailFirstChecks.store(2);
    clock.AdvanceMilliseconds(1);
    EXPECT_FALSE(devices[0]->IsConnected(true, 0));
    EXPECT_FALSE(devices[0]->IsConnected(false, 0));
    EXPECT_TRUE(first.peer.Raw().WaitForClientClose());
    EXPECT_TRUE(devices[1]->IsConnected(false, 0));
}

TEST(DeviceNetwork, IdentifyValidatesUpdatesAndRefusesAnotherDevice)
{
    PeerDevice peer;
    const KT::DeviceIdentifier own = NetworkIdentifier(peer.Port(), 1, "Desk");
    KT::RCPtr<LDeviceNetwork> device = LDeviceNetwork::Create(own);
    peer.Identify(IdentifierRecord(own, "Desk"));
    std::future<int> first = std::async(std::launch::async,
                                        [&]
                                        {
                                            KT::DeviceIdentifier out;
                                            return device->UpdateDeviceIdentifier(out);
                                        });
    ASSERT_TRUE(peer.Raw().Accept());
    EXPECT_EQ(0, first.get());
    EXPECT_TRUE(device->HasBeenValidated());
    // The short connection of identify is of the control kind and closed.
    EXPECT_TRUE(peer.Raw().WaitForClientClose());
    EXPECT_EQ(1u, peer.FramesOn(3).size());

    // Over the device's own connection from here on.
    Connected linked(false);
    const KT::DeviceIdentifier mine = linked.device->GetDeviceIdentifier();
    linked.peer.Identify(IdentifierRecord(mine, "Desk"));
    KT::DeviceIdentifier out;
    EXPECT_EQ(1, linked.device->UpdateDeviceIdentifier(out)); // validated by the connect
    EXPECT_TRUE(out == mine);

    linked.peer.Identify(IdentifierRecord(mine, "Kitchen"));
    EXPECT_EQ(0, linked.device->UpdateDeviceIdentifier(out));
    EXPECT_STREQ("Kitchen", linked.device->GetUserDefinedName().CStr());
    EXPECT_EQ(1, linked.device->UpdateDeviceIdentifier(out));

    const KT::DeviceIdentifier other = NetworkIdentifier(linked.peer.Port(), 9, "Other");
    linked.peer.Identify(IdentifierRecord(other, "Other"));
    EXPECT_EQ(KT::RESULT_FAILED, linked.device->UpdateDeviceIdentifier(out));
    EXPECT_TRUE(out.IsDeviceIDEqual(other));
    EXPECT_STREQ("Other", out.GetUserDefinedName().CStr());
    EXPECT_STREQ("Kitchen", linked.device->GetUserDefinedName().CStr());
    EXPECT_TRUE(linked.device->IsDeviceID(mine));
}

TEST(DeviceNetwork, IsDeviceEqualMatchesByIDOrPlaceAndAPlaceholderTakesTheIdentifier)
{
    const KT::DeviceIdentifier known = NetworkIdentifier(51010, 1, "Known");
    KT::DeviceIdentifier elsewhere = NetworkIdentifier(51011, 1, "Known");
    const KT::DeviceIdentifier stranger = NetworkIdentifier(51010, 2, "Stranger");
    KT::RCPtr<LDeviceNetwork> device = LDeviceNetwork::Create(known);
    EXPECT_TRUE(device->IsDeviceEqual(elsewhere));
    EXPECT_TRUE(device->IsDeviceEqual(stranger));
    EXPECT_TRUE(device->IsDeviceID(known));
    EXPECT_FALSE(device->IsDeviceEqual(NetworkIdentifier(51012, 3)));

    KT::DeviceIdentifier placeholder = known;
    placeholder.SetInstanceLocationID(1);
    KT::RCPtr<LDeviceNetwork> unnamed = LDeviceNetwork::Create(placeholder);
    EXPECT_TRUE(unnamed->IsDeviceEqual(stranger));
    EXPECT_TRUE(unnamed->GetDeviceIdentifier() == stranger);
}

// ---- Threads

TEST(DeviceNetwork, ThreadsGettingDifferentParametersGetTheirOwn)
{
    Connected linked(false);
    ASSERT_EQ(0, linked.result);
    linked.peer.OnGet(
        [](const Bytes& request) -> std::optional<Bytes>
        {
            const auto id = static_cast<std::int32_t>(B::GetLE32(request, 8));
            return OneValue(id * 10, id);
        });
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
    {
        threads.emplace_back(
            [&, t]
            {
                for (int i = 0; i < 40; ++i)
                {
                    KT::Variant value;
                    const unsigned int id = static_cast<unsigned int>(10 + t);
                    if (linked.device->GetParamValue(KT::ParamDescriptor(id), value) != 80 ||
                        value.GetInt32() != static_cast<std::int32_t>(id * 10))
                    {
                        wrong.fetch_add(1);
                    }
                }
            });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(0, wrong.load());
}

TEST(DeviceNetwork, ACallbackDisconnectingItsOwnDeviceClosedByThePeerReturnsAtOnce)
{
    Connected linked;
    ASSERT_TRUE(linked.accepted);
    std::atomic<long long> longest{0};
    linked.host.SetHook(
        [&](const KT::Variant&, const std::vector<HostRecord::Entry>&)
        {
            const auto start = std::chrono::steady_clock::now();
            linked.device->DisconnectDevice();
            const auto took = std::chrono::steady_clock::now() - start;
            longest.store(std::chrono::duration_cast<std::chrono::milliseconds>(took).count());
        });
    linked.peer.Notify(1, Numbered(1));
    linked.peer.Raw().CloseCleanly();
    ASSERT_TRUE(linked.host.WaitFor(2));
    EXPECT_LT(longest.load(), 1000);
    EXPECT_FALSE(linked.device->IsConnected(false, 0));
}

TEST(DeviceNetwork, DisconnectWhileCallbacksGetValuesEndsAndNoCallbackFollows)
{
    DeviceNetworkTimeouts::ScopedOverride shortReply(DeviceNetworkTimeoutList::REPLY, 500);
    Connected linked;
    ASSERT_TRUE(linked.accepted);
    linked.peer.OnGet([](const Bytes& request) -> std::optional<Bytes>
                      { return OneValue(1, static_cast<std::int32_t>(B::GetLE32(request, 8))); });
    std::atomic<bool> disconnected{false};
    std::atomic<int> late{0};
    linked.host.SetHook(
        [&](const KT::Variant&, const std::vector<HostRecord::Entry>&)
        {
            if (disconnected.load())
            {
                late.fetch_add(1);
            }
            KT::Variant value;
            static_cast<void>(linked.device->GetParamValue(KT::ParamDescriptor(3), value));
        });
    // A few notifications ahead of the callbacks at any time.
    std::atomic<bool> stop{false};
    std::thread streamer(
        [&]
        {
            for (std::uint32_t n = 1; !stop.load() && n < 100000; ++n)
            {
                if (!linked.peer.Notify(n, Numbered(static_cast<std::int32_t>(n))) ||
                    !Eventually([&] { return stop.load() || linked.host.Count() + 3 >= n; }))
                {
                    break;
                }
            }
        });
    ASSERT_TRUE(linked.host.WaitFor(20));
    EXPECT_EQ(0, linked.device->DisconnectDevice());
    disconnected.store(true);
    stop.store(true);
    streamer.join();
    EXPECT_TRUE(linked.peer.Raw().WaitForClientClose());
    EXPECT_EQ(0, late.load());
}

} // namespace
