#include <gtest/gtest.h>

#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionTestSupport.h"
#include "Platform/ByteOrder.h"

using namespace ConnectionTest;
using RawPeer::RawFrame;

namespace
{

// What a registration should see of one message.
struct Expected
{
    std::uint32_t channel;
    std::int32_t sequenceID;
    std::int32_t count;
    Bytes payload;
};

// A message on channel 0 that ends every case, so that the test knows the
// receiver has read everything before it.
const Bytes kMarkerPayload = {'e', 'n', 'd'};
RawFrame Marker()
{
    return RawFrame::Plain(0, 999, kMarkerPayload);
}

Bytes Concat(const std::vector<Bytes>& pieces)
{
    Bytes all;
    for (const Bytes& piece : pieces)
    {
        all.insert(all.end(), piece.begin(), piece.end());
    }
    return all;
}

Bytes Garbage(std::size_t n)
{
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i)
    {
        // Includes the cookie's first byte, so that the search meets false starts.
        bytes[i] = static_cast<std::uint8_t>(i % 3 == 0 ? 0x13 : i);
    }
    return bytes;
}

RawFrame Part(std::uint32_t channel, std::uint32_t sequenceID, std::uint32_t index, std::uint32_t count,
              Bytes payload)
{
    RawFrame frame = RawFrame::Plain(channel, sequenceID, std::move(payload));
    frame.multipartMsgIndex = index;
    frame.multipartMsgCount = count;
    return frame;
}

// A connection whose one callback is registered on every channel.
struct Listening
{
    Listening() : callback(LRecordingCallback::Create())
    {
        if (!link.accepted)
        {
            return;
        }
        for (std::uint32_t channel = 0; channel < 7; ++channel)
        {
            registered =
                link.connection->SetCallback(callback, static_cast<NetworkChannelNumber>(channel)) == 0;
        }
    }
    ~Listening()
    {
        if (registered)
        {
            for (std::uint32_t channel = 0; channel < 7; ++channel)
            {
                static_cast<void>(
                    link.connection->RemoveCallback(callback, static_cast<NetworkChannelNumber>(channel)));
            }
        }
    }

    // Sends stream (cut where asked) then the marker, and checks what arrived.
    // Each channel has its own registration and delivery thread, so order is
    // compared channel by channel.
    void Check(const std::string& name, const Bytes& stream, const std::vector<std::size_t>& cuts,
               const std::vector<Expected>& expected)
    {
        const std::size_t before = callback->Deliveries().size();
        ASSERT_TRUE(link.peer.SendPieces(stream, cuts)) << name;
        ASSERT_TRUE(link.peer.Send(Marker())) << name;
        ASSERT_TRUE(callback->WaitFor(before + expected.size() + 1)) << name;
        const std::vector<Delivery> all = callback->Deliveries();
        ASSERT_EQ(all.size(), before + expected.size() + 1) << name;
        for (std::uint32_t channel = 0; channel < 7; ++channel)
        {
            std::vector<const Delivery*> got;
            for (std::size_t i = before; i < all.size(); ++i)
            {
                EXPECT_FALSE(all[i].isError) << name;
                if (all[i].channel == channel)
                {
                    got.push_back(&all[i]);
                }
            }
            if (channel == 0)
            {
                ASSERT_FALSE(got.empty()) << name;
                EXPECT_EQ(got.back()->payload, kMarkerPayload) << name;
                got.pop_back();
            }
            std::vector<const Expected*> wanted;
            for (const Expected& message : expected)
            {
                if (message.channel == channel)
                {
                    wanted.push_back(&message);
                }
            }
            ASSERT_EQ(got.size(), wanted.size()) << name << ", channel " << channel;
            for (std::size_t i = 0; i < got.size(); ++i)
            {
                EXPECT_EQ(got[i]->sequenceID, wanted[i]->sequenceID) << name << ", channel " << channel;
                EXPECT_EQ(got[i]->count, wanted[i]->count) << name << ", channel " << channel;
                EXPECT_TRUE(got[i]->payload == wanted[i]->payload)
                    << name << ", channel " << channel << ": " << got[i]->payload.size() << " bytes";
            }
        }
    }

    Linked link;
    KT::RCPtr<LRecordingCallback> callback;
    bool registered = false;
};

