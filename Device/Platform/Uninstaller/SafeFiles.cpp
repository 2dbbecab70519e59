#include "Platform/Uninstaller/SafeFiles.h"

#include "Platform/Uninstaller/ProcessInfo.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace Uninstaller::Platform
{

namespace
{

constexpr mode_t kGroupOrOtherWrite = S_IWGRP | S_IWOTH;
constexpr mode_t kFolderMode = 0755;

std::vector<std::string_view> SplitComponents(std::string_view path)
{
    std::vector<std::string_view> components;
    while (!path.empty())
    {
        const std::size_t slash = path.find('/');
        const std::string_view component = path.substr(0, slash);
        if (!component.empty())
        {
            components.push_back(component);
        }
        if (slash == std::string_view::npos)
        {
            break;
        }
        path.remove_prefix(slash + 1);
    }
    return components;
}

// A failed open that met a link reports ELOOP, or ENOTDIR when a folder was
// asked for; both are told apart from a real non-folder here.
int OpenFailure(int parent, const std::string& name, int error)
{
    if (error == ELOOP)
    {
        return EPERM;
    }
    if (error == ENOTDIR)
    {
        struct stat info
        {
        };
        if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode))
        {
            return EPERM;
        }
    }
    return error;
}

int CheckFolder(int fd, uid_t trusted)
{
    struct stat info
    {
    };
    if (::fstat(fd, &info) != 0)
    {
        return errno;
    }
    return IsSafeFolder(info, trusted) ? 0 : EPERM;
}

bool IsTrustedOwner(uid_t owner, uid_t trusted) noexcept
{
    return owner == 0 || owner == trusted;
}

} // namespace

bool IsSafeFile(const struct stat& info, uid_t trusted) noexcept
{
    return IsTrustedOwner(info.st_uid, trusted) && (info.st_mode & kGroupOrOtherWrite) == 0;
}

bool IsSafeFolder(const struct stat& info, uid_t trusted) noexcept
{
    if (!S_ISDIR(info.st_mode) || !IsTrustedOwner(info.st_uid, trusted))
    {
        return false;
    }
    return (info.st_mode & kGroupOrOtherWrite) == 0 || (info.st_mode & S_ISVTX) != 0;
}

int OpenThroughSafeFolders(const std::string& absolutePath, FileDescriptor& file, struct stat& info,
                           uid_t trusted)
{
    file.Reset();
    if (absolutePath.empty() || absolutePath.front() != '/')
    {
        return EINVAL;
    }
    const std::vector<std::string_view> components = SplitComponents(absolutePath);
    if (components.empty())
    {
        return EINVAL;
    }
    FileDescriptor folder(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder)
    {
        return errno;
    }
    if (const int error = CheckFolder(folder.Get(), trusted); error != 0)
    {
        return error;
    }
    for (std::size_t index = 0; index + 1 < components.size(); ++index)
    {
        const std::string name(components[index]);
        FileDescriptor next(
            ::openat(folder.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next)
        {
            return OpenFailure(folder.Get(), name, errno);
        }
        if (const int error = CheckFolder(next.Get(), trusted); error != 0)
        {
            return error;
        }
        folder = std::move(next);
    }
    const std::string leaf(components.back());
    FileDescriptor opened(
        ::openat(folder.Get(), leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!opened)
    {
        return OpenFailure(folder.Get(), leaf, errno);
    }
    if (::fstat(opened.Get(), &info) != 0)
    {
        return errno;
    }
    file = std::move(opened);
    return 0;
}

int OpenOrMakeFolders(int baseFolder, std::string_view relativePath, FileDescriptor& folder)
{
    folder.Reset();
    FileDescriptor current(::fcntl(baseFolder, F_DUPFD_CLOEXEC, 0));
    if (!current)
    {
        return errno;
    }
    for (const std::string_view component : SplitComponents(relativePath))
    {
        const std::string name(component);
        constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        FileDescriptor next(::openat(current.Get(), name.c_str(), kFlags));
        if (!next && errno == ENOENT)
        {
            if (::mkdirat(current.Get(), name.c_str(), kFolderMode) != 0 && errno != EEXIST)
            {
                return errno;
            }
            next.Reset(::openat(current.Get(), name.c_str(), kFlags));
            // The process's umask may have narrowed the mode of a folder made just now.
            if (next && ::fchmod(next.Get(), kFolderMode) != 0)
            {
                return errno;
            }
        }
        if (!next)
        {
            return errno;
        }
        current = std::move(next);
    }
    folder = std::move(current);
    return 0;
}

int ReplaceFileAtomically(int folder, const std::string& name, const void* data, std::size_t size,
                          mode_t mode)
{
    unsigned char random[8];
    if (const int error = FillRandomBytes(random, sizeof random); error != 0)
    {
        return error;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string temporary = "." + name + ".";
    for (const unsigned char byte : random)
    {
        temporary += kHex[byte >> 4];
        temporary += kHex[byte & 0xF];
    }
    FileDescriptor file(::openat(folder, temporary.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR));
    if (!file)
    {
        return errno;
    }
    int error = WriteAll(file.Get(), data, size);
    if (error == 0 && ::fchown(file.Get(), 0, 0) != 0)
    {
        error = errno;
    }
    if (error == 0 && ::fchmod(file.Get(), mode) != 0)
    {
        error = errno;
    }
    if (error == 0 && ::fsync(file.Get()) != 0)
    {
        error = errno;
    }
    file.Reset();
    if (error == 0 && ::renameat(folder, temporary.c_str(), folder, name.c_str()) != 0)
    {
        error = errno;
    }
    if (error != 0)
    {
        ::unlinkat(folder, temporary.c_str(), 0);
        return error;
    }
    // The rename lasts only once the folder itself is on disk.
    return ::fsync(folder) == 0 ? 0 : errno;
}

} // namespace Uninstaller::Platform
