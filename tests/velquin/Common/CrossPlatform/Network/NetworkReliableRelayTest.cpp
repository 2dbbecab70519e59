// Two connections over UDP through a relay that plays a bad network. Through
// loss, duplicates and reordering the reliable channels deliver every message
// intact, in order and exactly once, both ways at once. The lossy-link table
// then gives each seed its trouble: loss with duplicates, reordering and
// delays, failing sends at every send site (through NetworkSendFaults), a
// stalled link, a stall that outlasts the wait for room, an end that closes,
// a peer that vanishes. Every seed checks what a caller relies on: what was
// sent successfully to a live peer arrives once, whole and in order; a send
// fails only with a named result and then nothing of it arrives; what a
// channel keeps stays within its bound; after a close or a departed peer,
// sends fail at once, the kept messages go and nothing more is sent. A row
// names its seed when it starts and in every failure; VELQUIN_LOSSY_SEED=n
// runs seed n alone. NetworkReliableLossyLinkSoak (labelled "soak") runs many
// more seeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <mutex>
#include <numeric>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionTestSupport.h"
#include "Platform/ByteOrder.h"
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

// Message index's payload of size bytes, at least 6. It starts with its own
// length (one byte below 128, else two with the top bit of the first set), so
// the messages of a coalesced chunk can be told apart, then its index; the
// rest tells the index too.
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
    KT::WriteLE32(bytes.data() + at, static_cast<std::uint32_t>(index));
    for (at += 4; at < size; ++at)
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

// Takes one direction's deliveries apart by sequence arithmetic: every new
// message is checked whole against the one its index names and logged. Also
// logs the first connection error reported.
class LDeliveryLog : public LNetworkConnectionCallbackInterface
{
public:
    // sizes: the sizes of the messages the peer may send, by index.
    explicit LDeliveryLog(std::vector<std::size_t> sizes) : mSizes(std::move(sizes)) {}

    void ReceivedMessageCallback(const KT::RCPtr<LNetworkConnection>&,
                                 const KT::ConstRCPtr<KT::LIBuffer>& payload, std::uint32_t,
                                 std::int32_t sequenceID, std::int32_t count) override
    {
        const Bytes bytes = ConnectionTest::BytesOf(payload);
        std::lock_guard<std::mutex> guard(mLock);
        if (count < 0)
        {
            // Reassembled parts: one message whose first part follows the last.
            Take(std::int64_t{sequenceID} + count, bytes);
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
                if (length < 6 || at + length > bytes.size())
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
            for (std::int32_t i = count; i >= 0; --i)
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
        if (mTold == NETWORK_NO_ERROR)
        {
            mTold = error;
        }
        mChanged.notify_all();
    }

    bool WaitForCount(std::size_t count, std::chrono::milliseconds bound)
    {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, bound, [&] { return mDelivered.size() >= count; });
    }
    bool WaitForTold(std::chrono::milliseconds bound)
    {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, bound, [&] { return mTold != NETWORK_NO_ERROR; });
    }
    std::vector<std::uint32_t> Delivered()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mDelivered;
    }
    // The first error reported, NETWORK_NO_ERROR while none was.
    NetworkError Told()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mTold;
    }
    // Empty while every message came whole and without a gap.
    std::string Fault()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mFault;
    }

private:
    void Take(std::int64_t sequence, const Bytes& message)
    {
        const std::uint32_t index = KT::ReadLE32(message.data() + (message[0] < 0x80 ? 1 : 2));
        if (sequence != mLast + 1)
        {
            Fail("a message after a gap", sequence);
        }
        else if (index >= mSizes.size() || message != MakeMessage(index, mSizes[index]))
        {
            Fail("a corrupt message", sequence);
        }
        else
        {
            mDelivered.push_back(index);
        }
    }
    void Fail(const char* what, std::int64_t sequence)
    {
        if (mFault.empty())
        {
            std::ostringstream text;
            text << what << " (sequence " << sequence << ") after " << mDelivered.size() << " messages";
            mFault = text.str();
        }
    }

    const std::vector<std::size_t> mSizes;
    std::mutex mLock;
    std::condition_variable mChanged;
    std::int64_t mLast = -1;
    std::vector<std::uint32_t> mDelivered;
    NetworkError mTold = NETWORK_NO_ERROR;
    std::string mFault;
};

