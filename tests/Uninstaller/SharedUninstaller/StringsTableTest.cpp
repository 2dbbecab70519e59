#include <gtest/gtest.h>

#include "Uninstaller/SharedUninstaller/StringsTable.h"
#include "Uninstaller/SharedUninstaller/TextReaderFuzz.h"

using namespace Uninstaller;

namespace
{

std::string Utf16(std::u16string_view text, bool littleEndian)
{
    std::string bytes = littleEndian ? "\xFF\xFE" : "\xFE\xFF";
    for (char16_t unit : text)
    {
        const char low = static_cast<char>(unit & 0xFF);
        const char high = static_cast<char>(unit >> 8);
        bytes += littleEndian ? low : high;
        bytes += littleEndian ? high : low;
    }
    return bytes;
}

} // namespace

TEST(StringsTable, ReadsEntriesCommentsAndEscapes)
{
    const std::string file = "\xEF\xBB\xBF/* The uninstaller's texts. */\n"
                             "\"necessaryToRestart\" = \"Restart needed\";\n"
                             "quit_Button.2 = \"Quit\"; // a comment\n"
                             "\"esc\" = \"q\\\"b\\\\n\\nt\\tr\\r\";\n"
                             "\"unicode\" = \"\\U00e9\\UD83D\\UDE00\\UD83Dx\\UDE00\";\n"
                             "\"format\" = \"%d %@ %%\";\n"
                             "\"quitButton\" = \"Later wins\";\n"
                             "\"quitButton\" = \"Quit now\"; /* end */";
    std::string fault = "stale";
    const StringsTable table = StringsTable::Parse(file, fault);
    EXPECT_EQ(fault, "");
    const StringsTable::Entries expected = {
        {"necessaryToRestart", "Restart needed"},
        {"quit_Button.2", "Quit"},
        {"esc", "q\"b\\n\nt\tr\r"},
        {"unicode", "\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBDx\xEF\xBF\xBD"},
        {"format", "%d %@ %%"},
        {"quitButton", "Quit now"},
    };
    EXPECT_EQ(table.AllEntries(), expected);
    EXPECT_EQ(table.Lookup("quitButton"), "Quit now");
    EXPECT_EQ(table.Lookup("missingKey"), "missingKey");
}

TEST(StringsTable, ReadsUTF16OfEitherByteOrder)
{
    const std::u16string text = u"\"k\" = \"\u00e9\U0001F600\";\n\"n\" = \"v\";";
    for (bool littleEndian : {true, false})
    {
        std::string fault;
        const StringsTable table = StringsTable::Parse(Utf16(text, littleEndian), fault);
        EXPECT_EQ(fault, "") << littleEndian;
        EXPECT_EQ(table.Lookup("k"), "\xC3\xA9\xF0\x9F\x98\x80") << littleEndian;
        EXPECT_EQ(table.Lookup("n"), "v") << littleEndian;
    }
    std::string fault;
    const StringsTable odd = StringsTable::Parse(Utf16(u"\"k\" = \"v\";", true) + "\x22", fault);
    EXPECT_EQ(odd.Lookup("k"), "v");
    EXPECT_NE(fault, "");
}

TEST(StringsTable, KeepsTheEntriesBeforeAFault)
{
    struct Row
    {
        const char* name;
        std::string file;
        std::string fault;
    };
    const std::string good = "\"a\" = \"A\";\n";
    const Row rows[] = {
        {"missing value", good + "\"b\" = ;\n\"c\" = \"C\";", "line 2: expected a quoted or unquoted text"},
        {"missing equals sign", good + "\"b\" \"B\";", "line 2: expected '='"},
        {"missing semicolon", good + "\"b\" = \"B\"\n\"c\" = \"C\";", "line 3: expected ';'"},
        {"unterminated text", good + "\"b\" = \"B;", "line 2: unterminated quoted text"},
        {"unterminated comment", good + "/* b", "line 2: unterminated comment"},
        {"short unicode escape", good + "\"b\" = \"\\U12\";", "line 2: \\U needs four hexadecimal digits"},
        {"cut after a key", good + "b", "line 2: unexpected end of file"},
    };
    for (const Row& row : rows)
    {
        std::string fault;
        const StringsTable table = StringsTable::Parse(row.file, fault);
        EXPECT_EQ(table.AllEntries(), (StringsTable::Entries{{"a", "A"}})) << row.name;
        EXPECT_EQ(fault, row.fault) << row.name;
    }
}

TEST(StringsTable, EndsOnRandomAndCutInput)
{
    const std::string sample =
        "/* c */ \"a\" = \"b\\\"\\U00e9\\UD83D\\UDE00\"; k = v; // x\n\"z\" = \"\\n\";";
    for (std::size_t cut = 0; cut <= sample.size(); ++cut)
    {
        std::string fault;
        (void)StringsTable::Parse(sample.substr(0, cut), fault);
    }
    std::mt19937 random(21);
    for (int i = 0; i < 20000; ++i)
    {
        const std::string prefix = i % 3 == 0 ? "\xFF\xFE" : i % 3 == 1 ? "\xFE\xFF" : "";
        const std::string bytes = prefix + UninstallerTest::RandomBytes(random, "\"\\=;/*\nUabn09D8 ", 120);
        std::string fault;
        const StringsTable table = StringsTable::Parse(bytes, fault);
        for (const auto& [key, value] : table.AllEntries())
        {
            if (!prefix.empty())
            {
                ASSERT_TRUE(UninstallerTest::IsWellFormedUTF8(key + value)) << bytes;
            }
        }
    }
}
