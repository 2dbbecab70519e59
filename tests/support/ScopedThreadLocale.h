// Puts the calling thread, for the life of the object, into a locale whose
// decimal point is a comma and whose numbers group digits, so tests can show
// that the framework's text does not follow the host's locale. Inactive when
// no such locale is installed; tests then skip.
#pragma once

#include <locale.h>

namespace KT::TestSupport
{

class ScopedThreadLocale
{
public:
    ScopedThreadLocale()
    {
        static const char* const kCandidates[] = {"de_DE.UTF-8", "de_DE.utf8", "de_DE",       "fr_FR.UTF-8",
                                                  "fr_FR.utf8",  "fr_FR",      "nl_NL.UTF-8", "ru_RU.UTF-8"};
        for (const char* name : kCandidates)
        {
            mLocale = newlocale(LC_ALL_MASK, name, static_cast<locale_t>(nullptr));
            if (mLocale != static_cast<locale_t>(nullptr))
            {
                mPrevious = uselocale(mLocale);
                return;
            }
        }
    }
    ~ScopedThreadLocale()
    {
        if (mLocale != static_cast<locale_t>(nullptr))
        {
            uselocale(mPrevious);
            freelocale(mLocale);
        }
    }
    ScopedThreadLocale(const ScopedThreadLocale&) = delete;
    ScopedThreadLocale& operator=(const ScopedThreadLocale&) = delete;

    bool IsActive() const { return mLocale != static_cast<locale_t>(nullptr); }

private:
    locale_t mLocale = static_cast<locale_t>(nullptr);
    locale_t mPrevious = static_cast<locale_t>(nullptr);
};

} // namespace KT::TestSupport
