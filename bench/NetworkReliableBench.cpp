// A stream of numbered 200-byte messages on channel 0 from one end of the
// library to the other, counted by the accepting end's callback, over a
// dual-socket connection (channel 0 reliable over UDP), beside the same stream
// over a single TCP connection in the same run. A packet of the reliable
// channel may carry older messages behind its newest; only the new ones count.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "Platform/ByteOrder.h"
#include "support/TestPorts.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnectionManager.h"

namespace
{

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr std::uint32_t kBatch = 2000;
constexpr std::size_t kMessageBytes = 200;

// Keeps the connection the manager accepts.
class LAccepted : public LNetworkConnectionReceivedCallbackInterface
{
public:
    void ReceivedConnectionCallback(const KT::RCPtr<LNetworkConnection>& connection) override
    {
        std::lock_guard<std::mutex> guard(mLock);
        mConnection = connection;
        mChanged.notify_all();
    }
    KT::RCPtr<LNetworkConnection> Take()
    {
        std::unique_lock<std::mutex> guard(mLock);
        mChanged.wait_for(guard, std::chrono::seconds(10), [&] { return mConnection.GetRaw() != nullptr; });
        KT::RCPtr<LNetworkConnection> connection;
        connection.SwapReference(mConnection);
        return connection;
    }

private:
    std::mutex mLock;
    std::condition_variable mChanged;
    KT::RCPtr<LNetworkConnection> mConnection;
};

// Counts the new messages among those a packet carries, newest first, and
// wakes a waiter once a target is reached.
class LNewMessages : public LNetworkConnectionCallbackInterface
{
public:
    void ReceivedMessageCallback(const KT::RCPtr<LNetworkConnection>&,
                                 const KT::ConstRCPtr<KT::LIBuffer>& payload, std::uint32_t, std::int32_t,
                                 std::int32_t count) override
    {
        KT::IBuffer& buffer = const_cast<KT::LIBuffer&>(*payload);
        const auto* bytes = static_cast<const unsigned char*>(buffer.GetRawPtr());
        std::lock_guard<std::mutex> guard(mLock);
        for (std::size_t at = (static_cast<std::size_t>(count) + 1) * kMessageBytes; at > 0;)
        {
            at -= kMessageBytes;
            const std::uint32_t index = KT::ReadLE32(bytes + at);
            mNext = index >= mNext ? index + 1 : mNext;
        }
        if (mNext >= mTarget)
        {
            mReached.notify_one();
        }
    }
    void ConnectionErrorCallback(const KT::RCPtr<LNetworkConnection>&, NetworkError) override {}

    // Waits until the messages up to target have come.
    bool WaitFor(std::uint32_t target)
    {
        std::unique_lock<std::mutex> guard(mLock);
        mTarget = target;
        return mReached.wait_for(guard, std::chrono::seconds(30), [&] { return mNext >= mTarget; });
    }

private:
    std::mutex mLock;
    std::condition_variable mReached;
    std::uint32_t mNext = 0;
    std::uint32_t mTarget = 0;
};

void Stream(benchmark::State& state, LNetworkConnection::ConnectionType type)
{
    KT::RCPtr<LAccepted> accepted(new LAccepted);
    KT::RCPtr<LNetworkConnectionManager> manager;
    const unsigned short port = TestPorts::BindOnFreePort(
        [&](unsigned short candidate)
        {
            manager = LNetworkConnectionManager::Create(
                KT::RCPtr<LNetworkConnectionReceivedCallbackInterface>(accepted.Get()), kLoopback, candidate,
                false);
            return manager.GetRaw() != nullptr;
        });
    KT::RCPtr<LNetworkConnection> sender = LNetworkConnection::Create(kLoopback, port, type);
    KT::RCPtr<LNetworkConnection> receiver = !sender ? KT::RCPtr<LNetworkConnection>() : accepted->Take();
    KT::RCPtr<LNewMessages> counter(new LNewMessages);
    const auto counting = KT::RCPtr<LNetworkConnectionCallbackInterface>(counter.Get());
    if (!receiver || receiver->SetCallback(counting, NETWORK_CHANNEL_0) != 0)
    {
        state.SkipWithError("no connection");
        return;
    }
    KT::RCPtr<KT::LIBuffer> message = KT::LBufferT<16, 0>::Create(kMessageBytes, 0, true);
    auto* bytes = static_cast<unsigned char*>(message->GetRawPtr());
    std::uint32_t next = 0;
    for (auto _ : state)
    {
        for (std::uint32_t i = 0; i < kBatch; ++i, ++next)
        {
            KT::WriteLE32(bytes, next);
            if (sender->SendMessage(message, NETWORK_CHANNEL_0) != NETWORK_NO_ERROR)
            {
                state.SkipWithError("a send failed");
                break;
            }
        }
        if (!counter->WaitFor(next))
        {
            state.SkipWithError("the stream stalled");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
    static_cast<void>(receiver->RemoveCallback(counting, NETWORK_CHANNEL_0));
    sender->CloseConnection();
    receiver->CloseConnection();
}

void BM_ReliableStream200(benchmark::State& state)
{
    Stream(state, LNetworkConnection::CONNECTION_DUAL_SOCKETS);
}
BENCHMARK(BM_ReliableStream200)->UseRealTime();

// The baseline: the same stream on an ordinary channel of a TCP connection.
void BM_TcpStream200(benchmark::State& state)
{
    Stream(state, LNetworkConnection::CONNECTION_CONTROL_SOCKET);
}
BENCHMARK(BM_TcpStream200)->UseRealTime();

} // namespace
