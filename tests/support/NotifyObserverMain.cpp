// velquin_notify_observer NAME...: observes the distributed notifications of
// the given names and writes one line "<name> <Index>" per notification (the
// integer under "Index" in its user info, -1 without one). Writes "ready" once
// it observes; ends when its standard input closes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "Platform/DistributedNotificationCenter.h"

using namespace KT::Platform;

namespace
{

void Print(void*, const std::string& name, const PlistNode& userInfo)
{
    std::int64_t index = -1;
    (void)userInfo.GetDictionaryItem("Index").GetInteger(index);
    std::printf("%s %lld\n", name.c_str(), static_cast<long long>(index));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
    {
        if (DistributedNotificationCenter::Get().AddObserver(argv[i], Print, nullptr) == 0)
        {
            return 1;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char byte;
    while (::read(0, &byte, 1) > 0)
    {
    }
    return 0;
}
