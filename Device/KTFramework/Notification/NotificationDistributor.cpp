#include "KTFramework/Notification/NotificationDistributor.h"

#include "KTFramework/Notification/NotificationClientPool.h"

#include "KTFramework/Defs/Result.h"

namespace KT
{

namespace
{
const char* ToIDText(LNotification::NotificationID id)
{
    return reinterpret_cast<const char*>(static_cast<uintptr_t>(id));
}

// Appends to list a slot that takes over the reference held by reference,
// without touching the count. False, with the reference left where it was,
// when the list did not grow (it grows or throws, so that is not expected).
template <class T>
bool AppendTakingOver(RCPtrArray<T, 1, 0>& list, RCPtr<T>& reference)
{
    const int64_t count = list.GetCount();
    if (list.SetCount(static_cast<size_t>(count + 1)) != count + 1)
    {
        return false;
    }
    list[static_cast<size_t>(count)].SwapReference(reference);
    return true;
}
} // namespace

// Holds the distributor mutex for a scope. The outermost guard of a thread's
// nested holds releases, after unlocking, the references that were dropped while
// the mutex was held: the last of them may destroy the distributor with its mutex.
class SCOPED_CAPABILITY LNotificationDistributor::Guard
{
public:
    explicit Guard(LNotificationDistributor& distributor) ACQUIRE(distributor.mMutex)
        : mDistributor(distributor)
    {
        mDistributor.mMutex.Lock();
        ++mDistributor.mGuardDepth;
    }

