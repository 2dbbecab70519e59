// The network search, connect, refresh and release as a host drives them:
// through the exported functions, with the library's own sources, against
// devices on loopback ports.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "KTFramework/Defs/Result.h"
#include "support/DeviceMessageBytes.h"
#include "support/FakeDevice.h"
#include "support/FakeDeviceSources.h"
#include "support/TestPorts.h"
#include "velquin/Common/CrossPlatform/DeviceManager.h"
#include "velquin/Common/CrossPlatform/NetworkDeviceSearch.h"
#include "velquin/Common/CrossPlatform/PlayedDevice.h"
#include "velquin/Common/CrossPlatform/SystemDeviceSources.h"
#include "velquin/Common/CrossPlatform/VelquinInterface.h"

namespace
{

using namespace NetworkDeviceTest;
namespace B = DeviceMessageBytes;

constexpr std::uint32_t kLoopbackTwo = 0x7F000002;

// A manager with the library's own sources in the process-wide place.
class NetworkDeviceSearch : public ::testing::Test
{
protected:
    void SetUp() override
    {
        mPrevious =
            LDeviceManager::ExchangeTheDeviceManager(LDeviceManager::Create(LSystemDeviceSources::Create()));
    }
    void TearDown() override
    {
        QVRX_ReleaseAll();
        LDeviceManager::ExchangeTheDeviceManager(mPrevious);
    }

    // Probes the addresses on portCount ports from firstPort; the revision.
    int Search(std::vector<std::uint32_t> addresses, std::uint32_t firstPort, std::uint32_t portCount = 1,
               bool verify = false, std::uint32_t maxDevices = 16)
    {
        return QVRX_FindRemoteDevices(nullptr, 0, mList, verify, addresses.data(),
                                      static_cast<std::uint32_t>(addresses.size()), maxDevices, portCount,
                                      firstPort);
    }
    // A search that probes nothing.
    int Revision() { return QVRX_FindRemoteDevices(nullptr, 0, mList, false, nullptr, 0, 0, 0, 0); }

    std::vector<KT::Variant> Listed()
    {
        std::vector<KT::Variant> elements(mList.GetArrayLength());
        for (std::size_t i = 0; i < elements.size(); ++i)
        {
            EXPECT_EQ(0, mList.GetArrayElement(i, elements[i]));
        }
        return elements;
    }

    static KT::DeviceInfo Info(const KT::DeviceIdentifier& id, bool refresh, int expected = 0)
    {
        KT::DeviceInfo info;
        std::memset(&info, 0, sizeof(info));
        EXPECT_EQ(expected, QVRX_GetDeviceInfo(id, &info, refresh));
        return info;
    }

