// A device for the manager's tests: an LDeviceBase whose results are scripted
// and whose calls are recorded, in order, with what they carried. Connecting
// with a result of 0 or more marks it connected, disconnecting marks it
// unconnected. Any thread may call it; its own mutex guards the script and the
// record, and is not held while a hook runs.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "KTFramework/Utilities/Storage/ParamValues.h"
#include "velquin/Common/CrossPlatform/DeviceBase.h"

namespace KT::Testing
{

// An identifier of a device of the given model; a location ID other than 0
// makes it a network device's.
inline DeviceIdentifier MakeDeviceIdentifier(std::uint32_t vendorID, std::uint32_t productID,
                                             unsigned long long locationID, unsigned short index,
                                             const char* name = "")
{
    DeviceIdentifier identifier;
    unsigned char guid[16];
    VidPidToProductGuid(vendorID, productID, guid);
    identifier.SetProductGuid(guid);
    identifier.SetInstanceLocationID(locationID);
    identifier.SetInstanceIndex(index);
    identifier.SetUserDefinedName(DeviceIdentifier::String(name));
    return identifier;
}

class FakeDevice : public LDeviceBase
{
public:
    struct Call
    {
        std::string operation;
        // The parameter ID of a get or set, the message ID of a request.
        std::uint32_t id = 0;
        // The value of a set, the request of a request.
        Variant value;
    };

    static RCPtr<FakeDevice> Create(const DeviceIdentifier& identifier)
    {
        return RCPtr<FakeDevice>(new FakeDevice(identifier));
    }

    bool IsConnected(bool, std::uint32_t) override
    {
        bool connected = false;
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mCalls.push_back(Call{"IsConnected", 0, Variant()});
            connected = mConnected;
            hook = mOnIsConnected;
        }
        if (hook)
        {
            hook();
        }
        return connected;
    }

    int ConnectDevice(DeviceParamCallback callback, void* context) override
    {
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            hook = mOnConnect;
        }
        if (hook)
        {
            hook();
        }
        std::lock_guard<std::mutex> lock(mMutex);
        mCalls.push_back(Call{"ConnectDevice", 0, Variant()});
        mCallback = callback;
        mContext = context;
        if (mConnectResult >= 0)
        {
            mConnected = true;
        }
        return mConnectResult;
    }

    int DisconnectDevice() override
    {
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mCalls.push_back(Call{"DisconnectDevice", 0, Variant()});
            mConnected = false;
            hook = mOnDisconnect;
        }
        if (hook)
        {
            hook();
        }
        return 0;
    }

    int RequestParamValuesOrRanges(std::uint32_t messageID, const Variant& request) override
    {
        return Record("RequestParamValuesOrRanges", messageID, request);
    }

    int GetParamRanges(const ParamRanges& ranges, ParamValues& values) override
    {
        const int result = Record("GetParamRanges", 0, ranges);
        std::lock_guard<std::mutex> lock(mMutex);
        values.Set(mValues);
        return result;
    }

    int GetParamValues(const ParamDescriptors& descriptors, ParamValues& values) override
    {
        const int result = Record("GetParamValues", 0, descriptors);
        std::lock_guard<std::mutex> lock(mMutex);
        values.Set(mValues);
        return result;
    }

    int GetParamValue(const ParamDescriptor& descriptor, Variant& value) override
    {
        const int result = Record("GetParamValue", descriptor.GetParamID(), descriptor.GetDescriptor());
        std::lock_guard<std::mutex> lock(mMutex);
        value.Set(mValue);
        return result;
    }

    int SetParamValue(const ParamDescriptor& descriptor, const Variant& value) override
    {
        return Record("SetParamValue", descriptor.GetParamID(), value);
    }

    bool HasBeenValidated() const override
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mValidated;
    }

    // The script.
    void SetConnected(bool connected)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mConnected = connected;
    }
    void SetConnectResult(int result)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mConnectResult = result;
    }
    // Results of the gets, sets and requests, one per call in order; once
    // they are used up every call gives 0.
    void ScriptResults(std::vector<int> results)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mResults.assign(results.begin(), results.end());
    }
    void SetValue(const Variant& value)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mValue.Set(value);
    }
    void SetValues(const ParamValues& values)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mValues.Set(values);
    }
    void SetValidated(bool validated)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mValidated = validated;
    }
    // Before the device is shared: the keys are read without a lock.
    void SetSortKeys(bool flagged, std::int64_t firstKey, std::int64_t secondKey)
    {
        mSortFlag = flagged;
        mFirstSortKey = firstKey;
        mSecondSortKey = secondKey;
    }
    // Runs, with no lock of the fake held, at the start of each connect, as
    // another thread may act while a connect is under way.
    void OnConnect(std::function<void()> hook)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mOnConnect = std::move(hook);
    }
    // Runs, with no lock of the fake held, once each IsConnected has taken
    // its answer, as another thread may act between an answer and its use.
    void OnIsConnected(std::function<void()> hook)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mOnIsConnected = std::move(hook);
    }
    // Runs, with no lock of the fake held, at the end of each disconnect.
    void OnDisconnect(std::function<void()> hook)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mOnDisconnect = std::move(hook);
    }

    // The record.
    std::vector<Call> GetCalls() const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mCalls;
    }
    int CountCalls(const std::string& operation) const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        int count = 0;
        for (const Call& call : mCalls)
        {
            count += call.operation == operation ? 1 : 0;
        }
        return count;
    }
    DeviceParamCallback GetCallback() const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mCallback;
    }
    void* GetContext() const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mContext;
    }

private:
    explicit FakeDevice(const DeviceIdentifier& identifier) : LDeviceBase(identifier) {}

    int Record(const char* operation, std::uint32_t id, const Variant& value)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mCalls.push_back(Call{operation, id, value});
        if (mResults.empty())
        {
            return 0;
        }
        const int result = mResults.front();
        mResults.pop_front();
        return result;
    }

    mutable std::mutex mMutex;
    bool mConnected = false;
    int mConnectResult = 0;
    bool mValidated = true;
    std::deque<int> mResults;
    Variant mValue;
    ParamValues mValues;
    DeviceParamCallback mCallback = nullptr;
    void* mContext = nullptr;
    std::function<void()> mOnConnect;
    std::function<void()> mOnIsConnected;
    std::function<void()> mOnDisconnect;
    std::vector<Call> mCalls;
};

} // namespace KT::Testing
