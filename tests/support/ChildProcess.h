// Starts a test's helper program with pipes to its standard input and output,
// reads its output line by line with a time bound, and stops it by its PID
// when the test is done. Used by tests whose peer must be another process.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace PlatformTesting
{

class ChildProcess
{
public:
    // Runs program with arguments; extraEnvironment ("NAME=value") is added to
    // this process's environment.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& extraEnvironment = {})
    {
        int in[2];
        int out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
        {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<std::string> argumentText{program};
        argumentText.insert(argumentText.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& text : argumentText)
        {
            argv.push_back(text.data());
        }
        argv.push_back(nullptr);
        std::vector<std::string> environmentText;
        for (char** entry = environ; *entry != nullptr; ++entry)
        {
            environmentText.emplace_back(*entry);
        }
        environmentText.insert(environmentText.end(), extraEnvironment.begin(), extraEnvironment.end());
        std::vector<char*> envp;
        for (std::string& text : environmentText)
        {
            envp.push_back(text.data());
        }
        envp.push_back(nullptr);
        if (::posix_spawn(&mPid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
        {
            mPid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        mStdin = in[1];
        mStdout = out[0];
    }

    ~ChildProcess()
    {
        CloseInput();
        if (mPid > 0 && !mReaped)
        {
            ::kill(mPid, SIGKILL);
            ::waitpid(mPid, nullptr, 0);
        }
        if (mStdout >= 0)
        {
            ::close(mStdout);
        }
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool IsRunning() const { return mPid > 0; }
    pid_t GetPid() const { return mPid; }

    // The next line of output without its newline; false at the end of the
    // output or when none came within timeoutMs.
    bool ReadLine(std::string& line, int timeoutMs = 10000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;)
        {
            const std::size_t end = mBuffered.find('\n');
            if (end != std::string::npos)
            {
                line = mBuffered.substr(0, end);
                mBuffered.erase(0, end + 1);
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd fd{mStdout, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0)
            {
                return false;
            }
            char chunk[512];
            const ssize_t got = ::read(mStdout, chunk, sizeof(chunk));
            if (got <= 0)
            {
                return false;
            }
            mBuffered.append(chunk, static_cast<std::size_t>(got));
        }
    }

    // Writes the line and a newline to the child's standard input; false when
    // that fails (a child that has ended raises SIGPIPE unless it is ignored).
    bool WriteLine(const std::string& line)
    {
        const std::string text = line + "\n";
        std::size_t written = 0;
        while (mStdin >= 0 && written < text.size())
        {
            const ssize_t put = ::write(mStdin, text.data() + written, text.size() - written);
            if (put <= 0)
            {
                return false;
            }
            written += static_cast<std::size_t>(put);
        }
        return written == text.size();
    }

    // Closes the child's standard input: the helpers here end on it.
    void CloseInput()
    {
        if (mStdin >= 0)
        {
            ::close(mStdin);
            mStdin = -1;
        }
    }

    // Waits for the child to end; its exit status, or -1.
    int Wait()
    {
        int status = 0;
        if (mPid <= 0 || ::waitpid(mPid, &status, 0) != mPid)
        {
            return -1;
        }
        mReaped = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t mPid = -1;
    bool mReaped = false;
    int mStdin = -1;
    int mStdout = -1;
    std::string mBuffered;
};

} // namespace PlatformTesting
