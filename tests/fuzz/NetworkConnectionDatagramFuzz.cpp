// The receiver of a message connection over a UDP data socket fed a peer's
// datagrams, with the reliable channels' sequencing and the acknowledgement
// worker. For each input a new connection (registered on every channel) is
// made on a UDP socket connected to the fuzz target's own UDP socket on
// 127.0.0.1, so that no input inherits sequence IDs or reassembly from another.
//
// The input: one byte, whose bits 0-2 and 3-5 say how many messages the
// connection first sends on reliable channels 0 and 1 itself (numbered from 0,
// kept until acknowledged); then datagrams, each a 16-bit little-endian length
// and that many bytes (the last one cut to what is left). After them come the
// closing datagrams: a plain message on each ordinary channel and, on each
// reliable channel, one that follows the last message accepted there.
//
// Each datagram is framed alone by NetworkHeaderSearch (FramedStream.h); the
// fuzz target follows the receiver's rules on what it frames: a reliable
// channel accepts a message whose sequence ID follows the last accepted one,
// counting the older messages it carries, drops duplicates, and drops a
// message after a gap, wanting the gap resent; parts of a multi-part message
// join when parts 0 to n-1 of one count n follow one another on a channel.
//
// Properties: every channel delivers exactly the messages so accepted, in
// order, with payload, sequence ID and count, then its closing message; the
// control channels deliver nothing and no error is reported. Every datagram
// the connection sends is one whole frame: an acknowledgement naming a
// reliable channel and a sequence ID accepted there, a resend request naming
// one the receiver wanted, or a chunk of the connection's own messages (the
// newest first, each older one's payload behind it). The last sequence ID
// accepted on a reliable channel is acknowledged, and the last one wanted is
// asked for. The connection keeps its own messages until the peer
// acknowledges them: never fewer than the peer's highest acknowledgement
// leaves, and in the end no more than its last one leaves.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "fuzz/DeliveryRecorder.h"
#include "fuzz/FramedStream.h"
#include "fuzz/FuzzCheck.h"
#include "support/RawFrame.h"
#include "support/TestPorts.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnection.h"

using namespace FuzzFraming;

namespace
{

constexpr std::uint32_t kChannels = NetworkWireFormat::kChannelCount;
constexpr std::uint32_t kReliableChannels = 2;
constexpr std::uint32_t kOrdinaryChannels = NETWORK_CHANNEL_4 + 1;
// What an input may send at once: the connection's socket buffer holds it all
// (a datagram the system drops would read as one the receiver lost).
constexpr std::size_t kMaxDatagrams = 64;
constexpr std::size_t kMaxInputBytes = 64 * 1024;
constexpr std::chrono::seconds kBound{5};
const Bytes kClosingPayload = {'c', 'l', 'o', 's', 'e'};

class LRecorder : public LDeliveryRecorder
{
public:
    // Waits until every channel has delivered at least as many messages as
    // counts says, or an error came; what was delivered so far.
    std::vector<Delivery> WaitFor(const std::vector<std::size_t>& counts)
    {
        std::vector<Delivery> deliveries;
        static_cast<void>(WaitUntil(
            kBound,
            [&](const std::vector<Delivery>& delivered)
            {
                std::vector<std::size_t> seen(kChannels, 0);
                for (const Delivery& delivery : delivered)
                {
                    if (delivery.isError)
                    {
                        return true;
                    }
                    ++seen[delivery.channel];
                }
                for (std::uint32_t channel = 0; channel < kChannels; ++channel)
                {
                    if (seen[channel] < counts[channel])
                    {
                        return false;
                    }
                }
                return true;
            },
            deliveries, false));
        return deliveries;
    }
};

// The fuzz target's end: a UDP socket on 127.0.0.1 kept for the run,
// connected to each input's connection in turn.
struct Peer
{
    Peer()
    {
        for (int attempt = 0; attempt < 16 && port == 0; ++attempt)
        {
            descriptor = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            FUZZ_CHECK(descriptor >= 0);
            port = TestPorts::BindOutsideDefaultRange(descriptor);
            if (port == 0)
            {
                ::close(descriptor);
            }
        }
        FUZZ_CHECK(port != 0);
    }
    ~Peer() { ::close(descriptor); }

