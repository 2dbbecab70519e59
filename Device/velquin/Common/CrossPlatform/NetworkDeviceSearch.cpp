#include "velquin/Common/CrossPlatform/NetworkDeviceSearch.h"

#include <vector>

#include "KTFramework/Defs/Result.h"
#include "velquin/Common/CrossPlatform/DeviceIdentifiersRetriever.h"
#include "velquin/Common/CrossPlatform/DeviceNetwork.h"
#include "velquin/Common/CrossPlatform/DnsSdDeviceDiscovery.h"
#include "velquin/Common/CrossPlatform/Network/NetworkSocket.h"

namespace
{

using Lock = KT::AutolockT<KT::FastMutex>;
using Identifiers = KT::Array<KT::DeviceIdentifier>;
using DeviceVector = IDeviceLists::Devices;

void RemoveAt(Identifiers& identifiers, std::size_t index)
{
    KT::DeviceIdentifier removed;
    static_cast<void>(identifiers.RemoveItem(index, removed));
}

// A new network device for identifier that has identified itself: its
// result (0 new or changed, 1 unchanged, negative failed) in result.
KT::RCPtr<LDeviceNetwork> CreateIdentifiedDevice(const KT::DeviceIdentifier& identifier,
                                                 KT::DeviceIdentifier& reported, int& result)
{
    KT::RCPtr<LDeviceNetwork> device = LDeviceNetwork::Create(identifier);
    result = device->UpdateDeviceIdentifier(reported);
    return device;
}

} // namespace

KT::RCPtr<LNetworkDeviceSearch> LNetworkDeviceSearch::Create()
{
    return KT::RCPtr<LNetworkDeviceSearch>(new LNetworkDeviceSearch());
}

KT::RCPtr<LDeviceDiscovery> LNetworkDeviceSearch::CreateNetworkDiscoveryClient()
{
    return LDnsSdDeviceDiscovery::Create();
}

KT::RCPtr<LDeviceDiscovery> LNetworkDeviceSearch::GetClient()
{
    Lock lock(mClientLock);
    return mClient;
}

void LNetworkDeviceSearch::Release()
{
    // Released after the lock: a client's last release may stop its threads.
    KT::RCPtr<LDeviceDiscovery> client;
    Lock lock(mClientLock);
    client.SwapReference(mClient);
}

void LNetworkDeviceSearch::GetDiscoveredNetworkDevices(const KT::RCPtr<LDeviceDiscovery>& client,
                                                       IDeviceLists::DeviceLocation location,
                                                       Identifiers& discovered)
{
    static_cast<void>(discovered.Clear());
    if (!client)
    {
        return;
    }
    Identifiers all;
    client->GetDiscoveryList(all);
    KT::Array<unsigned int> ownAddresses;
    static_cast<void>(LNetworkSocket::GetLocalIPAddresses(ownAddresses));
    // A device announced by this computer itself is never a remote device.
    for (std::size_t i = static_cast<std::size_t>(all.GetCount()); i-- > 0;)
    {
        const bool own = ownAddresses.GetIndexOf(all[i].GetCurrentNetworkAddress()) != KT::kContainerNotFound;
        if (own == (location == IDeviceLists::DEVICE_LOCATION_LOCAL))
        {
            static_cast<void>(discovered.AppendItem(all[i]));
        }
    }
}

