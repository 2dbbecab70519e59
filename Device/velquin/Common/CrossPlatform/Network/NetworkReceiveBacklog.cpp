#include "velquin/Common/CrossPlatform/Network/NetworkReceiveBacklog.h"

void NetworkReceiveBacklog::Take(std::size_t bytes, std::size_t messages) noexcept
{
    mHeld.fetch_add(Held(bytes, messages));
}

void NetworkReceiveBacklog::GiveBack(std::size_t bytes, std::size_t messages) noexcept
{
    const std::uint64_t held = mHeld.fetch_sub(Held(bytes, messages)) - Held(bytes, messages);
    if (IsLow(held))
    {
        mSignal.Wake();
    }
}

void NetworkReceiveBacklog::BeginReplyWait() noexcept
{
    mReplyWaits.fetch_add(1);
    mSignal.Wake();
}

void NetworkReceiveBacklog::EndReplyWait() noexcept
{
    mReplyWaits.fetch_sub(1);
}

void NetworkReceiveBacklog::Wake() noexcept
{
    mSignal.Wake();
}

void NetworkReceiveBacklog::Close() noexcept
{
    mSignal.Close();
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
    mSignal.Enter();
    const auto hasRoom = [this]
    { return mSignal.IsClosed() || IsLow(mHeld.load()) || (mReplyWaits.load() != 0 && HasRoom(0, 0)); };
    bool room = hasRoom();
    if (!room)
    {
        // A release meant for Wake only makes this one look again early.
        const bool released = mSignal.Wait(milliseconds);
        room = hasRoom() || released;
    }
    // A connection of two receivers may have both waiting.
    mSignal.Leave();
    return room;
}

bool NetworkReceiveBacklog::IsLow(std::uint64_t held) noexcept
{
    return MessagesOf(held) <= kMostMessages / kResumeDivisor && BytesOf(held) <= kMostBytes / kResumeDivisor;
}
