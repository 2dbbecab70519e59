// Attached devices behind the exported functions: a manager with the library's
// own sources against the test device helper in this process. The local
// search, connects of unlisted devices, a helper that restarts, and hosts
// whose callbacks call back in while other threads disconnect, reconnect and
// connect at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Command.h"
#include "support/FakeHelper.h"
#include "support/FakeMessagePorts.h"
#include "support/ScopedRuntimeDirectory.h"
#include "velquin/Common/CrossPlatform/DeviceManager.h"
#include "velquin/Common/CrossPlatform/SystemDeviceSources.h"
#include "velquin/Common/CrossPlatform/VelquinInterface.h"
#include "velquin/Common/DeviceLocalTesting.h"
#include "velquin/Common/MacLocalConnector.h"

using namespace DeviceLocalTesting;
using namespace HelperTesting;
using PlatformTesting::FakeCommandRunner;
using PlatformTesting::ScopedRuntimeDirectory;

namespace
{

constexpr std::int64_t kToken = 0x1122334455667788;

std::vector<KT::Variant> Elements(const KT::Variant& list)
{
    std::vector<KT::Variant> elements(list.GetArrayLength());
    for (std::size_t i = 0; i < elements.size(); ++i)
    {
        EXPECT_EQ(0, list.GetArrayElement(i, elements[i]));
    }
    return elements;
}

std::vector<KT::Variant> IDs(std::initializer_list<int> seeds)
{
    std::vector<KT::Variant> ids;
    for (int seed : seeds)
    {
        ids.push_back(DeviceID(seed));
    }
    return ids;
}

// The library's own manager and sources, put in the process-wide place for the
// test; a helper in this process and no launchctl.
class AttachedDevicesTest : public ::testing::Test
{
protected:
    AttachedDevicesTest()
    {
        LMacLocalConnector::Release();
        mCommands.SetStatus(KT::Platform::kCommandNotFound);
        EXPECT_TRUE(mHelper.Start());
        mPrevious = LDeviceManager::ExchangeTheDeviceManager(mManager);
    }

    ~AttachedDevicesTest() override
    {
        LDeviceManager::ExchangeTheDeviceManager(mPrevious);
        mManager->ReleaseAll();
        LMacLocalConnector::Release();
    }

    std::vector<KT::Variant> Find()
    {
        KT::Variant list;
        EXPECT_EQ(0, QVRX_FindDevices(nullptr, 0, list));
        return Elements(list);
    }

    // Connects the device and has it accept; the recorder holds the -2 entry.
    void ConnectAccepted(int seed, std::size_t index)
    {
        const std::size_t before = mRecorder.Calls().size();
        ASSERT_EQ(0, QVRX_ConnectDevice(DeviceID(seed), &Recorder::Callback, &mRecorder));
        ASSERT_TRUE(mHelper.PostAcceptance(index, kToken, true, FakeHelper::AcceptanceForm::Array));
        ASSERT_TRUE(mRecorder.WaitForCalls(before + 1));
    }

