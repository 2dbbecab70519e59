#include "velquin/Common/CrossPlatform/Network/NetworkPayloadPacks.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace
{

// Every slot, and the block's first, starts on this boundary.
constexpr std::size_t kAlignment = alignof(std::max_align_t);
// A slot starts with its block's address, so that the copy's deallocation,
// which is given only the copy's address, finds its block.
constexpr std::size_t kSlotHeadBytes = kAlignment;

constexpr std::size_t RoundUp(std::size_t n) noexcept
{
    return (n + kAlignment - 1) / kAlignment * kAlignment;
}

// One packed copy: a window of its block, of a fixed capacity.
class LPackedPayload final : public KT::LIBuffer
{
public:
    LPackedPayload(unsigned char* data, std::size_t size) noexcept : mData(data), mSize(size), mCapacity(size)
    {
    }

    // Made only in a block's slot; the last release gives the slot back to
    // its block.
    static void* operator new(std::size_t, void* slot) noexcept { return slot; }
    static void* operator new(std::size_t) = delete;
    static void operator delete(void* object) noexcept
    {
        NetworkPayloadPacks::Block* block = nullptr;
        std::memcpy(&block, static_cast<unsigned char*>(object) - kSlotHeadBytes, sizeof(block));
        NetworkPayloadPacks::Release(block);
    }

    std::size_t GetSizeBytes() const override { return mSize; }
    // Within the copy's capacity; it cannot grow in its block.
    std::size_t SetSizeBytes(std::size_t n) override { return ResizeBytes(n); }
    std::size_t ResizeBytes(std::size_t n) override
    {
        if (n > mCapacity)
        {
            throw std::bad_alloc();
        }
        mSize = n;
        return n;
    }
    [[nodiscard]] int FillN(char value, std::size_t byteOffset, long count) override
    {
        return KT::Detail::FillBytes(*this, value, byteOffset, count);
    }
    [[nodiscard]] int FillW(unsigned short value, std::size_t byteOffset, long count) override
    {
        return KT::Detail::FillUnits(*this, value, byteOffset, count);
    }
    std::size_t GetAllocatedSize() const override { return mCapacity; }
    void* GetRawPtr() override { return mData; }

    // Copies live on the heap, as any buffer's do.
    KT::RCPtr<KT::LRefCountedObject> CreateCopy() const override
    {
        return KT::RCPtr<KT::LRefCountedObject>(CreateCopy(mSize, 0).Get());
    }
    KT::RCPtr<KT::LIBuffer> CreateCopy(std::size_t newSize, std::size_t srcOffset) const override
    {
        KT::RCPtr<KT::LIBuffer> copy = KT::LBufferT<1, 0>::Create(newSize, 0, true);
        if (srcOffset < mSize)
        {
            const std::size_t available = mSize - srcOffset;
            const std::size_t count = available < newSize ? available : newSize;
            if (count > 0)
            {
                std::memcpy(copy->GetRawPtr(), mData + srcOffset, count);
            }
        }
        return copy;
    }

private:
    unsigned char* const mData;
    std::size_t mSize;
    const std::size_t mCapacity;
};

constexpr std::size_t kFirstSlot = RoundUp(sizeof(NetworkPayloadPacks::Block));
constexpr std::size_t kObjectBytes = RoundUp(sizeof(LPackedPayload));
static_assert(alignof(LPackedPayload) <= kAlignment, "a copy starts on a slot's boundary");
static_assert(kFirstSlot + kSlotHeadBytes + kObjectBytes + NetworkPayloadPacks::kMostPayloadBytes <=
                  NetworkPayloadPacks::kBlockBytes,
              "the largest copy fits a block");

} // namespace

NetworkPayloadPacks::~NetworkPayloadPacks()
{
    if (mFilling != nullptr)
    {
        Release(mFilling);
    }
}

void NetworkPayloadPacks::Release(Block* block) noexcept
{
    // The release of every copy happens before the block is freed.
    if (block->live.fetch_sub(1, std::memory_order_acq_rel) == 1)
    {
        block->~Block();
        std::free(block);
    }
}

KT::RCPtr<KT::LIBuffer> NetworkPayloadPacks::Copy(const void* bytes, std::size_t size)
{
    const std::size_t slot = kSlotHeadBytes + kObjectBytes + RoundUp(size);
    if (mFilling == nullptr || mUsed + slot > kBlockBytes)
    {
        void* memory = std::malloc(kBlockBytes);
        if (memory == nullptr)
        {
            throw std::bad_alloc();
        }
        if (mFilling != nullptr)
        {
            Release(mFilling);
        }
        mFilling = new (memory) Block;
        mUsed = kFirstSlot;
    }
    unsigned char* const at = reinterpret_cast<unsigned char*>(mFilling) + mUsed;
    mUsed += slot;
    mFilling->live.fetch_add(1, std::memory_order_relaxed);
    std::memcpy(at, &mFilling, sizeof(mFilling));
    unsigned char* const data = at + kSlotHeadBytes + kObjectBytes;
    if (size > 0)
    {
        std::memcpy(data, bytes, size);
    }
    return KT::RCPtr<KT::LIBuffer>(new (at + kSlotHeadBytes) LPackedPayload(data, size));
}
