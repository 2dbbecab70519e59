#include "Uninstaller/SharedUninstaller/Common.h"

#include "Uninstaller/SharedUninstaller/HelperToolProtocol.h"

namespace Uninstaller
{

using namespace Platform;

const Common::CommandInfoTable& Common::CommandInfo()
{
    // A function-local static is built once even when first reached from many threads.
    static const CommandInfoTable table = {
        {kRunUninstallScriptCommand,
         {"uninstallhelper.runUninstallScript", kRuleAllow,
          "Lumetra Works WireBridge Uninstaller wants to perform the uninstall."}},
    };
    return table;
}

std::optional<std::string> Common::AuthorizationRightForCommand(std::string_view command)
{
    const CommandInfoTable& table = CommandInfo();
    const auto found = table.find(command);
    if (found == table.end())
    {
        return std::nullopt;
    }
    return found->second.authRightName;
}

void Common::EnumerateRightsUsingBlock(
    const std::function<void(const std::string& name, const std::string& rule,
                             const std::string& description)>& block)
{
    for (const auto& [command, right] : CommandInfo())
    {
        block(right.authRightName, right.authRightDefault, right.authRightDescription);
    }
}

OSStatus Common::SetupAuthorizationRights(const Authorization* authorization, const RightsDatabase& database)
{
    if (authorization == nullptr)
    {
        return errAuthorizationInvalidRef;
    }
    OSStatus result = errAuthorizationSuccess;
    EnumerateRightsUsingBlock(
        [&](const std::string& name, const std::string& rule, const std::string& description)
        {
            // Only a right known to be absent is registered: one that exists keeps its
            // rule, and a database that cannot be read is never overwritten.
            if (result != errAuthorizationSuccess ||
                AuthorizationRightGet(database, name) != errAuthorizationDenied)
            {
                return;
            }
            result = AuthorizationRightSet(authorization, database, name, {rule, description, kRightsTable});
        });
    return result;
}

} // namespace Uninstaller
