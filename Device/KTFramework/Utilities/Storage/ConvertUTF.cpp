#include "KTFramework/Utilities/Storage/ConvertUTF.h"

namespace
{

constexpr unsigned long kReplacementChar = 0xFFFD;
constexpr unsigned long kMaxBmp = 0xFFFF;
constexpr unsigned long kMaxLegalUtf32 = 0x10FFFF;
constexpr unsigned long kHighSurrogateStart = 0xD800;
constexpr unsigned long kHighSurrogateEnd = 0xDBFF;
constexpr unsigned long kLowSurrogateStart = 0xDC00;
constexpr unsigned long kLowSurrogateEnd = 0xDFFF;
constexpr int kHalfShift = 10;
constexpr unsigned long kHalfBase = 0x10000;
constexpr unsigned long kHalfMask = 0x3FF;

// Count of trailing bytes announced by each lead byte. Leads from 0xF8 on
// announce sequences that well-formed UTF-8 never has; the legality check
// rejects them.
constexpr unsigned char TrailingBytes(unsigned char lead)
{
    return lead < 0xC0 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : lead < 0xF8 ? 3 : lead < 0xFC ? 4 : 5;
}

struct TrailingTable
{
    unsigned char Count[256];
};

constexpr TrailingTable MakeTrailingTable()
{
    TrailingTable table{};
    for (int lead = 0; lead < 256; ++lead)
    {
        table.Count[lead] = TrailingBytes(static_cast<unsigned char>(lead));
    }
    return table;
}

constexpr TrailingTable trailingBytesForUTF8 = MakeTrailingTable();

// The marker bits of the lead and trailing bytes summed over a sequence of
// (index + 1) bytes; subtracting it from the shifted sum leaves the code point.
constexpr unsigned long offsetsFromUTF8[6] = {0x00000000UL, 0x00003080UL, 0x000E2080UL,
                                              0x03C82080UL, 0xFA082080UL, 0x82082080UL};

// The marker of a lead byte, by the byte count of the encoded character.
constexpr unsigned char firstByteMark[7] = {0x00, 0x00, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};

bool IsSurrogate(unsigned long ch)
{
    return ch >= kHighSurrogateStart && ch <= kLowSurrogateEnd;
}

bool IsHighSurrogate(unsigned long ch)
{
    return ch >= kHighSurrogateStart && ch <= kHighSurrogateEnd;
}

bool IsLowSurrogate(unsigned long ch)
{
    return ch >= kLowSurrogateStart && ch <= kLowSurrogateEnd;
}

// Well-formed UTF-8 of one character of the given length: no overlong forms,
// no surrogate values, nothing above U+10FFFF.
bool isLegalUTF8(const unsigned char* source, int length)
{
    if (length < 1 || length > 4)
    {
        return false;
    }
    const unsigned char lead = source[0];
    for (int i = 2; i < length; ++i)
    {
        if (source[i] < 0x80 || source[i] > 0xBF)
        {
            return false;
        }
    }
    if (length >= 2)
    {
        // Every second byte is a continuation byte (0x80-0xBF); four lead
        // bytes narrow that range further, to refuse overlong forms, surrogate
        // values and values above U+10FFFF.
        const unsigned char second = source[1];
        if (second < 0x80 || second > 0xBF)
        {
            return false;
        }
        switch (lead)
        {
        case 0xE0:
            if (second < 0xA0)
            {
                return false;
            }
            break;
        case 0xED:
            if (second > 0x9F)
            {
                return false;
            }
            break;
        case 0xF0:
            if (second < 0x90)
            {
                return false;
            }
            break;
        case 0xF4:
            if (second > 0x8F)
            {
                return false;
            }
            break;
        default:
            break;
        }
    }
    if (lead >= 0x80 && lead < 0xC2)
    {
        return false;
    }
    return lead <= 0xF4;
}

// Reads one UTF-8 character at source. On success stores the code point and
// the byte count and returns UTF_OK; else returns why it cannot, touching
// nothing. Ill-formed UTF-8 is refused in both modes.
int ReadUTF8(const unsigned char* source, const unsigned char* sourceEnd, int /*flags*/, unsigned long& ch,
             int& count)
{
    const int trailing = trailingBytesForUTF8.Count[*source];
    if (trailing >= sourceEnd - source)
    {
        return UTF_SOURCE_TRUNCATED;
    }
    if (!isLegalUTF8(source, trailing + 1))
    {
        return UTF_SOURCE_INVALID;
    }
    unsigned long value = 0;
    for (int i = 0; i <= trailing; ++i)
    {
        value = (value << 6) + source[i];
    }
    ch = value - offsetsFromUTF8[trailing];
    count = trailing + 1;
    return UTF_OK;
}

// Reads one UTF-16 character at source: a surrogate pair or a single unit. A
// lone surrogate is refused when strict and taken as its own value when
// lenient.
int ReadUTF16(const unsigned short* source, const unsigned short* sourceEnd, int flags, unsigned long& ch,
              int& count)
{
    unsigned long first = source[0];
    count = 1;
    if (IsHighSurrogate(first))
    {
        if (source + 1 >= sourceEnd)
        {
            return UTF_SOURCE_TRUNCATED;
        }
        const unsigned long second = source[1];
        if (IsLowSurrogate(second))
        {
            ch = ((first - kHighSurrogateStart) << kHalfShift) + (second - kLowSurrogateStart) + kHalfBase;
            count = 2;
            return UTF_OK;
        }
        if (flags == UTF_STRICT)
        {
            return UTF_SOURCE_INVALID;
        }
    }
    else if (flags == UTF_STRICT && IsLowSurrogate(first))
    {
        return UTF_SOURCE_INVALID;
    }
    ch = first;
    return UTF_OK;
}

int UTF8Length(unsigned long ch)
{
    if (ch < 0x80)
    {
        return 1;
    }
    if (ch < 0x800)
    {
        return 2;
    }
    if (ch < 0x10000)
    {
        return 3;
    }
    return 4;
}

// Writes one character as UTF-8 at target; a value past U+10FFFF, which UTF-8
// cannot hold, becomes U+FFFD. On success stores the byte count and returns
// UTF_OK; else returns UTF_TARGET_FULL, writing nothing. Surrogate values are
// written as they are: the callers that refuse them do so before.
int WriteUTF8(unsigned long ch, int /*flags*/, unsigned char* target, const unsigned char* targetEnd,
              int& count)
{
    if (ch > kMaxLegalUtf32)
    {
        ch = kReplacementChar;
    }
    const int bytes = UTF8Length(ch);
    if (targetEnd - target < bytes)
    {
        return UTF_TARGET_FULL;
    }
    for (int i = bytes - 1; i > 0; --i)
    {
        target[i] = static_cast<unsigned char>((ch | 0x80) & 0xBF);
        ch >>= 6;
    }
    target[0] = static_cast<unsigned char>(ch | firstByteMark[bytes]);
    count = bytes;
    return UTF_OK;
}

void WriteSurrogatePair(unsigned short* target, unsigned long ch)
{
    ch -= kHalfBase;
    target[0] = static_cast<unsigned short>((ch >> kHalfShift) + kHighSurrogateStart);
    target[1] = static_cast<unsigned short>((ch & kHalfMask) + kLowSurrogateStart);
}

// Writes one character as UTF-16 at target: one unit, or a surrogate pair
// above the first plane. A surrogate value, or one past U+10FFFF, is refused
// when strict and written as U+FFFD when lenient. On success stores the unit
// count and returns UTF_OK; else returns why it cannot, writing nothing.
int WriteUTF16(unsigned long ch, int flags, unsigned short* target, const unsigned short* targetEnd,
               int& count)
{
    if (target >= targetEnd)
    {
        return UTF_TARGET_FULL;
    }
    if (ch > kMaxBmp && ch <= kMaxLegalUtf32)
    {
        if (targetEnd - target < 2)
        {
            return UTF_TARGET_FULL;
        }
        WriteSurrogatePair(target, ch);
        count = 2;
        return UTF_OK;
    }
    if (IsSurrogate(ch) || ch > kMaxLegalUtf32)
    {
        if (flags == UTF_STRICT)
        {
            return UTF_SOURCE_INVALID;
        }
        ch = kReplacementChar;
    }
    *target = static_cast<unsigned short>(ch);
    count = 1;
    return UTF_OK;
}

// Writes one character, as read, as one UTF-32 unit.
int WriteUTF32(unsigned long ch, int /*flags*/, unsigned long* target, const unsigned long* targetEnd,
               int& count)
{
    if (target >= targetEnd)
    {
        return UTF_TARGET_FULL;
    }
    *target = ch;
    count = 1;
    return UTF_OK;
}

// The walk of a converter that stops at the first character it cannot read or
// write: read and write take or refuse a whole character, so both start
// pointers are left at the start of that character.
template <class SourceUnit, class TargetUnit, class Read, class Write>
int Transcode(const SourceUnit** sourceStart, const SourceUnit* sourceEnd, TargetUnit** targetStart,
              TargetUnit* targetEnd, int flags, Read read, Write write)
{
    int result = UTF_OK;
    const SourceUnit* source = *sourceStart;
    TargetUnit* target = *targetStart;
    while (source < sourceEnd)
    {
        unsigned long ch = 0;
        int readUnits = 0;
        result = read(source, sourceEnd, flags, ch, readUnits);
        if (result != UTF_OK)
        {
            break;
        }
        int writtenUnits = 0;
        result = write(ch, flags, target, targetEnd, writtenUnits);
        if (result != UTF_OK)
        {
            break;
        }
        source += readUnits;
        target += writtenUnits;
    }
    *sourceStart = source;
    *targetStart = target;
    return result;
}

} // namespace

