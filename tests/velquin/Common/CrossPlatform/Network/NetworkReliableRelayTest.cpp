// Two connections over UDP through a relay that loses, duplicates and reorders
// datagrams: the reliable channels deliver every message intact, in order and
// exactly once, both ways at once.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionTestSupport.h"
#include "support/LossyUdpRelay.h"
#include "support/TestPorts.h"

namespace
{

using ConnectionTest::BufferOf;
using ConnectionTest::Bytes;
using ConnectionTest::kLoopback;

constexpr std::size_t kMessages = 500;
constexpr std::size_t kLargest = 30000;
// The protocol has no flow control: a sender that outruns its acknowledgements
// fills the socket buffers with copies. The senders here keep at most this
// many unacknowledged parts.
constexpr std::uint32_t kInFlight = 16;

// Message index's payload of size bytes. It starts with its own length (one
// byte below 128, else two with the top bit of the first set), so the
// messages of a coalesced chunk can be told apart; the rest tells the index.
Bytes MakeMessage(std::size_t index, std::size_t size)
{
    Bytes bytes(size);
    std::size_t at = 0;
    if (size < 128)
    {
        bytes[at++] = static_cast<std::uint8_t>(size);
    }
    else
    {
        bytes[at++] = static_cast<std::uint8_t>(0x80 | size >> 8);
        bytes[at++] = static_cast<std::uint8_t>(size);
    }
    for (; at < size; ++at)
    {
        bytes[at] = static_cast<std::uint8_t>(index * 31 + at * 7);
    }
    return bytes;
}

std::size_t LengthAt(const Bytes& bytes, std::size_t at)
{
    if ((bytes[at] & 0x80) == 0)
    {
        return bytes[at];
    }
    return at + 1 < bytes.size() ? (static_cast<std::size_t>(bytes[at] & 0x7F) << 8 | bytes[at + 1]) : 0;
}

// Sizes from 1 to kLargest, half of them small so that chunks coalesce.
std::vector<std::size_t> Sizes(std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<std::size_t> sizes(kMessages);
    for (std::size_t& size : sizes)
    {
        size = random() % 2 == 0 ? 1 + random() % 200 : 1 + random() % kLargest;
    }
    return sizes;
}

// Takes one direction's deliveries apart by sequence arithmetic and checks
// each new message against the one expected next.
class LStreamCheck : public LNetworkConnectionCallbackInterface
{
public:
    explicit LStreamCheck(std::vector<std::size_t> sizes) : mSizes(std::move(sizes)) {}

    void ReceivedMessageCallback(const KT::RCPtr<LNetworkConnection>&,
                                 const KT::ConstRCPtr<KT::LIBuffer>& payload, std::uint32_t,
                                 std::int32_t sequenceID, std::int32_t count) override
    {
        const Bytes bytes = ConnectionTest::BytesOf(payload);
        std::lock_guard<std::mutex> guard(mLock);
        if (!mFailure.empty())
        {
            return;
        }
        if (count < 0)
        {
            // Reassembled parts: one message whose first part follows the last.
            const std::int64_t first = std::int64_t{sequenceID} + count;
            Take(first, bytes);
            mLast = sequenceID;
        }
        else
        {
            // The newest message first, then the older ones back to the oldest.
            std::vector<Bytes> pieces;
            std::size_t at = 0;
            for (std::int32_t i = 0; i <= count && at < bytes.size(); ++i)
            {
                const std::size_t length = LengthAt(bytes, at);
                if (length == 0 || at + length > bytes.size())
                {
                    break;
                }
                pieces.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                    bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
                at += length;
            }
            if (pieces.size() != static_cast<std::size_t>(count) + 1 || at != bytes.size())
            {
                Fail("a chunk that does not split into its count", sequenceID);
                return;
            }
            for (std::int32_t i = count; i >= 0 && mFailure.empty(); --i)
            {
                const std::int64_t sequence = std::int64_t{sequenceID} - i;
                if (sequence > mLast)
                {
                    Take(sequence, pieces[static_cast<std::size_t>(i)]);
                    mLast = sequence;
                }
            }
        }
        mChanged.notify_all();
    }

    void ConnectionErrorCallback(const KT::RCPtr<LNetworkConnection>&, NetworkError error) override
    {
        std::lock_guard<std::mutex> guard(mLock);
        Fail("a connection error", error);
        mChanged.notify_all();
    }

    // True once every message arrived, or something went wrong.
    bool WaitForAll(std::chrono::milliseconds bound)
    {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, bound, [&] { return mNext == mSizes.size() || !mFailure.empty(); });
    }
    std::string Failure()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mFailure;
    }
    std::size_t Received()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mNext;
    }

private:
    void Take(std::int64_t sequence, const Bytes& message)
    {
        if (sequence != mLast + 1)
        {
            Fail("a message after a gap", static_cast<std::int64_t>(sequence));
        }
        else if (mNext >= mSizes.size())
        {
            Fail("a message too many", sequence);
        }
        else if (message != MakeMessage(mNext, mSizes[mNext]))
        {
            Fail("a message unlike the one expected", static_cast<std::int64_t>(mNext));
        }
        else
        {
            ++mNext;
        }
    }
    void Fail(const char* what, std::int64_t value)
    {
        std::ostringstream text;
        text << what << " (" << value << ") after " << mNext << " messages";
        mFailure = text.str();
    }

    const std::vector<std::size_t> mSizes;
    std::mutex mLock;
    std::condition_variable mChanged;
    std::int64_t mLast = -1;
    std::size_t mNext = 0;
    std::string mFailure;
};

