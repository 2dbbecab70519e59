// Loopback ports for tests, found with raw system calls independent of the
// library. Every test socket binds 127.0.0.1 on a port from here: one the
// kernel just chose, never in 51000-51099, where the library's own port search
// runs. Tests that search from 51000 themselves run under the CTest resource
// lock "velquin_default_port" (test names containing "DefaultPort") and ask
// FirstFreePort what the search should find.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace TestPorts
{

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr unsigned short kDefaultRangeFirst = 51000;
constexpr unsigned short kDefaultRangeLast = 51099;

// 127.0.0.1:port.
inline sockaddr_in LoopbackAddress(unsigned short port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(kLoopback);
    address.sin_port = htons(port);
    return address;
}

// A raw IPv4 socket bound to 127.0.0.1:port (0: the kernel chooses), or -1.
inline int RawBoundSocket(int type, unsigned short port)
{
    const int descriptor = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (descriptor < 0)
    {
        return -1;
    }
    const sockaddr_in address = LoopbackAddress(port);
    if (bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
    {
        close(descriptor);
        return -1;
    }
    return descriptor;
}

inline unsigned short BoundPort(int descriptor)
{
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    if (getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    {
        return 0;
    }
    return ntohs(address.sin_port);
}

// Binds descriptor to 127.0.0.1 on a port the kernel chooses. That port, or 0
// when the bind failed or the port lies in the default range (the caller then
// closes descriptor and tries a new socket).
inline unsigned short BindOutsideDefaultRange(int descriptor)
{
    const sockaddr_in address = LoopbackAddress(0);
    if (bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
    {
        return 0;
    }
    const unsigned short port = BoundPort(descriptor);
    return port < kDefaultRangeFirst || port > kDefaultRangeLast ? port : 0;
}

// A port that was free for TCP and UDP on 127.0.0.1 a moment ago; 0 when the
// kernel gave none.
inline unsigned short GetFreeLoopbackPort()
{
    for (int attempt = 0; attempt < 64; ++attempt)
    {
        const int tcp = RawBoundSocket(SOCK_STREAM, 0);
        if (tcp < 0)
        {
            return 0;
        }
        const unsigned short port = BoundPort(tcp);
        const int udp = port != 0 ? RawBoundSocket(SOCK_DGRAM, port) : -1;
        close(tcp);
        if (udp >= 0)
        {
            close(udp);
        }
        if (udp >= 0 && (port < kDefaultRangeFirst || port > kDefaultRangeLast))
        {
            return port;
        }
    }
    return 0;
}

// Calls bindTo(port) with a free port and, when it returns false (another
// process took the port in between), once more with a new one. The port that
// bound, or 0.
template <class BindFunction>
unsigned short BindOnFreePort(BindFunction&& bindTo)
{
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        const unsigned short port = GetFreeLoopbackPort();
        if (port != 0 && bindTo(port))
        {
            return port;
        }
    }
    return 0;
}

// The first port from start up that a raw bind of the given socket type finds
// free on 127.0.0.1, or 0. Ports in the search range are also taken by the
// system's ephemeral ports and by connections in TIME_WAIT, so a search from
// 51000 expects this port, not 51000.
inline unsigned short FirstFreePort(unsigned short start, int type)
{
    for (unsigned int port = start; port <= 65535; ++port)
    {
        const int descriptor = RawBoundSocket(type, static_cast<unsigned short>(port));
        if (descriptor >= 0)
        {
            close(descriptor);
            return static_cast<unsigned short>(port);
        }
    }
    return 0;
}

} // namespace TestPorts
