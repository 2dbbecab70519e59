#include "velquin/Common/CrossPlatform/Network/NetworkSendBacklog.h"

#include "KTFramework/System/TimeUtils.h"
#include "velquin/Common/CrossPlatform/Network/NetworkTimeouts.h"

bool NetworkSendBacklog::HasRoom(std::size_t bytes) const noexcept
{
    const std::size_t kept = mBytes.load();
    return kept == 0 || (bytes <= kMostBytes && kept <= kMostBytes - bytes);
}

void NetworkSendBacklog::Keep(std::size_t bytes) noexcept
{
    mBytes.fetch_add(bytes);
}

void NetworkSendBacklog::GiveBack(std::size_t bytes)
{
    mBytes.fetch_sub(bytes);
    mProgress.fetch_add(1);
    // Only the first waiting send may take the room; the others wait for
    // their turn.
    if (mQueued.load() != 0)
    {
        KT::AutolockT<KT::FastMutex> guard(mQueueLock);
        WakeFirst();
    }
}

void NetworkSendBacklog::Close()
{
    mClosed.store(true);
    KT::AutolockT<KT::FastMutex> guard(mQueueLock);
    for (Turn* turn = mFirst; turn != nullptr; turn = turn->mNext)
    {
        if (turn->mWake)
        {
            static_cast<void>(turn->mWake->Release());
        }
    }
}

bool NetworkSendBacklog::IsFirst(const Turn& turn)
{
    KT::AutolockT<KT::FastMutex> guard(mQueueLock);
    return mFirst == &turn;
}

void NetworkSendBacklog::Join(Turn& turn)
{
    turn.mNext = nullptr;
    if (mLast != nullptr)
    {
        mLast->mNext = &turn;
    }
    else
    {
        mFirst = &turn;
    }
    mLast = &turn;
    turn.mQueued = true;
    mQueued.fetch_add(1);
}

void NetworkSendBacklog::Leave(Turn& turn)
{
    if (!turn.mQueued)
    {
        return;
    }
    KT::AutolockT<KT::FastMutex> guard(mQueueLock);
    Turn* before = nullptr;
    for (Turn* at = mFirst; at != &turn; at = at->mNext)
    {
        before = at;
    }
    (before != nullptr ? before->mNext : mFirst) = turn.mNext;
    if (mLast == &turn)
    {
        mLast = before;
    }
    turn.mQueued = false;
    mQueued.fetch_sub(1);
    if (before == nullptr)
    {
        WakeFirst();
    }
}

void NetworkSendBacklog::WakeFirst()
{
    if (mFirst != nullptr && mFirst->mWake)
    {
        static_cast<void>(mFirst->mWake->Release());
    }
}

NetworkSendBacklog::Turn::~Turn()
{
    mBacklog.Leave(*this);
}

bool NetworkSendBacklog::Turn::TakeRoom(std::size_t bytes)
{
    NetworkSendBacklog& backlog = mBacklog;
    if (mQueued)
    {
        return backlog.IsFirst(*this) && backlog.HasRoom(bytes);
    }
    // Turns join only here, under the lock under which parts are kept: an
    // empty queue stays empty until this send has kept its parts.
    if (backlog.mQueued.load() == 0 && backlog.HasRoom(bytes))
    {
        return true;
    }
    KT::AutolockT<KT::FastMutex> guard(backlog.mQueueLock);
    if (backlog.mFirst == nullptr && backlog.HasRoom(bytes))
    {
        return true;
    }
    backlog.Join(*this);
    return false;
}

NetworkError NetworkSendBacklog::Turn::WaitForRoom(std::size_t bytes, const NetworkReceiveBacklog* heldBackBy,
                                                   std::int64_t deadline)
{
    NetworkSendBacklog& backlog = mBacklog;
    {
        // The event exists before the first look: a change made after it
        // releases the event, and the wait below returns at once.
        KT::AutolockT<KT::FastMutex> guard(backlog.mQueueLock);
        if (!mQueued)
        {
            backlog.Join(*this);
        }
        if (!mWake)
        {
            mWake.emplace(true);
        }
    }
    std::uint64_t progress = backlog.mProgress.load();
    std::int64_t progressAt = KT::TimeUtils::GetMillisecondCounter();
    for (;;)
    {
        if (backlog.mClosed.load())
        {
            return NETWORK_SEND_FAILED;
        }
        if (backlog.IsFirst(*this) && backlog.HasRoom(bytes))
        {
            return NETWORK_NO_ERROR;
        }
        if (heldBackBy != nullptr && heldBackBy->IsHoldingBack())
        {
            return NETWORK_OBJECT_OUT_OF_MEMORY;
        }
        const std::int64_t now = KT::TimeUtils::GetMillisecondCounter();
        const std::uint64_t seen = backlog.mProgress.load();
        if (seen != progress)
        {
            progress = seen;
            progressAt = now;
        }
        const std::int64_t limit = NetworkTimeouts::Get(NetworkTimeoutList::SEND_ROOM);
        std::int64_t left = limit - (now - progressAt);
        if (deadline - now < left)
        {
            left = deadline - now;
        }
        if (left <= 0)
        {
            return NETWORK_OBJECT_OUT_OF_MEMORY;
        }
        static_cast<void>(mWake->Wait(
            static_cast<unsigned int>(left < kWaitSliceMilliseconds ? left : kWaitSliceMilliseconds)));
    }
}
