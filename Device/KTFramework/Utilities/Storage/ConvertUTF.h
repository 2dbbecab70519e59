// Converters between UTF-8, UTF-16 and UTF-32 over caller-supplied ranges. They
// allocate nothing and keep no state; the library exports them under these
// plain C names, so their signatures are part of what the host links against.
#pragma once

// Code units: UTF-8 in unsigned char, UTF-16 in unsigned short, UTF-32 in
// unsigned long (one code point per unit).

// Results of the converters.
constexpr int UTF_OK = 0;
// The source ends inside a multi-unit sequence.
constexpr int UTF_SOURCE_TRUNCATED = 1;
// No room in the target for the next character.
constexpr int UTF_TARGET_FULL = 2;
// Ill-formed input, or a code point the target cannot hold.
constexpr int UTF_SOURCE_INVALID = 3;

// Flags of the converters: strict refuses unpaired surrogates, lenient passes
// them on or replaces them with U+FFFD.
constexpr int UTF_STRICT = 0;
constexpr int UTF_LENIENT = 1;

#define KT_CONVERTUTF_EXPORT __attribute__((visibility("default")))

// Each converter reads from *sourceStart up to sourceEnd and writes from
// *targetStart up to targetEnd, and leaves both start pointers where it stopped.
// When the target is full the source pointer stays at the start of the
// character that did not fit, and nothing of that character is written.
extern "C"
{
    KT_CONVERTUTF_EXPORT int ConvertUTF8toUTF16(const unsigned char** sourceStart,
                                                const unsigned char* sourceEnd, unsigned short** targetStart,
                                                unsigned short* targetEnd, int flags);
    KT_CONVERTUTF_EXPORT int ConvertUTF16toUTF8(const unsigned short** sourceStart,
                                                const unsigned short* sourceEnd, unsigned char** targetStart,
                                                unsigned char* targetEnd, int flags);
    KT_CONVERTUTF_EXPORT int ConvertUTF32toUTF16(const unsigned long** sourceStart,
                                                 const unsigned long* sourceEnd, unsigned short** targetStart,
                                                 unsigned short* targetEnd, int flags);
    KT_CONVERTUTF_EXPORT int ConvertUTF16toUTF32(const unsigned short** sourceStart,
                                                 const unsigned short* sourceEnd, unsigned long** targetStart,
                                                 unsigned long* targetEnd, int flags);
    KT_CONVERTUTF_EXPORT int ConvertUTF32toUTF8(const unsigned long** sourceStart,
                                                const unsigned long* sourceEnd, unsigned char** targetStart,
                                                unsigned char* targetEnd, int flags);
    KT_CONVERTUTF_EXPORT int ConvertUTF8toUTF32(const unsigned char** sourceStart,
                                                const unsigned char* sourceEnd, unsigned long** targetStart,
                                                unsigned long* targetEnd, int flags);

    // True when the sequence that the lead byte at source announces lies wholly
    // before sourceEnd and is well-formed UTF-8.
    KT_CONVERTUTF_EXPORT bool isLegalUTF8Sequence(const unsigned char* source,
                                                  const unsigned char* sourceEnd);
}
