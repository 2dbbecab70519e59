#include "Uninstaller/SharedUninstaller/HelperInstaller.h"

#include "Platform/PropertyList.h"
#include "Platform/Uninstaller/Authorization.h"
#include "Platform/Uninstaller/CommandRunner.h"
#include "Platform/Uninstaller/ElfSections.h"
#include "Platform/Uninstaller/FileDescriptor.h"
#include "Platform/Uninstaller/RightsDatabase.h"
#include "Platform/Uninstaller/SafeFiles.h"
#include "Uninstaller/SharedUninstaller/Common.h"
#include "Uninstaller/SharedUninstaller/HelperToolProtocol.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace Uninstaller
{

using namespace Platform;
using KT::Platform::Plist;
using KT::Platform::PlistInput;
using KT::Platform::PlistNode;

const char kSocketUnitText[] = "[Unit]\n"
                               "Description=Uninstall helper socket\n"
                               "\n"
                               "[Socket]\n"
                               "ListenStream=/run/uninstallhelper.sock\n"
                               "SocketMode=0600\n"
                               "Accept=no\n"
                               "\n"
                               "[Install]\n"
                               "WantedBy=sockets.target\n";

const char kServiceUnitText[] = "[Unit]\n"
                                "Description=Uninstall helper\n"
                                "Requires=uninstallhelper.socket\n"
                                "\n"
                                "[Service]\n"
                                "ExecStart=/usr/libexec/uninstallhelper\n"
                                "SuccessExitStatus=1\n";

namespace
{

constexpr char kServiceManagerFolder[] = "/run/systemd/system";
constexpr mode_t kHelperMode = 0755;
constexpr mode_t kUnitMode = 0644;
// Far above any helper build, sanitised ones included.
constexpr std::size_t kMaxHelperBytes = 256 * 1024 * 1024;

int ResultForError(int error)
{
    return (error == EPERM || error == EACCES) ? kInstallNotPermitted : kInstallIOError;
}

// Writes name with data into folder (absolute, below root), making the folders.
int PlaceFile(int root, const char* folder, const char* name, const void* data, std::size_t size, mode_t mode)
{
    FileDescriptor target;
    if (const int error = OpenOrMakeFolders(root, folder, target); error != 0)
    {
        return error;
    }
    return ReplaceFileAtomically(target.Get(), name, data, size, mode);
}

bool InfoPlistIsValid(PlistNode info)
{
    std::string identifier;
    if (!info.GetDictionaryItem("CFBundleIdentifier").GetString(identifier) || identifier != kHelperLabel)
    {
        return false;
    }
    const PlistNode clients = info.GetDictionaryItem("SMAuthorizedClients");
    const std::string wanted = std::string("identifier \"") + kApplicationIdentifier + "\"";
    for (std::size_t index = 0; index < clients.GetArraySize(); ++index)
    {
        std::string client;
        if (clients.GetArrayItem(index).GetString(client) && client.find(wanted) != std::string::npos)
        {
            return true;
        }
    }
    return false;
}

// Reads the helper file as the uninstall script is opened: no link on its
// path, every folder on it and the file itself safe for root or for this
// process's user (who could replace the file anyway), and a regular file.
// What is read from this descriptor is what gets checked and installed.
int ReadCheckedHelper(const std::string& path, std::vector<unsigned char>& helper)
{
    FileDescriptor file;
    struct stat info
    {
    };
    const uid_t self = ::geteuid();
    const int opened = OpenThroughSafeFolders(path, file, info, self);
    if (opened != 0)
    {
        // EPERM: a link or an unsafe folder on the way.
        return opened == EPERM || opened == EINVAL ? kInstallInvalidHelper : ResultForError(opened);
    }
    if (!S_ISREG(info.st_mode) || !IsSafeFile(info, self))
    {
        return kInstallInvalidHelper;
    }
    const int read = ReadAll(file.Get(), kMaxHelperBytes, helper);
    return read == 0 ? kInstallSucceeded : read == EFBIG ? kInstallInvalidHelper : ResultForError(read);
}

bool LaunchdPlistIsValid(PlistNode launchd)
{
    std::string label;
    bool listens = false;
    return launchd.GetDictionaryItem("Label").GetString(label) && label == kHelperLabel &&
           launchd.GetDictionaryItem("MachServices").GetDictionaryItem(kHelperLabel).GetBool(listens) &&
           listens;
}

} // namespace

bool HelperPropertyListsAreValid(std::span<const unsigned char> image)
{
    const auto infoText = FindElfSection(image, kInfoPlistSection);
    const auto launchdText = FindElfSection(image, kLaunchdPlistSection);
    if (!infoText || !launchdText)
    {
        return false;
    }
    const Plist info = Plist::FromBytes(infoText->data(), infoText->size(), PlistInput::XmlText);
    const Plist launchd = Plist::FromBytes(launchdText->data(), launchdText->size(), PlistInput::XmlText);
    return InfoPlistIsValid(info.GetRoot()) && LaunchdPlistIsValid(launchd.GetRoot());
}

HelperInstaller::HelperInstaller() : HelperInstaller(RunCommand, kServiceManagerFolder) {}

HelperInstaller::HelperInstaller(CommandRunner runner, std::string serviceManagerFolder)
    : mRunner(std::move(runner)), mServiceManagerFolder(std::move(serviceManagerFolder))
{
}

bool HelperInstaller::ShouldActivate(const std::string& root, const std::string& serviceManagerFolder)
{
    struct stat info
    {
    };
    return std::filesystem::path(root).lexically_normal() == "/" &&
           ::stat(serviceManagerFolder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int HelperInstaller::Install(const std::string& root, const std::string& helperPath)
{
    // The bytes checked are the bytes installed: the file is read once.
    std::vector<unsigned char> helper;
    if (const int read = ReadCheckedHelper(helperPath, helper); read != kInstallSucceeded)
    {
        return read;
    }
    if (!HelperPropertyListsAreValid(helper))
    {
        return kInstallInvalidHelper;
    }
    if (::geteuid() != 0)
    {
        return kInstallNotPermitted;
    }
    FileDescriptor rootFolder(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!rootFolder)
    {
        return ResultForError(errno);
    }
    const std::filesystem::path helperTarget(kHelperInstallPath);
    const std::string helperFolder = helperTarget.parent_path().string();
    const std::string helperName = helperTarget.filename().string();
    int error = PlaceFile(rootFolder.Get(), helperFolder.c_str(), helperName.c_str(), helper.data(),
                          helper.size(), kHelperMode);
    if (error == 0)
    {
        error = PlaceFile(rootFolder.Get(), kUnitFolder, kSocketUnitName, kSocketUnitText,
                          std::strlen(kSocketUnitText), kUnitMode);
    }
    if (error == 0)
    {
        error = PlaceFile(rootFolder.Get(), kUnitFolder, kServiceUnitName, kServiceUnitText,
                          std::strlen(kServiceUnitText), kUnitMode);
    }
    if (error != 0)
    {
        return ResultForError(error);
    }

    AuthorizationRef authorization;
    if (AuthorizationCreate(authorization) != errAuthorizationSuccess ||
        Common::SetupAuthorizationRights(authorization.get(), RightsDatabase(root)) !=
            errAuthorizationSuccess)
    {
        return kInstallIOError;
    }

    if (ShouldActivate(root, mServiceManagerFolder))
    {
        if (mRunner({"systemctl", "daemon-reload"}) != 0 ||
            mRunner({"systemctl", "enable", "--now", kSocketUnitName}) != 0)
        {
            return kInstallIOError;
        }
    }
    return kInstallSucceeded;
}

} // namespace Uninstaller
