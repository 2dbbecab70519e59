// Gives one test its own runtime directory: a fresh temporary folder that
// stands for XDG_RUNTIME_DIR in this process (and in children started with
// Environment()), removed with everything in it at the end of the scope.
#pragma once

#include <ftw.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "Platform/DistributedNotificationCenter.h"
#include "Platform/RuntimeDirectory.h"

namespace PlatformTesting
{

class ScopedRuntimeDirectory
{
public:
    ScopedRuntimeDirectory()
    {
        // Short, so socket paths below it fit a socket address.
        char pattern[] = "/tmp/vq-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        mBase = made != nullptr ? made : "";
        KT::Platform::ResetRuntimeDirectoryForTesting(mBase.c_str());
    }

    ~ScopedRuntimeDirectory()
    {
        // The process's notification socket lived in this directory.
        KT::Platform::DistributedNotificationCenter::Get().ResetForTesting();
        Remove();
        KT::Platform::ResetRuntimeDirectoryForTesting(nullptr);
    }

    ScopedRuntimeDirectory(const ScopedRuntimeDirectory&) = delete;
    ScopedRuntimeDirectory& operator=(const ScopedRuntimeDirectory&) = delete;

    // What XDG_RUNTIME_DIR stands for.
    const std::string& Base() const { return mBase; }
    // The "velquin/" directory below it, with its trailing "/".
    std::string Directory() const { return mBase + "/velquin/"; }

    // Removes the whole tree now (a helper that watches it then ends).
    void Remove()
    {
        if (!mBase.empty())
        {
            ::nftw(
                mBase.c_str(),
                [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }, 16,
                FTW_DEPTH | FTW_PHYS);
        }
    }

private:
    std::string mBase;
};

} // namespace PlatformTesting
