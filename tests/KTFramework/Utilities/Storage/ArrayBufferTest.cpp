#include <gtest/gtest.h>

#include <vector>

#include "KTFramework/Utilities/Storage/ArrayBuffer.h"

// Result codes that a test does not judge (set-up steps, and calls whose effect
// it checks another way) are cast to void.

using namespace KT;

namespace
{

using Numbers = ArrayBuffer<unsigned int, 1, 0>;
// The shape of a block pool's table: grows 64 entries at a time and keeps its
// block on shrinking, so stale values stay behind the count.
using PoolTable = ArrayBuffer<unsigned long, 64, 1600, true, 8, GetSystemAllocator>;

template <class A>
void Fill(A& array, std::initializer_list<unsigned int> values)
{
    static_cast<void>(array.SetCount(0));
    for (unsigned int value : values)
    {
        static_cast<void>(array.AppendItem(value));
    }
}

template <class A>
std::vector<unsigned long> Contents(const A& array)
{
    std::vector<unsigned long> values;
    for (int64_t i = 0; i < array.GetCount(); ++i)
    {
        values.push_back(array.GetAt(i));
    }
    return values;
}

RCPtr<LIBuffer> BufferOf(std::initializer_list<unsigned char> bytes)
{
    RCPtr<LIBuffer> buffer = LBufferT<1, 0>::Create(bytes.size(), 0, true);
    unsigned char* data = buffer->GetPtr<unsigned char>();
    for (unsigned char byte : bytes)
    {
        *data++ = byte;
    }
    return buffer;
}

std::vector<unsigned char> Bytes(const RCPtr<LIBuffer>& buffer, std::size_t n)
{
    const unsigned char* data = buffer->GetPtr<unsigned char>();
    return std::vector<unsigned char>(data, data + n);
}

} // namespace

TEST(ArrayBuffer, GrowthReadsZeroEvenWhereTheBlockWasKept)
{
    Numbers numbers;
    EXPECT_EQ(0, numbers.GetCount());
    EXPECT_EQ(3, numbers.SetCount(3));
    EXPECT_EQ((std::vector<unsigned long>{0, 0, 0}), Contents(numbers));

    PoolTable table;
    Fill(table, {5, 6, 7});
    EXPECT_EQ(1, table.SetCount(1));
    EXPECT_EQ(3, table.SetCount(3));
    EXPECT_EQ((std::vector<unsigned long>{5, 0, 0}), Contents(table));

    Fill(table, {5, 6, 7});
    static_cast<void>(table.SetCount(1));
    EXPECT_EQ(3, table.Insert(0, 2));
    EXPECT_EQ((std::vector<unsigned long>{0, 0, 5}), Contents(table));
}

TEST(ArrayBuffer, InsertAndRemoveCases)
{
    struct Row
    {
        const char* name;
        bool insert;
        std::size_t index, n;
        int64_t result;
        std::vector<unsigned long> after;
    } rows[] = {
        {"Insert(1, 2)", true, 1, 2, 5, {5, 0, 0, 6, 7}},
        {"Insert(3, 2)", true, 3, 2, 5, {5, 6, 7, 0, 0}},
        {"Insert(0, 1)", true, 0, 1, 4, {0, 5, 6, 7}},
        {"Insert(4, 1)", true, 4, 1, kContainerIndexOutside, {5, 6, 7}},
        {"Insert(9, 0)", true, 9, 0, 3, {5, 6, 7}},
        {"Insert(1, huge)", true, 1, SIZE_MAX, kContainerFailed, {5, 6, 7}},
        {"Remove(1, 1)", false, 1, 1, 2, {5, 7}},
        {"Remove(0, 3)", false, 0, 3, 0, {}},
        {"Remove(2, 2)", false, 2, 2, kContainerIndexOutside, {5, 6, 7}},
        {"Remove(1, huge)", false, 1, SIZE_MAX, kContainerIndexOutside, {5, 6, 7}},
        {"Remove(9, 0)", false, 9, 0, 3, {5, 6, 7}},
    };
    for (const Row& row : rows)
    {
        Numbers numbers;
        Fill(numbers, {5, 6, 7});
        PoolTable table;
        Fill(table, {5, 6, 7});
        if (row.insert)
        {
            EXPECT_EQ(row.result, numbers.Insert(row.index, row.n)) << row.name;
            EXPECT_EQ(row.result, table.Insert(row.index, row.n)) << row.name;
        }
        else
        {
            EXPECT_EQ(row.result, numbers.Remove(row.index, row.n)) << row.name;
            EXPECT_EQ(row.result, table.Remove(row.index, row.n)) << row.name;
        }
        EXPECT_EQ(row.after, Contents(numbers)) << row.name;
        EXPECT_EQ(row.after, Contents(table)) << row.name;
    }
}

