#include "velquin/Common/CrossPlatform/NetworkDiscovery/NetworkDiscoveryClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "Platform/FakeMonotonicClock.h"
#include "support/FakeDnsServiceBrowser.h"
#include "velquin/Common/CrossPlatform/NetworkDiscovery/DiscoveryTestSupport.h"
#include "velquin/Common/CrossPlatform/NetworkDiscovery/DiscoveryTimeouts.h"

using DiscoveryTest::Filter;
using DiscoveryTest::kProductGuid;
using DiscoveryTest::List;
using DiscoveryTest::Wire;
using MdnsTest::FakeDnsNetwork;
using MdnsTest::FakeDnsServiceBrowser;

namespace
{

std::string Text(const KT::DeviceIdentifier::String& text)
{
    return std::string(text.CStr());
}

// What one TXT record gives, read back from the identifier.
struct Parsed
{
    std::string name;
    std::string productGuid;
    unsigned long long location;
    unsigned short index;
    std::string vendor;
    std::string product;
    // Its last eight bytes are the location and index: looked at only where
    // a row names it.
    std::string instanceGuid = std::string();
};

Parsed Parse(const std::vector<unsigned char>& bytes)
{
    KT::RCPtr<LNetworkDiscoveryClient::LDiscoveredDevice> device =
        LNetworkDiscoveryClient::LDiscoveredDevice::Create(FakeDnsNetwork::Service("parsed"));
    device->ParseTXTRecords(static_cast<unsigned>(bytes.size()), bytes.data());
    const KT::DeviceIdentifier identifier = device->GetDiscoveredDeviceIdentifier();
    return Parsed{Text(identifier.GetUserDefinedName()),   Text(identifier.GetProductGuidString()),
                  identifier.GetInstanceLocationID(),      identifier.GetInstanceIndex(),
                  Text(identifier.GetVendorName()),        Text(identifier.GetProductName()),
                  Text(identifier.GetInstanceGuidString())};
}

std::vector<unsigned char> Bytes(const std::string& raw)
{
    return std::vector<unsigned char>(raw.begin(), raw.end());
}

constexpr const char* kZeroGuid = "00000000000000000000000000000000";

KT::Platform::DnsResolvedService Resolved(std::vector<unsigned char> txt, std::uint16_t port = 51000)
{
    KT::Platform::DnsResolvedService resolved;
    resolved.ipv4 = true;
    resolved.addressNetworkOrder = htonl(0x7F000002u);
    resolved.port = port;
    resolved.txt = std::move(txt);
    return resolved;
}

std::vector<unsigned char> DeviceTxt(const std::string& name, const char* productGuid = kProductGuid)
{
    return Wire({"device-name=" + name, std::string("device-product-guid=") + productGuid,
                 "device-instance-location=01:02:03:04:05:06"});
}

// A client on a fake network.
struct FakeClient
{
    explicit FakeClient(const char* productGuid = kProductGuid)
        : network(std::make_shared<FakeDnsNetwork>()),
          client(LNetworkDiscoveryClient::Create(Filter(productGuid),
                                                 std::make_unique<FakeDnsServiceBrowser>(network)))
    {
    }

    // Announces name and waits until its resolution was asked for.
    void Add(const std::string& name)
    {
        const std::size_t before = network->CountResolves();
        ASSERT_TRUE(network->WaitReported(network->Add(name)));
        ASSERT_TRUE(network->WaitResolves(before + 1));
    }
    void Resolve(const std::string& name, const KT::Platform::DnsResolvedService& resolved)
    {
        ASSERT_TRUE(network->WaitReported(network->Resolve(name, resolved)));
    }
    // Returns once the client's loop has made a whole pass, its retries
    // included, after the call: the second event is taken by a later pass.
    void Settle()
    {
        for (int event = 0; event < 2; ++event)
        {
            ASSERT_TRUE(network->WaitReported(network->Post([](FakeDnsNetwork::Client&) {})));
        }
    }

    std::shared_ptr<FakeDnsNetwork> network;
    KT::RCPtr<LNetworkDiscoveryClient> client;
};

} // namespace

