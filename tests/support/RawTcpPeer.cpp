#include "support/RawTcpPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/TestPorts.h"

namespace RawPeer
{

namespace
{

int RemainingMs(std::chrono::steady_clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline)
{
    for (;;)
    {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, RemainingMs(deadline));
        if (ready > 0)
        {
            return true;
        }
        if (ready == 0 || errno != EINTR)
        {
            return false;
        }
    }
}

// A listener on a kernel-chosen loopback port outside the default range.
int Listen(int receiveBufferBytes, std::uint16_t& port)
{
    for (int attempt = 0; attempt < 16; ++attempt)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
        {
            return -1;
        }
        if (receiveBufferBytes > 0)
        {
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof(receiveBufferBytes));
        }
        const std::uint16_t chosen = TestPorts::BindOutsideDefaultRange(fd);
        if (chosen != 0 && ::listen(fd, 4) == 0)
        {
            port = chosen;
            return fd;
        }
        ::close(fd);
    }
    return -1;
}

} // namespace

// ---- RawTcpPeer

RawTcpPeer::RawTcpPeer() : RawTcpPeer(Options()) {}

RawTcpPeer::RawTcpPeer(const Options& options) : mOptions(options), mFrameReader(options.helloSize)
{
    mListener = Listen(options.receiveBufferBytes, mPort);
    if (::pipe2(mWake, O_CLOEXEC | O_NONBLOCK) != 0)
    {
        mWake[0] = mWake[1] = -1;
    }
}

RawTcpPeer::~RawTcpPeer()
{
    StopReader();
    for (int fd : {mSocket, mListener, mWake[0], mWake[1]})
    {
        if (fd >= 0)
        {
            ::close(fd);
        }
    }
}

