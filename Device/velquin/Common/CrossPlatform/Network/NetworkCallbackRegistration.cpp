#include "velquin/Common/CrossPlatform/Network/NetworkCallbackRegistration.h"

#include <utility>

#include "KTFramework/Utilities/Storage/ThreadCachedBlocks.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnection.h"

namespace
{

constexpr const char* kJobNameFormat = "LCallBackThreadWorker #%u for NetworkConnection %u, channel %u";

using JobBlocks = KT::ThreadCachedBlocks<LNetworkCallbackRegistration::LCallBackThreadWorker, KT::FastMutex>;

// The connection whose callback the thread runs, or null.
thread_local const LNetworkConnection* tDeliveringFor = nullptr;

class DeliveringScope
{
public:
    explicit DeliveringScope(const LNetworkConnection* connection) noexcept : mOuter(tDeliveringFor)
    {
        tDeliveringFor = connection;
    }
    ~DeliveringScope() { tDeliveringFor = mOuter; }
    DeliveringScope(const DeliveringScope&) = delete;
    DeliveringScope& operator=(const DeliveringScope&) = delete;

private:
    const LNetworkConnection* const mOuter;
};

} // namespace

std::atomic<std::uint32_t> LNetworkCallbackRegistration::LCallBackThreadWorker::smCount{0};

// ---- LNetworkCallbackRegistration

LNetworkCallbackRegistration::LNetworkCallbackRegistration(
    const KT::RCPtr<LNetworkConnectionCallbackInterface>& callback, std::uint32_t channel,
    const KT::RCPtr<LNetworkConnection>& owner, const KT::RCPtr<KT::LThreadPool>& pool)
    : mChannel(channel), mConnectionID(!owner ? 0u : owner->GetID()), mOwner(owner), mCallback(callback),
      mPool(pool)
{
}

LNetworkCallbackRegistration::~LNetworkCallbackRegistration()
{
    // Removal kills the pool first; this only makes sure no job outlives the
    // registration it points at.
    mPool->Kill();
}

KT::RCPtr<LNetworkCallbackRegistration>
LNetworkCallbackRegistration::Create(const KT::RCPtr<LNetworkConnectionCallbackInterface>& callback,
                                     std::uint32_t channel, const KT::RCPtr<LNetworkConnection>& owner)
{
    if (!callback)
    {
        return KT::RCPtr<LNetworkCallbackRegistration>();
    }
    KT::RCPtr<KT::LThreadPool> pool = KT::LThreadPool::Create(1, KT::Thread::PRIORITY_HIGHEST);
    if (!pool)
    {
        return KT::RCPtr<LNetworkCallbackRegistration>();
    }
    return KT::RCPtr<LNetworkCallbackRegistration>(
        new LNetworkCallbackRegistration(callback, channel, owner, pool));
}

bool LNetworkCallbackRegistration::IsMatch(const KT::RCPtr<LNetworkConnectionCallbackInterface>& callback,
                                           std::uint32_t channel) const
{
    return callback.GetRaw() != nullptr && callback == mCallback && channel == mChannel;
}

void LNetworkCallbackRegistration::ReceivedMessages(NetworkReceivedMessage* messages, std::size_t count,
                                                    bool take, NetworkReceiveBacklog& backlog,
                                                    std::vector<KT::LThreadPool::Job>& jobs)
{
    std::uint32_t mine = 0;
    for (std::size_t i = 0; i < count; ++i)
    {
        mine += messages[i].channel == mChannel ? 1u : 0u;
    }
    if (mine == 0)
    {
        return;
    }
    std::uint32_t number = LCallBackThreadWorker::smCount.fetch_add(mine) + 1;
    std::size_t heldBytes = 0;
    for (std::size_t i = 0; i < count; ++i)
    {
        if (messages[i].channel != mChannel)
        {
            continue;
        }
        LCallBackThreadWorker* const job = new LCallBackThreadWorker(this, number++, mConnectionID, mChannel);
        KT::RCPtr<KT::LThreadWorker> worker(job);
        job->mSequenceID = messages[i].sequenceID;
        job->mCount = messages[i].count;
        job->mPayload = take
                            ? KT::ConstRCPtr<KT::LIBuffer>(messages[i].payload.LeakRef(), KT::kAdoptReference)
                            : KT::ConstRCPtr<KT::LIBuffer>(messages[i].payload.GetRaw());
        job->mHeldBytes = NetworkReceiveBacklog::HeldBytes(*job->mPayload);
        job->mBacklog = &backlog;
        heldBytes += job->mHeldBytes;
        jobs.push_back(KT::LThreadPool::Job{std::move(worker), KT::RCPtr<KT::LRefCountedObject>(),
                                            KT::Thread::PRIORITY_ABOVE_NORMAL});
    }
    // Taken before any job can run and give its share back.
    backlog.Take(heldBytes, jobs.size());
    mPool->Queue(jobs.data(), jobs.size());
    jobs.clear();
}

