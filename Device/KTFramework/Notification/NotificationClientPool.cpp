#include "KTFramework/Notification/NotificationClientPool.h"

#include "KTFramework/Defs/Result.h"

namespace KT
{

RCPtr<LNotificationDistributor::LNotificationRegisteredClientInfo>
LNotificationDistributor::LNotificationRegisteredClientInfo::Create(const RCPtr<LNotificationClient>& client,
                                                                    DeliveryFlags flags)
{
    return RCPtr<LNotificationRegisteredClientInfo>(new LNotificationRegisteredClientInfo(client, flags));
}

LNotificationDistributor::LNotificationRegisteredClientInfo::LNotificationRegisteredClientInfo(
    const RCPtr<LNotificationClient>& client, DeliveryFlags flags)
    : mClient(client), mFlags(flags)
{
}

// ---------------------------------------------------------------------------
// Pools

// A walk's position, registered with the pool for the walk's duration. The
// position is the index of the registration being delivered to; the pool moves it
// down when a registration below it is removed. Guarded by the pool mutex.
class LNotificationDistributor::LNotificationClientPool::DeliveryCursor
{
public:
    explicit DeliveryCursor(LNotificationClientPool& pool)
        : mPool(pool), mPosition(0), mNext(nullptr), mEmpty(false)
    {
        AutolockT<Mutex> lock(mPool.mMutex);
        const int64_t count = mPool.mRegistrations.GetCount();
        mEmpty = count == 0;
        mPosition = count == 0 ? 0 : static_cast<uint64_t>(count - 1);
        mNext = mPool.mCursors;
        mPool.mCursors = this;
    }

    ~DeliveryCursor()
    {
        AutolockT<Mutex> lock(mPool.mMutex);
        for (DeliveryCursor** link = &mPool.mCursors; *link != nullptr; link = &(*link)->mNext)
        {
            if (*link == this)
            {
                *link = mNext;
                break;
            }
        }
    }

    DeliveryCursor(const DeliveryCursor&) = delete;
    DeliveryCursor& operator=(const DeliveryCursor&) = delete;

