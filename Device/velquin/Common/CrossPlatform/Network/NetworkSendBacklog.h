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
//   message. A peer that is alive but slow acknowledges long before that.
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
// acknowledgements are taken (the acknowledgement worker), Keep under the
// channel's send/resend lock, Close on the closing thread. The counts are
// atomics; NetworkRoomSignal wakes the waiting sends.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "velquin/Common/CrossPlatform/Network/NetworkConnectionSendBuffer.h"
#include "velquin/Common/CrossPlatform/Network/NetworkError.h"
#include "velquin/Common/CrossPlatform/Network/NetworkReceiveBacklog.h"
#include "velquin/Common/CrossPlatform/Network/NetworkRoomSignal.h"
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

    NetworkSendBacklog() = default;
    NetworkSendBacklog(const NetworkSendBacklog&) = delete;
    NetworkSendBacklog& operator=(const NetworkSendBacklog&) = delete;

    // What a kept part takes: its buffer's whole block and the overhead.
    static std::size_t KeptBytes(const LNetworkConnectionSendBuffer& part) noexcept
    {
        return NetworkWireFormat::kHeaderSize + part.GetAllocatedSize() + kKeptOverheadBytes;
    }

    // Whether bytes more may be kept: nothing is kept, or they stay within
    // the bound.
    bool HasRoom(std::size_t bytes) const noexcept;
    // Parts taking bytes are kept, or given back once acknowledged; giving
    // back is progress and wakes a waiting send.
    void Keep(std::size_t bytes) noexcept;
    void GiveBack(std::size_t bytes) noexcept;
    // Waits until bytes more may be kept (NETWORK_NO_ERROR), the backlog is
    // closed (NETWORK_SEND_FAILED), SEND_ROOM passes without progress, or
    // heldBackBy, the receive backlog of the connection whose callback this
    // thread runs, holds a receiver back (both NETWORK_OBJECT_OUT_OF_MEMORY).
    // heldBackBy is null for any other thread.
    NetworkError WaitForRoom(std::size_t bytes, const NetworkReceiveBacklog* heldBackBy);
    // The channel has ended: every wait ends now, and every later one at
    // once.
    void Close() noexcept;

    std::size_t GetBytes() const noexcept { return mBytes.load(); }
    // Sends waiting in WaitForRoom.
    std::uint32_t GetWaitingCount() const noexcept { return mSignal.GetWaitingCount(); }

private:
    std::atomic<std::size_t> mBytes{0};
    // Raised by every give back: a waiting send measures its time without
    // progress from the last change it saw.
    std::atomic<std::uint64_t> mProgress{0};
    NetworkRoomSignal mSignal;
};
