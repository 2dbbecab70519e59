#include <gtest/gtest.h>

#include "velquin/Common/CrossPlatform/NetworkDiscovery/BackendChecks.h"

TEST(NetworkDiscoveryBackend, TheEmbeddedBackendFindsAnnouncedDevices)
{
    DiscoveryTest::CheckBackendAgainstPublisher(LNetworkDiscoveryClient::Backend::Embedded);
}
