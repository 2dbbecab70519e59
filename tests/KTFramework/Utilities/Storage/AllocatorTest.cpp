#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "KTFramework/Utilities/Storage/Allocator.h"

using namespace KT;

namespace
{

// Taken while this file's static objects are constructed, before main.
struct EarlyGetter
{
    EarlyGetter() : mAllocator(GetSystemAllocator())
    {
        void* block = mAllocator->Alloc(8);
        mUsable = block != nullptr;
        mAllocator->Free(block);
    }
    IAllocator* mAllocator;
    bool mUsable = false;
};
EarlyGetter gEarly;

} // namespace

TEST(SystemAllocator, IsOneObjectForEveryCallerAndThread)
{
    IAllocator* main = GetSystemAllocator();
    EXPECT_EQ(main, SystemAllocator::GetAllocator());
    EXPECT_EQ(main, gEarly.mAllocator);
    EXPECT_TRUE(gEarly.mUsable);

    std::vector<IAllocator*> seen(4, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i)
    {
        threads.emplace_back([&seen, i] { seen[i] = GetSystemAllocator(); });
    }
    for (auto& thread : threads)
    {
        thread.join();
    }
    for (IAllocator* allocator : seen)
    {
        EXPECT_EQ(main, allocator);
    }
}

TEST(SystemAllocator, ForwardsToTheCHeap)
{
    IAllocator* allocator = GetSystemAllocator();
    allocator->Free(nullptr);

    // Realloc of null allocates; the content survives growth.
    char* block = static_cast<char*>(allocator->Realloc(nullptr, 4));
    ASSERT_NE(nullptr, block);
    std::memcpy(block, "abc", 4);
    block = static_cast<char*>(allocator->Realloc(block, 4096));
    ASSERT_NE(nullptr, block);
    EXPECT_STREQ("abc", block);

    // Whatever Realloc to 0 answers is a valid argument for Free.
    allocator->Free(allocator->Realloc(block, 0));

    unsigned char* zeroed = static_cast<unsigned char*>(allocator->Calloc(16, 4));
    ASSERT_NE(nullptr, zeroed);
    for (int i = 0; i < 64; ++i)
    {
        EXPECT_EQ(0, zeroed[i]) << "byte " << i;
    }
    allocator->Free(zeroed);
}
