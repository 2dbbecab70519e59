// Reliable channels with the library on both ends of a dual-socket
// connection: a stream on channel 0 from a sender that registers nothing, from
// either end, and both ends streaming at each other into callbacks held back,
// then slower than the senders. The soak row
// (NetworkReliableSoak, labelled "soak") has both ends stream 20,000 messages
// at each other through 1 ms callbacks and reports the resident memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "ConnectionTestSupport.h"
#include "Platform/ByteOrder.h"
#include "support/Latch.h"
#include "support/ResidentMemory.h"
#include "velquin/Common/CrossPlatform/Network/NetworkTimeouts.h"

namespace
{

using ConnectionTest::Eventually;
using ConnectionTest::kBound;
using ConnectionTest::kLoopback;
using ConnectionTest::Manager;

// Message i of a stream: its number, then its low byte repeated.
KT::RCPtr<KT::LIBuffer> StreamMessage(std::uint32_t index, std::size_t size)
{
    KT::RCPtr<KT::LIBuffer> buffer = KT::LBufferT<16, 0>::Create(size, 0, false);
    auto* bytes = static_cast<unsigned char*>(buffer->GetRawPtr());
    std::memset(bytes, static_cast<int>(index & 0xFF), size);
    KT::WriteLE32(bytes, index);
    return buffer;
}

// Counts a stream of numbered messages of one size on its channel. A packet
// carries its newest message first and older ones behind it, some of which
// may have come before: every message must come once at least, in order, and
// whole. A hook, when set, runs before each packet is counted.
class LStreamCounter : public LNetworkConnectionCallbackInterface
{
public:
    explicit LStreamCounter(std::size_t messageBytes, std::function<void()> hook = {})
        : mMessageBytes(messageBytes), mHook(std::move(hook))
    {
    }

    void ReceivedMessageCallback(const KT::RCPtr<LNetworkConnection>&,
                                 const KT::ConstRCPtr<KT::LIBuffer>& payload, std::uint32_t, std::int32_t,
                                 std::int32_t count) override
    {
        if (mHook)
        {
            mHook();
        }
        KT::IBuffer& buffer = const_cast<KT::LIBuffer&>(*payload);
        const auto* bytes = static_cast<const unsigned char*>(buffer.GetRawPtr());
        const std::size_t size = buffer.GetSizeBytes();
        std::lock_guard<std::mutex> guard(mLock);
        if (count < 0 || size != (static_cast<std::size_t>(count) + 1) * mMessageBytes)
        {
            Note("a packet of " + std::to_string(size) + " bytes said " + std::to_string(count) + " older");
            return;
        }
        for (std::size_t at = size; at > 0;)
        {
            at -= mMessageBytes;
            const std::uint32_t index = KT::ReadLE32(bytes + at);
            const bool whole = std::all_of(bytes + at + 4, bytes + at + mMessageBytes,
                                           [&](unsigned char b) { return b == (index & 0xFF); });
            if (!whole)
            {
                Note("message " + std::to_string(index) + " is corrupt");
            }
            if (index < mNext)
            {
                continue; // sent again behind a newer one
            }
            if (index > mNext)
            {
                Note("expected " + std::to_string(mNext) + ", got " + std::to_string(index));
            }
            mNext = index + 1;
        }
        mChanged.notify_all();
    }
    void ConnectionErrorCallback(const KT::RCPtr<LNetworkConnection>&, NetworkError error) override
    {
        std::lock_guard<std::mutex> guard(mLock);
        Note("connection error " + std::to_string(error));
    }

    // True once count messages have come.
    bool WaitFor(std::uint32_t count, std::chrono::milliseconds bound = 6 * kBound)
    {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, bound, [&] { return mNext >= count; });
    }
    std::uint32_t Received()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mNext;
    }
    // Empty while every message came whole and in order, else what was wrong
    // first.
    std::string Fault()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mFault;
    }

private:
    void Note(const std::string& fault)
    {
        if (mFault.empty())
        {
            mFault = fault;
        }
    }

    const std::size_t mMessageBytes;
    const std::function<void()> mHook;
    std::mutex mLock;
    std::condition_variable mChanged;
    std::uint32_t mNext = 0;
    std::string mFault;
};

