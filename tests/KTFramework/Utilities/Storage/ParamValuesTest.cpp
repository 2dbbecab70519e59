#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "KTFramework/Utilities/Storage/ParamValues.h"
#include "support/VariantProbes.h"

using namespace KT;
using KT::Testing::MakeFloat;
using KT::Testing::SerializeToBytes;
using Bytes = std::vector<unsigned char>;

namespace
{

Variant Entry(unsigned int paramID, const Variant& value)
{
    Variant entry;
    ParamValue::ToArrayVariant(paramID, Variant(), value, entry);
    return entry;
}

ParamValues ListOf(const std::vector<Variant>& entries)
{
    ParamValues list;
    list.SetArray(entries.data(), entries.size());
    return list;
}

} // namespace

TEST(ParamDescriptor, KeepsTheHostsLayout)
{
    ParamDescriptor descriptor(0xA1B2C3D4u);
    descriptor.AccessDescriptor() = 5;
    const unsigned char* raw = reinterpret_cast<const unsigned char*>(&descriptor);
    const unsigned char id[4] = {0xD4, 0xC3, 0xB2, 0xA1};
    EXPECT_EQ(0, std::memcmp(raw, id, 4));
    EXPECT_EQ(static_cast<const void*>(raw + 8), static_cast<const void*>(&descriptor.GetDescriptor()));
    EXPECT_EQ(0xA1B2C3D4u, descriptor.GetParamID());
    EXPECT_TRUE(descriptor.GetDescriptor() == Variant(5));
}

TEST(ParamValues, ANewListIsAnEmptyArray)
{
    ParamValues list;
    EXPECT_EQ(0, list.GetCount());
    const Bytes golden = {0x0C, 0, 0, 0, 1, 0, 0, 0, 0x10, 0, 0, 0};
    EXPECT_EQ(golden, SerializeToBytes(list));

    Variant value(3);
    unsigned int id = 1;
    Variant descriptor(8);
    EXPECT_EQ(-4, list.GetValue(0, value, id, descriptor));
    EXPECT_TRUE(value.IsEmpty());
    EXPECT_EQ(0xFFFFFFFFu, id);
    EXPECT_TRUE(descriptor == Variant(8));

    Variant notAList(5);
    ParamValues copy;
    static_cast<Variant&>(copy) = notAList;
    EXPECT_EQ(0, copy.GetCount());
    EXPECT_EQ(-4, copy.GetValue(0, value, id, descriptor));
}

TEST(ParamValues, SetOneWritesTheGoldenEntry)
{
    ParamValues list = ListOf({Entry(1, Variant(1)), Entry(2, Variant(2)), Entry(3, Variant(3))});
    EXPECT_EQ(3, list.GetCount());
    EXPECT_EQ(0, list.SetOne(ParamDescriptor(7), MakeFloat(0.5f)));
    EXPECT_EQ(1, list.GetCount());

    const Bytes golden = {
        0x44, 0, 0, 0, 1, 0, 0, 0, 0x10, 0, 0, 0,                // the list
        0x38, 0, 0, 0, 1, 0, 0, 0, 0x10, 0, 0, 0,                // its one entry
        0x10, 0, 0, 0, 1, 0, 0, 0, 0x08, 0, 0, 0, 0, 0, 0, 0x3F, // Float 0.5
        0x10, 0, 0, 0, 1, 0, 0, 0, 0x06, 0, 0, 0, 7, 0, 0, 0,    // parameter ID 7
        0x0C, 0, 0, 0, 1, 0, 0, 0, 0x00, 0, 0, 0,                // Empty descriptor
    };
    EXPECT_EQ(golden, SerializeToBytes(list));

    Variant value;
    unsigned int id = 0;
    Variant descriptor(9);
    EXPECT_EQ(0, list.GetValue(0, value, id, descriptor));
    EXPECT_TRUE(value == MakeFloat(0.5f));
    EXPECT_EQ(7u, id);
    EXPECT_TRUE(descriptor.IsEmpty());

    ParamValue out(0);
    EXPECT_EQ(0, list.GetParamValue(0, out));
    EXPECT_EQ(7u, out.GetParamDescriptor().GetParamID());
    EXPECT_TRUE(out.GetValue() == MakeFloat(0.5f));
}

