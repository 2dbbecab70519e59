#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "KTFramework/Utilities/Storage/StringT.h"

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

std::string Text(const String8& s)
{
    return std::string(s.CStr(), s.GetLength());
}

// Made while this file's static objects are constructed: the empty string and
// its buffer must already be usable then.
struct EarlyStrings
{
    EarlyStrings()
        : mEmptyText(String8::Empty.CStr()),
          mSharedEmpty(String8::Empty.CStr() == String8::GetEmpty().CStr()), mDefault(), mNamed("early")
    {
        mNamed += String8("bird");
    }
    // Destroyed at exit, possibly after other static strings: still makes and
    // drops strings.
    ~EarlyStrings()
    {
        String8 late;
        late = String8::Empty;
        late += mNamed;
    }
    const char* mEmptyText;
    bool mSharedEmpty;
    String8 mDefault;
    String8 mNamed;
};
EarlyStrings gEarly;

} // namespace

TEST(StringT, StaticStringsAreUsableDuringStaticConstruction)
{
    ASSERT_NE(nullptr, gEarly.mEmptyText);
    EXPECT_STREQ("", gEarly.mEmptyText);
    EXPECT_TRUE(gEarly.mSharedEmpty);
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
    ASSERT_NE(nullptr, shared);
    EXPECT_EQ(shared, S::Empty.CStr());

    const std::vector<C> empty = Units<C>("");
    const std::vector<C> text = Units<C>("abc");
    S byDefault;
    S fromEmpty(empty.data());
    S fromNull(static_cast<const C*>(nullptr));
    S assignedCountZero(text.data());
    assignedCountZero.Assign(text.data(), 0);
    S assignedNull(text.data());
    assignedNull.Assign(nullptr, S::kWholeText);
    S ownNul{C(0)};

    const struct
    {
        const char* name;
        const S* string;
    } sharing[] = {{"default", &byDefault},
                   {"empty text", &fromEmpty},
                   {"null text", &fromNull},
                   {"assigned with count 0", &assignedCountZero},
                   {"assigned null", &assignedNull}};
    for (const auto& row : sharing)
    {
        EXPECT_EQ(shared, row.string->CStr()) << row.name;
        EXPECT_TRUE(row.string->IsEmpty()) << row.name;
        EXPECT_EQ(0u, row.string->GetLength()) << row.name;
    }
    EXPECT_NE(shared, ownNul.CStr());
    EXPECT_TRUE(ownNul.IsEmpty());
    EXPECT_EQ(0u, ownNul.GetLength());
    EXPECT_TRUE(ownNul.IsEqual(byDefault));
    EXPECT_TRUE(byDefault.IsEqual(ownNul));
}

TYPED_TEST(StringBothWidths, AssignTakesAtMostTheCountUpToTheNul)
{
    using S = TypeParam;
    using C = typename S::CharType;
    const std::vector<C> hello = Units<C>("hello");
    struct AssignCase
    {
        unsigned long count;
        unsigned long length;
    };
    const AssignCase cases[] = {{S::kWholeText, 5}, {3, 3}, {5, 5}, {9, 5}, {1, 1}, {~0ul, 5}};
    for (const AssignCase& c : cases)
    {
        S s;
        s.Assign(hello.data(), c.count);
        ASSERT_EQ(c.length, s.GetLength()) << "count " << c.count;
        EXPECT_EQ(0, std::memcmp(hello.data(), s.CStr(), c.length * sizeof(C))) << "count " << c.count;
        EXPECT_EQ(C(0), s.CStr()[c.length]) << "count " << c.count;
        EXPECT_NE(S::GetEmpty().CStr(), s.CStr());
    }

    // A copy of an unlocked string holds the same buffer; the source's text
    // survives a new assignment to the copy.
    S original(hello.data());
    S copy(original);
    EXPECT_EQ(original.CStr(), copy.CStr());
    const std::vector<C> other = Units<C>("xy");
    copy = other.data();
    EXPECT_EQ(5u, original.GetLength());
    EXPECT_EQ(2u, copy.GetLength());

    // Text taken from the string's own buffer.
    original.Assign(original.CStr() + 1, 3);
    EXPECT_EQ(3u, original.GetLength());
    EXPECT_EQ(0, std::memcmp(hello.data() + 1, original.CStr(), 3 * sizeof(C)));
}

