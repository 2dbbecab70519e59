#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "KTFramework/Utilities/Storage/RCPtrArray.h"

// Result codes that a test does not judge (set-up steps, and calls whose effect
// it checks another way) are cast to void.

using namespace KT;

namespace
{

// Logs its id when destroyed, so tests see who was released and in what order.
class LItem : public LRefCountedObject
{
public:
    LItem(char id, std::string* log) : mId(id), mLog(log) {}
    ~LItem() override { *mLog += mId; }

    char mId;
    std::string* mLog;
};

using Items = RCPtrArray<LItem>;
using ConstItems = ConstRCPtrArray<LItem>;

class RCPtrArrayTest : public ::testing::Test
{
protected:
    RCPtr<LItem> Make(char id) { return RCPtr<LItem>(new LItem(id, &mReleased)); }

    // Ids of the slots, '-' for a null slot.
    static std::string Ids(const Items& items)
    {
        std::string ids;
        for (int64_t i = 0; i < items.GetCount(); ++i)
        {
            const RCPtr<LItem>& slot = items[i];
            ids += !slot ? '-' : slot->mId;
        }
        return ids;
    }

    // Fills items with new objects that only the array holds.
    void Fill(Items& items, const char* ids)
    {
        for (const char* id = ids; *id != '\0'; ++id)
        {
            static_cast<void>(items.AppendItem(Make(*id)));
        }
    }

    std::string mReleased;
};

std::string RemoveMessage(const char* header, int line)
{
    return std::string("Out of Range :  : Device/KTFramework/Utilities/Storage/") + header + " : Line " +
           std::to_string(line);
}

} // namespace

TEST_F(RCPtrArrayTest, InsertOpensNullSlotsWithoutTouchingCounts)
{
    struct Row
    {
        const char* name;
        std::size_t index, n;
        int64_t result;
        const char* after;
    } rows[] = {
        {"Insert(c, 3)", 3, 3, 6, "ABC---"},  {"Insert(c + 1, 3)", 4, 3, kContainerIndexOutside, "ABC"},
        {"Insert(c + 5, 0)", 8, 0, 3, "ABC"}, {"Insert(1, 2)", 1, 2, 5, "A--BC"},
        {"Insert(0, 1)", 0, 1, 4, "-ABC"},
    };
    for (const Row& row : rows)
    {
        Items items;
        Fill(items, "ABC");
        EXPECT_EQ(row.result, items.Insert(row.index, row.n)) << row.name;
        EXPECT_EQ(row.after, Ids(items)) << row.name;
        for (int64_t i = 0; i < items.GetCount(); ++i)
        {
            if (!!items[i])
            {
                EXPECT_EQ(1, items[i]->GetReferenceCount()) << row.name;
            }
        }
    }
    EXPECT_EQ("ABCABCABCABCABC", mReleased);
}

TEST_F(RCPtrArrayTest, InsertItemTakesOneReferenceAndReturnsTheIndex)
{
    Items items;
    RCPtr<LItem> p = Make('P');
    EXPECT_EQ(0, items.InsertItem(0, p));
    EXPECT_EQ(2, p->GetReferenceCount());
    EXPECT_EQ(kContainerIndexOutside, items.InsertItem(2, p));
    EXPECT_EQ(2, p->GetReferenceCount());
    Fill(items, "ABC");
    EXPECT_EQ(4, items.AppendItem(p));
    EXPECT_EQ(3, p->GetReferenceCount());

    // Through the read-only view, and with an element of the array itself: the
    // block is reallocated at every change of count.
    ConstItems& view = items;
    EXPECT_EQ(0, view.InsertItem(0, view.GetAt(2)));
    EXPECT_EQ(0, items.InsertItem(0, items[5]));
    EXPECT_EQ("PBPABCP", Ids(items));
    EXPECT_EQ(4, p->GetReferenceCount());
    EXPECT_EQ(2, items[1]->GetReferenceCount());
    EXPECT_EQ(7, view.AppendItem(ConstRCPtr<LItem>()));
    EXPECT_EQ("PBPABCP-", Ids(items));
}

