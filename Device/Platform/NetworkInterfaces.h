// The host's network interfaces as one walk of the system's interface list:
// per entry its interface name, index and flags, and either an IPv4 address or
// a hardware type and address. Tests substitute a list of their own through
// SetNetworkInterfaceSource. No state besides that seam, which is atomic.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace KT::Platform
{

// Hardware type of an Ethernet-like interface (ARPHRD_ETHER).
constexpr std::uint16_t kHardwareTypeEthernet = 1;

struct NetworkInterfaceEntry
{
    enum Kind
    {
        kIPv4,    // address holds the interface's IPv4 address
        kHardware // hardwareType and hardwareAddress describe the link
    };

    std::string name;
    unsigned int index = 0; // 0 when the system gave none
    Kind kind = kIPv4;
    bool up = false;
    bool loopback = false;
    std::uint32_t address = 0; // host byte order
    std::uint16_t hardwareType = 0;
    std::vector<unsigned char> hardwareAddress;
};

// Fills entries, in the system's order, with the IPv4 and hardware entries of
// the interface list; other address families are left out. False, with the
// list empty, when the list cannot be read.
bool ListNetworkInterfaces(std::vector<NetworkInterfaceEntry>& entries);

// Test seam: when set, ListNetworkInterfaces calls it instead of reading the
// system's list. Null restores the system's list.
using NetworkInterfaceSource = bool (*)(std::vector<NetworkInterfaceEntry>& entries);
void SetNetworkInterfaceSource(NetworkInterfaceSource source) noexcept;

} // namespace KT::Platform
