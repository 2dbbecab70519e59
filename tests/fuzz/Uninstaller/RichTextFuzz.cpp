// The uninstaller's read-me reader: ReadRichText on a file's bytes, as the
// application shows its read-me. The fuzzer hands over a block of exactly the
// input's size, so a read past the input stops under AddressSanitizer.
//
// Properties: nothing but empty runs come from bytes that do not start with
// "{\rtf"; every run's text is well-formed UTF-8 and not empty; neighbouring
// runs differ in style; PlainText joins the runs. The runs, written back as
// rich text, read as the same runs, in two forms: each run a group of its own
// with \uc0 and every character outside printable ASCII as \uN; and one
// group switching styles with control words, every \uN with a one-character
// fallback under \uc1.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Uninstaller/SharedUninstaller/RichText.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/Uninstaller/DecodeUTF8.h"

using Uninstaller::RichTextRun;

using FuzzText::DecodeUTF8;

namespace
{

// One UTF-16 unit as \uN, N unsigned, followed by the fallback when one is
// wanted, else by the delimiting space.
void AppendUnicode(std::string& rtf, std::uint32_t unit, bool fallback)
{
    rtf += "\\u" + std::to_string(unit) + (fallback ? "?" : " ");
}

// A run's text as rich text: paragraph, tab and line break as their control
// words, braces and backslash escaped, printable ASCII as itself, the rest as
// \uN (a surrogate pair beyond the first plane).
std::string Escaped(const std::string& text, bool fallback)
{
    std::string rtf;
    const std::vector<char32_t> codePoints = *DecodeUTF8(text);
    for (char32_t codePoint : codePoints)
    {
        if (codePoint == '\n')
        {
            rtf += "\\par ";
        }
        else if (codePoint == '\t')
        {
            rtf += "\\tab ";
        }
        else if (codePoint == 0x2028)
        {
            rtf += "\\line ";
        }
        else if (codePoint == '\\' || codePoint == '{' || codePoint == '}')
        {
            rtf += '\\';
            rtf += static_cast<char>(codePoint);
        }
        else if (codePoint >= 0x20 && codePoint < 0x7F)
        {
            rtf += static_cast<char>(codePoint);
        }
        else if (codePoint >= 0x10000)
        {
            AppendUnicode(rtf, 0xD800 + ((codePoint - 0x10000) >> 10), fallback);
            AppendUnicode(rtf, 0xDC00 + ((codePoint - 0x10000) & 0x3FF), fallback);
        }
        else
        {
            AppendUnicode(rtf, codePoint, fallback);
        }
    }
    return rtf;
}

std::string StyleWords(const RichTextRun& run)
{
    return std::string(run.bold ? "\\b" : "\\b0") + (run.italic ? "\\i" : "\\i0") +
           (run.underline ? "\\ul" : "\\ulnone") + " ";
}

std::string WrittenAsGroups(const std::vector<RichTextRun>& runs)
{
    std::string rtf = "{\\rtf1\\ansi\\uc0{\\fonttbl\\f0\\fswiss Helvetica;}\n";
    for (const RichTextRun& run : runs)
    {
        rtf += "{" + StyleWords(run) + Escaped(run.text, false) + "}\n";
    }
    return rtf + "}";
}

std::string WrittenWithSwitches(const std::vector<RichTextRun>& runs)
{
    std::string rtf = "{\\rtf1\\ansi\\uc1 ";
    for (const RichTextRun& run : runs)
    {
        rtf += StyleWords(run) + Escaped(run.text, true);
    }
    return rtf + "}";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::vector<RichTextRun> runs = Uninstaller::ReadRichText(bytes);
    if (!bytes.starts_with("{\\rtf"))
    {
        FUZZ_CHECK(runs.empty());
        return 0;
    }

    std::string joined;
    for (std::size_t i = 0; i < runs.size(); ++i)
    {
        FUZZ_CHECK(!runs[i].text.empty() && DecodeUTF8(runs[i].text));
        if (i > 0)
        {
            const RichTextRun& before = runs[i - 1];
            FUZZ_CHECK(before.bold != runs[i].bold || before.italic != runs[i].italic ||
                       before.underline != runs[i].underline);
        }
        joined += runs[i].text;
    }
    FUZZ_CHECK(Uninstaller::PlainText(runs) == joined);

    FUZZ_CHECK(Uninstaller::ReadRichText(WrittenAsGroups(runs)) == runs);
    FUZZ_CHECK(Uninstaller::ReadRichText(WrittenWithSwitches(runs)) == runs);
    return 0;
}
