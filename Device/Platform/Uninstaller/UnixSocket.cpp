#include "Platform/Uninstaller/UnixSocket.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
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
constexpr int kRetryConnectMs = 10;

// Waits until socket is ready for events, the deadline passes or cancel fires.
// capMs bounds one wait (-1 for no bound beyond the deadline).
int WaitFor(int socket, short events, Deadline deadline, int cancel, int capMs = -1)
{
    for (;;)
    {
        int timeoutMs = -1;
        if (deadline != NoDeadline())
        {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
            {
                return ETIMEDOUT;
            }
            timeoutMs = static_cast<int>(std::min<std::int64_t>(left.count(), INT32_MAX));
        }
        if (capMs >= 0 && (timeoutMs < 0 || timeoutMs > capMs))
        {
            timeoutMs = capMs;
        }
        pollfd fds[2] = {{socket, events, 0}, {cancel, POLLIN, 0}};
        const int ready = ::poll(fds, cancel >= 0 ? 2 : 1, timeoutMs);
        if (ready < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return errno;
        }
        if (cancel >= 0 && (fds[1].revents & POLLIN) != 0)
        {
            return ECANCELED;
        }
        if (ready > 0)
        {
            return 0;
        }
        if (capMs >= 0)
        {
            return EAGAIN;
        }
    }
}

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
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path || path.find('\0') != std::string::npos)
    {
        return ENAMETOOLONG;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    FileDescriptor connection(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!connection)
    {
        return errno;
    }
    for (;;)
    {
        if (::connect(connection.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
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
        // A local server's queue is full: nothing signals room, so look again shortly.
        const int waited = WaitFor(-1, 0, deadline, cancel, kRetryConnectMs);
        if (waited != 0 && waited != EAGAIN)
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
        if (const int waited = WaitFor(listener, POLLIN, deadline, -1); waited != 0)
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

int SendAll(int socket, const void* data, std::size_t size, Deadline deadline, int cancel)
{
    const auto* next = static_cast<const unsigned char*>(data);
    while (size > 0)
    {
        const ssize_t sent = ::send(socket, next, size, MSG_NOSIGNAL);
        if (sent >= 0)
        {
            next += sent;
            size -= static_cast<std::size_t>(sent);
            continue;
        }
        if (errno == EINTR)
        {
            continue;
        }
        if (errno != EAGAIN)
        {
            return errno;
        }
        if (const int waited = WaitFor(socket, POLLOUT, deadline, cancel); waited != 0)
        {
            return waited;
        }
    }
    return 0;
}

int ReceiveExactly(int socket, void* data, std::size_t size, Deadline deadline, int cancel)
{
    auto* next = static_cast<unsigned char*>(data);
    while (size > 0)
    {
        const ssize_t got = ::recv(socket, next, size, 0);
        if (got > 0)
        {
            next += got;
            size -= static_cast<std::size_t>(got);
            continue;
        }
        if (got == 0)
        {
            return ECONNRESET;
        }
        if (errno == EINTR)
        {
            continue;
        }
        if (errno != EAGAIN)
        {
            return errno;
        }
        if (const int waited = WaitFor(socket, POLLIN, deadline, cancel); waited != 0)
        {
            return waited;
        }
    }
    return 0;
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
