// Named time-outs that tests can shorten. A layer lists its time-outs once, as
// names and their lengths in milliseconds, and reads every one of them through
// TimeoutTable<List>::Get; a test shortens one with a ScopedOverride for its
// own lifetime instead of waiting a 60-second stop or a 30-second reply out.
// Waits still measure real time: only the length asked for changes. With no
// override in force, Get returns the listed length.
//
// One table per layer, in that layer's Defs (the framework's is
// KTFramework/Defs/Timeouts.h). A later layer follows the same pattern:
//
//     struct NetworkTimeoutList
//     {
//         enum Name : unsigned { CONNECT, REPLY, COUNT };
//         static constexpr std::uint32_t kMilliseconds[COUNT] = {30000, 2500};
//     };
//     using NetworkTimeouts = Platform::TimeoutTable<NetworkTimeoutList>;
//
//     code:  event->Wait(NetworkTimeouts::Get(NetworkTimeoutList::REPLY));
//     tests: NetworkTimeouts::ScopedOverride shortReply(NetworkTimeoutList::REPLY, 5);
//
// Threads: overrides are set by a test before it starts what reads them and
// put back after that has stopped; Get may run on any thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace KT::Platform
{

template <class List>
class TimeoutTable
{
public:
    using Name = typename List::Name;

    // The length in force of the named time-out, in milliseconds.
    static std::uint32_t Get(Name name) noexcept
    {
        const std::uint64_t stored = sOverrides[name].load(std::memory_order_relaxed);
        return stored == kNone ? List::kMilliseconds[name] : static_cast<std::uint32_t>(stored - 1);
    }

    // Sets the named time-out to milliseconds for its lifetime; the length in
    // force before comes back afterwards.
    class ScopedOverride
    {
    public:
        ScopedOverride(Name name, std::uint32_t milliseconds) noexcept
            : mName(name), mPrevious(sOverrides[name].exchange(std::uint64_t{milliseconds} + 1))
        {
        }
        ~ScopedOverride() { sOverrides[mName].store(mPrevious); }
        ScopedOverride(const ScopedOverride&) = delete;
        ScopedOverride& operator=(const ScopedOverride&) = delete;

    private:
        Name mName;
        std::uint64_t mPrevious;
    };

private:
    // An override is stored as its length + 1 in a wider word, so that every
    // 32-bit length can be one and the zero-initialised table means none.
    static constexpr std::uint64_t kNone = 0;

    static inline std::atomic<std::uint64_t> sOverrides[List::COUNT] = {};
};

} // namespace KT::Platform