// A registration whose callback runs the test's first step, then waits until
// the test opens it, and keeps only the sequence IDs of what it is given, not
// the buffers, which the receiver may then use again.
class LGatedCallback : public LNetworkConnectionCallbackInterface
{
public:
    static KT::RCPtr<LGatedCallback> Create() { return KT::RCPtr<LGatedCallback>(new LGatedCallback); }

    void ReceivedMessageCallback(const KT::RCPtr<LNetworkConnection>&, const KT::ConstRCPtr<KT::LIBuffer>&,
                                 std::uint32_t, std::int32_t sequenceID, std::int32_t) override
    {
        if (sequenceID == 0 && mFirst)
        {
            mFirst();
        }
        std::unique_lock<std::mutex> guard(mLock);
        static_cast<void>(mChanged.wait_for(guard, kBound, [&] { return mOpen; }));
        mSequenceIDs.push_back(sequenceID);
        mChanged.notify_all();
    }
    void ConnectionErrorCallback(const KT::RCPtr<LNetworkConnection>&, NetworkError) override {}

    // Set before the first message comes.
    void SetFirst(std::function<void()> first) { mFirst = std::move(first); }
    void Open()
    {
        std::lock_guard<std::mutex> guard(mLock);
        mOpen = true;
        mChanged.notify_all();
    }
    // The sequence IDs delivered once count have come; empty if they do not.
    std::vector<std::int32_t> WaitFor(std::size_t count)
    {
        std::unique_lock<std::mutex> guard(mLock);
        const bool arrived = mChanged.wait_for(guard, kBound, [&] { return mSequenceIDs.size() >= count; });
        return arrived ? mSequenceIDs : std::vector<std::int32_t>();
    }

private:
    std::function<void()> mFirst;
    std::mutex mLock;
    std::condition_variable mChanged;
    bool mOpen = false;
    std::vector<std::int32_t> mSequenceIDs;
};

// A peer that sends far more than the backlog's bound to a registration whose
// callback waits: the receiver must stop at the bound. By default its
// messages each fill a receive block, so that the bound is three times over
// in few messages.
struct HeldBackBurst
{
    explicit HeldBackBurst(std::size_t payloadBytes = 8000)
        : kPayloadBytes(payloadBytes), kMessages(3 * NetworkReceiveBacklog::kMostBytes /
                                                 (payloadBytes + NetworkReceiveBacklog::kHeldOverheadBytes)),
          callback(LGatedCallback::Create())
    {
        registered = link.accepted && link.connection->SetCallback(callback, NETWORK_CHANNEL_0) == 0;
    }
    void Start()
    {
        Bytes stream;
        for (std::size_t i = 0; i < kMessages; ++i)
        {
            const Bytes frame =
                RawFrame::Plain(0, static_cast<std::uint32_t>(i), Bytes(kPayloadBytes, 4)).Encode();
            stream.insert(stream.end(), frame.begin(), frame.end());
        }
        sender = std::thread([this, stream] { sent = link.peer.Send(stream); });
    }
    ~HeldBackBurst()
    {
        callback->Open();
        if (sender.joinable())
        {
            sender.join();
        }
        if (registered)
        {
            static_cast<void>(link.connection->RemoveCallback(callback, NETWORK_CHANNEL_0));
        }
    }

    // Releases the callback; true when every message arrived, in order.
    bool DeliverAll()
    {
        callback->Open();
        const std::vector<std::int32_t> delivered = callback->WaitFor(kMessages);
        sender.join();
        bool inOrder = delivered.size() == kMessages && sent;
        for (std::size_t i = 0; inOrder && i < kMessages; ++i)
        {
            inOrder = delivered[i] == static_cast<std::int32_t>(i);
        }
        return inOrder;
    }

    const std::size_t kPayloadBytes;
    const std::size_t kMessages;
    Linked link;
    KT::RCPtr<LGatedCallback> callback;
    std::thread sender;
    bool sent = false;
    bool registered = false;
};

std::int64_t ProcessCpuMicroseconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

} // namespace

