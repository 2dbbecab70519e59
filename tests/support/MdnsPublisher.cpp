#include "support/MdnsPublisher.h"

#include <arpa/inet.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/strlst.h>
#include <avahi-core/core.h>
#include <avahi-core/log.h>
#include <avahi-core/lookup.h>
#include <avahi-core/publish.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace MdnsTest
{

namespace
{

// Whatever else happens, no engine of a test process that links the
// publisher leaves the loopback interface: the library's engines read this
// variable (CTest sets it too).
const bool kLoopbackOnly = [] { return setenv("VELQUIN_MDNS_INTERFACES", "lo", 0) == 0; }();

void DropLog(AvahiLogLevel, const char*) {}

// One engine on lo with its loop on a thread of its own. The loop holds lock
// except inside poll, so the test's thread may call the engine under lock.
struct LoopbackEngine
{
    explicit LoopbackEngine(const std::string& hostName, bool browseOnly)
    {
        avahi_set_log_function(&DropLog);
        poll = avahi_simple_poll_new();
        avahi_simple_poll_set_func(
            poll,
            [](pollfd* descriptors, unsigned int count, int timeout, void* argument) -> int
            {
                auto* engine = static_cast<LoopbackEngine*>(argument);
                engine->lock.unlock();
                const int result = ::poll(descriptors, count, timeout);
                engine->lock.lock();
                return result;
            },
            this);
        AvahiServerConfig config;
        avahi_server_config_init(&config);
        config.use_ipv6 = 0;
        config.allow_interfaces = avahi_string_list_add(nullptr, "lo");
        config.host_name = hostName.empty() ? nullptr : avahi_strdup(hostName.c_str());
        config.publish_addresses = 0;
        config.publish_hinfo = 0;
        config.publish_workstation = 0;
        config.publish_domain = 0;
        config.publish_aaaa_on_ipv4 = 0;
        config.enable_wide_area = 0;
        config.disable_publishing = browseOnly ? 1 : 0;
        int error = 0;
        std::lock_guard<std::mutex> guard(lock);
        server = avahi_server_new(avahi_simple_poll_get(poll), &config, nullptr, nullptr, &error);
        avahi_server_config_free(&config);
        if (server != nullptr)
        {
            thread = std::thread([this] { Run(); });
        }
    }

    ~LoopbackEngine()
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            stop = true;
            avahi_simple_poll_wakeup(poll);
        }
        if (thread.joinable())
        {
            thread.join();
        }
        if (server != nullptr)
        {
            avahi_server_free(server);
        }
        avahi_simple_poll_free(poll);
    }

    void Run()
    {
        std::unique_lock<std::mutex> guard(lock);
        while (!stop)
        {
            if (avahi_simple_poll_prepare(poll, 100) != 0 || avahi_simple_poll_run(poll) != 0)
            {
                break;
            }
            avahi_simple_poll_dispatch(poll);
            changed.notify_all();
        }
    }

    // Waits, lock held by guard, until done() holds or the bound passes.
    bool WaitUntil(std::unique_lock<std::mutex>& guard, const std::function<bool()>& done)
    {
        return changed.wait_for(guard, kMdnsBound, done);
    }

    std::mutex lock;
    std::condition_variable changed;
    AvahiSimplePoll* poll = nullptr;
    AvahiServer* server = nullptr;
    bool stop = false;
    std::thread thread;
};

std::atomic<unsigned> sNameCounter{0};

} // namespace

std::string UniqueName(const std::string& prefix)
{
    static_cast<void>(kLoopbackOnly);
    return prefix + "-" + std::to_string(getpid()) + "-" + std::to_string(++sNameCounter);
}

struct MdnsPublisher::Engine : LoopbackEngine
{
    using LoopbackEngine::LoopbackEngine;
    ~Engine()
    {
        std::lock_guard<std::mutex> guard(lock);
        if (group != nullptr)
        {
            avahi_s_entry_group_free(group);
            group = nullptr;
        }
    }

    AvahiSEntryGroup* group = nullptr;
};

