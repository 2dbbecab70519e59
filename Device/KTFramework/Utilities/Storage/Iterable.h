// The container family's interfaces: the iterable, modifiable and array
// interfaces and the iterators that walk any of them through opaque handles.
// KT::Array<T> (Array.h) and the raw-byte arrays (ArrayBuffer.h,
// ConstRCPtrArray.h) implement them. Containers own their elements; an iterator
// borrows its container, which must outlive it. Nothing here takes a lock: a
// container shared between threads is guarded by its owner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "KTFramework/Defs/Result.h"

namespace KT
{

template <class T>
class IIterable;

// Counts and count-reporting operations of the family return a signed 64-bit
// value; a failure is one of the 32-bit result codes widened with its sign.
inline constexpr int64_t kContainerIndexOutside = RESULT_INVALID_ARGUMENT;
inline constexpr int64_t kContainerFailed = RESULT_FAILED;
// What an index search returns when nothing matches.
inline constexpr size_t kContainerNotFound = ~static_cast<size_t>(0);

enum class IteratorDirection : int
{
    Forward = 0,
    Reverse = 1,
};

namespace Detail
{
// Element access that names no element: an index past the end or a handle that
// is not an element's. Thrown rather than reading beside the storage.
[[noreturn]] inline void ThrowNoElement()
{
    throw std::out_of_range("container access outside the elements");
}

} // namespace Detail

// Read-only walk over any IIterable<T>; every move and read goes through the
// container's handle operations, so every bound is the container's.
template <class T>
class ConstIteratorT
{
public:
    ConstIteratorT(const IIterable<T>* container, void* handle, IteratorDirection direction) noexcept
        : mContainer(container), mHandle(handle), mStep(direction == IteratorDirection::Forward ? 1 : -1)
    {
    }

    void MoveNext() { mHandle = mContainer->OffsetIteratorHandle(mHandle, mStep); }
    const T& GetCurrent() const { return mContainer->GetCurrent(mHandle); }
    // The element before the move.
    const T& GetCurrentMoveNext()
    {
        void* current = mHandle;
        MoveNext();
        return mContainer->GetCurrent(current);
    }

    // Moves n steps in the iterator's direction (against it for a negative n).
    ConstIteratorT& operator+=(int64_t n)
    {
        int64_t offset;
        if (__builtin_mul_overflow(n, mStep, &offset))
        {
            offset = INT64_MAX; // only -1 * INT64_MIN overflows; the container clamps it anyway
        }
        mHandle = mContainer->OffsetIteratorHandle(mHandle, offset);
        return *this;
    }

    // Handles only: containers and directions are not compared.
    bool operator!=(const ConstIteratorT& other) const noexcept { return mHandle != other.mHandle; }
    const T& operator*() const { return GetCurrent(); }
    ConstIteratorT& operator++()
    {
        MoveNext();
        return *this;
    }

protected:
    const IIterable<T>* mContainer;
    void* mHandle;
    int64_t mStep;
};

// Walk over a non-const container, handing out modifiable elements.
template <class T>
class IteratorT : public ConstIteratorT<T>
{
public:
    IteratorT(IIterable<T>* container, void* handle, IteratorDirection direction) noexcept
        : ConstIteratorT<T>(container, handle, direction)
    {
    }

    // The container was given as non-const, so its elements may be modified.
    T& GetCurrent() const { return const_cast<T&>(ConstIteratorT<T>::GetCurrent()); }
    T& GetCurrentMoveNext() { return const_cast<T&>(ConstIteratorT<T>::GetCurrentMoveNext()); }
    IteratorT& operator+=(int n)
    {
        ConstIteratorT<T>::operator+=(static_cast<int64_t>(n));
        return *this;
    }
};

// Root of the family: a sequence walked through opaque handles. The members
// here are built on the pure ones once for every container.
template <class T>
class IIterable
{
public:
    using ConstIteratorType = ConstIteratorT<T>;
    using IteratorType = IteratorT<T>;

    IIterable() noexcept = default;
    IIterable(const IIterable&) noexcept = default;
    IIterable& operator=(const IIterable&) noexcept = default;

    bool IsEmpty() const { return GetCount() == 0; }
    size_t GetIndexOf(const T& item) const;
    bool operator==(const IIterable& other) const;

