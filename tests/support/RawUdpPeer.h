// The far end of a UDP message connection for tests, on plain POSIX sockets
// over 127.0.0.1, in RawTcpPeer's style: it answers a client's hello (or sends
// its own to a server), sends hand-built datagrams with any sequence IDs,
// counts and parts, and records every datagram it reads, acknowledgements and
// resend requests included. It never acknowledges anything by itself: a test
// that wants a message acknowledged sends the acknowledgement.
//
// Threads: the test's thread calls every operation; once connected, one reader
// thread of the peer's own reads the socket and records. mLock guards the
// record. Every wait is bounded.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "support/RawFrame.h"
#include "support/RawTcpPeer.h"

namespace RawPeer
{

// Channels of the acknowledgement and resend-request packets.
constexpr std::uint32_t kAcknowledgeChannel = 5;
constexpr std::uint32_t kResendRequestChannel = 6;

// An acknowledgement (kind 5) or resend request (kind 6) about a channel: 60
// bytes, sequence ID 0, the channel and sequence as the payload.
RawFrame ControlFrame(std::uint32_t kind, std::uint32_t channel, std::uint32_t sequence);

class RawUdpPeer
{
public:
    // One datagram as read, with the frame it holds (when it holds exactly
    // one well-formed frame) and when it arrived.
    struct Datagram
    {
        Bytes bytes;
        bool isFrame = false;
        RawFrame frame;
        std::chrono::steady_clock::time_point at;
    };
    using Predicate = std::function<bool(const std::vector<Datagram>&)>;

    // Binds a kernel-chosen loopback port outside 51000-51099.
    RawUdpPeer();
    ~RawUdpPeer();
    RawUdpPeer(const RawUdpPeer&) = delete;
    RawUdpPeer& operator=(const RawUdpPeer&) = delete;

    std::uint16_t Port() const { return mPort; }

    // Server side: waits for a client's hello datagram and answers it with
    // answer (the client cookie unless given), then talks to the client only.
    // False when no hello came or it was not the 16-byte client cookie.
    bool AnswerHello(const Bytes& answer, std::chrono::milliseconds bound = kBound);
    bool AnswerHello(std::chrono::milliseconds bound = kBound);
    // Client side: sends hello to a server's port, waits for the answer and,
    // when it is the client cookie, talks to its source from then on. The
    // answer and its source port are kept.
    bool SendHello(std::uint16_t serverPort, const Bytes& hello, std::chrono::milliseconds bound = kBound);
    Bytes HelloAnswer() const { return mHelloAnswer; }
    std::uint16_t HelloAnswerPort() const { return mHelloAnswerPort; }
    // Talks to this port from now on, without a hello. A peer talks to one
    // port: once it does, this and the hellos fail.
    bool ConnectTo(std::uint16_t port);
    // One datagram to any loopback port, before or after connecting.
    bool SendTo(std::uint16_t port, const Bytes& datagram);

    // One datagram to the peer.
    bool Send(const Bytes& datagram);
    bool Send(const RawFrame& frame) { return Send(frame.Encode()); }
    bool SendAcknowledgement(std::uint32_t channel, std::uint32_t sequence)
    {
        return Send(ControlFrame(kAcknowledgeChannel, channel, sequence));
    }
    bool SendResendRequest(std::uint32_t channel, std::uint32_t sequence)
    {
        return Send(ControlFrame(kResendRequestChannel, channel, sequence));
    }

    // Every datagram read so far, in order.
    std::vector<Datagram> Datagrams();
    // Waits until the record satisfies the predicate.
    bool WaitFor(const Predicate& predicate, std::chrono::milliseconds bound = kBound);
    // Waits until count datagrams holding frames of the channel were read.
    bool WaitForFrames(std::uint32_t channel, std::size_t count, std::chrono::milliseconds bound = kBound);
    // The frames of one channel, in order.
    std::vector<Datagram> FramesOf(std::uint32_t channel);

private:
    bool Connect(std::uint32_t address, std::uint16_t port);
    void ReaderLoop();

    int mSocket = -1;
    int mWake[2] = {-1, -1};
    std::uint16_t mPort = 0;
    Bytes mHelloAnswer;
    std::uint16_t mHelloAnswerPort = 0;
    std::thread mReader;

    std::mutex mLock;
    std::condition_variable mChanged;
    std::vector<Datagram> mDatagrams;
    bool mStopping = false;
};

} // namespace RawPeer
