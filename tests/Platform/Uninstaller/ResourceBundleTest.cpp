#include <gtest/gtest.h>

#include "Platform/Uninstaller/ResourceBundle.h"

#include <filesystem>
#include <fstream>

using namespace Uninstaller::Platform;

namespace
{

class ResourceFolder
{
public:
    ResourceFolder()
    {
        char pattern[] = "/tmp/uninstaller-resources-XXXXXX";
        mPath = ::mkdtemp(pattern);
    }
    ~ResourceFolder() { std::filesystem::remove_all(mPath); }

    const std::string& Path() const { return mPath; }
    void Put(const std::string& relative, const std::string& content = "x") const
    {
        const std::filesystem::path path = mPath + "/" + relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

private:
    std::string mPath;
};

} // namespace

TEST(ResourceBundle, SearchesEachLanguageThenItsBaseThenEnglishThenTheFolder)
{
    const ResourceBundle bundle("/r", {"de-DE", "fr", "de", "en_GB"});
    const std::vector<std::string> expected = {"/r/de_DE.lproj", "/r/de.lproj", "/r/fr.lproj",
                                               "/r/en_GB.lproj", "/r/en.lproj", "/r"};
    EXPECT_EQ(bundle.SearchFolders(), expected);
}

TEST(ResourceBundle, FindsTheFirstPlaceThatHasTheResource)
{
    ResourceFolder folder;
    folder.Put("uninstall.ss");
    folder.Put("en.lproj/Localizable.strings");
    folder.Put("de.lproj/Localizable.strings");
    folder.Put("en.lproj/readme.rtfd/TXT.rtf");
    folder.Put("de_DE.lproj/readme.rtf");
    const std::string& root = folder.Path();
    const ResourceBundle german(root, {"de-DE"});
    EXPECT_EQ(german.PathForResource("Localizable", "strings"), root + "/de.lproj/Localizable.strings");
    EXPECT_EQ(german.PathForResource("readme", "rtfd"), root + "/en.lproj/readme.rtfd");
    EXPECT_EQ(german.PathForResource("readme", "rtf"), root + "/de_DE.lproj/readme.rtf");
    EXPECT_EQ(german.PathForResource("uninstall.ss", ""), root + "/uninstall.ss");
    EXPECT_EQ(german.PathForResource("missing", "txt"), std::nullopt);
    const ResourceBundle japanese(root, {"ja-JP"});
    EXPECT_EQ(japanese.PathForResource("Localizable", "strings"), root + "/en.lproj/Localizable.strings");
    EXPECT_EQ(japanese.PathForResource("readme", "rtf"), std::nullopt);

    EXPECT_EQ(ReadResourceFile(root + "/uninstall.ss", 1), "x");
    EXPECT_EQ(ReadResourceFile(root + "/uninstall.ss", 0), std::nullopt);
    EXPECT_EQ(ReadResourceFile(root + "/en.lproj", 100), std::nullopt);
    EXPECT_EQ(ReadResourceFile(root + "/missing", 100), std::nullopt);
}