    virtual int64_t GetCount() const = 0;
    virtual int64_t GetMaxCount() const { return 0x7fffffff; }
    virtual IteratorT<T> GetBegin()
    {
        return IteratorT<T>(this, GetIteratorHandleBegin(), IteratorDirection::Forward);
    }
    virtual ConstIteratorT<T> GetBegin() const
    {
        return ConstIteratorT<T>(this, GetIteratorHandleBegin(), IteratorDirection::Forward);
    }
    virtual IteratorT<T> GetEnd()
    {
        return IteratorT<T>(this, GetIteratorHandleEnd(), IteratorDirection::Forward);
    }
    virtual ConstIteratorT<T> GetEnd() const
    {
        return ConstIteratorT<T>(this, GetIteratorHandleEnd(), IteratorDirection::Forward);
    }
    virtual IteratorT<T> GetReverseBegin()
    {
        return IteratorT<T>(this, GetReverseIteratorHandleBegin(), IteratorDirection::Reverse);
    }
    virtual ConstIteratorT<T> GetReverseBegin() const
    {
        return ConstIteratorT<T>(this, GetReverseIteratorHandleBegin(), IteratorDirection::Reverse);
    }
    virtual IteratorT<T> GetReverseEnd()
    {
        return IteratorT<T>(this, GetReverseIteratorHandleEnd(), IteratorDirection::Reverse);
    }
    virtual ConstIteratorT<T> GetReverseEnd() const
    {
        return ConstIteratorT<T>(this, GetReverseIteratorHandleEnd(), IteratorDirection::Reverse);
    }
    virtual T& GetCurrent(void* const& handle) = 0;
    virtual const T& GetCurrent(void* const& handle) const
    {
        return const_cast<IIterable*>(this)->GetCurrent(handle);
    }
    virtual const T& GetAt(size_t index) const;
    virtual T& GetAt(size_t index);
    [[nodiscard]] virtual int Swap(size_t i, size_t j);
    virtual void* OffsetIteratorHandle(void* const& handle, int64_t offset) const = 0;
    virtual void* GetIteratorHandleBegin() const = 0;
    virtual void* GetIteratorHandleEnd() const = 0;
    virtual void* GetReverseIteratorHandleBegin() const = 0;
    virtual void* GetReverseIteratorHandleEnd() const = 0;

protected:
    // Containers are destroyed through their own virtual destructors.
    ~IIterable() = default;
};

// Range-based for over a constant iterable.
template <class T>
typename IIterable<T>::ConstIteratorType begin(const IIterable<T>& container)
{
    return container.GetBegin();
}

template <class T>
typename IIterable<T>::ConstIteratorType end(const IIterable<T>& container)
{
    return container.GetEnd();
}

// Second layer: the operations that change a sequence. SetCount, Insert and
// Remove are the primitives; the others are built on them here.
template <class T>
class IIterableModifiable : public IIterable<T>
{
public:
    IIterableModifiable() noexcept = default;
    IIterableModifiable(const IIterableModifiable&) noexcept = default;
    IIterableModifiable& operator=(const IIterableModifiable&) noexcept = default;

    [[nodiscard]] virtual int Clear() { return SetCount(0) == 0 ? 0 : RESULT_FAILED; }
    [[nodiscard]] virtual int64_t InsertItem(size_t index, const T& item);
    [[nodiscard]] virtual int64_t RemoveItem(size_t index, T& out);
    [[nodiscard]] virtual int64_t Append(const IIterable<T>& source);
    [[nodiscard]] virtual int64_t AppendItem(const T& item)
    {
        return InsertItem(static_cast<size_t>(this->GetCount()), item);
    }
    [[nodiscard]] virtual int64_t RemoveLast(T& out)
    {
        return RemoveItem(static_cast<size_t>(this->GetCount()) - 1, out);
    }
    [[nodiscard]] virtual int64_t Copy(const IIterable<T>& source);
    [[nodiscard]] virtual int64_t SetCount(size_t count) = 0;
    [[nodiscard]] virtual int64_t Insert(size_t index, size_t n) = 0;
    [[nodiscard]] virtual int64_t Remove(size_t index, size_t n) = 0;

protected:
    ~IIterableModifiable() = default;
};

// Third layer: contiguous storage. A handle is an element's address; the
// sentinels are one past the last element and one before the first.
template <class T>
class IArray : public IIterableModifiable<T>
{
public:
    using IIterableModifiable<T>::GetCurrent;
    using IIterableModifiable<T>::Append;

    IArray() noexcept = default;
    IArray(const IArray&) noexcept = default;
    IArray& operator=(const IArray&) noexcept = default;

    // The element at index, tested against the count like GetAt.
    T& operator[](size_t index) { return IArray::GetAt(index); }

