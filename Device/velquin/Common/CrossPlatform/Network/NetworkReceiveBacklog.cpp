#include "velquin/Common/CrossPlatform/Network/NetworkReceiveBacklog.h"

void NetworkReceiveBacklog::Take(std::size_t bytes) noexcept
{
    mMessages.fetch_add(1);
    mBytes.fetch_add(bytes);
}

void NetworkReceiveBacklog::GiveBack(std::size_t bytes) noexcept
{
    mMessages.fetch_sub(1);
    mBytes.fetch_sub(bytes);
    if (IsLow())
    {
        WakeWaiting();
    }
}

void NetworkReceiveBacklog::BeginDeliveryWait() noexcept
{
    mDeliveryWaits.fetch_add(1);
    WakeWaiting();
}

void NetworkReceiveBacklog::EndDeliveryWait() noexcept
{
    mDeliveryWaits.fetch_sub(1);
}

void NetworkReceiveBacklog::WakeWaiting() noexcept
{
    // Ordered after the change: a receiver that announced its wait before this
    // read either sees the change when it looks, or is woken here.
    if (mWaiting.load() != 0)
    {
        static_cast<void>(mRoom.Release());
    }
}

bool NetworkReceiveBacklog::HasRoom(std::size_t messages, std::size_t bytes) const noexcept
{
    const std::size_t allowance = mDeliveryWaits.load() != 0 ? kReplyAllowance : 1;
    return mMessages.load() + messages < kMostMessages * allowance &&
           mBytes.load() + bytes < kMostBytes * allowance;
}

bool NetworkReceiveBacklog::WaitForRoom(unsigned int milliseconds)
{
    mWaiting.fetch_add(1);
    const auto hasRoom = [this] { return IsLow() || (mDeliveryWaits.load() != 0 && HasRoom(0, 0)); };
    bool room = hasRoom();
    if (!room)
    {
        // A release left over from an earlier wait only makes this one look
        // again early.
        static_cast<void>(mRoom.Wait(milliseconds));
        room = hasRoom();
    }
    mWaiting.fetch_sub(1);
    return room;
}

bool NetworkReceiveBacklog::IsLow() const noexcept
{
    return mMessages.load() <= kMostMessages / kResumeDivisor && mBytes.load() <= kMostBytes / kResumeDivisor;
}
