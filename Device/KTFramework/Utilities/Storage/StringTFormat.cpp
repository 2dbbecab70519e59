// The string's text-producing and text-splitting members: printf-style
// formatting, numbers with fixed decimals, token splitting, replacement and
// reversal. The UTF-8 string does the work; the UTF-16 string converts a UTF-8
// result or refuses what the platform cannot serve.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "KTFramework/Defs/Exceptions/ExceptionSites.h"
#include "KTFramework/Defs/Exceptions/KTException.h"
#include "KTFramework/Utilities/Storage/StringT.h"
#include "Platform/CLocaleFormat.h"

namespace KT
{

namespace
{

// The texts of the UTF-16 refusals; hosts see them in the messages.
constexpr const char* kNoWideFormatting = " vsnwprintf only supported on Windows";
constexpr const char* kNotImplemented = "Not implemented.";

// Formatted text is cut to one byte less than this, for its NUL.
constexpr std::size_t kFormatScratchBytes = 16384;

constexpr unsigned short kHighSurrogateFirst = 0xD800;
constexpr unsigned short kHighSurrogateLast = 0xDBFF;
constexpr unsigned short kLowSurrogateFirst = 0xDC00;
constexpr unsigned short kLowSurrogateLast = 0xDFFF;

void FormatScratch(char* scratch, const char* format, va_list args)
{
    scratch[0] = '\0';
    Platform::FormatInCLocale(scratch, kFormatScratchBytes, format, args);
    // An encoding error may leave the scratch unterminated.
    scratch[kFormatScratchBytes - 1] = '\0';
}

// Short texts only: a number, or a format built for one.
std::string FormatShort(const char* format, ...)
{
    char text[128];
    va_list args;
    va_start(args, format);
    text[0] = '\0';
    Platform::FormatInCLocale(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

std::string FormatLong(const char* format, ...)
{
    std::vector<char> scratch(kFormatScratchBytes);
    va_list args;
    va_start(args, format);
    FormatScratch(scratch.data(), format, args);
    va_end(args);
    return scratch.data();
}

// Places the decimal point before the last decimals digits of an integer's
// text, padding with zeros so that there are that many. A negative value too
// short for that is "-" and its digits treated as a non-negative value; the
// value itself is never negated, so the most negative values work too.
std::string PlaceDecimals(std::string text, int decimals)
{
    if (decimals <= 0 || text.empty())
    {
        return text;
    }
    const std::size_t count = static_cast<std::size_t>(decimals);
    const bool negative = text[0] == '-';
    if (negative && text.size() <= count)
    {
        return "-" + PlaceDecimals(text.substr(1), decimals);
    }
    if (text.size() < count)
    {
        text.insert(0, count - text.size(), '0');
    }
    text.insert(text.size() - count, 1, '.');
    return text;
}

// The printf conversion of each integer type FormatNumber takes: the type picks
// it, so a conversion cannot disagree with the argument it reads.
template <class Integer>
constexpr const char* IntegerConversion()
{
    if constexpr (std::is_same_v<Integer, int>)
    {
        return "%d";
    }
    else if constexpr (std::is_same_v<Integer, unsigned int>)
    {
        return "%u";
    }
    else if constexpr (std::is_same_v<Integer, long>)
    {
        return "%ld";
    }
    else if constexpr (std::is_same_v<Integer, unsigned long>)
    {
        return "%lu";
    }
    else
    {
        static_assert(std::is_same_v<Integer, long long>, "no conversion for this integer type");
        return "%lld";
    }
}

// A string of either width holding ASCII text made as UTF-8.
template <class String>
String FromNarrow(const std::string& text)
{
    if constexpr (sizeof(typename String::CharType) == 1)
    {
        return String(text.c_str());
    }
    else
    {
        // ASCII cannot fail to convert.
        RCPtr<LIBuffer> buffer;
        static_cast<void>(String::ConvertToCharType(buffer, text.c_str(), -1));
        return String(buffer);
    }
}

// An integer's text with the decimal point placed before its last decimals
// digits.
template <class String, class Integer>
String FormatInteger(Integer value, int decimals)
{
    return FromNarrow<String>(PlaceDecimals(FormatShort(IntegerConversion<Integer>(), value), decimals));
}

// Reverses UTF-16 units character by character: a high surrogate directly
// followed by a low one moves as a pair; every other unit moves alone.
void ReverseUtf16(const unsigned short* units, std::size_t count, unsigned short* out)
{
    std::size_t end = count;
    for (std::size_t i = 0; i < count;)
    {
        const bool pair = units[i] >= kHighSurrogateFirst && units[i] <= kHighSurrogateLast &&
                          i + 1 < count && units[i + 1] >= kLowSurrogateFirst &&
                          units[i + 1] <= kLowSurrogateLast;
        const std::size_t width = pair ? 2 : 1;
        end -= width;
        std::memcpy(out + end, units + i, width * sizeof(unsigned short));
        i += width;
    }
}

} // namespace

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::Format(const CharT* format, ...)
{
    if constexpr (sizeof(CharT) != 1)
    {
        ThrowException<std::domain_error>(ExceptionSites::kStringTFormat, kNoWideFormatting);
    }
    else
    {
        char scratch[kFormatScratchBytes];
        va_list args;
        va_start(args, format);
        FormatScratch(scratch, format, args);
        va_end(args);
        return StringT(scratch);
    }
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT>& StringT<CharT, OtherCharT>::SetFormatted(const CharT* format, ...)
{
    if constexpr (sizeof(CharT) != 1)
    {
        ThrowException<std::domain_error>(ExceptionSites::kStringTSetFormatted, kNoWideFormatting);
    }
    else
    {
        // Formatted before the assignment, so the arguments may be this string's
        // own text.
        char scratch[kFormatScratchBytes];
        va_list args;
        va_start(args, format);
        FormatScratch(scratch, format, args);
        va_end(args);
        Assign(scratch, kWholeText);
        return *this;
    }
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::FormatNumber(unsigned int value, int decimals)
{
    return FormatInteger<StringT>(value, decimals);
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::FormatNumber(int value, int decimals)
{
    return FormatInteger<StringT>(value, decimals);
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::FormatNumber(long value, int decimals)
{
    return FormatInteger<StringT>(value, decimals);
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::FormatNumber(unsigned long value, int decimals)
{
    return FormatInteger<StringT>(value, decimals);
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::FormatNumber(long long value, int decimals)
{
    return FormatInteger<StringT>(value, decimals);
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::FormatNumber(float value, int decimals)
{
    // printf reads a float as the double it was promoted to.
    return FormatNumber(static_cast<double>(value), decimals);
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::FormatNumber(double value, int decimals)
{
    const std::string format = decimals >= 0 ? FormatShort("%%.%dlf", decimals) : std::string("%lf");
    return FromNarrow<StringT>(FormatLong(format.c_str(), value));
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::SplitToken(const StringT& delimiters)
{
    if constexpr (sizeof(CharT) != 1)
    {
        (void)delimiters;
        ThrowException<std::domain_error>(ExceptionSites::kStringTSplitToken, kNotImplemented);
    }
    else
    {
        const unsigned long length = GetLength();
        std::vector<char> scratch(CStr(), CStr() + length);
        scratch.push_back('\0');
        // strtok_r skips leading delimiters and writes a NUL over the delimiter
        // that ends the token, if any; the rest of the scratch stays as it was.
        char* state = nullptr;
        const char* token = ::strtok_r(scratch.data(), delimiters.CStr(), &state);
        Assign(token, kWholeText);
        const std::size_t tokenEnd = std::strlen(scratch.data());
        if (tokenEnd < length)
        {
            return StringT(scratch.data() + tokenEnd + 1);
        }
        return StringT();
    }
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT>& StringT<CharT, OtherCharT>::Replace(const CharT* set, CharT unit)
{
    if (unit == 0)
    {
        return *this;
    }
    if constexpr (sizeof(CharT) != 1)
    {
        (void)set;
        ThrowException<std::domain_error>(ExceptionSites::kStringTReplace, kNotImplemented);
    }
    else
    {
        if (set == nullptr || set[0] == '\0')
        {
            return *this;
        }
        const unsigned long length = GetLength();
        std::vector<char> scratch(CStr(), CStr() + length);
        scratch.push_back('\0');
        for (char* p = scratch.data(); *(p += std::strcspn(p, set)) != '\0'; ++p)
        {
            *p = unit;
        }
        Assign(scratch.data(), kWholeText);
        return *this;
    }
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::Reverse() const
{
    const unsigned long length = GetLength();
    if (length == 0)
    {
        return StringT();
    }
    if constexpr (sizeof(CharT) != 1)
    {
        std::vector<unsigned short> reversed(length + 1, 0);
        ReverseUtf16(CStr(), length, reversed.data());
        return StringT(reversed.data());
    }
    else
    {
        // Reversed as UTF-16, so multi-byte characters stay whole; conversion
        // stops at an ill-formed sequence and only the text before it is
        // reversed.
        using Wide = StringT<OtherCharT, CharT>;
        RCPtr<LIBuffer> wide;
        static_cast<void>(Wide::ConvertToCharType(wide, CStr(), static_cast<long>(length)));
        const std::size_t units = wide->GetSizeBytes() / sizeof(unsigned short) - 1;
        if (units == 0)
        {
            return StringT();
        }
        std::vector<unsigned short> reversed(units);
        ReverseUtf16(wide->template GetPtr<unsigned short>(), units, reversed.data());
        RCPtr<LIBuffer> narrow;
        // Reversed whole characters of well-formed UTF-16 convert back in full.
        static_cast<void>(ConvertToCharType(narrow, reversed.data(), static_cast<long>(units)));
        return StringT(narrow);
    }
}

#define KT_INSTANTIATE_STRING_FORMATTING(CharT, OtherCharT)                                                  \
    template StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::Format(const CharT*, ...);               \
    template StringT<CharT, OtherCharT>& StringT<CharT, OtherCharT>::SetFormatted(const CharT*, ...);        \
    template StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::FormatNumber(unsigned int, int);         \
    template StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::FormatNumber(int, int);                  \
    template StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::FormatNumber(long, int);                 \
    template StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::FormatNumber(unsigned long, int);        \
    template StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::FormatNumber(long long, int);            \
    template StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::FormatNumber(float, int);                \
    template StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::FormatNumber(double, int);               \
    template StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::SplitToken(const StringT&);              \
    template StringT<CharT, OtherCharT>& StringT<CharT, OtherCharT>::Replace(const CharT*, CharT);           \
    template StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::Reverse() const;

KT_INSTANTIATE_STRING_FORMATTING(char, unsigned short)
KT_INSTANTIATE_STRING_FORMATTING(unsigned short, char)

#undef KT_INSTANTIATE_STRING_FORMATTING

} // namespace KT
