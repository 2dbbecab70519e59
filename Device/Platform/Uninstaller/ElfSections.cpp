#include "Platform/Uninstaller/ElfSections.h"

#include "Platform/ByteOrder.h"

#include <algorithm>
#include <cstdint>

namespace Uninstaller::Platform
{

using KT::ReadLE16;
using KT::ReadLE32;
using KT::ReadLE64;

namespace
{

// ELF64 header and section header fields used here (offsets in bytes).
constexpr std::size_t kElfHeaderSize = 64;
constexpr std::size_t kClassOffset = 4;
constexpr std::size_t kDataOffset = 5;
constexpr unsigned char kClass64 = 2;
constexpr unsigned char kDataLittleEndian = 1;
constexpr std::size_t kSectionTableOffset = 0x28;
constexpr std::size_t kSectionEntrySizeOffset = 0x3A;
constexpr std::size_t kSectionCountOffset = 0x3C;
constexpr std::size_t kNamesIndexOffset = 0x3E;
constexpr std::size_t kSectionEntrySize = 64;
constexpr std::size_t kSectionNameOffset = 0x00;
constexpr std::size_t kSectionTypeOffset = 0x04;
constexpr std::size_t kSectionFileOffset = 0x18;
constexpr std::size_t kSectionSizeOffset = 0x20;
constexpr std::size_t kSectionLinkOffset = 0x28;
constexpr std::uint32_t kSectionTypeNull = 0; // an unused entry
constexpr std::uint32_t kSectionTypeNoBits = 8;
constexpr std::uint16_t kExtendedIndex = 0xFFFF; // SHN_XINDEX: the real index is in section 0

// The range [offset, offset + size) of the image, when it lies inside.
std::optional<std::span<const unsigned char>> Slice(std::span<const unsigned char> image,
                                                    std::uint64_t offset, std::uint64_t size)
{
    if (offset > image.size() || size > image.size() - offset)
    {
        return std::nullopt;
    }
    return image.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(size));
}

} // namespace

std::optional<std::span<const unsigned char>> FindElfSection(std::span<const unsigned char> image,
                                                             std::string_view name)
{
    static constexpr unsigned char kMagic[4] = {0x7F, 'E', 'L', 'F'};
    if (image.size() < kElfHeaderSize || !std::equal(kMagic, kMagic + 4, image.begin()) ||
        image[kClassOffset] != kClass64 || image[kDataOffset] != kDataLittleEndian)
    {
        return std::nullopt;
    }
    const unsigned char* header = image.data();
    const std::uint64_t tableOffset = ReadLE64(header + kSectionTableOffset);
    if (ReadLE16(header + kSectionEntrySizeOffset) != kSectionEntrySize || tableOffset == 0)
    {
        return std::nullopt;
    }
    // Section 0 holds the real count and names index when they do not fit the header.
    const auto first = Slice(image, tableOffset, kSectionEntrySize);
    if (!first)
    {
        return std::nullopt;
    }
    std::uint64_t count = ReadLE16(header + kSectionCountOffset);
    if (count == 0)
    {
        count = ReadLE64(first->data() + kSectionSizeOffset);
    }
    std::uint64_t namesIndex = ReadLE16(header + kNamesIndexOffset);
    if (namesIndex == kExtendedIndex)
    {
        namesIndex = ReadLE32(first->data() + kSectionLinkOffset);
    }
    if (count > image.size() / kSectionEntrySize || namesIndex >= count)
    {
        return std::nullopt;
    }
    const auto table = Slice(image, tableOffset, count * kSectionEntrySize);
    if (!table)
    {
        return std::nullopt;
    }
    const unsigned char* namesEntry = table->data() + namesIndex * kSectionEntrySize;
    const auto names =
        Slice(image, ReadLE64(namesEntry + kSectionFileOffset), ReadLE64(namesEntry + kSectionSizeOffset));
    if (!names || ReadLE32(namesEntry + kSectionTypeOffset) == kSectionTypeNoBits)
    {
        return std::nullopt;
    }

    for (std::uint64_t index = 0; index < count; ++index)
    {
        const unsigned char* entry = table->data() + index * kSectionEntrySize;
        const std::uint32_t nameOffset = ReadLE32(entry + kSectionNameOffset);
        const std::uint32_t type = ReadLE32(entry + kSectionTypeOffset);
        if (nameOffset >= names->size() || type == kSectionTypeNull || type == kSectionTypeNoBits)
        {
            continue;
        }
        // The name must end with its NUL inside the names section.
        const std::span<const unsigned char> rest = names->subspan(nameOffset);
        const auto end = std::find(rest.begin(), rest.end(), 0);
        if (end == rest.end())
        {
            continue;
        }
        const std::string_view sectionName(reinterpret_cast<const char*>(rest.data()),
                                           static_cast<std::size_t>(end - rest.begin()));
        if (sectionName == name)
        {
            return Slice(image, ReadLE64(entry + kSectionFileOffset), ReadLE64(entry + kSectionSizeOffset));
        }
    }
    return std::nullopt;
}

} // namespace Uninstaller::Platform
