#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Platform/PropertyList.h"

using namespace KT::Platform;

namespace
{

std::vector<unsigned char> Bytes(const char* text)
{
    return std::vector<unsigned char>(text, text + std::strlen(text));
}

} // namespace

TEST(PropertyList, HelperDictionariesRoundTripThroughXml)
{
    const std::vector<unsigned char> message{0x1C, 0x00, 0x00, 0x00, 0xFF, 0x00};
    const struct
    {
        const char* name;
        std::int64_t clientId;
    } rows[] = {{"minus one", -1}, {"low 32 bits", 0x7FFFFFFF}, {"most negative", INT64_MIN}, {"zero", 0}};
    for (const auto& row : rows)
    {
        Plist dictionary = Plist::NewDictionary();
        ASSERT_TRUE(dictionary.SetItem("DeviceIDKey", Plist::NewString("helper-device-7")));
        ASSERT_TRUE(dictionary.SetItem("ClientIDKey", Plist::NewInteger(row.clientId)));
        ASSERT_TRUE(dictionary.SetItem("ParameterDataKey", Plist::NewData(message.data(), message.size())));
        std::vector<unsigned char> xml;
        ASSERT_TRUE(dictionary.ToXml(xml));
        const std::string text(xml.begin(), xml.end());
        EXPECT_NE(text.find("<?xml"), std::string::npos) << row.name;
        EXPECT_NE(text.find("<integer>" + std::to_string(row.clientId) + "</integer>"), std::string::npos)
            << row.name << ": " << text;

        const Plist back = Plist::FromBytes(xml);
        ASSERT_EQ(back.GetType(), PlistType::Dictionary) << row.name;
        std::string deviceId;
        std::int64_t clientId = 0;
        std::vector<unsigned char> data;
        EXPECT_TRUE(back.GetRoot().GetDictionaryItem("DeviceIDKey").GetString(deviceId)) << row.name;
        EXPECT_TRUE(back.GetRoot().GetDictionaryItem("ClientIDKey").GetInteger(clientId)) << row.name;
        EXPECT_TRUE(back.GetRoot().GetDictionaryItem("ParameterDataKey").GetData(data)) << row.name;
        EXPECT_EQ(deviceId, "helper-device-7") << row.name;
        EXPECT_EQ(clientId, row.clientId) << row.name;
        EXPECT_EQ(data, message) << row.name;
    }
}

TEST(PropertyList, ReadsTheXmlThatAnotherWriterProduced)
{
    const Plist list = Plist::FromBytes(Bytes(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist "
        "version=\"1.0\"><array><data>AQID</data><string>id</string><integer>-1</integer><true/></array>"
        "</plist>\n"));
    ASSERT_EQ(list.GetType(), PlistType::Array);
    ASSERT_EQ(list.GetRoot().GetArraySize(), 4u);
    std::vector<unsigned char> data;
    std::string text;
    std::int64_t number = 0;
    bool flag = false;
    EXPECT_TRUE(list.GetRoot().GetArrayItem(0).GetData(data));
    EXPECT_EQ(data, (std::vector<unsigned char>{1, 2, 3}));
    EXPECT_TRUE(list.GetRoot().GetArrayItem(1).GetString(text));
    EXPECT_EQ(text, "id");
    EXPECT_TRUE(list.GetRoot().GetArrayItem(2).GetInteger(number));
    EXPECT_EQ(number, -1);
    EXPECT_TRUE(list.GetRoot().GetArrayItem(3).GetBool(flag));
    EXPECT_TRUE(flag);
    EXPECT_FALSE(list.GetRoot().GetArrayItem(4)) << "past the end";
    EXPECT_FALSE(list.GetRoot().GetArrayItem(1).GetData(data)) << "a string is no data";
    EXPECT_FALSE(list.GetRoot().GetDictionaryItem("x")) << "an array has no keys";
}

TEST(PropertyList, ReadsBinaryInput)
{
    // {"DeviceIDKey": "x"} in the binary format: three objects, one-byte
    // offsets and references.
    const std::vector<unsigned char> binary{
        'b',  'p',  'l',  'i', 's', 't', '0',  '0',                                  // header
        0xD1, 0x01, 0x02,                                                            // dict, 1 pair
        0x5B, 'D',  'e',  'v', 'i', 'c', 'e',  'I',  'D', 'K', 'e', 'y',             // key
        0x51, 'x',                                                                   // value
        0x08, 0x0B, 0x17,                                                            // offset table
        0,    0,    0,    0,   0,   0,   0x01, 0x01,                                 // trailer: sizes
        0,    0,    0,    0,   0,   0,   0,    3,    0,   0,   0,   0,   0, 0, 0, 0, // objects, top
        0,    0,    0,    0,   0,   0,   0,    0x19};                                // table offset
    const Plist list = Plist::FromBytes(binary);
    ASSERT_EQ(list.GetType(), PlistType::Dictionary);
    std::string value;
    EXPECT_TRUE(list.GetRoot().GetDictionaryItem("DeviceIDKey").GetString(value));
    EXPECT_EQ(value, "x");
}

TEST(PropertyList, MalformedInputGivesNull)
{
    const struct
    {
        const char* name;
        std::vector<unsigned char> bytes;
    } rows[] = {
        {"empty", {}},
        {"garbage", Bytes("not a property list")},
        {"cut XML", Bytes("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>")},
        {"unclosed tag", Bytes("<plist version=\"1.0\"><string>open</plist>")},
        {"binary header only", Bytes("bplist00")},
        {"binary with a bad trailer", Bytes("bplist00\xD1\x01\x02xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx")},
    };
    for (const auto& row : rows)
    {
        EXPECT_TRUE(Plist::FromBytes(row.bytes).IsNull()) << row.name;
    }
}

TEST(PropertyList, BuildersRefuseTheWrongContainer)
{
    Plist array = Plist::NewArray();
    Plist dictionary = Plist::NewDictionary();
    Plist item = Plist::NewBool(true);
    EXPECT_FALSE(array.SetItem("k", std::move(item)));
    EXPECT_FALSE(item.IsNull()) << "a refused value stays with its owner";
    EXPECT_FALSE(dictionary.Append(std::move(item)));
    EXPECT_TRUE(array.Append(std::move(item)));
    EXPECT_TRUE(item.IsNull());
    EXPECT_FALSE(array.Append(Plist())) << "a null value";
    std::vector<unsigned char> xml;
    EXPECT_FALSE(Plist().ToXml(xml));
}
