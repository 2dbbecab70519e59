// A long run through the exported functions alone, once per device kind: the
// simulated network device (velquin_sim_device) and the test device helper with
// one attached device (velquin_fake_helper), each a process of its own that the
// test drives through its --control input. Each run makes 10,000 get/set cycles
// and receives 100,000 notifications of a parameter that rises by one with
// each, none of which may be lost or arrive out of order, and the process's
// resident memory at the end must stay within 10% of what it was after the
// first tenth of the run. A third run sends the network device's 100,000
// notifications at once to a callback that takes 50 µs each: none may be lost,
// the resident memory during and after the burst must stay within the
// connection's bound on undelivered messages, what a get's reply is read
// past it (the socket's receive queue), plus 10% of what it was before,
// and it reports how long a get took while the device flooded the host. A
// fourth run has four network devices flood a 1 ms callback from the system's
// own socket buffers while another thread gets a value of each every 500 ms:
// no get may fail or take longer than a second, nothing may be lost, and the
// resident memory may grow by no more than four connections' bound and
// read-ahead cap.
// Labelled "soak": it is left out of the ordinary test runs and run once by CI
// (tools/test.sh, test preset "soak").
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KTFramework/Utilities/Storage/ParamDescriptor.h"
#include "KTFramework/Utilities/Storage/ParamValues.h"
#include "KTFramework/Utilities/Storage/Variant.h"
#include "ParamValuesWalk.h"
#include "SimulatedDeviceLookup.h"
#include "support/ChildProcess.h"
#include "support/Latch.h"
#include "support/ResidentMemory.h"
#include "velquin/Common/CrossPlatform/VelquinInterface.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELQUIN_SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VELQUIN_SOAK_SANITIZED 1
#endif
#endif

namespace
{

constexpr int kRounds = 10;
constexpr int kCyclesPerRound = 1000;         // 10,000 get/set cycles in all
constexpr int kNotificationsPerRound = 10000; // 100,000 notifications in all
// Notifications are asked for in bursts of this many and each burst is awaited
// before the next. That keeps what waits for delivery small, which matters
// twice: a network connection reads each message into a receive buffer of 8 KiB
// and keeps as many buffers as were ever waiting for delivery at once (50 from
// the start), so larger bursts would show as growth up to that high-water mark,
// not as a leak; and the attached path lets a notification go when the host's
// queue stays full for a second, which a host whose callback keeps up never
// meets.
constexpr int kBurst = 40;
constexpr std::int32_t kNotifiedID = 5; // rises by one with each notification
constexpr std::int32_t kSetID = 1;      // an Int32 parameter of both devices
constexpr unsigned int kAccessGranted = static_cast<unsigned int>(-2);
constexpr auto kWaitLimit = std::chrono::seconds(60);
// The burst run: all of it asked for at once, each callback taking this long,
// the resident memory sampled every so many notifications.
constexpr int kFloodNotifications = 100000;
constexpr auto kSlowCallback = std::chrono::microseconds(50);
constexpr std::int64_t kSampleEvery = 1000;
constexpr std::int64_t kGetEvery = 5000;
// What a network connection may hold in messages read and not yet delivered.
constexpr long kUndeliveredBoundKiB = 8 * 1024;
constexpr const char* kDeviceSendBuffer = "65536";
// The run of four: each device's notifications, the callback's time, how
// often each device is asked for a value, and the longest a get may take.
constexpr int kFloodingDevices = 4;
constexpr int kFloodPerDevice = 20000;
constexpr auto kSlowerCallback = std::chrono::milliseconds(1);
constexpr auto kGetPause = std::chrono::milliseconds(500);
constexpr double kLongestGetMs = 1000.0;
// What a connection may hold while nobody waits for a reply, and while a
// reply is awaited.
constexpr long kReadAheadCapKiB = 64 * 1024;

using TestSupport::ResidentKiB;

// The most a TCP socket's receive queue may hold here, in KiB.
[[maybe_unused]] long ReceiveQueueMostKiB()
{
    std::ifstream rmem("/proc/sys/net/ipv4/tcp_rmem");
    long least = 0;
    long initial = 0;
    long most = 0;
    rmem >> least >> initial >> most;
    return most / 1024;
}

// The host's callback: checks each notification of the rising parameter
// against the one it expects next, keeping counts only, so that the run's own
// bookkeeping does not grow with it.
class Notifications
{
public:
    // Each call takes at least work; with work, the resident memory is sampled
    // every kSampleEvery notifications and its peak kept.
    explicit Notifications(std::chrono::microseconds work = std::chrono::microseconds(0)) : mWork(work) {}

