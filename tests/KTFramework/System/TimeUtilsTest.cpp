#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "KTFramework/System/TimeUtils.h"
#include "Platform/FakeMonotonicClock.h"

using namespace KT;

TEST(TimeUtils, CountersNeverRunBackwards)
{
    std::int64_t lastMilliseconds = TimeUtils::GetMillisecondCounter();
    std::int64_t lastMicroseconds = TimeUtils::GetMicrosecondCounter();
    for (int i = 0; i < 100000; ++i)
    {
        const std::int64_t milliseconds = TimeUtils::GetMillisecondCounter();
        const std::int64_t microseconds = TimeUtils::GetMicrosecondCounter();
        ASSERT_GE(milliseconds, lastMilliseconds) << "reading " << i;
        ASSERT_GE(microseconds, lastMicroseconds) << "reading " << i;
        lastMilliseconds = milliseconds;
        lastMicroseconds = microseconds;
    }
}

TEST(TimeUtils, CountersAdvanceWithTheSteadyClock)
{
    const std::int64_t firstMicroseconds = TimeUtils::GetMicrosecondCounter();
    const std::int64_t firstMilliseconds = TimeUtils::GetMillisecondCounter();
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(20))
    {
    }
    EXPECT_GE(TimeUtils::GetMicrosecondCounter() - firstMicroseconds, 20000);
    EXPECT_GE(TimeUtils::GetMillisecondCounter() - firstMilliseconds, 19);
}

TEST(TimeUtils, TicksConvertUnderAnyTimeBase)
{
    constexpr std::uint64_t kAllTicks = ~std::uint64_t{0};
    struct Row
    {
        const char* name;
        std::uint64_t ticks;
        std::uint32_t numer;
        std::uint32_t denom;
        std::int64_t microseconds;
        std::int64_t milliseconds;
    };
    const Row rows[] = {
        {"1/1 zero", 0, 1, 1, 0, 0},
        {"1/1 below a microsecond", 999, 1, 1, 0, 0},
        {"1/1 just below three milliseconds", 2999999, 1, 1, 2999, 2},
        {"1/1 three milliseconds", 3000000, 1, 1, 3000, 3},
        {"1/1 every tick", kAllTicks, 1, 1, 18446744073709551, 18446744073709},
        {"125/3 one second", 24000000, 125, 3, 1000000, 1000},
        {"3/125 twenty-four milliseconds", 1000000000, 3, 125, 24000, 24},
        {"1/2 truncates the nanoseconds first", 1999, 1, 2, 0, 0},
        // A 64-bit product of these would wrap and read about 0.
        {"1000/1 beyond 64-bit products", std::uint64_t{1} << 62, 1000, 1, std::int64_t{1} << 62,
         4611686018427388},
    };
    for (const Row& row : rows)
    {
        EXPECT_EQ(TimeUtils::TicksToMicroseconds(row.ticks, row.numer, row.denom), row.microseconds)
            << row.name;
        EXPECT_EQ(TimeUtils::TicksToMilliseconds(row.ticks, row.numer, row.denom), row.milliseconds)
            << row.name;
    }
}

TEST(Timer, RunningTimerGrowsAndStoppedOneStaysFixed)
{
    Timer timer;
    EXPECT_EQ(timer.GetTimeMks(), 0);

    timer.StartTimer();
    const std::int64_t first = timer.GetTimeMks();
    EXPECT_GE(first, 0);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (timer.GetTimeMks() <= first && std::chrono::steady_clock::now() < limit)
    {
    }
    EXPECT_GT(timer.GetTimeMks(), first);

    timer.StopTimer();
    const std::int64_t stopped = timer.GetTimeMks();
    EXPECT_GT(stopped, first);
    const std::int64_t before = TimeUtils::GetMicrosecondCounter();
    while (TimeUtils::GetMicrosecondCounter() == before)
    {
    }
    EXPECT_EQ(timer.GetTimeMks(), stopped);
}

TEST(Timer, StopWithoutStartGivesTheRawCounter)
{
    Timer timer;
    const std::int64_t before = TimeUtils::GetMicrosecondCounter();
    timer.StopTimer();
    const std::int64_t after = TimeUtils::GetMicrosecondCounter();
    EXPECT_GE(timer.GetTimeMks(), before);
    EXPECT_LE(timer.GetTimeMks(), after);
}

TEST(TimeUtils, CountersAndTimerFollowAnInstalledClock)
{
    Platform::FakeMonotonicClock clock(1000000000);
    const Platform::ScopedMonotonicClock installed(clock);
    Timer timer;
    timer.StartTimer();
    struct Step
    {
        const char* name;
        std::uint64_t advanceNanoseconds;
        std::int64_t milliseconds;
        std::int64_t microseconds;
        std::int64_t timerMicroseconds;
    };
    const Step steps[] = {
        {"standing still", 0, 1000, 1000000, 0},
        {"below a microsecond", 999, 1000, 1000000, 0},
        {"one microsecond", 1, 1000, 1000001, 1},
        {"just below a millisecond more", 998999, 1000, 1000999, 999},
        {"one millisecond more", 1, 1001, 1001000, 1000},
        {"a 60-second stop", 60000000000, 61001, 61001000, 60001000},
    };
    for (const Step& step : steps)
    {
        clock.AdvanceNanoseconds(step.advanceNanoseconds);
        EXPECT_EQ(TimeUtils::GetMillisecondCounter(), step.milliseconds) << step.name;
        EXPECT_EQ(TimeUtils::GetMicrosecondCounter(), step.microseconds) << step.name;
        EXPECT_EQ(timer.GetTimeMks(), step.timerMicroseconds) << step.name;
    }
    timer.StopTimer();
    clock.AdvanceMilliseconds(5);
    EXPECT_EQ(timer.GetTimeMks(), 60001000) << "a stopped timer keeps its time";
}
