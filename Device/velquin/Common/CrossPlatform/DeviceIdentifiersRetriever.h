// LDeviceIdentifiersRetriever: asks an address and port who is there, before
// the network search makes a device for it. It opens a short connection,
// sends one empty request on the identify channel (3) and reads the reply,
// the identifier record [device ID, user-defined name], into a
// KT::DeviceIdentifier. Made by Create, held by RCPtr; one search uses one
// retriever for all the addresses it probes, one at a time.
//
// Threads: RetrieveDeviceIdentifier runs on the searching host thread and
// blocks for the connect and up to the REPLY time-out; mReplyEvent belongs to
// that one exchange at a time. It never registers with a connection, so the
// callbacks are not called.
#pragma once

#include <cstdint>

#include "DeviceControl/CommonInc/DeviceIdentifier.h"
#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Threading/Event.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnection.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnectionCallbackInterface.h"

class LDeviceIdentifiersRetriever : public LNetworkConnectionCallbackInterface
{
public:
    static KT::RCPtr<LDeviceIdentifiersRetriever> Create();

    // 0: out holds the reported device ID and name, the address and port asked
    // and its own vendor and product names. RESULT_FAILED: no connection, no
    // reply, or a reply that is not [device ID (12 Int32), name]; out is
    // untouched.
    [[nodiscard]] int RetrieveDeviceIdentifier(std::uint32_t address, std::uint32_t port,
                                               KT::DeviceIdentifier& out);

    void ReceivedMessageCallback(const KT::RCPtr<LNetworkConnection>& connection,
                                 const KT::ConstRCPtr<KT::LIBuffer>& payload, std::uint32_t channel,
                                 std::int32_t sequenceID, std::int32_t count) override;
    void ConnectionErrorCallback(const KT::RCPtr<LNetworkConnection>& connection,
                                 NetworkError error) override;

    // Reads an identifier record: the device ID and the name's text, or false
    // when it is not [device ID (12 Int32), any value].
    static bool ReadIdentifierRecord(const KT::ConstRCPtr<KT::LIBuffer>& record, KT::Variant& deviceID,
                                     KT::DeviceIdentifier::String& name);

    ~LDeviceIdentifiersRetriever() override = default;

private:
    LDeviceIdentifiersRetriever();

    const KT::RCPtr<KT::LEvent> mReplyEvent;
};
