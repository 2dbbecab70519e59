// A list of shared objects presented as RCPtr<T>. It is a ConstRCPtrArray and
// answers through both element types: the slots are the same, one reference
// per non-null slot. Remove, SetCount and the destructor release through the
// ConstRCPtr<T> view. No locks: the holder guards an array that several
// threads use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "KTFramework/Defs/Exceptions/ExceptionSites.h"
#include "KTFramework/Defs/Exceptions/KTException.h"
#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/ConstRCPtrArray.h"
#include "KTFramework/Utilities/Storage/Iterable.h"

namespace KT
{

template <class T, unsigned int GranuleCount = 1, unsigned int SlackCount = 0>
class RCPtrArray : public IArray<RCPtr<T>>, public ConstRCPtrArray<T, GranuleCount, SlackCount>
{
    using Interface = IArray<RCPtr<T>>;
    using Storage = ConstRCPtrArray<T, GranuleCount, SlackCount>;

public:
    // Unqualified use picks the RCPtr<T> interface; the ConstRCPtr<T> one is
    // reached through a reference to the base, except for the element
    // operations below, whose ConstRCPtr<T> forms stay visible beside the
    // overrides (an RCPtr<T> argument still picks the RCPtr<T> form).
    using Interface::Append;
    using Interface::Clear;
    using Interface::Copy;
    using Interface::GetBegin;
    using Interface::GetCurrent;
    using Interface::GetEnd;
    using Interface::GetIndexOf;
    using Interface::GetIteratorHandleBegin;
    using Interface::GetIteratorHandleEnd;
    using Interface::GetMaxCount;
    using Interface::GetReverseBegin;
    using Interface::GetReverseEnd;
    using Interface::GetReverseIteratorHandleBegin;
    using Interface::GetReverseIteratorHandleEnd;
    using Interface::IsEmpty;
    using Interface::OffsetIteratorHandle;
    using Interface::operator==;
    // Two arrays of the same type compare without a conversion on either side,
    // so the reversed form of the interface's operator cannot tie with it.
    bool operator==(const RCPtrArray& other) const { return Interface::operator==(other); }
    using Storage::AppendItem;
    using Storage::InsertItem;
    using Storage::RemoveItem;
    using Storage::RemoveLast;

    explicit RCPtrArray(unsigned int count = 0, unsigned int reserve = 0) : Storage(count, reserve) {}
    RCPtrArray(const RCPtrArray&) = delete;
    // Releases every element, then holds one new reference to each of other's.
    RCPtrArray& operator=(const RCPtrArray& other)
    {
        if (&other != this)
        {
            // Empties and grows, or throws: there is no result to look at.
            static_cast<void>(this->Copy(static_cast<const IIterable<RCPtr<T>>&>(other)));
        }
        return *this;
    }

    // No index is trusted: one at or past the count throws std::out_of_range.
    RCPtr<T>& operator[](std::size_t index) { return GetAt(index); }
    const RCPtr<T>& operator[](std::size_t index) const { return GetAt(index); }

    int64_t GetCount() const override { return Storage::GetCount(); }
    RCPtr<T>& GetCurrent(void* const& handle) override { return Interface::GetCurrent(handle); }
    const RCPtr<T>& GetAt(std::size_t index) const override { return Interface::GetAt(index); }
    RCPtr<T>& GetAt(std::size_t index) override { return Interface::GetAt(index); }
    // Trades raw pointers, as the ConstRCPtr<T> view does: no temporary copy,
    // so no copy-on-write step can replace an unshareable object.
    [[nodiscard]] int Swap(std::size_t i, std::size_t j) override { return Storage::Swap(i, j); }
    // An RCPtr<T> is a ConstRCPtr<T>: the slot work is the base's.
    [[nodiscard]] int64_t InsertItem(std::size_t index, const RCPtr<T>& item) override
    {
        return Storage::InsertItem(index, item);
    }
    // Not the base's: an index outside throws from this class's own site.
    [[nodiscard]] int64_t RemoveItem(std::size_t index, RCPtr<T>& out) override;
    [[nodiscard]] int64_t AppendItem(const RCPtr<T>& item) override
    {
        return InsertItem(static_cast<std::size_t>(GetCount()), item);
    }
    [[nodiscard]] int64_t RemoveLast(RCPtr<T>& out) override { return Storage::RemoveLast(out); }
    [[nodiscard]] int64_t SetCount(std::size_t count) override { return Storage::SetCount(count); }
    [[nodiscard]] int64_t Insert(std::size_t index, std::size_t n) override
    {
        return Storage::Insert(index, n);
    }
    [[nodiscard]] int64_t Remove(std::size_t index, std::size_t n) override
    {
        return Storage::Remove(index, n);
    }
    RCPtr<T>* GetPtr() override { return reinterpret_cast<RCPtr<T>*>(Storage::Slots()); }
    const RCPtr<T>* GetPtr() const override { return const_cast<RCPtrArray*>(this)->GetPtr(); }
    virtual ~RCPtrArray() = default;
};

// ---------------------------------------------------------------------------

template <class T, unsigned int G, unsigned int S>
int64_t RCPtrArray<T, G, S>::RemoveItem(std::size_t index, RCPtr<T>& out)
{
    if (index >= static_cast<std::size_t>(GetCount()))
    {
        ThrowException<std::out_of_range>(ExceptionSites::kRCPtrArrayRemove);
    }
    out.SetNull();
    out.SwapReference(GetPtr()[index]);
    // The index was checked above; a shrink cannot fail.
    static_cast<void>(this->RemoveInternal(index, 1));
    return GetCount();
}

} // namespace KT
