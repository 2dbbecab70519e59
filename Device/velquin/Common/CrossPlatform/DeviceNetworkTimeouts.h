// The time-outs of the exchanges with network devices: a network device's own
// and those of the identify exchange that the network search makes before a
// device object exists (LDeviceIdentifiersRetriever). One table for both, so
// that a device is asked the same way whoever asks; tests shorten them with
// DeviceNetworkTimeouts::ScopedOverride.
#pragma once

#include <cstdint>

#include "Platform/TimeoutTable.h"

struct DeviceNetworkTimeoutList
{
    enum Name : unsigned
    {
        REPLY,     // a reply on channels 1, 3 and 4
        REACHABLE, // a TCP connect of the reachability check
        COUNT
    };
    static constexpr std::uint32_t kMilliseconds[COUNT] = {2500, 2000};
};
using DeviceNetworkTimeouts = KT::Platform::TimeoutTable<DeviceNetworkTimeoutList>;
