#include "support/LossyUdpRelay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <random>
#include <vector>

#include "support/TestPorts.h"

namespace RawPeer
{

namespace
{

constexpr std::size_t kDatagramRoom = 65536;
// A held datagram goes out after this long without a next one.
constexpr int kHoldMilliseconds = 2;
// Room for bursts of full packets while the relay thread is busy.
constexpr int kSocketBufferBytes = 4 * 1024 * 1024;

int BindLoopback(std::uint16_t& port)
{
    for (int attempt = 0; attempt < 16; ++attempt)
    {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
        {
            return -1;
        }
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSocketBufferBytes, sizeof(kSocketBufferBytes));
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketBufferBytes, sizeof(kSocketBufferBytes));
        const std::uint16_t chosen = TestPorts::BindOutsideDefaultRange(fd);
        if (chosen != 0)
        {
            port = chosen;
            return fd;
        }
        ::close(fd);
    }
    return -1;
}

// One direction: its own generator, so each direction's decisions depend on
// the seed and its own datagrams alone.
struct Direction
{
    std::mt19937 random;
    std::optional<std::vector<std::uint8_t>> held;
};

} // namespace

LossyUdpRelay::LossyUdpRelay(const Options& options) : mOptions(options)
{
    mSockets[0] = BindLoopback(mPorts[0]);
    mSockets[1] = BindLoopback(mPorts[1]);
    if (::pipe2(mWake, O_CLOEXEC | O_NONBLOCK) != 0)
    {
        mWake[0] = mWake[1] = -1;
    }
}

LossyUdpRelay::~LossyUdpRelay()
{
    if (mWake[1] >= 0)
    {
        const char wake = 1;
        [[maybe_unused]] const ssize_t written = ::write(mWake[1], &wake, 1);
    }
    if (mThread.joinable())
    {
        mThread.join();
    }
    for (int fd : {mSockets[0], mSockets[1], mWake[0], mWake[1]})
    {
        if (fd >= 0)
        {
            ::close(fd);
        }
    }
}

bool LossyUdpRelay::Start(std::uint16_t peer0Port, std::uint16_t peer1Port)
{
    if (mSockets[0] < 0 || mSockets[1] < 0 || mWake[0] < 0 || mThread.joinable())
    {
        return false;
    }
    const std::uint16_t peers[2] = {peer0Port, peer1Port};
    for (int side = 0; side < 2; ++side)
    {
        const sockaddr_in peer = TestPorts::LoopbackAddress(peers[side]);
        if (::connect(mSockets[side], reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) != 0)
        {
            return false;
        }
    }
    mThread = std::thread([this] { Run(); });
    return true;
}

LossyUdpRelay::Counts LossyUdpRelay::GetCounts() const
{
    return Counts{mForwarded.load(), mDropped.load(), mDuplicated.load(), mReordered.load()};
}

void LossyUdpRelay::Run()
{
    Direction directions[2] = {{std::mt19937(mOptions.seed), {}},
                               {std::mt19937(mOptions.seed * 2654435761u + 1), {}}};
    std::vector<std::uint8_t> datagram(kDatagramRoom);
    const auto send = [this](int toSide, const std::vector<std::uint8_t>& bytes)
    {
        // A full buffer or a peer not yet listening loses the datagram, as a
        // network would.
        [[maybe_unused]] const ssize_t sent =
            ::send(mSockets[toSide], bytes.data(), bytes.size(), MSG_NOSIGNAL);
        mForwarded.fetch_add(1);
    };
    for (;;)
    {
        const bool holding = directions[0].held.has_value() || directions[1].held.has_value();
        pollfd entries[3] = {{mSockets[0], POLLIN, 0}, {mSockets[1], POLLIN, 0}, {mWake[0], POLLIN, 0}};
        const int ready = ::poll(entries, 3, holding ? kHoldMilliseconds : -1);
        if (ready < 0 && errno != EINTR)
        {
            return;
        }
        if (entries[2].revents != 0)
        {
            return;
        }
        if (ready == 0)
        {
            // Quiet: what was held goes out now.
            for (int from = 0; from < 2; ++from)
            {
                if (directions[from].held)
                {
                    send(1 - from, *directions[from].held);
                    directions[from].held.reset();
                }
            }
            continue;
        }
        for (int from = 0; from < 2; ++from)
        {
            if ((entries[from].revents & POLLIN) == 0)
            {
                continue;
            }
            for (;;)
            {
                const ssize_t got = ::recv(mSockets[from], datagram.data(), datagram.size(), 0);
                if (got < 0)
                {
                    break;
                }
                Direction& direction = directions[from];
                const std::vector<std::uint8_t> bytes(datagram.begin(), datagram.begin() + got);
                const unsigned int roll = direction.random() % 100;
                if (roll < mOptions.dropPercent)
                {
                    mDropped.fetch_add(1);
                    continue;
                }
                const bool reorder = roll < mOptions.dropPercent + mOptions.reorderPercent;
                if (reorder && !direction.held)
                {
                    mReordered.fetch_add(1);
                    direction.held = bytes;
                    continue;
                }
                send(1 - from, bytes);
                if (!reorder &&
                    roll < mOptions.dropPercent + mOptions.reorderPercent + mOptions.duplicatePercent)
                {
                    mDuplicated.fetch_add(1);
                    send(1 - from, bytes);
                }
                if (direction.held)
                {
                    send(1 - from, *direction.held);
                    direction.held.reset();
                }
            }
        }
    }
}

} // namespace RawPeer
