// Finds a simulated network device (velquin_sim_device) through the exported
// functions alone, as a host would, from the line it prints once it listens.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "KTFramework/Utilities/Storage/Variant.h"
#include "support/ChildProcess.h"
#include "velquin/Common/CrossPlatform/VelquinInterface.h"

namespace HostTesting
{

// Reads "listening on 127.0.0.1:PORT" from the device and sets id to the
// listed device at that address and port.
inline void FindSimulatedDevice(PlatformTesting::ChildProcess& device, KT::Variant& id)
{
    ASSERT_TRUE(device.IsRunning());
    std::string line;
    ASSERT_TRUE(device.ReadLine(line));
    const std::string prefix = "listening on 127.0.0.1:";
    ASSERT_EQ(0u, line.rfind(prefix, 0)) << line;
    const auto port = static_cast<std::uint32_t>(std::strtoul(line.c_str() + prefix.size(), nullptr, 10));

    KT::Variant list;
    const std::uint32_t address = 0x7F000001;
    ASSERT_GE(QVRX_FindRemoteDevices(nullptr, 0, list, false, &address, 1, 8, 1, port), 0);
    // Devices that other tests announce on lo may be listed too.
    for (std::size_t i = 0; i < list.GetArrayLength(); ++i)
    {
        KT::Variant listed;
        KT::DeviceInfo info{};
        if (list.GetArrayElement(i, listed) == 0 && QVRX_GetDeviceInfo(listed, &info, false) >= 0 &&
            info.networkAddress == address && info.networkPort == port)
        {
            id = listed;
        }
    }
    ASSERT_NE(KT::Variant::TYPE_EMPTY, id.GetType()) << "the device was not found";
}

} // namespace HostTesting
