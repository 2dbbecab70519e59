// A client of the uninstall helper for tests, run as its own process so that
// it can drop to another user and present its own process ID:
//
//   uninstaller_test_client [--uid U] request SOCKET FORM [PATH]
//   uninstaller_test_client [--uid U] install ROOT HELPER
//
// FORM is the authorization sent: own (made by the library), none, short (31
// bytes), long (33 bytes), bad-magic, stale-start (start time off by one) or
// other-pid (the parent's process ID and start time). The faulty forms are
// written here byte by byte. "request" prints one line, then any output:
//   error DOMAIN CODE | reply STATUS exited|signalled | failed ERRNO | timeout | cancelled
// "install" exits with the installer's result.

#include "Platform/Uninstaller/Authorization.h"
#include "Uninstaller/SharedUninstaller/HelperInstaller.h"
#include "Uninstaller/SharedUninstaller/HelperToolClient.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <grp.h>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace Uninstaller;

namespace
{

constexpr int kUsage = 100;
constexpr int kDeadlineSeconds = 20;

unsigned long long StartTimeOf(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string record((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(record.substr(record.rfind(')') + 2));
    std::string field;
    for (int number = 3; number <= 22 && fields >> field; ++number)
    {
    }
    return std::strtoull(field.c_str(), nullptr, 10);
}

std::vector<unsigned char> HandMadeForm(pid_t pid, unsigned long long startTime, const char* magic)
{
    std::vector<unsigned char> form(magic, magic + 4);
    for (int shift = 0; shift < 32; shift += 8)
    {
        form.push_back(static_cast<unsigned char>(static_cast<unsigned int>(pid) >> shift));
    }
    for (int shift = 0; shift < 64; shift += 8)
    {
        form.push_back(static_cast<unsigned char>(startTime >> shift));
    }
    for (unsigned char byte = 0; byte < 16; ++byte)
    {
        form.push_back(static_cast<unsigned char>(0xA0 + byte));
    }
    return form;
}

bool MakeForm(const std::string& kind, std::optional<std::vector<unsigned char>>& form)
{
    const pid_t self = ::getpid();
    if (kind == "none")
    {
        form.reset();
    }
    else if (kind == "own" || kind == "short" || kind == "long")
    {
        Platform::AuthorizationRef authorization;
        Platform::AuthorizationExternalForm external{};
        if (Platform::AuthorizationCreate(authorization) != 0 ||
            Platform::AuthorizationMakeExternalForm(*authorization, external) != 0)
        {
            return false;
        }
        form.emplace(external.begin(), external.end());
        if (kind == "short")
        {
            form->pop_back();
        }
        else if (kind == "long")
        {
            form->push_back(0);
        }
    }
    else if (kind == "bad-magic")
    {
        form = HandMadeForm(self, StartTimeOf(self), "UHAG");
    }
    else if (kind == "stale-start")
    {
        form = HandMadeForm(self, StartTimeOf(self) + 1, "UHAF");
    }
    else if (kind == "other-pid")
    {
        form = HandMadeForm(::getppid(), StartTimeOf(::getppid()), "UHAF");
    }
    else
    {
        return false;
    }
    return true;
}

int Request(const char* socketPath, const std::string& formKind, const char* scriptPath)
{
    std::optional<std::vector<unsigned char>> form;
    if (!MakeForm(formKind, form))
    {
        return kUsage;
    }
    auto client = HelperToolClient::Create({socketPath, 0});
    if (!client)
    {
        return kUsage;
    }
    std::optional<std::string> path;
    if (scriptPath != nullptr)
    {
        path = scriptPath;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kDeadlineSeconds);
    const HelperCallResult result = client->RunUninstallScript(path, form, deadline);
    switch (result.outcome)
    {
    case HelperCallOutcome::Replied:
        if (result.reply.error)
        {
            std::printf("error %s %d\n", result.reply.error->domain.c_str(), result.reply.error->code);
        }
        else
        {
            std::printf("reply %d %s\n", result.reply.status,
                        result.reply.end == ScriptEnd::Signalled ? "signalled" : "exited");
            if (result.reply.output)
            {
                std::fwrite(result.reply.output->data(), 1, result.reply.output->size(), stdout);
            }
        }
        break;
    case HelperCallOutcome::Failed:
        std::printf("failed %d\n", result.error);
        break;
    case HelperCallOutcome::TimedOut:
        std::printf("timeout\n");
        break;
    case HelperCallOutcome::Cancelled:
        std::printf("cancelled\n");
        break;
    }
    return 0;
}

bool DropTo(uid_t uid)
{
    return ::setgroups(0, nullptr) == 0 && ::setgid(static_cast<gid_t>(uid)) == 0 && ::setuid(uid) == 0 &&
           ::getuid() == uid && ::geteuid() == uid;
}

} // namespace

int main(int argc, char** argv)
{
    int index = 1;
    if (index + 1 < argc && std::strcmp(argv[index], "--uid") == 0)
    {
        if (!DropTo(static_cast<uid_t>(std::strtoul(argv[index + 1], nullptr, 10))))
        {
            std::perror("client: cannot change user");
            return kUsage;
        }
        index += 2;
    }
    if (argc - index >= 3 && std::strcmp(argv[index], "request") == 0)
    {
        return Request(argv[index + 1], argv[index + 2], argc - index >= 4 ? argv[index + 3] : nullptr);
    }
    if (argc - index == 3 && std::strcmp(argv[index], "install") == 0)
    {
        return HelperInstaller().Install(argv[index + 1], argv[index + 2]);
    }
    std::fprintf(stderr, "usage: %s [--uid U] request SOCKET FORM [PATH] | install ROOT HELPER\n", argv[0]);
    return kUsage;
}
