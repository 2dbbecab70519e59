#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KTFramework/Utilities/Storage/Array.h"
#include "KTFramework/Utilities/Storage/Iterable.h"

// Result codes that a test does not judge (set-up steps, and calls whose effect
// it checks another way) are cast to void.

using namespace KT;

namespace
{

// A modifiable iterable that is not an array: handles are positions, so only
// the generic members of the two upper layers reach its elements. SetCount can
// be told to refuse counts above a limit, and calls to it are counted.
template <class T>
class LoggedSequence : public IIterableModifiable<T>
{
public:
    LoggedSequence(std::initializer_list<T> elements) : mElements(elements) {}
    virtual ~LoggedSequence() = default;

    int64_t GetCount() const override { return static_cast<int64_t>(mElements.size()); }
    T& GetCurrent(void* const& handle) override
    {
        const int64_t position = Position(handle);
        if (position < 0 || position >= GetCount())
        {
            throw std::logic_error("read at a sentinel");
        }
        return mElements[static_cast<size_t>(position)];
    }
    void* OffsetIteratorHandle(void* const& handle, int64_t offset) const override
    {
        int64_t position = Position(handle) + offset;
        position = std::max<int64_t>(-1, std::min(position, GetCount()));
        return Handle(position);
    }
    void* GetIteratorHandleBegin() const override { return Handle(0); }
    void* GetIteratorHandleEnd() const override { return Handle(GetCount()); }
    void* GetReverseIteratorHandleBegin() const override { return Handle(GetCount() - 1); }
    void* GetReverseIteratorHandleEnd() const override { return Handle(-1); }

    int64_t SetCount(size_t count) override
    {
        ++mSetCountCalls;
        if (count > mLimit || mRefuseAll)
        {
            return kContainerFailed;
        }
        mElements.resize(count);
        return GetCount();
    }
    // Reallocates on every insertion, so a reference into the old storage dies.
    int64_t Insert(size_t index, size_t n) override
    {
        if (index > mElements.size())
        {
            return kContainerIndexOutside;
        }
        std::vector<T> moved;
        moved.reserve(mElements.size() + n + 8);
        moved.insert(moved.end(), mElements.begin(), mElements.begin() + index);
        moved.insert(moved.end(), n, T{});
        moved.insert(moved.end(), mElements.begin() + index, mElements.end());
        mElements.swap(moved);
        return GetCount();
    }
    int64_t Remove(size_t index, size_t n) override
    {
        if (index > mElements.size() || n > mElements.size() - index)
        {
            return kContainerIndexOutside;
        }
        mElements.erase(mElements.begin() + index, mElements.begin() + index + n);
        return GetCount();
    }

    std::vector<T> mElements;
    size_t mLimit = 1000;
    bool mRefuseAll = false;
    int mSetCountCalls = 0;

private:
    // Empty sequences give equal begin and end handles: positions are shifted
    // so that -1 (reverse end) is a handle too.
    static void* Handle(int64_t position) { return reinterpret_cast<void*>(position + 2); }
    static int64_t Position(void* handle) { return reinterpret_cast<intptr_t>(handle) - 2; }
};

using Sequence = LoggedSequence<std::string>;

// An array whose SetCount refuses counts above a limit.
class RefusingArray : public Array<int>
{
public:
    int64_t SetCount(size_t count) override
    {
        return count > mLimit ? kContainerFailed : Array<int>::SetCount(count);
    }
    size_t mLimit = 2;
};

// The elements met by a walk from a begin iterator to its end iterator.
template <class T>
std::vector<T> Walk(const IIterable<T>& container, bool reverse)
{
    std::vector<T> seen;
    auto it = reverse ? container.GetReverseBegin() : container.GetBegin();
    const auto stop = reverse ? container.GetReverseEnd() : container.GetEnd();
    while (it != stop)
    {
        seen.push_back(it.GetCurrentMoveNext());
    }
    return seen;
}

Array<unsigned int> MakeArray(std::initializer_list<unsigned int> values)
{
    Array<unsigned int> array;
    for (unsigned int value : values)
    {
        static_cast<void>(array.AppendItem(value));
    }
    return array;
}

std::vector<unsigned int> Contents(const Array<unsigned int>& array)
{
    return Walk<unsigned int>(array, false);
}

using Strings = std::vector<std::string>;

} // namespace

