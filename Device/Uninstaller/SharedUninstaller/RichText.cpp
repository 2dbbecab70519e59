#include "Uninstaller/SharedUninstaller/RichText.h"

#include "Uninstaller/SharedUninstaller/UnicodeText.h"

#include <array>
#include <cstdint>
#include <optional>

namespace Uninstaller
{

namespace
{

// Windows-1252 at 0x80..0x9F; the other high bytes are Latin-1. Zero marks the
// five bytes the code page leaves undefined.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

char32_t FromCp1252(unsigned char byte)
{
    if (byte >= 0x80 && byte <= 0x9F)
    {
        const char16_t mapped = kCp1252High[byte - 0x80];
        return mapped == 0 ? kReplacementCharacter : mapped;
    }
    return byte;
}

// Destinations whose text the view never shows.
constexpr std::string_view kSkippedDestinations[] = {
    "fonttbl", "colortbl", "stylesheet", "info", "pict", "NeXTGraphic",
};

// The placeholder character an .rtfd puts right after an image's group.
constexpr char32_t kAttachmentPlaceholder = 0x00AC;

constexpr std::size_t kMaxControlWordLength = 32;
constexpr int kMaxParameterDigits = 9;

bool IsLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

struct GroupState
{
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool skipping = false;
    bool attachment = false; // this group is an .rtfd image
    int unicodeSkip = 1;     // characters standing in for each \uN
};

class Reader
{
public:
    explicit Reader(std::string_view bytes) : mBytes(bytes) {}

    std::vector<RichTextRun> Read();

private:
    void OpenGroup();
    // False when this closes the document's own group.
    bool CloseGroup();
    void ControlWord(std::string_view word, std::optional<int> parameter);
    void ControlSymbol(char symbol);
    void Character(char32_t codePoint);
    void Unicode(int parameter);
    void FlushPendingSurrogate();
    void Emit(char32_t codePoint);

    // Characters still to drop after a \uN: its fallback text.
    bool SkipFallback()
    {
        if (mFallbackLeft == 0)
        {
            return false;
        }
        --mFallbackLeft;
        return true;
    }

