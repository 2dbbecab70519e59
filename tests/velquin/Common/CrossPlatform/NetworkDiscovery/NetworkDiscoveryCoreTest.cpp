#include "velquin/Common/CrossPlatform/NetworkDiscovery/NetworkDiscoveryCore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/MdnsPublisher.h"

namespace
{

std::atomic<unsigned> sPolls{0};

void CountWithoutSleeping(std::uint32_t)
{
    ++sPolls;
}

void CountAndSleep(std::uint32_t microseconds)
{
    ++sPolls;
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

// Counts the exit's polls for its lifetime.
struct PollCounter
{
    explicit PollCounter(LNetworkDiscoveryCore::ExitPollSleep sleep)
        : mPrevious(LNetworkDiscoveryCore::ExchangeExitPollSleep(sleep))
    {
        sPolls = 0;
    }
    ~PollCounter() { LNetworkDiscoveryCore::ExchangeExitPollSleep(mPrevious); }

    LNetworkDiscoveryCore::ExitPollSleep mPrevious;
};

} // namespace

// An engine with a cache and one without both announce the host: another
// engine that only browses resolves the core's host name to lo's address.
TEST(NetworkDiscoveryCore, AnnouncesTheHostNameWithAndWithoutACache)
{
    for (const unsigned cacheEntries : {0u, 64u})
    {
        KT::RCPtr<LNetworkDiscoveryCore> core = LNetworkDiscoveryCore::Create(cacheEntries, true);
        ASSERT_FALSE(core->HasInitFailed()) << cacheEntries;
        EXPECT_EQ(core->GetInterfaces(), std::vector<std::string>{"lo"}) << cacheEntries;
        // A collision with another host's name (another test process's core)
        // renames the engine; the name asked for is the one it has now.
        std::uint32_t address = 0;
        for (int attempt = 0; attempt < 3 && address != 0x7F000001u; ++attempt)
        {
            const std::string hostName = core->GetHostName();
            ASSERT_FALSE(hostName.empty());
            address = MdnsTest::MdnsHostLookup(hostName + ".local");
        }
        EXPECT_EQ(address, 0x7F000001u) << cacheEntries;
        core->StopDiscoveryCoreProcessing();
        EXPECT_TRUE(core->GetHostName().empty());
    }
}

TEST(NetworkDiscoveryCore, StoppingTwiceStopsOnce)
{
    PollCounter counter(&CountAndSleep);
    KT::RCPtr<LNetworkDiscoveryCore> core = LNetworkDiscoveryCore::Create(16, true);
    ASSERT_FALSE(core->HasInitFailed());
    core->StopDiscoveryCoreProcessing();
    const unsigned polls = sPolls.load();
    EXPECT_LT(polls, LNetworkDiscoveryCore::kExitPolls) << "the exit ends once the host name stands";
    core->StopDiscoveryCoreProcessing();
    EXPECT_EQ(sPolls.load(), polls);
    EXPECT_TRUE(core->GetHostName().empty());
}

// Without wait for exit nothing is polled; with it, at most 100 polls 50 ms
// apart, however long the engine takes.
TEST(NetworkDiscoveryCore, WaitForExitPollsAtMostAHundredTimes)
{
    PollCounter counter(&CountWithoutSleeping);
    {
        KT::RCPtr<LNetworkDiscoveryCore> core = LNetworkDiscoveryCore::Create(0, false);
        ASSERT_FALSE(core->HasInitFailed());
        core->StopDiscoveryCoreProcessing();
        EXPECT_EQ(sPolls.load(), 0u);
    }
    {
        KT::RCPtr<LNetworkDiscoveryCore> core = LNetworkDiscoveryCore::Create(0, true);
        ASSERT_FALSE(core->HasInitFailed());
        // Polls that do not sleep all come while the host name is still
        // being registered.
        core->StopDiscoveryCoreProcessing();
        EXPECT_EQ(sPolls.load(), LNetworkDiscoveryCore::kExitPolls);
    }
}

TEST(NetworkDiscoveryCore, OneCorePerProcess)
{
    KT::RCPtr<LNetworkDiscoveryCore> first = LNetworkDiscoveryCore::Create(0, false);
    ASSERT_FALSE(first->HasInitFailed());
    KT::RCPtr<LNetworkDiscoveryCore> second = LNetworkDiscoveryCore::Create(0, false);
    EXPECT_TRUE(second->HasInitFailed());
    EXPECT_TRUE(second->GetHostName().empty());
    second->StopDiscoveryCoreProcessing();
    EXPECT_FALSE(first->GetHostName().empty()) << "the failed core touched nothing of the first";

    first->StopDiscoveryCoreProcessing();
    KT::RCPtr<LNetworkDiscoveryCore> third = LNetworkDiscoveryCore::Create(0, false);
    EXPECT_FALSE(third->HasInitFailed());
}

TEST(NetworkDiscoveryCore, CoresMadeAtOnceGetOneEngine)
{
    constexpr int kThreads = 8;
    std::vector<KT::RCPtr<LNetworkDiscoveryCore>> cores(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
    {
        threads.emplace_back([&cores, i] { cores[i] = LNetworkDiscoveryCore::Create(0, false); });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    int running = 0;
    for (const KT::RCPtr<LNetworkDiscoveryCore>& core : cores)
    {
        running += core->HasInitFailed() ? 0 : 1;
    }
    EXPECT_EQ(running, 1);
}
