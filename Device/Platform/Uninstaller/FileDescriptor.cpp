#include "Platform/Uninstaller/FileDescriptor.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace Uninstaller::Platform
{

int ReadAll(int fd, std::size_t maxBytes, std::vector<unsigned char>& bytes)
{
    bytes.clear();
    struct stat info
    {
    };
    if (::fstat(fd, &info) != 0)
    {
        return errno;
    }
    if (!S_ISREG(info.st_mode))
    {
        return EINVAL;
    }
    unsigned char chunk[65536];
    for (;;)
    {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return errno;
        }
        if (got == 0)
        {
            return 0;
        }
        if (static_cast<std::size_t>(got) > maxBytes - bytes.size())
        {
            bytes.clear();
            return EFBIG;
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
}

int WriteAll(int fd, const void* data, std::size_t size)
{
    const auto* next = static_cast<const unsigned char*>(data);
    while (size > 0)
    {
        const ssize_t written = ::write(fd, next, size);
        if (written < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return errno;
        }
        next += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

} // namespace Uninstaller::Platform
