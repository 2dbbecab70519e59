// Two connections over UDP through a relay that plays a bad network. Through
// loss, duplicates and reordering the reliable channels deliver every message
// intact, in order and exactly once, both ways at once.
//
// The lossy-link table then gives each seed a link drawn from it and one
// trouble: none, failing sends at every send site (through NetworkSendFaults),
// a stall that outlasts the wait for room, an end that closes, a peer that
// vanishes. Every row checks what a caller relies on: what was sent
// successfully to a live peer arrives once, whole and in order; a send fails
// only with a named result, and then nothing of it arrives; what a channel
// keeps stays within its bound and one message; after a close or a departed
// peer, sends fail at once, the kept messages go, nothing more leaves the end
// and its worker sleeps. Failures name the row's seed; VELQUIN_LOSSY_SEED=n
// runs seed n alone. NetworkReliableLossyLinkSoak (labelled "soak") runs many
// more seeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionTestSupport.h"
#include "support/LossyUdpRelay.h"
#include "support/TestPorts.h"
#include "velquin/Common/CrossPlatform/Network/NetworkSendFaults.h"
#include "velquin/Common/CrossPlatform/Network/NetworkTimeouts.h"

namespace
{

using ConnectionTest::BufferOf;
using ConnectionTest::Bytes;
using ConnectionTest::Eventually;
using ConnectionTest::kBound;
using ConnectionTest::kLoopback;
using RawPeer::LossyUdpRelay;

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

// Sizes from 1 to kLargest, half of them small so that chunks coalesce; when
// large, all from 16000 on.
std::vector<std::size_t> Sizes(std::uint32_t seed, std::size_t count = kMessages, bool large = false)
{
    std::mt19937 random(seed);
    std::vector<std::size_t> sizes(count);
    for (std::size_t& size : sizes)
    {
        size = large ? 16000 + random() % 14000
                     : (random() % 2 == 0 ? 1 + random() % 200 : 1 + random() % kLargest);
    }
    return sizes;
}

// Takes one direction's deliveries apart by sequence arithmetic and checks
// each new message against the one expected next: the next one not skipped
// because its send failed. Keeps the first connection error reported.
class LStreamCheck : public LNetworkConnectionCallbackInterface
{
public:
    explicit LStreamCheck(std::vector<std::size_t> sizes) : mSizes(std::move(sizes)), mSkipped(mSizes.size())
    {
    }

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
        mTold = mTold == NETWORK_NO_ERROR ? error : mTold;
    }
    // Message index was not sent: its send failed. Called once the send
    // returned, so before anything sent after it can arrive.
    void Skip(std::size_t index)
    {
        std::lock_guard<std::mutex> guard(mLock);
        mSkipped[index] = true;
        SkipFailed();
        mChanged.notify_all();
    }

