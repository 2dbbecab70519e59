// Ticks of 1/60 s on the monotonic clock, in place of the operating system's
// tick count and delay, for waits measured in ticks (the device helper's
// start-up). Tests install a fake tick source whose Delay advances virtual
// ticks instead of sleeping. Any thread may call these.
#pragma once

#include <cstdint>

namespace KT::Platform
{

inline constexpr std::uint32_t kTicksPerSecond = 60;

class ITickSource
{
public:
    virtual ~ITickSource() = default;
    // Ticks since an arbitrary origin; wraps after about 2.3 years.
    virtual std::uint32_t TickCount() = 0;
    // Waits ticks ticks; *finalTicks (when not null) receives the count then.
    virtual void Delay(std::uint32_t ticks, std::uint32_t* finalTicks) = 0;
};

std::uint32_t TickCount();
void Delay(std::uint32_t ticks, std::uint32_t* finalTicks);

// Installs a tick source for tests (null restores the monotonic clock); it
// must outlive its use.
void SetTickSourceForTesting(ITickSource* source);

} // namespace KT::Platform
