#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/StringT.h"

using namespace KT;

namespace
{

// Counts destructions so tests can tell when an object was deleted.
class LProbe : public virtual LRefCountedObject
{
public:
    explicit LProbe(int* destroyed = nullptr, int value = 0) : mDestroyed(destroyed), mValue(value) {}
    LProbe(const LProbe& other) : LRefCountedObject(other), mDestroyed(other.mDestroyed), mValue(other.mValue)
    {
    }
    ~LProbe() override
    {
        if (mDestroyed != nullptr)
        {
            ++*mDestroyed;
        }
    }
    RCPtr<LRefCountedObject> CreateCopy() const override
    {
        return RCPtr<LRefCountedObject>(new LProbe(*this));
    }

    int* mDestroyed;
    int mValue;
};

class LOtherProbe : public virtual LRefCountedObject
{
};

// No CreateCopy override: copy-on-write must fail with the base's exception.
class LUncopyable : public LRefCountedObject
{
};

// Its CreateCopy yields an object of another class.
class LWrongCopy : public LRefCountedObject
{
public:
    RCPtr<LRefCountedObject> CreateCopy() const override { return RCPtr<LRefCountedObject>(new LOtherProbe); }
};

// An owner whose member holds a counted reference back to it.
class LOwner : public LRefCountedObject
{
public:
    explicit LOwner(int* destroyed) : mDestroyed(destroyed) {}
    ~LOwner() override { ++*mDestroyed; }

    void AddBackReference()
    {
        mBackReferences.push_back(RCPtr<LOwner>(this));
        ModifyNumContainedReferences(1);
    }

    int RemoveContainedReferences() override
    {
        ++mRemovals;
        while (!mBackReferences.empty())
        {
            RCPtr<LOwner> last = mBackReferences.back();
            mBackReferences.pop_back();
            // Drop the member's reference (nested release), then account for it.
            last.SetNull();
            ModifyNumContainedReferences(-1);
        }
        return LRefCountedObject::RemoveContainedReferences();
    }

    int mRemovals = 0;
    int* mDestroyed;
    std::vector<RCPtr<LOwner>> mBackReferences;
};

} // namespace

TEST(AtomicCounter, CountsAndReplacesAtomically)
{
    AtomicCounter counter(3);
    EXPECT_EQ(4, counter.Increment());
    EXPECT_EQ(3, --counter);
    EXPECT_EQ(3, counter.SetValue(7));
    EXPECT_EQ(7, counter.GetValue());

    AtomicCounter shared;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
    {
        threads.emplace_back(
            [&]
            {
                for (int i = 0; i < 10000; ++i)
                {
                    shared.Increment();
                }
            });
    }
    int replaced = shared.SetValue(1000000);
    for (auto& thread : threads)
    {
        thread.join();
    }
    // Every increment lands either before the replacement or after it.
    EXPECT_EQ(40000, shared.GetValue() - 1000000 + replaced);
}

TEST(LRefCountedObject, NewObjectHasNoOwners)
{
    LProbe* probe = new LProbe;
    EXPECT_EQ(0, probe->GetReferenceCount());
    EXPECT_EQ(0, probe->GetExternalReferenceCount());
    EXPECT_FALSE(probe->IsShared());
    EXPECT_TRUE(probe->IsShareable());
    EXPECT_EQ(1, probe->AddReference());
    EXPECT_FALSE(probe->IsShared());
    EXPECT_EQ(2, probe->AddReference());
    EXPECT_TRUE(probe->IsShared());
    EXPECT_EQ(1, probe->RemoveReference());
    EXPECT_EQ(0, probe->RemoveReference());
}

TEST(LRefCountedObject, BaseContainedReferenceCheck)
{
    LProbe probe;
    probe.AddReference();
    EXPECT_EQ(0, probe.LRefCountedObject::RemoveContainedReferences());
    probe.AddReference();
    EXPECT_EQ(RESULT_FAILED, probe.LRefCountedObject::RemoveContainedReferences());
    probe.ModifyNumContainedReferences(1);
    probe.RemoveReference();
    EXPECT_EQ(RESULT_FAILED, probe.LRefCountedObject::RemoveContainedReferences());
}

