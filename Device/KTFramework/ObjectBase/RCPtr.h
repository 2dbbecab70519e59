// The smart pointers that own reference-counted objects. ConstRCPtr<T> holds one
// counted reference to an object and gives read-only access; RCPtr<T> is the
// same with mutable access, and every owning reference in the system is one.
// They copy (taking a new reference before dropping the old) and move (a
// moved-from pointer is null); LeakRef and AdoptRef hand a reference across a
// boundary that only carries raw pointers, such as the start of a thread. The
// pointed-to class is LRefCountedObject or derives from it
// (ObjectBase/RefCountedObject.h). No locks: the object's count is atomic, and
// with atomic storage so is each single read, write and exchange of the stored
// pointer.
#pragma once

#include <atomic>
#include <cstddef>
#include <stdexcept>
#include <typeinfo>
#include <utility>

#include "KTFramework/Defs/Exceptions/ExceptionSites.h"
#include "KTFramework/Defs/Exceptions/KTException.h"

namespace KT
{

class LRefCountedObject;

template <class T, class P = T*>
class ConstRCPtr;
template <class T, class P = T*>
class RCPtr;

// Passed to a smart pointer's constructor: the pointer takes over a reference
// that is already counted instead of taking a new one. AdoptRef reads better.
struct AdoptReferenceTag
{
    explicit constexpr AdoptReferenceTag() = default;
};
inline constexpr AdoptReferenceTag kAdoptReference{};

// Raw pointer access shared by both storage kinds of the smart pointers.
template <class To, class From>
inline To implicit_cast(const From& from)
{
    return from;
}

template <class T>
inline T* Exchange(T** slot, T* value) noexcept
{
    T* previous = *slot;
    *slot = value;
    return previous;
}

template <class T>
inline T* Exchange(std::atomic<T*>* slot, T* value) noexcept
{
    return slot->exchange(value);
}

template <class T>
inline T* Load(T* const* slot) noexcept
{
    return *slot;
}

template <class T>
inline void Store(T** slot, T* value) noexcept
{
    *slot = value;
}

// Read-only owning pointer. P is T* or std::atomic<T*>; with atomic storage each
// single read, write and exchange of the stored pointer is atomic.
template <class T, class P>
class ConstRCPtr
{
public:
    constexpr ConstRCPtr() noexcept : mPtr(nullptr) {}
    constexpr ConstRCPtr(std::nullptr_t) noexcept : mPtr(nullptr) {}
    ConstRCPtr(const T* object) : mPtr(const_cast<T*>(object)) { Init(); }
    ConstRCPtr(const ConstRCPtr& other) : mPtr(other.GetRaw()) { Init(); }
    template <class Q>
    ConstRCPtr(const ConstRCPtr<T, Q>& other) : mPtr(other.GetRaw())
    {
        Init();
    }
    // Takes over other's reference; other is null afterwards. No count changes,
    // so no copy-on-write step runs either.
    ConstRCPtr(ConstRCPtr&& other) noexcept : mPtr(other.LeakRef()) {}
    // Takes over a reference already counted for object (see AdoptRef).
    ConstRCPtr(const T* object, AdoptReferenceTag) noexcept : mPtr(const_cast<T*>(object)) {}

    // A release that throws here ends the process.
    ~ConstRCPtr() noexcept
    {
        T* object = GetRaw();
        if (object != nullptr)
        {
            object->RemoveReference();
        }
    }

    ConstRCPtr& operator=(const ConstRCPtr& other)
    {
        Assign(other.GetRaw());
        return *this;
    }
    // Takes over other's reference and releases the one held before; other is
    // null afterwards. Moving a pointer onto itself keeps the object.
    ConstRCPtr& operator=(ConstRCPtr&& other) noexcept
    {
        T* previous = Exchange(&mPtr, other.LeakRef());
        if (previous != nullptr)
        {
            previous->RemoveReference();
        }
        return *this;
    }

    // Gives up the reference without releasing it: the pointer is null
    // afterwards, and the caller owns the reference to the object returned
    // (null when there was none) until AdoptRef takes it back.
    [[nodiscard]] T* LeakRef() noexcept { return Exchange(&mPtr, static_cast<T*>(nullptr)); }

    // Takes the reference the stored pointer stands for; an unshareable object
    // that somebody else also holds is replaced by a private copy.
    void Init()
    {
        T* object = GetRaw();
        if (object == nullptr)
        {
            return;
        }
        object->AddReference();
        if (!object->IsShareable())
        {
            // A failed copy must not leave the reference just taken behind: a
            // constructor that throws never runs its destructor.
            try
            {
                Unshare();
            }
            catch (...)
            {
                SetNull();
                throw;
            }
        }
    }

    void Unshare();

    template <class U, class Q>
    static ConstRCPtr Downcast(const ConstRCPtr<U, Q>& source)
    {
        return ConstRCPtr(dynamic_cast<const T*>(source.GetRaw()));
    }

