// LNetworkCallbackRegistration: one callback registration of a connection: the
// interface that receives one channel's messages and the connection's errors,
// and the one-thread pool on which they are delivered to it, one at a time, in
// the order handed over. It holds its connection, so a connection with
// registrations lives until they are removed. Made by SetCallback and held by
// the connection's registrations. Its delivery jobs only point at it: they run
// before KillThreads, which drops the queued ones and waits for the running
// one, or, when it cannot wait, while the pool keeps the registration.
//
// Threads: jobs are made on the thread that hands messages or errors over (a
// receiver, or the acknowledgement worker), with the connection's
// registrations lock held, and run on the pool's worker; KillThreads runs on
// the remover's thread. The fields are fixed at creation.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Threading/ThreadPool.h"
#include "KTFramework/Utilities/Threading/ThreadWorker.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnectionCallbackInterface.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnectionSendBuffer.h"
#include "velquin/Common/CrossPlatform/Network/NetworkError.h"
#include "velquin/Common/CrossPlatform/Network/NetworkReceiveBacklog.h"

class LNetworkConnection;

// A message as a receiver hands it on: its payload (its receive block, or a
// copy of its own size for a message held behind others) and what its header
// tells a callback.
struct NetworkReceivedMessage
{
    KT::RCPtr<KT::LIBuffer> payload;
    std::uint32_t channel = 0;
    std::int32_t sequenceID = 0;
    // The header's previousSequenceMsgCount, or 1 - the part count for a
    // message reassembled from parts.
    std::int32_t count = 0;
};

class LNetworkCallbackRegistration : public virtual KT::LRefCountedObject
{
public:
    class LCallBackThreadWorker;

    // Null for a null interface or when the delivery pool cannot be made.
    static KT::RCPtr<LNetworkCallbackRegistration>
    Create(const KT::RCPtr<LNetworkConnectionCallbackInterface>& callback, std::uint32_t channel,
           const KT::RCPtr<LNetworkConnection>& owner);

    // The interface is not null, the same object as this one's, and the channel
    // is this one's.
    bool IsMatch(const KT::RCPtr<LNetworkConnectionCallbackInterface>& callback, std::uint32_t channel) const;
    std::uint32_t GetChannel() const noexcept { return mChannel; }

    // Queues one delivery job for every message of this registration's channel
    // among count messages, in their order, together. With take, the jobs take
    // over the messages' references (no later registration wants them). Each
    // job holds its message's share of the backlog until the callback has
    // returned or the job is dropped. jobs is scratch room, left empty.
    void ReceivedMessages(NetworkReceivedMessage* messages, std::size_t count, bool take,
                          NetworkReceiveBacklog& backlog, std::vector<KT::LThreadPool::Job>& jobs);
    void ConnectionError(NetworkError error);
    // Whether the calling thread runs a callback of the connection.
    static bool IsDeliveringFor(const LNetworkConnection& connection) noexcept;

    // Stops the delivery pool, dropping the jobs still queued and waiting for
    // the one running; when called from it, or when the wait times out, the
    // pool keeps this registration until that job has ended.
    void KillThreads();

    ~LNetworkCallbackRegistration() override;

private:
    LNetworkCallbackRegistration(const KT::RCPtr<LNetworkConnectionCallbackInterface>& callback,
                                 std::uint32_t channel, const KT::RCPtr<LNetworkConnection>& owner,
                                 const KT::RCPtr<KT::LThreadPool>& pool);

    const std::uint32_t mChannel;
    const std::uint32_t mConnectionID;
    const KT::RCPtr<LNetworkConnection> mOwner;
    const KT::RCPtr<LNetworkConnectionCallbackInterface> mCallback;
    const KT::RCPtr<KT::LThreadPool> mPool;
};

// One delivery: a message or an error for one registration, run on the
// registration's pool. It keeps the numbers its name is made of, not the name:
// "LCallBackThreadWorker #<n> for NetworkConnection <id>, channel <c>" is
// formatted only when asked for. Its storage comes from blocks that each
// thread caches, since steady traffic makes one per message on a receiver and
// ends it on a pool's worker.
class LNetworkCallbackRegistration::LCallBackThreadWorker final : public KT::LThreadWorker
{
public:
    // A job of no registration, numbered and named as the others are; running
    // it delivers nothing.
    static KT::RCPtr<LCallBackThreadWorker>
    Create(const KT::RCPtr<LNetworkConnection>& connection,
           const KT::RCPtr<LNetworkConnectionCallbackInterface>& callback, std::uint32_t channel);

    // Calls the registration's ReceivedMessageCallback with the message, or its
    // ConnectionErrorCallback with the error; the parameter is not used.
    int RunWorker(const KT::RCPtr<KT::LRefCountedObject>& parameter) override;
    KT::StringT<char, unsigned short> ToString() const override;
    bool GetDeferredName(KT::DeferredName& name) const override;

    static void* operator new(std::size_t size);
    static void operator delete(void* block) noexcept;

    // Jobs made so far in the process; only the names use it. A batch of jobs
    // takes its numbers together.
    static std::atomic<std::uint32_t> smCount;

    ~LCallBackThreadWorker() override;

private:
    friend class LNetworkCallbackRegistration;

    LCallBackThreadWorker(const LNetworkCallbackRegistration* registration, std::uint32_t number,
                          std::uint32_t connectionID, std::uint32_t channel);

    // Lets go of the message and gives its share of the backlog back.
    void Release() noexcept;

    // Null for a job of no registration. Not counted: counting it would move
    // the registration's count between two threads for every message.
    const LNetworkCallbackRegistration* const mRegistration;
    // The message's payload as the callback receives it; null for an error.
    KT::ConstRCPtr<KT::LIBuffer> mPayload;
    std::int32_t mSequenceID = 0;
    std::int32_t mCount = 0;
    // Where the message's share of the backlog goes back to, and its size;
    // null once given back. The backlog belongs to the registration's
    // connection, which the registration, and so the job, does not outlive.
    NetworkReceiveBacklog* mBacklog = nullptr;
    std::size_t mHeldBytes = 0;
    NetworkError mError = NETWORK_NO_ERROR;
    const std::uint32_t mNumber;
    const std::uint32_t mConnectionID;
    const std::uint32_t mChannel;
};
