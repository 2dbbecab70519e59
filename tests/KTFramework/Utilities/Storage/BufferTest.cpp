#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "KTFramework/Utilities/Storage/Buffer.h"

// Result codes that a test does not judge (set-up steps, and calls whose effect
// it checks another way) are cast to void.

using namespace KT;

namespace
{

// Stand-in for the network layer's message header: the send buffer's pointer type.
struct MessageHeaderStandIn
{
    unsigned char bytes[52];
};

template <class B>
RCPtr<LIBuffer> Make(std::size_t size, std::size_t reserve)
{
    return B::Create(size, reserve, true);
}

// Bytes 0, 1, 2, ... modulo 251 over the whole size.
void Pattern(IBuffer& buffer)
{
    for (std::size_t i = 0; i < buffer.GetSizeBytes(); ++i)
    {
        buffer.GetPtr<unsigned char>()[i] = static_cast<unsigned char>(i % 251);
    }
}

bool HoldsPattern(IBuffer& buffer, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
    {
        if (buffer.GetPtr<unsigned char>()[i] != static_cast<unsigned char>(i % 251))
        {
            return false;
        }
    }
    return true;
}

} // namespace

// Allocations grow by the granule and shrink only beyond the limit (the larger of
// the slack and the granule less one); a change of allocation is a new block.
TEST(LBufferT, RoundsAndKeepsSlackForEveryInstance)
{
    enum Op
    {
        Set,
        Resize
    };
    struct Step
    {
        Op op;
        std::size_t n;
        std::size_t allocated; // expected afterwards; the size is always n
    };
    struct SizingCase
    {
        const char* name;
        RCPtr<LIBuffer> (*make)(std::size_t, std::size_t);
        std::size_t size, reserve, allocatedAtStart;
        std::vector<Step> steps;
    };
    using Strings = LBufferT<1, 128>;
    using Bytes = LBufferT<1, 0>;
    using DeviceMessage = LBufferT<2048, 2048>;
    using Send = LBufferT<4096, 4294967295u, 8, MessageHeaderStandIn*>;
    using Slots = LBufferT<8, 0, 8, unsigned long*>;
    const std::vector<SizingCase> cases = {
        {"1/128: 200 shrunk within, then beyond the slack",
         Make<Strings>,
         200,
         0,
         200,
         {{Resize, 100, 200}, {Resize, 50, 50}, {Resize, 51, 51}}},
        {"1/128: a reserve within the slack stays", Make<Strings>, 10, 100, 100, {{Resize, 0, 100}}},
        {"1/128: resize to 0 keeps, set to 0 frees",
         Make<Strings>,
         100,
         0,
         100,
         {{Resize, 0, 100}, {Resize, 80, 100}, {Set, 0, 0}}},
        {"1/128: set takes a new block unless the size is the allocation",
         Make<Strings>,
         100,
         0,
         100,
         {{Set, 100, 100}, {Set, 99, 99}, {Set, 300, 300}}},
        {"1/0: every shrink reallocates",
         Make<Bytes>,
         10,
         0,
         10,
         {{Resize, 9, 9}, {Resize, 9, 9}, {Resize, 12, 12}, {Resize, 0, 0}, {Resize, 5, 5}}},
        {"1/0: a reserve beyond the limit is given back", Make<Bytes>, 0, 100, 0, {{Resize, 3, 3}}},
        {"1/0: an empty buffer resizes as it sets", Make<Bytes>, 0, 0, 0, {{Resize, 7, 7}, {Set, 0, 0}}},
        {"2048/2048: shrink to 1 keeps, growth rounds",
         Make<DeviceMessage>,
         2048,
         0,
         2048,
         {{Resize, 1, 2048}, {Resize, 2049, 4096}, {Resize, 1, 2048}, {Resize, 0, 2048}}},
        {"2048/2048: set keeps an equal rounded size",
         Make<DeviceMessage>,
         4096,
         0,
         4096,
         {{Set, 3000, 4096}, {Set, 5000, 6144}, {Set, 0, 0}}},
        {"4096/2^32-1: grows by 4096, never shrinks",
         Make<Send>,
         52,
         0,
         4096,
         {{Resize, 5000, 8192},
          {Resize, 1, 8192},
          {Resize, 0, 8192},
          {Resize, 8193, 12288},
          {Set, 100, 4096}}},
        {"8/0: a shrink below a granule keeps",
         Make<Slots>,
         16,
         0,
         16,
         {{Resize, 9, 16}, {Resize, 8, 8}, {Resize, 1, 8}}},
    };

    for (const SizingCase& c : cases)
    {
        RCPtr<LIBuffer> buffer = c.make(c.size, c.reserve);
        EXPECT_EQ(c.size, buffer->GetSizeBytes()) << c.name;
        EXPECT_EQ(c.allocatedAtStart, buffer->GetAllocatedSize()) << c.name;
        for (std::size_t i = 0; i < c.size; ++i)
        {
            ASSERT_EQ(0, buffer->GetPtr<unsigned char>()[i]) << c.name << ": byte " << i << " not zeroed";
        }
        for (std::size_t s = 0; s < c.steps.size(); ++s)
        {
            const Step& step = c.steps[s];
            Pattern(*buffer);
            const std::size_t before = buffer->GetSizeBytes();
            const std::size_t allocatedBefore = buffer->GetAllocatedSize();
            const std::size_t result =
                step.op == Set ? buffer->SetSizeBytes(step.n) : buffer->ResizeBytes(step.n);
            EXPECT_EQ(step.n, result) << c.name << ", step " << s;
            EXPECT_EQ(step.n, buffer->GetSizeBytes()) << c.name << ", step " << s;
            EXPECT_EQ(step.allocated, buffer->GetAllocatedSize()) << c.name << ", step " << s;
            // A resize keeps what fits; a set keeps the bytes only when it keeps the block.
            if (step.op == Resize || step.allocated == allocatedBefore)
            {
                EXPECT_TRUE(HoldsPattern(*buffer, std::min(before, step.n))) << c.name << ", step " << s;
            }
        }
    }
}

