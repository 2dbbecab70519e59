#include "Platform/Uninstaller/FileMidiSetup.h"

#include "Platform/Uninstaller/FileDescriptor.h"
#include "Platform/Uninstaller/ResourceBundle.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Uninstaller::Platform
{

namespace
{

constexpr char kCurrentKey[] = "current";
constexpr char kConfigurationsKey[] = "configurations";
constexpr std::size_t kMaxSetupFileBytes = 16 * 1024 * 1024;

// Calls visit(key, value) for each entry of a dictionary, in its order.
template <typename Visit>
void ForEachEntry(plist_t dictionary, Visit visit)
{
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(dictionary, &iterator);
    if (iterator == nullptr)
    {
        return;
    }
    for (;;)
    {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dictionary, iterator, &key, &value);
        if (value == nullptr)
        {
            std::free(key);
            break;
        }
        visit(std::string(key != nullptr ? key : ""), value);
        std::free(key);
    }
    std::free(iterator);
}

bool IsSetup(plist_t root)
{
    if (!IsDictionary(root))
    {
        return false;
    }
    const plist_t current = plist_dict_get_item(root, kCurrentKey);
    if (current != nullptr && plist_get_node_type(current) != PLIST_STRING)
    {
        return false;
    }
    const plist_t configurations = plist_dict_get_item(root, kConfigurationsKey);
    if (configurations == nullptr)
    {
        return true;
    }
    if (plist_get_node_type(configurations) != PLIST_DICT)
    {
        return false;
    }
    bool allArrays = true;
    ForEachEntry(configurations, [&allArrays](const std::string&, plist_t value)
                 { allArrays = allArrays && plist_get_node_type(value) == PLIST_ARRAY; });
    return allArrays;
}

// A setup belongs to its user, so unlike the files the helper trusts it keeps
// the writer's ownership.
int WriteAtomically(const std::string& path, const char* data, std::size_t size)
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
    PropertyList root =
        PropertyList::FromXML({reinterpret_cast<const unsigned char*>(bytes->data()), bytes->size()});
    if (!IsSetup(root.Get()))
    {
        return kMidiDamagedSetup;
    }
    setup.reset(new FileMidiSetup(path, std::move(root)));
    return kMidiNoError;
}

FileMidiSetup::FileMidiSetup(std::string path, PropertyList root)
    : mPath(std::move(path)), mRoot(std::move(root))
{
    NumberDevices();
}

plist_t FileMidiSetup::CurrentDevices(plist_t tree)
{
    const std::optional<std::string> current = DictionaryString(tree, kCurrentKey);
    return current ? DictionaryItem(DictionaryItem(tree, kConfigurationsKey), current->c_str()) : nullptr;
}

void FileMidiSetup::NumberDevices()
{
    mRefs.clear();
    const plist_t devices = CurrentDevices(mRoot.Get());
    const std::uint32_t count = devices == nullptr ? 0 : plist_array_get_size(devices);
    for (std::uint32_t i = 0; i < count; ++i)
    {
        mRefs.push_back(IsDictionary(plist_array_get_item(devices, i)) ? mNextRef++ : kNullMidiDevice);
    }
}

int FileMidiSetup::Commit(PropertyList tree)
{
    const std::optional<std::string> xml = tree.ToXML();
    const int result = xml ? WriteAtomically(mPath, xml->data(), xml->size()) : kMidiIOError;
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
    const plist_t entry =
        plist_array_get_item(CurrentDevices(mRoot.Get()), static_cast<std::uint32_t>(found - mRefs.begin()));
    if (DictionaryItem(entry, key) == nullptr)
    {
        return MidiProperty::Absent;
    }
    std::optional<std::string> value = DictionaryString(entry, key);
    if (!value)
    {
        return MidiProperty::Unreadable;
    }
    text = std::move(*value);
    return MidiProperty::Text;
}

int FileMidiSetup::RemoveDevice(MidiDeviceRef device)
{
    const auto found = std::find(mRefs.begin(), mRefs.end(), device);
    if (device == kNullMidiDevice || found == mRefs.end())
    {
        return kMidiUnknownObject;
    }
    const auto index = static_cast<std::uint32_t>(found - mRefs.begin());
    PropertyList tree(plist_copy(mRoot.Get()));
    plist_array_remove_item(CurrentDevices(tree.Get()), index);
    const int result = Commit(std::move(tree));
    if (result == kMidiNoError)
    {
        mRefs.erase(mRefs.begin() + index);
    }
    return result;
}

std::optional<std::string> FileMidiSetup::CurrentConfiguration() const
{
    return DictionaryString(mRoot.Get(), kCurrentKey);
}

std::optional<std::vector<std::optional<std::string>>> FileMidiSetup::ConfigurationList() const
{
    const plist_t configurations = DictionaryItem(mRoot.Get(), kConfigurationsKey);
    if (configurations == nullptr)
    {
        return std::nullopt;
    }
    std::vector<std::optional<std::string>> names;
    ForEachEntry(configurations, [&names](const std::string& key, plist_t) { names.push_back(key); });
    return names;
}

int FileMidiSetup::InstallConfiguration(const std::string& name)
{
    if (DictionaryItem(DictionaryItem(mRoot.Get(), kConfigurationsKey), name.c_str()) == nullptr)
    {
        return kMidiUnknownObject;
    }
    PropertyList tree(plist_copy(mRoot.Get()));
    plist_dict_set_item(tree.Get(), kCurrentKey, plist_new_string(name.c_str()));
    const int result = Commit(std::move(tree));
    if (result == kMidiNoError)
    {
        NumberDevices();
    }
    return result;
}

} // namespace Uninstaller::Platform
