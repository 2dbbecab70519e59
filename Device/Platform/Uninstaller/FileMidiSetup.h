// A MIDI setup kept in an XML property-list file:
//   { "current": name,
//     "configurations": { name: [ { "driver", "model", "name" }, ... ], ... } }
// A device entry that is not a dictionary is a null device; a property that is
// not a string cannot be read. Every change is written to a new file that then
// replaces the old one, so a crash leaves the old setup or the new one. A file
// that is not such a property list is reported and never written.
#pragma once

#include "Platform/PropertyList.h"
#include "Platform/Uninstaller/MidiSetup.h"

#include <memory>

namespace Uninstaller::Platform
{

class FileMidiSetup final : public IMidiSetup
{
public:
    // kMidiIOError when the file cannot be read, kMidiDamagedSetup when it is
    // not a setup.
    [[nodiscard]] static int Open(const std::string& path, std::unique_ptr<FileMidiSetup>& setup);
    FileMidiSetup(const FileMidiSetup&) = delete;
    FileMidiSetup& operator=(const FileMidiSetup&) = delete;

    std::size_t DeviceCount() const override;
    MidiDeviceRef DeviceAt(std::size_t index) const override;
    MidiProperty StringProperty(MidiDeviceRef device, const char* key, std::string& text) const override;
    [[nodiscard]] int RemoveDevice(MidiDeviceRef device) override;
    std::optional<std::string> CurrentConfiguration() const override;
    std::optional<std::vector<std::optional<std::string>>> ConfigurationList() const override;
    [[nodiscard]] int InstallConfiguration(const std::string& name) override;

private:
    // root is a checked setup.
    FileMidiSetup(std::string path, KT::Platform::Plist root);

    // The current configuration's device array in tree, or null.
    static KT::Platform::PlistNode CurrentDevices(KT::Platform::PlistNode tree);
    void NumberDevices();
    // Writes tree and, once it is on disk, makes it the setup's; on failure
    // nothing changes.
    int Commit(KT::Platform::Plist tree);

    std::string mPath;
    KT::Platform::Plist mRoot;
    // The reference of each entry of the current configuration's array.
    std::vector<MidiDeviceRef> mRefs;
    MidiDeviceRef mNextRef = 1;
};

} // namespace Uninstaller::Platform