bool LNetworkDeviceSearch::FindRemoteDevicesByIP(IDeviceLists& lists, Identifiers& found,
                                                 const KT::Array<std::uint32_t>& addresses,
                                                 std::uint32_t maxDevices, std::uint32_t portCount,
                                                 std::uint32_t firstPort)
{
    if (addresses.GetCount() == 0 || maxDevices == 0)
    {
        return false;
    }
    KT::RCPtr<LDeviceIdentifiersRetriever> retriever = LDeviceIdentifiersRetriever::Create();
    KT::DeviceIdentifier working;
    std::uint32_t count = 0;
    const std::uint64_t endPort = std::uint64_t{firstPort} + portCount;
    for (std::size_t a = 0; a < static_cast<std::size_t>(addresses.GetCount()); ++a)
    {
        const std::uint32_t address = addresses.GetAt(a);
        for (std::uint64_t port = firstPort; port < endPort && port <= kLastPort; ++port)
        {
            if (lists.HoldsDeviceAt(IDeviceLists::DEVICE_LOCATION_REMOTE, address,
                                    static_cast<std::uint32_t>(port)))
            {
                break;
            }
            working.SetCurrentNetworkAddress(address);
            working.SetCurrentNetworkPort(static_cast<std::uint32_t>(port));
            if (!LDeviceNetwork::CheckReachable(working) ||
                retriever->RetrieveDeviceIdentifier(address, static_cast<std::uint32_t>(port), working) != 0)
            {
                continue;
            }
            static_cast<void>(found.AppendItem(working));
            if (++count >= maxDevices)
            {
                return true;
            }
        }
    }
    return count != 0;
}

bool LNetworkDeviceSearch::FindNetworkDevices(IDeviceLists& lists, IDeviceLists::DeviceLocation location,
                                              const NetworkSearchRequest& request)
{
    bool changed = false;

    KT::RCPtr<LDeviceDiscovery> client;
    {
        Lock lock(mClientLock);
        if (!mClient)
        {
            mClient = CreateNetworkDiscoveryClient();
        }
        client = mClient;
    }
    Identifiers discovered;
    GetDiscoveredNetworkDevices(client, location, discovered);

    Identifiers probed;
    if (request.addresses != nullptr)
    {
        const std::uint32_t firstPort = request.firstPort != 0 ? request.firstPort : kDefaultFirstPort;
        const std::uint32_t portCount = request.portCount != 0 ? request.portCount : kDefaultPortCount;
        KT::Array<std::uint32_t> addresses;
        for (std::uint32_t i = 0; i < request.addressCount; ++i)
        {
            if (request.addresses[i] != 0)
            {
                static_cast<void>(addresses.AppendItem(request.addresses[i]));
            }
        }
        static_cast<void>(
            FindRemoteDevicesByIP(lists, probed, addresses, request.maxDevices, portCount, firstPort));
        // A device both probed and announced is handled once, as probed; the
        // discovery learns what probing found when the two differ.
        for (std::size_t p = static_cast<std::size_t>(probed.GetCount()); p-- > 0;)
        {
            for (std::size_t d = static_cast<std::size_t>(discovered.GetCount()); d-- > 0;)
            {
                if (!discovered[d].IsDeviceIDEqual(probed[p]))
                {
                    continue;
                }
                if (discovered[d] != probed[p])
                {
                    changed = true;
                    if (!!client)
                    {
                        client->UpdateDeviceInfo(probed[p]);
                    }
                }
                RemoveAt(discovered, d);
            }
        }
    }

    // Known devices take what probing found; announced devices already listed
    // keep their identifiers.
    const DeviceVector listed = lists.CopyDevices(location);
    for (std::size_t i = listed.size(); i-- > 0;)
    {
        const KT::RCPtr<LDeviceBase>& device = listed[i];
        if (!device)
        {
            continue;
        }
        for (std::size_t p = static_cast<std::size_t>(probed.GetCount()); p-- > 0;)
        {
            if (!device->IsDeviceEqual(probed[p]))
            {
                continue;
            }
            const KT::DeviceIdentifier current = device->GetDeviceIdentifier();
            if (current != probed[p])
            {
                changed = true;
            }
            const bool moved = current.GetCurrentNetworkAddress() != probed[p].GetCurrentNetworkAddress() ||
                               current.GetCurrentNetworkPort() != probed[p].GetCurrentNetworkPort();
            const bool disconnect = moved && device->IsConnected(false, kConnectedIdleMs);
            if (disconnect)
            {
                static_cast<void>(device->DisconnectDevice());
            }
            device->SetDeviceIdentifier(probed[p]);
            if (disconnect)
            {
                static_cast<void>(device->IsConnected(true, 0));
            }
            RemoveAt(probed, p);
        }
        for (std::size_t d = static_cast<std::size_t>(discovered.GetCount()); d-- > 0;)
        {
            if (device->IsDeviceEqual(discovered[d]))
            {
                RemoveAt(discovered, d);
            }
        }
    }

    // New probed devices identify themselves before they join the list, so
    // look-ups do not wait for their exchanges.
    DeviceVector created;
    for (std::size_t p = 0; p < static_cast<std::size_t>(probed.GetCount()); ++p)
    {
        KT::DeviceIdentifier reported;
        int result = 0;
        created.push_back(CreateIdentifiedDevice(probed[p], reported, result));
    }
    if (lists.AddDevices(location, created))
    {
        changed = true;
    }

    if (request.verify && VerifyDevices(lists, location, client))
    {
        changed = true;
    }

    // Announced devices not yet listed join once they have identified
    // themselves.
    DeviceVector kept;
    for (std::size_t d = 0; d < static_cast<std::size_t>(discovered.GetCount()); ++d)
    {
        KT::DeviceIdentifier reported;
        int result = 0;
        KT::RCPtr<LDeviceNetwork> device = CreateIdentifiedDevice(discovered[d], reported, result);
        if (KT::Result::Failed(result))
        {
            if (!!client)
            {
                client->ReResolve(discovered[d]);
            }
            continue;
        }
        if (result == 0 && !!client)
        {
            client->UpdateDeviceInfo(reported);
        }
        kept.push_back(KT::RCPtr<LDeviceBase>(device.GetRaw()));
    }
    // Added last to first, as they were found.
    return lists.AddDevices(location, DeviceVector(kept.rbegin(), kept.rend())) || changed;
}

