#include "Platform/Uninstaller/SocketActivation.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Uninstaller::Platform
{

namespace
{

int SocketOption(int fd, int option)
{
    int value = -1;
    socklen_t length = sizeof value;
    return ::getsockopt(fd, SOL_SOCKET, option, &value, &length) == 0 ? value : -1;
}

} // namespace

bool TakeActivatedListener(FileDescriptor& listener, std::string& problem)
{
    const char* count = std::getenv("LISTEN_FDS");
    const char* owner = std::getenv("LISTEN_PID");
    if (count == nullptr || owner == nullptr || std::string_view(count) != "1")
    {
        problem = "no socket was passed in (LISTEN_FDS must be 1)";
        return false;
    }
    if (std::string_view(owner) != std::to_string(::getpid()))
    {
        problem = "the passed socket is meant for another process (LISTEN_PID)";
        return false;
    }
    const int fd = kFirstActivatedDescriptor;
    struct stat info
    {
    };
    if (::fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode) || SocketOption(fd, SO_DOMAIN) != AF_UNIX ||
        SocketOption(fd, SO_TYPE) != SOCK_STREAM || SocketOption(fd, SO_ACCEPTCONN) != 1)
    {
        problem = "descriptor 3 is not a listening local stream socket";
        return false;
    }
    if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0)
    {
        problem = std::string("cannot mark the socket close-on-exec: ") + std::strerror(errno);
        return false;
    }
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDNAMES");
    listener.Reset(fd);
    return true;
}

} // namespace Uninstaller::Platform