    ~Guard() RELEASE()
    {
        LNotificationDistributor& distributor = mDistributor;
        int releases = 0;
        std::vector<RCPtr<LNotificationDistributor>> listReferences;
        if (--distributor.mGuardDepth == 0)
        {
            releases = distributor.mDeferredReleases;
            distributor.mDeferredReleases = 0;
            listReferences.swap(distributor.mDeferredListReferences);
        }
        distributor.mMutex.Unlock();
        listReferences.clear();
        // Every one of these is a reference still counted, so only the last can
        // destroy the distributor, and nothing touches it after that.
        while (releases-- > 0)
        {
            distributor.RemoveReference();
        }
    }

    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    LNotificationDistributor& mDistributor;
};

LNotificationDistributor::LNotificationDistributor()
    : mRegistrationCount(0), mGuardDepth(0), mDeferredReleases(0)
{
}

LNotificationDistributor::~LNotificationDistributor() = default;

void LNotificationDistributor::ReleaseDistributorList()
{
    RCPtrArray<LNotificationDistributor, 1, 0> released;
    {
        AutolockT<Mutex> listLock(sNotificationDistributorsMutex);
        while (!sNotificationDistributors.IsEmpty())
        {
            RCPtr<LNotificationDistributor> distributor;
            static_cast<void>(sNotificationDistributors.RemoveLast(distributor)); // the list is not empty
            // No longer counted as contained: a distributor that has no other holder
            // then goes through its clean-up when its reference is released below.
            distributor->ModifyNumContainedReferences(-1);
            // Should the list not grow, the reference is released here instead,
            // under the list lock, which a clean-up may take again.
            static_cast<void>(AppendTakingOver(released, distributor));
        }
    }
}

RCPtr<LNotificationDistributor::LNotificationClientPool>
LNotificationDistributor::FindPoolLocked(const char* id)
{
    for (int64_t i = mPools.GetCount() - 1; i >= 0; --i)
    {
        if (mPools[static_cast<size_t>(i)]->GetID() == id)
        {
            return mPools[static_cast<size_t>(i)];
        }
    }
    return RCPtr<LNotificationClientPool>();
}

int LNotificationDistributor::RegisterNotificationClient(const RCPtr<LNotificationClient>& client,
                                                         const char* name, DeliveryFlags flags)
{
    if (!client)
    {
        return RESULT_INVALID_ARGUMENT;
    }
    const char* id = ToIDText(LNotification::GetNotificationID(name));
    if (id == nullptr)
    {
        return RESULT_FALSE;
    }
    Guard guard(*this);
    RCPtr<LNotificationClientPool> pool = FindPoolLocked(id);
    const bool isNew = !pool || pool->GetClientIndex(client) < 0;
    if (isNew)
    {
        AddReference();
        ModifyNumContainedReferences(1);
        if (mRegistrationCount++ == 0)
        {
            RCPtr<LNotificationDistributor> listReference(this);
            AutolockT<Mutex> listLock(sNotificationDistributorsMutex);
            // The slot takes over the reference: nothing is released here. A
            // distributor the list could not take stays off it (it is then not
            // released at exit) and its reference goes with listReference.
            if (AppendTakingOver(sNotificationDistributors, listReference))
            {
                ModifyNumContainedReferences(1);
            }
        }
    }
    if (!pool)
    {
        pool = LNotificationClientPool::Create(id);
        static_cast<void>(mPools.AppendItem(pool)); // grows or throws
    }
    // The client is not null, the one thing AddClient refuses.
    static_cast<void>(pool->AddClient(client, flags));
    return isNew ? RESULT_OK : RESULT_FALSE;
}

int LNotificationDistributor::UnregisterLocked(const RCPtr<LNotificationClient>& client, const char* id)
{
    RCPtr<LNotificationClientPool> pool = FindPoolLocked(id);
    if (!pool)
    {
        return RESULT_FALSE;
    }
    RCPtr<LNotificationRegisteredClientInfo> removed;
    if (pool->RemoveClient(client, removed) != 0)
    {
        return RESULT_FALSE;
    }
    if (--mRegistrationCount == 0)
    {
        AutolockT<Mutex> listLock(sNotificationDistributorsMutex);
        for (int64_t i = sNotificationDistributors.GetCount() - 1; i >= 0; --i)
        {
            if (sNotificationDistributors[static_cast<size_t>(i)].GetRaw() == this)
            {
                // Lowered before the reference goes, so that its release is an
                // ordinary one and not taken for the last outside release.
                ModifyNumContainedReferences(-1);
                RCPtr<LNotificationDistributor> listReference;
                static_cast<void>(
                    sNotificationDistributors.RemoveItem(static_cast<size_t>(i), listReference));
                mDeferredListReferences.emplace_back();
                mDeferredListReferences.back().SwapReference(listReference);
                break;
            }
        }
    }
    ModifyNumContainedReferences(-1);
    ++mDeferredReleases;
    return 0;
}

int LNotificationDistributor::UnregisterNotificationClient(const RCPtr<LNotificationClient>& client,
                                                           const char* name)
{
    if (!client)
    {
        return RESULT_INVALID_ARGUMENT;
    }
    const char* id = ToIDText(LNotification::GetNotificationID(name));
    if (id == nullptr)
    {
        return RESULT_INVALID_ARGUMENT;
    }
    // Keeps the distributor alive until the guard has released what it deferred.
    RCPtr<LNotificationDistributor> self(this);
    Guard guard(*this);
    return UnregisterLocked(client, id);
}

int LNotificationDistributor::UnregisterNotificationClient(const RCPtr<LNotificationClient>& client)
{
    if (!client)
    {
        return RESULT_INVALID_ARGUMENT;
    }
    RCPtr<LNotificationDistributor> self(this);
    Guard guard(*this);
    int removed = 0;
    for (int64_t i = mPools.GetCount() - 1; i >= 0; --i)
    {
        const char* id = mPools[static_cast<size_t>(i)]->GetID();
        if (id != nullptr && UnregisterLocked(client, id) == 0)
        {
            ++removed;
        }
    }
    return removed;
}

bool LNotificationDistributor::IsClientRegistered(const RCPtr<LNotificationClient>& client)
{
    Guard guard(*this);
    for (int64_t i = mPools.GetCount() - 1; i >= 0; --i)
    {
        if (mPools[static_cast<size_t>(i)]->GetClientIndex(client) >= 0)
        {
            return true;
        }
    }
    return false;
}

int LNotificationDistributor::GetDeliveryFlags(const RCPtr<LNotificationClient>& client, const char* name,
                                               DeliveryFlags& flags)
{
    const char* id = ToIDText(LNotification::GetNotificationID(name));
    if (id == nullptr)
    {
        return RESULT_FAILED;
    }
    Guard guard(*this);
    RCPtr<LNotificationClientPool> pool = FindPoolLocked(id);
    if (!pool)
    {
        return RESULT_FAILED;
    }
    return pool->GetClientFlags(client, flags);
}

// Each pool's clients are taken as they are when the pool's turn comes, so every
// client registered then is asked once, whatever the others do meanwhile.
int LNotificationDistributor::ForceAllRegisteredClientsToUnregister()
{
    RCPtr<LNotificationDistributor> self(this);
    Guard guard(*this);
    for (int64_t i = mPools.GetCount() - 1; i >= 0; --i)
    {
        const RCPtr<LNotificationClientPool> pool = mPools[static_cast<size_t>(i)];
        RCPtrArray<LNotificationClient, 1, 0> clients;
        pool->GetClients(clients);
        for (int64_t j = 0; j < clients.GetCount(); ++j)
        {
            // A client that refuses stays registered: its answer changes nothing.
            static_cast<void>(
                clients[static_cast<size_t>(j)]->ForceUnregisterNotification(self, pool->GetID()));
        }
    }
    return 0;
}

RCPtr<LNotificationDistributor::LNotificationClientPool>
LNotificationDistributor::GetNotificationClientPool(const char* id)
{
    Guard guard(*this);
    return FindPoolLocked(id);
}

void LNotificationDistributor::DeliverNotification(const RCPtr<LNotificationClient>& client,
                                                   const RCPtr<LNotification>& notification)
{
    if (!client)
    {
        return;
    }
    client->HandleNotification(RCPtr<LNotificationDistributor>(this), notification);
}

int LNotificationDistributor::DeliverNotificationAllClients(const RCPtr<LNotification>& notification)
{
    if (!notification)
    {
        return RESULT_INVALID_ARGUMENT;
    }
    // A handler may drop the last registration, and with it the last reference.
    RCPtr<LNotificationDistributor> self(this);
    RCPtr<LNotificationClientPool> pool;
    {
        Guard guard(*this);
        pool = FindPoolLocked(notification->GetName());
    }
    if (!pool)
    {
        return RESULT_FALSE;
    }
    return pool->DeliverNotification(self, notification);
}

} // namespace KT
