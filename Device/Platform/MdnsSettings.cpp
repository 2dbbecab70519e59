#include "Platform/MdnsSettings.h"

#include <avahi-core/log.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

namespace KT::Platform
{

namespace
{

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

void DropLogLine(AvahiLogLevel, const char*) {}

} // namespace

MdnsInterfaceChoice ParseMdnsInterfaces(const char* text)
{
    MdnsInterfaceChoice choice;
    if (text == nullptr)
    {
        return choice;
    }
    choice.restricted = true;
    const std::string all(text);
    std::size_t start = 0;
    while (start <= all.size())
    {
        std::size_t end = all.find(',', start);
        if (end == std::string::npos)
        {
            end = all.size();
        }
        std::size_t first = start;
        std::size_t last = end;
        while (first < last && IsBlank(all[first]))
        {
            ++first;
        }
        while (last > first && IsBlank(all[last - 1]))
        {
            --last;
        }
        std::string name = all.substr(first, last - first);
        if (!name.empty() && std::find(choice.names.begin(), choice.names.end(), name) == choice.names.end())
        {
            choice.names.push_back(std::move(name));
        }
        start = end + 1;
    }
    return choice;
}

MdnsInterfaceChoice ReadMdnsInterfaces()
{
    return ParseMdnsInterfaces(std::getenv(kMdnsInterfacesVariable));
}

void RouteMdnsLogAway()
{
    static std::once_flag once;
    std::call_once(once, [] { avahi_set_log_function(&DropLogLine); });
}

} // namespace KT::Platform
