// Hexadecimal and Base64 text of byte data, over caller-supplied memory. The
// string class builds its encode and decode members on these; they allocate
// nothing and never look at the host's locale.
#pragma once

#include <cstddef>

namespace KT
{

// Passed as a 32-bit value; any other value is refused by decoding and gives
// empty text when encoding.
enum BinaryToTextEncodingType : int
{
    // Two upper-case hexadecimal digits per byte, high nibble first.
    Hex = 0,
    // RFC 4648 Base64 with "=" padding and no line breaks.
    Base64 = 1,
};

// The Base64 alphabet; a character's position is its 6-bit value.
extern const char base64_chars[65];

namespace BinaryToText
{

// Characters that encoding count bytes produces; 0 for an unknown type.
std::size_t EncodedLength(BinaryToTextEncodingType type, std::size_t count);

// Writes the EncodedLength(type, count) characters of the text (no NUL).
void Encode(BinaryToTextEncodingType type, const unsigned char* bytes, std::size_t count, char* text);

// The most bytes that decoding length characters yields, in size: 0, or
// RESULT_FAILED for a length the encoding cannot have (odd for Hex, not a
// multiple of 4 for Base64), or RESULT_INVALID_ARGUMENT for an unknown type.
[[nodiscard]] int DecodedSize(BinaryToTextEncodingType type, std::size_t length, std::size_t& size);

// Decodes Base64 text into out, which has room for room bytes. Decoding stops
// at the first "=" (the padding) or at the first character outside the
// alphabet; a last group of 2 or 3 characters gives 1 or 2 bytes. written is
// the count of bytes stored. Returns 0, or RESULT_FAILED when it stopped at a
// character outside the alphabet or the bytes did not fit.
[[nodiscard]] int DecodeBase64(const char* text, std::size_t length, unsigned char* out, std::size_t room,
                               std::size_t& written);

// Decodes pairs of hexadecimal digits (either case) into out, one byte per
// pair, until a pair holds a non-digit: RESULT_FAILED, with the bytes before
// it stored; also RESULT_FAILED when the bytes do not fit in room. A last odd
// character is ignored (callers refuse odd lengths first).
[[nodiscard]] int DecodeHex(const char* text, std::size_t length, unsigned char* out, std::size_t room,
                            std::size_t& written);

} // namespace BinaryToText
} // namespace KT
