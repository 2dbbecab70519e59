// The host's view of libvelquin.so: the fourteen exported functions, the
// callback through which devices answer, and the fixed record that
// QVRX_GetDeviceInfo fills. A host includes this header and the framework
// headers it names, and owns every object it passes: the library reads or
// fills them in place and keeps none of them.
//
// Results: 0 or more is success; the QVRX_RESULT_ codes below are failures;
// framework codes (KT::RESULT_FAILED, KT::RESULT_INVALID_ARGUMENT) pass through.
// Every function returns QVRX_RESULT_FAILED, touching no argument, while the
// library is not loaded or has been released at process exit.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "KTFramework/Utilities/Storage/GUID.h"
#include "KTFramework/Utilities/Storage/ParamDescriptor.h"
#include "KTFramework/Utilities/Storage/ParamValues.h"
#include "KTFramework/Utilities/Storage/Variant.h"

namespace KT
{

// What QVRX_GetDeviceInfo tells about one device. Shared with hosts built
// elsewhere, so its layout is fixed: little-endian fields, texts of at most 63
// bytes, NUL-terminated and zero-filled to the end of their field.
struct DeviceInfo
{
    unsigned char productGuid[16];
    char vendorName[64];
    char productName[64];
    std::uint32_t vendorId;
    std::uint32_t productId;
    unsigned char instanceGuid[16];
    std::uint64_t instanceLocationId;
    std::uint16_t instanceIndex;
    char userDefinedName[64];
    unsigned char reserved1[2];
    // In host byte order, as the host gives addresses to QVRX_FindRemoteDevices.
    std::uint32_t networkAddress;
    std::uint32_t networkPort;
    bool isRemote;
    unsigned char reserved2[3];
};

static_assert(std::endian::native == std::endian::little, "DeviceInfo's fields are little-endian");
static_assert(sizeof(DeviceInfo) == 256, "DeviceInfo is a 256-byte record");
static_assert(offsetof(DeviceInfo, productGuid) == 0);
static_assert(offsetof(DeviceInfo, vendorName) == 16);
static_assert(offsetof(DeviceInfo, productName) == 80);
static_assert(offsetof(DeviceInfo, vendorId) == 144);
static_assert(offsetof(DeviceInfo, productId) == 148);
static_assert(offsetof(DeviceInfo, instanceGuid) == 152);
static_assert(offsetof(DeviceInfo, instanceLocationId) == 168);
static_assert(offsetof(DeviceInfo, instanceIndex) == 176);
static_assert(offsetof(DeviceInfo, userDefinedName) == 178);
static_assert(offsetof(DeviceInfo, networkAddress) == 244);
static_assert(offsetof(DeviceInfo, networkPort) == 248);
static_assert(offsetof(DeviceInfo, isRemote) == 252);
static_assert(sizeof(bool) == 1, "isRemote is one byte");

} // namespace KT

// Called from the library's own threads with the context given at connect, the
// device's ID and the values it sent: notifications, answers to the two
// request functions, and the acceptance of the connection (parameter -2), in
// the order the device sent them; nothing before the acceptance is reported.
// A network device's acceptance that came before the connect had read its
// token may instead be reported on the thread of QVRX_ConnectDevice, before it
// returns, with the values that followed it. No call for a device follows the
// return of QVRX_DisconnectDevice for it.
typedef void (*DeviceParamCallback)(void* context, const KT::Variant& deviceID,
                                    const KT::ParamValues& values);

// Failures of the exported functions.
enum QVRXResult : int
{
    QVRX_RESULT_FAILED = -1,
    QVRX_RESULT_UNKNOWN_DEVICE = -2,
    QVRX_RESULT_NOT_CONNECTED = -3,
    QVRX_RESULT_ALREADY_CONNECTED = -5,
    QVRX_RESULT_CONNECTION_FAILED = -6,
};

// Successes that say more than 0.
enum QVRXSuccess : int
{
    // QVRX_ConnectDevice: connected; the device reports its acceptance later.
    QVRX_CONNECTED_AWAITING_ACCEPTANCE = 1,
    // QVRX_GetDeviceInfo: the device is in neither list; only what its ID
    // tells was written.
    QVRX_DEVICE_NOT_LISTED = 1,
};

extern "C"
{
    // Lists the attached devices (deviceList becomes an Array of device IDs),
    // keeping only those whose product GUID is among the guidCount given.
    int QVRX_FindDevices(const GUID* productGuids, std::uint32_t guidCount, KT::Variant& deviceList);
    // Lists the network devices, probing the given IPv4 addresses (host order)
    // beside those announced; returns the list's revision number, which rises
    // whenever a search, a connect or a refresh changed the list.
    int QVRX_FindRemoteDevices(const GUID* productGuids, std::uint32_t guidCount, KT::Variant& deviceList,
                               bool verify, const std::uint32_t* addresses, std::uint32_t addressCount,
                               std::uint32_t maxDevices, std::uint32_t portCount, std::uint32_t firstPort);
    int QVRX_ConnectDevice(const KT::Variant& deviceID, DeviceParamCallback callback, void* context);
    // 0 connected, QVRX_RESULT_NOT_CONNECTED listed but not connected.
    int QVRX_IsDeviceConnected(const KT::Variant& deviceID, bool probe, std::uint32_t idleMs);
    int QVRX_GetDeviceInfo(const KT::Variant& deviceID, KT::DeviceInfo* info, bool refresh);
    // The answers of the two requests arrive later through the callback.
    int QVRX_RequestParamRanges(const KT::Variant& deviceID, const KT::ParamRanges& ranges);
    int QVRX_RequestParamValues(const KT::Variant& deviceID, const KT::ParamDescriptors& descriptors);
    int QVRX_GetParamValue(const KT::Variant& deviceID, const KT::ParamDescriptor& descriptor,
                           KT::Variant& value);
    int QVRX_GetParamRanges(const KT::Variant& deviceID, const KT::ParamRanges& ranges,
                            KT::ParamValues& values);
    int QVRX_GetParamValues(const KT::Variant& deviceID, const KT::ParamDescriptors& descriptors,
                            KT::ParamValues& values);
    int QVRX_SetParamValue(const KT::Variant& deviceID, const KT::ParamDescriptor& descriptor,
                           const KT::Variant& value);
    // Sets the entries in order and stops at the first failure, returning it.
    int QVRX_SetParamValues(const KT::Variant& deviceID, const KT::ParamValues& values);
    int QVRX_DisconnectDevice(const KT::Variant& deviceID);
    // Disconnects and forgets every device; call before unloading.
    int QVRX_ReleaseAll();
}
