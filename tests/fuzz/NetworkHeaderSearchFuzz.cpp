// A connection's received byte stream, framed by NetworkHeaderSearch the way a
// receiver drives it (FramedStream.h): the first input byte seeds how the
// stream arrives, the rest is the stream.
//
// Properties: every step is one the receiver can carry out (a drop within the
// held bytes, a positive need, an accepted header that passes the checks and
// reads back as its bytes, a complete message that ends inside the held bytes)
// and the loop always makes progress; the messages found, and where the search
// stands at the end, do not depend on how the stream is cut into reads: all at
// once, exactly as much as each step asks for, or in reads of varying size.
#include <cstddef>
#include <cstdint>

#include "fuzz/FramedStream.h"
#include "fuzz/FuzzCheck.h"

using namespace FuzzFraming;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
    {
        return 0;
    }
    const unsigned int seed = data[0];
    const unsigned char* stream = data + 1;
    const std::size_t streamSize = size - 1;
    const Framed all = Frame(stream, streamSize, Reads::AllAtOnce, seed);
    for (const Reads reads : {Reads::AsAsked, Reads::Varying})
    {
        const Framed cut = Frame(stream, streamSize, reads, seed);
        FUZZ_CHECK(cut.messages == all.messages);
        FUZZ_CHECK(cut.inPayload == all.inPayload && cut.payloadStillNeeded == all.payloadStillNeeded);
    }
    return 0;
}
