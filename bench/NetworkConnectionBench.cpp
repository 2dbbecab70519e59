// Message connections over loopback TCP, each beside the same bytes moved by a
// plain socket as the floor:
// - a request and its reply on channel 1 (64 and 8140 bytes) against an echo
//   thread, beside a raw ping-pong of the same framed bytes with that echo;
// - a one-way stream of 64-byte messages into a registration, beside a raw
//   reader that cuts the same frames from its socket.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include <sys/socket.h>

#include "support/RawTcpPeer.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnection.h"

namespace
{

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr std::size_t kStreamBatch = 2000;
constexpr std::size_t kStreamPayload = 64;

KT::RCPtr<KT::LIBuffer> PayloadOf(std::size_t size)
{
    KT::RCPtr<KT::LIBuffer> buffer = KT::LBufferT<16, 0>::Create(size, 0, true);
    if (size > 0)
    {
        std::memset(buffer->GetRawPtr(), 0x5A, size);
    }
    return buffer;
}

RawPeer::Bytes StreamBatch()
{
    RawPeer::Bytes batch;
    for (std::size_t i = 0; i < kStreamBatch; ++i)
    {
        const RawPeer::Bytes frame =
            RawPeer::RawFrame::Plain(0, static_cast<std::uint32_t>(i), RawPeer::Bytes(kStreamPayload, 0x5A))
                .Encode();
        batch.insert(batch.end(), frame.begin(), frame.end());
    }
    return batch;
}

// Sends one batch each time it is asked to, from a thread of its own, so that
// the receiving side can be the benchmark's thread.
class BatchSender
{
public:
    explicit BatchSender(RawPeer::RawTcpPeer& peer)
        : mPeer(peer), mBatch(StreamBatch()), mThread([this] { Run(); })
    {
    }
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
            mPeer.Send(mBatch);
            guard.lock();
        }
    }

    RawPeer::RawTcpPeer& mPeer;
    const RawPeer::Bytes mBatch;
    std::mutex mLock;
    std::condition_variable mWake;
    int mPending = 0;
    bool mStop = false;
    std::thread mThread;
};

