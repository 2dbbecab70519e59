#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "KTFramework/Utilities/Storage/StringT.h"

// Result codes that a test does not judge (set-up steps, and calls whose effect
// it checks another way) are cast to void.

using namespace KT;

namespace
{

using String8 = StringT<char, unsigned short>;
using String16 = StringT<unsigned short, char>;

// ASCII text in the units of either width, NUL-terminated.
template <class CharT>
std::vector<CharT> Units(const char* ascii)
{
    std::vector<CharT> units(ascii, ascii + std::strlen(ascii));
    units.push_back(0);
    return units;
}

// The text as far as the string's length reaches.
std::string Text(const String8& s)
{
    return std::string(s.CStr(), s.GetLength());
}

// Made while this file's static objects are constructed, and destroyed at exit
// after the library's ordinary static objects may be gone: the empty strings
// must serve both.
struct EarlyStrings
{
    EarlyStrings() : mEmptyText(String8::Empty.CStr()), mNamed("early") { mNamed += String8("bird"); }
    ~EarlyStrings()
    {
        String8 late;
        late = String8::Empty;
        late += mNamed;
    }
    const char* mEmptyText;
    String8 mDefault;
    String8 mNamed;
};
EarlyStrings gEarly;

} // namespace

TEST(StringT, StaticStringsAreUsableDuringStaticConstruction)
{
    EXPECT_EQ(String8::GetEmpty().CStr(), gEarly.mEmptyText);
    EXPECT_EQ(String8::GetEmpty().CStr(), gEarly.mDefault.CStr());
    EXPECT_EQ("earlybird", Text(gEarly.mNamed));
}

template <class S>
class StringBothWidths : public ::testing::Test
{
};
using BothWidths = ::testing::Types<String8, String16>;
TYPED_TEST_SUITE(StringBothWidths, BothWidths);

// Every empty string made by the default constructor or by Assign of empty text
// shares the one buffer of GetEmpty(); the single-character constructor with NUL
// has its own.
TYPED_TEST(StringBothWidths, EmptyStringsShareOneBuffer)
{
    using S = TypeParam;
    using C = typename S::CharType;
    const C* shared = S::GetEmpty().CStr();
    EXPECT_EQ(shared, S::Empty.CStr());

    const std::vector<C> empty = Units<C>("");
    const std::vector<C> text = Units<C>("abc");
    S byDefault;
    S fromEmpty(empty.data());
    S fromNull(static_cast<const C*>(nullptr));
    S countZero(text.data());
    countZero.Assign(text.data(), 0);
    S assignedNull(text.data());
    assignedNull.Assign(nullptr, S::kWholeText);
    const struct
    {
        const char* name;
        const S* string;
    } sharing[] = {{"default", &byDefault},
                   {"empty text", &fromEmpty},
                   {"null text", &fromNull},
                   {"assigned with count 0", &countZero},
                   {"assigned null", &assignedNull}};
    for (const auto& row : sharing)
    {
        EXPECT_EQ(shared, row.string->CStr()) << row.name;
        EXPECT_EQ(0u, row.string->GetLength()) << row.name;
    }

    S ownNul{C(0)};
    EXPECT_NE(shared, ownNul.CStr());
    EXPECT_TRUE(ownNul.IsEmpty());
    EXPECT_EQ(0u, ownNul.GetLength());
    EXPECT_TRUE(ownNul.IsEqual(byDefault));
}

TYPED_TEST(StringBothWidths, AssignTakesAtMostTheCountUpToTheNul)
{
    using S = TypeParam;
    using C = typename S::CharType;
    const std::vector<C> hello = Units<C>("hello");
    const struct
    {
        unsigned long count, length;
    } cases[] = {{S::kWholeText, 5}, {3, 3}, {5, 5}, {9, 5}, {~0ul, 5}};
    for (const auto& c : cases)
    {
        S s;
        s.Assign(hello.data(), c.count);
        ASSERT_EQ(c.length, s.GetLength()) << "count " << c.count;
        EXPECT_EQ(0, std::memcmp(hello.data(), s.CStr(), c.length * sizeof(C))) << "count " << c.count;
        EXPECT_EQ(C(0), s.CStr()[c.length]) << "count " << c.count;
    }

    // Copies share the buffer until one of them is assigned anew.
    S original(hello.data());
    S copy(original);
    EXPECT_EQ(original.CStr(), copy.CStr());
    const std::vector<C> other = Units<C>("xy");
    copy = other.data();
    EXPECT_EQ(5u, original.GetLength());
    EXPECT_EQ(2u, copy.GetLength());

    // Text taken from the string's own buffer.
    original.Assign(original.CStr() + 1, 3);
    EXPECT_EQ(0, std::memcmp(hello.data() + 1, original.CStr(), 3 * sizeof(C)));
    EXPECT_EQ(3u, original.GetLength());
}

