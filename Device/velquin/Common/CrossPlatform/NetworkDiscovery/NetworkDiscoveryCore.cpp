#include "velquin/Common/CrossPlatform/NetworkDiscovery/NetworkDiscoveryCore.h"

#include <chrono>
#include <thread>

#include "Platform/MdnsResponder.h"
#include "velquin/Common/CrossPlatform/NetworkDiscovery/DiscoveryTimeouts.h"

using KT::Platform::MdnsResponder;
using EngineLock = KT::AutolockT<MdnsResponder>;

namespace
{

// Whether a core's engine lives in this process.
std::atomic<bool> sEngineInUse{false};

void SleepFor(std::uint32_t microseconds)
{
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

std::atomic<LNetworkDiscoveryCore::ExitPollSleep> sExitPollSleep{&SleepFor};

} // namespace

struct LNetworkDiscoveryCore::Engine
{
    explicit Engine(std::unique_ptr<MdnsResponder> engine) : responder(std::move(engine)) {}
    // The final exit; the next core may start its engine after it.
    ~Engine()
    {
        responder.reset();
        sEngineInUse.store(false);
    }

    void Stop()
    {
        stop.store(true);
        responder->Wake();
    }

    std::unique_ptr<MdnsResponder> responder;
    std::atomic<bool> stop{false};
};

KT::RCPtr<LNetworkDiscoveryCore> LNetworkDiscoveryCore::Create(unsigned cacheEntries, bool waitForExit)
{
    return KT::RCPtr<LNetworkDiscoveryCore>(new LNetworkDiscoveryCore(cacheEntries, waitForExit));
}

LNetworkDiscoveryCore::LNetworkDiscoveryCore(unsigned cacheEntries, bool waitForExit)
    : mWaitForExit(waitForExit), mThreadEngine(new std::shared_ptr<Engine>()),
      // The stop waits CORE_STOP itself; the thread object then lets a thread
      // still running go at once.
      mThread(&LNetworkDiscoveryCore::DiscoveryCoreThreadWorker, mThreadEngine, 0)
{
    bool expected = false;
    if (!sEngineInUse.compare_exchange_strong(expected, true))
    {
        mInitFailed = true;
        return;
    }
    std::unique_ptr<MdnsResponder> responder = MdnsResponder::Create(cacheEntries);
    if (!responder)
    {
        sEngineInUse.store(false);
        mInitFailed = true;
        return;
    }
    KT::AutolockT<KT::Mutex> lock(mStopLock);
    mEngine = std::make_shared<Engine>(std::move(responder));
    *mThreadEngine = mEngine;
    mThreadStarted = mThread.Execute();
}

LNetworkDiscoveryCore::~LNetworkDiscoveryCore()
{
    StopDiscoveryCoreProcessing();
    if (!mThreadStarted)
    {
        delete mThreadEngine;
    }
}

void LNetworkDiscoveryCore::StopDiscoveryCoreProcessing()
{
    KT::AutolockT<KT::Mutex> lock(mStopLock);
    if (mExited)
    {
        return;
    }
    if (!mInitFailed)
    {
        MdnsResponder& responder = *mEngine->responder;
        {
            EngineLock engineLock(responder);
            responder.BeginExit();
        }
        responder.Wake();
        if (mWaitForExit)
        {
            // The thread goes on serving the engine during the sleeps.
            for (unsigned poll = 0; poll < kExitPolls; ++poll)
            {
                bool registering = false;
                {
                    EngineLock engineLock(responder);
                    registering = responder.IsRegistering();
                }
                if (!registering)
                {
                    break;
                }
                sExitPollSleep.load()(kExitPollMicroseconds);
            }
        }
        mEngine->Stop();
        if (mThreadStarted)
        {
            // A thread still running after the wait keeps the engine and
            // frees it when it ends.
            static_cast<void>(mThread.WaitForDeath(DiscoveryTimeouts::Get(DiscoveryTimeoutList::CORE_STOP)));
        }
    }
    mEngine.reset();
    mExited = true;
}

std::string LNetworkDiscoveryCore::GetHostName()
{
    KT::AutolockT<KT::Mutex> lock(mStopLock);
    if (!mEngine)
    {
        return std::string();
    }
    MdnsResponder& responder = *mEngine->responder;
    EngineLock engineLock(responder);
    return responder.GetHostName();
}

std::vector<std::string> LNetworkDiscoveryCore::GetInterfaces()
{
    KT::AutolockT<KT::Mutex> lock(mStopLock);
    if (!mEngine)
    {
        return std::vector<std::string>();
    }
    MdnsResponder& responder = *mEngine->responder;
    EngineLock engineLock(responder);
    return responder.GetInterfaces();
}

void* LNetworkDiscoveryCore::DiscoveryCoreThreadWorker(void* argument)
{
    if (argument == nullptr)
    {
        return nullptr;
    }
    std::shared_ptr<Engine> engine;
    {
        std::unique_ptr<std::shared_ptr<Engine>> handed(static_cast<std::shared_ptr<Engine>*>(argument));
        engine.swap(*handed);
    }
    MdnsResponder& responder = *engine->responder;
    {
        EngineLock engineLock(responder);
        while (!engine->stop.load())
        {
            responder.RunOnce();
        }
    }
    return reinterpret_cast<void*>(1);
}

LNetworkDiscoveryCore::ExitPollSleep LNetworkDiscoveryCore::ExchangeExitPollSleep(ExitPollSleep sleep)
{
    return sExitPollSleep.exchange(sleep != nullptr ? sleep : &SleepFor);
}
