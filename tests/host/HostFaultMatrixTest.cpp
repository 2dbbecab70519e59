// Faults of both device kinds as a host meets them, through the exported
// functions alone: a simulated network device (velquin_sim_device) and the
// test device helper with one attached device (velquin_fake_helper), each a
// process of its own that the test drives through its --control commands.
// Every row hits one device and ends with the library still serving the other
// and, after QVRX_ReleaseAll, with no thread or descriptor more than before
// the row (ASan's leak check covers memory). The helper serves in the
// runtime directory that HostAttachedDeviceTest.cpp's environment gives the
// process.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "KTFramework/Utilities/Storage/ParamDescriptor.h"
#include "KTFramework/Utilities/Storage/ParamValues.h"
#include "KTFramework/Utilities/Storage/Variant.h"
#include "support/ChildProcess.h"
#include "velquin/Common/CrossPlatform/VelquinInterface.h"

namespace
{

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr unsigned int kGain = 1;     // an Int32 parameter of both devices, 10 at start
constexpr unsigned int kNotified = 5; // the parameter both devices notify
constexpr unsigned int kAccessGranted = static_cast<unsigned int>(-2); // a device accepted the host
constexpr char kHelperPortName[] = "com.korvanelabs.device.{9E0C3419-93E1-4E92-B8E3-79141B049228}";
// It accepts the host after the handshake, through a notification: before
// that, the library holds its notifications back.
constexpr char kAttachedDevice[] =
    "67305985,27486,11377,-1376007458,0,0,9,8,7,6,0,1/Matrix unit/matrix-1/wait";

// Polls until done() holds or 20 s have passed; whether it holds.
bool PollUntil(const std::function<bool()>& done)
{
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!done())
    {
        if (Clock::now() > deadline)
        {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::size_t CountEntries(const char* directory)
{
    std::size_t count = 0;
    if (DIR* listing = ::opendir(directory))
    {
        while (const dirent* entry = ::readdir(listing))
        {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(listing);
    }
    return count;
}

// The entries of directory once their count has stayed the same for 200 ms:
// threads and descriptors that a release ends may take a moment to go.
std::size_t Settled(const char* directory)
{
    std::size_t count = CountEntries(directory);
    auto since = Clock::now();
    const auto deadline = since + std::chrono::seconds(20);
    while (Clock::now() - since < std::chrono::milliseconds(200) && Clock::now() < deadline)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const std::size_t now = CountEntries(directory);
        if (now != count)
        {
            count = now;
            since = Clock::now();
        }
    }
    return count;
}

enum class Kind
{
    kNetwork,
    kAttached
};

// What the host's callback does once, on the first notification of the
// notified parameter after it is armed.
enum class Inside
{
    kNothing,
    kGet,
    kDisconnect,
    kReleaseAll
};

// One device as the host sees it: its peer process, its ID and what its
// callback received.
class Device
{
public:
    explicit Device(Kind kind) : mKind(kind) {}

    // Starts the peer; port 0 lets the kernel pick the network device's port.
    void Start(std::uint16_t port = 0)
    {
        if (mKind == Kind::kNetwork)
        {
            mPeer = std::make_unique<PlatformTesting::ChildProcess>(
                VELQUIN_SIM_DEVICE, std::vector<std::string>{"--address", "127.0.0.1", "--notify", "5:0",
                                                             "--control", "--port", std::to_string(port)});
            std::string line;
            ASSERT_TRUE(mPeer->ReadLine(line));
            ASSERT_EQ(0u, line.rfind("listening on 127.0.0.1:", 0)) << line;
            mPort = static_cast<std::uint16_t>(std::stoul(line.substr(line.rfind(':') + 1)));
            return;
        }
        const std::string ports = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/velquin/ports/";
        mPeer = std::make_unique<PlatformTesting::ChildProcess>(
            VELQUIN_FAKE_HELPER,
            std::vector<std::string>{"--device", kAttachedDevice, "--value", "1=int:10",
                                     "--accept-after-handshake", "--control", "--idle-ms", "600000"});
        struct stat info
        {
        };
        ASSERT_TRUE(PollUntil([&] { return ::stat((ports + kHelperPortName).c_str(), &info) == 0; }));
    }

    // Ends the peer the way it ends on its own (at the end of its input) and
    // waits for it.
    void Stop()
    {
        if (mPeer)
        {
            mPeer->CloseInput();
            mPeer->Wait();
            mPeer.reset();
        }
    }

    void Command(const std::string& command)
    {
        std::string answer;
        ASSERT_TRUE(mPeer->WriteLine(command));
        ASSERT_TRUE(mPeer->ReadLine(answer));
        ASSERT_EQ("ok", answer) << command;
    }

    // Searches for the device and connects it.
    void Connect()
    {
        KT::Variant list;
        for (int attempt = 0; attempt < 2 && list.GetArrayLength() == 0; ++attempt)
        {
            // A first attached search may find the port of a helper that an
            // earlier test of this process stopped; the next finds this one.
            if (mKind == Kind::kNetwork)
            {
                ASSERT_GE(QVRX_FindRemoteDevices(nullptr, 0, list, false, &kLoopback, 1, 8, 1, mPort), 0);
            }
            else
            {
                ASSERT_EQ(0, QVRX_FindDevices(nullptr, 0, list));
            }
        }
        // Devices that other tests announce on loopback may be listed too.
        mID = KT::Variant();
        for (std::size_t i = 0; i < list.GetArrayLength() && mID.IsEmpty(); ++i)
        {
            KT::Variant listed;
            KT::DeviceInfo info{};
            if (list.GetArrayElement(i, listed) == 0 && QVRX_GetDeviceInfo(listed, &info, false) >= 0 &&
                (mKind == Kind::kAttached || (info.networkAddress == kLoopback && info.networkPort == mPort)))
            {
                mID = listed;
            }
        }
        ASSERT_FALSE(mID.IsEmpty()) << Name() << " not found among " << list.GetArrayLength();
        const int acceptances = Acceptances();
        const int connected = QVRX_ConnectDevice(mID, &Device::Callback, this);
        ASSERT_TRUE(connected == 0 || connected == QVRX_CONNECTED_AWAITING_ACCEPTANCE) << connected;
        // Notifications reach the host once the device has accepted it.
        std::unique_lock<std::mutex> guard(mLock);
        ASSERT_TRUE(
            mChanged.wait_for(guard, std::chrono::seconds(20), [&] { return mAcceptances > acceptances; }))
            << Name();
    }

    // From now on the callback calls in on every notification.
    void CallInOnEveryNotification() { mCallInOnEveryNotification = true; }

    // A connect with this device's callback, its result as the host gets it.
    int ConnectAgain() { return QVRX_ConnectDevice(mID, &Device::Callback, this); }

    int Get(KT::Variant& value) { return QVRX_GetParamValue(mID, KT::ParamDescriptor(kGain), value); }

    // A get that must succeed with the value last set.
    void ExpectServed()
    {
        KT::Variant value;
        EXPECT_GE(Get(value), 0) << Name();
        EXPECT_EQ(mGain, value.GetInt32()) << Name();
    }

    void ExpectSetAndGet(std::int32_t gain)
    {
        EXPECT_GE(QVRX_SetParamValue(mID, KT::ParamDescriptor(kGain), KT::Variant(gain)), 0) << Name();
        mGain = gain;
        ExpectServed();
    }

    // Arms the callback to do inside on its next notification, has the peer
    // send one and waits until the callback has done it.
    int NotifyAndWait(Inside inside)
    {
        {
            std::lock_guard<std::mutex> guard(mLock);
            mInside = inside;
            mInsideResult.reset();
        }
        Command("burst 1");
        std::unique_lock<std::mutex> guard(mLock);
        EXPECT_TRUE(
            mChanged.wait_for(guard, std::chrono::seconds(20), [&] { return mInsideResult.has_value(); }))
            << Name();
        return mInsideResult.value_or(-100);
    }

    int Acceptances()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mAcceptances;
    }

    const KT::Variant& ID() const { return mID; }
    std::uint16_t Port() const { return mPort; }
    const char* Name() const { return mKind == Kind::kNetwork ? "network device" : "attached device"; }
    bool IsConnected() { return QVRX_IsDeviceConnected(mID, false, 0) == 0; }

private:
    static void Callback(void* context, const KT::Variant&, const KT::ParamValues& values)
    {
        auto* self = static_cast<Device*>(context);
        bool notified = false;
        bool accepted = false;
        for (int i = 0; i < values.GetCount(); ++i)
        {
            KT::Variant value;
            KT::Variant descriptor;
            unsigned int id = 0;
            notified =
                notified || (values.GetValue(static_cast<unsigned int>(i), value, id, descriptor) == 0 &&
                             id == kNotified);
            accepted = accepted || id == kAccessGranted;
        }
        Inside inside;
        {
            std::lock_guard<std::mutex> guard(self->mLock);
            self->mAcceptances += accepted ? 1 : 0;
            inside = notified && !self->mInsideResult ? self->mInside : Inside::kNothing;
        }
        int result = 0;
        KT::Variant value;
        switch (inside)
        {
        case Inside::kNothing:
            if (notified && self->mCallInOnEveryNotification.load())
            {
                self->CallInTurn(value);
            }
            if (!notified)
            {
                self->mChanged.notify_all();
                return;
            }
            break;
        case Inside::kGet:
            result = self->Get(value) >= 0 && value.GetInt32() == self->mGain ? 0 : -100;
            break;
        case Inside::kDisconnect:
            result = QVRX_DisconnectDevice(self->mID);
            break;
        case Inside::kReleaseAll:
            result = QVRX_ReleaseAll();
            break;
        }
        {
            std::lock_guard<std::mutex> guard(self->mLock);
            self->mInsideResult = result;
        }
        self->mChanged.notify_all();
    }

    // A get, a get, a search, a disconnect of this device or a release of all,
    // in turn.
    void CallInTurn(KT::Variant& value)
    {
        KT::Variant list;
        switch (mCallsIn.fetch_add(1) % 5)
        {
        case 0:
        case 1:
            (void)Get(value);
            break;
        case 2:
            (void)QVRX_FindDevices(nullptr, 0, list);
            break;
        case 3:
            (void)QVRX_DisconnectDevice(mID);
            break;
        default:
            (void)QVRX_ReleaseAll();
            break;
        }
    }

    const Kind mKind;
    std::unique_ptr<PlatformTesting::ChildProcess> mPeer;
    std::uint16_t mPort = 0;
    KT::Variant mID;
    std::atomic<std::int32_t> mGain{10};
    std::atomic<bool> mCallInOnEveryNotification{false};
    std::atomic<int> mCallsIn{0};
    std::mutex mLock;
    std::condition_variable mChanged;
    Inside mInside = Inside::kNothing; // guarded by mLock
    std::optional<int> mInsideResult;  // guarded by mLock
    int mAcceptances = 0;              // guarded by mLock
};

// One row: the device it hits and what it does to it.
struct Row
{
    const char* name;
    Kind kind; // of the device the row hits
    void (*run)(Device& hit, Device& other);
};

class HostFaultMatrix : public ::testing::TestWithParam<Row>
{
protected:
    void SetUp() override
    {
        ASSERT_NE(nullptr, std::getenv("XDG_RUNTIME_DIR"));
        for (Device* device : {&mNetwork, &mAttached})
        {
            ASSERT_NO_FATAL_FAILURE(device->Start());
        }
        // One connect, get and release of both first, so that what the
        // library keeps for the process's life is counted in the baseline.
        ConnectBoth();
        QVRX_ReleaseAll();
        mThreads = Settled("/proc/self/task");
        mDescriptors = Settled("/proc/self/fd");
        ConnectBoth();
    }

    void TearDown() override
    {
        EXPECT_EQ(0, QVRX_ReleaseAll());
        EXPECT_TRUE(PollUntil([&] { return CountEntries("/proc/self/task") <= mThreads; }))
            << CountEntries("/proc/self/task") << " threads, " << mThreads << " before";
        EXPECT_TRUE(PollUntil([&] { return CountEntries("/proc/self/fd") <= mDescriptors; }))
            << CountEntries("/proc/self/fd") << " descriptors, " << mDescriptors << " before";
        mNetwork.Stop();
        mAttached.Stop();
    }

    void ConnectBoth()
    {
        for (Device* device : {&mNetwork, &mAttached})
        {
            ASSERT_NO_FATAL_FAILURE(device->Connect());
            device->ExpectServed();
        }
    }

    std::size_t mThreads = 0;     // of the process before the row
    std::size_t mDescriptors = 0; // ... and its open descriptors

    Device mNetwork{Kind::kNetwork};
    Device mAttached{Kind::kAttached};
};

TEST_P(HostFaultMatrix, LeavesTheOtherDeviceServedAndNothingBehind)
{
    Device& hit = GetParam().kind == Kind::kNetwork ? mNetwork : mAttached;
    Device& other = GetParam().kind == Kind::kNetwork ? mAttached : mNetwork;
    GetParam().run(hit, other);
    EXPECT_TRUE(other.IsConnected()) << other.Name();
    other.ExpectServed();
}

// A get that the fault makes fail; the other device answers meanwhile.
void GetFails(Device& hit, Device& other)
{
    KT::Variant value(7);
    std::atomic<bool> done{false};
    std::thread meanwhile(
        [&]
        {
            while (!done.load())
            {
                other.ExpectServed();
            }
        });
    EXPECT_LT(hit.Get(value), 0) << hit.Name();
    done = true;
    meanwhile.join();
}

// The fault is cleared, the device disconnected and connected again: it
// serves as before.
void Recovers(Device& hit)
{
    hit.Command("fault none");
    QVRX_DisconnectDevice(hit.ID());
    ASSERT_NO_FATAL_FAILURE(hit.Connect());
    hit.ExpectSetAndGet(12);
}

// A fault of the peer that makes the next get fail and that the peer then
// drops; the device is connected again and serves as before.
template <const char* kFault>
void FailsThenRecovers(Device& hit, Device& other)
{
    hit.Command(kFault);
    GetFails(hit, other);
    Recovers(hit);
}

// The host's callback calls into the library from inside.
template <Inside kInside>
void CallsInFromTheCallback(Device& hit, Device& other)
{
    EXPECT_EQ(0, hit.NotifyAndWait(kInside));
    if (kInside == Inside::kGet)
    {
        hit.ExpectSetAndGet(13);
        return;
    }
    if (kInside == Inside::kReleaseAll)
    {
        EXPECT_EQ(QVRX_RESULT_UNKNOWN_DEVICE, QVRX_IsDeviceConnected(other.ID(), false, 0));
        ASSERT_NO_FATAL_FAILURE(other.Connect());
    }
    else
    {
        EXPECT_EQ(QVRX_RESULT_NOT_CONNECTED, QVRX_IsDeviceConnected(hit.ID(), false, 0));
    }
    ASSERT_NO_FATAL_FAILURE(hit.Connect());
    hit.ExpectSetAndGet(13);
}

bool IsResult(int result)
{
    return result >= 0 || result == QVRX_RESULT_FAILED || result == QVRX_RESULT_UNKNOWN_DEVICE ||
           result == QVRX_RESULT_NOT_CONNECTED || result == QVRX_RESULT_ALREADY_CONNECTED ||
           result == QVRX_RESULT_CONNECTION_FAILED;
}

// Eight host threads search, get, set, disconnect, connect and release both
// devices at once, each for 400 calls or 3 s; then both are connected and serve.
void Storm(Device& network, Device& attached)
{
    Device* const devices[] = {&network, &attached};
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 8; ++thread)
    {
        threads.emplace_back(
            [&, thread]
            {
                for (int call = 0; call < 400 && Clock::now() < deadline; ++call)
                {
                    Device& device = *devices[(thread + call) % 2];
                    KT::Variant value;
                    int result = 0;
                    switch ((thread + call / 2) % 7)
                    {
                    case 0:
                        result = QVRX_FindDevices(nullptr, 0, value);
                        break;
                    case 1:
                        result = QVRX_FindRemoteDevices(nullptr, 0, value, false, &kLoopback, 1, 8, 1,
                                                        network.Port());
                        break;
                    case 2:
                        result = device.Get(value);
                        EXPECT_TRUE(result < 0 || value.GetType() == KT::Variant::TYPE_INT32)
                            << device.Name();
                        break;
                    case 3:
                        result =
                            QVRX_SetParamValue(device.ID(), KT::ParamDescriptor(kGain), KT::Variant(call));
                        break;
                    case 4:
                        result = QVRX_DisconnectDevice(device.ID());
                        break;
                    case 5:
                        result = device.ConnectAgain();
                        break;
                    default:
                        result = QVRX_ReleaseAll();
                        break;
                    }
                    EXPECT_TRUE(IsResult(result))
                        << result << " from call " << call << " on " << device.Name();
                }
            });
    }
    // Meanwhile both peers notify, and the callbacks call in on each
    // notification, disconnects and releases included.
    for (Device* device : devices)
    {
        device->CallInOnEveryNotification();
    }
    while (Clock::now() < deadline)
    {
        for (Device* device : devices)
        {
            device->Command("burst 4");
        }
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    for (Device* device : devices)
    {
        if (!device->IsConnected())
        {
            ASSERT_NO_FATAL_FAILURE(device->Connect());
        }
        device->ExpectSetAndGet(20);
    }
}

constexpr char kDieOnRequest[] = "die-on-request";
constexpr char kGarbage[] = "fault garbage";
constexpr char kTruncateClose[] = "fault truncate-close";
constexpr char kTruncateSilent[] = "fault truncate-silent";
constexpr char kWrongCookie[] = "fault wrong-cookie";
constexpr char kBadHeader[] = "fault bad-header";
constexpr char kHelperDies[] = "fault die";
constexpr char kHelperGarbage[] = "fault garbage";
constexpr char kHelperTruncated[] = "fault truncated";
constexpr char kHelperNull[] = "fault null";

const Row kRows[] = {
    {"NetworkPeerDiesMidRequest", Kind::kNetwork,
     [](Device& hit, Device& other)
     {
         hit.Command(kDieOnRequest);
         GetFails(hit, other);
         EXPECT_TRUE(PollUntil([&] { return QVRX_IsDeviceConnected(hit.ID(), true, 0) != 0; }));
     }},
    {"NetworkPeerSendsGarbageBeforeEveryFrame", Kind::kNetwork,
     [](Device& hit, Device&)
     {
         // The header search skips it: the device is served throughout.
         hit.Command(kGarbage);
         hit.ExpectSetAndGet(12);
         hit.Command("fault none");
         hit.ExpectSetAndGet(13);
     }},
    {"NetworkPeerTruncatesAHeaderAndCloses", Kind::kNetwork, FailsThenRecovers<kTruncateClose>},
    {"NetworkPeerTruncatesAHeaderAndFallsSilent", Kind::kNetwork, FailsThenRecovers<kTruncateSilent>},
    {"NetworkPeerAnswersAWrongCookie", Kind::kNetwork, FailsThenRecovers<kWrongCookie>},
    {"NetworkPeerAnswersABadHeader", Kind::kNetwork, FailsThenRecovers<kBadHeader>},
    {"NetworkPeerFallsSilentPastTheReplyLimit", Kind::kNetwork,
     [](Device& hit, Device& other)
     {
         // A get without a reply ends the connection: the host connects again.
         hit.Command("silent 1");
         GetFails(hit, other);
         EXPECT_EQ(QVRX_RESULT_NOT_CONNECTED, QVRX_IsDeviceConnected(hit.ID(), false, 0));
         hit.Command("silent 0");
         ASSERT_NO_FATAL_FAILURE(hit.Connect());
         hit.ExpectSetAndGet(12);
     }},
    {"NetworkPeerRestartsOnTheSamePort", Kind::kNetwork,
     [](Device& hit, Device& other)
     {
         const std::uint16_t port = hit.Port();
         hit.Stop();
         ASSERT_NO_FATAL_FAILURE(hit.Start(port));
         GetFails(hit, other);
         EXPECT_TRUE(PollUntil([&] { return QVRX_IsDeviceConnected(hit.ID(), true, 0) != 0; }));
         ASSERT_NO_FATAL_FAILURE(hit.Connect());
         hit.ExpectSetAndGet(12);
     }},
    {"NetworkCallbackGets", Kind::kNetwork, CallsInFromTheCallback<Inside::kGet>},
    {"NetworkCallbackDisconnects", Kind::kNetwork, CallsInFromTheCallback<Inside::kDisconnect>},
    {"NetworkCallbackReleasesAll", Kind::kNetwork, CallsInFromTheCallback<Inside::kReleaseAll>},

    {"AttachedHelperDiesMidRequest", Kind::kAttached,
     [](Device& hit, Device& other)
     {
         hit.Command(kHelperDies);
         GetFails(hit, other);
     }},
    {"AttachedHelperAnswersGarbage", Kind::kAttached, FailsThenRecovers<kHelperGarbage>},
    {"AttachedHelperTruncatesAHeader", Kind::kAttached, FailsThenRecovers<kHelperTruncated>},
    {"AttachedHelperAnswersNull", Kind::kAttached, FailsThenRecovers<kHelperNull>},
    {"AttachedHelperFallsSilentPastTheReplyLimit", Kind::kAttached,
     [](Device& hit, Device& other)
     {
         hit.Command("fault slow:6000");
         GetFails(hit, other);
         hit.Command("fault none");
         hit.ExpectSetAndGet(12);
     }},
    {"AttachedHelperRestarts", Kind::kAttached,
     [](Device& hit, Device&)
     {
         // Every request finds the helper's port afresh: the device is served
         // by the new helper at once, and connects again through it.
         hit.Stop();
         ASSERT_NO_FATAL_FAILURE(hit.Start());
         hit.ExpectServed();
         EXPECT_EQ(0, QVRX_DisconnectDevice(hit.ID()));
         ASSERT_NO_FATAL_FAILURE(hit.Connect());
         hit.ExpectSetAndGet(12);
     }},
    {"AttachedCallbackGets", Kind::kAttached, CallsInFromTheCallback<Inside::kGet>},
    {"AttachedCallbackDisconnects", Kind::kAttached, CallsInFromTheCallback<Inside::kDisconnect>},
    {"AttachedCallbackReleasesAll", Kind::kAttached, CallsInFromTheCallback<Inside::kReleaseAll>},

    {"EightHostThreadsOnBothDevices", Kind::kNetwork, Storm},
};

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}

INSTANTIATE_TEST_SUITE_P(Rows, HostFaultMatrix, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.name; });

} // namespace
