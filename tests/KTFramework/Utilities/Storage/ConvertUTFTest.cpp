#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KTFramework/Utilities/Storage/ConvertUTF.h"

namespace
{

using Bytes = std::vector<unsigned char>;
using Units16 = std::vector<unsigned short>;
using Units32 = std::vector<unsigned long>;

// Runs one converter over the whole source into a target of the given room and
// reports what it wrote and how far it read.
template <class To>
struct Outcome
{
    int Result;
    std::vector<To> Written;
    std::size_t Consumed;
};

template <class From, class To, class Fn>
Outcome<To> Convert(Fn convert, const std::vector<From>& source, std::size_t room, int flags)
{
    std::vector<To> target(room + 1, static_cast<To>(0x5A5A));
    const From* sourceStart = source.data();
    To* targetStart = target.data();
    const int result =
        convert(&sourceStart, source.data() + source.size(), &targetStart, target.data() + room, flags);
    // Nothing may be written past the end given.
    EXPECT_EQ(target[room], static_cast<To>(0x5A5A));
    const std::size_t written = static_cast<std::size_t>(targetStart - target.data());
    return {result, std::vector<To>(target.begin(), target.begin() + written),
            static_cast<std::size_t>(sourceStart - source.data())};
}

// What a conversion is expected to have answered, written and read.
template <class To>
void ExpectOutcome(const Outcome<To>& got, int result, const std::vector<To>& written, std::size_t consumed)
{
    EXPECT_EQ(got.Result, result);
    EXPECT_EQ(got.Written, written);
    EXPECT_EQ(got.Consumed, consumed);
}

constexpr std::size_t kRoomy = 64;

struct Utf8Row
{
    const char* Name;
    Bytes Source;
    int Result;
    Units16 Utf16;
    std::size_t Consumed;
};

TEST(ConvertUTF, ReadsWellFormedUtf8AndStopsAtIllFormedSequencesInEitherMode)
{
    const Utf8Row rows[] = {
        {"ascii", {0x41, 0x7F}, UTF_OK, {0x41, 0x7F}, 2},
        {"two bytes", {0xC3, 0xA9}, UTF_OK, {0x00E9}, 2},
        {"three bytes", {0xE2, 0x82, 0xAC}, UTF_OK, {0x20AC}, 3},
        {"last of the plane", {0xEF, 0xBF, 0xBF}, UTF_OK, {0xFFFF}, 3},
        {"four bytes", {0xF0, 0x9F, 0x98, 0x80}, UTF_OK, {0xD83D, 0xDE00}, 4},
        {"highest code point", {0xF4, 0x8F, 0xBF, 0xBF}, UTF_OK, {0xDBFF, 0xDFFF}, 4},
        {"overlong two", {0xC0, 0x80}, UTF_SOURCE_INVALID, {}, 0},
        {"overlong two C1", {0x41, 0xC1, 0xBF}, UTF_SOURCE_INVALID, {0x41}, 1},
        {"overlong three", {0xE0, 0x80, 0x80}, UTF_SOURCE_INVALID, {}, 0},
        {"overlong four", {0xF0, 0x8F, 0xBF, 0xBF}, UTF_SOURCE_INVALID, {}, 0},
        {"surrogate", {0x41, 0xED, 0xA0, 0x80}, UTF_SOURCE_INVALID, {0x41}, 1},
        {"past U+10FFFF", {0xF4, 0x90, 0x80, 0x80}, UTF_SOURCE_INVALID, {}, 0},
        {"lead F5", {0xF5, 0x80, 0x80, 0x80}, UTF_SOURCE_INVALID, {}, 0},
        {"five-byte form", {0xF8, 0x88, 0x80, 0x80, 0x80}, UTF_SOURCE_INVALID, {}, 0},
        {"stray continuation", {0x41, 0x80, 0x41}, UTF_SOURCE_INVALID, {0x41}, 1},
        {"bad continuation", {0xE2, 0x41, 0x80}, UTF_SOURCE_INVALID, {}, 0},
        {"cut two", {0x41, 0xC3}, UTF_SOURCE_TRUNCATED, {0x41}, 1},
        {"cut four", {0xF0, 0x9F, 0x98}, UTF_SOURCE_TRUNCATED, {}, 0},
        {"lead FF at end", {0xFF}, UTF_SOURCE_TRUNCATED, {}, 0},
    };
    for (const Utf8Row& row : rows)
    {
        for (int flags : {UTF_STRICT, UTF_LENIENT})
        {
            SCOPED_TRACE(std::string(row.Name) + (flags == UTF_STRICT ? " strict" : " lenient"));
            auto to16 = Convert<unsigned char, unsigned short>(ConvertUTF8toUTF16, row.Source, kRoomy, flags);
            ExpectOutcome(to16, row.Result, row.Utf16, row.Consumed);

            // The same stops towards UTF-32, with the pairs joined.
            auto to32 = Convert<unsigned char, unsigned long>(ConvertUTF8toUTF32, row.Source, kRoomy, flags);
            EXPECT_EQ(to32.Result, row.Result);
            EXPECT_EQ(to32.Consumed, row.Consumed);
            auto back =
                Convert<unsigned short, unsigned long>(ConvertUTF16toUTF32, row.Utf16, kRoomy, UTF_STRICT);
            EXPECT_EQ(to32.Written, back.Written);
        }
    }
}

// After the lead bytes 0xED and 0xF4 the second byte has a narrower range
// than 0x80-0xBF, but it is still a continuation byte: an ASCII byte (even a
// NUL) there must not be swallowed into an invented character.
TEST(ConvertUTF, SecondByteAfterEdAndF4MustBeAContinuationByte)
{
    struct Row
    {
        const char* Name;
        Bytes Source;
        // Where isLegalUTF8Sequence is asked, and its answer.
        std::size_t CheckAt;
        bool Legal;
        int Result;
        Units16 Utf16;
        Units32 Utf32;
        std::size_t Consumed;
    };
    const Row rows[] = {
        {"ED 60 A0", {0xED, 0x60, 0xA0}, 0, false, UTF_SOURCE_INVALID, {}, {}, 0},
        {"ED 41 80", {0xED, 0x41, 0x80}, 0, false, UTF_SOURCE_INVALID, {}, {}, 0},
        {"F4 00 84 9E", {0xF4, 0x00, 0x84, 0x9E}, 0, false, UTF_SOURCE_INVALID, {}, {}, 0},
        {"NUL hidden after text",
         {0x68, 0xC3, 0xA9, 0x00, 0x20, 0xF4, 0x00, 0x84, 0x9E},
         5,
         false,
         UTF_SOURCE_INVALID,
         {0x68, 0xE9, 0x00, 0x20},
         {0x68, 0xE9, 0x00, 0x20},
         5},
        {"F4 32 after text",
         {0x0B, 0x2A, 0xF4, 0x32, 0x80, 0x82},
         2,
         false,
         UTF_SOURCE_INVALID,
         {0x0B, 0x2A},
         {0x0B, 0x2A},
         2},
        {"ED 52 behind a stray continuation",
         {0x52, 0x52, 0x11, 0x84, 0x11, 0xF5, 0xED, 0x52, 0x81, 0x52, 0x52, 0x00},
         6,
         false,
         UTF_SOURCE_INVALID,
         {0x52, 0x52, 0x11},
         {0x52, 0x52, 0x11},
         3},
        {"ED 7F 80", {0xED, 0x7F, 0x80}, 0, false, UTF_SOURCE_INVALID, {}, {}, 0},
        {"ED 80 80", {0xED, 0x80, 0x80}, 0, true, UTF_OK, {0xD000}, {0xD000}, 3},
        {"ED 9F BF", {0xED, 0x9F, 0xBF}, 0, true, UTF_OK, {0xD7FF}, {0xD7FF}, 3},
        {"ED A0 80", {0xED, 0xA0, 0x80}, 0, false, UTF_SOURCE_INVALID, {}, {}, 0},
        {"F4 7F 80 80", {0xF4, 0x7F, 0x80, 0x80}, 0, false, UTF_SOURCE_INVALID, {}, {}, 0},
        {"F4 80 80 80", {0xF4, 0x80, 0x80, 0x80}, 0, true, UTF_OK, {0xDBC0, 0xDC00}, {0x100000}, 4},
        {"F4 8F BF BF", {0xF4, 0x8F, 0xBF, 0xBF}, 0, true, UTF_OK, {0xDBFF, 0xDFFF}, {0x10FFFF}, 4},
        {"F4 90 80 80", {0xF4, 0x90, 0x80, 0x80}, 0, false, UTF_SOURCE_INVALID, {}, {}, 0},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.Name);
        const unsigned char* end = row.Source.data() + row.Source.size();
        EXPECT_EQ(isLegalUTF8Sequence(row.Source.data() + row.CheckAt, end), row.Legal);
        for (int flags : {UTF_STRICT, UTF_LENIENT})
        {
            SCOPED_TRACE(flags == UTF_STRICT ? "strict" : "lenient");
            ExpectOutcome(
                Convert<unsigned char, unsigned short>(ConvertUTF8toUTF16, row.Source, kRoomy, flags),
                row.Result, row.Utf16, row.Consumed);
            ExpectOutcome(
                Convert<unsigned char, unsigned long>(ConvertUTF8toUTF32, row.Source, kRoomy, flags),
                row.Result, row.Utf32, row.Consumed);
        }
    }
}

