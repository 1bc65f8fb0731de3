// Worker pool: a FIFO of work items served by threads that the owner starts itself, each
// calling OlvThreadPool_Run. Items run concurrently on the workers, never under a pool lock.
#pragma once

struct OlvThreadPool;

namespace tv {
using PoolWorkFn = void (*)(OlvThreadPool* pool, void* data) noexcept;
}  // namespace tv

[[nodiscard]] OlvThreadPool* OlvThreadPool_Create() noexcept;

// Worker loop, called on each worker thread; returns once OlvThreadPool_Destroy has begun.
// The owner joins the thread afterwards.
void OlvThreadPool_Run(OlvThreadPool* pool) noexcept;

// Any thread. Queues function(pool, data). While no worker is inside OlvThreadPool_Run the
// item runs at once on the calling thread instead.
void OlvThreadPool_Queue(OlvThreadPool* pool, void* data, tv::PoolWorkFn function) noexcept;

// Stops the workers, waits until every one has left OlvThreadPool_Run (items already running
// finish first), then frees the pool. Items still queued are discarded without running; their
// data is not touched. Call it once every started worker has entered OlvThreadPool_Run or been
// joined.
void OlvThreadPool_Destroy(OlvThreadPool* pool) noexcept;

namespace tv {
// Any thread; a snapshot. How many threads are inside OlvThreadPool_Run (an owner can wait for
// its workers to be in before it relies on them), and whether Destroy has begun.
int ThreadPoolWorkerCount(OlvThreadPool* pool) noexcept;
bool ThreadPoolTerminating(OlvThreadPool* pool) noexcept;
// Any thread. Returns once `count` workers are inside OlvThreadPool_Run, so that the owner
// may later destroy the pool without racing a worker that has not entered it yet.
void ThreadPoolWaitForWorkers(OlvThreadPool* pool, int count) noexcept;
}  // namespace tv
