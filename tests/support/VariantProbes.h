// Variants for tests: builders of values of each kind and of their record
// bytes, one that keeps its owned bytes in its own allocation and counts what
// passes through it, one that can hold the unowned pointer kinds that no
// setter makes.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <vector>

#include "KTFramework/Utilities/Storage/Variant.h"

namespace KT::Testing
{

// A scalar of the given kind from the low width bytes of bits.
inline Variant MakeScalar(Variant::Type type, uint64_t bits, size_t width)
{
    unsigned char bytes[8];
    for (size_t i = 0; i < 8; ++i)
    {
        bytes[i] = static_cast<unsigned char>(bits >> (8 * i));
    }
    Variant v;
    EXPECT_EQ(type, v.Set(type, bytes, width));
    return v;
}

inline Variant MakeFloat(float value)
{
    Variant v;
    v.Set(Variant::TYPE_FLOAT, &value, sizeof(value));
    return v;
}

inline Variant MakeDouble(double value)
{
    Variant v;
    v.Set(Variant::TYPE_DOUBLE, &value, sizeof(value));
    return v;
}

inline Variant MakeText(const char* text)
{
    Variant v;
    v.Set(text);
    return v;
}

inline Variant MakeArray(std::vector<Variant> items)
{
    Variant v;
    v.SetArray(items.data(), items.size());
    return v;
}

// The value's record, checked to be written whole.
inline std::vector<unsigned char> SerializeToBytes(const Variant& v)
{
    std::vector<unsigned char> out(Variant::GetSerializedSize(v));
    EXPECT_EQ(static_cast<int>(out.size()), Variant::Serialize(v, out.data(), out.size()));
    return out;
}

class CountingVariant : public Variant
{
public:
    struct Stats
    {
        int allocations = 0;
        int frees = 0;
        int foreignFrees = 0;
        size_t lastSize = 0;
        bool refuse = false;
        std::set<void*> live;
    };

    explicit CountingVariant(Stats* stats) : mStats(stats) {}
    // Built Empty first: the base copy constructor would allocate through the
    // base's AllocBuffer, before this class's dispatch table is in place.
    CountingVariant(const CountingVariant& other) : Variant(), mStats(other.mStats) { Set(other); }
    CountingVariant& operator=(const CountingVariant& other)
    {
        Set(other);
        return *this;
    }
    // The base destructor would reach only the base FreeBuffer.
    ~CountingVariant() override { Clear(); }

    void* AllocBuffer(size_t size) override
    {
        mStats->lastSize = size;
        if (mStats->refuse)
        {
            return nullptr;
        }
        ++mStats->allocations;
        // malloc, so that a release through the base's delete[] is reported.
        void* block = std::malloc(size != 0 ? size : 1);
        mStats->live.insert(block);
        return block;
    }

    void FreeBuffer(void* data) override
    {
        if (data == nullptr)
        {
            return;
        }
        ++mStats->frees;
        if (mStats->live.erase(data) == 0)
        {
            ++mStats->foreignFrees;
            return;
        }
        std::free(data);
    }

private:
    Stats* mStats;
};

class RawVariant : public Variant
{
public:
    // Holds a pointer kind over bytes that the caller keeps alive.
    void MakeUnowned(Type type, void* data, size_t size)
    {
        Clear();
        SetData(data);
        mSize = size;
        mType = type;
    }
};

} // namespace KT::Testing
