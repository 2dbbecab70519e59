#include "Platform/MessagePortServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "Platform/MessagePortFrame.h"

namespace KT::Platform
{

namespace
{

constexpr int kListenBacklog = 64;

bool SameFile(const std::string& path, dev_t device, ino_t inode)
{
    struct stat info
    {
    };
    return ::lstat(path.c_str(), &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

} // namespace

std::unique_ptr<MessagePortServer> MessagePortServer::Create(const std::string& name, Handler handler)
{
    return Create(name, std::move(handler), Options{});
}

std::unique_ptr<MessagePortServer> MessagePortServer::Create(const std::string& name, Handler handler,
                                                             const Options& options)
{
    const std::string path = GetMessagePortPath(name);
    sockaddr_un address{};
    socklen_t length = 0;
    if (!MakeUnixAddress(path, address, length))
    {
        return nullptr;
    }
    // A name held by a live server stays with it.
    if (GetUnixMessagePortDirectory().LookUp(name) != nullptr)
    {
        return nullptr;
    }
    // Bound under a short private name and renamed over the port's path, so a
    // stale file is replaced in one step and clients never see a half-made port.
    static std::atomic<unsigned> sCounter{0};
    const std::string directory = path.substr(0, path.rfind('/') + 1);
    const std::string temporary =
        directory + ".s" + std::to_string(::getpid()) + "-" + std::to_string(sCounter.fetch_add(1));
    sockaddr_un temporaryAddress{};
    socklen_t temporaryLength = 0;
    if (!MakeUnixAddress(temporary, temporaryAddress, temporaryLength))
    {
        return nullptr;
    }
    ScopedFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener.IsValid())
    {
        return nullptr;
    }
    ::unlink(temporary.c_str());
    if (::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&temporaryAddress), temporaryLength) != 0)
    {
        return nullptr;
    }
    if (::listen(listener.Get(), kListenBacklog) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0)
    {
        ::unlink(temporary.c_str());
        return nullptr;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
    {
        ::unlink(path.c_str());
        return nullptr;
    }
    std::unique_ptr<MessagePortServer> server(
        new MessagePortServer(path, std::move(listener), std::move(handler), options));
    server->mStopRead.Reset(pipeFds[0]);
    server->mStopWrite.Reset(pipeFds[1]);
    struct stat info
    {
    };
    if (::lstat(path.c_str(), &info) == 0)
    {
        server->mDevice = info.st_dev;
        server->mInode = info.st_ino;
    }
    server->mThread = std::thread([raw = server.get()] { raw->Run(); });
    return server;
}

MessagePortServer::MessagePortServer(std::string path, ScopedFd listener, Handler handler,
                                     const Options& options)
    : mPath(std::move(path)), mListener(std::move(listener)), mHandler(std::move(handler)), mOptions(options)
{
}

MessagePortServer::~MessagePortServer()
{
    Stop();
}

void MessagePortServer::Stop()
{
    // The name goes first, so new clients find no server instead of a
    // connection that is dropped unanswered.
    if (mListener.IsValid() && SameFile(mPath, mDevice, mInode))
    {
        ::unlink(mPath.c_str());
    }
    if (mStopWrite.IsValid())
    {
        const unsigned char byte = 1;
        (void)!::write(mStopWrite.Get(), &byte, 1);
    }
    if (mThread.joinable())
    {
        mThread.join();
    }
    mListener.Reset();
}

bool MessagePortServer::IsStopping() const
{
    pollfd fd{mStopRead.Get(), POLLIN, 0};
    return ::poll(&fd, 1, 0) > 0;
}

void MessagePortServer::Run()
{
    while (PollUntil(mListener.Get(), POLLIN, NoDeadline(), mStopRead.Get()) == 0)
    {
        ScopedFd connection(::accept4(mListener.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (connection.IsValid())
        {
            Serve(connection.Get());
        }
    }
}

void MessagePortServer::Serve(int connection)
{
    const Deadline frameDeadline = DeadlineIn(mOptions.FrameTimeoutMs);
    unsigned char headerBytes[PortFrame::kRequestHeaderSize];
    PortFrame::RequestHeader header{};
    // A look-up closes without sending anything; a cut or bad frame is dropped
    // the same way.
    if (ReceiveExactly(connection, headerBytes, sizeof(headerBytes), frameDeadline, mStopRead.Get()) != 0 ||
        !PortFrame::ReadRequestHeader(headerBytes, header))
    {
        return;
    }
    std::optional<PortBytes> request;
    if ((header.Flags & PortFrame::kFlagDataPresent) != 0)
    {
        request.emplace(header.Length);
        if (ReceiveExactly(connection, request->data(), request->size(), frameDeadline, mStopRead.Get()) != 0)
        {
            return;
        }
    }
    const bool replyWanted = (header.Flags & PortFrame::kFlagReplyWanted) != 0;
    std::optional<PortBytes> reply;
    mHandler(header.MessageId, request, replyWanted ? &reply : nullptr);
    if (!replyWanted || IsStopping())
    {
        return; // a request that Stop overtook is cut off without its reply
    }
    if (reply.has_value() && reply->size() > PortFrame::kMaxDataSize)
    {
        return; // cannot be framed: the client sees an early close
    }
    const std::uint32_t length = reply.has_value() ? static_cast<std::uint32_t>(reply->size()) : 0;
    PortBytes frame(PortFrame::kReplyHeaderSize + length);
    PortFrame::WriteReplyHeader(frame.data(), {reply.has_value() ? PortFrame::kFlagDataPresent : 0u, length});
    if (length != 0)
    {
        std::copy(reply->begin(), reply->end(), frame.begin() + PortFrame::kReplyHeaderSize);
    }
    (void)SendAll(connection, frame.data(), frame.size(), DeadlineIn(mOptions.FrameTimeoutMs),
                  mStopRead.Get());
}

} // namespace KT::Platform
