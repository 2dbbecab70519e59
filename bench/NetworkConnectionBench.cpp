// Message connections over loopback TCP, each beside the same bytes moved by a
// plain socket as the floor:
// - a request and its reply on channel 1 (64 and 8140 bytes) against an echo
//   thread, beside a raw ping-pong of the same framed bytes with that echo;
// - a one-way stream of 64-byte messages into a registration, beside a raw
//   reader that cuts the same frames from its socket;
// - the heap that a message of 200 bytes takes while it is held for a slow
//   callback, beside the same payloads kept as plain byte vectors;
// - the heap that a message of 200 bytes takes while a reliable channel keeps
//   it for acknowledgement, beside the same baseline.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "RawTcpBaseline.h"
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

// Counts the messages of its channel and wakes a waiter at a target.
class LCountingCallback : public LNetworkConnectionCallbackInterface
{
public:
    void ReceivedMessageCallback(const KT::RCPtr<LNetworkConnection>&, const KT::ConstRCPtr<KT::LIBuffer>&,
                                 std::uint32_t, std::int32_t, std::int32_t) override
    {
        mCounter.Arrived();
    }
    void ConnectionErrorCallback(const KT::RCPtr<LNetworkConnection>&, NetworkError) override {}

    void WaitForMore(std::size_t count) { mCounter.WaitForMore(count); }

private:
    RawBaseline::ArrivalCounter mCounter;
};

RawPeer::RawTcpPeer::Options Unrecorded()
{
    RawPeer::RawTcpPeer::Options options;
    options.record = false;
    return options;
}

// A raw client of peer: connected, the hello sent and accepted.
bool ConnectRaw(RawPeer::RawTcpPeer& peer, RawPeer::RawTcpClient& client)
{
    return client.Connect(peer.Port(),
                          RawPeer::Bytes(RawPeer::kClientCookie.begin(), RawPeer::kClientCookie.end())) &&
           peer.Accept();
}

// A connection to peer that it has accepted; null when either failed.
KT::RCPtr<LNetworkConnection> ConnectTo(RawPeer::RawTcpPeer& peer)
{
    KT::RCPtr<LNetworkConnection> connection =
        LNetworkConnection::Create(kLoopback, peer.Port(), LNetworkConnection::CONNECTION_CONTROL_SOCKET);
    return !connection || !peer.Accept() ? KT::RCPtr<LNetworkConnection>() : connection;
}

