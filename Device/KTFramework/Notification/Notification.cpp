#include "KTFramework/Notification/Notification.h"

#include "KTFramework/Defs/Result.h"

namespace KT
{

LNotification::LNotification() : mID(0), mQueued(false), mRecycling(false) {}

LNotification::~LNotification() = default;

StringArrayT<char, unsigned short>& LNotification::GetNotificationIDs()
{
    static StringArrayT<char, unsigned short> sNotificationIDs;
    return sNotificationIDs;
}

// The table only grows, and copies of an entry share its text storage, so the
// address of an entry's text stays valid as the process's ID for that name.
LNotification::NotificationID LNotification::GetNotificationID(const char* name)
{
    if (name == nullptr || *name == '\0')
    {
        return 0;
    }
    AutolockT<Mutex> lock(sMutex);
    StringArrayT<char, unsigned short>& table = GetNotificationIDs();
    long index = table.FindContained(name);
    if (index < 0)
    {
        const StringT<char, unsigned short> copy(name);
        index = table.FindString(copy, true, 0);
        if (index < 0)
        {
            index = static_cast<long>(table.AppendItem(copy));
            if (index < 0)
            {
                return 0;
            }
        }
    }
    return static_cast<NotificationID>(reinterpret_cast<uintptr_t>(table[static_cast<size_t>(index)].CStr()));
}

RCPtr<LNotification> LNotification::CreateInternal(const char* name, const RCPtr<LRefCountedObject>& data)
{
    const NotificationID id = GetNotificationID(name);
    if (id == 0)
    {
        return RCPtr<LNotification>();
    }
    RCPtr<LNotification> notification(new LNotification);
    notification->mID = id;
    notification->mData = data;
    return notification;
}

RCPtr<LNotification> LNotification::Create(const char* name, const RCPtr<LRefCountedObject>& data)
{
    if (GetNotificationID(name) == 0)
    {
        return RCPtr<LNotification>();
    }
    if (!sIsNotificationReuseEnabled.load())
    {
        return CreateInternal(name, data);
    }
    RCPtr<LNotification> notification;
    AutolockT<Mutex> lock(sMutex);
    if (sAvailableNotificationsStack.IsEmpty())
    {
        return CreateInternal(name, data);
    }
    // The stack is not empty. A stacked notification is queued nowhere (its last
    // holder, a queue included, let it go), and the name has an ID, so neither
    // setter can refuse.
    static_cast<void>(sAvailableNotificationsStack.RemoveLast(notification));
    static_cast<void>(notification->SetName(name));
    static_cast<void>(notification->SetData(data));
    return notification;
}

int LNotification::SetName(const char* name)
{
    if (mQueued.load())
    {
        return RESULT_FAILED;
    }
    const NotificationID id = GetNotificationID(name);
    if (id == 0)
    {
        return RESULT_INVALID_ARGUMENT;
    }
    mID = id;
    return 0;
}

int LNotification::SetData(const RCPtr<LRefCountedObject>& data)
{
    if (mQueued.load())
    {
        return RESULT_FAILED;
    }
    mData = data;
    return 0;
}

void LNotification::NotificationIsAvailable(LNotification& notification)
{
    // The payload goes with the last outside reference, whether or not the
    // notification itself is kept.
    notification.mData.SetNull();
    if (!sIsNotificationReuseEnabled.load())
    {
        return;
    }
    AutolockT<Mutex> lock(sMutex);
    // Checked again under the lock: switching recycling off empties the stack under
    // it, and nothing may be stacked after that.
    if (sIsNotificationReuseEnabled.load())
    {
        // Grows or throws: there is no result to look at.
        static_cast<void>(sAvailableNotificationsStack.AppendItem(RCPtr<LNotification>(&notification)));
    }
}

void LNotification::SetNotificationReuseEnable(bool enable)
{
    AutolockT<Mutex> lock(sMutex);
    sIsNotificationReuseEnabled.store(enable);
    if (!enable)
    {
        // Each stacked notification loses its last reference; recycling being off,
        // it is destroyed rather than stacked again.
        static_cast<void>(sAvailableNotificationsStack.Clear()); // emptying cannot fail
    }
}

// A count of 1 means this release drops the last reference: nobody else can reach
// the notification, so handing it to the recycling stack cannot race with a user.
int LNotification::RemoveReference()
{
    if (GetReferenceCount() == 1 && !mRecycling.load())
    {
        // The count was read without ordering. Taking a reference is a full atomic
        // read-modify-write of the count, which orders this thread after the
        // releases of the other holders, who may have read the payload that the
        // recycling step drops.
        AddReference();
        if (!mRecycling.exchange(true))
        {
            NotificationIsAvailable(*this);
            mRecycling.store(false);
        }
        // Never the last reference: the caller's is still counted.
        LRefCountedObject::RemoveReference();
    }
    return LRefCountedObject::RemoveReference();
}

} // namespace KT