TEST(StringT, CopiesOfALockedStringAreUnlockedWithTheirOwnBuffer)
{
    String8 source("hello");
    char* locked = source.Lock(10);
    ASSERT_NE(nullptr, locked);

    String8 copied(source);
    String8 assigned;
    assigned = source;
    for (const String8* s : {&copied, &assigned})
    {
        EXPECT_FALSE(s->IsLocked());
        EXPECT_NE(static_cast<const char*>(locked), s->CStr());
        EXPECT_EQ("hello", Text(*s));
        EXPECT_EQ(5u, s->GetLength());
    }
    EXPECT_EQ(String8("x").Narrow().GetLength(), 1u);
}

TEST(StringT, LockAndRelease)
{
    // Lock 10 on 'hello': the text and NULs up to the tenth unit.
    String8 s("hello");
    char* p = s.Lock(10);
    ASSERT_NE(nullptr, p);
    EXPECT_TRUE(s.IsLocked());
    EXPECT_EQ(5u, s.GetLength());
    const char expected[10] = {'h', 'e', 'l', 'l', 'o', 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(expected, p, 10));
    EXPECT_EQ(nullptr, s.Lock(20));
    std::memcpy(p, "hi", 3);
    EXPECT_EQ(2u, s.GetLength());
    EXPECT_EQ(0, s.Release());
    EXPECT_FALSE(s.IsLocked());
    EXPECT_EQ("hi", Text(s));
    EXPECT_EQ(1, s.Release());

    // Lock 3 cuts the text.
    String8 cut("hello");
    cut.Lock(3);
    EXPECT_EQ(2u, cut.GetLength());
    cut.Release();
    EXPECT_EQ("he", Text(cut));

    // Lock 0 means length + 1.
    String8 exact("abc");
    char* q = exact.Lock(0);
    EXPECT_EQ(3u, exact.GetLength());
    EXPECT_EQ(0, q[3]);
    exact.Release();
    EXPECT_EQ("abc", Text(exact));
}

TEST(StringT, LockGivesASharedStringABufferOfItsOwn)
{
    String8 empty;
    char* p = empty.Lock(8);
    ASSERT_NE(nullptr, p);
    EXPECT_NE(String8::GetEmpty().CStr(), p);
    EXPECT_TRUE(String8::GetEmpty().IsEmpty());
    EXPECT_EQ(0, empty.Release());
    EXPECT_EQ(String8::Empty.CStr(), empty.CStr());

    String8 first("shared");
    String8 second(first);
    char* w = second.Lock(0);
    w[0] = 'S';
    second.Release();
    EXPECT_EQ("shared", Text(first));
    EXPECT_EQ("Shared", Text(second));
}

TEST(StringT, LockClearsTheUnitsItAdds)
{
    // The string's own buffer, grown in place: what the allocator left there
    // must not show.
    String8 s("hello");
    s.Lock(1);
    s.Release();
    EXPECT_EQ(0u, s.GetLength());
    String8 t("hello");
    String8 u(t);
    u = "abcdefgh";
    char* p = t.Lock(300);
    for (int i = 5; i < 300; ++i)
    {
        ASSERT_EQ(0, p[i]) << "unit " << i;
    }
    t.Release();
}

TEST(StringT, AssignmentIntoALockedBufferIsCutToItsSize)
{
    String8 s;
    char* p = s.Lock(12);
    std::memcpy(p, "hello world", 12);

    s = "abc";
    EXPECT_TRUE(s.IsLocked());
    EXPECT_EQ(static_cast<const char*>(p), s.CStr());
    EXPECT_EQ(3u, s.GetLength());

    s.Assign("abcdefghijklmnopqrst", String8::kWholeText);
    EXPECT_EQ(11u, s.GetLength());
    EXPECT_EQ("abcdefghijk", Text(s));
    EXPECT_EQ(static_cast<const char*>(p), s.CStr());

    s = String8("0123456789abcdef");
    EXPECT_EQ("0123456789a", Text(s));

    s = "";
    EXPECT_TRUE(s.IsLocked());
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_EQ(static_cast<const char*>(p), s.CStr());
    EXPECT_EQ(0, s.Release());
    EXPECT_EQ(String8::Empty.CStr(), s.CStr());
}

