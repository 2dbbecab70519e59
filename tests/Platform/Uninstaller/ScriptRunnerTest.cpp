#include <gtest/gtest.h>

#include "Platform/Uninstaller/ScriptRunner.h"
#include "support/Uninstaller/TestProcesses.h"

#include <csignal>
#include <pthread.h>
#include <sstream>
#include <sys/socket.h>

using namespace Uninstaller::Platform;
using namespace UninstallerTest;

namespace
{

struct Launch
{
    int error = 0;
    ScriptRun run;
};

Launch CheckAndRun(const char* path, const ScriptLimits& limits = {})
{
    Launch launch;
    FileDescriptor script;
    launch.error = OpenCheckedScript(path, script);
    if (launch.error == 0)
    {
        launch.error = RunCheckedScript(script, path, limits, launch.run);
    }
    return launch;
}

std::string Output(const ScriptRun& run)
{
    return std::string(run.output.begin(), run.output.end());
}

// A root-owned 0755 script in a safe folder of the temporary root.
std::string GoodScript(const TempRoot& root, const std::string& name, const std::string& body)
{
    const std::string path = root / name;
    WriteFile(path, "#!/bin/sh\n" + body, 0755);
    return path;
}

} // namespace

TEST(ScriptRunner, RefusesEveryScriptItCannotTrust)
{
    UNINSTALLER_REQUIRE_ROOT();
    TempRoot root;
    const std::string marker = root / "marker";
    const std::string body = "#!/bin/sh\necho ran > " + marker + "\n";
    MakeFolder(root / "safe", 0755);
    MakeFolder(root / "nobodys", 0755, kNobody);
    MakeFolder(root / "open", 0777);
    MakeFolder(root / "sticky", 01777);
    MakeFolder(root / "nobodys-sticky", 01777, kNobody);
    MakeFolder(root / "dir.sh", 0755);
    WriteFile(root / "safe/good.sh", body, 0755);
    WriteFile(root / "safe/nobodys.sh", body, 0755, kNobody);
    WriteFile(root / "safe/group-writable.sh", body, 0775);
    WriteFile(root / "safe/world-writable.sh", body, 0757);
    WriteFile(root / "safe/not-executable.sh", body, 0644);
    WriteFile(root / "safe/garbage", std::string("\x01\x02\x03 not a program\n"), 0755);
    WriteFile(root / "safe/no-interpreter.sh", "#!/nonexistent/interpreter\n", 0755);
    WriteFile(root / "nobodys/script.sh", body, 0755);
    WriteFile(root / "open/script.sh", body, 0755);
    WriteFile(root / "nobodys-sticky/script.sh", body, 0755);
    ASSERT_EQ(::symlink((root / "safe/good.sh").c_str(), (root / "safe/link.sh").c_str()), 0);
    ASSERT_EQ(::symlink((root / "safe").c_str(), (root / "linked-folder").c_str()), 0);

    struct Row
    {
        const char* name;
        std::optional<std::string> path;
        int expected;
    };
    const Row rows[] = {
        {"no path", std::nullopt, EINVAL},
        {"empty path", "", EINVAL},
        {"relative path", "safe/good.sh", EINVAL},
        {"absent", root / "safe/absent.sh", ENOENT},
        {"nobody-owned", root / "safe/nobodys.sh", EPERM},
        {"0775", root / "safe/group-writable.sh", EPERM},
        {"0757", root / "safe/world-writable.sh", EPERM},
        {"0644", root / "safe/not-executable.sh", EACCES},
        {"in a nobody-owned folder", root / "nobodys/script.sh", EPERM},
        {"in a non-sticky 0777 folder", root / "open/script.sh", EPERM},
        {"in a nobody-owned sticky folder", root / "nobodys-sticky/script.sh", EPERM},
        {"a link to a good script", root / "safe/link.sh", EPERM},
        {"through a linked folder", root / "linked-folder/good.sh", EPERM},
        {"a directory", root / "dir.sh", EACCES},
        {"garbage without #!", root / "safe/garbage", ENOEXEC},
        {"a missing interpreter", root / "safe/no-interpreter.sh", ENOENT},
    };
    for (const Row& row : rows)
    {
        const Launch launch = CheckAndRun(row.path ? row.path->c_str() : nullptr);
        EXPECT_EQ(launch.error, row.expected) << row.name;
        EXPECT_FALSE(std::filesystem::exists(marker)) << row.name << " ran";
    }

    // The controls: the same script in a safe and in a root-owned sticky folder runs.
    WriteFile(root / "sticky/script.sh", body, 0755);
    for (const std::string& path : {root / "safe/good.sh", root / "sticky/script.sh"})
    {
        std::filesystem::remove(marker);
        const Launch launch = CheckAndRun(path.c_str());
        EXPECT_EQ(launch.error, 0) << path;
        EXPECT_TRUE(std::filesystem::exists(marker)) << path;
    }
}

TEST(ScriptRunner, OutputAndErrorShareOnePipeInOrder)
{
    UNINSTALLER_REQUIRE_ROOT();
    TempRoot root;
    const std::string path = GoodScript(
        root, "order.sh", "echo out1\necho err1 >&2\necho out2\necho err2 >&2\nprintf '\\377\\n'\n");
    const Launch launch = CheckAndRun(path.c_str());
    ASSERT_EQ(launch.error, 0);
    EXPECT_EQ(Output(launch.run), "out1\nerr1\nout2\nerr2\n\xFF\n") << "bytes are passed on as printed";
    EXPECT_FALSE(launch.run.signalled);
    EXPECT_EQ(launch.run.status, 0);
    EXPECT_FALSE(launch.run.truncated);
}

