// What the discovery tests share: TXT records in their wire form, the product
// GUIDs they announce, and bounded waits on a client's list.
#pragma once

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "velquin/Common/CrossPlatform/NetworkDiscovery/NetworkDiscoveryClient.h"

namespace DiscoveryTest
{

constexpr std::chrono::milliseconds kBound{10000};

// Two products: the first is in the filters of the clients under test.
inline constexpr const char* kProductGuid = "0102030405060708090A0B0C0D0E0F10";
inline constexpr const char* kProductGuidLowercase = "0102030405060708090a0b0c0d0e0f10";
inline constexpr const char* kOtherProductGuid = "F0E0D0C0B0A090807060504030201000";

// Length byte, then the entry's bytes, for each entry.
inline std::vector<unsigned char> Wire(const std::vector<std::string>& entries)
{
    std::vector<unsigned char> wire;
    for (const std::string& entry : entries)
    {
        wire.push_back(static_cast<unsigned char>(entry.size()));
        wire.insert(wire.end(), entry.begin(), entry.end());
    }
    return wire;
}

// A 48-bit instance location no other test process uses at the same time,
// and its TXT text: six hexadecimal pairs, least significant first.
struct UniqueLocation
{
    UniqueLocation()
    {
        static std::atomic<unsigned> counter{0};
        value =
            ((static_cast<unsigned long long>(getpid()) << 16) | (++counter & 0xFFFF)) & 0xFFFFFFFFFFFFull;
        static constexpr char kDigits[] = "0123456789abcdef";
        for (int i = 0; i < 6; ++i)
        {
            const unsigned byte = static_cast<unsigned>(value >> (8 * i)) & 0xFF;
            text += i > 0 ? ":" : "";
            text += kDigits[byte >> 4];
            text += kDigits[byte & 0xF];
        }
    }

    unsigned long long value;
    std::string text;
};

inline LNetworkDiscoveryClient::ProductFilter Filter(const char* productGuid)
{
    LNetworkDiscoveryClient::ProductFilter filter;
    static_cast<void>(filter.AppendItem(KT::DeviceIdentifier::String(productGuid)));
    return filter;
}

inline std::vector<KT::DeviceIdentifier> List(LNetworkDiscoveryClient& client)
{
    KT::Array<KT::DeviceIdentifier> list;
    client.GetDiscoveryList(list);
    std::vector<KT::DeviceIdentifier> out;
    for (std::size_t i = 0; i < static_cast<std::size_t>(list.GetCount()); ++i)
    {
        out.push_back(list[i]);
    }
    return out;
}

// Waits (checking every few milliseconds, at most kBound) until the client's
// list satisfies done.
inline bool WaitForList(LNetworkDiscoveryClient& client,
                        const std::function<bool(const std::vector<KT::DeviceIdentifier>&)>& done)
{
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (!done(List(client)))
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

inline bool Named(const std::vector<KT::DeviceIdentifier>& list, const std::string& name,
                  std::size_t count = 1)
{
    std::size_t found = 0;
    for (const KT::DeviceIdentifier& identifier : list)
    {
        found += std::string(identifier.GetUserDefinedName().CStr()) == name ? 1 : 0;
    }
    return found == count;
}

} // namespace DiscoveryTest
