// The framework's named time-outs, read through the table's Get so that tests
// can shorten them (Platform/TimeoutTable.h describes the pattern that every
// layer's table follows).
#pragma once

#include <cstdint>

#include "Platform/TimeoutTable.h"

namespace KT
{

struct FrameworkTimeoutList
{
    enum Name : unsigned
    {
        // How long owners and destructors wait for a thread to end before they
        // give up on it and detach it.
        THREAD_STOP,
        COUNT
    };
    static constexpr std::uint32_t kMilliseconds[COUNT] = {60000};
};

using FrameworkTimeouts = Platform::TimeoutTable<FrameworkTimeoutList>;

} // namespace KT