TEST(NetworkConnectionReceiver, FramesStreamsFedWholeOrInPieces)
{
    RawFrame longHeader = RawFrame::Plain(2, 4, {'x', 'y'});
    longHeader.versionMinor = 1;
    longHeader.extraHeader = Garbage(8);
    RawFrame wrongVersion = RawFrame::Plain(0, 1, {1});
    wrongVersion.versionMajor = 3;
    RawFrame longHeaderOldVersion = RawFrame::Plain(0, 2, {2});
    longHeaderOldVersion.extraHeader = Bytes(8, 0);
    RawFrame totalBelowHeader = RawFrame::Plain(0, 3, {3});
    totalBelowHeader.totalSize = 51;
    RawFrame coalesced = RawFrame::Plain(1, 9, RawPeer::PatternPayload(500));
    coalesced.previousSequenceMsgCount = 4;
    const Bytes large = RawPeer::PatternPayload(100000, 5);

    struct Case
    {
        const char* name;
        Bytes stream;
        std::vector<Expected> expected;
    };
    const Case cases[] = {
        {"two messages",
         Concat({RawFrame::Plain(0, 0, {'a', 'b'}).Encode(), RawFrame::Plain(3, 1, {'c'}).Encode()}),
         {{0, 0, 0, {'a', 'b'}}, {3, 1, 0, {'c'}}}},
        {"garbage and a longer header", Concat({Garbage(37), longHeader.Encode()}), {{2, 4, 0, {'x', 'y'}}}},
        {"headers that fail their checks",
         Concat({wrongVersion.Encode(), longHeaderOldVersion.Encode(), totalBelowHeader.Encode(),
                 RawFrame::Plain(0, 5, {5}).Encode()}),
         {{0, 5, 0, {5}}}},
        {"channel above six",
         Concat({RawFrame::Plain(7, 0, {7}).Encode(), RawFrame::Plain(6, 0, {}).Encode(),
                 RawFrame::Plain(4, 0, {4}).Encode()}),
         {{4, 0, 0, {4}}}},
        {"coalesced", coalesced.Encode(), {{1, 9, 4, RawPeer::PatternPayload(500)}}},
        {"100000 bytes", RawFrame::Plain(2, 7, large).Encode(), {{2, 7, 0, large}}},
    };

    Listening listening;
    ASSERT_TRUE(listening.registered);
    for (const Case& c : cases)
    {
        const std::size_t size = c.stream.size();
        listening.Check(std::string(c.name) + ", whole", c.stream, {}, c.expected);
        listening.Check(std::string(c.name) + ", cut in the header", c.stream,
                        {1, 16, 17, 31, 32, 51, 52, 53}, c.expected);
        listening.Check(std::string(c.name) + ", cut near the end", c.stream, {size / 2, size - 1},
                        c.expected);
        if (size < 200)
        {
            std::vector<std::size_t> everyByte;
            for (std::size_t i = 1; i < size; ++i)
            {
                everyByte.push_back(i);
            }
            listening.Check(std::string(c.name) + ", byte by byte", c.stream, everyByte, c.expected);
        }
    }
}

