// Inputs for the loops that feed the uninstaller's text readers random and cut
// bytes: a fixed-seed generator over an alphabet that favours each format's
// syntax, and a check that output is well-formed UTF-8.
#pragma once

#include <cstddef>
#include <random>
#include <string>
#include <string_view>

namespace UninstallerTest
{

inline std::string RandomBytes(std::mt19937& random, std::string_view alphabet, std::size_t maxLength)
{
    std::uniform_int_distribution<std::size_t> length(0, maxLength);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> anyByte(0, 255);
    std::string bytes(length(random), '\0');
    for (char& c : bytes)
    {
        // One byte in eight is arbitrary, the rest come from the alphabet.
        c = pick(random) % 8 == 0 ? static_cast<char>(anyByte(random)) : alphabet[pick(random)];
    }
    return bytes;
}

inline bool IsWellFormedUTF8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();)
    {
        const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
        const unsigned char lead = byte(i);
        std::size_t length = lead < 0x80                    ? 1
                             : lead >= 0xC2 && lead <= 0xDF ? 2
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                            : 0;
        if (length == 0 || i + length > text.size())
        {
            return false;
        }
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead == 0xE0)
        {
            low = 0xA0;
        }
        else if (lead == 0xED)
        {
            high = 0x9F;
        }
        else if (lead == 0xF0)
        {
            low = 0x90;
        }
        else if (lead == 0xF4)
        {
            high = 0x8F;
        }
        for (std::size_t k = 1; k < length; ++k)
        {
            const unsigned char next = byte(i + k);
            if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF))
            {
                return false;
            }
        }
        i += length;
    }
    return true;
}

} // namespace UninstallerTest
