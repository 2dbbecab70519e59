// The library's composition root, the one place that knows every part of
// device control: at load it makes the process-wide manager with the library's
// own device sources and arranges its release at exit; the exported functions
// each take their own reference to that manager (QVRX_RESULT_FAILED when there
// is none) and forward to the manager operation of the same name. They keep no
// state and take no lock of their own.
#include "velquin/Common/CrossPlatform/VelquinInterface.h"

#include <cstdlib>

#include "DeviceControl/CommonInc/DeviceIdentifier.h"
#include "KTFramework/Defs/Result.h"
#include "KTFramework/Utilities/Storage/Array.h"
#include "KTFramework/Utilities/Storage/Iterable.h"
#include "KTFramework/Utilities/Storage/VariantEx.h"
#include "velquin/Common/CrossPlatform/DeviceManager.h"
#include "velquin/Common/CrossPlatform/SystemDeviceSources.h"

namespace
{

// Hooks around the library's life, for platform set-up and tear-down.
void LibraryOpen() {}
void LibraryClose() {}

void ReleaseTheDeviceManager()
{
    // The manager goes when the last caller still inside it lets go.
    LDeviceManager::ExchangeTheDeviceManager(KT::RCPtr<LDeviceManager>());
}

// Runs at load, after the framework's prioritised static objects. The exit
// handlers run in reverse: LibraryClose, then the release.
struct LibraryLoad
{
    LibraryLoad()
    {
        LibraryOpen();
        LDeviceManager::ExchangeTheDeviceManager(LDeviceManager::Create(LSystemDeviceSources::Create()));
        std::atexit(ReleaseTheDeviceManager);
        std::atexit(LibraryClose);
    }
};

const LibraryLoad sLibraryLoad;

// Keeps in deviceList only the device IDs whose product GUID is one of the
// guidCount given. A list from which nothing is removed is left exactly as
// the manager wrote it.
void FilterByProductGuid(const GUID* productGuids, std::uint32_t guidCount, KT::Variant& deviceList)
{
    if (guidCount == 0)
    {
        return;
    }
    KT::Array<KT::GUIDComparable> guids;
    for (std::uint32_t i = 0; i < guidCount; ++i)
    {
        static_cast<void>(guids.AppendItem(KT::GUIDComparable(productGuids[i].mBytes))); // grows or throws
    }
    KT::Array<KT::Variant> deviceIDs;
    if (KT::Result::Failed(KT::VariantEx::VariantArrayToArrayOfVariants(deviceList, deviceIDs)))
    {
        return;
    }
    const std::int64_t listed = deviceIDs.GetCount();
    for (std::size_t i = static_cast<std::size_t>(listed); i-- > 0;)
    {
        KT::DeviceIdentifier::GuidBytes productGuid;
        KT::DeviceIdentifier(deviceIDs[i]).GetProductGuid(productGuid);
        if (guids.GetIndexOf(KT::GUIDComparable(productGuid)) == KT::kContainerNotFound)
        {
            static_cast<void>(deviceIDs.Remove(i, 1)); // i lies below the count
        }
    }
    if (deviceIDs.GetCount() != listed)
    {
        deviceList.SetArray(deviceIDs.GetPtr(), static_cast<std::size_t>(deviceIDs.GetCount()));
    }
}

} // namespace