TEST(StringT, LockAndRelease)
{
    String8 s("hello");
    char* p = s.Lock(10);
    ASSERT_NE(nullptr, p);
    EXPECT_TRUE(s.IsLocked());
    EXPECT_EQ(0, std::memcmp("hello\0\0\0\0\0", p, 10));
    EXPECT_EQ(nullptr, s.Lock(20));

    // Copies of a locked string are unlocked and hold buffers of their own.
    String8 copied(s);
    String8 assigned;
    assigned = s;
    EXPECT_FALSE(copied.IsLocked() || assigned.IsLocked());
    EXPECT_NE(s.CStr(), copied.CStr());
    EXPECT_EQ("hello", Text(copied));
    EXPECT_EQ("hello", Text(assigned));

    std::memcpy(p, "hi", 3);
    EXPECT_EQ(0, s.Release());
    EXPECT_EQ("hi", Text(s));
    EXPECT_EQ(1, s.Release());

    String8 cut("hello");
    cut.Lock(3);
    cut.Release();
    EXPECT_EQ("he", Text(cut));

    // A shared buffer is copied before it is handed out; an emptied lock returns
    // the string to the shared empty buffer.
    String8 first("shared");
    String8 second(first);
    second.Lock(0)[0] = 'S';
    second.Release();
    EXPECT_EQ("shared", Text(first));
    EXPECT_EQ("Shared", Text(second));
    String8 empty;
    EXPECT_NE(String8::GetEmpty().CStr(), empty.Lock(8));
    EXPECT_EQ(0, empty.Release());
    EXPECT_EQ(String8::Empty.CStr(), empty.CStr());
}

TEST(StringT, LockClearsTheUnitsItAdds)
{
    // The string's own buffer, grown in place: what the allocator left in the
    // new units must not show.
    String8 s("hello");
    char* p = s.Lock(300);
    for (int i = 5; i < 300; ++i)
    {
        ASSERT_EQ(0, p[i]) << "unit " << i;
    }
    s.Release();
}

TEST(StringT, AssignmentIntoALockedBufferIsCutToItsSize)
{
    String8 s;
    char* p = s.Lock(12);
    std::memcpy(p, "hello world", 12);

    s = "abc";
    EXPECT_TRUE(s.IsLocked());
    EXPECT_EQ(static_cast<const char*>(p), s.CStr());
    EXPECT_EQ("abc", Text(s));
    s.Assign("abcdefghijklmnopqrst", String8::kWholeText);
    EXPECT_EQ("abcdefghijk", Text(s));
    s = String8("0123456789abcdef");
    EXPECT_EQ("0123456789a", Text(s));
    EXPECT_EQ(static_cast<const char*>(p), s.CStr());

    s = "";
    EXPECT_TRUE(s.IsLocked() && s.IsEmpty());
    EXPECT_EQ(static_cast<const char*>(p), s.CStr());
}

// A writer that fills the locked buffer to its last unit leaves no NUL: every
// reader stops at the buffer's end.
TEST(StringT, ALockedBufferWithoutANulIsReadOnlyToItsEnd)
{
    String8 s("x");
    std::memcpy(s.Lock(4), "abcd", 4);
    EXPECT_EQ(4u, s.GetLength());

    EXPECT_EQ("abcd", Text(String8(s)));
    String8 assigned("something longer");
    assigned = s;
    EXPECT_EQ("abcd", Text(assigned));
    EXPECT_TRUE(s.IsEqual("abcd"));
    EXPECT_FALSE(s.IsEqual("abcde"));
    EXPECT_TRUE(s.IsEqual(assigned));
    EXPECT_EQ(0, s.Compare("ABCD", false));
    EXPECT_GT(0, s.Compare("abcde", true));
    EXPECT_EQ("bc", Text(s.GetSubString(1, 2)));
    EXPECT_EQ("abcd", Text(s.ToLower()));
    String8 inserted("[]");
    static_cast<void>(inserted.Insert(1, s));
    inserted += s;
    EXPECT_EQ("[abcd]abcd", Text(inserted));

    // Release grows the buffer by the one unit that holds the NUL.
    EXPECT_EQ(0, s.Release());
    EXPECT_EQ("abcd", Text(s));
    EXPECT_EQ(0, s.CStr()[4]);
}