TEST(IIterable, ReadersWalkBothWays)
{
    Sequence empty{};
    EXPECT_EQ(0x7fffffff, empty.GetMaxCount());
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_FALSE(empty.GetBegin() != empty.GetEnd());
    EXPECT_FALSE(empty.GetReverseBegin() != empty.GetReverseEnd());

    Sequence abc{"a", "b", "c"};
    EXPECT_FALSE(abc.IsEmpty());
    EXPECT_EQ((Strings{"a", "b", "c"}), Walk<std::string>(abc, false));
    EXPECT_EQ((Strings{"c", "b", "a"}), Walk<std::string>(abc, true));
    EXPECT_EQ("c", abc.GetAt(2));
    EXPECT_THROW(abc.GetAt(3), std::out_of_range);
    const Sequence& constant = abc;
    EXPECT_THROW(constant.GetAt(3), std::out_of_range);
}

TEST(IIterable, SwapChecksBothIndexes)
{
    struct Row
    {
        const char* name;
        size_t i, j;
        int result;
        Strings after;
    } rows[] = {
        {"0 and count", 0, 3, RESULT_INVALID_ARGUMENT, {"a", "b", "c"}},
        {"count and 0", 3, 0, RESULT_INVALID_ARGUMENT, {"a", "b", "c"}},
        {"same index", 1, 1, 0, {"a", "b", "c"}},
        {"ends", 0, 2, 0, {"c", "b", "a"}},
    };
    for (const Row& row : rows)
    {
        Sequence abc{"a", "b", "c"};
        EXPECT_EQ(row.result, abc.Swap(row.i, row.j)) << row.name;
        EXPECT_EQ(row.after, abc.mElements) << row.name;
    }
}

TEST(IIterable, SearchAndEquality)
{
    Sequence twice{"x", "y", "x"};
    EXPECT_EQ(0u, twice.GetIndexOf("x"));
    EXPECT_EQ(1u, twice.GetIndexOf("y"));
    EXPECT_EQ(kContainerNotFound, twice.GetIndexOf("z"));
    EXPECT_EQ(kContainerNotFound, Sequence{}.GetIndexOf("x"));

    EXPECT_TRUE((Sequence{"1", "2"} == Sequence{"1", "2"}));
    EXPECT_FALSE((Sequence{"1", "2"} == Sequence{"1", "2", "3"}));
    EXPECT_FALSE((Sequence{"1", "2"} == Sequence{"2", "1"}));
    EXPECT_TRUE((Sequence{} == Sequence{}));
}

TEST(IIterableModifiable, GenericMembers)
{
    Sequence ab{"a", "b"};
    EXPECT_EQ(0, ab.Clear());
    EXPECT_TRUE(ab.mElements.empty());
    EXPECT_EQ(0, ab.Clear());
    ab.mElements = {"a"};
    ab.mRefuseAll = true;
    EXPECT_EQ(RESULT_FAILED, ab.Clear());
    EXPECT_EQ((Strings{"a"}), ab.mElements);

    struct InsertRow
    {
        size_t index;
        int64_t result;
        Strings after;
    } inserts[] = {
        {0, 3, {"x", "a", "b"}},
        {2, 3, {"a", "b", "x"}},
        {3, kContainerIndexOutside, {"a", "b"}},
    };
    for (const InsertRow& row : inserts)
    {
        Sequence s{"a", "b"};
        EXPECT_EQ(row.result, s.InsertItem(row.index, "x")) << "index " << row.index;
        EXPECT_EQ(row.after, s.mElements) << "index " << row.index;
    }

    Sequence a{"a"};
    EXPECT_EQ(2, a.AppendItem("x"));
    EXPECT_EQ((Strings{"a", "x"}), a.mElements);

    Sequence abc{"a", "b", "c"};
    std::string out = "old";
    EXPECT_EQ(2, abc.RemoveItem(1, out));
    EXPECT_EQ("b", out);
    EXPECT_EQ((Strings{"a", "c"}), abc.mElements);
    out = "old";
    EXPECT_EQ(kContainerIndexOutside, abc.RemoveItem(2, out));
    EXPECT_EQ("old", out);

    EXPECT_EQ(1, abc.RemoveLast(out));
    EXPECT_EQ("c", out);
    EXPECT_EQ((Strings{"a"}), abc.mElements);
    Sequence empty{};
    out = "old";
    EXPECT_EQ(kContainerIndexOutside, empty.RemoveLast(out));
    EXPECT_EQ("old", out);
}

