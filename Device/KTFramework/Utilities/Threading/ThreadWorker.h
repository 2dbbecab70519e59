// KT::LThreadWorker: a reference-counted unit of work that threaders and thread
// pools run; one operation, RunWorker, called on the running thread with the
// job's parameter.
#pragma once

#include "KTFramework/ObjectBase/RefCountedObject.h"

namespace KT
{

class LThreadWorker : public virtual LRefCountedObject
{
public:
    virtual int RunWorker(const RCPtr<LRefCountedObject>& parameter) = 0;
    ~LThreadWorker() override = default;
};

} // namespace KT
