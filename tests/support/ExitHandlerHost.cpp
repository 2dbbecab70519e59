// A host that registers an exit handler and only then loads libvelquin.so (the
// path is its argument), calls it once, and unloads it. Its exit handler so
// runs after the library's own, which release the device manager, and calls
// QVRX_FindDevices through the pointer it kept: the library's code must still
// be mapped (it is never unloaded), the call must give -1 and the list it is
// given must stay as it was. Links nothing of the library. Prints
// "loaded <ReleaseAll's result>" and "at exit <result> untouched|touched".
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "velquin/Common/CrossPlatform/VelquinInterface.h"

namespace
{

decltype(&QVRX_FindDevices) sFindDevices = nullptr;

// Stands for a host's variant: bytes the library must not write.
alignas(8) unsigned char sList[sizeof(KT::Variant)];

void CallAtExit()
{
    std::memset(sList, 0xAB, sizeof(sList));
    const int result = sFindDevices(nullptr, 0, *reinterpret_cast<KT::Variant*>(sList));
    bool untouched = true;
    for (unsigned char b : sList)
    {
        untouched = untouched && b == 0xAB;
    }
    std::printf("at exit %d %s\n", result, untouched ? "untouched" : "touched");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: %s LIBRARY\n", argv[0]);
        return 2;
    }
    std::atexit(CallAtExit);
    void* library = dlopen(argv[1], RTLD_NOW);
    if (library == nullptr)
    {
        std::fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    auto releaseAll = reinterpret_cast<decltype(&QVRX_ReleaseAll)>(dlsym(library, "QVRX_ReleaseAll"));
    sFindDevices = reinterpret_cast<decltype(&QVRX_FindDevices)>(dlsym(library, "QVRX_FindDevices"));
    if (releaseAll == nullptr || sFindDevices == nullptr)
    {
        std::fprintf(stderr, "missing export\n");
        return 1;
    }
    std::printf("loaded %d\n", releaseAll());
    std::fflush(stdout);
    return dlclose(library) == 0 ? 0 : 1;
}
