// A list of shared objects presented as read-only smart pointers: each slot of
// the buffer is one raw pointer that is also, in place, a ConstRCPtr<T>, and a
// non-null slot owns exactly one reference to its object. Gaps are opened and
// closed by moving raw pointers, which leaves every count alone; removal hands
// the reference to the caller or releases it after its slot has left the array.
// No locks: the holder guards an array that several threads use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

#include "KTFramework/Defs/Exceptions/ExceptionSites.h"
#include "KTFramework/Defs/Exceptions/KTException.h"
#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/Buffer.h"
#include "KTFramework/Utilities/Storage/Iterable.h"
#include "KTFramework/Utilities/Storage/RawInsertRemove.h"

namespace KT
{

template <class T, unsigned int GranuleCount = 1, unsigned int SlackCount = 0>
class ConstRCPtrArray : public IArray<ConstRCPtr<T>>,
                        protected BufferT<8 * GranuleCount, 8 * SlackCount, 8, T**, GetSystemAllocator>
{
    static_assert(sizeof(ConstRCPtr<T>) == sizeof(T*) && sizeof(RCPtr<T>) == sizeof(T*),
                  "a slot is a raw pointer and a smart pointer at once");
    static_assert(sizeof(T*) == 8, "slots are 8 bytes");

protected:
    using Buffer = BufferT<8 * GranuleCount, 8 * SlackCount, 8, T**, GetSystemAllocator>;

public:
    // count null slots, with room for reserve.
    explicit ConstRCPtrArray(unsigned int count = 0, unsigned int reserve = 0)
        : Buffer(8 * static_cast<std::size_t>(count), 8 * static_cast<std::size_t>(reserve), true)
    {
    }
    ConstRCPtrArray(const ConstRCPtrArray&) = delete;
    ConstRCPtrArray& operator=(const ConstRCPtrArray&) = delete;

    int64_t GetCount() const override { return static_cast<int64_t>(Count()); }
    [[nodiscard]] int Swap(std::size_t i, std::size_t j) override;
    [[nodiscard]] int64_t InsertItem(std::size_t index, const ConstRCPtr<T>& item) override;
    [[nodiscard]] int64_t RemoveItem(std::size_t index, ConstRCPtr<T>& out) override;
    [[nodiscard]] int64_t RemoveLast(ConstRCPtr<T>& out) override;
    [[nodiscard]] int64_t SetCount(std::size_t count) override;
    [[nodiscard]] int64_t Insert(std::size_t index, std::size_t n) override;
    [[nodiscard]] int64_t Remove(std::size_t index, std::size_t n) override;
    ConstRCPtr<T>* GetPtr() override { return reinterpret_cast<ConstRCPtr<T>*>(Buffer::GetData()); }
    const ConstRCPtr<T>* GetPtr() const override
    {
        return reinterpret_cast<const ConstRCPtr<T>*>(Buffer::GetData());
    }
    // Every element is released once, first to last, as Clear would do here; a
    // release that throws ends the process. The destructor and the helpers it
    // runs make no virtual call: while this part of an object is destroyed they
    // could only reach this class's own members anyway.
    virtual ~ConstRCPtrArray() { static_cast<void>(RemoveRange(0, Count())); }

protected:
    std::size_t Count() const noexcept { return Buffer::GetSizeBytes() / sizeof(T*); }
    // Resizes to count slots keeping the content; no slot is cleared, no
    // reference taken or released.
    [[nodiscard]] int64_t SetCountInternal(std::size_t count)
    {
        if (count > SIZE_MAX / sizeof(T*))
        {
            throw std::bad_alloc();
        }
        return static_cast<int64_t>(Buffer::ResizeBytes(count * sizeof(T*)) / sizeof(T*));
    }
    // Takes out n elements at index one by one, each released after it has left
    // the array and its gap is closed; the range has been checked.
    [[nodiscard]] int64_t RemoveRange(std::size_t index, std::size_t n);
    // RemoveItem of this class, without the dispatch table.
    [[nodiscard]] int64_t RemoveSlot(std::size_t index, ConstRCPtr<T>& out);
    // Closes a gap of n slots at index without releasing anything.
    [[nodiscard]] int64_t RemoveInternal(std::size_t index, std::size_t n);
    // Exchanges the raw pointers of out and slot index: out takes the slot's
    // reference, the slot takes what out held.
    static void TakeSlot(T** slots, std::size_t index, ConstRCPtr<T>& out) noexcept
    {
        ConstRCPtr<T>& slot = *reinterpret_cast<ConstRCPtr<T>*>(slots + index);
        out.SwapReference(slot);
    }
    T** Slots() noexcept { return Buffer::GetData(); }
    // Checks Remove's whole range before anything is taken out.
    void CheckRange(std::size_t index, std::size_t n) const
    {
        const std::size_t count = Count();
        if (index > count || n > count - index)
        {
            ThrowException<std::out_of_range>(ExceptionSites::kConstRCPtrArrayRemove);
        }
    }
};

// ---------------------------------------------------------------------------

template <class T, unsigned int G, unsigned int S>
int ConstRCPtrArray<T, G, S>::Swap(std::size_t i, std::size_t j)
{
    const std::size_t count = static_cast<std::size_t>(GetCount());
    if (i >= count || j >= count)
    {
        return RESULT_INVALID_ARGUMENT;
    }
    T** const slots = Slots();
    T* const held = slots[i];
    slots[i] = slots[j];
    slots[j] = held;
    return 0;
}

template <class T, unsigned int G, unsigned int S>
int64_t ConstRCPtrArray<T, G, S>::SetCount(std::size_t count)
{
    const std::size_t old = static_cast<std::size_t>(GetCount());
    if (count < old)
    {
        return this->Remove(count, old - count);
    }
    if (count > old)
    {
        // Grows to count or throws: there is no result to look at.
        static_cast<void>(SetCountInternal(count));
        std::memset(static_cast<void*>(Slots() + old), 0, (count - old) * sizeof(T*));
    }
    return static_cast<int64_t>(count);
}

template <class T, unsigned int G, unsigned int S>
int64_t ConstRCPtrArray<T, G, S>::Insert(std::size_t index, std::size_t n)
{
    return Detail::InsertRaw(
        *this, index, n, true, [this](std::size_t count) { return SetCountInternal(count); },
        [this] { return Slots(); });
}

// Each element is released only after it has left the array and its gap is
// closed, in index order. A range that does not fit is refused before anything
// is removed.
template <class T, unsigned int G, unsigned int S>
int64_t ConstRCPtrArray<T, G, S>::Remove(std::size_t index, std::size_t n)
{
    if (n == 0)
    {
        return GetCount();
    }
    CheckRange(index, n);
    return RemoveRange(index, n);
}

template <class T, unsigned int G, unsigned int S>
int64_t ConstRCPtrArray<T, G, S>::RemoveRange(std::size_t index, std::size_t n)
{
    ConstRCPtr<T> taken;
    for (std::size_t k = 0; k < n; ++k)
    {
        // The caller checked the range, so every slot taken exists.
        static_cast<void>(RemoveSlot(index, taken));
    }
    const int64_t count = static_cast<int64_t>(Count());
    taken.SetNull();
    return count;
}

template <class T, unsigned int G, unsigned int S>
int64_t ConstRCPtrArray<T, G, S>::RemoveInternal(std::size_t index, std::size_t n)
{
    return Detail::RemoveRaw(Slots(), Count(), index, n,
                             [this](std::size_t count) { return SetCountInternal(count); });
}

// The new reference is taken before the slots move: item may be a slot of this
// very array.
template <class T, unsigned int G, unsigned int S>
int64_t ConstRCPtrArray<T, G, S>::InsertItem(std::size_t index, const ConstRCPtr<T>& item)
{
    ConstRCPtr<T> added(item.GetRaw());
    const int64_t result = this->Insert(index, 1);
    if (result < 0)
    {
        return result;
    }
    TakeSlot(Slots(), index, added);
    return static_cast<int64_t>(index);
}

template <class T, unsigned int G, unsigned int S>
int64_t ConstRCPtrArray<T, G, S>::RemoveItem(std::size_t index, ConstRCPtr<T>& out)
{
    return RemoveSlot(index, out);
}

template <class T, unsigned int G, unsigned int S>
int64_t ConstRCPtrArray<T, G, S>::RemoveSlot(std::size_t index, ConstRCPtr<T>& out)
{
    if (index >= Count())
    {
        ThrowException<std::out_of_range>(ExceptionSites::kConstRCPtrArrayRemove);
    }
    out.SetNull();
    TakeSlot(Slots(), index, out);
    // The index was checked above; a shrink cannot fail.
    static_cast<void>(RemoveInternal(index, 1));
    return static_cast<int64_t>(Count());
}

template <class T, unsigned int G, unsigned int S>
int64_t ConstRCPtrArray<T, G, S>::RemoveLast(ConstRCPtr<T>& out)
{
    out.SetNull();
    const std::size_t count = static_cast<std::size_t>(GetCount());
    if (count == 0)
    {
        return kContainerFailed;
    }
    TakeSlot(Slots(), count - 1, out);
    return this->SetCount(count - 1);
}

} // namespace KT
