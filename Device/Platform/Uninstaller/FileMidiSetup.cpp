#include "Platform/Uninstaller/FileMidiSetup.h"

#include "Platform/Uninstaller/FileDescriptor.h"
#include "Platform/Uninstaller/ResourceBundle.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Uninstaller::Platform
{

using KT::Platform::Plist;
using KT::Platform::PlistNode;
using KT::Platform::PlistType;

namespace
{

constexpr char kCurrentKey[] = "current";
constexpr char kConfigurationsKey[] = "configurations";
constexpr std::size_t kMaxSetupFileBytes = 16 * 1024 * 1024;

std::optional<std::string> StringAt(PlistNode dictionary, const char* key)
{
    std::string text;
    if (!dictionary.GetDictionaryItem(key).GetString(text))
    {
        return std::nullopt;
    }
    return text;
}

bool IsSetup(PlistNode root)
{
    if (root.GetType() != PlistType::Dictionary)
    {
        return false;
    }
    const PlistNode current = root.GetDictionaryItem(kCurrentKey);
    if (current && current.GetType() != PlistType::String)
    {
        return false;
    }
    const PlistNode configurations = root.GetDictionaryItem(kConfigurationsKey);
    if (!configurations)
    {
        return true;
    }
    if (configurations.GetType() != PlistType::Dictionary)
    {
        return false;
    }
    const auto entries = configurations.GetDictionaryItems();
    return std::all_of(entries.begin(), entries.end(),
                       [](const auto& entry) { return entry.second.GetType() == PlistType::Array; });
}

// A setup belongs to its user, so unlike the files the helper trusts it keeps
// the writer's ownership.
int WriteAtomically(const std::string& path, const unsigned char* data, std::size_t size)
{
    std::string temporary = path + ".XXXXXX";
    FileDescriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!file)
    {
        return kMidiIOError;
    }
    bool ok =
        ::fchmod(file.Get(), 0644) == 0 && WriteAll(file.Get(), data, size) == 0 && ::fsync(file.Get()) == 0;
    ok = ::close(file.Release()) == 0 && ok;
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0)
    {
        ::unlink(temporary.c_str());
        return kMidiIOError;
    }
    return kMidiNoError;
}

} // namespace

int FileMidiSetup::Open(const std::string& path, std::unique_ptr<FileMidiSetup>& setup)
{
    const std::optional<std::string> bytes = ReadResourceFile(path, kMaxSetupFileBytes);
    if (!bytes)
    {
        return kMidiIOError;
    }
    Plist root = Plist::FromBytes(reinterpret_cast<const unsigned char*>(bytes->data()), bytes->size(),
                                  KT::Platform::PlistInput::XmlText);
    if (!IsSetup(root.GetRoot()))
    {
        return kMidiDamagedSetup;
    }
    setup.reset(new FileMidiSetup(path, std::move(root)));
    return kMidiNoError;
}

FileMidiSetup::FileMidiSetup(std::string path, Plist root) : mPath(std::move(path)), mRoot(std::move(root))
{
    NumberDevices();
}

PlistNode FileMidiSetup::CurrentDevices(PlistNode tree)
{
    const std::optional<std::string> current = StringAt(tree, kCurrentKey);
    return current ? tree.GetDictionaryItem(kConfigurationsKey).GetDictionaryItem(current->c_str())
                   : PlistNode();
}

void FileMidiSetup::NumberDevices()
{
    mRefs.clear();
    const PlistNode devices = CurrentDevices(mRoot.GetRoot());
    for (std::size_t i = 0; i < devices.GetArraySize(); ++i)
    {
        mRefs.push_back(devices.GetArrayItem(i).GetType() == PlistType::Dictionary ? mNextRef++
                                                                                   : kNullMidiDevice);
    }
}

int FileMidiSetup::Commit(Plist tree)
{
    std::vector<unsigned char> xml;
    const int result = tree.ToXml(xml) ? WriteAtomically(mPath, xml.data(), xml.size()) : kMidiIOError;
    if (result == kMidiNoError)
    {
        mRoot = std::move(tree);
    }
    return result;
}

std::size_t FileMidiSetup::DeviceCount() const
{
    return mRefs.size();
}

MidiDeviceRef FileMidiSetup::DeviceAt(std::size_t index) const
{
    return index < mRefs.size() ? mRefs[index] : kNullMidiDevice;
}

MidiProperty FileMidiSetup::StringProperty(MidiDeviceRef device, const char* key, std::string& text) const
{
    const auto found = std::find(mRefs.begin(), mRefs.end(), device);
    if (device == kNullMidiDevice || found == mRefs.end())
    {
        return MidiProperty::Unreadable;
    }
    const PlistNode entry =
        CurrentDevices(mRoot.GetRoot()).GetArrayItem(static_cast<std::size_t>(found - mRefs.begin()));
    if (!entry.GetDictionaryItem(key))
    {
        return MidiProperty::Absent;
    }
    return entry.GetDictionaryItem(key).GetString(text) ? MidiProperty::Text : MidiProperty::Unreadable;
}

int FileMidiSetup::RemoveDevice(MidiDeviceRef device)
{
    const auto found = std::find(mRefs.begin(), mRefs.end(), device);
    if (device == kNullMidiDevice || found == mRefs.end())
    {
        return kMidiUnknownObject;
    }
    const auto index = static_cast<std::size_t>(found - mRefs.begin());
    Plist tree = mRoot.Copy();
    if (!tree.RemoveArrayItem(CurrentDevices(tree.GetRoot()), index))
    {
        return kMidiUnknownObject;
    }
    const int result = Commit(std::move(tree));
    if (result == kMidiNoError)
    {
        mRefs.erase(found);
    }
    return result;
}

std::optional<std::string> FileMidiSetup::CurrentConfiguration() const
{
    return StringAt(mRoot.GetRoot(), kCurrentKey);
}

std::optional<std::vector<std::optional<std::string>>> FileMidiSetup::ConfigurationList() const
{
    const PlistNode configurations = mRoot.GetRoot().GetDictionaryItem(kConfigurationsKey);
    if (!configurations)
    {
        return std::nullopt;
    }
    std::vector<std::optional<std::string>> names;
    for (auto& [key, value] : configurations.GetDictionaryItems())
    {
        names.push_back(std::move(key));
    }
    return names;
}

int FileMidiSetup::InstallConfiguration(const std::string& name)
{
    if (!mRoot.GetRoot().GetDictionaryItem(kConfigurationsKey).GetDictionaryItem(name.c_str()))
    {
        return kMidiUnknownObject;
    }
    Plist tree = mRoot.Copy();
    if (!tree.SetItem(kCurrentKey, Plist::NewString(name)))
    {
        return kMidiIOError;
    }
    const int result = Commit(std::move(tree));
    if (result == kMidiNoError)
    {
        NumberDevices();
    }
    return result;
}

} // namespace Uninstaller::Platform
