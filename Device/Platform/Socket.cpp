#include "Platform/Socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>

#include "Platform/MonotonicClock.h"

namespace KT::Platform
{

static_assert(kSocketLevelSocket == SOL_SOCKET, "option level as setsockopt takes it");
static_assert(kSocketLevelTcp == IPPROTO_TCP, "option level as setsockopt takes it");
static_assert(kSocketOptionTcpNoDelay == TCP_NODELAY, "option name as setsockopt takes it");
static_assert(kSocketOptionSendBuffer == SO_SNDBUF, "option name as setsockopt takes it");
static_assert(kSocketOptionReceiveBuffer == SO_RCVBUF, "option name as setsockopt takes it");

namespace
{

constexpr std::uint64_t kNanosecondsPerSecond = 1000000000u;

// Waits last real time, so the time left after a signal comes from the system's
// clock (nanosecond ticks), never from a clock a test installed.
std::uint64_t MonotonicNanoseconds() noexcept
{
    return GetSystemMonotonicClock().GetAbsoluteTicks();
}

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) noexcept
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = htonl(address);
    result.sin_port = htons(port);
    return result;
}

// Reads an IPv4 address and port; anything else reads as 0.
void ReadAddress(const sockaddr_storage& storage, std::uint32_t& address, std::uint16_t& port) noexcept
{
    address = 0;
    port = 0;
    if (storage.ss_family == AF_INET)
    {
        sockaddr_in in{};
        std::memcpy(&in, &storage, sizeof(in));
        address = ntohl(in.sin_addr.s_addr);
        port = ntohs(in.sin_port);
    }
}

bool IsWouldBlock(int error) noexcept
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

SocketTransfer TransferResult(ssize_t result) noexcept
{
    if (result >= 0)
    {
        return SocketTransfer{static_cast<std::size_t>(result), SocketStatus::kOk};
    }
    if (IsWouldBlock(errno))
    {
        return SocketTransfer{0, SocketStatus::kWouldBlock};
    }
    return SocketTransfer{0, errno == ECONNREFUSED ? SocketStatus::kRefused : SocketStatus::kFailed};
}

// ppoll over descriptors, retrying an interrupted wait with the time left. A
// null time-out waits without limit. Returns ppoll's result.
int PollRetrying(pollfd* descriptors, std::size_t count, const std::uint64_t* timeoutMicroseconds) noexcept
{
    if (timeoutMicroseconds == nullptr)
    {
        int result;
        do
        {
            result = ppoll(descriptors, count, nullptr, nullptr);
        } while (result < 0 && errno == EINTR);
        return result;
    }
    const std::uint64_t total = *timeoutMicroseconds * 1000u;
    const std::uint64_t start = MonotonicNanoseconds();
    std::uint64_t remaining = total;
    for (;;)
    {
        timespec limit{};
        limit.tv_sec = static_cast<time_t>(remaining / kNanosecondsPerSecond);
        limit.tv_nsec = static_cast<long>(remaining % kNanosecondsPerSecond);
        const int result = ppoll(descriptors, count, &limit, nullptr);
        if (result >= 0 || errno != EINTR)
        {
            return result;
        }
        const std::uint64_t elapsed = MonotonicNanoseconds() - start;
        if (elapsed >= total)
        {
            return 0;
        }
        remaining = total - elapsed;
    }
}

// The socket's pending error, which reading clears; -1 when it cannot be read.
int TakePendingError(int descriptor) noexcept
{
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
    {
        return -1;
    }
    return error;
}

} // namespace

int OpenSocket(SocketProtocol protocol) noexcept
{
    if (protocol == SocketProtocol::kTcp)
    {
        return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    }
    return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
}

void CloseSocket(int descriptor) noexcept
{
    // Linux releases the descriptor even when close is interrupted: never retried.
    close(descriptor);
}

void ShutdownSocket(int descriptor) noexcept
{
    shutdown(descriptor, SHUT_RDWR);
}