TEST(StringT, GetSubStringWindows)
{
    const String8 hello("hello");
    const unsigned long none = String8::kWholeText + 1; // the form without a count
    const struct
    {
        long start;
        unsigned long count;
        const char* expected;
    } cases[] = {
        {1, 3, "ell"},
        {-3, none, "llo"},
        {-6, 3, "he"},
        {-10, 3, ""},
        {5, 1, ""},
        {2, 0, ""},
        {-8, none, "hello"},
        {2, 100, "llo"},
        {6, none, ""},
        {-6, 1, ""},
        {LONG_MIN, none, "hello"},
        {LONG_MAX, 2, ""},
        {0, ~0ul, "hello"},
    };
    for (const auto& c : cases)
    {
        const String8 part =
            c.count == none ? hello.GetSubString(c.start) : hello.GetSubString(c.start, c.count);
        EXPECT_EQ(c.expected, Text(part)) << "start " << c.start << ", count " << c.count;
    }
}

TEST(StringT, InsertPositionsAndCounts)
{
    const struct
    {
        unsigned long position;
        const char* text;
        unsigned long count;
        int result;
        const char* expected;
    } cases[] = {
        {6, "!", String8::kWholeText, RESULT_INVALID_ARGUMENT, "hello"},
        {5, "!", String8::kWholeText, 0, "hello!"},
        {0, ">", 1, 0, ">hello"},
        {2, "XY", 1, 0, "heXllo"},
        {2, "XY", 5, 0, "heXYllo"},
        {2, "XY", 0, 0, "hello"},
        {2, nullptr, 3, 0, "hello"},
    };
    for (const auto& c : cases)
    {
        String8 s("hello");
        EXPECT_EQ(c.result, s.Insert(c.position, c.text, c.count)) << c.expected << " at " << c.position;
        EXPECT_EQ(c.expected, Text(s)) << "at " << c.position;
    }

    String8 self("ab");
    static_cast<void>(self.Insert(1, self));
    EXPECT_EQ("aabb", Text(self));
    static_cast<void>(self.Insert(0, self));
    EXPECT_EQ("aabbaabb", Text(self));

    // In a locked string the text stays in the buffer, cut to it, except at the
    // end, where the buffer grows.
    String8 locked("hello");
    char* p = locked.Lock(6);
    static_cast<void>(locked.Insert(2, "XY", String8::kWholeText));
    EXPECT_EQ(static_cast<const char*>(p), locked.CStr());
    EXPECT_EQ("heXYl", Text(locked));
    static_cast<void>(locked.Insert(locked.GetLength(), "!!", String8::kWholeText));
    EXPECT_TRUE(locked.IsLocked());
    EXPECT_EQ("heXYl!!", Text(locked));
}

TEST(StringT, Appending)
{
    String8 s("abc");
    s += s;
    EXPECT_EQ("abcabc", Text(s));
    s += '\0';
    s += '!';
    EXPECT_EQ("abcabc!", Text(s));
    EXPECT_EQ("xy", Text(String8("x") + String8("y")));

    // A locked string: an empty append leaves the buffer as it is; appending
    // itself resizes it to exactly the new text and keeps it locked.
    String8 locked("ab");
    char* p = locked.Lock(10);
    locked += String8();
    EXPECT_EQ(static_cast<const char*>(p), locked.CStr());
    locked += locked;
    EXPECT_TRUE(locked.IsLocked());
    EXPECT_EQ("abab", Text(locked));
    EXPECT_EQ(0, locked.CStr()[4]);
}

