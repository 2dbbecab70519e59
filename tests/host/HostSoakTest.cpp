// A long run through the exported functions alone, once per device kind: the
// simulated network device (velquin_sim_device) and the test device helper with
// one attached device (velquin_fake_helper), each a process of its own that the
// test drives through its --control input. Each run makes 10,000 get/set cycles
// and receives 100,000 notifications of a parameter that rises by one with
// each, none of which may be lost or arrive out of order, and the process's
// resident memory at the end must stay within 10% of what it was after the
// first tenth of the run. Labelled "soak": it is left out of the ordinary test
// runs and run once by CI (tools/test.sh, test preset "soak").
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "KTFramework/Utilities/Storage/ParamDescriptor.h"
#include "KTFramework/Utilities/Storage/ParamValues.h"
#include "KTFramework/Utilities/Storage/Variant.h"
#include "support/ChildProcess.h"
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

// What /proc says the process holds in memory, in KiB.
long ResidentKiB()
{
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// The host's callback: checks each notification of the rising parameter
// against the one it expects next, keeping counts only, so that the run's own
// bookkeeping does not grow with it.
class Notifications
{
public:
    static void Callback(void* context, const KT::Variant&, const KT::ParamValues& values)
    {
        auto* self = static_cast<Notifications*>(context);
        for (int i = 0; i < values.GetCount(); ++i)
        {
            KT::Variant value;
            unsigned int id = 0;
            KT::Variant descriptor;
            if (values.GetValue(static_cast<unsigned int>(i), value, id, descriptor) != 0)
            {
                continue;
            }
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
            }
        }
        self->mChanged.notify_all();
    }

    bool WaitForAcceptance()
    {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, kWaitLimit, [&] { return mAccepted; });
    }

    // Waits until count notifications have come; false after kWaitLimit.
    bool WaitForCount(std::int64_t count)
    {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, kWaitLimit, [&] { return mCount >= count; });
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

private:
    std::mutex mLock;
    std::condition_variable mChanged;
    bool mAccepted = false;         // guarded by mLock
    std::int32_t mReceived = 0;     // guarded by mLock: the last value of the rising parameter
    std::int64_t mCount = 0;        // guarded by mLock
    std::int32_t mFirstWrong = 0;   // guarded by mLock
    std::int32_t mExpectedThen = 0; // guarded by mLock
};

// Connects the device, then runs the rounds against it; the peer answers
// "burst N" by sending N notifications.
void Soak(const KT::Variant& device, PlatformTesting::ChildProcess& peer)
{
    const auto started = std::chrono::steady_clock::now();
    Notifications notifications;
    const int connected = QVRX_ConnectDevice(device, Notifications::Callback, &notifications);
    ASSERT_GE(connected, 0);
    if (connected == QVRX_CONNECTED_AWAITING_ACCEPTANCE)
    {
        ASSERT_TRUE(notifications.WaitForAcceptance());
    }

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
            ASSERT_TRUE(peer.WriteLine("burst " + std::to_string(kBurst)));
            std::string answer;
            ASSERT_TRUE(peer.ReadLine(answer, 60000));
            ASSERT_EQ("ok", answer);
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
    ASSERT_TRUE(device.IsRunning());
    std::string line;
    ASSERT_TRUE(device.ReadLine(line));
    const std::string prefix = "listening on 127.0.0.1:";
    ASSERT_EQ(0u, line.rfind(prefix, 0)) << line;
    const auto port = static_cast<std::uint32_t>(std::strtoul(line.c_str() + prefix.size(), nullptr, 10));

    KT::Variant list;
    const std::uint32_t address = 0x7F000001;
    ASSERT_GE(QVRX_FindRemoteDevices(nullptr, 0, list, false, &address, 1, 8, 1, port), 0);
    // Devices that other tests announce on lo may be listed too.
    KT::Variant id;
    for (std::size_t i = 0; i < list.GetArrayLength(); ++i)
    {
        KT::Variant listed;
        KT::DeviceInfo info{};
        if (list.GetArrayElement(i, listed) == 0 && QVRX_GetDeviceInfo(listed, &info, false) >= 0 &&
            info.networkAddress == address && info.networkPort == port)
        {
            id = listed;
        }
    }
    ASSERT_NE(KT::Variant::TYPE_EMPTY, id.GetType()) << "the device was not found";
    Soak(id, device);
    EXPECT_EQ(0, QVRX_ReleaseAll());
    device.CloseInput();
    EXPECT_EQ(0, device.Wait());
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
