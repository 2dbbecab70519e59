#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "KTFramework/Defs/Result.h"
#include "KTFramework/Utilities/Storage/Variant.h"
#include "support/VariantProbes.h"

// Result codes that a test does not judge (set-up steps, and calls whose effect
// it checks another way) are cast to void.

using namespace KT;
using KT::Testing::CountingVariant;
using KT::Testing::MakeArray;
using KT::Testing::MakeDouble;
using KT::Testing::MakeFloat;
using KT::Testing::MakeScalar;
using KT::Testing::MakeText;
using KT::Testing::RawVariant;

namespace
{

// Index of a virtual operation in the dispatch table, from the member-pointer
// form of the x86-64 C++ ABI (1 + byte offset of the slot).
template <class F>
long SlotOf(F member)
{
    struct Representation
    {
        uintptr_t ptr;
        ptrdiff_t adj;
    };
    static_assert(sizeof(F) == sizeof(Representation));
    Representation r;
    std::memcpy(&r, &member, sizeof(r));
    if ((r.ptr & 1) == 0)
    {
        return -1;
    }
    return static_cast<long>((r.ptr - 1) / sizeof(void*));
}

} // namespace

TEST(Variant, KeepsTheHostsLayout)
{
    Variant v(0x11223344);
    const unsigned char* raw = reinterpret_cast<const unsigned char*>(&v);
    const unsigned char slot[8] = {0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(raw + 8, slot, 8));
    uint64_t size;
    uint32_t kind;
    std::memcpy(&size, raw + 16, 8);
    std::memcpy(&kind, raw + 24, 4);
    EXPECT_EQ(0u, size);
    EXPECT_EQ(6u, kind);

    Variant text = MakeText("abc");
    raw = reinterpret_cast<const unsigned char*>(&text);
    const char* data;
    std::memcpy(&data, raw + 8, sizeof(data));
    std::memcpy(&size, raw + 16, 8);
    std::memcpy(&kind, raw + 24, 4);
    EXPECT_EQ(text.GetCStr(), data);
    EXPECT_EQ(4u, size);
    EXPECT_EQ(15u, kind);
}

TEST(Variant, KeepsTheHostsDispatchOrder)
{
    struct Row
    {
        const char* name;
        long slot;
        long expected;
    };
    const Row rows[] = {
        {"GetBool", SlotOf(&Variant::GetBool), 2},
        {"GetInt8", SlotOf(&Variant::GetInt8), 3},
        {"GetInt16", SlotOf(&Variant::GetInt16), 4},
        {"GetInt32", SlotOf(&Variant::GetInt32), 5},
        {"GetInt64", SlotOf(&Variant::GetInt64), 6},
        {"GetUInt8", SlotOf(&Variant::GetUInt8), 7},
        {"GetUInt16", SlotOf(&Variant::GetUInt16), 8},
        {"GetUInt32", SlotOf(&Variant::GetUInt32), 9},
        {"GetUInt64", SlotOf(&Variant::GetUInt64), 10},
        {"GetFloat", SlotOf(&Variant::GetFloat), 11},
        {"GetDouble", SlotOf(&Variant::GetDouble), 12},
        {"GetConstPointer", SlotOf(&Variant::GetConstPointer), 13},
        {"GetPointer", SlotOf(&Variant::GetPointer), 14},
        {"GetCStr", SlotOf(&Variant::GetCStr), 15},
        {"AllocBuffer", SlotOf(&Variant::AllocBuffer), 16},
        {"FreeBuffer", SlotOf(&Variant::FreeBuffer), 17},
    };
    for (const Row& row : rows)
    {
        EXPECT_EQ(row.expected, row.slot) << row.name;
    }
}

