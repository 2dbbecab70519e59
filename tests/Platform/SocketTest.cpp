#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "Platform/Socket.h"
#include "support/TestPorts.h"

using namespace KT::Platform;

namespace
{

bool IsCloseOnExec(int descriptor)
{
    const int flags = fcntl(descriptor, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) != 0;
}

} // namespace

// Device control runs commands through system(): no socket may leak into them.
TEST(Socket, DescriptorsAreCloseOnExec)
{
    const int udp = OpenSocket(SocketProtocol::kUdp);
    const int listener = OpenSocket(SocketProtocol::kTcp);
    ASSERT_GE(udp, 0);
    ASSERT_GE(listener, 0);
    EXPECT_TRUE(IsCloseOnExec(udp));
    EXPECT_TRUE(IsCloseOnExec(listener));

    const unsigned short port = TestPorts::BindOnFreePort(
        [&](unsigned short candidate)
        { return BindSocket(listener, TestPorts::kLoopback, candidate) == SocketStatus::kOk; });
    ASSERT_NE(port, 0);
    ASSERT_TRUE(ListenOnSocket(listener, 1));
    const int client = OpenSocket(SocketProtocol::kTcp);
    ASSERT_EQ(ConnectSocket(client, TestPorts::kLoopback, port), SocketStatus::kOk);
    std::uint32_t peer = 0;
    std::uint16_t peerPort = 0;
    const int accepted = AcceptOnSocket(listener, peer, peerPort);
    ASSERT_GE(accepted, 0);
    EXPECT_TRUE(IsCloseOnExec(accepted));
    EXPECT_EQ(peer, TestPorts::kLoopback);
    EXPECT_EQ(fcntl(accepted, F_GETFL) & O_NONBLOCK, 0) << "accepted descriptors block";
    for (const int descriptor : {udp, listener, client, accepted})
    {
        CloseSocket(descriptor);
    }
}
