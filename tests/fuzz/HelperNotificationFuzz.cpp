// A device's notification as the device helper posts it and an attached device
// reads it (LDeviceLocal::ReadNotification): the notification's user info, a
// property list in any format the plist library reads, whose
// "ParameterDataKey" holds a device message of parameter values, possibly the
// device's acceptance of a client.
//
// Properties: what is read, written again as the helper writes it (a
// dictionary holding the set message of the values under the key), reads back
// as the same values and the same acceptance, token and state.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "KTFramework/Utilities/Storage/Buffer.h"
#include "Platform/PropertyList.h"
#include "fuzz/FuzzCheck.h"
#include "velquin/Common/CrossPlatform/DeviceMessageSerializer.h"
#include "velquin/Common/DeviceLocal.h"

using KT::Variant;
using KT::Platform::Plist;

namespace
{

std::vector<unsigned char> Written(const Variant& value)
{
    std::vector<unsigned char> out(Variant::GetSerializedSize(value));
    FUZZ_CHECK(Variant::Serialize(value, out.data(), out.size()) == static_cast<int>(out.size()));
    return out;
}

// The user info a helper posts for these values.
Plist WriteUserInfo(const KT::ParamValues& values)
{
    const KT::RCPtr<KT::LIBuffer> message = KT::LBufferT<1, 0>::Create(0, 0, false);
    const int length = DeviceMessageSerializer::CreateSetParamMessage(
        static_cast<std::uint32_t>(MESSAGE_ID_PARAM_VALUES), values, message);
    FUZZ_CHECK(length > 0);
    Plist userInfo = Plist::NewDictionary();
    FUZZ_CHECK(
        userInfo.SetItem(MacLocalProtocol::kParameterDataKey,
                         Plist::NewData(message->GetPtr<unsigned char>(), static_cast<std::size_t>(length))));
    return userInfo;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Plist userInfo = Plist::FromBytes(data, size);
    LDeviceLocal::Notification notification;
    if (!LDeviceLocal::ReadNotification(userInfo.GetRoot(), notification))
    {
        return 0;
    }

    const Plist written = WriteUserInfo(notification.Values);
    LDeviceLocal::Notification again;
    FUZZ_CHECK(LDeviceLocal::ReadNotification(written.GetRoot(), again));
    FUZZ_CHECK(Written(again.Values) == Written(notification.Values));
    FUZZ_CHECK(again.IsAcceptance == notification.IsAcceptance);
    if (notification.IsAcceptance)
    {
        FUZZ_CHECK(again.Token == notification.Token && again.State == notification.State);
    }
    return 0;
}