TEST(Variant, GettersFollowTheConversionTable)
{
    const unsigned char bytes[3] = {0x01, 0x02, 0x03};
    Variant buffer;
    buffer.Set(Variant::TYPE_POINTER, bytes, sizeof(bytes));
    const float almostHalf = 0.49999997f;
    const double nan = std::numeric_limits<double>::quiet_NaN();

    struct Row
    {
        const char* name;
        Variant value;
        int8_t i8;
        int16_t i16;
        int32_t i32;
        int64_t i64;
        uint8_t u8;
        uint16_t u16;
        uint32_t u32;
        uint64_t u64;
        double real; // GetDouble; GetFloat is compared with its narrowing
        bool flag;
    };
    const Row rows[] = {
        {"Empty", Variant(), 0, 0, 0, 0, 0, 0, 0, 0, 0.0, false},
        {"Bool from 2", MakeScalar(Variant::TYPE_BOOL, 2, 1), 1, 2, 2, 2, 1, 2, 2, 2, 2.0, true},
        {"Bool 0", MakeScalar(Variant::TYPE_BOOL, 0, 1), 0, 0, 0, 0, 0, 0, 0, 0, 0.0, false},
        {"Int8 -1", MakeScalar(Variant::TYPE_INT8, 0xFF, 1), -1, -1, -1, -1, 255, 255, 0xFFFFFFFFu, ~0ull,
         -1.0, true},
        {"UInt8 200", MakeScalar(Variant::TYPE_UINT8, 200, 1), -56, 200, 200, 200, 200, 200, 200, 200, 200.0,
         true},
        {"Int16 -2", MakeScalar(Variant::TYPE_INT16, 0xFFFE, 2), -2, -2, -2, -2, 0xFE, 0xFFFE, 0xFFFFFFFEu,
         ~1ull, -2.0, true},
        {"UInt16 FFFF", MakeScalar(Variant::TYPE_UINT16, 0xFFFF, 2), -1, -1, 65535, 65535, 255, 65535, 65535,
         65535, 65535.0, true},
        {"Int32 -3", Variant(-3), -3, -3, -3, -3, 253, 0xFFFD, 0xFFFFFFFDu, ~2ull, -3.0, true},
        {"UInt32 80000000", MakeScalar(Variant::TYPE_UINT32, 0x80000000u, 4), 0, 0,
         std::numeric_limits<int32_t>::min(), 0x80000000ll, 0, 0, 0x80000000u, 0x80000000ull, 2147483648.0,
         true},
        {"Int64 -5", MakeScalar(Variant::TYPE_INT64, static_cast<uint64_t>(-5ll), 8), -5, -5, -5, -5, 251,
         0xFFFB, 0xFFFFFFFBu, ~4ull, -5.0, true},
        {"UInt64 100000005", MakeScalar(Variant::TYPE_UINT64, 0x100000005ull, 8), 5, 5, 5, 0x100000005ll, 5,
         5, 5, 0x100000005ull, 4294967301.0, true},
        {"UInt64 max", MakeScalar(Variant::TYPE_UINT64, ~0ull, 8), -1, -1, -1, -1, 255, 0xFFFF, 0xFFFFFFFFu,
         ~0ull, 18446744073709551615.0, true},
        {"Float 2.5", MakeFloat(2.5f), 3, 3, 3, 3, 3, 3, 3, 3, 2.5, true},
        {"Float -2.5", MakeFloat(-2.5f), -3, -3, -3, -3, 253, 0xFFFD, 0xFFFFFFFDu, ~2ull, -2.5, true},
        // Rounded in double precision below 64 bits, in single precision at 64.
        {"Float 0.49999997", MakeFloat(almostHalf), 0, 0, 0, 1, 0, 0, 0, 1, static_cast<double>(almostHalf),
         true},
        {"Double -0.4", MakeDouble(-0.4), 0, 0, 0, 0, 0, 0, 0, 0, -0.4, true},
        {"Double 300", MakeDouble(300.0), 44, 300, 300, 300, 44, 300, 300, 300, 300.0, true},
        {"Double NaN", MakeDouble(nan), 0, 0, 0, 0, 0, 0, 0, 0, nan, true},
        {"Double 3e9", MakeDouble(3e9), -1, -1, std::numeric_limits<int32_t>::max(), 3000000000ll, 255,
         0xFFFF, 3000000000u, 3000000000ull, 3e9, true},
        {"Double 1e20", MakeDouble(1e20), -1, -1, std::numeric_limits<int32_t>::max(),
         std::numeric_limits<int64_t>::max(), 255, 0xFFFF, 0xFFFFFFFFu, ~0ull, 1e20, true},
        {"Double -1e20", MakeDouble(-1e20), 0, 0, std::numeric_limits<int32_t>::min(),
         std::numeric_limits<int64_t>::min(), 0, 0, 0, 0x8000000000000000ull, -1e20, true},
        {"Buffer 01 02 03", buffer, 1, 0x0201, 0x030201, 0x030201, 1, 0x0201, 0x030201, 0x030201, 197121.0,
         true},
        {"Empty Buffer", MakeScalar(Variant::TYPE_EMPTY, 0, 0), 0, 0, 0, 0, 0, 0, 0, 0, 0.0, false},
        {"String abc", MakeText("abc"), 3, 3, 3, 3, 3, 3, 3, 3, 3.0, true},
        {"String empty", MakeText(""), 0, 0, 0, 0, 0, 0, 0, 0, 0.0, false},
        {"Array [1, 2]", MakeArray({Variant(1), Variant(2)}), 0, 0, 0, 0, 0, 0, 0, 0, 0.0, true},
        {"Array []", MakeArray({}), 0, 0, 0, 0, 0, 0, 0, 0, 0.0, false},
    };
    for (const Row& row : rows)
    {
        const Variant& v = row.value;
        EXPECT_EQ(row.i8, v.GetInt8()) << row.name;
        EXPECT_EQ(row.i16, v.GetInt16()) << row.name;
        EXPECT_EQ(row.i32, v.GetInt32()) << row.name;
        EXPECT_EQ(row.i64, v.GetInt64()) << row.name;
        EXPECT_EQ(row.u8, v.GetUInt8()) << row.name;
        EXPECT_EQ(row.u16, v.GetUInt16()) << row.name;
        EXPECT_EQ(row.u32, v.GetUInt32()) << row.name;
        EXPECT_EQ(row.u64, v.GetUInt64()) << row.name;
        if (std::isnan(row.real))
        {
            EXPECT_TRUE(std::isnan(v.GetDouble())) << row.name;
            EXPECT_TRUE(std::isnan(v.GetFloat())) << row.name;
        }
        else
        {
            EXPECT_EQ(row.real, v.GetDouble()) << row.name;
            EXPECT_EQ(static_cast<float>(row.real), v.GetFloat()) << row.name;
        }
        EXPECT_EQ(row.flag, v.GetBool()) << row.name;
    }
}

