#include "support/SimulatedDevice.h"

#include <sys/socket.h>

#include <cstring>

#include "KTFramework/Utilities/Storage/Buffer.h"
#include "support/TestPorts.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnection.h"
#include "velquin/Common/CrossPlatform/Network/NetworkConnectionManager.h"

namespace TestDevice
{

namespace
{

constexpr std::uint32_t kChannels = 7;
constexpr std::uint32_t kKeepAliveChannel = 2;
constexpr std::uint32_t kKeepAliveAnswerChannel = 4;
constexpr std::uint32_t kIdentifyChannel = 3;
constexpr std::uint32_t kRequestChannel = 1;
constexpr std::uint32_t kNotificationChannel = 0;
// What the registrations of dual-socket and UDP clients listen to.
constexpr std::uint32_t kListenedChannels = 5;
// How long a TCP reader waits for bytes before it looks at its flags again.
constexpr unsigned int kReadPollMicroseconds = 50000;
// Where a truncated header stops: past the cookie and a few fields.
constexpr std::size_t kTruncatedHeaderBytes = 20;
const Bytes kGarbage = {0x47, 0x41, 0x52, 0x42, 0x41, 0x47, 0x45};

KT::ConstRCPtr<KT::LIBuffer> BufferOf(const Bytes& bytes)
{
    KT::RCPtr<KT::LIBuffer> buffer = KT::LBufferT<16, 0>::Create(bytes.size(), 0, true);
    if (!bytes.empty())
    {
        std::memcpy(buffer->GetRawPtr(), bytes.data(), bytes.size());
    }
    return KT::ConstRCPtr<KT::LIBuffer>(buffer.Get());
}

Bytes BytesOf(const KT::ConstRCPtr<KT::LIBuffer>& buffer)
{
    if (!buffer)
    {
        return Bytes();
    }
    KT::IBuffer& bytes = const_cast<KT::LIBuffer&>(*buffer);
    const auto* data = static_cast<const std::uint8_t*>(bytes.GetRawPtr());
    return Bytes(data, data + bytes.GetSizeBytes());
}

// Writes all of bytes under the send lock the caller holds, waiting as long
// as TCP makes it (up to kBound): a host that reads slowly slows the device
// down instead of having a frame cut. A send that gives up sooner than its
// waits for room would take found the stream broken.
bool WriteAll(LNetworkSocket& socket, const Bytes& bytes)
{
    constexpr auto kNoRoomGiveUp = std::chrono::microseconds(LNetworkSocket::kSendWaitMicroseconds);
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    std::size_t written = 0;
    while (written < bytes.size())
    {
        const auto started = std::chrono::steady_clock::now();
        unsigned int sent = 0;
        const NetworkError error =
            socket.Send(bytes.data() + written, static_cast<unsigned int>(bytes.size() - written), sent);
        written += sent;
        if (error != NETWORK_NO_ERROR &&
            (std::chrono::steady_clock::now() - started < kNoRoomGiveUp || started > deadline))
        {
            return false;
        }
    }
    return true;
}

} // namespace

struct SimulatedDevice::Client
{
    std::size_t id = 0;
    ClientKind kind = ClientKind::kTcp;
    // The fields below are guarded by the device's mLock.
    KT::RCPtr<LNetworkConnection> connection;
    // TCP clients: the socket the device reads and writes itself.
    KT::RCPtr<LNetworkSocket> socket;
    // Dual-socket and UDP clients: the registrations' interface.
    KT::RCPtr<LNetworkConnectionCallbackInterface> callback;
    std::thread reader;
    std::int32_t nextSequenceID[kChannels] = {};
    bool muted = false;  // a truncated frame went out: nothing more does
    bool closed = false; // CloseClient or Stop
    bool stopReading = false;
    bool gone = false; // the client's stream ended
};

// Hands the manager's connections to the device.
class SimulatedDevice::LAcceptor : public LNetworkConnectionReceivedCallbackInterface
{
public:
    explicit LAcceptor(SimulatedDevice& device) : mDevice(device) {}
    void ReceivedConnectionCallback(const KT::RCPtr<LNetworkConnection>& connection) override
    {
        mDevice.Accept(connection);
    }

private:
    SimulatedDevice& mDevice;
};

// Records and answers what a dual-socket or UDP client's connection delivers.
class SimulatedDevice::LClientCallback : public LNetworkConnectionCallbackInterface
{
public:
    LClientCallback(SimulatedDevice& device, std::size_t client) : mDevice(device), mClient(client) {}
    void ReceivedMessageCallback(const KT::RCPtr<LNetworkConnection>&,
                                 const KT::ConstRCPtr<KT::LIBuffer>& payload, std::uint32_t channel,
                                 std::int32_t sequenceID, std::int32_t count) override
    {
        mDevice.Handle(mClient, channel, sequenceID, count, BytesOf(payload));
    }
    void ConnectionErrorCallback(const KT::RCPtr<LNetworkConnection>&, NetworkError) override {}

private:
    SimulatedDevice& mDevice;
    const std::size_t mClient;
};

// ---- Starting and stopping

SimulatedDevice::SimulatedDevice() : SimulatedDevice(Options()) {}

SimulatedDevice::SimulatedDevice(const Options& options)
    : mAddress(options.address), mSendBufferBytes(options.sendBufferBytes)
{
    mAcceptor = KT::RCPtr<LAcceptor>(new LAcceptor(*this));
    const KT::RCPtr<LNetworkConnectionReceivedCallbackInterface> acceptor(mAcceptor.Get());
    const auto listen = [&](unsigned short port)
    {
        mManager = LNetworkConnectionManager::Create(acceptor, mAddress, port, false);
        return mManager.GetRaw() != nullptr;
    };
    if (options.port != 0)
    {
        mPort = listen(options.port) ? options.port : 0;
    }
    else
    {
        mPort = TestPorts::BindOnFreePort(listen);
    }
    mScheduler = std::thread([this] { RunScheduler(); });
}

SimulatedDevice::~SimulatedDevice()
{
    Stop();
}

void SimulatedDevice::Stop()
{
    {
        std::lock_guard<std::mutex> guard(mLock);
        mStopping = true;
        mChanged.notify_all();
    }
    // The manager's last release waits for its thread, which may be handing
    // over a client: after it no client comes.
    mManager.SetNull();
    if (mScheduler.joinable())
    {
        mScheduler.join();
    }
    std::vector<std::shared_ptr<Client>> clients;
    {
        std::lock_guard<std::mutex> guard(mLock);
        clients = mClients;
    }
    for (const std::shared_ptr<Client>& client : clients)
    {
        Close(client, false);
        // A cleanly closed client's socket was kept so that its end stayed a
        // clean one; now it goes.
        std::lock_guard<std::mutex> guard(mLock);
        client->socket.SetNull();
        client->connection.SetNull();
    }
}

void SimulatedDevice::Accept(const KT::RCPtr<LNetworkConnection>& connection)
{
    std::unique_lock<std::mutex> guard(mLock);
    if (mDropNewClients || mStopping)
    {
        ++mDropped;
        guard.unlock();
        connection->CloseConnection();
        return;
    }
    auto client = std::make_shared<Client>();
    client->id = mClients.size() + 1;
    client->connection = connection;
    KT::RCPtr<LNetworkSocket> dataSocket = connection->GetNetworkSocket(false);
    if (connection->GetConnectionType() == LNetworkConnection::CONNECTION_DUAL_SOCKETS)
    {
        client->kind = ClientKind::kDualSockets;
    }
    else if (dataSocket.GetRaw() != nullptr && dataSocket->GetSocketType() == NETWORK_SOCKET_UDP)
    {
        client->kind = ClientKind::kUdp;
    }
    mClients.push_back(client);
    // Set up under the lock, so that nothing else finds the client half made;
    // what it starts waits for the lock before it records anything.
    if (client->kind == ClientKind::kTcp)
    {
        client->socket = dataSocket;
        if (mSendBufferBytes > 0)
        {
            static_cast<void>(dataSocket->SetOption(SOL_SOCKET, SO_SNDBUF,
                                                    reinterpret_cast<const char*>(&mSendBufferBytes),
                                                    sizeof(mSendBufferBytes)));
        }
        client->reader = std::thread([this, client] { ReadTcp(client); });
    }
    else
    {
        client->callback =
            KT::RCPtr<LNetworkConnectionCallbackInterface>(new LClientCallback(*this, client->id));
        for (std::uint32_t channel = 0; channel < kListenedChannels; ++channel)
        {
            static_cast<void>(
                connection->SetCallback(client->callback, static_cast<NetworkChannelNumber>(channel)));
        }
    }
    mChanged.notify_all();
}

void SimulatedDevice::Close(const std::shared_ptr<Client>& client, bool abrupt)
{
    KT::RCPtr<LNetworkConnection> connection;
    KT::RCPtr<LNetworkSocket> socket;
    KT::RCPtr<LNetworkConnectionCallbackInterface> callback;
    {
        std::lock_guard<std::mutex> guard(mLock);
        if (client->closed)
        {
            return;
        }
        client->closed = true;
        client->stopReading = true;
        connection = client->connection;
        socket = client->socket;
        callback = client->callback;
        mChanged.notify_all();
    }
    if (client->reader.joinable())
    {
        client->reader.join();
    }
    if (callback.GetRaw() != nullptr)
    {
        for (std::uint32_t channel = 0; channel < kListenedChannels; ++channel)
        {
            static_cast<void>(
                connection->RemoveCallback(callback, static_cast<NetworkChannelNumber>(channel)));
        }
    }
    KT::RCPtr<LNetworkSocket> stream = client->kind == ClientKind::kUdp ? KT::RCPtr<LNetworkSocket>()
                                       : client->kind == ClientKind::kTcp
                                           ? socket
                                           : connection->GetNetworkSocket(true);
    if (!abrupt)
    {
        // The end of the stream goes out now; the descriptor stays open until
        // Stop, so that nothing unread turns the end into a reset.
        if (stream.GetRaw() != nullptr)
        {
            stream->Shutdown();
        }
        if (client->kind != ClientKind::kTcp)
        {
            connection->CloseConnection();
        }
        return;
    }
    if (stream.GetRaw() != nullptr)
    {
        const linger reset{1, 0};
        static_cast<void>(
            stream->SetOption(SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset), sizeof(reset)));
    }
    connection->CloseConnection();
    std::lock_guard<std::mutex> guard(mLock);
    client->socket.SetNull();
    client->connection.SetNull();
}

