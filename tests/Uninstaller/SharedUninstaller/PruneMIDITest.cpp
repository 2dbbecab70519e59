#include <gtest/gtest.h>

#include "Platform/Uninstaller/FileMidiSetup.h"
#include "Platform/Uninstaller/MemoryMidiSetup.h"
#include "Uninstaller/SharedUninstaller/PruneMIDI.h"

#include "support/Uninstaller/TestProcesses.h"

using namespace Uninstaller;
using namespace Uninstaller::Platform;
using namespace UninstallerTest;

namespace
{

constexpr char kDriver[] = "Velq";

MidiDeviceRecord Device(std::optional<std::string> driver, std::optional<std::string> model,
                        std::optional<std::string> name)
{
    return {std::move(driver), std::move(model), std::move(name), {}};
}

MidiDeviceRecord UnreadableDriver()
{
    MidiDeviceRecord record = Device(kDriver, "MU", "Unreadable");
    record.unreadable.insert(kMidiPropertyDriver);
    return record;
}

// Two configurations, "Studio" current: the devices to be removed, and one of
// every kind to be left alone.
const std::vector<std::pair<std::string, MemoryMidiSetup::Devices>> kScenario = {
    {"Studio",
     {Device(kDriver, "M1", "One"), std::nullopt, Device("velq", "Mx", "Case"),
      Device(kDriver, std::nullopt, "NoModel"), UnreadableDriver(), Device(std::nullopt, "Mx", "NoDriver"),
      Device("Other", "Mx", "Other"), Device(kDriver, "M2", "Two")}},
    {"Live", {Device(kDriver, "M3", "Three")}},
};

const MemoryMidiSetup::Devices kStudioLeft = {std::nullopt, Device("velq", "Mx", "Case"), UnreadableDriver(),
                                              Device(std::nullopt, "Mx", "NoDriver"),
                                              Device("Other", "Mx", "Other")};

const char kScenarioLog[] = "Checking Audio MIDI Setup MIDI configurations:\n"
                            "  Checking configuration \"Studio\".\n"
                            "      Removing \"M2\" device named \"Two\".\n"
                            "      Removing \"M1\" device named \"One\".\n"
                            "  Checking configuration \"Live\".\n"
                            "      Removing \"M3\" device named \"Three\".\n";

std::unique_ptr<MemoryMidiSetup> MemoryScenario()
{
    auto setup = std::make_unique<MemoryMidiSetup>();
    for (const auto& [name, devices] : kScenario)
    {
        setup->AddConfiguration(name, devices);
    }
    setup->SetCurrent("Studio");
    return setup;
}

// The setup's devices read back through the interface, for either store.
MemoryMidiSetup::Devices CurrentDevices(const IMidiSetup& setup)
{
    MemoryMidiSetup::Devices devices;
    for (std::size_t i = 0; i < setup.DeviceCount(); ++i)
    {
        const MidiDeviceRef ref = setup.DeviceAt(i);
        if (ref == kNullMidiDevice)
        {
            devices.push_back(std::nullopt);
            continue;
        }
        MidiDeviceRecord record;
        for (const char* key : {kMidiPropertyDriver, kMidiPropertyModel, kMidiPropertyName})
        {
            std::string text;
            const MidiProperty state = setup.StringProperty(ref, key, text);
            std::optional<std::string>& field = key == kMidiPropertyDriver  ? record.driver
                                                : key == kMidiPropertyModel ? record.model
                                                                            : record.name;
            if (state == MidiProperty::Text)
            {
                field = text;
            }
            else if (state == MidiProperty::Unreadable)
            {
                field = key == kMidiPropertyDriver  ? kDriver
                        : key == kMidiPropertyModel ? "MU"
                                                    : "Unreadable";
                record.unreadable.insert(key);
            }
        }
        devices.push_back(record);
    }
    return devices;
}

const char kScenarioPlist[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>current</key><string>Studio</string>
  <key>configurations</key>
  <dict>
    <key>Studio</key>
    <array>
      <dict><key>driver</key><string>Velq</string><key>model</key><string>M1</string><key>name</key><string>One</string></dict>
      <string>not a device</string>
      <dict><key>driver</key><string>velq</string><key>model</key><string>Mx</string><key>name</key><string>Case</string></dict>
      <dict><key>driver</key><string>Velq</string><key>name</key><string>NoModel</string></dict>
      <dict><key>driver</key><integer>7</integer><key>model</key><string>MU</string><key>name</key><string>Unreadable</string></dict>
      <dict><key>model</key><string>Mx</string><key>name</key><string>NoDriver</string></dict>
      <dict><key>driver</key><string>Other</string><key>model</key><string>Mx</string><key>name</key><string>Other</string></dict>
      <dict><key>driver</key><string>Velq</string><key>model</key><string>M2</string><key>name</key><string>Two</string></dict>
    </array>
    <key>Live</key>
    <array>
      <dict><key>driver</key><string>Velq</string><key>model</key><string>M3</string><key>name</key><string>Three</string></dict>
    </array>
  </dict>
</dict>
</plist>
)";

} // namespace

