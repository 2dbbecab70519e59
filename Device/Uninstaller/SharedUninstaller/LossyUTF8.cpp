#include "Uninstaller/SharedUninstaller/LossyUTF8.h"

namespace Uninstaller
{

namespace
{

constexpr char kReplacement[] = "\xEF\xBF\xBD";

// The length of the well-formed sequence at bytes[0], or 0 when it is not
// one; skip is then the length of its maximal ill-formed part (at least 1).
std::size_t WellFormedLength(std::span<const unsigned char> bytes, std::size_t& skip)
{
    const unsigned char lead = bytes[0];
    skip = 1;
    if (lead < 0x80)
    {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF)
    {
        length = 2;
    }
    else if (lead >= 0xE0 && lead <= 0xEF)
    {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF; // no surrogates
    }
    else if (lead >= 0xF0 && lead <= 0xF4)
    {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;  // no overlong forms
        high = lead == 0xF4 ? 0x8F : 0xBF; // nothing above U+10FFFF
    }
    else
    {
        return 0;
    }
    for (std::size_t index = 1; index < length; ++index)
    {
        if (index >= bytes.size())
        {
            return 0;
        }
        const unsigned char next = bytes[index];
        const unsigned char min = index == 1 ? low : 0x80;
        const unsigned char max = index == 1 ? high : 0xBF;
        if (next < min || next > max)
        {
            return 0;
        }
        skip = index + 1;
    }
    return length;
}

} // namespace

std::string DecodeUTF8Lossily(std::span<const unsigned char> bytes)
{
    std::string text;
    text.reserve(bytes.size());
    std::size_t position = 0;
    while (position < bytes.size())
    {
        std::size_t skip = 1;
        const std::size_t length = WellFormedLength(bytes.subspan(position), skip);
        if (length > 0)
        {
            text.append(reinterpret_cast<const char*>(bytes.data() + position), length);
            position += length;
        }
        else
        {
            text += kReplacement;
            position += skip;
        }
    }
    return text;
}

std::size_t CutAtCharacterBoundary(const std::string& text, std::size_t maxBytes)
{
    if (text.size() <= maxBytes)
    {
        return text.size();
    }
    std::size_t cut = maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
    {
        --cut;
    }
    return cut;
}

} // namespace Uninstaller
