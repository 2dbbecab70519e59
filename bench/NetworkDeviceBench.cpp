// A network device as the host uses it, over loopback TCP, each beside the
// same frames moved by a plain socket as the floor:
// - QVRX_GetParamValue round trips against a peer that answers at once,
//   beside a raw ping-pong of the same get and reply frames;
// - notifications per second into the host's callback, beside a raw reader
//   that cuts the same frames from its socket.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/socket.h>

#include "support/DeviceMessageBytes.h"
#include "support/FakeDeviceSources.h"
#include "support/RawTcpPeer.h"
#include "velquin/Common/CrossPlatform/DeviceManager.h"
#include "velquin/Common/CrossPlatform/DeviceNetwork.h"
#include "velquin/Common/CrossPlatform/VelquinInterface.h"

namespace
{

namespace B = DeviceMessageBytes;

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr std::int64_t kToken = 77;
constexpr std::size_t kStreamBatch = 2000;

const B::Bytes kGet7 = {0x18, 0, 0, 0, 2, 0, 0, 0, 7, 0, 0, 0, 0x0C, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};

B::Bytes ValueReply(std::int32_t paramID, const B::Bytes& value)
{
    return B::Values({B::Entry(value, paramID)});
}

// Answers the connect handshake and every get of parameter 7.
std::vector<RawPeer::RawFrame> AnswerDevice(const RawPeer::RawFrame& frame)
{
    if (frame.channel != 1 || frame.payload.size() < 12)
    {
        return {};
    }
    const auto id = static_cast<std::int32_t>(B::GetLE32(frame.payload, 8));
    const B::Bytes value = id == -3 ? B::Int64(kToken) : id == -4 ? B::Bool(true) : B::Int32(42);
    return {RawPeer::RawFrame::Plain(1, 0, ValueReply(id, value))};
}

RawPeer::RawTcpPeer::Options Unrecorded()
{
    RawPeer::RawTcpPeer::Options options;
    options.record = false;
    return options;
}

// Counts the host's callbacks and wakes a waiter at a target.
struct CallbackCounter
{
    static void Callback(void* context, const KT::Variant&, const KT::ParamValues&)
    {
        auto* counter = static_cast<CallbackCounter*>(context);
        std::lock_guard<std::mutex> guard(counter->lock);
        if (++counter->count == counter->target)
        {
            counter->reached.notify_one();
        }
    }
    void WaitForMore(std::size_t more)
    {
        std::unique_lock<std::mutex> guard(lock);
        target += more;
        reached.wait(guard, [this] { return count >= target; });
    }

    std::mutex lock;
    std::condition_variable reached;
    std::size_t count = 0;
    std::size_t target = 0;
};

// A device on the peer, connected through the exported functions of a
// manager put in the process-wide place for the run.
class ConnectedDevice
{
public:
    ConnectedDevice(RawPeer::RawTcpPeer& peer, CallbackCounter& counter)
    {
        KT::DeviceIdentifier identifier =
            KT::Testing::MakeDeviceIdentifier(0x6B5E, 0x2C71, 0x0A0B0C0D0E0F, 1);
        identifier.SetCurrentNetworkAddress(kLoopback);
        identifier.SetCurrentNetworkPort(peer.Port());
        mID = identifier;
        KT::RCPtr<KT::Testing::FakeDeviceSources> sources = KT::Testing::FakeDeviceSources::Create();
        const KT::RCPtr<LDeviceBase> device(LDeviceNetwork::Create(identifier).GetRaw());
        sources->OnSearch([device](LDeviceManager& manager, LDeviceManager::DeviceLocation location,
                                   const NetworkSearchRequest&)
                          { KT::Testing::FakeDeviceSources::MergeIntoList(manager, location, {device}); });
        mPrevious = LDeviceManager::ExchangeTheDeviceManager(LDeviceManager::Create(sources));
        peer.SetResponder(&AnswerDevice);
        KT::Variant list;
        QVRX_FindRemoteDevices(nullptr, 0, list, false, nullptr, 0, 0, 0, 0);
        std::future<int> connected =
            std::async(std::launch::async,
                       [&] { return QVRX_ConnectDevice(mID, &CallbackCounter::Callback, &counter); });
        mConnected = peer.Accept() && connected.get() == 0;
    }
    ~ConnectedDevice()
    {
        QVRX_ReleaseAll();
        LDeviceManager::ExchangeTheDeviceManager(mPrevious);
    }