bool RawTcpPeer::Accept(std::chrono::milliseconds bound)
{
    if (mListener < 0 || mSocket >= 0 || mWake[0] < 0)
    {
        return false;
    }
    if (!WaitFor(mListener, POLLIN, std::chrono::steady_clock::now() + bound))
    {
        return false;
    }
    mSocket = ::accept4(mListener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (mSocket < 0)
    {
        return false;
    }
    const int one = 1;
    ::setsockopt(mSocket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    mReader = std::thread([this] { ReaderLoop(); });
    return true;
}

void RawTcpPeer::ReaderLoop()
{
    std::vector<std::uint8_t> chunk(65536);
    for (;;)
    {
        {
            std::unique_lock<std::mutex> guard(mLock);
            mChanged.wait(guard, [this] { return mStopping || !mPaused; });
            if (mStopping)
            {
                return;
            }
        }
        pollfd entries[2] = {{mSocket, POLLIN, 0}, {mWake[0], POLLIN, 0}};
        if (::poll(entries, 2, -1) < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            break;
        }
        if (entries[1].revents != 0)
        {
            char drained[64];
            while (::read(mWake[0], drained, sizeof(drained)) > 0)
            {
            }
            continue;
        }
        const ssize_t got = ::recv(mSocket, chunk.data(), chunk.size(), 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        {
            continue;
        }
        if (got <= 0)
        {
            break;
        }
        std::vector<RawFrame> frames;
        bool echo;
        Responder responder;
        {
            std::lock_guard<std::mutex> guard(mLock);
            mFrameReader.Feed(chunk.data(), static_cast<std::size_t>(got));
            frames = mFrameReader.TakeFrames();
            echo = mEcho;
            responder = mResponder;
            if (mOptions.record)
            {
                mFrames.insert(mFrames.end(), frames.begin(), frames.end());
            }
            mChanged.notify_all();
        }
        for (const RawFrame& frame : frames)
        {
            if (responder)
            {
                for (const RawFrame& answer : responder(frame))
                {
                    Send(answer);
                }
            }
            else if (echo)
            {
                Send(frame);
            }
        }
    }
    std::lock_guard<std::mutex> guard(mLock);
    mClientClosed = true;
    mChanged.notify_all();
}

void RawTcpPeer::StopReader()
{
    {
        std::lock_guard<std::mutex> guard(mLock);
        mStopping = true;
        mChanged.notify_all();
    }
    if (mWake[1] >= 0)
    {
        const char wake = 1;
        [[maybe_unused]] const ssize_t written = ::write(mWake[1], &wake, 1);
    }
    if (mReader.joinable())
    {
        mReader.join();
    }
}

bool RawTcpPeer::WaitForHello(std::chrono::milliseconds bound)
{
    std::unique_lock<std::mutex> guard(mLock);
    return mChanged.wait_for(guard, bound, [this] { return mFrameReader.HelloComplete(); });
}

Bytes RawTcpPeer::Hello()
{
    std::lock_guard<std::mutex> guard(mLock);
    return mFrameReader.Hello();
}

bool RawTcpPeer::HelloIsClientCookie()
{
    const Bytes hello = Hello();
    return hello == Bytes(kClientCookie.begin(), kClientCookie.end());
}

bool RawTcpPeer::Send(const Bytes& bytes, std::chrono::milliseconds bound)
{
    std::lock_guard<std::mutex> guard(mSendLock);
    if (mSocket < 0)
    {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::size_t sent = 0;
    while (sent < bytes.size())
    {
        const ssize_t n = ::send(mSocket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0)
        {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(mSocket, POLLOUT, deadline))
        {
            continue;
        }
        return false;
    }
    return true;
}

bool RawTcpPeer::SendPieces(const Bytes& bytes, const std::vector<std::size_t>& cuts,
                            std::chrono::microseconds gap)
{
    std::size_t from = 0;
    for (std::size_t cut : cuts)
    {
        if (cut <= from || cut >= bytes.size())
        {
            continue;
        }
        if (!Send(Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                        bytes.begin() + static_cast<std::ptrdiff_t>(cut))))
        {
            return false;
        }
        std::this_thread::sleep_for(gap);
        from = cut;
    }
    return Send(Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end()));
}

std::vector<RawFrame> RawTcpPeer::Frames()
{
    std::lock_guard<std::mutex> guard(mLock);
    return mFrames;
}

bool RawTcpPeer::WaitForFrames(std::size_t count, std::chrono::milliseconds bound)
{
    std::unique_lock<std::mutex> guard(mLock);
    return mChanged.wait_for(guard, bound, [&] { return mFrames.size() >= count; });
}

bool RawTcpPeer::Broken()
{
    std::lock_guard<std::mutex> guard(mLock);
    return mFrameReader.Broken();
}

void RawTcpPeer::SetEcho(bool echo)
{
    std::lock_guard<std::mutex> guard(mLock);
    mEcho = echo;
}

void RawTcpPeer::SetResponder(Responder responder)
{
    std::lock_guard<std::mutex> guard(mLock);
    mResponder = std::move(responder);
}

void RawTcpPeer::StopReading()
{
    std::lock_guard<std::mutex> guard(mLock);
    mPaused = true;
    // The reader may sit in poll: wake it so that it parks on the flag.
    if (mWake[1] >= 0)
    {
        const char wake = 1;
        [[maybe_unused]] const ssize_t written = ::write(mWake[1], &wake, 1);
    }
}

void RawTcpPeer::ResumeReading()
{
    std::lock_guard<std::mutex> guard(mLock);
    mPaused = false;
    mChanged.notify_all();
}

bool RawTcpPeer::WaitForClientClose(std::chrono::milliseconds bound)
{
    std::unique_lock<std::mutex> guard(mLock);
    return mChanged.wait_for(guard, bound, [this] { return mClientClosed; });
}

void RawTcpPeer::CloseCleanly()
{
    std::lock_guard<std::mutex> guard(mSendLock);
    if (mSocket >= 0)
    {
        ::shutdown(mSocket, SHUT_WR);
    }
}

void RawTcpPeer::CloseAbruptly()
{
    StopReader();
    std::lock_guard<std::mutex> guard(mSendLock);
    if (mSocket >= 0)
    {
        const linger reset{1, 0};
        ::setsockopt(mSocket, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        ::close(mSocket);
        mSocket = -1;
    }
}

// ---- RawTcpClient

RawTcpClient::~RawTcpClient()
{
    if (mSocket >= 0)
    {
        ::close(mSocket);
    }
}

bool RawTcpClient::Connect(std::uint16_t port, const Bytes& hello)
{
    mSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (mSocket < 0)
    {
        return false;
    }
    sockaddr_in address = TestPorts::LoopbackAddress(port);
    if (::connect(mSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
    {
        return false;
    }
    const int one = 1;
    ::setsockopt(mSocket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return SendAll(hello.data(), hello.size());
}

bool RawTcpClient::SendAll(const std::uint8_t* data, std::size_t size)
{
    while (size > 0)
    {
        const ssize_t n = ::send(mSocket, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n <= 0)
        {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool RawTcpClient::ReadExactly(std::uint8_t* data, std::size_t size)
{
    while (size > 0)
    {
        const ssize_t n = ::recv(mSocket, data, size, 0);
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n <= 0)
        {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool RawTcpClient::ReadFrame(Bytes& frame)
{
    frame.resize(kHeaderSize);
    if (!ReadExactly(frame.data(), kHeaderSize) ||
        std::memcmp(frame.data(), kMessageCookie.data(), kMessageCookie.size()) != 0)
    {
        return false;
    }
    const std::uint32_t total = GetLE32(frame.data() + 16);
    if (total < kHeaderSize)
    {
        return false;
    }
    frame.resize(total);
    return ReadExactly(frame.data() + kHeaderSize, total - kHeaderSize);
}

} // namespace RawPeer
