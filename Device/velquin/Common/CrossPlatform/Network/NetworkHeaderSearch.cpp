#include "velquin/Common/CrossPlatform/Network/NetworkHeaderSearch.h"

#include <cstring>

#include "Platform/ByteOrder.h"

namespace
{

using Wire = NetworkWireFormat;

constexpr std::size_t kCookieSize = sizeof(Wire::MESSAGE_COOKIE.mBytes);
// The fields the checks read end with versionMinor.
constexpr std::size_t kCheckedSize = Wire::kOffsetVersionMinor + 4;

} // namespace

bool NetworkHeaderSearch::IsAcceptable(const unsigned char* bytes) noexcept
{
    const std::uint32_t totalSize = KT::ReadLE32(bytes + Wire::kOffsetTotalSize);
    const std::uint32_t headerSize = KT::ReadLE32(bytes + Wire::kOffsetHeaderSize);
    const std::uint32_t versionMajor = KT::ReadLE32(bytes + Wire::kOffsetVersionMajor);
    const std::uint32_t versionMinor = KT::ReadLE32(bytes + Wire::kOffsetVersionMinor);
    if (versionMajor != Wire::kVersionMajor || headerSize < Wire::kHeaderSize)
    {
        return false;
    }
    // A longer header could never be held whole by a receiver.
    if (headerSize > Wire::kMaxPacketSize)
    {
        return false;
    }
    if (headerSize > Wire::kHeaderSize && versionMinor < 1)
    {
        return false;
    }
    return totalSize >= headerSize && totalSize - headerSize <= Wire::kMaxPayloadSize;
}

std::size_t NetworkHeaderSearch::FindCookie(const unsigned char* bytes, std::size_t held,
                                            std::size_t from) noexcept
{
    const unsigned char first = Wire::MESSAGE_COOKIE.mBytes[0];
    std::size_t offset = from;
    while (offset + kCookieSize <= held)
    {
        const void* found = std::memchr(bytes + offset, first, held - kCookieSize + 1 - offset);
        if (found == nullptr)
        {
            break;
        }
        offset = static_cast<std::size_t>(static_cast<const unsigned char*>(found) - bytes);
        if (std::memcmp(bytes + offset, Wire::MESSAGE_COOKIE.mBytes, kCookieSize) == 0)
        {
            return offset;
        }
        ++offset;
    }
    const std::size_t tail = held - (kCookieSize - 1);
    return tail > from ? tail : from;
}

NetworkHeaderSearch::Outcome NetworkHeaderSearch::Advance(const unsigned char* bytes, std::size_t held)
{
    if (mState == State::kPayload)
    {
        const std::size_t have = held > Wire::kHeaderSize ? held - Wire::kHeaderSize : 0;
        if (have < mPayloadSize)
        {
            return Outcome{kNeedMore, mPayloadSize - have};
        }
        mState = State::kSearching;
        return Outcome{kMessageComplete, have - mPayloadSize};
    }

    if (held < kCookieSize)
    {
        return Outcome{kNeedMore, kCookieSize - held};
    }
    const std::size_t cookie = FindCookie(bytes, held, 0);
    if (cookie > 0)
    {
        return Outcome{kDrop, cookie};
    }
    if (held < kCheckedSize)
    {
        return Outcome{kNeedMore, kCheckedSize - held};
    }
    if (!IsAcceptable(bytes))
    {
        // Resynchronise on the next cookie after this one.
        return Outcome{kDrop, FindCookie(bytes, held, 1)};
    }
    const std::size_t headerSize = KT::ReadLE32(bytes + Wire::kOffsetHeaderSize);
    if (held < headerSize)
    {
        return Outcome{kNeedMore, headerSize - held};
    }
    mHeader = Wire::MessageHeader::Read(bytes);
    mPayloadSize = mHeader.totalSize - mHeader.headerSize;
    mState = State::kPayload;
    return Outcome{kHeaderAccepted, headerSize - Wire::kHeaderSize};
}

void NetworkHeaderSearch::Reset() noexcept
{
    mState = State::kSearching;
    mHeader = NetworkWireFormat::MessageHeader{};
    mPayloadSize = 0;
}
