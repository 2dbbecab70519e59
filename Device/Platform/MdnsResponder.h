// MdnsResponder: an in-process mDNS engine that announces this host's name and
// IPv4 addresses on the interfaces VELQUIN_MDNS_INTERFACES allows, with its own
// event loop and engine lock (MdnsEventLoop). One thread runs the loop
// (RunOnce) holding the lock; other threads take the lock to look at the
// engine and wake the loop after a change. Freeing it withdraws the
// announcements with goodbyes; whoever frees it is its last user.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Platform/MdnsEventLoop.h"
#include "Platform/MdnsServer.h"
#include "Platform/ThreadAnnotations.h"

namespace KT::Platform
{

class CAPABILITY("mutex") MdnsResponder
{
public:
    // cacheEntries bounds the engine's record cache per interface (0: no
    // cache). Null when the engine cannot start.
    static std::unique_ptr<MdnsResponder> Create(unsigned cacheEntries);
    ~MdnsResponder();
    MdnsResponder(const MdnsResponder&) = delete;
    MdnsResponder& operator=(const MdnsResponder&) = delete;

    void Lock() ACQUIRE();
    void Unlock() RELEASE();

    // One pass of the event loop (MdnsEventLoop::RunOnce).
    void RunOnce() REQUIRES(this);
    void Wake();

    // The engine is on its way out: a collision no longer renames it.
    void BeginExit() REQUIRES(this);
    // True while the engine still probes and announces its host name.
    bool IsRegistering() const REQUIRES(this);
    std::string GetHostName() const REQUIRES(this);
    std::vector<std::string> GetInterfaces() const REQUIRES(this);

private:
    MdnsResponder() = default;

    // The loop outlives the engine made on it.
    std::unique_ptr<MdnsEventLoop> mLoop;
    std::unique_ptr<MdnsServer> mServer;
};

} // namespace KT::Platform
