// KT::Array<T>: the family's array of values, kept in a vector. It owns its
// elements and takes no lock; a list shared between threads is guarded by its
// holder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "KTFramework/Utilities/Storage/Iterable.h"

namespace KT
{

// Array of values held in a vector: copied in with T's copy constructor, out
// with its assignment. Element access by index throws std::out_of_range past
// the end; InsertItem returns the new element's index.
template <class T>
class Array : public IArray<T>
{
public:
    Array() = default;
    Array(const Array& other) : IArray<T>(other), mElements(other.mElements) {}
    Array& operator=(const Array& other)
    {
        mElements = other.mElements;
        return *this;
    }
    virtual ~Array() = default;

    int64_t GetCount() const override { return static_cast<int64_t>(mElements.size()); }
    const T& GetAt(size_t index) const override { return mElements.at(index); }
    T& GetAt(size_t index) override { return mElements.at(index); }
    [[nodiscard]] int64_t InsertItem(size_t index, const T& item) override;
    [[nodiscard]] int64_t RemoveItem(size_t index, T& out) override;
    [[nodiscard]] int64_t SetCount(size_t count) override
    {
        mElements.resize(count);
        return this->GetCount();
    }
    [[nodiscard]] int64_t Insert(size_t index, size_t n) override;
    [[nodiscard]] int64_t Remove(size_t index, size_t n) override;
    // Null while empty, whatever capacity the vector keeps.
    T* GetPtr() override { return mElements.empty() ? nullptr : mElements.data(); }
    const T* GetPtr() const override { return const_cast<Array*>(this)->GetPtr(); }

private:
    std::vector<T> mElements;
};

template <class T>
int64_t Array<T>::InsertItem(size_t index, const T& item)
{
    if (index > mElements.size())
    {
        return kContainerIndexOutside;
    }
    // The vector copies an item of its own before it moves its storage.
    mElements.insert(mElements.begin() + static_cast<std::ptrdiff_t>(index), item);
    return static_cast<int64_t>(index);
}

template <class T>
int64_t Array<T>::RemoveItem(size_t index, T& out)
{
    out = this->GetAt(index);
    return this->Remove(index, 1);
}

template <class T>
int64_t Array<T>::Insert(size_t index, size_t n)
{
    if (index > mElements.size())
    {
        return kContainerIndexOutside;
    }
    const T fresh{};
    mElements.insert(mElements.begin() + static_cast<std::ptrdiff_t>(index), n, fresh);
    return this->GetCount();
}

// An index equal to the count is refused even for n = 0.
template <class T>
int64_t Array<T>::Remove(size_t index, size_t n)
{
    const size_t count = mElements.size();
    if (index >= count || n > count - index)
    {
        return kContainerIndexOutside;
    }
    const auto first = mElements.begin() + static_cast<std::ptrdiff_t>(index);
    mElements.erase(first, first + static_cast<std::ptrdiff_t>(n));
    return this->GetCount();
}

} // namespace KT