TEST(IIterableModifiable, InsertItemCopiesAnElementOfItsOwnBeforeStorageMoves)
{
    Sequence s{"first element, long enough to live on the heap", "b"};
    EXPECT_EQ(3, s.InsertItem(2, s.mElements[0]));
    EXPECT_EQ(s.mElements[0], s.mElements[2]);
}

TEST(IIterableModifiable, AppendAndCopy)
{
    Sequence a{"a"};
    Sequence xy{"x", "y"};
    EXPECT_EQ(3, a.Append(xy));
    EXPECT_EQ((Strings{"a", "x", "y"}), a.mElements);

    Sequence ab{"a", "b"};
    EXPECT_EQ(2, ab.Append(Sequence{}));
    EXPECT_EQ(0, ab.mSetCountCalls);

    EXPECT_EQ(4, ab.Append(ab));
    EXPECT_EQ((Strings{"a", "b", "a", "b"}), ab.mElements);

    Sequence refusing{"a"};
    refusing.mLimit = 2;
    EXPECT_EQ(kContainerFailed, refusing.Append(xy));
    EXPECT_EQ((Strings{"a"}), refusing.mElements);

    Sequence abc{"a", "b", "c"};
    EXPECT_EQ(2, abc.Copy(xy));
    EXPECT_EQ((Strings{"x", "y"}), abc.mElements);
    EXPECT_EQ(0, abc.Copy(Sequence{}));
    EXPECT_TRUE(abc.mElements.empty());

    Sequence self{"s", "t"};
    EXPECT_EQ(2, self.Copy(self));
    EXPECT_EQ((Strings{"s", "t"}), self.mElements);

    refusing.mElements = {"a", "b", "c"};
    EXPECT_EQ(kContainerFailed, refusing.Copy(Sequence{"1", "2", "3"}));
    EXPECT_TRUE(refusing.mElements.empty());
}

TEST(ConstIteratorT, StepsThroughTheContainer)
{
    Array<unsigned int> abc = MakeArray({1, 2, 3});
    ConstIteratorT<unsigned int> it = static_cast<const Array<unsigned int>&>(abc).GetBegin();
    EXPECT_EQ(1u, it.GetCurrentMoveNext());
    EXPECT_EQ(2u, *it);
    it += 0;
    EXPECT_EQ(2u, it.GetCurrent());
    it += -1;
    EXPECT_EQ(1u, it.GetCurrent());
    it += 10;
    EXPECT_FALSE(it != abc.GetEnd());

    ConstIteratorT<unsigned int> back = static_cast<const Array<unsigned int>&>(abc).GetReverseBegin();
    back += 2;
    EXPECT_EQ(1u, back.GetCurrent());
    back += INT64_MIN;
    EXPECT_FALSE(back != abc.GetEnd());

    IteratorT<unsigned int> writer = abc.GetBegin();
    writer += 1;
    writer.GetCurrentMoveNext() = 20;
    writer.GetCurrent() = 30;
    EXPECT_EQ((std::vector<unsigned int>{1, 20, 30}), Contents(abc));

    unsigned int sum = 0;
    const IIterable<unsigned int>& iterable = abc;
    for (unsigned int value : iterable)
    {
        sum += value;
    }
    EXPECT_EQ(51u, sum);

    // Two empty containers both have null handles: their iterators are equal.
    Array<unsigned int> none, other;
    EXPECT_FALSE(none.GetBegin() != other.GetEnd());
}

