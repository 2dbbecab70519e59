// KT::DeferredName: a name kept as what it is made from (a printf format and
// up to three unsigned values) and formatted only when read. A thread pool
// names its worker after each job it runs; a job that gives its name this way
// costs the pool no formatting and no allocation per job. A plain value,
// copied freely; its format must outlive it (a string literal).
#pragma once

#include <cstdint>

#include "KTFramework/Utilities/Storage/StringT.h"

namespace KT
{

class DeferredName
{
public:
    constexpr DeferredName() noexcept = default;
    // format takes the three values as %u, in order; it may use fewer.
    constexpr DeferredName(const char* format, std::uint32_t first, std::uint32_t second,
                           std::uint32_t third) noexcept
        : mFormat(format), mValues{first, second, third}
    {
    }

    bool IsEmpty() const noexcept { return mFormat == nullptr; }
    // The formatted text; the empty string for an empty name.
    StringT<char, unsigned short> ToString() const;

private:
    const char* mFormat = nullptr;
    std::uint32_t mValues[3] = {};
};

} // namespace KT
