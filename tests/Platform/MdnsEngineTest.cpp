#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Platform/DnsServiceBrowser.h"
#include "Platform/MdnsResponder.h"
#include "Platform/MdnsSettings.h"

namespace
{

// The interfaces that have joined the mDNS group (224.0.0.251, FB0000E0 in
// the kernel's table) on this host, from /proc/net/igmp.
std::vector<std::string> InterfacesInMdnsGroup()
{
    std::ifstream igmp("/proc/net/igmp");
    std::vector<std::string> names;
    std::string line;
    std::string device;
    while (std::getline(igmp, line))
    {
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (!line.empty() && line[0] != '\t' && line[0] != ' ' && first != "Idx")
        {
            words >> device;
        }
        else if (first == "FB0000E0")
        {
            names.push_back(device);
        }
    }
    return names;
}

} // namespace

// Every engine of the library keeps to the interfaces the environment names:
// with lo, the engines list lo alone and no other interface of this host joins
// the mDNS group while they run.
TEST(MdnsEngine, EveryEngineUsesExactlyTheInterfacesNamed)
{
    ASSERT_STREQ(std::getenv(KT::Platform::kMdnsInterfacesVariable), "lo") << "CTest sets it for every test";
    std::unique_ptr<KT::Platform::DnsServiceBrowser> browser =
        KT::Platform::DnsServiceBrowser::Create(KT::Platform::DnsServiceBrowser::Backend::Embedded);
    std::unique_ptr<KT::Platform::MdnsResponder> responder = KT::Platform::MdnsResponder::Create(16);
    ASSERT_TRUE(browser);
    ASSERT_TRUE(responder);
    // The engines take in the interface list as their loops run.
    std::vector<std::string> browsing;
    std::vector<std::string> responding;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(10000);
    while ((browsing.empty() || responding.empty()) && std::chrono::steady_clock::now() < deadline)
    {
        browser->Lock();
        browser->RunOnce();
        browsing = browser->GetInterfaces();
        browser->Unlock();
        responder->Lock();
        responder->RunOnce();
        responding = responder->GetInterfaces();
        responder->Unlock();
    }
    EXPECT_EQ(browsing, std::vector<std::string>{"lo"});
    EXPECT_EQ(responding, std::vector<std::string>{"lo"});
    for (const std::string& name : InterfacesInMdnsGroup())
    {
        EXPECT_EQ(name, "lo");
    }
}

TEST(MdnsEngine, TheEngineWritesNoLog)
{
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    char path[] = "/tmp/velquin-mdns-log-XXXXXX";
    const int captured = mkstemp(path);
    ASSERT_GE(captured, 0);
    dup2(captured, STDERR_FILENO);
    {
        std::unique_ptr<KT::Platform::MdnsResponder> responder = KT::Platform::MdnsResponder::Create(0);
        ASSERT_TRUE(responder);
        responder->Lock();
        for (int pass = 0; pass < 5; ++pass)
        {
            responder->RunOnce();
        }
        responder->Unlock();
    }
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    const off_t written = lseek(captured, 0, SEEK_END);
    close(captured);
    unlink(path);
    EXPECT_EQ(written, 0);
}

TEST(MdnsSettings, ParsesTheInterfaceList)
{
    struct Row
    {
        const char* text;
        bool restricted;
        std::vector<std::string> names;
    } rows[] = {
        {nullptr, false, {}}, {"lo", true, {"lo"}}, {" lo , eth1,,lo ", true, {"lo", "eth1"}},
        {"", true, {}},       {" , ", true, {}},
    };
    for (const Row& row : rows)
    {
        const KT::Platform::MdnsInterfaceChoice choice = KT::Platform::ParseMdnsInterfaces(row.text);
        EXPECT_EQ(choice.restricted, row.restricted) << (row.text ? row.text : "(unset)");
        EXPECT_EQ(choice.names, row.names) << (row.text ? row.text : "(unset)");
    }
}
