// What the attached-device tests share: attached devices of the test helper,
// a host callback that records what reaches it, an observer of the test's own
// that shows when a notification has been delivered, and a bound on waits that
// would otherwise hang a test that deadlocks.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "KTFramework/Utilities/Storage/ParamValues.h"
#include "Platform/DistributedNotificationCenter.h"
#include "Platform/PropertyList.h"
#include "support/AttachedDeviceIds.h"
#include "support/FakeHelper.h"

namespace DeviceLocalTesting
{

using AttachedDeviceIds::DeviceID;
using AttachedDeviceIds::Words;

inline HelperTesting::FakeDevice Device(int seed, bool acceptAtOnce = true)
{
    HelperTesting::FakeDevice device;
    device.IdWords = Words(seed);
    device.Name = "device " + std::to_string(seed);
    device.HelperId = "helper-" + std::to_string(seed);
    device.AcceptAtOnce = acceptAtOnce;
    device.Values[7] = HelperTesting::Records::Int32(5);
    device.Values[8] = HelperTesting::Records::Int32(6);
    return device;
}

// One entry as the host saw it: parameter ID and the value read as Int32.
using Entry = std::pair<std::int32_t, std::int32_t>;
using Call = std::vector<Entry>;

inline Call EntriesOf(const KT::ParamValues& values)
{
    Call entries;
    for (int i = 0; i < values.GetCount(); ++i)
    {
        KT::Variant value;
        unsigned int id = 0;
        KT::Variant descriptor;
        EXPECT_EQ(0, values.GetValue(static_cast<unsigned int>(i), value, id, descriptor));
        entries.emplace_back(static_cast<std::int32_t>(id), value.GetInt32());
    }
    return entries;
}

// The host's callback: records every call; a test may add an action that runs
// inside the callback, on the delivery thread.
class Recorder
{
public:
    static void Callback(void* context, const KT::Variant& deviceID, const KT::ParamValues& values)
    {
        auto* recorder = static_cast<Recorder*>(context);
        std::function<void(const KT::Variant&, const Call&)> action;
        const Call call = EntriesOf(values);
        {
            std::lock_guard<std::mutex> guard(recorder->mLock);
            recorder->mCalls.push_back(call);
            recorder->mDeviceIDs.push_back(deviceID);
            action = recorder->mAction;
        }
        recorder->mChanged.notify_all();
        if (action)
        {
            action(deviceID, call);
        }
    }

    void SetAction(std::function<void(const KT::Variant&, const Call&)> action)
    {
        std::lock_guard<std::mutex> guard(mLock);
        mAction = std::move(action);
    }

    std::vector<Call> Calls()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mCalls;
    }

    std::vector<KT::Variant> DeviceIDs()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mDeviceIDs;
    }

    bool WaitForCalls(std::size_t count, int timeoutMs = 10000)
    {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                 [&] { return mCalls.size() >= count; });
    }

private:
    std::mutex mLock;
    std::condition_variable mChanged;
    std::vector<Call> mCalls;
    std::vector<KT::Variant> mDeviceIDs;
    std::function<void(const KT::Variant&, const Call&)> mAction;
};

// An observer of the test's own for one notification name. Notifications are
// delivered in arrival order, each to its observers in registration order, so
// once this one has seen a notification, observers registered before it have
// had theirs.
class Sentinel
{
public:
    explicit Sentinel(const std::string& name)
    {
        mRegistration = KT::Platform::DistributedNotificationCenter::Get().AddObserver(
            name,
            [](void* context, const std::string&, const KT::Platform::PlistNode&)
            {
                auto* self = static_cast<Sentinel*>(context);
                {
                    std::lock_guard<std::mutex> guard(self->mLock);
                    ++self->mSeen;
                }
                self->mChanged.notify_all();
            },
            this);
        EXPECT_NE(0u, mRegistration);
    }
    ~Sentinel() { KT::Platform::DistributedNotificationCenter::Get().RemoveObserver(mRegistration); }
    Sentinel(const Sentinel&) = delete;
    Sentinel& operator=(const Sentinel&) = delete;

    std::size_t Seen()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mSeen;
    }

    bool WaitForSeen(std::size_t count, int timeoutMs = 10000)
    {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return mSeen >= count; });
    }

private:
    KT::Platform::ObserverRegistration mRegistration = 0;
    std::mutex mLock;
    std::condition_variable mChanged;
    std::size_t mSeen = 0;
};

// Runs work on a thread of its own and waits for it; a test whose work does
// not end within timeoutMs has deadlocked, and the process ends at once with a
// message rather than hanging until the test run's time limit.
inline void RunBounded(const char* what, std::function<void()> work, int timeoutMs = 20000)
{
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    std::thread thread(
        [&]
        {
            work();
            {
                std::lock_guard<std::mutex> guard(lock);
                done = true;
            }
            ended.notify_all();
        });
    std::unique_lock<std::mutex> guard(lock);
    if (!ended.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return done; }))
    {
        std::fprintf(stderr, "%s did not end within %d ms: deadlock\n", what, timeoutMs);
        std::abort();
    }
    guard.unlock();
    thread.join();
}

// The requests of a helper's log with the given code.
inline std::vector<HelperTesting::LoggedRequest>
RequestsOf(const std::vector<HelperTesting::LoggedRequest>& log, const std::string& code)
{
    std::vector<HelperTesting::LoggedRequest> found;
    for (const HelperTesting::LoggedRequest& request : log)
    {
        if (request.Code == code)
        {
            found.push_back(request);
        }
    }
    return found;
}

// Waits until the helper has logged count requests with the given code: a
// one-way request is logged after its sender has moved on.
inline bool WaitForCode(HelperTesting::FakeHelper& helper, const std::string& code, std::size_t count,
                        int timeoutMs = 10000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;)
    {
        const std::vector<HelperTesting::LoggedRequest> log = helper.Requests();
        if (RequestsOf(log, code).size() >= count)
        {
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !helper.WaitForRequests(log.size() + 1, static_cast<int>(left.count())))
        {
            return false;
        }
    }
}

// The device message under "ParameterDataKey" of a request dictionary.
inline std::vector<unsigned char> ParameterData(const std::optional<std::vector<unsigned char>>& request)
{
    std::vector<unsigned char> bytes;
    if (request)
    {
        const KT::Platform::Plist dictionary = KT::Platform::Plist::FromBytes(*request);
        EXPECT_TRUE(dictionary.GetRoot().GetDictionaryItem("ParameterDataKey").GetData(bytes));
    }
    return bytes;
}

} // namespace DeviceLocalTesting