TEST(LRefCountedObject, LastOutsideReleaseDropsContainedReferencesOnce)
{
    int destroyed = 0;
    LOwner* owner = new LOwner(&destroyed);
    RCPtr<LOwner> outside(owner);
    owner->AddBackReference();
    owner->AddBackReference();
    ASSERT_EQ(3, owner->GetReferenceCount());
    ASSERT_EQ(1, owner->GetExternalReferenceCount());

    outside.SetNull();
    EXPECT_EQ(1, destroyed);
}

TEST(LRefCountedObject, NewOutsideReferenceDuringRemovalKeepsObjectAlive)
{
    // A removal that leaves more than the caller's reference clears the guard.
    struct LKeeper : LRefCountedObject
    {
        int RemoveContainedReferences() override
        {
            ++mRemovals;
            mKept = RCPtr<LRefCountedObject>(this);
            mBack.SetNull();
            ModifyNumContainedReferences(-1);
            return 0;
        }
        int mRemovals = 0;
        RCPtr<LRefCountedObject> mBack;
        RCPtr<LRefCountedObject> mKept;
    };
    LKeeper* keeper = new LKeeper;
    RCPtr<LRefCountedObject> outside(keeper);
    keeper->mBack = outside;
    keeper->ModifyNumContainedReferences(1);
    outside.SetNull();
    EXPECT_EQ(1, keeper->mRemovals);
    EXPECT_EQ(1, keeper->GetReferenceCount());
    // The object now lives on its own kept reference, which counts as outside.
    RCPtr<LRefCountedObject> again(keeper);
    keeper->mKept.SetNull();
    EXPECT_EQ(1, keeper->GetReferenceCount());
}

TEST(LRefCountedObject, ConcurrentOutsideReleasesDoNotLeakContainedCycle)
{
    for (int round = 0; round < 500; ++round)
    {
        int destroyed = 0;
        LOwner* owner = new LOwner(&destroyed);
        RCPtr<LOwner> first(owner);
        RCPtr<LOwner> second(first);
        owner->AddBackReference();
        std::atomic<int> ready{0};
        auto release = [&ready](RCPtr<LOwner>& holder)
        {
            ready.fetch_add(1);
            while (ready.load() < 2)
            {
            }
            holder.SetNull();
        };
        std::thread a(release, std::ref(first));
        std::thread b(release, std::ref(second));
        a.join();
        b.join();
        ASSERT_EQ(1, destroyed) << "round " << round;
    }
}

TEST(LRefCountedObject, SetUnshareableRefusedWhenShared)
{
    RCPtr<LProbe> one(new LProbe);
    one->SetUnshareable(true);
    EXPECT_FALSE(one->IsShareable());
    one->SetUnshareable(false);
    EXPECT_TRUE(one->IsShareable());

    RCPtr<LProbe> two(one);
    try
    {
        two->SetUnshareable(true);
        FAIL() << "no exception";
    }
    catch (const Exception<std::runtime_error>& error)
    {
        EXPECT_STREQ("Runtime Error :  : Device/KTFramework/ObjectBase/RefCountedObject : Line 29",
                     error.what());
    }
    EXPECT_TRUE(one->IsShareable());
    two->SetUnshareable(false);
    EXPECT_TRUE(two->IsShareable());
}

TEST(LRefCountedObject, RefusedOperationsThrowTheirMessages)
{
    LUncopyable a;
    LUncopyable b;
    struct Case
    {
        const char* name;
        std::function<void()> call;
        const char* message;
    } cases[] = {
        {"assign", [&] { a = b; },
         "Domain Error : Invalid Assignment of RefCountedObject :  : "
         "Device/KTFramework/ObjectBase/RefCountedObject : "
         "Line 21"},
        {"create copy", [&] { a.CreateCopy(); },
         "Logic Error : CreateCopy() not implemented for RefCountedObject :  : "
         "Device/KTFramework/ObjectBase/RefCountedObject : Line 274"},
        {"undo",
         [&]
         {
             a.Undo(RCPtr<LRefCountedObject>::Null,
                    const_cast<RCPtr<LRefCountedObject>&>(RCPtr<LRefCountedObject>::Null));
         },
         "Logic Error : Undo() not implemented for RefCountedObject :  : "
         "Device/KTFramework/ObjectBase/RefCountedObject : "
         "Line 156"},
    };
    for (const Case& c : cases)
    {
        try
        {
            c.call();
            ADD_FAILURE() << c.name << ": no exception";
        }
        catch (const ExceptionBase& error)
        {
            EXPECT_STREQ(c.message, error.What()) << c.name;
            EXPECT_STREQ(error.What(), dynamic_cast<const std::exception&>(error).what()) << c.name;
        }
    }
}

