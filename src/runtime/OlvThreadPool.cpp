// Worker pool: a FIFO of work items served by the threads that call OlvThreadPool_Run. One lock
// guards the queue and the counters; it is never held while an item runs.
#include "runtime/OlvThreadPool.h"

#include <condition_variable>
#include <mutex>

#include "runtime/OlvContainers.h"

namespace {

struct WorkItem {
    tv::PoolWorkFn function = nullptr;
    void* data = nullptr;
};

}  // namespace

struct OlvThreadPool {
    std::mutex lock;  // guards queue, workers, terminating
    OlvQueue* queue = nullptr;
    int workers = 0;
    bool terminating = false;
    // A condition rather than a counting semaphore: a bounded semaphore would drop the wake of
    // an item queued while many are already waiting.
    std::condition_variable work_available;
    std::condition_variable all_exited;
    std::condition_variable worker_entered;
};

OlvThreadPool* OlvThreadPool_Create() noexcept
{
    auto* pool = new OlvThreadPool;
    pool->queue = OlvQueue_Create();
    return pool;
}

void OlvThreadPool_Run(OlvThreadPool* pool) noexcept
{
    std::unique_lock lock(pool->lock);
    ++pool->workers;
    pool->worker_entered.notify_all();
    for (;;) {
        pool->work_available.wait(
            lock, [pool] { return pool->terminating || OlvQueue_IsEmpty(pool->queue) == 0; });
        // Once the pool is being destroyed, queued items are left for Destroy to discard.
        if (pool->terminating) break;
        auto* item = static_cast<WorkItem*>(OlvQueue_Take(pool->queue));
        lock.unlock();
        item->function(pool, item->data);
        delete item;
        lock.lock();
    }
    if (--pool->workers == 0) pool->all_exited.notify_all();
}

void tv::ThreadPoolWaitForWorkers(OlvThreadPool* pool, int count) noexcept
{
    std::unique_lock lock(pool->lock);
    pool->worker_entered.wait(lock, [pool, count] { return pool->workers >= count; });
}

void OlvThreadPool_Queue(OlvThreadPool* pool, void* data, tv::PoolWorkFn function) noexcept
{
    {
        std::scoped_lock lock(pool->lock);
        if (pool->workers != 0) {
            OlvQueue_Put(pool->queue, new WorkItem{function, data});
            pool->work_available.notify_one();
            return;
        }
    }
    // No worker has started (or all have left): run on the caller's thread.
    function(pool, data);
}

void OlvThreadPool_Destroy(OlvThreadPool* pool) noexcept
{
    {
        std::unique_lock lock(pool->lock);
        pool->terminating = true;
        pool->work_available.notify_all();
        pool->all_exited.wait(lock, [pool] { return pool->workers == 0; });
    }
    // Discarded without running; the item records are ours to free, the data is not.
    while (auto* item = static_cast<WorkItem*>(OlvQueue_Take(pool->queue))) delete item;
    OlvQueue_Destroy(pool->queue);
    delete pool;
}

int tv::ThreadPoolWorkerCount(OlvThreadPool* pool) noexcept
{
    std::scoped_lock lock(pool->lock);
    return pool->workers;
}

bool tv::ThreadPoolTerminating(OlvThreadPool* pool) noexcept
{
    std::scoped_lock lock(pool->lock);
    return pool->terminating;
}