    ScopedRuntimeDirectory mRuntime;
    FakeCommandRunner mCommands;
    FakeHelper mHelper{{Device(1), Device(2)}};
    Recorder mRecorder;
    KT::RCPtr<LDeviceManager> mManager = LDeviceManager::Create(LSystemDeviceSources::Create());
    KT::RCPtr<LDeviceManager> mPrevious;
};

TEST_F(AttachedDevicesTest, ASearchKeepsConnectedDevicesAndMakesTheOthersAfresh)
{
    ASSERT_EQ(IDs({1, 2}), Find());
    KT::DeviceInfo info;
    std::memset(&info, 0xAB, sizeof(info));
    EXPECT_EQ(0, QVRX_GetDeviceInfo(DeviceID(2), &info, false));
    EXPECT_STREQ("device 2", info.userDefinedName);
    EXPECT_FALSE(info.isRemote);
    const KT::RCPtr<LDeviceBase> one = mManager->GetDevice(DeviceID(1));
    const KT::RCPtr<LDeviceBase> two = mManager->GetDevice(DeviceID(2));
    ASSERT_EQ(0, QVRX_ConnectDevice(DeviceID(1), &Recorder::Callback, &mRecorder));

    mHelper.SetDevices({Device(2), Device(3)});
    EXPECT_EQ(IDs({1, 2, 3}), Find()) << "the connected device stays though no longer listed";
    EXPECT_EQ(one.Get(), mManager->GetDevice(DeviceID(1)).Get());
    EXPECT_NE(two.Get(), mManager->GetDevice(DeviceID(2)).Get()) << "an unconnected device is made afresh";
    EXPECT_EQ(0, QVRX_IsDeviceConnected(DeviceID(1), true, 500));
    EXPECT_EQ(QVRX_RESULT_NOT_CONNECTED, QVRX_IsDeviceConnected(DeviceID(2), true, 500));

    mHelper.SetDevices({});
    EXPECT_EQ(IDs({1}), Find());
    EXPECT_EQ(0, QVRX_DisconnectDevice(DeviceID(1)));
    EXPECT_TRUE(Find().empty());
}

TEST_F(AttachedDevicesTest, ConnectingAnUnlistedAttachedDeviceSearchesThenConnects)
{
    ASSERT_EQ(0, QVRX_ConnectDevice(DeviceID(2), &Recorder::Callback, &mRecorder));
    std::vector<std::string> codes;
    for (const LoggedRequest& request : mHelper.Requests())
    {
        codes.push_back(request.Code);
    }
    EXPECT_EQ((std::vector<std::string>{"GtDL", "GtDI", "GtCI", "Cnct", "SPrM", "SPrM"}), codes);
    EXPECT_EQ(QVRX_RESULT_ALREADY_CONNECTED,
              QVRX_ConnectDevice(DeviceID(2), &Recorder::Callback, &mRecorder));
    EXPECT_EQ(codes.size(), mHelper.Requests().size());

    mHelper.ClearRequests();
    EXPECT_EQ(QVRX_RESULT_UNKNOWN_DEVICE, QVRX_ConnectDevice(DeviceID(9), &Recorder::Callback, &mRecorder));
    ASSERT_EQ(1u, mHelper.Requests().size());
    EXPECT_EQ("GtDL", mHelper.Requests()[0].Code);
}

TEST_F(AttachedDevicesTest, AfterAHelperRestartAGetFailsAndTheNewHelpersNamesServe)
{
    ASSERT_EQ(0, QVRX_ConnectDevice(DeviceID(1), &Recorder::Callback, &mRecorder));
    mHelper.SetFault(Fault::DieMidRequest);
    KT::Variant value(42);
    int result = 0;
    RunBounded("a get to a dying helper",
               [&] { result = QVRX_GetParamValue(DeviceID(1), KT::ParamDescriptor(7), value); });
    EXPECT_EQ(QVRX_RESULT_FAILED, result);
    EXPECT_EQ(42, value.GetInt32());

    mHelper.Stop();
    std::vector<FakeDevice> renamed{Device(1), Device(2)};
    renamed[0].HelperId = "helper-1-again";
    renamed[1].HelperId = "helper-2-again";
    mHelper.SetDevices(renamed);
    mHelper.ClearRequests();
    ASSERT_TRUE(mHelper.Start());

    EXPECT_EQ(0, QVRX_DisconnectDevice(DeviceID(1)));
    ASSERT_TRUE(WaitForCode(mHelper, "DCnt", 1));
    EXPECT_EQ("helper-1", mHelper.Requests()[0].DeviceId) << "the old connection is ended by its old name";
    EXPECT_EQ(IDs({1, 2}), Find());
    ASSERT_EQ(0, QVRX_ConnectDevice(DeviceID(1), &Recorder::Callback, &mRecorder));
    EXPECT_EQ(0, QVRX_GetParamValue(DeviceID(1), KT::ParamDescriptor(7), value));
    EXPECT_EQ(5, value.GetInt32());
    const std::vector<LoggedRequest> connects = RequestsOf(mHelper.Requests(), "Cnct");
    ASSERT_EQ(1u, connects.size());
    EXPECT_EQ("helper-1-again", connects[0].DeviceId);
}

// --- Threads

TEST_F(AttachedDevicesTest, TwoThreadsConnectingAtOnceConnectOnce)
{
    for (int round = 0; round < 10; ++round)
    {
        SCOPED_TRACE(round);
        const std::size_t connectsBefore = RequestsOf(mHelper.Requests(), "Cnct").size();
        std::atomic<int> ready{0};
        int results[2] = {0, 0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 2; ++i)
        {
            threads.emplace_back(
                [&, i]
                {
                    ready.fetch_add(1);
                    while (ready.load() < 2)
                    {
                        std::this_thread::yield();
                    }
                    results[i] = QVRX_ConnectDevice(DeviceID(1), &Recorder::Callback, &mRecorder);
                });
        }
        for (std::thread& thread : threads)
        {
            thread.join();
        }
        std::sort(std::begin(results), std::end(results));
        EXPECT_EQ(QVRX_RESULT_ALREADY_CONNECTED, results[0]);
        EXPECT_EQ(0, results[1]);
        EXPECT_EQ(connectsBefore + 1, RequestsOf(mHelper.Requests(), "Cnct").size());
        const std::size_t disconnects = RequestsOf(mHelper.Requests(), "DCnt").size();
        EXPECT_EQ(0, QVRX_DisconnectDevice(DeviceID(1)));
        ASSERT_TRUE(WaitForCode(mHelper, "DCnt", disconnects + 1));
    }
}

// One thread searches for attached devices again and again while another
// connects and disconnects one of them: no connect fails for it, and no
// search undoes one.
TEST_F(AttachedDevicesTest, ConnectsBesideSearchesNeitherFailNorAreUndone)
{
    ASSERT_EQ(IDs({1, 2}), Find());
    std::atomic<bool> done{false};
    std::thread searcher(
        [&]
        {
            while (!done.load())
            {
                KT::Variant list;
                EXPECT_EQ(0, QVRX_FindDevices(nullptr, 0, list));
            }
        });
    int failed = 0;
    int undone = 0;
    for (int round = 0; round < 200; ++round)
    {
        failed += QVRX_ConnectDevice(DeviceID(1), &Recorder::Callback, &mRecorder) != 0 ? 1 : 0;
        undone += QVRX_IsDeviceConnected(DeviceID(1), false, 0) != 0 ? 1 : 0;
        static_cast<void>(QVRX_DisconnectDevice(DeviceID(1)));
    }
    done.store(true);
    searcher.join();
    EXPECT_EQ(0, failed);
    EXPECT_EQ(0, undone);
}

TEST_F(AttachedDevicesTest, NotificationsWhileAnotherThreadDisconnectsAndReconnects)
{
    std::vector<FakeDevice> devices{Device(1), Device(2, false)};
    mHelper.SetDevices(devices);
    mHelper.SetAcceptAfterHandshake(true);
    ASSERT_EQ(QVRX_CONNECTED_AWAITING_ACCEPTANCE,
              QVRX_ConnectDevice(DeviceID(2), &Recorder::Callback, &mRecorder));

    std::thread poster(
        [&]
        {
            for (int i = 0; i < 1000; ++i)
            {
                EXPECT_TRUE(mHelper.PostValues(1, {{7, Records::Int32(i)}}));
            }
        });
    std::thread reconnector(
        [&]
        {
            for (int i = 0; i < 25; ++i)
            {
                EXPECT_EQ(0, QVRX_DisconnectDevice(DeviceID(2)));
                EXPECT_EQ(QVRX_CONNECTED_AWAITING_ACCEPTANCE,
                          QVRX_ConnectDevice(DeviceID(2), &Recorder::Callback, &mRecorder));
            }
        });
    poster.join();
    reconnector.join();
    EXPECT_EQ(0, QVRX_DisconnectDevice(DeviceID(2)));

    // Nothing reaches the host after the disconnect has returned.
    const std::size_t calls = mRecorder.Calls().size();
    Sentinel sentinel("helper-2");
    ASSERT_TRUE(mHelper.PostValues(1, {{7, Records::Int32(-1)}}));
    ASSERT_TRUE(sentinel.WaitForSeen(1));
    const std::vector<Call> seen = mRecorder.Calls();
    EXPECT_EQ(calls, seen.size());
    EXPECT_GE(seen.size(), 1u);
    for (const Call& call : seen)
    {
        ASSERT_EQ(1u, call.size());
        EXPECT_TRUE(call[0] == Entry(-2, 1) || call[0].first == 7);
    }
}

TEST_F(AttachedDevicesTest, ACallbackGetsFromItsDeviceWhileAnotherThreadDisconnectsIt)
{
    ConnectAccepted(1, 0);
    std::promise<void> entered;
    int getResult = 99;
    mRecorder.SetAction(
        [&](const KT::Variant& id, const Call& call)
        {
            if (call != Call{{7, 9}})
            {
                return;
            }
            entered.set_value();
            // The disconnect has sent 'DCnt' holding the device's lock; the
            // get waits for it.
            EXPECT_TRUE(WaitForCode(mHelper, "DCnt", 1));
            KT::Variant value;
            getResult = QVRX_GetParamValue(id, KT::ParamDescriptor(7), value);
        });
    ASSERT_TRUE(mHelper.PostValues(0, {{7, Records::Int32(9)}}));
    entered.get_future().wait();
    int disconnectResult = 99;
    RunBounded("a disconnect beside a callback that gets",
               [&] { disconnectResult = QVRX_DisconnectDevice(DeviceID(1)); });
    EXPECT_EQ(0, disconnectResult);
    EXPECT_EQ(QVRX_RESULT_NOT_CONNECTED, getResult) << "the callback had ended when the disconnect returned";
}

TEST_F(AttachedDevicesTest, ACallbackThatDisconnectsItsOwnDevice)
{
    ConnectAccepted(1, 0);
    std::promise<int> disconnected;
    mRecorder.SetAction(
        [&](const KT::Variant& id, const Call& call)
        {
            if (call == Call{{7, 9}})
            {
                disconnected.set_value(QVRX_DisconnectDevice(id));
            }
        });
    ASSERT_TRUE(mHelper.PostValues(0, {{7, Records::Int32(9)}}));
    std::future<int> result = disconnected.get_future();
    ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(20)));
    EXPECT_EQ(0, result.get());
    EXPECT_TRUE(WaitForCode(mHelper, "DCnt", 1));
    EXPECT_EQ(QVRX_RESULT_NOT_CONNECTED, QVRX_IsDeviceConnected(DeviceID(1), true, 500));

    Sentinel sentinel("helper-1");
    ASSERT_TRUE(mHelper.PostValues(0, {{7, Records::Int32(10)}}));
    ASSERT_TRUE(sentinel.WaitForSeen(1));
    EXPECT_EQ(2u, mRecorder.Calls().size());
}

