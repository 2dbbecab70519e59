// Attached devices as a host reaches them: through the fourteen functions of
// libvelquin.so alone, against the test device helper running as a process of
// its own, which the library starts through the fake launchctl first on PATH.
// The process gets its own runtime directory (XDG_RUNTIME_DIR) before any
// test runs; every helper started in it is stopped by its PID at the end.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KTFramework/Utilities/Storage/ParamDescriptor.h"
#include "KTFramework/Utilities/Storage/ParamValues.h"
#include "KTFramework/Utilities/Storage/Variant.h"
#include "support/AttachedDeviceIds.h"
#include "support/ChildProcess.h"
#include "velquin/Common/CrossPlatform/VelquinInterface.h"

namespace
{

std::string sBase; // what XDG_RUNTIME_DIR names for this process

std::string PidFile()
{
    return sBase + "/helpers.pid";
}

// Whether the process has ended. The helpers are not this process's children
// (launchctl's shell started them), so an ended one may linger as a zombie
// until someone else reaps it.
bool HasEnded(long pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text))
    {
        return true;
    }
    const std::size_t end = text.rfind(')');
    return end == std::string::npos || end + 2 >= text.size() || text[end + 2] == 'Z';
}

// Ends the helpers that launchctl started so far and waits until they are
// gone, so that the next test's helper can serve the port.
void StopLaunchedHelpers()
{
    std::ifstream pids(PidFile());
    long pid = 0;
    while (pids >> pid)
    {
        if (pid <= 0 || ::kill(static_cast<pid_t>(pid), SIGTERM) != 0)
        {
            continue;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!HasEnded(pid) && std::chrono::steady_clock::now() < deadline)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    std::ofstream(PidFile(), std::ios::trunc);
}

class HostRuntime : public ::testing::Environment
{
public:
    void SetUp() override
    {
        // Short, so socket paths below it fit a socket address.
        char pattern[] = "/tmp/vq-host-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(pattern));
        sBase = pattern;
        ::setenv("XDG_RUNTIME_DIR", sBase.c_str(), 1);
        ::setenv("VELQUIN_FAKE_HELPER_PIDFILE", PidFile().c_str(), 1);
        ::setenv("VELQUIN_LAUNCHCTL_LOG", (sBase + "/launchctl.log").c_str(), 1);
        // A helper started for a test that does not set its own list has none.
        ::setenv("VELQUIN_FAKE_HELPER_ARGS", "--idle-ms 20000", 1);
    }

    void TearDown() override
    {
        QVRX_ReleaseAll();
        StopLaunchedHelpers();
        ::nftw(
            sBase.c_str(),
            [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
};

const ::testing::Environment* const kHostRuntime = ::testing::AddGlobalTestEnvironment(new HostRuntime);

using AttachedDeviceIds::DeviceID;
using AttachedDeviceIds::Words;

// The helper's "--device" argument for device seed.
std::string DeviceArgument(int seed, const std::string& helperId, bool waits)
{
    std::string words;
    for (std::int32_t word : Words(seed))
    {
        words += (words.empty() ? "" : ",") + std::to_string(word);
    }
    // The arguments are split at spaces: the name has none.
    return "--device " + words + "/device-" + std::to_string(seed) + "/" + helperId + (waits ? "/wait" : "");
}

std::vector<std::string> Lines(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line))
    {
        lines.push_back(line);
    }
    return lines;
}

// Waits until the file has a line starting with prefix; false after 10 s.
bool WaitForLine(const std::string& path, const std::string& prefix)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;)
    {
        for (const std::string& line : Lines(path))
        {
            if (line.rfind(prefix, 0) == 0)
            {
                return true;
            }
        }
        if (std::chrono::steady_clock::now() > deadline)
        {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

struct Entry
{
    std::int32_t id;
    std::int32_t value;
    bool operator==(const Entry& other) const { return id == other.id && value == other.value; }
};

// The host's callback: keeps what each call carried.
class Calls
{
public:
    static void Callback(void* context, const KT::Variant& deviceID, const KT::ParamValues& values)
    {
        auto* self = static_cast<Calls*>(context);
        std::vector<Entry> entries;
        for (int i = 0; i < values.GetCount(); ++i)
        {
            KT::Variant value;
            unsigned int id = 0;
            KT::Variant descriptor;
            if (values.GetValue(static_cast<unsigned int>(i), value, id, descriptor) == 0)
            {
                entries.push_back({static_cast<std::int32_t>(id), value.GetInt32()});
            }
        }
        {
            std::lock_guard<std::mutex> guard(self->mLock);
            self->mCalls.push_back(entries);
            self->mIDs.push_back(deviceID);
        }
        self->mChanged.notify_all();
    }

    bool WaitFor(std::size_t count)
    {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, std::chrono::seconds(10), [&] { return mCalls.size() >= count; });
    }

    std::vector<std::vector<Entry>> Get()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mCalls;
    }

    std::vector<KT::Variant> IDs()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mIDs;
    }

private:
    std::mutex mLock;
    std::condition_variable mChanged;
    std::vector<std::vector<Entry>> mCalls;
    std::vector<KT::Variant> mIDs;
};

class HostAttachedDevice : public ::testing::Test
{
protected:
    // Helpers that earlier tests of this process started are stopped first.
    HostAttachedDevice() { StopLaunchedHelpers(); }

