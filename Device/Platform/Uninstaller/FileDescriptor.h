// Owned file descriptors, and the whole-buffer reads and writes the
// uninstaller's file handling shares. Errors are errno values, 0
// meaning success, so callers can pass them on to a peer unchanged.
#pragma once

#include "Platform/UnixSocket.h"

#include <cstddef>
#include <vector>

namespace Uninstaller::Platform
{

// The descriptor owner of the platform layer: closes what it holds when it goes.
using FileDescriptor = KT::Platform::ScopedFd;

// Reads a regular file from its current offset to its end; EFBIG when it holds
// more than maxBytes, EINVAL when it is not a regular file.
[[nodiscard]] int ReadAll(int fd, std::size_t maxBytes, std::vector<unsigned char>& bytes);

// Writes every byte, retrying short and interrupted writes.
[[nodiscard]] int WriteAll(int fd, const void* data, std::size_t size);

} // namespace Uninstaller::Platform
