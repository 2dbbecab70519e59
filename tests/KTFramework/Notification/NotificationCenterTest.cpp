#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <latch>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "KTFramework/Notification/NotificationCenter.h"
#include "KTFramework/Notification/NotificationCenterManager.h"
#include "support/NotificationClients.h"

// Result codes that a test does not judge (set-up steps, and calls whose effect
// it checks another way) are cast to void.

using namespace KT;
using NotificationTesting::DeliveryLog;
using NotificationTesting::LPayload;
using NotificationTesting::LRecordingClient;

namespace
{

using Strings = std::vector<std::string>;
using Name = StringT<char, unsigned short>;

void PostFromSeveralThreadsWhileAnotherDelivers();

} // namespace

// The last outside release forces the clients out, discards the queue and
// destroys the centre (ASan's leak check sees that it is gone).
TEST(LNotificationCenter, TheLastOutsideReleaseForcesClientsOutAndDestroysIt)
{
    DeliveryLog log;
    int payloadsDestroyed = 0;
    RCPtr<LRecordingClient> first = LRecordingClient::Create("first", &log);
    RCPtr<LRecordingClient> second = LRecordingClient::Create("second", &log);
    RCPtr<LNotification> queued = LNotification::Create("CenterTest.Queued");
    {
        RCPtr<LNotificationCenter> centre = LNotificationCenter::Create(Name("CenterTest.Release"));
        static_cast<void>(centre->RegisterNotificationClient(first->Self(), "CenterTest.Queued", 0));
        static_cast<void>(centre->RegisterNotificationClient(second->Self(), "CenterTest.Queued", 0));
        static_cast<void>(centre->RegisterNotificationClient(second->Self(), "CenterTest.Other", 0));
        static_cast<void>(centre->PostForBroadcast(queued));
        static_cast<void>(centre->PostForBroadcast(LNotification::Create(
            "CenterTest.Other", RCPtr<LRefCountedObject>(new LPayload(&payloadsDestroyed)))));
        EXPECT_TRUE(queued->IsQueued());
    }
    EXPECT_EQ(first->mForced, 1);
    EXPECT_EQ(second->mForced, 2);
    EXPECT_FALSE(queued->IsQueued());
    EXPECT_EQ(queued->GetReferenceCount(), 1);
    EXPECT_EQ(payloadsDestroyed, 1);
    EXPECT_EQ(first->GetReferenceCount(), 1);
    EXPECT_EQ(second->GetReferenceCount(), 1);
    EXPECT_TRUE(log.Entries().empty()) << "discarded, not delivered";
}

// A client that does not leave when forced keeps the centre alive; when it leaves
// later the centre runs its clean-up again, without releasing anything twice.
TEST(LNotificationCenter, AClientThatStaysKeepsTheCentreUntilItLeaves)
{
    RCPtr<LRecordingClient> stubborn = LRecordingClient::Create("stubborn", nullptr);
    RCPtr<LRecordingClient> polite = LRecordingClient::Create("polite", nullptr);
    stubborn->mUnregisterWhenForced = false;
    RCPtr<LNotificationDistributor> kept;
    LNotificationCenter* raw = nullptr;
    {
        RCPtr<LNotificationCenter> centre = LNotificationCenter::Create(Name("CenterTest.Stubborn"));
        raw = centre.Get();
        static_cast<void>(centre->RegisterNotificationClient(stubborn->Self(), "CenterTest.Stay", 0));
        static_cast<void>(centre->RegisterNotificationClient(polite->Self(), "CenterTest.Stay", 0));
    }
    EXPECT_EQ(stubborn->mForced, 1);
    EXPECT_EQ(polite->mForced, 1);
    EXPECT_TRUE(raw->IsClientRegistered(stubborn->Self()));
    EXPECT_EQ(raw->PostForBroadcast(LNotification::Create("CenterTest.Stay")), RESULT_FAILED)
        << "its queue was cut loose";

    // Another outside holder comes and goes: the clean-up runs a second time.
    kept = RCPtr<LNotificationDistributor>(raw);
    kept.SetNull();
    EXPECT_EQ(stubborn->mForced, 2);
    EXPECT_TRUE(raw->IsClientRegistered(stubborn->Self()));

    EXPECT_EQ(raw->UnregisterNotificationClient(stubborn->Self()), 1);
    EXPECT_EQ(stubborn->GetReferenceCount(), 1);
}

