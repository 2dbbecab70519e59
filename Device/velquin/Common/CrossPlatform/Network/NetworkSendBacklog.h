// NetworkSendBacklog: what one reliable channel keeps until its peer
// acknowledges it, counted in the memory the kept copies really hold, and the
// one owner of the send side's bound. Owned by its NetworkReliableChannel.
//
// The policy:
// - The bound: at most kMostBytes are kept per reliable channel. A kept part
//   counts its send buffer's whole block, header included, and
//   kKeptOverheadBytes for its buffer object and its place in the list
//   (KeptBytes), so that a small message counts about its size. A message
//   larger than the bound is kept when nothing else is: every message can be
//   sent.
// - At the bound a send waits for acknowledgements to make room, before it
//   numbers anything and holding no lock. The wait has no end while
//   acknowledgements come: only once SEND_ROOM (5 s) passes without any
//   acknowledgement that frees room does the send fail, with
//   NETWORK_OBJECT_OUT_OF_MEMORY, having numbered and kept nothing of the
//   message. A peer that is alive but slow acknowledges long before that. A
//   send may bring a deadline of its own (an exchange's time-out): when it
//   passes first, the send fails the same way.
// - Room is taken in the order it was asked for: a send that has to wait
//   takes a place in a queue (Turn), and a later send of the channel that
//   finds room while an earlier one still waits queues behind it. So a
//   message larger than the bound goes as soon as what was kept before it is
//   acknowledged, however fast smaller ones follow it.
// - The channel's end (its connection closing, its peer gone) closes the
//   backlog, which ends every wait at once (NETWORK_SEND_FAILED; the channel
//   answers with its end error) after what was kept is given back.
// - A send from a callback of the connection never waits for itself: while a
//   receiver of the connection is held back for deliveries, which that
//   callback holds up, the acknowledgements may never be read, and such a
//   send fails at once instead of waiting.
// - Only the sends of the channel wait behind its bound. Acknowledgements and
//   resend requests, both directions' resends, the other reliable channel and
//   the ordinary channels go on.
// - A resend pass sends at most kMostResendBytes of the oldest messages: the
//   peer drops whatever its socket buffer or its own bound cannot take, so a
//   larger pass would only be dropped and sent again. The resend rhythm stays
//   (300 ms without progress, then every 50 ms; resend requests are answered
//   no more often), and a pass that the peer acknowledged whole is followed
//   by the next at once.
//
// Threads: senders wait on their own threads; GiveBack runs where
// acknowledgements are taken (the acknowledgement worker) and, with Close, on
// whichever thread ends the channel; Keep and Turn::TakeRoom run under the
// channel's send/resend lock. The counts are atomics. mQueueLock guards the queue of waiting
// sends and is taken after the send/resend lock, never before; a waiting send
// sleeps on its own event, which whatever may let it go on releases: a give
// back wakes the first in the queue, the first's leaving the next, a close
// all of them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "KTFramework/Utilities/Threading/Event.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "Platform/ThreadAnnotations.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnectionSendBuffer.h"
#include "velquin/Common/CrossPlatform/Network/NetworkError.h"
#include "velquin/Common/CrossPlatform/Network/NetworkReceiveBacklog.h"
#include "velquin/Common/CrossPlatform/Network/NetworkWireFormat.h"

class NetworkSendBacklog
{
public:
    // The bound: a peer that is slower than its sender, or gone, decides no
    // more of the sender's memory than this per reliable channel.
    static constexpr std::size_t kMostBytes = 2u * 1024u * 1024u;
    // What a kept part costs beyond its block: its buffer object, its place
    // in the list and their allocator headers (about 105 bytes measured for a
    // 200-byte message, bench/ BM_UnacknowledgedHeap200), rounded up.
    static constexpr std::size_t kKeptOverheadBytes = 128;
    // The most payload one resend pass sends: eight full packets. Linux
    // charges a full packet about 16 KiB of a datagram socket's buffer (208 KiB
    // by default), so the peer's kernel keeps the whole pass until its
    // receiver reads it even when it holds some already; a larger pass was
    // cut by the kernel at about twelve. It lies far below the peer's receive
    // bound. A pass that the peer took whole is followed by the next at once.
    static constexpr std::size_t kMostResendBytes = 64u * 1024u;
    // A waiting send looks at what cannot wake it (a held-back receiver, the
    // time without progress) at least this often.
    static constexpr unsigned int kWaitSliceMilliseconds = 50;