// A writer that fills the locked buffer to its last unit leaves no NUL: every
// reader stops at the buffer's end.
TEST(StringT, ALockedBufferWithoutANulIsReadOnlyToItsEnd)
{
    String8 s("x");
    char* p = s.Lock(4);
    std::memcpy(p, "abcd", 4);
    EXPECT_EQ(4u, s.GetLength());
    EXPECT_FALSE(s.IsEmpty());

    EXPECT_EQ("abcd", Text(String8(s)));
    String8 assigned("something longer");
    assigned = s;
    EXPECT_EQ("abcd", Text(assigned));
    EXPECT_TRUE(s.IsEqual("abcd"));
    EXPECT_FALSE(s.IsEqual("abcde"));
    EXPECT_FALSE(s.IsEqual("abc"));
    EXPECT_TRUE(s.IsEqual(assigned));
    EXPECT_EQ(0, s.Compare(assigned, true));
    EXPECT_EQ(0, s.Compare("ABCD", false));
    EXPECT_GT(0, s.Compare("abcde", true));
    EXPECT_EQ("bc", Text(s.GetSubString(1, 2)));
    EXPECT_EQ("abcd", Text(s.ToLower()));

    String8 target("> ");
    target += s;
    EXPECT_EQ("> abcd", Text(target));
    String8 inserted("[]");
    EXPECT_EQ(0, inserted.Insert(1, s));
    EXPECT_EQ("[abcd]", Text(inserted));
    EXPECT_EQ(0, inserted.Insert(6, s));
    EXPECT_EQ("[abcd]abcd", Text(inserted));

    // Release grows the buffer by the one unit that holds the NUL.
    EXPECT_EQ(0, s.Release());
    EXPECT_EQ(4u, s.GetLength());
    EXPECT_EQ(0, s.CStr()[4]);
}

TEST(StringT, GetSubStringWindows)
{
    const String8 hello("hello");
    struct WindowCase
    {
        long start;
        unsigned long count;
        bool hasCount;
        const char* expected;
    };
    const WindowCase cases[] = {
        {1, 3, true, "ell"},
        {-3, 0, false, "llo"},
        {-6, 3, true, "he"},
        {-10, 3, true, ""},
        {5, 1, true, ""},
        {2, 0, true, ""},
        {-8, 0, false, "hello"},
        {0, 0, false, "hello"},
        {2, 100, true, "llo"},
        {6, 0, false, ""},
        {-5, 1, true, "h"},
        {-6, 1, true, ""},
        {LONG_MIN, 0, false, "hello"},
        {LONG_MIN, ~0ul, true, "hello"},
        {LONG_MAX, 2, true, ""},
        {0, ~0ul, true, "hello"},
    };
    for (const WindowCase& c : cases)
    {
        const String8 part = c.hasCount ? hello.GetSubString(c.start, c.count) : hello.GetSubString(c.start);
        EXPECT_EQ(c.expected, Text(part)) << "start " << c.start << ", count " << c.count;
        if (part.IsEmpty())
        {
            EXPECT_EQ(String8::GetEmpty().CStr(), part.CStr()) << "start " << c.start;
        }
    }
}

TEST(StringT, InsertPositionsAndCounts)
{
    struct InsertCase
    {
        unsigned long position;
        const char* text;
        unsigned long count;
        int result;
        const char* expected;
    };
    const InsertCase cases[] = {
        {6, "!", String8::kWholeText, RESULT_INVALID_ARGUMENT, "hello"},
        {5, "!", String8::kWholeText, 0, "hello!"},
        {0, ">", 1, 0, ">hello"},
        {2, "XY", 1, 0, "heXllo"},
        {2, "XY", 5, 0, "heXYllo"},
        {2, "XY", 0, 0, "hello"},
        {2, nullptr, 3, 0, "hello"},
        {4, "", String8::kWholeText, 0, "hello"},
        {0, "", String8::kWholeText, 0, "hello"},
    };
    for (const InsertCase& c : cases)
    {
        String8 s("hello");
        EXPECT_EQ(c.result, s.Insert(c.position, c.text, c.count)) << c.expected << " at " << c.position;
        EXPECT_EQ(c.expected, Text(s)) << "at " << c.position;
    }

    String8 self("ab");
    EXPECT_EQ(0, self.Insert(1, self));
    EXPECT_EQ("aabb", Text(self));
    EXPECT_EQ(0, self.Insert(0, self));
    EXPECT_EQ("aabbaabb", Text(self));
    EXPECT_EQ(0, self.Insert(self.GetLength(), self));
    EXPECT_EQ("aabbaabbaabbaabb", Text(self));
}

