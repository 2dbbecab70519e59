#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "KTFramework/Utilities/Storage/VariantEx.h"
#include "support/ScopedThreadLocale.h"

// Result codes that a test does not judge (set-up steps, and calls whose effect
// it checks another way) are cast to void.

using namespace KT;

namespace
{

using String = VariantEx::String;
using Bytes = std::vector<unsigned char>;

template <class T>
VariantEx Scalar(Variant::Type kind, T value)
{
    VariantEx v;
    v.Set(kind, &value, sizeof(value));
    return v;
}

VariantEx Text(const char* text)
{
    VariantEx v;
    v.Set(String(text));
    return v;
}

VariantEx ArrayOf(std::initializer_list<VariantEx> items)
{
    Array<VariantEx> list;
    for (const VariantEx& item : items)
    {
        static_cast<void>(list.AppendItem(item));
    }
    VariantEx v;
    v.SetArray(list);
    return v;
}

VariantEx FromBytes(Variant::Type kind, const Bytes& bytes)
{
    VariantEx v;
    v.Set(kind, bytes.data(), bytes.size());
    return v;
}

Bytes Record(std::uint32_t total, std::uint32_t version, std::uint32_t kind, const Bytes& payload)
{
    Bytes out;
    for (std::uint32_t word : {total, version, kind})
    {
        for (int i = 0; i < 4; ++i)
        {
            out.push_back(static_cast<unsigned char>(word >> (8 * i)));
        }
    }
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes BufferBytes(const RCPtr<LIBuffer>& buffer)
{
    const unsigned char* p = static_cast<const unsigned char*>(buffer->GetRawPtr());
    return Bytes(p, p + buffer->GetSizeBytes());
}

RCPtr<LIBuffer> FilledBuffer(std::size_t size, unsigned char fill)
{
    RCPtr<LIBuffer> buffer = VariantEx::RecordBuffer::Create(size, 0, true);
    std::memset(buffer->GetRawPtr(), fill, size);
    return buffer;
}

struct GetterRow
{
    const char* name;
    std::function<VariantEx()> make;
    bool b;
    std::int8_t i8;
    std::uint8_t u8;
    std::int16_t i16;
    std::uint16_t u16;
    std::int32_t i32;
    std::uint32_t u32;
    std::int64_t i64;
    std::uint64_t u64;
    double d;
};

TEST(VariantEx, GettersConvertEveryKindAndReadStringsAsText)
{
    const GetterRow rows[] = {
        {"empty", [] { return VariantEx(); }, false, 0, 0, 0, 0, 0, 0, 0, 0, 0.0},
        {"bool 2", [] { return Scalar<std::uint8_t>(Variant::TYPE_BOOL, 2); }, true, 1, 1, 2, 2, 2, 2, 2, 2,
         2.0},
        {"int8 -1", [] { return Scalar<std::int8_t>(Variant::TYPE_INT8, -1); }, true, -1, 255, -1, 255, -1,
         0xFFFFFFFFu, -1, 0xFFFFFFFFFFFFFFFFull, -1.0},
        {"float 2.5", [] { return Scalar<float>(Variant::TYPE_FLOAT, 2.5f); }, true, 3, 3, 3, 3, 3, 3, 3, 3,
         2.5},
        {"float -2.5", [] { return Scalar<float>(Variant::TYPE_FLOAT, -2.5f); }, true, -3, 253, -3, 65533, -3,
         0xFFFFFFFDu, -3, 0xFFFFFFFFFFFFFFFDull, -2.5},
        {"float 0.4", [] { return Scalar<float>(Variant::TYPE_FLOAT, 0.4f); }, true, 0, 0, 0, 0, 0, 0, 0, 0,
         static_cast<double>(0.4f)},
        {"double 200", [] { return Scalar<double>(Variant::TYPE_DOUBLE, 200.0); }, true, -56, 200, 200, 200,
         200, 200, 200, 200, 200.0},
        {"buffer 2 bytes",
         [] {
             return FromBytes(Variant::TYPE_BUFFER, {0x34, 0x12});
         },
         true, 0x34, 0x34, 0x1234, 0x1234, 0x1234, 0x1234, 0x1234, 0x1234, 4660.0},
        {"array", [] { return ArrayOf({VariantEx()}); }, true, 0, 0, 0, 0, 0, 0, 0, 0, 0.0},
        {"empty array", [] { return ArrayOf({}); }, false, 0, 0, 0, 0, 0, 0, 0, 0, 0.0},
        {"text TRUE", [] { return Text("TRUE"); }, true, 0, 0, 0, 0, 0, 0, 0, 0, 0.0},
        {"text 1", [] { return Text("1"); }, false, 1, 1, 1, 1, 1, 1, 1, 1, 1.0},
        {"text ' true'", [] { return Text(" true"); }, false, 0, 0, 0, 0, 0, 0, 0, 0, 0.0},
        {"text empty", [] { return Text(""); }, false, 0, 0, 0, 0, 0, 0, 0, 0, 0.0},
        {"text -5", [] { return Text("-5"); }, false, -5, 251, -5, 65531, -5, 0xFFFFFFFBu, -5,
         0xFFFFFFFFFFFFFFFBull, -5.0},
        {"text 12abc", [] { return Text("12abc"); }, false, 12, 12, 12, 12, 12, 12, 12, 12, 12.0},
        {"text 300", [] { return Text("300"); }, false, 44, 44, 300, 300, 300, 300, 300, 300, 300.0},
        // strtol's value cut to the width: no overflow into undefined behaviour.
        {"text 99999999999", [] { return Text("99999999999"); }, false, -1, 255, -6145, 59391, 1215752191,
         1215752191u, 99999999999, 99999999999ull, 99999999999.0},
        {"text all ones", [] { return Text("18446744073709551615"); }, false, -1, 255, -1, 65535, -1,
         0xFFFFFFFFu, -1, 0xFFFFFFFFFFFFFFFFull, 18446744073709551615.0},
        {"text 2.75", [] { return Text("2.75"); }, false, 2, 2, 2, 2, 2, 2, 2, 2, 2.75},
    };
    for (const GetterRow& row : rows)
    {
        const VariantEx v = row.make();
        EXPECT_EQ(v.GetBool(), row.b) << row.name;
        EXPECT_EQ(v.GetInt8(), row.i8) << row.name;
        EXPECT_EQ(v.GetUInt8(), row.u8) << row.name;
        EXPECT_EQ(v.GetInt16(), row.i16) << row.name;
        EXPECT_EQ(v.GetUInt16(), row.u16) << row.name;
        EXPECT_EQ(v.GetInt32(), row.i32) << row.name;
        EXPECT_EQ(v.GetUInt32(), row.u32) << row.name;
        EXPECT_EQ(v.GetInt64(), row.i64) << row.name;
        EXPECT_EQ(v.GetUInt64(), row.u64) << row.name;
        EXPECT_DOUBLE_EQ(v.GetDouble(), row.d) << row.name;
        EXPECT_FLOAT_EQ(v.GetFloat(), static_cast<float>(row.d)) << row.name;
    }
}

TEST(VariantEx, GetTemplateReachesTheOverridesThroughTheBase)
{
    const VariantEx v = Text("42");
    const Variant& base = v;
    EXPECT_EQ(base.GetInt32(), 42);
    EXPECT_EQ(v.Get<int>(), 42);
    EXPECT_EQ(v.Get<unsigned long long>(), 42u);
    EXPECT_DOUBLE_EQ(v.Get<double>(), 42.0);
    EXPECT_STREQ(v.Get<String>().CStr(), "42");
    EXPECT_FALSE(v.Get<bool>());
}

TEST(VariantEx, SetFromAStringHoldsItsTextAndNul)
{
    VariantEx v;
    EXPECT_EQ(v.Set(String("")), Variant::TYPE_STRING);
    std::size_t size = 0;
    EXPECT_NE(v.GetConstPointer(size), nullptr);
    EXPECT_EQ(size, 1u);

    EXPECT_EQ(v.Set(String("abc")), Variant::TYPE_STRING);
    EXPECT_STREQ(v.GetCStr(), "abc");
    EXPECT_EQ(v.GetBuffer()->GetSizeBytes(), 4u);
}

TEST(VariantEx, SetFromABufferCopiesItAndANullBufferLeavesEmpty)
{
    VariantEx v = Scalar<int>(Variant::TYPE_INT32, 7);
    EXPECT_EQ(v.Set(ConstRCPtr<LIBuffer>()), Variant::TYPE_EMPTY);
    EXPECT_TRUE(v.IsEmpty());

    RCPtr<LIBuffer> source = FilledBuffer(3, 0x11);
    EXPECT_EQ(v.Set(ConstRCPtr<LIBuffer>(source)), Variant::TYPE_BUFFER);
    static_cast<unsigned char*>(source->GetRawPtr())[0] = 0x99;
    EXPECT_EQ(BufferBytes(v.GetBuffer()), (Bytes{0x11, 0x11, 0x11}));

    // Its own buffer handed back in: copied before anything is released.
    EXPECT_EQ(v.Set(ConstRCPtr<LIBuffer>(v.GetBuffer())), Variant::TYPE_BUFFER);
    EXPECT_EQ(BufferBytes(v.GetBuffer()), (Bytes{0x11, 0x11, 0x11}));
}

TEST(VariantEx, SetFromAnotherSharesThePayloadWhileAssignmentCopiesIt)
{
    const VariantEx source = FromBytes(Variant::TYPE_BUFFER, {1, 2, 3});
    VariantEx shared;
    EXPECT_EQ(shared.Set(source), Variant::TYPE_BUFFER);
    EXPECT_EQ(shared.GetBuffer().GetRaw(), source.GetBuffer().GetRaw());
    EXPECT_EQ(source.GetBuffer()->GetReferenceCount(), 2);
    EXPECT_TRUE(shared == source);

    VariantEx assigned;
    assigned = source;
    const VariantEx copied(source);
    EXPECT_NE(assigned.GetBuffer().GetRaw(), source.GetBuffer().GetRaw());
    EXPECT_NE(copied.GetBuffer().GetRaw(), source.GetBuffer().GetRaw());
    EXPECT_TRUE(assigned == source);
    EXPECT_TRUE(copied == source);

    shared.Clear();
    EXPECT_EQ(source.GetBuffer()->GetReferenceCount(), 1);
    EXPECT_EQ(BufferBytes(source.GetBuffer()), (Bytes{1, 2, 3}));

    VariantEx scalar;
    EXPECT_EQ(scalar.Set(Scalar<short>(Variant::TYPE_INT16, -2)), Variant::TYPE_INT16);
    EXPECT_EQ(scalar.GetInt32(), -2);
}

TEST(VariantEx, ResizeBufferUnsharesAndZeroFillsGrowth)
{
    VariantEx v = FromBytes(Variant::TYPE_BUFFER, {1, 2, 3});
    VariantEx other;
    other.Set(v);
    const RCPtr<LIBuffer> held = v.GetBuffer();

    EXPECT_EQ(v.ResizeBuffer(5), Variant::TYPE_BUFFER);
    EXPECT_EQ(BufferBytes(v.GetBuffer()), (Bytes{1, 2, 3, 0, 0}));
    std::size_t size = 0;
    EXPECT_EQ(v.GetConstPointer(size), v.GetBuffer()->GetRawPtr());
    EXPECT_EQ(size, 5u);
    // The other holders keep the old payload, size and address.
    EXPECT_EQ(BufferBytes(held), (Bytes{1, 2, 3}));
    EXPECT_EQ(other.GetConstPointer(size), held->GetRawPtr());
    EXPECT_EQ(size, 3u);

    EXPECT_EQ(v.ResizeBuffer(1), Variant::TYPE_BUFFER);
    EXPECT_EQ(BufferBytes(v.GetBuffer()), (Bytes{1}));

    VariantEx text = Text("abc");
    EXPECT_EQ(text.ResizeBuffer(10), Variant::TYPE_STRING);
    EXPECT_STREQ(text.GetCStr(), "abc");
    VariantEx number = Scalar<int>(Variant::TYPE_INT32, 1);
    EXPECT_EQ(number.ResizeBuffer(10), Variant::TYPE_INT32);
}

TEST(VariantEx, GetBufferThrowsForKindsWithoutABuffer)
{
    const VariantEx number = Scalar<int>(Variant::TYPE_INT32, 1);
    try
    {
        number.GetBuffer();
        FAIL() << "no exception";
    }
    catch (const std::runtime_error& error)
    {
        EXPECT_STREQ(error.what(),
                     "Runtime Error :  : Device/KTFramework/Utilities/Storage/VariantEx : Line 464");
    }
    EXPECT_THROW(VariantEx().GetBuffer(), std::runtime_error);
    EXPECT_THROW(ArrayOf({}).GetBuffer(), std::runtime_error);
    EXPECT_NO_THROW(Text("x").GetBuffer());
}

TEST(VariantEx, SerializeWritesAtAnOffsetGrowingButNeverShrinking)
{
    const Bytes int32Record = {0x10, 0, 0, 0, 1, 0, 0, 0, 6, 0, 0, 0, 5, 0, 0, 0};
    const VariantEx five = Scalar<int>(Variant::TYPE_INT32, 5);

    RCPtr<LIBuffer> none;
    EXPECT_EQ(VariantEx().Serialize(none, 0), 12);
    EXPECT_EQ(BufferBytes(none), (Bytes{12, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));

    RCPtr<LIBuffer> longer = FilledBuffer(40, 0xAA);
    EXPECT_EQ(five.Serialize(longer, 5), 16);
    Bytes expected(40, 0xAA);
    std::copy(int32Record.begin(), int32Record.end(), expected.begin() + 5);
    EXPECT_EQ(BufferBytes(longer), expected);

    // Growth keeps the old bytes and zero-fills the gap before the offset.
    RCPtr<LIBuffer> shorter = FilledBuffer(3, 0xAA);
    EXPECT_EQ(five.Serialize(shorter, 5), 16);
    expected = {0xAA, 0xAA, 0xAA, 0, 0};
    expected.insert(expected.end(), int32Record.begin(), int32Record.end());
    EXPECT_EQ(BufferBytes(shorter), expected);

    RCPtr<LIBuffer> appended;
    std::size_t offset = 0;
    for (const VariantEx& v : {five, Text("ab"), VariantEx()})
    {
        const int written = v.Serialize(appended, offset);
        ASSERT_GT(written, 0);
        offset += static_cast<std::size_t>(written);
    }
    expected = int32Record;
    const Bytes rest = {15, 0,  0, 0, 1, 0, 0, 0, 15, 0, 0, 0, 'a', 'b',
                        0,  12, 0, 0, 0, 1, 0, 0, 0,  0, 0, 0, 0};
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(BufferBytes(appended), expected);

    // Into its own payload buffer: the record is made from the old bytes.
    VariantEx own = FromBytes(Variant::TYPE_BUFFER, {7, 8});
    RCPtr<LIBuffer> target = own.GetBuffer();
    EXPECT_EQ(own.Serialize(target, 2), 14);
    EXPECT_EQ(BufferBytes(target), (Bytes{7, 8, 14, 0, 0, 0, 1, 0, 0, 0, 14, 0, 0, 0, 7, 8}));
}

// A buffer the variant holds (GetBuffer hands one out for Buffers and
// Strings) as the destination: before, growing it moved the block the
// variant still pointed at and the record overwrote the payload it was made
// from. The variant must keep its value; the buffer ends up holding exactly
// what was there plus the record.
TEST(VariantEx, SerializeIntoItsOwnPayloadBufferKeepsTheValue)
{
    struct Row
    {
        const char* name;
        VariantEx value;
        Bytes payload;
        std::size_t offset;
        Bytes expected;
    };
    const Row rows[] = {
        {"buffer at 0",
         FromBytes(Variant::TYPE_BUFFER, {0xAA, 0xBB, 0xCC}),
         {0xAA, 0xBB, 0xCC},
         0,
         {0x0F, 0, 0, 0, 1, 0, 0, 0, 0x0E, 0, 0, 0, 0xAA, 0xBB, 0xCC}},
        {"buffer past the end",
         FromBytes(Variant::TYPE_BUFFER, {0xAA, 0xBB, 0xCC}),
         {0xAA, 0xBB, 0xCC},
         5,
         {0xAA, 0xBB, 0xCC, 0, 0, 0x0F, 0, 0, 0, 1, 0, 0, 0, 0x0E, 0, 0, 0, 0xAA, 0xBB, 0xCC}},
        {"string at 0",
         Text("hi"),
         {'h', 'i', 0},
         0,
         {0x0F, 0, 0, 0, 1, 0, 0, 0, 0x0F, 0, 0, 0, 'h', 'i', 0}},
        {"string past the end",
         Text("hi"),
         {'h', 'i', 0},
         4,
         {'h', 'i', 0, 0, 0x0F, 0, 0, 0, 1, 0, 0, 0, 0x0F, 0, 0, 0, 'h', 'i', 0}},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        VariantEx v = row.value;
        RCPtr<LIBuffer> target = v.GetBuffer();
        EXPECT_EQ(v.Serialize(target, row.offset), 15);
        EXPECT_EQ(BufferBytes(target), row.expected);

        // The variant still reads its own payload, inside its own buffer.
        std::size_t size = 0;
        const unsigned char* data = static_cast<const unsigned char*>(v.GetConstPointer(size));
        EXPECT_EQ(Bytes(data, data + size), row.payload);
        EXPECT_EQ(static_cast<const void*>(data), v.GetBuffer()->GetRawPtr());
        EXPECT_EQ(v.GetBuffer()->GetSizeBytes(), row.payload.size());
        EXPECT_TRUE(v == row.value);
        RCPtr<LIBuffer> again;
        EXPECT_EQ(v.Serialize(again, 0), 15);
        EXPECT_EQ(BufferBytes(again), Bytes(row.expected.end() - 15, row.expected.end()));
    }
}

struct RecordRow
{
    const char* name;
    Bytes record;
    int result;
    Variant::Type kind;
};

TEST(VariantEx, DeserializeReadsLegacyKindsAndRefusesMalformedRecords)
{
    const int failed = RESULT_FAILED;
    const RecordRow rows[] = {
        {"int32", Record(16, 1, 6, {5, 0, 0, 0}), 0, Variant::TYPE_INT32},
        {"legacy int32", Record(16, 0, 2, {5, 0, 0, 0}), 0, Variant::TYPE_INT32},
        {"legacy string", Record(15, 0, 9, {'h', 'i', 0}), 0, Variant::TYPE_STRING},
        {"legacy array", Record(12, 0, 10, {}), 0, Variant::TYPE_ARRAY},
        {"legacy kind 11", Record(16, 0, 11, {5, 0, 0, 0}), failed, Variant::TYPE_UINT16},
        {"version 2", Record(16, 2, 6, {5, 0, 0, 0}), failed, Variant::TYPE_UINT16},
        {"kind 17", Record(16, 1, 17, {5, 0, 0, 0}), failed, Variant::TYPE_UINT16},
        {"empty array", Record(12, 1, 16, {}), 0, Variant::TYPE_ARRAY},
        {"int32 without payload", Record(12, 1, 6, {}), failed, Variant::TYPE_UINT16},
        {"empty with payload", Record(13, 1, 0, {1}), failed, Variant::TYPE_UINT16},
        {"int32 of 2 bytes", Record(14, 1, 6, {5, 0}), failed, Variant::TYPE_EMPTY},
        {"pointer", Record(14, 1, 12, {5, 0}), failed, Variant::TYPE_BUFFER},
        {"total beyond the bytes", Record(17, 1, 6, {5, 0, 0, 0}), failed, Variant::TYPE_UINT16},
        {"total below the header", Record(4, 1, 6, {5, 0, 0, 0}), failed, Variant::TYPE_UINT16},
        {"total 0", Record(0, 1, 14, {5, 0, 0, 0}), failed, Variant::TYPE_UINT16},
        {"short header", Bytes{12, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0}, failed, Variant::TYPE_UINT16},
        {"text without nul", Record(15, 1, 15, {'a', 'b', 'c'}), 0, Variant::TYPE_STRING},
    };
    for (const RecordRow& row : rows)
    {
        VariantEx v = Scalar<std::uint16_t>(Variant::TYPE_UINT16, 9);
        EXPECT_EQ(v.Deserialize(row.record.data(), row.record.size()), row.result) << row.name;
        EXPECT_EQ(v.GetType(), row.kind) << row.name;
        if (row.kind == Variant::TYPE_UINT16)
        {
            EXPECT_EQ(v.GetUInt16(), 9) << row.name << ": the value changed";
        }
    }

    VariantEx text;
    const Bytes unterminated = Record(15, 1, 15, {'a', 'b', 'c'});
    ASSERT_EQ(text.Deserialize(unterminated.data(), unterminated.size()), 0);
    EXPECT_STREQ(text.GetCStr(), "abc");
    EXPECT_EQ(text.GetArrayLength(), 0u);
    EXPECT_EQ(VariantEx().Deserialize(nullptr, 16), RESULT_FAILED);
}

TEST(VariantEx, ArraysConvertToListsAndBack)
{
    Array<VariantEx> list;
    static_cast<void>(list.AppendItem(Scalar<int>(Variant::TYPE_INT32, 1)));
    static_cast<void>(list.AppendItem(Text("two")));
    VariantEx packed;
    EXPECT_EQ(packed.SetArray(list), Variant::TYPE_ARRAY);
    Variant plain;
    EXPECT_EQ(VariantEx::ArrayOfVariantsToVariantArray(list, plain), Variant::TYPE_ARRAY);
    EXPECT_TRUE(plain == packed);

    Array<VariantEx> back;
    EXPECT_EQ(VariantEx::VariantArrayToArrayOfVariants(packed, back), 0);
    ASSERT_EQ(back.GetCount(), 2);
    EXPECT_EQ(back.GetAt(0).GetInt32(), 1);
    EXPECT_STREQ(back.GetAt(1).GetCStr(), "two");

    Array<Variant> plainBack;
    EXPECT_EQ(VariantEx::VariantArrayToArrayOfVariants(plain, plainBack), 0);
    ASSERT_EQ(plainBack.GetCount(), 2);
    EXPECT_STREQ(plainBack.GetAt(1).GetCStr(), "two");

    EXPECT_EQ(VariantEx::VariantArrayToArrayOfVariants(VariantEx(), back), 0);
    EXPECT_EQ(back.GetCount(), 0);
    static_cast<void>(back.AppendItem(VariantEx()));
    EXPECT_EQ(VariantEx::VariantArrayToArrayOfVariants(Scalar<int>(Variant::TYPE_INT32, 1), back),
              RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(back.GetCount(), 0);

    EXPECT_EQ(packed.SetArray(Array<VariantEx>()), Variant::TYPE_ARRAY);
    std::size_t size = 1;
    EXPECT_EQ(packed.GetConstPointer(size), nullptr);
    EXPECT_EQ(size, 0u);

    // The source being one of the list's own elements.
    Array<VariantEx> nested;
    static_cast<void>(nested.AppendItem(ArrayOf({Scalar<int>(Variant::TYPE_INT32, 4), VariantEx()})));
    EXPECT_EQ(VariantEx::VariantArrayToArrayOfVariants(nested.GetAt(0), nested), 0);
    ASSERT_EQ(nested.GetCount(), 2);
    EXPECT_EQ(nested.GetAt(0).GetInt32(), 4);
}

TEST(VariantEx, MalformedArrayPayloadsEndTheWalk)
{
    // A zero element length would never advance; a cut-off element stays Empty.
    Bytes zero = Record(16, 1, 6, {1, 0, 0, 0});
    const Bytes tail = {0, 0, 0, 0, 1, 0, 0, 0, 6, 0, 0, 0};
    zero.insert(zero.end(), tail.begin(), tail.end());
    Array<VariantEx> list;
    EXPECT_EQ(VariantEx::VariantArrayToArrayOfVariants(FromBytes(Variant::TYPE_ARRAY, zero), list), 0);
    ASSERT_EQ(list.GetCount(), 1);
    EXPECT_EQ(list.GetAt(0).GetInt32(), 1);

    Bytes cut = Record(16, 1, 6, {1, 0, 0, 0});
    cut.resize(10);
    EXPECT_EQ(VariantEx::VariantArrayToArrayOfVariants(FromBytes(Variant::TYPE_ARRAY, cut), list), 0);
    ASSERT_EQ(list.GetCount(), 1);
    EXPECT_TRUE(list.GetAt(0).IsEmpty());

    // Random payloads and records: every walk ends and stays inside its bytes.
    std::mt19937 random(7);
    for (int round = 0; round < 3000; ++round)
    {
        Bytes bytes(random() % 64);
        for (unsigned char& byte : bytes)
        {
            byte = static_cast<unsigned char>(random() % 4 == 0 ? random() % 20 : random());
        }
        VariantEx v;
        static_cast<void>(v.Deserialize(bytes.data(), bytes.size()));
        const VariantEx array = FromBytes(Variant::TYPE_ARRAY, bytes);
        static_cast<void>(VariantEx::VariantArrayToArrayOfVariants(array, list));
        array.GetXMLString();
    }
}

struct OrderRow
{
    const char* name;
    VariantEx a;
    VariantEx b;
    int compare;
};

TEST(VariantEx, OrdersWithinAndAcrossKinds)
{
    const VariantEx sharedText = Text("same");
    VariantEx sharing;
    sharing.Set(sharedText);
    const OrderRow rows[] = {
        {"empty before int32", VariantEx(), Scalar<int>(Variant::TYPE_INT32, -100), -1},
        {"int32 5 before double 5.5", Scalar<int>(Variant::TYPE_INT32, 5),
         Scalar<double>(Variant::TYPE_DOUBLE, 5.5), -1},
        {"text by its number", Text("10"), Scalar<int>(Variant::TYPE_INT32, 9), 1},
        {"equal uint8", Scalar<std::uint8_t>(Variant::TYPE_UINT8, 200),
         Scalar<std::uint8_t>(Variant::TYPE_UINT8, 200), 0},
        {"uint8 unsigned", Scalar<std::uint8_t>(Variant::TYPE_UINT8, 200),
         Scalar<std::uint8_t>(Variant::TYPE_UINT8, 1), 1},
        {"int8 signed", Scalar<std::int8_t>(Variant::TYPE_INT8, -1),
         Scalar<std::int8_t>(Variant::TYPE_INT8, 1), -1},
        {"equal uint64", Scalar<std::uint64_t>(Variant::TYPE_UINT64, ~0ull),
         Scalar<std::uint64_t>(Variant::TYPE_UINT64, ~0ull), 0},
        {"int64 signed", Scalar<std::int64_t>(Variant::TYPE_INT64, -1),
         Scalar<std::int64_t>(Variant::TYPE_INT64, 0), -1},
        {"nan unordered", Scalar<double>(Variant::TYPE_DOUBLE, NAN),
         Scalar<double>(Variant::TYPE_DOUBLE, 1.0), 0},
        {"shorter buffer first", FromBytes(Variant::TYPE_BUFFER, {9}),
         FromBytes(Variant::TYPE_BUFFER, {0, 0}), -1},
        {"buffer bytes unsigned", FromBytes(Variant::TYPE_BUFFER, {0x80}),
         FromBytes(Variant::TYPE_BUFFER, {0x7F}), 1},
        {"text by strcmp", Text("abc"), Text("abd"), -1},
        {"longer text later", Text("ab"), Text("abc"), -1},
        {"one shared text", sharedText, sharing, 0},
        {"equal arrays", ArrayOf({Scalar<int>(Variant::TYPE_INT32, 1)}),
         ArrayOf({Scalar<int>(Variant::TYPE_INT32, 1)}), 0},
        {"shorter array first", ArrayOf({Scalar<int>(Variant::TYPE_INT32, 1)}),
         ArrayOf({Scalar<int>(Variant::TYPE_INT32, 1), Scalar<int>(Variant::TYPE_INT32, 0)}), -1},
    };
    for (const OrderRow& row : rows)
    {
        EXPECT_EQ(row.a.Compare(row.b), row.compare) << row.name;
        EXPECT_EQ(row.b.Compare(row.a), -row.compare) << row.name << " (reversed)";
    }
}

struct TextRow
{
    const char* name;
    VariantEx value;
    const char* text;
};

TEST(VariantEx, OneLineFormsFollowTheKind)
{
    const TextRow rows[] = {
        {"empty", VariantEx(), "<empty>"},
        {"bool 2", Scalar<std::uint8_t>(Variant::TYPE_BOOL, 2), "true"},
        {"bool 0", Scalar<std::uint8_t>(Variant::TYPE_BOOL, 0), "false"},
        {"int8 -1", Scalar<std::int8_t>(Variant::TYPE_INT8, -1), "-1 (0xFFFFFFFF)"},
        {"int8 5", Scalar<std::int8_t>(Variant::TYPE_INT8, 5), "5 (0x05)"},
        {"uint8 200", Scalar<std::uint8_t>(Variant::TYPE_UINT8, 200), "200 (0xC8)"},
        {"int16 -2", Scalar<std::int16_t>(Variant::TYPE_INT16, -2), "-2 (0xFFFFFFFE)"},
        {"uint16 40000", Scalar<std::uint16_t>(Variant::TYPE_UINT16, 40000), "40000 (0x9C40)"},
        {"int32 255", Scalar<std::int32_t>(Variant::TYPE_INT32, 255), "255 (0x000000FF)"},
        {"uint32 max", Scalar<std::uint32_t>(Variant::TYPE_UINT32, 0xFFFFFFFFu), "4294967295 (0xFFFFFFFF)"},
        {"float 1.5", Scalar<float>(Variant::TYPE_FLOAT, 1.5f), "1.500000"},
        {"double 2.25", Scalar<double>(Variant::TYPE_DOUBLE, 2.25), "2.250000"},
        {"int64 -5", Scalar<std::int64_t>(Variant::TYPE_INT64, -5), "-5 (0xFFFFFFFFFFFFFFFB)"},
        {"uint64 255", Scalar<std::uint64_t>(Variant::TYPE_UINT64, 255), "FF"},
        {"text", Text("a b"), "a b"},
        {"empty array", ArrayOf({}), "<empty array>"},
    };
    for (const TextRow& row : rows)
    {
        EXPECT_STREQ(row.value.GetString(-1).CStr(), row.text) << row.name;
        EXPECT_STREQ(row.value.ToString().CStr(), row.text) << row.name;
    }

    // A Buffer shows the address of its bytes, not the bytes.
    const VariantEx buffer = FromBytes(Variant::TYPE_BUFFER, {1, 2});
    std::size_t size = 0;
    char hex[32];
    std::snprintf(
        hex, sizeof(hex), "%llX",
        static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(buffer.GetConstPointer(size))));
    EXPECT_STREQ(buffer.GetString(-1).CStr(), hex);
}

TEST(VariantEx, FloatTextStaysInTheCLocale)
{
    TestSupport::ScopedThreadLocale locale;
    if (!locale.IsActive())
    {
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    }
    ASSERT_DOUBLE_EQ(std::strtod("1,5", nullptr), 1.5) << "the test locale is not in effect";
    EXPECT_STREQ(Scalar<float>(Variant::TYPE_FLOAT, 1.5f).GetString(-1).CStr(), "1.500000");
    EXPECT_STREQ(Scalar<double>(Variant::TYPE_DOUBLE, 2.25).GetString(-1).CStr(), "2.250000");
    EXPECT_DOUBLE_EQ(Text("1.5").GetDouble(), 1.5);
}

TEST(VariantEx, ArraysListTheirElementsIndented)
{
    const VariantEx nested = ArrayOf(
        {Scalar<int>(Variant::TYPE_INT32, 1), ArrayOf({Scalar<int>(Variant::TYPE_INT32, 2), Text("x")})});
    const char* listing = "array(2):\n"
                          "  [0] 1 (0x00000001)\n"
                          "  [1] array(2):\n"
                          "    [0] 2 (0x00000002)\n"
                          "    [1] x";
    EXPECT_STREQ(nested.GetArrayString(0).CStr(), listing);
    EXPECT_STREQ(nested.GetString(-1).CStr(), listing);
    EXPECT_STREQ(nested.ToString().CStr(), listing);

    const VariantEx seven = ArrayOf({Scalar<int>(Variant::TYPE_INT32, 7)});
    EXPECT_STREQ(seven.GetArrayString(1).CStr(), "array(1):\n    [0] 7 (0x00000007)");
    EXPECT_STREQ(seven.GetString(1).CStr(), "array(1):\n    [0] 7 (0x00000007)");
    EXPECT_STREQ(ArrayOf({}).GetArrayString(3).CStr(), "<empty array>");
    EXPECT_STREQ(Text("plain").GetArrayString(2).CStr(), "plain");
}

// Levels nested Arrays, the innermost holding the record inner; built by
// hand, since nesting by SetArray copies the whole value once per level.
VariantEx Nested(std::size_t levels, const Bytes& inner)
{
    Bytes bytes;
    for (std::size_t level = 0; level < levels; ++level)
    {
        const std::uint32_t total = static_cast<std::uint32_t>(12 * (levels - level) + inner.size());
        const Bytes header = Record(total, 1, Variant::TYPE_ARRAY, {});
        bytes.insert(bytes.end(), header.begin(), header.end());
    }
    bytes.insert(bytes.end(), inner.begin(), inner.end());
    VariantEx v;
    EXPECT_EQ(v.Deserialize(bytes.data(), bytes.size()), 0);
    return v;
}

// The listing of Arrays of one element each, levels deep, whose innermost
// element reads tail.
std::string NestedListing(std::size_t levels, const std::string& tail)
{
    std::string text = "array(1):";
    for (std::size_t level = 1; level <= levels; ++level)
    {
        text += "\n" + std::string(2 * level, ' ') + "[0] " + (level < levels ? "array(1):" : tail);
    }
    return text;
}

const Bytes kInt32Seven = Record(16, 1, Variant::TYPE_INT32, {7, 0, 0, 0});

TEST(VariantEx, TextFormsListSixtyFourLevelsAndMarkDeeperArrays)
{
    // Within the limit the listing is the usual one.
    EXPECT_EQ(std::string(Nested(64, kInt32Seven).ToString().CStr()), NestedListing(64, "7 (0x00000007)"));
    // One level more: the 65th Array is the marker, at the line of its index.
    const std::string marked = NestedListing(64, "<nesting too deep>");
    const VariantEx deeper = Nested(65, kInt32Seven);
    EXPECT_EQ(std::string(deeper.ToString().CStr()), marked);
    EXPECT_EQ(std::string(deeper.GetString(-1).CStr()), marked);
    EXPECT_EQ(std::string(deeper.GetArrayString(0).CStr()), marked);
    const std::string xml = deeper.GetXMLString().CStr();
    EXPECT_EQ(xml.substr(xml.size() - 28), "[0] &lt;nesting too deep&gt;");

    // A peer's 240 KB record nesting 20,000 Arrays gives the same bounded text
    // and stays within the stack.
    const VariantEx hostile = Nested(19999, Record(12, 1, Variant::TYPE_ARRAY, {}));
    std::size_t size = 0;
    hostile.GetConstPointer(size);
    EXPECT_EQ(size, 12u * 19999);
    EXPECT_EQ(std::string(hostile.ToString().CStr()), marked);
    EXPECT_EQ(std::string(hostile.GetXMLString().CStr()).size(), marked.size() + 6);
}

TEST(VariantEx, ArraysPastSixtyFourLevelsOrderByTheirBytes)
{
    const Bytes minusOne = Record(16, 1, Variant::TYPE_INT32, {0xFF, 0xFF, 0xFF, 0xFF});
    const Bytes plusOne = Record(16, 1, Variant::TYPE_INT32, {1, 0, 0, 0});
    // Within the limit the innermost elements order as numbers: -1 first.
    EXPECT_EQ(Nested(64, minusOne).Compare(Nested(64, plusOne)), -1);
    EXPECT_EQ(Nested(64, plusOne).Compare(Nested(64, minusOne)), 1);
    // The 65th Array orders by its bytes: 01 before FF.
    EXPECT_EQ(Nested(65, minusOne).Compare(Nested(65, plusOne)), 1);
    EXPECT_EQ(Nested(65, plusOne).Compare(Nested(65, minusOne)), -1);
    EXPECT_EQ(Nested(65, plusOne).Compare(Nested(65, plusOne)), 0);

    // Deep records compare without walking them: the shorter one first.
    const Bytes empty = Record(12, 1, Variant::TYPE_ARRAY, {});
    const VariantEx deep = Nested(20000, empty);
    const VariantEx deeper = Nested(20001, empty);
    EXPECT_EQ(deep.Compare(deeper), -1);
    EXPECT_EQ(deeper.Compare(deep), 1);
    EXPECT_EQ(deep.Compare(Nested(20000, empty)), 0);
}

TEST(VariantEx, XmlFormEscapesTheFiveCharacters)
{
    EXPECT_STREQ(Text("a<b & 'c'").GetXMLString().CStr(), "a&lt;b &amp; &apos;c&apos;");
    EXPECT_STREQ(Text("\"q\" > \xC3\xA9").GetXMLString().CStr(), "&quot;q&quot; &gt; \xC3\xA9");
    EXPECT_STREQ(VariantEx().GetXMLString().CStr(), "&lt;empty&gt;");
}

TEST(VariantEx, StringTextSharesThePayloadOnlyWhenItIsExactlyTheText)
{
    VariantEx v = Text("abc");
    const String whole = v.GetString(-1);
    EXPECT_EQ(static_cast<const void*>(whole.CStr()), v.GetBuffer()->GetRawPtr());

    // A NUL written inside the payload: the text is copied, the payload kept.
    static_cast<char*>(v.GetBuffer()->GetRawPtr())[1] = '\0';
    const String cut = v.GetString(-1);
    EXPECT_STREQ(cut.CStr(), "a");
    EXPECT_NE(static_cast<const void*>(cut.CStr()), v.GetBuffer()->GetRawPtr());
    std::size_t size = 0;
    v.GetConstPointer(size);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(v.GetBuffer()->GetSizeBytes(), 4u);
}

} // namespace
