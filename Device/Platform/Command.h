// Runs a shell command line and waits for it, in place of system(): the
// command is started with posix_spawn and reaped with waitpid, so the host's
// handling of SIGCHLD, SIGINT and SIGQUIT is left alone. Tests install a fake
// runner. Any thread may call these.
#pragma once

#include <string>

namespace KT::Platform
{

// Exit status of a command that the shell could not find or run.
inline constexpr int kCommandNotFound = 127;
// Result when no process could be started at all.
inline constexpr int kCommandNotStarted = -1;

class ICommandRunner
{
public:
    virtual ~ICommandRunner() = default;
    virtual int Run(const std::string& text) = 0;
};

// Runs exactly text with "/bin/sh -c" in this process's environment and
// returns its exit status (0 to 255), 128 + the signal number when a signal
// ended it, or kCommandNotStarted.
int RunCommand(const std::string& text);

// Installs a runner for tests (null restores the shell); it must outlive its
// use.
void SetCommandRunnerForTesting(ICommandRunner* runner);

} // namespace KT::Platform
