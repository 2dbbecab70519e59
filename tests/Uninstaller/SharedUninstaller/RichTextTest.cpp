#include <gtest/gtest.h>

#include "Uninstaller/SharedUninstaller/RichText.h"
#include "Uninstaller/SharedUninstaller/TextReaderFuzz.h"

using namespace Uninstaller;

namespace
{

RichTextRun Plain(std::string text)
{
    return {std::move(text), false, false, false};
}

} // namespace

TEST(RichText, ReadsTheTextTheViewShows)
{
    struct Row
    {
        const char* name;
        std::string rtf;
        std::string text;
    };
    const Row rows[] = {
        {"plain text", "{\\rtf1\\ansi\\ansicpg1252 Hello, world}", "Hello, world"},
        {"paragraph, tab and line break", "{\\rtf1 a\\par b\\tab c\\line d}",
         "a\nb\tc\xE2\x80\xA8"
         "d"},
        {"line ends in the file", "{\\rtf1 a\r\nb\\\nc}", "ab\nc"},
        {"escaped braces and backslash", "{\\rtf1 \\{a\\}\\\\}", "{a}\\"},
        {"code page 1252 escapes", "{\\rtf1 \\'e9\\'80\\'93\\'81}",
         "\xC3\xA9\xE2\x82\xAC\xE2\x80\x9C\xEF\xBF\xBD"},
        {"raw high bytes as code page 1252", "{\\rtf1 \x93q\x94}", "\xE2\x80\x9Cq\xE2\x80\x9D"},
        {"unicode with its fallback skipped", "{\\rtf1 \\u8364?x\\uc2\\u233 ab c\\uc0\\u65}",
         "\xE2\x82\xAC"
         "x\xC3\xA9 cA"},
        {"fallback that is a hex escape", "{\\rtf1 \\u233\\'e9z}", "\xC3\xA9z"},
        {"surrogate pair", "{\\rtf1 \\u-10179?\\u-8704?}", "\xF0\x9F\x98\x80"},
        {"lone high surrogate", "{\\rtf1 \\u-10179?z}", "\xEF\xBF\xBDz"},
        {"lone low surrogate", "{\\rtf1 \\u-8704?z}", "\xEF\xBF\xBDz"},
        {"non-breaking space and hyphens", "{\\rtf1 a\\~b\\-c\\_d}",
         "a\xC2\xA0"
         "bc\xE2\x80\x91"
         "d"},
        {"skipped groups",
         "{\\rtf1{\\fonttbl\\f0\\fswiss Helvetica;}{\\colortbl;\\red255\\green0\\blue0;}{\\stylesheet{\\s1 "
         "Heading;}}{\\info{\\title T}}{\\*\\expandedcolortbl;;}{\\pict\\pngblip 0102}text}",
         "text"},
        {"image of an rtfd and its placeholder", "{\\rtf1 a{{\\NeXTGraphic img.tiff \\width10}\\'ac}b\\'ac}",
         "ab\xC2\xAC"},
        {"unknown words, long words and long parameters",
         "{\\rtf1 \\foo123456789012345 x\\abcdefghijklmnopqrstuvwxyzabcdefghij y}", "xy"},
        {"text after the document's group", "{\\rtf1 a}b", "a"},
        {"bad hex escape", "{\\rtf1 \\'zq}", "zq"},
        {"not rich text", "Hello", ""},
        {"cut header", "{\\rt", ""},
        {"empty", "", ""},
    };
    for (const Row& row : rows)
    {
        EXPECT_EQ(PlainText(ReadRichText(row.rtf)), row.text) << row.name;
    }
}

TEST(RichText, KeepsBoldItalicAndUnderlinePerGroup)
{
    RichTextRun bold{"bold", true, false, false};
    RichTextRun italic{"it", false, true, false};
    RichTextRun underline{"u", false, false, true};
    RichTextRun all{"all", true, true, true};
    const std::vector<RichTextRun> expected = {Plain("x"), bold, italic,    underline,
                                               Plain("n"), all,  Plain("p")};
    EXPECT_EQ(ReadRichText("{\\rtf1 x{\\b bold}\\i it\\i0 {\\ul u}\\ulnone n{\\b\\i\\ul all}\\b\\plain p}"),
              expected);
}

TEST(RichText, KeepsWhatWasReadWhenGroupsDoNotBalanceOrNestTooDeep)
{
    const std::vector<RichTextRun> unclosed = {Plain("abc"), {"def", true, false, false}};
    EXPECT_EQ(ReadRichText("{\\rtf1 abc{\\b def"), unclosed);

    std::string deep = "{\\rtf1 a";
    for (std::size_t i = 0; i < kRichTextMaxDepth + 10; ++i)
    {
        deep += "{b";
    }
    const std::string text = PlainText(ReadRichText(deep));
    EXPECT_EQ(text, "a" + std::string(kRichTextMaxDepth - 1, 'b'));
}

TEST(RichText, EndsWithWellFormedTextOnRandomAndCutInput)
{
    const std::string sample = "{\\rtf1\\ansi{\\fonttbl\\f0 H;}\\uc1 a\\b b\\'e9\\u-10179?\\u-8704?{\\*\\x "
                               "y}\\par\\line{{\\NeXTGraphic "
                               "i}\\'ac}\\{\\}\\\\\\i\\ul c}";
    for (std::size_t cut = 0; cut <= sample.size(); ++cut)
    {
        EXPECT_TRUE(UninstallerTest::IsWellFormedUTF8(PlainText(ReadRichText(sample.substr(0, cut))))) << cut;
    }
    std::mt19937 random(22);
    for (int i = 0; i < 20000; ++i)
    {
        const std::string bytes =
            "{\\rtf" +
            UninstallerTest::RandomBytes(random, "{}\\\\\\'uc-0123456789abfpirtlnx? \r\n\x80\xAC", 120);
        const std::string text = PlainText(ReadRichText(bytes));
        ASSERT_TRUE(UninstallerTest::IsWellFormedUTF8(text)) << bytes;
    }
}
