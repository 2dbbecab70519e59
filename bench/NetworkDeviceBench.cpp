// A network device as the host uses it, found, connected and called through
// the exported functions with the library's own sources, against the
// simulated device over loopback TCP; each beside the same frames moved by a
// plain socket to the same simulated device, as the floor:
// - QVRX_GetParamValue round trips, beside a raw ping-pong of the same get
//   and reply frames;
// - notifications per second into the host's callback, beside a raw reader
//   that cuts the same frames from its socket.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "RawTcpBaseline.h"
#include "support/DeviceMessageBytes.h"
#include "support/FakeDevice.h"
#include "support/RawTcpPeer.h"
#include "support/SimulatedDevice.h"
#include "velquin/Common/CrossPlatform/DeviceManager.h"
#include "velquin/Common/CrossPlatform/SystemDeviceSources.h"
#include "velquin/Common/CrossPlatform/VelquinInterface.h"

namespace
{

namespace B = DeviceMessageBytes;
using TestDevice::SimulatedDevice;

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr std::int64_t kToken = 77;
constexpr std::size_t kStreamBatch = 2000;

const B::Bytes kGet7 = {0x18, 0, 0, 0, 2, 0, 0, 0, 7, 0, 0, 0, 0x0C, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};

B::Bytes ValueReply(std::int32_t paramID, const B::Bytes& value)
{
    return B::Values({B::Entry(value, paramID)});
}

// Counts the host's callbacks and wakes a waiter at a target.
struct CallbackCounter : RawBaseline::ArrivalCounter
{
    static void Callback(void* context, const KT::Variant&, const KT::ParamValues&)
    {
        static_cast<CallbackCounter*>(context)->Arrived();
    }
};

// The simulated device playing a network device: it answers the connect
// handshake, every get (with Int32 42) and identify.
class PlayedDevice
{
public:
    PlayedDevice()
    {
        KT::DeviceIdentifier identifier =
            KT::Testing::MakeDeviceIdentifier(0x6B5E, 0x2C71, 0x0A0B0C0D0E0F, 1);
        identifier.SetCurrentNetworkAddress(kLoopback);
        identifier.SetCurrentNetworkPort(mDevice.Port());
        mID = identifier;
        std::vector<B::Bytes> words;
        for (std::size_t i = 0; i < KT::DeviceIdentifier::DEVICE_ID_WORDS; ++i)
        {
            KT::Variant word;
            static_cast<void>(identifier.GetArrayElement(i, word));
            words.push_back(B::Int32(word.GetInt32()));
        }
        mDevice.SetIdentify(B::Array({B::Array(words), B::String("Bench")}));
        mDevice.SetScript(
            [](const B::Bytes& request)
            {
                const auto id = static_cast<std::int32_t>(B::GetLE32(request, 8));
                const B::Bytes value = id == -3 ? B::Int64(kToken) : id == -4 ? B::Bool(true) : B::Int32(42);
                return std::vector<SimulatedDevice::Reply>{
                    SimulatedDevice::Reply{1, ValueReply(id, value), {}}};
            });
    }

    SimulatedDevice& Sim() { return mDevice; }
    const KT::Variant& ID() const { return mID; }
    // The client that asked on channel 1 last.
    std::size_t ClientThatAsked()
    {
        std::size_t client = 0;
        for (const SimulatedDevice::Message& message : mDevice.Messages())
        {
            client = message.channel == 1 ? message.client : client;
        }
        return client;
    }

private:
    SimulatedDevice mDevice;
    KT::Variant mID;
};

// A manager with the library's own sources in the process-wide place for the
// run; the device is found by probing and connected.
class ConnectedDevice
{
public:
    ConnectedDevice(PlayedDevice& device, CallbackCounter& counter)
        : mPrevious(LDeviceManager::ExchangeTheDeviceManager(
              LDeviceManager::Create(LSystemDeviceSources::Create())))
    {
        KT::Variant list;
        const std::uint32_t address = kLoopback;
        mConnected =
            QVRX_FindRemoteDevices(nullptr, 0, list, false, &address, 1, 1, 1, device.Sim().Port()) == 1 &&
            QVRX_ConnectDevice(device.ID(), &CallbackCounter::Callback, &counter) == 0;
    }
    ~ConnectedDevice()
    {
        QVRX_ReleaseAll();
        LDeviceManager::ExchangeTheDeviceManager(mPrevious);
    }

