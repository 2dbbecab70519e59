#include "KTFramework/Notification/NotificationCenterManager.h"

namespace KT
{

LNotificationCenterManager::LNotificationCenterManager() = default;

LNotificationCenterManager::~LNotificationCenterManager() = default;

RCPtr<LNotificationCenter>
LNotificationCenterManager::GetNotificationCenter(const StringT<char, unsigned short>& name)
{
    for (int64_t i = 0; i < mCenters.GetCount(); ++i)
    {
        const RCPtr<LNotificationCenter>& centre = mCenters[static_cast<size_t>(i)];
        if (centre->mName.CStr() == name.CStr() || centre->mName.IsEqual(name))
        {
            return centre;
        }
    }
    return RCPtr<LNotificationCenter>();
}

RCPtr<LNotificationCenter>
LNotificationCenterManager::GetOrCreateNotificationCenter(const StringT<char, unsigned short>& name)
{
    if (name.IsEmpty())
    {
        return RCPtr<LNotificationCenter>();
    }
    RCPtr<LNotificationCenter> centre = GetNotificationCenter(name);
    if (!centre)
    {
        centre = LNotificationCenter::Create(name);
        static_cast<void>(mCenters.AppendItem(centre)); // grows or throws
    }
    return centre;
}

bool LNotificationCenterManager::DeliverPendingNotificationsAllCenters(bool sendIdle)
{
    bool stillQueued = false;
    // A handler may create centres; the walk covers those that existed at its start.
    for (int64_t i = mCenters.GetCount() - 1; i >= 0; --i)
    {
        const RCPtr<LNotificationCenter> centre = mCenters[static_cast<size_t>(i)];
        if (centre->DeliverPendingNotifications(sendIdle))
        {
            stillQueued = true;
        }
    }
    return stillQueued;
}

} // namespace KT
