#include "KTFramework/Notification/NotificationQueue.h"

#include "KTFramework/Notification/NotificationClientPool.h"

#include "KTFramework/Defs/Result.h"

namespace KT
{

namespace
{
// Clears a queue's delivering flag however its delivery ends.
class DeliveringScope
{
public:
    explicit DeliveringScope(std::atomic<bool>& delivering) : mDelivering(delivering) {}
    ~DeliveringScope() { mDelivering.store(false); }
    DeliveringScope(const DeliveringScope&) = delete;
    DeliveringScope& operator=(const DeliveringScope&) = delete;

private:
    std::atomic<bool>& mDelivering;
};
} // namespace

LNotificationQueue::LNotificationQueue() : mDelivering(false), mQueue(&sMutex)
{
    // The temporary pointer to this queue is gone before the reference is counted
    // as contained, so its release is an ordinary one.
    mPostingReceiver = LPostingReceiver::Create(RCPtr<LNotificationQueue>(this));
    ModifyNumContainedReferences(1);
    mIdleNotification = LNotification::Create(kIdleNotificationName);
}

LNotificationQueue::~LNotificationQueue()
{
    FlushPendingNotifications();
}

int LNotificationQueue::SetDistributor(const RCPtr<LNotificationDistributor>& distributor)
{
    AutolockT<Mutex> lock(sMutex);
    if (!!mDistributor || !mPostingReceiver)
    {
        return RESULT_FAILED;
    }
    if (!!distributor)
    {
        mDistributor = distributor;
    }
    return 0;
}

void LNotificationQueue::ReleaseDistributor()
{
    FlushPendingNotifications();
    // Released in reverse order after the lock: the back-reference, the receiver,
    // the distributor.
    RCPtr<LNotificationDistributor> distributor;
    RCPtr<LPostingReceiver> receiver;
    RCPtr<LNotificationQueue> backReference;
    {
        AutolockT<Mutex> lock(sMutex);
        distributor.SwapReference(mDistributor);
        receiver.SwapReference(mPostingReceiver);
        if (!!receiver)
        {
            backReference.SwapReference(receiver->mQueue);
        }
    }
    if (!!backReference)
    {
        // Lowered before the back-reference goes, so that its release is an
        // ordinary one; a second call finds no receiver and changes nothing.
        ModifyNumContainedReferences(-1);
    }
}

int LNotificationQueue::PostForBroadcast(const RCPtr<LNotification>& notification)
{
    if (!notification || notification->mQueued.exchange(true))
    {
        return RESULT_INVALID_ARGUMENT;
    }
    RCPtr<LNotificationDistributor> distributor;
    {
        AutolockT<Mutex> lock(sMutex);
        distributor = mDistributor;
    }
    if (!distributor)
    {
        notification->mQueued.store(false);
        return RESULT_FAILED;
    }
    // The pool lookup takes the distributor's locks, so sMutex is not held here.
    const RCPtr<LNotificationDistributor::LNotificationClientPool> pool =
        distributor->GetNotificationClientPool(notification->GetName());
    if (!!pool)
    {
        pool->RecordPendingNotification(notification);
    }
    AutolockT<Mutex> lock(sMutex);
    if (!mDistributor)
    {
        // Released meanwhile: nothing is queued after ReleaseDistributor.
        notification->mQueued.store(false);
        return RESULT_FAILED;
    }
    mQueue.Enqueue(notification);
    return 0;
}

RCPtr<LNotification> LNotificationQueue::TakeNext()
{
    AutolockT<Mutex> lock(sMutex);
    if (mQueue.GetQueuedObjectsCount() == 0)
    {
        return RCPtr<LNotification>();
    }
    return mQueue.Dequeue();
}

bool LNotificationQueue::DeliverPendingNotifications(bool sendIdle)
{
    RCPtr<LNotificationDistributor> distributor;
    {
        AutolockT<Mutex> lock(sMutex);
        distributor = mDistributor;
    }
    if (!mDelivering.exchange(true))
    {
        DeliveringScope delivering(mDelivering);
        // The count taken now bounds the call: notifications posted while it runs
        // wait for the next call.
        RCPtr<LNotification> notification;
        for (uint64_t remaining = mQueue.GetQueuedObjectsCount(); remaining > 0; --remaining)
        {
            RCPtr<LNotification> next = TakeNext();
            if (!next)
            {
                break; // flushed meanwhile
            }
            notification.SwapReference(next);
            next.SetNull();
            if (!!distributor)
            {
                try
                {
                    // The notification is not null, so the answer is only whether
                    // anybody was registered for it.
                    static_cast<void>(distributor->DeliverNotificationAllClients(notification));
                }
                catch (...)
                {
                    notification->mQueued.store(false);
                    throw;
                }
            }
            // Cleared only now, so the notification cannot be changed or posted
            // again while its clients run.
            notification->mQueued.store(false);
        }
    }
    if (sendIdle && !!distributor)
    {
        // Never null; nobody registered for it is no failure.
        static_cast<void>(distributor->DeliverNotificationAllClients(mIdleNotification));
    }
    return mQueue.GetQueuedObjectsCount() != 0;
}

bool LNotificationQueue::FlushPendingNotifications()
{
    for (uint64_t remaining = mQueue.GetQueuedObjectsCount(); remaining > 0; --remaining)
    {
        const RCPtr<LNotification> notification = TakeNext();
        if (!notification)
        {
            break;
        }
        notification->mQueued.store(false);
    }
    return mQueue.GetQueuedObjectsCount() != 0;
}

// ---------------------------------------------------------------------------
// Posting receiver

RCPtr<LNotificationQueue::LPostingReceiver>
LNotificationQueue::LPostingReceiver::Create(const RCPtr<LNotificationQueue>& queue)
{
    return RCPtr<LPostingReceiver>(new LPostingReceiver(queue));
}

LNotificationQueue::LPostingReceiver::LPostingReceiver(const RCPtr<LNotificationQueue>& queue) : mQueue(queue)
{
}

void LNotificationQueue::LPostingReceiver::HandleNotification(const RCPtr<LNotificationDistributor>&,
                                                              const ConstRCPtr<LNotification>& notification)
{
    if (!notification)
    {
        return;
    }
    RCPtr<LNotificationQueue> queue;
    {
        AutolockT<Mutex> lock(sMutex);
        queue = mQueue;
    }
    if (!queue)
    {
        return;
    }
    const RCPtr<LNotification> copy = LNotification::Create(notification->GetName(), notification->GetData());
    if (!!copy)
    {
        // A queue released meanwhile takes no more notifications: the copy is
        // dropped, as everything posted after ReleaseDistributor is.
        static_cast<void>(queue->PostForBroadcast(copy));
    }
}

int LNotificationQueue::LPostingReceiver::ForceUnregisterNotification(const RCPtr<LNotificationDistributor>&,
                                                                      const char*)
{
    return RESULT_FAILED;
}

} // namespace KT
