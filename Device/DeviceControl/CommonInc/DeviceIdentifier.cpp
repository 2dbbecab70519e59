#include "DeviceControl/CommonInc/DeviceIdentifier.h"

#include <cstring>
#include <string>

#include "KTFramework/Utilities/Storage/GUID.h"

namespace KT
{

namespace
{

constexpr size_t PRODUCT_GUID_WORD = 0;
constexpr size_t VENDOR_ID_WORD = 4;
constexpr size_t PRODUCT_ID_WORD = 5;
constexpr size_t INSTANCE_GUID_WORD = 6;
constexpr size_t LOCATION_LOW_WORD = 10;
constexpr size_t LOCATION_HIGH_AND_INDEX_WORD = 11;
constexpr unsigned long long LOCATION_MASK = 0xFFFFFFFFFFFFull;
constexpr size_t MAX_HEX_BYTES = 8;

void GuidToWords(const unsigned char (&guid)[16], int32_t* words)
{
    for (size_t w = 0; w < 4; ++w)
    {
        const unsigned char* p = guid + 4 * w;
        words[w] =
            static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                                 (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24));
    }
}

void WordsToGuid(const int32_t* words, unsigned char (&guid)[16])
{
    for (size_t w = 0; w < 4; ++w)
    {
        const uint32_t word = static_cast<uint32_t>(words[w]);
        for (size_t b = 0; b < 4; ++b)
        {
            guid[4 * w + b] = static_cast<unsigned char>(word >> (8 * b));
        }
    }
}

unsigned long long LocationOf(const int32_t* words)
{
    return static_cast<unsigned long long>(static_cast<uint32_t>(words[LOCATION_LOW_WORD])) |
           (static_cast<unsigned long long>(static_cast<uint32_t>(words[LOCATION_HIGH_AND_INDEX_WORD]) >> 16)
            << 32);
}

unsigned short IndexOf(const int32_t* words)
{
    return static_cast<unsigned short>(static_cast<uint32_t>(words[LOCATION_HIGH_AND_INDEX_WORD]));
}

void StoreLocation(int32_t* words, unsigned long long location, unsigned short index)
{
    words[LOCATION_LOW_WORD] = static_cast<int32_t>(static_cast<uint32_t>(location));
    words[LOCATION_HIGH_AND_INDEX_WORD] =
        static_cast<int32_t>((static_cast<uint32_t>((location >> 32) & 0xFFFF) << 16) | index);
}

// A location-derived instance GUID: bytes 0-7 zero, bytes 8-13 the location
// and bytes 14-15 the index, each most significant byte first.
void MakeLocationGuid(unsigned long long location, unsigned short index, unsigned char (&guid)[16])
{
    std::memset(guid, 0, sizeof(guid));
    for (size_t i = 0; i < 6; ++i)
    {
        guid[8 + i] = static_cast<unsigned char>(location >> (8 * (5 - i)));
    }
    guid[14] = static_cast<unsigned char>(index >> 8);
    guid[15] = static_cast<unsigned char>(index);
}

bool HasZeroHead(const unsigned char (&guid)[16])
{
    for (size_t i = 0; i < 8; ++i)
    {
        if (guid[i] != 0)
        {
            return false;
        }
    }
    return true;
}

bool MatchesLocation(const unsigned char (&guid)[16], unsigned long long location, unsigned short index)
{
    unsigned char expected[16];
    MakeLocationGuid(location, index, expected);
    return std::memcmp(guid, expected, sizeof(expected)) == 0;
}

// Stores a new location and index. An instance GUID derived from the old ones
// follows them: it is derived again from the new ones.
void MoveLocation(int32_t* words, unsigned long long location, unsigned short index)
{
    unsigned char guid[16];
    WordsToGuid(words + INSTANCE_GUID_WORD, guid);
    if (MatchesLocation(guid, LocationOf(words), IndexOf(words)))
    {
        MakeLocationGuid(location, index, guid);
        GuidToWords(guid, words + INSTANCE_GUID_WORD);
    }
    StoreLocation(words, location, index);
}

// A product GUID of the vendor-and-product form carries both IDs in its
// middle words; any other keeps them in words of their own.
uint32_t CarriedID(const int32_t* words, size_t wordInGuid, size_t ownWord)
{
    const int32_t* guid = words + PRODUCT_GUID_WORD;
    const bool carried = static_cast<uint32_t>(guid[0]) == DeviceIdentifier::VID_PID_GUID_HEAD &&
                         static_cast<uint32_t>(guid[3]) == DeviceIdentifier::VID_PID_GUID_TAIL;
    return static_cast<uint32_t>(carried ? guid[wordInGuid] : words[ownWord]);
}

DeviceIdentifier::String GuidString(const unsigned char (&guid)[16])
{
    return DeviceIdentifier::String(UUIDToSTLString(guid).c_str());
}

} // namespace

