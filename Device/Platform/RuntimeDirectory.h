// The per-user directory under which the message ports and the notification
// sockets live: "$XDG_RUNTIME_DIR/velquin/", else "velquin-<uid>/" in the
// system's temporary directory. It is made with mode 0700 and refused when
// another user owns it or its group or others may enter it. The path is
// resolved once per process and kept in storage that is never destroyed, so
// exit-time work can still use it. Any thread may call these.
#pragma once

#include <string>

namespace KT::Platform
{

// The directory's path with a trailing "/", made when missing; empty when it
// cannot be made or fails the ownership and mode checks.
std::string GetRuntimeDirectory();

// A subdirectory ("ports", "notify") of the runtime directory, made and
// checked like it; its path with a trailing "/", or empty on failure.
std::string GetRuntimeSubdirectory(const char* name);

// For tests in one process: resolves the directory again as if
// XDG_RUNTIME_DIR were xdgRuntimeDir (null: read the environment again).
void ResetRuntimeDirectoryForTesting(const char* xdgRuntimeDir);

} // namespace KT::Platform
