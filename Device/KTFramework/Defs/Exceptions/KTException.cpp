#include "KTFramework/Defs/Exceptions/KTException.h"

namespace KT
{

std::string FormatExceptionMessage(const char* kindLabel, const char* text, const ExceptionSite& site)
{
    std::string message(kindLabel);
    if (text != nullptr && *text != '\0')
    {
        message += " : ";
        message += text;
    }
    message += " :  : ";
    message += site.Path;
    message += " : Line ";
    message += std::to_string(site.Line);
    return message;
}

} // namespace KT
