#include <gtest/gtest.h>

#include "Platform/Uninstaller/ProcessInfo.h"

#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Uninstaller::Platform;

namespace
{

std::uint64_t TicksSinceBoot()
{
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const auto ticksPerSecond = static_cast<std::uint64_t>(::sysconf(_SC_CLK_TCK));
    return static_cast<std::uint64_t>(now.tv_sec) * ticksPerSecond +
           static_cast<std::uint64_t>(now.tv_nsec) * ticksPerSecond / 1000000000u;
}

} // namespace

TEST(ProcessInfo, StartTimeIsReadPastACommandNameThatLooksLikeFields)
{
    std::uint64_t own = 0;
    ASSERT_EQ(ReadProcessStartTime(::getpid(), own), 0);

    // A child whose name holds ") " and numbers: only the last ")" ends the name.
    int gate[2];
    ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        ::prctl(PR_SET_NAME, "x) S 9 9 9 (y", 0, 0, 0);
        char byte;
        ::close(gate[1]);
        [[maybe_unused]] const ssize_t got = ::read(gate[0], &byte, 1);
        ::_exit(0);
    }
    ::close(gate[0]);
    std::uint64_t started = 0;
    const int read = ReadProcessStartTime(child, started);
    const std::uint64_t now = TicksSinceBoot();
    ::close(gate[1]);
    int status = 0;
    ::waitpid(child, &status, 0);

    ASSERT_EQ(read, 0);
    EXPECT_GE(started, own) << "the child started after this process";
    EXPECT_LE(started, now + 1);
}

TEST(ProcessInfo, AbsentProcessesAndRandomBytes)
{
    std::uint64_t started = 7;
    EXPECT_NE(ReadProcessStartTime(0, started), 0);
    EXPECT_NE(ReadProcessStartTime(-1, started), 0);
    EXPECT_EQ(started, 0u);

    unsigned char first[16] = {};
    unsigned char second[16] = {};
    ASSERT_EQ(FillRandomBytes(first, sizeof first), 0);
    ASSERT_EQ(FillRandomBytes(second, sizeof second), 0);
    EXPECT_NE(std::memcmp(first, second, sizeof first), 0);
}
