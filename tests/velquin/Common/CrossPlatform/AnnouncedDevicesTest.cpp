// Devices that announce themselves by DNS-SD, as a host meets them through the
// exported functions: the library's own network search and discovery client
// (whatever backend it finds; the embedded engine where no system daemon
// runs), a test publisher announcing on lo, and simulated devices on
// 127.0.0.2, which no interface lists (remote), or 127.0.0.1 (this computer).
// A spy between the search and its discovery records what the search tells
// the discovery.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "support/MdnsPublisher.h"
#include "support/SimulatedDevice.h"
#include "velquin/Common/CrossPlatform/DeviceManager.h"
#include "velquin/Common/CrossPlatform/DeviceNetwork.h"
#include "velquin/Common/CrossPlatform/DeviceSources.h"
#include "velquin/Common/CrossPlatform/NetworkDeviceSearch.h"
#include "velquin/Common/CrossPlatform/NetworkDeviceTestSupport.h"
#include "velquin/Common/CrossPlatform/NetworkDiscovery/DiscoveryTestSupport.h"
#include "velquin/Common/CrossPlatform/VelquinInterface.h"

namespace
{

namespace B = DeviceMessageBytes;
using NetworkDeviceTest::HostRecord;
using TestDevice::SimulatedDevice;

// The supported product's GUID as the devices announce it: 01 02 03 04, the
// vendor ID 0x6B5E and the product ID 0x2C71 little-endian, DE CA FB AD.
constexpr const char* kSupportedProductGuid = "010203045E6B0000712C0000DECAFBAD";

// The real discovery, with a record of what the search tells it.
class LSpyDiscovery : public LDeviceDiscovery
{
public:
    explicit LSpyDiscovery(const KT::RCPtr<LDeviceDiscovery>& real) : mReal(real) {}

    void GetDiscoveryList(KT::Array<KT::DeviceIdentifier>& identifiers) override
    {
        mReal->GetDiscoveryList(identifiers);
    }
    void UpdateDeviceInfo(const KT::DeviceIdentifier& identifier) override
    {
        {
            std::lock_guard<std::mutex> guard(mLock);
            mUpdated.push_back(identifier);
        }
        mReal->UpdateDeviceInfo(identifier);
    }
    void ReResolve(const KT::DeviceIdentifier& identifier) override
    {
        {
            std::lock_guard<std::mutex> guard(mLock);
            mReResolved.push_back(identifier);
        }
        mReal->ReResolve(identifier);
    }

    std::vector<KT::DeviceIdentifier> Updated()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mUpdated;
    }
    std::vector<KT::DeviceIdentifier> ReResolved()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mReResolved;
    }
    // Whether the discovery lists a device with identifier's device ID, at
    // identifier's address.
    bool Lists(const KT::DeviceIdentifier& identifier)
    {
        KT::Array<KT::DeviceIdentifier> list;
        mReal->GetDiscoveryList(list);
        for (std::size_t i = 0; i < static_cast<std::size_t>(list.GetCount()); ++i)
        {
            if (list[i].IsDeviceIDEqual(identifier) &&
                list[i].GetCurrentNetworkAddress() == identifier.GetCurrentNetworkAddress())
            {
                return true;
            }
        }
        return false;
    }

private:
    const KT::RCPtr<LDeviceDiscovery> mReal;
    std::mutex mLock;
    std::vector<KT::DeviceIdentifier> mUpdated;
    std::vector<KT::DeviceIdentifier> mReResolved;
};

// The library's network search, its discovery wrapped in the spy.
class LSpiedSearch : public LNetworkDeviceSearch
{
public:
    KT::RCPtr<LSpyDiscovery> GetSpy()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mSpy;
    }

protected:
    KT::RCPtr<LDeviceDiscovery> CreateNetworkDiscoveryClient() override
    {
        KT::RCPtr<LDeviceDiscovery> real = LNetworkDeviceSearch::CreateNetworkDiscoveryClient();
        if (!real)
        {
            return real;
        }
        KT::RCPtr<LSpyDiscovery> spy(new LSpyDiscovery(real));
        std::lock_guard<std::mutex> guard(mLock);
        mSpy = spy;
        return KT::RCPtr<LDeviceDiscovery>(spy.GetRaw());
    }

