// Helpers of the connection tests: a callback interface that records what it is
// given, a connection linked to a raw TCP peer, and the library's accepting
// side on a free port. Every wait is bounded.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "support/RawTcpPeer.h"
#include "support/TestPorts.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnection.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnectionManager.h"

namespace ConnectionTest
{

using RawPeer::Bytes;
using RawPeer::Eventually;
using RawPeer::kBound;

constexpr std::uint32_t kLoopback = 0x7F000001;

// One call of the callback interface.
struct Delivery
{
    bool isError = false;
    NetworkError error = NETWORK_NO_ERROR;
    std::uint32_t channel = 0;
    std::int32_t sequenceID = 0;
    std::int32_t count = 0;
    Bytes payload;
    KT::ConstRCPtr<KT::LIBuffer> buffer;
    std::thread::id thread;
};

inline Bytes BytesOf(const KT::ConstRCPtr<KT::LIBuffer>& buffer)
{
    if (!buffer)
    {
        return Bytes();
    }
    KT::IBuffer& bytes = const_cast<KT::LIBuffer&>(*buffer);
    const auto* data = static_cast<const std::uint8_t*>(bytes.GetRawPtr());
    return Bytes(data, data + bytes.GetSizeBytes());
}

inline KT::RCPtr<KT::LIBuffer> BufferOf(const Bytes& bytes)
{
    KT::RCPtr<KT::LIBuffer> buffer = KT::LBufferT<16, 0>::Create(bytes.size(), 0, true);
    if (!bytes.empty())
    {
        std::memcpy(buffer->GetRawPtr(), bytes.data(), bytes.size());
    }
    return buffer;
}

// Records every call; a hook, when set, runs inside the callback after the
// call is recorded. Counts the calls that overlap, which must never happen on
// one registration.
class LRecordingCallback : public LNetworkConnectionCallbackInterface
{
public:
    using Hook = std::function<void(LRecordingCallback& self, const KT::RCPtr<LNetworkConnection>& connection,
                                    const Delivery& delivery)>;

    static KT::RCPtr<LRecordingCallback> Create()
    {
        return KT::RCPtr<LRecordingCallback>(new LRecordingCallback);
    }

    void ReceivedMessageCallback(const KT::RCPtr<LNetworkConnection>& connection,
                                 const KT::ConstRCPtr<KT::LIBuffer>& payload, std::uint32_t channel,
                                 std::int32_t sequenceID, std::int32_t count) override
    {
        Delivery delivery;
        delivery.channel = channel;
        delivery.sequenceID = sequenceID;
        delivery.count = count;
        delivery.payload = BytesOf(payload);
        delivery.buffer = payload;
        Record(connection, std::move(delivery));
    }

    void ConnectionErrorCallback(const KT::RCPtr<LNetworkConnection>& connection, NetworkError error) override
    {
        Delivery delivery;
        delivery.isError = true;
        delivery.error = error;
        Record(connection, std::move(delivery));
    }

    void SetHook(Hook hook)
    {
        std::lock_guard<std::mutex> guard(mLock);
        mHook = std::move(hook);
    }

    std::vector<Delivery> Deliveries()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mDeliveries;
    }
    // True once count calls have returned.
    bool WaitFor(std::size_t count, std::chrono::milliseconds bound = kBound)
    {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, bound, [&] { return mFinished >= count; });
    }
    int Overlaps() const { return mOverlaps.load(); }

private:
    void Record(const KT::RCPtr<LNetworkConnection>& connection, Delivery delivery)
    {
        if (mInside.fetch_add(1) != 0)
        {
            mOverlaps.fetch_add(1);
        }
        delivery.thread = std::this_thread::get_id();
        Hook hook;
        {
            std::lock_guard<std::mutex> guard(mLock);
            mDeliveries.push_back(delivery);
            hook = mHook;
        }
        if (hook)
        {
            hook(*this, connection, delivery);
        }
        mInside.fetch_sub(1);
        // Counted once the call is over, so that a test that waited for it may
        // remove the registration without meeting the call still running.
        std::lock_guard<std::mutex> guard(mLock);
        ++mFinished;
        mChanged.notify_all();
    }

    std::mutex mLock;
    std::condition_variable mChanged;
    std::vector<Delivery> mDeliveries;
    std::size_t mFinished = 0;
    Hook mHook;
    std::atomic<int> mInside{0};
    std::atomic<int> mOverlaps{0};
};

// A connection of the given type to a raw peer that has accepted it and read
// its hello.
struct Linked
{
    explicit Linked(LNetworkConnection::ConnectionType type = LNetworkConnection::CONNECTION_CONTROL_SOCKET,
                    const RawPeer::RawTcpPeer::Options& options = RawPeer::RawTcpPeer::Options())
        : peer(options)
    {
        connection = LNetworkConnection::Create(kLoopback, peer.Port(), type);
        accepted = connection.GetRaw() != nullptr && peer.Accept() && peer.WaitForHello();
    }

    RawPeer::RawTcpPeer peer;
    KT::RCPtr<LNetworkConnection> connection;
    bool accepted = false;
};

// A connection manager on a free loopback port, keeping the connections it
// accepts until Next takes them.
struct Manager
{
    Manager()
    {
        port = TestPorts::BindOnFreePort(
            [&](unsigned short candidate)
            {
                manager = LNetworkConnectionManager::Create(
                    KT::RCPtr<LNetworkConnectionReceivedCallbackInterface>(accepted.Get()), kLoopback,
                    candidate, false);
                return manager.GetRaw() != nullptr;
            });
    }

    class LAccepted : public LNetworkConnectionReceivedCallbackInterface
    {
    public:
        void ReceivedConnectionCallback(const KT::RCPtr<LNetworkConnection>& connection) override
        {
            std::lock_guard<std::mutex> guard(mLock);
            mConnections.push_back(connection);
        }
        KT::RCPtr<LNetworkConnection> Next()
        {
            KT::RCPtr<LNetworkConnection> connection;
            Eventually(
                [&]
                {
                    std::lock_guard<std::mutex> guard(mLock);
                    if (mConnections.empty())
                    {
                        return false;
                    }
                    connection = mConnections.front();
                    mConnections.erase(mConnections.begin());
                    return true;
                });
            return connection;
        }

    private:
        std::mutex mLock;
        std::vector<KT::RCPtr<LNetworkConnection>> mConnections;
    };

    KT::RCPtr<LAccepted> accepted{new LAccepted};
    KT::RCPtr<LNetworkConnectionManager> manager;
    unsigned short port = 0;
};

} // namespace ConnectionTest
