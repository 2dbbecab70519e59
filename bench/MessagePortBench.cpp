// One 64-byte request with a 64-byte reply through a message port (a fresh
// Unix connection per request, framed, answered by the server's thread),
// beside the same 64 bytes ping-ponged over one connected Unix socket pair with
// an echoing thread: the floor that the framing and the per-request connection
// stand on.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <ftw.h>
#include <string>
#include <thread>

#include "Platform/MessagePort.h"
#include "Platform/MessagePortServer.h"
#include "Platform/RuntimeDirectory.h"

namespace
{

constexpr std::size_t kBytes = 64;

void BM_MessagePortRequestWithReply64(benchmark::State& state)
{
    char base[] = "/tmp/vq-bench-XXXXXX";
    if (::mkdtemp(base) == nullptr)
    {
        state.SkipWithError("no temporary directory");
        return;
    }
    KT::Platform::ResetRuntimeDirectoryForTesting(base);
    {
        auto server = KT::Platform::MessagePortServer::Create(
            "bench.port",
            [](std::int32_t, const std::optional<KT::Platform::PortBytes>& request,
               std::optional<KT::Platform::PortBytes>* reply)
            {
                if (reply != nullptr)
                {
                    *reply = request;
                }
            });
        auto port = KT::Platform::LookUpMessagePort("bench.port");
        if (!server || !port)
        {
            state.SkipWithError("no port");
            return;
        }
        const KT::Platform::PortBytes request(kBytes, 0x5A);
        std::optional<KT::Platform::PortBytes> reply;
        for (auto _ : state)
        {
            if (port->SendRequest(0x5350724D, &request, 2500, 5000, &reply) !=
                KT::Platform::PortStatus::Success)
            {
                state.SkipWithError("request failed");
                break;
            }
            benchmark::DoNotOptimize(reply);
        }
    }
    ::nftw(
        base, [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
    KT::Platform::ResetRuntimeDirectoryForTesting(nullptr);
}
BENCHMARK(BM_MessagePortRequestWithReply64)->UseRealTime();

void BM_RawUnixSocketPingPong64(benchmark::State& state)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
    {
        state.SkipWithError("no socket pair");
        return;
    }
    std::thread echo(
        [fd = fds[1]]
        {
            unsigned char buffer[kBytes];
            for (;;)
            {
                std::size_t got = 0;
                while (got < kBytes)
                {
                    const ssize_t n = ::recv(fd, buffer + got, kBytes - got, 0);
                    if (n <= 0)
                    {
                        return;
                    }
                    got += static_cast<std::size_t>(n);
                }
                if (::send(fd, buffer, kBytes, MSG_NOSIGNAL) != static_cast<ssize_t>(kBytes))
                {
                    return;
                }
            }
        });
    unsigned char request[kBytes] = {};
    unsigned char reply[kBytes];
    for (auto _ : state)
    {
        ::send(fds[0], request, kBytes, MSG_NOSIGNAL);
        std::size_t got = 0;
        while (got < kBytes)
        {
            const ssize_t n = ::recv(fds[0], reply + got, kBytes - got, 0);
            if (n <= 0)
            {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        benchmark::DoNotOptimize(reply);
    }
    ::shutdown(fds[0], SHUT_RDWR);
    echo.join();
    ::close(fds[0]);
    ::close(fds[1]);
}
BENCHMARK(BM_RawUnixSocketPingPong64)->UseRealTime();

} // namespace
