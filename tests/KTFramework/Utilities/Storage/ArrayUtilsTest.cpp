#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "KTFramework/Utilities/Storage/Array.h"
#include "KTFramework/Utilities/Storage/ArrayUtils.h"
#include "KTFramework/Utilities/Storage/RCPtrArray.h"

// Result codes that a test does not judge (set-up steps, and calls whose effect
// it checks another way) are cast to void.

using namespace KT;

namespace
{

// Stands in for the device in the device list: remote devices compare by their
// ID (only the left one's remoteness is looked at); others by a flag and two
// keys, larger keys first. Not a strict weak order once the kinds are mixed.
class LDeviceStandIn : public LRefCountedObject
{
public:
    static RCPtr<LDeviceStandIn> Remote(int id)
    {
        RCPtr<LDeviceStandIn> device(new LDeviceStandIn);
        device->mLocation = 1;
        device->mId = id;
        return device;
    }
    static RCPtr<LDeviceStandIn> Local(bool flag, int64_t first, int64_t second, int id)
    {
        RCPtr<LDeviceStandIn> device(new LDeviceStandIn);
        device->mFlag = flag;
        device->mFirstKey = first;
        device->mSecondKey = second;
        device->mId = id;
        return device;
    }

    bool operator<(const LDeviceStandIn& other) const
    {
        if (mLocation != 0)
        {
            return mId < other.mId;
        }
        if (mFlag != other.mFlag)
        {
            return mFlag;
        }
        return mFlag ? mFirstKey > other.mFirstKey : mSecondKey > other.mSecondKey;
    }

    int mLocation = 0;
    int mId = 0;
    bool mFlag = false;
    int64_t mFirstKey = 0;
    int64_t mSecondKey = 0;
};

using DevicePtr = RCPtr<LDeviceStandIn>;
using DeviceLess = StableLessDerefFunctor<DevicePtr>;

std::vector<int> Ids(const Array<DevicePtr>& list)
{
    std::vector<int> ids;
    for (int64_t i = 0; i < list.GetCount(); ++i)
    {
        ids.push_back(list.GetAt(i)->mId);
    }
    return ids;
}

std::vector<int> Values(const Array<int>& array)
{
    std::vector<int> values;
    for (int64_t i = 0; i < array.GetCount(); ++i)
    {
        values.push_back(array.GetAt(i));
    }
    return values;
}

Array<int> MakeInts(std::initializer_list<int> values)
{
    Array<int> array;
    for (int value : values)
    {
        static_cast<void>(array.AppendItem(value));
    }
    return array;
}

const auto kIntLess = [](int a, int b) { return a < b; };

} // namespace

TEST(ArrayUtils, SortsTheStretchOnly)
{
    struct Row
    {
        const char* name;
        std::initializer_list<int> before;
        uint64_t first, count;
        std::vector<int> after;
    } rows[] = {
        {"whole", {3, 1, 2}, 0, 3, {1, 2, 3}},
        {"elements 1 and 2", {3, 2, 1}, 1, 2, {3, 1, 2}},
        {"stretch ending at the last element", {9, 5, 4, 3}, 1, 3, {9, 3, 4, 5}},
        {"count 0 far past the end", {2, 1}, 100, 0, {2, 1}},
        {"count 1 far past the end", {2, 1}, UINT64_MAX, 1, {2, 1}},
        {"duplicates", {2, 1, 2, 1, 2}, 0, 5, {1, 1, 2, 2, 2}},
    };
    for (const Row& row : rows)
    {
        Array<int> array = MakeInts(row.before);
        ArrayUtils::Sort(array, row.first, row.count, kIntLess);
        EXPECT_EQ(row.after, Values(array)) << row.name;
    }
}

TEST(ArrayUtils, StretchPastTheEndThrowsAndMovesNothing)
{
    struct Row
    {
        uint64_t first, count;
    } rows[] = {{1, 3}, {0, 4}, {4, 2}, {2, UINT64_MAX}, {UINT64_MAX, 2}};
    for (const Row& row : rows)
    {
        Array<int> array = MakeInts({3, 2, 1});
        try
        {
            ArrayUtils::Sort(array, row.first, row.count, kIntLess);
            ADD_FAILURE() << "no exception for first " << row.first << " count " << row.count;
        }
        catch (const std::out_of_range& error)
        {
            EXPECT_STREQ("Out of Range :  : Device/KTFramework/Utilities/Storage/ArrayUtils : Line 255",
                         error.what());
        }
        EXPECT_EQ((std::vector<int>{3, 2, 1}), Values(array));
    }
}

