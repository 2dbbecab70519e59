// The system's mDNS daemon for the test of the library's system backend,
// started by the test and stopped by it: a message bus of its own (a
// dbus-daemon with a system-bus configuration that names no service
// directories, so nothing is ever started on demand, listening on a socket in
// a private folder that DBUS_SYSTEM_BUS_ADDRESS names for this process), then
// avahi-daemon on that bus, on lo only, IPv4 only, announcing nothing of its
// own. Both are this process's children, stopped by their PIDs, and the
// system stops them should this process end first.
//
// Start fails, with the reason in GetError, when the daemons cannot run here
// (not root), when another avahi-daemon already runs on this host, or when the
// daemon's client does not reach its running state within kMdnsBound.
//
// Threads: the test's thread only. Call Start before anything in the process
// has used D-Bus: the bus address is read at the first use.
#pragma once

#include <sys/types.h>

#include <string>

namespace MdnsTest
{

class SystemMdnsDaemon
{
public:
    SystemMdnsDaemon() = default;
    ~SystemMdnsDaemon();
    SystemMdnsDaemon(const SystemMdnsDaemon&) = delete;
    SystemMdnsDaemon& operator=(const SystemMdnsDaemon&) = delete;

    bool Start();
    const std::string& GetError() const { return mError; }
    // Whether the failure is that this process may not run the daemons
    // (not root), rather than a fault.
    bool IsUnavailable() const { return mUnavailable; }

private:
    bool StartBus();
    bool StartMdnsDaemon();
    bool WaitUntilClientRuns();
    std::string ReadLog() const;

    std::string mFolder;
    std::string mError;
    bool mUnavailable = false;
    pid_t mBusPid = -1;
    pid_t mMdnsPid = -1;
};

} // namespace MdnsTest
