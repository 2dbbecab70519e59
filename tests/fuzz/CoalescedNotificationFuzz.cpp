// A network device's notification delivery as LDeviceNetwork reads it
// (FindNotificationMessages): the message, with copies of earlier messages
// coalesced behind it newest first, and which of them go to the host given the
// delivery's sequence ID and copy count and the last sequence ID seen. The
// input is those three numbers (little-endian 32-bit) and then the payload.
//
// Properties: nothing is delivered unless the payload starts with a whole
// message, and then that message goes last; the copies delivered are whole
// messages lying one right after another behind it, no more than the gap since
// the last sequence ID or the copy count, and fewer only where the next copy
// is not whole; the messages read, written again and coalesced as a sender
// does, read back as the same messages.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "KTFramework/Utilities/Storage/Buffer.h"
#include "Platform/ByteOrder.h"
#include "fuzz/FuzzCheck.h"
#include "velquin/Common/CrossPlatform/DeviceMessageSerializer.h"
#include "velquin/Common/CrossPlatform/DeviceNetwork.h"

using KT::Variant;
using Bytes = std::vector<unsigned char>;
using MessageBuffer = KT::LBufferT<1, 0>;

namespace
{

constexpr std::size_t kNumbersSize = 12;

KT::RCPtr<KT::LIBuffer> BufferOf(const unsigned char* data, std::size_t size)
{
    KT::RCPtr<KT::LIBuffer> buffer = MessageBuffer::Create(size, 0, false);
    if (size > 0)
    {
        std::memcpy(buffer->GetRawPtr(), data, size);
    }
    return buffer;
}

// The length of the whole message at offset, or 0.
std::uint32_t WholeMessageAt(const KT::RCPtr<KT::LIBuffer>& payload, std::uint64_t offset)
{
    DeviceInterfaceMessageType kind = DEVICE_MESSAGE_NONE;
    std::uint32_t messageID = 0;
    std::uint32_t length = 0;
    if (DeviceMessageSerializer::PeekParamMessage(payload, offset, kind, messageID, length) != 0 ||
        length < DeviceMessageSerializer::HEADER_SIZE)
    {
        return 0;
    }
    return length;
}

struct Decoded
{
    DeviceInterfaceMessageType kind;
    std::uint32_t messageID;
    Bytes record;
    bool operator==(const Decoded&) const = default;
};

// The messages at the offsets, decoded; false when one does not decode.
bool DecodeAll(const KT::RCPtr<KT::LIBuffer>& payload, const std::vector<std::uint64_t>& offsets,
               std::vector<Decoded>& out)
{
    for (const std::uint64_t offset : offsets)
    {
        Decoded message{DEVICE_MESSAGE_NONE, 0, {}};
        Variant value;
        if (DeviceMessageSerializer::DecodeMessage(payload, offset, message.messageID, value, message.kind) <=
            0)
        {
            return false;
        }
        message.record.resize(Variant::GetSerializedSize(value));
        FUZZ_CHECK(Variant::Serialize(value, message.record.data(), message.record.size()) ==
                   static_cast<int>(message.record.size()));
        out.push_back(std::move(message));
    }
    return true;
}

Bytes Rewrite(const Decoded& message)
{
    Variant value;
    FUZZ_CHECK(Variant::Deserialize(value, message.record.data(), message.record.size()) == 0);
    const KT::RCPtr<KT::LIBuffer> out = MessageBuffer::Create(0, 0, false);
    int length = 0;
    switch (message.kind)
    {
    case DEVICE_MESSAGE_PARAM_VALUES:
        length = DeviceMessageSerializer::CreateSetParamMessage(message.messageID, value, out);
        break;
    case DEVICE_MESSAGE_REQUEST:
        length = DeviceMessageSerializer::CreateRequestParamMessage(message.messageID, value, out);
        break;
    default:
        length = DeviceMessageSerializer::CreateGetParamMessage(message.messageID, value, out);
        break;
    }
    FUZZ_CHECK(length > 0);
    const unsigned char* bytes = out->GetPtr<unsigned char>();
    return Bytes(bytes, bytes + length);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < kNumbersSize)
    {
        return 0;
    }
    const auto sequenceID = static_cast<std::int32_t>(KT::ReadLE32(data));
    const auto count = static_cast<std::int32_t>(KT::ReadLE32(data + 4));
    const auto last = static_cast<std::int32_t>(KT::ReadLE32(data + 8));
    const KT::RCPtr<KT::LIBuffer> payload = BufferOf(data + kNumbersSize, size - kNumbersSize);
    const KT::ConstRCPtr<KT::LIBuffer> constPayload(payload);

    const std::vector<std::uint64_t> offsets =
        LDeviceNetwork::FindNotificationMessages(constPayload, sequenceID, count, last);
    const std::uint32_t firstLength = WholeMessageAt(payload, 0);
    if (firstLength == 0)
    {
        FUZZ_CHECK(offsets.empty());
        return 0;
    }
    FUZZ_CHECK(!offsets.empty() && offsets.back() == 0);

    // The copies, behind the message one right after another.
    std::vector<std::uint64_t> copies(offsets.rbegin() + 1, offsets.rend());
    std::uint64_t expected = firstLength;
    for (const std::uint64_t offset : copies)
    {
        FUZZ_CHECK(offset == expected);
        const std::uint32_t length = WholeMessageAt(payload, offset);
        FUZZ_CHECK(length > 0);
        expected += length;
    }
    const std::int64_t gap = sequenceID > last ? std::int64_t{sequenceID} - last - 1 : 0;
    const std::int64_t wanted = std::min<std::int64_t>(gap, count < 0 ? 0 : count);
    FUZZ_CHECK(static_cast<std::int64_t>(copies.size()) <= wanted);
    if (static_cast<std::int64_t>(copies.size()) < wanted)
    {
        FUZZ_CHECK(expected >= payload->GetSizeBytes() || WholeMessageAt(payload, expected) == 0);
    }

    // Coalesced again as a sender does: the message, then the copies newest first.
    std::vector<Decoded> messages;
    if (!DecodeAll(payload, offsets, messages))
    {
        return 0;
    }
    Bytes coalesced = Rewrite(messages.back());
    for (std::size_t i = messages.size() - 1; i-- > 0;)
    {
        const Bytes copy = Rewrite(messages[i]);
        coalesced.insert(coalesced.end(), copy.begin(), copy.end());
    }
    const KT::RCPtr<KT::LIBuffer> again = BufferOf(coalesced.data(), coalesced.size());
    const std::vector<std::uint64_t> offsetsAgain = LDeviceNetwork::FindNotificationMessages(
        KT::ConstRCPtr<KT::LIBuffer>(again), sequenceID, count, last);
    std::vector<Decoded> messagesAgain;
    FUZZ_CHECK(offsetsAgain.size() == offsets.size() && DecodeAll(again, offsetsAgain, messagesAgain));
    FUZZ_CHECK(messagesAgain == messages);
    return 0;
}