TEST(LNotificationCenterManager, KeepsOneCentrePerNameAndDeliversNewestCentreFirst)
{
    EXPECT_STREQ(LNotificationCenterManager::DEFUALT_NOTIFICATION_CENTER_NAME.CStr(), "application");
    EXPECT_FALSE(!!LNotificationCenterManager::smDefaultNotificationCenterManagerRCPtr);

    DeliveryLog log;
    RCPtr<LNotificationCenterManager> manager(new LNotificationCenterManager);
    EXPECT_FALSE(!!manager->GetOrCreateNotificationCenter(Name("")));
    EXPECT_FALSE(
        !!manager->GetNotificationCenter(LNotificationCenterManager::DEFUALT_NOTIFICATION_CENTER_NAME));

    RCPtr<LNotificationCenter> application =
        manager->GetOrCreateNotificationCenter(LNotificationCenterManager::DEFUALT_NOTIFICATION_CENTER_NAME);
    ASSERT_TRUE(!!application);
    EXPECT_EQ(manager->GetOrCreateNotificationCenter(Name("application")).Get(), application.Get());
    EXPECT_EQ(manager->GetNotificationCenter(Name("application")).Get(), application.Get());
    EXPECT_FALSE(!!manager->GetNotificationCenter(Name("Application"))) << "names are case-sensitive";
    RCPtr<LNotificationCenter> other = manager->GetOrCreateNotificationCenter(Name("CenterTest.Other"));
    EXPECT_NE(other.Get(), application.Get());

    RCPtr<LRecordingClient> client = LRecordingClient::Create("client", &log);
    static_cast<void>(
        application->RegisterNotificationClient(client->Self(), "CenterTest.FromApplication", 0));
    static_cast<void>(other->RegisterNotificationClient(client->Self(), "CenterTest.FromOther", 0));
    static_cast<void>(application->PostForBroadcast(LNotification::Create("CenterTest.FromApplication")));
    static_cast<void>(other->PostForBroadcast(LNotification::Create("CenterTest.FromOther")));
    // The newer centre delivers first; its handler posts to it once more, which
    // waits for the next call.
    bool posted = false;
    client->mHook = [&](LRecordingClient&, const RCPtr<LNotificationDistributor>&,
                        const ConstRCPtr<LNotification>& notification)
    {
        if (!posted && std::string(notification->GetName()) == "CenterTest.FromOther")
        {
            posted = true;
            static_cast<void>(other->PostForBroadcast(LNotification::Create("CenterTest.FromOther")));
        }
    };
    EXPECT_TRUE(manager->DeliverPendingNotificationsAllCenters(false));
    EXPECT_EQ(log.Entries(), (Strings{"client:CenterTest.FromOther", "client:CenterTest.FromApplication"}));
    client->mHook = nullptr;
    EXPECT_FALSE(manager->DeliverPendingNotificationsAllCenters(false));
    EXPECT_EQ(log.Entries().size(), 3u);

    // Releasing the manager and the test's own pointers forces the client out of both.
    application.SetNull();
    other.SetNull();
    manager.SetNull();
    EXPECT_EQ(client->mForced, 2);
    EXPECT_EQ(client->GetReferenceCount(), 1);
}

// Several threads post while another delivers: every notification is delivered
// once, and each thread's notifications arrive in the order it posted them. Run
// with recycling off and on, as notifications then pass between the threads.
TEST(LNotificationCenter, PostingFromSeveralThreadsWhileAnotherDelivers)
{
    for (bool recycling : {false, true})
    {
        LNotification::SetNotificationReuseEnable(recycling);
        PostFromSeveralThreadsWhileAnotherDelivers();
        LNotification::SetNotificationReuseEnable(false);
    }
}

