// A DNS-SD browser for tests that plays the network by hand: the test adds,
// removes and resolves services (or fails their resolution) as events that the
// browser reports, in order, on the loop thread of whoever runs it, so that
// orders a real network cannot be made to produce (a removal while a
// resolution is under way, a failed resolution) happen on demand. What the
// test keeps (FakeDnsNetwork) outlives the browser and tells what the browser
// was asked and when it was freed. The loop and the engine lock can be held
// shut to keep a thread where a test wants it.
//
// Threads: the test's thread posts and waits; the browser's owner runs RunOnce
// with the engine lock held. mLock guards everything in FakeDnsNetwork; the
// engine lock is only ever taken before it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/DnsServiceBrowser.h"

namespace MdnsTest
{

class FakeDnsNetwork
{
public:
    using Client = KT::Platform::IDnsServiceBrowserClient;
    using Event = std::function<void(Client&)>;
    static constexpr std::chrono::milliseconds kBound{10000};

    static KT::Platform::DnsService Service(const std::string& name)
    {
        KT::Platform::DnsService service;
        service.interfaceIndex = 1;
        service.protocol = 0;
        service.name = name;
        service.type = "_korvane-device._tcp";
        service.domain = "local";
        return service;
    }

    // Posts an event; returns its number for WaitReported.
    std::uint64_t Post(Event event)
    {
        std::lock_guard<std::mutex> guard(mLock);
        mEvents.push_back(std::move(event));
        mChanged.notify_all();
        return ++mPostCount;
    }
    std::uint64_t Add(const std::string& name)
    {
        return Post([service = Service(name)](Client& client) { client.ServiceAdded(service); });
    }
    std::uint64_t Remove(const std::string& name)
    {
        return Post([service = Service(name)](Client& client) { client.ServiceRemoved(service); });
    }
    // Answers the latest resolution of the service named (0 when none was
    // asked for) with resolved.
    std::uint64_t Resolve(const std::string& name, const KT::Platform::DnsResolvedService& resolved)
    {
        const std::uint64_t resolveID = LatestResolve(name);
        return Post([resolveID, resolved](Client& client) { client.ServiceResolved(resolveID, resolved); });
    }
    std::uint64_t FailResolve(const std::string& name)
    {
        const std::uint64_t resolveID = LatestResolve(name);
        return Post([resolveID](Client& client) { client.ResolveFailed(resolveID); });
    }

    // Waits until the event numbered event has been reported.
    bool WaitReported(std::uint64_t event)
    {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, kBound, [&] { return mReported >= event; });
    }
    // Waits until the browser has been asked count resolutions in all.
    bool WaitResolves(std::size_t count)
    {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, kBound, [&] { return mResolves.size() >= count; });
    }
    bool WaitFreed()
    {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, kBound, [&] { return mFreed; });
    }

    std::uint64_t LatestResolve(const std::string& name)
    {
        std::lock_guard<std::mutex> guard(mLock);
        for (std::size_t i = mResolves.size(); i-- > 0;)
        {
            if (mResolves[i].second.name == name)
            {
                return mResolves[i].first;
            }
        }
        return 0;
    }
    std::size_t CountResolves()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mResolves.size();
    }
    bool IsFreed()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mFreed;
    }
    std::string BrowsedType()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mBrowsedType;
    }
    std::size_t CountPasses()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mPasses;
    }

    // While held, RunOnce (HoldLoop) or the engine lock's Lock after the first
    // passing ones (HoldLock) waits for Release; the browser says when a
    // thread has arrived there.
    void HoldLoop() { Hold(mHoldLoop); }
    void HoldLock(std::size_t passing)
    {
        std::lock_guard<std::mutex> guard(mLock);
        mLocksPassing = passing;
        mHoldLock = true;
        mArrivedAtHold = false;
    }
    bool WaitHeldThreadArrived()
    {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, kBound, [&] { return mArrivedAtHold; });
    }
    void Release()
    {
        std::lock_guard<std::mutex> guard(mLock);
        mHoldLoop = false;
        mHoldLock = false;
        mChanged.notify_all();
    }