void LNetworkCallbackRegistration::ConnectionError(NetworkError error)
{
    KT::RCPtr<LCallBackThreadWorker> job(new LCallBackThreadWorker(
        this, LCallBackThreadWorker::smCount.fetch_add(1) + 1, mConnectionID, mChannel));
    job->mError = error;
    mPool->Queue(KT::RCPtr<KT::LThreadWorker>(job), KT::RCPtr<KT::LRefCountedObject>(),
                 KT::Thread::PRIORITY_ABOVE_NORMAL);
}

bool LNetworkCallbackRegistration::IsDeliveringFor(const LNetworkConnection& connection) noexcept
{
    return tDeliveringFor == &connection;
}

void LNetworkCallbackRegistration::KillThreads()
{
    mPool->Kill();
    mPool->ReleaseWhenIdle(KT::RCPtr<KT::LRefCountedObject>(this));
}

// ---- LCallBackThreadWorker

LNetworkCallbackRegistration::LCallBackThreadWorker::LCallBackThreadWorker(
    const LNetworkCallbackRegistration* registration, std::uint32_t number, std::uint32_t connectionID,
    std::uint32_t channel)
    : mRegistration(registration), mNumber(number), mConnectionID(connectionID), mChannel(channel)
{
}

KT::RCPtr<LNetworkCallbackRegistration::LCallBackThreadWorker>
LNetworkCallbackRegistration::LCallBackThreadWorker::Create(
    const KT::RCPtr<LNetworkConnection>& connection, const KT::RCPtr<LNetworkConnectionCallbackInterface>&,
    std::uint32_t channel)
{
    return KT::RCPtr<LCallBackThreadWorker>(new LCallBackThreadWorker(
        nullptr, smCount.fetch_add(1) + 1, !connection ? 0u : connection->GetID(), channel));
}

int LNetworkCallbackRegistration::LCallBackThreadWorker::RunWorker(const KT::RCPtr<KT::LRefCountedObject>&)
{
    if (mRegistration == nullptr)
    {
        return 0;
    }
    LNetworkConnectionCallbackInterface& callback = *mRegistration->mCallback;
    const DeliveringScope delivering(mRegistration->mOwner.GetRaw());
    if (!mPayload)
    {
        callback.ConnectionErrorCallback(mRegistration->mOwner, mError);
        return 0;
    }
    callback.ReceivedMessageCallback(mRegistration->mOwner, mPayload, mChannel, mSequenceID, mCount);
    // Delivered: the receiver may read in its place, and reuse its buffer
    // unless the callback kept it.
    Release();
    return 0;
}

LNetworkCallbackRegistration::LCallBackThreadWorker::~LCallBackThreadWorker()
{
    // A job dropped by a killed pool never ran.
    Release();
}

void LNetworkCallbackRegistration::LCallBackThreadWorker::Release() noexcept
{
    mPayload.SetNull();
    if (mBacklog != nullptr)
    {
        mBacklog->GiveBack(mHeldBytes);
        mBacklog = nullptr;
    }
}

KT::StringT<char, unsigned short> LNetworkCallbackRegistration::LCallBackThreadWorker::ToString() const
{
    KT::DeferredName name;
    static_cast<void>(GetDeferredName(name));
    return name.ToString();
}

bool LNetworkCallbackRegistration::LCallBackThreadWorker::GetDeferredName(KT::DeferredName& name) const
{
    name = KT::DeferredName(kJobNameFormat, mNumber, mConnectionID, mChannel);
    return true;
}

void* LNetworkCallbackRegistration::LCallBackThreadWorker::operator new(std::size_t size)
{
    return JobBlocks::Alloc(size);
}

void LNetworkCallbackRegistration::LCallBackThreadWorker::operator delete(void* block) noexcept
{
    JobBlocks::Free(block);
}
