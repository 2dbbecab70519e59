// Blocks for the objects of one final class T that one thread makes and another
// frees at a high rate (a connection's receiver makes a delivery job per
// message, a pool's worker ends it), used as T's operator new and delete. Each
// thread keeps the free blocks it has in a cache of its own, allocates from
// it and frees into it without a lock; only batches of Batch blocks move
// between a thread's cache and a shared stock, under the stock's lock, so the
// lock is taken once per batch of blocks rather than twice per object. Blocks
// never go back to the heap.
//
// LockT is the stock's lock (a class with Lock and Unlock, such as
// KT::FastMutex), given by the user as ReuseAllocator's is, so that storage does
// not depend on the threading classes. The stock is made on first use and never
// destroyed, and a thread hands its cache to the stock when it ends; blocks
// freed after that (by static destructors, say) go to the stock directly. So
// objects freed during process exit, or on a thread that never allocates,
// always find a place.
//     using XBlocks = ThreadCachedBlocks<X, FastMutex>;
//     void* operator new(std::size_t size) { return XBlocks::Alloc(size); }
//     void operator delete(void* p) noexcept { XBlocks::Free(p); }
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>

#include "Platform/ThreadAnnotations.h"

namespace KT
{

template <class T, class LockT, std::size_t Batch = 32>
class ThreadCachedBlocks
{
    static_assert(Batch > 0, "blocks move in batches of at least one");

public:
    // Storage for one T; throws std::bad_alloc when the heap has nothing.
    static void* Alloc(std::size_t size);
    // Takes back what Alloc gave; null does nothing.
    static void Free(void* p) noexcept;

private:
    // A free block: the next block of its chain and, in a batch's first
    // block, the next batch and the batch's length. Blocks start on a cache
    // line, so that an object that fits one line touches one.
    union alignas(64) Block
    {
        struct
        {
            Block* next;
            Block* nextBatch;
            std::size_t batchCount;
        } link;
        alignas(T) unsigned char storage[sizeof(T)];
    };

    // A list of blocks: whole batches in the stock, a thread's free blocks in
    // its cache.
    struct Chain
    {
        Block* head = nullptr;
        std::size_t count = 0;
    };

    // The batches no thread holds, linked through their first blocks.
    struct Stock
    {
        LockT lock;
        Block* batches GUARDED_BY(lock) = nullptr;
    };

    // A thread's cache. Trivially destructible, so that it stays usable after
    // the thread's destructors have run; Closer hands it to the stock then.
    struct Cache
    {
        Chain chain;
        bool registered = false; // Closer is armed
        bool closed = false;     // the thread is ending: frees go to the stock
    };

    struct Closer
    {
        ~Closer();
    };

    static Stock& SharedStock();
    static Cache& ThisThread();
    static void PutBatch(Chain chain) noexcept;
    static Chain TakeBatch() noexcept;
};

// ---------------------------------------------------------------------------

template <class T, class LockT, std::size_t Batch>
typename ThreadCachedBlocks<T, LockT, Batch>::Stock& ThreadCachedBlocks<T, LockT, Batch>::SharedStock()
{
    static Stock* const stock = new Stock;
    return *stock;
}

template <class T, class LockT, std::size_t Batch>
typename ThreadCachedBlocks<T, LockT, Batch>::Cache& ThreadCachedBlocks<T, LockT, Batch>::ThisThread()
{
    static thread_local Cache cache;
    if (!cache.registered)
    {
        // A thread_local with a destructor is registered for the thread's end
        // at its first use.
        static thread_local Closer closer;
        static_cast<void>(&closer);
        cache.registered = true;
    }
    return cache;
}

template <class T, class LockT, std::size_t Batch>
ThreadCachedBlocks<T, LockT, Batch>::Closer::~Closer()
{
    Cache& cache = ThisThread();
    cache.closed = true;
    if (cache.chain.head != nullptr)
    {
        PutBatch(cache.chain);
        cache.chain = Chain();
    }
}

template <class T, class LockT, std::size_t Batch>
void ThreadCachedBlocks<T, LockT, Batch>::PutBatch(Chain chain) noexcept
{
    Stock& stock = SharedStock();
    stock.lock.Lock();
    chain.head->link.nextBatch = stock.batches;
    chain.head->link.batchCount = chain.count;
    stock.batches = chain.head;
    stock.lock.Unlock();
}

template <class T, class LockT, std::size_t Batch>
typename ThreadCachedBlocks<T, LockT, Batch>::Chain ThreadCachedBlocks<T, LockT, Batch>::TakeBatch() noexcept
{
    Stock& stock = SharedStock();
    Chain chain;
    stock.lock.Lock();
    chain.head = stock.batches;
    if (chain.head != nullptr)
    {
        stock.batches = chain.head->link.nextBatch;
        chain.count = chain.head->link.batchCount;
    }
    stock.lock.Unlock();
    return chain;
}

template <class T, class LockT, std::size_t Batch>
void* ThreadCachedBlocks<T, LockT, Batch>::Alloc(std::size_t size)
{
    static_assert(std::is_final_v<T>, "every object of the class has the class's size");
    static_cast<void>(size);
    Cache& cache = ThisThread();
    if (cache.chain.head == nullptr && !cache.closed)
    {
        cache.chain = TakeBatch();
    }
    if (cache.chain.head == nullptr)
    {
        return ::operator new (sizeof(Block), std::align_val_t{alignof(Block)});
    }
    Block* const block = cache.chain.head;
    cache.chain.head = block->link.next;
    --cache.chain.count;
    return block;
}

template <class T, class LockT, std::size_t Batch>
void ThreadCachedBlocks<T, LockT, Batch>::Free(void* p) noexcept
{
    if (p == nullptr)
    {
        return;
    }
    Block* const block = static_cast<Block*>(p);
    Cache& cache = ThisThread();
    if (cache.closed)
    {
        block->link.next = nullptr;
        PutBatch(Chain{block, 1});
        return;
    }
    block->link.next = cache.chain.head;
    cache.chain.head = block;
    ++cache.chain.count;
    if (cache.chain.count < 2 * Batch)
    {
        return;
    }
    // The newest Batch blocks stay; the older ones go to the stock as a batch.
    Block* last = cache.chain.head;
    for (std::size_t i = 1; i < Batch; ++i)
    {
        last = last->link.next;
    }
    Chain older{last->link.next, cache.chain.count - Batch};
    last->link.next = nullptr;
    cache.chain.count = Batch;
    PutBatch(older);
}

} // namespace KT
