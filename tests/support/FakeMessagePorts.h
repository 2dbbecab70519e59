// A message-port directory for tests: one port name that is present or not,
// whose requests are recorded (message ID, data, both time-outs, whether a
// reply was wanted) and answered by a function the test sets. Installed for
// the scope of the object; safe to use from several threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Command.h"
#include "Platform/MessagePort.h"

namespace PlatformTesting
{

class FakeMessagePorts final : public KT::Platform::IMessagePortDirectory
{
public:
    using Bytes = KT::Platform::PortBytes;

    struct Request
    {
        std::int32_t MessageId;
        std::optional<Bytes> Data;
        std::uint32_t SendTimeoutMs;
        std::uint32_t ReplyTimeoutMs;
        bool ReplyWanted;
    };

    // Answers one request: the status, and the reply through reply when one
    // is wanted.
    using Answer =
        std::function<KT::Platform::PortStatus(const Request& request, std::optional<Bytes>* reply)>;

    explicit FakeMessagePorts(std::string name) : mName(std::move(name))
    {
        KT::Platform::SetMessagePortDirectoryForTesting(this);
    }
    ~FakeMessagePorts() override { KT::Platform::SetMessagePortDirectoryForTesting(nullptr); }

    std::shared_ptr<KT::Platform::IRemoteMessagePort> LookUp(const std::string& name) override
    {
        std::lock_guard<std::mutex> guard(mState->Lock);
        ++mState->LookUps;
        if (name != mName || !mState->Present)
        {
            return nullptr;
        }
        return std::make_shared<Port>(mState);
    }

    void SetPresent(bool present)
    {
        std::lock_guard<std::mutex> guard(mState->Lock);
        mState->Present = present;
    }

    void SetAnswer(Answer answer)
    {
        std::lock_guard<std::mutex> guard(mState->Lock);
        mState->Reply = std::move(answer);
    }

    std::vector<Request> Requests()
    {
        std::lock_guard<std::mutex> guard(mState->Lock);
        return mState->Requests;
    }

    int LookUps()
    {
        std::lock_guard<std::mutex> guard(mState->Lock);
        return mState->LookUps;
    }

private:
    struct State
    {
        std::mutex Lock;
        bool Present = false;
        int LookUps = 0;
        Answer Reply;
        std::vector<Request> Requests;
    };

    class Port final : public KT::Platform::IRemoteMessagePort
    {
    public:
        explicit Port(std::shared_ptr<State> state) : mState(std::move(state)) {}

        KT::Platform::PortStatus SendRequest(std::int32_t messageId, const Bytes* data,
                                             std::uint32_t sendTimeoutMs, std::uint32_t replyTimeoutMs,
                                             std::optional<Bytes>* reply) override
        {
            Request request{messageId, data != nullptr ? std::optional<Bytes>(*data) : std::nullopt,
                            sendTimeoutMs, replyTimeoutMs, reply != nullptr};
            Answer answer;
            {
                std::lock_guard<std::mutex> guard(mState->Lock);
                mState->Requests.push_back(request);
                answer = mState->Reply;
            }
            std::optional<Bytes> produced;
            const KT::Platform::PortStatus status =
                answer ? answer(request, &produced) : KT::Platform::PortStatus::Success;
            if (status == KT::Platform::PortStatus::IsInvalid)
            {
                mValid = false;
            }
            if (reply != nullptr)
            {
                *reply = status == KT::Platform::PortStatus::Success ? produced : std::nullopt;
            }
            return status;
        }

        bool IsValid() const override { return mValid; }

    private:
        std::shared_ptr<State> mState;
        std::atomic<bool> mValid{true};
    };

    const std::string mName;
    std::shared_ptr<State> mState = std::make_shared<State>();
};

// Records the commands run and answers each with a status; a hook may run
// inside a command (on the caller's thread).
class FakeCommandRunner final : public KT::Platform::ICommandRunner
{
public:
    FakeCommandRunner() { KT::Platform::SetCommandRunnerForTesting(this); }
    ~FakeCommandRunner() override { KT::Platform::SetCommandRunnerForTesting(nullptr); }

    int Run(const std::string& text) override
    {
        std::function<void(const std::string&)> hook;
        int status;
        {
            std::lock_guard<std::mutex> guard(mLock);
            mCommands.push_back(text);
            hook = mHook;
            status = mStatus;
        }
        if (hook)
        {
            hook(text);
        }
        return status;
    }

    void SetStatus(int status)
    {
        std::lock_guard<std::mutex> guard(mLock);
        mStatus = status;
    }

    void SetHook(std::function<void(const std::string&)> hook)
    {
        std::lock_guard<std::mutex> guard(mLock);
        mHook = std::move(hook);
    }

    std::vector<std::string> Commands()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mCommands;
    }

private:
    std::mutex mLock;
    int mStatus = 0;
    std::function<void(const std::string&)> mHook;
    std::vector<std::string> mCommands;
};

} // namespace PlatformTesting
