#include "Platform/Uninstaller/ResourceBundle.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Uninstaller::Platform
{

namespace
{

constexpr char kLocalizedFolderSuffix[] = ".lproj";
constexpr char kFallbackLanguage[] = "en";

} // namespace

ResourceBundle::ResourceBundle(std::string folder, const std::vector<std::string>& languages)
{
    std::vector<std::string> names;
    const auto add = [&names](std::string name)
    {
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
        {
            names.push_back(std::move(name));
        }
    };
    for (std::string language : languages)
    {
        std::replace(language.begin(), language.end(), '-', '_');
        add(language);
        add(language.substr(0, language.find('_')));
    }
    add(kFallbackLanguage);
    for (const std::string& name : names)
    {
        mSearchFolders.push_back(folder + "/" + name + kLocalizedFolderSuffix);
    }
    mSearchFolders.push_back(std::move(folder));
}

std::optional<std::string> ResourceBundle::PathForResource(std::string_view name, std::string_view type) const
{
    std::string fileName(name);
    if (!type.empty())
    {
        fileName += ".";
        fileName += type;
    }
    for (const std::string& folder : mSearchFolders)
    {
        const std::string path = folder + "/" + fileName;
        struct stat status;
        if (::stat(path.c_str(), &status) == 0)
        {
            return path;
        }
    }
    return std::nullopt;
}

std::optional<std::string> ReadResourceFile(const std::string& path, std::size_t maxBytes)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
    {
        return std::nullopt;
    }
    std::string bytes;
    char buffer[16384];
    bool ok = true;
    for (;;)
    {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got <= 0)
        {
            ok = got == 0;
            break;
        }
        if (bytes.size() + static_cast<std::size_t>(got) > maxBytes)
        {
            ok = false;
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    if (!ok)
    {
        return std::nullopt;
    }
    return bytes;
}

} // namespace Uninstaller::Platform
