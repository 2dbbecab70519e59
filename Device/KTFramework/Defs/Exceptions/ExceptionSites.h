// The framework's exception sites, in one table: for each place that raises a
// KT::Exception, the source path and line that its message names. Hosts and
// peers match on these texts, so every site keeps the path (as the build has
// always spelled it) and the line the library has always reported, wherever
// the raising statement sits today. Later layers keep a table of their own in
// their Defs folder.
#pragma once

#include "KTFramework/Defs/Exceptions/KTException.h"

namespace KT::ExceptionSites
{

// ObjectBase: the object base and its smart pointers.
inline constexpr ExceptionSite kRefCountedObjectAssign{"Device/KTFramework/ObjectBase/RefCountedObject", 21};
inline constexpr ExceptionSite kRefCountedObjectSetUnshareable{
    "Device/KTFramework/ObjectBase/RefCountedObject", 29};
inline constexpr ExceptionSite kRefCountedObjectUndo{"Device/KTFramework/ObjectBase/RefCountedObject", 156};
inline constexpr ExceptionSite kRefCountedObjectCreateCopy{"Device/KTFramework/ObjectBase/RefCountedObject",
                                                           274};
inline constexpr ExceptionSite kRCPtrUnshare{"Device/KTFramework/ObjectBase/RefCountedObject", 424};

// Storage: containers, strings and variants.
inline constexpr ExceptionSite kArrayUtilsSortRange{"Device/KTFramework/Utilities/Storage/ArrayUtils", 255};
inline constexpr ExceptionSite kConstRCPtrArrayRemove{"Device/KTFramework/Utilities/Storage/ConstRCPtrArray",
                                                      217};
inline constexpr ExceptionSite kRCPtrArrayRemove{"Device/KTFramework/Utilities/Storage/RCPtrArray", 175};
inline constexpr ExceptionSite kRCPtrQueueDequeue{"Device/KTFramework/_Build/../Utilities/Storage/RCPtrQueue",
                                                  110};
inline constexpr ExceptionSite kStringTFormat{"Device/KTFramework/Utilities/Storage/StringT", 41};
inline constexpr ExceptionSite kStringTSplitToken{"Device/KTFramework/Utilities/Storage/StringT", 71};
inline constexpr ExceptionSite kStringTSetFormatted{"Device/KTFramework/Utilities/Storage/StringT", 649};
inline constexpr ExceptionSite kStringTLock{"Device/KTFramework/Utilities/Storage/StringT", 760};
inline constexpr ExceptionSite kStringTReplace{"Device/KTFramework/Utilities/Storage/StringT", 1356};
inline constexpr ExceptionSite kVariantExGetBuffer{"Device/KTFramework/Utilities/Storage/VariantEx", 464};

// Threading.
inline constexpr ExceptionSite kEventBit{"Device/KTFramework/Utilities/Threading/Event", 15};

} // namespace KT::ExceptionSites
