// The far end of a message connection for tests and benchmarks, on plain POSIX
// sockets over 127.0.0.1: RawTcpPeer listens, accepts one client, checks its
// hello, records and optionally answers the frames it reads, sends any bytes
// (cut where a test wants), stops reading on request and closes cleanly (FIN)
// or abruptly (RST). RawTcpClient is the connecting side of the raw baselines.
//
// Threads: the test's thread calls every operation; after Accept one reader
// thread of the peer's own reads the socket, records frames and runs the
// responder. mLock guards the record and the flags; mSendLock keeps the
// frames of the test's thread and of the responder whole on the wire. Every
// wait is bounded, so a faulty client fails a test instead of hanging it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "support/RawFrame.h"

namespace RawPeer
{

constexpr std::chrono::milliseconds kBound{10000};

// Waits until the predicate holds, checking every millisecond, at most bound.
inline bool Eventually(const std::function<bool()>& predicate, std::chrono::milliseconds bound = kBound)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!predicate())
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class RawTcpPeer
{
public:
    struct Options
    {
        std::size_t helloSize = 16;
        // A small receive buffer makes a client that sends into a peer that
        // stops reading fill up sooner; 0 keeps the system's.
        int receiveBufferBytes = 0;
        // Benchmarks turn recording off so that a long run keeps no frames.
        bool record = true;
    };
    // Answers one frame with the frames to send back (none: no answer).
    using Responder = std::function<std::vector<RawFrame>(const RawFrame&)>;

    RawTcpPeer();
    explicit RawTcpPeer(const Options& options);
    ~RawTcpPeer();
    RawTcpPeer(const RawTcpPeer&) = delete;
    RawTcpPeer& operator=(const RawTcpPeer&) = delete;

    // The loopback port it listens on, kernel-chosen outside 51000-51099; 0 when
    // listening failed.
    std::uint16_t Port() const { return mPort; }
    // Takes the next client; its reader starts at once.
    bool Accept(std::chrono::milliseconds bound = kBound);

    bool WaitForHello(std::chrono::milliseconds bound = kBound);
    Bytes Hello();
    // The hello is the 16 bytes of the single-socket client cookie.
    bool HelloIsClientCookie();

    bool Send(const Bytes& bytes, std::chrono::milliseconds bound = kBound);
    bool Send(const RawFrame& frame) { return Send(frame.Encode()); }
    // Sends bytes in pieces cut at the given ascending offsets, pausing gap
    // between pieces so that they tend to arrive in separate reads.
    bool SendPieces(const Bytes& bytes, const std::vector<std::size_t>& cuts,
                    std::chrono::microseconds gap = std::chrono::microseconds(2000));

    // Every frame read so far, in order.
    std::vector<RawFrame> Frames();
    bool WaitForFrames(std::size_t count, std::chrono::milliseconds bound = kBound);
    // A frame did not start with the cookie or gave impossible sizes.
    bool Broken();

    // Frames read from now on are answered: each sent back unchanged (echo), or
    // what the responder returns.
    void SetEcho(bool echo);
    void SetResponder(Responder responder);

    void StopReading();
    void ResumeReading();
    // The client ended its stream (or the socket failed).
    bool WaitForClientClose(std::chrono::milliseconds bound = kBound);

    // Sends FIN and keeps reading what the client still sends.
    void CloseCleanly();
    // Stops the reader and resets the connection: the client sees RST.
    void CloseAbruptly();

private:
    void ReaderLoop();
    void StopReader();

    Options mOptions;
    int mListener = -1;
    int mSocket = -1;
    int mWake[2] = {-1, -1};
    std::uint16_t mPort = 0;
    std::thread mReader;

    std::mutex mLock;
    std::condition_variable mChanged;
    FrameReader mFrameReader;
    std::vector<RawFrame> mFrames;
    bool mEcho = false;
    Responder mResponder;
    bool mPaused = false;
    bool mStopping = false;
    bool mClientClosed = false;

    std::mutex mSendLock;
};

// A plain blocking TCP client of the raw peer, for baselines: connects, sends
// the hello and whole byte blocks, reads whole frames.
class RawTcpClient
{
public:
    RawTcpClient() = default;
    ~RawTcpClient();
    RawTcpClient(const RawTcpClient&) = delete;
    RawTcpClient& operator=(const RawTcpClient&) = delete;

    // Connects to 127.0.0.1:port with TCP_NODELAY and sends the hello.
    bool Connect(std::uint16_t port, const Bytes& hello);
    bool SendAll(const std::uint8_t* data, std::size_t size);
    // Reads exactly size bytes; false at the end of the stream or on error.
    bool ReadExactly(std::uint8_t* data, std::size_t size);
    // Reads one frame's header and body into frame (header first, 52 bytes);
    // false on error or a malformed header.
    bool ReadFrame(Bytes& frame);
    // For readers that do their own reads.
    int Descriptor() const { return mSocket; }

private:
    int mSocket = -1;
};

} // namespace RawPeer
