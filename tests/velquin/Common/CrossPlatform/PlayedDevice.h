// A network device played by the simulated device: it answers the connect
// handshake and gets by their message ID (DeviceScript), identify with a set
// record, keep-alives on channel 4, and sends notifications to the client
// that is the device's own connection (the one that asked on channel 1).
#pragma once

#include "support/SimulatedDevice.h"
#include "velquin/Common/CrossPlatform/NetworkDeviceTestSupport.h"

namespace NetworkDeviceTest
{

class PlayedDevice : public DeviceScript
{
public:
    explicit PlayedDevice(std::uint16_t port = 0, std::uint32_t address = kLoopback)
        : mDevice(TestDevice::SimulatedDevice::Options{address, port})
    {
        mDevice.SetScript(
            [this](const Bytes& request)
            {
                std::vector<TestDevice::SimulatedDevice::Reply> replies;
                if (std::optional<Bytes> reply = AnswerGet(request))
                {
                    replies.push_back(TestDevice::SimulatedDevice::Reply{1, *reply, {}});
                }
                return replies;
            });
    }

    TestDevice::SimulatedDevice& Sim() { return mDevice; }
    std::uint16_t Port() const { return mDevice.Port(); }
    // Clients that sent a hello (bare reachability checks are none).
    std::size_t Connections() { return mDevice.ClientCount(); }

    void Identify(std::optional<Bytes> record) { mDevice.SetIdentify(std::move(record)); }
    // A device that connects, accepts and identifies as identifier, with name.
    void Play(const KT::DeviceIdentifier& identifier, const std::string& name)
    {
        Accepting(true);
        Identify(IdentifierRecord(identifier, name));
    }

    // The device's own connection: the last client that asked on channel 1;
    // 0 when none has.
    std::size_t DeviceClient()
    {
        std::size_t client = 0;
        for (const TestDevice::SimulatedDevice::Message& message : mDevice.Messages())
        {
            if (message.channel == 1)
            {
                client = message.client;
            }
        }
        return client;
    }
    bool Notify(std::uint32_t sequenceID, const Bytes& payload)
    {
        TestDevice::SimulatedDevice::Notification notification;
        notification.sequenceID = static_cast<std::int32_t>(sequenceID);
        notification.payload = payload;
        return mDevice.SendNotifications(DeviceClient(), {notification});
    }
    // The device's own connection has ended.
    bool WaitForDeviceConnectionGone()
    {
        const std::size_t client = DeviceClient();
        return client != 0 && mDevice.WaitForClientGone(client);
    }
    std::vector<TestDevice::SimulatedDevice::Message> MessagesOn(std::uint32_t channel)
    {
        std::vector<TestDevice::SimulatedDevice::Message> messages;
        for (const TestDevice::SimulatedDevice::Message& message : mDevice.Messages())
        {
            if (message.channel == channel)
            {
                messages.push_back(message);
            }
        }
        return messages;
    }

private:
    TestDevice::SimulatedDevice mDevice;
};

} // namespace NetworkDeviceTest
