// The uninstaller's calls on local stream sockets beyond the shared ones of
// Platform/UnixSocket.h (deadlines and whole-buffer sends and receives, which
// it takes from there): connect, accept, the peer's kernel-reported
// credentials, and the cancel descriptor (an eventfd that becomes readable)
// that ends any wait at once; pass -1 for none. Errors are errno values:
// ETIMEDOUT at the deadline, ECANCELED on cancel, ECONNRESET when the peer
// closed mid-buffer.
#pragma once

#include "Platform/Uninstaller/FileDescriptor.h"
#include "Platform/UnixSocket.h"

#include <string>
#include <sys/types.h>

namespace Uninstaller::Platform
{

using KT::Platform::Deadline;
using KT::Platform::NoDeadline;
using KT::Platform::ReceiveExactly;
using KT::Platform::SendAll;

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

// An eventfd for cancelling waits: Signal makes it readable for good.
[[nodiscard]] int MakeCancelEvent(FileDescriptor& event);
void SignalCancelEvent(int event) noexcept;
bool IsCancelEventSignalled(int event) noexcept;

} // namespace Uninstaller::Platform
