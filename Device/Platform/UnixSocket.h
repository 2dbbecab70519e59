// Small helpers shared by the message ports and the notification fan-out:
// Unix socket addresses that refuse to truncate, descriptors closed by scope,
// and reads and writes bounded by a deadline on the monotonic clock. Stateless;
// every call is safe on any thread.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

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

enum class IoResult
{
    Done,
    TimedOut,  // the deadline passed first
    Closed,    // the peer closed its end before all bytes came
    Cancelled, // cancelFd became readable
    Failed     // any other error of the socket
};

// A deadline that never passes, for waits that only cancelFd ends.
inline constexpr std::uint64_t kNoDeadline = ~static_cast<std::uint64_t>(0);

// Waits on the monotonic clock until fd reports events, the deadline passes or
// cancelFd (when not -1) becomes readable.
IoResult PollUntil(int fd, short events, std::uint64_t deadlineMs, int cancelFd = -1);

// Writes or reads exactly size bytes on a non-blocking stream socket. Writes
// never raise SIGPIPE.
IoResult WriteAll(int fd, const unsigned char* data, std::size_t size, std::uint64_t deadlineMs,
                  int cancelFd = -1);
IoResult ReadAll(int fd, unsigned char* data, std::size_t size, std::uint64_t deadlineMs, int cancelFd = -1);

// Little-endian fields of the frames and datagrams.
inline void StoreLE32(unsigned char* at, std::uint32_t value) noexcept
{
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
    at[2] = static_cast<unsigned char>(value >> 16);
    at[3] = static_cast<unsigned char>(value >> 24);
}

inline std::uint32_t LoadLE32(const unsigned char* at) noexcept
{
    return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
           (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

} // namespace KT::Platform