private:
    friend class FakeDnsServiceBrowser;

    void Hold(bool& which)
    {
        std::lock_guard<std::mutex> guard(mLock);
        which = true;
        mArrivedAtHold = false;
    }

    void WaitWhileHeld(std::unique_lock<std::mutex>& guard, const bool& which)
    {
        if (which)
        {
            mArrivedAtHold = true;
            mChanged.notify_all();
            mChanged.wait(guard, [&] { return !which; });
        }
    }

    std::mutex mLock;
    std::condition_variable mChanged;
    std::deque<Event> mEvents;
    std::uint64_t mPostCount = 0;
    std::uint64_t mReported = 0;
    std::size_t mLocksPassing = 0;
    std::vector<std::pair<std::uint64_t, KT::Platform::DnsService>> mResolves;
    std::uint64_t mLastResolveID = 0;
    std::string mBrowsedType;
    std::size_t mPasses = 0;
    bool mWoken = false;
    bool mFreed = false;
    bool mHoldLoop = false;
    bool mHoldLock = false;
    bool mArrivedAtHold = false;
};

class FakeDnsServiceBrowser final : public KT::Platform::DnsServiceBrowser
{
public:
    using Client = KT::Platform::IDnsServiceBrowserClient;

    explicit FakeDnsServiceBrowser(std::shared_ptr<FakeDnsNetwork> network) : mNetwork(std::move(network)) {}
    ~FakeDnsServiceBrowser() override
    {
        std::lock_guard<std::mutex> guard(mNetwork->mLock);
        mNetwork->mFreed = true;
        mNetwork->mChanged.notify_all();
    }

    void Lock() override
    {
        {
            std::unique_lock<std::mutex> guard(mNetwork->mLock);
            if (mNetwork->mLocksPassing > 0)
            {
                --mNetwork->mLocksPassing;
            }
            else
            {
                mNetwork->WaitWhileHeld(guard, mNetwork->mHoldLock);
            }
        }
        mEngineLock.lock();
    }
    void Unlock() override { mEngineLock.unlock(); }

    bool Browse(const std::string& type, Client& client) override
    {
        std::lock_guard<std::mutex> guard(mNetwork->mLock);
        mClient = &client;
        mNetwork->mBrowsedType = type;
        return true;
    }

    std::uint64_t Resolve(const KT::Platform::DnsService& service) override
    {
        std::lock_guard<std::mutex> guard(mNetwork->mLock);
        const std::uint64_t resolveID = ++mNetwork->mLastResolveID;
        mNetwork->mResolves.emplace_back(resolveID, service);
        mNetwork->mChanged.notify_all();
        return resolveID;
    }

    // Waits (engine lock given back) for events or a wake-up, at most one
    // pass, then reports every event waiting, engine lock held.
    void RunOnce() override
    {
        mEngineLock.unlock();
        std::deque<FakeDnsNetwork::Event> events;
        {
            std::unique_lock<std::mutex> guard(mNetwork->mLock);
            ++mNetwork->mPasses;
            mNetwork->WaitWhileHeld(guard, mNetwork->mHoldLoop);
            mNetwork->mChanged.wait_for(guard, std::chrono::milliseconds(kPassMs),
                                        [&] { return !mNetwork->mEvents.empty() || mNetwork->mWoken; });
            mNetwork->mWoken = false;
            events.swap(mNetwork->mEvents);
        }
        mEngineLock.lock();
        for (FakeDnsNetwork::Event& event : events)
        {
            event(*mClient);
        }
        std::lock_guard<std::mutex> guard(mNetwork->mLock);
        mNetwork->mReported += events.size();
        mNetwork->mChanged.notify_all();
    }

    void Wake() override
    {
        std::lock_guard<std::mutex> guard(mNetwork->mLock);
        mNetwork->mWoken = true;
        mNetwork->mChanged.notify_all();
    }

    std::vector<std::string> GetInterfaces() const override { return {"lo"}; }

private:
    std::shared_ptr<FakeDnsNetwork> mNetwork;
    std::mutex mEngineLock;
    Client* mClient = nullptr;
};

} // namespace MdnsTest
