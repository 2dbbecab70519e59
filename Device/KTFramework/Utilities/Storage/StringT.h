// The framework's string: NUL-terminated text in a reference-counted buffer that
// copies share. A buffer that another string also holds is never written: every
// writing operation first gives the string a buffer of its own. Between Lock and
// Release the buffer belongs to this one string and may be written directly.
// Strings take no locks; copies of one string may live on different threads, but
// one string object is used by one thread at a time.
#pragma once

#include <cstddef>
#include <type_traits>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/BinaryToText.h"
#include "KTFramework/Utilities/Storage/Buffer.h"

namespace KT
{

// CharT is the code unit of this string (char for UTF-8, unsigned short for
// UTF-16); OtherCharT names the unit of the other width. Lengths, counts and
// sizes are in units of CharT unless bytes are named.
template <class CharT, class OtherCharT>
class StringT
{
public:
    using CharType = CharT;
    using OtherCharType = OtherCharT;
    // Every buffer a string makes: one-byte granule, up to 128 bytes of slack.
    using StringBuffer = LBufferT<1, 128>;

    // As a count: the whole text. Also the longest text the string functions take.
    static constexpr unsigned long kWholeText = 0x7ffffffe;

    // Shares the buffer of GetEmpty().
    StringT();
    // A buffer of its own: the character and a NUL, or one NUL for a NUL.
    explicit StringT(CharT character);
    // A null text gives the empty string.
    StringT(const CharT* text);
    // A locked source is copied into a new buffer; otherwise the buffer is shared.
    StringT(const StringT& other);
    // Adopts the buffer (shared with the caller, not copied) and trims it to the
    // units before its first NUL plus a NUL. A null buffer gives the empty string.
    explicit StringT(const RCPtr<LIBuffer>& buffer);
    virtual ~StringT();

    // At most maxUnits units of text, up to its NUL. A locked string keeps its
    // buffer and cuts the text to it.
    void Assign(const CharT* text, unsigned long maxUnits);
    StringT& operator=(const StringT& other);
    StringT& operator=(const CharT* text);

    StringT Narrow() const requires std::is_same_v<CharT, char> { return StringT(*this); }

    const CharT* CStr() const noexcept { return mBuffer->template GetPtr<CharT>(); }
    operator const CharT*() const noexcept { return CStr(); }
    // Unlocked: buffer units - 1. Locked: the units before the first NUL, never
    // beyond the buffer.
    unsigned long GetLength() const;
    bool IsEmpty() const noexcept { return CStr()[0] == 0; }
    bool IsLocked() const noexcept { return !!mBuffer && !mBuffer->IsShareable(); }

    // A writable buffer of size units (0: length + 1) holding the text, cut to
    // size - 1 units, with NUL in its last unit; null when already locked.
    CharT* Lock(unsigned long size);
    // Trims the buffer to its text and shares it again; 1 when nothing was locked.
    int Release();

    // Units before the first NUL, at most maxUnits; 0 for a null text.
    static unsigned long StrLen(const CharT* text, unsigned long maxUnits);
    // Writes NUL at the destination's last unit, then min(count, size - 1) units of
    // the source, NUL-filled after a NUL in the source. Writes nothing for size 0.
    static void StrCopy(CharT* destination, unsigned long size, const CharT* source, unsigned long count);

    StringT& operator+=(const StringT& other);
    // Appending NUL changes nothing.
    StringT& operator+=(CharT character);
    StringT operator+(const StringT& other) const;
    // 0, or RESULT_INVALID_ARGUMENT when position is beyond the length. A count
    // that the text does not hold (or kWholeText) inserts the whole text.
    [[nodiscard]] int Insert(unsigned long position, const CharT* text, unsigned long count);
    [[nodiscard]] int Insert(unsigned long position, const StringT& other);
    // A negative start counts from the end; the part of the window outside the
    // text is dropped.
    StringT GetSubString(long start, unsigned long count) const;
    StringT GetSubString(long start) const;

    bool IsEqual(const StringT& other) const;
    // A null text counts as empty.
    bool IsEqual(const CharT* text) const;
    bool operator==(const StringT& other) const { return IsEqual(other); }
    // Negative, 0 or positive as strcmp; without case sensitivity both texts are
    // compared as lower case (ASCII letters only).
    int Compare(const StringT& other, bool caseSensitive) const;
    int Compare(const CharT* text, bool caseSensitive) const;
    static int StrCompare(const CharT* text1, const CharT* text2, bool caseSensitive);
    StringT ToLower() const;
    // A-Z to a-z; every other unit, each byte of a multi-byte sequence included,
    // unchanged. Independent of the host's locale.
    static CharT ToLower(CharT character) noexcept;

