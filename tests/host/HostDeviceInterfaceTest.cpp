// The exported functions as a host calls them: linked against libvelquin.so
// alone, and once more loaded by name with dlopen. The library's own sources
// list no device yet, so every device is unknown here.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "DeviceControl/CommonInc/DeviceIdentifier.h"
#include "KTFramework/Utilities/Storage/ParamDescriptor.h"
#include "KTFramework/Utilities/Storage/ParamValues.h"
#include "KTFramework/Utilities/Storage/Variant.h"
#include "support/VariantProbes.h"
#include "velquin/Common/CrossPlatform/VelquinInterface.h"

namespace
{

using String = KT::DeviceIdentifier::String;

const char* const kExportedNames[] = {
    "QVRX_FindDevices",      "QVRX_FindRemoteDevices",  "QVRX_ConnectDevice",      "QVRX_IsDeviceConnected",
    "QVRX_GetDeviceInfo",    "QVRX_RequestParamRanges", "QVRX_RequestParamValues", "QVRX_GetParamValue",
    "QVRX_GetParamRanges",   "QVRX_GetParamValues",     "QVRX_SetParamValue",      "QVRX_SetParamValues",
    "QVRX_DisconnectDevice", "QVRX_ReleaseAll",
};

// The path of the libvelquin.so this executable was linked against.
std::string LibraryPath()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&QVRX_ReleaseAll), &info) == 0 || info.dli_fname == nullptr)
    {
        return std::string();
    }
    return info.dli_fname;
}

KT::DeviceIdentifier RemoteID()
{
    KT::DeviceIdentifier id;
    id.SetProductGuid(String("010203045E6B0000712C0000DECAFBAD"));
    id.SetInstanceLocationID(0xA1B2C3D4E5F6ull);
    id.SetInstanceIndex(0x0102);
    return id;
}

KT::DeviceIdentifier LocalID()
{
    KT::DeviceIdentifier id;
    id.SetProductGuid(String("010203045E6B0000712C0000DECAFBAD"));
    id.SetInstanceIndex(1);
    return id;
}

TEST(HostDeviceInterface, TheFourteenFunctionsResolveByName)
{
    const std::string path = LibraryPath();
    ASSERT_FALSE(path.empty());
    void* library = dlopen(path.c_str(), RTLD_NOW);
    ASSERT_NE(nullptr, library) << dlerror();
    for (const char* name : kExportedNames)
    {
        EXPECT_NE(nullptr, dlsym(library, name)) << name;
    }
    EXPECT_EQ(reinterpret_cast<void*>(&QVRX_GetDeviceInfo), dlsym(library, "QVRX_GetDeviceInfo"));
    EXPECT_EQ(0, dlclose(library));
}

// The library's threads may still run its code after a host's dlclose
// (deliveries, pools, a thread left behind after its stop time-out).
TEST(HostDeviceInterface, TheLibraryIsMarkedNeverToBeUnloaded)
{
    void* library = dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(nullptr, library) << dlerror();
    link_map* map = nullptr;
    ASSERT_EQ(0, dlinfo(library, RTLD_DI_LINKMAP, &map)) << dlerror();
    bool nodelete = false;
    for (const ElfW(Dyn)* entry = map->l_ld; entry->d_tag != DT_NULL; ++entry)
    {
        if (entry->d_tag == DT_FLAGS_1)
        {
            nodelete = (entry->d_un.d_val & DF_1_NODELETE) != 0;
        }
    }
    EXPECT_TRUE(nodelete);
    EXPECT_EQ(0, dlclose(library));
}

void NeverCalled(void*, const KT::Variant&, const KT::ParamValues&)
{
    ADD_FAILURE() << "no device may call back";
}

TEST(HostDeviceInterface, EveryDeviceFunctionGivesMinusTwoForAnUnknownDevice)
{
    KT::ParamDescriptor descriptor(7);
    KT::ParamValues values;
    KT::ParamValues one;
    ASSERT_EQ(0, one.SetOne(descriptor, KT::Variant(5)));
    for (const KT::DeviceIdentifier& id : {LocalID(), RemoteID()})
    {
        const char* kind = id.IsRemoteDevice() ? "remote" : "local";
        KT::Variant value(3);
        EXPECT_EQ(QVRX_RESULT_UNKNOWN_DEVICE, QVRX_ConnectDevice(id, NeverCalled, nullptr)) << kind;
        EXPECT_EQ(QVRX_RESULT_UNKNOWN_DEVICE, QVRX_IsDeviceConnected(id, true, 500)) << kind;
        EXPECT_EQ(QVRX_RESULT_UNKNOWN_DEVICE, QVRX_RequestParamRanges(id, KT::ParamRanges())) << kind;
        EXPECT_EQ(QVRX_RESULT_UNKNOWN_DEVICE, QVRX_RequestParamValues(id, KT::ParamDescriptors())) << kind;
        EXPECT_EQ(QVRX_RESULT_UNKNOWN_DEVICE, QVRX_GetParamValue(id, descriptor, value)) << kind;
        EXPECT_EQ(QVRX_RESULT_UNKNOWN_DEVICE, QVRX_GetParamRanges(id, KT::ParamRanges(), values)) << kind;
        EXPECT_EQ(QVRX_RESULT_UNKNOWN_DEVICE, QVRX_GetParamValues(id, KT::ParamDescriptors(), values))
            << kind;
        EXPECT_EQ(QVRX_RESULT_UNKNOWN_DEVICE, QVRX_SetParamValue(id, descriptor, value)) << kind;
        EXPECT_EQ(QVRX_RESULT_UNKNOWN_DEVICE, QVRX_SetParamValues(id, one)) << kind;
        EXPECT_EQ(QVRX_RESULT_UNKNOWN_DEVICE, QVRX_DisconnectDevice(id)) << kind;
        EXPECT_EQ(3, value.GetInt32()) << kind;
    }
    EXPECT_EQ(0, QVRX_ReleaseAll());
}

