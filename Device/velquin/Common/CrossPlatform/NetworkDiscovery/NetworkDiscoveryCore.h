// LNetworkDiscoveryCore: runs an mDNS engine in this process that announces
// the host's name and IPv4 addresses (KT::Platform::MdnsResponder, on the
// interfaces VELQUIN_MDNS_INTERFACES allows) on a thread of its own, and shuts
// it down. A self-contained class: the discovery client does not use it and
// nothing in the library makes one. Held by RCPtr.
//
// The engine is one per process: while one core's engine lives, another core
// fails its init and starts neither an engine nor a thread.
//
// Shutting down maps the engine's exit onto three steps: the exit starts
// (marked under the engine lock, after which a host-name collision no longer
// renames the engine), it is done once the engine no longer registers its
// host name, and the final exit frees the engine, which withdraws its records
// with goodbyes.
//
// Threads: the core thread runs the engine's event loop holding the engine
// lock except while it waits (at most 100 ms a pass). Host threads create and
// stop the core; mStopLock serialises the stops and guards the engine pointer
// and the exited flag. The engine and the thread's stop flag live in an object
// the core and its thread share: a thread that outlives the stop's wait
// (CORE_STOP, 60000 ms) keeps the engine and frees it when it ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "KTFramework/Utilities/Threading/Thread.h"
#include "Platform/ThreadAnnotations.h"

class LNetworkDiscoveryCore : public virtual KT::LRefCountedObject
{
public:
    // Stopping with wait for exit polls the engine at most this often, this
    // far apart: 5 s at most.
    static constexpr unsigned kExitPolls = 100;
    static constexpr std::uint32_t kExitPollMicroseconds = 50000;

    // An engine whose record cache holds at most cacheEntries entries per
    // interface (0: none), running on the core's thread. Init fails (the core
    // then runs nothing) when another core's engine lives or the engine cannot
    // start.
    static KT::RCPtr<LNetworkDiscoveryCore> Create(unsigned cacheEntries, bool waitForExit);

    // Shuts the engine down: starts its exit, with wait for exit waits for it
    // to be done, stops the thread and frees the engine. Later calls do
    // nothing.
    void StopDiscoveryCoreProcessing();

    bool HasInitFailed() const { return mInitFailed; }
    // The host name the engine announces, empty once it has exited or when
    // init failed; and the interfaces it uses.
    std::string GetHostName();
    std::vector<std::string> GetInterfaces();

    // The thread routine; argument is the engine the thread shares. 0 for a
    // null argument, else 1.
    static void* DiscoveryCoreThreadWorker(void* argument);

    // Test seam: how the exit's polls wait; null restores the real sleep.
    using ExitPollSleep = void (*)(std::uint32_t microseconds);
    static ExitPollSleep ExchangeExitPollSleep(ExitPollSleep sleep);

    ~LNetworkDiscoveryCore() override;

private:
    struct Engine;

    LNetworkDiscoveryCore(unsigned cacheEntries, bool waitForExit);

    KT::Mutex mStopLock;
    std::shared_ptr<Engine> mEngine GUARDED_BY(mStopLock);
    bool mExited GUARDED_BY(mStopLock) = false;
    bool mInitFailed = false;
    const bool mWaitForExit;
    // The thread's own reference to the engine until the thread takes it
    // over; freed here when the thread never starts.
    std::shared_ptr<Engine>* mThreadEngine;
    bool mThreadStarted = false;
    KT::Thread mThread;
};
