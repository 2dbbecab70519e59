#include "Platform/RuntimeDirectory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace KT::Platform
{

namespace
{

// Never destroyed: an exit-time disconnect may still ask for the path.
struct ResolvedDirectory
{
    std::mutex Lock;
    bool Resolved = false;
    std::string Path; // guarded by Lock
};

ResolvedDirectory& Directory()
{
    static ResolvedDirectory* directory = new ResolvedDirectory;
    return *directory;
}

// Makes path (without trailing "/") when missing and checks it: a real
// directory, not a link, owned by us, closed to group and others.
bool MakePrivateDirectory(const std::string& path)
{
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
    {
        return false;
    }
    struct stat info
    {
    };
    if (::lstat(path.c_str(), &info) != 0)
    {
        return false;
    }
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

std::string Resolve(const char* xdgRuntimeDir)
{
    std::string path;
    if (xdgRuntimeDir != nullptr && xdgRuntimeDir[0] == '/')
    {
        path = std::string(xdgRuntimeDir) + "/velquin";
    }
    else
    {
        const char* temporary = std::getenv("TMPDIR");
        path = std::string(temporary != nullptr && temporary[0] == '/' ? temporary : "/tmp") + "/velquin-" +
               std::to_string(::geteuid());
    }
    return MakePrivateDirectory(path) ? path + "/" : std::string();
}

} // namespace

std::string GetRuntimeDirectory()
{
    ResolvedDirectory& directory = Directory();
    std::lock_guard<std::mutex> guard(directory.Lock);
    if (!directory.Resolved)
    {
        directory.Path = Resolve(std::getenv("XDG_RUNTIME_DIR"));
        directory.Resolved = true;
    }
    return directory.Path;
}

std::string GetRuntimeSubdirectory(const char* name)
{
    const std::string base = GetRuntimeDirectory();
    if (base.empty())
    {
        return std::string();
    }
    const std::string path = base + name;
    return MakePrivateDirectory(path) ? path + "/" : std::string();
}

void ResetRuntimeDirectoryForTesting(const char* xdgRuntimeDir)
{
    ResolvedDirectory& directory = Directory();
    std::lock_guard<std::mutex> guard(directory.Lock);
    directory.Path = Resolve(xdgRuntimeDir != nullptr ? xdgRuntimeDir : std::getenv("XDG_RUNTIME_DIR"));
    directory.Resolved = true;
}

} // namespace KT::Platform