KT::RCPtr<LNetworkConnectionCallbackInterface> InterfaceOf(const KT::RCPtr<LStreamCounter>& counter)
{
    return KT::RCPtr<LNetworkConnectionCallbackInterface>(counter.Get());
}

// A dual-socket connection and the connection the manager accepted for it.
struct DualPair
{
    DualPair()
    {
        connecting =
            LNetworkConnection::Create(kLoopback, server.port, LNetworkConnection::CONNECTION_DUAL_SOCKETS);
        if (connecting.GetRaw() != nullptr)
        {
            accepted = server.accepted->Next();
        }
    }
    ~DualPair()
    {
        for (LNetworkConnection* connection : {connecting.GetRaw(), accepted.GetRaw()})
        {
            if (connection != nullptr)
            {
                connection->CloseConnection();
            }
        }
    }
    bool Linked() const { return connecting.GetRaw() != nullptr && accepted.GetRaw() != nullptr; }
    // The connecting side's connection, or the accepting side's.
    LNetworkConnection& End(bool acceptingSide) { return acceptingSide ? *accepted : *connecting; }

    Manager server;
    KT::RCPtr<LNetworkConnection> connecting;
    KT::RCPtr<LNetworkConnection> accepted;
};

// Sends count numbered messages on channel 0 on a thread of its own, noting
// the first failure and the most the channel kept after any send.
class StreamSender
{
public:
    StreamSender(LNetworkConnection& connection, std::uint32_t count, std::size_t messageBytes)
        : mThread(
              [this, &connection, count, messageBytes]
              {
                  const NetworkSendBacklog& kept = *connection.GetSendBacklog(NETWORK_CHANNEL_0);
                  for (std::uint32_t i = 0; i < count && mFailure == NETWORK_NO_ERROR; ++i)
                  {
                      mFailure = connection.SendMessage(StreamMessage(i, messageBytes), NETWORK_CHANNEL_0);
                      mMostKept = std::max(mMostKept.load(), kept.GetBytes());
                  }
                  mDone.Open();
              })
    {
    }
    ~StreamSender() { Join(); }
    void Join()
    {
        if (mThread.joinable())
        {
            mThread.join();
        }
    }
    TestSupport::Latch& Done() { return mDone; }
    NetworkError Failure() const { return mFailure.load(); }
    std::size_t MostKept() const { return mMostKept.load(); }

private:
    std::atomic<NetworkError> mFailure{NETWORK_NO_ERROR};
    std::atomic<std::size_t> mMostKept{0};
    TestSupport::Latch mDone;
    std::thread mThread;
};

// Messages of 1000 bytes enough to fill a receiver's backlog and its
// sender's bound, with some to spare.
constexpr std::uint32_t kMessagesPastBothBounds =
    (NetworkReceiveBacklog::kMostBytes + NetworkSendBacklog::kMostBytes) / 1000 + 1000;

// What a sender may keep at most: its bound, and the message that met it.
std::size_t MostKeptFor(std::size_t messageBytes)
{
    return NetworkSendBacklog::kMostBytes + LNetworkConnectionSendBuffer::BlockBytes(messageBytes) +
           NetworkSendBacklog::kKeptOverheadBytes;
}

TEST(NetworkReliableStreamDefaultPort, ASenderThatRegistersNothingHasItsStreamDeliveredInOrderAndAcknowledged)
{
    constexpr std::uint32_t kMessages = 5000;
    constexpr std::size_t kMessageBytes = 200;
    for (const bool fromAcceptingSide : {false, true})
    {
        const char* const name = fromAcceptingSide ? "the accepting side sends" : "the connecting side sends";
        DualPair pair;
        ASSERT_TRUE(pair.Linked()) << name;
        LNetworkConnection& sender = pair.End(fromAcceptingSide);
        LNetworkConnection& receiver = pair.End(!fromAcceptingSide);
        KT::RCPtr<LStreamCounter> counter(new LStreamCounter(kMessageBytes));
        ASSERT_EQ(receiver.SetCallback(InterfaceOf(counter), NETWORK_CHANNEL_0), 0) << name;
        for (std::uint32_t i = 0; i < kMessages; ++i)
        {
            ASSERT_EQ(sender.SendMessage(StreamMessage(i, kMessageBytes), NETWORK_CHANNEL_0),
                      NETWORK_NO_ERROR)
                << name << ", message " << i;
        }
        EXPECT_TRUE(counter->WaitFor(kMessages)) << name << ": " << counter->Received() << " arrived";
        EXPECT_EQ(counter->Fault(), "") << name;
        EXPECT_TRUE(Eventually([&] { return sender.GetPreviousSequenceMsgCount(NETWORK_CHANNEL_0) == 0; }))
            << name << ": " << sender.GetPreviousSequenceMsgCount(NETWORK_CHANNEL_0) << " unacknowledged";
        EXPECT_EQ(receiver.RemoveCallback(InterfaceOf(counter), NETWORK_CHANNEL_0), 0) << name;
    }
}

