// A connection's received byte stream, framed by NetworkHeaderSearch the way a
// receiver drives it (see NetworkHeaderSearch.h): the first input byte seeds
// how the stream arrives, the rest is the stream.
//
// Properties: every step is one the receiver can carry out (a drop within the
// held bytes, a positive need, an accepted header that passes the checks, a
// complete message that ends inside the held bytes) and the loop always makes
// progress; the messages found do not depend on how the stream is cut into
// reads: all at once, exactly as much as each step asks for, or in reads of
// varying size.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "velquin/Common/CrossPlatform/Network/NetworkHeaderSearch.h"

using Wire = NetworkWireFormat;
using Bytes = std::vector<unsigned char>;

namespace
{

struct Message
{
    Bytes header;
    Bytes payload;

    bool operator==(const Message&) const = default;
};

enum class Reads
{
    AllAtOnce,
    AsAsked,
    Varying
};

std::vector<Message> Receive(const unsigned char* stream, std::size_t size, Reads reads, unsigned int seed)
{
    NetworkHeaderSearch search;
    std::vector<Message> messages;
    Bytes held;
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
            FUZZ_CHECK(outcome.count > 0 && outcome.count <= held.size());
            held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(outcome.count));
            break;
        case NetworkHeaderSearch::kNeedMore:
            FUZZ_CHECK(outcome.count > 0);
            if (delivered == size)
            {
                return messages;
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
            FUZZ_CHECK(held.size() >= Wire::kHeaderSize + outcome.count);
            FUZZ_CHECK(std::memcmp(held.data(), Wire::MESSAGE_COOKIE.mBytes,
                                   sizeof(Wire::MESSAGE_COOKIE.mBytes)) == 0);
            FUZZ_CHECK(NetworkHeaderSearch::IsAcceptable(held.data()));
            const Wire::MessageHeader& header = search.GetHeader();
            FUZZ_CHECK(header.headerSize == Wire::kHeaderSize + outcome.count);
            FUZZ_CHECK(search.GetPayloadSize() == header.totalSize - header.headerSize);
            FUZZ_CHECK(search.GetPayloadSize() <= Wire::kMaxPayloadSize);
            Bytes written(Wire::kHeaderSize);
            header.Write(written.data());
            FUZZ_CHECK(std::memcmp(written.data(), held.data(), Wire::kHeaderSize) == 0);
            const auto extra = held.begin() + Wire::kHeaderSize;
            held.erase(extra, extra + static_cast<std::ptrdiff_t>(outcome.count));
            break;
        }
        case NetworkHeaderSearch::kMessageComplete:
        {
            const std::size_t payloadSize = search.GetPayloadSize();
            FUZZ_CHECK(held.size() == Wire::kHeaderSize + payloadSize + outcome.count);
            const auto payloadStart = held.begin() + Wire::kHeaderSize;
            const auto payloadEnd = payloadStart + static_cast<std::ptrdiff_t>(payloadSize);
            messages.push_back({Bytes(held.begin(), payloadStart), Bytes(payloadStart, payloadEnd)});
            held.erase(held.begin(), payloadEnd);
            break;
        }
        default:
            FUZZ_CHECK(false);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
    {
        return 0;
    }
    const unsigned int seed = data[0];
    const unsigned char* stream = data + 1;
    const std::size_t streamSize = size - 1;
    const std::vector<Message> all = Receive(stream, streamSize, Reads::AllAtOnce, seed);
    FUZZ_CHECK(Receive(stream, streamSize, Reads::AsAsked, seed) == all);
    FUZZ_CHECK(Receive(stream, streamSize, Reads::Varying, seed) == all);
    return 0;
}
