#include "KTFramework/Utilities/Storage/Allocator.h"

#include <cstdlib>

namespace KT
{

void* SystemAllocator::Alloc(std::size_t size)
{
    return std::malloc(size);
}

void* SystemAllocator::Calloc(std::size_t count, std::size_t size)
{
    return std::calloc(count, size);
}

void* SystemAllocator::Realloc(void* block, std::size_t size)
{
    return std::realloc(block, size);
}

void SystemAllocator::Free(void* block)
{
    std::free(block);
}

IAllocator* SystemAllocator::GetAllocator() noexcept
{
    // Constant-initialised and trivially destructible: it exists before any static
    // constructor runs and is still there for buffers freed by static destructors.
    static constinit SystemAllocator sSystemAllocator;
    return &sSystemAllocator;
}

IAllocator* GetSystemAllocator() noexcept
{
    return SystemAllocator::GetAllocator();
}

} // namespace KT
