#include <gtest/gtest.h>

#include "KTFramework/Utilities/Threading/EventPool.h"

using namespace KT;

namespace
{

TEST(EventPool, WaitReturnsTheLowestSignalledEventThenTimesOut)
{
    EventPool pool(3);
    ASSERT_EQ(3u, pool.GetCount());
    EXPECT_TRUE(pool.Release(2));
    EXPECT_TRUE(pool.Release(0));
    EXPECT_EQ(0u, pool.Wait(0));
    EXPECT_EQ(2u, pool.Wait(0));
    EXPECT_EQ(Wait::TIMED_OUT, pool.Wait(10));
}

TEST(EventPool, TwoReleasesBeforeAWaitAreReportedOnce)
{
    EventPool pool(2);
    pool.Release(1);
    pool.Release(1);
    EXPECT_EQ(1u, pool.Wait(0));
    EXPECT_EQ(Wait::TIMED_OUT, pool.Wait(0));
}

TEST(EventPool, HandedOutEventsSignalTheirOwnIndex)
{
    EventPool pool(4);
    RCPtr<LEvent> third = pool.GetEvent(3);
    ASSERT_FALSE(!third);
    third->Release();
    EXPECT_EQ(3u, pool.Wait(0));
}

TEST(EventPool, EmptyPoolReturnsAtOnce)
{
    EventPool pool(0);
    EXPECT_EQ(0xFFFFFFFFu, pool.Wait(Wait::INFINITE_WAIT));
}

TEST(EventPool, IndexesPastTheCountAreRefused)
{
    EventPool pool(2);
    EXPECT_FALSE(pool.Release(2));
    EXPECT_TRUE(!pool.GetEvent(2));
    EXPECT_FALSE(pool.Release(0xFFFFFFFFu));
    EXPECT_EQ(Wait::TIMED_OUT, pool.Wait(0));
}

TEST(EventPool, HoldsAtMostOneSignalWordOfEvents)
{
    EventPool pool(100);
    EXPECT_EQ(Wait::MAX_WAIT_OBJECTS, pool.GetCount());
    pool.Release(63);
    EXPECT_EQ(63u, pool.Wait(0));
}

} // namespace