TEST(LRefCountedObject, ToStringNamesTheMostDerivedClass)
{
    LUncopyable object;
    std::string expected = std::string("LRefCountedObject::ToString() not overridden. Returning TypeName: ") +
                           typeid(LUncopyable).name();
    EXPECT_EQ(expected, object.ToString().CStr());
}

TEST(LWrapper, CarriesAValueAsAnObject)
{
    using LErrorWrapper = LWrapper<Wrapper<int>, LRefCountedObject>;
    RCPtr<LErrorWrapper> wrapped = LErrorWrapper::Create(Wrapper<int>(-104));
    EXPECT_EQ(1, wrapped->GetReferenceCount());
    RCPtr<LRefCountedObject> general(wrapped);
    RCPtr<LErrorWrapper> back = RCPtr<LErrorWrapper>::Downcast(general);
    ASSERT_FALSE(!back);
    EXPECT_EQ(-104, back->mValue);
}

TEST(RCPtr, NullPointerOwnsNothing)
{
    RCPtr<LProbe> empty(static_cast<LProbe*>(nullptr));
    EXPECT_TRUE(!empty);
    empty.SetNull();
    EXPECT_TRUE(!empty);
    EXPECT_TRUE(!RCPtr<LRefCountedObject>::Null);
}

TEST(RCPtr, CopiesCountAndLastReleaseDeletes)
{
    int destroyed = 0;
    {
        RCPtr<LProbe> a(new LProbe(&destroyed));
        EXPECT_EQ(1, a->GetReferenceCount());
        {
            RCPtr<LProbe> b(a);
            EXPECT_EQ(2, a->GetReferenceCount());
            b = a;
            EXPECT_EQ(2, a->GetReferenceCount());
            const RCPtr<LProbe>& self = a; // through a reference, as aliased callers do
            a = self;
            EXPECT_EQ(2, a->GetReferenceCount());
        }
        EXPECT_EQ(1, a->GetReferenceCount());
    }
    EXPECT_EQ(1, destroyed);
}

TEST(RCPtr, AssignmentTakesNewReferenceBeforeDroppingOld)
{
    // An object whose only reference is held by the object it is replaced with
    // would be freed before its replacement is referenced if the order were wrong.
    int destroyed = 0;
    struct LHolder : LProbe
    {
        using LProbe::LProbe;
        RCPtr<LProbe> mNext;
    };
    LHolder* x = new LHolder(&destroyed);
    RCPtr<LProbe> a(x);
    x->mNext = RCPtr<LProbe>(new LProbe(&destroyed, 7));
    LProbe* y = x->mNext.Get();
    // a's only object x holds the only reference to y; assign y into a.
    a = x->mNext;
    EXPECT_EQ(1, destroyed);
    EXPECT_EQ(y, a.Get());
    EXPECT_EQ(7, a->mValue);
    EXPECT_EQ(1, a->GetReferenceCount());
}

TEST(RCPtr, UnshareableSharedObjectIsCopiedOnTake)
{
    int destroyed = 0;
    RCPtr<LProbe> owner(new LProbe(&destroyed, 5));
    owner->SetUnshareable(true);
    RCPtr<LProbe> second(owner);
    EXPECT_NE(owner.Get(), second.Get());
    EXPECT_EQ(1, owner->GetReferenceCount());
    EXPECT_EQ(1, second->GetReferenceCount());
    EXPECT_EQ(5, second->mValue);
    EXPECT_TRUE(second->IsShareable());

    // The first holder of an unshareable object keeps it.
    LProbe* fresh = new LProbe(&destroyed);
    fresh->SetUnshareable(true);
    RCPtr<LProbe> first(fresh);
    EXPECT_EQ(fresh, first.Get());
}

