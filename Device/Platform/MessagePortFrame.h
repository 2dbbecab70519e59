// The frames of a message-port connection, little-endian, written and read
// byte by byte:
//   request  "VQRQ", i32 message ID, u32 flags (bit 0 data present, bit 1 reply
//            wanted), u32 data length, data
//   reply    "VQRP", u32 flags (bit 0 data present), u32 data length, data
// A frame without data has length 0; data is at most 16 MiB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Platform/ByteOrder.h"

namespace KT::Platform::PortFrame
{

inline constexpr unsigned char kRequestMagic[4] = {'V', 'Q', 'R', 'Q'};
inline constexpr unsigned char kReplyMagic[4] = {'V', 'Q', 'R', 'P'};
inline constexpr std::size_t kRequestHeaderSize = 16;
inline constexpr std::size_t kReplyHeaderSize = 12;
inline constexpr std::uint32_t kFlagDataPresent = 1u << 0;
inline constexpr std::uint32_t kFlagReplyWanted = 1u << 1;
inline constexpr std::uint32_t kMaxDataSize = 16u * 1024u * 1024u;

struct RequestHeader
{
    std::int32_t MessageId;
    std::uint32_t Flags;
    std::uint32_t Length;
};

struct ReplyHeader
{
    std::uint32_t Flags;
    std::uint32_t Length;
};

inline void WriteRequestHeader(unsigned char* at, const RequestHeader& header) noexcept
{
    std::memcpy(at, kRequestMagic, 4);
    WriteLE32(at + 4, static_cast<std::uint32_t>(header.MessageId));
    WriteLE32(at + 8, header.Flags);
    WriteLE32(at + 12, header.Length);
}

inline void WriteReplyHeader(unsigned char* at, const ReplyHeader& header) noexcept
{
    std::memcpy(at, kReplyMagic, 4);
    WriteLE32(at + 4, header.Flags);
    WriteLE32(at + 8, header.Length);
}

// False for a wrong magic, unknown flags, an oversized length or a length
// without the data flag.
[[nodiscard]] inline bool ReadRequestHeader(const unsigned char* at, RequestHeader& header) noexcept
{
    header.MessageId = static_cast<std::int32_t>(ReadLE32(at + 4));
    header.Flags = ReadLE32(at + 8);
    header.Length = ReadLE32(at + 12);
    return std::memcmp(at, kRequestMagic, 4) == 0 &&
           (header.Flags & ~(kFlagDataPresent | kFlagReplyWanted)) == 0 && header.Length <= kMaxDataSize &&
           ((header.Flags & kFlagDataPresent) != 0 || header.Length == 0);
}

[[nodiscard]] inline bool ReadReplyHeader(const unsigned char* at, ReplyHeader& header) noexcept
{
    header.Flags = ReadLE32(at + 4);
    header.Length = ReadLE32(at + 8);
    return std::memcmp(at, kReplyMagic, 4) == 0 && (header.Flags & ~kFlagDataPresent) == 0 &&
           header.Length <= kMaxDataSize && ((header.Flags & kFlagDataPresent) != 0 || header.Length == 0);
}

} // namespace KT::Platform::PortFrame
