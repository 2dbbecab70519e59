// Keeps, for each notification ID, the clients registered for it (in a client
// pool per ID, NotificationClientPool.h) and delivers a notification
// synchronously, on the caller's thread, to every client registered for its ID,
// newest registration first. A distributor keeps itself alive while
// it has registrations: each registration holds one reference to it, and the
// process-wide list of distributors one more, all counted as contained.
//
// Locks: the distributor mutex guards the pool list, the registration count and
// the deferred releases; each pool's mutex guards its registrations, its flags and
// its delivery cursors; sNotificationDistributorsMutex guards the process-wide
// list. Order: distributor mutex, then a pool mutex or the list mutex. No lock is
// held while a client's handler runs; ForceAllRegisteredClientsToUnregister calls
// the clients with the (recursive) distributor mutex held, as they unregister
// through it.
#pragma once

#include <cstdint>
#include <vector>

#include "KTFramework/Notification/Notification.h"
#include "KTFramework/Notification/NotificationReceiver.h"
#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/RCPtrArray.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "Platform/ThreadAnnotations.h"

namespace KT
{

namespace Detail
{
class NotificationExitOrder;
} // namespace Detail

class LNotificationDistributor : public virtual LRefCountedObject
{
public:
    typedef uint32_t DeliveryFlags;
    // Deliver to this registration only the newest posted notification of the ID
    // that it has not yet received. The other bits are only stored and reported.
    static constexpr DeliveryFlags kDeliverNewestOnly = 1;

    class LNotificationRegisteredClientInfo;
    class LNotificationClientPool;

    LNotificationDistributor();

    // 0 new registration; 1 already registered (flags replaced) or a name without
    // ID; RESULT_INVALID_ARGUMENT for a null client.
    [[nodiscard]] int RegisterNotificationClient(const RCPtr<LNotificationClient>& client, const char* name,
                                                 DeliveryFlags flags);
    // 0 removed; 1 not registered; RESULT_INVALID_ARGUMENT for a null client or a
    // name without ID.
    [[nodiscard]] int UnregisterNotificationClient(const RCPtr<LNotificationClient>& client,
                                                   const char* name);
    // The number of registrations removed; RESULT_INVALID_ARGUMENT for a null client.
    [[nodiscard]] int UnregisterNotificationClient(const RCPtr<LNotificationClient>& client);
    bool IsClientRegistered(const RCPtr<LNotificationClient>& client);
    // 0 and the flags; RESULT_FAILED for a name without ID or a client not registered.
    [[nodiscard]] int GetDeliveryFlags(const RCPtr<LNotificationClient>& client, const char* name,
                                       DeliveryFlags& flags);
    // Asks every registered client, newest pool and registration first, to
    // unregister. A client that does not stays registered. Returns 0.
    int ForceAllRegisteredClientsToUnregister();
    // Compared by address: the argument must be an ID, not merely an equal text.
    RCPtr<LNotificationClientPool> GetNotificationClientPool(const char* id);
    void DeliverNotification(const RCPtr<LNotificationClient>& client,
                             const RCPtr<LNotification>& notification);
    // 0 delivered; 1 no pool for the ID or no registration; RESULT_INVALID_ARGUMENT
    // for a null notification.
    [[nodiscard]] int DeliverNotificationAllClients(const RCPtr<LNotification>& notification);
    // A caller may hold it across several operations.
    Mutex& GetNotificationDistributorMutex() noexcept RETURN_CAPABILITY(mMutex) { return mMutex; }

protected:
    // Releases the pools; clients are not told.
    ~LNotificationDistributor() override;

private:
    class Guard;
    friend class Detail::NotificationExitOrder;

    // At exit, before the objects that distributors use go: empties the process-wide
    // list as unregistering would, then releases its references.
    static void ReleaseDistributorList();

    RCPtr<LNotificationClientPool> FindPoolLocked(const char* id) REQUIRES(mMutex);
    [[nodiscard]] int UnregisterLocked(const RCPtr<LNotificationClient>& client, const char* id)
        REQUIRES(mMutex);

    Mutex mMutex;
    RCPtrArray<LNotificationClientPool, 1, 0> mPools GUARDED_BY(mMutex);
    uint32_t mRegistrationCount GUARDED_BY(mMutex);

    // References to this distributor dropped while its mutex is held; the
    // outermost Guard releases them after unlocking, since the last of them may
    // destroy the distributor and its mutex with it. Guarded by mMutex.
    int mGuardDepth GUARDED_BY(mMutex);
    int mDeferredReleases GUARDED_BY(mMutex);
    std::vector<RCPtr<LNotificationDistributor>> mDeferredListReferences GUARDED_BY(mMutex);

    static Mutex sNotificationDistributorsMutex;
    // One reference to every distributor that has registrations, in the order in
    // which they got their first one.
    static RCPtrArray<LNotificationDistributor, 1, 0>
        sNotificationDistributors GUARDED_BY(sNotificationDistributorsMutex);
};

} // namespace KT
