#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "DeviceControl/CommonInc/DeviceIdentifier.h"
#include "KTFramework/Utilities/Storage/GUID.h"
#include "support/VariantProbes.h"

// Result codes that a test does not judge (set-up steps, and calls whose effect
// it checks another way) are cast to void.

using namespace KT;
using KT::Testing::MakeArray;
using KT::Testing::SerializeToBytes;
using Bytes = std::vector<unsigned char>;
using String = DeviceIdentifier::String;

namespace
{

Variant WordsVariant(const std::vector<int32_t>& words)
{
    std::vector<Variant> items;
    for (int32_t w : words)
    {
        items.emplace_back(static_cast<int>(w));
    }
    return MakeArray(items);
}

std::vector<int32_t> WordsOf(const Variant& id)
{
    std::vector<int32_t> words;
    Variant element;
    for (size_t i = 0; i < id.GetArrayLength(); ++i)
    {
        static_cast<void>(id.GetArrayElement(i, element));
        words.push_back(element.GetInt32());
    }
    return words;
}

std::string GuidText(const unsigned char (&guid)[16])
{
    return UUIDToSTLString(guid);
}

// The device-ID record of twelve Int32 zeros.
Bytes ZeroDeviceIDRecord()
{
    Bytes b = {0xCC, 0, 0, 0, 1, 0, 0, 0, 0x10, 0, 0, 0};
    const unsigned char zero[16] = {0x10, 0, 0, 0, 1, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 12; ++i)
    {
        b.insert(b.end(), zero, zero + 16);
    }
    return b;
}

} // namespace

TEST(DeviceIdentifier, DefaultIsTheAllZeroDeviceID)
{
    DeviceIdentifier id;
    EXPECT_TRUE(id.IsValid());
    EXPECT_FALSE(id.IsRemoteDevice());
    EXPECT_EQ(0u, id.GetVendorID());
    EXPECT_EQ(0u, id.GetCurrentNetworkAddress());
    EXPECT_STREQ("", id.GetUserDefinedName().CStr());
    const Bytes golden = ZeroDeviceIDRecord();
    ASSERT_EQ(204u, golden.size());
    EXPECT_EQ(golden, SerializeToBytes(id));

    // The identifier record: [device ID, user-defined name].
    const Variant name = []
    {
        Variant v;
        v.Set("");
        return v;
    }();
    const Variant* parts[2] = {&id, &name};
    Variant record;
    record.SetArray(parts, 2);
    Bytes identifierGolden = {0xE5, 0, 0, 0, 1, 0, 0, 0, 0x10, 0, 0, 0};
    identifierGolden.insert(identifierGolden.end(), golden.begin(), golden.end());
    identifierGolden.insert(identifierGolden.end(), {0x0D, 0, 0, 0, 1, 0, 0, 0, 0x0F, 0, 0, 0, 0});
    ASSERT_EQ(229u, identifierGolden.size());
    EXPECT_EQ(identifierGolden, SerializeToBytes(record));
}