    // True once the first count messages arrived or were skipped, or something
    // went wrong.
    bool WaitFor(std::size_t count, std::chrono::milliseconds bound)
    {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, bound, [&] { return mNext >= count || !mFailure.empty(); });
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
    NetworkError Told()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mTold;
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
            SkipFailed();
        }
    }
    void SkipFailed()
    {
        while (mNext < mSkipped.size() && mSkipped[mNext])
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
    std::vector<bool> mSkipped;
    NetworkError mTold = NETWORK_NO_ERROR;
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

// Links ends[i] through the relay's side i: connections over UDP data sockets.
void LinkThrough(LossyUdpRelay& relay, KT::RCPtr<LNetworkConnection> (&ends)[2])
{
    KT::RCPtr<LNetworkSocket> sockets[2] = {BoundUdpSocket(), BoundUdpSocket()};
    ASSERT_TRUE(sockets[0].GetRaw() != nullptr && sockets[1].GetRaw() != nullptr);
    ASSERT_TRUE(relay.Start(sockets[0]->GetPort(), sockets[1]->GetPort()));
    for (int side = 0; side < 2; ++side)
    {
        ASSERT_EQ(sockets[side]->Connect(kLoopback, relay.Port(side), true, 0), NETWORK_NO_ERROR);
        ends[side] = LNetworkConnection::Create(sockets[side], KT::RCPtr<LNetworkSocket>(),
                                                LNetworkConnection::CONNECTION_DATA_SOCKET);
    }
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
    KT::RCPtr<LNetworkConnection> ends[2];
    ASSERT_NO_FATAL_FAILURE(LinkThrough(relay, ends));
    KT::RCPtr<LNetworkConnection> a = ends[0];
    KT::RCPtr<LNetworkConnection> b = ends[1];

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
    EXPECT_TRUE(atB->WaitFor(kMessages, std::chrono::seconds(60)));
    EXPECT_TRUE(atA->WaitFor(kMessages, std::chrono::seconds(60)));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(atB->Failure(), "");
    EXPECT_EQ(atA->Failure(), "");
    EXPECT_EQ(atB->Received(), kMessages);
    EXPECT_EQ(atA->Received(), kMessages);
    EXPECT_EQ(atB->Told(), NETWORK_NO_ERROR);
    EXPECT_EQ(atA->Told(), NETWORK_NO_ERROR);
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

// ---- The lossy-link table

using Site = NetworkSendFaults::Site;
constexpr const char* kSiteNames[Site::SITE_COUNT] = {"the first datagram of a pass", "a middle chunk",
                                                      "the last datagram of a pass", "an acknowledgement",
                                                      "a resend request"};

// The send-fault hook fails the row's share of the reliable path's sends,
// drawn from the row's seed, and a site's first send under faults always, so
// that every site fails even where it sends little (a resend request only
// follows a gap).
struct SendFaults
{
    std::mutex lock;
    std::mt19937 random;
    unsigned int percent = 0;
    std::uint64_t failed[Site::SITE_COUNT] = {};
} gFaults;

NetworkError FailSome(Site site)
{
    std::lock_guard<std::mutex> guard(gFaults.lock);
    if (gFaults.percent == 0 || (gFaults.failed[site] != 0 && gFaults.random() % 100 >= gFaults.percent))
    {
        return NETWORK_NO_ERROR;
    }
    ++gFaults.failed[site];
    return NETWORK_SEND_FAILED;
}

// A row's trouble; the link stays alive in those before END_CLOSES.
enum class Trouble
{
    LOSSY,
    SEND_FAULTS,
    STALL,
    END_CLOSES,
    PEER_VANISHES,
    COUNT
};
constexpr const char* kTroubleNames[] = {"a lossy link", "failing sends", "a stall past the wait for room",
                                         "an end that closes", "a peer that vanishes"};
// What a send after a close returns, having no socket.
constexpr NetworkError kNoSocket = static_cast<NetworkError>(-1);

// One seed's run: the link, the trouble, where it starts and the messages are
// all drawn from the seed. Each end streams its messages on a thread of its
// own; then an end whose link ended sends one more, to learn what became of
// its peer, and one that must fail at once.
void RunRow(std::uint32_t seed)
{
    std::mt19937 random(seed);
    const auto draw = [&](std::uint32_t below) { return static_cast<std::uint32_t>(random() % below); };
    const auto trouble = static_cast<Trouble>(seed % static_cast<std::uint32_t>(Trouble::COUNT));
    const bool stall = trouble == Trouble::STALL;
    const bool live = trouble < Trouble::END_CLOSES;
    // Some loss, for resend passes and requests to fail; a stall is made good
    // by resending the whole bound, through little loss so that the row stays
    // short.
    const LossyUdpRelay::Options link = {.dropPercent = stall ? draw(3) : 2 + draw(9),
                                         .duplicatePercent = draw(6),
                                         .reorderPercent = draw(6),
                                         .delayPercent = draw(6),
                                         .refusePerMille =
                                             trouble == Trouble::PEER_VANISHES ? 1 + draw(2) : 0,
                                         .seed = seed};
    const unsigned int faultPercent = trouble == Trouble::SEND_FAULTS ? 2 + draw(4) : 0;
    const NetworkChannelNumber channel = draw(2) == 0 ? NETWORK_CHANNEL_0 : NETWORK_CHANNEL_1;
    const int troubled = static_cast<int>(draw(2));
    // A stalled end meets its bound early in its stream: large messages.
    const std::size_t messages = stall ? 120 : 100;
    const std::size_t troubleAt = stall ? 5 + draw(10) : messages / 4 + draw(messages / 2);
    const std::vector<std::size_t> sizes[2] = {
        Sizes(static_cast<std::uint32_t>(random()), messages + 2, stall && troubled == 0),
        Sizes(static_cast<std::uint32_t>(random()), messages + 2, stall && troubled == 1)};
    const std::string row = "seed " + std::to_string(seed) + " (VELQUIN_LOSSY_SEED=" + std::to_string(seed) +
                            "): " + kTroubleNames[static_cast<int>(trouble)] + " at end " +
                            std::to_string(troubled) + " from message " + std::to_string(troubleAt);
    SCOPED_TRACE(row);
    std::cout << "[ lossy    ] " << row << std::endl;
    {
        std::lock_guard<std::mutex> guard(gFaults.lock);
        gFaults.random.seed(seed);
        gFaults.percent = faultPercent;
    }
    // A stalled end's send at its bound waits for room a short while only.
    const NetworkTimeouts::ScopedOverride room(
        NetworkTimeoutList::SEND_ROOM,
        stall ? 150 : NetworkTimeoutList::kMilliseconds[NetworkTimeoutList::SEND_ROOM]);
    LossyUdpRelay relay(link);
    KT::RCPtr<LNetworkConnection> ends[2];
    ASSERT_NO_FATAL_FAILURE(LinkThrough(relay, ends));
    // What end i receives.
    const KT::RCPtr<LStreamCheck> checks[2] = {KT::RCPtr<LStreamCheck>(new LStreamCheck(sizes[1])),
                                               KT::RCPtr<LStreamCheck>(new LStreamCheck(sizes[0]))};
    for (int side = 0; side < 2; ++side)
    {
        ASSERT_EQ(ends[side]->SetCallback(checks[side], channel), 0);
    }

    // Each send's result is named; what a channel keeps stays within its bound
    // and one message of the largest size, in full parts.
    const std::size_t mostKept =
        NetworkSendBacklog::kMostBytes +
        (kLargest / NetworkWireFormat::kMaxPartPayloadSize + 1) *
            (LNetworkConnectionSendBuffer::BlockBytes(NetworkWireFormat::kMaxPartPayloadSize) +
             NetworkSendBacklog::kKeptOverheadBytes);
    std::atomic<int> roomFailures{0};
    const auto send = [&](int side, std::size_t index)
    {
        const NetworkError result =
            ends[side]->SendMessage(BufferOf(MakeMessage(index, sizes[side][index])), channel);
        if (result != NETWORK_NO_ERROR)
        {
            checks[1 - side]->Skip(index);
        }
        roomFailures.fetch_add(result == NETWORK_OBJECT_OUT_OF_MEMORY ? 1 : 0);
        EXPECT_TRUE(result == NETWORK_NO_ERROR || result == kNoSocket ||
                    std::string(GetNetworkErrorText(result).CStr()) != "Undefined Error")
            << "seed " << seed << ": end " << side << ", message " << index << ": " << result;
        EXPECT_LE(ends[side]->GetSendBacklog(channel)->GetBytes(), mostKept)
            << "seed " << seed << ": end " << side;
        return result;
    };
    std::atomic<int> streamsDone{0};
    const auto stream = [&](int side)
    {
        for (std::size_t index = 0; index < messages; ++index)
        {
            if (side == troubled && index == troubleAt)
            {
                // The trouble starts: the end's link stalls, the end closes or
                // its port goes.
                relay.Stall(side, stall);
                if (trouble == Trouble::END_CLOSES)
                {
                    ends[side]->CloseConnection();
                }
                else if (trouble == Trouble::PEER_VANISHES)
                {
                    EXPECT_TRUE(relay.SetGone(side, true)) << "seed " << seed;
                }
            }
            send(side, index);
        }
        streamsDone.fetch_add(1);
    };
    std::thread senders[2] = {std::thread(stream, 0), std::thread(stream, 1)};
    if (stall)
    {
        // The stall lasts until a send of the stalled end waited for room in
        // vain.
        EXPECT_TRUE(
            Eventually([&] { return roomFailures.load() != 0 || streamsDone.load() == 2; }, 6 * kBound));
        EXPECT_NE(roomFailures.load(), 0) << "the stalled end never ran out of room";
        relay.Stall(troubled, false);
    }
    for (std::thread& sender : senders)
    {
        sender.join();
    }
    for (int side = 0; side < 2 && !live; ++side)
    {
        // An end whose port is gone learns of it from its next send at the
        // latest, and is told; one left on its own is closed (again, maybe),
        // as a program whose peer vanished would close it.
        if (relay.IsGone(side))
        {
            send(side, messages);
            EXPECT_TRUE(Eventually([&] { return checks[side]->Told() != NETWORK_NO_ERROR; }))
                << "end " << side << " was never told its peer left";
        }
        else
        {
            ends[side]->CloseConnection();
        }
    }
    for (int side = 0; side < 2; ++side)
    {
        // Everything sent successfully to a live peer arrives. The worker
        // reports an acknowledgement or a resend request that it could not
        // send, and goes on: only the hook's failure may be told on a live
        // link.
        EXPECT_TRUE(!live || checks[side]->WaitFor(messages, 6 * kBound));
        EXPECT_EQ(checks[side]->Failure(), "") << "at end " << side;
        const NetworkError told = checks[side]->Told();
        EXPECT_TRUE(!live || told == NETWORK_NO_ERROR ||
                    (trouble == Trouble::SEND_FAULTS && told == NETWORK_SEND_FAILED))
            << "end " << side << " was told of " << told << " on a live link";
        EXPECT_TRUE(Eventually([&] { return ends[side]->GetSendBacklog(channel)->GetBytes() == 0; }))
            << "end " << side << " still keeps messages";
    }
    std::uint64_t received[2] = {};
    std::uint64_t runs[2] = {};
    for (int side = 0; side < 2 && !live; ++side)
    {
        // After its end, a send fails at once, not after waiting for room; once
        // its port is bound afresh (without what the relay had yet to read),
        // nothing more leaves the end.
        const NetworkError result = send(side, messages + 1);
        EXPECT_TRUE(result != NETWORK_NO_ERROR && result != NETWORK_OBJECT_OUT_OF_MEMORY)
            << "end " << side << " returned " << result;
        EXPECT_TRUE(relay.SetGone(side, true) && relay.SetGone(side, false));
        received[side] = relay.ReceivedFrom(side);
        runs[side] = ends[side]->GetAcknowledgementRuns();
    }
    for (int side = 0; side < 2 && !live; ++side)
    {
        // Once its worker has run twice since, it waits as long as when idle.
        EXPECT_TRUE(Eventually([&] { return ends[side]->GetAcknowledgementRuns() >= runs[side] + 2; }));
        EXPECT_EQ(ends[side]->GetAcknowledgementWaitMilliseconds(), LNetworkConnection::kAckWaitMilliseconds)
            << "the worker of end " << side << " does not sleep";
        EXPECT_EQ(relay.ReceivedFrom(side), received[side]) << "end " << side << " still sends";
    }
    for (int side = 0; side < 2; ++side)
    {
        EXPECT_EQ(ends[side]->RemoveCallback(checks[side], channel), 0);
        ends[side]->CloseConnection();
    }
}

// Runs the seeds with the send-fault hook in place, or only the one
// VELQUIN_LOSSY_SEED names; false then.
bool RunSeeds(std::uint32_t first, std::uint32_t count)
{
    const NetworkSendFaults::Hook previous = NetworkSendFaults::Exchange(&FailSome);
    std::fill(std::begin(gFaults.failed), std::end(gFaults.failed), 0u);
    const char* const replay = std::getenv("VELQUIN_LOSSY_SEED");
    if (replay != nullptr)
    {
        first = static_cast<std::uint32_t>(std::strtoul(replay, nullptr, 10));
        count = 1;
    }
    for (std::uint32_t seed = first; seed < first + count && !testing::Test::HasFatalFailure(); ++seed)
    {
        RunRow(seed);
    }
    static_cast<void>(NetworkSendFaults::Exchange(previous));
    return replay == nullptr;
}

TEST(NetworkReliableLossyLink, EverySeedOfTheTableKeepsDeliveryBoundsAndEndingsAndFailsEverySendSite)
{
    // One seed of each trouble.
    if (RunSeeds(1, static_cast<std::uint32_t>(Trouble::COUNT)))
    {
        for (std::size_t site = 0; site < Site::SITE_COUNT; ++site)
        {
            EXPECT_GT(gFaults.failed[site], 0u) << "no seed failed " << kSiteNames[site];
        }
    }
}

TEST(NetworkReliableLossyLinkSoak, ManyMoreSeedsKeepDeliveryBoundsAndEndings)
{
    static_cast<void>(RunSeeds(1000, 40 * static_cast<std::uint32_t>(Trouble::COUNT)));
}

} // namespace
