#include "app/ServerMain.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/LoopbackClient.h"
#include "support/WaitUntil.h"

namespace {

struct CapturedLog {
    std::mutex lock;
    std::vector<std::string> lines;
};

void Capture(void* window, const char* line) noexcept
{
    auto* log = static_cast<CapturedLog*>(window);
    std::scoped_lock guard(log->lock);
    log->lines.emplace_back(line);
}

// Sanitizer runtimes start a helper thread of their own with the first thread the process
// makes; start one first so that the counts compare only the server's threads.
std::size_t ThreadCount()
{
    static const bool warmed = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmed;
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

bool IsUdnShape(const std::string& udn)
{
    if (udn.size() != 36) return false;
    for (std::size_t i = 0; i < udn.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash != (udn[i] == '-')) return false;
        if (!dash &&
            !(std::isdigit(static_cast<unsigned char>(udn[i])) || (udn[i] >= 'A' && udn[i] <= 'F')))
            return false;
    }
    return true;
}

}  // namespace

TEST(ServerMain, UdnLaysTheBytesOutAsAGuid)
{
    const unsigned char guid[16] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                                    0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0xf0};
    char udn[kUdnSize];
    ServerMain_FormatUdn(guid, udn);
    // Little-endian fields first, then the last eight bytes in stored order, upper case.
    EXPECT_STREQ(udn, "04030201-0605-0807-090A-0B0C0D0E0FF0");

    char first[kUdnSize];
    char second[kUdnSize];
    ServerMain_NewUdn(first);
    ServerMain_NewUdn(second);
    EXPECT_TRUE(IsUdnShape(first)) << first;
    EXPECT_TRUE(IsUdnShape(second)) << second;
    EXPECT_STRNE(first, second);
}

TEST(ServerMain, FriendlyNameFitsItsBufferWhateverTheHostName)
{
    char name[kFriendlyNameSize];
    ServerMain_BuildFriendlyName("den", name);
    EXPECT_STREQ(name, "Tindravoller DLNA - den -");

    std::string long_host(255, 'h');
    ServerMain_BuildFriendlyName(long_host.c_str(), name);
    EXPECT_LE(std::strlen(name), 511u);
    EXPECT_EQ(std::string(name).rfind("Tindravoller DLNA - hhh", 0), 0u);

    ServerMain_BuildFriendlyName("", name);
    EXPECT_STREQ(name, "Tindravoller DLNA -  -");
}

TEST(ServerMain, StartsLogsAndStopsWithEveryThreadJoined)
{
    CapturedLog log;
    const ServerLogTarget target{.append = Capture, .window = &log};
    tv::Event stop_event;
    std::size_t threads_before = ThreadCount();

    std::atomic<int> result{-1};
    std::thread server([&] { result = ServerMain(&target, &stop_event); });
    // Three workers, the stop watcher and the address monitor come up beside the server.
    tv::test::WaitUntil([&] { return ThreadCount() >= threads_before + 6; },
                        std::chrono::seconds(20));
    EXPECT_EQ(ThreadCount(), threads_before + 6);

    stop_event.Set();
    server.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(ThreadCount(), threads_before);
    std::scoped_lock guard(log.lock);
    ASSERT_FALSE(log.lines.empty());
    EXPECT_EQ(log.lines.front(), "Started Media Server");
}

namespace {

struct Serving {
    tv::Event told;
    std::mutex lock;
    std::vector<std::string> addresses;
    std::uint16_t port = 0;
};

void RecordServing(void* user, const std::vector<std::string>& addresses,
                   std::uint16_t http_port) noexcept
{
    auto* serving = static_cast<Serving*>(user);
    {
        std::scoped_lock hold(serving->lock);
        serving->addresses = addresses;
        serving->port = http_port;
    }
    serving->told.Set();
}

// Takes a held port as another program would: bound beside the holder, and listening.
int ListenOn(std::uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 1) != 0)
        return -1;
    return fd;
}

}  // namespace

// A firewall rule needs a port that stays: the one asked for is served and told, and one that
// is taken ends the start at once with the reason, nothing started and nothing logged.
TEST(ServerMain, AFixedPortIsServedAndATakenOneEndsTheStartAtOnce)
{
    CapturedLog log;
    const ServerLogTarget target{.append = Capture, .window = &log};
    // Held for the whole test: let go between the two starts, it could go to another test.
    const tv::test::HeldPort held(true);
    const std::uint16_t port = held.port();
    int taker = ListenOn(port);
    ASSERT_GE(taker, 0);
    tv::ServerStart start;
    start.options.port = port;
    tv::Event stop_event;
    std::size_t threads_before = ThreadCount();
    EXPECT_EQ(ServerMain(&target, &stop_event, &start), 1);
    EXPECT_EQ(start.failure, "the HTTP port " + std::to_string(port) +
                                 " cannot be used (bind: Address already in use)");
    EXPECT_EQ(ThreadCount(), threads_before);
    EXPECT_TRUE(log.lines.empty());

    ::close(taker);
    Serving serving;
    start.failure.clear();
    start.serving = RecordServing;
    start.user = &serving;
    std::atomic<int> result{-1};
    std::thread server([&] { result = ServerMain(&target, &stop_event, &start); });
    ASSERT_TRUE(serving.told.WaitFor(std::chrono::seconds(10)));
    {
        std::scoped_lock hold(serving.lock);
        EXPECT_EQ(serving.port, port);
        ASSERT_FALSE(serving.addresses.empty());
        EXPECT_EQ(serving.addresses.back(), "127.0.0.1");
    }
    int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(client);
    stop_event.Set();
    server.join();
    EXPECT_EQ(result.load(), 0);
}

TEST(ServerMain, StopSetBeforeStartEndsTheServerAtOnce)
{
    CapturedLog log;
    const ServerLogTarget target{.append = Capture, .window = &log};
    tv::Event stop_event;
    stop_event.Set();
    std::size_t threads_before = ThreadCount();
    EXPECT_EQ(ServerMain(&target, &stop_event), 0);
    EXPECT_EQ(ThreadCount(), threads_before);
}