TEST(NetworkConnectionReceiver, ReassemblesMultipartMessagesPerChannel)
{
    const Bytes a = RawPeer::PatternPayload(4071, 1);
    const Bytes b = RawPeer::PatternPayload(4070, 2);
    const Bytes c = RawPeer::PatternPayload(10, 3);
    const Bytes abc = Concat({a, b, c});
    const Bytes big = RawPeer::PatternPayload(9 * 1024 * 1024, 4);

    struct Case
    {
        const char* name;
        std::vector<RawFrame> frames;
        std::vector<Expected> expected;
    };
    const Case cases[] = {
        {"three parts", {Part(0, 5, 0, 3, a), Part(0, 6, 1, 3, b), Part(0, 7, 2, 3, c)}, {{0, 7, -2, abc}}},
        {"three parts in one read",
         {Part(0, 1, 0, 3, {1}), Part(0, 2, 1, 3, {2, 2}), Part(0, 3, 2, 3, c)},
         {{0, 3, -2, Concat({{1, 2, 2}, c})}}},
        {"another channel between parts",
         {Part(0, 5, 0, 3, a), RawFrame::Plain(1, 0, {1}), Part(0, 6, 1, 3, b), Part(1, 1, 0, 2, {2}),
          Part(0, 7, 2, 3, c), Part(1, 2, 1, 2, {3})},
         {{1, 0, 0, {1}}, {0, 7, -2, abc}, {1, 2, -1, {2, 3}}}},
        {"a whole message on the same channel ends it",
         {Part(0, 5, 0, 3, a), RawFrame::Plain(0, 6, {6}), Part(0, 7, 1, 3, b), Part(0, 8, 2, 3, c)},
         {{0, 6, 0, {6}}}},
        {"a skipped index", {Part(0, 5, 0, 3, a), Part(0, 6, 2, 3, c)}, {}},
        {"a changed count", {Part(0, 5, 0, 3, a), Part(0, 6, 1, 2, b)}, {}},
        {"a part after the last",
         {Part(0, 5, 0, 2, a), Part(0, 6, 1, 2, b), Part(0, 7, 2, 2, c)},
         {{0, 6, -1, Concat({a, b})}}},
        {"no first part", {Part(0, 6, 1, 3, b), Part(0, 7, 2, 3, c)}, {}},
        {"a new first part restarts",
         {Part(0, 5, 0, 3, a), Part(0, 6, 1, 3, b), Part(0, 7, 0, 2, c), Part(0, 8, 1, 2, a)},
         {{0, 8, -1, Concat({c, a})}}},
        {"beyond the payload ceiling", {Part(0, 1, 0, 2, big), Part(0, 2, 1, 2, big)}, {}},
    };

    Listening listening;
    ASSERT_TRUE(listening.registered);
    for (const Case& c : cases)
    {
        Bytes stream;
        for (const RawFrame& frame : c.frames)
        {
            const Bytes bytes = frame.Encode();
            stream.insert(stream.end(), bytes.begin(), bytes.end());
        }
        listening.Check(c.name, stream, {}, c.expected);
    }

    // The whole keeps the first part's header, with the last part's number.
    listening.Check("header", Concat({Part(3, 20, 0, 2, {1}).Encode(), Part(3, 21, 1, 2, {2}).Encode()}), {},
                    {{3, 21, -1, {1, 2}}});
    const LNetworkConnectionSendBuffer* whole = nullptr;
    for (const Delivery& delivery : listening.callback->Deliveries())
    {
        if (delivery.channel == 3)
        {
            whole = dynamic_cast<const LNetworkConnectionSendBuffer*>(delivery.buffer.GetRaw());
        }
    }
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(KT::ReadLE32(whole->GetMessageHeader() + 44), 2u);
    EXPECT_EQ(KT::ReadLE32(whole->GetMessageHeader() + 48), 0u);
    EXPECT_EQ(KT::ReadLE32(whole->GetMessageHeader() + 36), 21u);
}

// Found by fuzzing: a sequence ID of -2^31 made an integer overflow in the
// delivery to a registration.
TEST(NetworkConnectionReceiver, DeliversTheLowestSequenceID)
{
    // Cookie; total 53, header 52, version 2.0; channel 0, sequence ID
    // 0x80000000, no earlier copies, not a part; one payload byte.
    const Bytes message = {0x13, 0xE1, 0x5C, 0x78, 0x28, 0x1E, 0xB6, 0x42, 0xB3, 0x3D, 0x69, 0x0F, 0x16, 0xE3,
                           0x5C, 0x7E, 0x35, 0x00, 0x00, 0x00, 0x34, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00,
                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x2A};
    Listening listening;
    ASSERT_TRUE(listening.registered);
    listening.Check("lowest sequence ID", message, {}, {{0, INT32_MIN, 0, {0x2A}}});
}

TEST(NetworkConnectionReceiver, ControlPacketsAreNotDelivered)
{
    Listening listening;
    ASSERT_TRUE(listening.registered);
    RawFrame acknowledgement = RawFrame::Plain(5, 0, {});
    RawPeer::PutLE32(acknowledgement.payload, 1);
    RawPeer::PutLE32(acknowledgement.payload, 7);
    RawFrame resendRequest = acknowledgement;
    resendRequest.channel = 6;
    RawFrame shortPacket = RawFrame::Plain(5, 0, {1, 0, 0});
    listening.Check("control packets",
                    Concat({acknowledgement.Encode(), resendRequest.Encode(), shortPacket.Encode()}), {}, {});
}

TEST(NetworkConnectionReceiver, WaitsWithoutSpinningOnAPartialHeader)
{
    Listening listening;
    ASSERT_TRUE(listening.registered);
    const Bytes frame = RawFrame::Plain(0, 3, {3}).Encode();
    ASSERT_TRUE(listening.link.peer.Send(Bytes(frame.begin(), frame.begin() + 20)));
    LNetworkConnection& connection = *listening.link.connection;
    ASSERT_TRUE(Eventually([&] { return connection.GetMillisecondsSinceLastReceive() >= 500; }));

    const std::uint64_t idleBefore = connection.GetMillisecondsSinceLastReceive();
    const std::int64_t cpuBefore = ProcessCpuMicroseconds();
    ASSERT_TRUE(
        Eventually([&] { return connection.GetMillisecondsSinceLastReceive() >= idleBefore + 1000; }));
    // A receiver that spun would have burnt the whole second.
    EXPECT_LT(ProcessCpuMicroseconds() - cpuBefore, 250000);

    ASSERT_TRUE(listening.link.peer.Send(Bytes(frame.begin() + 20, frame.end())));
    ASSERT_TRUE(listening.callback->WaitFor(1));
    EXPECT_EQ(listening.callback->Deliveries()[0].payload, Bytes({3}));
}

