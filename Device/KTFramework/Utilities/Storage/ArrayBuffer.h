// Arrays whose elements are the bytes of a byte buffer: ArrayBuffer owns its
// buffer and holds plain values (numbers, pointers); BufferAsArray views a
// shared reference-counted buffer in place, so a change of count made through
// it is seen by every holder of that buffer. Elements are moved as raw bytes,
// never constructed or destroyed. No locks: the holder guards a shared array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/Buffer.h"
#include "KTFramework/Utilities/Storage/Iterable.h"
#include "KTFramework/Utilities/Storage/RawInsertRemove.h"

namespace KT
{

// GranuleCount and SlackCount are counted in elements; the buffer gets them in
// bytes. With ZeroFill every element that SetCount or Insert adds reads 0.
// InsertItem returns the new count, not the index.
template <class T, unsigned int GranuleCount, unsigned int SlackCount, bool ZeroFill = true,
          std::size_t Alignment = 8, AllocatorGetterFn AllocatorGetter = GetSystemAllocator>
class ArrayBuffer
    : public IArray<T>,
      private BufferT<GranuleCount * sizeof(T), SlackCount * sizeof(T), Alignment, T*, AllocatorGetter>
{
    static_assert(std::is_trivially_copyable_v<T>, "array buffers move their elements as raw bytes");
    using Buffer = BufferT<GranuleCount * sizeof(T), SlackCount * sizeof(T), Alignment, T*, AllocatorGetter>;

public:
    ArrayBuffer() : Buffer(0, 0, true) {}
    ArrayBuffer(const ArrayBuffer&) = delete;
    ArrayBuffer& operator=(const ArrayBuffer&) = delete;

    int64_t GetCount() const override { return static_cast<int64_t>(Buffer::template GetSize<T>()); }
    [[nodiscard]] int64_t InsertItem(std::size_t index, const T& item) override;
    [[nodiscard]] int64_t RemoveItem(std::size_t index, T& out) override;
    [[nodiscard]] int64_t SetCount(std::size_t count) override;
    [[nodiscard]] int64_t Insert(std::size_t index, std::size_t n) override;
    [[nodiscard]] int64_t Remove(std::size_t index, std::size_t n) override;
    T* GetPtr() override { return Buffer::GetData(); }
    const T* GetPtr() const override { return Buffer::GetData(); }
    virtual ~ArrayBuffer() = default;

    // Resizes the buffer keeping its content; added elements are not cleared.
    [[nodiscard]] virtual int64_t SetCountInternal(std::size_t count)
    {
        return Buffer::template Resize<T>(count);
    }
};

// A view of a shared byte buffer as an array of T. A null buffer is an empty
// view whose count cannot change.
template <class T>
class BufferAsArray : public IArray<T>
{
    static_assert(std::is_trivially_copyable_v<T>, "a view reads the buffer's bytes in place");

public:
    explicit BufferAsArray(const RCPtr<LIBuffer>& buffer) { mBuffer = buffer; }
    BufferAsArray(const BufferAsArray&) = delete;
    BufferAsArray& operator=(const BufferAsArray&) = delete;

    int64_t GetCount() const override
    {
        return !mBuffer ? 0 : static_cast<int64_t>(mBuffer->template GetSize<T>());
    }
    // Added elements are left as the resize gives them.
    [[nodiscard]] int64_t SetCount(std::size_t count) override { return SetCountInternal(count); }
    [[nodiscard]] int64_t Insert(std::size_t index, std::size_t n) override;
    [[nodiscard]] int64_t Remove(std::size_t index, std::size_t n) override;
    T* GetPtr() override { return !mBuffer ? nullptr : mBuffer->template GetPtr<T>(); }
    virtual ~BufferAsArray() = default;

    [[nodiscard]] virtual int64_t SetCountInternal(std::size_t count);

private:
    RCPtr<LIBuffer> mBuffer;
};

// ---------------------------------------------------------------------------
// ArrayBuffer

template <class T, unsigned int G, unsigned int S, bool Z, std::size_t A, AllocatorGetterFn Get>
int64_t ArrayBuffer<T, G, S, Z, A, Get>::SetCount(std::size_t count)
{
    const std::size_t old = static_cast<std::size_t>(GetCount());
    const int64_t result = SetCountInternal(count);
    if (Z && result >= 0 && count > old)
    {
        // From the old end to the new one: a range inside the size, which the
        // fill cannot refuse.
        static_cast<void>(Buffer::FillN(0, old * sizeof(T), -1));
    }
    return result;
}

template <class T, unsigned int G, unsigned int S, bool Z, std::size_t A, AllocatorGetterFn Get>
int64_t ArrayBuffer<T, G, S, Z, A, Get>::Insert(std::size_t index, std::size_t n)
{
    return Detail::InsertRaw(
        *this, index, n, Z, [this](std::size_t count) { return SetCountInternal(count); },
        [this] { return GetPtr(); });
}

// n = 0 answers the count before any check.
template <class T, unsigned int G, unsigned int S, bool Z, std::size_t A, AllocatorGetterFn Get>
int64_t ArrayBuffer<T, G, S, Z, A, Get>::Remove(std::size_t index, std::size_t n)
{
    return Detail::RemoveRaw(GetPtr(), static_cast<std::size_t>(GetCount()), index, n,
                             [this](std::size_t count) { return SetCountInternal(count); });
}

// The item is copied first: it may be an element of this array, whose storage
// the insertion moves.
template <class T, unsigned int G, unsigned int S, bool Z, std::size_t A, AllocatorGetterFn Get>
int64_t ArrayBuffer<T, G, S, Z, A, Get>::InsertItem(std::size_t index, const T& item)
{
    const T copy = item;
    const int64_t result = Insert(index, 1);
    if (result >= 0)
    {
        GetPtr()[index] = copy;
    }
    return result;
}

template <class T, unsigned int G, unsigned int S, bool Z, std::size_t A, AllocatorGetterFn Get>
int64_t ArrayBuffer<T, G, S, Z, A, Get>::RemoveItem(std::size_t index, T& out)
{
    if (index >= static_cast<std::size_t>(GetCount()))
    {
        return kContainerIndexOutside;
    }
    out = GetPtr()[index];
    return Remove(index, 1);
}

// ---------------------------------------------------------------------------
// BufferAsArray

template <class T>
int64_t BufferAsArray<T>::SetCountInternal(std::size_t count)
{
    if (!mBuffer)
    {
        return count == 0 ? 0 : kContainerFailed;
    }
    return mBuffer->template Resize<T>(count);
}

// The gap is left as the resize gives it.
template <class T>
int64_t BufferAsArray<T>::Insert(std::size_t index, std::size_t n)
{
    return Detail::InsertRaw(
        *this, index, n, false, [this](std::size_t count) { return SetCountInternal(count); },
        [this] { return GetPtr(); });
}

template <class T>
int64_t BufferAsArray<T>::Remove(std::size_t index, std::size_t n)
{
    return Detail::RemoveRaw(GetPtr(), static_cast<std::size_t>(this->GetCount()), index, n,
                             [this](std::size_t count) { return SetCountInternal(count); });
}

} // namespace KT
