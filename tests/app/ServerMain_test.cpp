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
    std::thread server([&] { result = ServerMain(&target, &stop_event, {}); });
    // Three workers, the stop watcher and the address monitor come up beside the server.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ThreadCount() < threads_before + 6 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(ThreadCount(), threads_before + 6);

    stop_event.Set();
    server.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(ThreadCount(), threads_before);
    std::scoped_lock guard(log.lock);
    ASSERT_FALSE(log.lines.empty());
    EXPECT_EQ(log.lines.front(), "Started Media Server");
}

TEST(ServerMain, StopSetBeforeStartEndsTheServerAtOnce)
{
    CapturedLog log;
    const ServerLogTarget target{.append = Capture, .window = &log};
    tv::Event stop_event;
    stop_event.Set();
    std::size_t threads_before = ThreadCount();
    EXPECT_EQ(ServerMain(&target, &stop_event, {}), 0);
    EXPECT_EQ(ThreadCount(), threads_before);
}