bool LNetworkDeviceSearch::VerifyDevices(IDeviceLists& lists, IDeviceLists::DeviceLocation location,
                                         const KT::RCPtr<LDeviceDiscovery>& client)
{
    bool changed = false;
    const DeviceVector snapshot = lists.CopyDevices(location);
    DeviceVector failed;
    for (std::size_t i = snapshot.size(); i-- > 0;)
    {
        const KT::RCPtr<LDeviceBase>& device = snapshot[i];
        if (!device)
        {
            continue;
        }
        auto* network = dynamic_cast<LDeviceNetwork*>(device.GetRaw());
        KT::DeviceIdentifier reported;
        const int result = network != nullptr ? network->UpdateDeviceIdentifier(reported) : KT::RESULT_FAILED;
        if (result == 0)
        {
            changed = true;
            if (!!client)
            {
                client->UpdateDeviceInfo(reported);
            }
        }
        else if (KT::Result::Failed(result))
        {
            failed.push_back(device);
            if (!!client)
            {
                client->ReResolve(device->GetDeviceIdentifier());
            }
        }
    }
    if (failed.empty())
    {
        return changed;
    }
    // A dropped device is disconnected: the host could no longer name it, and
    // its callback would go on being called. It leaves the list first, so that
    // a connect on another thread that ends before the disconnect is undone by
    // it, and one that ends after finds the device gone and undoes itself. The
    // registrations come off once the search has let go of its locks.
    std::vector<KT::Variant> failedIDs;
    for (const KT::RCPtr<LDeviceBase>& device : failed)
    {
        failedIDs.push_back(device->GetDeviceID());
    }
    const bool removed = lists.RemoveDevices(location, failedIDs);
    for (const KT::RCPtr<LDeviceBase>& device : failed)
    {
        static_cast<void>(device->DisconnectDevice());
    }
    return changed || removed;
}

int LNetworkDeviceSearch::RefreshDeviceIdentifier(const KT::RCPtr<LDeviceBase>& device,
                                                  KT::DeviceIdentifier& identifier)
{
    auto* network = dynamic_cast<LDeviceNetwork*>(device.GetRaw());
    if (network == nullptr)
    {
        return RESULT_NOT_A_NETWORK_DEVICE;
    }
    const int result = network->UpdateDeviceIdentifier(identifier);
    KT::RCPtr<LDeviceDiscovery> client = GetClient();
    if (result == 0 && !!client)
    {
        client->UpdateDeviceInfo(identifier);
    }
    return result;
}
