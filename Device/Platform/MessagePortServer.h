// The serving end of a message port (see MessagePort.h): listens on
// "<runtime directory>/ports/<name>" and answers each connection before it
// accepts the next, so requests are handled one at a time in arrival order.
//
// Threads: one thread of its own accepts, reads the request frame, calls the
// handler and writes the reply; the handler runs on it with no lock of ours
// held. A connection whose frame does not come whole within the frame time-out,
// or whose frame is malformed, is closed without an answer; nothing else is
// affected. The owner (a unique_ptr) stops the thread by destroying the server
// or calling Stop, never from inside the handler.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "Platform/MessagePort.h"
#include "Platform/UnixSocket.h"

namespace KT::Platform
{

// How long a connection may take to deliver its whole request frame, and the
// server to hand over its reply.
inline constexpr std::uint32_t kPortServerFrameTimeoutMs = 2500;

class MessagePortServer
{
public:
    // request: nullopt when the request carried no data. reply: null for a
    // one-way request; otherwise the handler fills it, and leaves it nullopt for
    // a null reply.
    using Handler = std::function<void(std::int32_t messageId, const std::optional<PortBytes>& request,
                                       std::optional<PortBytes>* reply)>;

    struct Options
    {
        std::uint32_t FrameTimeoutMs = kPortServerFrameTimeoutMs;
    };

    // Serves name. A socket file left there by a server that is gone is
    // replaced; a name that a live server holds, a name that is not a plain file
    // name, or a path too long for a socket address gives null.
    static std::unique_ptr<MessagePortServer> Create(const std::string& name, Handler handler);
    static std::unique_ptr<MessagePortServer> Create(const std::string& name, Handler handler,
                                                     const Options& options);

    ~MessagePortServer();
    MessagePortServer(const MessagePortServer&) = delete;
    MessagePortServer& operator=(const MessagePortServer&) = delete;

    // Stops accepting, waits for the thread (a request in progress is cut off)
    // and removes the socket file when it is still this server's.
    void Stop();

    const std::string& GetPath() const noexcept { return mPath; }

    // A descriptor that becomes readable when Stop begins: a slow handler may
    // poll it. A handler that returns after Stop began sends no reply.
    int GetStopFd() const noexcept { return mStopRead.Get(); }

private:
    MessagePortServer(std::string path, ScopedFd listener, Handler handler, const Options& options);

    void Run();
    void Serve(int connection);
    bool IsStopping() const;

    const std::string mPath;
    ScopedFd mListener;
    ScopedFd mStopRead;
    ScopedFd mStopWrite;
    const Handler mHandler;
    const Options mOptions;
    dev_t mDevice = 0; // the socket file's identity, to remove only our own
    ino_t mInode = 0;
    std::thread mThread; // started by Create, joined by Stop
};

} // namespace KT::Platform