    KT::Variant mList;
    KT::RCPtr<LDeviceManager> mPrevious;
};

TEST_F(NetworkDeviceSearch, AFoundDeviceIsListedAndTheRevisionCountsEveryChange)
{
    PlayedDevice server;
    const KT::DeviceIdentifier id = NetworkIdentifier(server.Port(), 1, "Desk");
    server.Play(id, "Desk");

    EXPECT_EQ(1, Search({kLoopback}, server.Port()));
    ASSERT_EQ(1u, Listed().size());
    EXPECT_TRUE(id.IsDeviceIDEqual(Listed()[0]));
    KT::DeviceInfo info = Info(id, false);
    EXPECT_STREQ("Desk", info.userDefinedName);
    EXPECT_EQ(kLoopback, info.networkAddress);
    EXPECT_EQ(server.Port(), info.networkPort);
    EXPECT_TRUE(info.isRemote);

    // Nothing new.
    EXPECT_EQ(1, Search({kLoopback}, server.Port()));
    // A connect, a refresh that changes the name, one that changes nothing.
    HostRecord host;
    EXPECT_EQ(0, QVRX_ConnectDevice(id, &HostRecord::Callback, &host));
    EXPECT_EQ(-5, QVRX_ConnectDevice(id, &HostRecord::Callback, &host));
    EXPECT_EQ(2, Revision());
    server.Identify(IdentifierRecord(id, "Kitchen"));
    EXPECT_STREQ("Kitchen", Info(id, true).userDefinedName);
    EXPECT_EQ(3, Revision());
    EXPECT_STREQ("Kitchen", Info(id, true).userDefinedName);
    EXPECT_EQ(3, Revision());

    // Through the exports: a get and a set, and a notification once accepted.
    server.Reply(7, OneValue(42, 7));
    KT::Variant value;
    EXPECT_EQ(80, QVRX_GetParamValue(id, KT::ParamDescriptor(7), value));
    EXPECT_EQ(42, value.GetInt32());
    EXPECT_EQ(0, QVRX_SetParamValue(id, KT::ParamDescriptor(7), KT::Variant(5)));
    ASSERT_TRUE(Eventually([&] { return server.MessagesOn(1).size() == 4; }));
    const std::vector<TestDevice::SimulatedDevice::Message> requests = server.MessagesOn(1);
    ASSERT_EQ(4u, requests.size());
    EXPECT_EQ(DeviceMessageBytes::kGetAccessToken, requests[0].payload);
    EXPECT_EQ(DeviceMessageBytes::kGetAccessState, requests[1].payload);
    EXPECT_EQ(DeviceMessageBytes::kGetParam7, requests[2].payload);
    EXPECT_EQ(DeviceMessageBytes::kSetParam7To5, requests[3].payload);
    // Every identify asked with an empty message.
    const std::vector<TestDevice::SimulatedDevice::Message> identifies = server.MessagesOn(3);
    EXPECT_EQ(4u, identifies.size());
    for (const TestDevice::SimulatedDevice::Message& identify : identifies)
    {
        EXPECT_TRUE(identify.payload.empty());
    }
    server.Notify(0xFFFFFFFFu, B::Values({B::Entry(B::Array({B::Int64(kToken), B::Bool(true)}), -4)}));
    server.Notify(0, Numbered(5));
    ASSERT_TRUE(host.WaitFor(2));
    EXPECT_EQ(std::vector<std::int32_t>{5}, host.Numbers());
    EXPECT_EQ(0, QVRX_IsDeviceConnected(id, false, 0));
}

TEST_F(NetworkDeviceSearch, OnlyTheNonZeroGivenAddressesAreProbed)
{
    PlayedDevice server;
    server.Play(NetworkIdentifier(server.Port()), "Desk");

    EXPECT_EQ(0, QVRX_FindRemoteDevices(nullptr, 0, mList, false, nullptr, 5, 16, 1, server.Port()));
    EXPECT_TRUE(Listed().empty());
    EXPECT_EQ(0u, server.Connections());

    // 0 would mean this computer: probing it would find the device twice.
    // One identify of the search, one of the new device.
    EXPECT_EQ(1, Search({0, kLoopback, 0}, server.Port()));
    EXPECT_EQ(1u, Listed().size());
    EXPECT_EQ(2u, server.Connections());
}

TEST_F(NetworkDeviceSearch, MaxDevicesCountsOverAllAddressesTogether)
{
    PlayedDevice first;
    ASSERT_NE(0, first.Port());
    PlayedDevice second(first.Port(), kLoopbackTwo);
    ASSERT_EQ(first.Port(), second.Port());
    first.Play(NetworkIdentifier(first.Port(), 1), "One");
    KT::DeviceIdentifier two = NetworkIdentifier(first.Port(), 2);
    two.SetCurrentNetworkAddress(kLoopbackTwo);
    second.Play(two, "Two");

    EXPECT_EQ(1, Search({kLoopback, kLoopbackTwo}, first.Port(), 1, false, 1));
    EXPECT_EQ(1u, Listed().size());
    EXPECT_EQ(0u, second.Connections());
    // The first is listed, so its address is not asked again.
    EXPECT_EQ(2, Search({kLoopback, kLoopbackTwo}, first.Port(), 1, false, 2));
    EXPECT_EQ(2u, Listed().size());
    EXPECT_EQ(2u, first.Connections());
}

std::mutex sProbedLock;
std::vector<std::uint32_t> sProbedPorts;

bool RecordingReachability(const KT::DeviceIdentifier& identifier)
{
    std::lock_guard<std::mutex> guard(sProbedLock);
    sProbedPorts.push_back(identifier.GetCurrentNetworkPort());
    return false;
}

TEST_F(NetworkDeviceSearch, ProbingStopsAtTheLastPortAndAtAListedDevice)
{
    PlayedDevice server;
    server.Play(NetworkIdentifier(server.Port()), "Desk");
    ASSERT_EQ(1, Search({kLoopback}, server.Port()));
    const LDeviceNetwork::ReachabilityCheck previous =
        LDeviceNetwork::ExchangeReachabilityCheck(&RecordingReachability);
    sProbedPorts.clear();
    EXPECT_EQ(1, Search({kLoopbackTwo}, 65534, 4));
    EXPECT_EQ(1, Search({kLoopbackTwo}, 65536, 4));
    // The device listed at 127.0.0.1 ends the probing of that address.
    EXPECT_EQ(1, Search({kLoopback, kLoopbackTwo}, server.Port(), 2));
    LDeviceNetwork::ExchangeReachabilityCheck(previous);
    EXPECT_EQ((std::vector<std::uint32_t>{65534, 65535, server.Port(), server.Port() + 1u}), sProbedPorts);
}

TEST_F(NetworkDeviceSearch, ProbingWithoutPortsSearchesFromTheDefaultPort)
{
    const std::uint16_t port = TestPorts::FirstFreePort(LNetworkDeviceSearch::kDefaultFirstPort, SOCK_STREAM);
    if (port == 0 ||
        port >= LNetworkDeviceSearch::kDefaultFirstPort + LNetworkDeviceSearch::kDefaultPortCount)
    {
        GTEST_SKIP() << "the default ports are taken";
    }
    PlayedDevice server(port);
    ASSERT_EQ(port, server.Port());
    const KT::DeviceIdentifier id = NetworkIdentifier(port);
    server.Play(id, "Desk");
    EXPECT_EQ(1, Search({kLoopback}, 0, 0));
    ASSERT_EQ(1u, Listed().size());
    EXPECT_EQ(port, Info(id, false).networkPort);
}

TEST_F(NetworkDeviceSearch, AKnownDeviceFoundOnAnotherPortIsDisconnectedAndMoves)
{
    PlayedDevice before;
    const KT::DeviceIdentifier id = NetworkIdentifier(before.Port());
    before.Play(id, "Desk");
    ASSERT_EQ(1, Search({kLoopback}, before.Port()));
    HostRecord host;
    ASSERT_EQ(0, QVRX_ConnectDevice(id, &HostRecord::Callback, &host));

    PlayedDevice after;
    after.Play(id, "Desk");
    EXPECT_EQ(3, Search({kLoopback}, after.Port()));
    EXPECT_TRUE(before.WaitForDeviceConnectionGone());
    EXPECT_EQ(-3, QVRX_IsDeviceConnected(id, false, 0));
    ASSERT_EQ(1u, Listed().size());
    EXPECT_EQ(after.Port(), Info(id, false).networkPort);
    // It connects where it is now.
    EXPECT_EQ(0, QVRX_ConnectDevice(id, &HostRecord::Callback, &host));
    EXPECT_GE(after.MessagesOn(1).size(), 2u);
}

TEST_F(NetworkDeviceSearch, VerifyDisconnectsAndDropsADeviceThatNoLongerIdentifies)
{
    DeviceNetworkTimeouts::ScopedOverride shortReply(DeviceNetworkTimeoutList::REPLY, 200);
    PlayedDevice gone;
    PlayedDevice stays;
    const KT::DeviceIdentifier goneID = NetworkIdentifier(gone.Port(), 1);
    const KT::DeviceIdentifier staysID = NetworkIdentifier(stays.Port(), 2);
    gone.Play(goneID, "Gone");
    stays.Play(staysID, "Stays");
    ASSERT_EQ(1, Search({kLoopback}, gone.Port()));
    ASSERT_EQ(2, Search({kLoopback}, stays.Port()));
    HostRecord host;
    ASSERT_EQ(0, QVRX_ConnectDevice(goneID, &HostRecord::Callback, &host));

    gone.Identify(std::nullopt);
    EXPECT_EQ(4, QVRX_FindRemoteDevices(nullptr, 0, mList, true, nullptr, 0, 0, 0, 0));
    ASSERT_EQ(1u, Listed().size());
    EXPECT_TRUE(staysID.IsDeviceIDEqual(Listed()[0]));
    EXPECT_TRUE(gone.WaitForDeviceConnectionGone());
    EXPECT_EQ(-2, QVRX_IsDeviceConnected(goneID, false, 0));
    // Unchanged: verify of the one left changes nothing.
    EXPECT_EQ(4, QVRX_FindRemoteDevices(nullptr, 0, mList, true, nullptr, 0, 0, 0, 0));
}

// A device that verify drops is out of the list before it is disconnected: a
// connect on another thread cannot end in between on a device that nothing
// would disconnect afterwards.
TEST_F(NetworkDeviceSearch, VerifyTakesADeviceOutOfTheListBeforeItDisconnectsIt)
{
    // Not a network device: its identify check fails.
    const KT::DeviceIdentifier id = NetworkIdentifier(1, 3);
    KT::RCPtr<KT::Testing::FakeDevice> device = KT::Testing::FakeDevice::Create(id);
    KT::RCPtr<LDeviceManager> manager = LDeviceManager::GetTheDeviceManager();
    ASSERT_TRUE(
        manager->AddDevices(LDeviceManager::DEVICE_LOCATION_REMOTE, {KT::RCPtr<LDeviceBase>(device.Get())}));
    device->SetConnected(true);
    bool listedAtDisconnect = true;
    device->OnDisconnect([&] { listedAtDisconnect = !!manager->GetDevice(id); });
    QVRX_FindRemoteDevices(nullptr, 0, mList, true, nullptr, 0, 0, 0, 0);
    EXPECT_EQ(1, device->CountCalls("DisconnectDevice"));
    EXPECT_FALSE(listedAtDisconnect);
    device->OnDisconnect(nullptr);
}

TEST_F(NetworkDeviceSearch, AfterReleaseAllEveryDeviceCallGivesMinusTwo)
{
    PlayedDevice server;
    const KT::DeviceIdentifier id = NetworkIdentifier(server.Port());
    server.Play(id, "Desk");
    ASSERT_EQ(1, Search({kLoopback}, server.Port()));
    HostRecord host;
    ASSERT_EQ(0, QVRX_ConnectDevice(id, &HostRecord::Callback, &host));
    EXPECT_EQ(0, QVRX_ReleaseAll());
    EXPECT_TRUE(server.WaitForDeviceConnectionGone());
    KT::Variant value;
    EXPECT_EQ(-2, QVRX_GetParamValue(id, KT::ParamDescriptor(7), value));
    EXPECT_EQ(-2, QVRX_IsDeviceConnected(id, false, 0));
    EXPECT_EQ(-2, QVRX_DisconnectDevice(id));
    // A connect searches for an unknown network device (announced ones only).
    EXPECT_EQ(-2, QVRX_ConnectDevice(id, &HostRecord::Callback, &host));
}

// ---- Announced devices

// A discovery of announced devices whose list the test sets; records what the
// search tells it.
class LFakeDiscovery : public LDeviceDiscovery
{
public:
    void GetDiscoveryList(KT::Array<KT::DeviceIdentifier>& identifiers) override
    {
        std::lock_guard<std::mutex> guard(mLock);
        static_cast<void>(identifiers.Clear());
        for (const KT::DeviceIdentifier& identifier : mAnnounced)
        {
            static_cast<void>(identifiers.AppendItem(identifier));
        }
    }
    void UpdateDeviceInfo(const KT::DeviceIdentifier& identifier) override
    {
        std::lock_guard<std::mutex> guard(mLock);
        mUpdated.push_back(identifier);
    }
    void ReResolve(const KT::DeviceIdentifier& identifier) override
    {
        std::lock_guard<std::mutex> guard(mLock);
        mReResolved.push_back(identifier);
    }

