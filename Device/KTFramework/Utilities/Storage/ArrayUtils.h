// Algorithms over contiguous containers of the family: an in-place sort of a
// stretch of any IArray<T>, and the ordering used with it for arrays of smart
// pointers. The caller holds whatever lock guards the array while it sorts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>

#include "KTFramework/Defs/Exceptions/ExceptionSites.h"
#include "KTFramework/Defs/Exceptions/KTException.h"
#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/Iterable.h"

namespace KT
{

namespace Detail
{
template <class T>
void SwapElements(T& a, T& b)
{
    using std::swap;
    swap(a, b);
}

// Smart pointers trade their stored pointers: no reference is taken or given
// back, and no copy-on-write step can replace an object while it is sorted.
template <class T, class P>
void SwapElements(ConstRCPtr<T, P>& a, ConstRCPtr<T, P>& b) noexcept
{
    a.SwapReference(b);
}

template <class T, class P>
void SwapElements(RCPtr<T, P>& a, RCPtr<T, P>& b) noexcept
{
    a.SwapReference(b);
}

template <class T, class Less>
void SiftDown(T* elements, size_t root, size_t count, Less& less)
{
    for (;;)
    {
        size_t child = 2 * root + 1;
        if (child >= count)
        {
            return;
        }
        if (child + 1 < count && less(elements[child], elements[child + 1]))
        {
            ++child;
        }
        if (!less(elements[root], elements[child]))
        {
            return;
        }
        SwapElements(elements[root], elements[child]);
        root = child;
    }
}
} // namespace Detail

class ArrayUtils
{
public:
    // Sorts elements first .. first + count - 1 into ascending order under less.
    // Heapsort: every index it forms is tested against the stretch, so an
    // ordering that is not a strict weak order can misorder elements but never
    // reach outside them. Not stable.
    template <class T, class Less>
    static void Sort(IArray<T>& array, uint64_t first, uint64_t count, Less less)
    {
        if (count < 2)
        {
            return;
        }
        const uint64_t total = static_cast<uint64_t>(array.GetCount());
        if (first > total || count > total - first)
        {
            ThrowException<std::out_of_range>(ExceptionSites::kArrayUtilsSortRange);
        }
        T* const elements = array.GetPtr() + first;
        const size_t n = static_cast<size_t>(count);
        for (size_t root = n / 2; root-- > 0;)
        {
            Detail::SiftDown(elements, root, n, less);
        }
        for (size_t end = n - 1; end > 0; --end)
        {
            Detail::SwapElements(elements[0], elements[end]);
            Detail::SiftDown(elements, 0, end, less);
        }
    }
};

// Orders smart pointers by the objects they designate; equivalent objects fall
// back on the addresses of the two smart pointers themselves.
template <class T>
class StableLessDerefFunctor
{
public:
    bool operator()(const T& a, const T& b) const
    {
        if (*a < *b)
        {
            return true;
        }
        if (*b < *a)
        {
            return false;
        }
        return reinterpret_cast<uintptr_t>(&a) < reinterpret_cast<uintptr_t>(&b);
    }
};

} // namespace KT
