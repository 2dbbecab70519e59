// The clients registered with a distributor for one notification ID, in order
// of registration, and the registration each of them holds. A distributor
// keeps one pool per ID (NotificationDistributor.h) and delivers through it.
//
// Locks: each pool's mutex guards its registrations, its flags and the delivery
// cursors of the walks running over it; it is taken after the distributor's
// mutex and never held while a client's handler runs.
#pragma once

#include <cstdint>

#include "KTFramework/Notification/Notification.h"
#include "KTFramework/Notification/NotificationDistributor.h"
#include "KTFramework/Notification/NotificationReceiver.h"
#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/RCPtrArray.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "Platform/ThreadAnnotations.h"

namespace KT
{

// One registration: the client (one reference), the newest notification posted
// for it and not yet delivered (newest-only registrations only), and its flags.
// Fields are guarded by the mutex of the pool that holds the registration.
class LNotificationDistributor::LNotificationRegisteredClientInfo : public LRefCountedObject
{
public:
    static RCPtr<LNotificationRegisteredClientInfo> Create(const RCPtr<LNotificationClient>& client,
                                                           DeliveryFlags flags);
    LNotificationRegisteredClientInfo(const RCPtr<LNotificationClient>& client, DeliveryFlags flags);
    // Members go in reverse order: the pending notification, then the client.
    ~LNotificationRegisteredClientInfo() override = default;

    RCPtr<LNotificationClient> mClient;
    RCPtr<LNotification> mPending;
    DeliveryFlags mFlags;
};

// The clients registered for one ID, in order of registration. Every delivery walk
// registers its own cursor with the pool, so that removals move each running walk
// and nested or concurrent walks of one ID neither skip nor repeat a client.
class LNotificationDistributor::LNotificationClientPool : public LRefCountedObject
{
public:
    static RCPtr<LNotificationClientPool> Create(const char* id);
    explicit LNotificationClientPool(const char* id);
    ~LNotificationClientPool() override;

    const char* GetID() const noexcept { return mID; }
    // The OR of the flags its registrations have had; removals do not lower it.
    DeliveryFlags GetFlags();
    // Index of the client's registration, or -1.
    int64_t GetClientIndex(const RCPtr<LNotificationClient>& client);
    // 0 and the flags of the client's registration; RESULT_FAILED when it has none.
    [[nodiscard]] int GetClientFlags(const RCPtr<LNotificationClient>& client, DeliveryFlags& flags);
    // 0; RESULT_INVALID_ARGUMENT for a null client.
    [[nodiscard]] int AddClient(const RCPtr<LNotificationClient>& client, DeliveryFlags flags);
    // 0 removed; 1 not found. The removed registration moves to `removed`, so that
    // the caller releases it outside the pool's lock.
    [[nodiscard]] int RemoveClient(const RCPtr<LNotificationClient>& client,
                                   RCPtr<LNotificationRegisteredClientInfo>& removed);
    [[nodiscard]] int RemoveClient(const RCPtr<LNotificationClient>& client);
    // The clients, newest registration first.
    void GetClients(RCPtrArray<LNotificationClient, 1, 0>& clients);
    // Makes the notification the pending one of every newest-only registration,
    // replacing the one recorded before.
    void RecordPendingNotification(const RCPtr<LNotification>& notification);
    // The walk, newest registration first: 1 when there are no registrations, else 0.
    int DeliverNotification(const RCPtr<LNotificationDistributor>& distributor,
                            const RCPtr<LNotification>& notification);

private:
    class DeliveryCursor;

    // One step of a walk: delivers to the registration at the cursor, if it is to
    // receive the notification.
    void DeliverNotification(const RCPtr<LNotificationDistributor>& distributor, DeliveryCursor& cursor,
                             const RCPtr<LNotification>& notification);
    int64_t FindLocked(const RCPtr<LNotificationClient>& client) REQUIRES(mMutex);

    DeliveryFlags mFlags GUARDED_BY(mMutex);
    const char* mID;
    RCPtrArray<LNotificationRegisteredClientInfo, 1, 0> mRegistrations GUARDED_BY(mMutex);
    // The cursors of the walks running now, each on its walker's stack.
    DeliveryCursor* mCursors GUARDED_BY(mMutex);
    Mutex mMutex;
};

} // namespace KT
