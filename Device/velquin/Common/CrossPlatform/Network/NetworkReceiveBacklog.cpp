#include "velquin/Common/CrossPlatform/Network/NetworkReceiveBacklog.h"

void NetworkReceiveBacklog::Take(std::size_t bytes, std::size_t messages) noexcept
{
    mHeld.fetch_add(Held(bytes, messages));
}

void NetworkReceiveBacklog::GiveBack(std::size_t bytes) noexcept
{
    const std::uint64_t held = mHeld.fetch_sub(Held(bytes, 1)) - Held(bytes, 1);
    if (IsLow(held))
    {
        WakeWaiting();
    }
}

void NetworkReceiveBacklog::BeginReplyWait() noexcept
{
    mReplyWaits.fetch_add(1);
    WakeWaiting();
}

void NetworkReceiveBacklog::EndReplyWait() noexcept
{
    mReplyWaits.fetch_sub(1);
}

void NetworkReceiveBacklog::Wake() noexcept
{
    WakeWaiting();
}

void NetworkReceiveBacklog::Close() noexcept
{
    mClosed.store(true);
    WakeWaiting();
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

bool NetworkReceiveBacklog::HasRoom(std::size_t messages, std::size_t bytes, bool awaited) const noexcept
{
    const std::uint64_t held = mHeld.load();
    if (awaited || mReplyWaits.load() != 0)
    {
        return MessagesOf(held) + messages < kMostReadAheadMessages &&
               BytesOf(held) + bytes < kMostReadAheadBytes;
    }
    return MessagesOf(held) + messages < kMostMessages && BytesOf(held) + bytes < kMostBytes;
}

bool NetworkReceiveBacklog::WaitForRoom(unsigned int milliseconds)
{
    mWaiting.fetch_add(1);
    const auto hasRoom = [this]
    { return mClosed.load() || IsLow(mHeld.load()) || (mReplyWaits.load() != 0 && HasRoom(0, 0)); };
    bool room = hasRoom();
    if (!room)
    {
        // A release left over from an earlier wait, or one meant for Wake,
        // only makes this one look again early.
        const bool released = mRoom.Wait(milliseconds) == 0;
        room = hasRoom() || released;
    }
    mWaiting.fetch_sub(1);
    if (mClosed.load())
    {
        // A connection of two receivers may have both waiting: the release
        // that woke this one goes on to the other.
        WakeWaiting();
    }
    return room;
}

bool NetworkReceiveBacklog::IsLow(std::uint64_t held) noexcept
{
    return MessagesOf(held) <= kMostMessages / kResumeDivisor && BytesOf(held) <= kMostBytes / kResumeDivisor;
}
