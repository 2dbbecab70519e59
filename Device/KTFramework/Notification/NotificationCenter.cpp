#include "KTFramework/Notification/NotificationCenter.h"

namespace KT
{

LNotificationCenter::LNotificationCenter(const StringT<char, unsigned short>& name)
    : mName(name), mSelfReferenceReleased(false)
{
}

LNotificationCenter::~LNotificationCenter() = default;

RCPtr<LNotificationCenter> LNotificationCenter::Create(const StringT<char, unsigned short>& name)
{
    RCPtr<LNotificationCenter> centre(new LNotificationCenter(name));
    // A new queue has neither a distributor nor a released receiver: it takes it.
    static_cast<void>(centre->SetDistributor(RCPtr<LNotificationDistributor>(centre)));
    centre->ModifyNumContainedReferences(1);
    return centre;
}

int LNotificationCenter::RemoveContainedReferences()
{
    ForceAllRegisteredClientsToUnregister();
    if (!mSelfReferenceReleased.exchange(true))
    {
        // Lowered before ReleaseDistributor drops the self-reference.
        ModifyNumContainedReferences(-1);
    }
    ReleaseDistributor();
    return LRefCountedObject::RemoveContainedReferences();
}

} // namespace KT