    static void Callback(void* context, const KT::Variant&, const KT::ParamValues& values)
    {
        auto* self = static_cast<Notifications*>(context);
        const auto started = std::chrono::steady_clock::now();
        HostTesting::ForEachValue(values,
                                  [self](unsigned int id, const KT::Variant& value)
                                  {
                                      std::lock_guard<std::mutex> guard(self->mLock);
                                      if (id == kAccessGranted)
                                      {
                                          self->mAccepted = true;
                                      }
                                      else if (id == static_cast<unsigned int>(kNotifiedID))
                                      {
                                          const std::int32_t got = value.GetInt32();
                                          if (got != self->mReceived + 1 && self->mFirstWrong == 0)
                                          {
                                              self->mFirstWrong = got;
                                              self->mExpectedThen = self->mReceived + 1;
                                          }
                                          // Counted on from what arrived, so a gap shows once, not as
                                          // every later notification.
                                          self->mReceived = got;
                                          ++self->mCount;
                                          if (self->mWork.count() > 0 && self->mCount % kSampleEvery == 0)
                                          {
                                              self->mPeakKiB = std::max(self->mPeakKiB, ResidentKiB());
                                          }
                                      }
                                  });
        self->mChanged.notify_all();
        // A host that does real work per notification: busy, not asleep, so
        // that each call takes the time asked for and no more.
        while (std::chrono::steady_clock::now() - started < self->mWork)
        {
        }
    }

    bool WaitForAcceptance()
    {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, kWaitLimit, [&] { return mAccepted; });
    }

    // Waits until count notifications have come; false once kWaitLimit has
    // passed without one (a sanitized build delivers a long burst slowly).
    bool WaitForCount(std::int64_t count)
    {
        std::unique_lock<std::mutex> guard(mLock);
        for (std::int64_t seen = -1; mCount < count && mCount > seen;)
        {
            seen = mCount;
            mChanged.wait_for(guard, kWaitLimit, [&] { return mCount >= count || mCount > seen; });
        }
        return mCount >= count;
    }

    // Empty while every notification came in order, else what was wrong first.
    std::string Fault()
    {
        std::lock_guard<std::mutex> guard(mLock);
        if (mFirstWrong == 0)
        {
            return std::string();
        }
        return "expected " + std::to_string(mExpectedThen) + ", got " + std::to_string(mFirstWrong);
    }

    std::int64_t Count()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mCount;
    }

    long PeakKiB()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mPeakKiB;
    }

private:
    const std::chrono::microseconds mWork;
    std::mutex mLock;
    std::condition_variable mChanged;
    bool mAccepted = false;         // guarded by mLock
    std::int32_t mReceived = 0;     // guarded by mLock: the last value of the rising parameter
    std::int64_t mCount = 0;        // guarded by mLock
    std::int32_t mFirstWrong = 0;   // guarded by mLock
    std::int32_t mExpectedThen = 0; // guarded by mLock
    long mPeakKiB = 0;              // guarded by mLock
};

// Connects the device and, when it makes the host wait, waits for its
// acceptance; false when either fails.
bool Connect(const KT::Variant& device, Notifications& notifications)
{
    const int connected = QVRX_ConnectDevice(device, Notifications::Callback, &notifications);
    return connected >= 0 &&
           (connected != QVRX_CONNECTED_AWAITING_ACCEPTANCE || notifications.WaitForAcceptance());
}

// Has the peer send count notifications and waits for its answer.
bool AskForBurst(PlatformTesting::ChildProcess& peer, int count)
{
    std::string answer;
    return peer.WriteLine("burst " + std::to_string(count)) && peer.ReadLine(answer, 60000) && answer == "ok";
}

