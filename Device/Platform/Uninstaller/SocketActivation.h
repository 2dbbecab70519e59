// Takes over the listening socket that the service manager passed in when it
// started the helper on demand: exactly one descriptor (LISTEN_FDS=1) meant
// for this process (LISTEN_PID is its own ID), at 3, a listening local stream
// socket. The socket is made close-on-exec, so no script the helper runs
// inherits it, and the variables are removed from the environment.
#pragma once

#include "Platform/Uninstaller/FileDescriptor.h"

#include <string>

namespace Uninstaller::Platform
{

inline constexpr int kFirstActivatedDescriptor = 3;

// True with listener set; false with problem saying why not.
[[nodiscard]] bool TakeActivatedListener(FileDescriptor& listener, std::string& problem);

} // namespace Uninstaller::Platform
