// The table of the helper's commands and the authorization right that guards
// each, compiled into both the application and the helper. It is built once
// per process, safely under concurrent first calls, and read-only after.
#pragma once

#include "Platform/Uninstaller/Authorization.h"
#include "Platform/Uninstaller/RightsDatabase.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace Uninstaller
{

struct CommandRight
{
    std::string authRightName;
    std::string authRightDefault; // the rule a newly registered right gets
    std::string authRightDescription;
};

class Common
{
public:
    // Keyed by the command's name as it travels in a request.
    using CommandInfoTable = std::map<std::string, CommandRight, std::less<>>;

    // Localisation table named with each right registered.
    static constexpr char kRightsTable[] = "Common";

    Common() = delete;

    static const CommandInfoTable& CommandInfo();

    // The right guarding command, or nothing for a command the helper does not have.
    static std::optional<std::string> AuthorizationRightForCommand(std::string_view command);

    // Calls block(name, default rule, description) once per right, in the table's order.
    static void
    EnumerateRightsUsingBlock(const std::function<void(const std::string& name, const std::string& rule,
                                                       const std::string& description)>& block);

    // Registers every right of the table that database does not have yet, with
    // its default rule; a right that is present, or that cannot be looked up,
    // is left as it is. Returns the first failure of a registration (or
    // errAuthorizationInvalidRef without an authorization), else success.
    [[nodiscard]] static Platform::OSStatus
    SetupAuthorizationRights(const Platform::Authorization* authorization,
                             const Platform::RightsDatabase& database);
};

} // namespace Uninstaller
