// Little-endian reads and writes over unaligned bytes. Every byte format of the
// library and of the uninstaller goes through these, never through casts of
// structs, so records read the same whatever the host's alignment and byte
// order. They stay in namespace KT, where the framework's formats have always
// found them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace KT
{

inline std::uint32_t ReadLE32(const unsigned char* p) noexcept
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void WriteLE32(unsigned char* p, std::uint32_t value) noexcept
{
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
    p[3] = static_cast<unsigned char>(value >> 24);
}

// Reads up to eight bytes little-endian; bytes beyond count read as zero.
inline std::uint64_t ReadLE(const unsigned char* p, std::size_t count) noexcept
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count && i < 8; ++i)
    {
        value |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    }
    return value;
}

// Writes the low count bytes (at most eight) of value little-endian.
inline void WriteLE(unsigned char* p, std::uint64_t value, std::size_t count) noexcept
{
    for (std::size_t i = 0; i < count && i < 8; ++i)
    {
        p[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

inline std::uint16_t ReadLE16(const unsigned char* p) noexcept
{
    return static_cast<std::uint16_t>(ReadLE(p, 2));
}

inline std::uint64_t ReadLE64(const unsigned char* p) noexcept
{
    return ReadLE(p, 8);
}

inline void WriteLE64(unsigned char* p, std::uint64_t value) noexcept
{
    WriteLE(p, value, 8);
}

} // namespace KT
