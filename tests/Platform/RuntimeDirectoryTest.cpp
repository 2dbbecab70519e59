#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "Platform/RuntimeDirectory.h"
#include "support/ScopedRuntimeDirectory.h"

using namespace KT::Platform;
using PlatformTesting::ScopedRuntimeDirectory;

TEST(RuntimeDirectory, IsAPrivateFolderBelowTheGivenRuntimeDirectory)
{
    ScopedRuntimeDirectory runtime;
    const std::string directory = GetRuntimeDirectory();
    EXPECT_EQ(directory, runtime.Base() + "/velquin/");
    const std::string ports = GetRuntimeSubdirectory("ports");
    EXPECT_EQ(ports, directory + "ports/");
    for (const std::string& path : {directory, ports})
    {
        struct stat info
        {
        };
        ASSERT_EQ(::lstat(path.c_str(), &info), 0) << path;
        EXPECT_TRUE(S_ISDIR(info.st_mode)) << path;
        EXPECT_EQ(info.st_mode & 0777, 0700u) << path;
    }
}

TEST(RuntimeDirectory, RefusesFoldersOthersMayEnterOrThatAreLinks)
{
    const struct
    {
        const char* name;
        void (*spoil)(const std::string& velquin, const std::string& base);
    } rows[] = {{"group may enter",
                 [](const std::string& velquin, const std::string&) { ::chmod(velquin.c_str(), 0750); }},
                {"others may enter",
                 [](const std::string& velquin, const std::string&) { ::chmod(velquin.c_str(), 0701); }},
                {"a link to a private folder",
                 [](const std::string& velquin, const std::string& base)
                 {
                     ::rmdir(velquin.c_str());
                     ::mkdir((base + "/elsewhere").c_str(), 0700);
                     ::symlink((base + "/elsewhere").c_str(), velquin.c_str());
                 }},
                {"a plain file", [](const std::string& velquin, const std::string&)
                 {
                     ::rmdir(velquin.c_str());
                     ::close(::creat(velquin.c_str(), 0600));
                 }}};
    for (const auto& row : rows)
    {
        ScopedRuntimeDirectory runtime;
        ASSERT_FALSE(GetRuntimeDirectory().empty()) << row.name;
        row.spoil(runtime.Base() + "/velquin", runtime.Base());
        ResetRuntimeDirectoryForTesting(runtime.Base().c_str());
        EXPECT_EQ(GetRuntimeDirectory(), "") << row.name;
        EXPECT_EQ(GetRuntimeSubdirectory("ports"), "") << row.name;
    }
}

TEST(RuntimeDirectory, FallsBackToTheTemporaryDirectoryWithoutARuntimeDirectory)
{
    ScopedRuntimeDirectory temporary;
    const char* previousTmp = std::getenv("TMPDIR");
    const std::string savedTmp = previousTmp != nullptr ? previousTmp : "";
    ::setenv("TMPDIR", temporary.Base().c_str(), 1);
    ResetRuntimeDirectoryForTesting("relative/paths/do/not/count");
    EXPECT_EQ(GetRuntimeDirectory(), temporary.Base() + "/velquin-" + std::to_string(::geteuid()) + "/");
    if (previousTmp != nullptr)
    {
        ::setenv("TMPDIR", savedTmp.c_str(), 1);
    }
    else
    {
        ::unsetenv("TMPDIR");
    }
}
