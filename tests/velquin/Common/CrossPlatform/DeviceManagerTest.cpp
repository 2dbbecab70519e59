#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KTFramework/Defs/Result.h"
#include "support/FakeDevice.h"
#include "support/FakeDeviceSources.h"
#include "velquin/Common/CrossPlatform/DeviceManager.h"

struct DeviceManagerProbe
{
    static void SetRemoteRevision(LDeviceManager& manager, int value)
    {
        manager.mRemoteRevision.SetValue(value);
    }
};

namespace
{

using KT::Testing::FakeDevice;
using KT::Testing::FakeDeviceSources;
using KT::Testing::MakeDeviceIdentifier;

class DeviceManagerTest : public ::testing::Test
{
protected:
    KT::RCPtr<FakeDeviceSources> mSources = FakeDeviceSources::Create();
    KT::RCPtr<LDeviceManager> mManager = LDeviceManager::Create(mSources);

    const KT::DeviceIdentifier mA = MakeDeviceIdentifier(0x6B5E, 0x2C71, 0, 1, "A");
    const KT::DeviceIdentifier mB = MakeDeviceIdentifier(0x6B5E, 0x2C71, 0, 2, "B");
    const KT::DeviceIdentifier mR = MakeDeviceIdentifier(0x6B5E, 0x2C71, 0xA1B2C3D4E5F6ull, 0x0102, "R");

    // A network search that lists the given devices.
    void SearchFinds(std::vector<KT::RCPtr<LDeviceBase>> devices)
    {
        mSources->OnSearch(
            [devices](IDeviceLists& lists, IDeviceLists::DeviceLocation location, const NetworkSearchRequest&)
            { return FakeDeviceSources::MergeIntoList(lists, location, devices); });
    }

