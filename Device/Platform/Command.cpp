#include "Platform/Command.h"

#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>

extern char** environ;

namespace KT::Platform
{

namespace
{

std::atomic<ICommandRunner*> sTestRunner{nullptr};

int RunWithShell(const std::string& text)
{
    char shell[] = "/bin/sh";
    char option[] = "-c";
    std::string command = text;
    char* arguments[] = {shell, option, command.data(), nullptr};
    pid_t child = 0;
    if (::posix_spawn(&child, shell, nullptr, nullptr, arguments, environ) != 0)
    {
        return kCommandNotStarted;
    }
    int status = 0;
    for (;;)
    {
        if (::waitpid(child, &status, 0) == child)
        {
            break;
        }
        if (errno != EINTR)
        {
            return kCommandNotStarted;
        }
    }
    if (WIFEXITED(status))
    {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : kCommandNotStarted;
}

} // namespace

int RunCommand(const std::string& text)
{
    ICommandRunner* runner = sTestRunner.load();
    return runner != nullptr ? runner->Run(text) : RunWithShell(text);
}

void SetCommandRunnerForTesting(ICommandRunner* runner)
{
    sTestRunner.store(runner);
}

} // namespace KT::Platform
