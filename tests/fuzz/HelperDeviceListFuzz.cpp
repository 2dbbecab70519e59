// The device helper's reply to 'GtDL' as the connector reads it
// (LMacLocalConnector::ReadDeviceList): a property list, in any format the
// plist library reads, holding an array of data items, each a variant record
// [device ID, name].
//
// Properties: every device read has a valid device ID; the devices written
// back as the helper writes its reply (an XML array of [device ID, name]
// records) read back as the same devices, names included.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "DeviceControl/CommonInc/DeviceIdentifier.h"
#include "Platform/PropertyList.h"
#include "fuzz/FuzzCheck.h"
#include "velquin/Common/MacLocalConnector.h"

using KT::DeviceIdentifier;
using KT::Variant;
using KT::Platform::Plist;

namespace
{

// The reply a helper gives for these devices.
LMacLocalConnector::Bytes WriteReply(const KT::Array<DeviceIdentifier>& devices)
{
    Plist list = Plist::NewArray();
    for (std::size_t i = 0; i < static_cast<std::size_t>(devices.GetCount()); ++i)
    {
        const DeviceIdentifier& device = devices.GetAt(i);
        Variant items[2];
        items[0].Set(static_cast<const Variant&>(device));
        items[1].Set(device.GetUserDefinedName().CStr());
        Variant pair;
        FUZZ_CHECK(pair.SetArray(items, 2) == Variant::TYPE_ARRAY);
        std::vector<unsigned char> record(Variant::GetSerializedSize(pair));
        FUZZ_CHECK(Variant::Serialize(pair, record.data(), record.size()) == static_cast<int>(record.size()));
        FUZZ_CHECK(list.Append(Plist::NewData(record.data(), record.size())));
    }
    LMacLocalConnector::Bytes reply;
    FUZZ_CHECK(list.ToXml(reply));
    return reply;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const LMacLocalConnector::Bytes reply(data, data + size);
    KT::Array<DeviceIdentifier> devices;
    LMacLocalConnector::ReadDeviceList(reply, devices);
    const std::size_t count = static_cast<std::size_t>(devices.GetCount());
    for (std::size_t i = 0; i < count; ++i)
    {
        FUZZ_CHECK(devices.GetAt(i).IsValid());
    }

    KT::Array<DeviceIdentifier> again;
    LMacLocalConnector::ReadDeviceList(WriteReply(devices), again);
    FUZZ_CHECK(static_cast<std::size_t>(again.GetCount()) == count);
    for (std::size_t i = 0; i < count; ++i)
    {
        FUZZ_CHECK(again.GetAt(i) == devices.GetAt(i));
    }
    return 0;
}