// ---- Reading and answering

void SimulatedDevice::ReadTcp(const std::shared_ptr<Client>& client)
{
    // The manager read the hello; frames follow.
    RawPeer::FrameReader frames;
    std::vector<std::uint8_t> chunk(65536);
    for (;;)
    {
        KT::RCPtr<LNetworkSocket> socket;
        {
            std::unique_lock<std::mutex> guard(mLock);
            mChanged.wait(guard, [&] { return mStopping || client->stopReading || mReading; });
            if (mStopping || client->stopReading || !client->socket)
            {
                return;
            }
            socket = client->socket;
        }
        if (!socket->ReceiveHasBytesReady(kReadPollMicroseconds))
        {
            continue;
        }
        unsigned int received = 0;
        if (socket->Receive(chunk.data(), static_cast<unsigned int>(chunk.size()), received, false) !=
            NETWORK_NO_ERROR)
        {
            std::lock_guard<std::mutex> guard(mLock);
            client->gone = true;
            mChanged.notify_all();
            return;
        }
        frames.Feed(chunk.data(), received);
        for (const RawPeer::RawFrame& frame : frames.TakeFrames())
        {
            Handle(client->id, frame.channel, static_cast<std::int32_t>(frame.sequenceID),
                   static_cast<std::int32_t>(frame.previousSequenceMsgCount), frame.payload);
        }
        if (frames.Broken())
        {
            // A client that breaks its framing is read no further.
            return;
        }
    }
}

