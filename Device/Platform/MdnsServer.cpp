#include "Platform/MdnsServer.h"

#include <avahi-common/alternative.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-core/core.h>

#include <algorithm>
#include <cstring>

#include "Platform/MdnsSettings.h"

namespace KT::Platform
{

namespace
{

// The engine's dump names each interface it uses in a line
// ";;; INTERFACE <name>.<protocol> ;;;".
void CollectInterface(const char* line, void* argument)
{
    static constexpr char kHead[] = ";;; INTERFACE ";
    static constexpr char kTail[] = " ;;;";
    auto* names = static_cast<std::vector<std::string>*>(argument);
    const std::string text(line);
    if (text.compare(0, sizeof(kHead) - 1, kHead) != 0 || text.size() < sizeof(kHead) - 1 + sizeof(kTail) - 1)
    {
        return;
    }
    std::string name =
        text.substr(sizeof(kHead) - 1, text.size() - (sizeof(kHead) - 1) - (sizeof(kTail) - 1));
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos)
    {
        name.erase(dot);
    }
    if (std::find(names->begin(), names->end(), name) == names->end())
    {
        names->push_back(name);
    }
}

} // namespace

// Called by the engine, also from within avahi_server_new, with the loop's
// lock held.
void MdnsServer::OnState(AvahiServer* server, int state, void* argument)
{
    const auto* self = static_cast<const MdnsServer*>(argument);
    if (state != AVAHI_SERVER_COLLISION || self->mExiting)
    {
        return;
    }
    char* alternative = avahi_alternative_host_name(avahi_server_get_host_name(server));
    if (alternative != nullptr)
    {
        // A failure leaves the engine in its collision state, announcing
        // nothing; there is no better name to try.
        static_cast<void>(avahi_server_set_host_name(server, alternative));
        avahi_free(alternative);
    }
}

std::unique_ptr<MdnsServer> MdnsServer::Create(MdnsEventLoop& loop, const Options& options)
{
    const MdnsInterfaceChoice interfaces = ReadMdnsInterfaces();
    if (interfaces.restricted && interfaces.names.empty())
    {
        return nullptr;
    }
    RouteMdnsLogAway();

    AvahiServerConfig config;
    avahi_server_config_init(&config);
    config.use_ipv4 = 1;
    config.use_ipv6 = 0;
    for (const std::string& name : interfaces.names)
    {
        config.allow_interfaces = avahi_string_list_add(config.allow_interfaces, name.c_str());
    }
    config.publish_addresses = options.publishAddresses ? 1 : 0;
    config.publish_hinfo = 0;
    config.publish_workstation = 0;
    config.publish_domain = 0;
    config.publish_aaaa_on_ipv4 = 0;
    config.publish_a_on_ipv6 = 0;
    config.disable_publishing = options.disablePublishing ? 1 : 0;
    config.enable_wide_area = 0;
    config.n_wide_area_servers = 0;
    config.enable_reflector = 0;
    config.add_service_cookie = 0;
    config.disallow_other_stacks = 0;
    if (options.boundedCache)
    {
        config.n_cache_entries_max = options.cacheEntries;
    }

    std::unique_ptr<MdnsServer> server(new MdnsServer());
    int error = 0;
    server->mServer = avahi_server_new(
        loop.GetPollApi(), &config,
        [](AvahiServer* engine, AvahiServerState state, void* self) { OnState(engine, state, self); },
        server.get(), &error);
    avahi_server_config_free(&config);
    if (server->mServer == nullptr)
    {
        return nullptr;
    }
    return server;
}

MdnsServer::~MdnsServer()
{
    if (mServer != nullptr)
    {
        avahi_server_free(mServer);
    }
}

bool MdnsServer::IsRegistering() const
{
    return avahi_server_get_state(mServer) == AVAHI_SERVER_REGISTERING;
}

std::string MdnsServer::GetHostName() const
{
    const char* name = avahi_server_get_host_name(mServer);
    return name != nullptr ? std::string(name) : std::string();
}

std::vector<std::string> MdnsServer::GetInterfaces() const
{
    std::vector<std::string> names;
    static_cast<void>(avahi_server_dump(mServer, &CollectInterface, &names));
    return names;
}

} // namespace KT::Platform
