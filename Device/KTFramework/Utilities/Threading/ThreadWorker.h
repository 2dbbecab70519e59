// KT::LThreadWorker: a reference-counted unit of work that threaders and thread
// pools run; one operation, RunWorker, called on the running thread with the
// job's parameter.
#pragma once

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Threading/DeferredName.h"

namespace KT
{

class LThreadWorker : public virtual LRefCountedObject
{
public:
    virtual int RunWorker(const RCPtr<LRefCountedObject>& parameter) = 0;
    // The worker's name as a DeferredName, for a pool that names its thread
    // after every job; false, leaving name alone, when the name is only to be
    // had from ToString.
    virtual bool GetDeferredName(DeferredName& name) const
    {
        static_cast<void>(name);
        return false;
    }
    ~LThreadWorker() override = default;
};

} // namespace KT
