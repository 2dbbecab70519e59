// Local stream sockets for the uninstaller's channel between the application
// and its helper: connect, accept, the peer's kernel-reported credentials, and
// whole-buffer sends and receives bounded by a deadline. Every wait can also
// be ended at once through a cancel descriptor (an eventfd that becomes
// readable); pass -1 for none. Errors are errno values: ETIMEDOUT at the
// deadline, ECANCELED on cancel, ECONNRESET when the peer closed mid-buffer.
#pragma once

#include "Platform/Uninstaller/FileDescriptor.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <sys/types.h>

namespace Uninstaller::Platform
{

using Deadline = std::chrono::steady_clock::time_point;

struct PeerCredentials
{
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

// What the kernel recorded for the other end: the process that connected, or
// for a listening server the process that bound it.
[[nodiscard]] int GetPeerCredentials(int socket, PeerCredentials& credentials);

// Connects a non-blocking, close-on-exec stream socket to path. A server whose
// queue is full is retried until the deadline.
[[nodiscard]] int ConnectUnixSocket(const std::string& path, Deadline deadline, int cancel,
                                    FileDescriptor& socket);

// Waits for and accepts one connection (non-blocking, close-on-exec); EAGAIN
// when none came before the deadline.
[[nodiscard]] int AcceptConnection(int listener, Deadline deadline, FileDescriptor& connection);

[[nodiscard]] int SendAll(int socket, const void* data, std::size_t size, Deadline deadline, int cancel);
[[nodiscard]] int ReceiveExactly(int socket, void* data, std::size_t size, Deadline deadline, int cancel);

// An eventfd for cancelling waits: Signal makes it readable for good.
[[nodiscard]] int MakeCancelEvent(FileDescriptor& event);
void SignalCancelEvent(int event) noexcept;
bool IsCancelEventSignalled(int event) noexcept;

// The largest deadline, for waits that have none.
constexpr Deadline NoDeadline() noexcept
{
    return Deadline::max();
}

} // namespace Uninstaller::Platform
