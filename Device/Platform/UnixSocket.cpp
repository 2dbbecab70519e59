#include "Platform/UnixSocket.h"

#include <poll.h>
#include <unistd.h>

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

IoResult PollUntil(int fd, short events, std::uint64_t deadlineMs, int cancelFd)
{
    for (;;)
    {
        const std::uint64_t now = MonotonicMilliseconds();
        if (now >= deadlineMs)
        {
            return IoResult::TimedOut;
        }
        const std::uint64_t left = deadlineMs - now;
        pollfd fds[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
        const int count = ::poll(fds, cancelFd >= 0 ? 2 : 1, left > 60000 ? 60000 : static_cast<int>(left));
        if (count < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return IoResult::Failed;
        }
        if (cancelFd >= 0 && (fds[1].revents & POLLIN) != 0)
        {
            return IoResult::Cancelled;
        }
        if (count > 0 && fds[0].revents != 0)
        {
            return IoResult::Done;
        }
    }
}

IoResult WriteAll(int fd, const unsigned char* data, std::size_t size, std::uint64_t deadlineMs, int cancelFd)
{
    std::size_t done = 0;
    while (done < size)
    {
        const ssize_t sent = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (sent > 0)
        {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR)
        {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        {
            const IoResult waited = PollUntil(fd, POLLOUT, deadlineMs, cancelFd);
            if (waited != IoResult::Done)
            {
                return waited;
            }
            continue;
        }
        return (sent < 0 && (errno == EPIPE || errno == ECONNRESET)) ? IoResult::Closed : IoResult::Failed;
    }
    return IoResult::Done;
}

IoResult ReadAll(int fd, unsigned char* data, std::size_t size, std::uint64_t deadlineMs, int cancelFd)
{
    std::size_t done = 0;
    while (done < size)
    {
        const ssize_t got = ::recv(fd, data + done, size - done, 0);
        if (got > 0)
        {
            done += static_cast<std::size_t>(got);
            continue;
        }
        if (got == 0)
        {
            return IoResult::Closed;
        }
        if (errno == EINTR)
        {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK)
        {
            const IoResult waited = PollUntil(fd, POLLIN, deadlineMs, cancelFd);
            if (waited != IoResult::Done)
            {
                return waited;
            }
            continue;
        }
        return errno == ECONNRESET ? IoResult::Closed : IoResult::Failed;
    }
    return IoResult::Done;
}

} // namespace KT::Platform
