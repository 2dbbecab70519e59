// What a notification distributor delivers to: the receiver interface, and the
// client class that applications derive their registered clients from. Both
// operations run on the thread that delivers (or forces clients out).
#pragma once

#include "KTFramework/Notification/Notification.h"
#include "KTFramework/ObjectBase/RefCountedObject.h"

namespace KT
{

class LNotificationDistributor;

class LNotificationReceiver : public virtual LRefCountedObject
{
public:
    // One notification delivered by that distributor. No lock of the distributor
    // is held, so the handler may post, register and unregister.
    virtual void HandleNotification(const RCPtr<LNotificationDistributor>& distributor,
                                    const ConstRCPtr<LNotification>& notification) = 0;
    // The distributor asks the receiver to unregister from the name (an ID); the
    // receiver is expected to call the distributor's UnregisterNotificationClient
    // for itself and that name.
    [[nodiscard]] virtual int ForceUnregisterNotification(const RCPtr<LNotificationDistributor>& distributor,
                                                          const char* name) = 0;

protected:
    ~LNotificationReceiver() override = default;
};

// The class of objects that register with a distributor.
class LNotificationClient : public LNotificationReceiver
{
protected:
    ~LNotificationClient() override = default;
};

} // namespace KT
