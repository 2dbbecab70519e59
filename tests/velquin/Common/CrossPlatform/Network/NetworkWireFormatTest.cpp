#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "velquin/Common/CrossPlatform/Network/NetworkError.h"
#include "velquin/Common/CrossPlatform/Network/NetworkSocket.h"
#include "velquin/Common/CrossPlatform/Network/NetworkWireFormat.h"

namespace
{

using Bytes = std::vector<unsigned char>;
using Wire = NetworkWireFormat;

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
    {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

const Bytes kCookie = {0x13, 0xe1, 0x5c, 0x78, 0x28, 0x1e, 0xb6, 0x42,
                       0xb3, 0x3d, 0x69, 0x0f, 0x16, 0xe3, 0x5c, 0x7e};

Bytes GuidBytes(const GUID& guid)
{
    return Bytes(guid.mBytes, guid.mBytes + 16);
}

} // namespace

TEST(NetworkWireFormat, CookiesAndHellosHaveTheirFixedBytes)
{
    EXPECT_EQ(GuidBytes(Wire::MESSAGE_COOKIE), kCookie);
    EXPECT_EQ(GuidBytes(Wire::CLIENT_COOKIE), (Bytes{0x5e, 0x17, 0xc0, 0xa2, 0x93, 0xd4, 0x4f, 0x8b, 0xa6,
                                                     0x1e, 0x27, 0xc9, 0xd0, 0x4b, 0x8e, 0x11}));

    Bytes hello(18, 0xAA);
    Wire::WriteDualSocketHello(hello.data(), 51001);
    EXPECT_EQ(hello, (Bytes{0x5e, 0x17, 0xc0, 0xa2, 0x93, 0xd4, 0x4f, 0x8b, 0xa6, 0x1e, 0x27, 0xc9, 0xd0,
                            0x4b, 0x8e, 0x12, 0x39, 0xc7}));
    EXPECT_EQ(GuidBytes(Wire::CLIENT_COOKIE_DUAL_SOCKETS), Bytes(hello.begin(), hello.begin() + 16));

    std::uint16_t port = 0;
    EXPECT_TRUE(Wire::ReadDualSocketHello(hello.data(), hello.size(), port));
    EXPECT_EQ(port, 51001);
    // The whole hello or nothing: 17 bytes would leave the port's high byte unread.
    EXPECT_FALSE(Wire::ReadDualSocketHello(hello.data(), 17, port));
    hello[15] = 0x11;
    EXPECT_FALSE(Wire::ReadDualSocketHello(hello.data(), hello.size(), port));
}

TEST(NetworkWireFormat, HeaderIsWrittenAndReadLittleEndian)
{
    Bytes header(52, 0xAA);
    ASSERT_EQ(Wire::WriteMessageHeader(header.data(), 1, 4, 3), NETWORK_NO_ERROR);
    const Bytes expected = Concat({kCookie,
                                   {0x38, 0, 0, 0},
                                   {0x34, 0, 0, 0},
                                   {0x02, 0, 0, 0},
                                   {0x00, 0, 0, 0},
                                   {0x01, 0, 0, 0},
                                   {0x03, 0, 0, 0},
                                   Bytes(12, 0)});
    EXPECT_EQ(header, expected);

    const Bytes fields = Concat({kCookie,
                                 {0x10, 0x20, 0x30, 0x40},
                                 {0x34, 0, 0, 0},
                                 {0x02, 0, 0, 0},
                                 {0x01, 0, 0, 0},
                                 {0x06, 0, 0, 0},
                                 {0xFE, 0xFF, 0xFF, 0xFF},
                                 {0x07, 0, 0, 0},
                                 {0x03, 0, 0, 0},
                                 {0x02, 0, 0, 0}});
    const Wire::MessageHeader read = Wire::MessageHeader::Read(fields.data());
    EXPECT_TRUE(IsEqualGUID(read.cookie, Wire::MESSAGE_COOKIE));
    EXPECT_EQ(read.totalSize, 0x40302010u);
    EXPECT_EQ(read.headerSize, 52u);
    EXPECT_EQ(read.versionMajor, 2u);
    EXPECT_EQ(read.versionMinor, 1u);
    EXPECT_EQ(read.channel, 6u);
    EXPECT_EQ(read.sequenceID, 0xFFFFFFFEu);
    EXPECT_EQ(read.previousSequenceMsgCount, 7u);
    EXPECT_EQ(read.multipartMsgCount, 3u);
    EXPECT_EQ(read.multipartMsgIndex, 2u);
    Bytes again(52, 0);
    read.Write(again.data());
    EXPECT_EQ(again, fields);
}

TEST(NetworkWireFormat, PayloadAboveTheCeilingIsRefused)
{
    Bytes header(52, 0xAA);
    EXPECT_EQ(Wire::WriteMessageHeader(header.data(), 2, Wire::kMaxPayloadSize + 1, 0), NETWORK_SEND_FAILED);
    EXPECT_EQ(header, Bytes(52, 0xAA));
    EXPECT_EQ(Wire::WriteMessageHeader(header.data(), 2, Wire::kMaxPayloadSize, 0), NETWORK_NO_ERROR);
}

TEST(NetworkWireFormat, ControlPacketsHaveTheirFixedBytes)
{
    struct Row
    {
        NetworkChannelNumber kind;
        unsigned char channelByte;
    };
    for (const Row row : {Row{NETWORK_CHANNEL_ACKNOWLEDGE, 5}, Row{NETWORK_CHANNEL_RESEND_REQUEST, 6}})
    {
        Bytes packet(60, 0xAA);
        Wire::WriteControlPacket(packet.data(), row.kind, 1, 7);
        const Bytes expected = Concat({kCookie,
                                       {0x3c, 0, 0, 0},
                                       {0x34, 0, 0, 0},
                                       {0x02, 0, 0, 0},
                                       {0x00, 0, 0, 0},
                                       {row.channelByte, 0, 0, 0},
                                       Bytes(16, 0),
                                       {0x01, 0, 0, 0, 0x07, 0, 0, 0}});
        EXPECT_EQ(packet, expected) << "channel " << int(row.channelByte);

        std::uint32_t channel = 0;
        std::uint32_t sequence = 0;
        EXPECT_TRUE(Wire::ReadControlPacketPayload(packet.data() + 52, 8, channel, sequence));
        EXPECT_EQ(channel, 1u);
        EXPECT_EQ(sequence, 7u);
    }
    const Bytes shortPayload = {1, 0, 0, 0, 7, 0, 0};
    const Bytes channelSeven = {7, 0, 0, 0, 7, 0, 0, 0};
    std::uint32_t channel = 99;
    std::uint32_t sequence = 99;
    EXPECT_FALSE(Wire::ReadControlPacketPayload(shortPayload.data(), shortPayload.size(), channel, sequence));
    EXPECT_FALSE(Wire::ReadControlPacketPayload(channelSeven.data(), channelSeven.size(), channel, sequence));
    EXPECT_EQ(channel, 99u);
}

TEST(NetworkMultipartSplit, PartsStayWithinOnePacketAndCoverThePayload)
{
    struct Row
    {
        std::size_t size;
        std::vector<std::size_t> parts;
    };
    const Row rows[] = {
        {0, {}},
        {1, {1}},
        {8140, {8140}},
        {8141, {4071, 4070}},
        {16280, {8140, 8140}},
        {24419, {8140, 8140, 8139}},
        {24421, {6106, 6105, 6105, 6105}},
    };
    for (const Row& row : rows)
    {
        const NetworkMultipartSplit split(row.size);
        std::vector<std::size_t> parts;
        std::size_t offset = 0;
        for (std::uint32_t i = 0; i < split.GetPartCount(); ++i)
        {
            EXPECT_EQ(split.GetPartOffset(i), offset) << row.size << " part " << i;
            parts.push_back(split.GetPartSize(i));
            offset += split.GetPartSize(i);
        }
        EXPECT_EQ(parts, row.parts) << row.size;
        EXPECT_EQ(offset, row.size) << row.size;
    }
    // Every size up to the ceiling's neighbourhood of part counts keeps parts within 8140.
    for (std::size_t size = 8140 * 5 - 6; size <= 8140 * 5 + 6; ++size)
    {
        const NetworkMultipartSplit split(size);
        for (std::uint32_t i = 0; i < split.GetPartCount(); ++i)
        {
            EXPECT_LE(split.GetPartSize(i), 8140u) << size << " part " << i;
        }
    }
}

TEST(NetworkError, EachCodeHasItsText)
{
    struct Row
    {
        int code;
        const char* text;
    };
    const Row rows[] = {
        {0, "NETWORK_NO_ERROR"},
        {-100, "NETWORK_CONNECTION_FAILED"},
        {-101, "NETWORK_ALREADY_CONNECTED"},
        {-102, "NETWORK_BIND_FAILED"},
        {-103, "NETWORK_ALREADY_BINDED"},
        {-104, "NETWORK_SOCKET_NOT_SET_CORRECTLY"},
        {-105, "NETWORK_SEND_FAILED"},
        {-106, "NETWORK_RECEIVE_FAILED"},
        {-107, "NETWORK_ALREADY_LISTENING"},
        {-108, "NETWORK_LISTEN_FAILED"},
        {-109, "NETWORK_ACCEPT_FAILED"},
        {-110, "NETWORK_CONNECTION_CLOSED"},
        {-111, "NETWORK_OBJECT_OUT_OF_MEMORY"},
        {-112, "NETWORK_RECEIVE_TIMEOUT"},
        {-99, "Undefined Error"},
        {1, "Undefined Error"},
        {-113, "Undefined Error"},
    };
    for (const Row& row : rows)
    {
        EXPECT_STREQ(GetNetworkErrorText(static_cast<NetworkError>(row.code)).CStr(), row.text) << row.code;
    }
}

TEST(NetworkMACAddress, TextIsUpperCaseHexWithColons)
{
    struct Row
    {
        NetworkMACAddress address;
        const char* text;
    };
    const Row rows[] = {
        {{{0x01, 0x0A, 0x23, 0xB4, 0xC5, 0xFF}}, "01:0A:23:B4:C5:FF"},
        {{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}, "FF:FF:FF:FF:FF:FF"},
        {{{0, 0, 0, 0, 0, 0}}, "00:00:00:00:00:00"},
    };
    for (const Row& row : rows)
    {
        EXPECT_STREQ(NetworkMACAddressToString(row.address).CStr(), row.text) << row.text;
    }
}