// C linkage comes from the declarations in the header.

int ConvertUTF8toUTF16(const unsigned char** sourceStart, const unsigned char* sourceEnd,
                       unsigned short** targetStart, unsigned short* targetEnd, int flags)
{
    return Transcode(sourceStart, sourceEnd, targetStart, targetEnd, flags, ReadUTF8, WriteUTF16);
}

int ConvertUTF16toUTF8(const unsigned short** sourceStart, const unsigned short* sourceEnd,
                       unsigned char** targetStart, unsigned char* targetEnd, int flags)
{
    return Transcode(sourceStart, sourceEnd, targetStart, targetEnd, flags, ReadUTF16, WriteUTF8);
}

int ConvertUTF32toUTF16(const unsigned long** sourceStart, const unsigned long* sourceEnd,
                        unsigned short** targetStart, unsigned short* targetEnd, int flags)
{
    int result = UTF_OK;
    const unsigned long* source = *sourceStart;
    unsigned short* target = *targetStart;
    while (source < sourceEnd)
    {
        // A full target stops the walk even before a value that strict
        // conversion would skip.
        if (target >= targetEnd)
        {
            result = UTF_TARGET_FULL;
            break;
        }
        const unsigned long ch = *source;
        if (flags == UTF_STRICT && ch > kMaxLegalUtf32)
        {
            // Unlike a refused surrogate, strict conversion reports this value
            // and goes on without output.
            result = UTF_SOURCE_INVALID;
        }
        else
        {
            int written = 0;
            const int wrote = WriteUTF16(ch, flags, target, targetEnd, written);
            if (wrote != UTF_OK)
            {
                result = wrote;
                break;
            }
            target += written;
        }
        ++source;
    }
    *sourceStart = source;
    *targetStart = target;
    return result;
}

