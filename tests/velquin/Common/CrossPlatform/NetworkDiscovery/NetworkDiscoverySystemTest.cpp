#include <gtest/gtest.h>

#include "Platform/DnsServiceBrowser.h"
#include "support/SystemMdnsDaemon.h"
#include "velquin/Common/CrossPlatform/NetworkDiscovery/BackendChecks.h"

namespace
{

class NoClient final : public KT::Platform::IDnsServiceBrowserClient
{
public:
    void ServiceAdded(const KT::Platform::DnsService&) override {}
    void ServiceRemoved(const KT::Platform::DnsService&) override {}
    void ServiceResolved(std::uint64_t, const KT::Platform::DnsResolvedService&) override {}
    void ResolveFailed(std::uint64_t) override {}
};

} // namespace

// The test starts the daemons itself and runs alone (CTest RUN_SERIAL): they
// listen on lo only and stop with the test.
TEST(NetworkDiscoverySystem, TheSystemBackendFindsAnnouncedDevicesThroughTheDaemon)
{
    MdnsTest::SystemMdnsDaemon daemon;
    if (!daemon.Start())
    {
        if (daemon.IsUnavailable())
        {
            GTEST_SKIP() << daemon.GetError();
        }
        FAIL() << daemon.GetError();
    }
    {
        // The daemon may serve more interfaces than the environment names:
        // the browse keeps to those named.
        std::unique_ptr<KT::Platform::DnsServiceBrowser> browser =
            KT::Platform::DnsServiceBrowser::Create(KT::Platform::DnsServiceBrowser::Backend::System);
        ASSERT_TRUE(browser);
        NoClient client;
        browser->Lock();
        EXPECT_TRUE(browser->Browse(LNetworkDiscoveryClient::kServiceType, client));
        EXPECT_EQ(browser->GetInterfaces(), std::vector<std::string>{"lo"});
        browser->Unlock();
    }
    DiscoveryTest::CheckBackendAgainstPublisher(LNetworkDiscoveryClient::Backend::System);
}
