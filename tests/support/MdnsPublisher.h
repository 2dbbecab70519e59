// Announces DNS-SD services for the tests as a device on the network would,
// on an mDNS engine of its own (avahi-core, used directly and written apart
// from the library's discovery code) on the loopback interface only, IPv4
// only. Each publisher has a host name of its own, so that tests running at
// once never collide; a service's address record is published explicitly
// (127.0.0.2 by default) without its reverse record, and the service carries
// exactly the TXT entries a test gives, in order. MdnsHostLookup asks the
// network for the address of a host name through another such engine that
// announces nothing.
//
// Threads: the test's thread calls every operation; each engine runs its event
// loop on a thread of its own, holding the publisher's lock except while it
// waits. Every wait is bounded (kMdnsBound).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace MdnsTest
{

constexpr std::chrono::milliseconds kMdnsBound{10000};

// The service type of the devices, without the final dot.
inline constexpr const char* kDeviceServiceType = "_korvane-device._tcp";

// A name no other publisher of this or another test process uses.
std::string UniqueName(const std::string& prefix);

// A TXT entry from its raw bytes, e.g. "device-name=Studio".
using TxtEntry = std::string;

class MdnsPublisher
{
public:
    struct Service
    {
        std::string name; // empty: a unique one
        std::string type = kDeviceServiceType;
        std::uint16_t port = 0;
        std::string address = "127.0.0.2"; // published for the service's host
        std::vector<TxtEntry> txt;
    };

    MdnsPublisher();
    ~MdnsPublisher();
    MdnsPublisher(const MdnsPublisher&) = delete;
    MdnsPublisher& operator=(const MdnsPublisher&) = delete;

    // True once the engine runs on lo.
    bool IsRunning() const { return mRunning; }
    // Announces service and waits until the announcement is established; the
    // name it was published under (empty on failure). One service at a time.
    std::string Publish(const Service& service);
    // Withdraws the service announced (goodbyes are sent at once).
    void Withdraw();
    const std::string& GetHostName() const { return mHostName; }

private:
    struct Engine;
    std::unique_ptr<Engine> mEngine;
    std::string mHostName;
    bool mRunning = false;
};

// The IPv4 address (host byte order) that the network gives for hostName
// (e.g. "name.local"), asked through a browse-only engine on lo; 0 when none
// answers within kMdnsBound.
std::uint32_t MdnsHostLookup(const std::string& hostName);

} // namespace MdnsTest
