#include <gtest/gtest.h>

#include "KTFramework/Utilities/Storage/StringArrayT.h"

// Result codes that a test does not judge (set-up steps, and calls whose effect
// it checks another way) are cast to void.

using namespace KT;

namespace
{

using String8 = StringT<char, unsigned short>;
using Strings = StringArrayT<char, unsigned short>;

Strings Make(std::initializer_list<const char*> texts)
{
    Strings list;
    for (const char* text : texts)
    {
        static_cast<void>(list.AppendItem(String8(text)));
    }
    return list;
}

TEST(StringArrayT, FindStringSearchesFromTheStartIndex)
{
    const Strings list = Make({"alpha", "Beta", "gamma", "beta"});
    struct Row
    {
        const char* Text;
        bool CaseSensitive;
        unsigned long Start;
        long Index;
    };
    const Row rows[] = {
        {"alpha", true, 0, 0}, {"beta", true, 0, 3},   {"beta", false, 0, 1},  {"BETA", false, 2, 3},
        {"BETA", true, 0, -1}, {"alpha", true, 1, -1}, {"gamma", true, 4, -1}, {"gamma", true, 99, -1},
        {"", true, 0, -1},     {"gam", false, 0, -1},
    };
    for (const Row& row : rows)
    {
        EXPECT_EQ(list.FindString(String8(row.Text), row.CaseSensitive, row.Start), row.Index)
            << row.Text << (row.CaseSensitive ? " case-sensitive" : " any case") << " from " << row.Start;
    }
    EXPECT_EQ(Strings().FindString(String8("a"), true, 0), -1);
}

TEST(StringArrayT, FindContainedMatchesTheTextPointerNotItsContent)
{
    Strings list;
    const String8 shared("name");
    static_cast<void>(list.AppendItem(String8("other")));
    static_cast<void>(list.AppendItem(shared));
    static_cast<void>(list.AppendItem(String8("name")));
    static_cast<void>(list.AppendItem(shared));
    static_cast<void>(list.AppendItem(String8("tail")));

    // The second and fourth element share one buffer: the later index wins.
    EXPECT_EQ(list.FindContained(shared.CStr()), 3);
    EXPECT_EQ(list.FindContained(list.GetAt(2).CStr()), 2);
    EXPECT_EQ(list.FindContained(list.GetAt(0).CStr()), 0);
    EXPECT_EQ(list.FindContained(list.GetAt(0).CStr() + 1), -1);
    EXPECT_EQ(list.FindContained("name"), -1);
    EXPECT_EQ(Strings().FindContained(shared.CStr()), -1);
}

TEST(StringArrayT, CopiesShareTheStringsBuffers)
{
    const Strings list = Make({"a", "b"});
    const Strings copy(list);
    ASSERT_EQ(copy.GetCount(), 2);
    EXPECT_EQ(copy.GetAt(1).CStr(), list.GetAt(1).CStr());
    EXPECT_EQ(copy.FindContained(list.GetAt(0).CStr()), 0);
}

} // namespace
