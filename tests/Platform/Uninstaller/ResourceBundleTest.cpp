#include <gtest/gtest.h>

#include "Platform/Uninstaller/ResourceBundle.h"

#include "support/Uninstaller/TestProcesses.h"

using namespace Uninstaller::Platform;
using namespace UninstallerTest;

TEST(ResourceBundle, SearchesEachLanguageThenItsBaseThenEnglishThenTheFolder)
{
    const ResourceBundle bundle("/r", {"de-DE", "fr", "de", "en_GB"});
    const std::vector<std::string> expected = {"/r/de_DE.lproj", "/r/de.lproj", "/r/fr.lproj",
                                               "/r/en_GB.lproj", "/r/en.lproj", "/r"};
    EXPECT_EQ(bundle.SearchFolders(), expected);
}

TEST(ResourceBundle, FindsTheFirstPlaceThatHasTheResource)
{
    TempRoot folder;
    for (const char* path : {"en.lproj/readme.rtfd", "de.lproj", "de_DE.lproj"})
    {
        MakeFolder(folder / path, 0755);
    }
    for (const char* path : {"uninstall.ss", "en.lproj/Localizable.strings", "de.lproj/Localizable.strings",
                             "en.lproj/readme.rtfd/TXT.rtf", "de_DE.lproj/readme.rtf"})
    {
        WriteFile(folder / path, "x", 0644);
    }
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
