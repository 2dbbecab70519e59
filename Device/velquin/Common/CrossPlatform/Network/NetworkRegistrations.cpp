#include "velquin/Common/CrossPlatform/Network/NetworkRegistrations.h"

#include <utility>

void NetworkRegistrations::Add(const KT::RCPtr<LNetworkCallbackRegistration>& registration)
{
    std::vector<NetworkReceivedMessage> unheld; // released after the lock
    KT::AutolockT<KT::Mutex> guard(mLock);
    static_cast<void>(mCallbacks.AppendItem(registration)); // grows or throws
    Open(unheld);
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
    std::vector<NetworkReceivedMessage> unheld; // released after the lock
    KT::AutolockT<KT::Mutex> guard(mLock);
    mWaiter = &waiter;
    Open(unheld);
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

void NetworkRegistrations::Open(std::vector<NetworkReceivedMessage>& unheld)
{
    if (mOpen)
    {
        return;
    }
    mOpen = true;
    if (!mHeld.empty())
    {
        // The jobs take their shares before the held ones go back, so that
        // the backlog never looks emptier than it is.
        DeliverUnderLock(mHeld.data(), mHeld.size());
        mBacklog.GiveBack(mHeldBytes, mHeld.size());
        mHeldBytes = 0;
        unheld.swap(mHeld);
    }
    for (const NetworkError error : mHeldErrors)
    {
        DeliverErrorUnderLock(error);
    }
    std::vector<NetworkError>().swap(mHeldErrors);
}

void NetworkRegistrations::Deliver(NetworkReceivedMessage* messages, std::size_t count)
{
    if (count == 0)
    {
        return;
    }
    KT::AutolockT<KT::Mutex> guard(mLock);
    if (mOpen)
    {
        DeliverUnderLock(messages, count);
        return;
    }
    mHeld.reserve(mHeld.size() + count); // grows or throws, before anything moves
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < count; ++i)
    {
        bytes += NetworkReceiveBacklog::HeldBytes(*messages[i].payload);
        mHeld.push_back(std::move(messages[i]));
    }
    mHeldBytes += bytes;
    mBacklog.Take(bytes, count);
}

void NetworkRegistrations::DeliverUnderLock(NetworkReceivedMessage* messages, std::size_t count)
{
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
    KT::AutolockT<KT::Mutex> guard(mLock);
    if (!mOpen)
    {
        mHeldErrors.push_back(error); // grows or throws
        return;
    }
    DeliverErrorUnderLock(error);
}

void NetworkRegistrations::DeliverErrorUnderLock(NetworkError error)
{
    // Reply waiters ignore errors: their requester runs into its time-out.
    for (std::size_t i = static_cast<std::size_t>(mCallbacks.GetCount()); i-- > 0;)
    {
        mCallbacks[i]->ConnectionError(error);
    }
}
