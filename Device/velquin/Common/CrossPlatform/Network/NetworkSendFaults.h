// NetworkSendFaults: a process-wide hook through which tests make a chosen send
// of a reliable channel fail, as a full buffer or a lost route would, and the
// send sites it tells apart. Nobody owns it; without a hook (the default) a
// send pays one relaxed load.
#pragma once

#include <atomic>

#include "velquin/Common/CrossPlatform/Network/NetworkError.h"
#include "velquin/Common/CrossPlatform/Network/NetworkSocket.h"

class NetworkSendFaults
{
public:
    // The datagrams of a pass over the unacknowledged messages: its first (a
    // pass of one has only that), those in between, its last; and the control
    // packets.
    enum Site : unsigned
    {
        PASS_FIRST,
        PASS_MIDDLE,
        PASS_LAST,
        ACKNOWLEDGEMENT,
        RESEND_REQUEST,
        SITE_COUNT
    };
    // NETWORK_NO_ERROR lets the send go; any other result is what the send
    // returns instead, having sent nothing. Runs on the sending thread, under
    // its locks, on every send while in place: it must be quick and thread
    // safe.
    using Hook = NetworkError (*)(Site site);

    // Puts hook in place (null takes it away) and returns what was there.
    static Hook Exchange(Hook hook) noexcept { return smHook.exchange(hook); }

    static Site PassSite(bool firstOfPass, bool lastOfPass) noexcept
    {
        return firstOfPass ? PASS_FIRST : (lastOfPass ? PASS_LAST : PASS_MIDDLE);
    }

    // socket.Send, unless the hook fails it.
    static NetworkError Send(LNetworkSocket& socket, Site site, const void* data, unsigned int size,
                             unsigned int& sent)
    {
        // Only the hook's own state needs ordering, and it keeps that itself.
        const Hook hook = smHook.load(std::memory_order_relaxed);
        const NetworkError fault = hook == nullptr ? NETWORK_NO_ERROR : hook(site);
        if (fault != NETWORK_NO_ERROR)
        {
            sent = 0;
            return fault;
        }
        return socket.Send(data, size, sent);
    }

private:
    static std::atomic<Hook> smHook;
};
