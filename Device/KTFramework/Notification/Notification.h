// A named notification with an optional shared payload, the process-wide table
// that interns notification names into IDs, and the optional recycling of
// released notifications. Notifications are owned through RCPtr; a notification
// queue marks the ones it holds as queued, which freezes their name and payload.
#pragma once

#include <atomic>
#include <cstdint>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/RCPtrArray.h"
#include "KTFramework/Utilities/Storage/StringArrayT.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "Platform/ThreadAnnotations.h"

namespace KT
{

class LNotificationQueue;

// Name of the idle notification that every notification queue makes for itself.
inline constexpr const char* kIdleNotificationName = "NID_IDLE";

// Fields of one notification are not locked: its creator fills it before posting,
// and afterwards only the queue changes the queued flag. sMutex guards the name
// table, the recycling stack and Create's choice between a recycled and a new
// notification.
class LNotification : public virtual LRefCountedObject
{
public:
    // The address of the first character of the interned name; 0 names nothing.
    typedef uint64_t NotificationID;

    // Null when the name is null or empty.
    static RCPtr<LNotification> Create(const char* name,
                                       const RCPtr<LRefCountedObject>& data = RCPtr<LRefCountedObject>::Null);
    // Always a newly allocated notification (null for a null or empty name).
    static RCPtr<LNotification> CreateInternal(const char* name, const RCPtr<LRefCountedObject>& data);

    // Equal texts (case-sensitive) give equal IDs; an ID passed as the name gives
    // itself back. 0 for a null or empty name.
    static NotificationID GetNotificationID(const char* name);
    static StringArrayT<char, unsigned short>& GetNotificationIDs();

    static void SetNotificationReuseEnable(bool enable);
    // The recycling step of a last release: drops the payload and, with recycling
    // on, keeps the notification on the recycling stack.
    static void NotificationIsAvailable(LNotification& notification);

    // 0; RESULT_FAILED while queued; RESULT_INVALID_ARGUMENT for a name without ID.
    [[nodiscard]] int SetName(const char* name);
    // 0; RESULT_FAILED while queued.
    [[nodiscard]] int SetData(const RCPtr<LRefCountedObject>& data);

    NotificationID GetID() const noexcept { return mID; }
    // The interned name: the ID seen as text.
    const char* GetName() const noexcept
    {
        return reinterpret_cast<const char*>(static_cast<uintptr_t>(mID));
    }
    RCPtr<LRefCountedObject> GetData() const { return mData; }
    bool IsQueued() const noexcept { return mQueued.load(); }

    int RemoveReference() override;

protected:
    LNotification();
    ~LNotification() override;

private:
    friend class LNotificationQueue;

    NotificationID mID;
    RCPtr<LRefCountedObject> mData;
    // Set by the queue that holds or delivers the notification; changed only by
    // atomic exchange so that one notification is never queued twice.
    std::atomic<bool> mQueued;
    // Set only while a last release hands the notification to the recycling stack.
    std::atomic<bool> mRecycling;

    static Mutex sMutex;
    static std::atomic<bool> sIsNotificationReuseEnabled;
    static RCPtrArray<LNotification, 1, 0> sAvailableNotificationsStack GUARDED_BY(sMutex);
};

} // namespace KT
