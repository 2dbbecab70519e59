// The host's IPv4 and Ethernet addresses as LNetworkSocket reports them, from
// interface lists substituted through the platform's seam.
#include <gtest/gtest.h>

#include <vector>

#include "KTFramework/Utilities/Storage/Array.h"
#include "Platform/NetworkInterfaces.h"
#include "velquin/Common/CrossPlatform/Network/NetworkSocket.h"

// Result codes that a test does not judge (set-up steps, and calls whose effect
// it checks another way) are cast to void.

namespace
{

using KT::Platform::NetworkInterfaceEntry;

NetworkInterfaceEntry IPv4(const char* name, std::uint32_t address, bool up = true)
{
    NetworkInterfaceEntry entry;
    entry.name = name;
    entry.up = up;
    entry.address = address;
    return entry;
}

NetworkInterfaceEntry Link(const char* name, unsigned int index, std::vector<unsigned char> address,
                           std::uint16_t type = KT::Platform::kHardwareTypeEthernet, bool loopback = false)
{
    NetworkInterfaceEntry entry;
    entry.name = name;
    entry.index = index;
    entry.kind = NetworkInterfaceEntry::kHardware;
    entry.loopback = loopback;
    entry.hardwareType = type;
    entry.hardwareAddress = std::move(address);
    return entry;
}

std::vector<NetworkInterfaceEntry> sEntries;
bool sListFails = false;

class NetworkHostAddresses : public ::testing::Test
{
protected:
    void SetUp() override
    {
        sEntries.clear();
        sListFails = false;
        KT::Platform::SetNetworkInterfaceSource(
            [](std::vector<NetworkInterfaceEntry>& entries)
            {
                entries = sEntries;
                return !sListFails;
            });
    }
    void TearDown() override { KT::Platform::SetNetworkInterfaceSource(nullptr); }
};

std::vector<std::string> Texts(const KT::Array<NetworkMACAddress>& addresses)
{
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < static_cast<std::size_t>(addresses.GetCount()); ++i)
    {
        texts.emplace_back(NetworkMACAddressToString(addresses.GetAt(i)).CStr());
    }
    return texts;
}

} // namespace

TEST_F(NetworkHostAddresses, LocalAddressesAreTheUpIPv4EntriesInWalkOrder)
{
    sEntries = {Link("eth0", 2, {1, 2, 3, 4, 5, 6}), IPv4("eth0", 0xC0A80102), IPv4("lo", 0x7F000001),
                IPv4("eth1", 0x0A000001, false),     IPv4("eth0", 0xC0A80103), IPv4("eth0", 0xC0A80102)};
    KT::Array<unsigned int> addresses;
    static_cast<void>(addresses.AppendItem(99));
    EXPECT_EQ(LNetworkSocket::GetLocalIPAddresses(addresses), NETWORK_NO_ERROR);
    const std::vector<unsigned int> expected = {0xC0A80102, 0x7F000001, 0xC0A80103, 0xC0A80102};
    ASSERT_EQ(addresses.GetCount(), static_cast<int64_t>(expected.size()));
    for (std::size_t i = 0; i < expected.size(); ++i)
    {
        EXPECT_EQ(addresses.GetAt(i), expected[i]) << i;
    }

    sListFails = true;
    EXPECT_EQ(LNetworkSocket::GetLocalIPAddresses(addresses), NETWORK_CONNECTION_CLOSED);
    EXPECT_EQ(addresses.GetCount(), 0);
}

TEST_F(NetworkHostAddresses, MacAddressesAreTheEthernetOnesByIndex)
{
    sEntries = {Link("lo", 1, {0, 0, 0, 0, 0, 0}, 772, true),
                Link("wlan0", 5, {0x0A, 0, 0, 0, 0, 5}),
                Link("tun0", 4, {}, 65534),
                Link("eth1", 3, {0x0A, 0, 0, 0, 0, 3}),
                Link("dummy0", 6, {0, 0, 0, 0, 0, 0}),
                Link("ib0", 7, std::vector<unsigned char>(20, 0x77), 32),
                Link("loeth", 8, {0x0A, 0, 0, 0, 0, 8}, KT::Platform::kHardwareTypeEthernet, true),
                IPv4("eth0", 0xC0A80102),
                Link("eth0", 2, {0x0A, 0, 0, 0, 0, 2}),
                Link("eth0", 2, {0x0A, 0, 0, 0, 0, 0x22})};
    KT::Array<NetworkMACAddress> addresses;
    EXPECT_EQ(LNetworkSocket::GetMacAddresses(addresses), NETWORK_NO_ERROR);
    EXPECT_EQ(Texts(addresses),
              (std::vector<std::string>{"0A:00:00:00:00:02", "0A:00:00:00:00:03", "0A:00:00:00:00:05"}));
    NetworkMACAddress primary{};
    EXPECT_EQ(LNetworkSocket::GetPrimaryMacAddress(primary), NETWORK_NO_ERROR);
    EXPECT_STREQ(NetworkMACAddressToString(primary).CStr(), "0A:00:00:00:00:02");
}

TEST_F(NetworkHostAddresses, NoEthernetAddressGivesZeroBytes)
{
    sEntries = {Link("lo", 1, {0, 0, 0, 0, 0, 0}, 772, true), IPv4("lo", 0x7F000001)};
    KT::Array<NetworkMACAddress> addresses;
    EXPECT_EQ(LNetworkSocket::GetMacAddresses(addresses), NETWORK_NO_ERROR);
    EXPECT_EQ(addresses.GetCount(), 0);
    NetworkMACAddress primary{{1, 2, 3, 4, 5, 6}};
    EXPECT_EQ(LNetworkSocket::GetPrimaryMacAddress(primary), NETWORK_SOCKET_NOT_SET_CORRECTLY);
    EXPECT_EQ(primary, NetworkMACAddress{});

    // A walk that fails is no empty host: its code passes on, the address stays.
    sListFails = true;
    primary = NetworkMACAddress{{1, 2, 3, 4, 5, 6}};
    EXPECT_EQ(LNetworkSocket::GetMacAddresses(addresses), NETWORK_CONNECTION_CLOSED);
    EXPECT_EQ(LNetworkSocket::GetPrimaryMacAddressFallback(primary), NETWORK_CONNECTION_CLOSED);
    EXPECT_EQ(primary, (NetworkMACAddress{{1, 2, 3, 4, 5, 6}}));
}
