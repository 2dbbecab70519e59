#include "KTFramework/Utilities/Storage/BinaryToText.h"

#include "KTFramework/Defs/Result.h"

namespace KT
{

const char base64_chars[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

namespace
{

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kBase64Pad = '=';
constexpr std::size_t kBase64GroupChars = 4;
constexpr std::size_t kBase64GroupBytes = 3;

// The 6-bit value of a Base64 character, or -1 outside the alphabet. Fixed
// ASCII ranges, so the host's locale cannot widen the alphabet.
int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
    {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z')
    {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9')
    {
        return c - '0' + 52;
    }
    if (c == '+')
    {
        return 62;
    }
    if (c == '/')
    {
        return 63;
    }
    return -1;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
    {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F')
    {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f')
    {
        return c - 'a' + 10;
    }
    return -1;
}

// The bytes of a group of count (2 to 4) 6-bit values: count - 1 of them.
std::size_t Base64GroupToBytes(const int* values, std::size_t count, unsigned char* bytes)
{
    bytes[0] = static_cast<unsigned char>((values[0] << 2) | (values[1] >> 4));
    if (count > 2)
    {
        bytes[1] = static_cast<unsigned char>(((values[1] & 15) << 4) | (values[2] >> 2));
    }
    if (count > 3)
    {
        bytes[2] = static_cast<unsigned char>(((values[2] & 3) << 6) | values[3]);
    }
    return count - 1;
}

} // namespace

namespace BinaryToText
{

std::size_t EncodedLength(BinaryToTextEncodingType type, std::size_t count)
{
    switch (type)
    {
    case Hex:
        return count * 2;
    case Base64:
        return (count + kBase64GroupBytes - 1) / kBase64GroupBytes * kBase64GroupChars;
    }
    return 0;
}

void Encode(BinaryToTextEncodingType type, const unsigned char* bytes, std::size_t count, char* text)
{
    if (type == Hex)
    {
        for (std::size_t i = 0; i < count; ++i)
        {
            *text++ = kHexDigits[bytes[i] >> 4];
            *text++ = kHexDigits[bytes[i] & 15];
        }
        return;
    }
    if (type != Base64)
    {
        return;
    }
    std::size_t i = 0;
    for (; i + kBase64GroupBytes <= count; i += kBase64GroupBytes)
    {
        const unsigned char b0 = bytes[i];
        const unsigned char b1 = bytes[i + 1];
        const unsigned char b2 = bytes[i + 2];
        *text++ = base64_chars[b0 >> 2];
        *text++ = base64_chars[((b0 & 3) << 4) | (b1 >> 4)];
        *text++ = base64_chars[((b1 & 15) << 2) | (b2 >> 6)];
        *text++ = base64_chars[b2 & 63];
    }
    const std::size_t rest = count - i;
    if (rest == 0)
    {
        return;
    }
    // The last one or two bytes are completed with zero bytes; the characters
    // that carry no input bits become padding.
    const unsigned char b0 = bytes[i];
    const unsigned char b1 = rest > 1 ? bytes[i + 1] : 0;
    *text++ = base64_chars[b0 >> 2];
    *text++ = base64_chars[((b0 & 3) << 4) | (b1 >> 4)];
    *text++ = rest > 1 ? base64_chars[(b1 & 15) << 2] : kBase64Pad;
    *text++ = kBase64Pad;
}

int DecodedSize(BinaryToTextEncodingType type, std::size_t length, std::size_t& size)
{
    switch (type)
    {
    case Hex:
        if (length % 2 != 0)
        {
            return RESULT_FAILED;
        }
        size = length / 2;
        return 0;
    case Base64:
        if (length % kBase64GroupChars != 0)
        {
            return RESULT_FAILED;
        }
        size = length / kBase64GroupChars * kBase64GroupBytes;
        return 0;
    }
    return RESULT_INVALID_ARGUMENT;
}

int DecodeBase64(const char* text, std::size_t length, unsigned char* out, std::size_t room,
                 std::size_t& written)
{
    written = 0;
    int values[kBase64GroupChars] = {};
    std::size_t collected = 0;
    int result = 0;
    for (std::size_t i = 0; i < length; ++i)
    {
        if (text[i] == kBase64Pad)
        {
            break;
        }
        const int value = Base64Value(text[i]);
        if (value < 0)
        {
            // A stop at a foreign character is reported; the bytes of the
            // groups before it stay decoded.
            result = RESULT_FAILED;
            break;
        }
        values[collected++] = value;
        if (collected == kBase64GroupChars)
        {
            if (room - written < kBase64GroupBytes)
            {
                return RESULT_FAILED;
            }
            written += Base64GroupToBytes(values, collected, out + written);
            collected = 0;
        }
    }
    if (collected >= 2)
    {
        if (room - written < collected - 1)
        {
            return RESULT_FAILED;
        }
        written += Base64GroupToBytes(values, collected, out + written);
    }
    return result;
}

int DecodeHex(const char* text, std::size_t length, unsigned char* out, std::size_t room,
              std::size_t& written)
{
    written = 0;
    for (std::size_t i = 0; i + 1 < length; i += 2)
    {
        const int high = HexValue(text[i]);
        const int low = HexValue(text[i + 1]);
        if (high < 0 || low < 0 || written >= room)
        {
            return RESULT_FAILED;
        }
        out[written++] = static_cast<unsigned char>((high << 4) | low);
    }
    return 0;
}

} // namespace BinaryToText
} // namespace KT
