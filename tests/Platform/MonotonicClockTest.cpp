#include <gtest/gtest.h>

#include "Platform/FakeMonotonicClock.h"
#include "Platform/MonotonicClock.h"

using namespace KT::Platform;

TEST(MonotonicClock, InstalledClockIsReadUntilItsScopeEndsAndNestedScopesUnwind)
{
    IMonotonicClock& system = GetSystemMonotonicClock();
    ASSERT_EQ(&GetMonotonicClock(), &system);
    FakeMonotonicClock outer(5000);
    {
        ScopedMonotonicClock installOuter(outer);
        EXPECT_EQ(&GetMonotonicClock(), &outer);
        EXPECT_EQ(GetAbsoluteTicks(), 5000u);
        {
            FakeMonotonicClock inner(7);
            ScopedMonotonicClock installInner(inner);
            EXPECT_EQ(GetAbsoluteTicks(), 7u);
        }
        EXPECT_EQ(&GetMonotonicClock(), &outer);
    }
    EXPECT_EQ(&GetMonotonicClock(), &system);
    const std::uint64_t first = GetAbsoluteTicks();
    EXPECT_GE(GetAbsoluteTicks(), first);
}

TEST(FakeMonotonicClock, StandsStillUntilSetOrAdvancedInNanoseconds)
{
    FakeMonotonicClock clock(100);
    EXPECT_EQ(clock.GetTimeBase().Numer, 1u);
    EXPECT_EQ(clock.GetTimeBase().Denom, 1u);
    EXPECT_EQ(clock.GetAbsoluteTicks(), 100u);
    EXPECT_EQ(clock.GetAbsoluteTicks(), 100u);
    clock.AdvanceNanoseconds(1);
    EXPECT_EQ(clock.GetAbsoluteTicks(), 101u);
    clock.AdvanceMicroseconds(2);
    EXPECT_EQ(clock.GetAbsoluteTicks(), 2101u);
    clock.AdvanceMilliseconds(3);
    EXPECT_EQ(clock.GetAbsoluteTicks(), 3002101u);
    clock.SetNanoseconds(42);
    EXPECT_EQ(clock.GetAbsoluteTicks(), 42u);
}