extern "C"
{

    int QVRX_FindDevices(const GUID* productGuids, std::uint32_t guidCount, KT::Variant& deviceList)
    {
        KT::RCPtr<LDeviceManager> manager = LDeviceManager::GetTheDeviceManager();
        if (!manager)
        {
            return QVRX_RESULT_FAILED;
        }
        if (productGuids == nullptr && guidCount > 0)
        {
            return KT::RESULT_INVALID_ARGUMENT;
        }
        const int result = manager->FindDevices(deviceList);
        FilterByProductGuid(productGuids, guidCount, deviceList);
        return result;
    }

    int QVRX_FindRemoteDevices(const GUID* productGuids, std::uint32_t guidCount, KT::Variant& deviceList,
                               bool verify, const std::uint32_t* addresses, std::uint32_t addressCount,
                               std::uint32_t maxDevices, std::uint32_t portCount, std::uint32_t firstPort)
    {
        KT::RCPtr<LDeviceManager> manager = LDeviceManager::GetTheDeviceManager();
        if (!manager)
        {
            return QVRX_RESULT_FAILED;
        }
        if (productGuids == nullptr && guidCount > 0)
        {
            return KT::RESULT_INVALID_ARGUMENT;
        }
        const int result = manager->FindRemoteDevices(deviceList, verify, addresses, addressCount, maxDevices,
                                                      portCount, firstPort);
        FilterByProductGuid(productGuids, guidCount, deviceList);
        return result;
    }

    int QVRX_ConnectDevice(const KT::Variant& deviceID, DeviceParamCallback callback, void* context)
    {
        KT::RCPtr<LDeviceManager> manager = LDeviceManager::GetTheDeviceManager();
        return !!manager ? manager->ConnectDevice(deviceID, callback, context) : QVRX_RESULT_FAILED;
    }

    int QVRX_IsDeviceConnected(const KT::Variant& deviceID, bool probe, std::uint32_t idleMs)
    {
        KT::RCPtr<LDeviceManager> manager = LDeviceManager::GetTheDeviceManager();
        return !!manager ? manager->IsDeviceConnected(deviceID, probe, idleMs) : QVRX_RESULT_FAILED;
    }

    int QVRX_GetDeviceInfo(const KT::Variant& deviceID, KT::DeviceInfo* info, bool refresh)
    {
        KT::RCPtr<LDeviceManager> manager = LDeviceManager::GetTheDeviceManager();
        return !!manager ? manager->GetDeviceInfo(deviceID, info, refresh) : QVRX_RESULT_FAILED;
    }

    int QVRX_RequestParamRanges(const KT::Variant& deviceID, const KT::ParamRanges& ranges)
    {
        KT::RCPtr<LDeviceManager> manager = LDeviceManager::GetTheDeviceManager();
        return !!manager ? manager->RequestParamRanges(deviceID, ranges) : QVRX_RESULT_FAILED;
    }

    int QVRX_RequestParamValues(const KT::Variant& deviceID, const KT::ParamDescriptors& descriptors)
    {
        KT::RCPtr<LDeviceManager> manager = LDeviceManager::GetTheDeviceManager();
        return !!manager ? manager->RequestParamValues(deviceID, descriptors) : QVRX_RESULT_FAILED;
    }

    int QVRX_GetParamValue(const KT::Variant& deviceID, const KT::ParamDescriptor& descriptor,
                           KT::Variant& value)
    {
        KT::RCPtr<LDeviceManager> manager = LDeviceManager::GetTheDeviceManager();
        return !!manager ? manager->GetParamValue(deviceID, descriptor, value) : QVRX_RESULT_FAILED;
    }

    int QVRX_GetParamRanges(const KT::Variant& deviceID, const KT::ParamRanges& ranges,
                            KT::ParamValues& values)
    {
        KT::RCPtr<LDeviceManager> manager = LDeviceManager::GetTheDeviceManager();
        return !!manager ? manager->GetParamRanges(deviceID, ranges, values) : QVRX_RESULT_FAILED;
    }

    int QVRX_GetParamValues(const KT::Variant& deviceID, const KT::ParamDescriptors& descriptors,
                            KT::ParamValues& values)
    {
        KT::RCPtr<LDeviceManager> manager = LDeviceManager::GetTheDeviceManager();
        return !!manager ? manager->GetParamValues(deviceID, descriptors, values) : QVRX_RESULT_FAILED;
    }

    int QVRX_SetParamValue(const KT::Variant& deviceID, const KT::ParamDescriptor& descriptor,
                           const KT::Variant& value)
    {
        KT::RCPtr<LDeviceManager> manager = LDeviceManager::GetTheDeviceManager();
        return !!manager ? manager->SetParamValue(deviceID, descriptor, value) : QVRX_RESULT_FAILED;
    }

    int QVRX_SetParamValues(const KT::Variant& deviceID, const KT::ParamValues& values)
    {
        KT::RCPtr<LDeviceManager> manager = LDeviceManager::GetTheDeviceManager();
        return !!manager ? manager->SetParamValues(deviceID, values) : QVRX_RESULT_FAILED;
    }

    int QVRX_DisconnectDevice(const KT::Variant& deviceID)
    {
        KT::RCPtr<LDeviceManager> manager = LDeviceManager::GetTheDeviceManager();
        return !!manager ? manager->DisconnectDevice(deviceID) : QVRX_RESULT_FAILED;
    }

    int QVRX_ReleaseAll()
    {
        KT::RCPtr<LDeviceManager> manager = LDeviceManager::GetTheDeviceManager();
        return !!manager ? manager->ReleaseAll() : QVRX_RESULT_FAILED;
    }

} // extern "C"