TEST(RCPtr, UnshareWithoutUsableCopyThrows)
{
    RCPtr<LUncopyable> a(new LUncopyable);
    a->SetUnshareable(true);
    try
    {
        RCPtr<LUncopyable> b(a);
        FAIL() << "no exception";
    }
    catch (const Exception<std::logic_error>& error)
    {
        EXPECT_NE(nullptr, strstr(error.what(), "CreateCopy() not implemented for RefCountedObject"));
    }

    RCPtr<LWrongCopy> c(new LWrongCopy);
    c->SetUnshareable(true);
    try
    {
        RCPtr<LWrongCopy> d(c);
        FAIL() << "no exception";
    }
    catch (const Exception<std::logic_error>& error)
    {
        std::string expected = std::string("Logic Error : ") + typeid(LWrongCopy).name() +
                               " :  : Device/KTFramework/ObjectBase/RefCountedObject : Line 424";
        EXPECT_EQ(expected, error.what());
    }
}

TEST(RCPtr, DowncastToWrongTypeGivesNull)
{
    RCPtr<LRefCountedObject> general(new LOtherProbe);
    RCPtr<LProbe> probe = RCPtr<LProbe>::Downcast(general);
    EXPECT_TRUE(!probe);
    EXPECT_FALSE(!general);
    EXPECT_EQ(1, general->GetReferenceCount());

    RCPtr<LProbe> assigned(new LProbe);
    assigned = general;
    EXPECT_TRUE(!assigned);
}

TEST(RCPtr, SwapReferenceKeepsCounts)
{
    RCPtr<LProbe> a(new LProbe(nullptr, 1));
    RCPtr<LProbe> b(new LProbe(nullptr, 2));
    a.SwapReference(b);
    EXPECT_EQ(2, a->mValue);
    EXPECT_EQ(1, b->mValue);
    EXPECT_EQ(1, a->GetReferenceCount());
    EXPECT_EQ(1, b->GetReferenceCount());
}

TEST(RCPtr, EqualityIsIdentity)
{
    RCPtr<LProbe> a(new LProbe(nullptr, 1));
    RCPtr<LProbe> b(a);
    RCPtr<LProbe> c(new LProbe(nullptr, 1));
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a == c);
}

TEST(RCPtr, AtomicSetNullFromTwoThreadsReleasesOnce)
{
    for (int round = 0; round < 500; ++round)
    {
        int destroyed = 0;
        RCPtr<LProbe, std::atomic<LProbe*>> shared(new LProbe(&destroyed));
        std::atomic<bool> go{false};
        auto clear = [&]
        {
            while (!go.load())
            {
            }
            shared.SetNull();
        };
        std::thread a(clear);
        std::thread b(clear);
        go = true;
        a.join();
        b.join();
        ASSERT_EQ(1, destroyed) << "round " << round;
        ASSERT_TRUE(!shared);
    }
}

TEST(Result, SucceededAndFailedAreOpposites)
{
    const int values[] = {0, 5, RESULT_INVALID_ARGUMENT, RESULT_FAILED, -1, 0x7fffffff};
    const bool succeeded[] = {true, true, false, false, false, true};
    for (size_t i = 0; i < std::size(values); ++i)
    {
        EXPECT_EQ(succeeded[i], Result::Succeeded(values[i])) << values[i];
        EXPECT_EQ(!succeeded[i], Result::Failed(values[i])) << values[i];
    }
}

TEST(Exception, HandlersCatchByKind)
{
    const ExceptionSite site{"Device/KTFramework/Test", 7};
    EXPECT_THROW(ThrowException<std::out_of_range>(site), std::logic_error);
    EXPECT_THROW(ThrowException<std::domain_error>(site, "x"), std::logic_error);
    EXPECT_THROW(ThrowException<std::runtime_error>(site), ExceptionBase);
    try
    {
        ThrowException<std::runtime_error>(site);
    }
    catch (const std::logic_error&)
    {
        FAIL() << "a runtime error is no logic error";
    }
    catch (const std::runtime_error& error)
    {
        EXPECT_STREQ("Runtime Error :  : Device/KTFramework/Test : Line 7", error.what());
    }
    try
    {
        ThrowException<std::out_of_range>(site, "text");
    }
    catch (const ExceptionBase& error)
    {
        EXPECT_STREQ("Out of Range : text :  : Device/KTFramework/Test : Line 7", error.What());
    }
}
