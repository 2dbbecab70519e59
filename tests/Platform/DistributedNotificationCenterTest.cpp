#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/DistributedNotificationCenter.h"
#include "Platform/RuntimeDirectory.h"
#include "Platform/UnixSocket.h"
#include "support/ChildProcess.h"
#include "support/ScopedRuntimeDirectory.h"

using namespace KT::Platform;
using PlatformTesting::ChildProcess;
using PlatformTesting::ScopedRuntimeDirectory;

namespace
{

// Records "<tag> <name> <Index>" lines in delivery order and lets a test wait
// for a count.
struct Log
{
    std::mutex Lock;
    std::condition_variable Changed;
    std::vector<std::string> Lines;

    void Add(const std::string& line)
    {
        {
            std::lock_guard<std::mutex> guard(Lock);
            Lines.push_back(line);
        }
        Changed.notify_all();
    }

    bool WaitFor(std::size_t count)
    {
        std::unique_lock<std::mutex> guard(Lock);
        return Changed.wait_for(guard, std::chrono::seconds(10), [&] { return Lines.size() >= count; });
    }
};

struct Tagged
{
    Log* Target;
    std::string Tag;
};

void Record(void* context, const std::string& name, const PlistNode& userInfo)
{
    auto* tagged = static_cast<Tagged*>(context);
    std::int64_t index = -1;
    (void)userInfo.GetDictionaryItem("Index").GetInteger(index);
    tagged->Target->Add(tagged->Tag + " " + name + " " + std::to_string(index));
}

bool PostIndex(const std::string& name, std::int64_t index)
{
    Plist info = Plist::NewDictionary();
    return info.SetItem("Index", Plist::NewInteger(index)) &&
           DistributedNotificationCenter::Post(name, &info);
}

} // namespace

TEST(DistributedNotificationCenter, DeliversInArrivalThenRegistrationOrder)
{
    ScopedRuntimeDirectory runtime;
    DistributedNotificationCenter& center = DistributedNotificationCenter::Get();
    Log log;
    Tagged first{&log, "first"};
    Tagged second{&log, "second"};
    Tagged other{&log, "other"};
    const ObserverRegistration a = center.AddObserver("alpha", Record, &first);
    const ObserverRegistration b = center.AddObserver("beta", Record, &other);
    const ObserverRegistration c = center.AddObserver("alpha", Record, &second);
    ASSERT_TRUE(a != 0 && b != 0 && c != 0);
    ASSERT_TRUE(PostIndex("alpha", 1));
    ASSERT_TRUE(PostIndex("beta", 2));
    ASSERT_TRUE(DistributedNotificationCenter::Post("alpha", nullptr));
    ASSERT_TRUE(log.WaitFor(5));
    EXPECT_EQ(log.Lines, (std::vector<std::string>{"first alpha 1", "second alpha 1", "other beta 2",
                                                   "first alpha -1", "second alpha -1"}));
    center.RemoveObserver(a);
    center.RemoveObserver(b);
    center.RemoveObserver(c);
}

TEST(DistributedNotificationCenter, TwoProcessesObserveWithOrderKept)
{
    ScopedRuntimeDirectory runtime;
    ChildProcess observer(VELQUIN_NOTIFY_OBSERVER, {"count"}, {"XDG_RUNTIME_DIR=" + runtime.Base()});
    ASSERT_TRUE(observer.IsRunning());
    std::string line;
    ASSERT_TRUE(observer.ReadLine(line));
    ASSERT_EQ(line, "ready");

    Log log;
    Tagged self{&log, "self"};
    const ObserverRegistration registration =
        DistributedNotificationCenter::Get().AddObserver("count", Record, &self);
    ASSERT_NE(registration, 0u);
    constexpr int kCount = 60; // beyond a datagram queue's default length
    for (int i = 0; i < kCount; ++i)
    {
        ASSERT_TRUE(PostIndex("count", i));
    }
    ASSERT_TRUE(log.WaitFor(kCount));
    for (int i = 0; i < kCount; ++i)
    {
        EXPECT_EQ(log.Lines[i], "self count " + std::to_string(i));
        ASSERT_TRUE(observer.ReadLine(line));
        EXPECT_EQ(line, "count " + std::to_string(i)) << "in the other process";
    }
    DistributedNotificationCenter::Get().RemoveObserver(registration);
    observer.CloseInput();
    EXPECT_EQ(observer.Wait(), 0);
}

