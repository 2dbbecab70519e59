#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "KTFramework/Notification/NotificationClientPool.h"
#include "KTFramework/Notification/NotificationDistributor.h"
#include "support/NotificationClients.h"

// Result codes that a test does not judge (set-up steps, and calls whose effect
// it checks another way) are cast to void.

using namespace KT;
using NotificationTesting::DeliveryLog;
using NotificationTesting::LRecordingClient;

namespace
{

using Strings = std::vector<std::string>;

class LCountedDistributor : public LNotificationDistributor
{
public:
    explicit LCountedDistributor(int* destroyed) : mDestroyed(destroyed) {}

protected:
    ~LCountedDistributor() override { ++*mDestroyed; }

private:
    int* mDestroyed;
};

RCPtr<LNotificationDistributor> NewDistributor()
{
    return RCPtr<LNotificationDistributor>(new LNotificationDistributor);
}

RCPtr<LNotification> Note(const char* name)
{
    return LNotification::Create(name);
}

} // namespace

TEST(LNotificationDistributor, DeliversNewestRegistrationFirstAndOnlyToItsName)
{
    DeliveryLog log;
    RCPtr<LNotificationDistributor> distributor = NewDistributor();
    RCPtr<LRecordingClient> a = LRecordingClient::Create("A", &log);
    RCPtr<LRecordingClient> b = LRecordingClient::Create("B", &log);
    RCPtr<LRecordingClient> c = LRecordingClient::Create("C", &log);
    EXPECT_EQ(distributor->RegisterNotificationClient(a->Self(), "DistributorTest.Order", 0), 0);
    EXPECT_EQ(distributor->RegisterNotificationClient(b->Self(), "DistributorTest.Order", 0), 0);
    EXPECT_EQ(distributor->RegisterNotificationClient(c->Self(), "DistributorTest.Order", 0), 0);
    EXPECT_EQ(distributor->RegisterNotificationClient(b->Self(), "DistributorTest.Other", 0), 0);

    EXPECT_EQ(distributor->DeliverNotificationAllClients(Note("DistributorTest.Order")), 0);
    EXPECT_EQ(log.Entries(),
              (Strings{"C:DistributorTest.Order", "B:DistributorTest.Order", "A:DistributorTest.Order"}));
    log.Clear();
    EXPECT_EQ(distributor->DeliverNotificationAllClients(Note("DistributorTest.Other")), 0);
    EXPECT_EQ(log.Entries(), (Strings{"B:DistributorTest.Other"}));
    log.Clear();

    EXPECT_EQ(distributor->DeliverNotificationAllClients(Note("DistributorTest.NoPool")), 1);
    EXPECT_EQ(distributor->DeliverNotificationAllClients(RCPtr<LNotification>()), RESULT_INVALID_ARGUMENT);
    distributor->DeliverNotification(a->Self(), Note("DistributorTest.Direct"));
    EXPECT_EQ(log.Entries(), (Strings{"A:DistributorTest.Direct"}));

    EXPECT_EQ(distributor->UnregisterNotificationClient(b->Self()), 2);
    EXPECT_EQ(distributor->DeliverNotificationAllClients(Note("DistributorTest.Other")), 1)
        << "an emptied pool";
    static_cast<void>(distributor->UnregisterNotificationClient(a->Self()));
    static_cast<void>(distributor->UnregisterNotificationClient(c->Self()));
}

