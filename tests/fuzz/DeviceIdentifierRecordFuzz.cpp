// A network device's answer to the identify request, as
// LDeviceIdentifiersRetriever::ReadIdentifierRecord reads it: a variant record
// [device ID, name], the name any value, taken as its text form.
//
// Properties: what is read is a valid device ID; the record written again as a
// device writes it ([device ID, name as a String]) reads back as the same device
// ID and name.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "DeviceControl/CommonInc/DeviceIdentifier.h"
#include "KTFramework/Utilities/Storage/Buffer.h"
#include "fuzz/FuzzCheck.h"
#include "velquin/Common/CrossPlatform/DeviceIdentifiersRetriever.h"

using KT::Variant;
using RecordBuffer = KT::LBufferT<1, 0>;

namespace
{

KT::RCPtr<KT::LIBuffer> BufferOf(const unsigned char* data, std::size_t size)
{
    KT::RCPtr<KT::LIBuffer> buffer = RecordBuffer::Create(size, 0, false);
    if (size > 0)
    {
        std::memcpy(buffer->GetRawPtr(), data, size);
    }
    return buffer;
}

std::vector<unsigned char> Written(const Variant& value)
{
    std::vector<unsigned char> out(Variant::GetSerializedSize(value));
    FUZZ_CHECK(Variant::Serialize(value, out.data(), out.size()) == static_cast<int>(out.size()));
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Variant deviceID;
    KT::DeviceIdentifier::String name;
    if (!LDeviceIdentifiersRetriever::ReadIdentifierRecord(KT::ConstRCPtr<KT::LIBuffer>(BufferOf(data, size)),
                                                           deviceID, name))
    {
        return 0;
    }
    FUZZ_CHECK(KT::DeviceIdentifier(deviceID).IsValid());

    Variant items[2];
    items[0].Set(deviceID);
    items[1].Set(name.CStr());
    Variant record;
    FUZZ_CHECK(record.SetArray(items, 2) == Variant::TYPE_ARRAY);
    const std::vector<unsigned char> bytes = Written(record);
    Variant deviceIDAgain;
    KT::DeviceIdentifier::String nameAgain;
    FUZZ_CHECK(LDeviceIdentifiersRetriever::ReadIdentifierRecord(
        KT::ConstRCPtr<KT::LIBuffer>(BufferOf(bytes.data(), bytes.size())), deviceIDAgain, nameAgain));
    FUZZ_CHECK(Written(deviceIDAgain) == Written(deviceID));
    FUZZ_CHECK(nameAgain == name);
    return 0;
}
