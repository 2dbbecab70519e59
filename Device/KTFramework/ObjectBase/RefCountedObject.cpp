#include "KTFramework/ObjectBase/RefCountedObject.h"

#include "KTFramework/Defs/Exceptions/ExceptionSites.h"

namespace KT
{

LRefCountedObject& LRefCountedObject::operator=(const LRefCountedObject&)
{
    ThrowException<std::domain_error>(ExceptionSites::kRefCountedObjectAssign,
                                      "Invalid Assignment of RefCountedObject");
}

LRefCountedObject::~LRefCountedObject() = default;

// ToString is defined beside the string class it builds
// (Utilities/Storage/RefCountedObjectString.cpp): the object base stands below
// the storage classes and includes none of them.

void LRefCountedObject::Undo(const RCPtr<LRefCountedObject>&, RCPtr<LRefCountedObject>&)
{
    ThrowException<std::logic_error>(ExceptionSites::kRefCountedObjectUndo,
                                     "Undo() not implemented for RefCountedObject");
}

int LRefCountedObject::AddReference()
{
    return mReferenceCount.Increment();
}

// The release protocol. The last outside holder (external count 1) runs the
// contained-reference removal once, guarded so that the nested releases it causes
// only decrement. Any other release decrements only if the count is still the one
// it judged by: when two outside holders release at once, the one that loses the
// race sees itself as the last outside holder and runs the removal, so an object
// kept alive only by its own members is not leaked. On one thread the first
// attempt always succeeds and the behaviour is the plain protocol.
int LRefCountedObject::RemoveReference()
{
    for (;;)
    {
        const int count = mReferenceCount.GetValue();
        const int contained = mNumContainedReferences.GetValue();
        if (count - contained == 1)
        {
            break;
        }
        if (mReferenceCount.CompareAndSwap(count, count - 1))
        {
            if (count - 1 == 0)
            {
                delete this;
            }
            return count - 1;
        }
    }

    if (Platform::AtomicCompareAndSwap32(0, 1, mRemovingContainedReferences))
    {
        if (mNumContainedReferences.GetValue() > 0)
        {
            // Whether it worked is read from the count just below.
            static_cast<void>(RemoveContainedReferences());
        }
        if (mReferenceCount.GetValue() != 1)
        {
            Platform::AtomicCompareAndSwap32(1, 0, mRemovingContainedReferences);
        }
    }
    const int remaining = mReferenceCount.Decrement();
    if (remaining == 0)
    {
        delete this;
    }
    return remaining;
}

int LRefCountedObject::RemoveContainedReferences()
{
    if (mNumContainedReferences.GetValue() == 0 && mReferenceCount.GetValue() == 1)
    {
        return 0;
    }
    return RESULT_FAILED;
}

RCPtr<LRefCountedObject> LRefCountedObject::CreateCopy() const
{
    ThrowException<std::logic_error>(ExceptionSites::kRefCountedObjectCreateCopy,
                                     "CreateCopy() not implemented for RefCountedObject");
}

void LRefCountedObject::SetUnshareable(bool unshareable)
{
    if (unshareable && mReferenceCount.GetValue() >= 2)
    {
        ThrowException<std::runtime_error>(ExceptionSites::kRefCountedObjectSetUnshareable);
    }
    mShareable = !unshareable;
}

} // namespace KT