TEST(Variant, GettersOfDataReadNoFurtherThanTheData)
{
    // Exactly-sized heap blocks, so a read past them is caught by ASan.
    std::unique_ptr<unsigned char[]> two(new unsigned char[2]{0x34, 0x12});
    RawVariant pointer;
    pointer.MakeUnowned(Variant::TYPE_CONST_POINTER, two.get(), 2);
    EXPECT_EQ(0x1234, pointer.GetInt64());
    EXPECT_EQ(0x1234u, pointer.GetUInt32());
    EXPECT_EQ(0x34, pointer.GetInt8());
    EXPECT_EQ(4660.0, pointer.GetDouble());
    EXPECT_TRUE(pointer.GetBool());

    RawVariant null;
    null.MakeUnowned(Variant::TYPE_POINTER, nullptr, 0);
    EXPECT_EQ(0, null.GetInt64());
    EXPECT_FALSE(null.GetBool());

    Variant one;
    const unsigned char byte = 0x80;
    one.SetBuffer(&byte, 1);
    EXPECT_EQ(0x80, one.GetInt32());
    EXPECT_EQ(-128, one.GetInt8());
}

TEST(Variant, PointerAccessByKind)
{
    Variant scalar = MakeScalar(Variant::TYPE_INT16, 7, 2);
    size_t size = 99;
    EXPECT_NE(nullptr, scalar.GetConstPointer(size));
    EXPECT_EQ(2u, size);
    EXPECT_EQ(nullptr, scalar.GetCStr());

    Variant array = MakeArray({Variant(1)});
    EXPECT_EQ(nullptr, array.GetPointer(size));
    EXPECT_EQ(0u, size);
    EXPECT_NE(nullptr, array.GetConstPointer(size));
    EXPECT_EQ(16u, size);

    unsigned char bytes[4] = {1, 2, 3, 4};
    RawVariant constant;
    constant.MakeUnowned(Variant::TYPE_CONST_POINTER, bytes, 4);
    EXPECT_EQ(nullptr, constant.GetPointer(size));
    EXPECT_EQ(bytes, constant.GetConstPointer(size));
    EXPECT_EQ(4u, size);

    Variant empty;
    EXPECT_EQ(nullptr, empty.GetConstPointer(size));
    EXPECT_EQ(0u, size);

    Variant text = MakeText("abc");
    EXPECT_STREQ("abc", text.GetCStr());
    EXPECT_EQ(text.GetCStr(), text.GetPointer(size));
    EXPECT_EQ(4u, size);
}

