#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "velquin/Common/CrossPlatform/Network/NetworkHeaderSearch.h"

namespace
{

using Bytes = std::vector<unsigned char>;

const Bytes kCookie = {0x13, 0xe1, 0x5c, 0x78, 0x28, 0x1e, 0xb6, 0x42,
                       0xb3, 0x3d, 0x69, 0x0f, 0x16, 0xe3, 0x5c, 0x7e};

void PutLE32(Bytes& out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
    {
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
    }
}

// A frame written from the byte layout, independently of the library's writer.
struct Frame
{
    std::uint32_t channel = 1;
    std::uint32_t sequence = 0;
    Bytes payload;
    std::uint32_t headerSize = 52;
    std::uint32_t versionMajor = 2;
    std::uint32_t versionMinor = 0;
    std::int64_t totalSize = -1; // -1: headerSize + payload size

    Bytes Encode() const
    {
        Bytes out = kCookie;
        PutLE32(out, totalSize >= 0 ? static_cast<std::uint32_t>(totalSize)
                                    : headerSize + static_cast<std::uint32_t>(payload.size()));
        PutLE32(out, headerSize);
        PutLE32(out, versionMajor);
        PutLE32(out, versionMinor);
        PutLE32(out, channel);
        PutLE32(out, sequence);
        for (int i = 0; i < 3; ++i)
        {
            PutLE32(out, 0);
        }
        for (std::uint32_t i = 52; i < headerSize && i < 8192; ++i)
        {
            out.push_back(static_cast<unsigned char>(0xE0 + i % 16)); // extra header bytes
        }
        out.insert(out.end(), payload.begin(), payload.end());
        return out;
    }
};

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
    {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes Text(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

struct Delivered
{
    std::uint32_t channel;
    std::uint32_t sequence;
    Bytes payload;

    bool operator==(const Delivered& other) const = default;
};

struct Outcome
{
    std::vector<Delivered> messages;
    Bytes held; // what the receiver still holds at the end of the stream

    bool operator==(const Outcome& other) const = default;
};

std::string Describe(const Outcome& outcome)
{
    std::string text;
    for (const Delivered& message : outcome.messages)
    {
        text += "[ch " + std::to_string(message.channel) + " seq " + std::to_string(message.sequence) + " " +
                std::string(message.payload.begin(), message.payload.end()) + "]";
    }
    return text + " holding " + std::to_string(outcome.held.size());
}

// Plays a receiver: takes the stream in the given chunks, does what each step
// says and records the messages it would deliver.
Outcome Receive(const Bytes& stream, const std::vector<std::size_t>& chunks)
{
    NetworkHeaderSearch search;
    Outcome outcome;
    Bytes& held = outcome.held;
    std::size_t fed = 0;
    for (const std::size_t chunk : chunks)
    {
        held.insert(held.end(), stream.begin() + fed, stream.begin() + fed + chunk);
        fed += chunk;
        for (int guard = 0;; ++guard)
        {
            EXPECT_LT(guard, 1000000) << "the search does not end";
            const NetworkHeaderSearch::Outcome step = search.Advance(held.data(), held.size());
            if (step.step == NetworkHeaderSearch::kNeedMore)
            {
                EXPECT_GT(step.count, 0u);
                break;
            }
            if (step.step == NetworkHeaderSearch::kDrop)
            {
                EXPECT_GT(step.count, 0u);
                EXPECT_LE(step.count, held.size());
                held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(step.count));
            }
            else if (step.step == NetworkHeaderSearch::kHeaderAccepted)
            {
                EXPECT_LE(52 + step.count, held.size());
                held.erase(held.begin() + 52, held.begin() + 52 + static_cast<std::ptrdiff_t>(step.count));
            }
            else
            {
                const std::size_t payload = search.GetPayloadSize();
                EXPECT_EQ(held.size(), 52 + payload + step.count);
                outcome.messages.push_back(Delivered{search.GetHeader().channel,
                                                     search.GetHeader().sequenceID,
                                                     Bytes(held.begin() + 52, held.begin() + 52 + payload)});
                held.erase(held.begin(), held.begin() + 52 + static_cast<std::ptrdiff_t>(payload));
            }
        }
    }
    return outcome;
}

// The stream fed whole, byte by byte, and cut in two at every offset must all
// give the expected outcome.
void ExpectOneOutcome(const char* name, const Bytes& stream, const Outcome& expected)
{
    const Outcome whole = Receive(stream, {stream.size()});
    EXPECT_EQ(whole, expected) << name << " fed whole: " << Describe(whole);
    const Outcome single = Receive(stream, std::vector<std::size_t>(stream.size(), 1));
    EXPECT_EQ(single, expected) << name << " fed byte by byte: " << Describe(single);
    for (std::size_t cut = 1; cut < stream.size(); ++cut)
    {
        const Outcome split = Receive(stream, {cut, stream.size() - cut});
        if (!(split == expected))
        {
            ADD_FAILURE() << name << " cut at " << cut << ": " << Describe(split);
            return;
        }
    }
}

} // namespace

TEST(NetworkHeaderSearch, EachStreamGivesOneOutcomeHoweverItIsCut)
{
    const Frame good{3, 9, Text("good")};
    const Delivered goodMessage{3, 9, Text("good")};
    Frame majorThree{1, 1, Text("bad")};
    majorThree.versionMajor = 3;
    Frame header51{1, 1, Text("bad")};
    header51.headerSize = 51;
    Frame totalTooSmall{1, 1, Text("bad")};
    totalTooSmall.totalSize = 51;
    Frame header60Minor0{1, 1, Text("bad")};
    header60Minor0.headerSize = 60;
    Frame header60Minor1{4, 2, Text("longer header")};
    header60Minor1.headerSize = 60;
    header60Minor1.versionMinor = 1;
    Frame headerTooLong{1, 1, Text("bad")};
    headerTooLong.headerSize = 8193;
    headerTooLong.versionMinor = 1;
    headerTooLong.totalSize = 8193;
    Frame headerLongest{5, 5, Text("x")};
    headerLongest.headerSize = 8192;
    headerLongest.versionMinor = 1;
    Frame payloadTooLarge{1, 1, {}};
    payloadTooLarge.totalSize = 52 + 16 * 1024 * 1024 + 1;
    const Frame empty{2, 0, {}};
    // A rejected header whose own bytes hold the next message: the search picks
    // it up from inside.
    Frame wrapper{1, 1, good.Encode()};
    wrapper.versionMajor = 3;
    const Bytes cookieStart(kCookie.begin(), kCookie.begin() + 10);
    const Bytes goodBytes = good.Encode();
    const Bytes goodStart(goodBytes.begin(), goodBytes.begin() + 40);

    struct Row
    {
        const char* name;
        Bytes stream;
        Outcome expected;
    };
    const Row rows[] = {
        {"one message", good.Encode(), {{goodMessage}, {}}},
        {"empty payload", empty.Encode(), {{{2, 0, {}}}, {}}},
        {"version 3 rejected", Concat({majorThree.Encode(), good.Encode()}), {{goodMessage}, {}}},
        {"header size 51 rejected", Concat({header51.Encode(), good.Encode()}), {{goodMessage}, {}}},
        {"total below header rejected", Concat({totalTooSmall.Encode(), good.Encode()}), {{goodMessage}, {}}},
        {"header 60 of version 2.0 rejected",
         Concat({header60Minor0.Encode(), good.Encode()}),
         {{goodMessage}, {}}},
        {"header 60 of version 2.1 skipped", header60Minor1.Encode(), {{{4, 2, Text("longer header")}}, {}}},
        {"header above 8192 rejected", Concat({headerTooLong.Encode(), good.Encode()}), {{goodMessage}, {}}},
        {"header of 8192 accepted", headerLongest.Encode(), {{{5, 5, Text("x")}}, {}}},
        {"payload above the ceiling rejected",
         Concat({payloadTooLarge.Encode(), good.Encode()}),
         {{goodMessage}, {}}},
        {"garbage before a cookie",
         Concat({Text("garbage \x13\xe1 more"), good.Encode()}),
         {{goodMessage}, {}}},
        {"cookie start in the garbage",
         Concat({cookieStart, Text("xx"), good.Encode()}),
         {{goodMessage}, {}}},
        {"next message inside a rejected one", wrapper.Encode(), {{goodMessage}, {}}},
        {"garbage then two messages",
         Concat({Text("0123456789abcdefXYZ"), good.Encode(), header60Minor1.Encode()}),
         {{goodMessage, {4, 2, Text("longer header")}}, {}}},
        {"surplus carried on",
         Concat({good.Encode(), empty.Encode(), goodStart}),
         {{goodMessage, {2, 0, {}}}, goodStart}},
        {"only garbage keeps its last 15 bytes",
         Text("0123456789abcdefghijklmnopqrstuvwxyz"),
         {{}, Text("lmnopqrstuvwxyz")}},
    };
    for (const Row& row : rows)
    {
        ExpectOneOutcome(row.name, row.stream, row.expected);
    }
}

TEST(NetworkHeaderSearch, NeedMoreAsksForTheMissingBytes)
{
    const Bytes stream = Frame{1, 0, Text("payload")}.Encode();
    NetworkHeaderSearch search;
    struct Row
    {
        std::size_t held;
        std::size_t more;
    };
    // Cookie, then the checked fields, then the header, then the payload.
    for (const Row row : {Row{0, 16}, Row{15, 1}, Row{16, 16}, Row{31, 1}, Row{32, 20}, Row{51, 1}})
    {
        const NetworkHeaderSearch::Outcome step = search.Advance(stream.data(), row.held);
        EXPECT_EQ(step.step, NetworkHeaderSearch::kNeedMore) << row.held;
        EXPECT_EQ(step.count, row.more) << row.held;
    }
    ASSERT_EQ(search.Advance(stream.data(), 52).step, NetworkHeaderSearch::kHeaderAccepted);
    const NetworkHeaderSearch::Outcome payload = search.Advance(stream.data(), 54);
    EXPECT_EQ(payload.step, NetworkHeaderSearch::kNeedMore);
    EXPECT_EQ(payload.count, 5u);
}

// Random bytes, with cookies and plausible headers sown in, in random chunks:
// the search must end, stay within what is held and never fault (run under
// AddressSanitizer).
TEST(NetworkHeaderSearch, RandomStreamsEndWithinTheHeldBytes)
{
    std::mt19937 random(13);
    for (int round = 0; round < 300; ++round)
    {
        Bytes stream;
        while (stream.size() < 4000)
        {
            const unsigned pick = random() % 4;
            if (pick == 0)
            {
                Frame frame{static_cast<std::uint32_t>(random() % 8), static_cast<std::uint32_t>(random()),
                            Bytes(random() % 300, 0x5A)};
                if (random() % 2 == 0)
                {
                    frame.headerSize = 40 + random() % 40;
                    frame.versionMinor = random() % 2;
                }
                if (random() % 4 == 0)
                {
                    frame.totalSize = random() % 1000;
                }
                const Bytes bytes = frame.Encode();
                stream.insert(stream.end(), bytes.begin(), bytes.end());
            }
            else if (pick == 1)
            {
                stream.insert(stream.end(), kCookie.begin(), kCookie.begin() + 1 + random() % 16);
            }
            else
            {
                for (unsigned i = random() % 64; i > 0; --i)
                {
                    stream.push_back(static_cast<unsigned char>(random()));
                }
            }
        }
        std::vector<std::size_t> chunks;
        for (std::size_t left = stream.size(); left > 0;)
        {
            const std::size_t chunk = std::min<std::size_t>(left, 1 + random() % 700);
            chunks.push_back(chunk);
            left -= chunk;
        }
        const Outcome outcome = Receive(stream, chunks);
        EXPECT_LE(outcome.held.size(), stream.size());
        if (HasFailure())
        {
            FAIL() << "round " << round;
        }
    }
}
