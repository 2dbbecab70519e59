// The packed copies of small held payloads: each keeps its bytes and its size
// for as long as it is held, whoever lets go first and on whatever thread, and
// stays within the room it was given.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "velquin/Common/CrossPlatform/Network/NetworkPayloadPacks.h"

namespace
{

TEST(NetworkPayloadPacks, CopiesOutliveThePackerAndEachOtherInAnyOrder)
{
    // Sizes from empty to the largest packed, over many blocks.
    std::vector<std::size_t> sizes;
    for (std::size_t size = 0; size <= NetworkPayloadPacks::kMostPayloadBytes; size += 37)
    {
        sizes.push_back(size);
    }
    sizes.push_back(NetworkPayloadPacks::kMostPayloadBytes);
    std::vector<KT::RCPtr<KT::LIBuffer>> copies;
    {
        NetworkPayloadPacks packs;
        for (int round = 0; round < 4; ++round)
        {
            for (std::size_t size : sizes)
            {
                const std::vector<unsigned char> bytes(size, static_cast<unsigned char>(size + round));
                copies.push_back(packs.Copy(bytes.data(), size));
            }
        }
    }
    // Every other copy goes on another thread; the rest must be untouched.
    std::vector<KT::RCPtr<KT::LIBuffer>> released;
    for (std::size_t i = 1; i < copies.size(); i += 2)
    {
        released.push_back(copies[i]);
        copies[i].SetNull();
    }
    std::thread([&] { released.clear(); }).join();
    for (std::size_t i = 0; i < copies.size(); i += 2)
    {
        const std::size_t size = sizes[i % sizes.size()];
        const auto expected = static_cast<unsigned char>(size + i / sizes.size());
        KT::LIBuffer& copy = *copies[i];
        ASSERT_EQ(copy.GetSizeBytes(), size) << i;
        const auto* bytes = static_cast<const unsigned char*>(copy.GetRawPtr());
        for (std::size_t at = 0; at < size; ++at)
        {
            ASSERT_EQ(bytes[at], expected) << i << " at " << at;
        }
    }

    // A copy shrinks and grows back within its room, no further; its copy
    // on the heap may grow.
    KT::LIBuffer& last = *copies[(copies.size() - 1) / 2 * 2];
    const std::size_t room = last.GetAllocatedSize();
    EXPECT_EQ(last.SetSizeBytes(1), 1u);
    EXPECT_EQ(last.ResizeBytes(room), room);
    EXPECT_THROW(last.ResizeBytes(room + 1), std::bad_alloc);
    KT::RCPtr<KT::LIBuffer> grown = last.CreateCopy(room + 10, 0);
    EXPECT_EQ(grown->ResizeBytes(room + 20), room + 20);
    EXPECT_EQ(static_cast<const unsigned char*>(grown->GetRawPtr())[0],
              static_cast<const unsigned char*>(last.GetRawPtr())[0]);
}

} // namespace
