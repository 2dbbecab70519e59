// NetworkReceiveBacklog: what a connection has read and its registrations not
// yet delivered, counted in the memory its messages really hold, and the one
// owner of the connection's receive flow control. Owned by the connection's
// registrations.
//
// The policy:
// - The bound: at most kMostBytes are held for delivery. A held message counts
//   its payload's block and a fixed share for its delivery job and buffer
//   object (kHeldOverheadBytes); a small message held while a backlog builds
//   is copied out of its receive block first (see ShouldCompact), so that it
//   holds about what it is. kMostMessages only follows from those two.
// - At the bound a stream receiver stops reading, so that TCP slows the peer,
//   and a datagram receiver reads each datagram into a fixed scratch block and
//   drops it (a reliable channel's sender resends it).
// - A reply never waits behind deliveries: while an exchange of the
//   connection waits for its reply, from whatever thread, the receivers read
//   on past the bound, up to kMostReadAheadBytes, and hand the reply to its
//   waiter at once; what they read meanwhile is held for delivery in order.
//   Only past that cap does an exchange end as a time-out does.
// - Acknowledgements never wait behind deliveries either: a stream receiver
//   that carries the acknowledgements of a reliable channel (the TCP socket
//   of a connection of two sockets) reads on likewise while that channel
//   waits for them. A datagram receiver takes control packets at the bound
//   anyway, and holds no more for them than the bound.
// - What is read before the first registration or exchange, which the
//   registrations hold until then (NetworkRegistrations), counts as held for
//   delivery: the bound and its rules apply to it alike.
// - Closing the connection wakes a held-back receiver at once.
// - A slow callback is never a reason to disconnect.
//
// Threads: a delivery job takes its message's share on a receiver's thread,
// under the registrations' lock, and gives it back on its registration's
// delivery thread (or wherever a killed pool drops it). The counts are atomics;
// NetworkRoomSignal wakes a held-back receiver.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "KTFramework/Utilities/Storage/Buffer.h"
#include "velquin/Common/CrossPlatform/Network/NetworkPayloadPacks.h"
#include "velquin/Common/CrossPlatform/Network/NetworkRoomSignal.h"

class NetworkReceiveBacklog
{
public:
    // The bound: a peer decides no more of the host's memory than this while
    // nobody waits for a reply.
    static constexpr std::size_t kMostBytes = 8u * 1024u * 1024u;
    // What a held message costs beyond its payload's block: its delivery job,
    // its buffer object, its place in the delivery queue and their allocator
    // headers (about 300 bytes measured for a 200-byte message), rounded up.
    static constexpr std::size_t kHeldOverheadBytes = 320;
    // Every message counts at least kHeldOverheadBytes, so the byte bound is
    // always reached first; the count only keeps the arithmetic bounded.
    static constexpr std::size_t kMostMessages = kMostBytes / kHeldOverheadBytes;
    // The hard cap of what the receivers hold while a reply or an
    // acknowledgement is awaited.
    static constexpr std::size_t kMostReadAheadBytes = 64u * 1024u * 1024u;
    static constexpr std::size_t kMostReadAheadMessages = kMostReadAheadBytes / kHeldOverheadBytes;
    // A receiver held back reads again once deliveries have brought the
    // backlog down to this share of the bound, so that it reads many messages
    // per wake, not one.
    static constexpr std::size_t kResumeDivisor = 2;
    // A message of at most kCompactMostBytes payload, read while at least
    // kCompactAfterMessages wait for delivery, is copied into a buffer of its
    // own size and its receive block is read into again at once. Below that a
    // backlog of receive blocks costs little, and the copy is saved.
    static constexpr std::size_t kCompactMostBytes = NetworkPayloadPacks::kMostPayloadBytes;
    static constexpr std::size_t kCompactAfterMessages = 64;

    NetworkReceiveBacklog() = default;
    NetworkReceiveBacklog(const NetworkReceiveBacklog&) = delete;
    NetworkReceiveBacklog& operator=(const NetworkReceiveBacklog&) = delete;

    // What a held message takes: its buffer's whole block and the overhead.
    static std::size_t HeldBytes(const KT::LIBuffer& payload) noexcept
    {
        return payload.GetAllocatedSize() + kHeldOverheadBytes;
    }
    // Whether a message of payloadBytes, read while unhanded messages more
    // wait to be handed over, is copied out of its receive block.
    bool ShouldCompact(std::size_t payloadBytes, std::size_t unhanded) const noexcept
    {
        return payloadBytes <= kCompactMostBytes && GetMessages() + unhanded >= kCompactAfterMessages;
    }

    // Delivery jobs hold messages whose buffers take bytes, until each gives
    // its message's share back: messages are taken a batch at a time.
    void Take(std::size_t bytes, std::size_t messages = 1) noexcept;
    void GiveBack(std::size_t bytes, std::size_t messages = 1) noexcept;

    // Whether messages more, taking bytes more (read and not yet handed over),
    // may be read: the backlog with them is below the bound, or below the
    // read-ahead cap while a reply is awaited (awaited also covers what only
    // the caller knows to be awaited: the acknowledgements a stream carries).
    bool HasRoom(std::size_t messages, std::size_t bytes, bool awaited = false) const noexcept;
    // Waits up to milliseconds for deliveries to bring the backlog down to the
    // point where a held-back receiver reads again, for a reply to be awaited,
    // for Wake or for Close; true when one of them has come.
    bool WaitForRoom(unsigned int milliseconds);
    // An exchange begins or ends waiting for its reply.
    void BeginReplyWait() noexcept;
    void EndReplyWait() noexcept;
    // Something a held-back receiver must read for has begun (a reliable
    // send awaiting its acknowledgement): it looks again at once.
    void Wake() noexcept;
    // The connection is closing: a held-back receiver stops waiting now and
    // for good.
    void Close() noexcept;

    std::size_t GetMessages() const noexcept { return MessagesOf(mHeld.load()); }
    std::size_t GetBytes() const noexcept { return BytesOf(mHeld.load()); }
    // A receiver waits in WaitForRoom.
    bool IsHoldingBack() const noexcept { return mSignal.GetWaitingCount() != 0; }

private:
    // Messages and bytes held share one word, so that a job's take and give
    // back are one atomic step each: the receiver's and the delivery thread's
    // updates of two words made them pass two cache lines' worth of traffic
    // per message. The bytes are the low kByteBits; kMostReadAheadBytes is far
    // below either field's limit.
    static constexpr unsigned kByteBits = 40;
    static constexpr std::uint64_t kByteMask = (std::uint64_t{1} << kByteBits) - 1;
    static constexpr std::uint64_t Held(std::size_t bytes, std::size_t messages) noexcept
    {
        return (std::uint64_t{messages} << kByteBits) + bytes;
    }
    static constexpr std::size_t MessagesOf(std::uint64_t held) noexcept
    {
        return static_cast<std::size_t>(held >> kByteBits);
    }
    static constexpr std::size_t BytesOf(std::uint64_t held) noexcept
    {
        return static_cast<std::size_t>(held & kByteMask);
    }
    static bool IsLow(std::uint64_t held) noexcept;

    std::atomic<std::uint64_t> mHeld{0};
    std::atomic<std::uint32_t> mReplyWaits{0};
    NetworkRoomSignal mSignal;
};
