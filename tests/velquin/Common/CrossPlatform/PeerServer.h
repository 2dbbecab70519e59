// A device's far end for every connection made to one loopback port: the
// search's reachability checks, its identify connections and the device's own
// connections, one after another or at once. Plain POSIX sockets and the raw
// frame reader; a thread accepts, a thread per client reads its hello and
// frames and answers them through the DeviceScript. Notifications go to the
// newest client that sent frames on channel 1 (the device's own connection).
// Every wait is bounded.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <list>
#include <memory>
#include <thread>

#include "support/TestPorts.h"
#include "velquin/Common/CrossPlatform/NetworkDeviceTestSupport.h"

namespace NetworkDeviceTest
{

class PeerServer : public DeviceScript
{
public:
    // Listens on address:port (an address of 127.0.0.0/8); port 0 takes one
    // free on 127.0.0.1 outside the default range.
    explicit PeerServer(std::uint16_t port = 0, std::uint32_t address = kLoopback) : mAddress(address)
    {
        if (port == 0)
        {
            mPort = TestPorts::BindOnFreePort([this](unsigned short free) { return Listen(free); });
        }
        else if (Listen(port))
        {
            mPort = port;
        }
        if (::pipe2(mWake, O_CLOEXEC | O_NONBLOCK) != 0 || mListener < 0)
        {
            return;
        }
        mAcceptor = std::thread([this] { AcceptLoop(); });
    }

    ~PeerServer() { Stop(); }
    PeerServer(const PeerServer&) = delete;
    PeerServer& operator=(const PeerServer&) = delete;

    std::uint16_t Port() const { return mPort; }

    // Closes the listener and every client: the port then refuses.
    void Stop()
    {
        {
            std::lock_guard<std::mutex> guard(mLock);
            if (mStopped)
            {
                return;
            }
            mStopped = true;
        }
        if (mWake[1] >= 0)
        {
            const char wake = 1;
            [[maybe_unused]] const ssize_t written = ::write(mWake[1], &wake, 1);
        }
        if (mAcceptor.joinable())
        {
            mAcceptor.join();
        }
        std::list<std::shared_ptr<Client>> clients;
        {
            std::lock_guard<std::mutex> guard(mLock);
            clients = mClients;
        }
        for (const std::shared_ptr<Client>& client : clients)
        {
            ::shutdown(client->socket, SHUT_RDWR);
            if (client->reader.joinable())
            {
                client->reader.join();
            }
            ::close(client->socket);
        }
        for (int fd : {mListener, mWake[0], mWake[1]})
        {
            if (fd >= 0)
            {
                ::close(fd);
            }
        }
        mListener = mWake[0] = mWake[1] = -1;
    }

    // Connections accepted, those that never sent a byte included.
    std::size_t Accepted()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mClients.size();
    }
    // The device's own connection has ended.
    bool DeviceConnectionClosed()
    {
        std::lock_guard<std::mutex> guard(mLock);
        for (const std::shared_ptr<Client>& client : mClients)
        {
            if (client->device && client->closed)
            {
                return true;
            }
        }
        return false;
    }
    // Clients that sent a hello.
    std::size_t Connections()
    {
        std::lock_guard<std::mutex> guard(mLock);
        std::size_t count = 0;
        for (const std::shared_ptr<Client>& client : mClients)
        {
            count += client->hello ? 1 : 0;
        }
        return count;
    }
    // Every frame of every client on the channel, in the order read.
    std::vector<RawFrame> FramesOn(std::uint32_t channel)
    {
        std::lock_guard<std::mutex> guard(mLock);
        std::vector<RawFrame> frames;
        for (const RawFrame& frame : mFrames)
        {
            if (frame.channel == channel)
            {
                frames.push_back(frame);
            }
        }
        return frames;
    }
    bool WaitForFramesOn(std::uint32_t channel, std::size_t count, std::chrono::milliseconds bound = kBound)
    {
        return Eventually([&] { return FramesOn(channel).size() >= count; }, bound);
    }

