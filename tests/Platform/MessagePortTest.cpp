#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "Platform/MessagePort.h"
#include "Platform/MessagePortServer.h"
#include "Platform/UnixSocket.h"
#include "support/ScopedRuntimeDirectory.h"

using namespace KT::Platform;
using PlatformTesting::ScopedRuntimeDirectory;

namespace
{

constexpr char kPortName[] = "test.port";

// A listening socket at the port's path that the test drives byte by byte.
ScopedFd ListenRaw(const std::string& name, int backlog = 8)
{
    sockaddr_un address{};
    socklen_t length = 0;
    EXPECT_TRUE(MakeUnixAddress(GetMessagePortPath(name), address, length));
    ScopedFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length), 0);
    EXPECT_EQ(::listen(fd.Get(), backlog), 0);
    return fd;
}

ScopedFd ConnectRaw(const std::string& name)
{
    sockaddr_un address{};
    socklen_t length = 0;
    EXPECT_TRUE(MakeUnixAddress(GetMessagePortPath(name), address, length));
    ScopedFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length), 0);
    return fd;
}

PortBytes ReadExactly(int fd, std::size_t size)
{
    PortBytes bytes(size);
    std::size_t done = 0;
    while (done < size)
    {
        const ssize_t got = ::recv(fd, bytes.data() + done, size - done, 0);
        if (got <= 0)
        {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return bytes;
}

// Everything the peer sends until it closes.
PortBytes ReadToEnd(int fd)
{
    PortBytes bytes;
    unsigned char chunk[256];
    ssize_t got;
    while ((got = ::recv(fd, chunk, sizeof(chunk), 0)) > 0)
    {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
}

void WriteRaw(int fd, const PortBytes& bytes)
{
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// Answers every request with its own data; records the message IDs.
MessagePortServer::Handler EchoHandler(std::vector<std::int32_t>* ids = nullptr, std::mutex* lock = nullptr)
{
    return
        [ids, lock](std::int32_t id, const std::optional<PortBytes>& request, std::optional<PortBytes>* reply)
    {
        if (ids != nullptr)
        {
            std::lock_guard<std::mutex> guard(*lock);
            ids->push_back(id);
        }
        if (reply != nullptr)
        {
            *reply = request;
        }
    };
}

} // namespace

TEST(MessagePort, ClientWritesTheRequestFrameAndReadsTheReplyFrameByteForByte)
{
    struct Row
    {
        const char* name;
        std::optional<PortBytes> request;
        bool replyWanted;
        PortBytes expectedFrame;
        PortBytes replyFrame; // sent back when a reply is wanted
        std::optional<PortBytes> expectedReply;
    };
    const Row rows[] = {
        {"data, reply with data",
         PortBytes{0x01, 0x02, 0x03},
         true,
         {'V', 'Q', 'R', 'Q', 0x4C, 0x44, 0x74, 0x47, 0x03, 0, 0, 0, 0x03, 0, 0, 0, 0x01, 0x02, 0x03},
         {'V', 'Q', 'R', 'P', 0x01, 0, 0, 0, 0x02, 0, 0, 0, 0xAA, 0xBB},
         PortBytes{0xAA, 0xBB}},
        {"no data, null reply",
         std::nullopt,
         true,
         {'V', 'Q', 'R', 'Q', 0x4C, 0x44, 0x74, 0x47, 0x02, 0, 0, 0, 0, 0, 0, 0},
         {'V', 'Q', 'R', 'P', 0, 0, 0, 0, 0, 0, 0, 0},
         std::nullopt},
        {"empty data, empty reply",
         PortBytes{},
         true,
         {'V', 'Q', 'R', 'Q', 0x4C, 0x44, 0x74, 0x47, 0x03, 0, 0, 0, 0, 0, 0, 0},
         {'V', 'Q', 'R', 'P', 0x01, 0, 0, 0, 0, 0, 0, 0},
         PortBytes{}},
        {"one-way, negative ID",
         PortBytes{0x7F},
         false,
         {'V', 'Q', 'R', 'Q', 0xFA, 0xFF, 0xFF, 0xFF, 0x01, 0, 0, 0, 0x01, 0, 0, 0, 0x7F},
         {},
         std::nullopt},
    };
    for (const Row& row : rows)
    {
        ScopedRuntimeDirectory runtime;
        ScopedFd listener = ListenRaw(kPortName);
        std::shared_ptr<IRemoteMessagePort> port = LookUpMessagePort(kPortName);
        ASSERT_NE(port, nullptr) << row.name;
        // The look-up's own connection carries nothing.
        ScopedFd probe(::accept(listener.Get(), nullptr, nullptr));
        EXPECT_TRUE(ReadToEnd(probe.Get()).empty()) << row.name;

        std::optional<PortBytes> reply = PortBytes{0xEE};
        PortStatus status = PortStatus::TransportError;
        const std::int32_t id = row.replyWanted ? 0x4774444C : -6;
        std::thread client(
            [&]
            {
                status = port->SendRequest(id, row.request ? &*row.request : nullptr, 1000, 1000,
                                           row.replyWanted ? &reply : nullptr);
            });
        ScopedFd connection(::accept(listener.Get(), nullptr, nullptr));
        EXPECT_EQ(ReadExactly(connection.Get(), row.expectedFrame.size()), row.expectedFrame) << row.name;
        if (row.replyWanted)
        {
            WriteRaw(connection.Get(), row.replyFrame);
        }
        client.join();
        EXPECT_EQ(status, PortStatus::Success) << row.name;
        if (row.replyWanted)
        {
            EXPECT_EQ(reply, row.expectedReply) << row.name;
        }
        else
        {
            EXPECT_EQ(reply, PortBytes{0xEE}) << row.name << ": a one-way request leaves the reply alone";
        }
    }
}

TEST(MessagePortServer, AnswersRawRequestFramesByteForByte)
{
    struct Row
    {
        const char* name;
        PortBytes requestFrame;
        std::optional<PortBytes> answer;
        std::int32_t expectedId;
        std::optional<PortBytes> expectedRequest;
        PortBytes expectedReplyFrame; // empty: nothing comes back
    };
    const Row rows[] = {
        {"data in, data out",
         {'V', 'Q', 'R', 'Q', 0x74, 0x63, 0x6E, 0x43, 0x03, 0, 0, 0, 0x02, 0, 0, 0, 0x10, 0x20},
         PortBytes{0x01, 0x02, 0x03},
         0x436E6374,
         PortBytes{0x10, 0x20},
         {'V', 'Q', 'R', 'P', 0x01, 0, 0, 0, 0x03, 0, 0, 0, 0x01, 0x02, 0x03}},
        {"null reply",
         {'V', 'Q', 'R', 'Q', 0x01, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0},
         std::nullopt,
         1,
         std::nullopt,
         {'V', 'Q', 'R', 'P', 0, 0, 0, 0, 0, 0, 0, 0}},
        {"empty reply",
         {'V', 'Q', 'R', 'Q', 0x01, 0, 0, 0, 0x03, 0, 0, 0, 0, 0, 0, 0},
         PortBytes{},
         1,
         PortBytes{},
         {'V', 'Q', 'R', 'P', 0x01, 0, 0, 0, 0, 0, 0, 0}},
        {"one-way",
         {'V', 'Q', 'R', 'Q', 0x02, 0, 0, 0, 0x01, 0, 0, 0, 0x01, 0, 0, 0, 0x55},
         PortBytes{0x99},
         2,
         PortBytes{0x55},
         {}},
    };
    for (const Row& row : rows)
    {
        ScopedRuntimeDirectory runtime;
        std::int32_t seenId = 0;
        std::optional<PortBytes> seenRequest;
        auto server = MessagePortServer::Create(
            kPortName,
            [&](std::int32_t id, const std::optional<PortBytes>& request, std::optional<PortBytes>* reply)
            {
                seenId = id;
                seenRequest = request;
                if (reply != nullptr)
                {
                    *reply = row.answer;
                }
            });
        ASSERT_NE(server, nullptr) << row.name;
        ScopedFd client = ConnectRaw(kPortName);
        WriteRaw(client.Get(), row.requestFrame);
        EXPECT_EQ(ReadToEnd(client.Get()), row.expectedReplyFrame) << row.name;
        server->Stop(); // the handler has run once the server closed the connection
        EXPECT_EQ(seenId, row.expectedId) << row.name;
        EXPECT_EQ(seenRequest, row.expectedRequest) << row.name;
    }
}

TEST(MessagePortServer, BadFramesCloseOnlyTheirOwnConnection)
{
    struct Row
    {
        const char* name;
        PortBytes bytes;
        bool keepOpen; // a frame that never completes
    };
    const Row rows[] = {
        {"bad magic", {'V', 'Q', 'R', 'X', 1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0}, false},
        {"length over 16 MiB", {'V', 'Q', 'R', 'Q', 1, 0, 0, 0, 3, 0, 0, 0, 0x01, 0, 0, 0x01}, false},
        {"length without data flag",
         {'V', 'Q', 'R', 'Q', 1, 0, 0, 0, 2, 0, 0, 0, 4, 0, 0, 0, 1, 2, 3, 4},
         false},
        {"unknown flag", {'V', 'Q', 'R', 'Q', 1, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0}, false},
        {"header cut and closed", {'V', 'Q', 'R', 'Q', 1, 0}, false},
        {"data cut and closed", {'V', 'Q', 'R', 'Q', 1, 0, 0, 0, 3, 0, 0, 0, 8, 0, 0, 0, 1, 2}, false},
        {"header cut, left open", {'V', 'Q', 'R', 'Q', 1, 0}, true},
        {"data cut, left open", {'V', 'Q', 'R', 'Q', 1, 0, 0, 0, 3, 0, 0, 0, 8, 0, 0, 0, 1, 2}, true},
    };
    ScopedRuntimeDirectory runtime;
    std::vector<std::int32_t> ids;
    std::mutex lock;
    MessagePortServer::Options options;
    options.FrameTimeoutMs = 100;
    auto server = MessagePortServer::Create(kPortName, EchoHandler(&ids, &lock), options);
    ASSERT_NE(server, nullptr);
    std::shared_ptr<IRemoteMessagePort> port = LookUpMessagePort(kPortName);
    ASSERT_NE(port, nullptr);
    for (const Row& row : rows)
    {
        ScopedFd bad = ConnectRaw(kPortName);
        WriteRaw(bad.Get(), row.bytes);
        if (!row.keepOpen)
        {
            ::shutdown(bad.Get(), SHUT_WR);
        }
        // The good request queued behind the bad connection is still served.
        const PortBytes data{0x42};
        std::optional<PortBytes> reply;
        EXPECT_EQ(port->SendRequest(7, &data, 2000, 2000, &reply), PortStatus::Success) << row.name;
        EXPECT_EQ(reply, data) << row.name;
        EXPECT_TRUE(ReadToEnd(bad.Get()).empty()) << row.name << ": the bad connection gets no answer";
    }
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(ids, std::vector<std::int32_t>(std::size(rows), 7))
        << "only the good requests reached the handler";
}

TEST(MessagePortServer, Serves200RequestsFromFourThreadsWholeAndInOrder)
{
    ScopedRuntimeDirectory runtime;
    std::vector<std::int32_t> ids;
    std::mutex lock;
    auto server = MessagePortServer::Create(kPortName, EchoHandler(&ids, &lock));
    ASSERT_NE(server, nullptr);
    constexpr int kThreads = 4;
    constexpr int kPerThread = 50;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back(
            [&, t]
            {
                std::shared_ptr<IRemoteMessagePort> port = LookUpMessagePort(kPortName);
                if (port == nullptr)
                {
                    ++failures;
                    return;
                }
                for (int i = 0; i < kPerThread; ++i)
                {
                    // Sizes up to 300 KB, beyond a socket buffer, so frames travel in pieces.
                    PortBytes data(static_cast<std::size_t>(i) * 6000 + 1);
                    for (std::size_t k = 0; k < data.size(); ++k)
                    {
                        data[k] = static_cast<unsigned char>(k * 7 + t + i);
                    }
                    std::optional<PortBytes> reply;
                    if (port->SendRequest(t * 1000 + i, &data, 5000, 5000, &reply) != PortStatus::Success ||
                        reply != data)
                    {
                        ++failures;
                    }
                }
            });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    std::lock_guard<std::mutex> guard(lock);
    ASSERT_EQ(ids.size(), static_cast<std::size_t>(kThreads * kPerThread));
    std::vector<int> next(kThreads, 0);
    for (std::int32_t id : ids)
    {
        EXPECT_EQ(id % 1000, next[id / 1000]++) << "thread " << id / 1000 << " out of order";
    }
}

TEST(MessagePort, ReportsEachFailureWithItsOwnStatus)
{
    ScopedRuntimeDirectory runtime;
    const PortBytes small{1, 2, 3};
    std::optional<PortBytes> reply;

    // A server that never reads: a request bigger than the socket buffers
    // cannot be handed over.
    {
        ScopedFd listener = ListenRaw(kPortName);
        auto port = LookUpMessagePort(kPortName);
        ASSERT_NE(port, nullptr);
        const PortBytes big(4 * 1024 * 1024);
        EXPECT_EQ(port->SendRequest(1, &big, 50, 50, nullptr), PortStatus::SendTimeout);
        EXPECT_EQ(port->SendRequest(1, &small, 50, 50, &reply), PortStatus::ReceiveTimeout);
        EXPECT_TRUE(port->IsValid());
    }
    ::unlink(GetMessagePortPath(kPortName).c_str());

    // Replies that break the frame, or no whole reply before the close.
    const struct
    {
        const char* name;
        PortBytes replyFrame;
    } broken[] = {
        {"bad magic", {'V', 'Q', 'R', 'Q', 0, 0, 0, 0, 0, 0, 0, 0}},
        {"oversized", {'V', 'Q', 'R', 'P', 1, 0, 0, 0, 0x01, 0, 0, 0x01}},
        {"cut header", {'V', 'Q', 'R'}},
        {"cut data", {'V', 'Q', 'R', 'P', 1, 0, 0, 0, 4, 0, 0, 0, 9}},
        {"closed without reply", {}},
    };
    for (const auto& row : broken)
    {
        ScopedFd listener = ListenRaw(kPortName);
        auto port = LookUpMessagePort(kPortName);
        ASSERT_NE(port, nullptr);
        ScopedFd probe(::accept(listener.Get(), nullptr, nullptr));
        std::thread peer(
            [&]
            {
                ScopedFd connection(::accept(listener.Get(), nullptr, nullptr));
                ReadExactly(connection.Get(), 16 + small.size());
                if (!row.replyFrame.empty())
                {
                    WriteRaw(connection.Get(), row.replyFrame);
                }
            });
        reply = PortBytes{};
        EXPECT_EQ(port->SendRequest(1, &small, 1000, 1000, &reply), PortStatus::TransportError) << row.name;
        EXPECT_FALSE(reply.has_value()) << row.name;
        peer.join();
        ::unlink(GetMessagePortPath(kPortName).c_str());
    }

    // The server goes: the port is invalid and stays so.
    auto server = MessagePortServer::Create(kPortName, EchoHandler());
    ASSERT_NE(server, nullptr);
    auto port = LookUpMessagePort(kPortName);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->SendRequest(1, &small, 1000, 1000, &reply), PortStatus::Success);
    server.reset();
    EXPECT_EQ(port->SendRequest(1, &small, 1000, 1000, &reply), PortStatus::IsInvalid);
    EXPECT_FALSE(port->IsValid());
    server = MessagePortServer::Create(kPortName, EchoHandler());
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(port->SendRequest(1, &small, 1000, 1000, &reply), PortStatus::IsInvalid);
    EXPECT_EQ(LookUpMessagePort(kPortName)->SendRequest(1, &small, 1000, 1000, &reply), PortStatus::Success);

    const PortBytes oversized(16 * 1024 * 1024 + 1);
    EXPECT_EQ(LookUpMessagePort(kPortName)->SendRequest(1, &oversized, 1000, 1000, &reply),
              PortStatus::TransportError);
}

TEST(MessagePortServer, ReplacesAStaleSocketButNotALiveServer)
{
    ScopedRuntimeDirectory runtime;
    EXPECT_EQ(LookUpMessagePort(kPortName), nullptr);
    {
        ScopedFd stale = ListenRaw(kPortName); // closed at the end of the scope, its file left behind
    }
    EXPECT_EQ(LookUpMessagePort(kPortName), nullptr) << "a socket file without a server is no port";
    auto server = MessagePortServer::Create(kPortName, EchoHandler());
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(MessagePortServer::Create(kPortName, EchoHandler()), nullptr);
    EXPECT_NE(LookUpMessagePort(kPortName), nullptr);
    server->Stop();
    EXPECT_NE(::access(GetMessagePortPath(kPortName).c_str(), F_OK), 0) << "the server removes its own file";
}

TEST(MessagePort, NamesThatDoNotFitOrAreNotPlainFileNamesAreRefused)
{
    ScopedRuntimeDirectory runtime;
    const struct
    {
        std::string name;
        bool accepted;
    } rows[] = {
        {std::string(200, 'n'), false}, {"a/b", false}, {"..", false}, {"", false}, {"plain", true},
    };
    for (const auto& row : rows)
    {
        auto server = MessagePortServer::Create(row.name, EchoHandler());
        EXPECT_EQ(server != nullptr, row.accepted) << row.name;
        EXPECT_EQ(LookUpMessagePort(row.name) != nullptr, row.accepted) << row.name;
    }
    sockaddr_un address{};
    socklen_t length = 0;
    EXPECT_TRUE(MakeUnixAddress(std::string(sizeof(address.sun_path) - 1, 'p'), address, length));
    EXPECT_FALSE(MakeUnixAddress(std::string(sizeof(address.sun_path), 'p'), address, length))
        << "a path that fills sun_path without its NUL is not cut";
}
