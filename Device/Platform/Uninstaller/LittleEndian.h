// Little-endian reads and writes over unsigned bytes for the uninstaller's byte
// formats (the helper's frames, authorization forms, ELF headers). The
// uninstaller links none of the library's layers, so it keeps its own copy.
#pragma once

#include <cstdint>

namespace Uninstaller::Platform
{

inline std::uint16_t ReadLE16(const unsigned char* p) noexcept
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t ReadLE32(const unsigned char* p) noexcept
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::uint64_t ReadLE64(const unsigned char* p) noexcept
{
    return static_cast<std::uint64_t>(ReadLE32(p)) | (static_cast<std::uint64_t>(ReadLE32(p + 4)) << 32);
}

inline void WriteLE32(unsigned char* p, std::uint32_t value) noexcept
{
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
    p[3] = static_cast<unsigned char>(value >> 24);
}

inline void WriteLE64(unsigned char* p, std::uint64_t value) noexcept
{
    WriteLE32(p, static_cast<std::uint32_t>(value));
    WriteLE32(p + 4, static_cast<std::uint32_t>(value >> 32));
}

} // namespace Uninstaller::Platform