TEST(ParamValues, ParameterIDsAboveSignedRangeRoundTrip)
{
    const unsigned int ids[] = {0u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu};
    for (unsigned int id : ids)
    {
        ParamDescriptor descriptor(id);
        descriptor.AccessDescriptor().Set("qualifier");
        ParamValues list;
        list.SetOne(descriptor, Variant(1));
        Variant entry;
        ASSERT_EQ(0, list.GetArrayElement(0, entry)) << id;
        Variant stored;
        ASSERT_EQ(0, entry.GetArrayElement(1, stored)) << id;
        EXPECT_EQ(Variant::TYPE_INT32, stored.GetType()) << id;
        EXPECT_EQ(static_cast<int32_t>(id), stored.GetInt32()) << id;

        Variant value;
        Variant back;
        unsigned int readID = 0;
        EXPECT_EQ(0, list.GetValue(0, value, readID, back)) << id;
        EXPECT_EQ(id, readID);
        EXPECT_STREQ("qualifier", back.GetCStr());
    }
    // 0xFFFFFFFE is stored as Int32 -2.
    ParamValues list;
    list.SetOne(ParamDescriptor(0xFFFFFFFEu), Variant());
    const Bytes record = SerializeToBytes(list);
    const unsigned char minusTwo[16] = {0x10, 0, 0, 0, 1, 0, 0, 0, 6, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(0, std::memcmp(record.data() + 24 + 12, minusTwo, 16));
}

TEST(ParamValues, MalformedEntriesFailWhileTheOthersStillRead)
{
    Variant pair[2] = {Variant(1), Variant(2)};
    Variant twoElements;
    twoElements.SetArray(pair, 2);
    // An entry of three elements whose first record is broken.
    Variant broken;
    const unsigned char payload[] = {0x0E, 0, 0,    0, 1, 0, 0, 0, 6, 0, 0, 0, 5, 0, //
                                     0x10, 0, 0,    0, 1, 0, 0, 0, 6, 0, 0, 0, 9, 0,
                                     0,    0, 0x0C, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    broken.Set(Variant::TYPE_ARRAY, payload, sizeof(payload));
    ASSERT_EQ(3u, broken.GetArrayLength());

    const ParamValues list =
        ListOf({Entry(10, Variant(100)), twoElements, Entry(12, Variant(120)), Variant(4), broken});
    EXPECT_EQ(5, list.GetCount());

    struct Row
    {
        unsigned int index;
        int result;
        unsigned int id;
        int value;
    };
    const Row rows[] = {
        {0, 0, 10, 100},         {1, -7, 0xFFFFFFFFu, 0}, {2, 0, 12, 120},
        {3, -7, 0xFFFFFFFFu, 0}, {4, -7, 0xFFFFFFFFu, 0}, {5, -4, 0xFFFFFFFFu, 0},
    };
    for (const Row& row : rows)
    {
        Variant value(55);
        unsigned int id = 0;
        Variant descriptor(66);
        EXPECT_EQ(row.result, list.GetValue(row.index, value, id, descriptor)) << "entry " << row.index;
        EXPECT_EQ(row.id, id) << "entry " << row.index;
        if (row.result == 0)
        {
            EXPECT_EQ(row.value, value.GetInt32()) << "entry " << row.index;
            EXPECT_TRUE(descriptor.IsEmpty()) << "entry " << row.index;
        }
        else
        {
            EXPECT_TRUE(value.IsEmpty()) << "entry " << row.index;
            EXPECT_TRUE(descriptor == Variant(66)) << "entry " << row.index;
        }
    }
}

TEST(ParamValues, TheListItselfMayReceiveItsValue)
{
    ParamValues list;
    list.SetOne(ParamDescriptor(3), Variant(33));
    unsigned int id = 0;
    Variant descriptor;
    EXPECT_EQ(0, list.GetValue(0, list, id, descriptor));
    EXPECT_EQ(3u, id);
    EXPECT_TRUE(list == Variant(33));

    list.SetOne(ParamDescriptor(4), list);
    EXPECT_EQ(1, list.GetCount());
    Variant value;
    EXPECT_EQ(0, list.GetValue(0, value, id, descriptor));
    EXPECT_EQ(33, value.GetInt32());
}