KT::RCPtr<LNetworkSocket> BoundUdpSocket()
{
    KT::RCPtr<LNetworkSocket> socket;
    TestPorts::BindOnFreePort(
        [&](unsigned short port)
        {
            socket = LNetworkSocket::Create(NETWORK_SOCKET_UDP);
            return socket->Bind(kLoopback, port, false, KT::RCPtr<KT::LIBuffer>()) == NETWORK_NO_ERROR;
        });
    return socket;
}

void SendAll(LNetworkConnection& connection, const std::vector<std::size_t>& sizes, NetworkError& result)
{
    result = NETWORK_NO_ERROR;
    for (std::size_t index = 0; index < sizes.size() && result == NETWORK_NO_ERROR; ++index)
    {
        ConnectionTest::Eventually(
            [&] { return connection.GetPreviousSequenceMsgCount(NETWORK_CHANNEL_1) < kInFlight; });
        result = connection.SendMessage(BufferOf(MakeMessage(index, sizes[index])), NETWORK_CHANNEL_1);
    }
}

TEST(NetworkReliableRelay,
     FiveHundredMessagesEachWayArriveIntactInOrderOnceThroughLossDuplicatesAndReordering)
{
    RawPeer::LossyUdpRelay::Options options;
    options.dropPercent = 10;
    options.duplicatePercent = 5;
    options.reorderPercent = 5;
    options.seed = 15;
    RawPeer::LossyUdpRelay relay(options);
    KT::RCPtr<LNetworkSocket> socketA = BoundUdpSocket();
    KT::RCPtr<LNetworkSocket> socketB = BoundUdpSocket();
    ASSERT_TRUE(socketA.GetRaw() != nullptr && socketB.GetRaw() != nullptr);
    ASSERT_TRUE(relay.Start(socketA->GetPort(), socketB->GetPort()));
    ASSERT_EQ(socketA->Connect(kLoopback, relay.Port(0), true, 0), NETWORK_NO_ERROR);
    ASSERT_EQ(socketB->Connect(kLoopback, relay.Port(1), true, 0), NETWORK_NO_ERROR);
    const auto kData = LNetworkConnection::CONNECTION_DATA_SOCKET;
    KT::RCPtr<LNetworkConnection> a = LNetworkConnection::Create(socketA, KT::RCPtr<LNetworkSocket>(), kData);
    KT::RCPtr<LNetworkConnection> b = LNetworkConnection::Create(socketB, KT::RCPtr<LNetworkSocket>(), kData);

    const std::vector<std::size_t> sizesAToB = Sizes(1);
    const std::vector<std::size_t> sizesBToA = Sizes(2);
    KT::RCPtr<LStreamCheck> atB(new LStreamCheck(sizesAToB));
    KT::RCPtr<LStreamCheck> atA(new LStreamCheck(sizesBToA));
    ASSERT_EQ(b->SetCallback(KT::RCPtr<LNetworkConnectionCallbackInterface>(atB.Get()), NETWORK_CHANNEL_1),
              0);
    ASSERT_EQ(a->SetCallback(KT::RCPtr<LNetworkConnectionCallbackInterface>(atA.Get()), NETWORK_CHANNEL_1),
              0);

    const auto start = std::chrono::steady_clock::now();
    NetworkError sentByA = NETWORK_NO_ERROR;
    NetworkError sentByB = NETWORK_NO_ERROR;
    std::thread senderA([&] { SendAll(*a, sizesAToB, sentByA); });
    std::thread senderB([&] { SendAll(*b, sizesBToA, sentByB); });
    senderA.join();
    senderB.join();
    EXPECT_EQ(sentByA, NETWORK_NO_ERROR);
    EXPECT_EQ(sentByB, NETWORK_NO_ERROR);
    EXPECT_TRUE(atB->WaitForAll(std::chrono::seconds(60)));
    EXPECT_TRUE(atA->WaitForAll(std::chrono::seconds(60)));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(atB->Failure(), "");
    EXPECT_EQ(atA->Failure(), "");
    EXPECT_EQ(atB->Received(), kMessages);
    EXPECT_EQ(atA->Received(), kMessages);
    const RawPeer::LossyUdpRelay::Counts counts = relay.GetCounts();
    EXPECT_GT(counts.dropped, 0u);
    EXPECT_GT(counts.duplicated, 0u);
    EXPECT_GT(counts.reordered, 0u);
    std::cout << "relayed " << counts.forwarded << " datagrams, dropped " << counts.dropped << ", duplicated "
              << counts.duplicated << ", reordered " << counts.reordered << " in "
              << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() << " ms\n";

    EXPECT_EQ(b->RemoveCallback(KT::RCPtr<LNetworkConnectionCallbackInterface>(atB.Get()), NETWORK_CHANNEL_1),
              0);
    EXPECT_EQ(a->RemoveCallback(KT::RCPtr<LNetworkConnectionCallbackInterface>(atA.Get()), NETWORK_CHANNEL_1),
              0);
    a->CloseConnection();
    b->CloseConnection();
}

} // namespace
