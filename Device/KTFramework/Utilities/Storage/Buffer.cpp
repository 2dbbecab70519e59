#include "KTFramework/Utilities/Storage/Buffer.h"

#include "KTFramework/Defs/Result.h"

namespace KT::Detail
{

// The ranges are checked as byteOffset <= size and count <= size - byteOffset, so
// no sum can wrap.
int FillBytes(IBuffer& buffer, char value, std::size_t byteOffset, long count)
{
    const std::size_t size = buffer.GetSizeBytes();
    if (byteOffset > size)
    {
        return RESULT_INVALID_ARGUMENT;
    }
    const std::size_t available = size - byteOffset;
    std::size_t bytes;
    if (count < 0)
    {
        bytes = available;
    }
    else
    {
        bytes = static_cast<std::size_t>(count);
        if (bytes > available)
        {
            return RESULT_INVALID_ARGUMENT;
        }
    }
    if (bytes > 0)
    {
        std::memset(static_cast<unsigned char*>(buffer.GetRawPtr()) + byteOffset,
                    static_cast<unsigned char>(value), bytes);
    }
    return 0;
}

int FillUnits(IBuffer& buffer, unsigned short value, std::size_t byteOffset, long count)
{
    const std::size_t size = buffer.GetSizeBytes();
    if (byteOffset > size)
    {
        return RESULT_INVALID_ARGUMENT;
    }
    // A last odd byte is left alone.
    const std::size_t availableUnits = (size - byteOffset) / 2;
    std::size_t units;
    if (count < 0)
    {
        units = availableUnits;
    }
    else
    {
        units = static_cast<std::size_t>(count);
        if (units > availableUnits)
        {
            return RESULT_INVALID_ARGUMENT;
        }
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
