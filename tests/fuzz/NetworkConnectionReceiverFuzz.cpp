// The receiver of a TCP message connection fed a peer's byte stream: one
// connection (registered on every channel) linked to a raw peer on 127.0.0.1
// for the whole run receives, for each input, the input itself, zeros that
// complete whatever message the input leaves open, and then one plain closing
// message on each ordinary channel, which also ends any multi-part message
// under way there. The receiver frames with NetworkHeaderSearch; the fuzz
// target frames the same bytes with it too (FramedStream.h) and compares.
//
// Properties, channel by channel: the closing message arrives last and no error
// is reported (the stream stays framed); every plain message the search frames
// is delivered in order with its payload, sequence ID and count; between them
// come exactly the multi-part messages whose parts 0 to n-1 of count n the
// search framed one right after another on that channel, each delivered as its
// parts' payloads joined, with the last part's sequence ID and the count 1 - n;
// the control channels deliver nothing.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "fuzz/DeliveryRecorder.h"
#include "fuzz/FramedStream.h"
#include "fuzz/FuzzCheck.h"
#include "support/RawTcpPeer.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnection.h"

using namespace FuzzFraming;

namespace
{

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr std::uint32_t kOrdinaryChannels = NETWORK_CHANNEL_4 + 1;
// Zeros sent to complete an open message stay below this; an input that needs
// more is skipped (the header search target covers long payloads).
constexpr std::size_t kMaxPaddedStream = 1024 * 1024;
constexpr std::chrono::seconds kBound{20};

class LRecorder : public LDeliveryRecorder
{
public:
    // Waits until every ordinary channel has delivered the closing message
    // with this sequence ID, then hands over and forgets what was delivered.
    bool TakeUntilClosed(std::int32_t closingID, std::vector<Delivery>& out)
    {
        return WaitUntil(
            kBound,
            [&](const std::vector<Delivery>& deliveries)
            {
                std::uint32_t seen = 0;
                for (const Delivery& delivery : deliveries)
                {
                    seen += !delivery.isError && delivery.sequenceID == closingID ? 1 : 0;
                }
                return seen == kOrdinaryChannels;
            },
            out, true);
    }
};

// The peer and the connection, made for the first input and kept for the run;
// at exit the registrations end and the connection's receivers are joined.
struct Link
{
    Link() : recorder(new LRecorder)
    {
        connection =
            LNetworkConnection::Create(kLoopback, peer.Port(), LNetworkConnection::CONNECTION_CONTROL_SOCKET);
        FUZZ_CHECK(connection.GetRaw() != nullptr && peer.Accept() && peer.WaitForHello());
        for (std::uint32_t channel = 0; channel < NetworkWireFormat::kChannelCount; ++channel)
        {
            FUZZ_CHECK(connection->SetCallback(recorder, static_cast<NetworkChannelNumber>(channel)) == 0);
        }
    }
    ~Link()
    {
        for (std::uint32_t channel = 0; channel < NetworkWireFormat::kChannelCount; ++channel)
        {
            static_cast<void>(
                connection->RemoveCallback(recorder, static_cast<NetworkChannelNumber>(channel)));
        }
        connection->CloseConnection();
    }

