#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "Platform/Command.h"
#include "Platform/Ticks.h"
#include "support/FakeTicks.h"
#include "support/ScopedRuntimeDirectory.h"

using namespace KT::Platform;

TEST(Ticks, DelayWaitsWholeTicksOnTheMonotonicClock)
{
    const std::uint32_t before = TickCount();
    std::uint32_t after = 0;
    Delay(2, &after);
    EXPECT_GE(after - before, 2u);
    EXPECT_GE(TickCount(), after);
}

TEST(Ticks, AFakeSourceAdvancesInDelayAndActsAtItsTick)
{
    PlatformTesting::FakeTicks fake(500);
    std::uint32_t actedAt = 0;
    fake.At(3, [&] { actedAt = TickCount(); });
    EXPECT_EQ(TickCount(), 500u);
    std::uint32_t now = 0;
    Delay(2, &now);
    EXPECT_EQ(now, 502u);
    EXPECT_EQ(actedAt, 0u);
    Delay(1, &now);
    EXPECT_EQ(actedAt, 503u);
    EXPECT_EQ(fake.Elapsed(), 3u);
}

TEST(Command, RunsTheExactTextWithTheShellAndGivesItsStatus)
{
    PlatformTesting::ScopedRuntimeDirectory scratch;
    const std::string file = scratch.Base() + "/out";
    const struct
    {
        std::string text;
        int status;
    } rows[] = {
        {"exit 0", 0},
        {"exit 3", 3},
        {"kill -TERM $$", 128 + SIGTERM},
        {"no-such-command-anywhere-here 2>/dev/null", kCommandNotFound},
        {"printf '%s|%s' \"a  b\" 'c;d' > " + file, 0},
    };
    for (const auto& row : rows)
    {
        EXPECT_EQ(RunCommand(row.text), row.status) << row.text;
    }
    std::ifstream in(file);
    std::string written;
    std::getline(in, written);
    EXPECT_EQ(written, "a  b|c;d");
}
