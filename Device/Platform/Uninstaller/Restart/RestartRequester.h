// Asks the system to restart the computer, as the uninstaller's completion
// sheet offers. The request is asynchronous: done runs later on the thread of
// the caller's event loop (the GUI thread) with 0 when the system accepted the
// request, else a non-zero status.
#pragma once

#include <functional>

namespace Uninstaller::Platform
{

class IRestartRequester
{
public:
    virtual ~IRestartRequester() = default;
    virtual void RequestRestart(std::function<void(int status)> done) = 0;
};

} // namespace Uninstaller::Platform
