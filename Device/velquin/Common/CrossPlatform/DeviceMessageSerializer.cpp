#include "velquin/Common/CrossPlatform/DeviceMessageSerializer.h"

#include <new>

#include "KTFramework/Defs/Result.h"
#include "Platform/ByteOrder.h"

namespace
{

constexpr std::size_t LENGTH_OFFSET = 0;
constexpr std::size_t KIND_OFFSET = 4;
constexpr std::size_t MESSAGE_ID_OFFSET = 8;
// A message carries at least the length word of its record.
constexpr std::uint32_t MIN_DECODABLE_LENGTH = 16;
constexpr std::uint32_t NO_MESSAGE_ID = 0xFFFFFFFFu;

// Whether [offset, offset + count) lies within size, without forming a sum
// that could wrap.
bool Holds(std::uint64_t size, std::uint64_t offset, std::uint64_t count)
{
    return offset <= size && count <= size - offset;
}

bool ReadKind(const unsigned char* header, DeviceInterfaceMessageType& kind)
{
    const std::uint32_t value = KT::ReadLE32(header + KIND_OFFSET);
    if (value >= DEVICE_MESSAGE_NONE)
    {
        return false;
    }
    kind = static_cast<DeviceInterfaceMessageType>(value);
    return true;
}

} // namespace

int DeviceMessageSerializer::CreateSetParamMessage(std::uint32_t messageID, const KT::Variant& payload,
                                                   const KT::RCPtr<KT::LIBuffer>& buffer)
{
    return CreateMessage(DEVICE_MESSAGE_PARAM_VALUES, messageID, payload, buffer);
}

int DeviceMessageSerializer::CreateRequestParamMessage(std::uint32_t messageID, const KT::Variant& payload,
                                                       const KT::RCPtr<KT::LIBuffer>& buffer)
{
    return CreateMessage(DEVICE_MESSAGE_REQUEST, messageID, payload, buffer);
}

int DeviceMessageSerializer::CreateGetParamMessage(std::uint32_t messageID, const KT::Variant& payload,
                                                   const KT::RCPtr<KT::LIBuffer>& buffer)
{
    return CreateMessage(DEVICE_MESSAGE_GET, messageID, payload, buffer);
}

int DeviceMessageSerializer::CreateMessage(DeviceInterfaceMessageType kind, std::uint32_t messageID,
                                           const KT::Variant& payload, const KT::RCPtr<KT::LIBuffer>& buffer)
{
    if (!buffer)
    {
        return KT::RESULT_INVALID_ARGUMENT;
    }
    // The buffer is reused from message to message: a failure must not leave
    // the previous message's bytes behind to be sent.
    const std::uint32_t recordLength = KT::Variant::GetSerializedSize(payload);
    if (recordLength == 0 || recordLength > MAX_MESSAGE_LENGTH - HEADER_SIZE)
    {
        buffer->SetSizeBytes(0);
        return KT::RESULT_FAILED;
    }
    const std::uint32_t total = static_cast<std::uint32_t>(HEADER_SIZE) + recordLength;
    try
    {
        buffer->SetSizeBytes(total);
    }
    catch (const std::bad_alloc&)
    {
        buffer->SetSizeBytes(0);
        return KT::RESULT_FAILED;
    }
    unsigned char* bytes = buffer->GetPtr<unsigned char>();
    KT::WriteLE32(bytes + LENGTH_OFFSET, total);
    KT::WriteLE32(bytes + KIND_OFFSET, kind);
    KT::WriteLE32(bytes + MESSAGE_ID_OFFSET, messageID);
    if (KT::Variant::Serialize(payload, bytes + HEADER_SIZE, recordLength) != static_cast<int>(recordLength))
    {
        buffer->SetSizeBytes(0);
        return KT::RESULT_FAILED;
    }
    return static_cast<int>(total);
}

int DeviceMessageSerializer::DecodeMessage(const KT::ConstRCPtr<KT::LIBuffer>& buffer, std::uint64_t offset,
                                           std::uint32_t& messageID, KT::Variant& payload,
                                           DeviceInterfaceMessageType& kind)
{
    kind = DEVICE_MESSAGE_NONE;
    if (!buffer)
    {
        return KT::RESULT_INVALID_ARGUMENT;
    }
    const std::uint64_t size = buffer->GetSizeBytes();
    if (!Holds(size, offset, HEADER_SIZE))
    {
        return KT::RESULT_FAILED;
    }
    const unsigned char* message = buffer->GetPtr<unsigned char>() + offset;
    const std::uint32_t total = KT::ReadLE32(message + LENGTH_OFFSET);
    if (total > MAX_MESSAGE_LENGTH || !Holds(size, offset, total))
    {
        return KT::RESULT_FAILED;
    }
    if (!ReadKind(message, kind))
    {
        return KT::RESULT_FAILED;
    }
    messageID = KT::ReadLE32(message + MESSAGE_ID_OFFSET);
    if (total < MIN_DECODABLE_LENGTH)
    {
        return KT::RESULT_FAILED;
    }
    // The record ends with its message: the bytes of a following message are
    // never read as part of it.
    const int decoded = KT::Variant::Deserialize(payload, message + HEADER_SIZE, total - HEADER_SIZE);
    if (KT::Result::Failed(decoded))
    {
        return decoded;
    }
    return static_cast<int>(total);
}

int DeviceMessageSerializer::PeekParamMessage(const KT::ConstRCPtr<KT::LIBuffer>& buffer,
                                              std::uint64_t offset, DeviceInterfaceMessageType& kind,
                                              std::uint32_t& messageID, std::uint32_t& length)
{
    kind = DEVICE_MESSAGE_NONE;
    messageID = NO_MESSAGE_ID;
    length = 0;
    if (!buffer)
    {
        return KT::RESULT_INVALID_ARGUMENT;
    }
    const std::uint64_t size = buffer->GetSizeBytes();
    if (!Holds(size, offset, sizeof(std::uint32_t)))
    {
        return KT::RESULT_FAILED;
    }
    const unsigned char* message = buffer->GetPtr<unsigned char>() + offset;
    length = KT::ReadLE32(message + LENGTH_OFFSET);
    if (length == EMPTY_ITEM_LENGTH)
    {
        return 0;
    }
    if (length < HEADER_SIZE || length > MAX_MESSAGE_LENGTH)
    {
        return KT::RESULT_FAILED;
    }
    if (!Holds(size, offset, HEADER_SIZE))
    {
        return KT::RESULT_FAILED;
    }
    if (!ReadKind(message, kind))
    {
        return KT::RESULT_FAILED;
    }
    messageID = KT::ReadLE32(message + MESSAGE_ID_OFFSET);
    return Holds(size, offset, length) ? 0 : 1;
}
