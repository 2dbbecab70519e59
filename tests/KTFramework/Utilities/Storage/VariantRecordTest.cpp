#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "KTFramework/Defs/Result.h"
#include "KTFramework/Utilities/Storage/Variant.h"
#include "support/VariantProbes.h"

using namespace KT;
using KT::Testing::MakeArray;
using KT::Testing::MakeScalar;
using KT::Testing::MakeText;
using KT::Testing::SerializeToBytes;
using Bytes = std::vector<unsigned char>;

namespace
{

Bytes Header(uint32_t total, uint32_t version, uint32_t kind)
{
    Bytes b;
    for (uint32_t word : {total, version, kind})
    {
        for (int i = 0; i < 4; ++i)
        {
            b.push_back(static_cast<unsigned char>(word >> (8 * i)));
        }
    }
    return b;
}

Bytes Record(uint32_t version, uint32_t kind, const Bytes& payload)
{
    Bytes b = Header(static_cast<uint32_t>(12 + payload.size()), version, kind);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Variant ArrayWithPayload(const Bytes& payload)
{
    Variant v;
    v.Set(Variant::TYPE_ARRAY, payload.data(), payload.size());
    return v;
}

} // namespace

TEST(VariantRecord, WritesTheGoldenBytes)
{
    struct Row
    {
        const char* name;
        Variant value;
        Bytes golden;
    };
    const Row rows[] = {
        {"Int32 5", Variant(5), {0x10, 0, 0, 0, 1, 0, 0, 0, 6, 0, 0, 0, 5, 0, 0, 0}},
        {"Empty", Variant(), {0x0C, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}},
        {"String ab", MakeText("ab"), {0x0F, 0, 0, 0, 1, 0, 0, 0, 0x0F, 0, 0, 0, 0x61, 0x62, 0x00}},
        {"Double 1.0",
         MakeScalar(Variant::TYPE_DOUBLE, 0x3FF0000000000000ull, 8),
         {0x14, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},
        {"UInt16 0102",
         MakeScalar(Variant::TYPE_UINT16, 0x0102, 2),
         {0x0E, 0, 0, 0, 1, 0, 0, 0, 5, 0, 0, 0, 0x02, 0x01}},
        {"Array []", MakeArray({}), {0x0C, 0, 0, 0, 1, 0, 0, 0, 0x10, 0, 0, 0}},
        {"Array [1, 2]",
         MakeArray({Variant(1), Variant(2)}),
         {0x2C, 0, 0, 0, 1, 0, 0, 0, 0x10, 0, 0, 0,             //
          0x10, 0, 0, 0, 1, 0, 0, 0, 6,    0, 0, 0, 1, 0, 0, 0, //
          0x10, 0, 0, 0, 1, 0, 0, 0, 6,    0, 0, 0, 2, 0, 0, 0}},
        {"Array [[Int8 7], Bool 1]",
         MakeArray({MakeArray({MakeScalar(Variant::TYPE_INT8, 7, 1)}), MakeScalar(Variant::TYPE_BOOL, 1, 1)}),
         {0x32, 0, 0, 0, 1, 0, 0, 0, 0x10, 0, 0, 0,    //
          0x19, 0, 0, 0, 1, 0, 0, 0, 0x10, 0, 0, 0,    //
          0x0D, 0, 0, 0, 1, 0, 0, 0, 2,    0, 0, 0, 7, //
          0x0D, 0, 0, 0, 1, 0, 0, 0, 1,    0, 0, 0, 1}},
    };
    for (const Row& row : rows)
    {
        EXPECT_EQ(row.golden.size(), Variant::GetSerializedSize(row.value)) << row.name;
        EXPECT_EQ(row.golden, SerializeToBytes(row.value)) << row.name;
        Variant back(77);
        EXPECT_EQ(0, Variant::Deserialize(back, row.golden.data(), row.golden.size())) << row.name;
        EXPECT_TRUE(back == row.value) << row.name;
    }
}

TEST(VariantRecord, NestedArraysReadBackElementByElement)
{
    const Bytes golden = {0x32, 0, 0, 0, 1, 0, 0, 0, 0x10, 0, 0, 0,       //
                          0x19, 0, 0, 0, 1, 0, 0, 0, 0x10, 0, 0, 0,       //
                          0x0D, 0, 0, 0, 1, 0, 0, 0, 2,    0, 0, 0, 0xF9, //
                          0x0D, 0, 0, 0, 1, 0, 0, 0, 1,    0, 0, 0, 1};
    Variant outer;
    ASSERT_EQ(0, Variant::Deserialize(outer, golden.data(), golden.size()));
    EXPECT_EQ(2u, outer.GetArrayLength());
    Variant inner;
    EXPECT_EQ(0, outer.GetArrayElement(0, inner));
    EXPECT_EQ(Variant::TYPE_ARRAY, inner.GetType());
    EXPECT_EQ(1u, inner.GetArrayLength());
    Variant leaf;
    EXPECT_EQ(0, inner.GetArrayElement(0, leaf));
    EXPECT_EQ(Variant::TYPE_INT8, leaf.GetType());
    EXPECT_EQ(-7, leaf.GetInt8());
    EXPECT_EQ(0, outer.GetArrayElement(1, leaf));
    EXPECT_EQ(Variant::TYPE_BOOL, leaf.GetType());
}

TEST(VariantRecord, SerializeRefusals)
{
    unsigned char out[32];
    std::memset(out, 0xAA, sizeof(out));
    EXPECT_EQ(RESULT_FAILED, Variant::Serialize(Variant(5), out, 15)) << "one byte short";
    EXPECT_EQ(RESULT_FAILED, Variant::Serialize(Variant(5), nullptr, 16));

    Testing::RawVariant emptyPointer;
    emptyPointer.MakeUnowned(Variant::TYPE_POINTER, out, 0);
    EXPECT_EQ(RESULT_FAILED, Variant::Serialize(emptyPointer, out, sizeof(out)));

    // A size that no 31-bit result can report; the bytes behind it are never read.
    Testing::RawVariant huge;
    huge.MakeUnowned(Variant::TYPE_CONST_POINTER, out, 0x80000000ull);
    EXPECT_EQ(RESULT_FAILED, Variant::Serialize(huge, out, sizeof(out)));
    huge.MakeUnowned(Variant::TYPE_CONST_POINTER, out, 0xFFFFFFF4ull);
    EXPECT_EQ(0u, Variant::GetSerializedSize(huge));
    for (unsigned char b : out)
    {
        ASSERT_EQ(0xAA, b) << "a refused Serialize wrote into the destination";
    }

    unsigned char bytes[3] = {1, 2, 3};
    Testing::RawVariant pointer;
    pointer.MakeUnowned(Variant::TYPE_POINTER, bytes, 3);
    const Bytes golden = {0x0F, 0, 0, 0, 1, 0, 0, 0, 0x0C, 0, 0, 0, 1, 2, 3};
    EXPECT_EQ(golden, SerializeToBytes(pointer));
}

TEST(VariantRecord, ReadsLegacyVersionZeroKinds)
{
    struct Row
    {
        const char* name;
        uint32_t legacyKind;
        Bytes payload;
        Variant::Type expected;
    };
    const Row rows[] = {
        {"0 Empty", 0, {}, Variant::TYPE_EMPTY},
        {"1 Bool", 1, {4}, Variant::TYPE_BOOL},
        {"2 Int32", 2, {4, 0, 0, 0}, Variant::TYPE_INT32},
        {"3 Int64", 3, {4, 0, 0, 0, 0, 0, 0, 0}, Variant::TYPE_INT64},
        {"4 Float", 4, {0, 0, 0x80, 0x40}, Variant::TYPE_FLOAT},
        {"5 Double", 5, {0, 0, 0, 0, 0, 0, 0x10, 0x40}, Variant::TYPE_DOUBLE},
        {"8 Buffer", 8, {4}, Variant::TYPE_BUFFER},
        {"9 String", 9, {'4', 0}, Variant::TYPE_STRING},
        {"10 Array", 10, {}, Variant::TYPE_ARRAY},
    };
    for (const Row& row : rows)
    {
        const Bytes record = Record(0, row.legacyKind, row.payload);
        Variant v(99);
        EXPECT_EQ(0, Variant::Deserialize(v, record.data(), record.size())) << row.name;
        EXPECT_EQ(row.expected, v.GetType()) << row.name;
        if (row.expected != Variant::TYPE_EMPTY && row.expected != Variant::TYPE_ARRAY &&
            row.expected != Variant::TYPE_STRING)
        {
            EXPECT_EQ(4, v.GetInt32()) << row.name;
        }
    }
}

TEST(VariantRecord, MalformedRecordsFailAndLeaveTheTargetAsTabled)
{
    enum class After
    {
        Untouched,
        Empty,
        BufferOf123,
    };
    struct Row
    {
        const char* name;
        Bytes record;
        After after;
    };
    Bytes shortTotal = Header(8, 1, 0);
    Bytes longTotal = Record(1, 6, {5, 0, 0, 0});
    longTotal[0] = 17;
    const Row rows[] = {
        {"11 bytes", Bytes(11, 0), After::Untouched},
        {"total above length", longTotal, After::Untouched},
        {"total below 12", shortTotal, After::Untouched},
        {"version 2", Record(2, 6, {5, 0, 0, 0}), After::Untouched},
        {"version 0 kind 11", Record(0, 11, {5, 0, 0, 0}), After::Untouched},
        {"version 0 kind 12", Record(0, 12, {5, 0, 0, 0}), After::Untouched},
        {"version 1 kind 17", Record(1, 17, {5, 0, 0, 0}), After::Untouched},
        {"Empty with payload", Record(1, 0, {5}), After::Untouched},
        {"Int32 without payload", Record(1, 6, {}), After::Untouched},
        {"String without payload", Record(1, 15, {}), After::Untouched},
        {"Int32 with 2 bytes", Record(1, 6, {5, 0}), After::Empty},
        {"Double with 4 bytes", Record(1, 9, {0, 0, 0, 0}), After::Empty},
        {"Pointer", Record(1, 12, {1, 2, 3}), After::BufferOf123},
        {"ConstPointer", Record(1, 13, {1, 2, 3}), After::BufferOf123},
        {"legacy Pointer", Record(0, 6, {1, 2, 3}), After::BufferOf123},
    };
    for (const Row& row : rows)
    {
        Variant v(42);
        EXPECT_EQ(RESULT_FAILED, Variant::Deserialize(v, row.record.data(), row.record.size())) << row.name;
        switch (row.after)
        {
        case After::Untouched:
            EXPECT_TRUE(v == Variant(42)) << row.name;
            break;
        case After::Empty:
            EXPECT_TRUE(v.IsEmpty()) << row.name;
            break;
        case After::BufferOf123:
        {
            Variant expected;
            const unsigned char bytes[3] = {1, 2, 3};
            expected.SetBuffer(bytes, 3);
            EXPECT_TRUE(v == expected) << row.name;
            break;
        }
        }
    }
    Variant v(42);
    EXPECT_EQ(RESULT_FAILED, Variant::Deserialize(v, nullptr, 16));
    EXPECT_TRUE(v == Variant(42));
}

TEST(VariantRecord, TextEndsAtItsNulOrItsPayload)
{
    struct Row
    {
        const char* name;
        Bytes payload;
        const char* text;
    };
    const Row rows[] = {
        {"with NUL", {'a', 'b', 0}, "ab"},
        {"inner NUL", {'a', 0, 'b', 0}, "a"},
        {"no NUL", {'a', 'b', 'c'}, "abc"},
    };
    for (const Row& row : rows)
    {
        // Exactly-sized, so a read past the record is caught by ASan.
        const Bytes record = Record(1, 15, row.payload);
        std::unique_ptr<unsigned char[]> exact(new unsigned char[record.size()]);
        std::memcpy(exact.get(), record.data(), record.size());
        Variant v;
        EXPECT_EQ(0, Variant::Deserialize(v, exact.get(), record.size())) << row.name;
        EXPECT_STREQ(row.text, v.GetCStr()) << row.name;
        size_t size = 0;
        v.GetConstPointer(size);
        EXPECT_EQ(std::strlen(row.text) + 1, size) << row.name;
    }

    Bytes trailing = Record(1, 6, {5, 0, 0, 0});
    trailing.insert(trailing.end(), {0xEE, 0xEE});
    Variant v;
    EXPECT_EQ(0, Variant::Deserialize(v, trailing.data(), trailing.size())) << "trailing bytes are ignored";
    EXPECT_EQ(5, v.GetInt32());
}

TEST(VariantRecord, ArraysBuildAndWalk)
{
    const Variant items[2] = {Variant(1), Variant(2)};
    Variant array;
    EXPECT_EQ(Variant::TYPE_ARRAY, array.SetArray(items, 2));
    size_t size = 0;
    array.GetConstPointer(size);
    EXPECT_EQ(32u, size);
    EXPECT_EQ(2u, array.GetArrayLength());
    Variant out;
    EXPECT_EQ(0, array.GetArrayElement(1, out));
    EXPECT_TRUE(out == Variant(2));
    out = 5;
    EXPECT_EQ(-1, array.GetArrayElement(2, out));
    EXPECT_TRUE(out.IsEmpty());

    const Variant* pointers[2] = {&items[1], &items[0]};
    Variant reversed;
    EXPECT_EQ(Variant::TYPE_ARRAY, reversed.SetArray(pointers, 2));
    EXPECT_EQ(0, reversed.GetArrayElement(0, out));
    EXPECT_EQ(2, out.GetInt32());

    Variant none;
    EXPECT_EQ(Variant::TYPE_ARRAY, none.SetArray(static_cast<const Variant*>(nullptr), 0));
    EXPECT_EQ(0u, none.GetArrayLength());
    const Bytes record = SerializeToBytes(none);
    EXPECT_EQ(12u, record.size());
    Variant back;
    EXPECT_EQ(0, Variant::Deserialize(back, record.data(), record.size()));
    EXPECT_EQ(Variant::TYPE_ARRAY, back.GetType());
    EXPECT_EQ(nullptr, back.GetConstPointer(size));

    EXPECT_EQ(0u, Variant(3).GetArrayLength());
    EXPECT_EQ(-1, Variant(3).GetArrayElement(0, out));
}

TEST(VariantRecord, SlotsThatCannotBeFilledHoldEmptyRecords)
{
    unsigned char bytes[1] = {0};
    Testing::RawVariant emptyPointer;
    emptyPointer.MakeUnowned(Variant::TYPE_POINTER, bytes, 0);
    const Variant* items[3] = {&emptyPointer, nullptr, nullptr};
    const Variant three(3);
    items[2] = &three;
    Variant array;
    EXPECT_EQ(Variant::TYPE_ARRAY, array.SetArray(items, 3));
    const Bytes golden = {0x34, 0, 0, 0, 1, 0, 0, 0, 0x10, 0, 0, 0, //
                          0x0C, 0, 0, 0, 1, 0, 0, 0, 0,    0, 0, 0, //
                          0x0C, 0, 0, 0, 1, 0, 0, 0, 0,    0, 0, 0, //
                          0x10, 0, 0, 0, 1, 0, 0, 0, 6,    0, 0, 0, 3, 0, 0, 0};
    EXPECT_EQ(golden, SerializeToBytes(array));
}

TEST(VariantRecord, WalksStopOnBrokenElementRecords)
{
    const Bytes good = Record(1, 6, {7, 0, 0, 0});
    struct Row
    {
        const char* name;
        Bytes payload;
        size_t length;
    };
    auto join = [](std::initializer_list<Bytes> parts)
    {
        Bytes b;
        for (const Bytes& part : parts)
        {
            b.insert(b.end(), part.begin(), part.end());
        }
        return b;
    };
    const Row rows[] = {
        {"length 0", join({good, Header(0, 1, 6)}), 1},
        {"length 5", join({good, Header(5, 1, 6), good}), 1},
        {"length 0 first", join({Header(0, 1, 0), good}), 0},
        {"runs past the payload", join({good, Header(100, 1, 6)}), 2},
        {"four trailing bytes", join({good, Bytes{0x10, 0, 0, 0}}), 1},
        {"five trailing bytes", join({good, Bytes{0x10, 0, 0, 0, 1}}), 2},
    };
    for (const Row& row : rows)
    {
        Variant array = ArrayWithPayload(row.payload);
        EXPECT_EQ(row.length, array.GetArrayLength()) << row.name;
        Variant out;
        if (row.length > 0)
        {
            EXPECT_EQ(0, array.GetArrayElement(0, out)) << row.name;
        }
        for (size_t i = row.length > 0 ? 1 : 0; i <= row.length; ++i)
        {
            EXPECT_EQ(-1, array.GetArrayElement(i, out)) << row.name << " element " << i;
            EXPECT_TRUE(out.IsEmpty()) << row.name;
        }
    }
}

TEST(VariantRecord, ElementsThatFailToDecodeAreReportedAsFailures)
{
    Bytes payload = Record(1, 6, {5, 0});
    const Bytes pointer = Record(1, 12, {1, 2, 3});
    const Bytes good = Record(1, 6, {7, 0, 0, 0});
    payload.insert(payload.end(), pointer.begin(), pointer.end());
    payload.insert(payload.end(), good.begin(), good.end());
    Variant array = ArrayWithPayload(payload);
    ASSERT_EQ(3u, array.GetArrayLength());
    Variant out(1);
    EXPECT_EQ(-1, array.GetArrayElement(0, out));
    EXPECT_TRUE(out.IsEmpty());
    EXPECT_EQ(-1, array.GetArrayElement(1, out));
    EXPECT_EQ(Variant::TYPE_BUFFER, out.GetType());
    EXPECT_EQ(0x030201, out.GetInt32());
    EXPECT_EQ(0, array.GetArrayElement(2, out));
    EXPECT_EQ(7, out.GetInt32());
}

// Random bytes as records and as Array payloads: every walk ends, and ASan and
// UBSan see no read outside the bytes.
TEST(VariantRecord, RandomBytesAreWalkedSafely)
{
    std::mt19937 random(20261209);
    const uint32_t plausibleLengths[] = {0, 1, 4, 11, 12, 13, 16, 20, 24, 28, 0xFFFFFFFF};
    auto walk = [](const Variant& array, int depth, auto& self) -> void
    {
        const size_t length = array.GetArrayLength();
        size_t size = 0;
        array.GetConstPointer(size);
        if (length > 0)
        {
            // Every counted element is at least a header long and starts inside the payload.
            ASSERT_LT(12 * (length - 1) + 4, size);
        }
        Variant element;
        for (size_t i = 0; i <= length; ++i)
        {
            const int result = array.GetArrayElement(i, element);
            ASSERT_TRUE(result == 0 || result == -1);
            if (i == length)
            {
                ASSERT_EQ(-1, result);
            }
            if (result == 0 && element.GetType() == Variant::TYPE_ARRAY && depth < 4)
            {
                self(element, depth + 1, self);
            }
            element.GetInt64();
            element.GetDouble();
        }
    };
    for (int round = 0; round < 20000; ++round)
    {
        Bytes bytes(random() % 80);
        for (unsigned char& b : bytes)
        {
            b = static_cast<unsigned char>(random());
        }
        // Plant plausible headers so that walks go deeper than the first word.
        for (size_t at = 0; at + 12 <= bytes.size(); at += 4 + random() % 12)
        {
            const uint32_t length = plausibleLengths[random() % std::size(plausibleLengths)];
            const uint32_t version = random() % 3;
            const uint32_t kind = random() % 18;
            const Bytes header = Header(length, version, kind);
            std::copy(header.begin(), header.end(), bytes.begin() + static_cast<long>(at));
        }
        std::unique_ptr<unsigned char[]> exact(new unsigned char[bytes.size() + 1]);
        if (!bytes.empty())
        {
            std::memcpy(exact.get(), bytes.data(), bytes.size());
        }

        Variant v;
        if (Variant::Deserialize(v, exact.get(), bytes.size()) == 0 && v.GetType() == Variant::TYPE_ARRAY)
        {
            walk(v, 0, walk);
        }
        walk(ArrayWithPayload(bytes), 0, walk);
        if (HasFatalFailure())
        {
            FAIL() << "round " << round;
        }
    }
}
