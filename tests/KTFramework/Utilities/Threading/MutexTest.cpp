#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <thread>
#include <vector>

#include "KTFramework/Utilities/Threading/Mutex.h"

// Result codes that a test does not judge (set-up steps, and calls whose effect
// it checks another way) are cast to void.

namespace KT
{
// Reads what FastMutex keeps to itself.
struct FastMutexProbe
{
    static std::int32_t State(const FastMutex& mutex) { return mutex.mState.load(); }
    static void SetState(FastMutex& mutex, std::int32_t state) { mutex.mState.store(state); }
    // Consumes the signal when there is one.
    static bool TakeEventSignal(FastMutex& mutex) { return mutex.mEvent.Wait(0) == 0; }
};
} // namespace KT

using namespace KT;

namespace
{
constexpr unsigned int kBoundMs = 10000;
}

TEST(FastMutex, UncontendedLockAndUnlockNeverSignalTheEvent)
{
    FastMutex mutex;
    for (int round = 0; round < 3; ++round)
    {
        mutex.Lock();
        EXPECT_EQ(FastMutexProbe::State(mutex), 1) << "round " << round;
        mutex.Unlock();
        EXPECT_EQ(FastMutexProbe::State(mutex), 0) << "round " << round;
    }
    EXPECT_FALSE(FastMutexProbe::TakeEventSignal(mutex));
}

TEST(FastMutex, ReleaseSignalsTheEventOnlyWhenAWaiterAnnouncedItself)
{
    struct Row
    {
        const char* name;
        std::int32_t stateBeforeRelease;
        bool signalled;
    };
    const Row rows[] = {
        {"held, nobody announced", 1, false},
        {"held, a waiter announced", 2, true},
    };
    for (const Row& row : rows)
    {
        FastMutex mutex;
        mutex.Acquire();
        FastMutexProbe::SetState(mutex, row.stateBeforeRelease);
        mutex.Release();
        EXPECT_EQ(FastMutexProbe::State(mutex), 0) << row.name;
        EXPECT_EQ(FastMutexProbe::TakeEventSignal(mutex), row.signalled) << row.name;
    }
}

// A signal left by a release that nobody was parked for lets the next contender
// through its first wait; it must park again while the lock is held.
TEST(FastMutex, LeftOverSignalDoesNotLetAContenderIn)
{
    FastMutex mutex;
    mutex.Acquire();
    FastMutexProbe::SetState(mutex, 2);
    mutex.Release();
    mutex.Acquire();

    Event acquired(true);
    std::thread contender(
        [&]
        {
            mutex.Acquire();
            acquired.Release();
            mutex.Release();
        });
    EXPECT_EQ(acquired.Wait(50), Wait::TIMED_OUT);
    mutex.Release();
    EXPECT_EQ(acquired.Wait(kBoundMs), 0u);
    contender.join();
    EXPECT_EQ(FastMutexProbe::State(mutex), 0);
}

TEST(FastMutex, ContendedIncrementsAddUpExactly)
{
    constexpr int kThreads = 4;
    constexpr int kIncrements = 20000;
    FastMutex mutex;
    TrafficLight start;
    long total = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
    {
        threads.emplace_back(
            [&]
            {
                static_cast<void>(start.WaitForGreenLight(kBoundMs));
                for (int n = 0; n < kIncrements; ++n)
                {
                    AutolockT<FastMutex> guard(mutex);
                    ++total;
                }
            });
    }
    start.SetGreenLight();
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(total, static_cast<long>(kThreads) * kIncrements);
    EXPECT_EQ(FastMutexProbe::State(mutex), 0);
}

namespace
{
// The lock analysis does not model a recursive lock held twice: the second
// hold and its release are taken out of its sight.
void LockAgain(Mutex& mutex) NO_THREAD_SAFETY_ANALYSIS
{
    mutex.Lock();
}

void UnlockOnce(Mutex& mutex) NO_THREAD_SAFETY_ANALYSIS
{
    mutex.Unlock();
}
} // namespace

TEST(Mutex, HolderTakesItAgainAndOthersGetItOnlyAfterBothUnlocks)
{
    Mutex mutex;
    mutex.Lock();
    LockAgain(mutex);
    Event acquired(true);
    std::thread other(
        [&]
        {
            mutex.Acquire();
            acquired.Release();
            mutex.Release();
        });
    UnlockOnce(mutex);
    EXPECT_EQ(acquired.Wait(50), Wait::TIMED_OUT);
    mutex.Unlock();
    EXPECT_EQ(acquired.Wait(kBoundMs), 0u);
    other.join();
}

TEST(AutolockT, UnlocksWhenAnExceptionLeavesItsScope)
{
    FastMutex fast;
    try
    {
        AutolockT<FastMutex> guard(fast);
        EXPECT_EQ(FastMutexProbe::State(fast), 1);
        throw std::runtime_error("leaving");
    }
    catch (const std::runtime_error&)
    {
    }
    EXPECT_EQ(FastMutexProbe::State(fast), 0);

    Mutex recursive;
    try
    {
        AutolockT<Mutex> guard(recursive);
        throw std::runtime_error("leaving");
    }
    catch (const std::runtime_error&)
    {
    }
    Event acquired(true);
    std::thread other(
        [&]
        {
            AutolockT<Mutex> guard(recursive);
            acquired.Release();
        });
    const unsigned int result = acquired.Wait(kBoundMs);
    if (result != 0)
    {
        // Let the other thread finish so the test reports rather than hangs.
        recursive.Unlock();
    }
    other.join();
    EXPECT_EQ(result, 0u);
}
