// Message ports: named request/reply endpoints between processes of one user,
// in place of the operating system's message ports. A port named N is a Unix
// stream socket at "<runtime directory>/ports/N"; every request is one
// connection carrying one request frame and, when a reply is wanted, one reply
// frame back (see MessagePortFrame.h).
//
// Clients look a port up through the process's IMessagePortDirectory, which
// tests may replace with a fake; a remote port may be used from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace KT::Platform
{

using PortBytes = std::vector<unsigned char>;

// Outcome of one request. Every failure is distinct, but all leave the reply
// unset.
enum class PortStatus : int
{
    Success = 0,
    SendTimeout = -1,    // the request could not be handed over within the send time-out
    ReceiveTimeout = -2, // no whole reply within the reply time-out
    IsInvalid = -3,      // no server listens on the port (any more)
    TransportError = -4  // a bad or cut frame, an early close, an oversized request
};

class IRemoteMessagePort
{
public:
    virtual ~IRemoteMessagePort() = default;

    // Sends one request. request null: no data (which differs from empty
    // data). reply null: one-way, nothing is awaited; otherwise it receives the
    // reply, nullopt for a null reply. The reply time-out runs from the moment
    // the request has been handed over.
    [[nodiscard]] virtual PortStatus SendRequest(std::int32_t messageId, const PortBytes* request,
                                                 std::uint32_t sendTimeoutMs, std::uint32_t replyTimeoutMs,
                                                 std::optional<PortBytes>* reply) = 0;

    // False once a request found no server: a port does not come back to life;
    // look the name up again instead.
    virtual bool IsValid() const = 0;
};

// Where remote ports are found.
class IMessagePortDirectory
{
public:
    virtual ~IMessagePortDirectory() = default;

    // The port named name when a server listens on it now, else null.
    virtual std::shared_ptr<IRemoteMessagePort> LookUp(const std::string& name) = 0;
};

// Looks name up through the installed directory (the Unix one by default).
std::shared_ptr<IRemoteMessagePort> LookUpMessagePort(const std::string& name);

// The Unix directory that LookUpMessagePort uses unless a test installed
// another.
IMessagePortDirectory& GetUnixMessagePortDirectory();

// Installs a directory for tests (null restores the Unix one). The directory
// must outlive its use.
void SetMessagePortDirectoryForTesting(IMessagePortDirectory* directory);

// The socket path of the port named name, or empty when the name is not a
// plain file name or the runtime directory is unusable.
std::string GetMessagePortPath(const std::string& name);

} // namespace KT::Platform
