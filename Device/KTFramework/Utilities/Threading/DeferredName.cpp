#include "KTFramework/Utilities/Threading/DeferredName.h"

namespace KT
{

StringT<char, unsigned short> DeferredName::ToString() const
{
    if (mFormat == nullptr)
    {
        return StringT<char, unsigned short>();
    }
    return StringT<char, unsigned short>::Format(mFormat, mValues[0], mValues[1], mValues[2]);
}

} // namespace KT
