// The reference-counted object base, its atomic counter and the smart pointers
// that hold it. Objects are owned only through RCPtr/ConstRCPtr and deleted by
// their last release; an object that hands references of itself to its own
// members counts them as contained references and drops them when the last
// outside reference goes. No locks: counts are atomics, and any thread may take
// or drop references.
#pragma once

#include <atomic>
#include <cstdint>
#include <typeinfo>

#include "KTFramework/Defs/Exceptions/KTException.h"
#include "KTFramework/Defs/Result.h"
#include "Platform/Atomic32.h"

namespace KT
{

template <class CharT, class OtherCharT>
class StringT;

template <class T, class P = T*>
class ConstRCPtr;
template <class T, class P = T*>
class RCPtr;

class LRefCountedObject;

// Signed 32-bit counter changed only by atomic read-modify-write operations.
class AtomicCounter
{
public:
    constexpr AtomicCounter() noexcept : mValue(0) {}
    constexpr explicit AtomicCounter(int value) noexcept : mValue(value) {}
    AtomicCounter(const AtomicCounter&) = delete;
    AtomicCounter& operator=(const AtomicCounter&) = delete;

    int Increment() noexcept { return Platform::AtomicAdd32(mValue, 1) + 1; }
    int Decrement() noexcept { return Platform::AtomicAdd32(mValue, -1) - 1; }
    int operator++() noexcept { return Increment(); }
    int operator--() noexcept { return Decrement(); }

    int GetValue() const noexcept { return Platform::AtomicRead32(mValue); }
    operator int() const noexcept { return GetValue(); }

    // Replaces the value in one atomic step; returns the value replaced.
    int SetValue(int value) noexcept
    {
        int old;
        do
        {
            old = Platform::AtomicRead32(mValue);
        } while (!Platform::AtomicCompareAndSwap32(old, value, mValue));
        return old;
    }

    // Adds delta in one atomic step; returns the new value.
    int Add(int delta) noexcept
    {
        int old;
        do
        {
            old = Platform::AtomicRead32(mValue);
        } while (!Platform::AtomicCompareAndSwap32(old, old + delta, mValue));
        return old + delta;
    }

    // Stores value when the counter holds expected; true when it did.
    bool CompareAndSwap(int expected, int value) noexcept
    {
        return Platform::AtomicCompareAndSwap32(expected, value, mValue);
    }

private:
    Platform::Atomic32 mValue;
};
static_assert(sizeof(AtomicCounter) == 4, "AtomicCounter is one 32-bit word");

// Objects that render themselves as text.
class IStringable
{
public:
    virtual StringT<char, unsigned short> ToString() const = 0;

protected:
    ~IStringable() = default;
};

class IUndoable : public IStringable
{
public:
    virtual void Undo(const RCPtr<LRefCountedObject>& state, RCPtr<LRefCountedObject>& undone) = 0;

protected:
    ~IUndoable() = default;
};

class LRefCountedObject : public IUndoable
{
public:
    LRefCountedObject() noexcept {}
    // A copy is a new object: its counts start at 0 and it is shareable.
    LRefCountedObject(const LRefCountedObject&) noexcept : IUndoable() {}
    // Reference-counted objects are never assigned to one another.
    LRefCountedObject& operator=(const LRefCountedObject& other);

    StringT<char, unsigned short> ToString() const override;
    void Undo(const RCPtr<LRefCountedObject>& state, RCPtr<LRefCountedObject>& undone) override;
    virtual int AddReference();
    virtual int RemoveReference();
    [[nodiscard]] virtual int RemoveContainedReferences();
    virtual RCPtr<LRefCountedObject> CreateCopy() const;
    virtual ~LRefCountedObject();

    int GetReferenceCount() const noexcept { return mReferenceCount.GetValue(); }
    int GetExternalReferenceCount() const noexcept
    {
        return mReferenceCount.GetValue() - mNumContainedReferences.GetValue();
    }
    int GetNumContainedReferences() const noexcept { return mNumContainedReferences.GetValue(); }
    bool IsShared() const noexcept { return mReferenceCount.GetValue() > 1; }
    bool IsShareable() const noexcept { return mShareable; }
    void SetUnshareable(bool unshareable);
    void ModifyNumContainedReferences(int delta) noexcept { mNumContainedReferences.Add(delta); }

private:
    AtomicCounter mReferenceCount;
    AtomicCounter mNumContainedReferences;
    Platform::Atomic32 mRemovingContainedReferences{0};
    bool mShareable = true;
};

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

namespace Detail
{
// The Unshare site's path and line: hosts compare the message text.
inline constexpr ExceptionSite kUnshareSite{"Device/KTFramework/ObjectBase/RefCountedObject", 424};
} // namespace Detail

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

    RCPtr& operator=(const RCPtr& other)
    {
        Base::operator=(other);
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
        ThrowException<std::logic_error>(Detail::kUnshareSite, typeid(T).name());
    }
}

// A plain value that travels as a reference-counted object.
template <class T>
class Wrapper
{
public:
    Wrapper(const T& value) : mValue(value) {}
    const T& GetValue() const { return mValue; }

    T mValue;
};

template <class W, class B>
class LWrapper : public W, public virtual B
{
public:
    explicit LWrapper(const W& wrapped) : B(), W(wrapped) {}

    static RCPtr<LWrapper> Create(const W& wrapped) { return RCPtr<LWrapper>(new LWrapper(wrapped)); }
};

static_assert(sizeof(ConstRCPtr<LRefCountedObject>) == 8, "a smart pointer is one pointer");
static_assert(sizeof(RCPtr<LRefCountedObject, std::atomic<LRefCountedObject*>>) == 8,
              "an atomic smart pointer is one pointer");

} // namespace KT
