// Notification clients for tests: they record what they receive in a shared log,
// can run a hook inside their handler, and count their destruction.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "KTFramework/Defs/Result.h"
#include "KTFramework/Notification/NotificationDistributor.h"
#include "KTFramework/Notification/NotificationReceiver.h"

namespace NotificationTesting
{

// Entries "<client>:<notification name>" in delivery order; safe to share between threads.
class DeliveryLog
{
public:
    void Add(const std::string& entry)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mEntries.push_back(entry);
    }
    std::vector<std::string> Entries()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mEntries;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mEntries.clear();
    }

private:
    std::mutex mMutex;
    std::vector<std::string> mEntries;
};

class LRecordingClient : public KT::LNotificationClient
{
public:
    using Hook = std::function<void(LRecordingClient& self, const KT::RCPtr<KT::LNotificationDistributor>&,
                                    const KT::ConstRCPtr<KT::LNotification>&)>;

    static KT::RCPtr<LRecordingClient> Create(const std::string& label, DeliveryLog* log,
                                              int* destroyed = nullptr)
    {
        return KT::RCPtr<LRecordingClient>(new LRecordingClient(label, log, destroyed));
    }

    void HandleNotification(const KT::RCPtr<KT::LNotificationDistributor>& distributor,
                            const KT::ConstRCPtr<KT::LNotification>& notification) override
    {
        if (mLog != nullptr)
        {
            mLog->Add(mLabel + ":" + notification->GetName());
        }
        if (mHook)
        {
            mHook(*this, distributor, notification);
        }
    }

    int ForceUnregisterNotification(const KT::RCPtr<KT::LNotificationDistributor>& distributor,
                                    const char* name) override
    {
        ++mForced;
        if (!mUnregisterWhenForced)
        {
            return KT::RESULT_FAILED;
        }
        return distributor->UnregisterNotificationClient(Self(), name);
    }

    KT::RCPtr<KT::LNotificationClient> Self() { return KT::RCPtr<KT::LNotificationClient>(this); }

    const std::string mLabel;
    Hook mHook;
    bool mUnregisterWhenForced = true;
    int mForced = 0;

private:
    LRecordingClient(const std::string& label, DeliveryLog* log, int* destroyed)
        : mLabel(label), mLog(log), mDestroyed(destroyed)
    {
    }
    ~LRecordingClient() override
    {
        if (mDestroyed != nullptr)
        {
            ++*mDestroyed;
        }
    }

    DeliveryLog* mLog;
    int* mDestroyed;
};

// A payload whose destruction can be counted.
class LPayload : public virtual KT::LRefCountedObject
{
public:
    explicit LPayload(int* destroyed) : mDestroyed(destroyed) {}
    ~LPayload() override { ++*mDestroyed; }

private:
    int* mDestroyed;
};

} // namespace NotificationTesting
