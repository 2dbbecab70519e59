// MdnsServer: one in-process mDNS engine (an Avahi core server) on an
// MdnsEventLoop, set up as every engine of the library is: IPv4 only, on the
// interfaces VELQUIN_MDNS_INTERFACES names, no wide-area lookups, no
// reflector, its log routed away. A collision of its host name with another
// host's makes it take its alternative name, until its exit has begun. Owned
// by the engine object that
// made it, used only with its loop's lock held, and freed before its loop.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Platform/MdnsEventLoop.h"
#include "Platform/ThreadAnnotations.h"

struct AvahiServer;

namespace KT::Platform
{

class MdnsServer
{
public:
    struct Options
    {
        // Announce this host's name and addresses.
        bool publishAddresses = false;
        // Publish nothing at all (a browsing engine beside another engine
        // that announces the same addresses would conflict with it).
        bool disablePublishing = false;
        // The record cache's bound per interface; the engine's own default
        // when not given. 0: no cache.
        bool boundedCache = false;
        unsigned cacheEntries = 0;
    };

    // Null when the engine cannot start, or when VELQUIN_MDNS_INTERFACES
    // names no interface at all.
    static std::unique_ptr<MdnsServer> Create(MdnsEventLoop& loop, const Options& options) REQUIRES(loop);
    // Freeing the engine withdraws what it announced, with goodbyes.
    ~MdnsServer();
    MdnsServer(const MdnsServer&) = delete;
    MdnsServer& operator=(const MdnsServer&) = delete;

    AvahiServer* GetServer() const { return mServer; }
    // From now on a collision of the host name no longer starts a new
    // registration under another name: the engine is on its way out.
    void BeginExit() { mExiting = true; }
    // True while the engine still probes and announces its host name.
    bool IsRegistering() const;
    // The host name it announces (after collisions, the alternative taken).
    std::string GetHostName() const;
    // The names of the interfaces the engine uses now, each once.
    std::vector<std::string> GetInterfaces() const;

private:
    MdnsServer() = default;

    static void OnState(AvahiServer* server, int state, void* self);

    AvahiServer* mServer = nullptr;
    bool mExiting = false;
};

} // namespace KT::Platform