TEST_F(RCPtrArrayTest, RemoveItemHandsOverTheReference)
{
    for (bool readOnly : {false, true})
    {
        Items items;
        Fill(items, "ABC");
        mReleased.clear();
        RCPtr<LItem> out = Make('D');
        LItem* b = items[1].Get();
        int64_t result;
        if (readOnly)
        {
            ConstRCPtr<LItem> constOut(out);
            out.SetNull();
            result = static_cast<ConstItems&>(items).RemoveItem(1, constOut);
            EXPECT_EQ(b, constOut.Get());
        }
        else
        {
            result = items.RemoveItem(1, out);
            EXPECT_EQ(b, out.Get());
            EXPECT_EQ(1, b->GetReferenceCount());
        }
        EXPECT_EQ(2, result);
        EXPECT_EQ("AC", Ids(items));
        EXPECT_EQ(readOnly ? "DB" : "D", mReleased) << "read-only " << readOnly;
    }
}

TEST_F(RCPtrArrayTest, OutOfRangeRemovalThrowsAndChangesNothing)
{
    Items items;
    Fill(items, "ABC");
    RCPtr<LItem> out = Make('D');
    ConstRCPtr<LItem> constOut(out);
    struct Row
    {
        const char* name;
        std::function<void()> call;
        std::string message;
    } rows[] = {
        {"RemoveItem(3) as RCPtr", [&] { static_cast<void>(items.RemoveItem(3, out)); },
         RemoveMessage("RCPtrArray", 175)},
        {"RemoveItem(3) as ConstRCPtr",
         [&] { static_cast<void>(static_cast<ConstItems&>(items).RemoveItem(3, constOut)); },
         RemoveMessage("ConstRCPtrArray", 217)},
        {"Remove(1, 5)", [&] { static_cast<void>(items.Remove(1, 5)); },
         RemoveMessage("ConstRCPtrArray", 217)},
        {"Remove(1, huge)", [&] { static_cast<void>(items.Remove(1, SIZE_MAX)); },
         RemoveMessage("ConstRCPtrArray", 217)},
        {"Remove(4, 1) as ConstRCPtr",
         [&] { static_cast<void>(static_cast<ConstItems&>(items).Remove(4, 1)); },
         RemoveMessage("ConstRCPtrArray", 217)},
    };
    for (const Row& row : rows)
    {
        try
        {
            row.call();
            ADD_FAILURE() << row.name << ": no exception";
        }
        catch (const std::out_of_range& error)
        {
            EXPECT_EQ(row.message, error.what()) << row.name;
        }
        EXPECT_EQ("ABC", Ids(items)) << row.name;
        EXPECT_EQ('D', out->mId) << row.name;
        EXPECT_EQ("", mReleased) << row.name;
    }
    EXPECT_EQ(3, items.Remove(3, 0));
    EXPECT_EQ(3, items.Remove(99, 0));
}

TEST_F(RCPtrArrayTest, ShrinkingReleasesInIndexOrderAfterEachLeaves)
{
    Items items;
    Fill(items, "ABCDE");
    EXPECT_EQ(2, items.Remove(1, 3));
    EXPECT_EQ("AE", Ids(items));
    EXPECT_EQ("BCD", mReleased);

    mReleased.clear();
    Fill(items, "BC");
    EXPECT_EQ(1, items.SetCount(1));
    EXPECT_EQ("EBC", mReleased);
    EXPECT_EQ(4, items.SetCount(4));
    EXPECT_EQ("A---", Ids(items));
    EXPECT_EQ(4, items.SetCount(4));
    EXPECT_EQ("A---", Ids(items));
}

TEST_F(RCPtrArrayTest, RemoveLast)
{
    Items items;
    RCPtr<LItem> out = Make('D');
    EXPECT_EQ(kContainerFailed, items.RemoveLast(out));
    EXPECT_FALSE(!!out);
    EXPECT_EQ("D", mReleased);

    Fill(items, "AB");
    EXPECT_EQ(1, items.RemoveLast(out));
    EXPECT_EQ('B', out->mId);
    EXPECT_EQ(1, out->GetReferenceCount());
    EXPECT_EQ("A", Ids(items));

    ConstRCPtr<LItem> constOut;
    EXPECT_EQ(0, static_cast<ConstItems&>(items).RemoveLast(constOut));
    EXPECT_EQ('A', constOut->mId);
    EXPECT_EQ(kContainerFailed, static_cast<ConstItems&>(items).RemoveLast(constOut));
    EXPECT_EQ("DA", mReleased);
}