// Connects the device, then runs the rounds against it; the peer answers
// "burst N" by sending N notifications.
void Soak(const KT::Variant& device, PlatformTesting::ChildProcess& peer)
{
    const auto started = std::chrono::steady_clock::now();
    Notifications notifications;
    ASSERT_TRUE(Connect(device, notifications));

    long afterFirstRound = 0;
    const KT::ParamDescriptor setParameter(static_cast<unsigned int>(kSetID));
    for (int round = 0; round < kRounds; ++round)
    {
        for (int i = 0; i < kCyclesPerRound; ++i)
        {
            const std::int32_t written = round * kCyclesPerRound + i + 1;
            ASSERT_GE(QVRX_SetParamValue(device, setParameter, KT::Variant(written)), 0)
                << "cycle " << written;
            KT::Variant read;
            ASSERT_GE(QVRX_GetParamValue(device, setParameter, read), 0) << "cycle " << written;
            ASSERT_EQ(written, read.GetInt32()) << "cycle " << written;
        }
        for (int sent = 0; sent < kNotificationsPerRound; sent += kBurst)
        {
            ASSERT_TRUE(AskForBurst(peer, kBurst));
            const std::int64_t expected = std::int64_t{round} * kNotificationsPerRound + sent + kBurst;
            ASSERT_TRUE(notifications.WaitForCount(expected))
                << notifications.Count() << " of " << expected << " notifications arrived";
        }
        ASSERT_EQ("", notifications.Fault());
        if (round == 0)
        {
            afterFirstRound = ResidentKiB();
        }
    }
    const long atEnd = ResidentKiB();
    EXPECT_EQ(std::int64_t{kRounds} * kNotificationsPerRound, notifications.Count());
    EXPECT_EQ(0, QVRX_DisconnectDevice(device));
    const auto seconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
            .count() /
        1000.0;
    std::printf("%d get/set cycles, %lld notifications in %.1f s; resident memory %ld KiB after the first "
                "tenth, %ld KiB at the end\n",
                kRounds * kCyclesPerRound, static_cast<long long>(notifications.Count()), seconds,
                afterFirstRound, atEnd);
#ifndef VELQUIN_SOAK_SANITIZED
    // A sanitizer's own bookkeeping (ASan's quarantine of freed memory, TSan's
    // shadow of every access) grows with the run, so only the plain build's
    // resident memory says whether the library holds on to what it used.
    EXPECT_LE(atEnd, afterFirstRound + afterFirstRound / 10)
        << "resident memory grew from " << afterFirstRound << " KiB to " << atEnd << " KiB";
#endif
}

TEST(HostSoak, NetworkDeviceKeepsEveryNotificationInOrderAndItsMemoryFlat)
{
    PlatformTesting::ChildProcess device(VELQUIN_SIM_DEVICE,
                                         {"--address", "127.0.0.1", "--notify", "5:0", "--control"});
    KT::Variant id;
    ASSERT_NO_FATAL_FAILURE(HostTesting::FindSimulatedDevice(device, id));
    Soak(id, device);
    EXPECT_EQ(0, QVRX_ReleaseAll());
    device.CloseInput();
    EXPECT_EQ(0, device.Wait());
}

