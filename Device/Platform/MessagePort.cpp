#include "Platform/MessagePort.h"

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>

#include "Platform/MessagePortFrame.h"
#include "Platform/RuntimeDirectory.h"
#include "Platform/UnixSocket.h"

namespace KT::Platform
{

namespace
{

// How long a connect that finds the server's backlog full sleeps before it
// tries again; the send time-out bounds the whole.
constexpr int kBusyRetryMs = 1;

enum class ConnectResult
{
    Connected,
    Busy,    // the server's backlog is full
    NoServer // nothing listens there (any more)
};

ConnectResult TryConnect(int fd, const sockaddr_un& address, socklen_t length)
{
    for (;;)
    {
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0)
        {
            return ConnectResult::Connected;
        }
        if (errno == EINTR)
        {
            continue;
        }
        return errno == EAGAIN ? ConnectResult::Busy : ConnectResult::NoServer;
    }
}

ScopedFd NewStreamSocket()
{
    return ScopedFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
}

// What one bounded send or receive of a request means for the caller: a
// passed deadline is the given time-out, any other failure a transport error.
PortStatus StatusOf(int error, PortStatus timedOut)
{
    if (error == 0)
    {
        return PortStatus::Success;
    }
    return error == ETIMEDOUT ? timedOut : PortStatus::TransportError;
}

class UnixRemotePort final : public IRemoteMessagePort
{
public:
    UnixRemotePort(const sockaddr_un& address, socklen_t length) : mAddress(address), mLength(length) {}

    PortStatus SendRequest(std::int32_t messageId, const PortBytes* request, std::uint32_t sendTimeoutMs,
                           std::uint32_t replyTimeoutMs, std::optional<PortBytes>* reply) override;

    bool IsValid() const override { return mValid.load(); }

private:
    PortStatus Connect(ScopedFd& fd, Deadline deadline);

    const sockaddr_un mAddress;
    const socklen_t mLength;
    std::atomic<bool> mValid{true};
};

PortStatus UnixRemotePort::Connect(ScopedFd& fd, Deadline deadline)
{
    for (;;)
    {
        fd = NewStreamSocket();
        if (!fd.IsValid())
        {
            return PortStatus::TransportError;
        }
        switch (TryConnect(fd.Get(), mAddress, mLength))
        {
        case ConnectResult::Connected:
            return PortStatus::Success;
        case ConnectResult::NoServer:
            mValid.store(false);
            return PortStatus::IsInvalid;
        case ConnectResult::Busy:
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
        {
            return PortStatus::SendTimeout;
        }
        ::poll(nullptr, 0, kBusyRetryMs);
    }
}

PortStatus UnixRemotePort::SendRequest(std::int32_t messageId, const PortBytes* request,
                                       std::uint32_t sendTimeoutMs, std::uint32_t replyTimeoutMs,
                                       std::optional<PortBytes>* reply)
{
    if (reply != nullptr)
    {
        reply->reset();
    }
    if (!mValid.load())
    {
        return PortStatus::IsInvalid;
    }
    if (request != nullptr && request->size() > PortFrame::kMaxDataSize)
    {
        return PortStatus::TransportError;
    }
    const Deadline sendDeadline = DeadlineIn(sendTimeoutMs);
    ScopedFd fd;
    const PortStatus connected = Connect(fd, sendDeadline);
    if (connected != PortStatus::Success)
    {
        return connected;
    }

    const std::uint32_t length = request != nullptr ? static_cast<std::uint32_t>(request->size()) : 0;
    PortBytes frame(PortFrame::kRequestHeaderSize + length);
    PortFrame::WriteRequestHeader(frame.data(), {messageId,
                                                 (request != nullptr ? PortFrame::kFlagDataPresent : 0u) |
                                                     (reply != nullptr ? PortFrame::kFlagReplyWanted : 0u),
                                                 length});
    if (length != 0)
    {
        std::copy(request->begin(), request->end(), frame.begin() + PortFrame::kRequestHeaderSize);
    }
    const PortStatus sent =
        StatusOf(SendAll(fd.Get(), frame.data(), frame.size(), sendDeadline), PortStatus::SendTimeout);
    if (sent != PortStatus::Success)
    {
        return sent;
    }
    if (reply == nullptr)
    {
        return PortStatus::Success;
    }

    const Deadline replyDeadline = DeadlineIn(replyTimeoutMs);
    unsigned char headerBytes[PortFrame::kReplyHeaderSize];
    PortFrame::ReplyHeader header{};
    const PortStatus headerRead =
        StatusOf(ReceiveExactly(fd.Get(), headerBytes, sizeof(headerBytes), replyDeadline),
                 PortStatus::ReceiveTimeout);
    if (headerRead != PortStatus::Success)
    {
        return headerRead;
    }
    if (!PortFrame::ReadReplyHeader(headerBytes, header))
    {
        return PortStatus::TransportError;
    }
    PortBytes data(header.Length);
    const PortStatus dataRead = StatusOf(ReceiveExactly(fd.Get(), data.data(), data.size(), replyDeadline),
                                         PortStatus::ReceiveTimeout);
    if (dataRead != PortStatus::Success)
    {
        return dataRead;
    }
    if ((header.Flags & PortFrame::kFlagDataPresent) != 0)
    {
        reply->emplace(std::move(data));
    }
    return PortStatus::Success;
}

class UnixMessagePortDirectory final : public IMessagePortDirectory
{
public:
    std::shared_ptr<IRemoteMessagePort> LookUp(const std::string& name) override
    {
        sockaddr_un address{};
        socklen_t length = 0;
        if (!MakeUnixAddress(GetMessagePortPath(name), address, length))
        {
            return nullptr;
        }
        // A connection that succeeds, closed at once; a full backlog also
        // means that a server listens.
        ScopedFd fd = NewStreamSocket();
        if (!fd.IsValid() || TryConnect(fd.Get(), address, length) == ConnectResult::NoServer)
        {
            return nullptr;
        }
        return std::make_shared<UnixRemotePort>(address, length);
    }
};

std::atomic<IMessagePortDirectory*> sTestDirectory{nullptr};

} // namespace

std::string GetMessagePortPath(const std::string& name)
{
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos)
    {
        return std::string();
    }
    const std::string ports = GetRuntimeSubdirectory("ports");
    return ports.empty() ? std::string() : ports + name;
}

IMessagePortDirectory& GetUnixMessagePortDirectory()
{
    // Never destroyed: requests may still be sent while the process exits.
    static UnixMessagePortDirectory* directory = new UnixMessagePortDirectory;
    return *directory;
}

std::shared_ptr<IRemoteMessagePort> LookUpMessagePort(const std::string& name)
{
    IMessagePortDirectory* directory = sTestDirectory.load();
    return directory != nullptr ? directory->LookUp(name) : GetUnixMessagePortDirectory().LookUp(name);
}

void SetMessagePortDirectoryForTesting(IMessagePortDirectory* directory)
{
    sTestDirectory.store(directory);
}

} // namespace KT::Platform
