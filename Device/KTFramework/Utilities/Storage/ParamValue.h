// One parameter's value beside the descriptor that names the parameter.
#pragma once

#include "KTFramework/Utilities/Storage/ParamDescriptor.h"
#include "KTFramework/Utilities/Storage/Variant.h"

namespace KT
{

class ParamValue
{
public:
    ParamValue(unsigned int paramID) : mDescriptor(paramID) {}
    ~ParamValue() = default;

    const ParamDescriptor& GetParamDescriptor() const { return mDescriptor; }
    ParamDescriptor& AccessParamDescriptor() { return mDescriptor; }
    const Variant& GetValue() const { return mValue; }
    Variant& AccessValue() { return mValue; }

    // out becomes one list entry: [value, Int32 of the parameter ID, descriptor].
    static Variant& ToArrayVariant(unsigned int paramID, const Variant& descriptor, const Variant& value,
                                   Variant& out);

private:
    // Destroyed in reverse: the value first, then the descriptor.
    ParamDescriptor mDescriptor;
    Variant mValue;
};

static_assert(sizeof(ParamValue) == 72, "a descriptor and a value");

} // namespace KT
