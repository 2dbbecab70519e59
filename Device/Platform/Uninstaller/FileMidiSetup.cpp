#include "Platform/Uninstaller/FileMidiSetup.h"

#include "Platform/Uninstaller/ResourceBundle.h"

#include <plist/plist.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace Uninstaller::Platform
{

namespace
{

constexpr char kCurrentKey[] = "current";
constexpr char kConfigurationsKey[] = "configurations";
constexpr std::size_t kMaxSetupFileBytes = 16 * 1024 * 1024;

std::optional<std::string> StringValue(plist_t node)
{
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING)
    {
        return std::nullopt;
    }
    char* value = nullptr;
    plist_get_string_val(node, &value);
    if (value == nullptr)
    {
        return std::nullopt;
    }
    std::string text(value);
    std::free(value);
    return text;
}

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
    if (root == nullptr || plist_get_node_type(root) != PLIST_DICT)
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

int WriteAtomically(const std::string& path, const char* data, std::size_t size)
{
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
    {
        return kMidiIOError;
    }
    bool ok = ::fchmod(fd, 0644) == 0;
    for (std::size_t done = 0; ok && done < size;)
    {
        const ssize_t wrote = ::write(fd, data + done, size - done);
        if (wrote < 0 && errno == EINTR)
        {
            continue;
        }
        ok = wrote > 0;
        done += ok ? static_cast<std::size_t>(wrote) : 0;
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok)
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
    plist_t root = nullptr;
    if (!bytes->empty())
    {
        plist_from_xml(bytes->data(), static_cast<std::uint32_t>(bytes->size()), &root);
    }
    if (!IsSetup(root))
    {
        if (root != nullptr)
        {
            plist_free(root);
        }
        return kMidiDamagedSetup;
    }
    setup.reset(new FileMidiSetup(path, root));
    return kMidiNoError;
}

FileMidiSetup::FileMidiSetup(std::string path, void* root) : mPath(std::move(path)), mRoot(root)
{
    NumberDevices();
}

FileMidiSetup::~FileMidiSetup()
{
    plist_free(static_cast<plist_t>(mRoot));
}

void* FileMidiSetup::CurrentDevices(void* tree)
{
    const std::optional<std::string> current = StringValue(plist_dict_get_item(tree, kCurrentKey));
    const plist_t configurations = plist_dict_get_item(tree, kConfigurationsKey);
    if (!current || configurations == nullptr)
    {
        return nullptr;
    }
    return plist_dict_get_item(configurations, current->c_str());
}

void FileMidiSetup::NumberDevices()
{
    mRefs.clear();
    const plist_t devices = CurrentDevices(mRoot);
    const std::uint32_t count = devices == nullptr ? 0 : plist_array_get_size(devices);
    for (std::uint32_t i = 0; i < count; ++i)
    {
        const bool isDevice = plist_get_node_type(plist_array_get_item(devices, i)) == PLIST_DICT;
        mRefs.push_back(isDevice ? mNextRef++ : kNullMidiDevice);
    }
}

int FileMidiSetup::Commit(void* tree)
{
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(static_cast<plist_t>(tree), &xml, &length);
    const int result = xml == nullptr ? kMidiIOError : WriteAtomically(mPath, xml, length);
    if (xml != nullptr)
    {
        plist_to_xml_free(xml);
    }
    if (result != kMidiNoError)
    {
        plist_free(static_cast<plist_t>(tree));
        return result;
    }
    plist_free(static_cast<plist_t>(mRoot));
    mRoot = tree;
    return kMidiNoError;
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
        plist_array_get_item(CurrentDevices(mRoot), static_cast<std::uint32_t>(found - mRefs.begin()));
    const plist_t value = plist_dict_get_item(entry, key);
    if (value == nullptr)
    {
        return MidiProperty::Absent;
    }
    std::optional<std::string> string = StringValue(value);
    if (!string)
    {
        return MidiProperty::Unreadable;
    }
    text = std::move(*string);
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
    const plist_t tree = plist_copy(static_cast<plist_t>(mRoot));
    plist_array_remove_item(CurrentDevices(tree), index);
    const int result = Commit(tree);
    if (result == kMidiNoError)
    {
        mRefs.erase(mRefs.begin() + index);
    }
    return result;
}

std::optional<std::string> FileMidiSetup::CurrentConfiguration() const
{
    return StringValue(plist_dict_get_item(static_cast<plist_t>(mRoot), kCurrentKey));
}

std::optional<std::vector<std::optional<std::string>>> FileMidiSetup::ConfigurationList() const
{
    const plist_t configurations = plist_dict_get_item(static_cast<plist_t>(mRoot), kConfigurationsKey);
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
    const plist_t configurations = plist_dict_get_item(static_cast<plist_t>(mRoot), kConfigurationsKey);
    if (configurations == nullptr || plist_dict_get_item(configurations, name.c_str()) == nullptr)
    {
        return kMidiUnknownObject;
    }
    const plist_t tree = plist_copy(static_cast<plist_t>(mRoot));
    plist_dict_set_item(tree, kCurrentKey, plist_new_string(name.c_str()));
    const int result = Commit(tree);
    if (result == kMidiNoError)
    {
        NumberDevices();
    }
    return result;
}

} // namespace Uninstaller::Platform
