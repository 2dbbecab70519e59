// Runs a system command (the service manager's control tool) and waits for it.
#pragma once

#include <string>
#include <vector>

namespace Uninstaller::Platform
{

// Runs argv[0], looked up on PATH, with argv and the process's environment;
// its exit status, or -1 when it could not be started or did not exit.
int RunCommand(const std::vector<std::string>& argv);

} // namespace Uninstaller::Platform
