// First-in, first-out queue of shared references in a circular run of slots that
// keeps one slot empty and grows by one slot when an element arrives while it is
// full, so that posting never fails. A member of its owner, which also owns the
// optional lock; the queue holds one reference per queued element.
#pragma once

#include <cstddef>
#include <cstdint>

#include "KTFramework/Defs/Exceptions/ExceptionSites.h"
#include "KTFramework/Defs/Exceptions/KTException.h"
#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/OptionalLockGuard.h"
#include "KTFramework/Utilities/Storage/RCPtrArray.h"

namespace KT
{

// Every operation takes the lock, when there is one, for its whole duration; the
// lock must be recursive only if callers hold it around queue operations. Without
// a lock the queue is for one thread. The lock does not guard the elements.
template <class T, unsigned BlockCount, class LockT>
class RCPtrQueue
{
public:
    explicit RCPtrQueue(LockT* lock) : mSlots(BlockCount, 0), mWriteIndex(0), mReadIndex(0), mLock(lock) {}
    ~RCPtrQueue() = default;

    RCPtrQueue(const RCPtrQueue&) = delete;
    RCPtrQueue& operator=(const RCPtrQueue&) = delete;

    // Always 0: the queue grows instead of refusing.
    int Enqueue(const RCPtr<T>& item);
    // Throws the runtime-error exception of the Dequeue site on an empty queue.
    RCPtr<T> Dequeue();
    uint64_t GetQueuedObjectsCount() const;
    bool IsFull() const;

private:
    using Guard = OptionalLockGuard<LockT>;

    uint64_t GetSlotCount() const { return static_cast<uint64_t>(mSlots.GetCount()); }
    // Callers hold the lock.
    uint64_t CountLocked() const;
    bool IsFullLocked() const;
    void GrowLocked();

    // BlockCount is also the storage granule and slack: storage grows in whole
    // blocks and, as the slot count never falls, is not given back. A queue that
    // starts without slots allocates one slot at a time.
    RCPtrArray<T, (BlockCount > 0 ? BlockCount : 1), BlockCount> mSlots;
    uint64_t mWriteIndex;
    uint64_t mReadIndex;
    LockT* mLock;
};

template <class T, unsigned BlockCount, class LockT>
uint64_t RCPtrQueue<T, BlockCount, LockT>::CountLocked() const
{
    const uint64_t slotCount = GetSlotCount();
    if (slotCount == 0)
    {
        return 0;
    }
    int64_t queued = static_cast<int64_t>(mWriteIndex - mReadIndex);
    if (queued < 0)
    {
        queued += static_cast<int64_t>(slotCount);
    }
    return static_cast<uint64_t>(queued);
}

template <class T, unsigned BlockCount, class LockT>
bool RCPtrQueue<T, BlockCount, LockT>::IsFullLocked() const
{
    const uint64_t slotCount = GetSlotCount();
    return slotCount != 0 && CountLocked() == slotCount - 1;
}

template <class T, unsigned BlockCount, class LockT>
uint64_t RCPtrQueue<T, BlockCount, LockT>::GetQueuedObjectsCount() const
{
    Guard guard(mLock);
    return CountLocked();
}

// Takes the lock as well: a reader on another thread would otherwise race with a
// growing queue.
template <class T, unsigned BlockCount, class LockT>
bool RCPtrQueue<T, BlockCount, LockT>::IsFull() const
{
    Guard guard(mLock);
    return IsFullLocked();
}

// Opens one null slot at the read index: the queued run from the read index on
// moves up by one, and the slot freed in front of it lets the writer go on.
template <class T, unsigned BlockCount, class LockT>
void RCPtrQueue<T, BlockCount, LockT>::GrowLocked()
{
    if (mReadIndex < mWriteIndex)
    {
        ++mWriteIndex;
    }
    // Moves the slots without touching any reference count. The read index lies
    // inside the slots, and growing throws rather than fail.
    static_cast<void>(mSlots.Insert(static_cast<std::size_t>(mReadIndex), 1));
    mReadIndex = (mReadIndex + 1) % GetSlotCount();
}

template <class T, unsigned BlockCount, class LockT>
int RCPtrQueue<T, BlockCount, LockT>::Enqueue(const RCPtr<T>& item)
{
    Guard guard(mLock);
    if (GetSlotCount() == 0)
    {
        // Grows or throws: there is no result to look at.
        static_cast<void>(mSlots.SetCount(2));
        mWriteIndex = 0;
        mReadIndex = 0;
    }
    if (IsFullLocked())
    {
        GrowLocked();
    }
    const uint64_t target = mWriteIndex;
    mWriteIndex = (mWriteIndex + 1) % GetSlotCount();
    mSlots[static_cast<std::size_t>(target)] = item;
    return 0;
}

template <class T, unsigned BlockCount, class LockT>
RCPtr<T> RCPtrQueue<T, BlockCount, LockT>::Dequeue()
{
    RCPtr<T> result;
    Guard guard(mLock);
    if (CountLocked() == 0)
    {
        ThrowException<std::runtime_error>(ExceptionSites::kRCPtrQueueDequeue);
    }
    // The slot's reference moves to the result without touching the count.
    result.SwapReference(mSlots[static_cast<std::size_t>(mReadIndex)]);
    mReadIndex = (mReadIndex + 1) % GetSlotCount();
    return result;
}

} // namespace KT
