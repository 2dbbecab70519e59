// Result codes of the framework: signed 32-bit values, 0 or more for success
// (often a count, an index or a size), negative for failure.
#pragma once

#include <cstdint>

namespace KT
{

// An argument, index, position or range lies outside what the object holds, or
// is of the wrong kind.
constexpr int RESULT_INVALID_ARGUMENT = static_cast<int>(0x80000003u);
// The operation did not complete: malformed or short input, too little space,
// nothing to remove, references that should be gone remain.
constexpr int RESULT_FAILED = static_cast<int>(0x80000008u);

struct Result
{
    static constexpr bool Succeeded(int result) noexcept { return result >= 0; }
    static constexpr bool Failed(int result) noexcept { return result < 0; }
};

} // namespace KT
