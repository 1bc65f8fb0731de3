#include "runtime/OlvThreadPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "support/ChainRunner.h"

namespace {

using tv::test::HangGuard;
using tv::test::WaitUntil;

// Items block until the test hands out permits, and record when they started.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    int permits = 0;
    int running = 0;
    int most_at_once = 0;
    std::vector<int> started;
    std::vector<int> finished;

    void Release(int count)
    {
        {
            std::scoped_lock lock(mutex);
            permits += count;
        }
        cv.notify_all();
    }
    int Started()
    {
        std::scoped_lock lock(mutex);
        return static_cast<int>(started.size());
    }
    int Finished()
    {
        std::scoped_lock lock(mutex);
        return static_cast<int>(finished.size());
    }
};

struct Item {
    Gate* gate = nullptr;
    int id = 0;
    std::thread::id ran_on;
};

void GatedWork(OlvThreadPool*, void* data) noexcept
{
    auto* item = static_cast<Item*>(data);
    Gate& gate = *item->gate;
    std::unique_lock lock(gate.mutex);
    item->ran_on = std::this_thread::get_id();
    gate.started.push_back(item->id);
    if (++gate.running > gate.most_at_once) gate.most_at_once = gate.running;
    gate.cv.wait(lock, [&] { return gate.permits > 0; });
    --gate.permits;
    --gate.running;
    gate.finished.push_back(item->id);
}

class Workers {
public:
    Workers(OlvThreadPool* pool, int count)
    {
        for (int i = 0; i < count; ++i) threads_.emplace_back([pool] { OlvThreadPool_Run(pool); });
    }
    void Join()
    {
        for (std::thread& thread : threads_) thread.join();
        threads_.clear();
    }
    ~Workers() { Join(); }

private:
    std::vector<std::thread> threads_;
};

TEST(OlvThreadPool, ThreeWorkersRunThreeItemsAtATimeInOrder)
{
    HangGuard guard("ThreeWorkersRunThreeItemsAtATimeInOrder");
    OlvThreadPool* pool = OlvThreadPool_Create();
    Workers workers(pool, 3);
    ASSERT_TRUE(WaitUntil([&] { return tv::ThreadPoolWorkerCount(pool) == 3; }));

    Gate gate;
    Item items[4];
    for (int i = 0; i < 4; ++i) {
        items[i] = Item{&gate, i + 1, {}};
        OlvThreadPool_Queue(pool, &items[i], GatedWork);
    }
    ASSERT_TRUE(WaitUntil([&] { return gate.Started() == 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(gate.Started(), 3) << "the fourth item waits for a free worker";

    gate.Release(1);
    ASSERT_TRUE(WaitUntil([&] { return gate.Started() == 4; }));
    gate.Release(3);
    ASSERT_TRUE(WaitUntil([&] { return gate.Finished() == 4; }));

    OlvThreadPool_Destroy(pool);
    workers.Join();
    EXPECT_EQ(gate.most_at_once, 3);
    EXPECT_EQ(gate.started.back(), 4);
    for (const Item& item : items) EXPECT_NE(item.ran_on, std::this_thread::get_id());
}

TEST(OlvThreadPool, WithoutWorkersAnItemRunsOnTheCaller)
{
    OlvThreadPool* pool = OlvThreadPool_Create();
    Gate gate;
    gate.permits = 1;
    Item item{&gate, 1, {}};
    OlvThreadPool_Queue(pool, &item, GatedWork);
    EXPECT_EQ(gate.Finished(), 1) << "ran before Queue returned";
    EXPECT_EQ(item.ran_on, std::this_thread::get_id());
    OlvThreadPool_Destroy(pool);
}

TEST(OlvThreadPool, DestroyWaitsForRunningItemsAndDiscardsQueuedOnes)
{
    HangGuard guard("DestroyWaitsForRunningItemsAndDiscardsQueuedOnes");
    OlvThreadPool* pool = OlvThreadPool_Create();
    Workers workers(pool, 1);
    ASSERT_TRUE(WaitUntil([&] { return tv::ThreadPoolWorkerCount(pool) == 1; }));

    Gate gate;
    Item items[3];
    for (int i = 0; i < 3; ++i) {
        items[i] = Item{&gate, i + 1, {}};
        OlvThreadPool_Queue(pool, &items[i], GatedWork);
    }
    ASSERT_TRUE(WaitUntil([&] { return gate.Started() == 1; }));

    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        OlvThreadPool_Destroy(pool);
        destroyed = true;
    });
    // Destroy has begun and waits for the running item; the queued two must not start.
    ASSERT_TRUE(WaitUntil([&] { return tv::ThreadPoolTerminating(pool); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(destroyed.load());
    gate.Release(3);
    destroyer.join();
    workers.Join();

    EXPECT_EQ(gate.started, (std::vector<int>{1}));
    EXPECT_EQ(gate.finished, (std::vector<int>{1}));
}

TEST(OlvThreadPool, DestroyWithIdleWorkersReturnsOnceAllHaveLeft)
{
    HangGuard guard("DestroyWithIdleWorkersReturnsOnceAllHaveLeft");
    OlvThreadPool* pool = OlvThreadPool_Create();
    std::atomic<int> left{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([pool, &left] {
            OlvThreadPool_Run(pool);
            ++left;
        });
    }
    tv::ThreadPoolWaitForWorkers(pool, 3);
    EXPECT_EQ(tv::ThreadPoolWorkerCount(pool), 3);
    OlvThreadPool_Destroy(pool);
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(left.load(), 3);
}

}  // namespace