TEST(HostDeviceInterface, TheDeviceListIsWrittenThroughTheHostsVariant)
{
    KT::Testing::CountingVariant::Stats stats;
    {
        KT::Testing::CountingVariant list(&stats);
        list.Set("the host's text");
        EXPECT_EQ(0, QVRX_FindDevices(nullptr, 0, list));
        EXPECT_EQ(KT::Variant::TYPE_ARRAY, list.GetType());
        EXPECT_EQ(0u, list.GetArrayLength());
        EXPECT_EQ(1, stats.frees) << "the host's own FreeBuffer released its text";

        list.Set("again");
        EXPECT_GE(QVRX_FindRemoteDevices(nullptr, 0, list, false, nullptr, 0, 0, 0, 0), 0);
        EXPECT_EQ(KT::Variant::TYPE_ARRAY, list.GetType());
        EXPECT_EQ(2, stats.frees);
    }
    EXPECT_EQ(0, stats.foreignFrees);
    EXPECT_TRUE(stats.live.empty());
}

TEST(HostDeviceInterface, GetDeviceInfoOfAnUnknownNetworkDeviceFillsWhatItsIDTells)
{
    unsigned char expected[256];
    std::memset(expected, 0xAB, sizeof(expected));
    const unsigned char productGuid[] = {0x01, 0x02, 0x03, 0x04, 0x5E, 0x6B, 0x00, 0x00,
                                         0x71, 0x2C, 0x00, 0x00, 0xDE, 0xCA, 0xFB, 0xAD};
    const unsigned char ids[] = {0x5E, 0x6B, 0x00, 0x00, 0x71, 0x2C, 0x00, 0x00};
    const unsigned char instanceGuid[] = {0,    0,    0,    0,    0,    0,    0,    0,
                                          0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x01, 0x02};
    const unsigned char locationAndIndex[] = {0xF6, 0xE5, 0xD4, 0xC3, 0xB2, 0xA1, 0x00, 0x00, 0x02, 0x01};
    std::memcpy(expected + 0, productGuid, sizeof(productGuid));
    std::memcpy(expected + 144, ids, sizeof(ids));
    std::memcpy(expected + 152, instanceGuid, sizeof(instanceGuid));
    std::memcpy(expected + 168, locationAndIndex, sizeof(locationAndIndex));
    std::memset(expected + 178, 0, 64);
    std::memset(expected + 244, 0, 8);
    expected[252] = 1;

    KT::DeviceInfo info;
    std::memset(&info, 0xAB, sizeof(info));
    EXPECT_EQ(QVRX_DEVICE_NOT_LISTED, QVRX_GetDeviceInfo(RemoteID(), &info, true));
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&info);
    for (std::size_t i = 0; i < sizeof(info); ++i)
    {
        EXPECT_EQ(expected[i], bytes[i]) << "byte " << i;
    }
    EXPECT_EQ(KT::RESULT_INVALID_ARGUMENT, QVRX_GetDeviceInfo(RemoteID(), nullptr, false));
}

// A host whose exit handler, registered before it loaded the library, runs
// after the library's own: the manager is gone by then, and the call must
// answer -1 without touching its list (tests/support/ExitHandlerHost.cpp).
TEST(HostDeviceInterface, ACallFromALaterExitHandlerGetsMinusOne)
{
    const std::string command = std::string(VELQUIN_EXIT_HANDLER_HOST) + " '" + LibraryPath() + "'";
    FILE* child = popen(command.c_str(), "r");
    ASSERT_NE(nullptr, child);
    std::string output;
    char chunk[256];
    while (std::fgets(chunk, sizeof(chunk), child) != nullptr)
    {
        output += chunk;
    }
    const int status = pclose(child);
    EXPECT_EQ(0, status) << output;
    EXPECT_EQ("loaded 0\nat exit -1 untouched\n", output);
}

} // namespace
