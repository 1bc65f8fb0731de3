#include "app/AddressMonitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/WaitUntil.h"

namespace {

void Count(void* user) noexcept
{
    static_cast<std::atomic<int>*>(user)->fetch_add(1);
}

bool InPrivateNamespace()
{
    const char* flag = std::getenv("TV_NETNS");
    return flag != nullptr && flag[0] == '1';
}

bool WaitFor(const std::atomic<int>& counter, int at_least)
{
    return tv::test::WaitUntil([&] { return counter.load() >= at_least; },
                               std::chrono::seconds(20));
}

}  // namespace

TEST(AddressMonitor, StopsPromptlyWithoutNotifying)
{
    std::atomic<int> notifications{0};
    AddressMonitor* monitor = AddressMonitor_Start(Count, &notifications);
    ASSERT_NE(monitor, nullptr);
    AddressMonitor_Stop(monitor);
    EXPECT_EQ(notifications.load(), 0);
    AddressMonitor_Stop(nullptr);
}

TEST(AddressMonitor, ReportsAddressChangesOncePerBatch)
{
    if (!InPrivateNamespace())
        GTEST_SKIP() << "changes addresses: runs only in a private namespace";
    std::atomic<int> notifications{0};
    AddressMonitor* monitor = AddressMonitor_Start(Count, &notifications);
    ASSERT_NE(monitor, nullptr);

    ASSERT_EQ(std::system("ip addr add 127.0.0.2/8 dev lo"), 0);
    EXPECT_TRUE(WaitFor(notifications, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int after_add = notifications.load();
    // One change is one kernel message, so at most one report for it.
    EXPECT_EQ(after_add, 1);

    ASSERT_EQ(std::system("ip addr del 127.0.0.2/8 dev lo"), 0);
    EXPECT_TRUE(WaitFor(notifications, after_add + 1));

    AddressMonitor_Stop(monitor);
    int at_stop = notifications.load();
    ASSERT_EQ(std::system("ip addr add 127.0.0.3/8 dev lo"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(notifications.load(), at_stop);
    ASSERT_EQ(std::system("ip addr del 127.0.0.3/8 dev lo"), 0);
}
