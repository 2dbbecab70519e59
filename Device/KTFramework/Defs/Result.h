// Result codes of the framework: signed 32-bit values, 0 or more for success
// (often a count, an index or a size), negative for failure. Every code that a
// framework operation returns is named here, and so is every result of a wait
// on events; headers and comments use these names. Operations that return a
// code are [[nodiscard]]: a caller looks at it, or says with a cast to void why
// it need not.
#pragma once

#include <cstdint>

namespace KT
{

// Done.
constexpr int RESULT_OK = 0;
// Done, and the answer is no: already registered, not registered, nobody to
// deliver to, nothing locked.
constexpr int RESULT_FALSE = 1;
// An argument, index, position or range lies outside what the object holds, or
// is of the wrong kind.
constexpr int RESULT_INVALID_ARGUMENT = static_cast<int>(0x80000003u);
// The operation did not complete: malformed or short input, too little space,
// nothing to remove, references that should be gone remain.
constexpr int RESULT_FAILED = static_cast<int>(0x80000008u);
// An array variant has no readable element at the index asked for, or the
// variant is no array.
constexpr int RESULT_NO_ELEMENT = -1;
// A parameter list has no entry at the index asked for.
constexpr int RESULT_NO_SUCH_ENTRY = -4;
// A parameter list's entry is not of the form [value, ID, descriptor].
constexpr int RESULT_MALFORMED_ENTRY = -7;

struct Result
{
    static constexpr bool Succeeded(int result) noexcept { return result >= 0; }
    static constexpr bool Failed(int result) noexcept { return result < 0; }
};

// Results of waits on events and event pools: 0 (or the index of the event
// that ended the wait) when signalled, otherwise one of these.
namespace Wait
{
inline constexpr unsigned int OBJECT_ABANDONED = 0x100;
inline constexpr unsigned int OBJECT_ABANDONED_AT_INDEX = 0x100;
// The time limit passed first.
inline constexpr unsigned int TIMED_OUT = 0x102;
// A wait for no events at all (an empty mask or pool) returns this at once.
inline constexpr unsigned int EMPTY_WAIT = 0xFFFFFFFFu;
} // namespace Wait

} // namespace KT
