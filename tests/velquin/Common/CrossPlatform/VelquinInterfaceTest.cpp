#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "KTFramework/Defs/Result.h"
#include "KTFramework/Utilities/Storage/ParamValue.h"
#include "support/FakeDevice.h"
#include "support/FakeDeviceSources.h"
#include "support/VariantProbes.h"
#include "velquin/Common/CrossPlatform/DeviceManager.h"
#include "velquin/Common/CrossPlatform/VelquinInterface.h"

namespace
{

using KT::Testing::CountingVariant;
using KT::Testing::FakeDevice;
using KT::Testing::FakeDeviceSources;
using KT::Testing::MakeDeviceIdentifier;

GUID ProductGuidOf(std::uint32_t vendorID, std::uint32_t productID)
{
    GUID guid;
    VidPidToProductGuid(vendorID, productID, guid.mBytes);
    return guid;
}

// Puts a manager with fake sources in the process-wide place for the test.
class VelquinInterfaceTest : public ::testing::Test
{
protected:
    void SetUp() override { mPrevious = LDeviceManager::ExchangeTheDeviceManager(mManager); }
    void TearDown() override { LDeviceManager::ExchangeTheDeviceManager(mPrevious); }

    // The attached device with that ID, made by the last search.
    KT::RCPtr<FakeDevice> Attached(const KT::DeviceIdentifier& id)
    {
        KT::RCPtr<FakeDevice> found;
        for (const KT::RCPtr<FakeDevice>& device : mSources->GetCreated())
        {
            if (device->IsDeviceID(id))
            {
                found = device;
            }
        }
        return found;
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

    KT::RCPtr<FakeDeviceSources> mSources = FakeDeviceSources::Create();
    KT::RCPtr<LDeviceManager> mManager = LDeviceManager::Create(mSources);
    KT::RCPtr<LDeviceManager> mPrevious;

    const KT::DeviceIdentifier mA = MakeDeviceIdentifier(0x6B5E, 0x2C71, 0, 1, "A");
    const KT::DeviceIdentifier mB = MakeDeviceIdentifier(0x0001, 0x0002, 0, 2, "B");
    const KT::DeviceIdentifier mC = MakeDeviceIdentifier(0x6B5E, 0x2C71, 0, 3, "C");
};

TEST_F(VelquinInterfaceTest, EveryFunctionGivesMinusOneAndTouchesNothingWithoutAManager)
{
    LDeviceManager::ExchangeTheDeviceManager(KT::RCPtr<LDeviceManager>());
    CountingVariant::Stats stats;
    CountingVariant list(&stats);
    list.Set("host's own");
    KT::DeviceInfo info;
    std::memset(&info, 0xAB, sizeof(info));
    KT::Variant value(42);
    KT::ParamValues values;
    const GUID guid = ProductGuidOf(1, 2);
    const KT::ParamDescriptor descriptor(7);

    const std::vector<std::function<int()>> calls = {
        [&] { return QVRX_FindDevices(&guid, 1, list); },
        [&] { return QVRX_FindRemoteDevices(&guid, 1, list, true, nullptr, 0, 0, 0, 0); },
        [&] { return QVRX_ConnectDevice(mA, nullptr, nullptr); },
        [&] { return QVRX_IsDeviceConnected(mA, true, 0); },
        [&] { return QVRX_GetDeviceInfo(mA, &info, true); },
        [&] { return QVRX_RequestParamRanges(mA, KT::ParamRanges()); },
        [&] { return QVRX_RequestParamValues(mA, KT::ParamDescriptors()); },
        [&] { return QVRX_GetParamValue(mA, descriptor, value); },
        [&] { return QVRX_GetParamRanges(mA, KT::ParamRanges(), values); },
        [&] { return QVRX_GetParamValues(mA, KT::ParamDescriptors(), values); },
        [&] { return QVRX_SetParamValue(mA, descriptor, value); },
        [&] { return QVRX_SetParamValues(mA, values); },
        [&] { return QVRX_DisconnectDevice(mA); },
        [&] { return QVRX_ReleaseAll(); },
    };
    for (std::size_t i = 0; i < calls.size(); ++i)
    {
        EXPECT_EQ(QVRX_RESULT_FAILED, calls[i]()) << "function " << i;
    }
    EXPECT_STREQ("host's own", list.GetCStr());
    EXPECT_EQ(1, stats.allocations);
    EXPECT_EQ(0, stats.frees);
    for (std::size_t i = 0; i < sizeof(info); ++i)
    {
        ASSERT_EQ(0xAB, reinterpret_cast<const unsigned char*>(&info)[i]) << "byte " << i;
    }
    EXPECT_EQ(42, value.GetInt32());
    EXPECT_EQ(0, mSources->GetListCount());
}

TEST_F(VelquinInterfaceTest, TheProductGuidFilterKeepsMatchingDevicesInTheirOrder)
{
    mSources->SetAttached({mA, mB, mC});
    const GUID supported = ProductGuidOf(0x6B5E, 0x2C71);
    const GUID other = ProductGuidOf(0x0001, 0x0002);
    const GUID none = ProductGuidOf(0x0009, 0x0009);
    struct Row
    {
        const char* name;
        std::vector<GUID> guids;
        std::vector<const KT::DeviceIdentifier*> expected;
        // Allocations through the host's own variant beside the text it held
        // before: one is the manager's list left exactly as written.
        int allocations;
    };
    const Row rows[] = {
        {"no filter", {}, {&mA, &mB, &mC}, 2},
        {"matching nothing", {none}, {}, 2},
        {"removing nothing", {other, supported}, {&mA, &mB, &mC}, 2},
        {"one model", {none, supported}, {&mA, &mC}, 3},
    };
    for (const Row& row : rows)
    {
        CountingVariant::Stats stats;
        CountingVariant list(&stats);
        list.Set("the host's text");
        EXPECT_EQ(0, QVRX_FindDevices(row.guids.empty() ? nullptr : row.guids.data(),
                                      static_cast<std::uint32_t>(row.guids.size()), list))
            << row.name;
        EXPECT_EQ(0, stats.foreignFrees) << row.name;
        ASSERT_EQ(KT::Variant::TYPE_ARRAY, list.GetType()) << row.name;
        std::vector<KT::Variant> ids = Elements(list);
        ASSERT_EQ(row.expected.size(), ids.size()) << row.name;
        for (std::size_t i = 0; i < ids.size(); ++i)
        {
            EXPECT_TRUE(ids[i] == KT::Variant(*row.expected[i])) << row.name << " element " << i;
        }
        EXPECT_EQ(row.allocations, stats.allocations) << row.name;
    }

    // The remote search filters the same way and still returns the revision.
    const KT::DeviceIdentifier remote = MakeDeviceIdentifier(0x0001, 0x0002, 0x77, 0);
    mSources->OnSearch(
        [remote](IDeviceLists& lists, IDeviceLists::DeviceLocation location, const NetworkSearchRequest&)
        { return FakeDeviceSources::MergeIntoList(lists, location, {FakeDevice::Create(remote)}); });
    KT::Variant list;
    EXPECT_EQ(1, QVRX_FindRemoteDevices(&supported, 1, list, false, nullptr, 0, 0, 0, 0));
    EXPECT_EQ(KT::Variant::TYPE_ARRAY, list.GetType());
    EXPECT_EQ(0u, list.GetArrayLength());
}

TEST_F(VelquinInterfaceTest, NullArgumentsAreRefusedBeforeAnySearchOrWrite)
{
    mSources->SetAttached({mA});
    KT::Variant list(5);
    EXPECT_EQ(KT::RESULT_INVALID_ARGUMENT, QVRX_FindDevices(nullptr, 2, list));
    EXPECT_EQ(KT::RESULT_INVALID_ARGUMENT,
              QVRX_FindRemoteDevices(nullptr, 1, list, true, nullptr, 0, 0, 0, 0));
    EXPECT_EQ(KT::RESULT_INVALID_ARGUMENT, QVRX_GetDeviceInfo(mA, nullptr, false));
    EXPECT_EQ(5, list.GetInt32());
    EXPECT_EQ(0, mSources->GetListCount());
    EXPECT_EQ(0, mSources->GetSearchCount());
}

TEST_F(VelquinInterfaceTest, SetParamValuesSetsInOrderAndStopsAtTheFirstFailure)
{
    mSources->SetAttached({mA});
    KT::Variant list;
    QVRX_FindDevices(nullptr, 0, list);
    KT::RCPtr<FakeDevice> device = Attached(mA);
    ASSERT_TRUE(!!device);

    EXPECT_EQ(0, QVRX_SetParamValues(mA, KT::ParamValues()));
    EXPECT_TRUE(device->GetCalls().empty()) << "an empty list reaches no device";

    KT::Variant entries[3];
    KT::ParamValue::ToArrayVariant(1, KT::Variant(), KT::Variant(10), entries[0]);
    KT::ParamValue::ToArrayVariant(2, KT::Variant(), KT::Variant(20), entries[1]);
    KT::ParamValue::ToArrayVariant(3, KT::Variant(), KT::Variant(30), entries[2]);
    KT::ParamValues three;
    three.SetArray(entries, 3);
    device->ScriptResults({0, QVRX_RESULT_NOT_CONNECTED, 0});
    EXPECT_EQ(QVRX_RESULT_NOT_CONNECTED, QVRX_SetParamValues(mA, three));
    std::vector<FakeDevice::Call> calls = device->GetCalls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(1u, calls[0].id);
    EXPECT_EQ(10, calls[0].value.GetInt32());
    EXPECT_EQ(2u, calls[1].id);

    // An entry that is not [value, ID, descriptor] stops the loop with its
    // read failure; nothing goes out as parameter 0xFFFFFFFF.
    entries[1] = KT::Variant(99);
    KT::ParamValues malformed;
    malformed.SetArray(entries, 3);
    device->ScriptResults({});
    EXPECT_EQ(KT::ParamValues::RESULT_MALFORMED_ENTRY, QVRX_SetParamValues(mA, malformed));
    calls = device->GetCalls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ(1u, calls[2].id);
}

TEST_F(VelquinInterfaceTest, ForwardsEachCallToTheDeviceAndItsResultBack)
{
    mSources->SetAttached({mA});
    KT::Variant list;
    QVRX_FindDevices(nullptr, 0, list);
    KT::RCPtr<FakeDevice> device = Attached(mA);
    ASSERT_TRUE(!!device);
    device->SetValue(KT::Variant(1234));

    KT::ParamDescriptor descriptor(7);
    descriptor.AccessDescriptor() = KT::Variant(70);
    KT::ParamRanges ranges;
    ranges.Set("ranges");
    KT::ParamDescriptors descriptors;
    descriptors.Set("descriptors");
    KT::Variant value;
    KT::ParamValues values;
    struct Row
    {
        std::function<int()> call;
        const char* operation;
        std::uint32_t id;
        int result;
    };
    const Row rows[] = {
        {[&] { return QVRX_RequestParamRanges(mA, ranges); }, "RequestParamValuesOrRanges", 0xFFFFFFFBu, 0},
        {[&] { return QVRX_RequestParamValues(mA, descriptors); }, "RequestParamValuesOrRanges", 0xFFFFFFF9u,
         QVRX_RESULT_FAILED},
        {[&] { return QVRX_GetParamValue(mA, descriptor, value); }, "GetParamValue", 7, 80},
        {[&] { return QVRX_GetParamRanges(mA, ranges, values); }, "GetParamRanges", 0, 68},
        {[&] { return QVRX_GetParamValues(mA, descriptors, values); }, "GetParamValues", 0,
         QVRX_RESULT_UNKNOWN_DEVICE},
        {[&] { return QVRX_SetParamValue(mA, descriptor, KT::Variant(5)); }, "SetParamValue", 7,
         QVRX_RESULT_NOT_CONNECTED},
    };
    for (const Row& row : rows)
    {
        device->ScriptResults({row.result});
        EXPECT_EQ(row.result, row.call()) << row.operation;
        const FakeDevice::Call last = device->GetCalls().back();
        EXPECT_EQ(row.operation, last.operation);
        EXPECT_EQ(row.id, last.id) << row.operation;
    }
    const std::vector<FakeDevice::Call> calls = device->GetCalls();
    EXPECT_STREQ("ranges", calls[0].value.GetCStr());
    EXPECT_STREQ("descriptors", calls[1].value.GetCStr());
    EXPECT_EQ(70, calls[2].value.GetInt32()) << "a get carries the descriptor";
    EXPECT_EQ(1234, value.GetInt32());
    EXPECT_EQ(5, calls[5].value.GetInt32());
}

void HostCallback(void*, const KT::Variant&, const KT::ParamValues&) {}

TEST_F(VelquinInterfaceTest, ConnectsAListedOrSearchedDeviceOnceAndTellsItsState)
{
    mSources->SetAttached({mA});
    mSources->OnCreate([](FakeDevice& device)
                       { device.SetConnectResult(QVRX_CONNECTED_AWAITING_ACCEPTANCE); });
    int context = 0;

    // Not searched for yet: connecting searches this computer, then connects.
    EXPECT_EQ(QVRX_CONNECTED_AWAITING_ACCEPTANCE, QVRX_ConnectDevice(mA, HostCallback, &context));
    EXPECT_EQ(1, mSources->GetListCount());
    KT::RCPtr<FakeDevice> device = Attached(mA);
    ASSERT_TRUE(!!device);
    EXPECT_EQ(&HostCallback, device->GetCallback());
    EXPECT_EQ(&context, device->GetContext());

    EXPECT_EQ(QVRX_RESULT_ALREADY_CONNECTED, QVRX_ConnectDevice(mA, HostCallback, &context));
    EXPECT_EQ(1, device->CountCalls("ConnectDevice"));
    EXPECT_EQ(0, QVRX_IsDeviceConnected(mA, true, 500));
    EXPECT_EQ(0, QVRX_DisconnectDevice(mA));
    EXPECT_EQ(QVRX_RESULT_NOT_CONNECTED, QVRX_IsDeviceConnected(mA, true, 500));
    EXPECT_EQ(QVRX_RESULT_UNKNOWN_DEVICE, QVRX_IsDeviceConnected(mB, true, 500));
    EXPECT_EQ(QVRX_RESULT_UNKNOWN_DEVICE, QVRX_ConnectDevice(mB, HostCallback, &context));
    EXPECT_EQ(QVRX_RESULT_UNKNOWN_DEVICE, QVRX_ConnectDevice(KT::Variant(), HostCallback, &context));

    // After ReleaseAll every device call gives -2 until a search lists it.
    mSources->SetAttached({});
    EXPECT_EQ(0, QVRX_ReleaseAll());
    KT::Variant value;
    EXPECT_EQ(QVRX_RESULT_UNKNOWN_DEVICE, QVRX_IsDeviceConnected(mA, false, 0));
    EXPECT_EQ(QVRX_RESULT_UNKNOWN_DEVICE, QVRX_GetParamValue(mA, KT::ParamDescriptor(1), value));
    EXPECT_EQ(QVRX_RESULT_UNKNOWN_DEVICE, QVRX_DisconnectDevice(mA));
    EXPECT_EQ(QVRX_RESULT_UNKNOWN_DEVICE, QVRX_ConnectDevice(mA, HostCallback, &context));
}

} // namespace