    RawPeer::RawTcpPeer peer;
    KT::RCPtr<LNetworkConnection> connection;
    KT::RCPtr<LRecorder> recorder;
    std::int32_t nextClosingID = 0x40000000;
};

Link& TheLink()
{
    static Link link;
    return link;
}

// The input followed by the zeros that complete what it leaves open, so that
// the bytes after it are framed from a clean start; empty when too many zeros
// would be needed.
Bytes Completed(const unsigned char* data, std::size_t size)
{
    Bytes stream(data, data + size);
    for (int round = 0; round < 8; ++round)
    {
        const Framed framed = Frame(stream.data(), stream.size(), Reads::AllAtOnce, 0);
        std::size_t zeros = 0;
        if (framed.inPayload)
        {
            zeros = framed.payloadStillNeeded;
        }
        else if (framed.held.end() != std::find_if(framed.held.begin(), framed.held.end(),
                                                   [](unsigned char byte) { return byte != 0; }))
        {
            // A cut cookie or header: zeros either finish a header, whose
            // payload the next round completes, or get it dropped.
            zeros = NetworkWireFormat::kMaxPacketSize;
        }
        else
        {
            return stream;
        }
        if (stream.size() + zeros > kMaxPaddedStream)
        {
            return Bytes();
        }
        stream.resize(stream.size() + zeros, 0);
    }
    FUZZ_CHECK(false);
    return Bytes();
}

RawPeer::RawFrame Plain(std::uint32_t channel, std::int32_t sequenceID, const Bytes& payload)
{
    return RawPeer::RawFrame::Plain(channel, static_cast<std::uint32_t>(sequenceID), payload);
}

// What channel should deliver of the framed messages, in order.
std::vector<Delivery> Expected(const std::vector<Message>& messages, std::uint32_t channel)
{
    std::vector<const Message*> mine;
    for (const Message& message : messages)
    {
        if (message.header.channel == channel)
        {
            mine.push_back(&message);
        }
    }
    std::vector<Delivery> expected;
    for (std::size_t i = 0; i < mine.size();)
    {
        const NetworkWireFormat::MessageHeader& first = mine[i]->header;
        if (first.multipartMsgCount <= 1)
        {
            expected.push_back({false, channel, static_cast<std::int32_t>(first.sequenceID),
                                static_cast<std::int32_t>(first.previousSequenceMsgCount), mine[i]->payload});
            ++i;
            continue;
        }
        // Parts 0 to n-1 of one count n, one right after another.
        const std::uint32_t count = first.multipartMsgCount;
        std::size_t k = 0;
        while (k < count && i + k < mine.size() && mine[i + k]->header.multipartMsgCount == count &&
               mine[i + k]->header.multipartMsgIndex == k)
        {
            ++k;
        }
        if (k == count)
        {
            Delivery joined{false,
                            channel,
                            static_cast<std::int32_t>(mine[i + k - 1]->header.sequenceID),
                            static_cast<std::int32_t>(1 - static_cast<std::int64_t>(count)),
                            {}};
            for (std::size_t part = i; part < i + k; ++part)
            {
                joined.payload.insert(joined.payload.end(), mine[part]->payload.begin(),
                                      mine[part]->payload.end());
            }
            expected.push_back(std::move(joined));
            i += k;
        }
        else
        {
            i += k > 0 ? k : 1;
        }
    }
    return expected;
}

bool SameDelivery(const Delivery& a, const Delivery& b)
{
    return a.isError == b.isError && a.channel == b.channel && a.sequenceID == b.sequenceID &&
           a.count == b.count && a.payload == b.payload;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Bytes stream = Completed(data, size);
    if (stream.empty() && size > 0)
    {
        return 0;
    }
    const Framed framed = Frame(stream.data(), stream.size(), Reads::AllAtOnce, 0);

    Link& link = TheLink();
    // The closing messages are known by a sequence ID that no message of the
    // input carries (the fuzzer learns the IDs it is compared with).
    std::int32_t closingID = link.nextClosingID++;
    while (std::any_of(framed.messages.begin(), framed.messages.end(),
                       [&](const Message& message)
                       { return static_cast<std::int32_t>(message.header.sequenceID) == closingID; }))
    {
        closingID = link.nextClosingID++;
    }
    const Bytes closingPayload = {'c', 'l', 'o', 's', 'e'};
    Bytes sent = stream;
    for (std::uint32_t channel = 0; channel < kOrdinaryChannels; ++channel)
    {
        const Bytes closing = Plain(channel, closingID, closingPayload).Encode();
        sent.insert(sent.end(), closing.begin(), closing.end());
    }
    FUZZ_CHECK(link.peer.Send(sent));

    std::vector<Delivery> deliveries;
    FUZZ_CHECK(link.recorder->TakeUntilClosed(closingID, deliveries));
    for (std::uint32_t channel = 0; channel < NetworkWireFormat::kChannelCount; ++channel)
    {
        std::vector<Delivery> got;
        for (const Delivery& delivery : deliveries)
        {
            FUZZ_CHECK(!delivery.isError);
            if (delivery.channel == channel)
            {
                got.push_back(delivery);
            }
        }
        if (channel >= kOrdinaryChannels)
        {
            FUZZ_CHECK(got.empty());
            continue;
        }
        FUZZ_CHECK(!got.empty() && got.back().sequenceID == closingID &&
                   got.back().payload == closingPayload);
        got.pop_back();
        const std::vector<Delivery> expected = Expected(framed.messages, channel);
        FUZZ_CHECK(got.size() == expected.size());
        for (std::size_t i = 0; i < got.size(); ++i)
        {
            FUZZ_CHECK(SameDelivery(got[i], expected[i]));
        }
    }
    return 0;
}
