// The headers of message-port frames as a peer sends them: the request header
// a port server reads and the reply header a client reads, both from the same
// input.
//
// Properties: a header that is accepted is written again as the same bytes;
// an accepted header never announces data without the data flag or more than
// the frame limit.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Platform/MessagePortFrame.h"
#include "fuzz/FuzzCheck.h"

namespace PortFrame = KT::Platform::PortFrame;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size >= PortFrame::kRequestHeaderSize)
    {
        PortFrame::RequestHeader header{};
        if (PortFrame::ReadRequestHeader(data, header))
        {
            FUZZ_CHECK(header.Length <= PortFrame::kMaxDataSize);
            FUZZ_CHECK(header.Length == 0 || (header.Flags & PortFrame::kFlagDataPresent) != 0);
            unsigned char written[PortFrame::kRequestHeaderSize];
            PortFrame::WriteRequestHeader(written, header);
            FUZZ_CHECK(std::memcmp(written, data, sizeof(written)) == 0);
        }
    }
    if (size >= PortFrame::kReplyHeaderSize)
    {
        PortFrame::ReplyHeader header{};
        if (PortFrame::ReadReplyHeader(data, header))
        {
            FUZZ_CHECK(header.Length <= PortFrame::kMaxDataSize);
            FUZZ_CHECK(header.Length == 0 || (header.Flags & PortFrame::kFlagDataPresent) != 0);
            unsigned char written[PortFrame::kReplyHeaderSize];
            PortFrame::WriteReplyHeader(written, header);
            FUZZ_CHECK(std::memcmp(written, data, sizeof(written)) == 0);
        }
    }
    return 0;
}
