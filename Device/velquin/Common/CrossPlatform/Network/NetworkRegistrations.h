// NetworkRegistrations: who receives what a connection reads: its callback
// registrations, in the order added, and the reply waiter of the request/reply
// exchange in progress. The receivers hand it the messages of each read and
// their errors; it passes every message to the registrations of its channel
// and every error to all callback registrations, the last added first. Owned
// by its connection.
//
// Nobody receives before the first registration or exchange, yet the
// receivers may already run (a reliable send needs its acknowledgements
// read): what they hand over until then is held, in order and counted in the
// backlog as delivery counts it, and handed over at that moment as if it had
// been read then; the errors that end a receiver meanwhile follow it.
//
// Threads: users' threads add and remove; the receivers and the
// acknowledgement worker hand over. mLock guards both and is held while
// something is handed over, which only stores a reply or queues delivery jobs:
// no user code runs under it, and nothing is released under it that its
// holders do not still hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "KTFramework/Utilities/Storage/RCPtrArray.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "KTFramework/Utilities/Threading/ThreadPool.h"
#include "Platform/ThreadAnnotations.h"
#include "velquin/Common/CrossPlatform/Network/NetworkCallbackRegistration.h"
#include "velquin/Common/CrossPlatform/Network/NetworkError.h"
#include "velquin/Common/CrossPlatform/Network/NetworkReceiveBacklog.h"
#include "velquin/Common/CrossPlatform/Network/NetworkReplyWaiter.h"

class NetworkRegistrations
{
public:
    NetworkRegistrations() : mCallbacks(0, 0) {}
    NetworkRegistrations(const NetworkRegistrations&) = delete;
    NetworkRegistrations& operator=(const NetworkRegistrations&) = delete;

    // The first Add or BeginExchange hands over what was held.
    void Add(const KT::RCPtr<LNetworkCallbackRegistration>& registration);
    // Takes out the latest registration that matches; null when none does.
    KT::RCPtr<LNetworkCallbackRegistration>
    Remove(const KT::RCPtr<LNetworkConnectionCallbackInterface>& callback, std::uint32_t channel);

    // The exchange's waiter until EndExchange; one exchange at a time.
    void BeginExchange(NetworkReplyWaiter& waiter);
    // Takes the waiter out; whether it was given a reply.
    bool EndExchange(NetworkReplyWaiter& waiter);

    // The complete messages of one read, in order, under one hold of the lock.
    // The last registration of each channel takes over the messages'
    // references, leaving them null; until the first registration or
    // exchange they are all taken and held.
    void Deliver(NetworkReceivedMessage* messages, std::size_t count);
    void DeliverError(NetworkError error);

    // The messages handed to callback registrations and not yet delivered.
    NetworkReceiveBacklog& GetBacklog() noexcept { return mBacklog; }

private:
    void DeliverUnderLock(NetworkReceivedMessage* messages, std::size_t count) REQUIRES(mLock);
    void DeliverErrorUnderLock(NetworkError error) REQUIRES(mLock);
    // Once someone receives: hands over what was held. The messages no
    // registration took go to unheld, to be released once the lock is not
    // held.
    void Open(std::vector<NetworkReceivedMessage>& unheld) REQUIRES(mLock);

    NetworkReceiveBacklog mBacklog;
    KT::Mutex mLock;
    KT::RCPtrArray<LNetworkCallbackRegistration, 1, 0> mCallbacks GUARDED_BY(mLock);
    NetworkReplyWaiter* mWaiter GUARDED_BY(mLock) = nullptr;
    std::vector<KT::LThreadPool::Job> mJobs GUARDED_BY(mLock); // room that Deliver reuses
    // Until the first registration or exchange: what the receivers handed
    // over, the share of the backlog it takes, and their errors.
    bool mOpen GUARDED_BY(mLock) = false;
    std::vector<NetworkReceivedMessage> mHeld GUARDED_BY(mLock);
    std::size_t mHeldBytes GUARDED_BY(mLock) = 0;
    std::vector<NetworkError> mHeldErrors GUARDED_BY(mLock);
};
