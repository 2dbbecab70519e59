// A pool of fixed-size blocks for objects of one class T, used as that class's
// operator new and operator delete. A block, once taken from the heap, stays
// with the pool: a released block's index goes on a stack and the next
// allocation reuses the most recently released block. Requests of another size
// than T's are served by the C heap.
//
// Locking: LockT is the pool's lock type (a class with Lock and Unlock, such as
// KT::FastMutex), given by the user as RCPtrQueue's is, so that storage does not
// depend on the threading classes. Built thread-safe, the pool's lock guards
// the block table and the free stack from before Free reads a header until both
// tables are left consistent; nothing that could come back into the pool runs
// under it. The heap fallback of Alloc takes no lock, and Free gives foreign
// memory back after releasing it. Built without thread safety, the pool has no
// lock and is for one thread at a time.
//
// A pooled class takes its pool from Shared(), which is built on first use and
// never destroyed, so objects released during process exit (by static
// destructors or by threads still running) never meet a destroyed pool:
//     using XPool = ReuseAllocator<X, 64, FastMutex>;
//     void* operator new(std::size_t size) { return XPool::Shared().Alloc(size); }
//     void operator delete(void* p) noexcept { XPool::Shared().Free(p); }
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "KTFramework/Utilities/Storage/ArrayBuffer.h"
#include "KTFramework/Utilities/Storage/OptionalLockGuard.h"
#include "Platform/ThreadAnnotations.h"

namespace KT
{

template <class T, int N, class LockT>
class ReuseAllocator
{
    static_assert(N > 0, "the tables grow N entries at a time");
    static_assert(alignof(T) <= 8, "a block's payload is 8-byte aligned");

public:
    // One block: its index in the block table, then the storage for one T. Each
    // block is its own allocation, so an object never moves when the tables grow.
    struct Buf
    {
        uint64_t mIndex;
        alignas(8) unsigned char mPayload[sizeof(T)];
    };
    static_assert(offsetof(Buf, mPayload) == 8, "the payload follows the 8-byte index");

    explicit ReuseAllocator(bool threadSafe);
    ReuseAllocator(const ReuseAllocator&) = delete;
    ReuseAllocator& operator=(const ReuseAllocator&) = delete;
    // Deletes every block, also blocks still in use: nothing may be allocated or
    // freed while or after it runs.
    virtual ~ReuseAllocator();

    // Storage for one T, or for size bytes from the C heap when size is not T's.
    // Throws std::bad_alloc when the heap has nothing; the pool is then as it was.
    void* Alloc(std::size_t size);
    // Takes back what Alloc gave; null does nothing.
    void Free(void* p) noexcept;

    static ReuseAllocator& Shared()
    {
        static ReuseAllocator* const pool = new ReuseAllocator(true);
        return *pool;
    }

private:
    friend struct ReuseAllocatorProbe;

    // Memory of another size than T's carries a header too, so that Free can
    // read in front of every pointer it is given. Its index is one that no
    // block has; 16 bytes keep the C heap's alignment for the caller.
    static constexpr std::size_t kForeignHeader = 16;
    static constexpr uint64_t kForeignIndex = ~static_cast<uint64_t>(0);

    // Holds the pool's lock, when it has one, for a scope.
    using Guard = OptionalLockGuard<LockT>;

    static unsigned char* PayloadOf(Buf* block) noexcept
    {
        return reinterpret_cast<unsigned char*>(block) + 8;
    }

    ArrayBuffer<Buf*, N, 1600, true, 8, GetSystemAllocator> mBlocks GUARDED_BY(mLock);
    ArrayBuffer<unsigned long, N, 1600, true, 8, GetSystemAllocator> mFree GUARDED_BY(mLock);
    LockT* mLock;
};

// ---------------------------------------------------------------------------

// Setting each count to 1 and back leaves storage for the first N entries. The
// tables' SetCount grows or throws, and shrinking cannot fail, so no count
// here has a result to look at.
template <class T, int N, class LockT>
ReuseAllocator<T, N, LockT>::ReuseAllocator(bool threadSafe) : mLock(nullptr)
{
    static_cast<void>(mBlocks.SetCount(1));
    static_cast<void>(mBlocks.SetCount(0));
    static_cast<void>(mFree.SetCount(1));
    static_cast<void>(mFree.SetCount(0));
    if (threadSafe)
    {
        mLock = new LockT;
    }
}

template <class T, int N, class LockT>
ReuseAllocator<T, N, LockT>::~ReuseAllocator()
{
    Buf** const blocks = mBlocks.GetPtr();
    for (std::size_t i = static_cast<std::size_t>(mBlocks.GetCount()); i-- > 0;)
    {
        if (blocks[i] != nullptr)
        {
            ::operator delete(blocks[i]);
        }
    }
    static_cast<void>(mBlocks.SetCount(0));
    static_cast<void>(mFree.SetCount(0));
    delete mLock;
}

template <class T, int N, class LockT>
void* ReuseAllocator<T, N, LockT>::Alloc(std::size_t size)
{
    if (size != sizeof(T))
    {
        if (size > SIZE_MAX - kForeignHeader)
        {
            throw std::bad_alloc();
        }
        unsigned char* const base = static_cast<unsigned char*>(std::malloc(kForeignHeader + size));
        if (base == nullptr)
        {
            throw std::bad_alloc();
        }
        std::memcpy(base + kForeignHeader - 8, &kForeignIndex, sizeof(kForeignIndex));
        return base + kForeignHeader;
    }

    Guard guard(mLock);
    const std::size_t released = static_cast<std::size_t>(mFree.GetCount());
    if (released > 0)
    {
        const std::size_t index = static_cast<std::size_t>(mFree.GetPtr()[released - 1]);
        static_cast<void>(mFree.SetCount(released - 1)); // a shrink
        return PayloadOf(mBlocks.GetPtr()[index]);
    }
    // The block is made before the table grows, and given back if the table
    // cannot grow: no entry ever stands without its block.
    const std::size_t index = static_cast<std::size_t>(mBlocks.GetCount());
    Buf* const block = static_cast<Buf*>(::operator new(sizeof(Buf)));
    try
    {
        static_cast<void>(mBlocks.SetCount(index + 1)); // grows or throws
    }
    catch (...)
    {
        ::operator delete(block);
        throw;
    }
    block->mIndex = index;
    mBlocks.GetPtr()[index] = block;
    return PayloadOf(block);
}

template <class T, int N, class LockT>
void ReuseAllocator<T, N, LockT>::Free(void* p) noexcept
{
    if (p == nullptr)
    {
        return;
    }
    unsigned char* const payload = static_cast<unsigned char*>(p);
    uint64_t index;
    {
        Guard guard(mLock);
        std::memcpy(&index, payload - 8, sizeof(index));
        const uint64_t count = static_cast<uint64_t>(mBlocks.GetCount());
        if (index < count && PayloadOf(mBlocks.GetPtr()[index]) == payload)
        {
            try
            {
                static_cast<void>(mFree.AppendItem(static_cast<unsigned long>(index))); // grows or throws
            }
            catch (const std::bad_alloc&)
            {
                // The stack could not grow: the block stays the pool's but is not
                // reused. Losing a block is better than handing one out twice.
            }
            return;
        }
    }
    std::free(payload - kForeignHeader);
}

} // namespace KT
