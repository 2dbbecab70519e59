#include <gtest/gtest.h>

#include "Platform/PropertyList.h"
#include "Platform/Uninstaller/ElfSections.h"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace Uninstaller::Platform;

namespace
{

void Put(std::vector<unsigned char>& bytes, std::size_t at, std::uint64_t value, int size)
{
    for (int index = 0; index < size; ++index)
    {
        bytes[at + static_cast<std::size_t>(index)] = static_cast<unsigned char>(value >> (8 * index));
    }
}

struct Section
{
    std::uint32_t nameOffset;
    std::uint32_t type;
    std::uint64_t offset;
    std::uint64_t size;
};

// A minimal ELF64 little-endian file, laid out by hand: header, contents at
// 0x40, section table at 0x100. Names: 1 ".shstrtab", 11 ".one", 16 ".bss", 21 ".two".
std::vector<unsigned char> HandMadeImage()
{
    std::vector<unsigned char> image(0x100 + 5 * 64, 0);
    const unsigned char ident[] = {0x7F, 'E', 'L', 'F', 2, 1, 1};
    std::copy(std::begin(ident), std::end(ident), image.begin());
    const char names[] = "\0.shstrtab\0.one\0.bss\0.two"; // 26 bytes with the final NUL
    std::copy(names, names + sizeof names, image.begin() + 0x40);
    const char one[] = "hello";
    std::copy(one, one + 5, image.begin() + 0x60);
    const char two[] = "world!";
    std::copy(two, two + 6, image.begin() + 0x70);
    Put(image, 0x28, 0x100, 8); // section table offset
    Put(image, 0x3A, 64, 2);    // entry size
    Put(image, 0x3C, 5, 2);     // count
    Put(image, 0x3E, 1, 2);     // names index
    const Section sections[] = {
        {0, 0, 0, 0}, {1, 3, 0x40, sizeof names}, {11, 1, 0x60, 5}, {16, 8, 0x60, 0x1000}, {21, 1, 0x70, 6}};
    for (std::size_t index = 0; index < 5; ++index)
    {
        const std::size_t entry = 0x100 + index * 64;
        Put(image, entry + 0x00, sections[index].nameOffset, 4);
        Put(image, entry + 0x04, sections[index].type, 4);
        Put(image, entry + 0x18, sections[index].offset, 8);
        Put(image, entry + 0x20, sections[index].size, 8);
    }
    return image;
}

std::string Text(const std::optional<std::span<const unsigned char>>& section)
{
    return section ? std::string(section->begin(), section->end()) : "<none>";
}

std::vector<unsigned char> BuiltHelper()
{
    std::ifstream file(UNINSTALLHELPER_PATH, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(file), {});
}

using namespace KT::Platform;

std::string StringAt(PlistNode dictionary, const char* key)
{
    std::string text;
    return dictionary.GetDictionaryItem(key).GetString(text) ? text : "<absent>";
}

std::size_t EntryCount(PlistNode dictionary)
{
    return dictionary.GetDictionaryItems().size();
}

} // namespace

TEST(ElfSections, FindsSectionsByNameInAHandMadeImage)
{
    const std::vector<unsigned char> image = HandMadeImage();
    EXPECT_EQ(Text(FindElfSection(image, ".one")), "hello");
    EXPECT_EQ(Text(FindElfSection(image, ".two")), "world!");
    EXPECT_EQ(Text(FindElfSection(image, ".bss")), "<none>") << "a section without contents";
    EXPECT_EQ(Text(FindElfSection(image, ".three")), "<none>");
    EXPECT_EQ(Text(FindElfSection(image, "")), "<none>") << "section 0 is an unused entry";
}

TEST(ElfSections, RefusesDamagedHeadersAndTables)
{
    struct Row
    {
        const char* name;
        std::size_t at;
        std::uint64_t value;
        int size;
    };
    const Row rows[] = {
        {"bad magic", 1, 'e', 1},
        {"32-bit class", 4, 1, 1},
        {"big-endian", 5, 2, 1},
        {"table past the end", 0x28, 0x1000, 8},
        {"table offset wraps", 0x28, ~0ull - 10, 8},
        {"entry size", 0x3A, 40, 2},
        {"count past the end", 0x3C, 0x7FFF, 2},
        {"names index past the count", 0x3E, 9, 2},
        {"contents past the end", 0x100 + 2 * 64 + 0x18, 0x1000, 8},
        {"size wraps", 0x100 + 2 * 64 + 0x20, ~0ull, 8},
        {"name past the names", 0x100 + 2 * 64, 400, 4},
    };
    for (const Row& row : rows)
    {
        std::vector<unsigned char> image = HandMadeImage();
        Put(image, row.at, row.value, row.size);
        EXPECT_EQ(Text(FindElfSection(image, ".one")), "<none>") << row.name;
    }
    // A names section whose last name has no NUL: that name is never matched.
    std::vector<unsigned char> image = HandMadeImage();
    Put(image, 0x100 + 64 + 0x20, 25, 8);
    EXPECT_EQ(Text(FindElfSection(image, ".two")), "<none>");
    EXPECT_EQ(Text(FindElfSection(image, ".one")), "hello");
}

