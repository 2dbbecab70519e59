#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "KTFramework/Utilities/Storage/GUID.h"
#include "support/FakeDevice.h"
#include "velquin/Common/CrossPlatform/DeviceBase.h"
#include "velquin/Common/CrossPlatform/DeviceManager.h"
#include "velquin/Common/CrossPlatform/DeviceMessageSerializer.h"

// Result codes that a test does not judge (set-up steps, and calls whose effect
// it checks another way) are cast to void.

namespace
{

using KT::Testing::FakeDevice;
using KT::Testing::MakeDeviceIdentifier;

TEST(SupportedHardware, HoldsOneModelWhoseProductGuidCarriesItsIDs)
{
    EXPECT_EQ(0x6B5Eu, GetSupportedVid(0));
    EXPECT_EQ(0x2C71u, GetSupportedPid(0));
    EXPECT_EQ(0u, GetSupportedVid(1));
    EXPECT_EQ(0u, GetSupportedPid(1));

    struct Row
    {
        std::uint32_t vendorID;
        std::uint32_t productID;
        unsigned char guid[16];
        const char* text;
    };
    const Row rows[] = {
        {0x6B5E,
         0x2C71,
         {0x01, 0x02, 0x03, 0x04, 0x5E, 0x6B, 0x00, 0x00, 0x71, 0x2C, 0x00, 0x00, 0xDE, 0xCA, 0xFB, 0xAD},
         "010203045E6B0000712C0000DECAFBAD"},
        {0x12,
         0x34,
         {0x01, 0x02, 0x03, 0x04, 0x12, 0x00, 0x00, 0x00, 0x34, 0x00, 0x00, 0x00, 0xDE, 0xCA, 0xFB, 0xAD},
         "010203041200000034000000DECAFBAD"},
    };
    for (const Row& row : rows)
    {
        unsigned char guid[16];
        VidPidToProductGuid(row.vendorID, row.productID, guid);
        EXPECT_EQ(0, std::memcmp(row.guid, guid, 16)) << row.text;
        EXPECT_EQ(row.text, UUIDToSTLString(guid));
        KT::DeviceIdentifier identifier;
        identifier.SetProductGuid(guid);
        EXPECT_EQ(row.vendorID, identifier.GetVendorID()) << row.text;
        EXPECT_EQ(row.productID, identifier.GetProductID()) << row.text;
    }
}

// Names a device by its user-defined name, to read sorted lists.
std::string Names(const LDeviceManager::DeviceList& list)
{
    std::string names;
    for (std::int64_t i = 0; i < list.GetCount(); ++i)
    {
        names += list[static_cast<std::size_t>(i)]->GetUserDefinedName().CStr();
    }
    return names;
}

TEST(DeviceBase, SortsNetworkDevicesFirstByIDThenTheOthersInTheirListOrder)
{
    const KT::RCPtr<LDeviceBase> x = FakeDevice::Create(MakeDeviceIdentifier(0x6B5E, 0x2C71, 0, 9, "X"));
    const KT::RCPtr<LDeviceBase> y = FakeDevice::Create(MakeDeviceIdentifier(0x6B5E, 0x2C71, 0, 1, "Y"));
    const KT::RCPtr<LDeviceBase> a = FakeDevice::Create(MakeDeviceIdentifier(0x6B5E, 0x2C71, 0x10, 0, "A"));
    const KT::RCPtr<LDeviceBase> b = FakeDevice::Create(MakeDeviceIdentifier(0x6B5E, 0x2C71, 0x20, 0, "B"));

    // From every starting order ([X, B, Y, A] among them): A before B, then X
    // and Y as they came.
    std::vector<KT::RCPtr<LDeviceBase>> order = {a, b, x, y};
    std::sort(order.begin(), order.end(), [](const auto& l, const auto& r) { return l.Get() < r.Get(); });
    do
    {
        LDeviceManager::DeviceList list;
        std::string input;
        for (const KT::RCPtr<LDeviceBase>& device : order)
        {
            static_cast<void>(list.AppendItem(device));
            input += device->GetUserDefinedName().CStr();
        }
        LDeviceManager::SortDeviceList(list);
        const bool xFirst = input.find('X') < input.find('Y');
        EXPECT_EQ(xFirst ? "ABXY" : "ABYX", Names(list)) << "from " << input;
    } while (std::next_permutation(order.begin(), order.end(),
                                   [](const auto& l, const auto& r) { return l.Get() < r.Get(); }));
}

TEST(DeviceBase, OrdersDevicesStrictlyWeakly)
{
    // Network devices, flagged and unflagged ones with keys, and equal ranks.
    std::vector<KT::RCPtr<FakeDevice>> devices;
    const struct
    {
        unsigned long long location;
        unsigned short index;
        bool flagged;
        std::int64_t first;
        std::int64_t second;
    } rows[] = {{0x30, 0, false, 0, 0}, {0x10, 2, true, 5, 5}, {0x10, 1, false, 9, 9}, {0, 1, false, 0, 0},
                {0, 2, false, 0, 0},    {0, 3, true, 7, 0},    {0, 4, true, 7, 1},     {0, 5, true, 8, 0},
                {0, 6, false, 0, -3},   {0, 7, false, 99, 4}};
    for (const auto& row : rows)
    {
        KT::RCPtr<FakeDevice> device =
            FakeDevice::Create(MakeDeviceIdentifier(1, 2, row.location, row.index));
        device->SetSortKeys(row.flagged, row.first, row.second);
        devices.push_back(device);
    }
    auto less = [](const KT::RCPtr<FakeDevice>& l, const KT::RCPtr<FakeDevice>& r) { return *l < *r; };
    auto equivalent = [&](const auto& l, const auto& r) { return !less(l, r) && !less(r, l); };
    for (const auto& p : devices)
    {
        EXPECT_FALSE(less(p, p));
        for (const auto& q : devices)
        {
            EXPECT_FALSE(less(p, q) && less(q, p));
            for (const auto& r : devices)
            {
                EXPECT_FALSE(less(p, q) && less(q, r) && !less(p, r));
                EXPECT_FALSE(equivalent(p, q) && equivalent(q, r) && !equivalent(p, r));
            }
        }
    }
    // Network devices first, by the order of their IDs; flagged before
    // unflagged; larger keys first.
    for (std::size_t i = 0; i < 3; ++i)
    {
        for (std::size_t j = 0; j < 3; ++j)
        {
            EXPECT_EQ(devices[i]->GetDeviceID() < devices[j]->GetDeviceID(), less(devices[i], devices[j]));
        }
        for (std::size_t j = 3; j < devices.size(); ++j)
        {
            EXPECT_TRUE(less(devices[i], devices[j]));
        }
    }
    EXPECT_TRUE(less(devices[7], devices[5]));
    EXPECT_TRUE(equivalent(devices[5], devices[6]));
    EXPECT_TRUE(less(devices[5], devices[3]));
    EXPECT_TRUE(less(devices[9], devices[3]));
    EXPECT_TRUE(equivalent(devices[3], devices[4]));
    EXPECT_TRUE(less(devices[3], devices[8]));
}

// While the token is unknown, what follows an early acceptance is held up to
// the bound; past it the oldest values go, the notice stays.
TEST(DeviceAcceptance, HoldsValuesBehindAnEarlyNoticeUpToTheBoundDroppingTheOldest)
{
    const struct
    {
        const char* name;
        std::size_t values;
        std::size_t size; // each
        std::int32_t firstKept;
        std::size_t kept;
    } rows[] = {
        {"within the bound", 3, 10, 0, 3},
        {"past the count", DeviceAcceptance::kMostHeldMessages + 4, 10, 5,
         DeviceAcceptance::kMostHeldMessages - 1},
        {"past the bytes", 10, DeviceAcceptance::kMostHeldBytes / 4, 6, 4},
    };
    for (const auto& row : rows)
    {
        DeviceAcceptance acceptance;
        acceptance.BeginHandshake();
        EXPECT_FALSE(acceptance.ReceiveValues(KT::ParamValues(), 10)); // before the notice: dropped
        acceptance.ReceiveNotice(7, 1);
        for (std::size_t i = 0; i < row.values; ++i)
        {
            KT::ParamValues values;
            ASSERT_EQ(0, values.SetOne(KT::ParamDescriptor(100), KT::Variant(static_cast<std::int32_t>(i))));
            EXPECT_FALSE(acceptance.ReceiveValues(values, row.size)); // held
        }
        EXPECT_FALSE(acceptance.HasNext()) << row.name;
        acceptance.StoreToken(7);
        std::vector<std::int32_t> seen;
        KT::ParamValues next;
        while (acceptance.TakeNext(next))
        {
            KT::Variant value;
            unsigned int id = 0;
            KT::Variant descriptor;
            ASSERT_EQ(0, next.GetValue(0, value, id, descriptor)) << row.name;
            seen.push_back(static_cast<std::int32_t>(id) == PARAM_ID_ACCESS_GRANTED ? -2 : value.GetInt32());
        }
        ASSERT_EQ(row.kept + 1, seen.size()) << row.name;
        EXPECT_EQ(-2, seen.front()) << row.name;
        EXPECT_EQ(row.firstKept, seen[1]) << row.name;
        EXPECT_EQ(static_cast<std::int32_t>(row.values - 1), seen.back()) << row.name;
    }
}

} // namespace