TEST(NetworkDiscoveryClient, ParseTXTRecordsReadsEachKeyFromRawBytes)
{
    const unsigned long long kOneToSix = 0x060504030201ull;
    struct Row
    {
        const char* what;
        std::vector<unsigned char> bytes;
        Parsed expected;
    } rows[] = {
        {"the four keys of a device",
         Bytes("\x12"
               "device-name=Studio"
               "\x34"
               "device-product-guid=0102030405060708090A0B0C0D0E0F10"
               "\x2a"
               "device-instance-location=01:02:03:04:05:06"
               "\x1a"
               "device-instance-index=0001"),
         {"Studio", kProductGuid, kOneToSix, 1, "", ""}},
        {"the instance GUID",
         Wire({"device-instance-guid=a0b1c2d3e4f5061728394a5b6c7d8e9f"}),
         {"", kZeroGuid, 0, 0, "", "", "A0B1C2D3E4F5061728394A5B6C7D8E9F"}},
        {"a lower-case GUID",
         Wire({std::string("device-product-guid=") + DiscoveryTest::kProductGuidLowercase}),
         {"", kProductGuid, 0, 0, "", ""}},
        {"another letter case of the key",
         Wire({"Device-Name=Studio", "device-name=Desk"}),
         {"Desk", kZeroGuid, 0, 0, "", ""}},
        {"an entry without = is skipped",
         Wire({"device-name", "device-instance-index=02"}),
         {"", kZeroGuid, 0, 2, "", ""}},
        {"a zero length ends the record",
         Bytes(std::string("\x0d"
                           "device-name=A",
                           14) +
               std::string(1, '\0') +
               "\x0d"
               "device-name=B"),
         {"A", kZeroGuid, 0, 0, "", ""}},
        {"an entry running past the end ends the record",
         Bytes("\x0d"
               "device-name=A"
               "\x10"
               "device-name=BCD"),
         {"A", kZeroGuid, 0, 0, "", ""}},
        {"a value may hold =", Wire({"device-name=a=b"}), {"a=b", kZeroGuid, 0, 0, "", ""}},
        {"index 01A2", Wire({"device-instance-index=01A2"}), {"", kZeroGuid, 0, 0x01A2, "", ""}},
        {"index 1A2", Wire({"device-instance-index=1A2"}), {"", kZeroGuid, 0, 0xA2, "", ""}},
        {"index 5", Wire({"device-instance-index=5"}), {"", kZeroGuid, 0, 0, "", ""}},
        {"non-digits count as 0",
         Wire({"device-instance-location=zz:02:03:04:05:g6"}),
         {"", kZeroGuid, 0x060504030200ull, 0, "", ""}},
        {"only the last 17 characters of a location",
         Wire({"device-instance-location=ff:01:02:03:04:05:06"}),
         {"", kZeroGuid, kOneToSix, 0, "", ""}},
        {"a GUID under 32 characters is ignored",
         Wire({"device-product-guid=0102030405060708090A0B0C0D0E0F1"}),
         {"", kZeroGuid, 0, 0, "", ""}},
        {"a location under 17 characters is ignored",
         Wire({"device-instance-location=01:02:03:04:05:6"}),
         {"", kZeroGuid, 0, 0, "", ""}},
        {"the last vendor and product win",
         Wire({"device-vendor-id=First", "device-product-id=One", "device-vendor-id=Second",
               "device-product-id=Two"}),
         {"", kZeroGuid, 0, 0, "Second", "Two"}},
        {"an empty last vendor applies none",
         Wire({"device-vendor-id=First", "device-vendor-id="}),
         {"", kZeroGuid, 0, 0, "", ""}},
        {"an empty record", Bytes(std::string(1, '\0')), {"", kZeroGuid, 0, 0, "", ""}},
    };
    for (const Row& row : rows)
    {
        const Parsed parsed = Parse(row.bytes);
        EXPECT_EQ(parsed.name, row.expected.name) << row.what;
        EXPECT_EQ(parsed.productGuid, row.expected.productGuid) << row.what;
        EXPECT_EQ(parsed.location, row.expected.location) << row.what;
        EXPECT_EQ(parsed.index, row.expected.index) << row.what;
        EXPECT_EQ(parsed.vendor, row.expected.vendor) << row.what;
        EXPECT_EQ(parsed.product, row.expected.product) << row.what;
        if (!row.expected.instanceGuid.empty())
        {
            EXPECT_EQ(parsed.instanceGuid, row.expected.instanceGuid) << row.what;
        }
    }
}