    static std::vector<KT::Variant> Elements(const KT::Variant& list)
    {
        std::vector<KT::Variant> elements(list.GetArrayLength());
        for (std::size_t i = 0; i < elements.size(); ++i)
        {
            EXPECT_EQ(0, list.GetArrayElement(i, elements[i]));
        }
        return elements;
    }
};

TEST_F(DeviceManagerTest, FindDevicesKeepsConnectedDevicesAndRenewsTheOthers)
{
    mSources->SetAttached({mA, mB, mB});
    KT::Variant list;
    EXPECT_EQ(0, mManager->FindDevices(list));
    ASSERT_EQ(KT::Variant::TYPE_ARRAY, list.GetType());
    std::vector<KT::Variant> ids = Elements(list);
    ASSERT_EQ(2u, ids.size()) << "a device listed twice is made once";
    EXPECT_TRUE(ids[0] == KT::Variant(mA));
    EXPECT_TRUE(ids[1] == KT::Variant(mB));
    std::vector<KT::RCPtr<FakeDevice>> created = mSources->GetCreated();
    ASSERT_EQ(2u, created.size());

    // A stays while connected though no longer listed; B, unconnected, is
    // made afresh.
    created[0]->SetConnected(true);
    mSources->SetAttached({mB});
    EXPECT_EQ(0, mManager->FindDevices(list));
    ids = Elements(list);
    ASSERT_EQ(2u, ids.size());
    EXPECT_TRUE(ids[0] == KT::Variant(mA));
    EXPECT_TRUE(ids[1] == KT::Variant(mB));
    created = mSources->GetCreated();
    ASSERT_EQ(3u, created.size());
    EXPECT_TRUE(mManager->GetDevice(mA) == KT::RCPtr<LDeviceBase>(created[0]));
    EXPECT_TRUE(mManager->GetDevice(mB) == KT::RCPtr<LDeviceBase>(created[2]));

    // Once disconnected and unlisted it goes; a device that cannot be made is
    // not listed.
    created[0]->SetConnected(false);
    mSources->RefuseCreation(true);
    EXPECT_EQ(0, mManager->FindDevices(list));
    EXPECT_EQ(KT::Variant::TYPE_ARRAY, list.GetType());
    EXPECT_EQ(0u, list.GetArrayLength());
    EXPECT_TRUE(!mManager->GetDevice(mA));
}

TEST_F(DeviceManagerTest, LooksUpTheLocalListBeforeTheRemoteOne)
{
    KT::RCPtr<FakeDevice> remoteTwin = FakeDevice::Create(mA);
    KT::RCPtr<FakeDevice> remote = FakeDevice::Create(mR);
    SearchFinds({remoteTwin, remote});
    KT::Variant list;
    EXPECT_LT(0, mManager->FindRemoteDevices(list, false, nullptr, 0, 0, 0, 0));

    LDeviceManager::DeviceLocation location = LDeviceManager::DEVICE_LOCATION_LOCAL;
    EXPECT_TRUE(mManager->GetDevice(mA, location) == KT::RCPtr<LDeviceBase>(remoteTwin));
    EXPECT_EQ(LDeviceManager::DEVICE_LOCATION_REMOTE, location);

    mSources->SetAttached({mA});
    mManager->FindDevices(list);
    EXPECT_TRUE(mManager->GetDevice(mA, location) == KT::RCPtr<LDeviceBase>(mSources->GetCreated()[0]));
    EXPECT_EQ(LDeviceManager::DEVICE_LOCATION_LOCAL, location);

    location = static_cast<LDeviceManager::DeviceLocation>(7);
    EXPECT_TRUE(!mManager->GetDevice(mB, location));
    EXPECT_EQ(7u, static_cast<unsigned>(location)) << "not found: the location is not written";
}

TEST_F(DeviceManagerTest, ListsOnlyValidatedRemoteDevicesAndReturnsTheRevision)
{
    KT::RCPtr<FakeDevice> validated = FakeDevice::Create(mR);
    KT::RCPtr<FakeDevice> unvalidated = FakeDevice::Create(MakeDeviceIdentifier(1, 2, 0x99, 0));
    unvalidated->SetValidated(false);
    SearchFinds({validated, unvalidated});

    const std::uint32_t addresses[] = {0x7F000001, 0, 0x7F000002};
    KT::Variant list;
    EXPECT_EQ(1, mManager->FindRemoteDevices(list, true, addresses, 3, 5, 2, 51010));
    const NetworkSearchRequest request = mSources->GetLastRequest();
    EXPECT_TRUE(request.verify && request.addresses == addresses && request.addressCount == 3 &&
                request.maxDevices == 5 && request.portCount == 2 && request.firstPort == 51010);
    std::vector<KT::Variant> ids = Elements(list);
    ASSERT_EQ(1u, ids.size());
    EXPECT_TRUE(ids[0] == KT::Variant(mR));

    // A search that changes nothing leaves the revision as it was.
    EXPECT_EQ(1, mManager->FindRemoteDevices(list, false, nullptr, 0, 0, 0, 0));
}

TEST_F(DeviceManagerTest, RaisesTheRevisionAtomicallyAndFromItsLargestValueToOne)
{
    DeviceManagerProbe::SetRemoteRevision(*mManager, INT_MAX - 1);
    EXPECT_EQ(INT_MAX, mManager->RaiseRevision(LDeviceManager::DEVICE_LOCATION_REMOTE));
    EXPECT_EQ(1, mManager->RaiseRevision(LDeviceManager::DEVICE_LOCATION_REMOTE));

    constexpr int kThreads = 8;
    constexpr int kRaises = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back(
            [this]
            {
                for (int i = 0; i < kRaises; ++i)
                {
                    mManager->RaiseRevision(LDeviceManager::DEVICE_LOCATION_REMOTE);
                }
            });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(1 + kThreads * kRaises, mManager->GetRevision(LDeviceManager::DEVICE_LOCATION_REMOTE));
    EXPECT_EQ(0, mManager->GetRevision(LDeviceManager::DEVICE_LOCATION_LOCAL));
}

TEST_F(DeviceManagerTest, ConnectingANetworkDeviceRaisesTheRevision)
{
    KT::RCPtr<FakeDevice> remote = FakeDevice::Create(mR);
    SearchFinds({remote});
    // Unlisted: connecting searches the network (announced devices only).
    EXPECT_EQ(0, mManager->ConnectDevice(mR, nullptr, nullptr));
    const NetworkSearchRequest request = mSources->GetLastRequest();
    EXPECT_FALSE(request.verify);
    EXPECT_EQ(nullptr, request.addresses);
    EXPECT_EQ(0, mSources->GetListCount());
    EXPECT_EQ(2, mManager->GetRevision(LDeviceManager::DEVICE_LOCATION_REMOTE)) << "found, then connected";

    remote->SetConnected(false);
    remote->SetConnectResult(QVRX_RESULT_CONNECTION_FAILED);
    EXPECT_EQ(QVRX_RESULT_CONNECTION_FAILED, mManager->ConnectDevice(mR, nullptr, nullptr));
    EXPECT_EQ(2, mManager->GetRevision(LDeviceManager::DEVICE_LOCATION_REMOTE));
}

// The golden image of a found network device: every field, and the padding as
// the host left it.
TEST_F(DeviceManagerTest, GetDeviceInfoFillsTheHostsRecord)
{
    KT::DeviceIdentifier identifier(mR);
    identifier.SetUserDefinedName(KT::DeviceIdentifier::String("Stage left"));
    identifier.SetVendorName(KT::DeviceIdentifier::String("Maker"));
    identifier.SetProductName(KT::DeviceIdentifier::String("Box"));
    identifier.SetCurrentNetworkAddress(0x7F000001);
    identifier.SetCurrentNetworkPort(51000);
    SearchFinds({FakeDevice::Create(identifier)});
    KT::Variant list;
    EXPECT_LT(0, mManager->FindRemoteDevices(list, false, nullptr, 0, 0, 0, 0));

    unsigned char expected[256];
    std::memset(expected, 0xAB, sizeof(expected));
    auto put = [&expected](std::size_t offset, std::initializer_list<unsigned char> bytes)
    { std::copy(bytes.begin(), bytes.end(), expected + offset); };
    auto text = [&expected](std::size_t offset, const char* chars)
    {
        std::memset(expected + offset, 0, 64);
        std::memcpy(expected + offset, chars, std::strlen(chars));
    };
    put(0, {0x01, 0x02, 0x03, 0x04, 0x5E, 0x6B, 0x00, 0x00, 0x71, 0x2C, 0x00, 0x00, 0xDE, 0xCA, 0xFB, 0xAD});
    text(16, "Maker");
    text(80, "Box");
    put(144, {0x5E, 0x6B, 0x00, 0x00, 0x71, 0x2C, 0x00, 0x00});
    put(152, {0, 0, 0, 0, 0, 0, 0, 0, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x01, 0x02});
    put(168, {0xF6, 0xE5, 0xD4, 0xC3, 0xB2, 0xA1, 0x00, 0x00, 0x02, 0x01});
    text(178, "Stage left");
    put(244, {0x01, 0x00, 0x00, 0x7F, 0x38, 0xC7, 0x00, 0x00, 0x01});

    KT::DeviceInfo info;
    std::memset(&info, 0xAB, sizeof(info));
    EXPECT_EQ(0, mManager->GetDeviceInfo(mR, &info, false));
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&info);
    for (std::size_t i = 0; i < sizeof(info); ++i)
    {
        EXPECT_EQ(expected[i], bytes[i]) << "byte " << i;
    }
}

