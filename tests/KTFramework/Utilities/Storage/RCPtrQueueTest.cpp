#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KTFramework/Utilities/Storage/RCPtrQueue.h"

using namespace KT;

namespace
{

class LItem : public virtual LRefCountedObject
{
public:
    LItem(int value, int* destroyed) : mValue(value), mDestroyed(destroyed) {}
    ~LItem() override
    {
        if (mDestroyed != nullptr)
        {
            ++*mDestroyed;
        }
    }

    int mValue;
    int* mDestroyed;
};

// Counts how often the queue takes and gives back its lock, and the deepest nesting.
class CountingLock
{
public:
    void Lock()
    {
        ++mLocks;
        ++mDepth;
        if (mDepth > mMaxDepth)
        {
            mMaxDepth = mDepth;
        }
    }
    void Unlock()
    {
        ++mUnlocks;
        --mDepth;
    }

    int mLocks = 0;
    int mUnlocks = 0;
    int mDepth = 0;
    int mMaxDepth = 0;
};

RCPtr<LItem> MakeItem(int value, int* destroyed = nullptr)
{
    return RCPtr<LItem>(new LItem(value, destroyed));
}

template <class Queue>
std::vector<int> Drain(Queue& queue)
{
    std::vector<int> values;
    while (queue.GetQueuedObjectsCount() != 0)
    {
        values.push_back(queue.Dequeue()->mValue);
    }
    return values;
}

// Number of further elements the queue takes before it reports itself full.
template <class Queue>
int RoomBeforeFull(Queue& queue, int firstValue)
{
    int added = 0;
    while (!queue.IsFull())
    {
        queue.Enqueue(MakeItem(firstValue + added));
        ++added;
    }
    return added;
}

} // namespace

TEST(RCPtrQueue, HoldsOneLessThanItsSlotsThenGrowsByOneSlotKeepingOrder)
{
    RCPtrQueue<LItem, 256, CountingLock> queue(nullptr);
    EXPECT_EQ(queue.GetQueuedObjectsCount(), 0u);
    for (int i = 0; i < 255; ++i)
    {
        EXPECT_FALSE(queue.IsFull()) << "before element " << i;
        EXPECT_EQ(queue.Enqueue(MakeItem(i)), 0);
    }
    EXPECT_TRUE(queue.IsFull());
    EXPECT_EQ(queue.Enqueue(MakeItem(255)), 0);
    // 257 slots now hold 256 elements: full again, not overwritten.
    EXPECT_TRUE(queue.IsFull());
    EXPECT_EQ(queue.GetQueuedObjectsCount(), 256u);

    std::vector<int> expected;
    for (int i = 0; i < 256; ++i)
    {
        expected.push_back(i);
    }
    EXPECT_EQ(Drain(queue), expected);
    EXPECT_EQ(RoomBeforeFull(queue, 1000), 256) << "the queue never shrinks";
}

// The two growth cases of a four-slot queue: the queued run wrapping past the last
// slot (read index 2, write index 1) and not wrapping (read 0, write 3).
TEST(RCPtrQueue, GrowthKeepsPostingOrderWhetherOrNotTheRunWraps)
{
    struct Case
    {
        const char* name;
        int consumedFirst; // elements enqueued and dequeued to move both indexes
    };
    const Case cases[] = {{"wrapping run", 2}, {"straight run", 0}};
    for (const Case& c : cases)
    {
        RCPtrQueue<LItem, 4, CountingLock> queue(nullptr);
        for (int i = 0; i < c.consumedFirst; ++i)
        {
            queue.Enqueue(MakeItem(-1));
            queue.Dequeue();
        }
        queue.Enqueue(MakeItem(1));
        queue.Enqueue(MakeItem(2));
        queue.Enqueue(MakeItem(3));
        ASSERT_TRUE(queue.IsFull()) << c.name;
        queue.Enqueue(MakeItem(4));
        EXPECT_EQ(queue.GetQueuedObjectsCount(), 4u) << c.name;
        EXPECT_EQ(Drain(queue), (std::vector<int>{1, 2, 3, 4})) << c.name;

        // Five slots now: four elements fit, and they keep their order across the wrap.
        EXPECT_EQ(RoomBeforeFull(queue, 10), 4) << c.name;
        EXPECT_EQ(Drain(queue), (std::vector<int>{10, 11, 12, 13})) << c.name;
        for (int round = 0; round < 7; ++round)
        {
            queue.Enqueue(MakeItem(20 + round));
            queue.Enqueue(MakeItem(40 + round));
            EXPECT_EQ(Drain(queue), (std::vector<int>{20 + round, 40 + round}))
                << c.name << " round " << round;
        }
    }
}

