// A localised strings table, read from a .strings file:
//     /* comment */  "key" = "value";  // comment
//     unquotedKey = "value";
// Quoted texts know the escapes \" \\ \n \t \r and \Uxxxx (a UTF-16 unit;
// surrogate pairs are joined, a lone surrogate becomes U+FFFD). The file is
// UTF-8, or UTF-16 of either byte order when it starts with a byte-order mark.
//
// A malformed file keeps the entries before the fault; the fault is described
// for the caller to report. Texts are data, never formats: a value is shown
// exactly as the file gives it.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace Uninstaller
{

class StringsTable
{
public:
    using Entries = std::map<std::string, std::string, std::less<>>;

    StringsTable() = default;
    explicit StringsTable(Entries entries) : mEntries(std::move(entries)) {}

    // fault is left empty for a well-formed file, else it says where and why
    // reading stopped.
    static StringsTable Parse(std::string_view bytes, std::string& fault);

    // The value for key, or key itself when the table does not have it.
    std::string Lookup(std::string_view key) const;

    const Entries& AllEntries() const noexcept { return mEntries; }

private:
    Entries mEntries;
};

} // namespace Uninstaller
