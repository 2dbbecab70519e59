// uninstallhelper: started by the service manager when the uninstaller
// connects to its socket; answers one request as root and exits with status 1.
//
//   uninstallhelper [--root R] [--request-timeout-ms N] [--drain-timeout-ms N]
//
// The options serve tests that run the helper below a temporary root.

#include "Platform/Uninstaller/FileDescriptor.h"
#include "Platform/Uninstaller/SocketActivation.h"
#include "Uninstaller/SharedUninstaller/HelperTool.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace
{

// The status the service unit counts as success: the helper ends after each reply.
constexpr int kServedStatus = 1;
constexpr int kFailedStatus = 2;

bool ParseMilliseconds(const char* text, std::chrono::milliseconds& value)
{
    unsigned int count = 0;
    const char* end = text + std::strlen(text);
    const auto [next, error] = std::from_chars(text, end, count);
    if (error != std::errc() || next != end)
    {
        return false;
    }
    value = std::chrono::milliseconds(count);
    return true;
}

bool ParseArguments(int argc, char** argv, Uninstaller::HelperToolOptions& options)
{
    for (int index = 1; index < argc; ++index)
    {
        const std::string_view option = argv[index];
        if (index + 1 >= argc)
        {
            return false;
        }
        const char* value = argv[++index];
        if (option == "--root")
        {
            options.root = value;
        }
        else if (option == "--request-timeout-ms")
        {
            if (!ParseMilliseconds(value, options.requestTimeout))
            {
                return false;
            }
        }
        else if (option == "--drain-timeout-ms")
        {
            if (!ParseMilliseconds(value, options.scriptLimits.drainTime))
            {
                return false;
            }
        }
        else
        {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Uninstaller::HelperToolOptions options;
    if (!ParseArguments(argc, argv, options))
    {
        std::fprintf(stderr,
                     "usage: uninstallhelper [--root R] [--request-timeout-ms N] [--drain-timeout-ms N]\n");
        return kFailedStatus;
    }
    Uninstaller::Platform::FileDescriptor listener;
    std::string problem;
    if (!Uninstaller::Platform::TakeActivatedListener(listener, problem))
    {
        std::fprintf(stderr, "uninstallhelper: must be started through its socket unit: %s\n",
                     problem.c_str());
        return kFailedStatus;
    }
    Uninstaller::HelperTool tool(listener.Get(), options);
    if (const int error = tool.Run(); error != 0)
    {
        std::fprintf(stderr, "uninstallhelper: cannot accept connections: %s\n", std::strerror(error));
        return kFailedStatus;
    }
    return kServedStatus;
}
