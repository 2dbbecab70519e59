// What the uninstaller's authorization stand-in learns about processes: when a
// process started (so a reused process ID is told apart from the process that
// made a reference) and unpredictable bytes from the kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace Uninstaller::Platform
{

// The start time of process pid in clock ticks since boot: field 22 of
// /proc/PID/stat, counted after the last ")" because the command name in field
// 2 may itself hold spaces and parentheses. 0 or an errno (EINVAL for a
// record that cannot be read).
[[nodiscard]] int ReadProcessStartTime(pid_t pid, std::uint64_t& startTime);

// Fills bytes from the kernel's random source; 0 or an errno.
[[nodiscard]] int FillRandomBytes(unsigned char* bytes, std::size_t size);

} // namespace Uninstaller::Platform
