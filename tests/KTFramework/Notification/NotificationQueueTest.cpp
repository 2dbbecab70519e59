#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KTFramework/Notification/NotificationQueue.h"
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

// A queue delivering to a distributor of its own, as its owner would set it up,
// and cut loose again at the end.
class QueueFixture : public ::testing::Test
{
protected:
    QueueFixture()
        : mQueue(new LNotificationQueue), mDistributor(new LNotificationDistributor),
          mClient(LRecordingClient::Create("client", &mLog))
    {
        EXPECT_EQ(mQueue->SetDistributor(mDistributor), 0);
    }
    ~QueueFixture() override
    {
        mClient->mHook = nullptr;
        static_cast<void>(mDistributor->UnregisterNotificationClient(mClient->Self()));
        mQueue->ReleaseDistributor();
        EXPECT_EQ(mQueue->GetReferenceCount(), 1) << "only the fixture holds the queue";
        EXPECT_EQ(mDistributor->GetReferenceCount(), 1) << "only the fixture holds the distributor";
    }

    void Register(const char* name, LNotificationDistributor::DeliveryFlags flags = 0)
    {
        static_cast<void>(mDistributor->RegisterNotificationClient(mClient->Self(), name, flags));
    }

    RCPtr<LNotification> Post(const char* name)
    {
        RCPtr<LNotification> notification = LNotification::Create(name);
        EXPECT_EQ(mQueue->PostForBroadcast(notification), 0) << name;
        return notification;
    }

    DeliveryLog mLog;
    RCPtr<LNotificationQueue> mQueue;
    RCPtr<LNotificationDistributor> mDistributor;
    RCPtr<LRecordingClient> mClient;
};

} // namespace

TEST_F(QueueFixture, DeliversHundredsOfNotificationsInPostingOrder)
{
    std::vector<std::string> names;
    for (int i = 0; i < 300; ++i)
    {
        names.push_back("QueueTest.Order" + std::to_string(i % 7));
    }
    for (int i = 0; i < 7; ++i)
    {
        Register(names[static_cast<size_t>(i)].c_str());
    }
    Strings expected;
    for (const std::string& name : names)
    {
        Post(name.c_str());
        expected.push_back("client:" + name);
    }
    EXPECT_FALSE(mQueue->DeliverPendingNotifications(false));
    EXPECT_EQ(mLog.Entries(), expected);
}

TEST_F(QueueFixture, ANotificationPostedByAHandlerWaitsForTheNextCall)
{
    Register("QueueTest.First");
    Register("QueueTest.Second");
    mClient->mHook = [this](LRecordingClient&, const RCPtr<LNotificationDistributor>&,
                            const ConstRCPtr<LNotification>& notification)
    {
        if (std::string(notification->GetName()) == "QueueTest.First")
        {
            static_cast<void>(mQueue->PostForBroadcast(LNotification::Create("QueueTest.Second")));
        }
    };
    Post("QueueTest.First");
    EXPECT_TRUE(mQueue->DeliverPendingNotifications(false));
    EXPECT_EQ(mLog.Entries(), (Strings{"client:QueueTest.First"}));
    EXPECT_FALSE(mQueue->DeliverPendingNotifications(false));
    EXPECT_EQ(mLog.Entries(), (Strings{"client:QueueTest.First", "client:QueueTest.Second"}));
}

TEST_F(QueueFixture, ANestedCallDeliversOnlyTheIdleNotification)
{
    Register("QueueTest.Outer");
    Register(kIdleNotificationName);
    std::vector<bool> nestedResults;
    mClient->mHook = [&](LRecordingClient&, const RCPtr<LNotificationDistributor>&,
                         const ConstRCPtr<LNotification>& notification)
    {
        if (std::string(notification->GetName()) == "QueueTest.Outer")
        {
            nestedResults.push_back(mQueue->DeliverPendingNotifications(true));
        }
    };
    Post("QueueTest.Outer");
    Post("QueueTest.Outer");
    EXPECT_FALSE(mQueue->DeliverPendingNotifications(false));
    EXPECT_EQ(nestedResults, (std::vector<bool>{true, false})) << "whether notifications were still queued";
    EXPECT_EQ(mLog.Entries(), (Strings{"client:QueueTest.Outer", "client:NID_IDLE", "client:QueueTest.Outer",
                                       "client:NID_IDLE"}));
}

