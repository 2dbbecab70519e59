#include "Uninstaller/SharedUninstaller/PruneMIDI.h"

namespace Uninstaller
{

using namespace Platform;

void PruneMIDI::Prune(IMidiSetup& setup, std::string_view driver, std::string& log)
{
    for (std::size_t index = setup.DeviceCount(); index-- > 0;)
    {
        const MidiDeviceRef device = setup.DeviceAt(index);
        std::string deviceDriver;
        if (device == kNullMidiDevice ||
            setup.StringProperty(device, kMidiPropertyDriver, deviceDriver) != MidiProperty::Text ||
            deviceDriver != driver)
        {
            continue;
        }
        std::string model;
        std::string name;
        if (setup.StringProperty(device, kMidiPropertyModel, model) == MidiProperty::Text &&
            setup.StringProperty(device, kMidiPropertyName, name) == MidiProperty::Text)
        {
            log += "      Removing \"" + model + "\" device named \"" + name + "\".\n";
        }
        // A device that cannot be removed stays; the walk goes on with the others.
        (void)setup.RemoveDevice(device);
    }
}

void PruneMIDI::PruneAll(IMidiSetup& setup, std::string_view driver, std::string& log)
{
    const std::optional<std::string> current = setup.CurrentConfiguration();
    const std::optional<std::vector<std::optional<std::string>>> configurations = setup.ConfigurationList();
    if (!configurations)
    {
        Prune(setup, driver, log);
    }
    else
    {
        log += "Checking Audio MIDI Setup MIDI configurations:\n";
        for (const std::optional<std::string>& configuration : *configurations)
        {
            if (!configuration)
            {
                continue;
            }
            if (setup.InstallConfiguration(*configuration) != kMidiNoError)
            {
                log += "  Unable to set configuration \"" + *configuration + "\".\n";
                continue;
            }
            log += "  Checking configuration \"" + *configuration + "\".\n";
            Prune(setup, driver, log);
        }
    }
    if (current)
    {
        // Nothing is left to do when the earlier setup cannot be put back.
        (void)setup.InstallConfiguration(*current);
    }
}

} // namespace Uninstaller