struct Utf16Row
{
    const char* Name;
    Units16 Source;
    int Flags;
    int Result;
    Bytes Utf8;
    Units32 Utf32;
    std::size_t Consumed;
};

TEST(ConvertUTF, JoinsSurrogatePairsAndTreatsLoneSurrogatesByMode)
{
    const Utf16Row rows[] = {
        {"pair", {0xD83D, 0xDE00}, UTF_STRICT, UTF_OK, {0xF0, 0x9F, 0x98, 0x80}, {0x1F600}, 2},
        {"boundaries",
         {0x7F, 0x80, 0x7FF, 0x800, 0xFFFF},
         UTF_STRICT,
         UTF_OK,
         {0x7F, 0xC2, 0x80, 0xDF, 0xBF, 0xE0, 0xA0, 0x80, 0xEF, 0xBF, 0xBF},
         {0x7F, 0x80, 0x7FF, 0x800, 0xFFFF},
         5},
        {"lone low lenient", {0xDE00}, UTF_LENIENT, UTF_OK, {0xED, 0xB8, 0x80}, {0xDE00}, 1},
        {"lone low strict", {0x41, 0xDE00}, UTF_STRICT, UTF_SOURCE_INVALID, {0x41}, {0x41}, 1},
        {"unpaired high lenient",
         {0xD800, 0x41},
         UTF_LENIENT,
         UTF_OK,
         {0xED, 0xA0, 0x80, 0x41},
         {0xD800, 0x41},
         2},
        {"unpaired high strict", {0xD800, 0x41}, UTF_STRICT, UTF_SOURCE_INVALID, {}, {}, 0},
        {"high at the end strict", {0x41, 0xDBFF}, UTF_STRICT, UTF_SOURCE_TRUNCATED, {0x41}, {0x41}, 1},
        {"high at the end lenient", {0xDBFF}, UTF_LENIENT, UTF_SOURCE_TRUNCATED, {}, {}, 0},
    };
    for (const Utf16Row& row : rows)
    {
        SCOPED_TRACE(row.Name);
        auto to8 = Convert<unsigned short, unsigned char>(ConvertUTF16toUTF8, row.Source, kRoomy, row.Flags);
        ExpectOutcome(to8, row.Result, row.Utf8, row.Consumed);
        auto to32 =
            Convert<unsigned short, unsigned long>(ConvertUTF16toUTF32, row.Source, kRoomy, row.Flags);
        ExpectOutcome(to32, row.Result, row.Utf32, row.Consumed);
    }
}

