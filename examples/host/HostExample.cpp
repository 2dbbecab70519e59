// A host of libvelquin.so, built against the installed header and library only:
// it lists the attached devices and the network devices at a given address,
// connects each, reads every parameter, changes one, prints the notifications
// of two seconds, disconnects and releases the library.
//
//   velquin_example_host [--address A.B.C.D] [--port N] [--expect N]
//
// --expect N also fails unless exactly N devices are found and each sends
// notifications while the host listens. Any failed call ends the program with
// status 1.
#include <arpa/inet.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KTFramework/Utilities/Storage/VariantEx.h"
#include "velquin/Common/CrossPlatform/VelquinInterface.h"

namespace
{

// The parameter ID under which a device reports that it accepted us.
constexpr unsigned int kAccessGranted = static_cast<unsigned int>(-2);

std::mutex gOutputLock; // callbacks print from the library's threads

struct Device
{
    KT::Variant id;
    std::string name;
    std::mutex lock;
    bool accepted = false; // guarded by lock
    int notifications = 0; // guarded by lock
};

std::string Text(const KT::Variant& value)
{
    KT::VariantEx copy;
    copy.Set(value);
    return copy.GetString(-1).CStr();
}

void OnValues(void* context, const KT::Variant&, const KT::ParamValues& values)
{
    Device& device = *static_cast<Device*>(context);
    std::lock_guard<std::mutex> output(gOutputLock);
    std::lock_guard<std::mutex> guard(device.lock);
    for (int i = 0; i < values.GetCount(); ++i)
    {
        KT::Variant value;
        KT::Variant descriptor;
        unsigned int id = 0;
        if (values.GetValue(static_cast<unsigned int>(i), value, id, descriptor) != 0)
        {
            continue;
        }
        if (id == kAccessGranted)
        {
            device.accepted = true;
            std::printf("  %s: accepted the connection\n", device.name.c_str());
            continue;
        }
        ++device.notifications;
        std::printf("  %s: parameter %u is now %s\n", device.name.c_str(), id, Text(value).c_str());
    }
    std::fflush(stdout);
}

bool Check(int result, const char* call, const std::string& device)
{
    if (result < 0)
    {
        std::printf("FAILED: %s on %s gave %d\n", call, device.c_str(), result);
    }
    return result >= 0;
}

std::string GuidText(const unsigned char (&bytes)[16])
{
    std::string text;
    char digits[3];
    for (unsigned char byte : bytes)
    {
        std::snprintf(digits, sizeof(digits), "%02X", byte);
        text += digits;
    }
    return text;
}

// Connects, reads every parameter, sets the first Int32 one to one more and
// reads it back.
bool Exercise(Device& device)
{
    const int connected = QVRX_ConnectDevice(device.id, OnValues, &device);
    if (!Check(connected, "QVRX_ConnectDevice", device.name))
    {
        return false;
    }
    std::printf("%s: connected (%s)\n", device.name.c_str(),
                connected == QVRX_CONNECTED_AWAITING_ACCEPTANCE ? "awaiting acceptance" : "accepted");
    KT::ParamValues all;
    if (!Check(QVRX_GetParamValues(device.id, KT::ParamDescriptors(), all), "QVRX_GetParamValues",
               device.name))
    {
        return false;
    }
    std::printf("%s: %d parameters\n", device.name.c_str(), all.GetCount());
    int toSet = -1;
    for (int i = 0; i < all.GetCount(); ++i)
    {
        KT::Variant listed;
        KT::Variant descriptor;
        unsigned int id = 0;
        if (all.GetValue(static_cast<unsigned int>(i), listed, id, descriptor) != 0)
        {
            std::printf("FAILED: entry %d of %s's parameters is malformed\n", i, device.name.c_str());
            return false;
        }
        KT::Variant value;
        if (!Check(QVRX_GetParamValue(device.id, KT::ParamDescriptor(id), value), "QVRX_GetParamValue",
                   device.name))
        {
            return false;
        }
        std::printf("  parameter %u = %s\n", id, Text(value).c_str());
        if (toSet < 0 && value.GetType() == KT::Variant::TYPE_INT32)
        {
            toSet = static_cast<int>(id);
        }
    }
    if (toSet < 0)
    {
        std::printf("%s: no integer parameter to set\n", device.name.c_str());
        return true;
    }
    const KT::ParamDescriptor descriptor(static_cast<unsigned int>(toSet));
    KT::Variant before;
    KT::Variant after;
    if (!Check(QVRX_GetParamValue(device.id, descriptor, before), "QVRX_GetParamValue", device.name) ||
        !Check(QVRX_SetParamValue(device.id, descriptor, KT::Variant(before.GetInt32() + 1)),
               "QVRX_SetParamValue", device.name) ||
        !Check(QVRX_GetParamValue(device.id, descriptor, after), "QVRX_GetParamValue", device.name))
    {
        return false;
    }
    std::printf("%s: set parameter %d from %d to %d, read back %s\n", device.name.c_str(), toSet,
                before.GetInt32(), before.GetInt32() + 1, Text(after).c_str());
    if (after.GetType() != KT::Variant::TYPE_INT32 || after.GetInt32() != before.GetInt32() + 1)
    {
        std::printf("FAILED: %s kept parameter %d at %s\n", device.name.c_str(), toSet, Text(after).c_str());
        return false;
    }
    return true;
}

// Appends the IDs in a search's list.
void Collect(const KT::Variant& list, std::vector<std::unique_ptr<Device>>& devices)
{
    for (std::size_t i = 0; i < list.GetArrayLength(); ++i)
    {
        auto device = std::make_unique<Device>();
        if (list.GetArrayElement(i, device->id) == 0)
        {
            devices.push_back(std::move(device));
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::uint32_t address = 0;
    std::uint32_t port = 0;
    int expect = -1;
    for (int i = 1; i + 1 < argc; i += 2)
    {
        in_addr parsed{};
        if (std::strcmp(argv[i], "--address") == 0 && inet_pton(AF_INET, argv[i + 1], &parsed) == 1)
        {
            address = ntohl(parsed.s_addr);
        }
        else if (std::strcmp(argv[i], "--port") == 0)
        {
            port = static_cast<std::uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
        }
        else if (std::strcmp(argv[i], "--expect") == 0)
        {
            expect = std::atoi(argv[i + 1]);
        }
        else
        {
            std::fprintf(stderr, "usage: %s [--address A.B.C.D] [--port N] [--expect N]\n", argv[0]);
            return 2;
        }
    }

    std::vector<std::unique_ptr<Device>> devices;
    KT::Variant attached;
    KT::Variant remote;
    if (!Check(QVRX_FindDevices(nullptr, 0, attached), "QVRX_FindDevices", "this computer") ||
        !Check(QVRX_FindRemoteDevices(nullptr, 0, remote, false, address != 0 ? &address : nullptr,
                                      address != 0 ? 1 : 0, 8, port != 0 ? 1 : 0, port),
               "QVRX_FindRemoteDevices", "the network"))
    {
        return 1;
    }
    Collect(attached, devices);
    Collect(remote, devices);

    std::printf("%zu devices\n", devices.size());
    std::printf("%-20s %-9s %-15s %-6s %s\n", "name", "kind", "address", "port", "product GUID");
    for (auto& device : devices)
    {
        KT::DeviceInfo info{};
        if (!Check(QVRX_GetDeviceInfo(device->id, &info, false), "QVRX_GetDeviceInfo", "a listed device"))
        {
            return 1;
        }
        device->name = info.userDefinedName[0] != 0 ? info.userDefinedName : info.productName;
        in_addr shown{htonl(info.networkAddress)};
        char dotted[INET_ADDRSTRLEN] = "-";
        if (info.isRemote)
        {
            inet_ntop(AF_INET, &shown, dotted, sizeof(dotted));
        }
        std::printf("%-20s %-9s %-15s %-6u %s\n", device->name.c_str(),
                    info.isRemote ? "network" : "attached", dotted, info.networkPort,
                    GuidText(info.productGuid).c_str());
    }
    if (expect >= 0 && static_cast<int>(devices.size()) != expect)
    {
        std::printf("FAILED: expected %d devices\n", expect);
        return 1;
    }

    bool ok = true;
    for (auto& device : devices)
    {
        ok = Exercise(*device) && ok;
    }

    std::printf("listening for two seconds\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(2));

    for (auto& device : devices)
    {
        int notifications;
        {
            std::lock_guard<std::mutex> guard(device->lock);
            notifications = device->notifications;
        }
        std::printf("%s: %d notifications\n", device->name.c_str(), notifications);
        if (expect >= 0 && notifications == 0)
        {
            std::printf("FAILED: %s sent no notification\n", device->name.c_str());
            ok = false;
        }
        ok = Check(QVRX_DisconnectDevice(device->id), "QVRX_DisconnectDevice", device->name) && ok;
    }
    ok = Check(QVRX_ReleaseAll(), "QVRX_ReleaseAll", "the library") && ok;
    std::printf("%s\n", ok ? "done" : "FAILED");
    return ok ? 0 : 1;
}
