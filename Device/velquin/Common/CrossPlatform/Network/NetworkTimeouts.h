// The network layer's named time-outs that tests shorten, read through the
// table's Get (Platform/TimeoutTable.h describes the pattern).
#pragma once

#include <cstdint>

#include "Platform/TimeoutTable.h"
#include "velquin/Common/CrossPlatform/Network/NetworkWireFormat.h"

struct NetworkTimeoutList
{
    enum Name : unsigned
    {
        // How long a client waits for the answer to its UDP or dual-socket
        // hello.
        HELLO_ANSWER,
        // How long a reliable send at its channel's bound waits without any
        // acknowledgement making room before it fails (NetworkSendBacklog).
        SEND_ROOM,
        COUNT
    };
    static constexpr std::uint32_t kMilliseconds[COUNT] = {
        NetworkWireFormat::kHelloAnswerTimeoutMicroseconds / 1000,
        5000,
    };
};

using NetworkTimeouts = KT::Platform::TimeoutTable<NetworkTimeoutList>;
