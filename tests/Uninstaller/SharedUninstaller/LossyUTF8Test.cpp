#include <gtest/gtest.h>

#include "Uninstaller/SharedUninstaller/LossyUTF8.h"

using namespace Uninstaller;

TEST(LossyUTF8, IllFormedPartsBecomeReplacementCharacters)
{
    struct Row
    {
        const char* name;
        std::string in;
        std::string out;
    };
    const std::string r = "\xEF\xBF\xBD";
    const Row rows[] = {
        {"ASCII and NUL", std::string("a\0b", 3), std::string("a\0b", 3)},
        {"well-formed 2, 3, 4 bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
         "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"lone continuation", "a\x80z", "a" + r + "z"},
        {"invalid lead bytes", "\xC0\xC1\xF5\xFF", r + r + r + r},
        {"overlong three bytes", "\xE0\x80\xAF", r + r + r},
        {"surrogate", "\xED\xA0\x80", r + r + r},
        {"above U+10FFFF", "\xF4\x90\x80\x80", r + r + r + r},
        {"cut three-byte sequence then ASCII", "\xE2\x82z", r + "z"},
        {"cut four-byte sequence at the end", "x\xF0\x9F\x98", "x" + r},
    };
    for (const Row& row : rows)
    {
        const std::span<const unsigned char> bytes(reinterpret_cast<const unsigned char*>(row.in.data()),
                                                   row.in.size());
        EXPECT_EQ(DecodeUTF8Lossily(bytes), row.out) << row.name;
    }
}

TEST(LossyUTF8, CutsOnlyBetweenCharacters)
{
    const std::string text = "ab\xE2\x82\xAC"
                             "c";
    EXPECT_EQ(CutAtCharacterBoundary(text, 10), text.size());
    EXPECT_EQ(CutAtCharacterBoundary(text, 5), 5u);
    EXPECT_EQ(CutAtCharacterBoundary(text, 4), 2u);
    EXPECT_EQ(CutAtCharacterBoundary(text, 3), 2u);
    EXPECT_EQ(CutAtCharacterBoundary(text, 2), 2u);
    EXPECT_EQ(CutAtCharacterBoundary(text, 0), 0u);
}