    // Talks to this port only from now on; what came before is dropped.
    void ConnectTo(std::uint16_t connectionPort)
    {
        const sockaddr_in address = TestPorts::LoopbackAddress(connectionPort);
        FUZZ_CHECK(::connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0);
        Bytes discarded;
        while (Read(discarded, 0))
        {
        }
    }
    void Send(const Bytes& datagram) const
    {
        ssize_t sent;
        do
        {
            sent = ::send(descriptor, datagram.data(), datagram.size(), 0);
        } while (sent < 0 && (errno == EINTR || errno == ECONNREFUSED));
        FUZZ_CHECK(sent == static_cast<ssize_t>(datagram.size()));
    }
    // One datagram within the time-out; false when none came. An error
    // queued by an earlier connection's port closing is read and passed over.
    bool Read(Bytes& datagram, int timeoutMilliseconds) const
    {
        for (;;)
        {
            pollfd entry{descriptor, POLLIN, 0};
            if (::poll(&entry, 1, timeoutMilliseconds) <= 0)
            {
                return false;
            }
            datagram.resize(65536);
            const ssize_t got = ::recv(descriptor, datagram.data(), datagram.size(), MSG_DONTWAIT);
            if (got >= 0)
            {
                datagram.resize(static_cast<std::size_t>(got));
                return true;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK)
            {
                return false;
            }
        }
    }

    int descriptor = -1;
    std::uint16_t port = 0;
};

Peer& ThePeer()
{
    static Peer peer;
    return peer;
}

// A UDP socket connected to the peer, on a port outside the range the
// library searches from for its own servers.
KT::RCPtr<LNetworkSocket> ConnectedSocket(std::uint16_t peerPort, std::uint16_t& port)
{
    for (int attempt = 0; attempt < 16; ++attempt)
    {
        KT::RCPtr<LNetworkSocket> socket = LNetworkSocket::Create(NETWORK_SOCKET_UDP);
        FUZZ_CHECK(socket.GetRaw() != nullptr &&
                   socket->Connect(TestPorts::kLoopback, peerPort, true, 0) == NETWORK_NO_ERROR);
        unsigned int address = 0;
        socket->GetSockName(address, port);
        if (port < TestPorts::kDefaultRangeFirst || port > TestPorts::kDefaultRangeLast)
        {
            return socket;
        }
    }
    FUZZ_CHECK(false);
    return KT::RCPtr<LNetworkSocket>();
}

// The payload of the connection's own message number on a reliable channel.
Bytes OwnPayload(std::uint32_t channel, std::int32_t number)
{
    return {'o', static_cast<unsigned char>(channel), static_cast<unsigned char>(number)};
}

KT::RCPtr<KT::LIBuffer> BufferOf(const Bytes& bytes)
{
    KT::RCPtr<KT::LIBuffer> buffer = KT::LBufferT<16, 0>::Create(bytes.size(), 0, true);
    std::memcpy(buffer->GetRawPtr(), bytes.data(), bytes.size());
    return buffer;
}

// What the receiver makes of the datagrams, by its rules.
class Model
{
public:
    void Receive(const Message& message)
    {
        const NetworkWireFormat::MessageHeader& header = message.header;
        const std::uint32_t channel = header.channel;
        const auto sequenceID = static_cast<std::int32_t>(header.sequenceID);
        if (channel >= kChannels)
        {
            return;
        }
        if (channel == NETWORK_CHANNEL_ACKNOWLEDGE || channel == NETWORK_CHANNEL_RESEND_REQUEST)
        {
            if (message.payload.size() >= 8)
            {
                const std::uint32_t about = RawPeer::GetLE32(message.payload.data());
                if (channel == NETWORK_CHANNEL_ACKNOWLEDGE && about < kReliableChannels)
                {
                    peerAcknowledged[about].push_back(
                        static_cast<std::int32_t>(RawPeer::GetLE32(message.payload.data() + 4)));
                }
            }
            return;
        }
        if (channel < kReliableChannels)
        {
            const std::int64_t last = lastReceived[channel];
            if (sequenceID <= last)
            {
                return;
            }
            if (sequenceID - std::int64_t{header.previousSequenceMsgCount} > last + 1)
            {
                wanted[channel].insert(static_cast<std::int32_t>(last + 1));
                lastWanted[channel] = static_cast<std::int32_t>(last + 1);
                return;
            }
            lastReceived[channel] = sequenceID;
            accepted[channel].insert(sequenceID);
        }
        Multipart& multipart = mMultipart[channel];
        if (header.multipartMsgCount <= 1)
        {
            multipart = Multipart();
            deliveries[channel].push_back({false, channel, sequenceID,
                                           static_cast<std::int32_t>(header.previousSequenceMsgCount),
                                           message.payload});
            return;
        }
        if (header.multipartMsgIndex == 0)
        {
            multipart = {true, header.multipartMsgCount, 1,
                         Delivery{false, channel, sequenceID,
                                  static_cast<std::int32_t>(1 - std::int64_t{header.multipartMsgCount}),
                                  message.payload}};
            return;
        }
        if (!multipart.active || header.multipartMsgIndex != multipart.nextIndex ||
            header.multipartMsgCount != multipart.count ||
            header.multipartMsgIndex >= header.multipartMsgCount ||
            message.payload.size() > NetworkWireFormat::kMaxPayloadSize - multipart.whole.payload.size())
        {
            multipart = Multipart();
            return;
        }
        multipart.whole.payload.insert(multipart.whole.payload.end(), message.payload.begin(),
                                       message.payload.end());
        multipart.whole.sequenceID = sequenceID;
        ++multipart.nextIndex;
        if (header.multipartMsgIndex + 1 == header.multipartMsgCount)
        {
            deliveries[channel].push_back(multipart.whole);
            multipart = Multipart();
        }
    }

