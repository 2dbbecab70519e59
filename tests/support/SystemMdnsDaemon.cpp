#include "support/SystemMdnsDaemon.h"

#include <avahi-client/client.h>
#include <avahi-common/simple-watch.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "support/MdnsPublisher.h"

namespace MdnsTest
{

namespace
{

bool WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out);
}

// The program's path: PATH first, then the system folders daemons live in.
std::string FindProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string folders = std::string(path != nullptr ? path : "") + ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size())
    {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos)
        {
            end = folders.size();
        }
        const std::string candidate = folders.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0)
        {
            return candidate;
        }
        start = end + 1;
    }
    return std::string();
}

// Starts the program with arguments as a child that the system stops when
// this process ends, however it ends; its standard output goes to outputFd
// (or /dev/null), its standard error to logPath. -1 on failure.
pid_t Spawn(const std::vector<std::string>& arguments, int outputFd, const std::string& logPath)
{
    const std::string program = FindProgram(arguments[0]);
    if (program.empty())
    {
        return -1;
    }
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
    {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0)
    {
        return pid;
    }
    // The child: only calls that are safe after fork, then exec.
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent)
    {
        _exit(127);
    }
    const int input = open("/dev/null", O_RDONLY);
    const int output = outputFd >= 0 ? outputFd : open("/dev/null", O_WRONLY);
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (input < 0 || output < 0 || log < 0 || dup2(input, STDIN_FILENO) < 0 ||
        dup2(output, STDOUT_FILENO) < 0 || dup2(log, STDERR_FILENO) < 0)
    {
        _exit(127);
    }
    execv(program.c_str(), argv.data());
    _exit(127);
}

// Stops a child by its PID: SIGTERM, then SIGKILL after the bound.
void Stop(pid_t& pid)
{
    if (pid <= 0)
    {
        return;
    }
    kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kMdnsBound;
    while (waitpid(pid, nullptr, WNOHANG) == 0)
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid = -1;
}

bool HasExited(pid_t pid)
{
    return waitpid(pid, nullptr, WNOHANG) == pid;
}

constexpr const char* kBusConfig =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=@SOCKET@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

constexpr const char* kMdnsConfig = R"([server]
host-name=@HOST@
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes

[wide-area]
enable-wide-area=no

[publish]
publish-addresses=no
publish-hinfo=no
publish-workstation=no
publish-domain=no

[reflector]
enable-reflector=no
)";

std::string Replace(std::string text, const std::string& what, const std::string& with)
{
    text.replace(text.find(what), what.size(), with);
    return text;
}

} // namespace

SystemMdnsDaemon::~SystemMdnsDaemon()
{
    Stop(mMdnsPid);
    Stop(mBusPid);
    if (!mFolder.empty())
    {
        for (const char* name : {"bus.conf", "avahi-daemon.conf", "log", "system_bus_socket"})
        {
            unlink((mFolder + "/" + name).c_str());
        }
        rmdir(mFolder.c_str());
    }
}

bool SystemMdnsDaemon::Start()
{
    if (geteuid() != 0)
    {
        mUnavailable = true;
        mError = "the system's mDNS daemon runs as root only";
        return false;
    }
    char folder[] = "/tmp/velquin-mdns-daemon-XXXXXX";
    if (mkdtemp(folder) == nullptr)
    {
        mError = "no private folder";
        return false;
    }
    mFolder = folder;
    return StartBus() && StartMdnsDaemon() && WaitUntilClientRuns();
}

bool SystemMdnsDaemon::StartBus()
{
    const std::string socket = mFolder + "/system_bus_socket";
    const std::string config = mFolder + "/bus.conf";
    if (!WriteFile(config, Replace(kBusConfig, "@SOCKET@", socket)))
    {
        mError = "cannot write the bus configuration";
        return false;
    }
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
    {
        mError = "no pipe";
        return false;
    }
    // The bus writes its address once it listens.
    mBusPid =
        Spawn({"dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile", "--print-address=1"},
              ready[1], mFolder + "/log");
    close(ready[1]);
    std::string address;
    char c = 0;
    while (mBusPid > 0 && read(ready[0], &c, 1) == 1 && c != '\n')
    {
        address += c;
    }
    close(ready[0]);
    if (mBusPid <= 0 || address.empty())
    {
        mError = "the message bus did not start: " + ReadLog();
        return false;
    }
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + socket).c_str(), 1);
    return true;
}

bool SystemMdnsDaemon::StartMdnsDaemon()
{
    const std::string config = mFolder + "/avahi-daemon.conf";
    if (!WriteFile(config, Replace(kMdnsConfig, "@HOST@", UniqueName("velquin-daemon"))))
    {
        mError = "cannot write the daemon's configuration";
        return false;
    }
    mMdnsPid = Spawn(
        {"avahi-daemon", "-f", config, "--no-drop-root", "--no-chroot", "--no-rlimits", "--no-proc-title"},
        -1, mFolder + "/log");
    if (mMdnsPid <= 0)
    {
        mError = "avahi-daemon did not start";
        return false;
    }
    return true;
}

bool SystemMdnsDaemon::WaitUntilClientRuns()
{
    const auto deadline = std::chrono::steady_clock::now() + kMdnsBound;
    while (std::chrono::steady_clock::now() < deadline)
    {
        if (HasExited(mMdnsPid))
        {
            mMdnsPid = -1;
            mError = "avahi-daemon ended (is another one running?): " + ReadLog();
            return false;
        }
        AvahiSimplePoll* poll = avahi_simple_poll_new();
        int error = 0;
        AvahiClient* client = avahi_client_new(avahi_simple_poll_get(poll), AVAHI_CLIENT_IGNORE_USER_CONFIG,
                                               nullptr, nullptr, &error);
        bool running = false;
        for (int pass = 0; client != nullptr && pass < 10 && !running; ++pass)
        {
            running = avahi_client_get_state(client) == AVAHI_CLIENT_S_RUNNING;
            avahi_simple_poll_iterate(poll, 20);
        }
        if (client != nullptr)
        {
            avahi_client_free(client);
        }
        avahi_simple_poll_free(poll);
        if (running)
        {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    mError = "the daemon's client did not reach its running state: " + ReadLog();
    return false;
}

std::string SystemMdnsDaemon::ReadLog() const
{
    std::ifstream in(mFolder + "/log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace MdnsTest