TEST(StringT, InsertIntoALockedStringKeepsItsBufferExceptAtTheEnd)
{
    String8 s("hello");
    char* p = s.Lock(6);
    EXPECT_EQ(0, s.Insert(2, "XY", String8::kWholeText));
    EXPECT_TRUE(s.IsLocked());
    EXPECT_EQ(static_cast<const char*>(p), s.CStr());
    EXPECT_EQ("heXYl", Text(s));

    EXPECT_EQ(0, s.Insert(s.GetLength(), "!!", String8::kWholeText));
    EXPECT_TRUE(s.IsLocked());
    EXPECT_EQ("heXYl!!", Text(s));
    s.Release();
    EXPECT_EQ("heXYl!!", Text(s));
}

TEST(StringT, Appending)
{
    String8 s("abc");
    s += s;
    EXPECT_EQ("abcabc", Text(s));
    EXPECT_FALSE(s.IsLocked());

    String8 copy(s);
    s += copy;
    EXPECT_EQ("abcabcabcabc", Text(s));
    EXPECT_EQ("abcabc", Text(copy));

    s += '\0';
    EXPECT_EQ(12u, s.GetLength());
    s += '!';
    EXPECT_EQ("abcabcabcabc!", Text(s));
    EXPECT_EQ("xy", Text(String8("x") + String8("y")));
    EXPECT_EQ("x", Text(String8("x") + String8()));

    String8 empty;
    empty += String8("z");
    EXPECT_EQ("z", Text(empty));
    EXPECT_TRUE(String8::GetEmpty().IsEmpty());

    // A locked string: an empty append leaves the buffer as it is; a real one
    // resizes it to exactly the new text and keeps it locked.
    String8 locked("ab");
    char* p = locked.Lock(10);
    locked += String8();
    EXPECT_EQ(static_cast<const char*>(p), locked.CStr());
    EXPECT_EQ(2u, locked.GetLength());
    locked += locked;
    EXPECT_TRUE(locked.IsLocked());
    EXPECT_EQ("abab", Text(locked));
    EXPECT_EQ(0, locked.CStr()[4]);
    locked.Release();
    EXPECT_EQ("abab", Text(locked));
}

