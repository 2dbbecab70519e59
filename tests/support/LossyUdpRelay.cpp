#include "support/LossyUdpRelay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "support/RawTcpPeer.h"
#include "support/TestPorts.h"

namespace RawPeer
{

namespace
{

constexpr std::size_t kDatagramRoom = 65536;
// How long a datagram is held back for reordering.
constexpr unsigned int kHoldMilliseconds = 2;
// Room for bursts of full packets while the relay thread is busy.
constexpr int kSocketBufferBytes = 4 * 1024 * 1024;

// A socket on 127.0.0.1:port (0: one the kernel chooses outside the default
// range), or -1.
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
        const sockaddr_in address = TestPorts::LoopbackAddress(port);
        const std::uint16_t chosen =
            port != 0
                ? (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 ? port : 0)
                : TestPorts::BindOutsideDefaultRange(fd);
        if (chosen != 0)
        {
            port = chosen;
            return fd;
        }
        ::close(fd);
    }
    return -1;
}

bool ConnectTo(int fd, std::uint16_t port)
{
    const sockaddr_in peer = TestPorts::LoopbackAddress(port);
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) == 0;
}

} // namespace

LossyUdpRelay::LossyUdpRelay(const Options& options)
    : mOptions(options), mRandom{std::mt19937(options.seed), std::mt19937(options.seed * 2654435761u + 1)}
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
    mStopping.store(true);
    Wake();
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
    mPeers[0] = peer0Port;
    mPeers[1] = peer1Port;
    if (!ConnectTo(mSockets[0], peer0Port) || !ConnectTo(mSockets[1], peer1Port))
    {
        return false;
    }
    mThread = std::thread([this] { Run(); });
    return true;
}

LossyUdpRelay::Counts LossyUdpRelay::GetCounts() const
{
    return Counts{mForwarded.load(), mDropped.load(), mDuplicated.load(), mReordered.load()};
}

bool LossyUdpRelay::SetGone(int side, bool gone)
{
    mWantGone[side].store(gone);
    Wake();
    return Eventually([&] { return IsGone(side) == gone; });
}

void LossyUdpRelay::Wake()
{
    const char wake = 1;
    [[maybe_unused]] const ssize_t written = mWake[1] >= 0 ? ::write(mWake[1], &wake, 1) : 0;
}

void LossyUdpRelay::Close(int side)
{
    mWantGone[side].store(true);
    if (mSockets[side] >= 0)
    {
        ::close(mSockets[side]);
        mSockets[side] = -1;
        mGone[side].store(true);
    }
}

void LossyUdpRelay::Forward(int toSide, const std::uint8_t* bytes, std::size_t size)
{
    // A closed side, a full buffer or a peer gone loses the datagram, as a
    // network would.
    [[maybe_unused]] const ssize_t sent =
        mSockets[toSide] >= 0 ? ::send(mSockets[toSide], bytes, size, MSG_NOSIGNAL) : -1;
    mForwarded.fetch_add(1);
}

void LossyUdpRelay::Decide(int from, const std::uint8_t* bytes, std::size_t size)
{
    std::mt19937& random = mRandom[from];
    const unsigned int roll = random() % 100;
    // Consecutive bands of the roll, one per fate.
    const unsigned int duplicateTo = mOptions.dropPercent + mOptions.duplicatePercent;
    const unsigned int reorderTo = duplicateTo + mOptions.reorderPercent;
    const unsigned int delayTo = reorderTo + mOptions.delayPercent;
    if (mOptions.refusePerMille != 0 && random() % 1000 < mOptions.refusePerMille)
    {
        Close(from);
    }
    else if (mStalled[from].load() || roll < mOptions.dropPercent)
    {
        mDropped.fetch_add(1);
    }
    else if (roll >= duplicateTo && roll < delayTo)
    {
        const bool reorder = roll < reorderTo;
        mReordered.fetch_add(reorder ? 1 : 0);
        const unsigned int milliseconds = reorder ? kHoldMilliseconds : 1 + random() % kMostDelayMilliseconds;
        mHeld.emplace(Clock::now() + std::chrono::milliseconds(milliseconds),
                      std::make_pair(1 - from, std::vector<std::uint8_t>(bytes, bytes + size)));
    }
    else
    {
        if (roll < duplicateTo)
        {
            mDuplicated.fetch_add(1);
            Forward(1 - from, bytes, size);
        }
        Forward(1 - from, bytes, size);
    }
}

void LossyUdpRelay::Run()
{
    std::vector<std::uint8_t> datagram(kDatagramRoom);
    while (!mStopping.load())
    {
        // Closes, or binds again, the ports the test asked for.
        for (int side = 0; side < 2; ++side)
        {
            if (mWantGone[side].load() && mSockets[side] >= 0)
            {
                Close(side);
            }
            else if (!mWantGone[side].load() && mSockets[side] < 0)
            {
                std::uint16_t port = mPorts[side];
                mSockets[side] = BindLoopback(port);
                mGone[side].store(mSockets[side] < 0 || !ConnectTo(mSockets[side], mPeers[side]));
            }
        }
        // Looks every millisecond for held datagrams that are due; a closed
        // side's -1 is left out.
        pollfd entries[3] = {{mSockets[0], POLLIN, 0}, {mSockets[1], POLLIN, 0}, {mWake[0], POLLIN, 0}};
        if (::poll(entries, 3, mHeld.empty() ? -1 : 1) < 0 && errno != EINTR)
        {
            return;
        }
        char drained[16];
        while (::read(mWake[0], drained, sizeof(drained)) > 0)
        {
        }
        while (!mHeld.empty() && mHeld.begin()->first <= Clock::now())
        {
            const auto& [toSide, bytes] = mHeld.begin()->second;
            Forward(toSide, bytes.data(), bytes.size());
            mHeld.erase(mHeld.begin());
        }
        for (int from = 0; from < 2; ++from)
        {
            while (mSockets[from] >= 0)
            {
                const ssize_t got = ::recv(mSockets[from], datagram.data(), datagram.size(), 0);
                if (got < 0)
                {
                    break;
                }
                mReceived[from].fetch_add(1);
                Decide(from, datagram.data(), static_cast<std::size_t>(got));
            }
        }
    }
}

} // namespace RawPeer
