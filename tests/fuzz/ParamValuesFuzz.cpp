// A parameter list as a device sends it: a record read into KT::ParamValues,
// then every entry [value, parameter ID, descriptor] read with GetValue and
// GetParamValue.
//
// Properties: GetValue finds exactly GetCount entries; a failed read leaves the
// value Empty, the ID NO_PARAM_ID and the descriptor untouched; GetParamValue
// reads what GetValue reads; an entry read and written back with SetOne reads
// back the same; reading an entry into the list itself gives what reading it
// into separate variables gives.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "KTFramework/Defs/Result.h"
#include "KTFramework/Utilities/Storage/ParamValue.h"
#include "KTFramework/Utilities/Storage/ParamValues.h"
#include "fuzz/FuzzCheck.h"

using KT::ParamValues;
using KT::Variant;
using Bytes = std::vector<unsigned char>;

namespace
{

Bytes Written(const Variant& value)
{
    Bytes out(Variant::GetSerializedSize(value));
    FUZZ_CHECK(Variant::Serialize(value, out.data(), out.size()) == static_cast<int>(out.size()));
    return out;
}

constexpr int kUntouched = 0x5EED;

void CheckEntry(const ParamValues& list, unsigned int index, bool present)
{
    Variant value(1);
    unsigned int paramID = 0;
    Variant descriptor(kUntouched);
    const int result = list.GetValue(index, value, paramID, descriptor);
    if (!present)
    {
        FUZZ_CHECK(result == ParamValues::RESULT_NO_SUCH_ENTRY);
    }
    if (result != 0)
    {
        FUZZ_CHECK(result == ParamValues::RESULT_NO_SUCH_ENTRY ||
                   result == ParamValues::RESULT_MALFORMED_ENTRY);
        FUZZ_CHECK(value.IsEmpty() && paramID == ParamValues::NO_PARAM_ID);
        FUZZ_CHECK(descriptor.GetType() == Variant::TYPE_INT32 && descriptor.GetInt32() == kUntouched);
        return;
    }
    FUZZ_CHECK(present);

    KT::ParamValue read(0);
    FUZZ_CHECK(list.GetParamValue(index, read) == 0);
    FUZZ_CHECK(read.GetParamDescriptor().GetParamID() == paramID);
    FUZZ_CHECK(Written(read.GetValue()) == Written(value));
    FUZZ_CHECK(Written(read.GetParamDescriptor().GetDescriptor()) == Written(descriptor));

    KT::ParamDescriptor named(paramID);
    named.AccessDescriptor().Set(descriptor);
    ParamValues one;
    FUZZ_CHECK(one.SetOne(named, value) == 0);
    FUZZ_CHECK(one.GetCount() == 1);
    Variant valueAgain;
    unsigned int paramIDAgain = 0;
    Variant descriptorAgain;
    FUZZ_CHECK(one.GetValue(0, valueAgain, paramIDAgain, descriptorAgain) == 0);
    FUZZ_CHECK(paramIDAgain == paramID);
    FUZZ_CHECK(Written(valueAgain) == Written(value));
    FUZZ_CHECK(Written(descriptorAgain) == Written(descriptor));

    // The list as its own out-parameters.
    ParamValues intoValue(list);
    unsigned int id = 0;
    Variant unusedDescriptor;
    FUZZ_CHECK(intoValue.GetValue(index, intoValue, id, unusedDescriptor) == 0);
    FUZZ_CHECK(id == paramID && Written(intoValue) == Written(value));
    ParamValues intoDescriptor(list);
    Variant unusedValue;
    FUZZ_CHECK(intoDescriptor.GetValue(index, unusedValue, id, intoDescriptor) == 0);
    FUZZ_CHECK(id == paramID && Written(intoDescriptor) == Written(descriptor));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ParamValues list;
    if (Variant::Deserialize(list, data, size) != 0)
    {
        return 0;
    }
    const int count = list.GetCount();
    FUZZ_CHECK(count >= 0 && static_cast<std::size_t>(count) == list.GetArrayLength());
    for (int i = 0; i < count; ++i)
    {
        CheckEntry(list, static_cast<unsigned int>(i), true);
    }
    CheckEntry(list, static_cast<unsigned int>(count), false);
    return 0;
}
