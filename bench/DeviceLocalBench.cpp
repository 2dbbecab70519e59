// QVRX_GetParamValue of an attached device against the test device helper in
// this process (the request dictionary, the 'SPrM' round trip through the
// helper's port, the helper's own decoding and answer, the reply's decoding),
// beside the bare port round trip of the same request bytes answered with the
// same reply bytes: what the device and the helper add to the transport.
#include <benchmark/benchmark.h>
#include <ftw.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "Platform/DistributedNotificationCenter.h"
#include "Platform/MessagePort.h"
#include "Platform/MessagePortServer.h"
#include "Platform/PropertyList.h"
#include "Platform/RuntimeDirectory.h"
#include "support/FakeHelper.h"
#include "velquin/Common/CrossPlatform/DeviceManager.h"
#include "velquin/Common/CrossPlatform/SystemDeviceSources.h"
#include "velquin/Common/CrossPlatform/VelquinInterface.h"
#include "velquin/Common/MacLocalConnector.h"

namespace
{

using HelperTesting::Bytes;
namespace Records = HelperTesting::Records;

constexpr std::int32_t kParamMessage = 0x5350724D; // 'SPrM'

// A runtime directory of the benchmark's own, removed afterwards.
class ScopedRuntime
{
public:
    ScopedRuntime()
    {
        char pattern[] = "/tmp/vq-bench-XXXXXX";
        if (::mkdtemp(pattern) != nullptr)
        {
            mBase = pattern;
            KT::Platform::ResetRuntimeDirectoryForTesting(mBase.c_str());
        }
    }
    ~ScopedRuntime()
    {
        KT::Platform::DistributedNotificationCenter::Get().ResetForTesting();
        if (!mBase.empty())
        {
            ::nftw(
                mBase.c_str(),
                [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }, 16,
                FTW_DEPTH | FTW_PHYS);
        }
        KT::Platform::ResetRuntimeDirectoryForTesting(nullptr);
    }
    bool IsValid() const { return !mBase.empty(); }

private:
    std::string mBase;
};

std::vector<std::int32_t> Words()
{
    return {0x04030201, 0x00006B5E, 0x00002C71, static_cast<std::int32_t>(0xADFBCADE),
            0x6B5E,     0x2C71,     1,          2,
            3,          4,          0,          1};
}

KT::Variant DeviceID()
{
    std::vector<KT::Variant> elements;
    for (std::int32_t word : Words())
    {
        elements.emplace_back(word);
    }
    KT::Variant id;
    id.SetArray(elements.data(), elements.size());
    return id;
}

HelperTesting::FakeDevice Device()
{
    HelperTesting::FakeDevice device;
    device.IdWords = Words();
    device.Name = "bench";
    device.HelperId = "helper-bench";
    device.Values[7] = Records::Int32(5);
    return device;
}

// What the device sends for a get of parameter 7: its request dictionary
// with the helper's first client ID and the get's device message.
Bytes GetRequest()
{
    const Bytes message = Records::DeviceMessage(2, 7, Records::Empty());
    KT::Platform::Plist dictionary = KT::Platform::Plist::NewDictionary();
    Bytes xml;
    if (!dictionary.SetItem("DeviceIDKey", KT::Platform::Plist::NewString("helper-bench")) ||
        !dictionary.SetItem("ClientIDKey", KT::Platform::Plist::NewInteger(1)) ||
        !dictionary.SetItem("ParameterDataKey",
                            KT::Platform::Plist::NewData(message.data(), message.size())) ||
        !dictionary.ToXml(xml))
    {
        xml.clear();
    }
    return xml;
}

void BM_GetParamValueThroughHelper(benchmark::State& state)
{
    ScopedRuntime runtime;
    LMacLocalConnector::Release();
    HelperTesting::FakeHelper helper({Device()});
    if (!runtime.IsValid() || !helper.Start())
    {
        state.SkipWithError("no helper");
        return;
    }
    KT::RCPtr<LDeviceManager> manager = LDeviceManager::Create(LSystemDeviceSources::Create());
    KT::RCPtr<LDeviceManager> previous = LDeviceManager::ExchangeTheDeviceManager(manager);
    const KT::Variant id = DeviceID();
    if (QVRX_ConnectDevice(id, nullptr, nullptr) < 0)
    {
        state.SkipWithError("no connection");
    }
    else
    {
        KT::Variant value;
        std::size_t requests = 0;
        for (auto _ : state)
        {
            if (QVRX_GetParamValue(id, KT::ParamDescriptor(7), value) != 0)
            {
                state.SkipWithError("get failed");
                break;
            }
            benchmark::DoNotOptimize(value);
            if (++requests % 1024 == 0)
            {
                // The helper's log would grow with every request.
                state.PauseTiming();
                helper.ClearRequests();
                state.ResumeTiming();
            }
        }
    }
    QVRX_ReleaseAll();
    LDeviceManager::ExchangeTheDeviceManager(previous);
    manager.SetNull();
    LMacLocalConnector::Release();
}
BENCHMARK(BM_GetParamValueThroughHelper)->UseRealTime();

void BM_PortRoundTripOfTheSameBytes(benchmark::State& state)
{
    ScopedRuntime runtime;
    const Bytes request = GetRequest();
    const Bytes reply = Records::DeviceMessage(0, 7, Records::ParamValues({{7, Records::Int32(5)}}));
    auto server = KT::Platform::MessagePortServer::Create(
        HelperTesting::FakeHelper::kPortName,
        [&reply](std::int32_t, const std::optional<Bytes>&, std::optional<Bytes>* answer)
        {
            if (answer != nullptr)
            {
                *answer = reply;
            }
        });
    auto port = KT::Platform::LookUpMessagePort(HelperTesting::FakeHelper::kPortName);
    if (!runtime.IsValid() || !server || !port || request.empty())
    {
        state.SkipWithError("no port");
        return;
    }
    std::optional<Bytes> answer;
    for (auto _ : state)
    {
        if (port->SendRequest(kParamMessage, &request, 2500, 5000, &answer) !=
            KT::Platform::PortStatus::Success)
        {
            state.SkipWithError("request failed");
            break;
        }
        benchmark::DoNotOptimize(answer);
    }
}
BENCHMARK(BM_PortRoundTripOfTheSameBytes)->UseRealTime();

} // namespace
