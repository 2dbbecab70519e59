#include "velquin/Common/CrossPlatform/Network/NetworkRegistrations.h"

void NetworkRegistrations::Add(const KT::RCPtr<LNetworkCallbackRegistration>& registration)
{
    KT::AutolockT<KT::Mutex> guard(mLock);
    static_cast<void>(mCallbacks.AppendItem(registration)); // grows or throws
}

KT::RCPtr<LNetworkCallbackRegistration>
NetworkRegistrations::Remove(const KT::RCPtr<LNetworkConnectionCallbackInterface>& callback,
                             std::uint32_t channel)
{
    KT::RCPtr<LNetworkCallbackRegistration> removed;
    KT::AutolockT<KT::Mutex> guard(mLock);
    for (std::size_t i = static_cast<std::size_t>(mCallbacks.GetCount()); i-- > 0;)
    {
        if (mCallbacks[i]->IsMatch(callback, channel))
        {
            static_cast<void>(mCallbacks.RemoveItem(i, removed));
            break;
        }
    }
    return removed;
}

void NetworkRegistrations::BeginExchange(NetworkReplyWaiter& waiter)
{
    KT::AutolockT<KT::Mutex> guard(mLock);
    mWaiter = &waiter;
}

bool NetworkRegistrations::EndExchange(NetworkReplyWaiter& waiter)
{
    KT::AutolockT<KT::Mutex> guard(mLock);
    if (mWaiter == &waiter)
    {
        mWaiter = nullptr;
    }
    return waiter.HasReply();
}

void NetworkRegistrations::Deliver(NetworkReceivedMessage* messages, std::size_t count)
{
    if (count == 0)
    {
        return;
    }
    KT::AutolockT<KT::Mutex> guard(mLock);
    if (mWaiter != nullptr)
    {
        for (std::size_t i = 0; i < count; ++i)
        {
            if (messages[i].channel == mWaiter->GetChannel())
            {
                mWaiter->Store(messages[i].payload);
            }
        }
    }
    for (std::size_t i = static_cast<std::size_t>(mCallbacks.GetCount()); i-- > 0;)
    {
        // Registrations are handed the messages from the last to the first:
        // one with no earlier registration of its channel is the last to want
        // them.
        bool last = true;
        for (std::size_t earlier = 0; earlier < i && last; ++earlier)
        {
            last = mCallbacks[earlier]->GetChannel() != mCallbacks[i]->GetChannel();
        }
        mCallbacks[i]->ReceivedMessages(messages, count, last, mBacklog, mJobs);
    }
}

void NetworkRegistrations::DeliverError(NetworkError error)
{
    // Reply waiters ignore errors: their requester runs into its time-out.
    KT::AutolockT<KT::Mutex> guard(mLock);
    for (std::size_t i = static_cast<std::size_t>(mCallbacks.GetCount()); i-- > 0;)
    {
        mCallbacks[i]->ConnectionError(error);
    }
}
