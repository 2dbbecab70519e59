#include "support/RawFrame.h"

#include <cstring>

namespace RawPeer
{

const Cookie kMessageCookie = {0x13, 0xe1, 0x5c, 0x78, 0x28, 0x1e, 0xb6, 0x42,
                               0xb3, 0x3d, 0x69, 0x0f, 0x16, 0xe3, 0x5c, 0x7e};
const Cookie kClientCookie = {0x5e, 0x17, 0xc0, 0xa2, 0x93, 0xd4, 0x4f, 0x8b,
                              0xa6, 0x1e, 0x27, 0xc9, 0xd0, 0x4b, 0x8e, 0x11};
const Cookie kClientCookieDualSockets = {0x5e, 0x17, 0xc0, 0xa2, 0x93, 0xd4, 0x4f, 0x8b,
                                         0xa6, 0x1e, 0x27, 0xc9, 0xd0, 0x4b, 0x8e, 0x12};

void PutLE32(Bytes& out, std::uint32_t value)
{
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value >> 16));
    out.push_back(static_cast<std::uint8_t>(value >> 24));
}

std::uint32_t GetLE32(const std::uint8_t* at)
{
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

Bytes RawFrame::Encode() const
{
    const std::uint32_t header =
        headerSize ? *headerSize : static_cast<std::uint32_t>(kHeaderSize + extraHeader.size());
    const std::uint32_t total =
        totalSize ? *totalSize
                  : static_cast<std::uint32_t>(kHeaderSize + extraHeader.size() + payload.size());
    Bytes out(cookie.begin(), cookie.end());
    out.reserve(kHeaderSize + extraHeader.size() + payload.size());
    PutLE32(out, total);
    PutLE32(out, header);
    PutLE32(out, versionMajor);
    PutLE32(out, versionMinor);
    PutLE32(out, channel);
    PutLE32(out, sequenceID);
    PutLE32(out, previousSequenceMsgCount);
    PutLE32(out, multipartMsgCount);
    PutLE32(out, multipartMsgIndex);
    out.insert(out.end(), extraHeader.begin(), extraHeader.end());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

RawFrame RawFrame::Plain(std::uint32_t channel, std::uint32_t sequenceID, Bytes payload)
{
    RawFrame frame;
    frame.channel = channel;
    frame.sequenceID = sequenceID;
    frame.payload = std::move(payload);
    return frame;
}

Bytes PatternPayload(std::size_t n, std::uint8_t seed)
{
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i)
    {
        out[i] = static_cast<std::uint8_t>((seed + i * 7) % 251);
    }
    return out;
}

void FrameReader::Feed(const std::uint8_t* data, std::size_t size)
{
    while (size > 0 && mHello.size() < mHelloSize)
    {
        mHello.push_back(*data++);
        --size;
    }
    mPending.insert(mPending.end(), data, data + size);
    Parse();
}

void FrameReader::Parse()
{
    std::size_t at = 0;
    while (!mBroken && mPending.size() - at >= kHeaderSize)
    {
        const std::uint8_t* header = mPending.data() + at;
        if (std::memcmp(header, kMessageCookie.data(), kMessageCookie.size()) != 0)
        {
            mBroken = true;
            break;
        }
        const std::uint32_t total = GetLE32(header + 16);
        const std::uint32_t headerBytes = GetLE32(header + 20);
        if (headerBytes < kHeaderSize || total < headerBytes)
        {
            mBroken = true;
            break;
        }
        if (mPending.size() - at < total)
        {
            break;
        }
        RawFrame frame;
        std::memcpy(frame.cookie.data(), header, frame.cookie.size());
        frame.totalSize = total;
        frame.headerSize = headerBytes;
        frame.versionMajor = GetLE32(header + 24);
        frame.versionMinor = GetLE32(header + 28);
        frame.channel = GetLE32(header + 32);
        frame.sequenceID = GetLE32(header + 36);
        frame.previousSequenceMsgCount = GetLE32(header + 40);
        frame.multipartMsgCount = GetLE32(header + 44);
        frame.multipartMsgIndex = GetLE32(header + 48);
        frame.extraHeader.assign(header + kHeaderSize, header + headerBytes);
        frame.payload.assign(header + headerBytes, header + total);
        mFrames.push_back(std::move(frame));
        at += total;
    }
    mPending.erase(mPending.begin(), mPending.begin() + static_cast<std::ptrdiff_t>(at));
}

std::vector<RawFrame> FrameReader::TakeFrames()
{
    std::vector<RawFrame> taken;
    taken.swap(mFrames);
    return taken;
}

} // namespace RawPeer
