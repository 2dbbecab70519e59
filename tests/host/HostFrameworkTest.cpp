// The framework as a host reaches it: this executable links libvelquin.so and
// compiles nothing of the framework's sources, so every member it calls that
// is not inline must be exported by the library, and exceptions thrown inside
// the library must be caught here by their types.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "DeviceControl/CommonInc/DeviceIdentifier.h"
#include "KTFramework/Defs/Exceptions/KTException.h"
#include "KTFramework/Utilities/Storage/ParamValues.h"
#include "KTFramework/Utilities/Storage/Variant.h"
#include "KTFramework/Utilities/Threading/Event.h"
#include "KTFramework/Utilities/Threading/EventData.h"

namespace
{

using String = KT::DeviceIdentifier::String;

TEST(Host, ParamValuesCarryADeviceIdentifierThroughTheRecord)
{
    KT::DeviceIdentifier device;
    device.SetProductGuid(String("010203040000123400005678DECAFBAD"));
    device.SetInstanceGuid(String("00000000000000000000A1B2C3D4E5F6"));
    device.SetInstanceIndex(7);
    ASSERT_TRUE(device.IsValid());

    KT::ParamValues values;
    ASSERT_EQ(0, values.SetOne(KT::ParamDescriptor(42), device));
    const uint32_t size = KT::Variant::GetSerializedSize(values);
    std::vector<unsigned char> record(size);
    ASSERT_EQ(static_cast<int>(size), KT::Variant::Serialize(values, record.data(), record.size()));
    // Record version 1, an Array at the top.
    const std::vector<unsigned char> header = {1, 0, 0, 0, 0x10, 0, 0, 0};
    EXPECT_EQ(header, std::vector<unsigned char>(record.begin() + 4, record.begin() + 12));

    KT::ParamValues back;
    ASSERT_EQ(0, KT::Variant::Deserialize(back, record.data(), record.size()));
    ASSERT_EQ(1, back.GetCount());
    KT::Variant value;
    KT::Variant descriptor;
    unsigned int paramID = 0;
    ASSERT_EQ(0, back.GetValue(0, value, paramID, descriptor));
    EXPECT_EQ(42u, paramID);

    const KT::DeviceIdentifier read(value);
    EXPECT_TRUE(read.IsDeviceIDEqual(device));
    EXPECT_STREQ("010203040000123400005678DECAFBAD", read.GetProductGuidString().CStr());
    EXPECT_STREQ("00000000000000000000A1B2C3D40007", read.GetInstanceGuidString().CStr());
    EXPECT_EQ(7, read.GetInstanceIndex());
    EXPECT_EQ(device.GetVendorID(), read.GetVendorID());
    EXPECT_EQ(device.GetProductID(), read.GetProductID());
}

TEST(Host, ExceptionsFromTheLibraryKeepTheirTypes)
{
    const KT::RCPtr<KT::LEventData> data = KT::LEventData::Create();
    try
    {
        KT::Event event(data, 64);
        FAIL() << "bit 64 of a 64-bit word was accepted";
    }
    catch (const KT::Exception<std::out_of_range>& error)
    {
        EXPECT_STREQ("Out of Range :  : Device/KTFramework/Utilities/Threading/Event : Line 15",
                     error.What());
    }
}

} // namespace
