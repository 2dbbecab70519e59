#include "velquin/Common/CrossPlatform/DeviceIdentifiersRetriever.h"

#include "KTFramework/Defs/Result.h"
#include "KTFramework/Utilities/Storage/Array.h"
#include "KTFramework/Utilities/Storage/VariantEx.h"
#include "velquin/Common/CrossPlatform/DeviceNetworkTimeouts.h"

namespace
{

constexpr std::int64_t IDENTIFIER_RECORD_ELEMENTS = 2;

} // namespace

KT::RCPtr<LDeviceIdentifiersRetriever> LDeviceIdentifiersRetriever::Create()
{
    return KT::RCPtr<LDeviceIdentifiersRetriever>(new LDeviceIdentifiersRetriever());
}

LDeviceIdentifiersRetriever::LDeviceIdentifiersRetriever() : mReplyEvent(KT::LEvent::Create(true)) {}

bool LDeviceIdentifiersRetriever::ReadIdentifierRecord(const KT::ConstRCPtr<KT::LIBuffer>& record,
                                                       KT::Variant& deviceID,
                                                       KT::DeviceIdentifier::String& name)
{
    if (!record)
    {
        return false;
    }
    KT::Variant value;
    KT::Array<KT::VariantEx> elements;
    if (KT::Variant::Deserialize(value, record->GetPtr<unsigned char>(), record->GetSizeBytes()) != 0 ||
        KT::VariantEx::VariantArrayToArrayOfVariants(value, elements) != 0 ||
        elements.GetCount() != IDENTIFIER_RECORD_ELEMENTS)
    {
        return false;
    }
    // Only a device ID in its one form names a device: a value that is not
    // reads as the all-zero ID, which differs from it.
    if (!KT::DeviceIdentifier(elements[0]).IsDeviceIDEqual(elements[0]))
    {
        return false;
    }
    deviceID.Set(elements[0]);
    name = elements[1].GetString(-1);
    return true;
}

int LDeviceIdentifiersRetriever::RetrieveDeviceIdentifier(std::uint32_t address, std::uint32_t port,
                                                          KT::DeviceIdentifier& out)
{
    KT::RCPtr<LNetworkConnection> connection = LNetworkConnection::Create(
        address, static_cast<std::uint16_t>(port), LNetworkConnection::CONNECTION_CONTROL_SOCKET);
    if (!connection)
    {
        return KT::RESULT_FAILED;
    }
    KT::ConstRCPtr<KT::LIBuffer> reply;
    const NetworkError exchanged = connection->SendMessageWithReply(
        KT::ConstRCPtr<KT::LIBuffer>(), NETWORK_CHANNEL_3, reply, NETWORK_CHANNEL_3,
        DeviceNetworkTimeouts::Get(DeviceNetworkTimeoutList::REPLY), mReplyEvent);
    connection->CloseConnection();
    connection.SetNull();

    KT::Variant deviceID;
    KT::DeviceIdentifier::String name;
    if (exchanged != NETWORK_NO_ERROR || !ReadIdentifierRecord(reply, deviceID, name))
    {
        return KT::RESULT_FAILED;
    }
    static_cast<KT::Variant&>(out).Set(deviceID);
    out.SetUserDefinedName(name);
    out.SetCurrentNetworkAddress(address);
    out.SetCurrentNetworkPort(port);
    return 0;
}

void LDeviceIdentifiersRetriever::ReceivedMessageCallback(const KT::RCPtr<LNetworkConnection>&,
                                                          const KT::ConstRCPtr<KT::LIBuffer>&, std::uint32_t,
                                                          std::int32_t, std::int32_t)
{
}

void LDeviceIdentifiersRetriever::ConnectionErrorCallback(const KT::RCPtr<LNetworkConnection>& connection,
                                                          NetworkError)
{
    if (!!connection)
    {
        connection->CloseConnection();
    }
}
