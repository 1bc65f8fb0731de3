// Drives a real event chain from a test: a chain with a watchdog timer, run on the test thread
// (or on a thread of its own for the cross-thread cases), probe objects whose counters live in
// test-owned records that outlive the chain, and a hang guard for threaded tests.
#pragma once

#include "support/WaitUntil.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/OlvChain.h"
#include "runtime/OlvLifeTime.h"

namespace tv::test {

// Counters and optional actions of one probe object. Owned by the test; the chain owns and
// frees the ProbeObject that points at it.
struct Probe {
    int id = 0;
    std::atomic<int> pre{0};
    std::atomic<int> post{0};
    std::atomic<int> destroyed{0};
    std::atomic<int> last_result{-2};
    std::atomic<int> first_block_ms{-1};        // *block_ms as this probe first saw it
    int cap_block_ms = -1;                      // when >= 0, never sleep longer than this
    std::vector<int>* destroy_order = nullptr;  // written on the chain thread
    OlvChain* chain = nullptr;
    void* user = nullptr;
    // Called after the counters were bumped; `turn` counts this probe's calls from 1.
    void (*on_pre)(Probe* probe, int turn, fd_set* read_set, int* block_ms) = nullptr;
    void (*on_post)(Probe* probe, int turn, int result, fd_set* read_set) = nullptr;
};

struct ProbeObject {
    ChainHooks hooks;
    Probe* probe = nullptr;
};

inline void ProbePre(void* object, fd_set* read_set, fd_set*, fd_set*, int* block_ms) noexcept
{
    Probe* probe = static_cast<ProbeObject*>(object)->probe;
    // Recorded before the count moves: a test that waits for the first call reads it next.
    if (probe->pre.load() == 0) probe->first_block_ms = *block_ms;
    int turn = ++probe->pre;
    if (probe->cap_block_ms >= 0 && *block_ms > probe->cap_block_ms)
        *block_ms = probe->cap_block_ms;
    if (probe->on_pre != nullptr) probe->on_pre(probe, turn, read_set, block_ms);
}

inline void ProbePost(void* object, int result, fd_set* read_set, fd_set*, fd_set*) noexcept
{
    Probe* probe = static_cast<ProbeObject*>(object)->probe;
    probe->last_result = result;
    int turn = ++probe->post;
    if (probe->on_post != nullptr) probe->on_post(probe, turn, result, read_set);
}

inline void ProbeDestroy(void* object) noexcept
{
    auto* self = static_cast<ProbeObject*>(object);
    Probe* probe = self->probe;
    ++probe->destroyed;
    if (probe->destroy_order != nullptr) probe->destroy_order->push_back(probe->id);
    std::destroy_at(self);
}

constexpr ChainHooks kProbeHooks = {
    .pre_select = ProbePre,
    .post_select = ProbePost,
    .destroy = ProbeDestroy,
};

inline ProbeObject* NewProbeObject(Probe* probe)
{
    ProbeObject* object = NewChainObject<ProbeObject>(kProbeHooks);
    object->probe = probe;
    return object;
}

// Aborts the process with a message when the scope is not left in time: a hang in a threaded
// test becomes a failure that names itself instead of a CTest time-out.
class HangGuard {
public:
    explicit HangGuard(const char* what, std::chrono::seconds limit = std::chrono::seconds(30))
        : thread_([this, what, limit] {
              std::unique_lock lock(mutex_);
              if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "hang: %s did not finish in time\n", what);
                  std::abort();
              }
          })
    {
    }
    HangGuard(const HangGuard&) = delete;
    HangGuard& operator=(const HangGuard&) = delete;
    ~HangGuard()
    {
        {
            std::scoped_lock lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

// A chain run on the test thread. A watchdog timer stops it after `limit_ms` and records that,
// so a chain that would hang ends the test with a failure instead.
class ChainRunner {
public:
    ChainRunner() : chain_(OlvChain_Create(OlvLifeTime_Create)) {}
    ChainRunner(const ChainRunner&) = delete;
    ChainRunner& operator=(const ChainRunner&) = delete;
    ~ChainRunner()
    {
        // A runner that never ran still owns its chain: run it to its end so nothing leaks.
        if (!ran_) {
            OlvChain_Stop(chain_);
            OlvChain_Run(chain_);
        }
    }

    OlvChain* chain() const { return chain_; }
    OlvLifeTime* timer() const { return ChainTimer(chain_); }

    void Add(void* object) { OlvChain_Add(chain_, object); }

    // Adds a probe object for `probe`, which learns the chain.
    void AddProbe(Probe* probe)
    {
        probe->chain = chain_;
        Add(NewProbeObject(probe));
    }

    // Runs until stopped; false when the watchdog had to stop it.
    bool Run(int limit_ms = 5000)
    {
        OlvLifeTime_Add(timer(), this, limit_ms, &ChainRunner::Watchdog, nullptr);
        ran_ = true;
        OlvChain_Run(chain_);
        chain_ = nullptr;
        return !watchdog_fired_;
    }

private:
    static void Watchdog(void* data) noexcept
    {
        auto* self = static_cast<ChainRunner*>(data);
        self->watchdog_fired_ = true;
        std::fprintf(stderr, "watchdog: the chain did not stop in time\n");
        OlvChain_Stop(self->chain_);
    }

    OlvChain* chain_;
    bool ran_ = false;
    bool watchdog_fired_ = false;
};

// A chain run on a thread of its own, for the operations other threads may call. The chain may
// also end by itself (a callback stopping it): an end callback tells StopAndJoin when the
// record is about to go away.
class ThreadedChain {
public:
    ThreadedChain() : chain_(OlvChain_Create(OlvLifeTime_Create))
    {
        ChainOnEnd(chain_, &ThreadedChain::Ending, this);
    }
    ThreadedChain(const ThreadedChain&) = delete;
    ThreadedChain& operator=(const ThreadedChain&) = delete;
    ~ThreadedChain() { StopAndJoin(); }

    OlvChain* chain() const { return chain_; }

    void AddProbe(Probe* probe)
    {
        probe->chain = chain_;
        OlvChain_Add(chain_, NewProbeObject(probe));
    }

    void Start()
    {
        thread_ = std::thread([this] {
            OlvChain_Run(chain_);
            ended_ = true;
        });
    }

    bool Ended() const { return ended_.load(); }

    // Stops the chain unless it is already tearing down, and waits for the thread.
    void StopAndJoin()
    {
        if (!thread_.joinable()) {
            if (!started_teardown_) {
                OlvChain_Stop(chain_);
                OlvChain_Run(chain_);
                started_teardown_ = true;
            }
            return;
        }
        {
            std::scoped_lock lock(mutex_);
            if (!started_teardown_) OlvChain_Stop(chain_);
        }
        thread_.join();
    }

private:
    static void Ending(void* data) noexcept
    {
        auto* self = static_cast<ThreadedChain*>(data);
        std::scoped_lock lock(self->mutex_);
        self->started_teardown_ = true;
    }

    OlvChain* chain_;
    std::mutex mutex_;
    bool started_teardown_ = false;  // guarded by mutex_
    std::atomic<bool> ended_{false};
    std::thread thread_;
};

}  // namespace tv::test
