#include "Platform/Uninstaller/MemoryMidiSetup.h"

#include <algorithm>

namespace Uninstaller::Platform
{

void MemoryMidiSetup::AddConfiguration(const std::string& name, const Devices& devices)
{
    Configuration configuration{name, {}};
    for (const std::optional<MidiDeviceRecord>& record : devices)
    {
        configuration.slots.push_back({record ? mNextRef++ : kNullMidiDevice, record});
    }
    mConfigurations.push_back(std::move(configuration));
}

void MemoryMidiSetup::OverrideConfigurationList(std::optional<std::vector<std::optional<std::string>>> list)
{
    mListOverride = std::move(list);
}

MemoryMidiSetup::Devices MemoryMidiSetup::DevicesOf(const std::string& name) const
{
    Devices devices;
    for (const Configuration& configuration : mConfigurations)
    {
        if (configuration.name == name)
        {
            for (const Slot& slot : configuration.slots)
            {
                devices.push_back(slot.record);
            }
        }
    }
    return devices;
}

const std::vector<MemoryMidiSetup::Slot>* MemoryMidiSetup::CurrentSlots() const
{
    if (!mCurrent)
    {
        return nullptr;
    }
    for (const Configuration& configuration : mConfigurations)
    {
        if (configuration.name == *mCurrent)
        {
            return &configuration.slots;
        }
    }
    return nullptr;
}

const MidiDeviceRecord* MemoryMidiSetup::Find(MidiDeviceRef device) const
{
    const std::vector<Slot>* slots = CurrentSlots();
    if (slots == nullptr || device == kNullMidiDevice)
    {
        return nullptr;
    }
    for (const Slot& slot : *slots)
    {
        if (slot.ref == device)
        {
            return &*slot.record;
        }
    }
    return nullptr;
}

std::size_t MemoryMidiSetup::DeviceCount() const
{
    const std::vector<Slot>* slots = CurrentSlots();
    return slots == nullptr ? 0 : slots->size();
}

MidiDeviceRef MemoryMidiSetup::DeviceAt(std::size_t index) const
{
    const std::vector<Slot>* slots = CurrentSlots();
    return slots == nullptr || index >= slots->size() ? kNullMidiDevice : (*slots)[index].ref;
}

MidiProperty MemoryMidiSetup::StringProperty(MidiDeviceRef device, const char* key, std::string& text) const
{
    const MidiDeviceRecord* record = Find(device);
    if (record == nullptr || record->unreadable.contains(key))
    {
        return MidiProperty::Unreadable;
    }
    const std::string_view name(key);
    const std::optional<std::string>* value = name == kMidiPropertyDriver  ? &record->driver
                                              : name == kMidiPropertyModel ? &record->model
                                              : name == kMidiPropertyName  ? &record->name
                                                                           : nullptr;
    if (value == nullptr || !*value)
    {
        return MidiProperty::Absent;
    }
    text = **value;
    return MidiProperty::Text;
}

int MemoryMidiSetup::RemoveDevice(MidiDeviceRef device)
{
    if (mFailRemovals)
    {
        return kMidiFault;
    }
    for (Configuration& configuration : mConfigurations)
    {
        if (mCurrent && configuration.name == *mCurrent)
        {
            const auto found = std::find_if(configuration.slots.begin(), configuration.slots.end(),
                                            [device](const Slot& slot) { return slot.ref == device; });
            if (device != kNullMidiDevice && found != configuration.slots.end())
            {
                configuration.slots.erase(found);
                return kMidiNoError;
            }
        }
    }
    return kMidiUnknownObject;
}

std::optional<std::vector<std::optional<std::string>>> MemoryMidiSetup::ConfigurationList() const
{
    if (mListOverride)
    {
        return *mListOverride;
    }
    std::vector<std::optional<std::string>> names;
    for (const Configuration& configuration : mConfigurations)
    {
        names.push_back(configuration.name);
    }
    return names;
}

int MemoryMidiSetup::InstallConfiguration(const std::string& name)
{
    if (mFailingInstalls.contains(name))
    {
        return kMidiFault;
    }
    const bool known =
        std::any_of(mConfigurations.begin(), mConfigurations.end(),
                    [&name](const Configuration& configuration) { return configuration.name == name; });
    if (!known)
    {
        return kMidiUnknownObject;
    }
    mCurrent = name;
    mInstallHistory.push_back(name);
    return kMidiNoError;
}

} // namespace Uninstaller::Platform
