#include "KTFramework/Utilities/Storage/ParamValues.h"

#include <cstddef>

namespace KT
{

namespace
{

constexpr size_t ENTRY_ELEMENTS = 3;
constexpr size_t ENTRY_VALUE = 0;
constexpr size_t ENTRY_PARAM_ID = 1;
constexpr size_t ENTRY_DESCRIPTOR = 2;

} // namespace

void ParamDescriptor::CheckLayout()
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
    static_assert(offsetof(ParamDescriptor, mParamID) == 0, "the parameter ID comes first");
    static_assert(offsetof(ParamDescriptor, mDescriptor) == 8, "the descriptor follows the ID");
#pragma GCC diagnostic pop
}

Variant& ParamValue::ToArrayVariant(unsigned int paramID, const Variant& descriptor, const Variant& value,
                                    Variant& out)
{
    const Variant id(static_cast<int>(paramID));
    const Variant* items[ENTRY_ELEMENTS] = {&value, &id, &descriptor};
    out.SetArray(items, ENTRY_ELEMENTS);
    return out;
}

ParamValues::ParamValues()
{
    SetArray(static_cast<const Variant*>(nullptr), 0);
}

ParamValues::~ParamValues() = default;

int ParamValues::GetCount() const
{
    return static_cast<int>(GetArrayLength());
}

int ParamValues::GetValue(unsigned int index, Variant& value, unsigned int& paramID,
                          Variant& descriptor) const
{
    // Everything is read from this list before an out-parameter is written,
    // since the caller may pass the list itself as one of them.
    Variant elements[ENTRY_ELEMENTS];
    const bool present = index < GetArrayLength();
    bool wellFormed = false;
    if (present)
    {
        Variant entry;
        wellFormed = GetArrayElement(index, entry) == 0 && entry.GetArrayLength() == ENTRY_ELEMENTS;
        for (size_t i = 0; wellFormed && i < ENTRY_ELEMENTS; ++i)
        {
            // An element that does not decode makes the entry malformed.
            wellFormed = entry.GetArrayElement(i, elements[i]) == 0;
        }
    }

    value.Clear();
    paramID = NO_PARAM_ID;
    if (!present)
    {
        return RESULT_NO_SUCH_ENTRY;
    }
    if (!wellFormed)
    {
        return RESULT_MALFORMED_ENTRY;
    }
    value.Set(elements[ENTRY_VALUE]);
    paramID = static_cast<unsigned int>(elements[ENTRY_PARAM_ID].GetInt32());
    descriptor.Clear();
    descriptor.Set(elements[ENTRY_DESCRIPTOR]);
    return 0;
}

int ParamValues::GetParamValue(unsigned int index, ParamValue& out) const
{
    ParamDescriptor& descriptor = out.AccessParamDescriptor();
    return GetValue(index, out.AccessValue(), descriptor.AccessParamID(), descriptor.AccessDescriptor());
}

int ParamValues::SetOne(const ParamDescriptor& descriptor, const Variant& value)
{
    Variant entry;
    ParamValue::ToArrayVariant(descriptor.GetParamID(), descriptor.GetDescriptor(), value, entry);
    SetArray(&entry, 1);
    return 0;
}

ParamRanges::~ParamRanges() = default;

ParamDescriptors::~ParamDescriptors() = default;

} // namespace KT