TEST_F(QueueFixture, AnEmptyQueueDeliversOnlyTheIdleNotificationAndOnlyWhenAsked)
{
    RCPtr<LRecordingClient> newest = LRecordingClient::Create("newest", &mLog);
    static_cast<void>(mDistributor->RegisterNotificationClient(newest->Self(), kIdleNotificationName,
                                                               LNotificationDistributor::kDeliverNewestOnly));
    Register(kIdleNotificationName);
    EXPECT_FALSE(mQueue->DeliverPendingNotifications(false));
    EXPECT_TRUE(mLog.Entries().empty());
    EXPECT_FALSE(mQueue->DeliverPendingNotifications(true));
    EXPECT_EQ(mLog.Entries(), (Strings{"client:NID_IDLE"})) << "never to a newest-only registration";
    static_cast<void>(mDistributor->UnregisterNotificationClient(newest->Self()));
}

TEST_F(QueueFixture, ANewestOnlyClientGetsOnlyTheLastOfSeveralPostings)
{
    RCPtr<LRecordingClient> newest = LRecordingClient::Create("newest", &mLog);
    static_cast<void>(mDistributor->RegisterNotificationClient(newest->Self(), "QueueTest.Newest",
                                                               LNotificationDistributor::kDeliverNewestOnly));
    Register("QueueTest.Newest");
    RCPtr<LNotification> first = Post("QueueTest.Newest");
    RCPtr<LNotification> second = Post("QueueTest.Newest");
    mClient->mHook = [&](LRecordingClient&, const RCPtr<LNotificationDistributor>&,
                         const ConstRCPtr<LNotification>& notification)
    { mLog.Add(notification.Get() == first.Get() ? "(first)" : "(second)"); };
    EXPECT_FALSE(mQueue->DeliverPendingNotifications(false));
    EXPECT_EQ(mLog.Entries(), (Strings{"client:QueueTest.Newest", "(first)", "client:QueueTest.Newest",
                                       "(second)", "newest:QueueTest.Newest"}))
        << "the newest-only client, registered first, is reached last";
    static_cast<void>(mDistributor->UnregisterNotificationClient(newest->Self()));
}

