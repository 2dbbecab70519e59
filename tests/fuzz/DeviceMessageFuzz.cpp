// Device messages as they arrive from a device or the helper: a buffer of
// messages back to back, walked as a receiver walks it with
// DeviceMessageSerializer::PeekParamMessage and DecodeMessage.
//
// Properties: every walk step advances; a message that decodes peeks as
// complete with the same kind, ID and length; written again with its kind's
// writer it decodes to the same kind, ID and payload record, and is the input's
// own bytes when its record was already in the written form (version 1, a
// String's text followed by exactly one NUL).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "KTFramework/Defs/Result.h"
#include "KTFramework/Utilities/Storage/Buffer.h"
#include "Platform/ByteOrder.h"
#include "fuzz/FuzzCheck.h"
#include "velquin/Common/CrossPlatform/DeviceMessageSerializer.h"

using KT::Variant;
using Bytes = std::vector<unsigned char>;
using MessageBuffer = KT::LBufferT<1, 0>;

namespace
{

Bytes Written(const Variant& value)
{
    Bytes out(Variant::GetSerializedSize(value));
    FUZZ_CHECK(Variant::Serialize(value, out.data(), out.size()) == static_cast<int>(out.size()));
    return out;
}

bool RecordIsWrittenForm(const unsigned char* record, std::size_t available)
{
    const std::uint32_t total = KT::ReadLE32(record);
    if (total > available || KT::ReadLE32(record + 4) != Variant::RECORD_VERSION)
    {
        return false;
    }
    if (KT::ReadLE32(record + 8) != Variant::TYPE_STRING)
    {
        return true;
    }
    const std::size_t size = total - Variant::RECORD_HEADER_SIZE;
    const unsigned char* payload = record + Variant::RECORD_HEADER_SIZE;
    return size > 0 && std::memchr(payload, 0, size) == payload + size - 1;
}

int Rewrite(DeviceInterfaceMessageType kind, std::uint32_t messageID, const Variant& payload,
            const KT::RCPtr<KT::LIBuffer>& out)
{
    switch (kind)
    {
    case DEVICE_MESSAGE_PARAM_VALUES:
        return DeviceMessageSerializer::CreateSetParamMessage(messageID, payload, out);
    case DEVICE_MESSAGE_REQUEST:
        return DeviceMessageSerializer::CreateRequestParamMessage(messageID, payload, out);
    case DEVICE_MESSAGE_GET:
        return DeviceMessageSerializer::CreateGetParamMessage(messageID, payload, out);
    default:
        FUZZ_CHECK(false);
        return KT::RESULT_FAILED;
    }
}

void CheckDecoded(const unsigned char* message, std::size_t length, DeviceInterfaceMessageType kind,
                  std::uint32_t messageID, const Variant& payload)
{
    const KT::RCPtr<KT::LIBuffer> out = MessageBuffer::Create(0, 0, false);
    const int written = Rewrite(kind, messageID, payload, out);
    FUZZ_CHECK(written > 0 && static_cast<std::size_t>(written) == out->GetSizeBytes());

    std::uint32_t idAgain = 0;
    Variant payloadAgain;
    DeviceInterfaceMessageType kindAgain = DEVICE_MESSAGE_NONE;
    FUZZ_CHECK(DeviceMessageSerializer::DecodeMessage(out, 0, idAgain, payloadAgain, kindAgain) == written);
    FUZZ_CHECK(kindAgain == kind && idAgain == messageID);
    FUZZ_CHECK(Written(payloadAgain) == Written(payload));

    const unsigned char* record = message + DeviceMessageSerializer::HEADER_SIZE;
    if (RecordIsWrittenForm(record, length - DeviceMessageSerializer::HEADER_SIZE) &&
        KT::ReadLE32(record) == length - DeviceMessageSerializer::HEADER_SIZE)
    {
        FUZZ_CHECK(static_cast<std::size_t>(written) == length);
        FUZZ_CHECK(std::memcmp(out->GetRawPtr(), message, length) == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const KT::RCPtr<KT::LIBuffer> buffer = MessageBuffer::Create(size, 0, false);
    if (size > 0)
    {
        std::memcpy(buffer->GetRawPtr(), data, size);
    }
    const unsigned char* bytes = buffer->GetPtr<unsigned char>();

    std::uint64_t offset = 0;
    for (;;)
    {
        DeviceInterfaceMessageType peekedKind = DEVICE_MESSAGE_NONE;
        std::uint32_t peekedID = 0;
        std::uint32_t length = 0;
        const int peeked =
            DeviceMessageSerializer::PeekParamMessage(buffer, offset, peekedKind, peekedID, length);

        std::uint32_t messageID = 0;
        Variant payload;
        DeviceInterfaceMessageType kind = DEVICE_MESSAGE_NONE;
        const int decoded = DeviceMessageSerializer::DecodeMessage(buffer, offset, messageID, payload, kind);
        if (decoded > 0)
        {
            FUZZ_CHECK(peeked == 0 && peekedKind == kind && peekedID == messageID);
            FUZZ_CHECK(length == static_cast<std::uint32_t>(decoded));
            CheckDecoded(bytes + offset, length, kind, messageID, payload);
        }
        if (peeked != 0)
        {
            FUZZ_CHECK(peeked == 1 || peeked == KT::RESULT_FAILED);
            break;
        }
        // A complete message or a lone empty item: the walk steps past it.
        FUZZ_CHECK(length >= DeviceMessageSerializer::EMPTY_ITEM_LENGTH && offset + length <= size);
        offset += length;
    }
    return 0;
}
