// Files, folders and processes for the uninstaller's tests: a temporary
// install root, files with chosen owners and modes, child processes run with
// their output captured, and a stranger holding locks. Processes are stopped
// by their process ID only.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <grp.h>
#include <iterator>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <type_traits>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace UninstallerTest
{

constexpr uid_t kNobody = 65534;

inline bool RunningAsRoot()
{
    return ::geteuid() == 0;
}

#define UNINSTALLER_REQUIRE_ROOT()                                                                           \
    if (!::UninstallerTest::RunningAsRoot())                                                                 \
    GTEST_SKIP() << "needs root to give files to root and nobody"

inline void WriteFile(const std::string& path, const std::string& content, mode_t mode, uid_t owner = 0,
                      gid_t group = 0)
{
    std::filesystem::remove(path);
    {
        std::ofstream file(path, std::ios::binary);
        file << content;
    }
    // Set after writing: the process's umask must not decide the mode under test.
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
    if (RunningAsRoot())
    {
        ASSERT_EQ(::lchown(path.c_str(), owner, group), 0) << path;
        ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path; // chown clears set-ID bits
    }
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

inline void MakeFolder(const std::string& path, mode_t mode, uid_t owner = 0)
{
    std::filesystem::create_directories(path);
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
    if (RunningAsRoot())
    {
        ASSERT_EQ(::lchown(path.c_str(), owner, owner), 0) << path;
    }
}

// A fresh folder below /tmp, root-owned 0755 when run as root, removed at the end.
class TempRoot
{
public:
    TempRoot()
    {
        char pattern[] = "/tmp/uninstaller-test-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        EXPECT_NE(made, nullptr);
        mPath = made != nullptr ? made : "";
        ::chmod(mPath.c_str(), 0755);
    }
    ~TempRoot()
    {
        std::error_code ignored;
        std::filesystem::remove_all(mPath, ignored);
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& Path() const { return mPath; }
    std::string operator/(const std::string& relative) const { return mPath + "/" + relative; }

private:
    std::string mPath;
};

struct ProcessResult
{
    int exitStatus = -1; // -1 when it did not exit normally
    std::string output;  // standard output
};

// Runs argv to its end, capturing its standard output.
inline ProcessResult RunProgram(const std::vector<std::string>& argv)
{
    ProcessResult result;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
    {
        ADD_FAILURE() << "pipe: " << errno;
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<char*> arguments;
    for (const std::string& argument : argv)
    {
        arguments.push_back(const_cast<char*>(argument.c_str()));
    }
    arguments.push_back(nullptr);
    pid_t child = 0;
    const int spawned = ::posix_spawn(&child, arguments[0], &actions, nullptr, arguments.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0)
    {
        ::close(out[0]);
        ADD_FAILURE() << "spawn " << argv[0] << ": " << spawned;
        return result;
    }
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(out[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR))
    {
        if (got > 0)
        {
            result.output.append(buffer, static_cast<std::size_t>(got));
        }
    }
    ::close(out[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR)
    {
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// The built helper, started through the activator on socketPath as the
// service manager would start it. The helper is killed (by its process ID)
// if it is still running when this object goes.
class ActivatedHelper
{
public:
    ActivatedHelper(const std::string& helper, const std::string& socketPath,
                    const std::vector<std::string>& args, mode_t socketMode = 0600)
    {
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0)
        {
            ADD_FAILURE() << "pipe: " << errno;
            return;
        }
        constexpr int kReadyFd = 5;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ready[1], kReadyFd);
        char mode[8];
        std::snprintf(mode, sizeof mode, "%o", socketMode);
        std::vector<std::string> argv = {UNINSTALLER_TEST_ACTIVATOR_PATH, "--mode",   mode,  "--ready-fd",
                                         std::to_string(kReadyFd),        socketPath, helper};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> arguments;
        for (std::string& argument : argv)
        {
            arguments.push_back(argument.data());
        }
        arguments.push_back(nullptr);
        const int spawned = ::posix_spawn(&mPid, arguments[0], &actions, nullptr, arguments.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(ready[1]);
        if (spawned != 0)
        {
            mPid = -1;
            ::close(ready[0]);
            ADD_FAILURE() << "spawn activator: " << spawned;
            return;
        }
        pollfd wait{ready[0], POLLIN, 0};
        char byte = 0;
        mReady = ::poll(&wait, 1, 10000) == 1 && ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
        EXPECT_TRUE(mReady) << "the activator did not get its socket ready";
    }

    ~ActivatedHelper()
    {
        if (mPid > 0 && !mExitStatus)
        {
            ::kill(mPid, SIGKILL);
            int status = 0;
            ::waitpid(mPid, &status, 0);
        }
    }

    ActivatedHelper(const ActivatedHelper&) = delete;
    ActivatedHelper& operator=(const ActivatedHelper&) = delete;

    bool Ready() const { return mReady; }
    pid_t Pid() const { return mPid; }

    // The helper's exit status once it has ended within timeout (-1 for a
    // signal); nothing while it still runs.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout)
    {
        if (mExitStatus || mPid <= 0)
        {
            return mExitStatus;
        }
        const int watch = static_cast<int>(::syscall(SYS_pidfd_open, mPid, 0));
        if (watch < 0)
        {
            return std::nullopt;
        }
        pollfd ended{watch, POLLIN, 0};
        const bool done = ::poll(&ended, 1, static_cast<int>(timeout.count())) == 1;
        ::close(watch);
        if (done)
        {
            int status = 0;
            ::waitpid(mPid, &status, 0);
            mExitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return mExitStatus;
    }

private:
    pid_t mPid = -1;
    bool mReady = false;
    std::optional<int> mExitStatus;
};

// Runs work while a process of user nobody holds every lock it can take on
// paths; work's result, or none when it had not ended within bound. The
// holder is killed (by its process ID) either way, which lets a stuck work end.
template <typename Work>
std::optional<std::invoke_result_t<Work>> RunWhileNobodyHoldsLocks(const std::vector<std::string>& paths,
                                                                   std::chrono::seconds bound, Work work)
{
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0)
    {
        ADD_FAILURE() << "pipe: " << errno;
        return std::nullopt;
    }
    const pid_t holder = ::fork();
    if (holder == 0)
    {
        if (::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0)
        {
            for (const std::string& path : paths)
            {
                ::flock(::open(path.c_str(), O_RDONLY | O_NONBLOCK), LOCK_EX | LOCK_NB);
            }
            const char byte = 0;
            while (::write(ready[1], &byte, 1) == 1)
            {
                ::pause(); // until killed; the descriptors keep their locks
            }
        }
        ::_exit(1);
    }
    ::close(ready[1]);
    char byte = 0;
    const bool holding = holder > 0 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    if (!holding)
    {
        if (holder > 0)
        {
            ::waitpid(holder, nullptr, 0);
        }
        ADD_FAILURE() << "nobody could not take the locks";
        return std::nullopt;
    }
    auto result = std::async(std::launch::async, std::move(work));
    const bool done = result.wait_for(bound) == std::future_status::ready;
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    auto value = result.get();
    return done ? std::optional(std::move(value)) : std::nullopt;
}

} // namespace UninstallerTest
