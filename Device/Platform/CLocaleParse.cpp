#include "Platform/CLocaleParse.h"

#include <clocale>
#include <cstdlib>
#include <locale.h>

namespace KT::Platform
{

namespace
{

// Made once and kept for the life of the process: parsers may run while other
// statics are destroyed.
locale_t CLocale()
{
    static const locale_t sCLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return sCLocale;
}

// Switches the calling thread to the "C" locale for its lifetime; without a
// locale object the thread keeps its own.
class ScopedCLocale
{
public:
    ScopedCLocale() : mLocale(CLocale())
    {
        if (mLocale != static_cast<locale_t>(nullptr))
        {
            mPrevious = uselocale(mLocale);
        }
    }
    ~ScopedCLocale()
    {
        if (mLocale != static_cast<locale_t>(nullptr))
        {
            uselocale(mPrevious);
        }
    }
    ScopedCLocale(const ScopedCLocale&) = delete;
    ScopedCLocale& operator=(const ScopedCLocale&) = delete;

private:
    locale_t mLocale;
    locale_t mPrevious = static_cast<locale_t>(nullptr);
};

} // namespace

long ParseLongInCLocale(const char* text)
{
    const ScopedCLocale cLocale;
    return std::strtol(text, nullptr, 10);
}

unsigned long long ParseUnsignedLongLongInCLocale(const char* text)
{
    const ScopedCLocale cLocale;
    return std::strtoull(text, nullptr, 10);
}

double ParseDoubleInCLocale(const char* text)
{
    const ScopedCLocale cLocale;
    return std::strtod(text, nullptr);
}

} // namespace KT::Platform
