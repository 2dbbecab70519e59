#include "Platform/DnsServiceBrowser.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/strlst.h>
#include <avahi-core/core.h>
#include <avahi-core/lookup.h>
#include <net/if.h>

#include <map>

#include "Platform/MdnsEventLoop.h"
#include "Platform/MdnsServer.h"
#include "Platform/MdnsSettings.h"

namespace KT::Platform
{

namespace
{

DnsService MakeService(AvahiIfIndex interface, AvahiProtocol protocol, const char* name, const char* type,
                       const char* domain)
{
    DnsService service;
    service.interfaceIndex = interface;
    service.protocol = protocol;
    service.name = name != nullptr ? name : "";
    service.type = type != nullptr ? type : "";
    service.domain = domain != nullptr ? domain : "";
    return service;
}

// Which way round a resolver's TXT list holds the record's entries: the
// engine keeps them last first (and serialising turns them round), the
// daemon's client hands them over first first.
enum class TxtListOrder
{
    LastEntryFirst,
    FirstEntryFirst,
};

// The record in its wire form, entries in the record's order. As the engine
// serialises: empty entries are left out, an entry is at most 255 bytes, and a
// record without entries is one zero byte.
std::vector<unsigned char> WireTxt(AvahiStringList* txt, TxtListOrder order)
{
    std::vector<unsigned char> wire;
    if (order == TxtListOrder::LastEntryFirst)
    {
        wire.resize(avahi_string_list_serialize(txt, nullptr, 0));
        wire.resize(avahi_string_list_serialize(txt, wire.data(), wire.size()));
        return wire;
    }
    for (const AvahiStringList* entry = txt; entry != nullptr;
         entry = avahi_string_list_get_next(const_cast<AvahiStringList*>(entry)))
    {
        const std::size_t size = entry->size < 255 ? entry->size : 255;
        if (size == 0)
        {
            continue;
        }
        wire.push_back(static_cast<unsigned char>(size));
        wire.insert(wire.end(), entry->text, entry->text + size);
    }
    if (wire.empty())
    {
        wire.push_back(0);
    }
    return wire;
}

DnsResolvedService MakeResolved(const AvahiAddress* address, std::uint16_t port, AvahiStringList* txt,
                                TxtListOrder order)
{
    DnsResolvedService resolved;
    if (address != nullptr && address->proto == AVAHI_PROTO_INET)
    {
        resolved.ipv4 = true;
        resolved.addressNetworkOrder = address->data.ipv4.address;
    }
    resolved.port = port;
    resolved.txt = WireTxt(txt, order);
    return resolved;
}

// What the two Avahi backends share: the loop and its lock, the client to
// report to, and the resolutions under way, each freed after its first answer.
template <class Resolver>
class AvahiBrowserBase : public DnsServiceBrowser
{
public:
    void Lock() override NO_THREAD_SAFETY_ANALYSIS { mLoop->Lock(); }
    void Unlock() override NO_THREAD_SAFETY_ANALYSIS { mLoop->Unlock(); }
    void RunOnce() override
    {
        mLoop->AssertHeld();
        mLoop->RunOnce();
    }
    void Wake() override { mLoop->Wake(); }

protected:
    // What a resolver's callback is handed: the browser and the number its
    // answer carries.
    struct ResolveContext
    {
        AvahiBrowserBase* browser;
        std::uint64_t resolveID;
    };
    struct Pending
    {
        std::unique_ptr<ResolveContext> context;
        Resolver* resolver = nullptr;
    };

    explicit AvahiBrowserBase(std::unique_ptr<MdnsEventLoop> loop) : mLoop(std::move(loop)) {}

    // The context for the next resolution, registered until its answer.
    ResolveContext* BeginResolve()
    {
        Pending pending;
        pending.context.reset(new ResolveContext{this, ++mLastResolveID});
        ResolveContext* context = pending.context.get();
        mPending.emplace(context->resolveID, std::move(pending));
        return context;
    }
    void AbandonResolve(std::uint64_t resolveID) { mPending.erase(resolveID); }
    void SetResolver(std::uint64_t resolveID, Resolver* resolver) { mPending[resolveID].resolver = resolver; }

    // The first answer of a resolution: its resolver is freed (it would go on
    // reporting changes), then the client hears of it.
    template <class Free>
    static void Answer(void* argument, const DnsResolvedService* resolved, Free freeResolver)
    {
        auto* context = static_cast<ResolveContext*>(argument);
        AvahiBrowserBase* browser = context->browser;
        const std::uint64_t resolveID = context->resolveID;
        auto found = browser->mPending.find(resolveID);
        if (found == browser->mPending.end())
        {
            return;
        }
        Resolver* resolver = found->second.resolver;
        browser->mPending.erase(found);
        if (resolver != nullptr)
        {
            freeResolver(resolver);
        }
        if (browser->mClient == nullptr)
        {
            return;
        }
        if (resolved != nullptr)
        {
            browser->mClient->ServiceResolved(resolveID, *resolved);
        }
        else
        {
            browser->mClient->ResolveFailed(resolveID);
        }
    }