TEST(IArray, HandlesAndClamping)
{
    Array<unsigned int> empty;
    EXPECT_EQ(nullptr, empty.GetIteratorHandleBegin());
    EXPECT_EQ(nullptr, empty.GetIteratorHandleEnd());
    EXPECT_EQ(nullptr, empty.GetReverseIteratorHandleBegin());
    EXPECT_EQ(nullptr, empty.GetReverseIteratorHandleEnd());
    void* none = nullptr;
    EXPECT_EQ(nullptr, empty.OffsetIteratorHandle(none, 1));
    EXPECT_EQ(nullptr, empty.OffsetIteratorHandle(none, -1));

    Array<unsigned int> one = MakeArray({7});
    unsigned int* p = one.GetPtr();
    EXPECT_EQ(p, one.GetIteratorHandleBegin());
    EXPECT_EQ(p, one.GetReverseIteratorHandleBegin());
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) + 4, reinterpret_cast<uintptr_t>(one.GetIteratorHandleEnd()));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) - 4,
              reinterpret_cast<uintptr_t>(one.GetReverseIteratorHandleEnd()));

    Array<unsigned int> abc = MakeArray({1, 2, 3});
    void* const begin = abc.GetIteratorHandleBegin();
    void* const end = abc.GetIteratorHandleEnd();
    void* const rbegin = abc.GetReverseIteratorHandleBegin();
    void* const rend = abc.GetReverseIteratorHandleEnd();
    unsigned int* const b = abc.GetPtr() + 1;
    struct Row
    {
        const char* name;
        void* from;
        int64_t offset;
        void* expected;
    } rows[] = {
        {"begin + 1", begin, 1, b},
        {"reverse begin - 1", rbegin, -1, b},
        {"begin + 5", begin, 5, end},
        {"begin - 2", begin, -2, rend},
        {"end + 1", end, 1, end},
        {"reverse end - 1", rend, -1, rend},
        {"begin + huge", begin, INT64_MAX, end},
        {"begin - huge", begin, INT64_MIN, rend},
    };
    for (const Row& row : rows)
    {
        EXPECT_EQ(row.expected, abc.OffsetIteratorHandle(row.from, row.offset)) << row.name;
    }

    EXPECT_EQ(2u, abc.GetAt(1));
    EXPECT_EQ(3u, abc[2]);
    EXPECT_EQ(static_cast<const Array<unsigned int>&>(abc).GetPtr(), abc.GetPtr());
    // Sentinels name no element.
    EXPECT_THROW(abc.GetCurrent(end), std::out_of_range);
    EXPECT_THROW(abc.GetCurrent(rend), std::out_of_range);
    EXPECT_THROW(abc[3], std::out_of_range);
}

TEST(IArray, AppendThroughElementPointers)
{
    Array<unsigned int> a = MakeArray({1});
    Array<unsigned int> xy = MakeArray({8, 9});
    EXPECT_EQ(3, a.Append(xy));
    EXPECT_EQ((std::vector<unsigned int>{1, 8, 9}), Contents(a));

    Array<unsigned int> ab = MakeArray({1, 2});
    EXPECT_EQ(2, ab.Append(Array<unsigned int>()));
    EXPECT_EQ(4, ab.Append(ab));
    EXPECT_EQ((std::vector<unsigned int>{1, 2, 1, 2}), Contents(ab));

    // Reallocation while doubling must not leave the source reading freed storage.
    Array<std::string> words;
    static_cast<void>(words.AppendItem("a string long enough to need its own heap block"));
    for (int round = 0; round < 5; ++round)
    {
        EXPECT_EQ(2 << round, words.Append(words));
    }
    EXPECT_EQ(kContainerNotFound, words.GetIndexOf("other"));
    EXPECT_EQ(0u, words.GetIndexOf("a string long enough to need its own heap block"));

    RefusingArray refusing;
    static_cast<void>(refusing.AppendItem(5));
    Array<int> three;
    static_cast<void>(three.SetCount(3));
    EXPECT_EQ(kContainerFailed, refusing.Append(three));
    EXPECT_EQ(1, refusing.GetCount());
    EXPECT_EQ(5, refusing.GetAt(0));
}

TEST(Array, CountsAndPointer)
{
    Array<unsigned int> array;
    EXPECT_EQ(0, array.GetCount());
    EXPECT_EQ(nullptr, array.GetPtr());
    EXPECT_EQ(3, array.SetCount(3));
    EXPECT_EQ((std::vector<unsigned int>{0, 0, 0}), Contents(array));
    array.GetAt(0) = 4;
    EXPECT_EQ(1, array.SetCount(1));
    EXPECT_EQ((std::vector<unsigned int>{4}), Contents(array));
    EXPECT_EQ(0, array.SetCount(0));
    EXPECT_EQ(nullptr, array.GetPtr());
}

