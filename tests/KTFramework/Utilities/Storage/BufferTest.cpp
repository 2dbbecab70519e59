#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "KTFramework/Utilities/Storage/Buffer.h"

using namespace KT;

namespace
{

// Stand-in for the network layer's message header: the send buffer's pointer type.
struct MessageHeaderStandIn
{
    unsigned char bytes[52];
};

// The reference-counted instances the system uses.
using StringBuffer = LBufferT<1, 128>;
using ByteBuffer = LBufferT<1, 0>;
using DeviceMessageBuffer = LBufferT<2048, 2048>;
using SendBuffer = LBufferT<4096, 4294967295u, 8, MessageHeaderStandIn*>;

template <class B>
RCPtr<LIBuffer> Make(std::size_t size, std::size_t reserve)
{
    return B::Create(size, reserve, true);
}

enum class Op
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
    std::size_t size;
    std::size_t reserve;
    std::size_t allocatedAtStart;
    std::vector<Step> steps;
};

// The content of [0, n) is 0, 1, 2, ... modulo 251.
void Pattern(IBuffer& buffer)
{
    unsigned char* bytes = buffer.GetPtr<unsigned char>();
    for (std::size_t i = 0; i < buffer.GetSizeBytes(); ++i)
    {
        bytes[i] = static_cast<unsigned char>(i % 251);
    }
}

bool HoldsPattern(IBuffer& buffer, std::size_t count)
{
    const unsigned char* bytes = buffer.GetPtr<unsigned char>();
    for (std::size_t i = 0; i < count; ++i)
    {
        if (bytes[i] != static_cast<unsigned char>(i % 251))
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
    const std::vector<SizingCase> cases = {
        {"string 200 allocated, shrink within then beyond the slack", Make<StringBuffer>, 200, 0, 200,
         {{Op::Resize, 100, 200}, {Op::Resize, 50, 50}, {Op::Resize, 51, 51}}},
        {"string reserve within the slack stays", Make<StringBuffer>, 10, 100, 100, {{Op::Resize, 0, 100}}},
        {"string shrink to 0 within the slack keeps the block", Make<StringBuffer>, 100, 0, 100,
         {{Op::Resize, 0, 100}, {Op::Resize, 80, 100}, {Op::Set, 0, 0}}},
        {"string set to another size takes a new block", Make<StringBuffer>, 100, 0, 100,
         {{Op::Set, 100, 100}, {Op::Set, 99, 99}, {Op::Set, 300, 300}}},
        {"bytes: every shrink reallocates", Make<ByteBuffer>, 10, 0, 10,
         {{Op::Resize, 9, 9}, {Op::Resize, 9, 9}, {Op::Resize, 12, 12}, {Op::Resize, 0, 0}, {Op::Resize, 5, 5}}},
        {"bytes: a reserve beyond the limit is given back", Make<ByteBuffer>, 0, 100, 0, {{Op::Resize, 3, 3}}},
        {"bytes: empty buffer resizes as it sets", Make<ByteBuffer>, 0, 0, 0, {{Op::Resize, 7, 7}, {Op::Set, 0, 0}}},
        {"device message 2048: shrink to 1 keeps, growth rounds", Make<DeviceMessageBuffer>, 2048, 0, 2048,
         {{Op::Resize, 1, 2048}, {Op::Resize, 2049, 4096}, {Op::Resize, 1, 2048}}},
        {"device message 2048: set keeps an equal rounded size", Make<DeviceMessageBuffer>, 4096, 0, 4096,
         {{Op::Set, 3000, 4096}, {Op::Set, 5000, 6144}, {Op::Set, 0, 0}}},
        {"device message 2048: a 1-byte buffer holds a granule", Make<DeviceMessageBuffer>, 1, 0, 2048,
         {{Op::Resize, 0, 2048}}},
        {"send buffer: grows in 4096 steps, never shrinks", Make<SendBuffer>, 52, 0, 4096,
         {{Op::Resize, 5000, 8192}, {Op::Resize, 1, 8192}, {Op::Resize, 0, 8192}, {Op::Resize, 8193, 12288},
          {Op::Set, 100, 4096}, {Op::Set, 0, 0}}},
    };

    for (const SizingCase& c : cases)
    {
        RCPtr<LIBuffer> buffer = c.make(c.size, c.reserve);
        ASSERT_FALSE(!buffer) << c.name;
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
                step.op == Op::Set ? buffer->SetSizeBytes(step.n) : buffer->ResizeBytes(step.n);
            EXPECT_EQ(step.n, result) << c.name << ", step " << s;
            EXPECT_EQ(step.n, buffer->GetSizeBytes()) << c.name << ", step " << s;
            EXPECT_EQ(step.allocated, buffer->GetAllocatedSize()) << c.name << ", step " << s;
            // Resizes keep what fits; a set keeps the bytes only when it keeps the block.
            if (step.op == Op::Resize || step.allocated == allocatedBefore)
            {
                EXPECT_TRUE(HoldsPattern(*buffer, std::min(before, step.n))) << c.name << ", step " << s;
            }
        }
    }
}