TEST(Variant, IsNegativeOnlyForSignedKindsAndFloats)
{
    struct Row
    {
        const char* name;
        Variant value;
        bool negative;
    };
    const Row rows[] = {
        {"Int8 -1", MakeScalar(Variant::TYPE_INT8, 0xFF, 1), true},
        {"UInt8 FF", MakeScalar(Variant::TYPE_UINT8, 0xFF, 1), false},
        {"Bool FF", MakeScalar(Variant::TYPE_BOOL, 0xFF, 1), false},
        {"Int16 -1", MakeScalar(Variant::TYPE_INT16, 0xFFFF, 2), true},
        {"Int32 -1", Variant(-1), true},
        {"UInt32 FFFFFFFF", MakeScalar(Variant::TYPE_UINT32, 0xFFFFFFFFu, 4), false},
        {"Int64 -1", MakeScalar(Variant::TYPE_INT64, ~0ull, 8), true},
        {"UInt64 max", MakeScalar(Variant::TYPE_UINT64, ~0ull, 8), false},
        {"Float -0.5", MakeFloat(-0.5f), true},
        {"Double -0.0", MakeDouble(-0.0), false},
        {"Double -1", MakeDouble(-1.0), true},
        {"String", MakeText("-1"), false},
    };
    for (const Row& row : rows)
    {
        EXPECT_EQ(row.negative, row.value.IsNegative()) << row.name;
    }
}

TEST(Variant, SetRefusesWrongWidthsAndCopiesPointers)
{
    const unsigned char bytes[4] = {1, 2, 3, 4};
    Variant v(5);
    EXPECT_EQ(Variant::TYPE_EMPTY, v.Set(Variant::TYPE_INT32, bytes, 2));
    EXPECT_TRUE(v.IsEmpty());
    EXPECT_EQ(Variant::TYPE_INT16, v.Set(Variant::TYPE_INT16, bytes, 2));
    EXPECT_EQ(0x0201, v.GetInt16());
    EXPECT_EQ(Variant::TYPE_EMPTY, v.Set(Variant::TYPE_INT32, nullptr, 4));

    EXPECT_EQ(Variant::TYPE_BUFFER, v.Set(Variant::TYPE_POINTER, bytes, 3));
    size_t size = 0;
    const void* data = v.GetConstPointer(size);
    EXPECT_EQ(3u, size);
    EXPECT_NE(static_cast<const void*>(bytes), data);
    EXPECT_EQ(0, std::memcmp(bytes, data, 3));
    EXPECT_EQ(Variant::TYPE_BUFFER, v.Set(Variant::TYPE_CONST_POINTER, bytes, 1));

    // The size of a String is not consulted.
    EXPECT_EQ(Variant::TYPE_STRING, v.Set(Variant::TYPE_STRING, "ab", 1));
    v.GetConstPointer(size);
    EXPECT_EQ(3u, size);
    EXPECT_STREQ("ab", v.GetCStr());

    EXPECT_EQ(Variant::TYPE_EMPTY, v.Set(static_cast<Variant::Type>(17), bytes, 4));
    EXPECT_TRUE(v.IsEmpty());
    EXPECT_EQ(Variant::TYPE_STRING, v.Set(static_cast<const char*>(nullptr)));
    EXPECT_STREQ("", v.GetCStr());

    EXPECT_EQ(Variant::TYPE_BUFFER, v.SetBuffer(nullptr, 0));
    EXPECT_EQ(nullptr, v.GetConstPointer(size));
    EXPECT_EQ(0u, size);
}

TEST(Variant, CopiesAreDeep)
{
    const unsigned char bytes[3] = {9, 8, 7};
    Variant source;
    source.SetBuffer(bytes, 3);
    Variant copy(source);
    EXPECT_TRUE(copy == source);
    size_t size;
    EXPECT_NE(source.GetConstPointer(size), copy.GetConstPointer(size));
    copy.Clear();
    EXPECT_EQ(7, static_cast<const unsigned char*>(source.GetConstPointer(size))[2]);

    Variant assigned;
    assigned = source;
    EXPECT_TRUE(assigned == source);
    assigned = 12;
    EXPECT_EQ(Variant::TYPE_INT32, assigned.GetType());
    EXPECT_EQ(12, assigned.GetInt32());

    Variant emptyBuffer;
    emptyBuffer.SetBuffer(nullptr, 0);
    Variant emptyCopy(emptyBuffer);
    EXPECT_EQ(Variant::TYPE_BUFFER, emptyCopy.GetType());
    EXPECT_EQ(nullptr, emptyCopy.GetConstPointer(size));
}

