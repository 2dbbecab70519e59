// What every mDNS engine of the library takes from the environment, and where
// the engine's own log lines go. VELQUIN_MDNS_INTERFACES names the network
// interfaces the engines may use, separated by commas ("lo" keeps every
// announcement and query on the loopback interface); unset, they use every
// interface. Engines never use IPv6. No state besides the one-time log routing.
#pragma once

#include <string>
#include <vector>

namespace KT::Platform
{

inline constexpr const char* kMdnsInterfacesVariable = "VELQUIN_MDNS_INTERFACES";

struct MdnsInterfaceChoice
{
    // False: every interface. True: only those named, and none at all when
    // names is empty.
    bool restricted = false;
    std::vector<std::string> names;
};

// The choice a value of VELQUIN_MDNS_INTERFACES makes: names separated by
// commas, blanks around each dropped, empty ones skipped, each kept once in
// the order given. Null (the variable unset): every interface.
MdnsInterfaceChoice ParseMdnsInterfaces(const char* text);
// The choice the environment makes now.
MdnsInterfaceChoice ReadMdnsInterfaces();

// Sends the mDNS engine's log lines nowhere instead of to stderr: the library
// writes no log. Takes effect once per process; any thread may call it.
void RouteMdnsLogAway();

} // namespace KT::Platform