    bool Connected() const { return mConnected; }

private:
    KT::RCPtr<LDeviceManager> mPrevious;
    bool mConnected = false;
};

// A raw client of the simulated device: the hello, then frames.
bool ConnectRaw(PlayedDevice& device, RawPeer::RawTcpClient& client, std::size_t& clientNumber)
{
    const std::size_t before = device.Sim().ClientCount();
    if (!client.Connect(device.Sim().Port(),
                        RawPeer::Bytes(RawPeer::kClientCookie.begin(), RawPeer::kClientCookie.end())) ||
        !device.Sim().WaitForClient(before + 1))
    {
        return false;
    }
    clientNumber = before + 1;
    return true;
}

void BM_DeviceGetParamValue(benchmark::State& state)
{
    PlayedDevice played;
    CallbackCounter counter;
    ConnectedDevice device(played, counter);
    if (!device.Connected())
    {
        state.SkipWithError("no connection");
        return;
    }
    const KT::ParamDescriptor descriptor(7);
    KT::Variant value;
    for (auto _ : state)
    {
        if (QVRX_GetParamValue(played.ID(), descriptor, value) <= 0)
        {
            state.SkipWithError("no reply");
            break;
        }
    }
}
BENCHMARK(BM_DeviceGetParamValue)->UseRealTime();

void BM_RawTcpGetParamValue(benchmark::State& state)
{
    PlayedDevice played;
    RawPeer::RawTcpClient client;
    std::size_t clientNumber = 0;
    if (!ConnectRaw(played, client, clientNumber))
    {
        state.SkipWithError("no connection");
        return;
    }
    const RawPeer::Bytes request = RawPeer::RawFrame::Plain(1, 0, kGet7).Encode();
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
BENCHMARK(BM_RawTcpGetParamValue)->UseRealTime();

std::vector<SimulatedDevice::Notification> NotificationBatch()
{
    std::vector<SimulatedDevice::Notification> batch(kStreamBatch);
    for (std::size_t i = 0; i < kStreamBatch; ++i)
    {
        batch[i].sequenceID = static_cast<std::int32_t>(i);
        batch[i].payload = ValueReply(100, B::Int32(1));
    }
    return batch;
}

void BM_DeviceNotifications(benchmark::State& state)
{
    PlayedDevice played;
    CallbackCounter counter;
    ConnectedDevice device(played, counter);
    const std::size_t client = played.ClientThatAsked();
    if (!device.Connected() || client == 0)
    {
        state.SkipWithError("no connection");
        return;
    }
    // Accepted: from here every notification reaches the callback.
    SimulatedDevice::Notification notice;
    notice.sequenceID = -1;
    notice.payload = ValueReply(-4, B::Array({B::Int64(kToken), B::Bool(true)}));
    played.Sim().SendNotifications(client, {notice});
    counter.WaitForMore(1);
    const std::vector<SimulatedDevice::Notification> batch = NotificationBatch();
    for (auto _ : state)
    {
        if (!played.Sim().SendNotifications(client, batch))
        {
            state.SkipWithError("device gone");
            break;
        }
        counter.WaitForMore(kStreamBatch);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kStreamBatch));
}
BENCHMARK(BM_DeviceNotifications)->UseRealTime();

void BM_RawTcpNotifications(benchmark::State& state)
{
    PlayedDevice played;
    RawPeer::RawTcpClient client;
    std::size_t clientNumber = 0;
    if (!ConnectRaw(played, client, clientNumber))
    {
        state.SkipWithError("no connection");
        return;
    }
    const std::vector<SimulatedDevice::Notification> batch = NotificationBatch();
    RawBaseline::RawFrameReader reader;
    {
        // The device writes each batch from a thread of its own while this one
        // reads, as the library's receiver reads while the device writes.
        RawBaseline::BatchSender sender([&] { played.Sim().SendNotifications(clientNumber, batch); });
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
BENCHMARK(BM_RawTcpNotifications)->UseRealTime();

} // namespace
