#include "Platform/NetworkInterfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <memory>

namespace KT::Platform
{

static_assert(kHardwareTypeEthernet == ARPHRD_ETHER, "the system's Ethernet hardware type");

namespace
{

std::atomic<NetworkInterfaceSource> sSource{nullptr};

bool ReadSystemInterfaces(std::vector<NetworkInterfaceEntry>& entries)
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
    {
        return false;
    }
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, &freeifaddrs);
    for (const ifaddrs* item = list; item != nullptr; item = item->ifa_next)
    {
        if (item->ifa_addr == nullptr)
        {
            continue;
        }
        NetworkInterfaceEntry entry;
        entry.name = item->ifa_name != nullptr ? item->ifa_name : "";
        entry.up = (item->ifa_flags & IFF_UP) != 0;
        entry.loopback = (item->ifa_flags & IFF_LOOPBACK) != 0;
        if (item->ifa_addr->sa_family == AF_INET)
        {
            sockaddr_in in{};
            std::memcpy(&in, item->ifa_addr, sizeof(in));
            entry.kind = NetworkInterfaceEntry::kIPv4;
            entry.address = ntohl(in.sin_addr.s_addr);
        }
        else if (item->ifa_addr->sa_family == AF_PACKET)
        {
            sockaddr_ll link{};
            std::memcpy(&link, item->ifa_addr, sizeof(link));
            entry.kind = NetworkInterfaceEntry::kHardware;
            entry.index = static_cast<unsigned int>(link.sll_ifindex);
            entry.hardwareType = link.sll_hatype;
            const std::size_t length =
                link.sll_halen < sizeof(link.sll_addr) ? link.sll_halen : sizeof(link.sll_addr);
            entry.hardwareAddress.assign(link.sll_addr, link.sll_addr + length);
        }
        else
        {
            continue;
        }
        entries.push_back(std::move(entry));
    }

    // IPv4 entries carry no index of their own: take their link's, by name, from
    // the same walk.
    for (NetworkInterfaceEntry& entry : entries)
    {
        if (entry.kind != NetworkInterfaceEntry::kIPv4)
        {
            continue;
        }
        for (const NetworkInterfaceEntry& link : entries)
        {
            if (link.kind == NetworkInterfaceEntry::kHardware && link.name == entry.name)
            {
                entry.index = link.index;
                break;
            }
        }
    }
    return true;
}

} // namespace

bool ListNetworkInterfaces(std::vector<NetworkInterfaceEntry>& entries)
{
    entries.clear();
    const NetworkInterfaceSource source = sSource.load();
    const bool listed = source != nullptr ? source(entries) : ReadSystemInterfaces(entries);
    if (!listed)
    {
        entries.clear();
    }
    return listed;
}

void SetNetworkInterfaceSource(NetworkInterfaceSource source) noexcept
{
    sSource.store(source);
}

} // namespace KT::Platform
