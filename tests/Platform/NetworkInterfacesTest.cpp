#include <gtest/gtest.h>

#include <net/if.h>

#include <algorithm>

#include "Platform/NetworkInterfaces.h"

using namespace KT::Platform;

// Run in a network namespace with lo up, or on any host: the loopback interface
// always has a link entry and, when up, 127.0.0.1.
TEST(NetworkInterfaces, SystemWalkGivesLoopbackWithItsIndex)
{
    std::vector<NetworkInterfaceEntry> entries;
    ASSERT_TRUE(ListNetworkInterfaces(entries));
    const unsigned int loIndex = if_nametoindex("lo");
    ASSERT_NE(loIndex, 0u);
    const auto link =
        std::find_if(entries.begin(), entries.end(),
                     [](const NetworkInterfaceEntry& entry)
                     { return entry.name == "lo" && entry.kind == NetworkInterfaceEntry::kHardware; });
    ASSERT_NE(link, entries.end());
    EXPECT_EQ(link->index, loIndex);
    EXPECT_TRUE(link->loopback);
    EXPECT_NE(link->hardwareType, kHardwareTypeEthernet);
    if (link->up)
    {
        const auto ipv4 =
            std::find_if(entries.begin(), entries.end(),
                         [](const NetworkInterfaceEntry& entry)
                         { return entry.kind == NetworkInterfaceEntry::kIPv4 && entry.name == "lo"; });
        ASSERT_NE(ipv4, entries.end());
        EXPECT_EQ(ipv4->address, 0x7F000001u);
        EXPECT_EQ(ipv4->index, loIndex) << "an IPv4 entry takes its link's index";
    }
}

TEST(NetworkInterfaces, SourceSeamReplacesTheSystemList)
{
    SetNetworkInterfaceSource(
        [](std::vector<NetworkInterfaceEntry>& entries)
        {
            NetworkInterfaceEntry entry;
            entry.name = "test0";
            entry.index = 42;
            entries.push_back(entry);
            return true;
        });
    std::vector<NetworkInterfaceEntry> entries;
    EXPECT_TRUE(ListNetworkInterfaces(entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "test0");

    // A failed walk leaves nothing behind, whatever the source had added.
    SetNetworkInterfaceSource(
        [](std::vector<NetworkInterfaceEntry>& partial)
        {
            partial.emplace_back();
            return false;
        });
    EXPECT_FALSE(ListNetworkInterfaces(entries));
    EXPECT_TRUE(entries.empty());
    SetNetworkInterfaceSource(nullptr);
    EXPECT_TRUE(ListNetworkInterfaces(entries));
    EXPECT_FALSE(entries.empty());
}
