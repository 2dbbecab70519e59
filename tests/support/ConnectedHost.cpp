// A host that connects the first attached device it finds and then simply
// exits: the library's release at exit must disconnect it, so the device
// helper hears 'DCnt'. Links libvelquin.so alone and uses only the exported
// functions. Prints "connected <result>" ("connected none" when no device is
// listed) before it exits.
#include <cstdio>

#include "velquin/Common/CrossPlatform/VelquinInterface.h"

namespace
{

void Ignore(void*, const KT::Variant&, const KT::ParamValues&) {}

} // namespace

int main()
{
    KT::Variant list;
    if (QVRX_FindDevices(nullptr, 0, list) != 0 || list.GetArrayLength() == 0)
    {
        std::printf("connected none\n");
        return 1;
    }
    KT::Variant first;
    if (list.GetArrayElement(0, first) != 0)
    {
        std::printf("connected none\n");
        return 1;
    }
    std::printf("connected %d\n", QVRX_ConnectDevice(first, Ignore, nullptr));
    std::fflush(stdout);
    return 0;
}
