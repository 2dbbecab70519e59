// The plain-socket floors the network benchmarks are measured beside, and the
// pieces their streaming halves share:
// - RawRoundTrip: one framed request out through a raw client, its reply read
//   back;
// - RawFrameReader: reads a stream in large chunks and cuts the frames from it
//   by their headers, the least a reader of the stream can do;
// - BatchSender: runs a send on a thread of its own each time it is asked, so
//   that the receiving side can be the benchmark's thread;
// - ArrivalCounter: counts arrivals reported from any thread and wakes a
//   waiter at a target.
//
// Threads: the raw client and reader run on the benchmark's thread; a
// BatchSender's thread runs only its send, and mLock guards its counters; an
// ArrivalCounter's mLock guards its count and target.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <sys/socket.h>

#include "support/RawTcpPeer.h"

namespace RawBaseline
{

// Sends request through client and reads one frame back into reply. Header
// and payload go out as two sends, as the library's connection sends them.
inline bool RawRoundTrip(RawPeer::RawTcpClient& client, const RawPeer::Bytes& request, RawPeer::Bytes& reply)
{
    return client.SendAll(request.data(), RawPeer::kHeaderSize) &&
           client.SendAll(request.data() + RawPeer::kHeaderSize, request.size() - RawPeer::kHeaderSize) &&
           client.ReadFrame(reply);
}

// Cuts whole frames from a socket's stream; bytes of a frame not yet whole are
// kept for the next read.
class RawFrameReader
{
public:
    // Reads until count more frames were whole; false once the stream ends.
    bool ReadFrames(int descriptor, std::size_t count)
    {
        std::size_t frames = 0;
        while (frames < count)
        {
            const ssize_t got = ::recv(descriptor, mChunk.data() + mHeld, mChunk.size() - mHeld, 0);
            if (got <= 0)
            {
                return false;
            }
            mHeld += static_cast<std::size_t>(got);
            std::size_t at = 0;
            while (mHeld - at >= RawPeer::kHeaderSize)
            {
                const std::uint32_t total = RawPeer::GetLE32(mChunk.data() + at + 16);
                if (mHeld - at < total)
                {
                    break;
                }
                at += total;
                ++frames;
            }
            std::memmove(mChunk.data(), mChunk.data() + at, mHeld - at);
            mHeld -= at;
        }
        return true;
    }

private:
    std::vector<std::uint8_t> mChunk = std::vector<std::uint8_t>(65536);
    std::size_t mHeld = 0;
};

// Runs send each time it is asked to, on a thread of its own.
class BatchSender
{
public:
    explicit BatchSender(std::function<void()> send) : mSend(std::move(send)), mThread([this] { Run(); }) {}
    ~BatchSender()
    {
        {
            std::lock_guard<std::mutex> guard(mLock);
            mStop = true;
        }
        mWake.notify_one();
        mThread.join();
    }
    void SendOne()
    {
        std::lock_guard<std::mutex> guard(mLock);
        ++mPending;
        mWake.notify_one();
    }

private:
    void Run()
    {
        std::unique_lock<std::mutex> guard(mLock);
        for (;;)
        {
            mWake.wait(guard, [this] { return mStop || mPending > 0; });
            if (mStop)
            {
                return;
            }
            --mPending;
            guard.unlock();
            mSend();
            guard.lock();
        }
    }

    const std::function<void()> mSend;
    std::mutex mLock;
    std::condition_variable mWake;
    int mPending = 0;
    bool mStop = false;
    std::thread mThread;
};

// Counts arrivals and wakes a waiter once a target is reached.
class ArrivalCounter
{
public:
    void Arrived()
    {
        std::lock_guard<std::mutex> guard(mLock);
        if (++mCount == mTarget)
        {
            mReached.notify_one();
        }
    }
    // Waits until count more than were waited for before have arrived.
    void WaitForMore(std::size_t count)
    {
        std::unique_lock<std::mutex> guard(mLock);
        mTarget += count;
        mReached.wait(guard, [this] { return mCount >= mTarget; });
    }

private:
    std::mutex mLock;
    std::condition_variable mReached;
    std::size_t mCount = 0;
    std::size_t mTarget = 0;
};

} // namespace RawBaseline
