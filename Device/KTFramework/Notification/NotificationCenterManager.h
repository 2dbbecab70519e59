// Keeps notification centres by name, in order of creation, and delivers the
// pending notifications of all of them in one call. The manager holds one
// reference to each of its centres.
//
// Threads: none of its own and no lock: its list and its operations are for one
// thread.
#pragma once

#include "KTFramework/Notification/NotificationCenter.h"
#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/RCPtrArray.h"
#include "KTFramework/Utilities/Storage/StringT.h"

namespace KT
{

class LNotificationCenterManager : public virtual LRefCountedObject
{
public:
    LNotificationCenterManager();

    // Centres are returned by value: a reference into the list would dangle once
    // the list grows.
    // The centre whose name shares the given name's text or equals it exactly; null
    // when there is none.
    RCPtr<LNotificationCenter> GetNotificationCenter(const StringT<char, unsigned short>& name);
    // As GetNotificationCenter, creating the centre when there is none; null for an
    // empty name.
    RCPtr<LNotificationCenter> GetOrCreateNotificationCenter(const StringT<char, unsigned short>& name);
    // Newest centre first; true when some centre still has notifications queued.
    bool DeliverPendingNotificationsAllCenters(bool sendIdle);

    static RCPtr<LNotificationCenterManager> smDefaultNotificationCenterManagerRCPtr;
    static const StringT<char, unsigned short> DEFUALT_NOTIFICATION_CENTER_NAME;

protected:
    ~LNotificationCenterManager() override;

private:
    RCPtrArray<LNotificationCenter, 1, 0> mCenters;
};

} // namespace KT