    std::string_view mBytes;
    std::size_t mPos = 0;
    std::vector<GroupState> mGroups;
    bool mAtGroupStart = false;
    bool mDropPlaceholder = false;
    int mFallbackLeft = 0;
    std::uint32_t mPendingHigh = 0; // a high surrogate waiting for its low one, or 0
    std::vector<RichTextRun> mRuns;
};

std::vector<RichTextRun> Reader::Read()
{
    if (!mBytes.starts_with("{\\rtf"))
    {
        return {};
    }
    while (mPos < mBytes.size())
    {
        const char c = mBytes[mPos++];
        if (c == '{')
        {
            if (mGroups.size() >= kRichTextMaxDepth)
            {
                break;
            }
            OpenGroup();
        }
        else if (c == '}')
        {
            if (!CloseGroup())
            {
                break;
            }
        }
        else if (c == '\\')
        {
            if (mPos >= mBytes.size())
            {
                break;
            }
            if (IsLetter(mBytes[mPos]))
            {
                const std::size_t start = mPos;
                while (mPos < mBytes.size() && IsLetter(mBytes[mPos]))
                {
                    ++mPos;
                }
                std::string_view word = mBytes.substr(start, mPos - start);
                if (word.size() > kMaxControlWordLength)
                {
                    word = {}; // no such word: the parameter is still read and dropped
                }
                std::optional<int> parameter;
                const bool negative = mPos < mBytes.size() && mBytes[mPos] == '-';
                const std::size_t digitsStart = mPos + (negative ? 1 : 0);
                std::size_t end = digitsStart;
                int value = 0;
                while (end < mBytes.size() && mBytes[end] >= '0' && mBytes[end] <= '9')
                {
                    if (end - digitsStart < kMaxParameterDigits)
                    {
                        value = value * 10 + (mBytes[end] - '0');
                    }
                    ++end;
                }
                if (end > digitsStart)
                {
                    parameter = negative ? -value : value;
                    mPos = end;
                }
                if (mPos < mBytes.size() && mBytes[mPos] == ' ')
                {
                    ++mPos;
                }
                ControlWord(word, parameter);
            }
            else
            {
                ControlSymbol(mBytes[mPos++]);
            }
        }
        else if (c == '\r' || c == '\n')
        {
            // Line ends in the file are not text.
        }
        else
        {
            Character(FromCp1252(static_cast<unsigned char>(c)));
        }
    }
    FlushPendingSurrogate();
    return std::move(mRuns);
}

void Reader::OpenGroup()
{
    mFallbackLeft = 0;
    GroupState state = mGroups.empty() ? GroupState{} : mGroups.back();
    state.attachment = false;
    mGroups.push_back(state);
    mAtGroupStart = true;
    mDropPlaceholder = false;
}

bool Reader::CloseGroup()
{
    mFallbackLeft = 0;
    mAtGroupStart = false;
    if (mGroups.empty())
    {
        return false;
    }
    const bool wasAttachment = mGroups.back().attachment;
    mGroups.pop_back();
    mDropPlaceholder = wasAttachment;
    return !mGroups.empty();
}

void Reader::ControlWord(std::string_view word, std::optional<int> parameter)
{
    if (mGroups.empty())
    {
        return;
    }
    GroupState& state = mGroups.back();
    const bool atGroupStart = mAtGroupStart;
    mAtGroupStart = false;
    if (atGroupStart)
    {
        for (std::string_view skipped : kSkippedDestinations)
        {
            if (word == skipped)
            {
                state.skipping = true;
                state.attachment = word == "NeXTGraphic";
            }
        }
    }
    if (state.skipping)
    {
        return;
    }
    if (word == "u" && parameter)
    {
        Unicode(*parameter);
        return;
    }
    if (SkipFallback())
    {
        return;
    }
    const bool on = !parameter || *parameter != 0;
    if (word == "par")
    {
        Emit('\n');
    }
    else if (word == "line")
    {
        Emit(0x2028);
    }
    else if (word == "tab")
    {
        Emit('\t');
    }
    else if (word == "b")
    {
        state.bold = on;
    }
    else if (word == "i")
    {
        state.italic = on;
    }
    else if (word == "ul")
    {
        state.underline = on;
    }
    else if (word == "ulnone")
    {
        state.underline = false;
    }
    else if (word == "plain")
    {
        state.bold = state.italic = state.underline = false;
    }
    else if (word == "uc" && parameter && *parameter >= 0)
    {
        state.unicodeSkip = *parameter;
    }
}

void Reader::ControlSymbol(char symbol)
{
    if (mGroups.empty())
    {
        return;
    }
    GroupState& state = mGroups.back();
    const bool atGroupStart = mAtGroupStart;
    mAtGroupStart = false;
    if (symbol == '*' && atGroupStart)
    {
        state.skipping = true;
        return;
    }
    if (symbol == '\'')
    {
        if (mPos + 2 > mBytes.size())
        {
            mPos = mBytes.size();
            return;
        }
        const int high = HexValue(mBytes[mPos]);
        const int low = HexValue(mBytes[mPos + 1]);
        if (high < 0 || low < 0)
        {
            return; // not a hex escape: what follows is read as text
        }
        mPos += 2;
        Character(FromCp1252(static_cast<unsigned char>(high * 16 + low)));
        return;
    }
    if (state.skipping)
    {
        return;
    }
    if (SkipFallback())
    {
        return;
    }
    switch (symbol)
    {
    case '\\':
    case '{':
    case '}':
        Character(static_cast<unsigned char>(symbol));
        break;
    case '~':
        Character(0x00A0);
        break;
    case '_':
        Character(0x2011);
        break;
    case '\r':
    case '\n':
        Emit('\n');
        break;
    default:
        break; // \- (optional hyphen) and unknown symbols show nothing
    }
}

void Reader::Character(char32_t codePoint)
{
    if (mGroups.empty())
    {
        return;
    }
    mAtGroupStart = false;
    if (mGroups.back().skipping)
    {
        return;
    }
    if (SkipFallback())
    {
        return;
    }
    if (mDropPlaceholder)
    {
        mDropPlaceholder = false;
        if (codePoint == kAttachmentPlaceholder)
        {
            return;
        }
    }
    Emit(codePoint);
}

void Reader::Unicode(int parameter)
{
    // The parameter is a signed 16-bit UTF-16 unit.
    const std::uint32_t unit =
        static_cast<std::uint32_t>(parameter < 0 ? parameter + 65536 : parameter) & 0xFFFF;
    if (IsLowSurrogate(unit) && mPendingHigh != 0)
    {
        const char32_t joined = JoinSurrogates(mPendingHigh, unit);
        mPendingHigh = 0;
        Emit(joined);
    }
    else if (IsHighSurrogate(unit))
    {
        FlushPendingSurrogate();
        mPendingHigh = unit;
    }
    else
    {
        Emit(unit);
    }
    mFallbackLeft = mGroups.back().unicodeSkip;
}

void Reader::FlushPendingSurrogate()
{
    if (mPendingHigh != 0)
    {
        mPendingHigh = 0;
        Emit(kReplacementCharacter);
    }
}

void Reader::Emit(char32_t codePoint)
{
    if (mPendingHigh != 0)
    {
        // Only a low surrogate may follow a high one; anything else leaves it alone.
        mPendingHigh = 0;
        Emit(kReplacementCharacter);
    }
    const GroupState state = mGroups.empty() ? GroupState{} : mGroups.back();
    if (mRuns.empty() || mRuns.back().bold != state.bold || mRuns.back().italic != state.italic ||
        mRuns.back().underline != state.underline)
    {
        mRuns.push_back({std::string(), state.bold, state.italic, state.underline});
    }
    AppendUTF8(mRuns.back().text, codePoint);
}

} // namespace

std::vector<RichTextRun> ReadRichText(std::string_view bytes)
{
    return Reader(bytes).Read();
}

std::string PlainText(const std::vector<RichTextRun>& runs)
{
    std::string text;
    for (const RichTextRun& run : runs)
    {
        text += run.text;
    }
    return text;
}

} // namespace Uninstaller