TEST(StringT, ComparisonAndCase)
{
    const String8 upper("ABC");
    const String8 lower("abc");
    EXPECT_EQ(0, upper.Compare(lower, false));
    EXPECT_GT(0, upper.Compare(lower, true));
    EXPECT_LT(0, lower.Compare(upper, true));
    EXPECT_EQ(0, upper.Compare("abc", false));
    EXPECT_GT(0, upper.Compare("ABCD", true));
    EXPECT_LT(0, upper.Compare("AB", true));
    EXPECT_EQ(0, String8().Compare(nullptr, true));
    EXPECT_LT(0, upper.Compare(nullptr, true));
    EXPECT_EQ(0, upper.Compare(String8(upper), true));

    EXPECT_EQ(0, String8::StrCompare("Hello", "hELLO", false));
    EXPECT_GT(0, String8::StrCompare("Hello", "hello", true));
    EXPECT_EQ(0, String8::StrCompare(nullptr, "", true));
    EXPECT_GT(0, String8::StrCompare(nullptr, "a", true));
    // Bytes above 0x7F order after ASCII, as strcmp orders unsigned bytes.
    EXPECT_LT(0, String8::StrCompare("\xC3\xA9", "z", true));

    EXPECT_TRUE(String8().IsEqual(static_cast<const char*>(nullptr)));
    EXPECT_TRUE(String8().IsEqual(""));
    EXPECT_FALSE(String8("a").IsEqual(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(String8().IsEqual("a"));
    EXPECT_TRUE(String8("abc") == lower);
    EXPECT_FALSE(upper == lower);
    EXPECT_FALSE(String8("ab").IsEqual(lower));

    // Only ASCII letters change; every byte of a multi-byte character stays.
    const String8 mixed("Caf\xC3\x89 \xC0Z@[");
    EXPECT_EQ("caf\xC3\x89 \xC0z@[", Text(mixed.ToLower()));
    EXPECT_EQ("Caf\xC3\x89 \xC0Z@[", Text(mixed));
    for (int c = 0; c < 256; ++c)
    {
        const char in = static_cast<char>(c);
        const char out = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : in;
        ASSERT_EQ(out, String8::ToLower(in)) << "byte " << c;
    }
    EXPECT_EQ(0x00C9, String16::ToLower(0x00C9));
    EXPECT_EQ('q', String16::ToLower('Q'));
}

TEST(StringT, StrCopyAndStrLen)
{
    struct CopyCase
    {
        unsigned long size;
        const char* source;
        unsigned long count;
        const char expected[6]; // destination of 6 units, '#' before the copy
    };
    const CopyCase cases[] = {
        {0, "abc", 3, {'#', '#', '#', '#', '#', '#'}}, {1, "abc", 3, {0, '#', '#', '#', '#', '#'}},
        {4, "abc", 3, {'a', 'b', 'c', 0, '#', '#'}},   {3, "abc", 3, {'a', 'b', 0, '#', '#', '#'}},
        {6, "abc", 2, {'a', 'b', '#', '#', '#', 0}},   {6, "ab", 4, {'a', 'b', 0, 0, '#', 0}},
        {6, nullptr, 3, {0, 0, 0, '#', '#', 0}},
    };
    for (const CopyCase& c : cases)
    {
        char destination[6];
        std::memset(destination, '#', sizeof destination);
        String8::StrCopy(destination, c.size, c.source, c.count);
        EXPECT_EQ(0, std::memcmp(c.expected, destination, 6)) << "size " << c.size << ", count " << c.count;
    }
    String8::StrCopy(nullptr, 0, "abc", 3);

    EXPECT_EQ(0u, String8::StrLen(nullptr, 10));
    EXPECT_EQ(3u, String8::StrLen("abc", 10));
    EXPECT_EQ(2u, String8::StrLen("abc", 2));
    const std::vector<unsigned short> wide = Units<unsigned short>("wide");
    EXPECT_EQ(4u, String16::StrLen(wide.data(), String16::kWholeText));
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
    EXPECT_EQ("xyz", Text(grown));
    EXPECT_EQ(4u, full->GetSizeBytes());
    EXPECT_EQ(0, grown.CStr()[3]);

    String8 fromNull(RCPtr<LIBuffer>::Null);
    EXPECT_EQ(String8::GetEmpty().CStr(), fromNull.CStr());

    // A string that shares the adopted buffer copies it before writing.
    char* p = grown.Lock(0);
    p[0] = 'X';
    grown.Release();
    EXPECT_EQ(0, std::memcmp("xyz", full->GetRawPtr(), 4));

    RCPtr<LIBuffer> wide = LBufferT<1, 0>::Create(8, 0, true);
    const unsigned short units[2] = {'h', 'i'};
    std::memcpy(wide->GetRawPtr(), units, sizeof units);
    String16 w(wide);
    EXPECT_EQ(2u, w.GetLength());
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

TEST(StringT, CopiesMayLiveOnDifferentThreads)
{
    const String8 shared("shared text");
    std::vector<std::thread> threads;
    std::vector<std::string> results(4);
    for (std::size_t i = 0; i < results.size(); ++i)
    {
        threads.emplace_back(
            [&shared, &results, i]
            {
                for (int round = 0; round < 200; ++round)
                {
                    String8 mine(shared);
                    mine += String8("!");
                    String8 other = mine.GetSubString(0, 6);
                    results[i] = Text(other) + Text(mine.GetSubString(-1));
                }
            });
    }
    for (auto& thread : threads)
    {
        thread.join();
    }
    for (const std::string& result : results)
    {
        EXPECT_EQ("shared!", result);
    }
    EXPECT_EQ("shared text", Text(shared));
}
