// A distributed notification's datagram as an observer receives it
// (DistributedNotificationCenter::ReadDatagram): "VQNT", the name and the user
// info, a property list in any format the plist library reads.
//
// Properties: a datagram that is read and has a name is written again (as
// Post writes it) and read back with the same name, and with user info whose
// XML form is the same, or none when none was read.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Platform/DistributedNotificationCenter.h"
#include "fuzz/FuzzCheck.h"

using KT::Platform::DistributedNotificationCenter;
using KT::Platform::Plist;

// The magic and the two lengths.
constexpr std::size_t kFixedBytes = 12;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string name;
    Plist info;
    if (!DistributedNotificationCenter::ReadDatagram(data, size, name, info) || name.empty())
    {
        return 0;
    }
    std::vector<unsigned char> infoXml;
    const bool hasInfo = info.ToXml(infoXml);
    FUZZ_CHECK(hasInfo == !info.IsNull());

    std::vector<unsigned char> datagram;
    const bool fits = kFixedBytes + name.size() + infoXml.size() <= KT::Platform::kMaxNotificationSize;
    FUZZ_CHECK(DistributedNotificationCenter::WriteDatagram(name, hasInfo ? &info : nullptr, datagram) ==
               fits);
    if (!fits)
    {
        return 0; // user info read in a denser format than the XML that Post writes
    }
    std::string nameAgain;
    Plist infoAgain;
    FUZZ_CHECK(
        DistributedNotificationCenter::ReadDatagram(datagram.data(), datagram.size(), nameAgain, infoAgain));
    FUZZ_CHECK(nameAgain == name);
    FUZZ_CHECK(infoAgain.IsNull() == !hasInfo);
    if (hasInfo)
    {
        std::vector<unsigned char> xmlAgain;
        FUZZ_CHECK(infoAgain.ToXml(xmlAgain) && xmlAgain == infoXml);
    }
    return 0;
}
