#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KTFramework/Defs/Result.h"
#include "KTFramework/Utilities/Storage/BinaryToText.h"

using namespace KT;

namespace
{

using Bytes = std::vector<unsigned char>;

std::string EncodeText(BinaryToTextEncodingType type, const Bytes& bytes)
{
    std::string text(BinaryToText::EncodedLength(type, bytes.size()), '?');
    BinaryToText::Encode(type, bytes.data(), bytes.size(), text.data());
    return text;
}

Bytes AsBytes(const char* text)
{
    return Bytes(text, text + std::char_traits<char>::length(text));
}

struct EncodingRow
{
    BinaryToTextEncodingType Type;
    Bytes Data;
    const char* Text;
};

const EncodingRow kVectors[] = {
    {Hex, {}, ""},
    {Hex, {0x00, 0xAB, 0xFF}, "00ABFF"},
    {Hex, {0x0A, 0x10, 0x9F}, "0A109F"},
    {Base64, {}, ""},
    {Base64, AsBytes("A"), "QQ=="},
    {Base64, AsBytes("AB"), "QUI="},
    {Base64, AsBytes("ABC"), "QUJD"},
    {Base64, AsBytes("foob"), "Zm9vYg=="},
    {Base64, AsBytes("fooba"), "Zm9vYmE="},
    {Base64, AsBytes("foobar"), "Zm9vYmFy"},
    {Base64, {0xFB, 0xFF, 0xBF}, "+/+/"},
    {Base64, {0x00, 0x00}, "AAA="},
};

TEST(BinaryToText, EncodesTheVectors)
{
    for (const EncodingRow& row : kVectors)
    {
        EXPECT_EQ(EncodeText(row.Type, row.Data), row.Text) << row.Text;
    }
    EXPECT_EQ(BinaryToText::EncodedLength(static_cast<BinaryToTextEncodingType>(2), 3), 0u);
}

TEST(BinaryToText, DecodesTheVectors)
{
    for (const EncodingRow& row : kVectors)
    {
        const std::string text = row.Text;
        std::size_t size = 99;
        ASSERT_EQ(BinaryToText::DecodedSize(row.Type, text.size(), size), 0) << row.Text;
        Bytes out(size);
        std::size_t written = 99;
        const int result =
            row.Type == Hex ? BinaryToText::DecodeHex(text.data(), text.size(), out.data(), size, written)
                            : BinaryToText::DecodeBase64(text.data(), text.size(), out.data(), size, written);
        EXPECT_EQ(result, 0) << row.Text;
        out.resize(written);
        EXPECT_EQ(out, row.Data) << row.Text;
    }
}

TEST(BinaryToText, SizesRefuseImpossibleLengthsAndUnknownTypes)
{
    struct Row
    {
        const char* Name;
        int Type;
        std::size_t Length;
        int Result;
        std::size_t Size;
    };
    const Row rows[] = {
        {"hex even", Hex, 6, 0, 3},
        {"hex odd", Hex, 1, RESULT_FAILED, 0},
        {"base64 four", Base64, 8, 0, 6},
        {"base64 three", Base64, 3, RESULT_FAILED, 0},
        {"unknown type", 2, 4, RESULT_INVALID_ARGUMENT, 0},
        {"negative type", -1, 4, RESULT_INVALID_ARGUMENT, 0},
    };
    for (const Row& row : rows)
    {
        std::size_t size = 0;
        EXPECT_EQ(
            BinaryToText::DecodedSize(static_cast<BinaryToTextEncodingType>(row.Type), row.Length, size),
            row.Result)
            << row.Name;
        EXPECT_EQ(size, row.Size) << row.Name;
    }
}

TEST(BinaryToText, MalformedTextFailsAndKeepsWhatDecodedBeforeIt)
{
    struct Row
    {
        const char* Name;
        BinaryToTextEncodingType Type;
        const char* Text;
        int Result;
        Bytes Decoded;
    };
    const Row rows[] = {
        {"hex lower case", Hex, "0aFF", 0, {0x0A, 0xFF}},
        {"hex non-digit", Hex, "GG", RESULT_FAILED, {}},
        {"hex bad second pair", Hex, "41G2", RESULT_FAILED, {0x41}},
        {"hex blank", Hex, "4 ", RESULT_FAILED, {}},
        {"base64 stops at a foreign character", Base64, "QU.D", RESULT_FAILED, {0x41}},
        {"base64 foreign in second group", Base64, "QUJDQ-==", RESULT_FAILED, {0x41, 0x42, 0x43}},
        {"base64 stops at padding", Base64, "QQ==QUJD", 0, {0x41}},
        {"base64 single character group", Base64, "Q===", 0, {}},
        {"base64 high byte is not a letter", Base64, "QU\xC3\x89", RESULT_FAILED, {0x41}},
    };
    for (const Row& row : rows)
    {
        const std::string text = row.Text;
        Bytes out(16, 0xEE);
        std::size_t written = 99;
        const int result =
            row.Type == Hex
                ? BinaryToText::DecodeHex(text.data(), text.size(), out.data(), out.size(), written)
                : BinaryToText::DecodeBase64(text.data(), text.size(), out.data(), out.size(), written);
        EXPECT_EQ(result, row.Result) << row.Name;
        out.resize(written);
        EXPECT_EQ(out, row.Decoded) << row.Name;
    }
}

TEST(BinaryToText, DecodingNeverWritesPastTheRoomGiven)
{
    Bytes out(3, 0xEE);
    std::size_t written = 0;
    EXPECT_EQ(BinaryToText::DecodeBase64("QUJDQUJD", 8, out.data(), 2, written), RESULT_FAILED);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(out[2], 0xEE);
    EXPECT_EQ(BinaryToText::DecodeHex("414243", 6, out.data(), 2, written), RESULT_FAILED);
    EXPECT_EQ(written, 2u);
    EXPECT_EQ(out[2], 0xEE);
}

} // namespace
