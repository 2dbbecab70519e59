// Restarts through the login manager on the system bus (its Reboot method,
// interactive, so the manager may ask the user for authorization). Uses Qt's
// D-Bus support: create and use it on the GUI thread, with a Qt event loop.
#pragma once

#include "Platform/Uninstaller/Restart/RestartRequester.h"

namespace Uninstaller::Platform
{

// The status of a request the bus or the login manager refused; the error's
// name is written to standard error.
inline constexpr int kRestartRequestFailed = -1;

class LogindRestartRequester final : public IRestartRequester
{
public:
    void RequestRestart(std::function<void(int status)> done) override;
};

} // namespace Uninstaller::Platform
