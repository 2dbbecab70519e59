#include "support/RawUdpPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
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

// Larger than any datagram, so none is cut.
constexpr std::size_t kDatagramRoom = 65536;

bool Readable(int fd, std::chrono::milliseconds bound)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
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

// Reads one datagram; its sender's port in port. False on error.
bool ReadDatagram(int fd, Bytes& datagram, std::uint16_t* port)
{
    datagram.resize(kDatagramRoom);
    sockaddr_in sender{};
    socklen_t length = sizeof(sender);
    ssize_t got;
    do
    {
        got = ::recvfrom(fd, datagram.data(), datagram.size(), MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&sender), &length);
    } while (got < 0 && errno == EINTR);
    if (got < 0)
    {
        return false;
    }
    datagram.resize(static_cast<std::size_t>(got));
    if (port != nullptr)
    {
        *port = ntohs(sender.sin_port);
    }
    return true;
}

} // namespace

RawFrame ControlFrame(std::uint32_t kind, std::uint32_t channel, std::uint32_t sequence)
{
    RawFrame frame;
    frame.channel = kind;
    PutLE32(frame.payload, channel);
    PutLE32(frame.payload, sequence);
    return frame;
}

RawUdpPeer::RawUdpPeer()
{
    for (int attempt = 0; attempt < 16 && mSocket < 0; ++attempt)
    {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
        {
            break;
        }
        const std::uint16_t chosen = TestPorts::BindOutsideDefaultRange(fd);
        if (chosen != 0)
        {
            mSocket = fd;
            mPort = chosen;
            break;
        }
        ::close(fd);
    }
    if (::pipe2(mWake, O_CLOEXEC | O_NONBLOCK) != 0)
    {
        mWake[0] = mWake[1] = -1;
    }
}

RawUdpPeer::~RawUdpPeer()
{
    {
        std::lock_guard<std::mutex> guard(mLock);
        mStopping = true;
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
    for (int fd : {mSocket, mWake[0], mWake[1]})
    {
        if (fd >= 0)
        {
            ::close(fd);
        }
    }
}

bool RawUdpPeer::Connect(std::uint32_t address, std::uint16_t port)
{
    // Once the reader runs the socket stays as it is.
    if (mReader.joinable())
    {
        return false;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = htonl(address);
    if (::connect(mSocket, reinterpret_cast<sockaddr*>(&target), sizeof(target)) != 0)
    {
        return false;
    }
    mReader = std::thread([this] { ReaderLoop(); });
    return true;
}

bool RawUdpPeer::ConnectTo(std::uint16_t port)
{
    return mSocket >= 0 && Connect(INADDR_LOOPBACK, port);
}

bool RawUdpPeer::AnswerHello(std::chrono::milliseconds bound)
{
    return AnswerHello(Bytes(kClientCookie.begin(), kClientCookie.end()), bound);
}

bool RawUdpPeer::AnswerHello(const Bytes& answer, std::chrono::milliseconds bound)
{
    if (mSocket < 0 || mReader.joinable() || !Readable(mSocket, bound))
    {
        return false;
    }
    Bytes hello;
    sockaddr_in sender{};
    socklen_t length = sizeof(sender);
    hello.resize(kDatagramRoom);
    const ssize_t got = ::recvfrom(mSocket, hello.data(), hello.size(), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&sender), &length);
    if (got != static_cast<ssize_t>(kClientCookie.size()) ||
        std::memcmp(hello.data(), kClientCookie.data(), kClientCookie.size()) != 0)
    {
        return false;
    }
    if (::sendto(mSocket, answer.data(), answer.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sender),
                 sizeof(sender)) != static_cast<ssize_t>(answer.size()))
    {
        return false;
    }
    return Connect(ntohl(sender.sin_addr.s_addr), ntohs(sender.sin_port));
}

bool RawUdpPeer::SendHello(std::uint16_t serverPort, const Bytes& hello, std::chrono::milliseconds bound)
{
    if (mSocket < 0 || mReader.joinable() || !SendTo(serverPort, hello) || !Readable(mSocket, bound) ||
        !ReadDatagram(mSocket, mHelloAnswer, &mHelloAnswerPort))
    {
        return false;
    }
    if (mHelloAnswer != Bytes(kClientCookie.begin(), kClientCookie.end()))
    {
        return false;
    }
    return Connect(INADDR_LOOPBACK, mHelloAnswerPort);
}

bool RawUdpPeer::SendTo(std::uint16_t port, const Bytes& datagram)
{
    const sockaddr_in target = TestPorts::LoopbackAddress(port);
    return ::sendto(mSocket, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&target),
                    sizeof(target)) == static_cast<ssize_t>(datagram.size());
}

bool RawUdpPeer::Send(const Bytes& datagram)
{
    return mSocket >= 0 && ::send(mSocket, datagram.data(), datagram.size(), MSG_NOSIGNAL) ==
                               static_cast<ssize_t>(datagram.size());
}

void RawUdpPeer::ReaderLoop()
{
    for (;;)
    {
        pollfd entries[2] = {{mSocket, POLLIN, 0}, {mWake[0], POLLIN, 0}};
        if (::poll(entries, 2, -1) < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return;
        }
        if (entries[1].revents != 0)
        {
            return;
        }
        Datagram datagram;
        if (!ReadDatagram(mSocket, datagram.bytes, nullptr))
        {
            // A refused send to a peer that is gone shows here; the socket
            // stays usable.
            continue;
        }
        datagram.at = std::chrono::steady_clock::now();
        // A datagram is framed alone.
        FrameReader reader;
        reader.Feed(datagram.bytes.data(), datagram.bytes.size());
        std::vector<RawFrame> frames = reader.TakeFrames();
        if (frames.size() == 1 && !reader.Broken() && frames[0].Encode().size() == datagram.bytes.size())
        {
            datagram.isFrame = true;
            datagram.frame = frames[0];
        }
        std::lock_guard<std::mutex> guard(mLock);
        mDatagrams.push_back(std::move(datagram));
        mChanged.notify_all();
    }
}

std::vector<RawUdpPeer::Datagram> RawUdpPeer::Datagrams()
{
    std::lock_guard<std::mutex> guard(mLock);
    return mDatagrams;
}

bool RawUdpPeer::WaitFor(const Predicate& predicate, std::chrono::milliseconds bound)
{
    std::unique_lock<std::mutex> guard(mLock);
    return mChanged.wait_for(guard, bound, [&] { return predicate(mDatagrams); });
}

bool RawUdpPeer::WaitForFrames(std::uint32_t channel, std::size_t count, std::chrono::milliseconds bound)
{
    return WaitFor(
        [&](const std::vector<Datagram>& datagrams)
        {
            std::size_t found = 0;
            for (const Datagram& datagram : datagrams)
            {
                found += datagram.isFrame && datagram.frame.channel == channel ? 1 : 0;
            }
            return found >= count;
        },
        bound);
}

std::vector<RawUdpPeer::Datagram> RawUdpPeer::FramesOf(std::uint32_t channel)
{
    std::vector<Datagram> frames;
    for (Datagram& datagram : Datagrams())
    {
        if (datagram.isFrame && datagram.frame.channel == channel)
        {
            frames.push_back(std::move(datagram));
        }
    }
    return frames;
}

} // namespace RawPeer
