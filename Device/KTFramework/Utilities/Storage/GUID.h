// Sixteen-byte identifiers of device products and instances, and their text
// form: 32 upper-case hexadecimal digits, byte 0 first, no separators. The
// bytes are a plain byte string: no field structure is read into them.
#pragma once

#include <cstring>
#include <string>

#include "KTFramework/Utilities/Storage/StringT.h"

struct GUID
{
    using Bytes = unsigned char[16];

    operator Bytes&() { return mBytes; }
    operator const Bytes&() const { return mBytes; }

    unsigned char mBytes[16];
};

static_assert(sizeof(GUID) == 16, "a GUID is its 16 bytes");

namespace KT
{

class GUIDComparable
{
public:
    using Bytes = unsigned char[16];

    GUIDComparable() : mBytes{} {}
    GUIDComparable(const Bytes& bytes) { std::memcpy(mBytes, bytes, sizeof(mBytes)); }

    bool operator==(const Bytes& other) const { return std::memcmp(mBytes, other, sizeof(mBytes)) == 0; }
    // Without it, two GUIDComparables would compare through the conversion to
    // Bytes either way round, which C++20 calls ambiguous.
    bool operator==(const GUIDComparable& other) const { return *this == other.mBytes; }
    operator const Bytes&() const { return mBytes; }

private:
    unsigned char mBytes[16];
};

static_assert(sizeof(GUIDComparable) == 16, "a GUID is its 16 bytes");

} // namespace KT

// The helpers below are file-local in every translation unit that includes
// them, as callers have always had them.

static inline bool IsEqualGUID(const GUID& left, const GUID& right)
{
    return std::memcmp(left.mBytes, right.mBytes, sizeof(left.mBytes)) == 0;
}

namespace KT::GUIDText
{

// 0-9, A-F and a-f give their value; any other character gives 0.
inline unsigned char HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
    {
        return static_cast<unsigned char>(c - '0');
    }
    if (c >= 'A' && c <= 'F')
    {
        return static_cast<unsigned char>(c - 'A' + 10);
    }
    if (c >= 'a' && c <= 'f')
    {
        return static_cast<unsigned char>(c - 'a' + 10);
    }
    return 0;
}

inline char HexDigit(unsigned int nibble)
{
    return "0123456789ABCDEF"[nibble & 0xF];
}

} // namespace KT::GUIDText

static inline std::string UUIDToSTLString(const unsigned char (&bytes)[16])
{
    std::string text(32, '0');
    for (size_t i = 0; i < 16; ++i)
    {
        text[2 * i] = KT::GUIDText::HexDigit(bytes[i] >> 4);
        text[2 * i + 1] = KT::GUIDText::HexDigit(bytes[i]);
    }
    return text;
}

// Exactly the first 32 characters are read; positions past the end of a
// shorter text count as 0, and dashes are not skipped.
static inline void UUIDFromHexString(const KT::StringT<char, unsigned short>& text, unsigned char (&out)[16])
{
    const char* chars = text.CStr();
    const size_t length = text.GetLength() < 32 ? static_cast<size_t>(text.GetLength()) : 32;
    auto at = [&](size_t position)
    { return position < length ? KT::GUIDText::HexDigitValue(chars[position]) : 0; };
    for (size_t i = 0; i < 16; ++i)
    {
        out[i] = static_cast<unsigned char>((at(2 * i) << 4) | at(2 * i + 1));
    }
}