TEST(DeviceIdentifier, VariantsThatAreNotDeviceIDsFallBackToZero)
{
    std::vector<int32_t> eleven(11, 3);
    std::vector<Variant> withString(12, Variant(3));
    withString[7].Set("x");
    Variant stringInside;
    stringInside.SetArray(withString.data(), withString.size());
    struct Row
    {
        const char* name;
        Variant source;
    };
    const Row rows[] = {
        {"11 Int32", WordsVariant(eleven)},
        {"12 with a String", stringInside},
        {"13 Int32", WordsVariant(std::vector<int32_t>(13, 3))},
        {"Int32 scalar", Variant(5)},
        {"Empty", Variant()},
    };
    const DeviceIdentifier zero;
    for (const Row& row : rows)
    {
        DeviceIdentifier id(row.source);
        EXPECT_TRUE(id.IsValid()) << row.name;
        EXPECT_TRUE(id.IsDeviceIDEqual(zero)) << row.name;
    }
    DeviceIdentifier kept(WordsVariant({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(5u, kept.GetVendorID());
    EXPECT_EQ(6u, kept.GetProductID());
    EXPECT_EQ(11ull, kept.GetInstanceLocationID());
    EXPECT_EQ(12, kept.GetInstanceIndex());
}

TEST(DeviceIdentifier, VendorAndProductFromAVidPidGuid)
{
    DeviceIdentifier vidPid(WordsVariant(
        {0x04030201, 0x1234, 0x5678, static_cast<int32_t>(0xADFBCADEu), 0x99, 0x98, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(0x1234u, vidPid.GetVendorID());
    EXPECT_EQ(0x5678u, vidPid.GetProductID());

    DeviceIdentifier plain(WordsVariant({0x04030201, 0x1234, 0x5678, 0, 0x99, 0x98, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(0x99u, plain.GetVendorID());
    EXPECT_EQ(0x98u, plain.GetProductID());

    const unsigned char guid[16] = {1, 2, 3, 4, 0x34, 0x12, 0, 0, 0x78, 0x56, 0, 0, 0xDE, 0xCA, 0xFB, 0xAD};
    plain.SetProductGuid(guid);
    EXPECT_EQ(0x1234u, plain.GetVendorID());
    EXPECT_EQ(0x5678u, plain.GetProductID());
    const std::vector<int32_t> words = WordsOf(plain);
    EXPECT_EQ(0, words[4]);
    EXPECT_EQ(0, words[5]);
    EXPECT_STREQ("010203043412000078560000DECAFBAD", plain.GetProductGuidString().CStr());

    plain.SetProductGuid(String("000102030405060708090A0B0C0D0E0F"));
    unsigned char back[16];
    plain.GetProductGuid(back);
    EXPECT_EQ("000102030405060708090A0B0C0D0E0F", GuidText(back));
    EXPECT_EQ(0x03020100, WordsOf(plain)[0]);
}

TEST(DeviceIdentifier, LocationDerivedInstanceGuidStaysInStep)
{
    DeviceIdentifier id;
    const unsigned char guid[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x01, 0x02};
    id.SetInstanceGuid(guid);
    EXPECT_EQ(0xA1B2C3D4E5F6ull, id.GetInstanceLocationID());
    EXPECT_EQ(0x0102, id.GetInstanceIndex());
    EXPECT_TRUE(id.IsRemoteDevice());
    EXPECT_STREQ("F6:E5:D4:C3:B2:A1", id.GetInstanceLocationIDString().CStr());
    EXPECT_STREQ("0102", id.GetInstanceIndexString().CStr());
    EXPECT_EQ(static_cast<int32_t>(0xC3D4E5F6u), WordsOf(id)[10]);
    EXPECT_EQ(static_cast<int32_t>(0xA1B20102u), WordsOf(id)[11]);

    id.SetInstanceIndex(7);
    EXPECT_STREQ("0000000000000000A1B2C3D4E5F60007", id.GetInstanceGuidString().CStr());
    EXPECT_EQ(7, id.GetInstanceIndex());
    EXPECT_EQ(0xA1B2C3D4E5F6ull, id.GetInstanceLocationID());

    id.SetInstanceLocationID(5);
    EXPECT_STREQ("00000000000000000000000000050007", id.GetInstanceGuidString().CStr());
    EXPECT_EQ(5ull, id.GetInstanceLocationID());
    EXPECT_EQ(7, id.GetInstanceIndex());

    // Bits above 48 are not part of a location.
    id.SetInstanceLocationID(0xFFFF000000000009ull);
    EXPECT_EQ(9ull, id.GetInstanceLocationID());
    EXPECT_STREQ("00000000000000000000000000090007", id.GetInstanceGuidString().CStr());

    // With a location already set, a location-derived GUID changes only itself.
    const unsigned char other[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x42, 0, 0x01};
    id.SetInstanceGuid(other);
    EXPECT_EQ(9ull, id.GetInstanceLocationID());
    EXPECT_EQ(7, id.GetInstanceIndex());
    EXPECT_STREQ("00000000000000000000000000420001", id.GetInstanceGuidString().CStr());
}

TEST(DeviceIdentifier, AnUnrelatedInstanceGuidIsLeftAlone)
{
    DeviceIdentifier id;
    id.SetInstanceLocationID(0x10);
    id.SetInstanceIndex(2);
    const char* text = "FF000000000000000000000000100002";
    id.SetInstanceGuid(String(text));
    id.SetInstanceLocationID(0x20);
    id.SetInstanceIndex(3);
    EXPECT_STREQ(text, id.GetInstanceGuidString().CStr());
    EXPECT_EQ(0x20ull, id.GetInstanceLocationID());
    EXPECT_EQ(3, id.GetInstanceIndex());
}

TEST(DeviceIdentifier, CopiesCompareEqualWithEveryField)
{
    DeviceIdentifier id;
    id.SetInstanceLocationID(0x0102030405ull);
    id.SetUserDefinedName(String("studio"));
    id.SetVendorName(String("vendor"));
    id.SetProductName(String("product"));
    id.SetCurrentNetworkAddress(0x0A000001);
    id.SetCurrentNetworkPort(51000);

    DeviceIdentifier copy(id);
    EXPECT_TRUE(copy == id);
    EXPECT_STREQ("vendor", copy.GetVendorName().CStr());
    EXPECT_STREQ("product", copy.GetProductName().CStr());

    DeviceIdentifier assigned;
    assigned = id;
    EXPECT_TRUE(assigned == id);
    const DeviceIdentifier& self = assigned; // through a reference, as aliased callers do
    assigned = self;
    EXPECT_TRUE(assigned == id);

    DeviceIdentifier renamed(id);
    renamed.SetVendorName(String("other"));
    EXPECT_TRUE(renamed != id);
    EXPECT_TRUE(renamed.IsDeviceIDEqual(id));
    DeviceIdentifier moved(id);
    moved.SetCurrentNetworkPort(51001);
    EXPECT_FALSE(moved == id);
}

TEST(DeviceIdentifier, HexStringForms)
{
    const DeviceIdentifier id;
    struct MakeRow
    {
        unsigned long long value;
        size_t count;
        bool separated;
        const char* text;
    };
    const MakeRow makes[] = {
        {0x0A0B, 2, true, "0B:0A"},
        {0x0A0B, 2, false, "0A0B"},
        {0x1122334455667788ull, 12, false, "1122334455667788"},
        {0x1122334455667788ull, 12, true, "88:77:66:55:44:33:22:11"},
        {0xABCD, 0, true, ""},
        {0xABCD, 1, false, "CD"},
    };
    for (const MakeRow& row : makes)
    {
        EXPECT_STREQ(row.text, id.MakeHexString(row.value, row.count, row.separated).CStr()) << row.text;
    }

    struct ParseRow
    {
        const char* text;
        bool separated;
        unsigned long long value;
    };
    const ParseRow parses[] = {
        {"0A0B", false, 0x0A0B},
        {"F6:E5:D4:C3:B2:A1", true, 0xF6E5D4C3B2A1ull},
        {"", false, 0},
        {"A", false, 0},
        {"ABC", false, 0xBC},
        {"zz", false, 0},
        {"ab", true, 0xAB},
        {"0102030405060708090A", false, 0x030405060708090Aull},
        {"01:02:03:04:05:06:07:08:09:0A", true, 0x030405060708090Aull},
    };
    for (const ParseRow& row : parses)
    {
        EXPECT_EQ(row.value, id.ParseHexString(String(row.text), 6, row.separated)) << row.text;
    }
}