    ~HostAttachedDevice() override
    {
        QVRX_ReleaseAll();
        StopLaunchedHelpers();
        ::setenv("VELQUIN_FAKE_HELPER_ARGS", "--idle-ms 20000", 1);
    }

    // The helper that launchctl starts next serves these devices and logs to
    // mLog.
    void SetHelper(const std::vector<std::string>& devices, const std::string& extra = "")
    {
        std::ofstream(sBase + "/launchctl.log", std::ios::trunc);
        std::string arguments = "--log " + mLog + " --idle-ms 20000 " + extra;
        for (const std::string& device : devices)
        {
            arguments += " " + device;
        }
        ::setenv("VELQUIN_FAKE_HELPER_ARGS", arguments.c_str(), 1);
    }

    const std::string mLog =
        sBase + "/helper-" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
};

TEST_F(HostAttachedDevice, FindsConnectsGetsSetsHearsAndDisconnectsThroughTheExportedFunctions)
{
    SetHelper({DeviceArgument(1, "helper-1", false), DeviceArgument(2, "helper-2", true)},
              "--accept-after-handshake");
    KT::Variant list;
    ASSERT_EQ(0, QVRX_FindDevices(nullptr, 0, list));
    if (list.GetArrayLength() == 0)
    {
        // The library still held the port of a helper that an earlier test of
        // this process used; the search found it gone, and the next one starts
        // this test's helper.
        ASSERT_EQ(0, QVRX_FindDevices(nullptr, 0, list));
    }
    ASSERT_EQ(2u, list.GetArrayLength());
    KT::Variant listed;
    ASSERT_EQ(0, list.GetArrayElement(1, listed));
    EXPECT_TRUE(listed == DeviceID(2));
    EXPECT_EQ((std::vector<std::string>{
                  "load -F /Library/LaunchAgents/com.korvane.lumetraworks.wirebridge.helper.plist",
                  "start com.korvane.lumetraworks.wirebridge.helper"}),
              Lines(sBase + "/launchctl.log"));

    // Device 2 accepts only after the handshake: the acceptance reaches the
    // callback as parameter -2.
    Calls calls;
    ASSERT_EQ(QVRX_CONNECTED_AWAITING_ACCEPTANCE, QVRX_ConnectDevice(DeviceID(2), Calls::Callback, &calls));
    ASSERT_TRUE(calls.WaitFor(1));
    EXPECT_EQ((std::vector<Entry>{{-2, 1}}), calls.Get()[0]);
    EXPECT_EQ(0, QVRX_IsDeviceConnected(DeviceID(2), true, 500));

    KT::Variant value(42);
    EXPECT_EQ(QVRX_RESULT_FAILED, QVRX_GetParamValue(DeviceID(2), KT::ParamDescriptor(7), value))
        << "the device holds no parameter 7 yet";
    EXPECT_EQ(0, QVRX_SetParamValue(DeviceID(2), KT::ParamDescriptor(7), KT::Variant(11)));
    EXPECT_EQ(0, QVRX_GetParamValue(DeviceID(2), KT::ParamDescriptor(7), value));
    EXPECT_EQ(11, value.GetInt32());
    KT::ParamValues values;
    EXPECT_EQ(0, QVRX_GetParamValues(DeviceID(2), KT::ParamDescriptors(), values));
    EXPECT_EQ(1, values.GetCount());

    // An asynchronous request is answered by a notification.
    EXPECT_EQ(0, QVRX_RequestParamValues(DeviceID(2), KT::ParamDescriptors()));
    ASSERT_TRUE(calls.WaitFor(2));
    EXPECT_EQ((std::vector<Entry>{{7, 11}}), calls.Get()[1]);
    for (const KT::Variant& id : calls.IDs())
    {
        EXPECT_TRUE(id == DeviceID(2));
    }

    EXPECT_EQ(0, QVRX_DisconnectDevice(DeviceID(2)));
    EXPECT_EQ(QVRX_RESULT_NOT_CONNECTED, QVRX_IsDeviceConnected(DeviceID(2), true, 500));
    EXPECT_TRUE(WaitForLine(mLog, "DCnt helper-2 "));
    const std::vector<std::string> log = Lines(mLog);
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ("GtDL", log[0]);
    EXPECT_EQ(0u, log[1].rfind("GtDI ", 0));
    EXPECT_EQ("GtCI", log[2]);
    EXPECT_EQ(QVRX_RESULT_NOT_CONNECTED, QVRX_DisconnectDevice(DeviceID(2)));
}

TEST_F(HostAttachedDevice, AHostThatExitsWhileConnectedDisconnects)
{
    SetHelper({DeviceArgument(3, "helper-3", false)});
    PlatformTesting::ChildProcess host(VELQUIN_CONNECTED_HOST, {});
    ASSERT_TRUE(host.IsRunning());
    std::string line;
    ASSERT_TRUE(host.ReadLine(line));
    EXPECT_EQ("connected 0", line);
    EXPECT_EQ(0, host.Wait());
    EXPECT_TRUE(WaitForLine(mLog, "DCnt helper-3 "));
    EXPECT_TRUE(WaitForLine(mLog, "Cnct helper-3 "));
}

} // namespace
