// Small helpers shared by the message ports, the notification fan-out and the
// uninstaller's channel to its helper: Unix socket addresses that refuse to
// truncate, descriptors closed by scope, and sends and receives bounded by a
// deadline on the monotonic clock. Stateless; every call is safe on any thread.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace KT::Platform
{

// Owns one file descriptor and closes it on destruction; -1 holds nothing.
class ScopedFd
{
public:
    ScopedFd() noexcept = default;
    explicit ScopedFd(int fd) noexcept : mFd(fd) {}
    ScopedFd(ScopedFd&& other) noexcept : mFd(other.Release()) {}
    ScopedFd& operator=(ScopedFd&& other) noexcept;
    ~ScopedFd();
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;

    int Get() const noexcept { return mFd; }
    bool IsValid() const noexcept { return mFd >= 0; }
    explicit operator bool() const noexcept { return IsValid(); }
    int Release() noexcept;
    void Reset(int fd = -1) noexcept;

private:
    int mFd = -1;
};

// The address of a socket file. False, with nothing filled, when the path and
// its NUL do not fit sun_path: a shortened path would name another file.
[[nodiscard]] bool MakeUnixAddress(const std::string& path, sockaddr_un& address, socklen_t& length);

// Milliseconds on the monotonic clock from an arbitrary origin.
std::uint64_t MonotonicMilliseconds() noexcept;

// A point on the monotonic clock by which a wait ends.
using Deadline = std::chrono::steady_clock::time_point;

// The deadline that never passes, for waits that only a cancel ends.
constexpr Deadline NoDeadline() noexcept
{
    return Deadline::max();
}

// The deadline the given number of milliseconds from now.
inline Deadline DeadlineIn(std::uint32_t milliseconds)
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
}

// The waits below end with 0 once done, or with an errno: ETIMEDOUT when the
// deadline passed first, ECANCELED when cancelFd (when not -1) became
// readable, ECONNRESET when the peer closed its end before all bytes came,
// or that of the call that failed (EPIPE for a send to a closed peer ...).

// Waits until fd reports events.
[[nodiscard]] int PollUntil(int fd, short events, Deadline deadline, int cancelFd = -1);

// Sends or receives exactly size bytes on a non-blocking stream socket. Sends
// never raise SIGPIPE.
[[nodiscard]] int SendAll(int fd, const void* data, std::size_t size, Deadline deadline, int cancelFd = -1);
[[nodiscard]] int ReceiveExactly(int fd, void* data, std::size_t size, Deadline deadline, int cancelFd = -1);

} // namespace KT::Platform