TEST(NetworkConnectionReceiver, FindsEveryMessageAmongRandomGarbageAndRandomCuts)
{
    Listening listening;
    ASSERT_TRUE(listening.registered);
    for (std::uint32_t seed : {1u, 2u, 3u})
    {
        std::mt19937 random(seed);
        Bytes stream;
        std::vector<Expected> expected;
        for (std::int32_t i = 0; i < 150; ++i)
        {
            Bytes garbage(random() % 300);
            for (std::uint8_t& byte : garbage)
            {
                byte = static_cast<std::uint8_t>(random());
            }
            const std::uint32_t channel = random() % 5;
            const Bytes payload = RawPeer::PatternPayload(random() % 20000, static_cast<std::uint8_t>(i));
            const Bytes frame = RawFrame::Plain(channel, static_cast<std::uint32_t>(i), payload).Encode();
            stream.insert(stream.end(), garbage.begin(), garbage.end());
            stream.insert(stream.end(), frame.begin(), frame.end());
            expected.push_back({channel, i, 0, payload});
        }
        std::vector<std::size_t> cuts;
        for (std::size_t at = random() % 20000; at < stream.size(); at += 1 + random() % 20000)
        {
            cuts.push_back(at);
        }
        listening.Check("seed " + std::to_string(seed), stream, cuts, expected);
    }
}

TEST(NetworkConnectionReceiver, StopsReadingAtTheBoundWhileARegistrationIsSlowAndLosesNothing)
{
    const std::size_t handedOver = NetworkConnectionReceiver::kMostHandedOver;
    const struct
    {
        const char* name;
        std::size_t payloadBytes;
        // The receive buffers the pool may hold beyond its start.
        std::size_t mostGrown;
    } cases[] = {
        // Each held message keeps its block.
        {"messages that fill their block", 8000, NetworkReceiveBacklog::kMostMessages},
        // Held messages are copied out of their blocks, which are read into
        // again: the pool grows by no more than the messages held before a
        // backlog built and those of one hand-over.
        {"small messages", 200, NetworkReceiveBacklog::kCompactAfterMessages + handedOver},
    };
    for (const auto& c : cases)
    {
        HeldBackBurst burst(c.payloadBytes);
        ASSERT_TRUE(burst.registered) << c.name;
        burst.Start();
        const NetworkReceiveBacklog& backlog = burst.link.connection->GetReceiveBacklog();
        // The first message's callback waits: the receiver reads up to the
        // bound and waits for deliveries, however much more the socket holds.
        ASSERT_TRUE(Eventually([&] { return backlog.IsHoldingBack(); })) << c.name;
        // The message that reached the bound may pass it.
        EXPECT_LE(backlog.GetMessages(), NetworkReceiveBacklog::kMostMessages) << c.name;
        EXPECT_LE(backlog.GetBytes(), NetworkReceiveBacklog::kMostBytes + c.payloadBytes +
                                          NetworkReceiveBacklog::kHeldOverheadBytes)
            << c.name;
        EXPECT_LE(burst.link.connection->GetReceiveBufferCount(),
                  LNetworkConnection::kControlReceiveBuffers + c.mostGrown)
            << c.name;
        EXPECT_TRUE(burst.DeliverAll()) << c.name;
        EXPECT_TRUE(burst.link.connection->IsConnectionActive()) << c.name;
    }
}

TEST(NetworkConnectionReceiver, GivesBackTheBuffersOfABurstOnceItIsDelivered)
{
    HeldBackBurst burst;
    ASSERT_TRUE(burst.registered);
    burst.Start();
    LNetworkConnection& connection = *burst.link.connection;
    ASSERT_TRUE(Eventually([&] { return connection.GetReceiveBacklog().IsHoldingBack(); }));
    EXPECT_GT(connection.GetReceiveBufferCount(), LNetworkConnection::kControlReceiveBuffers);
    ASSERT_TRUE(burst.DeliverAll());
    EXPECT_TRUE(Eventually(
        [&] { return connection.GetReceiveBufferCount() == LNetworkConnection::kControlReceiveBuffers; }))
        << connection.GetReceiveBufferCount() << " receive buffers";
    EXPECT_EQ(connection.GetReceiveBacklog().GetBytes(), 0u);
}