TEST_F(AttachedDevicesTest, ACallbackThatReleasesEverything)
{
    ConnectAccepted(1, 0);
    ConnectAccepted(2, 1);
    std::promise<int> released;
    mRecorder.SetAction(
        [&](const KT::Variant&, const Call& call)
        {
            if (call == Call{{7, 9}})
            {
                // The devices, this one included, are released here, on the
                // delivery thread, while its delivery is still on the stack.
                released.set_value(QVRX_ReleaseAll());
            }
        });
    ASSERT_TRUE(mHelper.PostValues(0, {{7, Records::Int32(9)}}));
    std::future<int> result = released.get_future();
    ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(20)));
    EXPECT_EQ(0, result.get());
    EXPECT_TRUE(WaitForCode(mHelper, "DCnt", 2));
    EXPECT_EQ(QVRX_RESULT_UNKNOWN_DEVICE, QVRX_IsDeviceConnected(DeviceID(1), true, 500));
    EXPECT_EQ(QVRX_RESULT_UNKNOWN_DEVICE, QVRX_IsDeviceConnected(DeviceID(2), true, 500));

    Sentinel sentinel("helper-2");
    ASSERT_TRUE(mHelper.PostValues(1, {{7, Records::Int32(10)}}));
    ASSERT_TRUE(sentinel.WaitForSeen(1));
    EXPECT_EQ(3u, mRecorder.Calls().size());
}

} // namespace