    // A send's deadline on KT::TimeUtils::GetMillisecondCounter: none.
    static constexpr std::int64_t kNoDeadline = std::numeric_limits<std::int64_t>::max();

    // One send's place in the order in which room is taken, on the sender's
    // stack for that send. It joins the queue only when the send has to wait,
    // and leaves it when it is destroyed: once the send has kept its parts or
    // given up. Its leaving is the next waiting send's turn.
    class Turn
    {
    public:
        explicit Turn(NetworkSendBacklog& backlog) noexcept : mBacklog(backlog) {}
        ~Turn();
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;

        // Under the lock under which parts are kept: whether the send may keep
        // bytes more now: no earlier send waits and they fit. One that may not
        // joins the queue, and its place holds until it leaves.
        bool TakeRoom(std::size_t bytes);
        // Waits until it is first in the queue (joining it when it is not in
        // it yet) and bytes more may be kept (NETWORK_NO_ERROR; TakeRoom then
        // grants them), the backlog is closed (NETWORK_SEND_FAILED), SEND_ROOM
        // passes without progress, deadline passes, or heldBackBy, the receive
        // backlog of the connection whose callback this thread runs, holds a
        // receiver back (these NETWORK_OBJECT_OUT_OF_MEMORY). heldBackBy is
        // null for any other thread.
        NetworkError WaitForRoom(std::size_t bytes, const NetworkReceiveBacklog* heldBackBy,
                                 std::int64_t deadline = kNoDeadline);

    private:
        friend class NetworkSendBacklog;

        NetworkSendBacklog& mBacklog;
        bool mQueued = false;
        Turn* mNext = nullptr; // the queue's, under its lock
        // Made once the send sleeps; released, under the queue's lock, by
        // whatever may let it go on.
        std::optional<KT::Event> mWake;
    };

    NetworkSendBacklog() = default;
    NetworkSendBacklog(const NetworkSendBacklog&) = delete;
    NetworkSendBacklog& operator=(const NetworkSendBacklog&) = delete;

    // What a kept part takes: its buffer's whole block and the overhead.
    static std::size_t KeptBytes(const LNetworkConnectionSendBuffer& part) noexcept
    {
        return NetworkWireFormat::kHeaderSize + part.GetAllocatedSize() + kKeptOverheadBytes;
    }

    // Whether bytes more would fit: nothing is kept, or they stay within the
    // bound. Whose turn it is, is Turn's to say.
    bool HasRoom(std::size_t bytes) const noexcept;
    // Parts taking bytes are kept, or given back once acknowledged; giving
    // back is progress and wakes the first waiting send.
    void Keep(std::size_t bytes) noexcept;
    void GiveBack(std::size_t bytes);
    // The channel has ended: every wait ends now, and every later one at
    // once.
    void Close();

    std::size_t GetBytes() const noexcept { return mBytes.load(); }
    // Sends waiting for their turn or for room.
    std::uint32_t GetWaitingCount() const noexcept { return mQueued.load(); }

private:
    bool IsFirst(const Turn& turn);
    void Join(Turn& turn) REQUIRES(mQueueLock);
    // Takes the turn out of the queue and wakes the one after it.
    void Leave(Turn& turn);
    void WakeFirst() REQUIRES(mQueueLock);

    std::atomic<std::size_t> mBytes{0};
    // Raised by every give back: a waiting send measures its time without
    // progress from the last change it saw.
    std::atomic<std::uint64_t> mProgress{0};
    std::atomic<bool> mClosed{false};
    // How many turns the queue holds; read without the lock to spare a give
    // back or a send with room the lock while nobody waits.
    std::atomic<std::uint32_t> mQueued{0};
    KT::FastMutex mQueueLock;
    // The waiting sends, first to last.
    Turn* mFirst GUARDED_BY(mQueueLock) = nullptr;
    Turn* mLast GUARDED_BY(mQueueLock) = nullptr;
};