void SimulatedDevice::Handle(std::size_t client, std::uint32_t channel, std::int32_t sequenceID,
                             std::int32_t count, const Bytes& payload)
{
    std::vector<Reply> replies;
    Script script;
    {
        std::lock_guard<std::mutex> guard(mLock);
        mMessages.push_back(Message{client, channel, sequenceID, count, payload});
        mChanged.notify_all();
        if (mSilent || mStopping)
        {
            return;
        }
        if (channel == kRequestChannel)
        {
            script = mScript;
        }
        else if (channel == kKeepAliveChannel && mAnswerKeepAlive)
        {
            replies.push_back(Reply{kKeepAliveAnswerChannel, Bytes(), std::chrono::milliseconds(0)});
        }
        else if (channel == kIdentifyChannel && mIdentify)
        {
            replies.push_back(Reply{kIdentifyChannel, *mIdentify, std::chrono::milliseconds(0)});
        }
    }
    if (script)
    {
        replies = script(payload);
    }
    for (const Reply& reply : replies)
    {
        Schedule(client, reply.channel, reply.payload, reply.delay);
    }
}

void SimulatedDevice::Schedule(std::size_t client, std::uint32_t channel, const Bytes& payload,
                               std::chrono::milliseconds delay)
{
    std::lock_guard<std::mutex> guard(mLock);
    mDue.emplace(std::chrono::steady_clock::now() + delay, Due{client, channel, payload});
    mChanged.notify_all();
}