TEST(HostSoak, NetworkDeviceBurstToASlowCallbackLosesNothingAndStaysWithinTheBound)
{
    // The device's own send buffer is a small device's: on the loopback
    // interface the system's grows to megabytes, and the replies would wait
    // behind what the device holds rather than what the host does.
    PlatformTesting::ChildProcess device(
        VELQUIN_SIM_DEVICE,
        {"--address", "127.0.0.1", "--notify", "5:0", "--control", "--send-buffer", kDeviceSendBuffer});
    KT::Variant id;
    ASSERT_NO_FATAL_FAILURE(HostTesting::FindSimulatedDevice(device, id));
    Notifications notifications(kSlowCallback);
    ASSERT_TRUE(Connect(id, notifications));
    // The device reports its acceptance on channel 0 whatever the connect
    // answered; notifications before it would be dropped.
    ASSERT_TRUE(notifications.WaitForAcceptance());
    // A first small burst and get make what a connection makes once.
    const KT::ParamDescriptor getParameter(static_cast<unsigned int>(kSetID));
    KT::Variant read;
    ASSERT_TRUE(AskForBurst(device, kBurst));
    ASSERT_TRUE(notifications.WaitForCount(kBurst));
    ASSERT_GE(QVRX_GetParamValue(id, getParameter, read), 0);
    const long before = ResidentKiB();

    // The device writes the burst while this thread gets a parameter every
    // kGetEvery notifications; each get waits for its reply behind the
    // notifications ahead of it. A get that fails disconnects the device.
    const std::int64_t total = kBurst + kFloodNotifications;
    const auto burstStarted = std::chrono::steady_clock::now();
    std::thread flood([&] { EXPECT_TRUE(AskForBurst(device, kFloodNotifications)); });
    std::vector<double> getMs;
    bool getsAnswered = true;
    for (std::int64_t next = kBurst + kGetEvery; getsAnswered && next < total; next += kGetEvery)
    {
        if (!notifications.WaitForCount(next))
        {
            break;
        }
        const auto asked = std::chrono::steady_clock::now();
        getsAnswered = QVRX_GetParamValue(id, getParameter, read) >= 0;
        getMs.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - asked).count());
    }
    const bool allArrived = notifications.WaitForCount(total);
    const double burstSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - burstStarted).count();
    flood.join();
    // The backlog has drained: one more exchange, then what is left.
    const bool answeredAfter = QVRX_GetParamValue(id, getParameter, read) >= 0;
    const long after = ResidentKiB();
    const long during = std::max(notifications.PeakKiB(), after);

    std::sort(getMs.begin(), getMs.end());
    std::printf("burst of %d notifications to a %lld us callback: %lld arrived in %.1f s; resident memory "
                "%ld KiB before, %ld KiB at most during, %ld KiB after; %zu gets while it flooded, median "
                "%.1f ms, longest %.1f ms%s\n",
                kFloodNotifications, static_cast<long long>(kSlowCallback.count()),
                static_cast<long long>(notifications.Count() - kBurst), burstSeconds, before, during, after,
                getMs.size(), getMs.empty() ? 0.0 : getMs[getMs.size() / 2],
                getMs.empty() ? 0.0 : getMs.back(), getsAnswered ? "" : " (the last one failed)");
    EXPECT_TRUE(allArrived) << notifications.Count() << " of " << total << " notifications arrived";
    EXPECT_EQ("", notifications.Fault());
    EXPECT_TRUE(getsAnswered);
    EXPECT_TRUE(answeredAfter);
#ifndef VELQUIN_SOAK_SANITIZED
    // A get's reply is read past the bound: what lies before it, at most the
    // host socket's receive queue and the device's send buffer, is held too.
    const long limit = before + kUndeliveredBoundKiB + ReceiveQueueMostKiB() +
                       std::strtol(kDeviceSendBuffer, nullptr, 10) / 1024 + before / 10;
    EXPECT_LE(during, limit) << "resident memory rose from " << before << " KiB to " << during << " KiB";
    EXPECT_LE(after, limit) << "resident memory rose from " << before << " KiB to " << after << " KiB";
#endif
    EXPECT_EQ(0, QVRX_DisconnectDevice(id));
    EXPECT_EQ(0, QVRX_ReleaseAll());
    device.CloseInput();
    EXPECT_EQ(0, device.Wait());
}