TEST_F(DeviceManagerTest, GetDeviceInfoCutsTextsAt63Bytes)
{
    const std::string seventy(70, 'n');
    const std::string sixtyThree(63, 'v');
    KT::DeviceIdentifier identifier(mA);
    identifier.SetUserDefinedName(KT::DeviceIdentifier::String(seventy.c_str()));
    identifier.SetVendorName(KT::DeviceIdentifier::String(sixtyThree.c_str()));
    mSources->SetAttached({identifier});
    KT::Variant list;
    mManager->FindDevices(list);

    KT::DeviceInfo info;
    std::memset(&info, 0xAB, sizeof(info));
    EXPECT_EQ(0, mManager->GetDeviceInfo(mA, &info, true)) << "an attached device is not refreshed";
    EXPECT_EQ(0, mSources->GetRefreshCount());
    EXPECT_EQ(seventy.substr(0, 63), std::string(info.userDefinedName, 63));
    EXPECT_EQ(0, info.userDefinedName[63]);
    EXPECT_EQ(sixtyThree, std::string(info.vendorName, 63));
    EXPECT_EQ(0, info.vendorName[63]);
    for (char c : info.productName)
    {
        EXPECT_EQ(0, c);
    }
    EXPECT_FALSE(info.isRemote);
}

TEST_F(DeviceManagerTest, RefreshesANetworkDeviceOnRequest)
{
    KT::RCPtr<FakeDevice> remote = FakeDevice::Create(mR);
    SearchFinds({remote});
    KT::Variant list;
    EXPECT_EQ(1, mManager->FindRemoteDevices(list, false, nullptr, 0, 0, 0, 0));

    struct Row
    {
        int refreshResult;
        const char* newName;
        int result;
        int revision;
    };
    const Row rows[] = {
        {0, "Renamed", 0, 2},
        {1, nullptr, 0, 2},
        {KT::RESULT_FAILED, nullptr, KT::RESULT_FAILED, 2},
        {RESULT_NOT_A_NETWORK_DEVICE, nullptr, KT::RESULT_FAILED, 2},
    };
    for (const Row& row : rows)
    {
        mSources->OnRefresh(
            [&row](const KT::RCPtr<LDeviceBase>& device, KT::DeviceIdentifier& identifier)
            {
                identifier = device->GetDeviceIdentifier();
                if (row.newName != nullptr)
                {
                    identifier.SetUserDefinedName(KT::DeviceIdentifier::String(row.newName));
                    device->SetDeviceIdentifier(identifier);
                }
                return row.refreshResult;
            });
        KT::DeviceInfo info;
        std::memset(&info, 0xAB, sizeof(info));
        EXPECT_EQ(row.result, mManager->GetDeviceInfo(mR, &info, true)) << row.refreshResult;
        EXPECT_STREQ("Renamed", info.userDefinedName) << "the fields are filled after any refresh";
        EXPECT_TRUE(info.isRemote);
        EXPECT_EQ(row.revision, mManager->GetRevision(LDeviceManager::DEVICE_LOCATION_REMOTE))
            << row.refreshResult;
    }
    EXPECT_EQ(KT::RESULT_INVALID_ARGUMENT, mManager->GetDeviceInfo(mR, nullptr, true));
    EXPECT_EQ(4, mSources->GetRefreshCount());
}