TEST(ScriptRunner, TheScriptSeesOnlyPathRootAndItsOwnDescriptors)
{
    UNINSTALLER_REQUIRE_ROOT();
    TempRoot root;
    ::setenv("UNINSTALLER_CANARY", "present", 1);
    // A socket this process holds without close-on-exec must not reach the script.
    int sockets[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
    const std::string path = GoodScript(root, "env.sh", "pwd\n/usr/bin/env\nexec /bin/ls -l /proc/self/fd\n");
    const Launch launch = CheckAndRun(path.c_str());
    ::close(sockets[0]);
    ::close(sockets[1]);
    ::unsetenv("UNINSTALLER_CANARY");
    ASSERT_EQ(launch.error, 0);
    const std::string output = Output(launch.run);

    std::istringstream lines(output);
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "/");
    bool sawPath = false;
    while (std::getline(lines, line) && line.rfind("total", 0) != 0)
    {
        // The shell may add PWD itself; nothing of this process's environment passes.
        EXPECT_TRUE(line == "PATH=/usr/sbin:/usr/bin:/sbin:/bin" || line.rfind("PWD=", 0) == 0) << line;
        sawPath = sawPath || line.rfind("PATH=", 0) == 0;
    }
    EXPECT_TRUE(sawPath) << output;
    int listed = 0;
    while (std::getline(lines, line))
    {
        const std::size_t arrow = line.find(" -> ");
        ASSERT_NE(arrow, std::string::npos) << line;
        const std::string target = line.substr(arrow + 4);
        const std::size_t nameStart = line.rfind(' ', arrow - 1) + 1;
        const int fd = std::stoi(line.substr(nameStart, arrow - nameStart));
        ++listed;
        EXPECT_EQ(target.rfind("socket:", 0), std::string::npos) << line;
        // ls's own listing of /proc/self/fd is the one descriptor beyond 0 to 3.
        EXPECT_TRUE(fd <= 3 || target.ends_with("/fd")) << line;
        if (fd == 0)
        {
            EXPECT_EQ(target, "/dev/null");
        }
        if (fd == 3)
        {
            EXPECT_EQ(target, path);
        }
    }
    EXPECT_GE(listed, 4) << output;
}

TEST(ScriptRunner, ExitStatusesAndSignalsAreReported)
{
    UNINSTALLER_REQUIRE_ROOT();
    TempRoot root;
    // This thread blocks SIGTERM and the process ignores SIGPIPE: the script gets neither.
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigset_t previousMask;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &term, &previousMask), 0);
    struct sigaction ignore
    {
    };
    ignore.sa_handler = SIG_IGN;
    struct sigaction previousPipe
    {
    };
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previousPipe), 0);

    struct Row
    {
        const char* body;
        bool signalled;
        int status;
    };
    const Row rows[] = {
        {"exit 0\n", false, 0},
        {"echo failing\nexit 3\n", false, 3},
        {"kill -TERM $$\nsleep 5\n", true, SIGTERM},
        {"kill -PIPE $$\nsleep 5\n", true, SIGPIPE},
    };
    for (const Row& row : rows)
    {
        const Launch launch = CheckAndRun(GoodScript(root, "status.sh", row.body).c_str());
        EXPECT_EQ(launch.error, 0) << row.body;
        EXPECT_EQ(launch.run.signalled, row.signalled) << row.body;
        EXPECT_EQ(launch.run.status, row.status) << row.body;
    }
    ::sigaction(SIGPIPE, &previousPipe, nullptr);
    ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
}

TEST(ScriptRunner, OutputBeyondTheLimitIsReadAndDropped)
{
    UNINSTALLER_REQUIRE_ROOT();
    TempRoot root;
    const std::string path =
        GoodScript(root, "big.sh", "head -c 1500000 /dev/zero | tr '\\0' a\necho done >&2\nexit 4\n");
    const Launch launch = CheckAndRun(path.c_str());
    ASSERT_EQ(launch.error, 0);
    EXPECT_EQ(launch.run.output.size(), 1024u * 1024u);
    EXPECT_TRUE(launch.run.truncated);
    EXPECT_EQ(launch.run.status, 4) << "the script was not stopped by a full pipe";
}

TEST(ScriptRunner, ABackgroundChildHoldingThePipeDoesNotHoldTheRun)
{
    UNINSTALLER_REQUIRE_ROOT();
    TempRoot root;
    const std::string path = GoodScript(root, "background.sh", "sleep 60 &\necho $!\nexit 0\n");
    ScriptLimits limits;
    limits.drainTime = std::chrono::milliseconds(100);
    const auto started = std::chrono::steady_clock::now();
    const Launch launch = CheckAndRun(path.c_str(), limits);
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(launch.error, 0);
    const pid_t leftover = static_cast<pid_t>(std::stol(Output(launch.run)));
    ASSERT_GT(leftover, 0);
    ::kill(leftover, SIGKILL);
    EXPECT_EQ(launch.run.status, 0);
    EXPECT_LT(took, std::chrono::seconds(30)) << "the run waited for the background child";
}