TEST(StringT, ComparisonAndCase)
{
    const String8 upper("ABC");
    const String8 lower("abc");
    EXPECT_EQ(0, upper.Compare(lower, false));
    EXPECT_GT(0, upper.Compare(lower, true));
    EXPECT_LT(0, upper.Compare("AB", true));
    EXPECT_EQ(0, String8().Compare(nullptr, true));
    EXPECT_EQ(0, String8::StrCompare(nullptr, "", true));
    // Bytes above 0x7F order after ASCII, as strcmp orders them.
    EXPECT_LT(0, String8::StrCompare("\xC3\xA9", "z", true));

    EXPECT_TRUE(String8().IsEqual(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(String8("a").IsEqual(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(String8().IsEqual("a"));
    EXPECT_TRUE(String8("abc") == lower);
    EXPECT_FALSE(String8("ab").IsEqual(lower));

    // Only A-Z change; every other byte, those of multi-byte characters included.
    EXPECT_EQ("caf\xC3\x89 \xC0z@[", Text(String8("Caf\xC3\x89 \xC0Z@[").ToLower()));
    for (int c = 0; c < 256; ++c)
    {
        const char out = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : static_cast<char>(c);
        ASSERT_EQ(out, String8::ToLower(static_cast<char>(c))) << "byte " << c;
    }
    EXPECT_EQ(0x00C9, String16::ToLower(0x00C9));
}

TEST(StringT, StrCopyWritesWithinTheDestination)
{
    const struct
    {
        unsigned long size;
        const char* source;
        unsigned long count;
        const char* expected; // 6 units, "######" before the copy
    } cases[] = {
        {0, "abc", 3, "######"},       {1, "abc", 3, "\0#####"}, {4, "abc", 3, "abc\0##"},
        {3, "abc", 3, "ab\0###"},      {6, "abc", 2, "ab###\0"}, {6, "ab", 4, "ab\0\0#\0"},
        {6, nullptr, 3, "\0\0\0##\0"},
    };
    for (const auto& c : cases)
    {
        char destination[6];
        std::memset(destination, '#', sizeof destination);
        String8::StrCopy(destination, c.size, c.source, c.count);
        EXPECT_EQ(0, std::memcmp(c.expected, destination, 6)) << "size " << c.size << ", count " << c.count;
    }
    EXPECT_EQ(0u, String8::StrLen(nullptr, 10));
    EXPECT_EQ(2u, String8::StrLen("abc", 2));
}

TEST(StringT, AdoptsABufferAndTrimsItToItsText)
{
    RCPtr<LIBuffer> padded = LBufferT<1, 0>::Create(6, 0, true);
    std::memcpy(padded->GetRawPtr(), "ab", 2);
    String8 s(padded);
    EXPECT_EQ("ab", Text(s));
    EXPECT_EQ(3u, padded->GetSizeBytes());
    EXPECT_EQ(padded->GetPtr<char>(), s.CStr());

    RCPtr<LIBuffer> full = LBufferT<1, 0>::Create(3, 0, true);
    std::memcpy(full->GetRawPtr(), "xyz", 3);
    String8 grown(full);
    EXPECT_EQ(4u, full->GetSizeBytes());
    EXPECT_EQ(0, grown.CStr()[3]);
    // The caller still holds the buffer: writing through the string copies it.
    grown.Lock(0)[0] = 'X';
    grown.Release();
    EXPECT_EQ(0, std::memcmp("xyz", full->GetRawPtr(), 4));

    EXPECT_EQ(String8::GetEmpty().CStr(), String8(RCPtr<LIBuffer>::Null).CStr());

    RCPtr<LIBuffer> wide = LBufferT<1, 0>::Create(8, 0, true);
    const unsigned short units[2] = {'h', 'i'};
    std::memcpy(wide->GetRawPtr(), units, sizeof units);
    EXPECT_EQ(2u, String16(wide).GetLength());
    EXPECT_EQ(6u, wide->GetSizeBytes());
}

namespace
{
// A buffer whose windowed copy yields nothing.
class LNoCopyBuffer : public LBufferT<1, 0>
{
public:
    LNoCopyBuffer() : LBufferT<1, 0>(3, 0, true) {}
    RCPtr<LIBuffer> CreateCopy(std::size_t, std::size_t) const override { return RCPtr<LIBuffer>(); }
};
} // namespace

TEST(StringT, LockReportsASharedBufferThatCannotBeCopied)
{
    RCPtr<LIBuffer> buffer(new LNoCopyBuffer);
    std::memcpy(buffer->GetRawPtr(), "hi", 3);
    String8 s(buffer);
    try
    {
        s.Lock(0);
        FAIL() << "Lock did not throw";
    }
    catch (const Exception<std::runtime_error>& e)
    {
        EXPECT_STREQ("Runtime Error :  : Device/KTFramework/Utilities/Storage/StringT : Line 760", e.what());
    }
    EXPECT_FALSE(s.IsLocked());
    EXPECT_EQ("hi", Text(s));
}
