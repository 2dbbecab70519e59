#include "support/LossyUdpRelay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <random>
#include <vector>

#include "support/TestPorts.h"

namespace RawPeer
{

namespace
{

using Clock = std::chrono::steady_clock;
using Datagram = std::vector<std::uint8_t>;

constexpr std::size_t kDatagramRoom = 65536;
// A held datagram goes out after this long without a next one.
constexpr int kHoldMilliseconds = 2;
// Room for bursts of full packets while the relay thread is busy.
constexpr int kSocketBufferBytes = 4 * 1024 * 1024;
constexpr auto kRequestBound = std::chrono::seconds(10);

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

// One direction: its own generator, so each direction's decisions depend on
// the seed and its own datagrams alone.
struct LossyUdpRelay::Direction
{
    std::mt19937 random;
    std::optional<Datagram> held;
    std::vector<std::pair<Clock::time_point, Datagram>> delayed;
};

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
    mStopping.store(true);
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
    return Counts{mForwarded.load(), mDropped.load(), mDuplicated.load(),
                  mReordered.load(), mDelayed.load(), mRefused.load()};
}

bool LossyUdpRelay::Ask(int side, Request request)
{
    std::unique_lock<std::mutex> guard(mRequestLock);
    mRequests[side].store(request);
    const char wake = 1;
    [[maybe_unused]] const ssize_t written = ::write(mWake[1], &wake, 1);
    return mRequestDone.wait_for(guard, kRequestBound,
                                 [&] { return mRequests[side].load() == kNoRequest; }) &&
           mCarriedOut[side].load();
}

void LossyUdpRelay::CarryOutRequests()
{
    for (int side = 0; side < 2; ++side)
    {
        const Request request = mRequests[side].load();
        if (request == kCloseRequest)
        {
            Close(side);
        }
        else if (request == kReopenRequest && mSockets[side] < 0)
        {
            std::uint16_t port = mPorts[side];
            const int fd = BindLoopback(port);
            if (fd >= 0 && ConnectTo(fd, mPeers[side]))
            {
                mSockets[side] = fd;
                mGone[side].store(false);
            }
            else if (fd >= 0)
            {
                ::close(fd);
            }
        }
        if (request != kNoRequest)
        {
            mCarriedOut[side].store(mSockets[side] >= 0 ? request == kReopenRequest
                                                        : request == kCloseRequest);
            std::lock_guard<std::mutex> guard(mRequestLock);
            mRequests[side].store(kNoRequest);
            mRequestDone.notify_all();
        }
    }
}

void LossyUdpRelay::Close(int side)
{
    if (mSockets[side] >= 0)
    {
        ::close(mSockets[side]);
        mSockets[side] = -1;
        mGone[side].store(true);
    }
}

void LossyUdpRelay::Forward(int toSide, const std::uint8_t* bytes, std::size_t size)
{
    // A closed side or a full buffer loses the datagram, as a network would.
    if (mSockets[toSide] < 0)
    {
        mDropped.fetch_add(1);
    }
    else if (::send(mSockets[toSide], bytes, size, MSG_NOSIGNAL) < 0 && errno == ECONNREFUSED)
    {
        // Reported for an earlier datagram: that peer's port is gone.
        Close(1 - toSide);
    }
    else
    {
        mForwarded.fetch_add(1);
    }
}

void LossyUdpRelay::Decide(int from, const std::uint8_t* bytes, std::size_t size, Direction& direction)
{
    const int to = 1 - from;
    const unsigned int roll = direction.random() % 100;
    // Consecutive bands of the roll, one per fate.
    const unsigned int dropTo = mOptions.dropPercent;
    const unsigned int reorderTo = dropTo + mOptions.reorderPercent;
    const unsigned int duplicateTo = reorderTo + mOptions.duplicatePercent;
    const unsigned int delayTo = duplicateTo + mOptions.delayPercent;
    if (mOptions.refusePerMille != 0 && direction.random() % 1000 < mOptions.refusePerMille)
    {
        mRefused.fetch_add(1);
        Close(from);
        return;
    }
    if (mStalled[from].load() || roll < dropTo)
    {
        mDropped.fetch_add(1);
        return;
    }
    if (roll < reorderTo && !direction.held)
    {
        mReordered.fetch_add(1);
        direction.held.emplace(bytes, bytes + size);
        return;
    }
    if (roll >= reorderTo && roll < duplicateTo)
    {
        mDuplicated.fetch_add(1);
        Forward(to, bytes, size);
    }
    else if (roll >= duplicateTo && roll < delayTo)
    {
        mDelayed.fetch_add(1);
        const auto delay = std::chrono::milliseconds(1 + direction.random() % kMostDelayMilliseconds);
        direction.delayed.emplace_back(Clock::now() + delay, Datagram(bytes, bytes + size));
        return;
    }
    Forward(to, bytes, size);
    if (direction.held)
    {
        Forward(to, direction.held->data(), direction.held->size());
        direction.held.reset();
    }
}

void LossyUdpRelay::Run()
{
    Direction directions[2] = {{std::mt19937(mOptions.seed), {}, {}},
                               {std::mt19937(mOptions.seed * 2654435761u + 1), {}, {}}};
    Datagram datagram(kDatagramRoom);
    for (;;)
    {
        // Until the first held or delayed datagram is due; no limit without one.
        int timeout = -1;
        const auto until = [&](long long milliseconds)
        {
            const int bounded = static_cast<int>(std::max<long long>(milliseconds, 0));
            timeout = timeout < 0 ? bounded : std::min(timeout, bounded);
        };
        for (const Direction& direction : directions)
        {
            if (direction.held)
            {
                until(kHoldMilliseconds);
            }
            for (const auto& delayed : direction.delayed)
            {
                until(std::chrono::ceil<std::chrono::milliseconds>(delayed.first - Clock::now()).count());
            }
        }
        // A closed side's -1 is left out by poll.
        pollfd entries[3] = {{mSockets[0], POLLIN, 0}, {mSockets[1], POLLIN, 0}, {mWake[0], POLLIN, 0}};
        const int ready = ::poll(entries, 3, timeout);
        if (ready < 0 && errno != EINTR)
        {
            return;
        }
        if (ready > 0 && entries[2].revents != 0)
        {
            char drained[16];
            while (::read(mWake[0], drained, sizeof(drained)) > 0)
            {
            }
            if (mStopping.load())
            {
                return;
            }
            CarryOutRequests();
        }
        for (int from = 0; from < 2; ++from)
        {
            Direction& direction = directions[from];
            const auto now = Clock::now();
            for (auto it = direction.delayed.begin(); it != direction.delayed.end();)
            {
                if (it->first > now)
                {
                    ++it;
                    continue;
                }
                Forward(1 - from, it->second.data(), it->second.size());
                it = direction.delayed.erase(it);
            }
            if (ready == 0 && direction.held)
            {
                // Quiet: what was held goes out now.
                Forward(1 - from, direction.held->data(), direction.held->size());
                direction.held.reset();
            }
        }
        for (int from = 0; from < 2 && ready > 0; ++from)
        {
            if (entries[from].revents == 0)
            {
                continue;
            }
            while (mSockets[from] >= 0)
            {
                const ssize_t got = ::recv(mSockets[from], datagram.data(), datagram.size(), 0);
                if (got < 0)
                {
                    if (errno == ECONNREFUSED)
                    {
                        // Reported for a datagram forwarded to this side's peer:
                        // its port is gone.
                        Close(1 - from);
                        continue;
                    }
                    break;
                }
                mReceived[from].fetch_add(1);
                Decide(from, datagram.data(), static_cast<std::size_t>(got), directions[from]);
            }
        }
    }
}

} // namespace RawPeer