// Exit with a default manager whose centre still has clients and queued
// notifications, and with recycling on: the centre is forced out while everything
// it uses on the way still exists, and nothing is recycled into a destroyed stack.
TEST(LNotificationCenterDeathTest, ExitingWithCentresAndRecyclingLeftOn)
{
    EXPECT_EXIT(
        {
            LNotification::SetNotificationReuseEnable(true);
            LNotificationCenterManager::smDefaultNotificationCenterManagerRCPtr =
                RCPtr<LNotificationCenterManager>(new LNotificationCenterManager);
            RCPtr<LNotificationCenter> centre =
                LNotificationCenterManager::smDefaultNotificationCenterManagerRCPtr
                    ->GetOrCreateNotificationCenter(
                        LNotificationCenterManager::DEFUALT_NOTIFICATION_CENTER_NAME);
            RCPtr<LRecordingClient> client = LRecordingClient::Create("client", nullptr);
            static_cast<void>(centre->RegisterNotificationClient(client->Self(), "CenterTest.AtExit", 0));
            for (int i = 0; i < 3; ++i)
            {
                static_cast<void>(centre->PostForBroadcast(LNotification::Create("CenterTest.AtExit")));
            }
            LNotification::Create("CenterTest.Recycled");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

namespace
{

void PostFromSeveralThreadsWhileAnotherDelivers()
{
    constexpr int kPosters = 4;
    constexpr int kPerPoster = 400;
    RCPtr<LNotificationCenter> centre = LNotificationCenter::Create(Name("CenterTest.Threads"));
    std::atomic<int> total{0};
    RCPtr<LRecordingClient> client = LRecordingClient::Create("client", nullptr);
    std::vector<std::string> names;
    for (int p = 0; p < kPosters; ++p)
    {
        names.push_back("CenterTest.Poster" + std::to_string(p));
        static_cast<void>(centre->RegisterNotificationClient(client->Self(), names.back().c_str(), 0));
    }

    // Each notification carries a payload of its own, so arrival order can be checked
    // against posting order.
    std::vector<std::vector<RCPtr<LRefCountedObject>>> payloads(kPosters);
    int payloadsDestroyed = 0;
    for (int p = 0; p < kPosters; ++p)
    {
        for (int i = 0; i < kPerPoster; ++i)
        {
            payloads[static_cast<size_t>(p)].push_back(
                RCPtr<LRefCountedObject>(new LPayload(&payloadsDestroyed)));
        }
    }
    std::map<std::string, std::vector<const LRefCountedObject*>> order;
    client->mHook = [&](LRecordingClient&, const RCPtr<LNotificationDistributor>&,
                        const ConstRCPtr<LNotification>& notification)
    {
        order[notification->GetName()].push_back(notification->GetData().Get());
        total.fetch_add(1);
    };

    std::latch start(kPosters + 1);
    std::atomic<int> postersDone{0};
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p)
    {
        posters.emplace_back(
            [&, p]
            {
                start.arrive_and_wait();
                for (int i = 0; i < kPerPoster; ++i)
                {
                    RCPtr<LNotification> notification =
                        LNotification::Create(names[static_cast<size_t>(p)].c_str(),
                                              payloads[static_cast<size_t>(p)][static_cast<size_t>(i)]);
                    EXPECT_EQ(centre->PostForBroadcast(notification), 0);
                }
                postersDone.fetch_add(1);
            });
    }
    start.arrive_and_wait();
    while (postersDone.load() < kPosters)
    {
        centre->DeliverPendingNotifications(true);
    }
    for (std::thread& poster : posters)
    {
        poster.join();
    }
    EXPECT_FALSE(centre->DeliverPendingNotifications(false)) << "everything posted is delivered now";
    ASSERT_EQ(total.load(), kPosters * kPerPoster);
    for (int p = 0; p < kPosters; ++p)
    {
        const std::vector<const LRefCountedObject*>& arrived = order[names[static_cast<size_t>(p)]];
        ASSERT_EQ(arrived.size(), static_cast<size_t>(kPerPoster)) << names[static_cast<size_t>(p)];
        for (int i = 0; i < kPerPoster; ++i)
        {
            ASSERT_EQ(arrived[static_cast<size_t>(i)],
                      payloads[static_cast<size_t>(p)][static_cast<size_t>(i)].Get())
                << names[static_cast<size_t>(p)] << " notification " << i;
        }
    }
    client->mHook = nullptr;
    static_cast<void>(centre->UnregisterNotificationClient(client->Self()));
}

} // namespace