TEST(Variant, OwnedBytesGoThroughTheVariantsOwnAllocation)
{
    CountingVariant::Stats stats;
    {
        CountingVariant v(&stats);
        v.Set("text");
        EXPECT_EQ(1, stats.allocations);
        EXPECT_EQ(5u, stats.lastSize);
        const unsigned char bytes[2] = {1, 2};
        v.SetBuffer(bytes, 2);
        EXPECT_EQ(2, stats.allocations);
        EXPECT_EQ(1, stats.frees);

        Variant source = MakeText("copy");
        v.Set(source);
        EXPECT_EQ(3, stats.allocations);

        const Variant items[2] = {Variant(1), Variant(2)};
        v.SetArray(items, 2);
        EXPECT_EQ(4, stats.allocations);
        EXPECT_EQ(32u, stats.lastSize);

        const unsigned char record[] = {0x0F, 0, 0, 0, 1, 0, 0, 0, 0x0F, 0, 0, 0, 'a', 'b', 0};
        EXPECT_EQ(0, Variant::Deserialize(v, record, sizeof(record)));
        EXPECT_EQ(5, stats.allocations);
        EXPECT_STREQ("ab", v.GetCStr());

        CountingVariant copy(v);
        EXPECT_EQ(6, stats.allocations);
        EXPECT_TRUE(copy == v);

        CountingVariant array(&stats);
        array.SetArray(items, 2);
        EXPECT_EQ(0, array.GetArrayElement(1, array));
        EXPECT_EQ(2, array.GetInt32());
    }
    EXPECT_EQ(stats.allocations, stats.frees);
    EXPECT_TRUE(stats.foreignFrees == 0);
}

TEST(Variant, AllocationThatGivesNothingLeavesItEmpty)
{
    CountingVariant::Stats stats;
    CountingVariant v(&stats);
    stats.refuse = true;
    const unsigned char bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(Variant::TYPE_EMPTY, v.SetBuffer(bytes, 4));
    EXPECT_TRUE(v.IsEmpty());
    EXPECT_EQ(Variant::TYPE_EMPTY, v.Set("text"));
    EXPECT_TRUE(v.IsEmpty());
    EXPECT_EQ(Variant::TYPE_EMPTY, v.Set(Variant::TYPE_ARRAY, bytes, 4));
    EXPECT_TRUE(v.IsEmpty());
    EXPECT_EQ(Variant::TYPE_EMPTY, v.Set(MakeText("copy")));
    EXPECT_TRUE(v.IsEmpty());
    const Variant items[1] = {Variant(1)};
    EXPECT_EQ(Variant::TYPE_EMPTY, v.SetArray(items, 1));
    EXPECT_TRUE(v.IsEmpty());
    const unsigned char record[] = {0x0F, 0, 0, 0, 1, 0, 0, 0, 0x0F, 0, 0, 0, 'a', 'b', 0};
    EXPECT_EQ(RESULT_FAILED, Variant::Deserialize(v, record, sizeof(record)));
    EXPECT_TRUE(v.IsEmpty());
    // Scalars never allocate.
    EXPECT_EQ(Variant::TYPE_INT32, v.Set(3));
    EXPECT_EQ(0, stats.frees);
}

