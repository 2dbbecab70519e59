// The result of every network operation and the text of each code. 0 is
// success, negative values are failures; the values and texts are seen by
// hosts and peers and never change.
#pragma once

#include <cstdint>

#include "KTFramework/Utilities/Storage/StringT.h"

enum NetworkError : std::int32_t
{
    NETWORK_NO_ERROR = 0,
    NETWORK_CONNECTION_FAILED = -100,
    NETWORK_ALREADY_CONNECTED = -101,
    NETWORK_BIND_FAILED = -102,
    NETWORK_ALREADY_BINDED = -103,
    NETWORK_SOCKET_NOT_SET_CORRECTLY = -104,
    NETWORK_SEND_FAILED = -105,
    NETWORK_RECEIVE_FAILED = -106,
    NETWORK_ALREADY_LISTENING = -107,
    NETWORK_LISTEN_FAILED = -108,
    NETWORK_ACCEPT_FAILED = -109,
    NETWORK_CONNECTION_CLOSED = -110,
    NETWORK_OBJECT_OUT_OF_MEMORY = -111,
    NETWORK_RECEIVE_TIMEOUT = -112,
};

// The code's name as text; "Undefined Error" for any value not above.
KT::StringT<char, unsigned short> GetNetworkErrorText(NetworkError error);
