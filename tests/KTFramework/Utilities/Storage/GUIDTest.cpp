#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "KTFramework/Utilities/Storage/Array.h"
#include "KTFramework/Utilities/Storage/GUID.h"

// Result codes that a test does not judge (set-up steps, and calls whose effect
// it checks another way) are cast to void.

using namespace KT;
using String = StringT<char, unsigned short>;

TEST(GUID, TextFormBothWays)
{
    unsigned char bytes[16];
    for (int i = 0; i < 16; ++i)
    {
        bytes[i] = static_cast<unsigned char>(i);
    }
    EXPECT_EQ("000102030405060708090A0B0C0D0E0F", UUIDToSTLString(bytes));
    const unsigned char high[16] = {0xAB, 0xCD, 0xEF, 0xFF, 0x10, 0x9A};
    EXPECT_EQ("ABCDEFFF109A00000000000000000000", UUIDToSTLString(high));

    struct Row
    {
        const char* name;
        const char* text;
        unsigned char bytes[16];
    };
    const Row rows[] = {
        {"digits",
         "000102030405060708090A0B0C0D0E0F",
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
        {"lower case",
         "abcdef0000000000000000000000000f",
         {0xAB, 0xCD, 0xEF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0F}},
        {"upper case",
         "ABCDEF0000000000000000000000000F",
         {0xAB, 0xCD, 0xEF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0F}},
        {"short", "1234", {0x12, 0x34}},
        {"empty", "", {}},
        {"not digits", "zz1g", {0x00, 0x10}},
        {"longer",
         "0102030405060708090A0B0C0D0E0F10FFFF",
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
        // Dashes count as 0 and shift the digits after them.
        {"dashed",
         "12345678-9ABC-DEF0-1234-56789ABCDEF0",
         {0x12, 0x34, 0x56, 0x78, 0x09, 0xAB, 0xC0, 0xDE, 0xF0, 0x01, 0x23, 0x40, 0x56, 0x78, 0x9A, 0xBC}},
    };
    for (const Row& row : rows)
    {
        unsigned char out[16];
        std::memset(out, 0xEE, sizeof(out));
        UUIDFromHexString(String(row.text), out);
        EXPECT_EQ(0, std::memcmp(row.bytes, out, 16)) << row.name << ": " << UUIDToSTLString(out);
    }
}

TEST(GUID, EqualityOfTheSixteenBytes)
{
    const unsigned char bytes[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const unsigned char zeros[16] = {};
    GUIDComparable a(bytes);
    GUIDComparable b(bytes);
    EXPECT_TRUE(a == b);
    EXPECT_TRUE(a == bytes);
    EXPECT_FALSE(a == zeros);
    EXPECT_TRUE(GUIDComparable() == zeros);
    EXPECT_EQ(0, std::memcmp(static_cast<const unsigned char(&)[16]>(a), bytes, 16));

    GUID g1;
    GUID g2;
    std::memcpy(static_cast<unsigned char(&)[16]>(g1), bytes, 16);
    std::memcpy(static_cast<unsigned char(&)[16]>(g2), bytes, 16);
    EXPECT_TRUE(IsEqualGUID(g1, g2));
    static_cast<unsigned char(&)[16]>(g2)[15] = 0;
    EXPECT_FALSE(IsEqualGUID(g1, g2));

    Array<GUIDComparable> list;
    static_cast<void>(list.AppendItem(GUIDComparable()));
    static_cast<void>(list.AppendItem(a));
    EXPECT_EQ(1u, list.GetIndexOf(GUIDComparable(bytes)));
}