TEST(IBuffer, FillsOnlyWithinTheSize)
{
    struct FillCase
    {
        const char* name;
        bool wide;
        std::size_t offset;
        long count;
        int result;
        const char* after; // the 6 bytes, "......" before the fill; N fills '#', W fills 0x6261 ("ab")
    };
    const FillCase cases[] = {
        {"N at the end, to the end", false, 6, -1, 0, "......"},
        {"N past the end, to the end", false, 7, -1, RESULT_INVALID_ARGUMENT, "......"},
        {"N one byte too many", false, 0, 7, RESULT_INVALID_ARGUMENT, "......"},
        {"N count 0 inside", false, 2, 0, 0, "......"},
        {"N two bytes", false, 3, 2, 0, "...##."},
        {"N from 4 to the end", false, 4, -1, 0, "....##"},
        {"N offset and count whose sum wraps", false, static_cast<std::size_t>(LONG_MAX) + 3, LONG_MAX,
         RESULT_INVALID_ARGUMENT, "......"},
        {"W from 1 to the end leaves the odd byte", true, 1, -1, 0, ".abab."},
        {"W three units fit", true, 0, 3, 0, "ababab"},
        {"W three units from 1 do not", true, 1, 3, RESULT_INVALID_ARGUMENT, "......"},
        {"W at the end", true, 6, -1, 0, "......"},
        {"W past the end", true, 7, 0, RESULT_INVALID_ARGUMENT, "......"},
        {"W count whose byte count wraps", true, 0, LONG_MAX, RESULT_INVALID_ARGUMENT, "......"},
    };
    for (const FillCase& c : cases)
    {
        RCPtr<LIBuffer> buffer = LBufferT<1, 0>::Create(6, 0, true);
        static_cast<void>(buffer->FillN('.', 0, -1));
        const int result =
            c.wide ? buffer->FillW(0x6261, c.offset, c.count) : buffer->FillN('#', c.offset, c.count);
        EXPECT_EQ(c.result, result) << c.name;
        EXPECT_EQ(0, std::memcmp(c.after, buffer->GetRawPtr(), 6)) << c.name;
    }

    RCPtr<LIBuffer> empty = LBufferT<1, 0>::Create(0, 0, true);
    EXPECT_EQ(0, empty->FillN(1, 0, -1));
    EXPECT_EQ(0, empty->FillW(1, 0, 0));
    EXPECT_EQ(RESULT_INVALID_ARGUMENT, empty->FillN(1, 0, 1));
}

