#include <gtest/gtest.h>

#include <string>

#include "KTFramework/Notification/Notification.h"
#include "support/NotificationClients.h"

using namespace KT;
using NotificationTesting::LPayload;

namespace
{

// Recycling is process-wide: every test that switches it on switches it off again.
class RecyclingOn
{
public:
    RecyclingOn() { LNotification::SetNotificationReuseEnable(true); }
    ~RecyclingOn() { LNotification::SetNotificationReuseEnable(false); }
};

} // namespace

TEST(LNotification, IDsAreStablePerNameDistinctByCaseAndTheirOwnNames)
{
    const LNotification::NotificationID upper = LNotification::GetNotificationID("NotificationTest.Name");
    const std::string sameText = "NotificationTest.Name";
    EXPECT_NE(upper, 0u);
    EXPECT_EQ(LNotification::GetNotificationID(sameText.c_str()), upper) << "an equal text in other storage";
    EXPECT_EQ(LNotification::GetNotificationID("NotificationTest.Name"), upper);

    const LNotification::NotificationID lower = LNotification::GetNotificationID("notificationtest.name");
    EXPECT_NE(lower, 0u);
    EXPECT_NE(lower, upper) << "names are compared case-sensitively";

    const char* asName = reinterpret_cast<const char*>(static_cast<uintptr_t>(upper));
    EXPECT_STREQ(asName, "NotificationTest.Name") << "an ID is the interned text";
    EXPECT_EQ(LNotification::GetNotificationID(asName), upper);

    // Many more names later, the first ID still names the same text.
    for (int i = 0; i < 200; ++i)
    {
        LNotification::GetNotificationID(("NotificationTest.Filler" + std::to_string(i)).c_str());
    }
    EXPECT_EQ(LNotification::GetNotificationID(sameText.c_str()), upper);
    EXPECT_STREQ(asName, "NotificationTest.Name");

    EXPECT_EQ(LNotification::GetNotificationID(nullptr), 0u);
    EXPECT_EQ(LNotification::GetNotificationID(""), 0u);
}

TEST(LNotification, CreateSetsNameAndDataAndRefusesNamesWithoutID)
{
    int payloadsDestroyed = 0;
    RCPtr<LRefCountedObject> payload(new LPayload(&payloadsDestroyed));
    RCPtr<LNotification> notification = LNotification::Create("NotificationTest.Create", payload);
    ASSERT_TRUE(!!notification);
    EXPECT_EQ(notification->GetID(), LNotification::GetNotificationID("NotificationTest.Create"));
    EXPECT_EQ(notification->GetData().Get(), payload.Get());
    EXPECT_FALSE(notification->IsQueued());

    EXPECT_EQ(notification->SetName(""), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(notification->SetName(nullptr), RESULT_INVALID_ARGUMENT);
    EXPECT_STREQ(notification->GetName(), "NotificationTest.Create") << "a refused name leaves the ID";
    EXPECT_EQ(notification->SetName("NotificationTest.Renamed"), 0);
    EXPECT_STREQ(notification->GetName(), "NotificationTest.Renamed");

    EXPECT_EQ(notification->SetData(RCPtr<LRefCountedObject>()), 0);
    payload.SetNull();
    EXPECT_EQ(payloadsDestroyed, 1) << "SetData released the old payload";

    EXPECT_FALSE(!!LNotification::Create(nullptr));
    EXPECT_FALSE(!!LNotification::Create(""));
    EXPECT_FALSE(!!LNotification::CreateInternal("", RCPtr<LRefCountedObject>()));
}

TEST(LNotification, WithoutRecyclingTheLastReleaseDestroysItAndItsPayload)
{
    int payloadsDestroyed = 0;
    RCPtr<LNotification> notification = LNotification::Create(
        "NotificationTest.Plain", RCPtr<LRefCountedObject>(new LPayload(&payloadsDestroyed)));
    RCPtr<LNotification> second = notification;
    second.SetNull();
    EXPECT_EQ(payloadsDestroyed, 0) << "not the last reference";
    notification.SetNull();
    EXPECT_EQ(payloadsDestroyed, 1);
}

TEST(LNotification, RecyclingReusesTheLastReleasedNotificationAndDropsItsPayloadAtRelease)
{
    RecyclingOn recycling;
    int payloadsDestroyed = 0;
    RCPtr<LNotification> first = LNotification::Create(
        "NotificationTest.Old", RCPtr<LRefCountedObject>(new LPayload(&payloadsDestroyed)));
    RCPtr<LNotification> second = LNotification::Create("NotificationTest.Old");
    const LNotification* firstAddress = first.Get();
    const LNotification* secondAddress = second.Get();
    first.SetNull();
    EXPECT_EQ(payloadsDestroyed, 1) << "the payload goes with the last outside reference";
    second.SetNull();

    // A name without ID takes nothing from the stack.
    EXPECT_FALSE(!!LNotification::Create(""));

    RCPtr<LRefCountedObject> payload(new LPayload(&payloadsDestroyed));
    RCPtr<LNotification> reused = LNotification::Create("NotificationTest.New", payload);
    EXPECT_EQ(reused.Get(), secondAddress) << "last recycled, first reused";
    EXPECT_STREQ(reused->GetName(), "NotificationTest.New");
    EXPECT_EQ(reused->GetData().Get(), payload.Get());
    EXPECT_EQ(reused->GetReferenceCount(), 1);
    RCPtr<LNotification> reusedAgain = LNotification::Create("NotificationTest.New");
    EXPECT_EQ(reusedAgain.Get(), firstAddress);
    EXPECT_FALSE(!!reusedAgain->GetData());
}

// Switching recycling off destroys the stacked notifications; ASan's leak check
// and use-after-free detection watch that they go exactly once.
TEST(LNotification, SwitchingRecyclingOffEmptiesTheStack)
{
    {
        RecyclingOn recycling;
        for (int i = 0; i < 5; ++i)
        {
            LNotification::Create("NotificationTest.Stacked");
        }
    }
    RCPtr<LNotification> fresh = LNotification::Create("NotificationTest.Fresh");
    ASSERT_TRUE(!!fresh);
    EXPECT_EQ(fresh->GetReferenceCount(), 1);
    fresh.SetNull();
}
