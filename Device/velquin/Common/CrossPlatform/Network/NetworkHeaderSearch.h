// Finds, checks and frames messages in a received byte stream. It looks only
// at the bytes its caller holds from the start of the caller's buffer and says
// what to do next, so a receiver reads straight into the buffer it will
// deliver. It owns no bytes, no socket and no thread; one receiver uses one
// search at a time.
//
// The caller's loop: Advance with the bytes held, then
//   kDrop n          remove the first n bytes (move the rest down); Advance again;
//   kNeedMore n      read until at least n more bytes are held; Advance again;
//   kHeaderAccepted n the header in bytes 0-51 passed its checks (GetHeader); remove
//                    the n extra header bytes at offset 52 (0 for a 52-byte
//                    header); the payload of GetPayloadSize() bytes then starts
//                    at offset 52; Advance again;
//   kMessageComplete n the payload is whole at offset 52; the n bytes after it
//                    begin the next message and go to the start of the next
//                    buffer, where the search begins again.
#pragma once

#include <cstddef>
#include <cstdint>

#include "velquin/Common/CrossPlatform/Network/NetworkWireFormat.h"

class NetworkHeaderSearch
{
public:
    enum Step
    {
        kDrop,
        kNeedMore,
        kHeaderAccepted,
        kMessageComplete
    };

    struct Outcome
    {
        Step step;
        std::size_t count;
    };

    // bytes[0, held) are the bytes the caller holds.
    Outcome Advance(const unsigned char* bytes, std::size_t held);

    // The accepted header, from kHeaderAccepted until the next Advance after
    // kMessageComplete.
    const NetworkWireFormat::MessageHeader& GetHeader() const noexcept { return mHeader; }
    std::size_t GetPayloadSize() const noexcept { return mPayloadSize; }

    // Starts again at searching, as for a new stream.
    void Reset() noexcept;

    // The checks a header's first 32 bytes must pass: version 2, a header of 52
    // to 8192 bytes (above 52 only from version 2.1 on), a total size no smaller
    // than the header, and a payload within the ceiling.
    static bool IsAcceptable(const unsigned char* bytes) noexcept;

private:
    enum class State
    {
        kSearching, // looking for the cookie, then checking the header
        kPayload    // header accepted, extra header bytes removed by the caller
    };

    // The offset of the first cookie at or after from, or, when none is held
    // whole, the offset of the last 15 bytes, where a cut cookie may begin.
    static std::size_t FindCookie(const unsigned char* bytes, std::size_t held, std::size_t from) noexcept;

    State mState = State::kSearching;
    NetworkWireFormat::MessageHeader mHeader{};
    std::size_t mPayloadSize = 0;
};