MdnsPublisher::MdnsPublisher() : mHostName(UniqueName("velquin-publisher"))
{
    mEngine.reset(new Engine(mHostName, false));
    std::unique_lock<std::mutex> guard(mEngine->lock);
    mRunning = mEngine->server != nullptr &&
               mEngine->WaitUntil(
                   guard, [&] { return avahi_server_get_state(mEngine->server) == AVAHI_SERVER_RUNNING; });
}

MdnsPublisher::~MdnsPublisher() = default;

std::string MdnsPublisher::Publish(const Service& service)
{
    if (!mRunning)
    {
        return std::string();
    }
    const std::string name = service.name.empty() ? UniqueName("velquin-device") : service.name;
    const std::string deviceHost = UniqueName(mHostName + "-device") + ".local";
    // Entries in their wire form, read back into the engine's list: order and
    // raw bytes stay exactly as given.
    std::vector<std::uint8_t> wire;
    for (const TxtEntry& entry : service.txt)
    {
        wire.push_back(static_cast<std::uint8_t>(entry.size()));
        wire.insert(wire.end(), entry.begin(), entry.end());
    }
    AvahiStringList* txt = nullptr;
    if (!wire.empty() && avahi_string_list_parse(wire.data(), wire.size(), &txt) != 0)
    {
        return std::string();
    }
    AvahiAddress address{};
    if (avahi_address_parse(service.address.c_str(), AVAHI_PROTO_INET, &address) == nullptr)
    {
        avahi_string_list_free(txt);
        return std::string();
    }

    std::unique_lock<std::mutex> guard(mEngine->lock);
    if (mEngine->group == nullptr)
    {
        mEngine->group = avahi_s_entry_group_new(mEngine->server, nullptr, nullptr);
    }
    AvahiSEntryGroup* group = mEngine->group;
    const bool added =
        group != nullptr &&
        avahi_server_add_address(mEngine->server, group, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                 AVAHI_PUBLISH_NO_REVERSE, deviceHost.c_str(), &address) == 0 &&
        avahi_server_add_service_strlst(mEngine->server, group, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                        AVAHI_PUBLISH_NO_COOKIE, name.c_str(), service.type.c_str(), nullptr,
                                        deviceHost.c_str(), service.port, txt) == 0 &&
        avahi_s_entry_group_commit(group) == 0;
    avahi_string_list_free(txt);
    avahi_simple_poll_wakeup(mEngine->poll);
    if (!added ||
        !mEngine->WaitUntil(
            guard, [&] { return avahi_s_entry_group_get_state(group) == AVAHI_ENTRY_GROUP_ESTABLISHED; }))
    {
        return std::string();
    }
    return name;
}

void MdnsPublisher::Withdraw()
{
    std::lock_guard<std::mutex> guard(mEngine->lock);
    if (mEngine->group != nullptr)
    {
        avahi_s_entry_group_reset(mEngine->group);
        avahi_simple_poll_wakeup(mEngine->poll);
    }
}

std::uint32_t MdnsHostLookup(const std::string& hostName)
{
    struct Lookup
    {
        std::uint32_t address = 0;
        bool answered = false;
    } lookup;
    LoopbackEngine engine(std::string(), true);
    std::unique_lock<std::mutex> guard(engine.lock);
    if (engine.server == nullptr)
    {
        return 0;
    }
    AvahiSHostNameResolver* resolver = avahi_s_host_name_resolver_new(
        engine.server, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, hostName.c_str(), AVAHI_PROTO_INET,
        static_cast<AvahiLookupFlags>(0),
        [](AvahiSHostNameResolver*, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event, const char*,
           const AvahiAddress* address, AvahiLookupResultFlags, void* argument)
        {
            auto* result = static_cast<Lookup*>(argument);
            if (event == AVAHI_RESOLVER_FOUND && address != nullptr && address->proto == AVAHI_PROTO_INET)
            {
                result->address = ntohl(address->data.ipv4.address);
                result->answered = true;
            }
        },
        &lookup);
    if (resolver == nullptr)
    {
        return 0;
    }
    avahi_simple_poll_wakeup(engine.poll);
    engine.WaitUntil(guard, [&] { return lookup.answered; });
    avahi_s_host_name_resolver_free(resolver);
    return lookup.address;
}

} // namespace MdnsTest
