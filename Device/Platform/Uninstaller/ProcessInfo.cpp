#include "Platform/Uninstaller/ProcessInfo.h"

#include "Platform/Uninstaller/FileDescriptor.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/random.h>
#include <unistd.h>

namespace Uninstaller::Platform
{

namespace
{

// Fields after the ")" that ends field 2 start with field 3.
constexpr int kStartTimeField = 22;
constexpr int kFirstFieldAfterName = 3;
constexpr std::size_t kMaxStatBytes = 4096;

} // namespace

int ReadProcessStartTime(pid_t pid, std::uint64_t& startTime)
{
    startTime = 0;
    if (pid <= 0)
    {
        return EINVAL;
    }
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file)
    {
        return errno;
    }
    char buffer[kMaxStatBytes];
    std::size_t length = 0;
    for (;;)
    {
        const ssize_t got = ::read(file.Get(), buffer + length, sizeof buffer - length);
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got < 0)
        {
            return errno;
        }
        if (got == 0 || (length += static_cast<std::size_t>(got)) == sizeof buffer)
        {
            break;
        }
    }
    std::string_view record(buffer, length);
    const std::size_t close = record.rfind(')');
    if (close == std::string_view::npos)
    {
        return EINVAL;
    }
    record.remove_prefix(close + 1);
    int field = kFirstFieldAfterName - 1;
    std::size_t position = 0;
    while (position < record.size())
    {
        while (position < record.size() && record[position] == ' ')
        {
            ++position;
        }
        const std::size_t end = std::min(record.find(' ', position), record.size());
        if (end == position)
        {
            break;
        }
        if (++field == kStartTimeField)
        {
            std::uint64_t value = 0;
            for (std::size_t digit = position; digit < end; ++digit)
            {
                const char c = record[digit];
                if (c < '0' || c > '9' || value > (UINT64_MAX - 9) / 10)
                {
                    return EINVAL;
                }
                value = value * 10 + static_cast<std::uint64_t>(c - '0');
            }
            startTime = value;
            return 0;
        }
        position = end;
    }
    return EINVAL;
}

int FillRandomBytes(unsigned char* bytes, std::size_t size)
{
    while (size > 0)
    {
        const ssize_t got = ::getrandom(bytes, size, 0);
        if (got < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return errno;
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return 0;
}

} // namespace Uninstaller::Platform