    std::vector<Delivery> deliveries[kChannels];
    // Reliable channels: the last sequence ID accepted and every value it
    // took, the first sequence ID wanted again after each gap, and the
    // acknowledgements of the connection's own messages, in order.
    std::int32_t lastReceived[kReliableChannels] = {-1, -1};
    std::set<std::int32_t> accepted[kReliableChannels];
    std::set<std::int32_t> wanted[kReliableChannels];
    std::int32_t lastWanted[kReliableChannels] = {0, 0};
    std::vector<std::int32_t> peerAcknowledged[kReliableChannels];

private:
    struct Multipart
    {
        bool active = false;
        std::uint32_t count = 0;
        std::uint32_t nextIndex = 0;
        Delivery whole;
    };
    Multipart mMultipart[kChannels];
};

// The connection's own messages a reliable channel still keeps after the
// acknowledgement of sequence ID acknowledged, of sent numbered from 0.
std::uint32_t KeptAfter(std::int32_t acknowledged, std::int32_t sent)
{
    return acknowledged >= 0 && acknowledged < sent ? static_cast<std::uint32_t>(sent - acknowledged - 1)
                                                    : static_cast<std::uint32_t>(sent);
}

// What the connection sent and what was still to come when it was read.
struct Sent
{
    std::int32_t ownMessages[kReliableChannels] = {0, 0};
    bool acknowledged[kReliableChannels] = {false, false};
    bool askedAgain[kReliableChannels] = {false, false};
};

// Checks one datagram the connection sent.
void CheckSent(const Bytes& datagram, const Model& model, Sent& sent)
{
    RawPeer::FrameReader reader;
    reader.Feed(datagram.data(), datagram.size());
    const std::vector<RawPeer::RawFrame> frames = reader.TakeFrames();
    FUZZ_CHECK(!reader.Broken() && frames.size() == 1 && frames[0].Encode() == datagram);
    const RawPeer::RawFrame& frame = frames[0];
    FUZZ_CHECK(frame.extraHeader.empty() && frame.versionMajor == 2 && frame.versionMinor == 0);
    if (frame.channel == NETWORK_CHANNEL_ACKNOWLEDGE || frame.channel == NETWORK_CHANNEL_RESEND_REQUEST)
    {
        FUZZ_CHECK(frame.payload.size() == 8 && frame.sequenceID == 0);
        const std::uint32_t about = RawPeer::GetLE32(frame.payload.data());
        const auto sequence = static_cast<std::int32_t>(RawPeer::GetLE32(frame.payload.data() + 4));
        FUZZ_CHECK(about < kReliableChannels);
        if (frame.channel == NETWORK_CHANNEL_ACKNOWLEDGE)
        {
            FUZZ_CHECK(model.accepted[about].count(sequence) == 1);
            sent.acknowledged[about] = sent.acknowledged[about] || sequence == model.lastReceived[about];
        }
        else
        {
            FUZZ_CHECK(model.wanted[about].count(sequence) == 1);
            sent.askedAgain[about] = sent.askedAgain[about] || sequence == model.lastWanted[about];
        }
        return;
    }
    // A chunk of the connection's own messages: the newest first.
    FUZZ_CHECK(frame.channel < kReliableChannels && frame.multipartMsgCount == 1 &&
               frame.multipartMsgIndex == 0);
    const auto newest = static_cast<std::int32_t>(frame.sequenceID);
    const std::uint32_t older = frame.previousSequenceMsgCount;
    FUZZ_CHECK(newest >= 0 && newest < sent.ownMessages[frame.channel] && older <= std::uint32_t(newest));
    Bytes payload;
    for (std::int32_t number = newest; number >= newest - static_cast<std::int32_t>(older); --number)
    {
        const Bytes own = OwnPayload(frame.channel, number);
        payload.insert(payload.end(), own.begin(), own.end());
    }
    FUZZ_CHECK(frame.payload == payload);
}

// The input's datagrams, up to the bounds; false when it holds more.
bool SplitDatagrams(const std::uint8_t* data, std::size_t size, std::vector<Bytes>& datagrams)
{
    if (size > kMaxInputBytes)
    {
        return false;
    }
    std::size_t at = 0;
    while (at < size)
    {
        if (datagrams.size() == kMaxDatagrams)
        {
            return false;
        }
        std::size_t length = data[at];
        if (at + 1 < size)
        {
            length |= std::size_t{data[at + 1]} << 8;
        }
        at += at + 1 < size ? 2 : 1;
        length = std::min(length, size - at);
        datagrams.emplace_back(data + at, data + at + length);
        at += length;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Sent sent;
    std::vector<Bytes> datagrams;
    if (size > 0)
    {
        sent.ownMessages[0] = data[0] & 7;
        sent.ownMessages[1] = (data[0] >> 3) & 7;
        if (!SplitDatagrams(data + 1, size - 1, datagrams))
        {
            return 0;
        }
    }

    // The receiver's view, and the closing datagrams that follow.
    Model model;
    for (const Bytes& datagram : datagrams)
    {
        for (const Message& message : Frame(datagram.data(), datagram.size(), Reads::AllAtOnce, 0).messages)
        {
            model.Receive(message);
        }
    }
    std::vector<std::size_t> counts(kChannels, 0);
    for (std::uint32_t channel = 0; channel < kOrdinaryChannels; ++channel)
    {
        RawPeer::RawFrame closing = RawPeer::RawFrame::Plain(channel, 0, kClosingPayload);
        if (channel < kReliableChannels)
        {
            // Nothing follows the highest sequence ID.
            if (model.lastReceived[channel] == std::numeric_limits<std::int32_t>::max())
            {
                counts[channel] = model.deliveries[channel].size();
                continue;
            }
            closing.sequenceID = static_cast<std::uint32_t>(model.lastReceived[channel] + 1);
            closing.multipartMsgCount = 1;
        }
        const Bytes bytes = closing.Encode();
        datagrams.push_back(bytes);
        for (const Message& message : Frame(bytes.data(), bytes.size(), Reads::AllAtOnce, 0).messages)
        {
            model.Receive(message);
        }
        counts[channel] = model.deliveries[channel].size();
    }

    // A new connection on a socket connected to the peer.
    Peer& peer = ThePeer();
    std::uint16_t port = 0;
    const KT::RCPtr<LNetworkSocket> socket = ConnectedSocket(peer.port, port);
    peer.ConnectTo(port);
    KT::RCPtr<LNetworkConnection> connection = LNetworkConnection::Create(
        socket, KT::RCPtr<LNetworkSocket>(), LNetworkConnection::CONNECTION_DATA_SOCKET);
    FUZZ_CHECK(connection.GetRaw() != nullptr && connection->IsChannelReliable(0) &&
               connection->IsChannelReliable(1) && !connection->IsChannelReliable(2));
    KT::RCPtr<LRecorder> recorder(new LRecorder);
    for (std::uint32_t channel = 0; channel < kChannels; ++channel)
    {
        FUZZ_CHECK(connection->SetCallback(recorder, static_cast<NetworkChannelNumber>(channel)) == 0);
    }
    for (std::uint32_t channel = 0; channel < kReliableChannels; ++channel)
    {
        for (std::int32_t number = 0; number < sent.ownMessages[channel]; ++number)
        {
            FUZZ_CHECK(
                connection->SendMessage(KT::ConstRCPtr<KT::LIBuffer>(BufferOf(OwnPayload(channel, number))),
                                        static_cast<NetworkChannelNumber>(channel)) == NETWORK_NO_ERROR);
        }
    }
    for (const Bytes& datagram : datagrams)
    {
        peer.Send(datagram);
    }

    // Deliveries, channel by channel.
    const std::vector<Delivery> deliveries = recorder->WaitFor(counts);
    for (std::uint32_t channel = 0; channel < kChannels; ++channel)
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
        FUZZ_CHECK(got == model.deliveries[channel]);
    }

    // What the connection sent, until the last acceptance is acknowledged, the
    // last gap asked for and the acknowledged messages let go.
    std::uint32_t mostKept[kReliableChannels] = {};
    std::uint32_t leastKept[kReliableChannels] = {};
    for (std::uint32_t channel = 0; channel < kReliableChannels; ++channel)
    {
        const std::vector<std::int32_t>& acknowledgements = model.peerAcknowledged[channel];
        const std::int32_t own = sent.ownMessages[channel];
        mostKept[channel] =
            acknowledgements.empty() ? std::uint32_t(own) : KeptAfter(acknowledgements.back(), own);
        leastKept[channel] = std::uint32_t(own);
        for (std::int32_t acknowledged : acknowledgements)
        {
            leastKept[channel] = std::min(leastKept[channel], KeptAfter(acknowledged, own));
        }
    }
    const auto settled = [&]
    {
        for (std::uint32_t channel = 0; channel < kReliableChannels; ++channel)
        {
            if ((model.lastReceived[channel] >= 0 && !sent.acknowledged[channel]) ||
                (model.lastWanted[channel] != 0 && !sent.askedAgain[channel]) ||
                connection->GetPreviousSequenceMsgCount(channel) > mostKept[channel])
            {
                return false;
            }
        }
        return true;
    };
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    Bytes datagram;
    while (!settled())
    {
        FUZZ_CHECK(std::chrono::steady_clock::now() < deadline);
        if (peer.Read(datagram, 10))
        {
            CheckSent(datagram, model, sent);
        }
    }
    while (peer.Read(datagram, 0))
    {
        CheckSent(datagram, model, sent);
    }
    for (std::uint32_t channel = 0; channel < kReliableChannels; ++channel)
    {
        FUZZ_CHECK(connection->GetPreviousSequenceMsgCount(channel) >= leastKept[channel]);
    }

    // The registrations end; a last datagram wakes the receiver, which then
    // finds the connection closed and ends. Once only the acknowledgement
    // worker holds the connection besides this function, the last outside
    // release here stops the worker and frees the connection, so nothing of
    // this input outlives it.
    for (std::uint32_t channel = 0; channel < kChannels; ++channel)
    {
        FUZZ_CHECK(connection->RemoveCallback(recorder, static_cast<NetworkChannelNumber>(channel)) == 0);
    }
    connection->CloseConnection();
    peer.Send(RawPeer::RawFrame::Plain(NETWORK_CHANNEL_2, 0, kClosingPayload).Encode());
    const auto ended = std::chrono::steady_clock::now() + kBound;
    while (connection->GetReferenceCount() > 2 || connection->GetNumContainedReferences() > 1)
    {
        FUZZ_CHECK(std::chrono::steady_clock::now() < ended);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return 0;
}