    void Announce(std::vector<KT::DeviceIdentifier> announced)
    {
        std::lock_guard<std::mutex> guard(mLock);
        mAnnounced = std::move(announced);
    }
    std::vector<KT::DeviceIdentifier> Updated()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return std::exchange(mUpdated, {});
    }
    std::vector<KT::DeviceIdentifier> ReResolved()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return std::exchange(mReResolved, {});
    }

private:
    std::mutex mLock;
    std::vector<KT::DeviceIdentifier> mAnnounced;
    std::vector<KT::DeviceIdentifier> mUpdated;
    std::vector<KT::DeviceIdentifier> mReResolved;
};

class LSearchWithDiscovery : public LNetworkDeviceSearch
{
public:
    explicit LSearchWithDiscovery(const KT::RCPtr<LFakeDiscovery>& discovery) : mDiscovery(discovery) {}

protected:
    KT::RCPtr<LDeviceDiscovery> CreateNetworkDiscoveryClient() override
    {
        return KT::RCPtr<LDeviceDiscovery>(mDiscovery.GetRaw());
    }

private:
    KT::RCPtr<LFakeDiscovery> mDiscovery;
};

// An announced device at 127.0.0.2, no address of this computer's: remote.
KT::DeviceIdentifier Announced(std::uint16_t port, unsigned short index, const char* name)
{
    KT::DeviceIdentifier identifier = NetworkIdentifier(port, index, name);
    identifier.SetCurrentNetworkAddress(kLoopbackTwo);
    return identifier;
}

