// 32-bit atomic primitives in place of the operating system's atomic add and
// compare-and-swap. Every operation is a full, sequentially consistent
// read-modify-write on a signed 32-bit value.
#pragma once

#include <atomic>
#include <cstdint>

namespace KT::Platform
{

using Atomic32 = std::atomic<std::int32_t>;

// Adds delta and returns the value held before the addition, as the platform's
// increment and decrement primitives report it.
inline std::int32_t AtomicAdd32(Atomic32& target, std::int32_t delta) noexcept
{
    return target.fetch_add(delta, std::memory_order_seq_cst);
}

// Stores newValue when the target holds oldValue; true when it did.
inline bool AtomicCompareAndSwap32(std::int32_t oldValue, std::int32_t newValue, Atomic32& target) noexcept
{
    return target.compare_exchange_strong(oldValue, newValue, std::memory_order_seq_cst);
}

// A plain 32-bit read: no ordering beyond the atomicity of the load itself.
inline std::int32_t AtomicRead32(const Atomic32& target) noexcept
{
    return target.load(std::memory_order_relaxed);
}

} // namespace KT::Platform
