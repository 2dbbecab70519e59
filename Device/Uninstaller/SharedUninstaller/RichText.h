// Reads the read-me's rich text (RTF, as a word processor saves it, alone or
// as the TXT.rtf of an .rtfd folder) into runs of text with their bold, italic
// and underline. Only what the read-me view shows is kept: text, paragraphs
// ('\n'), line breaks (U+2028) and tabs. Fonts, colours, styles, document
// information, pictures, attachments and ignorable destinations are skipped.
//
// The reader trusts nothing in the file: it never fails, it stops at the
// nesting cap or at the end of the bytes with the text read so far, and its
// output is always well-formed UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace Uninstaller
{

struct RichTextRun
{
    std::string text; // UTF-8
    bool bold = false;
    bool italic = false;
    bool underline = false;

    bool operator==(const RichTextRun&) const = default;
};

// Groups nested deeper than this end the reading.
inline constexpr std::size_t kRichTextMaxDepth = 100;

// Adjacent text of the same style forms one run. Empty when bytes do not
// start with "{\rtf".
std::vector<RichTextRun> ReadRichText(std::string_view bytes);

// The runs' text joined, for callers that need no style.
std::string PlainText(const std::vector<RichTextRun>& runs);

} // namespace Uninstaller
