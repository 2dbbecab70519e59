#include <gtest/gtest.h>

#include <cstddef>
#include <set>

#include "KTFramework/Utilities/Storage/ThreadCachedBlocks.h"
#include "KTFramework/Utilities/Threading/Mutex.h"

using namespace KT;

namespace
{

class Probe;
// Batches of two, so that a few frees move blocks to the shared stock and a
// few allocations draw them back.
using ProbeBlocks = ThreadCachedBlocks<Probe, FastMutex, 2>;

class Probe final
{
public:
    static void* operator new(std::size_t size) { return ProbeBlocks::Alloc(size); }
    static void operator delete(void* p) noexcept { ProbeBlocks::Free(p); }

    unsigned char bytes[200] = {};
};

#if defined(KT_THREAD_CACHED_BLOCKS_POISON)
// Bytes of the probe at p that a use after free would read unreported.
std::size_t OpenBytes(const void* p)
{
    std::size_t open = 0;
    for (std::size_t i = 0; i < sizeof(Probe); ++i)
    {
        open += __asan_address_is_poisoned(static_cast<const unsigned char*>(p) + i) ? 0 : 1;
    }
    return open;
}
#endif

TEST(ThreadCachedBlocks, FreedBlocksArePoisonedUntilTheyAreReused)
{
#if !defined(KT_THREAD_CACHED_BLOCKS_POISON)
    GTEST_SKIP() << "only AddressSanitizer keeps freed blocks poisoned";
#else
    constexpr std::size_t kProbes = 5;
    Probe* probes[kProbes];
    std::set<void*> freed;
    for (Probe*& probe : probes)
    {
        probe = new Probe;
        freed.insert(probe);
    }
    for (Probe* probe : probes)
    {
        delete probe;
    }
    // Those in this thread's cache and those handed to the stock alike, with
    // the links the class wrote into them.
    for (std::size_t i = 0; i < kProbes; ++i)
    {
        EXPECT_EQ(0u, OpenBytes(probes[i])) << "freed block " << i;
    }
    for (std::size_t i = 0; i < kProbes; ++i)
    {
        probes[i] = new Probe;
        EXPECT_EQ(1u, freed.count(probes[i])) << "block " << i << " is not a reused one";
        EXPECT_EQ(sizeof(Probe), OpenBytes(probes[i])) << "reused block " << i;
    }
    for (Probe* probe : probes)
    {
        delete probe;
    }
#endif
}

} // namespace
