// Removes the MIDI devices of one driver from a MIDI setup, logging what it
// removes. Nothing in the application calls it: the check box that would ask
// for it stays hidden and the uninstall ignores its state.
#pragma once

#include "Platform/Uninstaller/MidiSetup.h"

#include <string>
#include <string_view>

namespace Uninstaller
{

class PruneMIDI
{
public:
    PruneMIDI() = delete;

    // Removes every device of the current setup whose "driver" is exactly
    // driver, from the last index to the first. A device whose model and name
    // can both be read is logged as it goes.
    static void Prune(Platform::IMidiSetup& setup, std::string_view driver, std::string& log);

    // Prunes every saved configuration in turn (or the current setup alone
    // when there is no list), then installs the configuration that was
    // current before again.
    static void PruneAll(Platform::IMidiSetup& setup, std::string_view driver, std::string& log);
};

} // namespace Uninstaller
