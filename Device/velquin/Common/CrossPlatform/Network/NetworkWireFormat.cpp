#include "velquin/Common/CrossPlatform/Network/NetworkWireFormat.h"

#include <cstring>

#include "Platform/ByteOrder.h"

static_assert(NetworkWireFormat::kOffsetMultipartMsgIndex + 4 == NetworkWireFormat::kHeaderSize,
              "the header's fields fill its 52 bytes");
static_assert(NetworkWireFormat::kMaxPartPayloadSize == 8140, "one part fills one 8192-byte packet");
static_assert(NetworkWireFormat::kMaxPayloadSize <= 0xFFFFFFFFu - NetworkWireFormat::kMaxPacketSize,
              "a total size within the ceiling fits its 32-bit field");

NetworkWireFormat::MessageHeader NetworkWireFormat::MessageHeader::Make(std::uint32_t channel,
                                                                        std::uint32_t payloadSize)
{
    MessageHeader header{};
    header.cookie = MESSAGE_COOKIE;
    header.totalSize = kHeaderSize + payloadSize;
    header.headerSize = kHeaderSize;
    header.versionMajor = kVersionMajor;
    header.versionMinor = kVersionMinor;
    header.channel = channel;
    return header;
}

void NetworkWireFormat::MessageHeader::Write(unsigned char* bytes) const
{
    std::memcpy(bytes, cookie.mBytes, sizeof(cookie.mBytes));
    KT::WriteLE32(bytes + kOffsetTotalSize, totalSize);
    KT::WriteLE32(bytes + kOffsetHeaderSize, headerSize);
    KT::WriteLE32(bytes + kOffsetVersionMajor, versionMajor);
    KT::WriteLE32(bytes + kOffsetVersionMinor, versionMinor);
    KT::WriteLE32(bytes + kOffsetChannel, channel);
    KT::WriteLE32(bytes + kOffsetSequenceID, sequenceID);
    KT::WriteLE32(bytes + kOffsetPreviousSequenceMsgCount, previousSequenceMsgCount);
    KT::WriteLE32(bytes + kOffsetMultipartMsgCount, multipartMsgCount);
    KT::WriteLE32(bytes + kOffsetMultipartMsgIndex, multipartMsgIndex);
}

NetworkWireFormat::MessageHeader NetworkWireFormat::MessageHeader::Read(const unsigned char* bytes)
{
    MessageHeader header{};
    std::memcpy(header.cookie.mBytes, bytes, sizeof(header.cookie.mBytes));
    header.totalSize = KT::ReadLE32(bytes + kOffsetTotalSize);
    header.headerSize = KT::ReadLE32(bytes + kOffsetHeaderSize);
    header.versionMajor = KT::ReadLE32(bytes + kOffsetVersionMajor);
    header.versionMinor = KT::ReadLE32(bytes + kOffsetVersionMinor);
    header.channel = KT::ReadLE32(bytes + kOffsetChannel);
    header.sequenceID = KT::ReadLE32(bytes + kOffsetSequenceID);
    header.previousSequenceMsgCount = KT::ReadLE32(bytes + kOffsetPreviousSequenceMsgCount);
    header.multipartMsgCount = KT::ReadLE32(bytes + kOffsetMultipartMsgCount);
    header.multipartMsgIndex = KT::ReadLE32(bytes + kOffsetMultipartMsgIndex);
    return header;
}

NetworkError NetworkWireFormat::WriteMessageHeader(unsigned char* bytes, std::uint32_t channel,
                                                   std::size_t payloadSize, std::uint32_t sequenceID)
{
    if (payloadSize > kMaxPayloadSize)
    {
        return NETWORK_SEND_FAILED;
    }
    MessageHeader header = MessageHeader::Make(channel, static_cast<std::uint32_t>(payloadSize));
    header.sequenceID = sequenceID;
    header.Write(bytes);
    return NETWORK_NO_ERROR;
}

void NetworkWireFormat::WriteControlPacket(unsigned char* bytes, NetworkChannelNumber kind,
                                           std::uint32_t reliableChannel, std::uint32_t sequence)
{
    MessageHeader::Make(kind, kControlPacketSize - kHeaderSize).Write(bytes);
    KT::WriteLE32(bytes + kHeaderSize, reliableChannel);
    KT::WriteLE32(bytes + kHeaderSize + 4, sequence);
}

bool NetworkWireFormat::ReadControlPacketPayload(const unsigned char* payload, std::size_t size,
                                                 std::uint32_t& reliableChannel, std::uint32_t& sequence)
{
    if (size < kControlPacketSize - kHeaderSize)
    {
        return false;
    }
    const std::uint32_t channel = KT::ReadLE32(payload);
    if (channel >= kChannelCount)
    {
        return false;
    }
    reliableChannel = channel;
    sequence = KT::ReadLE32(payload + 4);
    return true;
}

void NetworkWireFormat::WriteDualSocketHello(unsigned char* bytes, std::uint16_t udpPort)
{
    std::memcpy(bytes, CLIENT_COOKIE_DUAL_SOCKETS.mBytes, kHelloSize);
    KT::WriteLE(bytes + kHelloSize, udpPort, 2);
}

bool NetworkWireFormat::ReadDualSocketHello(const unsigned char* bytes, std::size_t size,
                                            std::uint16_t& udpPort)
{
    if (size < kDualHelloSize || std::memcmp(bytes, CLIENT_COOKIE_DUAL_SOCKETS.mBytes, kHelloSize) != 0)
    {
        return false;
    }
    udpPort = static_cast<std::uint16_t>(KT::ReadLE(bytes + kHelloSize, 2));
    return true;
}

NetworkMultipartSplit::NetworkMultipartSplit(std::size_t payloadSize) noexcept
{
    const std::size_t part = NetworkWireFormat::kMaxPartPayloadSize;
    const std::size_t count = payloadSize / part + (payloadSize % part != 0 ? 1 : 0);
    if (count == 0)
    {
        return;
    }
    mPartCount = static_cast<std::uint32_t>(count);
    mBaseSize = payloadSize / count;
    mLargerParts = payloadSize % count;
}

std::size_t NetworkMultipartSplit::GetPartSize(std::uint32_t index) const noexcept
{
    if (index >= mPartCount)
    {
        return 0;
    }
    return mBaseSize + (index < mLargerParts ? 1 : 0);
}

std::size_t NetworkMultipartSplit::GetPartOffset(std::uint32_t index) const noexcept
{
    const std::size_t parts = index < mPartCount ? index : mPartCount;
    return parts * mBaseSize + (parts < mLargerParts ? parts : mLargerParts);
}
