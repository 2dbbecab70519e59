// NetworkPayloadPacks: the copies of small payloads that a receiver holds for
// delivery, packed side by side into shared blocks instead of two heap
// allocations each. Each copy is a KT::LIBuffer of its own size that lives in
// its block together with its bytes; a block goes back to the heap when the
// last copy in it is released and the receiver has moved on to the next one.
// Owned by one receiver, which alone fills its blocks.
//
// Why: a receiver makes such a copy for every small message held behind a
// backlog, and the delivery thread releases it. One heap buffer per copy made
// the heap, allocating on one thread and freeing on another, the slowest part
// of reading a stream of small messages.
//
// Threads: Copy runs on the receiver's thread; a copy may be released on any
// thread. A block's count of live copies is atomic; nothing else in a block is
// written after its copy is made.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "KTFramework/Utilities/Storage/Buffer.h"

class NetworkPayloadPacks
{
public:
    // The size of one block. A copy that the callback keeps after its call
    // keeps its block, as a message kept in its receive block keeps that.
    static constexpr std::size_t kBlockBytes = 16384;
    // The largest payload packed.
    static constexpr std::size_t kMostPayloadBytes = 2048;

    NetworkPayloadPacks() = default;
    NetworkPayloadPacks(const NetworkPayloadPacks&) = delete;
    NetworkPayloadPacks& operator=(const NetworkPayloadPacks&) = delete;
    // Lets go of the block being filled; the copies in it keep it.
    ~NetworkPayloadPacks();

    // A copy of size bytes (at most kMostPayloadBytes) in the block being
    // filled, or in a new one when it does not fit; throws std::bad_alloc
    // when the heap has no block.
    KT::RCPtr<KT::LIBuffer> Copy(const void* bytes, std::size_t size);

    // A block's head: the copies in it, and one more while it is filled.
    struct Block
    {
        std::atomic<std::uint32_t> live{1};
    };
    // Drops one of the block's counts; the last frees it.
    static void Release(Block* block) noexcept;

private:
    Block* mFilling = nullptr;
    std::size_t mUsed = 0;
};