TEST(IBuffer, TypedAccessCountsBytesAndRefusesRangesThatDoNotFit)
{
    RCPtr<LIBuffer> buffer = LBufferT<1, 0>::Create(7, 0, true);
    unsigned char* base = buffer->GetPtr<unsigned char>();
    EXPECT_EQ(static_cast<void*>(base + 3), buffer->GetPtr<unsigned int>(3));
    EXPECT_EQ(nullptr, buffer->GetPtr<unsigned int>(4));
    EXPECT_EQ(nullptr, buffer->GetPtr<unsigned int>(SIZE_MAX - 1));
    EXPECT_EQ(nullptr, buffer->GetPtr<char>(7));
    EXPECT_EQ(1u, buffer->GetSize<unsigned int>());
    const LIBuffer& constant = *buffer;
    EXPECT_EQ(static_cast<const void*>(base + 2), constant.GetPtr<unsigned short>(2));

    EXPECT_EQ(3, buffer->Resize<unsigned int>(3));
    EXPECT_EQ(12u, buffer->GetSizeBytes());
    EXPECT_EQ(5, buffer->SetSize<unsigned char>(5));
    EXPECT_THROW(buffer->Resize<unsigned int>(SIZE_MAX / 2), std::bad_alloc);
    EXPECT_EQ(5u, buffer->GetSizeBytes());
}

TEST(LBufferT, CreateCopyGivesTheWindowPaddedWithZeros)
{
    struct WindowCase
    {
        std::size_t newSize, offset;
        std::vector<unsigned char> bytes;
    };
    const WindowCase cases[] = {
        {4, 2, {3, 4, 5, 6}},        {10, 0, {1, 2, 3, 4, 5, 6, 0, 0, 0, 0}},
        {4, 6, {0, 0, 0, 0}},        {4, 10, {0, 0, 0, 0}},
        {4, SIZE_MAX, {0, 0, 0, 0}}, {0, 0, {}},
    };
    RCPtr<LIBuffer> source = LBufferT<2048, 2048>::Create(6, 0, true);
    const unsigned char bytes[6] = {1, 2, 3, 4, 5, 6};
    std::memcpy(source->GetRawPtr(), bytes, 6);
    for (const WindowCase& c : cases)
    {
        RCPtr<LIBuffer> copy = source->CreateCopy(c.newSize, c.offset);
        ASSERT_EQ(c.bytes.size(), copy->GetSizeBytes()) << "window " << c.newSize << " at " << c.offset;
        EXPECT_TRUE(c.bytes.empty() || std::memcmp(c.bytes.data(), copy->GetRawPtr(), c.bytes.size()) == 0)
            << "window " << c.newSize << " at " << c.offset;
    }

    RCPtr<LIBuffer> whole = RCPtr<LIBuffer>::Downcast(source->CreateCopy());
    ASSERT_FALSE(!whole);
    EXPECT_EQ(6u, whole->GetSizeBytes());
    EXPECT_EQ(2048u, whole->GetAllocatedSize());
    EXPECT_EQ(0, std::memcmp(bytes, whole->GetRawPtr(), 6));
    EXPECT_NE(source->GetRawPtr(), whole->GetRawPtr());
}

namespace
{

// Forwards to the C heap, counts live blocks, and fails every call once its
// allowance of successful calls is used up.
class FailingAllocator final : public IAllocator
{
public:
    void* Alloc(std::size_t size) override { return Admit() ? Count(std::malloc(size)) : nullptr; }
    void* Calloc(std::size_t count, std::size_t size) override
    {
        return Admit() ? Count(std::calloc(count, size)) : nullptr;
    }
    void* Realloc(void* block, std::size_t size) override
    {
        if (!Admit())
        {
            return nullptr;
        }
        mLive -= block != nullptr ? 1 : 0;
        return Count(std::realloc(block, size));
    }
    void Free(void* block) override
    {
        mLive -= block != nullptr ? 1 : 0;
        std::free(block);
    }

