// What the delivery-order tests of both device kinds share: a scoped action at
// the steps of a device's deliveries (DeviceAcceptance's seam), and a latch
// that a step or a peer opens. Every wait is bounded.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "KTFramework/Utilities/Storage/ParamValues.h"
#include "support/Latch.h"
#include "velquin/Common/CrossPlatform/DeviceBase.h"

namespace DeliveryHookTesting
{

using Step = DeviceAcceptance::Step;

using Latch = TestSupport::Latch;

// Runs action at every step of every device's deliveries while in scope, on
// the thread that takes the step.
class ScopedDeliveryHook
{
public:
    using Action = std::function<void(Step step, const KT::ParamValues* values)>;

    explicit ScopedDeliveryHook(Action action)
    {
        {
            std::lock_guard<std::mutex> guard(Lock());
            Slot() = std::make_shared<Action>(std::move(action));
        }
        DeviceAcceptance::ExchangeHook(&Run);
    }
    ~ScopedDeliveryHook()
    {
        DeviceAcceptance::ExchangeHook(nullptr);
        std::lock_guard<std::mutex> guard(Lock());
        Slot().reset();
    }
    ScopedDeliveryHook(const ScopedDeliveryHook&) = delete;
    ScopedDeliveryHook& operator=(const ScopedDeliveryHook&) = delete;

private:
    static std::mutex& Lock()
    {
        static std::mutex lock;
        return lock;
    }
    static std::shared_ptr<Action>& Slot()
    {
        static std::shared_ptr<Action> slot;
        return slot;
    }
    static void Run(Step step, const KT::ParamValues* values)
    {
        std::shared_ptr<Action> action;
        {
            std::lock_guard<std::mutex> guard(Lock());
            action = Slot();
        }
        if (action)
        {
            (*action)(step, values);
        }
    }
};

// The value of the one entry of values when it is parameter paramID, else
// fallback.
inline std::int32_t ValueOf(const KT::ParamValues* values, std::int32_t paramID, std::int32_t fallback = -1)
{
    KT::Variant value;
    unsigned int id = 0;
    KT::Variant descriptor;
    if (values == nullptr || values->GetCount() != 1 || values->GetValue(0, value, id, descriptor) != 0 ||
        static_cast<std::int32_t>(id) != paramID)
    {
        return fallback;
    }
    return value.GetInt32();
}

} // namespace DeliveryHookTesting