void SimulatedDevice::RunScheduler()
{
    std::unique_lock<std::mutex> guard(mLock);
    while (!mStopping)
    {
        if (mDue.empty())
        {
            mChanged.wait(guard);
            continue;
        }
        const auto first = mDue.begin();
        if (first->first > std::chrono::steady_clock::now())
        {
            mChanged.wait_until(guard, first->first);
            continue;
        }
        const Due due = first->second;
        mDue.erase(first);
        mReplying = true;
        guard.unlock();
        static_cast<void>(SendOne(due.client, due.channel, due.payload));
        guard.lock();
        mReplying = false;
        mChanged.notify_all();
    }
}

// ---- Writing

std::shared_ptr<SimulatedDevice::Client> SimulatedDevice::Find(std::size_t client)
{
    std::lock_guard<std::mutex> guard(mLock);
    if (client == 0 || client > mClients.size())
    {
        return std::shared_ptr<Client>();
    }
    return mClients[client - 1];
}

bool SimulatedDevice::SendOne(std::size_t id, std::uint32_t channel, const Bytes& payload)
{
    const std::shared_ptr<Client> client = Find(id);
    if (!client || channel >= kChannels)
    {
        return false;
    }
    if (client->kind == ClientKind::kTcp)
    {
        return WriteFrames(client, {RawPeer::RawFrame::Plain(channel, 0, payload)}, true);
    }
    KT::RCPtr<LNetworkConnection> connection;
    {
        std::lock_guard<std::mutex> guard(mLock);
        if (client->closed)
        {
            return false;
        }
        connection = client->connection;
    }
    return connection->SendMessage(BufferOf(payload), static_cast<NetworkChannelNumber>(channel)) ==
           NETWORK_NO_ERROR;
}