TEST(NetworkDiscoveryClient, ListsResolvedServicesOfItsProductsWithAddressAndPort)
{
    FakeClient fake;
    ASSERT_TRUE(!!fake.client);
    EXPECT_EQ(fake.network->BrowsedType(), "_korvane-device._tcp.");
    EXPECT_TRUE(List(*fake.client).empty());

    fake.Add("studio");
    fake.Add("other");
    fake.Resolve("other", Resolved(DeviceTxt("Other", DiscoveryTest::kOtherProductGuid)));
    fake.Resolve("studio", Resolved(DeviceTxt("Studio"), 51003));

    const std::vector<KT::DeviceIdentifier> list = List(*fake.client);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(Text(list[0].GetUserDefinedName()), "Studio");
    EXPECT_EQ(list[0].GetCurrentNetworkAddress(), 0x7F000002u);
    EXPECT_EQ(list[0].GetCurrentNetworkPort(), 51003u);
}

TEST(NetworkDiscoveryClient, ARemovalWhileResolvingLeavesTheServiceResolving)
{
    FakeClient fake;
    fake.Add("studio");
    ASSERT_TRUE(fake.network->WaitReported(fake.network->Remove("studio")));
    EXPECT_TRUE(List(*fake.client).empty());
    fake.Resolve("studio", Resolved(DeviceTxt("Studio")));
    EXPECT_EQ(List(*fake.client).size(), 1u);

    // Once listed, a removal takes it out.
    ASSERT_TRUE(fake.network->WaitReported(fake.network->Remove("studio")));
    EXPECT_TRUE(List(*fake.client).empty());
}

TEST(NetworkDiscoveryClient, FailedAndEmptyResolutionsListNothingAndLaterAnswersAreStrays)
{
    // Standing still: the failed resolution is not tried again meanwhile.
    KT::Platform::FakeMonotonicClock clock;
    KT::Platform::ScopedMonotonicClock useClock(clock);
    FakeClient fake;
    fake.Add("failing");
    fake.Add("empty");
    ASSERT_TRUE(fake.network->WaitReported(fake.network->FailResolve("failing")));
    fake.Resolve("empty", Resolved({}));
    // An answer nobody asked for.
    ASSERT_TRUE(fake.network->WaitReported(fake.network->Post(
        [](FakeDnsNetwork::Client& client) { client.ServiceResolved(999, Resolved(DeviceTxt("Stray"))); })));
    EXPECT_TRUE(List(*fake.client).empty());
    // Each resolution has ended with its first answer: a second one to the
    // same resolution is a stray too.
    fake.Resolve("failing", Resolved(DeviceTxt("Failing")));
    fake.Resolve("empty", Resolved(DeviceTxt("Empty")));
    EXPECT_TRUE(List(*fake.client).empty());
    EXPECT_EQ(fake.network->CountResolves(), 2u);
}

TEST(NetworkDiscoveryClient, AFailedResolutionIsTriedAgainAfterAGrowingPauseWhileBrowsed)
{
    DiscoveryTimeouts::ScopedOverride first(DiscoveryTimeoutList::RESOLVE_RETRY_FIRST, 100);
    DiscoveryTimeouts::ScopedOverride most(DiscoveryTimeoutList::RESOLVE_RETRY_MAX, 250);
    KT::Platform::FakeMonotonicClock clock;
    KT::Platform::ScopedMonotonicClock useClock(clock);
    FakeClient fake;
    fake.Add("studio");
    std::size_t resolves = 1;
    for (const std::uint64_t pause : {100, 200, 250, 250})
    {
        ASSERT_TRUE(fake.network->WaitReported(fake.network->FailResolve("studio")));
        clock.AdvanceMilliseconds(pause - 1);
        fake.Settle();
        EXPECT_EQ(fake.network->CountResolves(), resolves) << "before a pause of " << pause;
        clock.AdvanceMilliseconds(1);
        fake.Settle();
        ASSERT_EQ(fake.network->CountResolves(), ++resolves) << "after a pause of " << pause;
    }
    fake.Resolve("studio", Resolved(DeviceTxt("Studio")));
    EXPECT_EQ(List(*fake.client).size(), 1u);

    // Once its service is gone, a failed resolution is not tried again,
    // whether it failed before the removal or after it.
    fake.Add("desk");
    ASSERT_TRUE(fake.network->WaitReported(fake.network->FailResolve("desk")));
    ASSERT_TRUE(fake.network->WaitReported(fake.network->Remove("desk")));
    fake.Add("shelf");
    ASSERT_TRUE(fake.network->WaitReported(fake.network->Remove("shelf")));
    ASSERT_TRUE(fake.network->WaitReported(fake.network->FailResolve("shelf")));
    clock.AdvanceMilliseconds(250);
    fake.Settle();
    EXPECT_EQ(fake.network->CountResolves(), resolves + 2);
}

