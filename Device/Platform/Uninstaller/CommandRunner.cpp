#include "Platform/Uninstaller/CommandRunner.h"

#include <cerrno>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace Uninstaller::Platform
{

int RunCommand(const std::vector<std::string>& argv)
{
    if (argv.empty())
    {
        return -1;
    }
    std::vector<char*> arguments;
    for (const std::string& argument : argv)
    {
        arguments.push_back(const_cast<char*>(argument.c_str()));
    }
    arguments.push_back(nullptr);
    pid_t child = 0;
    if (::posix_spawnp(&child, arguments[0], nullptr, nullptr, arguments.data(), environ) != 0)
    {
        return -1;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
    {
        if (errno != EINTR)
        {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace Uninstaller::Platform