bool SimulatedDevice::WriteFrames(const std::shared_ptr<Client>& client,
                                  std::vector<RawPeer::RawFrame> frames, bool number)
{
    KT::RCPtr<LNetworkSocket> socket;
    WriteFault fault;
    {
        std::lock_guard<std::mutex> guard(mLock);
        if (client->muted || client->closed || !client->socket)
        {
            return false;
        }
        socket = client->socket;
        fault = mWriteFault;
    }
    const bool truncate =
        fault == WriteFault::kTruncatedHeaderThenSilence || fault == WriteFault::kTruncatedHeaderThenClose;
    socket->AcquireSendMutex();
    Bytes bytes;
    for (RawPeer::RawFrame& frame : frames)
    {
        if (number)
        {
            // Numbered under the send lock, so that sequence order is wire order.
            std::lock_guard<std::mutex> guard(mLock);
            frame.sequenceID =
                static_cast<std::uint32_t>(client->nextSequenceID[frame.channel % kChannels]++);
        }
        if (fault == WriteFault::kGarbageBefore)
        {
            bytes.insert(bytes.end(), kGarbage.begin(), kGarbage.end());
        }
        else if (fault == WriteFault::kWrongCookie)
        {
            frame.cookie[0] ^= 0xFF;
        }
        else if (fault == WriteFault::kBadHeader)
        {
            frame.versionMajor = 3;
        }
        const Bytes encoded = frame.Encode();
        if (truncate)
        {
            bytes.insert(bytes.end(), encoded.begin(), encoded.begin() + kTruncatedHeaderBytes);
            break;
        }
        bytes.insert(bytes.end(), encoded.begin(), encoded.end());
    }
    const bool written = WriteAll(*socket, bytes);
    socket->ReleaseSendMutex();
    if (truncate)
    {
        {
            std::lock_guard<std::mutex> guard(mLock);
            client->muted = true;
        }
        if (fault == WriteFault::kTruncatedHeaderThenClose)
        {
            Close(client, false);
        }
    }
    return written;
}

// ---- The test's side

bool SimulatedDevice::WaitForClient(std::size_t n, std::chrono::milliseconds bound)
{
    std::unique_lock<std::mutex> guard(mLock);
    return mChanged.wait_for(guard, bound, [&] { return mClients.size() >= n; });
}

std::size_t SimulatedDevice::ClientCount()
{
    std::lock_guard<std::mutex> guard(mLock);
    return mClients.size();
}

SimulatedDevice::ClientKind SimulatedDevice::KindOf(std::size_t client)
{
    const std::shared_ptr<Client> found = Find(client);
    return found ? found->kind : ClientKind::kTcp;
}

std::size_t SimulatedDevice::DroppedClients()
{
    std::lock_guard<std::mutex> guard(mLock);
    return mDropped;
}

bool SimulatedDevice::WaitForClientGone(std::size_t client, std::chrono::milliseconds bound)
{
    const std::shared_ptr<Client> found = Find(client);
    if (!found)
    {
        return false;
    }
    std::unique_lock<std::mutex> guard(mLock);
    return mChanged.wait_for(guard, bound, [&] { return found->gone; });
}

std::vector<SimulatedDevice::Message> SimulatedDevice::Messages()
{
    std::lock_guard<std::mutex> guard(mLock);
    return mMessages;
}

bool SimulatedDevice::WaitFor(const Predicate& predicate, std::chrono::milliseconds bound)
{
    std::unique_lock<std::mutex> guard(mLock);
    return mChanged.wait_for(guard, bound, [&] { return predicate(mMessages); });
}

std::optional<SimulatedDevice::Message>
SimulatedDevice::WaitForMessage(const std::function<bool(const Message&)>& match,
                                std::chrono::milliseconds bound)
{
    std::optional<Message> found;
    WaitFor(
        [&](const std::vector<Message>& messages)
        {
            for (const Message& message : messages)
            {
                if (match(message))
                {
                    found = message;
                    return true;
                }
            }
            return false;
        },
        bound);
    return found;
}

std::optional<SimulatedDevice::Message>
SimulatedDevice::WaitForMessage(std::size_t client, std::uint32_t channel, std::chrono::milliseconds bound)
{
    return WaitForMessage([&](const Message& message)
                          { return message.client == client && message.channel == channel; },
                          bound);
}

void SimulatedDevice::SetScript(Script script)
{
    std::lock_guard<std::mutex> guard(mLock);
    mScript = std::move(script);
}

void SimulatedDevice::SetAnswerKeepAlive(bool answer)
{
    std::lock_guard<std::mutex> guard(mLock);
    mAnswerKeepAlive = answer;
}

void SimulatedDevice::SetIdentify(std::optional<Bytes> payload)
{
    std::lock_guard<std::mutex> guard(mLock);
    mIdentify = std::move(payload);
}