TEST(Variant, SelfAndAliasedSourcesAreReadBeforeTheyAreFreed)
{
    Variant v = MakeText("hello");
    const Variant& self = v; // through a reference, as aliased callers do
    v = self;
    EXPECT_STREQ("hello", v.GetCStr());

    size_t size = 0;
    const void* own = v.GetConstPointer(size);
    EXPECT_EQ(Variant::TYPE_BUFFER, v.Set(Variant::TYPE_BUFFER, static_cast<const char*>(own) + 1, 3));
    EXPECT_EQ(0, std::memcmp("ell", v.GetConstPointer(size), 3));

    v.Set("world");
    EXPECT_EQ(Variant::TYPE_STRING, v.Set(v.GetCStr() + 2));
    EXPECT_STREQ("rld", v.GetCStr());

    v.Set(Variant::TYPE_INT32, "\x05\x00\x00\x00", 4);
    EXPECT_EQ(Variant::TYPE_INT32, v.Set(Variant::TYPE_INT32, v.GetConstPointer(size), 4));
    EXPECT_EQ(5, v.GetInt32());

    Variant text = MakeText("x");
    EXPECT_EQ(Variant::TYPE_ARRAY, text.SetArray(&text, 1));
    EXPECT_EQ(1u, text.GetArrayLength());
    Variant element;
    EXPECT_EQ(0, text.GetArrayElement(0, element));
    EXPECT_STREQ("x", element.GetCStr());

    Variant nested = MakeArray({MakeText("a"), Variant(4)});
    EXPECT_EQ(0, nested.GetArrayElement(1, nested));
    EXPECT_EQ(Variant::TYPE_INT32, nested.GetType());
    EXPECT_EQ(4, nested.GetInt32());

    // A record that lies inside the target's own bytes.
    Variant holder;
    unsigned char record[16];
    static_cast<void>(Variant::Serialize(Variant(9), record, sizeof(record)));
    holder.SetBuffer(record, sizeof(record));
    EXPECT_EQ(
        0, Variant::Deserialize(holder, static_cast<const unsigned char*>(holder.GetConstPointer(size)), 16));
    EXPECT_EQ(9, holder.GetInt32());
}

TEST(Variant, EqualityByKindAndContent)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    unsigned char bytes[2] = {1, 2};
    RawVariant p1;
    RawVariant p2;
    RawVariant p3;
    p1.MakeUnowned(Variant::TYPE_POINTER, bytes, 2);
    p2.MakeUnowned(Variant::TYPE_POINTER, bytes, 2);
    p3.MakeUnowned(Variant::TYPE_POINTER, bytes, 1);
    Variant emptyBufferA;
    Variant emptyBufferB;
    emptyBufferA.SetBuffer(nullptr, 0);
    emptyBufferB.SetBuffer(nullptr, 0);

    struct Row
    {
        const char* name;
        const Variant& left;
        const Variant& right;
        bool equal;
    };
    const Variant int32One(1);
    const Variant uint32One = MakeScalar(Variant::TYPE_UINT32, 1, 4);
    const Variant nanValue = MakeDouble(nan);
    const Variant zero = MakeDouble(0.0);
    const Variant negativeZero = MakeDouble(-0.0);
    const Variant ab = MakeText("ab");
    const Variant ab2 = MakeText("ab");
    const Variant ac = MakeText("ac");
    const Variant a12 = MakeArray({Variant(1), Variant(2)});
    const Variant a12b = MakeArray({Variant(1), Variant(2)});
    const Variant a13 = MakeArray({Variant(1), Variant(3)});
    const Variant empty;
    const Row rows[] = {
        {"Empty, Empty", empty, empty, true},
        {"Int32 1, UInt32 1", int32One, uint32One, false},
        {"Int32 1, Int32 1", int32One, Variant(1), true},
        {"NaN, NaN", nanValue, nanValue, false},
        {"0.0, -0.0", zero, negativeZero, true},
        {"ab, ab", ab, ab2, true},
        {"ab, ac", ab, ac, false},
        {"[1,2], [1,2]", a12, a12b, true},
        {"[1,2], [1,3]", a12, a13, false},
        {"Pointer same", p1, p2, true},
        {"Pointer other size", p1, p3, false},
        {"empty Buffers", emptyBufferA, emptyBufferB, true},
    };
    for (const Row& row : rows)
    {
        EXPECT_EQ(row.equal, row.left == row.right) << row.name;
        EXPECT_EQ(!row.equal, row.left != row.right) << row.name;
    }
}

