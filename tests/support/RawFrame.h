// Message frames of the connection protocol, written and read by the test peers
// straight from the byte layout: a 16-byte cookie, nine little-endian u32 header
// fields, any extra header bytes, then the payload. Independent of the library
// under test, so that a fault in its writer or reader cannot hide in both sides.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace RawPeer
{

using Bytes = std::vector<std::uint8_t>;
using Cookie = std::array<std::uint8_t, 16>;

// The wire constants, hard-coded.
extern const Cookie kMessageCookie;
extern const Cookie kClientCookie;
extern const Cookie kClientCookieDualSockets;
constexpr std::size_t kHeaderSize = 52;

void PutLE32(Bytes& out, std::uint32_t value);
std::uint32_t GetLE32(const std::uint8_t* at);

// One frame with every field settable; unset sizes follow from the bytes given.
struct RawFrame
{
    Cookie cookie = kMessageCookie;
    std::optional<std::uint32_t> totalSize;  // default: header bytes + payload
    std::optional<std::uint32_t> headerSize; // default: 52 + extra header bytes
    std::uint32_t versionMajor = 2;
    std::uint32_t versionMinor = 0;
    std::uint32_t channel = 0;
    std::uint32_t sequenceID = 0;
    std::uint32_t previousSequenceMsgCount = 0;
    std::uint32_t multipartMsgCount = 0;
    std::uint32_t multipartMsgIndex = 0;
    Bytes extraHeader; // sent after the 52 header bytes
    Bytes payload;

    Bytes Encode() const;

    // A plain frame as a sender writes it.
    static RawFrame Plain(std::uint32_t channel, std::uint32_t sequenceID, Bytes payload);
};

// A payload of n bytes whose content tells where every byte belongs: byte i is
// (seed + i * 7) mod 251.
Bytes PatternPayload(std::size_t n, std::uint8_t seed = 0);

// Cuts a byte stream into frames as the sender wrote them: every frame must
// start with the message cookie and give a header size of at least 52 and a
// total size of at least its header size. The first malformed byte stops it for
// good (Broken), since a well-behaved sender never writes one.
class FrameReader
{
public:
    // Bytes before the first frame that are kept apart (the client's hello).
    explicit FrameReader(std::size_t helloSize = 0) : mHelloSize(helloSize) {}

    void Feed(const std::uint8_t* data, std::size_t size);
    // Frames completed since the last call, in order.
    std::vector<RawFrame> TakeFrames();

    const Bytes& Hello() const { return mHello; }
    bool HelloComplete() const { return mHello.size() == mHelloSize; }
    bool Broken() const { return mBroken; }

private:
    void Parse();

    std::size_t mHelloSize;
    Bytes mHello;
    Bytes mPending;
    std::vector<RawFrame> mFrames;
    bool mBroken = false;
};

} // namespace RawPeer