TEST(DistributedNotificationCenter, RemoveObserverWaitsForADeliveryInFlightButNotOnTheDeliveryThread)
{
    ScopedRuntimeDirectory runtime;
    DistributedNotificationCenter& center = DistributedNotificationCenter::Get();
    struct Blocking
    {
        std::mutex Lock;
        std::condition_variable Changed;
        bool Entered = false;
        bool Release = false;
        bool Removed = false;
        bool RemovedWhileRunning = false;
    } blocking;
    const ObserverRegistration registration = center.AddObserver(
        "block",
        [](void* context, const std::string&, const PlistNode&)
        {
            auto* state = static_cast<Blocking*>(context);
            std::unique_lock<std::mutex> guard(state->Lock);
            state->Entered = true;
            state->Changed.notify_all();
            state->Changed.wait(guard, [&] { return state->Release; });
            state->RemovedWhileRunning = state->Removed;
        },
        &blocking);
    ASSERT_NE(registration, 0u);
    ASSERT_TRUE(DistributedNotificationCenter::Post("block", nullptr));
    {
        std::unique_lock<std::mutex> guard(blocking.Lock);
        ASSERT_TRUE(
            blocking.Changed.wait_for(guard, std::chrono::seconds(10), [&] { return blocking.Entered; }));
    }
    std::thread remover(
        [&]
        {
            center.RemoveObserver(registration);
            std::lock_guard<std::mutex> guard(blocking.Lock);
            blocking.Removed = true;
            blocking.Changed.notify_all();
        });
    {
        // RemoveObserver must not come back while the callback is held.
        std::unique_lock<std::mutex> guard(blocking.Lock);
        EXPECT_FALSE(blocking.Changed.wait_for(guard, std::chrono::milliseconds(100),
                                               [&] { return blocking.Removed; }));
        blocking.Release = true;
        blocking.Changed.notify_all();
    }
    remover.join();
    EXPECT_FALSE(blocking.RemovedWhileRunning);

    // From inside its own callback the removal returns at once.
    Log log;
    struct SelfRemoving
    {
        ObserverRegistration Registration = 0;
        Log* Target = nullptr;
    } self;
    self.Target = &log;
    self.Registration = center.AddObserver(
        "self",
        [](void* context, const std::string&, const PlistNode&)
        {
            auto* state = static_cast<SelfRemoving*>(context);
            DistributedNotificationCenter::Get().RemoveObserver(state->Registration);
            state->Target->Add("removed");
        },
        &self);
    ASSERT_NE(self.Registration, 0u);
    ASSERT_TRUE(DistributedNotificationCenter::Post("self", nullptr));
    ASSERT_TRUE(DistributedNotificationCenter::Post("self", nullptr));
    Tagged marker{&log, "marker"};
    const ObserverRegistration markerRegistration = center.AddObserver("marker", Record, &marker);
    ASSERT_TRUE(DistributedNotificationCenter::Post("marker", nullptr));
    ASSERT_TRUE(log.WaitFor(2));
    EXPECT_EQ(log.Lines, (std::vector<std::string>{"removed", "marker marker -1"}))
        << "removed after the first";
    center.RemoveObserver(markerRegistration);
}

TEST(DistributedNotificationCenter, PostRemovesDeadObserversAndRefusesOversizedNotifications)
{
    ScopedRuntimeDirectory runtime;
    const std::string dead = GetRuntimeSubdirectory("notify") + "dead-observer";
    {
        sockaddr_un address{};
        socklen_t length = 0;
        ASSERT_TRUE(MakeUnixAddress(dead, address, length));
        ScopedFd socketFd(::socket(AF_UNIX, SOCK_DGRAM, 0));
        ASSERT_EQ(::bind(socketFd.Get(), reinterpret_cast<const sockaddr*>(&address), length), 0);
    }
    ASSERT_EQ(::access(dead.c_str(), F_OK), 0);
    EXPECT_TRUE(DistributedNotificationCenter::Post("anything", nullptr));
    EXPECT_NE(::access(dead.c_str(), F_OK), 0) << "the socket nobody reads is removed";

    EXPECT_FALSE(DistributedNotificationCenter::Post("", nullptr));
    EXPECT_FALSE(DistributedNotificationCenter::Post(std::string(kMaxNotificationSize, 'n'), nullptr));
    Plist big = Plist::NewDictionary();
    const std::vector<unsigned char> bytes(kMaxNotificationSize * 3 / 4);
    ASSERT_TRUE(big.SetItem("ParameterDataKey", Plist::NewData(bytes.data(), bytes.size())));
    EXPECT_FALSE(DistributedNotificationCenter::Post("big", &big))
        << "base64 makes it larger than a datagram";
}
