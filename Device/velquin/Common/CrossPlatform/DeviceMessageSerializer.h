// The device message: the one form in which parameter data travels between the
// library and a device, attached or on the network. A 12-byte header of three
// little-endian 32-bit fields (total length, kind, message ID) and one
// serialised KT::Variant record. Messages may start at any offset and lie back
// to back in one buffer. Static operations only; the caller owns the buffer and
// serialises its use.
#pragma once

#include <cstddef>
#include <cstdint>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/Buffer.h"
#include "KTFramework/Utilities/Storage/Variant.h"

enum DeviceInterfaceMessageType : std::uint32_t
{
    // A set from the host, the reply to a get, or a notification.
    DEVICE_MESSAGE_PARAM_VALUES = 0,
    // Asked now, answered later by a notification.
    DEVICE_MESSAGE_REQUEST = 1,
    // Answered by one reply message.
    DEVICE_MESSAGE_GET = 2,
    // What the decoders report before they have read a valid kind; never on
    // the wire.
    DEVICE_MESSAGE_NONE = 3,
};

// Message IDs below 0; a get of one parameter carries the parameter's ID.
constexpr std::int32_t MESSAGE_ID_PARAM_RANGES = -5;
constexpr std::int32_t MESSAGE_ID_PARAM_VALUES = -6;
constexpr std::int32_t MESSAGE_ID_PARAM_DESCRIPTORS = -7;

// Reserved parameter IDs.
// Reported to the host when the device accepts the connection; never sent.
constexpr std::int32_t PARAM_ID_ACCESS_GRANTED = -2;
// The 64-bit token the device gives a client when it connects.
constexpr std::int32_t PARAM_ID_ACCESS_TOKEN = -3;
// Whether the device has accepted the client holding a token.
constexpr std::int32_t PARAM_ID_ACCESS_STATE = -4;

class DeviceMessageSerializer
{
public:
    static constexpr std::size_t HEADER_SIZE = 12;
    // A lone length word of this value is an item that holds no message.
    static constexpr std::uint32_t EMPTY_ITEM_LENGTH = 4;
    // Lengths are reported as positive 32-bit results.
    static constexpr std::uint32_t MAX_MESSAGE_LENGTH = 0x7FFFFFFFu;

    // Each writes one message of its kind into buffer, which is resized to
    // exactly the message, and returns the message's length. A payload that
    // cannot be serialised, or a message longer than MAX_MESSAGE_LENGTH, leaves
    // the buffer empty and gives KT::RESULT_FAILED: the caller must send
    // nothing. A null buffer gives KT::RESULT_INVALID_ARGUMENT.
    [[nodiscard]] static int CreateSetParamMessage(std::uint32_t messageID, const KT::Variant& payload,
                                                   const KT::RCPtr<KT::LIBuffer>& buffer);
    [[nodiscard]] static int CreateRequestParamMessage(std::uint32_t messageID, const KT::Variant& payload,
                                                       const KT::RCPtr<KT::LIBuffer>& buffer);
    [[nodiscard]] static int CreateGetParamMessage(std::uint32_t messageID, const KT::Variant& payload,
                                                   const KT::RCPtr<KT::LIBuffer>& buffer);

    // Checks and decodes the message at offset; returns its total length, by
    // which a walker steps to the next one, or a failure. kind is
    // DEVICE_MESSAGE_NONE until a valid kind has been read, messageID is
    // written once the kind is valid; the payload is read from the message's
    // own bytes only.
    [[nodiscard]] static int DecodeMessage(const KT::ConstRCPtr<KT::LIBuffer>& buffer, std::uint64_t offset,
                                           std::uint32_t& messageID, KT::Variant& payload,
                                           DeviceInterfaceMessageType& kind);

    // Reads the header at offset without the payload: 0 for a complete message
    // or a lone EMPTY_ITEM_LENGTH word (kind DEVICE_MESSAGE_NONE, message ID
    // 0xFFFFFFFF), 1 for a valid header whose message runs past the buffer,
    // else KT::RESULT_FAILED. A length that could not hold a header is refused,
    // so a walker stepping by it always advances.
    [[nodiscard]] static int PeekParamMessage(const KT::ConstRCPtr<KT::LIBuffer>& buffer,
                                              std::uint64_t offset, DeviceInterfaceMessageType& kind,
                                              std::uint32_t& messageID, std::uint32_t& length);

private:
    static int CreateMessage(DeviceInterfaceMessageType kind, std::uint32_t messageID,
                             const KT::Variant& payload, const KT::RCPtr<KT::LIBuffer>& buffer);
};
