#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "KTFramework/Defs/Result.h"
#include "KTFramework/Utilities/Storage/Buffer.h"
#include "KTFramework/Utilities/Storage/StringT.h"

// Result codes that a test does not judge (set-up steps, and calls whose effect
// it checks another way) are cast to void.

using namespace KT;

namespace
{

using String8 = StringT<char, unsigned short>;
using String16 = StringT<unsigned short, char>;
using Bytes = std::vector<unsigned char>;

Bytes Contents(const RCPtr<LIBuffer>& buffer)
{
    const unsigned char* bytes =
        static_cast<const unsigned char*>(const_cast<LIBuffer&>(*buffer).GetRawPtr());
    return Bytes(bytes, bytes + buffer->GetSizeBytes());
}

std::vector<unsigned short> Units16(const RCPtr<LIBuffer>& buffer)
{
    const Bytes bytes = Contents(buffer);
    std::vector<unsigned short> units;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    {
        units.push_back(static_cast<unsigned short>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return units;
}

String16 Wide(const char* ascii)
{
    std::vector<unsigned short> units(ascii, ascii + std::strlen(ascii));
    units.push_back(0);
    return String16(units.data());
}

TEST(StringTEncoding, EncodesOnBothWidths)
{
    struct Row
    {
        int Type;
        Bytes Data;
        const char* Text;
    };
    const Row rows[] = {
        {Hex, {0x00, 0xAB, 0xFF}, "00ABFF"},
        {Base64, {'A'}, "QQ=="},
        {Base64, {'A', 'B'}, "QUI="},
        {Base64, {'A', 'B', 'C'}, "QUJD"},
        {Hex, {}, ""},
        {Base64, {}, ""},
        {2, {0x01}, ""},
    };
    for (const Row& row : rows)
    {
        const auto type = static_cast<BinaryToTextEncodingType>(row.Type);
        const String8 narrow = String8::EncodeBinaryData(type, row.Data.data(), row.Data.size());
        EXPECT_STREQ(narrow.CStr(), row.Text) << row.Text;
        EXPECT_EQ(narrow.GetLength(), std::strlen(row.Text)) << row.Text;
        const String16 wide = String16::EncodeBinaryData(type, row.Data.data(), row.Data.size());
        EXPECT_TRUE(wide == Wide(row.Text)) << row.Text;
    }
}

constexpr int kNull = -1;

struct DecodeRow
{
    const char* Name;
    int Type;
    const char* Text;
    unsigned long Offset;
    int InitialSize; // kNull: no buffer given; else a buffer of that many 0xEE bytes
    int Result;
    bool Created;
    Bytes Expected;
};

TEST(StringTEncoding, DecodesIntoNewOrGivenBuffers)
{
    const DecodeRow rows[] = {
        {"base64 into a new buffer", Base64, "QUJD", 0, kNull, 0, true, {'A', 'B', 'C'}},
        {"base64 padded", Base64, "QQ==", 0, kNull, 0, true, {'A'}},
        {"base64 bad length", Base64, "QUJ", 0, kNull, RESULT_FAILED, false, {}},
        {"base64 stops at a foreign character", Base64, "QU.D", 0, kNull, RESULT_FAILED, true, {'A'}},
        {"hex into a new buffer", Hex, "0aFF", 0, kNull, 0, true, {0x0A, 0xFF}},
        {"hex odd length", Hex, "F", 0, kNull, RESULT_FAILED, false, {}},
        {"hex bad digits", Hex, "GG", 0, kNull, RESULT_FAILED, true, {0x00}},
        {"unknown type", 2, "QUJD", 0, kNull, RESULT_INVALID_ARGUMENT, false, {}},
        {"base64 trims a larger buffer", Base64, "QUJD", 2, 10, 0, true, {0xEE, 0xEE, 'A', 'B', 'C'}},
        {"hex keeps a larger buffer",
         Hex,
         "414243",
         2,
         10,
         0,
         true,
         {0xEE, 0xEE, 'A', 'B', 'C', 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
        {"hex grows with a zeroed gap", Hex, "4142", 4, 2, 0, true, {0xEE, 0xEE, 0, 0, 'A', 'B'}},
        {"base64 grows with a zeroed gap", Base64, "QQ==", 3, 1, 0, true, {0xEE, 0, 0, 'A'}},
        {"hex bad pair keeps the zeroed growth", Hex, "41GG", 1, 1, RESULT_FAILED, true, {0xEE, 'A', 0}},
        {"empty base64 makes room for the offset", Base64, "", 2, kNull, 0, true, {0, 0}},
        {"empty base64 leaves a larger buffer", Base64, "", 2, 5, 0, true, {0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
        {"unknown type leaves the buffer", 7, "41", 0, 2, RESULT_INVALID_ARGUMENT, true, {0xEE, 0xEE}},
    };
    for (const DecodeRow& row : rows)
    {
        for (bool wide : {false, true})
        {
            SCOPED_TRACE(std::string(row.Name) + (wide ? " (UTF-16)" : ""));
            RCPtr<LIBuffer> buffer;
            if (row.InitialSize != kNull)
            {
                buffer = LBufferT<1, 0>::Create(static_cast<std::size_t>(row.InitialSize), 0, true);
                static_cast<void>(buffer->FillN(static_cast<char>(0xEE), 0, -1));
            }
            const auto type = static_cast<BinaryToTextEncodingType>(row.Type);
            const int result = wide ? Wide(row.Text).DecodeBinaryData(type, buffer, row.Offset)
                                    : String8(row.Text).DecodeBinaryData(type, buffer, row.Offset);
            EXPECT_EQ(result, row.Result);
            ASSERT_EQ(!!buffer, row.Created);
            if (!!buffer)
            {
                EXPECT_EQ(Contents(buffer), row.Expected);
            }
        }
    }
}

TEST(StringTEncoding, ConvertToUtf16GivesTheSharedEmptyBufferForEmptyText)
{
    RCPtr<LIBuffer> buffer;
    EXPECT_EQ(String16::ConvertToCharType(buffer, static_cast<const char*>(nullptr), -1), 0);
    ASSERT_FALSE(!buffer);
    EXPECT_EQ(buffer->GetRawPtr(), static_cast<const void*>(String16::Empty.CStr()));
    buffer = LBufferT<1, 0>::Create(4, 0, true);
    EXPECT_EQ(String16::ConvertToCharType(buffer, "", 5), 0);
    EXPECT_EQ(buffer->GetRawPtr(), static_cast<const void*>(String16::Empty.CStr()));
    EXPECT_EQ(String8::ConvertToCharType(buffer, static_cast<const unsigned short*>(nullptr), 3), 0);
    EXPECT_EQ(buffer->GetRawPtr(), static_cast<const void*>(String8::Empty.CStr()));
}

TEST(StringTEncoding, ConvertsUtf8ToUtf16)
{
    struct Row
    {
        const char* Name;
        Bytes Text;
        long Count;
        int Result;
        std::vector<unsigned short> Units;
    };
    const Row rows[] = {
        {"two-byte character", {0xC3, 0xA9}, 2, 0, {0x00E9, 0}},
        {"whole text", {'a', 0xC3, 0xA9, 0, 'z'}, -1, 0, {0x61, 0xE9, 0}},
        {"count stops early", {'a', 'b', 'c'}, 2, 0, {0x61, 0x62, 0}},
        {"pair", {0xF0, 0x9F, 0x98, 0x80}, 4, 0, {0xD83D, 0xDE00, 0}},
        {"cut character", {0x41, 0xC3}, 2, RESULT_FAILED, {0x41, 0}},
        {"overlong", {0x41, 0xC0, 0x80, 0x42}, 4, RESULT_FAILED, {0x41, 0}},
    };
    for (const Row& row : rows)
    {
        RCPtr<LIBuffer> buffer;
        EXPECT_EQ(
            String16::ConvertToCharType(buffer, reinterpret_cast<const char*>(row.Text.data()), row.Count),
            row.Result)
            << row.Name;
        ASSERT_FALSE(!buffer) << row.Name;
        EXPECT_EQ(Units16(buffer), row.Units) << row.Name;
    }
}

TEST(StringTEncoding, ConvertsUtf16ToUtf8Leniently)
{
    struct Row
    {
        const char* Name;
        std::vector<unsigned short> Text;
        long Count;
        int Result;
        Bytes Bytes8;
    };
    const Row rows[] = {
        {"pair", {0xD83D, 0xDE00}, 2, 0, {0xF0, 0x9F, 0x98, 0x80, 0}},
        {"lone low surrogate", {0xDE00}, 1, 0, {0xED, 0xB8, 0x80, 0}},
        {"whole text", {0x41, 0xE9, 0, 0x42}, -1, 0, {0x41, 0xC3, 0xA9, 0}},
        {"high surrogate at the end", {0x41, 0xD83D}, 2, RESULT_FAILED, {0x41, 0}},
    };
    for (const Row& row : rows)
    {
        RCPtr<LIBuffer> buffer;
        EXPECT_EQ(String8::ConvertToCharType(buffer, row.Text.data(), row.Count), row.Result) << row.Name;
        ASSERT_FALSE(!buffer) << row.Name;
        EXPECT_EQ(Contents(buffer), row.Bytes8) << row.Name;
    }
}

TEST(StringTEncoding, ConvertsWideCharactersOneCodePointEach)
{
    // Longer than any internal staging, with a character outside the plane at
    // both ends.
    std::wstring text = L"\U0001F600";
    Bytes utf8 = {0xF0, 0x9F, 0x98, 0x80};
    std::vector<unsigned short> utf16 = {0xD83D, 0xDE00};
    for (int i = 0; i < 700; ++i)
    {
        text += (i % 2 == 0) ? L'a' : L'\u00E9';
        if (i % 2 == 0)
        {
            utf8.push_back('a');
        }
        else
        {
            utf8.insert(utf8.end(), {0xC3, 0xA9});
        }
        utf16.push_back(i % 2 == 0 ? 0x61 : 0xE9);
    }
    text += L"\U0001F600";
    utf8.insert(utf8.end(), {0xF0, 0x9F, 0x98, 0x80, 0});
    utf16.insert(utf16.end(), {0xD83D, 0xDE00, 0});

    RCPtr<LIBuffer> buffer;
    EXPECT_EQ(String8::ConvertToCharType(buffer, text.c_str(), -1), 0);
    EXPECT_EQ(Contents(buffer), utf8);
    EXPECT_EQ(String16::ConvertToCharType(buffer, text.c_str(), static_cast<long>(text.size())), 0);
    EXPECT_EQ(Units16(buffer), utf16);

    // A value past U+10FFFF becomes U+FFFD; towards UTF-8 it is reported.
    const wchar_t beyond[] = {L'a', static_cast<wchar_t>(0x110000), L'b', 0};
    EXPECT_EQ(String8::ConvertToCharType(buffer, beyond, 3), RESULT_FAILED);
    EXPECT_EQ(Contents(buffer), (Bytes{'a', 0xEF, 0xBF, 0xBD, 'b', 0}));
    EXPECT_EQ(String16::ConvertToCharType(buffer, beyond, 3), 0);
    EXPECT_EQ(Units16(buffer), (std::vector<unsigned short>{0x61, 0xFFFD, 0x62, 0}));
}

} // namespace