TEST(PruneMIDI, RemovesTheDriversDevicesFromEveryConfigurationOfBothStores)
{
    const auto memory = MemoryScenario();
    std::string log;
    PruneMIDI::PruneAll(*memory, kDriver, log);
    EXPECT_EQ(log, kScenarioLog);
    EXPECT_EQ(memory->DevicesOf("Studio"), kStudioLeft);
    EXPECT_EQ(memory->DevicesOf("Live"), MemoryMidiSetup::Devices{});
    EXPECT_EQ(memory->InstallHistory(), (std::vector<std::string>{"Studio", "Live", "Studio"}));

    TempRoot folder;
    WriteFile(folder / "setup.plist", kScenarioPlist, 0644);
    std::unique_ptr<FileMidiSetup> stored;
    ASSERT_EQ(FileMidiSetup::Open(folder / "setup.plist", stored), kMidiNoError);
    log.clear();
    PruneMIDI::PruneAll(*stored, kDriver, log);
    EXPECT_EQ(log, kScenarioLog);
    // What was written reads back the same from a fresh copy of the file.
    std::unique_ptr<FileMidiSetup> reread;
    ASSERT_EQ(FileMidiSetup::Open(folder / "setup.plist", reread), kMidiNoError);
    EXPECT_EQ(reread->CurrentConfiguration(), "Studio");
    EXPECT_EQ(CurrentDevices(*reread), kStudioLeft);
    ASSERT_EQ(reread->InstallConfiguration("Live"), kMidiNoError);
    EXPECT_EQ(reread->DeviceCount(), 0u);
}

TEST(PruneMIDI, WithoutAListPrunesTheCurrentSetupOnly)
{
    const auto memory = MemoryScenario();
    memory->OverrideConfigurationList(std::nullopt);
    std::string log;
    PruneMIDI::PruneAll(*memory, kDriver, log);
    EXPECT_EQ(log, "      Removing \"M2\" device named \"Two\".\n"
                   "      Removing \"M1\" device named \"One\".\n");
    EXPECT_EQ(memory->DevicesOf("Studio"), kStudioLeft);
    EXPECT_EQ(memory->DevicesOf("Live").size(), 1u);
}

TEST(PruneMIDI, SkipsAbsentEntriesAndLogsConfigurationsThatCannotBeInstalled)
{
    const auto memory = MemoryScenario();
    memory->AddConfiguration("Broken", {Device(kDriver, "M4", "Four")});
    memory->OverrideConfigurationList(
        std::vector<std::optional<std::string>>{std::nullopt, "Broken", "Live"});
    memory->FailInstallOf("Broken");
    std::string log;
    PruneMIDI::PruneAll(*memory, kDriver, log);
    EXPECT_EQ(log, "Checking Audio MIDI Setup MIDI configurations:\n"
                   "  Unable to set configuration \"Broken\".\n"
                   "  Checking configuration \"Live\".\n"
                   "      Removing \"M3\" device named \"Three\".\n");
    EXPECT_EQ(memory->DevicesOf("Broken").size(), 1u);
    EXPECT_EQ(memory->InstallHistory(), (std::vector<std::string>{"Live", "Studio"}));
    EXPECT_EQ(memory->CurrentConfiguration(), "Studio");

    // A stored setup that can no longer be written installs nothing.
    TempRoot folder;
    WriteFile(folder / "setup.plist", kScenarioPlist, 0644);
    std::unique_ptr<FileMidiSetup> stored;
    ASSERT_EQ(FileMidiSetup::Open(folder / "setup.plist", stored), kMidiNoError);
    std::filesystem::remove_all(folder.Path());
    log.clear();
    PruneMIDI::PruneAll(*stored, kDriver, log);
    EXPECT_EQ(log, "Checking Audio MIDI Setup MIDI configurations:\n"
                   "  Unable to set configuration \"Studio\".\n"
                   "  Unable to set configuration \"Live\".\n");
    EXPECT_EQ(CurrentDevices(*stored).size(), 8u);
}

TEST(FileMidiSetup, RefusesADamagedFileAndLeavesItAsItIs)
{
    const char* const damaged[] = {
        "",
        "not a property list",
        "<plist version=\"1.0\"><array/></plist>",
        "<plist version=\"1.0\"><dict><key>current</key><integer>1</integer></dict></plist>",
        "<plist version=\"1.0\"><dict><key>configurations</key><array/></dict></plist>",
        "<plist><dict><key>configurations</key><dict><key>A</key><string/></dict></dict></plist>",
        "<plist version=\"1.0\"><dict><key>configurations</key><dict><key>A</key><array>",
    };
    TempRoot folder;
    const std::string path = folder / "setup.plist";
    for (const char* content : damaged)
    {
        WriteFile(path, content, 0644);
        std::unique_ptr<FileMidiSetup> setup;
        EXPECT_EQ(FileMidiSetup::Open(path, setup), kMidiDamagedSetup) << content;
        EXPECT_EQ(setup, nullptr);
        EXPECT_EQ(ReadFile(path), content);
    }
    std::unique_ptr<FileMidiSetup> setup;
    EXPECT_EQ(FileMidiSetup::Open("/nonexistent/setup.plist", setup), kMidiIOError);

    WriteFile(path, "<plist version=\"1.0\"><dict/></plist>", 0644);
    ASSERT_EQ(FileMidiSetup::Open(path, setup), kMidiNoError);
    EXPECT_EQ(setup->ConfigurationList(), std::nullopt);
    EXPECT_EQ(setup->CurrentConfiguration(), std::nullopt);
    EXPECT_EQ(setup->DeviceCount(), 0u);
    EXPECT_EQ(setup->InstallConfiguration("A"), kMidiUnknownObject);
}