TEST(Variant, OrderAcrossAndWithinKinds)
{
    struct Row
    {
        const char* name;
        Variant left;
        Variant right;
        bool less;
    };
    const Row rows[] = {
        {"Int32 7 < Double 7.5", Variant(7), MakeDouble(7.5), true},
        {"UInt64 5 < Int32 -1", MakeScalar(Variant::TYPE_UINT64, 5, 8), Variant(-1), false},
        {"Int32 -1 < UInt64 5", Variant(-1), MakeScalar(Variant::TYPE_UINT64, 5, 8), true},
        {"UInt64 max < Float 3e19", MakeScalar(Variant::TYPE_UINT64, ~0ull, 8), MakeFloat(3e19f), true},
        {"Float 3e19 < UInt64 max", MakeFloat(3e19f), MakeScalar(Variant::TYPE_UINT64, ~0ull, 8), false},
        {"Int64 -1 < Double -1e30", MakeScalar(Variant::TYPE_INT64, ~0ull, 8), MakeDouble(-1e30), false},
        {"Double -1e30 < Int64 -1", MakeDouble(-1e30), MakeScalar(Variant::TYPE_INT64, ~0ull, 8), true},
        {"Double 2.4 < UInt64 3", MakeDouble(2.4), MakeScalar(Variant::TYPE_UINT64, 3, 8), true},
        {"Int64 -3 < Float -2.6", MakeScalar(Variant::TYPE_INT64, static_cast<uint64_t>(-3ll), 8),
         MakeFloat(-2.6f), false},
        {"Int64 4 < UInt32 5", MakeScalar(Variant::TYPE_INT64, 4, 8), MakeScalar(Variant::TYPE_UINT32, 5, 4),
         true},
        {"Bool 1 < Int8 2", MakeScalar(Variant::TYPE_BOOL, 1, 1), MakeScalar(Variant::TYPE_INT8, 2, 1), true},
        {"Empty < Int32 0", Variant(), Variant(0), true},
        {"Int32 0 < Empty", Variant(0), Variant(), false},
        {"Empty < Empty", Variant(), Variant(), false},
        {"String of 7 < Int32", MakeText("abcdefg"), Variant(0), false},
        {"Int32 < String of 7", Variant(0), MakeText("abcdefg"), true},
        {"String of 3 < Int32", MakeText("abc"), Variant(0), true},
        {"Int8 -1 < Int8 1", MakeScalar(Variant::TYPE_INT8, 0xFF, 1), MakeScalar(Variant::TYPE_INT8, 1, 1),
         true},
        {"UInt8 FF < UInt8 1", MakeScalar(Variant::TYPE_UINT8, 0xFF, 1),
         MakeScalar(Variant::TYPE_UINT8, 1, 1), false},
        {"Int64 min < Int64 0", MakeScalar(Variant::TYPE_INT64, 1ull << 63, 8),
         MakeScalar(Variant::TYPE_INT64, 0, 8), true},
        {"UInt64 2^63 < UInt64 0", MakeScalar(Variant::TYPE_UINT64, 1ull << 63, 8),
         MakeScalar(Variant::TYPE_UINT64, 0, 8), false},
        {"String b < String ab", MakeText("b"), MakeText("ab"), true},
        // The characters compare as signed bytes.
        {"String \\xC3 < String a", MakeText("\xC3"), MakeText("a"), true},
        {"Array [1,2] < [1,2,0]", MakeArray({Variant(1), Variant(2)}),
         MakeArray({Variant(1), Variant(2), Variant(0)}), true},
        {"Array [1,2,0] < [1,2]", MakeArray({Variant(1), Variant(2), Variant(0)}),
         MakeArray({Variant(1), Variant(2)}), false},
        {"Array [1,3] < [1,2,9]", MakeArray({Variant(1), Variant(3)}),
         MakeArray({Variant(1), Variant(2), Variant(9)}), false},
        {"Array [1,2,9] < [1,3]", MakeArray({Variant(1), Variant(2), Variant(9)}),
         MakeArray({Variant(1), Variant(3)}), true},
    };
    for (const Row& row : rows)
    {
        EXPECT_EQ(row.less, row.left < row.right) << row.name;
    }

    unsigned char bytes[4] = {0xFF, 0, 0, 0};
    Variant buffer;
    buffer.SetBuffer(bytes, 1);
    Variant high;
    bytes[0] = 0x01;
    high.SetBuffer(bytes, 2);
    EXPECT_TRUE(buffer < high) << "a shorter Buffer orders first";
    Variant low;
    bytes[1] = 0x00;
    bytes[0] = 0x00;
    low.SetBuffer(bytes, 2);
    EXPECT_TRUE(low < high);
    EXPECT_FALSE(high < low);
}
