// The reference-counted object base and its atomic counter. Objects are owned
// only through RCPtr/ConstRCPtr (ObjectBase/RCPtr.h, included here) and deleted
// by their last release; an object that hands references of itself to its own
// members counts them as contained references and drops them when the last
// outside reference goes. No locks: counts are atomics, and any thread may take
// or drop references.
#pragma once

#include <atomic>
#include <cstdint>
#include <typeinfo>

#include "KTFramework/Defs/Exceptions/KTException.h"
#include "KTFramework/Defs/Result.h"
#include "KTFramework/ObjectBase/RCPtr.h"
#include "Platform/Atomic32.h"

namespace KT
{

template <class CharT, class OtherCharT>
class StringT;

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

} // namespace KT