TEST_F(QueueFixture, AQueuedNotificationCannotBeChangedOrPostedAgain)
{
    Register("QueueTest.Frozen");
    int payloadsDestroyed = 0;
    RCPtr<LNotification> notification = Post("QueueTest.Frozen");
    std::vector<int> results;
    mClient->mHook =
        [&](LRecordingClient&, const RCPtr<LNotificationDistributor>&, const ConstRCPtr<LNotification>&)
    {
        results.push_back(mQueue->PostForBroadcast(notification));
        results.push_back(notification->SetName("QueueTest.Other"));
        results.push_back(notification->SetData(RCPtr<LRefCountedObject>(new LPayload(&payloadsDestroyed))));
    };
    EXPECT_TRUE(notification->IsQueued());
    EXPECT_EQ(mQueue->PostForBroadcast(notification), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(notification->SetName("QueueTest.Other"), RESULT_FAILED);
    mQueue->DeliverPendingNotifications(false);
    EXPECT_EQ(results, (std::vector<int>{RESULT_INVALID_ARGUMENT, RESULT_FAILED, RESULT_FAILED}));
    EXPECT_EQ(payloadsDestroyed, 1) << "the refused payload was not kept";
    EXPECT_STREQ(notification->GetName(), "QueueTest.Frozen");
    EXPECT_FALSE(notification->IsQueued());

    mClient->mHook = nullptr;
    EXPECT_EQ(mQueue->PostForBroadcast(notification), 0) << "delivered, it can be posted again";
    EXPECT_FALSE(mQueue->DeliverPendingNotifications(false));
    EXPECT_EQ(mLog.Entries().size(), 2u);
}

TEST(LNotificationQueue, PostingAndDistributorRulesBeforeAndAfterRelease)
{
    RCPtr<LNotificationQueue> queue(new LNotificationQueue);
    RCPtr<LNotification> notification = LNotification::Create("QueueTest.Rules");
    EXPECT_EQ(queue->PostForBroadcast(RCPtr<LNotification>()), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(queue->PostForBroadcast(notification), RESULT_FAILED) << "no distributor";
    EXPECT_FALSE(notification->IsQueued());
    EXPECT_FALSE(queue->DeliverPendingNotifications(true)) << "no distributor, no idle notification";

    EXPECT_EQ(queue->SetDistributor(RCPtr<LNotificationDistributor>()), 0) << "null changes nothing";
    RCPtr<LNotificationDistributor> distributor(new LNotificationDistributor);
    EXPECT_EQ(queue->SetDistributor(distributor), 0);
    EXPECT_EQ(queue->SetDistributor(distributor), RESULT_FAILED);
    EXPECT_EQ(queue->PostForBroadcast(notification), 0);
    EXPECT_TRUE(queue->FlushPendingNotifications() == false);
    EXPECT_FALSE(notification->IsQueued()) << "flushing clears the flag";

    EXPECT_EQ(queue->PostForBroadcast(notification), 0);
    queue->ReleaseDistributor();
    EXPECT_FALSE(notification->IsQueued()) << "released queues discard what they held";
    EXPECT_EQ(queue->PostForBroadcast(notification), RESULT_FAILED);
    EXPECT_EQ(queue->SetDistributor(distributor), RESULT_FAILED);
    EXPECT_EQ(queue->GetReferenceCount(), 1);
    EXPECT_EQ(queue->GetNumContainedReferences(), 0);
    EXPECT_EQ(distributor->GetReferenceCount(), 1);
    queue->ReleaseDistributor(); // a second call changes nothing
    EXPECT_EQ(queue->GetReferenceCount(), 1);
}

TEST(LNotificationQueue, ThePostingReceiverPostsACopyOfWhatItReceives)
{
    DeliveryLog log;
    int payloadsDestroyed = 0;
    RCPtr<LNotificationQueue> queue(new LNotificationQueue);
    RCPtr<LNotificationDistributor> distributor(new LNotificationDistributor);
    RCPtr<LRecordingClient> client = LRecordingClient::Create("client", &log);
    static_cast<void>(distributor->RegisterNotificationClient(client->Self(), "QueueTest.Forwarded", 0));
    static_cast<void>(queue->SetDistributor(distributor));

    RCPtr<LRefCountedObject> payload(new LPayload(&payloadsDestroyed));
    RCPtr<LNotification> received = LNotification::Create("QueueTest.Forwarded", payload);
    RCPtr<LNotificationQueue::LPostingReceiver> receiver =
        LNotificationQueue::LPostingReceiver::Create(queue);
    receiver->HandleNotification(distributor, received);
    EXPECT_FALSE(received->IsQueued()) << "the received notification itself is not posted";
    EXPECT_EQ(receiver->ForceUnregisterNotification(distributor, received->GetName()), RESULT_FAILED);

    client->mHook = [&](LRecordingClient&, const RCPtr<LNotificationDistributor>&,
                        const ConstRCPtr<LNotification>& notification)
    {
        EXPECT_NE(notification.Get(), received.Get());
        EXPECT_EQ(notification->GetData().Get(), payload.Get());
    };
    EXPECT_FALSE(queue->DeliverPendingNotifications(false));
    EXPECT_EQ(log.Entries(), (Strings{"client:QueueTest.Forwarded"}));

    client->mHook = nullptr;
    receiver.SetNull();
    static_cast<void>(distributor->UnregisterNotificationClient(client->Self()));
    queue->ReleaseDistributor();
    EXPECT_EQ(queue->GetReferenceCount(), 1);
}
