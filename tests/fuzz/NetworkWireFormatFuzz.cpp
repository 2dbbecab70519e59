// The fixed packets of a connection as a peer sends them: the 52-byte message
// header, the payload of an acknowledgement or resend request, and the
// dual-socket hello (and its answer), all read from the same input.
//
// Properties: a header read and written again is the same 52 bytes; a control
// payload that is accepted names a channel that exists, and the packet written
// from what was read carries the same payload behind a header that the header
// search accepts; an accepted hello written again from its port is the same 18
// bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/FuzzCheck.h"
#include "velquin/Common/CrossPlatform/Network/NetworkHeaderSearch.h"
#include "velquin/Common/CrossPlatform/Network/NetworkWireFormat.h"

using Wire = NetworkWireFormat;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size >= Wire::kHeaderSize)
    {
        unsigned char written[Wire::kHeaderSize];
        Wire::MessageHeader::Read(data).Write(written);
        FUZZ_CHECK(std::memcmp(written, data, Wire::kHeaderSize) == 0);
    }

    std::uint32_t channel = 0;
    std::uint32_t sequence = 0;
    if (Wire::ReadControlPacketPayload(data, size, channel, sequence))
    {
        FUZZ_CHECK(channel < Wire::kChannelCount);
        for (const NetworkChannelNumber kind : {NETWORK_CHANNEL_ACKNOWLEDGE, NETWORK_CHANNEL_RESEND_REQUEST})
        {
            unsigned char packet[Wire::kControlPacketSize];
            Wire::WriteControlPacket(packet, kind, channel, sequence);
            FUZZ_CHECK(NetworkHeaderSearch::IsAcceptable(packet));
            const Wire::MessageHeader header = Wire::MessageHeader::Read(packet);
            FUZZ_CHECK(header.channel == kind && header.totalSize == Wire::kControlPacketSize);
            FUZZ_CHECK(std::memcmp(packet + Wire::kHeaderSize, data,
                                   Wire::kControlPacketSize - Wire::kHeaderSize) == 0);
            std::uint32_t channelAgain = 0;
            std::uint32_t sequenceAgain = 0;
            FUZZ_CHECK(Wire::ReadControlPacketPayload(packet + Wire::kHeaderSize,
                                                      Wire::kControlPacketSize - Wire::kHeaderSize,
                                                      channelAgain, sequenceAgain));
            FUZZ_CHECK(channelAgain == channel && sequenceAgain == sequence);
        }
    }
    else
    {
        FUZZ_CHECK(size < Wire::kControlPacketSize - Wire::kHeaderSize || data[0] >= Wire::kChannelCount ||
                   data[1] != 0 || data[2] != 0 || data[3] != 0);
    }

    std::uint16_t port = 0;
    if (Wire::ReadDualSocketHello(data, size, port))
    {
        unsigned char hello[Wire::kDualHelloSize];
        Wire::WriteDualSocketHello(hello, port);
        FUZZ_CHECK(std::memcmp(hello, data, Wire::kDualHelloSize) == 0);
    }
    else
    {
        FUZZ_CHECK(size < Wire::kDualHelloSize ||
                   std::memcmp(data, Wire::CLIENT_COOKIE_DUAL_SOCKETS.mBytes, Wire::kHelloSize) != 0);
    }
    return 0;
}
