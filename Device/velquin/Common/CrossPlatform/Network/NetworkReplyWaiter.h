// NetworkReplyWaiter: the wait of one request/reply exchange of a connection
// for the next message on the reply channel. It lives on the requesting
// thread's stack for the exchange and is known to the connection's
// registrations meanwhile, which hand it the messages of its channel.
//
// Threads: made, registered, read and dropped by the requesting thread; Store
// runs on a receiver. The reply slot and the replied flag are guarded by the
// registrations' lock, under which Store runs and the requester reads them
// after taking the waiter out.
#pragma once

#include <cstdint>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/Buffer.h"
#include "KTFramework/Utilities/Threading/Event.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnectionSendBuffer.h"

class NetworkReplyWaiter
{
public:
    // The reply goes to reply, and replyEvent is released when it is stored.
    NetworkReplyWaiter(std::uint32_t channel, const KT::RCPtr<KT::LEvent>& replyEvent,
                       KT::ConstRCPtr<KT::LIBuffer>& reply)
        : mChannel(channel), mReplyEvent(replyEvent), mReply(reply)
    {
    }

    NetworkReplyWaiter(const NetworkReplyWaiter&) = delete;
    NetworkReplyWaiter& operator=(const NetworkReplyWaiter&) = delete;

    std::uint32_t GetChannel() const noexcept { return mChannel; }

    // A message of the reply channel: the first answers the request, later ones
    // do not replace it; each releases the event.
    void Store(const KT::RCPtr<KT::LIBuffer>& message)
    {
        if (!mReplied)
        {
            mReply = KT::ConstRCPtr<KT::LIBuffer>(message.GetRaw());
            mReplied = true;
        }
        mReplyEvent->Release();
    }

    bool HasReply() const noexcept { return mReplied; }

private:
    const std::uint32_t mChannel;
    const KT::RCPtr<KT::LEvent> mReplyEvent;
    KT::ConstRCPtr<KT::LIBuffer>& mReply;
    bool mReplied = false;
};
