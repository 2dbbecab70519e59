#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>

#include "KTFramework/ObjectBase/RCPtr.h"
#include "KTFramework/ObjectBase/RefCountedObject.h"

using namespace KT;

namespace
{

// Counts its destructions; copies (made by copy-on-write) count too.
class LCounted : public LRefCountedObject
{
public:
    explicit LCounted(int* destroyed) : mDestroyed(destroyed) {}
    LCounted(const LCounted& other) : LRefCountedObject(other), mDestroyed(other.mDestroyed) {}
    ~LCounted() override { ++*mDestroyed; }
    RCPtr<LRefCountedObject> CreateCopy() const override
    {
        return RCPtr<LRefCountedObject>(new LCounted(*this));
    }

private:
    int* mDestroyed;
};

TEST(RCPtr, MovesTakeOverTheReferenceAndLeaveTheSourceNull)
{
    int destroyed = 0;
    RCPtr<LCounted> first(new LCounted(&destroyed));
    LCounted* const object = first.Get();

    RCPtr<LCounted> constructed(std::move(first));
    EXPECT_EQ(first.GetRaw(), nullptr);
    EXPECT_EQ(constructed.Get(), object);
    EXPECT_EQ(object->GetReferenceCount(), 1);

    RCPtr<LCounted> assigned(new LCounted(&destroyed));
    assigned = std::move(constructed);
    EXPECT_EQ(destroyed, 1) << "the object assigned over is released";
    EXPECT_EQ(constructed.GetRaw(), nullptr);
    EXPECT_EQ(assigned.Get(), object);
    EXPECT_EQ(object->GetReferenceCount(), 1);

    RCPtr<LCounted>& alias = assigned;
    assigned = std::move(alias);
    EXPECT_EQ(assigned.Get(), object) << "a move onto itself keeps the object";
    EXPECT_EQ(object->GetReferenceCount(), 1);

    ConstRCPtr<LCounted> readOnly(std::move(assigned));
    EXPECT_EQ(assigned.GetRaw(), nullptr);
    EXPECT_EQ(readOnly.Get(), object);
    ConstRCPtr<LCounted> empty;
    readOnly = std::move(empty);
    EXPECT_EQ(destroyed, 2) << "moving null in releases the object held";
    EXPECT_EQ(readOnly.GetRaw(), nullptr);
}

TEST(RCPtr, MovingAnUnshareableObjectKeepsItWithoutACopy)
{
    int destroyed = 0;
    RCPtr<LCounted> owner(new LCounted(&destroyed));
    owner->SetUnshareable(true);
    LCounted* const object = owner.Get();
    RCPtr<LCounted> moved(std::move(owner));
    EXPECT_EQ(moved.Get(), object);
    RCPtr<LCounted> copied(moved);
    EXPECT_NE(copied.Get(), object) << "a copy still gets an object of its own";
    copied.SetNull();
    moved.SetNull();
    EXPECT_EQ(destroyed, 2);
}

TEST(RCPtr, AtomicStorageMovesToo)
{
    int destroyed = 0;
    RCPtr<LCounted, std::atomic<LCounted*>> first(new LCounted(&destroyed));
    LCounted* const object = first.Get();
    RCPtr<LCounted, std::atomic<LCounted*>> second(std::move(first));
    EXPECT_EQ(first.GetRaw(), nullptr);
    EXPECT_EQ(second.Get(), object);
    first = std::move(second);
    EXPECT_EQ(first.Get(), object);
    EXPECT_EQ(object->GetReferenceCount(), 1);
    first.SetNull();
    EXPECT_EQ(destroyed, 1);
}

TEST(RCPtr, LeakedReferenceIsAdoptedOnAnotherThreadWithoutACountChange)
{
    int destroyed = 0;
    RCPtr<LCounted> owner(new LCounted(&destroyed));
    LCounted* const object = owner.Get();
    LCounted* const leaked = RCPtr<LCounted>(owner).LeakRef();
    ASSERT_EQ(leaked, object);
    EXPECT_EQ(object->GetReferenceCount(), 2) << "the leaked reference is still counted";

    int countSeenByThread = 0;
    std::thread thread(
        [leaked, &countSeenByThread]
        {
            const RCPtr<LCounted> adopted = AdoptRef(leaked);
            countSeenByThread = adopted->GetReferenceCount();
        });
    thread.join();
    EXPECT_EQ(countSeenByThread, 2) << "adopting takes no new reference";
    EXPECT_EQ(object->GetReferenceCount(), 1) << "the adopted reference went with its pointer";

    EXPECT_EQ(RCPtr<LCounted>().LeakRef(), nullptr);
    EXPECT_EQ(AdoptRef(static_cast<LCounted*>(nullptr)).GetRaw(), nullptr);
    const ConstRCPtr<LCounted> constAdopted = AdoptRef(static_cast<const LCounted*>(owner.LeakRef()));
    EXPECT_EQ(owner.GetRaw(), nullptr);
    EXPECT_EQ(object->GetReferenceCount(), 1);
    EXPECT_EQ(destroyed, 0);
}

} // namespace
