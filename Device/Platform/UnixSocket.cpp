#include "Platform/UnixSocket.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace KT::Platform
{

ScopedFd& ScopedFd::operator=(ScopedFd&& other) noexcept
{
    if (this != &other)
    {
        Reset(other.Release());
    }
    return *this;
}

ScopedFd::~ScopedFd()
{
    Reset();
}

int ScopedFd::Release() noexcept
{
    const int fd = mFd;
    mFd = -1;
    return fd;
}

void ScopedFd::Reset(int fd) noexcept
{
    if (mFd >= 0)
    {
        ::close(mFd);
    }
    mFd = fd;
}

bool MakeUnixAddress(const std::string& path, sockaddr_un& address, socklen_t& length)
{
    if (path.empty() || path.size() >= sizeof(address.sun_path) || path.find('\0') != std::string::npos)
    {
        return false;
    }
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

std::uint64_t MonotonicMilliseconds() noexcept
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

int PollUntil(int fd, short events, Deadline deadline, int cancelFd)
{
    // One poll waits at most this long, which keeps a far deadline in an int.
    constexpr std::chrono::milliseconds kLongestPoll{60000};
    for (;;)
    {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
        {
            return ETIMEDOUT;
        }
        pollfd fds[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
        const int count =
            ::poll(fds, cancelFd >= 0 ? 2 : 1, static_cast<int>(std::min(left, kLongestPoll).count()));
        if (count < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return errno;
        }
        if (cancelFd >= 0 && (fds[1].revents & POLLIN) != 0)
        {
            return ECANCELED;
        }
        if (count > 0 && fds[0].revents != 0)
        {
            return 0;
        }
    }
}

int SendAll(int fd, const void* data, std::size_t size, Deadline deadline, int cancelFd)
{
    const auto* next = static_cast<const unsigned char*>(data);
    while (size > 0)
    {
        const ssize_t sent = ::send(fd, next, size, MSG_NOSIGNAL);
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
        if (errno != EAGAIN && errno != EWOULDBLOCK)
        {
            return errno;
        }
        if (const int waited = PollUntil(fd, POLLOUT, deadline, cancelFd); waited != 0)
        {
            return waited;
        }
    }
    return 0;
}

int ReceiveExactly(int fd, void* data, std::size_t size, Deadline deadline, int cancelFd)
{
    auto* next = static_cast<unsigned char*>(data);
    while (size > 0)
    {
        const ssize_t got = ::recv(fd, next, size, 0);
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
        if (errno != EAGAIN && errno != EWOULDBLOCK)
        {
            return errno;
        }
        if (const int waited = PollUntil(fd, POLLIN, deadline, cancelFd); waited != 0)
        {
            return waited;
        }
    }
    return 0;
}

} // namespace KT::Platform
