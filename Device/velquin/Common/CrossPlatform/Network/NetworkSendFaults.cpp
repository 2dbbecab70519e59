#include "velquin/Common/CrossPlatform/Network/NetworkSendFaults.h"

std::atomic<NetworkSendFaults::Hook> NetworkSendFaults::smHook{nullptr};