    void SetNull() noexcept
    {
        T* previous = Exchange(&mPtr, static_cast<T*>(nullptr));
        if (previous != nullptr)
        {
            previous->RemoveReference();
        }
    }

    ConstRCPtr& SwapReference(ConstRCPtr& other) noexcept
    {
        T* previous = Exchange(&mPtr, other.GetRaw());
        other.StoreRaw(previous);
        return *this;
    }

    bool operator!() const noexcept { return GetRaw() == nullptr; }
    const T* operator->() const noexcept { return GetRaw(); }
    const T& operator*() const noexcept { return *GetRaw(); }
    bool operator==(const ConstRCPtr& other) const noexcept { return GetRaw() == other.GetRaw(); }
    template <class U, class Q>
    bool operator==(const ConstRCPtr<U, Q>& other) const noexcept
    {
        return static_cast<const LRefCountedObject*>(GetRaw()) ==
               static_cast<const LRefCountedObject*>(other.GetRaw());
    }

    // The stored pointer, read atomically for atomic storage.
    T* GetRaw() const noexcept { return implicit_cast<T*>(mPtr); }
    const T* Get() const noexcept { return GetRaw(); }

protected:
    // The new reference is taken before the old one is released.
    void Assign(T* object)
    {
        T* previous = GetRaw();
        if (previous == object)
        {
            return;
        }
        StoreRaw(object);
        try
        {
            Init();
        }
        catch (...)
        {
            if (previous != nullptr)
            {
                previous->RemoveReference();
            }
            throw;
        }
        if (previous != nullptr)
        {
            previous->RemoveReference();
        }
    }

    void StoreRaw(T* object) noexcept { mPtr = object; }

    P mPtr;
};

// Mutable-access form of ConstRCPtr; every owning reference in the system.
template <class T, class P>
class RCPtr : public ConstRCPtr<T, P>
{
    using Base = ConstRCPtr<T, P>;

public:
    constexpr RCPtr() noexcept : Base() {}
    constexpr RCPtr(std::nullptr_t) noexcept : Base() {}
    RCPtr(T* object) : Base(object) {}
    RCPtr(const RCPtr& other) : Base(other) {}
    template <class U, class Q>
    RCPtr(const RCPtr<U, Q>& other) : Base(static_cast<const T*>(other.GetRaw()))
    {
    }
    RCPtr(RCPtr&& other) noexcept : Base(std::move(other)) {}
    RCPtr(T* object, AdoptReferenceTag tag) noexcept : Base(object, tag) {}

    RCPtr& operator=(const RCPtr& other)
    {
        Base::operator=(other);
        return *this;
    }
    RCPtr& operator=(RCPtr&& other) noexcept
    {
        Base::operator=(std::move(other));
        return *this;
    }
    // Assigning a pointer of another type keeps the object only when it is a T.
    template <class U, class Q>
    RCPtr& operator=(const RCPtr<U, Q>& other)
    {
        Base::operator=(Downcast(other));
        return *this;
    }

    template <class U, class Q>
    static RCPtr Downcast(const ConstRCPtr<U, Q>& source)
    {
        return RCPtr(dynamic_cast<T*>(source.GetRaw()));
    }

    T* operator->() const noexcept { return this->GetRaw(); }
    T& operator*() const noexcept { return *this->GetRaw(); }
    T* Get() const noexcept { return this->GetRaw(); }

    RCPtr& SwapReference(RCPtr& other) noexcept
    {
        Base::SwapReference(other);
        return *this;
    }

    // Passed by reference where an argument is required but no object exists.
    static const RCPtr Null;
};

template <class T, class P>
const RCPtr<T, P> RCPtr<T, P>::Null;

template <class T, class P>
void ConstRCPtr<T, P>::Unshare()
{
    T* object = GetRaw();
    if (object == nullptr || !object->IsShared())
    {
        return;
    }
    {
        RCPtr<LRefCountedObject> copy = object->CreateCopy();
        Assign(dynamic_cast<T*>(copy.GetRaw()));
    }
    if (GetRaw() == nullptr)
    {
        ThrowException<std::logic_error>(ExceptionSites::kRCPtrUnshare, typeid(T).name());
    }
}

// Takes over a reference that was counted for object and handed over raw, most
// often one that LeakRef gave up on another thread: no new reference is taken,
// and the returned pointer releases it. Null gives a null pointer.
template <class T>
[[nodiscard]] RCPtr<T> AdoptRef(T* object) noexcept
{
    return RCPtr<T>(object, kAdoptReference);
}

template <class T>
[[nodiscard]] ConstRCPtr<T> AdoptRef(const T* object) noexcept
{
    return ConstRCPtr<T>(object, kAdoptReference);
}

static_assert(sizeof(ConstRCPtr<LRefCountedObject>) == 8, "a smart pointer is one pointer");
static_assert(sizeof(RCPtr<LRefCountedObject, std::atomic<LRefCountedObject*>>) == 8,
              "an atomic smart pointer is one pointer");

} // namespace KT
