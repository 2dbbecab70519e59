// The uninstaller's resources, looked up in a folder as an application bundle
// looks them up: first in the folder of each preferred language, "<lang>.lproj"
// (a language with a region, "de_DE", is followed by its base "de"), then in
// "en.lproj", then in the folder itself. The application makes one with its
// installed resource folder and the user's languages; tests make one on a
// temporary folder.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Uninstaller::Platform
{

class ResourceBundle
{
public:
    // languages in order of preference, as "de-DE", "de_DE" or "de".
    ResourceBundle(std::string folder, const std::vector<std::string>& languages);

    // The folders searched, in order.
    const std::vector<std::string>& SearchFolders() const noexcept { return mSearchFolders; }

    // The first existing "name.type" (just "name" for an empty type), file or folder.
    std::optional<std::string> PathForResource(std::string_view name, std::string_view type) const;

private:
    std::vector<std::string> mSearchFolders;
};

// A file's bytes; nothing when it cannot be read or holds more than maxBytes.
std::optional<std::string> ReadResourceFile(const std::string& path, std::size_t maxBytes);

} // namespace Uninstaller::Platform
