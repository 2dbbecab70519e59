// The IPv4 socket calls beneath the network layer's LNetworkSocket: one
// function per system call, each retrying a call that a signal interrupted (with
// the time left, for waits), so that a host's signal handler never ends a
// connection. Descriptors are made close-on-exec and every send passes
// MSG_NOSIGNAL. Waits are poll-based with microsecond time-outs, so descriptors
// above 1023 wait like any other. Addresses and ports are in host byte order.
// No state of its own: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace KT::Platform
{

enum class SocketProtocol
{
    kTcp,
    kUdp
};

// What a failed call means to its caller; the system's own error number stays
// readable through GetLastSystemError.
enum class SocketStatus
{
    kOk,
    kWouldBlock,   // a non-blocking call found nothing to do now
    kInProgress,   // a non-blocking connect goes on in the background
    kAddressInUse, // bind: the address and port are taken
    kNetworkDown,
    // A send or receive on a connected datagram socket: the peer's port
    // answered that nothing listens there (its socket is gone).
    kRefused,
    kFailed
};

// The bytes moved by a send or receive, or why none were.
struct SocketTransfer
{
    std::size_t count;
    SocketStatus status;
};

enum class SocketWaitFor
{
    kReadable,
    kWritable,
    // Writable with no pending socket error: a non-blocking connect completed.
    kConnected
};

enum class SocketWaitResult
{
    kReady,
    kTimedOut,
    // The wait itself failed, or a connect wait found the connect refused or
    // reset: waiting again cannot help.
    kFailed
};

// Option levels and names as setsockopt takes them.
constexpr int kSocketLevelSocket = 1;         // SOL_SOCKET
constexpr int kSocketLevelTcp = 6;            // IPPROTO_TCP
constexpr int kSocketOptionTcpNoDelay = 1;    // TCP_NODELAY
constexpr int kSocketOptionReuseAddress = 2;  // SO_REUSEADDR
constexpr int kSocketOptionSendBuffer = 7;    // SO_SNDBUF
constexpr int kSocketOptionReceiveBuffer = 8; // SO_RCVBUF

// A new descriptor, or -1 when the system refused one.
int OpenSocket(SocketProtocol protocol) noexcept;
void CloseSocket(int descriptor) noexcept;
// Ends both directions of a connected stream socket: the peer reads the end of
// the stream, later sends fail, and receives find the end too.
void ShutdownSocket(int descriptor) noexcept;

// kOk, kInProgress (non-blocking) or kFailed. A blocking connect that a signal
// interrupts goes on in the background, so it is waited for to its end.
SocketStatus ConnectSocket(int descriptor, std::uint32_t address, std::uint16_t port) noexcept;
// Dissolves a socket's connection, at once and without lingering (a stream
// is reset), and gives back the local port the connect took; the descriptor
// stays open and unconnected.
void DisconnectSocket(int descriptor) noexcept;
// kOk, kAddressInUse or kFailed.
SocketStatus BindSocket(int descriptor, std::uint32_t address, std::uint16_t port) noexcept;
bool ListenOnSocket(int descriptor, int backlog) noexcept;
// The accepted descriptor (close-on-exec, blocking) or -1. The peer's address is
// 0 when it is not IPv4.
int AcceptOnSocket(int descriptor, std::uint32_t& peerAddress, std::uint16_t& peerPort) noexcept;

SocketTransfer SendOnSocket(int descriptor, const void* data, std::size_t size) noexcept;
SocketTransfer SendToOnSocket(int descriptor, std::uint32_t address, std::uint16_t port, const void* data,
                              std::size_t size) noexcept;
// A count of 0 with kOk is the peer's orderly close on a stream socket, or an
// empty datagram.
SocketTransfer ReceiveOnSocket(int descriptor, void* buffer, std::size_t capacity) noexcept;
// The sender's address and port are written only when a datagram was read.
SocketTransfer ReceiveFromOnSocket(int descriptor, void* buffer, std::size_t capacity, std::uint32_t& address,
                                   std::uint16_t& port) noexcept;
// One datagram, whole or not at all: count is what was copied (at most
// capacity) and datagramSize the datagram's full length, so a datagram longer
// than the buffer shows as count < datagramSize; its rest is gone. With peek
// the datagram stays queued, and a peek with capacity 0 only measures it.
SocketTransfer ReceiveDatagramOnSocket(int descriptor, void* buffer, std::size_t capacity, bool peek,
                                       std::size_t& datagramSize) noexcept;

// Sets or clears O_NONBLOCK; false, changing nothing, when the descriptor's
// flags cannot be read.
bool SetSocketNonBlocking(int descriptor, bool nonBlocking) noexcept;
// kOk, kNetworkDown or kFailed.
SocketStatus SetSocketOption(int descriptor, int level, int name, const void* value, int length) noexcept;
// The socket's own IPv4 address and port; false when they cannot be read or the
// socket is not IPv4.
bool GetSocketName(int descriptor, std::uint32_t& address, std::uint16_t& port) noexcept;

// Waits up to timeoutMicroseconds for one descriptor. A descriptor of -1 is
// never ready.
SocketWaitResult WaitForSocket(int descriptor, SocketWaitFor what,
                               std::uint64_t timeoutMicroseconds) noexcept;
// Waits up to timeoutMicroseconds for any of count descriptors to become
// readable; ready[i] tells which. Descriptors of -1 are never ready. True when
// at least one is.
bool WaitForReadableSockets(const int* descriptors, bool* ready, std::size_t count,
                            std::uint64_t timeoutMicroseconds) noexcept;

// The calling thread's last system error number.
int GetLastSystemError() noexcept;

// Sets SIGPIPE to be ignored for the whole process.
void IgnoreBrokenPipeSignal() noexcept;

} // namespace KT::Platform