private:
    std::mutex mLock;
    KT::RCPtr<LSpyDiscovery> mSpy;
};

// The library's sources with the spied search: no attached devices.
class LSpiedSources : public LDeviceSources
{
public:
    LSpiedSources() : mSearch(new LSpiedSearch) {}

    void ListAttachedDevices(KT::Array<KT::DeviceIdentifier>& identifiers) override
    {
        static_cast<void>(identifiers.Clear());
    }
    KT::RCPtr<LDeviceBase> CreateLocalDevice(const KT::DeviceIdentifier&) override
    {
        return KT::RCPtr<LDeviceBase>();
    }
    bool FindNetworkDevices(IDeviceLists& lists, IDeviceLists::DeviceLocation location,
                            const NetworkSearchRequest& request) override
    {
        return mSearch->FindNetworkDevices(lists, location, request);
    }
    int RefreshDeviceIdentifier(const KT::RCPtr<LDeviceBase>& device,
                                KT::DeviceIdentifier& identifier) override
    {
        return mSearch->RefreshDeviceIdentifier(device, identifier);
    }
    void ReleaseNetworkSearch() override { mSearch->Release(); }

    const KT::RCPtr<LSpiedSearch> mSearch;
};

// One announced device: a simulated device that identifies as the TXT record
// makes it, and the publisher's announcement of it.
struct AnnouncedDevice
{
    AnnouncedDevice(std::uint32_t address, const std::string& txtName, const std::string& identifyName,
                    std::vector<std::string> extraTxt = {})
        : device(SimulatedDevice::Options{address, 0})
    {
        // The device ID the TXT record gives, built by the same setters in
        // the record's order: product GUID, location, index.
        identifier.SetProductGuid(KT::DeviceIdentifier::String(kSupportedProductGuid));
        identifier.SetInstanceLocationID(location.value);
        identifier.SetInstanceIndex(1);
        identifier.SetCurrentNetworkAddress(address);
        identifier.SetCurrentNetworkPort(device.Port());
        device.SetIdentify(NetworkDeviceTest::IdentifierRecord(identifier, identifyName));
        device.SetScript(
            [](const B::Bytes& request) -> std::vector<SimulatedDevice::Reply>
            {
                if (request.size() < 12 || B::GetLE32(request, 4) != B::kGet)
                {
                    return {};
                }
                const auto id = static_cast<std::int32_t>(B::GetLE32(request, 8));
                if (id == -3)
                {
                    return {{1, B::Values({B::Entry(B::Int64(NetworkDeviceTest::kToken), -3)}), {}}};
                }
                if (id == -4)
                {
                    return {{1, B::Values({B::Entry(B::Bool(true), -4)}), {}}};
                }
                return {};
            });
        MdnsTest::MdnsPublisher::Service service;
        service.port = device.Port();
        service.address = address == TestDevice::kLoopback ? "127.0.0.1" : "127.0.0.2";
        service.txt = {"device-name=" + txtName, std::string("device-product-guid=") + kSupportedProductGuid,
                       "device-instance-location=" + location.text, "device-instance-index=0001"};
        service.txt.insert(service.txt.end(), extraTxt.begin(), extraTxt.end());
        published = publisher.IsRunning() && device.IsListening() && !publisher.Publish(service).empty();
    }

    // A location no other test process announces.
    DiscoveryTest::UniqueLocation location;
    KT::DeviceIdentifier identifier;
    SimulatedDevice device;
    MdnsTest::MdnsPublisher publisher;
    bool published = false;
};

class AnnouncedDevices : public ::testing::Test
{
protected:
    void SetUp() override
    {
        mSources = KT::RCPtr<LSpiedSources>(new LSpiedSources);
        mPrevious = LDeviceManager::ExchangeTheDeviceManager(
            LDeviceManager::Create(KT::RCPtr<LDeviceSources>(mSources.GetRaw())));
    }
    void TearDown() override
    {
        QVRX_ReleaseAll();
        LDeviceManager::ExchangeTheDeviceManager(mPrevious);
    }

