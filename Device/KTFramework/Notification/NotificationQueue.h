// Holds posted notifications and hands them, oldest first, to its distributor on
// whichever thread asks for the pending ones; after them it can deliver its own
// idle notification. The queue's posting receiver holds a reference back to the
// queue, counted as contained; the owner cuts it with ReleaseDistributor.
//
// Threads: any thread may post; delivery runs on the thread that calls
// DeliverPendingNotifications, with no lock held while clients run. The
// class-wide sMutex is the lock of every queue's RCPtrQueue and also guards each
// queue's distributor and posting receiver fields and the receiver's back-
// reference. It is taken last: nothing else is locked while it is held.
#pragma once

#include <atomic>

#include "KTFramework/Notification/Notification.h"
#include "KTFramework/Notification/NotificationDistributor.h"
#include "KTFramework/Notification/NotificationReceiver.h"
#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/RCPtrQueue.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "Platform/ThreadAnnotations.h"

namespace KT
{

class LNotificationQueue : public virtual LRefCountedObject
{
public:
    class LPostingReceiver;

    LNotificationQueue();

    // 0; RESULT_FAILED when a distributor is set already or after ReleaseDistributor.
    // A null distributor changes nothing.
    [[nodiscard]] int SetDistributor(const RCPtr<LNotificationDistributor>& distributor);
    // Discards the queued notifications and drops the distributor and the posting
    // receiver; afterwards the queue accepts no distributor and no posting.
    void ReleaseDistributor();
    // 0; RESULT_INVALID_ARGUMENT for a null or already queued notification;
    // RESULT_FAILED without a distributor.
    [[nodiscard]] int PostForBroadcast(const RCPtr<LNotification>& notification);
    // Delivers the notifications queued when the call starts, then, if asked, the
    // idle notification. A call made while this queue is delivering (from a
    // handler, or on another thread) delivers only the idle notification. True
    // when notifications are queued after the call.
    bool DeliverPendingNotifications(bool sendIdle);
    // Discards the queued notifications; true when some are queued after the call.
    bool FlushPendingNotifications();

    static Mutex sMutex;

protected:
    ~LNotificationQueue() override;

private:
    // Takes the next queued notification, or null when the queue is empty.
    RCPtr<LNotification> TakeNext();

    // Changed only by atomic exchange: one thread at a time delivers the backlog.
    std::atomic<bool> mDelivering;
    RCPtrQueue<LNotification, 256, Mutex> mQueue;
    RCPtr<LNotificationDistributor> mDistributor GUARDED_BY(sMutex);
    RCPtr<LPostingReceiver> mPostingReceiver GUARDED_BY(sMutex);
    // Made by the constructor, read-only afterwards.
    RCPtr<LNotification> mIdleNotification;
};

// Posts to its queue a copy (same ID, same payload) of every notification it
// receives; never posts the received notification itself.
class LNotificationQueue::LPostingReceiver : public LNotificationReceiver
{
public:
    static RCPtr<LPostingReceiver> Create(const RCPtr<LNotificationQueue>& queue);

    void HandleNotification(const RCPtr<LNotificationDistributor>& distributor,
                            const ConstRCPtr<LNotification>& notification) override;
    // Always RESULT_FAILED: the queue's own receiver does not unregister on request.
    [[nodiscard]] int ForceUnregisterNotification(const RCPtr<LNotificationDistributor>& distributor,
                                                  const char* name) override;

protected:
    ~LPostingReceiver() override = default;

private:
    friend class LNotificationQueue;

    explicit LPostingReceiver(const RCPtr<LNotificationQueue>& queue);

    RCPtr<LNotificationQueue> mQueue GUARDED_BY(LNotificationQueue::sMutex);
};

} // namespace KT
