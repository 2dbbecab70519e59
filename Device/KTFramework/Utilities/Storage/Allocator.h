// The framework's memory-allocation interface and its one implementation on the
// C heap. Buffers choose their allocator at compile time through a getter
// function passed as a template argument; the whole system passes
// GetSystemAllocator. The system allocator is stateless and lives for the whole
// process.
#pragma once

#include <cstddef>

namespace KT
{

// An allocator is never destroyed through this interface: its destructor is
// protected and not virtual, so the interface adds no destructor to the
// dispatch table.
class IAllocator
{
public:
    virtual void* Alloc(std::size_t size) = 0;
    virtual void* Calloc(std::size_t count, std::size_t size) = 0;
    virtual void* Realloc(void* block, std::size_t size) = 0;
    virtual void Free(void* block) = 0;

protected:
    ~IAllocator() = default;
};

// Forwards every call to the C heap unchanged, a null result included.
class SystemAllocator final : public IAllocator
{
public:
    constexpr SystemAllocator() noexcept = default;

    void* Alloc(std::size_t size) override;
    void* Calloc(std::size_t count, std::size_t size) override;
    void* Realloc(void* block, std::size_t size) override;
    void Free(void* block) override;

    static IAllocator* GetAllocator() noexcept;
};

// The getter every buffer in the system is given.
IAllocator* GetSystemAllocator() noexcept;

// The type of a buffer's AllocatorGetter template argument; a getter may be
// noexcept or not.
using AllocatorGetterFn = IAllocator* (*)();

} // namespace KT