TEST(NetworkDeviceSearchDiscovery, AnnouncedDevicesJoinOnceIdentifiedAndProbingWins)
{
    DeviceNetworkTimeouts::ScopedOverride shortReply(DeviceNetworkTimeoutList::REPLY, 200);
    KT::RCPtr<LFakeDiscovery> discovery(new LFakeDiscovery);
    KT::RCPtr<LNetworkDeviceSearch> search(new LSearchWithDiscovery(discovery));
    KT::RCPtr<KT::Testing::FakeDeviceSources> sources = KT::Testing::FakeDeviceSources::Create();
    sources->OnSearch([search](IDeviceLists& lists, IDeviceLists::DeviceLocation location,
                               const NetworkSearchRequest& request)
                      { return search->FindNetworkDevices(lists, location, request); });
    sources->OnRefresh([search](const KT::RCPtr<LDeviceBase>& device, KT::DeviceIdentifier& identifier)
                       { return search->RefreshDeviceIdentifier(device, identifier); });
    KT::RCPtr<LDeviceManager> manager = LDeviceManager::Create(sources);
    KT::Variant list;

    PlayedDevice answers(0, kLoopbackTwo);
    PlayedDevice silent(0, kLoopbackTwo);
    const KT::DeviceIdentifier one = Announced(answers.Port(), 1, "One");
    const KT::DeviceIdentifier two = Announced(silent.Port(), 2, "Two");
    answers.Play(one, "One");
    // Announced at this computer's own address: never a remote device.
    const KT::DeviceIdentifier own = NetworkIdentifier(answers.Port(), 3, "Own");
    discovery->Announce({one, two, own});

    // One identifies (the discovery hears of it), two does not (looked up
    // again), the own one is not asked.
    EXPECT_EQ(1, manager->FindRemoteDevices(list, false, nullptr, 0, 0, 0, 0));
    ASSERT_EQ(1u, list.GetArrayLength());
    std::vector<KT::DeviceIdentifier> updated = discovery->Updated();
    ASSERT_EQ(1u, updated.size());
    EXPECT_TRUE(updated[0] == one);
    std::vector<KT::DeviceIdentifier> reResolved = discovery->ReResolved();
    ASSERT_EQ(1u, reResolved.size());
    EXPECT_TRUE(reResolved[0].IsDeviceIDEqual(two));
    EXPECT_EQ(1u, answers.Connections());

    // Listed: it keeps its identifier; nothing changes.
    discovery->Announce({one, own});
    EXPECT_EQ(1, manager->FindRemoteDevices(list, false, nullptr, 0, 0, 0, 0));
    EXPECT_TRUE(discovery->Updated().empty());
    EXPECT_EQ(1u, answers.Connections());

    // Probed and announced under another name: made once, as probed, and the
    // discovery learns the probed identifier.
    PlayedDevice third(0, kLoopbackTwo);
    const KT::DeviceIdentifier three = Announced(third.Port(), 4, "Three");
    third.Play(three, "Third");
    discovery->Announce({one, three});
    const std::uint32_t address = kLoopbackTwo;
    EXPECT_EQ(2, manager->FindRemoteDevices(list, false, &address, 1, 16, 1, third.Port()));
    EXPECT_EQ(2u, list.GetArrayLength());
    updated = discovery->Updated();
    ASSERT_EQ(1u, updated.size());
    EXPECT_TRUE(updated[0].IsDeviceIDEqual(three));
    EXPECT_STREQ("Third", updated[0].GetUserDefinedName().CStr());
    EXPECT_EQ(2u, third.Connections());
    KT::DeviceInfo info;
    EXPECT_EQ(0, manager->GetDeviceInfo(three, &info, false));
    EXPECT_STREQ("Third", info.userDefinedName);

    // A refresh that changes the identity is told to the discovery.
    answers.Identify(IdentifierRecord(one, "Again"));
    EXPECT_EQ(0, manager->GetDeviceInfo(one, &info, true));
    updated = discovery->Updated();
    ASSERT_EQ(1u, updated.size());
    EXPECT_STREQ("Again", updated[0].GetUserDefinedName().CStr());

    // Verify: a device that no longer answers is looked up again and dropped.
    answers.Identify(std::nullopt);
    discovery->Announce({});
    EXPECT_EQ(4, manager->FindRemoteDevices(list, true, nullptr, 0, 0, 0, 0));
    ASSERT_EQ(1u, list.GetArrayLength());
    KT::Variant left;
    ASSERT_EQ(0, list.GetArrayElement(0, left));
    EXPECT_TRUE(three.IsDeviceIDEqual(left));
    reResolved = discovery->ReResolved();
    ASSERT_EQ(1u, reResolved.size());
    EXPECT_TRUE(reResolved[0].IsDeviceIDEqual(one));
    EXPECT_EQ(0, manager->ReleaseAll());
}

