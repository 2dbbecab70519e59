// NetworkRoomSignal: how a backlog wakes the threads that wait for room in it.
// A waiter counts itself in before it looks at the backlog and out after it;
// a change made after its look then finds it counted and releases the event,
// so that no wake is lost, and a change with nobody counted in costs one read.
// Closing wakes every waiter, now and later. Owned by its backlog (the receive
// and the send side's).
//
// Threads: any thread may wake or close; waiters wait on their own threads.
// The counts are atomics; the event is released only while someone waits.
#pragma once

#include <atomic>
#include <cstdint>

#include "KTFramework/Utilities/Threading/Event.h"

class NetworkRoomSignal
{
public:
    NetworkRoomSignal() : mRoom(true) {}
    NetworkRoomSignal(const NetworkRoomSignal&) = delete;
    NetworkRoomSignal& operator=(const NetworkRoomSignal&) = delete;

    // Around a waiter's looks and waits.
    void Enter() noexcept { mWaiting.fetch_add(1); }
    // The release that woke this waiter may have been meant for others too:
    // after a close, or a change that made room for several, it goes on.
    void Leave() noexcept
    {
        mWaiting.fetch_sub(1);
        Wake();
    }
    // Waits up to milliseconds for a wake; true when woken. A release left
    // over from an earlier wait only makes a waiter look again early.
    bool Wait(unsigned int milliseconds) { return mRoom.Wait(milliseconds) == 0; }

    // Something a waiter looks at has changed.
    void Wake() noexcept
    {
        if (mWaiting.load() != 0)
        {
            static_cast<void>(mRoom.Release());
        }
    }
    void Close() noexcept
    {
        mClosed.store(true);
        Wake();
    }
    bool IsClosed() const noexcept { return mClosed.load(); }
    std::uint32_t GetWaitingCount() const noexcept { return mWaiting.load(); }

private:
    std::atomic<std::uint32_t> mWaiting{0};
    std::atomic<bool> mClosed{false};
    KT::Event mRoom; // auto-reset
};
