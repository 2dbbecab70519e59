#include "KTFramework/Utilities/Storage/Buffer.h"

#include "KTFramework/Defs/Result.h"

namespace KT::Detail
{

namespace
{

// How many items of itemBytes bytes a fill of count items from byteOffset
// covers; a negative count takes as many as fit whole. The range is checked as
// byteOffset <= size and items <= room, so no sum can wrap. False when it does
// not lie within the size.
bool FillItems(const IBuffer& buffer, std::size_t itemBytes, std::size_t byteOffset, long count,
               std::size_t& items)
{
    const std::size_t size = buffer.GetSizeBytes();
    if (byteOffset > size)
    {
        return false;
    }
    const std::size_t room = (size - byteOffset) / itemBytes;
    if (count < 0)
    {
        items = room;
        return true;
    }
    items = static_cast<std::size_t>(count);
    return items <= room;
}

} // namespace

int FillBytes(IBuffer& buffer, char value, std::size_t byteOffset, long count)
{
    std::size_t bytes = 0;
    if (!FillItems(buffer, 1, byteOffset, count, bytes))
    {
        return RESULT_INVALID_ARGUMENT;
    }
    if (bytes > 0)
    {
        std::memset(static_cast<unsigned char*>(buffer.GetRawPtr()) + byteOffset,
                    static_cast<unsigned char>(value), bytes);
    }
    return 0;
}

// A last odd byte is left alone.
int FillUnits(IBuffer& buffer, unsigned short value, std::size_t byteOffset, long count)
{
    std::size_t units = 0;
    if (!FillItems(buffer, 2, byteOffset, count, units))
    {
        return RESULT_INVALID_ARGUMENT;
    }
    if (units == 0)
    {
        return 0;
    }
    // Little-endian units, written byte by byte: the offset need not be even.
    unsigned char* out = static_cast<unsigned char*>(buffer.GetRawPtr()) + byteOffset;
    const unsigned char low = static_cast<unsigned char>(value & 0xFFu);
    const unsigned char high = static_cast<unsigned char>(value >> 8);
    for (std::size_t i = 0; i < units; ++i)
    {
        out[2 * i] = low;
        out[2 * i + 1] = high;
    }
    return 0;
}

} // namespace KT::Detail
