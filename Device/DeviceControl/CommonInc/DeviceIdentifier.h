// The identity of one device. The object itself is the device ID, an Array
// variant of twelve Int32 (product GUID, vendor and product IDs, instance
// GUID, 48-bit location ID and 16-bit index), which the host knows the device
// by; beside it are what the library learns about the device: the name the
// user gave it, where it was last reached, and its vendor and product names.
#pragma once

#include <cstddef>
#include <cstdint>

#include "KTFramework/Utilities/Storage/StringT.h"
#include "KTFramework/Utilities/Storage/Variant.h"

namespace KT
{

class DeviceIdentifier : public Variant
{
public:
    using String = StringT<char, unsigned short>;
    using GuidBytes = unsigned char[16];

    // Elements of the device ID.
    static constexpr size_t DEVICE_ID_WORDS = 12;
    // A product GUID of the form 01 02 03 04, vendor ID, product ID, DE CA FB AD
    // carries the vendor and product IDs itself.
    static constexpr uint32_t VID_PID_GUID_HEAD = 0x04030201u;
    static constexpr uint32_t VID_PID_GUID_TAIL = 0xADFBCADEu;

    DeviceIdentifier();
    // A variant that is not a valid device ID gives the all-zero device ID.
    DeviceIdentifier(const Variant& deviceID);
    DeviceIdentifier(const DeviceIdentifier& other);
    DeviceIdentifier& operator=(const DeviceIdentifier& other);
    ~DeviceIdentifier() override;

    bool operator==(const DeviceIdentifier& other) const;
    bool operator!=(const DeviceIdentifier& other) const { return !(*this == other); }
    bool IsDeviceIDEqual(const Variant& deviceID) const;
    bool IsValid() const;
    void Init();

    const String& GetUserDefinedName() const { return mUserDefinedName; }
    void SetUserDefinedName(const String& name) { mUserDefinedName = name; }
    String GetVendorName() const { return mVendorName; }
    void SetVendorName(const String& name) { mVendorName = name; }
    String GetProductName() const { return mProductName; }
    void SetProductName(const String& name) { mProductName = name; }
    unsigned int GetCurrentNetworkAddress() const { return mCurrentNetworkAddress; }
    void SetCurrentNetworkAddress(unsigned int address) { mCurrentNetworkAddress = address; }
    unsigned int GetCurrentNetworkPort() const { return mCurrentNetworkPort; }
    void SetCurrentNetworkPort(unsigned int port) { mCurrentNetworkPort = port; }

    void GetProductGuid(GuidBytes& out) const;
    String GetProductGuidString() const;
    uint32_t GetVendorID() const;
    uint32_t GetProductID() const;
    void GetInstanceGuid(GuidBytes& out) const;
    String GetInstanceGuidString() const;
    unsigned long long GetInstanceLocationID() const;
    unsigned short GetInstanceIndex() const;
    String GetInstanceLocationIDString() const;
    String GetInstanceIndexString() const;
    bool IsRemoteDevice() const;

    void SetProductGuid(const GuidBytes& guid);
    void SetProductGuid(const String& text);
    void SetInstanceGuid(const GuidBytes& guid);
    void SetInstanceGuid(const String& text);
    void SetInstanceLocationID(unsigned long long locationID);
    void SetInstanceIndex(unsigned short index);

    // Separated: least significant byte first, bytes joined by ":"; else most
    // significant first without separators. At most 8 bytes.
    String MakeHexString(unsigned long long value, size_t byteCount, bool separated) const;
    // Reads byte pairs from the end of the text, the last pair least
    // significant; at most 8 pairs are taken.
    unsigned long long ParseHexString(const String& text, size_t byteCount, bool separated) const;

private:
    static void CheckLayout();

    using Words = int32_t[DEVICE_ID_WORDS];

    void ReadWords(Words& words) const;
    void ReadGuid(size_t firstWord, GuidBytes& out) const;
    void StoreWords(const Words& words);

    String mUserDefinedName;
    unsigned int mCurrentNetworkAddress;
    unsigned int mCurrentNetworkPort;
    String mVendorName;
    String mProductName;
};

static_assert(sizeof(DeviceIdentifier) == 88, "the host's DeviceIdentifier: the device ID, then its fields");

} // namespace KT
