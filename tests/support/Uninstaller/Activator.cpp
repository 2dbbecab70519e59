// Starts a program the way the service manager starts a socket-activated
// service: it binds and listens on a local socket, puts it at descriptor 3,
// sets LISTEN_FDS=1 and LISTEN_PID to its own process ID, and replaces itself
// with the program, which therefore keeps that process ID.
//
//   uninstaller_test_activator [--mode OCTAL] [--ready-fd N] SOCKET PROGRAM [ARGS...]
//
// --mode sets the socket file's mode (default 0600); --ready-fd names an
// inherited descriptor that gets one byte once the socket listens.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    mode_t mode = 0600;
    int readyFd = -1;
    int index = 1;
    for (; index + 1 < argc && argv[index][0] == '-'; index += 2)
    {
        if (std::strcmp(argv[index], "--mode") == 0)
        {
            mode = static_cast<mode_t>(std::strtoul(argv[index + 1], nullptr, 8));
        }
        else if (std::strcmp(argv[index], "--ready-fd") == 0)
        {
            readyFd = std::atoi(argv[index + 1]);
        }
        else
        {
            break;
        }
    }
    if (argc - index < 2)
    {
        std::fprintf(stderr, "usage: %s [--mode OCTAL] [--ready-fd N] SOCKET PROGRAM [ARGS...]\n", argv[0]);
        return 100;
    }
    const char* path = argv[index];
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path)
    {
        std::fprintf(stderr, "activator: socket path too long\n");
        return 100;
    }
    std::strcpy(address.sun_path, path);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ::unlink(path);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(path, mode) != 0 || ::listen(listener, 16) != 0)
    {
        std::perror("activator: socket");
        return 100;
    }
    if (listener != 3)
    {
        if (::dup2(listener, 3) != 3)
        {
            std::perror("activator: dup2");
            return 100;
        }
        ::close(listener);
    }
    ::setenv("LISTEN_FDS", "1", 1);
    ::setenv("LISTEN_PID", std::to_string(::getpid()).c_str(), 1);
    if (readyFd >= 0)
    {
        const char ready = 'r';
        if (::write(readyFd, &ready, 1) != 1)
        {
            return 100;
        }
        ::close(readyFd);
    }
    ::execv(argv[index + 1], argv + index + 1);
    std::perror("activator: exec");
    return 100;
}
