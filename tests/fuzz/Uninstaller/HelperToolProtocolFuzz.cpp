// The frames between the uninstaller and its privileged helper, as each side
// receives them: the request frame the helper reads and the reply frame the
// application reads, both from the same input, whole and as a payload alone.
//
// Properties: a frame decodes as its payload alone decodes; what decodes is
// encoded again into a frame of the same size (every field of the input is
// one the value keeps) that decodes to the same value.
#include <cstddef>
#include <cstdint>
#include <span>

#include "Uninstaller/SharedUninstaller/HelperToolProtocol.h"
#include "fuzz/FuzzCheck.h"

namespace
{

template <class Decode, class Encode>
void CheckRoundTrip(std::span<const unsigned char> input, Decode decodeFrame, Decode decodePayload,
                    Encode encode)
{
    const auto fromPayload = decodePayload(input);
    if (fromPayload)
    {
        const auto frame = encode(*fromPayload);
        FUZZ_CHECK(frame && frame->size() == Uninstaller::kFrameLengthBytes + input.size());
        const auto again = decodeFrame(std::span<const unsigned char>(*frame));
        FUZZ_CHECK(again && *again == *fromPayload);
    }

    const auto fromFrame = decodeFrame(input);
    if (fromFrame)
    {
        const auto alone = decodePayload(input.subspan(Uninstaller::kFrameLengthBytes));
        FUZZ_CHECK(alone && *alone == *fromFrame);
        const auto frame = encode(*fromFrame);
        FUZZ_CHECK(frame && frame->size() == input.size());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const unsigned char> input(data, size);
    CheckRoundTrip(input, Uninstaller::DecodeRequestFrame, Uninstaller::DecodeRequestPayload,
                   Uninstaller::EncodeRequestFrame);
    CheckRoundTrip(input, Uninstaller::DecodeReplyFrame, Uninstaller::DecodeReplyPayload,
                   Uninstaller::EncodeReplyFrame);
    return 0;
}
