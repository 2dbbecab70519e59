// The raw insert and remove steps that the arrays whose elements move as raw
// bytes share (ArrayBuffer, BufferAsArray, ConstRCPtrArray): a gap opened or
// closed with memmove, the count changed through the array's own resize. They
// take no lock; the array's holder guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "KTFramework/Utilities/Storage/Iterable.h"

namespace KT
{

namespace Detail
{
// Insert(index, n) of an array whose elements move as raw bytes. n = 0 answers
// the count; an index past the end, or a count past SIZE_MAX, is refused. At
// the end the array's own SetCount adds the elements and fills them as that
// array fills. Elsewhere grow(newCount) resizes keeping the content, the tail
// moves up by n, elements() giving the storage after the resize, and the gap is
// zeroed when clearGap is set. Returns the new count or a container code.
template <class Array, class Grow, class Elements>
[[nodiscard]] int64_t InsertRaw(Array& array, size_t index, size_t n, bool clearGap, Grow grow,
                                Elements elements);

// Remove(index, n) of such an array, whose count elements start at first: n = 0
// answers the count before any check; a range outside the elements is refused.
// The elements behind the range move down over it, then shrink(newCount)
// resizes.
template <class Element, class Shrink>
[[nodiscard]] int64_t RemoveRaw(Element* first, size_t count, size_t index, size_t n, Shrink shrink);
} // namespace Detail

template <class Array, class Grow, class Elements>
int64_t Detail::InsertRaw(Array& array, size_t index, size_t n, bool clearGap, Grow grow, Elements elements)
{
    const size_t count = static_cast<size_t>(array.GetCount());
    if (n == 0)
    {
        return static_cast<int64_t>(count);
    }
    if (index > count)
    {
        return kContainerIndexOutside;
    }
    if (n > SIZE_MAX - count)
    {
        return kContainerFailed;
    }
    if (index == count)
    {
        return array.SetCount(count + n);
    }
    const int64_t result = grow(count + n);
    if (result < 0)
    {
        return result;
    }
    auto* const first = elements();
    constexpr size_t kBytes = sizeof(*first);
    std::memmove(static_cast<void*>(first + index + n), first + index, (count - index) * kBytes);
    if (clearGap)
    {
        std::memset(static_cast<void*>(first + index), 0, n * kBytes);
    }
    return static_cast<int64_t>(count + n);
}

template <class Element, class Shrink>
int64_t Detail::RemoveRaw(Element* first, size_t count, size_t index, size_t n, Shrink shrink)
{
    if (n == 0)
    {
        return static_cast<int64_t>(count);
    }
    if (index > count || n > count - index)
    {
        return kContainerIndexOutside;
    }
    std::memmove(static_cast<void*>(first + index), first + index + n, (count - index - n) * sizeof(Element));
    return shrink(count - n);
}

} // namespace KT