TEST_F(DeviceManagerTest, ReleaseAllDisconnectsEveryDeviceWithNoListLockHeld)
{
    KT::RCPtr<FakeDevice> remote = FakeDevice::Create(mR);
    SearchFinds({remote});
    mSources->SetAttached({mA, mB});
    KT::Variant list;
    mManager->FindDevices(list);
    EXPECT_LT(0, mManager->FindRemoteDevices(list, false, nullptr, 0, 0, 0, 0));

    std::vector<KT::RCPtr<FakeDevice>> devices = mSources->GetCreated();
    devices.push_back(remote);
    std::mutex orderMutex;
    std::vector<std::string> order;
    for (const KT::RCPtr<FakeDevice>& device : devices)
    {
        LDeviceBase* raw = device.Get();
        device->SetConnected(true);
        // A disconnect that calls back in, as a host callback may: both list
        // locks must be free.
        device->OnDisconnect(
            [this, raw, &orderMutex, &order]
            {
                mManager->GetDevice(mA);
                mManager->GetDevice(mR);
                std::lock_guard<std::mutex> lock(orderMutex);
                order.push_back(raw->GetUserDefinedName().CStr());
            });
    }
    EXPECT_EQ(0, mManager->ReleaseAll());
    EXPECT_EQ((std::vector<std::string>{"A", "B", "R"}), order);
    EXPECT_EQ(1, mSources->GetReleaseCount());
    for (const KT::RCPtr<FakeDevice>& device : devices)
    {
        EXPECT_EQ(1, device->CountCalls("DisconnectDevice"));
        device->OnDisconnect(nullptr);
    }
    EXPECT_TRUE(!mManager->GetDevice(mA));
    EXPECT_TRUE(!mManager->GetDevice(mR));
}

// A device that leaves the lists while it connects, through ReleaseAll, is
// disconnected again: nothing else could ever disconnect it.
TEST_F(DeviceManagerTest, ADeviceThatLeavesTheListsWhileItConnectsIsDisconnectedAgain)
{
    KT::RCPtr<FakeDevice> remote = FakeDevice::Create(mR);
    SearchFinds({remote});
    KT::Variant list;
    EXPECT_LT(0, mManager->FindRemoteDevices(list, false, nullptr, 0, 0, 0, 0));
    remote->OnConnect([this] { EXPECT_EQ(0, mManager->ReleaseAll()); });
    EXPECT_EQ(QVRX_RESULT_CONNECTION_FAILED, mManager->ConnectDevice(mR, nullptr, nullptr));
    EXPECT_FALSE(remote->IsConnected(false, 0));
    EXPECT_GE(remote->CountCalls("DisconnectDevice"), 1);
    remote->OnConnect(nullptr);
    EXPECT_EQ(1, mManager->GetRevision(LDeviceManager::DEVICE_LOCATION_REMOTE)) << "found only";
}

