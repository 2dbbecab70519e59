#include "Platform/Uninstaller/UnixSocket.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace Uninstaller::Platform
{

namespace
{

// How long a connect waits before trying a full queue again.
constexpr std::chrono::milliseconds kRetryConnect{10};

} // namespace

int GetPeerCredentials(int socket, PeerCredentials& credentials)
{
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
    {
        return errno;
    }
    if (length != sizeof peer)
    {
        return EINVAL;
    }
    credentials = {peer.pid, peer.uid, peer.gid};
    return 0;
}

int ConnectUnixSocket(const std::string& path, Deadline deadline, int cancel, FileDescriptor& socket)
{
    socket.Reset();
    sockaddr_un address{};
    socklen_t length = 0;
    if (!KT::Platform::MakeUnixAddress(path, address, length))
    {
        return ENAMETOOLONG;
    }
    FileDescriptor connection(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!connection)
    {
        return errno;
    }
    for (;;)
    {
        if (::connect(connection.Get(), reinterpret_cast<const sockaddr*>(&address), length) == 0)
        {
            socket = std::move(connection);
            return 0;
        }
        if (errno == EINTR)
        {
            continue;
        }
        if (errno != EAGAIN)
        {
            return errno;
        }
        // A local server's queue is full: nothing signals room, so look again
        // shortly. Waiting on no descriptor ends only by time or cancel.
        const Deadline retry = std::min(deadline, std::chrono::steady_clock::now() + kRetryConnect);
        if (const int waited = KT::Platform::PollUntil(-1, 0, retry, cancel);
            waited != ETIMEDOUT || retry == deadline)
        {
            return waited;
        }
    }
}

int AcceptConnection(int listener, Deadline deadline, FileDescriptor& connection)
{
    connection.Reset();
    for (;;)
    {
        // Waiting in poll first keeps the deadline even when the listener blocks
        // (a socket passed in by the service manager does).
        if (const int waited = KT::Platform::PollUntil(listener, POLLIN, deadline); waited != 0)
        {
            return waited == ETIMEDOUT ? EAGAIN : waited;
        }
        const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (accepted >= 0)
        {
            connection.Reset(accepted);
            return 0;
        }
        if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN)
        {
            return errno;
        }
    }
}

int MakeCancelEvent(FileDescriptor& event)
{
    event.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    return event ? 0 : errno;
}

void SignalCancelEvent(int event) noexcept
{
    const std::uint64_t one = 1;
    // The event only has to become readable; a full counter already is.
    [[maybe_unused]] const ssize_t written = ::write(event, &one, sizeof one);
}

bool IsCancelEventSignalled(int event) noexcept
{
    pollfd ready{event, POLLIN, 0};
    return ::poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN) != 0;
}

} // namespace Uninstaller::Platform