    int Search(bool verify = false, const std::uint32_t* address = nullptr, std::uint32_t port = 0)
    {
        return QVRX_FindRemoteDevices(nullptr, 0, mList, verify, address, address != nullptr ? 1 : 0, 16, 1,
                                      port);
    }
    bool Listed(const KT::DeviceIdentifier& identifier)
    {
        for (std::size_t i = 0; i < mList.GetArrayLength(); ++i)
        {
            KT::Variant element;
            if (mList.GetArrayElement(i, element) == 0 && identifier.IsDeviceIDEqual(element))
            {
                return true;
            }
        }
        return false;
    }
    // Searches until the device is listed (the first search starts the
    // discovery, which takes a moment to hear of announcements).
    bool SearchUntilListed(const KT::DeviceIdentifier& identifier)
    {
        return NetworkDeviceTest::Eventually(
            [&]
            {
                static_cast<void>(Search());
                return Listed(identifier);
            });
    }
    // Starts the discovery with a search and waits until it has heard of the
    // device, without a search making it.
    KT::RCPtr<LSpyDiscovery> DiscoverWithoutListing(const KT::DeviceIdentifier& identifier)
    {
        static_cast<void>(Search());
        KT::RCPtr<LSpyDiscovery> spy = mSources->mSearch->GetSpy();
        EXPECT_TRUE(!!spy);
        if (!spy || !NetworkDeviceTest::Eventually([&] { return spy->Lists(identifier); }))
        {
            return KT::RCPtr<LSpyDiscovery>();
        }
        return spy;
    }

    KT::RCPtr<LSpiedSources> mSources;
    KT::RCPtr<LDeviceManager> mPrevious;
    KT::Variant mList;
};

} // namespace

TEST_F(AnnouncedDevices, AreListedAfterIdentifyingWithTheNamesTheirRecordGives)
{
    AnnouncedDevice announced(TestDevice::kRemoteLoopback, "Studio", "Studio",
                              {"device-vendor-id=Acme", "device-product-id=Mixer"});
    ASSERT_TRUE(announced.published);
    ASSERT_TRUE(SearchUntilListed(announced.identifier));
    KT::DeviceInfo info;
    std::memset(&info, 0, sizeof(info));
    ASSERT_EQ(0, QVRX_GetDeviceInfo(announced.identifier, &info, false));
    EXPECT_STREQ("Studio", info.userDefinedName);
    EXPECT_STREQ("Acme", info.vendorName);
    EXPECT_STREQ("Mixer", info.productName);
    EXPECT_EQ(TestDevice::kRemoteLoopback, info.networkAddress);
    EXPECT_EQ(announced.device.Port(), info.networkPort);
    EXPECT_TRUE(info.isRemote);
    // It identified itself before it was listed.
    EXPECT_TRUE(announced.device.WaitForMessage([](const SimulatedDevice::Message& message)
                                                { return message.channel == 3; }));

    HostRecord host;
    EXPECT_EQ(0, QVRX_ConnectDevice(announced.identifier, &HostRecord::Callback, &host));
    EXPECT_EQ(0, QVRX_IsDeviceConnected(announced.identifier, false, 0));
}

TEST_F(AnnouncedDevices, OneAtThisComputersOwnAddressIsNeverRemote)
{
    AnnouncedDevice own(TestDevice::kLoopback, "Own", "Own");
    AnnouncedDevice remote(TestDevice::kRemoteLoopback, "Remote", "Remote");
    ASSERT_TRUE(own.published);
    ASSERT_TRUE(remote.published);
    KT::RCPtr<LSpyDiscovery> spy = DiscoverWithoutListing(own.identifier);
    ASSERT_TRUE(!!spy);
    ASSERT_TRUE(SearchUntilListed(remote.identifier));
    EXPECT_FALSE(Listed(own.identifier));
    EXPECT_TRUE(own.device.Messages().empty()) << "never asked who it is";
}

