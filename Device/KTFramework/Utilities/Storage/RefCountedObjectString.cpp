// The object base's default text form. It lives here, beside the string class
// it builds, because the object base stands below the storage classes.
#include <typeinfo>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/StringT.h"

namespace KT
{

StringT<char, unsigned short> LRefCountedObject::ToString() const
{
    StringT<char, unsigned short> text("LRefCountedObject::ToString() not overridden. Returning TypeName: ");
    text += StringT<char, unsigned short>(typeid(*this).name());
    return text;
}

} // namespace KT
