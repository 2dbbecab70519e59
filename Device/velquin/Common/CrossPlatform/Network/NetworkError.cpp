#include "velquin/Common/CrossPlatform/Network/NetworkError.h"

KT::StringT<char, unsigned short> GetNetworkErrorText(NetworkError error)
{
    switch (error)
    {
    case NETWORK_NO_ERROR:
        return "NETWORK_NO_ERROR";
    case NETWORK_CONNECTION_FAILED:
        return "NETWORK_CONNECTION_FAILED";
    case NETWORK_ALREADY_CONNECTED:
        return "NETWORK_ALREADY_CONNECTED";
    case NETWORK_BIND_FAILED:
        return "NETWORK_BIND_FAILED";
    case NETWORK_ALREADY_BINDED:
        return "NETWORK_ALREADY_BINDED";
    case NETWORK_SOCKET_NOT_SET_CORRECTLY:
        return "NETWORK_SOCKET_NOT_SET_CORRECTLY";
    case NETWORK_SEND_FAILED:
        return "NETWORK_SEND_FAILED";
    case NETWORK_RECEIVE_FAILED:
        return "NETWORK_RECEIVE_FAILED";
    case NETWORK_ALREADY_LISTENING:
        return "NETWORK_ALREADY_LISTENING";
    case NETWORK_LISTEN_FAILED:
        return "NETWORK_LISTEN_FAILED";
    case NETWORK_ACCEPT_FAILED:
        return "NETWORK_ACCEPT_FAILED";
    case NETWORK_CONNECTION_CLOSED:
        return "NETWORK_CONNECTION_CLOSED";
    case NETWORK_OBJECT_OUT_OF_MEMORY:
        return "NETWORK_OBJECT_OUT_OF_MEMORY";
    case NETWORK_RECEIVE_TIMEOUT:
        return "NETWORK_RECEIVE_TIMEOUT";
    }
    return "Undefined Error";
}
