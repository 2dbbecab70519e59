#include "Platform/CLocaleFormat.h"

#include <clocale>
#include <cstdio>
#include <locale.h>

namespace KT::Platform
{

namespace
{

// Made once and kept for the life of the process: every formatting call on
// every thread shares it, and a locale object is only read once made.
locale_t CLocale()
{
    static const locale_t sCLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return sCLocale;
}

} // namespace

int FormatInCLocale(char* buffer, std::size_t size, const char* format, va_list args)
{
    const locale_t cLocale = CLocale();
    if (cLocale == static_cast<locale_t>(nullptr))
    {
        return std::vsnprintf(buffer, size, format, args);
    }
    // uselocale switches the calling thread only, so other threads keep theirs.
    const locale_t previous = uselocale(cLocale);
    const int result = std::vsnprintf(buffer, size, format, args);
    uselocale(previous);
    return result;
}

} // namespace KT::Platform