    // A browser's event: the client hears of a service that came or went.
    void Browsed(AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event, const char* name,
                 const char* type, const char* domain)
    {
        if (event == AVAHI_BROWSER_NEW)
        {
            mClient->ServiceAdded(MakeService(interface, protocol, name, type, domain));
        }
        else if (event == AVAHI_BROWSER_REMOVE)
        {
            mClient->ServiceRemoved(MakeService(interface, protocol, name, type, domain));
        }
    }

    // A resolver's event, its TXT list read in the backend's order, taken as
    // the resolution's first answer.
    template <class Free>
    static void Resolved(void* argument, AvahiResolverEvent event, const AvahiAddress* address,
                         std::uint16_t port, AvahiStringList* txt, TxtListOrder order, Free freeResolver)
    {
        DnsResolvedService resolved;
        if (event == AVAHI_RESOLVER_FOUND)
        {
            resolved = MakeResolved(address, port, txt, order);
        }
        Answer(argument, event == AVAHI_RESOLVER_FOUND ? &resolved : nullptr, freeResolver);
    }

    template <class Free>
    void FreeResolvers(Free freeResolver)
    {
        for (auto& entry : mPending)
        {
            if (entry.second.resolver != nullptr)
            {
                freeResolver(entry.second.resolver);
            }
        }
        mPending.clear();
    }

    std::unique_ptr<MdnsEventLoop> mLoop;
    IDnsServiceBrowserClient* mClient = nullptr;
    std::map<std::uint64_t, Pending> mPending;
    std::uint64_t mLastResolveID = 0;
};

// The system's daemon over D-Bus.
class SystemBrowser final : public AvahiBrowserBase<AvahiServiceResolver>
{
public:
    static std::unique_ptr<DnsServiceBrowser> Create()
    {
        std::unique_ptr<MdnsEventLoop> loop = MdnsEventLoop::Create();
        if (!loop)
        {
            return nullptr;
        }
        std::unique_ptr<SystemBrowser> browser(new SystemBrowser(std::move(loop)));
        browser->Lock();
        // Without a daemon on the bus this fails at once (it never asks D-Bus
        // to start one).
        int error = 0;
        browser->mAvahiClient = avahi_client_new(browser->mLoop->GetPollApi(),
                                                 AVAHI_CLIENT_IGNORE_USER_CONFIG, nullptr, nullptr, &error);
        const bool connected = browser->mAvahiClient != nullptr;
        browser->Unlock();
        if (!connected)
        {
            return nullptr;
        }
        return browser;
    }

    ~SystemBrowser() override
    {
        FreeResolvers([](AvahiServiceResolver* resolver) { avahi_service_resolver_free(resolver); });
        for (AvahiServiceBrowser* browser : mBrowsers)
        {
            avahi_service_browser_free(browser);
        }
        if (mAvahiClient != nullptr)
        {
            avahi_client_free(mAvahiClient);
        }
    }

    bool Browse(const std::string& type, IDnsServiceBrowserClient& client) override
    {
        mClient = &client;
        const MdnsInterfaceChoice choice = ReadMdnsInterfaces();
        if (!choice.restricted)
        {
            AddBrowser(AVAHI_IF_UNSPEC, type);
        }
        // The daemon may serve other interfaces too: browsing only on those
        // named keeps the queries there.
        for (const std::string& name : choice.names)
        {
            const unsigned int index = if_nametoindex(name.c_str());
            if (index != 0 && AddBrowser(static_cast<AvahiIfIndex>(index), type))
            {
                mBrowsedInterfaces.push_back(name);
            }
        }
        return !mBrowsers.empty();
    }

    std::uint64_t Resolve(const DnsService& service) override
    {
        ResolveContext* context = BeginResolve();
        const std::uint64_t resolveID = context->resolveID;
        AvahiServiceResolver* resolver = avahi_service_resolver_new(
            mAvahiClient, service.interfaceIndex, service.protocol, service.name.c_str(),
            service.type.c_str(), service.domain.c_str(), AVAHI_PROTO_INET, static_cast<AvahiLookupFlags>(0),
            &OnResolved, context);
        if (resolver == nullptr)
        {
            AbandonResolve(resolveID);
            return 0;
        }
        SetResolver(resolveID, resolver);
        return resolveID;
    }

    std::vector<std::string> GetInterfaces() const override { return mBrowsedInterfaces; }

private:
    explicit SystemBrowser(std::unique_ptr<MdnsEventLoop> loop) : AvahiBrowserBase(std::move(loop)) {}

