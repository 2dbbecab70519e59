// An announced device's TXT record, as the discovery client reads it
// (LNetworkDiscoveryClient::LDiscoveredDevice::ParseTXTRecords): entries of a
// length byte and a key=value text, anything else skipped or ending the read.
//
// Properties: the read stays within the record (the sanitizers watch), the
// identifier it fills holds a valid device ID, and a second read of the same
// bytes gives the same identifier.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzCheck.h"
#include "velquin/Common/CrossPlatform/NetworkDiscovery/NetworkDiscoveryClient.h"

namespace
{

KT::DeviceIdentifier Parse(const std::uint8_t* data, std::size_t size)
{
    KT::RCPtr<LNetworkDiscoveryClient::LDiscoveredDevice> device =
        LNetworkDiscoveryClient::LDiscoveredDevice::Create(KT::Platform::DnsService());
    device->ParseTXTRecords(static_cast<unsigned>(size), data);
    return device->GetDiscoveredDeviceIdentifier();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 0xFFFF)
    {
        return 0;
    }
    const KT::DeviceIdentifier first = Parse(data, size);
    FUZZ_CHECK(first.IsValid());
    FUZZ_CHECK(first == Parse(data, size));
    return 0;
}
