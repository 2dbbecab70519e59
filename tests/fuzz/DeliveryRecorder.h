// What a connection delivers to a registration, recorded for the fuzz targets
// of the connection's receivers: every message with its channel, sequence ID,
// count and payload, and every connection error, in the order the callbacks
// came. The callbacks run on the connection's delivery threads; the target's
// thread waits for what it expects under the recorder's lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "fuzz/FramedStream.h"
#include "fuzz/FuzzCheck.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnection.h"

namespace FuzzFraming
{

struct Delivery
{
    bool isError = false;
    std::uint32_t channel = 0;
    std::int32_t sequenceID = 0;
    std::int32_t count = 0;
    Bytes payload;

    bool operator==(const Delivery&) const = default;
};

class LDeliveryRecorder : public LNetworkConnectionCallbackInterface
{
public:
    void ReceivedMessageCallback(const KT::RCPtr<LNetworkConnection>&,
                                 const KT::ConstRCPtr<KT::LIBuffer>& payload, std::uint32_t channel,
                                 std::int32_t sequenceID, std::int32_t count) override
    {
        Delivery delivery;
        delivery.channel = channel;
        delivery.sequenceID = sequenceID;
        delivery.count = count;
        KT::IBuffer& bytes = const_cast<KT::LIBuffer&>(*payload);
        const auto* data = static_cast<const unsigned char*>(bytes.GetRawPtr());
        delivery.payload.assign(data, data + bytes.GetSizeBytes());
        Record(std::move(delivery));
    }
    void ConnectionErrorCallback(const KT::RCPtr<LNetworkConnection>&, NetworkError) override
    {
        Delivery delivery;
        delivery.isError = true;
        Record(std::move(delivery));
    }

    // Waits up to bound until done(deliveries) holds, then gives what was
    // delivered so far, forgetting it when forget is set. False when the
    // bound passed first.
    template <class Done>
    bool WaitUntil(std::chrono::milliseconds bound, Done done, std::vector<Delivery>& out, bool forget)
    {
        std::unique_lock<std::mutex> guard(mLock);
        const bool reached = mChanged.wait_for(guard, bound, [&] { return done(mDeliveries); });
        out = mDeliveries;
        if (forget)
        {
            mDeliveries.clear();
        }
        return reached;
    }

private:
    void Record(Delivery delivery)
    {
        FUZZ_CHECK(delivery.isError || delivery.channel < NetworkWireFormat::kChannelCount);
        std::lock_guard<std::mutex> guard(mLock);
        mDeliveries.push_back(std::move(delivery));
        mChanged.notify_all();
    }

    std::mutex mLock;
    std::condition_variable mChanged;
    std::vector<Delivery> mDeliveries;
};

} // namespace FuzzFraming
