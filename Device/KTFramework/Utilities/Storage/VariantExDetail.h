// Helpers that VariantEx.cpp and VariantExText.cpp share: reads of a variant's
// value slot and payload, and the texts of the Bool kind. Not for other users.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "KTFramework/Utilities/Storage/Variant.h"
#include "Platform/ByteOrder.h"

namespace KT::Detail
{

// How a Bool reads as text, and which text reads as true.
inline constexpr char kVariantTrueText[] = "true";
inline constexpr char kVariantFalseText[] = "false";

// The scalar held in the value slot, read at T's width; 0 when the variant
// reports fewer bytes.
template <class T>
T ReadVariantSlot(const Variant& v) noexcept
{
    std::size_t size = 0;
    const void* slot = v.GetConstPointer(size);
    if (slot == nullptr || size < sizeof(T))
    {
        return T();
    }
    const std::uint64_t bits = ReadLE(static_cast<const unsigned char*>(slot), sizeof(T));
    if constexpr (std::is_same_v<T, float>)
    {
        return std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    }
    else if constexpr (std::is_same_v<T, double>)
    {
        return std::bit_cast<double>(bits);
    }
    else
    {
        return static_cast<T>(bits);
    }
}

inline const unsigned char* GetVariantPayload(const Variant& v, std::size_t& size) noexcept
{
    size = 0;
    return static_cast<const unsigned char*>(v.GetConstPointer(size));
}

} // namespace KT::Detail