struct Utf32Row
{
    const char* Name;
    Units32 Source;
    int Flags;
    int Result16;
    Units16 Utf16;
    std::size_t Consumed16;
    int Result8;
    Bytes Utf8;
    std::size_t Consumed8;
};

TEST(ConvertUTF, WritesUtf32WithReplacementOrRefusalByMode)
{
    const Utf32Row rows[] = {
        {"plane and beyond",
         {0x41, 0xE9, 0x1F600},
         UTF_STRICT,
         UTF_OK,
         {0x41, 0xE9, 0xD83D, 0xDE00},
         3,
         UTF_OK,
         {0x41, 0xC3, 0xA9, 0xF0, 0x9F, 0x98, 0x80},
         3},
        {"past U+10FFFF lenient",
         {0x110000, 0x41},
         UTF_LENIENT,
         UTF_OK,
         {0xFFFD, 0x41},
         2,
         UTF_SOURCE_INVALID,
         {0xEF, 0xBF, 0xBD, 0x41},
         2},
        {"past U+10FFFF strict",
         {0x110000, 0x41},
         UTF_STRICT,
         UTF_SOURCE_INVALID,
         {0x41},
         2,
         UTF_SOURCE_INVALID,
         {0xEF, 0xBF, 0xBD, 0x41},
         2},
        {"past 32 bits",
         {0x100000041UL},
         UTF_LENIENT,
         UTF_OK,
         {0xFFFD},
         1,
         UTF_SOURCE_INVALID,
         {0xEF, 0xBF, 0xBD},
         1},
        {"surrogate lenient", {0xD800}, UTF_LENIENT, UTF_OK, {0xFFFD}, 1, UTF_OK, {0xED, 0xA0, 0x80}, 1},
        {"surrogate strict",
         {0x41, 0xDFFF},
         UTF_STRICT,
         UTF_SOURCE_INVALID,
         {0x41},
         1,
         UTF_SOURCE_INVALID,
         {0x41},
         1},
    };
    for (const Utf32Row& row : rows)
    {
        SCOPED_TRACE(row.Name);
        auto to16 =
            Convert<unsigned long, unsigned short>(ConvertUTF32toUTF16, row.Source, kRoomy, row.Flags);
        ExpectOutcome(to16, row.Result16, row.Utf16, row.Consumed16);
        auto to8 = Convert<unsigned long, unsigned char>(ConvertUTF32toUTF8, row.Source, kRoomy, row.Flags);
        ExpectOutcome(to8, row.Result8, row.Utf8, row.Consumed8);
    }
}

