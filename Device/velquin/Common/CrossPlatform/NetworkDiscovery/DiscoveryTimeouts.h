// The named time-outs of DNS-SD discovery, which tests shorten through
// DiscoveryTimeouts::ScopedOverride (Platform/TimeoutTable.h).
#pragma once

#include <cstdint>

#include "Platform/TimeoutTable.h"

struct DiscoveryTimeoutList
{
    enum Name : unsigned
    {
        // How long a discovery client's destructor waits for its thread.
        CLIENT_STOP,
        // How long stopping a discovery core waits for its thread.
        CORE_STOP,
        // The pause before a service whose resolution failed is resolved
        // again; it doubles with each failure of that service up to
        // RESOLVE_RETRY_MAX.
        RESOLVE_RETRY_FIRST,
        RESOLVE_RETRY_MAX,
        COUNT
    };
    static constexpr std::uint32_t kMilliseconds[COUNT] = {1000, 60000, 1000, 10000};
};

using DiscoveryTimeouts = KT::Platform::TimeoutTable<DiscoveryTimeoutList>;