// Counts the messages of its channel and wakes a waiter at a target.
class LCountingCallback : public LNetworkConnectionCallbackInterface
{
public:
    void ReceivedMessageCallback(const KT::RCPtr<LNetworkConnection>&, const KT::ConstRCPtr<KT::LIBuffer>&,
                                 std::uint32_t, std::int32_t, std::int32_t) override
    {
        std::lock_guard<std::mutex> guard(mLock);
        if (++mCount == mTarget)
        {
            mReached.notify_one();
        }
    }
    void ConnectionErrorCallback(const KT::RCPtr<LNetworkConnection>&, NetworkError) override {}

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

RawPeer::RawTcpPeer::Options Unrecorded()
{
    RawPeer::RawTcpPeer::Options options;
    options.record = false;
    return options;
}

void BM_ConnectionRoundTrip(benchmark::State& state)
{
    RawPeer::RawTcpPeer peer(Unrecorded());
    peer.SetEcho(true);
    KT::RCPtr<LNetworkConnection> connection =
        LNetworkConnection::Create(kLoopback, peer.Port(), LNetworkConnection::CONNECTION_CONTROL_SOCKET);
    if (!connection || !peer.Accept())
    {
        state.SkipWithError("no connection");
        return;
    }
    const KT::RCPtr<KT::LIBuffer> payload = PayloadOf(static_cast<std::size_t>(state.range(0)));
    const KT::RCPtr<KT::LEvent> event = KT::LEvent::Create(true);
    KT::ConstRCPtr<KT::LIBuffer> reply;
    for (auto _ : state)
    {
        if (connection->SendMessageWithReply(payload, NETWORK_CHANNEL_1, reply, 1, 5000, event) !=
            NETWORK_NO_ERROR)
        {
            state.SkipWithError("no reply");
            break;
        }
    }
    connection->CloseConnection();
}
BENCHMARK(BM_ConnectionRoundTrip)->Arg(64)->Arg(8140)->UseRealTime();

void BM_RawTcpRoundTrip(benchmark::State& state)
{
    RawPeer::RawTcpPeer peer(Unrecorded());
    peer.SetEcho(true);
    RawPeer::RawTcpClient client;
    if (!client.Connect(peer.Port(),
                        RawPeer::Bytes(RawPeer::kClientCookie.begin(), RawPeer::kClientCookie.end())) ||
        !peer.Accept())
    {
        state.SkipWithError("no connection");
        return;
    }
    const RawPeer::Bytes request =
        RawPeer::RawFrame::Plain(1, 0, RawPeer::Bytes(static_cast<std::size_t>(state.range(0)), 0x5A))
            .Encode();
    RawPeer::Bytes reply;
    for (auto _ : state)
    {
        // Header and payload go out as two sends, as the connection sends them.
        if (!client.SendAll(request.data(), RawPeer::kHeaderSize) ||
            !client.SendAll(request.data() + RawPeer::kHeaderSize, request.size() - RawPeer::kHeaderSize) ||
            !client.ReadFrame(reply))
        {
            state.SkipWithError("no reply");
            break;
        }
    }
}
BENCHMARK(BM_RawTcpRoundTrip)->Arg(64)->Arg(8140)->UseRealTime();

void BM_ConnectionStream64(benchmark::State& state)
{
    RawPeer::RawTcpPeer peer(Unrecorded());
    KT::RCPtr<LNetworkConnection> connection =
        LNetworkConnection::Create(kLoopback, peer.Port(), LNetworkConnection::CONNECTION_CONTROL_SOCKET);
    if (!connection || !peer.Accept())
    {
        state.SkipWithError("no connection");
        return;
    }
    KT::RCPtr<LCountingCallback> counter(new LCountingCallback);
    if (connection->SetCallback(counter, NETWORK_CHANNEL_0) != 0)
    {
        state.SkipWithError("no registration");
        return;
    }
    {
        BatchSender sender(peer);
        for (auto _ : state)
        {
            sender.SendOne();
            counter->WaitForMore(kStreamBatch);
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kStreamBatch));
    static_cast<void>(connection->RemoveCallback(counter, NETWORK_CHANNEL_0));
    connection->CloseConnection();
}
BENCHMARK(BM_ConnectionStream64)->UseRealTime();

// Reads large chunks and walks the frame headers in them, the least a reader
// of this stream can do.
void BM_RawTcpStream64(benchmark::State& state)
{
    RawPeer::RawTcpPeer peer(Unrecorded());
    RawPeer::RawTcpClient client;
    if (!client.Connect(peer.Port(),
                        RawPeer::Bytes(RawPeer::kClientCookie.begin(), RawPeer::kClientCookie.end())) ||
        !peer.Accept())
    {
        state.SkipWithError("no connection");
        return;
    }
    std::vector<std::uint8_t> chunk(65536);
    std::size_t held = 0;
    {
        BatchSender sender(peer);
        for (auto _ : state)
        {
            sender.SendOne();
            std::size_t frames = 0;
            while (frames < kStreamBatch)
            {
                const ssize_t got = ::recv(client.Descriptor(), chunk.data() + held, chunk.size() - held, 0);
                if (got <= 0)
                {
                    state.SkipWithError("stream ended");
                    return;
                }
                held += static_cast<std::size_t>(got);
                std::size_t at = 0;
                while (held - at >= RawPeer::kHeaderSize)
                {
                    const std::uint32_t total = RawPeer::GetLE32(chunk.data() + at + 16);
                    if (held - at < total)
                    {
                        break;
                    }
                    at += total;
                    ++frames;
                }
                std::memmove(chunk.data(), chunk.data() + at, held - at);
                held -= at;
            }
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kStreamBatch));
}
BENCHMARK(BM_RawTcpStream64)->UseRealTime();

} // namespace