    bool AddBrowser(AvahiIfIndex interface, const std::string& type)
    {
        AvahiServiceBrowser* browser =
            avahi_service_browser_new(mAvahiClient, interface, AVAHI_PROTO_INET, type.c_str(), nullptr,
                                      static_cast<AvahiLookupFlags>(0), &OnBrowsed, this);
        if (browser == nullptr)
        {
            return false;
        }
        mBrowsers.push_back(browser);
        return true;
    }

    static void OnBrowsed(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                          AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                          AvahiLookupResultFlags, void* argument)
    {
        static_cast<SystemBrowser*>(argument)->Browsed(interface, protocol, event, name, type, domain);
    }

    static void OnResolved(AvahiServiceResolver*, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
                           const char*, const char*, const char*, const char*, const AvahiAddress* address,
                           std::uint16_t port, AvahiStringList* txt, AvahiLookupResultFlags, void* argument)
    {
        Resolved(argument, event, address, port, txt, TxtListOrder::FirstEntryFirst,
                 [](AvahiServiceResolver* resolver) { avahi_service_resolver_free(resolver); });
    }

    AvahiClient* mAvahiClient = nullptr;
    std::vector<AvahiServiceBrowser*> mBrowsers;
    std::vector<std::string> mBrowsedInterfaces;
};

// An engine of its own in this process, announcing nothing.
class EmbeddedBrowser final : public AvahiBrowserBase<AvahiSServiceResolver>
{
public:
    static std::unique_ptr<DnsServiceBrowser> Create()
    {
        std::unique_ptr<MdnsEventLoop> loop = MdnsEventLoop::Create();
        if (!loop)
        {
            return nullptr;
        }
        std::unique_ptr<EmbeddedBrowser> browser(new EmbeddedBrowser(std::move(loop)));
        MdnsServer::Options options;
        options.disablePublishing = true;
        MdnsEventLoop& engineLoop = *browser->mLoop;
        engineLoop.Lock();
        browser->mServer = MdnsServer::Create(engineLoop, options);
        engineLoop.Unlock();
        if (!browser->mServer)
        {
            return nullptr;
        }
        return browser;
    }

    ~EmbeddedBrowser() override
    {
        FreeResolvers([](AvahiSServiceResolver* resolver) { avahi_s_service_resolver_free(resolver); });
        if (mBrowser != nullptr)
        {
            avahi_s_service_browser_free(mBrowser);
        }
        mServer.reset();
    }

    bool Browse(const std::string& type, IDnsServiceBrowserClient& client) override
    {
        mClient = &client;
        if (mBrowser == nullptr)
        {
            mBrowser = avahi_s_service_browser_new(mServer->GetServer(), AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                                   type.c_str(), nullptr, static_cast<AvahiLookupFlags>(0),
                                                   &OnBrowsed, this);
        }
        return mBrowser != nullptr;
    }

    std::uint64_t Resolve(const DnsService& service) override
    {
        ResolveContext* context = BeginResolve();
        const std::uint64_t resolveID = context->resolveID;
        AvahiSServiceResolver* resolver = avahi_s_service_resolver_new(
            mServer->GetServer(), service.interfaceIndex, service.protocol, service.name.c_str(),
            service.type.c_str(), service.domain.c_str(), AVAHI_PROTO_INET, static_cast<AvahiLookupFlags>(0),
            &OnResolved, context);
        if (resolver == nullptr)
        {
            AbandonResolve(resolveID);
            return 0;
        }
        SetResolver(resolveID, resolver);
        return resolveID;
    }

    std::vector<std::string> GetInterfaces() const override { return mServer->GetInterfaces(); }

private:
    explicit EmbeddedBrowser(std::unique_ptr<MdnsEventLoop> loop) : AvahiBrowserBase(std::move(loop)) {}

    static void OnBrowsed(AvahiSServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                          AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                          AvahiLookupResultFlags, void* argument)
    {
        static_cast<EmbeddedBrowser*>(argument)->Browsed(interface, protocol, event, name, type, domain);
    }

    static void OnResolved(AvahiSServiceResolver*, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
                           const char*, const char*, const char*, const char*, const AvahiAddress* address,
                           std::uint16_t port, AvahiStringList* txt, AvahiLookupResultFlags, void* argument)
    {
        Resolved(argument, event, address, port, txt, TxtListOrder::LastEntryFirst,
                 [](AvahiSServiceResolver* resolver) { avahi_s_service_resolver_free(resolver); });
    }

    std::unique_ptr<MdnsServer> mServer;
    AvahiSServiceBrowser* mBrowser = nullptr;
};

} // namespace

std::unique_ptr<DnsServiceBrowser> DnsServiceBrowser::Create(Backend backend)
{
    return backend == Backend::System ? SystemBrowser::Create() : EmbeddedBrowser::Create();
}

} // namespace KT::Platform