void DeviceIdentifier::CheckLayout()
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
    static_assert(offsetof(DeviceIdentifier, mUserDefinedName) == 32, "fields follow the device ID");
    static_assert(offsetof(DeviceIdentifier, mCurrentNetworkAddress) == 48, "address after the name");
    static_assert(offsetof(DeviceIdentifier, mCurrentNetworkPort) == 52, "port after the address");
    static_assert(offsetof(DeviceIdentifier, mVendorName) == 56, "vendor name after the port");
    static_assert(offsetof(DeviceIdentifier, mProductName) == 72, "product name last");
#pragma GCC diagnostic pop
}

DeviceIdentifier::DeviceIdentifier() : mCurrentNetworkAddress(0), mCurrentNetworkPort(0)
{
    Init();
}

DeviceIdentifier::DeviceIdentifier(const Variant& deviceID)
    : Variant(deviceID), mCurrentNetworkAddress(0), mCurrentNetworkPort(0)
{
    if (!IsValid())
    {
        Init();
    }
}

DeviceIdentifier::DeviceIdentifier(const DeviceIdentifier& other)
    : Variant(other), mUserDefinedName(other.mUserDefinedName),
      mCurrentNetworkAddress(other.mCurrentNetworkAddress), mCurrentNetworkPort(other.mCurrentNetworkPort),
      mVendorName(other.mVendorName), mProductName(other.mProductName)
{
}

DeviceIdentifier& DeviceIdentifier::operator=(const DeviceIdentifier& other)
{
    Variant::Set(other);
    mUserDefinedName = other.mUserDefinedName;
    mCurrentNetworkAddress = other.mCurrentNetworkAddress;
    mCurrentNetworkPort = other.mCurrentNetworkPort;
    mVendorName = other.mVendorName;
    mProductName = other.mProductName;
    return *this;
}

DeviceIdentifier::~DeviceIdentifier() = default;

bool DeviceIdentifier::operator==(const DeviceIdentifier& other) const
{
    return Variant::operator==(other) && mUserDefinedName == other.mUserDefinedName &&
           mCurrentNetworkAddress == other.mCurrentNetworkAddress &&
           mCurrentNetworkPort == other.mCurrentNetworkPort && mVendorName == other.mVendorName &&
           mProductName == other.mProductName;
}

bool DeviceIdentifier::IsDeviceIDEqual(const Variant& deviceID) const
{
    return Variant::operator==(deviceID);
}

bool DeviceIdentifier::IsValid() const
{
    if (GetType() != TYPE_ARRAY || GetArrayLength() != DEVICE_ID_WORDS)
    {
        return false;
    }
    Variant element;
    for (size_t i = 0; i < DEVICE_ID_WORDS; ++i)
    {
        if (GetArrayElement(i, element) != 0 || element.GetType() != TYPE_INT32)
        {
            return false;
        }
    }
    return true;
}

void DeviceIdentifier::Init()
{
    const Words zeros = {};
    StoreWords(zeros);
}

// A missing element reads as 0, one of another kind through GetInt32.
void DeviceIdentifier::ReadWords(Words& words) const
{
    Variant element;
    for (size_t i = 0; i < DEVICE_ID_WORDS; ++i)
    {
        static_cast<void>(GetArrayElement(i, element)); // left Empty when missing
        words[i] = element.GetInt32();
    }
}

void DeviceIdentifier::StoreWords(const Words& words)
{
    Variant elements[DEVICE_ID_WORDS];
    for (size_t i = 0; i < DEVICE_ID_WORDS; ++i)
    {
        elements[i].Set(static_cast<int>(words[i]));
    }
    SetArray(elements, DEVICE_ID_WORDS);
}

void DeviceIdentifier::ReadGuid(size_t firstWord, GuidBytes& out) const
{
    Words words;
    ReadWords(words);
    WordsToGuid(words + firstWord, out);
}

void DeviceIdentifier::GetProductGuid(GuidBytes& out) const
{
    ReadGuid(PRODUCT_GUID_WORD, out);
}

DeviceIdentifier::String DeviceIdentifier::GetProductGuidString() const
{
    GuidBytes guid;
    GetProductGuid(guid);
    return GuidString(guid);
}

uint32_t DeviceIdentifier::GetVendorID() const
{
    Words words;
    ReadWords(words);
    return CarriedID(words, 1, VENDOR_ID_WORD);
}

