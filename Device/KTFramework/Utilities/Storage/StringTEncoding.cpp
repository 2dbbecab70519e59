// The string's binary-to-text members (hexadecimal and Base64 of bytes held in
// a byte buffer) and its conversions from text of the other width or from
// wchar_t text. The UTF-8 string decodes; the UTF-16 string converts first.
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <type_traits>
#include <vector>

#include "KTFramework/Defs/Result.h"
#include "KTFramework/Utilities/Storage/ConvertUTF.h"
#include "KTFramework/Utilities/Storage/StringT.h"

namespace KT
{

namespace
{

// Decoded bytes live in a general byte buffer: no granule, no slack.
using DecodeBuffer = LBufferT<1, 0>;

// wchar_t text goes to the converters through this many unsigned long units at
// a time: the converters take unsigned long, which is not wchar_t.
constexpr std::size_t kWideStage = 256;

template <class Unit>
std::size_t UnitsThroughNul(const Unit* text)
{
    std::size_t count = 0;
    while (text[count] != 0)
    {
        ++count;
    }
    return count + 1;
}

// Converts UTF-32 from wchar_t units, staged through unsigned long units.
// Returns the first stop (a result that left source units unread), else the
// last non-OK result of a conversion that went on, else UTF_OK.
template <class Target, class Converter>
int ConvertWide(const wchar_t* source, std::size_t count, Target*& target, Target* targetEnd,
                Converter convert)
{
    int result = UTF_OK;
    unsigned long stage[kWideStage];
    for (std::size_t done = 0; done < count;)
    {
        const std::size_t chunk = count - done < kWideStage ? count - done : kWideStage;
        for (std::size_t i = 0; i < chunk; ++i)
        {
            // One code point per unit, read as an unsigned 32-bit value.
            stage[i] = static_cast<std::uint32_t>(source[done + i]);
        }
        const unsigned long* stageStart = stage;
        const int chunkResult = convert(&stageStart, stage + chunk, &target, targetEnd, UTF_LENIENT);
        if (stageStart != stage + chunk)
        {
            return chunkResult;
        }
        if (chunkResult != UTF_OK)
        {
            result = chunkResult;
        }
        done += chunk;
    }
    return result;
}

static_assert(sizeof(wchar_t) == 4, "wchar_t text holds one code point per 32-bit unit");

} // namespace

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::EncodeBinaryData(BinaryToTextEncodingType type,
                                                                        const unsigned char* bytes,
                                                                        unsigned long count)
{
    StringT result;
    const std::size_t length = bytes != nullptr ? BinaryToText::EncodedLength(type, count) : 0;
    if (length == 0)
    {
        return result;
    }
    CharT* units = result.Lock(static_cast<unsigned long>(length + 1));
    if constexpr (sizeof(CharT) == 1)
    {
        BinaryToText::Encode(type, bytes, count, units);
    }
    else
    {
        std::vector<char> text(length);
        BinaryToText::Encode(type, bytes, count, text.data());
        for (std::size_t i = 0; i < length; ++i)
        {
            units[i] = static_cast<CharT>(text[i]);
        }
    }
    units[length] = 0;
    result.Release();
    return result;
}

template <class CharT, class OtherCharT>
int StringT<CharT, OtherCharT>::DecodeBinaryData(BinaryToTextEncodingType type, RCPtr<LIBuffer>& buffer,
                                                 unsigned long offset) const
{
    if constexpr (sizeof(CharT) != 1)
    {
        // The UTF-8 form of this text decodes; a conversion that stops early
        // leaves the text before the stop, which is what decodes then.
        using Narrow = StringT<OtherCharT, CharT>;
        Narrow text;
        if (!IsEmpty())
        {
            RCPtr<LIBuffer> narrow;
            static_cast<void>(Narrow::ConvertToCharType(narrow, CStr(), static_cast<long>(GetLength())));
            text = Narrow(narrow);
        }
        return text.DecodeBinaryData(type, buffer, offset);
    }
    else
    {
        const std::size_t length = GetLength();
        std::size_t decoded = 0;
        const int sized = BinaryToText::DecodedSize(type, length, decoded);
        if (Result::Failed(sized))
        {
            return sized;
        }
        if (decoded > SIZE_MAX - offset)
        {
            return RESULT_FAILED;
        }
        const std::size_t need = offset + decoded;
        if (!buffer)
        {
            buffer = DecodeBuffer::Create(need, 0, true);
        }
        else
        {
            const std::size_t oldSize = buffer->GetSizeBytes();
            if (oldSize < need)
            {
                // Resizing keeps the content but leaves the new bytes as they
                // were; the gap before the offset must not carry stale memory.
                buffer->ResizeBytes(need);
                std::memset(static_cast<unsigned char*>(buffer->GetRawPtr()) + oldSize, 0, need - oldSize);
            }
        }
        if (length == 0)
        {
            return 0;
        }
        unsigned char* out = static_cast<unsigned char*>(buffer->GetRawPtr()) + offset;
        std::size_t written = 0;
        if (type == Base64)
        {
            const int result = BinaryToText::DecodeBase64(CStr(), length, out, need - offset, written);
            buffer->ResizeBytes(offset + written);
            return result;
        }
        return BinaryToText::DecodeHex(CStr(), length, out, need - offset, written);
    }
}

template <class CharT, class OtherCharT>
int StringT<CharT, OtherCharT>::ConvertToCharType(RCPtr<LIBuffer>& destination, const OtherCharT* source,
                                                  long count)
{
    if (source == nullptr || source[0] == 0)
    {
        destination = Empty.mBuffer;
        return 0;
    }
    const std::size_t n = count >= 0 ? static_cast<std::size_t>(count) : UnitsThroughNul(source);
    // The worst case of each direction, and a unit for the NUL.
    const std::size_t units = sizeof(CharT) == 1 ? 4 * n + 1 : n + 1;
    RCPtr<LIBuffer> buffer = StringBuffer::Create(UnitBytes(units), 0, true);
    CharT* target = buffer->template GetPtr<CharT>();
    int result;
    if constexpr (sizeof(CharT) == 1)
    {
        const unsigned short* from = source;
        unsigned char* to = reinterpret_cast<unsigned char*>(target);
        result = ConvertUTF16toUTF8(&from, source + n, &to, to + units - 1, UTF_LENIENT);
    }
    else
    {
        const unsigned char* from = reinterpret_cast<const unsigned char*>(source);
        unsigned short* to = target;
        result = ConvertUTF8toUTF16(&from, from + n, &to, to + units - 1, UTF_LENIENT);
    }
    target[units - 1] = 0;
    buffer->ResizeBytes(UnitBytes(StrLen(target, static_cast<unsigned long>(units)) + 1));
    destination = buffer;
    return result == UTF_OK ? 0 : RESULT_FAILED;
}

template <class CharT, class OtherCharT>
int StringT<CharT, OtherCharT>::ConvertToCharType(RCPtr<LIBuffer>& destination, const wchar_t* source,
                                                  long count)
{
    if (source == nullptr)
    {
        destination = Empty.mBuffer;
        return 0;
    }
    const std::size_t n = count >= 0 ? static_cast<std::size_t>(count) : UnitsThroughNul(source);
    const std::size_t units = sizeof(CharT) == 1 ? 4 * n + 1 : 3 * n + 1;
    RCPtr<LIBuffer> buffer = StringBuffer::Create(UnitBytes(units), 0, true);
    CharT* target = buffer->template GetPtr<CharT>();
    int result;
    if constexpr (sizeof(CharT) == 1)
    {
        unsigned char* to = reinterpret_cast<unsigned char*>(target);
        result = ConvertWide(source, n, to, to + units - 1, ConvertUTF32toUTF8);
    }
    else
    {
        unsigned short* to = target;
        result = ConvertWide(source, n, to, to + units - 1, ConvertUTF32toUTF16);
    }
    target[units - 1] = 0;
    buffer->ResizeBytes(UnitBytes(StrLen(target, static_cast<unsigned long>(units)) + 1));
    destination = buffer;
    return result == UTF_OK ? 0 : RESULT_FAILED;
}

#define KT_INSTANTIATE_STRING_ENCODING(CharT, OtherCharT)                                                    \
    template StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::EncodeBinaryData(                        \
        BinaryToTextEncodingType, const unsigned char*, unsigned long);                                      \
    template int StringT<CharT, OtherCharT>::DecodeBinaryData(BinaryToTextEncodingType, RCPtr<LIBuffer>&,    \
                                                              unsigned long) const;                          \
    template int StringT<CharT, OtherCharT>::ConvertToCharType(RCPtr<LIBuffer>&, const OtherCharT*, long);   \
    template int StringT<CharT, OtherCharT>::ConvertToCharType(RCPtr<LIBuffer>&, const wchar_t*, long);

KT_INSTANTIATE_STRING_ENCODING(char, unsigned short)
KT_INSTANTIATE_STRING_ENCODING(unsigned short, char)

#undef KT_INSTANTIATE_STRING_ENCODING

} // namespace KT
