// Installs the helper so that the service manager starts it on demand, in
// place of the system's privileged-helper installation:
//   1. the helper file is opened and checked as the uninstall script is (no
//      link, safe folders, owned by root or this process's user and writable
//      by no one else), and its embedded property lists must name it
//      "uninstallhelper" and allow the application's identifier as its client;
//   2. it is copied to R/usr/libexec/uninstallhelper (root:root 0755, replaced
//      atomically, so a link or a stranger's file there is replaced, never
//      written through);
//   3. the socket and service units are written to R/etc/systemd/system;
//   4. the rights of the command table are registered in R's rights database;
//   5. only on the running system (R is "/" and the service manager runs),
//      the manager reloads its units and starts listening on the socket.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <vector>

namespace Uninstaller
{

// Results of Install, as the application maps them.
enum InstallResult : int
{
    kInstallSucceeded = 0,
    kInstallIOError = 2,
    kInstallInvalidHelper = 3,
    kInstallNotPermitted = 4,
};

inline constexpr char kHelperInstallPath[] = "/usr/libexec/uninstallhelper";
inline constexpr char kUnitFolder[] = "/etc/systemd/system";
inline constexpr char kSocketUnitName[] = "uninstallhelper.socket";
inline constexpr char kServiceUnitName[] = "uninstallhelper.service";
extern const char kSocketUnitText[];
extern const char kServiceUnitText[];

// The seam the application's tests replace.
class IHelperInstaller
{
public:
    virtual ~IHelperInstaller() = default;
    // One of InstallResult.
    virtual int Install(const std::string& root, const std::string& helperPath) = 0;
};

class HelperInstaller final : public IHelperInstaller
{
public:
    // Runs a command line (argv) and gives its exit status.
    using CommandRunner = std::function<int(const std::vector<std::string>& argv)>;

    // Runs commands for real and looks for the service manager in /run/systemd/system.
    HelperInstaller();
    HelperInstaller(CommandRunner runner, std::string serviceManagerFolder);

    int Install(const std::string& root, const std::string& helperPath) override;

    // Whether installing into root also activates the socket: root is "/" and
    // serviceManagerFolder exists.
    static bool ShouldActivate(const std::string& root, const std::string& serviceManagerFolder);

private:
    CommandRunner mRunner;
    std::string mServiceManagerFolder;
};

// Whether the ELF image's embedded property lists name the helper and its
// client as step 1 requires.
bool HelperPropertyListsAreValid(std::span<const unsigned char> image);

} // namespace Uninstaller
