#include "Uninstaller/SharedUninstaller/UninstallerTexts.h"

namespace Uninstaller
{

std::string FormatErrorTemplate(std::string_view errorTemplate, int code)
{
    std::string title;
    bool codePlaced = false;
    for (std::size_t i = 0; i < errorTemplate.size(); ++i)
    {
        const std::string_view rest = errorTemplate.substr(i);
        if (rest.starts_with("%%"))
        {
            title += '%';
            ++i;
        }
        else if (!codePlaced && (rest.starts_with("%d") || rest.starts_with("%i") || rest.starts_with("%ld")))
        {
            title += std::to_string(code);
            i += rest.starts_with("%ld") ? 2 : 1;
            codePlaced = true;
        }
        else
        {
            title += errorTemplate[i];
        }
    }
    return title;
}

} // namespace Uninstaller