// ---- Threads

TEST_F(NetworkDeviceSearch, DisconnectOrReleaseWhileCallbacksGetValuesEndsAndNoCallbackFollows)
{
    DeviceNetworkTimeouts::ScopedOverride shortReply(DeviceNetworkTimeoutList::REPLY, 500);
    for (const bool release : {false, true})
    {
        PlayedDevice server;
        const KT::DeviceIdentifier id = NetworkIdentifier(server.Port());
        server.Play(id, "Desk");
        server.OnGet([](const Bytes& request) -> std::optional<Bytes>
                     { return OneValue(1, static_cast<std::int32_t>(B::GetLE32(request, 8))); });
        ASSERT_GE(Search({kLoopback}, server.Port()), 1);
        HostRecord host;
        std::atomic<bool> ended{false};
        std::atomic<int> late{0};
        host.SetHook(
            [&](const KT::Variant& deviceID, const std::vector<HostRecord::Entry>&)
            {
                if (ended.load())
                {
                    late.fetch_add(1);
                }
                KT::Variant value;
                static_cast<void>(QVRX_GetParamValue(deviceID, KT::ParamDescriptor(3), value));
            });
        ASSERT_EQ(0, QVRX_ConnectDevice(id, &HostRecord::Callback, &host));
        server.Notify(0xFFFFFFFFu, B::Values({B::Entry(B::Array({B::Int64(kToken), B::Bool(true)}), -4)}));
        std::atomic<bool> stop{false};
        std::thread streamer(
            [&]
            {
                for (std::uint32_t n = 0; !stop.load() && n < 100000; ++n)
                {
                    if (!server.Notify(n, Numbered(static_cast<std::int32_t>(n))) ||
                        !Eventually([&] { return stop.load() || host.Count() + 3 >= n; }))
                    {
                        break;
                    }
                }
            });
        const bool flowing = host.WaitFor(20);
        EXPECT_EQ(0, release ? QVRX_ReleaseAll() : QVRX_DisconnectDevice(id));
        ended.store(true);
        stop.store(true);
        streamer.join();
        EXPECT_TRUE(flowing) << (release ? "release" : "disconnect");
        EXPECT_TRUE(server.WaitForDeviceConnectionGone());
        EXPECT_EQ(0, late.load()) << (release ? "release" : "disconnect");
    }
}

