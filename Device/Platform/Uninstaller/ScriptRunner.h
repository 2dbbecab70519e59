// Runs the uninstall script as the helper's own user (root) and collects what
// it prints. Only a script that passes the checks is run, and it is run from
// the very descriptor that was checked, so the file cannot be swapped between
// check and launch:
//   - the path is absolute, and "/" and every folder on the way are safe;
//   - the file (never a link) is a regular, safe, executable file.
// The child gets /dev/null as input, one pipe for both output and error, the
// environment PATH=/usr/sbin:/usr/bin:/sbin:/bin only, "/" as its folder,
// default and unblocked signals, and no descriptor of ours beyond 0 to 3 (3 is
// the script itself, which an interpreter named by "#!" opens by its
// /dev/fd path).
#pragma once

#include "Platform/Uninstaller/FileDescriptor.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace Uninstaller::Platform
{

inline constexpr char kScriptEnvironmentPath[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

struct ScriptLimits
{
    // Output beyond this many bytes is read and dropped.
    std::size_t outputLimit = 1024 * 1024;
    // After the script has ended, its output is read for at most this long:
    // a child it left behind may hold the pipe open indefinitely.
    std::chrono::milliseconds drainTime{2000};
};

struct ScriptRun
{
    bool signalled = false; // ended by a signal rather than by exiting
    int status = 0;         // exit status, or the signal's number
    std::vector<unsigned char> output;
    bool truncated = false; // output beyond the limit was dropped
};

// Opens and checks the script at path (null for none). Errors: EINVAL (no or
// relative path), ENOENT, EPERM (an unsafe folder or file, or a link), EACCES
// (not a regular file, or not executable), or another errno of the walk.
[[nodiscard]] int OpenCheckedScript(const char* path, FileDescriptor& script);

// Launches a script opened by OpenCheckedScript, named path to itself, and
// waits for it to end and its output to be read. An errno when it could not be
// started (ENOEXEC for a file the kernel cannot run, ENOENT for a missing
// interpreter ...), with nothing left running.
[[nodiscard]] int RunCheckedScript(const FileDescriptor& script, const std::string& path,
                                   const ScriptLimits& limits, ScriptRun& run);

} // namespace Uninstaller::Platform