int ConvertUTF16toUTF32(const unsigned short** sourceStart, const unsigned short* sourceEnd,
                        unsigned long** targetStart, unsigned long* targetEnd, int flags)
{
    return Transcode(sourceStart, sourceEnd, targetStart, targetEnd, flags, ReadUTF16, WriteUTF32);
}

int ConvertUTF32toUTF8(const unsigned long** sourceStart, const unsigned long* sourceEnd,
                       unsigned char** targetStart, unsigned char* targetEnd, int flags)
{
    int result = UTF_OK;
    const unsigned long* source = *sourceStart;
    unsigned char* target = *targetStart;
    while (source < sourceEnd)
    {
        const unsigned long ch = *source;
        if (flags == UTF_STRICT && IsSurrogate(ch))
        {
            result = UTF_SOURCE_INVALID;
            break;
        }
        int written = 0;
        if (WriteUTF8(ch, flags, target, targetEnd, written) != UTF_OK)
        {
            result = UTF_TARGET_FULL;
            break;
        }
        // A value past U+10FFFF is reported in both modes while conversion
        // goes on with its replacement.
        if (ch > kMaxLegalUtf32)
        {
            result = UTF_SOURCE_INVALID;
        }
        target += written;
        ++source;
    }
    *sourceStart = source;
    *targetStart = target;
    return result;
}

int ConvertUTF8toUTF32(const unsigned char** sourceStart, const unsigned char* sourceEnd,
                       unsigned long** targetStart, unsigned long* targetEnd, int flags)
{
    int result = UTF_OK;
    const unsigned char* source = *sourceStart;
    unsigned long* target = *targetStart;
    while (source < sourceEnd)
    {
        unsigned long ch = 0;
        int count = 0;
        const int read = ReadUTF8(source, sourceEnd, flags, ch, count);
        if (read != UTF_OK)
        {
            result = read;
            break;
        }
        if (target >= targetEnd)
        {
            result = UTF_TARGET_FULL;
            break;
        }
        if (ch <= kMaxLegalUtf32)
        {
            if (IsSurrogate(ch))
            {
                if (flags == UTF_STRICT)
                {
                    result = UTF_SOURCE_INVALID;
                    break;
                }
                *target++ = kReplacementChar;
            }
            else
            {
                *target++ = ch;
            }
        }
        else
        {
            result = UTF_SOURCE_INVALID;
            *target++ = kReplacementChar;
        }
        source += count;
    }
    *sourceStart = source;
    *targetStart = target;
    return result;
}

bool isLegalUTF8Sequence(const unsigned char* source, const unsigned char* sourceEnd)
{
    // An empty range holds no lead byte to read.
    if (source == nullptr || source >= sourceEnd)
    {
        return false;
    }
    const int length = trailingBytesForUTF8.Count[*source] + 1;
    if (length > sourceEnd - source)
    {
        return false;
    }
    return isLegalUTF8(source, length);
}
