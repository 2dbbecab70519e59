// The uninstaller's strings table read from a .strings file as the application
// reads its Localizable.strings: StringsTable::Parse on the bytes, whatever
// their encoding.
//
// Properties: the table's entries, written back as a .strings file, read as the
// same entries without a fault, in three forms: every text quoted with only "
// and \ escaped; every character outside printable ASCII escaped (\n \t \r and
// \Uxxxx, surrogate pairs beyond the first plane); and UTF-16 of either byte
// order with its byte-order mark. The last two only when every text is
// well-formed UTF-8, as it always is for a UTF-16 file or a well-formed UTF-8
// one. Lookup gives each entry's value and a missing key back unchanged. A
// UTF-8 file read without a fault reads, with one more entry after it, as its
// entries plus that one.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Uninstaller/SharedUninstaller/StringsTable.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/Uninstaller/DecodeUTF8.h"

using Uninstaller::StringsTable;

using FuzzText::DecodeUTF8;

namespace
{

std::vector<char16_t> ToUTF16(const std::vector<char32_t>& codePoints)
{
    std::vector<char16_t> units;
    for (char32_t codePoint : codePoints)
    {
        if (codePoint >= 0x10000)
        {
            units.push_back(static_cast<char16_t>(0xD800 + ((codePoint - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + ((codePoint - 0x10000) & 0x3FF)));
        }
        else
        {
            units.push_back(static_cast<char16_t>(codePoint));
        }
    }
    return units;
}

// A text quoted with only the quote and the backslash escaped: every other
// byte stands for itself.
std::string QuotedRaw(std::string_view text)
{
    std::string quoted = "\"";
    for (char c : text)
    {
        if (c == '"' || c == '\\')
        {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + '"';
}

// A well-formed UTF-8 text quoted in printable ASCII alone.
std::string QuotedEscaped(std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string quoted = "\"";
    for (char16_t unit : ToUTF16(*DecodeUTF8(text)))
    {
        if (unit == '"' || unit == '\\')
        {
            quoted += '\\';
            quoted += static_cast<char>(unit);
        }
        else if (unit == '\n' || unit == '\t' || unit == '\r')
        {
            quoted += unit == '\n' ? "\\n" : unit == '\t' ? "\\t" : "\\r";
        }
        else if (unit >= 0x20 && unit < 0x7F)
        {
            quoted += static_cast<char>(unit);
        }
        else
        {
            quoted += "\\U";
            for (int shift = 12; shift >= 0; shift -= 4)
            {
                quoted += kHex[(unit >> shift) & 0xF];
            }
        }
    }
    return quoted + '"';
}

template <class Quote>
std::string Written(const StringsTable::Entries& entries, Quote quote)
{
    // A comment of each kind between the entries, as a translator leaves them.
    std::string file = "/* written back */\n";
    for (const auto& [key, value] : entries)
    {
        file += quote(key) + " = " + quote(value) + "; // entry\n";
    }
    return file;
}

std::string AsUTF16(const std::string& utf8, bool littleEndian)
{
    std::string bytes = littleEndian ? "\xFF\xFE" : "\xFE\xFF";
    for (char16_t unit : ToUTF16(*DecodeUTF8(utf8)))
    {
        const char low = static_cast<char>(unit & 0xFF);
        const char high = static_cast<char>(unit >> 8);
        bytes += littleEndian ? low : high;
        bytes += littleEndian ? high : low;
    }
    return bytes;
}

void CheckReadsAs(const std::string& file, const StringsTable::Entries& entries)
{
    std::string fault = "stale";
    const StringsTable table = StringsTable::Parse(file, fault);
    FUZZ_CHECK(fault.empty());
    FUZZ_CHECK(table.AllEntries() == entries);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::string fault;
    const StringsTable table = StringsTable::Parse(bytes, fault);
    const StringsTable::Entries& entries = table.AllEntries();

    bool wellFormed = true;
    for (const auto& [key, value] : entries)
    {
        FUZZ_CHECK(table.Lookup(key) == value);
        wellFormed = wellFormed && DecodeUTF8(key) && DecodeUTF8(value);
    }
    const std::string missing = "missing key " + std::to_string(entries.size());
    if (entries.find(missing) == entries.end())
    {
        FUZZ_CHECK(table.Lookup(missing) == missing);
    }
    const bool utf16 = bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF");
    const std::string_view utf8 = bytes.starts_with("\xEF\xBB\xBF") ? bytes.substr(3) : bytes;
    FUZZ_CHECK(wellFormed || (!utf16 && !DecodeUTF8(utf8)));

    CheckReadsAs(Written(entries, QuotedRaw), entries);
    if (wellFormed)
    {
        const std::string escaped = Written(entries, QuotedEscaped);
        CheckReadsAs(escaped, entries);
        CheckReadsAs(AsUTF16(escaped, true), entries);
        CheckReadsAs(AsUTF16(Written(entries, QuotedRaw), false), entries);
    }

    if (fault.empty() && !utf16)
    {
        StringsTable::Entries more = entries;
        more.insert_or_assign("appended", "entry");
        CheckReadsAs(std::string(bytes) + "\n\"appended\" = \"entry\";", more);
    }
    return 0;
}
