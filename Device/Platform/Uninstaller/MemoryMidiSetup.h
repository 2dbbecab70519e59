// A MIDI setup held in memory, for tests and for callers without a stored
// setup. Configurations keep the order in which they were added; removing a
// device changes the current configuration. Fault switches make operations
// fail or give the odd answers a real setup may give.
#pragma once

#include "Platform/Uninstaller/MidiSetup.h"

#include <set>
#include <utility>

namespace Uninstaller::Platform
{

struct MidiDeviceRecord
{
    std::optional<std::string> driver;
    std::optional<std::string> model;
    std::optional<std::string> name;
    // Keys whose reading fails.
    std::set<std::string> unreadable;

    bool operator==(const MidiDeviceRecord&) const = default;
};

class MemoryMidiSetup final : public IMidiSetup
{
public:
    // A slot without a record is a null device.
    using Devices = std::vector<std::optional<MidiDeviceRecord>>;

    void AddConfiguration(const std::string& name, const Devices& devices);
    // No current configuration when name is absent.
    void SetCurrent(std::optional<std::string> name) { mCurrent = std::move(name); }
    // Replaces the list ConfigurationList gives (absent: no list).
    void OverrideConfigurationList(std::optional<std::vector<std::optional<std::string>>> list);
    void FailInstallOf(const std::string& name) { mFailingInstalls.insert(name); }
    void FailRemovals(bool fail) { mFailRemovals = fail; }

    // The devices a configuration holds now.
    Devices DevicesOf(const std::string& name) const;
    // Every configuration installed, in order.
    const std::vector<std::string>& InstallHistory() const noexcept { return mInstallHistory; }

    std::size_t DeviceCount() const override;
    MidiDeviceRef DeviceAt(std::size_t index) const override;
    MidiProperty StringProperty(MidiDeviceRef device, const char* key, std::string& text) const override;
    [[nodiscard]] int RemoveDevice(MidiDeviceRef device) override;
    std::optional<std::string> CurrentConfiguration() const override { return mCurrent; }
    std::optional<std::vector<std::optional<std::string>>> ConfigurationList() const override;
    [[nodiscard]] int InstallConfiguration(const std::string& name) override;

private:
    struct Slot
    {
        MidiDeviceRef ref = kNullMidiDevice;
        std::optional<MidiDeviceRecord> record;
    };
    struct Configuration
    {
        std::string name;
        std::vector<Slot> slots;
    };

    const std::vector<Slot>* CurrentSlots() const;
    const MidiDeviceRecord* Find(MidiDeviceRef device) const;

    std::vector<Configuration> mConfigurations;
    std::optional<std::string> mCurrent;
    std::optional<std::optional<std::vector<std::optional<std::string>>>> mListOverride;
    std::set<std::string> mFailingInstalls;
    bool mFailRemovals = false;
    std::vector<std::string> mInstallHistory;
    MidiDeviceRef mNextRef = 1;
};

} // namespace Uninstaller::Platform