TEST(NetworkDiscoveryClient, UpdateAndReResolveWorkOnTheDeviceWithThatID)
{
    FakeClient fake;
    fake.Add("studio");
    fake.Resolve("studio", Resolved(DeviceTxt("Studio"), 51001));
    std::vector<KT::DeviceIdentifier> list = List(*fake.client);
    ASSERT_EQ(list.size(), 1u);

    KT::DeviceIdentifier renamed = list[0];
    renamed.SetUserDefinedName("Renamed");
    EXPECT_TRUE(fake.client->UpdateDeviceInfo(renamed));
    EXPECT_EQ(Text(List(*fake.client)[0].GetUserDefinedName()), "Renamed");
    KT::DeviceIdentifier stranger;
    EXPECT_FALSE(fake.client->UpdateDeviceInfo(stranger));

    // Another port is another place: nothing moves.
    KT::DeviceIdentifier elsewhere = renamed;
    elsewhere.SetCurrentNetworkPort(51002);
    fake.client->ReResolve(elsewhere);
    EXPECT_EQ(List(*fake.client).size(), 1u);
    EXPECT_EQ(fake.network->CountResolves(), 1u);

    fake.client->ReResolve(renamed);
    EXPECT_TRUE(List(*fake.client).empty());
    ASSERT_TRUE(fake.network->WaitResolves(2));
    fake.Resolve("studio", Resolved(DeviceTxt("Back"), 51001));
    list = List(*fake.client);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(Text(list[0].GetUserDefinedName()), "Back");
}

TEST(NetworkDiscoveryClient, TheClientReleasedWithServicesResolvingIsDestroyed)
{
    FakeClient fake;
    fake.Add("studio");
    fake.Add("desk");
    fake.client = KT::RCPtr<LNetworkDiscoveryClient>();
    EXPECT_TRUE(fake.network->WaitFreed());
}

// The client's destructor waits briefly for a thread held elsewhere: held
// before it first ran its loop, or in the middle of a pass with an
// announcement waiting. Either way the thread stops once let go and frees the
// browser itself, using nothing the client took with it.
TEST(NetworkDiscoveryClient, AThreadOutlivingTheStopWaitKeepsWhatItUsesAndStops)
{
    DiscoveryTimeouts::ScopedOverride shortStop(DiscoveryTimeoutList::CLIENT_STOP, 20);
    for (const bool beforeFirstPass : {true, false})
    {
        auto network = std::make_shared<FakeDnsNetwork>();
        if (beforeFirstPass)
        {
            network->HoldLock(1); // the first Lock starts the browse
        }
        else
        {
            network->HoldLoop();
        }
        KT::RCPtr<LNetworkDiscoveryClient> client = LNetworkDiscoveryClient::Create(
            Filter(kProductGuid), std::make_unique<FakeDnsServiceBrowser>(network));
        ASSERT_TRUE(!!client);
        ASSERT_TRUE(network->WaitHeldThreadArrived());
        network->Add("studio");
        client = KT::RCPtr<LNetworkDiscoveryClient>();
        EXPECT_FALSE(network->IsFreed()) << beforeFirstPass;
        network->Release();
        EXPECT_TRUE(network->WaitFreed()) << beforeFirstPass;
        if (beforeFirstPass)
        {
            EXPECT_EQ(network->CountPasses(), 0u);
        }
    }
}

TEST(NetworkDiscoveryClient, ReResolveLoopsWhileServicesComeAndGo)
{
    FakeClient fake;
    std::atomic<bool> done{false};
    std::thread host(
        [&]
        {
            KT::DeviceIdentifier any;
            while (!done.load())
            {
                for (const KT::DeviceIdentifier& identifier : List(*fake.client))
                {
                    fake.client->ReResolve(identifier);
                    any = identifier;
                }
                static_cast<void>(fake.client->UpdateDeviceInfo(any));
            }
        });
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round)
    {
        const std::string name = "device" + std::to_string(random() % 4);
        switch (random() % 3)
        {
        case 0:
            fake.network->Add(name);
            break;
        case 1:
            fake.network->Resolve(name, Resolved(DeviceTxt(name)));
            break;
        default:
            fake.network->Remove(name);
            break;
        }
    }
    EXPECT_TRUE(fake.network->WaitReported(fake.network->Post([](FakeDnsNetwork::Client&) {})));
    done.store(true);
    host.join();
    fake.client = KT::RCPtr<LNetworkDiscoveryClient>();
    EXPECT_TRUE(fake.network->WaitFreed());
}