uint32_t DeviceIdentifier::GetProductID() const
{
    Words words;
    ReadWords(words);
    return CarriedID(words, 2, PRODUCT_ID_WORD);
}

void DeviceIdentifier::GetInstanceGuid(GuidBytes& out) const
{
    ReadGuid(INSTANCE_GUID_WORD, out);
}

DeviceIdentifier::String DeviceIdentifier::GetInstanceGuidString() const
{
    GuidBytes guid;
    GetInstanceGuid(guid);
    return GuidString(guid);
}

unsigned long long DeviceIdentifier::GetInstanceLocationID() const
{
    Words words;
    ReadWords(words);
    return LocationOf(words);
}

unsigned short DeviceIdentifier::GetInstanceIndex() const
{
    Words words;
    ReadWords(words);
    return IndexOf(words);
}

DeviceIdentifier::String DeviceIdentifier::GetInstanceLocationIDString() const
{
    return MakeHexString(GetInstanceLocationID(), 6, true);
}

DeviceIdentifier::String DeviceIdentifier::GetInstanceIndexString() const
{
    return MakeHexString(GetInstanceIndex(), 2, false);
}

bool DeviceIdentifier::IsRemoteDevice() const
{
    return GetInstanceLocationID() != 0;
}

void DeviceIdentifier::SetProductGuid(const GuidBytes& guid)
{
    Words words;
    ReadWords(words);
    GuidToWords(guid, words + PRODUCT_GUID_WORD);
    words[VENDOR_ID_WORD] = 0;
    words[PRODUCT_ID_WORD] = 0;
    StoreWords(words);
}

void DeviceIdentifier::SetProductGuid(const String& text)
{
    unsigned char guid[16];
    UUIDFromHexString(text, guid);
    SetProductGuid(guid);
}

void DeviceIdentifier::SetInstanceGuid(const GuidBytes& guid)
{
    Words words;
    ReadWords(words);
    const bool locationUnset = words[LOCATION_LOW_WORD] == 0 && words[LOCATION_HIGH_AND_INDEX_WORD] == 0;
    GuidToWords(guid, words + INSTANCE_GUID_WORD);
    if (HasZeroHead(guid) && locationUnset)
    {
        unsigned long long location = 0;
        for (size_t i = 8; i < 14; ++i)
        {
            location = (location << 8) | guid[i];
        }
        const unsigned short index = static_cast<unsigned short>((guid[14] << 8) | guid[15]);
        StoreLocation(words, location, index);
    }
    StoreWords(words);
}

void DeviceIdentifier::SetInstanceGuid(const String& text)
{
    unsigned char guid[16];
    UUIDFromHexString(text, guid);
    SetInstanceGuid(guid);
}

void DeviceIdentifier::SetInstanceLocationID(unsigned long long locationID)
{
    Words words;
    ReadWords(words);
    MoveLocation(words, locationID & LOCATION_MASK, IndexOf(words));
    StoreWords(words);
}

void DeviceIdentifier::SetInstanceIndex(unsigned short index)
{
    Words words;
    ReadWords(words);
    MoveLocation(words, LocationOf(words), index);
    StoreWords(words);
}

DeviceIdentifier::String DeviceIdentifier::MakeHexString(unsigned long long value, size_t byteCount,
                                                         bool separated) const
{
    const size_t count = byteCount < MAX_HEX_BYTES ? byteCount : MAX_HEX_BYTES;
    std::string text;
    for (size_t n = 0; n < count; ++n)
    {
        const size_t byteIndex = separated ? n : count - 1 - n;
        const unsigned int byte = static_cast<unsigned int>((value >> (8 * byteIndex)) & 0xFF);
        if (separated && n > 0)
        {
            text += ':';
        }
        text += GUIDText::HexDigit(byte >> 4);
        text += GUIDText::HexDigit(byte);
    }
    return String(text.c_str());
}

// The byte count is not consulted: the text's own length decides. Pairs past
// the eighth from the end would shift beyond 64 bits and are not read.
unsigned long long DeviceIdentifier::ParseHexString(const String& text, size_t, bool separated) const
{
    const char* chars = text.CStr();
    const long long length = static_cast<long long>(text.GetLength());
    unsigned long long result = 0;
    long long position = length - 1;
    for (size_t k = 0; position > 0 && k < MAX_HEX_BYTES; ++k)
    {
        const unsigned int byte =
            (static_cast<unsigned int>(GUIDText::HexDigitValue(chars[position - 1])) << 4) |
            GUIDText::HexDigitValue(chars[position]);
        result |= static_cast<unsigned long long>(byte) << (8 * k);
        position -= separated ? 3 : 2;
    }
    return result;
}

} // namespace KT