    LNotificationClientPool& mPool;
    uint64_t mPosition;
    DeliveryCursor* mNext;
    bool mEmpty;
};

RCPtr<LNotificationDistributor::LNotificationClientPool>
LNotificationDistributor::LNotificationClientPool::Create(const char* id)
{
    return RCPtr<LNotificationClientPool>(new LNotificationClientPool(id));
}

LNotificationDistributor::LNotificationClientPool::LNotificationClientPool(const char* id)
    : mFlags(0), mID(id), mCursors(nullptr)
{
}

LNotificationDistributor::LNotificationClientPool::~LNotificationClientPool() = default;

int64_t
LNotificationDistributor::LNotificationClientPool::FindLocked(const RCPtr<LNotificationClient>& client)
{
    for (int64_t i = mRegistrations.GetCount() - 1; i >= 0; --i)
    {
        if (mRegistrations[static_cast<size_t>(i)]->mClient.GetRaw() == client.GetRaw())
        {
            return i;
        }
    }
    return -1;
}

LNotificationDistributor::DeliveryFlags LNotificationDistributor::LNotificationClientPool::GetFlags()
{
    AutolockT<Mutex> lock(mMutex);
    return mFlags;
}

int64_t
LNotificationDistributor::LNotificationClientPool::GetClientIndex(const RCPtr<LNotificationClient>& client)
{
    AutolockT<Mutex> lock(mMutex);
    return FindLocked(client);
}

int LNotificationDistributor::LNotificationClientPool::GetClientFlags(
    const RCPtr<LNotificationClient>& client, DeliveryFlags& flags)
{
    AutolockT<Mutex> lock(mMutex);
    const int64_t index = FindLocked(client);
    if (index < 0)
    {
        return RESULT_FAILED;
    }
    flags = mRegistrations[static_cast<size_t>(index)]->mFlags;
    return 0;
}

int LNotificationDistributor::LNotificationClientPool::AddClient(const RCPtr<LNotificationClient>& client,
                                                                 DeliveryFlags flags)
{
    if (!client)
    {
        return RESULT_INVALID_ARGUMENT;
    }
    AutolockT<Mutex> lock(mMutex);
    const int64_t index = FindLocked(client);
    if (index < 0)
    {
        // Grows or throws: there is no result to look at.
        static_cast<void>(
            mRegistrations.AppendItem(LNotificationRegisteredClientInfo::Create(client, flags)));
        mFlags |= flags;
        return 0;
    }
    LNotificationRegisteredClientInfo& registration = *mRegistrations[static_cast<size_t>(index)];
    if (registration.mFlags != flags)
    {
        registration.mFlags = flags;
        DeliveryFlags all = 0;
        for (int64_t i = 0; i < mRegistrations.GetCount(); ++i)
        {
            all |= mRegistrations[static_cast<size_t>(i)]->mFlags;
        }
        mFlags = all;
    }
    return 0;
}

int LNotificationDistributor::LNotificationClientPool::RemoveClient(
    const RCPtr<LNotificationClient>& client, RCPtr<LNotificationRegisteredClientInfo>& removed)
{
    AutolockT<Mutex> lock(mMutex);
    const int64_t index = FindLocked(client);
    if (index < 0)
    {
        return RESULT_FALSE;
    }
    static_cast<void>(mRegistrations.RemoveItem(static_cast<size_t>(index), removed)); // the index was found
    for (DeliveryCursor* cursor = mCursors; cursor != nullptr; cursor = cursor->mNext)
    {
        if (static_cast<uint64_t>(index) < cursor->mPosition)
        {
            --cursor->mPosition;
        }
    }
    return 0;
}

int LNotificationDistributor::LNotificationClientPool::RemoveClient(const RCPtr<LNotificationClient>& client)
{
    RCPtr<LNotificationRegisteredClientInfo> removed;
    return RemoveClient(client, removed);
}

void LNotificationDistributor::LNotificationClientPool::GetClients(
    RCPtrArray<LNotificationClient, 1, 0>& clients)
{
    AutolockT<Mutex> lock(mMutex);
    for (int64_t i = mRegistrations.GetCount() - 1; i >= 0; --i)
    {
        static_cast<void>(
            clients.AppendItem(mRegistrations[static_cast<size_t>(i)]->mClient)); // grows or throws
    }
}

void LNotificationDistributor::LNotificationClientPool::RecordPendingNotification(
    const RCPtr<LNotification>& notification)
{
    // The replaced records are released after the lock: a notification's last
    // release may recycle it and drops its payload.
    RCPtrArray<LNotification, 1, 0> replaced;
    AutolockT<Mutex> lock(mMutex);
    if (!notification || (mFlags & kDeliverNewestOnly) == 0)
    {
        return;
    }
    for (int64_t i = mRegistrations.GetCount() - 1; i >= 0; --i)
    {
        LNotificationRegisteredClientInfo& registration = *mRegistrations[static_cast<size_t>(i)];
        if ((registration.mFlags & kDeliverNewestOnly) != 0)
        {
            RCPtr<LNotification> previous = notification;
            registration.mPending.SwapReference(previous);
            if (!!previous)
            {
                static_cast<void>(replaced.AppendItem(previous)); // grows or throws
            }
        }
    }
}

int LNotificationDistributor::LNotificationClientPool::DeliverNotification(
    const RCPtr<LNotificationDistributor>& distributor, const RCPtr<LNotification>& notification)
{
    DeliveryCursor cursor(*this);
    if (cursor.mEmpty)
    {
        return RESULT_FALSE;
    }
    for (;;)
    {
        DeliverNotification(distributor, cursor, notification);
        AutolockT<Mutex> lock(mMutex);
        if (cursor.mPosition == 0)
        {
            break;
        }
        --cursor.mPosition;
    }
    return 0;
}

// A newest-only registration receives the notification only when it is the one
// recorded for it; the record is compared and cleared under the pool's lock, so
// that of two walks delivering it only one hands it on.
void LNotificationDistributor::LNotificationClientPool::DeliverNotification(
    const RCPtr<LNotificationDistributor>& distributor, DeliveryCursor& cursor,
    const RCPtr<LNotification>& notification)
{
    RCPtr<LNotification> taken;
    RCPtr<LNotificationClient> client;
    {
        AutolockT<Mutex> lock(mMutex);
        const uint64_t count = static_cast<uint64_t>(mRegistrations.GetCount());
        if (cursor.mPosition >= count)
        {
            // Everything from here up went away: go on with the newest left.
            cursor.mPosition = count;
            return;
        }
        LNotificationRegisteredClientInfo& registration =
            *mRegistrations[static_cast<size_t>(cursor.mPosition)];
        if ((registration.mFlags & kDeliverNewestOnly) == 0)
        {
            client = registration.mClient;
        }
        else if (registration.mPending.GetRaw() == notification.GetRaw())
        {
            taken.SwapReference(registration.mPending);
            client = registration.mClient;
        }
    }
    if (!!client)
    {
        client->HandleNotification(distributor, notification);
    }
}

} // namespace KT