TEST(ElfSections, TheBuiltHelperCarriesBothPropertyLists)
{
    const std::vector<unsigned char> image = BuiltHelper();
    const auto infoBytes = FindElfSection(image, ".uninstallhelper.info_plist");
    const auto launchdBytes = FindElfSection(image, ".uninstallhelper.launchd_plist");
    ASSERT_TRUE(infoBytes && launchdBytes);

    const Plist info = Plist::FromBytes(infoBytes->data(), infoBytes->size(), PlistInput::XmlText);
    ASSERT_EQ(info.GetType(), PlistType::Dictionary);
    EXPECT_EQ(EntryCount(info.GetRoot()), 5u);
    EXPECT_EQ(StringAt(info.GetRoot(), "CFBundleIdentifier"), "uninstallhelper");
    EXPECT_EQ(StringAt(info.GetRoot(), "CFBundleInfoDictionaryVersion"), "6.0");
    EXPECT_EQ(StringAt(info.GetRoot(), "CFBundleName"), "uninstallhelper");
    EXPECT_EQ(StringAt(info.GetRoot(), "CFBundleVersion"), "1.0.0");
    const PlistNode clients = info.GetRoot().GetDictionaryItem("SMAuthorizedClients");
    ASSERT_EQ(clients.GetType(), PlistType::Array);
    ASSERT_EQ(clients.GetArraySize(), 1u);
    std::string requirement;
    ASSERT_TRUE(clients.GetArrayItem(0).GetString(requirement));
    EXPECT_EQ(
        requirement,
        "anchor apple generic and identifier \"com.korvanelabs.lumetraworks.wirebridge.uninstaller\" and "
        "(certificate leaf[field.1.2.840.113635.100.6.1.9] or certificate 1[field.1.2.840.113635.100.6.2.6] "
        "and certificate leaf[field.1.2.840.113635.100.6.1.13] and certificate leaf[subject.OU] = "
        "K7Q2M9X4WB)");

    const Plist launchd = Plist::FromBytes(launchdBytes->data(), launchdBytes->size(), PlistInput::XmlText);
    ASSERT_EQ(launchd.GetType(), PlistType::Dictionary);
    EXPECT_EQ(EntryCount(launchd.GetRoot()), 2u);
    EXPECT_EQ(StringAt(launchd.GetRoot(), "Label"), "uninstallhelper");
    const PlistNode services = launchd.GetRoot().GetDictionaryItem("MachServices");
    ASSERT_EQ(services.GetType(), PlistType::Dictionary);
    EXPECT_EQ(EntryCount(services), 1u);
    bool listens = false;
    EXPECT_TRUE(services.GetDictionaryItem("uninstallhelper").GetBool(listens) && listens);
}

TEST(ElfSections, CorruptedCopiesOfTheHelperFailCleanly)
{
    std::vector<unsigned char> image = BuiltHelper();
    ASSERT_GE(image.size(), 64u);
    const std::string name = ".uninstallhelper.info_plist";
    const auto inside = [&](const std::optional<std::span<const unsigned char>>& found)
    {
        return !found || (found->data() >= image.data() &&
                          found->data() + found->size() <= image.data() + image.size());
    };

    // Cut copies: a copy cut before the end of its section table finds nothing.
    const std::uint64_t tableOffset = [&]
    {
        std::uint64_t value = 0;
        for (int index = 7; index >= 0; --index)
        {
            value = (value << 8) | image[0x28 + static_cast<std::size_t>(index)];
        }
        return value;
    }();
    ASSERT_LT(tableOffset, image.size());
    for (const std::size_t cut : {std::size_t{0}, std::size_t{4}, std::size_t{63}, std::size_t{64},
                                  static_cast<std::size_t>(tableOffset), image.size() - 1})
    {
        const std::span<const unsigned char> prefix(image.data(), cut);
        EXPECT_FALSE(FindElfSection(prefix, name)) << "cut at " << cut;
    }

    // Every byte of the header and of the section table, overwritten in turn.
    std::vector<std::size_t> offsets;
    for (std::size_t at = 0; at < 64; ++at)
    {
        offsets.push_back(at);
    }
    for (std::size_t at = static_cast<std::size_t>(tableOffset); at < image.size(); ++at)
    {
        offsets.push_back(at);
    }
    for (const std::size_t at : offsets)
    {
        const unsigned char original = image[at];
        for (const unsigned char value : {0x00, 0x7F, 0xFF})
        {
            image[at] = value;
            const auto found = FindElfSection(image, name);
            ASSERT_TRUE(inside(found)) << "byte " << at << " set to " << int(value);
        }
        image[at] = original;
    }
    EXPECT_TRUE(FindElfSection(image, name));
}
