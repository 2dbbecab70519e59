// Every object of the notification system that lives from load to exit, defined
// in one translation unit so that exit destroys them in the reverse of this order.
// A default centre manager still holding centres goes first; then the list of
// distributors is emptied, so that centres kept alive only by their registrations
// clean up; then recycling is switched off, before the recycling stack and the
// locks go. The name table, built first, goes last: clients that are forced out
// on the way unregister by name.
#include "KTFramework/Notification/Notification.h"
#include "KTFramework/Notification/NotificationCenterManager.h"
#include "KTFramework/Notification/NotificationDistributor.h"
#include "KTFramework/Notification/NotificationQueue.h"

namespace KT
{

namespace
{
class NameTableFirst
{
public:
    NameTableFirst() { LNotification::GetNotificationIDs(); }
};
NameTableFirst sNameTableFirst;
} // namespace

Mutex LNotification::sMutex;
std::atomic<bool> LNotification::sIsNotificationReuseEnabled{false};
RCPtrArray<LNotification, 1, 0> LNotification::sAvailableNotificationsStack;

Mutex LNotificationQueue::sMutex;

Mutex LNotificationDistributor::sNotificationDistributorsMutex;
RCPtrArray<LNotificationDistributor, 1, 0> LNotificationDistributor::sNotificationDistributors;

namespace Detail
{
class NotificationExitOrder
{
public:
    ~NotificationExitOrder()
    {
        LNotificationDistributor::ReleaseDistributorList();
        LNotification::SetNotificationReuseEnable(false);
    }
};
} // namespace Detail

namespace
{
Detail::NotificationExitOrder sNotificationExitOrder;
} // namespace

RCPtr<LNotificationCenterManager> LNotificationCenterManager::smDefaultNotificationCenterManagerRCPtr;
const StringT<char, unsigned short>
    LNotificationCenterManager::DEFUALT_NOTIFICATION_CENTER_NAME("application");

} // namespace KT