TEST_F(RCPtrArrayTest, DestructionReleasesEachOnceFirstFirst)
{
    RCPtr<LItem> kept = Make('K');
    {
        Items items;
        Fill(items, "ABC");
        static_cast<void>(items.AppendItem(kept));
        static_cast<void>(items.InsertItem(1, RCPtr<LItem>::Null));
    }
    EXPECT_EQ("ABC", mReleased);
    EXPECT_EQ(1, kept->GetReferenceCount());
    {
        ConstItems constItems;
        static_cast<void>(constItems.AppendItem(Make('X')));
        static_cast<void>(constItems.AppendItem(Make('Y')));
    }
    EXPECT_EQ("ABCXY", mReleased);
}

TEST_F(RCPtrArrayTest, AssignmentAndAppendTakeOneReferencePerSlot)
{
    Items source;
    Fill(source, "XY");
    Items items;
    Fill(items, "A");
    items = source;
    EXPECT_EQ("A", mReleased);
    EXPECT_EQ("XY", Ids(items));
    EXPECT_EQ(2, source[0]->GetReferenceCount());
    EXPECT_EQ(2, source[1]->GetReferenceCount());

    Items& alias = items;
    items = alias;
    EXPECT_EQ(2, items.Copy(items));
    EXPECT_EQ("XY", Ids(items));
    EXPECT_EQ(2, source[0]->GetReferenceCount());

    EXPECT_EQ(4, items.Append(source));
    EXPECT_EQ(3, source[0]->GetReferenceCount());
    EXPECT_EQ(8, items.Append(items));
    EXPECT_EQ("XYXYXYXY", Ids(items));
    EXPECT_EQ(5, source[1]->GetReferenceCount());

    // The read-only view appends through its own element type.
    ConstItems copy;
    EXPECT_EQ(8, copy.Append(static_cast<ConstItems&>(items)));
    EXPECT_EQ(9, source[0]->GetReferenceCount());
    EXPECT_EQ(0, items.Clear());
    EXPECT_EQ(0, copy.Clear());
    EXPECT_EQ(1, source[0]->GetReferenceCount());
    EXPECT_EQ("A", mReleased);
}

TEST_F(RCPtrArrayTest, SwapAndWalkThroughBothViews)
{
    Items items;
    Fill(items, "ABC");
    ConstItems& view = items;
    EXPECT_EQ(0, view.Swap(0, 2));
    EXPECT_EQ("CBA", Ids(items));
    EXPECT_EQ(RESULT_INVALID_ARGUMENT, view.Swap(0, 3));
    EXPECT_EQ(0, items.Swap(1, 2));
    EXPECT_EQ(RESULT_INVALID_ARGUMENT, items.Swap(3, 0));
    EXPECT_EQ("CAB", Ids(items));
    for (int64_t i = 0; i < 3; ++i)
    {
        EXPECT_EQ(1, items[i]->GetReferenceCount());
    }

    std::string forward, backward;
    for (auto it = items.GetBegin(); it != items.GetEnd();)
    {
        forward += it.GetCurrentMoveNext()->mId;
    }
    for (auto it = view.GetReverseBegin(); it != view.GetReverseEnd(); ++it)
    {
        backward += (*it)->mId;
    }
    EXPECT_EQ("CAB", forward);
    EXPECT_EQ("BAC", backward);
    EXPECT_EQ(1u, items.GetIndexOf(items[1]));
    EXPECT_EQ(2u, view.GetIndexOf(view.GetAt(2)));
    EXPECT_THROW(items[3], std::out_of_range);
    EXPECT_TRUE(items == items);
    EXPECT_EQ(view.GetPtr(), static_cast<const ConstRCPtr<LItem>*>(items.GetPtr()));
}

TEST_F(RCPtrArrayTest, ConstructedSlotsAreNullAndJobListKeepsSpareSlots)
{
    Items sized(3, 8);
    EXPECT_EQ("---", Ids(sized));
    RCPtrArray<LItem, 16, 16> jobs;
    for (char id = 'a'; id < 'a' + 20; ++id)
    {
        static_cast<void>(jobs.AppendItem(Make(id)));
    }
    EXPECT_EQ(20, jobs.GetCount());
    EXPECT_EQ(2, jobs.Remove(1, 18));
    EXPECT_EQ("bcdefghijklmnopqrs", mReleased);
    EXPECT_EQ(4, jobs.Insert(1, 2));
    EXPECT_FALSE(!!jobs[1]);
    EXPECT_FALSE(!!jobs[2]);
    EXPECT_EQ('t', jobs[3]->mId);
}
