// Helpers of the network device tests: a device's far end on a raw TCP peer
// that answers gets by message ID, identify with a set record and keep-alives
// on channel 4; a recorder of the host's callback; identifiers on 127.0.0.1.
// Every wait is bounded.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "KTFramework/Utilities/Storage/ParamValues.h"
#include "support/DeviceMessageBytes.h"
#include "support/FakeDevice.h"
#include "support/RawTcpPeer.h"
#include "velquin/Common/CrossPlatform/DeviceNetwork.h"

namespace NetworkDeviceTest
{

using Bytes = DeviceMessageBytes::Bytes;
using RawPeer::Eventually;
using RawPeer::kBound;
using RawPeer::RawFrame;

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr std::int64_t kToken = 0x0102030405060708;

// A network device's identifier at 127.0.0.1:port.
inline KT::DeviceIdentifier NetworkIdentifier(std::uint16_t port, unsigned short index = 1,
                                              const char* name = "Desk")
{
    KT::DeviceIdentifier identifier =
        KT::Testing::MakeDeviceIdentifier(0x6B5E, 0x2C71, 0x0A0B0C0D0E0F, index, name);
    identifier.SetCurrentNetworkAddress(kLoopback);
    identifier.SetCurrentNetworkPort(port);
    return identifier;
}

// The device ID record of an identifier, word by word.
inline Bytes DeviceIDOf(const KT::DeviceIdentifier& identifier)
{
    std::vector<std::int32_t> words;
    for (std::size_t i = 0; i < KT::DeviceIdentifier::DEVICE_ID_WORDS; ++i)
    {
        KT::Variant word;
        EXPECT_EQ(0, identifier.GetArrayElement(i, word));
        words.push_back(word.GetInt32());
    }
    return DeviceMessageBytes::DeviceIDRecord(words);
}

// The identify answer [device ID, name].
inline Bytes IdentifierRecord(const KT::DeviceIdentifier& identifier, const std::string& name)
{
    return DeviceMessageBytes::Array({DeviceIDOf(identifier), DeviceMessageBytes::String(name)});
}

// One parameter value as a device answers a get.
inline Bytes OneValue(std::int32_t value, std::int32_t paramID)
{
    return DeviceMessageBytes::Values({DeviceMessageBytes::Entry(DeviceMessageBytes::Int32(value), paramID)});
}

// A notification whose one entry, parameter 100, carries n: which message it
// was.
inline Bytes Numbered(std::int32_t n)
{
    return OneValue(n, 100);
}

// What a device answers: channel-1 gets by their message ID, channel 3 with
// the identify record, channel 2 on channel 4. Unscripted gets go unanswered.
class DeviceScript
{
public:
    // Answers a get's payload: nothing, or the reply's payload.
    using Answer = std::function<std::optional<Bytes>(const Bytes& request)>;

    void Reply(std::int32_t messageID, const Bytes& reply)
    {
        std::lock_guard<std::mutex> guard(mScriptLock);
        mReplies[static_cast<std::uint32_t>(messageID)] = reply;
    }
    void Unscript(std::int32_t messageID)
    {
        std::lock_guard<std::mutex> guard(mScriptLock);
        mReplies.erase(static_cast<std::uint32_t>(messageID));
    }
    void OnGet(Answer answer)
    {
        std::lock_guard<std::mutex> guard(mScriptLock);
        mAnswer = std::move(answer);
    }
    void Identify(std::optional<Bytes> record)
    {
        std::lock_guard<std::mutex> guard(mScriptLock);
        mIdentify = std::move(record);
    }
    void AnswerKeepAlive(bool answer) { mAnswerKeepAlive.store(answer); }
    // Frames sent right behind the reply to every get of messageID.
    void Behind(std::int32_t messageID, std::vector<RawFrame> frames)
    {
        std::lock_guard<std::mutex> guard(mScriptLock);
        mBehind[static_cast<std::uint32_t>(messageID)] = std::move(frames);
    }
    // The connect handshake's two answers.
    void Accepting(bool state, std::int64_t token = kToken)
    {
        Reply(-3,
              DeviceMessageBytes::Values({DeviceMessageBytes::Entry(DeviceMessageBytes::Int64(token), -3)}));
        Reply(-4,
              DeviceMessageBytes::Values({DeviceMessageBytes::Entry(DeviceMessageBytes::Bool(state), -4)}));
    }
    // A device that connects, accepts and identifies as identifier, with name.
    void Play(const KT::DeviceIdentifier& identifier, const std::string& name)
    {
        Accepting(true);
        Identify(IdentifierRecord(identifier, name));
    }

