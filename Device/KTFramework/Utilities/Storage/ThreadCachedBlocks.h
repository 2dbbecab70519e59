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
//
// Under AddressSanitizer the object's part of a free block is poisoned, so that
// a use after free is reported instead of reading or writing the block's next
// object, and the block's link lies beyond that part: the class never reads
// poisoned memory, and LeakSanitizer, which does not look for pointers there,
// still follows the chains. Other builds are unchanged.
//     using XBlocks = ThreadCachedBlocks<X, FastMutex>;
//     void* operator new(std::size_t size) { return XBlocks::Alloc(size); }
//     void operator delete(void* p) noexcept { XBlocks::Free(p); }
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>

#include "Platform/ThreadAnnotations.h"

#if defined(__SANITIZE_ADDRESS__)
#define KT_THREAD_CACHED_BLOCKS_POISON 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KT_THREAD_CACHED_BLOCKS_POISON 1
#endif
#endif
#if defined(KT_THREAD_CACHED_BLOCKS_POISON)
#include <sanitizer/asan_interface.h>
#endif

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
#if defined(KT_THREAD_CACHED_BLOCKS_POISON)
    struct Block;
#else
    union Block;
#endif

    // What a free block holds: the next block of its chain and, in a batch's
    // first block, the next batch and the batch's length.
    struct Link
    {
        Block* next;
        Block* nextBatch;
        std::size_t batchCount;
    };

    // Blocks start on a cache line, so that an object that fits one line
    // touches one. The object starts the block.
#if defined(KT_THREAD_CACHED_BLOCKS_POISON)
    struct alignas(64) Block
    {
        alignas(T) unsigned char storage[sizeof(T)];
        Link link;
    };
#else
    union alignas(64) Block
    {
        Link link;
        alignas(T) unsigned char storage[sizeof(T)];
    };
#endif

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

    // The object's part of a block is poisoned while the block is free
    // (no-ops without AddressSanitizer).
    static void PoisonObject(Block* block) noexcept;
    static void UnpoisonObject(Block* block) noexcept;

    static Stock& SharedStock();
    static Cache& ThisThread();
    static void PutBatch(Chain chain) noexcept;
    static Chain TakeBatch() noexcept;
};

// ---------------------------------------------------------------------------

template <class T, class LockT, std::size_t Batch>
void ThreadCachedBlocks<T, LockT, Batch>::PoisonObject(Block* block) noexcept
{
#if defined(KT_THREAD_CACHED_BLOCKS_POISON)
    // Up to the link, so that no tail of the object shares an unpoisoned
    // granule with the padding before it.
    ASAN_POISON_MEMORY_REGION(block, reinterpret_cast<char*>(&block->link) - reinterpret_cast<char*>(block));
#else
    static_cast<void>(block);
#endif
}

template <class T, class LockT, std::size_t Batch>
void ThreadCachedBlocks<T, LockT, Batch>::UnpoisonObject(Block* block) noexcept
{
#if defined(KT_THREAD_CACHED_BLOCKS_POISON)
    ASAN_UNPOISON_MEMORY_REGION(block,
                                reinterpret_cast<char*>(&block->link) - reinterpret_cast<char*>(block));
#else
    static_cast<void>(block);
#endif
}

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
    UnpoisonObject(block);
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
    PoisonObject(block);
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
