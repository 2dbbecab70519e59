// Writing and decoding the device message a parameter set sends (the 80-byte
// set of one Int32), each beside a plain copy of the same 80 bytes as the floor.
#include <benchmark/benchmark.h>

#include <cstring>

#include "KTFramework/Utilities/Storage/Buffer.h"
#include "KTFramework/Utilities/Storage/ParamValues.h"
#include "velquin/Common/CrossPlatform/DeviceMessageSerializer.h"

namespace
{

// As a device keeps its own: written into again and again, never shrinking
// below its first size.
using MessageBuffer = KT::LBufferT<2048, 2048>;

KT::ParamValues SetPayload()
{
    KT::ParamValues values;
    values.SetOne(KT::ParamDescriptor(7), KT::Variant(5));
    return values;
}

KT::RCPtr<KT::LIBuffer> SetMessage()
{
    KT::RCPtr<KT::LIBuffer> buffer = MessageBuffer::Create(2048, 0, true);
    if (DeviceMessageSerializer::CreateSetParamMessage(static_cast<std::uint32_t>(MESSAGE_ID_PARAM_VALUES),
                                                       SetPayload(), buffer) != 80)
    {
        buffer.SetNull();
    }
    return buffer;
}

void BM_SetMessageWrite(benchmark::State& state)
{
    const KT::ParamValues payload = SetPayload();
    KT::RCPtr<KT::LIBuffer> buffer = MessageBuffer::Create(2048, 0, true);
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(DeviceMessageSerializer::CreateSetParamMessage(
            static_cast<std::uint32_t>(MESSAGE_ID_PARAM_VALUES), payload, buffer));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 80));
}

void BM_SetMessageDecode(benchmark::State& state)
{
    const KT::RCPtr<KT::LIBuffer> message = SetMessage();
    if (!message)
    {
        state.SkipWithError("the set message was not written");
        return;
    }
    KT::ParamValues values;
    std::uint32_t messageID = 0;
    DeviceInterfaceMessageType kind = DEVICE_MESSAGE_NONE;
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(DeviceMessageSerializer::DecodeMessage(message, 0, messageID, values, kind));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 80));
}

void BM_SetMessageMemcpy(benchmark::State& state)
{
    const KT::RCPtr<KT::LIBuffer> message = SetMessage();
    if (!message)
    {
        state.SkipWithError("the set message was not written");
        return;
    }
    unsigned char copy[80];
    const void* source = message->GetRawPtr();
    for (auto _ : state)
    {
        std::memcpy(copy, source, sizeof(copy));
        benchmark::DoNotOptimize(copy);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 80));
}

} // namespace

BENCHMARK(BM_SetMessageWrite);
BENCHMARK(BM_SetMessageDecode);
BENCHMARK(BM_SetMessageMemcpy);
