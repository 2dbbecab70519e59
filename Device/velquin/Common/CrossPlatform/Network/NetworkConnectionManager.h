// LNetworkConnectionManager: the accepting side of the connection handshake.
// It listens on TCP and UDP on one port, checks each client's hello, builds an
// LNetworkConnection of the matching kind from the accepted sockets and hands
// it to its owner through LNetworkConnectionReceivedCallbackInterface. Created
// by Create and held by the owner through RCPtr; the owner's last release
// stops it.
//
// Threads: one thread of its own (mThread) waits for clients, reads hellos and
// makes every callback; it holds a counted reference to the manager for its
// run, counted as contained, so a callback that drops the owner's last
// reference never leaves it running on freed memory. The owner's last release
// stops the thread and waits for it (not when made on the thread itself: the
// thread then frees the manager as it ends). mMutex guards only the server
// sockets; it is never held while waiting or calling out. The callback is set
// at construction and read without a lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "KTFramework/Utilities/Threading/Thread.h"
#include "Platform/ThreadAnnotations.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnection.h"
#include "velquin/Common/CrossPlatform/Network/NetworkSocket.h"

// What the owner of a connection manager implements: called once for every
// connection the manager builds, on the manager's thread, which accepts no
// other client until it returns.
class LNetworkConnectionReceivedCallbackInterface : public virtual KT::LRefCountedObject
{
public:
    virtual void ReceivedConnectionCallback(const KT::RCPtr<LNetworkConnection>& connection) = 0;

    ~LNetworkConnectionReceivedCallbackInterface() override = default;
};

class LNetworkConnectionManager : public virtual KT::LRefCountedObject
{
public:
    // How long one pass of the thread waits for a client, and how long a TCP
    // client has, from its accept, to send its whole hello.
    static constexpr unsigned int kAcceptPollMicroseconds = 500000;
    static constexpr unsigned int kHelloWaitMicroseconds = 50000;

    // Binds a TCP and a UDP socket to ip:port (ip 0: any address; port 0: the
    // first port from 51000 free for TCP, which UDP must then have too),
    // listens and starts the thread. Null when callback is null, a bind or the
    // listen fails, or UDP cannot have the TCP socket's port.
    static KT::RCPtr<LNetworkConnectionManager>
    Create(const KT::RCPtr<LNetworkConnectionReceivedCallbackInterface>& callback, unsigned int ip,
           unsigned short port, bool tryFollowingPorts);

    // Drops the server sockets: the thread ends at the start of its next pass,
    // and no callback is made after the pass under way. A stopped manager
    // cannot be restarted.
    void StopWaitingForConnections();
    // The TCP socket at 0 and the UDP socket at 1 (null once stopped); true
    // only when both are there.
    bool GetServerSockets(LNetworkSocket::SocketList& sockets);
    // The host's primary MAC address, byte 0 in bits 0-7 up to byte 5 in bits
    // 40-47; 0 when there is none.
    std::uint64_t GetPrimaryMacAddress() const;

    // The thread's entry; the argument is the manager. Returns 0 for a null
    // argument, else 1 when the loop ends.
    static void* ConnectionThreadWorker(void* manager);

    // The owner's last reference is going: stop, and wait for the thread
    // unless this is it.
    int RemoveContainedReferences() override;
    ~LNetworkConnectionManager() override;

private:
    enum ServerSocket
    {
        kTcpServer = 0,
        kUdpServer = 1,
        kServerSocketCount = 2
    };

    LNetworkConnectionManager(const KT::RCPtr<LNetworkConnectionReceivedCallbackInterface>& callback,
                              const KT::RCPtr<LNetworkSocket>& tcpSocket,
                              const KT::RCPtr<LNetworkSocket>& udpSocket);

    // Starts the thread with its counted reference; false when it could not.
    bool Start();
    void RunLoop();
    // The connection for the client waiting on server, or null when it is
    // refused.
    KT::RCPtr<LNetworkConnection> AcceptClient(LNetworkSocket& server, bool udp);
    // A TCP client's hello: the single-socket cookie, or the dual-socket cookie
    // and a UDP port answered from a new UDP socket.
    KT::RCPtr<LNetworkConnection> AcceptTcpClient(const KT::RCPtr<LNetworkSocket>& accepted);

    const KT::RCPtr<LNetworkConnectionReceivedCallbackInterface> mCallback;
    KT::Mutex mMutex;
    KT::RCPtr<LNetworkSocket> mServerSockets[kServerSocketCount] GUARDED_BY(mMutex);
    KT::Thread mThread;
};