// Probing finds a device the discovery has heard of but the list does not
// hold yet: one device is made, as probed, and the discovery is told the
// probed identifier only when the two differ.
TEST_F(AnnouncedDevices, ProbedAndAnnouncedIsMadeOnceAndTheDiscoveryToldOnlyOfADifference)
{
    for (const bool differ : {false, true})
    {
        // The search that starts the discovery runs before the device is
        // announced: run after, it may hear of the device in time to list it.
        static_cast<void>(Search());
        KT::RCPtr<LSpyDiscovery> spy = mSources->mSearch->GetSpy();
        ASSERT_TRUE(!!spy) << differ;
        AnnouncedDevice announced(TestDevice::kRemoteLoopback, "Desk", differ ? "Renamed" : "Desk");
        ASSERT_TRUE(announced.published);
        ASSERT_TRUE(NetworkDeviceTest::Eventually([&] { return spy->Lists(announced.identifier); }))
            << differ;
        ASSERT_EQ(0u, mList.GetArrayLength()) << differ;
        const std::uint32_t address = TestDevice::kRemoteLoopback;
        static_cast<void>(Search(false, &address, announced.device.Port()));
        ASSERT_EQ(1u, mList.GetArrayLength()) << differ;
        EXPECT_TRUE(Listed(announced.identifier)) << differ;
        const std::vector<KT::DeviceIdentifier> updated = spy->Updated();
        ASSERT_EQ(differ ? 1u : 0u, updated.size()) << differ;
        if (differ)
        {
            EXPECT_STREQ("Renamed", updated[0].GetUserDefinedName().CStr());
        }
        EXPECT_EQ(0, QVRX_ReleaseAll());
    }
}

TEST_F(AnnouncedDevices, VerifyWithTheDeviceGoneLooksItUpAgainDropsAndDisconnectsIt)
{
    DeviceNetworkTimeouts::ScopedOverride shortReply(DeviceNetworkTimeoutList::REPLY, 300);
    AnnouncedDevice announced(TestDevice::kRemoteLoopback, "Desk", "Desk");
    ASSERT_TRUE(announced.published);
    ASSERT_TRUE(SearchUntilListed(announced.identifier));
    HostRecord host;
    ASSERT_EQ(0, QVRX_ConnectDevice(announced.identifier, &HostRecord::Callback, &host));
    const std::size_t clients = announced.device.ClientCount();

    announced.device.SetSilent(true);
    static_cast<void>(Search(true));
    EXPECT_FALSE(Listed(announced.identifier));
    EXPECT_EQ(-2, QVRX_IsDeviceConnected(announced.identifier, false, 0));
    const std::vector<KT::DeviceIdentifier> reResolved = mSources->mSearch->GetSpy()->ReResolved();
    ASSERT_FALSE(reResolved.empty());
    EXPECT_TRUE(reResolved.back().IsDeviceIDEqual(announced.identifier));
    // The connection the host had made is closed.
    EXPECT_TRUE(announced.device.WaitForClientGone(clients));
}

TEST_F(AnnouncedDevices, ReleaseAllRacesSearchesAndRefreshes)
{
    DeviceNetworkTimeouts::ScopedOverride shortReply(DeviceNetworkTimeoutList::REPLY, 300);
    AnnouncedDevice announced(TestDevice::kRemoteLoopback, "Desk", "Desk");
    ASSERT_TRUE(announced.published);
    ASSERT_TRUE(SearchUntilListed(announced.identifier));

    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    threads.emplace_back(
        [&]
        {
            KT::Variant list;
            while (!done.load())
            {
                static_cast<void>(QVRX_FindRemoteDevices(nullptr, 0, list, false, nullptr, 0, 0, 0, 0));
            }
        });
    threads.emplace_back(
        [&]
        {
            while (!done.load())
            {
                KT::DeviceInfo info;
                static_cast<void>(QVRX_GetDeviceInfo(announced.identifier, &info, true));
            }
        });
    for (int round = 0; round < 20; ++round)
    {
        EXPECT_EQ(0, QVRX_ReleaseAll());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    done.store(true);
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(0, QVRX_ReleaseAll());
    // Everything still works afterwards.
    EXPECT_TRUE(SearchUntilListed(announced.identifier));
}
