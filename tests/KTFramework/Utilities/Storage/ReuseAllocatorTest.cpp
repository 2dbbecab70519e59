#include <gtest/gtest.h>

#include <cstring>
#include <latch>
#include <random>
#include <thread>
#include <vector>

#include "KTFramework/Utilities/Storage/ReuseAllocator.h"
#include "KTFramework/Utilities/Threading/Mutex.h"

namespace KT
{
// Reads the two tables' counts, without the pool's lock: the tests read them
// while no other thread uses the pool.
struct ReuseAllocatorProbe
{
    template <class Pool>
    static int64_t Blocks(const Pool& pool) NO_THREAD_SAFETY_ANALYSIS
    {
        return pool.mBlocks.GetCount();
    }
    template <class Pool>
    static int64_t Released(const Pool& pool) NO_THREAD_SAFETY_ANALYSIS
    {
        return pool.mFree.GetCount();
    }
};
} // namespace KT

using namespace KT;

namespace
{

struct Payload
{
    uint64_t mWords[3];
};

using Pool = ReuseAllocator<Payload, 4, FastMutex>;
using Probe = ReuseAllocatorProbe;

// A class whose objects come from its shared pool.
class Pooled
{
public:
    static void* operator new(std::size_t size)
    {
        return ReuseAllocator<Pooled, 1, FastMutex>::Shared().Alloc(size);
    }
    static void operator delete(void* p) noexcept { ReuseAllocator<Pooled, 1, FastMutex>::Shared().Free(p); }
    virtual ~Pooled() = default;

    uint64_t mValue = 0;
};

// Another size than the pooled class's: served by the heap.
class PooledBigger : public Pooled
{
public:
    char mMore[40] = {};
};

uint64_t HeaderOf(void* payload)
{
    uint64_t header;
    std::memcpy(&header, static_cast<unsigned char*>(payload) - 8, sizeof(header));
    return header;
}

} // namespace

TEST(ReuseAllocator, FirstBlockAndLastFreedFirstReused)
{
    for (bool threadSafe : {false, true})
    {
        Pool pool(threadSafe);
        void* a = pool.Alloc(sizeof(Payload));
        EXPECT_EQ(0u, HeaderOf(a)) << "thread-safe " << threadSafe;
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(a) % 8);
        void* b = pool.Alloc(sizeof(Payload));
        EXPECT_EQ(1u, HeaderOf(b));
        std::memset(b, 0x5A, sizeof(Payload));

        pool.Free(a);
        pool.Free(b);
        void* first = pool.Alloc(sizeof(Payload));
        void* second = pool.Alloc(sizeof(Payload));
        EXPECT_EQ(b, first) << "thread-safe " << threadSafe;
        EXPECT_EQ(a, second) << "thread-safe " << threadSafe;
        // Not cleared: the previous object's bytes are still there.
        EXPECT_EQ(0x5A, static_cast<unsigned char*>(first)[sizeof(Payload) - 1]);
        EXPECT_EQ(2, Probe::Blocks(pool));
        pool.Free(first);
        pool.Free(second);
        pool.Free(nullptr);
        EXPECT_EQ(2, Probe::Released(pool));
    }
}

TEST(ReuseAllocator, ForeignSizesBypassThePool)
{
    Pool pool(true);
    void* pooled = pool.Alloc(sizeof(Payload));
    for (std::size_t size : {std::size_t{0}, sizeof(Payload) - 1, sizeof(Payload) + 1, std::size_t{4096}})
    {
        void* foreign = pool.Alloc(size);
        ASSERT_NE(nullptr, foreign) << "size " << size;
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(foreign) % 16) << "size " << size;
        std::memset(foreign, 0xEE, size);
        EXPECT_EQ(1, Probe::Blocks(pool)) << "size " << size;
        pool.Free(foreign);
        EXPECT_EQ(0, Probe::Released(pool)) << "size " << size;
    }
    EXPECT_THROW(pool.Alloc(SIZE_MAX - 4), std::bad_alloc);
    pool.Free(pooled);
    EXPECT_EQ(1, Probe::Released(pool));
}

TEST(ReuseAllocator, PeakOfLiveObjectsSetsTheBlockCount)
{
    Pool pool(true);
    const int k = 11;
    std::vector<void*> live;
    for (int round = 0; round < 3; ++round)
    {
        for (int i = 0; i < k; ++i)
        {
            live.push_back(pool.Alloc(sizeof(Payload)));
        }
        EXPECT_EQ(k, Probe::Blocks(pool)) << "round " << round;
        EXPECT_EQ(0, Probe::Released(pool)) << "round " << round;
        for (void* p : live)
        {
            pool.Free(p);
        }
        live.clear();
        EXPECT_EQ(k, Probe::Released(pool)) << "round " << round;
    }
}

TEST(ReuseAllocator, PooledClassReusesItsBlock)
{
    Pooled* first = new Pooled;
    first->mValue = 41;
    delete first;
    Pooled* again = new Pooled;
    EXPECT_EQ(first, again);
    EXPECT_EQ(0u, again->mValue);
    delete again;

    const int64_t blocks = Probe::Blocks(ReuseAllocator<Pooled, 1, FastMutex>::Shared());
    Pooled* bigger = new PooledBigger;
    delete bigger;
    EXPECT_EQ(blocks, Probe::Blocks(ReuseAllocator<Pooled, 1, FastMutex>::Shared()));
}

// Threads allocate and free in random bursts, each stamping its objects and
// checking the stamp before it frees them: a block handed out twice at once
// shows up as a stamp changed under its owner.
TEST(ReuseAllocator, ThreadsShareThePoolWithoutHandingABlockOutTwice)
{
    Pool pool(true);
    const int threadCount = 6;
    const int steps = 20000;
    const std::size_t maxLive = 16;
    std::latch start(threadCount);
    std::vector<int> corrupted(threadCount, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t)
    {
        threads.emplace_back(
            [&, t]
            {
                std::mt19937 random(static_cast<unsigned>(t) + 1);
                std::vector<Payload*> live;
                start.arrive_and_wait();
                for (int step = 0; step < steps; ++step)
                {
                    const bool allocate = live.empty() || (live.size() < maxLive && random() % 2 == 0);
                    if (allocate)
                    {
                        Payload* p = static_cast<Payload*>(pool.Alloc(sizeof(Payload)));
                        p->mWords[0] = static_cast<uint64_t>(t);
                        p->mWords[1] = static_cast<uint64_t>(step);
                        p->mWords[2] = ~static_cast<uint64_t>(step);
                        live.push_back(p);
                    }
                    else
                    {
                        const std::size_t at = random() % live.size();
                        Payload* p = live[at];
                        if (p->mWords[0] != static_cast<uint64_t>(t) || p->mWords[2] != ~p->mWords[1])
                        {
                            ++corrupted[t];
                        }
                        live[at] = live.back();
                        live.pop_back();
                        pool.Free(p);
                    }
                }
                for (Payload* p : live)
                {
                    pool.Free(p);
                }
            });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    for (int t = 0; t < threadCount; ++t)
    {
        EXPECT_EQ(0, corrupted[t]) << "thread " << t;
    }
    EXPECT_LE(Probe::Blocks(pool), static_cast<int64_t>(threadCount * maxLive));
    EXPECT_EQ(Probe::Blocks(pool), Probe::Released(pool));
}