SocketStatus ConnectSocket(int descriptor, std::uint32_t address, std::uint16_t port) noexcept
{
    const sockaddr_in target = MakeAddress(address, port);
    if (connect(descriptor, reinterpret_cast<const sockaddr*>(&target), sizeof(target)) == 0)
    {
        return SocketStatus::kOk;
    }
    if (errno == EINPROGRESS)
    {
        return SocketStatus::kInProgress;
    }
    if (errno != EINTR)
    {
        return SocketStatus::kFailed;
    }
    pollfd entry{descriptor, POLLOUT, 0};
    if (PollRetrying(&entry, 1, nullptr) < 0)
    {
        return SocketStatus::kFailed;
    }
    const int error = TakePendingError(descriptor);
    if (error != 0)
    {
        errno = error > 0 ? error : errno;
        return SocketStatus::kFailed;
    }
    return SocketStatus::kOk;
}

void DisconnectSocket(int descriptor) noexcept
{
    // A connect to AF_UNSPEC aborts a TCP connection (no TIME_WAIT) and ends
    // a UDP association; either way a port the system chose is released.
    sockaddr unspecified{};
    unspecified.sa_family = AF_UNSPEC;
    static_cast<void>(connect(descriptor, &unspecified, sizeof(unspecified)));
}

SocketStatus BindSocket(int descriptor, std::uint32_t address, std::uint16_t port) noexcept
{
    const sockaddr_in local = MakeAddress(address, port);
    if (bind(descriptor, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0)
    {
        return SocketStatus::kOk;
    }
    return errno == EADDRINUSE ? SocketStatus::kAddressInUse : SocketStatus::kFailed;
}

bool ListenOnSocket(int descriptor, int backlog) noexcept
{
    return listen(descriptor, backlog) == 0;
}

int AcceptOnSocket(int descriptor, std::uint32_t& peerAddress, std::uint16_t& peerPort) noexcept
{
    sockaddr_storage peer{};
    socklen_t length;
    int accepted;
    do
    {
        length = sizeof(peer);
        accepted = accept4(descriptor, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    } while (accepted < 0 && errno == EINTR);
    if (accepted >= 0)
    {
        ReadAddress(peer, peerAddress, peerPort);
    }
    return accepted;
}

SocketTransfer SendOnSocket(int descriptor, const void* data, std::size_t size) noexcept
{
    ssize_t result;
    do
    {
        result = send(descriptor, data, size, MSG_NOSIGNAL);
    } while (result < 0 && errno == EINTR);
    return TransferResult(result);
}

SocketTransfer SendToOnSocket(int descriptor, std::uint32_t address, std::uint16_t port, const void* data,
                              std::size_t size) noexcept
{
    const sockaddr_in target = MakeAddress(address, port);
    ssize_t result;
    do
    {
        result = sendto(descriptor, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&target),
                        sizeof(target));
    } while (result < 0 && errno == EINTR);
    return TransferResult(result);
}

SocketTransfer ReceiveOnSocket(int descriptor, void* buffer, std::size_t capacity) noexcept
{
    ssize_t result;
    do
    {
        result = recv(descriptor, buffer, capacity, 0);
    } while (result < 0 && errno == EINTR);
    return TransferResult(result);
}

SocketTransfer ReceiveFromOnSocket(int descriptor, void* buffer, std::size_t capacity, std::uint32_t& address,
                                   std::uint16_t& port) noexcept
{
    sockaddr_storage sender{};
    socklen_t length;
    ssize_t result;
    do
    {
        length = sizeof(sender);
        result = recvfrom(descriptor, buffer, capacity, 0, reinterpret_cast<sockaddr*>(&sender), &length);
    } while (result < 0 && errno == EINTR);
    if (result >= 0)
    {
        ReadAddress(sender, address, port);
    }
    return TransferResult(result);
}

SocketTransfer ReceiveDatagramOnSocket(int descriptor, void* buffer, std::size_t capacity, bool peek,
                                       std::size_t& datagramSize) noexcept
{
    // MSG_TRUNC makes recv return the datagram's real length, not what fitted.
    const int flags = MSG_TRUNC | (peek ? MSG_PEEK : 0);
    ssize_t result;
    do
    {
        result = recv(descriptor, buffer, capacity, flags);
    } while (result < 0 && errno == EINTR);
    datagramSize = result > 0 ? static_cast<std::size_t>(result) : 0;
    SocketTransfer transfer = TransferResult(result);
    if (transfer.count > capacity)
    {
        transfer.count = capacity;
    }
    return transfer;
}

bool SetSocketNonBlocking(int descriptor, bool nonBlocking) noexcept
{
    const int flags = fcntl(descriptor, F_GETFL);
    if (flags < 0)
    {
        return false;
    }
    fcntl(descriptor, F_SETFL, nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
    return true;
}

SocketStatus SetSocketOption(int descriptor, int level, int name, const void* value, int length) noexcept
{
    if (setsockopt(descriptor, level, name, value, static_cast<socklen_t>(length)) == 0)
    {
        return SocketStatus::kOk;
    }
    return errno == ENETDOWN ? SocketStatus::kNetworkDown : SocketStatus::kFailed;
}

bool GetSocketName(int descriptor, std::uint32_t& address, std::uint16_t& port) noexcept
{
    sockaddr_storage local{};
    socklen_t length = sizeof(local);
    address = 0;
    port = 0;
    if (getsockname(descriptor, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        local.ss_family != AF_INET)
    {
        return false;
    }
    ReadAddress(local, address, port);
    return true;
}

SocketWaitResult WaitForSocket(int descriptor, SocketWaitFor what, std::uint64_t timeoutMicroseconds) noexcept
{
    if (descriptor < 0)
    {
        return SocketWaitResult::kFailed;
    }
    pollfd entry{descriptor, static_cast<short>(what == SocketWaitFor::kReadable ? POLLIN : POLLOUT), 0};
    const int result = PollRetrying(&entry, 1, &timeoutMicroseconds);
    if (result == 0)
    {
        return SocketWaitResult::kTimedOut;
    }
    if (result < 0 || (entry.revents & POLLNVAL) != 0)
    {
        return SocketWaitResult::kFailed;
    }
    if (what != SocketWaitFor::kConnected)
    {
        // A hung-up or failed socket is ready too: the next call reports why.
        return SocketWaitResult::kReady;
    }
    const int error = TakePendingError(descriptor);
    if (error != 0)
    {
        if (error > 0)
        {
            errno = error;
        }
        return SocketWaitResult::kFailed;
    }
    return (entry.revents & POLLOUT) != 0 ? SocketWaitResult::kReady : SocketWaitResult::kFailed;
}

bool WaitForReadableSockets(const int* descriptors, bool* ready, std::size_t count,
                            std::uint64_t timeoutMicroseconds) noexcept
{
    std::unique_ptr<pollfd[]> entries(new (std::nothrow) pollfd[count]);
    if (entries == nullptr)
    {
        return false;
    }
    for (std::size_t i = 0; i < count; ++i)
    {
        // poll skips negative descriptors.
        entries[i] = pollfd{descriptors[i], POLLIN, 0};
        ready[i] = false;
    }
    if (PollRetrying(entries.get(), count, &timeoutMicroseconds) <= 0)
    {
        return false;
    }
    bool any = false;
    for (std::size_t i = 0; i < count; ++i)
    {
        ready[i] = descriptors[i] >= 0 && entries[i].revents != 0 && (entries[i].revents & POLLNVAL) == 0;
        any = any || ready[i];
    }
    return any;
}

int GetLastSystemError() noexcept
{
    return errno;
}

void IgnoreBrokenPipeSignal() noexcept
{
    signal(SIGPIPE, SIG_IGN);
}

} // namespace KT::Platform
