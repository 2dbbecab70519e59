// The benchmarks' searches start the library's DNS-SD discovery: its mDNS
// engine stays on the loopback interface, whatever the environment says,
// before anything of the library runs.
#include <cstdlib>

namespace
{

const bool kLoopbackOnly = [] { return setenv("VELQUIN_MDNS_INTERFACES", "lo", 1) == 0; }();

} // namespace