    int mAllowed = -1; // negative: no limit
    int mLive = 0;

private:
    bool Admit()
    {
        if (mAllowed == 0)
        {
            return false;
        }
        mAllowed -= mAllowed > 0 ? 1 : 0;
        return true;
    }
    void* Count(void* block)
    {
        mLive += block != nullptr ? 1 : 0;
        return block;
    }
};

FailingAllocator gFailing;
IAllocator* GetFailingAllocator() noexcept
{
    return &gFailing;
}

using FallibleBuffer = LBufferT<16, 0, 8, char*, GetFailingAllocator>;

struct HealOnExit
{
    ~HealOnExit() { gFailing.mAllowed = -1; }
};

} // namespace

// A failed allocation throws std::bad_alloc and leaves the buffer as it was: the
// old block, its size, its allocation and its bytes.
TEST(BufferT, AFailedAllocationKeepsTheOldBlock)
{
    HealOnExit heal;
    const int liveAtStart = gFailing.mLive;
    {
        FallibleBuffer buffer(20, 0, true);
        Pattern(buffer);
        char* const data = buffer.GetData();
        struct Attempt
        {
            const char* name;
            std::size_t (IBuffer::*op)(std::size_t);
            std::size_t n;
        };
        const Attempt attempts[] = {
            {"set larger", &IBuffer::SetSizeBytes, 100},
            {"set smaller", &IBuffer::SetSizeBytes, 3},
            {"resize larger", &IBuffer::ResizeBytes, 100},
            {"resize beyond the limit", &IBuffer::ResizeBytes, 3},
            {"set beyond what can be rounded", &IBuffer::SetSizeBytes, SIZE_MAX - 2},
            {"resize beyond what can be rounded", &IBuffer::ResizeBytes, SIZE_MAX - 2},
        };
        for (const Attempt& attempt : attempts)
        {
            gFailing.mAllowed = 0;
            IBuffer& asInterface = buffer;
            EXPECT_THROW((asInterface.*attempt.op)(attempt.n), std::bad_alloc) << attempt.name;
            gFailing.mAllowed = -1;
            EXPECT_EQ(20u, buffer.GetSizeBytes()) << attempt.name;
            EXPECT_EQ(32u, buffer.GetAllocatedSize()) << attempt.name;
            EXPECT_EQ(data, buffer.GetData()) << attempt.name;
            EXPECT_TRUE(HoldsPattern(buffer, 20)) << attempt.name;
        }
        EXPECT_EQ(liveAtStart + 1, gFailing.mLive);
    }
    EXPECT_EQ(liveAtStart, gFailing.mLive);
}

TEST(BufferT, AFailedConstructionLeavesNothingAllocated)
{
    HealOnExit heal;
    const int liveAtStart = gFailing.mLive;
    gFailing.mAllowed = 0;
    EXPECT_THROW(FallibleBuffer::Create(10, 0, true), std::bad_alloc);
    // The reserve is taken, then giving its surplus back fails.
    gFailing.mAllowed = 1;
    EXPECT_THROW(FallibleBuffer::Create(10, 100, true), std::bad_alloc);
    gFailing.mAllowed = -1;
    EXPECT_EQ(liveAtStart, gFailing.mLive);

    // A shrink to 0 beyond the limit hands the block to Realloc; whatever comes
    // back is freed later.
    {
        RCPtr<LIBuffer> buffer = FallibleBuffer::Create(40, 0, true);
        EXPECT_EQ(0u, buffer->ResizeBytes(0));
        EXPECT_EQ(0u, buffer->GetAllocatedSize());
        EXPECT_EQ(5u, buffer->ResizeBytes(5));
        EXPECT_EQ(16u, buffer->GetAllocatedSize());
    }
    EXPECT_EQ(liveAtStart, gFailing.mLive);
}