    // A notification to the device's connection.
    bool Notify(std::uint32_t sequenceID, const Bytes& payload, std::uint32_t previousCount = 0)
    {
        RawFrame frame = RawFrame::Plain(0, sequenceID, payload);
        frame.previousSequenceMsgCount = previousCount;
        std::shared_ptr<Client> target;
        {
            std::lock_guard<std::mutex> guard(mLock);
            for (const std::shared_ptr<Client>& client : mClients)
            {
                if (client->device && !client->closed)
                {
                    target = client;
                }
            }
        }
        return !!target && Send(*target, frame.Encode());
    }
    // Closes the device's connection (FIN), leaving the listener.
    void CloseDeviceConnection()
    {
        std::lock_guard<std::mutex> guard(mLock);
        for (const std::shared_ptr<Client>& client : mClients)
        {
            if (client->device)
            {
                ::shutdown(client->socket, SHUT_RDWR);
            }
        }
    }

private:
    struct Client
    {
        int socket = -1;
        std::thread reader;
        std::mutex sendLock;
        bool hello = false;  // mLock
        bool device = false; // mLock: it asked on channel 1
        bool closed = false; // mLock
    };

    bool Listen(std::uint16_t port)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(mAddress);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(fd, 16) != 0)
        {
            if (fd >= 0)
            {
                ::close(fd);
            }
            return false;
        }
        mListener = fd;
        return true;
    }

    void AcceptLoop()
    {
        for (;;)
        {
            pollfd entries[2] = {{mListener, POLLIN, 0}, {mWake[0], POLLIN, 0}};
            if (::poll(entries, 2, -1) < 0 && errno != EINTR)
            {
                return;
            }
            if (entries[1].revents != 0)
            {
                return;
            }
            if (entries[0].revents == 0)
            {
                continue;
            }
            const int fd = ::accept4(mListener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
            {
                continue;
            }
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            auto client = std::make_shared<Client>();
            client->socket = fd;
            std::lock_guard<std::mutex> guard(mLock);
            mClients.push_back(client);
            client->reader = std::thread([this, client] { ReadLoop(*client); });
        }
    }

    void ReadLoop(Client& client)
    {
        RawPeer::FrameReader reader(16);
        std::vector<std::uint8_t> chunk(65536);
        for (;;)
        {
            const ssize_t got = ::recv(client.socket, chunk.data(), chunk.size(), 0);
            if (got < 0 && errno == EINTR)
            {
                continue;
            }
            if (got <= 0)
            {
                break;
            }
            reader.Feed(chunk.data(), static_cast<std::size_t>(got));
            std::vector<RawFrame> frames = reader.TakeFrames();
            {
                std::lock_guard<std::mutex> guard(mLock);
                client.hello = client.hello || reader.HelloComplete();
                for (const RawFrame& frame : frames)
                {
                    client.device = client.device || frame.channel == 1;
                    mFrames.push_back(frame);
                }
            }
            for (const RawFrame& frame : frames)
            {
                for (const RawFrame& answer : Respond(frame))
                {
                    Send(client, answer.Encode());
                }
            }
        }
        std::lock_guard<std::mutex> guard(mLock);
        client.closed = true;
    }

    static bool Send(Client& client, const Bytes& bytes)
    {
        std::lock_guard<std::mutex> guard(client.sendLock);
        std::size_t sent = 0;
        while (sent < bytes.size())
        {
            const ssize_t n = ::send(client.socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
            {
                continue;
            }
            if (n <= 0)
            {
                return false;
            }
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    const std::uint32_t mAddress;
    std::uint16_t mPort = 0;
    int mListener = -1;
    int mWake[2] = {-1, -1};
    std::thread mAcceptor;
    std::mutex mLock;
    bool mStopped = false;
    std::list<std::shared_ptr<Client>> mClients;
    std::vector<RawFrame> mFrames;
};

} // namespace NetworkDeviceTest
