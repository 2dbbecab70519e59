// A named distributor and queue in one object: its queue delivers to its own
// distributor. The centre's reference to itself (as its queue's distributor), its
// posting receiver's back-reference and its registrations' references are all
// counted as contained, so when the last outside reference goes the centre forces
// its clients out, discards its queue and is destroyed.
//
// Threads and locks: those of LNotificationDistributor and LNotificationQueue.
#pragma once

#include <atomic>

#include "KTFramework/Notification/NotificationDistributor.h"
#include "KTFramework/Notification/NotificationQueue.h"
#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/StringT.h"

namespace KT
{

class LNotificationCenterManager;

class LNotificationCenter : public LNotificationDistributor, public LNotificationQueue
{
public:
    static RCPtr<LNotificationCenter> Create(const StringT<char, unsigned short>& name);

    // Forces every client out and cuts the centre's own references. Safe to run
    // again (when clients that stayed registered leave later): what was released
    // the first time is not released again. 0 when nothing but the caller's
    // reference is left, else RESULT_FAILED.
    [[nodiscard]] int RemoveContainedReferences() override;

protected:
    explicit LNotificationCenter(const StringT<char, unsigned short>& name);
    ~LNotificationCenter() override;

private:
    friend class LNotificationCenterManager;

    StringT<char, unsigned short> mName;
    // Set, by atomic exchange, when the self-reference's contained count is removed.
    std::atomic<bool> mSelfReferenceReleased;
};

} // namespace KT