// Busy for the time asked, as a callback that does real work is: not asleep.
void Work(std::chrono::microseconds time)
{
    const auto started = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - started < time)
    {
    }
}

// Both ends stream at each other while both callbacks are held back. Each
// end's datagram receiver holds no more than its bound while its own channel
// waits for acknowledgements, which come over TCP; each sender waits at its
// own bound. Then the callbacks go on, slower than the senders: no send
// fails, and every message arrives.
TEST(NetworkReliableStreamDefaultPort, BothEndsStreamingIntoSlowCallbacksWaitWithinTheirBoundsAndLoseNothing)
{
    // While the callbacks are held, no acknowledgement comes.
    std::optional<NetworkTimeouts::ScopedOverride> patientSends;
    patientSends.emplace(NetworkTimeoutList::SEND_ROOM, 10 * 60 * 1000);
    constexpr std::size_t kMessageBytes = 1000;
    constexpr std::uint32_t kMessages = kMessagesPastBothBounds;
    DualPair pair;
    ASSERT_TRUE(pair.Linked());
    TestSupport::Latch open;
    const auto slow = [&]
    {
        static_cast<void>(open.Wait(6 * kBound));
        Work(std::chrono::microseconds(200));
    };
    KT::RCPtr<LStreamCounter> atConnecting(new LStreamCounter(kMessageBytes, slow));
    KT::RCPtr<LStreamCounter> atAccepting(new LStreamCounter(kMessageBytes, slow));
    ASSERT_EQ(pair.connecting->SetCallback(InterfaceOf(atConnecting), NETWORK_CHANNEL_0), 0);
    ASSERT_EQ(pair.accepted->SetCallback(InterfaceOf(atAccepting), NETWORK_CHANNEL_0), 0);
    StreamSender fromConnecting(*pair.connecting, kMessages, kMessageBytes);
    StreamSender fromAccepting(*pair.accepted, kMessages, kMessageBytes);
    for (const bool acceptingSide : {false, true})
    {
        LNetworkConnection& end = pair.End(acceptingSide);
        EXPECT_TRUE(Eventually([&] { return end.GetSendBacklog(NETWORK_CHANNEL_0)->GetWaitingCount() != 0; },
                               6 * kBound))
            << acceptingSide;
        EXPECT_NE(end.GetPreviousSequenceMsgCount(NETWORK_CHANNEL_0), 0u) << acceptingSide;
        // The packet that met the bound may pass it.
        EXPECT_LE(end.GetReceiveBacklog().GetBytes(), NetworkReceiveBacklog::kMostBytes +
                                                          NetworkWireFormat::kMaxPartPayloadSize +
                                                          NetworkReceiveBacklog::kHeldOverheadBytes)
            << acceptingSide;
    }
    patientSends.reset();
    open.Open();
    fromConnecting.Join();
    fromAccepting.Join();
    for (const bool acceptingSide : {false, true})
    {
        const StreamSender& sender = acceptingSide ? fromAccepting : fromConnecting;
        LStreamCounter& counter = acceptingSide ? *atConnecting : *atAccepting;
        EXPECT_EQ(sender.Failure(), NETWORK_NO_ERROR) << acceptingSide;
        EXPECT_LE(sender.MostKept(), MostKeptFor(kMessageBytes)) << acceptingSide;
        EXPECT_TRUE(counter.WaitFor(kMessages)) << acceptingSide << ": " << counter.Received() << " arrived";
        EXPECT_EQ(counter.Fault(), "") << acceptingSide;
    }
    EXPECT_EQ(pair.connecting->RemoveCallback(InterfaceOf(atConnecting), NETWORK_CHANNEL_0), 0);
    EXPECT_EQ(pair.accepted->RemoveCallback(InterfaceOf(atAccepting), NETWORK_CHANNEL_0), 0);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Both ends stream 20,000 messages of 200 bytes at each other while each
// end's callback takes 1 ms a packet. Nothing is lost, no send fails, each
// sender keeps within its bound, and the process's resident memory grows by
// no more than both ends' bounds allow.
TEST(NetworkReliableSoak, BothEndsStreamingAtEachOtherThroughSlowCallbacksStayWithinTheirBounds)
{
    constexpr std::uint32_t kMessages = 20000;
    constexpr std::size_t kMessageBytes = 200;
    constexpr auto kCallbackWork = std::chrono::milliseconds(1);
    constexpr int kSampleEvery = 200;
    DualPair pair;
    ASSERT_TRUE(pair.Linked());
    std::atomic<long> peakKiB{0};
    std::atomic<int> calls{0};
    const auto slow = [&]
    {
        if (calls.fetch_add(1) % kSampleEvery == 0)
        {
            const long now = TestSupport::ResidentKiB();
            long peak = peakKiB.load();
            while (now > peak && !peakKiB.compare_exchange_weak(peak, now))
            {
            }
        }
        Work(kCallbackWork);
    };
    KT::RCPtr<LStreamCounter> atConnecting(new LStreamCounter(kMessageBytes, slow));
    KT::RCPtr<LStreamCounter> atAccepting(new LStreamCounter(kMessageBytes, slow));
    ASSERT_EQ(pair.connecting->SetCallback(InterfaceOf(atConnecting), NETWORK_CHANNEL_0), 0);
    ASSERT_EQ(pair.accepted->SetCallback(InterfaceOf(atAccepting), NETWORK_CHANNEL_0), 0);
    const long before = TestSupport::ResidentKiB();
    const auto started = std::chrono::steady_clock::now();
    {
        StreamSender fromConnecting(*pair.connecting, kMessages, kMessageBytes);
        StreamSender fromAccepting(*pair.accepted, kMessages, kMessageBytes);
        for (const bool acceptingSide : {false, true})
        {
            StreamSender& sender = acceptingSide ? fromAccepting : fromConnecting;
            LStreamCounter& counter = acceptingSide ? *atConnecting : *atAccepting;
            sender.Join();
            EXPECT_EQ(sender.Failure(), NETWORK_NO_ERROR) << acceptingSide;
            EXPECT_LE(sender.MostKept(), MostKeptFor(kMessageBytes)) << acceptingSide;
            EXPECT_TRUE(counter.WaitFor(kMessages, std::chrono::minutes(5)))
                << acceptingSide << ": " << counter.Received() << " arrived";
            EXPECT_EQ(counter.Fault(), "") << acceptingSide;
            LNetworkConnection& end = pair.End(acceptingSide);
            EXPECT_TRUE(Eventually([&] { return end.GetSendBacklog(NETWORK_CHANNEL_0)->GetBytes() == 0; }))
                << acceptingSide;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const long after = TestSupport::ResidentKiB();
    const long peak = std::max(peakKiB.load(), after);
    std::printf(
        "%u messages of %zu bytes each way through %lld ms callbacks in %.1f s; resident memory %ld KiB "
        "before, %ld KiB at the peak, %ld KiB after\n",
        kMessages, kMessageBytes, static_cast<long long>(kCallbackWork.count()), seconds, before, peak,
        after);
    if (!kSanitized)
    {
        // Per end: what its receivers hold for delivery and what its reliable
        // channel keeps, and 8 MiB for its receive pools, spare buffers and
        // the allocator's own.
        const long perEndKiB = static_cast<long>(
            (NetworkReceiveBacklog::kMostBytes + NetworkSendBacklog::kMostBytes) / 1024 + 8 * 1024);
        EXPECT_LE(peak, before + 2 * perEndKiB)
            << "resident memory rose from " << before << " KiB to " << peak << " KiB";
    }
    EXPECT_EQ(pair.connecting->RemoveCallback(InterfaceOf(atConnecting), NETWORK_CHANNEL_0), 0);
    EXPECT_EQ(pair.accepted->RemoveCallback(InterfaceOf(atAccepting), NETWORK_CHANNEL_0), 0);
}

} // namespace
