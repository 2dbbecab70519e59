// NetworkReceiveBacklog: what a connection has read and its registrations not
// yet delivered, counted in messages and in the memory their buffers take (a
// small message still holds a whole receive block), and the bound on it. A
// stream receiver stops reading while the backlog is at the bound and waits
// here until deliveries bring it down; a datagram receiver drops what it reads
// meanwhile. Owned by the connection's registrations.
//
// Threads: a delivery job takes its message's share on the receiver's thread,
// under the registrations' lock, and gives it back on its registration's
// delivery thread (or wherever a killed pool drops it). The counts are atomics;
// mRoom is released only while a receiver waits for it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "KTFramework/Utilities/Threading/Event.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnectionSendBuffer.h"

class NetworkReceiveBacklog
{
public:
    // The bound: a peer decides no more of the host's memory than this. The
    // two meet for messages of one receive block (8 KiB) each.
    static constexpr std::size_t kMostBytes = 8u * 1024u * 1024u;
    static constexpr std::size_t kMostMessages = 1024;
    // A receiver held back reads again once deliveries have brought the
    // backlog down to this share of the bound, so that it reads many messages
    // per wake, not one.
    static constexpr std::size_t kResumeDivisor = 2;
    // While a callback of the connection waits for a reply, its own delivery
    // thread cannot bring the backlog down: the receivers then read on, up to
    // this many times the bound, so that a reply behind the backlog arrives.
    static constexpr std::size_t kReplyAllowance = 4;

    NetworkReceiveBacklog() : mRoom(true) {}
    NetworkReceiveBacklog(const NetworkReceiveBacklog&) = delete;
    NetworkReceiveBacklog& operator=(const NetworkReceiveBacklog&) = delete;

    // What a message takes: its buffer's whole block, header and all.
    static std::size_t HeldBytes(const LNetworkConnectionSendBuffer& message) noexcept
    {
        return LNetworkConnectionSendBuffer::kHeaderSize + message.GetAllocatedSize();
    }

    // A delivery job holds a message whose buffer takes bytes, until it gives
    // it back.
    void Take(std::size_t bytes) noexcept;
    void GiveBack(std::size_t bytes) noexcept;

    // Whether messages more, taking bytes more (read and not yet handed over),
    // may be read: the backlog with them is below the bound.
    bool HasRoom(std::size_t messages, std::size_t bytes) const noexcept;
    // Waits up to milliseconds for deliveries to bring the backlog down to the
    // point where a held-back receiver reads again, or for a callback to wait
    // for a reply; true when either has come.
    bool WaitForRoom(unsigned int milliseconds);
    // A callback of the connection begins or ends waiting for a reply.
    void BeginDeliveryWait() noexcept;
    void EndDeliveryWait() noexcept;

    std::size_t GetMessages() const noexcept { return mMessages.load(); }
    std::size_t GetBytes() const noexcept { return mBytes.load(); }
    // A receiver waits in WaitForRoom.
    bool IsHoldingBack() const noexcept { return mWaiting.load() != 0; }

private:
    bool IsLow() const noexcept;
    void WakeWaiting() noexcept;

    std::atomic<std::size_t> mMessages{0};
    std::atomic<std::size_t> mBytes{0};
    std::atomic<std::uint32_t> mWaiting{0};
    std::atomic<std::uint32_t> mDeliveryWaits{0};
    KT::Event mRoom; // auto-reset
};