// A local search beside a connect of an attached device, inside the connect,
// or with the connect inside the search, between the device's answer that it
// is unconnected and the dropping of unconnected devices: the connect
// succeeds and the device stays listed and connected.
TEST_F(DeviceManagerTest, ALocalSearchBesideAConnectNeitherFailsNorUndoesIt)
{
    for (const bool searchInConnect : {true, false})
    {
        SCOPED_TRACE(searchInConnect ? "a search inside the connect" : "a connect inside the search");
        mManager->ReleaseAll();
        mSources->SetAttached({mA});
        KT::Variant list;
        mManager->FindDevices(list);
        const KT::RCPtr<FakeDevice> device = mSources->GetCreated().back();
        const auto search = [this]
        {
            KT::Variant renewed;
            EXPECT_EQ(0, mManager->FindDevices(renewed));
        };
        int result = QVRX_RESULT_FAILED;
        std::atomic<bool> armed{true};
        if (searchInConnect)
        {
            device->OnConnect(search);
            result = mManager->ConnectDevice(mA, nullptr, nullptr);
        }
        else
        {
            device->OnIsConnected(
                [&]
                {
                    if (armed.exchange(false))
                    {
                        result = mManager->ConnectDevice(mA, nullptr, nullptr);
                    }
                });
            search();
        }
        device->OnConnect(nullptr);
        device->OnIsConnected(nullptr);
        EXPECT_EQ(0, result);
        EXPECT_TRUE(mManager->GetDevice(mA) == KT::RCPtr<LDeviceBase>(device));
        EXPECT_EQ(0, mManager->IsDeviceConnected(mA, false, 0));
        EXPECT_EQ(0, device->CountCalls("DisconnectDevice"));
    }
}

// Searches, connects, refreshes that rename devices, look-ups and ReleaseAll
// from eight threads at once; ThreadSanitizer watches the locks.
TEST_F(DeviceManagerTest, ThreadsSearchConnectRefreshAndReleaseTogether)
{
    std::vector<KT::RCPtr<LDeviceBase>> remotes;
    std::vector<KT::DeviceIdentifier> remoteIDs;
    for (unsigned short i = 0; i < 6; ++i)
    {
        remoteIDs.push_back(MakeDeviceIdentifier(0x6B5E, 0x2C71, 0x100 + (i % 3), i));
        remotes.push_back(FakeDevice::Create(remoteIDs.back()));
    }
    SearchFinds(remotes);
    mSources->SetAttached({mA, mB});
    std::atomic<int> renames{0};
    mSources->OnRefresh(
        [&renames](const KT::RCPtr<LDeviceBase>& device, KT::DeviceIdentifier& identifier)
        {
            identifier = device->GetDeviceIdentifier();
            identifier.SetUserDefinedName(
                KT::DeviceIdentifier::String(renames.fetch_add(1) % 2 == 0 ? "even" : "odd, and longer"));
            device->SetDeviceIdentifier(identifier);
            return 0;
        });

    constexpr int kThreads = 8;
    constexpr int kRounds = 150;
    std::atomic<int> start{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back(
            [&, t]
            {
                start.fetch_add(1);
                while (start.load() < kThreads)
                {
                }
                KT::Variant list;
                KT::DeviceInfo info;
                for (int round = 0; round < kRounds; ++round)
                {
                    const KT::DeviceIdentifier& remoteID = remoteIDs[(t + round) % remoteIDs.size()];
                    // Results depend on the interleaving: what is checked is
                    // that nothing races and the list ends consistent.
                    switch ((t + round) % 6)
                    {
                    case 0:
                        mManager->FindDevices(list);
                        break;
                    case 1:
                        static_cast<void>(mManager->FindRemoteDevices(list, false, nullptr, 0, 0, 0, 0));
                        break;
                    case 2:
                        static_cast<void>(
                            mManager->ConnectDevice(round % 2 == 0 ? remoteID : mA, nullptr, nullptr));
                        break;
                    case 3:
                        static_cast<void>(mManager->GetDeviceInfo(remoteID, &info, true));
                        break;
                    case 4:
                        static_cast<void>(mManager->DisconnectDevice(remoteID));
                        static_cast<void>(mManager->IsDeviceConnected(mB, true, 0));
                        break;
                    default:
                        if (round % 25 == 0)
                        {
                            mManager->ReleaseAll();
                        }
                        else
                        {
                            static_cast<void>(
                                mManager->GetParamValue(remoteID, KT::ParamDescriptor(1), list));
                        }
                        break;
                    }
                }
            });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    // Whatever the interleaving, a last search lists every device once, in
    // device order.
    KT::Variant list;
    EXPECT_LT(0, mManager->FindRemoteDevices(list, false, nullptr, 0, 0, 0, 0));
    EXPECT_EQ(remotes.size(), list.GetArrayLength());
    KT::Variant previous;
    for (std::size_t i = 0; i < list.GetArrayLength(); ++i)
    {
        KT::Variant id;
        ASSERT_EQ(0, list.GetArrayElement(i, id));
        if (i > 0)
        {
            EXPECT_TRUE(previous < id);
        }
        previous = id;
    }
    EXPECT_GT(mManager->GetRevision(LDeviceManager::DEVICE_LOCATION_REMOTE), 0);
}

} // namespace