    T& GetCurrent(void* const& handle) override;
    const T& GetAt(size_t index) const override;
    T& GetAt(size_t index) override;
    void* OffsetIteratorHandle(void* const& handle, int64_t offset) const override;
    void* GetIteratorHandleBegin() const override;
    void* GetIteratorHandleEnd() const override;
    void* GetReverseIteratorHandleBegin() const override;
    void* GetReverseIteratorHandleEnd() const override;

    virtual T* GetPtr() = 0;
    virtual const T* GetPtr() const { return const_cast<IArray*>(this)->GetPtr(); }
    [[nodiscard]] virtual int64_t Append(const IIterableModifiable<T>& source);

protected:
    ~IArray() = default;

private:
    uintptr_t Address(size_t index) const
    {
        return reinterpret_cast<uintptr_t>(const_cast<IArray*>(this)->GetPtr()) + index * sizeof(T);
    }
};

// ---------------------------------------------------------------------------
// IIterable

template <class T>
size_t IIterable<T>::GetIndexOf(const T& item) const
{
    const uint64_t count = static_cast<uint64_t>(GetCount());
    ConstIteratorT<T> it = GetBegin();
    for (uint64_t k = 0; k < count; ++k)
    {
        if (item == it.GetCurrentMoveNext())
        {
            return static_cast<size_t>(k);
        }
    }
    return kContainerNotFound;
}

template <class T>
bool IIterable<T>::operator==(const IIterable& other) const
{
    const int64_t count = GetCount();
    if (other.GetCount() != count)
    {
        return false;
    }
    ConstIteratorT<T> theirs = other.GetBegin();
    ConstIteratorT<T> mine = GetBegin();
    for (int64_t k = 0; k < count; ++k)
    {
        const T& a = mine.GetCurrentMoveNext();
        const T& b = theirs.GetCurrentMoveNext();
        if (!(a == b))
        {
            return false;
        }
    }
    return true;
}

// The generic walk: index steps from the first element. An index at or past
// the end names no element and is refused before anything is read.
template <class T>
const T& IIterable<T>::GetAt(size_t index) const
{
    if (index >= static_cast<uint64_t>(GetCount()))
    {
        Detail::ThrowNoElement();
    }
    ConstIteratorT<T> it = GetBegin();
    for (uint64_t k = 0; k < index; ++k)
    {
        it.MoveNext();
    }
    return it.GetCurrent();
}

template <class T>
T& IIterable<T>::GetAt(size_t index)
{
    if (index >= static_cast<uint64_t>(GetCount()))
    {
        Detail::ThrowNoElement();
    }
    IteratorT<T> it = GetBegin();
    for (uint64_t k = 0; k < index; ++k)
    {
        it.MoveNext();
    }
    return it.GetCurrent();
}

template <class T>
int IIterable<T>::Swap(size_t i, size_t j)
{
    const uint64_t count = static_cast<uint64_t>(GetCount());
    if (i >= count || j >= count)
    {
        return RESULT_INVALID_ARGUMENT;
    }
    T held(GetAt(i));
    GetAt(i) = GetAt(j);
    GetAt(j) = held;
    return 0;
}

// ---------------------------------------------------------------------------
// IIterableModifiable

// The item is copied before Insert runs: it may be an element of this very
// container, whose storage the insertion moves.
template <class T>
int64_t IIterableModifiable<T>::InsertItem(size_t index, const T& item)
{
    T copy(item);
    const int64_t result = Insert(index, 1);
    if (result < 0)
    {
        return result;
    }
    this->GetAt(index) = copy;
    return result;
}

// An index at or past the end is answered like Remove's range check, before
// anything is read.
template <class T>
int64_t IIterableModifiable<T>::RemoveItem(size_t index, T& out)
{
    if (index >= static_cast<uint64_t>(this->GetCount()))
    {
        return kContainerIndexOutside;
    }
    out = this->GetAt(index);
    return Remove(index, 1);
}

// The source is walked only after SetCount, so appending a container to itself
// copies its first old elements and doubles it.
template <class T>
int64_t IIterableModifiable<T>::Append(const IIterable<T>& source)
{
    const uint64_t old = static_cast<uint64_t>(this->GetCount());
    const uint64_t total = old + static_cast<uint64_t>(source.GetCount());
    if (total <= old)
    {
        return static_cast<int64_t>(total);
    }
    if (SetCount(total) != static_cast<int64_t>(total))
    {
        return kContainerFailed;
    }
    ConstIteratorT<T> from = source.GetBegin();
    IteratorT<T> to = this->GetBegin();
    to += static_cast<int64_t>(old);
    for (uint64_t k = old; k < total; ++k)
    {
        const T& element = from.GetCurrentMoveNext();
        to.GetCurrentMoveNext() = element;
    }
    return static_cast<int64_t>(total);
}

// Copying a container onto itself keeps it as it is.
template <class T>
int64_t IIterableModifiable<T>::Copy(const IIterable<T>& source)
{
    if (&source == static_cast<const IIterable<T>*>(this))
    {
        return this->GetCount();
    }
    if (SetCount(0) < 0)
    {
        return kContainerFailed;
    }
    return Append(source);
}

// ---------------------------------------------------------------------------
// IArray

template <class T>
T& IArray<T>::GetCurrent(void* const& handle)
{
    const uintptr_t first = reinterpret_cast<uintptr_t>(GetPtr());
    const uintptr_t at = reinterpret_cast<uintptr_t>(handle);
    const uint64_t count = static_cast<uint64_t>(this->GetCount());
    if (count == 0 || at < first || (at - first) % sizeof(T) != 0 || (at - first) / sizeof(T) >= count)
    {
        Detail::ThrowNoElement();
    }
    return *static_cast<T*>(handle);
}

template <class T>
const T& IArray<T>::GetAt(size_t index) const
{
    if (index >= static_cast<uint64_t>(this->GetCount()))
    {
        Detail::ThrowNoElement();
    }
    return GetPtr()[index];
}

template <class T>
T& IArray<T>::GetAt(size_t index)
{
    if (index >= static_cast<uint64_t>(this->GetCount()))
    {
        Detail::ThrowNoElement();
    }
    return GetPtr()[index];
}

// Held between the reverse-end and the end handle; computed wide so that no
// offset can wrap around into the elements.
template <class T>
void* IArray<T>::OffsetIteratorHandle(void* const& handle, int64_t offset) const
{
    using Wide = __int128;
    const Wide candidate =
        static_cast<Wide>(reinterpret_cast<uintptr_t>(handle)) + static_cast<Wide>(offset) * sizeof(T);
    void* const low = GetReverseIteratorHandleEnd();
    void* const high = GetIteratorHandleEnd();
    if (candidate <= static_cast<Wide>(reinterpret_cast<uintptr_t>(low)))
    {
        return low;
    }
    if (candidate < static_cast<Wide>(reinterpret_cast<uintptr_t>(high)))
    {
        return reinterpret_cast<void*>(static_cast<uintptr_t>(candidate));
    }
    return high;
}

template <class T>
void* IArray<T>::GetIteratorHandleBegin() const
{
    if (this->IsEmpty())
    {
        return nullptr;
    }
    return const_cast<IArray*>(this)->GetPtr();
}

template <class T>
void* IArray<T>::GetIteratorHandleEnd() const
{
    if (this->IsEmpty())
    {
        return nullptr;
    }
    return reinterpret_cast<void*>(Address(static_cast<size_t>(this->GetCount())));
}

template <class T>
void* IArray<T>::GetReverseIteratorHandleBegin() const
{
    if (this->IsEmpty())
    {
        return nullptr;
    }
    return reinterpret_cast<void*>(Address(static_cast<size_t>(this->GetCount()) - 1));
}

// One element before the first: a sentinel address that is never read.
template <class T>
void* IArray<T>::GetReverseIteratorHandleEnd() const
{
    if (this->IsEmpty())
    {
        return nullptr;
    }
    return reinterpret_cast<void*>(Address(0) - sizeof(T));
}

// Copies through element pointers taken after SetCount, so a reallocation is
// seen and appending an array to itself doubles it.
template <class T>
int64_t IArray<T>::Append(const IIterableModifiable<T>& source)
{
    const uint64_t old = static_cast<uint64_t>(this->GetCount());
    const uint64_t total = old + static_cast<uint64_t>(source.GetCount());
    if (total <= old)
    {
        return static_cast<int64_t>(total);
    }
    if (this->SetCount(total) != static_cast<int64_t>(total))
    {
        return kContainerFailed;
    }
    T* to = GetPtr() + old;
    ConstIteratorT<T> from = source.GetBegin();
    for (uint64_t k = old; k < total; ++k)
    {
        *to = from.GetCurrentMoveNext();
        ++to;
    }
    return static_cast<int64_t>(total);
}

} // namespace KT