KT::RCPtr<LNetworkConnectionCallbackInterface> InterfaceOf(const KT::RCPtr<LDeliveryLog>& log)
{
    return KT::RCPtr<LNetworkConnectionCallbackInterface>(log.Get());
}

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

// Two connections over UDP data sockets, end i's datagrams through the relay's
// side i.
struct RelayedPair
{
    explicit RelayedPair(const LossyUdpRelay::Options& options) : relay(options)
    {
        KT::RCPtr<LNetworkSocket> sockets[2] = {BoundUdpSocket(), BoundUdpSocket()};
        if (sockets[0].GetRaw() == nullptr || sockets[1].GetRaw() == nullptr ||
            !relay.Start(sockets[0]->GetPort(), sockets[1]->GetPort()))
        {
            return;
        }
        for (int side = 0; side < 2; ++side)
        {
            if (sockets[side]->Connect(kLoopback, relay.Port(side), true, 0) == NETWORK_NO_ERROR)
            {
                ends[side] = LNetworkConnection::Create(sockets[side], KT::RCPtr<LNetworkSocket>(),
                                                        LNetworkConnection::CONNECTION_DATA_SOCKET);
            }
        }
    }
    bool Linked() const { return ends[0].GetRaw() != nullptr && ends[1].GetRaw() != nullptr; }

    LossyUdpRelay relay;
    KT::RCPtr<LNetworkConnection> ends[2];
};

