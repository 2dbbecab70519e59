// A get answered while its network device floods the host and the connection
// holds back at its bound on undelivered notifications, through the exported
// functions alone, whoever asks: the host's own thread, the flooding device's
// callback, or a callback of another device that holds a host lock the
// flooding device's callback waits for. The reply comes behind tens of
// thousands of notifications; none of them may be lost, and the device stays
// connected.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
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
#include "velquin/Common/CrossPlatform/VelquinInterface.h"

namespace
{

constexpr unsigned int kGain = 1;     // an Int32 parameter, 10 at start
constexpr unsigned int kNotified = 5; // rises by one with each notification
constexpr unsigned int kAccessGranted = static_cast<unsigned int>(-2);
// More than the bound holds, and little enough that what it does not hold
// fits in the sockets' buffers, so that the device finishes writing. A
// sanitized build reads what lies before the reply many times slower; there
// the flood passes the bound by less, so that the reply still comes within
// the device's time-out.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELQUIN_FLOOD_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VELQUIN_FLOOD_SANITIZED 1
#endif
#endif
#ifdef VELQUIN_FLOOD_SANITIZED
constexpr long kFlood = 24000;
#else
constexpr long kFlood = 40000;
#endif
constexpr auto kWaitLimit = std::chrono::seconds(60);

// One simulated network device, connected, whose callback runs First once on
// the next notification after it is set and counts notifications, checking their order.
class FloodingDevice
{
public:
    explicit FloodingDevice(int index)
        : mPeer(VELQUIN_SIM_DEVICE,
                {"--address", "127.0.0.1", "--notify", "5:0", "--control", "--index", std::to_string(index)})
    {
    }

    void Connect()
    {
        ASSERT_NO_FATAL_FAILURE(HostTesting::FindSimulatedDevice(mPeer, mID));
        ASSERT_GE(QVRX_ConnectDevice(mID, &FloodingDevice::Callback, this), 0);
        std::unique_lock<std::mutex> guard(mLock);
        ASSERT_TRUE(mChanged.wait_for(guard, kWaitLimit, [&] { return mAccepted; }));
    }

    // Has the device send count notifications; true once it has written them.
    bool Flood(long count)
    {
        std::string answer;
        return mPeer.WriteLine("burst " + std::to_string(count)) && mPeer.ReadLine(answer, 60000) &&
               answer == "ok";
    }

    // A get of the device's gain; true when it was answered with its value.
    bool Get()
    {
        KT::Variant value;
        return QVRX_GetParamValue(mID, KT::ParamDescriptor(kGain), value) >= 0 && value.GetInt32() == 10;
    }

    // Waits until count notifications have come; true when they came in order.
    bool WaitForInOrder(long count)
    {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, kWaitLimit, [&] { return mCount >= count; }) && mInOrder;
    }

    void Stop()
    {
        EXPECT_EQ(0, QVRX_IsDeviceConnected(mID, false, 0));
        EXPECT_EQ(0, QVRX_DisconnectDevice(mID));
        mPeer.CloseInput();
        EXPECT_EQ(0, mPeer.Wait());
    }

    // What the callback runs once, on the next notification of the rising
    // parameter.
    void SetFirst(std::function<void()> first)
    {
        std::lock_guard<std::mutex> guard(mLock);
        mFirst = std::move(first);
    }

private:
    static void Callback(void* context, const KT::Variant&, const KT::ParamValues& values)
    {
        auto* self = static_cast<FloodingDevice*>(context);
        HostTesting::ForEachValue(values,
                                  [self](unsigned int id, const KT::Variant& value)
                                  {
                                      std::function<void()> first;
                                      {
                                          std::lock_guard<std::mutex> guard(self->mLock);
                                          self->mAccepted = self->mAccepted || id == kAccessGranted;
                                          if (id == kNotified)
                                          {
                                              self->mInOrder =
                                                  self->mInOrder &&
                                                  (self->mCount == 0 || value.GetInt32() == self->mLast + 1);
                                              self->mLast = value.GetInt32();
                                              ++self->mCount;
                                              first.swap(self->mFirst);
                                          }
                                          self->mChanged.notify_all();
                                      }
                                      if (first)
                                      {
                                          first();
                                      }
                                  });
    }

    PlatformTesting::ChildProcess mPeer;
    KT::Variant mID;
    std::function<void()> mFirst;
    std::mutex mLock;
    std::condition_variable mChanged;
    bool mAccepted = false;
    long mCount = 0;
    std::int32_t mLast = 0;
    bool mInOrder = true;
};

TEST(HostFlood, AGetIsAnsweredWhileItsDeviceFloodsAHeldBackHostWhoeverAsks)
{
    enum Asker
    {
        kTheHostsThread,
        kItsOwnCallback,
        kACallbackOfAnotherDeviceHoldingAHostLock,
    };
    const struct
    {
        const char* name;
        Asker asker;
    } cases[] = {
        {"the host's thread", kTheHostsThread},
        {"the flooding device's own callback", kItsOwnCallback},
        {"another device's callback holding a lock the flood's callback waits for",
         kACallbackOfAnotherDeviceHoldingAHostLock},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        FloodingDevice flooding(1);
        FloodingDevice other(2);
        ASSERT_NO_FATAL_FAILURE(flooding.Connect());
        ASSERT_NO_FATAL_FAILURE(other.Connect());
        // The flood is written (and the host held back at its bound) before
        // anyone asks; until then the flood's first callback waits.
        TestSupport::Latch written;
        TestSupport::Latch asked;
        TestSupport::Latch otherHolds;
        std::mutex hostLock;
        bool answered = false;
        const auto ask = [&]
        {
            EXPECT_TRUE(written.Wait(kWaitLimit));
            answered = flooding.Get();
            asked.Open();
        };
        if (c.asker == kTheHostsThread)
        {
            flooding.SetFirst([&] { EXPECT_TRUE(asked.Wait(kWaitLimit)); });
        }
        else if (c.asker == kItsOwnCallback)
        {
            flooding.SetFirst(ask);
        }
        else
        {
            other.SetFirst(
                [&]
                {
                    std::lock_guard<std::mutex> guard(hostLock);
                    otherHolds.Open();
                    ask();
                });
            flooding.SetFirst([&] { std::lock_guard<std::mutex> guard(hostLock); });
            ASSERT_TRUE(other.Flood(1));
            ASSERT_TRUE(otherHolds.Wait(kWaitLimit));
        }
        ASSERT_TRUE(flooding.Flood(kFlood));
        written.Open();
        if (c.asker == kTheHostsThread)
        {
            ask();
        }
        ASSERT_TRUE(asked.Wait(kWaitLimit));
        EXPECT_TRUE(answered);
        EXPECT_TRUE(flooding.WaitForInOrder(kFlood));
        flooding.Stop();
        other.Stop();
        EXPECT_EQ(0, QVRX_ReleaseAll());
    }
}

} // namespace