    // printf-style text in the conventions of the "C" locale, cut to 16383 bytes
    // (StringTFormat.cpp). The UTF-16 string cannot format and throws.
    static StringT Format(const CharT* format, ...);
    StringT& SetFormatted(const CharT* format, ...);
    // Integers: the decimal text with a point before its last decimals digits,
    // zero-padded behind the point (5 with 2 gives ".05"); decimals <= 0 gives the
    // plain text. Floating point: printed with that many decimals, or with "%f"
    // when decimals < 0. The UTF-16 string holds the same text.
    static StringT FormatNumber(unsigned int value, int decimals);
    static StringT FormatNumber(int value, int decimals);
    static StringT FormatNumber(long value, int decimals);
    static StringT FormatNumber(unsigned long value, int decimals);
    static StringT FormatNumber(long long value, int decimals);
    static StringT FormatNumber(float value, int decimals);
    static StringT FormatNumber(double value, int decimals);
    // This string becomes its first token between the delimiters; returns the text
    // after the delimiter that ended the token. The UTF-16 string throws.
    StringT SplitToken(const StringT& delimiters);
    // Every unit found in set becomes unit; NUL as unit changes nothing. The
    // UTF-16 string throws for any other unit.
    StringT& Replace(const CharT* set, CharT unit);
    // The text reversed character by character; a character outside the Basic
    // Multilingual Plane stays whole. UTF-8 text is reversed up to its first
    // ill-formed sequence.
    StringT Reverse() const;

    // Bytes as hexadecimal or Base64 text (StringTEncoding.cpp); the empty
    // string for no bytes or an unknown type.
    static StringT EncodeBinaryData(BinaryToTextEncodingType type, const unsigned char* bytes,
                                    unsigned long count);
    // Decodes this text into buffer from byte offset on, creating the buffer when
    // null and growing it (zero-filled) when short. Base64 leaves the buffer ending
    // right after the decoded bytes; hexadecimal keeps its size. 0, or
    // RESULT_FAILED for malformed text (bytes decoded before the fault stay), or
    // RESULT_INVALID_ARGUMENT for an unknown type.
    [[nodiscard]] int DecodeBinaryData(BinaryToTextEncodingType type, RCPtr<LIBuffer>& buffer,
                                       unsigned long offset) const;
    // Text of the other width, or one code point per wchar_t, into a new buffer of
    // this width, converted leniently; count is in source units, negative for the
    // whole text with its NUL. Empty text gives the buffer of Empty. 0, or
    // RESULT_FAILED when conversion stopped early (the text before stays).
    [[nodiscard]] static int ConvertToCharType(RCPtr<LIBuffer>& destination, const OtherCharT* source,
                                               long count);
    [[nodiscard]] static int ConvertToCharType(RCPtr<LIBuffer>& destination, const wchar_t* source,
                                               long count);

    // The shared empty string. Built on first use and never destroyed, so static
    // constructors and destructors may use it.
    static const StringT& GetEmpty();
    // A copy of GetEmpty(), sharing its buffer.
    static const StringT Empty;

private:
    std::size_t BufferUnits() const noexcept { return mBuffer->GetSizeBytes() / sizeof(CharT); }
    CharT* Units() const noexcept { return mBuffer->template GetPtr<CharT>(); }
    static std::size_t UnitBytes(std::size_t units);
    // strcmp over two texts of known lengths, read no further than those lengths.
    static int CompareUnits(const CharT* text1, std::size_t length1, const CharT* text2, std::size_t length2,
                            bool caseSensitive) noexcept;

    RCPtr<LIBuffer> mBuffer;
};

// Built before the library's ordinary static objects and destroyed after them
// (see StringT.cpp).
template <>
const StringT<char, unsigned short> StringT<char, unsigned short>::Empty;
template <>
const StringT<unsigned short, char> StringT<unsigned short, char>::Empty;

// The members are defined and instantiated for both widths in StringT.cpp.
extern template class StringT<char, unsigned short>;
extern template class StringT<unsigned short, char>;

// Hosts are built against this layout: the dispatch pointer, then the buffer.
static_assert(sizeof(StringT<char, unsigned short>) == 16,
              "StringT is a dispatch pointer and a buffer pointer");
static_assert(sizeof(StringT<unsigned short, char>) == 16,
              "StringT is a dispatch pointer and a buffer pointer");
static_assert(std::is_polymorphic_v<StringT<char, unsigned short>>, "StringT has a virtual destructor");

} // namespace KT
