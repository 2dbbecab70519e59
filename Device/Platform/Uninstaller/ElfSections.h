// Finds a named section in an ELF64 little-endian image, the way the helper's
// embedded property lists are read back out of its executable. Every offset
// and size in the image is checked against the image's bounds before use, so
// a damaged or hostile file gives "not found", never a read outside it.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace Uninstaller::Platform
{

// The bytes of the first section called name (unused entries and sections
// without file contents are skipped), pointing into image; nothing when the image is not a
// well-formed ELF64 little-endian file or has no such section.
std::optional<std::span<const unsigned char>> FindElfSection(std::span<const unsigned char> image,
                                                             std::string_view name);

} // namespace Uninstaller::Platform
