// The fuzz targets' own reading of UTF-8, kept apart from the readers under
// test: the code points of well-formed UTF-8 (no overlong forms, surrogates or
// values past U+10FFFF), or nothing.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace FuzzText
{

inline std::optional<std::vector<char32_t>> DecodeUTF8(std::string_view text)
{
    std::vector<char32_t> codePoints;
    for (std::size_t i = 0; i < text.size();)
    {
        const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
        const unsigned char lead = byte(i);
        const std::size_t length = lead < 0x80                    ? 1
                                   : lead >= 0xC2 && lead <= 0xDF ? 2
                                   : lead >= 0xE0 && lead <= 0xEF ? 3
                                   : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                                  : 0;
        if (length == 0 || i + length > text.size())
        {
            return std::nullopt;
        }
        char32_t codePoint = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k)
        {
            if ((byte(i + k) & 0xC0) != 0x80)
            {
                return std::nullopt;
            }
            codePoint = codePoint << 6 | (byte(i + k) & 0x3F);
        }
        const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < least[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        {
            return std::nullopt;
        }
        codePoints.push_back(codePoint);
        i += length;
    }
    return codePoints;
}

} // namespace FuzzText
