// An owned file descriptor that closes itself, and the whole-buffer reads and
// writes the uninstaller's file handling shares. Errors are errno values, 0
// meaning success, so callers can pass them on to a peer unchanged.
#pragma once

#include <cstddef>
#include <vector>

namespace Uninstaller::Platform
{

class FileDescriptor
{
public:
    FileDescriptor() noexcept = default;
    explicit FileDescriptor(int fd) noexcept : mFd(fd) {}
    ~FileDescriptor() { Reset(); }

    FileDescriptor(FileDescriptor&& other) noexcept : mFd(other.Release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        if (this != &other)
        {
            Reset(other.Release());
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const noexcept { return mFd; }
    explicit operator bool() const noexcept { return mFd >= 0; }
    // Gives up ownership without closing.
    int Release() noexcept
    {
        const int fd = mFd;
        mFd = -1;
        return fd;
    }
    // Closes the held descriptor (if any) and holds fd instead.
    void Reset(int fd = -1) noexcept;

private:
    int mFd = -1;
};

// Reads a regular file from its current offset to its end; EFBIG when it holds
// more than maxBytes, EINVAL when it is not a regular file.
[[nodiscard]] int ReadAll(int fd, std::size_t maxBytes, std::vector<unsigned char>& bytes);

// Writes every byte, retrying short and interrupted writes.
[[nodiscard]] int WriteAll(int fd, const void* data, std::size_t size);

} // namespace Uninstaller::Platform
