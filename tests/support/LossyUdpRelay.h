// A UDP relay between two loopback peers that loses, duplicates and reorders
// datagrams, each decision drawn from a generator seeded per direction, for
// showing that the reliable channels deliver through a bad network. Plain
// POSIX sockets, independent of the library under test.
//
// Each side has its own socket and port: a peer sends to its side's port and
// receives from it what the other peer sent. A datagram held back for
// reordering goes out after the next one in its direction, or after a short
// quiet spell when none follows.
//
// Threads: the test's thread constructs, starts and destroys it; one relay
// thread of its own forwards. The counts are atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

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
        std::uint32_t seed = 1;
    };
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

private:
    void Run();

    const Options mOptions;
    int mSockets[2] = {-1, -1};
    std::uint16_t mPorts[2] = {0, 0};
    int mWake[2] = {-1, -1};
    std::thread mThread;
    std::atomic<std::uint64_t> mForwarded{0};
    std::atomic<std::uint64_t> mDropped{0};
    std::atomic<std::uint64_t> mDuplicated{0};
    std::atomic<std::uint64_t> mReordered{0};
};

} // namespace RawPeer
