// Walks the entries of the values a host callback receives, as a host would:
// entries that do not read as [value, ID, descriptor] are passed over.
#pragma once

#include "KTFramework/Utilities/Storage/ParamValues.h"
#include "KTFramework/Utilities/Storage/Variant.h"

namespace HostTesting
{

// Calls visit(id, value) for each entry, in order.
template <class Visit>
void ForEachValue(const KT::ParamValues& values, Visit&& visit)
{
    for (int i = 0; i < values.GetCount(); ++i)
    {
        KT::Variant value;
        unsigned int id = 0;
        KT::Variant descriptor;
        if (values.GetValue(static_cast<unsigned int>(i), value, id, descriptor) == 0)
        {
            visit(id, value);
        }
    }
}

} // namespace HostTesting