// A full target leaves the source at the start of the character that did not
// fit, and writes nothing of it.
TEST(ConvertUTF, FullTargetStopsBeforeTheCharacterThatDoesNotFit)
{
    {
        SCOPED_TRACE("UTF-8 to UTF-16: pair with one unit left");
        auto r = Convert<unsigned char, unsigned short>(ConvertUTF8toUTF16,
                                                        Bytes{0x41, 0xF0, 0x9F, 0x98, 0x80}, 2, UTF_STRICT);
        ExpectOutcome(r, UTF_TARGET_FULL, Units16{0x41}, 1u);
    }
    {
        SCOPED_TRACE("UTF-8 to UTF-16: no room at all");
        auto r = Convert<unsigned char, unsigned short>(ConvertUTF8toUTF16, Bytes{0xC3, 0xA9}, 0, UTF_STRICT);
        EXPECT_EQ(r.Result, UTF_TARGET_FULL);
        EXPECT_EQ(r.Consumed, 0u);
    }
    {
        SCOPED_TRACE("UTF-16 to UTF-8: four bytes with three left");
        auto r = Convert<unsigned short, unsigned char>(ConvertUTF16toUTF8, Units16{0x41, 0xD83D, 0xDE00}, 4,
                                                        UTF_STRICT);
        ExpectOutcome(r, UTF_TARGET_FULL, Bytes{0x41}, 1u);
    }
    {
        SCOPED_TRACE("UTF-16 to UTF-32: pair with no room");
        auto r = Convert<unsigned short, unsigned long>(ConvertUTF16toUTF32, Units16{0x41, 0xD83D, 0xDE00}, 1,
                                                        UTF_STRICT);
        ExpectOutcome(r, UTF_TARGET_FULL, Units32{0x41}, 1u);
    }
    {
        SCOPED_TRACE("UTF-32 to UTF-16: pair with one unit left");
        auto r = Convert<unsigned long, unsigned short>(ConvertUTF32toUTF16, Units32{0x41, 0x1F600}, 2,
                                                        UTF_STRICT);
        ExpectOutcome(r, UTF_TARGET_FULL, Units16{0x41}, 1u);
    }
    {
        SCOPED_TRACE("UTF-32 to UTF-8: two bytes with one left");
        auto r =
            Convert<unsigned long, unsigned char>(ConvertUTF32toUTF8, Units32{0x41, 0xE9}, 2, UTF_STRICT);
        ExpectOutcome(r, UTF_TARGET_FULL, Bytes{0x41}, 1u);
    }
    {
        SCOPED_TRACE("UTF-8 to UTF-32: no room for the second");
        auto r = Convert<unsigned char, unsigned long>(ConvertUTF8toUTF32, Bytes{0x41, 0xE2, 0x82, 0xAC}, 1,
                                                       UTF_STRICT);
        ExpectOutcome(r, UTF_TARGET_FULL, Units32{0x41}, 1u);
    }
}

TEST(ConvertUTF, LegalSequenceNeedsTheWholeSequenceInsideTheSource)
{
    struct Row
    {
        const char* Name;
        Bytes Source;
        std::size_t Length;
        bool Legal;
    };
    const Row rows[] = {
        {"ascii", {0x41}, 1, true},
        {"two bytes", {0xC3, 0xA9}, 2, true},
        {"two bytes cut by the end", {0xC3, 0xA9}, 1, false},
        {"four bytes", {0xF0, 0x9F, 0x98, 0x80}, 4, true},
        {"four bytes cut by the end", {0xF0, 0x9F, 0x98, 0x80}, 3, false},
        {"overlong", {0xC0, 0x80}, 2, false},
        {"surrogate", {0xED, 0xA0, 0x80}, 3, false},
        {"past U+10FFFF", {0xF4, 0x90, 0x80, 0x80}, 4, false},
        {"continuation as lead", {0x80}, 1, false},
        {"five-byte form", {0xF8, 0x88, 0x80, 0x80, 0x80}, 5, false},
        {"empty range", {0x41}, 0, false},
    };
    for (const Row& row : rows)
    {
        EXPECT_EQ(isLegalUTF8Sequence(row.Source.data(), row.Source.data() + row.Length), row.Legal)
            << row.Name;
    }
}

} // namespace