    // The answer to a get's payload, or none.
    std::optional<Bytes> AnswerGet(const Bytes& request)
    {
        std::lock_guard<std::mutex> guard(mScriptLock);
        if (request.size() < 12 || DeviceMessageBytes::GetLE32(request, 4) != DeviceMessageBytes::kGet)
        {
            return std::nullopt;
        }
        const auto scripted = mReplies.find(DeviceMessageBytes::GetLE32(request, 8));
        if (scripted != mReplies.end())
        {
            return scripted->second;
        }
        return mAnswer ? mAnswer(request) : std::nullopt;
    }

protected:
    std::vector<RawFrame> Respond(const RawFrame& frame)
    {
        if (frame.channel == 1)
        {
            if (std::optional<Bytes> reply = AnswerGet(frame.payload))
            {
                std::vector<RawFrame> frames{RawFrame::Plain(1, mNextReply++, *reply)};
                std::lock_guard<std::mutex> guard(mScriptLock);
                const auto behind = mBehind.find(DeviceMessageBytes::GetLE32(frame.payload, 8));
                if (behind != mBehind.end())
                {
                    frames.insert(frames.end(), behind->second.begin(), behind->second.end());
                }
                return frames;
            }
        }
        std::lock_guard<std::mutex> guard(mScriptLock);
        if (frame.channel == 3 && mIdentify)
        {
            return {RawFrame::Plain(3, mNextReply++, *mIdentify)};
        }
        if (frame.channel == 2 && mAnswerKeepAlive.load())
        {
            return {RawFrame::Plain(4, mNextReply++, {})};
        }
        return {};
    }

private:
    std::mutex mScriptLock;
    std::map<std::uint32_t, Bytes> mReplies;
    std::map<std::uint32_t, std::vector<RawFrame>> mBehind;
    Answer mAnswer;
    std::optional<Bytes> mIdentify;
    std::atomic<bool> mAnswerKeepAlive{true};
    std::atomic<std::uint32_t> mNextReply{0};
};

// The far end of one connection, on a raw TCP peer that accepts one client.
class PeerDevice : public DeviceScript
{
public:
    PeerDevice()
    {
        mPeer.SetResponder([this](const RawFrame& frame) { return Respond(frame); });
    }

    RawPeer::RawTcpPeer& Raw() { return mPeer; }
    std::uint16_t Port() { return mPeer.Port(); }

    // Sends a notification frame on channel 0.
    bool Notify(std::uint32_t sequenceID, const Bytes& payload, std::uint32_t previousCount = 0)
    {
        RawFrame frame = RawFrame::Plain(0, sequenceID, payload);
        frame.previousSequenceMsgCount = previousCount;
        return mPeer.Send(frame);
    }

    std::vector<RawFrame> FramesOn(std::uint32_t channel)
    {
        std::vector<RawFrame> frames;
        for (const RawFrame& frame : mPeer.Frames())
        {
            if (frame.channel == channel)
            {
                frames.push_back(frame);
            }
        }
        return frames;
    }

private:
    RawPeer::RawTcpPeer mPeer;
};

// What the host's callback was given: per call, the entries (parameter ID,
// value). A hook, when set, runs inside the callback after the call is
// recorded.
class HostRecord
{
public:
    using Entry = std::pair<std::uint32_t, KT::Variant>;
    using Hook = std::function<void(const KT::Variant& deviceID, const std::vector<Entry>& entries)>;

    static void Callback(void* context, const KT::Variant& deviceID, const KT::ParamValues& values)
    {
        static_cast<HostRecord*>(context)->Record(deviceID, values);
    }

    void SetHook(Hook hook)
    {
        std::lock_guard<std::mutex> guard(mLock);
        mHook = std::move(hook);
    }
    std::vector<std::vector<Entry>> Calls()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mCalls;
    }
    std::size_t Count()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mCalls.size();
    }
    // True once count calls have returned.
    bool WaitFor(std::size_t count, std::chrono::milliseconds bound = kBound)
    {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, bound, [&] { return mFinished >= count; });
    }
    // The value of parameter 100 of each call, in order (Numbered messages).
    std::vector<std::int32_t> Numbers()
    {
        std::vector<std::int32_t> numbers;
        for (const std::vector<Entry>& call : Calls())
        {
            for (const Entry& entry : call)
            {
                if (entry.first == 100)
                {
                    numbers.push_back(entry.second.GetInt32());
                }
            }
        }
        return numbers;
    }
    KT::Variant LastDeviceID()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mLastDeviceID;
    }

private:
    void Record(const KT::Variant& deviceID, const KT::ParamValues& values)
    {
        std::vector<Entry> entries;
        for (int i = 0; i < values.GetCount(); ++i)
        {
            KT::Variant value;
            KT::Variant descriptor;
            unsigned int paramID = 0;
            EXPECT_EQ(0, values.GetValue(static_cast<unsigned int>(i), value, paramID, descriptor));
            entries.emplace_back(paramID, value);
        }
        Hook hook;
        {
            std::lock_guard<std::mutex> guard(mLock);
            mCalls.push_back(entries);
            mLastDeviceID = deviceID;
            hook = mHook;
        }
        if (hook)
        {
            hook(deviceID, entries);
        }
        std::lock_guard<std::mutex> guard(mLock);
        ++mFinished;
        mChanged.notify_all();
    }

    std::mutex mLock;
    std::condition_variable mChanged;
    std::vector<std::vector<Entry>> mCalls;
    KT::Variant mLastDeviceID;
    std::size_t mFinished = 0;
    Hook mHook;
};

// Connects device to the peer, which accepts while the device waits for the
// handshake's answers.
inline int ConnectThroughPeer(LDeviceNetwork& device, PeerDevice& peer, HostRecord& host)
{
    std::future<int> result =
        std::async(std::launch::async, [&] { return device.ConnectDevice(&HostRecord::Callback, &host); });
    EXPECT_TRUE(peer.Raw().Accept());
    return result.get();
}

} // namespace NetworkDeviceTest