TEST(BufferT, GranuleEightKeepsTheBlockForShrinksBelowAGranule)
{
    BufferT<8, 0, 8, unsigned long*> slots(16);
    EXPECT_EQ(16u, slots.GetAllocatedSize());
    const unsigned long* data = slots.GetData();
    EXPECT_EQ(9, static_cast<long>(slots.ResizeBytes(9)));
    EXPECT_EQ(16u, slots.GetAllocatedSize());
    EXPECT_EQ(data, slots.GetData());
    slots.ResizeBytes(8);
    EXPECT_EQ(8u, slots.GetAllocatedSize());
    EXPECT_EQ(1u, slots.GetSize<unsigned long>());
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
        unsigned char after[6]; // the 6 bytes, all 0xAA before the fill
    };
    const std::size_t end = 6;
    const FillCase cases[] = {
        {"N at the end, to the end", false, end, -1, 0, {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
        {"N past the end, to the end", false, end + 1, -1, RESULT_INVALID_ARGUMENT, {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
        {"N one byte too many", false, 0, 7, RESULT_INVALID_ARGUMENT, {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
        {"N count 0 inside", false, 2, 0, 0, {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
        {"N two bytes", false, 3, 2, 0, {0xAA, 0xAA, 0xAA, 0x5C, 0x5C, 0xAA}},
        {"N from 4 to the end", false, 4, -1, 0, {0xAA, 0xAA, 0xAA, 0xAA, 0x5C, 0x5C}},
        {"N offset that would wrap", false, SIZE_MAX, 2, RESULT_INVALID_ARGUMENT, {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
        {"N count that would wrap", false, 1, LONG_MAX, RESULT_INVALID_ARGUMENT, {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
        {"N offset and count whose sum wraps", false, static_cast<std::size_t>(LONG_MAX) + 3, LONG_MAX,
         RESULT_INVALID_ARGUMENT, {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
        {"W from 1 to the end", true, 1, -1, 0, {0xAA, 0x34, 0x12, 0x34, 0x12, 0xAA}},
        {"W three units fit", true, 0, 3, 0, {0x34, 0x12, 0x34, 0x12, 0x34, 0x12}},
        {"W four units do not", true, 0, 4, RESULT_INVALID_ARGUMENT, {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
        {"W three units from 1 do not", true, 1, 3, RESULT_INVALID_ARGUMENT, {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
        {"W at the end", true, end, -1, 0, {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
        {"W past the end", true, end + 1, 0, RESULT_INVALID_ARGUMENT, {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
        {"W count that would wrap", true, 0, LONG_MAX, RESULT_INVALID_ARGUMENT, {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
    };
    for (const FillCase& c : cases)
    {
        RCPtr<LIBuffer> buffer = ByteBuffer::Create(end, 0, true);
        buffer->FillN(static_cast<char>(0xAA), 0, -1);
        const int result =
            c.wide ? buffer->FillW(0x1234, c.offset, c.count) : buffer->FillN(0x5C, c.offset, c.count);
        EXPECT_EQ(c.result, result) << c.name;
        EXPECT_EQ(0, std::memcmp(c.after, buffer->GetRawPtr(), end)) << c.name;
    }

    // The 4-byte case: one unit at bytes 1 and 2, byte 3 untouched.
    RCPtr<LIBuffer> four = ByteBuffer::Create(4, 0, true);
    EXPECT_EQ(0, four->FillW(0xBEEF, 1, -1));
    const unsigned char expected[4] = {0x00, 0xEF, 0xBE, 0x00};
    EXPECT_EQ(0, std::memcmp(expected, four->GetRawPtr(), 4));
    EXPECT_EQ(RESULT_INVALID_ARGUMENT, four->FillW(0xBEEF, 0, 3));

    // An empty buffer: filling nothing at offset 0 succeeds.
    RCPtr<LIBuffer> empty = ByteBuffer::Create(0, 0, true);
    EXPECT_EQ(0, empty->FillN(1, 0, -1));
    EXPECT_EQ(0, empty->FillW(1, 0, 0));
    EXPECT_EQ(RESULT_INVALID_ARGUMENT, empty->FillN(1, 0, 1));
}

TEST(IBuffer, TypedAccessCountsBytesAndRefusesRangesThatDoNotFit)
{
    RCPtr<LIBuffer> buffer = ByteBuffer::Create(7, 0, true);
    const std::size_t s = buffer->GetSizeBytes();
    unsigned char* base = buffer->GetPtr<unsigned char>();
    EXPECT_EQ(static_cast<void*>(base + s - 4), buffer->GetPtr<unsigned int>(s - 4));
    EXPECT_EQ(nullptr, buffer->GetPtr<unsigned int>(s - 3));
    EXPECT_EQ(nullptr, buffer->GetPtr<unsigned int>(SIZE_MAX - 1));
    EXPECT_EQ(nullptr, buffer->GetPtr<char>(s));
    EXPECT_NE(nullptr, buffer->GetPtr<char>(s - 1));
    EXPECT_EQ(1u, buffer->GetSize<unsigned int>());
    EXPECT_EQ(7u, buffer->GetSize<char>());

    const LIBuffer& constant = *buffer;
    EXPECT_EQ(static_cast<const void*>(base + 2), constant.GetPtr<unsigned short>(2));

    EXPECT_EQ(3, buffer->Resize<unsigned int>(3));
    EXPECT_EQ(12u, buffer->GetSizeBytes());
    EXPECT_EQ(5, buffer->SetSize<unsigned char>(5));
    EXPECT_EQ(5u, buffer->GetSizeBytes());
    EXPECT_THROW(buffer->Resize<unsigned int>(SIZE_MAX / 2), std::bad_alloc);
    EXPECT_EQ(5u, buffer->GetSizeBytes());
}

TEST(LBufferT, CreateCopyGivesTheWindowPaddedWithZeros)
{
    const unsigned char source[6] = {1, 2, 3, 4, 5, 6};
    struct WindowCase
    {
        std::size_t newSize;
        std::size_t offset;
        std::vector<unsigned char> bytes;
    };
    const WindowCase cases[] = {
        {4, 2, {3, 4, 5, 6}},
        {2, 1, {2, 3}},
        {10, 0, {1, 2, 3, 4, 5, 6, 0, 0, 0, 0}},
        {4, 6, {0, 0, 0, 0}},
        {4, 10, {0, 0, 0, 0}},
        {4, SIZE_MAX, {0, 0, 0, 0}},
        {0, 0, {}},
    };
    RCPtr<LIBuffer> buffer = DeviceMessageBuffer::Create(6, 0, true);
    std::memcpy(buffer->GetRawPtr(), source, 6);
    for (const WindowCase& c : cases)
    {
        RCPtr<LIBuffer> copy = buffer->CreateCopy(c.newSize, c.offset);
        ASSERT_FALSE(!copy);
        ASSERT_EQ(c.bytes.size(), copy->GetSizeBytes()) << "window " << c.newSize << " at " << c.offset;
        EXPECT_TRUE(c.bytes.empty() || std::memcmp(c.bytes.data(), copy->GetRawPtr(), c.bytes.size()) == 0)
            << "window " << c.newSize << " at " << c.offset;
        EXPECT_EQ(1, copy->GetReferenceCount());
    }

    RCPtr<LRefCountedObject> whole = buffer->CreateCopy();
    RCPtr<LIBuffer> wholeBuffer = RCPtr<LIBuffer>::Downcast(whole);
    ASSERT_FALSE(!wholeBuffer);
    EXPECT_EQ(6u, wholeBuffer->GetSizeBytes());
    EXPECT_EQ(2048u, wholeBuffer->GetAllocatedSize());
    EXPECT_EQ(0, std::memcmp(source, wholeBuffer->GetRawPtr(), 6));
    EXPECT_NE(buffer->GetRawPtr(), wholeBuffer->GetRawPtr());
    EXPECT_EQ(2, whole->GetReferenceCount());
}

TEST(LBufferT, AnUnshareableBufferIsCopiedForASecondHolder)
{
    RCPtr<LIBuffer> owner = StringBuffer::Create(3, 0, true);
    std::memcpy(owner->GetRawPtr(), "ab", 3);
    owner->SetUnshareable(true);
    RCPtr<LIBuffer> second(owner);
    EXPECT_FALSE(second == owner);
    EXPECT_EQ(1, owner->GetReferenceCount());
    EXPECT_EQ(1, second->GetReferenceCount());
    EXPECT_TRUE(second->IsShareable());
    EXPECT_STREQ("ab", second->GetPtr<char>());
}

namespace
{

// Forwards to the C heap, counts blocks, and fails every call from a chosen one on.
class FailingAllocator : public IAllocator
{
public:
    void* Alloc(std::size_t size) override { return Admit() ? Track(std::malloc(size)) : nullptr; }
    void* Calloc(std::size_t count, std::size_t size) override
    {
        return Admit() ? Track(std::calloc(count, size)) : nullptr;
    }
    void* Realloc(void* block, std::size_t size) override
    {
        if (!Admit())
        {
            return nullptr;
        }
        if (block == nullptr)
        {
            return Track(std::realloc(block, size));
        }
        void* moved = std::realloc(block, size);
        if (moved == nullptr)
        {
            --mLive;
        }
        return moved;
    }
    void Free(void* block) override
    {
        if (block != nullptr)
        {
            --mLive;
        }
        std::free(block);
    }

    // Calls from now on: the first `allowed` succeed, the rest fail.
    void FailAfter(int allowed) { mAllowed = allowed; }
    void Heal() { mAllowed = -1; }
    int Live() const { return mLive; }

private:
    bool Admit()
    {
        if (mAllowed < 0)
        {
            return true;
        }
        if (mAllowed == 0)
        {
            return false;
        }
        --mAllowed;
        return true;
    }
    void* Track(void* block)
    {
        if (block != nullptr)
        {
            ++mLive;
        }
        return block;
    }

    int mAllowed = -1;
    int mLive = 0;
};

FailingAllocator gFailing;
IAllocator* GetFailingAllocator() noexcept
{
    return &gFailing;
}

using FallibleBuffer = LBufferT<16, 0, 8, char*, GetFailingAllocator>;

struct HealOnExit
{
    ~HealOnExit() { gFailing.Heal(); }
};

} // namespace

// A failed allocation throws std::bad_alloc and leaves the buffer as it was: the
// old block, its size, its allocation and its bytes.
TEST(BufferT, AFailedAllocationKeepsTheOldBlock)
{
    HealOnExit heal;
    const int liveAtStart = gFailing.Live();
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
            gFailing.FailAfter(0);
            IBuffer& asInterface = buffer;
            EXPECT_THROW((asInterface.*attempt.op)(attempt.n), std::bad_alloc) << attempt.name;
            gFailing.Heal();
            EXPECT_EQ(20u, buffer.GetSizeBytes()) << attempt.name;
            EXPECT_EQ(32u, buffer.GetAllocatedSize()) << attempt.name;
            EXPECT_EQ(data, buffer.GetData()) << attempt.name;
            EXPECT_TRUE(HoldsPattern(buffer, 20)) << attempt.name;
        }
        EXPECT_EQ(liveAtStart + 1, gFailing.Live());
    }
    EXPECT_EQ(liveAtStart, gFailing.Live());
}

TEST(BufferT, AFailedConstructionLeavesNothingAllocated)
{
    HealOnExit heal;
    const int liveAtStart = gFailing.Live();

    gFailing.FailAfter(0);
    EXPECT_THROW(FallibleBuffer::Create(10, 0, true), std::bad_alloc);
    // The reserve is taken, then giving its surplus back fails.
    gFailing.FailAfter(1);
    EXPECT_THROW(FallibleBuffer::Create(10, 100, true), std::bad_alloc);
    gFailing.FailAfter(0);
    EXPECT_THROW(FallibleBuffer::Create(0, 100, true), std::bad_alloc);
    gFailing.Heal();
    EXPECT_EQ(liveAtStart, gFailing.Live());

    // A shrink to 0 beyond the limit hands the block to Realloc; whatever comes
    // back is freed later.
    {
        RCPtr<LIBuffer> buffer = FallibleBuffer::Create(40, 0, true);
        EXPECT_EQ(0u, buffer->ResizeBytes(0));
        EXPECT_EQ(0u, buffer->GetAllocatedSize());
        EXPECT_EQ(5u, buffer->ResizeBytes(5));
        EXPECT_EQ(16u, buffer->GetAllocatedSize());
    }
    EXPECT_EQ(liveAtStart, gFailing.Live());
}