    bool Connected() const { return mConnected; }
    const KT::Variant& ID() const { return mID; }

private:
    KT::Variant mID;
    KT::RCPtr<LDeviceManager> mPrevious;
    bool mConnected = false;
};

void BM_DeviceGetParamValue(benchmark::State& state)
{
    RawPeer::RawTcpPeer peer(Unrecorded());
    CallbackCounter counter;
    ConnectedDevice device(peer, counter);
    if (!device.Connected())
    {
        state.SkipWithError("no connection");
        return;
    }
    const KT::ParamDescriptor descriptor(7);
    KT::Variant value;
    for (auto _ : state)
    {
        if (QVRX_GetParamValue(device.ID(), descriptor, value) <= 0)
        {
            state.SkipWithError("no reply");
            break;
        }
    }
}
BENCHMARK(BM_DeviceGetParamValue)->UseRealTime();

void BM_RawTcpGetParamValue(benchmark::State& state)
{
    RawPeer::RawTcpPeer peer(Unrecorded());
    peer.SetResponder(&AnswerDevice);
    RawPeer::RawTcpClient client;
    if (!client.Connect(peer.Port(),
                        RawPeer::Bytes(RawPeer::kClientCookie.begin(), RawPeer::kClientCookie.end())) ||
        !peer.Accept())
    {
        state.SkipWithError("no connection");
        return;
    }
    const RawPeer::Bytes request = RawPeer::RawFrame::Plain(1, 0, kGet7).Encode();
    RawPeer::Bytes reply;
    for (auto _ : state)
    {
        if (!client.SendAll(request.data(), RawPeer::kHeaderSize) ||
            !client.SendAll(request.data() + RawPeer::kHeaderSize, request.size() - RawPeer::kHeaderSize) ||
            !client.ReadFrame(reply))
        {
            state.SkipWithError("no reply");
            break;
        }
    }
}
BENCHMARK(BM_RawTcpGetParamValue)->UseRealTime();

RawPeer::Bytes NotificationBatch()
{
    const B::Bytes notification = ValueReply(100, B::Int32(1));
    RawPeer::Bytes batch;
    for (std::size_t i = 0; i < kStreamBatch; ++i)
    {
        const RawPeer::Bytes frame =
            RawPeer::RawFrame::Plain(0, static_cast<std::uint32_t>(i), notification).Encode();
        batch.insert(batch.end(), frame.begin(), frame.end());
    }
    return batch;
}

// Sends one batch of notifications each time it is asked to, from a thread of
// its own.
class BatchSender
{
public:
    explicit BatchSender(RawPeer::RawTcpPeer& peer) : mPeer(peer), mThread([this] { Run(); }) {}
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
    const RawPeer::Bytes mBatch = NotificationBatch();
    std::mutex mLock;
    std::condition_variable mWake;
    int mPending = 0;
    bool mStop = false;
    std::thread mThread;
};

void BM_DeviceNotifications(benchmark::State& state)
{
    RawPeer::RawTcpPeer peer(Unrecorded());
    CallbackCounter counter;
    ConnectedDevice device(peer, counter);
    if (!device.Connected())
    {
        state.SkipWithError("no connection");
        return;
    }
    // Accepted: from here every notification reaches the callback.
    const B::Bytes notice = ValueReply(-4, B::Array({B::Int64(kToken), B::Bool(true)}));
    peer.Send(RawPeer::RawFrame::Plain(0, 0xFFFFFFFFu, notice));
    counter.WaitForMore(1);
    {
        BatchSender sender(peer);
        for (auto _ : state)
        {
            sender.SendOne();
            counter.WaitForMore(kStreamBatch);
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kStreamBatch));
}
BENCHMARK(BM_DeviceNotifications)->UseRealTime();

void BM_RawTcpNotifications(benchmark::State& state)
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
BENCHMARK(BM_RawTcpNotifications)->UseRealTime();

} // namespace
