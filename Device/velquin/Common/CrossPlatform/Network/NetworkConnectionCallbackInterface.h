// LNetworkConnectionCallbackInterface: what a user of a connection implements
// to receive the messages of a channel and the connection's errors. Registered
// with LNetworkConnection::SetCallback; each registration calls it on its own
// delivery thread, one call at a time, never under a lock of the connection.
#pragma once

#include <cstdint>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/Buffer.h"
#include "velquin/Common/CrossPlatform/Network/NetworkError.h"

class LNetworkConnection;

class LNetworkConnectionCallbackInterface : public virtual KT::LRefCountedObject
{
public:
    // One message of the registration's channel. count is the message's
    // previousSequenceMsgCount, or 1 - the part count for a message reassembled
    // from parts.
    virtual void ReceivedMessageCallback(const KT::RCPtr<LNetworkConnection>& connection,
                                         const KT::ConstRCPtr<KT::LIBuffer>& payload, std::uint32_t channel,
                                         std::int32_t sequenceID, std::int32_t count) = 0;
    // The connection failed to receive (NETWORK_CONNECTION_CLOSED when the peer
    // closed it); nothing more arrives.
    virtual void ConnectionErrorCallback(const KT::RCPtr<LNetworkConnection>& connection,
                                         NetworkError error) = 0;

    ~LNetworkConnectionCallbackInterface() override = default;
};
