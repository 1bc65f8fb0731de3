// Web server throughput on 127.0.0.1: small keep-alive GETs, pipelined GETs, and one large
// chunked body. The server runs on its own chain thread; the benchmark thread is a plain
// blocking client.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "http/OlvWebServer.h"
#include "net/LocalAddresses.h"
#include "runtime/OlvChain.h"
#include "runtime/OlvLifeTime.h"
#include "runtime/ServerContext.h"

namespace {

constexpr std::size_t kLargeBody = 8 * 1024 * 1024;
constexpr std::size_t kPiece = 16384;
constexpr int kPipelineDepth = 16;
constexpr std::string_view kSmallResponse =
    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Type: text/plain\r\n\r\n5\r\nhello\r\n0\r\n\r\n";

const std::string& LargePiece()
{
    static const std::string piece(kPiece, 'x');
    return piece;
}

void OnRequest(OlvWebSession* session, OlvPacket* header, char*, int* begin, int end,
               tv::WebDelivery done) noexcept
{
    if (header == nullptr || done != tv::WebDelivery::Final) return;
    *begin = end;
    OlvWebServer_BeginResponse(session, 200, "OK", "\r\nContent-Type: text/plain", OwnStatic);
    std::string_view path(header->path, static_cast<std::size_t>(header->path_length));
    if (path == "/large") {
        for (std::size_t sent = 0; sent < kLargeBody; sent += kPiece)
            OlvWebServer_SendBody(session, LargePiece().data(), kPiece, OwnStatic, 0);
        OlvWebServer_SendBody(session, nullptr, 0, OwnStatic, 1);
    } else {
        OlvWebServer_SendBody(session, "hello", 5, OwnStatic, 1);
    }
}

void OnSession(OlvWebSession* session, void*) noexcept
{
    tv::WebSessionSetRequestHandler(session, OnRequest);
}

// One server for the whole run.
struct Server {
    tv::ServedInterfaces served;  // every interface
    tv::ServerContext context;
    OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);
    OlvWebServer* server = nullptr;
    std::uint16_t port = 0;
    std::thread thread;
    Server()
    {
        context.served = &served;
        server = OlvWebServer_Create(chain, &context, 5, 0, OnSession, nullptr);
        port = OlvWebServer_GetPort(server);
        thread = std::thread([c = chain] { OlvChain_Run(c); });
    }
    ~Server()
    {
        OlvChain_Stop(chain);
        thread.join();
    }
};

Server& TheServer()
{
    static Server server;
    return server;
}

int Connect(std::uint16_t port)
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return fd;
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

bool SendAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool ReadExactly(int fd, std::size_t count, std::string& scratch)
{
    scratch.resize(65536);
    while (count > 0) {
        ssize_t n = ::recv(fd, scratch.data(), count < scratch.size() ? count : scratch.size(), 0);
        if (n <= 0) return false;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

constexpr std::string_view kGet = "GET /small HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

void BM_KeepAliveGet(benchmark::State& state)
{
    int fd = Connect(TheServer().port);
    std::string scratch;
    for (auto _ : state) {
        if (!SendAll(fd, kGet) || !ReadExactly(fd, kSmallResponse.size(), scratch)) {
            state.SkipWithError("connection lost");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    ::close(fd);
}
BENCHMARK(BM_KeepAliveGet)->UseRealTime();

void BM_PipelinedGet(benchmark::State& state)
{
    int fd = Connect(TheServer().port);
    std::string batch;
    for (int i = 0; i < kPipelineDepth; ++i) batch += kGet;
    std::string scratch;
    for (auto _ : state) {
        if (!SendAll(fd, batch) ||
            !ReadExactly(fd, kSmallResponse.size() * kPipelineDepth, scratch)) {
            state.SkipWithError("connection lost");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kPipelineDepth);
    ::close(fd);
}
BENCHMARK(BM_PipelinedGet)->UseRealTime();

void BM_LargeChunkedBody(benchmark::State& state)
{
    int fd = Connect(TheServer().port);
    char size_line[32];
    int size_line_length = std::snprintf(size_line, sizeof size_line, "%zX\r\n", kPiece);
    const std::size_t header = kSmallResponse.find("\r\n\r\n") + 4;
    const std::size_t total =
        header + (kLargeBody / kPiece) * (static_cast<std::size_t>(size_line_length) + kPiece + 2) +
        5;
    const std::string request = "GET /large HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::string scratch;
    for (auto _ : state) {
        if (!SendAll(fd, request) || !ReadExactly(fd, total, scratch)) {
            state.SkipWithError("connection lost");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kLargeBody));
    ::close(fd);
}
BENCHMARK(BM_LargeChunkedBody)->UseRealTime();

}  // namespace