bool SimulatedDevice::SendKeepAlive(std::size_t client)
{
    return SendOne(client, kKeepAliveChannel, Bytes());
}

bool SimulatedDevice::Send(std::size_t client, std::uint32_t channel, const Bytes& payload)
{
    {
        // The socket's send lock favours no waiter: a thread that sends again
        // and again would keep the scheduler from it.
        std::unique_lock<std::mutex> guard(mLock);
        const auto noReplyDue = [&]
        {
            const bool due = !mDue.empty() && mDue.begin()->first <= std::chrono::steady_clock::now();
            return mStopping || (!mReplying && !due);
        };
        static_cast<void>(mChanged.wait_for(guard, kBound, noReplyDue));
    }
    return SendOne(client, channel, payload);
}

bool SimulatedDevice::SendNotifications(std::size_t id, const std::vector<Notification>& burst)
{
    const std::shared_ptr<Client> client = Find(id);
    if (!client || client->kind != ClientKind::kTcp)
    {
        return false;
    }
    std::vector<RawPeer::RawFrame> frames;
    for (const Notification& notification : burst)
    {
        if (notification.parts > 1)
        {
            // n / p bytes a part, the first n mod p parts one more.
            const std::size_t size = notification.payload.size();
            std::size_t offset = 0;
            for (std::uint32_t index = 0; index < notification.parts; ++index)
            {
                const std::size_t part =
                    size / notification.parts + (index < size % notification.parts ? 1 : 0);
                RawPeer::RawFrame frame = RawPeer::RawFrame::Plain(
                    kNotificationChannel, static_cast<std::uint32_t>(notification.sequenceID) + index,
                    Bytes(notification.payload.begin() + static_cast<std::ptrdiff_t>(offset),
                          notification.payload.begin() + static_cast<std::ptrdiff_t>(offset + part)));
                frame.multipartMsgCount = notification.parts;
                frame.multipartMsgIndex = index;
                frames.push_back(std::move(frame));
                offset += part;
            }
            continue;
        }
        RawPeer::RawFrame frame = RawPeer::RawFrame::Plain(
            kNotificationChannel, static_cast<std::uint32_t>(notification.sequenceID), notification.payload);
        for (const Bytes& older : notification.older)
        {
            frame.payload.insert(frame.payload.end(), older.begin(), older.end());
        }
        frame.previousSequenceMsgCount = static_cast<std::uint32_t>(notification.older.size());
        frames.push_back(std::move(frame));
    }
    return WriteFrames(client, std::move(frames), false);
}

bool SimulatedDevice::SendRaw(std::size_t id, const Bytes& bytes)
{
    const std::shared_ptr<Client> client = Find(id);
    if (!client || client->kind != ClientKind::kTcp)
    {
        return false;
    }
    KT::RCPtr<LNetworkSocket> socket;
    {
        std::lock_guard<std::mutex> guard(mLock);
        if (client->closed || !client->socket)
        {
            return false;
        }
        socket = client->socket;
    }
    unsigned int sent = 0;
    return socket->Send(bytes.data(), static_cast<unsigned int>(bytes.size()), sent) == NETWORK_NO_ERROR &&
           sent == bytes.size();
}

void SimulatedDevice::SetWriteFault(WriteFault fault)
{
    std::lock_guard<std::mutex> guard(mLock);
    mWriteFault = fault;
}

void SimulatedDevice::SetSilent(bool silent)
{
    std::lock_guard<std::mutex> guard(mLock);
    mSilent = silent;
}

void SimulatedDevice::SetReading(bool reading)
{
    std::lock_guard<std::mutex> guard(mLock);
    mReading = reading;
    mChanged.notify_all();
}

void SimulatedDevice::SetDropNewClients(bool drop)
{
    std::lock_guard<std::mutex> guard(mLock);
    mDropNewClients = drop;
}

void SimulatedDevice::CloseClient(std::size_t client, bool abrupt)
{
    const std::shared_ptr<Client> found = Find(client);
    if (found)
    {
        Close(found, abrupt);
    }
}

} // namespace TestDevice