TEST(RCPtrQueue, DequeueOnAnEmptyQueueThrowsAndChangesNothing)
{
    RCPtrQueue<LItem, 4, CountingLock> queue(nullptr);
    const char* expected =
        "Runtime Error :  : Device/KTFramework/_Build/../Utilities/Storage/RCPtrQueue : Line 110";
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        try
        {
            queue.Dequeue();
            ADD_FAILURE() << "attempt " << attempt << " did not throw";
        }
        catch (const Exception<std::runtime_error>& e)
        {
            EXPECT_STREQ(e.what(), expected) << "attempt " << attempt;
        }
        EXPECT_EQ(queue.GetQueuedObjectsCount(), 0u);
        queue.Enqueue(MakeItem(7));
        EXPECT_EQ(queue.Dequeue()->mValue, 7);
    }
}

TEST(RCPtrQueue, AQueueWithoutSlotsGetsTwoAtItsFirstEnqueue)
{
    RCPtrQueue<LItem, 0, CountingLock> queue(nullptr);
    EXPECT_EQ(queue.GetQueuedObjectsCount(), 0u);
    EXPECT_FALSE(queue.IsFull());
    queue.Enqueue(MakeItem(1));
    EXPECT_TRUE(queue.IsFull()) << "two slots hold one element";
    queue.Enqueue(MakeItem(2));
    EXPECT_EQ(Drain(queue), (std::vector<int>{1, 2}));
}

TEST(RCPtrQueue, EveryQueuedObjectIsReleasedExactlyOnce)
{
    int destroyed = 0;
    {
        RCPtrQueue<LItem, 4, CountingLock> queue(nullptr);
        RCPtr<LItem> kept = MakeItem(0, &destroyed);
        queue.Enqueue(kept);
        EXPECT_EQ(kept->GetReferenceCount(), 2);
        for (int i = 1; i < 10; ++i)
        {
            queue.Enqueue(MakeItem(i, &destroyed));
        }
        RCPtr<LItem> first = queue.Dequeue();
        EXPECT_EQ(first.Get(), kept.Get());
        EXPECT_EQ(kept->GetReferenceCount(), 2) << "the queue's reference moved to the caller";
        first.SetNull();
        EXPECT_EQ(kept->GetReferenceCount(), 1);

        {
            RCPtr<LItem> second = queue.Dequeue();
            EXPECT_EQ(second->GetReferenceCount(), 1) << "the queue dropped its reference";
            EXPECT_EQ(destroyed, 0) << "the caller's reference keeps the element alive";
        }
        EXPECT_EQ(destroyed, 1);
        kept.SetNull();
        EXPECT_EQ(destroyed, 2);
    }
    EXPECT_EQ(destroyed, 10) << "the destructor releases the eight still queued, once each";
}

TEST(RCPtrQueue, TakesAndGivesBackItsLockInEveryLockedOperation)
{
    CountingLock lock;
    RCPtrQueue<LItem, 2, CountingLock> queue(&lock);
    queue.Enqueue(MakeItem(1));
    queue.Enqueue(MakeItem(2)); // grows
    EXPECT_TRUE(queue.IsFull());
    EXPECT_EQ(queue.GetQueuedObjectsCount(), 2u);
    EXPECT_EQ(queue.Dequeue()->mValue, 1);
    EXPECT_THROW(
        {
            queue.Dequeue();
            queue.Dequeue();
        },
        Exception<std::runtime_error>);
    EXPECT_EQ(lock.mLocks, 7);
    EXPECT_EQ(lock.mUnlocks, lock.mLocks) << "also on the throwing path";
    EXPECT_EQ(lock.mMaxDepth, 1) << "no operation takes the lock twice";
}