TEST_F(NetworkDeviceSearch, RefreshesThatRenameRaceLookUpsAndSorts)
{
    PlayedDevice first;
    PlayedDevice second;
    const KT::DeviceIdentifier one = NetworkIdentifier(first.Port(), 1);
    const KT::DeviceIdentifier two = NetworkIdentifier(second.Port(), 2);
    first.Play(one, "A");
    second.Play(two, "B");
    ASSERT_EQ(1, Search({kLoopback}, first.Port()));
    ASSERT_EQ(2, Search({kLoopback}, second.Port()));

    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::thread refresher(
        [&]
        {
            for (int i = 0; i < 40; ++i)
            {
                first.Identify(IdentifierRecord(one, i % 2 == 0 ? "Renamed" : "A"));
                KT::DeviceInfo info;
                if (QVRX_GetDeviceInfo(one, &info, true) != 0)
                {
                    failures.fetch_add(1);
                }
            }
            done.store(true);
        });
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t)
    {
        readers.emplace_back(
            [&]
            {
                KT::Variant list;
                while (!done.load())
                {
                    KT::DeviceInfo info;
                    if (QVRX_FindRemoteDevices(nullptr, 0, list, false, nullptr, 0, 0, 0, 0) < 2 ||
                        list.GetArrayLength() != 2 || QVRX_GetDeviceInfo(two, &info, false) != 0 ||
                        QVRX_IsDeviceConnected(one, false, 0) != -3)
                    {
                        failures.fetch_add(1);
                    }
                }
            });
    }
    refresher.join();
    for (std::thread& reader : readers)
    {
        reader.join();
    }
    EXPECT_EQ(0, failures.load());
    EXPECT_STREQ("A", Info(one, false).userDefinedName);
}

} // namespace
