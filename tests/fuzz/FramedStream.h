// A received byte stream framed by NetworkHeaderSearch as its caller's loop
// drives it (see NetworkHeaderSearch.h), for the fuzz targets of the header
// search and of the connection's receiver. Checks on the way that every step is
// one a receiver can carry out and that the loop makes progress.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "velquin/Common/CrossPlatform/Network/NetworkHeaderSearch.h"

namespace FuzzFraming
{

using Bytes = std::vector<unsigned char>;
using Wire = NetworkWireFormat;

struct Message
{
    Wire::MessageHeader header;
    Bytes payload;

    bool operator==(const Message& other) const
    {
        Bytes mine(Wire::kHeaderSize);
        Bytes theirs(Wire::kHeaderSize);
        header.Write(mine.data());
        other.header.Write(theirs.data());
        return mine == theirs && payload == other.payload;
    }
};

// How the stream arrives: all at once, exactly as much as each step asks for,
// or in reads of varying size drawn from seed.
enum class Reads
{
    AllAtOnce,
    AsAsked,
    Varying
};

struct Framed
{
    std::vector<Message> messages;
    // Where the search stands at the end of the stream: inside a payload that
    // needs more bytes, and the bytes it holds.
    bool inPayload = false;
    std::size_t payloadStillNeeded = 0;
    Bytes held;
};

inline Framed Frame(const unsigned char* stream, std::size_t size, Reads reads, unsigned int seed)
{
    NetworkHeaderSearch search;
    Framed framed;
    Bytes& held = framed.held;
    std::size_t delivered = 0;
    auto deliver = [&](std::size_t count)
    {
        const std::size_t n = count < size - delivered ? count : size - delivered;
        held.insert(held.end(), stream + delivered, stream + delivered + n);
        delivered += n;
    };
    if (reads == Reads::AllAtOnce)
    {
        deliver(size);
    }

    // Each step removes held bytes, takes in new ones, or ends a message; none
    // can repeat without one of those more than a few times.
    const std::size_t stepLimit = 8 * (size + 16);
    for (std::size_t steps = 0;; ++steps)
    {
        FUZZ_CHECK(steps < stepLimit);
        const NetworkHeaderSearch::Outcome outcome = search.Advance(held.data(), held.size());
        switch (outcome.step)
        {
        case NetworkHeaderSearch::kDrop:
            FUZZ_CHECK(!framed.inPayload);
            FUZZ_CHECK(outcome.count > 0 && outcome.count <= held.size());
            held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(outcome.count));
            break;
        case NetworkHeaderSearch::kNeedMore:
            FUZZ_CHECK(outcome.count > 0);
            if (delivered == size)
            {
                framed.payloadStillNeeded = framed.inPayload ? outcome.count : 0;
                return framed;
            }
            if (reads == Reads::Varying)
            {
                seed = seed * 1103515245u + 12345u;
                deliver(outcome.count + (seed >> 16) % 97);
            }
            else
            {
                deliver(outcome.count);
            }
            break;
        case NetworkHeaderSearch::kHeaderAccepted:
        {
            FUZZ_CHECK(!framed.inPayload);
            FUZZ_CHECK(held.size() >= Wire::kHeaderSize + outcome.count);
            FUZZ_CHECK(std::memcmp(held.data(), Wire::MESSAGE_COOKIE.mBytes,
                                   sizeof(Wire::MESSAGE_COOKIE.mBytes)) == 0);
            FUZZ_CHECK(NetworkHeaderSearch::IsAcceptable(held.data()));
            const Wire::MessageHeader& header = search.GetHeader();
            FUZZ_CHECK(header.headerSize == Wire::kHeaderSize + outcome.count);
            FUZZ_CHECK(search.GetPayloadSize() == header.totalSize - header.headerSize);
            FUZZ_CHECK(search.GetPayloadSize() <= Wire::kMaxPayloadSize);
            unsigned char written[Wire::kHeaderSize];
            header.Write(written);
            FUZZ_CHECK(std::memcmp(written, held.data(), Wire::kHeaderSize) == 0);
            const auto extra = held.begin() + Wire::kHeaderSize;
            held.erase(extra, extra + static_cast<std::ptrdiff_t>(outcome.count));
            framed.inPayload = true;
            break;
        }
        case NetworkHeaderSearch::kMessageComplete:
        {
            FUZZ_CHECK(framed.inPayload);
            const std::size_t payloadSize = search.GetPayloadSize();
            FUZZ_CHECK(held.size() == Wire::kHeaderSize + payloadSize + outcome.count);
            const auto payloadStart = held.begin() + Wire::kHeaderSize;
            const auto payloadEnd = payloadStart + static_cast<std::ptrdiff_t>(payloadSize);
            framed.messages.push_back({search.GetHeader(), Bytes(payloadStart, payloadEnd)});
            held.erase(held.begin(), payloadEnd);
            framed.inPayload = false;
            break;
        }
        default:
            FUZZ_CHECK(false);
        }
    }
}

} // namespace FuzzFraming
