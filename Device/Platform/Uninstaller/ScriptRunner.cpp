#include "Platform/Uninstaller/ScriptRunner.h"

#include "Platform/Uninstaller/SafeFiles.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Uninstaller::Platform
{

namespace
{

constexpr mode_t kAnyExecute = S_IXUSR | S_IXGRP | S_IXOTH;
// Descriptors handed to the child are moved above the four it keeps, so that
// placing them at 0 to 3 never overwrites one still to be placed.
constexpr int kFirstFreeDescriptor = 10;
constexpr int kScriptDescriptor = 3;
constexpr int kExecFailedStatus = 127;
constexpr std::size_t kReadChunk = 65536;
constexpr int kExitPollMs = 20;

int MoveAboveChildDescriptors(FileDescriptor& fd)
{
    if (fd.Get() >= kFirstFreeDescriptor)
    {
        return 0;
    }
    FileDescriptor moved(::fcntl(fd.Get(), F_DUPFD_CLOEXEC, kFirstFreeDescriptor));
    if (!moved)
    {
        return errno;
    }
    fd = std::move(moved);
    return 0;
}

// Between fork and exec only async-signal-safe calls are made.
[[noreturn]] void StartChild(int input, int output, int script, int status, const char* path)
{
    struct sigaction defaultAction
    {
    };
    defaultAction.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
    {
        ::sigaction(signal, &defaultAction, nullptr); // fails harmlessly for SIGKILL, SIGSTOP
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    // dup2 onto another number clears close-on-exec on the copy: 0 to 3 survive exec.
    int error = 0;
    if (::dup2(input, STDIN_FILENO) < 0 || ::dup2(output, STDOUT_FILENO) < 0 ||
        ::dup2(output, STDERR_FILENO) < 0 || ::dup2(script, kScriptDescriptor) < 0 || ::chdir("/") != 0)
    {
        error = errno;
    }
    if (error == 0)
    {
        // Everything we open is already close-on-exec; this also covers what
        // an embedding process may have left open.
        ::close_range(kScriptDescriptor + 1, ~0U, CLOSE_RANGE_CLOEXEC);
        char* const argv[] = {const_cast<char*>(path), nullptr};
        char* const envp[] = {const_cast<char*>(kScriptEnvironmentPath), nullptr};
        ::execveat(kScriptDescriptor, "", argv, envp, AT_EMPTY_PATH);
        error = errno;
    }
    [[maybe_unused]] const ssize_t written = ::write(status, &error, sizeof error);
    ::_exit(kExecFailedStatus);
}

void Reap(pid_t child, int& waitStatus)
{
    while (::waitpid(child, &waitStatus, 0) < 0 && errno == EINTR)
    {
    }
}

// Reads output into run until the pipe ends, or until drainTime after the
// child has ended; the child is reaped either way.
void CollectOutput(pid_t child, FileDescriptor& output, const ScriptLimits& limits, ScriptRun& run,
                   int& waitStatus)
{
    using Clock = std::chrono::steady_clock;
    // Without a process descriptor the child's end is polled for instead.
    FileDescriptor exitWatch(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
    bool exited = false;
    Clock::time_point drainEnd{};
    std::vector<unsigned char> chunk(kReadChunk);
    auto noteExit = [&]
    {
        exited = true;
        drainEnd = Clock::now() + limits.drainTime;
    };
    while (output)
    {
        if (!exited && !exitWatch && ::waitpid(child, &waitStatus, WNOHANG) == child)
        {
            noteExit();
        }
        int timeoutMs = exitWatch ? -1 : kExitPollMs;
        if (exited)
        {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(drainEnd - Clock::now()).count();
            if (left <= 0)
            {
                break;
            }
            timeoutMs = static_cast<int>(left);
        }
        pollfd fds[2] = {{output.Get(), POLLIN, 0}, {exitWatch.Get(), POLLIN, 0}};
        const int ready = ::poll(fds, (!exited && exitWatch) ? 2 : 1, timeoutMs);
        if (ready < 0 && errno != EINTR)
        {
            break;
        }
        if (ready <= 0)
        {
            continue;
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
        {
            const ssize_t got = ::read(output.Get(), chunk.data(), chunk.size());
            if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN))
            {
                output.Reset();
            }
            else if (got > 0)
            {
                const std::size_t kept =
                    std::min(limits.outputLimit - run.output.size(), static_cast<std::size_t>(got));
                run.output.insert(run.output.end(), chunk.begin(),
                                  chunk.begin() + static_cast<std::ptrdiff_t>(kept));
                run.truncated = run.truncated || kept < static_cast<std::size_t>(got);
            }
        }
        if (!exited && (fds[1].revents & POLLIN) != 0)
        {
            Reap(child, waitStatus);
            noteExit();
        }
    }
    output.Reset();
    if (!exited)
    {
        Reap(child, waitStatus);
    }
}

} // namespace

int OpenCheckedScript(const char* path, FileDescriptor& script)
{
    script.Reset();
    if (path == nullptr)
    {
        return EINVAL;
    }
    FileDescriptor file;
    struct stat info
    {
    };
    if (const int error = OpenThroughSafeFolders(path, file, info); error != 0)
    {
        return error;
    }
    if (!S_ISREG(info.st_mode))
    {
        return EACCES;
    }
    if (!IsSafeFile(info))
    {
        return EPERM;
    }
    if ((info.st_mode & kAnyExecute) == 0)
    {
        return EACCES;
    }
    script = std::move(file);
    return 0;
}

int RunCheckedScript(const FileDescriptor& script, const std::string& path, const ScriptLimits& limits,
                     ScriptRun& run)
{
    run = ScriptRun{};
    FileDescriptor scriptCopy(::fcntl(script.Get(), F_DUPFD_CLOEXEC, kFirstFreeDescriptor));
    FileDescriptor input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!scriptCopy || !input)
    {
        return errno;
    }
    int outputPipe[2];
    int statusPipe[2];
    if (::pipe2(outputPipe, O_CLOEXEC) != 0)
    {
        return errno;
    }
    FileDescriptor outputRead(outputPipe[0]);
    FileDescriptor outputWrite(outputPipe[1]);
    if (::pipe2(statusPipe, O_CLOEXEC) != 0)
    {
        return errno;
    }
    FileDescriptor statusRead(statusPipe[0]);
    FileDescriptor statusWrite(statusPipe[1]);
    for (FileDescriptor* fd : {&input, &outputWrite, &statusWrite})
    {
        if (const int error = MoveAboveChildDescriptors(*fd); error != 0)
        {
            return error;
        }
    }

    const pid_t child = ::fork();
    if (child < 0)
    {
        return errno;
    }
    if (child == 0)
    {
        StartChild(input.Get(), outputWrite.Get(), scriptCopy.Get(), statusWrite.Get(), path.c_str());
    }
    input.Reset();
    outputWrite.Reset();
    statusWrite.Reset();
    scriptCopy.Reset();

    // The status pipe closes on a successful exec, or carries the exec's errno.
    int execError = 0;
    ssize_t got;
    while ((got = ::read(statusRead.Get(), &execError, sizeof execError)) < 0 && errno == EINTR)
    {
    }
    int waitStatus = 0;
    if (got > 0)
    {
        Reap(child, waitStatus);
        return got == sizeof execError && execError != 0 ? execError : EIO;
    }
    CollectOutput(child, outputRead, limits, run, waitStatus);
    run.signalled = WIFSIGNALED(waitStatus);
    run.status = run.signalled ? WTERMSIG(waitStatus) : WEXITSTATUS(waitStatus);
    return 0;
}

} // namespace Uninstaller::Platform
