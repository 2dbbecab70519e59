// The system's MIDI setup as the uninstaller's MIDI pruning sees it: the
// devices of the current setup, each with string properties, and named saved
// configurations, one of which is current. Linux keeps no such setup of its
// own, so two stores stand in for it: MemoryMidiSetup (with switches that make
// each operation fail) and FileMidiSetup (a property-list file).
//
// A store is used from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Uninstaller::Platform
{

using MidiDeviceRef = std::uint32_t;
inline constexpr MidiDeviceRef kNullMidiDevice = 0;

// Results of the operations that change the setup.
enum MidiStatus : int
{
    kMidiNoError = 0,
    kMidiUnknownObject = 1, // no such device or configuration
    kMidiDamagedSetup = 2,  // the stored setup cannot be read
    kMidiIOError = 3,       // the stored setup cannot be written
    kMidiFault = 4,         // a failure a test asked for
};

enum class MidiProperty
{
    Text,
    Absent,
    Unreadable,
};

// Device property keys.
inline constexpr char kMidiPropertyDriver[] = "driver";
inline constexpr char kMidiPropertyModel[] = "model";
inline constexpr char kMidiPropertyName[] = "name";

class IMidiSetup
{
public:
    virtual ~IMidiSetup() = default;

    // Devices of the current setup.
    virtual std::size_t DeviceCount() const = 0;
    // kNullMidiDevice for an index past the end or a slot without a device.
    virtual MidiDeviceRef DeviceAt(std::size_t index) const = 0;
    // text is set only for MidiProperty::Text.
    virtual MidiProperty StringProperty(MidiDeviceRef device, const char* key, std::string& text) const = 0;
    [[nodiscard]] virtual int RemoveDevice(MidiDeviceRef device) = 0;

    // Configurations are known by their names.
    virtual std::optional<std::string> CurrentConfiguration() const = 0;
    // Absent when there is no list; an entry may be absent too.
    virtual std::optional<std::vector<std::optional<std::string>>> ConfigurationList() const = 0;
    // Makes the configuration current: its devices become the setup's.
    [[nodiscard]] virtual int InstallConfiguration(const std::string& name) = 0;
};

} // namespace Uninstaller::Platform