// A reply never waits behind deliveries: the receiver, held back at the
// bound, reads on while an exchange waits, whoever asks, and the reply comes
// behind every message of the burst.
TEST(NetworkConnectionReceiver, AReplyBehindAHeldBackBacklogReachesWhoeverAsks)
{
    enum Asker
    {
        kAnotherThread,
        kItsOwnCallback,
        kACallbackOfAnotherConnection,
    };
    const struct
    {
        const char* name;
        Asker asker;
    } cases[] = {
        {"another thread", kAnotherThread},
        // Only this callback's return would bring the backlog down.
        {"the waiting callback itself", kItsOwnCallback},
        // As when the held callback waits for a host lock that the other
        // connection's callback holds while it asks.
        {"a callback of another connection", kACallbackOfAnotherConnection},
    };
    for (const auto& c : cases)
    {
        HeldBackBurst burst;
        ASSERT_TRUE(burst.registered) << c.name;
        LNetworkConnection& connection = *burst.link.connection;
        burst.link.peer.SetResponder(
            [](const RawFrame& request)
            { return std::vector<RawFrame>(request.channel == 1, RawFrame::Plain(1, 0, {7})); });
        NetworkError asked = NETWORK_SEND_FAILED;
        Bytes replied;
        const auto ask = [&]
        {
            EXPECT_TRUE(Eventually([&] { return connection.GetReceiveBacklog().IsHoldingBack(); })) << c.name;
            KT::ConstRCPtr<KT::LIBuffer> reply;
            asked = connection.SendMessageWithReply(BufferOf({1}), NETWORK_CHANNEL_1, reply, 1, 2500,
                                                    KT::RCPtr<KT::LEvent>());
            replied = BytesOf(reply);
        };
        Linked other;
        KT::RCPtr<LRecordingCallback> otherCallback = LRecordingCallback::Create();
        if (c.asker == kItsOwnCallback)
        {
            burst.callback->SetFirst(ask);
        }
        burst.Start();
        if (c.asker == kAnotherThread)
        {
            ask();
        }
        else if (c.asker == kACallbackOfAnotherConnection)
        {
            ASSERT_TRUE(other.accepted) << c.name;
            otherCallback->SetHook(
                [&](LRecordingCallback&, const KT::RCPtr<LNetworkConnection>&, const Delivery&) { ask(); });
            ASSERT_EQ(other.connection->SetCallback(otherCallback, NETWORK_CHANNEL_0), 0) << c.name;
            ASSERT_TRUE(other.peer.Send(RawFrame::Plain(0, 0, {1}))) << c.name;
            EXPECT_TRUE(otherCallback->WaitFor(1)) << c.name;
            EXPECT_EQ(other.connection->RemoveCallback(otherCallback, NETWORK_CHANNEL_0), 0) << c.name;
        }
        EXPECT_TRUE(burst.DeliverAll()) << c.name;
        EXPECT_EQ(asked, NETWORK_NO_ERROR) << c.name;
        EXPECT_EQ(replied, Bytes({7})) << c.name;
        EXPECT_TRUE(connection.IsConnectionActive()) << c.name;
    }
}

// Closing wakes a receiver held back at the bound, whose wait would otherwise
// last its whole poll (here a minute), and every later wait ends at once.
TEST(NetworkReceiveBacklog, CloseEndsEveryWaitForRoom)
{
    NetworkReceiveBacklog backlog;
    backlog.Take(NetworkReceiveBacklog::kMostBytes);
    ASSERT_FALSE(backlog.HasRoom(0, 0));
    std::vector<std::future<bool>> waits;
    for (int receiver = 0; receiver < 2; ++receiver)
    {
        waits.push_back(std::async(std::launch::async, [&] { return backlog.WaitForRoom(60000); }));
    }
    ASSERT_TRUE(Eventually([&] { return backlog.IsHoldingBack(); }));
    backlog.Close();
    for (std::future<bool>& wait : waits)
    {
        ASSERT_EQ(wait.wait_for(kBound), std::future_status::ready);
        EXPECT_TRUE(wait.get());
    }
    EXPECT_TRUE(backlog.WaitForRoom(60000));
    backlog.GiveBack(NetworkReceiveBacklog::kMostBytes);
}
