#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "KTFramework/Defs/Result.h"
#include "KTFramework/Utilities/Storage/Buffer.h"
#include "KTFramework/Utilities/Storage/ParamValues.h"
#include "support/VariantProbes.h"
#include "velquin/Common/CrossPlatform/DeviceMessageSerializer.h"

namespace
{

using Bytes = std::vector<unsigned char>;
using MessageBuffer = KT::LBufferT<1, 0>;

KT::RCPtr<KT::LIBuffer> BufferOf(const Bytes& bytes)
{
    KT::RCPtr<KT::LIBuffer> buffer = MessageBuffer::Create(bytes.size(), 0, true);
    if (!bytes.empty())
    {
        std::memcpy(buffer->GetRawPtr(), bytes.data(), bytes.size());
    }
    return buffer;
}

Bytes BytesOf(const KT::RCPtr<KT::LIBuffer>& buffer)
{
    const unsigned char* data = buffer->GetPtr<unsigned char>();
    return Bytes(data, data + buffer->GetSizeBytes());
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
    {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// The set of parameter 7 to Int32 5: header, the list, its one entry, then
// the entry's records Int32 5, Int32 7 and Empty.
const Bytes kSetParam7To5 = {0x50, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFA, 0xFF, 0xFF, 0xFF, // header
                             0x44, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, // list
                             0x38, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, // entry
                             0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00,
                             0x05, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                             0x06, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00,
                             0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

const Bytes kGetParam0 = {0x18, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                          0x0C, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

KT::ParamValues SetParam7To5Payload()
{
    KT::ParamValues values;
    EXPECT_EQ(0, values.SetOne(KT::ParamDescriptor(7), KT::Variant(5)));
    return values;
}

using Writer = int (*)(std::uint32_t, const KT::Variant&, const KT::RCPtr<KT::LIBuffer>&);

TEST(DeviceMessageSerializer, WritesTheThreeKindsAsGoldenBytes)
{
    const KT::Variant empty;
    const KT::Variant setPayload = SetParam7To5Payload();
    struct Row
    {
        const char* name;
        Writer writer;
        std::uint32_t messageID;
        const KT::Variant* payload;
        Bytes expected;
    };
    const Bytes emptyRecord = {0x0C, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    const Row rows[] = {
        {"set of parameter 7", DeviceMessageSerializer::CreateSetParamMessage, 0xFFFFFFFAu, &setPayload,
         kSetParam7To5},
        {"get of parameter 0", DeviceMessageSerializer::CreateGetParamMessage, 0, &empty, kGetParam0},
        {"request of ranges", DeviceMessageSerializer::CreateRequestParamMessage, 0xFFFFFFFBu, &empty,
         Concat({{0x18, 0, 0, 0, 0x01, 0, 0, 0, 0xFB, 0xFF, 0xFF, 0xFF}, emptyRecord})},
        {"request of values", DeviceMessageSerializer::CreateRequestParamMessage, 0xFFFFFFF9u, &empty,
         Concat({{0x18, 0, 0, 0, 0x01, 0, 0, 0, 0xF9, 0xFF, 0xFF, 0xFF}, emptyRecord})},
    };
    // One buffer for all, as a device reuses its own: each message replaces
    // the one before, longer or shorter.
    KT::RCPtr<KT::LIBuffer> buffer = KT::LBufferT<2048, 2048>::Create(2048, 0, true);
    for (const Row& row : rows)
    {
        EXPECT_EQ(static_cast<int>(row.expected.size()), row.writer(row.messageID, *row.payload, buffer))
            << row.name;
        EXPECT_EQ(row.expected, BytesOf(buffer)) << row.name;
    }
}

TEST(DeviceMessageSerializer, AWriterThatCannotWriteLeavesTheBufferEmpty)
{
    // A pointer kind without bytes has no record; one that claims 2 GiB makes
    // a message no 31-bit length describes (its bytes are never read).
    unsigned char anyByte = 0;
    KT::Testing::RawVariant noBytes;
    noBytes.MakeUnowned(KT::Variant::TYPE_POINTER, &anyByte, 0);
    KT::Testing::RawVariant huge;
    huge.MakeUnowned(KT::Variant::TYPE_CONST_POINTER, &anyByte, 0x80000000u);
    // Its record would fit in 31 bits, the message with its header would not.
    KT::Testing::RawVariant justTooLong;
    justTooLong.MakeUnowned(KT::Variant::TYPE_CONST_POINTER, &anyByte, 0x7FFFFFFFu - 12 - 12 + 1);

    for (const KT::Variant* payload :
         std::initializer_list<const KT::Variant*>{&noBytes, &huge, &justTooLong})
    {
        KT::RCPtr<KT::LIBuffer> buffer = BufferOf(kSetParam7To5);
        EXPECT_EQ(KT::RESULT_FAILED, DeviceMessageSerializer::CreateGetParamMessage(1, *payload, buffer));
        EXPECT_EQ(0u, buffer->GetSizeBytes()) << "the previous message's bytes must not stay to be sent";
    }
    EXPECT_EQ(KT::RESULT_INVALID_ARGUMENT,
              DeviceMessageSerializer::CreateSetParamMessage(0, KT::Variant(), KT::RCPtr<KT::LIBuffer>()));
}

TEST(DeviceMessageSerializer, DecodesTwoMessagesLyingBackToBack)
{
    const KT::RCPtr<KT::LIBuffer> buffer = BufferOf(Concat({kSetParam7To5, kGetParam0}));

    std::uint32_t messageID = 0;
    KT::ParamValues values;
    DeviceInterfaceMessageType kind = DEVICE_MESSAGE_GET;
    ASSERT_EQ(80, DeviceMessageSerializer::DecodeMessage(buffer, 0, messageID, values, kind));
    EXPECT_EQ(DEVICE_MESSAGE_PARAM_VALUES, kind);
    EXPECT_EQ(0xFFFFFFFAu, messageID);
    KT::ParamValue entry(KT::ParamValues::NO_PARAM_ID);
    ASSERT_EQ(1, values.GetCount());
    ASSERT_EQ(0, values.GetParamValue(0, entry));
    EXPECT_EQ(7u, entry.GetParamDescriptor().GetParamID());
    EXPECT_EQ(5, entry.GetValue().GetInt32());

    KT::Variant payload(3);
    EXPECT_EQ(24, DeviceMessageSerializer::DecodeMessage(buffer, 80, messageID, payload, kind));
    EXPECT_EQ(DEVICE_MESSAGE_GET, kind);
    EXPECT_EQ(0u, messageID);
    EXPECT_TRUE(payload.IsEmpty());

    std::uint32_t length = 0;
    EXPECT_EQ(0, DeviceMessageSerializer::PeekParamMessage(buffer, 0, kind, messageID, length));
    EXPECT_EQ(80u, length);
    EXPECT_EQ(0, DeviceMessageSerializer::PeekParamMessage(buffer, 80, kind, messageID, length));
    EXPECT_EQ(24u, length);
}

TEST(DeviceMessageSerializer, DecodeFailuresLeaveTheOutputsAsTheChecksWrote)
{
    constexpr std::uint32_t kUntouched = 0xA5A5A5A5u;
    const Bytes emptyRecord = {0x0C, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0};
    struct Row
    {
        const char* name;
        Bytes bytes;
        std::uint64_t offset;
        int result;
        DeviceInterfaceMessageType kind;
        std::uint32_t messageID;
    };
    const Row rows[] = {
        {"11 bytes", Bytes(11, 0), 0, KT::RESULT_FAILED, DEVICE_MESSAGE_NONE, kUntouched},
        {"total past the buffer",
         {20, 0, 0, 0, 2, 0, 0, 0, 9, 0, 0, 0},
         0,
         KT::RESULT_FAILED,
         DEVICE_MESSAGE_NONE,
         kUntouched},
        {"kind 3", Concat({{24, 0, 0, 0, 3, 0, 0, 0, 9, 0, 0, 0}, emptyRecord}), 0, KT::RESULT_FAILED,
         DEVICE_MESSAGE_NONE, kUntouched},
        {"total 12", {12, 0, 0, 0, 2, 0, 0, 0, 9, 0, 0, 0}, 0, KT::RESULT_FAILED, DEVICE_MESSAGE_GET, 9},
        {"total 15",
         {15, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0},
         0,
         KT::RESULT_FAILED,
         DEVICE_MESSAGE_REQUEST,
         9},
        {"record of another version",
         {24, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 12, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0},
         0,
         KT::RESULT_FAILED,
         DEVICE_MESSAGE_PARAM_VALUES,
         9},
        // The record claims 16 bytes: 12 of its own message and 4 of the next.
        {"record running into the next message",
         Concat({{24, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 16, 0, 0, 0, 1, 0, 0, 0, 6, 0, 0, 0}, kGetParam0}), 0,
         KT::RESULT_FAILED, DEVICE_MESSAGE_PARAM_VALUES, 9},
        {"offset past the end", kGetParam0, 25, KT::RESULT_FAILED, DEVICE_MESSAGE_NONE, kUntouched},
        {"offset near 2^64", kGetParam0, UINT64_MAX - 5, KT::RESULT_FAILED, DEVICE_MESSAGE_NONE, kUntouched},
    };
    for (const Row& row : rows)
    {
        std::uint32_t messageID = kUntouched;
        KT::Variant payload;
        DeviceInterfaceMessageType kind = DEVICE_MESSAGE_GET;
        EXPECT_EQ(row.result, DeviceMessageSerializer::DecodeMessage(BufferOf(row.bytes), row.offset,
                                                                     messageID, payload, kind))
            << row.name;
        EXPECT_EQ(row.kind, kind) << row.name;
        EXPECT_EQ(row.messageID, messageID) << row.name;
    }

    std::uint32_t messageID = kUntouched;
    KT::Variant payload;
    DeviceInterfaceMessageType kind = DEVICE_MESSAGE_GET;
    EXPECT_EQ(KT::RESULT_INVALID_ARGUMENT,
              DeviceMessageSerializer::DecodeMessage(KT::RCPtr<KT::LIBuffer>(), 0, messageID, payload, kind));
    EXPECT_EQ(DEVICE_MESSAGE_NONE, kind);
}

TEST(DeviceMessageSerializer, PeekReadsHeadersAndRefusesLengthsThatCouldNotAdvance)
{
    struct Row
    {
        const char* name;
        Bytes bytes;
        std::uint64_t offset;
        int result;
        DeviceInterfaceMessageType kind;
        std::uint32_t messageID;
        std::uint32_t length;
    };
    const Row rows[] = {
        {"3 bytes", {4, 0, 0}, 0, KT::RESULT_FAILED, DEVICE_MESSAGE_NONE, 0xFFFFFFFFu, 0},
        {"a lone length word 4", {4, 0, 0, 0}, 0, 0, DEVICE_MESSAGE_NONE, 0xFFFFFFFFu, 4},
        {"length 0", Bytes(12, 0), 0, KT::RESULT_FAILED, DEVICE_MESSAGE_NONE, 0xFFFFFFFFu, 0},
        {"length 3",
         {3, 0, 0, 0, 2, 0, 0, 0, 9, 0, 0, 0},
         0,
         KT::RESULT_FAILED,
         DEVICE_MESSAGE_NONE,
         0xFFFFFFFFu,
         3},
        {"length 5",
         {5, 0, 0, 0, 2, 0, 0, 0, 9, 0, 0, 0},
         0,
         KT::RESULT_FAILED,
         DEVICE_MESSAGE_NONE,
         0xFFFFFFFFu,
         5},
        {"length 11",
         {11, 0, 0, 0, 2, 0, 0, 0, 9, 0, 0, 0},
         0,
         KT::RESULT_FAILED,
         DEVICE_MESSAGE_NONE,
         0xFFFFFFFFu,
         11},
        {"length above 2^31 - 1",
         {0, 0, 0, 0x80, 2, 0, 0, 0, 9, 0, 0, 0},
         0,
         KT::RESULT_FAILED,
         DEVICE_MESSAGE_NONE,
         0xFFFFFFFFu,
         0x80000000u},
        {"header cut off",
         {24, 0, 0, 0, 2, 0, 0, 0},
         0,
         KT::RESULT_FAILED,
         DEVICE_MESSAGE_NONE,
         0xFFFFFFFFu,
         24},
        {"kind 3",
         {24, 0, 0, 0, 3, 0, 0, 0, 9, 0, 0, 0},
         0,
         KT::RESULT_FAILED,
         DEVICE_MESSAGE_NONE,
         0xFFFFFFFFu,
         24},
        {"message running past the buffer",
         {100, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0},
         0,
         1,
         DEVICE_MESSAGE_REQUEST,
         9,
         100},
        {"complete message", kGetParam0, 0, 0, DEVICE_MESSAGE_GET, 0, 24},
        {"offset near 2^64", kGetParam0, UINT64_MAX - 1, KT::RESULT_FAILED, DEVICE_MESSAGE_NONE, 0xFFFFFFFFu,
         0},
    };
    for (const Row& row : rows)
    {
        DeviceInterfaceMessageType kind = DEVICE_MESSAGE_GET;
        std::uint32_t messageID = 1;
        std::uint32_t length = 1;
        EXPECT_EQ(row.result, DeviceMessageSerializer::PeekParamMessage(BufferOf(row.bytes), row.offset, kind,
                                                                        messageID, length))
            << row.name;
        EXPECT_EQ(row.kind, kind) << row.name;
        EXPECT_EQ(row.messageID, messageID) << row.name;
        EXPECT_EQ(row.length, length) << row.name;
    }
}

// Random bytes, and valid messages with random bytes changed, at random
// offsets: the decoders stay inside the buffer (the sanitizers watch) and
// every length they accept advances a walker and fits in what is left.
TEST(DeviceMessageSerializer, RandomBytesNeverLeadOutsideTheBuffer)
{
    std::mt19937 random(20261209);
    const Bytes valid = Concat({kSetParam7To5, kGetParam0});
    for (int round = 0; round < 20000; ++round)
    {
        Bytes bytes;
        if (round % 2 == 0)
        {
            bytes.resize(random() % 96);
            for (unsigned char& b : bytes)
            {
                b = static_cast<unsigned char>(random() % 4 == 0 ? random() : random() % 32);
            }
        }
        else
        {
            bytes = valid;
            for (int flips = 1 + static_cast<int>(random() % 4); flips > 0; --flips)
            {
                bytes[random() % bytes.size()] = static_cast<unsigned char>(random());
            }
            bytes.resize(random() % (bytes.size() + 1));
        }
        const KT::RCPtr<KT::LIBuffer> buffer = BufferOf(bytes);
        const std::uint64_t offset = random() % (bytes.size() + 8);
        const std::uint64_t left = offset <= bytes.size() ? bytes.size() - offset : 0;

        std::uint32_t messageID = 0;
        KT::Variant payload;
        DeviceInterfaceMessageType kind = DEVICE_MESSAGE_NONE;
        const int decoded = DeviceMessageSerializer::DecodeMessage(buffer, offset, messageID, payload, kind);
        if (decoded >= 0)
        {
            ASSERT_GE(decoded, 16) << "round " << round;
            ASSERT_LE(static_cast<std::uint64_t>(decoded), left) << "round " << round;
            ASSERT_LT(kind, DEVICE_MESSAGE_NONE) << "round " << round;
        }

        std::uint32_t length = 0;
        const int peeked = DeviceMessageSerializer::PeekParamMessage(buffer, offset, kind, messageID, length);
        if (peeked >= 0)
        {
            ASSERT_TRUE(length == DeviceMessageSerializer::EMPTY_ITEM_LENGTH || length >= 12)
                << "round " << round;
            ASSERT_EQ(peeked == 1, length > left) << "round " << round;
        }
    }
}

} // namespace