// The device ordering is not a strict weak order, and an arbitrary ordering is
// worse: the sort must still only permute the stretch. Neighbours outside the
// stretch are guards that must come out untouched.
TEST(ArrayUtils, InconsistentOrderingsStayInsideTheStretch)
{
    std::mt19937 random(12345);
    for (int round = 0; round < 200; ++round)
    {
        const int size = 2 + round % 40;
        Array<DevicePtr> list;
        static_cast<void>(list.AppendItem(LDeviceStandIn::Remote(-1)));
        for (int i = 0; i < size; ++i)
        {
            switch (random() % 3)
            {
            case 0:
                static_cast<void>(list.AppendItem(LDeviceStandIn::Remote(i)));
                break;
            case 1:
                static_cast<void>(list.AppendItem(LDeviceStandIn::Local(true, random() % 3, 0, i)));
                break;
            default:
                static_cast<void>(list.AppendItem(LDeviceStandIn::Local(false, 0, random() % 3, i)));
                break;
            }
        }
        static_cast<void>(list.AppendItem(LDeviceStandIn::Remote(-2)));

        if (round % 2 == 0)
        {
            ArrayUtils::Sort(list, 1, size, DeviceLess());
        }
        else
        {
            ArrayUtils::Sort(list, 1, size,
                             [&random](const DevicePtr&, const DevicePtr&) { return random() % 2 == 0; });
        }

        std::vector<int> ids = Ids(list);
        ASSERT_EQ(size + 2, static_cast<int>(ids.size()));
        EXPECT_EQ(-1, ids.front()) << "round " << round;
        EXPECT_EQ(-2, ids.back()) << "round " << round;
        std::vector<int> middle(ids.begin() + 1, ids.end() - 1);
        std::sort(middle.begin(), middle.end());
        for (int i = 0; i < size; ++i)
        {
            ASSERT_EQ(i, middle[i]) << "round " << round;
        }
        for (int64_t i = 0; i < list.GetCount(); ++i)
        {
            EXPECT_EQ(1, list.GetAt(i)->GetReferenceCount()) << "round " << round;
        }
    }
}

// The device list's own shape: a pointer array sorted through its RCPtr view.
TEST(ArrayUtils, SortsAPointerArrayInPlace)
{
    RCPtrArray<LDeviceStandIn, 1, 0> list;
    for (int id : {3, 1, 2})
    {
        static_cast<void>(list.AppendItem(LDeviceStandIn::Remote(id)));
    }
    ArrayUtils::Sort<DevicePtr>(list, 0, static_cast<uint64_t>(list.GetCount()), DeviceLess());
    std::vector<int> ids;
    for (int64_t i = 0; i < list.GetCount(); ++i)
    {
        ids.push_back(list[i]->mId);
        EXPECT_EQ(1, list[i]->GetReferenceCount());
    }
    EXPECT_EQ((std::vector<int>{1, 2, 3}), ids);
    EXPECT_THROW(ArrayUtils::Sort<DevicePtr>(list, 1, 3, DeviceLess()), std::out_of_range);
}

TEST(ArrayUtils, LocalDevicesSortByFlagThenKey)
{
    Array<DevicePtr> local;
    static_cast<void>(local.AppendItem(LDeviceStandIn::Local(false, 0, 1, 1)));
    static_cast<void>(local.AppendItem(LDeviceStandIn::Local(true, 1, 0, 2)));
    static_cast<void>(local.AppendItem(LDeviceStandIn::Local(false, 0, 7, 3)));
    static_cast<void>(local.AppendItem(LDeviceStandIn::Local(true, 4, 0, 4)));
    ArrayUtils::Sort(local, 0, 4, DeviceLess());
    // Flagged first, each kind by its key, larger first.
    EXPECT_EQ((std::vector<int>{4, 2, 3, 1}), Ids(local));
}

TEST(StableLessDerefFunctor, FallsBackOnSlotAddresses)
{
    DeviceLess less;
    Array<DevicePtr> pair;
    static_cast<void>(pair.AppendItem(LDeviceStandIn::Remote(4)));
    static_cast<void>(pair.AppendItem(LDeviceStandIn::Remote(4)));
    const DevicePtr& low = pair.GetAt(0);
    const DevicePtr& high = pair.GetAt(1);
    EXPECT_FALSE(less(low, low));
    EXPECT_TRUE(less(low, high));
    EXPECT_FALSE(less(high, low));

    high->mId = 3;
    EXPECT_TRUE(less(high, low));
    EXPECT_FALSE(less(low, high));
}