TEST(HostSoak, FourDevicesFloodingASlowCallbackAnswerEveryGetAndLoseNothing)
{
    std::vector<std::unique_ptr<PlatformTesting::ChildProcess>> devices;
    std::vector<KT::Variant> ids(kFloodingDevices);
    std::vector<std::unique_ptr<Notifications>> notifications;
    const KT::ParamDescriptor getParameter(static_cast<unsigned int>(kSetID));
    for (int i = 0; i < kFloodingDevices; ++i)
    {
        // The system's default send buffer: on loopback it grows to
        // megabytes, which the device fills before the host reads.
        devices.push_back(std::make_unique<PlatformTesting::ChildProcess>(
            VELQUIN_SIM_DEVICE, std::vector<std::string>{"--address", "127.0.0.1", "--notify", "5:0",
                                                         "--control", "--index", std::to_string(i + 1)}));
        ASSERT_NO_FATAL_FAILURE(HostTesting::FindSimulatedDevice(*devices.back(), ids[i]));
        notifications.push_back(std::make_unique<Notifications>(kSlowerCallback));
        ASSERT_TRUE(Connect(ids[i], *notifications.back()));
        ASSERT_TRUE(notifications.back()->WaitForAcceptance());
        KT::Variant read;
        ASSERT_GE(QVRX_GetParamValue(ids[i], getParameter, read), 0);
    }
    const long before = ResidentKiB();

    TestSupport::Latch floodsArrived;
    std::vector<double> getMs;
    int failedGets = 0;
    std::thread getter(
        [&]
        {
            do
            {
                for (const KT::Variant& id : ids)
                {
                    KT::Variant read;
                    const auto asked = std::chrono::steady_clock::now();
                    failedGets += QVRX_GetParamValue(id, getParameter, read) >= 0 ? 0 : 1;
                    getMs.push_back(
                        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - asked)
                            .count());
                }
                // A host that asks twice a second, until the floods are in.
            } while (!floodsArrived.Wait(kGetPause));
        });
    std::vector<std::thread> floods;
    for (auto& device : devices)
    {
        floods.emplace_back([&device] { EXPECT_TRUE(AskForBurst(*device, kFloodPerDevice)); });
    }
    bool allArrived = true;
    for (auto& received : notifications)
    {
        allArrived = received->WaitForCount(kFloodPerDevice) && allArrived;
    }
    floodsArrived.Open();
    getter.join();
    for (std::thread& flood : floods)
    {
        flood.join();
    }
    const long after = ResidentKiB();
    long during = after;
    for (auto& received : notifications)
    {
        during = std::max(during, received->PeakKiB());
        EXPECT_EQ("", received->Fault());
        EXPECT_EQ(kFloodPerDevice, received->Count());
    }
    std::sort(getMs.begin(), getMs.end());
    const double longest = getMs.empty() ? 0.0 : getMs.back();
    std::printf(
        "%d devices, %d notifications each to a %lld ms callback: %zu gets while they flooded, median "
        "%.1f ms, longest %.1f ms, %d failed; resident memory %ld KiB before, %ld KiB at most during, "
        "%ld KiB after\n",
        kFloodingDevices, kFloodPerDevice, static_cast<long long>(kSlowerCallback.count()), getMs.size(),
        getMs.empty() ? 0.0 : getMs[getMs.size() / 2], longest, failedGets, before, during, after);
    EXPECT_TRUE(allArrived);
    EXPECT_EQ(0, failedGets);
    for (const KT::Variant& id : ids)
    {
        EXPECT_EQ(0, QVRX_IsDeviceConnected(id, false, 0));
        EXPECT_EQ(0, QVRX_DisconnectDevice(id));
    }
#ifndef VELQUIN_SOAK_SANITIZED
    EXPECT_LE(longest, kLongestGetMs);
    const long limit = before + kFloodingDevices * (kUndeliveredBoundKiB + kReadAheadCapKiB);
    EXPECT_LE(during, limit) << "resident memory rose from " << before << " KiB to " << during << " KiB";
#endif
    EXPECT_EQ(0, QVRX_ReleaseAll());
    for (auto& device : devices)
    {
        device->CloseInput();
        EXPECT_EQ(0, device->Wait());
    }
}

TEST(HostSoak, AttachedDeviceKeepsEveryNotificationInOrderAndItsMemoryFlat)
{
    // The helper serves in the runtime directory of this process (set by the
    // host tests' environment); once its port is there the library finds it
    // rather than starting one.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    ASSERT_NE(nullptr, runtime);
    // The device reports its acceptance by a notification after the
    // handshake, as a device does: notifications reach the host only after it.
    PlatformTesting::ChildProcess helper(
        VELQUIN_FAKE_HELPER,
        {"--device", "67305985,27486,11377,-1376007458,27486,11377,23,24,25,26,0,23/soak/soak-23/wait",
         "--accept-after-handshake", "--value", "1=int:0", "--notify", "5:0", "--control", "--idle-ms",
         "600000"});
    ASSERT_TRUE(helper.IsRunning());
    const std::filesystem::path ports = std::filesystem::path(runtime) / "velquin" / "ports";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::error_code error;
    while (std::filesystem::is_empty(ports, error) || error)
    {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the helper did not start serving";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    KT::Variant list;
    ASSERT_EQ(0, QVRX_FindDevices(nullptr, 0, list));
    ASSERT_EQ(1u, list.GetArrayLength());
    KT::Variant id;
    ASSERT_EQ(0, list.GetArrayElement(0, id));
    Soak(id, helper);
    EXPECT_EQ(0, QVRX_ReleaseAll());
    helper.CloseInput();
    EXPECT_EQ(0, helper.Wait());
}

} // namespace
