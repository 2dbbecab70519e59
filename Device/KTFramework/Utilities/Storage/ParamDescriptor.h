// Names one parameter of a device: a 32-bit parameter ID and a descriptor
// variant whose content the device defines and the library only carries.
// Passed to the host by reference, so its layout is fixed.
#pragma once

#include "KTFramework/Utilities/Storage/Variant.h"

namespace KT
{

class ParamDescriptor
{
public:
    ParamDescriptor(unsigned int paramID) : mParamID(paramID) {}
    ~ParamDescriptor() = default;

    unsigned int GetParamID() const { return mParamID; }
    unsigned int& AccessParamID() { return mParamID; }
    const Variant& GetDescriptor() const { return mDescriptor; }
    Variant& AccessDescriptor() { return mDescriptor; }

private:
    static void CheckLayout();

    unsigned int mParamID;
    Variant mDescriptor;
};

static_assert(sizeof(ParamDescriptor) == 40, "the host's ParamDescriptor is 40 bytes");

} // namespace KT
