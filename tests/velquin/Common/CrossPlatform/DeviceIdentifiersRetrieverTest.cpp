#include <gtest/gtest.h>

#include <future>
#include <optional>

#include "KTFramework/Defs/Result.h"
#include "velquin/Common/CrossPlatform/DeviceIdentifiersRetriever.h"
#include "velquin/Common/CrossPlatform/NetworkDeviceTestSupport.h"

namespace
{

using namespace NetworkDeviceTest;
namespace B = DeviceMessageBytes;

TEST(DeviceIdentifiersRetriever, ReadsTheIdentifierRecordOrLeavesOutUntouched)
{
    DeviceNetworkTimeouts::ScopedOverride shortReply(DeviceNetworkTimeoutList::REPLY, 200);
    const KT::DeviceIdentifier device = NetworkIdentifier(40000, 3, "Elsewhere");
    std::vector<Bytes> elevenWords;
    for (int i = 0; i < 11; ++i)
    {
        elevenWords.push_back(B::Int32(i));
    }
    std::vector<Bytes> oneInt64;
    for (int i = 0; i < 11; ++i)
    {
        oneInt64.push_back(B::Int32(i));
    }
    oneInt64.push_back(B::Int64(11));
    struct Case
    {
        const char* name;
        std::optional<Bytes> record;
        bool succeeds;
    };
    const Case cases[] = {
        {"the record", IdentifierRecord(device, "Studio"), true},
        {"three elements", B::Array({DeviceIDOf(device), B::String("Studio"), B::Int32(0)}), false},
        {"one element", B::Array({DeviceIDOf(device)}), false},
        {"eleven words", B::Array({B::Array(elevenWords), B::String("Studio")}), false},
        {"a word of another kind", B::Array({B::Array(oneInt64), B::String("Studio")}), false},
        {"a device ID that is no array", B::Array({B::Int32(1), B::String("Studio")}), false},
        {"not a record", Bytes{1, 2, 3}, false},
        {"silence", std::nullopt, false},
    };
    for (const Case& c : cases)
    {
        PeerDevice peer;
        peer.Identify(c.record);
        KT::DeviceIdentifier out = KT::Testing::MakeDeviceIdentifier(1, 2, 5, 6, "before");
        out.SetVendorName(KT::DeviceIdentifier::String("Vendor"));
        out.SetProductName(KT::DeviceIdentifier::String("Product"));
        out.SetCurrentNetworkAddress(0x7F000009);
        out.SetCurrentNetworkPort(9);
        const KT::DeviceIdentifier before = out;
        KT::RCPtr<LDeviceIdentifiersRetriever> retriever = LDeviceIdentifiersRetriever::Create();
        std::future<int> result =
            std::async(std::launch::async,
                       [&] { return retriever->RetrieveDeviceIdentifier(kLoopback, peer.Port(), out); });
        ASSERT_TRUE(peer.Raw().Accept()) << c.name;
        ASSERT_TRUE(peer.Raw().WaitForHello()) << c.name;
        EXPECT_TRUE(peer.Raw().HelloIsClientCookie()) << c.name;
        if (!c.succeeds)
        {
            EXPECT_EQ(KT::RESULT_FAILED, result.get()) << c.name;
            EXPECT_TRUE(out == before) << c.name;
            continue;
        }
        ASSERT_EQ(0, result.get()) << c.name;
        EXPECT_TRUE(out.IsDeviceIDEqual(device)) << c.name;
        EXPECT_STREQ("Studio", out.GetUserDefinedName().CStr()) << c.name;
        EXPECT_EQ(kLoopback, out.GetCurrentNetworkAddress()) << c.name;
        EXPECT_EQ(peer.Port(), out.GetCurrentNetworkPort()) << c.name;
        EXPECT_STREQ("Vendor", out.GetVendorName().CStr()) << c.name;
        EXPECT_STREQ("Product", out.GetProductName().CStr()) << c.name;
        // One empty request on channel 3, then the connection is closed.
        ASSERT_EQ(1u, peer.Raw().Frames().size()) << c.name;
        EXPECT_EQ(3u, peer.Raw().Frames()[0].channel) << c.name;
        EXPECT_TRUE(peer.Raw().Frames()[0].payload.empty()) << c.name;
        EXPECT_TRUE(peer.Raw().WaitForClientClose()) << c.name;
    }
}

TEST(DeviceIdentifiersRetriever, NoConnectionFails)
{
    std::uint16_t closedPort = 0;
    {
        RawPeer::RawTcpPeer gone;
        closedPort = gone.Port();
    }
    KT::DeviceIdentifier out;
    EXPECT_EQ(KT::RESULT_FAILED,
              LDeviceIdentifiersRetriever::Create()->RetrieveDeviceIdentifier(kLoopback, closedPort, out));
}

} // namespace
