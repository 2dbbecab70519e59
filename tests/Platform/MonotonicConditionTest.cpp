#include <gtest/gtest.h>

#include "Platform/MonotonicCondition.h"

using namespace KT::Platform;

TEST(MonotonicCondition, DeadlinesCarryNanosecondsIntoSeconds)
{
    struct Row
    {
        const char* name;
        MonotonicDeadline now;
        unsigned int milliseconds;
        MonotonicDeadline expected;
    };
    const Row rows[] = {
        {"no time", {5, 0}, 0, {5, 0}},
        {"below a second", {5, 1}, 250, {5, 250000001}},
        {"exactly one carry", {5, 999000000}, 1, {6, 0}},
        {"carry from the last nanosecond", {5, 999999999}, 999, {6, 998999999}},
        {"seconds and carry", {5, 600000000}, 1500, {7, 100000000}},
        {"largest limit", {0, 500000000}, 0xFFFFFFFFu, {4294967, 795000000}},
        {"largest limit with carry", {0, 800000000}, 0xFFFFFFFFu, {4294968, 95000000}},
    };
    for (const Row& row : rows)
    {
        const MonotonicDeadline deadline = AddMilliseconds(row.now, row.milliseconds);
        EXPECT_EQ(deadline.Seconds, row.expected.Seconds) << row.name;
        EXPECT_EQ(deadline.Nanoseconds, row.expected.Nanoseconds) << row.name;
    }
}