TEST(Array, InsertAndRemoveRanges)
{
    struct Row
    {
        const char* name;
        bool insert;
        std::initializer_list<unsigned int> before;
        size_t index, n;
        int64_t result;
        std::vector<unsigned int> after;
    } rows[] = {
        {"Insert(1, 2) on [a, b]", true, {1, 2}, 1, 2, 4, {1, 0, 0, 2}},
        {"Insert(2, 0) on [a, b]", true, {1, 2}, 2, 0, 2, {1, 2}},
        {"Insert(3, 1) on [a, b]", true, {1, 2}, 3, 1, kContainerIndexOutside, {1, 2}},
        {"Remove(1, 1) on [a, b, c]", false, {1, 2, 3}, 1, 1, 2, {1, 3}},
        {"Remove(1, 2) on [a, b, c]", false, {1, 2, 3}, 1, 2, 1, {1}},
        {"Remove(1, 3) on [a, b, c]", false, {1, 2, 3}, 1, 3, kContainerIndexOutside, {1, 2, 3}},
        {"Remove(3, 0) on [a, b, c]", false, {1, 2, 3}, 3, 0, kContainerIndexOutside, {1, 2, 3}},
        {"Remove(1, huge) on [a, b, c]", false, {1, 2, 3}, 1, SIZE_MAX, kContainerIndexOutside, {1, 2, 3}},
        {"Remove(0, 0) on [a]", false, {1}, 0, 0, 1, {1}},
        {"Remove(0, 0) on []", false, {}, 0, 0, kContainerIndexOutside, {}},
    };
    for (const Row& row : rows)
    {
        Array<unsigned int> array = MakeArray(row.before);
        const int64_t result = row.insert ? array.Insert(row.index, row.n) : array.Remove(row.index, row.n);
        EXPECT_EQ(row.result, result) << row.name;
        EXPECT_EQ(row.after, Contents(array)) << row.name;
    }
}

TEST(Array, ItemOperationsReturnIndexesAndCheckBounds)
{
    struct Row
    {
        size_t index;
        int64_t result;
        std::vector<unsigned int> after;
    } rows[] = {
        {0, 0, {9, 1, 2}},
        {2, 2, {1, 2, 9}},
        {3, kContainerIndexOutside, {1, 2}},
    };
    for (const Row& row : rows)
    {
        Array<unsigned int> array = MakeArray({1, 2});
        EXPECT_EQ(row.result, array.InsertItem(row.index, 9)) << "index " << row.index;
        EXPECT_EQ(row.after, Contents(array)) << "index " << row.index;
    }

    Array<unsigned int> ab = MakeArray({1, 2});
    EXPECT_EQ(2, ab.AppendItem(3));

    Array<unsigned int> abc = MakeArray({1, 2, 3});
    unsigned int out = 0;
    EXPECT_EQ(2, abc.RemoveItem(1, out));
    EXPECT_EQ(2u, out);
    EXPECT_EQ((std::vector<unsigned int>{1, 3}), Contents(abc));
    out = 77;
    EXPECT_THROW(static_cast<void>(abc.RemoveItem(2, out)), std::out_of_range);
    EXPECT_EQ(77u, out);
    EXPECT_EQ((std::vector<unsigned int>{1, 3}), Contents(abc));
    EXPECT_EQ(3u, abc.GetAt(1));
    EXPECT_THROW(abc.GetAt(2), std::out_of_range);

    Array<unsigned int> empty;
    EXPECT_THROW(static_cast<void>(empty.RemoveLast(out)), std::out_of_range);
    EXPECT_EQ(0, empty.Clear());

    Array<std::string> words;
    static_cast<void>(words.AppendItem("the first element, kept apart from the small-string buffer"));
    for (int i = 0; i < 8; ++i)
    {
        static_cast<void>(words.InsertItem(0, words.GetAt(words.GetCount() - 1)));
    }
    EXPECT_EQ(0, words.Swap(0, 8));
    EXPECT_EQ(words.GetAt(0), words.GetAt(8));
}

TEST(Array, CopiesAreIndependent)
{
    Array<std::string> words;
    static_cast<void>(words.AppendItem("one"));
    static_cast<void>(words.AppendItem("two"));
    Array<std::string> copy(words);
    copy.GetAt(0) = "changed";
    EXPECT_EQ("one", words.GetAt(0));
    EXPECT_EQ(2, copy.GetCount());

    Array<std::string>& alias = copy;
    copy = alias;
    EXPECT_EQ("changed", copy.GetAt(0));
    EXPECT_EQ(2, copy.Copy(copy));
    EXPECT_EQ("two", copy.GetAt(1));
}