void BM_ConnectionRoundTrip(benchmark::State& state)
{
    RawPeer::RawTcpPeer peer(Unrecorded());
    peer.SetEcho(true);
    KT::RCPtr<LNetworkConnection> connection = ConnectTo(peer);
    if (!connection)
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
    if (!ConnectRaw(peer, client))
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
        if (!RawBaseline::RawRoundTrip(client, request, reply))
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
    KT::RCPtr<LNetworkConnection> connection = ConnectTo(peer);
    if (!connection)
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
    const RawPeer::Bytes batch = StreamBatch();
    {
        RawBaseline::BatchSender sender([&] { peer.Send(batch); });
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

// Reads large chunks and walks the frame headers in them.
void BM_RawTcpStream64(benchmark::State& state)
{
    RawPeer::RawTcpPeer peer(Unrecorded());
    RawPeer::RawTcpClient client;
    if (!ConnectRaw(peer, client))
    {
        state.SkipWithError("no connection");
        return;
    }
    const RawPeer::Bytes batch = StreamBatch();
    RawBaseline::RawFrameReader reader;
    {
        RawBaseline::BatchSender sender([&] { peer.Send(batch); });
        for (auto _ : state)
        {
            sender.SendOne();
            if (!reader.ReadFrames(client.Descriptor(), kStreamBatch))
            {
                state.SkipWithError("stream ended");
                return;
            }
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kStreamBatch));
}
BENCHMARK(BM_RawTcpStream64)->UseRealTime();

constexpr std::size_t kHeldMessages = 12000;
constexpr std::size_t kHeldPayload = 200;

std::size_t HeapInUse()
{
    return mallinfo2().uordblks;
}

// Holds the first message's callback until opened, so that every later
// message waits for delivery.
class LHoldingCallback : public LNetworkConnectionCallbackInterface
{
public:
    void ReceivedMessageCallback(const KT::RCPtr<LNetworkConnection>&, const KT::ConstRCPtr<KT::LIBuffer>&,
                                 std::uint32_t, std::int32_t, std::int32_t) override
    {
        std::unique_lock<std::mutex> guard(mLock);
        mChanged.wait(guard, [&] { return mOpen; });
        ++mDelivered;
        mChanged.notify_all();
    }
    void ConnectionErrorCallback(const KT::RCPtr<LNetworkConnection>&, NetworkError) override {}

    void OpenAndWaitFor(std::size_t count)
    {
        std::unique_lock<std::mutex> guard(mLock);
        mOpen = true;
        mChanged.notify_all();
        mChanged.wait(guard, [&] { return mDelivered >= count; });
    }

private:
    std::mutex mLock;
    std::condition_variable mChanged;
    bool mOpen = false;
    std::size_t mDelivered = 0;
};

// The heap a held message of 200 bytes takes, counted as "held_bytes": the
// payload, its buffer, its delivery job and the pool's queue entry.
void BM_HeldMessageHeap200(benchmark::State& state)
{
    RawPeer::RawTcpPeer peer(Unrecorded());
    KT::RCPtr<LNetworkConnection> connection = ConnectTo(peer);
    if (!connection)
    {
        state.SkipWithError("no connection");
        return;
    }
    RawPeer::Bytes batch;
    for (std::size_t i = 0; i < kHeldMessages; ++i)
    {
        const RawPeer::Bytes frame =
            RawPeer::RawFrame::Plain(0, static_cast<std::uint32_t>(i), RawPeer::Bytes(kHeldPayload, 0x5A))
                .Encode();
        batch.insert(batch.end(), frame.begin(), frame.end());
    }
    double heldBytes = 0;
    for (auto _ : state)
    {
        KT::RCPtr<LHoldingCallback> holder(new LHoldingCallback);
        if (connection->SetCallback(holder, NETWORK_CHANNEL_0) != 0)
        {
            state.SkipWithError("no registration");
            return;
        }
        const std::size_t before = HeapInUse();
        peer.Send(batch);
        // The first is in its callback; the rest are held.
        while (connection->GetReceiveBacklog().GetMessages() < kHeldMessages)
        {
        }
        // The first round also makes the jobs' blocks, which later rounds
        // take from the threads' caches: the most is what a held message costs.
        heldBytes = std::max(heldBytes,
                             static_cast<double>(HeapInUse() - before) / static_cast<double>(kHeldMessages));
        holder->OpenAndWaitFor(kHeldMessages);
        static_cast<void>(connection->RemoveCallback(holder, NETWORK_CHANNEL_0));
    }
    state.counters["held_bytes"] = heldBytes;
    connection->CloseConnection();
}
BENCHMARK(BM_HeldMessageHeap200)->Iterations(3)->UseRealTime();

// The heap a message of 200 bytes takes while a reliable channel keeps it for
// acknowledgement, counted as "kept_bytes" (its buffer, its block and its
// place in the list), beside what the channel counts it at ("counted_bytes").
// The peer is a datagram socket that reads nothing and acknowledges nothing.
void BM_UnacknowledgedHeap200(benchmark::State& state)
{
    const int peer = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(kLoopback);
    socklen_t length = sizeof(address);
    if (peer < 0 || ::bind(peer, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(peer, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    {
        state.SkipWithError("no peer socket");
        return;
    }
    const KT::RCPtr<KT::LIBuffer> payload = PayloadOf(kHeldPayload);
    // Within the bound, past the spare buffers the channel starts with.
    constexpr std::size_t kSpares = LNetworkConnection::kSpareSendBuffers / 2;
    constexpr std::size_t kKept = 3000;
    double keptBytes = 0;
    double countedBytes = 0;
    for (auto _ : state)
    {
        KT::RCPtr<LNetworkSocket> socket = LNetworkSocket::Create(NETWORK_SOCKET_UDP);
        if (socket->Connect(kLoopback, ntohs(address.sin_port), true, 0) != NETWORK_NO_ERROR)
        {
            state.SkipWithError("no connection");
            break;
        }
        KT::RCPtr<LNetworkConnection> connection = LNetworkConnection::Create(
            socket, KT::RCPtr<LNetworkSocket>(), LNetworkConnection::CONNECTION_DATA_SOCKET);
        bool sent = true;
        for (std::size_t i = 0; i < kSpares && sent; ++i)
        {
            sent = connection->SendMessage(payload, NETWORK_CHANNEL_0) == NETWORK_NO_ERROR;
        }
        const std::size_t before = HeapInUse();
        const std::size_t countedBefore = connection->GetSendBacklog(NETWORK_CHANNEL_0)->GetBytes();
        for (std::size_t i = 0; i < kKept && sent; ++i)
        {
            sent = connection->SendMessage(payload, NETWORK_CHANNEL_0) == NETWORK_NO_ERROR;
        }
        if (!sent)
        {
            state.SkipWithError("a send failed");
            break;
        }
        keptBytes = static_cast<double>(HeapInUse() - before) / static_cast<double>(kKept);
        countedBytes =
            static_cast<double>(connection->GetSendBacklog(NETWORK_CHANNEL_0)->GetBytes() - countedBefore) /
            static_cast<double>(kKept);
        connection->CloseConnection();
    }
    state.counters["kept_bytes"] = keptBytes;
    state.counters["counted_bytes"] = countedBytes;
    ::close(peer);
}
BENCHMARK(BM_UnacknowledgedHeap200)->Iterations(3)->UseRealTime();

// The floor: the same payloads kept as byte vectors in a queue.
void BM_HeldVectorHeap200(benchmark::State& state)
{
    double heldBytes = 0;
    for (auto _ : state)
    {
        const std::size_t before = HeapInUse();
        std::deque<std::vector<unsigned char>> held;
        for (std::size_t i = 0; i < kHeldMessages; ++i)
        {
            held.emplace_back(kHeldPayload, 0x5A);
        }
        heldBytes = static_cast<double>(HeapInUse() - before) / static_cast<double>(kHeldMessages);
        benchmark::DoNotOptimize(held);
    }
    state.counters["held_bytes"] = heldBytes;
}
BENCHMARK(BM_HeldVectorHeap200)->Iterations(3)->UseRealTime();

} // namespace
