// Byte buffers. IBuffer is the interface of a contiguous, resizable block of
// bytes; BufferT its one implementation, whose template parameters fix how
// allocations are rounded and how much spare allocation a shrink may leave;
// LIBuffer / LBufferT are the reference-counted forms, handed around as
// RCPtr<LIBuffer>. A buffer takes no lock: one thread uses it at a time, or its
// owner guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/Allocator.h"

namespace KT
{

class IBuffer
{
public:
    virtual std::size_t GetSizeBytes() const = 0;
    // The content does not survive.
    virtual std::size_t SetSizeBytes(std::size_t n) = 0;
    // The content that fits survives.
    virtual std::size_t ResizeBytes(std::size_t n) = 0;
    // A negative count fills up to the end; RESULT_INVALID_ARGUMENT when the range
    // does not lie within the size.
    [[nodiscard]] virtual int FillN(char value, std::size_t byteOffset, long count) = 0;
    [[nodiscard]] virtual int FillW(unsigned short value, std::size_t byteOffset, long count) = 0;
    virtual std::size_t GetAllocatedSize() const = 0;
    virtual void* GetRawPtr() = 0;

    template <class T>
    T* GetPtr()
    {
        return static_cast<T*>(GetRawPtr());
    }
    template <class T>
    const T* GetPtr() const
    {
        return static_cast<const T*>(const_cast<IBuffer*>(this)->GetRawPtr());
    }

    // Null unless [byteOffset, byteOffset + sizeof(T)) lies within the size. The
    // offset counts bytes, not elements.
    template <class T>
    T* GetPtr(std::size_t byteOffset)
    {
        const std::size_t size = GetSizeBytes();
        if (byteOffset > size || sizeof(T) > size - byteOffset)
        {
            return nullptr;
        }
        return reinterpret_cast<T*>(static_cast<unsigned char*>(GetRawPtr()) + byteOffset);
    }
    template <class T>
    const T* GetPtr(std::size_t byteOffset) const
    {
        return const_cast<IBuffer*>(this)->GetPtr<T>(byteOffset);
    }

    template <class T>
    std::size_t GetSize() const
    {
        return GetSizeBytes() / sizeof(T);
    }

    template <class T>
    long Resize(std::size_t n)
    {
        return static_cast<long>(ResizeBytes(ElementBytes<T>(n)) / sizeof(T));
    }

    template <class T>
    long SetSize(std::size_t n)
    {
        return static_cast<long>(SetSizeBytes(ElementBytes<T>(n)) / sizeof(T));
    }

protected:
    ~IBuffer() = default;

private:
    // n elements of T in bytes; a count whose byte size cannot be represented can
    // never be allocated.
    template <class T>
    static std::size_t ElementBytes(std::size_t n)
    {
        if (n > SIZE_MAX / sizeof(T))
        {
            throw std::bad_alloc();
        }
        return n * sizeof(T);
    }
};

namespace Detail
{
// The fills measure and address the buffer only through the virtual size and
// pointer, so a class that presents a window of its block fills within it.
[[nodiscard]] int FillBytes(IBuffer& buffer, char value, std::size_t byteOffset, long count);
[[nodiscard]] int FillUnits(IBuffer& buffer, unsigned short value, std::size_t byteOffset, long count);
} // namespace Detail

// Allocations are multiples of Granule bytes; a shrink keeps the block while the
// surplus is at most the larger of MaxSlack and Granule - 1. Alignment changes
// nothing: the data starts at the start of the block. PtrT is the type under
// which the data is held. An allocation that fails throws std::bad_alloc and
// leaves the buffer as it was.
template <std::size_t Granule, std::size_t MaxSlack, std::size_t Alignment = 8, class PtrT = char*,
          AllocatorGetterFn AllocatorGetter = GetSystemAllocator>
class BufferT : public virtual IBuffer
{
    static_assert(Granule > 0, "a granule of 0 bytes cannot round");

public:
    static constexpr std::size_t kGranule = Granule;
    static constexpr std::size_t kMaxSlack = MaxSlack;
    // The largest surplus a shrink leaves in place.
    static constexpr std::size_t kLimit = MaxSlack > Granule - 1 ? MaxSlack : Granule - 1;

