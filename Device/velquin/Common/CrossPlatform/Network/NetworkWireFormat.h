// The bytes a message connection puts on the wire: the hellos that open it, the
// 52-byte header before every message, the acknowledgement and resend-request
// packets of the reliable channels, the size limits and the split of a long
// payload into parts. Plain values and functions over caller-held bytes; every
// field is written and read little-endian, byte by byte. LNetworkConnection
// takes these names as its own by deriving from NetworkWireFormat.
#pragma once

#include <cstddef>
#include <cstdint>

#include "KTFramework/Utilities/Storage/GUID.h"
#include "velquin/Common/CrossPlatform/Network/NetworkError.h"

// A channel of a connection. Channels 0 and 1 are the reliable ones when the
// data socket is UDP; 5 and 6 carry acknowledgements and resend requests.
enum NetworkChannelNumber : std::uint32_t
{
    NETWORK_CHANNEL_0 = 0,
    NETWORK_CHANNEL_1 = 1,
    NETWORK_CHANNEL_2 = 2,
    NETWORK_CHANNEL_3 = 3,
    NETWORK_CHANNEL_4 = 4,
    NETWORK_CHANNEL_ACKNOWLEDGE = 5,
    NETWORK_CHANNEL_RESEND_REQUEST = 6,
};

struct NetworkWireFormat
{
    // The first 16 bytes of every message header: {785CE113-1E28-42B6-B33D-690F16E35C7E}
    // with its first three groups little-endian.
    static constexpr GUID MESSAGE_COOKIE{
        {0x13, 0xe1, 0x5c, 0x78, 0x28, 0x1e, 0xb6, 0x42, 0xb3, 0x3d, 0x69, 0x0f, 0x16, 0xe3, 0x5c, 0x7e}};
    // The single-socket hello.
    static constexpr GUID CLIENT_COOKIE{
        {0x5e, 0x17, 0xc0, 0xa2, 0x93, 0xd4, 0x4f, 0x8b, 0xa6, 0x1e, 0x27, 0xc9, 0xd0, 0x4b, 0x8e, 0x11}};
    // The dual-socket hello, followed on the wire by a 16-bit UDP port.
    static constexpr GUID CLIENT_COOKIE_DUAL_SOCKETS{
        {0x5e, 0x17, 0xc0, 0xa2, 0x93, 0xd4, 0x4f, 0x8b, 0xa6, 0x1e, 0x27, 0xc9, 0xd0, 0x4b, 0x8e, 0x12}};

    static constexpr std::uint32_t kChannelCount = 7;
    static constexpr std::uint32_t kHeaderSize = 52;
    static constexpr std::uint32_t kVersionMajor = 2;
    static constexpr std::uint32_t kVersionMinor = 0;
    // The largest packet, header included, and so the largest header a reader
    // can hold; the largest payload of one part or one coalesced chunk.
    static constexpr std::uint32_t kMaxPacketSize = 8192;
    static constexpr std::uint32_t kMaxPartPayloadSize = kMaxPacketSize - kHeaderSize;
    // No message carries more: senders refuse larger payloads and readers drop
    // headers announcing them, so no peer makes a receiver grow without bound.
    static constexpr std::uint32_t kMaxPayloadSize = 16u * 1024u * 1024u;
    // Acknowledgement and resend-request packets: a header and two u32.
    static constexpr std::uint32_t kControlPacketSize = kHeaderSize + 8;
    static constexpr std::uint32_t kHelloSize = 16;
    static constexpr std::uint32_t kDualHelloSize = 18;
    // How long a client waits for the answer to its UDP or dual-socket hello.
    static constexpr std::uint32_t kHelloAnswerTimeoutMicroseconds = 5000000;

    // The 52-byte header, as values; its bytes only ever go through Write and
    // Read.
    struct MessageHeader
    {
        GUID cookie;
        std::uint32_t totalSize;
        std::uint32_t headerSize;
        std::uint32_t versionMajor;
        std::uint32_t versionMinor;
        std::uint32_t channel;
        std::uint32_t sequenceID;
        std::uint32_t previousSequenceMsgCount;
        std::uint32_t multipartMsgCount;
        std::uint32_t multipartMsgIndex;

        // A header as a sender starts one: the cookie, version 2.0, headerSize 52,
        // totalSize 52 + payloadSize, the channel, every other field 0.
        static MessageHeader Make(std::uint32_t channel, std::uint32_t payloadSize);
        // Writes all 52 bytes.
        void Write(unsigned char* bytes) const;
        // Reads the first 52 bytes.
        static MessageHeader Read(const unsigned char* bytes);
        // A debugging hook; does nothing.
        void Dump() const {}
    };

    // Field offsets within the header.
    static constexpr std::size_t kOffsetTotalSize = 16;
    static constexpr std::size_t kOffsetHeaderSize = 20;
    static constexpr std::size_t kOffsetVersionMajor = 24;
    static constexpr std::size_t kOffsetVersionMinor = 28;
    static constexpr std::size_t kOffsetChannel = 32;
    static constexpr std::size_t kOffsetSequenceID = 36;
    static constexpr std::size_t kOffsetPreviousSequenceMsgCount = 40;
    static constexpr std::size_t kOffsetMultipartMsgCount = 44;
    static constexpr std::size_t kOffsetMultipartMsgIndex = 48;

    // Writes the header of a message of payloadSize bytes on channel with the
    // given sequence ID, the other fields 0. NETWORK_SEND_FAILED, writing
    // nothing, for a payload above kMaxPayloadSize.
    [[nodiscard]] static NetworkError WriteMessageHeader(unsigned char* bytes, std::uint32_t channel,
                                                         std::size_t payloadSize, std::uint32_t sequenceID);

    // Writes the 60 bytes of an acknowledgement (NETWORK_CHANNEL_ACKNOWLEDGE) or
    // resend request (NETWORK_CHANNEL_RESEND_REQUEST) about reliableChannel.
    static void WriteControlPacket(unsigned char* bytes, NetworkChannelNumber kind,
                                   std::uint32_t reliableChannel, std::uint32_t sequence);
    // Reads the channel and sequence of a control packet's payload. False for a
    // payload under 8 bytes or a channel above 6: such a packet is dropped.
    [[nodiscard]] static bool ReadControlPacketPayload(const unsigned char* payload, std::size_t size,
                                                       std::uint32_t& reliableChannel,
                                                       std::uint32_t& sequence);

    // Writes the 18-byte dual-socket hello with the sender's UDP port.
    static void WriteDualSocketHello(unsigned char* bytes, std::uint16_t udpPort);
    // Reads a dual-socket hello or its answer: all 18 bytes, starting with
    // CLIENT_COOKIE_DUAL_SOCKETS. False otherwise.
    [[nodiscard]] static bool ReadDualSocketHello(const unsigned char* bytes, std::size_t size,
                                                  std::uint16_t& udpPort);
};

// How a payload is cut into the parts of a multi-part message: p =
// ceil(n / 8140) parts, each of n / p bytes, the first n mod p of them one byte
// more, so no part exceeds 8140 bytes. The parts follow one another in the
// payload from offset 0.
class NetworkMultipartSplit
{
public:
    explicit NetworkMultipartSplit(std::size_t payloadSize) noexcept;

    // 0 for an empty payload.
    std::uint32_t GetPartCount() const noexcept { return mPartCount; }
    std::size_t GetPartSize(std::uint32_t index) const noexcept;
    std::size_t GetPartOffset(std::uint32_t index) const noexcept;

private:
    std::uint32_t mPartCount = 0;
    std::size_t mBaseSize = 0;
    std::size_t mLargerParts = 0;
};