TEST(LNotificationDistributor, RegistrationResultsFlagsAndReferenceCounts)
{
    RCPtr<LNotificationDistributor> distributor = NewDistributor();
    RCPtr<LRecordingClient> client = LRecordingClient::Create("A", nullptr);
    EXPECT_EQ(distributor->GetReferenceCount(), 1);

    EXPECT_EQ(
        distributor->RegisterNotificationClient(RCPtr<LNotificationClient>(), "DistributorTest.Flags", 0),
        RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(distributor->RegisterNotificationClient(client->Self(), "", 0), 1);
    EXPECT_EQ(distributor->RegisterNotificationClient(client->Self(), nullptr, 0), 1);
    EXPECT_FALSE(distributor->IsClientRegistered(client->Self()));
    EXPECT_EQ(distributor->GetReferenceCount(), 1);

    EXPECT_EQ(distributor->RegisterNotificationClient(client->Self(), "DistributorTest.Flags", 6), 0);
    // One reference for the registration and one for the process-wide list.
    EXPECT_EQ(distributor->GetReferenceCount(), 3);
    EXPECT_EQ(distributor->GetExternalReferenceCount(), 1);
    EXPECT_EQ(distributor->RegisterNotificationClient(client->Self(), "DistributorTest.Flags", 4), 1);
    EXPECT_EQ(distributor->GetReferenceCount(), 3) << "registering again adds no reference";
    LNotificationDistributor::DeliveryFlags flags = 0;
    EXPECT_EQ(distributor->GetDeliveryFlags(client->Self(), "DistributorTest.Flags", flags), 0);
    EXPECT_EQ(flags, 4u) << "the flags last given";
    EXPECT_EQ(distributor
                  ->GetNotificationClientPool(reinterpret_cast<const char*>(
                      LNotification::GetNotificationID("DistributorTest.Flags")))
                  ->GetFlags(),
              4u);
    EXPECT_EQ(distributor->GetDeliveryFlags(client->Self(), "DistributorTest.Unknown", flags), RESULT_FAILED);
    EXPECT_EQ(distributor->GetDeliveryFlags(client->Self(), "", flags), RESULT_FAILED);

    EXPECT_EQ(distributor->RegisterNotificationClient(client->Self(), "DistributorTest.Second", 0), 0);
    EXPECT_EQ(distributor->RegisterNotificationClient(client->Self(), "DistributorTest.Third", 0), 0);
    EXPECT_EQ(distributor->GetReferenceCount(), 5);
    EXPECT_TRUE(distributor->IsClientRegistered(client->Self()));

    EXPECT_EQ(distributor->UnregisterNotificationClient(client->Self(), "DistributorTest.Second"), 0);
    EXPECT_EQ(distributor->UnregisterNotificationClient(client->Self(), "DistributorTest.Second"), 1);
    EXPECT_EQ(distributor->UnregisterNotificationClient(client->Self(), "DistributorTest.NeverUsed"), 1);
    EXPECT_EQ(distributor->UnregisterNotificationClient(client->Self(), ""), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(
        distributor->UnregisterNotificationClient(RCPtr<LNotificationClient>(), "DistributorTest.Third"),
        RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(distributor->UnregisterNotificationClient(RCPtr<LNotificationClient>()),
              RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(distributor->RegisterNotificationClient(client->Self(), "DistributorTest.Second", 0), 0);
    EXPECT_EQ(distributor->UnregisterNotificationClient(client->Self()), 3);
    EXPECT_FALSE(distributor->IsClientRegistered(client->Self()));
    EXPECT_EQ(distributor->GetReferenceCount(), 1) << "back to the outside holder's";
    EXPECT_EQ(distributor->GetNumContainedReferences(), 0);
    EXPECT_EQ(client->GetReferenceCount(), 1) << "the registrations released the client";
}

TEST(LNotificationDistributor, KeepsItselfAliveWhileRegisteredAndGoesWithTheLastRegistration)
{
    int destroyed = 0;
    RCPtr<LRecordingClient> client = LRecordingClient::Create("A", nullptr);
    RCPtr<LNotificationDistributor> distributor(new LCountedDistributor(&destroyed));
    static_cast<void>(distributor->RegisterNotificationClient(client->Self(), "DistributorTest.Alive", 0));
    LNotificationDistributor* raw = distributor.Get();
    distributor.SetNull();
    EXPECT_EQ(destroyed, 0) << "held by its registration and the list";

    // The client unregisters itself from inside its handler: the delivery holds
    // the distributor until it has finished.
    client->mHook = [](LRecordingClient& self, const RCPtr<LNotificationDistributor>& from,
                       const ConstRCPtr<LNotification>& notification)
    { static_cast<void>(from->UnregisterNotificationClient(self.Self(), notification->GetName())); };
    static_cast<void>(raw->DeliverNotificationAllClients(Note("DistributorTest.Alive")));
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(client->GetReferenceCount(), 1);

    // Unregistered directly, with nobody else holding it: the last reference goes
    // only after the distributor's mutex has been given back (ASan watches).
    client->mHook = nullptr;
    distributor = RCPtr<LNotificationDistributor>(new LCountedDistributor(&destroyed));
    static_cast<void>(distributor->RegisterNotificationClient(client->Self(), "DistributorTest.Alive", 0));
    static_cast<void>(distributor->RegisterNotificationClient(client->Self(), "DistributorTest.Alive2", 0));
    raw = distributor.Get();
    distributor.SetNull();
    EXPECT_EQ(raw->UnregisterNotificationClient(client->Self()), 2);
    EXPECT_EQ(destroyed, 2);
}

// Handlers that unregister themselves or others while a walk runs: every client
// still registered is reached exactly once, and none twice.
TEST(LNotificationDistributor, UnregisteringDuringDeliveryReachesEveryOtherClientOnce)
{
    struct Case
    {
        const char* name;
        int registered;                   // A, B, C (and D), registered in that order
        const char* actor;                // whose handler acts
        std::vector<const char*> removes; // clients it unregisters, in order
        Strings expected;                 // deliveries, in order
    };
    const Case cases[] = {
        {"C removes itself", 3, "C", {"C"}, {"C", "B", "A"}},
        {"C removes A", 3, "C", {"A"}, {"C", "B"}},
        {"C removes B", 3, "C", {"B"}, {"C", "A"}},
        {"C removes B and A", 3, "C", {"B", "A"}, {"C"}},
        {"B removes itself", 4, "B", {"B"}, {"D", "C", "B", "A"}},
        {"B removes C", 4, "B", {"C"}, {"D", "C", "B", "A"}},
        {"B removes D, itself and A", 4, "B", {"D", "B", "A"}, {"D", "C", "B"}},
        {"A removes everybody", 4, "A", {"D", "C", "B", "A"}, {"D", "C", "B", "A"}},
        {"D removes itself and C", 4, "D", {"D", "C"}, {"D", "B", "A"}},
    };
    for (const Case& c : cases)
    {
        DeliveryLog log;
        RCPtr<LNotificationDistributor> distributor = NewDistributor();
        std::map<std::string, RCPtr<LRecordingClient>> clients;
        const char* labels[] = {"A", "B", "C", "D"};
        for (int i = 0; i < 4; ++i)
        {
            clients[labels[i]] = LRecordingClient::Create(labels[i], &log);
            if (i < c.registered)
            {
                static_cast<void>(distributor->RegisterNotificationClient(clients[labels[i]]->Self(),
                                                                          "DistributorTest.Removal", 0));
            }
        }
        clients[c.actor]->mHook = [&](LRecordingClient&, const RCPtr<LNotificationDistributor>& from,
                                      const ConstRCPtr<LNotification>& notification)
        {
            for (const char* removed : c.removes)
            {
                static_cast<void>(
                    from->UnregisterNotificationClient(clients[removed]->Self(), notification->GetName()));
            }
        };
        static_cast<void>(distributor->DeliverNotificationAllClients(Note("DistributorTest.Removal")));
        Strings delivered;
        for (const std::string& entry : log.Entries())
        {
            delivered.push_back(entry.substr(0, entry.find(':')));
        }
        EXPECT_EQ(delivered, c.expected) << c.name;
        for (auto& entry : clients)
        {
            static_cast<void>(distributor->UnregisterNotificationClient(entry.second->Self()));
            entry.second->mHook = nullptr;
        }
        EXPECT_EQ(distributor->GetReferenceCount(), 1) << c.name;
    }
}

// A handler that delivers the same ID again: both walks reach every client once,
// each with its own position.
TEST(LNotificationDistributor, NestedDeliveryOfOneIDKeepsBothWalksWhole)
{
    DeliveryLog log;
    RCPtr<LNotificationDistributor> distributor = NewDistributor();
    std::vector<RCPtr<LRecordingClient>> clients;
    for (const char* label : {"A", "B", "C"})
    {
        clients.push_back(LRecordingClient::Create(label, &log));
        static_cast<void>(
            distributor->RegisterNotificationClient(clients.back()->Self(), "DistributorTest.Nested", 0));
    }
    bool nested = false;
    clients[1]->mHook =
        [&](LRecordingClient&, const RCPtr<LNotificationDistributor>& from, const ConstRCPtr<LNotification>&)
    {
        if (!nested)
        {
            nested = true;
            log.Add("inner");
            static_cast<void>(from->DeliverNotificationAllClients(Note("DistributorTest.Nested")));
            log.Add("outer");
        }
    };
    static_cast<void>(distributor->DeliverNotificationAllClients(Note("DistributorTest.Nested")));
    Strings delivered;
    for (const std::string& entry : log.Entries())
    {
        delivered.push_back(entry.substr(0, entry.find(':')));
    }
    EXPECT_EQ(delivered, (Strings{"C", "B", "inner", "C", "B", "A", "outer", "A"}));
    for (auto& client : clients)
    {
        client->mHook = nullptr;
        static_cast<void>(distributor->UnregisterNotificationClient(client->Self()));
    }
}

TEST(LNotificationDistributor, NewestOnlyRegistrationsGetNothingThatWasNotPosted)
{
    DeliveryLog log;
    RCPtr<LNotificationDistributor> distributor = NewDistributor();
    RCPtr<LRecordingClient> plain = LRecordingClient::Create("plain", &log);
    RCPtr<LRecordingClient> newest = LRecordingClient::Create("newest", &log);
    static_cast<void>(distributor->RegisterNotificationClient(plain->Self(), "DistributorTest.Newest", 0));
    static_cast<void>(distributor->RegisterNotificationClient(newest->Self(), "DistributorTest.Newest",
                                                              LNotificationDistributor::kDeliverNewestOnly));
    EXPECT_EQ(distributor->DeliverNotificationAllClients(Note("DistributorTest.Newest")), 0);
    EXPECT_EQ(log.Entries(), (Strings{"plain:DistributorTest.Newest"}));

    // Recorded as pending (as a queue does when posting), it is delivered once.
    RCPtr<LNotification> posted = Note("DistributorTest.Newest");
    distributor->GetNotificationClientPool(posted->GetName())->RecordPendingNotification(posted);
    log.Clear();
    static_cast<void>(distributor->DeliverNotificationAllClients(posted));
    static_cast<void>(distributor->DeliverNotificationAllClients(posted));
    EXPECT_EQ(log.Entries(), (Strings{"newest:DistributorTest.Newest", "plain:DistributorTest.Newest",
                                      "plain:DistributorTest.Newest"}));
    EXPECT_EQ(posted->GetReferenceCount(), 1) << "the pending record was released";
    static_cast<void>(distributor->UnregisterNotificationClient(plain->Self()));
    static_cast<void>(distributor->UnregisterNotificationClient(newest->Self()));
}

TEST(LNotificationDistributor, ForcingClientsOutAsksEachOnceAndKeepsThoseThatRefuse)
{
    DeliveryLog log;
    RCPtr<LNotificationDistributor> distributor = NewDistributor();
    RCPtr<LRecordingClient> leaving = LRecordingClient::Create("leaving", &log);
    RCPtr<LRecordingClient> staying = LRecordingClient::Create("staying", &log);
    staying->mUnregisterWhenForced = false;
    for (const char* name : {"DistributorTest.Force1", "DistributorTest.Force2"})
    {
        static_cast<void>(distributor->RegisterNotificationClient(leaving->Self(), name, 0));
        static_cast<void>(distributor->RegisterNotificationClient(staying->Self(), name, 0));
    }
    EXPECT_EQ(distributor->ForceAllRegisteredClientsToUnregister(), 0);
    EXPECT_EQ(leaving->mForced, 2);
    EXPECT_EQ(staying->mForced, 2);
    EXPECT_FALSE(distributor->IsClientRegistered(leaving->Self()));
    EXPECT_TRUE(distributor->IsClientRegistered(staying->Self()));
    EXPECT_EQ(distributor->GetReferenceCount(), 4) << "the outside holder, two registrations and the list";
    EXPECT_EQ(distributor->UnregisterNotificationClient(staying->Self()), 2);
    EXPECT_EQ(distributor->GetReferenceCount(), 1);
}

// Two distributors gain and lose their first and last registrations at once on
// two threads: the process-wide list of distributors must not be torn.
TEST(LNotificationDistributor, TwoDistributorsRegisteringAtOnce)
{
    constexpr int kRounds = 500;
    RCPtr<LNotificationDistributor> distributors[2] = {NewDistributor(), NewDistributor()};
    std::latch start(2);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
    {
        threads.emplace_back(
            [&, t]
            {
                RCPtr<LRecordingClient> client = LRecordingClient::Create("T", nullptr);
                start.arrive_and_wait();
                for (int round = 0; round < kRounds; ++round)
                {
                    static_cast<void>(distributors[t]->RegisterNotificationClient(
                        client->Self(), "DistributorTest.Threads", 0));
                    static_cast<void>(distributors[t]->RegisterNotificationClient(
                        client->Self(), "DistributorTest.Threads2", 0));
                    static_cast<void>(distributors[t]->UnregisterNotificationClient(client->Self()));
                }
            });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    for (const RCPtr<LNotificationDistributor>& distributor : distributors)
    {
        EXPECT_EQ(distributor->GetReferenceCount(), 1);
        EXPECT_EQ(distributor->GetNumContainedReferences(), 0);
    }
}

// One thread delivers while another registers and unregisters clients of the
// same ID: no client is reached after it has been released, and the counts settle.
TEST(LNotificationDistributor, DeliveryRunsWhileAnotherThreadChangesRegistrations)
{
    constexpr int kRounds = 300;
    RCPtr<LNotificationDistributor> distributor = NewDistributor();
    std::atomic<int> received{0};
    RCPtr<LRecordingClient> steady = LRecordingClient::Create("steady", nullptr);
    steady->mHook = [&](LRecordingClient&, const RCPtr<LNotificationDistributor>&,
                        const ConstRCPtr<LNotification>&) { received.fetch_add(1); };
    static_cast<void>(distributor->RegisterNotificationClient(steady->Self(), "DistributorTest.Busy", 0));
    std::latch start(2);
    std::thread changer(
        [&]
        {
            start.arrive_and_wait();
            for (int round = 0; round < kRounds; ++round)
            {
                RCPtr<LRecordingClient> passing = LRecordingClient::Create("passing", nullptr);
                static_cast<void>(
                    distributor->RegisterNotificationClient(passing->Self(), "DistributorTest.Busy", 0));
                static_cast<void>(
                    distributor->UnregisterNotificationClient(passing->Self(), "DistributorTest.Busy"));
            }
        });
    start.arrive_and_wait();
    RCPtr<LNotification> notification = Note("DistributorTest.Busy");
    for (int round = 0; round < kRounds; ++round)
    {
        static_cast<void>(distributor->DeliverNotificationAllClients(notification));
    }
    changer.join();
    EXPECT_EQ(received.load(), kRounds) << "the steady client is reached once per delivery";
    static_cast<void>(distributor->UnregisterNotificationClient(steady->Self()));
    EXPECT_EQ(distributor->GetReferenceCount(), 1);
}

// Two threads walk one ID at once: each walk reaches every client once, and a
// posted notification reaches a newest-only client once, whichever walk gets there.
TEST(LNotificationDistributor, ConcurrentWalksOfOneIDNeitherSkipNorRepeat)
{
    constexpr int kRounds = 200;
    RCPtr<LNotificationDistributor> distributor = NewDistributor();
    std::atomic<int> plainCount{0};
    std::atomic<int> newestCount{0};
    std::vector<RCPtr<LRecordingClient>> clients;
    for (int i = 0; i < 3; ++i)
    {
        clients.push_back(LRecordingClient::Create("plain", nullptr));
        clients.back()->mHook = [&](LRecordingClient&, const RCPtr<LNotificationDistributor>&,
                                    const ConstRCPtr<LNotification>&) { plainCount.fetch_add(1); };
        static_cast<void>(
            distributor->RegisterNotificationClient(clients.back()->Self(), "DistributorTest.Concurrent", 0));
    }
    RCPtr<LRecordingClient> newest = LRecordingClient::Create("newest", nullptr);
    newest->mHook = [&](LRecordingClient&, const RCPtr<LNotificationDistributor>&,
                        const ConstRCPtr<LNotification>&) { newestCount.fetch_add(1); };
    static_cast<void>(distributor->RegisterNotificationClient(newest->Self(), "DistributorTest.Concurrent",
                                                              LNotificationDistributor::kDeliverNewestOnly));
    const RCPtr<LNotificationDistributor::LNotificationClientPool> pool =
        distributor->GetNotificationClientPool(
            reinterpret_cast<const char*>(LNotification::GetNotificationID("DistributorTest.Concurrent")));

    for (int round = 0; round < kRounds; ++round)
    {
        RCPtr<LNotification> posted = Note("DistributorTest.Concurrent");
        pool->RecordPendingNotification(posted);
        std::latch start(2);
        auto walk = [&]
        {
            start.arrive_and_wait();
            static_cast<void>(distributor->DeliverNotificationAllClients(posted));
        };
        std::thread other(walk);
        walk();
        other.join();
        ASSERT_EQ(newestCount.load(), round + 1) << "round " << round;
        ASSERT_EQ(plainCount.load(), 6 * (round + 1)) << "round " << round;
    }
    for (const RCPtr<LRecordingClient>& client : clients)
    {
        static_cast<void>(distributor->UnregisterNotificationClient(client->Self()));
    }
    static_cast<void>(distributor->UnregisterNotificationClient(newest->Self()));
}
