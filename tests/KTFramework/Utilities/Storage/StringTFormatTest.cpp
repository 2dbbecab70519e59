#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "KTFramework/Defs/Exceptions/KTException.h"
#include "KTFramework/Utilities/Storage/StringT.h"
#include "support/ScopedThreadLocale.h"

using namespace KT;

namespace
{

using String8 = StringT<char, unsigned short>;
using String16 = StringT<unsigned short, char>;

std::vector<unsigned short> Units(const String16& text)
{
    std::vector<unsigned short> units;
    for (const unsigned short* p = text.CStr(); *p != 0; ++p)
    {
        units.push_back(*p);
    }
    return units;
}

std::vector<unsigned short> Widen(const char* ascii)
{
    std::vector<unsigned short> units;
    for (; *ascii != '\0'; ++ascii)
    {
        units.push_back(static_cast<unsigned char>(*ascii));
    }
    return units;
}

template <class T>
struct NumberRow
{
    T Value;
    int Decimals;
    const char* Text;
};

// Checks each row on both widths: the UTF-16 text is the UTF-8 text widened.
template <class T>
void CheckNumbers(const char* type, std::initializer_list<NumberRow<T>> rows)
{
    for (const NumberRow<T>& row : rows)
    {
        const std::string name = std::string(type) + " " + std::to_string(row.Value) + " with " +
                                 std::to_string(row.Decimals) + " decimals";
        const String8 narrow = String8::FormatNumber(row.Value, row.Decimals);
        EXPECT_STREQ(narrow.CStr(), row.Text) << name;
        EXPECT_EQ(narrow.GetLength(), std::char_traits<char>::length(row.Text)) << name;
        EXPECT_EQ(Units(String16::FormatNumber(row.Value, row.Decimals)), Widen(row.Text)) << name;
    }
}

TEST(StringTFormat, FormatNumberPlacesTheDecimalPointInIntegers)
{
    CheckNumbers<unsigned int>("unsigned int", {{1234u, 2, "12.34"},
                                                {5u, 2, ".05"},
                                                {0u, 3, ".000"},
                                                {7u, 0, "7"},
                                                {7u, -1, "7"},
                                                {12u, 5, ".00012"},
                                                {UINT_MAX, 3, "4294967.295"}});
    CheckNumbers<int>("int", {{1234, 2, "12.34"},
                              {-1234, 2, "-12.34"},
                              {-5, 1, "-.5"},
                              {-12, 2, "-.12"},
                              {-42, -3, "-42"},
                              {INT_MIN, 2, "-21474836.48"}});
    CheckNumbers<long>(
        "long", {{123456789012L, 4, "12345678.9012"}, {-1L, 1, "-.1"}, {LONG_MAX, 0, "9223372036854775807"}});
    CheckNumbers<unsigned long>("unsigned long", {{9UL, 1, ".9"}, {ULONG_MAX, 1, "1844674407370955161.5"}});
    CheckNumbers<long long>("long long", {{100LL, 2, "1.00"}, {LLONG_MIN, 0, "-9223372036854775808"}});
}

// A negative value whose text, sign included, is no longer than the decimals
// reads as "-" and the digits padded as a non-negative value would be.
TEST(StringTFormat, FormatNumberPadsShortNegativeValuesBehindTheSign)
{
    CheckNumbers<int>(
        "int", {{-5, 2, "-.05"}, {-5, 3, "-.005"}, {-12, 3, "-.012"}, {INT_MIN, 12, "-.002147483648"}});
    CheckNumbers<long>("long", {{LONG_MIN, 20, "-.09223372036854775808"}, {-1L, 2, "-.01"}});
    CheckNumbers<long long>("long long", {{-7LL, 3, "-.007"}, {LLONG_MIN, 19, "-.9223372036854775808"}});
}

TEST(StringTFormat, FormatNumberRoundsFloatingPointAsPrintfDoes)
{
    auto check = []
    {
        CheckNumbers<float>(
            "float", {{2.5f, 1, "2.5"}, {2.5f, -1, "2.500000"}, {1.25f, 2, "1.25"}, {-2.5f, 3, "-2.500"}});
        CheckNumbers<double>("double", {{1.25, 2, "1.25"},
                                        {1.25, -1, "1.250000"},
                                        {2.675, 2, "2.67"},
                                        {-0.5, 0, "-0"},
                                        {1e20, 0, "100000000000000000000"}});
    };
    check();
    TestSupport::ScopedThreadLocale locale;
    if (!locale.IsActive())
    {
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    }
    check();
}

TEST(StringTFormat, FormatCutsItsResultAt16383Bytes)
{
    const std::string exact(16383, 'x');
    EXPECT_EQ(String8::Format("%s", exact.c_str()).GetLength(), 16383u);
    const String8 cut = String8::Format("%s!", exact.c_str());
    EXPECT_EQ(cut.GetLength(), 16383u);
    EXPECT_EQ(std::string(cut.CStr()), exact);
    EXPECT_STREQ(String8::Format("%d-%s-%05.1f", -5, "x", 2.25).CStr(), "-5-x-002.2");
}

TEST(StringTFormat, FormatAndSetFormattedIgnoreTheHostLocale)
{
    TestSupport::ScopedThreadLocale locale;
    if (!locale.IsActive())
    {
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    }
    EXPECT_STREQ(String8::Format("%.1f %'d", 2.5, 1234567).CStr(), "2.5 1234567");
    String8 text("old");
    EXPECT_EQ(&text.SetFormatted("%.2f", 0.25), &text);
    EXPECT_STREQ(text.CStr(), "0.25");
}

TEST(StringTFormat, SetFormattedReplacesTheTextAndMayReadItsOwnText)
{
    String8 text("abc");
    text.SetFormatted("%s+%s", text.CStr(), text.CStr());
    EXPECT_STREQ(text.CStr(), "abc+abc");
    EXPECT_EQ(text.GetLength(), 7u);
}

TEST(StringTFormat, SplitTokenKeepsTheFirstTokenAndReturnsTheRest)
{
    struct Row
    {
        const char* Text;
        const char* Delimiters;
        const char* Token;
        const char* Rest;
    };
    const Row rows[] = {
        {"a,b,c", ",", "a", "b,c"}, {",,a,,b", ",", "a", ",b"},
        {"abc", ",", "abc", ""},    {"", ",", "", ""},
        {",,,", ",", "", ""},       {"a;b,c", ",;", "a", "b,c"},
        {"a,", ",", "a", ""},       {"k=v=x", "=", "k", "v=x"},
        {"abc", "", "abc", ""},     {"  padded  x", " ", "padded", " x"},
    };
    for (const Row& row : rows)
    {
        String8 text(row.Text);
        const String8 rest = text.SplitToken(String8(row.Delimiters));
        EXPECT_STREQ(text.CStr(), row.Token) << row.Text << " / " << row.Delimiters;
        EXPECT_STREQ(rest.CStr(), row.Rest) << row.Text << " / " << row.Delimiters;
    }
}

TEST(StringTFormat, ReplacePutsTheUnitInPlaceOfEveryMemberOfTheSet)
{
    struct Row
    {
        const char* Text;
        const char* Set;
        char Unit;
        const char* Result;
    };
    const Row rows[] = {
        {"a,b;c", ",;", '_', "a_b_c"}, {"abc", "", '_', "abc"}, {"aaa", "a", 'b', "bbb"},
        {"a,b", ",", '\0', "a,b"},     {"", ",", '_', ""},      {"x\xC3\xA9", "\xA9", '?', "x\xC3?"},
    };
    for (const Row& row : rows)
    {
        String8 text(row.Text);
        EXPECT_EQ(&text.Replace(row.Set, row.Unit), &text);
        EXPECT_STREQ(text.CStr(), row.Result) << row.Text << " / " << row.Set;
    }
}

TEST(StringTFormat, ReverseKeepsMultiUnitCharactersWhole)
{
    struct Row
    {
        const char* Name;
        const char* Text;
        const char* Reversed;
    };
    const Row rows[] = {
        {"empty", "", ""},
        {"ascii", "abc", "cba"},
        {"two-byte character", "a\xC3\xA9",
         "\xC3\xA9"
         "a"},
        {"three-byte character",
         "a\xE2\x82\xAC"
         "b",
         "b\xE2\x82\xAC"
         "a"},
        {"outside the plane", "x\xF0\x9F\x98\x80y", "y\xF0\x9F\x98\x80x"},
        {"two outside the plane", "\xF0\x9F\x98\x80\xF0\x9F\x98\x81", "\xF0\x9F\x98\x81\xF0\x9F\x98\x80"},
        {"stops at ill-formed text",
         "ab\xC0\x80"
         "cd",
         "ba"},
    };
    for (const Row& row : rows)
    {
        const String8 text(row.Text);
        EXPECT_STREQ(text.Reverse().CStr(), row.Reversed) << row.Name;
        EXPECT_STREQ(text.CStr(), row.Text) << row.Name;
    }
}

TEST(StringTFormat, ReverseOfUtf16TextKeepsSurrogatePairsTogether)
{
    struct Row
    {
        const char* Name;
        std::vector<unsigned short> Text;
        std::vector<unsigned short> Reversed;
    };
    const Row rows[] = {
        {"empty", {}, {}},
        {"plane", {0x61, 0xE9, 0x20AC}, {0x20AC, 0xE9, 0x61}},
        {"pair", {0x61, 0xD83D, 0xDE00, 0x62}, {0x62, 0xD83D, 0xDE00, 0x61}},
        {"lone surrogates", {0xDE00, 0x61, 0xD83D}, {0xD83D, 0x61, 0xDE00}},
    };
    for (const Row& row : rows)
    {
        std::vector<unsigned short> text = row.Text;
        text.push_back(0);
        const String16 source(text.data());
        EXPECT_EQ(Units(source.Reverse()), row.Reversed) << row.Name;
    }
}

TEST(StringTFormat, Utf16StringRefusesWhatThePlatformCannotServe)
{
    const unsigned short format[] = {'%', 'd', 0};
    const unsigned short set[] = {',', 0};
    const std::string path = " :  : Device/KTFramework/Utilities/Storage/StringT : Line ";
    const std::string noWide = "Domain Error :  vsnwprintf only supported on Windows" + path;
    const std::string notImplemented = "Domain Error : Not implemented." + path;
    String16 text(set);
    struct Row
    {
        const char* Name;
        std::function<void()> Call;
        std::string Message;
    };
    const Row rows[] = {
        {"Format", [&] { String16::Format(format, 1); }, noWide + "41"},
        {"SetFormatted", [&] { text.SetFormatted(format, 1); }, noWide + "649"},
        {"SplitToken", [&] { text.SplitToken(String16(set)); }, notImplemented + "71"},
        {"Replace", [&] { text.Replace(set, '_'); }, notImplemented + "1356"},
    };
    for (const Row& row : rows)
    {
        try
        {
            row.Call();
            ADD_FAILURE() << row.Name << " did not throw";
        }
        catch (const Exception<std::domain_error>& error)
        {
            EXPECT_EQ(std::string(error.what()), row.Message) << row.Name;
        }
    }
    EXPECT_EQ(&text.Replace(set, 0), &text);
    EXPECT_EQ(Units(text), Widen(","));
}

} // namespace