TEST(NetworkReliableRelay,
     FiveHundredMessagesEachWayArriveIntactInOrderOnceThroughLossDuplicatesAndReordering)
{
    constexpr std::size_t kMessages = 500;
    // The senders keep at most this many unacknowledged parts, well within
    // the bound, so that the stream meets loss rather than the bound.
    constexpr std::uint32_t kInFlight = 16;
    LossyUdpRelay::Options options;
    options.seed = 15;
    RelayedPair pair(options);
    ASSERT_TRUE(pair.Linked());
    std::vector<std::size_t> sizes[2];
    KT::RCPtr<LDeliveryLog> logs[2];
    for (int side = 0; side < 2; ++side)
    {
        // Half of them small, so that chunks coalesce.
        std::mt19937 random(static_cast<std::uint32_t>(side + 1));
        for (std::size_t i = 0; i < kMessages; ++i)
        {
            sizes[side].push_back(random() % 2 == 0 ? 6 + random() % 200 : 6 + random() % 30000);
        }
    }
    for (int side = 0; side < 2; ++side)
    {
        logs[side] = KT::RCPtr<LDeliveryLog>(new LDeliveryLog(sizes[1 - side]));
        ASSERT_EQ(pair.ends[side]->SetCallback(InterfaceOf(logs[side]), NETWORK_CHANNEL_1), 0);
    }

    const auto start = std::chrono::steady_clock::now();
    NetworkError results[2] = {NETWORK_NO_ERROR, NETWORK_NO_ERROR};
    const auto sendAll = [&](int side)
    {
        LNetworkConnection& connection = *pair.ends[side];
        for (std::size_t i = 0; i < kMessages && results[side] == NETWORK_NO_ERROR; ++i)
        {
            Eventually([&] { return connection.GetPreviousSequenceMsgCount(NETWORK_CHANNEL_1) < kInFlight; });
            results[side] =
                connection.SendMessage(BufferOf(MakeMessage(i, sizes[side][i])), NETWORK_CHANNEL_1);
        }
    };
    std::thread sender0(sendAll, 0);
    std::thread sender1(sendAll, 1);
    sender0.join();
    sender1.join();
    std::vector<std::uint32_t> all(kMessages);
    std::iota(all.begin(), all.end(), 0u);
    for (int side = 0; side < 2; ++side)
    {
        EXPECT_EQ(results[side], NETWORK_NO_ERROR) << side;
        EXPECT_TRUE(logs[side]->WaitForCount(kMessages, std::chrono::seconds(60))) << side;
        EXPECT_EQ(logs[side]->Fault(), "") << side;
        EXPECT_EQ(logs[side]->Told(), NETWORK_NO_ERROR) << side;
        EXPECT_EQ(logs[side]->Delivered(), all) << side;
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const LossyUdpRelay::Counts counts = pair.relay.GetCounts();
    EXPECT_GT(counts.dropped, 0u);
    EXPECT_GT(counts.duplicated, 0u);
    EXPECT_GT(counts.reordered, 0u);
    std::cout << "relayed " << counts.forwarded << " datagrams, dropped " << counts.dropped << ", duplicated "
              << counts.duplicated << ", reordered " << counts.reordered << " in "
              << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() << " ms\n";
    for (int side = 0; side < 2; ++side)
    {
        EXPECT_EQ(pair.ends[side]->RemoveCallback(InterfaceOf(logs[side]), NETWORK_CHANNEL_1), 0);
        pair.ends[side]->CloseConnection();
    }
}

// ---- The lossy-link table

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

using Site = NetworkSendFaults::Site;
constexpr const char* kSiteNames[Site::SITE_COUNT] = {"the first datagram of a pass", "a middle chunk",
                                                      "the last datagram of a pass", "an acknowledgement",
                                                      "a resend request"};

// The test's send-fault hook: counts every send of the reliable path per site
// and fails the row's share of them, drawn from the row's seed.
struct SendFaults
{
    std::atomic<unsigned int> percent{0};
    std::array<std::atomic<std::uint64_t>, Site::SITE_COUNT> sent{};
    std::array<std::atomic<std::uint64_t>, Site::SITE_COUNT> failed{};
    std::mutex lock;
    std::mt19937 random;
};
SendFaults gFaults;

NetworkError FailSome(Site site)
{
    gFaults.sent[site].fetch_add(1);
    const unsigned int percent = gFaults.percent.load();
    if (percent == 0)
    {
        return NETWORK_NO_ERROR;
    }
    // A site's first send under faults fails, so that every site fails even
    // where it sends little (a resend request only follows a gap).
    if (gFaults.failed[site].load() != 0)
    {
        std::lock_guard<std::mutex> guard(gFaults.lock);
        if (gFaults.random() % 100 >= percent)
        {
            return NETWORK_NO_ERROR;
        }
    }
    gFaults.failed[site].fetch_add(1);
    return NETWORK_SEND_FAILED;
}

enum class Trouble
{
    LOSSY,
    SEND_FAULTS,
    STALLED_LINK,
    STALL_OUTLASTS_ROOM,
    END_CLOSES,
    PEER_VANISHES,
    COUNT
};
constexpr const char* kTroubleNames[] = {"a lossy link",       "failing sends",
                                         "a stalled link",     "a stall past the room wait",
                                         "an end that closes", "a peer that vanishes"};
// How long a send at the bound waits for room where the stall outlasts it.
constexpr std::uint32_t kShortRoomMilliseconds = 150;
// How long a departed end is watched for a datagram it should not send: more
// than a resend falls due after.
constexpr std::chrono::milliseconds kQuietBound{LNetworkConnection::kResendAfterMilliseconds + 100};
// Sends made after a close or a departure, on top of the stream's own.
constexpr std::size_t kProbes = 2;
// Where a send fails without a socket (after a close).
constexpr NetworkError kNoSocket = static_cast<NetworkError>(-1);

// One seed's run: everything in it is drawn from the seed.
struct Row
{
    std::uint32_t seed = 0;
    Trouble trouble = Trouble::LOSSY;
    LossyUdpRelay::Options link;
    unsigned int faultPercent = 0;
    NetworkChannelNumber channel = NETWORK_CHANNEL_0;
    // The end the trouble is at, and the message of its stream it starts at.
    int side = 0;
    std::size_t troubleAt = 0;
    // Each end's stream, then its probes and the message that wakes it.
    std::size_t messages = 0;
    std::vector<std::size_t> sizes[2];
};

Row RowOf(std::uint32_t seed)
{
    std::mt19937 random(seed);
    Row row;
    row.seed = seed;
    row.trouble = static_cast<Trouble>(seed % static_cast<std::uint32_t>(Trouble::COUNT));
    const bool stall = row.trouble == Trouble::STALLED_LINK || row.trouble == Trouble::STALL_OUTLASTS_ROOM;
    row.link.seed = seed;
    // A stall is made good by resending the whole bound: through little loss,
    // so that the row stays short.
    row.link.dropPercent = random() % (stall ? 3 : 11);
    row.link.duplicatePercent = random() % 6;
    row.link.reorderPercent = random() % 6;
    row.link.delayPercent = random() % 6;
    row.link.refusePerMille = row.trouble == Trouble::PEER_VANISHES ? 1 + random() % 2 : 0;
    row.faultPercent = row.trouble == Trouble::SEND_FAULTS ? 2 + random() % 4 : 0;
    row.channel = random() % 2 == 0 ? NETWORK_CHANNEL_0 : NETWORK_CHANNEL_1;
    row.side = static_cast<int>(random() % 2);
    // A stalled end reaches its bound within its stream: large messages, and
    // about a third more of them after the stall than the bound takes.
    row.messages = stall ? 120 : (kSanitized ? 60 : 150);
    row.troubleAt = stall ? 5 + random() % 10 : row.messages / 4 + random() % (row.messages / 2);
    for (int side = 0; side < 2; ++side)
    {
        for (std::size_t i = 0; i < row.messages + kProbes + 1; ++i)
        {
            // Small ones coalesce, a few are parts of multi-part messages.
            const unsigned int kind = random() % 20;
            row.sizes[side].push_back(stall && side == row.side ? 16000 + random() % 14000
                                      : kind < 10               ? 6 + random() % 200
                                      : kind < 17               ? 6 + random() % 8134
                                                                : 8141 + random() % 22000);
        }
    }
    return row;
}

std::string Describe(const Row& row)
{
    std::ostringstream text;
    text << "seed " << row.seed << " (VELQUIN_LOSSY_SEED=" << row.seed
         << "): " << kTroubleNames[static_cast<int>(row.trouble)] << " at end " << row.side
         << " from message " << row.troubleAt << ", " << row.messages << " messages each way on channel "
         << row.channel << ", drop " << row.link.dropPercent << "%, duplicate " << row.link.duplicatePercent
         << "%, reorder " << row.link.reorderPercent << "%, delay " << row.link.delayPercent << "%, refuse "
         << row.link.refusePerMille << " per thousand, failing sends " << row.faultPercent << "%";
    return text.str();
}

std::string NameOf(NetworkError error)
{
    return std::to_string(error) + " " + GetNetworkErrorText(error).CStr();
}

bool Named(NetworkError error)
{
    return std::string(GetNetworkErrorText(error).CStr()) != "Undefined Error";
}

// What a send of a message of size may leave a reliable channel keeping: its
// bound, and the message that met it.
std::size_t MostKept(std::size_t size)
{
    const std::size_t parts =
        (size + NetworkWireFormat::kMaxPartPayloadSize - 1) / NetworkWireFormat::kMaxPartPayloadSize;
    return NetworkSendBacklog::kMostBytes +
           parts * (LNetworkConnectionSendBuffer::BlockBytes(NetworkWireFormat::kMaxPartPayloadSize) +
                    NetworkSendBacklog::kKeptOverheadBytes);
}

// One send and what was known when it started.
struct Outcome
{
    std::uint32_t index = 0;
    NetworkError result = NETWORK_NO_ERROR;
    bool told = false;   // the end had been told of a connection error
    bool closed = false; // the end had been closed
};

// One end of a row: its connection, the log of what it receives, its stream's
// sender and what each send returned. Outcomes and the most seen are guarded
// by lock.
struct End
{
    End(const Row& ofRow, int atSide, const KT::RCPtr<LNetworkConnection>& ofConnection)
        : row(ofRow), side(atSide), connection(ofConnection), log(new LDeliveryLog(ofRow.sizes[1 - atSide]))
    {
    }
    ~End()
    {
        if (sender.joinable())
        {
            sender.join();
        }
    }

    // Streams the row's messages on a thread of its own; onTrouble runs
    // before the message the trouble starts at.
    void Start(std::function<void()> onTrouble)
    {
        sender = std::thread(
            [this, onTrouble]
            {
                for (std::size_t i = 0; i < row.messages; ++i)
                {
                    if (onTrouble && i == row.troubleAt)
                    {
                        onTrouble();
                        troubleStarted.store(true);
                    }
                    Send(i);
                }
                done.store(true);
            });
    }
    void Send(std::size_t index)
    {
        Outcome outcome{static_cast<std::uint32_t>(index), NETWORK_NO_ERROR, log->Told() != NETWORK_NO_ERROR,
                        closed.load()};
        outcome.result =
            connection->SendMessage(BufferOf(MakeMessage(index, row.sizes[side][index])), row.channel);
        roomFailures.fetch_add(outcome.result == NETWORK_OBJECT_OUT_OF_MEMORY ? 1 : 0);
        std::lock_guard<std::mutex> guard(lock);
        outcomes.push_back(outcome);
        mostKept = std::max(mostKept, KeptBytes());
        mostHeld = std::max(mostHeld, connection->GetReceiveBacklog().GetBytes());
    }
    void Close()
    {
        connection->CloseConnection();
        closed.store(true);
    }
    // One more message, so that an end learns what became of its peer; once.
    void Wake()
    {
        if (!woken.exchange(true))
        {
            Send(row.messages + kProbes);
        }
    }
    std::vector<Outcome> Outcomes()
    {
        std::lock_guard<std::mutex> guard(lock);
        return outcomes;
    }
    std::size_t KeptBytes() const { return connection->GetSendBacklog(row.channel)->GetBytes(); }
    bool KeepsNothing()
    {
        return KeptBytes() == 0 && connection->GetPreviousSequenceMsgCount(row.channel) == 0;
    }

    const Row& row;
    const int side;
    const KT::RCPtr<LNetworkConnection> connection;
    const KT::RCPtr<LDeliveryLog> log;
    std::thread sender;
    std::atomic<bool> troubleStarted{false};
    std::atomic<bool> done{false};
    std::atomic<bool> closed{false};
    std::atomic<bool> woken{false};
    std::atomic<int> roomFailures{0};
    std::mutex lock;
    std::vector<Outcome> outcomes;
    std::size_t mostKept = 0;
    std::size_t mostHeld = 0;
};

// Where what arrived first differs from what was sent successfully, or empty.
// With whole, everything sent successfully must have arrived.
std::string CompareDeliveries(const std::vector<Outcome>& outcomes,
                              const std::vector<std::uint32_t>& delivered, bool whole)
{
    std::vector<std::uint32_t> succeeded;
    std::vector<NetworkError> results(outcomes.size() + kProbes + 1, NETWORK_NO_ERROR);
    for (const Outcome& outcome : outcomes)
    {
        results.at(outcome.index) = outcome.result;
        if (outcome.result == NETWORK_NO_ERROR)
        {
            succeeded.push_back(outcome.index);
        }
    }
    std::ostringstream text;
    const auto mismatch =
        std::mismatch(delivered.begin(), delivered.end(), succeeded.begin(), succeeded.end());
    if (mismatch.first != delivered.end())
    {
        text << "message " << *mismatch.first << " (its send returned " << NameOf(results.at(*mismatch.first))
             << ") arrived where "
             << (mismatch.second != succeeded.end() ? std::to_string(*mismatch.second) : "nothing more")
             << " was due";
    }
    else if (whole && mismatch.second != succeeded.end())
    {
        text << delivered.size() << " of the " << succeeded.size()
             << " messages sent successfully arrived; the first missing is " << *mismatch.second;
    }
    return text.str();
}

// The end's peer left (departed), or the end was closed: a departed end is
// told. From then on its sends fail at once, what it kept goes, and nothing
// more leaves a departed end, even once its port takes datagrams again.
void ExpectEnded(End& end, LossyUdpRelay& relay, bool departed)
{
    const char* const when = departed ? "after its peer left" : "after its close";
    if (departed && end.log->Told() == NETWORK_NO_ERROR)
    {
        end.Wake();
    }
    EXPECT_TRUE(!departed || end.log->WaitForTold(kBound))
        << "end " << end.side << " was never told its peer left";
    EXPECT_TRUE(Eventually([&] { return end.KeepsNothing(); }))
        << "end " << end.side << " still keeps " << end.KeptBytes() << " bytes " << when;
    for (std::size_t probe = 0; probe < kProbes; ++probe)
    {
        end.Send(end.row.messages + probe);
    }
    for (const Outcome& outcome : end.Outcomes())
    {
        // A send that waited for room and timed out did not fail at once.
        const bool accepted =
            departed ? outcome.result != NETWORK_NO_ERROR && outcome.result != NETWORK_OBJECT_OUT_OF_MEMORY &&
                           Named(outcome.result)
                     : outcome.result == kNoSocket || outcome.result == NETWORK_CONNECTION_CLOSED;
        EXPECT_TRUE(accepted || !(departed ? outcome.told : outcome.closed))
            << "end " << end.side << ": message " << outcome.index << ", sent " << when << ", returned "
            << NameOf(outcome.result);
    }
    if (departed)
    {
        ASSERT_TRUE(relay.Reopen(end.side));
        const std::uint64_t before = relay.ReceivedFrom(end.side);
        EXPECT_FALSE(Eventually([&] { return relay.ReceivedFrom(end.side) > before; }, kQuietBound))
            << "end " << end.side << " still sends " << when << ": " << relay.ReceivedFrom(end.side) - before
            << " datagrams";
    }
}

void RunRow(const Row& row)
{
    SCOPED_TRACE(Describe(row));
    std::cout << "[ lossy    ] " << Describe(row) << std::endl;
    const auto started = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> guard(gFaults.lock);
        gFaults.random.seed(row.seed);
    }
    gFaults.percent.store(row.faultPercent);
    std::optional<NetworkTimeouts::ScopedOverride> shortRoom;
    if (row.trouble == Trouble::STALL_OUTLASTS_ROOM)
    {
        shortRoom.emplace(NetworkTimeoutList::SEND_ROOM, kShortRoomMilliseconds);
    }
    RelayedPair pair(row.link);
    ASSERT_TRUE(pair.Linked());
    LossyUdpRelay& relay = pair.relay;
    End ends[2] = {End(row, 0, pair.ends[0]), End(row, 1, pair.ends[1])};
    for (End& end : ends)
    {
        ASSERT_EQ(end.connection->SetCallback(InterfaceOf(end.log), row.channel), 0);
    }
    End& troubled = ends[row.side];
    std::function<void()> onTrouble;
    switch (row.trouble)
    {
    case Trouble::STALLED_LINK:
    case Trouble::STALL_OUTLASTS_ROOM:
        onTrouble = [&] { relay.Stall(row.side, true); };
        break;
    case Trouble::END_CLOSES:
        onTrouble = [&] { troubled.Close(); };
        break;
    case Trouble::PEER_VANISHES:
        // Unless a refused datagram has made a peer vanish already.
        onTrouble = [&]
        {
            if (!relay.IsGone(0) && !relay.IsGone(1))
            {
                static_cast<void>(relay.Vanish(row.side));
            }
        };
        break;
    default:
        break;
    }
    ends[row.side].Start(onTrouble);
    ends[1 - row.side].Start({});

    if (row.trouble == Trouble::STALLED_LINK || row.trouble == Trouble::STALL_OUTLASTS_ROOM)
    {
        // The stall lasts until the troubled end waits at its bound, or its
        // sends fail for want of room.
        const bool reached = Eventually(
            [&]
            {
                return troubled.done.load() ||
                       (troubled.troubleStarted.load() &&
                        (row.trouble == Trouble::STALLED_LINK
                             ? troubled.connection->GetSendBacklog(row.channel)->GetWaitingCount() != 0
                             : troubled.roomFailures.load() != 0));
            },
            6 * kBound);
        EXPECT_TRUE(reached) << "the stalled end never waited at its bound";
        relay.Stall(row.side, false);
    }
    for (End& end : ends)
    {
        end.sender.join();
    }
    shortRoom.reset();

    // A peer closed by its end's own hand is gone too: the other end learns
    // of it from its next send.
    const bool closing = row.trouble == Trouble::END_CLOSES;
    bool departed[2] = {relay.IsGone(0), relay.IsGone(1)};
    if (closing)
    {
        End& peer = ends[1 - row.side];
        if (peer.log->Told() == NETWORK_NO_ERROR)
        {
            peer.Wake();
        }
        departed[peer.side] = Eventually([&] { return relay.IsGone(peer.side); });
        EXPECT_TRUE(departed[peer.side]) << "the relay never saw end " << row.side << " close";
    }
    const bool live = !closing && !departed[0] && !departed[1];
    for (End& end : ends)
    {
        const int side = end.side;
        End& peer = ends[1 - side];
        if (live)
        {
            const std::vector<Outcome> sent = peer.Outcomes();
            EXPECT_TRUE(end.log->WaitForCount(
                static_cast<std::size_t>(
                    std::count_if(sent.begin(), sent.end(), [](const Outcome& o) { return o.result == 0; })),
                6 * kBound));
        }
        EXPECT_EQ(end.log->Fault(), "") << "at end " << side;
        EXPECT_EQ(CompareDeliveries(peer.Outcomes(), end.log->Delivered(), live), "")
            << "from end " << peer.side << " to end " << side;
        for (const Outcome& outcome : end.Outcomes())
        {
            EXPECT_TRUE(outcome.result == NETWORK_NO_ERROR || Named(outcome.result) ||
                        (outcome.closed && outcome.result == kNoSocket))
                << "end " << side << ": message " << outcome.index << " returned " << NameOf(outcome.result);
        }
        EXPECT_LE(end.mostKept, MostKept(*std::max_element(row.sizes[side].begin(), row.sizes[side].end())))
            << "end " << side << " kept more than its bound";
        EXPECT_LE(end.mostHeld, NetworkReceiveBacklog::kMostBytes + NetworkWireFormat::kMaxPartPayloadSize +
                                    NetworkReceiveBacklog::kHeldOverheadBytes)
            << "end " << side << " held more than its bound";
        if (live)
        {
            // The worker reports an acknowledgement or a resend request that
            // it could not send, and goes on: only the hook's own failure may
            // be told on a live link.
            const NetworkError told = end.log->Told();
            EXPECT_TRUE(told == NETWORK_NO_ERROR ||
                        (row.trouble == Trouble::SEND_FAULTS && told == NETWORK_SEND_FAILED))
                << "end " << side << " was told of an error on a live link: " << NameOf(told);
            EXPECT_TRUE(Eventually([&] { return end.KeepsNothing(); }))
                << "end " << side << " still keeps " << end.KeptBytes() << " bytes on a live link";
        }
    }
    if (!live)
    {
        // The departed ends first; then an end that is left on its own goes
        // too, as a program whose peer vanished closes its connection.
        for (End& end : ends)
        {
            if (departed[end.side])
            {
                ExpectEnded(end, relay, true);
            }
        }
        for (End& end : ends)
        {
            if (!departed[end.side])
            {
                if (!end.closed.load())
                {
                    end.Close();
                }
                ExpectEnded(end, relay, false);
            }
        }
    }
    for (End& end : ends)
    {
        EXPECT_EQ(end.connection->RemoveCallback(InterfaceOf(end.log), row.channel), 0);
        end.connection->CloseConnection();
    }
    const LossyUdpRelay::Counts counts = relay.GetCounts();
    std::cout << "[ lossy    ] seed " << row.seed << ": " << counts.forwarded << " datagrams relayed, "
              << counts.dropped << " dropped, " << counts.duplicated << " duplicated, " << counts.reordered
              << " reordered, " << counts.delayed << " delayed, " << counts.refused << " refused in "
              << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                       started)
                     .count()
              << " ms" << std::endl;
}

