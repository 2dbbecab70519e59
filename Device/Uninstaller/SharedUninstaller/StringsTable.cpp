#include "Uninstaller/SharedUninstaller/StringsTable.h"

#include "Uninstaller/SharedUninstaller/UnicodeText.h"

#include <cstdint>
#include <optional>

namespace Uninstaller
{

namespace
{

// The file's text as UTF-8; an odd byte at the end of UTF-16 is reported.
std::string DecodeFile(std::string_view bytes, std::string& fault)
{
    const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.starts_with("\xEF\xBB\xBF"))
    {
        return std::string(bytes.substr(3));
    }
    const bool littleEndian = bytes.starts_with("\xFF\xFE");
    if (!littleEndian && !bytes.starts_with("\xFE\xFF"))
    {
        return std::string(bytes);
    }
    std::string text;
    std::uint32_t high = 0; // a pending high surrogate, or 0
    std::size_t i = 2;
    for (; i + 1 < bytes.size(); i += 2)
    {
        const std::uint32_t unit =
            littleEndian ? (byteAt(i) | byteAt(i + 1) << 8) : (byteAt(i) << 8 | byteAt(i + 1));
        if (high != 0 && IsLowSurrogate(unit))
        {
            AppendUTF8(text, JoinSurrogates(high, unit));
            high = 0;
            continue;
        }
        if (high != 0)
        {
            AppendUTF8(text, kReplacementCharacter);
            high = 0;
        }
        if (IsHighSurrogate(unit))
        {
            high = unit;
        }
        else
        {
            AppendUTF8(text, unit); // a lone low surrogate becomes U+FFFD here
        }
    }
    if (high != 0)
    {
        AppendUTF8(text, kReplacementCharacter);
    }
    if (i < bytes.size())
    {
        fault = "UTF-16 text ends in half a character";
    }
    return text;
}

bool IsUnquotedCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '$' || c == ':' || c == '/' || c == '-';
}

class Parser
{
public:
    explicit Parser(std::string_view text) : mText(text) {}

    // Entries until the end or the first fault, which is then described.
    StringsTable::Entries Parse(std::string& fault);

private:
    // False on an unterminated comment.
    bool SkipSpaceAndComments();
    std::optional<std::string> Token();
    std::optional<std::string> Quoted();
    bool Fail(const char* what)
    {
        mFault = what;
        return false;
    }

    std::string_view mText;
    std::size_t mPos = 0;
    const char* mFault = nullptr;
};

StringsTable::Entries Parser::Parse(std::string& fault)
{
    StringsTable::Entries entries;
    while (SkipSpaceAndComments() && mPos < mText.size())
    {
        std::optional<std::string> key = Token();
        if (!key)
        {
            break;
        }
        if (!SkipSpaceAndComments())
        {
            break;
        }
        if (mPos >= mText.size() || mText[mPos] != '=')
        {
            Fail(mPos < mText.size() ? "expected '='" : "unexpected end of file");
            break;
        }
        ++mPos;
        if (!SkipSpaceAndComments())
        {
            break;
        }
        std::optional<std::string> value = Token();
        if (!value || !SkipSpaceAndComments())
        {
            break;
        }
        if (mPos >= mText.size() || mText[mPos] != ';')
        {
            Fail(mPos < mText.size() ? "expected ';'" : "unexpected end of file");
            break;
        }
        ++mPos;
        entries.insert_or_assign(std::move(*key), std::move(*value));
    }
    if (mFault != nullptr)
    {
        std::size_t line = 1;
        for (std::size_t i = 0; i < mPos && i < mText.size(); ++i)
        {
            line += mText[i] == '\n' ? 1 : 0;
        }
        fault = "line " + std::to_string(line) + ": " + mFault;
    }
    return entries;
}

bool Parser::SkipSpaceAndComments()
{
    while (mPos < mText.size())
    {
        const char c = mText[mPos];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v')
        {
            ++mPos;
        }
        else if (mText.substr(mPos).starts_with("/*"))
        {
            const std::size_t end = mText.find("*/", mPos + 2);
            if (end == std::string_view::npos)
            {
                return Fail("unterminated comment");
            }
            mPos = end + 2;
        }
        else if (mText.substr(mPos).starts_with("//"))
        {
            const std::size_t end = mText.find('\n', mPos);
            mPos = end == std::string_view::npos ? mText.size() : end + 1;
        }
        else
        {
            break;
        }
    }
    return true;
}

std::optional<std::string> Parser::Token()
{
    if (mPos < mText.size() && mText[mPos] == '"')
    {
        ++mPos;
        return Quoted();
    }
    const std::size_t start = mPos;
    while (mPos < mText.size() && IsUnquotedCharacter(mText[mPos]))
    {
        ++mPos;
    }
    if (mPos == start)
    {
        Fail(mPos < mText.size() ? "expected a quoted or unquoted text" : "unexpected end of file");
        return std::nullopt;
    }
    return std::string(mText.substr(start, mPos - start));
}

std::optional<std::string> Parser::Quoted()
{
    std::string text;
    std::uint32_t high = 0; // a pending high surrogate, or 0
    const auto flushHigh = [&]
    {
        if (high != 0)
        {
            AppendUTF8(text, kReplacementCharacter);
            high = 0;
        }
    };
    while (mPos < mText.size())
    {
        const char c = mText[mPos++];
        if (c == '"')
        {
            flushHigh();
            return text;
        }
        if (c != '\\')
        {
            flushHigh();
            text += c;
            continue;
        }
        if (mPos >= mText.size())
        {
            break;
        }
        const char escaped = mText[mPos++];
        if (escaped == 'U')
        {
            std::uint32_t unit = 0;
            for (int i = 0; i < 4; ++i)
            {
                const int digit = mPos < mText.size() ? HexValue(mText[mPos]) : -1;
                if (digit < 0)
                {
                    Fail("\\U needs four hexadecimal digits");
                    return std::nullopt;
                }
                unit = unit * 16 + static_cast<std::uint32_t>(digit);
                ++mPos;
            }
            if (high != 0 && IsLowSurrogate(unit))
            {
                AppendUTF8(text, JoinSurrogates(high, unit));
                high = 0;
                continue;
            }
            flushHigh();
            if (IsHighSurrogate(unit))
            {
                high = unit;
            }
            else
            {
                AppendUTF8(text, unit);
            }
            continue;
        }
        flushHigh();
        switch (escaped)
        {
        case 'n':
            text += '\n';
            break;
        case 't':
            text += '\t';
            break;
        case 'r':
            text += '\r';
            break;
        default:
            text += escaped; // \" \\ and any other escaped character stand for themselves
            break;
        }
    }
    Fail("unterminated quoted text");
    return std::nullopt;
}

} // namespace

StringsTable StringsTable::Parse(std::string_view bytes, std::string& fault)
{
    fault.clear();
    std::string decodeFault;
    const std::string text = DecodeFile(bytes, decodeFault);
    StringsTable table(Parser(text).Parse(fault));
    if (fault.empty())
    {
        fault = decodeFault;
    }
    return table;
}

std::string StringsTable::Lookup(std::string_view key) const
{
    const auto found = mEntries.find(key);
    return found == mEntries.end() ? std::string(key) : found->second;
}

} // namespace Uninstaller