    explicit BufferT(std::size_t size = 0, std::size_t reserve = 0, bool zeroFill = true);
    BufferT(const BufferT&) = delete;
    BufferT& operator=(const BufferT&) = delete;

    std::size_t GetSizeBytes() const override { return mSize; }
    std::size_t SetSizeBytes(std::size_t n) override;
    std::size_t ResizeBytes(std::size_t n) override;
    [[nodiscard]] int FillN(char value, std::size_t byteOffset, long count) override
    {
        return Detail::FillBytes(*this, value, byteOffset, count);
    }
    [[nodiscard]] int FillW(unsigned short value, std::size_t byteOffset, long count) override
    {
        return Detail::FillUnits(*this, value, byteOffset, count);
    }
    std::size_t GetAllocatedSize() const override { return mAllocated; }
    void* GetRawPtr() override { return const_cast<void*>(static_cast<const void*>(mData)); }
    virtual ~BufferT();

    // The data under its own pointer type (null while nothing is allocated).
    PtrT GetData() const noexcept { return mData; }

    // n rounded up to the next multiple of Granule.
    static std::size_t RoundUp(std::size_t n)
    {
        const std::size_t remainder = n % Granule;
        if (remainder == 0)
        {
            return n;
        }
        if (n > SIZE_MAX - (Granule - remainder))
        {
            throw std::bad_alloc();
        }
        return n + (Granule - remainder);
    }

protected:
    PtrT mData = nullptr;
    std::size_t mSize = 0;
    // The block as the allocator returned it. After a shrink to 0 beyond the limit
    // it may be non-null while mAllocated is 0: whether the buffer holds an
    // allocation is told by mAllocated, whether a block must be freed by mBlock.
    void* mBlock = nullptr;
    std::size_t mAllocated = 0;

private:
    // Takes block, of allocated bytes, as the buffer's block; the data starts at
    // its start.
    void HoldBlock(void* block, std::size_t allocated) noexcept
    {
        mBlock = block;
        mData = static_cast<PtrT>(block);
        mAllocated = allocated;
    }
    void ReleaseBlock() noexcept
    {
        if (mBlock != nullptr)
        {
            AllocatorGetter()->Free(mBlock);
        }
        mData = nullptr;
        mSize = 0;
        mBlock = nullptr;
        mAllocated = 0;
    }
};

// A buffer that is also a reference-counted object.
class LIBuffer : public virtual IBuffer, public virtual LRefCountedObject
{
public:
    // The whole content in a new buffer; what copy-on-write calls.
    RCPtr<LRefCountedObject> CreateCopy() const override = 0;
    // A new zero-filled buffer of newSize bytes holding the source's bytes from
    // srcOffset on, as far as both reach.
    virtual RCPtr<LIBuffer> CreateCopy(std::size_t newSize, std::size_t srcOffset) const = 0;
    ~LIBuffer() override = default;
};

template <std::size_t Granule, std::size_t MaxSlack, std::size_t Alignment = 8, class PtrT = char*,
          AllocatorGetterFn AllocatorGetter = GetSystemAllocator>
class LBufferT : public BufferT<Granule, MaxSlack, Alignment, PtrT, AllocatorGetter>, public LIBuffer
{
    using Base = BufferT<Granule, MaxSlack, Alignment, PtrT, AllocatorGetter>;

public:
    LBufferT(std::size_t size, std::size_t reserve, bool zeroFill) : Base(size, reserve, zeroFill) {}

    static RCPtr<LIBuffer> Create(std::size_t size, std::size_t reserve, bool zeroFill)
    {
        return RCPtr<LIBuffer>(new LBufferT(size, reserve, zeroFill));
    }

