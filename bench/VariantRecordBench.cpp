// Writing and reading the two records that every device exchange carries, a
// device ID (an Array of twelve Int32) and a three-entry parameter list, each
// beside a plain copy of the same bytes as the floor.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "DeviceControl/CommonInc/DeviceIdentifier.h"
#include "KTFramework/Utilities/Storage/ParamValues.h"

// Result codes that a measurement does not judge are cast to void.

namespace
{

KT::Variant DeviceIDRecordSource()
{
    KT::DeviceIdentifier id;
    const unsigned char guid[16] = {1, 2, 3, 4, 0x34, 0x12, 0, 0, 0x78, 0x56, 0, 0, 0xDE, 0xCA, 0xFB, 0xAD};
    id.SetProductGuid(guid);
    id.SetInstanceLocationID(0xA1B2C3D4E5F6ull);
    id.SetInstanceIndex(2);
    return id;
}

KT::Variant ParamValuesSource()
{
    KT::Variant entries[3];
    KT::Variant text;
    text.Set("gain");
    KT::ParamValue::ToArrayVariant(1, KT::Variant(), KT::Variant(42), entries[0]);
    KT::ParamValue::ToArrayVariant(2, KT::Variant(7), text, entries[1]);
    float half = 0.5f;
    KT::Variant value;
    value.Set(KT::Variant::TYPE_FLOAT, &half, sizeof(half));
    KT::ParamValue::ToArrayVariant(0xFFFFFFFEu, KT::Variant(), value, entries[2]);
    KT::ParamValues list;
    list.SetArray(entries, 3);
    return list;
}

std::vector<unsigned char> RecordOf(const KT::Variant& v)
{
    std::vector<unsigned char> bytes(KT::Variant::GetSerializedSize(v));
    static_cast<void>(KT::Variant::Serialize(v, bytes.data(), bytes.size()));
    return bytes;
}

void Serialize(benchmark::State& state, const KT::Variant& source)
{
    std::vector<unsigned char> out(KT::Variant::GetSerializedSize(source));
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(KT::Variant::Serialize(source, out.data(), out.size()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
}

void Deserialize(benchmark::State& state, const KT::Variant& source)
{
    const std::vector<unsigned char> record = RecordOf(source);
    KT::Variant target;
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(KT::Variant::Deserialize(target, record.data(), record.size()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * record.size()));
}

void Copy(benchmark::State& state, const KT::Variant& source)
{
    const std::vector<unsigned char> record = RecordOf(source);
    std::vector<unsigned char> out(record.size());
    for (auto _ : state)
    {
        std::memcpy(out.data(), record.data(), record.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * record.size()));
}

void BM_DeviceIDSerialize(benchmark::State& state)
{
    Serialize(state, DeviceIDRecordSource());
}

void BM_DeviceIDDeserialize(benchmark::State& state)
{
    Deserialize(state, DeviceIDRecordSource());
}

void BM_DeviceIDMemcpy(benchmark::State& state)
{
    Copy(state, DeviceIDRecordSource());
}

void BM_ParamValuesSerialize(benchmark::State& state)
{
    Serialize(state, ParamValuesSource());
}

void BM_ParamValuesDeserialize(benchmark::State& state)
{
    Deserialize(state, ParamValuesSource());
}

void BM_ParamValuesMemcpy(benchmark::State& state)
{
    Copy(state, ParamValuesSource());
}

} // namespace

BENCHMARK(BM_DeviceIDSerialize);
BENCHMARK(BM_DeviceIDDeserialize);
BENCHMARK(BM_DeviceIDMemcpy);
BENCHMARK(BM_ParamValuesSerialize);
BENCHMARK(BM_ParamValuesDeserialize);
BENCHMARK(BM_ParamValuesMemcpy);
