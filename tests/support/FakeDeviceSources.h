// Sources for a test's device manager: a scripted list of attached devices
// whose factory makes FakeDevices, and a network search and identity refresh
// that the test supplies. Counts every call. Any thread may call it; its mutex
// guards the script and the counts and is not held while the test's search or
// refresh runs.
#pragma once

#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "support/FakeDevice.h"
#include "velquin/Common/CrossPlatform/DeviceLists.h"
#include "velquin/Common/CrossPlatform/DeviceSources.h"

// Result codes of list operations, which grow or throw, are cast to void.

namespace KT::Testing
{

class FakeDeviceSources : public LDeviceSources
{
public:
    using Search =
        std::function<bool(IDeviceLists&, IDeviceLists::DeviceLocation, const NetworkSearchRequest&)>;
    using Refresh = std::function<int(const RCPtr<LDeviceBase>&, DeviceIdentifier&)>;

    static RCPtr<FakeDeviceSources> Create() { return RCPtr<FakeDeviceSources>(new FakeDeviceSources()); }

    void ListAttachedDevices(Array<DeviceIdentifier>& identifiers) override
    {
        std::lock_guard<std::mutex> lock(mMutex);
        ++mListCount;
        static_cast<void>(identifiers.SetCount(0));
        for (const DeviceIdentifier& identifier : mAttached)
        {
            static_cast<void>(identifiers.AppendItem(identifier));
        }
    }

    RCPtr<LDeviceBase> CreateLocalDevice(const DeviceIdentifier& identifier) override
    {
        RCPtr<FakeDevice> device = FakeDevice::Create(identifier);
        std::function<void(FakeDevice&)> configure;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            if (mRefuseCreation)
            {
                return RCPtr<LDeviceBase>();
            }
            mCreated.push_back(device);
            configure = mConfigure;
        }
        if (configure)
        {
            configure(*device);
        }
        return device;
    }

    bool FindNetworkDevices(IDeviceLists& lists, IDeviceLists::DeviceLocation location,
                            const NetworkSearchRequest& request) override
    {
        Search search;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            ++mSearchCount;
            mLastRequest = request;
            search = mSearch;
        }
        return search && search(lists, location, request);
    }

    int RefreshDeviceIdentifier(const RCPtr<LDeviceBase>& device, DeviceIdentifier& identifier) override
    {
        Refresh refresh;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            ++mRefreshCount;
            refresh = mRefresh;
        }
        return refresh ? refresh(device, identifier) : RESULT_NOT_A_NETWORK_DEVICE;
    }

    void ReleaseNetworkSearch() override
    {
        std::lock_guard<std::mutex> lock(mMutex);
        ++mReleaseCount;
    }

    // The script.
    void SetAttached(std::vector<DeviceIdentifier> attached)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mAttached = std::move(attached);
    }
    void RefuseCreation(bool refuse)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mRefuseCreation = refuse;
    }
    // Runs on each FakeDevice the factory makes, before the manager has it.
    void OnCreate(std::function<void(FakeDevice&)> configure)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mConfigure = std::move(configure);
    }
    void OnSearch(Search search)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mSearch = std::move(search);
    }
    void OnRefresh(Refresh refresh)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mRefresh = std::move(refresh);
    }

    // The record.
    std::vector<RCPtr<FakeDevice>> GetCreated() const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mCreated;
    }
    int GetListCount() const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mListCount;
    }
    int GetSearchCount() const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mSearchCount;
    }
    int GetRefreshCount() const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mRefreshCount;
    }
    int GetReleaseCount() const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mReleaseCount;
    }
    NetworkSearchRequest GetLastRequest() const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mLastRequest;
    }

    // A network search that finds devices: those whose IDs the list does not
    // hold yet are added; whether any was.
    static bool MergeIntoList(IDeviceLists& lists, IDeviceLists::DeviceLocation location,
                              const std::vector<RCPtr<LDeviceBase>>& devices)
    {
        return lists.AddDevices(location, devices);
    }

private:
    FakeDeviceSources() = default;

    mutable std::mutex mMutex;
    std::vector<DeviceIdentifier> mAttached;
    bool mRefuseCreation = false;
    std::function<void(FakeDevice&)> mConfigure;
    Search mSearch;
    Refresh mRefresh;
    std::vector<RCPtr<FakeDevice>> mCreated;
    int mListCount = 0;
    int mSearchCount = 0;
    int mRefreshCount = 0;
    int mReleaseCount = 0;
    NetworkSearchRequest mLastRequest{};
};

} // namespace KT::Testing
