// The device IDs the attached-device tests give the test helper's devices:
// twelve 32-bit words, as a host sees them in a KT::Variant Array of Int32s.
// Header-only and built on exported framework types, so that tests linking only
// the shared library can use it too.
#pragma once

#include <cstdint>
#include <vector>

#include "KTFramework/Utilities/Storage/Variant.h"

namespace AttachedDeviceIds
{

// The twelve words of an attached device's ID (location 0: not a network
// device) of the supported product.
inline std::vector<std::int32_t> Words(int seed)
{
    return {0x04030201, 0x00006B5E, 0x00002C71, static_cast<std::int32_t>(0xADFBCADE),
            0x6B5E,     0x2C71,     seed,       seed + 1,
            seed + 2,   seed + 3,   0,          seed};
}

// An ID as the host receives it: an Array of the words as Int32s.
inline KT::Variant DeviceIDOf(const std::vector<std::int32_t>& words)
{
    std::vector<KT::Variant> elements;
    for (std::int32_t word : words)
    {
        elements.emplace_back(word);
    }
    KT::Variant id;
    id.SetArray(elements.data(), elements.size());
    return id;
}

inline KT::Variant DeviceID(int seed)
{
    return DeviceIDOf(Words(seed));
}

} // namespace AttachedDeviceIds