// Runs the seeds with the send-fault hook in place; false when
// VELQUIN_LOSSY_SEED named one seed, which ran alone.
bool RunSeeds(std::uint32_t first, std::uint32_t count)
{
    const NetworkSendFaults::Hook previous = NetworkSendFaults::Exchange(&FailSome);
    for (std::size_t site = 0; site < Site::SITE_COUNT; ++site)
    {
        gFaults.sent[site].store(0);
        gFaults.failed[site].store(0);
    }
    const char* const replay = std::getenv("VELQUIN_LOSSY_SEED");
    if (replay != nullptr)
    {
        RunRow(RowOf(static_cast<std::uint32_t>(std::strtoul(replay, nullptr, 10))));
    }
    for (std::uint32_t seed = first;
         replay == nullptr && seed < first + count && !testing::Test::HasFatalFailure(); ++seed)
    {
        RunRow(RowOf(seed));
    }
    gFaults.percent.store(0);
    static_cast<void>(NetworkSendFaults::Exchange(previous));
    return replay == nullptr;
}

TEST(NetworkReliableLossyLink, EverySeedOfTheTableKeepsDeliveryBoundsAndEndingsAndFailsEverySendSite)
{
    // One seed of each trouble.
    if (!RunSeeds(1, static_cast<std::uint32_t>(Trouble::COUNT)))
    {
        return;
    }
    for (std::size_t site = 0; site < Site::SITE_COUNT; ++site)
    {
        EXPECT_GT(gFaults.failed[site].load(), 0u)
            << "no seed failed " << kSiteNames[site] << " (" << gFaults.sent[site].load() << " sent)";
    }
}

TEST(NetworkReliableLossyLinkSoak, ManyMoreSeedsKeepDeliveryBoundsAndEndings)
{
    static_cast<void>(RunSeeds(1000, 40 * static_cast<std::uint32_t>(Trouble::COUNT)));
}

} // namespace