    RCPtr<LRefCountedObject> CreateCopy() const override;
    RCPtr<LIBuffer> CreateCopy(std::size_t newSize, std::size_t srcOffset) const override;
    ~LBufferT() override = default;
};

// ---------------------------------------------------------------------------

template <std::size_t G, std::size_t S, std::size_t A, class P, AllocatorGetterFn Get>
BufferT<G, S, A, P, Get>::BufferT(std::size_t size, std::size_t reserve, bool zeroFill)
{
    if (reserve > size)
    {
        void* block = Get()->Alloc(reserve);
        if (block == nullptr)
        {
            throw std::bad_alloc();
        }
        HoldBlock(block, reserve);
    }
    try
    {
        BufferT::ResizeBytes(size);
    }
    catch (...)
    {
        // A constructor that throws runs no destructor: give the reserve back here.
        ReleaseBlock();
        throw;
    }
    if (size > 0 && zeroFill)
    {
        std::memset(mBlock, 0, size);
    }
}

template <std::size_t G, std::size_t S, std::size_t A, class P, AllocatorGetterFn Get>
BufferT<G, S, A, P, Get>::~BufferT()
{
    ReleaseBlock();
}

template <std::size_t G, std::size_t S, std::size_t A, class P, AllocatorGetterFn Get>
std::size_t BufferT<G, S, A, P, Get>::SetSizeBytes(std::size_t n)
{
    if (n == 0)
    {
        ReleaseBlock();
        return 0;
    }
    const std::size_t rounded = RoundUp(n);
    if (rounded != mAllocated)
    {
        // The new block is taken before the old one goes, so a failure keeps the
        // buffer exactly as it was.
        void* block = Get()->Alloc(rounded);
        if (block == nullptr)
        {
            throw std::bad_alloc();
        }
        if (mBlock != nullptr)
        {
            Get()->Free(mBlock);
        }
        HoldBlock(block, rounded);
    }
    mSize = n;
    return n;
}

template <std::size_t G, std::size_t S, std::size_t A, class P, AllocatorGetterFn Get>
std::size_t BufferT<G, S, A, P, Get>::ResizeBytes(std::size_t n)
{
    if (mAllocated == 0)
    {
        return BufferT::SetSizeBytes(n);
    }
    if (mAllocated >= n && mAllocated - n <= kLimit)
    {
        mSize = n;
        return n;
    }
    const std::size_t rounded = RoundUp(n);
    void* block = Get()->Realloc(mBlock, rounded);
    // A failed Realloc leaves the old block allocated; a Realloc to 0 bytes may
    // rightly answer null, having freed the block.
    if (block == nullptr && rounded != 0)
    {
        throw std::bad_alloc();
    }
    HoldBlock(block, rounded);
    mSize = n;
    return n;
}

template <std::size_t G, std::size_t S, std::size_t A, class P, AllocatorGetterFn Get>
RCPtr<LRefCountedObject> LBufferT<G, S, A, P, Get>::CreateCopy() const
{
    IBuffer& source = const_cast<LBufferT&>(*this);
    const std::size_t size = source.GetSizeBytes();
    RCPtr<LIBuffer> copy = Create(size, 0, true);
    const std::size_t copied = copy->GetSizeBytes();
    if (copied > 0)
    {
        std::memcpy(copy->GetRawPtr(), source.GetRawPtr(), copied);
    }
    return RCPtr<LRefCountedObject>(copy.Get());
}

template <std::size_t G, std::size_t S, std::size_t A, class P, AllocatorGetterFn Get>
RCPtr<LIBuffer> LBufferT<G, S, A, P, Get>::CreateCopy(std::size_t newSize, std::size_t srcOffset) const
{
    IBuffer& source = const_cast<LBufferT&>(*this);
    RCPtr<LIBuffer> copy = Create(newSize, 0, true);
    const std::size_t size = source.GetSizeBytes();
    if (srcOffset < size)
    {
        const std::size_t available = size - srcOffset;
        const std::size_t count = available < newSize ? available : newSize;
        if (count > 0)
        {
            std::memcpy(copy->GetRawPtr(), static_cast<const unsigned char*>(source.GetRawPtr()) + srcOffset,
                        count);
        }
    }
    return copy;
}

} // namespace KT
