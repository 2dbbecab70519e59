// A UDP relay between two loopback peers that plays a bad network: each
// datagram may be lost, duplicated, reordered, delayed or refused, each
// decision drawn from a generator seeded per direction; a test may also stall
// a direction or take a side's port away. For showing what the reliable
// channels do through a bad network. Plain POSIX sockets, independent of the
// library under test.
//
// Each side has its own socket and port: a peer sends to its side's port and
// receives from it what the other peer sent. A datagram held back for
// reordering goes out a moment later, after those that follow it closely; a
// delayed one up to kMostDelayMilliseconds later. A refused datagram closes
// its sender's side: that peer's next sends meet "connection refused", as when
// the peer at the far end has gone.
//
// Threads: the test's thread constructs, starts, steers and destroys it; one
// relay thread of its own forwards and alone touches the sockets and the held
// datagrams. The counts and the steering flags are atomics; a pipe wakes the
// relay thread to close or bind again a port the test asked for.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <random>
#include <thread>
#include <utility>
#include <vector>

namespace RawPeer
{

class LossyUdpRelay
{
public:
    struct Options
    {
        unsigned int dropPercent = 10;
        unsigned int duplicatePercent = 5;
        unsigned int reorderPercent = 5;
        // Held for 1 to kMostDelayMilliseconds.
        unsigned int delayPercent = 0;
        // Drawn apart from the rest, per thousand: one refusal ends a stream.
        unsigned int refusePerMille = 0;
        std::uint32_t seed = 1;
    };
    static constexpr unsigned int kMostDelayMilliseconds = 20;
    struct Counts
    {
        std::uint64_t forwarded = 0;
        std::uint64_t dropped = 0;
        std::uint64_t duplicated = 0;
        std::uint64_t reordered = 0;
    };

    explicit LossyUdpRelay(const Options& options);
    ~LossyUdpRelay();
    LossyUdpRelay(const LossyUdpRelay&) = delete;
    LossyUdpRelay& operator=(const LossyUdpRelay&) = delete;

    // The loopback port of side 0 or 1; 0 when it could not be bound.
    std::uint16_t Port(int side) const { return mPorts[side]; }
    // Relays between the peers on these loopback ports from now on.
    bool Start(std::uint16_t peer0Port, std::uint16_t peer1Port);
    // Both directions together.
    Counts GetCounts() const;

    // While stalled, what the peer of side sends is lost, as on a link gone
    // quiet.
    void Stall(int side, bool stalled) { mStalled[side].store(stalled); }
    // Whether side's port is closed, its peer's sends refused.
    bool IsGone(int side) const { return mGone[side].load(); }
    // Closes side's port, as a refused datagram does, or binds it again and
    // relays its peer's datagrams again; true once done.
    bool SetGone(int side, bool gone);
    // Datagrams that the peer of side sent and the relay read.
    std::uint64_t ReceivedFrom(int side) const { return mReceived[side].load(); }

private:
    using Clock = std::chrono::steady_clock;

    void Run();
    void Decide(int from, const std::uint8_t* bytes, std::size_t size);
    void Forward(int toSide, const std::uint8_t* bytes, std::size_t size);
    void Close(int side);
    void Wake();

    const Options mOptions;
    int mSockets[2] = {-1, -1};
    std::uint16_t mPorts[2] = {0, 0};
    std::uint16_t mPeers[2] = {0, 0};
    int mWake[2] = {-1, -1};
    std::thread mThread;
    // The relay thread's: a generator per direction, so that each direction's
    // decisions depend on the seed and its own datagrams alone; the datagrams
    // held back by when they are due, with the side they go to.
    std::mt19937 mRandom[2];
    std::multimap<Clock::time_point, std::pair<int, std::vector<std::uint8_t>>> mHeld;
    std::atomic<bool> mStopping{false};
    std::atomic<bool> mStalled[2] = {false, false};
    std::atomic<bool> mWantGone[2] = {false, false};
    std::atomic<bool> mGone[2] = {false, false};
    std::atomic<std::uint64_t> mReceived[2] = {0, 0};
    std::atomic<std::uint64_t> mForwarded{0};
    std::atomic<std::uint64_t> mDropped{0};
    std::atomic<std::uint64_t> mDuplicated{0};
    std::atomic<std::uint64_t> mReordered{0};
};

} // namespace RawPeer