TEST(ArrayBuffer, ItemOperationsReturnCounts)
{
    Numbers numbers;
    Fill(numbers, {5});
    EXPECT_EQ(2, numbers.InsertItem(0, 9));
    EXPECT_EQ((std::vector<unsigned long>{9, 5}), Contents(numbers));
    EXPECT_EQ(3, numbers.AppendItem(9));
    EXPECT_EQ(kContainerIndexOutside, numbers.InsertItem(4, 1));

    // An element of the array itself, inserted while the block moves.
    EXPECT_EQ(4, numbers.InsertItem(0, numbers.GetAt(1)));
    EXPECT_EQ((std::vector<unsigned long>{5, 9, 5, 9}), Contents(numbers));

    Fill(numbers, {5, 6});
    unsigned int out = 0;
    EXPECT_EQ(1, numbers.RemoveItem(0, out));
    EXPECT_EQ(5u, out);
    EXPECT_EQ((std::vector<unsigned long>{6}), Contents(numbers));
    out = 77;
    EXPECT_EQ(kContainerIndexOutside, numbers.RemoveItem(1, out));
    EXPECT_EQ(77u, out);
    EXPECT_EQ(0, numbers.RemoveLast(out));
    EXPECT_EQ(6u, out);
    EXPECT_EQ(kContainerIndexOutside, numbers.RemoveLast(out));
    EXPECT_EQ(6u, out);
}

TEST(ArrayBuffer, GenericAppendAndCopy)
{
    Numbers numbers;
    Fill(numbers, {1, 2});
    EXPECT_EQ(4, numbers.Append(numbers));
    EXPECT_EQ((std::vector<unsigned long>{1, 2, 1, 2}), Contents(numbers));
    EXPECT_EQ(4, numbers.Copy(numbers));
    EXPECT_EQ((std::vector<unsigned long>{1, 2, 1, 2}), Contents(numbers));

    Numbers other;
    Fill(other, {8});
    EXPECT_EQ(1, numbers.Copy(other));
    EXPECT_EQ((std::vector<unsigned long>{8}), Contents(numbers));
    EXPECT_EQ(0, numbers.Clear());
    EXPECT_TRUE(numbers.IsEmpty());
}

TEST(BufferAsArray, ViewsTheSharedBufferInPlace)
{
    BufferAsArray<unsigned char> none(RCPtr<LIBuffer>::Null);
    EXPECT_EQ(0, none.GetCount());
    EXPECT_EQ(nullptr, none.GetPtr());
    EXPECT_EQ(kContainerFailed, none.SetCount(1));
    EXPECT_EQ(0, none.SetCount(0));

    RCPtr<LIBuffer> first = BufferOf({1, 2, 3, 4, 5, 6});
    RCPtr<LIBuffer> second = BufferOf({1, 2, 3, 4, 5, 6});
    BufferAsArray<unsigned char> a(first);
    BufferAsArray<unsigned char> b(second);
    EXPECT_EQ(6, a.GetCount());
    EXPECT_EQ(2, first->GetReferenceCount());
    EXPECT_TRUE(a == b);
    b.GetAt(5) = 9;
    EXPECT_FALSE(a == b);

    RCPtr<LIBuffer> shrinking = BufferOf({1, 2, 3});
    {
        BufferAsArray<unsigned char> view(shrinking);
        EXPECT_EQ(2, view.Remove(0, 1));
    }
    EXPECT_EQ(1, shrinking->GetReferenceCount());
    EXPECT_EQ(2u, shrinking->GetSizeBytes());
    EXPECT_EQ((std::vector<unsigned char>{2, 3}), Bytes(shrinking, 2));

    RCPtr<LIBuffer> growing = BufferOf({1, 2, 3});
    BufferAsArray<unsigned char> view(growing);
    EXPECT_EQ(5, view.SetCount(5));
    EXPECT_EQ(5u, growing->GetSizeBytes());
    EXPECT_EQ((std::vector<unsigned char>{1, 2, 3}), Bytes(growing, 3));
    EXPECT_EQ(7, view.Insert(1, 2));
    EXPECT_EQ(1, view.GetAt(0));
    EXPECT_EQ(2, view.GetAt(3));
    EXPECT_EQ(kContainerIndexOutside, view.Insert(8, 1));
    EXPECT_EQ(kContainerIndexOutside, view.Remove(6, 2));
}
