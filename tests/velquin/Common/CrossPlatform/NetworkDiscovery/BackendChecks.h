// What every DNS-SD backend must show against devices announced on lo by the
// test publisher: listing with every field, other products never, the TXT
// order kept, a withdrawal removing the device and ReResolve bringing it back,
// and no descriptor of the search left open across an exec.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "support/MdnsPublisher.h"
#include "velquin/Common/CrossPlatform/NetworkDiscovery/DiscoveryTestSupport.h"

namespace DiscoveryTest
{

// The open descriptors that a process started now would inherit (that of the
// directory read is closed when checked: its F_GETFD fails).
inline std::set<int> Inheritable()
{
    std::set<int> inheritable;
    for (const std::filesystem::directory_entry& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    {
        const int descriptor = std::stoi(entry.path().filename().string());
        if ((fcntl(descriptor, F_GETFD) & FD_CLOEXEC) == 0)
        {
            inheritable.insert(descriptor);
        }
    }
    return inheritable;
}

inline void CheckBackendAgainstPublisher(LNetworkDiscoveryClient::Backend backend)
{
    MdnsTest::MdnsPublisher ours;
    MdnsTest::MdnsPublisher theirs;
    ASSERT_TRUE(ours.IsRunning());
    ASSERT_TRUE(theirs.IsRunning());
    const std::string name = MdnsTest::UniqueName("Studio");
    // A device ID of its own, so that devices other test processes announce
    // at the same time never match it.
    const UniqueLocation location;
    const std::string otherName = MdnsTest::UniqueName("Other");

    MdnsTest::MdnsPublisher::Service other;
    other.port = 51007;
    other.txt = {"device-name=" + otherName, std::string("device-product-guid=") + kOtherProductGuid};
    ASSERT_FALSE(theirs.Publish(other).empty());

    const std::set<int> inheritable = Inheritable();
    KT::RCPtr<LNetworkDiscoveryClient> client =
        LNetworkDiscoveryClient::Create(Filter(kProductGuid), backend);
    KT::RCPtr<LNetworkDiscoveryClient> otherClient =
        LNetworkDiscoveryClient::Create(Filter(kOtherProductGuid), backend);
    ASSERT_TRUE(!!client);
    ASSERT_TRUE(!!otherClient);

    MdnsTest::MdnsPublisher::Service service;
    service.port = 51003;
    service.txt = {"device-name=" + name,        std::string("device-product-guid=") + kProductGuidLowercase,
                   "device-vendor-id=First",     "device-instance-location=" + location.text,
                   "device-instance-index=0007", "device-product-id=Desk",
                   "device-vendor-id=Second"};
    ASSERT_FALSE(ours.Publish(service).empty());

    ASSERT_TRUE(WaitForList(*client, [&](const auto& list) { return Named(list, name); }));
    ASSERT_TRUE(WaitForList(*otherClient, [&](const auto& list) { return Named(list, otherName); }));
    EXPECT_EQ(Inheritable(), inheritable) << "a started process would inherit descriptors of the search";
    std::vector<KT::DeviceIdentifier> list = List(*client);
    EXPECT_FALSE(Named(list, otherName)) << "another product is never listed";
    const KT::DeviceIdentifier* found = nullptr;
    for (const KT::DeviceIdentifier& identifier : list)
    {
        found = std::string(identifier.GetUserDefinedName().CStr()) == name ? &identifier : found;
    }
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::string(found->GetProductGuidString().CStr()), kProductGuid);
    EXPECT_EQ(found->GetInstanceLocationID(), location.value);
    EXPECT_EQ(found->GetInstanceIndex(), 7);
    EXPECT_EQ(found->GetCurrentNetworkAddress(), 0x7F000002u);
    EXPECT_EQ(found->GetCurrentNetworkPort(), 51003u);
    EXPECT_EQ(std::string(found->GetVendorName().CStr()), "Second") << "the TXT order is kept";
    EXPECT_EQ(std::string(found->GetProductName().CStr()), "Desk");

    const KT::DeviceIdentifier announced = *found;
    // Resolved again, from the engine's cache as soon as it likes: it may be
    // back before the list is read.
    client->ReResolve(announced);
    EXPECT_TRUE(WaitForList(*client, [&](const auto& now) { return Named(now, name); }));

    ours.Withdraw();
    EXPECT_TRUE(WaitForList(*client, [&](const auto& now) { return Named(now, name, 0); }));
    EXPECT_TRUE(Named(List(*otherClient), otherName));
}

} // namespace DiscoveryTest
