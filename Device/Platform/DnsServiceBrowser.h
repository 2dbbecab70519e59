// DnsServiceBrowser: browses for the DNS-SD services of one type and resolves
// the ones asked for, on an event loop that its owner's thread runs. Two
// backends: "system" asks the system's mDNS daemon over D-Bus; "embedded" runs
// an mDNS engine of its own in this process that announces nothing. Either
// keeps to IPv4 and to the interfaces VELQUIN_MDNS_INTERFACES names. Tests
// give a fake of their own to whatever uses this interface.
//
// Threads: one thread runs the loop (RunOnce) with the browser's lock held; the
// browser reports to its client from there, so the client's callbacks run with
// the lock held. Other threads call Resolve only with the lock held and then
// Wake the loop. The lock is taken before any lock of the client. The owner
// frees the browser when nothing runs it any more; it frees its engine objects
// before it returns, so nothing reports to the client after that.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Platform/ThreadAnnotations.h"

namespace KT::Platform
{

// One browsed service, as the browser reported it.
struct DnsService
{
    int interfaceIndex = -1;
    int protocol = -1;
    std::string name;
    std::string type;
    std::string domain;
};

// What resolving a service found.
struct DnsResolvedService
{
    // The first address, IPv4 when ipv4 is set; in network byte order.
    bool ipv4 = false;
    std::uint32_t addressNetworkOrder = 0;
    // Host byte order.
    std::uint16_t port = 0;
    // The TXT record in its wire form: entries of a length byte and that many
    // bytes, in the order the record holds them.
    std::vector<unsigned char> txt;
};

// What the browser reports, on its loop's thread with its lock held.
class IDnsServiceBrowserClient
{
public:
    virtual void ServiceAdded(const DnsService& service) = 0;
    virtual void ServiceRemoved(const DnsService& service) = 0;
    // The first answer to Resolve(service) that returned resolveID; its
    // resolution has ended.
    virtual void ServiceResolved(std::uint64_t resolveID, const DnsResolvedService& resolved) = 0;
    virtual void ResolveFailed(std::uint64_t resolveID) = 0;

protected:
    ~IDnsServiceBrowserClient() = default;
};

class CAPABILITY("mutex") DnsServiceBrowser
{
public:
    enum class Backend
    {
        System,
        Embedded,
    };

    // The longest one pass of RunOnce waits.
    static constexpr int kPassMs = 100;

    // Null when the backend cannot be had: no system daemon answers, or no
    // engine can start (VELQUIN_MDNS_INTERFACES naming no interface included).
    static std::unique_ptr<DnsServiceBrowser> Create(Backend backend);
    virtual ~DnsServiceBrowser() = default;

    virtual void Lock() ACQUIRE() = 0;
    virtual void Unlock() RELEASE() = 0;
    // For the client's callbacks, which run with the lock held.
    void AssertHeld() const ASSERT_CAPABILITY(this) {}

    // Starts browsing for type in the default domain, reporting to client
    // until the browser is freed. False when no browse could start.
    [[nodiscard]] virtual bool Browse(const std::string& type, IDnsServiceBrowserClient& client)
        REQUIRES(this) = 0;
    // Starts resolving service for its IPv4 address; the first answer ends it.
    // Returns the number the answer will carry (never 0), or 0 when the
    // resolution could not start.
    [[nodiscard]] virtual std::uint64_t Resolve(const DnsService& service) REQUIRES(this) = 0;
    // One pass of the event loop: waits at most kPassMs, less when woken,
    // with the lock given back meanwhile, then reports what is due.
    virtual void RunOnce() REQUIRES(this) = 0;
    // Ends the current or next wait of RunOnce; any thread.
    virtual void Wake() = 0;
    // The interfaces the browser's own engine uses now (embedded), or the
    // ones browsed on when VELQUIN_MDNS_INTERFACES names some (system; empty
    // when it browses on all of the daemon's interfaces).
    virtual std::vector<std::string> GetInterfaces() const REQUIRES(this) = 0;
};

} // namespace KT::Platform
